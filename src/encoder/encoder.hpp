// Every encoder of the module: plain values in, a bit pattern or bytes (or a CodecError) out.
#pragma once

#include <cstdint>
#include <string_view>

#include "../codec.hpp"

namespace bitloom {

// Integers: the pattern holds the field right-aligned, sign bit at position bits-1.
Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits);
Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits);
Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits);

/// The bytes of a pattern: ceil(bits/8) bytes, most significant first, right-aligned.
Result<ByteBuffer> encode_integer_to_bytes(std::uint64_t value, std::uint32_t bits, bool reverse);
Result<ByteBuffer> encode_integer_to_bytes_u128(u128 value, std::uint32_t bits, bool reverse);

/// Reverses the low `bits` bits of `value` (bit j goes to bits-1-j); higher bits are dropped.
std::uint64_t reverse_bits64(std::uint64_t value, std::uint32_t bits) noexcept;
u128 reverse_bits128(u128 value, std::uint32_t bits) noexcept;

// Binary-coded decimal.
Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);
Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);

// IEEE 754: the pattern of the value, right-aligned. Only binary128 encoding fails (always).
/// binary32 -> binary16 pattern, round to nearest, ties to even; infinities and NaNs kept.
std::uint64_t encode_ieee754_f16(float value) noexcept;
/// The bits of the binary32 / binary64 value as they are.
std::uint64_t encode_ieee754_f32(float value) noexcept;
std::uint64_t encode_ieee754_f64(double value) noexcept;
/// Always NotImplementedError "IEEE 754 f128 encoding not yet implemented".
Result<u128> encode_ieee754_f128(double value);

// Older float families: every one of them fails.
Result<std::uint64_t> encode_ieee754_1985_f32(float value);
Result<std::uint64_t> encode_ieee754_1985_f64(double value);
Result<std::uint64_t> encode_ieee754_1985_f80(double value);
Result<std::uint64_t> encode_mil_std_1750a_f32(float value);
Result<std::uint64_t> encode_mil_std_1750a_f48(double value);
Result<std::uint64_t> encode_dec_f32(float value);
Result<std::uint64_t> encode_dec_f64(double value);
Result<std::uint64_t> encode_ibm_f32(float value);
Result<std::uint64_t> encode_ibm_f64(double value);
Result<std::uint64_t> encode_ti_f32(float value);
Result<std::uint64_t> encode_ti_f40(double value);

// Text: the input is UTF-8 (scalar values only).
Result<ByteBuffer> encode_us_ascii(std::string_view text);
Result<ByteBuffer> encode_iso_8859_1(std::string_view text);
Result<ByteBuffer> encode_windows_1252(std::string_view text);
Result<ByteBuffer> encode_utf8(std::string_view text);
Result<ByteBuffer> encode_utf16(std::string_view text);
Result<ByteBuffer> encode_utf16le(std::string_view text);
Result<ByteBuffer> encode_utf16be(std::string_view text);
Result<ByteBuffer> encode_utf32(std::string_view text);
Result<ByteBuffer> encode_utf32le(std::string_view text);
Result<ByteBuffer> encode_utf32be(std::string_view text);

}  // namespace bitloom
