#include <bit>

#include "encoder.hpp"
#include "f16.hpp"

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

Result<u128> encode_ieee754_f128(double /*value*/) {
    return not_implemented("IEEE 754 f128 encoding not yet implemented");
}

}  // namespace bitloom
