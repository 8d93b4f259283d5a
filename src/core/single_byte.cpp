#include "single_byte.hpp"

#include <array>
#include <string>
#include <utility>

#include "text_blocks.hpp"
#include "unicode.hpp"

namespace bitloom {

namespace {

/// "Character '{char}' (U+{code}) is not valid {name}".
[[gnu::cold]] CodecError character_error(char32_t cp, const char* name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string code;
    for (int shift = 20; shift >= 0; shift -= 4)
        if (shift < 16 || (cp >> shift) != 0) code += kHex[(cp >> shift) & 0xF];
    char utf8[4];
    std::string message = "Character '";
    message.append(utf8, text::write_utf8(cp, utf8));
    message += "' (U+" + code + ") is not valid " + name;
    return value_error(std::move(message));
}

/// Windows-1252 bytes of U+0000 to U+2122 (the largest code point it holds), 0x100 where
/// there is none: code points up to U+00FF are their own bytes except the C1 controls whose
/// bytes the index gives to other code points.
constexpr unsigned kHighLast = 0x2122;
constexpr auto kWindows1252Bytes = [] {
    std::array<std::uint16_t, kHighLast + 1> table{};
    for (unsigned cp = 0; cp <= kHighLast; ++cp)
        table[cp] = cp <= 0xFF ? static_cast<std::uint16_t>(cp) : std::uint16_t{0x100};
    for (unsigned i = 0; i < 32; ++i) {
        if (text::kWindows1252High[i] <= 0xFF) continue;
        table[text::kWindows1252High[i]] = static_cast<std::uint16_t>(0x80 + i);
        table[0x80 + i] = 0x100;
    }
    return table;
}();

#if defined(BITLOOM_SSE2)
/// 16 units of 2 or 4 bytes from p as 16 bytes (each unit saturated to 0..255), and the OR
/// of all units in `any`.
template <class T>
inline __m128i pack16(const T* p, __m128i& any) noexcept {
    if constexpr (sizeof(T) == 2) {
        __m128i a = text::load16(p), b = text::load16(p + 8);
        any = _mm_or_si128(any, _mm_or_si128(a, b));
        return _mm_packus_epi16(a, b);
    } else {
        __m128i a = text::load16(p), b = text::load16(p + 4);
        __m128i c = text::load16(p + 8), d = text::load16(p + 12);
        any = _mm_or_si128(any, _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)));
        // Code points fit 21 bits, so the signed pack keeps them ordered and the unsigned one
        // saturates every unit above 0xFF.
        return _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
    }
}
#endif

/// Units of width 2 or 4 into bytes; false when a unit is `limit` or more.
template <class T>
bool narrow_units(const T* p, std::size_t n, std::uint32_t limit, std::uint8_t* out) noexcept {
    std::size_t i = 0;
    std::uint32_t any = 0;
#if defined(BITLOOM_SSE2)
    __m128i any_v = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) text::store16(out + i, pack16(p + i, any_v));
    alignas(16) T lanes[16 / sizeof(T)];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), any_v);
    for (T lane : lanes) any |= lane;
#endif
    for (; i < n; ++i) {
        any |= p[i];
        out[i] = static_cast<std::uint8_t>(p[i]);
    }
    // The limits are powers of two, so one OR tells whether a unit reached one.
    return any < limit;
}

inline unsigned windows_1252_unit(std::uint32_t cp, std::uint8_t& out) noexcept {
    const std::uint16_t byte = cp <= kHighLast ? kWindows1252Bytes[cp] : std::uint16_t{0x100};
    out = static_cast<std::uint8_t>(byte);
    return byte;
}

/// Code units into Windows-1252; false when one has no byte. Blocks of code points at or below
/// U+00FF outside the C1 range are their own bytes; other blocks go through the table.
template <class T>
bool narrow_1252(const T* p, std::size_t n, std::uint8_t* out) noexcept {
    std::size_t i = 0;
    unsigned missing = 0;
#if defined(BITLOOM_SSE2)
    const __m128i zero = _mm_setzero_si128();
    const __m128i top3 = _mm_set1_epi8(static_cast<char>(0xE0));
    const __m128i c1 = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i above_ff = sizeof(T) == 2 ? _mm_set1_epi16(static_cast<short>(0xFF00))
                                            : _mm_set1_epi32(static_cast<int>(0xFFFFFF00u));
    for (; i + 16 <= n; i += 16) {
        __m128i v;
        bool wide = false;
        if constexpr (sizeof(T) == 1) {
            v = text::load16(p + i);
        } else {
            __m128i any = zero;
            v = pack16(p + i, any);
            wide = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(any, above_ff), zero)) != 0xFFFF;
        }
        if (!wide && !_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(v, top3), c1))) {
            text::store16(out + i, v);
            continue;
        }
        for (std::size_t k = i; k < i + 16; ++k) missing |= windows_1252_unit(p[k], out[k]);
    }
#endif
    for (; i < n; ++i) missing |= windows_1252_unit(p[i], out[i]);
    return missing < 0x100;
}

/// Code units of width 2 or 4 into the single bytes of `form`; false when one has none.
template <class T>
bool narrow_wide(const T* p, std::size_t n, ByteForm form, std::uint8_t* out) noexcept {
    if (form == ByteForm::Windows1252) return narrow_1252(p, n, out);
    return narrow_units(p, n, form == ByteForm::Ascii ? 0x80 : 0x100, out);
}

}  // namespace

bool text::narrow(const TextView& t, ByteForm form, std::uint8_t* out) noexcept {
    switch (t.width) {
    case 1: {
        // Text of width 1 is Latin-1: only US-ASCII and Windows-1252 may lack a byte of it.
        const auto* p = static_cast<const std::uint8_t*>(t.data);
        if (!t.ascii && form == ByteForm::Windows1252) return narrow_1252(p, t.length, out);
        if (!t.ascii && form == ByteForm::Ascii && ascii_prefix(p, t.length) != t.length) return false;
        if (t.length) std::memcpy(out, p, t.length);
        return true;
    }
    case 2: return narrow_wide(static_cast<const std::uint16_t*>(t.data), t.length, form, out);
    default: return narrow_wide(static_cast<const std::uint32_t*>(t.data), t.length, form, out);
    }
}

CodecError encode_failure(const EncodedText& e) {
    // Only the single-byte forms fail.
    if (e.form == ByteForm::Windows1252) return value_error("Failed to encode to Windows-1252");
    const TextView& t = e.text;
    const std::uint32_t limit = e.form == ByteForm::Ascii ? 0x80 : 0x100;
    std::uint32_t cp = 0;
    for (std::size_t index = 0; index < t.length; ++index) {
        cp = t.width == 1 ? static_cast<const std::uint8_t*>(t.data)[index]
           : t.width == 2 ? static_cast<const std::uint16_t*>(t.data)[index]
                          : static_cast<const std::uint32_t*>(t.data)[index];
        if (cp >= limit) break;
    }
    return character_error(cp, e.form == ByteForm::Ascii ? "US-ASCII" : "ISO-8859-1");
}

Result<EncodedText> encode_us_ascii(TextView t) { return EncodedText{t, t.length, ByteForm::Ascii, false}; }
Result<EncodedText> encode_iso_8859_1(TextView t) { return EncodedText{t, t.length, ByteForm::Latin1, false}; }
Result<EncodedText> encode_windows_1252(TextView t) {
    return EncodedText{t, t.length, ByteForm::Windows1252, false};
}

namespace {

DecodedText single_byte(Bytes bytes, TextForm form, std::uint32_t max_code_point) noexcept {
    DecodedText t;
    t.data = bytes.data;
    t.size = bytes.size;
    t.length = bytes.size;
    t.max_code_point = max_code_point;
    t.form = form;
    return t;
}

[[gnu::cold]] CodecError ascii_error(std::uint8_t byte) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string message = "Invalid US-ASCII byte: 0x";
    message += kHex[byte >> 4];
    message += kHex[byte & 0xF];
    message += " (must be <= 0x7F)";
    return value_error(std::move(message));
}

/// True when a 16-byte block holds a byte of 80..9F.
#if defined(BITLOOM_SSE2)
inline bool has_c1(__m128i v) noexcept {
    return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xE0))),
                                            _mm_set1_epi8(static_cast<char>(0x80)))) != 0;
}
#endif

inline bool is_wide_1252(std::uint8_t b) noexcept {
    const unsigned c1 = static_cast<unsigned>(b) - 0x80u;  // wraps for bytes below 0x80
    return c1 < 32 && ((text::kWindows1252Wide >> c1) & 1u);
}

/// Width class of Windows-1252 bytes: the C1 range 80..9F mostly maps above U+00FF.
std::uint32_t windows_1252_class(const std::uint8_t* p, std::size_t n) noexcept {
    std::size_t i = text::ascii_prefix(p, n);
    if (i == n) return 0x7F;
#if defined(BITLOOM_SSE2)
    for (; i + 16 <= n; i += 16) {
        if (!has_c1(text::load16(p + i))) continue;
        for (std::size_t k = i; k < i + 16; ++k)
            if (is_wide_1252(p[k])) return 0xFFFF;
    }
#endif
    for (; i < n; ++i)
        if (is_wide_1252(p[i])) return 0xFFFF;
    return 0xFF;
}

/// Text behind a byte-order mark, under the Windows-1252 decoder's own failure.
Result<DecodedText> marked(Result<DecodedText>&& text) {
    if (!text) return value_error("Failed to decode Windows-1252 bytes");
    return text;
}

#if defined(BITLOOM_AVX2)
/// 32 bytes at a time: bytes 80..9F look up the low and high bytes of their code points in
/// two 16-entry halves (bit 4 picks the half); every other byte is its own code point.
BITLOOM_TARGET_AVX2 std::size_t windows_1252_avx2(const std::uint8_t* p, std::size_t n, std::uint16_t* out) noexcept {
    alignas(16) std::uint8_t low[32], high[32];
    for (int k = 0; k < 32; ++k) {
        low[k] = static_cast<std::uint8_t>(text::kWindows1252High[k]);
        high[k] = static_cast<std::uint8_t>(text::kWindows1252High[k] >> 8);
    }
    const __m128i* l = reinterpret_cast<const __m128i*>(low);
    const __m128i* h = reinterpret_cast<const __m128i*>(high);
    const __m256i low0 = _mm256_broadcastsi128_si256(_mm_load_si128(l));
    const __m256i low1 = _mm256_broadcastsi128_si256(_mm_load_si128(l + 1));
    const __m256i high0 = _mm256_broadcastsi128_si256(_mm_load_si128(h));
    const __m256i high1 = _mm256_broadcastsi128_si256(_mm_load_si128(h + 1));
    const __m256i top3 = _mm256_set1_epi8(static_cast<char>(0xE0));
    const __m256i c1_bytes = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i bit4 = _mm256_set1_epi8(0x10);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const __m256i c1 = _mm256_cmpeq_epi8(_mm256_and_si256(v, top3), c1_bytes);
        __m256i lo = v, hi = _mm256_setzero_si256();
        if (!_mm256_testz_si256(c1, c1)) {
            const __m256i index = _mm256_and_si256(v, nibble);
            const __m256i second = _mm256_cmpeq_epi8(_mm256_and_si256(v, bit4), bit4);
            const __m256i mapped_lo = _mm256_blendv_epi8(_mm256_shuffle_epi8(low0, index),
                                                         _mm256_shuffle_epi8(low1, index), second);
            const __m256i mapped_hi = _mm256_blendv_epi8(_mm256_shuffle_epi8(high0, index),
                                                         _mm256_shuffle_epi8(high1, index), second);
            lo = _mm256_blendv_epi8(v, mapped_lo, c1);
            hi = _mm256_and_si256(mapped_hi, c1);
        }
        // Unpacking works within 128-bit lanes: units 0-7 and 16-23, then 8-15 and 24-31.
        const __m256i a = _mm256_unpacklo_epi8(lo, hi), b = _mm256_unpackhi_epi8(lo, hi);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_permute2x128_si256(a, b, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 16), _mm256_permute2x128_si256(a, b, 0x31));
    }
    return i;
}
#endif

}  // namespace

void text::widen_windows_1252(const std::uint8_t* p, std::size_t n, std::uint16_t* out) noexcept {
    std::size_t i = 0;
#if defined(BITLOOM_AVX2)
    if (use_avx2()) i = windows_1252_avx2(p, n, out);
#endif
#if defined(BITLOOM_SSE2)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        __m128i v = text::load16(p + i);
        text::store16(out + i, _mm_unpacklo_epi8(v, zero));
        text::store16(out + i + 8, _mm_unpackhi_epi8(v, zero));
        if (has_c1(v)) {
            for (std::size_t k = i; k < i + 16; ++k)
                if ((p[k] & 0xE0) == 0x80) out[k] = static_cast<std::uint16_t>(kWindows1252High[p[k] - 0x80]);
        }
    }
#endif
    for (; i < n; ++i) {
        const std::uint8_t b = p[i];
        out[i] = (b & 0xE0) == 0x80 ? static_cast<std::uint16_t>(kWindows1252High[b - 0x80]) : b;
    }
}

Result<DecodedText> decode_us_ascii(Bytes bytes) {
    const std::size_t valid = text::ascii_prefix(bytes.data, bytes.size);
    if (valid != bytes.size) return ascii_error(bytes.data[valid]);
    return single_byte(bytes, TextForm::Latin1, 0x7F);
}

Result<DecodedText> decode_iso_8859_1(Bytes bytes) {
    return single_byte(bytes, TextForm::Latin1,
                       text::ascii_prefix(bytes.data, bytes.size) == bytes.size ? 0x7F : 0xFF);
}

Result<DecodedText> decode_windows_1252(Bytes bytes) {
    const std::uint8_t* p = bytes.data;
    const std::size_t n = bytes.size;
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) return marked(decode_utf8(Bytes{p + 3, n - 3}));
    if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) return marked(decode_utf16le(Bytes{p + 2, n - 2}));
    if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) return marked(decode_utf16be(Bytes{p + 2, n - 2}));
    return single_byte(bytes, TextForm::Windows1252, windows_1252_class(p, n));
}

}  // namespace bitloom
