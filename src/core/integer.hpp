// Sign-magnitude, ones' complement and two's complement integers, and the byte form of a bit
// pattern. A pattern holds the field right-aligned, its sign bit at position bits-1.
#pragma once

#include <cstdint>

#include "codec.hpp"

namespace bitloom {

Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits);
Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits);
Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits);

// The decoders never fail; see each rule for what bits above the width do.
std::int64_t decode_sign_magnitude(std::uint64_t value, std::uint32_t bits) noexcept;
std::int64_t decode_ones_complement(std::uint64_t value, std::uint32_t bits) noexcept;
std::int64_t decode_twos_complement(std::uint64_t value, std::uint32_t bits) noexcept;

/// The bytes of a pattern: ceil(bits/8) bytes, most significant first, right-aligned.
Result<ByteBuffer> encode_integer_to_bytes(std::uint64_t value, std::uint32_t bits, bool reverse);
Result<ByteBuffer> encode_integer_to_bytes_u128(u128 value, std::uint32_t bits, bool reverse);

/// Reverses the low `bits` bits of `value` (bit j goes to bits-1-j); higher bits are dropped.
std::uint64_t reverse_bits64(std::uint64_t value, std::uint32_t bits) noexcept;
u128 reverse_bits128(u128 value, std::uint32_t bits) noexcept;

}  // namespace bitloom
