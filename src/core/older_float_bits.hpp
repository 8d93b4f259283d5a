// Bit-level pieces shared by the hexadecimal and VAX float codecs: a binary64 taken apart into
// sign, integer significand and exponent, and a positive integer significand scaled by a power
// of two put back into a binary64 with rounding to nearest, ties to even. Integer work only,
// so no floating-point mode of the process can change a result.
#pragma once

#include <bit>
#include <cstdint>

#include "float_format.hpp"

namespace bitloom::older_float {

/// A finite nonzero binary64 as m x 2^(top - 52), m with its bit 52 set (subnormals shifted up).
struct Parts {
    std::uint64_t sign;  // 0 or 1
    std::uint64_t m;
    int top;             // exponent of the value's leading bit
};

inline Parts split(double value) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const int e = static_cast<int>((bits >> 52) & 0x7FF);
    const std::uint64_t f = bits & ((std::uint64_t{1} << 52) - 1);
    if (e != 0) return {bits >> 63, f | (std::uint64_t{1} << 52), e - 1023};
    const int p = static_cast<int>(std::bit_width(f)) - 1;
    return {bits >> 63, f << (52 - p), p - 1074};
}

/// The binary32 value as a binary64, exactly (subnormals too, whatever the FPU's mode).
inline double widen(float value) noexcept {
    return std::bit_cast<double>(widen_bits<binary32, binary64>(std::bit_cast<std::uint32_t>(value)));
}

/// m >> shift rounded to nearest, ties to even (shift in 1..63).
constexpr std::uint64_t round_shift(std::uint64_t m, int shift) noexcept {
    // Adding half less one, plus the kept last bit, carries exactly when the dropped bits are
    // above half, or at half with the kept value odd.
    return (m + (std::uint64_t{1} << (shift - 1)) - 1 + ((m >> shift) & 1)) >> shift;
}

/// (-1)^sign x f x 2^k for f in [1, 2^56) whose value lies in binary64's normal range.
constexpr double compose(std::uint64_t sign, std::uint64_t f, int k) noexcept {
    const int p = static_cast<int>(std::bit_width(f)) - 1;
    const std::uint64_t r = p > 52 ? round_shift(f, p - 52) : f << (52 - p);
    // r's leading bit lands on the exponent field's lowest bit, so a rounding carry (r = 2^53)
    // steps into the next exponent by itself.
    const auto biased = static_cast<std::uint64_t>(p + k + 1023);
    return std::bit_cast<double>((sign << 63) | (((biased - 1) << 52) + r));
}

static_assert(compose(0, 1, 0) == 1.0);
static_assert(compose(1, 3, -1) == -1.5);
static_assert(compose(0, (std::uint64_t{1} << 54) - 1, -54) == 1.0);              // all ones: carry
static_assert(compose(0, (std::uint64_t{1} << 55) + 4, -55) == 1.0);              // tie: to even
static_assert(compose(0, (std::uint64_t{1} << 55) + 12, -55) == 1.0 + 0x1p-51);  // tie: to even, up

}  // namespace bitloom::older_float
