// The byte form of a pattern and bit reversal, checked against a bit-by-bit model.
#include <cstdint>
#include <random>
#include <vector>

#include "check.hpp"
#include "core/integer.hpp"
#include "core/bcd.hpp"
#include "core/ieee754.hpp"
#include "core/other_float.hpp"

using namespace bitloom;

namespace {

std::vector<std::uint8_t> bytes_of(const Result<ByteBuffer>& r) {
    return std::vector<std::uint8_t>(r->begin(), r->end());
}

std::uint64_t slow_reverse(std::uint64_t value, std::uint32_t bits) {
    std::uint64_t out = 0;
    for (std::uint32_t j = 0; j < bits && j < 64; ++j)
        if ((value >> j) & 1) out |= std::uint64_t{1} << (bits - 1 - j);
    return out;
}

}  // namespace

int main() {
    using V = std::vector<std::uint8_t>;
    CHECK(bytes_of(encode_integer_to_bytes(0x1234, 16, false)) == (V{0x12, 0x34}));
    CHECK(bytes_of(encode_integer_to_bytes(0x1234, 12, false)) == (V{0x12, 0x34}));
    CHECK(bytes_of(encode_integer_to_bytes(0x1234, 12, true)) == (V{0x02, 0xC4}));
    CHECK(bytes_of(encode_integer_to_bytes(1, 12, true)) == (V{0x08, 0x00}));
    CHECK(bytes_of(encode_integer_to_bytes(255, 4, false)) == (V{0xFF}));
    CHECK(bytes_of(encode_integer_to_bytes(255, 4, true)) == (V{0x0F}));
    CHECK(bytes_of(encode_integer_to_bytes(~0ULL, 0, true)).empty());
    CHECK(bytes_of(encode_integer_to_bytes(~0ULL, 0, false)).empty());
    CHECK(bytes_of(encode_integer_to_bytes(0x0102030405060708ULL, 64, false)) ==
          (V{1, 2, 3, 4, 5, 6, 7, 8}));
    CHECK(bytes_of(encode_integer_to_bytes(0xAB01, 8, false)) == (V{0x01}));  // high bits dropped
    {
        auto r = encode_integer_to_bytes(0, 65, false);
        CHECK(!r.ok() && r.error().kind == ErrorKind::ValueError &&
              r.error().message == "Cannot encode 65 bits from a 64-bit value");
        auto w = encode_integer_to_bytes_u128(0, 129, false);
        CHECK(!w.ok() && w.error().message == "Cannot encode 129 bits from a 128-bit value");
    }
    {
        u128 v = (u128{0x0102030405060708ULL} << 64) | 0x090A0B0C0D0E0F10ULL;
        V expect;
        for (int i = 1; i <= 16; ++i) expect.push_back(static_cast<std::uint8_t>(i));
        CHECK(bytes_of(encode_integer_to_bytes_u128(v, 128, false)) == expect);
        CHECK(bytes_of(encode_integer_to_bytes_u128(1, 128, true)) ==
              (V{0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
        CHECK(bytes_of(encode_integer_to_bytes_u128(1, 0, true)).empty());
    }
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 200000; ++i) {
        std::uint64_t value = rng();
        std::uint32_t bits = static_cast<std::uint32_t>(rng() % 65);
        CHECK(reverse_bits64(value, bits) == slow_reverse(value, bits));
        auto image = encode_integer_to_bytes(value, bits, (i & 1) != 0);
        std::uint64_t expected = (i & 1) ? slow_reverse(value, bits) : value;
        std::size_t k = (bits + 7) / 8;
        CHECK(image.ok() && image->size() == k);
        std::uint64_t back = 0;
        for (std::size_t b = 0; b < k; ++b) back = (back << 8) | (*image)[b];
        std::uint64_t mask = k == 8 ? ~0ULL : ((std::uint64_t{1} << (8 * k)) - 1);
        CHECK(back == (expected & mask));
        u128 wide = reverse_bits128(value, bits);
        CHECK(wide == slow_reverse(value, bits));
        if (check::failures > 20) break;
    }
    return check::finish("test_integer_bytes");
}
