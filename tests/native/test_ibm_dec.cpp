// IBM hexadecimal and DEC VAX floats: every binary32 value (check.hpp's sweep) through the 32-bit
// encoders and back (DEC F_floating holds each one in its range exactly; IBM f32 rounds those whose
// leading hex digit leaves fewer than 24 bits), and the repr-style text that out-of-range messages
// use.
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "check.hpp"
#include "core/older_float.hpp"
#include "core/other_float.hpp"

using namespace bitloom;
using namespace bitloom::older_float;

namespace {

constexpr std::uint64_t kSign32 = 0x80000000u;

void ibm_f32_every_binary32() {
    for (std::uint32_t bits = 0; bits < 0x7F800000u && check::failures <= 10;
         bits = static_cast<std::uint32_t>(check::next_binary32(bits))) {
        const float x = std::bit_cast<float>(bits);
        // The negative side on a sample: the sign is a separate bit, and time counts here.
        const float y = (bits & 0xFF) ? x : -x;
        const auto p = encode_ibm_f32(x);
        const auto n = encode_ibm_f32(y);
        const bool negated = (bits & 0xFF) == 0;
        const std::uint64_t want = negated ? (*p | kSign32) : *p;
        if (!p.ok() || !n.ok() || *n != want) {
            CHECK(p.ok() && n.ok() && *n == want);
            continue;
        }
        const double d = *decode_ibm_f32(*p);
        if (bits == 0) {
            CHECK(*p == 0 && std::bit_cast<std::uint64_t>(*decode_ibm_f32(*n)) == 0x8000000000000000u);  // -0.0
            continue;
        }
        const std::uint64_t f = *p & 0xFFFFFF;
        CHECK((f >> 20) != 0);  // normalised: a nonzero leading hex digit
        // Within half a unit of x's hex binade (16^(q-1) <= x < 16^q), and even on a tie.
        int q = 0;
        std::frexp(static_cast<double>(x), &q);  // 2^(q-1) <= x < 2^q
        const int hq = ((q - 1) >> 2) + 1;
        const double half = std::ldexp(1.0, 4 * hq - 25);
        const double error = std::fabs(d - static_cast<double>(x));
        CHECK(error <= half);
        if (error == half) CHECK((f & 1) == 0 || f == 0x100000);
        if (negated) CHECK(*decode_ibm_f32(*n) == -d);
    }
}

void dec_f32_every_binary32() {
    const float least = 0x1p-128f, beyond = 0x1p127f;
    for (std::uint32_t bits = 0; bits <= 0x7F800000u && check::failures <= 10;
         bits = static_cast<std::uint32_t>(check::next_binary32(bits))) {
        const float x = std::bit_cast<float>(bits);
        const float y = (bits & 0xFF) ? x : -x;  // the negative side on a sample
        const auto p = encode_dec_f32(x);
        const auto n = encode_dec_f32(y);
        if (x >= beyond) {  // infinity included
            CHECK(!p.ok() && !n.ok() && p.error().kind == ErrorKind::ValueError);
            continue;
        }
        if (!p.ok() || !n.ok()) {
            CHECK(p.ok() && n.ok());
            continue;
        }
        if (x < least) {
            CHECK(*p == 0 && *n == 0);
            continue;
        }
        CHECK(*decode_dec_f32(*p) == static_cast<double>(x));
        if (y == x) continue;
        CHECK(*n == (*p | kSign32));
        CHECK(*decode_dec_f32(*n) == -static_cast<double>(x));
    }
}

void repr_text() {
    struct Case {
        double value;
        const char* text;
    };
    // What Python's repr writes for each.
    static const Case cases[] = {
        {1e300, "1e+300"}, {1.5e-07, "1.5e-07"}, {100.0, "100.0"}, {0.0001, "0.0001"},
        {0.00012, "0.00012"}, {1.2345e-05, "1.2345e-05"}, {1e16, "1e+16"},
        {1e15, "1000000000000000.0"}, {123.456, "123.456"}, {-0.5, "-0.5"}, {0.0, "0.0"},
        {18446744073709551616.0, "1.8446744073709552e+19"}, {-1.7014118346046923e+38, "-1.7014118346046923e+38"},
        {5e-324, "5e-324"}, {INFINITY, "inf"}, {-INFINITY, "-inf"}, {-NAN, "nan"},
    };
    for (const Case& c : cases) CHECK(python_repr(c.value) == c.text);
    CHECK(python_repr(3.4e38f) == "3.4e+38");
    CHECK(python_repr(0x1p127f) == "1.7014118e+38");
    CHECK(python_repr(0.1f) == "0.1");
    CHECK(out_of_range(1e300, "IBM f64").message == "1e+300 is out of range for IBM f64");
    CHECK(no_value("DEC f64", 0x8000000000000001u, 64).message == "DEC f64 pattern 0x8000000000000001 denotes no value");
    CHECK(no_value("DEC f32", 0x80000000u, 32).message == "DEC f32 pattern 0x80000000 denotes no value");
}

}  // namespace

int main() {
    repr_text();
    dec_f32_every_binary32();
    ibm_f32_every_binary32();
    return check::finish("test_ibm_dec");
}
