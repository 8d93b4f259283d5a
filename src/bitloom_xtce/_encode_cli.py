"""The command line's `encode`: a table of values (CSV or Parquet, one column per parameter, one row
per packet) into a file of packets of one container.

`add_arguments` declares the options on an argparse parser (or subparser), `run` does the work
with the parsed arguments and the loaded definition; a failure is a CommandError."""
from __future__ import annotations

import argparse
import csv as text_csv
import pathlib
from typing import Any

import numpy as np

from ._definition import Definition
from ._source import USAGE, CommandError

SUFFIXES = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet"}


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("table", type=pathlib.Path,
                        help="values: a CSV or Parquet file, a column per parameter, a row per packet")
    parser.add_argument("--out", type=pathlib.Path, required=True, help="the packet file to write")
    parser.add_argument("--container", help="the container of the packets (needed when the definition has "
                                            "more than one concrete container)")
    parser.add_argument("--raw", action="store_true",
                        help="the table holds raw values (binary and raw text as hexadecimal in a CSV)")
    parser.add_argument("--root", help="the container decoding starts from")
    parser.add_argument("--sequence-count", type=int, metavar="N",
                        help="the first packet's sequence count (default: counted from 0 per APID)")
    parser.add_argument("--append", action="store_true", help="append to the packet file")


def run(args: argparse.Namespace, definition: Definition) -> int:
    container = args.container
    if container is None:
        concrete = definition.concrete()
        if not definition.containers:
            raise CommandError(f"definition {args.definition} has no containers: nothing to encode packets of", USAGE)
        if len(concrete) != 1:
            raise CommandError(f"definition {args.definition} has {len(concrete)} concrete containers: name one "
                               f"with --container ({', '.join(concrete[:10])}{', ...' if len(concrete) > 10 else ''})",
                               USAGE)
        container = concrete[0]
    try:
        columns = read_table(args.table, definition, args.raw)
        data = definition.encode_many(container, columns, raw=args.raw, sequence_count=args.sequence_count)
    except (OSError, ValueError) as e:
        raise CommandError(f"table {args.table}: {e}") from None
    try:
        with open(args.out, "ab" if args.append else "wb") as out:
            out.write(data)
    except OSError as e:
        raise CommandError(f"--out {args.out}: {e.strerror or e}") from None
    rows = len(next(iter(columns.values()))) if columns else 0
    print(f"{rows} packets of {container} ({len(data)} bytes) {'appended to' if args.append else 'written to'} "
          f"{args.out}")
    return 0


def read_table(path: pathlib.Path, definition: Definition, raw: bool = False) -> dict[str, np.ndarray]:
    """A CSV or Parquet table as numpy columns for encode_many: text as str; binary data (and,
    with `raw`, text fields' bytes) as bytes, or from hexadecimal where the table holds text;
    missing values refused."""
    kind = SUFFIXES.get(path.suffix.lower())
    if kind is None:
        raise ValueError(f"not a table this command reads: {path.suffix or 'no suffix'} "
                         f"(it reads {', '.join(SUFFIXES)})")
    try:
        import pyarrow as pa
        import pyarrow.csv as csv
        import pyarrow.parquet as pq
    except ImportError as e:
        raise ValueError(f"{e.name} is needed: pip install 'bitloom[xtce-cli]'") from None
    fields = {n for n, p in definition.parameters.items() if p.type.kind in ("string", "binary")}
    if kind == "csv":
        with open(path, newline="", encoding="utf-8") as f:  # the header: text columns stay text ("007" is not 7)
            names = next(text_csv.reader(f), [])
        options = csv.ConvertOptions(column_types={n: pa.string() for n in names if n in fields})
        try:
            table = csv.read_csv(path, convert_options=options)
        except pa.ArrowInvalid as e:
            raise ValueError(str(e)) from None
    else:
        table = pq.read_table(path)
    columns: dict[str, np.ndarray] = {}
    for name in table.column_names:
        column = table.column(name)
        if column.null_count:
            row = next(i for i, v in enumerate(column.is_null().to_pylist()) if v)
            raise ValueError(f"column {name!r} has no value in row {row + 1}")
        columns[name] = _numpy(name, column, definition, raw)
    return columns


def _numpy(name: str, column: Any, definition: Definition, raw: bool) -> np.ndarray:
    import pyarrow as pa

    kind = definition.parameters[name].type.kind if name in definition.parameters else None
    if pa.types.is_binary(column.type) or pa.types.is_large_binary(column.type):
        values: list[Any] = column.to_pylist()
    elif pa.types.is_string(column.type) or pa.types.is_large_string(column.type):
        values = column.to_pylist()
        if kind == "binary" or kind == "string" and raw:
            values = [_hexadecimal(name, v) for v in values]
    else:
        return column.to_numpy()
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


def _hexadecimal(name: str, text: str) -> bytes:
    try:
        return bytes.fromhex(text.removeprefix("0x"))
    except ValueError:
        raise ValueError(f"column {name!r}: {text!r} is not hexadecimal bytes") from None
