// One row per module function: its name, text signature, parameters with their conversion
// kinds, and the operation it calls. Entry points, argument binding, conversion and result
// conversion are generated from the rows; no function has a wrapper of its own.
#include "function_table.hpp"

#include <array>
#include <new>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "column_reader.hpp"
#include "convert.hpp"
#include "core/bcd.hpp"
#include "core/ieee754.hpp"
#include "core/integer.hpp"
#include "core/other_float.hpp"
#include "core/single_byte.hpp"
#include "core/unicode.hpp"
#include "errors.hpp"
#include "packet.hpp"
#include "program_runner.hpp"

namespace bitloom::py {

namespace {

constexpr std::size_t kMaxParams = 6;

/// A converted argument. Only the member of the parameter's kind is meaningful.
struct Arg {
    union {
        std::int64_t i64;
        std::uint64_t u64;
        std::uint32_t u32;
        bool b;
        float f32;
        double f64;
        u128 w128;
        struct {
            const char* data;
            std::size_t size;
        } span;
        PyObject* obj;  // a new reference (the sequence kind), released after the call
        TextView view;
    };
};

// Native parameter type -> the Arg member it reads, and the conversion kind it requires.
template <class T> struct ArgOf;
template <> struct ArgOf<std::int64_t> {
    static constexpr Kind kind = Kind::I64;
    static std::int64_t get(const Arg& a) { return a.i64; }
};
template <> struct ArgOf<std::uint32_t> {
    static constexpr Kind kind = Kind::U32;
    static std::uint32_t get(const Arg& a) { return a.u32; }
};
template <> struct ArgOf<std::uint64_t> {
    static constexpr Kind kind = Kind::U64;
    static std::uint64_t get(const Arg& a) { return a.u64; }
};
template <> struct ArgOf<u128> {
    static constexpr Kind kind = Kind::U128;
    static u128 get(const Arg& a) { return a.w128; }
};
template <> struct ArgOf<bool> {
    static constexpr Kind kind = Kind::Bool;
    static bool get(const Arg& a) { return a.b; }
};
template <> struct ArgOf<double> {
    static constexpr Kind kind = Kind::F64;
    static double get(const Arg& a) { return a.f64; }
};
template <> struct ArgOf<float> {
    static constexpr Kind kind = Kind::F32;
    static float get(const Arg& a) { return a.f32; }
};
template <> struct ArgOf<std::string_view> {
    static constexpr Kind kind = Kind::Text;
    static std::string_view get(const Arg& a) { return {a.span.data, a.span.size}; }
};
template <> struct ArgOf<Bytes> {
    static constexpr Kind kind = Kind::Bytes;
    static Bytes get(const Arg& a) {
        return Bytes{reinterpret_cast<const std::uint8_t*>(a.span.data), a.span.size};
    }
};
template <> struct ArgOf<TextView> {
    static constexpr Kind kind = Kind::View;
    static TextView get(const Arg& a) { return a.view; }
};
template <> struct ArgOf<PyObject*> {
    static constexpr Kind kind = Kind::Sequence;
    static PyObject* get(const Arg& a) { return a.obj; }
};
template <> struct ArgOf<Buffer> {
    static constexpr Kind kind = Kind::Buffer;
    static Buffer get(const Arg& a) {
        return Buffer{reinterpret_cast<const std::uint8_t*>(a.span.data), a.span.size};
    }
};
template <> struct ArgOf<Object> {
    static constexpr Kind kind = Kind::Object;
    static Object get(const Arg& a) { return Object{a.obj}; }
};

template <class F> struct Signature;
template <class R, class... A> struct Signature<R (*)(A...)> {
    using Params = std::tuple<A...>;
    static constexpr std::size_t arity = sizeof...(A);
    static constexpr std::array<Kind, sizeof...(A)> kinds{ArgOf<A>::kind...};
};
template <class R, class... A> struct Signature<R (*)(A...) noexcept> : Signature<R (*)(A...)> {};

template <class T> PyObject* result_to_python(T&& value) { return to_python(std::forward<T>(value)); }
template <class T> PyObject* result_to_python(Result<T>&& result) {
    if (!result.ok()) [[unlikely]]
        return raise_codec_error(result.error());
    return to_python(std::move(result.value()));
}

/// Calls the operation with its converted arguments and converts its result.
template <auto Op>
PyObject* invoke(const Arg* args) {
    using Sig = Signature<decltype(Op)>;
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return result_to_python(
            Op(ArgOf<std::tuple_element_t<I, typename Sig::Params>>::get(args[I])...));
    }(std::make_index_sequence<Sig::arity>{});
}

using Invoke = PyObject* (*)(const Arg*);

struct Row {
    const char* name;
    const char* doc;  // "{name}({parameters})\n--\n\n": the text signature only
    std::array<const char*, kMaxParams> params;
    std::array<Kind, kMaxParams> kinds;  // taken from the operation's own parameter types
    std::uint8_t count;     // number of parameters
    std::uint8_t required;  // leading parameters that must be given; the rest have defaults
    Invoke invoke;
    std::uint8_t keyword_only = 0;  // trailing parameters that can only be named
    // Defaults of the optional parameters: False for Bool, the number here for U32 and U64,
    // and a left-out Object stays null (the operation's None).
    std::array<std::uint64_t, kMaxParams> defaults{};

    constexpr std::uint8_t positional() const { return static_cast<std::uint8_t>(count - keyword_only); }
};

template <auto Op>
constexpr std::array<Kind, kMaxParams> kinds_of() {
    using Sig = Signature<decltype(Op)>;
    static_assert(Sig::arity <= kMaxParams);
    std::array<Kind, kMaxParams> out{};
    for (std::size_t i = 0; i < Sig::arity; ++i) out[i] = Sig::kinds[i];
    return out;
}

template <auto Op>
constexpr std::uint8_t arity_of() {
    return static_cast<std::uint8_t>(Signature<decltype(Op)>::arity);
}

#define BL_OP(op) kinds_of<&op>(), arity_of<&op>(), arity_of<&op>(), &invoke<&op>
#define BL_ROW1(fn, a) {#fn, #fn "(" #a ")\n--\n\n", {#a}, BL_OP(bitloom::fn)}
#define BL_ROW2(fn, a, b) {#fn, #fn "(" #a ", " #b ")\n--\n\n", {#a, #b}, BL_OP(bitloom::fn)}
#define BL_ROW3(fn, a, b, c) \
    {#fn, #fn "(" #a ", " #b ", " #c ")\n--\n\n", {#a, #b, #c}, BL_OP(bitloom::fn)}
// Two required parameters and a third, `signed`, defaulting to False.
#define BL_ROW_SIGNED(fn) \
    {#fn, #fn "(value, bits, signed=False)\n--\n\n", {"value", "bits", "signed"}, \
     kinds_of<&bitloom::fn>(), 3, 2, &invoke<&bitloom::fn>}
// Whole buffers of packets: optional parameters, the last ones keyword-only.
#define BL_ROW_KEYWORDS(fn, signature, required, keyword_only, defaults, ...) \
    BL_ROW_NAMED(#fn, fn, signature, required, keyword_only, defaults, __VA_ARGS__)
// A function whose Python name is not its C++ name (the private ones, named with a leading _).
#define BL_ROW_NAMED(name, fn, signature, required, keyword_only, defaults, ...) \
    {name, name signature "\n--\n\n", {__VA_ARGS__}, kinds_of<&bitloom::fn>(), \
     arity_of<&bitloom::fn>(), required, &invoke<&bitloom::fn>, keyword_only, defaults}

// Registration order: the order of attachment and of `__all__`.
constexpr Row kRows[] = {
    BL_ROW3(unpack_parameters, packet_bytes, offset_bits, recipe),
    BL_ROW1(pack_parameters, recipe),
    BL_ROW2(decode_ones_complement, value, bits),
    BL_ROW2(decode_twos_complement, value, bits),
    BL_ROW2(decode_sign_magnitude, value, bits),
    BL_ROW_SIGNED(decode_unpacked_bcd),
    BL_ROW_SIGNED(decode_packed_bcd),
    BL_ROW1(decode_ieee754_f16, value),
    BL_ROW1(decode_ieee754_f32, value),
    BL_ROW1(decode_ieee754_f64, value),
    BL_ROW1(decode_ieee754_f128, value),
    BL_ROW1(decode_ieee754_1985_f32, _value),
    BL_ROW1(decode_ieee754_1985_f64, _value),
    BL_ROW1(decode_ieee754_1985_f80, _value),
    BL_ROW1(decode_mil_std_1750a_f32, _value),
    BL_ROW1(decode_mil_std_1750a_f48, _value),
    BL_ROW1(decode_dec_f32, _value),
    BL_ROW1(decode_dec_f64, _value),
    BL_ROW1(decode_ibm_f32, _value),
    BL_ROW1(decode_ibm_f64, _value),
    BL_ROW1(decode_ti_f32, _value),
    BL_ROW1(decode_ti_f40, _value),
    BL_ROW1(decode_us_ascii, bytes),
    BL_ROW1(decode_iso_8859_1, bytes),
    BL_ROW1(decode_windows_1252, bytes),
    BL_ROW1(decode_utf8, bytes),
    BL_ROW1(decode_utf16, bytes),
    BL_ROW1(decode_utf16le, bytes),
    BL_ROW1(decode_utf16be, bytes),
    BL_ROW1(decode_utf32, bytes),
    BL_ROW1(decode_utf32le, bytes),
    BL_ROW1(decode_utf32be, bytes),
    BL_ROW2(encode_ones_complement, value, bits),
    BL_ROW2(encode_twos_complement, value, bits),
    BL_ROW2(encode_sign_magnitude, value, bits),
    BL_ROW_SIGNED(encode_unpacked_bcd),
    BL_ROW_SIGNED(encode_packed_bcd),
    BL_ROW1(encode_ieee754_f16, value),
    BL_ROW1(encode_ieee754_f32, value),
    BL_ROW1(encode_ieee754_f64, value),
    BL_ROW1(encode_ieee754_f128, _value),
    BL_ROW1(encode_ieee754_1985_f32, _value),
    BL_ROW1(encode_ieee754_1985_f64, _value),
    BL_ROW1(encode_ieee754_1985_f80, _value),
    BL_ROW1(encode_mil_std_1750a_f32, _value),
    BL_ROW1(encode_mil_std_1750a_f48, _value),
    BL_ROW1(encode_dec_f32, _value),
    BL_ROW1(encode_dec_f64, _value),
    BL_ROW1(encode_ibm_f32, _value),
    BL_ROW1(encode_ibm_f64, _value),
    BL_ROW1(encode_ti_f32, _value),
    BL_ROW1(encode_ti_f40, _value),
    BL_ROW1(encode_us_ascii, text),
    BL_ROW1(encode_iso_8859_1, text),
    BL_ROW1(encode_windows_1252, text),
    BL_ROW1(encode_utf8, text),
    BL_ROW1(encode_utf16, text),
    BL_ROW1(encode_utf16le, text),
    BL_ROW1(encode_utf16be, text),
    BL_ROW1(encode_utf32, text),
    BL_ROW1(encode_utf32le, text),
    BL_ROW1(encode_utf32be, text),
    BL_ROW_KEYWORDS(unpack_columns,
                    "(data, recipe, offsets=None, *, offset_bits=0, packet_size=None, threads=1)",
                    2, 3, (std::array<std::uint64_t, kMaxParams>{0, 0, 0, 0, 0, 1}),
                    "data", "recipe", "offsets", "offset_bits", "packet_size", "threads"),
    BL_ROW_KEYWORDS(packet_offsets, "(data, framing='ccsds', *, allow_partial=False)", 1, 1, {},
                    "data", "framing", "allow_partial"),
    // Private: recipes resolved once, for bitloom_xtce. Not in __all__.
    BL_ROW_NAMED("_column_recipe", make_column_recipe, "(recipe)", 1, 0, {}, "recipe"),
    BL_ROW_NAMED("_unpack_columns", unpack_resolved, "(recipe, data, offsets, *, offset_bits=0, threads=1)", 3,
                 2, (std::array<std::uint64_t, kMaxParams>{0, 0, 0, 0, 1}), "recipe", "data", "offsets",
                 "offset_bits", "threads"),
    // Private: the decode program of bitloom_xtce (core/program.hpp). Not in __all__.
    BL_ROW_NAMED("_program", make_program, "(description)", 1, 0, {}, "description"),
    BL_ROW_NAMED("_run_program", run_program,
                 "(program, data, offsets, sizes=None, *, threads=1, spans=False)", 3, 2,
                 (std::array<std::uint64_t, kMaxParams>{0, 0, 0, 0, 1, 0}), "program", "data",
                 "offsets", "sizes", "threads", "spans"),
    BL_ROW_NAMED("_run_packet", run_packet, "(program, packet)", 2, 0, {}, "program", "packet"),
    BL_ROW_NAMED("_span_bytes", span_bytes, "(data, starts, bits, where=None)", 3, 0, {}, "data", "starts",
                 "bits", "where"),
};

#undef BL_OP
#undef BL_ROW1
#undef BL_ROW2
#undef BL_ROW3
#undef BL_ROW_SIGNED
#undef BL_ROW_KEYWORDS
#undef BL_ROW_NAMED

constexpr std::size_t kFunctionCount = std::size(kRows);
static_assert(kFunctionCount == 70);

/// Every parameter has a name, every optional one a kind with a default, and keyword-only
/// parameters are optional.
constexpr bool rows_are_consistent() {
    for (const Row& row : kRows) {
        for (std::size_t i = 0; i < kMaxParams; ++i)
            if ((i < row.count) != (row.params[i] != nullptr)) return false;
        if (row.required > row.positional()) return false;
        for (std::size_t i = row.required; i < row.count; ++i) {
            const Kind k = row.kinds[i];
            if (k != Kind::Bool && k != Kind::U32 && k != Kind::U64 && k != Kind::Object)
                return false;
        }
    }
    return true;
}
static_assert(rows_are_consistent(), "a row names other parameters than its operation takes");

/// Parameter names as interned str objects, for matching keywords by identity.
PyObject* g_param_names[kFunctionCount][kMaxParams];

// ---- Argument binding ------------------------------------------------------------------------

[[gnu::cold]] std::string quoted_list(const Row& row, const bool* filled) {
    std::string names[kMaxParams];
    std::size_t k = 0;
    for (std::size_t i = 0; i < row.required; ++i)
        if (!filled[i]) names[k++] = std::string("'") + row.params[i] + "'";
    std::string out;
    for (std::size_t i = 0; i < k; ++i) {
        if (i > 0) out += (k == 2) ? " and " : (i + 1 == k ? ", and " : ", ");
        out += names[i];
    }
    return out;
}

[[gnu::cold]] PyObject* raise_too_many(const Row& row, Py_ssize_t given) {
    const char* was = given == 1 ? "was" : "were";
    if (row.required == row.positional())
        return PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given",
                            row.name, int(row.positional()), given, was);
    return PyErr_Format(PyExc_TypeError,
                        "%s() takes from %d to %d positional arguments but %zd %s given", row.name,
                        int(row.required), int(row.positional()), given, was);
}

[[gnu::cold]] PyObject* raise_missing(const Row& row, const bool* filled) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < row.required; ++i) missing += !filled[i];
    std::string list = quoted_list(row, filled);
    return PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", row.name,
                        missing, missing == 1 ? "argument" : "arguments", list.c_str());
}

[[gnu::noinline]] int find_param_by_value(std::size_t fn, const Row& row, PyObject* key) {
    for (int i = 0; i < row.count; ++i) {
        int eq = PyUnicode_Compare(g_param_names[fn][i], key);
        if (eq == 0) return i;
    }
    if (PyErr_Occurred()) PyErr_Clear();
    return -1;
}

/// Index of the parameter named `key`, or -1. Interned names match by identity.
[[gnu::always_inline]] inline int find_param(std::size_t fn, const Row& row, PyObject* key) {
    for (int i = 0; i < row.count; ++i)
        if (g_param_names[fn][i] == key) [[likely]] return i;
    return find_param_by_value(fn, row, key);
}


/// Fills `slots` from positional and keyword arguments; false with TypeError raised.
template <std::size_t fn>
[[gnu::always_inline]] inline bool bind_general(PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kwnames, PyObject** slots) {
    constexpr const Row& row = kRows[fn];
    if (nargs > row.positional()) {
        raise_too_many(row, nargs);
        return false;
    }
    bool filled[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = args[i];
        filled[i] = true;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int index = find_param(fn, row, key);
        if (index < 0) [[unlikely]] {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", row.name,
                         key);
            return false;
        }
        if (filled[index]) [[unlikely]] {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", row.name,
                         key);
            return false;
        }
        slots[index] = args[nargs + k];
        filled[index] = true;
    }
    for (std::size_t i = 0; i < row.required; ++i) {
        if (!filled[i]) [[unlikely]] {
            raise_missing(row, filled);
            return false;
        }
    }
    for (std::size_t i = row.required; i < row.count; ++i)
        if (!filled[i]) slots[i] = nullptr;
    return true;
}

// ---- Conversion ------------------------------------------------------------------------------

/// Converts one argument by its kind. An omitted optional parameter (obj NULL) takes its
/// default: False, `fallback`, or a null Object.
[[gnu::always_inline]] inline bool convert(Kind kind, PyObject* obj, Arg& out,
                                           std::uint64_t fallback) {
    switch (kind) {
        case Kind::I64: return convert_i64(obj, out.i64);
        case Kind::U32:
            if (!obj) {
                out.u32 = static_cast<std::uint32_t>(fallback);
                return true;
            }
            return convert_u32(obj, out.u32);
        case Kind::U64:
            if (!obj) {
                out.u64 = fallback;
                return true;
            }
            return convert_u64(obj, out.u64);
        case Kind::U128: return convert_u128(obj, out.w128);
        case Kind::Bool:
            if (!obj) {
                out.b = false;
                return true;
            }
            return convert_bool(obj, out.b);
        case Kind::F64: return convert_f64(obj, out.f64);
        case Kind::F32: return convert_f32(obj, out.f32);
        case Kind::Text: {
            std::string_view text;
            if (!convert_text(obj, text)) return false;
            out.span = {text.data(), text.size()};
            return true;
        }
        case Kind::Bytes: {
            Bytes bytes;
            if (!convert_bytes(obj, bytes)) return false;
            out.span = {reinterpret_cast<const char*>(bytes.data), bytes.size};
            return true;
        }
        case Kind::Sequence: return (out.obj = convert_sequence(obj)) != nullptr;
        case Kind::View: return convert_text_view(obj, out.view);
        case Kind::Object:
            out.obj = obj;
            return true;
        case Kind::Buffer: break;  // needs the call's own Py_buffer: see Converted
    }
    return false;
}

constexpr bool takes_buffer(const Row& row) {
    for (std::size_t i = 0; i < row.count; ++i)
        if (row.kinds[i] == Kind::Buffer) return true;
    return false;
}

/// Where the Buffer parameter's export is kept (a row has at most one). Only rows that take a
/// buffer carry one: the entry points of the others keep their small frames, which re-entry
/// through a conversion stacks.
template <bool>
struct BufferSlot {};
template <>
struct BufferSlot<true> {
    Py_buffer view;
};

/// Converted arguments; a sequence argument's list and a buffer's export are released with them.
template <std::size_t I>
struct Converted : BufferSlot<takes_buffer(kRows[I])> {
    static constexpr std::size_t kCount = kRows[I].count;
    Arg args[kCount];
    std::size_t done = 0;
    Converted() = default;
    Converted(const Converted&) = delete;
    Converted& operator=(const Converted&) = delete;
    ~Converted() {
        for (std::size_t i = 0; i < done; ++i) {
            if (kRows[I].kinds[i] == Kind::Sequence) Py_DECREF(args[i].obj);
            if constexpr (takes_buffer(kRows[I]))
                if (kRows[I].kinds[i] == Kind::Buffer) PyBuffer_Release(&this->view);
        }
    }

    bool convert_arg(std::size_t i, PyObject* obj) {
        if constexpr (takes_buffer(kRows[I])) {
            if (kRows[I].kinds[i] == Kind::Buffer) {
                Buffer bytes;
                if (!convert_buffer(obj, this->view, bytes)) return false;
                args[i].span = {reinterpret_cast<const char*>(bytes.data), bytes.size};
                return true;
            }
        }
        return convert(kRows[I].kinds[i], obj, args[i], kRows[I].defaults[i]);
    }
};

constexpr bool one_buffer_at_most() {
    for (const Row& row : kRows) {
        int buffers = 0;
        for (std::size_t i = 0; i < row.count; ++i) buffers += row.kinds[i] == Kind::Buffer;
        if (buffers > 1) return false;
    }
    return true;
}
static_assert(one_buffer_at_most());

/// Bind, convert, call, convert the result.
template <std::size_t I>
[[gnu::flatten]] PyObject* call(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    constexpr const Row& row = kRows[I];
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* slots[row.count] = {};
    PyObject* const* bound = args;
    if (kwnames || nargs != row.count || row.keyword_only) [[unlikely]] {
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        const Py_ssize_t given = nargs + nkw;
        // Common shapes first: keywords (if any) name the parameters after the positional ones,
        // in order, by their interned names; left-out trailing parameters take their default.
        bool in_order = given >= row.required && given <= row.count && nargs <= row.positional();
        for (Py_ssize_t k = 0; in_order && k < nkw; ++k)
            in_order = PyTuple_GET_ITEM(kwnames, k) == g_param_names[I][nargs + k];
        if (in_order && given == row.count) {
            // args already holds every parameter in order.
        } else if (in_order) {
            for (Py_ssize_t i = 0; i < given; ++i) slots[i] = args[i];
            bound = slots;
        } else if (!bind_general<I>(args, nargs, kwnames, slots)) {
            return nullptr;
        } else {
            bound = slots;
        }
    }
    Converted<I> converted;
    for (; converted.done < row.count; ++converted.done) {
        const std::size_t i = converted.done;
        if (!converted.convert_arg(i, bound[i])) [[unlikely]] {
            prefix_argument_error(row.params[i]);
            return nullptr;
        }
    }
    return row.invoke(converted.args);
}

/// The entry point of function `I`. No C++ exception leaves it: running out of memory anywhere
/// below becomes MemoryError.
template <std::size_t I>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                PyObject* kwnames) noexcept {
    try {
        return call<I>(args, nargsf, kwnames);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "bitloom: unexpected internal exception");
        return nullptr;
    }
}

template <std::size_t... I>
constexpr std::array<PyMethodDef, kFunctionCount> make_method_defs(std::index_sequence<I...>) {
    return {{PyMethodDef{kRows[I].name,
                         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<I>)),
                         METH_FASTCALL | METH_KEYWORDS, kRows[I].doc}...}};
}

// The interpreter keeps pointers to these records for the life of the function objects.
std::array<PyMethodDef, kFunctionCount> g_method_defs =
    make_method_defs(std::make_index_sequence<kFunctionCount>{});

}  // namespace

bool prepare_function_table() {
    for (std::size_t fn = 0; fn < kFunctionCount; ++fn) {
        for (std::size_t i = 0; i < kRows[fn].count; ++i) {
            if (g_param_names[fn][i]) continue;
            PyObject* name = PyUnicode_InternFromString(kRows[fn].params[i]);
            if (!name) return false;
            g_param_names[fn][i] = name;  // kept for the life of the process
        }
    }
    return true;
}

int attach_functions(PyObject* module) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return -1;
    int status = 0;
    for (PyMethodDef& def : g_method_defs) {
        PyObject* function = PyCMethod_New(&def, module, module_name, nullptr);
        if (!function) {
            status = -1;
            break;
        }
        PyObject* name = PyObject_GetAttrString(function, "__name__");
        if (name && def.ml_name[0] == '_') {  // private: attached, not listed in __all__
            status = PyObject_SetAttr(module, name, function);
            Py_DECREF(name);
            Py_DECREF(function);
            if (status < 0) break;
            continue;
        }
        PyObject* all = name ? PyObject_GetAttrString(module, "__all__") : nullptr;
        if (name && !all && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            all = PyList_New(0);
            if (all && PyObject_SetAttrString(module, "__all__", all) < 0) Py_CLEAR(all);
        }
        if (!all || PyList_Append(all, name) < 0 || PyObject_SetAttr(module, name, function) < 0)
            status = -1;
        Py_XDECREF(all);
        Py_XDECREF(name);
        Py_DECREF(function);
        if (status < 0) break;
    }
    Py_DECREF(module_name);
    return status;
}

}  // namespace bitloom::py
