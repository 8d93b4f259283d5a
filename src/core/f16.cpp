#include "f16.hpp"

#ifdef BITLOOM_HAVE_F16C_PATH
#include <cpuid.h>
#include <immintrin.h>

namespace bitloom::f16 {

bool probe_f16c() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    // The instructions are VEX-encoded: besides the F16C bit, the AVX state must be usable,
    // i.e. the system enabled XSAVE and saves the XMM and YMM registers (XCR0 bits 1 and 2).
    constexpr unsigned kNeeded = bit_F16C | bit_AVX | bit_OSXSAVE;
    if ((ecx & kNeeded) != kNeeded) return false;
    unsigned xcr0_lo = 0, xcr0_hi = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    return (xcr0_lo & 0x6u) == 0x6u;
}

// Compiled for F16C on their own, so the rest of the build runs on any x86-64.
__attribute__((target("f16c"))) std::uint16_t narrow_f16c(std::uint32_t x) noexcept {
    const __m128 in = _mm_castsi128_ps(_mm_cvtsi32_si128(static_cast<int>(x)));
    // Rounding control 0 in the immediate: round to nearest even, whatever MXCSR says.
    const __m128i out = _mm_cvtps_ph(in, _MM_FROUND_TO_NEAREST_INT);
    return static_cast<std::uint16_t>(_mm_cvtsi128_si32(out) & 0xFFFF);
}

__attribute__((target("f16c"))) std::uint32_t widen_f16c(std::uint16_t h) noexcept {
    const __m128 out = _mm_cvtph_ps(_mm_cvtsi32_si128(h));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_castps_si128(out)));
}

}  // namespace bitloom::f16
#endif
