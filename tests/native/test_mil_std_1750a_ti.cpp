// Every binary32 value (check.hpp's sweep) through the 32-bit MIL-STD-1750A and TI encoders and
// back: a value the format holds comes back unchanged, any other one to within half a step, and the
// patterns are normalised; infinities and NaNs, and the values past the format's range, fail.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "check.hpp"
#include "core/other_float.hpp"

using namespace bitloom;

namespace {

struct Limits {
    const char* name;
    Result<std::uint64_t> (*encode)(float);
    Result<double> (*decode)(std::uint64_t);
    int precision;                 // significant bits
    int least, greatest;           // binary exponents of the normalised magnitudes, positive values
    int least_power, greatest_power;  // of the negative powers of two
    double overflow_positive, overflow_negative;  // binary32 magnitudes from which encoding fails
    bool (*normalised)(std::uint64_t);
};

bool normalised_1750a(std::uint64_t p) { return ((p >> 31) ^ (p >> 30)) & 1; }
bool normalised_ti(std::uint64_t p) { return (p >> 24) != 0x80; }

// Binary exponent and significant bits of a finite nonzero binary32.
void shape(float x, int& exponent, int& bits) {
    const std::uint32_t u = std::bit_cast<std::uint32_t>(x) & 0x7FFFFFFF;
    const int e = static_cast<int>(u >> 23);
    const std::uint32_t m = e ? (u & 0x7FFFFF) | 0x800000 : u;
    exponent = (e ? e : 1) - 150 + static_cast<int>(std::bit_width(m)) - 1;
    bits = static_cast<int>(std::bit_width(m)) - std::countr_zero(m);
}

// Runs on its own thread: counts and prints its failures, the caller checks the count.
int every_binary32(const Limits& f) {
    const double least = std::ldexp(1.0, f.least), step = std::ldexp(1.0, -f.precision);
    int failures = 0;
    const auto expect = [&](bool ok, const char* what, float x) {
        if (!ok && ++failures <= 10) std::fprintf(stderr, "%s: %a: check failed: %s\n", f.name, x, what);
    };
    for (std::uint64_t i = 0; i <= 0xFFFFFFFF && failures <= 10; i = check::next_binary32(i)) {
        const float x = std::bit_cast<float>(static_cast<std::uint32_t>(i));
        const auto r = f.encode(x);
        const double a = std::fabs(static_cast<double>(x));
        const bool negative = std::signbit(x);
        if (!std::isfinite(x) || a >= (negative ? f.overflow_negative : f.overflow_positive)) {
            expect(!r.ok() && r.error().kind == ErrorKind::ValueError, "fails out of range", x);
            continue;
        }
        if (!r.ok()) {
            expect(false, "encodes in range", x);
            continue;
        }
        const double d = *f.decode(*r);
        if (a < least || (negative && a == least)) {
            expect(d == 0.0 && !std::signbit(d), "zero below the least magnitude", x);
            continue;
        }
        int exponent, bits;
        shape(x, exponent, bits);
        const bool held = bits == 1 && negative ? exponent >= f.least_power && exponent <= f.greatest_power
                                                : bits <= f.precision && exponent >= f.least && exponent <= f.greatest;
        expect(f.normalised(*r), "normalised", x);
        expect(std::signbit(d) == negative, "sign kept", x);
        expect((d == static_cast<double>(x)) == held, "back unchanged where held", x);
        expect(std::fabs(d - static_cast<double>(x)) <= a * step, "within half a step", x);
    }
    return failures;
}

}  // namespace

int main() {
    int failures[2] = {};
    // 1750A: [2^-129, 2^127) with 23 bits, negative powers of two -2^-128 to -2^127 (-1 x 2^e);
    // from (1 - 2^-24) x 2^127 up, and past -2^127 (1 + 2^-23) (a tie, to -2^127), values round out
    // of range: the next binary32 is 2^127 (1 + 2^-22).
    const Limits mil_std_1750a{"MIL-STD-1750A f32", encode_mil_std_1750a_f32, decode_mil_std_1750a_f32, 23,
                               -129, 126, -128, 127, std::ldexp(1.0 - std::ldexp(1.0, -24), 127),
                               std::ldexp(1.0 + std::ldexp(1.0, -22), 127), normalised_1750a};
    // TI: [2^-127, 2^128) with 24 bits, negative powers of two -2^-126 to -2^128 (-2 x 2^e): every
    // finite binary32 from 2^-127 up lies in range.
    const Limits ti{"TI f32", encode_ti_f32, decode_ti_f32, 24, -127, 127, -126, 128, INFINITY, INFINITY, normalised_ti};
    std::thread other([&] { failures[1] = every_binary32(ti); });
    failures[0] = every_binary32(mil_std_1750a);
    other.join();
    CHECK(failures[0] == 0);
    CHECK(failures[1] == 0);
    return check::finish("test_mil_std_1750a_ti");
}
