// IEEE 754 binary16, binary32, binary64 and binary128: the pattern of a value, right-aligned,
// and the value of a pattern.
#pragma once

#include <cstdint>

#include "codec.hpp"

namespace bitloom {

/// binary32 -> binary16 pattern, round to nearest, ties to even; infinities and NaNs kept.
std::uint64_t encode_ieee754_f16(float value) noexcept;
/// The bits of the binary32 / binary64 value as they are.
std::uint64_t encode_ieee754_f32(float value) noexcept;
std::uint64_t encode_ieee754_f64(double value) noexcept;
/// The binary128 pattern of the binary64 value, exact; a NaN comes out quiet with its payload.
Result<u128> encode_ieee754_f128(double value);

// binary16 reads the low 16 bits of the pattern, binary32 the low 32 bits.
/// binary16 pattern -> binary32 value, exact; a NaN comes back quiet with its payload.
float decode_ieee754_f16(std::uint64_t value) noexcept;
/// binary32 pattern -> binary64 value, exact; a NaN comes back quiet with its payload.
double decode_ieee754_f32(std::uint64_t value) noexcept;
double decode_ieee754_f64(std::uint64_t value) noexcept;
/// binary128 pattern -> binary64, truncated toward zero; below the binary64 normal range it
/// gives a signed zero, any NaN gives the positive quiet NaN 0x7FF8000000000000.
double decode_ieee754_f128(u128 value) noexcept;

}  // namespace bitloom
