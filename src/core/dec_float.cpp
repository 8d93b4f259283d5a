// DEC VAX floats in their logical order: sign (top bit) | 8-bit exponent, bias 128 | fraction
// of 23 (F_floating, f32) or 55 (D_floating, f64) bits after a hidden leading 1:
// value = +-0.1F x 2^(E - 128). Exponent 0 with sign 0 is zero whatever the fraction; with sign 1
// it is the reserved operand, which denotes no value. Range 2^-128 to (1 - 2^-24) x 2^127 (f32),
// (1 - 2^-56) x 2^127 (f64), so binary32 and binary64 values in range encode exactly (24 and 56
// significant bits against binary32's 24 and binary64's 53); decoding f64 rounds 56 bits to 53.
#include "older_float.hpp"
#include "other_float.hpp"

namespace bitloom {
namespace {

using older_float::out_of_range;
using older_float::Parts;

/// The pattern with FractionBits fraction bits of `argument` (a float or a double).
template <int FractionBits, class T>
Result<std::uint64_t> encode_dec(T argument, const char* format) noexcept {
    const double value = older_float::widen(argument);
    if (!std::isfinite(value)) [[unlikely]]
        return out_of_range(argument, format);
    if (value == 0) return std::uint64_t{0};  // the one zero: sign 1 there is the reserved operand
    const Parts v = older_float::split(value);
    const int exponent = v.top + 129;  // 2^(E - 129) <= |value| < 2^(E - 128)
    if (exponent > 255) [[unlikely]]
        return out_of_range(argument, format);
    if (exponent <= 0) return std::uint64_t{0};  // below 2^-128
    constexpr std::uint64_t fraction_mask = (std::uint64_t{1} << FractionBits) - 1;
    // m holds 53 bits; f32's fraction is the top 23 below the leading bit (a binary32 value has
    // nothing beyond them), f64's takes all 52 and three zeros.
    const std::uint64_t f = (FractionBits >= 52 ? v.m << (FractionBits - 52) : v.m >> (52 - FractionBits)) & fraction_mask;
    return (v.sign << (FractionBits + 8)) | (static_cast<std::uint64_t>(exponent) << FractionBits) | f;
}

template <int FractionBits>
Result<double> decode_dec(std::uint64_t pattern, const char* format) noexcept {
    const std::uint64_t sign = (pattern >> (FractionBits + 8)) & 1;
    const int exponent = static_cast<int>((pattern >> FractionBits) & 0xFF);
    if (exponent == 0) {
        if (sign) [[unlikely]]
            return older_float::no_value(format, pattern, FractionBits + 9);
        return 0.0;
    }
    const std::uint64_t f = (pattern & ((std::uint64_t{1} << FractionBits) - 1)) | (std::uint64_t{1} << FractionBits);
    return older_float::compose(sign, f, exponent - 128 - (FractionBits + 1));
}

}  // namespace

Result<std::uint64_t> encode_dec_f32(float value) { return encode_dec<23>(value, "DEC f32"); }
Result<std::uint64_t> encode_dec_f64(double value) { return encode_dec<55>(value, "DEC f64"); }

Result<double> decode_dec_f32(std::uint64_t value) { return decode_dec<23>(value & 0xFFFFFFFFu, "DEC f32"); }
Result<double> decode_dec_f64(std::uint64_t value) { return decode_dec<55>(value, "DEC f64"); }

}  // namespace bitloom
