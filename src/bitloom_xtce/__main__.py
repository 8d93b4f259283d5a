"""python -m bitloom_xtce DEFINITION.xml PACKETS --out DIR: one Parquet file per container, and
with --plot PARAM...: a picture of those parameters over time."""
from __future__ import annotations

import argparse
import pathlib
import sys
import warnings

import numpy as np

from . import DecodeWarning, Definition, XtceError, load


def to_arrow(column: np.ndarray):  # type: ignore[no-untyped-def]
    import pyarrow as pa
    if column.dtype.kind == "T":  # numpy's variable-width text
        return pa.array(column.tolist(), type=pa.string())
    if column.dtype == object:
        return pa.array(column.tolist(), type=pa.binary())
    return pa.array(column)


def axis_label(definition: Definition, name: str) -> str:
    units = definition.parameters[name].type.units
    return f"{name} ({units})" if units else name


def plot(definition: Definition, tables: dict[str, dict[str, np.ndarray]], names: list[str],
         time: str | None, path: pathlib.Path) -> list[str]:
    """One panel per parameter, its values over `time` (a parameter) or the packet number, one
    line per container that holds it; returns the names found in no container."""
    import matplotlib
    matplotlib.use("Agg")  # files only, no display needed
    import matplotlib.pyplot as plt

    found = [n for n in names if any(n in columns for columns in tables.values())]
    missing = [n for n in names if n not in found]
    if not found:
        return missing
    fig, axes = plt.subplots(len(found), 1, sharex=True, squeeze=False, layout="constrained",
                             figsize=(10, 1.2 + 2.3 * len(found)))
    for ax, name in zip(axes[:, 0], found):
        for container, columns in tables.items():
            if name not in columns:
                continue
            values = columns[name]
            x = columns[time] if time is not None and time in columns else np.arange(len(values))
            if values.dtype.kind in "biuf":
                ax.plot(x, values, linewidth=0.7, marker="." if len(values) < 200 else None,
                        label=container)
            else:  # labels of an enumeration, text: one level per distinct value
                levels, codes = np.unique(values.astype(str), return_inverse=True)
                ax.step(x, codes, where="post", linewidth=0.7, label=container)
                ax.set_yticks(range(len(levels)), levels)
        ax.set_ylabel(axis_label(definition, name))
        ax.grid(True, alpha=0.3)
        if len(ax.get_lines()) > 1:
            ax.legend(fontsize="small")
    axes[-1, 0].set_xlabel(axis_label(definition, time) if time is not None else "packet number")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return missing


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
    parser.add_argument("--plot", nargs="+", metavar="PARAM",
                        help="draw these parameters over time into DIR/plot.png")
    parser.add_argument("--time", metavar="PARAM",
                        help="the parameter to plot against (default: the packet number)")
    args = parser.parse_args(argv)
    if args.time is not None and not args.plot:
        parser.error("--time goes with --plot")
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
    for name in [*(args.plot or ()), *([args.time] if args.time else [])]:
        if name not in definition.parameters:
            parser.exit(1, f"error: {args.definition} has no parameter named {name!r}\n")
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
    if args.plot:
        picture = args.out / "plot.png"
        missing = plot(definition, tables, args.plot, args.time, picture)
        for name in missing:
            print(f"not plotted: {name} is in no decoded packet")
        if len(missing) < len(args.plot):
            print(f"plot: {picture}")
    for warning in caught:
        if not issubclass(warning.category, DecodeWarning):
            warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
    return 0


if __name__ == "__main__":
    sys.exit(main())
