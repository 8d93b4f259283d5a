// The decode program: validation once, then one loop over the steps per packet, with the blocks
// of fixed fields decoded afterwards by the column kernels over a batch of packets.
#include "program.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "layout.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace bitloom::program {

// ---- What validation works out for the loop ----

/// A field of a block, ready for its kernels.
struct FieldPlan {
    columns::Field field;  // bits, byte order, reversal, encoding; `out` is set per call
    columns::Plan::Kernel aligned = nullptr, general = nullptr;  // null for raw fields
    std::uint64_t rel = 0;  // bits after the block's lowest bit
    std::uint64_t stride = 0;
    std::uint32_t count = 1;
    std::uint32_t size = 0;  // bytes per value in the slot (8: a span's start)
    columns::Element element = columns::Element::U8;
    std::int32_t slot = -1, register_ = -1;
    bool raw = false, text = false;
    bool plain = false;     // unsigned or two's complement, big-endian, not reversed
    bool deferred = false;  // its values come from the batch's kernel run
};

struct BlockPlan {
    std::uint32_t at = 0;
    std::uint32_t step = 0;  // the step that reads it
    std::int64_t low = 0, high = 0;  // lowest and highest bit of every element, after P[at]
    bool deferred = false;   // some field is decoded after the batch
    bool immediate = false;  // some field is decoded at once
    std::uint64_t elements = 0;  // fields and array elements: what a run of the block costs
    std::vector<FieldPlan> fields;
};

/// A route step whose every route tests registers for equality with constants (at most kMax
/// registers in all): each route is a row of the constants it asks for.
struct KeyedRoute {
    static constexpr std::uint32_t kMax = 4;
    struct Row {
        i128 key[kMax] = {};
        std::uint8_t mask = 0;  // bit j: the route tests registers[j]
        std::uint32_t target = 0;
    };
    std::uint32_t registers[kMax] = {};
    std::uint32_t count = 0;
    std::vector<Row> rows;  // in route order; a route that can never hold has no row
    // When the values the rows name lie close together, a table over them (each register's
    // values from low[j], then one index for any other value) gives the route in one lookup:
    // the target, kNone or kAmbiguous.
    static constexpr std::int64_t kNone = -1, kAmbiguous = -2;
    std::vector<std::int64_t> table;
    i128 low[kMax] = {};
    std::uint64_t span[kMax] = {}, stride[kMax] = {};
};

/// The forms of measure that the loop runs by a handler of their own, after the ops.
enum class MeasureKind : std::uint8_t { General, Sized, Terminated, Tagged };
constexpr std::size_t kExecOps = static_cast<std::size_t>(Op::End) + 4;

/// The handler a measure step runs by.
std::uint8_t exec_of(const Measure& m) {
    const auto op = [](MeasureKind k) { return static_cast<std::uint8_t>(static_cast<int>(Op::End) + static_cast<int>(k)); };
    if (m.size_from != SizeFrom::Form && m.form == Form::Plain) return op(MeasureKind::Sized);
    if (m.size_from == SizeFrom::Form && m.form == Form::Terminated) return op(MeasureKind::Terminated);
    if (m.size_from == SizeFrom::Form && m.form == Form::Tagged) return op(MeasureKind::Tagged);
    return static_cast<std::uint8_t>(Op::Measure);
}

struct Checked {
    std::vector<std::uint8_t> exec;  // per step: the handler, its op or a measure form's
    Program program;
    std::vector<BlockPlan> blocks;          // one per program.fields entry
    std::vector<std::uint32_t> value_sizes;  // per slot
    std::vector<KeyedRoute> keyed;
    std::vector<std::int32_t> keyed_at;  // per step: its keyed route, or -1
};

Arena::Arena(std::size_t size) : size_(size) {
#if defined(__linux__)
    // 2 MiB aligned, so that every part of the block can be a huge page.
    constexpr std::size_t kHuge = std::size_t{1} << 21;
    const std::size_t mapped = (size + kHuge - 1) / kHuge * kHuge;
    void* p = mmap(nullptr, mapped + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
        const auto start = reinterpret_cast<std::uintptr_t>(p);
        const auto aligned = (start + kHuge - 1) & ~std::uintptr_t{kHuge - 1};
        if (aligned > start) munmap(p, aligned - start);
        if (const std::size_t tail = kHuge - (aligned - start))
            munmap(reinterpret_cast<void*>(aligned + mapped), tail);
        base_ = reinterpret_cast<std::uint8_t*>(aligned);
        size_ = mapped;
        mapped_ = true;
#if defined(MADV_HUGEPAGE)
        madvise(base_, size_, MADV_HUGEPAGE);
#endif
        return;
    }
#endif
    base_ = static_cast<std::uint8_t*>(std::malloc(size));
    if (!base_) throw std::bad_alloc();
}

Arena::~Arena() {
#if defined(__linux__)
    if (mapped_) {
        munmap(base_, size_);
        return;
    }
#endif
    std::free(base_);
}

void Arena::populate(void* at, std::size_t bytes) const noexcept {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    if (!mapped_ || bytes == 0) return;
    constexpr std::uintptr_t kPage = 4096;
    const auto begin = reinterpret_cast<std::uintptr_t>(at) & ~(kPage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(at) + bytes + kPage - 1) & ~(kPage - 1);
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);  // a failure leaves the faults to come
#else
    (void)at;
    (void)bytes;
#endif
}

void* Arena::take(std::size_t bytes) noexcept {
    const std::size_t rounded = (bytes + 63) / 64 * 64;
    if (rounded < bytes || rounded > size_ - used_) return nullptr;
    void* out = base_ + used_;
    used_ += rounded;
    return out;
}

const Program& Valid::program() const noexcept { return checked_->program; }
std::size_t Valid::value_size(std::size_t k) const noexcept { return checked_->value_sizes[k]; }

const char* reason_name(Reason reason) noexcept {
    switch (reason) {
        case Reason::Ok: return "ok";
        case Reason::NeedsPython: return "needs python";
        case Reason::NoPacket: return "beyond the data";
        case Reason::OutOfPacket: return "outside the packet";
        case Reason::BadValue: return "bad value";
        case Reason::BadText: return "bad text";
        case Reason::NoTerminator: return "no terminator";
        case Reason::NotAligned: return "not on a byte boundary";
        case Reason::BadSize: return "bad size";
        case Reason::Unset: return "unset register";
        case Reason::Ambiguous: return "ambiguous route";
        case Reason::Budget: return "step budget spent";
        case Reason::Failed: return "failed";
    }
    return "?";
}

namespace {

using columns::Element;
constexpr i128 kLowest = -(i128{1} << 63);
constexpr i128 kPastHighest = i128{1} << 64;
/// Packets walked before their deferred blocks are decoded.
constexpr std::size_t kBatch = 512;

// ---- Validation ----

const char* op_name(Op op) {
    switch (op) {
        case Op::Fields: return "fields";
        case Op::Measure: return "measure";
        case Op::Calc: return "calc";
        case Op::Seek: return "seek";
        case Op::Jump: return "jump";
        case Op::If: return "if";
        case Op::Loop: return "loop";
        case Op::Route: return "route";
        case Op::Container: return "container";
        case Op::Emit: return "emit";
        case Op::Span: return "span";
        case Op::Python: return "python";
        case Op::Fail: return "fail";
        case Op::End: return "end";
    }
    return "?";
}

/// Collects the first fault of a program, with where it lies.
class Checker {
public:
    explicit Checker(const Program& p) : p_(p), writers_(p.slots.size(), 0) {}

    std::optional<CodecError> run();
    std::vector<std::uint32_t>& writers() { return writers_; }

private:
    bool fail(std::string what) {
        if (!fault_) fault_ = value_error(where_ + what);
        return false;
    }
    std::string n(std::uint64_t v) { return std::to_string(v); }
    bool index(std::uint64_t i, std::uint64_t count, const char* what) {
        if (i < count) return true;
        return fail(std::string(what) + " " + n(i) + " is out of range (" + n(count) + " " +
                    what + (count == 1 ? ")" : "s)"));
    }
    bool target(std::uint64_t t) {
        if (t <= p_.steps.size()) return true;
        return fail("target " + n(t) + " is out of range (0.." + n(p_.steps.size()) + ")");
    }
    bool operand(const Operand& o);
    bool condition(std::uint32_t node);
    bool slot_kind(std::int32_t slot, SlotKind kind, const char* what);
    bool fields(const Fields& f);
    bool field(const FieldRead& f);
    bool measure(const Measure& m);
    bool step(const Step& s);

    const Program& p_;
    std::vector<std::uint32_t> writers_;
    std::vector<std::uint8_t> depth_;       // per condition node, once checked
    std::vector<std::uint8_t> tables_used_;  // fields then measures
    std::string where_;
    std::optional<CodecError> fault_;
};

bool Checker::operand(const Operand& o) {
    switch (o.kind) {
        case Operand::Kind::Int:
            if (o.integer >= kLowest && o.integer < kPastHighest) return true;
            return fail("an integer constant passes 64 bits");
        case Operand::Kind::Float:
        case Operand::Kind::Size: return true;
        case Operand::Kind::Register: return index(o.index, p_.registers, "register");
        case Operand::Kind::Position: return index(o.index, p_.positions, "position");
    }
    return fail("unknown operand kind");
}

bool Checker::condition(std::uint32_t node) {
    return index(node, p_.conditions.size(), "condition") && depth_[node] != 0;
}

bool Checker::slot_kind(std::int32_t slot, SlotKind kind, const char* what) {
    if (slot < 0) return true;
    if (!index(static_cast<std::uint32_t>(slot), p_.slots.size(), "slot")) return false;
    ++writers_[static_cast<std::size_t>(slot)];
    if (p_.slots[static_cast<std::size_t>(slot)].kind == kind) return true;
    return fail("slot " + n(static_cast<std::uint32_t>(slot)) + " does not hold " + what);
}

bool Checker::field(const FieldRead& f) {
    if (f.count == 0) return fail("count must be at least 1");
    if (f.count > 1 && f.stride == 0) return fail("elements need a stride of at least 1 bit");
    if (f.count > 1 && f.register_ >= 0) return fail("an array of elements cannot go to a register");
    if (f.register_ >= 0 && !index(static_cast<std::uint32_t>(f.register_), p_.registers, "register"))
        return false;
    // Every bit of every element stays within 2^62 bits of P[at].
    constexpr i128 kReach = i128{1} << 62;
    const i128 spread = i128{f.count - 1} * f.stride;
    const i128 last = i128{f.offset} + spread + f.bits;
    if (f.offset < -kReach || f.offset > kReach || spread > kReach || last > kReach)
        return fail("the field reaches beyond 2^62 bits from its position");
    if (f.raw) {
        if (f.little || f.reverse) return fail("raw bits take no byte order or reversal");
        if (f.register_ >= 0) return fail("raw bits cannot go to a register");
        return slot_kind(f.slot, SlotKind::Span, "spans");
    }
    const UnpackEncoding e = f.encoding;
    if (e > UnpackEncoding::Windows1252) return fail("unknown encoding");
    if (columns::is_text(e)) {
        if (f.little || f.reverse) return fail("text takes no byte order or reversal");
        if (f.register_ >= 0) return fail("text cannot go to a register");
        if (!slot_kind(f.slot, SlotKind::Text, "text")) return false;
        if (f.slot >= 0 && p_.slots[static_cast<std::size_t>(f.slot)].text != e)
            return fail("slot " + n(static_cast<std::uint32_t>(f.slot)) +
                        " holds text of another encoding");
        return true;
    }
    const bool wide = (e == UnpackEncoding::Ieee754F128 && f.bits == 128) ||
                      (e == UnpackEncoding::Ieee754_1985F80 && f.bits == 80);
    if (e == UnpackEncoding::Ieee754F128 && f.bits != 128)
        return fail("IEEE 754 f128 requires a 128-bit field, got " + n(f.bits) + " bits");
    if (f.bits > 64 && !wide) return fail("cannot decode " + n(f.bits) + " bits into a 64-bit value");
    if (!slot_kind(f.slot, SlotKind::Number, "numbers")) return false;
    if (f.slot >= 0 &&
        p_.slots[static_cast<std::size_t>(f.slot)].element != columns::element_of(e, f.bits))
        return fail("slot " + n(static_cast<std::uint32_t>(f.slot)) +
                    " holds another element type than the field gives");
    return true;
}

bool Checker::fields(const Fields& b) {
    if (!index(b.at, p_.positions, "position")) return false;
    const std::string outer = where_;
    for (std::size_t k = 0; k < b.fields.size(); ++k) {
        where_ = outer + "field " + n(k) + ": ";
        if (!field(b.fields[k])) return false;
    }
    where_ = outer;
    return true;
}

bool Checker::measure(const Measure& m) {
    if (!index(m.at, p_.positions, "position")) return false;
    if (m.end >= 0 && !index(static_cast<std::uint32_t>(m.end), p_.positions, "position"))
        return false;
    if (m.offset < -(std::int64_t{1} << 62) || m.offset > (std::int64_t{1} << 62))
        return fail("the offset passes 2^62 bits");
    switch (m.form) {
        case Form::Plain:
            if (m.size_from == SizeFrom::Form) return fail("a plain field needs a size");
            break;
        case Form::Terminated:
            if (m.terminator_size < 1 || m.terminator_size > 8)
                return fail("the terminator must have 1 to 8 bytes");
            if (m.unit < 1 || m.unit > 8) return fail("the terminator's unit must be 1 to 8 bytes");
            break;
        case Form::Tagged:
            if (m.tag_bits < 1 || m.tag_bits > 64) return fail("the size tag must have 1 to 64 bits");
            if (m.tag_unit < 1 || m.tag_unit > (1u << 16))
                return fail("the size tag's unit must be 1 to 65536 bits");
            break;
        default: return fail("unknown form");
    }
    if (m.size_from == SizeFrom::Register && !index(m.size, p_.registers, "register")) return false;
    if (m.size_from > SizeFrom::Register) return fail("unknown size");
    if (m.slot >= 0) {
        if (!index(static_cast<std::uint32_t>(m.slot), p_.slots.size(), "slot")) return false;
        ++writers_[static_cast<std::size_t>(m.slot)];
        if (p_.slots[static_cast<std::size_t>(m.slot)].kind == SlotKind::Number)
            return fail("slot " + n(static_cast<std::uint32_t>(m.slot)) + " holds numbers, not spans or text");
    }
    return true;
}

bool Checker::step(const Step& s) {
    auto table = [&](std::size_t count, std::size_t base) {
        if (!index(s.table, count, s.op == Op::Fields ? "fields table" : "measure table"))
            return false;
        if (tables_used_[base + s.table]++) return fail("its table is used by another step");
        return true;
    };
    switch (s.op) {
        case Op::Fields:
            return table(p_.fields.size(), 0) && fields(p_.fields[s.table]);
        case Op::Measure:
            return table(p_.measures.size(), p_.fields.size()) && measure(p_.measures[s.table]);
        case Op::Calc:
            if (s.arith > Arith::FloorDiv) return fail("unknown arithmetic");
            return index(s.a, p_.registers, "register") && operand(s.x) && operand(s.y);
        case Op::Seek:
            return index(s.a, p_.positions, "position") && index(s.b, p_.positions, "position") &&
                   operand(s.x);
        case Op::Jump: return target(s.a);
        case Op::If: return condition(s.a) && target(s.b);
        case Op::Loop: return index(s.a, p_.registers, "register") && target(s.b);
        case Op::Route: {
            if (s.a == 0) return fail("a route step needs at least one route");
            if (std::uint64_t{s.table} + s.a > p_.routes.size())
                return fail("routes " + n(s.table) + ".." + n(std::uint64_t{s.table} + s.a) +
                            " are out of range (" + n(p_.routes.size()) + " routes)");
            for (std::uint32_t k = 0; k < s.a; ++k) {
                const Route& r = p_.routes[s.table + k];
                if (!condition(r.condition) || !target(r.target)) return false;
            }
            return true;
        }
        case Op::Container: return index(s.a, p_.containers, "container");
        case Op::Emit:
            return index(s.a, p_.slots.size(), "slot") &&
                   slot_kind(static_cast<std::int32_t>(s.a), SlotKind::Number, "numbers") &&
                   operand(s.x);
        case Op::Span:
            return index(s.a, p_.slots.size(), "slot") &&
                   slot_kind(static_cast<std::int32_t>(s.a), SlotKind::Span, "spans") &&
                   index(s.b, p_.positions, "position") && index(s.c, p_.positions, "position");
        case Op::Python:
        case Op::Fail:
        case Op::End: return true;
    }
    return fail("unknown op");
}

std::optional<CodecError> Checker::run() {
    const Program& p = p_;
    if (p.positions < 1 || p.positions > kMaxPositions)
        return value_error("positions must be 1 to " + n(kMaxPositions) + ", got " + n(p.positions));
    if (p.registers > kMaxRegisters)
        return value_error("registers must be at most " + n(kMaxRegisters) + ", got " + n(p.registers));
    if (p.slots.size() > kMaxSlots)
        return value_error("at most " + n(kMaxSlots) + " slots, got " + n(p.slots.size()));
    if (p.steps.size() > kMaxSteps)
        return value_error("at most " + n(kMaxSteps) + " steps, got " + n(p.steps.size()));
    if (p.containers > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()))
        return value_error("too many containers: " + n(p.containers));
    if (p.budget_base < 1 || p.budget_base > kMaxBudget || p.budget_per_byte > (1u << 16))
        return value_error("the budget must be 1 to 2^40 steps and 0 to 65536 steps per byte");
    for (std::size_t k = 0; k < p.slots.size(); ++k) {
        const Slot& s = p.slots[k];
        const bool ok = s.kind == SlotKind::Span ||
                        (s.kind == SlotKind::Number && s.element < Element::Text) ||
                        (s.kind == SlotKind::Text && columns::is_text(s.text));
        if (!ok) return value_error("slot " + n(k) + ": unknown kind");
    }
    // Conditions: children before their parent, so the trees have no cycles; bounded depth.
    depth_.assign(p.conditions.size(), 0);
    for (std::size_t k = 0; k < p.conditions.size(); ++k) {
        const Condition& c = p.conditions[k];
        where_ = "condition " + n(k) + ": ";
        if (c.kind == Condition::Kind::Compare) {
            if (c.op > Compare::Ge) fail("unknown comparison");
            else if (operand(c.lhs) && operand(c.rhs)) depth_[k] = 1;
        } else if (c.kind > Condition::Kind::Any) {
            fail("unknown condition kind");
        } else if (c.count == 0) {
            fail("\"and\" and \"or\" need at least one condition");
        } else if (std::uint64_t{c.first} + c.count > p.children.size()) {
            fail("children out of range");
        } else {
            std::uint8_t deepest = 0;
            for (std::uint32_t j = 0; j < c.count && !fault_; ++j) {
                const std::uint32_t child = p.children[c.first + j];
                if (child >= k) fail("a child must come before its parent");
                else deepest = std::max(deepest, depth_[child]);
            }
            if (!fault_ && deepest >= kMaxConditionDepth)
                fail("conditions nest deeper than " + n(kMaxConditionDepth) + " levels");
            else if (!fault_) depth_[k] = static_cast<std::uint8_t>(deepest + 1);
        }
        if (fault_) return fault_;
    }
    tables_used_.assign(p.fields.size() + p.measures.size(), 0);
    for (std::size_t k = 0; k < p.steps.size(); ++k) {
        where_ = "step " + n(k) + " (" + op_name(p.steps[k].op) + "): ";
        if (p.steps[k].op > Op::End) where_ = "step " + n(k) + ": ";
        if (!step(p.steps[k])) return fault_;
    }
    where_.clear();
    if (std::find(tables_used_.begin(), tables_used_.end(), 0) != tables_used_.end())
        return value_error("a fields or measure table is used by no step");
    return std::nullopt;
}

BlockPlan plan_block(const Fields& b, std::uint32_t step, const std::vector<std::uint32_t>& writers,
                     const std::vector<std::uint32_t>& sizes) {
    BlockPlan plan;
    plan.at = b.at;
    plan.step = step;
    if (!b.fields.empty()) {
        plan.low = std::numeric_limits<std::int64_t>::max();
        plan.high = std::numeric_limits<std::int64_t>::min();
    }
    // Only a block with several values to keep waits for the batch: for one or two values the
    // notes cost more than decoding them at once.
    constexpr std::uint64_t kDeferFrom = 4;
    std::uint64_t deferrable = 0;
    for (const FieldRead& f : b.fields)
        if (f.slot >= 0 && writers[static_cast<std::size_t>(f.slot)] == 1) deferrable += f.count;
    for (const FieldRead& f : b.fields) {
        plan.elements += f.count;
        plan.low = std::min(plan.low, f.offset);
        plan.high = std::max(plan.high, static_cast<std::int64_t>(
                                            f.offset + static_cast<std::int64_t>((f.count - 1) * f.stride) +
                                            static_cast<std::int64_t>(f.bits)));
    }
    for (const FieldRead& f : b.fields) {
        FieldPlan fp;
        fp.field = columns::Field{.bits = f.bits, .little = f.little, .reverse = f.reverse,
                                  .encoding = f.encoding};
        fp.rel = static_cast<std::uint64_t>(f.offset - plan.low);
        fp.stride = f.stride;
        fp.count = f.count;
        fp.slot = f.slot;
        fp.register_ = f.register_;
        fp.raw = f.raw;
        fp.text = !f.raw && columns::is_text(f.encoding);
        if (!f.raw) {
            fp.element = columns::element_of(f.encoding, f.bits);
            fp.aligned = columns::field_kernel(fp.field, true);
            fp.general = columns::field_kernel(fp.field, false);
        }
        fp.size = f.slot >= 0 ? sizes[static_cast<std::size_t>(f.slot)] : 8;
        // A plain integer for a register is cut inline, without the kernel's call.
        fp.plain = !f.raw && !f.little && !f.reverse && f.bits >= 1 && f.bits <= 64 &&
                   (f.encoding == UnpackEncoding::Unsigned || f.encoding == UnpackEncoding::TwosComplement);
        fp.deferred = f.slot >= 0 && writers[static_cast<std::size_t>(f.slot)] == 1 && deferrable >= kDeferFrom;
        plan.deferred |= fp.deferred;
        plan.immediate |= f.register_ >= 0 || (!fp.deferred && (f.slot >= 0 || fp.general != nullptr));
        plan.fields.push_back(fp);
    }
    return plan;
}

/// Adds the equalities of a condition to `row` (false when it holds other tests).
bool equalities(const Program& p, std::uint32_t node, KeyedRoute& k, KeyedRoute::Row& row, bool& never) {
    const Condition& c = p.conditions[node];
    if (c.kind == Condition::Kind::All) {
        for (std::uint32_t j = 0; j < c.count; ++j)
            if (!equalities(p, p.children[c.first + j], k, row, never)) return false;
        return true;
    }
    if (c.kind != Condition::Kind::Compare || c.op != Compare::Eq) return false;
    const bool left = c.lhs.kind == Operand::Kind::Register && c.rhs.kind == Operand::Kind::Int;
    const bool right = c.rhs.kind == Operand::Kind::Register && c.lhs.kind == Operand::Kind::Int;
    if (!left && !right) return false;
    const Operand& reg = left ? c.lhs : c.rhs;
    const i128 value = left ? c.rhs.integer : c.lhs.integer;
    std::uint32_t j = 0;
    while (j < k.count && k.registers[j] != reg.index) ++j;
    if (j == k.count) {
        if (k.count == KeyedRoute::kMax) return false;
        k.registers[k.count++] = reg.index;
    }
    if (row.mask >> j & 1) never |= row.key[j] != value;  // two different values: never holds
    row.mask = static_cast<std::uint8_t>(row.mask | 1u << j);
    row.key[j] = value;
    return true;
}

/// Fills the keyed route's table when it stays small.
void tabulate(KeyedRoute& k, bool unique) {
    constexpr std::uint64_t kMaxSpan = 1024, kMaxCells = 4096, kMaxWork = 1u << 20;
    std::uint64_t cells = 1;
    for (std::uint32_t j = 0; j < k.count; ++j) {
        bool any = false;
        i128 low = 0, high = 0;
        for (const KeyedRoute::Row& row : k.rows) {
            if (!(row.mask >> j & 1)) continue;
            low = any ? std::min(low, row.key[j]) : row.key[j];
            high = any ? std::max(high, row.key[j]) : row.key[j];
            any = true;
        }
        if (high - low >= kMaxSpan) return;
        k.low[j] = low;
        k.span[j] = any ? static_cast<std::uint64_t>(high - low) + 1 : 0;
        k.stride[j] = cells;
        cells *= k.span[j] + 1;
    }
    if (cells > kMaxCells || cells * std::max<std::size_t>(k.rows.size(), 1) > kMaxWork) return;
    k.table.assign(cells, KeyedRoute::kNone);
    for (std::uint64_t cell = 0; cell < cells; ++cell) {
        for (const KeyedRoute::Row& row : k.rows) {
            bool match = true;
            for (std::uint32_t j = 0; j < k.count && match; ++j) {
                if (!(row.mask >> j & 1)) continue;
                const std::uint64_t index = cell / k.stride[j] % (k.span[j] + 1);
                match = index < k.span[j] && k.low[j] + static_cast<i128>(index) == row.key[j];
            }
            if (!match) continue;
            std::int64_t& entry = k.table[cell];
            if (entry == KeyedRoute::kNone) {
                entry = row.target;
                if (!unique) break;
            } else {
                entry = KeyedRoute::kAmbiguous;
                break;
            }
        }
    }
}

/// The keyed form of a route step, when it has one.
std::optional<KeyedRoute> key_routes(const Program& p, const Step& s) {
    KeyedRoute k;
    for (std::uint32_t r = 0; r < s.a; ++r) {
        const Route& route = p.routes[s.table + r];
        KeyedRoute::Row row;
        row.target = route.target;
        bool never = false;
        if (!equalities(p, route.condition, k, row, never)) return std::nullopt;
        if (!never) k.rows.push_back(row);
    }
    tabulate(k, s.unique);
    return k;
}

}  // namespace

Result<Valid> validate(Program program) {
    Checker checker(program);
    if (auto fault = checker.run()) return std::move(*fault);
    auto checked = std::make_shared<Checked>();
    for (const Slot& s : program.slots)
        checked->value_sizes.push_back(
            s.kind == SlotKind::Number ? static_cast<std::uint32_t>(columns::element_size(s.element)) : 8);
    checked->blocks.resize(program.fields.size());
    checked->keyed_at.assign(program.steps.size(), -1);
    for (std::size_t k = 0; k < program.steps.size(); ++k) {
        const Step& s = program.steps[k];
        if (s.op == Op::Fields)
            checked->blocks[s.table] = plan_block(program.fields[s.table], static_cast<std::uint32_t>(k),
                                                  checker.writers(), checked->value_sizes);
        if (s.op == Op::Route) {
            if (auto keyed = key_routes(program, s)) {
                checked->keyed_at[k] = static_cast<std::int32_t>(checked->keyed.size());
                checked->keyed.push_back(std::move(*keyed));
            }
        }
    }
    // A last End step: a jump to the end lands on it, so the loop needs no bound check.
    program.steps.push_back(Step{});
    checked->keyed_at.push_back(-1);
    for (const Step& s : program.steps)
        checked->exec.push_back(s.op == Op::Measure ? exec_of(program.measures[s.table])
                                                    : static_cast<std::uint8_t>(s.op));
    checked->program = std::move(program);
    Valid valid;
    valid.checked_ = std::move(checked);
    return valid;
}

// ---- The loop ----

namespace {

struct Value {
    i128 i = 0;
    double f = 0;
    bool real = false;
};

struct Register {
    Value v;
    std::uint64_t stamp = 0;
};

struct Position {
    std::uint64_t bit = 0;
    std::uint64_t stamp = 0;
};

/// The deferred entries of one block in the current batch: where its lowest bit lies and whose
/// packet it is, in the order the steps ran.
struct Pending {
    Growing<std::uint64_t> starts;
    Growing<std::uint32_t> rows;
    Growing<std::uint32_t> order;  // the entry's place among its packet's deferred entries
    std::uint64_t misaligned = 0;  // the low 3 bits of every start, or-ed
};

/// The three-way order of two values; 2 when unordered (a NaN).
int order(const Value& a, const Value& b) noexcept {
    if (!a.real && !b.real) return a.i < b.i ? -1 : a.i > b.i;
    if (a.real && b.real) {
        if (std::isnan(a.f) || std::isnan(b.f)) return 2;
        return a.f < b.f ? -1 : a.f > b.f;
    }
    // An integer against a float, exactly: compare with the float's integer part, then its
    // fraction.
    const bool flip = a.real;
    const i128 x = flip ? b.i : a.i;
    const double d = flip ? a.f : b.f;
    int r;
    if (std::isnan(d)) return 2;
    if (d >= 0x1p127) r = -1;
    else if (d < -0x1p127) r = 1;
    else {
        const double whole = std::trunc(d);
        const i128 t = static_cast<i128>(whole);
        if (x != t) r = x < t ? -1 : 1;
        else r = d > whole ? -1 : d < whole;
    }
    return flip ? -r : r;
}

bool holds(Compare op, int o) noexcept {
    if (o == 2) return op == Compare::Ne;
    switch (op) {
        case Compare::Eq: return o == 0;
        case Compare::Ne: return o != 0;
        case Compare::Lt: return o < 0;
        case Compare::Le: return o <= 0;
        case Compare::Gt: return o > 0;
        case Compare::Ge: return o >= 0;
    }
    return false;
}

/// A value as a count of bits or elements: a whole number in [0, 2^64).
bool to_count(const Value& v, std::uint64_t& out) noexcept {
    if (!v.real) {
        if (v.i < 0 || v.i >= kPastHighest) return false;
        out = static_cast<std::uint64_t>(v.i);
        return true;
    }
    if (!(v.f >= 0) || v.f >= 0x1p64 || v.f != std::floor(v.f)) return false;
    out = static_cast<std::uint64_t>(v.f);
    return true;
}

/// The low `size` bytes of v as an integer element (1, 2, 4 or 8 bytes).
inline void store_low(std::uint8_t* out, std::uint64_t v, std::size_t size) noexcept {
    switch (size) {
        case 1: *out = static_cast<std::uint8_t>(v); break;
        case 2: {
            const auto x = static_cast<std::uint16_t>(v);
            std::memcpy(out, &x, 2);
            break;
        }
        case 4: {
            const auto x = static_cast<std::uint32_t>(v);
            std::memcpy(out, &x, 4);
            break;
        }
        default: std::memcpy(out, &v, 8);
    }
}

/// A value written to a register from a decoded element.
Value widen(Element element, const void* p) noexcept {
    Value v;
    switch (element) {
        case Element::U8: v.i = *static_cast<const std::uint8_t*>(p); break;
        case Element::U16: v.i = *static_cast<const std::uint16_t*>(p); break;
        case Element::U32: v.i = *static_cast<const std::uint32_t*>(p); break;
        case Element::U64: v.i = *static_cast<const std::uint64_t*>(p); break;
        case Element::I8: v.i = *static_cast<const std::int8_t*>(p); break;
        case Element::I16: v.i = *static_cast<const std::int16_t*>(p); break;
        case Element::I32: v.i = *static_cast<const std::int32_t*>(p); break;
        case Element::I64: v.i = *static_cast<const std::int64_t*>(p); break;
        case Element::F32: v.f = *static_cast<const float*>(p), v.real = true; break;
        default: v.f = *static_cast<const double*>(p), v.real = true; break;
    }
    return v;
}

template <class T>
bool narrow_int(const Value& v, std::uint8_t* out) noexcept {
    i128 x;
    if (v.real) {
        if (!(v.f == std::floor(v.f)) || v.f < -0x1p64 || v.f >= 0x1p64) return false;
        x = static_cast<i128>(v.f);
    } else {
        x = v.i;
    }
    if (x < static_cast<i128>(std::numeric_limits<T>::min()) ||
        x > static_cast<i128>(std::numeric_limits<T>::max()))
        return false;
    const T t = static_cast<T>(x);
    std::memcpy(out, &t, sizeof t);
    return true;
}

/// An emitted value in a number slot's element type; false when it does not fit.
bool narrow(Element element, const Value& v, std::uint8_t* out) noexcept {
    switch (element) {
        case Element::U8: return narrow_int<std::uint8_t>(v, out);
        case Element::U16: return narrow_int<std::uint16_t>(v, out);
        case Element::U32: return narrow_int<std::uint32_t>(v, out);
        case Element::U64: return narrow_int<std::uint64_t>(v, out);
        case Element::I8: return narrow_int<std::int8_t>(v, out);
        case Element::I16: return narrow_int<std::int16_t>(v, out);
        case Element::I32: return narrow_int<std::int32_t>(v, out);
        case Element::I64: return narrow_int<std::int64_t>(v, out);
        case Element::F32: {
            const float f = v.real ? static_cast<float>(v.f) : static_cast<float>(v.i);
            std::memcpy(out, &f, sizeof f);
            return true;
        }
        default: {
            const double d = v.real ? v.f : static_cast<double>(v.i);
            std::memcpy(out, &d, sizeof d);
            return true;
        }
    }
}

class Machine {
public:
    Machine(const Checked& c, const Input& in, const Status& status, Share& share)
        : c_(c), p_(c.program), in_(in), status_(status), share_(share),
          registers_(p_.registers), positions_(p_.positions), pending_(c.blocks.size()) {
        packets_.data = in.data;
        packets_.size = in.size;
        share_.slots.resize(p_.slots.size());
    }

    /// Runs the share's first batch of packets; `finish` runs the others.
    void start(std::size_t first, std::size_t last) {
        share_.first = first;
        share_.last = last;
        batches(first, std::min(last, first + kBatch));
    }
    void finish() { batches(std::min(share_.last, share_.first + kBatch), share_.last); }

    /// The values slot k may take over the whole share, at the first batch's rate and a little
    /// more; 0 when the first batch gave none.
    std::size_t estimate(std::size_t k) const noexcept {
        const std::size_t done = std::min(share_.last - share_.first, kBatch);
        const std::size_t rows = share_.slots[k].rows.size();
        if (rows == 0 || done == 0) return 0;
        const double scale = static_cast<double>(share_.last - share_.first) / static_cast<double>(done) * 1.1;
        return static_cast<std::size_t>(static_cast<double>(rows) * scale) + 64;
    }

    /// Moves slot k's values into its regions of the arena (room for `count` values each).
    void adopt(std::size_t k, const Arena& arena, std::size_t count, std::uint32_t* rows,
               std::uint8_t* values, std::uint64_t* lengths) {
        SlotValues& s = share_.slots[k];
        const std::size_t size = c_.value_sizes[k];
        arena.populate(rows, count * sizeof(std::uint32_t));
        arena.populate(values, count * size);
        s.rows.adopt(rows, count);
        s.values.adopt(values, count * size);
        if (lengths) {
            arena.populate(lengths, count * sizeof(std::uint64_t));
            s.lengths.adopt(lengths, count);
        }
    }

private:
    void batches(std::size_t from, std::size_t to) {
        for (std::size_t a = from; a < to; a += kBatch) {
            const std::size_t b = std::min(to, a + kBatch);
            batch_ = a;
            batch_failed_ = false;
            for (std::size_t i = a; i < b; ++i) packet(i);
            flush();
            if (batch_failed_) compact();
        }
    }

    // ---- One packet ----

    void packet(std::size_t i) {
        row_ = static_cast<std::uint32_t>(i);
        status_.container[i] = -1;
        const std::uint64_t offset = in_.offsets[i];  // read once: the caller's array may change
        const std::uint64_t size = in_.sizes ? in_.sizes[i] : offset <= in_.size ? in_.size - offset : 0;
        if (offset > in_.size || size > in_.size - offset || offset >= (std::uint64_t{1} << 60)) {
            finish(i, Reason::NoPacket, -1);
            return;
        }
        start_bit_ = offset * 8;
        bits_ = size * 8;
        ++stamp_;
        pos_[0] = Position{0, stamp_};
        touched_blocks_.clear();
        const u128 allowed = u128{p_.budget_base} + u128{p_.budget_per_byte} * size;
        left_ = allowed > kMaxBudget * 1024 ? kMaxBudget * 1024 : static_cast<std::uint64_t>(allowed);
        std::uint32_t pc = 0;
        const Reason reason = walk(pc);
        if (reason == Reason::Ok) {
            finish(i, Reason::Ok, -1);
            return;
        }
        // A block noted earlier in this packet may fail first: check its entries in the order
        // they were noted, then forget them. A block noted n times holds this packet's entries
        // as its last n.
        Reason why = reason;
        std::int64_t where = pc;
        for (std::uint32_t k : touched_blocks_) ++noted_[k];
        bool found = false;
        for (std::uint32_t k : touched_blocks_) {
            const Pending& p = pending_[k];
            const std::size_t entry = p.starts.size() - noted_[k]--;
            if (found) continue;
            const BlockPlan& b = blocks_[k];
            if (Reason r = check_deferred(b, p.starts[entry], b.fields.size()); r != Reason::Ok) {
                why = r;
                where = b.step;
                found = true;
            }
        }
        for (std::uint32_t k : touched_blocks_) forget_last(pending_[k]);
        finish(i, why, where);
    }

    static void forget_last(Pending& p) noexcept {
        p.starts.pop_back();
        p.rows.pop_back();
        p.order.pop_back();
    }

    void finish(std::size_t i, Reason reason, std::int64_t step) {
        status_.reason[i] = static_cast<std::uint8_t>(reason);
        status_.step[i] = static_cast<std::int32_t>(step);
        if (reason != Reason::Ok) batch_failed_ = true;
    }

    /// Runs the steps from `pc` to the end of the packet. Each step's handler ends in its own
    /// jump to the next step's handler, which the processor predicts far better than one jump
    /// shared by all of them.
    Reason walk(std::uint32_t& pc) {
        static const void* const kHandlers[] = {
            &&fields, &&measure, &&calc, &&seek, &&jump, &&when, &&loop, &&route, &&container,
            &&emit, &&span, &&python, &&fail, &&end, &&measure_sized, &&measure_terminated,
            &&measure_tagged,
        };
        static_assert(std::size(kHandlers) == kExecOps);
        const Step* const steps = p_.steps.data();  // ends in an End step
        const std::uint8_t* const exec = c_.exec.data();
        const Step* s = nullptr;
        Reason r = Reason::Ok;
        // The budget lives in a register here: in the object, every byte a step writes could
        // change it, so each step would load and store it.
        std::uint64_t budget = left_;
#define BL_NEXT()                                          \
    do {                                                   \
        if (budget-- == 0) [[unlikely]]                    \
            return Reason::Budget;                         \
        s = steps + pc;                                    \
        goto* kHandlers[exec[pc]];                         \
    } while (0)
#define BL_STEP(call)              \
    do {                           \
        r = (call);                \
        if (r != Reason::Ok) [[unlikely]] \
            return r;              \
        ++pc;                      \
        BL_NEXT();                 \
    } while (0)
        BL_NEXT();
    fields: {
        // Every element read counts against the budget, so a packet's values stay bounded.
        const std::uint64_t elements = blocks_[s->table].elements;
        if (elements > budget) return Reason::Budget;
        budget -= elements;
        BL_STEP(this->fields(s->table));
    }
    measure:
        BL_STEP(this->measure<MeasureKind::General>(measures_[s->table]));
    measure_sized:
        BL_STEP(this->measure<MeasureKind::Sized>(measures_[s->table]));
    measure_terminated:
        BL_STEP(this->measure<MeasureKind::Terminated>(measures_[s->table]));
    measure_tagged:
        BL_STEP(this->measure<MeasureKind::Tagged>(measures_[s->table]));
    calc:
        BL_STEP(this->calc(*s));
    seek:
        BL_STEP(this->seek(*s));
    jump:
        pc = s->a;
        BL_NEXT();
    when: {
        const int holds = condition(s->a, r);
        if (holds < 0) return r;
        pc = holds ? pc + 1 : s->b;
        BL_NEXT();
    }
    loop: {
        Register& reg = regs_[s->a];
        if (reg.stamp != stamp_) return Reason::Unset;
        std::uint64_t n;
        if (!to_count(reg.v, n)) return Reason::BadSize;
        if (n == 0) {
            pc = s->b;
            BL_NEXT();
        }
        if (reg.v.real) reg.v.f -= 1;
        else reg.v.i -= 1;
        ++pc;
        BL_NEXT();
    }
    route:
        r = this->route(*s, pc);
        if (r != Reason::Ok) return r;
        BL_NEXT();
    container:
        status_.container[row_] = static_cast<std::int32_t>(s->a);
        ++pc;
        BL_NEXT();
    emit:
        BL_STEP(this->emit(*s));
    span:
        BL_STEP(this->span(*s));
    python:
        return Reason::NeedsPython;
    fail:
        return Reason::Failed;
    end:
        return Reason::Ok;
#undef BL_STEP
#undef BL_NEXT
    }

    /// A route step: `pc` becomes the chosen route's target, or the next step.
    Reason route(const Step& s, std::uint32_t& pc) {
        const std::int32_t keyed = c_.keyed_at[pc];
        if (keyed >= 0) {
            // Every route tests registers for equality with constants: all of them at once,
            // without a branch per route, when those registers hold integers.
            const KeyedRoute& k = c_.keyed[static_cast<std::size_t>(keyed)];
            i128 v[KeyedRoute::kMax] = {};
            bool ready = true;
            for (std::uint32_t j = 0; j < k.count; ++j) {
                const Register& reg = regs_[k.registers[j]];
                ready &= reg.stamp == stamp_ && !reg.v.real;
                v[j] = reg.v.i;
            }
            if (ready && !k.table.empty()) {
                std::uint64_t cell = 0;
                for (std::uint32_t j = 0; j < k.count; ++j) {
                    const i128 d = v[j] - k.low[j];
                    cell += k.stride[j] * (d >= 0 && d < static_cast<i128>(k.span[j]) ? static_cast<std::uint64_t>(d) : k.span[j]);
                }
                const std::int64_t entry = k.table[cell];
                if (entry == KeyedRoute::kAmbiguous) return Reason::Ambiguous;
                pc = entry == KeyedRoute::kNone ? pc + 1 : static_cast<std::uint32_t>(entry);
                return Reason::Ok;
            }
            if (ready) {
                std::uint32_t matches = 0, chosen = pc + 1;
                for (std::size_t row = k.rows.size(); row-- > 0;) {
                    const KeyedRoute::Row& w = k.rows[row];
                    bool match = true;
                    for (std::uint32_t j = 0; j < k.count; ++j) match &= !(w.mask >> j & 1) || w.key[j] == v[j];
                    matches += match;
                    chosen = match ? w.target : chosen;
                }
                if (matches > 1 && s.unique) return Reason::Ambiguous;
                pc = chosen;
                return Reason::Ok;
            }
        }
        Reason why = Reason::Ok;
        std::uint32_t chosen = pc + 1;
        bool found = false;
        for (std::uint32_t k = 0; k < s.a; ++k) {
            const Route& route = p_.routes[s.table + k];
            const int holds = condition(route.condition, why);
            if (holds < 0) return why;
            if (!holds) continue;
            if (found) return Reason::Ambiguous;
            chosen = route.target;
            found = true;
            if (!s.unique) break;
        }
        pc = chosen;
        return Reason::Ok;
    }

    // ---- Registers and positions ----

    /// `base + offset`; false before the packet's first bit or past 64 bits (the caller then
    /// finds the place outside the packet).
    static bool place(std::uint64_t base, std::int64_t offset, std::uint64_t& out) noexcept {
        if (offset < 0) {
            const auto back = static_cast<std::uint64_t>(-offset);  // offsets lie within 2^62
            if (base < back) return false;
            out = base - back;
            return true;
        }
        return !__builtin_add_overflow(base, static_cast<std::uint64_t>(offset), &out);
    }

    bool position(std::uint32_t k, std::uint64_t& out) const noexcept {
        const Position& p = pos_[k];
        out = p.bit;
        return p.stamp == stamp_;
    }

    bool load(const Operand& o, Value& v, Reason& why) const noexcept {
        switch (o.kind) {
            case Operand::Kind::Int: v = Value{o.integer, 0, false}; return true;
            case Operand::Kind::Float: v = Value{0, o.real, true}; return true;
            case Operand::Kind::Register: {
                const Register& r = regs_[o.index];
                if (r.stamp != stamp_) {
                    why = Reason::Unset;
                    return false;
                }
                v = r.v;
                return true;
            }
            case Operand::Kind::Position: {
                std::uint64_t bit;
                if (!position(o.index, bit)) {
                    why = Reason::Unset;
                    return false;
                }
                v = Value{bit, 0, false};
                return true;
            }
            case Operand::Kind::Size: v = Value{bits_, 0, false}; return true;
        }
        return false;
    }

    void set(std::uint32_t k, const Value& v) noexcept { regs_[k] = Register{v, stamp_}; }

    /// 1 or 0, or -1 with `why` set.
    int condition(std::uint32_t node, Reason& why) const noexcept {
        const Condition& c = p_.conditions[node];
        if (c.kind == Condition::Kind::Compare && c.lhs.kind == Operand::Kind::Register &&
            c.rhs.kind == Operand::Kind::Int) {
            // The usual criterion: a decoded integer against a constant.
            const Register& r = regs_[c.lhs.index];
            if (r.stamp != stamp_) {
                why = Reason::Unset;
                return -1;
            }
            if (!r.v.real) {
                const i128 a = r.v.i, b = c.rhs.integer;
                switch (c.op) {
                    case Compare::Eq: return a == b;
                    case Compare::Ne: return a != b;
                    case Compare::Lt: return a < b;
                    case Compare::Le: return a <= b;
                    case Compare::Gt: return a > b;
                    case Compare::Ge: return a >= b;
                }
            }
        }
        if (c.kind == Condition::Kind::Compare) {
            Value a, b;
            if (!load(c.lhs, a, why) || !load(c.rhs, b, why)) return -1;
            return holds(c.op, order(a, b));
        }
        const bool all = c.kind == Condition::Kind::All;
        for (std::uint32_t k = 0; k < c.count; ++k) {
            const int r = condition(p_.children[c.first + k], why);
            if (r < 0) return r;
            if (all != (r == 1)) return !all;
        }
        return all;
    }

    static bool fits_int64(i128 v) noexcept { return v >= INT64_MIN && v <= INT64_MAX; }

    /// x op y when both and the result are int64 values (floor division rounds down); false
    /// otherwise, and for a division by zero, which the general path refuses.
    static bool int64_arith(Arith op, std::int64_t x, std::int64_t y, std::int64_t& out) noexcept {
        switch (op) {
            case Arith::Add: return !__builtin_add_overflow(x, y, &out);
            case Arith::Sub: return !__builtin_sub_overflow(x, y, &out);
            case Arith::Mul: return !__builtin_mul_overflow(x, y, &out);
            case Arith::FloorDiv:
                if (y == 0 || (x == INT64_MIN && y == -1)) return false;
                out = x / y;
                if (x % y != 0 && ((x < 0) != (y < 0))) --out;
                return true;
        }
        return false;
    }

    Reason calc(const Step& s) noexcept {
        Value a, b;
        Reason why = Reason::Ok;
        if (!load(s.x, a, why) || !load(s.y, b, why)) return why;
        Value out;
        if (!a.real && !b.real) {
            std::int64_t narrow;
            if (fits_int64(a.i) && fits_int64(b.i) && int64_arith(s.arith, static_cast<std::int64_t>(a.i),
                                                                 static_cast<std::int64_t>(b.i), narrow)) {
                // The usual sizes and counts, in 64 bits: the same result without 128-bit division.
                out.i = narrow;
                set(s.a, out);
                return Reason::Ok;
            }
            i128 r = 0;
            bool overflow = false;
            switch (s.arith) {
                case Arith::Add: overflow = __builtin_add_overflow(a.i, b.i, &r); break;
                case Arith::Sub: overflow = __builtin_sub_overflow(a.i, b.i, &r); break;
                case Arith::Mul: overflow = __builtin_mul_overflow(a.i, b.i, &r); break;
                case Arith::FloorDiv:
                    if (b.i == 0) return Reason::BadSize;
                    r = a.i / b.i;
                    if (a.i % b.i != 0 && ((a.i < 0) != (b.i < 0))) --r;
                    break;
            }
            if (overflow || r < kLowest || r >= kPastHighest) return Reason::BadSize;
            out.i = r;
        } else {
            const double x = a.real ? a.f : static_cast<double>(a.i);
            const double y = b.real ? b.f : static_cast<double>(b.i);
            out.real = true;
            switch (s.arith) {
                case Arith::Add: out.f = x + y; break;
                case Arith::Sub: out.f = x - y; break;
                case Arith::Mul: out.f = x * y; break;
                case Arith::FloorDiv:
                    if (y == 0) return Reason::BadSize;
                    out.f = std::floor(x / y);
                    break;
            }
        }
        set(s.a, out);
        return Reason::Ok;
    }

    Reason seek(const Step& s) noexcept {
        std::uint64_t base;
        Value by;
        Reason why = Reason::Ok;
        if (!position(s.b, base)) return Reason::Unset;
        if (!load(s.x, by, why)) return why;
        i128 at;
        if (by.real) {
            if (!(by.f == std::floor(by.f)) || std::fabs(by.f) >= 0x1p64) return Reason::BadSize;
            at = i128{base} + static_cast<i128>(by.f);
        } else {
            at = i128{base} + by.i;
        }
        if (at < 0) return Reason::OutOfPacket;
        if (at >= kPastHighest) return Reason::BadSize;
        pos_[s.a] = Position{static_cast<std::uint64_t>(at), stamp_};
        return Reason::Ok;
    }

    // ---- Slots ----

    SlotValues& slot(std::int32_t k) noexcept { return share_.slots[static_cast<std::size_t>(k)]; }

    [[gnu::always_inline]] void append_span(std::int32_t k, std::uint64_t start, std::uint64_t bits) {
        SlotValues& s = slot(k);
        s.make_room(1, 8, true);
        std::memcpy(s.values.extend_in_place(8), &start, 8);
        *s.lengths.extend_in_place(1) = bits;
        *s.rows.extend_in_place(1) = row_;
    }

    Reason emit(const Step& s) {
        Value v;
        Reason why = Reason::Ok;
        if (!load(s.x, v, why)) return why;
        std::uint8_t bytes[8];
        const Element element = p_.slots[s.a].element;
        if (!narrow(element, v, bytes)) return Reason::BadValue;
        SlotValues& out = slot(static_cast<std::int32_t>(s.a));
        const std::size_t size = columns::element_size(element);
        out.make_room(1, size, false);
        std::memcpy(out.values.extend_in_place(size), bytes, size);
        *out.rows.extend_in_place(1) = row_;
        return Reason::Ok;
    }

    Reason span(const Step& s) {
        std::uint64_t from, to;
        if (!position(s.b, from) || !position(s.c, to)) return Reason::Unset;
        if (from > to || to > bits_) return Reason::OutOfPacket;
        append_span(static_cast<std::int32_t>(s.a), start_bit_ + from, to - from);
        return Reason::Ok;
    }

    // ---- Fixed fields ----

    Reason fields(std::uint32_t k) {
        const BlockPlan& b = blocks_[k];
        std::uint64_t base;
        if (!position(b.at, base)) return Reason::Unset;
        std::uint64_t low, high;
        if (!place(base, b.low, low) || !place(base, b.high, high) || high > bits_) return Reason::OutOfPacket;
        const std::uint64_t origin = start_bit_ + low;
        if (b.deferred) {
            Pending& p = pending_[k];
            p.starts.push_back(origin);
            p.rows.push_back(row_);
            p.order.push_back(static_cast<std::uint32_t>(touched_blocks_.size()));
            p.misaligned |= origin;
            touched_blocks_.push_back(k);
        }
        if (b.immediate) {
            for (std::size_t j = 0; j < b.fields.size(); ++j) {
                const FieldPlan& f = b.fields[j];
                if (f.deferred && f.register_ < 0) continue;
                Reason r = field_now(f, origin);
                if (r == Reason::Ok) [[likely]]
                    continue;
                if (b.deferred) {
                    // A deferred field before this one fails first.
                    forget_last(pending_[k]);
                    touched_blocks_.pop_back();
                    if (Reason earlier = check_deferred(b, origin, j); earlier != Reason::Ok)
                        r = earlier;
                }
                return r;
            }
        }
        return Reason::Ok;
    }

    /// Decodes a field at once: into its register, and into its slot unless the slot is
    /// filled after the batch.
    Reason field_now(const FieldPlan& f, std::uint64_t origin) {
        const bool to_slot = f.slot >= 0 && !f.deferred;
        if (f.plain) {
            if (!to_slot && f.register_ < 0) return Reason::Ok;  // nothing to keep, nothing that can fail
            const bool twos = f.field.encoding == UnpackEncoding::TwosComplement;
            const unsigned unused = 64 - f.field.bits;
            for (std::uint32_t e = 0; e < f.count; ++e) {
                std::uint64_t v = cut_plain(origin + f.rel + e * f.stride, f.field.bits);
                if (twos) v = static_cast<std::uint64_t>(static_cast<std::int64_t>(v << unused) >> unused);
                if (to_slot) {
                    SlotValues& out = slot(f.slot);
                    out.make_room(1, f.size, false);
                    store_low(out.values.extend_in_place(f.size), v, f.size);
                    *out.rows.extend_in_place(1) = row_;
                }
                if (f.register_ >= 0) {
                    Value value;
                    value.i = twos ? i128{static_cast<std::int64_t>(v)} : i128{v};
                    set(static_cast<std::uint32_t>(f.register_), value);
                }
            }
            return Reason::Ok;
        }
        for (std::uint32_t e = 0; e < f.count; ++e) {
            const std::uint64_t at = origin + f.rel + e * f.stride;
            if (f.raw) {
                if (to_slot) append_span(f.slot, at, f.field.bits);
                continue;
            }
            alignas(16) std::uint8_t scratch[16];
            SlotValues* out = to_slot && !f.text ? &slot(f.slot) : nullptr;
            columns::Field field = f.field;
            if (out) out->make_room(1, f.size, false);
            field.out = out ? out->values.extend_in_place(f.size) : scratch;
            if (auto failure = f.general(packets_, field, 0, &at, 0, 1)) [[unlikely]] {
                if (out) out->values.truncate(out->values.size() - f.size);
                return f.text ? Reason::BadText : Reason::BadValue;
            }
            if (out) *out->rows.extend_in_place(1) = row_;
            if (f.text && to_slot) append_span(f.slot, at, f.field.bits);
            if (f.register_ >= 0)
                set(static_cast<std::uint32_t>(f.register_), widen(f.element, field.out));
        }
        return Reason::Ok;
    }

    /// Whether the deferred fields among the first `fields` of a block noted at `origin`
    /// would decode.
    Reason check_deferred(const BlockPlan& b, std::uint64_t origin, std::size_t fields) {
        for (std::size_t j = 0; j < fields; ++j) {
            const FieldPlan& f = b.fields[j];
            if (!f.deferred || f.raw || f.register_ >= 0) continue;  // a register's field ran
            for (std::uint32_t e = 0; e < f.count; ++e) {
                const std::uint64_t at = origin + f.rel + e * f.stride;
                alignas(16) std::uint8_t scratch[16];
                columns::Field field = f.field;
                field.out = scratch;
                if (f.general(packets_, field, 0, &at, 0, 1))
                    return f.text ? Reason::BadText : Reason::BadValue;
            }
        }
        return Reason::Ok;
    }

    /// The deferred blocks of the batch, field by field over every noted start.
    void flush() {
        for (std::size_t k = 0; k < pending_.size(); ++k) {
            Pending& p = pending_[k];
            if (p.starts.empty()) continue;
            const BlockPlan& b = blocks_[k];
            for (const FieldPlan& f : b.fields)
                if (f.deferred) flush_field(b, f, p);
            p.starts.clear();
            p.rows.clear();
            p.order.clear();
            p.misaligned = 0;
        }
    }

    void flush_field(const BlockPlan& b, const FieldPlan& f, const Pending& p) {
        const std::size_t n = p.starts.size();
        const std::uint64_t* starts = p.starts.data();
        std::size_t m = n;
        if (f.count > 1) {
            m = n * f.count;
            expanded_.clear();
            std::uint64_t* w = expanded_.extend(m);
            for (std::size_t j = 0; j < n; ++j)
                for (std::uint32_t e = 0; e < f.count; ++e) w[j * f.count + e] = starts[j] + e * f.stride;
            starts = expanded_.data();
        }
        SlotValues& out = slot(f.slot);
        out.make_room(m, f.raw || f.text ? 8 : f.size, f.raw || f.text);
        if (!f.raw) {
            const bool aligned = (p.misaligned & 7) == 0 && f.rel % 8 == 0 &&
                                 (f.count == 1 || f.stride % 8 == 0);
            const columns::Plan::Kernel kernel = aligned ? f.aligned : f.general;
            columns::Field field = f.field;
            // The kernel writes out[i] for i in [first, m): out points at the first new value.
            field.out = f.text ? nullptr : out.values.extend_in_place(m * f.size);
            std::size_t first = 0;
            while (first < m) {
                auto failure = kernel(packets_, field, f.rel, starts + first, first, m);
                if (!failure) break;
                const std::size_t entry = failure->packet / f.count;
                fail_deferred(p.rows[entry], p.order[entry], f.text ? Reason::BadText : Reason::BadValue,
                              b.step);
                first = failure->packet + 1;
            }
        }
        if (f.raw || f.text) {
            std::uint8_t* w = out.values.extend_in_place(m * 8);
            std::uint64_t* lengths = out.lengths.extend_in_place(m);
            for (std::size_t j = 0; j < m; ++j) {
                const std::uint64_t start = starts[j] + f.rel;
                std::memcpy(w + j * 8, &start, 8);
                lengths[j] = f.field.bits;
            }
        }
        std::uint32_t* rows = out.rows.extend_in_place(m);
        if (f.count == 1) {
            std::memcpy(rows, p.rows.data(), n * sizeof(std::uint32_t));
        } else {
            for (std::size_t j = 0; j < n; ++j)
                std::fill_n(rows + j * f.count, f.count, p.rows[j]);
        }
    }

    /// A deferred field of packet `row` failed at its `order`-th deferred entry: the packet's
    /// first failure is the one at the lowest entry (the packets that reach the flush were
    /// walked to the end, so any failure they have comes from here).
    void fail_deferred(std::uint32_t row, std::uint32_t order, Reason reason, std::uint32_t step) {
        std::uint32_t& first = failed_order_[row - batch_];
        if (status_.reason[row] != static_cast<std::uint8_t>(Reason::Ok) && first <= order) return;
        first = order;
        finish(row, reason, step);
    }

    /// Drops the values of the batch's packets that were not decoded.
    void compact() {
        for (std::size_t k = 0; k < share_.slots.size(); ++k) {
            SlotValues& s = share_.slots[k];
            const std::size_t size = c_.value_sizes[k];
            std::size_t from = s.rows.size();
            while (from > 0 && s.rows[from - 1] >= batch_) --from;
            std::size_t to = from;
            for (std::size_t j = from; j < s.rows.size(); ++j) {
                if (status_.reason[s.rows[j]] != static_cast<std::uint8_t>(Reason::Ok)) continue;
                if (to != j) {
                    s.rows[to] = s.rows[j];
                    std::memmove(s.values.data() + to * size, s.values.data() + j * size, size);
                    if (!s.lengths.empty()) s.lengths[to] = s.lengths[j];
                }
                ++to;
            }
            s.rows.truncate(to);
            s.values.truncate(to * size);
            if (!s.lengths.empty()) s.lengths.truncate(to);
        }
    }

    // ---- Variable-size fields ----

    /// Where a terminator lies: the first byte index k in [first, stop) with k - first a
    /// multiple of `unit` and the terminator's bytes at k .. k + size - 1 < stop.
    std::optional<std::uint64_t> find_terminator(const Measure& m, std::uint64_t first,
                                                 std::uint64_t stop) const noexcept {
        const std::uint8_t* data = in_.data;
        const std::uint64_t size = m.terminator_size;
        if (stop < first || stop - first < size) return std::nullopt;
        const std::uint64_t last = stop - size;  // the last byte a terminator may start at
        if (m.unit == 1) {
            std::uint64_t k = first;
            // Short text first, byte by byte: cheaper than a call for the usual few bytes.
            for (const std::uint64_t near = std::min(last, first + 15); k <= near; ++k)
                if (data[k] == m.terminator[0] && (size == 1 || std::memcmp(data + k, m.terminator, size) == 0))
                    return k;
            while (k <= last) {
                const void* hit = std::memchr(data + k, m.terminator[0], last - k + 1);
                if (!hit) return std::nullopt;
                k = static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - data);
                if (std::memcmp(data + k, m.terminator, size) == 0) return k;
                ++k;
            }
            return std::nullopt;
        }
        for (std::uint64_t k = first; k <= last; k += m.unit) {
            if (std::memcmp(data + k, m.terminator, size) == 0) return k;
            if (last - k < m.unit) break;
        }
        return std::nullopt;
    }

    /// A measured field; `K` is the form that validation found for it (General: any).
    template <MeasureKind K>
    Reason measure(const Measure& m) {
        std::uint64_t base;
        if (!position(m.at, base)) return Reason::Unset;
        std::uint64_t start;
        if (!place(base, m.offset, start) || start > bits_) return Reason::OutOfPacket;
        const std::uint64_t room = bits_ - start;
        std::uint64_t content = start, length = 0, end = 0;
        if (K == MeasureKind::Sized || (K == MeasureKind::General && m.size_from != SizeFrom::Form)) {
            std::uint64_t bits = m.size;
            if (m.size_from == SizeFrom::Register) {
                const Register& r = regs_[m.size];
                if (r.stamp != stamp_) return Reason::Unset;
                Value v = r.v;
                if (m.size_slope != 1 || m.size_offset != 0) {
                    std::int64_t narrow;
                    if (v.real) {
                        v.f = v.f * static_cast<double>(m.size_slope) + static_cast<double>(m.size_offset);
                    } else if (v.i >= INT64_MIN && v.i <= INT64_MAX &&
                               !__builtin_mul_overflow(static_cast<std::int64_t>(v.i), m.size_slope, &narrow) &&
                               !__builtin_add_overflow(narrow, m.size_offset, &narrow)) {
                        v.i = narrow;  // the usual case, in 64 bits
                    } else if (__builtin_mul_overflow(v.i, i128{m.size_slope}, &v.i) ||
                               __builtin_add_overflow(v.i, i128{m.size_offset}, &v.i)) {
                        return Reason::BadSize;
                    }
                }
                if (!to_count(v, bits)) return Reason::BadSize;
            }
            if (bits > room) return Reason::OutOfPacket;
            end = start + bits;
            length = bits;
            if (K == MeasureKind::Sized) {
                // plain: the whole field
            } else if (m.form == Form::Terminated) {
                if (start % 8) return Reason::NotAligned;
                const std::uint64_t first = (start_bit_ + start) / 8;
                if (auto k = find_terminator(m, first, first + bits / 8))
                    length = (*k - first) * 8;
            } else if (m.form == Form::Tagged) {
                if (m.tag_bits > bits) return Reason::OutOfPacket;
                const std::uint64_t count = tag(start, m.tag_bits);
                const u128 counted = u128{count} * m.tag_unit;
                if (counted > bits - m.tag_bits) return Reason::BadSize;
                content = start + m.tag_bits;
                length = static_cast<std::uint64_t>(counted);
            }
        } else {
            const std::uint64_t limit = std::min(room, m.max_bits);
            if (K == MeasureKind::Terminated || (K == MeasureKind::General && m.form == Form::Terminated)) {
                if (start % 8) return Reason::NotAligned;
                const std::uint64_t first = (start_bit_ + start) / 8;
                const auto k = find_terminator(m, first, first + limit / 8);
                if (!k) return Reason::NoTerminator;
                length = (*k - first) * 8;
                end = start + length + m.terminator_size * 8u;
            } else {  // Tagged
                if (m.tag_bits > limit) return Reason::OutOfPacket;
                const std::uint64_t count = tag(start, m.tag_bits);
                const u128 counted = u128{count} * m.tag_unit;
                if (counted > limit - m.tag_bits) return Reason::OutOfPacket;
                content = start + m.tag_bits;
                length = static_cast<std::uint64_t>(counted);
                end = content + length;
            }
        }
        if (m.slot >= 0) {
            const Slot& s = p_.slots[static_cast<std::size_t>(m.slot)];
            if (s.kind == SlotKind::Text && !valid_text(s.text, start_bit_ + content, length)) return Reason::BadText;
            append_span(m.slot, start_bit_ + content, length);
        }
        if (m.end >= 0) pos_[static_cast<std::size_t>(m.end)] = Position{end, stamp_};
        return Reason::Ok;
    }

    /// Whether `bits` bits at absolute bit `start` are text in `encoding`. Bytes below 0x80 on
    /// byte boundaries are checked here: they are valid in every 8-bit encoding.
    bool valid_text(UnpackEncoding encoding, std::uint64_t start, std::uint64_t bits) {
        if (bits > UINT32_MAX) return false;
        const bool eight_bit = encoding == UnpackEncoding::UsAscii || encoding == UnpackEncoding::Utf8 ||
                               encoding == UnpackEncoding::Latin1 || encoding == UnpackEncoding::Windows1252;
        if (eight_bit && ((start | bits) & 7) == 0) {
            const std::uint8_t* p = in_.data + start / 8;
            const std::uint64_t n = bits / 8;
            std::uint64_t high = 0, k = 0;
            for (; k + 8 <= n; k += 8) {
                std::uint64_t word;
                std::memcpy(&word, p + k, 8);
                high |= word;
            }
            for (; k < n; ++k) high |= p[k];
            if ((high & 0x8080808080808080ULL) == 0) return true;
        }
        return static_cast<bool>(columns::decode_text_field(encoding, in_.data, start, static_cast<std::uint32_t>(bits),
                                                            false, scratch_));
    }

    /// A big-endian field of 1..64 bits at absolute bit `at`, inside the data.
    std::uint64_t cut_plain(std::uint64_t at, std::uint32_t bits) const noexcept {
        const std::uint64_t byte = at >> 3;
        const unsigned shift = static_cast<unsigned>(at & 7);
        if (shift + bits > 64 || in_.size - byte < 8) [[unlikely]]
            return layout::cut_value(in_.data, in_.size, at, bits, false, false);
        std::uint64_t word;
        std::memcpy(&word, in_.data + byte, 8);
        return (__builtin_bswap64(word) << shift) >> (64 - bits);
    }

    std::uint64_t tag(std::uint64_t start, std::uint32_t bits) const noexcept {
        return cut_plain(start_bit_ + start, bits);
    }

    const Checked& c_;
    const Program& p_;
    const Input& in_;
    const Status& status_;
    Share& share_;
    columns::Packets packets_;  // the data, for the kernels
    std::vector<Register> registers_;
    std::vector<Position> positions_;
    // The arrays the steps use, one load away (each step reads several of them).
    Register* const regs_ = registers_.data();
    Position* const pos_ = positions_.data();
    const BlockPlan* const blocks_ = c_.blocks.data();
    const Measure* const measures_ = p_.measures.data();
    std::vector<Pending> pending_;
    Growing<std::uint64_t> expanded_;
    std::vector<std::uint32_t> failed_order_ = std::vector<std::uint32_t>(kBatch);
    std::vector<std::uint32_t> touched_blocks_;  // deferred entries of the current packet
    std::vector<std::uint32_t> noted_ = std::vector<std::uint32_t>(c_.blocks.size());  // zero between uses
    ByteBuffer scratch_;
    std::uint64_t stamp_ = 0;
    std::uint64_t start_bit_ = 0, bits_ = 0;
    std::uint64_t left_ = 0;
    std::size_t batch_ = 0;
    std::uint32_t row_ = 0;
    bool batch_failed_ = false;
};

}  // namespace

namespace {

/// Calls work(t) for t in [0, count) on as many threads, the calling thread taking 0 (and any
/// share no thread could be had for). Throws std::bad_alloc when a share ran out of memory.
template <class Work>
void in_parallel(std::size_t count, Work&& work) {
    std::vector<char> out_of_memory(count, 0);
    auto guarded = [&](std::size_t t) noexcept {
        try {
            work(t);
        } catch (const std::bad_alloc&) {
            out_of_memory[t] = 1;
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(count > 0 ? count - 1 : 0);
    for (std::size_t t = 1; t < count; ++t) {
        try {
            pool.emplace_back(guarded, t);
        } catch (const std::system_error&) {
            guarded(t);  // no thread to be had: this one takes the share
        }
    }
    if (count > 0) guarded(0);
    for (std::thread& thread : pool) thread.join();
    if (std::find(out_of_memory.begin(), out_of_memory.end(), 1) != out_of_memory.end())
        throw std::bad_alloc();
}

/// Where each share's values of one array of one slot lie in the arena: the shares' regions
/// one after the other, so that moving each share's values down to the end of the previous
/// one's puts the array together in place.
template <class T>
void join_array(std::vector<Share>& shares, std::size_t k, Growing<T> SlotValues::*array, std::size_t room) {
    Growing<T>& into = shares[0].slots[k].*array;
    std::size_t total = 0;
    bool in_place = !into.owned();
    for (Share& share : shares) {
        const Growing<T>& from = share.slots[k].*array;
        total += from.size();
        in_place &= from.size() == 0 || !from.owned();
    }
    if (in_place && total <= room) {
        // Every share stayed in its region: move each down, in order (the regions follow each
        // other, so a move never overwrites values still to move).
        T* base = into.data();
        std::size_t at = into.size();
        for (std::size_t t = 1; t < shares.size(); ++t) {
            Growing<T>& from = shares[t].slots[k].*array;
            if (from.size()) std::memmove(base + at, from.data(), from.size() * sizeof(T));
            at += from.size();
            from.clear();
        }
        into.adopt(base, room);
        into.extend_in_place(total - into.size());
        return;
    }
    into.reserve(total);
    for (std::size_t t = 1; t < shares.size(); ++t) {
        Growing<T>& from = shares[t].slots[k].*array;
        if (from.size()) std::memcpy(into.extend(from.size()), from.data(), from.size() * sizeof(T));
        from.clear();
    }
}

}  // namespace

Share run(const Valid& program, const Input& input, const Status& status, unsigned threads) {
    const Checked& c = program.checked();
    const std::size_t n = input.count;
    const std::size_t count = std::max<std::size_t>(1, std::min<std::size_t>(threads, n / kBatch));
    std::vector<Share> shares(count);
    std::vector<std::unique_ptr<Machine>> machines;
    machines.reserve(count);
    for (Share& share : shares) machines.push_back(std::make_unique<Machine>(c, input, status, share));
    auto bound = [&](std::size_t t) { return static_cast<std::size_t>(u128{n} * t / count); };
    in_parallel(count, [&](std::size_t t) { machines[t]->start(bound(t), bound(t + 1)); });

    // The arena: per slot its rows, values and lengths, each array's regions share by share.
    const std::size_t slots = c.program.slots.size();
    std::vector<std::size_t> estimates(count * slots);  // [share * slots + slot]
    std::vector<std::size_t> rooms(slots, 0);           // per slot: values, all shares together
    std::size_t bytes = 0;
    for (std::size_t k = 0; k < slots; ++k) {
        const bool spans = c.program.slots[k].kind != SlotKind::Number;
        const std::size_t per_value = sizeof(std::uint32_t) + c.value_sizes[k] + (spans ? sizeof(std::uint64_t) : 0);
        for (std::size_t t = 0; t < count; ++t) {
            estimates[t * slots + k] = machines[t]->estimate(k);
            rooms[k] += estimates[t * slots + k];
        }
        bytes += rooms[k] * per_value + 3 * 64 * count;
    }
    if (bytes >= (std::size_t{1} << 20)) {  // smaller: malloc is as good
        shares[0].arena = std::make_unique<Arena>(bytes);
        Arena& arena = *shares[0].arena;
        // Per slot and array the regions follow each other, share by share.
        struct Regions {
            std::uint32_t* rows;
            std::uint8_t* values;
            std::uint64_t* lengths;
        };
        std::vector<Regions> regions(count * slots, Regions{nullptr, nullptr, nullptr});
        for (std::size_t k = 0; k < slots; ++k) {
            if (rooms[k] == 0) continue;
            const bool spans = c.program.slots[k].kind != SlotKind::Number;
            auto* rows = static_cast<std::uint32_t*>(arena.take(rooms[k] * sizeof(std::uint32_t)));
            auto* values = static_cast<std::uint8_t*>(arena.take(rooms[k] * c.value_sizes[k]));
            auto* lengths = spans ? static_cast<std::uint64_t*>(arena.take(rooms[k] * sizeof(std::uint64_t))) : nullptr;
            for (std::size_t t = 0; t < count; ++t) {
                regions[t * slots + k] = Regions{rows, values, lengths};
                const std::size_t e = estimates[t * slots + k];
                rows += e;
                values += e * c.value_sizes[k];
                if (lengths) lengths += e;
            }
        }
        in_parallel(count, [&](std::size_t t) {
            for (std::size_t k = 0; k < slots; ++k) {
                const Regions& r = regions[t * slots + k];
                if (estimates[t * slots + k] > 0 && r.rows)
                    machines[t]->adopt(k, arena, estimates[t * slots + k], r.rows, r.values, r.lengths);
            }
            machines[t]->finish();
        });
    } else {
        in_parallel(count, [&](std::size_t t) { machines[t]->finish(); });
    }
    machines.clear();

    // One share: the others' values after the first's, the slots spread over the threads.
    if (count > 1) {
        in_parallel(count, [&](std::size_t t) {
            for (std::size_t k = t; k < slots; k += count) {
                const std::size_t size = c.value_sizes[k];
                join_array(shares, k, &SlotValues::rows, rooms[k]);
                join_array(shares, k, &SlotValues::values, rooms[k] * size);
                if (c.program.slots[k].kind != SlotKind::Number) join_array(shares, k, &SlotValues::lengths, rooms[k]);
            }
        });
        shares[0].last = shares.back().last;
    }
    return std::move(shares[0]);
}

}  // namespace bitloom::program
