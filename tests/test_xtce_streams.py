"""bitloom_xtce past one buffer: streams a chunk at a time (in bounded memory), segmented packets
and sequence gaps, many files on several processes and on a Dask cluster, and results as pandas,
xarray, Arrow and Parquet tables."""
import copy
import gzip
import os
import pathlib
import pickle
import socket
import struct
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest
from hypothesis import given, strategies as st

import bitloom_xtce
from bitloom_xtce import DecodeWarning, FileResult
from bitloom_xtce import _definition
from bitloom_xtce._ccsds import LOST_SEGMENT, _few_gaps, gaps_and_ends, sequence_gaps
from bitloom_xtce._definition import _frame

DATA = pathlib.Path(__file__).resolve().parent / "data" / "xtce"
NS = 'xmlns:xtce="http://www.omg.org/spec/XTCE/20180204"'


def _uint(name, bits, extra=""):
    return (f'<xtce:IntegerParameterType name="{name}"{extra}><xtce:IntegerDataEncoding sizeInBits="{bits}"/>'
            '</xtce:IntegerParameterType>')


HEADER = ("VERSION", 3), ("TYPE", 1), ("SHF", 1), ("APID", 11), ("SEQF", 2), ("SEQC", 14), ("LEN", 16)


def _child(name, apid, entries):
    refs = "".join(f'<xtce:ParameterRefEntry parameterRef="{e}"/>' for e in entries)
    return (f'<xtce:SequenceContainer name="{name}"><xtce:EntryList>{refs}</xtce:EntryList>'
            '<xtce:BaseContainer containerRef="Packet"><xtce:RestrictionCriteria>'
            f'<xtce:Comparison parameterRef="APID" value="{apid}"/></xtce:RestrictionCriteria>'
            '</xtce:BaseContainer></xtce:SequenceContainer>')


# APID 5: three 32-bit values; 6: one 16-bit value; 7: 70 000 bytes then a 32-bit value (longer
# than one space packet can be); 8: a 32-bit value at the start of a 4 KiB packet.
DOCUMENT = (
    f'<?xml version="1.0"?>\n<xtce:SpaceSystem name="S" {NS}><xtce:TelemetryMetaData>'
    '<xtce:ParameterTypeSet>'
    + "".join(_uint(f"{n}_T", b) for n, b in HEADER)
    + '<xtce:IntegerParameterType name="U32"><xtce:UnitSet><xtce:Unit>V</xtce:Unit></xtce:UnitSet>'
      '<xtce:IntegerDataEncoding sizeInBits="32"/></xtce:IntegerParameterType>'
    + _uint("U16", 16)
    + '<xtce:BinaryParameterType name="BLOB"><xtce:BinaryDataEncoding><xtce:SizeInBits><xtce:FixedValue>560000'
      '</xtce:FixedValue></xtce:SizeInBits></xtce:BinaryDataEncoding></xtce:BinaryParameterType>'
    '</xtce:ParameterTypeSet><xtce:ParameterSet>'
    + "".join(f'<xtce:Parameter name="{n}" parameterTypeRef="{n}_T"/>' for n, _ in HEADER)
    + '<xtce:Parameter name="A" parameterTypeRef="U32" shortDescription="first value"/>'
      '<xtce:Parameter name="B" parameterTypeRef="U32"/><xtce:Parameter name="C" parameterTypeRef="U32"/>'
      '<xtce:Parameter name="X" parameterTypeRef="U16"/><xtce:Parameter name="BODY" parameterTypeRef="BLOB"/>'
    '</xtce:ParameterSet><xtce:ContainerSet>'
    '<xtce:SequenceContainer name="Packet" abstract="true"><xtce:EntryList>'
    + "".join(f'<xtce:ParameterRefEntry parameterRef="{n}"/>' for n, _ in HEADER)
    + '</xtce:EntryList></xtce:SequenceContainer>'
    + _child("Science", 5, "ABC") + _child("Other", 6, "X") + _child("Big", 7, ["BODY", "A"])
    + _child("Bulk", 8, "A")
    + '</xtce:ContainerSet></xtce:TelemetryMetaData></xtce:SpaceSystem>')


@pytest.fixture(scope="module")
def synthetic():
    return bitloom_xtce.load(DOCUMENT.encode())


@pytest.fixture(scope="module")
def jpss():
    return bitloom_xtce.load(DATA / "jpss1_geolocation_xtce_v1.xml")


@pytest.fixture(scope="module")
def jpss_data():
    return gzip.decompress((DATA / "jpss_packets.bin.gz").read_bytes())


def packet(apid, count, data, flags=3):
    return struct.pack(">HHH", apid, flags << 14 | count, len(data) - 1) + data


def science(count, a, b=0, c=0, flags=3):
    return packet(5, count, struct.pack(">III", a, b, c), flags)


def segments(apid, count, data, cuts):
    """A packet's data field cut at `cuts` into segments with consecutive counts."""
    pieces = [data[i:j] for i, j in zip([0, *cuts], [*cuts, len(data)])]
    flags = [1] + [0] * (len(pieces) - 2) + [2]
    return [packet(apid, (count + k) % 16384, p, f) for k, (p, f) in enumerate(zip(pieces, flags))]


def quiet(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DecodeWarning)
        return fn(*args, **kwargs)


def assert_same(got, want):
    """Two results hold the same tables (column types too) and the same counts."""
    assert list(got) == list(want)
    for name in want:
        assert list(got[name]) == list(want[name]), name
        for key, column in want[name].items():
            assert got[name][key].dtype == column.dtype, (name, key)
            np.testing.assert_array_equal(got[name][key], column, err_msg=f"{name}.{key}")
    assert (got.packets, got.skipped, got.gaps) == (want.packets, want.skipped, want.gaps)
    for reason, record in want.skipped.items():  # every skipped packet's offset and number
        assert (got.skipped[reason].offsets.tolist(), got.skipped[reason].indices.tolist()) == \
            (record.offsets.tolist(), record.indices.tolist()), reason
    for checks in ("invalid", "alarms"):
        assert {k: {p: c.tolist() for p, c in t.items()} for k, t in getattr(got, checks).items()} == \
            {k: {p: c.tolist() for p, c in t.items()} for k, t in getattr(want, checks).items()}
    assert {k: v.tolist() for k, v in got.packet_index.items()} == {k: v.tolist() for k, v in want.packet_index.items()}


# -- streams ------------------------------------------------------------------------------------------


def _pipe(data):
    read, write = os.pipe()

    def feed():
        with open(write, "wb") as f:
            f.write(data)
    threading.Thread(target=feed, daemon=True).start()
    return open(read, "rb", buffering=0)  # unbuffered: reads return what the pipe holds


def _socket(data):
    ours, theirs = socket.socketpair()

    def feed():
        theirs.sendall(data)
        theirs.close()
    threading.Thread(target=feed, daemon=True).start()
    return ours


SOURCES = {
    "path": lambda data, tmp: (tmp / "packets.bin").write_bytes(data) and tmp / "packets.bin",
    "str path": lambda data, tmp: (tmp / "packets.bin").write_bytes(data) and str(tmp / "packets.bin"),
    "file": lambda data, tmp: __import__("io").BytesIO(data),
    "pipe": lambda data, tmp: _pipe(data),
    "socket": lambda data, tmp: _socket(data),
    "bytes": lambda data, tmp: data,
    "iterable": lambda data, tmp: (data[i:i + 777] for i in range(0, len(data), 777)),
}


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("cut", [0, 10], ids=["whole", "truncated"])
def test_a_stream_decodes_as_the_whole_buffer_does(jpss, jpss_data, source, cut, tmp_path):
    data = jpss_data[:len(jpss_data) - cut]
    want = quiet(jpss.decode_file, data)
    stream = jpss.iter_decode(SOURCES[source](data, tmp_path), chunk_bytes=50_001)  # cuts packets
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", DecodeWarning)
        results = list(stream)
    assert len(results) == -(-len(data) // 50_001) and stream.position == len(data)
    assert_same(bitloom_xtce.concat(results), want)
    if cut:  # reported once, at its offset in the stream, numbered after the 7199 whole packets
        record = results[-1].skipped["truncated at the end of the data"]
        assert (tuple(record), record.indices.tolist()) == ((1, len(data) - 71 + cut), [7199])
        assert len(caught) == 1 and caught[0].filename == __file__


def test_a_stream_with_prefixes_and_gaps_between_chunks(synthetic):
    counts = [16381, 16382, 16383, 0, 0, 3, 4, 7]  # wrap-around, a repeat, 2 missing, 2 missing
    data = b"".join(b"\xAA\xBB" + science(c, i) for i, c in enumerate(counts))
    want = synthetic.decode_file(data, prefix_bytes=2)
    assert want.gaps == {5: 4} and want.packets == 8
    for chunk in (1, 7, 31, 1000):
        results = list(synthetic.iter_decode(data, chunk_bytes=chunk, prefix_bytes=2))
        assert_same(bitloom_xtce.concat(results), want)
        assert sum(r.gaps[5] for r in results) == 4


@pytest.mark.parametrize("source, options, error, message", [
    (b"", {"chunk_bytes": 0}, ValueError, "chunk_bytes must be at least 1, not 0"),
    (b"", {"chunk_bytes": 1.5}, TypeError, "chunk_bytes must be an int, not float"),
    (b"", {"framing": "tm"}, ValueError, "framing 'tm' is not supported"),
    (b"", {"prefix_bytes": -1}, ValueError, "prefix_bytes must not be negative"),
    (12, {}, TypeError, "cannot read packets from int"),
    (["text"], {}, TypeError, "the iterable gave str, not bytes"),
    ("TEXT", {}, TypeError, "the file gives text"),
    ("MISSING", {}, FileNotFoundError, "No such file"),
])
def test_bad_streams_are_refused(synthetic, source, options, error, message, tmp_path):
    if source == "TEXT":
        (tmp_path / "t.bin").write_bytes(b"abc")
        source = open(tmp_path / "t.bin")
    elif source == "MISSING":
        source = tmp_path / "missing.bin"
    with pytest.raises(error, match=message):
        list(synthetic.iter_decode(source, **options))


PER_BLOCK = 16384  # 4 KiB packets of APID 8 (container Bulk), counts 0..16383, A counting up from 0


def _bulk(path, blocks):
    """`blocks` times 64 MiB of packets that follow on without a gap."""
    block = np.zeros((PER_BLOCK, 4096), dtype=np.uint8)
    block[:, 0:2] = np.frombuffer(struct.pack(">H", 8), dtype=np.uint8)
    counts = np.arange(PER_BLOCK, dtype=np.uint16) | 0xC000
    block[:, 2], block[:, 3] = counts >> 8, counts & 0xFF
    block[:, 4:6] = np.frombuffer(struct.pack(">H", 4096 - 7), dtype=np.uint8)
    block[:, 6:10] = np.arange(PER_BLOCK, dtype=">u4").view(np.uint8).reshape(-1, 4)
    with open(path, "wb") as f:
        for _ in range(blocks):
            f.write(block.data)


def test_a_stream_much_larger_than_its_memory(synthetic, tmp_path):
    """320 MB streamed in 4 MB chunks by a process whose peak resident memory grows by less than
    a fifth of that."""
    per_block = PER_BLOCK
    path = tmp_path / "big.bin"
    _bulk(path, 5)
    (tmp_path / "d.xml").write_text(DOCUMENT)
    script = """if True:
        import resource, sys, bitloom_xtce
        definition = bitloom_xtce.load(sys.argv[1])
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        packets, total, gaps = 0, 0, 0
        for result in definition.iter_decode(sys.argv[2], chunk_bytes=4 << 20):
            packets += result.packets
            total += int(result["Bulk"]["A"].sum(dtype="int64"))
            gaps += sum(result.gaps.values())
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(packets, total, gaps, (after - before) * 1024)
    """
    run = subprocess.run([sys.executable, "-c", script, str(tmp_path / "d.xml"), str(path)],
                         capture_output=True, text=True, env={**os.environ, "OPENBLAS_NUM_THREADS": "1"})
    assert run.returncode == 0, run.stderr
    packets, total, gaps, grown = map(int, run.stdout.split())
    assert (packets, total, gaps) == (5 * per_block, 5 * per_block * (per_block - 1) // 2, 0)
    assert grown < path.stat().st_size // 5, f"peak memory grew by {grown >> 20} MiB"


CLI_MEMORY = """if True:
    import resource, sys
    import pyarrow.parquet
    from bitloom_xtce._cli import main
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    status = main(sys.argv[1:])
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print("grown", (after - before) * 1024)
    sys.exit(status)
"""


def test_the_command_line_decodes_a_file_much_larger_than_its_memory(tmp_path):
    """The decode command over 320 MB, from a file and from standard input, in 4 MB chunks:
    peak resident memory grows by less than a fifth of the input; every packet in the Parquet
    file, a row group per chunk."""
    pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq
    path = tmp_path / "big.bin"
    _bulk(path, 5)
    (tmp_path / "d.xml").write_text(DOCUMENT)
    for via in ("file", "stdin"):
        out = tmp_path / via
        with open(path, "rb") as stdin:
            run = subprocess.run([sys.executable, "-c", CLI_MEMORY, str(tmp_path / "d.xml"),
                                  str(path) if via == "file" else "-", "--out", str(out), "--chunk-size", "4M"],
                                 stdin=stdin, capture_output=True, text=True,
                                 env={**os.environ, "OPENBLAS_NUM_THREADS": "1"}, timeout=600)
        assert run.returncode == 0, run.stderr
        grown = int(run.stdout.split("grown ")[1])
        assert f"{5 * PER_BLOCK} of {5 * PER_BLOCK} packets" in run.stdout
        assert grown < path.stat().st_size // 5, f"{via}: peak memory grew by {grown >> 20} MiB"
        table = pq.ParquetFile(out / "Bulk.parquet")
        assert table.metadata.num_row_groups == 80
        assert table.read(columns=["A"])["A"].to_numpy().sum(dtype=np.int64) == 5 * PER_BLOCK * (PER_BLOCK - 1) // 2


# -- segmented packets and sequence gaps --------------------------------------------------------------


@pytest.mark.parametrize("apids, counts, gaps", [
    ([], [], {}),
    ([5, 5, 5], [7, 8, 9], {5: 0}),
    ([5, 5, 5], [7, 9, 12], {5: 3}),
    ([5, 5, 5], [16382, 16383, 0], {5: 0}),  # wraps around
    ([5, 5], [16383, 2], {5: 2}),
    ([5, 5, 5], [7, 7, 8], {5: 0}),  # a repeat is no gap
    ([5, 5], [9, 8], {5: 16382}),  # one back: all the others missing
    ([1, 2, 1, 2, 1], [0, 100, 1, 103, 5], {1: 3, 2: 2}),  # per APID, interleaved
])
def test_sequence_gaps(apids, counts, gaps):
    assert sequence_gaps(np.array(apids, dtype=np.uint16), np.array(counts, dtype=np.uint16)) == gaps


@given(st.lists(st.tuples(st.integers(0, 3), st.integers(0, 16383)), min_size=1, max_size=16))
def test_a_few_packets_counted_in_python_as_in_columns(packets):
    apids, counts = np.array([a for a, _ in packets], np.uint16), np.array([c for _, c in packets], np.uint16)
    few = _few_gaps(apids.tolist(), counts.tolist())
    columns = gaps_and_ends(apids, counts)
    assert [list(d.items()) for d in few] == [list(d.items()) for d in columns]


@pytest.mark.parametrize("count", [0, 1, 16, 17, 40])
@pytest.mark.parametrize("tail", [b"", b"\x08\x01\xc0", bytes([8, 1, 0xC0, 0, 0, 9]) + b"ab"])  # cut header, cut body
def test_a_few_packets_framed_as_many(count, tail, monkeypatch):
    data = b"".join(packet(5, i, bytes(i % 5 + 1)) for i in range(count)) + tail
    few = _frame(data, "ccsds", 0)
    monkeypatch.setattr(_definition, "_FEW_PACKETS", -1)
    many = _frame(data, "ccsds", 0)
    assert few[0].dtype == many[0].dtype and few[1].dtype == many[1].dtype
    assert few[0].tolist() == many[0].tolist() and few[1].tolist() == many[1].tolist()
    assert {k: [a.tolist() for a in v] for k, v in few[2].items()} == {k: [a.tolist() for a in v] for k, v in many[2].items()}


def test_sequence_gaps_refuses_mismatched_arrays():
    with pytest.raises(ValueError, match="same length"):
        sequence_gaps(np.zeros(3), np.zeros(2))


WHOLE = struct.pack(">III", 0x01020304, 0x05060708, 0x090A0B0C)


@pytest.mark.parametrize("stream, values, lost", [
    # whole packets and two reassembled ones, one with a packet of another APID among its segments
    ([science(0, 1), *segments(5, 1, WHOLE, [2, 7]), packet(6, 0, b"\x00\x09"), *segments(5, 4, WHOLE, [11]),
      packet(6, 1, b"\x00\x09")], [1, 0x01020304, 0x01020304], 0),
    # the middle segment lost: the count jumps
    ([*segments(5, 0, WHOLE, [2, 7])[::2], science(3, 9)], [9], 1),
    # the first lost; then the last lost (a new first comes); then one still open at the end
    ([*segments(5, 0, WHOLE, [2, 7])[1:], *segments(5, 3, WHOLE, [5])[:1], *segments(5, 4, WHOLE, [6])[:1]],
     [], 3),
    # out of order: one packet lost, counted once
    ([*(lambda s: [s[0], s[2], s[1]])(segments(5, 0, WHOLE, [2, 7])), science(3, 4)], [4], 1),
    # a lone continuation then a last: one packet lost, counted once
    ([packet(5, 0, b"ab", 0), packet(5, 1, b"cd", 2)], [], 1),
])
def test_segmented_packets_are_reassembled_or_counted_lost(synthetic, stream, values, lost):
    data = b"".join(stream)
    whole = quiet(synthetic.decode_file, data, segmented=True)
    assert whole.packets == len(values) + lost + len(whole.get("Other", {}).get("X", []))
    assert whole.get("Science", {}).get("A", np.array([])).tolist() == values
    assert whole.skipped.get(LOST_SEGMENT, (0,))[0] == lost
    if values and values[-1] == 0x01020304:
        assert (whole["Science"]["C"][-1], whole["Science"]["LEN"][-1], whole["Science"]["SEQF"][-1]) == \
            (0x090A0B0C, 11, 1)  # the first segment's header, its length field set for the whole
        # each reassembled packet in the place of its last segment
        assert {k: v.tolist() for k, v in whole.packet_index.items()} == {"Science": [0, 1, 3], "Other": [2, 4]}
    for chunk in (5, 13, 64):  # segments carried from chunk to chunk
        assert_same(quiet(lambda: bitloom_xtce.concat(synthetic.iter_decode(data, chunk_bytes=chunk,
                                                                            segmented=True))), whole)


def test_lost_segments_are_reported_at_their_first_byte(synthetic):
    head = science(0, 1)
    data = head + b"".join(segments(5, 1, WHOLE, [4])[:1]) + science(2, 3)
    with pytest.warns(DecodeWarning, match=f"1 {LOST_SEGMENT} \\(first at byte {len(head)}\\)"):
        result = synthetic.decode_file(data, segmented=True)
    assert result["Science"]["A"].tolist() == [1, 3]
    unsegmented = quiet(synthetic.decode_file, data)  # each segment on its own: too short
    assert unsegmented.skipped == {"too short for container 'Science'": (1, len(head))}


def test_a_reassembled_packet_longer_than_a_space_packet(synthetic):
    body = bytes(range(256)) * 273 + bytes(112)  # 70 000 bytes
    parts = segments(7, 16380, body + b"\x00\x00\x00\x2A", [60_000])  # counts wrap between them
    result = synthetic.decode_file(b"".join(parts), segmented=True)
    big = result["Big"]
    assert (big["BODY"][0], big["A"][0], big["LEN"][0]) == (body, 42, 0xFFFF)


# -- many files -----------------------------------------------------------------------------------------


def test_a_definition_pickles_as_its_document(jpss, jpss_data):
    copy = pickle.loads(pickle.dumps(jpss))
    assert copy is not jpss and copy.root == jpss.root
    assert pickle.loads(pickle.dumps(jpss)) is copy  # loaded once per process
    assert_same(copy.decode_file(jpss_data[:7100]), jpss.decode_file(jpss_data[:7100]))
    assert len(pickle.dumps(jpss)) < len((DATA / "jpss1_geolocation_xtce_v1.xml").read_bytes()) + 200


@pytest.mark.parametrize("placed, mapped", [(True, True), (True, False), (False, False)],
                         ids=["columns placed and mapped", "placed, small ones read", "small files joined"])
def test_many_files_decode_as_one_stream(synthetic, tmp_path, monkeypatch, placed, mapped):
    import mmap
    from bitloom_xtce import _stream
    if placed:  # as for large files: the rows of each written where the whole column's go
        monkeypatch.setattr(_stream, "_PLACED_FILES", 0)
    if mapped:  # every column a mapping of the file its rows were placed in
        monkeypatch.setattr(_stream, "_MAPPED", 1)
    # gaps of 2 (APID 6) and 2 (APID 5); the first file holds only the second container
    files = [[packet(6, 0, b"\x00\x01")], [science(0, 10), science(1, 11), science(4, 12)],
             [packet(6, 3, b"\x00\x02"), science(5, 13)[:-1]]]
    paths = []
    for i, packets in enumerate(files):
        paths.append(tmp_path / f"part{i}.bin")
        paths[-1].write_bytes(b"".join(packets))
    whole = quiet(synthetic.decode_file, b"".join(b"".join(p) for p in files))
    assert whole.gaps == {5: 2, 6: 2}
    for workers in (1, 2):
        with pytest.warns(DecodeWarning, match="1 of 6 packets not decoded"):
            result = bitloom_xtce.decode_files(str(tmp_path / "part*.bin"), synthetic, workers=workers)
        assert_same(result, whole)
        memory = result["Science"]["A"]
        while isinstance(memory, np.ndarray):
            memory = memory.base
        assert isinstance(getattr(memory, "obj", memory), mmap.mmap) == mapped
        assert result.attributes == {"A": {"units": "V", "description": "first value"},
                                     "B": {"units": "V"}, "C": {"units": "V"}}


def test_each_result_has_attributes_of_its_own(synthetic):
    # Made on first use from what the definition keeps: changing one result's changes no other's,
    # and a pickle or a copy carries them.
    data = science(0, 1, 2, 3)
    first, second = quiet(synthetic.decode_file, data), quiet(synthetic.decode_file, data)
    expected = {"A": {"units": "V", "description": "first value"}, "B": {"units": "V"}, "C": {"units": "V"}}
    first.attributes["A"]["units"] = "mV"
    del first.attributes["B"]
    assert second.attributes == expected and quiet(synthetic.decode_file, data).attributes == expected
    for made in (pickle.loads(pickle.dumps(first)), copy.deepcopy(first), copy.copy(first)):
        assert made.attributes == first.attributes and "_shared_attributes" not in made.__dict__
    fresh = quiet(synthetic.decode_file, data)
    assert pickle.loads(pickle.dumps(fresh)).attributes == expected  # made before pickling
    fresh.attributes = {}
    assert fresh.attributes == {}


def _idex():
    definition = bitloom_xtce.load(gzip.decompress((DATA / "idex_combined_science_definition.xml.gz").read_bytes()))
    return definition, gzip.decompress((DATA / "idex_packets.bin.gz").read_bytes())


def _housekeeping():
    definition = bitloom_xtce.load(DATA / "housekeeping.xml")
    n = 90
    columns = {"TIME": np.arange(n, dtype=np.uint32) * 1000, "BATTERY_TEMP": np.arange(n, dtype=np.uint16),
               "BUS_VOLTAGE": np.full(n, 300, dtype=np.uint16), "MODE": np.arange(n, dtype=np.uint8) % 3,
               "HEATER_ON": np.arange(n, dtype=np.uint8) % 2, "LABEL": [b"NOMINAL "] * n}
    return definition, definition.encode_many("Housekeeping", columns, raw=True)


@pytest.mark.parametrize("make", [_idex, _housekeeping], ids=["text and bytes", "times and booleans"])
def test_many_files_with_columns_of_every_type(make, tmp_path, monkeypatch):
    """Columns not placed as plain numbers (numpy text, bytes objects) join too, and times and
    booleans are placed as numbers."""
    import bitloom
    from bitloom_xtce import _stream
    monkeypatch.setattr(_stream, "_PLACED_FILES", 0)
    monkeypatch.setattr(_stream, "_MAPPED", 1)
    definition, data = make()
    cuts = [0, *bitloom.packet_offsets(data)[[20, 50]].tolist(), len(data)]
    for i, (a, b) in enumerate(zip(cuts, cuts[1:])):
        (tmp_path / f"part{i}.bin").write_bytes(data[a:b])
    for workers in (1, 2):
        assert_same(bitloom_xtce.decode_files(str(tmp_path / "part*.bin"), definition, workers=workers),
                    definition.decode_file(data))


def test_the_fork_server_preloads_only_the_copy_this_process_runs(monkeypatch, tmp_path):
    """Workers forked from a server that imported another copy of the package (one sys.path
    finds only at run time) would run that copy's code: no preloading then."""
    from bitloom_xtce import _stream
    (tmp_path / "bitloom_xtce").mkdir()
    (tmp_path / "bitloom_xtce" / "__init__.py").write_text("")
    monkeypatch.setattr(_stream, "__file__", str(tmp_path / "bitloom_xtce" / "_stream.py"))
    assert not _stream._found_at_start()  # a new interpreter finds the package elsewhere
    monkeypatch.chdir(tmp_path)  # where a new interpreter started here looks first
    assert _stream._found_at_start() == (not sys.flags.safe_path and not sys.flags.isolated)


def test_a_file_that_fails_in_a_worker_releases_those_after_it(synthetic, tmp_path):
    """The worker of a later file waits for the files before it to count their rows: one that
    fails instead tells it to give up rather than leave it waiting."""
    import multiprocessing
    from bitloom_xtce import _stream
    (tmp_path / "good.bin").write_bytes(science(0, 1))
    context = multiprocessing.get_context("forkserver")
    names = list(synthetic._containers)
    _stream._start_worker(context.Condition(), context.RawArray("q", 2 * (len(names) + 2)), names)
    options = ("ccsds", False, 0, "skip", False)
    outcome = []
    later = threading.Thread(target=lambda: outcome.append(pytest.raises(
        _stream._EarlierFileFailed, _stream._decode_placed, synthetic, 1, str(tmp_path / "good.bin"), str(tmp_path),
        options)), daemon=True)
    later.start()
    with pytest.raises(FileNotFoundError):
        _stream._decode_placed(synthetic, 0, str(tmp_path / "gone.bin"), str(tmp_path), options)
    later.join(timeout=30)
    assert not later.is_alive() and len(outcome) == 1


@pytest.mark.parametrize("paths, options, error, message", [
    ("nothing*.bin", {}, FileNotFoundError, "no file matches"),
    (["missing.bin"], {}, FileNotFoundError, "missing.bin: no such file"),
    ([], {}, ValueError, "no files given"),
    (["a.bin"], {"workers": 0}, ValueError, "workers must be at least 1"),
    (["a.bin"], {"framing": "fixed"}, ValueError, "framing 'fixed' is not supported"),
    (12, {}, TypeError, "paths must be a path, a glob pattern or an iterable of paths, not int"),
    (["a.bin"], {"definition": "d.xml"}, TypeError, "definition must be a bitloom_xtce.Definition, not str"),
])
def test_bad_file_lists_are_refused(synthetic, tmp_path, monkeypatch, paths, options, error, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a.bin").write_bytes(science(0, 1))
    options = {"definition": synthetic, **options}
    with pytest.raises(error, match=message):
        bitloom_xtce.decode_files(paths, **options)


def test_dask_partitions_on_a_local_cluster(jpss, jpss_data, tmp_path):
    pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    import bitloom_xtce.dask
    (tmp_path / "a.bin").write_bytes(jpss_data)
    (tmp_path / "b.bin").write_bytes(jpss_data[:100 * 71 + 30])  # a cut packet at the end
    frames = bitloom_xtce.dask.read_packets(tmp_path / "*.bin", jpss, blocksize=200_000)
    frame = frames["JPSS_ATT_EPHEM"]
    assert frame.npartitions == 4  # a.bin in three pieces of whole packets, b.bin in one
    want = quiet(bitloom_xtce.decode_files, [tmp_path / "a.bin", tmp_path / "b.bin"], jpss, workers=1)
    want = want.to_pandas()["JPSS_ATT_EPHEM"]
    assert frame.dtypes.to_dict() == want.dtypes.to_dict()  # known before any packet is read
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit="1GiB",
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        got = frame.compute()
    import pandas
    pandas.testing.assert_frame_equal(got.reset_index(drop=True), want)


# -- tables ------------------------------------------------------------------------------------------


def hand_made():
    """A result with a column of each kind the tables must carry: masked, 2-D and ragged too."""
    result = FileResult()
    ragged = np.empty(3, dtype=object)
    ragged[:] = [np.array([1, 2], dtype=np.uint16), None, np.array([3], dtype=np.uint16)]
    binary = np.empty(3, dtype=object)
    binary[:] = [b"\x00\x01", b"", b"\xff"]
    result["P"] = {
        "n": np.array([1, 2, 3], dtype=np.uint16),
        "f": np.array([0.5, np.nan, -1], dtype=np.float32),
        "text": np.array(["a", None, "c"], dtype=np.dtypes.StringDType(na_object=None)),
        "bin": binary,
        "grid": np.arange(6, dtype=np.int16).reshape(3, 2),
        "ragged": ragged,
        "opt": np.ma.MaskedArray(np.array([7, 8, 9], dtype=np.int64), [False, True, False]),
        "optf": np.ma.MaskedArray(np.array([1.5, np.nan, 3], dtype=np.float64), [False, False, True]),
        "opttext": np.ma.MaskedArray(np.array(["x", "y", "z"], dtype=np.dtypes.StringDType()), [True, False, False]),
        "optgrid": np.ma.MaskedArray(np.arange(6, dtype=np.uint8).reshape(3, 2), [[0, 1], [0, 0], [1, 1]]),
    }
    result.packets, result.skipped, result.gaps = 3, {}, {}
    result.attributes = {"n": {"units": "V", "description": "bus voltage"}, "grid": {"units": "K"}}
    return result


EXPECTED = {  # what each column holds, as Python values (None: absent)
    "n": [1, 2, 3], "text": ["a", None, "c"], "bin": [b"\x00\x01", b"", b"\xff"],
    "grid": [[0, 1], [2, 3], [4, 5]], "ragged": [[1, 2], None, [3]], "opt": [7, None, 9],
    "optf": [1.5, float("nan"), None], "opttext": [None, "y", "z"], "optgrid": [[0, None], [2, 3], None],
}


def test_arrow_tables_carry_every_kind_of_column_and_its_units():
    pa = pytest.importorskip("pyarrow")
    result = hand_made()
    table = result.to_arrow()["P"]
    rows = table.to_pydict()
    for key, values in EXPECTED.items():
        assert str(rows[key]) == str(values), key  # str: NaN equals NaN
    types = {f.name: str(f.type) for f in table.schema}
    assert types == {"n": "uint16", "f": "float", "text": "string", "bin": "binary",
                     "grid": "fixed_size_list<item: int16>[2]", "ragged": "list<item: uint16>", "opt": "int64",
                     "optf": "double", "opttext": "string", "optgrid": "fixed_size_list<item: uint8>[2]"}
    assert table.schema.field("n").metadata == {b"units": b"V", b"description": b"bus voltage"}
    column = result["P"]["n"]
    assert table.column("n").chunk(0).buffers()[1].address == column.ctypes.data  # no copy
    grid = result["P"]["grid"]
    assert table.column("grid").chunk(0).values.buffers()[1].address == grid.ctypes.data
    assert isinstance(table, pa.Table)


def test_pandas_frames_keep_absent_values_and_arrays():
    pd = pytest.importorskip("pandas")
    result = hand_made()
    frame = result.to_pandas()["P"]
    assert np.shares_memory(frame["n"].to_numpy(), result["P"]["n"])  # no copy
    assert str(frame["opt"].dtype) == "Int64" and frame["opt"].isna().tolist() == [False, True, False]
    assert str(frame["n"].dtype) == "uint16" and frame["text"].isna().tolist() == [False, True, False]
    assert frame["optf"].isna().tolist() == [False, False, True] and np.isnan(frame["optf"][1])  # NaN is a value
    assert [r.tolist() for r in frame["grid"]] == EXPECTED["grid"]
    assert frame["bin"].tolist() == EXPECTED["bin"] and frame["ragged"][1] is None
    assert isinstance(frame, pd.DataFrame)


def test_xarray_datasets_have_a_packet_dimension_and_attributes():
    pytest.importorskip("xarray")
    data = hand_made().to_xarray()["P"]
    assert data["grid"].dims == ("packet", "grid_index") and data["grid"].attrs == {"units": "K"}
    assert data["n"].attrs == {"units": "V", "description": "bus voltage"} and data.attrs == {"container": "P"}
    assert data["opt"].values.tolist() == [7, None, 9]  # 64-bit integers: not all exact in a float
    assert data["opttext"].isnull().values.tolist() == [True, False, False]
    assert np.isnan(data["optgrid"].values[2]).all() and data.sizes["packet"] == 3


def test_parquet_written_a_chunk_at_a_time(jpss, jpss_data, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    results = list(jpss.iter_decode(jpss_data, chunk_bytes=200_000))
    with bitloom_xtce.ParquetTables(tmp_path) as writer:
        for result in results:
            writer.write(result)
    path = writer.paths["JPSS_ATT_EPHEM"]
    assert pq.ParquetFile(path).num_row_groups == len(results) == 3
    table = pq.read_table(path)
    assert table.to_pydict() == bitloom_xtce.concat(results).to_arrow()["JPSS_ATT_EPHEM"].to_pydict()
    assert table.schema.field("ADGPSPOSX").metadata == {b"units": b"m", b"description": b"Ephemeris Position (ECEF) X"}
    # a second kind of column in a later chunk is made to fit the file's types, or refused
    hand = hand_made()
    with bitloom_xtce.ParquetTables(tmp_path / "h") as writer:
        writer.write(hand)
        hand["P"]["n"] = hand["P"]["n"].astype(np.uint8)
        writer.write(hand)
        hand["P"]["n"] = np.array(["x"] * 3)
        with pytest.raises(ValueError, match="container 'P': these columns do not fit"):
            writer.write(hand)
    assert pq.read_table(writer.paths["P"]).num_rows == 6
    # file names safe from any container name, none written over another
    with bitloom_xtce.ParquetTables(tmp_path / "n") as writer:
        for name in ("../up", "HK", "hk"):
            writer.write(FileResult({name: hand["P"]}))
    assert sorted(p.name for p in (tmp_path / "n").iterdir()) == \
        sorted(pathlib.Path(p).name for p in writer.paths.values()) and len(writer.paths) == 3
    assert pathlib.Path(writer.paths["HK"]).name == "HK.parquet"


def _lists(value):
    """A column's values as Python values, arrays within it as lists."""
    value = value.tolist() if isinstance(value, np.ndarray) else value
    return [_lists(v) for v in value] if isinstance(value, list) else value


@pytest.mark.parametrize("case", __import__("test_xtce_structures").CASES)
def test_structured_columns_stream_and_convert(case):
    """Aggregates, arrays, repeats and conditions: chunks join to the whole file's result, and
    the tables take the columns decoding makes, Arrow (as the command line writes it) with the
    values of the columns."""
    structures = __import__("test_xtce_structures")
    types, parameters, entries, packets = structures.CASES[case]
    definition = bitloom_xtce.load(structures.document(types, structures.HEADER | parameters,
                                                      structures.HEAD + entries))
    data = b"".join(structures.ccsds(body) for body, _ in packets)
    whole = quiet(definition.decode_file, data)
    chunks = quiet(list, definition.iter_decode(data, chunk_bytes=len(data) // 3 + 1))
    joined = bitloom_xtce.concat(chunks)
    for key, column in whole["P"].items():
        assert str(joined["P"][key].tolist()) == str(column.tolist()), key
    table = whole.to_arrow()["P"]
    for key, column in whole["P"].items():
        assert table.column(key).to_pylist() == _lists(column), key
    assert len(whole.to_pandas()["P"]) == len(whole.to_xarray()["P"]["packet"]) == len(packets)


def test_concat_joins_each_kind_of_column():
    joined = bitloom_xtce.concat([hand_made(), hand_made()])
    assert joined.packets == 6 and joined["P"]["grid"].shape == (6, 2)
    assert isinstance(joined["P"]["opt"], np.ma.MaskedArray) and joined["P"]["opt"].mask.tolist() == [0, 1, 0] * 2
    assert joined["P"]["ragged"][4] is None and joined["P"]["text"].tolist() == ["a", None, "c"] * 2
    other = hand_made()
    del other["P"]["n"]
    with pytest.raises(ValueError, match="container 'P' has different columns"):
        bitloom_xtce.concat([hand_made(), other])
