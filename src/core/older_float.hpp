// Pieces shared by the codecs of the older float families: a binary64 taken apart into sign,
// integer significand and exponent; rounding a significand to fewer bits; a significand scaled by
// a power of two put back into a binary64; and the failures that name a value or a pattern.
// Integer work only, so no floating-point mode of the process can change a result.
#pragma once

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec.hpp"
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

/// The value as a binary64, exactly (binary32 subnormals too, whatever the FPU's mode).
inline double widen(float value) noexcept {
    return std::bit_cast<double>(widen_bits<binary32, binary64>(std::bit_cast<std::uint32_t>(value)));
}
inline double widen(double value) noexcept { return value; }

/// m >> shift rounded to nearest, ties to even (shift in 1..63).
constexpr std::uint64_t round_shift(std::uint64_t m, int shift) noexcept {
    // Adding half less one, plus the kept last bit, carries exactly when the dropped bits are
    // above half, or at half with the kept value odd.
    return (m + (std::uint64_t{1} << (shift - 1)) - 1 + ((m >> shift) & 1)) >> shift;
}

/// |x| ~ significand x 2^(exponent - bits + 1), the significand in [2^(bits-1), 2^bits).
struct Rounded {
    std::uint64_t significand;
    int exponent;  // |x| lies in [2^exponent, 2^(exponent+1)) once rounded
};

/// The magnitude of a finite, normal binary64 pattern rounded to `bits` significant bits, to
/// nearest with ties to even; a carry out of the top moves into the exponent.
template <int bits>
constexpr Rounded round_magnitude(std::uint64_t x) noexcept {
    static_assert(bits >= 2 && bits < 53);
    const std::uint64_t m = (x & 0xFFFFFFFFFFFFFULL) | (std::uint64_t{1} << 52);
    std::uint64_t k = round_shift(m, 53 - bits);
    int exponent = static_cast<int>((x >> 52) & 0x7FF) - 1023;
    if (k >> bits) {
        k >>= 1;
        ++exponent;
    }
    return {k, exponent};
}

static_assert(round_magnitude<24>(0x3FF0000000000000ULL).significand == 0x800000);  // 1.0
static_assert(round_magnitude<24>(0x3FF0000010000000ULL).significand == 0x800000);  // tie, even
static_assert(round_magnitude<24>(0x3FF0000030000000ULL).significand == 0x800002);  // tie, up
static_assert(round_magnitude<24>(0x3FFFFFFFF0000000ULL).exponent == 1);           // carry

/// 2^k for k in binary64's normal exponent range, built as a pattern: a product with it is exact
/// wherever the result is a normal binary64.
constexpr double pow2(int k) noexcept {
    return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
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

/// Shortest digits that read back to `value` (binary32 digits for a float), laid out as repr
/// does: positional from 1e-4 up to 1e16 with at least one fraction digit ("100.0", "0.0001"),
/// scientific beyond with a signed exponent of two digits or more ("1e+16", "1.5e-07").
template <class T>
[[gnu::cold]] std::string python_repr(T value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buf[64];
    const auto written = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view text(buf, static_cast<std::size_t>(written.ptr - buf));
    std::string out;
    if (text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    int exponent = 0;
    for (char c : text.substr(e + 2)) exponent = exponent * 10 + (c - '0');
    if (text[e + 1] == '-') exponent = -exponent;
    if (exponent < -4 || exponent >= 16) return out.append(text);
    std::string digits;
    for (char c : text.substr(0, e))
        if (c != '.') digits.push_back(c);
    if (exponent < 0) return out.append("0.").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
    const auto whole = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= whole) return out.append(digits).append(whole - digits.size(), '0').append(".0");
    return out.append(digits, 0, whole).append(".").append(digits, whole);
}

/// "{value} is out of range for {format}": a value beyond the largest finite one, or not finite.
/// A binary32 argument is written with binary32's digits, as it was held.
template <class T>
[[gnu::cold, gnu::noinline]] CodecError out_of_range(T value, std::string_view format) {
    return value_error(python_repr(value).append(" is out of range for ").append(format));
}

/// "{format} pattern 0x{HEX} denotes no value", HEX upper case over the format's whole width.
[[gnu::cold, gnu::noinline]] inline CodecError no_value(std::string_view format, u128 pattern, int width_bits) {
    std::string text(format);
    text.append(" pattern 0x");
    for (int shift = (width_bits + 3) / 4 * 4 - 4; shift >= 0; shift -= 4)
        text.push_back("0123456789ABCDEF"[static_cast<unsigned>(pattern >> shift) & 0xF]);
    return value_error(text.append(" denotes no value"));
}

}  // namespace bitloom::older_float
