"""Decodes a large file of housekeeping packets in this process, with a progress bar and a summary
of packets, fields and rows per second.

    python examples/large_file.py [PATH] [COUNT]     # writes COUNT packets to PATH if needed
"""
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import bitloom  # noqa: E402
import make_sample  # noqa: E402
from space_packets import FIELDS, PACKET_BYTES, unpack_recipe  # noqa: E402

try:
    from tqdm import tqdm
except ImportError:  # the bar is a nicety: without tqdm the summary still prints
    tqdm = None

DEFAULT_PATH = make_sample.DEFAULT_PATH.with_name("archive.bin")
DEFAULT_COUNT = 200_000
STEP = 2048  # packets between progress updates


def decode(data, recipe, bar=None):
    """Decodes every packet of data; returns the number of packets."""
    unpack = bitloom.unpack_parameters
    position = packets = 0
    size = len(data)
    while position < size:
        unpack(data, 8 * position, recipe)
        # Packet data length, bytes 4-5 of the primary header: the packet's size minus 7.
        position += 7 + (data[position + 4] << 8 | data[position + 5])
        packets += 1
        if bar is not None and packets % STEP == 0:
            bar.update(STEP)
    if bar is not None:
        bar.update(packets % STEP)
    return packets


def run(path=DEFAULT_PATH, count=DEFAULT_COUNT):
    path = pathlib.Path(path)
    if not path.exists() or path.stat().st_size != count * PACKET_BYTES:
        print(f"  writing {count} packets to {path} ...", flush=True)
        make_sample.build(path, count)
    data = path.read_bytes()
    expected = len(data) // PACKET_BYTES
    bar = None
    if tqdm is not None:
        bar = tqdm(total=expected, unit=" packets", unit_scale=True, desc="  decoding",
                   mininterval=0.2, file=sys.stdout)
    t0 = time.perf_counter()
    packets = decode(data, unpack_recipe(), bar)
    elapsed = time.perf_counter() - t0
    if bar is not None:
        bar.close()
    fields = packets * len(FIELDS)
    print(f"  {packets:,} packets, {fields:,} fields, {len(data) / 1e6:.1f} MB in {elapsed:.2f} s: "
          f"{packets / elapsed:,.0f} rows/s, {fields / elapsed:,.0f} fields/s")
    return packets


if __name__ == "__main__":
    args = sys.argv[1:]
    run(*(args[:1] or [DEFAULT_PATH]), *(map(int, args[1:2])))
