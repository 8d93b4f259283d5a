// The text types shared by both families of text codecs (unicode.hpp, single_byte.hpp) and the
// routines that write their results out.
//
// Nothing is written while a codec runs. An encoder reads a str's own storage (a TextView) and
// gives the exact size of the encoding; a decoder checks its bytes and gives the length and
// width class of the str they make. The caller then allocates the bytes or str of that size and
// lets `write_bytes` or `write_text` fill it in place, so the output is written once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec.hpp"

namespace bitloom {

/// A str's own storage, read in place: `length` code points of `width` bytes each (1, 2 or 4) in
/// the machine's byte order. Text of width 2 or 4 holds no surrogate code point (the module
/// surface turns those away before an encoder sees them).
struct TextView {
    const void* data;
    std::size_t length;
    std::uint8_t width;
    bool ascii;  // width 1 and every code point below 0x80
};

/// How encoded text is written. Ascii, Latin1 and Windows1252 are checked while they are
/// written: their encoders only count code points, and writing reports a code point that the
/// encoding lacks. (UTF-8 is the str's own cached UTF-8, so it has no form here.)
enum class ByteForm : std::uint8_t { Utf16be, Utf16le, Utf32be, Utf32le, Ascii, Latin1, Windows1252 };

/// Encoded text not written yet: `size` counts bytes, the mark included.
struct EncodedText {
    TextView text;  // borrowed
    std::size_t size = 0;
    ByteForm form = ByteForm::Ascii;
    bool mark = false;  // a big-endian byte-order mark goes first (UTF-16 and UTF-32 only)
};

/// Writes the `size` bytes; false when a code point has no byte in the encoding (the output is
/// then incomplete and `encode_failure` tells which error it is).
[[nodiscard]] bool write_bytes(const EncodedText& encoded, std::uint8_t* out) noexcept;
[[gnu::cold]] CodecError encode_failure(const EncodedText& encoded);

/// How checked bytes are read.
enum class TextForm : std::uint8_t { Latin1, Utf8, Utf16be, Utf16le, Utf32be, Utf32le, Windows1252 };

/// Decoded text not written yet: the checked input bytes and what a str of them needs.
struct DecodedText {
    const std::uint8_t* data = nullptr;  // borrowed from the decoder's input
    std::size_t size = 0;
    std::size_t length = 0;  // in code points
    /// The largest code point rounded up to its width class: 0x7F, 0xFF, 0xFFFF or 0x10FFFF.
    std::uint32_t max_code_point = 0x7F;
    TextForm form = TextForm::Latin1;
};

/// Fills `length` code units of the width that `max_code_point` calls for (or wider).
void write_text(const DecodedText& text, std::uint8_t* out) noexcept;
void write_text(const DecodedText& text, std::uint16_t* out) noexcept;
void write_text(const DecodedText& text, std::uint32_t* out) noexcept;

namespace text {
/// True when 2- or 4-byte text holds a code point D800..DFFF.
bool has_surrogate(const TextView& text) noexcept;

// Between the two families: `write_bytes` and `write_text` live with the Unicode codecs and
// hand the single-byte forms to these.
/// Single bytes of the form (Ascii, Latin1 or Windows1252) from code units of any width; false
/// when a unit has none.
bool narrow(const TextView& text, ByteForm form, std::uint8_t* out) noexcept;
/// Windows-1252 bytes into 16-bit units.
void widen_windows_1252(const std::uint8_t* p, std::size_t n, std::uint16_t* out) noexcept;
}  // namespace text

}  // namespace bitloom
