"""unpack_columns and packet_offsets: the columns equal a loop of unpack_parameters calls, value
for value, and fail where that loop fails first, with its message after the packet's place."""
import mmap
import struct
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import bitloom

READER_ENCODINGS = [
    "unsigned", "sign_magnitude", "ones_complement", "twos_complement", "bcd", "bcd_signed",
    "packed_bcd", "packed_bcd_signed", "ieee754_f16", "ieee754_f32", "ieee754_f64", "ieee754_f128",
    "ieee754_1985_f32", "ieee754_1985_f64", "ieee754_1985_f80", "mil_std_1750a_f32",
    "mil_std_1750a_f48", "ti_f32", "ti_f40", "dec_f32", "dec_f64", "ibm_f32", "ibm_f64", "utf8",
    "utf16", "utf32", "utf16le", "utf16be", "utf32le", "utf32be", "us_ascii", "latin1",
    "windows_1252",
]
TEXT = set(READER_ENCODINGS[READER_ENCODINGS.index("utf8"):])


def expected_dtype(encoding, bits):
    width = 8 if bits <= 8 else 16 if bits <= 16 else 32 if bits <= 32 else 64
    if encoding == "unsigned":
        return np.dtype(f"uint{width}")
    if encoding in ("sign_magnitude", "ones_complement", "twos_complement"):
        return np.dtype(f"int{width}")
    if encoding in ("bcd", "packed_bcd"):
        return np.dtype("uint64")
    if encoding in ("bcd_signed", "packed_bcd_signed"):
        return np.dtype("int64")
    if encoding in ("ieee754_f16", "ieee754_f32"):
        return np.dtype("float32")
    if encoding in TEXT:
        return np.dtypes.StringDType()
    return np.dtype("float64")


def item(name, encoding, bits, byte_order="big", reverse=False, offset=None):
    out = dict(name=name, encoding=encoding, bits=bits, byte_order=byte_order, reverse_bits=reverse)
    if offset is not None:
        out["offset_bits"] = offset
    return out


def loop(data, recipe, offsets, offset_bits=0):
    """The reference: one unpack_parameters call per packet. Returns (rows, failure)."""
    rows = []
    for index, offset in enumerate(offsets):
        try:
            rows.append(bitloom.unpack_parameters(bytes(data), 8 * offset + offset_bits, recipe))
        except (ValueError, bitloom.InternalFault) as error:
            return rows, f"packet {index} at byte {offset}: {error}"
    return rows, None


def same(value, column, index):
    """The column's element equals the loop's value, floats bit for bit in the column's width."""
    if column.dtype.kind == "f":
        code = "<f" if column.dtype.itemsize == 4 else "<d"
        return struct.pack(code, value) == column[index:index + 1].astype(code).tobytes()
    got = column[index].item() if column.dtype.kind != "T" else column[index]
    return type(got) is type(value) and got == value


def check_against_loop(data, recipe, starts, **kwargs):
    rows, failure = loop(data, recipe, starts, kwargs.get("offset_bits", 0))
    if failure is not None:
        with pytest.raises(ValueError) as raised:
            bitloom.unpack_columns(data, recipe, **kwargs)
        assert str(raised.value) == failure
        return None
    cols = bitloom.unpack_columns(data, recipe, **kwargs)
    names = list(dict.fromkeys(i["name"] for i in recipe))
    assert list(cols) == names
    last = {i["name"]: i for i in recipe}
    for name, column in cols.items():
        assert column.dtype == expected_dtype(last[name]["encoding"], last[name]["bits"]), name
        assert column.shape == (len(starts),)
        for index, row in enumerate(rows):
            assert same(row[name], column, index), (name, index, row[name], column[index])
    return cols


# Bytes that make valid BCD digits, text in every encoding, and ordinary floats more often than
# uniform bytes do; uniform bytes too.
FRIENDLY = st.sampled_from([0x00, 0x01, 0x12, 0x34, 0x41, 0x42, 0x3F, 0x80, 0x99, 0xC0, 0xFF])
packet_bytes = st.one_of(st.binary(min_size=0, max_size=24),
                         st.lists(FRIENDLY, max_size=24).map(bytes))
widths = st.one_of(st.sampled_from([0, 1, 3, 4, 8, 12, 16, 24, 32, 40, 48, 64, 80, 128]),
                   st.integers(0, 136))
items = st.builds(item, name=st.sampled_from("abcde"), encoding=st.sampled_from(READER_ENCODINGS),
                  bits=widths, byte_order=st.sampled_from(["big", "little", "LITTLE"]),
                  reverse=st.booleans(), offset=st.one_of(st.none(), st.integers(0, 140)))


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(recipe=st.lists(items, max_size=5), packets=st.lists(packet_bytes, max_size=6),
       stride=st.integers(1, 24), offset_bits=st.integers(0, 20), threads=st.integers(1, 3),
       use_offsets=st.booleans(), extra=st.lists(st.integers(0, 200), max_size=4))
def test_columns_equal_the_unpack_parameters_loop(recipe, packets, stride, offset_bits, threads,
                                                   use_offsets, extra):
    data = b"".join(p.ljust(stride, b"\0")[:stride] for p in packets)
    if use_offsets:
        # Any offsets: out of order, repeated, reaching or passing the end of the data.
        offsets = [stride * i for i in range(len(packets))][::-1] + extra
        check_against_loop(data, recipe, offsets, offsets=np.array(offsets, dtype=np.uint64),
                           offset_bits=offset_bits, threads=threads)
        resolved_agrees(data, recipe, np.array(offsets, dtype=np.uint64), offset_bits)
    else:
        offsets = [stride * i for i in range(len(packets))]
        check_against_loop(data, recipe, offsets, packet_size=stride, offset_bits=offset_bits,
                           threads=threads)


def outcome(call):
    try:
        return call()
    except (ValueError, TypeError) as error:
        return type(error), str(error)


def resolved_agrees(data, recipe, offsets, offset_bits):
    """A recipe resolved once reads as the list does, with the same failures, call after call."""
    listed = outcome(lambda: bitloom.unpack_columns(data, recipe, offsets, offset_bits=offset_bits))
    resolved = outcome(lambda: bitloom._column_recipe(recipe))
    if isinstance(resolved, tuple):  # refused when resolved, as unpack_columns refuses it
        assert resolved == listed
        return
    for threads in (1, 2):
        got = outcome(lambda threads=threads: bitloom._unpack_columns(resolved, data, offsets, offset_bits=offset_bits,
                                                                      threads=threads))
        if isinstance(listed, tuple):
            assert got == listed
        else:
            assert list(got) == list(listed)
            for name, column in listed.items():
                assert got[name].dtype == column.dtype and got[name].flags.owndata
                assert got[name].tobytes() == column.tobytes() if column.dtype.kind != "T" else \
                    got[name].tolist() == column.tolist()


@pytest.mark.parametrize("offsets", [  # read in place or through numpy's conversion, alike
    np.array([10, 0], np.uint64), np.array([10, 99, 0], np.uint64)[::2], np.array([10, 0], ">u8"),
    np.array([10, 0], np.int64), [10, 0], np.array([10, 0], np.uint64).view(np.ndarray),
])
def test_a_resolved_recipe_reads_offsets_of_any_form(offsets):
    resolved = bitloom._column_recipe(HEADER)
    cols = bitloom._unpack_columns(resolved, space_packets([4, 4]), offsets)
    assert cols["count"].tolist() == [1, 0]


@pytest.mark.parametrize("call, error, message", [
    (lambda r: bitloom._unpack_columns(HEADER, b"", []), TypeError,
     "^argument 'recipe': a recipe made by _column_recipe is required, not list$"),
    (lambda r: bitloom._unpack_columns(r, b"", np.array([-1])), ValueError, r"^offsets\[0\] is negative: -1$"),
    (lambda r: bitloom._unpack_columns(r, b"", [[0]]), ValueError, "^offsets must be one-dimensional"),
    (lambda r: bitloom._unpack_columns(r, b"\0" * 5, [0]), ValueError, "^packet 0 at byte 0: "),
    (lambda r: bitloom._unpack_columns(r, b"", [], threads=0), ValueError, "^threads must be at least 1$"),
    (lambda r: bitloom._column_recipe("recipe"), TypeError, "^argument 'recipe': Can't extract `str` to `Vec`$"),
])
def test_a_resolved_recipe_refuses_what_unpack_columns_refuses(call, error, message):
    with pytest.raises(error, match=message):
        call(bitloom._column_recipe(HEADER))


def space_packets(lengths, first=0):
    """Space packets whose data fields are `length` bytes long, filled with their index."""
    out = []
    for index, length in enumerate(lengths, first):
        out.append(bytes([0x08, 0x05, 0xC0 | (index >> 8) & 0x3F, index & 0xFF,
                          (length - 1) >> 8, (length - 1) & 0xFF]) + bytes([index % 256]) * length)
    return b"".join(out)


HEADER = [item("apid", "unsigned", 11, offset=5), item("count", "unsigned", 14, offset=18),
          item("length", "unsigned", 16), item("first", "unsigned", 8)]


def test_space_packets_of_every_length_and_many_blocks_on_threads():
    lengths = [1, 7, 300, 2, 65536, 5, 1, 90, 4] + [3] * 5000
    data = space_packets(lengths)
    offsets = bitloom.packet_offsets(data)
    assert offsets.dtype == np.uint64 and len(offsets) == len(lengths)
    assert offsets[:4].tolist() == [0, 7, 20, 326]
    for threads in (1, 2, 5):
        cols = check_against_loop(data, HEADER, offsets.tolist(), threads=threads)
        assert cols["length"].tolist() == [n - 1 for n in lengths]
    # The lowest failing packet is reported whichever thread meets it: two bad ones, far apart.
    bad = HEADER + [item("bcd", "packed_bcd", 8, offset=48)]
    cut = bytearray(data)
    for index in (4000, 1000):
        cut[int(offsets[index]) + 6] = 0xAB
    for threads in (1, 2, 4):
        check_against_loop(cut, bad, offsets.tolist(), offsets=offsets, threads=threads)


@pytest.mark.parametrize("data, framing, whole, message", [
    (space_packets([4, 4])[:-1], "ccsds", [0], "data ends inside packet 1 at byte 10: it needs 10 bytes, 9 left"),
    (space_packets([4, 4])[:14], "CCSDS", [0], "data ends inside the primary header of packet 1 at byte 10: 4 of 6 bytes"),
    (bytes(23), 10, [0, 10], "data ends inside packet 2 at byte 20: it needs 10 bytes, 3 left"),
])
def test_a_partial_last_packet(data, framing, whole, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        bitloom.packet_offsets(data, framing)
    assert bitloom.packet_offsets(data, framing, allow_partial=True).tolist() == whole
    if framing == 10:
        with pytest.raises(ValueError, match=f"^{message}$"):
            bitloom.unpack_columns(data, HEADER, packet_size=10)
    else:
        with pytest.raises(ValueError, match=f"^{message}$"):
            bitloom.unpack_columns(data, HEADER)


@pytest.mark.parametrize("data", [b"", bytearray(), memoryview(b""), np.zeros(0, np.uint8)])
def test_empty_data(data):
    assert bitloom.packet_offsets(data).dtype == np.uint64 and bitloom.packet_offsets(data).size == 0
    recipe = [item("a", "unsigned", 12), item("b", "ibm_f32", 32), item("t", "utf8", 16)]
    for kwargs in ({}, {"packet_size": 7}, {"offsets": []}):
        cols = bitloom.unpack_columns(data, recipe, **kwargs)
        assert [(k, c.dtype, c.size) for k, c in cols.items()] == [
            ("a", np.uint16, 0), ("b", np.float64, 0), ("t", np.dtypes.StringDType(), 0)]


def test_every_kind_of_buffer_is_read_in_place(tmp_path):
    data = space_packets([3, 9, 1])
    want = bitloom.unpack_columns(data, HEADER)
    path = tmp_path / "packets.bin"
    path.write_bytes(data)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        for source in (bytearray(data), memoryview(data), np.frombuffer(data, np.uint8), mapped):
            got = bitloom.unpack_columns(source, HEADER)
            assert all(np.array_equal(got[k], want[k]) for k in want)
            del got
    with pytest.raises(TypeError, match="^argument 'data': a bytes-like object is required, not 'str'$"):
        bitloom.unpack_columns("text", HEADER)
    with pytest.raises((BufferError, ValueError)):
        bitloom.unpack_columns(memoryview(data)[::2], HEADER)


@pytest.mark.parametrize("offsets", [
    [0, 10], (0, 10), np.array([0, 10], np.int32), np.array([0, 10], np.uint16),
    np.array([0, 10], ">i8"), np.array([0, 99, 10, 99], np.int64)[::2],
])
def test_offsets_of_any_integer_type(offsets):
    data = space_packets([4, 4])
    cols = bitloom.unpack_columns(data, HEADER, offsets)
    assert cols["count"].tolist() == [0, 1]


@pytest.mark.parametrize("kwargs, error, message", [
    ({"offsets": np.array([0, -10])}, ValueError, r"^offsets\[1\] is negative: -10$"),
    ({"offsets": [0.0, 10.0]}, TypeError, "^argument 'offsets': an array of integers is required, not float64$"),
    ({"offsets": [[0], [10]]}, ValueError, "^offsets must be one-dimensional, not 2-dimensional$"),
    ({"offsets": np.array([0, 2**63], np.uint64)}, ValueError, "^packet 1 at byte 9223372036854775808: ValueError: Bit position overflow"),
    ({"offsets": np.array([0, 2**64 - 1], np.uint64)}, ValueError, "^packet 1 at byte 18446744073709551615: ValueError: Bit position overflow"),
    ({"offsets": [0, 21]}, ValueError, "^packet 1 at byte 21: range start index 21 out of range for slice of length 20$"),
    ({"offsets": [0], "packet_size": 10}, ValueError, "^give offsets or packet_size, not both$"),
    ({"packet_size": 0}, ValueError, "^packet_size must be at least 1 byte$"),
    ({"packet_size": -1}, OverflowError, "negative"),
    ({"packet_size": "10"}, TypeError, "^argument 'packet_size': "),
    ({"threads": 0}, ValueError, "^threads must be at least 1$"),
    ({"offset_bits": 2**64 - 1}, ValueError, "^packet 0 at byte 0: ValueError: Bit position overflow"),
])
def test_refused_arguments(kwargs, error, message):
    with pytest.raises(error, match=message):
        bitloom.unpack_columns(space_packets([4, 4]), HEADER, **kwargs)


@pytest.mark.parametrize("framing, error", [(0, ValueError), ("ccsds2", ValueError),
                                            (1.5, TypeError), (True, TypeError), (None, TypeError)])
def test_refused_framings(framing, error):
    with pytest.raises(error):
        bitloom.packet_offsets(b"\0" * 12, framing)


@pytest.mark.parametrize("bad", [
    [item("a", "unsigned", 8), 5],
    [item("a", "unsigned", 8), {"name": "b", "encoding": "unsigned"}],
    [item("a", "ascii", 8)],
    [item("a", "unsigned", 8, byte_order="middle")],
    [item("a", "unsigned", -1)],
    [dict(item("a", "unsigned", 8), reverse_bits=1)],
])
def test_a_faulty_recipe_is_refused_as_unpack_parameters_refuses_it(bad):
    # Before any packet is read, whatever the data, empty data included.
    with pytest.raises(ValueError) as raised:
        bitloom.unpack_parameters(bytes(4), 0, bad)
    for data in (bytes(4), b""):
        with pytest.raises(ValueError) as columns_raised:
            bitloom.unpack_columns(data, bad, packet_size=4)
        assert str(columns_raised.value) == str(raised.value)
    with pytest.raises(TypeError, match="^argument 'recipe': Can't extract `str` to `Vec`$"):
        bitloom.unpack_columns(b"", "recipe", packet_size=1)


def test_a_repeated_name_keeps_its_first_place_and_last_column():
    recipe = [item("a", "unsigned", 8), item("b", "unsigned", 8),
              item("a", "twos_complement", 8, offset=0)]
    cols = check_against_loop(b"\xff\x01\x80\x02", recipe, [0, 2], packet_size=2)
    assert list(cols) == ["a", "b"] and cols["a"].tolist() == [-1, -128]
    # A replaced item is still decoded: its failure stands.
    with pytest.raises(ValueError, match="^packet 0 at byte 0: ValueError: "):
        bitloom.unpack_columns(b"\xab", [item("a", "packed_bcd", 8), item("a", "unsigned", 8)],
                               packet_size=1)


def test_a_bytearray_cannot_be_resized_while_it_is_read():
    data = bytearray(space_packets([4] * 64))
    refused = []

    class Bits:
        """A width whose conversion, run while the call holds the data, resizes it elsewhere."""

        def __index__(self):
            def resize():
                try:
                    data.extend(b"\0" * 4096)
                except BufferError as error:
                    refused.append(str(error))
            thread = threading.Thread(target=resize)
            thread.start()
            thread.join()
            return 8

    cols = bitloom.unpack_columns(data, HEADER + [item("x", "unsigned", Bits())])
    assert refused and len(data) == 64 * 10 and cols["count"].size == 64
    data.extend(b"\0")  # released after the call


def test_numpy_is_imported_on_first_use_only():
    code = textwrap.dedent("""
        import sys
        import bitloom
        assert "numpy" not in sys.modules
        sys.modules["numpy"] = None  # as if it were not installed
        for call in (lambda: bitloom.packet_offsets(b""),
                     lambda: bitloom.unpack_columns(b"", [], packet_size=1)):
            try:
                call()
            except ImportError as error:
                assert "pip install 'bitloom[numpy]'" in str(error), error
                assert isinstance(error.__cause__, ImportError)
            else:
                raise AssertionError("no ImportError")
        print("ok")
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.stdout.strip() == "ok", done.stderr


def test_columns_go_to_arrow_without_a_copy():
    pa = pytest.importorskip("pyarrow")
    data = space_packets([2] * 10)
    cols = bitloom.unpack_columns(data, HEADER + [item("t", "latin1", 8, offset=48)])
    table = pa.table(cols)
    assert table.column("count").to_pylist() == list(range(10))
    assert table.column("t").to_pylist() == [chr(i) for i in range(10)]
    # Numeric columns share the array's memory.
    assert pa.array(cols["apid"]).buffers()[1].address == cols["apid"].ctypes.data
