"""Bit-exact codecs for spacecraft telemetry and telecommand parameters, and recipe-driven packets."""

from collections.abc import Buffer, Sequence
from types import CapsuleType
from typing import Any, NotRequired, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, type_check_only

import numpy as np
import numpy.typing as npt

__all__ = [
    "unpack_parameters",
    "pack_parameters",
    "decode_ones_complement",
    "decode_twos_complement",
    "decode_sign_magnitude",
    "decode_unpacked_bcd",
    "decode_packed_bcd",
    "decode_ieee754_f16",
    "decode_ieee754_f32",
    "decode_ieee754_f64",
    "decode_ieee754_f128",
    "decode_ieee754_1985_f32",
    "decode_ieee754_1985_f64",
    "decode_ieee754_1985_f80",
    "decode_mil_std_1750a_f32",
    "decode_mil_std_1750a_f48",
    "decode_dec_f32",
    "decode_dec_f64",
    "decode_ibm_f32",
    "decode_ibm_f64",
    "decode_ti_f32",
    "decode_ti_f40",
    "decode_us_ascii",
    "decode_iso_8859_1",
    "decode_windows_1252",
    "decode_utf8",
    "decode_utf16",
    "decode_utf16le",
    "decode_utf16be",
    "decode_utf32",
    "decode_utf32le",
    "decode_utf32be",
    "encode_ones_complement",
    "encode_twos_complement",
    "encode_sign_magnitude",
    "encode_unpacked_bcd",
    "encode_packed_bcd",
    "encode_ieee754_f16",
    "encode_ieee754_f32",
    "encode_ieee754_f64",
    "encode_ieee754_f128",
    "encode_ieee754_1985_f32",
    "encode_ieee754_1985_f64",
    "encode_ieee754_1985_f80",
    "encode_mil_std_1750a_f32",
    "encode_mil_std_1750a_f48",
    "encode_dec_f32",
    "encode_dec_f64",
    "encode_ibm_f32",
    "encode_ibm_f64",
    "encode_ti_f32",
    "encode_ti_f40",
    "encode_us_ascii",
    "encode_iso_8859_1",
    "encode_windows_1252",
    "encode_utf8",
    "encode_utf16",
    "encode_utf16le",
    "encode_utf16be",
    "encode_utf32",
    "encode_utf32le",
    "encode_utf32be",
    "unpack_columns",
    "packet_offsets",
]

# Integer arguments take an int or anything with __index__ (True counts as 1); float arguments
# also take anything with __float__.
_Int: TypeAlias = SupportsIndex
_Float: TypeAlias = SupportsFloat | SupportsIndex
_PackValue: TypeAlias = _Int | _Float | str | bytes | bytearray | Sequence[_Int]
_Decoded: TypeAlias = int | float | str
# numpy is needed only by unpack_columns and packet_offsets (pip install 'bitloom[numpy]').
_Column: TypeAlias = np.ndarray[Any, Any]

@type_check_only
class RecipeItem(TypedDict):
    """One field of a packet; keys other than these are ignored. `value` is read by pack_parameters only."""

    name: str
    encoding: str
    bits: _Int
    byte_order: str
    reverse_bits: bool
    offset_bits: NotRequired[_Int]
    value: NotRequired[_PackValue]

class InternalFault(BaseException):
    """A fault that no codec reports as an ordinary error, such as a recipe field beyond the end of the packet."""

def unpack_parameters(packet_bytes: bytes, offset_bits: _Int, recipe: Sequence[RecipeItem]) -> dict[str, _Decoded]:
    """Read the recipe's fields from packet_bytes, starting offset_bits into it; a dict in recipe order."""

def pack_parameters(recipe: Sequence[RecipeItem]) -> bytes:
    """Build a packet from the recipe's fields and values, laid out bit by bit."""

def decode_ones_complement(value: _Int, bits: _Int) -> int:
    """Read a bits-wide ones' complement pattern as a signed integer."""

def decode_twos_complement(value: _Int, bits: _Int) -> int:
    """Read a bits-wide two's complement pattern as a signed integer."""

def decode_sign_magnitude(value: _Int, bits: _Int) -> int:
    """Read a bits-wide sign-magnitude pattern as a signed integer."""

def decode_unpacked_bcd(value: _Int, bits: _Int, signed: bool = False) -> int:
    """Read a bits-wide unpacked (zoned) BCD pattern, one digit per byte, with a sign zone if signed."""

def decode_packed_bcd(value: _Int, bits: _Int, signed: bool = False) -> int:
    """Read a bits-wide packed BCD pattern, two digits per byte, with a trailing sign nibble if signed."""

def decode_ieee754_f16(value: _Int) -> float:
    """Read an IEEE 754 binary16 bit pattern as a float."""

def decode_ieee754_f32(value: _Int) -> float:
    """Read an IEEE 754 binary32 bit pattern as a float."""

def decode_ieee754_f64(value: _Int) -> float:
    """Read an IEEE 754 binary64 bit pattern as a float."""

def decode_ieee754_f128(value: _Int) -> float:
    """Read an IEEE 754 binary128 bit pattern as the nearest float."""

def decode_ieee754_1985_f32(_value: _Int) -> float:
    """Read an IEEE 754-1985 single (binary32) bit pattern as a float."""

def decode_ieee754_1985_f64(_value: _Int) -> float:
    """Read an IEEE 754-1985 double (binary64) bit pattern as a float."""

def decode_ieee754_1985_f80(_value: _Int) -> float:
    """Read an x87 80-bit extended bit pattern (below 2**80) as the nearest float."""

def decode_mil_std_1750a_f32(_value: _Int) -> float:
    """Read a MIL-STD-1750A 32-bit float bit pattern as the nearest float."""

def decode_mil_std_1750a_f48(_value: _Int) -> float:
    """Read a MIL-STD-1750A 48-bit float bit pattern as the nearest float."""

def decode_dec_f32(_value: _Int) -> float:
    """Read a DEC F_floating float bit pattern as the nearest float."""

def decode_dec_f64(_value: _Int) -> float:
    """Read a DEC D_floating float bit pattern as the nearest float."""

def decode_ibm_f32(_value: _Int) -> float:
    """Read a IBM hexadecimal single float bit pattern as the nearest float."""

def decode_ibm_f64(_value: _Int) -> float:
    """Read a IBM hexadecimal double float bit pattern as the nearest float."""

def decode_ti_f32(_value: _Int) -> float:
    """Read a TI TMS320 32-bit float bit pattern as the nearest float."""

def decode_ti_f40(_value: _Int) -> float:
    """Read a TI TMS320 40-bit float bit pattern as the nearest float."""

def decode_us_ascii(bytes: bytes) -> str:
    """Decode US-ASCII bytes; a byte above 0x7F raises ValueError."""

def decode_iso_8859_1(bytes: bytes) -> str:
    """Decode ISO-8859-1 bytes: each byte becomes the code point of the same number."""

def decode_windows_1252(bytes: bytes) -> str:
    """Decode Windows-1252 bytes (WHATWG: a leading UTF-8 or UTF-16 byte-order mark switches decoders)."""

def decode_utf8(bytes: bytes) -> str:
    """Decode UTF-8 bytes; malformed sequences raise ValueError."""

def decode_utf16(bytes: bytes) -> str:
    """Decode UTF-16 bytes in the order their byte-order mark gives (big-endian without one)."""

def decode_utf16le(bytes: bytes) -> str:
    """Decode little-endian UTF-16 bytes."""

def decode_utf16be(bytes: bytes) -> str:
    """Decode big-endian UTF-16 bytes."""

def decode_utf32(bytes: bytes) -> str:
    """Decode UTF-32 bytes in the order their byte-order mark gives (big-endian without one)."""

def decode_utf32le(bytes: bytes) -> str:
    """Decode little-endian UTF-32 bytes."""

def decode_utf32be(bytes: bytes) -> str:
    """Decode big-endian UTF-32 bytes."""

def encode_ones_complement(value: _Int, bits: _Int) -> int:
    """Encode a signed integer as a bits-wide ones' complement pattern."""

def encode_twos_complement(value: _Int, bits: _Int) -> int:
    """Encode a signed integer as a bits-wide two's complement pattern."""

def encode_sign_magnitude(value: _Int, bits: _Int) -> int:
    """Encode a signed integer as a bits-wide sign-magnitude pattern."""

def encode_unpacked_bcd(value: _Int, bits: _Int, signed: bool = False) -> int:
    """Encode an integer as a bits-wide unpacked (zoned) BCD pattern, with a sign zone if signed."""

def encode_packed_bcd(value: _Int, bits: _Int, signed: bool = False) -> int:
    """Encode an integer as a bits-wide packed BCD pattern, with a trailing sign nibble if signed."""

def encode_ieee754_f16(value: _Float) -> int:
    """Encode a float (first rounded to binary32) as an IEEE 754 binary16 bit pattern."""

def encode_ieee754_f32(value: _Float) -> int:
    """Encode a float as an IEEE 754 binary32 bit pattern, rounded to nearest, ties to even."""

def encode_ieee754_f64(value: _Float) -> int:
    """Encode a float as its IEEE 754 binary64 bit pattern."""

def encode_ieee754_f128(_value: _Float) -> int:
    """Encode a float as its IEEE 754 binary128 bit pattern (exact)."""

def encode_ieee754_1985_f32(_value: _Float) -> int:
    """Encode a float (first rounded to binary32) as an IEEE 754-1985 single bit pattern."""

def encode_ieee754_1985_f64(_value: _Float) -> int:
    """Encode a float as its IEEE 754-1985 double (binary64) bit pattern."""

def encode_ieee754_1985_f80(_value: _Float) -> int:
    """Encode a float as its x87 80-bit extended bit pattern (exact)."""

def encode_mil_std_1750a_f32(_value: _Float) -> int:
    """The MIL-STD-1750A 32-bit float bit pattern nearest the value; ValueError beyond its range."""

def encode_mil_std_1750a_f48(_value: _Float) -> int:
    """The MIL-STD-1750A 48-bit float bit pattern nearest the value; ValueError beyond its range."""

def encode_dec_f32(_value: _Float) -> int:
    """The DEC F_floating float bit pattern nearest the value; ValueError beyond its range."""

def encode_dec_f64(_value: _Float) -> int:
    """The DEC D_floating float bit pattern nearest the value; ValueError beyond its range."""

def encode_ibm_f32(_value: _Float) -> int:
    """The IBM hexadecimal single float bit pattern nearest the value; ValueError beyond its range."""

def encode_ibm_f64(_value: _Float) -> int:
    """The IBM hexadecimal double float bit pattern nearest the value; ValueError beyond its range."""

def encode_ti_f32(_value: _Float) -> int:
    """The TI TMS320 32-bit float bit pattern nearest the value; ValueError beyond its range."""

def encode_ti_f40(_value: _Float) -> int:
    """The TI TMS320 40-bit float bit pattern nearest the value; ValueError beyond its range."""

def encode_us_ascii(text: str) -> bytes:
    """Encode text as US-ASCII; a character above U+007F raises ValueError."""

def encode_iso_8859_1(text: str) -> bytes:
    """Encode text as ISO-8859-1; a character above U+00FF raises ValueError."""

def encode_windows_1252(text: str) -> bytes:
    """Encode text as Windows-1252; a character without a Windows-1252 byte raises ValueError."""

def encode_utf8(text: str) -> bytes:
    """Encode text as UTF-8."""

def encode_utf16(text: str) -> bytes:
    """Encode text as big-endian UTF-16 after the byte-order mark FE FF."""

def encode_utf16le(text: str) -> bytes:
    """Encode text as little-endian UTF-16, without a byte-order mark."""

def encode_utf16be(text: str) -> bytes:
    """Encode text as big-endian UTF-16, without a byte-order mark."""

def encode_utf32(text: str) -> bytes:
    """Encode text as big-endian UTF-32 after the byte-order mark 00 00 FE FF."""

def encode_utf32le(text: str) -> bytes:
    """Encode text as little-endian UTF-32, without a byte-order mark."""

def encode_utf32be(text: str) -> bytes:
    """Encode text as big-endian UTF-32, without a byte-order mark."""

def unpack_columns(
    data: Buffer,
    recipe: Sequence[RecipeItem],
    offsets: npt.ArrayLike | None = None,
    *,
    offset_bits: _Int = 0,
    packet_size: _Int | None = None,
    threads: _Int = 1,
) -> dict[str, _Column]:
    """Read the recipe at every packet of data: a dict from field name to a numpy array, one element per packet."""

def packet_offsets(data: Buffer, framing: str | _Int = "ccsds", *, allow_partial: bool = False) -> npt.NDArray[np.uint64]:
    """The byte offset of every packet in data: space packets ("ccsds") or packets of framing bytes."""

# Private: a recipe resolved once, which bitloom_xtce reads every file's fixed fields with.
def _column_recipe(recipe: Sequence[RecipeItem]) -> CapsuleType:
    """Resolve a recipe once, for _unpack_columns; refuses what unpack_columns refuses."""

def _unpack_columns(
    recipe: CapsuleType, data: Buffer, offsets: npt.ArrayLike, *, offset_bits: _Int = 0, threads: _Int = 1
) -> dict[str, _Column]:
    """unpack_columns with a recipe made by _column_recipe."""

# Private: the decode program that bitloom_xtce compiles definitions into. Its description format
# and result are described in src/core/program.hpp and src/python/program_runner.hpp.
_PROGRAM_REASONS: tuple[str, ...]

def _program(description: dict[str, Any]) -> CapsuleType:
    """Validate a decode program description into a program that any thread may run."""

def _run_program(
    program: CapsuleType,
    data: Buffer,
    offsets: npt.ArrayLike,
    sizes: npt.ArrayLike | None = None,
    *,
    threads: _Int = 1,
    spans: bool = False,
) -> dict[str, Any]:
    """Run a program over every packet of data: per-packet container, reason and step, and each slot's columns."""

def _run_packet(program: CapsuleType, packet: Buffer) -> tuple[int | None, int, int | None, list[list[Any]]]:
    """Run a program over one packet: (container, reason, step, each slot's values)."""

def _span_bytes(
    data: Buffer, starts: npt.ArrayLike, bits: npt.ArrayLike, where: npt.ArrayLike | None = None
) -> npt.NDArray[np.object_]:
    """The bytes of bit spans in data (those at the indices `where`), as an object column."""
