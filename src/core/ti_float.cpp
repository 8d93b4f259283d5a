// TI TMS320C3x/C4x floats: an 8-bit two's complement exponent e, then a sign bit s and a
// fraction F of n bits: value = (s ? -2 + 0.F : 1 + 0.F) x 2^e, and e = -128 is zero whatever
// s and F hold. The bits s, not s, F read as one two's complement number are the significand.
//   f32: exponent (8) | sign (1) | fraction (23)
//   f40: exponent (8) | sign (1) | fraction (31)
// Every pattern denotes a value, and binary64 holds each exactly.
#include <bit>

#include "older_float.hpp"
#include "other_float.hpp"

namespace bitloom {

namespace {

using older_float::out_of_range;

/// `bits` significant bits: the hidden one and the fraction.
template <int bits>
constexpr std::uint64_t zero_pattern = std::uint64_t{0x80} << bits;

template <int bits, class T>
inline Result<std::uint64_t> encode_ti(T argument, const char* format) {
    constexpr std::uint64_t one = std::uint64_t{1} << (bits - 1);
    const std::uint64_t x = std::bit_cast<std::uint64_t>(older_float::widen(argument));
    const int biased = static_cast<int>((x >> 52) & 0x7FF);
    if (biased == 0x7FF) return out_of_range(argument, format);
    if (biased == 0) return zero_pattern<bits>;  // binary64 subnormals lie far below 2^-127
    auto [k, e] = older_float::round_magnitude<bits>(x);  // |value| = k / one x 2^e
    std::uint64_t sign = 0, fraction = k - one;
    if (x >> 63) {
        // Negative magnitudes run from 2^e excluded up to 2^(e+1): 2^e is -2 x 2^(e-1).
        if (k == one) {
            k <<= 1;
            --e;
        }
        sign = 1;
        fraction = 2 * one - k;
    }
    if (e > 127) return out_of_range(argument, format);
    if (e < -127) return zero_pattern<bits>;
    return (static_cast<std::uint64_t>(e & 0xFF) << bits) | (sign << (bits - 1)) | fraction;
}

template <int bits>
inline double decode_ti(std::uint64_t value) noexcept {
    constexpr std::uint64_t one = std::uint64_t{1} << (bits - 1);
    const int e = static_cast<std::int8_t>((value >> bits) & 0xFF);
    if (e == -128) return 0.0;
    const auto fraction = static_cast<std::int64_t>(value & (one - 1));
    const std::int64_t significand = value & one ? fraction - static_cast<std::int64_t>(2 * one)
                                                 : fraction + static_cast<std::int64_t>(one);
    return static_cast<double>(significand) * older_float::pow2(e - (bits - 1));
}

}  // namespace

Result<std::uint64_t> encode_ti_f32(float value) { return encode_ti<24>(value, "TI f32"); }
Result<std::uint64_t> encode_ti_f40(double value) { return encode_ti<32>(value, "TI f40"); }
Result<double> decode_ti_f32(std::uint64_t value) { return decode_ti<24>(value); }
Result<double> decode_ti_f40(std::uint64_t value) { return decode_ti<32>(value); }

}  // namespace bitloom
