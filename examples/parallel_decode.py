"""Decodes a file of space packets in parallel and writes the rows to a Parquet dataset.

    python examples/parallel_decode.py [PACKETS.bin] [OUT_DIR] [--workers N] [--chunk PACKETS]
    python examples/parallel_decode.py --compare      # time 1 worker against --workers N

The file is cut into chunks of whole packets by walking the primary headers (the 16-bit packet
length at byte 4 of each header gives where the next packet starts). Each chunk goes to a worker,
which reads its byte range from the file itself, decodes all its packets into columns with one
bitloom.unpack_columns call and writes one Parquet file, OUT_DIR/part-NNNNN.parquet. The parts
together are one dataset: pyarrow.parquet.read_table(OUT_DIR), pandas.read_parquet(OUT_DIR) or
dask.dataframe.read_parquet(OUT_DIR) read it back in packet order.

The work is handed out through the concurrent.futures.Executor interface only, so the same
decode_file() runs on a Dask cluster unchanged, given the cluster's executor:

    from distributed import Client
    with Client("tcp://scheduler:8786") as client:
        client.upload_file("examples/parallel_decode.py")   # or install it on the workers
        decode_file("/shared/archive.bin", "/shared/decoded", client.get_executor(), recipe)

The packet file and OUT_DIR must then lie on storage that every worker sees.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import mmap
import multiprocessing
import os
import pathlib
import sys
import time
from dataclasses import dataclass

import bitloom
import pyarrow as pa
import pyarrow.parquet as pq

HEADER_BYTES = 6


@dataclass(frozen=True)
class Chunk:
    """Packets first_packet .. first_packet + packets - 1, lying in bytes start .. start + size - 1."""

    path: str
    start: int
    size: int
    first_packet: int
    packets: int
    part: int


def packet_chunks(path, chunk_packets):
    """Cuts the file into chunks of at most chunk_packets whole packets.

    Raises ValueError when the last packet is cut short, so that a truncated archive is never
    decoded as if it were complete."""
    path = os.fspath(path)
    chunks = []
    size = os.path.getsize(path)
    if size == 0:
        return chunks
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        position = chunk_start = 0
        index = first = 0
        while position < size:
            if size - position < HEADER_BYTES:
                raise ValueError(f"{path}: truncated packet header at byte {position}")
            # Packet data length field: bytes 4-5, big-endian, counts the bytes after the header minus 1.
            length = HEADER_BYTES + 1 + (m[position + 4] << 8 | m[position + 5])
            if position + length > size:
                raise ValueError(f"{path}: packet {index} at byte {position} needs {length} bytes, "
                                 f"{size - position} left")
            position += length
            index += 1
            if index - first == chunk_packets:
                chunks.append(Chunk(path, chunk_start, position - chunk_start, first, index - first,
                                    len(chunks)))
                chunk_start, first = position, index
        if index > first:
            chunks.append(Chunk(path, chunk_start, position - chunk_start, first, index - first,
                                len(chunks)))
    return chunks


_SIGNED = {"signmagnitude", "sign_magnitude", "onescomplement", "ones_complement",
           "twoscomplement", "twos_complement"}
_BCD = {"bcd", "packed_bcd", "packed-bcd"}
_SIGNED_BCD = {"bcd_signed", "bcd-signed", "packed_bcd_signed", "packed-bcd-signed"}
_FLOAT32 = {"ieee754_f16", "ieee754-f16", "ieee754_f32", "ieee754-f32"}
_TEXT = {"utf8", "utf-8", "utf16", "utf-16", "utf32", "utf-32", "utf16le", "utf-16le", "utf16be",
         "utf-16be", "utf32le", "utf-32le", "utf32be", "utf-32be", "us_ascii", "us-ascii", "latin1",
         "iso_8859_1", "iso-8859-1", "windows_1252", "windows-1252"}


def _int_width(bits):
    return 8 if bits <= 8 else 16 if bits <= 16 else 32 if bits <= 32 else 64


def arrow_type(encoding, bits):
    """The narrowest Arrow type that holds every value of the field: the type of unpack_columns'
    column for it."""
    name = encoding.lower()
    if name == "unsigned":
        return getattr(pa, f"uint{_int_width(bits)}")()
    if name in _SIGNED:
        return getattr(pa, f"int{_int_width(bits)}")()
    if name in _BCD:
        return pa.uint64()
    if name in _SIGNED_BCD:
        return pa.int64()
    if name in _FLOAT32:
        return pa.float32()  # binary16 and binary32 values are exact in binary32
    if name in _TEXT:
        return pa.string()
    return pa.float64()


def arrow_schema(recipe):
    fields = {}
    for item in recipe:  # a repeated name is one column, as in unpack_parameters' dict
        fields[item["name"]] = pa.field(item["name"], arrow_type(item["encoding"], item["bits"]))
    return pa.schema(list(fields.values()))


def decode_chunk(chunk, recipe, out_dir):
    """Worker: decodes the chunk's packets and writes them as one Parquet file."""
    with open(chunk.path, "rb") as f:
        f.seek(chunk.start)
        data = f.read(chunk.size)
    if len(data) != chunk.size:
        raise ValueError(f"{chunk.path}: changed while being decoded (chunk {chunk.part})")
    # The chunk holds whole packets: their primary headers say where each one starts.
    columns = bitloom.unpack_columns(data, recipe)
    table = pa.table(columns).cast(arrow_schema(recipe))
    target = pathlib.Path(out_dir) / f"part-{chunk.part:05d}.parquet"
    pq.write_table(table, target)
    return str(target), table.num_rows


def decode_file(path, out_dir, executor, recipe, chunk_packets=20_000, overwrite=False,
                progress=None):
    """Decodes every packet of the file into Parquet parts under out_dir, using the executor's
    workers. Returns (packets, part files). progress(packets) is called as chunks finish."""
    out = pathlib.Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    stale = sorted(out.glob("part-*.parquet"))
    if stale and not overwrite:
        raise FileExistsError(f"{out} already holds {len(stale)} part files; pass overwrite=True")
    for old in stale:
        old.unlink()
    chunks = packet_chunks(path, chunk_packets)
    futures = [executor.submit(decode_chunk, chunk, recipe, str(out)) for chunk in chunks]
    parts, packets = [], 0
    for future, chunk in zip(futures, chunks):
        part, rows = future.result()
        if rows != chunk.packets:
            raise RuntimeError(f"chunk {chunk.part}: decoded {rows} of {chunk.packets} packets")
        parts.append(part)
        packets += rows
        if progress is not None:
            progress(rows)
    return packets, parts


def process_pool(workers):
    """A local pool of worker processes. They are started by a fork server, not forked from this
    process: pyarrow runs threads here, and a forked copy of a threaded process may deadlock."""
    return concurrent.futures.ProcessPoolExecutor(
        max_workers=workers, mp_context=multiprocessing.get_context("forkserver"))


def _timed_run(path, out_dir, workers, recipe, chunk_packets):
    t0 = time.perf_counter()
    with process_pool(workers) as executor:
        packets, parts = decode_file(path, out_dir, executor, recipe, chunk_packets, overwrite=True)
    return time.perf_counter() - t0, packets, parts


def main(argv=None):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
    import make_sample
    from space_packets import FIELDS, unpack_recipe

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("packets", nargs="?", type=pathlib.Path,
                        default=make_sample.DEFAULT_PATH.with_name("archive.bin"))
    parser.add_argument("out_dir", nargs="?", type=pathlib.Path,
                        default=make_sample.DEFAULT_PATH.with_name("archive.parquet"))
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--chunk", type=int, default=20_000, help="packets per chunk")
    parser.add_argument("--make", type=int, default=200_000,
                        help="packets to write into PACKETS first when it does not exist")
    parser.add_argument("--compare", action="store_true",
                        help="decode with 1 worker, then with --workers, and print the speed-up")
    args = parser.parse_args(argv)

    if not args.packets.exists():
        print(f"writing {args.make} sample packets to {args.packets}")
        make_sample.build(args.packets, args.make)
    recipe = unpack_recipe()
    # Compared runs alternate, best of three each, so that load from elsewhere falls on both.
    runs = [1, args.workers] * 3 if args.compare else [args.workers]
    times = {}
    for workers in runs:
        elapsed, packets, parts = _timed_run(args.packets, args.out_dir, workers, recipe, args.chunk)
        times[workers] = min(elapsed, times.get(workers, elapsed))
        print(f"{workers} worker(s): {packets} packets, {packets * len(FIELDS)} fields -> "
              f"{len(parts)} Parquet parts in {args.out_dir}: {elapsed:.2f} s, "
              f"{packets / elapsed:,.0f} rows/s")
    if args.compare:
        print(f"speed-up of {args.workers} workers over 1: {times[1] / times[args.workers]:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
