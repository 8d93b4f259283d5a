// Sign-magnitude, ones' and two's complement and the byte form of a pattern: arbitrary values
// and widths through the encoders (refusal exactly outside each encoding's range, otherwise a
// pattern within the width that decodes back), arbitrary patterns through the decoders against
// the 128-bit arithmetic of the rules, and the byte form against a bit-by-bit model.
#include <string>

#include "core/integer.hpp"
#include "core/bcd.hpp"
#include "core/ieee754.hpp"
#include "core/other_float.hpp"
#include "fuzz_check.hpp"

using namespace bitloom;

namespace {

using i128 = __int128;

i128 pow2(std::uint32_t n) { return i128{1} << n; }

void encoders(std::int64_t value, std::uint32_t bits) {
    const i128 v = value;
    const std::string shown = std::to_string(value), width = std::to_string(bits);
    {
        auto r = encode_sign_magnitude(value, bits);
        if (bits < 2 || bits > 64) {
            FUZZ_CHECK(!r.ok() && r.error().message == "bits must be between 2 and 64 for sign-magnitude encoding");
        } else if ((v < 0 ? -v : v) >= pow2(bits - 1)) {
            FUZZ_CHECK(!r.ok() && r.error().message == "Magnitude of " + shown + " is too large for " + width + " bits");
        } else {
            FUZZ_CHECK(r.ok() && (bits == 64 || *r < (std::uint64_t{1} << bits)));
            FUZZ_CHECK(*r != std::uint64_t{1} << (bits - 1));  // no negative zero
            FUZZ_CHECK(decode_sign_magnitude(*r, bits) == value);
        }
    }
    {
        auto r = encode_ones_complement(value, bits);
        if (bits > 64) {
            FUZZ_CHECK(!r.ok() && r.error().message == "bits must be <= 64 for ones' complement encoding");
        } else if (bits == 0) {
            // Width 0 is not refused; the result is left open, but it must be a value or a ValueError.
            FUZZ_CHECK(r.ok() || r.error().kind == ErrorKind::ValueError);
        } else if (v >= 0 && v > pow2(bits - 1) - 1) {
            FUZZ_CHECK(!r.ok() && r.error().message == "Value " + shown + " is too large for " + width + " bits");
        } else if (v < 0 && -v >= pow2(bits - 1)) {
            FUZZ_CHECK(!r.ok() && r.error().message ==
                                      "Value " + shown + " is too large (magnitude) for " + width + " bits");
        } else {
            FUZZ_CHECK(r.ok() && (bits == 64 || *r < (std::uint64_t{1} << bits)));
            FUZZ_CHECK(*r != static_cast<std::uint64_t>(pow2(bits) - 1));  // no negative zero
            FUZZ_CHECK(decode_ones_complement(*r, bits) == value);
        }
    }
    {
        auto r = encode_twos_complement(value, bits);
        if (bits > 64) {
            FUZZ_CHECK(!r.ok() && r.error().message == "bits must be <= 64 for two's complement encoding");
        } else if (bits == 0) {
            FUZZ_CHECK(r.ok() || r.error().kind == ErrorKind::ValueError);
        } else if (bits < 64 && (v < -pow2(bits - 1) || v > pow2(bits - 1) - 1)) {
            FUZZ_CHECK(!r.ok() && r.error().message == "Value " + shown + " out of range for " + width +
                                                           " bits (range: " + std::to_string(-(std::int64_t{1} << (bits - 1))) +
                                                           " to " + std::to_string((std::int64_t{1} << (bits - 1)) - 1) + ")");
        } else {
            FUZZ_CHECK(r.ok() && (bits == 64 || *r < (std::uint64_t{1} << bits)));
            FUZZ_CHECK(decode_twos_complement(*r, bits) == value);
        }
    }
}

void decoders(std::uint64_t pattern, std::uint32_t bits) {
    // Width 0 (and sign-magnitude above 64) is left open: any value, no failure, no UB.
    (void)decode_sign_magnitude(pattern, bits);
    (void)decode_ones_complement(pattern, bits);
    (void)decode_twos_complement(pattern, bits);
    if (bits == 0) return;
    const auto as_signed = static_cast<std::int64_t>(pattern);
    if (bits >= 64) {
        FUZZ_CHECK(decode_twos_complement(pattern, bits) == as_signed);
        FUZZ_CHECK(decode_ones_complement(pattern, bits) == (as_signed < 0 ? as_signed + 1 : as_signed));
        if (bits == 64) {
            const std::uint64_t m = pattern & ~(std::uint64_t{1} << 63);
            FUZZ_CHECK(decode_sign_magnitude(pattern, 64) == (pattern >> 63 ? -static_cast<std::int64_t>(m)
                                                                             : static_cast<std::int64_t>(m)));
        }
        return;
    }
    const bool sign = (pattern >> (bits - 1)) & 1;
    const std::uint64_t low = pattern & ((std::uint64_t{1} << bits) - 1);
    const std::uint64_t mag = pattern & ((std::uint64_t{1} << (bits - 1)) - 1);
    FUZZ_CHECK(decode_sign_magnitude(pattern, bits) == (sign ? -static_cast<std::int64_t>(mag) : static_cast<std::int64_t>(mag)));
    FUZZ_CHECK(decode_twos_complement(pattern, bits) ==
               (sign ? static_cast<std::int64_t>(low - (std::uint64_t{1} << bits)) : as_signed));
    FUZZ_CHECK(decode_ones_complement(pattern, bits) ==
               (sign ? static_cast<std::int64_t>(pattern - ((std::uint64_t{1} << bits) - 1)) : as_signed));
}

// The byte form, one bit at a time: bit j of the reversed value is bit bits-1-j of the value.
void byte_form(u128 value, std::uint32_t bits, bool reverse, bool wide) {
    auto r = wide ? encode_integer_to_bytes_u128(value, bits, reverse)
                  : encode_integer_to_bytes(static_cast<std::uint64_t>(value), bits, reverse);
    const std::uint32_t limit = wide ? 128 : 64;
    if (!wide) value = static_cast<std::uint64_t>(value);
    if (bits > limit) {
        FUZZ_CHECK(!r.ok() && r.error().message == "Cannot encode " + std::to_string(bits) + " bits from a " +
                                                       std::to_string(limit) + "-bit value");
        return;
    }
    FUZZ_CHECK(r.ok());
    const std::uint32_t k = (bits + 7) / 8;
    FUZZ_CHECK(r->size() == k);
    u128 v = value;
    if (reverse) {
        v = 0;
        for (std::uint32_t j = 0; j < bits; ++j)
            if ((value >> j) & 1) v |= u128{1} << (bits - 1 - j);
    }
    for (std::uint32_t i = 0; i < k; ++i)
        FUZZ_CHECK((*r)[i] == static_cast<std::uint8_t>(v >> (8 * (k - 1 - i))));
    if (reverse && !wide) FUZZ_CHECK(reverse_bits64(reverse_bits64(static_cast<std::uint64_t>(value), bits), bits) ==
                                     (bits == 64 ? static_cast<std::uint64_t>(value)
                                                 : static_cast<std::uint64_t>(value) & ((std::uint64_t{1} << bits) - 1)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() >= 2) {
        const std::uint8_t flags = in.ConsumeIntegral<std::uint8_t>();
        const std::uint32_t bits = flags & 1 ? in.ConsumeIntegral<std::uint32_t>()
                                             : in.ConsumeIntegralInRange<std::uint32_t>(0, 130);
        switch ((flags >> 1) & 3) {
        case 0: {
            std::int64_t value = in.ConsumeIntegral<std::int64_t>();
            // Values near the range limits of the width are where the checks can slip.
            if (flags & 8 && bits >= 1 && bits <= 64) {
                std::uint64_t edge = (std::uint64_t{1} << (bits - 1)) + static_cast<std::uint64_t>(value % 3 - 1);
                if (flags & 16) edge = 0 - edge;
                value = static_cast<std::int64_t>(edge);
            }
            encoders(value, bits);
            break;
        }
        case 1: decoders(in.ConsumeIntegral<std::uint64_t>(), bits); break;
        default: {
            const u128 hi = in.ConsumeIntegral<std::uint64_t>();
            byte_form(hi << 64 | in.ConsumeIntegral<std::uint64_t>(), bits, flags & 8, flags & 16);
            break;
        }
        }
    }
    return 0;
}
