#include <algorithm>
#include <bit>

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

#if defined(BITLOOM_AVX2)
/// Bytes into 2- or 4-byte units of the given byte order, 32 bytes per step; returns the bytes done.
template <bool LE, unsigned Width>
BITLOOM_TARGET_AVX2 std::size_t widen_avx2(const std::uint8_t* p, std::size_t n, std::uint8_t* out) noexcept {
    // Zero-extension leaves each byte in the low byte of its unit; big-endian moves it last.
    const __m256i order = Width == 2
        ? _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14,
                           1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14)
        : _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12,
                           3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        auto* o = reinterpret_cast<__m256i*>(out + Width * i);
        for (unsigned k = 0; k < 32 / (32 / Width); ++k) {
            const std::uint8_t* q = p + i + k * (32 / Width);
            __m256i v = Width == 2 ? _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)))
                                   : _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q)));
            if constexpr (!LE) v = _mm256_shuffle_epi8(v, order);
            _mm256_storeu_si256(o + k, v);
        }
    }
    return i;
}

/// 4-byte units in the other byte order, 8 per step; returns the units done.
BITLOOM_TARGET_AVX2 std::size_t swap32_avx2(const std::uint32_t* p, std::size_t n, std::uint8_t* out) noexcept {
    const __m256i order = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12,
                                           3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i),
                            _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)), order));
    return i;
}
#endif

/// ASCII-only text: every byte becomes one unit, so no byte needs a look.
template <bool LE, unsigned Width>
void widen_ascii(const std::uint8_t* p, std::size_t n, std::uint8_t* out) noexcept {
    std::size_t i = 0;
#if defined(BITLOOM_AVX2)
    if (text::use_avx2()) {
        i = widen_avx2<LE, Width>(p, n, out);
        out += Width * i;
    }
#endif
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

// ---- native str storage ----------------------------------------------------------------

/// Units of 4-byte text at or above U+10000, which UTF-16 writes as two units.
std::size_t astral_count(const std::uint32_t* p, std::size_t n) noexcept {
    std::size_t count = 0, i = 0;
#if defined(BITLOOM_SSE2)
    const __m128i zero = _mm_setzero_si128();
    while (i + 4 <= n) {
        // Each lane takes 1 (a compare's -1, subtracted) per unit below U+10000; chunks keep
        // the lanes from wrapping.
        __m128i below = zero;
        const std::size_t start = i;
        const std::size_t stop = std::min(n & ~std::size_t{3}, i + (std::size_t{1} << 24));
        for (; i < stop; i += 4)
            below = _mm_sub_epi32(below, _mm_cmpeq_epi32(_mm_srli_epi32(text::load16(p + i), 16), zero));
        alignas(16) std::uint32_t parts[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(parts), below);
        count += (stop - start) - (std::size_t{parts[0]} + parts[1] + parts[2] + parts[3]);
    }
#endif
    for (; i < n; ++i) count += p[i] >= 0x10000;
    return count;
}

EncodedView utf16_view_plan(const TextView& t, ByteForm form, bool mark) noexcept {
    std::size_t units = t.length;
    if (t.width == 4) units += astral_count(static_cast<const std::uint32_t*>(t.data), t.length);
    return EncodedView{t, 2 * units + (mark ? 2 : 0), form, mark};
}

template <bool LE>
void ucs1_to_utf16(const std::uint8_t* p, std::size_t n, std::uint8_t* out) noexcept {
    widen_ascii<LE, 2>(p, n, out);  // widening does not look at the bytes
}

template <bool LE>
void ucs2_to_utf16(const std::uint16_t* p, std::size_t n, std::uint8_t* out) noexcept {
    if constexpr (LE == (std::endian::native == std::endian::little)) {
        if (n) std::memcpy(out, p, 2 * n);
        return;
    }
    std::size_t i = 0;
#if defined(BITLOOM_SSE2)
    for (; i + 8 <= n; i += 8, out += 16) text::store16(out, text::swap16(text::load16(p + i)));
#endif
    for (; i < n; ++i) out = put16<LE>(out, p[i]);
}

template <bool LE>
inline std::uint8_t* put_utf16(std::uint8_t* out, std::uint32_t cp) noexcept {
    if (cp < 0x10000) return put16<LE>(out, cp);
    out = put16<LE>(out, 0xD800 + ((cp - 0x10000) >> 10));
    return put16<LE>(out, 0xDC00 + (cp & 0x3FF));
}

template <bool LE>
void ucs4_to_utf16(const std::uint32_t* p, std::size_t n, std::uint8_t* out) noexcept {
    std::size_t i = 0;
#if defined(BITLOOM_SSE2)
    // No unsigned 32-to-16 pack in SSE2: shift into the signed range, pack, shift back.
    const __m128i zero = _mm_setzero_si128();
    const __m128i bias32 = _mm_set1_epi32(0x8000);
    const __m128i bias16 = _mm_set1_epi16(static_cast<short>(0x8000));
    while (i + 8 <= n) {
        __m128i a = text::load16(p + i), b = text::load16(p + i + 4);
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_srli_epi32(_mm_or_si128(a, b), 16), zero)) != 0xFFFF) {
            for (std::size_t stop = i + 8; i < stop; ++i) out = put_utf16<LE>(out, p[i]);
            continue;
        }
        __m128i v = _mm_add_epi16(_mm_packs_epi32(_mm_sub_epi32(a, bias32), _mm_sub_epi32(b, bias32)), bias16);
        text::store16(out, LE ? v : text::swap16(v));
        out += 16;
        i += 8;
    }
#endif
    for (; i < n; ++i) out = put_utf16<LE>(out, p[i]);
}

template <bool LE>
void write_utf16_view(const TextView& t, std::uint8_t* out) noexcept {
    switch (t.width) {
    case 1: ucs1_to_utf16<LE>(static_cast<const std::uint8_t*>(t.data), t.length, out); return;
    case 2: ucs2_to_utf16<LE>(static_cast<const std::uint16_t*>(t.data), t.length, out); return;
    default: ucs4_to_utf16<LE>(static_cast<const std::uint32_t*>(t.data), t.length, out); return;
    }
}

template <bool LE>
void ucs2_to_utf32(const std::uint16_t* p, std::size_t n, std::uint8_t* out) noexcept {
    std::size_t i = 0;
#if defined(BITLOOM_SSE2)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 8 <= n; i += 8, out += 32) {
        __m128i v = text::load16(p + i);
        __m128i lo = _mm_unpacklo_epi16(v, zero), hi = _mm_unpackhi_epi16(v, zero);
        text::store16(out, LE ? lo : text::swap32(lo));
        text::store16(out + 16, LE ? hi : text::swap32(hi));
    }
#endif
    for (; i < n; ++i) out = put32<LE>(out, p[i]);
}

template <bool LE>
void ucs4_to_utf32(const std::uint32_t* p, std::size_t n, std::uint8_t* out) noexcept {
    if constexpr (LE == (std::endian::native == std::endian::little)) {
        if (n) std::memcpy(out, p, 4 * n);
        return;
    }
    std::size_t i = 0;
#if defined(BITLOOM_AVX2)
    if (text::use_avx2()) {
        i = swap32_avx2(p, n, out);
        out += 4 * i;
    }
#endif
#if defined(BITLOOM_SSE2)
    for (; i + 4 <= n; i += 4, out += 16) text::store16(out, text::swap32(text::load16(p + i)));
#endif
    for (; i < n; ++i) out = put32<LE>(out, p[i]);
}

template <bool LE>
void write_utf32_view(const TextView& t, std::uint8_t* out) noexcept {
    switch (t.width) {
    case 1: widen_ascii<LE, 4>(static_cast<const std::uint8_t*>(t.data), t.length, out); return;
    case 2: ucs2_to_utf32<LE>(static_cast<const std::uint16_t*>(t.data), t.length, out); return;
    default: ucs4_to_utf32<LE>(static_cast<const std::uint32_t*>(t.data), t.length, out); return;
    }
}

/// True when a unit of `p` lies in D800..DFFF.
template <class T>
bool any_surrogate(const T* p, std::size_t n) noexcept {
    std::size_t i = 0;
#if defined(BITLOOM_SSE2)
    if constexpr (sizeof(T) == 2) {
        const __m128i top5 = _mm_set1_epi16(static_cast<short>(0xF800));
        const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
        for (; i + 16 <= n; i += 16) {
            __m128i a = _mm_cmpeq_epi16(_mm_and_si128(text::load16(p + i), top5), surrogate);
            __m128i b = _mm_cmpeq_epi16(_mm_and_si128(text::load16(p + i + 8), top5), surrogate);
            if (_mm_movemask_epi8(_mm_or_si128(a, b))) return true;
        }
    } else {
        const __m128i top21 = _mm_set1_epi32(static_cast<int>(0xFFFFF800u));
        const __m128i surrogate = _mm_set1_epi32(0xD800);
        for (; i + 8 <= n; i += 8) {
            __m128i a = _mm_cmpeq_epi32(_mm_and_si128(text::load16(p + i), top21), surrogate);
            __m128i b = _mm_cmpeq_epi32(_mm_and_si128(text::load16(p + i + 4), top21), surrogate);
            if (_mm_movemask_epi8(_mm_or_si128(a, b))) return true;
        }
    }
#endif
    for (; i < n; ++i)
        if ((p[i] & 0xFFFFF800u) == 0xD800) return true;
    return false;
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

bool write_bytes(const EncodedView& e, std::uint8_t* out) noexcept {
    switch (e.form) {
    case ByteForm::Utf16be:
        if (e.mark) out = put16<false>(out, 0xFEFF);
        write_utf16_view<false>(e.text, out);
        return true;
    case ByteForm::Utf16le: write_utf16_view<true>(e.text, out); return true;
    case ByteForm::Utf32be:
        if (e.mark) out = put32<false>(out, 0xFEFF);
        write_utf32_view<false>(e.text, out);
        return true;
    case ByteForm::Utf32le: write_utf32_view<true>(e.text, out); return true;
    case ByteForm::Ascii: return text::narrow_ascii(e.text, out);
    case ByteForm::Latin1: return text::narrow_latin1(e.text, out);
    case ByteForm::Windows1252: return text::narrow_windows_1252(e.text, out);
    case ByteForm::Utf8: break;  // UTF-8 is read from the str's own UTF-8, never from a view
    }
    return false;
}

CodecError encode_failure(const EncodedView& e) { return text::single_byte_failure(e.text, e.form); }

bool text::has_surrogate(const TextView& t) noexcept {
    if (t.width == 2) return any_surrogate(static_cast<const std::uint16_t*>(t.data), t.length);
    if (t.width == 4) return any_surrogate(static_cast<const std::uint32_t*>(t.data), t.length);
    return false;
}

namespace direct {

Result<EncodedText> encode_utf8(std::string_view t) { return EncodedText{t, t.size(), ByteForm::Utf8, false}; }

Result<EncodedView> encode_utf16(TextView t) { return utf16_view_plan(t, ByteForm::Utf16be, true); }
Result<EncodedView> encode_utf16le(TextView t) { return utf16_view_plan(t, ByteForm::Utf16le, false); }
Result<EncodedView> encode_utf16be(TextView t) { return utf16_view_plan(t, ByteForm::Utf16be, false); }
Result<EncodedView> encode_utf32(TextView t) { return EncodedView{t, 4 * t.length + 4, ByteForm::Utf32be, true}; }
Result<EncodedView> encode_utf32le(TextView t) { return EncodedView{t, 4 * t.length, ByteForm::Utf32le, false}; }
Result<EncodedView> encode_utf32be(TextView t) { return EncodedView{t, 4 * t.length, ByteForm::Utf32be, false}; }

}  // namespace direct

Result<ByteBuffer> encode_utf8(std::string_view t) { return to_buffer(*direct::encode_utf8(t)); }
Result<ByteBuffer> encode_utf16(std::string_view t) { return to_buffer(utf16_plan(t, ByteForm::Utf16be, true)); }
Result<ByteBuffer> encode_utf16le(std::string_view t) { return to_buffer(utf16_plan(t, ByteForm::Utf16le, false)); }
Result<ByteBuffer> encode_utf16be(std::string_view t) { return to_buffer(utf16_plan(t, ByteForm::Utf16be, false)); }
Result<ByteBuffer> encode_utf32(std::string_view t) { return to_buffer(utf32_plan(t, ByteForm::Utf32be, true)); }
Result<ByteBuffer> encode_utf32le(std::string_view t) { return to_buffer(utf32_plan(t, ByteForm::Utf32le, false)); }
Result<ByteBuffer> encode_utf32be(std::string_view t) { return to_buffer(utf32_plan(t, ByteForm::Utf32be, false)); }

}  // namespace bitloom
