// The format conversions of core/float_format.hpp: binary64 -> binary32 against the processor's
// own conversion, and the pairs that only the generic code covers (binary64 -> binary16,
// binary64 <-> binary128) at every rounding boundary they are asked about.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>

#include "check.hpp"
#include "core/float_format.hpp"

using namespace bitloom;

namespace {

std::uint32_t hardware(std::uint64_t bits) {
    const double d = std::bit_cast<double>(bits);
    if (std::isnan(d)) return std::bit_cast<std::uint32_t>(static_cast<float>(d));
    // Out of range: the conversion itself would be undefined; the rule gives an infinity.
    if (std::fabs(d) >= 340282356779733661637539395458142568448.0)
        return std::signbit(d) ? 0xFF800000u : 0x7F800000u;
    return std::bit_cast<std::uint32_t>(static_cast<float>(d));
}

void binary64_to_binary32(std::mt19937_64& rng) {
    for (int i = 0; i < 4000000 && check::failures <= 10; ++i) {
        std::uint64_t bits = rng();
        switch (i % 4) {
            case 0: break;  // anywhere
            case 1:         // exponents around the binary32 range, including its subnormals
                bits = (bits & 0x800FFFFFFFFFFFFFULL) |
                       (static_cast<std::uint64_t>(1023 - 160 + rng() % 300) << 52);
                break;
            case 2: bits &= ~((std::uint64_t{1} << (rng() % 30)) - 1); break;  // ties and near-ties
            case 3: bits = (bits & 0xFFF0000000000000ULL) | (std::uint64_t{1} << 28) |
                           ((rng() % 2) << 29); break;  // exact halfway cases
        }
        CHECK((narrow_bits<binary64, binary32>(bits) == hardware(bits)));
    }
}

// Each finite binary16 h and the next one up: their binary64 midpoint goes to the even one,
// the binary64 values either side of it to the nearer one; both signs, subnormals and the step
// into infinity included. Every binary16 also goes up to binary64 and back unchanged.
void binary64_to_binary16() {
    for (std::uint64_t sign : {std::uint64_t{0}, std::uint64_t{1} << 63}) {
        const std::uint32_t sign16 = static_cast<std::uint32_t>(sign >> 48);
        const auto narrow = [&](std::uint64_t magnitude) {
            return narrow_bits<binary64, binary16>(sign | magnitude) ^ sign16;
        };
        for (std::uint32_t h = 0; h < 0x7C00 && check::failures <= 10; ++h) {
            const std::uint64_t a = widen_bits<binary16, binary64>(h);
            CHECK((narrow_bits<binary64, binary16>(sign | a) == (sign16 | h)));
            // 0x7C00 stands for 2^16 here, where the rounding goes to infinity.
            const double b = h + 1 == 0x7C00 ? 65536.0
                                             : std::bit_cast<double>(widen_bits<binary16, binary64>(h + 1));
            const std::uint64_t m = std::bit_cast<std::uint64_t>((std::bit_cast<double>(a) + b) / 2);
            CHECK((narrow(m) == h + (h & 1)));
            CHECK((narrow(m - 1) == h));
            CHECK((narrow(m + 1) == h + 1));
        }
    }
    for (std::uint32_t nan = 0x7C01; nan < 0x8000; ++nan)
        CHECK((narrow_bits<binary64, binary16>(widen_bits<binary16, binary64>(nan)) == (nan | 0x200)));
    // One rounding, not two: through binary32 this tie-breaking bit would be lost.
    CHECK((narrow_bits<binary64, binary16>(0x3FF0020000010000ULL) == 0x3C01));
}

// binary64 patterns widened to binary128 and brought back: the rounding narrowing returns each
// (a NaN made quiet), the truncation each normal and infinity; from a normal's midpoint to the
// next binary64 the rounding goes to the even one and the truncation stays put.
void binary64_through_binary128(std::mt19937_64& rng) {
    constexpr u128 half_ulp = u128{1} << 59;  // half a binary64 ulp in a binary128 of the same binade
    for (int i = 0; i < 1000000 && check::failures <= 10; ++i) {
        const std::uint64_t x = rng();
        const std::uint64_t e = (x >> 52) & 0x7FF;
        const u128 wide = widen_bits<binary64, binary128>(x);
        if (e == 0x7FF) {
            const bool nan = (x & 0xFFFFFFFFFFFFFULL) != 0;
            CHECK((narrow_bits<binary128, binary64>(wide) == (nan ? x | 0x8000000000000ULL : x)));
            CHECK((truncate_bits<binary128, binary64>(wide) == (nan ? 0x7FF8000000000000ULL : x)));
        } else if (e == 0) {
            CHECK((narrow_bits<binary128, binary64>(wide) == x));
            CHECK((truncate_bits<binary128, binary64>(wide) == (x & 0x8000000000000000ULL)));
        } else {
            CHECK((narrow_bits<binary128, binary64>(wide) == x));
            CHECK((truncate_bits<binary128, binary64>(wide) == x));
            CHECK((narrow_bits<binary128, binary64>(wide + half_ulp) == x + (x & 1)));
            CHECK((narrow_bits<binary128, binary64>(wide + half_ulp - 1) == x));
            CHECK((narrow_bits<binary128, binary64>(wide + half_ulp + 1) == x + 1));
            CHECK((truncate_bits<binary128, binary64>(wide + 2 * half_ulp - 1) == x));
        }
    }
}

}  // namespace

int main() {
    std::mt19937_64 rng(20261207);
    binary64_to_binary32(rng);
    binary64_to_binary16();
    binary64_through_binary128(rng);
    return check::finish("test_narrow");
}
