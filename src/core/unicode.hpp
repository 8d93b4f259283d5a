// UTF-8, UTF-16 and UTF-32, both directions (types and writers in text.hpp).
#pragma once

#include <string_view>

#include "text.hpp"

namespace bitloom {

/// The str's own UTF-8 already is the encoding: the result is a view of `utf8`.
Result<Bytes> encode_utf8(std::string_view utf8);
/// UTF-16 and UTF-32 with a big-endian byte-order mark, and without one in either byte order.
Result<EncodedText> encode_utf16(TextView text);
Result<EncodedText> encode_utf16le(TextView text);
Result<EncodedText> encode_utf16be(TextView text);
Result<EncodedText> encode_utf32(TextView text);
Result<EncodedText> encode_utf32le(TextView text);
Result<EncodedText> encode_utf32be(TextView text);

Result<DecodedText> decode_utf8(Bytes bytes);
/// A leading byte-order mark picks the byte order (and is dropped); without one, big-endian.
Result<DecodedText> decode_utf16(Bytes bytes);
Result<DecodedText> decode_utf16le(Bytes bytes);
Result<DecodedText> decode_utf16be(Bytes bytes);
Result<DecodedText> decode_utf32(Bytes bytes);
Result<DecodedText> decode_utf32le(Bytes bytes);
Result<DecodedText> decode_utf32be(Bytes bytes);

}  // namespace bitloom
