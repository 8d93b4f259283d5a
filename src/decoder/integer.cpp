// Sign-magnitude, ones' complement and two's complement decoders. None of them fails.
#include "decoder.hpp"

namespace bitloom {

namespace {
constexpr std::uint64_t pow2(std::uint32_t n) noexcept { return std::uint64_t{1} << n; }
}  // namespace

std::int64_t decode_sign_magnitude(std::uint64_t value, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    if (bits > 64) bits = 64;  // the pattern has no bits beyond 64
    const std::uint64_t sign = pow2(bits - 1);
    const std::uint64_t m = value & (sign - 1);  // every bit from the sign bit up is ignored
    // m < 2^63, so its negation fits.
    return (value & sign) ? -static_cast<std::int64_t>(m) : static_cast<std::int64_t>(m);
}

std::int64_t decode_ones_complement(std::uint64_t value, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    if (bits >= 64) {
        const auto s = static_cast<std::int64_t>(value);
        return s < 0 ? s + 1 : s;  // the all-ones pattern is minus zero
    }
    if (value & pow2(bits - 1))
        return static_cast<std::int64_t>(value - (pow2(bits) - 1));  // wraps, read as signed
    return static_cast<std::int64_t>(value);  // bits above the width pass through
}

std::int64_t decode_twos_complement(std::uint64_t value, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    if (bits >= 64) return static_cast<std::int64_t>(value);
    if (value & pow2(bits - 1))
        return static_cast<std::int64_t>((value & (pow2(bits) - 1)) - pow2(bits));
    return static_cast<std::int64_t>(value);
}

}  // namespace bitloom
