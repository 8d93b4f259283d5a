// IEEE 754-1985 over every binary32 value (check.hpp's sweep): the single form gives back its own
// bits (the quieting of a signalling NaN is the Python float conversion's, not the encoder's), and
// the f80 and double forms, which hold every binary32 value exactly, give back the value; plus x87
// extended pattern classes and rounding edges.
#include <bit>
#include <cmath>
#include <cstdint>

#include "check.hpp"
#include "core/ieee754.hpp"
#include "core/other_float.hpp"

using namespace bitloom;

namespace {

u128 f80(unsigned sign, unsigned exponent, std::uint64_t mantissa) {
    return (u128{sign} << 79) | (u128{exponent} << 64) | mantissa;
}

double f80_value(u128 p) { return *decode_ieee754_1985_f80(p); }

bool no_value(u128 p) {
    const auto r = decode_ieee754_1985_f80(p);
    return !r.ok() && r.error().kind == ErrorKind::ValueError;
}

}  // namespace

int main() {
    int wrong32 = 0, wrong80 = 0, wrong64 = 0;
    for (std::uint64_t b = 0; b <= 0xFFFFFFFFu; b = check::next_binary32(b)) {
        const std::uint32_t bits = static_cast<std::uint32_t>(b);
        const float x = std::bit_cast<float>(bits);
        const bool nan = std::isnan(x);
        if (*encode_ieee754_1985_f32(x) != bits) ++wrong32;
        const double d = *decode_ieee754_1985_f32(bits);
        const std::uint64_t dbits = std::bit_cast<std::uint64_t>(d);
        if (std::bit_cast<std::uint64_t>(*decode_ieee754_1985_f80(*encode_ieee754_1985_f80(d))) != dbits) ++wrong80;
        if (std::bit_cast<std::uint64_t>(*decode_ieee754_1985_f64(*encode_ieee754_1985_f64(d))) != dbits) ++wrong64;
        if (!nan && d != static_cast<double>(x)) ++wrong32;
    }
    CHECK(wrong32 == 0);
    CHECK(wrong80 == 0);
    CHECK(wrong64 == 0);

    constexpr std::uint64_t J = std::uint64_t{1} << 63;
    CHECK(*encode_ieee754_1985_f80(1.0) == f80(0, 0x3FFF, J));
    CHECK(*encode_ieee754_1985_f80(-0.0) == f80(1, 0, 0));
    CHECK(*encode_ieee754_1985_f80(0x1p-1074) == f80(0, 0x3BCD, J));
    CHECK(f80_value(f80(0, 0x3FFF, J | 0x400)) == 1.0);                  // tie to even
    CHECK(f80_value(f80(0, 0x3FFF, J | 0xC00)) == 1.0 + 0x1p-51);        // tie to even, up
    CHECK(f80_value(f80(0, 0x3BCC, J)) == 0.0);                          // 2^-1075: tie to zero
    CHECK(f80_value(f80(0, 0x3BCC, J | 1)) == 0x1p-1074);
    CHECK(f80_value(f80(0, 0x43FE, ~std::uint64_t{0})) == INFINITY);     // rounds past the largest
    CHECK(f80_value(f80(1, 0x7FFE, J)) == -INFINITY);
    CHECK(f80_value(f80(0, 0x7FFF, J)) == INFINITY);
    CHECK(std::isnan(f80_value(f80(0, 0x7FFF, J | 1))));
    CHECK(f80_value(f80(0, 0, J)) == 0.0);                               // pseudo-denormal
    CHECK(std::signbit(f80_value(f80(1, 0, 1))));
    CHECK(no_value(f80(0, 0x3FFF, 0)));                                  // unnormal
    CHECK(no_value(f80(0, 0x7FFF, 0)));                                  // pseudo-infinity
    CHECK(no_value(f80(1, 0x7FFF, 5)));                                  // pseudo-NaN
    CHECK(!decode_ieee754_1985_f80(u128{1} << 80).ok());
    CHECK(*encode_ieee754_f128(1.0) == u128{0x3FFF} << 112);
    return check::finish("test_ieee754_1985");
}
