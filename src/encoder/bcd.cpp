// Packed BCD (a digit per nibble, optional sign nibble below the digits) and unpacked BCD
// (a digit per byte; signed is zoned decimal: 0xF0+digit per byte, sign zone on the units byte).
#include <string>

#include "encoder.hpp"

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

[[gnu::cold]] CodecError too_many_digits(std::int64_t value, std::uint64_t positions) {
    return value_error("Value " + std::to_string(value) + " has too many digits for " +
                       std::to_string(positions) + " BCD digits");
}

/// The field is wider than the 64-bit pattern can carry and the value needs the part that
/// does not fit: refused rather than cut short.
[[gnu::cold]] CodecError beyond_pattern(std::int64_t value, std::uint32_t bits) {
    return value_error("Value " + std::to_string(value) + " does not fit in a 64-bit BCD pattern for " +
                       std::to_string(bits) + " bits");
}

[[gnu::cold]] CodecError negative_unsigned() {
    return value_error("Cannot encode negative value in unsigned BCD");
}

}  // namespace

Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
    if (bits < 4) [[unlikely]]
        return value_error("bits must be >= 4 for packed BCD");
    if (value < 0 && !is_signed) [[unlikely]]
        return negative_unsigned();
    const std::uint64_t positions = bits / 4 - (is_signed ? 1 : 0);
    std::uint64_t m = magnitude(value);
    const std::uint32_t digits = digit_count(m);
    if (digits > positions) [[unlikely]]
        return too_many_digits(value, positions);
    const std::uint32_t first = is_signed ? 1 : 0;  // nibble of the units digit
    if (first + digits > 16) [[unlikely]]
        return beyond_pattern(value, bits);
    std::uint64_t pattern = is_signed ? (value < 0 ? 0xD : 0xC) : 0;
    for (std::uint32_t k = first; m != 0; ++k, m /= 10) pattern |= (m % 10) << (4 * k);
    return pattern;
}

Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
    if (bits < 8) [[unlikely]]
        return value_error("bits must be >= 8 for unpacked BCD");
    if (value < 0 && !is_signed) [[unlikely]]
        return negative_unsigned();
    const std::uint32_t positions = bits / 8;
    std::uint64_t m = magnitude(value);
    const std::uint32_t digits = digit_count(m);
    if (digits > positions) [[unlikely]]
        return too_many_digits(value, positions);
    // Unsigned digits beyond byte 7 are leading zeros and need no room; the signed form puts a
    // zone into every one of its bytes, so it cannot be wider than the pattern.
    if (digits > 8 || (is_signed && positions > 8)) [[unlikely]]
        return beyond_pattern(value, bits);
    std::uint64_t pattern = 0;
    for (std::uint32_t k = 0; k < positions && (is_signed || m != 0); ++k, m /= 10) {
        std::uint64_t byte = m % 10;
        if (is_signed) byte |= (k == 0) ? (value < 0 ? 0xD0 : 0xC0) : 0xF0;
        pattern |= byte << (8 * k);
    }
    return pattern;
}

}  // namespace bitloom
