#include <bit>

#include "ieee754.hpp"
#include "f16.hpp"

namespace bitloom {

std::uint64_t encode_ieee754_f16(float value) noexcept {
    return f16::narrow(std::bit_cast<std::uint32_t>(value));
}

std::uint64_t encode_ieee754_f32(float value) noexcept {
    return std::bit_cast<std::uint32_t>(value);
}

std::uint64_t encode_ieee754_f64(double value) noexcept {
    return std::bit_cast<std::uint64_t>(value);
}

Result<u128> encode_ieee754_f128(double /*value*/) {
    return not_implemented("IEEE 754 f128 encoding not yet implemented");
}

}  // namespace bitloom

namespace bitloom {

namespace {

/// binary32 pattern -> binary64 pattern, exact, done on the bits so that no floating-point
/// mode of the process (flush-to-zero, denormals-are-zero) can touch a subnormal input.
constexpr std::uint64_t widen_f32_bits(std::uint32_t x) noexcept {
    const std::uint64_t sign = static_cast<std::uint64_t>(x & 0x80000000u) << 32;
    const std::uint32_t e = (x >> 23) & 0xFFu;
    const std::uint64_t f = x & 0x7FFFFFu;
    if (e == 0xFF) {
        // Infinity, or a NaN that keeps its payload and comes back quiet.
        return sign | 0x7FF0000000000000u | (f << 29) | (f != 0 ? 0x0008000000000000u : 0u);
    }
    if (e == 0) {
        if (f == 0) return sign;
        // f x 2^-149 with its top set bit at position p: a binary64 normal of exponent p - 149.
        const std::uint64_t p = static_cast<std::uint64_t>(std::bit_width(f)) - 1;
        return sign | ((p + 874) << 52) | ((f << (52 - p)) & 0xFFFFFFFFFFFFFu);
    }
    return sign | (static_cast<std::uint64_t>(e + 896) << 52) | (f << 29);
}

}  // namespace

float decode_ieee754_f16(std::uint64_t value) noexcept {
    return std::bit_cast<float>(f16::widen(static_cast<std::uint16_t>(value)));
}

double decode_ieee754_f32(std::uint64_t value) noexcept {
    return std::bit_cast<double>(widen_f32_bits(static_cast<std::uint32_t>(value)));
}

double decode_ieee754_f64(std::uint64_t value) noexcept { return std::bit_cast<double>(value); }

double decode_ieee754_f128(u128 value) noexcept {
    // binary128: sign (bit 127), exponent (15 bits, bias 16383), fraction (112 bits).
    const std::uint64_t hi = static_cast<std::uint64_t>(value >> 64);
    const std::uint64_t sign = hi & 0x8000000000000000u;
    const std::uint32_t e = static_cast<std::uint32_t>(hi >> 48) & 0x7FFFu;
    const bool fraction_zero = (hi & 0xFFFFFFFFFFFFu) == 0 && static_cast<std::uint64_t>(value) == 0;
    std::uint64_t bits;
    if (e == 0) {
        bits = sign;
    } else if (e == 0x7FFF) {
        bits = fraction_zero ? (sign | 0x7FF0000000000000u) : 0x7FF8000000000000u;
    } else if (e >= 17407) {
        bits = sign | 0x7FF0000000000000u;
    } else if (e <= 15360) {
        bits = sign;
    } else {
        // Rebias (16383 -> 1023) and keep the top 52 fraction bits: truncation toward zero.
        const std::uint64_t top52 = static_cast<std::uint64_t>(value >> 60) & 0xFFFFFFFFFFFFFu;
        bits = sign | (static_cast<std::uint64_t>(e - 15360) << 52) | top52;
    }
    return std::bit_cast<double>(bits);
}

}  // namespace bitloom
