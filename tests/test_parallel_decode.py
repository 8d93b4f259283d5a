"""examples/parallel_decode.py: a packet file decoded by worker processes into a Parquet dataset
equals the values packed, packet for packet."""
import concurrent.futures
import math
import pathlib
import sys

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

import bitloom  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
import make_sample  # noqa: E402
import parallel_decode  # noqa: E402
from space_packets import FIELDS, all_values, unpack_recipe  # noqa: E402

COUNT = 230


@pytest.fixture(scope="module")
def packets(tmp_path_factory):
    return make_sample.build(tmp_path_factory.mktemp("packets") / "hk.bin", COUNT)


def same(a, b):
    return a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b))


def test_worker_processes_write_every_packet_exactly(packets, tmp_path):
    out = tmp_path / "decoded"
    with parallel_decode.process_pool(2) as executor:
        count, parts = parallel_decode.decode_file(packets, out, executor, unpack_recipe(),
                                                   chunk_packets=40)
    assert count == COUNT and len(parts) == 6  # five chunks of 40, one of 30
    table = pq.read_table(out)
    assert table.column_names == [name for name, *_ in FIELDS]
    rows = table.to_pylist()
    assert len(rows) == COUNT
    for index, (row, want) in enumerate(zip(rows, all_values(COUNT))):
        bad = {k: (row[k], v) for k, v in want.items() if not same(row[k], v)}
        assert not bad, (index, bad)


def test_refuses_to_mix_with_an_earlier_dataset(packets, tmp_path):
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as executor:
        parallel_decode.decode_file(packets, tmp_path, executor, unpack_recipe(), chunk_packets=100)
        with pytest.raises(FileExistsError):
            parallel_decode.decode_file(packets, tmp_path, executor, unpack_recipe())
        # A rerun with fewer, larger chunks must not leave the old parts behind.
        parallel_decode.decode_file(packets, tmp_path, executor, unpack_recipe(),
                                    chunk_packets=1000, overwrite=True)
    assert [p.name for p in tmp_path.glob("*.parquet")] == ["part-00000.parquet"]
    assert pq.read_table(tmp_path).num_rows == COUNT


def variable_packets(lengths):
    """Space packets whose data fields are `length` bytes long, each data byte its packet number."""
    out = []
    for index, length in enumerate(lengths):
        header = bitloom.pack_parameters([
            dict(name="apid", encoding="unsigned", bits=11, byte_order="big", reverse_bits=False,
                 offset_bits=5, value=100),
            dict(name="count", encoding="unsigned", bits=14, byte_order="big", reverse_bits=False,
                 offset_bits=18, value=index),
            dict(name="length", encoding="unsigned", bits=16, byte_order="big", reverse_bits=False,
                 value=length - 1),
        ])
        out.append(header + bytes([index % 256]) * length)
    return b"".join(out)


RECIPE = [
    dict(name="apid", encoding="unsigned", bits=11, byte_order="big", reverse_bits=False,
         offset_bits=5),
    dict(name="count", encoding="unsigned", bits=14, byte_order="big", reverse_bits=False,
         offset_bits=18),
    dict(name="length", encoding="unsigned", bits=16, byte_order="big", reverse_bits=False),
    dict(name="first", encoding="unsigned", bits=8, byte_order="big", reverse_bits=False),
]


def test_chunks_follow_the_packet_lengths(tmp_path):
    lengths = [1, 7, 300, 2, 65536, 5, 1, 90, 4]
    path = tmp_path / "var.bin"
    path.write_bytes(variable_packets(lengths))
    chunks = parallel_decode.packet_chunks(path, 4)
    assert [(c.first_packet, c.packets) for c in chunks] == [(0, 4), (4, 4), (8, 1)]
    assert sum(c.size for c in chunks) == path.stat().st_size
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as executor:
        count, _ = parallel_decode.decode_file(path, tmp_path / "out", executor, RECIPE,
                                               chunk_packets=2)
    table = pq.read_table(tmp_path / "out")
    assert count == len(lengths)
    assert table.column("count").to_pylist() == list(range(len(lengths)))
    assert table.column("length").to_pylist() == [n - 1 for n in lengths]
    assert table.column("first").to_pylist() == list(range(len(lengths)))
    assert table.schema.field("count").type == pa.uint16()


@pytest.mark.parametrize("cut", [1, 3, 6 + 1])
def test_a_truncated_file_is_refused(tmp_path, cut):
    data = variable_packets([10, 10])
    path = tmp_path / "cut.bin"
    path.write_bytes(data[:-cut])
    with pytest.raises(ValueError, match=r"packet 1 at byte 16|truncated packet header at byte 16"):
        parallel_decode.packet_chunks(path, 100)


def test_column_types_hold_every_decoded_value():
    cases = {
        ("unsigned", 1): pa.uint8(), ("unsigned", 9): pa.uint16(), ("unsigned", 64): pa.uint64(),
        ("twos_complement", 12): pa.int16(), ("SIGN_MAGNITUDE", 33): pa.int64(),
        ("packed-bcd-signed", 16): pa.int64(), ("ieee754_f16", 16): pa.float32(),
        ("ieee754-f64", 64): pa.float64(), ("UTF-16LE", 32): pa.string(),
        ("latin1", 8): pa.string(),
    }
    for (encoding, bits), want in cases.items():
        assert parallel_decode.arrow_type(encoding, bits) == want, (encoding, bits)


def test_demo_plot_draws_the_decoded_columns(packets, tmp_path):
    """The demo's picture: three panels over packet time, from unpack_columns' own arrays."""
    pytest.importorskip("matplotlib")
    import demo
    columns = bitloom.unpack_columns(packets.read_bytes(), unpack_recipe())
    demo.plot(columns, tmp_path / "hk.png")
    assert (tmp_path / "hk.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
