// Runs every binary32 pattern (2^32) and every binary16 pattern (2^16) through the portable
// conversions and the F16C instructions and requires identical bits, NaN payloads included.
// Also checks the binary32 -> binary64 widening of decode_ieee754_f32 against the hardware
// conversion for all 2^32 patterns. Exit status 0 only when nothing differs.
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "core/integer.hpp"
#include "core/bcd.hpp"
#include "core/ieee754.hpp"
#include "core/other_float.hpp"
#include "core/f16.hpp"

namespace {

using bitloom::f16::narrow_portable;
using bitloom::f16::widen_portable;

int failures = 0;

void report(const char* what, std::uint64_t input, std::uint64_t got, std::uint64_t want) {
    if (++failures <= 20)
        std::printf("MISMATCH %s: input 0x%llX gives 0x%llX, expected 0x%llX\n", what,
                    static_cast<unsigned long long>(input), static_cast<unsigned long long>(got),
                    static_cast<unsigned long long>(want));
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A few hand-worked results, so that agreement of the two paths cannot hide a shared mistake.
void check_known_values() {
    struct Case { std::uint32_t f32; std::uint16_t f16; };
    constexpr Case cases[] = {
        {0x3F800000, 0x3C00},  // 1.0
        {0x3F801000, 0x3C00},  // 1 + 2^-11: a tie, to even
        {0x3F803000, 0x3C02},  // 1 + 3 x 2^-11: a tie, to even (up)
        {0x3F801001, 0x3C01},  // just above the tie
        {0x477FE000, 0x7BFF},  // 65504
        {0x477FEFFF, 0x7BFF},  // just below 65520
        {0x477FF000, 0x7C00},  // 65520: the carry runs into the exponent
        {0x33800000, 0x0001},  // 2^-24
        {0x33000000, 0x0000},  // 2^-25: a tie, to even (zero)
        {0x33400000, 0x0001},  // 1.5 x 2^-25
        {0x387FC000, 0x03FF},  // largest subnormal
        {0x387FE000, 0x0400},  // largest subnormal + half ulp: a tie, up to the smallest normal
        {0x00000001, 0x0000},  // binary32 subnormal
        {0x80000000, 0x8000},  // -0
        {0xFF800000, 0xFC00},  // -inf
        {0x7FC00000, 0x7E00},  // quiet NaN
        {0x7F800001, 0x7E00},  // signalling NaN, payload below the kept bits
        {0xFFA02000, 0xFF01},  // signalling NaN keeps its top fraction bits and turns quiet
    };
    for (const Case& c : cases) {
        if (narrow_portable(c.f32) != c.f16) report("known narrow", c.f32, narrow_portable(c.f32), c.f16);
        const std::uint64_t via_op = bitloom::encode_ieee754_f16(std::bit_cast<float>(c.f32));
        if (via_op != c.f16) report("known encode_ieee754_f16", c.f32, via_op, c.f16);
    }
    struct Back { std::uint16_t f16; std::uint32_t f32; };
    constexpr Back backs[] = {
        {0x0001, 0x33800000}, {0x03FF, 0x387FC000}, {0x0400, 0x38800000}, {0x3C00, 0x3F800000},
        {0x7BFF, 0x477FE000}, {0xFC00, 0xFF800000}, {0x7C01, 0x7FC02000}, {0xFE00, 0xFFC00000},
    };
    for (const Back& b : backs)
        if (widen_portable(b.f16) != b.f32) report("known widen", b.f16, widen_portable(b.f16), b.f32);
}

}  // namespace

int main() {
    check_known_values();
#ifdef BITLOOM_HAVE_F16C_PATH
    const bool hardware = bitloom::f16::cpu_has_f16c();
#else
    const bool hardware = false;
#endif
    std::printf("F16C available: %s\n", hardware ? "yes" : "no");

    auto start = std::chrono::steady_clock::now();
    std::uint64_t checked = 0;
#ifdef BITLOOM_HAVE_F16C_PATH
    if (hardware) {
        std::uint32_t x = 0;
        do {
            const std::uint16_t portable = narrow_portable(x);
            const std::uint16_t f16c = bitloom::f16::narrow_f16c(x);
            if (portable != f16c) report("binary32->binary16", x, portable, f16c);
            ++checked;
        } while (++x != 0);
        std::printf("binary32->binary16: %llu patterns compared in %.1f s\n",
                    static_cast<unsigned long long>(checked), seconds_since(start));

        start = std::chrono::steady_clock::now();
        for (std::uint32_t h = 0; h <= 0xFFFF; ++h) {
            const std::uint32_t portable = widen_portable(static_cast<std::uint16_t>(h));
            const std::uint32_t f16c = bitloom::f16::widen_f16c(static_cast<std::uint16_t>(h));
            if (portable != f16c) report("binary16->binary32", h, portable, f16c);
        }
        std::printf("binary16->binary32: 65536 patterns compared in %.3f s\n", seconds_since(start));
    }
#endif
    if (!hardware) std::printf("no F16C: only the portable path and the widening are checked\n");

    // decode_ieee754_f32 works on the bits; the processor's own conversion is the reference.
    start = std::chrono::steady_clock::now();
    std::uint32_t x = 0;
    do {
        const double hw = static_cast<double>(std::bit_cast<float>(x));
        const double op = bitloom::decode_ieee754_f32(x);
        if (std::bit_cast<std::uint64_t>(op) != std::bit_cast<std::uint64_t>(hw))
            report("binary32->binary64", x, std::bit_cast<std::uint64_t>(op),
                   std::bit_cast<std::uint64_t>(hw));
    } while (++x != 0);
    std::printf("binary32->binary64: 4294967296 patterns compared in %.1f s\n", seconds_since(start));

    std::printf("%s: %d mismatch(es)\n", failures ? "FAIL" : "OK", failures);
    return failures ? 1 : 0;
}
