"""bitloom_xtce's loader on documents built here: what it reads past (and refuses with
strict=True), spellings it reads leniently, types nobody places, definitions over several files
with qualified names, baseType, math calibrators, container sizes, and hostile documents."""
import io
import math
import warnings

import bitloom
import numpy as np
import pytest

import bitloom_xtce
from bitloom_xtce import XtceError, XtceWarning

NS = 'xmlns:xtce="http://www.omg.org/spec/XTCE/20180204"'
U8 = '<xtce:IntegerParameterType name="U8"><xtce:IntegerDataEncoding sizeInBits="8"/></xtce:IntegerParameterType>'
V = '<xtce:Parameter name="v" parameterTypeRef="T"/>'
T = '<xtce:IntegerParameterType name="T"><xtce:IntegerDataEncoding sizeInBits="8"/></xtce:IntegerParameterType>'
P = ('<xtce:SequenceContainer name="P"><xtce:EntryList><xtce:ParameterRefEntry parameterRef="v"/>'
     '</xtce:EntryList></xtce:SequenceContainer>')


def document(types=T, parameters=V, containers=P, name="S", inside="", outside=""):
    return (f'<?xml version="1.0"?>\n<xtce:SpaceSystem name="{name}" {NS}>\n{outside}<xtce:TelemetryMetaData>\n'
            f'<xtce:ParameterTypeSet>{U8}{types}</xtce:ParameterTypeSet>\n'
            f'<xtce:ParameterSet>{parameters}</xtce:ParameterSet>\n'
            f'<xtce:ContainerSet>{containers}</xtce:ContainerSet>\n{inside}'
            '</xtce:TelemetryMetaData>\n</xtce:SpaceSystem>\n').encode()


def quiet_load(source, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", XtceWarning)
        return bitloom_xtce.load(source, **options)


# -- read past, and refused when strict ------------------------------------------------------------

ALARM = ('<xtce:DefaultAlarm><xtce:ChangeAlarmRanges><xtce:WarningRange minInclusive="1"/>'
         '</xtce:ChangeAlarmRanges></xtce:DefaultAlarm>')


@pytest.mark.parametrize("text, what, line, packet, value", [
    # whole sections: commanding, algorithms, streams
    (document(outside='<xtce:CommandMetaData><xtce:MetaCommandSet><xtce:MetaCommand name="C">'
                      '<xtce:ParameterToSetList/></xtce:MetaCommand></xtce:MetaCommandSet></xtce:CommandMetaData>\n'),
     "<ParameterToSetList>", 3, b"\x05", 5),
    (document(inside='<xtce:AlgorithmSet><xtce:CustomAlgorithm name="A"/></xtce:AlgorithmSet>\n'), "<AlgorithmSet>", 7,
     b"\x05", 5),
    (document(inside='<xtce:StreamSet><xtce:FixedFrameStream name="F"/></xtce:StreamSet>\n'), "<StreamSet>", 7, b"\x05", 5),
    # inside types: alarms, validity, display hints
    (document(types=T.replace("</xtce:IntegerParameterType>", ALARM + "</xtce:IntegerParameterType>")),
     "<ChangeAlarmRanges>", 4, b"\x05", 5),
    (document(types=T.replace("</xtce:IntegerParameterType>", '<xtce:ContextAlarmList><xtce:ContextAlarm>'
                              '<xtce:CustomAlarm/><xtce:ContextMatch><xtce:Comparison parameterRef="v" value="1"/>'
                              '</xtce:ContextMatch></xtce:ContextAlarm></xtce:ContextAlarmList></xtce:IntegerParameterType>')),
     "<CustomAlarm>", 4, b"\x05", 5),
    (document(types=T.replace("</xtce:IntegerParameterType>",
                              '<xtce:DefaultAlarm minViolations="3"><xtce:StaticAlarmRanges>'
                              '<xtce:WarningRange minInclusive="1"/></xtce:StaticAlarmRanges></xtce:DefaultAlarm>'
                              '</xtce:IntegerParameterType>')),
     "minViolations other than 1", 4, b"\x05", 5),
    (document(types=T.replace("</xtce:IntegerParameterType>",
                              '<xtce:ToString><xtce:NumberFormat/></xtce:ToString></xtce:IntegerParameterType>')),
     "<ToString>", 4, b"\x05", 5),
    # parameters and containers
    (document(parameters=V.replace("/>", '><xtce:ShortDescription>volts</xtce:ShortDescription></xtce:Parameter>')),
     "<ShortDescription>", 5, b"\x05", 5),
    (document(parameters=V.replace("/>", '><xtce:ParameterProperties dataSource="telemetered"><xtce:SystemName>X'
                                         '</xtce:SystemName><xtce:ValidityCondition/></xtce:ParameterProperties>'
                                         '</xtce:Parameter>')),
     "<SystemName>", 5, b"\x05", 5),
    (document(containers=P.replace("<xtce:EntryList>", '<xtce:DefaultRateInStream minimumValue="1"/><xtce:EntryList>')),
     "<DefaultRateInStream>", 6, b"\x05", 5),
    (document(containers=P.replace('parameterRef="v"/>', 'parameterRef="v"><xtce:TimeAssociation parameterRef="v"/>'
                                                         '</xtce:ParameterRefEntry>')),
     "<TimeAssociation>", 6, b"\x05", 5),
    (document(containers=P + '<xtce:SequenceContainer name="C"><xtce:BaseContainer containerRef="P">'
                             '<xtce:RestrictionCriteria><xtce:Comparison parameterRef="v" value="9"/>'
                             '<xtce:NextContainer containerRef="P"/></xtce:RestrictionCriteria></xtce:BaseContainer>'
                             '</xtce:SequenceContainer>'),
     "<NextContainer>", 6, b"\x05", 5),
    # other namespaces: elements and attributes
    (document(parameters=V.replace("/>", '><ext:Note xmlns:ext="urn:ext">hi</ext:Note></xtce:Parameter>')),
     "elements of another namespace (urn:ext)", 5, b"\x05", 5),
    (document(parameters=V.replace("/>", ' xmlns:ext="urn:ext" ext:note="hi"/>')),
     "attributes of another namespace (urn:ext)", 5, b"\x05", 5),
    # spellings generators write
    (document(types=T.replace('sizeInBits="8"', 'encoding="signed" sizeInBits="8"')),
     'encoding="signed" on <IntegerDataEncoding>', 4, b"\xfe", -2),
    (document(types='<xtce:EnumeratedParameterType name="T" signed="false"><xtce:IntegerDataEncoding sizeInBits="8"/>'
                    '<xtce:EnumerationList><xtce:Enumeration value="5" label="FIVE"/></xtce:EnumerationList>'
                    '</xtce:EnumeratedParameterType>'),
     "a signed attribute on <EnumeratedParameterType>", 4, b"\x05", "FIVE"),
    (document(types='<xtce:FloatParameterType name="T" signed="true"><xtce:FloatDataEncoding sizeInBits="32"/>'
                    '</xtce:FloatParameterType>'),
     "a signed attribute on <FloatParameterType>", 4, bitloom.encode_ieee754_f32(-1.5).to_bytes(4, "big"), -1.5),
    (document(types='<xtce:StringParameterType name="T"><xtce:StringDataEncoding><xtce:SizeInBits><xtce:TerminationChar>00'
                    '</xtce:TerminationChar></xtce:SizeInBits></xtce:StringDataEncoding>'
                    '<xtce:SizeRangeInCharacters><xtce:MinInclusive>1</xtce:MinInclusive></xtce:SizeRangeInCharacters>'
                    '</xtce:StringParameterType>'),
     "<SizeInBits> with only a <TerminationChar>", 4, b"ab\0", "ab"),
    (document(types='<xtce:StringParameterType name="T"><xtce:StringDataEncoding><xtce:SizeInBits><xtce:Fixed>'
                    '<xtce:DynamicValue><xtce:ParameterInstanceRef parameterRef="n"/><xtce:LinearAdjustment slope="8"/>'
                    '</xtce:DynamicValue></xtce:Fixed></xtce:SizeInBits></xtce:StringDataEncoding></xtce:StringParameterType>',
              parameters='<xtce:Parameter name="n" parameterTypeRef="U8"/>' + V,
              containers=P.replace("<xtce:EntryList>", '<xtce:EntryList><xtce:ParameterRefEntry parameterRef="n"/>')),
     "<DynamicValue> inside <Fixed>", 4, b"\x02hi", "hi"),
    # types that no container places: listed, not refused
    (document(types=T + '<xtce:IntegerParameterType name="L"/>'), "<IntegerParameterType>s that no container places "
     "and that cannot be decoded: has no data encoding", 4, b"\x05", 5),
    (document(types=T + T.replace('"T"', '"Z"').replace('"8"', '"0"')),
     "cannot be decoded: sizeInBits must be positive, not 0", 4, b"\x05", 5),
    (document(types=T + '<xtce:AggregateParameterType name="A"><xtce:MemberList/></xtce:AggregateParameterType>'
                        '<xtce:ArrayParameterType name="R" arrayTypeRef="U8" numberOfDimensions="1"/>'),
     "cannot be decoded: has no <Member>", 4, b"\x05", 5),
    # a bare name found outside the space system it is used in (only one item has it)
    (document(parameters="").replace(b"</xtce:SpaceSystem>\n", b'<xtce:SpaceSystem name="Sub"><xtce:TelemetryMetaData>'
                                     b'<xtce:ParameterSet>' + V.encode() + b'</xtce:ParameterSet></xtce:TelemetryMetaData>'
                                     b'</xtce:SpaceSystem>\n</xtce:SpaceSystem>\n'),
     "references resolved outside their space system", 6, b"\x05", 5),
])
def test_read_past_listed_and_refused_when_strict(text, what, line, packet, value):
    with pytest.warns(XtceWarning) as caught:
        definition = bitloom_xtce.load(text)
    assert len(caught) == 1 and what in str(caught[0].message)
    found = [t for t in definition.tolerated if what in t.what]
    assert len(found) == 1 and found[0].line == line, definition.tolerated
    assert definition.decode(packet)["v"] == value
    with pytest.raises(XtceError, match=rf"at line {line}: ") as refused:  # types give their own reason
        bitloom_xtce.load(text, strict=True)
    assert "refused with strict=True" in str(refused.value) or "cannot be decoded" in what


def test_documentation_is_read_silently_and_kinds_are_counted_once():
    described = ('<xtce:LongDescription>long</xtce:LongDescription><xtce:AliasSet><xtce:Alias nameSpace="a" alias="b"/>'
                 '</xtce:AliasSet><xtce:AncillaryDataSet><xtce:AncillaryData name="x">1</xtce:AncillaryData>'
                 '</xtce:AncillaryDataSet>')
    text = document(types=T.replace("</xtce:IntegerParameterType>", described + "</xtce:IntegerParameterType>"),
                    outside='<xtce:Header validationStatus="Working"><xtce:HistorySet><xtce:History>v1</xtce:History>'
                            '</xtce:HistorySet></xtce:Header>\n')
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert bitloom_xtce.load(text, strict=True).tolerated == ()
    alarms = document(types=T.replace("</xtce:IntegerParameterType>", ALARM + "</xtce:IntegerParameterType>")
                      + T.replace('"T"', '"T2"').replace("</xtce:IntegerParameterType>", ALARM + "</xtce:IntegerParameterType>"))
    (entry,) = quiet_load(alarms).tolerated
    assert (entry.what, entry.line, entry.count) == ("<ChangeAlarmRanges>: alarms on changes between values, "
                                                     "not evaluated yet", 4, 2)


@pytest.mark.parametrize("types, message", [
    ('<xtce:IntegerParameterType name="T"/>', r"<IntegerParameterType name='T'> at line 4: has no data encoding "
                                              r"\(the type of 'v', which <ParameterRefEntry> at line 6 uses\)"),
    (T.replace('"8"', '"0"'), r"<IntegerDataEncoding> at line 4: sizeInBits must be positive, not 0 \(the type of 'v'"),
    ('<xtce:ArrayParameterType name="T" arrayTypeRef="U8"/>', r"needs a DimensionList"),
    (T.replace('sizeInBits="8"', 'encoding="twosComplement" sizeInBits="8"').replace('name="T"', 'name="T" signed="false"'),
     r"signed='false' contradicts its twosComplement encoding"),
    (T.replace('sizeInBits="8"', 'encoding="zigzag" sizeInBits="8"'), r"integer encoding 'zigzag' is not supported"),
    ('<xtce:AbsoluteTimeParameterType name="T"><xtce:Encoding><xtce:BinaryDataEncoding><xtce:SizeInBits><xtce:FixedValue>'
     '72</xtce:FixedValue></xtce:SizeInBits></xtce:BinaryDataEncoding></xtce:Encoding><xtce:ReferenceTime><xtce:Epoch>'
     'TAI</xtce:Epoch></xtce:ReferenceTime></xtce:AbsoluteTimeParameterType>',
     "an absolute time in binary data needs a fixed size of at most 64 bits"),
])
def test_types_that_cannot_be_decoded_are_refused_once_placed(types, message):
    with pytest.raises(XtceError, match=message):
        quiet_load(document(types=types))


def test_byte_order_lists():
    def order(*significance):
        return document(types=T.replace('<xtce:IntegerDataEncoding sizeInBits="8"/>',
                                        '<xtce:IntegerDataEncoding sizeInBits="16"><xtce:ByteOrderList>' + "".join(
                                            f'<xtce:Byte byteSignificance="{b}"/>' for b in significance)
                                        + "</xtce:ByteOrderList></xtce:IntegerDataEncoding>"))
    assert quiet_load(order(0, 1)).decode(b"\x01\x02")["v"] == 0x0201
    assert quiet_load(order(1, 0)).decode(b"\x01\x02")["v"] == 0x0102
    with pytest.raises(XtceError, match=r"byte significances \[1\] for 16 bits"):
        quiet_load(order(1))


@pytest.mark.parametrize("entry, message", [
    ('<xtce:ParameterSegmentRefEntry parameterRef="v" order="1" sizeInBits="4"/>', "a parameter split over several"),
    ('<xtce:ContainerSegmentRefEntry containerRef="P" order="1" sizeInBits="4"/>', "a container split over several"),
    ('<xtce:StreamSegmentEntry streamRef="F" sizeInBits="4"/>', "a piece of a stream"),
    ('<xtce:ParameterRefEntry parameterRef="v"><xtce:LocationInContainerInBits referenceLocation="nextEntry">'
     '<xtce:FixedValue>8</xtce:FixedValue></xtce:LocationInContainerInBits></xtce:ParameterRefEntry>',
     "referenceLocation 'nextEntry' is not supported"),
    ('<xtce:ParameterRefEntry parameterRef="v"><xtce:IncludeCondition><xtce:Comparison parameterRef="v" value="1" '
     'instance="-1"/></xtce:IncludeCondition></xtce:ParameterRefEntry>', "instance other than 0"),
])
def test_entries_that_are_refused(entry, message):
    containers = P.replace("</xtce:EntryList>", entry + "</xtce:EntryList>").replace('name="P"', 'name="Q"')
    with pytest.raises(XtceError, match=message):
        quiet_load(document(containers=P + containers))


# -- several files, qualified names, baseType ------------------------------------------------------

def test_several_files_and_references_by_path():
    # dt.xml holds the types; main.xml's space systems use them by absolute and relative paths,
    # and two of its space systems each have a parameter named "x".
    dt = (f'<xtce:SpaceSystem name="dt" {NS}><xtce:TelemetryMetaData><xtce:ParameterTypeSet>{U8}'
          '<xtce:IntegerParameterType name="S16"><xtce:IntegerDataEncoding sizeInBits="16" encoding="twosComplement"/>'
          '</xtce:IntegerParameterType></xtce:ParameterTypeSet></xtce:TelemetryMetaData></xtce:SpaceSystem>').encode()
    main = (f'<xtce:SpaceSystem name="main" {NS}><xtce:TelemetryMetaData><xtce:ParameterSet>'
            '<xtce:Parameter name="x" parameterTypeRef="/dt/U8"/><xtce:Parameter name="y" parameterTypeRef="../dt/S16"/>'
            '</xtce:ParameterSet><xtce:ContainerSet><xtce:SequenceContainer name="P"><xtce:EntryList>'
            '<xtce:ParameterRefEntry parameterRef="x"/><xtce:ParameterRefEntry parameterRef="./Sub/x"/>'
            '<xtce:ParameterRefEntry parameterRef="Sub/z"/><xtce:ParameterRefEntry parameterRef="/main/y"/>'
            '</xtce:EntryList></xtce:SequenceContainer></xtce:ContainerSet></xtce:TelemetryMetaData>'
            '<xtce:SpaceSystem name="Sub"><xtce:TelemetryMetaData><xtce:ParameterSet>'
            '<xtce:Parameter name="x" parameterTypeRef="/dt/S16"/><xtce:Parameter name="z" parameterTypeRef="../../dt/U8"/>'
            '</xtce:ParameterSet></xtce:TelemetryMetaData></xtce:SpaceSystem></xtce:SpaceSystem>').encode()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        definition = bitloom_xtce.load([io.BytesIO(main), dt])
    packet = b"\x07\xff\xfe\x09\x00\x03"
    assert definition.decode(packet) == {"/main/x": 7, "/main/Sub/x": -2, "z": 9, "y": 3}
    # Unique names are found by their qualified name too; a shared name alone is ambiguous.
    assert definition.parameters["/main/y"] is definition.parameters["y"]
    assert definition.parameters["/main/Sub/x"].qualified_name == "/main/Sub/x"
    with pytest.raises(KeyError, match=r"'x' names 2 parameters: /main/Sub/x, /main/x"):
        definition.parameters["x"]
    assert quiet_load([main, dt], root="/main/P").root == "P"
    # An error names the document when there are several.
    broken = main.replace(b'parameterRef="Sub/z"', b'parameterRef="Sub/w"')
    with pytest.raises(XtceError, match=r"<ParameterRefEntry> at line 1 of document 1: parameterRef 'Sub/w' names no "
                                        r"parameter"):
        bitloom_xtce.load([broken, dt])
    with pytest.raises(XtceError, match=r"a second parameter type named 'U8' \(first at line 1 of document 1\)"):
        bitloom_xtce.load([dt, dt])


@pytest.mark.parametrize("ref, strict, message", [
    ("../main/P", True, r"<ContainerRefEntry> at line 6: containerRef '../main/P' names no container reached from "
                        r"/S; the only one named 'P' is /S/P, refused with strict=True"),
    ("/nowhere/V", False, r"containerRef '/nowhere/V' names no container$"),
    ("W", False, r"containerRef 'W' names no container reached from /S \(2 have that name\)"),
])
def test_references_that_reach_nothing(ref, strict, message):
    # Two space systems below S each have a container W; neither is in S or around it.
    sub = "".join(f'<xtce:SpaceSystem name="{n}"><xtce:TelemetryMetaData><xtce:ContainerSet><xtce:SequenceContainer '
                  f'name="W"><xtce:EntryList/></xtce:SequenceContainer></xtce:ContainerSet></xtce:TelemetryMetaData>'
                  '</xtce:SpaceSystem>' for n in ("A", "B"))
    text = document(containers=P + f'<xtce:SequenceContainer name="Q"><xtce:EntryList><xtce:ContainerRefEntry '
                                   f'containerRef="{ref}"/></xtce:EntryList></xtce:SequenceContainer>')
    with pytest.raises(XtceError, match=message):
        bitloom_xtce.load(text.replace(b"</xtce:SpaceSystem>", sub.encode() + b"</xtce:SpaceSystem>"), strict=strict)


def test_base_types_override_what_they_give():
    types = ('<xtce:IntegerParameterType name="B"><xtce:UnitSet><xtce:Unit>V</xtce:Unit></xtce:UnitSet>'
             '<xtce:IntegerDataEncoding sizeInBits="16"><xtce:DefaultCalibrator><xtce:PolynomialCalibrator>'
             '<xtce:Term coefficient="2" exponent="1"/></xtce:PolynomialCalibrator></xtce:DefaultCalibrator>'
             '</xtce:IntegerDataEncoding></xtce:IntegerParameterType>'
             '<xtce:IntegerParameterType name="T" baseType="B"><xtce:IntegerDataEncoding sizeInBits="8"/>'
             '</xtce:IntegerParameterType>'
             '<xtce:IntegerParameterType name="T2" baseType="T"/>'
             '<xtce:FloatParameterType name="F" baseType="B"/>')
    definition = quiet_load(document(types=types, parameters=V + '<xtce:Parameter name="w" parameterTypeRef="T2"/>',
                                     containers=P.replace("</xtce:EntryList>",
                                                          '<xtce:ParameterRefEntry parameterRef="w"/></xtce:EntryList>')))
    # T's encoding replaces B's (calibrator and all); the units come from B; T2 is T.
    assert definition.decode(b"\x05\x06") == {"v": 5, "w": 6}
    assert definition.types["T2"].units == "V" and definition.types["T2"].encoding.bits == 8
    assert any("baseType 'B' is a <IntegerParameterType>, not a <FloatParameterType>" in t.what
               for t in definition.tolerated)
    loop = types.replace('name="B">', 'name="B" baseType="T2">')
    with pytest.raises(XtceError, match=r"<IntegerParameterType name='B'> at line 4: baseType loops: B -> T2 -> T -> B"):
        bitloom_xtce.load(document(types=loop), strict=True)


# -- math calibrators and container sizes -----------------------------------------------------------

def math_type(*steps):
    operands = "".join(f"<xtce:{tag}>{body}</xtce:{tag}>" if not tag.startswith("ParameterInstanceRefOperand")
                       else f"<xtce:{tag}/>" for tag, body in steps)
    return ('<xtce:FloatParameterType name="T"><xtce:IntegerDataEncoding sizeInBits="8"><xtce:DefaultCalibrator>'
            f'<xtce:MathOperationCalibrator>{operands}</xtce:MathOperationCalibrator></xtce:DefaultCalibrator>'
            '</xtce:IntegerDataEncoding></xtce:FloatParameterType>')


X, OTHER = ("ThisParameterOperand", ""), ('ParameterInstanceRefOperand parameterRef="n"', "")


@pytest.mark.parametrize("steps, expected", [
    ([X, ("ValueOperand", "2"), ("Operator", "*"), ("ValueOperand", "1"), ("Operator", "+")],
     lambda x, n: 2.0 * x + 1),
    ([("ValueOperand", "10"), X, ("Operator", "-"), ("Operator", "abs"), ("Operator", "ln")],
     lambda x, n: np.log(abs(10.0 - x))),
    ([X, OTHER, ("Operator", "swap"), ("Operator", "/"), ("Operator", "dup"), ("Operator", "*")],
     lambda x, n: (n / x) ** 2),
    ([X, ("ValueOperand", "3"), ("Operator", "&lt;&lt;"), ("ValueOperand", "15"), ("Operator", "&amp;")],
     lambda x, n: (int(x) << 3) & 15),
    ([X, ("ValueOperand", "4"), ("Operator", "&gt;="), X, ("Operator", "x!"), ("Operator", "max")],
     lambda x, n: max(float(x >= 4), math.factorial(int(x)))),
    ([OTHER, X, ("Operator", "atan2"), ("Operator", "int")], lambda x, n: float(np.trunc(np.arctan2(x, n)))),
])
def test_math_calibrator_on_one_packet_and_on_columns(steps, expected):
    definition = quiet_load(document(types=math_type(*steps), parameters='<xtce:Parameter name="n" parameterTypeRef="U8"/>'
                                     + V, containers=P.replace('<xtce:EntryList>', '<xtce:EntryList><xtce:ParameterRefEntry '
                                                                                   'parameterRef="n"/>')))
    pairs = [(3, 0), (0, 7), (5, 2), (9, 4)]
    singles = [definition.decode(bytes([n, x]))["v"] for x, n in pairs]
    with np.errstate(all="ignore"):
        wanted = [float(expected(np.float64(x), np.float64(n))) for x, n in pairs]
    assert np.array_equal(singles, wanted, equal_nan=True), (singles, wanted)
    data = b"".join(bytes([0, 1, 0xC0, 0, 0, 1, n, x]) for x, n in pairs)
    column = quiet_load(document(types=HEADER_TYPE + math_type(*steps),
                                 parameters=HEADER_PARAMETER + '<xtce:Parameter name="n" parameterTypeRef="U8"/>' + V,
                                 containers=P.replace('<xtce:EntryList>', '<xtce:EntryList><xtce:ParameterRefEntry '
                                                      'parameterRef="h"/><xtce:ParameterRefEntry parameterRef="n"/>')))
    assert np.array_equal(column.decode_file(data)["P"]["v"], singles, equal_nan=True)


HEADER_TYPE = '<xtce:BinaryParameterType name="H"><xtce:BinaryDataEncoding><xtce:SizeInBits><xtce:FixedValue>48' \
              '</xtce:FixedValue></xtce:SizeInBits></xtce:BinaryDataEncoding></xtce:BinaryParameterType>'
HEADER_PARAMETER = '<xtce:Parameter name="h" parameterTypeRef="H"/>'


@pytest.mark.parametrize("steps, message", [
    ([X, ("Operator", "+")], r"<Operator> at line 4: operator '\+' needs 2 operands, the stack holds 1"),
    ([X, X], r"<MathOperationCalibrator> at line 4: leaves 2 values on the stack, not one"),
    ([X, ("Operator", "!")], r"operator '!' is not supported \(what it takes from the stack is unclear\)"),
    ([X, ("Operator", "sqrt")], r"operator 'sqrt' is not supported$"),
    ([X, ("ValueOperand", "1e999"), ("Operator", "+")], r"<ValueOperand> at line 4: ValueOperand '1e999' is not finite"),
])
def test_math_calibrators_that_are_refused(steps, message):
    with pytest.raises(XtceError, match=message):
        bitloom_xtce.load(document(types=math_type(*steps)), strict=True)


def test_a_container_that_gives_its_own_size():
    sized = ('<xtce:SequenceContainer name="Q"><xtce:BinaryEncoding><xtce:SizeInBits><xtce:FixedValue>24</xtce:FixedValue>'
             '</xtce:SizeInBits></xtce:BinaryEncoding><xtce:EntryList><xtce:ParameterRefEntry parameterRef="v"/>'
             '</xtce:EntryList></xtce:SequenceContainer>')
    containers = sized + ('<xtce:SequenceContainer name="P"><xtce:EntryList><xtce:ContainerRefEntry containerRef="Q"/>'
                          '<xtce:ParameterRefEntry parameterRef="w"/></xtce:EntryList></xtce:SequenceContainer>')
    definition = bitloom_xtce.load(document(parameters=V + '<xtce:Parameter name="w" parameterTypeRef="U8"/>',
                                            containers=containers), root="P")
    assert definition.decode(b"\x01\x02\x03\x04") == {"v": 1, "w": 4}
    with pytest.raises(XtceError, match=r"the entries of 'Q' end 32 bits after its start, past its size of 24 bits"):
        bitloom_xtce.load(document(types=T.replace('"8"', '"32"'),
                                   parameters=V + '<xtce:Parameter name="w" parameterTypeRef="U8"/>', containers=containers))


# -- hostile documents -------------------------------------------------------------------------------

def nested(depth, open_tag, close_tag):
    return open_tag * depth + close_tag * depth


def hostile_cases():
    doubling = "".join(f'<xtce:SequenceContainer name="C{i}"><xtce:EntryList><xtce:ContainerRefEntry containerRef="C{i - 1}"/>'
                       f'<xtce:ContainerRefEntry containerRef="C{i - 1}"/></xtce:EntryList></xtce:SequenceContainer>'
                       for i in range(1, 41))
    yield "doubling inclusion", document(containers=P.replace('"P"', '"C0"') + doubling), \
        r"expanding container inclusion and inheritance gives more than 2000000 entries"
    chain = "".join(f'<xtce:SequenceContainer name="C{i}"><xtce:EntryList/><xtce:BaseContainer containerRef="C{i - 1}"/>'
                    '</xtce:SequenceContainer>' for i in range(1, 1000))
    yield "base chain", document(containers=P.replace('"P"', '"C0"') + chain), r"inherited more than 100 deep"
    include = "".join(f'<xtce:SequenceContainer name="C{i}"><xtce:EntryList><xtce:ContainerRefEntry containerRef="C{i - 1}"/>'
                      '</xtce:EntryList></xtce:SequenceContainer>' for i in range(1, 1000))
    yield "inclusion chain", document(containers=P.replace('"P"', '"C0"') + include), r"included or inherited more than 100"
    condition = ('<xtce:Condition><xtce:ParameterInstanceRef parameterRef="v"/><xtce:ComparisonOperator>==</xtce:ComparisonOperator>'
                 '<xtce:Value>1</xtce:Value></xtce:Condition>')
    deep = nested(1000, "<xtce:ANDedConditions>" + condition, "</xtce:ANDedConditions>")
    yield "deep conditions", document(containers=P + '<xtce:SequenceContainer name="Q"><xtce:EntryList/><xtce:BaseContainer '
                                      f'containerRef="P"><xtce:RestrictionCriteria><xtce:BooleanExpression>{deep}'
                                      '</xtce:BooleanExpression></xtce:RestrictionCriteria></xtce:BaseContainer>'
                                      '</xtce:SequenceContainer>'), r"at line 6: conditions nested more than 100 deep"
    yield "huge coefficient", document(types=T.replace('sizeInBits="8"/>', 'sizeInBits="8"><xtce:DefaultCalibrator>'
                                       '<xtce:PolynomialCalibrator><xtce:Term coefficient="1e309" exponent="1"/>'
                                       '</xtce:PolynomialCalibrator></xtce:DefaultCalibrator></xtce:IntegerDataEncoding>')), \
        r"<Term> at line 4: coefficient '1e309' is not finite"
    yield "long integer", document(types=T.replace('"8"', '"' + "9" * 5000 + '"')), r"sizeInBits '9{20}'\.\.\. is out of range"
    yield "underscore", document(types=T.replace('"8"', '"8_0"')), r"<IntegerDataEncoding> at line 4: sizeInBits '8_0' is not"
    yield "other digits", document(types=T.replace('"8"', '"\u0668"')), r"sizeInBits '\u0668' is not an integer"
    yield "xinclude", document(outside='<xi:include xmlns:xi="http://www.w3.org/2001/XInclude" href="dt.xml"/>\n'), \
        r"<\{http://www.w3.org/2001/XInclude\}include> at line 3: XInclude is not followed"
    yield "unknown encoding", b'<?xml version="1.0" encoding="x-nothing"?>' + document()[21:], \
        r"the XML declaration at line 1: unknown encoding"


@pytest.mark.parametrize("text, message", [case[1:] for case in hostile_cases()],
                         ids=[case[0] for case in hostile_cases()])
def test_hostile_documents_get_an_error_with_a_line(text, message):
    with pytest.raises(XtceError, match=message):
        bitloom_xtce.load(text)


def test_deep_space_systems_and_base_types_load():
    deep = document(name="L0").replace(b'<xtce:SpaceSystem name="L0"', b"".join(
        f'<xtce:SpaceSystem name="L{i}" {NS}>'.encode() for i in range(1000, 0, -1)) + b'<xtce:SpaceSystem name="L0"')
    deep = deep.replace(b"</xtce:SpaceSystem>\n", b"</xtce:SpaceSystem>" * 1001)
    definition = bitloom_xtce.load(deep)
    assert definition.parameters["v"].qualified_name == "/" + "/".join(f"L{i}" for i in range(1000, -1, -1)) + "/v"
    bases = T.replace('"T"', '"T0"') + "".join(f'<xtce:IntegerParameterType name="T{i}" baseType="T{i - 1}"/>'
                                               for i in range(1, 1000))
    chained = bitloom_xtce.load(document(types=bases + T.replace('name="T"', 'name="T" baseType="T999"')))
    assert chained.decode(b"\x05") == {"v": 5}


def test_text_documents_keep_their_characters_whatever_their_declaration_says():
    text = document(parameters=V.replace('"v"', '"é"'), containers=P.replace('"v"', '"é"')).decode()
    text = text.replace('<?xml version="1.0"?>', '<?xml version="1.0" encoding="ISO-8859-1"?>')
    assert bitloom_xtce.load(io.StringIO(text)).decode(b"\x05") == {"é": 5}
    assert bitloom_xtce.load(text.encode("latin-1")).decode(b"\x05") == {"é": 5}
