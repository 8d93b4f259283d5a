"""Aggregates, arrays, repeats, include conditions, indirect entries and unmatched packets: each
case decodes packets one at a time and as a file, and the two must agree value for value."""
import warnings

import numpy as np
import pytest

import bitloom_xtce
from bitloom_xtce import PacketError, XtceError

NS = 'xmlns:xtce="http://www.omg.org/spec/XTCE/20180204"'
BASE = ('<xtce:IntegerParameterType name="U8"><xtce:IntegerDataEncoding sizeInBits="8"/></xtce:IntegerParameterType>'
        '<xtce:IntegerParameterType name="U16"><xtce:IntegerDataEncoding sizeInBits="16"/></xtce:IntegerParameterType>'
        '<xtce:FloatParameterType name="C8"><xtce:IntegerDataEncoding sizeInBits="8"><xtce:DefaultCalibrator>'
        '<xtce:PolynomialCalibrator><xtce:Term coefficient="0.5" exponent="1"/></xtce:PolynomialCalibrator>'
        '</xtce:DefaultCalibrator></xtce:IntegerDataEncoding></xtce:FloatParameterType>')


def fixed(v):
    return f"<xtce:FixedValue>{v}</xtce:FixedValue>"


def dynamic(ref, intercept=0):
    return (f'<xtce:DynamicValue><xtce:ParameterInstanceRef parameterRef="{ref}"/>'
            f'<xtce:LinearAdjustment intercept="{intercept}"/></xtce:DynamicValue>')


def dims(*pairs):
    return "<xtce:DimensionList>" + "".join(
        f"<xtce:Dimension><xtce:StartingIndex>{a}</xtce:StartingIndex><xtce:EndingIndex>{b}</xtce:EndingIndex>"
        "</xtce:Dimension>" for a, b in pairs) + "</xtce:DimensionList>"


def aggregate(name, **members):
    return (f'<xtce:AggregateParameterType name="{name}"><xtce:MemberList>'
            + "".join(f'<xtce:Member name="{m}" typeRef="{t}"/>' for m, t in members.items())
            + "</xtce:MemberList></xtce:AggregateParameterType>")


def array(name, element, *pairs):
    return f'<xtce:ArrayParameterType name="{name}" arrayTypeRef="{element}">{dims(*pairs)}</xtce:ArrayParameterType>'


def ref(p, inside=""):
    return f'<xtce:ParameterRefEntry parameterRef="{p}">{inside}</xtce:ParameterRefEntry>'


def condition(p, value, op="=="):
    return (f'<xtce:IncludeCondition><xtce:Comparison parameterRef="{p}" value="{value}" '
            f'comparisonOperator="{op}" useCalibratedValue="false"/></xtce:IncludeCondition>')


def repeat(count, offset=None):
    return (f"<xtce:RepeatEntry><xtce:Count>{count}</xtce:Count>"
            + (f"<xtce:Offset>{offset}</xtce:Offset>" if offset is not None else "") + "</xtce:RepeatEntry>")


def document(types, parameters, entries, containers=""):
    params = "".join(f'<xtce:Parameter name="{p}" parameterTypeRef="{t}"/>' for p, t in parameters.items())
    return (f'<?xml version="1.0"?><xtce:SpaceSystem name="S" {NS}><xtce:TelemetryMetaData>'
            f"<xtce:ParameterTypeSet>{BASE}{types}</xtce:ParameterTypeSet><xtce:ParameterSet>{params}</xtce:ParameterSet>"
            f'<xtce:ContainerSet><xtce:SequenceContainer name="P"><xtce:EntryList>{entries}</xtce:EntryList>'
            f"</xtce:SequenceContainer>{containers}</xtce:ContainerSet></xtce:TelemetryMetaData></xtce:SpaceSystem>"
            ).encode()


def ccsds(body, apid=1):
    return bytes([8 | apid >> 8, apid & 255, 0xC0, 0, (len(body) - 1) >> 8, (len(body) - 1) & 255]) + body


HEADER = {"h1": "U16", "h2": "U16", "h3": "U16"}
HEAD = ref("h1") + ref("h2") + ref("h3")

A2 = aggregate("A2", x="U8", y="U16")
R3 = array("R3", "U8", (fixed(0), fixed(2)))

CASES = {
    # name: (types, parameters, entries, [(body, expected decode values without the header)])
    "aggregate": (A2, {"a": "A2"}, ref("a"), [(b"\x01\x00\x02", {"a": {"x": 1, "y": 2}})]),
    "nested aggregate": (A2 + aggregate("N", p="A2", q="C8"), {"n": "N"}, ref("n"),
                         [(b"\x01\x00\x02\x05", {"n": {"p": {"x": 1, "y": 2}, "q": 2.5}})]),
    "fixed array": (R3, {"r": "R3"}, ref("r"), [(b"\x03\x04\x05", {"r": [3, 4, 5]})]),
    "calibrated array, 2 x 2": (array("M", "C8", (fixed(0), fixed(1)), (fixed(1), fixed(2))), {"m": "M"}, ref("m"),
                                [(b"\x02\x04\x06\x08", {"m": [[1.0, 2.0], [3.0, 4.0]]})]),
    "array of aggregates": (A2 + array("RA", "A2", (fixed(0), fixed(1))), {"r": "RA"}, ref("r"),
                            [(b"\x01\x00\x02\x03\x00\x04", {"r": [{"x": 1, "y": 2}, {"x": 3, "y": 4}]})]),
    "aggregate with an array": (R3 + aggregate("AR", n="U8", r="R3"), {"a": "AR"}, ref("a"),
                                [(b"\x09\x01\x02\x03", {"a": {"n": 9, "r": [1, 2, 3]}})]),
    "dynamic array": (array("D", "U8", (fixed(0), dynamic("n", -1))), {"n": "U8", "d": "D"}, ref("n") + ref("d"),
                      [(b"\x02\x07\x08", {"n": 2, "d": [7, 8]}), (b"\x00", {"n": 0, "d": []}),
                       (b"\x03\x01\x02\x03", {"n": 3, "d": [1, 2, 3]})]),
    "dynamic array sized by a member": (aggregate("H", n="U8") + array("D", "U8", (fixed(0), dynamic("h.n", -1))),
                                        {"h": "H", "d": "D"}, ref("h") + ref("d"),
                                        [(b"\x01\x07", {"h": {"n": 1}, "d": [7]}),
                                         (b"\x02\x07\x08", {"h": {"n": 2}, "d": [7, 8]})]),
    "include condition": ("", {"f": "U8", "v": "U16", "t": "U8"}, ref("f") + ref("v", condition("f", 1)) + ref("t"),
                          [(b"\x01\x00\x05\x09", {"f": 1, "v": 5, "t": 9}), (b"\x00\x09", {"f": 0, "t": 9})]),
    "condition on an aggregate member": (A2, {"a": "A2", "v": "U8"}, ref("a") + ref("v", condition("a/x", 1)),
                                         [(b"\x01\x00\x02\x03", {"a": {"x": 1, "y": 2}, "v": 3}),
                                          (b"\x00\x00\x02", {"a": {"x": 0, "y": 2}})]),
    "fixed repeat with an offset": ("", {"v": "U8"}, ref("v", repeat(fixed(3), fixed(8))),  # between occurrences
                                    [(b"\x01\xff\x02\xff\x03", {"v": [1, 2, 3]})]),
    "dynamic repeat of an aggregate": (A2, {"n": "U8", "a": "A2"}, ref("n") + ref("a", repeat(dynamic("n"))),
                                       [(b"\x02\x01\x00\x02\x03\x00\x04", {"n": 2, "a": [{"x": 1, "y": 2},
                                                                                     {"x": 3, "y": 4}]}),
                                        (b"\x00", {"n": 0, "a": []})]),
}


def agree(expected, got):
    if isinstance(expected, dict):
        assert isinstance(got, dict) and set(got) == set(expected), (expected, got)
        for k in expected:
            agree(expected[k], got[k])
    elif isinstance(expected, list) and expected and isinstance(expected[0], dict):
        assert len(got) == len(expected)
        for e, g in zip(expected, got):
            agree(e, g)
    else:
        np.testing.assert_array_equal(np.asarray(got), np.asarray(expected))


def leaf_columns(name, value, out):
    """decode's value as decode_file's columns: leaf members, arrays of aggregates by member."""
    if isinstance(value, dict):
        for k, v in value.items():
            leaf_columns(f"{name}.{k}", v, out)
    elif isinstance(value, list) and value and isinstance(value[0], dict):
        for k in value[0]:
            out[f"{name}.{k}"] = np.array([v[k] for v in value])
    else:
        out[name] = value
    return out


@pytest.mark.parametrize("case", CASES)
def test_decode_and_decode_file_agree(case):
    types, parameters, entries, packets = CASES[case]
    definition = bitloom_xtce.load(document(types, HEADER | parameters, HEAD + entries))
    stream = b""
    for body, expected in packets:
        values = definition.decode(ccsds(body))
        agree(expected, {k: v for k, v in values.items() if k not in HEADER})
        stream += ccsds(body)
    table = definition.decode_file(stream)["P"]
    for i, (body, _) in enumerate(packets):
        one = {}
        for k, v in definition.decode(ccsds(body)).items():
            leaf_columns(k, v, one)
        for column, values in table.items():
            got = values[i]
            if column not in one:
                assert np.ma.is_masked(got) or len(got) == 0, (column, i)  # no value, or no occurrences
            else:
                np.testing.assert_array_equal(np.asarray(got), np.asarray(one[column]), err_msg=f"{column} row {i}")


def test_fixed_structures_stay_in_the_column_path():
    definition = bitloom_xtce.load(document(A2 + array("M", "U16", (fixed(0), fixed(1)), (fixed(0), fixed(2))),
                                            HEADER | {"a": "A2", "m": "M"}, HEAD + ref("a") + ref("m")))
    body = b"\x01\x00\x02" + bytes(range(12))
    table = definition.decode_file(ccsds(body) * 4)["P"]
    assert table["m"].shape == (4, 2, 3) and table["m"].dtype == np.uint16
    assert table["a.x"].dtype == np.uint8 and list(table) == ["h1", "h2", "h3", "a.x", "a.y", "m"]
    segment = definition._segments["P"]
    assert all(type(step).__name__ == "Block" for step in segment.steps)


def test_ragged_and_masked_columns():
    types, parameters, entries, packets = CASES["dynamic array"]
    definition = bitloom_xtce.load(document(types, HEADER | parameters, HEAD + entries))
    column = definition.decode_file(b"".join(ccsds(b) for b, _ in packets))["P"]["d"]
    assert column.dtype == object and [list(v) for v in column] == [[7, 8], [], [1, 2, 3]]
    types, parameters, entries, packets = CASES["include condition"]
    definition = bitloom_xtce.load(document(types, HEADER | parameters, HEAD + entries))
    column = definition.decode_file(b"".join(ccsds(b) for b, _ in packets))["P"]["v"]
    assert isinstance(column, np.ma.MaskedArray) and column.mask.tolist() == [False, True]


def test_conditions_inside_a_repeated_container():
    inner = ('<xtce:SequenceContainer name="I"><xtce:EntryList>' + ref("k") + ref("v", condition("k", 1))
             + "</xtce:EntryList></xtce:SequenceContainer>")
    entries = ref("n") + f'<xtce:ContainerRefEntry containerRef="I">{repeat(dynamic("n"))}</xtce:ContainerRefEntry>'
    definition = bitloom_xtce.load(document("", HEADER | {"n": "U8", "k": "U8", "v": "U8"}, HEAD + entries, inner))
    values = definition.decode(ccsds(b"\x03\x01\x07\x00\x01\x08"))
    assert values["k"].tolist() == [1, 0, 1] and values["v"].tolist() == [7, 8]


def indirect_definition():
    """Headerless packets of `id`, then the parameter whose alias in "ids" is id's value (a: 1, b: 2)."""
    params = ('<xtce:Parameter name="id" parameterTypeRef="U8"/>'
              '<xtce:Parameter name="a" parameterTypeRef="U8"><xtce:AliasSet><xtce:Alias nameSpace="ids" alias="1"/>'
              '</xtce:AliasSet></xtce:Parameter>'
              '<xtce:Parameter name="b" parameterTypeRef="U16"><xtce:AliasSet><xtce:Alias nameSpace="ids" alias="2"/>'
              '</xtce:AliasSet></xtce:Parameter>')
    entries = (ref("id") + '<xtce:IndirectParameterRefEntry aliasNameSpace="ids"><xtce:ParameterInstance '
               'parameterRef="id"/></xtce:IndirectParameterRefEntry>')
    text = document("", {}, entries).replace(b"<xtce:ParameterSet>", b"<xtce:ParameterSet>" + params.encode())
    return bitloom_xtce.load(text)


def test_indirect_entry():
    definition = indirect_definition()
    assert definition.decode(b"\x01\x05") == {"id": 1, "a": 5}
    assert definition.decode(b"\x02\x01\x02") == {"id": 2, "b": 258}
    with pytest.raises(PacketError, match="no parameter has that alias"):
        definition.decode(b"\x03\x00")


def test_unmatched_packets():
    child = ('<xtce:SequenceContainer name="C"><xtce:EntryList>' + ref("v") + '</xtce:EntryList><xtce:BaseContainer '
             'containerRef="P"><xtce:RestrictionCriteria><xtce:Comparison parameterRef="h3" value="1"/>'
             '</xtce:RestrictionCriteria></xtce:BaseContainer></xtce:SequenceContainer>')
    text = document("", HEADER | {"v": "U8"}, HEAD, child).replace(b'name="P"', b'name="P" abstract="true"')
    definition = bitloom_xtce.load(text)
    assert definition.decode_with_container(ccsds(b"\x05")) == ("P", {"h1": 2049, "h2": 49152, "h3": 0})
    stream = ccsds(b"\x05") + ccsds(b"\x05\x06")
    with pytest.warns(bitloom_xtce.DecodeWarning, match="matching no concrete container"):
        assert set(definition.decode_file(stream)) == {"C"}
    kept = definition.decode_file(stream, unmatched="keep")
    assert kept["P"]["h3"].tolist() == [0] and kept["C"]["v"].tolist() == [5]
    with pytest.raises(ValueError, match="unmatched"):
        definition.decode_file(stream, unmatched="drop")


@pytest.mark.parametrize("types, entries, message", [
    (array("X", "U8", (fixed(0), fixed(1 << 30))), ref("x"), "at most 16777216 elements"),
    (aggregate("X", a="X"), ref("x"), "types hold each other"),
    (aggregate("X", a="U8", b="NOPE"), ref("x"), "NOPE"),
    ('<xtce:ArrayParameterType name="X" arrayTypeRef="U8"/>', ref("x"), "needs a DimensionList"),
    (aggregate("X", a="U8"), ref("v", condition("x.zz", 1)), "no member 'zz'"),
])
def test_bad_structures_refused(types, entries, message):
    with warnings.catch_warnings(), pytest.raises(XtceError, match=message):
        warnings.simplefilter("ignore")
        bitloom_xtce.load(document(types, {"x": "X", "v": "U8"}, ref("x") + entries if entries != ref("x")
                                   else entries))


@pytest.mark.parametrize("body", [b"\xff\xff\xff\xff", b"\xff"])
def test_hostile_dynamic_sizes_fail_the_packet(body):
    definition = bitloom_xtce.load(document(array("D", "U8", (fixed(0), dynamic("n"))), {"n": "U32", "d": "D"},
                                            ref("n") + ref("d")).replace(b'"U32"', b'"U16"'))
    with pytest.raises(PacketError, match="does not fit|too short"):
        definition.decode(body)


def test_deeply_nested_types_refused():
    # declared outermost first, so that each type builds the ones it holds
    deep = "".join(aggregate(f"X{i}", a=f"X{i - 1}") for i in range(149, 0, -1)) + aggregate("X0", a="U8")
    with warnings.catch_warnings(), pytest.raises(XtceError, match="nested more than"):
        warnings.simplefilter("ignore")
        bitloom_xtce.load(document(deep, {"x": "X149"}, ref("x")))


# -- encoding structures --------------------------------------------------------------------------

H = {"h1": 2049, "h2": 49152, "h3": 0}


def same(expected, got):
    agree(expected, got)
    for key in expected if isinstance(expected, dict) else ():
        if isinstance(expected[key], list) and expected[key] and isinstance(expected[key][0], dict):
            for e, g in zip(expected[key], got[key]):
                same(e, g)


@pytest.mark.parametrize("case", CASES)
def test_structures_round_trip_through_encode_and_encode_many(case):
    types, parameters, entries, packets = CASES[case]
    definition = bitloom_xtce.load(document(types, HEADER | parameters, HEAD + entries))
    for body, expected in packets:
        values = definition.decode(ccsds(body))
        packet = definition.encode("P", values)
        same(values, definition.decode(packet))
        if "offset" not in case:  # the bits between repeats are not values: written as zeros
            assert packet == ccsds(body)
        raw = definition.decode(ccsds(body), raw=True)
        same(raw, definition.decode(definition.encode("P", raw, raw=True), raw=True))
    stream = b"".join(ccsds(b) for b, _ in packets)
    again = definition.encode_many("P", definition.decode_file(stream)["P"])
    assert again == stream or "offset" in case
    for column, values in definition.decode_file(again)["P"].items():
        for got, want in zip(values, definition.decode_file(stream)["P"][column]):
            assert np.ma.is_masked(got) == np.ma.is_masked(want)
            if not np.ma.is_masked(got):
                np.testing.assert_array_equal(np.asarray(got), np.asarray(want))


def test_encoding_structures_fills_counts_and_refuses_what_would_not_decode_back():
    types, parameters, entries, _ = CASES["dynamic array"]
    dynamic_array = bitloom_xtce.load(document(types, HEADER | parameters, HEAD + entries))
    assert dynamic_array.decode(dynamic_array.encode("P", H | {"d": [5, 6, 7]}))["n"] == 3  # n from d's length
    types, parameters, entries, _ = CASES["dynamic repeat of an aggregate"]
    repeated = bitloom_xtce.load(document(types, HEADER | parameters, HEAD + entries))
    assert repeated.decode(repeated.encode("P", H | {"a": [{"x": 1, "y": 2}]}))["n"] == 1
    types, parameters, entries, _ = CASES["include condition"]
    conditional = bitloom_xtce.load(document(types, HEADER | parameters, HEAD + entries))
    for definition, values, message in [
        (dynamic_array, {"n": 2, "d": [5, 6, 7]}, r"d: an array of shape \(3,\), its type's is \(2,\)"),
        (repeated, {"n": 2, "a": [{"x": 1, "y": 2}]}, "a: 1 occurrences given, its entry repeats 2 times"),
        (repeated, {"a": [{"x": 1}]}, "a: no value for its member 'y'"),
        (repeated, {"a": [{"x": 1, "y": 2, "z": 3}]}, "a: no member 'z'"),
        (conditional, {"f": 0, "v": 5, "t": 1}, "v: a value is given, but the include condition"),
        (conditional, {"f": 1, "t": 1}, "no value for 'v'"),
    ]:
        with pytest.raises(ValueError, match=message):
            definition.encode("P", H | values)


def test_encoding_conditions_inside_a_repeated_container_and_indirect_entries():
    inner = ('<xtce:SequenceContainer name="I"><xtce:EntryList>' + ref("k") + ref("v", condition("k", 1))
             + "</xtce:EntryList></xtce:SequenceContainer>")
    entries = ref("n") + f'<xtce:ContainerRefEntry containerRef="I">{repeat(dynamic("n"))}</xtce:ContainerRefEntry>'
    definition = bitloom_xtce.load(document("", HEADER | {"n": "U8", "k": "U8", "v": "U8"}, HEAD + entries, inner))
    packet = ccsds(b"\x03\x01\x07\x00\x01\x08")
    assert definition.encode("P", definition.decode(packet)) == packet
    assert definition.encode_many("P", definition.decode_file(packet * 2)["P"]) == packet * 2
    with pytest.raises(ValueError, match="v: 3 occurrences given, its entry repeats 2 times"):
        definition.encode("P", H | {"n": 2, "k": [1, 1], "v": [1, 2, 3]})
    indirect = indirect_definition()
    assert indirect.encode("P", {"id": 2, "b": 258}) == b"\x02\x01\x02"
    with pytest.raises(ValueError, match="no value for 'a'"):
        indirect.encode("P", {"id": 1, "b": 258})
    with pytest.raises(ValueError, match="b: a value is given, but no entry of the packet places it"):
        indirect.encode("P", {"id": 1, "a": 3, "b": 258})


# -- checks, raw text and bytes inside structures ----------------------------------------------------

LIMITED = ('<xtce:IntegerParameterType name="L"><xtce:IntegerDataEncoding sizeInBits="8"/><xtce:DefaultAlarm>'
           '<xtce:StaticAlarmRanges><xtce:WarningRange maxInclusive="10"/></xtce:StaticAlarmRanges></xtce:DefaultAlarm>'
           '<xtce:ValidRange maxInclusive="20" validRangeAppliesToCalibrated="false"/></xtce:IntegerParameterType>')
CHECKED = {
    # name: (types, parameters, entries, bodies, {column: per packet (invalid, alarm level) or None})
    "conditional": ("", {"n": "U8", "v": "L"}, ref("n") + ref("v", condition("n", 1)),
                    [b"\x01\x05", b"\x00", b"\x01\x19"], {"v": [(False, 0), None, (True, 2)]}),
    "repeated": ("", {"v": "L"}, ref("v", repeat(fixed(2))), [b"\x05\x0f"], {"v": [([False, False], [0, 2])]}),
    "aggregate member": (aggregate("AL", x="L", y="U8"), {"a": "AL"}, ref("a"), [b"\x0f\x19", b"\x15\x00"],
                         {"a.x": [(False, 2), (True, 2)]}),
    "fixed array": (array("RL", "L", (fixed(0), fixed(1))), {"r": "RL"}, ref("r"), [b"\x01\x15"],
                    {"r": [([False, True], [0, 2])]}),
    "dynamic array of aggregates": (aggregate("AL", x="L", y="U8") + array("DA", "AL", (fixed(1), dynamic("n"))),
                                    {"n": "U8", "d": "DA"}, ref("n") + ref("d"), [b"\x02\x01\x00\x0b\x00", b"\x00"],
                                    {"d.x": [([False, False], [0, 2]), ([], [])]}),
}


@pytest.mark.parametrize("case", CHECKED)
def test_checks_of_values_inside_structures(case):
    types, parameters, entries, bodies, expected = CHECKED[case]
    definition = bitloom_xtce.load(document(LIMITED + types, HEADER | parameters, HEAD + entries))
    result = definition.decode_file(b"".join(ccsds(b) for b in bodies))
    for column, rows in expected.items():
        for i, (body, want) in enumerate(zip(bodies, rows)):
            one = definition.decode_checked(ccsds(body))
            for got, table, k in ((one.invalid, result.invalid, 0), (one.alarms, result.alarms, 1)):
                row = table["P"][column][i]
                if want is None:
                    assert column not in got and np.ma.is_masked(row)
                else:
                    assert np.asarray(got[column]).tolist() == want[k] == np.asarray(row).tolist()


TEXT2 = ('<xtce:StringParameterType name="S2"><xtce:StringDataEncoding><xtce:SizeInBits><xtce:Fixed><xtce:FixedValue>16'
         '</xtce:FixedValue></xtce:Fixed></xtce:SizeInBits></xtce:StringDataEncoding></xtce:StringParameterType>'
         '<xtce:BinaryParameterType name="B2"><xtce:BinaryDataEncoding><xtce:SizeInBits><xtce:FixedValue>16'
         '</xtce:FixedValue></xtce:SizeInBits></xtce:BinaryDataEncoding></xtce:BinaryParameterType>'
         '<xtce:IntegerParameterType name="N2"><xtce:StringDataEncoding><xtce:SizeInBits><xtce:Fixed><xtce:FixedValue>'
         '16</xtce:FixedValue></xtce:Fixed></xtce:SizeInBits></xtce:StringDataEncoding></xtce:IntegerParameterType>')


def plain(value):
    if isinstance(value, list):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    return value.tolist() if isinstance(value, np.ndarray) else value


@pytest.mark.parametrize("types, parameter, entry, body, calibrated, raw", [
    ("", "S2", condition("n", 1), b"\x01a\0", "a\0", b"a\0"),
    ("", "S2", repeat(fixed(2)), b"\x01ab\0\0", ["ab", "\0\0"], [b"ab", b"\0\0"]),
    (aggregate("AS", x="U8", s="S2") + array("X", "AS", (fixed(1), dynamic("n"))), "X", "", b"\x01\x07z\0",
     [{"x": 7, "s": "z\0"}], [{"x": 7, "s": b"z\0"}]),
    (array("X", "B2", (fixed(1), dynamic("n"))), "X", "", b"\x02a\0\0\0", [b"a\0", b"\0\0"], [b"a\0", b"\0\0"]),
    ("", "B2", repeat(fixed(2)), b"\x01a\0b\0", [b"a\0", b"b\0"], [b"a\0", b"b\0"]),
    (array("X", "B2", (fixed(0), fixed(1))), "X", "", b"\x01\0\x01\0\0", [b"\0\x01", b"\0\0"], [b"\0\x01", b"\0\0"]),
    ("", "N2", repeat(fixed(2)), b"\x01 7-2", [7, -2], [b" 7", b"-2"]),
])
def test_text_and_bytes_inside_structures_keep_every_byte(types, parameter, entry, body, calibrated, raw):
    definition = bitloom_xtce.load(document(TEXT2 + types, HEADER | {"n": "U8", "v": parameter},
                                            HEAD + ref("n") + ref("v", entry)))
    for want, as_raw in ((calibrated, False), (raw, True)):
        assert plain(definition.decode(ccsds(body), raw=as_raw)["v"]) == want
        column = definition.decode_file(ccsds(body), raw=as_raw)["P"]
        if isinstance(want, list) and isinstance(want[0], dict):
            assert plain(column["v.s"][0]) == [w["s"] for w in want]
        else:
            assert plain(column["v"][0]) == want


@pytest.mark.parametrize("entry, reason", [
    (ref("t", repeat(fixed(2))), "with a bad 't' value in container 'P'"),  # fixed: read by the column path
    (ref("t", repeat(dynamic("n", 1))), "with a bad 't' field in container 'P'"),  # read per packet
    (ref("a"), "with a bad 'a' value in container 'P'"),
])
def test_a_bad_number_text_inside_a_structure_is_a_bad_packet(entry, reason):
    definition = bitloom_xtce.load(document(TEXT2 + aggregate("AT", u="N2", v="N2"),
                                            HEADER | {"n": "U8", "t": "N2", "a": "AT"}, HEAD + ref("n") + entry))
    with pytest.raises(PacketError, match="text 'x1' is not an integer") as refused:
        definition.decode(ccsds(b"\x01x112"))
    assert refused.value.reason == reason
    with pytest.warns(bitloom_xtce.DecodeWarning, match=f"1 {reason}"):
        table = definition.decode_file(ccsds(b"\x01x112") + ccsds(b"\x011234"))["P"]
    assert [np.asarray(list(v)).tolist() for k, v in table.items() if k not in HEADER and k != "n"] in (
        [[[12, 34]]], [[12], [34]])


def test_a_fixed_repeat_of_fixed_fields_is_read_as_leaves_unless_its_parameter_is_placed_elsewhere():
    once = bitloom_xtce.load(document(A2, HEADER | {"a": "A2", "v": "U8"},
                                      HEAD + ref("a", repeat(fixed(2))) + ref("v", repeat(fixed(3)))))
    assert [type(s).__name__ for s in once._segments["P"].steps] == ["Block"]
    body = b"\x01\x00\x02\x03\x00\x04\x07\x08\x09"
    assert plain(once.decode(ccsds(body))) | {"h1": 0, "h2": 0, "h3": 0} == {
        "h1": 0, "h2": 0, "h3": 0, "a": [{"x": 1, "y": 2}, {"x": 3, "y": 4}], "v": [7, 8, 9]}
    table = once.decode_file(ccsds(body) * 2)["P"]
    assert table["a.y"].tolist() == [[2, 4]] * 2 and table["v"].dtype == np.uint8 and table["v"].shape == (2, 3)
    twice = bitloom_xtce.load(document("", HEADER | {"v": "U8"}, HEAD + ref("v", repeat(fixed(2))) + ref("v")))
    assert any(type(s).__name__ == "Structure" for s in twice._segments["P"].steps)
    assert twice.decode(ccsds(b"\x01\x02\x03"))["v"] == 3


def test_restrictions_and_sizes_on_members_of_an_aggregate_in_the_base_container():
    header = aggregate("HDR", kind="U8", sub="U8", size="U8")
    text = ('<xtce:StringParameterType name="SV"><xtce:StringDataEncoding><xtce:Variable maxSizeInBits="800">'
            '<xtce:DynamicValue><xtce:ParameterInstanceRef parameterRef="hdr/size"/><xtce:LinearAdjustment slope="8"/>'
            '</xtce:DynamicValue></xtce:Variable></xtce:StringDataEncoding></xtce:StringParameterType>')
    children = "".join(
        f'<xtce:SequenceContainer name="{name}"><xtce:EntryList>{ref(p)}</xtce:EntryList><xtce:BaseContainer '
        f'containerRef="P"><xtce:RestrictionCriteria><xtce:ComparisonList>{tests}</xtce:ComparisonList>'
        '</xtce:RestrictionCriteria></xtce:BaseContainer></xtce:SequenceContainer>'
        for name, p, tests in [("E5", "s", '<xtce:Comparison parameterRef="hdr/kind" value="5"/>'
                                           '<xtce:Comparison parameterRef="hdr.sub" value="1"/>'),
                               ("E3", "v", '<xtce:Comparison parameterRef="hdr/kind" value="3"/>')])
    definition = bitloom_xtce.load(document(header + text, HEADER | {"hdr": "HDR", "s": "SV", "v": "U16"},
                                            HEAD + ref("hdr"), children).replace(b'name="P"', b'name="P" abstract="true"'))
    packets = [ccsds(b"\x05\x01\x03abc"), ccsds(b"\x03\x00\x00\x01\x02"), ccsds(b"\x05\x01\x00")]
    assert [definition.decode_with_container(p)[0] for p in packets] == ["E5", "E3", "E5"]
    assert definition.decode(packets[0])["s"] == "abc"
    tables = definition.decode_file(b"".join(packets))
    assert tables["E5"]["s"].tolist() == ["abc", ""] and tables["E3"]["v"].tolist() == [258]


def test_a_parameter_left_out_by_its_condition_fails_tests_and_sizes_in_both_paths():
    binary = ('<xtce:BinaryParameterType name="B"><xtce:BinaryDataEncoding><xtce:SizeInBits><xtce:DynamicValue>'
              '<xtce:ParameterInstanceRef parameterRef="n"/><xtce:LinearAdjustment slope="8"/></xtce:DynamicValue>'
              '</xtce:SizeInBits></xtce:BinaryDataEncoding></xtce:BinaryParameterType>')
    child = ('<xtce:SequenceContainer name="C"><xtce:EntryList>' + ref("b") + '</xtce:EntryList><xtce:BaseContainer '
             'containerRef="P"><xtce:RestrictionCriteria><xtce:Comparison parameterRef="n" value="1" comparisonOperator='
             '"&gt;="/></xtce:RestrictionCriteria></xtce:BaseContainer></xtce:SequenceContainer>')
    definition = bitloom_xtce.load(document(binary, HEADER | {"f": "U8", "n": "U8", "b": "B"},
                                            HEAD + ref("f") + ref("n", condition("f", 1)), child))
    packets = [ccsds(b"\x01\x02ab"), ccsds(b"\x00\x07")]
    assert definition.decode_with_container(packets[0]) == ("C", {**definition.decode(packets[0])})
    assert definition.decode_with_container(packets[1])[0] == "P"  # no n: "n >= 1" does not hold
    tables = definition.decode_file(b"".join(packets))
    assert tables["C"]["b"].tolist() == [b"ab"] and tables["P"]["f"].tolist() == [0]
    sized = bitloom_xtce.load(document(binary, HEADER | {"f": "U8", "n": "U8", "b": "B"},
                                       HEAD + ref("f") + ref("n", condition("f", 1)) + ref("b")))
    with pytest.raises(PacketError, match="its size comes from 'n', which has no value") as refused:
        sized.decode(ccsds(b"\x00\x07"))
    with pytest.warns(bitloom_xtce.DecodeWarning, match=f"1 {refused.value.reason}"):
        assert sized.decode_file(ccsds(b"\x00\x07") + ccsds(b"\x01\x01a"))["P"]["b"].tolist() == [b"a"]


@pytest.mark.parametrize("entries, body, expected", [
    (ref("f") + ref("v") + ref("v", condition("f", 1)), b"\x00\x05", 5),  # the condition fails: the earlier value
    (ref("f") + ref("v") + ref("v", condition("f", 1)), b"\x01\x05\x06", 6),
    (ref("f") + ref("v", condition("f", 1)) + ref("v"), b"\x00\x07", 7),  # listed again plainly: that value
])
def test_a_parameter_listed_again_with_a_condition_agrees_in_both_paths(entries, body, expected):
    definition = bitloom_xtce.load(document("", HEADER | {"f": "U8", "v": "U8"}, HEAD + entries))
    assert definition.decode(ccsds(body))["v"] == expected
    assert definition.decode_file(ccsds(body))["P"]["v"].tolist() == [expected]


def test_an_included_container_sized_by_the_container_that_includes_it():
    # Inner's field takes its size from n, which only the including container decodes: valid,
    # and refused at load before ("not decoded before it").
    types = ('<xtce:BinaryParameterType name="B"><xtce:BinaryDataEncoding><xtce:SizeInBits>'
             '<xtce:DynamicValue><xtce:ParameterInstanceRef parameterRef="n"/><xtce:LinearAdjustment slope="8"/>'
             "</xtce:DynamicValue></xtce:SizeInBits></xtce:BinaryDataEncoding></xtce:BinaryParameterType>")
    inner = f'<xtce:SequenceContainer name="Inner"><xtce:EntryList>{ref("b")}</xtce:EntryList></xtce:SequenceContainer>'
    text = document(types, {**HEADER, "n": "U8", "b": "B", "t": "U8"},
                    HEAD + ref("n") + '<xtce:ContainerRefEntry containerRef="Inner"/>' + ref("t"), inner)
    definition = bitloom_xtce.load(text, root="P")
    packets = [ccsds(b"\x02ab\x07"), ccsds(b"\x00\x09"), ccsds(b"\x01c\x05")]
    assert [definition.decode(p)["b"] for p in packets] == [b"ab", b"", b"c"]
    result = definition.decode_file(b"".join(packets))
    assert result["P"]["b"].tolist() == [b"ab", b"", b"c"] and result["P"]["t"].tolist() == [7, 9, 5]
    alone = bitloom_xtce.load(text, root="Inner")  # Inner alone has no n: its packets are bad, not the file
    with pytest.raises(bitloom_xtce.PacketError, match="its size comes from 'n'"):
        alone.decode(b"ab")
    with pytest.warns(bitloom_xtce.DecodeWarning):
        assert sum(n for n, _ in alone.decode_file(ccsds(b"ab") * 2).skipped.values()) == 2


@pytest.mark.parametrize("element, calibrated, raw", [
    ("U8", np.int64, np.int64), ("C8", np.float64, np.int64), ("S2", np.dtypes.StringDType(), object),
])
@pytest.mark.parametrize("entry", ["repeat", "array"])
def test_empty_repeats_and_arrays_have_their_elements_dtype(element, calibrated, raw, entry):
    types = TEXT2 + array("D", element, (fixed(0), dynamic("n", -1)))
    value = ref("v", repeat(dynamic("n"))) if entry == "repeat" else ref("v")
    d = bitloom_xtce.load(document(types, {**HEADER, "n": "U8", "v": element if entry == "repeat" else "D"},
                                   HEAD + ref("n") + value))
    packets = [ccsds(b"\x00"), ccsds(b"\x01" + b"\x30\x31"[:2 if element == "S2" else 1])]
    for as_raw, dtype in ((False, calibrated), (True, raw)):
        singles = [d.decode(p, raw=as_raw)["v"] for p in packets]
        column = d.decode_file(b"".join(packets), raw=as_raw)["P"]["v"]
        assert [s.dtype for s in singles] == [np.dtype(dtype)] * 2 == [c.dtype for c in column]
        assert singles[0].shape == (0,) and len(singles[1]) == 1


def lookup(*pairs):
    """A DiscreteLookupList: (value, n's raw value that selects it), first match wins."""
    return "<xtce:DiscreteLookupList>" + "".join(
        f'<xtce:DiscreteLookup value="{v}"><xtce:Comparison parameterRef="n" value="{k}" comparisonOperator="{op}" '
        'useCalibratedValue="false"/></xtce:DiscreteLookup>' for v, k, op in pairs) + "</xtce:DiscreteLookupList>"


SIZES = lookup((16, 1, "=="), (0, 2, "=="), (24, 2, ">="))  # n=3: the third; n=2: the second, not the third


@pytest.mark.parametrize("types, entry, expected", [
    ("", ref("v", repeat(lookup((2, 1, "=="), (0, 2, "=="), (3, 2, ">=")))), [[0x61, 0x62], [], [0x61, 0x62, 0x63]]),
    (array("D", "U8", (fixed(0), lookup((1, 1, "=="), (-1, 2, "=="), (2, 2, ">=")))), ref("v"),
     [[0x61, 0x62], [], [0x61, 0x62, 0x63]]),
    ('<xtce:StringParameterType name="D"><xtce:StringDataEncoding><xtce:Variable maxSizeInBits="64">'
     f'{SIZES}</xtce:Variable></xtce:StringDataEncoding></xtce:StringParameterType>', ref("v"), ["ab", "", "abc"]),
    (f'<xtce:BinaryParameterType name="D"><xtce:BinaryDataEncoding><xtce:SizeInBits>{SIZES}</xtce:SizeInBits>'
     '</xtce:BinaryDataEncoding></xtce:BinaryParameterType>', ref("v"), [b"ab", b"", b"abc"]),
])
def test_counts_indexes_and_sizes_from_a_lookup_table(types, entry, expected):
    d = bitloom_xtce.load(document(types, {**HEADER, "n": "U8", "v": "D" if types else "U8", "w": "U8"},
                                   HEAD + ref("n") + entry + ref("w")))
    packets = [ccsds(b"\x01ab\x07"), ccsds(b"\x02\x07"), ccsds(b"\x03abc\x07")]
    singles = [d.decode(p) for p in packets]
    assert [plain(s["v"]) for s in singles] == expected and [s["w"] for s in singles] == [7] * 3
    with pytest.warns(bitloom_xtce.DecodeWarning, match="1 of 4 packets"):
        result = d.decode_file(b"".join(packets) + ccsds(b"\x00\x07"))  # no criterion holds: a bad packet
    assert [plain(v) for v in result["P"]["v"]] == expected and result["P"]["w"].tolist() == [7] * 3
    with pytest.raises(PacketError, match="no criterion of the lookup table"):
        d.decode(ccsds(b"\x00\x07"))
    assert d.encode_many("P", result["P"]) == b"".join(packets)


def from_end(bits):
    return (f'<xtce:LocationInContainerInBits referenceLocation="containerEnd">{fixed(bits)}'
            '</xtce:LocationInContainerInBits>')


SIZED_BY_N = ('<xtce:BinaryParameterType name="B"><xtce:BinaryDataEncoding><xtce:SizeInBits><xtce:DynamicValue>'
              '<xtce:ParameterInstanceRef parameterRef="n"/><xtce:LinearAdjustment slope="8"/></xtce:DynamicValue>'
              '</xtce:SizeInBits></xtce:BinaryDataEncoding></xtce:BinaryParameterType>')


def sized_container(name, bits, entries):
    return (f'<xtce:SequenceContainer name="{name}"><xtce:BinaryEncoding><xtce:SizeInBits>{fixed(bits)}'
            f'</xtce:SizeInBits></xtce:BinaryEncoding><xtce:EntryList>{entries}</xtce:EntryList></xtce:SequenceContainer>')


@pytest.mark.parametrize("parameters, entries, containers, expected", [
    # after a field of a size known per packet: the packet's last 16 bits, then 8 bits before them
    ({"b": "B", "c": "U16"}, ref("b") + ref("c", from_end(0)), "", [{"c": 0x3409}, {"c": 0x3409}]),
    ({"c": "U16", "w": "U8"}, ref("c", from_end(8)) + ref("w"), "", [{"c": 0x1234, "w": 9}] * 2),
    # a repeat of a fixed count, and inside a container that gives its size (then from its end)
    ({"c": "U8"}, ref("c", repeat(fixed(2)) + from_end(0)), "", [{"c": [0x34, 9]}] * 2),
    ({"c": "U8", "w": "U8"}, '<xtce:ContainerRefEntry containerRef="I"/>' + ref("w"),
     sized_container("I", 24, ref("c", from_end(0))), [{"c": 0x34, "w": 9}, {"c": 0x12, "w": 0x34}]),
])
def test_entries_placed_from_the_container_end(parameters, entries, containers, expected):
    d = bitloom_xtce.load(document(SIZED_BY_N, {**HEADER, "n": "U8", **parameters}, HEAD + ref("n") + entries,
                                   containers))
    packets = [ccsds(b"\x01\xaa\x12\x34\x09"), ccsds(b"\x02\xaa\xbb\x12\x34\x09")]
    result = d.decode_file(b"".join(packets))["P"]
    for i, (packet, want) in enumerate(zip(packets, expected)):
        single = d.decode(packet)
        assert {k: plain(single[k]) for k in want} == want == {k: plain(result[k][i]) for k in want}


@pytest.mark.parametrize("entries, message", [
    (ref("n") + ref("b", from_end(0)), "placed from the end of its container: that needs an entry of a fixed size"),
    (ref("n", '<xtce:LocationInContainerInBits referenceLocation="nextEntry">' + fixed(0)
         + "</xtce:LocationInContainerInBits>"), "'nextEntry' is not supported"),
])
def test_entries_placed_from_the_end_refused(entries, message):
    with pytest.raises(XtceError, match=message):
        bitloom_xtce.load(document(SIZED_BY_N, {**HEADER, "n": "U8", "b": "B"}, HEAD + entries))


def test_an_entry_from_the_end_of_a_too_short_packet_is_a_bad_packet():
    d = bitloom_xtce.load(document("", {**HEADER, "n": "U8"}, HEAD + ref("n", from_end(64))))
    with pytest.raises(PacketError, match="would start 16 bits before the packet"):
        d.decode(ccsds(b"\x01"))
    long = ccsds(b"\x01\x02" + bytes(8))
    for data in (ccsds(b"\x01") + long, long + ccsds(b"\x01")):  # never the bits of the packet before
        with pytest.warns(bitloom_xtce.DecodeWarning, match="1 of 2 packets"):
            assert d.decode_file(data)["P"]["n"].tolist() == [2]


def by_sibling(ref_name):
    """A member type calibrated x10 where the member `ref_name` (raw) is 1, else x1."""
    return ('<xtce:FloatParameterType name="K"><xtce:IntegerDataEncoding sizeInBits="8"><xtce:DefaultCalibrator>'
            '<xtce:PolynomialCalibrator><xtce:Term coefficient="1" exponent="1"/></xtce:PolynomialCalibrator>'
            '</xtce:DefaultCalibrator><xtce:ContextCalibratorList><xtce:ContextCalibrator><xtce:ContextMatch>'
            f'<xtce:Comparison parameterRef="{ref_name}" value="1" useCalibratedValue="false"/></xtce:ContextMatch>'
            '<xtce:Calibrator><xtce:PolynomialCalibrator><xtce:Term coefficient="10" exponent="1"/>'
            '</xtce:PolynomialCalibrator></xtce:Calibrator></xtce:ContextCalibrator></xtce:ContextCalibratorList>'
            '</xtce:IntegerDataEncoding></xtce:FloatParameterType>' + aggregate("A", m="U8", k="K"))


@pytest.mark.parametrize("types, entry", [
    ("", ref("a", repeat(fixed(2)))),  # read as leaves by the column path
    ("", ref("a", repeat(dynamic("n")))),  # read per packet
    (array("X", "A", (fixed(0), fixed(1))), ref("a")),
    (array("X", "A", (fixed(1), dynamic("n"))), ref("a")),
])
@pytest.mark.parametrize("form", ["a.m", "a/m"])
def test_a_context_calibrator_on_a_sibling_member_of_each_occurrence(types, entry, form):
    d = bitloom_xtce.load(document(by_sibling(form) + types, {**HEADER, "n": "U8", "a": "X" if types else "A"},
                                   HEAD + ref("n") + entry))
    packets = [ccsds(b"\x02\x01\x05\x00\x05"), ccsds(b"\x02\x00\x07\x01\x07")]
    expected = [[50.0, 5.0], [7.0, 70.0]]
    assert [[o["k"] for o in d.decode(p)["a"]] for p in packets] == expected
    assert [plain(k) for k in d.decode_file(b"".join(packets))["P"]["a.k"]] == expected


def test_a_context_from_another_repeated_entry_leaves_no_value():
    d = bitloom_xtce.load(document(by_sibling("b.m") + aggregate("B", m="U8"), {**HEADER, "n": "U8", "a": "A", "b": "B"},
                                   HEAD + ref("n") + ref("b", repeat(dynamic("n"))) + ref("a", repeat(dynamic("n")))))
    packets = [ccsds(b"\x02\x01\x01\x01\x05\x00\x05"), ccsds(b"\x00")]
    with pytest.raises(PacketError, match="'b' holds several values"):
        d.decode(packets[0])
    column = d.decode_file(b"".join(packets))["P"]["a.k"]  # the file decodes; that packet has no value
    assert column.mask.tolist() == [True, False] and column[1].dtype == np.float64 and column[1].size == 0


CONTEXT_ALARMED = ('<xtce:IntegerParameterType name="T"><xtce:IntegerDataEncoding sizeInBits="8"/><xtce:DefaultAlarm>'
                   '<xtce:StaticAlarmRanges><xtce:WarningRange maxInclusive="60"/></xtce:StaticAlarmRanges>'
                   '</xtce:DefaultAlarm><xtce:ContextAlarmList><xtce:ContextAlarm><xtce:StaticAlarmRanges>'
                   '<xtce:CriticalRange maxInclusive="10"/></xtce:StaticAlarmRanges><xtce:ContextMatch>'
                   '<xtce:Comparison parameterRef="n" value="2" useCalibratedValue="false"/></xtce:ContextMatch>'
                   '</xtce:ContextAlarm></xtce:ContextAlarmList></xtce:IntegerParameterType>')


@pytest.mark.parametrize("types, v, entry, column, expected", [
    ("", "T", ref("v", repeat(dynamic("n"))), "v", [[0, 4], [2]]),  # per packet
    ("", "T", ref("v", repeat(fixed(2))), "v", [[0, 4], [2, 2]]),  # leaves in the column path
    (aggregate("G", p="T", q="U8"), "G", ref("v"), "v.p", [0, 2]),
])
def test_context_alarms_inside_structures(types, v, entry, column, expected):
    d = bitloom_xtce.load(document(CONTEXT_ALARMED + types, {**HEADER, "n": "U8", "v": v}, HEAD + ref("n") + entry))
    packets = [ccsds(b"\x02\x05\x46"), ccsds(b"\x01\x46\x46")]  # n=2: critical outside 10; else warning above 60
    assert [plain(d.decode_checked(p).alarms[column]) for p in packets] == expected
    assert [plain(a) for a in d.decode_file(b"".join(packets)).alarms["P"][column]] == expected


@pytest.mark.parametrize("entry", [ref("v", condition("n", 1)), ref("v", repeat(dynamic("n")))])
def test_unsigned_64_bit_values_read_per_packet_stay_exact(entry):
    types = '<xtce:IntegerParameterType name="U64"><xtce:IntegerDataEncoding sizeInBits="64"/></xtce:IntegerParameterType>'
    d = bitloom_xtce.load(document(types, {**HEADER, "n": "U8", "v": "U64"}, HEAD + ref("n") + entry))
    packets = [ccsds(b"\x01" + bytes(8)), ccsds(b"\x01\x80" + bytes(7))]  # 0 and 2**63: not float64
    column = d.decode_file(b"".join(packets))["P"]["v"]
    assert [plain(v) for v in column] == [plain(d.decode(p)["v"]) for p in packets]
    assert [np.asarray(v).reshape(-1)[0].item() for v in column] == [0, 2**63]


@pytest.mark.parametrize("codes", [b"\x01\x00", b"\x00\x01"])  # the unlabeled value first or last
def test_an_unlabeled_enumeration_value_read_per_packet_stays_none(codes):
    types = ('<xtce:EnumeratedParameterType name="E"><xtce:IntegerDataEncoding sizeInBits="8"/><xtce:EnumerationList>'
             '<xtce:Enumeration value="1" label="ONE"/></xtce:EnumerationList></xtce:EnumeratedParameterType>')
    d = bitloom_xtce.load(document(types, {**HEADER, "n": "U8", "v": "E"}, HEAD + ref("n") + ref("v", condition("n", 1))))
    packets = [ccsds(b"\x01" + codes[i:i + 1]) for i in range(2)]
    assert d.decode_file(b"".join(packets))["P"]["v"].tolist() == [d.decode(p)["v"] for p in packets]
