#include "encoder.hpp"
namespace bitloom {
Result<std::uint64_t> encode_packed_bcd(std::int64_t, std::uint32_t, bool) { return not_available("encode_packed_bcd"); }
Result<std::uint64_t> encode_unpacked_bcd(std::int64_t, std::uint32_t, bool) { return not_available("encode_unpacked_bcd"); }
}
