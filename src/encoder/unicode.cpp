#include "encoder.hpp"

namespace bitloom {

Result<ByteBuffer> encode_utf8(std::string_view /*text*/) { return not_available("encode_utf8"); }
Result<ByteBuffer> encode_utf16(std::string_view /*text*/) { return not_available("encode_utf16"); }
Result<ByteBuffer> encode_utf16le(std::string_view /*text*/) { return not_available("encode_utf16le"); }
Result<ByteBuffer> encode_utf16be(std::string_view /*text*/) { return not_available("encode_utf16be"); }
Result<ByteBuffer> encode_utf32(std::string_view /*text*/) { return not_available("encode_utf32"); }
Result<ByteBuffer> encode_utf32le(std::string_view /*text*/) { return not_available("encode_utf32le"); }
Result<ByteBuffer> encode_utf32be(std::string_view /*text*/) { return not_available("encode_utf32be"); }

}  // namespace bitloom
