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
