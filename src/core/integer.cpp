// Sign-magnitude, ones' complement and two's complement integers, both directions, and the
// byte form of a pattern.
#include <bit>
#include <string>

#include "integer.hpp"

namespace bitloom {

namespace {

/// |value| as an unsigned number; the magnitude of -2^63 is 2^63.
constexpr std::uint64_t magnitude(std::int64_t value) noexcept {
    return value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
}

/// 2^n for n in 0..63.
constexpr std::uint64_t pow2(std::uint32_t n) noexcept { return std::uint64_t{1} << n; }

/// The low `bits` bits set, for bits in 0..64.
constexpr std::uint64_t low_mask(std::uint32_t bits) noexcept {
    return bits >= 64 ? ~std::uint64_t{0} : pow2(bits) - 1;
}

[[gnu::cold, gnu::noinline]] CodecError too_large(std::int64_t value, std::uint32_t bits, bool by_magnitude) {
    return value_error("Value " + std::to_string(value) + " is too large " +
                       (by_magnitude ? "(magnitude) " : "") + "for " + std::to_string(bits) +
                       " bits");
}

[[gnu::cold, gnu::noinline]] CodecError magnitude_too_large(std::int64_t value, std::uint32_t bits) {
    return value_error("Magnitude of " + std::to_string(value) + " is too large for " +
                       std::to_string(bits) + " bits");
}

[[gnu::cold, gnu::noinline]] CodecError out_of_range(std::int64_t value, std::uint32_t bits,
                                                     std::int64_t lo, std::int64_t hi) {
    return value_error("Value " + std::to_string(value) + " out of range for " +
                       std::to_string(bits) + " bits (range: " + std::to_string(lo) + " to " +
                       std::to_string(hi) + ")");
}

[[gnu::cold, gnu::noinline]] CodecError wider_than_pattern(std::uint32_t bits, const char* pattern) {
    return value_error("Cannot encode " + std::to_string(bits) + " bits from a " + pattern +
                       " value");
}

/// Reverses the order of all 64 bits.
constexpr std::uint64_t reverse_all(std::uint64_t v) noexcept {
    v = ((v >> 1) & 0x5555555555555555ULL) | ((v & 0x5555555555555555ULL) << 1);
    v = ((v >> 2) & 0x3333333333333333ULL) | ((v & 0x3333333333333333ULL) << 2);
    v = ((v >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((v & 0x0F0F0F0F0F0F0F0FULL) << 4);
    return __builtin_bswap64(v);
}

}  // namespace

Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits) {
    if (bits < 2 || bits > 64) [[unlikely]]
        return value_error("bits must be between 2 and 64 for sign-magnitude encoding");
    const std::uint64_t sign = pow2(bits - 1);
    const std::uint64_t m = magnitude(value);
    if (m >= sign) [[unlikely]]
        return magnitude_too_large(value, bits);
    return value < 0 ? (m | sign) : m;
}

Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits) {
    if (bits > 64) [[unlikely]]
        return value_error("bits must be <= 64 for ones' complement encoding");
    if (bits == 0) {
        // Only zero fits in no bits at all.
        if (value != 0) [[unlikely]]
            return too_large(value, bits, value < 0);
        return std::uint64_t{0};
    }
    if (value >= 0) {
        const std::uint64_t limit = pow2(bits - 1) - 1;  // 2^63-1 for 64 bits
        if (static_cast<std::uint64_t>(value) > limit) [[unlikely]]
            return too_large(value, bits, false);
        return static_cast<std::uint64_t>(value);
    }
    const std::uint64_t m = magnitude(value);
    if (m >= pow2(bits - 1)) [[unlikely]]
        return too_large(value, bits, true);
    // The complement of m within the field: all ones minus m (never the all-ones pattern).
    return low_mask(bits) - m;
}

Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits) {
    if (bits > 64) [[unlikely]]
        return value_error("bits must be <= 64 for two's complement encoding");
    if (bits == 64) return static_cast<std::uint64_t>(value);
    std::int64_t lo = 0;
    std::int64_t hi = 0;
    if (bits > 0) {
        lo = -static_cast<std::int64_t>(pow2(bits - 1));
        hi = static_cast<std::int64_t>(pow2(bits - 1) - 1);
    }
    if (value < lo || value > hi) [[unlikely]]
        return out_of_range(value, bits, lo, hi);
    return static_cast<std::uint64_t>(value) & low_mask(bits);
}

std::uint64_t reverse_bits64(std::uint64_t value, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    if (bits > 64) bits = 64;
    // Bit j lands on 63-j; shifting down by 64-bits puts it on bits-1-j and drops every bit
    // at or above `bits`.
    return reverse_all(value) >> (64 - bits);
}

u128 reverse_bits128(u128 value, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    if (bits > 128) bits = 128;
    const u128 reversed = (u128{reverse_all(static_cast<std::uint64_t>(value))} << 64) |
                          reverse_all(static_cast<std::uint64_t>(value >> 64));
    return reversed >> (128 - bits);
}

namespace {

/// The low 8k bits of `value`, k = ceil(bits / 8), most significant byte first.
template <class Word>
ByteBuffer byte_form(Word value, std::uint32_t bits) {
    const std::size_t k = (bits + 7) / 8;
    ByteBuffer out;
    out.resize_for_overwrite(k);
    for (std::size_t i = 0; i < k; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * (k - 1 - i)));
    return out;
}

}  // namespace

Result<ByteBuffer> encode_integer_to_bytes(std::uint64_t value, std::uint32_t bits, bool reverse) {
    if (bits > 64) [[unlikely]]
        return wider_than_pattern(bits, "64-bit");
    return byte_form(reverse ? reverse_bits64(value, bits) : value, bits);
}

Result<ByteBuffer> encode_integer_to_bytes_u128(u128 value, std::uint32_t bits, bool reverse) {
    if (bits > 128) [[unlikely]]
        return wider_than_pattern(bits, "128-bit");
    return byte_form(reverse ? reverse_bits128(value, bits) : value, bits);
}

// ---- Decoders: none of them fails ----

std::int64_t decode_sign_magnitude(std::uint64_t value, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    if (bits > 64) bits = 64;  // the pattern has no bits beyond 64
    const std::uint64_t sign = pow2(bits - 1);
    const std::uint64_t m = value & (sign - 1);  // every bit from the sign bit up is ignored
    // m < 2^63, so its negation fits.
    return (value & sign) ? -static_cast<std::int64_t>(m) : static_cast<std::int64_t>(m);
}

std::int64_t decode_ones_complement(std::uint64_t value, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    if (bits >= 64) {
        const auto s = static_cast<std::int64_t>(value);
        return s < 0 ? s + 1 : s;  // the all-ones pattern is minus zero
    }
    if (value & pow2(bits - 1))
        return static_cast<std::int64_t>(value - (pow2(bits) - 1));  // wraps, read as signed
    return static_cast<std::int64_t>(value);  // bits above the width pass through
}

std::int64_t decode_twos_complement(std::uint64_t value, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    if (bits >= 64) return static_cast<std::int64_t>(value);
    if (value & pow2(bits - 1))
        return static_cast<std::int64_t>((value & (pow2(bits) - 1)) - pow2(bits));
    return static_cast<std::int64_t>(value);
}

}  // namespace bitloom
