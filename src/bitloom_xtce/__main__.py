"""python -m bitloom_xtce DEFINITION.xml PACKETS --out DIR: one Parquet file per container."""
from __future__ import annotations

import argparse
import pathlib
import sys
import warnings

import numpy as np

from . import DecodeWarning, XtceError, load


def to_arrow(column: np.ndarray):  # type: ignore[no-untyped-def]
    import pyarrow as pa
    if column.dtype.kind == "T":  # numpy's variable-width text
        return pa.array(column.tolist(), type=pa.string())
    if column.dtype == object:
        return pa.array(column.tolist(), type=pa.binary())
    return pa.array(column)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bitloom_xtce",
                                     description="Decode a file of CCSDS space packets with an XTCE "
                                                 "definition into one Parquet file per container.")
    parser.add_argument("definition", type=pathlib.Path, help="the XTCE document")
    parser.add_argument("packets", type=pathlib.Path, help="the packet file")
    parser.add_argument("--out", type=pathlib.Path, required=True, help="the output directory")
    parser.add_argument("--raw", action="store_true", help="raw values (no calibration or enumeration)")
    parser.add_argument("--root", help="the container decoding starts from")
    parser.add_argument("--prefix-bytes", type=int, default=0, help="bytes to skip before each packet")
    args = parser.parse_args(argv)
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
        from tqdm import tqdm
    except ImportError as e:
        parser.exit(2, f"error: {e.name} is needed: pip install 'bitloom[xtce-cli]'\n")
    try:
        definition = load(args.definition, root=args.root)
    except (OSError, XtceError) as e:
        parser.exit(1, f"error: {args.definition}: {e}\n")
    data = args.packets.read_bytes()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", DecodeWarning)
        tables = definition.decode_file(data, raw=args.raw, prefix_bytes=args.prefix_bytes)
    args.out.mkdir(parents=True, exist_ok=True)
    counts = {}
    for name, columns in tqdm(tables.items(), desc="writing", unit="container", file=sys.stderr):
        table = pa.table({key: to_arrow(column) for key, column in columns.items()})
        pq.write_table(table, args.out / f"{name}.parquet")
        counts[name] = table.num_rows
    width = max((len(n) for n in counts), default=9)
    for name, count in counts.items():
        print(f"{name:<{width}}  {count:>9} packets")
    print(f"{'total':<{width}}  {sum(counts.values()):>9} of {tables.packets} packets")
    for reason, (count, first) in tables.skipped.items():
        print(f"skipped: {count} {reason} (first at byte {first})")
    for warning in caught:
        if not issubclass(warning.category, DecodeWarning):
            warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
    return 0


if __name__ == "__main__":
    sys.exit(main())
