#include "decoder.hpp"

namespace bitloom {

Result<Text> decode_us_ascii(Bytes /*bytes*/) { return not_available("decode_us_ascii"); }
Result<Text> decode_iso_8859_1(Bytes /*bytes*/) { return not_available("decode_iso_8859_1"); }
Result<Text> decode_windows_1252(Bytes /*bytes*/) { return not_available("decode_windows_1252"); }

}  // namespace bitloom
