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

/// Code points above U+00FF that Windows-1252 holds, sorted, with their bytes.
struct HighByte {
    char16_t code_point;
    std::uint8_t byte;
};
constexpr auto kWindows1252Encode = [] {
    std::array<HighByte, 27> table{};
    std::size_t k = 0;
    for (unsigned i = 0; i < 32; ++i)
        if (text::kWindows1252High[i] > 0xFF)
            table[k++] = {text::kWindows1252High[i], static_cast<std::uint8_t>(0x80 + i)};
    std::sort(table.begin(), table.end(),
              [](HighByte a, HighByte b) { return a.code_point < b.code_point; });
    return table;
}();

/// The Windows-1252 byte of a code point, or -1 when it has none.
int windows_1252_byte(char32_t cp) noexcept {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
    if (cp < 0xA0) {
        // Of the C1 controls only the five that the index leaves unassigned round-trip.
        const unsigned c1 = static_cast<unsigned>(cp) - 0x80u;
        return (text::kWindows1252Wide >> c1) & 1u ? -1 : static_cast<int>(cp);
    }
    if (cp > 0xFFFF) return -1;
    const auto* it = std::lower_bound(
        kWindows1252Encode.begin(), kWindows1252Encode.end(), cp,
        [](HighByte entry, char32_t key) { return char32_t{entry.code_point} < key; });
    if (it == kWindows1252Encode.end() || it->code_point != cp) return -1;
    return it->byte;
}

#if defined(BITLOOM_SSE2)
/// Copies 16-byte ASCII blocks from p[i] on; stops before the first block holding another byte.
inline void copy_ascii_blocks(const std::uint8_t* p, std::size_t n, std::size_t& i,
                              std::uint8_t*& out) noexcept {
    for (; i + 16 <= n; i += 16, out += 16) {
        __m128i v = text::load16(p + i);
        if (_mm_movemask_epi8(v)) break;
        text::store16(out, v);
    }
}
#endif

}  // namespace

void text::write_latin1(const std::uint8_t* p, std::size_t n, std::uint8_t* out) noexcept {
    std::size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
#if defined(BITLOOM_SSE2)
            copy_ascii_blocks(p, n, i, out);
#endif
            while (i < n && p[i] < 0x80) *out++ = p[i++];
            continue;
        }
        // Only C2 and C3 leads reach here: two bytes, 110000xx 10xxxxxx.
        *out++ = static_cast<std::uint8_t>((p[i] << 6) | (p[i + 1] & 0x3F));
        i += 2;
    }
}

void text::write_windows_1252(const std::uint8_t* p, std::size_t n, std::uint8_t* out) noexcept {
    std::size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
#if defined(BITLOOM_SSE2)
            copy_ascii_blocks(p, n, i, out);
#endif
            while (i < n && p[i] < 0x80) *out++ = p[i++];
            continue;
        }
        std::size_t len = 0;
        *out++ = static_cast<std::uint8_t>(windows_1252_byte(text::read_utf8(p + i, len)));
        i += len;
    }
}

namespace direct {

Result<EncodedText> encode_us_ascii(std::string_view t) {
    const std::size_t valid = text::ascii_prefix(bytes_of(t), t.size());
    if (valid != t.size()) return character_error(t, valid, "US-ASCII");
    return EncodedText{t, t.size(), ByteForm::Utf8, false};
}

Result<EncodedText> encode_iso_8859_1(std::string_view t) {
    const std::uint8_t* p = bytes_of(t);
    const std::size_t n = t.size();
    std::size_t i = 0, count = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            const std::size_t run = text::ascii_prefix(p + i, n - i);
            i += run;
            count += run;
            continue;
        }
        // Leads C2 and C3 start U+0080 to U+00FF; every higher lead starts a larger code point.
        if (p[i] > 0xC3) return character_error(t, i, "ISO-8859-1");
        i += 2;
        ++count;
    }
    return EncodedText{t, count, ByteForm::Latin1, false};
}

Result<EncodedText> encode_windows_1252(std::string_view t) {
    const std::uint8_t* p = bytes_of(t);
    const std::size_t n = t.size();
    std::size_t i = 0, count = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            const std::size_t run = text::ascii_prefix(p + i, n - i);
            i += run;
            count += run;
            continue;
        }
        std::size_t len = 0;
        if (windows_1252_byte(text::read_utf8(p + i, len)) < 0)
            return value_error("Failed to encode to Windows-1252");
        i += len;
        ++count;
    }
    return EncodedText{t, count, ByteForm::Windows1252, false};
}

}  // namespace direct

namespace {
Result<ByteBuffer> buffered(Result<EncodedText>&& plan) {
    if (!plan.ok()) return std::move(plan.error());
    return to_buffer(plan.value());
}
}  // namespace

Result<ByteBuffer> encode_us_ascii(std::string_view t) { return buffered(direct::encode_us_ascii(t)); }
Result<ByteBuffer> encode_iso_8859_1(std::string_view t) { return buffered(direct::encode_iso_8859_1(t)); }
Result<ByteBuffer> encode_windows_1252(std::string_view t) { return buffered(direct::encode_windows_1252(t)); }

}  // namespace bitloom
