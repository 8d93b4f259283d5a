// The column loop: a block of packets at a time, field after field, each field by a loop made for
// its encoding, element type and shape.
#include "columns.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>

#include "bcd.hpp"
#include "ieee754.hpp"
#include "integer.hpp"
#include "layout.hpp"
#include "other_float.hpp"
#include "single_byte.hpp"
#include "unicode.hpp"

namespace bitloom::columns {

namespace {

using E = UnpackEncoding;
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
/// Packets per block: their starts (8 KiB) and the block's data stay in the first cache levels
/// while every field is read.
constexpr std::size_t kBlock = 1024;

// ---- Loading a field's pattern ----

template <class U>
U load(const std::uint8_t* p) noexcept {
    U word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

template <class U>
U swap_bytes(U word) noexcept {
    if constexpr (sizeof(U) == 2) return static_cast<U>(__builtin_bswap16(word));
    else if constexpr (sizeof(U) == 4) return static_cast<U>(__builtin_bswap32(word));
    else return static_cast<U>(__builtin_bswap64(word));
}

/// N bytes at p in the given byte order.
template <unsigned N, bool Little>
auto load_ordered(const std::uint8_t* p) noexcept {
    using U = std::conditional_t<N == 1, std::uint8_t,
              std::conditional_t<N == 2, std::uint16_t,
              std::conditional_t<N == 4, std::uint32_t, std::uint64_t>>>;
    const U word = load<U>(p);
    if constexpr (N == 1 || Little == (std::endian::native == std::endian::little)) return word;
    else return swap_bytes(word);
}

/// What a loop reads of its field and packets, held in locals: the outputs it writes may be
/// bytes, which the compiler must otherwise assume to alias the field's own members.
struct Shape {
    const std::uint8_t* data;
    std::size_t size;
    std::uint32_t bits;
    bool little;
    bool reverse;
};

/// layout::cut_value of a field (1..64 bits) lying inside the data, with one 8-byte load where
/// the data has them. `Plain`: big-endian and not reversed.
template <bool Plain>
std::uint64_t cut(const Shape s, std::uint64_t start) noexcept {
    const std::uint64_t byte = start >> 3;
    const unsigned shift = static_cast<unsigned>(start & 7);
    if (shift + s.bits > 64 || s.size - byte < 8) [[unlikely]]
        return layout::cut_value(s.data, s.size, start, s.bits, s.little, s.reverse);
    std::uint64_t v = (load_ordered<8, false>(s.data + byte) << shift) >> (64 - s.bits);
    if constexpr (Plain) {
        return v;
    } else {
        if (s.little) v = __builtin_bswap64(v) >> (64 - (s.bits + 7) / 8 * 8);
        return s.reverse ? reverse_bits64(v, s.bits) : v & layout::low_mask(s.bits);
    }
}

// ---- Turning a pattern into an element ----

/// A binary32 pattern's value: the pattern itself, except a NaN, which comes out as the reader
/// gives it (quiet, its payload kept).
inline float f32_value(std::uint32_t p) noexcept {
    if ((p & 0x7F800000u) == 0x7F800000u && (p & 0x7FFFFFu)) [[unlikely]]
        return static_cast<float>(decode_ieee754_f32(p));
    return std::bit_cast<float>(p);
}

// Each conversion: apply(pattern, bits) gives the element, or a Result of it when it can fail.
struct AsUnsigned {
    static std::uint64_t apply(std::uint64_t v, std::uint32_t) noexcept { return v; }
};
/// decode_twos_complement of a pattern that holds no bits above the width: a sign extension,
/// inline.
struct AsTwos {
    static std::int64_t apply(std::uint64_t v, std::uint32_t bits) noexcept {
        if (bits == 0 || bits >= 64) return bits == 0 ? 0 : static_cast<std::int64_t>(v);
        const unsigned unused = 64 - bits;
        return static_cast<std::int64_t>(v << unused) >> unused;
    }
};
struct AsOnes {
    static std::int64_t apply(std::uint64_t v, std::uint32_t bits) noexcept {
        return decode_ones_complement(v, bits);
    }
};
struct AsSignMagnitude {
    static std::int64_t apply(std::uint64_t v, std::uint32_t bits) noexcept {
        return decode_sign_magnitude(v, bits);
    }
};
template <bool Packed, bool Signed>
struct AsBcd {
    static Result<std::int64_t> apply(std::uint64_t v, std::uint32_t bits) {
        return Packed ? decode_packed_bcd(v, bits, Signed) : decode_unpacked_bcd(v, bits, Signed);
    }
};
struct AsF16 {
    static float apply(std::uint64_t v, std::uint32_t) noexcept { return decode_ieee754_f16(v); }
};
struct AsF32 {
    static float apply(std::uint64_t v, std::uint32_t) noexcept {
        return f32_value(static_cast<std::uint32_t>(v));
    }
};
struct AsF64 {
    static double apply(std::uint64_t v, std::uint32_t) noexcept { return decode_ieee754_f64(v); }
};
template <Result<double> (*Decode)(std::uint64_t)>
struct AsOlderFloat {
    static Result<double> apply(std::uint64_t v, std::uint32_t) { return Decode(v); }
};
/// An x87 extended field of 64 bits or fewer: the pattern as it is.
struct AsF80Narrow {
    static Result<double> apply(std::uint64_t v, std::uint32_t) { return decode_ieee754_1985_f80(v); }
};

template <class C>
constexpr bool kFallible = !std::is_arithmetic_v<decltype(C::apply(0, 0))>;

// ---- The loops ----

/// Any field of 64 bits or fewer, at any start bit.
template <class T, class C, bool Plain>
std::optional<Failure> generic_loop(const Packets& pk, const Field& f, std::uint64_t rel,
                                    const std::uint64_t* starts, std::size_t first,
                                    std::size_t last) {
    T* out = static_cast<T*>(f.out);
    if (f.bits == 0) {
        // No bits to read: the pattern is 0 in every packet.
        for (std::size_t i = first; i < last; ++i) {
            if constexpr (kFallible<C>) {
                auto r = C::apply(0, 0);
                if (!r) [[unlikely]]
                    return Failure{i, std::move(r.error())};
                if (out) out[i] = static_cast<T>(*r);
            } else {
                out[i] = static_cast<T>(C::apply(0, 0));
            }
        }
        return std::nullopt;
    }
    const Shape shape{pk.data, pk.size, f.bits, f.little, f.reverse};
    const std::uint32_t bits = f.bits;
    for (std::size_t i = first; i < last; ++i) {
        const std::uint64_t v = cut<Plain>(shape, starts[i - first] + rel);
        if constexpr (kFallible<C>) {
            auto r = C::apply(v, bits);
            if (!r) [[unlikely]]
                return Failure{i, std::move(r.error())};
            if (out) out[i] = static_cast<T>(*r);
        } else {
            out[i] = static_cast<T>(C::apply(v, bits));
        }
    }
    return std::nullopt;
}

/// A byte-aligned field of N whole bytes, not reversed: one load and, for the other byte order,
/// one swap.
template <class T, unsigned N, bool Little, class C>
std::optional<Failure> aligned_loop(const Packets& pk, const Field& f, std::uint64_t rel,
                                    const std::uint64_t* starts, std::size_t first,
                                    std::size_t last) {
    T* out = static_cast<T*>(f.out);
    const std::uint8_t* data = pk.data;
    for (std::size_t i = first; i < last; ++i) {
        const auto word = load_ordered<N, Little>(data + ((starts[i - first] + rel) >> 3));
        if constexpr (std::is_same_v<C, AsUnsigned> || std::is_same_v<C, AsTwos>)
            out[i] = static_cast<T>(word);  // two's complement: the conversion wraps
        else
            out[i] = C::apply(word, N * 8);
    }
    return std::nullopt;
}

/// x87 extended (80 bits) and binary128 (128 bits) fields.
template <bool F128>
std::optional<Failure> wide_loop(const Packets& pk, const Field& f, std::uint64_t rel,
                                 const std::uint64_t* starts, std::size_t first, std::size_t last) {
    auto* out = static_cast<double*>(f.out);
    for (std::size_t i = first; i < last; ++i) {
        const u128 v =
            layout::cut_value128(pk.data, starts[i - first] + rel, f.bits, f.little, f.reverse);
        if constexpr (F128) {
            out[i] = decode_ieee754_f128(v);
        } else {
            auto r = decode_ieee754_1985_f80(v);
            if (!r) [[unlikely]]
                return Failure{i, std::move(r.error())};
            if (out) out[i] = *r;
        }
    }
    return std::nullopt;
}

/// Text fields are checked here; their values are built by the caller afterwards.
std::optional<Failure> text_loop(const Packets& pk, const Field& f, std::uint64_t rel,
                                 const std::uint64_t* starts, std::size_t first, std::size_t last) {
    ByteBuffer scratch;
    for (std::size_t i = first; i < last; ++i) {
        auto r = decode_text_field(f.encoding, pk.data, starts[i - first] + rel, f.bits, f.little,
                                   scratch);
        if (!r) [[unlikely]]
            return Failure{i, std::move(r.error())};
    }
    return std::nullopt;
}

// Fields that no pattern can be decoded from fail at the first packet that reaches them.

[[gnu::cold]] CodecError wider_than_64(std::uint32_t bits) {
    return value_error("Cannot decode " + std::to_string(bits) + " bits into a 64-bit value");
}

[[gnu::cold]] CodecError width_error(const Field& f) {
    if (f.encoding == E::Ieee754F128) {
        if (f.bits <= 64)
            return value_error("IEEE 754 f128 requires a 128-bit field, got " +
                               std::to_string(f.bits) + " bits");
        return value_error("IEEE 754 f128 requires special handling for >64 bits "
                           "(not yet implemented in process_recipe)");
    }
    return wider_than_64(f.bits);
}

std::optional<Failure> refused_loop(const Packets&, const Field& f, std::uint64_t,
                                    const std::uint64_t*, std::size_t first, std::size_t last) {
    if (first == last) return std::nullopt;
    return Failure{first, width_error(f)};
}

// ---- Choosing a field's loop ----

template <class C, bool Plain>
Plan::Kernel generic_for(Element element) {
    switch (element) {
        case Element::U8: return &generic_loop<std::uint8_t, C, Plain>;
        case Element::U16: return &generic_loop<std::uint16_t, C, Plain>;
        case Element::U32: return &generic_loop<std::uint32_t, C, Plain>;
        case Element::U64: return &generic_loop<std::uint64_t, C, Plain>;
        case Element::I8: return &generic_loop<std::int8_t, C, Plain>;
        case Element::I16: return &generic_loop<std::int16_t, C, Plain>;
        case Element::I32: return &generic_loop<std::int32_t, C, Plain>;
        case Element::I64: return &generic_loop<std::int64_t, C, Plain>;
        case Element::F32: return &generic_loop<float, C, Plain>;
        default: return &generic_loop<double, C, Plain>;
    }
}

/// The conversions that only make sense for some element types are asked only for those.
template <bool Plain>
Plan::Kernel generic_kernel(const Field& f, Element element) {
    switch (f.encoding) {
        case E::Unsigned:
            switch (element) {
                case Element::U8: return &generic_loop<std::uint8_t, AsUnsigned, Plain>;
                case Element::U16: return &generic_loop<std::uint16_t, AsUnsigned, Plain>;
                case Element::U32: return &generic_loop<std::uint32_t, AsUnsigned, Plain>;
                default: return &generic_loop<std::uint64_t, AsUnsigned, Plain>;
            }
        case E::TwosComplement:
        case E::OnesComplement:
        case E::SignMagnitude: {
            auto pick = [&]<class C>(C) -> Plan::Kernel {
                switch (element) {
                    case Element::I8: return &generic_loop<std::int8_t, C, Plain>;
                    case Element::I16: return &generic_loop<std::int16_t, C, Plain>;
                    case Element::I32: return &generic_loop<std::int32_t, C, Plain>;
                    default: return &generic_loop<std::int64_t, C, Plain>;
                }
            };
            if (f.encoding == E::TwosComplement) return pick(AsTwos{});
            if (f.encoding == E::OnesComplement) return pick(AsOnes{});
            return pick(AsSignMagnitude{});
        }
        case E::Bcd: return &generic_loop<std::uint64_t, AsBcd<false, false>, Plain>;
        case E::BcdSigned: return &generic_loop<std::int64_t, AsBcd<false, true>, Plain>;
        case E::PackedBcd: return &generic_loop<std::uint64_t, AsBcd<true, false>, Plain>;
        case E::PackedBcdSigned: return &generic_loop<std::int64_t, AsBcd<true, true>, Plain>;
        case E::Ieee754F16: return &generic_loop<float, AsF16, Plain>;
        case E::Ieee754F32: return &generic_loop<float, AsF32, Plain>;
        case E::Ieee754F64: return &generic_loop<double, AsF64, Plain>;
        case E::Ieee754_1985F32: return &generic_loop<double, AsOlderFloat<decode_ieee754_1985_f32>, Plain>;
        case E::Ieee754_1985F64: return &generic_loop<double, AsOlderFloat<decode_ieee754_1985_f64>, Plain>;
        case E::Ieee754_1985F80: return &generic_loop<double, AsF80Narrow, Plain>;
        case E::MilStd1750aF32: return &generic_loop<double, AsOlderFloat<decode_mil_std_1750a_f32>, Plain>;
        case E::MilStd1750aF48: return &generic_loop<double, AsOlderFloat<decode_mil_std_1750a_f48>, Plain>;
        case E::TiF32: return &generic_loop<double, AsOlderFloat<decode_ti_f32>, Plain>;
        case E::TiF40: return &generic_loop<double, AsOlderFloat<decode_ti_f40>, Plain>;
        case E::DecF32: return &generic_loop<double, AsOlderFloat<decode_dec_f32>, Plain>;
        case E::DecF64: return &generic_loop<double, AsOlderFloat<decode_dec_f64>, Plain>;
        case E::IbmF32: return &generic_loop<double, AsOlderFloat<decode_ibm_f32>, Plain>;
        default: return &generic_loop<double, AsOlderFloat<decode_ibm_f64>, Plain>;  // IbmF64
    }
}

template <unsigned N, bool Little>
Plan::Kernel aligned_kernel(UnpackEncoding encoding) {
    using U = std::conditional_t<N == 1, std::uint8_t,
              std::conditional_t<N == 2, std::uint16_t,
              std::conditional_t<N == 4, std::uint32_t, std::uint64_t>>>;
    using S = std::make_signed_t<U>;
    switch (encoding) {
        case E::Unsigned: return &aligned_loop<U, N, Little, AsUnsigned>;
        case E::TwosComplement: return &aligned_loop<S, N, Little, AsTwos>;
        case E::Ieee754F16:
            if constexpr (N == 2) return &aligned_loop<float, N, Little, AsF16>;
            else return nullptr;
        case E::Ieee754F32:
            if constexpr (N == 4) return &aligned_loop<float, N, Little, AsF32>;
            else return nullptr;
        case E::Ieee754F64:
            if constexpr (N == 8) return &aligned_loop<double, N, Little, AsF64>;
            else return nullptr;
        default: return nullptr;
    }
}

template <bool Little>
Plan::Kernel aligned_kernel(const Field& f) {
    switch (f.bits) {
        case 8: return aligned_kernel<1, Little>(f.encoding);
        case 16: return aligned_kernel<2, Little>(f.encoding);
        case 32: return aligned_kernel<4, Little>(f.encoding);
        case 64: return aligned_kernel<8, Little>(f.encoding);
        default: return nullptr;
    }
}

/// Whether decoding the field can fail once it lies inside the data.
bool can_fail(const Field& f) {
    switch (f.encoding) {
        case E::Unsigned: case E::TwosComplement: case E::OnesComplement: case E::SignMagnitude:
        case E::Ieee754F16: case E::Ieee754F32: case E::Ieee754F64:
            return f.bits > 64;
        case E::Ieee754F128: return f.bits != 128;
        default: return true;
    }
}

/// The loop for one field; `aligned` when its start bit is a multiple of 8 in every packet.
/// `kept`: the values are written out (else only a field that can fail gets a loop).
Plan::Kernel choose_kernel(const Field& f, bool aligned, bool kept) {
    if (!kept && !can_fail(f)) return nullptr;
    if (is_text(f.encoding)) return &text_loop;
    if (f.encoding == E::Ieee754F128) return f.bits == 128 ? &wide_loop<true> : &refused_loop;
    if (f.encoding == E::Ieee754_1985F80 && f.bits == 80) return &wide_loop<false>;
    if (f.bits > 64) return &refused_loop;
    if (aligned && !f.reverse && kept) {
        if (Plan::Kernel k = f.little ? aligned_kernel<true>(f) : aligned_kernel<false>(f)) return k;
    }
    const Element element = element_of(f.encoding, f.bits);
    return f.little || f.reverse ? generic_kernel<false>(f, element) : generic_kernel<true>(f, element);
}

[[gnu::cold]] CodecError base_overflow(std::uint64_t byte_offset, std::uint64_t offset_bits) {
    return value_error("Bit position overflow: byte " + std::to_string(byte_offset) + " + " +
                       std::to_string(offset_bits) + " bits exceeds 64 bits");
}

}  // namespace

Plan::Kernel field_kernel(const Field& f, bool aligned) { return choose_kernel(f, aligned, true); }

bool is_text(UnpackEncoding encoding) noexcept {
    return encoding >= E::Utf8 && encoding <= E::Windows1252;
}

Element element_of(UnpackEncoding encoding, std::uint32_t bits) noexcept {
    const int width = bits <= 8 ? 0 : bits <= 16 ? 1 : bits <= 32 ? 2 : 3;
    switch (encoding) {
        case E::Unsigned: return static_cast<Element>(static_cast<int>(Element::U8) + width);
        case E::SignMagnitude:
        case E::OnesComplement:
        case E::TwosComplement: return static_cast<Element>(static_cast<int>(Element::I8) + width);
        case E::Bcd:
        case E::PackedBcd: return Element::U64;
        case E::BcdSigned:
        case E::PackedBcdSigned: return Element::I64;
        case E::Ieee754F16:
        case E::Ieee754F32: return Element::F32;
        default: return is_text(encoding) ? Element::Text : Element::F64;
    }
}

std::size_t element_size(Element element) noexcept {
    switch (element) {
        case Element::U8: case Element::I8: return 1;
        case Element::U16: case Element::I16: return 2;
        case Element::U32: case Element::I32: case Element::F32: return 4;
        case Element::Text: return 0;
        default: return 8;
    }
}

Result<DecodedText> decode_text_field(UnpackEncoding encoding, const std::uint8_t* data,
                                      std::uint64_t start, std::uint32_t bits, bool little,
                                      ByteBuffer& scratch) {
    const std::uint64_t count = layout::bytes_for_bits(bits);
    Bytes bytes{data + start / 8, static_cast<std::size_t>(count)};
    if (start % 8 != 0 || bits % 8 != 0 || little) {
        scratch.resize_for_overwrite(static_cast<std::size_t>(count));
        layout::cut_bytes(data, start, bits, little, scratch.data());
        bytes.data = scratch.data();
    }
    switch (encoding) {
        case E::Utf8: return decode_utf8(bytes);
        case E::Utf16: return decode_utf16(bytes);
        case E::Utf32: return decode_utf32(bytes);
        case E::Utf16le: return decode_utf16le(bytes);
        case E::Utf16be: return decode_utf16be(bytes);
        case E::Utf32le: return decode_utf32le(bytes);
        case E::Utf32be: return decode_utf32be(bytes);
        case E::UsAscii: return decode_us_ascii(bytes);
        case E::Latin1: return decode_iso_8859_1(bytes);
        default: return decode_windows_1252(bytes);
    }
}

Framed frame_space_packets(const std::uint8_t* data, std::size_t size,
                           std::vector<std::uint64_t>& out) {
    // A run of packets at a time into a buffer of the walk's own, allocated once: on the heap,
    // since this frame lies under the module's entry points. A packet takes 7 bytes or more.
    constexpr std::size_t kRun = 4096;
    const std::size_t room = std::min<std::size_t>(kRun, size / 7 + 1);
    const auto run = std::make_unique_for_overwrite<std::uint64_t[]>(room);
    Framed framed;
    std::uint64_t position = 0;
    for (;;) {
        Framed part = frame_packets(data + position, size - position, 0, run.get(), room);
        for (std::size_t i = 0; i < part.count; ++i) run[i] += position;
        out.insert(out.end(), run.get(), run.get() + part.count);
        framed.count += part.count;
        if (part.cut) {
            framed.cut = *part.cut;
            framed.cut->packet = framed.count;
            framed.cut->offset += position;
            return framed;
        }
        if (part.count < room) return framed;
        position = run[room - 1] + 7 + (std::uint64_t{data[run[room - 1] + 4]} << 8 |
                                        data[run[room - 1] + 5]);
    }
}

Framed frame_packets(const std::uint8_t* data, std::size_t size, std::uint64_t stride,
                     std::uint64_t* out, std::size_t limit) noexcept {
    Framed framed;
    if (stride != 0) {
        framed.count = static_cast<std::size_t>(size / stride);
        if (out)
            for (std::size_t i = 0; i < framed.count; ++i) out[i] = i * stride;
        if (const std::uint64_t left = size % stride)
            framed.cut = Cut{framed.count, framed.count * stride, stride, left, false};
        return framed;
    }
    constexpr std::uint64_t kHeader = 6;
    std::uint64_t position = 0;
    while (position < size && framed.count < limit) {
        const std::uint64_t left = size - position;
        if (left < kHeader) {
            framed.cut = Cut{framed.count, position, kHeader, left, true};
            break;
        }
        // Packet data length: bytes 4-5 of the primary header, the packet's size minus 7.
        const std::uint64_t length = kHeader + 1 + (std::uint64_t{data[position + 4]} << 8 |
                                                    data[position + 5]);
        if (length > left) {
            framed.cut = Cut{framed.count, position, length, left, false};
            break;
        }
        if (out) out[framed.count] = position;
        ++framed.count;
        position += length;
    }
    return framed;
}

Plan::Plan(const Packets& packets, std::vector<Field> fields)
    : packets_(packets), fields_(std::move(fields)) {
    rel_.reserve(fields_.size());
    fast_.reserve(fields_.size());
    checked_.reserve(fields_.size());
    // Field starts relative to the packet's start bit, as the reader places them: at the item's
    // own offset, or where the previous field ends.
    laid_out_ = true;
    std::uint64_t position = 0;
    for (const Field& f : fields_) {
        const std::uint64_t rel = f.has_offset ? f.offset : position;
        if (rel > kMaxU64 - f.bits) laid_out_ = false;
        position = rel + f.bits;
        extent_ = std::max(extent_, position);
        rel_.push_back(rel);
        const bool aligned = (packets_.offset_bits + rel) % 8 == 0;
        fast_.push_back(choose_kernel(f, aligned, f.out != nullptr));
        checked_.push_back(choose_kernel(f, false, f.out != nullptr));
    }
}

/// Whether every field of a packet at byte `offset` lies inside the data (then `base` is its
/// start bit).
bool Plan::whole_recipe_inside(std::uint64_t offset, std::uint64_t& base) const noexcept {
    if (!laid_out_ || offset > packets_.size) return false;
    const std::uint64_t size_bits =
        packets_.size > kMaxU64 / 8 ? kMaxU64 : std::uint64_t{packets_.size} * 8;
    if (offset > kMaxU64 / 8 || packets_.offset_bits > kMaxU64 - offset * 8) return false;
    base = offset * 8 + packets_.offset_bits;
    return extent_ <= size_bits && base <= size_bits - extent_;
}

/// Packets [first, last), every field inside the data: field after field, each over the packets
/// before the lowest failure found so far.
std::optional<Failure> Plan::run_block(std::size_t first, std::size_t last,
                                       const std::uint64_t* bases) const {
    std::optional<Failure> lowest;
    std::size_t limit = last;
    for (std::size_t k = 0; k < fields_.size() && limit > first; ++k) {
        if (!fast_[k]) continue;
        if (auto failure = fast_[k](packets_, fields_[k], rel_[k], bases, first, limit)) {
            limit = failure->packet;
            lowest = std::move(failure);
        }
    }
    return lowest;
}

/// Packet i, at byte `offset`, the way the reader walks it: each field placed, checked and
/// decoded in turn.
std::optional<Failure> Plan::walk_packet(std::size_t i, std::uint64_t offset) const {
    if (offset > kMaxU64 / 8 || packets_.offset_bits > kMaxU64 - offset * 8)
        return Failure{i, base_overflow(offset, packets_.offset_bits)};
    const std::uint64_t base = offset * 8 + packets_.offset_bits;
    std::uint64_t position = base;
    for (std::size_t k = 0; k < fields_.size(); ++k) {
        const Field& f = fields_[k];
        std::uint64_t start = position;
        if (f.has_offset) {
            if (auto e = layout::check_position(base, f.offset)) return Failure{i, std::move(*e)};
            start = base + f.offset;
        }
        if (auto e = layout::check_position(start, f.bits)) return Failure{i, std::move(*e)};
        if (auto e = layout::check_bounds(packets_.size, start, f.bits))
            return Failure{i, std::move(*e)};
        if (checked_[k]) {
            if (auto failure = checked_[k](packets_, f, 0, &start, i, i + 1)) return failure;
        }
        position = start + f.bits;
    }
    return std::nullopt;
}

std::optional<Failure> Plan::run(std::size_t first, std::size_t last,
                                 std::atomic<std::size_t>* lowest) const {
    // The block's packet starts live on the heap: this frame lies under the entry point's.
    const std::size_t block = std::min(kBlock, std::max<std::size_t>(last - first, 1));
    const auto bases = std::make_unique_for_overwrite<std::uint64_t[]>(block);
    const auto inside = std::make_unique_for_overwrite<bool[]>(block);
    auto report = [&](std::optional<Failure> failure) {
        if (lowest) {
            std::size_t seen = lowest->load(std::memory_order_relaxed);
            while (failure->packet < seen &&
                   !lowest->compare_exchange_weak(seen, failure->packet, std::memory_order_relaxed)) {
            }
        }
        return failure;
    };
    for (std::size_t a = first; a < last;) {
        if (lowest && lowest->load(std::memory_order_relaxed) < a) return std::nullopt;
        const std::size_t b = std::min(last, a + block);
        for (std::size_t i = a; i < b; ++i)
            inside[i - a] = whole_recipe_inside(packets_.byte_offset(i), bases[i - a]);
        for (std::size_t j = a; j < b;) {
            std::size_t r = j;
            while (r < b && inside[r - a]) ++r;
            if (r > j) {
                if (auto failure = run_block(j, r, bases.get() + (j - a)))
                    return report(std::move(failure));
            }
            if (r < b) {
                if (auto failure = walk_packet(r, packets_.byte_offset(r)))
                    return report(std::move(failure));
                ++r;
            }
            j = r;
        }
        a = b;
    }
    return std::nullopt;
}

std::optional<Failure> Plan::run_parallel(unsigned threads) const {
    const std::size_t n = packets_.count;
    const std::size_t shares = std::min<std::size_t>(threads, n / kBlock);
    if (shares <= 1) return run(0, n);
    std::atomic<std::size_t> lowest{std::numeric_limits<std::size_t>::max()};
    std::vector<std::optional<Failure>> results(shares);
    std::vector<char> out_of_memory(shares, 0);
    auto bound = [&](std::size_t t) { return static_cast<std::size_t>(u128{n} * t / shares); };
    auto work = [&](std::size_t t) noexcept {
        try {
            results[t] = run(bound(t), bound(t + 1), &lowest);
        } catch (const std::bad_alloc&) {
            out_of_memory[t] = 1;
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(shares - 1);
    for (std::size_t t = 1; t < shares; ++t) {
        try {
            pool.emplace_back(work, t);
        } catch (const std::system_error&) {
            work(t);  // no thread to be had: this one takes the share
        }
    }
    work(0);
    for (std::thread& thread : pool) thread.join();
    if (std::find(out_of_memory.begin(), out_of_memory.end(), 1) != out_of_memory.end())
        throw std::bad_alloc();
    std::optional<Failure> first;
    for (auto& result : results)
        if (result && (!first || result->packet < first->packet)) first = std::move(result);
    return first;
}

Result<DecodedText> Plan::text(std::size_t i, std::size_t k, ByteBuffer& scratch) const {
    const Field& f = fields_[k];
    // The offsets are read again: checked once more, since their owner may have changed them
    // while the run went on without the caller's lock.
    const std::uint64_t offset = packets_.byte_offset(i);
    std::uint64_t base = 0;
    if (!whole_recipe_inside(offset, base)) {
        if (auto failure = walk_packet(i, offset)) return std::move(failure->error);
        base = offset * 8 + packets_.offset_bits;  // the walk found it in range
    }
    return decode_text_field(f.encoding, packets_.data, base + rel_[k], f.bits, f.little, scratch);
}

}  // namespace bitloom::columns
