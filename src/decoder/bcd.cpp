// Packed and unpacked (zoned) BCD decoders. Only the nibbles or bytes inside both the width and
// the 64-bit pattern are examined; positions beyond the pattern are zero digits.
#include <bit>
#include <cstdio>
#include <string>

#include "../bcd_digits.hpp"
#include "decoder.hpp"

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
