"""The command line: every user mistake and failure is one line `error: ...` with its exit status,
compressed inputs, safe output file names, plots of labels, describe and scan, and the CCSDS
sequence gaps scan counts."""
import bz2
import gzip
import lzma
import pathlib
import re
import subprocess
import sys
import tomllib

import numpy as np
import pytest
from hypothesis import given, strategies as st

import bitloom_xtce
from bitloom_xtce._ccsds import sequence_gaps
from bitloom_xtce import _cli as cli
from bitloom_xtce._cli import main
from bitloom_xtce._output import file_names
from test_xtce import ENUM, HEADER, HEADER_ENTRIES, HEADER_PARAMS, child, cmp, document

DATA = pathlib.Path(__file__).resolve().parent / "data" / "xtce"
JPSS_XML, JPSS_BIN = DATA / "jpss1_geolocation_xtce_v1.xml", DATA / "jpss_packets.bin.gz"
ROOT = '<xtce:SequenceContainer name="{}" abstract="true"><xtce:EntryList>{}</xtce:EntryList></xtce:SequenceContainer>'
TYPES = ENUM + ('<xtce:BooleanParameterType name="B"><xtce:IntegerDataEncoding sizeInBits="8"/></xtce:BooleanParameterType>'
                '<xtce:StringParameterType name="S"><xtce:StringDataEncoding encoding="US-ASCII"><xtce:SizeInBits>'
                '<xtce:Fixed><xtce:FixedValue>16</xtce:FixedValue></xtce:Fixed></xtce:SizeInBits>'
                '</xtce:StringDataEncoding></xtce:StringParameterType>'
                '<xtce:BinaryParameterType name="R"><xtce:BinaryDataEncoding><xtce:SizeInBits><xtce:FixedValue>8'
                '</xtce:FixedValue></xtce:SizeInBits></xtce:BinaryDataEncoding></xtce:BinaryParameterType>')
PARAMS = ''.join(f'<xtce:Parameter name="{n}" parameterTypeRef="{t}"/>'
                 for n, t in [("v", "T"), ("flag", "B"), ("word", "S"), ("blob", "R"), ("n", "U8")])
ENTRY = '<xtce:ParameterRefEntry parameterRef="{}"/>'.format
# A: APID 1 with an enumeration, a boolean and a number; B: APID 2 with the enumeration and text.
CHILDREN = child("A", cmp("==", 1), ENTRY("v") + ENTRY("flag") + ENTRY("n")) + \
    child("B", cmp("==", 2), ENTRY("v") + ENTRY("word") + ENTRY("blob"))


def mission(children=CHILDREN, extra=""):
    return document(HEADER + TYPES, HEADER_PARAMS + PARAMS,
                    ROOT.format("CCSDS", HEADER_ENTRIES) + children + extra)


def packet(apid, payload, count=0, kind=0):
    return bytes([kind << 4 | apid >> 8, apid & 0xFF, 0xC0 | count >> 8, count & 0xFF, 0, len(payload) - 1]) + payload


# A, B, A, B, A: v of 3 has no label.
PACKETS = b"".join([packet(1, b"\x00\x01\x07"), packet(2, b"\x01abX"), packet(1, b"\x03\x00\x08"),
                    packet(2, b"\x05cdY"), packet(1, b"\x01\x01\x09")])


@pytest.fixture
def files(tmp_path):
    """A small mission and its packets, plain; `tmp_path / "out"` is free."""
    (tmp_path / "m.xml").write_bytes(mission())
    (tmp_path / "p.bin").write_bytes(PACKETS)
    return tmp_path


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return status, out, err


def needs_writers():
    pytest.importorskip("pyarrow")
    pytest.importorskip("tqdm")


# -- mistakes and failures: one line, the file or option named, the exit status -----------------

def _no_root(t):  # two containers inherit from none and have inheritors
    other = ROOT.format("R2", HEADER_ENTRIES) + child("C", cmp("==", 3), ENTRY("n"), base="R2")
    (t / "m.xml").write_bytes(mission(extra=other))


def _write(name, data):
    def prepare(t):
        (t / name).parent.mkdir(exist_ok=True)
        (t / name).write_bytes(data() if callable(data) else data)
    return prepare


@pytest.mark.parametrize("prepare, argv, status, message", [
    (None, "m.xml nope.bin --out out", 2, r"packets \S*nope.bin: no such file"),
    (None, "nope.xml p.bin --out out", 2, r"definition \S*nope.xml: no such file"),
    (lambda t: (t / "dir").mkdir(), "m.xml dir --out out", 2, r"packets \S*dir: is a directory"),
    (None, "m.xml p.bin --out p.bin", 2, r"--out \S*p.bin: exists and is not a directory"),
    (None, "m.xml p.bin --out p.bin/sub", 2, r"--out \S*p.bin/sub: cannot be created: \S*p.bin is not a directory"),
    (None, "m.xml p.bin --out /proc/bitloom/out", 1, r"--out /proc/bitloom/out: cannot be created"),
    (_write("out/old.txt", b""), "m.xml p.bin --out out", 2, r"--out \S*out: is not empty; give --overwrite"),
    (None, "m.xml p.bin --out out --prefix-bytes -1", 2, r"argument --prefix-bytes: must be 0 or more, not -1"),
    (None, "scan p.bin --prefix-bytes x", 2, r"argument --prefix-bytes: 'x' is not a whole number"),
    (None, "m.xml p.bin --out out --chunk-size 12x", 2, r"argument --chunk-size: '12x' is not a size in bytes"),
    (None, "m.xml p.bin --out out --chunk-size 0K", 2, r"argument --chunk-size: must be at least 1 byte"),
    (_no_root, "m.xml p.bin --out out", 2, r"definition \S*m.xml: no single container .* --root .*CCSDS, R2"),
    (None, "m.xml p.bin --out out --root NOPE", 2, r"--root NOPE: \S*m.xml has no container of that name"),
    (None, "m.xml p.bin --out out --plot NOPE", 2, r"--plot NOPE: \S*m.xml has no parameter of that name"),
    (None, "m.xml p.bin --out out --plot blob", 2, r"--plot blob: a binary parameter cannot be drawn"),
    (None, "m.xml p.bin --out out --plot n --time word", 2, r"--time word: a string parameter cannot be an axis"),
    (None, "m.xml p.bin --out out --time n", 2, r"--time goes with --plot"),
    (None, "", 2, r"say what to do: decode, describe, scan"),
    (None, "descrbe m.xml", 2, r"no command named 'descrbe'"),
    (None, "decode m.xml", 2, r"required: PACKETS, --out"),
    (_write("m.xml", lambda: mission().replace(b"</xtce:ContainerSet>", b"<xtce:Foo/></xtce:ContainerSet>")),
     "m.xml p.bin --out out", 1, r"definition \S*m.xml: <Foo> at line 6: element not supported"),
    (None, "p.bin m.xml --out out", 1, r"definition \S*p.bin: .* are DEFINITION and PACKETS the right way round"),
    (_write("p.bin", np.random.default_rng(1).bytes(4000)), "m.xml p.bin --out out", 1,
     r"packets \S*p.bin: none of its \d+ packets decoded: .*truncated at the end"),
    (_write("p.bin", packet(7, b"\x00") * 5), "m.xml p.bin --out out", 1,
     r"packets \S*p.bin: none of its 5 packets decoded: 5 matching no concrete container below 'CCSDS'"),
    (_write("p.bin", b""), "m.xml p.bin --out out", 1, r"packets \S*p.bin: no space packet in its 0 bytes"),
    (_write("p.bin", gzip.compress(PACKETS)[:-9]), "m.xml p.bin --out out", 1, r"packets \S*p.bin: damaged gzip data"),
    (_write("p.bin", b"PK\x03\x04rest"), "scan p.bin", 1, r"packets \S*p.bin: is a zip archive.* extract it first"),
    (_write("p.bin", b"\x08\x01"), "scan p.bin", 1, r"packets \S*p.bin: no whole space packet in its 2 bytes"),
])
def test_mistakes_and_failures_are_one_line(files, monkeypatch, capsys, prepare, argv, status, message):
    if prepare is not None:
        prepare(files)
    monkeypatch.chdir(files)
    got, out, err = run(capsys, *argv.split())
    assert (got, out) == (status, "")
    assert err.count("\n") == 1 and err.startswith("error: ") and re.search(message, err), err
    if "not empty" not in message:
        assert not (files / "out").exists()  # nothing is written by a run that fails


@pytest.mark.parametrize("argv, module, extra", [
    ("m.xml p.bin --out out", "pyarrow", "xtce-cli"),
    ("m.xml p.bin --out out --plot v", "matplotlib", "xtce-plot"),
])
def test_a_missing_optional_package_names_its_extra(files, monkeypatch, capsys, argv, module, extra):
    monkeypatch.setitem(sys.modules, module, None)  # its import fails as if it were not installed
    monkeypatch.chdir(files)
    status, out, err = run(capsys, *argv.split())
    assert status == 1 and err.endswith(f"needs {module}, which is not installed: pip install 'bitloom[{extra}]'\n")
    assert err.count("\n") == 1 and not (files / "out").exists()


def test_a_bug_shows_its_traceback_and_asks_for_a_report(files, monkeypatch, capsys):
    def broken(*args, **kwargs):
        raise RuntimeError("a fault inside")
    monkeypatch.setattr(bitloom_xtce.Definition, "iter_decode", broken)
    monkeypatch.chdir(files)
    assert main(["m.xml", "p.bin", "--out", "out"]) == 1
    err = capsys.readouterr().err
    assert "Traceback" in err and "RuntimeError: a fault inside" in err
    assert err.splitlines()[-1].startswith("error: this is a bug in bitloom_xtce") and "report" in err


# -- decoding ----------------------------------------------------------------------------------

@pytest.mark.parametrize("compress", [None, gzip.compress, bz2.compress, lzma.compress])
@pytest.mark.parametrize("command", [[], ["decode"]])
def test_decode_reads_compressed_inputs_by_their_content(tmp_path, capsys, compress, command):
    needs_writers()
    pack = compress or (lambda data: data)
    xml, packets = tmp_path / "definition.bin", tmp_path / "packets.xml.gz"  # names that mislead
    xml.write_bytes(pack(JPSS_XML.read_bytes()))
    packets.write_bytes(pack(gzip.decompress(JPSS_BIN.read_bytes())))
    status, out, _ = run(capsys, *command, xml, packets, "--out", tmp_path / "out")
    assert status == 0 and "JPSS_ATT_EPHEM       7200 packets\n" in out and "7200 of 7200 packets" in out
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["JPSS_ATT_EPHEM.parquet"]


def _stdin(definition, packets, tmp_path, *options):
    """The command line in a process of its own, the packets on its standard input."""
    done = subprocess.run([sys.executable, "-m", "bitloom_xtce", str(definition), "-", "--out", str(tmp_path / "out"),
                           *options], input=packets, capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout.decode()


IDEX_XML, IDEX_BIN = DATA / "idex_combined_science_definition.xml.gz", DATA / "idex_packets.bin.gz"


@pytest.mark.parametrize("definition, packets, via, chunk", [
    (JPSS_XML, JPSS_BIN, "file", 50_000),
    (JPSS_XML, JPSS_BIN, "stdin", 100_000),
    (JPSS_XML, JPSS_BIN, "gzip stdin", 100_000),
    (IDEX_XML, IDEX_BIN, "file", 30_000),  # binary fields and text
    (IDEX_XML, IDEX_BIN, "bzip2 stdin", 50_000),
])
def test_decode_writes_row_groups_that_equal_decode_file(tmp_path, capsys, definition, packets, via, chunk):
    """A file or standard input (compressed or not) decoded a chunk at a time: one row group per
    chunk holding rows of the container, the tables as decode_file gives them for the whole file."""
    needs_writers()
    import warnings
    import pyarrow.parquet as pq
    loaded = bitloom_xtce.load(gzip.decompress(definition.read_bytes()) if definition.suffix == ".gz" else
                               definition.read_bytes())
    data = gzip.decompress(packets.read_bytes())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        whole = loaded.decode_file(data)
        want = whole.to_arrow()
        chunks = {name: sum(1 for result in loaded.iter_decode(data, chunk_bytes=chunk)
                            if len(result.packet_index.get(name, ()))) for name in want}
    if via == "file":
        status, report, _ = run(capsys, definition, packets, "--out", tmp_path / "out", "--chunk-size", chunk)
        assert status == 0
    else:
        piped = {"stdin": data, "gzip stdin": gzip.compress(data), "bzip2 stdin": bz2.compress(data)}[via]
        report = _stdin(definition, piped, tmp_path, "--chunk-size", str(chunk))
    assert f"{sum(t.num_rows for t in want.values())} of {whole.packets} packets" in report
    for reason, (count, first) in whole.skipped.items():  # the chunks' counts added up
        assert f"skipped: {count} {reason} (first at byte {first})" in report
    for name, table in want.items():
        written = pq.ParquetFile(tmp_path / "out" / f"{name}.parquet")
        assert written.metadata.num_row_groups == chunks[name] > 1
        assert written.read().equals(table, check_metadata=True), name


def test_decode_writes_csv_and_replaces_only_its_own(tmp_path, capsys):
    needs_writers()
    import pyarrow.csv as pcsv
    out = tmp_path / "out"
    status, report, _ = run(capsys, IDEX_XML, IDEX_BIN, "--out", out, "--format", "csv", "--chunk-size", "20K")
    assert status == 0 and "Sci0TypeNonZero         72 packets" in report
    assert sorted(p.name for p in out.iterdir()) == ["Sci0TypeNonZero.csv", "Sci0TypeZero.csv", "bitloom-csv.json"]
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        want = bitloom_xtce.load(gzip.decompress(IDEX_XML.read_bytes())).decode_file(
            gzip.decompress(IDEX_BIN.read_bytes()))["Sci0TypeNonZero"]
    text = pcsv.read_csv(out / "Sci0TypeNonZero.csv", convert_options=pcsv.ConvertOptions(
        column_types={k: "string" for k, v in want.items() if v.dtype.kind in "OT"}))
    assert text.column_names == list(want)
    for key, column in want.items():
        got = text[key].to_pylist()
        if column.dtype == object:  # binary fields: hexadecimal
            assert [bytes.fromhex(v) for v in got] == column.tolist(), key
        else:
            assert np.array_equal(np.array(got, dtype=column.dtype), column), key
    (out / "Theirs.csv").write_text("x\n1\n")
    # JPSS packets: no IDEX container matches, so nothing is replaced by a failed run
    assert run(capsys, IDEX_XML, JPSS_BIN, "--out", out, "--overwrite", "--format", "csv")[0] == 1
    assert len(list(out.iterdir())) == 4
    status, report, _ = run(capsys, JPSS_XML, JPSS_BIN, "--out", out, "--overwrite", "--format", "csv")
    assert status == 0 and "removed 3 files of an earlier run" in report
    assert sorted(p.name for p in out.iterdir()) == ["JPSS_ATT_EPHEM.csv", "Theirs.csv", "bitloom-csv.json"]


@pytest.mark.parametrize("earlier", [False, True], ids=["new out", "earlier run"])
def test_a_run_that_fails_midway_leaves_out_as_it_was(tmp_path, capsys, earlier):
    """Damaged compressed data found after several chunks were written: --out as before."""
    needs_writers()
    out = tmp_path / "deep" / "out"
    if earlier:
        assert run(capsys, JPSS_XML, JPSS_BIN, "--out", out)[0] == 0
    before = {p.name: p.read_bytes() for p in out.iterdir()} if earlier else None
    damaged = tmp_path / "p.gz"
    damaged.write_bytes(gzip.compress(gzip.decompress(JPSS_BIN.read_bytes()))[:-5000])
    status, out_text, err = run(capsys, JPSS_XML, damaged, "--out", out, "--overwrite", "--chunk-size", "10K")
    assert (status, out_text) == (1, "") and re.fullmatch(r"error: packets \S*p.gz: damaged gzip data: .*\n", err)
    if earlier:
        assert {p.name: p.read_bytes() for p in out.iterdir()} == before
    else:
        assert not (tmp_path / "deep").exists()


SEGMENTED = b"".join([  # A (APID 1) cut into three segments, counts 5..7; then A with count 9
    bytes([0, 1, 0x40, 5, 0, 0]) + b"\x00", bytes([0, 1, 0x00, 6, 0, 0]) + b"\x01",
    bytes([0, 1, 0x80, 7, 0, 0]) + b"\x0a", packet(1, b"\x01\x00\x0b", 9)])


@pytest.mark.parametrize("options, lines", [
    (["--segmented"], ["A 2 packets", "total 2 of 2 packets, in {out}",
                       "missing: 1 packets by their sequence counts (APID 1: 1)"]),
    ([], ["A 1 packets", "total 1 of 4 packets, in {out}", "skipped: 3 too short for container 'A' (first at byte 0)",
          "missing: 1 packets by their sequence counts (APID 1: 1)"]),
])
def test_segmented_packets_and_gaps_in_the_summary(files, capsys, options, lines):
    needs_writers()
    (files / "p.bin").write_bytes(SEGMENTED)
    out = files / "out"
    status, report, _ = run(capsys, files / "m.xml", files / "p.bin", "--out", out, "--chunk-size", "9", *options)
    shown = [" ".join(line.split()) for line in report.splitlines()]
    assert status == 0 and [line.format(out=out) for line in lines if line.format(out=out) not in shown] == []


@pytest.mark.parametrize("tqdm, options, shown", [
    (True, [], "decoding: "), (False, [], "decoding: 0.0 MB of 0.0 MB (100%)"), (True, ["--no-progress"], None),
])
def test_progress_on_a_terminal_only(files, monkeypatch, capsys, tqdm, options, shown):
    needs_writers()
    if not tqdm:
        monkeypatch.setitem(sys.modules, "tqdm", None)
    assert run(capsys, files / "m.xml", files / "p.bin", "--out", files / "a")[2] == ""  # not a terminal
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    status, _, err = run(capsys, files / "m.xml", files / "p.bin", "--out", files / "b", *options)
    assert status == 0 and (err == "" if shown is None else shown in err)


def test_python_m_decodes_the_samples_into_parquet(tmp_path):
    needs_writers()
    import pyarrow.parquet as pq
    done = subprocess.run([sys.executable, "-m", "bitloom_xtce", str(DATA / "idex_combined_science_definition.xml.gz"),
                           str(DATA / "idex_packets.bin.gz"), "--out", str(tmp_path / "out")],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "Sci0TypeNonZero         72 packets" in done.stdout and "78 of 78 packets" in done.stdout
    table = pq.read_table(tmp_path / "out" / "Sci0TypeNonZero.parquet")
    assert table.num_rows == 72 and str(table.schema.field("IDX__SCI0RAW").type) == "binary"
    assert str(table.schema.field("IDX__SCI0PACK").type) == "string"
    assert table.schema.metadata[b"container"] == b"Sci0TypeNonZero"


# The loader refuses a "/" in a name (it separates the parts of a reference); the rest it accepts.
HOSTILE = ["..", "...", ".hidden", "a\\b", "c:d", "a b", "a_b", "A_B", "x" * 300]


def test_container_names_become_safe_distinct_file_names(tmp_path, capsys):
    needs_writers()
    import pyarrow.parquet as pq
    children = "".join(child(name, cmp("==", apid), ENTRY("n")) for apid, name in enumerate(HOSTILE, 1))
    (tmp_path / "m.xml").write_bytes(mission(children))
    (tmp_path / "p.bin").write_bytes(b"".join(packet(apid, b"\x05") for apid in range(1, len(HOSTILE) + 1)))
    out = tmp_path / "deep" / "out"
    status, report, _ = run(capsys, tmp_path / "m.xml", tmp_path / "p.bin", "--out", out)
    assert status == 0
    written = sorted(tmp_path.rglob("*.parquet"))
    assert all(p.parent == out and not p.name.startswith(".") and len(p.name) < 200 for p in written)
    names = {pq.read_schema(p).metadata[b"container"].decode(): p.name for p in written}
    assert sorted(names) == sorted(HOSTILE)  # one file each: none overwrote another
    assert names["a_b"] == "a_b.parquet"  # a name that needs no cleaning keeps it
    for name, file in names.items():  # the report says where each renamed container went
        assert (f"  -> {file}" in report) == (file != f"{name}.parquet")


def test_file_names_are_told_apart_case_aside_and_keep_clean_names():
    names = file_names(["A_B", "a/b", "a_b", "a b"])
    assert names["A_B"] == "A_B" and len({n.casefold() for n in names.values()}) == 4
    assert file_names(["a/b"]) == {"a/b": names["a/b"]}  # the same name whatever else is there


def test_an_earlier_run_is_replaced_only_with_overwrite(files, capsys):
    needs_writers()
    out = files / "out"
    out.mkdir()
    import pyarrow as pa
    import pyarrow.parquet as pq
    pq.write_table(pa.table({"x": [1]}, metadata={"container": "OLD"}), out / "OLD.parquet")
    pq.write_table(pa.table({"x": [1]}), out / "theirs.parquet")
    (out / "notes.txt").write_text("mine")
    assert run(capsys, files / "m.xml", files / "p.bin", "--out", out)[0] == 2
    status, report, _ = run(capsys, files / "m.xml", files / "p.bin", "--out", out, "--overwrite")
    assert status == 0 and "removed 1 file of an earlier run" in report
    assert sorted(p.name for p in out.iterdir()) == ["A.parquet", "B.parquet", "notes.txt", "theirs.parquet"]


def test_packet_index_places_each_row_in_the_file():
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        tables = bitloom_xtce.load(mission()).decode_file(packet(9, b"\x00") + PACKETS)
    assert {k: v.tolist() for k, v in tables.packet_index.items()} == {"A": [1, 3, 5], "B": [2, 4]}


@pytest.mark.parametrize("argv, panels", [
    # Labels as steps over the packet index shared by both containers; a raw value without a
    # label is "(none)"; booleans and text are labels too.
    (["--plot", "v", "flag", "word"], {"v": [("A", [0, 2, 4], ["OFF", "(none)", "ON"]),
                                             ("B", [1, 3], ["ON", "HIGH"])],
                                       "flag": [("A", [0, 2, 4], ["True", "False", "True"])],
                                       "word": [("B", [1, 3], ["ab", "cd"])]}),
    (["--plot", "v", "--time", "n"], {"v": [("A", [7, 8, 9], ["OFF", "(none)", "ON"])]}),
    (["--raw", "--plot", "v"], {"v": [("A", [0, 2, 4], [0, 3, 1]), ("B", [1, 3], [1, 5])]}),
])
def test_plot_draws_labels_as_steps_over_the_packet_index(files, monkeypatch, capsys, argv, panels):
    needs_writers()
    pytest.importorskip("matplotlib")
    import matplotlib.pyplot as plt
    figures = []
    monkeypatch.setattr(plt, "close", figures.append)
    status, report, _ = run(capsys, files / "m.xml", files / "p.bin", "--out", files / "out", *argv)
    assert status == 0 and (files / "out" / "plot.png").read_bytes()[:4] == b"\x89PNG"
    if "--time" in argv:
        assert "not plotted: v of container 'B': it has no n" in report
    axes = figures[0].axes
    assert [ax.get_ylabel() for ax in axes] == list(panels)
    for ax, lines in zip(axes, panels.values()):
        ticks = [t.get_text() for t in ax.get_yticklabels()]
        drawn = [(line.get_label(), line.get_xdata().tolist(),
                  [ticks[int(y)] if isinstance(lines[0][2][0], str) else y for y in line.get_ydata()])
                 for line in ax.get_lines()]
        assert drawn == lines


def test_plot_over_a_time_parameter_labels_axes_with_units(tmp_path, monkeypatch, capsys):
    needs_writers()
    pytest.importorskip("matplotlib")
    import matplotlib.pyplot as plt
    figures = []
    monkeypatch.setattr(plt, "close", figures.append)
    status, report, _ = run(capsys, JPSS_XML, JPSS_BIN, "--out", tmp_path, "--plot", "ADGPSPOSX", "ADCFAQ1",
                            "--time", "MSEC")
    assert status == 0 and f"plot: {tmp_path / 'plot.png'}" in report
    axes = figures[0].axes
    assert [ax.get_ylabel() for ax in axes] == ["ADGPSPOSX (m)", "ADCFAQ1"] and axes[-1].get_xlabel() == "MSEC (ms)"


# -- help, describe, scan ----------------------------------------------------------------------

BLOCKED = """
import sys
class Block:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] in ("pyarrow", "tqdm", "matplotlib"):
            raise ImportError(f"No module named {name!r}", name=name)
sys.meta_path.insert(0, Block())
from bitloom_xtce._cli import main
for argv in (["--help"], ["decode", "--help"], ["describe", sys.argv[1]], ["scan", sys.argv[2]]):
    assert main(argv) == 0, argv
main([sys.argv[1], sys.argv[2], "--out", sys.argv[3]])
"""


def test_help_describe_and_scan_need_no_optional_package(tmp_path):
    done = subprocess.run([sys.executable, "-c", BLOCKED, str(JPSS_XML), str(JPSS_BIN), str(tmp_path / "out")],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "pip install 'bitloom[xtce-cli]'" in done.stdout and "pip install 'bitloom[xtce-plot]'" in done.stdout
    assert done.stderr == "error: writing Parquet needs pyarrow, which is not installed: pip install 'bitloom[xtce-cli]'\n"


def test_the_console_script_is_the_command_line():
    project = tomllib.loads((pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())
    module, _, function = project["project"]["scripts"]["bitloom-xtce"].partition(":")
    assert getattr(__import__(module, fromlist=[function]), function) is main


@pytest.mark.parametrize("definition, lines", [
    (JPSS_XML, ["jpss1_geolocation_xtce_v1.xml: 27 parameters, 4 containers, root CCSDSPacket",
                "CCSDSPacket (abstract; root)",
                "  - PKT_APID     integer  unsigned, 11 bits",
                "    CCSDSTelemetryPacket (abstract) when (VERSION (raw) == 0 and TYPE (raw) == 0)",
                "        JPSS_ATT_EPHEM when PKT_APID (raw) == 11",
                "          - ADGPSPOSX                 float      IEEE754, 32 bits   [m]",
                "SecondaryHeaderContainer (abstract; included by JPSS_ATT_EPHEM)",
                "  - DOY   float  unsigned, 16 bits  [day]"]),
    (DATA / "idex_combined_science_definition.xml.gz",
     ["          - IDX__SCI0PACK             enumerated  unsigned, 1 bits   {0=DS, 1=EN}"]),
    ("m.xml", ["m.xml: 12 parameters, 3 containers, root CCSDS", "    A when APID == 1",
               "      - v     enumerated  unsigned, 8 bits  {0=OFF, 1=ON, 5..9=HIGH}",
               "    B when APID == 2", "      - word  string      US-ASCII, 16 bits",
               "      - blob  binary      8 bits"]),
])
def test_describe_shows_the_tree(files, monkeypatch, capsys, definition, lines):
    monkeypatch.chdir(files)
    status, out, err = run(capsys, "describe", definition)
    assert status == 0 and err == ""
    shown = [line.removeprefix(str(DATA) + "/") for line in out.splitlines()]
    assert [line for line in lines if line not in shown] == []


@pytest.mark.parametrize("argv, lines", [
    ([JPSS_BIN], ["jpss_packets.bin.gz (gzip-compressed): 7200 packets in 511200 bytes",
                  "APID  type  packets  bytes  missing", "  11  TM       7200     71        0"]),
    ([DATA / "ctim_packets.bin.gz"], ["  20  TM          6  30..46       39", "  41  TM       1147    1018        0"]),
    ([DATA / "suda_packets.bin.gz", "--prefix-bytes", "4"], ["1425  TM         13  304..4080        0"]),
    ([DATA / "suda_packets.bin.gz"], ["truncated: the last 24961 bytes, from byte 11815, are not a whole packet",
                                      "warning: 1 of 2 packets have a version number other than 0: this may not be a "
                                      "file of CCSDS space packets, or each packet has a marker before it "
                                      "(--prefix-bytes)"]),
    # Made here: a gap of one in APID 1, a wrap-around in APID 2, telecommands, idle packets, a cut tail.
    ("made", ["made.bin: 8 packets in 60 bytes", "          1  TM           3      7        1",
              "          2  TM+TC        2   7..8        0", "          5  TC           2      7    16382",
              "2047 (idle)  TM           1      7        0",
              "truncated: the last 3 bytes, from byte 57, are not a whole packet"]),
])
def test_scan_summarises_packets_per_apid(tmp_path, capsys, argv, lines):
    if argv == "made":
        made = [packet(1, b"\x00", 0), packet(2, b"\x00", 16383), packet(1, b"\x00", 1), packet(2, b"\x00\x00", 0, 1),
                packet(1, b"\x00", 3), packet(2047, b"\x00"), packet(5, b"\x00", 9, 1), packet(5, b"\x00", 8, 1)]
        argv = [tmp_path / "made.bin"]
        argv[0].write_bytes(b"".join(made) + b"\x00\x01\x02")
    status, out, err = run(capsys, "scan", *argv)
    assert status == 0 and err == ""
    shown = [line.removeprefix(str(DATA) + "/").removeprefix(str(tmp_path) + "/") for line in out.splitlines()]
    assert [line for line in lines if line not in shown] == [], out


@pytest.mark.parametrize("packets, options", [(DATA / "ctim_packets.bin.gz", []),
                                               (DATA / "suda_packets.bin.gz", ["--prefix-bytes", "4"])])
def test_scan_reads_a_piece_at_a_time(capsys, monkeypatch, packets, options):
    # scan read the whole file into memory; now it reads pieces, packets and sequence gaps
    # carried across them, and the summary is the same for any piece size, and from a pipe.
    whole = run(capsys, "scan", packets, *options)
    monkeypatch.setattr(cli, "SCAN_CHUNK", 7)
    assert run(capsys, "scan", packets, *options) == whole
    piped = subprocess.run([sys.executable, "-m", "bitloom_xtce", "scan", "-", *options], input=packets.read_bytes(),
                           capture_output=True, timeout=120)
    assert piped.returncode == 0 and piped.stdout.decode().split("\n")[1:] == whole[1].split("\n")[1:]


# -- sequence gaps -----------------------------------------------------------------------------

@pytest.mark.parametrize("apids, counts, gaps", [
    ([], [], {}),
    ([7], [5], {7: 0}),
    ([7, 7, 7], [5, 6, 7], {7: 0}),
    ([7, 7, 7, 7], [16382, 16383, 0, 1], {7: 0}),  # wrap-around
    ([7, 7], [16383, 2], {7: 2}),  # 0 and 1 missing across the wrap
    ([7, 7, 7], [5, 5, 6], {7: 0}),  # a repeat is no gap
    ([7, 7], [5, 4], {7: 16382}),  # backwards: all the way round
    ([1, 2, 1, 2, 1, 3], [0, 100, 1, 102, 5, 9], {1: 3, 2: 1, 3: 0}),  # interleaved
    ([2, 1, 2, 1], [16383, 10, 0, 10], {1: 0, 2: 0}),
])
def test_sequence_gaps(apids, counts, gaps):
    assert sequence_gaps(np.array(apids, np.uint16), np.array(counts, np.uint16)) == gaps


def _gaps_one_by_one(apids, counts):
    last, missing = {}, {}
    for apid, count in zip(apids, counts):
        missing.setdefault(apid, 0)
        if apid in last:
            step = (count - last[apid]) % 16384
            missing[apid] += step - 1 if step > 1 else 0
        last[apid] = count
    return missing


@given(st.lists(st.tuples(st.integers(0, 3), st.integers(0, 16383)), max_size=60))
def test_sequence_gaps_agree_with_one_packet_at_a_time(packets):
    apids, counts = [a for a, _ in packets], [c for _, c in packets]
    assert sequence_gaps(np.array(apids, np.int64), np.array(counts, np.uint16)) == _gaps_one_by_one(apids, counts)


def test_strict_refuses_what_is_read_past_and_also_joins_files(files, capsys):
    algorithms = '<xtce:AlgorithmSet><xtce:CustomAlgorithm name="x"/></xtce:AlgorithmSet>'
    text = mission().decode().replace("</xtce:TelemetryMetaData>", "</xtce:TelemetryMetaData>" + algorithms)
    (files / "m.xml").write_text(text)
    status, _, err = run(capsys, "describe", files / "m.xml")
    assert status == 0 and re.fullmatch(r"warning: definition \S+m\.xml: read past 1 kind of element .*\n", err)
    status, _, err = run(capsys, "describe", files / "m.xml", "--strict")
    assert status == 1 and err.startswith("error: definition ") and "AlgorithmSet" in err
    assert err.count("\n") == 1
    # A second file holding only a type: the first refers to it by its absolute path.
    (files / "types.xml").write_bytes(document('<xtce:IntegerParameterType name="W"><xtce:IntegerDataEncoding '
                                               'sizeInBits="8"/></xtce:IntegerParameterType>', "", "")
                                      .replace(b'name="T"', b'name="Types"', 1))
    (files / "m.xml").write_text(mission().decode().replace('parameterTypeRef="U8"/>', 'parameterTypeRef="/Types/W"/>', 1))
    assert run(capsys, "describe", files / "m.xml")[0] == 1
    status, out, _ = run(capsys, "describe", files / "m.xml", "--also", files / "types.xml")
    assert status == 0 and re.search(r"- n +integer +unsigned, 8 bits", out)
