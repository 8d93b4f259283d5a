// binary64 -> binary32 narrowing on the bit patterns, so that the result never depends on the
// processor's floating-point settings (flush-to-zero, rounding mode) left by other code.
#pragma once

#include <bit>
#include <cstdint>

namespace bitloom {

/// Round to nearest, ties to even; beyond the binary32 range, a signed infinity; a NaN keeps the
/// top 23 bits of its fraction and becomes quiet.
/// binary64 is s|e(11)|f(52), bias 1023; binary32 is s|e(8)|f(23), bias 127.
constexpr std::uint32_t narrow_binary64_bits(std::uint64_t x) noexcept {
    const auto sign = static_cast<std::uint32_t>(x >> 32) & 0x80000000u;
    const auto e = static_cast<std::int32_t>((x >> 52) & 0x7FF);
    const std::uint64_t f = x & 0xFFFFFFFFFFFFFULL;
    if (e == 0x7FF)
        return sign | 0x7F800000u | (f ? 0x400000u | static_cast<std::uint32_t>(f >> 29) : 0u);
    if (e == 0) return sign;  // zero, or a binary64 subnormal: far below half the least binary32
    const std::int32_t biased = e - 1023 + 127;
    if (biased >= 0xFF) return sign | 0x7F800000u;
    const std::uint64_t m = f | (std::uint64_t{1} << 52);  // 53-bit significand
    // Drop 29 bits for a normal result, more for a subnormal one (biased exponent 0).
    const std::int32_t shift = biased > 0 ? 29 : 29 + 1 - biased;
    if (shift > 54) return sign;  // below half the least subnormal
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    const std::uint64_t rest = m & ((half << 1) - 1);
    std::uint64_t r = m >> shift;
    if (rest > half || (rest == half && (r & 1))) ++r;
    // A normal result keeps its hidden bit in r; adding it on top of the exponent field lets a
    // rounding carry step into the next exponent (or into infinity) by itself.
    if (biased > 0) return sign | ((static_cast<std::uint32_t>(biased - 1) << 23) + static_cast<std::uint32_t>(r));
    return sign | static_cast<std::uint32_t>(r);  // a carry here yields the least normal
}

inline float narrow_to_binary32(double value) noexcept {
    return std::bit_cast<float>(narrow_binary64_bits(std::bit_cast<std::uint64_t>(value)));
}

static_assert(narrow_binary64_bits(0x3FF0000000000000ULL) == 0x3F800000u);           // 1.0
static_assert(narrow_binary64_bits(0x47EFFFFFF0000000ULL) == 0x7F800000u);           // FLT_MAX + half ulp
static_assert(narrow_binary64_bits(0x47EFFFFFEFFFFFFFULL) == 0x7F7FFFFFu);           // just below
static_assert(narrow_binary64_bits(0x36A0000000000000ULL) == 0x00000001u);           // 2^-149
static_assert(narrow_binary64_bits(0x3690000000000000ULL) == 0x00000000u);           // 2^-150: tie to 0
static_assert(narrow_binary64_bits(0xFFF8000000000001ULL) == 0xFFC00000u);           // NaN, quiet

}  // namespace bitloom
