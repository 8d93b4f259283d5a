// The encodings a reader recipe names, resolved: shared by the Python layer, which resolves the
// names, and the column loop of the core, which decodes by them.
#pragma once

#include <cstdint>

namespace bitloom {

/// Encodings accepted by the reader. Floats name their width.
enum class UnpackEncoding : std::uint8_t {
    Unsigned, SignMagnitude, OnesComplement, TwosComplement,
    Bcd, BcdSigned, PackedBcd, PackedBcdSigned,
    Ieee754F16, Ieee754F32, Ieee754F64, Ieee754F128,
    Ieee754_1985F32, Ieee754_1985F64, Ieee754_1985F80, MilStd1750aF32, MilStd1750aF48,
    TiF32, TiF40, DecF32, DecF64, IbmF32, IbmF64,
    Utf8, Utf16, Utf32, Utf16le, Utf16be, Utf32le, Utf32be, UsAscii, Latin1, Windows1252,
};

}  // namespace bitloom
