#include "encoder.hpp"
namespace bitloom {
Result<std::uint64_t> encode_sign_magnitude(std::int64_t, std::uint32_t) { return not_available("encode_sign_magnitude"); }
Result<std::uint64_t> encode_ones_complement(std::int64_t, std::uint32_t) { return not_available("encode_ones_complement"); }
Result<std::uint64_t> encode_twos_complement(std::int64_t, std::uint32_t) { return not_available("encode_twos_complement"); }
Result<ByteBuffer> encode_integer_to_bytes(std::uint64_t, std::uint32_t, bool) { return not_available("x"); }
Result<ByteBuffer> encode_integer_to_bytes_u128(u128, std::uint32_t, bool) { return not_available("x"); }
std::uint64_t reverse_bits64(std::uint64_t, std::uint32_t) noexcept { return 0; }
u128 reverse_bits128(u128, std::uint32_t) noexcept { return 0; }
}
