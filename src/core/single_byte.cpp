#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "text_blocks.hpp"
#include "text.hpp"
#include "text_codecs.hpp"

namespace bitloom {

namespace {

const std::uint8_t* bytes_of(std::string_view t) noexcept {
    return reinterpret_cast<const std::uint8_t*>(t.data());
}

/// "Character '{char}' (U+{code}) is not valid {name}" for the code point at byte `index`.
[[gnu::cold]] CodecError character_error(std::string_view t, std::size_t index, const char* name) {
    std::size_t len = 0;
    const char32_t cp = text::read_utf8(bytes_of(t) + index, len);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string code;
    for (int shift = 20; shift >= 0; shift -= 4)
        if (shift < 16 || (cp >> shift) != 0) code += kHex[(cp >> shift) & 0xF];
    std::string message = "Character '";
    message += t.substr(index, len);
    message += "' (U+" + code + ") is not valid " + name;
    return value_error(std::move(message));
}

/// Bytes of the code points U+0100 to U+2122 (the largest above U+00FF that Windows-1252
/// holds); 0 where there is none.
constexpr std::uint32_t kHighFirst = 0x100, kHighLast = 0x2122;
constexpr auto kWindows1252Encode = [] {
    std::array<std::uint8_t, kHighLast - kHighFirst + 1> table{};
    for (unsigned i = 0; i < 32; ++i)
        if (text::kWindows1252High[i] > 0xFF)
            table[text::kWindows1252High[i] - kHighFirst] = static_cast<std::uint8_t>(0x80 + i);
    return table;
}();

/// The Windows-1252 byte of a code point, or -1 when it has none.
constexpr int windows_1252_byte(char32_t cp) noexcept {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
    if (cp < 0xA0) {
        // Of the C1 controls only the five that the index leaves unassigned round-trip.
        const unsigned c1 = static_cast<unsigned>(cp) - 0x80u;
        return (text::kWindows1252Wide >> c1) & 1u ? -1 : static_cast<int>(cp);
    }
    if (cp > kHighLast) return -1;
    const std::uint8_t byte = kWindows1252Encode[cp - kHighFirst];
    return byte ? byte : -1;
}

/// Copies 16-byte ASCII blocks from p[i] on; stops before the first block holding another byte.
inline void copy_ascii_blocks(const std::uint8_t* p, std::size_t n, std::size_t& i,
                              std::uint8_t*& out) noexcept {
#if defined(BITLOOM_SSE2)
    for (; i + 16 <= n; i += 16, out += 16) {
        __m128i v = text::load16(p + i);
        if (_mm_movemask_epi8(v)) break;
        text::store16(out, v);
    }
#else
    (void)p, (void)n, (void)i, (void)out;
#endif
}

/// Code points of UTF-8 (its lead bytes), with the ASCII prefix found fast.
std::size_t code_points(std::string_view t) noexcept {
    const std::uint8_t* p = bytes_of(t);
    const std::size_t ascii = text::ascii_prefix(p, t.size());
    return ascii + text::count_leads(p + ascii, t.size() - ascii).leads;
}

}  // namespace

bool text::write_ascii(const std::uint8_t* p, std::size_t n, std::uint8_t* out) noexcept {
    std::size_t i = 0;
#if defined(BITLOOM_SSE2)
    // The output is as long as the input, so a block may be stored before it is judged.
    for (; i + 64 <= n; i += 64, out += 64) {
        __m128i a = text::load16(p + i), b = text::load16(p + i + 16);
        __m128i c = text::load16(p + i + 32), d = text::load16(p + i + 48);
        text::store16(out, a);
        text::store16(out + 16, b);
        text::store16(out + 32, c);
        text::store16(out + 48, d);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)))) return false;
    }
#endif
    copy_ascii_blocks(p, n, i, out);
    for (; i < n; ++i) {
        if (p[i] >= 0x80) return false;
        *out++ = p[i];
    }
    return true;
}

namespace {

/// UTF-8 into single bytes: ASCII runs are copied in blocks, every other character goes through
/// `map`, which gives its byte (or -1 when the encoding lacks it) and sets its UTF-8 length.
template <class Map>
bool write_mapped(const std::uint8_t* p, std::size_t n, std::uint8_t* out, Map map) noexcept {
    std::size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            copy_ascii_blocks(p, n, i, out);
            while (i < n && p[i] < 0x80) *out++ = p[i++];
            continue;
        }
        std::size_t len = 0;
        const int byte = map(p + i, len);
        if (byte < 0) return false;
        *out++ = static_cast<std::uint8_t>(byte);
        i += len;
    }
    return true;
}

}  // namespace

bool text::write_latin1(const std::uint8_t* p, std::size_t n, std::uint8_t* out) noexcept {
    return write_mapped(p, n, out, [](const std::uint8_t* c, std::size_t& len) {
        // Leads C2 and C3 start U+0080 to U+00FF (110000xx 10xxxxxx); higher leads start
        // larger code points.
        if (c[0] > 0xC3) return -1;
        len = 2;
        return ((c[0] << 6) | (c[1] & 0x3F)) & 0xFF;
    });
}

bool text::write_windows_1252(const std::uint8_t* p, std::size_t n, std::uint8_t* out) noexcept {
    return write_mapped(p, n, out, [](const std::uint8_t* c, std::size_t& len) {
        return windows_1252_byte(text::read_utf8(c, len));
    });
}

CodecError text::single_byte_failure(std::string_view t, ByteForm form) {
    const std::uint8_t* p = bytes_of(t);
    const std::size_t n = t.size();
    if (form == ByteForm::Ascii) return character_error(t, text::ascii_prefix(p, n), "US-ASCII");
    if (form == ByteForm::Latin1) {
        std::size_t i = 0;
        while (i < n && p[i] <= 0xC3) ++i;  // continuation bytes of C2/C3 are below C4 too
        return character_error(t, i < n ? i : 0, "ISO-8859-1");
    }
    return value_error("Failed to encode to Windows-1252");
}

namespace {

/// Windows-1252 bytes of U+0000 to U+2122 (the largest code point it holds), 0x100 where
/// there is none.
constexpr auto kWindows1252Bytes = [] {
    std::array<std::uint16_t, kHighLast + 1> table{};
    for (unsigned cp = 0; cp <= kHighLast; ++cp) {
        const int byte = windows_1252_byte(cp);
        table[cp] = byte < 0 ? 0x100 : static_cast<std::uint16_t>(byte);
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

}  // namespace

bool text::narrow_ascii(const TextView& t, std::uint8_t* out) noexcept {
    switch (t.width) {
    case 1:
        if (t.ascii) {
            if (t.length) std::memcpy(out, t.data, t.length);
            return true;
        }
        return write_ascii(static_cast<const std::uint8_t*>(t.data), t.length, out);
    case 2: return narrow_units(static_cast<const std::uint16_t*>(t.data), t.length, 0x80, out);
    default: return narrow_units(static_cast<const std::uint32_t*>(t.data), t.length, 0x80, out);
    }
}

bool text::narrow_latin1(const TextView& t, std::uint8_t* out) noexcept {
    switch (t.width) {
    case 1:
        if (t.length) std::memcpy(out, t.data, t.length);
        return true;
    case 2: return narrow_units(static_cast<const std::uint16_t*>(t.data), t.length, 0x100, out);
    default: return narrow_units(static_cast<const std::uint32_t*>(t.data), t.length, 0x100, out);
    }
}

bool text::narrow_windows_1252(const TextView& t, std::uint8_t* out) noexcept {
    switch (t.width) {
    case 1:
        if (t.ascii) {
            if (t.length) std::memcpy(out, t.data, t.length);
            return true;
        }
        return narrow_1252(static_cast<const std::uint8_t*>(t.data), t.length, out);
    case 2: return narrow_1252(static_cast<const std::uint16_t*>(t.data), t.length, out);
    default: return narrow_1252(static_cast<const std::uint32_t*>(t.data), t.length, out);
    }
}

CodecError text::single_byte_failure(const TextView& t, ByteForm form) {
    if (form == ByteForm::Windows1252) return value_error("Failed to encode to Windows-1252");
    const std::uint32_t limit = form == ByteForm::Ascii ? 0x80 : 0x100;
    std::size_t index = 0;
    std::uint32_t cp = 0;
    for (; index < t.length; ++index) {
        cp = t.width == 1 ? static_cast<const std::uint8_t*>(t.data)[index]
           : t.width == 2 ? static_cast<const std::uint16_t*>(t.data)[index]
                          : static_cast<const std::uint32_t*>(t.data)[index];
        if (cp >= limit) break;
    }
    char utf8[4];
    const std::size_t len = text::write_utf8(cp, utf8);
    return character_error(std::string_view(utf8, len), 0,
                           form == ByteForm::Ascii ? "US-ASCII" : "ISO-8859-1");
}

namespace direct {

Result<EncodedView> encode_us_ascii(TextView t) { return EncodedView{t, t.length, ByteForm::Ascii, false}; }
Result<EncodedView> encode_iso_8859_1(TextView t) { return EncodedView{t, t.length, ByteForm::Latin1, false}; }
Result<EncodedView> encode_windows_1252(TextView t) {
    return EncodedView{t, t.length, ByteForm::Windows1252, false};
}

}  // namespace direct

Result<ByteBuffer> encode_us_ascii(std::string_view t) {
    return to_buffer(EncodedText{t, t.size(), ByteForm::Ascii, false});
}
Result<ByteBuffer> encode_iso_8859_1(std::string_view t) {
    return to_buffer(EncodedText{t, code_points(t), ByteForm::Latin1, false});
}
Result<ByteBuffer> encode_windows_1252(std::string_view t) {
    return to_buffer(EncodedText{t, code_points(t), ByteForm::Windows1252, false});
}

}  // namespace bitloom

namespace bitloom {

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

}  // namespace

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

void text::write_windows_1252(const std::uint8_t* p, std::size_t n, std::uint16_t* out) noexcept {
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

namespace direct {

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
    // A byte-order mark overrides the label, as web decoders do.
    const std::uint8_t* p = bytes.data;
    const std::size_t n = bytes.size;
    DecodedText t;
    bool ok = true;
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        ok = text::describe_utf8(Bytes{p + 3, n - 3}, t);
    } else if (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
        ok = n % 2 == 0 && text::describe_utf16(Bytes{p + 2, n - 2}, p[0] == 0xFF, t);
    } else {
        return single_byte(bytes, TextForm::Windows1252, windows_1252_class(p, n));
    }
    if (!ok) return value_error("Failed to decode Windows-1252 bytes");
    return t;
}

}  // namespace direct

namespace {
Result<Text> as_utf8(Result<DecodedText>&& plan) {
    if (!plan.ok()) return std::move(plan.error());
    return to_utf8(plan.value());
}
}  // namespace

Result<Text> decode_us_ascii(Bytes bytes) { return as_utf8(direct::decode_us_ascii(bytes)); }
Result<Text> decode_iso_8859_1(Bytes bytes) { return as_utf8(direct::decode_iso_8859_1(bytes)); }
Result<Text> decode_windows_1252(Bytes bytes) { return as_utf8(direct::decode_windows_1252(bytes)); }

}  // namespace bitloom
