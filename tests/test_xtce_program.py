"""decode_file through the compiled decode program: the same result as the column path in Python
(columns, skipped packets and their reasons, packet numbers) for the layouts the program takes,
the packets it cannot take handed to Python, and files read in place from paths and buffers."""
import gzip
import mmap
import pathlib
import threading
import warnings

import bitloom
import numpy as np
import pytest

import bitloom_xtce
from bitloom_xtce import _compile
from test_xtce import BINARY, STRING, TERM, ccsds_definition, ccsds_packet, child, cmp, integer

DATA = pathlib.Path(__file__).resolve().parent / "data" / "xtce"

LEAD = '<xtce:LeadingSize sizeInBitsOfSizeTag="8"/>'
VARIABLE = '<xtce:Variable maxSizeInBits="{}">{}</xtce:Variable>'
DYNAMIC = '<xtce:DynamicValue><xtce:ParameterInstanceRef parameterRef="n" useCalibratedValue="false"/>' \
          '<xtce:LinearAdjustment slope="{}" intercept="{}"/></xtce:DynamicValue>'
FIXED = '<xtce:SizeInBits><xtce:Fixed><xtce:FixedValue>{}</xtce:FixedValue></xtce:Fixed>{}</xtce:SizeInBits>'
U8 = '<xtce:Parameter name="{}" parameterTypeRef="U8"/>'
pytestmark = pytest.mark.filterwarnings("ignore::bitloom_xtce.DecodeWarning")


def refs(*names):
    return "".join(f'<xtce:ParameterRefEntry parameterRef="{n}"/>' for n in names)


class _PythonOnly:
    """A program that hands every packet to Python: the column path as it was."""

    def get(self, definition, raw):
        return _compile.Compiled(bitloom._program({"steps": [("python",)]}), [], {}, {})


def both(definition, data, raw=False):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ours = definition.decode_file(data, raw=raw)
        kept, definition._compiled = definition._compiled, _PythonOnly()
        try:
            theirs = definition.decode_file(data, raw=raw)
        finally:
            definition._compiled = kept
    return ours, theirs


def assert_same(ours, theirs):
    assert list(ours) == list(theirs) and ours.packets == theirs.packets
    for name, columns in theirs.items():
        assert list(ours[name]) == list(columns), name
        for key, column in columns.items():
            got = ours[name][key]
            assert got.dtype == column.dtype, (name, key)
            assert got.tolist() == column.tolist(), (name, key)
        assert ours.packet_index[name].tolist() == theirs.packet_index[name].tolist()
    assert {r: (tuple(s), s.indices.tolist()) for r, s in ours.skipped.items()} == \
        {r: (tuple(s), s.indices.tolist()) for r, s in theirs.skipped.items()}


def reasons(definition, data, raw=False):
    """How the program ended each packet: reason names."""
    from bitloom_xtce._definition import _frame
    offsets, lengths, _ = _frame(data, "ccsds", 0)
    out = bitloom._run_program(definition._compiled.get(definition, raw).program, data, offsets, lengths)
    return [bitloom._PROGRAM_REASONS[r] for r in out["reason"]]


def text(size, charset="UTF-8"):
    return STRING.format(charset=charset, size=size)


# (types, extra parameters, P1's entries after the header, packet bodies); v has type T.
CASES = {
    "terminated text": (text(VARIABLE.format(80, TERM.format("00"))), "", refs("v", "n"),
                        [b"abc\0\x07", b"\0\x01", b"no end", b"\xff\0\x01", b"x" * 9 + b"\0\x02", b"a\0"]),
    "size-tagged text": (text(VARIABLE.format(80, LEAD)), "", refs("v", "n"),
                         [b"\x02ok\x07", b"\x00\x01", b"\x05ab", b"\x01\xff\x02", b"\x0cabcdefghijkl\x01"]),
    "text sized by a field, tag inside": (text(f"<xtce:Variable maxSizeInBits=\"800\">{DYNAMIC.format(8, 0)}{LEAD}"
                                               "</xtce:Variable>"), U8.format("n"), refs("n", "v"),
                                          [b"\x03\x02hix", b"\x01\x05", b"\x02\x01\xc3\xa9", b"\x09ab"]),
    "text sized by a field, whole bytes": (text(f"<xtce:Variable maxSizeInBits=\"800\">{DYNAMIC.format(4, 0)}"
                                                "</xtce:Variable>", "US-ASCII"), U8.format("n"), refs("n", "v"),
                                           [b"\x04ab", b"\x03abc", b"\x00", b"\x02\x80"]),
    "text sized by a field in bytes, less two": (text(f"<xtce:Variable maxSizeInBits=\"800\">{DYNAMIC.format(8, -16)}"
                                                     "</xtce:Variable>", "US-ASCII"), U8.format("n"), refs("n", "v"),
                                                [b"\x04ab", b"\x05abc", b"\x01", b"\x02", b"\x03\x80", b"\x09ab"]),
    "binary sized by a field": (BINARY.format(DYNAMIC.format(8, -8)), U8.format("n"), refs("n", "v", "m"),
                                [b"\x03\x01\x02\x09", b"\x01\x07", b"\x00\x01", b"\x09\x01"]),
    "odd-sized binary, then text": (BINARY.format(DYNAMIC.format(1, 0)).replace('"T"', '"B"')
                                    + text(VARIABLE.format(80, LEAD)), U8.format("n") + U8.format("m").replace(
                                        '"m" parameterTypeRef="U8"', '"b" parameterTypeRef="B"'),
                                    refs("n", "b", "v"), [b"\x08\xff\x01a", b"\x04\xf0\x10\x60", b"\x00\x01z"]),
    "fixed text with a terminator inside": (text(FIXED.format(32, TERM.format("00")), "US-ASCII"), "",
                                            refs("v", "n"), [b"ab\0c\x01", b"abcd\x02", b"\x80\0\0\0\x03", b"ab"]),
    "fixed packed BCD": (integer("Integer", '<xtce:IntegerDataEncoding encoding="packedBCD" sizeInBits="8"/>'), "",
                         refs("n", "v"), [b"\x01\x42", b"\x01\x4f", b"\x01"]),
}


@pytest.mark.parametrize("raw", [False, True])
@pytest.mark.parametrize("name", list(CASES))
def test_the_program_and_the_column_path_agree(name, raw):
    types, params, entries, bodies = CASES[name]
    children = child("P1", cmp("==", 1), entries) + child("P2", cmp("==", 2), refs("n"))
    definition = ccsds_definition(types, children, params + (U8.format("n") if 'name="n"' not in params else "")
                                  + (U8.format("m") if "m" in entries and 'name="m"' not in params else ""))
    packets = [ccsds_packet(1, b) for b in bodies] + [ccsds_packet(2, b"\x05"), ccsds_packet(3, b"\x00")]
    data = b"".join(packets * 3)
    ours, theirs = both(definition, data, raw)
    assert_same(ours, theirs)
    assert "needs python" not in reasons(definition, data, raw)
    assert ours.skipped and sum(len(c["n"]) for c in ours.values()) > 3  # both kinds of packet


def nested(levels):
    """APID <= 1 and (APID == 7 or (APID <= 1 and (...))): 2 * levels conditions deep."""
    condition = ("<xtce:Condition><xtce:ParameterInstanceRef parameterRef=\"APID\"/><xtce:ComparisonOperator>{}"
                 "</xtce:ComparisonOperator><xtce:Value>{}</xtce:Value></xtce:Condition>")
    inner = condition.format("==", 1)
    for _ in range(levels):
        inner = (f"<xtce:ANDedConditions>{condition.format('&lt;=', 1)}<xtce:ORedConditions>"
                 f"{condition.format('==', 7)}{inner}</xtce:ORedConditions></xtce:ANDedConditions>")
    return f"<xtce:BooleanExpression>{inner}</xtce:BooleanExpression>"


ROUTES = {  # a criterion of P1 (P2 takes APID 2): whether the program routes on it
    "nested 20 deep": (nested(10), True),
    "nested 60 deep, past what the program takes": (nested(30), False),
    "raw ==": (cmp("==", 1), True),
    "raw <=, AND, OR": ('<xtce:BooleanExpression><xtce:ORedConditions><xtce:ANDedConditions>'
                        '<xtce:Condition><xtce:ParameterInstanceRef parameterRef="APID"/><xtce:ComparisonOperator>'
                        '&lt;=</xtce:ComparisonOperator><xtce:Value>1</xtce:Value></xtce:Condition>'
                        '<xtce:Condition><xtce:ParameterInstanceRef parameterRef="e"/><xtce:ComparisonOperator>'
                        '!=</xtce:ComparisonOperator><xtce:Value>ON</xtce:Value></xtce:Condition>'
                        '</xtce:ANDedConditions><xtce:Condition><xtce:ParameterInstanceRef parameterRef="APID"/>'
                        '<xtce:ComparisonOperator>==</xtce:ComparisonOperator><xtce:Value>7</xtce:Value>'
                        '</xtce:Condition></xtce:ORedConditions></xtce:BooleanExpression>', True),
    "an enumeration's label": (cmp("==", "ON", "e"), True),
    "an enumeration's label, !=": (cmp("!=", "ON", "e"), True),
    "a boolean": (cmp("==", "True", "g"), True),
    "a boolean, !=": (cmp("!=", "True", "g"), True),
    "a calibrated float": (cmp("&gt;", "1.5", "f"), False),
}


@pytest.mark.parametrize("name", list(ROUTES))
def test_routing(name):
    criterion, compiled = ROUTES[name]
    types = ('<xtce:EnumeratedParameterType name="E"><xtce:IntegerDataEncoding sizeInBits="8"/><xtce:EnumerationList>'
             '<xtce:Enumeration value="1" label="ON"/><xtce:Enumeration value="3" maxValue="5" label="ON"/>'
             '<xtce:Enumeration value="2" label="OFF"/></xtce:EnumerationList></xtce:EnumeratedParameterType>') \
        + integer("Float", '<xtce:IntegerDataEncoding sizeInBits="8"><xtce:DefaultCalibrator>'
                  '<xtce:PolynomialCalibrator><xtce:Term coefficient="0.5" exponent="1"/></xtce:PolynomialCalibrator>'
                  '</xtce:DefaultCalibrator></xtce:IntegerDataEncoding>').replace('"T"', '"F"') \
        + integer("Integer", '<xtce:IntegerDataEncoding sizeInBits="8"/>') \
        + '<xtce:BooleanParameterType name="G"><xtce:IntegerDataEncoding sizeInBits="8"/></xtce:BooleanParameterType>'
    params = '<xtce:Parameter name="e" parameterTypeRef="E"/><xtce:Parameter name="f" parameterTypeRef="F"/>' \
        '<xtce:Parameter name="g" parameterTypeRef="G"/>'
    base = child("B", "", refs("e", "f", "g")).replace("<xtce:RestrictionCriteria></xtce:RestrictionCriteria>", "")
    base = base.replace('<xtce:SequenceContainer name="B">', '<xtce:SequenceContainer name="B" abstract="true">')
    children = base + child("P1", criterion, refs("v"), "B") + child("P2", cmp("==", 2), refs("v"), "B")
    definition = ccsds_definition(types, children, params)
    packets = [ccsds_packet(apid, bytes([e, f, g, 9])) for apid in (1, 2, 7, 9) for e in range(7) for f in (2, 3, 4)
               for g in (0, 1, 2)]
    data = b"".join(packets)
    assert_same(*both(definition, data))
    assert ("needs python" in reasons(definition, data)) is not compiled


@pytest.fixture(scope="module")
def events():
    types = text(VARIABLE.format(80, TERM.format("00"))) \
        + BINARY.format("<xtce:FixedValue>16</xtce:FixedValue>").replace('"T"', '"B"')
    definition = ccsds_definition(types, child("P1", cmp("==", 1), refs("n", "b", "v")),
                                  U8.format("n") + '<xtce:Parameter name="b" parameterTypeRef="B"/>')
    packets = [ccsds_packet(1, bytes([k % 250, k % 7, 1]) + b"x" * (k % 7) + b"\0") for k in range(3000)]
    packets[17] = ccsds_packet(1, b"\x01\0\0abc")  # no terminator
    return definition, b"".join(packets)


def test_a_file_from_a_path_or_a_buffer_is_read_in_place(events, tmp_path):
    definition, data = events
    with pytest.warns(bitloom_xtce.DecodeWarning):
        expected = definition.decode_file(data)
    path = tmp_path / "packets.bin"
    path.write_bytes(data)
    (tmp_path / "empty.bin").write_bytes(b"")
    with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        sources = [str(path), path, mapped, bytearray(data), memoryview(data), np.frombuffer(data, np.uint8),
                   memoryview(bytearray(data)).cast("B", (len(data) // 3, 3)) if len(data) % 3 == 0 else data]
        for source in sources:
            with pytest.warns(bitloom_xtce.DecodeWarning):
                got = definition.decode_file(source)
            assert_same(got, expected)
            assert {type(b) for b in got["P1"]["b"]} == {bytes}
        assert not mapped.closed  # a caller's map stays open
    assert definition.decode_file(tmp_path / "empty.bin").packets == 0
    with pytest.raises(TypeError, match="data must be bytes, another bytes-like object or a path, not int"):
        definition.decode_file(5)
    with pytest.raises(FileNotFoundError):
        definition.decode_file(tmp_path / "missing.bin")


@pytest.mark.parametrize("threads", [2, 3])
def test_threads_on_a_layout_of_fixed_fields_alone(threads):
    # Read by one reader call per container and anchor, not the program: those calls take the threads.
    definition = ccsds_definition(integer("Integer", '<xtce:IntegerDataEncoding sizeInBits="8"/>'),
                                  child("P1", cmp("==", 1), refs("n", "v")), U8.format("n"))
    data = b"".join(ccsds_packet(1 + (k % 97 == 0), bytes([k % 250, 7])) for k in range(5000))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        one = definition.decode_file(data)
        assert definition._compiled.get(definition, False).by_columns
        assert_same(definition.decode_file(data, threads=threads), one)
    assert len(one["P1"]["n"]) == 5000 - 52


@pytest.mark.parametrize("threads", [2, 3])
def test_threads_give_the_same_result(events, threads):
    definition, data = events
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert_same(definition.decode_file(data, threads=threads), definition.decode_file(data))
    for bad in (0, -1, 1.5, True):
        with pytest.raises(ValueError, match="threads must be a positive int"):
            definition.decode_file(data, threads=bad)


def test_the_program_is_compiled_once_for_threads_that_start_together(events, monkeypatch):
    definition, data = events
    definition._compiled = _compile.Cache()
    made = []
    compile_definition = _compile.compile_definition

    def counted(*args):
        made.append(args[1])
        return compile_definition(*args)

    monkeypatch.setattr(_compile, "compile_definition", counted)
    results = at_once(4, lambda: definition.decode_file(data))
    assert made == [False]
    for r in results[1:]:
        assert_same(r, results[0])


def at_once(n, call):
    """The results of `call` run by n threads released together."""
    results = [None] * n
    barrier = threading.Barrier(n)

    def work(k):
        barrier.wait()
        results[k] = call()

    pool = [threading.Thread(target=work, args=(k,)) for k in range(n)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    return results


def test_threads_that_first_decode_a_few_packets_together_make_the_same_result():
    # What the first call keeps for the next (resolved recipes, plans, label tables, the
    # order of the containers) is made by whichever thread comes first, alike for all.
    document = gzip.decompress((DATA / "idex_combined_science_definition.xml.gz").read_bytes())
    data = gzip.decompress((DATA / "idex_packets.bin.gz").read_bytes())
    one = data[:int.from_bytes(data[4:6], "big") + 7]
    expected = bitloom_xtce.load(document).decode_file(one)
    for _ in range(3):
        definition = bitloom_xtce.load(document)
        for r in at_once(4, lambda: definition.decode_file(one)):
            assert_same(r, expected)
            assert r.attributes == expected.attributes and r.gaps == expected.gaps


def test_a_large_file_of_a_fixed_layout_decodes_alike_by_columns_and_by_the_program():
    definition = ccsds_definition(integer("Integer", '<xtce:IntegerDataEncoding encoding="packedBCD" sizeInBits="8"/>'),
                                  child("P1", cmp("==", 1), refs("n", "v")), U8.format("n"))
    compiled = definition._compiled.get(definition, False)
    assert compiled.by_columns
    rng = np.random.default_rng(3)
    bodies = [bytes([k % 256, int(rng.choice([0x12, 0x99, 0x1f]))]) for k in range(1500)]
    data = b"".join(ccsds_packet(int(rng.choice([1, 1, 1, 2])), b if k % 50 else b[:1]) for k, b in enumerate(bodies))
    by_columns = definition.decode_file(data)
    compiled.by_columns = False
    try:
        assert_same(definition.decode_file(data), by_columns)
    finally:
        compiled.by_columns = True
    assert len(by_columns.skipped) == 3 and len(by_columns["P1"]["v"]) > 700


# -- entries read whole: repeats, arrays, include conditions, as program loops and tests

from test_xtce_structures import (BASE, HEAD, HEADER, aggregate, array, ccsds, condition, dynamic,  # noqa: E402
                                  document, fixed, ref, repeat)
from test_xtce_structures import array as array_type  # noqa: E402

A2 = aggregate("A2", x="U8", y="C8")
S8 = '<xtce:StringParameterType name="S8"><xtce:StringDataEncoding encoding="US-ASCII">' \
     '<xtce:Variable maxSizeInBits="800"><xtce:LeadingSize sizeInBitsOfSizeTag="8"/></xtce:Variable>' \
     '</xtce:StringDataEncoding></xtce:StringParameterType>'
B8 = '<xtce:BinaryParameterType name="B8"><xtce:BinaryDataEncoding><xtce:SizeInBits>' \
     '<xtce:DynamicValue><xtce:ParameterInstanceRef parameterRef="k" useCalibratedValue="false"/>' \
     '<xtce:LinearAdjustment slope="8"/></xtce:DynamicValue></xtce:SizeInBits></xtce:BinaryDataEncoding>' \
     '</xtce:BinaryParameterType>'


def inner(name, entries):
    return f'<xtce:SequenceContainer name="{name}"><xtce:EntryList>{entries}</xtce:EntryList></xtce:SequenceContainer>'


def included(name, inside=""):
    return f'<xtce:ContainerRefEntry containerRef="{name}">{inside}</xtce:ContainerRefEntry>'


# (types, parameters, entries after the header, included containers, packet bodies after the header);
# the bodies hold the edge cases: no occurrences, conditions false, counts past the packet's end.
STRUCTURES = {
    "condition on a number": ("", {"f": "U8", "v": "C8", "t": "U16"}, ref("f") + ref("v", condition("f", 1)) + ref("t"),
                              "", [b"\x01\x05\x00\x09", b"\x00\x00\x09", b"\x01\x05", b"\x02\x00\x01"]),
    "condition, not equal, on an aggregate": (A2, {"f": "U8", "a": "A2"}, ref("f") + ref("a", condition("f", 0, "!=")),
                                              "", [b"\x01\x02\x04", b"\x00", b"\x07\x01"]),
    "condition on a fixed array": (array_type("R3", "C8", (fixed(0), fixed(2))), {"f": "U8", "r": "R3"},
                                   ref("f") + ref("r", condition("f", 1)), "", [b"\x01\x02\x04\x06", b"\x00"]),
    "fixed repeat with an offset": ("", {"v": "U8"}, ref("v", repeat(fixed(3), fixed(8))), "",
                                    [b"\x01\xff\x02\xff\x03\xff", b"\x01\xff\x02\xff\x03", b"\x01"]),
    "dynamic repeat, calibrated": ("", {"n": "U8", "v": "C8"}, ref("n") + ref("v", repeat(dynamic("n"))), "",
                                   [b"\x02\x04\x06", b"\x00", b"\x03\x01\x02\x03", b"\x05\x01"]),
    "repeat less one, never below none": ("", {"n": "U8", "v": "U16"}, ref("n") + ref("v", repeat(dynamic("n", -1))),
                                          "", [b"\x00", b"\x01", b"\x03\x00\x01\x00\x02"]),
    "dynamic repeat of an aggregate": (A2, {"n": "U8", "a": "A2"}, ref("n") + ref("a", repeat(dynamic("n"))), "",
                                       [b"\x02\x01\x02\x03\x04", b"\x00", b"\x02\x01"]),
    "dynamic array": (array_type("D", "U16", (fixed(0), dynamic("n", -1))), {"n": "U8", "d": "D"},
                      ref("n") + ref("d"), "", [b"\x02\x00\x07\x00\x08", b"\x00", b"\x02\x00"]),
    "two-dimensional dynamic array": (array_type("M", "C8", (fixed(0), dynamic("n", -1)), (fixed(1), fixed(2))),
                                      {"n": "U8", "m": "M"}, ref("n") + ref("m"), "",
                                      [b"\x02\x01\x02\x03\x04", b"\x00", b"\x01\x05\x06"]),
    "dynamic array of aggregates": (A2 + array_type("DA", "A2", (fixed(1), dynamic("n"))), {"n": "U8", "a": "DA"},
                                    ref("n") + ref("a"), "", [b"\x03\x01\x02\x03\x04", b"\x01", b"\x02\x01\x02"]),
    "repeated container of text and sized bytes": (
        S8 + B8, {"n": "U8", "i": "U16", "s": "S8", "k": "U8", "b": "B8"},
        ref("n") + included("E", repeat(dynamic("n"))), inner("E", ref("i") + ref("s") + ref("k") + ref("b")),
        [b"\x02\x00\x01\x02ab\x01\xff\x00\x02\x00\x00", b"\x00", b"\x01\x00\x01\x05ab", b"\x01\x00\x01\x01\xff\x00\x00"]),
    "array in a repeated container": (
        array_type("D", "U8", (fixed(0), dynamic("k", -1))), {"n": "U8", "k": "U8", "d": "D", "t": "U8"},
        ref("n") + included("E", repeat(dynamic("n"))) + ref("t"), inner("E", ref("k") + ref("d")),
        [b"\x02\x02\x01\x02\x00\x09", b"\x00\x09", b"\x01\x03\x01"]),
    "condition inside a repeat": (
        "", {"n": "U8", "k": "U8", "v": "C8"}, ref("n") + included("E", repeat(dynamic("n"))),
        inner("E", ref("k") + ref("v", condition("k", 1))),
        [b"\x03\x01\x02\x00\x01\x04", b"\x00", b"\x02\x00\x00", b"\x01\x01"]),
    "repeat of 64-bit integers, some past int64": (
        '<xtce:IntegerParameterType name="U64"><xtce:IntegerDataEncoding sizeInBits="64"/></xtce:IntegerParameterType>',
        {"n": "U8", "v": "U64"}, ref("n") + ref("v", repeat(dynamic("n"))), "",
        [b"\x02" + bytes(7) + b"\x01\xff" + bytes(7), b"\x01" + bytes(7) + b"\x05", b"\x00"]),
    "condition on text": (S8, {"f": "U8", "s": "S8"}, ref("f") + ref("s", condition("f", 1)), "",
                          [b"\x01\x02ab", b"\x00", b"\x01\x05a", b"\x01\x00"]),
    "repeated container with its own size": (
        "", {"n": "U8", "k": "U8"}, ref("n") + included("E", repeat(dynamic("n"))),
        '<xtce:SequenceContainer name="E"><xtce:BinaryEncoding><xtce:SizeInBits><xtce:FixedValue>16</xtce:FixedValue>'
        f'</xtce:SizeInBits></xtce:BinaryEncoding><xtce:EntryList>{ref("k")}</xtce:EntryList></xtce:SequenceContainer>',
        [b"\x02\x01\xff\x02\xff", b"\x02\x01\xff\x02", b"\x00"]),
    "fixed repeat of a nested aggregate with text": (
        A2 + S8 + aggregate("N", a="A2", s="S8"), {"v": "N"}, ref("v", repeat(fixed(2))), "",
        [b"\x01\x02\x01a\x03\x04\x00", b"\x01\x02\x01a\x03\x04\x05"]),
    "condition on an aggregate with labels": (
        aggregate("L", e="E8", y="C8") + '<xtce:EnumeratedParameterType name="E8"><xtce:IntegerDataEncoding '
        'sizeInBits="8"/><xtce:EnumerationList><xtce:Enumeration value="1" label="ONE"/></xtce:EnumerationList>'
        '</xtce:EnumeratedParameterType>', {"f": "U8", "a": "L"}, ref("f") + ref("a", condition("f", 1)), "",
        [b"\x01\x01\x04", b"\x00", b"\x01\x07\x02"]),
    "condition on an included container": (
        S8, {"f": "U8", "k": "U16", "s": "S8", "t": "U8"}, ref("f") + included("E", condition("f", 2, "&lt;")) + ref("t"),
        inner("E", ref("k") + ref("s")), [b"\x01\x00\x07\x02ab\x09", b"\x02\x09", b"\x00\x00\x07\x09ab"]),
    "counts below none and past the most a packet may have": (
        '<xtce:IntegerParameterType name="I32"><xtce:IntegerDataEncoding sizeInBits="32" encoding="twosComplement"/>'
        '</xtce:IntegerParameterType>', {"n": "I32", "v": "U8"}, ref("n") + ref("v", repeat(dynamic("n"))), "",
        [b"\xff\xff\xff\xfe", b"\x01\x00\x00\x01" + bytes(40), b"\x00\x00\x00\x01\x05", b"\x80\x00\x00\x00"]),
    "fixed repeat with a condition inside": (
        "", {"k": "U8", "v": "C8"}, included("E", repeat(fixed(2))), inner("E", ref("k") + ref("v", condition("k", 1))),
        [b"\x01\x02\x01\x04", b"\x00\x00", b"\x01\x02\x00", b"\x00\x01\x03"]),
    "repeat of a repeat": (
        "", {"n": "U8", "k": "U8", "v": "U8"}, ref("n") + included("E", repeat(dynamic("n"))),
        inner("E", ref("k") + ref("v", repeat(dynamic("k")))),
        [b"\x02\x02\x01\x02\x00", b"\x01\x03\x01\x02"]),
}


def identical(a, b):
    """Values, types, dtypes and shapes alike, into object arrays."""
    if type(a) is not type(b):
        return False
    if not isinstance(b, np.ndarray):
        return a == b
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    if b.dtype != object:
        return a.tolist() == b.tolist()
    return all(identical(x, y) for x, y in zip(a.ravel().tolist(), b.ravel().tolist()))


def assert_identical(ours, theirs):
    """As assert_same, and masks, and each value of an object column with its type."""
    assert list(ours) == list(theirs) and ours.packets == theirs.packets
    for name, columns in theirs.items():
        assert list(ours[name]) == list(columns), name
        assert ours.packet_index[name].tolist() == theirs.packet_index[name].tolist()
        for key, column in columns.items():
            got = ours[name][key]
            assert got.dtype == column.dtype and got.shape == column.shape, (name, key)
            assert np.ma.isMaskedArray(got) == np.ma.isMaskedArray(column), (name, key)
            assert np.ma.getmaskarray(got).tolist() == np.ma.getmaskarray(column).tolist(), (name, key)
            assert identical(np.ma.getdata(got), np.ma.getdata(column)), (name, key)
    assert {r: (tuple(s), s.indices.tolist()) for r, s in ours.skipped.items()} == \
        {r: (tuple(s), s.indices.tolist()) for r, s in theirs.skipped.items()}


@pytest.mark.parametrize("raw", [False, True])
@pytest.mark.parametrize("name", list(STRUCTURES))
def test_entries_read_whole_by_the_program_and_by_python_agree(name, raw):
    types, parameters, entries, containers, bodies = STRUCTURES[name]
    definition = bitloom_xtce.load(document(types, HEADER | parameters, HEAD + entries, containers))
    data = b"".join(ccsds(body) for body in bodies)
    # raw text inside aggregates keeps the Python path (each dict's text replaced by its bytes)
    python = raw and name == "fixed repeat of a nested aggregate with text"
    assert ("needs python" in reasons(definition, data, raw)) == python
    assert_identical(*both(definition, data, raw))
    assert_identical(*both(definition, data * 300, raw))  # packets of one container share slots with none other


ALIASED = ('<xtce:Parameter name="a" parameterTypeRef="U8"><xtce:AliasSet><xtce:Alias nameSpace="ids" alias="1"/>'
           '</xtce:AliasSet></xtce:Parameter>')
# (parameters, entries, packet bodies) the program leaves to Python, for the packets that reach them
TO_PYTHON = {
    "a count from a calibrated value": (
        {"n": "C8", "v": "U8"}, ref("n") + ref("v", repeat('<xtce:DynamicValue><xtce:ParameterInstanceRef '
                                                         'parameterRef="n" useCalibratedValue="true"/></xtce:DynamicValue>')),
        [b"\x04\x01\x02"]),
    "a parameter read before and again, where a condition may leave it": (
        {"f": "U8", "v": "U8"}, ref("f") + ref("v") + ref("v", condition("f", 1)), [b"\x01\x05\x06", b"\x00\x05"]),
    "an indirect entry": ({"id": "U8"}, ref("id") + '<xtce:IndirectParameterRefEntry aliasNameSpace="ids">'
                          '<xtce:ParameterInstance parameterRef="id"/></xtce:IndirectParameterRefEntry>',
                          [b"\x01\x05", b"\x03\x00"]),
}


@pytest.mark.parametrize("name", list(TO_PYTHON))
def test_entries_the_program_cannot_express_go_to_python(name):
    parameters, entries, bodies = TO_PYTHON[name]
    text = document("", HEADER | parameters, HEAD + entries)
    definition = bitloom_xtce.load(text.replace(b"<xtce:ParameterSet>", b"<xtce:ParameterSet>" + ALIASED.encode()))
    data = b"".join(ccsds(body) for body in bodies)
    assert set(reasons(definition, data)) == {"needs python"}
    for raw in (False, True):
        assert_identical(*both(definition, data, raw))


def test_entries_read_whole_in_routed_containers():
    """Packets that end in different containers share the base container's slots."""
    types = A2
    parameters = HEADER | {"n": "U8", "a": "A2", "v": "U8", "w": "U16"}
    extra = ('<xtce:SequenceContainer name="C{0}"><xtce:EntryList>{1}</xtce:EntryList><xtce:BaseContainer '
             'containerRef="P"><xtce:RestrictionCriteria><xtce:Comparison parameterRef="h1" value="{2}" '
             'useCalibratedValue="false"/></xtce:RestrictionCriteria></xtce:BaseContainer></xtce:SequenceContainer>')
    containers = extra.format(1, ref("v", repeat(dynamic("n"))), 2049) + \
        extra.format(2, ref("w", condition("n", 2)), 2050)
    definition = bitloom_xtce.load(document(types, parameters, HEAD + ref("n") + ref("a", repeat(dynamic("n"))),
                                            containers))
    bodies = [(1, b"\x02\x01\x02\x03\x04\x07\x08"), (2, b"\x02\x01\x02\x03\x04\x00\x05"), (2, b"\x01\x01\x02"),
              (1, b"\x00"), (3, b"\x01\x05\x06")]
    data = b"".join(ccsds(body, apid) for apid, body in bodies * 5)
    assert "needs python" not in reasons(definition, data)
    for raw in (False, True):
        assert_identical(*both(definition, data, raw))


@pytest.mark.parametrize("raw", [False, True])
def test_entries_read_whole_on_threads(raw):
    """The shares of several threads put each slot's values back in packet order."""
    types, parameters, entries, containers, bodies = STRUCTURES["repeated container of text and sized bytes"]
    definition = bitloom_xtce.load(document(types, HEADER | parameters, HEAD + entries, containers))
    data = b"".join(ccsds(body) for body in bodies) * 5000
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        one, two = definition.decode_file(data, raw=raw), definition.decode_file(data, raw=raw, threads=2)
    assert_identical(two, one)
