// US-ASCII, ISO-8859-1 and Windows-1252 against a table-driven reference: arbitrary bytes through
// the decoders (the Windows-1252 byte-order-mark detours included; accepted input encodes back to
// the same bytes), arbitrary code points, stored at every str width that holds them, through the
// encoders.
#include <string>

#include "core/single_byte.hpp"
#include "core/text_blocks.hpp"
#include "fuzz_check.hpp"
#include "text_reference.hpp"

using namespace bitloom;
using namespace ref;

namespace {

// 0x80..0x9F of the WHATWG windows-1252 index; the rest of the bytes map to themselves.
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t w1252_decode(std::uint8_t b) { return b >= 0x80 && b < 0xA0 ? kHigh[b - 0x80] : b; }

int w1252_encode(char32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
    for (int i = 0; i < 32; ++i)
        if (kHigh[i] == c) return 0x80 + i;
    return -1;
}

Expect ref_ascii(const std::uint8_t* p, std::size_t n) {
    Points points;
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] > 0x7F) {
            char msg[64];
            std::snprintf(msg, sizeof msg, "Invalid US-ASCII byte: 0x%02X (must be <= 0x7F)", p[i]);
            return {std::nullopt, msg};
        }
        points.push_back(p[i]);
    }
    return {points, {}};
}

Expect ref_windows_1252(const std::uint8_t* p, std::size_t n) {
    Expect marked;
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) marked = ref_utf8(p + 3, n - 3);
    else if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) marked = ref_utf16(p + 2, n - 2, true);
    else if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) marked = ref_utf16(p + 2, n - 2, false);
    else {
        Points points;
        for (std::size_t i = 0; i < n; ++i) points.push_back(w1252_decode(p[i]));
        return {points, {}};
    }
    if (!marked.points) marked.message = "Failed to decode Windows-1252 bytes";
    return marked;
}

void decode_all(const std::uint8_t* p, std::size_t n) {
    const Bytes bytes{p, n};
    const std::string input(fuzz::view(p, n));
    const Expect ascii = ref_ascii(p, n);
    check_decoded(decode_us_ascii(bytes), ascii);
    const Points latin1(p, p + n);
    check_decoded(decode_iso_8859_1(bytes), Expect{latin1, {}});
    const Expect w1252 = ref_windows_1252(p, n);
    check_decoded(decode_windows_1252(bytes), w1252);

    // Decoded single-byte text encodes back to its bytes (Windows-1252 only without a mark).
    check_encoded(encode_iso_8859_1, latin1, input);
    if (ascii.points) check_encoded(encode_us_ascii, *ascii.points, input);
    const bool marked = (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) ||
                        (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF)));
    if (!marked) check_encoded(encode_windows_1252, *w1252.points, input);
}

std::string character_message(char32_t c, const char* encoding) {
    std::string ch;
    put_utf8(ch, c);
    char code[16];
    std::snprintf(code, sizeof code, "%04X", static_cast<unsigned>(c));
    return "Character '" + ch + "' (U+" + code + ") is not valid " + encoding;
}

// An encoder against the reference: the bytes, or the first failure.
void check_encoder(Encoder encode, const Points& points, int (*byte_of)(char32_t), const std::string& failure) {
    std::string want;
    for (char32_t c : points) {
        const int b = byte_of(c);
        if (b < 0) return check_encoded(encode, points, std::nullopt, failure);
        want += static_cast<char>(b);
    }
    check_encoded(encode, points, want);
}

void encode_all(const Points& points) {
    auto first_above = [&](char32_t limit) -> std::string {
        for (char32_t c : points)
            if (c > limit) return character_message(c, limit == 0x7F ? "US-ASCII" : "ISO-8859-1");
        return {};
    };
    check_encoder(encode_us_ascii, points,
                  [](char32_t c) { return c <= 0x7F ? static_cast<int>(c) : -1; }, first_above(0x7F));
    check_encoder(encode_iso_8859_1, points,
                  [](char32_t c) { return c <= 0xFF ? static_cast<int>(c) : -1; }, first_above(0xFF));
    check_encoder(encode_windows_1252, points, w1252_encode,
                  "Failed to encode to Windows-1252");
}

void one_input(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    if (data[0] & 1) {
        decode_all(data + 1, size - 1);
        return;
    }
    // Mostly code points that single-byte encodings have, with the odd one that they lack.
    FuzzedDataProvider in(data + 1, size - 1);
    Points points;
    while (in.remaining_bytes() > 0 && points.size() < 4096) {
        const std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
        char32_t c;
        if (pick < 0x80) c = pick;
        else if (pick < 0xE0) c = in.ConsumeIntegral<std::uint8_t>();
        else if (pick < 0xF8) c = kHigh[pick & 31];
        else {
            c = in.ConsumeIntegralInRange<char32_t>(0x100, 0x10FFFF);
            if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        }
        points.insert(points.end(), pick & 0x40 ? in.ConsumeIntegralInRange<std::size_t>(1, 33) : 1, c);
    }
    encode_all(points);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Every input through the processor's wide block paths (where it has them) and the portable ones.
    for (bool portable : {false, true}) {
        text::portable_paths_only() = portable;
        one_input(data, size);
    }
    return 0;
}
