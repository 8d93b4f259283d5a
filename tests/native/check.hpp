// A minimal check harness for the native test programs: count failures, report, exit non-zero.
#pragma once

#include <cstdio>
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

inline int finish(const char* name) {
    std::printf("%s: %lld checks, %lld failed\n", name, checks, failures);
    return failures == 0 ? 0 : 1;
}
}  // namespace check

#define CHECK(cond) ::check::expect((cond), #cond, __FILE__, __LINE__)
