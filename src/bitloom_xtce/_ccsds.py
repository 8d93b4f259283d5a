"""CCSDS space packet primary headers, read for a whole file at once with bitloom's column
reader, and what they tell without a definition: packets per APID, sequence count gaps."""
from __future__ import annotations

from typing import Any, cast

import bitloom
import numpy as np

SEQUENCE_COUNTS = 1 << 14  # the sequence count is 14 bits and wraps around
IDLE_APID = 0x7FF


def _field(name: str, bits: int) -> dict[str, Any]:
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big", "reverse_bits": False}


PRIMARY_HEADER = [_field("version", 3), _field("type", 1), _field("secondary_header", 1), _field("apid", 11),
                  _field("sequence_flags", 2), _field("sequence_count", 14), _field("data_length", 16)]


def primary_headers(data: bytes, offsets: np.ndarray) -> dict[str, np.ndarray]:
    """The primary header fields of the packets at `offsets` (byte offsets of whole headers):
    version, type (0 telemetry, 1 telecommand), secondary_header, apid, sequence_flags,
    sequence_count and data_length (the packet's size less 7), one column each."""
    columns: dict[str, np.ndarray] = bitloom.unpack_columns(data, cast(Any, PRIMARY_HEADER),
                                                            np.asarray(offsets, dtype=np.uint64))
    return columns


def sequence_gaps(apids: np.ndarray, counts: np.ndarray) -> dict[int, int]:
    """Per APID, the number of sequence counts missing between consecutive packets of that APID
    in file order. Counts are 14 bits: from one packet to the next of its APID the count goes up
    by d = (c_i - c_prev) mod 16384; d == 1 is the normal step, d == 0 a repeat (no gap), any
    other d means d - 1 packets missing. Every APID present is a key."""
    apids = np.asarray(apids)
    counts = np.asarray(counts).astype(np.int64)
    if apids.shape != counts.shape or apids.ndim != 1:
        raise ValueError(f"apids and counts must be 1-d arrays of one length, not {apids.shape} and {counts.shape}")
    order = np.argsort(apids, kind="stable")  # each APID's packets together, still in file order
    keys, starts = np.unique(apids[order], return_index=True)
    steps = np.diff(counts[order]) % SEQUENCE_COUNTS
    missing = np.where(steps > 1, steps - 1, 0)
    missing[starts[1:] - 1] = 0  # the step from one APID's last packet to the next APID's first
    totals = np.add.reduceat(np.concatenate([[0], missing]), starts) if len(keys) else np.zeros(0, np.int64)
    return {int(k): int(t) for k, t in zip(keys.tolist(), totals.tolist())}
