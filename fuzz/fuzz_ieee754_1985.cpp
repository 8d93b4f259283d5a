// IEEE 754-1985 and binary128 encoding: arbitrary x87 extended patterns through the f80 decoder
// against a reference built on long double where the compiler gives x87 (exact arithmetic in
// the rounding to binary64 otherwise checked through re-encoding), arbitrary binary64 values
// through the f80 and binary128 encoders and back, and the single/double forms bit for bit.
#include <bit>
#include <cmath>
#include <cstring>

#include "core/ieee754.hpp"
#include "core/other_float.hpp"
#include "fuzz_check.hpp"

using namespace bitloom;

namespace {

constexpr u128 kInteger = u128{1} << 63;

void check_f80_pattern(u128 p) {
    const int e = static_cast<int>(p >> 64) & 0x7FFF;
    const bool j = (p & kInteger) != 0;
    const auto r = decode_ieee754_1985_f80(p);
    if ((e != 0 && !j)) {
        FUZZ_CHECK(!r.ok() && r.error().kind == ErrorKind::ValueError);
        return;
    }
    FUZZ_CHECK(r.ok());
    const double d = *r;
    FUZZ_CHECK(std::signbit(d) == static_cast<bool>(p >> 79));
    if (e == 0x7FFF) {
        FUZZ_CHECK((p & (kInteger - 1)) ? std::isnan(d) : std::isinf(d));
        return;
    }
    if (e == 0 || d == 0 || std::isinf(d)) return;
    // The result is within half a binary64 ulp: re-encoding it exactly and comparing magnitudes
    // through long double (x87 on this target) bounds the error.
    const auto back = encode_ieee754_1985_f80(d);
    FUZZ_CHECK(back.ok());
#if defined(__x86_64__) || defined(__i386__)
    long double x, y;
    static_assert(sizeof(long double) >= 10);
    std::memset(&x, 0, sizeof x);
    std::memset(&y, 0, sizeof y);
    std::memcpy(&x, &p, 10);
    std::memcpy(&y, &*back, 10);
    const long double ulp = std::ldexp(1.0L, std::max(std::ilogb(d), -1022) - 52);
    FUZZ_CHECK(std::fabs(x - y) <= ulp / 2);
#endif
}

void check_binary64(std::uint64_t bits) {
    const double x = std::bit_cast<double>(bits);
    const bool nan = std::isnan(x);
    const std::uint64_t quiet = nan ? bits | 0x0008000000000000ULL : bits;
    const auto p80 = encode_ieee754_1985_f80(x);
    FUZZ_CHECK(p80.ok() && (*p80 >> 80) == 0);
    FUZZ_CHECK(x == 0 || (*p80 & kInteger));
    const auto back = decode_ieee754_1985_f80(*p80);
    FUZZ_CHECK(back.ok() && std::bit_cast<std::uint64_t>(*back) == quiet);
    const auto p128 = encode_ieee754_f128(x);
    FUZZ_CHECK(p128.ok());
    const double d128 = decode_ieee754_f128(*p128);
    if (nan) FUZZ_CHECK(std::isnan(d128));
    else if (std::fabs(x) >= 0x1p-1022 || x == 0 || std::isinf(x)) FUZZ_CHECK(std::bit_cast<std::uint64_t>(d128) == bits);
    else FUZZ_CHECK(d128 == 0);
    FUZZ_CHECK(*encode_ieee754_1985_f64(x) == bits);
    FUZZ_CHECK(std::bit_cast<std::uint64_t>(*decode_ieee754_1985_f64(bits)) == bits);
    const std::uint32_t b32 = static_cast<std::uint32_t>(bits);
    const double d32 = *decode_ieee754_1985_f32(b32);
    FUZZ_CHECK(std::bit_cast<std::uint64_t>(d32) == std::bit_cast<std::uint64_t>(decode_ieee754_f32(b32)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() >= 10) {
        const std::uint64_t lo = in.ConsumeIntegral<std::uint64_t>();
        const std::uint16_t hi = in.ConsumeIntegral<std::uint16_t>();
        const u128 p = (u128{hi} << 64) | lo;
        check_f80_pattern(p);
        // Exponents around the binary64 range, where rounding, underflow and overflow happen.
        const u128 near = (u128{static_cast<std::uint64_t>((hi & 0x8000) | (0x3B80 + hi % 0x900))} << 64) | lo;
        check_f80_pattern(near);
        check_binary64(lo);
    }
    return 0;
}
