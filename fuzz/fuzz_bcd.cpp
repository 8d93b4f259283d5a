// Packed and unpacked BCD: arbitrary patterns and widths through the decoders, checked against a
// digit-by-digit reference; arbitrary values and widths through the encoders, which either refuse
// them or give a pattern that decodes back to the value.
#include <string>

#include "core/integer.hpp"
#include "core/bcd.hpp"
#include "core/ieee754.hpp"
#include "core/other_float.hpp"
#include "fuzz_check.hpp"

using namespace bitloom;

namespace {

struct Decoded {
    bool ok;
    std::int64_t value;
    std::string message;
};

std::uint64_t unit(std::uint64_t pattern, std::uint32_t k, std::uint32_t size) {
    return k * size >= 64 ? 0 : (pattern >> (k * size)) & ((1u << size) - 1);
}

Decoded signed_result(bool negative, std::uint64_t magnitude) {
    return {true, negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude), {}};
}

Decoded ref_packed(std::uint64_t pattern, std::uint32_t bits, bool is_signed) {
    if (bits < 4) return {true, 0, {}};
    const std::uint32_t n = bits / 4;
    bool negative = false;
    std::uint32_t first = 0;
    if (is_signed) {
        const std::uint64_t s = unit(pattern, 0, 4);
        if (s < 0xA) return {false, 0, "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD"};
        negative = s == 0xB || s == 0xD;
        first = 1;
    }
    std::uint64_t magnitude = 0, scale = 1;
    for (std::uint32_t k = first; k < n && k < 16; ++k) {
        const std::uint64_t d = unit(pattern, k, 4);
        if (d > 9) return {false, 0, "Invalid BCD digit: " + std::to_string(d) + " (must be 0-9)"};
        magnitude += d * scale;
        scale *= 10;
    }
    return signed_result(negative, magnitude);
}

Decoded ref_unpacked(std::uint64_t pattern, std::uint32_t bits, bool is_signed) {
    if (bits < 8) return {true, 0, {}};
    const std::uint32_t n = bits / 8;
    bool negative = false;
    std::uint64_t magnitude = 0, scale = 1;
    char hex[8];
    // Bytes 8 and up are zero: digits 0 unsigned, refused signed; byte 8 tells them all.
    for (std::uint32_t k = 0; k < n && k <= 8; ++k) {
        const std::uint64_t b = unit(pattern, k, 8);
        std::uint64_t digit;
        if (!is_signed) {
            if (b > 9) return {false, 0, "Invalid BCD digit: " + std::to_string(b) + " (must be 0-9)"};
            digit = b;
        } else {
            const std::uint64_t zone = b >> 4;
            digit = b & 0xF;
            std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(b));
            const bool any = digit <= 9 && (zone == 3 || zone == 0xF);
            if (k == 0 && !(digit <= 9 && (any || zone == 0xC || zone == 0xD)))
                return {false, 0, std::string("Invalid zoned decimal signed byte: 0x") + hex +
                                      " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)"};
            if (k > 0 && !any)
                return {false, 0, std::string("Invalid zoned decimal byte: 0x") + hex +
                                      " (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"};
            if (k == 0) negative = zone == 0xD;
        }
        if (k < 8) {
            magnitude += digit * scale;
            scale *= 10;
        }
    }
    return signed_result(negative, magnitude);
}

void check(const Result<std::int64_t>& r, const Decoded& want) {
    FUZZ_CHECK(r.ok() == want.ok);
    if (r.ok()) FUZZ_CHECK(*r == want.value);
    else FUZZ_CHECK(r.error().kind == ErrorKind::ValueError && r.error().message == want.message);
}

unsigned digits(std::int64_t value) {
    std::uint64_t m = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    unsigned d = 0;
    for (; m; m /= 10) ++d;
    return d;
}

void encode(std::int64_t value, std::uint32_t bits, bool is_signed, bool packed) {
    auto r = packed ? encode_packed_bcd(value, bits, is_signed) : encode_unpacked_bcd(value, bits, is_signed);
    const std::uint32_t min_bits = packed ? 4 : 8;
    const std::uint64_t positions = packed ? bits / 4 - (is_signed ? 1 : 0) : bits / 8;
    if (bits < min_bits) {
        FUZZ_CHECK(!r.ok() && r.error().message == (packed ? "bits must be >= 4 for packed BCD"
                                                          : "bits must be >= 8 for unpacked BCD"));
        return;
    }
    if (value < 0 && !is_signed) {
        FUZZ_CHECK(!r.ok() && r.error().message == "Cannot encode negative value in unsigned BCD");
        return;
    }
    if (digits(value) > positions) {
        FUZZ_CHECK(!r.ok() && r.error().message == "Value " + std::to_string(value) + " has too many digits for " +
                                                       std::to_string(positions) + " BCD digits");
        return;
    }
    // Widths above 64 hold more positions than the pattern: refusing is allowed there.
    if (bits > 64 && !r.ok()) return;
    FUZZ_CHECK(r.ok());
    const std::uint32_t used = static_cast<std::uint32_t>(bits > 64 ? 64 : bits);
    if (used < 64) FUZZ_CHECK((*r >> used) == 0);
    auto back = packed ? decode_packed_bcd(*r, used, is_signed) : decode_unpacked_bcd(*r, used, is_signed);
    FUZZ_CHECK(back.ok() && *back == value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() >= 2) {
        const std::uint8_t flags = in.ConsumeIntegral<std::uint8_t>();
        const bool is_signed = flags & 1, packed = flags & 2;
        // Widths cluster where the digit counts change; now and then any 32-bit width.
        const std::uint32_t bits = flags & 4 ? in.ConsumeIntegral<std::uint32_t>()
                                             : in.ConsumeIntegralInRange<std::uint32_t>(0, 80);
        if (flags & 8) {
            const std::uint64_t pattern = in.ConsumeIntegral<std::uint64_t>();
            check(decode_packed_bcd(pattern, bits, is_signed), ref_packed(pattern, bits, is_signed));
            check(decode_unpacked_bcd(pattern, bits, is_signed), ref_unpacked(pattern, bits, is_signed));
        } else {
            std::int64_t value = in.ConsumeIntegral<std::int64_t>();
            // Short values reach the accepted widths more often.
            if (flags & 16) value %= 1000000;
            encode(value, bits, is_signed, packed);
        }
    }
    return 0;
}
