// Reading a program description (plain Python data, read without running any Python code of its
// objects), the program capsule, and the two runs: over the packets of a buffer into numpy
// columns, without the interpreter lock, and over one packet into Python values.
#include "program_runner.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/layout.hpp"
#include "core/program.hpp"
#include "errors.hpp"
#include "numpy_api.hpp"
#include "recipe.hpp"

namespace bitloom {

namespace {

using columns::Element;
using recipe::Ref;
namespace pg = program;

constexpr const char* kCapsuleName = "bitloom._program";

// ---- Reading a description ----

struct Name {
    std::string_view text;
    std::uint8_t code;
};

constexpr Name kElements[] = {
    {"u8", static_cast<std::uint8_t>(Element::U8)},   {"u16", static_cast<std::uint8_t>(Element::U16)},
    {"u32", static_cast<std::uint8_t>(Element::U32)}, {"u64", static_cast<std::uint8_t>(Element::U64)},
    {"i8", static_cast<std::uint8_t>(Element::I8)},   {"i16", static_cast<std::uint8_t>(Element::I16)},
    {"i32", static_cast<std::uint8_t>(Element::I32)}, {"i64", static_cast<std::uint8_t>(Element::I64)},
    {"f32", static_cast<std::uint8_t>(Element::F32)}, {"f64", static_cast<std::uint8_t>(Element::F64)},
};
constexpr Name kCompares[] = {
    {"==", static_cast<std::uint8_t>(pg::Compare::Eq)}, {"!=", static_cast<std::uint8_t>(pg::Compare::Ne)},
    {"<", static_cast<std::uint8_t>(pg::Compare::Lt)},  {"<=", static_cast<std::uint8_t>(pg::Compare::Le)},
    {">", static_cast<std::uint8_t>(pg::Compare::Gt)},  {">=", static_cast<std::uint8_t>(pg::Compare::Ge)},
};
constexpr Name kArith[] = {
    {"+", static_cast<std::uint8_t>(pg::Arith::Add)}, {"-", static_cast<std::uint8_t>(pg::Arith::Sub)},
    {"*", static_cast<std::uint8_t>(pg::Arith::Mul)}, {"//", static_cast<std::uint8_t>(pg::Arith::FloorDiv)},
};
/// Each op with its number of items, the name included.
struct OpName {
    std::string_view text;
    pg::Op op;
    Py_ssize_t items;
};
constexpr OpName kOps[] = {
    {"fields", pg::Op::Fields, 3},  {"measure", pg::Op::Measure, 7}, {"calc", pg::Op::Calc, 5},
    {"seek", pg::Op::Seek, 4},      {"jump", pg::Op::Jump, 2},       {"if", pg::Op::If, 3},
    {"loop", pg::Op::Loop, 3},      {"route", pg::Op::Route, 3},     {"container", pg::Op::Container, 2},
    {"emit", pg::Op::Emit, 3},      {"span", pg::Op::Span, 4},       {"python", pg::Op::Python, 1},
    {"fail", pg::Op::Fail, 1},      {"end", pg::Op::End, 1},
};

template <std::size_t N>
const Name* find(const Name (&names)[N], std::string_view text) {
    for (const Name& n : names)
        if (n.text == text) return &n;
    return nullptr;
}

/// Reads a description into a Program; the first fault raises TypeError or ValueError with
/// the place it lies at. Only the storage of exact and subclassed ints, floats, str, bytes,
/// tuples, lists and dicts is read: no method of the description's objects runs.
class Reader {
public:
    bool read(PyObject* description, pg::Program& p);

private:
    [[gnu::cold]] bool type_error(const std::string& what, PyObject* got) {
        PyErr_Format(PyExc_TypeError, "%s%s, not %s", where_.c_str(), what.c_str(), Py_TYPE(got)->tp_name);
        return false;
    }
    [[gnu::cold]] bool value_error(const std::string& what) {
        PyErr_Format(PyExc_ValueError, "%s%s", where_.c_str(), what.c_str());
        return false;
    }

    bool integer(PyObject* o, pg::i128& out, const char* what);
    template <class T>
    bool number(PyObject* o, T& out, const char* what);
    bool index_or_none(PyObject* o, std::int32_t& out, const char* what);
    bool text(PyObject* o, std::string_view& out, const char* what);
    bool items(PyObject* o, PyObject* const*& out, Py_ssize_t& n, const char* what);
    bool operand(PyObject* o, pg::Operand& out, const char* what);
    bool condition(PyObject* o, std::uint32_t& node, unsigned depth);
    bool slot(PyObject* o, pg::Slot& out);
    bool field(PyObject* o, pg::FieldRead& out);
    bool field_options(PyObject* o, pg::FieldRead& out);
    bool form(PyObject* o, pg::Measure& out);
    bool step(PyObject* o);

    pg::Program* p_ = nullptr;
    std::string where_;
};

bool Reader::integer(PyObject* o, pg::i128& out, const char* what) {
    if (!PyLong_Check(o) || PyBool_Check(o)) return type_error(std::string(what) + " must be an int", o);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow == 0) {
        out = v;
        return true;
    }
    if (overflow > 0) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(o);
        if (!PyErr_Occurred()) {
            out = u;
            return true;
        }
        PyErr_Clear();
    }
    return value_error(std::string(what) + " passes 64 bits");
}

template <class T>
bool Reader::number(PyObject* o, T& out, const char* what) {
    pg::i128 v;
    if (!integer(o, v, what)) return false;
    if (v < static_cast<pg::i128>(std::numeric_limits<T>::min()) ||
        v > static_cast<pg::i128>(std::numeric_limits<T>::max())) {
        // The value from the int's storage (str() of an int subclass would run its code).
        const bool negative = v < 0;
        const auto magnitude = static_cast<unsigned long long>(negative ? -v : v);
        return value_error(std::string(what) + " must be " + std::to_string(std::numeric_limits<T>::min()) +
                           " to " + std::to_string(std::numeric_limits<T>::max()) + ", got " +
                           (negative ? "-" : "") + std::to_string(magnitude));
    }
    out = static_cast<T>(v);
    return true;
}

bool Reader::index_or_none(PyObject* o, std::int32_t& out, const char* what) {
    if (o == Py_None) {
        out = -1;
        return true;
    }
    return number(o, out, what) && (out >= 0 || value_error(std::string(what) + " must not be negative"));
}

bool Reader::text(PyObject* o, std::string_view& out, const char* what) {
    if (!PyUnicode_Check(o)) return type_error(std::string(what) + " must be a str", o);
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) return false;
    out = {s, static_cast<std::size_t>(n)};
    return true;
}

bool Reader::items(PyObject* o, PyObject* const*& out, Py_ssize_t& n, const char* what) {
    if (PyTuple_Check(o)) {
        out = &PyTuple_GET_ITEM(o, 0);
        n = PyTuple_GET_SIZE(o);
    } else if (PyList_Check(o)) {
        out = &PyList_GET_ITEM(o, 0);
        n = PyList_GET_SIZE(o);
    } else {
        return type_error(std::string(what) + " must be a tuple or list", o);
    }
    return true;
}

bool Reader::operand(PyObject* o, pg::Operand& out, const char* what) {
    using K = pg::Operand::Kind;
    if (PyFloat_Check(o)) {
        out.kind = K::Float;
        out.real = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_Check(o) && !PyBool_Check(o)) {
        out.kind = K::Int;
        return integer(o, out.integer, what);
    }
    PyObject* const* item;
    Py_ssize_t n;
    std::string_view name;
    const std::string form = std::string(what) +
                             " must be an int, a float, ('reg', k), ('pos', k) or ('size',)";
    if (!PyTuple_Check(o) && !PyList_Check(o)) return type_error(form, o);
    if (!items(o, item, n, what) || n < 1 || !PyUnicode_Check(item[0])) return type_error(form, o);
    if (!text(item[0], name, what)) return false;
    if (name == "size" && n == 1) {
        out.kind = K::Size;
        return true;
    }
    if ((name != "reg" && name != "pos") || n != 2) return value_error(form);
    out.kind = name == "reg" ? K::Register : K::Position;
    return number(item[1], out.index, name == "reg" ? "a register" : "a position");
}

bool Reader::condition(PyObject* o, std::uint32_t& node, unsigned depth) {
    if (depth > pg::kMaxConditionDepth)
        return value_error("conditions nest deeper than " + std::to_string(pg::kMaxConditionDepth) + " levels");
    PyObject* const* item;
    Py_ssize_t n;
    std::string_view op;
    if (!items(o, item, n, "a condition")) return false;
    if (n < 1) return value_error("a condition must not be empty");
    if (!text(item[0], op, "a condition's operator")) return false;
    pg::Condition c;
    if (op == "and" || op == "or") {
        if (n < 2) return value_error("\"" + std::string(op) + "\" needs at least one condition");
        std::vector<std::uint32_t> children(static_cast<std::size_t>(n - 1));
        for (Py_ssize_t k = 1; k < n; ++k)
            if (!condition(item[k], children[static_cast<std::size_t>(k - 1)], depth + 1)) return false;
        c.kind = op == "and" ? pg::Condition::Kind::All : pg::Condition::Kind::Any;
        c.first = static_cast<std::uint32_t>(p_->children.size());
        c.count = static_cast<std::uint32_t>(children.size());
        p_->children.insert(p_->children.end(), children.begin(), children.end());
    } else {
        const Name* compare = find(kCompares, op);
        if (!compare)
            return value_error("unknown condition operator '" + std::string(op) +
                               "' (== != < <= > >= and or)");
        if (n != 3) return value_error("a comparison takes two operands");
        c.op = static_cast<pg::Compare>(compare->code);
        if (!operand(item[1], c.lhs, "a compared operand") || !operand(item[2], c.rhs, "a compared operand"))
            return false;
    }
    if (p_->conditions.size() >= UINT32_MAX) return value_error("too many conditions");
    node = static_cast<std::uint32_t>(p_->conditions.size());
    p_->conditions.push_back(c);
    return true;
}

bool Reader::slot(PyObject* o, pg::Slot& out) {
    std::string_view name;
    if (PyUnicode_Check(o)) {
        if (!text(o, name, "a slot kind")) return false;
        if (name == "span") {
            out.kind = pg::SlotKind::Span;
            return true;
        }
        const Name* element = find(kElements, name);
        if (!element)
            return value_error("unknown slot kind '" + std::string(name) +
                               "' (u8 .. u64, i8 .. i64, f32, f64, span, ('text', encoding))");
        out.kind = pg::SlotKind::Number;
        out.element = static_cast<Element>(element->code);
        return true;
    }
    PyObject* const* item;
    Py_ssize_t n;
    if (!PyTuple_Check(o) && !PyList_Check(o))
        return type_error("a slot kind must be a str or ('text', encoding)", o);
    if (!items(o, item, n, "a slot kind")) return false;
    if (n != 2 || !PyUnicode_Check(item[0]) || !text(item[0], name, "a slot kind") || name != "text")
        return value_error("a slot kind must be a str or ('text', encoding)");
    std::string_view encoding;
    if (!text(item[1], encoding, "a text slot's encoding")) return false;
    const auto resolved = recipe::resolve_unpack_encoding(encoding);
    if (!resolved || !columns::is_text(*resolved))
        return value_error("unknown text encoding '" + std::string(encoding) + "'");
    out.kind = pg::SlotKind::Text;
    out.text = *resolved;
    return true;
}

bool Reader::field_options(PyObject* o, pg::FieldRead& out) {
    if (!PyDict_Check(o)) return type_error("a field's options must be a dict", o);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(o, &pos, &key, &value)) {
        std::string_view name;
        if (!PyUnicode_CheckExact(key)) return type_error("an option's name must be a str", key);
        if (!text(key, name, "an option's name")) return false;
        if (name == "byte_order") {
            std::string_view order;
            if (!text(value, order, "byte_order")) return false;
            const auto little = recipe::resolve_little_endian(order);
            if (!little) return value_error("byte_order must be 'big' or 'little'");
            out.little = *little;
        } else if (name == "reverse_bits") {
            if (!PyBool_Check(value)) return type_error("reverse_bits must be a bool", value);
            out.reverse = value == Py_True;
        } else if (name == "count") {
            if (!number(value, out.count, "count")) return false;
        } else if (name == "stride") {
            if (!number(value, out.stride, "stride")) return false;
        } else {
            return value_error("unknown field option '" + std::string(name) +
                               "' (byte_order, reverse_bits, count, stride)");
        }
    }
    return true;
}

bool Reader::field(PyObject* o, pg::FieldRead& out) {
    PyObject* const* item;
    Py_ssize_t n;
    if (!items(o, item, n, "a field")) return false;
    if (n != 5 && n != 6)
        return value_error("a field is (offset, bits, encoding, slot, register[, options]), got " +
                           std::to_string(n) + " items");
    std::string_view encoding;
    if (!number(item[0], out.offset, "offset") || !number(item[1], out.bits, "bits") ||
        !text(item[2], encoding, "encoding") || !index_or_none(item[3], out.slot, "slot") ||
        !index_or_none(item[4], out.register_, "register"))
        return false;
    if (encoding == "raw") {
        out.raw = true;
    } else {
        const auto resolved = recipe::resolve_unpack_encoding(encoding);
        if (!resolved) return value_error("unknown encoding '" + std::string(encoding) + "'");
        out.encoding = *resolved;
    }
    return n == 5 || field_options(item[5], out);
}

bool Reader::form(PyObject* o, pg::Measure& m) {
    PyObject* const* item;
    Py_ssize_t n;
    std::string_view name;
    if (!items(o, item, n, "the form")) return false;
    if (n < 1) return value_error("the form must not be empty");
    if (!text(item[0], name, "the form's name")) return false;
    if (name == "plain") {
        if (n != 1) return value_error("('plain',) takes nothing more");
        m.form = pg::Form::Plain;
        return true;
    }
    if (name != "terminated" && name != "tagged")
        return value_error("unknown form '" + std::string(name) + "' (plain, terminated, tagged)");
    if (n != 3 && n != 4)
        return value_error("('" + std::string(name) + "', " +
                           (name == "terminated" ? "terminator, unit_bytes" : "tag_bits, unit_bits") +
                           "[, max_bits]) takes 2 or 3 items");
    if (n == 4 && item[3] != Py_None && !number(item[3], m.max_bits, "max_bits")) return false;
    if (name == "tagged") {
        m.form = pg::Form::Tagged;
        return number(item[1], m.tag_bits, "tag_bits") && number(item[2], m.tag_unit, "unit_bits");
    }
    m.form = pg::Form::Terminated;
    if (!PyBytes_Check(item[1])) return type_error("the terminator must be bytes", item[1]);
    const Py_ssize_t size = PyBytes_GET_SIZE(item[1]);
    if (size < 1 || size > 8) return value_error("the terminator must have 1 to 8 bytes");
    std::memcpy(m.terminator, PyBytes_AS_STRING(item[1]), static_cast<std::size_t>(size));
    m.terminator_size = static_cast<std::uint8_t>(size);
    return number(item[2], m.unit, "unit_bytes");
}

bool Reader::step(PyObject* o) {
    const std::string outer = where_;
    PyObject* const* item;
    Py_ssize_t n;
    std::string_view name;
    if (!items(o, item, n, "a step")) return false;
    if (n < 1) return value_error("a step must not be empty");
    if (!text(item[0], name, "a step's op")) return false;
    const OpName* op = nullptr;
    for (const OpName& candidate : kOps)
        if (candidate.text == name) op = &candidate;
    if (!op) return value_error("unknown op '" + std::string(name) + "'");
    where_ += "('" + std::string(name) + "'): ";
    if (n != op->items)
        return value_error("takes " + std::to_string(op->items) + " items, the name included, got " +
                           std::to_string(n));
    pg::Step s;
    s.op = op->op;
    std::uint32_t node = 0;
    switch (s.op) {
        case pg::Op::Fields: {
            pg::Fields block;
            if (!number(item[1], block.at, "the position")) return false;
            PyObject* const* fields;
            Py_ssize_t count;
            if (!items(item[2], fields, count, "the fields")) return false;
            const std::string here = where_;
            for (Py_ssize_t k = 0; k < count; ++k) {
                where_ = here + "field " + std::to_string(k) + ": ";
                pg::FieldRead f;
                if (!field(fields[k], f)) return false;
                block.fields.push_back(f);
            }
            s.table = static_cast<std::uint32_t>(p_->fields.size());
            p_->fields.push_back(std::move(block));
            break;
        }
        case pg::Op::Measure: {
            pg::Measure m;
            if (!number(item[1], m.at, "the position") || !number(item[2], m.offset, "the offset") ||
                !form(item[3], m) || !index_or_none(item[5], m.slot, "slot") ||
                !index_or_none(item[6], m.end, "end"))
                return false;
            PyObject* const* linear;
            Py_ssize_t given = 0;
            const bool sequence = PyTuple_Check(item[4]) || PyList_Check(item[4]);
            if (item[4] == Py_None) {
                m.size_from = pg::SizeFrom::Form;
            } else if (sequence && items(item[4], linear, given, "the size") && given != 2 && given != 4) {
                return value_error("the size must be None, an int, ('reg', k) or ('reg', k, slope, offset)");
            } else if (given == 4) {
                std::string_view kind;
                if (!text(linear[0], kind, "the size")) return false;
                if (kind != "reg")
                    return value_error("the size must be None, an int, ('reg', k) or ('reg', k, slope, offset)");
                std::uint32_t k;
                if (!number(linear[1], k, "a register") || !number(linear[2], m.size_slope, "the slope") ||
                    !number(linear[3], m.size_offset, "the offset"))
                    return false;
                m.size_from = pg::SizeFrom::Register;
                m.size = k;
            } else {
                pg::Operand size;
                if (!operand(item[4], size, "the size")) return false;
                if (size.kind == pg::Operand::Kind::Int) {
                    if (size.integer < 0) return value_error("the size must not be negative");
                    m.size_from = pg::SizeFrom::Fixed;
                    m.size = static_cast<std::uint64_t>(size.integer);
                } else if (size.kind == pg::Operand::Kind::Register) {
                    m.size_from = pg::SizeFrom::Register;
                    m.size = size.index;
                } else {
                    return value_error("the size must be None, an int, ('reg', k) or ('reg', k, slope, offset)");
                }
            }
            s.table = static_cast<std::uint32_t>(p_->measures.size());
            p_->measures.push_back(m);
            break;
        }
        case pg::Op::Calc: {
            std::string_view arith;
            if (!number(item[1], s.a, "the register") || !text(item[2], arith, "the operator")) return false;
            const Name* found = find(kArith, arith);
            if (!found) return value_error("unknown operator '" + std::string(arith) + "' (+ - * //)");
            s.arith = static_cast<pg::Arith>(found->code);
            if (!operand(item[3], s.x, "an operand") || !operand(item[4], s.y, "an operand")) return false;
            break;
        }
        case pg::Op::Seek:
            if (!number(item[1], s.a, "the position") || !number(item[2], s.b, "the base position") ||
                !operand(item[3], s.x, "the distance"))
                return false;
            break;
        case pg::Op::Jump:
        case pg::Op::Container:
            if (!number(item[1], s.a, s.op == pg::Op::Jump ? "the target" : "the container")) return false;
            break;
        case pg::Op::If:
            if (!condition(item[1], node, 0) || !number(item[2], s.b, "the target")) return false;
            s.a = node;
            break;
        case pg::Op::Loop:
            if (!number(item[1], s.a, "the register") || !number(item[2], s.b, "the target")) return false;
            break;
        case pg::Op::Route: {
            std::string_view mode;
            if (!text(item[1], mode, "the mode")) return false;
            if (mode != "unique" && mode != "first") return value_error("the mode must be 'unique' or 'first'");
            s.unique = mode == "unique";
            PyObject* const* routes;
            Py_ssize_t count;
            if (!items(item[2], routes, count, "the routes")) return false;
            std::vector<pg::Route> read(static_cast<std::size_t>(count));
            for (Py_ssize_t k = 0; k < count; ++k) {
                PyObject* const* pair;
                Py_ssize_t two;
                if (!items(routes[k], pair, two, "a route")) return false;
                if (two != 2) return value_error("a route is (condition, target)");
                pg::Route& r = read[static_cast<std::size_t>(k)];
                if (!condition(pair[0], r.condition, 0) || !number(pair[1], r.target, "the target"))
                    return false;
            }
            if (p_->routes.size() + read.size() > UINT32_MAX) return value_error("too many routes");
            s.table = static_cast<std::uint32_t>(p_->routes.size());
            s.a = static_cast<std::uint32_t>(read.size());
            p_->routes.insert(p_->routes.end(), read.begin(), read.end());
            break;
        }
        case pg::Op::Emit:
            if (!number(item[1], s.a, "the slot") || !operand(item[2], s.x, "the value")) return false;
            break;
        case pg::Op::Span:
            if (!number(item[1], s.a, "the slot") || !number(item[2], s.b, "the start position") ||
                !number(item[3], s.c, "the end position"))
                return false;
            break;
        case pg::Op::Python:
        case pg::Op::Fail:
        case pg::Op::End: break;
    }
    p_->steps.push_back(s);
    where_ = outer;
    return true;
}

bool Reader::read(PyObject* description, pg::Program& p) {
    p_ = &p;
    if (!PyDict_Check(description)) return type_error("a program description must be a dict", description);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    PyObject* steps = nullptr;
    while (PyDict_Next(description, &pos, &key, &value)) {
        std::string_view name;
        if (!PyUnicode_CheckExact(key)) return type_error("a description's key must be a str", key);
        if (!text(key, name, "a key")) return false;
        if (name == "steps") {
            steps = value;
        } else if (name == "registers") {
            if (!number(value, p.registers, "registers")) return false;
        } else if (name == "positions") {
            if (!number(value, p.positions, "positions")) return false;
        } else if (name == "containers") {
            if (!number(value, p.containers, "containers")) return false;
        } else if (name == "budget") {
            PyObject* const* item;
            Py_ssize_t n;
            if (!items(value, item, n, "budget")) return false;
            if (n != 2) return value_error("budget is (steps, steps_per_byte)");
            if (!number(item[0], p.budget_base, "budget") || !number(item[1], p.budget_per_byte, "budget"))
                return false;
        } else if (name == "slots") {
            PyObject* const* item;
            Py_ssize_t n;
            if (!items(value, item, n, "slots")) return false;
            if (static_cast<std::size_t>(n) > pg::kMaxSlots)
                return value_error("at most " + std::to_string(pg::kMaxSlots) + " slots");
            p.slots.resize(static_cast<std::size_t>(n));
            for (Py_ssize_t k = 0; k < n; ++k) {
                where_ = "slots[" + std::to_string(k) + "]: ";
                if (!slot(item[k], p.slots[static_cast<std::size_t>(k)])) return false;
            }
            where_.clear();
        } else {
            return value_error("unknown key '" + std::string(name) +
                               "' (steps, registers, positions, slots, containers, budget)");
        }
    }
    if (!steps) {
        PyErr_SetString(PyExc_ValueError, "a program description needs 'steps'");
        return false;
    }
    PyObject* const* item;
    Py_ssize_t n;
    if (!items(steps, item, n, "steps")) return false;
    if (static_cast<std::size_t>(n) > pg::kMaxSteps)
        return value_error("at most " + std::to_string(pg::kMaxSteps) + " steps");
    for (Py_ssize_t k = 0; k < n; ++k) {
        where_ = "steps[" + std::to_string(k) + "] ";
        if (!step(item[k])) return false;
    }
    where_.clear();
    return true;
}

// ---- The program object ----

void destroy_program(PyObject* capsule) {
    delete static_cast<pg::Valid*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

const pg::Valid* unwrap(PyObject* obj) {
    if (!PyCapsule_IsValid(obj, kCapsuleName)) {
        PyErr_Format(PyExc_TypeError, "argument 'program': a program made by bitloom._program is "
                     "required, not %s", Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    return static_cast<const pg::Valid*>(PyCapsule_GetPointer(obj, kCapsuleName));
}

// ---- Values into Python ----

PyObject* number_to_python(Element element, const std::uint8_t* p) {
    auto get = [p]<class T>(T) {
        T v;
        std::memcpy(&v, p, sizeof v);
        return v;
    };
    switch (element) {
        case Element::U8: return PyLong_FromLong(get(std::uint8_t{}));
        case Element::U16: return PyLong_FromLong(get(std::uint16_t{}));
        case Element::U32: return PyLong_FromUnsignedLong(get(std::uint32_t{}));
        case Element::U64: return py::to_python(get(std::uint64_t{}));
        case Element::I8: return PyLong_FromLong(get(std::int8_t{}));
        case Element::I16: return PyLong_FromLong(get(std::int16_t{}));
        case Element::I32: return PyLong_FromLong(get(std::int32_t{}));
        case Element::I64: return PyLong_FromLongLong(get(std::int64_t{}));
        case Element::F32: return PyFloat_FromDouble(get(float{}));
        default: return PyFloat_FromDouble(get(double{}));
    }
}

struct Span {
    std::uint64_t start, bits;
};

/// Value j of a span or text slot.
Span span_at(const pg::SlotValues& s, std::size_t j) {
    Span span;
    std::memcpy(&span.start, s.values.data() + j * 8, 8);
    span.bits = s.lengths[j];
    return span;
}

/// Asks for the data of the value kPrefetch after j (below `end`): the run read it long ago, so
/// each value's bytes are a miss, and with the request made early the misses overlap.
constexpr std::size_t kPrefetch = 16;
inline void prefetch_ahead(const std::uint8_t* data, const pg::SlotValues& s, std::size_t j, std::size_t end) {
    if (j + kPrefetch < end) __builtin_prefetch(data + span_at(s, j + kPrefetch).start / 8);
}

[[gnu::cold]] PyObject* raise_changed() {
    PyErr_SetString(PyExc_ValueError, "the data changed while the program ran: its text no longer decodes");
    return nullptr;
}

/// Whether bytes below 0x80 are the characters of the same codes in this text encoding.
bool ascii_compatible(UnpackEncoding encoding) {
    return encoding == UnpackEncoding::UsAscii || encoding == UnpackEncoding::Utf8 ||
           encoding == UnpackEncoding::Latin1 || encoding == UnpackEncoding::Windows1252;
}

/// The str of a text span that the run checked.
PyObject* text_to_python(UnpackEncoding encoding, const std::uint8_t* data, Span s, ByteBuffer& scratch) {
    // Whole bytes below 0x80, which read alike in every ASCII-compatible encoding: copied as they are.
    if (ascii_compatible(encoding) && ((s.start | s.bits) & 7) == 0 && s.bits <= 8 * 64) {
        const std::uint8_t* p = data + s.start / 8;
        const std::size_t n = s.bits / 8;
        std::uint8_t high = 0;
        for (std::size_t k = 0; k < n; ++k) high |= p[k];
        if (high < 0x80) {
            PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
            if (str && n) std::memcpy(PyUnicode_1BYTE_DATA(str), p, n);
            return str;
        }
    }
    auto text = columns::decode_text_field(encoding, data, s.start, static_cast<std::uint32_t>(s.bits),
                                           false, scratch);
    if (!text) [[unlikely]]
        return raise_changed();
    return py::to_python(*text);
}

/// The bits of a span right-aligned in whole bytes.
PyObject* span_to_python(const std::uint8_t* data, Span s) {
    const std::uint64_t n = layout::bytes_for_bits(s.bits);
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (!bytes) return nullptr;
    if (n) layout::cut_bytes(data, s.start, s.bits, false, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes)));
    return bytes;
}

/// Value j of a slot as a Python object.
PyObject* value_to_python(const pg::Slot& slot, const std::uint8_t* data, const pg::SlotValues& s,
                          std::size_t j, std::size_t size, ByteBuffer& scratch) {
    switch (slot.kind) {
        case pg::SlotKind::Number: return number_to_python(slot.element, s.values.data() + j * size);
        case pg::SlotKind::Span: return span_to_python(data, span_at(s, j));
        case pg::SlotKind::Text: return text_to_python(slot.text, data, span_at(s, j), scratch);
    }
    return nullptr;
}

// ---- A run over many packets: the columns ----

/// A run's storage handed to numpy without a copy, exported as a one-dimensional buffer of its
/// element type: a malloc'ed array the object frees, or a slice of an arena it keeps alive.
struct OwnedArray {
    PyObject_HEAD
    void* data;
    void* to_free;
    PyObject* keep;
    Py_ssize_t length;
    Py_ssize_t itemsize;
    const char* format;
};

void owned_dealloc(PyObject* self) {
    auto* a = reinterpret_cast<OwnedArray*>(self);
    std::free(a->to_free);
    Py_XDECREF(a->keep);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int owned_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* a = reinterpret_cast<OwnedArray*>(self);
    view->obj = Py_NewRef(self);
    view->buf = a->data;
    view->len = a->length * a->itemsize;
    view->readonly = 0;
    view->itemsize = a->itemsize;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(a->format) : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) ? &a->length : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &a->itemsize : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyObject* g_owned_type = nullptr;  // created on first use, kept for the life of the process

PyObject* owned_type() {
    if (g_owned_type) return g_owned_type;
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(owned_dealloc)},
        {Py_bf_getbuffer, reinterpret_cast<void*>(owned_getbuffer)},
        {0, nullptr},
    };
    PyType_Spec spec = {"bitloom._ProgramColumn", static_cast<int>(sizeof(OwnedArray)), 0,
                        Py_TPFLAGS_DEFAULT, slots};
    g_owned_type = PyType_FromSpec(&spec);
    return g_owned_type;
}

const char* buffer_format(Element element) {
    switch (element) {
        case Element::U8: return "B";
        case Element::U16: return "H";
        case Element::U32: return "I";
        case Element::U64: return "Q";
        case Element::I8: return "b";
        case Element::I16: return "h";
        case Element::I32: return "i";
        case Element::I64: return "q";
        case Element::F32: return "f";
        default: return "d";
    }
}

void destroy_arena(PyObject* capsule) {
    delete static_cast<pg::Arena*>(PyCapsule_GetPointer(capsule, "bitloom._arena"));
}

/// A numpy array over `count` elements of released storage: freed with the array when it came
/// from malloc, else a slice of the arena that `arena` holds.
template <class T>
PyObject* adopt(const Numpy& np, std::pair<T*, bool> storage, std::size_t count, Element element,
                PyObject* arena) {
    void* to_free = storage.second ? storage.first : nullptr;
    PyObject* type = owned_type();
    PyObject* owner = type ? PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0) : nullptr;
    if (!owner) {
        std::free(to_free);
        return nullptr;
    }
    auto* a = reinterpret_cast<OwnedArray*>(owner);
    a->data = storage.first;
    a->to_free = to_free;
    a->keep = storage.second ? nullptr : Py_NewRef(arena);
    a->length = static_cast<Py_ssize_t>(count);
    a->itemsize = static_cast<Py_ssize_t>(columns::element_size(element));
    a->format = buffer_format(element);
    PyObject* array = PyObject_CallOneArg(np.asarray, owner);
    Py_DECREF(owner);
    return array;
}

PyObject* array_for(const Numpy& np, std::size_t count, Element element, Views& views, void*& out) {
    PyObject* array = new_array(np, count, element);
    if (!array) return nullptr;
    Py_buffer* view = views.take(array, true);
    if (!view) {
        Py_DECREF(array);
        return nullptr;
    }
    out = view->buf;
    return array;
}

/// The widest value of spans [at, at + count) in bytes when every one is whole bytes below
/// 0x80, not ending in a zero byte, and at most kMaxWidth wide; else -1. Such text reads alike
/// in every ASCII-compatible encoding and survives numpy's fixed-width bytes, which drop
/// trailing zeros.
constexpr std::uint64_t kMaxWidth = 64;
std::int64_t plain_width(const std::uint8_t* data, const pg::SlotValues& s, std::size_t at, std::size_t count) {
    std::uint64_t widest = 0;
    for (std::size_t j = at; j < at + count; ++j) {
        prefetch_ahead(data, s, j, at + count);
        const Span v = span_at(s, j);
        if (((v.start | v.bits) & 7) != 0 || v.bits > kMaxWidth * 8) return -1;
        const std::uint8_t* p = data + v.start / 8;
        const std::size_t n = v.bits / 8;
        std::uint8_t high = 0;
        for (std::size_t k = 0; k < n; ++k) high |= p[k];
        if (high >= 0x80 || (n && p[n - 1] == 0)) return -1;
        widest = std::max<std::uint64_t>(widest, n);
    }
    return static_cast<std::int64_t>(widest);
}

/// Values [at, at + count) of plain text (see plain_width) as a fixed-width bytes array, which
/// numpy turns into its str column far faster than str objects one by one.
PyObject* plain_text(const Numpy& np, const std::uint8_t* data, const pg::SlotValues& s, std::size_t at,
                     std::size_t count, std::size_t width) {
    char dtype[24];
    std::snprintf(dtype, sizeof dtype, "S%zu", width);
    Ref chunk(PyObject_CallFunction(np.empty, "ns", static_cast<Py_ssize_t>(count), dtype));
    if (!chunk.get()) return nullptr;
    Views views;
    Py_buffer* view = views.take(chunk.get(), true);
    if (!view) return nullptr;
    auto* out = static_cast<std::uint8_t*>(view->buf);
    std::memset(out, 0, count * width);
    for (std::size_t j = 0; j < count; ++j) {
        const Span v = span_at(s, at + j);
        if (v.bits) std::memcpy(out + j * width, data + v.start / 8, v.bits / 8);
    }
    return chunk.release();
}

/// A text slot's str column, made in slices: plain text through fixed-width bytes, any other
/// as str objects; numpy copies each slice in.
bool fill_text(const Numpy& np, const pg::Slot& slot, const std::uint8_t* data, const pg::SlotValues& s,
               PyObject* array) {
    constexpr Py_ssize_t kSlice = 4096;
    ByteBuffer scratch;
    const auto n = static_cast<Py_ssize_t>(s.rows.size());
    for (Py_ssize_t at = 0; at < n; at += kSlice) {
        const Py_ssize_t count = std::min(kSlice, n - at);
        const std::int64_t width = ascii_compatible(slot.text) ? plain_width(data, s, static_cast<std::size_t>(at),
                                                                             static_cast<std::size_t>(count))
                                                               : -1;
        if (width == 0) continue;  // every value empty, as the new column holds them
        Ref values;
        if (width > 0) {
            values.reset(plain_text(np, data, s, static_cast<std::size_t>(at), static_cast<std::size_t>(count),
                                    static_cast<std::size_t>(width)));
        } else {
            values.reset(PyList_New(count));
            for (Py_ssize_t j = 0; values.get() && j < count; ++j) {
                prefetch_ahead(data, s, static_cast<std::size_t>(at + j), static_cast<std::size_t>(at + count));
                PyObject* str = text_to_python(slot.text, data, span_at(s, static_cast<std::size_t>(at + j)), scratch);
                if (!str) return false;
                PyList_SET_ITEM(values.get(), j, str);
            }
        }
        if (!values.get()) return false;
        Ref start(PyLong_FromSsize_t(at)), stop(PyLong_FromSsize_t(at + count));
        if (!start.get() || !stop.get()) return false;
        Ref slice(PySlice_New(start.get(), stop.get(), nullptr));
        if (!slice.get() || PyObject_SetItem(array, slice.get(), values.get()) < 0) return false;
    }
    return true;
}

/// Slot k as a tuple of arrays over the run's own storage, which they take over: (values,
/// rows) for numbers and text, (starts, bits, rows) for spans (and text when `spans`). Text
/// decoded to str is made from the spans first.
PyObject* slot_arrays(const Numpy& np, const pg::Valid& program, const std::uint8_t* data, pg::Share& share,
                      PyObject* arena, std::size_t k, bool spans) {
    const pg::Slot& slot = program.slot(k);
    pg::SlotValues& s = share.slots[k];
    const std::size_t count = s.rows.size();
    const bool split = slot.kind == pg::SlotKind::Span || (slot.kind == pg::SlotKind::Text && spans);
    const Element element = split ? Element::U64 : slot.kind == pg::SlotKind::Text ? Element::Text : slot.element;
    Ref first, second;
    if (element == Element::Text) {
        first.reset(new_array(np, count, Element::Text));
        if (!first.get() || !fill_text(np, slot, data, s, first.get())) return nullptr;
    } else {
        first.reset(count ? adopt(np, s.values.release(), count, element, arena) : new_array(np, 0, element));
    }
    if (split) second.reset(count ? adopt(np, s.lengths.release(), count, Element::U64, arena)
                                  : new_array(np, 0, Element::U64));
    Ref rows(count ? adopt(np, s.rows.release(), count, Element::U32, arena) : new_array(np, 0, Element::U32));
    if (!first.get() || (split && !second.get()) || !rows.get()) return nullptr;
    return split ? PyTuple_Pack(3, first.get(), second.get(), rows.get()) : PyTuple_Pack(2, first.get(), rows.get());
}

PyObject* columns_of(const Numpy& np, const pg::Valid& program, const pg::Input& input, pg::Share& share,
                     bool spans) {
    // The arena goes to the arrays that lie in it.
    Ref arena;
    if (share.arena) {
        arena.reset(PyCapsule_New(share.arena.get(), "bitloom._arena", destroy_arena));
        if (!arena.get()) return nullptr;
        share.arena.release();  // the capsule owns it now
    }
    const std::size_t slots = program.slot_count();
    Ref list(PyList_New(static_cast<Py_ssize_t>(slots)));
    if (!list.get()) return nullptr;
    for (std::size_t k = 0; k < slots; ++k) {
        PyObject* item = slot_arrays(np, program, input.data, share, arena.get(), k, spans);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
}

}  // namespace

PyObject* make_program(py::Object description) {
    pg::Program p;
    Reader reader;
    if (!reader.read(description.obj, p)) return nullptr;
    auto valid = pg::validate(std::move(p));
    if (!valid) return py::raise_codec_error(valid.error());
    auto* held = new pg::Valid(std::move(*valid));
    PyObject* capsule = PyCapsule_New(held, kCapsuleName, destroy_program);
    if (!capsule) delete held;
    return capsule;
}

PyObject* run_program(py::Object program, py::Buffer data, py::Object offsets, py::Object sizes,
                      std::uint32_t threads, bool spans) {
    const pg::Valid* valid = unwrap(program.obj);
    if (!valid) return nullptr;
    if (threads == 0) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
        return nullptr;
    }
    const Numpy* np = numpy_api("_run_program");
    if (!np) return nullptr;
    Views views;
    Ref offsets_held, sizes_held;
    pg::Input input{.data = data.data, .size = data.size};
    if (!read_offsets(*np, offsets.obj, offsets_held, views, input.offsets, input.count)) return nullptr;
    if (sizes.obj && sizes.obj != Py_None) {
        std::size_t count = 0;
        if (!read_offsets(*np, sizes.obj, sizes_held, views, input.sizes, count, "sizes")) return nullptr;
        if (count != input.count) {
            PyErr_Format(PyExc_ValueError, "sizes has %zu elements, offsets %zu", count, input.count);
            return nullptr;
        }
    }
    if (input.count > pg::kMaxPackets) {
        PyErr_Format(PyExc_ValueError, "at most %zu packets per run, got %zu", pg::kMaxPackets, input.count);
        return nullptr;
    }
    void *container = nullptr, *reason = nullptr, *step = nullptr;
    Ref containers(array_for(*np, input.count, Element::I32, views, container));
    Ref reasons(containers.get() ? array_for(*np, input.count, Element::U8, views, reason) : nullptr);
    Ref steps(reasons.get() ? array_for(*np, input.count, Element::I32, views, step) : nullptr);
    if (!steps.get()) return nullptr;
    const pg::Status status{static_cast<std::int32_t*>(container), static_cast<std::uint8_t*>(reason),
                            static_cast<std::int32_t*>(step)};
    pg::Share share;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        share = pg::run(*valid, input, status, threads);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) return PyErr_NoMemory();
    Ref slots(columns_of(*np, *valid, input, share, spans));
    if (!slots.get()) return nullptr;
    return Py_BuildValue("{sOsOsOsO}", "container", containers.get(), "reason", reasons.get(), "step",
                         steps.get(), "slots", slots.get());
}

PyObject* run_packet(py::Object program, py::Buffer packet) {
    const pg::Valid* valid = unwrap(program.obj);
    if (!valid) return nullptr;
    const std::uint64_t offset = 0, size = packet.size;
    const pg::Input input{.data = packet.data, .size = packet.size, .offsets = &offset, .sizes = &size, .count = 1};
    std::int32_t container = -1, step = -1;
    std::uint8_t reason = 0;
    pg::Share share;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        share = pg::run(*valid, input, pg::Status{&container, &reason, &step}, 1);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) return PyErr_NoMemory();
    const std::size_t slots = valid->slot_count();
    Ref values(PyList_New(static_cast<Py_ssize_t>(slots)));
    if (!values.get()) return nullptr;
    ByteBuffer scratch;
    for (std::size_t k = 0; k < slots; ++k) {
        const pg::SlotValues& s = share.slots[k];
        const std::size_t size_k = valid->value_size(k);
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(s.rows.size()));
        if (!list) return nullptr;
        PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(k), list);
        for (std::size_t j = 0; j < s.rows.size(); ++j) {
            PyObject* v = value_to_python(valid->slot(k), packet.data, s, j, size_k, scratch);
            if (!v) return nullptr;
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(j), v);
        }
    }
    Ref where(container >= 0 ? PyLong_FromLong(container) : Py_NewRef(Py_None));
    Ref stopped(step >= 0 ? PyLong_FromLong(step) : Py_NewRef(Py_None));
    if (!where.get() || !stopped.get()) return nullptr;
    return Py_BuildValue("(OiOO)", where.get(), static_cast<int>(reason), stopped.get(), values.get());
}

PyObject* span_bytes(py::Buffer data, py::Object starts, py::Object bits, py::Object where) {
    const Numpy* np = numpy_api("_span_bytes");
    if (!np) return nullptr;
    Views views;
    Ref starts_held, bits_held, where_held;
    const std::uint64_t *first = nullptr, *width = nullptr, *picked = nullptr;
    std::size_t count = 0, widths = 0, taken = 0;
    if (!read_offsets(*np, starts.obj, starts_held, views, first, count, "starts") ||
        !read_offsets(*np, bits.obj, bits_held, views, width, widths, "bits"))
        return nullptr;
    if (widths != count) {
        PyErr_Format(PyExc_ValueError, "bits has %zu elements, starts %zu", widths, count);
        return nullptr;
    }
    const bool every = !where.obj || where.obj == Py_None;
    if (!every && !read_offsets(*np, where.obj, where_held, views, picked, taken, "where")) return nullptr;
    const std::size_t n = every ? count : taken;
    const std::uint64_t data_bits = static_cast<std::uint64_t>(data.size) * 8;
    // The bytes go straight into the object array's references (numpy.empty fills it with None).
    Ref column(PyObject_CallFunction(np->empty, "ns", static_cast<Py_ssize_t>(n), "O"));
    if (!column.get()) return nullptr;
    Py_buffer* view = views.take(column.get(), true);
    if (!view) return nullptr;
    auto* items = static_cast<PyObject**>(view->buf);
    for (std::size_t j = 0; j < n; ++j) {
        if (j + kPrefetch < n) {  // as prefetch_ahead: the bytes of a span a few ahead
            const std::uint64_t ahead = every ? j + kPrefetch : picked[j + kPrefetch];
            if (ahead < count && first[ahead] / 8 < data.size) __builtin_prefetch(data.data + first[ahead] / 8);
        }
        const std::uint64_t i = every ? j : picked[j];
        if (i >= count) {
            PyErr_Format(PyExc_IndexError, "where[%zu] is %llu, beyond the %zu spans", j,
                         static_cast<unsigned long long>(i), count);
            return nullptr;
        }
        const Span s{first[i], width[i]};
        if (s.bits > data_bits || s.start > data_bits - s.bits) {
            PyErr_Format(PyExc_ValueError, "span %llu (%llu bits at bit %llu) lies beyond the %zu bytes of data",
                         static_cast<unsigned long long>(i), static_cast<unsigned long long>(s.bits),
                         static_cast<unsigned long long>(s.start), data.size);
            return nullptr;
        }
        PyObject* cut = ((s.start | s.bits) & 7) == 0
                            ? PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data + s.start / 8),
                                                        static_cast<Py_ssize_t>(s.bits / 8))
                            : span_to_python(data.data, s);
        if (!cut) return nullptr;
        PyObject* before = items[j];
        items[j] = cut;
        Py_XDECREF(before);
    }
    views.release();
    return column.release();
}

int attach_program_constants(PyObject* module) {
    Ref names(PyTuple_New(static_cast<Py_ssize_t>(pg::kReasonCount)));
    if (!names.get()) return -1;
    for (std::size_t k = 0; k < pg::kReasonCount; ++k) {
        PyObject* name = PyUnicode_FromString(pg::reason_name(static_cast<pg::Reason>(k)));
        if (!name) return -1;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), name);
    }
    return PyModule_AddObjectRef(module, "_PROGRAM_REASONS", names.get());
}

}  // namespace bitloom
