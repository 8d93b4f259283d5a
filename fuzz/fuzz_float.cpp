// IEEE 754 and the older float families: arbitrary patterns through every decoder and arbitrary
// values through every encoder. binary16 rounding is checked against a search over the ordered
// binary16 values, binary32/64 round-trip bit for bit (NaNs come back quiet), binary128 follows
// its truncation rules (the older formats have targets of their own).
#include <bit>
#include <cmath>
#include <cstring>

#include "core/float_format.hpp"
#include "core/ieee754.hpp"
#include "core/other_float.hpp"
#include "fuzz_check.hpp"

using namespace bitloom;

namespace {

// The value of a positive binary16 pattern (0x7C00 read as 2^16, the rounding boundary).
double half_value(std::uint32_t h) {
    const std::uint32_t e = h >> 10, f = h & 0x3FF;
    if (e == 0) return std::ldexp(static_cast<double>(f), -24);
    return std::ldexp(static_cast<double>(0x400 | f), static_cast<int>(e) - 25);
}

// Round to nearest, ties to even, by searching the ordered positive patterns.
std::uint32_t ref_to_half(float x) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    const std::uint32_t sign = (bits >> 16) & 0x8000;
    if (std::isnan(x)) return sign | 0x7C00 | 0x200 | ((bits & 0x7FFFFF) >> 13);
    const double a = std::fabs(static_cast<double>(x));
    std::uint32_t lo = 0, hi = 0x7C00;  // half_value(lo) <= a < half_value(hi), or a >= 2^16
    if (a >= half_value(hi)) return sign | 0x7C00;
    while (hi - lo > 1) {
        const std::uint32_t mid = (lo + hi) / 2;
        (half_value(mid) <= a ? lo : hi) = mid;
    }
    const double below = a - half_value(lo), above = half_value(hi) - a;
    const std::uint32_t h = below < above ? lo : above < below ? hi : (lo & 1 ? hi : lo);
    return sign | h;
}

void check_f16(std::uint64_t pattern) {
    const std::uint32_t h = pattern & 0xFFFF;
    const float x = decode_ieee754_f16(pattern);
    if ((h & 0x7C00) == 0x7C00 && (h & 0x3FF)) {
        // Quiet, sign and payload kept.
        FUZZ_CHECK(std::isnan(x));
        FUZZ_CHECK(std::bit_cast<std::uint32_t>(x) == (((h & 0x8000) << 16) | 0x7FC00000 | ((h & 0x3FF) << 13)));
        FUZZ_CHECK(encode_ieee754_f16(x) == (h | 0x200));
    } else {
        FUZZ_CHECK(std::fabs(static_cast<double>(x)) == ((h & 0x7FFF) == 0x7C00 ? INFINITY : half_value(h & 0x7FFF)));
        FUZZ_CHECK(std::signbit(x) == static_cast<bool>(h & 0x8000));
        FUZZ_CHECK(encode_ieee754_f16(x) == h);
    }
}

void check_f32(std::uint64_t pattern) {
    const std::uint32_t p = static_cast<std::uint32_t>(pattern);
    const double d = decode_ieee754_f32(pattern);
    const std::uint64_t dbits = std::bit_cast<std::uint64_t>(d);
    if ((p & 0x7F800000) == 0x7F800000 && (p & 0x7FFFFF)) {
        FUZZ_CHECK(dbits == ((std::uint64_t{p & 0x80000000} << 32) | 0x7FF8000000000000ULL |
                             (std::uint64_t{p & 0x7FFFFF} << 29)));
        FUZZ_CHECK(encode_ieee754_f32(narrow_to_binary32(d)) == (p | 0x400000));
    } else {
        FUZZ_CHECK(d == static_cast<double>(std::bit_cast<float>(p)));
        FUZZ_CHECK(encode_ieee754_f32(narrow_to_binary32(d)) == p);
    }
    // The pattern's float, as a Python float would carry it, through the binary16 encoder.
    const float x = std::bit_cast<float>(p);
    FUZZ_CHECK(encode_ieee754_f16(x) == ref_to_half(x));
}

void check_f64(std::uint64_t pattern) {
    const double d = decode_ieee754_f64(pattern);
    FUZZ_CHECK(std::bit_cast<std::uint64_t>(d) == pattern);
    FUZZ_CHECK(encode_ieee754_f64(d) == pattern);
    // Narrowing to binary32 (the single-float conversion) against the processor's own rounding,
    // for values where they must agree (NaNs aside).
    if (!std::isnan(d)) FUZZ_CHECK(std::bit_cast<std::uint32_t>(narrow_to_binary32(d)) ==
                                   std::bit_cast<std::uint32_t>(static_cast<float>(d)));
}

void check_f128(std::uint64_t hi, std::uint64_t lo) {
    const u128 p = (u128{hi} << 64) | lo;
    const double d = decode_ieee754_f128(p);
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(d);
    const std::uint64_t s = hi >> 63, e = (hi >> 48) & 0x7FFF;
    const bool f_zero = (hi & 0xFFFFFFFFFFFFULL) == 0 && lo == 0;
    std::uint64_t want;
    if (e == 0x7FFF && !f_zero) want = 0x7FF8000000000000ULL;
    else if (e == 0x7FFF || e >= 17407) want = (s << 63) | 0x7FF0000000000000ULL;
    else if (e <= 15360) want = s << 63;
    else want = (s << 63) | ((e - 15360) << 52) | (((hi & 0xFFFFFFFFFFFFULL) << 4) | (lo >> 60));
    FUZZ_CHECK(bits == want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() >= 8) {
        const std::uint64_t a = in.ConsumeIntegral<std::uint64_t>();
        const std::uint64_t b = in.ConsumeIntegral<std::uint64_t>();
        check_f16(a);
        check_f32(a);
        check_f32(a >> 32);
        check_f64(a);
        check_f128(a, b);
        // binary128 patterns whose exponents land in, around and beyond the binary64 range.
        check_f128((a & 0x8000FFFFFFFFFFFFULL) | (((b % 2100) + 15300) << 48), b);
    }
    return 0;
}
