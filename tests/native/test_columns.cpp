// The column loop: known values on the byte-aligned path in both byte orders and on the general
// path, a failure in a later share found first by the threads, and the packet framing walk.
#include <cstring>
#include <vector>

#include "check.hpp"
#include "core/columns.hpp"

using namespace bitloom;
using namespace bitloom::columns;
using E = UnpackEncoding;

namespace {

void aligned_and_general_fields() {
    // Two 16-byte packets: 0x01 0x02 .. 0x10 and 0x11 .. 0x20.
    std::vector<std::uint8_t> data(32);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i + 1);
    std::uint16_t be16[2], le16[2];
    std::int32_t le32[2];
    std::uint64_t be64[2];
    std::uint16_t twelve[2];
    std::int8_t nibble[2];
    float f32[2];
    std::vector<Field> fields = {
        {.offset = 0, .bits = 16, .has_offset = true, .out = be16},
        {.offset = 16, .bits = 16, .has_offset = true, .little = true, .out = le16},
        {.offset = 32, .bits = 32, .has_offset = true, .little = true,
         .encoding = E::TwosComplement, .out = le32},
        {.offset = 64, .bits = 64, .has_offset = true, .out = be64},
        {.offset = 4, .bits = 12, .has_offset = true, .out = twelve},  // not byte-aligned
        {.offset = 12, .bits = 4, .has_offset = true, .reverse = true,
         .encoding = E::TwosComplement, .out = nibble},
        {.offset = 0, .bits = 32, .has_offset = true, .encoding = E::Ieee754F32, .out = f32},
    };
    const Plan plan(Packets{.data = data.data(), .size = data.size(), .stride = 16, .count = 2},
                    fields);
    CHECK(!plan.run(0, 2));
    CHECK(be16[0] == 0x0102 && be16[1] == 0x1112);
    CHECK(le16[0] == 0x0403 && le16[1] == 0x1413);
    CHECK(le32[0] == 0x08070605 && le32[1] == 0x18171615);
    CHECK(be64[0] == 0x090A0B0C0D0E0F10ULL && be64[1] == 0x191A1B1C1D1E1F20ULL);
    CHECK(twelve[0] == 0x102 && twelve[1] == 0x112);
    CHECK(nibble[0] == 4 && nibble[1] == 4);  // 0b0010 reversed is 0b0100
    std::uint32_t bits;
    std::memcpy(&bits, &f32[0], 4);
    CHECK(bits == 0x01020304);
}

void lowest_failure_across_threads() {
    // 10,000 one-byte packets of packed BCD; two bad digits, the lower one in the first share.
    const std::size_t n = 10000;
    std::vector<std::uint8_t> data(n, 0x42);
    data[7000] = 0x4A;
    data[1500] = 0xB1;
    std::vector<std::uint64_t> out(n);
    const Plan plan(Packets{.data = data.data(), .size = n, .stride = 1, .count = n},
                    {Field{.bits = 8, .encoding = E::PackedBcd, .out = out.data()}});
    for (unsigned threads : {1u, 2u, 3u, 8u}) {
        auto failure = plan.run_parallel(threads);
        CHECK(failure && failure->packet == 1500);
    }
    data[1500] = 0x42;
    auto failure = plan.run_parallel(2);
    CHECK(failure && failure->packet == 7000);
    data[7000] = 0x42;
    CHECK(!plan.run_parallel(4) && out[0] == 42 && out[n - 1] == 42);
}

void framing() {
    // Space packets of 8 and 7 bytes, then 3 bytes of a third header.
    const std::uint8_t data[] = {0, 0, 0, 0, 0, 1, 0xAA, 0xBB, 0, 0, 0, 0, 0, 0, 0xCC, 1, 2, 3};
    Framed framed = frame_packets(data, sizeof data, 0, nullptr);
    CHECK(framed.count == 2 && framed.cut && framed.cut->in_header && framed.cut->offset == 15 &&
          framed.cut->left == 3);
    std::uint64_t offsets[2] = {};
    frame_packets(data, sizeof data, 0, offsets);
    CHECK(offsets[0] == 0 && offsets[1] == 8);
    framed = frame_packets(data, 14, 0, nullptr);  // the second packet cut short
    CHECK(framed.count == 1 && framed.cut && !framed.cut->in_header && framed.cut->needed == 7 &&
          framed.cut->left == 6);
    framed = frame_packets(data, sizeof data, 6, nullptr);
    CHECK(framed.count == 3 && !framed.cut);
    framed = frame_packets(data, sizeof data, 5, nullptr);
    CHECK(framed.count == 3 && framed.cut && framed.cut->offset == 15 && framed.cut->left == 3);
}

void element_types() {
    CHECK(element_of(E::Unsigned, 0) == Element::U8 && element_of(E::Unsigned, 9) == Element::U16);
    CHECK(element_of(E::SignMagnitude, 33) == Element::I64);
    CHECK(element_of(E::PackedBcd, 8) == Element::U64 && element_of(E::BcdSigned, 8) == Element::I64);
    CHECK(element_of(E::Ieee754F16, 16) == Element::F32 && element_of(E::TiF40, 40) == Element::F64);
    CHECK(element_of(E::Latin1, 8) == Element::Text && element_size(Element::Text) == 0);
}

}  // namespace

int main() {
    aligned_and_general_fields();
    lowest_failure_across_threads();
    framing();
    element_types();
    return check::finish("test_columns");
}
