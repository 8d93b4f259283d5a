// One reader recipe decoded at many packets of a buffer: each field of every packet goes into the
// field's own array of plain values (a column). The values are those of the reader's codecs, and
// the failures are the ones a walk over each packet in turn meets first.
//
// A field lies at the same place in every packet, relative to the packet's first bit, so the
// recipe is laid out once; a packet whose whole recipe lies inside the buffer is decoded without
// any per-field bounds check, field after field over a block of packets. A packet that reaches
// the end of the buffer is walked field by field with every check, as the reader does.
// Plain code over plain bytes: no interpreter involved.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "codec.hpp"
#include "text.hpp"
#include "unpack_encoding.hpp"

namespace bitloom::columns {

/// Element type of a column: the narrowest that holds every value of the field.
enum class Element : std::uint8_t { U8, U16, U32, U64, I8, I16, I32, I64, F32, F64, Text };

/// Unsigned fields to the narrowest unsigned type for `bits`, the signed forms to the narrowest
/// signed one, BCD to 64 bits (unsigned for unsigned BCD), binary16 and binary32 to F32, every
/// other float to F64, text to Text.
Element element_of(UnpackEncoding encoding, std::uint32_t bits) noexcept;
/// Bytes per element; 0 for Text, whose values the caller builds with `Plan::text`.
std::size_t element_size(Element element) noexcept;

/// One recipe item, resolved.
struct Field {
    std::uint64_t offset = 0;  // the item's offset_bits, counted from the packet's start bit
    std::uint32_t bits = 0;
    bool has_offset = false;  // else the field follows the previous one
    bool little = false;
    bool reverse = false;
    UnpackEncoding encoding = UnpackEncoding::Unsigned;
    /// `count` elements of element_of(encoding, bits). Null: the field is checked like the
    /// others but its values are not kept (a text field's values are always built afterwards).
    void* out = nullptr;
};

/// Where the packets lie: packet i starts at bit 8 * byte_offset(i) + offset_bits of `data`.
struct Packets {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    const std::uint64_t* offsets = nullptr;  // byte offset of each packet; null: i * stride
    std::uint64_t stride = 0;
    std::size_t count = 0;
    std::uint64_t offset_bits = 0;

    std::uint64_t byte_offset(std::size_t i) const noexcept {
        return offsets ? offsets[i] : static_cast<std::uint64_t>(i) * stride;
    }
};

/// The first failure: the packet's index and the reader's error for it.
struct Failure {
    std::size_t packet;
    CodecError error;
};

class Plan {
public:
    /// Packets of `stride` bytes whose index times stride does not fit 64 bits are refused by
    /// the caller; offsets may hold anything (a packet beyond the data fails like a short one).
    Plan(const Packets& packets, std::vector<Field> fields);

    /// Decodes packets [first, last). Returns the failure of the lowest packet, and in it of the
    /// first field, that fails; the outputs are then partly written. `lowest`, when given, is
    /// shared between runs over other packets: a run stops once a lower packet has failed, and
    /// lowers it on failure. Throws std::bad_alloc (the block's scratch is on the heap).
    std::optional<Failure> run(std::size_t first, std::size_t last,
                               std::atomic<std::size_t>* lowest = nullptr) const;

    /// Every packet, split into up to `threads` contiguous shares, one per thread (the calling
    /// thread takes the first). Same result as run(0, count). Throws std::bad_alloc when a share
    /// ran out of memory.
    std::optional<Failure> run_parallel(unsigned threads) const;

    /// After a run without failure: text field `k` of packet `i`, checked and ready to be
    /// written. Its bytes may lie in `scratch`, which must outlive the result. Where the offsets
    /// or the data changed since the run, the packet is checked again and may fail.
    Result<DecodedText> text(std::size_t i, std::size_t k, ByteBuffer& scratch) const;

    const Packets& packets() const noexcept { return packets_; }

    /// A column's loop over packets [first, last): the bit where packet i starts is
    /// starts[i - first] + rel. Returns the first failure.
    using Kernel = std::optional<Failure> (*)(const Packets&, const Field&, std::uint64_t rel,
                                              const std::uint64_t* starts, std::size_t first,
                                              std::size_t last);

private:
    bool whole_recipe_inside(std::uint64_t offset, std::uint64_t& base) const noexcept;
    std::optional<Failure> run_block(std::size_t first, std::size_t last,
                                     const std::uint64_t* bases) const;
    std::optional<Failure> walk_packet(std::size_t i, std::uint64_t offset) const;

    Packets packets_;
    std::vector<Field> fields_;
    std::vector<std::uint64_t> rel_;  // each field's start bit relative to the packet's
    std::vector<Kernel> fast_;        // per field over packets holding the whole recipe; null: none needed
    std::vector<Kernel> checked_;     // per field for one packet at any start bit
    std::uint64_t extent_ = 0;        // bits from the packet's start to the furthest field end
    bool laid_out_ = false;           // false when a relative position overflows 64 bits
};

/// Where a run of packets stops inside a packet: its index and byte offset, the bytes it
/// needs (6 when the data ends inside its primary header) and the bytes left.
struct Cut {
    std::uint64_t packet = 0;
    std::uint64_t offset = 0;
    std::uint64_t needed = 0;
    std::uint64_t left = 0;
    bool in_header = false;
};

struct Framed {
    std::size_t count = 0;  // whole packets
    std::optional<Cut> cut;
};

/// Walks the packets of `data` from byte 0. With `stride` 0 they are space packets: a 6-byte
/// primary header whose 16-bit length field (bytes 4-5, big-endian) plus 7 is the packet's
/// size; otherwise packets of `stride` bytes. Counts the whole packets and, when `out` is not
/// null, writes their byte offsets into it (room for the count of an earlier counting walk).
/// Space packets: the walk stops after `limit` packets, without a cut.
Framed frame_packets(const std::uint8_t* data, std::size_t size, std::uint64_t stride,
                     std::uint64_t* out, std::size_t limit = SIZE_MAX) noexcept;

/// frame_packets for space packets, their offsets appended to `out` in the same walk. Throws
/// std::bad_alloc.
Framed frame_space_packets(const std::uint8_t* data, std::size_t size,
                           std::vector<std::uint64_t>& out);

/// The decoded text of `bits` bits at `start` (the field lies inside the data) in a text
/// encoding; the bytes are cut into `scratch` unless they can be read in place.
Result<DecodedText> decode_text_field(UnpackEncoding encoding, const std::uint8_t* data,
                                      std::uint64_t start, std::uint32_t bits, bool little,
                                      ByteBuffer& scratch);

/// The loop that decodes field `f` over many packets (Plan::Kernel), for callers that place
/// fields themselves: every start passed to it must leave the field inside the data, and with
/// `aligned` every start plus `rel` must be a multiple of 8. Text fields are checked and not
/// written. The kernel writes `f.out`, which must be set when it runs.
Plan::Kernel field_kernel(const Field& f, bool aligned);

/// True for the text encodings.
bool is_text(UnpackEncoding encoding) noexcept;

}  // namespace bitloom::columns
