#include <bit>

#include "ieee754.hpp"
#include "f16.hpp"
#include "float_format.hpp"

namespace bitloom {

std::uint64_t encode_ieee754_f16(float value) noexcept {
    return f16::narrow(std::bit_cast<std::uint32_t>(value));
}

std::uint64_t encode_ieee754_f32(float value) noexcept {
    return std::bit_cast<std::uint32_t>(value);
}

std::uint64_t encode_ieee754_f64(double value) noexcept {
    return std::bit_cast<std::uint64_t>(value);
}

Result<u128> encode_ieee754_f128(double value) {
    return widen_bits<binary64, binary128>(std::bit_cast<std::uint64_t>(value));
}

float decode_ieee754_f16(std::uint64_t value) noexcept {
    return std::bit_cast<float>(f16::widen(static_cast<std::uint16_t>(value)));
}

double decode_ieee754_f32(std::uint64_t value) noexcept {
    return std::bit_cast<double>(widen_bits<binary32, binary64>(static_cast<std::uint32_t>(value)));
}

double decode_ieee754_f64(std::uint64_t value) noexcept { return std::bit_cast<double>(value); }

double decode_ieee754_f128(u128 value) noexcept {
    return std::bit_cast<double>(truncate_bits<binary128, binary64>(value));
}

}  // namespace bitloom
