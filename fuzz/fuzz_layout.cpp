// Placing fields into packets and cutting them out, against bit-at-a-time models: random packet
// images and sizes (each packet is an exact heap allocation, so a stray byte is caught), random
// widths, start bits, byte orders and reversal. Nothing outside the field or the packet changes,
// every field bit is what the model says, and a placed big-endian field reads back.
#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#include "core/integer.hpp"
#include "core/bcd.hpp"
#include "core/ieee754.hpp"
#include "core/other_float.hpp"
#include "fuzz_check.hpp"
#include "core/layout.hpp"

using namespace bitloom;
using namespace bitloom::layout;

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

int bit(const std::uint8_t* bytes, std::uint64_t q) { return (bytes[q / 8] >> (7 - q % 8)) & 1; }

std::uint64_t ref_reverse(std::uint64_t v, std::uint32_t w) {
    std::uint64_t r = 0;
    for (std::uint32_t j = 0; j < w; ++j)
        if ((v >> j) & 1) r |= std::uint64_t{1} << (w - 1 - j);
    return r;
}

struct Packet {
    std::size_t size;
    std::unique_ptr<std::uint8_t[]> bytes;
    std::vector<std::uint8_t> before;
    Packet(FuzzedDataProvider& in, std::size_t max) : size(in.ConsumeIntegralInRange<std::size_t>(0, max)),
                                                       bytes(new std::uint8_t[size]) {
        for (std::size_t i = 0; i < size; ++i) bytes[i] = in.ConsumeIntegral<std::uint8_t>();
        before.assign(bytes.get(), bytes.get() + size);
    }
    // Every packet bit outside [start, start + w) is as it was; inside, `field(k)` gives bit k.
    template <class Field>
    void expect(std::uint64_t start, std::uint64_t w, Field field) const {
        for (std::uint64_t p = 0; p < std::uint64_t{size} * 8; ++p) {
            const bool inside = p >= start && p - start < w;
            FUZZ_CHECK(bit(bytes.get(), p) == (inside ? field(p - start) : bit(before.data(), p)));
        }
    }
};

// A start bit: mostly inside or just past the packet, sometimes anywhere at all.
std::uint64_t draw_start(FuzzedDataProvider& in, std::size_t size) {
    const std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
    if (pick < 8) return in.ConsumeIntegral<std::uint64_t>();
    return in.ConsumeIntegralInRange<std::uint64_t>(0, std::uint64_t{size} * 8 + 72);
}

void pattern_field(FuzzedDataProvider& in) {
    Packet packet(in, 24);
    const std::uint64_t start = draw_start(in, packet.size);
    const std::uint32_t w = in.ConsumeIntegralInRange<std::uint32_t>(0, 64);
    const std::uint64_t pattern = in.ConsumeIntegral<std::uint64_t>();
    const bool reverse = in.ConsumeBool(), little = in.ConsumeBool();
    if (start > kMax - w) return;  // the builder refuses these before placing anything

    place_pattern(packet.bytes.get(), packet.size, start, w, pattern, reverse, little);
    // The image: the low 8L bits of the (reversed) pattern, big-endian, bytes reversed if little.
    const std::uint32_t L = (w + 7) / 8;
    const std::uint64_t v = reverse ? ref_reverse(pattern, w) : pattern;
    std::uint8_t image[8] = {};
    for (std::uint32_t i = 0; i < L; ++i) image[i] = static_cast<std::uint8_t>(v >> (8 * (L - 1 - i)));
    if (little) std::reverse(image, image + L);
    packet.expect(start, w, [&](std::uint64_t k) { return bit(image, 8 * L - w + k); });

    // Inside the packet, a big-endian field (or a whole-byte little-endian one) reads back.
    if (w > 0 && !check_bounds(packet.size, start, w)) {
        const std::uint64_t mask = w == 64 ? kMax : (std::uint64_t{1} << w) - 1;
        const std::uint64_t got = cut_value(packet.bytes.get(), packet.size, start, w, little, reverse);
        if (!little || w % 8 == 0) FUZZ_CHECK(got == (pattern & mask));
    }
}

void image_field(FuzzedDataProvider& in) {
    Packet packet(in, 24);
    const std::uint64_t start = draw_start(in, packet.size);
    std::uint64_t w = in.ConsumeBool() ? in.ConsumeIntegral<std::uint64_t>()
                                       : in.ConsumeIntegralInRange<std::uint64_t>(0, 256);
    if (w > kMax - start) w = kMax - start;
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 40);
    std::unique_ptr<std::uint8_t[]> image(new std::uint8_t[count]);
    for (std::size_t i = 0; i < count; ++i) image[i] = in.ConsumeIntegral<std::uint8_t>();

    place_image(packet.bytes.get(), packet.size, start, w, image.get(), count);
    const std::uint64_t image_bits = std::uint64_t{count} * 8;
    const std::uint64_t skip = image_bits >= w ? image_bits - w : 0;
    packet.expect(start, w, [&](std::uint64_t k) { return skip + k < image_bits ? bit(image.get(), skip + k) : 0; });
}

void copy(FuzzedDataProvider& in) {
    Packet packet(in, 40);
    const std::uint64_t dst = draw_start(in, packet.size);
    const std::uint64_t src_pos = in.ConsumeIntegralInRange<std::uint64_t>(0, 64);
    std::uint64_t n = in.ConsumeIntegralInRange<std::uint64_t>(0, 400);
    if (n > kMax - dst) n = kMax - dst;
    // The source holds exactly the bytes that carry its n bits.
    const std::size_t src_size = static_cast<std::size_t>(bytes_for_bits(src_pos + n));
    std::unique_ptr<std::uint8_t[]> src(new std::uint8_t[src_size]);
    for (std::size_t i = 0; i < src_size; ++i) src[i] = in.ConsumeIntegral<std::uint8_t>();

    copy_bits(packet.bytes.get(), packet.size, dst, src.get(), src_pos, n);
    packet.expect(dst, n, [&](std::uint64_t k) { return bit(src.get(), src_pos + k); });
}

void binary(FuzzedDataProvider& in) {
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 40);
    std::unique_ptr<std::uint8_t[]> raw(new std::uint8_t[count]);
    for (std::size_t i = 0; i < count; ++i) raw[i] = in.ConsumeIntegral<std::uint8_t>();
    const std::uint32_t w = in.ConsumeIntegralInRange<std::uint32_t>(1, 400);
    const bool reverse = in.ConsumeBool();

    const ByteBuffer image = binary_image(raw.get(), count, w, reverse);
    const std::size_t n = (w + 7) / 8;
    FUZZ_CHECK(image.size() == n);
    // Unreversed: the last bytes right-aligned, cleared above bit w.
    std::vector<std::uint8_t> plain(n, 0);
    for (std::size_t i = 0; i < n && i < count; ++i) plain[n - 1 - i] = raw[count - 1 - i];
    const std::uint64_t pad = 8 * n - w;
    for (std::uint64_t q = 0; q < 8 * n; ++q) {
        const int want = q < pad ? 0 : reverse ? bit(plain.data(), pad + (8 * n - 1 - q)) : bit(plain.data(), q);
        FUZZ_CHECK(bit(image.data(), q) == want);
    }
}

void cutting(FuzzedDataProvider& in) {
    Packet packet(in, 24);
    const std::uint64_t start = draw_start(in, packet.size);
    const std::uint64_t w = in.ConsumeBool() ? in.ConsumeIntegral<std::uint64_t>()
                                             : in.ConsumeIntegralInRange<std::uint64_t>(0, 200);
    const bool little = in.ConsumeBool(), reverse = in.ConsumeBool();
    if (start > kMax - w) {
        FUZZ_CHECK(check_position(start, w).has_value());
        return;
    }
    FUZZ_CHECK(!check_position(start, w).has_value());

    const auto fault = check_bounds(packet.size, start, w);
    const std::uint64_t first = start / 8, end = bytes_for_bits(start + w);
    if (first > packet.size) {
        FUZZ_CHECK(fault && fault->kind == ErrorKind::InternalFault &&
                   fault->message == "range start index " + std::to_string(first) +
                                         " out of range for slice of length " + std::to_string(packet.size));
        return;
    }
    if (w > 0 && end > packet.size) {
        FUZZ_CHECK(fault && fault->kind == ErrorKind::InternalFault &&
                   fault->message == "range end index " + std::to_string(end) +
                                         " out of range for slice of length " + std::to_string(packet.size));
        return;
    }
    FUZZ_CHECK(!fault);

    // The field's bytes: its bits right-aligned behind zero bits, in reverse order for little.
    const std::size_t count = static_cast<std::size_t>(bytes_for_bits(w));
    std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[count]);
    cut_bytes(packet.bytes.get(), start, w, little, out.get());
    std::vector<std::uint8_t> want(count, 0);
    for (std::uint64_t k = 0; k < w; ++k)
        if (bit(packet.bytes.get(), start + k)) {
            const std::uint64_t q = 8 * count - w + k;
            want[q / 8] |= static_cast<std::uint8_t>(0x80 >> (q % 8));
        }
    if (little) std::reverse(want.begin(), want.end());
    for (std::size_t i = 0; i < count; ++i) FUZZ_CHECK(out[i] == want[i]);
    packet.expect(start, 0, [](std::uint64_t) { return 0; });  // reading changed nothing

    if (w <= 64) {
        std::uint64_t u = 0;
        for (std::size_t i = 0; i < count; ++i) u = (u << 8) | want[i];
        const std::uint32_t bits = static_cast<std::uint32_t>(w);
        const std::uint64_t value = reverse ? ref_reverse(u, bits) : (bits == 64 ? u : u & ((std::uint64_t{1} << bits) - 1));
        FUZZ_CHECK(cut_value(packet.bytes.get(), packet.size, start, bits, little, reverse) == value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0: pattern_field(in); break;
        case 1: image_field(in); break;
        case 2: copy(in); break;
        case 3: binary(in); break;
        default: cutting(in); break;
        }
    }
    return 0;
}
