// Shared pieces of the fuzz targets: a check that stops the run with a message, and small helpers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "core/codec.hpp"

// A failed invariant is a finding: print it and abort so libFuzzer saves the input.
#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

namespace fuzz {

inline bool same(const bitloom::ByteBuffer& a, std::string_view b) { return a.view() == b; }

inline std::string_view view(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

/// A ValueError whose message starts with `prefix`.
inline bool value_error(const bitloom::CodecError& e, std::string_view prefix) {
    return e.kind == bitloom::ErrorKind::ValueError && e.message.starts_with(prefix);
}

}  // namespace fuzz
