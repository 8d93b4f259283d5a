// Bit-level layout of packet fields: placing a field into a packet and cutting one out.
// Packet bit p is bit 7 - (p mod 8) of byte p / 8, so bit 0 is the most significant bit of
// byte 0. A field of w bits at `start` covers packet bits start .. start + w - 1 and holds its
// value most significant bit first. Plain code over plain bytes: no interpreter involved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "codec.hpp"

namespace bitloom::layout {

/// The low `bits` bits set (bits 0..64).
constexpr std::uint64_t low_mask(std::uint64_t bits) noexcept {
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

/// ValueError "Bit position overflow: {start} + {bits} bits exceeds 64 bits" when start + bits
/// does not fit in 64 bits.
std::optional<CodecError> check_position(std::uint64_t start, std::uint64_t bits);

/// Bytes needed to hold `bits` bits, without overflowing for any 64-bit count.
constexpr std::uint64_t bytes_for_bits(std::uint64_t bits) noexcept {
    return bits / 8 + (bits % 8 != 0);
}

/// Reverses the order of `count` bytes in place.
void reverse_bytes(std::uint8_t* bytes, std::size_t count) noexcept;

/// Copies n bits of `src` from bit `src_pos` to packet bit `dst_pos`, most significant first;
/// bits that fall beyond the packet's `size` bytes are dropped. Reads only source bytes that
/// hold copied bits.
void copy_bits(std::uint8_t* dst, std::size_t size, std::uint64_t dst_pos, const std::uint8_t* src,
               std::uint64_t src_pos, std::uint64_t n) noexcept;

// ---- Builder side ----

/// Places an integer image into the packet: the image of `pattern` is the big-endian form of
/// its low 8L bits (L = ceil(w/8)), after reversal of its low w bits when `reverse` is set; with
/// `little` the L image bytes are reversed; the field receives the last w bits of the image.
/// Bits that fall beyond `size` bytes are not written. Requires w <= 64.
void place_pattern(std::uint8_t* packet, std::size_t size, std::uint64_t start, std::uint32_t w,
                   std::uint64_t pattern, bool reverse, bool little) noexcept;

/// Places an image of `count` bytes into a field of w bits: the field receives the image's last
/// w bits, or, when the image is shorter than the field, the whole image followed by zero bits.
/// Every bit of the field is written, except those beyond `size` bytes.
void place_image(std::uint8_t* packet, std::size_t size, std::uint64_t start, std::uint64_t w,
                 const std::uint8_t* image, std::size_t count) noexcept;

/// The image of a raw byte string in a field of w bits (w > 0): ceil(w/8) bytes holding the last
/// bytes of `bytes` right-aligned, cleared above bit w, and with its w bits reversed if asked.
ByteBuffer binary_image(const std::uint8_t* bytes, std::size_t count, std::uint32_t w,
                        bool reverse);

// ---- Reader side ----

/// InternalFault when the field of `bits` bits at `start` does not lie inside a packet of
/// `size` bytes: "range start index ..." when its first byte is beyond the end, else
/// "range end index ..." when its last byte is. A 0-bit field only has its start checked.
/// Requires start + bits not to overflow.
std::optional<CodecError> check_bounds(std::size_t size, std::uint64_t start, std::uint64_t bits);

/// The value of a field of 1..64 bits that lies inside the packet: its bits right-aligned in
/// L = ceil(bits/8) bytes, those bytes reversed for `little`, read big-endian, then masked to
/// `bits` bits or, with `reverse`, bit-reversed within them. A 0-bit field gives 0.
std::uint64_t cut_value(const std::uint8_t* packet, std::size_t size, std::uint64_t start,
                        std::uint32_t bits, bool little, bool reverse) noexcept;

/// cut_value for a field of 1..128 bits.
u128 cut_value128(const std::uint8_t* packet, std::uint64_t start, std::uint32_t bits, bool little,
                  bool reverse) noexcept;

/// The bytes of a field that lies inside the packet: its bits right-aligned in ceil(bits/8)
/// bytes with zero bits in front, reversed in order for `little`. `out` receives them.
void cut_bytes(const std::uint8_t* packet, std::uint64_t start, std::uint64_t bits, bool little,
               std::uint8_t* out) noexcept;

}  // namespace bitloom::layout
