// Block-at-a-time helpers over byte runs, shared by the text encoders and decoders.
// SSE2 (every x86-64) handles 16 bytes per step; other targets fall back to plain loops.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#define BITLOOM_SSE2 1
#endif

// AVX2 code is compiled for its own functions only (target attribute) and chosen at run time.
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define BITLOOM_AVX2 1
#define BITLOOM_TARGET_AVX2 __attribute__((target("avx2")))
#endif

namespace bitloom::text {

/// Set only by the native tests, to run the portable paths on a processor with AVX2 and compare.
inline bool& portable_paths_only() noexcept {
    static bool only = false;
    return only;
}

/// Whether the AVX2 paths run: the processor has AVX2 (and the system saves its registers).
/// Probed once.
inline bool use_avx2() noexcept {
#if defined(BITLOOM_AVX2)
    static const bool has_avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has_avx2 && !portable_paths_only();
#else
    return false;
#endif
}

#if defined(BITLOOM_SSE2)
inline __m128i load16(const void* p) noexcept {
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}
inline void store16(void* p, __m128i v) noexcept { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
/// Swaps the two bytes of every 16-bit lane.
inline __m128i swap16(__m128i v) noexcept {
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}
/// Reverses the four bytes of every 32-bit lane.
inline __m128i swap32(__m128i v) noexcept {
    v = _mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
    v = _mm_shufflehi_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
    return swap16(v);
}
#endif

/// Length of the leading run of bytes below 0x80.
inline std::size_t ascii_prefix(const std::uint8_t* p, std::size_t n) noexcept {
    std::size_t i = 0;
#if defined(BITLOOM_SSE2)
    for (; i + 64 <= n; i += 64) {
        __m128i any = _mm_or_si128(_mm_or_si128(load16(p + i), load16(p + i + 16)),
                                   _mm_or_si128(load16(p + i + 32), load16(p + i + 48)));
        if (_mm_movemask_epi8(any)) break;
    }
    for (; i + 16 <= n; i += 16) {
        if (int mask = _mm_movemask_epi8(load16(p + i)))
            return i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(mask)));
    }
#endif
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

/// Reads the scalar value of the well-formed UTF-8 sequence at p[0]; `len` gets its byte count.
inline char32_t read_utf8(const std::uint8_t* p, std::size_t& len) noexcept {
    std::uint8_t b = p[0];
    if (b < 0x80) {
        len = 1;
        return b;
    }
    if (b < 0xE0) {
        len = 2;
        return static_cast<char32_t>(((b & 0x1Fu) << 6) | (p[1] & 0x3Fu));
    }
    if (b < 0xF0) {
        len = 3;
        return static_cast<char32_t>(((b & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu));
    }
    len = 4;
    return static_cast<char32_t>(((b & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) |
                                 ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu));
}

/// Writes `cp` as UTF-8 at `out` and returns the byte count (1 to 4).
inline std::size_t write_utf8(char32_t cp, char* out) noexcept {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

/// Windows-1252 bytes 0x80 to 0x9F as code points (the WHATWG index; the five unassigned
/// bytes stand for the C1 control of the same value). Every other byte is its own code point.
inline constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

/// Bit i set when Windows-1252 byte 0x80+i decodes above U+00FF.
inline constexpr std::uint32_t kWindows1252Wide = [] {
    std::uint32_t bits = 0;
    for (unsigned i = 0; i < 32; ++i)
        if (kWindows1252High[i] > 0xFF) bits |= 1u << i;
    return bits;
}();

}  // namespace bitloom::text
