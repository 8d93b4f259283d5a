#include "unicode.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <string>

#include "text_blocks.hpp"

namespace bitloom {

namespace {

#if defined(BITLOOM_SSE2)
/// Stores 16 bytes as 16 UTF-16 units (32 bytes) in the given byte order.
template <bool LE>
inline void store_utf16_bytes(std::uint8_t* out, __m128i v) noexcept {
    const __m128i zero = _mm_setzero_si128();
    text::store16(out, LE ? _mm_unpacklo_epi8(v, zero) : _mm_unpacklo_epi8(zero, v));
    text::store16(out + 16, LE ? _mm_unpackhi_epi8(v, zero) : _mm_unpackhi_epi8(zero, v));
}

/// Stores 16 bytes as 16 UTF-32 units (64 bytes) in the given byte order.
template <bool LE>
inline void store_utf32_bytes(std::uint8_t* out, __m128i v) noexcept {
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

/// Text of width 1: every byte becomes one unit, so no byte needs a look.
template <bool LE, unsigned Width>
void widen_bytes(const std::uint8_t* p, std::size_t n, std::uint8_t* out) noexcept {
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
            store_utf16_bytes<LE>(out, a);
            store_utf16_bytes<LE>(out + 32, b);
        } else {
            store_utf32_bytes<LE>(out, a);
            store_utf32_bytes<LE>(out + 64, b);
        }
    }
#endif
    for (; i < n; ++i) out = Width == 2 ? put16<LE>(out, p[i]) : put32<LE>(out, p[i]);
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

EncodedText utf16_plan(const TextView& t, ByteForm form, bool mark) noexcept {
    std::size_t units = t.length;
    if (t.width == 4) units += astral_count(static_cast<const std::uint32_t*>(t.data), t.length);
    return EncodedText{t, 2 * units + (mark ? 2 : 0), form, mark};
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
void write_utf16(const TextView& t, std::uint8_t* out) noexcept {
    switch (t.width) {
    case 1: widen_bytes<LE, 2>(static_cast<const std::uint8_t*>(t.data), t.length, out); return;
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
void write_utf32(const TextView& t, std::uint8_t* out) noexcept {
    switch (t.width) {
    case 1: widen_bytes<LE, 4>(static_cast<const std::uint8_t*>(t.data), t.length, out); return;
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
    switch (e.form) {
    case ByteForm::Utf16be:
        if (e.mark) out = put16<false>(out, 0xFEFF);
        write_utf16<false>(e.text, out);
        return true;
    case ByteForm::Utf16le: write_utf16<true>(e.text, out); return true;
    case ByteForm::Utf32be:
        if (e.mark) out = put32<false>(out, 0xFEFF);
        write_utf32<false>(e.text, out);
        return true;
    case ByteForm::Utf32le: write_utf32<true>(e.text, out); return true;
    case ByteForm::Ascii:
    case ByteForm::Latin1:
    case ByteForm::Windows1252: return text::narrow(e.text, e.form, out);
    }
    return false;
}

bool text::has_surrogate(const TextView& t) noexcept {
    if (t.width == 2) return any_surrogate(static_cast<const std::uint16_t*>(t.data), t.length);
    if (t.width == 4) return any_surrogate(static_cast<const std::uint32_t*>(t.data), t.length);
    return false;
}

Result<Bytes> encode_utf8(std::string_view t) {
    return Bytes{reinterpret_cast<const std::uint8_t*>(t.data()), t.size()};
}

Result<EncodedText> encode_utf16(TextView t) { return utf16_plan(t, ByteForm::Utf16be, true); }
Result<EncodedText> encode_utf16le(TextView t) { return utf16_plan(t, ByteForm::Utf16le, false); }
Result<EncodedText> encode_utf16be(TextView t) { return utf16_plan(t, ByteForm::Utf16be, false); }
Result<EncodedText> encode_utf32(TextView t) { return EncodedText{t, 4 * t.length + 4, ByteForm::Utf32be, true}; }
Result<EncodedText> encode_utf32le(TextView t) { return EncodedText{t, 4 * t.length, ByteForm::Utf32le, false}; }
Result<EncodedText> encode_utf32be(TextView t) { return EncodedText{t, 4 * t.length, ByteForm::Utf32be, false}; }

namespace {

using text::ascii_prefix;

/// The width class of a set of code points from the OR of all of them: the classes end at
/// powers of two, so the OR falls in the same class as the largest value.
constexpr std::uint32_t width_class(std::uint32_t any_bits) noexcept {
    return any_bits < 0x80 ? 0x7F : any_bits < 0x100 ? 0xFF : any_bits < 0x10000 ? 0xFFFF : 0x10FFFF;
}

// ---- UTF-8 -------------------------------------------------------------------------------

/// Where UTF-8 stops being well-formed. `length` is the maximal ill-formed subpart (1 to 3),
/// or 0 when the input ends inside a sequence that was well-formed so far.
struct Utf8Fault {
    std::size_t index = 0;
    unsigned length = 0;
};

bool check_utf8(const std::uint8_t* p, std::size_t n, DecodedText& out, Utf8Fault& fault) noexcept {
    std::size_t i = 0;
    std::size_t count = 0;
    std::uint8_t top = 0;  // the largest lead byte decides the width class
    while (i < n) {
        const std::uint8_t lead = p[i];
        if (lead < 0x80) {
            std::size_t run = 1;
#if defined(BITLOOM_SSE2)
            // Mixed text has short ASCII runs: one block look finds their end.
            if (i + 16 <= n) {
                const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(text::load16(p + i)));
                run = mask ? static_cast<std::size_t>(std::countr_zero(mask))
                           : ascii_prefix(p + i, n - i);
            }
#endif
            i += run;
            count += run;
            continue;
        }
        // The second byte's range depends on the lead (no overlongs, no surrogates, nothing
        // past U+10FFFF); later bytes are plain continuations 80..BF.
        if (lead < 0xE0) {
            if (lead < 0xC2) return fault = {i, 1}, false;
            if (i + 1 >= n) return fault = {i, 0}, false;
            if ((p[i + 1] & 0xC0) != 0x80) return fault = {i, 1}, false;
            i += 2;
        } else if (lead < 0xF0) {
            if (i + 1 >= n) return fault = {i, 0}, false;
            const std::uint8_t c1 = p[i + 1];
            if (c1 < (lead == 0xE0 ? 0xA0 : 0x80) || c1 > (lead == 0xED ? 0x9F : 0xBF))
                return fault = {i, 1}, false;
            if (i + 2 >= n) return fault = {i, 0}, false;
            if ((p[i + 2] & 0xC0) != 0x80) return fault = {i, 2}, false;
            i += 3;
        } else {
            if (lead > 0xF4) return fault = {i, 1}, false;
            if (i + 1 >= n) return fault = {i, 0}, false;
            const std::uint8_t c1 = p[i + 1];
            if (c1 < (lead == 0xF0 ? 0x90 : 0x80) || c1 > (lead == 0xF4 ? 0x8F : 0xBF))
                return fault = {i, 1}, false;
            if (i + 2 >= n) return fault = {i, 0}, false;
            if ((p[i + 2] & 0xC0) != 0x80) return fault = {i, 2}, false;
            if (i + 3 >= n) return fault = {i, 0}, false;
            if ((p[i + 3] & 0xC0) != 0x80) return fault = {i, 3}, false;
            i += 4;
        }
        ++count;
        top = std::max(top, lead);
    }
    out.length = count;
    out.max_code_point = top == 0 ? 0x7F : top <= 0xC3 ? 0xFF : top <= 0xEF ? 0xFFFF : 0x10FFFF;
    return true;
}

#if defined(BITLOOM_AVX2)
BITLOOM_TARGET_AVX2 bool scan_utf8_avx2(const std::uint8_t* p, std::size_t n, std::size_t& continuations,
                                        std::uint8_t& top) noexcept;
#endif

/// check_utf8, by blocks where the processor allows; the plain loop still finds the fault.
bool check_utf8_fast(const std::uint8_t* p, std::size_t n, DecodedText& out, Utf8Fault& fault) noexcept {
#if defined(BITLOOM_AVX2)
    if (text::use_avx2()) {
        std::size_t continuations = 0;
        std::uint8_t top = 0;
        if (!scan_utf8_avx2(p, n, continuations, top)) return check_utf8(p, n, out, fault);
        out.length = n - continuations;
        out.max_code_point = top < 0x80 ? 0x7F : top <= 0xC3 ? 0xFF : top <= 0xEF ? 0xFFFF : 0x10FFFF;
        return true;
    }
#endif
    return check_utf8(p, n, out, fault);
}

[[gnu::cold]] CodecError utf8_error(const Utf8Fault& fault) {
    std::string detail = fault.length == 0
        ? "incomplete utf-8 byte sequence from index " + std::to_string(fault.index)
        : "invalid utf-8 sequence of " + std::to_string(fault.length) + " bytes from index " +
              std::to_string(fault.index);
    return value_error("Invalid UTF-8 bytes: " + detail);
}

#if defined(BITLOOM_AVX2)
// ---- UTF-8 with AVX2 ------------------------------------------------------------------------
//
// Checking follows the three-table method: every byte pair (previous byte, byte) is looked up by
// the high nibble of the previous byte, its low nibble and the high nibble of the byte; each
// table gives a bit set of the faults the pair may show, and a fault is real when all three
// agree. The second and third continuation bytes of 3- and 4-byte sequences, which no pair can
// tell, are checked against the lead two and three bytes back.

constexpr std::uint8_t kTooShort = 1 << 0;   // lead followed by a lead or ASCII
constexpr std::uint8_t kTooLong = 1 << 1;    // ASCII followed by a continuation
constexpr std::uint8_t kOverlong3 = 1 << 2;  // E0 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;   // F4 90..BF, F5..FF
constexpr std::uint8_t kSurrogate = 1 << 4;  // ED A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;  // C0, C1
constexpr std::uint8_t kTooLarge1000 = 1 << 6;
constexpr std::uint8_t kOverlong4 = 1 << 6;  // F0 80..8F
constexpr std::uint8_t kTwoConts = 1 << 7;   // continuation after a continuation (or the 3rd/4th byte)
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

BITLOOM_TARGET_AVX2 inline __m256i table16(std::uint8_t t0, std::uint8_t t1, std::uint8_t t2, std::uint8_t t3,
                                           std::uint8_t t4, std::uint8_t t5, std::uint8_t t6, std::uint8_t t7,
                                           std::uint8_t t8, std::uint8_t t9, std::uint8_t t10, std::uint8_t t11,
                                           std::uint8_t t12, std::uint8_t t13, std::uint8_t t14, std::uint8_t t15) {
    return _mm256_broadcastsi128_si256(_mm_setr_epi8(
        static_cast<char>(t0), static_cast<char>(t1), static_cast<char>(t2), static_cast<char>(t3),
        static_cast<char>(t4), static_cast<char>(t5), static_cast<char>(t6), static_cast<char>(t7),
        static_cast<char>(t8), static_cast<char>(t9), static_cast<char>(t10), static_cast<char>(t11),
        static_cast<char>(t12), static_cast<char>(t13), static_cast<char>(t14), static_cast<char>(t15)));
}

/// The 32 bytes before each byte of `input` by N, the end of `prev` shifted in.
template <int N>
BITLOOM_TARGET_AVX2 inline __m256i earlier(__m256i input, __m256i prev) {
    return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(prev, input, 0x21), 16 - N);
}

BITLOOM_TARGET_AVX2 inline __m256i high_nibbles(__m256i v) {
    return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

struct Utf8Tables {
    __m256i byte1_high, byte1_low, byte2_high;
};

BITLOOM_TARGET_AVX2 inline Utf8Tables utf8_tables() {
    return Utf8Tables{
        table16(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
                kTwoConts, kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
                kTooShort | kOverlong3 | kSurrogate, kTooShort | kTooLarge | kTooLarge1000 | kOverlong4),
        table16(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
                kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                kCarry | kTooLarge | kTooLarge1000 | kSurrogate, kCarry | kTooLarge | kTooLarge1000,
                kCarry | kTooLarge | kTooLarge1000),
        table16(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
                kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
                kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
                kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge, kTooShort, kTooShort,
                kTooShort, kTooShort),
    };
}

/// Fault bits of a block holding a byte of 80..FF (zero when well-formed so far).
BITLOOM_TARGET_AVX2 inline __m256i block_faults(const Utf8Tables& t, __m256i input, __m256i prev) {
    const __m256i prev1 = earlier<1>(input, prev);
    const __m256i low = _mm256_set1_epi8(0x0F);
    __m256i special = _mm256_and_si256(
        _mm256_and_si256(_mm256_shuffle_epi8(t.byte1_high, high_nibbles(prev1)),
                         _mm256_shuffle_epi8(t.byte1_low, _mm256_and_si256(prev1, low))),
        _mm256_shuffle_epi8(t.byte2_high, high_nibbles(input)));
    // Bytes two after an E0..FF lead or three after an F0..FF lead must be continuations.
    __m256i third = _mm256_subs_epu8(earlier<2>(input, prev), _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
    __m256i fourth = _mm256_subs_epu8(earlier<3>(input, prev), _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
    __m256i must_continue = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
    return _mm256_xor_si256(must_continue, special);
}

/// Nonzero where the block ends inside a sequence (a lead in the last three bytes too close to the end).
BITLOOM_TARGET_AVX2 inline __m256i ends_open(__m256i input) {
    const __m256i limit = _mm256_setr_epi8(
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1),
        static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
    return _mm256_subs_epu8(input, limit);
}

/// Checks UTF-8; when well-formed, gives its number of continuation bytes and its largest byte.
BITLOOM_TARGET_AVX2 bool scan_utf8_avx2(const std::uint8_t* p, std::size_t n, std::size_t& continuations,
                                        std::uint8_t& top) noexcept {
    const Utf8Tables tables = utf8_tables();
    const __m256i zero = _mm256_setzero_si256();
    const __m256i below_lead = _mm256_set1_epi8(-64);  // continuation bytes are -128..-65 as signed
    __m256i prev = zero, open = zero, faults = zero, largest = zero, total = zero;
    std::size_t i = 0;
    alignas(32) std::uint8_t last[32] = {};
    bool padded = false;
    while (!padded) {
        // Byte counters take at most 255 blocks before they are summed into 64-bit lanes.
        __m256i counts = zero;
        for (int round = 0; round < 255; ++round) {
            if (i + 128 <= n) {
                // Runs of ASCII go by four blocks at a time.
                const auto* q = reinterpret_cast<const __m256i*>(p + i);
                const __m256i a = _mm256_loadu_si256(q), b = _mm256_loadu_si256(q + 1);
                const __m256i c = _mm256_loadu_si256(q + 2), d = _mm256_loadu_si256(q + 3);
                if (_mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d))) == 0) {
                    faults = _mm256_or_si256(faults, open);
                    open = zero;
                    prev = d;
                    i += 128;
                    continue;
                }
            }
            __m256i input;
            if (i + 32 <= n) {
                input = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
                i += 32;
            } else {
                // The rest, then zeros: a sequence cut off by the end meets an ASCII byte.
                if (n > i) std::memcpy(last, p + i, n - i);
                input = _mm256_load_si256(reinterpret_cast<const __m256i*>(last));
                i = n;
                padded = true;
            }
            if (_mm256_movemask_epi8(input) == 0) {
                faults = _mm256_or_si256(faults, open);
            } else {
                faults = _mm256_or_si256(faults, block_faults(tables, input, prev));
                open = ends_open(input);
                counts = _mm256_sub_epi8(counts, _mm256_cmpgt_epi8(below_lead, input));
                largest = _mm256_max_epu8(largest, input);
            }
            prev = input;
            if (padded) break;
        }
        total = _mm256_add_epi64(total, _mm256_sad_epu8(counts, zero));
    }
    if (!_mm256_testz_si256(faults, faults)) return false;
    alignas(32) std::uint64_t sums[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(sums), total);
    continuations = static_cast<std::size_t>(sums[0] + sums[1] + sums[2] + sums[3]);
    alignas(32) std::uint8_t bytes[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(bytes), largest);
    top = 0;
    for (std::uint8_t b : bytes) top = std::max(top, b);
    return true;
}

/// For each 8-bit set of kept lanes, the lane indices that move them to the front.
constexpr auto kCompress = [] {
    std::array<std::uint64_t, 256> table{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        std::uint64_t entry = 0;
        unsigned k = 0;
        for (unsigned lane = 0; lane < 8; ++lane)
            if (mask >> lane & 1) entry |= std::uint64_t{lane} << (8 * k++);
        table[mask] = entry;
    }
    return table;
}();

/// The code points of the sequences that start in q[0..7] (q[0..15] readable), in order, in
/// the low lanes; `count` gets their number.
BITLOOM_TARGET_AVX2 inline __m256i decode8(const std::uint8_t* q, unsigned& count) {
    const __m128i window = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    // Lane k holds bytes k..k+3, the lead in its low byte.
    const __m256i v = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(window),
                                          _mm256_setr_epi8(0, 1, 2, 3, 1, 2, 3, 4, 2, 3, 4, 5, 3, 4, 5, 6,
                                                           4, 5, 6, 7, 5, 6, 7, 8, 6, 7, 8, 9, 7, 8, 9, 10));
    // The lead's high nibble picks the payload bits of the lead and how far to shift; the other
    // three bytes of the index are 0x80, which shuffles to zero.
    const __m256i nibble = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(v, 4), _mm256_set1_epi32(0x0F)),
                                           _mm256_set1_epi32(static_cast<int>(0x80808000u)));
    const __m256i lead_bits = _mm256_shuffle_epi8(
        table16(0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0, 0, 0, 0, 0x1F, 0x1F, 0x0F, 0x07), nibble);
    const __m256i shift = _mm256_shuffle_epi8(
        table16(18, 18, 18, 18, 18, 18, 18, 18, 0, 0, 0, 0, 12, 12, 6, 0), nibble);
    const __m256i payload = _mm256_and_si256(v, _mm256_or_si256(lead_bits, _mm256_set1_epi32(0x3F3F3F00)));
    // b0 << 18 | b1 << 12 | b2 << 6 | b3, then shifted down past the bytes beyond the sequence.
    const __m256i pairs = _mm256_maddubs_epi16(payload, _mm256_set1_epi32(0x01400140));
    const __m256i joined = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    const __m256i cps = _mm256_srlv_epi32(joined, shift);
    const unsigned continuation = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpgt_epi8(_mm_set1_epi8(-64), window)));
    const unsigned leads = ~continuation & 0xFFu;
    count = static_cast<unsigned>(std::popcount(leads));
    const __m256i order = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(kCompress[leads])));
    return _mm256_permutevar8x32_epi32(cps, order);
}

template <class T>
BITLOOM_TARGET_AVX2 inline void store8(T* out, __m256i cps) {
    if constexpr (sizeof(T) == 4) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), cps);
    } else {
        const __m128i units = _mm256_castsi256_si128(
            _mm256_permute4x64_epi64(_mm256_packus_epi32(cps, cps), 0x08));
        if constexpr (sizeof(T) == 2) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), units);
        } else {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(units, units));
        }
    }
}

/// 32 bytes below 0x80 as 32 units.
template <class T>
BITLOOM_TARGET_AVX2 inline void widen32(T* out, __m256i v) {
    if constexpr (sizeof(T) == 1) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
    } else {
        const __m128i lo = _mm256_castsi256_si128(v), hi = _mm256_extracti128_si256(v, 1);
        if constexpr (sizeof(T) == 2) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_cvtepu8_epi16(lo));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16), _mm256_cvtepu8_epi16(hi));
        } else {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_cvtepu8_epi32(lo));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8), _mm256_cvtepu8_epi32(_mm_srli_si128(lo, 8)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16), _mm256_cvtepu8_epi32(hi));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 24), _mm256_cvtepu8_epi32(_mm_srli_si128(hi, 8)));
        }
    }
}

template <class T>
void utf8_to_units(const std::uint8_t* p, std::size_t n, T* out) noexcept;

/// Well-formed UTF-8 of `length` code points into units. Every store of 8 (or 32) units stays
/// inside the `length` units; the last few are left to the plain loop.
template <class T>
BITLOOM_TARGET_AVX2 void utf8_to_units_avx2(const std::uint8_t* p, std::size_t n, T* out,
                                            std::size_t length) noexcept {
    T* const end = out + length;
    std::size_t i = 0;
    while (i + 32 <= n && end - out >= 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        if (_mm256_movemask_epi8(v) == 0) {
            widen32(out, v);
            out += 32;
            i += 32;
            continue;
        }
        unsigned count = 0;
        store8(out, decode8(p + i, count));
        out += count;
        store8(out, decode8(p + i + 8, count));
        out += count;
        i += 16;
    }
    // A block boundary may fall inside a sequence whose code point is already written.
    while (i < n && (p[i] & 0xC0) == 0x80) ++i;
    utf8_to_units(p + i, n - i, out);
}
#endif

#if defined(BITLOOM_SSE2)
/// Stores 16 bytes below 0x80 as 16 code units of type T.
template <class T>
inline void store_widened(T* out, __m128i v) noexcept {
    if constexpr (sizeof(T) == 1) {
        text::store16(out, v);
    } else {
        const __m128i zero = _mm_setzero_si128();
        __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
        if constexpr (sizeof(T) == 2) {
            text::store16(out, lo);
            text::store16(out + 8, hi);
        } else {
            text::store16(out, _mm_unpacklo_epi16(lo, zero));
            text::store16(out + 4, _mm_unpackhi_epi16(lo, zero));
            text::store16(out + 8, _mm_unpacklo_epi16(hi, zero));
            text::store16(out + 12, _mm_unpackhi_epi16(hi, zero));
        }
    }
}
#endif

/// Well-formed UTF-8 into code units wide enough for every code point in it.
template <class T>
void utf8_to_units(const std::uint8_t* p, std::size_t n, T* out) noexcept {
    std::size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
#if defined(BITLOOM_SSE2)
            for (; i + 16 <= n; i += 16, out += 16) {
                __m128i v = text::load16(p + i);
                if (_mm_movemask_epi8(v)) break;
                store_widened(out, v);
            }
#endif
            while (i < n && p[i] < 0x80) *out++ = p[i++];
            continue;
        }
        std::size_t len = 0;
        *out++ = static_cast<T>(text::read_utf8(p + i, len));
        i += len;
    }
}

// ---- UTF-16 ------------------------------------------------------------------------------

template <bool LE>
inline std::uint16_t unit16(const std::uint8_t* p) noexcept {
    return LE ? static_cast<std::uint16_t>(p[0] | (p[1] << 8))
              : static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

template <bool LE>
inline std::uint32_t unit32(const std::uint8_t* p) noexcept {
    return LE ? (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                 std::uint32_t{p[3]} << 24)
              : (std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
                 std::uint32_t{p[3]});
}

#if defined(BITLOOM_SSE2)
template <bool LE>
inline __m128i load_units16(const std::uint8_t* p) noexcept {
    __m128i v = text::load16(p);
    return LE ? v : text::swap16(v);
}
template <bool LE>
inline __m128i load_units32(const std::uint8_t* p) noexcept {
    __m128i v = text::load16(p);
    return LE ? v : text::swap32(v);
}
inline std::uint32_t or_lanes32(__m128i v) noexcept {
    v = _mm_or_si128(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_or_si128(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
}
#endif

/// Checks `units` UTF-16 code units: every surrogate must be a high one followed by a low one.
template <bool LE>
bool check_utf16(const std::uint8_t* p, std::size_t units, DecodedText& out) noexcept {
    std::size_t i = 0, pairs = 0;
    std::uint32_t seen = 0;
#if defined(BITLOOM_SSE2)
    __m128i seen_v = _mm_setzero_si128();
    const __m128i top5 = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
#endif
    while (i < units) {
#if defined(BITLOOM_SSE2)
        for (; i + 8 <= units; i += 8) {
            __m128i v = load_units16<LE>(p + 2 * i);
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, top5), surrogate))) break;
            seen_v = _mm_or_si128(seen_v, v);
        }
#endif
        const std::size_t stop = std::min(units, i + 8);
        while (i < stop) {
            const std::uint16_t u = unit16<LE>(p + 2 * i);
            if ((u & 0xF800) != 0xD800) {
                seen |= u;
                ++i;
                continue;
            }
            if (u >= 0xDC00 || i + 1 >= units) return false;
            if ((unit16<LE>(p + 2 * i + 2) & 0xFC00) != 0xDC00) return false;
            seen |= 0x10000;
            ++pairs;
            i += 2;
        }
    }
#if defined(BITLOOM_SSE2)
    seen |= or_lanes32(seen_v) & 0xFFFF;
    seen |= or_lanes32(seen_v) >> 16;
#endif
    out.length = units - pairs;
    out.max_code_point = width_class(seen);
    return true;
}

template <bool LE, class T>
void utf16_to_units(const std::uint8_t* p, std::size_t units, T* out) noexcept {
    std::size_t i = 0;
#if defined(BITLOOM_SSE2)
    if constexpr (sizeof(T) == 1) {
        for (; i + 16 <= units; i += 16, out += 16)
            text::store16(out, _mm_packus_epi16(load_units16<LE>(p + 2 * i),
                                                 load_units16<LE>(p + 2 * i + 16)));
    } else if constexpr (sizeof(T) == 2) {
        if constexpr (LE) {
            if (units) std::memcpy(out, p, 2 * units);
            return;
        }
        for (; i + 8 <= units; i += 8, out += 8) text::store16(out, load_units16<LE>(p + 2 * i));
    } else {
        const __m128i top5 = _mm_set1_epi16(static_cast<short>(0xF800));
        const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
        const __m128i zero = _mm_setzero_si128();
        while (i + 8 <= units) {
            __m128i v = load_units16<LE>(p + 2 * i);
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, top5), surrogate))) {
                // One unit at a time through this block; a pair may run one unit past it.
                const std::size_t stop = i + 8;
                while (i < stop) {
                    std::uint32_t u = unit16<LE>(p + 2 * i);
                    if ((u & 0xF800) == 0xD800) {
                        u = 0x10000 + ((u - 0xD800) << 10) + (unit16<LE>(p + 2 * i + 2) - 0xDC00u);
                        i += 2;
                    } else {
                        ++i;
                    }
                    *out++ = u;
                }
                continue;
            }
            text::store16(out, _mm_unpacklo_epi16(v, zero));
            text::store16(out + 4, _mm_unpackhi_epi16(v, zero));
            out += 8;
            i += 8;
        }
    }
#endif
    while (i < units) {
        std::uint32_t u = unit16<LE>(p + 2 * i);
        if ((u & 0xF800) == 0xD800) {
            u = 0x10000 + ((u - 0xD800) << 10) + (unit16<LE>(p + 2 * i + 2) - 0xDC00u);
            i += 2;
        } else {
            ++i;
        }
        *out++ = static_cast<T>(u);
    }
}

// ---- UTF-32 ------------------------------------------------------------------------------

inline bool is_scalar(std::uint32_t u) noexcept {
    return u <= 0x10FFFF && (u & 0xFFFFF800u) != 0xD800;
}

#if defined(BITLOOM_AVX2)
/// 8 UTF-32 units from p in the machine's byte order.
template <bool LE>
BITLOOM_TARGET_AVX2 inline __m256i load8_utf32(const std::uint8_t* p) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    if constexpr (LE) return v;
    return _mm256_shuffle_epi8(v, _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12,
                                                    3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12));
}

/// Checks whole blocks of 8 units up to the first block holding a unit that is no scalar value;
/// returns the units checked and ORs them into `seen`.
template <bool LE>
BITLOOM_TARGET_AVX2 std::size_t check_utf32_avx2(const std::uint8_t* p, std::size_t units,
                                                 std::uint32_t& seen) noexcept {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i limit = _mm256_set1_epi32(0x10FFFF);
    const __m256i top21 = _mm256_set1_epi32(static_cast<int>(0xFFFFF800u));
    const __m256i surrogate = _mm256_set1_epi32(0xD800);
    __m256i any = zero;
    std::size_t i = 0;
    for (; i + 8 <= units; i += 8) {
        const __m256i v = load8_utf32<LE>(p + 4 * i);
        // Signed compares: a unit with the top bit set is negative, and out of range too.
        __m256i wrong = _mm256_or_si256(_mm256_cmpgt_epi32(v, limit), _mm256_cmpgt_epi32(zero, v));
        wrong = _mm256_or_si256(wrong, _mm256_cmpeq_epi32(_mm256_and_si256(v, top21), surrogate));
        if (!_mm256_testz_si256(wrong, wrong)) break;
        any = _mm256_or_si256(any, v);
    }
    alignas(32) std::uint32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), any);
    for (std::uint32_t lane : lanes) seen |= lane;
    return i;
}

/// Checked UTF-32 into units of T, 32 units per step; returns the units written.
template <bool LE, class T>
BITLOOM_TARGET_AVX2 std::size_t utf32_to_units_avx2(const std::uint8_t* p, std::size_t units, T* out) noexcept {
    std::size_t i = 0;
    for (; i + 32 <= units; i += 32) {
        const __m256i a = load8_utf32<LE>(p + 4 * i), b = load8_utf32<LE>(p + 4 * i + 32);
        const __m256i c = load8_utf32<LE>(p + 4 * i + 64), d = load8_utf32<LE>(p + 4 * i + 96);
        auto* o = reinterpret_cast<__m256i*>(out + i);
        if constexpr (sizeof(T) == 4) {
            _mm256_storeu_si256(o, a);
            _mm256_storeu_si256(o + 1, b);
            _mm256_storeu_si256(o + 2, c);
            _mm256_storeu_si256(o + 3, d);
        } else if constexpr (sizeof(T) == 2) {
            // Packing works within 128-bit lanes; the permute puts the 64-bit groups in order.
            _mm256_storeu_si256(o, _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8));
            _mm256_storeu_si256(o + 1, _mm256_permute4x64_epi64(_mm256_packus_epi32(c, d), 0xD8));
        } else {
            const __m256i bytes = _mm256_packus_epi16(_mm256_packus_epi32(a, b), _mm256_packus_epi32(c, d));
            _mm256_storeu_si256(o, _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
        }
    }
    return i;
}
#endif

/// Checks `units` UTF-32 code units; on failure `bad` holds the first unit that is no scalar value.
template <bool LE>
bool check_utf32(const std::uint8_t* p, std::size_t units, DecodedText& out,
                 std::uint32_t& bad) noexcept {
    std::size_t i = 0;
    std::uint32_t seen = 0;
#if defined(BITLOOM_AVX2)
    if (text::use_avx2()) i = check_utf32_avx2<LE>(p, units, seen);
#endif
#if defined(BITLOOM_SSE2)
    __m128i seen_v = _mm_setzero_si128();
    const __m128i limit = _mm_set1_epi32(0x10FFFF);
    const __m128i top21 = _mm_set1_epi32(static_cast<int>(0xFFFFF800u));
    const __m128i surrogate = _mm_set1_epi32(0xD800);
    for (; i + 4 <= units; i += 4) {
        __m128i v = load_units32<LE>(p + 4 * i);
        // Signed compares: a unit with the top bit set is negative, and also out of range.
        __m128i wrong = _mm_or_si128(_mm_cmpgt_epi32(v, limit),
                                     _mm_cmplt_epi32(v, _mm_setzero_si128()));
        wrong = _mm_or_si128(wrong, _mm_cmpeq_epi32(_mm_and_si128(v, top21), surrogate));
        if (_mm_movemask_epi8(wrong)) break;
        seen_v = _mm_or_si128(seen_v, v);
    }
    seen |= or_lanes32(seen_v);
#endif
    for (; i < units; ++i) {
        const std::uint32_t u = unit32<LE>(p + 4 * i);
        if (!is_scalar(u)) {
            bad = u;
            return false;
        }
        seen |= u;
    }
    out.length = units;
    out.max_code_point = width_class(seen);
    return true;
}

template <bool LE, class T>
void utf32_to_units(const std::uint8_t* p, std::size_t units, T* out) noexcept {
    std::size_t i = 0;
#if defined(BITLOOM_AVX2)
    if (!(sizeof(T) == 4 && LE) && text::use_avx2()) {
        i = utf32_to_units_avx2<LE>(p, units, out);
        out += i;
    }
#endif
#if defined(BITLOOM_SSE2)
    if constexpr (sizeof(T) == 1) {
        for (; i + 16 <= units; i += 16, out += 16) {
            __m128i a = _mm_packs_epi32(load_units32<LE>(p + 4 * i), load_units32<LE>(p + 4 * i + 16));
            __m128i b = _mm_packs_epi32(load_units32<LE>(p + 4 * i + 32),
                                        load_units32<LE>(p + 4 * i + 48));
            text::store16(out, _mm_packus_epi16(a, b));
        }
    } else if constexpr (sizeof(T) == 2) {
        // No unsigned 32-to-16 pack in SSE2: shift into the signed range, pack, shift back.
        const __m128i bias32 = _mm_set1_epi32(0x8000);
        const __m128i bias16 = _mm_set1_epi16(static_cast<short>(0x8000));
        for (; i + 8 <= units; i += 8, out += 8) {
            __m128i a = _mm_sub_epi32(load_units32<LE>(p + 4 * i), bias32);
            __m128i b = _mm_sub_epi32(load_units32<LE>(p + 4 * i + 16), bias32);
            text::store16(out, _mm_add_epi16(_mm_packs_epi32(a, b), bias16));
        }
    } else {
        if constexpr (LE) {
            if (units) std::memcpy(out, p, 4 * units);
            return;
        }
        for (; i + 4 <= units; i += 4, out += 4) text::store16(out, load_units32<LE>(p + 4 * i));
    }
#endif
    for (; i < units; ++i) *out++ = static_cast<T>(unit32<LE>(p + 4 * i));
}

[[gnu::cold]] CodecError utf32_error(std::uint32_t unit) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string message = "Invalid UTF-32 codepoint: 0x";
    for (int shift = 28; shift >= 0; shift -= 4) message += kHex[(unit >> shift) & 0xF];
    return value_error(std::move(message));
}

// ---- plans -------------------------------------------------------------------------------

DecodedText begin(Bytes bytes, TextForm form) noexcept {
    DecodedText t;
    t.data = bytes.data;
    t.size = bytes.size;
    t.form = form;
    return t;
}

Bytes drop(Bytes bytes, std::size_t count) noexcept { return Bytes{bytes.data + count, bytes.size - count}; }

Result<DecodedText> plan_utf16(Bytes bytes, bool little_endian) {
    if (bytes.size % 2 != 0) return value_error("UTF-16 requires an even number of bytes");
    DecodedText t = begin(bytes, little_endian ? TextForm::Utf16le : TextForm::Utf16be);
    const bool ok = little_endian ? check_utf16<true>(bytes.data, bytes.size / 2, t)
                                  : check_utf16<false>(bytes.data, bytes.size / 2, t);
    if (!ok) return value_error("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
    return t;
}

Result<DecodedText> plan_utf32(Bytes bytes, bool little_endian) {
    if (bytes.size % 4 != 0) return value_error("UTF-32 requires a multiple of 4 bytes");
    DecodedText t = begin(bytes, little_endian ? TextForm::Utf32le : TextForm::Utf32be);
    std::uint32_t bad = 0;
    bool ok = little_endian ? check_utf32<true>(bytes.data, bytes.size / 4, t, bad)
                            : check_utf32<false>(bytes.data, bytes.size / 4, t, bad);
    if (!ok) return utf32_error(bad);
    return t;
}

template <class T>
void write_units(const DecodedText& t, T* out) noexcept {
    const std::uint8_t* p = t.data;
    switch (t.form) {
    case TextForm::Utf8:
        if constexpr (sizeof(T) == 1) {
            if (t.max_code_point == 0x7F) {
                if (t.size) std::memcpy(out, p, t.size);
                return;
            }
        }
#if defined(BITLOOM_AVX2)
        if (text::use_avx2()) {
            utf8_to_units_avx2(p, t.size, out, t.length);
            return;
        }
#endif
        utf8_to_units(p, t.size, out);
        return;
    case TextForm::Utf16le: utf16_to_units<true>(p, t.size / 2, out); return;
    case TextForm::Utf16be: utf16_to_units<false>(p, t.size / 2, out); return;
    case TextForm::Utf32le: utf32_to_units<true>(p, t.size / 4, out); return;
    case TextForm::Utf32be: utf32_to_units<false>(p, t.size / 4, out); return;
    case TextForm::Latin1:
    case TextForm::Windows1252:
        if constexpr (sizeof(T) == 1) {
            // At or below U+00FF every Windows-1252 byte present is its own code point.
            if (t.size) std::memcpy(out, p, t.size);
            return;
        } else if constexpr (sizeof(T) == 2) {
            if (t.form == TextForm::Windows1252) {
                text::widen_windows_1252(p, t.size, out);
                return;
            }
        }
        // Units wider than the text needs: one byte at a time.
        for (std::size_t i = 0; i < t.size; ++i)
            out[i] = t.form == TextForm::Windows1252 && (p[i] & 0xE0) == 0x80
                         ? static_cast<T>(text::kWindows1252High[p[i] - 0x80])
                         : p[i];
        return;
    }
}

}  // namespace

void write_text(const DecodedText& t, std::uint8_t* out) noexcept { write_units(t, out); }
void write_text(const DecodedText& t, std::uint16_t* out) noexcept { write_units(t, out); }
void write_text(const DecodedText& t, std::uint32_t* out) noexcept { write_units(t, out); }

Result<DecodedText> decode_utf8(Bytes bytes) {
    DecodedText t = begin(bytes, TextForm::Utf8);
    Utf8Fault fault;
    if (!check_utf8_fast(bytes.data, bytes.size, t, fault)) return utf8_error(fault);
    return t;
}

Result<DecodedText> decode_utf16(Bytes bytes) {
    if (bytes.size < 2 || bytes.size % 2 != 0)
        return value_error("UTF-16 requires an even number of bytes with at least 2 bytes");
    if (bytes.data[0] == 0xFE && bytes.data[1] == 0xFF) return plan_utf16(drop(bytes, 2), false);
    if (bytes.data[0] == 0xFF && bytes.data[1] == 0xFE) return plan_utf16(drop(bytes, 2), true);
    return plan_utf16(bytes, false);
}

Result<DecodedText> decode_utf16le(Bytes bytes) { return plan_utf16(bytes, true); }
Result<DecodedText> decode_utf16be(Bytes bytes) { return plan_utf16(bytes, false); }

Result<DecodedText> decode_utf32(Bytes bytes) {
    if (bytes.size < 4 || bytes.size % 4 != 0)
        return value_error("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
    const std::uint8_t* p = bytes.data;
    if (p[0] == 0xFF && p[1] == 0xFE && p[2] == 0 && p[3] == 0) return plan_utf32(drop(bytes, 4), true);
    if (p[0] == 0 && p[1] == 0 && p[2] == 0xFE && p[3] == 0xFF) return plan_utf32(drop(bytes, 4), false);
    return plan_utf32(bytes, false);
}

Result<DecodedText> decode_utf32le(Bytes bytes) { return plan_utf32(bytes, true); }
Result<DecodedText> decode_utf32be(Bytes bytes) { return plan_utf32(bytes, false); }

}  // namespace bitloom
