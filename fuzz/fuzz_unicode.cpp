// UTF-8/16/32 codecs against a plain reference: arbitrary bytes through every decoder (accepted
// input re-encodes to the same bytes, refused input gives the exact message), and arbitrary
// scalar values through every encoder and back. The in-place paths used by the module surface
// (direct::*) must agree with the ByteBuffer/Text paths byte for byte.
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/text.hpp"
#include "core/text_blocks.hpp"
#include "core/integer.hpp"
#include "core/bcd.hpp"
#include "core/ieee754.hpp"
#include "core/other_float.hpp"
#include "core/text_codecs.hpp"
#include "core/text.hpp"
#include "core/integer.hpp"
#include "core/bcd.hpp"
#include "core/ieee754.hpp"
#include "core/other_float.hpp"
#include "core/text_codecs.hpp"
#include "fuzz_check.hpp"
#include "text_reference.hpp"

using namespace bitloom;

namespace {

using namespace ref;

// Writes the described text in the width a str of it would have; each buffer is exactly as
// long as the text, so a write past its end is caught.
template <class Unit>
void check_written(const DecodedText& d, const Points& points) {
    auto out = std::make_unique<Unit[]>(points.size() + (points.empty() ? 1 : 0));
    write_text(d, out.get());
    for (std::size_t i = 0; i < points.size(); ++i) FUZZ_CHECK(out[i] == points[i]);
}

void check_direct(const Result<DecodedText>& r, const Expect& want) {
    FUZZ_CHECK(r.ok() == want.points.has_value());
    if (!r.ok()) {
        FUZZ_CHECK(fuzz::value_error(r.error(), want.message) && r.error().message == want.message);
        return;
    }
    const Points& points = *want.points;
    FUZZ_CHECK(r->length == points.size());
    FUZZ_CHECK(r->max_code_point == width_class(points));
    FUZZ_CHECK(to_utf8(*r).utf8 == utf8_of(points));
    if (r->max_code_point <= 0xFF) check_written<std::uint8_t>(*r, points);
    else if (r->max_code_point <= 0xFFFF) check_written<std::uint16_t>(*r, points);
    else check_written<std::uint32_t>(*r, points);
}

void check_decode(const Result<Text>& r, const Expect& want) {
    FUZZ_CHECK(r.ok() == want.points.has_value());
    if (!r.ok()) {
        FUZZ_CHECK(r.error().kind == ErrorKind::ValueError);
        FUZZ_CHECK(r.error().message == want.message);
        return;
    }
    FUZZ_CHECK(r->utf8 == utf8_of(*want.points));
}

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

void decode_all(const std::uint8_t* p, std::size_t n) {
    const Bytes bytes{p, n};
    const Expect utf8 = ref_utf8(p, n);
    check_decode(decode_utf8(bytes), utf8);
    check_direct(direct::decode_utf8(bytes), utf8);
    if (utf8.points) {
        // Accepted UTF-8 is its own encoding.
        auto again = encode_utf8(to_utf8(*direct::decode_utf8(bytes)).utf8);
        FUZZ_CHECK(again.ok() && fuzz::same(*again, fuzz::view(p, n)));
    }
    for (bool little : {false, true}) {
        const Expect u16 = ref_utf16(p, n, little), u32 = ref_utf32(p, n, little);
        check_decode(decode_utf16_with_endianness(bytes, little), u16);
        check_decode(decode_utf32_with_endianness(bytes, little), u32);
        check_decode(little ? decode_utf16le(bytes) : decode_utf16be(bytes), u16);
        check_decode(little ? decode_utf32le(bytes) : decode_utf32be(bytes), u32);
        check_direct(little ? direct::decode_utf16le(bytes) : direct::decode_utf16be(bytes), u16);
        check_direct(little ? direct::decode_utf32le(bytes) : direct::decode_utf32be(bytes), u32);
        if (u16.points) {
            auto again = little ? encode_utf16le(utf8_of(*u16.points)) : encode_utf16be(utf8_of(*u16.points));
            FUZZ_CHECK(again.ok() && fuzz::same(*again, fuzz::view(p, n)));
        }
        if (u32.points) {
            auto again = little ? encode_utf32le(utf8_of(*u32.points)) : encode_utf32be(utf8_of(*u32.points));
            FUZZ_CHECK(again.ok() && fuzz::same(*again, fuzz::view(p, n)));
        }
    }
    const Expect m16 = ref_utf16_marked(p, n), m32 = ref_utf32_marked(p, n);
    check_decode(decode_utf16(bytes), m16);
    check_decode(decode_utf32(bytes), m32);
    check_direct(direct::decode_utf16(bytes), m16);
    check_direct(direct::decode_utf32(bytes), m32);
}

template <class Encoded>
void check_written_bytes(const Result<Encoded>& r, const std::string& want) {
    FUZZ_CHECK(r.ok());
    FUZZ_CHECK(r->size == want.size());
    auto out = std::make_unique<std::uint8_t[]>(want.size() + (want.empty() ? 1 : 0));
    FUZZ_CHECK(write_bytes(*r, out.get()));
    FUZZ_CHECK(fuzz::view(out.get(), want.size()) == want);
}

void encode_all(const Points& points) {
    const std::string text = utf8_of(points);
    const StrStorage str(points);
    FUZZ_CHECK(!text::has_surrogate(str.view));

    auto u8 = encode_utf8(text);
    FUZZ_CHECK(u8.ok() && fuzz::same(*u8, text));
    check_written_bytes(direct::encode_utf8(text), text);
    auto back = decode_utf8(Bytes{u8->data(), u8->size()});
    FUZZ_CHECK(back.ok() && back->utf8 == text);

    struct Form {
        Result<ByteBuffer> (*encode)(std::string_view);
        Result<EncodedView> (*direct)(TextView);
        Result<Text> (*decode)(Bytes);
        std::string want;
    };
    const std::string be16 = utf16_of(points, false), be32 = utf32_of(points, false);
    const Form forms[] = {
        {encode_utf16be, direct::encode_utf16be, decode_utf16be, be16},
        {encode_utf16le, direct::encode_utf16le, decode_utf16le, utf16_of(points, true)},
        {encode_utf16, direct::encode_utf16, decode_utf16, std::string("\xFE\xFF", 2) + be16},
        {encode_utf32be, direct::encode_utf32be, decode_utf32be, be32},
        {encode_utf32le, direct::encode_utf32le, decode_utf32le, utf32_of(points, true)},
        {encode_utf32, direct::encode_utf32, decode_utf32, std::string("\0\0\xFE\xFF", 4) + be32},
    };
    for (const Form& form : forms) {
        auto encoded = form.encode(text);
        FUZZ_CHECK(encoded.ok() && fuzz::same(*encoded, form.want));
        check_written_bytes(form.direct(str.view), form.want);
        auto decoded = form.decode(Bytes{encoded->data(), encoded->size()});
        FUZZ_CHECK(decoded.ok() && decoded->utf8 == text);
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
