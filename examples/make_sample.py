"""Builds a file of space packets with pack_parameters: python examples/make_sample.py [path] [count]."""
import pathlib
import sys

import bitloom
from space_packets import all_values, pack_recipe

DEFAULT_PATH = pathlib.Path(__file__).resolve().parent.parent / "build" / "demo" / "housekeeping.bin"
DEFAULT_COUNT = 12000  # a little over two orbits at one packet a second


def build(path=DEFAULT_PATH, count=DEFAULT_COUNT):
    recipe = pack_recipe()
    packets = []
    for values in all_values(count):
        for item in recipe:
            item["value"] = values[item["name"]]
        packets.append(bitloom.pack_parameters(recipe))
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"".join(packets))
    return path


if __name__ == "__main__":
    args = sys.argv[1:]
    out = build(*(args[:1] or [DEFAULT_PATH]), *(map(int, args[1:2])))
    print(f"wrote {out}")
