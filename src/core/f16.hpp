// binary16 <-> binary32 conversions, and the choice between the portable code on bit patterns
// and the x86 F16C instructions. Both directions live here so that the processor is probed in
// one place; the encoder and the decoder of binary16 call in.
#pragma once

#include <cstdint>

#include "float_format.hpp"

namespace bitloom::f16 {

/// binary32 pattern -> binary16 pattern, round to nearest, ties to even.
constexpr std::uint16_t narrow_portable(std::uint32_t x) noexcept {
    return static_cast<std::uint16_t>(narrow_bits<binary32, binary16>(x));
}

/// binary16 pattern -> binary32 pattern, exact.
constexpr std::uint32_t widen_portable(std::uint16_t h) noexcept { return widen_bits<binary16, binary32>(h); }

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
