// The bit-level binary64 -> binary32 narrowing against the processor's own conversion.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>

#include "check.hpp"
#include "core/narrow.hpp"

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

}  // namespace

int main() {
    std::mt19937_64 rng(20261207);
    for (int i = 0; i < 4000000; ++i) {
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
        const std::uint32_t want = hardware(bits);
        const std::uint32_t got = narrow_binary64_bits(bits);
        CHECK(want == got);
        if (check::failures > 10) break;
    }
    return check::finish("test_narrow");
}
