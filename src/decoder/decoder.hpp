// Every decoder of the module: a bit pattern or bytes in, a plain value (or a CodecError) out.
#pragma once

#include <cstdint>

#include "../codec.hpp"

namespace bitloom {

// Integers: never fail; see each rule for what bits above the width do.
std::int64_t decode_sign_magnitude(std::uint64_t value, std::uint32_t bits) noexcept;
std::int64_t decode_ones_complement(std::uint64_t value, std::uint32_t bits) noexcept;
std::int64_t decode_twos_complement(std::uint64_t value, std::uint32_t bits) noexcept;

// Binary-coded decimal.
Result<std::int64_t> decode_packed_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed);
Result<std::int64_t> decode_unpacked_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed);

// IEEE 754: never fail. binary16 reads the low 16 bits, binary32 the low 32 bits.
/// binary16 pattern -> binary32 value, exact; a NaN comes back quiet with its payload.
float decode_ieee754_f16(std::uint64_t value) noexcept;
/// binary32 pattern -> binary64 value, exact; a NaN comes back quiet with its payload.
double decode_ieee754_f32(std::uint64_t value) noexcept;
double decode_ieee754_f64(std::uint64_t value) noexcept;
/// binary128 pattern -> binary64, truncated toward zero; below the binary64 normal range it
/// gives a signed zero, any NaN gives the positive quiet NaN 0x7FF8000000000000.
double decode_ieee754_f128(u128 value) noexcept;

// Older float families: every one of them fails.
Result<double> decode_ieee754_1985_f32(std::uint64_t value);
Result<double> decode_ieee754_1985_f64(std::uint64_t value);
Result<double> decode_ieee754_1985_f80(std::uint64_t value);
Result<double> decode_mil_std_1750a_f32(std::uint64_t value);
Result<double> decode_mil_std_1750a_f48(std::uint64_t value);
Result<double> decode_dec_f32(std::uint64_t value);
Result<double> decode_dec_f64(std::uint64_t value);
Result<double> decode_ibm_f32(std::uint64_t value);
Result<double> decode_ibm_f64(std::uint64_t value);
Result<double> decode_ti_f32(std::uint64_t value);
Result<double> decode_ti_f40(std::uint64_t value);

// Text: results are UTF-8 holding scalar values only.
Result<Text> decode_us_ascii(Bytes bytes);
Result<Text> decode_iso_8859_1(Bytes bytes);
Result<Text> decode_windows_1252(Bytes bytes);
Result<Text> decode_utf8(Bytes bytes);
Result<Text> decode_utf16(Bytes bytes);
Result<Text> decode_utf16le(Bytes bytes);
Result<Text> decode_utf16be(Bytes bytes);
Result<Text> decode_utf32(Bytes bytes);
Result<Text> decode_utf32le(Bytes bytes);
Result<Text> decode_utf32be(Bytes bytes);

/// UTF-16 / UTF-32 without mark detection, in the given byte order (false: big-endian).
Result<Text> decode_utf16_with_endianness(Bytes bytes, bool little_endian);
Result<Text> decode_utf32_with_endianness(Bytes bytes, bool little_endian);

}  // namespace bitloom
