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
from bitloom_xtce._ccsds import primary_headers, sequence_gaps
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
    (_no_root, "m.xml p.bin --out out", 2, r"definition \S*m.xml: no single container .* --root .*CCSDS, R2"),
    (None, "m.xml p.bin --out out --root NOPE", 2, r"--root NOPE: \S*m.xml has no container of that name"),
    (None, "m.xml p.bin --out out --plot NOPE", 2, r"--plot NOPE: \S*m.xml has no parameter of that name"),
    (None, "m.xml p.bin --out out --plot blob", 2, r"--plot blob: a binary parameter cannot be drawn"),
    (None, "m.xml p.bin --out out --plot n --time word", 2, r"--time word: a string parameter cannot be an axis"),
    (None, "m.xml p.bin --out out --time n", 2, r"--time goes with --plot"),
    (None, "", 2, r"say what to do: decode, describe, scan"),
    (None, "descrbe m.xml", 2, r"no command named 'descrbe'"),
    (None, "decode m.xml", 2, r"required: packets, --out"),
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
    ("m.xml p.bin --out out", "tqdm", "xtce-cli"),
    ("m.xml p.bin --out out --plot v", "matplotlib", "xtce-plot"),
])
def test_a_missing_optional_package_names_its_extra(files, monkeypatch, capsys, argv, module, extra):
    monkeypatch.setitem(sys.modules, module, None)  # its import fails as if it were not installed
    monkeypatch.chdir(files)
    status, out, err = run(capsys, *argv.split())
    assert status == 1 and err.endswith(f"needs {module}, which is not installed: pip install 'bitloom[{extra}]'\n")
    assert err.count("\n") == 1 and not (files / "out").exists()
