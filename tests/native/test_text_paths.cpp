// The AVX2 text paths against the portable ones: every text codec of the module functions, on
// random and block-edge inputs, must give the same result (or the same failure) both ways.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/single_byte.hpp"
#include "core/text_blocks.hpp"
#include "core/unicode.hpp"

using namespace bitloom;

namespace {

using Decoder = Result<DecodedText> (*)(Bytes);
using Encoder = Result<EncodedText> (*)(TextView);

const Decoder kDecoders[] = {
    decode_us_ascii, decode_iso_8859_1, decode_windows_1252, decode_utf8,    decode_utf16,
    decode_utf16le,  decode_utf16be,    decode_utf32,        decode_utf32le, decode_utf32be,
};
const Encoder kEncoders[] = {
    encode_us_ascii, encode_iso_8859_1, encode_windows_1252, encode_utf16,   encode_utf16le,
    encode_utf16be,  encode_utf32,      encode_utf32le,      encode_utf32be,
};

/// A decoder's outcome as comparable text: the failure message, or the code points written.
std::string decoded(Decoder decode, const std::vector<std::uint8_t>& in) {
    auto r = decode(Bytes{in.data(), in.size()});
    if (!r.ok()) return "error: " + r.error().message;
    std::string out = std::to_string(r->length) + "/" + std::to_string(r->max_code_point) + ":";
    auto append = [&out](const auto& units) {
        for (auto u : units) out += std::to_string(static_cast<std::uint32_t>(u)) + ",";
    };
    if (r->max_code_point <= 0xFF) {
        std::vector<std::uint8_t> units(r->length);
        write_text(*r, units.data());
        append(units);
    } else if (r->max_code_point <= 0xFFFF) {
        std::vector<std::uint16_t> units(r->length);
        write_text(*r, units.data());
        append(units);
    } else {
        std::vector<std::uint32_t> units(r->length);
        write_text(*r, units.data());
        append(units);
    }
    return out;
}

std::string encoded(Encoder encode, const TextView& view) {
    auto r = encode(view);
    if (!r.ok()) return "error: " + r.error().message;
    std::vector<std::uint8_t> out(r->size + 1, 0xEE);
    if (!write_bytes(*r, out.data())) return "unwritable: " + encode_failure(*r).message;
    if (out[r->size] != 0xEE) return "wrote past the end";
    return std::string(out.begin(), out.end());
}

template <class F, class In>
void compare(F run, const In& input) {
    text::portable_paths_only() = false;
    const std::string fast = run(input);
    text::portable_paths_only() = true;
    const std::string portable = run(input);
    text::portable_paths_only() = false;
    CHECK(fast == portable);
}

std::uint32_t random_code_point(std::mt19937_64& rng, int profile) {
    const std::uint32_t r = static_cast<std::uint32_t>(rng());
    switch (profile) {
        case 0: return r % 0x80;
        case 1: return (r % 8) ? r % 0x80 : 0x80 + r % 0x80;  // mostly ASCII, some C1/Latin
        case 2: return r % 0x100;
        case 3: {
            const std::uint32_t cp = r % 0x10000;
            return (cp >= 0xD800 && cp < 0xE000) ? cp - 0x800 : cp;
        }
        default: {
            const std::uint32_t cp = r % 0x110000;
            return (cp >= 0xD800 && cp < 0xE000) ? 0x1F600 : cp;
        }
    }
}

void put_utf8(std::vector<std::uint8_t>& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<std::uint8_t>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<std::uint8_t>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<std::uint8_t>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<std::uint8_t>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<std::uint8_t>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<std::uint8_t>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<std::uint8_t>(0x80 | (cp & 0x3F)));
    }
}

void put_unit(std::vector<std::uint8_t>& out, std::uint32_t unit, int bytes, bool little) {
    for (int i = 0; i < bytes; ++i) {
        const int shift = 8 * (little ? i : bytes - 1 - i);
        out.push_back(static_cast<std::uint8_t>(unit >> shift));
    }
}

}  // namespace

int main() {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 6000 && check::failures < 10; ++round) {
        // Lengths cluster around the 16-, 32- and 128-byte blocks.
        const std::size_t length = (round % 3 == 0) ? rng() % 300 : (16u << (rng() % 4)) + rng() % 5 - 2;
        const int profile = static_cast<int>(rng() % 5);
        std::vector<std::uint32_t> cps(length);
        for (auto& cp : cps) cp = random_code_point(rng, profile);

        // Decoders: valid forms of the text, then with one byte spoiled, then raw bytes.
        const bool little = rng() & 1;
        std::vector<std::uint8_t> utf8, utf16, utf32, raw(length);
        for (auto cp : cps) {
            put_utf8(utf8, cp);
            if (cp >= 0x10000) {
                put_unit(utf16, 0xD800 + ((cp - 0x10000) >> 10), 2, little);
                put_unit(utf16, 0xDC00 + ((cp - 0x10000) & 0x3FF), 2, little);
            } else {
                put_unit(utf16, cp, 2, little);
            }
            put_unit(utf32, cp, 4, little);
        }
        for (auto& b : raw) b = static_cast<std::uint8_t>(rng());
        for (auto* bytes : {&utf8, &utf16, &utf32, &raw}) {
            for (int spoil = 0; spoil < 2; ++spoil) {
                std::vector<std::uint8_t> input = *bytes;
                if (spoil && !input.empty()) input[rng() % input.size()] = static_cast<std::uint8_t>(rng());
                for (Decoder decode : kDecoders)
                    compare([decode](const auto& in) { return decoded(decode, in); }, input);
            }
        }

        // Encoders: the same text stored at the narrowest width and at every wider one.
        std::uint32_t widest = 0;
        for (auto cp : cps) widest = cp > widest ? cp : widest;
        std::vector<std::uint8_t> w1;
        std::vector<std::uint16_t> w2;
        std::vector<std::uint32_t> w4(cps.begin(), cps.end());
        for (auto cp : cps) {
            w1.push_back(static_cast<std::uint8_t>(cp));
            w2.push_back(static_cast<std::uint16_t>(cp));
        }
        std::vector<TextView> views{TextView{w4.data(), w4.size(), 4, false}};
        if (widest <= 0xFFFF) views.push_back(TextView{w2.data(), w2.size(), 2, false});
        if (widest <= 0xFF) views.push_back(TextView{w1.data(), w1.size(), 1, widest < 0x80});
        for (const TextView& view : views)
            for (Encoder encode : kEncoders)
                compare([encode](const TextView& v) { return encoded(encode, v); }, view);
    }
    return check::finish("test_text_paths");
}
