"""Error detection that a definition declares on a parameter's encoding (ErrorDetectCorrect): CRCs
of any width from 1 to 64 bits in the usual parametrised model (polynomial, initial value, final
XOR, reflected input and output), the named checksums, and parity.

Each algorithm computes one value from bytes, and a column of values from the rows of a matrix
of packets (numpy, one operation per byte column for CRCs, closed forms for the sums), so
checking or filling in the check values of a whole file costs a few passes over it.

Which bits a check covers: the parameter whose encoding declares it holds the check value, and
the check covers the packet's bits

* from ``bitsFromReference`` bits after the packet's start up to the check field (reference
  ``start``, the default), or
* from the packet's start up to ``bitsFromReference`` bits before the packet's end (reference
  ``end``: a trailing packet error control field is ``end`` with its own width),

and never the check field itself. CRCs and checksums cover whole bytes; parity covers any bits.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Literal

import numpy as np

if TYPE_CHECKING:
    from ._xml import Element

_U64 = np.uint64


def _reflect(value: int, width: int) -> int:
    return int(f"{value:0{width}b}"[::-1], 2) if width else 0


@dataclass(frozen=True, slots=True, eq=False)
class Crc:
    """A CRC of `width` bits: `poly` without its top bit, register preset to `init`, input bytes
    bit-reversed if `refin`, the result bit-reversed if `refout`, then XORed with `xorout`."""

    width: int
    poly: int
    init: int = 0
    xorout: int = 0
    refin: bool = False
    refout: bool = False
    _table: list[int] = field(init=False, repr=False, default_factory=list)

    def __post_init__(self) -> None:
        if not 1 <= self.width <= 64:
            raise ValueError(f"a CRC of {self.width} bits: 1 to 64 are supported")
        top = (1 << self.width) - 1
        for what, value in (("polynomial", self.poly), ("initial value", self.init), ("final XOR", self.xorout)):
            if not 0 <= value <= top:
                raise ValueError(f"a {what} of 0x{value:x} does not fit a CRC of {self.width} bits")
        object.__setattr__(self, "_table", self._make_table())

    @property
    def bits(self) -> int:
        return self.width

    # The register is kept at least 8 bits wide (a narrower CRC is shifted up by `pad` bits), so
    # one table lookup takes a whole byte whatever the width.
    @property
    def _pad(self) -> int:
        return 0 if self.refin else max(0, 8 - self.width)

    def _make_table(self) -> list[int]:
        table = []
        if self.refin:
            poly = _reflect(self.poly, self.width)
            for byte in range(256):
                c = byte
                for _ in range(8):
                    c = (c >> 1) ^ poly if c & 1 else c >> 1
                table.append(c)
            return table
        width = self.width + self._pad
        poly, top, mask = self.poly << self._pad, 1 << (width - 1), (1 << width) - 1
        for byte in range(256):
            c = byte << (width - 8)
            for _ in range(8):
                c = ((c << 1) ^ poly if c & top else c << 1) & mask
            table.append(c)
        return table

    def _start(self) -> int:
        return _reflect(self.init, self.width) if self.refin else self.init << self._pad

    def _finish(self, register: int) -> int:
        value = register if self.refin else register >> self._pad
        if self.refin != self.refout:
            value = _reflect(value, self.width)
        return value ^ self.xorout

    def one(self, data: bytes) -> int:
        table = self._table
        c = self._start()
        if self.refin:
            for byte in data:
                c = table[(c ^ byte) & 0xFF] ^ (c >> 8)
        else:
            width = self.width + self._pad
            shift, mask = width - 8, (1 << width) - 1
            for byte in data:
                c = table[((c >> shift) ^ byte) & 0xFF] ^ ((c << 8) & mask)
        return self._finish(c)

    def many(self, covered: Covered) -> np.ndarray:
        """The CRC of each packet's covered bytes."""
        table = np.array(self._table, dtype=_U64)
        c = np.full(covered.n, self._start(), dtype=_U64)
        width = self.width + self._pad
        shift, mask = _U64(max(width - 8, 0)), _U64((1 << width) - 1)
        for j in range(covered.width):
            byte = covered.column(j).astype(_U64)
            if self.refin:
                step = table[(c ^ byte) & _U64(0xFF)] ^ (c >> _U64(8))
            else:
                step = table[((c >> shift) ^ byte) & _U64(0xFF)] ^ ((c << _U64(8)) & mask)
            c = step if covered.same else np.where(covered.lengths > j, step, c)
        if not self.refin:
            c >>= _U64(self._pad)
        if self.refin != self.refout:
            c = np.array([_reflect(int(v), self.width) for v in c.tolist()], dtype=_U64)
        return c ^ _U64(self.xorout)

    def __repr__(self) -> str:
        return (f"CRC-{self.width}(poly 0x{self.poly:x}, init 0x{self.init:x}, xorout 0x{self.xorout:x}"
                f"{', reflected input' if self.refin else ''}{', reflected output' if self.refout else ''})")


# Checksums: (bits of the value, bits of each unit summed) by name; units are big-endian.
FLETCHER = {"fletcher4": 2, "fletcher8": 4, "fletcher16": 8, "fletcher32": 16}
SUMS = {"sum8": 8, "sum16": 16, "sum24": 24, "sum32": 32}
CHECKSUMS = (*SUMS, *FLETCHER, "adler32", "unix_sum")


@dataclass(frozen=True, slots=True, eq=False)
class Checksum:
    """sumN: the bytes added modulo 2**N. fletcherN: two running sums of N/2-bit big-endian units
    modulo 2**(N/2) - 1, the second in the high half (a last partial unit is zero-filled).
    adler32: zlib's. unix_sum: the BSD sum (16 bits, rotate right by one, add each byte)."""

    name: str

    def __post_init__(self) -> None:
        if self.name not in CHECKSUMS:
            raise ValueError(f"checksum {self.name!r} is not supported ({', '.join(CHECKSUMS)})")

    @property
    def bits(self) -> int:
        if self.name in SUMS:
            return SUMS[self.name]
        if self.name in FLETCHER:
            return 2 * FLETCHER[self.name]
        return 32 if self.name == "adler32" else 16

    def one(self, data: bytes) -> int:
        return int(self.many(Covered.rows(np.frombuffer(data, dtype=np.uint8)[None, :]))[0])

    def many(self, covered: Covered) -> np.ndarray:
        """The checksum of each packet's covered bytes, a column of bytes at a time (bytes past
        a packet's end count as zero, which leaves every sum but the position-weighted ones as
        they are)."""
        name, n = self.name, covered.n
        if name in SUMS:
            total = np.zeros(n, dtype=_U64)
            for j in range(covered.width):
                total += covered.column(j)
            return total & _U64((1 << SUMS[name]) - 1)
        if name == "unix_sum":
            c = np.zeros(n, dtype=np.int64)
            for j in range(covered.width):
                step = (((c >> 1) | ((c & 1) << 15)) + covered.column(j)) & 0xFFFF
                c = step if covered.same else np.where(covered.lengths > j, step, c)
            return c.astype(_U64)
        if name == "adler32":
            unit, modulus, first = 8, 65521, 1
        else:
            unit, modulus, first = FLETCHER[name], (1 << FLETCHER[name]) - 1, 0
        # The running sums in closed form over the units u_0 .. u_(count-1):
        # a = first + sum(u), b = count * first + sum((count - i) * u_i).
        count = (covered.lengths.astype(np.int64) * 8 + unit - 1) // unit
        total = np.zeros(n, dtype=np.int64)
        weighted = np.zeros(n, dtype=np.int64)
        for i, u in _units(covered, unit):
            total = (total + u) % modulus
            weighted = (weighted + (count - i) % modulus * u) % modulus
        a = (first + total) % modulus
        b = (count % modulus * first + weighted) % modulus
        half = 16 if name == "adler32" else unit
        return ((b << half) | a).astype(_U64)

    def __repr__(self) -> str:
        return f"Checksum({self.name})"


def _units(covered: Covered, unit: int) -> Iterator[tuple[int, np.ndarray]]:
    """(index, column) of the covered bytes split into big-endian units of 2, 4, 8 or 16 bits."""
    if unit == 16:
        for j in range(0, covered.width, 2):
            high = covered.column(j).astype(np.int64) << 8
            yield j // 2, high | covered.column(j + 1) if j + 1 < covered.width else high
        return
    per = 8 // unit
    for j in range(covered.width):
        byte = covered.column(j).astype(np.int64)
        for k in range(per):
            yield j * per + k, (byte >> (8 - unit * (k + 1))) & ((1 << unit) - 1)


class Covered:
    """The bytes a check covers in many packets, handed out a column at a time: byte j of every
    packet (zero past a packet's end)."""

    def __init__(self, data: np.ndarray, first: np.ndarray, lengths: np.ndarray, matrix: np.ndarray | None = None,
                 head: np.ndarray | None = None, tail: np.ndarray | None = None) -> None:
        self.data = data
        self.first = first
        self.lengths = lengths
        self.matrix = matrix  # the bytes as a (packets, bytes) matrix, when they are one
        self.n = len(lengths)
        self.width = int(lengths.max()) if self.n else 0
        self.same = self.n == 0 or bool((lengths == lengths[0]).all())
        self.head, self.tail = head, tail  # parity: bits of the first and last bytes to keep

    @classmethod
    def rows(cls, matrix: np.ndarray) -> Covered:
        return cls(matrix.reshape(-1), np.zeros(0), np.full(len(matrix), matrix.shape[1], dtype=np.int64), matrix)

    def column(self, j: int) -> np.ndarray:
        if self.matrix is not None:
            column = self.matrix[:, j]
        else:
            index = self.first + j
            column = self.data[np.minimum(index, len(self.data) - 1)]
            if not self.same:
                column = np.where(j < self.lengths, column, 0).astype(np.uint8)
        if self.head is not None and j == 0:
            column = column & self.head
        if self.tail is not None:
            column = np.where(self.lengths - 1 == j, column & self.tail, column).astype(np.uint8)
        return column


@dataclass(frozen=True, slots=True, eq=False)
class Parity:
    """One bit that makes the count of ones over the covered bits and itself even or odd."""

    odd: bool

    bits = 1

    def one(self, data: bytes) -> int:
        return (int.from_bytes(data, "big").bit_count() & 1) ^ self.odd

    def many(self, covered: Covered) -> np.ndarray:
        folded = np.zeros(covered.n, dtype=np.uint8)
        for j in range(covered.width):
            folded ^= covered.column(j)
        return ((np.unpackbits(folded[:, None], axis=1).sum(axis=1) & 1) ^ self.odd).astype(_U64)

    def __repr__(self) -> str:
        return f"Parity({'odd' if self.odd else 'even'})"


Algorithm = Crc | Checksum | Parity


@dataclass(frozen=True, slots=True)
class ErrorCheck:
    """A check declared on an encoding: what it computes and which bits it covers."""

    algorithm: Algorithm
    bits_from_reference: int = 0
    reference: Literal["start", "end"] = "start"

    def region(self, packet_bits: int, field_start: int, field_bits: int) -> tuple[int, int]:
        """The covered bits [start, stop) of a packet of `packet_bits` whose check field starts at
        `field_start`; raises ValueError if the region is empty, overlaps the field, or (for CRCs and
        checksums) does not fall on byte boundaries."""
        if self.reference == "start":
            start, stop = self.bits_from_reference, field_start
        else:
            start, stop = 0, packet_bits - self.bits_from_reference
        return self._checked(start, stop, field_start, field_bits)

    def _checked(self, start: int, stop: int, field_start: int, field_bits: int) -> tuple[int, int]:
        if stop <= start:
            raise ValueError(f"covers no bits (from bit {start} to bit {stop})")
        if start < field_start + field_bits and field_start < stop:
            raise ValueError(f"would cover its own field (bits {field_start} to {field_start + field_bits}) "
                             f"in bits {start} to {stop}")
        if not isinstance(self.algorithm, Parity) and (start | stop) & 7:
            raise ValueError(f"covers bits {start} to {stop}, not whole bytes")
        return start, stop

    def regions(self, packet_bits: np.ndarray, field_start: np.ndarray, field_bits: int) -> tuple[np.ndarray, np.ndarray]:
        """region() for columns of packets; raises for the first packet whose region is wrong."""
        if self.reference == "start":
            start, stop = np.broadcast_to(np.int64(self.bits_from_reference), field_start.shape), field_start
        else:
            start, stop = np.zeros_like(packet_bits), packet_bits - self.bits_from_reference
        wrong = (stop <= start) | ((start < field_start + field_bits) & (field_start < stop))
        if not isinstance(self.algorithm, Parity):
            wrong |= ((start | stop) & 7) != 0
        if wrong.any():
            i = int(np.argmax(wrong))
            self._checked(int(start[i]), int(stop[i]), int(field_start[i]), field_bits)
        return start, stop

    def compute(self, data: bytes | bytearray, start: int, stop: int) -> int:
        """The check value of bits [start, stop) of `data` (a region from region())."""
        if isinstance(self.algorithm, Parity):
            value = int.from_bytes(data[start >> 3:(stop + 7) >> 3], "big") >> ((-stop) & 7)
            return ((value & ((1 << (stop - start)) - 1)).bit_count() & 1) ^ self.algorithm.odd
        return self.algorithm.one(bytes(data[start >> 3:stop >> 3]))

    def compute_many(self, data: np.ndarray, offsets: np.ndarray, start: np.ndarray, stop: np.ndarray,
                     packet_size: int | None = None) -> np.ndarray:
        """The check values of many packets in `data` (uint8): bits [start, stop) after each
        byte offset. `packet_size`: the packets are back to back, all of that many bytes, from
        offset 0 (data is then read as a matrix)."""
        first = offsets.astype(np.int64) + (start >> 3)
        lengths = ((stop + 7) >> 3) - (start >> 3)
        matrix = None
        if packet_size is not None and len(offsets) and (start == start[0]).all() and (stop == stop[0]).all():
            matrix = data.reshape(-1, packet_size)[:, int(start[0]) >> 3:(int(stop[0]) + 7) >> 3]
        head = tail = None
        if isinstance(self.algorithm, Parity):
            head = (0xFF >> (start & 7)).astype(np.uint8)
            tail = ((0xFF << ((-stop) & 7)) & 0xFF).astype(np.uint8)
        return self.algorithm.many(Covered(data, first, lengths, matrix, head, tail))


    def failing(self, data: np.ndarray, offsets: np.ndarray, packet_bits: np.ndarray, field_start: np.ndarray,
                field_bits: int, stored: np.ndarray) -> np.ndarray:
        """Which of many packets (byte offsets in `data`, uint8) fail this check: their check
        field (at bit field_start, holding `stored`) differs from the value computed, or the
        region it covers does not fit the packet."""
        if self.reference == "start":
            start, stop = np.full(len(offsets), self.bits_from_reference, dtype=np.int64), field_start
        else:
            start, stop = np.zeros(len(offsets), dtype=np.int64), packet_bits - self.bits_from_reference
        wrong = (stop <= start) | ((start < field_start + field_bits) & (field_start < stop)) | (stop > packet_bits)
        if not isinstance(self.algorithm, Parity):
            wrong |= ((start | stop) & 7) != 0
        ok = ~wrong
        if ok.any():
            values = self.compute_many(data, offsets[ok], start[ok], stop[ok])
            wrong[ok] = values != stored[ok].astype(_U64)
        return wrong


# ---------------------------------------------------------------------------------------------
# Reading <ErrorDetectCorrect>


def error_check(node: Element, check: Callable[..., object]) -> ErrorCheck:
    """The ErrorDetectCorrect element of a data encoding; `check` is the loader's, which refuses
    what it does not know and reads past the rest."""
    from ._load import boolean, number, only, required
    from ._xml import fail, text

    check(node, (), ("CRC", "Checksum", "Parity"))
    inner = only(node, ("CRC", "Checksum", "Parity"))
    assert inner is not None
    placement = ("bitsFromReference", "reference")
    reference = inner.attrib.get("reference", "start")
    if reference not in ("start", "end"):
        raise fail(inner, f"reference {reference!r} is not supported (start or end)")
    offset = int(number(inner, inner.attrib.get("bitsFromReference", "0"), "bitsFromReference", int))
    if offset < 0:
        raise fail(inner, f"bitsFromReference must not be negative, not {offset}")
    algorithm: Algorithm
    try:
        if inner.tag == "CRC":
            check(inner, ("width", "reflectData", "reflectRemainder", *placement),
                  ("Polynomial", "InitRemainder", "FinalXOR"))

            def hexadecimal(tag: str) -> int | None:
                found = only(inner, (tag,), required=tag == "Polynomial")
                if found is None:
                    return None
                check(found)
                digits = text(found).strip().removeprefix("0x").removeprefix("0X")
                try:
                    return int(digits, 16)
                except ValueError:
                    raise fail(found, f"{digits!r} is not hexadecimal") from None

            poly = hexadecimal("Polynomial")
            assert poly is not None
            width = int(number(inner, inner.attrib["width"], "width", int)) if "width" in inner.attrib \
                else max(8, (poly.bit_length() + 7) // 8 * 8)
            algorithm = Crc(width, poly, hexadecimal("InitRemainder") or 0, hexadecimal("FinalXOR") or 0,
                            boolean(inner, "reflectData", False), boolean(inner, "reflectRemainder", False))
        elif inner.tag == "Checksum":
            check(inner, ("name", "hashSizeInBits", *placement), ())
            name = required(inner, "name")
            if name in ("luhn", "verhoeff", "damm"):
                raise fail(inner, f"checksum {name!r} checks decimal digits, not packet bytes: not supported")
            if name == "custom":
                raise fail(inner, "a custom checksum (an algorithm of its own) is not supported")
            algorithm = Checksum(name)
            if "hashSizeInBits" in inner.attrib:
                size = number(inner, inner.attrib["hashSizeInBits"], "hashSizeInBits", int)
                if size != algorithm.bits:
                    raise fail(inner, f"hashSizeInBits {size}: {name} gives {algorithm.bits} bits")
        else:
            check(inner, ("type", *placement), ())
            kind = required(inner, "type")
            if kind not in ("Even", "Odd"):
                raise fail(inner, f"parity type {kind!r} is not supported (Even or Odd)")
            algorithm = Parity(kind == "Odd")
    except ValueError as e:
        if type(e) is not ValueError:
            raise
        raise fail(inner, str(e)) from None
    return ErrorCheck(algorithm, offset, reference)  # type: ignore[arg-type]
