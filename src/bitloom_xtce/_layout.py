"""Raw values into fields: checks that a raw value fits its encoding, the bytes of text and binary
fields, and the bit patterns of whole columns of numbers placed into a matrix of packets.

One packet is laid out by bitloom's builder (pack_parameters). Many packets of one fixed layout
are laid out here with numpy: each field's column becomes a column of bit patterns, fields that
share bytes are combined into words of up to 64 bits, and each word is written into the packets'
matrix in one assignment (a strided big-endian view where the word is 1, 2, 4 or 8 bytes).
"""
from __future__ import annotations

import math
import struct
from collections.abc import Callable
from typing import Any

import bitloom
import numpy as np

from ._errors import PacketError
from ._fields import measure
from ._inverse import FLOAT_LIMITS, integer_range
from ._model import BinaryEncoding, Encoding, FloatEncoding, IntegerEncoding, StringEncoding

U64 = np.uint64

BUILDER_INTEGERS = {"unsigned": "unsigned", "twosComplement": "twos_complement", "twosCompliment": "twos_complement",
                    "onesComplement": "ones_complement", "signMagnitude": "sign_magnitude", "BCD": "bcd",
                    "packedBCD": "packed_bcd"}
BUILDER_FLOATS = {"IEEE754": "ieee754", "IEEE754_1985": "ieee754", "MILSTD_1750A": "mil_std_1750a", "DEC": "dec",
                  "IBM": "ibm", "TI": "ti"}
FLOAT_ENCODERS: dict[str, Callable[[float], int]] = {
    "ieee754_f128": bitloom.encode_ieee754_f128, "ieee754_1985_f80": bitloom.encode_ieee754_1985_f80,
    "mil_std_1750a_f32": bitloom.encode_mil_std_1750a_f32, "mil_std_1750a_f48": bitloom.encode_mil_std_1750a_f48,
    "dec_f32": bitloom.encode_dec_f32, "dec_f64": bitloom.encode_dec_f64, "ibm_f32": bitloom.encode_ibm_f32,
    "ibm_f64": bitloom.encode_ibm_f64, "ti_f32": bitloom.encode_ti_f32, "ti_f40": bitloom.encode_ti_f40,
}
TEXT_ENCODERS: dict[str, Callable[[str], bytes]] = {
    "us_ascii": bitloom.encode_us_ascii, "iso_8859_1": bitloom.encode_iso_8859_1,
    "windows_1252": bitloom.encode_windows_1252, "utf8": bitloom.encode_utf8,
    "utf16": bitloom.encode_utf16, "utf16le": bitloom.encode_utf16le, "utf16be": bitloom.encode_utf16be,
    "utf32": bitloom.encode_utf32, "utf32le": bitloom.encode_utf32le, "utf32be": bitloom.encode_utf32be,
}


def builder_item(name: str, enc: Encoding, bits: int) -> dict[str, Any]:
    """A pack_parameters item without its value and place: numbers in their encoding, text and
    binary fields as their bytes."""
    if isinstance(enc, IntegerEncoding):
        if enc.byte_order == "little" and enc.bits % 8:
            raise ValueError(f"{name}: little byte order in a field of {enc.bits} bits (not whole bytes) "
                             "cannot be encoded")
        return {"name": name, "encoding": BUILDER_INTEGERS[enc.form], "bits": bits, "byte_order": enc.byte_order,
                "reverse_bits": enc.reverse_bits}
    if isinstance(enc, FloatEncoding):
        family = "ieee754_1985" if enc.reader == "ieee754_1985_f80" else BUILDER_FLOATS[enc.form]
        return {"name": name, "encoding": family, "bits": bits, "byte_order": enc.byte_order,
                "reverse_bits": enc.reverse_bits}
    return {"name": name, "encoding": "binary", "bits": bits, "byte_order": "big", "reverse_bits": False}


# ---------------------------------------------------------------------------------------------
# Numbers


def integer_one(name: str, enc: IntegerEncoding, value: Any) -> int:
    """A raw integer checked against its encoding."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        if isinstance(value, (float, np.floating)) and math.isfinite(value) and float(value).is_integer():
            value = int(value)
        else:
            raise ValueError(f"{name}: {value!r} is not an integer")
    value = int(value)
    lo, hi = integer_range(enc)
    if not lo <= value <= hi:
        raise ValueError(f"{name}: {value} is outside the range {lo} to {hi} of its encoding ({enc!r})")
    return value


def integer_column(name: str, enc: IntegerEncoding, column: np.ndarray) -> np.ndarray:
    """A column of raw integers checked against its encoding: as given if of an integer type,
    else int64 (uint64 above int64's range)."""
    lo, hi = integer_range(enc)
    kind = column.dtype.kind
    dtype = np.uint64 if hi > 0x7FFFFFFFFFFFFFFF else np.int64
    if kind not in "iuf":  # Python objects: each checked exactly
        return np.array([integer_one(name, enc, v) for v in column.tolist()], dtype=dtype)
    if kind in "iu":
        info = np.iinfo(column.dtype)
        if lo <= info.min and info.max <= hi or not len(column) or lo <= column.min() and column.max() <= hi:
            return column
        outside = (column < lo) | (column > hi)
    else:
        whole = np.isfinite(column) & (np.floor(column) == column)
        if not whole.all():
            raise ValueError(f"{name}: {column[int(np.argmin(whole))].item()!r} is not an integer")
        outside = (column < lo) | (column >= float(hi) + 1)  # float(hi) may round up: compare past it
    if outside.any():
        value = column[int(np.argmax(outside))]
        raise ValueError(f"{name}: {value.item()!r} is outside the range {lo} to {hi} of its encoding ({enc!r})")
    return column.astype(dtype)


def float_one(name: str, enc: FloatEncoding, value: Any) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise ValueError(f"{name}: {value!r} is not a number")
    value = float(value)
    encoder = FLOAT_ENCODERS.get(enc.reader)
    try:
        if encoder is not None:  # the formats with limits of their own refuse what they cannot hold
            encoder(value)
        elif enc.reader == "ieee754_f32":
            struct.pack(">f", value)
        elif enc.reader == "ieee754_f16":  # the builder rounds to binary32 first
            struct.pack(">e", struct.unpack(">f", struct.pack(">f", value))[0])
    except OverflowError:
        limit = FLOAT_LIMITS[enc.reader]
        raise ValueError(f"{name}: {value!r} is outside the range {-limit!r} to {limit!r} of its encoding "
                         f"({enc!r})") from None
    except ValueError as e:
        raise ValueError(f"{name}: {value!r}: {e}") from None
    return value


def float_column(name: str, enc: FloatEncoding, column: np.ndarray) -> np.ndarray:
    """A column of raw floats checked against its encoding: float32 or float64 as given, else
    float64."""
    if column.dtype.kind not in "iuf" or column.dtype not in (np.float32, np.float64):
        try:
            column = column.astype(np.float64)
        except (TypeError, ValueError):
            bad = next(v for v in column.tolist() if not isinstance(v, (int, float)) or isinstance(v, bool))
            raise ValueError(f"{name}: {bad!r} is not a number") from None
    _float_fits(name, enc, column)
    return column


def _float_fits(name: str, enc: FloatEncoding, values: np.ndarray) -> None:
    """binary16 and binary32 turn a finite value past their largest into infinity: refused."""
    if enc.reader not in FLOAT_LIMITS or values.dtype == np.float32 and enc.reader == "ieee754_f32":
        return
    if len(values) and np.nanmax(np.abs(values), initial=0) <= FLOAT_LIMITS[enc.reader]:  # the usual case
        return
    with np.errstate(over="ignore"):
        narrow = values.astype(np.float32)
        if enc.reader == "ieee754_f16":  # the builder rounds to binary32 first, so the check does
            narrow = narrow.astype(np.float16)
    overflow = np.isfinite(values) & ~np.isfinite(narrow)
    if overflow.any():
        limit = FLOAT_LIMITS[enc.reader]
        raise ValueError(f"{name}: {values[int(np.argmax(overflow))].item()!r} is outside the range {-limit!r} to "
                         f"{limit!r} of its encoding ({enc!r})")


def _reverse_table() -> np.ndarray:
    table = np.arange(256, dtype=np.uint8)
    return np.unpackbits(table[:, None], axis=1)[:, ::-1].copy().dot(1 << np.arange(7, -1, -1)).astype(U64)


REVERSED = _reverse_table()


def _swap_bytes(pattern: np.ndarray, bits: int) -> np.ndarray:
    return pattern.byteswap() >> U64(64 - bits)


def _reverse(pattern: np.ndarray, bits: int) -> np.ndarray:
    out = np.zeros_like(pattern)
    for k in range(8):  # each byte reversed into the mirrored byte
        out |= REVERSED[(pattern >> U64(8 * k)) & U64(0xFF)] << U64(56 - 8 * k)
    return out >> U64(64 - bits)


def word_type(enc: Encoding, bits: int) -> str | None:
    """The numpy type of a whole-word field whose values numpy writes as they are, if it has one."""
    if getattr(enc, "reverse_bits", True):
        return None
    order = ">" if enc.byte_order == "big" else "<"  # type: ignore[union-attr]
    if isinstance(enc, IntegerEncoding) and enc.form in ("unsigned", "twosComplement", "twosCompliment"):
        return f"{order}{'u' if enc.form == 'unsigned' else 'i'}{bits // 8}"
    if isinstance(enc, FloatEncoding) and enc.reader in ("ieee754_f32", "ieee754_f64"):
        return f"{order}f{bits // 8}"
    return None


def integer_patterns(enc: IntegerEncoding, raw: np.ndarray) -> np.ndarray:
    """The fields' bit patterns (uint64, right-aligned) of checked raw integers."""
    bits, form = enc.bits, enc.form
    mask = U64((1 << bits) - 1) if bits < 64 else U64(0xFFFFFFFFFFFFFFFF)
    if form == "unsigned":
        pattern = raw.astype(U64)
    elif form in ("twosComplement", "twosCompliment"):
        pattern = raw.astype(np.int64).view(U64) & mask
    elif form in ("onesComplement", "signMagnitude"):
        signed = raw.astype(np.int64)
        magnitude = np.abs(signed).astype(U64)
        negative = signed < 0
        if form == "onesComplement":
            pattern = np.where(negative, mask ^ magnitude, magnitude)
        else:
            pattern = np.where(negative, U64(1 << (bits - 1)) | magnitude, magnitude)
    else:  # BCD: a digit per byte; packed: per nibble
        shift = 8 if form == "BCD" else 4
        rest = raw.astype(U64)
        pattern = np.zeros(len(raw), dtype=U64)
        for k in range(bits // shift):
            pattern |= (rest % U64(10)) << U64(shift * k)
            rest //= U64(10)
    if enc.byte_order == "little":
        pattern = _swap_bytes(pattern, bits)
    if enc.reverse_bits:
        pattern = _reverse(pattern, bits)
    return pattern


def float_patterns(name: str, enc: FloatEncoding, values: np.ndarray) -> np.ndarray:
    """The fields' bit patterns: uint64 for formats of up to 64 bits, else rows of bytes."""
    reader = enc.reader
    if reader == "ieee754_f64":
        pattern = values.astype(np.float64).view(U64)
    elif reader == "ieee754_f32":
        pattern = values.astype(np.float32).view(np.uint32).astype(U64)
    elif reader == "ieee754_f16":
        pattern = values.astype(np.float32).astype(np.float16).view(np.uint16).astype(U64)
    else:
        encoder = FLOAT_ENCODERS[reader]
        ints = []
        for v in values.tolist():
            try:
                ints.append(encoder(v))
            except ValueError as e:
                raise ValueError(f"{name}: {v!r}: {e}") from None
        if enc.bits > 64:
            if enc.byte_order == "little" or enc.reverse_bits:
                raise ValueError(f"{name}: a {enc.bits}-bit float in another byte or bit order cannot be "
                                 "encoded in columns")
            return np.frombuffer(b"".join(i.to_bytes(enc.bits // 8, "big") for i in ints),
                                 dtype=np.uint8).reshape(len(ints), enc.bits // 8)
        pattern = np.array(ints, dtype=U64)
    if enc.byte_order == "little":
        pattern = _swap_bytes(pattern, enc.bits)
    if enc.reverse_bits:
        pattern = _reverse(pattern, enc.bits)
    return pattern


# ---------------------------------------------------------------------------------------------
# Text and binary fields. A field is (its width in bits, its bytes right-aligned: the first
# 8 * len - width bits zero), as decoding with raw=True gives it.


def right_aligned(name: str, data: Any, bits: int) -> bytes:
    """Bytes for a field of `bits` bits: exactly the bytes it takes, with no bit set before it."""
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise ValueError(f"{name}: {data!r} is not bytes")
    data = bytes(data)
    size = (bits + 7) >> 3
    if len(data) != size:
        raise ValueError(f"{name}: {len(data)} bytes for a field of {bits} bits ({size} bytes)")
    if bits & 7 and data[0] >> (bits & 7):
        raise ValueError(f"{name}: 0x{data.hex()} does not fit a field of {bits} bits (its first "
                         f"{8 - (bits & 7)} bits must be zero)")
    return data


def text_field(name: str, enc: StringEncoding, text: Any, size: int | None) -> tuple[int, bytes]:
    """The field that holds `text`; `size` is its width in bits if another parameter gives it."""
    if not isinstance(text, str):
        raise ValueError(f"{name}: {text!r} is not text")
    try:
        content = TEXT_ENCODERS[enc.reader](text)
    except ValueError as e:
        raise ValueError(f"{name}: {text!r} cannot be written in {enc.charset}: {e}") from None
    width = enc.bits if enc.bits is not None else size
    if enc.leading_bits is not None:
        tag = enc.leading_bits
        if len(content) >= 1 << tag:
            raise ValueError(f"{name}: {text!r} is {len(content)} bytes in {enc.charset}, more than its "
                             f"{tag}-bit size tag counts")
        inner_bits, inner = tag + 8 * len(content), (len(content) << (8 * len(content))) | int.from_bytes(content, "big")
    elif enc.terminator is not None:
        unit, end = enc.unit, enc.terminator
        at = content.find(end)
        while at >= 0 and at % unit:
            at = content.find(end, at + 1)
        if at >= 0:
            raise ValueError(f"{name}: {text!r} holds its termination character 0x{end.hex()}")
        if width is not None and len(content) * 8 == width:
            inner_bits, inner = width, int.from_bytes(content, "big")  # fills the field: no room for the end
        else:
            content += end
            inner_bits, inner = len(content) * 8, int.from_bytes(content, "big")
    else:
        inner_bits, inner = len(content) * 8, int.from_bytes(content, "big")
        if width is not None and inner_bits != width:
            raise ValueError(f"{name}: {text!r} is {len(content)} bytes in {enc.charset}; its field is "
                             f"{width // 8} bytes, with no termination character or size tag to end it "
                             "sooner: give text of exactly that size")
    if width is None:
        width = inner_bits
    elif inner_bits > width:
        raise ValueError(f"{name}: {text!r} takes {inner_bits} bits in {enc.charset}, its field {width}")
    _within_maximum(name, enc, width)
    value = inner << (width - inner_bits)  # zero bits after the text
    return width, value.to_bytes((width + 7) >> 3, "big")


def text_column(enc: StringEncoding, texts: list[Any]) -> tuple[np.ndarray, list[bytes]] | None:
    """text_field for a column of text ended by a one-byte-unit terminator or a size tag of whole
    bytes, in a field sized by neither: the widths and bytes; None if any value is not such
    text (text_field then says which and why)."""
    encode = TEXT_ENCODERS.get(enc.reader)
    if enc.bits is not None or encode is None:
        return None
    try:
        contents = [encode(t) for t in texts]
    except (TypeError, ValueError):
        return None
    lengths = np.fromiter(map(len, contents), dtype=np.int64, count=len(contents))
    if enc.leading_bits is not None and not enc.leading_bits & 7:
        tag = enc.leading_bits >> 3
        if tag < 8 and len(lengths) and lengths.max() >> (8 * tag):
            return None
        data = [len(c).to_bytes(tag, "big") + c for c in contents]
        widths = (lengths + tag) << 3
    elif enc.terminator is not None and enc.leading_bits is None and enc.unit == 1:
        end = enc.terminator
        if end in b"".join(contents):  # (or across two values: then one at a time)
            return None
        data = [c + end for c in contents]
        widths = (lengths + len(end)) << 3
    else:
        return None
    if enc.max_bits is not None and len(widths) and widths.max() > enc.max_bits:
        return None
    return widths, data


def raw_text_field(name: str, enc: StringEncoding, data: Any, size: int | None) -> tuple[int, bytes, str]:
    """A text field given as its bytes, checked by decoding it: its width, bytes and text."""
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise ValueError(f"{name}: {data!r} is not bytes (raw text is the field's bytes)")
    data = bytes(data)
    if enc.bits is not None or size is not None:
        width = enc.bits if enc.bits is not None else size
        assert width is not None
        data = right_aligned(name, data, width)
    else:
        width = len(data) * 8 - ((-enc.leading_bits) & 7 if enc.leading_bits is not None else 0)
    pad = len(data) * 8 - width
    try:
        used, _, text = measure(enc, data, pad, len(data) * 8, size)
    except PacketError as e:
        raise ValueError(f"{name}: 0x{data.hex()} is not a field of its encoding: {e}") from None
    if used != width:
        raise ValueError(f"{name}: 0x{data.hex()} is not a field of its encoding: it ends after {used} of its "
                         f"{width} bits")
    _within_maximum(name, enc, width)
    assert text is not None
    return width, data, text


def binary_field(name: str, enc: BinaryEncoding, data: Any, size: int | None) -> tuple[int, bytes]:
    width = enc.bits if enc.bits is not None else size
    if width is None:
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise ValueError(f"{name}: {data!r} is not bytes")
        width = len(data) * 8
    return width, right_aligned(name, data, width)


def _within_maximum(name: str, enc: StringEncoding, width: int) -> None:
    if enc.max_bits is not None and width > enc.max_bits:
        raise ValueError(f"{name}: a field of {width} bits, more than its maximum of {enc.max_bits}")


# ---------------------------------------------------------------------------------------------
# Placing columns of patterns into a matrix of packets


class Words:
    """Fields of fixed places grouped into words: runs of fields that share bytes, each run
    written with one assignment per word of at most 8 bytes."""

    def __init__(self, places: list[tuple[int, int]]) -> None:
        """`places`: (start bit, width) of each field, in the order their patterns will come."""
        order = sorted(range(len(places)), key=lambda i: places[i][0])
        self.groups: list[tuple[int, int, list[tuple[int, int]]]] = []  # first byte, bytes, [(field, shift)]
        self.alone: set[int] = set()  # fields that are a whole word of 1, 2, 4 or 8 bytes by themselves
        self.wide: list[tuple[int, int, int]] = []  # (field, start bit, width) of fields over 64 bits
        current: list[int] = []
        first = end = -1
        for i in order:
            start, width = places[i]
            if width > 56 and (start & 7 or width & 7) or width > 64:
                self.wide.append((i, start, width))
                continue
            lo, hi = start >> 3, (start + width + 7) >> 3
            if current and lo < end:  # shares a byte with the run
                if hi - first <= 8:
                    current.append(i)
                    end = max(end, hi)
                else:  # the run's word would pass 8 bytes: this field is ORed in on its own
                    self.wide.append((i, start, width))
                continue
            if current:
                self._close(current, first, end, places)
            current, first, end = [i], lo, hi
        if current:
            self._close(current, first, end, places)

    def _close(self, fields: list[int], first: int, end: int, places: list[tuple[int, int]]) -> None:
        size = end - first
        self.groups.append((first, size, [(i, 8 * end - places[i][0] - places[i][1]) for i in fields]))
        if len(fields) == 1 and places[fields[0]] == (8 * first, 8 * size) and size in (1, 2, 4, 8):
            self.alone.add(fields[0])

    def write(self, packets: np.ndarray, patterns: list[Any]) -> None:
        """Write the fields' patterns (uint64 columns, byte rows for wide fields, or for a field
        alone in its word (column, numpy type of the word)) into a zeroed (packets, bytes) uint8
        matrix."""
        n, length = packets.shape
        for first, size, fields in self.groups:
            if isinstance(patterns[fields[0][0]], tuple):  # the values themselves, cast as they are written
                column, dtype = patterns[fields[0][0]]
                np.ndarray((n,), dtype=dtype, buffer=packets, offset=first, strides=(length,))[...] = column
                continue
            word = None
            for i, shift in fields:
                part = patterns[i] << U64(shift) if shift else patterns[i]
                word = part if word is None else word | part
            assert word is not None
            if size in (1, 2, 4, 8):  # a strided big-endian view of the packets: one assignment
                view = np.ndarray((n,), dtype=f">u{size}", buffer=packets, offset=first, strides=(length,))
                view[...] = word
            else:
                packets[:, first:first + size] = word.astype(">u8").view(np.uint8).reshape(n, 8)[:, 8 - size:]
        for i, start, width in self.wide:
            rows = patterns[i]
            if isinstance(rows, np.ndarray) and rows.ndim == 1:  # a pattern of at most 64 bits
                rows = rows.astype(">u8").view(np.uint8).reshape(n, 8)
            place_rows(packets, start, width, rows)


def place_rows(packets: np.ndarray, start: int, width: int, rows: np.ndarray) -> None:
    """OR right-aligned bytes of a `width`-bit field into bits start.. of each packet."""
    n = len(packets)
    size = (width + 7) >> 3
    rows = rows[:, rows.shape[1] - size:]
    first, end = start >> 3, (start + width + 7) >> 3
    lead = 8 * end - start - width  # zero bits after the field in its last byte
    if lead == 0 and end - first == size:
        packets[:, first:end] |= rows
        return
    # The field right-aligned in its bytes, then shifted left by `lead` bits.
    span = end - first
    window = np.zeros((n, span + 1), dtype=np.uint16)
    window[:, span - size:span] = rows
    shifted = ((window[:, :-1] << lead) | (window[:, 1:] >> (8 - lead))) & 0xFF
    packets[:, first:end] |= shifted.astype(np.uint8)


# ---------------------------------------------------------------------------------------------
# Placing fields into packets of different sizes, laid end to end in one byte array


PIECE = 1 << 22  # bytes of fields placed with one set of index arrays


def pattern_bytes(pattern: np.ndarray, bits: int) -> np.ndarray:
    """Right-aligned uint64 patterns as rows of the (bits + 7) // 8 bytes of a `bits`-bit field."""
    size = (bits + 7) >> 3
    rows = pattern.astype(">u8").view(np.uint8).reshape(len(pattern), 8)
    if size <= 8:
        return rows[:, 8 - size:]
    out = np.zeros((len(pattern), size), dtype=np.uint8)
    out[:, size - 8:] = rows
    return out


def place_bytes(flat: np.ndarray, starts: np.ndarray, widths: np.ndarray, pieces: list[bytes] | np.ndarray) -> None:
    """OR fields into `flat` (uint8): field i is `widths[i]` bits at bit `starts[i]` of `flat`,
    given as its right-aligned bytes (`pieces[i]`: bytes, or a row of a uint8 matrix), as many
    as its bits take. No two fields may share a bit."""
    n = len(starts)
    sizes = (widths + 7) >> 3
    ends = np.cumsum(sizes)
    total = int(ends[-1]) if n else 0
    if not total:
        return
    if isinstance(pieces, list) and not ((starts | widths) & 7).any() and total > 32 * n:
        # long fields of whole bytes: a copy each costs less than indexing every byte
        into = memoryview(flat)
        for at, piece in zip((starts >> 3).tolist(), pieces):
            into[at:at + len(piece)] = piece
        return
    if total > PIECE and n > 1:  # bounded index arrays: some fields at a time
        cuts = np.unique(np.clip(np.searchsorted(ends, np.arange(PIECE, total, PIECE), "right"), 1, n - 1)).tolist()
        for a, b in zip([0, *cuts], [*cuts, n]):
            place_bytes(flat, starts[a:b], widths[a:b], pieces[a:b])
        return
    joined = np.frombuffer(b"".join(pieces), dtype=np.uint8) if isinstance(pieces, list) else pieces.reshape(-1)
    begins = ends - sizes
    if not ((starts | widths) & 7).any():  # whole bytes, each field's own
        flat[np.repeat((starts >> 3) - begins, sizes) + np.arange(total)] = joined
        return
    # Each field's bytes shifted left by the zero bits after it in its last byte: sizes + 1 bytes
    # ending at that byte, of which the first is the field's only where it spans sizes + 1 bytes.
    last = (starts + widths + 7) >> 3  # one past the field's last byte
    lead = ((last << 3) - starts - widths).astype(np.uint16)
    counts = sizes + 1
    which = np.repeat(np.arange(n), counts)
    spread = np.zeros(total + 2 * n, dtype=np.uint16)  # each field's bytes between two zero bytes
    spread[np.arange(total) + np.repeat(2 * np.arange(n) + 1, sizes)] = joined
    at = np.arange(total + n) + which
    shift = lead[which]
    shifted = ((spread[at] << shift) | (spread[at + 1] >> (8 - shift))).astype(np.uint8)
    to = np.arange(total + n) + np.repeat(last - counts - (begins + np.arange(n)), counts)
    keep = np.ones(total + n, dtype=bool)
    keep[(begins + np.arange(n))[last - (starts >> 3) == sizes]] = False
    flat[to[keep]] |= shifted[keep]
