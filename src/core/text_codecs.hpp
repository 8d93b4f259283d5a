// Text codecs over UTF-8 input and output (scalar values only).
#pragma once

#include <string_view>

#include "codec.hpp"

namespace bitloom {

Result<ByteBuffer> encode_us_ascii(std::string_view text);
Result<ByteBuffer> encode_iso_8859_1(std::string_view text);
Result<ByteBuffer> encode_windows_1252(std::string_view text);
Result<ByteBuffer> encode_utf8(std::string_view text);
Result<ByteBuffer> encode_utf16(std::string_view text);
Result<ByteBuffer> encode_utf16le(std::string_view text);
Result<ByteBuffer> encode_utf16be(std::string_view text);
Result<ByteBuffer> encode_utf32(std::string_view text);
Result<ByteBuffer> encode_utf32le(std::string_view text);
Result<ByteBuffer> encode_utf32be(std::string_view text);

Result<Text> decode_us_ascii(Bytes bytes);
Result<Text> decode_iso_8859_1(Bytes bytes);
Result<Text> decode_windows_1252(Bytes bytes);
Result<Text> decode_utf8(Bytes bytes);
Result<Text> decode_utf16(Bytes bytes);
Result<Text> decode_utf16le(Bytes bytes);
Result<Text> decode_utf16be(Bytes bytes);
Result<Text> decode_utf32(Bytes bytes);
Result<Text> decode_utf32le(Bytes bytes);
Result<Text> decode_utf32be(Bytes bytes);

/// UTF-16 / UTF-32 without mark detection, in the given byte order (false: big-endian).
Result<Text> decode_utf16_with_endianness(Bytes bytes, bool little_endian);
Result<Text> decode_utf32_with_endianness(Bytes bytes, bool little_endian);

}  // namespace bitloom
