"""bitloom_xtce against space_packet_parser on the peer's own test data: every packet of every
file, every parameter, raw and calibrated, floats bit for bit; one packet at a time and as
columns from decode_file.

One difference is by design: a FloatParameterType whose raw value is an integer (JPSS's DOY,
MSEC, USEC; SUDA/IDEX's SHCOARSE, SHFINE) has a float engineering value here, as its type says;
the peer hands back the raw int unchanged. The values are equal as numbers; the test checks that
this is the only difference.
"""
import gzip
import pathlib
import struct
import warnings

import numpy as np
import pytest

import bitloom_xtce

spp = pytest.importorskip("space_packet_parser")
from space_packet_parser.exceptions import UnrecognizedPacketTypeError  # noqa: E402
from space_packet_parser.generators import ccsds_generator  # noqa: E402

DATA = pathlib.Path(__file__).resolve().parent / "data" / "xtce"

# name: (definition, packets, bytes before each packet, the peer's root container)
FILES = {
    "jpss": ("jpss1_geolocation_xtce_v1.xml", "jpss_packets.bin.gz", 0, "CCSDSPacket"),
    "ctim": ("ctim_xtce_v1.xml.gz", "ctim_packets.bin.gz", 0, "CCSDSTelemetryPacket"),
    "suda": ("idex_combined_science_definition.xml.gz", "suda_packets.bin.gz", 4, "CCSDSPacket"),
    "idex": ("idex_combined_science_definition.xml.gz", "idex_packets.bin.gz", 0, "CCSDSPacket"),
}
PACKETS = {"jpss": 7200, "ctim": 1499, "suda": 13, "idex": 78}


def read(name):
    path = DATA / name
    return gzip.decompress(path.read_bytes()) if name.endswith(".gz") else path.read_bytes()


def bits(value):
    return struct.pack("<d", float(value))


@pytest.fixture(scope="module", params=list(FILES))
def case(request, tmp_path_factory):
    """The file's packets, the peer's result for each (None where it recognises none), and ours."""
    definition, packets, prefix, root = FILES[request.param]
    xml = tmp_path_factory.mktemp("xtce") / "definition.xml"
    xml.write_bytes(read(definition))
    data = read(packets)
    peer = spp.load_xtce(xml)
    results = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the peer warns for every CTIM packet longer than its container
        for packet in ccsds_generator(data, skip_header_bytes=prefix):
            try:
                results.append((bytes(packet), peer.parse_bytes(packet, root_container_name=root)))
            except UnrecognizedPacketTypeError:
                results.append((bytes(packet), None))
    ours = bitloom_xtce.load(xml)
    return request.param, ours, data, prefix, results


def float_typed_integers(definition):
    return {name for name, p in definition.parameters.items()
            if p.type.kind == "float" and type(p.type.encoding).__name__ == "IntegerEncoding"}


def plain(value):
    """The peer's value (an int, float, str or bytes subclass) as the plain type."""
    return next(t for t in (bool, bytes, int, float, str) if isinstance(value, t))(value)


def assert_same(ours, theirs, where):
    if isinstance(theirs, float):
        assert isinstance(ours, float) and bits(ours) == bits(theirs), (where, ours, theirs)
    else:
        assert type(ours) is type(theirs) and ours == theirs, (where, ours, theirs)


def test_every_packet_every_parameter(case):
    name, definition, _, _, results = case
    assert len(results) == PACKETS[name]
    floats = float_typed_integers(definition)
    assert all(p is not None for _, p in results)
    for i, (packet, peer) in enumerate(results):
        values = definition.decode(packet)
        raws = definition.decode(packet, raw=True)
        assert list(values) == list(peer) == list(raws), i
        for key, theirs in peer.items():
            assert_same(raws[key], plain(getattr(theirs, "raw_value", theirs)), (i, key, "raw"))
            base = plain(theirs)
            if key in floats:  # the one difference by design: see the module's docstring
                assert type(base) is int and isinstance(values[key], float) and values[key] == base
            else:
                assert_same(values[key], base, (i, key))


def test_columns_equal_the_peer_container_by_container(case):
    name, definition, data, prefix, results = case
    rows: dict[str, list] = {}
    for packet, peer in results:
        rows.setdefault(definition.decode_with_container(packet)[0], []).append(peer)
    for raw in (False, True):
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # every packet of these files decodes
            columns = definition.decode_file(data, raw=raw, prefix_bytes=prefix)
        assert list(columns) == [c for c in definition.concrete() if c in rows]
        assert columns.packets == PACKETS[name] and columns.skipped == {}
        for container, peers in rows.items():
            table = columns[container]
            assert list(table) == list(peers[0])
            for key, column in table.items():
                assert len(column) == len(peers)
                theirs = [getattr(p[key], "raw_value", p[key]) if raw else p[key] for p in peers]
                if column.dtype.kind == "f":
                    assert np.array_equal(column.astype(np.float64).view(np.uint64),
                                          np.array(theirs, dtype=np.float64).view(np.uint64)), (container, key)
                elif column.dtype.kind in "iub":
                    assert column.tolist() == [int(t) if column.dtype.kind != "b" else bool(t) for t in theirs]
                else:
                    assert [bytes(v) if isinstance(v, bytes) else str(v) for v in column.tolist()] == \
                        [bytes(t) if isinstance(t, bytes) else str(t) for t in theirs], (container, key)


def test_the_peer_needs_the_root_container_named_where_it_is_not_ccsdspacket(tmp_path):
    # CTIM's root container is CCSDSTelemetryPacket; the peer looks for CCSDSPacket unless told.
    xml = tmp_path / "ctim.xml"
    xml.write_bytes(read("ctim_xtce_v1.xml.gz"))
    packet = next(ccsds_generator(read("ctim_packets.bin.gz")))
    with pytest.raises(KeyError, match="CCSDSPacket"):
        spp.load_xtce(xml).parse_bytes(packet)
    assert bitloom_xtce.load(xml).root == "CCSDSTelemetryPacket"
