"""The decode program from Python (bitloom._program, _run_program, _run_packet): hand-built
descriptions over known packets, hostile descriptions refused with clear messages, objects of
the caller that cannot re-enter, and the same columns on any number of threads."""
import ctypes
import ctypes.util
import re
import threading
import tracemalloc

import numpy as np
import pytest

import bitloom

REASONS = bitloom._PROGRAM_REASONS
OK = REASONS.index("ok")


def reg(k):
    return ("reg", k)


# Events: a header (apid u8, mode u8, count u8), then `count` events of a size-tagged ASCII name,
# a null-terminated UTF-8 note and a u8 size followed by that many bytes. apid 1 and mode 0 go to
# container 1, mode 1 to container 2 (whose events carry a u16 id first); anything else stays in 0.
EVENTS = {
    "registers": 4, "positions": 2, "containers": 3,
    "slots": ["u8", ("text", "us_ascii"), ("text", "utf8"), "span", "u16", "i64"],
    "steps": [
        ("fields", 0, [(0, 8, "unsigned", 0, 0), (8, 8, "unsigned", None, 1), (16, 8, "unsigned", None, 2)]),
        ("container", 0),
        ("seek", 1, 0, 24),
        ("emit", 5, reg(2)),
        ("route", "unique", [(("and", ("==", reg(0), 1), ("==", reg(1), 0)), 6),
                             (("and", ("==", reg(0), 1), (">=", reg(1), 1)), 8)]),
        ("end",),
        ("container", 1),                                         # 6
        ("jump", 9),
        ("container", 2),                                         # 8
        ("loop", 2, 19),                                          # 9: each event
        ("if", (">=", reg(1), 1), 13),
        ("fields", 1, [(0, 16, "unsigned", 4, None)]),            # 11: the id, mode 1 only
        ("seek", 1, 1, 16),
        ("measure", 1, 0, ("tagged", 8, 8), None, 1, 1),          # 13
        ("measure", 1, 0, ("terminated", b"\0", 1), None, 2, 1),  # 14
        ("fields", 1, [(0, 8, "unsigned", None, 3)]),
        ("calc", 3, "*", reg(3), 8),
        ("measure", 1, 8, ("plain",), reg(3), 3, 1),              # 17
        ("jump", 9),
        ("end",),                                                 # 19
    ],
}


def event(apid, mode, events):
    out = bytes([apid, mode, len(events)])
    for k, (name, note, blob) in enumerate(events):
        if mode >= 1:
            out += (0x100 + k).to_bytes(2, "big")
        out += bytes([len(name)]) + name.encode() + note.encode() + b"\0" + bytes([len(blob)]) + blob
    return out


@pytest.fixture(scope="module")
def events():
    return bitloom._program(EVENTS)


def test_one_packet_gives_python_values(events):
    packet = event(1, 1, [("AB", "é", b"\x01\x02"), ("", "", b"")])
    container, reason, step, values = bitloom._run_packet(events, packet)
    assert (container, REASONS[reason], step) == (2, "ok", None)
    assert values == [[1], ["AB", ""], ["é", ""], [b"\x01\x02", b""], [0x100, 0x101], [2]]


@pytest.mark.parametrize("packet, reason, step, container", [
    (event(1, 0, [("A", "b", b"c")])[:-1], "outside the packet", 17, 1),
    (bytes([1, 0, 1, 1, 0x80, 0, 0]), "bad text", 13, 1),
    (bytes([1, 0, 1, 1, ord("a")]) + b"no end", "no terminator", 14, 1),
    (b"\x01", "outside the packet", 0, None),
])
def test_a_bad_packet_reports_its_step_and_reason(events, packet, reason, step, container):
    got = bitloom._run_packet(events, packet)
    assert (got[0], REASONS[got[1]], got[2]) == (container, reason, step)
    assert all(v == [] for v in got[3])


def test_a_file_into_columns(events):
    packets = [event(1, 0, [("AB", "x", b"\xff")]), event(2, 0, []), b"\x01\x00\x05",
               event(1, 1, [("C", "yz", b""), ("D", "", b"\x00\x01")])]
    data = b"".join(packets)
    offsets = np.cumsum([0] + [len(p) for p in packets[:-1]]).astype(np.uint64)
    sizes = np.array([len(p) for p in packets], dtype=np.uint64)
    out = bitloom._run_program(events, data, offsets, sizes)
    assert out["container"].tolist() == [1, 0, 1, 2]
    assert [REASONS[r] for r in out["reason"]] == ["ok", "ok", "outside the packet", "ok"]
    assert out["step"].tolist() == [-1, -1, 13, -1]
    apid, names, notes, blobs, ids, counts = out["slots"]
    assert apid[0].tolist() == [1, 2, 1] and apid[1].tolist() == [0, 1, 3]
    assert apid[0].dtype == np.uint8 and apid[1].dtype == np.uint32
    assert names[0].tolist() == ["AB", "C", "D"] and names[1].tolist() == [0, 3, 3]
    assert isinstance(names[0].dtype, np.dtypes.StringDType)
    assert notes[0].tolist() == ["x", "yz", ""]
    starts, bits, rows = blobs
    assert rows.tolist() == [0, 3, 3]
    assert [data[s // 8:(s + b) // 8] for s, b in zip(starts.tolist(), bits.tolist())] == [b"\xff", b"", b"\x00\x01"]
    assert ids[0].tolist() == [0x100, 0x101] and ids[0].dtype == np.uint16
    assert counts[0].tolist() == [1, 0, 2] and counts[0].dtype == np.int64
    # Text as spans instead of str.
    spans = bitloom._run_program(events, data, offsets, sizes, spans=True)["slots"][1]
    assert [data[s // 8:(s + b) // 8] for s, b in zip(spans[0].tolist(), spans[1].tolist())] == [b"AB", b"C", b"D"]


def test_threads_agree_and_one_program_serves_threads_at_once(events):
    rng = np.random.default_rng(5)
    packets = []
    for i in range(6000):
        n = int(rng.integers(0, 4))
        packet = event(int(rng.integers(1, 3)), int(rng.integers(0, 2)),
                       [("n" * int(rng.integers(0, 5)), "é" * int(rng.integers(0, 3)), bytes(int(rng.integers(0, 4))))
                        for _ in range(n)])
        packets.append(packet[:-1] if i % 97 == 0 and n else packet)
    data = b"".join(packets)
    offsets = np.cumsum([0] + [len(p) for p in packets[:-1]]).astype(np.uint64)
    sizes = np.array([len(p) for p in packets], dtype=np.uint64)

    def flat(out):
        return ([out[k].tolist() for k in ("container", "reason", "step")] +
                [[a.tolist() for a in slot] for slot in out["slots"]])

    one = flat(bitloom._run_program(events, data, offsets, sizes))
    assert one[1].count(OK) > 5000
    assert flat(bitloom._run_program(events, data, offsets, sizes, threads=2)) == one
    results = [None] * 4

    def work(k):
        results[k] = flat(bitloom._run_program(events, data, offsets, sizes, threads=1 + k % 2))

    pool = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    assert all(r == one for r in results)
    # One packet at a time agrees with the file.
    for i in (0, 97, 1234):
        got = bitloom._run_packet(events, packets[i])
        assert (got[1], -1 if got[2] is None else got[2]) == (one[1][i], one[2][i])


def test_private_functions_stay_out_of_all():
    for name in ("_program", "_run_program", "_run_packet", "_span_bytes"):
        assert name not in bitloom.__all__ and callable(getattr(bitloom, name))
    assert REASONS[0] == "ok" and len(REASONS) == len(set(REASONS)) == 13


def steps(*s, **extra):
    return {"steps": list(s), **extra}


@pytest.mark.parametrize("description, error, message", [
    ([], TypeError, "a program description must be a dict, not list"),
    ({}, ValueError, "needs 'steps'"),
    ({"steps": [], "extra": 1}, ValueError, "unknown key 'extra'"),
    ({"steps": [], 1: 2}, TypeError, "a description's key must be a str"),
    (steps(("hop",)), ValueError, "steps[0] unknown op 'hop'"),
    (steps(("jump",)), ValueError, "steps[0] ('jump'): takes 2 items, the name included, got 1"),
    (steps(("jump", 5)), ValueError, "step 0 (jump): target 5 is out of range (0..1)"),
    (steps(("jump", -1)), ValueError, "the target must be 0 to 4294967295, got -1"),
    (steps(("jump", True)), TypeError, "the target must be an int, not bool"),
    (steps(("jump", 1.0)), TypeError, "the target must be an int, not float"),
    (steps(("calc", 0, "+", 2**64, 0), registers=1), ValueError, "an operand passes 64 bits"),
    (steps(("calc", 0, "%", 1, 1), registers=1), ValueError, "unknown operator '%'"),
    (steps(("calc", 3, "+", 1, 1), registers=1), ValueError, "register 3 is out of range (1 register)"),
    (steps(("calc", 0, "+", ("reg",), 1), registers=1), ValueError, "must be an int, a float"),
    (steps(("calc", 0, "+", object(), 1), registers=1), TypeError, "an operand must be an int, a float"),
    (steps(("fields", 0, [(0, 8, "nibbles", None, None)])), ValueError, "field 0: unknown encoding 'nibbles'"),
    (steps(("fields", 0, [(0, 8, "unsigned", 0, None)]), slots=["u16"]), ValueError,
     "field 0: slot 0 holds another element type than the field gives"),
    (steps(("fields", 0, [(0, 8, "unsigned", None, None, {"count": 2})])), ValueError, "stride"),
    (steps(("fields", 0, [(0, 8, "unsigned", None, None, {"colour": 1})])), ValueError, "unknown field option 'colour'"),
    (steps(("fields", 0, [(0, 8, "unsigned", None, None, {"byte_order": "middle"})])), ValueError,
     "byte_order must be 'big' or 'little'"),
    (steps(("fields", 0, [(0, 8, "unsigned")])), ValueError, "a field is (offset, bits, encoding, slot, register"),
    (steps(("fields", 0, [(0, 200, "unsigned", None, None)])), ValueError, "cannot decode 200 bits"),
    (steps(("measure", 0, 0, ("terminated", b"", 1), None, None, None)), ValueError, "1 to 8 bytes"),
    (steps(("measure", 0, 0, ("terminated", "\0", 1), None, None, None)), TypeError, "the terminator must be bytes"),
    (steps(("measure", 0, 0, ("plain",), None, None, None)), ValueError, "a plain field needs a size"),
    (steps(("measure", 0, 0, ("zigzag",), None, None, None)), ValueError, "unknown form 'zigzag'"),
    (steps(("measure", 0, 0, ("plain",), -8, None, None)), ValueError, "the size must not be negative"),
    (steps(("measure", 0, 0, ("plain",), 8, 0, None), slots=["u8"]), ValueError, "holds numbers, not spans or text"),
    (steps(("measure", 0, 0, ("plain",), ("reg", 0, 8), None, None), registers=1), ValueError,
     "the size must be None, an int, ('reg', k) or ('reg', k, slope, offset)"),
    (steps(("measure", 0, 0, ("plain",), ("reg", 0, 8.0, 0), None, None), registers=1), TypeError,
     "the slope must be an int"),
    (steps(("if", ("~", 1, 2), 1)), ValueError, "unknown condition operator '~'"),
    (steps(("if", ("and",), 1)), ValueError, "\"and\" needs at least one condition"),
    (steps(("if", ("==", 1), 1)), ValueError, "a comparison takes two operands"),
    (steps(("route", "best", [])), ValueError, "the mode must be 'unique' or 'first'"),
    (steps(("route", "unique", [])), ValueError, "a route step needs at least one route"),
    (steps(("route", "unique", [(("==", 1, 1),)])), ValueError, "a route is (condition, target)"),
    (steps(("container", 0)), ValueError, "container 0 is out of range (0 containers)"),
    (steps(("emit", 0, 1), slots=["span"]), ValueError, "slot 0 does not hold numbers"),
    (steps(("span", 0, 0, 0), slots=["u8"]), ValueError, "slot 0 does not hold spans"),
    (steps(slots=["u128"]), ValueError, "slots[0]: unknown slot kind 'u128'"),
    (steps(slots=[("text", "klingon")]), ValueError, "unknown text encoding 'klingon'"),
    (steps(slots=[("text", "unsigned")]), ValueError, "unknown text encoding 'unsigned'"),
    (steps(positions=0), ValueError, "positions must be 1 to 65536, got 0"),
    (steps(budget=(0, 1)), ValueError, "the budget must be"),
    (steps(registers=2**16 + 1), ValueError, "registers must be at most 65536"),
])
def test_hostile_descriptions_are_refused(description, error, message):
    with pytest.raises(error) as raised:
        bitloom._program(description)
    assert message in str(raised.value)


def test_deeply_nested_conditions_are_refused_before_recursing():
    cond = ("==", 1, 1)
    for _ in range(100000):
        cond = ("and", cond)
    with pytest.raises(ValueError, match="conditions nest deeper than 32 levels"):
        bitloom._program(steps(("if", cond, 1)))


def test_objects_of_the_caller_run_no_code():
    calls = []

    class Sneaky(int):
        def __index__(self):
            calls.append("index")
            return bitloom._program(EVENTS)

        def __str__(self):
            calls.append("str")
            return "?"

        __repr__ = __str__

    class Key(str):
        def __eq__(self, other):
            calls.append("key")
            return True

        __hash__ = str.__hash__

    # int subclasses are read from their storage, str subclasses are refused as keys.
    program = bitloom._program({"steps": [("jump", Sneaky(1))], "registers": Sneaky(0)})
    assert bitloom._run_packet(program, b"")[1] == OK
    with pytest.raises(ValueError, match="must be 0 to 4294967295, got -5"):
        bitloom._program({"steps": [("jump", Sneaky(-5))]})
    with pytest.raises(TypeError, match="a description's key must be a str, not Key"):
        bitloom._program({Key("steps"): []})
    assert calls == []


def test_re_entry_through_the_data_raises():
    program = bitloom._program(steps())

    class Data:
        def __buffer__(self, flags):
            bitloom._run_packet(program, self)  # re-enters until the recursion limit
            return memoryview(b"")

    with pytest.raises(RecursionError):
        bitloom._run_packet(program, Data())
    with pytest.raises(RecursionError):
        bitloom._run_program(program, Data(), np.zeros(1, np.uint64))


@pytest.mark.parametrize("call, error, message", [
    (lambda p: bitloom._run_packet(object(), b""), TypeError, "a program made by bitloom._program is required"),
    (lambda p: bitloom._run_program(p, b"", np.zeros(2, np.uint64), np.zeros(3, np.uint64)), ValueError,
     "sizes has 3 elements, offsets 2"),
    (lambda p: bitloom._run_program(p, b"", np.zeros(1), threads=0), ValueError, "threads must be at least 1"),
    (lambda p: bitloom._run_program(p, b"", np.zeros(1, np.float64)), TypeError, "an array of integers is required"),
    (lambda p: bitloom._run_program(p, b"", np.zeros(1, np.uint64), np.array([-1])), ValueError, "sizes[0] is negative"),
])
def test_bad_run_arguments(call, error, message):
    with pytest.raises(error) as raised:
        call(bitloom._program(steps()))
    assert message in str(raised.value)


def test_a_size_from_a_decoded_count_with_a_linear_adjustment():
    # A count of 16-bit words, then (count - 1) * 16 + 8 bits of binary; a count of 0 gives -8.
    program = bitloom._program(steps(("fields", 0, [(0, 8, "unsigned", None, 0)]),
                                     ("measure", 0, 8, ("plain",), ("reg", 0, 16, -8), 0, None),
                                     registers=1, slots=["span"]))
    assert bitloom._run_packet(program, bytes([3, 1, 2, 3, 4, 5]))[3] == [[b"\x01\x02\x03\x04\x05"]]
    assert REASONS[bitloom._run_packet(program, bytes([0, 1]))[1]] == "bad size"


# Text values in the order they fill a column: slices of plain ASCII (copied as fixed-width
# bytes), slices of only empty values, and slices where one value is not plain (a trailing NUL,
# which fixed-width bytes would drop, bytes above 0x7F, a value longer than 64 bytes).
PLAIN = [bytes([65 + k % 26]) * (k % 9) for k in range(5000)]
TEXTS = {
    "us_ascii": PLAIN + [b""] * 4096 + [b"tail\0", b"\0", b"a\0b", b"Z" * 200] + PLAIN[:3000],
    "utf8": PLAIN[:100] + ["h\u00e9llo \u20ac".encode()] + PLAIN[:5000] + [b"\0\0"],
    "iso-8859-1": PLAIN + [b"\xe9t\xe9", b"\xff"] + [b""] * 5000,
    "utf-16be": [b"\0a\0b", b"", b"\0z"] * 2000,  # bytes below 0x80 that are not ASCII text
}


@pytest.mark.parametrize("encoding", list(TEXTS))
def test_text_columns_equal_the_text_of_each_value(encoding):
    values = TEXTS[encoding]
    program = bitloom._program(steps(("measure", 0, 0, ("tagged", 8, 8), None, 0, None),
                                     slots=[("text", encoding)]))
    packets = [bytes([len(v)]) + v for v in values]
    sizes = np.array([len(p) for p in packets], np.uint64)
    offsets = np.concatenate([[0], np.cumsum(sizes)[:-1]]).astype(np.uint64)
    out = bitloom._run_program(program, b"".join(packets), offsets, sizes)
    column, rows = out["slots"][0]
    assert column.dtype == np.dtypes.StringDType() and rows.tolist() == list(range(len(values)))
    assert column.tolist() == [v.decode(encoding) for v in values]
    assert bitloom._run_packet(program, packets[-1])[3] == [[values[-1].decode(encoding)]]


DATA = bytes(range(1, 41))


@pytest.mark.parametrize("starts, bits, where, expected", [
    ([0, 8, 80], [16, 0, 24], None, [b"\x01\x02", b"", b"\x0b\x0c\x0d"]),
    ([0, 8, 80], [16, 0, 24], [2, 2, 0], [b"\x0b\x0c\x0d", b"\x0b\x0c\x0d", b"\x01\x02"]),
    # Not on byte boundaries: right-aligned in whole bytes, as unpack_parameters cuts binary.
    ([4], [12], None, [b"\x01\x02"]),  # 0x01 0x02 less the first 4 bits
    ([3], [5], None, [b"\x01"]),
    ([312], [8], None, [b"\x28"]),  # the last byte
    ([], [], None, []),
])
def test_span_bytes(starts, bits, where, expected):
    got = bitloom._span_bytes(DATA, np.array(starts, np.uint64), np.array(bits, np.uint64), where)
    assert got.dtype == object and got.tolist() == expected


@pytest.mark.parametrize("starts, bits, where, error, message", [
    ([313], [8], None, ValueError, "lies beyond the 40 bytes of data"),
    ([0], [2**64 - 1], None, ValueError, "lies beyond"),
    ([0, 8], [8], None, ValueError, "bits has 1 elements, starts 2"),
    ([0], [8], [1], IndexError, "where[0] is 1, beyond the 1 spans"),
    ([0], [8], [-1], ValueError, "where[0] is negative"),
    ([0.5], [8], None, TypeError, "an array of integers is required"),
])
def test_span_bytes_refuses_spans_beyond_the_data(starts, bits, where, error, message):
    with pytest.raises(error, match=re.escape(message)):
        bitloom._span_bytes(DATA, np.array(starts), np.array(bits, np.uint64), where)


def test_packets_beyond_the_data_and_empty_runs(events):
    out = bitloom._run_program(events, b"\x02\x00\x00", np.array([0, 2, 9], np.uint64))
    assert [REASONS[r] for r in out["reason"]] == ["ok", "outside the packet", "beyond the data"]
    empty = bitloom._run_program(events, b"", np.zeros(0, np.uint64))
    assert len(empty["container"]) == 0 and all(len(a) == 0 for slot in empty["slots"] for a in slot)


def test_runs_leave_nothing_behind(events):
    """Many calls, successful and failing, settle: Python objects (tracemalloc) and the C heap."""
    class Mallinfo2(ctypes.Structure):  # glibc's struct mallinfo2, returned by value
        _fields_ = [(name, ctypes.c_size_t) for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd",
                                                          "usmblks", "fsmblks", "uordblks", "fordblks",
                                                          "keepcost")]

    try:
        mallinfo2 = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6").mallinfo2
        mallinfo2.restype = Mallinfo2
    except (OSError, AttributeError):
        pytest.skip("no mallinfo2")

    def heap() -> int:
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    packet = event(1, 1, [("AB", "x", b"\x01")])
    data = packet * 600
    offsets = np.arange(600, dtype=np.uint64) * len(packet)

    def calls():
        bitloom._run_packet(events, packet)
        bitloom._run_packet(events, packet[:-1])
        bitloom._run_program(events, data, offsets)
        bitloom._span_bytes(data, offsets * 8 + 3, offsets % 64)
        try:
            bitloom._program(steps(("jump", 9)))
        except ValueError:
            pass
        try:  # a bad index after 300 values
            bitloom._span_bytes(data, offsets * 8, offsets % 64, np.r_[np.arange(300), 600])
        except IndexError:
            pass

    for _ in range(1000):  # numpy's and the interpreter's free lists settle first
        calls()
    tracemalloc.start()
    before, c_before = tracemalloc.get_traced_memory()[0], heap()
    for _ in range(2000):
        calls()
    grown, c_grown = tracemalloc.get_traced_memory()[0] - before, heap() - c_before
    tracemalloc.stop()
    # Bounds per call far below one run's output (600 packets' columns, about 10 KB), so a result
    # or a program kept alive per call fails, while free lists and the allocator settling do not.
    assert grown < 256 * 1024 and c_grown < 1024 * 1024, (grown, c_grown)
