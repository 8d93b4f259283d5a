"""Whole-file reading: packet offsets and recipe columns.

bitloom's `packet_offsets` and `unpack_columns` do this in compiled code. The fallbacks below
serve builds of bitloom without those two functions: the same results (offsets as uint64, columns
with the same dtypes, the same ValueError messages) from a Python loop over `unpack_parameters`.
"""
from __future__ import annotations

from collections.abc import Sequence
from typing import Any, cast

import bitloom
import numpy as np

TEXT = np.dtypes.StringDType()


def _fallback_packet_offsets(data: bytes, framing: str = "ccsds", *, allow_partial: bool = False) -> np.ndarray:
    # Serves builds without bitloom.packet_offsets.
    if framing != "ccsds":
        raise ValueError(f"unknown framing {framing!r}")
    offsets: list[int] = []
    position, size = 0, len(data)
    while position < size:
        if position + 6 > size or position + 7 + (data[position + 4] << 8 | data[position + 5]) > size:
            if allow_partial:
                break
            raise ValueError(f"packet {len(offsets)} at byte {position}: truncated")
        offsets.append(position)
        position += 7 + (data[position + 4] << 8 | data[position + 5])
    return np.array(offsets, dtype=np.uint64)


def column_dtype(item: dict) -> Any:
    """The dtype of a reader item's column."""
    encoding = item["encoding"].lower().replace("-", "_")
    bits = item["bits"]
    width = 8 if bits <= 8 else 16 if bits <= 16 else 32 if bits <= 32 else 64
    if encoding == "unsigned":
        return np.dtype(f"uint{width}")
    if encoding in ("twos_complement", "ones_complement", "sign_magnitude", "twoscomplement",
                    "onescomplement", "signmagnitude"):
        return np.dtype(f"int{width}")
    if encoding in ("bcd", "packed_bcd"):
        return np.dtype(np.uint64)
    if encoding in ("bcd_signed", "packed_bcd_signed"):
        return np.dtype(np.int64)
    if encoding in ("ieee754_f16", "ieee754_f32"):
        return np.dtype(np.float32)
    if encoding.startswith(("ieee754", "mil_std", "dec_", "ibm_", "ti_")):
        return np.dtype(np.float64)
    return TEXT


def _fallback_unpack_columns(data: bytes, recipe: Sequence[dict], offsets: np.ndarray | None = None, *,
                             offset_bits: int = 0, packet_size: int | None = None,
                             threads: int = 1) -> dict[str, np.ndarray]:
    # Serves builds without bitloom.unpack_columns.
    if offsets is None:
        if packet_size is None:
            raise ValueError("give offsets or packet_size")
        offsets = np.arange(0, len(data) - packet_size + 1, packet_size, dtype=np.uint64)
    unpack = bitloom.unpack_parameters
    rows = []
    for i, offset in enumerate(offsets.tolist()):
        try:
            rows.append(unpack(data, offset * 8 + offset_bits, cast(Any, recipe)))
        except (ValueError, bitloom.InternalFault) as e:
            raise ValueError(f"packet {i} at byte {offset}: {e}") from None
    columns = {}
    for item in recipe:
        name = item["name"]
        columns[name] = np.array([row[name] for row in rows], dtype=column_dtype(item))
    return columns


packet_offsets = getattr(bitloom, "packet_offsets", _fallback_packet_offsets)
unpack_columns = getattr(bitloom, "unpack_columns", _fallback_unpack_columns)
