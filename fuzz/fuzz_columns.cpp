// The column loop against a walk of each packet in turn, as the reader walks it: random recipes
// (every reader encoding, any width, offset, byte order and reversal), random data, packets at
// random offsets (beyond the data too) or of a fixed size, any offset_bits. The first failure is
// the walk's first failure, packet and message; without one, every element is the walk's value,
// bit for bit, and every text field decodes alike, also after the offsets changed. Each column
// is an exact heap allocation, so a write past its end is caught; the data too, so is a read.
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "core/bcd.hpp"
#include "core/columns.hpp"
#include "core/ieee754.hpp"
#include "core/integer.hpp"
#include "core/layout.hpp"
#include "core/other_float.hpp"
#include "fuzz_check.hpp"

using namespace bitloom;
using namespace bitloom::columns;
using E = UnpackEncoding;

namespace {

/// The element the reader's value gives, as its bits, or the reader's failure.
Result<std::uint64_t> reference_value(const std::uint8_t* data, std::size_t size,
                                      std::uint64_t start, const Field& f) {
    const auto twos = [](std::int64_t v) { return static_cast<std::uint64_t>(v); };
    const auto f64 = [](double d) { return std::bit_cast<std::uint64_t>(d); };
    const auto f32 = [](double d) { return std::uint64_t{std::bit_cast<std::uint32_t>(static_cast<float>(d))}; };
    const auto wider = [&] {
        return value_error("Cannot decode " + std::to_string(f.bits) + " bits into a 64-bit value");
    };
    if (is_text(f.encoding)) {
        ByteBuffer scratch;
        auto text = decode_text_field(f.encoding, data, start, f.bits, f.little, scratch);
        if (!text) return text.error();
        return std::uint64_t{0};
    }
    if (f.encoding == E::Ieee754F128) {
        if (f.bits == 128) return f64(decode_ieee754_f128(layout::cut_value128(data, start, 128, f.little, f.reverse)));
        if (f.bits <= 64) return value_error("IEEE 754 f128 requires a 128-bit field, got " + std::to_string(f.bits) + " bits");
        return value_error("IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)");
    }
    if (f.encoding == E::Ieee754_1985F80 && f.bits == 80) {
        auto r = decode_ieee754_1985_f80(layout::cut_value128(data, start, 80, f.little, f.reverse));
        if (!r) return r.error();
        return f64(*r);
    }
    if (f.bits > 64) return wider();
    const std::uint64_t v = layout::cut_value(data, size, start, f.bits, f.little, f.reverse);
    auto older = [&](Result<double> r) -> Result<std::uint64_t> {
        if (!r) return r.error();
        return f64(*r);
    };
    auto bcd = [&](Result<std::int64_t> r) -> Result<std::uint64_t> {
        if (!r) return r.error();
        return twos(*r);
    };
    switch (f.encoding) {
        case E::Unsigned: return v;
        case E::SignMagnitude: return twos(decode_sign_magnitude(v, f.bits));
        case E::OnesComplement: return twos(decode_ones_complement(v, f.bits));
        case E::TwosComplement: return twos(decode_twos_complement(v, f.bits));
        case E::Bcd: return bcd(decode_unpacked_bcd(v, f.bits, false));
        case E::BcdSigned: return bcd(decode_unpacked_bcd(v, f.bits, true));
        case E::PackedBcd: return bcd(decode_packed_bcd(v, f.bits, false));
        case E::PackedBcdSigned: return bcd(decode_packed_bcd(v, f.bits, true));
        case E::Ieee754F16: return f32(static_cast<double>(decode_ieee754_f16(v)));
        case E::Ieee754F32: return f32(decode_ieee754_f32(v));
        case E::Ieee754F64: return f64(decode_ieee754_f64(v));
        case E::Ieee754_1985F32: return older(decode_ieee754_1985_f32(v));
        case E::Ieee754_1985F64: return older(decode_ieee754_1985_f64(v));
        case E::Ieee754_1985F80: return older(decode_ieee754_1985_f80(v));
        case E::MilStd1750aF32: return older(decode_mil_std_1750a_f32(v));
        case E::MilStd1750aF48: return older(decode_mil_std_1750a_f48(v));
        case E::TiF32: return older(decode_ti_f32(v));
        case E::TiF40: return older(decode_ti_f40(v));
        case E::DecF32: return older(decode_dec_f32(v));
        case E::DecF64: return older(decode_dec_f64(v));
        case E::IbmF32: return older(decode_ibm_f32(v));
        default: return older(decode_ibm_f64(v));
    }
}

/// The element at `i` of a column, as its bits (integers widened by their signedness).
std::uint64_t element_bits(const void* out, Element e, std::size_t i) {
    switch (e) {
        case Element::U8: return static_cast<const std::uint8_t*>(out)[i];
        case Element::U16: return static_cast<const std::uint16_t*>(out)[i];
        case Element::U32: return static_cast<const std::uint32_t*>(out)[i];
        case Element::U64: return static_cast<const std::uint64_t*>(out)[i];
        case Element::I8: return static_cast<std::uint64_t>(std::int64_t{static_cast<const std::int8_t*>(out)[i]});
        case Element::I16: return static_cast<std::uint64_t>(std::int64_t{static_cast<const std::int16_t*>(out)[i]});
        case Element::I32: return static_cast<std::uint64_t>(std::int64_t{static_cast<const std::int32_t*>(out)[i]});
        case Element::I64: return static_cast<std::uint64_t>(static_cast<const std::int64_t*>(out)[i]);
        case Element::F32: return std::bit_cast<std::uint32_t>(static_cast<const float*>(out)[i]);
        case Element::F64: return std::bit_cast<std::uint64_t>(static_cast<const double*>(out)[i]);
        case Element::Text: break;
    }
    return 0;
}

struct Walk {
    std::optional<Failure> failure;
    std::vector<std::vector<std::uint64_t>> values;  // [field][packet]
};

/// Each packet in turn, each field placed, checked and decoded as the reader does.
Walk walk(const Packets& pk, const std::vector<Field>& fields) {
    Walk w;
    w.values.assign(fields.size(), std::vector<std::uint64_t>(pk.count));
    for (std::size_t i = 0; i < pk.count; ++i) {
        const u128 wide_base = u128{pk.byte_offset(i)} * 8 + pk.offset_bits;
        if (wide_base >> 64) {
            w.failure = Failure{i, value_error("")};
            return w;
        }
        const auto base = static_cast<std::uint64_t>(wide_base);
        std::uint64_t position = base;
        auto fail = [&](CodecError error) {
            w.failure = Failure{i, std::move(error)};
            return w;
        };
        for (std::size_t k = 0; k < fields.size(); ++k) {
            const Field& f = fields[k];
            std::uint64_t start = position;
            if (f.has_offset) {
                if (auto e = layout::check_position(base, f.offset)) return fail(*e);
                start = base + f.offset;
            }
            if (auto e = layout::check_position(start, f.bits)) return fail(*e);
            if (auto e = layout::check_bounds(pk.size, start, f.bits)) return fail(*e);
            auto value = reference_value(pk.data, pk.size, start, f);
            if (!value) return fail(value.error());
            w.values[k][i] = *value;
            position = start + f.bits;
        }
    }
    return w;
}

constexpr std::uint32_t kWidths[] = {0, 1, 3, 4, 7, 8, 12, 16, 24, 32, 40, 48, 63, 64, 65, 80, 128};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t input_size) {
    FuzzedDataProvider in(input, input_size);
    std::vector<Field> fields(in.ConsumeIntegralInRange<std::size_t>(0, 6));
    for (Field& f : fields) {
        f.encoding = static_cast<E>(in.ConsumeIntegralInRange<int>(0, static_cast<int>(E::Windows1252)));
        f.bits = in.ConsumeBool() ? kWidths[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kWidths) - 1)]
                                  : in.ConsumeIntegralInRange<std::uint32_t>(0, 140);
        f.has_offset = in.ConsumeBool();
        f.offset = in.ConsumeIntegralInRange<std::uint64_t>(0, 200);
        if (in.ConsumeIntegral<std::uint8_t>() == 0) f.offset = in.ConsumeIntegral<std::uint64_t>();
        f.little = in.ConsumeBool();
        f.reverse = in.ConsumeBool();
    }
    Packets pk;
    pk.offset_bits = in.ConsumeIntegralInRange<std::uint64_t>(0, 24);
    if (in.ConsumeIntegral<std::uint8_t>() == 0) pk.offset_bits = in.ConsumeIntegral<std::uint64_t>();
    std::vector<std::uint64_t> offsets;
    const bool fixed = in.ConsumeBool();
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, in.ConsumeBool() ? 3000 : 12);
    const std::uint64_t stride = in.ConsumeIntegralInRange<std::uint64_t>(1, 40);
    // The data: an exact heap allocation, the rest of the input repeated.
    const std::vector<std::uint8_t> rest = in.ConsumeRemainingBytes<std::uint8_t>();
    const std::size_t size = fixed ? static_cast<std::size_t>(count * stride) : rest.size() * 4;
    std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[size ? size : 1]);
    for (std::size_t j = 0; j < size; ++j) data[j] = rest.empty() ? 0 : rest[j % rest.size()];
    pk.data = data.get();
    pk.size = size;
    pk.count = count;
    if (fixed) {
        pk.stride = stride;
    } else {
        for (std::size_t i = 0; i < count; ++i)
            offsets.push_back(i % 97 == 96 ? size + i : (i * stride * 7 + i / 3) % (size + 2));
        pk.offsets = offsets.data();
    }

    std::vector<std::unique_ptr<std::uint8_t[]>> outs;
    for (Field& f : fields) {
        const std::size_t bytes = element_size(element_of(f.encoding, f.bits)) * count;
        if (bytes == 0) continue;  // text, or no packets
        outs.emplace_back(new std::uint8_t[bytes]);
        f.out = outs.back().get();
    }
    const Walk want = walk(pk, fields);
    const Plan plan(pk, fields);
    const std::optional<Failure> got = count > 2048 ? plan.run_parallel(3) : plan.run(0, count);

    FUZZ_CHECK(got.has_value() == want.failure.has_value());
    if (got) {
        FUZZ_CHECK(got->packet == want.failure->packet);
        // The walk's own message for a start beyond 64 bits is left empty.
        if (!want.failure->error.message.empty()) FUZZ_CHECK(got->error.message == want.failure->error.message);
        return 0;
    }
    ByteBuffer scratch;
    for (std::size_t k = 0; k < fields.size(); ++k) {
        const Field& f = fields[k];
        const Element e = element_of(f.encoding, f.bits);
        for (std::size_t i = 0; i < count; ++i) {
            if (e == Element::Text) {
                FUZZ_CHECK(plan.text(i, k, scratch).ok());
            } else {
                FUZZ_CHECK(element_bits(f.out, e, i) == want.values[k][i]);
            }
        }
    }
    // Offsets changed after the run (their owner is not held off by the caller): the text of
    // every packet is checked again, and read from inside the data or refused.
    for (std::size_t i = 0; i < offsets.size(); ++i) offsets[i] = offsets[i] * 31 + i;
    for (std::size_t k = 0; k < fields.size(); ++k) {
        if (element_of(fields[k].encoding, fields[k].bits) != Element::Text) continue;
        for (std::size_t i = 0; i < count; ++i) (void)plan.text(i, k, scratch);
    }
    return 0;
}
