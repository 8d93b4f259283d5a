#include "decoder.hpp"
namespace bitloom {
Result<std::int64_t> decode_packed_bcd(std::uint64_t, std::uint32_t, bool) { return not_available("decode_packed_bcd"); }
Result<std::int64_t> decode_unpacked_bcd(std::uint64_t, std::uint32_t, bool) { return not_available("decode_unpacked_bcd"); }
}
