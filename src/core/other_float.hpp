// The older float formats: IEEE 754-1985 (and its x87 extended form), MIL-STD-1750A, DEC,
// IBM hexadecimal and TI. The 32-bit forms take a binary32 value, the others a binary64.
#pragma once

#include <cstdint>

#include "codec.hpp"

namespace bitloom {

Result<std::uint64_t> encode_ieee754_1985_f32(float value);
Result<std::uint64_t> encode_ieee754_1985_f64(double value);
/// The x87 extended pattern of the value, exact (NaNs come out quiet with their payload).
Result<u128> encode_ieee754_1985_f80(double value);
Result<std::uint64_t> encode_mil_std_1750a_f32(float value);
Result<std::uint64_t> encode_mil_std_1750a_f48(double value);
Result<std::uint64_t> encode_dec_f32(float value);
Result<std::uint64_t> encode_dec_f64(double value);
Result<std::uint64_t> encode_ibm_f32(float value);
Result<std::uint64_t> encode_ibm_f64(double value);
Result<std::uint64_t> encode_ti_f32(float value);
Result<std::uint64_t> encode_ti_f40(double value);

Result<double> decode_ieee754_1985_f32(std::uint64_t value);
Result<double> decode_ieee754_1985_f64(std::uint64_t value);
/// x87 extended pattern (below 2^80) -> binary64, rounded to nearest, ties to even.
Result<double> decode_ieee754_1985_f80(u128 value);
Result<double> decode_mil_std_1750a_f32(std::uint64_t value);
Result<double> decode_mil_std_1750a_f48(std::uint64_t value);
Result<double> decode_dec_f32(std::uint64_t value);
Result<double> decode_dec_f64(std::uint64_t value);
Result<double> decode_ibm_f32(std::uint64_t value);
Result<double> decode_ibm_f64(std::uint64_t value);
Result<double> decode_ti_f32(std::uint64_t value);
Result<double> decode_ti_f40(std::uint64_t value);

}  // namespace bitloom
