// Encoded text that has not been written out yet: the checked UTF-8 input, the exact size of
// its encoding and the encoding. The module surface allocates a bytes object of `size` and lets
// `write_bytes` fill it, so the output is written once, in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "codec.hpp"

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

// Decoded text that has not been written out yet: the checked input bytes and what a string of
// them needs. The module surface sizes a str from `length` and `max_code_point` and lets
// `write_text` fill it in the str's own width, so no intermediate UTF-8 copy is made.
#pragma once



namespace bitloom {

/// How the checked bytes are read.
enum class TextForm : std::uint8_t { Latin1, Utf8, Utf16be, Utf16le, Utf32be, Utf32le, Windows1252 };

struct DecodedText {
    const std::uint8_t* data = nullptr;  // borrowed from the decoder's input
    std::size_t size = 0;
    std::size_t length = 0;  // in code points
    /// The largest code point rounded up to its width class: 0x7F, 0xFF, 0xFFFF or 0x10FFFF.
    std::uint32_t max_code_point = 0x7F;
    TextForm form = TextForm::Latin1;
};

/// Fill `length` code units of the width that `max_code_point` calls for.
void write_text(const DecodedText& text, std::uint8_t* out) noexcept;
void write_text(const DecodedText& text, std::uint16_t* out) noexcept;
void write_text(const DecodedText& text, std::uint32_t* out) noexcept;
/// The text as UTF-8.
Text to_utf8(const DecodedText& text);

namespace text {
/// Checks UTF-8 (or UTF-16 of even length) and describes it; false when it is ill-formed.
bool describe_utf8(Bytes bytes, DecodedText& out) noexcept;
bool describe_utf16(Bytes bytes, bool little_endian, DecodedText& out) noexcept;
/// Windows-1252 into 16-bit units (text at or below U+00FF is a plain copy of the bytes).
void write_windows_1252(const std::uint8_t* p, std::size_t n, std::uint16_t* out) noexcept;
}  // namespace text

/// The text decoders of the module functions: same checks and failures as the decoders of
/// decoder.hpp, but the result still points into `bytes`.
namespace direct {
Result<DecodedText> decode_us_ascii(Bytes bytes);
Result<DecodedText> decode_iso_8859_1(Bytes bytes);
Result<DecodedText> decode_windows_1252(Bytes bytes);
Result<DecodedText> decode_utf8(Bytes bytes);
Result<DecodedText> decode_utf16(Bytes bytes);
Result<DecodedText> decode_utf16le(Bytes bytes);
Result<DecodedText> decode_utf16be(Bytes bytes);
Result<DecodedText> decode_utf32(Bytes bytes);
Result<DecodedText> decode_utf32le(Bytes bytes);
Result<DecodedText> decode_utf32be(Bytes bytes);
}  // namespace direct

}  // namespace bitloom
