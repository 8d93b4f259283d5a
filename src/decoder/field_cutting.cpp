// Cutting fields out of a packet: a field's value depends only on packet bits
// start .. start + bits - 1, exactly where the builder puts them.
#include <bit>
#include <cstring>
#include <string>

#include "../encoder/encoder.hpp"
#include "../packet_layout.hpp"

namespace bitloom::layout {

namespace {

[[gnu::cold]] CodecError internal_fault(const char* which, std::uint64_t index, std::size_t size) {
    return CodecError{ErrorKind::InternalFault, std::string("range ") + which + " index " +
                                                    std::to_string(index) +
                                                    " out of range for slice of length " +
                                                    std::to_string(size)};
}

}  // namespace

std::optional<CodecError> check_bounds(std::size_t size, std::uint64_t start, std::uint64_t bits) {
    const std::uint64_t first = start / 8;
    if (first > size) [[unlikely]]
        return internal_fault("start", first, size);
    if (bits == 0) return std::nullopt;
    const std::uint64_t end = bytes_for_bits(start + bits);
    if (end > size) [[unlikely]]
        return internal_fault("end", end, size);
    return std::nullopt;
}

std::uint64_t cut_value(const std::uint8_t* packet, std::size_t size, std::uint64_t start,
                        std::uint32_t bits, bool little, bool reverse) noexcept {
    if (bits == 0) return 0;
    const std::uint8_t* p = packet + start / 8;
    const std::uint32_t total = static_cast<std::uint32_t>(start % 8) + bits;  // <= 71
    std::uint64_t value;
    if (total <= 64 && size - start / 8 >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
        value = (word << (start % 8)) >> (64 - bits);
    } else {
        const std::uint32_t nbytes = (total + 7) / 8;
        u128 window = 0;
        for (std::uint32_t i = 0; i < nbytes; ++i) window = (window << 8) | p[i];
        value = static_cast<std::uint64_t>(window >> (8 * nbytes - total)) & low_mask(bits);
    }
    if (little) {
        // The field right-aligned in ceil(bits/8) bytes, those bytes in reverse order.
        const std::uint32_t image_bits = (bits + 7) / 8 * 8;
        value = __builtin_bswap64(value) >> (64 - image_bits);
    }
    return reverse ? reverse_bits64(value, bits) : value & low_mask(bits);
}

void cut_bytes(const std::uint8_t* packet, std::uint64_t start, std::uint64_t bits, bool little,
               std::uint8_t* out) noexcept {
    const std::uint64_t count = bytes_for_bits(bits);
    if (count == 0) return;
    std::memset(out, 0, count);
    copy_bits(out, count, count * 8 - bits, packet, start, bits);
    if (little) reverse_bytes(out, count);
}

}  // namespace bitloom::layout
