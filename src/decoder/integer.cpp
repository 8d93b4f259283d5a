#include "decoder.hpp"
namespace bitloom {
std::int64_t decode_sign_magnitude(std::uint64_t, std::uint32_t) noexcept { return 0; }
std::int64_t decode_ones_complement(std::uint64_t, std::uint32_t) noexcept { return 0; }
std::int64_t decode_twos_complement(std::uint64_t, std::uint32_t) noexcept { return 0; }
}
