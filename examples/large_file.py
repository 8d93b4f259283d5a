"""Decodes a large file of housekeeping packets in this process into columns, a chunk of packets
at a time with a progress bar, and writes them to a Parquet file; then prints packets, fields and
rows per second, and how much faster that is than a loop of unpack_parameters calls.

    python examples/large_file.py [PATH] [COUNT]     # writes COUNT packets to PATH if needed
"""
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import bitloom  # noqa: E402
import make_sample  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402
from space_packets import FIELDS, PACKET_BYTES, unpack_recipe  # noqa: E402

try:
    from tqdm import tqdm
except ImportError:  # the bar is a nicety: without tqdm the summary still prints
    tqdm = None

DEFAULT_PATH = make_sample.DEFAULT_PATH.with_name("archive.bin")
DEFAULT_COUNT = 200_000
CHUNK = 20_000  # packets per unpack_columns call: one progress step, one Parquet row group
LOOP_SAMPLE = 20_000  # packets decoded by the unpack_parameters loop, for the comparison


def decode(data, recipe, writer=None, bar=None):
    """Decodes every packet of data into columns, chunk by chunk, each chunk written to the
    Parquet writer as it comes; returns the number of packets."""
    offsets = bitloom.packet_offsets(data)  # from the primary headers; a cut last packet raises
    for start in range(0, len(offsets), CHUNK):
        chunk = offsets[start:start + CHUNK]
        columns = bitloom.unpack_columns(data, recipe, chunk)
        if writer is not None:
            writer.write_table(pa.table(columns))  # numeric columns are handed over without a copy
        if bar is not None:
            bar.update(len(chunk))
    return len(offsets)


def loop_rate(data, recipe, count):
    """Packets per second of a loop of unpack_parameters calls over the first `count` packets."""
    unpack = bitloom.unpack_parameters
    position = packets = 0
    t0 = time.perf_counter()
    while packets < count and position < len(data):
        unpack(data, 8 * position, recipe)
        position += 7 + (data[position + 4] << 8 | data[position + 5])
        packets += 1
    return packets / (time.perf_counter() - t0)


def run(path=DEFAULT_PATH, count=DEFAULT_COUNT):
    path = pathlib.Path(path)
    if not path.exists() or path.stat().st_size != count * PACKET_BYTES:
        print(f"  writing {count} packets to {path} ...", flush=True)
        make_sample.build(path, count)
    data = path.read_bytes()
    recipe = unpack_recipe()
    parquet_path = path.with_name(path.stem + "-columns.parquet")
    bar = None
    if tqdm is not None:
        bar = tqdm(total=len(data) // PACKET_BYTES, unit=" packets", unit_scale=True,
                   desc="  decoding", mininterval=0.2, file=sys.stdout)
    t0 = time.perf_counter()
    schema = pa.table(bitloom.unpack_columns(data, recipe, [0])).schema
    with pq.ParquetWriter(parquet_path, schema) as writer:
        packets = decode(data, recipe, writer, bar)
    elapsed = time.perf_counter() - t0
    if bar is not None:
        bar.close()
    t0 = time.perf_counter()
    decode(data, recipe)
    columns_only = time.perf_counter() - t0
    fields = packets * len(FIELDS)
    print(f"  {packets:,} packets, {fields:,} fields, {len(data) / 1e6:.1f} MB -> {parquet_path} "
          f"in {elapsed:.2f} s")
    print(f"  unpack_columns alone: {columns_only * 1e3:.0f} ms, {packets / columns_only:,.0f} rows/s, "
          f"{fields / columns_only:,.0f} fields/s")
    loop = loop_rate(data, recipe, LOOP_SAMPLE)
    print(f"  a loop of unpack_parameters calls: {loop:,.0f} rows/s; unpack_columns is "
          f"{packets / columns_only / loop:.0f}x faster")
    return packets


if __name__ == "__main__":
    args = sys.argv[1:]
    run(*(args[:1] or [DEFAULT_PATH]), *(map(int, args[1:2])))
