#include "encoder.hpp"

namespace bitloom {

Result<ByteBuffer> encode_us_ascii(std::string_view /*text*/) { return not_available("encode_us_ascii"); }
Result<ByteBuffer> encode_iso_8859_1(std::string_view /*text*/) { return not_available("encode_iso_8859_1"); }
Result<ByteBuffer> encode_windows_1252(std::string_view /*text*/) { return not_available("encode_windows_1252"); }

}  // namespace bitloom
