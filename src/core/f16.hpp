// binary16 <-> binary32 conversions on bit patterns, and the choice between the portable
// branch-and-shift code and the x86 F16C instructions. Both directions live here so that the
// processor is probed in one place; the encoder and the decoder of binary16 call in.
#pragma once

#include <bit>
#include <cstdint>

namespace bitloom::f16 {

/// binary32 pattern -> binary16 pattern, round to nearest, ties to even.
/// binary32 is s|e(8)|f(23); binary16 is s|e(5)|f(10), with exponent bias 127 vs 15.
constexpr std::uint16_t narrow_portable(std::uint32_t x) noexcept {
    const std::uint32_t sign = (x >> 16) & 0x8000u;
    const std::uint32_t e = (x >> 23) & 0xFFu;
    const std::uint32_t f = x & 0x7FFFFFu;
    if (e == 0xFF) {
        // Infinity stays infinity; a NaN keeps its top 10 fraction bits and becomes quiet.
        return static_cast<std::uint16_t>(sign | 0x7C00u | (f >> 13) | (f != 0 ? 0x0200u : 0u));
    }
    if (e >= 143) return static_cast<std::uint16_t>(sign | 0x7C00u);
    if (e >= 113) {
        std::uint32_t r = ((e - 112) << 10) | (f >> 13);
        // Bit 12 is the rounding bit, bits 0-11 the sticky bits, bit 13 the result's last bit.
        // A carry out of the fraction moves into the exponent (65520.0 becomes infinity).
        if ((f & 0x1000u) != 0 && (f & 0x2FFFu) != 0) ++r;
        return static_cast<std::uint16_t>(sign | r);
    }
    if (e >= 102) {
        // binary16 subnormal: the significand with its hidden bit, scaled to units of 2^-24.
        const std::uint32_t m = f | 0x800000u;
        const std::uint32_t shift = 126 - e;  // 14 .. 24
        const std::uint32_t half = 1u << (shift - 1);
        std::uint32_t r = m >> shift;
        if ((m & half) != 0 && (m & ((half - 1) | (half << 1))) != 0) ++r;
        return static_cast<std::uint16_t>(sign | r);
    }
    return static_cast<std::uint16_t>(sign);
}

/// binary16 pattern (low 16 bits) -> binary32 pattern, exact.
constexpr std::uint32_t widen_portable(std::uint16_t h) noexcept {
    const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
    const std::uint32_t e = (h >> 10) & 0x1Fu;
    const std::uint32_t f = h & 0x3FFu;
    if (e == 0) {
        if (f == 0) return sign;
        // f x 2^-24 with its top set bit at position p is a binary32 normal of exponent p - 24.
        const std::uint32_t p = static_cast<std::uint32_t>(std::bit_width(f)) - 1;
        return sign | ((p + 103) << 23) | ((f << (23 - p)) & 0x7FFFFFu);
    }
    if (e == 0x1F) return sign | 0x7F800000u | (f << 13) | (f != 0 ? 0x00400000u : 0u);
    return sign | ((e + 112) << 23) | (f << 13);
}

#if defined(__x86_64__) || defined(__i386__)
#define BITLOOM_HAVE_F16C_PATH 1
/// CPUID and XGETBV: F16C present and the system saves the AVX register state.
bool probe_f16c() noexcept;
/// True when the F16C path may run. Probed on first use, then cached for the process.
inline bool cpu_has_f16c() noexcept {
#ifdef __F16C__
    return true;  // the whole build already targets F16C processors
#else
    static const bool has = probe_f16c();
    return has;
#endif
}
/// VCVTPS2PH with rounding fixed to nearest-even. Only call when cpu_has_f16c().
std::uint16_t narrow_f16c(std::uint32_t x) noexcept;
/// VCVTPH2PS. Only call when cpu_has_f16c().
std::uint32_t widen_f16c(std::uint16_t h) noexcept;
#endif

/// binary32 pattern -> binary16 pattern by the fastest path this processor offers.
inline std::uint16_t narrow(std::uint32_t x) noexcept {
#ifdef BITLOOM_HAVE_F16C_PATH
    if (cpu_has_f16c()) return narrow_f16c(x);
#endif
    return narrow_portable(x);
}

/// binary16 pattern -> binary32 pattern by the fastest path this processor offers.
inline std::uint32_t widen(std::uint16_t h) noexcept {
#ifdef BITLOOM_HAVE_F16C_PATH
    if (cpu_has_f16c()) return widen_f16c(h);
#endif
    return widen_portable(h);
}

}  // namespace bitloom::f16
