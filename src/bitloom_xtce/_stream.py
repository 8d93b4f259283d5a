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
import re
import socket
import tempfile
from collections.abc import Callable, Iterable, Iterator
from typing import Any, NamedTuple

import numpy as np

from ._ccsds import LOST_SEGMENT, PacketSequence, joined_gaps, primary_headers
from ._definition import Definition, FileResult, Skipped, _frame, _Group, _warn_skipped
from ._plan import Block, Structure

TRUNCATED = "truncated at the end of the data"  # the reason _frame gives


def decode_piece(definition: Definition, data: bytes, framing: str, raw: bool, prefix_bytes: int,
                 sequence: PacketSequence | bool, *, unmatched: str = "skip", base: int = 0,
                 final: bool = True, threads: int = 1) -> tuple[FileResult, int]:
    """Decode the whole packets of `data`, which starts `base` bytes into its stream (and after
    the packets the sequence has decoded already: packet indexes count from those). Unless
    `final`, a packet cut off at the end is not reported: it is the caller's to carry into the
    next piece. Returns the result (without a warning) and where the whole packets end."""
    if not isinstance(sequence, PacketSequence):
        sequence = PacketSequence(bool(sequence))
    _check_unmatched(unmatched)
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
    lost = sum(len(part) for part in skipped.get(LOST_SEGMENT, []))  # packets, each counted once, whose segments went
    result = definition._decode_frames(data, offsets, lengths, raw, skipped, unmatched == "keep", threads)
    result.packets = len(offsets) + lost + (TRUNCATED in skipped)
    result.gaps = gaps
    result.attributes = attributes(definition, result)
    if sequence.decoded:
        result.packet_index = {name: index + sequence.decoded for name, index in result.packet_index.items()}
    sequence.decoded += len(offsets)
    before = sequence.decoded - len(offsets)  # packets of the stream before this piece
    if origins or base or before:  # offsets and numbers in the stream, segments by their first one
        result.skipped = {reason: Skipped(np.array([origins.get(int(o), int(o)) + base for o in record.offsets],
                                                   dtype=np.int64), record.indices + before)
                          for reason, record in result.skipped.items()}
    return result, end


def attributes(definition: Definition, result: dict[str, dict[str, Any]]) -> dict[str, dict[str, str]]:
    """Units and descriptions of the parameters in a result (those the definition gives)."""
    key = tuple(tuple(columns) for columns in result.values())  # the same columns: the same attributes
    cache = definition._attributes
    found = cache.get(key)
    if found is None:
        found = _attributes(definition, result)
        if len(cache) >= 64:
            cache.clear()
        cache[key] = found
    return {name: dict(entry) for name, entry in found.items()}


def _attributes(definition: Definition, result: dict[str, dict[str, Any]]) -> dict[str, dict[str, str]]:
    out: dict[str, dict[str, str]] = {}
    seen: set[str] = set()
    for columns in result.values():
        for name in columns:
            if name in seen:
                continue
            seen.add(name)
            # a structure's columns are named after its members (P.a, P[2]): those of P otherwise
            parameter = definition._parameters.get(name) or definition._parameters.get(re.split(r"[.\[]", name)[0])
            if parameter is None:
                continue
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
    result.invalid, result.alarms = {}, {}
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
                    if isinstance(step, Structure):
                        definition._structure_columns(step, group, b"")
                    else:
                        definition._variable_columns(step, group, b"")
                    group.anchors[-1] = 0  # no packets: the same (empty) reads from any anchor
        result[name] = definition._columns(segment, group, b"", raw)
        result.packet_index[name] = np.empty(0, dtype=np.int64)
        result.invalid[name], result.alarms[name] = definition._checks(segment, group, b"")
    result.attributes = attributes(definition, result)
    return result


def _check_options(framing: str, prefix_bytes: int, unmatched: str = "skip") -> None:
    """Refuse a bad framing, prefix or unmatched before any data is read."""
    if isinstance(prefix_bytes, bool) or not isinstance(prefix_bytes, int):
        raise TypeError(f"prefix_bytes must be an int, not {type(prefix_bytes).__name__}")
    _frame(b"", framing, prefix_bytes)
    _check_unmatched(unmatched)


def _check_unmatched(unmatched: str) -> None:
    if unmatched not in ("skip", "keep"):
        raise ValueError(f"unmatched must be 'skip' or 'keep', not {unmatched!r}")


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
                 raw: bool, prefix_bytes: int, unmatched: str, segmented: bool) -> None:
        self.chunk_bytes = _positive("chunk_bytes", chunk_bytes)
        _check_options(framing, prefix_bytes, unmatched)
        self._unmatched = unmatched
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
            result, end = decode_piece(self._definition, data, *self._options, self._sequence,
                                       unmatched=self._unmatched, base=base, final=final)
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
                 raw: bool = False, prefix_bytes: int = 0, unmatched: str = "skip",
                 segmented: bool = False) -> FileResult:
    """Decode many packet files into one result: one table per container with the rows of every
    file, in file order. The files are decoded in parallel by `workers` processes (default: one
    per CPU; 1 decodes here). Sequence gaps count across the files, as if they were one stream,
    and skipped packets' byte offsets count from the start of the first file."""
    if not isinstance(definition, Definition):
        raise TypeError(f"definition must be a bitloom_xtce.Definition, not {type(definition).__name__}")
    files = expand_paths(paths)
    _check_options(framing, prefix_bytes, unmatched)
    workers = _positive("workers", workers if workers is not None else os.cpu_count() or 1)
    options = (framing, raw, prefix_bytes, unmatched, segmented)
    if workers == 1 or len(files) == 1:
        parts: list[tuple[Any, str | None]] = [(_decode_path(definition, path, *options), None) for path in files]
    else:
        # Started by a fork server, not forked: a copy of a process that runs threads (pyarrow's,
        # dask's) may deadlock.
        context = multiprocessing.get_context("forkserver")
        with concurrent.futures.ProcessPoolExecutor(min(workers, len(files)), mp_context=context) as pool:
            futures = [pool.submit(_decode_spilled, definition, path, *options) for path in files]
            try:
                parts = [future.result() for future in futures]
            except BaseException:
                for future in futures:
                    future.cancel()
                concurrent.futures.wait(futures)
                for future in futures:
                    if not future.cancelled() and future.exception() is None:
                        _remove(future.result()[1])
                raise
    try:
        merged = _merge(definition, parts, workers)
    finally:
        for _, spill in parts:
            _remove(spill)
    _warn_skipped(merged, 3)
    return merged


def _merge(definition: Definition, parts: list[tuple[Any, str | None]], threads: int) -> FileResult:
    """One result from the files' parts, in file order. Each numeric column of the whole is made
    once and filled with the files' rows by `threads` threads at once (reading the columns that
    workers left in files straight into it); other columns are joined as concat joins them."""
    results: list[FileResult] = [part[0] for part, _ in parts]
    merged = FileResult()
    merged.packets = sum(result.packets for result in results)
    merged.skipped, merged.gaps, merged.attributes, merged.packet_index = {}, {}, {}, {}
    merged.invalid, merged.alarms = {}, {}
    start = index = 0
    bases = []  # each file's first packet index
    skips: dict[str, list[tuple[Skipped, int, int]]] = {}
    for (result, _, _, size, decoded), _ in parts:
        for reason, record in result.skipped.items():
            skips.setdefault(reason, []).append((record, start, index))
        merged.attributes.update(result.attributes)
        bases.append(index)
        start += size
        index += decoded
    merged.skipped = {reason: Skipped.join(records) for reason, records in skips.items()}
    merged.gaps = joined_gaps([(part[0].gaps, part[1], part[2]) for part, _ in parts])
    order = {name: i for i, name in enumerate(definition.concrete())}
    names = sorted({name for result in results for name in result}, key=lambda n: order.get(n, len(order)))
    copies: list[list[tuple[np.ndarray, Any, int]]] = [[] for _ in parts]  # per file: (into, from, add)
    for name in names:
        holding = [i for i, result in enumerate(results) if name in result]
        rows = [results[i].packet_index[name].shape[0] for i in holding]  # arrays and _Spilled alike
        ends = np.cumsum(rows).tolist()

        def joined(pieces: list[Any], add: list[int]) -> np.ndarray:
            whole = _empty_whole(pieces, ends[-1])
            if whole is None:
                return _join_pieces([_read_spilled(piece, parts[i][1]) for piece, i in zip(pieces, holding)])
            for piece, i, stop, size, extra in zip(pieces, holding, ends, rows, add):
                copies[i].append((whole[stop - size:stop], piece, extra))
            return whole

        no_add = [0] * len(holding)
        merged[name] = {key: joined([results[i][name][key] for i in holding], no_add)
                        for key in results[holding[0]][name]}
        merged.packet_index[name] = joined([results[i].packet_index[name] for i in holding],
                                           [bases[i] for i in holding])
        for checks in ("invalid", "alarms"):  # {parameter -> column} per container, as the tables
            tables = [getattr(results[i], checks)[name] for i in holding]
            getattr(merged, checks)[name] = {key: joined([t[key] for t in tables], no_add) for key in tables[0]}
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:  # numpy and file reads free the GIL
        list(pool.map(_fill, copies, [spill for _, spill in parts]))
    return merged


def _empty_whole(pieces: list[Any], rows: int) -> np.ndarray | None:
    """An unfilled array for the joined pieces, when they are plain numeric columns (in memory or
    in a worker's file) of one type and row shape; None for others."""
    described = [(np.dtype(p.dtype), tuple(p.shape[1:])) if isinstance(p, _Spilled) else
                 (p.dtype, p.shape[1:]) if type(p) is np.ndarray and p.dtype.kind in "biufcmM" else None
                 for p in pieces]
    if described[0] is None or any(d != described[0] for d in described):
        return None
    dtype, shape = described[0]
    return np.empty((rows, *shape), dtype=dtype)


def _join_pieces(pieces: list[np.ndarray]) -> np.ndarray:
    from ._tables import _join
    return _join(pieces)


def _read_spilled(piece: Any, spill: str | None) -> Any:
    if not isinstance(piece, _Spilled):
        return piece
    assert spill is not None
    with open(spill, "rb") as f:
        f.seek(piece.offset)
        return np.fromfile(f, dtype=piece.dtype, count=math.prod(piece.shape)).reshape(piece.shape)


def _fill(copies: list[tuple[np.ndarray, Any, int]], spill: str | None) -> None:
    """Copy one file's rows into the joined columns: from memory, or read from its file."""
    with contextlib.ExitStack() as stack:
        f = stack.enter_context(open(spill, "rb", buffering=0)) if spill is not None else None
        for into, piece, add in copies:
            if isinstance(piece, _Spilled):
                assert f is not None
                f.seek(piece.offset)
                view = memoryview(into.reshape(-1).view(np.uint8))  # any dtype (times too) as bytes
                done = 0
                while done < len(view):
                    got = f.readinto(view[done:])
                    if not got:
                        raise OSError(f"{spill}: ends before the columns written to it")
                    done += got
            else:
                into[...] = piece
            if add:
                into += add


def _decode_path(definition: Definition, path: str, framing: str, raw: bool, prefix_bytes: int, unmatched: str,
                 segmented: bool) -> tuple[FileResult, dict[int, int], dict[int, int], int, int]:
    """One file: its result, the first and last sequence count of each APID, its size and the
    number of packets decoded."""
    data = pathlib.Path(path).read_bytes()
    sequence = PacketSequence(segmented)
    result, _ = decode_piece(definition, data, framing, raw, prefix_bytes, sequence, unmatched=unmatched)
    return result, sequence.first, sequence.last, len(data), sequence.decoded


class _Spilled(NamedTuple):
    """Where a column a worker wrote lies in its file."""

    offset: int
    dtype: str
    shape: tuple[int, ...]


def _arrays(result: FileResult) -> list[dict[str, Any]]:
    return [*result.values(), result.packet_index, *result.invalid.values(), *result.alarms.values()]


def _decode_spilled(definition: Definition, path: str, *options: Any) -> tuple[Any, str | None]:
    """_decode_path in a worker process, its numeric columns written to a temporary file rather
    than sent back pickled: through the pool's pipe, hundreds of megabytes take seconds, the
    more so on a busy machine. Returns the part and the file (None when nothing went there)."""
    part = _decode_path(definition, path, *options)
    plain = [(arrays, key) for arrays in _arrays(part[0]) for key, column in arrays.items()
             if type(column) is np.ndarray and column.dtype.kind in "biufcmM"]
    if not plain:
        return part, None
    with tempfile.NamedTemporaryFile(prefix="bitloom-", suffix=".columns", delete=False) as f:
        try:
            for arrays, key in plain:
                column = arrays[key]
                arrays[key] = _Spilled(f.tell(), column.dtype.str, column.shape)
                f.write(np.ascontiguousarray(column).reshape(-1).view(np.uint8))
        except BaseException:
            _remove(f.name)
            raise
    return part, f.name


def _remove(path: str | None) -> None:
    if path is not None:
        with contextlib.suppress(OSError):
            os.unlink(path)
