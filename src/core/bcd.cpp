// Packed BCD (a digit per nibble, optional sign nibble below the digits) and unpacked BCD
// (a digit per byte; signed is zoned decimal: 0xF0+digit per byte, sign zone on the units byte).
#include <bit>
#include <string>

#include "bcd_digits.hpp"
#include "bcd.hpp"

namespace bitloom {

namespace {

constexpr std::uint64_t magnitude(std::int64_t value) noexcept {
    return value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
}

/// Number of decimal digits of m (0 for m = 0); at most 20.
constexpr std::uint32_t digit_count(std::uint64_t m) noexcept {
    std::uint32_t n = 0;
    for (; m != 0; m /= 10) ++n;
    return n;
}

/// Digits of m as BCD nibbles, with their count; m must be below 10^16.
struct Digits {
    std::uint64_t nibbles;
    std::uint32_t count;
};
constexpr Digits bcd_digits(std::uint64_t m) noexcept {
    const std::uint64_t nibbles = bcd::to_bcd16(m);
    const auto count = static_cast<std::uint32_t>(nibbles ? (67 - std::countl_zero(nibbles)) / 4 : 0);
    return {nibbles, count};
}

[[gnu::cold, gnu::noinline]] CodecError too_many_digits(std::int64_t value, std::uint64_t positions) {
    return value_error("Value " + std::to_string(value) + " has too many digits for " +
                       std::to_string(positions) + " BCD digits");
}

/// The field is wider than the 64-bit pattern can carry and the value needs the part that
/// does not fit: refused rather than cut short.
[[gnu::cold, gnu::noinline]] CodecError beyond_pattern(std::int64_t value, std::uint32_t bits) {
    return value_error("Value " + std::to_string(value) +
                       " does not fit in a 64-bit BCD pattern for " + std::to_string(bits) +
                       " bits");
}

/// The failure for a value that does not fit: too many digits for the width comes first.
[[gnu::cold, gnu::noinline]] CodecError does_not_fit(std::int64_t value, std::uint64_t positions,
                                      std::uint32_t bits) {
    if (digit_count(magnitude(value)) > positions) return too_many_digits(value, positions);
    return beyond_pattern(value, bits);
}

[[gnu::cold, gnu::noinline]] CodecError negative_unsigned() {
    return value_error("Cannot encode negative value in unsigned BCD");
}

constexpr std::uint64_t kTenTo16 = 10000000000000000ULL;

}  // namespace

std::optional<CodecError> check_bcd(std::int64_t value, std::uint32_t bits, bool is_signed,
                                    bool packed) {
    if (bits < (packed ? 4u : 8u))
        return value_error(packed ? "bits must be >= 4 for packed BCD"
                                  : "bits must be >= 8 for unpacked BCD");
    if (value < 0 && !is_signed) return negative_unsigned();
    const std::uint64_t positions = packed ? bits / 4 - (is_signed ? 1 : 0) : bits / 8;
    if (digit_count(magnitude(value)) > positions) return too_many_digits(value, positions);
    return std::nullopt;
}

Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
    if (bits < 4) [[unlikely]]
        return value_error("bits must be >= 4 for packed BCD");
    if (value < 0 && !is_signed) [[unlikely]]
        return negative_unsigned();
    const std::uint64_t positions = bits / 4 - (is_signed ? 1 : 0);
    const std::uint32_t first = is_signed ? 1 : 0;  // nibble of the units digit
    const std::uint64_t m = magnitude(value);
    if (m >= kTenTo16) [[unlikely]]
        return does_not_fit(value, positions, bits);
    const Digits digits = bcd_digits(m);
    if (digits.count > positions || digits.count + first > 16) [[unlikely]]
        return does_not_fit(value, positions, bits);
    if (!is_signed) return digits.nibbles;
    // Signed: the sign nibble (C plus, D minus) below the digits.
    return (digits.nibbles << 4) | (value < 0 ? 0xD : 0xC);
}

Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
    if (bits < 8) [[unlikely]]
        return value_error("bits must be >= 8 for unpacked BCD");
    if (value < 0 && !is_signed) [[unlikely]]
        return negative_unsigned();
    const std::uint32_t positions = bits / 8;
    const std::uint64_t m = magnitude(value);
    if (m >= kTenTo16) [[unlikely]]
        return does_not_fit(value, positions, bits);
    const Digits digits = bcd_digits(m);
    // Unsigned digits beyond byte 7 are leading zeros and need no room; the signed form puts a
    // zone into every one of its bytes, so it cannot be wider than the pattern.
    if (digits.count > positions || digits.count > 8 || (is_signed && positions > 8)) [[unlikely]]
        return does_not_fit(value, positions, bits);
    const std::uint64_t pattern = bcd::nibbles_to_bytes(digits.nibbles);
    if (!is_signed) return pattern;
    // Zoned: 0xF0 on bytes 1 .. positions-1, 0xC0 (plus) or 0xD0 (minus) on the units byte.
    const std::uint64_t used = positions == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * positions)) - 1;
    const std::uint64_t zones = (0xF0F0F0F0F0F0F000ULL & used) | (value < 0 ? 0xD0 : 0xC0);
    return pattern | zones;
}

}  // namespace bitloom

// Packed and unpacked (zoned) BCD decoders. Only the nibbles or bytes inside both the width and
// the 64-bit pattern are examined; positions beyond the pattern are zero digits.


namespace bitloom {

namespace {

constexpr std::uint64_t low_bits(std::uint64_t v, std::uint32_t bits) noexcept {
    return bits >= 64 ? v : v & ((std::uint64_t{1} << bits) - 1);
}

[[gnu::cold, gnu::noinline]] CodecError invalid_digit(unsigned digit) {
    return value_error("Invalid BCD digit: " + std::to_string(digit) + " (must be 0-9)");
}

[[gnu::cold]] std::string hex_byte(unsigned byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte & 0xFFu);
    return text;
}

[[gnu::cold, gnu::noinline]] CodecError invalid_zoned_byte(std::uint32_t position, unsigned byte) {
    if (position == 0)
        return value_error("Invalid zoned decimal signed byte: " + hex_byte(byte) +
                           " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)");
    return value_error("Invalid zoned decimal byte: " + hex_byte(byte) +
                       " (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)");
}

}  // namespace

Result<std::int64_t> decode_packed_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed) {
    if (bits < 4) return std::int64_t{0};
    const std::uint32_t nibbles = bits / 4 < 16 ? bits / 4 : 16;
    bool negative = false;
    std::uint64_t digits = low_bits(value, 4 * nibbles);
    if (is_signed) {
        const unsigned sign = value & 0xF;
        if (sign < 0xA) [[unlikely]]
            return value_error("Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD");
        negative = (sign == 0xB || sign == 0xD);
        digits >>= 4;
    }
    if (const std::uint64_t bad = bcd::bad_nibbles(digits)) [[unlikely]]
        return invalid_digit((digits >> std::countr_zero(bad)) & 0xF);  // the lowest one
    const auto magnitude = static_cast<std::int64_t>(bcd::from_bcd16(digits));
    return negative ? -magnitude : magnitude;
}

Result<std::int64_t> decode_unpacked_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed) {
    if (bits < 8) return std::int64_t{0};
    const std::uint32_t positions = bits / 8;
    std::uint64_t bytes = low_bits(value, 8 * (positions < 8 ? positions : 8));
    bool negative = false;
    if (is_signed) {
        // Units byte: zone 3, C, F (plus) or D (minus). Higher bytes: zone 3 or F.
        for (std::uint32_t k = 0; k < positions && k < 8; ++k) {
            const unsigned byte = (bytes >> (8 * k)) & 0xFF;
            const unsigned zone = byte >> 4;
            const bool zone_ok =
                zone == 0x3 || zone == 0xF || (k == 0 && (zone == 0xC || zone == 0xD));
            if (!zone_ok || (byte & 0xF) > 9) [[unlikely]]
                return invalid_zoned_byte(k, byte);
        }
        // Byte 8 of a wider field lies beyond the pattern: it reads 0x00, never a valid zone.
        if (positions > 8) [[unlikely]]
            return invalid_zoned_byte(8, 0x00);
        negative = ((bytes >> 4) & 0xF) == 0xD;
        bytes &= 0x0F0F0F0F0F0F0F0FULL;
    } else if (const std::uint64_t bad = bcd::bad_digit_bytes(bytes)) [[unlikely]] {
        return invalid_digit((bytes >> (std::countr_zero(bad) - 7)) & 0xFF);  // the lowest one
    }
    const auto magnitude = static_cast<std::int64_t>(bcd::from_bcd16(bcd::bytes_to_nibbles(bytes)));
    return negative ? -magnitude : magnitude;
}

}  // namespace bitloom
