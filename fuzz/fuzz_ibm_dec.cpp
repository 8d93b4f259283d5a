// IBM hexadecimal and DEC VAX floats: arbitrary patterns through the decoders, whose values must
// encode back to the same pattern (normalised ones) or to the value decoded, and arbitrary
// binary64/binary32 values through the encoders, which must decode back to them inside the
// formats' ranges, give zero below and fail with ValueError beyond.
#include <bit>
#include <cmath>
#include <cstring>

#include "core/float_format.hpp"
#include "core/other_float.hpp"
#include "fuzz_check.hpp"

using namespace bitloom;

namespace {

bool same(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

void check_patterns(std::uint64_t pattern) {
    const std::uint32_t p32 = static_cast<std::uint32_t>(pattern);
    {  // IBM f32: exact; a normalised pattern inside binary32's normal range comes back
        const double d = *decode_ibm_f32(p32);
        const bool normalised = (p32 & 0x00F00000u) != 0;
        if (normalised && std::fabs(d) >= 0x1p-126 && std::fabs(d) < 0x1p128) {
            auto r = encode_ibm_f32(static_cast<float>(d));
            FUZZ_CHECK(r.ok() && *r == p32);
        }
    }
    {  // IBM f64: rounded to 53 bits, which f64 then holds (unless the rounding reached 16^63)
        const double d = *decode_ibm_f64(pattern);
        auto r = encode_ibm_f64(d);
        if (std::fabs(d) >= 0x1p252) {
            FUZZ_CHECK(!r.ok() && r.error().kind == ErrorKind::ValueError);
        } else if (std::fabs(d) < 0x1p-260) {  // unnormalised, below the least normalised value
            FUZZ_CHECK(r.ok() && *r == (pattern & 0x8000000000000000u));
        } else {
            FUZZ_CHECK(r.ok() && same(*decode_ibm_f64(*r), d));
            if ((pattern & 0x00F0000000000000u) && (pattern & 7) == 0) FUZZ_CHECK(*r == pattern);
        }
    }
    {  // DEC f32: exact and one pattern per value but for the zeros and the reserved operand
        auto d = decode_dec_f32(p32);
        const bool exponent_zero = (p32 & 0x7F800000u) == 0;
        if (exponent_zero && (p32 >> 31)) {
            FUZZ_CHECK(!d.ok() && d.error().kind == ErrorKind::ValueError);
        } else {
            FUZZ_CHECK(d.ok());
            // Below 2^-126 binary32 has fewer bits than F_floating: those values don't come back.
            if (exponent_zero || std::fabs(*d) >= 0x1p-126) {
                auto r = encode_dec_f32(static_cast<float>(*d));
                FUZZ_CHECK(r.ok() && *r == (exponent_zero ? 0 : p32));
            }
        }
    }
    {  // DEC f64
        auto d = decode_dec_f64(pattern);
        const bool exponent_zero = (pattern & 0x7F80000000000000u) == 0;
        if (exponent_zero && (pattern >> 63)) {
            FUZZ_CHECK(!d.ok() && d.error().kind == ErrorKind::ValueError);
        } else {
            FUZZ_CHECK(d.ok());
            auto r = encode_dec_f64(*d);
            if (std::fabs(*d) >= 0x1p127) {
                FUZZ_CHECK(!r.ok() && r.error().kind == ErrorKind::ValueError);
            } else {
                FUZZ_CHECK(r.ok() && same(*decode_dec_f64(*r), *d));
                if (!exponent_zero && (pattern & 7) == 0) FUZZ_CHECK(*r == pattern);
            }
        }
    }
}

template <class Encode, class Decode, class T>
void check_value(Encode encode, Decode decode, T x, double least, double beyond, bool signed_zero) {
    auto r = encode(x);
    const double a = std::fabs(static_cast<double>(x));
    if (!(a < beyond)) {  // NaN too
        FUZZ_CHECK(!r.ok() && r.error().kind == ErrorKind::ValueError && !r.error().message.empty());
        return;
    }
    FUZZ_CHECK(r.ok());
    auto back = decode(*r);
    FUZZ_CHECK(back.ok());
    if (a < least) {
        FUZZ_CHECK(*back == 0 && std::signbit(*back) == (signed_zero && std::signbit(x)));
    } else if (sizeof(T) == 8 || beyond < 0x1p128) {
        FUZZ_CHECK(*back == static_cast<double>(x));  // held exactly
    } else {  // IBM f32: within half a unit of 2^-21 relative
        FUZZ_CHECK(std::fabs(*back - static_cast<double>(x)) <= a * 0x1p-21);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() >= 8) {
        const std::uint64_t a = in.ConsumeIntegral<std::uint64_t>();
        check_patterns(a);
        check_patterns(a >> 32);
        const double x = std::bit_cast<double>(a);
        const float y = narrow_to_binary32(x);
        check_value(encode_ibm_f64, decode_ibm_f64, x, 0x1p-260, 0x1p252, true);
        check_value(encode_dec_f64, decode_dec_f64, x, 0x1p-128, 0x1p127, false);
        check_value(encode_ibm_f32, decode_ibm_f32, y, 0x1p-260, 0x1p252 * 0x1p252, true);
        check_value(encode_dec_f32, decode_dec_f32, y, 0x1p-128, 0x1p127, false);
    }
    return 0;
}
