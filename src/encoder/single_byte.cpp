#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "../decoder/text_blocks.hpp"
#include "encoded_text.hpp"
#include "encoder.hpp"

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
