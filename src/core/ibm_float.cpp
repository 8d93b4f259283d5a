// IBM System/360 hexadecimal floats. A pattern is sign (top bit) | 7-bit exponent, bias 64, base
// 16 | fraction of 24 (f32) or 56 (f64) bits: value = +-0.F x 16^(E - 64). Normalised means a
// nonzero leading hex digit, so 21 to 24 (53 to 56) significant bits depending on the value.
// Every pattern denotes a value, unnormalised ones included; any zero fraction is a signed zero.
// Range: 16^-65 to (1 - 16^-6) x 16^63 (f32), (1 - 16^-14) x 16^63 (f64), both within
// binary64's normal range: decoding f32 is exact, f64 rounds 56 bits to 53. Encoding a binary64
// into f64 is exact within the range; a binary32 into f32 rounds to nearest, ties to even.
#include "older_float.hpp"
#include "other_float.hpp"

namespace bitloom {
namespace {

using older_float::out_of_range;
using older_float::Parts;

/// The pattern with FractionBits fraction bits of `argument` (a float or a double).
template <int FractionBits, class T>
Result<std::uint64_t> encode_ibm(T argument, const char* format) noexcept {
    const double value = older_float::widen(argument);
    if (!std::isfinite(value)) [[unlikely]]
        return out_of_range(argument, format);
    constexpr int sign_shift = FractionBits + 7;
    if (value == 0) return std::uint64_t{std::signbit(value)} << sign_shift;
    const Parts v = older_float::split(value);
    // 16^(q-1) <= |value| < 16^q; the fraction F = |value| / 2^(4q - FractionBits).
    const int q = (v.top >> 2) + 1;
    int exponent = q + 64;
    const int shift = v.top - 4 * q + 4 + (FractionBits - 56);  // left shift of m into F
    std::uint64_t f = shift >= 0 ? v.m << shift : older_float::round_shift(v.m, -shift);
    if (f >> FractionBits) {  // rounded up to 16^q: one hex digit more
        f >>= 4;
        ++exponent;
    }
    if (exponent > 127) [[unlikely]]
        return out_of_range(argument, format);
    if (exponent < 0) return v.sign << sign_shift;  // below 16^-65
    return (v.sign << sign_shift) | (static_cast<std::uint64_t>(exponent) << FractionBits) | f;
}

template <int FractionBits>
double decode_ibm(std::uint64_t pattern) noexcept {
    const std::uint64_t sign = (pattern >> (FractionBits + 7)) & 1;
    const std::uint64_t f = pattern & ((std::uint64_t{1} << FractionBits) - 1);
    if (f == 0) return sign ? -0.0 : 0.0;
    const int exponent = static_cast<int>((pattern >> FractionBits) & 0x7F);
    return older_float::compose(sign, f, 4 * (exponent - 64) - FractionBits);
}

}  // namespace

Result<std::uint64_t> encode_ibm_f32(float value) { return encode_ibm<24>(value, "IBM f32"); }
Result<std::uint64_t> encode_ibm_f64(double value) { return encode_ibm<56>(value, "IBM f64"); }

Result<double> decode_ibm_f32(std::uint64_t value) { return decode_ibm<24>(value & 0xFFFFFFFFu); }
Result<double> decode_ibm_f64(std::uint64_t value) { return decode_ibm<56>(value); }

}  // namespace bitloom
