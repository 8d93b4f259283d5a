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
import re
import sys
import time
import traceback
import warnings
from typing import Any

import numpy as np

from . import DecodeWarning, Definition, FileResult, XtceError, XtceWarning, load
from ._ccsds import IDLE_APID, gaps_and_ends, joined_gaps, primary_headers
from ._describe import describe, tops
from . import _command_cli as command_cli
from . import _encode_cli as encode_cli
from ._output import Staging, check_out, file_names
from ._source import FAILURE, STDIN, USAGE, CommandError, PacketInput, check_file, read_input

COMMANDS = ("decode", "describe", "scan", "encode", "command")
NUMERIC_KINDS = ("integer", "float", "absolute_time", "relative_time")
EPILOG = """\
The decode command's name may be left out: {prog} DEFINITION PACKETS --out DIR.
Files compressed with gzip, bzip2 or xz are read as they are (standard input too).

decode needs pyarrow (and tqdm for its progress bar): pip install 'bitloom[xtce-cli]'
decode --plot needs matplotlib: pip install 'bitloom[xtce-plot]'
describe, scan and command need only bitloom and numpy.

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


_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}


def _size(text: str) -> int:
    """A number of bytes, with an optional K, M or G (binary: 1024, 1024**2, 1024**3)."""
    match = re.fullmatch(r"\s*(\d+)\s*([kmg]?)i?b?\s*", text, re.IGNORECASE)
    if match is None:
        raise argparse.ArgumentTypeError(f"{text!r} is not a size in bytes (such as 4096, 512K, 64M or 1G)")
    value = int(match[1]) * _UNITS[match[2].lower()]
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1 byte")
    return value


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = _Parser(prog=prog, formatter_class=argparse.RawDescriptionHelpFormatter,
                     description="Look into and decode files of CCSDS space packets with an XTCE definition.",
                     epilog=EPILOG.format(prog=prog))
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", dest="command", required=True)
    prefix = dict(type=_count, default=0, metavar="N", help="bytes to skip before each packet (a recorder's marker)")

    decode = commands.add_parser("decode", help="decode packets into one Parquet file per container",
                                 description="Decode a file of space packets of any size, or standard input, "
                                             "with an XTCE definition into one Parquet (or CSV) file per "
                                             "container, in DIR, a chunk at a time. Needs pyarrow (pip install "
                                             "'bitloom[xtce-cli]', which brings tqdm for the progress bar too), "
                                             "and matplotlib for --plot (pip install 'bitloom[xtce-plot]').")
    decode.add_argument("definition", type=pathlib.Path, metavar="DEFINITION", help="the XTCE document")
    _definition_options(decode)
    decode.add_argument("packets", type=pathlib.Path, metavar="PACKETS",
                        help="the packet file, or - for standard input")
    decode.add_argument("--out", type=pathlib.Path, required=True, metavar="DIR",
                        help="the output directory: new, empty, or with --overwrite")
    decode.add_argument("--overwrite", action="store_true",
                        help="write into a DIR that is not empty, replacing the files an earlier run wrote "
                             "there (its Parquet or CSV files and plot.png); other files stay")
    decode.add_argument("--format", choices=("parquet", "csv"), default="parquet",
                        help="the files written: Parquet (default) or CSV (binary fields in hexadecimal, "
                             "arrays as JSON lists)")
    decode.add_argument("--chunk-size", type=_size, default=64 << 20, metavar="SIZE",
                        help="bytes decoded at a time, such as 16M (default 64M): memory stays at a few "
                             "chunks and their tables whatever the size of the input")
    decode.add_argument("--segmented", action="store_true",
                        help="put segmented packets back together before decoding")
    decode.add_argument("--no-progress", action="store_true",
                        help="no progress bar (there is none when stderr is not a terminal)")
    decode.add_argument("--raw", action="store_true", help="raw values (no calibration or enumeration)")
    decode.add_argument("--root", metavar="NAME", help="the container decoding starts from")
    decode.add_argument("--prefix-bytes", **prefix)  # type: ignore[arg-type]
    decode.add_argument("--packet-size", type=_count, metavar="N",
                        help="packets of N bytes each, without a CCSDS primary header (default: space packets)")
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

    command = commands.add_parser("command", help="print a telecommand's packet in hexadecimal",
                                  description="Encode one telecommand of an XTCE definition, from its meta "
                                              "command's name and NAME=VALUE arguments, and print its packet "
                                              "in hexadecimal. Arguments left out take their defaults.")
    command.add_argument("definition", type=pathlib.Path, metavar="DEFINITION", help="the XTCE document")
    _definition_options(command)
    command_cli.add_arguments(command)
    command.set_defaults(run=_command)
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
    if args.packet_size is not None and (args.packet_size == 0 or args.segmented):
        raise CommandError("--packet-size must be at least 1" if args.packet_size == 0 else
                           "--segmented needs space packets, not --packet-size", USAGE)
    # What can be checked quickly first, then the definition (a large one takes seconds).
    for path in (args.definition, *args.also):
        check_file(path, "definition")
    if str(args.packets) != STDIN:
        check_file(args.packets, "packets")
    check_out(args.out, args.overwrite)
    _require("pyarrow", f"writing {'Parquet' if args.format == 'parquet' else 'CSV'}", "xtce-cli")
    if args.plot:
        _require("matplotlib", "--plot", "xtce-plot")
    definition = _load(args, args.root)
    if not definition.containers:
        raise CommandError(f"definition {args.definition} has no containers: nothing to decode packets with", USAGE)
    if definition.root is None:
        raise CommandError(f"definition {args.definition}: no single container to start decoding from: "
                           f"name one with --root (containers inheriting from none: {', '.join(tops(definition))})",
                           USAGE)
    _check_plot(definition, args)
    names = file_names(definition.concrete())
    picture = args.out / "plot.png"
    with PacketInput(args.packets, "packets") as source, Staging(args.out) as staging:
        run = _Run(definition, names, staging.directory, args)
        run.stream(source)
        if not sum(run.counts.values()):
            raise CommandError(f"packets {source.name}: "
                               f"{_nothing_decoded(run.packets, run.skipped, run.size, source.stdin, args.packet_size)}")
        notes = []
        if args.plot:
            from ._plot import plot
            from ._tables import concat
            notes = plot(definition, concat(run.kept), args.plot, args.time, staging.directory / picture.name)
        removed = staging.commit()

    if removed:
        print(f"removed {len(removed)} file{'s' if len(removed) > 1 else ''} of an earlier run from {args.out}")
    counts = run.counts
    width = max(len(n) for n in counts)
    suffix = f".{args.format}"
    for name, count in counts.items():
        renamed = f"  -> {names[name]}{suffix}" if names[name] != name else ""
        print(f"{name:<{width}}  {count:>9} packets{renamed}")
    print(f"{'total':<{width}}  {sum(counts.values()):>9} of {run.packets} packets, in {args.out}")
    for reason, (count, first) in run.skipped.items():
        print(f"skipped: {count} {reason} (first at byte {first})")
    missing = {apid: n for apid, n in sorted(run.gaps.items()) if n}
    if missing:
        print(f"missing: {sum(missing.values())} packets by their sequence counts "
              f"({', '.join(f'APID {apid}: {n}' for apid, n in missing.items())})")
    if args.plot:
        for note in notes:
            print(f"not plotted: {note}")
        if picture.exists():
            print(f"plot: {picture}")
    return 0


class _Run:
    """One decode run: the input's chunks decoded and written as they come, with what the
    summary needs counted along (and the columns --plot draws kept)."""

    def __init__(self, definition: Definition, names: dict[str, str], directory: pathlib.Path,
                 args: argparse.Namespace) -> None:
        self.definition, self.names, self.directory, self.args = definition, names, directory, args
        self.counts: dict[str, int] = {}
        self.packets = self.size = 0
        self.skipped: dict[str, tuple[int, int]] = {}
        self.gaps: dict[int, int] = {}
        self.kept: list[FileResult] = []
        self._plotted = set(args.plot or ()) | ({args.time} if args.time else set())

    def stream(self, source: PacketInput) -> None:
        from ._output import CsvTables
        from ._tables import ParquetTables
        args = self.args
        writer = ParquetTables(self.directory, self.names) if args.format == "parquet" else \
            CsvTables(self.directory, self.names)
        progress = _Progress(source, sys.stderr is not None and sys.stderr.isatty() and not args.no_progress)
        with warnings.catch_warnings(record=True) as caught, progress:
            warnings.simplefilter("always", DecodeWarning)
            stream = self.definition.iter_decode(source, chunk_bytes=args.chunk_size, raw=args.raw,
                                                 framing=args.packet_size or "ccsds",
                                                 prefix_bytes=args.prefix_bytes, segmented=args.segmented)
            try:
                with stream:
                    for result in stream:
                        self._count(result)
                        try:
                            writer.write(result)
                        except OSError as e:
                            raise CommandError(f"--out {args.out}: cannot write: {e.strerror or e}") from None
                        del result
                        progress.update(source.consumed())
                        self._show(caught)
            finally:
                try:
                    writer.close()
                except OSError as e:
                    raise CommandError(f"--out {args.out}: cannot write: {e.strerror or e}") from None
            self.size = stream.position
            self._show(caught)
        order = {name: i for i, name in enumerate(self.names)}
        self.counts = dict(sorted(self.counts.items(), key=lambda item: order.get(item[0], len(order))))

    def _count(self, result: FileResult) -> None:
        self.packets += result.packets
        for name, index in result.packet_index.items():
            if len(index):
                self.counts[name] = self.counts.get(name, 0) + len(index)
        for reason, (count, first) in result.skipped.items():
            held = self.skipped.get(reason)
            self.skipped[reason] = (count, first) if held is None else (held[0] + count, min(held[1], first))
        for apid, missing in result.gaps.items():
            self.gaps[apid] = self.gaps.get(apid, 0) + missing
        if self._plotted:  # only the columns drawn, so that memory stays bounded by them
            kept = FileResult()
            kept.packet_index = {}
            for name, columns in result.items():
                drawn = {key: column for key, column in columns.items() if key in self._plotted}
                if drawn:
                    kept[name] = drawn
                    kept.packet_index[name] = result.packet_index[name]
            self.kept.append(kept)

    @staticmethod
    def _show(caught: list[warnings.WarningMessage]) -> None:
        """Warnings other than DecodeWarning (the summary tells what those say), as Python shows
        them."""
        for warning in caught:
            if not issubclass(warning.category, DecodeWarning):
                warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
        caught.clear()


class _Progress:
    """Bytes of the input read so far, on stderr: a tqdm bar when tqdm is installed, otherwise a
    line rewritten in place; nothing when not `enabled`. Removed when done."""

    def __init__(self, source: PacketInput, enabled: bool) -> None:
        self.total = source.size
        self._bar: Any = None
        self._line = enabled
        self._shown, self._width = 0.0, 0
        if enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self._line = False
            self._bar = tqdm(total=self.total, unit="B", unit_scale=True, unit_divisor=1024, desc="decoding",
                             file=sys.stderr, leave=False, dynamic_ncols=True)

    def update(self, done: int) -> None:
        if self._bar is not None:
            self._bar.update(done - self._bar.n)
        elif self._line and time.monotonic() - self._shown >= 0.25:
            self._shown = time.monotonic()
            text = f"decoding: {done / 1e6:,.1f} MB"
            if self.total:
                text += f" of {self.total / 1e6:,.1f} MB ({100 * done / self.total:.0f}%)"
            sys.stderr.write("\r" + text.ljust(self._width))
            sys.stderr.flush()
            self._width = len(text)

    def __enter__(self) -> _Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        if self._bar is not None:
            self._bar.close()
        elif self._width:
            sys.stderr.write("\r" + " " * self._width + "\r")
            sys.stderr.flush()


def _check_plot(definition: Definition, args: argparse.Namespace) -> None:
    for option, names in (("--plot", args.plot or []), ("--time", [args.time] if args.time else [])):
        for name in names:
            if name not in definition.parameters:
                raise CommandError(f"{option} {name}: {args.definition} has no parameter of that name", USAGE)
            kind = definition.parameters[name].type.kind
            if kind == "binary" or (option == "--time" and kind not in NUMERIC_KINDS):
                raise CommandError(f"{option} {name}: a {kind} parameter cannot be "
                                   f"{'drawn' if option == '--plot' else 'an axis of numbers'}", USAGE)


def _nothing_decoded(packets: int, skipped: dict[str, tuple[int, int]], size: int, stdin: bool,
                     packet_size: int | None = None) -> str:
    """Why no packet was decoded, in one sentence."""
    if not packets:
        hint = f"{'standard input' if stdin else 'the file'} is empty" if not size else \
            "is it a file of CCSDS space packets? (with a marker before each packet: --prefix-bytes)"
        return f"no space packet in its {size} bytes: {hint}"
    reasons = "; ".join(f"{count} {reason} (first at byte {first})" for reason, (count, first) in skipped.items())
    if packet_size:
        return f"none of its {packets} packets of {packet_size} bytes decoded: {reasons}"
    return f"none of its {packets} packets decoded: {reasons} (the scan command shows what their headers say)"


# -- describe -----------------------------------------------------------------------------------

def _encode(args: argparse.Namespace) -> int:
    for path in (args.definition, *args.also):
        check_file(path, "definition")
    check_file(args.table, "table")
    _require("pyarrow", "reading the table", "xtce-cli")
    return encode_cli.run(args, _load(args, args.root))


def _command(args: argparse.Namespace) -> int:
    for path in (args.definition, *args.also):
        check_file(path, "definition")
    return command_cli.run(args, _load(args))


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

SCAN_CHUNK = 16 << 20  # bytes scan reads at a time: its memory stays that plus one packet


def _scan(args: argparse.Namespace) -> int:
    from ._definition import _frame  # the framing decode uses, so scan sees the same packets
    per_apid: dict[int, list[int]] = {}  # APID -> [packets, shortest, longest, packet types seen (bits)]
    pieces: list[tuple[dict[int, int], dict[int, int], dict[int, int]]] = []  # for sequence gaps across reads
    packets = total = strange = 0
    carry = b""  # the start of a packet the last read cut
    with PacketInput(args.packets, "packets") as source:
        while True:
            piece = source.read(SCAN_CHUNK)
            data = carry + piece if carry else piece
            total += len(piece)
            offsets, lengths, _ = _frame(data, "ccsds", args.prefix_bytes)
            if len(offsets):
                header = primary_headers(data, offsets)
                apid, counts = header["apid"], header["sequence_count"]
                pieces.append(gaps_and_ends(apid, counts))
                order = np.argsort(apid, kind="stable")
                keys, starts, n = np.unique(apid[order], return_index=True, return_counts=True)
                rows = zip(keys.tolist(), n.tolist(), np.minimum.reduceat(lengths[order], starts).tolist(),
                           np.maximum.reduceat(lengths[order], starts).tolist(),
                           np.bitwise_or.reduceat(1 << header["type"][order].astype(np.int64), starts).tolist())
                for key, count, low, high, kind in rows:
                    seen = per_apid.setdefault(key, [0, low, high, 0])
                    seen[0] += count
                    seen[1], seen[2], seen[3] = min(seen[1], low), max(seen[2], high), seen[3] | kind
                packets += len(offsets)
                strange += int(np.count_nonzero(header["version"]))
                carry = data[int(offsets[-1]) + int(lengths[-1]):]
            else:
                carry = data
            if not piece:
                break
        name, compression = source.name, source.compression
    if not packets:
        raise CommandError(f"packets {name}: no whole space packet in its {total} bytes")
    gaps = joined_gaps(pieces)

    print(f"{name}" + (f" ({compression}-compressed)" if compression else "") + f": {packets} packets in {total} bytes")
    rows = [("APID", "type", "packets", "bytes", "missing")]
    for key, (count, shortest, longest, kinds) in sorted(per_apid.items()):
        sizes = f"{shortest}" if shortest == longest else f"{shortest}..{longest}"
        label = f"{key}" + (" (idle)" if key == IDLE_APID else "")
        rows.append((label, {1: "TM", 2: "TC", 3: "TM+TC"}[kinds], f"{count}", sizes, f"{gaps[key]}"))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  ".join(cell.rjust(w) if i != 1 else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths))))
    print(f"missing: sequence counts skipped between consecutive packets of the APID; "
          f"{sum(gaps.values())} in all")
    if carry:
        print(f"truncated: the last {len(carry)} bytes, from byte {total - len(carry)}, are not a whole packet")
    if strange:
        print(f"warning: {strange} of {packets} packets have a version number other than 0: this may not be "
              "a file of CCSDS space packets, or each packet has a marker before it (--prefix-bytes)")
    return 0
