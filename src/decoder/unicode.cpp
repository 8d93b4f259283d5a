#include "decoder.hpp"

namespace bitloom {

Result<Text> decode_utf8(Bytes /*bytes*/) { return not_available("decode_utf8"); }
Result<Text> decode_utf16(Bytes /*bytes*/) { return not_available("decode_utf16"); }
Result<Text> decode_utf16le(Bytes /*bytes*/) { return not_available("decode_utf16le"); }
Result<Text> decode_utf16be(Bytes /*bytes*/) { return not_available("decode_utf16be"); }
Result<Text> decode_utf32(Bytes /*bytes*/) { return not_available("decode_utf32"); }
Result<Text> decode_utf32le(Bytes /*bytes*/) { return not_available("decode_utf32le"); }
Result<Text> decode_utf32be(Bytes /*bytes*/) { return not_available("decode_utf32be"); }
Result<Text> decode_utf16_with_endianness(Bytes /*bytes*/, bool /*little_endian*/) {
    return not_available("decode_utf16_with_endianness");
}
Result<Text> decode_utf32_with_endianness(Bytes /*bytes*/, bool /*little_endian*/) {
    return not_available("decode_utf32_with_endianness");
}

}  // namespace bitloom
