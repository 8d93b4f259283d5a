#include "../decoder/text_blocks.hpp"
#include "encoded_text.hpp"
#include "encoder.hpp"

namespace bitloom {

namespace {

#if defined(BITLOOM_SSE2)
/// Stores 16 bytes below 0x80 as 16 UTF-16 units (32 bytes) in the given byte order.
template <bool LE>
inline void store_utf16_ascii(std::uint8_t* out, __m128i v) noexcept {
    const __m128i zero = _mm_setzero_si128();
    text::store16(out, LE ? _mm_unpacklo_epi8(v, zero) : _mm_unpacklo_epi8(zero, v));
    text::store16(out + 16, LE ? _mm_unpackhi_epi8(v, zero) : _mm_unpackhi_epi8(zero, v));
}

/// Stores 16 bytes below 0x80 as 16 UTF-32 units (64 bytes) in the given byte order.
template <bool LE>
inline void store_utf32_ascii(std::uint8_t* out, __m128i v) noexcept {
    const __m128i zero = _mm_setzero_si128();
    __m128i lo = LE ? _mm_unpacklo_epi8(v, zero) : _mm_unpacklo_epi8(zero, v);
    __m128i hi = LE ? _mm_unpackhi_epi8(v, zero) : _mm_unpackhi_epi8(zero, v);
    text::store16(out, LE ? _mm_unpacklo_epi16(lo, zero) : _mm_unpacklo_epi16(zero, lo));
    text::store16(out + 16, LE ? _mm_unpackhi_epi16(lo, zero) : _mm_unpackhi_epi16(zero, lo));
    text::store16(out + 32, LE ? _mm_unpacklo_epi16(hi, zero) : _mm_unpacklo_epi16(zero, hi));
    text::store16(out + 48, LE ? _mm_unpackhi_epi16(hi, zero) : _mm_unpackhi_epi16(zero, hi));
}
#endif

template <bool LE>
inline std::uint8_t* put16(std::uint8_t* out, std::uint32_t unit) noexcept {
    out[LE ? 0 : 1] = static_cast<std::uint8_t>(unit);
    out[LE ? 1 : 0] = static_cast<std::uint8_t>(unit >> 8);
    return out + 2;
}

template <bool LE>
inline std::uint8_t* put32(std::uint8_t* out, std::uint32_t unit) noexcept {
    for (int k = 0; k < 4; ++k)
        out[LE ? k : 3 - k] = static_cast<std::uint8_t>(unit >> (8 * k));
    return out + 4;
}

/// ASCII-only text: every byte becomes one unit, so no byte needs a look.
template <bool LE, unsigned Width>
void widen_ascii(const std::uint8_t* p, std::size_t n, std::uint8_t* out) noexcept {
    std::size_t i = 0;
#if defined(BITLOOM_SSE2)
    for (; i + 32 <= n; i += 32, out += 2 * 16 * Width) {
        __m128i a = text::load16(p + i), b = text::load16(p + i + 16);
        if constexpr (Width == 2) {
            store_utf16_ascii<LE>(out, a);
            store_utf16_ascii<LE>(out + 32, b);
        } else {
            store_utf32_ascii<LE>(out, a);
            store_utf32_ascii<LE>(out + 64, b);
        }
    }
#endif
    for (; i < n; ++i) out = Width == 2 ? put16<LE>(out, p[i]) : put32<LE>(out, p[i]);
}

template <bool LE>
void utf8_to_utf16(const std::uint8_t* p, std::size_t n, std::uint8_t* out) noexcept {
    std::size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
#if defined(BITLOOM_SSE2)
            for (; i + 16 <= n; i += 16, out += 32) {
                __m128i v = text::load16(p + i);
                if (_mm_movemask_epi8(v)) break;
                store_utf16_ascii<LE>(out, v);
            }
#endif
            while (i < n && p[i] < 0x80) out = put16<LE>(out, p[i++]);
            continue;
        }
        std::size_t len = 0;
        const char32_t cp = text::read_utf8(p + i, len);
        i += len;
        if (cp >= 0x10000) {
            // A surrogate pair: the high unit carries the top 10 bits of cp - 0x10000.
            out = put16<LE>(out, 0xD800 + ((cp - 0x10000) >> 10));
            out = put16<LE>(out, 0xDC00 + (cp & 0x3FF));
        } else {
            out = put16<LE>(out, cp);
        }
    }
}

template <bool LE>
void utf8_to_utf32(const std::uint8_t* p, std::size_t n, std::uint8_t* out) noexcept {
    std::size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
#if defined(BITLOOM_SSE2)
            for (; i + 16 <= n; i += 16, out += 64) {
                __m128i v = text::load16(p + i);
                if (_mm_movemask_epi8(v)) break;
                store_utf32_ascii<LE>(out, v);
            }
#endif
            while (i < n && p[i] < 0x80) out = put32<LE>(out, p[i++]);
            continue;
        }
        std::size_t len = 0;
        out = put32<LE>(out, text::read_utf8(p + i, len));
        i += len;
    }
}

/// Lead counts of UTF-8: the ASCII prefix is found fast, and only the rest is counted.
text::LeadCount lead_counts(std::string_view t) noexcept {
    const auto* p = reinterpret_cast<const std::uint8_t*>(t.data());
    const std::size_t ascii = text::ascii_prefix(p, t.size());
    text::LeadCount counts = text::count_leads(p + ascii, t.size() - ascii);
    counts.leads += ascii;
    return counts;
}

EncodedText utf16_plan(std::string_view t, ByteForm form, bool mark) noexcept {
    const auto counts = lead_counts(t);
    // Each code point is one unit, and those above U+FFFF (4-byte sequences) one more.
    return EncodedText{t, 2 * (counts.leads + counts.long_leads) + (mark ? 2 : 0), form, mark};
}

EncodedText utf32_plan(std::string_view t, ByteForm form, bool mark) noexcept {
    const auto counts = lead_counts(t);
    return EncodedText{t, 4 * counts.leads + (mark ? 4 : 0), form, mark};
}

}  // namespace

bool write_bytes(const EncodedText& e, std::uint8_t* out) noexcept {
    const auto* p = reinterpret_cast<const std::uint8_t*>(e.text.data());
    const std::size_t n = e.text.size();
    switch (e.form) {
    case ByteForm::Utf8:
        if (n) std::memcpy(out, p, n);
        return true;
    case ByteForm::Utf16be:
        if (e.mark) out = put16<false>(out, 0xFEFF);
        // One unit per byte means the text is all ASCII.
        if (e.size - (e.mark ? 2 : 0) == 2 * n) widen_ascii<false, 2>(p, n, out);
        else utf8_to_utf16<false>(p, n, out);
        return true;
    case ByteForm::Utf16le:
        if (e.size == 2 * n) widen_ascii<true, 2>(p, n, out);
        else utf8_to_utf16<true>(p, n, out);
        return true;
    case ByteForm::Utf32be:
        if (e.mark) out = put32<false>(out, 0xFEFF);
        if (e.size - (e.mark ? 4 : 0) == 4 * n) widen_ascii<false, 4>(p, n, out);
        else utf8_to_utf32<false>(p, n, out);
        return true;
    case ByteForm::Utf32le:
        if (e.size == 4 * n) widen_ascii<true, 4>(p, n, out);
        else utf8_to_utf32<true>(p, n, out);
        return true;
    case ByteForm::Ascii: return text::write_ascii(p, n, out);
    case ByteForm::Latin1: return text::write_latin1(p, n, out);
    case ByteForm::Windows1252: return text::write_windows_1252(p, n, out);
    }
    return true;
}

CodecError encode_failure(const EncodedText& e) { return text::single_byte_failure(e.text, e.form); }

Result<ByteBuffer> to_buffer(const EncodedText& e) {
    ByteBuffer buffer;
    buffer.resize_for_overwrite(e.size);
    if (!write_bytes(e, buffer.data())) return encode_failure(e);
    return buffer;
}

namespace direct {

Result<EncodedText> encode_utf8(std::string_view t) { return EncodedText{t, t.size(), ByteForm::Utf8, false}; }
Result<EncodedText> encode_utf16(std::string_view t) { return utf16_plan(t, ByteForm::Utf16be, true); }
Result<EncodedText> encode_utf16le(std::string_view t) { return utf16_plan(t, ByteForm::Utf16le, false); }
Result<EncodedText> encode_utf16be(std::string_view t) { return utf16_plan(t, ByteForm::Utf16be, false); }
Result<EncodedText> encode_utf32(std::string_view t) { return utf32_plan(t, ByteForm::Utf32be, true); }
Result<EncodedText> encode_utf32le(std::string_view t) { return utf32_plan(t, ByteForm::Utf32le, false); }
Result<EncodedText> encode_utf32be(std::string_view t) { return utf32_plan(t, ByteForm::Utf32be, false); }

}  // namespace direct

Result<ByteBuffer> encode_utf8(std::string_view t) { return to_buffer(*direct::encode_utf8(t)); }
Result<ByteBuffer> encode_utf16(std::string_view t) { return to_buffer(*direct::encode_utf16(t)); }
Result<ByteBuffer> encode_utf16le(std::string_view t) { return to_buffer(*direct::encode_utf16le(t)); }
Result<ByteBuffer> encode_utf16be(std::string_view t) { return to_buffer(*direct::encode_utf16be(t)); }
Result<ByteBuffer> encode_utf32(std::string_view t) { return to_buffer(*direct::encode_utf32(t)); }
Result<ByteBuffer> encode_utf32le(std::string_view t) { return to_buffer(*direct::encode_utf32le(t)); }
Result<ByteBuffer> encode_utf32be(std::string_view t) { return to_buffer(*direct::encode_utf32be(t)); }

}  // namespace bitloom
