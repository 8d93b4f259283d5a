// Packed and unpacked (zoned) BCD decoders. Only the nibbles or bytes inside both the width and
// the 64-bit pattern are visited; positions beyond the pattern are zero digits.
#include <cstdio>
#include <string>

#include "decoder.hpp"

namespace bitloom {

namespace {

constexpr std::uint32_t min_u32(std::uint32_t a, std::uint32_t b) noexcept { return a < b ? a : b; }

[[gnu::cold]] CodecError invalid_digit(unsigned digit) {
    return value_error("Invalid BCD digit: " + std::to_string(digit) + " (must be 0-9)");
}

[[gnu::cold]] std::string hex_byte(unsigned byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte & 0xFFu);
    return text;
}

}  // namespace

Result<std::int64_t> decode_packed_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed) {
    if (bits < 4) return std::int64_t{0};
    const std::uint32_t nibbles = min_u32(bits / 4, 16);
    std::uint32_t first = 0;
    bool negative = false;
    if (is_signed) {
        const unsigned sign = value & 0xF;
        if (sign < 0xA) [[unlikely]]
            return value_error("Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD");
        negative = (sign == 0xB || sign == 0xD);
        first = 1;
    }
    std::int64_t magnitude = 0;
    std::int64_t scale = 1;
    for (std::uint32_t k = first; k < nibbles; ++k) {
        const unsigned digit = (value >> (4 * k)) & 0xF;
        if (digit > 9) [[unlikely]]
            return invalid_digit(digit);
        magnitude += static_cast<std::int64_t>(digit) * scale;  // at most 16 digits: fits
        if (k + 1 < nibbles) scale *= 10;
    }
    return negative ? -magnitude : magnitude;
}

Result<std::int64_t> decode_unpacked_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed) {
    if (bits < 8) return std::int64_t{0};
    const std::uint32_t positions = bits / 8;
    const std::uint32_t bytes = min_u32(positions, 8);
    std::int64_t magnitude = 0;
    std::int64_t scale = 1;
    bool negative = false;
    for (std::uint32_t k = 0; k < bytes; ++k) {
        const unsigned byte = (value >> (8 * k)) & 0xFF;
        unsigned digit = byte;
        if (!is_signed) {
            if (byte > 9) [[unlikely]]
                return invalid_digit(byte);
        } else {
            const unsigned zone = byte >> 4;
            digit = byte & 0xF;
            const bool zone_ok = zone == 0x3 || zone == 0xF || (k == 0 && (zone == 0xC || zone == 0xD));
            if (!zone_ok || digit > 9) [[unlikely]] {
                if (k == 0)
                    return value_error("Invalid zoned decimal signed byte: " + hex_byte(byte) +
                                       " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)");
                return value_error("Invalid zoned decimal byte: " + hex_byte(byte) +
                                   " (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)");
            }
            if (k == 0) negative = zone == 0xD;
        }
        magnitude += static_cast<std::int64_t>(digit) * scale;  // at most 8 digits
        scale *= 10;
    }
    // Byte 8 of a wider signed field lies beyond the pattern: it reads as 0x00, never a valid zone.
    if (is_signed && positions > 8) [[unlikely]]
        return value_error("Invalid zoned decimal byte: 0x00 (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)");
    return negative ? -magnitude : magnitude;
}

}  // namespace bitloom
