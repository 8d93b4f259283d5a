"""CCSDS space packet primary headers, read for a whole file at once with bitloom's column
reader, and what they tell without a definition: packets per APID, sequence count gaps, and
segmented packets put back together.

The primary header is six bytes: version (3 bits), type (1), secondary header flag (1), APID
(11); sequence flags (2), sequence count (14); packet data length (16, the size of the data field
minus one). The sequence flags say whether a packet is whole (3) or the first (1), a continuation
(0) or the last (2) segment of a larger one; segments of one APID follow each other with
consecutive sequence counts.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, cast

import bitloom
import numpy as np

SEQUENCE_COUNTS = 1 << 14  # the sequence count is 14 bits and wraps around
IDLE_APID = 0x7FF
HEADER_BYTES = 6
CONTINUATION, FIRST, LAST, WHOLE = 0, 1, 2, 3  # sequence flags
LOST_SEGMENT = "segmented packets with a lost or out-of-order segment"


def _field(name: str, bits: int) -> dict[str, Any]:
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big", "reverse_bits": False}


PRIMARY_HEADER = [_field("version", 3), _field("type", 1), _field("secondary_header", 1), _field("apid", 11),
                  _field("sequence_flags", 2), _field("sequence_count", 14), _field("data_length", 16)]


_RESOLVED: list[Any] = []  # PRIMARY_HEADER resolved once (bitloom._column_recipe)


def primary_headers(data: bytes, offsets: np.ndarray) -> dict[str, np.ndarray]:
    """The primary header fields of the packets at `offsets` (byte offsets of whole headers):
    version, type (0 telemetry, 1 telecommand), secondary_header, apid, sequence_flags,
    sequence_count and data_length (the packet's size less 7), one column each."""
    if not _RESOLVED:  # two threads may both make it: either serves
        _RESOLVED.append(bitloom._column_recipe(cast(Any, PRIMARY_HEADER)))
    columns: dict[str, np.ndarray] = bitloom._unpack_columns(_RESOLVED[0], data, np.asarray(offsets, dtype=np.uint64))
    return columns


def sequence_gaps(apids: np.ndarray, counts: np.ndarray) -> dict[int, int]:
    """Per APID, the number of sequence counts missing between consecutive packets of that APID
    in file order. With d = (count - previous count) mod 16384: d == 1 is the normal step, d == 0
    a repeated packet (no gap), any other d means d - 1 packets missing. Every APID present is a
    key, with 0 when its counts have no gap."""
    return gaps_and_ends(apids, counts)[0]


def gaps_and_ends(apids: np.ndarray, counts: np.ndarray) -> tuple[dict[int, int], dict[int, int], dict[int, int]]:
    """sequence_gaps, and the first and the last sequence count of each APID, from one sort."""
    apids, counts = np.asarray(apids), np.asarray(counts)
    if apids.ndim != 1 or apids.shape != counts.shape:
        raise ValueError(f"apids and counts must be one-dimensional and of the same length, not of "
                         f"shapes {apids.shape} and {counts.shape}")
    if not len(apids):
        return {}, {}, {}
    if apids.dtype.kind not in "iu" or apids.min() < 0:
        raise ValueError("apids must be non-negative integers")
    counts = counts.astype(np.int32)
    if apids.min() == apids.max():
        apid = int(apids[0])
        return ({apid: int(np.maximum((np.diff(counts) & (SEQUENCE_COUNTS - 1)) - 1, 0).sum())},
                {apid: int(counts[0])}, {apid: int(counts[-1])})
    order = np.argsort(apids, kind="stable")  # each APID's packets together, in file order
    apids, counts = apids[order], counts[order]
    missing = np.maximum((np.diff(counts) & (SEQUENCE_COUNTS - 1)) - 1, 0)  # none for d == 0 or 1
    change = np.flatnonzero(apids[1:] != apids[:-1])
    missing[change] = 0
    firsts = np.concatenate([[0], change + 1])
    lasts = np.concatenate([change, [len(apids) - 1]])
    present = apids[firsts].tolist()
    totals = np.add.reduceat(np.concatenate([[0], missing]), firsts)  # each APID's run, its first packet's 0 first
    return (dict(zip(present, totals.tolist())), dict(zip(present, counts[firsts].tolist())),
            dict(zip(present, counts[lasts].tolist())))


_FEW = 16  # packets this few are counted in plain Python: numpy's calls would cost more


def _few_gaps(apids: list[int], counts: list[int]) -> tuple[dict[int, int], dict[int, int], dict[int, int]]:
    """gaps_and_ends of a few packets, by APID in ascending order as they give them."""
    missing: dict[int, int] = {}
    first: dict[int, int] = {}
    last: dict[int, int] = {}
    for apid, count in zip(apids, counts):
        if apid in last:
            missing[apid] += max(((count - last[apid]) & (SEQUENCE_COUNTS - 1)) - 1, 0)
        else:
            missing[apid], first[apid] = 0, count
        last[apid] = count
    order = sorted(missing)
    return ({apid: missing[apid] for apid in order}, {apid: first[apid] for apid in order},
            {apid: last[apid] for apid in order})


def joined_gaps(parts: list[tuple[dict[int, int], dict[int, int], dict[int, int]]]) -> dict[int, int]:
    """The gaps of consecutive pieces of one stream, from each piece's (gaps, first counts, last
    counts): the gaps inside each, and those between one piece's last packet of an APID and the
    next piece's first."""
    total: dict[int, int] = {}
    last: dict[int, int] = {}
    for gaps, first_counts, last_counts in parts:
        for apid, missing in gaps.items():
            total[apid] = total.get(apid, 0) + missing
        for apid, count in first_counts.items():
            if apid in last:
                step = (count - last[apid]) % SEQUENCE_COUNTS
                total[apid] += step - 1 if step > 1 else 0
        last.update(last_counts)
    return total


@dataclass(slots=True)
class _Gathering:
    """A segmented packet whose last segment has not come yet."""

    origin: int  # stream offset of its first segment
    first: int  # sequence count of its first segment
    count: int  # sequence count of its latest segment
    parts: list[bytes] = field(default_factory=list)  # the first segment whole, then data fields


class PacketSequence:
    """What the consecutive pieces of one stream carry from each to the next: each APID's first
    and last sequence count, and the segmented packets still being gathered."""

    def __init__(self, segmented: bool) -> None:
        self.segmented = segmented
        self.decoded = 0  # packets sent to decoding so far: the packet index of the next one
        self.first: dict[int, int] = {}
        self.last: dict[int, int] = {}
        # APID -> the packet being gathered, or None while the rest of one that lost a segment
        # goes by.
        self.pending: dict[int, _Gathering | None] = {}
        # APID -> the first and last sequence counts seen of the latest packet lost to a segment
        # that did not follow: a segment of it that comes late is not another lost packet.
        self.broken: dict[int, tuple[int, int]] = {}

    def gaps(self, apids: np.ndarray, counts: np.ndarray) -> dict[int, int]:
        """The gaps among these packets and since the previous piece's last packet of each APID."""
        if not len(apids):
            return {}
        if len(apids) <= _FEW:
            inner, first, last = _few_gaps(apids.tolist(), counts.tolist())
        else:
            inner, first, last = gaps_and_ends(apids, counts)
        gaps = joined_gaps([({}, {}, self.last), (inner, first, last)]) if self.last else inner
        for apid, count in first.items():
            self.first.setdefault(apid, count)
        self.last.update(last)
        return gaps

    def reassemble(self, data: bytes, offsets: np.ndarray, lengths: np.ndarray, apids: np.ndarray,
                   flags: np.ndarray, counts: np.ndarray, skipped: dict[str, list[np.ndarray]],
                   base: int) -> tuple[bytes, np.ndarray, np.ndarray, dict[int, int]]:
        """Put segmented packets back together: each whole one takes the place of its last segment
        among the packets, its bytes appended behind `data`. Returns the data, offsets and lengths
        of the packets to decode, and for each reassembled packet the offset of its first segment
        (relative to this piece, which starts `base` bytes into the stream). A packet that lost a
        segment, or whose segments come out of order, is counted in `skipped`."""
        split = np.flatnonzero(flags != WHOLE)
        if not len(split):
            return data, offsets, lengths, {}
        pending = self.pending
        pieces: list[bytes] = []
        where: list[int] = []
        origins: list[int] = []
        for i, apid, flag, count in zip(split.tolist(), apids[split].tolist(), flags[split].tolist(),
                                        counts[split].tolist()):
            start, end = int(offsets[i]), int(offsets[i]) + int(lengths[i])
            gathering = pending.get(apid)
            if flag == FIRST:
                if gathering is not None:  # its last segment was lost
                    _drop(skipped, gathering.origin - base)
                pending[apid] = _Gathering(base + start, count, count, [data[start:end]])
                continue
            if gathering is not None and (count - gathering.count) % SEQUENCE_COUNTS == 1:
                gathering.parts.append(data[start + HEADER_BYTES:end])
                gathering.count = count
                if flag == LAST:
                    del pending[apid]
                    pieces.append(_whole(gathering.parts))
                    where.append(i)
                    origins.append(gathering.origin - base)
                continue
            # A segment that does not follow: the packet it belongs to is lost, counted once
            # (here, unless that happened at an earlier segment of it already).
            if gathering is not None:
                _drop(skipped, gathering.origin - base)
                self.broken[apid] = (gathering.first, count)
            elif apid not in pending and not self._late(apid, count):
                _drop(skipped, start)
            if flag == CONTINUATION:
                pending[apid] = None
            else:
                pending.pop(apid, None)
        keep = np.flatnonzero(flags == WHOLE)
        if not pieces:
            return data, offsets[keep], lengths[keep], {}
        sizes = np.array([len(p) for p in pieces], dtype=np.int64)
        added = len(data) + np.concatenate(([0], np.cumsum(sizes[:-1])))
        order = np.argsort(np.concatenate((keep, where)), kind="stable")
        offsets = np.concatenate((offsets[keep], added.astype(offsets.dtype)))[order]
        lengths = np.concatenate((lengths[keep], sizes.astype(lengths.dtype)))[order]
        return b"".join([data, *pieces]), offsets, lengths, dict(zip(added.tolist(), origins))

    def _late(self, apid: int, count: int) -> bool:
        span = self.broken.get(apid)
        return span is not None and (count - span[0]) % SEQUENCE_COUNTS <= (span[1] - span[0]) % SEQUENCE_COUNTS

    def finish(self, skipped: dict[str, list[np.ndarray]], base: int) -> None:
        """The end of the stream: packets still waiting for segments are lost."""
        for gathering in self.pending.values():
            if gathering is not None:
                _drop(skipped, gathering.origin - base)
        self.pending.clear()


def _whole(parts: list[bytes]) -> bytes:
    """A reassembled packet: the first segment's primary header with its length field set for the
    joined data (0xFFFF when that does not fit in 16 bits), then every segment's data field."""
    header = bytearray(parts[0][:HEADER_BYTES])
    size = sum(len(p) for p in parts) - HEADER_BYTES
    header[4:6] = min(size - 1, 0xFFFF).to_bytes(2, "big")
    return b"".join([header, parts[0][HEADER_BYTES:], *parts[1:]])


def _drop(skipped: dict[str, list[np.ndarray]], offset: int) -> None:
    """Count a packet lost by its first segment's offset (it may lie before the piece: negative)."""
    skipped.setdefault(LOST_SEGMENT, []).append(np.array([offset], dtype=np.int64))
