// Pieces shared by the codecs of the older float families: a binary64 value's magnitude rounded
// to a given number of significant bits, and the message for a value a format cannot hold.
#pragma once

#include <bit>
#include <cstdint>
#include <string>

#include "codec.hpp"

namespace bitloom::older_float {

/// |x| ~ significand x 2^(exponent - bits + 1), the significand in [2^(bits-1), 2^bits).
struct Rounded {
    std::uint64_t significand;
    int exponent;  // |x| lies in [2^exponent, 2^(exponent+1)) once rounded
};

/// The magnitude of a finite, normal binary64 pattern rounded to `bits` significant bits, to
/// nearest with ties to even; a carry out of the top moves into the exponent.
template <int bits>
constexpr Rounded round_magnitude(std::uint64_t x) noexcept {
    static_assert(bits >= 2 && bits < 53);
    constexpr int drop = 53 - bits;
    const int biased = static_cast<int>((x >> 52) & 0x7FF);
    const std::uint64_t m = (x & 0xFFFFFFFFFFFFFULL) | (std::uint64_t{1} << 52);
    // Half an ulp less one, plus the kept last bit: carries exactly when the dropped bits are
    // above half, or at half with the kept value odd.
    std::uint64_t k = (m + (std::uint64_t{1} << (drop - 1)) - 1 + ((m >> drop) & 1)) >> drop;
    int exponent = biased - 1023;
    if (k >> bits) {
        k >>= 1;
        ++exponent;
    }
    return {k, exponent};
}

static_assert(round_magnitude<24>(0x3FF0000000000000ULL).significand == 0x800000);               // 1.0
static_assert(round_magnitude<24>(0x3FF0000010000000ULL).significand == 0x800000);               // tie, even
static_assert(round_magnitude<24>(0x3FF0000030000000ULL).significand == 0x800002);               // tie, up
static_assert(round_magnitude<24>(0x3FFFFFFFF0000000ULL).exponent == 1);                        // carry

/// 2^k for k in binary64's normal exponent range, built as a pattern: a product with it is exact
/// wherever the result is a normal binary64.
constexpr double pow2(int k) noexcept {
    return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
}

/// Python's repr of a float that is a NaN, an infinity or at least 1e16 in magnitude (every
/// finite value that some format cannot hold is beyond 2^127).
std::string python_repr(double value);

/// ValueError "{repr(value)} is out of range for {format}".
[[gnu::cold, gnu::noinline]] CodecError out_of_range(double value, const char* format);

}  // namespace bitloom::older_float
