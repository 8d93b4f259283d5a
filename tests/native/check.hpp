// A minimal check harness for the native test programs: count failures, report, exit non-zero.
#pragma once

#include <cstdio>
#include <string>

namespace check {
inline int failures = 0;
inline int checks = 0;

inline void expect(bool ok, const char* what, const char* file, int line) {
    ++checks;
    if (!ok) {
        ++failures;
        std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    }
}

inline int finish(const char* name) {
    std::printf("%s: %d checks, %d failed\n", name, checks, failures);
    return failures == 0 ? 0 : 1;
}
}  // namespace check

#define CHECK(cond) ::check::expect((cond), #cond, __FILE__, __LINE__)
