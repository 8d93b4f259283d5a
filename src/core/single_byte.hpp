// US-ASCII, ISO-8859-1 and Windows-1252 (the WHATWG index), both directions (types and writers
// in text.hpp).
#pragma once

#include "text.hpp"

namespace bitloom {

/// The encoders only count: a code point without a byte fails when the bytes are written.
Result<EncodedText> encode_us_ascii(TextView text);
Result<EncodedText> encode_iso_8859_1(TextView text);
Result<EncodedText> encode_windows_1252(TextView text);

Result<DecodedText> decode_us_ascii(Bytes bytes);
Result<DecodedText> decode_iso_8859_1(Bytes bytes);
/// A leading UTF-8 or UTF-16 byte-order mark overrides the label, as web decoders do.
Result<DecodedText> decode_windows_1252(Bytes bytes);

}  // namespace bitloom
