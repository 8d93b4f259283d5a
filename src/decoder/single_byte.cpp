#include <string>

#include "decoded_text.hpp"
#include "decoder.hpp"
#include "text_blocks.hpp"

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

void text::write_windows_1252(const std::uint8_t* p, std::size_t n, std::uint16_t* out) noexcept {
    std::size_t i = 0;
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
