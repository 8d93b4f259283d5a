// Plain, slow reference decoders and encoders for the text fuzz targets: code points in and out,
// one byte range at a time, as the Unicode Standard and the WHATWG index define them. Below them,
// the checks of a codec against the reference: what a decoder's result writes into a str's
// storage, and what an encoder writes from a str's storage into bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "core/text.hpp"
#include "fuzz_check.hpp"

namespace ref {

using Points = std::vector<char32_t>;

struct Expect {
    std::optional<Points> points;  // empty: refused with `message`
    std::string message;
};

inline void put_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

inline std::string utf8_of(const Points& points) {
    std::string out;
    for (char32_t c : points) put_utf8(out, c);
    return out;
}

// Well-formed UTF-8 by the table of the Unicode Standard, one byte range per position.
inline Expect ref_utf8(const std::uint8_t* p, std::size_t n) {
    Points points;
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t b = p[i];
        if (b < 0x80) {
            points.push_back(b);
            ++i;
            continue;
        }
        std::size_t need;
        std::uint8_t lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) need = 1;
        else if (b == 0xE0) need = 2, lo = 0xA0;
        else if (b == 0xED) need = 2, hi = 0x9F;
        else if (b >= 0xE1 && b <= 0xEF) need = 2;
        else if (b == 0xF0) need = 3, lo = 0x90;
        else if (b == 0xF4) need = 3, hi = 0x8F;
        else if (b >= 0xF1 && b <= 0xF3) need = 3;
        else return {std::nullopt, "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index " + std::to_string(i)};
        char32_t c = b & (0x3F >> need);
        for (std::size_t k = 1; k <= need; ++k) {
            if (i + k >= n)
                return {std::nullopt, "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index " + std::to_string(i)};
            const std::uint8_t t = p[i + k];
            if (t < (k == 1 ? lo : 0x80) || t > (k == 1 ? hi : 0xBF))
                return {std::nullopt, "Invalid UTF-8 bytes: invalid utf-8 sequence of " + std::to_string(k) +
                                          " bytes from index " + std::to_string(i)};
            c = (c << 6) | (t & 0x3F);
        }
        points.push_back(c);
        i += need + 1;
    }
    return {points, {}};
}

inline Expect ref_utf16(const std::uint8_t* p, std::size_t n, bool little) {
    if (n % 2) return {std::nullopt, "UTF-16 requires an even number of bytes"};
    Points points;
    auto unit = [&](std::size_t i) -> char32_t {
        return little ? p[i] | p[i + 1] << 8 : p[i] << 8 | p[i + 1];
    };
    const Expect lone{std::nullopt, "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"};
    for (std::size_t i = 0; i < n; i += 2) {
        const char32_t u = unit(i);
        if (u >= 0xDC00 && u <= 0xDFFF) return lone;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 2 >= n) return lone;
            const char32_t v = unit(i + 2);
            if (v < 0xDC00 || v > 0xDFFF) return lone;
            points.push_back(0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
            i += 2;
        } else {
            points.push_back(u);
        }
    }
    return {points, {}};
}

inline Expect ref_utf32(const std::uint8_t* p, std::size_t n, bool little) {
    if (n % 4) return {std::nullopt, "UTF-32 requires a multiple of 4 bytes"};
    Points points;
    for (std::size_t i = 0; i < n; i += 4) {
        const std::uint32_t u = little ? p[i] | p[i + 1] << 8 | p[i + 2] << 16 | std::uint32_t{p[i + 3]} << 24
                                       : std::uint32_t{p[i]} << 24 | p[i + 1] << 16 | p[i + 2] << 8 | p[i + 3];
        if ((u >= 0xD800 && u <= 0xDFFF) || u > 0x10FFFF) {
            char hex[9];
            std::snprintf(hex, sizeof hex, "%08X", u);
            return {std::nullopt, std::string("Invalid UTF-32 codepoint: 0x") + hex};
        }
        points.push_back(u);
    }
    return {points, {}};
}

inline Expect ref_utf16_marked(const std::uint8_t* p, std::size_t n) {
    if (n < 2 || n % 2) return {std::nullopt, "UTF-16 requires an even number of bytes with at least 2 bytes"};
    if (p[0] == 0xFF && p[1] == 0xFE) return ref_utf16(p + 2, n - 2, true);
    if (p[0] == 0xFE && p[1] == 0xFF) return ref_utf16(p + 2, n - 2, false);
    return ref_utf16(p, n, false);
}

inline Expect ref_utf32_marked(const std::uint8_t* p, std::size_t n) {
    if (n < 4 || n % 4) return {std::nullopt, "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"};
    static const std::uint8_t le[4] = {0xFF, 0xFE, 0, 0}, be[4] = {0, 0, 0xFE, 0xFF};
    if (!std::memcmp(p, le, 4)) return ref_utf32(p + 4, n - 4, true);
    if (!std::memcmp(p, be, 4)) return ref_utf32(p + 4, n - 4, false);
    return ref_utf32(p, n, false);
}

inline std::uint32_t width_class(const Points& points) {
    char32_t top = 0;
    for (char32_t c : points) top = c > top ? c : top;
    return top < 0x80 ? 0x7F : top < 0x100 ? 0xFF : top < 0x10000 ? 0xFFFF : 0x10FFFF;
}

// The width of the narrowest str that holds these code points.
inline unsigned narrowest_width(const Points& points) {
    const std::uint32_t cls = width_class(points);
    return cls <= 0xFF ? 1 : cls <= 0xFFFF ? 2 : 4;
}

// A str's storage of these code points at `width` bytes each (at least the narrowest width).
// The buffer is exactly as long as the text, so a read past its end is caught.
struct StrStorage {
    std::unique_ptr<std::uint8_t[]> b1;
    std::unique_ptr<std::uint16_t[]> b2;
    std::unique_ptr<std::uint32_t[]> b4;
    bitloom::TextView view;
    StrStorage(const Points& points, unsigned width) {
        const void* data;
        if (width == 1) data = fill(b1, points);
        else if (width == 2) data = fill(b2, points);
        else data = fill(b4, points);
        view = bitloom::TextView{data, points.size(), static_cast<std::uint8_t>(width),
                                 width == 1 && width_class(points) == 0x7F};
    }
    template <class Unit>
    static const Unit* fill(std::unique_ptr<Unit[]>& units, const Points& points) {
        units = std::make_unique<Unit[]>(points.size());
        for (std::size_t i = 0; i < points.size(); ++i) units[i] = static_cast<Unit>(points[i]);
        return units.get();
    }
};

// The code points a decoder's result writes in the width that its max_code_point calls for,
// into a buffer exactly as long as the text.
template <class Unit>
Points written_units(const bitloom::DecodedText& d) {
    auto out = std::make_unique<Unit[]>(d.length);
    bitloom::write_text(d, out.get());
    return Points(out.get(), out.get() + d.length);
}

inline Points written(const bitloom::DecodedText& d) {
    if (d.max_code_point <= 0xFF) return written_units<std::uint8_t>(d);
    if (d.max_code_point <= 0xFFFF) return written_units<std::uint16_t>(d);
    return written_units<std::uint32_t>(d);
}

// A decoder's result against the reference: the code points it writes, or the exact failure.
inline void check_decoded(const bitloom::Result<bitloom::DecodedText>& r, const Expect& want) {
    FUZZ_CHECK(r.ok() == want.points.has_value());
    if (!r.ok()) {
        FUZZ_CHECK(r.error().kind == bitloom::ErrorKind::ValueError && r.error().message == want.message);
        return;
    }
    const Points& points = *want.points;
    FUZZ_CHECK(r->length == points.size());
    FUZZ_CHECK(r->max_code_point == width_class(points));
    FUZZ_CHECK(written(*r) == points);
}

using Encoder = bitloom::Result<bitloom::EncodedText> (*)(bitloom::TextView);

// An encoder against the reference, with the code points stored at every str width that holds
// them: the bytes `want`, written into exactly `size` bytes, or when `want` is empty the failure
// `message`, which the encoder leaves to the writing.
inline void check_encoded(Encoder encode, const Points& points, const std::optional<std::string>& want,
                          const std::string& message = {}) {
    for (unsigned width = narrowest_width(points); width <= 4; width *= 2) {
        const StrStorage str(points, width);
        FUZZ_CHECK(!bitloom::text::has_surrogate(str.view));
        auto r = encode(str.view);
        FUZZ_CHECK(r.ok());
        // Only the single-byte forms fail, and their size is the number of code points.
        FUZZ_CHECK(r->size == (want ? want->size() : points.size()));
        auto out = std::make_unique<std::uint8_t[]>(r->size);
        const bool ok = bitloom::write_bytes(*r, out.get());
        FUZZ_CHECK(ok == want.has_value());
        if (ok) {
            FUZZ_CHECK(std::string(reinterpret_cast<const char*>(out.get()), r->size) == *want);
        } else {
            const bitloom::CodecError e = bitloom::encode_failure(*r);
            FUZZ_CHECK(e.kind == bitloom::ErrorKind::ValueError && e.message == message);
        }
    }
}

// Scalar values spread over the ranges where the codecs change behaviour.
inline Points draw_points(FuzzedDataProvider& in) {
    Points points;
    while (in.remaining_bytes() > 0 && points.size() < 4096) {
        const std::uint8_t kind = in.ConsumeIntegral<std::uint8_t>();
        char32_t c;
        switch (kind & 3) {
        case 0: c = in.ConsumeIntegralInRange<char32_t>(0, 0x7F); break;
        case 1: c = in.ConsumeIntegralInRange<char32_t>(0x80, 0xFF); break;
        case 2: c = in.ConsumeIntegralInRange<char32_t>(0x100, 0xFFFF - 0x800); break;
        default: c = in.ConsumeIntegralInRange<char32_t>(0x10000, 0x10FFFF); break;
        }
        if (c >= 0xD800 && (kind & 3) == 2) c += 0x800;  // step over the surrogates
        const std::size_t repeat = (kind & 0x80) ? in.ConsumeIntegralInRange<std::size_t>(1, 40) : 1;
        points.insert(points.end(), repeat, c);
    }
    return points;
}

}  // namespace ref
