// IEEE 754-1985: its single and double formats are binary32 and binary64 bit for bit; its
// double extended form is the x87 80-bit one (see x87_extended in float_format.hpp).
#include <bit>

#include "float_format.hpp"
#include "older_float.hpp"
#include "other_float.hpp"

namespace bitloom {

namespace {

using X87 = ExplicitConversion<binary64, x87_extended>;

[[gnu::cold, gnu::noinline]] CodecError wider_than_f80() {
    return CodecError{ErrorKind::OverflowError, "Python int larger than 80 bits"};
}

}  // namespace

Result<std::uint64_t> encode_ieee754_1985_f32(float value) {
    return std::uint64_t{std::bit_cast<std::uint32_t>(value)};
}

Result<std::uint64_t> encode_ieee754_1985_f64(double value) {
    return std::bit_cast<std::uint64_t>(value);
}

Result<u128> encode_ieee754_1985_f80(double value) {
    return X87::widen(std::bit_cast<std::uint64_t>(value));
}

// The 32-bit form reads the low 32 bits of the pattern, as binary32 decoding does.
Result<double> decode_ieee754_1985_f32(std::uint64_t value) {
    return std::bit_cast<double>(widen_bits<binary32, binary64>(static_cast<std::uint32_t>(value)));
}

Result<double> decode_ieee754_1985_f64(std::uint64_t value) {
    return std::bit_cast<double>(value);
}

Result<double> decode_ieee754_1985_f80(u128 value) {
    if (value >> 80) [[unlikely]]
        return wider_than_f80();
    if (const auto bits = X87::narrow(value)) [[likely]]
        return std::bit_cast<double>(*bits);
    return older_float::no_value("IEEE 754-1985 f80", value, 80);
}

}  // namespace bitloom
