// Encoded text that has not been written out yet: the checked UTF-8 input, the exact size of
// its encoding and the encoding. The module surface allocates a bytes object of `size` and lets
// `write_bytes` fill it, so the output is written once, in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "../codec.hpp"

namespace bitloom {

/// Ascii, Latin1 and Windows1252 are checked while they are written: the plan only counts
/// code points, and writing reports a code point that the encoding lacks.
enum class ByteForm : std::uint8_t { Utf8, Utf16be, Utf16le, Utf32be, Utf32le, Ascii, Latin1, Windows1252 };

struct EncodedText {
    std::string_view text;  // UTF-8, borrowed
    std::size_t size = 0;   // bytes of output, the mark included
    ByteForm form = ByteForm::Utf8;
    bool mark = false;  // a big-endian byte-order mark goes first (UTF-16 and UTF-32 only)
};

/// Writes the `size` bytes; false when a code point has no byte in the encoding (the output is
/// then incomplete and `encode_failure` tells which error it is).
[[nodiscard]] bool write_bytes(const EncodedText& encoded, std::uint8_t* out) noexcept;
[[gnu::cold]] CodecError encode_failure(const EncodedText& encoded);
/// The encoding in a ByteBuffer.
Result<ByteBuffer> to_buffer(const EncodedText& encoded);

namespace text {
/// UTF-8 into single bytes; false at the first code point without one.
bool write_ascii(const std::uint8_t* p, std::size_t n, std::uint8_t* out) noexcept;
bool write_latin1(const std::uint8_t* p, std::size_t n, std::uint8_t* out) noexcept;
bool write_windows_1252(const std::uint8_t* p, std::size_t n, std::uint8_t* out) noexcept;
CodecError single_byte_failure(std::string_view text, ByteForm form);
}  // namespace text

/// The text encoders of the module functions: same checks and failures as the encoders of
/// encoder.hpp, but the result still points into `text`.
namespace direct {
Result<EncodedText> encode_us_ascii(std::string_view text);
Result<EncodedText> encode_iso_8859_1(std::string_view text);
Result<EncodedText> encode_windows_1252(std::string_view text);
Result<EncodedText> encode_utf8(std::string_view text);
Result<EncodedText> encode_utf16(std::string_view text);
Result<EncodedText> encode_utf16le(std::string_view text);
Result<EncodedText> encode_utf16be(std::string_view text);
Result<EncodedText> encode_utf32(std::string_view text);
Result<EncodedText> encode_utf32le(std::string_view text);
Result<EncodedText> encode_utf32be(std::string_view text);
}  // namespace direct

}  // namespace bitloom
