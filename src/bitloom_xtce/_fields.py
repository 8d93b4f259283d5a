"""Fields that the packet reader does not read: binary data, and text whose size is known only
once its termination character or size tag is found. The same functions serve the one-packet
path and the column path."""
from __future__ import annotations

import math
from collections.abc import Callable

import bitloom
import numpy as np

from ._errors import PacketError
from ._model import BinaryEncoding, StringEncoding

TEXT_DECODERS: dict[str, Callable[[bytes], str]] = {
    "us_ascii": bitloom.decode_us_ascii, "iso_8859_1": bitloom.decode_iso_8859_1,
    "windows_1252": bitloom.decode_windows_1252, "utf8": bitloom.decode_utf8,
    "utf16": bitloom.decode_utf16, "utf16le": bitloom.decode_utf16le, "utf16be": bitloom.decode_utf16be,
    "utf32": bitloom.decode_utf32, "utf32le": bitloom.decode_utf32le, "utf32be": bitloom.decode_utf32be,
}


def take_bits(data: bytes, start: int, bits: int) -> bytes:
    """`bits` bits from bit `start` of `data` as bytes; a width that is not whole bytes is
    right-aligned (leading zero bits)."""
    if not (start | bits) & 7:
        return data[start >> 3:(start + bits) >> 3]
    first, last = start >> 3, (start + bits + 7) >> 3
    value = int.from_bytes(data[first:last], "big") >> (last * 8 - start - bits)
    return (value & ((1 << bits) - 1)).to_bytes((bits + 7) >> 3, "big")


def decode_text(encoding: StringEncoding, raw: bytes) -> str:
    try:
        return TEXT_DECODERS[encoding.reader](raw)
    except ValueError as e:
        raise PacketError(f"{encoding.charset} text {raw[:16]!r}: {e}") from None


def measure(encoding: StringEncoding | BinaryEncoding, data: bytes, start: int, limit: int,
            size: int | float | None) -> tuple[int, bytes, str | None]:
    """Read one field at bit `start` (bits up to `limit` belong to the packet): its width in
    bits, its bytes (size tag and termination character included) and, for text, the text.
    `size` is the width from the field's dynamic size, if it has one."""
    if isinstance(encoding, BinaryEncoding):
        bits = encoding.bits if encoding.bits is not None else _dynamic_bits(size, 1)
        _fits(start, bits, limit)
        return bits, take_bits(data, start, bits), None
    if encoding.bits is not None:  # a fixed field, maybe with its own end inside it
        bits = encoding.bits
        _fits(start, bits, limit)
        field = take_bits(data, start, bits)
        return bits, field, decode_text(encoding, _inner_text(encoding, field))
    if encoding.dynamic is not None:  # a field sized per packet, maybe with its own end inside
        bits = _dynamic_bits(size, 8)
        _fits(start, bits, limit)
        field = take_bits(data, start, bits)
        return bits, field, decode_text(encoding, _inner_text(encoding, field))
    if start & 7:
        raise PacketError(f"text of variable size at bit {start}, not on a byte boundary")
    end = limit if encoding.max_bits is None else min(limit, start + encoding.max_bits)
    if encoding.leading_bits is not None:
        tag_bits = encoding.leading_bits
        _fits(start, tag_bits, end)
        count = int.from_bytes(take_bits(data, start, tag_bits), "big")
        bits = tag_bits + 8 * count
        _fits(start, bits, end)
        field = take_bits(data, start, bits)
        return bits, field, decode_text(encoding, field[len(field) - count:] if count else b"")
    assert encoding.terminator is not None
    first, stop = start >> 3, end >> 3
    unit = encoding.unit
    at = data.find(encoding.terminator, first, stop)
    while at >= 0 and (at - first) % unit:
        at = data.find(encoding.terminator, at + 1, stop)
    if at < 0:
        raise PacketError(f"no termination character 0x{encoding.terminator.hex()} "
                          f"before bit {end - start} of the text")
    field = data[first:at + unit]
    return len(field) * 8, field, decode_text(encoding, field[:-unit])


def _inner_text(encoding: StringEncoding, field: bytes) -> bytes:
    if encoding.leading_bits is not None:
        tag = encoding.leading_bits
        count = int.from_bytes(take_bits(field, 0, tag), "big")
        if tag + 8 * count > 8 * len(field):
            raise PacketError(f"size tag {count} bytes does not fit a text field of {len(field)} bytes")
        start = (tag + 7) >> 3 if tag & 7 == 0 else None
        if start is None:
            return take_bits(field, tag, 8 * count)
        return field[start:start + count]
    if encoding.terminator is not None:
        unit = encoding.unit
        at = field.find(encoding.terminator)
        while at >= 0 and at % unit:
            at = field.find(encoding.terminator, at + 1)
        return field if at < 0 else field[:at]
    return field


def _dynamic_bits(size: int | float | None, multiple: int) -> int:
    if isinstance(size, (np.ndarray, list)):  # from a repeated or array parameter: one value, or no size
        values = np.asarray(size, dtype=object).ravel()
        if values.size != 1:
            raise PacketError(f"the dynamic size comes from {values.size} values, not one")
        size = values[0]
    if size is None or isinstance(size, float) and not math.isfinite(size) or size < 0 or size != int(size):
        raise PacketError(f"the dynamic size {size!r} is not a whole number of bits")
    bits = int(size)
    if bits % multiple:
        raise PacketError(f"the dynamic size {bits} bits is not a multiple of {multiple}")
    return bits


def _fits(start: int, bits: int, limit: int) -> None:
    if start + bits > limit:
        raise PacketError(f"needs bits {start} to {start + bits}, the data ends at bit {limit}")
