"""The command line, `bitloom-xtce` or `python -m bitloom_xtce`: decode a packet file with an XTCE
definition into Parquet files, describe a definition, scan a packet file without one.

A user's mistake or a failure ends in one line `error: ...` on stderr, naming the file or option,
with exit status 2 when the command line itself is wrong and 1 when the files could not be read,
written or decoded; `main` is the one place that turns them into that. Anything else is a bug,
shown with its traceback and a request to report it. pyarrow, tqdm and matplotlib are imported
only by the command that uses them.
"""
from __future__ import annotations

import argparse
import importlib
import pathlib
import sys
import traceback
import warnings

import numpy as np

from . import DecodeWarning, Definition, FileResult, XtceError, XtceWarning, load
from ._ccsds import IDLE_APID, primary_headers, sequence_gaps
from ._describe import describe, tops
from . import _encode_cli as encode_cli
from ._output import check_out, file_names, prepare_out
from ._source import FAILURE, USAGE, CommandError, check_file, read_input

COMMANDS = ("decode", "describe", "scan", "encode")
NUMERIC_KINDS = ("integer", "float", "absolute_time", "relative_time")
EPILOG = """\
The decode command's name may be left out: {prog} DEFINITION PACKETS --out DIR.
Files compressed with gzip, bzip2 or xz are read as they are.

decode needs pyarrow and tqdm:  pip install 'bitloom[xtce-cli]'
decode --plot needs matplotlib: pip install 'bitloom[xtce-plot]'
describe and scan need only bitloom and numpy.

Exit status: 0 done; 1 the files could not be read, written or decoded (not a single packet
decoded is a failure); 2 the command line is wrong."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        raise CommandError(f"{message} (see {self.prog} --help)", USAGE)


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = _Parser(prog=prog, formatter_class=argparse.RawDescriptionHelpFormatter,
                     description="Look into and decode files of CCSDS space packets with an XTCE definition.",
                     epilog=EPILOG.format(prog=prog))
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", dest="command", required=True)
    prefix = dict(type=_count, default=0, metavar="N", help="bytes to skip before each packet (a recorder's marker)")

    decode = commands.add_parser("decode", help="decode packets into one Parquet file per container",
                                 description="Decode a file of space packets with an XTCE definition into one "
                                             "Parquet file per container, in DIR. Needs pyarrow and tqdm "
                                             "(pip install 'bitloom[xtce-cli]'), and matplotlib for --plot "
                                             "(pip install 'bitloom[xtce-plot]').")
    decode.add_argument("definition", type=pathlib.Path, metavar="DEFINITION", help="the XTCE document")
    _definition_options(decode)
    decode.add_argument("packets", type=pathlib.Path, metavar="PACKETS", help="the packet file")
    decode.add_argument("--out", type=pathlib.Path, required=True, metavar="DIR",
                        help="the output directory: new, empty, or with --overwrite")
    decode.add_argument("--overwrite", action="store_true",
                        help="write into a DIR that is not empty, removing its *.parquet files and plot.png first")
    decode.add_argument("--raw", action="store_true", help="raw values (no calibration or enumeration)")
    decode.add_argument("--root", metavar="NAME", help="the container decoding starts from")
    decode.add_argument("--prefix-bytes", **prefix)  # type: ignore[arg-type]
    decode.add_argument("--plot", nargs="+", metavar="PARAM",
                        help="draw these parameters into DIR/plot.png (needs matplotlib)")
    decode.add_argument("--time", metavar="PARAM",
                        help="the parameter to plot against (default: the packet's index in the file)")
    decode.set_defaults(run=_decode)

    describe_ = commands.add_parser("describe", help="show a definition's containers and parameters",
                                    description="Show an XTCE definition as a tree: each container under the one "
                                                "it inherits from, its restriction criteria and its entries "
                                                "(type, encoding and size, calibration, units).")
    describe_.add_argument("definition", type=pathlib.Path, metavar="DEFINITION", help="the XTCE document")
    _definition_options(describe_)
    describe_.set_defaults(run=_describe)

    scan = commands.add_parser("scan", help="summarise a packet file without a definition",
                               description="Summarise a file of space packets from their primary headers: "
                                           "packets per APID, their sizes, sequence count gaps and a cut-off tail.")
    scan.add_argument("packets", type=pathlib.Path, metavar="PACKETS", help="the packet file")
    scan.add_argument("--prefix-bytes", **prefix)  # type: ignore[arg-type]
    scan.set_defaults(run=_scan)

    encode = commands.add_parser("encode", help="build packets of one container from a table of values",
                                 description="Encode a CSV or Parquet table (a column per parameter, a row per "
                                             "packet) into a file of packets of one container. Needs pyarrow "
                                             "(pip install 'bitloom[xtce-cli]').")
    encode.add_argument("definition", type=pathlib.Path, metavar="DEFINITION", help="the XTCE document")
    _definition_options(encode)
    encode_cli.add_arguments(encode)
    encode.set_defaults(run=_encode)
    return parser


def _definition_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("--also", type=pathlib.Path, action="append", default=[], metavar="FILE",
                         help="another file of the same definition (references between the files resolve); "
                              "may be given more than once")
    command.add_argument("--strict", action="store_true",
                         help="refuse every construct outside the XTCE schema and everything that would be "
                              "read past (a validation mode)")


def main(argv: list[str] | None = None, prog: str = "bitloom-xtce") -> int:
    """Run the command line on `argv` (default: sys.argv[1:]); returns the exit status."""
    args = list(sys.argv[1:] if argv is None else argv)
    for stream in (sys.stdout, sys.stderr):  # names in a definition may not fit the terminal's charset
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")
    try:
        if not args:
            raise CommandError(f"say what to do: {', '.join(COMMANDS)} (see {prog} --help)", USAGE)
        if args[0] not in (*COMMANDS, "-h", "--help"):
            if not args[0].startswith("-") and not any(c in args[0] for c in "./") \
                    and not pathlib.Path(args[0]).exists():
                raise CommandError(f"no command named {args[0]!r}: {', '.join(COMMANDS)} "
                                   f"(see {prog} --help)", USAGE)
            args.insert(0, "decode")  # the form without a command name
        parsed = build_parser(prog).parse_args(args)
        return int(parsed.run(parsed))
    except CommandError as e:
        print(f"error: {e}", file=sys.stderr)
        return e.status
    except SystemExit as e:  # --help
        return e.code if isinstance(e.code, int) else 0
    except KeyboardInterrupt:
        print("error: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:  # the reader of our output went away (| head)
        return FAILURE
    except MemoryError:
        print("error: out of memory", file=sys.stderr)
        return FAILURE
    except Exception:
        traceback.print_exc()
        print("error: this is a bug in bitloom_xtce, not a mistake of yours: please report it with the "
              "command line and the traceback above", file=sys.stderr)
        return FAILURE


def _require(module: str, purpose: str, extra: str) -> None:
    try:
        importlib.import_module(module)
    except ImportError:
        raise CommandError(f"{purpose} needs {module}, which is not installed: pip install 'bitloom[{extra}]'") \
            from None


def _load(args: argparse.Namespace, root: str | None = None) -> Definition:
    """The definition named on the command line: DEFINITION and any --also files, read as one.
    What the loader read past is told in one line on stderr (the whole list with --strict)."""
    paths = [args.definition, *args.also]
    documents = [read_input(path, "definition")[0] for path in paths]
    where = " + ".join(str(p) for p in paths)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", XtceWarning)
            definition = load(documents if len(documents) > 1 else documents[0], root=root, strict=args.strict)
    except XtceError as e:
        message = " ".join(str(e).splitlines())
        if root is not None and message.startswith(f"root container {root!r}"):
            raise CommandError(f"--root {root}: {where} has no container of that name", USAGE) from None
        if not any(d.lstrip(b"\xef\xbb\xbf \t\r\n").startswith(b"<") for d in documents):
            message += " (this is not an XML document: are DEFINITION and PACKETS the right way round?)"
        raise CommandError(f"definition {where}: {message}") from None
    for warning in caught:
        if issubclass(warning.category, XtceWarning):
            kinds = len(definition.tolerated)
            print(f"warning: definition {where}: read past {kinds} kind{'s' if kinds != 1 else ''} of element "
                  "that never change how packets decode (--strict refuses them)", file=sys.stderr)
        else:
            warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
    return definition


# -- decode -------------------------------------------------------------------------------------

def _decode(args: argparse.Namespace) -> int:
    if args.time is not None and not args.plot:
        raise CommandError("--time goes with --plot", USAGE)
    # What can be checked quickly first, then the definition (a large one takes seconds).
    for path in (args.definition, *args.also):
        check_file(path, "definition")
    check_file(args.packets, "packets")
    check_out(args.out, args.overwrite)
    _require("pyarrow", "writing Parquet", "xtce-cli")
    _require("tqdm", "the progress bar", "xtce-cli")
    if args.plot:
        _require("matplotlib", "--plot", "xtce-plot")
    definition = _load(args, args.root)
    if definition.root is None:
        raise CommandError(f"definition {args.definition}: no single container to start decoding from: "
                           f"name one with --root (containers inheriting from none: {', '.join(tops(definition))})",
                           USAGE)
    _check_plot(definition, args)
    data, _ = read_input(args.packets, "packets")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", DecodeWarning)
        tables = definition.decode_file(data, raw=args.raw, prefix_bytes=args.prefix_bytes)
    for warning in caught:
        if not issubclass(warning.category, DecodeWarning):
            warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
    counts = {name: len(tables.packet_index[name]) for name in tables}
    if not sum(counts.values()):
        raise CommandError(f"packets {args.packets}: {_nothing_decoded(tables, len(data))}")

    removed = prepare_out(args.out)
    if removed:
        print(f"removed {len(removed)} file{'s' if len(removed) > 1 else ''} of an earlier run from {args.out}")
    names = file_names(list(tables))
    _write(tables, names, args.out)
    width = max(len(n) for n in counts)
    for name, count in counts.items():
        renamed = f"  -> {names[name]}.parquet" if names[name] != name else ""
        print(f"{name:<{width}}  {count:>9} packets{renamed}")
    print(f"{'total':<{width}}  {sum(counts.values()):>9} of {tables.packets} packets, in {args.out}")
    for reason, (count, first) in tables.skipped.items():
        print(f"skipped: {count} {reason} (first at byte {first})")
    if args.plot:
        from ._plot import plot
        picture = args.out / "plot.png"
        notes = plot(definition, tables, args.plot, args.time, picture)
        for note in notes:
            print(f"not plotted: {note}")
        if picture.exists():
            print(f"plot: {picture}")
    return 0


def _check_plot(definition: Definition, args: argparse.Namespace) -> None:
    for option, names in (("--plot", args.plot or []), ("--time", [args.time] if args.time else [])):
        for name in names:
            if name not in definition.parameters:
                raise CommandError(f"{option} {name}: {args.definition} has no parameter of that name", USAGE)
            kind = definition.parameters[name].type.kind
            if kind == "binary" or (option == "--time" and kind not in NUMERIC_KINDS):
                raise CommandError(f"{option} {name}: a {kind} parameter cannot be "
                                   f"{'drawn' if option == '--plot' else 'an axis of numbers'}", USAGE)


def _nothing_decoded(tables: FileResult, size: int) -> str:
    """Why no packet was decoded, in one sentence."""
    if not tables.packets:
        hint = "the file is empty" if not size else \
            "is it a file of CCSDS space packets? (with a marker before each packet: --prefix-bytes)"
        return f"no space packet in its {size} bytes: {hint}"
    reasons = "; ".join(f"{count} {reason} (first at byte {first})"
                        for reason, (count, first) in tables.skipped.items())
    return f"none of its {tables.packets} packets decoded: {reasons} (the scan command shows what their headers say)"


def _write(tables: FileResult, names: dict[str, str], out: pathlib.Path) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq
    from tqdm import tqdm

    for container, columns in tqdm(tables.items(), desc="writing", unit="container", file=sys.stderr,
                                   disable=None):
        table = pa.table({key: _arrow(column) for key, column in columns.items()},
                         metadata={"container": container})
        path = out / f"{names[container]}.parquet"
        try:
            pq.write_table(table, path)
        except OSError as e:
            raise CommandError(f"--out {out}: cannot write {path.name}: {e.strerror or e}") from None


def _arrow(column: np.ndarray):  # type: ignore[no-untyped-def]
    """A column as an Arrow array: fixed-size arrays as fixed-size lists, per-packet arrays of
    varying size (object columns) as lists, and masked values (an entry whose include condition
    failed) as nulls."""
    import pyarrow as pa
    mask = None
    if isinstance(column, np.ma.MaskedArray):
        mask = np.ma.getmaskarray(column).reshape(len(column), -1).any(axis=1) if len(column) else None
        column = column.data
    if column.ndim > 1:
        flat = _arrow(column.reshape(-1))
        for size in reversed(column.shape[1:]):
            flat = pa.FixedSizeListArray.from_arrays(flat, size)
        return flat if mask is None else pa.array(flat.to_pylist(), type=flat.type, mask=mask)
    if column.dtype.kind == "T":  # numpy's variable-width text
        return pa.array(column.tolist(), type=pa.string(), mask=mask)
    if column.dtype == object:
        items = [None if mask is not None and mask[i] else v for i, v in enumerate(column.tolist())]
        if all(v is None or isinstance(v, bytes) for v in items):
            return pa.array(items, type=pa.binary())
        return pa.array([v.tolist() if isinstance(v, np.ndarray) else v for v in items])
    return pa.array(column, mask=mask)


# -- describe -----------------------------------------------------------------------------------

def _encode(args: argparse.Namespace) -> int:
    for path in (args.definition, *args.also):
        check_file(path, "definition")
    check_file(args.table, "table")
    _require("pyarrow", "reading the table", "xtce-cli")
    return encode_cli.run(args, _load(args, args.root))


def _describe(args: argparse.Namespace) -> int:
    definition = _load(args)
    root = f"root {definition.root}" if definition.root else \
        "no single root: decode needs --root NAME"
    print(f"{args.definition}: {len(definition.parameters)} parameters, {len(definition.containers)} containers, "
          f"{root}")
    for line in describe(definition):
        print(line)
    return 0


# -- scan ---------------------------------------------------------------------------------------

def _scan(args: argparse.Namespace) -> int:
    from ._definition import _frame  # the framing decode uses, so scan sees the same packets
    data, compression = read_input(args.packets, "packets")
    offsets, lengths, cut = _frame(data, "ccsds", args.prefix_bytes)
    if not len(offsets):
        raise CommandError(f"packets {args.packets}: no whole space packet in its {len(data)} bytes")
    header = primary_headers(data, offsets)
    apid = header["apid"]
    gaps = sequence_gaps(apid, header["sequence_count"])
    order = np.argsort(apid, kind="stable")
    keys, starts, counts = np.unique(apid[order], return_index=True, return_counts=True)
    shortest = np.minimum.reduceat(lengths[order], starts)
    longest = np.maximum.reduceat(lengths[order], starts)
    kinds = np.bitwise_or.reduceat(1 << header["type"][order].astype(np.int64), starts)

    source = f"{args.packets}" + (f" ({compression}-compressed)" if compression else "")
    print(f"{source}: {len(offsets)} packets in {len(data)} bytes")
    rows = [("APID", "type", "packets", "bytes", "missing")]
    for i, key in enumerate(keys.tolist()):
        sizes = f"{shortest[i]}" if shortest[i] == longest[i] else f"{shortest[i]}..{longest[i]}"
        name = f"{key}" + (" (idle)" if key == IDLE_APID else "")
        rows.append((name, {1: "TM", 2: "TC", 3: "TM+TC"}[int(kinds[i])], f"{counts[i]}", sizes, f"{gaps[key]}"))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  ".join(cell.rjust(w) if i != 1 else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths))))
    print(f"missing: sequence counts skipped between consecutive packets of the APID; "
          f"{sum(gaps.values())} in all")
    if cut:
        (parts,) = cut.values()  # the one packet cut off at the end: its byte offset
        at = int(parts[0][0])
        print(f"truncated: the last {len(data) - at} bytes, from byte {at}, are not a whole packet")
    strange = int(np.count_nonzero(header["version"]))
    if strange:
        print(f"warning: {strange} of {len(offsets)} packets have a version number other than 0: this may not be "
              "a file of CCSDS space packets, or each packet has a marker before it (--prefix-bytes)")
    return 0
