// The decode program with programs and packets both hostile: random programs (indices, targets,
// widths, encodings, conditions, loops; mostly in range so that many pass the validator), random
// packets at random offsets and sizes (beyond the data too). A program the validator accepts
// must run without reading outside the data or its state, within its budget, and every packet's
// outcome must be the one it has when run alone: no state leaks from one packet to the next,
// and the values the slots keep belong to decoded packets, in packet order, inside the data.
#include <cstring>
#include <vector>

#include "core/program.hpp"
#include "fuzz_check.hpp"

using namespace bitloom;
using namespace bitloom::program;

namespace {

struct Gen {
    FuzzedDataProvider& in;
    std::uint32_t registers, positions, slots, steps;

    std::uint32_t pick(std::uint32_t count) {
        // Mostly in range; now and then one past it.
        const std::uint32_t v = in.ConsumeIntegral<std::uint8_t>();
        return v < 240 ? (count ? v % count : 0) : count + (v & 3);
    }
    Operand operand() {
        Operand o;
        switch (in.ConsumeIntegralInRange(0, 5)) {
            case 0: o.kind = Operand::Kind::Int; o.integer = in.ConsumeIntegralInRange<std::int64_t>(-70, 300); break;
            case 1: o.kind = Operand::Kind::Int; o.integer = static_cast<i128>(in.ConsumeIntegral<std::uint64_t>()); break;
            case 2: o.kind = Operand::Kind::Float; o.real = in.ConsumeFloatingPoint<double>(); break;
            case 3: o.kind = Operand::Kind::Register; o.index = pick(registers); break;
            case 4: o.kind = Operand::Kind::Position; o.index = pick(positions); break;
            default: o.kind = Operand::Kind::Size; break;
        }
        return o;
    }
    std::int32_t maybe(std::uint32_t count) {
        return in.ConsumeBool() ? -1 : static_cast<std::int32_t>(pick(count));
    }
    std::uint32_t condition(Program& p, int depth) {
        Condition c;
        if (depth < 3 && in.ConsumeIntegralInRange(0, 3) == 0) {
            c.kind = in.ConsumeBool() ? Condition::Kind::All : Condition::Kind::Any;
            const int n = in.ConsumeIntegralInRange(1, 3);
            std::vector<std::uint32_t> kids;
            for (int k = 0; k < n; ++k) kids.push_back(condition(p, depth + 1));
            c.first = static_cast<std::uint32_t>(p.children.size());
            c.count = static_cast<std::uint32_t>(kids.size());
            p.children.insert(p.children.end(), kids.begin(), kids.end());
        } else {
            c.op = static_cast<Compare>(in.ConsumeIntegralInRange(0, 5));
            c.lhs = operand();
            c.rhs = operand();
        }
        p.conditions.push_back(c);
        return static_cast<std::uint32_t>(p.conditions.size() - 1);
    }
    FieldRead field() {
        FieldRead f;
        f.offset = in.ConsumeIntegralInRange<std::int64_t>(-16, 96);
        f.raw = in.ConsumeIntegralInRange(0, 7) == 0;
        f.encoding = static_cast<UnpackEncoding>(in.ConsumeIntegralInRange(0, 32));
        static constexpr std::uint32_t kWidths[] = {0, 1, 3, 7, 8, 12, 16, 24, 32, 40, 48, 64, 80, 128};
        f.bits = kWidths[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kWidths) - 1)];
        f.little = in.ConsumeIntegralInRange(0, 3) == 0;
        f.reverse = in.ConsumeIntegralInRange(0, 5) == 0;
        if (in.ConsumeIntegralInRange(0, 4) == 0) {
            f.count = in.ConsumeIntegralInRange<std::uint32_t>(1, 5);
            f.stride = in.ConsumeIntegralInRange<std::uint64_t>(0, 24);
        }
        f.slot = maybe(slots);
        f.register_ = maybe(registers);
        return f;
    }
    Slot slot() {
        Slot s;
        s.kind = static_cast<SlotKind>(in.ConsumeIntegralInRange(0, 2));
        s.element = static_cast<columns::Element>(in.ConsumeIntegralInRange(0, 9));
        s.text = static_cast<UnpackEncoding>(in.ConsumeIntegralInRange(23, 32));
        return s;
    }
    Program program() {
        Program p;
        p.registers = registers;
        p.positions = positions;
        p.containers = in.ConsumeIntegralInRange<std::uint32_t>(0, 3);
        p.budget_base = in.ConsumeIntegralInRange<std::uint64_t>(1, 300);
        p.budget_per_byte = in.ConsumeIntegralInRange<std::uint64_t>(0, 8);
        for (std::uint32_t k = 0; k < slots; ++k) p.slots.push_back(slot());
        for (std::uint32_t k = 0; k < steps; ++k) {
            Step s;
            s.op = static_cast<Op>(in.ConsumeIntegralInRange(0, 13));
            s.a = pick(registers | positions);
            s.b = pick(steps + 1);
            s.c = pick(positions);
            s.x = operand();
            s.y = operand();
            s.arith = static_cast<Arith>(in.ConsumeIntegralInRange(0, 3));
            s.unique = in.ConsumeBool();
            switch (s.op) {
                case Op::Fields: {
                    Fields f;
                    f.at = pick(positions);
                    const int n = in.ConsumeIntegralInRange(0, 4);
                    for (int j = 0; j < n; ++j) f.fields.push_back(field());
                    s.table = static_cast<std::uint32_t>(p.fields.size());
                    p.fields.push_back(f);
                    break;
                }
                case Op::Measure: {
                    Measure m;
                    m.at = pick(positions);
                    m.offset = in.ConsumeIntegralInRange<std::int64_t>(-8, 64);
                    m.form = static_cast<Form>(in.ConsumeIntegralInRange(0, 2));
                    m.terminator_size = in.ConsumeIntegralInRange<std::uint8_t>(1, 3);
                    for (auto& b : m.terminator) b = in.ConsumeIntegralInRange<std::uint8_t>(0, 2);
                    m.unit = in.ConsumeIntegralInRange<std::uint8_t>(1, 4);
                    m.tag_bits = in.ConsumeIntegralInRange<std::uint8_t>(1, 16);
                    m.tag_unit = in.ConsumeBool() ? 8 : 1;
                    if (in.ConsumeBool()) m.max_bits = in.ConsumeIntegralInRange<std::uint64_t>(0, 200);
                    m.size_from = static_cast<SizeFrom>(in.ConsumeIntegralInRange(0, 2));
                    m.size = m.size_from == SizeFrom::Register ? pick(registers) : in.ConsumeIntegralInRange<std::uint64_t>(0, 120);
                    m.slot = maybe(slots);
                    m.end = maybe(positions);
                    s.table = static_cast<std::uint32_t>(p.measures.size());
                    p.measures.push_back(m);
                    break;
                }
                case Op::Jump:
                case Op::Loop: s.a = s.op == Op::Jump ? pick(steps + 1) : pick(registers); break;
                case Op::If: s.a = condition(p, 0); break;
                case Op::Route: {
                    const int n = in.ConsumeIntegralInRange(1, 3);
                    s.table = static_cast<std::uint32_t>(p.routes.size());
                    s.a = static_cast<std::uint32_t>(n);
                    for (int j = 0; j < n; ++j) p.routes.push_back(Route{condition(p, 0), pick(steps + 1)});
                    break;
                }
                case Op::Container: s.a = pick(p.containers); break;
                case Op::Emit:
                case Op::Span: s.a = pick(slots); s.b = pick(positions); break;
                default: break;
            }
            p.steps.push_back(s);
        }
        return p;
    }
};

struct Outcome {
    std::vector<std::int32_t> container, step;
    std::vector<std::uint8_t> reason;
    Share share;
};

Outcome run_all(const Valid& v, const Input& input) {
    Outcome o;
    o.container.assign(input.count, 0);
    o.step.assign(input.count, 0);
    o.reason.assign(input.count, 0);
    o.share = run(v, input, Status{o.container.data(), o.reason.data(), o.step.data()}, 1);
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider in(bytes, size);
    Gen gen{in, in.ConsumeIntegralInRange<std::uint32_t>(0, 4), in.ConsumeIntegralInRange<std::uint32_t>(0, 3),
            in.ConsumeIntegralInRange<std::uint32_t>(0, 5), in.ConsumeIntegralInRange<std::uint32_t>(0, 12)};
    Program program = gen.program();
    auto valid = validate(program);
    if (!valid) {
        FUZZ_CHECK(valid.error().kind == ErrorKind::ValueError && !valid.error().message.empty());
        return 0;
    }
    const Valid& v = *valid;
    // Packets: up to 12, at offsets and of sizes drawn from the input; the rest is the data,
    // copied to an exact allocation so that a read past its end is caught.
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 12);
    std::vector<std::uint64_t> offsets(count), sizes(count);
    for (std::size_t i = 0; i < count; ++i) {
        offsets[i] = in.ConsumeIntegralInRange<std::uint64_t>(0, 40);
        sizes[i] = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(0, 40) : UINT64_MAX;
    }
    const std::vector<std::uint8_t> rest = in.ConsumeRemainingBytes<std::uint8_t>();
    std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[rest.size() + 1]);
    if (!rest.empty()) std::memcpy(data.get(), rest.data(), rest.size());
    for (std::size_t i = 0; i < count; ++i)
        if (sizes[i] == UINT64_MAX) sizes[i] = offsets[i] <= rest.size() ? rest.size() - offsets[i] : 0;
    const Input all{.data = data.get(), .size = rest.size(), .offsets = offsets.data(), .sizes = sizes.data(), .count = count};
    const Outcome o = run_all(v, all);
    const std::size_t slots = v.slot_count();
    for (std::size_t i = 0; i < count; ++i) {
        FUZZ_CHECK(o.reason[i] < kReasonCount);
        FUZZ_CHECK((o.reason[i] == 0) == (o.step[i] == -1) || o.reason[i] == static_cast<std::uint8_t>(Reason::NoPacket));
        FUZZ_CHECK(o.container[i] >= -1 && o.container[i] < static_cast<std::int32_t>(program.containers));
    }
    for (std::size_t k = 0; k < slots; ++k) {
        const SlotValues& s = o.share.slots[k];
        FUZZ_CHECK(s.values.size() == s.rows.size() * v.value_size(k));
        FUZZ_CHECK(s.lengths.size() == (v.slot(k).kind == SlotKind::Number ? 0 : s.rows.size()));
        for (std::size_t j = 0; j < s.rows.size(); ++j) {
            FUZZ_CHECK(s.rows[j] < count && o.reason[s.rows[j]] == 0);
            FUZZ_CHECK(j == 0 || s.rows[j - 1] <= s.rows[j]);
            if (v.slot(k).kind != SlotKind::Number) {
                std::uint64_t span[2];
                std::memcpy(span, s.values.data() + j * 8, 8);
                span[1] = s.lengths[j];
                const std::uint64_t packet = offsets[s.rows[j]] * 8;
                FUZZ_CHECK(span[0] >= packet && span[1] <= sizes[s.rows[j]] * 8 &&
                           span[0] - packet <= sizes[s.rows[j]] * 8 - span[1]);
            }
        }
    }
    // Each packet alone: the same outcome and the same values.
    for (std::size_t i = 0; i < count; ++i) {
        const Input one{.data = data.get(), .size = rest.size(), .offsets = &offsets[i], .sizes = &sizes[i], .count = 1};
        const Outcome alone = run_all(v, one);
        FUZZ_CHECK(alone.reason[0] == o.reason[i] && alone.step[0] == o.step[i] &&
                   alone.container[0] == o.container[i]);
        for (std::size_t k = 0; k < slots; ++k) {
            const SlotValues& s = o.share.slots[k];
            const SlotValues& a = alone.share.slots[k];
            const std::size_t width = v.value_size(k);
            std::size_t first = 0;
            while (first < s.rows.size() && s.rows[first] < i) ++first;
            std::size_t last = first;
            while (last < s.rows.size() && s.rows[last] == i) ++last;
            FUZZ_CHECK(a.rows.size() == last - first);
            FUZZ_CHECK(a.rows.size() == 0 ||
                       std::memcmp(a.values.data(), s.values.data() + first * width, a.rows.size() * width) == 0);
            FUZZ_CHECK(a.lengths.size() == 0 ||
                       std::memcmp(a.lengths.data(), s.lengths.data() + first, a.lengths.size() * 8) == 0);
        }
    }
    return 0;
}
