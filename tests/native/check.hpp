// A minimal check harness for the native test programs: count failures, report, exit non-zero.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace check {
inline long long failures = 0;
inline long long checks = 0;  // exhaustive tests count past 2^31

inline void expect(bool ok, const char* what, const char* file, int line) {
    ++checks;
    if (!ok) {
        ++failures;
        std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    }
}

// The binary32 sweeps visit every pattern when BITLOOM_EXHAUSTIVE=1 (make test-exhaustive, minutes
// per program). Otherwise (make test) they visit, in each binade of each sign, the first and the
// last 256 fractions and every 251st fraction between them: 17 million of the 4.3 billion
// patterns, every exponent, the binades' edges, and an odd stride so that the low bits, where
// rounding is decided, take all their values.
inline const bool exhaustive = [] {
    const char* value = std::getenv("BITLOOM_EXHAUSTIVE");
    return value && *value && std::string(value) != "0";
}();
inline bool sampled = false;

// The pattern after `bits` in the sweep (past 0xFFFFFFFF after the last one).
inline std::uint64_t next_binary32(std::uint64_t bits) {
    constexpr std::uint64_t edge = 256, stride = 251, fraction_mask = 0x7FFFFF;
    const std::uint64_t fraction = bits & fraction_mask;
    if (exhaustive || fraction < edge || fraction >= fraction_mask + 1 - edge) return bits + 1;
    sampled = true;
    return std::min(bits + stride, (bits | fraction_mask) + 1 - edge);
}

inline int finish(const char* name) {
    std::printf("%s: %lld checks, %lld failed%s\n", name, checks, failures,
                sampled ? " (binary32 sweeps on a sample; BITLOOM_EXHAUSTIVE=1 runs every pattern)" : "");
    return failures == 0 ? 0 : 1;
}
}  // namespace check

#define CHECK(cond) ::check::expect((cond), #cond, __FILE__, __LINE__)
