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

/// A str's own storage, read in place: `length` code points of `width` bytes each (1, 2 or 4) in
/// the machine's byte order. Text of width 2 or 4 holds no surrogate code point (the module
/// surface turns those away before an encoder sees them).
struct TextView {
    const void* data;
    std::size_t length;
    std::uint8_t width;
    bool ascii;  // width 1 and every code point below 0x80
};

/// Encoded text not written yet, read from a TextView; `size` counts bytes, the mark included.
struct EncodedView {
    TextView text;
    std::size_t size = 0;
    ByteForm form = ByteForm::Utf8;
    bool mark = false;
};

[[nodiscard]] bool write_bytes(const EncodedView& encoded, std::uint8_t* out) noexcept;
[[gnu::cold]] CodecError encode_failure(const EncodedView& encoded);

namespace text {
/// True when 2- or 4-byte text holds a code point D800..DFFF.
bool has_surrogate(const TextView& text) noexcept;
/// Single bytes from code units of any width; false when a unit has none.
bool narrow_ascii(const TextView& text, std::uint8_t* out) noexcept;
bool narrow_latin1(const TextView& text, std::uint8_t* out) noexcept;
bool narrow_windows_1252(const TextView& text, std::uint8_t* out) noexcept;
CodecError single_byte_failure(const TextView& text, ByteForm form);
}  // namespace text

/// The text encoders of the module functions: same checks and failures as the encoders of
/// encoder.hpp, but the result still points into the input.
namespace direct {
Result<EncodedView> encode_us_ascii(TextView text);
Result<EncodedView> encode_iso_8859_1(TextView text);
Result<EncodedView> encode_windows_1252(TextView text);
Result<EncodedText> encode_utf8(std::string_view text);
Result<EncodedView> encode_utf16(TextView text);
Result<EncodedView> encode_utf16le(TextView text);
Result<EncodedView> encode_utf16be(TextView text);
Result<EncodedView> encode_utf32(TextView text);
Result<EncodedView> encode_utf32le(TextView text);
Result<EncodedView> encode_utf32be(TextView text);
}  // namespace direct

}  // namespace bitloom
