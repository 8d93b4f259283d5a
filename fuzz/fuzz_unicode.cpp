// UTF-8/16/32 codecs against a plain reference: arbitrary bytes through every decoder (accepted
// input writes the reference's code points and encodes back to the same bytes, refused input
// gives the exact message), and arbitrary scalar values, stored at every str width that holds
// them, through every encoder and back.
#include <string>

#include "core/text_blocks.hpp"
#include "core/unicode.hpp"
#include "fuzz_check.hpp"
#include "text_reference.hpp"

using namespace bitloom;

namespace {

using namespace ref;

std::string utf16_of(const Points& points, bool little) {
    std::string out;
    auto put = [&](char32_t u) {
        const char a = static_cast<char>(u >> 8), b = static_cast<char>(u & 0xFF);
        out += little ? b : a;
        out += little ? a : b;
    };
    for (char32_t c : points) {
        if (c < 0x10000) {
            put(c);
        } else {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return out;
}

std::string utf32_of(const Points& points, bool little) {
    std::string out;
    for (char32_t c : points)
        for (int k = 0; k < 4; ++k) out += static_cast<char>(c >> (little ? 8 * k : 24 - 8 * k));
    return out;
}

Bytes bytes_of(const std::string& s) { return Bytes{reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

void decode_all(const std::uint8_t* p, std::size_t n) {
    const Bytes bytes{p, n};
    const std::string input(fuzz::view(p, n));
    const Expect utf8 = ref_utf8(p, n);
    check_decoded(decode_utf8(bytes), utf8);
    if (utf8.points) {
        // Accepted UTF-8 is its own encoding.
        auto again = encode_utf8(input);
        FUZZ_CHECK(again.ok() && fuzz::view(again->data, again->size) == input);
    }
    for (bool little : {false, true}) {
        const Expect u16 = ref_utf16(p, n, little), u32 = ref_utf32(p, n, little);
        check_decoded(little ? decode_utf16le(bytes) : decode_utf16be(bytes), u16);
        check_decoded(little ? decode_utf32le(bytes) : decode_utf32be(bytes), u32);
        if (u16.points) check_encoded(little ? encode_utf16le : encode_utf16be, *u16.points, input);
        if (u32.points) check_encoded(little ? encode_utf32le : encode_utf32be, *u32.points, input);
    }
    check_decoded(decode_utf16(bytes), ref_utf16_marked(p, n));
    check_decoded(decode_utf32(bytes), ref_utf32_marked(p, n));
}

void encode_all(const Points& points) {
    const Expect same{points, {}};
    const std::string text = utf8_of(points);
    auto u8 = encode_utf8(text);
    FUZZ_CHECK(u8.ok() && u8->data == reinterpret_cast<const std::uint8_t*>(text.data()) && u8->size == text.size());
    check_decoded(decode_utf8(*u8), same);

    struct Form {
        Encoder encode;
        Result<DecodedText> (*decode)(Bytes);
        std::string want;
    };
    const std::string be16 = utf16_of(points, false), be32 = utf32_of(points, false);
    const Form forms[] = {
        {encode_utf16be, decode_utf16be, be16},
        {encode_utf16le, decode_utf16le, utf16_of(points, true)},
        {encode_utf16, decode_utf16, std::string("\xFE\xFF", 2) + be16},
        {encode_utf32be, decode_utf32be, be32},
        {encode_utf32le, decode_utf32le, utf32_of(points, true)},
        {encode_utf32, decode_utf32, std::string("\0\0\xFE\xFF", 4) + be32},
    };
    for (const Form& form : forms) {
        check_encoded(form.encode, points, form.want);
        check_decoded(form.decode(bytes_of(form.want)), same);
    }
}

void one_input(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        decode_all(data, 0);
        encode_all({});
        return;
    }
    // The first byte picks the direction; the rest is the input.
    if (data[0] & 1) {
        decode_all(data + 1, size - 1);
    } else {
        FuzzedDataProvider in(data + 1, size - 1);
        encode_all(draw_points(in));
    }
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
