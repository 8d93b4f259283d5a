"""Packet files as Dask DataFrames, decoded on a Dask cluster (needs ``bitloom[dask]``).

    >>> from distributed import Client
    >>> client = Client("tcp://scheduler:8786")
    >>> frames = bitloom_xtce.dask.read_packets("/archive/*.bin", definition)
    >>> frames["HK"].to_parquet("/decoded/HK")

Each file is one partition, or several when it is larger than `blocksize`: it is then cut at
packet boundaries, found by walking its primary headers here. The columns' types come from the
definition, without reading any packet. The files must be readable here and on every worker.
"""
from __future__ import annotations

import mmap
import os
from typing import Any, cast

import numpy as np

from ._definition import Definition, FileResult, _frame, _warn_skipped
from ._stream import _check_options, decode_piece, empty_result, expand_paths
from ._tables import pandas_frame

__all__ = ["read_packets"]


def read_packets(paths: Any, definition: Definition, *, blocksize: int | None = 128 << 20, raw: bool = False,
                 framing: str | int = "ccsds", prefix_bytes: int = 0, segmented: bool = False) -> dict[str, Any]:
    """{container: dask.dataframe.DataFrame} over packet files (a glob pattern, a path or a list
    of paths), a row per packet in file order, for every container a packet can decode as. A
    file larger than `blocksize` bytes is cut into partitions of about that size (None: one
    partition per file; so is every file with ``segmented=True``, whose packets could straddle
    a cut). Nothing is read but the headers of the files that are cut; the work runs on the
    scheduler in use when the frames are computed."""
    try:
        import dask
        import dask.dataframe as dd
        from dask.base import tokenize
        from dask.delayed import delayed
    except ImportError as e:
        raise ImportError("dask is needed for this: pip install 'bitloom[dask]'") from e
    if not isinstance(definition, Definition):
        raise TypeError(f"definition must be a bitloom_xtce.Definition, not {type(definition).__name__}")
    if blocksize is not None and (isinstance(blocksize, bool) or not isinstance(blocksize, int) or blocksize < 1):
        raise ValueError(f"blocksize must be a positive int or None, not {blocksize!r}")
    _check_options(framing, prefix_bytes, segmented=segmented)
    files = expand_paths(paths)
    ranges = []
    for path in files:
        size = os.path.getsize(path)
        if blocksize is None or segmented or size <= blocksize:
            ranges.append((path, 0, size))
        else:
            cuts = _cuts(path, framing, prefix_bytes, blocksize)
            ranges.extend((path, start, stop) for start, stop in zip(cuts[:-1], cuts[1:]))
    meta = {name: pandas_frame(columns) for name, columns in empty_result(definition, raw).items()}
    digest = definition._digest()
    stamps = [(path, start, stop, os.stat(path).st_mtime_ns) for path, start, stop in ranges]
    token = tokenize(digest, stamps, raw, framing, prefix_bytes, segmented)
    # Byte strings (binary fields) must stay bytes: no conversion of object columns to text.
    with dask.config.set({"dataframe.convert-string": False}):
        shared = delayed(definition, name=f"bitloom-definition-{digest}")
        parts = [delayed(_decode_range, pure=True)(shared, path, start, stop, raw, framing, prefix_bytes,
                                                        segmented, dask_key_name=f"bitloom-decode-{token}-{i}")
                 for i, (path, start, stop) in enumerate(ranges)]
        frames = {}
        for name, empty in meta.items():
            tables = [delayed(_table, pure=True)(part, name, empty,
                                                      dask_key_name=f"bitloom-{name}-{token}-{i}")
                      for i, part in enumerate(parts)]
            # The partitions are made as the meta is: no need to check each against it.
            frames[name] = dd.from_delayed(tables, meta=empty, verify_meta=False)
    return frames


def _cuts(path: str, framing: str | int, prefix_bytes: int, blocksize: int) -> list[int]:
    """Byte positions cutting a file into pieces of about `blocksize` bytes, each at the start
    of a packet (of its prefix), from 0 to the file's size. The headers are walked a window at a
    time, so that the packets' offsets of a large file are never all held at once."""
    size = os.path.getsize(path)
    targets = np.arange(blocksize, size, blocksize)
    cuts, done, position = {0, size}, 0, 0
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as whole:
        view = memoryview(whole)
        try:
            while done < len(targets):
                window = cast(bytes, view[position:position + _WINDOW])  # read as a buffer
                offsets, lengths = _frame(window, framing, prefix_bytes)[:2]
                del window
                if not len(offsets):
                    break
                starts = offsets.astype(np.int64) + (position - prefix_bytes)
                # The targets up to this window's last packet: its packets hold the first start
                # at or after each of them.
                reach = int(np.searchsorted(targets, starts[-1], side="right"))
                cuts.update(starts[np.searchsorted(starts, targets[done:reach])].tolist())
                done = reach
                position += int(offsets[-1]) + int(lengths[-1])
        finally:
            view.release()
    return sorted(cuts)


_WINDOW = 64 << 20


def _decode_range(definition: Definition, path: str, start: int, stop: int, raw: bool, framing: str | int,
                  prefix_bytes: int, segmented: bool) -> FileResult:
    with open(path, "rb") as f:
        f.seek(start)
        data = f.read(stop - start)
    if len(data) != stop - start:
        raise OSError(f"{path}: {stop - start} bytes expected at byte {start}, {len(data)} read: "
                      "did the file change?")
    result, _ = decode_piece(definition, data, framing, raw, prefix_bytes, segmented, base=start)
    _warn_skipped(result, 2)  # in the worker's log
    return result


def _table(result: FileResult, name: str, empty: Any) -> Any:
    return pandas_frame(result[name]) if name in result else empty
