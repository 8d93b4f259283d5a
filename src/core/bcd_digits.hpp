// Word-parallel conversions between binary numbers and BCD digit nibbles, shared by the BCD
// encoders and decoders. Nibble k of a BCD word holds the decimal digit of 10^k.
#pragma once

#include <array>
#include <cstdint>

namespace bitloom::bcd {

/// The eight BCD nibbles of x < 10^8, in the low 32 bits.
constexpr std::uint64_t to_bcd8(std::uint64_t x) noexcept {
    // Split into 4-digit halves in two 32-bit lanes: [x / 10^4 | x % 10^4].
    std::uint64_t hi = x / 10000;
    std::uint64_t v = (hi << 32) | (x - hi * 10000);
    // Each 32-bit lane (< 10^4) -> two 16-bit lanes of < 100; n/100 == (n * 5243) >> 19 below 43699.
    std::uint64_t q = ((v * 5243) >> 19) & 0x0000007F0000007FULL;
    v = (q << 16) | (v - q * 100);
    // Each 16-bit lane (< 100) -> two byte lanes of one digit; n/10 == (n * 103) >> 10 below 179.
    q = ((v * 103) >> 10) & 0x000F000F000F000FULL;
    v = (q << 8) | (v - q * 10);
    // One digit per byte -> one digit per nibble.
    v = (v | (v >> 4)) & 0x00FF00FF00FF00FFULL;
    v = (v | (v >> 8)) & 0x0000FFFF0000FFFFULL;
    return (v | (v >> 16)) & 0xFFFFFFFFULL;
}

/// BCD nibbles of every number below 10^4.
inline constexpr std::array<std::uint16_t, 10000> kBcd4 = [] {
    std::array<std::uint16_t, 10000> table{};
    for (unsigned n = 0; n < 10000; ++n)
        table[n] = static_cast<std::uint16_t>(to_bcd8(n));
    return table;
}();

/// The sixteen BCD nibbles of x < 10^16, four digits at a time.
constexpr std::uint64_t to_bcd16(std::uint64_t x) noexcept {
    if (x < 10000) return kBcd4[x];
    std::uint64_t out = 0;
    for (unsigned shift = 0; x != 0; shift += 16) {
        const std::uint64_t rest = x / 10000;
        out |= std::uint64_t{kBcd4[x - rest * 10000]} << shift;
        x = rest;
    }
    return out;
}

/// Mask with bit 4k set for every nibble k that holds 10 to 15.
constexpr std::uint64_t bad_nibbles(std::uint64_t v) noexcept {
    // A nibble is above 9 exactly when its bit 3 is set together with bit 2 or bit 1.
    return (v >> 3) & ((v >> 2) | (v >> 1)) & 0x1111111111111111ULL;
}

/// The binary value of sixteen valid BCD nibbles.
constexpr std::uint64_t from_bcd16(std::uint64_t v) noexcept {
    v = (v & 0x0F0F0F0F0F0F0F0FULL) + ((v >> 4) & 0x0F0F0F0F0F0F0F0FULL) * 10;
    v = (v & 0x00FF00FF00FF00FFULL) + ((v >> 8) & 0x00FF00FF00FF00FFULL) * 100;
    v = (v & 0x0000FFFF0000FFFFULL) + ((v >> 16) & 0x0000FFFF0000FFFFULL) * 10000;
    return (v & 0xFFFFFFFFULL) + (v >> 32) * 100000000;
}

/// Spreads eight BCD nibbles (low 32 bits) to one digit per byte.
constexpr std::uint64_t nibbles_to_bytes(std::uint64_t v) noexcept {
    v = (v | (v << 16)) & 0x0000FFFF0000FFFFULL;
    v = (v | (v << 8)) & 0x00FF00FF00FF00FFULL;
    return (v | (v << 4)) & 0x0F0F0F0F0F0F0F0FULL;
}

/// Gathers one digit per byte (each 0 to 9) into eight BCD nibbles.
constexpr std::uint64_t bytes_to_nibbles(std::uint64_t v) noexcept {
    v = (v | (v >> 4)) & 0x00FF00FF00FF00FFULL;
    v = (v | (v >> 8)) & 0x0000FFFF0000FFFFULL;
    return (v | (v >> 16)) & 0xFFFFFFFFULL;
}

/// Mask with the top bit set in every byte above 9.
constexpr std::uint64_t bad_digit_bytes(std::uint64_t v) noexcept {
    // Adding 0x76 to a byte below 0x80 sets its top bit exactly when it is 10 or more, and never
    // carries into the next byte; bytes from 0x80 up have the top bit already.
    return (v | ((v & 0x7F7F7F7F7F7F7F7FULL) + 0x7676767676767676ULL)) & 0x8080808080808080ULL;
}

static_assert(to_bcd16(1234) == 0x1234 && to_bcd16(9999999999999999ULL) == 0x9999999999999999ULL);
static_assert(from_bcd16(0x9876543210987654ULL) == 9876543210987654ULL);
static_assert(nibbles_to_bytes(0x123) == 0x010203 && bytes_to_nibbles(0x090807) == 0x987);
static_assert(bad_nibbles(0xA9F0) == 0x1010 && bad_digit_bytes(0xFF0A0900) == 0x80800000);

}  // namespace bitloom::bcd
