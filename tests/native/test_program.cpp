// The decode program: every step kind on hand-built programs and packets, nesting, failures that
// stop only their packet (and the first failure of a packet wins also when its block was
// deferred), the validator's refusals, and runs on several threads giving the same output.
#include <bit>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/program.hpp"

using namespace bitloom;
using namespace bitloom::program;
using E = UnpackEncoding;
using columns::Element;

namespace {

Operand num(long long v) { return Operand{.kind = Operand::Kind::Int, .integer = v}; }
Operand big(i128 v) { return Operand{.kind = Operand::Kind::Int, .integer = v}; }
Operand real(double v) { return Operand{.kind = Operand::Kind::Float, .real = v}; }
Operand reg(std::uint32_t k) { return Operand{.kind = Operand::Kind::Register, .index = k}; }
Operand pos(std::uint32_t k) { return Operand{.kind = Operand::Kind::Position, .index = k}; }

FieldRead field(std::int64_t offset, std::uint32_t bits, std::int32_t slot = -1, std::int32_t reg = -1,
                E encoding = E::Unsigned) {
    return FieldRead{.offset = offset, .bits = bits, .encoding = encoding, .slot = slot, .register_ = reg};
}

/// Appends steps and their tables; each call returns the new step's index.
struct Builder {
    Program p;

    std::uint32_t add(Step s) {
        p.steps.push_back(s);
        return static_cast<std::uint32_t>(p.steps.size() - 1);
    }
    static Step step(Op op, std::uint32_t a = 0, std::uint32_t b = 0, std::uint32_t table = 0) {
        Step s;
        s.op = op;
        s.a = a;
        s.b = b;
        s.table = table;
        return s;
    }
    std::uint32_t fields(std::uint32_t at, std::vector<FieldRead> f) {
        p.fields.push_back(Fields{at, std::move(f)});
        return add(step(Op::Fields, 0, 0, static_cast<std::uint32_t>(p.fields.size() - 1)));
    }
    std::uint32_t measure(Measure m) {
        p.measures.push_back(m);
        return add(step(Op::Measure, 0, 0, static_cast<std::uint32_t>(p.measures.size() - 1)));
    }
    std::uint32_t calc(std::uint32_t dst, Arith arith, Operand x, Operand y) {
        Step s = step(Op::Calc, dst);
        s.arith = arith;
        s.x = x;
        s.y = y;
        return add(s);
    }
    std::uint32_t seek(std::uint32_t dst, std::uint32_t base, Operand by) {
        Step s = step(Op::Seek, dst, base);
        s.x = by;
        return add(s);
    }
    std::uint32_t jump(std::uint32_t target) { return add(step(Op::Jump, target)); }
    std::uint32_t when(std::uint32_t cond, std::uint32_t otherwise) { return add(step(Op::If, cond, otherwise)); }
    std::uint32_t loop(std::uint32_t r, std::uint32_t exit) { return add(step(Op::Loop, r, exit)); }
    std::uint32_t route(std::vector<Route> routes, bool unique = true) {
        const auto first = static_cast<std::uint32_t>(p.routes.size());
        p.routes.insert(p.routes.end(), routes.begin(), routes.end());
        Step s = step(Op::Route, static_cast<std::uint32_t>(routes.size()), 0, first);
        s.unique = unique;
        return add(s);
    }
    std::uint32_t container(std::uint32_t id) { return add(step(Op::Container, id)); }
    std::uint32_t emit(std::uint32_t slot, Operand v) {
        Step s = step(Op::Emit, slot);
        s.x = v;
        return add(s);
    }
    std::uint32_t span(std::uint32_t slot, std::uint32_t from, std::uint32_t to) {
        Step s = step(Op::Span, slot, from);
        s.c = to;
        return add(s);
    }
    std::uint32_t op(Op o) { return add(step(o)); }
    std::uint32_t cmp(Compare op, Operand a, Operand b) {
        Condition c;
        c.op = op;
        c.lhs = a;
        c.rhs = b;
        p.conditions.push_back(c);
        return static_cast<std::uint32_t>(p.conditions.size() - 1);
    }
    std::uint32_t join(bool all, std::vector<std::uint32_t> nodes) {
        const auto first = static_cast<std::uint32_t>(p.children.size());
        p.children.insert(p.children.end(), nodes.begin(), nodes.end());
        p.conditions.push_back(group(all, first, static_cast<std::uint32_t>(nodes.size())));
        return static_cast<std::uint32_t>(p.conditions.size() - 1);
    }
    static Condition group(bool all, std::uint32_t first, std::uint32_t count) {
        Condition c;
        c.kind = all ? Condition::Kind::All : Condition::Kind::Any;
        c.first = first;
        c.count = count;
        return c;
    }
    std::uint32_t next() const { return static_cast<std::uint32_t>(p.steps.size()); }
    /// `f` with three zero-width fields into slots of their own: a block keeps enough values
    /// to wait for the batch.
    std::vector<FieldRead> deferred(std::vector<FieldRead> f) {
        for (int k = 0; k < 3; ++k) f.push_back(field(0, 0, static_cast<std::int32_t>(slot(Element::U8))));
        return f;
    }
    std::uint32_t slot(Element e) {
        p.slots.push_back(Slot{.kind = SlotKind::Number, .element = e});
        return static_cast<std::uint32_t>(p.slots.size() - 1);
    }
    std::uint32_t span_slot() {
        p.slots.push_back(Slot{.kind = SlotKind::Span});
        return static_cast<std::uint32_t>(p.slots.size() - 1);
    }
    std::uint32_t text_slot(E e = E::UsAscii) {
        p.slots.push_back(Slot{.kind = SlotKind::Text, .text = e});
        return static_cast<std::uint32_t>(p.slots.size() - 1);
    }
};

/// A run's per-packet status and each slot's values and rows.
struct Outcome {
    std::vector<std::int32_t> container, step;
    std::vector<std::uint8_t> reason;
    std::vector<std::vector<std::uint8_t>> values;
    std::vector<std::vector<std::uint64_t>> lengths;
    std::vector<std::vector<std::uint32_t>> rows;

    Reason why(std::size_t i) const { return static_cast<Reason>(reason[i]); }
    template <class T>
    std::vector<T> of(std::size_t k) const {
        std::vector<T> out(values[k].size() / sizeof(T));
        if (!out.empty()) std::memcpy(out.data(), values[k].data(), values[k].size());
        return out;
    }
    /// A span slot's values as (start, bits) pairs in a row.
    std::vector<std::uint64_t> spans(std::size_t k) const {
        const auto starts = of<std::uint64_t>(k);
        std::vector<std::uint64_t> out;
        for (std::size_t j = 0; j < starts.size(); ++j) {
            out.push_back(starts[j]);
            out.push_back(lengths[k][j]);
        }
        return out;
    }
    bool operator==(const Outcome&) const = default;
};

struct Packets {
    std::vector<std::uint8_t> data;
    std::vector<std::uint64_t> offsets, sizes;
    void add(std::vector<std::uint8_t> bytes) {
        offsets.push_back(data.size());
        sizes.push_back(bytes.size());
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
};

Outcome run_on(const Valid& v, const Packets& pk, unsigned threads = 1) {
    const std::size_t n = pk.offsets.size();
    Outcome o;
    o.container.assign(n, -7);
    o.step.assign(n, -7);
    o.reason.assign(n, 0xEE);
    const Input input{.data = pk.data.data(), .size = pk.data.size(), .offsets = pk.offsets.data(),
                      .sizes = pk.sizes.data(), .count = n};
    const Share s = run(v, input, Status{o.container.data(), o.reason.data(), o.step.data()}, threads);
    o.values.resize(v.slot_count());
    o.lengths.resize(v.slot_count());
    o.rows.resize(v.slot_count());
    for (std::size_t k = 0; k < v.slot_count(); ++k) {
        const SlotValues& sv = s.slots[k];
        o.values[k].assign(sv.values.data(), sv.values.data() + sv.values.size());
        o.lengths[k].assign(sv.lengths.data(), sv.lengths.data() + sv.lengths.size());
        o.rows[k].assign(sv.rows.data(), sv.rows.data() + sv.rows.size());
    }
    return o;
}

Valid valid(Program p) {
    auto v = validate(std::move(p));
    if (!v) {
        std::fprintf(stderr, "unexpected refusal: %s\n", v.error().message.c_str());
        std::abort();
    }
    return std::move(*v);
}

void fixed_fields_and_arrays() {
    // u8 a, 12-bit b at bit 12 little? no: big; then 3 x u16 array; and a register read of a.
    Builder b;
    const auto a = b.slot(Element::U8), c = b.slot(Element::U16), arr = b.slot(Element::U16),
               f = b.slot(Element::F32), raw = b.span_slot();
    FieldRead array = field(24, 16, static_cast<std::int32_t>(arr));
    array.count = 3;
    array.stride = 16;
    FieldRead le = field(8, 16, static_cast<std::int32_t>(c));
    le.little = true;
    FieldRead blob = field(4, 12, static_cast<std::int32_t>(raw));
    blob.raw = true;
    // The first field goes to a slot of its own (decoded after the batch) and to a register
    // (decoded at once), the only register of its block.
    b.fields(0, {field(0, 8, static_cast<std::int32_t>(a), 0), le, array,
                 field(72, 32, static_cast<std::int32_t>(f), -1, E::Ieee754F32), blob});
    b.p.registers = 1;
    const auto copy = b.slot(Element::I64);
    b.emit(copy, reg(0));
    const Valid v = valid(b.p);
    Packets pk;
    pk.add({0x11, 0x34, 0x12, 0x00, 0x01, 0x00, 0x02, 0xFF, 0xFF, 0x3F, 0x80, 0x00, 0x00});
    pk.add({0x22, 0x01, 0x00, 0x00, 0x03, 0x00, 0x04, 0x00, 0x05, 0x40, 0x00, 0x00, 0x00});
    pk.add({0x33, 0x01});  // too short
    const Outcome o = run_on(v, pk);
    CHECK(o.why(0) == Reason::Ok && o.why(1) == Reason::Ok);
    CHECK(o.why(2) == Reason::OutOfPacket && o.step[2] == 0 && o.container[2] == -1);
    CHECK((o.of<std::uint8_t>(a) == std::vector<std::uint8_t>{0x11, 0x22}));
    CHECK((o.of<std::int64_t>(copy) == std::vector<std::int64_t>{0x11, 0x22}));
    CHECK((o.of<std::uint16_t>(c) == std::vector<std::uint16_t>{0x1234, 0x0001}));
    CHECK((o.of<std::uint16_t>(arr) == std::vector<std::uint16_t>{1, 2, 0xFFFF, 3, 4, 5}));
    CHECK((o.rows[arr] == std::vector<std::uint32_t>{0, 0, 0, 1, 1, 1}));
    CHECK((o.of<float>(f) == std::vector<float>{1.0f, 2.0f}));
    // The raw span: 12 bits from bit 4 of each packet (packet 1 starts at byte 13).
    CHECK((o.spans(raw) == std::vector<std::uint64_t>{4, 12, 13 * 8 + 4, 12}));
}

void deferred_and_immediate_agree() {
    // The same block twice over: once with slots of their own (deferred), once writing slots
    // that a second step writes too (decoded at once). Misaligned starts and a bad BCD digit.
    for (bool shared : {false, true}) {
        Builder b;
        const auto x = b.slot(Element::U16), y = b.slot(Element::U64), t = b.text_slot();
        b.p.positions = 2;
        b.fields(0, {field(0, 8, -1, 0)});  // the shift in bits
        b.p.registers = 1;
        b.seek(1, 0, reg(0));
        b.fields(1, b.deferred({field(8, 16, static_cast<std::int32_t>(x)),
                                field(24, 8, static_cast<std::int32_t>(y), -1, E::PackedBcd),
                                field(32, 16, static_cast<std::int32_t>(t), -1, E::UsAscii)}));
        if (shared) {
            const auto never = b.cmp(Compare::Eq, num(0), num(1));
            b.when(never, b.next() + 2);
            b.fields(0, {field(0, 16, static_cast<std::int32_t>(x)), field(0, 8, static_cast<std::int32_t>(y), -1, E::PackedBcd),
                         field(0, 16, static_cast<std::int32_t>(t), -1, E::UsAscii)});
        }
        const Valid v = valid(b.p);
        Packets pk;
        std::mt19937 rng(7);
        for (int i = 0; i < 2000; ++i) {
            const unsigned shift = static_cast<unsigned>(rng() % 9);
            std::vector<std::uint8_t> bytes(12, 0);
            bytes[0] = static_cast<std::uint8_t>(shift);
            // 40 bits from bit 8 + shift: x = i (16 bits), y = BCD of i % 100 (bad every 97th
            // packet), text "ok" (bad every 89th).
            const std::uint64_t bcd = i % 97 == 5 ? 0xAA : static_cast<unsigned>((i % 100 / 10) << 4 | i % 10);
            const std::uint64_t ok = i % 89 == 3 ? 0x80FF : 0x6F6B;
            const std::uint64_t region = std::uint64_t{static_cast<std::uint16_t>(i)} << 24 | bcd << 16 | ok;
            const u128 word = (u128{region} << 88) >> shift;
            for (int k = 0; k < 10; ++k) bytes[1 + k] = static_cast<std::uint8_t>(word >> (120 - 8 * k));
            pk.add(bytes);
        }
        const Outcome o = run_on(v, pk);
        std::size_t good = 0;
        bool right = true;
        const auto xs = o.of<std::uint16_t>(x);
        const auto ys = o.of<std::uint64_t>(y);
        for (std::size_t i = 0; i < 2000; ++i) {
            const Reason want = i % 97 == 5 ? Reason::BadValue : i % 89 == 3 ? Reason::BadText : Reason::Ok;
            right &= o.why(i) == want && o.step[i] == (want == Reason::Ok ? -1 : 2);
            if (want != Reason::Ok) continue;
            right &= good < xs.size() && xs[good] == i && ys[good] == i % 100 && o.rows[x][good] == i;
            ++good;
        }
        CHECK(right);
        CHECK(xs.size() == good && o.rows[t].size() == good);
    }
}

void first_failure_wins_over_later_steps() {
    // A deferred block with a bad BCD digit runs before a step that fails: the packet reports the
    // block. A failure before the block (the packet too short for a later read) reports itself.
    Builder b;
    const auto d = b.slot(Element::U64);
    b.fields(0, b.deferred({field(0, 8, static_cast<std::int32_t>(d), -1, E::PackedBcd)}));
    b.op(Op::Fail);
    const Valid v = valid(b.p);
    Packets pk;
    pk.add({0x12});
    pk.add({0x1F});
    const Outcome o = run_on(v, pk);
    CHECK(o.why(0) == Reason::Failed && o.step[0] == 1);
    CHECK(o.why(1) == Reason::BadValue && o.step[1] == 0);
    CHECK(o.rows[d].empty());

    // In a loop: a BCD digit block, then a text block, three times; the text of the second
    // element is bad, the digit of the third too. The walk fails after the loop and the text
    // block of the second element is the first failure, also when the packet reaches the flush.
    for (bool walk_fails : {true, false}) {
        Builder l;
        l.p.registers = 1;
        l.p.positions = 2;
        const auto digits = l.slot(Element::U64), texts = l.text_slot();
        l.calc(0, Arith::Add, num(3), num(0));
        l.seek(1, 0, num(0));
        const auto head = l.loop(0, 0);
        const auto digit_step = l.fields(1, l.deferred({field(0, 8, static_cast<std::int32_t>(digits), -1, E::PackedBcd)}));
        const auto text_step = l.fields(1, l.deferred({field(8, 8, static_cast<std::int32_t>(texts), -1, E::UsAscii)}));
        l.seek(1, 1, num(16));
        l.jump(head);
        l.p.steps[head].b = walk_fails ? l.op(Op::Fail) : l.op(Op::End);
        const Valid lv = valid(l.p);
        Packets lp;
        lp.add({0x12, 'a', 0x34, 0x80, 0xAB, 'c'});
        const Outcome lo = run_on(lv, lp);
        CHECK(lo.why(0) == Reason::BadText && lo.step[0] == static_cast<std::int32_t>(text_step));
        (void)digit_step;
        CHECK(lo.rows[digits].empty() && lo.rows[texts].empty());
    }
}

Measure measure_at(std::uint32_t at, std::int64_t offset, std::int32_t slot, std::int32_t end) {
    Measure m;
    m.at = at;
    m.offset = offset;
    m.slot = slot;
    m.end = end;
    return m;
}

void variable_size_fields() {
    // tagged text (8-bit count of bytes), terminated text (0x00), a dynamic-size binary field
    // sized by a register (bytes * 8), then a u8 after them all.
    Builder b;
    const auto t1 = b.text_slot(), t2 = b.text_slot(E::Utf8), bin = b.span_slot(), tail = b.slot(Element::U8);
    b.p.positions = 2;
    b.p.registers = 2;
    Measure tagged = measure_at(0, 0, static_cast<std::int32_t>(t1), 1);
    tagged.form = Form::Tagged;
    tagged.tag_bits = 8;
    b.measure(tagged);
    Measure term = measure_at(1, 0, static_cast<std::int32_t>(t2), 1);
    term.form = Form::Terminated;
    term.terminator[0] = 0;
    term.terminator_size = 1;
    b.measure(term);
    b.fields(1, {field(0, 8, -1, 0)});
    b.calc(1, Arith::Mul, reg(0), num(8));
    Measure blob = measure_at(1, 8, static_cast<std::int32_t>(bin), 1);
    blob.size_from = SizeFrom::Register;
    blob.size = 1;
    b.measure(blob);
    b.fields(1, {field(0, 8, static_cast<std::int32_t>(tail))});
    const Valid v = valid(b.p);
    Packets pk;
    pk.add({3, 'a', 'b', 'c', 'x', 'y', 0, 2, 0xAA, 0xBB, 7});
    pk.add({0, 0, 0, 9});                              // empty texts, empty binary
    pk.add({2, 'a', 'b', 'x', 'y'});                   // no terminator
    pk.add({9, 'a'});                                  // the tag counts past the packet
    pk.add({1, 0x80, 0, 0, 1});                        // not ASCII
    pk.add({1, 'a', 'z', 0, 200, 1});                  // the binary runs past the packet
    const Outcome o = run_on(v, pk);
    CHECK(o.why(0) == Reason::Ok && o.why(1) == Reason::Ok);
    CHECK(o.why(2) == Reason::NoTerminator && o.step[2] == 1);
    CHECK(o.why(3) == Reason::OutOfPacket && o.step[3] == 0);
    CHECK(o.why(4) == Reason::BadText && o.step[4] == 0);
    CHECK(o.why(5) == Reason::OutOfPacket && o.step[5] == 4);
    // Spans: (start bit, bits).
    CHECK((o.spans(t1) == std::vector<std::uint64_t>{8, 24, 11 * 8 + 8, 0}));
    CHECK((o.spans(t2) == std::vector<std::uint64_t>{32, 16, 12 * 8, 0}));
    CHECK((o.spans(bin) == std::vector<std::uint64_t>{64, 16, 14 * 8, 0}));
    CHECK((o.of<std::uint8_t>(tail) == std::vector<std::uint8_t>{7, 9}));
}

void measure_forms_with_a_size() {
    // A 6-byte field: terminated inside (found or not), tagged inside (a 4-bit tag of bytes,
    // fitting or not), UTF-16 terminators on 2-byte units, and max_bits for a measured field.
    struct Case {
        Form form;
        std::uint64_t size;  // 0: measured
        std::vector<std::uint8_t> packet;
        Reason reason;
        std::uint64_t start, bits, end;
    };
    const std::vector<Case> cases = {
        {Form::Terminated, 48, {'a', 'b', 0, 'c', 0, 0}, Reason::Ok, 0, 16, 48},
        {Form::Terminated, 48, {'a', 'b', 'c', 'd', 'e', 'f'}, Reason::Ok, 0, 48, 48},
        {Form::Tagged, 48, {0x20, 0xAB, 0xCD, 0, 0, 0}, Reason::Ok, 4, 16, 48},
        {Form::Tagged, 16, {0x20, 0xAB, 0xCD}, Reason::BadSize, 0, 0, 0},
        {Form::Tagged, 0, {0x20, 0xAB, 0xCD}, Reason::Ok, 4, 16, 20},
        // A 2-byte terminator on 2-byte units: 00 61 is text, 00 00 at byte 2 ends it.
        {Form::Terminated, 0, {0, 'a', 0, 0, 0, 0}, Reason::Ok, 0, 16, 32},
        {Form::Terminated, 0, {'a', 'b', 'c', 'd', 0, 0}, Reason::NoTerminator, 0, 0, 0},  // beyond max_bits
    };
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const Case& c = cases[k];
        Builder b;
        const auto s = b.span_slot();
        b.p.positions = 2;
        Measure m = measure_at(0, 0, static_cast<std::int32_t>(s), 1);
        m.form = c.form;
        m.terminator[0] = 0;
        m.terminator[1] = 0;
        m.terminator_size = k == 5 ? 2 : 1;
        m.unit = k == 5 ? 2 : 1;
        m.tag_bits = 4;
        if (k == 6) m.max_bits = 32;
        if (c.size) {
            m.size_from = SizeFrom::Fixed;
            m.size = c.size;
        }
        b.measure(m);
        b.span(s, 0, 1);  // the whole field
        const Valid v = valid(b.p);
        Packets pk;
        pk.add(c.packet);
        const Outcome o = run_on(v, pk);
        CHECK(o.why(0) == c.reason);
        if (c.reason != Reason::Ok) continue;
        const auto spans = o.spans(s);
        CHECK((spans == std::vector<std::uint64_t>{c.start, c.bits, 0, c.end}));
    }
}

void arithmetic_and_comparisons() {
    struct Case {
        Arith arith;
        Operand x, y;
        Reason reason;
        i128 value;
    };
    const i128 top = (i128{1} << 64) - 1;
    const std::vector<Case> cases = {
        {Arith::Add, num(2), num(3), Reason::Ok, 5},
        {Arith::Sub, num(2), num(3), Reason::Ok, -1},
        {Arith::Mul, big(top), num(1), Reason::Ok, top},
        {Arith::Add, big(top), num(1), Reason::BadSize, 0},           // passes 64 bits
        {Arith::Mul, big(top), big(top), Reason::BadSize, 0},
        {Arith::Sub, num(INT64_MIN), num(1), Reason::BadSize, 0},
        {Arith::FloorDiv, num(-7), num(2), Reason::Ok, -4},
        {Arith::FloorDiv, num(7), num(-2), Reason::Ok, -4},
        {Arith::FloorDiv, num(6), num(0), Reason::BadSize, 0},
        {Arith::FloorDiv, num(-6), num(3), Reason::Ok, -2},
        {Arith::FloorDiv, num(-1), num(7), Reason::Ok, -1},
        // Results beyond int64 from int64 operands: exact, as in 128 bits.
        {Arith::FloorDiv, num(INT64_MIN), num(-1), Reason::Ok, i128{1} << 63},
        {Arith::Add, num(INT64_MAX), num(1), Reason::Ok, i128{1} << 63},
        {Arith::Mul, num(INT64_MAX), num(2), Reason::Ok, i128{INT64_MAX} * 2},
        {Arith::Mul, num(INT64_MIN), num(2), Reason::BadSize, 0},
        {Arith::Mul, real(2.5), num(4), Reason::Ok, 10},
        {Arith::Add, reg(1), num(1), Reason::Unset, 0},
        {Arith::Add, pos(0), num(3), Reason::Ok, 3},
    };
    for (const Case& c : cases) {
        Builder b;
        b.p.registers = 2;
        const auto out = b.slot(Element::I64);
        b.calc(0, c.arith, c.x, c.y);
        b.emit(out, reg(0));
        const Valid v = valid(b.p);
        Packets pk;
        pk.add({0});
        const Outcome o = run_on(v, pk);
        CHECK(o.why(0) == c.reason || (c.value > INT64_MAX && o.why(0) == Reason::BadValue));
        if (o.why(0) == Reason::Ok) CHECK(o.of<std::int64_t>(out) == std::vector<std::int64_t>{static_cast<std::int64_t>(c.value)});
    }
    // Integers against floats, exactly: 2^53 + 1 is above the float 2^53.
    struct Order {
        Operand a, b;
        Compare op;
        bool holds;
    };
    const double nan = std::bit_cast<double>(0x7FF8000000000000ULL);
    const std::vector<Order> orders = {
        {num((1LL << 53) + 1), real(0x1p53), Compare::Gt, true},
        {num((1LL << 53) + 1), real(0x1p53), Compare::Eq, false},
        {real(-0.5), num(0), Compare::Lt, true},
        {num(-1), real(-0.5), Compare::Lt, true},
        {big((i128{1} << 64) - 1), real(0x1p64), Compare::Lt, true},
        {num(3), real(3.0), Compare::Eq, true},
        {real(nan), num(3), Compare::Ne, true},
        {real(nan), real(nan), Compare::Eq, false},
        {num(-5), big((i128{1} << 64) - 1), Compare::Lt, true},
    };
    for (const Order& c : orders) {
        Builder b;
        b.when(b.cmp(c.op, c.a, c.b), 2);
        b.op(Op::Fail);
        const Valid v = valid(b.p);
        Packets pk;
        pk.add({0});
        CHECK(run_on(v, pk).why(0) == (c.holds ? Reason::Failed : Reason::Ok));
    }
}

/// The event layout of the routing test: a header (apid u8, mode u8, count u8), then `count`
/// events of (u8 size, size bytes), the events of mode 1 with a u16 id after the bytes.
Program events_program() {
    Builder b;
    b.p.registers = 4;
    b.p.positions = 2;
    b.p.containers = 3;
    const auto sizes = b.slot(Element::U8), blobs = b.span_slot(), ids = b.slot(Element::U16),
               apids = b.slot(Element::U8), counts = b.slot(Element::I64);
    b.fields(0, {field(0, 8, static_cast<std::int32_t>(apids), 0), field(8, 8, -1, 1), field(16, 8, -1, 2)});
    b.container(0);
    b.seek(1, 0, num(24));
    b.emit(counts, reg(2));
    // Route: apid 5 and mode 0 -> container 1, apid 5 and mode 1 -> container 2.
    const auto apid5 = b.cmp(Compare::Eq, reg(0), num(5));
    const auto m0 = b.join(true, {apid5, b.cmp(Compare::Eq, reg(1), num(0))});
    const auto m1 = b.join(true, {apid5, b.cmp(Compare::Ge, reg(1), num(1))});
    const auto routing = b.route({{m0, 0}, {m1, 0}});
    b.op(Op::End);
    // Container 1.
    const auto c1 = b.container(1);
    const auto head1 = b.loop(2, 0);
    b.fields(1, {field(0, 8, static_cast<std::int32_t>(sizes), 3)});
    b.calc(3, Arith::Mul, reg(3), num(8));
    Measure m = measure_at(1, 8, static_cast<std::int32_t>(blobs), 1);
    m.size_from = SizeFrom::Register;
    m.size = 3;
    b.measure(m);
    b.jump(head1);
    const auto end1 = b.op(Op::End);
    // Container 2: the same events with an id after each.
    const auto c2 = b.container(2);
    const auto head2 = b.loop(2, 0);
    b.fields(1, {field(0, 8, static_cast<std::int32_t>(sizes), 3)});
    b.calc(3, Arith::Mul, reg(3), num(8));
    Measure m2 = measure_at(1, 8, static_cast<std::int32_t>(blobs), 1);
    m2.size_from = SizeFrom::Register;
    m2.size = 3;
    b.measure(m2);
    b.fields(1, {field(0, 16, static_cast<std::int32_t>(ids))});
    b.seek(1, 1, num(16));
    b.jump(head2);
    const auto end2 = b.op(Op::End);
    b.p.routes[0].target = c1;
    b.p.routes[1].target = c2;
    b.p.steps[head1].b = end1;
    b.p.steps[head2].b = end2;
    (void)routing;
    return b.p;
}

std::vector<std::uint8_t> event_packet(std::uint8_t apid, std::uint8_t mode, std::vector<std::string> events) {
    std::vector<std::uint8_t> out = {apid, mode, static_cast<std::uint8_t>(events.size())};
    std::uint16_t id = 0x100;
    for (const std::string& e : events) {
        out.push_back(static_cast<std::uint8_t>(e.size()));
        out.insert(out.end(), e.begin(), e.end());
        if (mode >= 1) {
            out.push_back(static_cast<std::uint8_t>(id >> 8));
            out.push_back(static_cast<std::uint8_t>(id++));
        }
    }
    return out;
}

void routing_and_loops() {
    const Valid v = valid(events_program());
    Packets pk;
    pk.add(event_packet(5, 0, {"ab", "", "xyz"}));
    pk.add(event_packet(5, 1, {"q", "rs"}));
    pk.add(event_packet(7, 0, {"a"}));  // no route: stays in container 0
    pk.add(event_packet(5, 1, {}));     // no events
    auto cut = event_packet(5, 0, {"abcd"});
    cut.pop_back();
    pk.add(cut);                        // the last event runs past the packet
    const Outcome o = run_on(v, pk);
    CHECK((o.container == std::vector<std::int32_t>{1, 2, 0, 2, 1}));
    CHECK(o.why(0) == Reason::Ok && o.why(1) == Reason::Ok && o.why(2) == Reason::Ok && o.why(3) == Reason::Ok);
    CHECK(o.why(4) == Reason::OutOfPacket);
    CHECK((o.of<std::uint8_t>(0) == std::vector<std::uint8_t>{2, 0, 3, 1, 2}));
    CHECK((o.rows[0] == std::vector<std::uint32_t>{0, 0, 0, 1, 1}));
    CHECK((o.of<std::uint16_t>(2) == std::vector<std::uint16_t>{0x100, 0x101}));
    CHECK((o.of<std::int64_t>(4) == std::vector<std::int64_t>{3, 2, 1, 0}));
    CHECK((o.rows[4] == std::vector<std::uint32_t>{0, 1, 2, 3}));
    const auto blobs = o.spans(1);
    CHECK(blobs.size() == 10 && blobs[0] == 32 && blobs[1] == 16 && blobs[3] == 0 && blobs[5] == 24);
}

void routes_unique_first_and_ambiguous() {
    for (bool unique : {true, false}) {
        Builder b;
        b.p.registers = 1;
        b.p.containers = 3;
        b.fields(0, {field(0, 8, -1, 0)});
        b.route({{b.cmp(Compare::Le, reg(0), num(10)), 2}, {b.cmp(Compare::Ge, reg(0), num(10)), 4}}, unique);
        b.container(1);
        b.op(Op::End);
        b.container(2);
        const Valid v = valid(b.p);
        Packets pk;
        pk.add({3});
        pk.add({10});
        pk.add({11});
        const Outcome o = run_on(v, pk);
        CHECK(o.container[0] == 1 && o.container[2] == 2);
        if (unique) CHECK(o.why(1) == Reason::Ambiguous && o.step[1] == 1);
        else CHECK(o.why(1) == Reason::Ok && o.container[1] == 1);
    }
}

void keyed_routes() {
    // Equalities only, so the routes are keyed: a == 1 and b == 2; a == 1 (any b); a == 3 and
    // a == 4 (never); 7 == b. Register 0 is a or, when the first byte is 0xFF, the float 1.0.
    for (bool unique : {true, false}) {
        Builder b;
        b.p.registers = 3;
        b.p.containers = 5;
        b.fields(0, {field(0, 8, -1, 0), field(8, 8, -1, 1)});
        const auto is_float = b.cmp(Compare::Eq, reg(0), num(255));
        b.when(is_float, 4);
        b.fields(0, {field(16, 32, -1, 0, E::Ieee754F32)});
        b.jump(4);
        const auto a1 = b.cmp(Compare::Eq, reg(0), num(1));
        const auto r1 = b.join(true, {a1, b.cmp(Compare::Eq, reg(1), num(2))});
        const auto r3 = b.join(true, {b.cmp(Compare::Eq, reg(0), num(3)), b.cmp(Compare::Eq, reg(0), num(4))});
        const auto r4 = b.cmp(Compare::Eq, num(7), reg(1));
        const auto unset = b.cmp(Compare::Eq, reg(2), num(0));
        b.route({{r1, 6}, {a1, 8}, {r3, 10}, {r4, 12}}, unique);  // step 4
        b.op(Op::End);
        b.container(1), b.op(Op::End);
        b.container(2), b.op(Op::End);
        b.container(3), b.op(Op::End);
        b.container(4);
        // A route on a register no step sets.
        Builder u;
        u.p.registers = 1;
        u.route({{u.cmp(Compare::Eq, reg(0), num(0)), 1}});
        const Valid v = valid(b.p);
        Packets pk;
        pk.add({1, 2, 0, 0, 0, 0});     // routes 1 and 2 hold
        pk.add({1, 5, 0, 0, 0, 0});     // route 2
        pk.add({3, 7, 0, 0, 0, 0});     // route 4
        pk.add({4, 4, 0, 0, 0, 0});     // none
        pk.add({255, 7, 0x3F, 0x80, 0, 0});  // a is the float 1.0: routes 2 and 4, the general way
        const Outcome o = run_on(v, pk);
        if (unique) {
            CHECK(o.why(0) == Reason::Ambiguous && o.step[0] == 4);
            CHECK(o.why(4) == Reason::Ambiguous && o.step[4] == 4);
        } else {
            CHECK(o.container[0] == 1 && o.container[4] == 2);
        }
        CHECK(o.container[1] == 2 && o.container[2] == 4 && o.container[3] == -1 && o.why(3) == Reason::Ok);
        Packets one;
        one.add({0});
        CHECK(run_on(valid(u.p), one).why(0) == Reason::Unset);
        (void)unset;
    }
}

void measure_with_a_linear_size() {
    // A count of 16-bit words, the field (count - 1) * 16 + 8 bits: slope and offset.
    Builder b;
    b.p.registers = 1;
    b.p.positions = 2;
    const auto s = b.span_slot();
    b.fields(0, {field(0, 8, -1, 0)});
    Measure m = measure_at(0, 8, static_cast<std::int32_t>(s), 1);
    m.size_from = SizeFrom::Register;
    m.size = 0;
    m.size_slope = 16;
    m.size_offset = -8;
    b.measure(m);
    const Valid v = valid(b.p);
    Packets pk;
    pk.add({3, 1, 2, 3, 4, 5});
    pk.add({0, 1});  // -8 bits
    const Outcome o = run_on(v, pk);
    CHECK(o.why(0) == Reason::Ok && o.why(1) == Reason::BadSize);
    CHECK((o.spans(s) == std::vector<std::uint64_t>{8, 40}));
}

void nested_loops_and_budget() {
    // rows x cols of u8 from two counts: a 2-D array of dynamic size, element by element.
    Builder b;
    b.p.registers = 4;
    b.p.positions = 2;
    const auto cells = b.slot(Element::U8);
    b.fields(0, {field(0, 8, -1, 0), field(8, 8, -1, 1)});
    b.seek(1, 0, num(16));
    const auto outer = b.loop(0, 0);
    b.calc(2, Arith::Add, reg(1), num(0));
    const auto inner = b.loop(2, 0);
    b.fields(1, {field(0, 8, static_cast<std::int32_t>(cells))});
    b.seek(1, 1, num(8));
    b.jump(inner);
    b.p.steps[inner].b = b.jump(outer);
    b.p.steps[outer].b = b.next();
    const Valid v = valid(b.p);
    Packets pk;
    pk.add({2, 3, 1, 2, 3, 4, 5, 6});
    pk.add({0, 200});
    pk.add({3, 0});
    const Outcome o = run_on(v, pk);
    CHECK(o.why(0) == Reason::Ok && o.why(1) == Reason::Ok && o.why(2) == Reason::Ok);
    CHECK((o.of<std::uint8_t>(cells) == std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));

    // A loop that never ends, and a count of 2^64 - 1 over empty elements: the budget stops both.
    Builder f;
    f.jump(0);
    Packets one;
    one.add({1, 2, 3});
    CHECK(run_on(valid(f.p), one).why(0) == Reason::Budget);
    Builder g;
    g.p.registers = 1;
    g.calc(0, Arith::Add, big((i128{1} << 64) - 1), num(0));
    const auto head = g.loop(0, 3);
    g.jump(head);
    CHECK(run_on(valid(g.p), one).why(0) == Reason::Budget);
    // A negative count fails.
    Builder h;
    h.p.registers = 1;
    h.calc(0, Arith::Sub, num(0), num(1));
    h.loop(0, 2);
    CHECK(run_on(valid(h.p), one).why(0) == Reason::BadSize);
}

void exits_and_unset_values() {
    Builder b;
    b.p.registers = 2;
    b.p.containers = 1;
    const auto x = b.slot(Element::U8);
    b.fields(0, {field(0, 8, static_cast<std::int32_t>(x), 0)});
    b.container(0);
    const auto python = b.cmp(Compare::Eq, reg(0), num(1));
    const auto unset = b.cmp(Compare::Eq, reg(0), num(2));
    b.when(python, 4);    // step 2
    b.op(Op::Python);
    b.when(unset, 6);     // step 4
    b.emit(x, reg(1));    // register 1 is never written
    b.emit(x, num(300));  // step 6: does not fit u8
    const Valid v = valid(b.p);
    Packets pk;
    pk.add({1});
    pk.add({2});
    pk.add({3});
    pk.offsets.push_back(1000);  // beyond the data
    pk.sizes.push_back(1);
    const Outcome o = run_on(v, pk);
    CHECK(o.why(0) == Reason::NeedsPython && o.step[0] == 3 && o.container[0] == 0);
    CHECK(o.why(1) == Reason::Unset && o.step[1] == 5);
    CHECK(o.why(2) == Reason::BadValue && o.step[2] == 6);
    CHECK(o.why(3) == Reason::NoPacket && o.step[3] == -1 && o.container[3] == -1);
    CHECK(o.rows[x].empty());
}

void threads_give_the_same_output() {
    const Valid v = valid(events_program());
    Packets pk;
    std::mt19937 rng(11);
    for (int i = 0; i < 20000; ++i) {
        std::vector<std::string> events;
        const int n = static_cast<int>(rng() % 5);
        for (int e = 0; e < n; ++e) events.push_back(std::string(rng() % 7, static_cast<char>('a' + e)));
        auto packet = event_packet(rng() % 3 ? 5 : 6, static_cast<std::uint8_t>(rng() % 2), events);
        if (rng() % 50 == 0) packet.resize(packet.size() / 2);  // cut short: fails
        pk.add(packet);
    }
    const Outcome one = run_on(v, pk, 1);
    CHECK(std::count(one.reason.begin(), one.reason.end(), 0) > 15000);
    for (unsigned threads : {2u, 3u, 7u}) CHECK(run_on(v, pk, threads) == one);

    // Each share's first batch without events, the rest with many: every share outgrows the
    // room its first batch asked for, and its values move out of the arena.
    Packets skewed;
    for (int i = 0; i < 20000; ++i)
        skewed.add(event_packet(5, 1, std::vector<std::string>(i % 5000 < 600 ? 0 : 6, std::string(9, 'x'))));
    const Outcome alone = run_on(v, skewed, 1);
    CHECK(alone.rows[0].size() == 6 * (20000 - 4 * 600));
    for (unsigned threads : {2u, 4u}) CHECK(run_on(v, skewed, threads) == alone);
}

void validator_refusals() {
    struct Case {
        const char* what;
        void (*make)(Builder&);
        const char* message;
    };
    const std::vector<Case> cases = {
        {"jump past the end", [](Builder& b) { b.jump(2); }, "step 0 (jump): target 2 is out of range (0..1)"},
        {"register out of range", [](Builder& b) { b.calc(3, Arith::Add, num(1), num(1)); }, "register 3 is out of range"},
        {"position out of range", [](Builder& b) { b.seek(0, 4, num(1)); }, "position 4 is out of range"},
        {"slot kind", [](Builder& b) { b.slot(Element::U8); b.span(0, 0, 0); }, "slot 0 does not hold spans"},
        {"element type", [](Builder& b) { b.slot(Element::U8); b.fields(0, {field(0, 16, 0)}); },
         "holds another element type"},
        {"too wide", [](Builder& b) { b.fields(0, {field(0, 65)}); }, "cannot decode 65 bits"},
        {"f128 width", [](Builder& b) { b.fields(0, {field(0, 64, -1, -1, E::Ieee754F128)}); }, "requires a 128-bit field"},
        {"far offset", [](Builder& b) { b.fields(0, {field(INT64_MAX, 8)}); }, "beyond 2^62 bits"},
        {"array without stride", [](Builder& b) { FieldRead f = field(0, 8); f.count = 3; b.fields(0, {f}); }, "stride"},
        {"huge array", [](Builder& b) { FieldRead f = field(0, 8); f.count = 1u << 31; f.stride = 1ull << 40; b.fields(0, {f}); },
         "beyond 2^62 bits"},
        {"text to a register", [](Builder& b) { b.p.registers = 1; b.fields(0, {field(0, 8, -1, 0, E::Utf8)}); },
         "text cannot go to a register"},
        {"condition cycle", [](Builder& b) { b.p.conditions.push_back(Builder::group(true, 0, 1)); b.p.children = {0}; },
         "a child must come before its parent"},
        {"empty and", [](Builder& b) { b.p.conditions.push_back(Builder::group(false, 0, 0)); }, "at least one condition"},
        {"deep conditions", [](Builder& b) {
             b.cmp(Compare::Eq, num(0), num(0));
             for (std::uint32_t k = 0; k < 40; ++k) b.join(true, {k});
         }, "nest deeper than 32"},
        {"route table", [](Builder& b) { b.add(Builder::step(Op::Route, 2)); }, "routes 0..2 are out of range"},
        {"shared table", [](Builder& b) { b.fields(0, {}); b.add(Builder::step(Op::Fields)); }, "used by another step"},
        {"unused table", [](Builder& b) { b.p.fields.push_back(Fields{}); }, "used by no step"},
        {"terminator size", [](Builder& b) { Measure m; m.form = Form::Terminated; b.measure(m); }, "1 to 8 bytes"},
        {"plain without size", [](Builder& b) { b.measure(Measure{}); }, "needs a size"},
        {"tag width", [](Builder& b) { Measure m; m.form = Form::Tagged; m.tag_bits = 65; b.measure(m); }, "1 to 64 bits"},
        {"container", [](Builder& b) { b.container(0); }, "container 0 is out of range (0 containers)"},
        {"no positions", [](Builder& b) { b.p.positions = 0; }, "positions must be 1 to"},
        {"budget", [](Builder& b) { b.p.budget_base = 0; }, "budget"},
        {"constant", [](Builder& b) { b.p.registers = 1; b.calc(0, Arith::Add, big(i128{1} << 64), num(0)); }, "passes 64 bits"},
        {"unknown op", [](Builder& b) { b.add(Builder::step(static_cast<Op>(99))); }, "unknown op"},
    };
    for (const Case& c : cases) {
        Builder b;
        c.make(b);
        auto v = validate(b.p);
        const bool refused = !v && v.error().kind == ErrorKind::ValueError &&
                             v.error().message.find(c.message) != std::string::npos;
        if (!refused)
            std::fprintf(stderr, "%s: %s\n", c.what, v ? "accepted" : v.error().message.c_str());
        CHECK(refused);
    }
}

}  // namespace

int main() {
    fixed_fields_and_arrays();
    deferred_and_immediate_agree();
    first_failure_wins_over_later_steps();
    variable_size_fields();
    measure_forms_with_a_size();
    arithmetic_and_comparisons();
    routing_and_loops();
    routes_unique_first_and_ambiguous();
    keyed_routes();
    measure_with_a_linear_size();
    nested_loops_and_budget();
    exits_and_unset_values();
    threads_give_the_same_output();
    validator_refusals();
    return check::finish("test_program");
}
