// Laying field images into a packet, bit by bit, without ever writing past its end.
#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <string>

#include "layout.hpp"
#include "integer.hpp"

namespace bitloom::layout {

namespace {

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

std::uint64_t load_be64(const std::uint8_t* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return std::endian::native == std::endian::little ? __builtin_bswap64(word) : word;
}

void store_be64(std::uint8_t* p, std::uint64_t word) noexcept {
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    std::memcpy(p, &word, sizeof word);
}

/// Packet bits from `pos` to the end of a packet of `size` bytes (saturating at 2^64 - 1).
std::uint64_t room(std::size_t size, std::uint64_t pos) noexcept {
    const std::uint64_t byte = pos / 8;
    if (byte >= size) return 0;
    const std::uint64_t bytes_left = size - byte;
    if (bytes_left > kMaxU64 / 8) return kMaxU64;
    return bytes_left * 8 - pos % 8;
}

/// Up to 56 bits of `src` starting at bit `pos`, right-aligned. Reads only the bytes that hold
/// those bits.
std::uint64_t read_bits(const std::uint8_t* src, std::uint64_t pos, std::uint32_t n) noexcept {
    const std::uint8_t* p = src + pos / 8;
    const std::uint32_t total = static_cast<std::uint32_t>(pos % 8) + n;  // <= 63
    const std::uint32_t nbytes = (total + 7) / 8;
    std::uint64_t acc = 0;
    for (std::uint32_t i = 0; i < nbytes; ++i) acc = (acc << 8) | p[i];
    return (acc >> (8 * nbytes - total)) & low_mask(n);
}

/// Writes the low n bits (n <= 64) of v at packet bit `pos`, most significant first; bits that
/// fall beyond the packet are dropped.
void write_bits(std::uint8_t* packet, std::size_t size, std::uint64_t pos, std::uint32_t n,
                std::uint64_t v) noexcept {
    const std::uint64_t first = pos / 8;
    if (n == 0 || first >= size) return;
    const std::uint32_t total = static_cast<std::uint32_t>(pos % 8) + n;  // <= 71
    if (total <= 64 && size - first >= 8) {
        const std::uint32_t shift = 64 - total;
        const std::uint64_t mask = low_mask(n) << shift;
        const std::uint64_t word = load_be64(packet + first);
        store_be64(packet + first, (word & ~mask) | ((v << shift) & mask));
        return;
    }
    // Up to nine bytes, some possibly beyond the end: assemble them in a 128-bit window.
    const std::uint32_t nbytes = (total + 7) / 8;
    const std::uint32_t present =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(nbytes, size - first));
    u128 window = 0;
    for (std::uint32_t i = 0; i < nbytes; ++i)
        window = (window << 8) | (i < present ? packet[first + i] : 0);
    const std::uint32_t shift = 8 * nbytes - total;
    const u128 mask = u128{low_mask(n)} << shift;
    window = (window & ~mask) | ((u128{v} << shift) & mask);
    for (std::uint32_t i = 0; i < present; ++i)
        packet[first + i] = static_cast<std::uint8_t>(window >> (8 * (nbytes - 1 - i)));
}

/// Clears n packet bits from `pos`, clipped to the packet.
void clear_bits(std::uint8_t* packet, std::size_t size, std::uint64_t pos, std::uint64_t n) noexcept {
    n = std::min(n, room(size, pos));
    if (n == 0) return;
    const std::uint32_t head = static_cast<std::uint32_t>(std::min<std::uint64_t>((8 - pos % 8) % 8, n));
    write_bits(packet, size, pos, head, 0);
    pos += head;
    n -= head;
    std::memset(packet + pos / 8, 0, n / 8);
    write_bits(packet, size, pos + n / 8 * 8, static_cast<std::uint32_t>(n % 8), 0);
}

}  // namespace

std::optional<CodecError> check_position(std::uint64_t start, std::uint64_t bits) {
    if (start <= kMaxU64 - bits) [[likely]]
        return std::nullopt;
    return value_error("Bit position overflow: " + std::to_string(start) + " + " +
                       std::to_string(bits) + " bits exceeds 64 bits");
}

void reverse_bytes(std::uint8_t* bytes, std::size_t count) noexcept {
    std::reverse(bytes, bytes + count);
}

void copy_bits(std::uint8_t* dst, std::size_t size, std::uint64_t dst_pos, const std::uint8_t* src,
               std::uint64_t src_pos, std::uint64_t n) noexcept {
    n = std::min(n, room(size, dst_pos));
    if (n == 0) return;
    if (dst_pos % 8 == 0 && src_pos % 8 == 0) {
        std::memcpy(dst + dst_pos / 8, src + src_pos / 8, n / 8);
        const std::uint64_t done = n / 8 * 8;
        dst_pos += done;
        src_pos += done;
        n -= done;
    }
    while (n > 0) {
        const std::uint32_t chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(n, 56));
        write_bits(dst, size, dst_pos, chunk, read_bits(src, src_pos, chunk));
        dst_pos += chunk;
        src_pos += chunk;
        n -= chunk;
    }
}

void place_pattern(std::uint8_t* packet, std::size_t size, std::uint64_t start, std::uint32_t w,
                   std::uint64_t pattern, bool reverse, bool little) noexcept {
    if (w == 0) return;
    const std::uint32_t image_bits = (w + 7) / 8 * 8;
    std::uint64_t image = (reverse ? reverse_bits64(pattern, w) : pattern) & low_mask(image_bits);
    if (little) image = __builtin_bswap64(image) >> (64 - image_bits);
    write_bits(packet, size, start, w, image & low_mask(w));
}

void place_image(std::uint8_t* packet, std::size_t size, std::uint64_t start, std::uint64_t w,
                 const std::uint8_t* image, std::size_t count) noexcept {
    if (w == 0) return;
    const std::uint64_t image_bits = std::uint64_t{count} * 8;
    // The field takes the image's last w bits; a short image fills the field from its start.
    const std::uint64_t skip = image_bits >= w ? image_bits - w : 0;
    const std::uint64_t copied = image_bits - skip;
    copy_bits(packet, size, start, image, skip, copied);
    clear_bits(packet, size, start + copied, w - copied);
}

ByteBuffer binary_image(const std::uint8_t* bytes, std::size_t count, std::uint32_t w,
                        bool reverse) {
    const std::size_t n = (std::size_t{w} + 7) / 8;
    ByteBuffer image(n);
    const std::size_t k = std::min(count, n);
    if (k) std::memcpy(image.data() + (n - k), bytes + (count - k), k);
    if (w % 8) image[0] &= static_cast<std::uint8_t>((1u << (w % 8)) - 1);
    if (reverse && n) {
        // Reverse all 8n bits, which leaves the w reversed bits at the front and the padding
        // behind them; then shift the whole run right by the padding width.
        std::reverse(image.begin(), image.end());
        for (auto& byte : image)
            byte = static_cast<std::uint8_t>(reverse_bits64(byte, 8));
        const unsigned pad = static_cast<unsigned>(8 * n - w);
        if (pad) {
            for (std::size_t i = n - 1; i > 0; --i)
                image[i] = static_cast<std::uint8_t>((image[i] >> pad) | (image[i - 1] << (8 - pad)));
            image[0] = static_cast<std::uint8_t>(image[0] >> pad);
        }
    }
    return image;
}

}  // namespace bitloom::layout

// Cutting fields out of a packet: a field's value depends only on packet bits
// start .. start + bits - 1, exactly where the builder puts them.


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

u128 cut_value128(const std::uint8_t* packet, std::uint64_t start, std::uint32_t bits, bool little,
                  bool reverse) noexcept {
    if (bits == 0) return 0;
    std::uint8_t image[16];
    cut_bytes(packet, start, bits, little, image);
    u128 value = 0;
    for (std::uint64_t i = 0; i < bytes_for_bits(bits); ++i) value = (value << 8) | image[i];
    if (reverse) return reverse_bits128(value, bits);
    return bits >= 128 ? value : value & ((u128{1} << bits) - 1);
}

}  // namespace bitloom::layout
