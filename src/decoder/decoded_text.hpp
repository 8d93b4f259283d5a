// Decoded text that has not been written out yet: the checked input bytes and what a string of
// them needs. The module surface sizes a str from `length` and `max_code_point` and lets
// `write_text` fill it in the str's own width, so no intermediate UTF-8 copy is made.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../codec.hpp"

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
