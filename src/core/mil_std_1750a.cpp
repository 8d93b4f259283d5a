// MIL-STD-1750A floats: a two's complement fraction m / 2^(n-1) of n bits, normalised so that
// its two top bits differ (in [1/2, 1) or [-1, -1/2)), and an 8-bit two's complement exponent e,
// no bias, no hidden bit: value = fraction x 2^e.
//   f32: fraction (24) | exponent (8)
//   f48: fraction, top 24 bits | exponent (8) | fraction, low 16 bits
// Every pattern denotes a value, unnormalised ones included, and binary64 holds each exactly.
#include <bit>

#include "older_float.hpp"
#include "other_float.hpp"

namespace bitloom {

namespace {

using older_float::out_of_range;

/// The fraction m / 2^bits and exponent e of the value nearest to `value`, ties to even, given
/// to `pack(m, e)`; the format's zero below the least normalised magnitude.
template <int bits, class T, class Pack>
inline Result<std::uint64_t> encode_1750a(T argument, const char* format, Pack pack) {
    const std::uint64_t x = std::bit_cast<std::uint64_t>(older_float::widen(argument));
    const int biased = static_cast<int>((x >> 52) & 0x7FF);
    if (biased == 0x7FF) return out_of_range(argument, format);
    if (biased == 0) return std::uint64_t{0};  // binary64 subnormals lie far below 2^-129
    const auto rounded = older_float::round_magnitude<bits>(x);
    auto m = static_cast<std::int64_t>(rounded.significand);  // |value| = m / 2^bits x 2^e
    int e = rounded.exponent + 1;
    if (x >> 63) {
        // Negative fractions run from -1 up to -1/2 excluded: -1/2 x 2^e is written -1 x 2^(e-1).
        if (m == std::int64_t{1} << (bits - 1)) {
            m <<= 1;
            --e;
        }
        m = -m;
    }
    if (e > 127) return out_of_range(argument, format);
    if (e < -128) return std::uint64_t{0};
    return pack(m, e);
}

std::uint64_t f32_pattern(std::int64_t fraction, int exponent) noexcept {
    return ((static_cast<std::uint64_t>(fraction) & 0xFFFFFF) << 8) | (static_cast<std::uint64_t>(exponent) & 0xFF);
}

std::uint64_t f48_pattern(std::int64_t fraction, int exponent) noexcept {
    const std::uint64_t f = static_cast<std::uint64_t>(fraction) & 0xFFFFFFFFFFULL;
    return ((f >> 16) << 24) | ((static_cast<std::uint64_t>(exponent) & 0xFF) << 16) | (f & 0xFFFF);
}

}  // namespace

Result<std::uint64_t> encode_mil_std_1750a_f32(float value) {
    return encode_1750a<23>(value, "MIL-STD-1750A f32", f32_pattern);
}

Result<std::uint64_t> encode_mil_std_1750a_f48(double value) {
    return encode_1750a<39>(value, "MIL-STD-1750A f48", f48_pattern);
}

Result<double> decode_mil_std_1750a_f32(std::uint64_t value) {
    const auto fraction = static_cast<std::int32_t>(static_cast<std::uint32_t>(value) & 0xFFFFFF00u) >> 8;
    const int exponent = static_cast<std::int8_t>(value & 0xFF);
    return static_cast<double>(fraction) * older_float::pow2(exponent - 23);
}

Result<double> decode_mil_std_1750a_f48(std::uint64_t value) {
    const std::uint64_t f = (((value >> 24) & 0xFFFFFF) << 16) | (value & 0xFFFF);
    const std::int64_t fraction = static_cast<std::int64_t>(f << 24) >> 24;
    const int exponent = static_cast<std::int8_t>((value >> 16) & 0xFF);
    return static_cast<double>(fraction) * older_float::pow2(exponent - 39);
}

}  // namespace bitloom
