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
import hashlib
import math
import mmap
import multiprocessing
import os
import pathlib
import re
import shutil
import socket
import tempfile
from collections.abc import Callable, Iterable, Iterator
from typing import Any, NamedTuple

import numpy as np

from ._ccsds import LOST_SEGMENT, PacketSequence, joined_gaps, primary_headers
from ._definition import Definition, FileResult, Skipped, _check_framing, _frame, _Group, _warn_skipped
from ._plan import Block, Structure

TRUNCATED = "truncated at the end of the data"  # the reason _frame gives


def decode_piece(definition: Definition, data: bytes, framing: str | int, raw: bool, prefix_bytes: int,
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
    if framing == "ccsds":
        header = primary_headers(data, offsets)
        apids, flags, counts = header["apid"], header["sequence_flags"], header["sequence_count"]
        gaps = sequence.gaps(apids, counts)
    else:  # packets of one size: no primary header to count or join segments by
        gaps = {}
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
    result._share_attributes(shared_attributes(definition, result))
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
    return {name: entry.copy() for name, entry in shared_attributes(definition, result).items()}


def shared_attributes(definition: Definition, result: dict[str, dict[str, Any]]) -> dict[str, dict[str, str]]:
    """attributes, as the definition keeps them for results of these columns: not to be changed."""
    key = tuple(tuple(columns) for columns in result.values())  # the same columns: the same attributes
    cache = definition._attributes
    found = cache.get(key)
    if found is None:
        found = _attributes(definition, result)
        if len(cache) >= 64:
            cache.clear()
        cache[key] = found
    return found


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


def _check_options(framing: str | int, prefix_bytes: int, unmatched: str = "skip", segmented: bool = False) -> None:
    """Refuse a bad framing, prefix or unmatched before any data is read."""
    if isinstance(prefix_bytes, bool) or not isinstance(prefix_bytes, int):
        raise TypeError(f"prefix_bytes must be an int, not {type(prefix_bytes).__name__}")
    _check_framing(framing, prefix_bytes)
    _check_unmatched(unmatched)
    if segmented and framing != "ccsds":
        raise ValueError("segmented=True needs framing='ccsds' (segments are joined by their primary headers)")


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

    def __init__(self, definition: Definition, source: Any, *, chunk_bytes: int, framing: str | int,
                 raw: bool, prefix_bytes: int, unmatched: str, segmented: bool) -> None:
        self.chunk_bytes = _positive("chunk_bytes", chunk_bytes)
        _check_options(framing, prefix_bytes, unmatched, segmented)
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


_END = object()


def _pieces(pieces: Iterator[Any]) -> Callable[[int], bytes]:
    """n bytes from an iterator of bytes-like pieces of any size."""
    held = [b""]

    def take(n: int) -> bytes:
        parts, got = [held[0]], len(held[0])
        while got < n:
            piece = next(pieces, _END)
            if piece is _END:
                break
            if isinstance(piece, str) or not isinstance(piece, (bytes, bytearray, memoryview)):
                raise TypeError(f"the iterable gave {type(piece).__name__}, not bytes")  # None too: not an end
            piece = bytes(piece)  # a memoryview's len counts its items, not its bytes
            parts.append(piece)
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


def decode_files(paths: Any, definition: Definition, *, workers: int | None = None, framing: str | int = "ccsds",
                 raw: bool = False, prefix_bytes: int = 0, unmatched: str = "skip",
                 segmented: bool = False) -> FileResult:
    """Decode many packet files into one result: one table per container with the rows of every
    file, in file order. The files are decoded in parallel by `workers` processes (default: one
    per CPU; 1 decodes here). Sequence gaps count across the files, as if they were one stream,
    and skipped packets' byte offsets count from the start of the first file."""
    if not isinstance(definition, Definition):
        raise TypeError(f"definition must be a bitloom_xtce.Definition, not {type(definition).__name__}")
    files = expand_paths(paths)
    _check_options(framing, prefix_bytes, unmatched, segmented)
    workers = _positive("workers", workers if workers is not None else os.cpu_count() or 1)
    options = (framing, raw, prefix_bytes, unmatched, segmented)
    total = sum(os.path.getsize(path) for path in files)
    # Small files (under a megabyte on average) make columns that cost less to copy than to place.
    scratch = _Scratch(total) if len(files) > 1 and total >= len(files) * _PLACED_FILES else None
    try:
        if workers == 1 or len(files) == 1:
            parts = _decode_here(definition, files, options, scratch)
        else:
            parts = _decode_in_workers(definition, files, min(workers, len(files)), options, scratch)
        merged = _merge(definition, parts, scratch)
    finally:
        if scratch is not None:
            scratch.remove()
    _warn_skipped(merged, 3)
    return merged


def _decode_here(definition: Definition, files: list[str], options: tuple[Any, ...],
                 scratch: _Scratch | None) -> list[Any]:
    """The files decoded in this process, one after another."""
    names = list(definition._containers)
    starts, base = [0] * len(names), 0
    parts = []
    for path in files:
        part = _decode_path(definition, path, *options)
        if scratch is not None:
            counts = [_rows(part[0], name) for name in names]
            part = _place(part, names, starts, base, scratch.directory)
            starts = [start + count for start, count in zip(starts, counts)]
            base += part[4]
        parts.append(part)
    return parts


def _merge(definition: Definition, parts: list[Any], scratch: _Scratch | None) -> FileResult:
    """One result from the files' parts, in file order. A numeric column whose rows the files
    placed in one scratch file becomes a mapping of that file (no copy); others are joined."""
    results: list[FileResult] = [part[0] for part in parts]
    merged = FileResult()
    merged.packets = sum(result.packets for result in results)
    merged.skipped, merged.gaps, merged.attributes, merged.packet_index = {}, {}, {}, {}
    merged.invalid, merged.alarms = {}, {}
    start = index = 0
    skips: dict[str, list[tuple[Skipped, int, int]]] = {}
    for result, _, _, size, decoded in parts:
        for reason, record in result.skipped.items():
            skips.setdefault(reason, []).append((record, start, index))
        if index:  # packet indexes count from the first file's first packet (placed ones do already)
            for column in result.packet_index.values():
                if isinstance(column, np.ndarray):
                    column += index
        merged.attributes.update(result.attributes)
        start += size
        index += decoded
    merged.skipped = {reason: Skipped.join(records) for reason, records in skips.items()}
    merged.gaps = joined_gaps([(part[0].gaps, part[1], part[2]) for part in parts])
    order = {name: i for i, name in enumerate(definition.concrete())}  # as decode_file orders them
    names = sorted({name for result in results for name in result}, key=lambda n: order.get(n, len(order)))

    def joined(pieces: list[Any]) -> np.ndarray:
        if all(isinstance(p, _Placed) for p in pieces) and len({(p.file, p.dtype, p.shape) for p in pieces}) == 1:
            assert scratch is not None
            whole = pieces[0]._replace(start=0, rows=sum(p.rows for p in pieces))
            if whole.rows * np.dtype(whole.dtype).itemsize * math.prod(whole.shape) < _MAPPED:
                return scratch.read(whole)  # small: read, rather than spend a mapping on it
            return scratch.mapped(whole.file, np.dtype(whole.dtype), whole.rows, whole.shape)
        return _join_pieces([scratch.read(p) if isinstance(p, _Placed) else p for p in pieces])  # type: ignore

    for name in names:
        holding = [result for result in results if name in result]
        merged[name] = {key: joined([result[name][key] for result in holding]) for key in holding[0][name]}
        merged.packet_index[name] = joined([result.packet_index[name] for result in holding])
        for checks in ("invalid", "alarms"):  # {parameter -> column} per container, as the tables
            tables = [getattr(result, checks)[name] for result in holding]
            getattr(merged, checks)[name] = {key: joined([t[key] for t in tables]) for key in tables[0]}
    return merged


def _join_pieces(pieces: list[np.ndarray]) -> np.ndarray:
    from ._tables import _join
    return _join(pieces)


def _decode_path(definition: Definition, path: str, framing: str | int, raw: bool, prefix_bytes: int, unmatched: str,
                 segmented: bool, read: bool = False) -> tuple[FileResult, dict[int, int], dict[int, int], int, int]:
    """One file: its result, the first and last sequence count of each APID, its size and the
    number of packets decoded."""
    mapped = None
    with open(path, "rb") as f:
        if not read and os.fstat(f.fileno()).st_size >= _MAPPED:
            # A large file is mapped rather than read: its pages come from the page cache as they
            # are, not copied into fresh memory.
            with contextlib.suppress(OSError, ValueError):  # a file system that cannot map it
                mapped = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        data = f.read() if mapped is None else mapped
    size = len(data)
    sequence = PacketSequence(segmented)
    result, _ = decode_piece(definition, data, framing, raw, prefix_bytes, sequence, unmatched=unmatched)
    if mapped is not None:
        try:
            mapped.close()
        except BufferError:  # a column refers to the file's pages: decode from a copy instead
            del result
            return _decode_path(definition, path, framing, raw, prefix_bytes, unmatched, segmented, read=True)
    return result, sequence.first, sequence.last, size, sequence.decoded


# -- columns placed where the whole result's go ---------------------------------------------------
#
# Each numeric column of the whole result is a scratch file, on a memory file system when there is
# room: the rows of each file are written at their place in it (by the worker that decoded the file,
# once the files before have told how many rows they hold), and the result's column is a mapping
# of the file. Nothing is copied after decoding but that one write, and that by the workers.


_MAPPED = 1 << 20  # files and columns at least this large are mapped (a process has some 65 000 mappings at most)
_PLACED_FILES = 1 << 20  # columns are placed when the files average at least this many bytes


class _Placed(NamedTuple):
    """A column's rows of one file, in a scratch file from row `start`."""

    file: str
    start: int
    rows: int
    dtype: str
    shape: tuple[int, ...]


def _numeric(column: Any) -> bool:
    return type(column) is np.ndarray and column.dtype.kind in "biufcmM"


def _rows(result: FileResult, name: str) -> int:
    index = result.packet_index.get(name)
    return 0 if index is None else index.rows if isinstance(index, _Placed) else len(index)


def _place(part: Any, names: list[str], starts: list[int], base: int, directory: str) -> Any:
    """Write the numeric columns of a file's part into the scratch files at `starts` (the row of
    each container's first row, in the order of `names`), its packet indexes counted on from
    `base`; the part returned holds a _Placed for each."""
    result = part[0]
    first = dict(zip(names, starts))
    for name in result:
        start = first[name]
        index = result.packet_index[name]
        if base:
            index += base
        groups = (("t", result[name]), ("p", result.packet_index), ("i", result.invalid.get(name, {})),
                  ("a", result.alarms.get(name, {})))
        for group, columns in groups:
            for key, column in list(columns.items()):
                if group == "p" and key != name or not _numeric(column):
                    continue
                column = np.ascontiguousarray(column)
                label = f"{group}\0{name}\0{key}\0{column.dtype.str}\0{column.shape[1:]}"
                file = hashlib.sha256(label.encode("utf-8", "surrogatepass")).hexdigest()[:32]
                row = column.dtype.itemsize * math.prod(column.shape[1:])
                _write_at(os.path.join(directory, file), column.reshape(-1).view(np.uint8), start * row)
                columns[key] = _Placed(file, start, len(column), column.dtype.str, tuple(column.shape[1:]))
    return part


def _write_at(path: str, data: np.ndarray, offset: int) -> None:
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
    try:
        view = memoryview(data)
        while len(view):
            done = os.pwrite(fd, view, offset)
            view, offset = view[done:], offset + done
    finally:
        os.close(fd)


class _Scratch:
    """A directory for the placed columns: on /dev/shm when it has room for several times the
    input, otherwise in the temporary directory. Removed once the columns are mapped."""

    def __init__(self, input_bytes: int) -> None:
        where = None
        with contextlib.suppress(OSError):
            shm = os.statvfs("/dev/shm")
            if shm.f_bavail * shm.f_frsize >= 4 * input_bytes:
                where = "/dev/shm"
        self.directory = tempfile.mkdtemp(prefix="bitloom-", dir=where)

    def mapped(self, file: str, dtype: np.dtype, rows: int, shape: tuple[int, ...]) -> np.ndarray:
        """The whole column in `file`: an array on a shared mapping of it (which outlives the
        file)."""
        size = rows * dtype.itemsize * math.prod(shape)
        if not size:
            return np.empty((rows, *shape), dtype=dtype)
        fd = os.open(os.path.join(self.directory, file), os.O_RDWR)
        try:
            if os.fstat(fd).st_size < size:  # not expected: rows never written read as zeros
                os.ftruncate(fd, size)
            memory = mmap.mmap(fd, size, trackfd=False)
        finally:
            os.close(fd)
        return np.frombuffer(memory, dtype=dtype, count=rows * math.prod(shape)).reshape(rows, *shape)

    def read(self, piece: _Placed) -> np.ndarray:
        dtype = np.dtype(piece.dtype)
        count = piece.rows * math.prod(piece.shape)
        with open(os.path.join(self.directory, piece.file), "rb") as f:
            f.seek(piece.start * dtype.itemsize * math.prod(piece.shape))
            return np.fromfile(f, dtype=dtype, count=count).reshape(piece.rows, *piece.shape)

    def remove(self) -> None:
        shutil.rmtree(self.directory, ignore_errors=True)


# -- worker processes ---------------------------------------------------------------------------
#
# The worker of each file waits until the file before it has told, through a table in shared
# memory, how many packets the files up to it decoded and how many rows each container got from
# them: its rows go after those. It then adds its own and tells the next. Files are handed out in
# order, so those before have been taken already and none waits on a later one; a file that fails
# says so, and those after it give up in turn.

_PENDING, _COUNTED, _FAILED = 0, 1, 2
_shared: Any = None  # in a worker: (condition, table, container names)


def _decode_in_workers(definition: Definition, files: list[str], workers: int, options: tuple[Any, ...],
                       scratch: _Scratch | None) -> list[Any]:
    """The files decoded by `workers` processes; their columns placed in `scratch`, or (None)
    sent back pickled."""
    # Started by a fork server, not forked: a copy of a process that runs threads (pyarrow's,
    # dask's) may deadlock.
    context = multiprocessing.get_context("forkserver")
    _preload(context)
    names = list(definition._containers)
    condition = context.Condition()
    table = context.RawArray("q", len(files) * (len(names) + 2) if scratch is not None else 1)
    with concurrent.futures.ProcessPoolExecutor(workers, mp_context=context, initializer=_start_worker,
                                                initargs=(condition, table, names)) as pool:
        futures = [pool.submit(_decode_path, definition, path, *options) if scratch is None else
                   pool.submit(_decode_placed, definition, i, path, scratch.directory, options)
                   for i, path in enumerate(files)]
        try:
            return [future.result() for future in futures]
        except BaseException:
            for future in futures:
                future.cancel()
            raise


def _preload(context: Any) -> None:
    """Have the fork server import this module (numpy and bitloom with it) when it starts, so that
    each pool's workers begin with them imported: importing them in every worker took most of a
    second per call. Added to the modules the server loads already; nothing changes once it runs,
    nor when the server would import another copy of the package than this process did."""
    from multiprocessing import forkserver
    server = getattr(forkserver, "_forkserver", None)
    loaded = getattr(server, "_preload_modules", None)
    if getattr(server, "_forkserver_pid", 0) is not None or not isinstance(loaded, list) or __name__ in loaded:
        return
    if _found_at_start():
        with contextlib.suppress(Exception):
            context.set_forkserver_preload([*loaded, __name__])


def _found_at_start() -> bool:
    """Whether a new interpreter imports this package from where this one did. The fork server
    imports what it preloads with the path an interpreter starts with, not this process's
    sys.path: a package found elsewhere (sys.path changed at run time, an editable install)
    would be another copy, which the workers must not be given."""
    import site
    import sys
    ours = pathlib.Path(__file__).resolve().parent.parent
    entries = []
    if not sys.flags.isolated:
        if not sys.flags.safe_path:
            entries.append(os.getcwd())  # the fork server runs with -c
        if not sys.flags.ignore_environment:
            entries += os.environ.get("PYTHONPATH", "").split(os.pathsep)
    entries += site.getsitepackages() + ([site.getusersitepackages()] if site.ENABLE_USER_SITE else [])
    for entry in entries:
        if entry and os.path.isfile(os.path.join(entry, "bitloom_xtce", "__init__.py")):
            return pathlib.Path(entry).resolve() == ours
    return False


def _start_worker(condition: Any, table: Any, names: list[str]) -> None:
    global _shared
    _shared = (condition, table, names)


class _EarlierFileFailed(Exception):
    """A file before this one failed to decode (its own error is the one reported)."""


def _decode_placed(definition: Definition, index: int, path: str, directory: str, options: tuple[Any, ...]) -> Any:
    condition, table, names = _shared
    width = len(names) + 2
    row, before = index * width, (index - 1) * width
    try:
        part = _decode_path(definition, path, *options)
        with condition:
            if index:
                condition.wait_for(lambda: table[before] != _PENDING)
                if table[before] == _FAILED:
                    raise _EarlierFileFailed(path)
            base = table[before + 1] if index else 0
            starts = [table[before + 2 + c] if index else 0 for c in range(len(names))]
            table[row + 1] = base + part[4]
            for c, name in enumerate(names):
                table[row + 2 + c] = starts[c] + _rows(part[0], name)
            table[row] = _COUNTED
            condition.notify_all()
    except BaseException:  # an interrupt while waiting too: the files after this one must not wait on
        with condition:
            table[row] = _FAILED
            condition.notify_all()
        raise
    return _place(part, names, starts, base, directory)
