"""Decoding past one buffer: a stream a chunk at a time, and many files on several processes.

Both cut the packets into pieces that decode on their own. What ties the pieces together is kept
in a PacketSequence: the last sequence count of each APID (so the gaps between pieces count too)
and the segmented packets still being gathered. Byte offsets in results count from the start of
the stream (of the first file).
"""
from __future__ import annotations

import concurrent.futures
import contextlib
import glob
import math
import multiprocessing
import os
import pathlib
import socket
import tempfile
from collections.abc import Callable, Iterable, Iterator
from typing import Any, NamedTuple

import numpy as np

from ._ccsds import LOST_SEGMENT, PacketSequence, joined_gaps, primary_headers
from ._definition import Definition, FileResult, _frame, _Group, _warn_skipped
from ._plan import Block

TRUNCATED = "truncated at the end of the data"  # the reason _frame gives


def decode_piece(definition: Definition, data: bytes, framing: str, raw: bool, prefix_bytes: int,
                 sequence: PacketSequence | bool, *, base: int = 0, final: bool = True) -> tuple[FileResult, int]:
    """Decode the whole packets of `data`, which starts `base` bytes into its stream (and after
    the packets the sequence has decoded already: packet indexes count from those). Unless
    `final`, a packet cut off at the end is not reported: it is the caller's to carry into the
    next piece. Returns the result (without a warning) and where the whole packets end."""
    if not isinstance(sequence, PacketSequence):
        sequence = PacketSequence(bool(sequence))
    offsets, lengths, skipped = _frame(data, framing, prefix_bytes)
    end = int(offsets[-1]) + int(lengths[-1]) if len(offsets) else 0
    if not final:
        skipped.pop(TRUNCATED, None)
    header = primary_headers(data, offsets)
    apids, flags, counts = header["apid"], header["sequence_flags"], header["sequence_count"]
    gaps = sequence.gaps(apids, counts)
    origins: dict[int, int] = {}
    if sequence.segmented:
        data, offsets, lengths, origins = sequence.reassemble(data, offsets, lengths, apids, flags, counts,
                                                              skipped, base)
        if final:
            sequence.finish(skipped, base)
    lost = skipped.get(LOST_SEGMENT, (0, 0))[0]  # packets, each counted once, whose segments went
    result = definition._decode_frames(data, offsets, lengths, raw, skipped)
    result.packets = len(offsets) + lost + (TRUNCATED in skipped)
    result.gaps = gaps
    result.attributes = attributes(definition, result)
    if sequence.decoded:
        result.packet_index = {name: index + sequence.decoded for name, index in result.packet_index.items()}
    sequence.decoded += len(offsets)
    if origins or base:
        result.skipped = {reason: (count, origins.get(first, first) + base)
                          for reason, (count, first) in skipped.items()}
    return result, end


def attributes(definition: Definition, result: dict[str, dict[str, Any]]) -> dict[str, dict[str, str]]:
    """Units and descriptions of the parameters in a result (those the definition gives)."""
    out: dict[str, dict[str, str]] = {}
    seen: set[str] = set()
    for columns in result.values():
        for name in columns:
            if name in seen:
                continue
            seen.add(name)
            parameter = definition.parameters[name]
            entry = {key: value for key, value in (("units", parameter.type.units),
                                                   ("description", parameter.description)) if value}
            if entry:
                out[name] = entry
    return out


def empty_result(definition: Definition, raw: bool = False) -> FileResult:
    """A result with every concrete container and no rows: the columns typed as decoding types
    them, found without any data."""
    result = FileResult()
    result.packets, result.skipped, result.gaps, result.packet_index = 0, {}, {}, {}
    for name in definition.concrete():
        segment = definition._segments[name]
        group = _Group(np.empty(0, dtype=np.uint64), np.empty(0, dtype=np.int64), [0], {})
        for link in segment.chain:
            for step in definition._segments[link].steps:
                if isinstance(step, Block):
                    step.prepare()
                    for f in step.fields:
                        group.known[f.parameter.name] = (step, f)
                else:
                    definition._variable_columns(step, group, b"")
                    group.anchors[-1] = 0  # no packets: the same (empty) reads from any anchor
        result[name] = definition._columns(segment, group, b"", raw)
        result.packet_index[name] = np.empty(0, dtype=np.int64)
    result.attributes = attributes(definition, result)
    return result


def _check_options(framing: str, prefix_bytes: int) -> None:
    """Refuse a bad framing or prefix before any data is read."""
    if isinstance(prefix_bytes, bool) or not isinstance(prefix_bytes, int):
        raise TypeError(f"prefix_bytes must be an int, not {type(prefix_bytes).__name__}")
    _frame(b"", framing, prefix_bytes)


def _positive(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, not {value}")
    return value


# -- streams -------------------------------------------------------------------------------------


class DecodeStream:
    """The results of Definition.iter_decode, one per chunk read (none for a chunk in which no
    packet ends; one without tables for a chunk in which only segments end). `position` is the
    number of bytes read from the source so far. A file that iter_decode opened is closed at the
    end, by close(), or by leaving a ``with`` block."""

    def __init__(self, definition: Definition, source: Any, *, chunk_bytes: int, framing: str,
                 raw: bool, prefix_bytes: int, segmented: bool) -> None:
        self.chunk_bytes = _positive("chunk_bytes", chunk_bytes)
        _check_options(framing, prefix_bytes)
        self._definition = definition
        self._options = (framing, raw, prefix_bytes)
        self._read, self._close = _reader(source)
        self._sequence = PacketSequence(segmented)
        self._carry = b""
        self._done = False
        self.position = 0

    def __iter__(self) -> DecodeStream:
        return self

    def __next__(self) -> FileResult:
        while not self._done:
            chunk = self._read(self.chunk_bytes)
            final = len(chunk) < self.chunk_bytes  # reads come short only at the end
            if final:
                self.close()
            data = self._carry + chunk if self._carry else chunk
            base = self.position - len(self._carry)
            self.position += len(chunk)
            del chunk
            result, end = decode_piece(self._definition, data, *self._options, self._sequence, base=base,
                                       final=final)
            self._carry = data[end:]
            del data
            if result or result.skipped or result.gaps:  # the chunk held packets
                _warn_skipped(result, 3)
                return result
        raise StopIteration

    def close(self) -> None:
        """Stop reading; close the source if iter_decode opened it."""
        self._done = True
        if self._close is not None:
            self._close()
            self._close = None

    def __enter__(self) -> DecodeStream:
        return self

    def __del__(self) -> None:
        if getattr(self, "_close", None) is not None:
            self.close()

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "finished" if self._done else "open"
        return f"<DecodeStream: {self.position} bytes read, {state}>"


def _reader(source: Any) -> tuple[Callable[[int], bytes], Callable[[], None] | None]:
    """A function that reads up to n bytes of the source (fewer only at its end, none after it),
    and the function that closes the source if it was opened here."""
    if isinstance(source, (str, os.PathLike)):
        f = open(source, "rb")
        return _filler(f.read), f.close
    if isinstance(source, (bytes, bytearray, memoryview)):
        view = memoryview(source).cast("B")
        place = [0]

        def read_buffer(n: int) -> bytes:
            start = place[0]
            place[0] = min(start + n, len(view))
            return bytes(view[start:place[0]])
        return read_buffer, None
    if isinstance(source, socket.socket):
        return _filler(source.recv), None
    if callable(getattr(source, "read", None)):
        return _filler(source.read), None
    if isinstance(source, Iterable) and not isinstance(source, str):
        return _pieces(iter(source)), None
    raise TypeError(f"cannot read packets from {type(source).__name__}: give a path, a binary file "
                    "object, a socket, bytes or an iterable of bytes")


def _filler(read: Callable[[int], Any]) -> Callable[[int], bytes]:
    """n bytes from a read function that may return fewer (a pipe, a socket), by reading again."""
    def fill(n: int) -> bytes:
        parts, got = [], 0
        while got < n:
            part = read(n - got)
            if part is None:
                raise OSError("the source has no data ready: iter_decode needs a blocking file or socket")
            if isinstance(part, str):
                raise TypeError("the file gives text: open it in binary mode ('rb')")
            if not part:
                break
            parts.append(part)
            got += len(part)
        return parts[0] if len(parts) == 1 and type(parts[0]) is bytes else b"".join(parts)
    return fill


def _pieces(pieces: Iterator[Any]) -> Callable[[int], bytes]:
    """n bytes from an iterator of bytes-like pieces of any size."""
    held = [b""]

    def take(n: int) -> bytes:
        parts, got = [held[0]], len(held[0])
        while got < n:
            piece = next(pieces, None)
            if piece is None:
                break
            if isinstance(piece, str) or not isinstance(piece, (bytes, bytearray, memoryview)):
                raise TypeError(f"the iterable gave {type(piece).__name__}, not bytes")
            parts.append(bytes(piece))
            got += len(piece)
        joined = b"".join(parts)
        held[0] = joined[n:]
        return joined[:n]
    return take


# -- many files ---------------------------------------------------------------------------------


def expand_paths(paths: Any) -> list[str]:
    """A glob pattern, a path, or an iterable of paths: the files, in the order given (a
    pattern's matches sorted by name)."""
    if isinstance(paths, (str, os.PathLike)):
        text = os.fspath(paths)
        if any(c in text for c in "*?["):
            found = sorted(p for p in glob.glob(text) if os.path.isfile(p))
            if not found:
                raise FileNotFoundError(f"no file matches {text!r}")
            return found
        files = [text]
    elif isinstance(paths, Iterable) and not isinstance(paths, (bytes, bytearray)):
        files = [os.fspath(p) for p in paths]
    else:
        raise TypeError(f"paths must be a path, a glob pattern or an iterable of paths, not "
                        f"{type(paths).__name__}")
    if not files:
        raise ValueError("no files given")
    for path in files:
        if not os.path.isfile(path):
            raise FileNotFoundError(f"{path}: no such file")
    return files


def decode_files(paths: Any, definition: Definition, *, workers: int | None = None, framing: str = "ccsds",
                 raw: bool = False, prefix_bytes: int = 0, segmented: bool = False) -> FileResult:
    """Decode many packet files into one result: one table per container with the rows of every
    file, in file order. The files are decoded in parallel by `workers` processes (default: one
    per CPU; 1 decodes here). Sequence gaps count across the files, as if they were one stream,
    and skipped packets' byte offsets count from the start of the first file."""
    if not isinstance(definition, Definition):
        raise TypeError(f"definition must be a bitloom_xtce.Definition, not {type(definition).__name__}")
    files = expand_paths(paths)
    _check_options(framing, prefix_bytes)
    workers = _positive("workers", workers if workers is not None else os.cpu_count() or 1)
    options = (framing, raw, prefix_bytes, segmented)
    if workers == 1 or len(files) == 1:
        parts = [_decode_path(definition, path, *options) for path in files]
    else:
        # Started by a fork server, not forked: a copy of a process that runs threads (pyarrow's,
        # dask's) may deadlock.
        context = multiprocessing.get_context("forkserver")
        with concurrent.futures.ProcessPoolExecutor(min(workers, len(files)), mp_context=context) as pool:
            futures = [pool.submit(_decode_spilled, definition, path, *options) for path in files]
            try:
                parts = [_gather(*future.result()) for future in futures]
            except BaseException:
                for future in futures:
                    future.cancel()
                concurrent.futures.wait(futures)
                for future in futures:
                    if not future.cancelled() and future.exception() is None:
                        _remove(future.result()[1])
                raise
    results = []
    skipped: dict[str, tuple[int, int]] = {}
    start = index = 0
    for result, _, _, size, decoded in parts:
        for reason, (count, first) in result.skipped.items():
            earlier = skipped.get(reason, (0, start + first))
            skipped[reason] = (earlier[0] + count, earlier[1])
        result.packet_index = {name: at + index for name, at in result.packet_index.items()}
        results.append(result)
        start += size
        index += decoded
    from ._tables import join_results
    joined = join_results(results, consume=True)
    del results
    order = {name: i for i, name in enumerate(definition.concrete())}
    merged = FileResult((name, joined[name]) for name in sorted(joined, key=lambda n: order.get(n, len(order))))
    merged.packets, merged.skipped, merged.attributes = joined.packets, skipped, joined.attributes
    merged.packet_index = {name: joined.packet_index[name] for name in merged}
    merged.gaps = joined_gaps([(result.gaps, first, last) for result, first, last, _, _ in parts])
    _warn_skipped(merged, 3)
    return merged


def _decode_path(definition: Definition, path: str, framing: str, raw: bool, prefix_bytes: int,
                 segmented: bool) -> tuple[FileResult, dict[int, int], dict[int, int], int, int]:
    """One file: its result, the first and last sequence count of each APID, its size and the
    number of packets decoded."""
    data = pathlib.Path(path).read_bytes()
    sequence = PacketSequence(segmented)
    result, _ = decode_piece(definition, data, framing, raw, prefix_bytes, sequence)
    return result, sequence.first, sequence.last, len(data), sequence.decoded


class _Spilled(NamedTuple):
    """Where a column a worker wrote lies in its file."""

    offset: int
    dtype: str
    shape: tuple[int, ...]


def _arrays(result: FileResult) -> list[dict[str, Any]]:
    return [*result.values(), result.packet_index]


def _decode_spilled(definition: Definition, path: str, *options: Any) -> tuple[Any, str | None]:
    """_decode_path in a worker process, its numeric columns written to a temporary file rather
    than sent back pickled: through the pool's pipe, hundreds of megabytes take seconds, the
    more so on a busy machine. Returns the part and the file (None when nothing went there)."""
    part = _decode_path(definition, path, *options)
    plain = [(arrays, key) for arrays in _arrays(part[0]) for key, column in arrays.items()
             if type(column) is np.ndarray and column.dtype.kind in "biufc"]
    if not plain:
        return part, None
    with tempfile.NamedTemporaryFile(prefix="bitloom-", suffix=".columns", delete=False) as f:
        try:
            for arrays, key in plain:
                column = arrays[key]
                arrays[key] = _Spilled(f.tell(), column.dtype.str, column.shape)
                f.write(np.ascontiguousarray(column))
        except BaseException:
            _remove(f.name)
            raise
    return part, f.name


def _gather(part: Any, spill: str | None) -> Any:
    """A worker's part with its columns read back from its file, which is then removed."""
    if spill is None:
        return part
    try:
        with open(spill, "rb") as f:
            for arrays in _arrays(part[0]):
                for key, place in arrays.items():
                    if isinstance(place, _Spilled):
                        f.seek(place.offset)
                        arrays[key] = np.fromfile(f, dtype=place.dtype, count=math.prod(place.shape)) \
                            .reshape(place.shape)
    finally:
        _remove(spill)
    return part


def _remove(path: str | None) -> None:
    if path is not None:
        with contextlib.suppress(OSError):
            os.unlink(path)
