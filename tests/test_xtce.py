"""bitloom_xtce on small XTCE documents built here: each supported element, each refusal, and the
one-packet path agreeing with the column path."""
import pathlib
import warnings

import bitloom
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import bitloom_xtce
from bitloom_xtce import PacketError, XtceError
from bitloom_xtce._model import IntegerEncoding, ParameterType

DATA = pathlib.Path(__file__).resolve().parent / "data" / "xtce"
NS = 'xmlns:xtce="http://www.omg.org/spec/XTCE/20180204"'
U8 = '<xtce:IntegerParameterType name="U8"><xtce:IntegerDataEncoding sizeInBits="8"/></xtce:IntegerParameterType>'


def document(types, parameters, containers):
    return (f'<?xml version="1.0"?>\n<xtce:SpaceSystem name="T" {NS}>\n<xtce:TelemetryMetaData>\n'
            f'<xtce:ParameterTypeSet>{U8}{types}</xtce:ParameterTypeSet>\n'
            f'<xtce:ParameterSet>{parameters}</xtce:ParameterSet>\n'
            f'<xtce:ContainerSet>{containers}</xtce:ContainerSet>\n'
            '</xtce:TelemetryMetaData>\n</xtce:SpaceSystem>\n').encode()


def single(type_xml, before=""):
    """A container: [n (U8)], v (type T), after (U8); `before` adds the n field first."""
    params = '<xtce:Parameter name="n" parameterTypeRef="U8"/><xtce:Parameter name="v" parameterTypeRef="T"/>' \
             '<xtce:Parameter name="after" parameterTypeRef="U8"/>'
    entries = ('<xtce:ParameterRefEntry parameterRef="n"/>' if before else "") + \
        '<xtce:ParameterRefEntry parameterRef="v"/><xtce:ParameterRefEntry parameterRef="after"/>'
    return bitloom_xtce.load(document(type_xml, params,
                                      f'<xtce:SequenceContainer name="P"><xtce:EntryList>{entries}'
                                      '</xtce:EntryList></xtce:SequenceContainer>'))


def integer(kind, encoding, extra=""):
    return f'<xtce:{kind}ParameterType name="T"{extra}>{encoding}</xtce:{kind}ParameterType>'


@pytest.mark.parametrize("encoding, data, raw", [
    ('sizeInBits="12"', b"\xab\xc0", 0xABC),  # `after` then starts inside the second byte
    ('encoding="twosComplement" sizeInBits="16"', b"\xff\xfe", -2),
    ('encoding="twosCompliment" sizeInBits="16"', b"\xff\xfe", -2),
    ('encoding="onesComplement" sizeInBits="8"', b"\xfe", -1),
    ('encoding="signMagnitude" sizeInBits="8"', b"\x85", -5),
    ('encoding="BCD" sizeInBits="16"', b"\x01\x09", 19),
    ('encoding="packedBCD" sizeInBits="16"', b"\x12\x34", 1234),
    ('sizeInBits="16" byteOrder="leastSignificantByteFirst"', b"\x34\x12", 0x1234),
    ('sizeInBits="8" bitOrder="leastSignificantBitFirst"', b"\x01", 0x80),
])
def test_integer_encodings(encoding, data, raw):
    definition = single(integer("Integer", f"<xtce:IntegerDataEncoding {encoding}/>"))
    packet = data + b"\x07" if data != b"\xab\xc0" else b"\xab\xc0\x70"
    assert definition.decode(packet) == {"v": raw, "after": 7}


@pytest.mark.parametrize("form, bits, encoder", [
    ("IEEE754", 16, bitloom.encode_ieee754_f16), ("IEEE754_1985", 32, bitloom.encode_ieee754_f32),
    ("IEEE754", 64, bitloom.encode_ieee754_f64), ("MILSTD_1750A", 32, bitloom.encode_mil_std_1750a_f32),
    ("MILSTD_1750A", 48, bitloom.encode_mil_std_1750a_f48), ("DEC", 32, bitloom.encode_dec_f32),
    ("DEC", 64, bitloom.encode_dec_f64), ("IBM", 32, bitloom.encode_ibm_f32), ("IBM", 64, bitloom.encode_ibm_f64),
    ("TI", 32, bitloom.encode_ti_f32), ("TI", 40, bitloom.encode_ti_f40),
    ("IEEE754_1985", 80, bitloom.encode_ieee754_1985_f80),
])
def test_float_encodings(form, bits, encoder):
    definition = single(integer("Float", f'<xtce:FloatDataEncoding encoding="{form}" sizeInBits="{bits}"/>'))
    packet = encoder(-2.75).to_bytes(bits // 8, "big") + b"\x07"
    assert definition.decode(packet) == {"v": -2.75, "after": 7}


STRING = '<xtce:StringParameterType name="T"><xtce:StringDataEncoding encoding="{charset}">{size}' \
         '</xtce:StringDataEncoding></xtce:StringParameterType>'
FIXED = '<xtce:SizeInBits><xtce:Fixed><xtce:FixedValue>{bits}</xtce:FixedValue></xtce:Fixed>{inner}</xtce:SizeInBits>'
DYNAMIC = '<xtce:Variable maxSizeInBits="800"><xtce:DynamicValue><xtce:ParameterInstanceRef parameterRef="n"/>' \
          '<xtce:LinearAdjustment slope="8" intercept="0"/></xtce:DynamicValue>{inner}</xtce:Variable>'
TERM = "<xtce:TerminationChar>{}</xtce:TerminationChar>"
LEAD = '<xtce:LeadingSize sizeInBitsOfSizeTag="8"/>'


@pytest.mark.parametrize("charset, size, before, data, text, raw", [
    ("UTF-8", FIXED.format(bits=24, inner=""), "", "hé".encode(), "hé", "hé".encode()),
    ("US-ASCII", FIXED.format(bits=32, inner=TERM.format("00")), "", b"ab\0c", "ab", b"ab\0c"),
    ("ISO-8859-1", FIXED.format(bits=32, inner=LEAD), "", b"\x02\xe9zq", "éz", b"\x02\xe9zq"),
    ("Windows-1252", DYNAMIC.format(inner=""), "n", b"\x02\x80a", "€a", b"\x80a"),
    ("UTF-16BE", DYNAMIC.format(inner=TERM.format("0000")), "n", b"\x04\x01\x00\x00\x00", "\u0100", b"\x01\x00\x00\x00"),
    ("UTF-8", '<xtce:Variable maxSizeInBits="80">' + TERM.format("00") + "</xtce:Variable>", "", b"abc\0", "abc", b"abc\0"),
    ("UTF-8", '<xtce:Variable maxSizeInBits="80">' + LEAD + "</xtce:Variable>", "", b"\x02ok", "ok", b"\x02ok"),
    ("UTF-16LE", FIXED.format(bits=32, inner=TERM.format("0000")), "", b"\x00\x01\x00\x00", "\u0100", b"\x00\x01\x00\x00"),
    ("UTF-32", FIXED.format(bits=64, inner=""), "", b"\xff\xfe\x00\x00A\x00\x00\x00", "A", None),
])
def test_strings(charset, size, before, data, text, raw):
    definition = single(STRING.format(charset=charset, size=size), before)
    packet = data + b"\x07"
    expected = {"n": data[0]} if before else {}
    assert definition.decode(packet) == {**expected, "v": text, "after": 7}
    if raw is not None:
        assert definition.decode(packet, raw=True)["v"] == raw


def test_a_terminator_is_found_on_code_unit_boundaries_only():
    # 0x00 0x00 straddling two UTF-16 code units ("\u0100" "\u0041" has 00 00 at bytes 1-2) is text.
    definition = single(STRING.format(charset="UTF-16BE", size='<xtce:Variable maxSizeInBits="80">'
                                      + TERM.format("0000") + "</xtce:Variable>"))
    assert definition.decode(b"\x01\x00\x00A\x00\x00\x07") == {"v": "\u0100A", "after": 7}


BINARY = '<xtce:BinaryParameterType name="T"><xtce:BinaryDataEncoding><xtce:SizeInBits>{}' \
         '</xtce:SizeInBits></xtce:BinaryDataEncoding></xtce:BinaryParameterType>'


@pytest.mark.parametrize("size, before, data, value", [
    ("<xtce:FixedValue>16</xtce:FixedValue>", "", b"\xab\xcd", b"\xab\xcd"),
    ('<xtce:DynamicValue><xtce:ParameterInstanceRef parameterRef="n" useCalibratedValue="false"/>'
     '<xtce:LinearAdjustment slope="8" intercept="-8"/></xtce:DynamicValue>', "n", b"\x03\x01\x02", b"\x01\x02"),
])
def test_binary(size, before, data, value):
    definition = single(BINARY.format(size), before)
    assert definition.decode(data + b"\x07")["v"] == value
    assert definition.decode(data + b"\x07")["after"] == 7


POLY = '<xtce:PolynomialCalibrator><xtce:Term coefficient="0.5" exponent="0"/>' \
       '<xtce:Term coefficient="0.25" exponent="2"/></xtce:PolynomialCalibrator>'
SPLINE = '<xtce:SplineCalibrator order="{order}" extrapolate="{extrapolate}"><xtce:SplinePoint raw="0" calibrated="1"/>' \
         '<xtce:SplinePoint raw="10" calibrated="3"/><xtce:SplinePoint raw="20" calibrated="-1"/></xtce:SplineCalibrator>'


@pytest.mark.parametrize("calibrator, raws, values", [
    (POLY, [0, 2, 255], [0.5, 1.5, 0.5 + 0.25 * 255 * 255]),
    (SPLINE.format(order=1, extrapolate="true"), [0, 5, 15, 20, 30], [1.0, 2.0, 1.0, -1.0, -5.0]),
    (SPLINE.format(order=0, extrapolate="true"), [0, 9, 10, 25], [1.0, 1.0, 3.0, -1.0]),
    (SPLINE.format(order=1, extrapolate="false"), [20, 21], [-1.0, float("nan")]),
])
def test_calibrators_on_one_packet_and_on_columns(calibrator, raws, values):
    encoding = f'<xtce:IntegerDataEncoding sizeInBits="8"><xtce:DefaultCalibrator>{calibrator}' \
               '</xtce:DefaultCalibrator></xtce:IntegerDataEncoding>'
    definition = ccsds_definition(integer("Float", encoding))
    data = b"".join(ccsds_packet(1, bytes([r])) for r in raws)
    singles = [definition.decode(ccsds_packet(1, bytes([r])))["v"] for r in raws]
    column = definition.decode_file(data)["P1"]["v"]
    assert np.array_equal(np.array(singles), np.array(values), equal_nan=True)
    assert np.array_equal(column, np.array(values), equal_nan=True)
    assert definition.decode(ccsds_packet(1, bytes([raws[0]])), raw=True)["v"] == raws[0]


def test_spline_at_its_last_point_where_the_peer_fails():
    # space_packet_parser looks for the first point above x and finds none at the last point:
    # ValueError('True is not in list'). The last point's value is the answer.
    spp = pytest.importorskip("space_packet_parser")
    text = document(integer("Float", '<xtce:IntegerDataEncoding sizeInBits="8"><xtce:DefaultCalibrator>'
                                     + SPLINE.format(order=1, extrapolate="false") +
                                     '</xtce:DefaultCalibrator></xtce:IntegerDataEncoding>'),
                    '<xtce:Parameter name="v" parameterTypeRef="T"/>',
                    '<xtce:SequenceContainer name="P"><xtce:EntryList><xtce:ParameterRefEntry parameterRef="v"/>'
                    '</xtce:EntryList></xtce:SequenceContainer>')
    import io
    peer = spp.XtcePacketDefinition.from_xtce(io.StringIO(text.decode()), root_container_name="P")
    with pytest.raises(ValueError, match="not in list"):
        peer.parse_bytes(b"\x14")
    assert bitloom_xtce.load(text).decode(b"\x14") == {"v": -1.0}


def test_leading_size_counts_bytes_where_the_peer_counts_bits():
    # A leading size tag counts the text's bytes (a Pascal string). The peer reads it as a
    # number of bits, so a 2-character text is "2 bits, not a multiple of 8" there.
    spp = pytest.importorskip("space_packet_parser")
    import io
    definition = single(STRING.format(charset="UTF-8", size=DYNAMIC.format(inner=LEAD)), "n")
    packet = b"\x05\x02abcd\x07"
    assert definition.decode(packet) == {"n": 5, "v": "ab", "after": 7}
    text = document(STRING.format(charset="UTF-8", size=DYNAMIC.format(inner=LEAD)),
                    '<xtce:Parameter name="n" parameterTypeRef="U8"/><xtce:Parameter name="v" parameterTypeRef="T"/>',
                    '<xtce:SequenceContainer name="P"><xtce:EntryList><xtce:ParameterRefEntry parameterRef="n"/>'
                    '<xtce:ParameterRefEntry parameterRef="v"/></xtce:EntryList></xtce:SequenceContainer>')
    peer = spp.XtcePacketDefinition.from_xtce(io.StringIO(text.decode()), root_container_name="P")
    with pytest.raises(ValueError, match="not a multiple of 8"):
        peer.parse_bytes(packet[:-1])


# -- containers over CCSDS packets ----------------------------------------------------------------

HEADER = ''.join(f'<xtce:IntegerParameterType name="{n}_T"><xtce:IntegerDataEncoding sizeInBits="{b}"/>'
                 '</xtce:IntegerParameterType>' for n, b in
                 [("VERSION", 3), ("TYPE", 1), ("SHF", 1), ("APID", 11), ("SEQF", 2), ("SEQC", 14), ("LEN", 16)])
HEADER_PARAMS = ''.join(f'<xtce:Parameter name="{n}" parameterTypeRef="{n}_T"/>'
                        for n in ("VERSION", "TYPE", "SHF", "APID", "SEQF", "SEQC", "LEN"))
HEADER_ENTRIES = ''.join(f'<xtce:ParameterRefEntry parameterRef="{n}"/>'
                         for n in ("VERSION", "TYPE", "SHF", "APID", "SEQF", "SEQC", "LEN"))


def ccsds_packet(apid, payload):
    return bytes([apid >> 8, apid & 0xFF, 0xC0, 0, 0, len(payload) - 1]) + payload


def ccsds_definition(type_xml, children=None, extra_params=""):
    """Root CCSDS (abstract) with header; by default one child P1 (APID 1) holding v (type T)."""
    children = children or ('<xtce:SequenceContainer name="P1"><xtce:EntryList><xtce:ParameterRefEntry '
                            'parameterRef="v"/></xtce:EntryList><xtce:BaseContainer containerRef="CCSDS">'
                            '<xtce:RestrictionCriteria><xtce:Comparison parameterRef="APID" value="1"/>'
                            '</xtce:RestrictionCriteria></xtce:BaseContainer></xtce:SequenceContainer>')
    return bitloom_xtce.load(document(HEADER + type_xml, HEADER_PARAMS + '<xtce:Parameter name="v" parameterTypeRef="T"/>'
                                      + extra_params,
                                      f'<xtce:SequenceContainer name="CCSDS" abstract="true"><xtce:EntryList>'
                                      f'{HEADER_ENTRIES}</xtce:EntryList></xtce:SequenceContainer>{children}'))


def child(name, criteria, entries='<xtce:ParameterRefEntry parameterRef="v"/>', base="CCSDS"):
    return (f'<xtce:SequenceContainer name="{name}"><xtce:EntryList>{entries}</xtce:EntryList>'
            f'<xtce:BaseContainer containerRef="{base}"><xtce:RestrictionCriteria>{criteria}'
            '</xtce:RestrictionCriteria></xtce:BaseContainer></xtce:SequenceContainer>')


def cmp(op, value, parameter="APID"):
    return f'<xtce:Comparison parameterRef="{parameter}" value="{value}" comparisonOperator="{op}"/>'


def cond(op, value, parameter="APID"):
    return (f'<xtce:Condition><xtce:ParameterInstanceRef parameterRef="{parameter}"/>'
            f'<xtce:ComparisonOperator>{op}</xtce:ComparisonOperator><xtce:Value>{value}</xtce:Value></xtce:Condition>')


ENUM = '<xtce:EnumeratedParameterType name="T"><xtce:IntegerDataEncoding sizeInBits="8"/><xtce:EnumerationList>' \
       '<xtce:Enumeration value="0" label="OFF"/><xtce:Enumeration value="1" label="ON"/>' \
       '<xtce:Enumeration value="5" maxValue="9" label="HIGH"/></xtce:EnumerationList></xtce:EnumeratedParameterType>'


@pytest.mark.parametrize("children, picks", [
    (child("A", cmp("==", 1)) + child("B", cmp("&gt;", 1)), {1: "A", 2: "B", 3: "B"}),
    (child("A", cmp("!=", 1)) + child("B", cmp("&lt;=", 1)), {1: "B", 2: "A"}),
    (child("A", f"<xtce:ComparisonList>{cmp('&gt;=', 1)}{cmp('&lt;', 3)}</xtce:ComparisonList>")
     + child("B", cmp(">=", 3)), {1: "A", 2: "A", 3: "B"}),
    (child("A", f"<xtce:BooleanExpression><xtce:ORedConditions>{cond('==', 1)}{cond('==', 3)}"
                "</xtce:ORedConditions></xtce:BooleanExpression>")
     + child("B", f"<xtce:BooleanExpression><xtce:ANDedConditions>{cond('==', 2)}{cond('==', 0, 'VERSION')}"
                  "</xtce:ANDedConditions></xtce:BooleanExpression>"), {1: "A", 2: "B", 3: "A"}),
    # Criteria on a calibrated (enumerated) value, and a second level of inheritance.
    (child("A", cmp("==", 1)) + child("A_ON", cmp("==", "ON", "v"), "", "A")
     + child("A_HIGH", cmp("==", "HIGH", "v"), "", "A"), {1: "A_ON", 2: None}),
])
def test_restriction_criteria_pick_the_container(children, picks):
    definition = ccsds_definition(ENUM, children)
    packets = {apid: ccsds_packet(apid, b"\x01") for apid in picks}
    for apid, packet in packets.items():
        if picks[apid] is None:  # the values along the inheritance chain, and the deepest container reached
            assert definition.decode_with_container(packet)[0] not in definition.concrete()
        else:
            assert definition.decode_with_container(packet)[0] == picks[apid]
            assert definition.decode(packet)["v"] == "ON"
    data = b"".join(packets.values())
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tables = definition.decode_file(data)
    for apid, name in picks.items():
        if name is not None:
            assert apid in tables[name]["APID"].tolist()
    assert bool(caught) == (None in picks.values())


@pytest.mark.parametrize("size, texts", [
    (FIXED.format(bits=24, inner=""), [b"hi!", b"ab!", b"hi!", b"zz!"]),  # read by the packet reader
    (FIXED.format(bits=24, inner=TERM.format("00")), [b"hi\0", b"ab\0", b"hi\0", b"zz\0"]),  # cut out
    ('<xtce:Variable maxSizeInBits="80">' + TERM.format("00") + "</xtce:Variable>",  # k after it moves
     [b"hi\0", b"abcd\0", b"hi\0", b"z\0"]),
])
def test_decode_file_routes_on_fields_read_only_for_routing(size, texts):
    # M (abstract) holds text v and k; A takes k == 7, B takes v == "hi!" or "hi". decode_file reads
    # v and k for routing before anything else, and must agree with decode packet by packet.
    hi = texts[0].rstrip(b"\0").decode()
    children = (child("M", cmp("==", 1), '<xtce:ParameterRefEntry parameterRef="v"/>'
                      '<xtce:ParameterRefEntry parameterRef="k"/>').replace('name="M"', 'name="M" abstract="true"')
                + child("A", cmp("==", 7, "k"), "", "M") + child("B", cmp("==", hi, "v"), "", "M"))
    definition = ccsds_definition(STRING.format(charset="US-ASCII", size=size), children,
                                  '<xtce:Parameter name="k" parameterTypeRef="U8"/>')
    packets = [ccsds_packet(1, text + bytes([k])) for text, k in zip(texts, (3, 7, 7, 0))]
    with pytest.warns(bitloom_xtce.DecodeWarning):
        tables = definition.decode_file(b"".join(packets))
    assert tables.skipped == {"matching more than one container below 'M'": (1, len(packets[0]) + len(packets[1])),
                              "matching no concrete container below 'M'": (1, sum(map(len, packets[:3])))}
    for raw in (False, True):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            tables = definition.decode_file(b"".join(packets), raw=raw)
        for name, packet in (("B", packets[0]), ("A", packets[1])):
            one = definition.decode(packet, raw=raw)
            assert {k: column.tolist() for k, column in tables[name].items()} == {k: [v] for k, v in one.items()}


def test_decode_file_reports_unmatched_short_and_truncated_packets():
    definition = ccsds_definition(ENUM.replace('sizeInBits="8"', 'sizeInBits="16"'))
    good = ccsds_packet(1, b"\x00\x05")
    data = good + ccsds_packet(7, b"\x00\x01") + ccsds_packet(1, b"\x00") + good + good[:5]
    with pytest.warns(bitloom_xtce.DecodeWarning) as caught:
        tables = definition.decode_file(data)
    message = str(caught[0].message)
    assert "3 of 5 packets not decoded" in message
    assert tables.skipped == {"truncated at the end of the data": (1, 31),
                              "matching no concrete container below 'CCSDS'": (1, 8),
                              "too short for container 'P1'": (1, 16)}
    assert tables["P1"]["v"].tolist() == ["HIGH", "HIGH"]
    assert tables["P1"]["APID"].dtype == np.uint16
    assert definition.decode_file(data[:8], raw=True)["P1"]["v"].tolist() == [5]


def test_enumeration_without_a_label_and_booleans():
    definition = ccsds_definition(ENUM)
    assert definition.decode(ccsds_packet(1, b"\x03"))["v"] is None
    assert definition.decode_file(ccsds_packet(1, b"\x03") + ccsds_packet(1, b"\x00"))["P1"]["v"].tolist() == [None, "OFF"]
    boolean = ccsds_definition('<xtce:BooleanParameterType name="T"><xtce:IntegerDataEncoding sizeInBits="8"/>'
                               '</xtce:BooleanParameterType>')
    assert boolean.decode(ccsds_packet(1, b"\x02"))["v"] is True
    assert boolean.decode_file(ccsds_packet(1, b"\x00"))["P1"]["v"].tolist() == [False]


LABELS = ParameterType("E", "enumerated", IntegerEncoding(16, "twosComplement", "twos_complement"),
                       enumeration=((-5, -5, "NEG"), (0, 0, "OFF"), (1, 3, "ON"), (2, 200, "WIDE"), (255, 400, "HIGH")))


@settings(max_examples=300, deadline=None)
@given(values=st.lists(st.integers(-300, 500) | st.sampled_from([-5, 0, 2, 255, 300]), min_size=1, max_size=16),
       dtype=st.sampled_from(["uint8", "int8", "int16", "uint16", "float64"]), fraction=st.booleans())
def test_labels_of_a_few_values_are_those_of_a_long_column(values, dtype, fraction):
    # A short column is labelled value by value: as a long one is, with None where no label holds.
    info = np.iinfo(dtype) if dtype != "float64" else None
    column = np.array([v if info is None else min(max(v, info.min), info.max) for v in values], dtype=dtype)
    if fraction and info is None:
        column = np.append(column[:-1], [np.nan, 2.5][len(values) % 2])
    few, many = LABELS._enumerate(column), LABELS._enumerate(np.tile(column, 20))[:len(column)]
    assert few.dtype == many.dtype and few.tolist() == many.tolist()
    # with values that an include condition left out
    masked = np.ma.masked_array(column, mask=np.arange(len(column)) % 2 == 1)
    few, many = LABELS._enumerate(masked), LABELS._enumerate(np.ma.concatenate([masked] * 20))[:len(column)]
    assert few.dtype == many.dtype and few.tolist() == many.tolist()


# POLY, or -raw when the sequence count is 2.
CONTEXT = ('<xtce:IntegerDataEncoding sizeInBits="8"><xtce:DefaultCalibrator>' + POLY +
           '</xtce:DefaultCalibrator><xtce:ContextCalibratorList><xtce:ContextCalibrator><xtce:ContextMatch>'
           + cmp("==", 2, "SEQC") + '</xtce:ContextMatch><xtce:Calibrator><xtce:PolynomialCalibrator>'
           '<xtce:Term coefficient="-1" exponent="1"/></xtce:PolynomialCalibrator></xtce:Calibrator>'
           '</xtce:ContextCalibrator></xtce:ContextCalibratorList></xtce:IntegerDataEncoding>')


def test_context_calibrator_and_time_types():
    definition = ccsds_definition(integer("Float", CONTEXT))
    packets = [bytearray(ccsds_packet(1, b"\x04")) for _ in range(3)]
    packets[1][3] = 2  # sequence count 2 selects the context calibrator
    assert [definition.decode(bytes(p))["v"] for p in packets] == [4.5, -4.0, 4.5]
    assert definition.decode_file(b"".join(packets))["P1"]["v"].tolist() == [4.5, -4.0, 4.5]
    time = ccsds_definition('<xtce:AbsoluteTimeParameterType name="T"><xtce:Encoding scale="0.5" offset="10">'
                            '<xtce:IntegerDataEncoding sizeInBits="8"/></xtce:Encoding><xtce:ReferenceTime>'
                            '<xtce:Epoch>UNIX</xtce:Epoch></xtce:ReferenceTime></xtce:AbsoluteTimeParameterType>')
    assert time.decode(ccsds_packet(1, b"\x04"))["v"] == np.datetime64("1970-01-01T00:00:12", "ns")


def test_container_ref_entries_and_locations():
    sub = ('<xtce:SequenceContainer name="Sub"><xtce:EntryList><xtce:ParameterRefEntry parameterRef="a">'
           '<xtce:LocationInContainerInBits referenceLocation="containerStart"><xtce:FixedValue>8</xtce:FixedValue>'
           '</xtce:LocationInContainerInBits></xtce:ParameterRefEntry></xtce:EntryList></xtce:SequenceContainer>')
    entries = ('<xtce:ParameterRefEntry parameterRef="v"/><xtce:ContainerRefEntry containerRef="Sub"/>'
               '<xtce:ParameterRefEntry parameterRef="b"><xtce:LocationInContainerInBits><xtce:FixedValue>4'
               '</xtce:FixedValue></xtce:LocationInContainerInBits></xtce:ParameterRefEntry>')
    definition = ccsds_definition(U8.replace('"U8"', '"T"'), child("P1", cmp("==", 1), entries) + sub,
                                  '<xtce:Parameter name="a" parameterTypeRef="U8"/>'
                                  '<xtce:Parameter name="b" parameterTypeRef="U8"/>')
    packet = ccsds_packet(1, b"\x01\xff\x02\x0a\xb0")
    # v at byte 6; Sub starts at byte 7 and a is 8 bits past its start; b is 4 bits after a.
    assert list(definition.decode(packet).items())[-3:] == [("v", 1), ("a", 2), ("b", 0xAB)]
    assert definition.decode_file(packet)["P1"]["b"].tolist() == [0xAB]


def test_namespaces_and_inspection():
    import gzip
    packet = gzip.decompress((DATA / "jpss_packets.bin.gz").read_bytes())[:71]
    results = [bitloom_xtce.load(DATA / name).decode(packet) for name in
               ("jpss1_geolocation_xtce_v1.xml", "test_xtce_default_namespace.xml", "test_xtce_no_namespace.xml")]
    assert results[0] == results[1] == results[2] and results[0]["PKT_APID"] == 11
    definition = bitloom_xtce.load(DATA / "jpss1_geolocation_xtce_v1.xml")
    assert repr(definition) == "<Definition: 27 parameters, 4 containers, root 'CCSDSPacket'>"
    assert repr(definition.parameters["ADGPSPOSX"]) == "Parameter('ADGPSPOSX', float, FloatEncoding(IEEE754, 32 bits))"
    assert repr(definition.containers["JPSS_ATT_EPHEM"]) == \
        "Container('JPSS_ATT_EPHEM', 18 entries, base 'CCSDSTelemetryPacket' where PKT_APID (raw) == 11)"
    assert repr(definition.containers).startswith("<4 containers: CCSDSPacket,")


@pytest.mark.parametrize("change, message", [
    (('<xtce:IntegerDataEncoding sizeInBits="8"/></xtce:IntegerParameterType>',
      '<xtce:IntegerDataEncoding sizeInBits="8"/><xtce:Polynomial/></xtce:IntegerParameterType>'),
     r"<Polynomial> at line 4: element not supported inside <IntegerParameterType>"),
    (('<xtce:IntegerDataEncoding sizeInBits="8"/>', '<xtce:IntegerDataEncoding sizeInBits="8" foo="1"/>'),
     r"<IntegerDataEncoding> at line 4: attribute 'foo' is not supported"),
    (('sizeInBits="8"/>', 'sizeInBits="8" encoding="zigzag"/>'), r"integer encoding 'zigzag' is not supported"),
    (('<xtce:IntegerDataEncoding sizeInBits="8"/>', '<xtce:FloatDataEncoding encoding="TI" sizeInBits="64"/>'),
     r"float encoding 'TI' of 64 bits is not supported \(sizes: 32, 40\)"),
    (('parameterTypeRef="U8"', 'parameterTypeRef="U9"'),
     r"<Parameter name='v'> at line 5: parameterTypeRef 'U9' names no parameter type"),
    (('parameterRef="v"/>', 'parameterRef="w"/>'), r"<ParameterRefEntry> at line 6: parameterRef 'w' names no parameter"),
    (('<xtce:TelemetryMetaData>', '<xtce:CommandData/><xtce:TelemetryMetaData>'),
     r"<CommandData> at line 3: element not supported inside <SpaceSystem>"),
    (('<xtce:EntryList>', '<xtce:EntryList><xtce:ParameterRefEntry parameterRef="v"><xtce:RepeatEntry/>'
                          '</xtce:ParameterRefEntry>'), r"<RepeatEntry> at line 6"),
    (('<xtce:SequenceContainer name="P">', '<xtce:SequenceContainer name="P"><xtce:BaseContainer containerRef="P"/>'),
     r"inheritance or inclusion loops: P -> P"),
    (("</xtce:SpaceSystem>", ""), r"not well-formed XML"),
    (('parameterTypeRef="U8"/>', 'parameterTypeRef="U8"/>\n<xtce:Parameter name="v" parameterTypeRef="U8"/>'),
     r"<Parameter name='v'> at line 6: a second parameter named 'v' \(first at line 5\)"),
    (('parameterTypeRef="U8"', 'parameterTypeRef="U8" units="m"'),
     r"<Parameter name='v'> at line 5: attribute 'units' is not supported"),
    (('parameterRef="v"/>', 'parameterRef="v" foo="1"/>'), r"<ParameterRefEntry> at line 6: attribute 'foo'"),
    (('parameterRef="v"/>', 'parameterRef="v"><xtce:LocationInContainerInBits referenceLocation="containerStart">'
                            '<xtce:FixedValue>-8</xtce:FixedValue></xtce:LocationInContainerInBits></xtce:ParameterRefEntry>'),
     r"<SequenceContainer name='P'> at line 6: entry 'v' would start 8 bits before the packet"),
    (("</xtce:ContainerSet>", '\n<xtce:SequenceContainer name="R" abstract="true"/><xtce:SequenceContainer name="Q">'
                              '<xtce:BaseContainer containerRef="R"><xtce:RestrictionCriteria><xtce:Comparison '
                              'parameterRef="v" value="1"/></xtce:RestrictionCriteria></xtce:BaseContainer>'
                              '</xtce:SequenceContainer></xtce:ContainerSet>'),
     r"<SequenceContainer name='Q'> at line 7: its restriction tests 'v', which its base containers do not decode"),
])
def test_refusals_name_the_element_and_its_line(change, message):
    text = document("", '<xtce:Parameter name="v" parameterTypeRef="U8"/>',
                    '<xtce:SequenceContainer name="P"><xtce:EntryList><xtce:ParameterRefEntry parameterRef="v"/>'
                    '</xtce:EntryList></xtce:SequenceContainer>').decode()
    assert change[0] in text
    with pytest.raises(XtceError, match=message):
        bitloom_xtce.load(text.replace(change[0], change[1], 1).encode())


@pytest.mark.parametrize("packet, message", [
    (b"\x01", "too short: 'after' ends at bit 16"),
    (b"\x09\x01\x02", "'v': needs bits 8 to 80"),
])
def test_packets_that_do_not_fit(packet, message):
    definition = single(BINARY.format('<xtce:DynamicValue><xtce:ParameterInstanceRef parameterRef="n"/>'
                                      '<xtce:LinearAdjustment slope="8"/></xtce:DynamicValue>'), "n") \
        if packet[0] == 9 else single(integer("Integer", '<xtce:IntegerDataEncoding sizeInBits="8"/>'))
    with pytest.raises(PacketError, match=message):
        definition.decode(packet)
