// MIL-STD-1750A and TI floats: arbitrary patterns through the decoders, checked against the
// fields read with integer arithmetic, and their values back through the encoders to the
// pattern normalised by shifting; arbitrary binary64 values through the encoders, whose results
// must be normalised, within half a step of the value and stable when encoded again.
#include <bit>
#include <cmath>
#include <cstring>

#include "core/float_format.hpp"
#include "core/other_float.hpp"
#include "fuzz_check.hpp"

using namespace bitloom;

namespace {

// Significand m and exponent e of a pattern's value m x 2^(e - q), m in q + 1 bits.
struct Fields {
    std::int64_t m;
    int e;
};

std::int64_t sign_extend(std::uint64_t x, int bits) {
    return static_cast<std::int64_t>(x << (64 - bits)) >> (64 - bits);
}

// 1750A: normalised by shifting the fraction up while its two top bits agree.
std::uint64_t normalised_1750a(Fields f, int q, std::uint64_t (*pattern)(Fields)) {
    if (f.m == 0) return 0;
    while (f.m >= -(std::int64_t{1} << (q - 1)) && f.m < (std::int64_t{1} << (q - 1))) {
        f.m *= 2;
        --f.e;
    }
    return f.e < -128 ? 0 : pattern(f);
}

Fields fields_1750a_f32(std::uint64_t p) { return {sign_extend(p >> 8, 24), static_cast<int>(sign_extend(p, 8))}; }
Fields fields_1750a_f48(std::uint64_t p) {
    return {sign_extend(((p >> 24) << 16) | (p & 0xFFFF), 40), static_cast<int>(sign_extend(p >> 16, 8))};
}
std::uint64_t pattern_1750a_f32(Fields f) {
    return ((static_cast<std::uint64_t>(f.m) & 0xFFFFFF) << 8) | (static_cast<std::uint64_t>(f.e) & 0xFF);
}
std::uint64_t pattern_1750a_f48(Fields f) {
    const std::uint64_t m = static_cast<std::uint64_t>(f.m) & 0xFFFFFFFFFF;
    return ((m >> 16) << 24) | ((static_cast<std::uint64_t>(f.e) & 0xFF) << 16) | (m & 0xFFFF);
}

void check_1750a(std::uint64_t p) {
    const std::uint64_t p32 = p & 0xFFFFFFFF, p48 = p & 0xFFFFFFFFFFFF;
    const Fields a = fields_1750a_f32(p32), b = fields_1750a_f48(p48);
    const double x = *decode_mil_std_1750a_f32(p32), y = *decode_mil_std_1750a_f48(p48);
    FUZZ_CHECK(x == std::ldexp(static_cast<double>(a.m), a.e - 23));
    FUZZ_CHECK(y == std::ldexp(static_cast<double>(b.m), b.e - 39));
    // Values below the least binary32 normal may have more bits than a binary32 holds.
    if (static_cast<double>(narrow_to_binary32(x)) == x)
        FUZZ_CHECK(*encode_mil_std_1750a_f32(narrow_to_binary32(x)) == normalised_1750a(a, 23, pattern_1750a_f32));
    FUZZ_CHECK(*encode_mil_std_1750a_f48(y) == normalised_1750a(b, 39, pattern_1750a_f48));
}

// TI: exponent -128 is zero, anything else is already normalised.
void check_ti(std::uint64_t p) {
    const std::uint64_t p32 = p & 0xFFFFFFFF, p40 = p & 0xFFFFFFFFFF;
    const double x = *decode_ti_f32(p32), y = *decode_ti_f40(p40);
    const int e32 = static_cast<int>(sign_extend(p32 >> 24, 8)), e40 = static_cast<int>(sign_extend(p40 >> 32, 8));
    // s, not s, F as one two's complement number.
    const std::int64_t m32 = sign_extend(((p32 & 0xFFFFFF) ^ 0x800000) | ((p32 & 0x800000) << 1), 25);
    const std::int64_t m40 = sign_extend(((p40 & 0xFFFFFFFF) ^ 0x80000000) | ((p40 & 0x80000000) << 1), 33);
    FUZZ_CHECK(x == (e32 == -128 ? 0.0 : std::ldexp(static_cast<double>(m32), e32 - 23)));
    FUZZ_CHECK(y == (e40 == -128 ? 0.0 : std::ldexp(static_cast<double>(m40), e40 - 31)));
    FUZZ_CHECK(!std::signbit(x) || x != 0);
    if (static_cast<double>(narrow_to_binary32(x)) == x)
        FUZZ_CHECK(*encode_ti_f32(narrow_to_binary32(x)) == (e32 == -128 ? 0x80000000 : p32));
    FUZZ_CHECK(*encode_ti_f40(y) == (e40 == -128 ? 0x8000000000 : p40));
}

// An encoder's result for x: within half a step, the sign kept, normalised, stable; a failure
// only for NaNs, infinities and magnitudes near the top of the range; zero only near the bottom.
template <class Encode, class Decode>
void check_value(double x, Encode encode, Decode decode, int precision, double top, double bottom,
                 bool (*normalised)(std::uint64_t)) {
    const auto r = encode(x);
    if (!r.ok()) {
        FUZZ_CHECK(r.error().kind == ErrorKind::ValueError && r.error().message.find(" is out of range for ") != std::string::npos);
        FUZZ_CHECK(!(std::fabs(x) < top));
        return;
    }
    const double d = *decode(*r);
    if (d == 0) {
        FUZZ_CHECK(std::fabs(x) < bottom && normalised(*r));
        return;
    }
    FUZZ_CHECK(normalised(*r));
    FUZZ_CHECK(std::signbit(d) == std::signbit(x));
    FUZZ_CHECK(std::fabs(d - x) <= std::ldexp(std::fabs(x), -precision));
    FUZZ_CHECK(*encode(d) == *r);
}

bool normalised_1750a_f32(std::uint64_t p) { return p == 0 || (((p >> 31) ^ (p >> 30)) & 1); }
bool normalised_1750a_f48(std::uint64_t p) { return p == 0 || (((p >> 47) ^ (p >> 46)) & 1); }
bool normalised_ti_f32(std::uint64_t p) { return p >> 32 == 0 && (p == 0x80000000 || p >> 24 != 0x80); }
bool normalised_ti_f40(std::uint64_t p) { return p >> 40 == 0 && (p == 0x8000000000 || p >> 32 != 0x80); }

void check_values(double x) {
    const auto e32 = [](double v) { return encode_mil_std_1750a_f32(narrow_to_binary32(v)); };
    const auto t32 = [](double v) { return encode_ti_f32(narrow_to_binary32(v)); };
    // The 32-bit encoders' argument as the module converts it.
    const double s = static_cast<double>(narrow_to_binary32(x));
    check_value(s, e32, decode_mil_std_1750a_f32, 23, std::ldexp(1.0, 126), std::ldexp(1.0, -128), normalised_1750a_f32);
    check_value(x, encode_mil_std_1750a_f48, decode_mil_std_1750a_f48, 39, std::ldexp(1.0, 126), std::ldexp(1.0, -128),
                normalised_1750a_f48);
    check_value(s, t32, decode_ti_f32, 24, std::ldexp(1.0, 127), std::ldexp(1.0, -126), normalised_ti_f32);
    check_value(x, encode_ti_f40, decode_ti_f40, 32, std::ldexp(1.0, 127), std::ldexp(1.0, -126), normalised_ti_f40);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() >= 8) {
        const std::uint64_t a = in.ConsumeIntegral<std::uint64_t>();
        check_1750a(a);
        check_ti(a);
        check_values(std::bit_cast<double>(a));
        // Binary64 values whose exponents land in and around the formats' ranges.
        check_values(std::bit_cast<double>((a & 0x800FFFFFFFFFFFFFULL) | (((a >> 52) % 320 + 1023 - 160) << 52)));
    }
    return 0;
}
