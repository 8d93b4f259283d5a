"""Telecommands: argument types of every kind, meta command inheritance with assignments,
defaults, valid ranges, fixed values, decoding packets back to commands, what tolerant loading
lists and strict loading refuses, and the command line's `command`."""
import gzip
import pathlib
import pickle
import re
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import bitloom_xtce
from bitloom_xtce import XtceError, XtceWarning
from bitloom_xtce._cli import main
from bitloom_xtce._inverse import integer_range
from bitloom_xtce._model import FloatEncoding, IntegerEncoding, Polynomial

CHECKOUT = pathlib.Path(__file__).resolve().parent.parent
COMMANDS = "tests/data/xtce/commands.xml"  # relative to the checkout, where every test here runs
_LOADED = {}


@pytest.fixture(autouse=True)
def in_the_checkout(monkeypatch):
    monkeypatch.chdir(CHECKOUT)
NS = 'xmlns:xtce="http://www.omg.org/spec/XTCE/20180204"'


def x(text):
    """XTCE elements written without their prefix, for brevity."""
    return re.sub(r"<(/?)([A-Z])", r"<\1xtce:\2", text)


def command_document(types, arguments, entries, telemetry="", more=""):
    return x(f'<?xml version="1.0"?>\n<SpaceSystem name="S" {NS}>\n{telemetry}<CommandMetaData>\n'
             f'<ArgumentTypeSet>{types}</ArgumentTypeSet>\n<MetaCommandSet>\n'
             f'<MetaCommand name="C"><ArgumentList>{arguments}</ArgumentList>\n'
             f'<CommandContainer name="C"><EntryList>{entries}</EntryList></CommandContainer></MetaCommand>\n'
             f'{more}</MetaCommandSet>\n</CommandMetaData>\n</SpaceSystem>\n').encode()


def one_argument(type_xml, name="T"):
    return command_document(type_xml, f'<Argument name="a" argumentTypeRef="{name}"/>',
                            '<ArgumentRefEntry argumentRef="a"/>')


def same(a, b):
    if isinstance(a, tuple):
        return isinstance(b, tuple) and len(a) == len(b) and all(same(p, q) for p, q in zip(a, b))
    if isinstance(a, dict):
        return isinstance(b, dict) and a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, np.ndarray)) or isinstance(b, np.ndarray):
        return np.array_equal(np.asarray(a), np.asarray(b))
    return type(a) is type(b) and a == b or isinstance(a, np.generic) and a == b


U8 = '<IntegerDataEncoding sizeInBits="8"/>'
POLY = ('<IntegerDataEncoding sizeInBits="12" encoding="twosComplement"><DefaultCalibrator><PolynomialCalibrator>'
        '<Term coefficient="0.5" exponent="0"/><Term coefficient="0.125" exponent="1"/></PolynomialCalibrator>'
        '</DefaultCalibrator></IntegerDataEncoding>')


KINDS = [
    (f'<IntegerArgumentType name="T">{U8}</IntegerArgumentType>', 200, "c8", 200),
    ('<IntegerArgumentType name="T"><IntegerDataEncoding sizeInBits="16" encoding="twosComplement" '
     'byteOrder="leastSignificantByteFirst"/></IntegerArgumentType>', -2, "feff", -2),
    ('<IntegerArgumentType name="T"><IntegerDataEncoding sizeInBits="8" encoding="packedBCD"/>'
     '</IntegerArgumentType>', 42, "42", 42),
    (f'<FloatArgumentType name="T">{POLY}</FloatArgumentType>', 21.3, "0a60", 21.25),  # nearest raw value
    ('<FloatArgumentType name="T"><FloatDataEncoding sizeInBits="32"/></FloatArgumentType>', 1.5, "3fc00000", 1.5),
    ('<FloatArgumentType name="T"><FloatDataEncoding sizeInBits="64" byteOrder="leastSignificantByteFirst"/>'
     '</FloatArgumentType>', -2.0, "00000000000000c0", -2.0),
    (f'<EnumeratedArgumentType name="T">{U8}<EnumerationList><Enumeration value="1" label="A"/>'
     '<Enumeration value="5" label="B"/></EnumerationList></EnumeratedArgumentType>', "B", "05", "B"),
    ('<BooleanArgumentType name="T"><IntegerDataEncoding sizeInBits="1"/></BooleanArgumentType>', True, "80", True),
    ('<StringArgumentType name="T"><StringDataEncoding encoding="US-ASCII"><SizeInBits><Fixed><FixedValue>32'
     '</FixedValue></Fixed></SizeInBits></StringDataEncoding></StringArgumentType>', "ABCD", "41424344", "ABCD"),
    ('<StringArgumentType name="T"><StringDataEncoding><Variable maxSizeInBits="64"><TerminationChar>00'
     '</TerminationChar></Variable></StringDataEncoding></StringArgumentType>', "hé", "68c3a900", "hé"),
    ('<StringArgumentType name="T"><StringDataEncoding><Variable maxSizeInBits="64"><LeadingSize '
     'sizeInBitsOfSizeTag="8"/></Variable></StringDataEncoding></StringArgumentType>', "hi", "026869", "hi"),
    ('<BinaryArgumentType name="T"><BinaryDataEncoding><SizeInBits><FixedValue>16</FixedValue></SizeInBits>'
     '</BinaryDataEncoding></BinaryArgumentType>', b"\x01\x02", "0102", b"\x01\x02"),
    ('<AbsoluteTimeArgumentType name="T"><Encoding units="seconds"><IntegerDataEncoding sizeInBits="32"/></Encoding>'
     '<ReferenceTime><Epoch>2020-01-01T00:00:00Z</Epoch></ReferenceTime></AbsoluteTimeArgumentType>',
     np.datetime64("2020-01-01T00:01:40"), "00000064", np.datetime64("2020-01-01T00:01:40", "ns")),
    ('<RelativeTimeAgumentType name="T"><Encoding units="seconds" scale="0.001"><IntegerDataEncoding sizeInBits="16"/>'
     '</Encoding></RelativeTimeAgumentType>', np.timedelta64(1500, "ms"), "05dc", np.timedelta64(1500, "ms")),
    (f'<IntegerArgumentType name="B">{U8}</IntegerArgumentType><IntegerArgumentType name="S"><IntegerDataEncoding '
     'sizeInBits="8" encoding="twosComplement"/></IntegerArgumentType><AggregateArgumentType name="T"><MemberList>'
     '<Member name="u" typeRef="B"/><Member name="s" typeRef="S"/></MemberList></AggregateArgumentType>',
     {"u": 1, "s": -1}, "01ff", {"u": 1, "s": -1}),
    (f'<IntegerArgumentType name="B">{U8}</IntegerArgumentType><ArrayArgumentType name="T" arrayTypeRef="B">'
     '<DimensionList><Dimension><StartingIndex><FixedValue>0</FixedValue></StartingIndex><EndingIndex><FixedValue>1'
     '</FixedValue></EndingIndex></Dimension><Dimension><StartingIndex><FixedValue>0</FixedValue></StartingIndex>'
     '<EndingIndex><FixedValue>1</FixedValue></EndingIndex></Dimension></DimensionList></ArrayArgumentType>',
     [[1, 2], [3, 4]], "01020304", [[1, 2], [3, 4]]),
]
KIND_NAMES = ["unsigned", "twos-little", "bcd", "polynomial", "f32", "f64-little", "enumerated", "boolean",
              "text-fixed", "text-terminated", "text-counted", "binary", "absolute-time", "relative-time", "aggregate",
              "array-2d"]


@pytest.mark.parametrize("type_xml, value, packet, decoded", KINDS, ids=KIND_NAMES)
def test_each_kind_of_argument_encodes_and_decodes_back(type_xml, value, packet, decoded):
    definition = bitloom_xtce.load(one_argument(type_xml), strict=True)
    made = definition.encode_command("C", a=value)
    assert made.hex() == packet
    name, arguments = definition.decode_command(made)
    assert name == "C" and same(arguments["a"], decoded), arguments


@pytest.fixture(scope="module")
def spacecraft():
    return bitloom_xtce.load(CHECKOUT / COMMANDS, strict=True)


def test_the_ccsds_header_of_a_telecommand(spacecraft):
    packet = spacecraft.encode_command("SET_MODE", mode="SCIENCE", sequence_count=7)
    header = spacecraft.decode(packet)  # telemetry's own view: the header container's fields
    assert (header["TYPE"], header["APID"], header["SEQ_FLAGS"], header["SEQ_COUNT"], header["LENGTH"]) == \
        (1, 200, 3, 7, len(packet) - 7)
    # one counter per APID, shared by every command
    counts = [spacecraft.decode(spacecraft.encode_command(n))["SEQ_COUNT"] for n in ("NOOP", "SET_MODE", "NOOP")]
    assert counts[1] == counts[0] + 1 and counts[2] == counts[0] + 2


def test_threads_share_the_sequence_counter():
    definition = bitloom_xtce.load(COMMANDS)
    from concurrent.futures import ThreadPoolExecutor
    names = ["NOOP", "SET_MODE"] * 400
    with ThreadPoolExecutor(8) as pool:
        packets = list(pool.map(definition.encode_command, names))
    counts = sorted(definition.decode(p)["SEQ_COUNT"] for p in packets)
    assert counts == list(range(len(names)))


def test_inheritance_assignments_and_defaults(spacecraft):
    commands = spacecraft.commands
    assert commands["TC"].abstract and not commands["HEATER_1_ON"].abstract
    assert list(commands["HEATER"].arguments) == ["heater", "on", "setpoint"]
    assert list(commands["HEATER_1_ON"].arguments) == ["setpoint"]
    assert commands["HEATER_1_ON"].assignments == {"opcode": 2, "heater": 1, "on": True}
    assert commands["HEATER"].defaults == {"setpoint": 20.0} and commands["SET_MODE"].defaults == {"mode": "STANDBY"}
    # the narrower command is the wider one with its assignments, and a packet decodes as the narrower
    narrow = spacecraft.encode_command("HEATER_1_ON", setpoint=-10, sequence_count=0)
    wide = spacecraft.encode_command("HEATER", heater=1, on=True, setpoint=-10, sequence_count=0)
    assert narrow == wide
    assert spacecraft.decode_command(wide) == ("HEATER_1_ON", {"setpoint": -10.0})
    assert spacecraft.decode_command(spacecraft.encode_command("HEATER", heater=2, on=False)) == \
        ("HEATER", {"heater": 2, "on": False, "setpoint": 20.0})
    assert spacecraft.decode_command(spacecraft.encode_command("SET_MODE")) == ("SET_MODE", {"mode": "STANDBY"})


@pytest.mark.parametrize("name, arguments, message", [
    ("HEATER", {"heater": 7, "on": True}, "argument 'heater': 7 is outside its valid range [1.0, 6.0]"),
    ("HEATER", {"heater": 0, "on": True}, "argument 'heater': 0 is outside"),
    ("HEATER", {"heater": 2, "on": True, "setpoint": 60.5}, "argument 'setpoint': 60.5 is outside its valid range"),
    ("HEATER", {"heater": 2, "on": True, "setpoint": float("nan")}, "argument 'setpoint': nan is outside"),
    ("HEATER", {"on": True}, "no value for argument 'heater' (given none, and it has no default)"),
    ("HEATER", {"heater": 2, "on": True, "bogus": 1}, "has no argument 'bogus' (its arguments: heater, on, setpoint)"),
    ("HEATER_1_ON", {"heater": 2}, "argument 'heater' is fixed to 1 by its ArgumentAssignment"),
    ("TC", {}, "meta command 'TC' is abstract: encode one that inherits from it (NOOP, SET_MODE"),
    ("NOPE", {}, "no meta command named 'NOPE' (concrete ones: NOOP"),
    ("SET_MODE", {"mode": "OFF"}, "mode: 'OFF' is not one of its labels"),
    ("POINT", {"target": {"x": 1}, "weights": [1, 2, 3]}, "target: no value for its member 'y'"),
    ("POINT", {"target": {"x": 1, "y": 2}, "weights": [1, 2]}, "weights: an array of shape (2,), its type's is (3,)"),
    ("UPLOAD", {"file": "x" * 40, "data": b"", "at": np.datetime64("2021-01-01")}, "more than its maximum of 256"),
    ("UPLOAD", {"file": "x", "size": 2, "data": b"abc", "at": np.datetime64("2021-01-01")}, "3 bytes for a field"),
])
def test_refusals_name_the_argument(spacecraft, name, arguments, message):
    with pytest.raises(ValueError) as caught:
        spacecraft.encode_command(name, arguments)
    assert message in str(caught.value)


def test_an_argument_that_holds_a_check_is_computed():
    crc = ('<IntegerArgumentType name="K"><IntegerDataEncoding sizeInBits="8"><ErrorDetectCorrect>'
           '<Checksum name="sum8"/></ErrorDetectCorrect></IntegerDataEncoding></IntegerArgumentType>')
    text = command_document(GOOD_TYPE + crc, GOOD_ARGUMENT + '<Argument name="k" argumentTypeRef="K"/>',
                            GOOD_ENTRY + GOOD_ENTRY + '<ArgumentRefEntry argumentRef="k"/>')
    definition = bitloom_xtce.load(text, strict=True)
    packet = definition.encode_command("C", a=0x81)
    assert packet.hex() == "818102"
    assert definition.decode_command(packet) == ("C", {"a": 0x81, "k": 2})
    with pytest.raises(ValueError, match="matches no meta command: C: .*k is 0x3"):
        definition.decode_command(b"\x81\x81\x03")


def test_valid_ranges_on_raw_values_and_in_the_older_form():
    raw = one_argument(f'<FloatArgumentType name="T">{POLY}<ValidRangeSet validRangeAppliesToCalibrated="false">'
                       '<ValidRange minInclusive="0" maxInclusive="8"/><ValidRange minInclusive="100" '
                       'maxExclusive="101"/></ValidRangeSet></FloatArgumentType>')
    definition = bitloom_xtce.load(raw, strict=True)
    assert definition.encode_command("C", a=1.5).hex() == "0080"  # raw 8
    assert definition.encode_command("C", a=13.0).hex() == "0640"  # raw 100: in the second range
    with pytest.raises(ValueError, match=r"'a': 1.625 is outside its valid range \[0.0, 8.0\] or \[100.0, 101.0\) "
                                         r"\(raw value 9\)"):
        definition.encode_command("C", a=1.625)
    older = one_argument(f'<IntegerArgumentType name="T">{U8}<ValidRange minInclusive="3"/></IntegerArgumentType>')
    with pytest.raises(ValueError, match="'a': 2 is outside its valid range"):
        bitloom_xtce.load(older, strict=True).encode_command("C", a=2)


@pytest.mark.parametrize("value, message", [
    ("AB12", None), ("A", "'A' has 1 characters, outside its size range [2.0, 4.0]"),
    ("ab12", "'ab12' does not match its restrictionPattern '[A-Z0-9]*'"),
])
def test_size_range_and_pattern_of_text(value, message):
    text = one_argument('<StringArgumentType name="T" restrictionPattern="[A-Z0-9]*"><StringDataEncoding><Variable '
                        'maxSizeInBits="64"><TerminationChar>00</TerminationChar></Variable></StringDataEncoding>'
                        '<SizeRangeInCharacters minInclusive="2" maxInclusive="4"/></StringArgumentType>')
    definition = bitloom_xtce.load(text, strict=True)
    if message is None:
        assert definition.encode_command("C", a=value) == value.encode() + b"\0"
    else:
        with pytest.raises(ValueError, match=re.escape(f"argument 'a': {message}")):
            definition.encode_command("C", a=value)


@pytest.mark.parametrize("written, packet", [("PT1.5S", "05dc"), ("1.5", "05dc"), ("PT1M", "ea60"),
                                             ("P1D", None), ("P1M", None), ("1 s", None)])
def test_defaults_of_durations(written, packet):
    text = one_argument('<RelativeTimeArgumentType name="T"><Encoding units="seconds" scale="0.001">'
                        '<IntegerDataEncoding sizeInBits="16"/></Encoding></RelativeTimeArgumentType>').replace(
        b'argumentTypeRef="T"/>', f'argumentTypeRef="T" initialValue="{written}"/>'.encode())
    if packet is None:  # P1D: past the field's range; P1M: a month has no fixed length
        with pytest.raises((XtceError, ValueError)):
            bitloom_xtce.load(text, strict=True).encode_command("C")
    else:
        assert bitloom_xtce.load(text, strict=True).encode_command("C").hex() == packet


def test_defaults_of_structures_are_json():
    aggregate = (f'<IntegerArgumentType name="B">{U8}</IntegerArgumentType><AggregateArgumentType name="T">'
                 '<MemberList><Member name="u" typeRef="B"/><Member name="v" typeRef="B"/></MemberList>'
                 '</AggregateArgumentType>')
    text = command_document(aggregate, '<Argument name="a" argumentTypeRef="T" initialValue=\'{"u": 1, "v": 2}\'/>',
                            '<ArgumentRefEntry argumentRef="a"/>')
    definition = bitloom_xtce.load(text, strict=True)
    assert definition.commands["C"].defaults == {"a": {"u": 1, "v": 2}}
    assert definition.encode_command("C").hex() == "0102"
    unread = text.replace(b'\'{"u": 1, "v": 2}\'', b'"u=1"')
    with pytest.warns(XtceWarning, match="initialValue of an aggregate or array argument that is not its value in"):
        assert bitloom_xtce.load(unread).commands["C"].defaults == {}
    with pytest.raises(XtceError, match="line 6"):
        bitloom_xtce.load(unread, strict=True)


def test_fixed_values_locations_and_included_containers():
    telemetry = x(f'<TelemetryMetaData><ParameterTypeSet><IntegerParameterType name="P8">{U8}</IntegerParameterType>'
                  '</ParameterTypeSet><ParameterSet><Parameter name="SYNC" parameterTypeRef="P8" initialValue="170"/>'
                  '</ParameterSet><ContainerSet><SequenceContainer name="Sync"><EntryList><ParameterRefEntry '
                  'parameterRef="SYNC"/></EntryList></SequenceContainer></ContainerSet></TelemetryMetaData>\n')
    text = command_document(f'<IntegerArgumentType name="T">{U8}</IntegerArgumentType>',
                            '<Argument name="a" argumentTypeRef="T"/>',
                            '<FixedValueEntry name="op" binaryValue="0F" sizeInBits="4"/>'
                            '<ArgumentRefEntry argumentRef="a"><LocationInContainerInBits referenceLocation='
                            '"containerStart"><FixedValue>8</FixedValue></LocationInContainerInBits></ArgumentRefEntry>'
                            '<FixedValueEntry binaryValue="0102030405060708090A" sizeInBits="80"/>'
                            '<ContainerRefEntry containerRef="Sync"/>', telemetry)
    definition = bitloom_xtce.load(text, strict=True)
    packet = definition.encode_command("C", a=0x33)
    assert packet.hex() == "f0330102030405060708090aaa"
    assert definition.decode_command(packet) == ("C", {"a": 0x33})
    for broken in (b"\xe0" + packet[1:], packet[:2] + b"\x00" + packet[3:]):  # a fixed value changed
        with pytest.raises(ValueError, match="matches no meta command"):
            definition.decode_command(broken)


def test_containers_of_the_command_container_set():
    telemetry = x(f'<TelemetryMetaData><ParameterTypeSet><IntegerParameterType name="P8">{U8}</IntegerParameterType>'
                  '</ParameterTypeSet><ParameterSet><Parameter name="SYNC" parameterTypeRef="P8" initialValue="170"/>'
                  '</ParameterSet></TelemetryMetaData>\n')
    shared = x('<CommandContainerSet><CommandContainer name="Head"><EntryList><ParameterRefEntry parameterRef="SYNC"/>'
               '<FixedValueEntry binaryValue="01" sizeInBits="8"/></EntryList></CommandContainer>'
               '<CommandContainer name="Tail"><EntryList><FixedValueEntry binaryValue="FF" sizeInBits="8"/></EntryList>'
               '</CommandContainer></CommandContainerSet>')
    text = command_document(GOOD_TYPE, GOOD_ARGUMENT, GOOD_ENTRY + '<ContainerRefEntry containerRef="Tail"/>',
                            telemetry)
    text = text.replace(b"</xtce:EntryList></xtce:CommandContainer>",
                        b'</xtce:EntryList><xtce:BaseContainer containerRef="Head"/></xtce:CommandContainer>')
    text = text.replace(b"</xtce:MetaCommandSet>", b"</xtce:MetaCommandSet>" + shared.encode())
    definition = bitloom_xtce.load(text, strict=True)
    assert definition.encode_command("C", a=5).hex() == "aa0105ff"
    assert definition.decode_command(bytes.fromhex("aa0105ff")) == ("C", {"a": 5})


def test_parameters_of_command_metadata():
    """CommandMetaData's own parameters (of its own parameter types or the telemetry's) are placed
    by command containers; the telemetry never sees them."""
    telemetry = x(f'<TelemetryMetaData><ParameterTypeSet><IntegerParameterType name="P8">{U8}</IntegerParameterType>'
                  '</ParameterTypeSet><ParameterSet><Parameter name="v" parameterTypeRef="P8"/></ParameterSet>'
                  '<ContainerSet><SequenceContainer name="P"><EntryList><ParameterRefEntry parameterRef="v"/>'
                  '</EntryList></SequenceContainer></ContainerSet></TelemetryMetaData>\n')
    own = x('<ParameterTypeSet><IntegerParameterType name="P16"><IntegerDataEncoding sizeInBits="16"/>'
            '</IntegerParameterType></ParameterTypeSet><ParameterSet><Parameter name="KEY" parameterTypeRef="P16" '
            'initialValue="4660"/><Parameter name="TAG" parameterTypeRef="P8" initialValue="9"/>'
            '<Parameter name="v" parameterTypeRef="P8"/></ParameterSet>')
    text = command_document(GOOD_TYPE, GOOD_ARGUMENT, GOOD_ENTRY + '<ParameterRefEntry parameterRef="KEY"/>'
                            '<ParameterRefEntry parameterRef="TAG"/>', telemetry)
    text = text.replace(b"<xtce:ArgumentTypeSet>", own.encode() + b"<xtce:ArgumentTypeSet>")
    with pytest.warns(XtceWarning, match="a second parameter named 'v'"):  # the telemetry's keeps its name
        definition = bitloom_xtce.load(text)
    assert definition.encode_command("C", a=1).hex() == "01123409"
    assert list(definition.parameters) == ["v"] and definition.decode(b"\x07") == {"v": 7}
    with pytest.raises(XtceError, match="a second parameter named 'v'"):
        bitloom_xtce.load(text, strict=True)


def test_arguments_named_as_parameters():
    """Arguments and parameters have names of their own: one may hide the other in a command's
    packet unless the packet places both."""
    telemetry = x(f'<TelemetryMetaData><ParameterTypeSet><IntegerParameterType name="P16"><IntegerDataEncoding '
                  'sizeInBits="16"/></IntegerParameterType></ParameterTypeSet><ParameterSet><Parameter name="a" '
                  'parameterTypeRef="P16"/><Parameter name="b" parameterTypeRef="P16" initialValue="7"/></ParameterSet>'
                  '<ContainerSet><SequenceContainer name="P"><EntryList><ParameterRefEntry parameterRef="a"/>'
                  '</EntryList></SequenceContainer></ContainerSet></TelemetryMetaData>\n')
    fine = command_document(GOOD_TYPE, GOOD_ARGUMENT, GOOD_ENTRY + '<ParameterRefEntry parameterRef="b"/>', telemetry)
    definition = bitloom_xtce.load(fine, strict=True)
    assert definition.encode_command("C", a=1).hex() == "010007"
    assert definition.decode(b"\x00\x05") == {"a": 5}
    clash = command_document(GOOD_TYPE, GOOD_ARGUMENT, GOOD_ENTRY + '<ContainerRefEntry containerRef="P"/>', telemetry)
    with pytest.raises(XtceError, match="argument 'a' has the name of a parameter that its packet places too"):
        bitloom_xtce.load(clash, strict=True)


def test_decode_command_refusals(spacecraft):
    good = spacecraft.encode_command("SET_MODE", mode="SAFE")
    with pytest.raises(ValueError, match=r"matches no meta command: SET_MODE: .*TC_CRC is"):
        spacecraft.decode_command(good[:-1] + bytes([good[-1] ^ 1]))
    with pytest.raises(ValueError, match=r"the packet \(3 bytes\) matches no meta command"):
        spacecraft.decode_command(good[:3])
    with pytest.raises(ValueError, match="matches no meta command"):  # a length field that disagrees
        spacecraft.decode_command(spacecraft.encode_command("NOOP") + b"\x00")
    twins = command_document(f'<IntegerArgumentType name="T">{U8}</IntegerArgumentType>',
                             '<Argument name="a" argumentTypeRef="T"/>', '<ArgumentRefEntry argumentRef="a"/>',
                             more=x('<MetaCommand name="D"><ArgumentList><Argument name="b" argumentTypeRef="T"/>'
                                    '</ArgumentList><CommandContainer name="D"><EntryList><ArgumentRefEntry '
                                    'argumentRef="b"/></EntryList></CommandContainer></MetaCommand>'))
    with pytest.raises(ValueError, match="matches more than one meta command: C, D"):
        bitloom_xtce.load(twins).decode_command(b"\x01")


def test_meta_commands_of_the_same_name_in_two_space_systems():
    def system(name, base_ref, opcode):
        return (f'<SpaceSystem name="{name}"><CommandMetaData><MetaCommandSet><MetaCommand name="RESET">'
                f'<BaseMetaCommand metaCommandRef="{base_ref}"><ArgumentAssignmentList><ArgumentAssignment '
                f'argumentName="a" argumentValue="{opcode}"/></ArgumentAssignmentList></BaseMetaCommand></MetaCommand>'
                '</MetaCommandSet></CommandMetaData></SpaceSystem>')
    text = command_document(GOOD_TYPE, GOOD_ARGUMENT, GOOD_ENTRY).replace(b'name="C">', b'name="C" abstract="true">')
    text = text.replace(b"</xtce:SpaceSystem>", x(system("A", "C", 1) + system("B", "/S/C", 2)).encode()
                        + b"</xtce:SpaceSystem>")
    definition = bitloom_xtce.load(text, strict=True)
    assert list(definition.commands) == ["C", "/S/A/RESET", "/S/B/RESET"]
    assert definition.encode_command("/S/B/RESET") == b"\x02"
    assert definition.decode_command(b"\x01") == ("/S/A/RESET", {})
    with pytest.raises(ValueError, match="'RESET' names 2 meta commands: /S/A/RESET, /S/B/RESET"):
        definition.encode_command("RESET")


def test_commands_survive_pickling(spacecraft):
    again = pickle.loads(pickle.dumps(spacecraft))
    assert list(again.commands) == list(spacecraft.commands)
    assert again.encode_command("NOOP", sequence_count=3) == spacecraft.encode_command("NOOP", sequence_count=3)
    assert again.encode_command("TABLE", rows=[5], sequence_count=3) == \
        spacecraft.encode_command("TABLE", rows=[5], sequence_count=3)


# -- tolerant loading lists what it cannot read; strict loading refuses it -------------------------

TM = x(f'<TelemetryMetaData><ParameterTypeSet><IntegerParameterType name="P8">{U8}</IntegerParameterType>'
       '</ParameterTypeSet><ParameterSet><Parameter name="v" parameterTypeRef="P8"/></ParameterSet><ContainerSet>'
       '<SequenceContainer name="P"><EntryList><ParameterRefEntry parameterRef="v"/></EntryList></SequenceContainer>'
       '</ContainerSet></TelemetryMetaData>\n')
GOOD_TYPE = f'<IntegerArgumentType name="T">{U8}</IntegerArgumentType>'
GOOD_ARGUMENT = '<Argument name="a" argumentTypeRef="T"/>'
GOOD_ENTRY = '<ArgumentRefEntry argumentRef="a"/>'


def broken(types=GOOD_TYPE, arguments=GOOD_ARGUMENT, entries=GOOD_ENTRY, more=""):
    return command_document(types, arguments, entries, TM, x(more))


@pytest.mark.parametrize("text, what, line", [
    (broken(types='<IntegerArgumentType name="T"><IntegerDataEncoding sizeInBits="0"/></IntegerArgumentType>'),
     "sizeInBits must be positive, not 0", (7, 5)),
    (broken(arguments='<Argument name="a" argumentTypeRef="Nothing"/>'),
     "argumentTypeRef 'Nothing' names no argument type", 7),
    (broken(arguments='<Argument name="a" argumentTypeRef="T" initialValue="x"/>'),
     "initialValue 'x' is not a value of argument 'a' (integer)", 7),
    (broken(entries='<ArgumentRefEntry argumentRef="b"/>'),
     "argumentRef 'b': meta command 'C' has no such argument", 8),
    (broken(entries='<FixedValueEntry binaryValue="1" sizeInBits="8"><IncludeCondition><Comparison '
                    'parameterRef="a" value="1"/></IncludeCondition></FixedValueEntry>'),
     "a criterion tests argument 'a', which the packet does not place", 8),
    (broken(more='<MetaCommand name="E"><BaseMetaCommand metaCommandRef="Gone"/></MetaCommand>'),
     "metaCommandRef 'Gone' names no meta command", 9),
    (broken(more='<MetaCommand name="E"><BaseMetaCommand metaCommandRef="C"><ArgumentAssignmentList>'
                 '<ArgumentAssignment argumentName="z" argumentValue="1"/></ArgumentAssignmentList></BaseMetaCommand>'
                 '</MetaCommand>'),
     "argumentName 'z': the base meta command 'C' has no such argument", 9),
    (broken(more='<MetaCommand name="E"><BaseMetaCommand metaCommandRef="F"/></MetaCommand><MetaCommand name="F">'
                 '<BaseMetaCommand metaCommandRef="E"/></MetaCommand>'), "meta command inheritance loops", 9),
    (broken(entries=GOOD_ENTRY + '<ContainerRefEntry containerRef="C"/>'),
     "command containers include or extend each other: C -> C", 8),
    (broken(more='<BlockMetaCommand name="B"><MetaCommandStepList><MetaCommandStep metaCommandRef="Gone"/>'
                 '</MetaCommandStepList></BlockMetaCommand>'), "metaCommandRef 'Gone' names no meta command", 9),
    (broken(more='<BlockMetaCommand name="B"><MetaCommandStepList><MetaCommandStep metaCommandRef="C">'
                 '<ArgumentAssigmentList><ArgumentAssignment argumentName="a" argumentValue="x"/>'
                 '</ArgumentAssigmentList></MetaCommandStep></MetaCommandStepList></BlockMetaCommand>'),
     "argumentValue 'x' is not a value of argument 'a'", 9),
    (broken(more='<MetaCommand name="E"><ParameterToSetList/></MetaCommand>'),
     "<ParameterToSetList>: parameters set by a command", 9),
    (broken(entries=GOOD_ENTRY + '<ParameterRefEntry parameterRef="w"/>').replace(
        b"<xtce:ArgumentTypeSet>", b'<xtce:ParameterSet><xtce:Parameter name="w" parameterTypeRef="None"/>'
                                   b'</xtce:ParameterSet><xtce:ArgumentTypeSet>'),
     "parameterTypeRef 'None' names no parameter type", 5),
    (broken().replace(b"<xtce:ArgumentTypeSet>", b"<xtce:Oddity/><xtce:ArgumentTypeSet>"),
     "element not supported inside <CommandMetaData>", 5),
])
def test_commanding_never_stops_telemetry_from_loading(text, what, line):
    with pytest.warns(XtceWarning):
        definition = bitloom_xtce.load(text)
    assert definition.decode(b"\x07") == {"v": 7}
    tolerant, strict = line if isinstance(line, tuple) else (line, line)
    listed = [t for t in definition.tolerated if what in t.what]
    assert listed and listed[0].line == tolerant, definition.tolerated
    with pytest.raises(XtceError, match=f"line {strict}") as caught:
        bitloom_xtce.load(text, strict=True)
    assert what in str(caught.value)


# -- round trip over random arguments ---------------------------------------------------------------

def values_of(ptype, valid=()):
    """Values of a type that decode to themselves exactly."""
    enc = ptype.encoding
    if ptype.kind == "aggregate":
        return st.fixed_dictionaries({m: values_of(t) for m, t in ptype.members})
    if ptype.kind == "array":
        values = values_of(ptype.element)
        for a, b in reversed(ptype.dimensions):  # a dimension sized by an argument: any size
            least, most = (b - a + 1, b - a + 1) if isinstance(b, int) else (0, 4)
            values = st.lists(values, min_size=least, max_size=most)
        return values
    if ptype.kind == "enumerated":
        return st.sampled_from([label for _, _, label in ptype.enumeration])
    if ptype.kind == "boolean":
        return st.booleans()
    if ptype.kind == "string":
        most = (enc.max_bits or enc.bits) // 8 - (1 if enc.terminator else 0) - (enc.leading_bits or 0) // 8
        least = most if enc.plain else 0  # a fixed field with nothing to end the text sooner: filled
        return st.text(st.characters(min_codepoint=0x20, max_codepoint=0x7E), min_size=least, max_size=most)
    if ptype.kind == "binary":
        fixed = enc.bits // 8 if enc.bits is not None else None
        return st.binary(max_size=255) if fixed is None else st.binary(min_size=fixed, max_size=fixed)
    if ptype.kind in ("absolute_time", "relative_time"):
        return st.integers(*integer_range(enc)).map(ptype.calibrate)
    if isinstance(enc, FloatEncoding):
        return st.floats(width=enc.bits, allow_nan=False, allow_infinity=False)
    assert isinstance(enc, IntegerEncoding)
    lo, hi = integer_range(enc)
    raws = st.integers(lo, hi)
    values = raws.map(lambda r: ptype.calibrate(r)) if isinstance(enc.calibrator, Polynomial) else raws
    if valid:
        values = values.filter(lambda v: any(r.inside(np.array([float(v)]))[0] for r in valid))
    return values


def layout_of(definition, name):
    """Of a command's entries: the repeated arguments (-> a fixed count or None), the
    conditional ones, and the arguments that give sizes and counts (computed from the data)."""
    world = definition._commands.worlds[name]
    containers = world.decoder._containers
    repeated, conditional, sizes = {}, set(), set()
    todo = [world.container]
    while todo:
        container = containers[todo.pop()]
        todo.extend([container.base] if container.base else [])
        for entry in container.entries:
            if entry.kind == "container":
                todo.append(entry.ref)
            if entry.condition is not None:
                conditional.add(entry.ref)
            if entry.repeat is not None:
                count = entry.repeat.count
                repeated[entry.ref] = count if isinstance(count, int) else None
                if not isinstance(count, int):
                    sizes.add(count.parameter)
    for argument in world.command.arguments.values():
        types = [argument.type]
        while types:
            t = types.pop()
            types.extend([mt for _, mt in t.members] + ([t.element] if t.element is not None else []))
            sizes.update(c.parameter for d in t.dimensions for c in d if not isinstance(c, int))
            if getattr(t.encoding, "dynamic", None) is not None:
                sizes.add(t.encoding.dynamic.parameter)
    return repeated, conditional, sizes


def arguments_of(draw, definition, name):
    repeated, _, sizes = layout_of(definition, name)
    arguments = {}
    for argument in definition.commands[name].arguments.values():
        if argument.name in sizes:  # computed from the data
            continue
        if argument.default is not None and draw(st.booleans()):
            continue
        values = values_of(argument.type, argument.valid)
        if argument.name in repeated:
            count = repeated[argument.name]
            values = st.lists(values, min_size=count or 0, max_size=count if count is not None else 4)
        arguments[argument.name] = draw(values)
    return arguments


def encode_leaving_out(definition, name, arguments):
    """A command's packet; arguments whose conditional entries are left out are dropped."""
    while True:
        try:
            return definition.encode_command(name, arguments)
        except ValueError as e:
            found = re.search(r"argument '(\w+)' is given, but its entry is left out", str(e))
            if found is None:
                raise
            del arguments[found.group(1)]


def documents_with_commands():
    """Every test document that defines commands, with its concrete commands."""
    found = []
    for path in sorted((CHECKOUT / "tests/data/xtce").glob("*.xml*")):
        data = gzip.decompress(path.read_bytes()) if path.suffix == ".gz" else path.read_bytes()
        if b"CommandMetaData" in data:
            name = str(path.relative_to(CHECKOUT))
            definition = loaded(name)
            found.extend((name, n) for n, c in definition.commands.items() if n in definition._commands.worlds)
    return found


def loaded(path):
    if path not in _LOADED:
        _LOADED[path] = bitloom_xtce.load(CHECKOUT / path, strict=True)
    return _LOADED[path]


SIZED = {"size": "data", "count": "rows"}  # commands.xml's arguments that give another's size or count


def test_the_documents_with_commands_are_known():
    assert {p for p, _ in documents_with_commands()} == {COMMANDS}  # SIZED describes its sizes


@pytest.mark.parametrize("path, name", documents_with_commands())
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_decode_command_inverts_encode_command(path, name, data):
    definition = loaded(path)
    arguments = arguments_of(data.draw, definition, name)
    packet = encode_leaving_out(definition, name, arguments)
    decoded_name, decoded = definition.decode_command(packet)
    command = definition.commands[name]
    expected = {**command.defaults, **arguments}
    for size, of in SIZED.items():  # a count or size: from the data
        if of in expected:
            expected[size] = len(expected[of])
    if decoded_name != name:  # a narrower command with these assigned values
        narrower = definition.commands[decoded_name]
        assert narrower.base == name and all(expected[k] == v for k, v in narrower.assignments.items()
                                             if k in expected)
        command = narrower
    assert same(decoded, {n: expected[n] for n in decoded}), (decoded, expected)
    assert set(decoded) == set(expected) & set(command.arguments)  # conditional ones left out: not there


@pytest.mark.parametrize("type_xml", [row[0] for row in KINDS], ids=KIND_NAMES)
@settings(max_examples=25, deadline=None)
@given(data=st.data())
def test_each_kind_round_trips_over_random_values(type_xml, data):
    definition = load_once(type_xml)
    argument = definition.commands["C"].arguments["a"]
    value = data.draw(values_of(argument.type))
    assert same(definition.decode_command(definition.encode_command("C", a=value)), ("C", {"a": value}))



def load_once(type_xml):
    if type_xml not in _LOADED:
        _LOADED[type_xml] = bitloom_xtce.load(one_argument(type_xml), strict=True)
    return _LOADED[type_xml]


# -- the command line ------------------------------------------------------------------------------

@pytest.mark.parametrize("argv, status, out", [
    (["SET_MODE", "mode=SCIENCE"], 0, "10c8c000000301201901\n"),
    (["SET_MODE", "mode=2"], 0, "10c8c000000301201901\n"),  # an enumeration's value for its label
    (["SET_MODE", "mode=7"], 2, "error: meta command SET_MODE: mode: 7 is not one of its values, nor a label"),
    (["HEATER", "heater=0x2", "on=true", "setpoint=-10", "--sequence-count", "5"], 0, "10c8c005000302"),
    (["POINT", 'target={"x": -1, "y": 2}', "weights=[1,2,3]"], 0, "04ffff0002010203"),
    (["UPLOAD", "file=a", "data=0a0b", "at=2020-01-01T00:00:10Z"], 0, "0000000a3fc00000610002" + "0a0b"),
    (["UPLOAD", "file=a", "data=", "at=2020-01-01T00:00:10"], 0, "0000000a3fc00000610000\n"),
    (["HEATER", "heater=9", "on=1"], 2, "error: meta command HEATER: argument 'heater': 9 is outside its valid range"),
    (["HEATER", "heater=2"], 2, "error: meta command 'HEATER': no value for argument 'on'"),
    (["HEATER", "heater=two"], 2, "error: argument heater: 'two' is not an integer"),
    (["HEATER", "heater"], 2, "error: 'heater': give arguments as NAME=VALUE"),
    (["HEATER", "oops=1"], 2, "error: meta command HEATER has no argument 'oops'"),
    (["HEATER_1_ON", "on=false"], 2, "error: argument 'on' of HEATER_1_ON is fixed to True"),
    (["TC"], 2, "error: meta command TC is abstract: name one that inherits from it (NOOP, SET_MODE"),
    (["NOPE"], 2, "error: definition tests/data/xtce/commands.xml has no meta command named 'NOPE'"),
    (["TABLE", "rows=[1, -2, 3]", "--sequence-count", "0"], 0, "10c8c000000a05030001fffe00030024a0\n"),
    (["TABLE", 'rows=[1, "x"]'], 2, "error: argument rows: 'x' is not an integer"),
    (["TABLE", "rows=[1"], 2, "error: argument rows: '[1' is not a JSON list of its occurrences"),
    (["TABLE", "rows=[]", "gain=2"], 2, "error: meta command 'TABLE': argument 'gain' is given, but its entry is left"),
])
def test_command_line(capsys, argv, status, out):
    assert main(["command", COMMANDS, *argv]) == status
    captured = capsys.readouterr()
    if status == 0:
        assert out in captured.out and captured.err == "" and captured.out.count("\n") == 1
    else:
        assert captured.err.startswith(out) and captured.err.count("\n") == 1 and captured.out == ""


def test_describe_lists_the_meta_commands(capsys):
    assert main(["describe", COMMANDS]) == 0
    out = capsys.readouterr().out
    assert "\n8 meta commands:\n\nTC (abstract)\n  - opcode  integer  unsigned, 8 bits\n" \
           "    NOOP with opcode = 0\n" in out
    assert "        HEATER_1_ON with heater = 1, on = True\n" in out
    assert "  - heater    integer  unsigned, 3 bits         valid [1.0, 6.0]\n" in out


def test_command_line_definition_without_commands(capsys):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert main(["command", "tests/data/xtce/housekeeping.xml", "X"]) == 2
    assert "has no meta command named 'X' (it has none)" in capsys.readouterr().err


# -- layouts that depend on the arguments' values -------------------------------------------------

SHAPED_TYPES = (
    f'<IntegerArgumentType name="U">{U8}</IntegerArgumentType>'
    f'<EnumeratedArgumentType name="M">{U8}<EnumerationList><Enumeration value="0" label="A"/>'
    '<Enumeration value="1" label="B"/></EnumerationList></EnumeratedArgumentType>'
    '<ArrayArgumentType name="ARR" arrayTypeRef="U"><DimensionList><Dimension><StartingIndex><FixedValue>0'
    '</FixedValue></StartingIndex><EndingIndex><DynamicValue><ArgumentInstanceRef argumentRef="len"/>'
    '<LinearAdjustment intercept="-1"/></DynamicValue></EndingIndex></Dimension></DimensionList></ArrayArgumentType>'
    '<StringArgumentType name="S"><StringDataEncoding><Variable maxSizeInBits="128"><DynamicValue>'
    '<ArgumentInstanceRef argumentRef="slen"/><LinearAdjustment slope="8"/></DynamicValue></Variable>'
    '</StringDataEncoding></StringArgumentType>'
    '<StringArgumentType name="Z"><StringDataEncoding><Variable maxSizeInBits="64"><TerminationChar>00'
    '</TerminationChar></Variable></StringDataEncoding></StringArgumentType>'
    '<AggregateArgumentType name="P"><MemberList><Member name="k" typeRef="U"/><Member name="z" typeRef="Z"/>'
    '</MemberList></AggregateArgumentType>')
SHAPED_ARGUMENTS = "".join(f'<Argument name="{n}" argumentTypeRef="{t}"/>' for n, t in [
    ("n", "U"), ("v", "U"), ("mode", "M"), ("extra", "U"), ("len", "U"), ("arr", "ARR"), ("slen", "U"), ("s", "S"),
    ("pairs", "P")])
SHAPED_ENTRIES = (
    '<ArgumentRefEntry argumentRef="n"/><ArgumentRefEntry argumentRef="v"><RepeatEntry><Count><DynamicValue>'
    '<ArgumentInstanceRef argumentRef="n"/></DynamicValue></Count></RepeatEntry></ArgumentRefEntry>'
    '<ArgumentRefEntry argumentRef="mode"/><ArgumentRefEntry argumentRef="extra"><IncludeCondition><Comparison '
    'value="B"><ArgumentInstanceRef argumentRef="mode"/></Comparison></IncludeCondition></ArgumentRefEntry>'
    '<ArgumentRefEntry argumentRef="len"/><ArgumentRefEntry argumentRef="arr"/><ArgumentRefEntry argumentRef="slen"/>'
    '<ArgumentRefEntry argumentRef="s"/><ArgumentRefEntry argumentRef="pairs"><RepeatEntry><Count><FixedValue>2'
    '</FixedValue></Count><Offset><FixedValue>8</FixedValue></Offset></RepeatEntry></ArgumentRefEntry>')
PAIRS = [{"k": 1, "z": "a"}, {"k": 2, "z": ""}]


@pytest.fixture(scope="module")
def shaped():
    return bitloom_xtce.load(command_document(SHAPED_TYPES, SHAPED_ARGUMENTS, SHAPED_ENTRIES), strict=True)


@pytest.mark.parametrize("arguments, packet", [
    # counts and sizes come from the data; the condition holds; 8 bits between the repeats
    ({"v": [1, 2, 3], "mode": "B", "extra": 9, "arr": [7, 8], "s": "hi"},
     "03010203" "0109" "020708" "026869" "016100" "00" "0200"),
    ({"v": [], "mode": "A", "arr": [], "s": "", "n": 0, "len": 0},  # left out; counts given that agree
     "00" "00" "00" "00" "016100" "00" "0200"),
])
def test_repeats_conditions_and_sizes_from_arguments(shaped, arguments, packet):
    made = shaped.encode_command("C", pairs=PAIRS, **arguments)
    assert made.hex() == packet
    name, decoded = shaped.decode_command(made)
    expected = {"n": len(arguments["v"]), "len": len(arguments["arr"]), "slen": len(arguments["s"]), **arguments,
                "pairs": PAIRS}
    assert name == "C" and decoded.keys() == expected.keys()
    for key, value in expected.items():
        assert list(decoded[key]) == list(value) if key in ("v", "arr", "pairs") else decoded[key] == value, key


@pytest.mark.parametrize("arguments, message", [
    ({"v": [1, 2], "n": 3}, "v: 2 occurrences given, but 'n' (3) makes it 3"),
    ({"arr": [1], "len": 2}, "arr: 1 elements in dimension 1, but 'len' (2) makes it 1"),
    ({"mode": "A", "extra": 1}, "argument 'extra' is given, but its entry is left out of the packet (mode == 'B'"),
    ({"mode": "B"}, "no value for argument 'extra'"),
    ({"s": "abc", "slen": 2}, "s: 'abc' is 3 bytes in UTF-8; its field is 2 bytes"),
    ({"arr": [[1], [2]]}, "arr[0]: [1] is not an integer"),
    ({"pairs": PAIRS[:1]}, "pairs: 1 occurrences given, its entry repeats 2 times"),
    ({"pairs": [{"k": 1}, {"k": 2, "z": ""}]}, "no value for 'pairs[0].z'"),
])
def test_shaped_refusals(shaped, arguments, message):
    given = {"v": [], "mode": "A", "arr": [], "s": "", "pairs": PAIRS, **arguments}
    with pytest.raises(ValueError) as caught:
        shaped.encode_command("C", given)
    assert message in str(caught.value)


@settings(max_examples=40, deadline=None)
@given(v=st.lists(st.integers(0, 255), max_size=5), arr=st.lists(st.integers(0, 255), max_size=5),
       extra=st.none() | st.integers(0, 255), s=st.text("abc", max_size=16),
       z=st.lists(st.text("xyz", max_size=7), min_size=2, max_size=2))
def test_shaped_round_trip(shaped, v, arr, extra, s, z):
    pairs = [{"k": i, "z": t} for i, t in enumerate(z)]
    arguments = dict(v=v, arr=arr, s=s, pairs=pairs, mode="A" if extra is None else "B")
    if extra is not None:
        arguments["extra"] = extra
    name, decoded = shaped.decode_command(shaped.encode_command("C", arguments))
    assert [int(i) for i in decoded["v"]] == v and [int(i) for i in decoded["arr"]] == arr
    assert decoded["s"] == s and decoded["pairs"] == pairs and decoded.get("extra") == extra


def test_a_shaped_command_with_the_ccsds_header_and_a_crc(spacecraft):
    packet = spacecraft.encode_command("TABLE", rows=[1, -2, 3], sequence_count=0)
    assert packet.hex(" ") == "10 c8 c0 00 00 0a 05 03 00 01 ff fe 00 03 00 24 a0"  # the count, 3, set from the rows
    name, arguments = spacecraft.decode_command(packet)
    assert name == "TABLE" and list(arguments["rows"]) == [1, -2, 3] and "gain" not in arguments
    scaled = spacecraft.encode_command("TABLE", rows=[], scaled=True, gain=2.5)
    assert spacecraft.decode_command(scaled)[1]["gain"] == 2.5
    with pytest.raises(ValueError, match="the packet .* matches no meta command: TABLE: .*TC_CRC"):
        spacecraft.decode_command(packet[:-1] + b"\x00")


# -- command blocks, and what never changes a packet ------------------------------------------------

def test_a_command_block_gives_its_steps_packets_in_order(spacecraft):
    block = spacecraft.command_blocks["WARM_UP"]
    assert [n for n, _ in block.steps] == ["SET_MODE", "HEATER", "NOOP"]
    packets = spacecraft.encode_command("WARM_UP", sequence_count=16383)
    assert [spacecraft.decode_command(p) for p in packets] == [
        ("SET_MODE", {"mode": "STANDBY"}), ("HEATER", {"heater": 2, "on": True, "setpoint": 25.0}), ("NOOP", {})]
    assert [spacecraft.decode(p)["SEQ_COUNT"] for p in packets] == [16383, 0, 1]  # counts in turn, wrapping
    with pytest.raises(ValueError, match="command block 'WARM_UP' takes no arguments"):
        spacecraft.encode_command("WARM_UP", mode="SAFE")


def test_command_block_on_the_command_line(capsys):
    assert main(["command", COMMANDS, "WARM_UP", "--sequence-count", "1"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 3 and lines[2] == "10c8c003000000"


def test_significance_verifiers_and_their_inheritance(spacecraft):
    heater, narrow = spacecraft.commands["HEATER"], spacecraft.commands["HEATER_1_ON"]
    assert heater.significance == bitloom_xtce.Significance("vital", "heats the optics")
    assert narrow.significance == heater.significance and narrow.verifiers == heater.verifiers
    assert heater.verifiers == (bitloom_xtce.Verifier("Accepted", "", "container: Status", (None, "PT5S",
                                                                                          "timeLastVerifierPassed")),
                                bitloom_xtce.Verifier("Complete", "", "STATUS == 0", ("PT1S", "PT30S", "commandRelease")))
    assert spacecraft.commands["NOOP"].significance is None and spacecraft.commands["NOOP"].verifiers == ()
    text = command_document(GOOD_TYPE, GOOD_ARGUMENT, GOOD_ENTRY, more=x(
        '<MetaCommand name="E"><BaseMetaCommand metaCommandRef="C"/><ContextSignificanceList><ContextSignificance>'
        '<ContextMatch><Comparison parameterRef="M" value="2"/></ContextMatch><Significance consequenceLevel="critical" '
        'reasonForWarning="in orbit"/></ContextSignificance></ContextSignificanceList><TransmissionConstraintList>'
        '<TransmissionConstraint timeOut="PT2S" suspendable="true"><BooleanExpression><ORedConditions><Condition>'
        '<ParameterInstanceRef parameterRef="M"/><ComparisonOperator>!=</ComparisonOperator><Value>3</Value>'
        '</Condition><Condition><ParameterInstanceRef parameterRef="N"/><ComparisonOperator>==</ComparisonOperator>'
        '<ParameterInstanceRef parameterRef="M"/></Condition></ORedConditions></BooleanExpression>'
        '</TransmissionConstraint></TransmissionConstraintList><Interlock verificationToWaitFor="queued" '
        'verificationProgressPercentage="50"/><VerifierSet><CompleteVerifier name="done"><ComparisonList>'
        '<Comparison parameterRef="M" value="1"/><Comparison parameterRef="N" value="2"/></ComparisonList>'
        '</CompleteVerifier></VerifierSet></MetaCommand>'))
    definition = bitloom_xtce.load(text, strict=True)
    e = definition.commands["E"]
    assert e.constraints == (bitloom_xtce.Constraint("(M != 3 or N == M)", "PT2S", True),)
    assert e.interlock == bitloom_xtce.Interlock(None, "queued", 50.0, False)
    assert e.context_significance == (("M == 2", bitloom_xtce.Significance("critical", "in orbit")),)
    assert e.verifiers == (bitloom_xtce.Verifier("Complete", "done", "M == 1 and N == 2"),)
    assert definition.encode_command("E", a=5) == definition.encode_command("C", a=5)  # never the packet


def test_defaults_give_way_to_the_data_and_ranges_hold_for_each_occurrence():
    text = command_document(SHAPED_TYPES + f'<IntegerArgumentType name="R">{U8}<ValidRangeSet><ValidRange '
                            'minInclusive="0" maxInclusive="9"/></ValidRangeSet></IntegerArgumentType>',
                            SHAPED_ARGUMENTS.replace('name="n" argumentTypeRef="U"', 'name="n" argumentTypeRef="R" '
                                                     'initialValue="5"').replace(
                                'name="extra" argumentTypeRef="U"', 'name="extra" argumentTypeRef="U" initialValue="4"'
                            ).replace('name="v" argumentTypeRef="U"', 'name="v" argumentTypeRef="R"'),
                            SHAPED_ENTRIES)
    definition = bitloom_xtce.load(text, strict=True)
    given = {"mode": "A", "arr": [], "s": "", "pairs": PAIRS}
    packet = definition.encode_command("C", v=[1, 2], **given)  # n's default, 5, gives way; extra's is left out
    assert packet.hex().startswith("020102" "00" "00")
    with pytest.raises(ValueError, match=r"argument 'v': 10 is outside its valid range \[0.0, 9.0\]"):
        definition.encode_command("C", v=[1, 10], **given)
    with pytest.raises(ValueError, match=r"argument 'n': 10 is outside its valid range"):  # a count from the data too
        definition.encode_command("C", v=[0] * 10, **given)


def test_describe_lists_command_blocks(capsys):
    assert main(["describe", COMMANDS]) == 0
    assert "\n1 command block:\n\nWARM_UP\n  - SET_MODE with mode = 'STANDBY'\n  - HEATER with heater = 2, on = True, " \
           "setpoint = 25.0\n  - NOOP\n" in capsys.readouterr().out


CONTAINED = x(
    '<CommandContainerSet><CommandContainer name="Extra"><EntryList><ArgumentRefEntry argumentRef="e"/></EntryList>'
    '</CommandContainer></CommandContainerSet>')


# a byte (U) and a text of up to 8 bytes ended by a NUL (Z)
U_AND_Z = (f'<IntegerArgumentType name="U">{U8}</IntegerArgumentType><StringArgumentType name="Z"><StringDataEncoding>'
           '<Variable maxSizeInBits="64"><TerminationChar>00</TerminationChar></Variable></StringDataEncoding>'
           '</StringArgumentType>')


@pytest.mark.parametrize("flag, extra, words, packet", [
    (1, 7, ["ab", "c"], "01" "07" "616200" "6300"),
    (0, None, ["ab", "c"], "00" "616200" "6300"),
])
def test_conditional_container_and_an_array_of_text(flag, extra, words, packet):
    types = (U_AND_Z + '<ArrayArgumentType name="W" arrayTypeRef="Z"><DimensionList><Dimension><StartingIndex>'
             '<FixedValue>0</FixedValue></StartingIndex><EndingIndex><FixedValue>1</FixedValue></EndingIndex></Dimension>'
             '</DimensionList></ArrayArgumentType>')
    arguments = ('<Argument name="f" argumentTypeRef="U"/><Argument name="e" argumentTypeRef="U"/>'
                 '<Argument name="w" argumentTypeRef="W"/>')
    entries = ('<ArgumentRefEntry argumentRef="f"/><ContainerRefEntry containerRef="Extra"><IncludeCondition>'
               '<Comparison parameterRef="f" value="1"/></IncludeCondition></ContainerRefEntry>'
               '<ArgumentRefEntry argumentRef="w"/>')
    text = command_document(types, arguments, entries).replace(b"<xtce:MetaCommandSet>",
                                                               CONTAINED.encode() + b"<xtce:MetaCommandSet>")
    definition = bitloom_xtce.load(text, strict=True)
    given = {"f": flag, "w": words, **({"e": extra} if extra is not None else {})}
    made = definition.encode_command("C", given)
    assert made.hex() == packet
    name, decoded = definition.decode_command(made)
    assert decoded.pop("w").tolist() == words and decoded == {k: v for k, v in given.items() if k != "w"}


def test_threads_share_the_layouts_of_shaped_commands():
    definition = bitloom_xtce.load(COMMANDS)
    from concurrent.futures import ThreadPoolExecutor
    rows = [list(range(i % 7)) for i in range(400)]
    with ThreadPoolExecutor(8) as pool:
        packets = list(pool.map(lambda r: definition.encode_command("TABLE", rows=r), rows))
    assert [definition.decode_command(p)[1]["rows"].tolist() for p in packets] == rows


PAIR = x('<CommandContainerSet><CommandContainer name="Pair"><EntryList><ArgumentRefEntry argumentRef="a"/>'
         '<ArgumentRefEntry argumentRef="z"><IncludeCondition><Comparison parameterRef="a" value="1"/></IncludeCondition>'
         '</ArgumentRefEntry></EntryList></CommandContainer></CommandContainerSet>')


@pytest.mark.parametrize("a, z, packet", [
    ([1, 0, 1], ["p", "q"], "03" "017000" "00" "017100"),  # z only where a is 1
    ([], [], "00"),
    ([0, 1], ["p", "q"], None),  # one z too many
])
def test_a_repeated_container(a, z, packet):
    types = U_AND_Z
    arguments = ('<Argument name="n" argumentTypeRef="U"/><Argument name="a" argumentTypeRef="U"/>'
                 '<Argument name="z" argumentTypeRef="Z"/>')
    entries = ('<ArgumentRefEntry argumentRef="n"/><ContainerRefEntry containerRef="Pair"><RepeatEntry><Count>'
               '<DynamicValue><ArgumentInstanceRef argumentRef="n"/></DynamicValue></Count></RepeatEntry>'
               '</ContainerRefEntry>')
    text = command_document(types, arguments, entries).replace(b"<xtce:MetaCommandSet>",
                                                               PAIR.encode() + b"<xtce:MetaCommandSet>")
    definition = bitloom_xtce.load(text, strict=True)
    if packet is None:
        with pytest.raises(ValueError, match=r"z: 2 occurrences given, the packet places 1 \('Pair' repeats 2 times\)"):
            definition.encode_command("C", a=a, z=z)
        return
    made = definition.encode_command("C", a=a, z=z)
    assert made.hex() == packet
    name, decoded = definition.decode_command(made)
    assert decoded["n"] == len(a) and list(decoded["a"]) == a and list(decoded["z"]) == z


def encoded(definition, arguments, packet):
    """The command C's packet from `arguments`, checked against `packet` (hex) and decoded back:
    (the packet, its arguments decoded); None when `packet` is instead part of the ValueError
    that encoding raises."""
    if not re.fullmatch("[0-9a-f]+", packet):
        with pytest.raises(ValueError, match=re.escape(packet)):
            definition.encode_command("C", arguments)
        return None
    made = definition.encode_command("C", arguments)
    assert made.hex() == packet
    name, decoded = definition.decode_command(made)
    assert name == "C"
    return made, decoded


def with_containers(text, containers):
    """A command document with a CommandContainerSet."""
    return text.replace(b"<xtce:MetaCommandSet>", containers.encode() + b"<xtce:MetaCommandSet>")


SYNC_TM = x(f'<TelemetryMetaData><ParameterTypeSet><IntegerParameterType name="P8">{U8}</IntegerParameterType>'
            '</ParameterTypeSet><ParameterSet><Parameter name="SYNC" parameterTypeRef="P8" initialValue="170"/>'
            '<Parameter name="PAD" parameterTypeRef="P8" initialValue="0"/></ParameterSet><ContainerSet>'
            '<SequenceContainer name="Sync"><EntryList><ParameterRefEntry parameterRef="SYNC"/><ParameterRefEntry '
            'parameterRef="PAD"/></EntryList></SequenceContainer></ContainerSet></TelemetryMetaData>\n')
COUNT_N = '<Count><DynamicValue><ArgumentInstanceRef argumentRef="n"/></DynamicValue></Count>'
IF_A = '<IncludeCondition><Comparison parameterRef="a" value="1"/></IncludeCondition>'
REPEATED_ENTRIES = [  # entries after n and a; arguments given; the packet; a byte changed that no command makes
    ('<FixedValueEntry binaryValue="EB" sizeInBits="8"><RepeatEntry><Count><FixedValue>3</FixedValue></Count>'
     '</RepeatEntry></FixedValueEntry>', {"n": 0, "a": 0}, "0000" "ebebeb", 3),
    (f'<FixedValueEntry binaryValue="EB" sizeInBits="8"><RepeatEntry>{COUNT_N}<Offset><FixedValue>4</FixedValue>'
     '</Offset></RepeatEntry></FixedValueEntry>', {"n": 2, "a": 0}, "0200" "eb0eb0", 4),
    (f'<FixedValueEntry binaryValue="5" sizeInBits="4">{IF_A}</FixedValueEntry><FixedValueEntry binaryValue="F" '
     'sizeInBits="4"/>', {"n": 0, "a": 1}, "0001" "5f", 2),
    (f'<FixedValueEntry binaryValue="5" sizeInBits="4">{IF_A}</FixedValueEntry><FixedValueEntry binaryValue="F" '
     'sizeInBits="4"/>', {"n": 0, "a": 0}, "0000" "f0", 2),
    (f'<ContainerRefEntry containerRef="Sync"><RepeatEntry>{COUNT_N}</RepeatEntry></ContainerRefEntry>',
     {"n": 2, "a": 0}, "0200" "aa00aa00", None),  # parameters take their initial values (not checked)
    (f'<ContainerRefEntry containerRef="Sync"><RepeatEntry>{COUNT_N}</RepeatEntry></ContainerRefEntry>',
     {"n": 0, "a": 0}, "0000", None),
]


@pytest.mark.parametrize("entries, arguments, packet, changed", REPEATED_ENTRIES)
def test_repeated_and_conditional_fixed_values_and_telemetry_containers(entries, arguments, packet, changed):
    text = command_document(GOOD_TYPE, '<Argument name="n" argumentTypeRef="T"/>' + GOOD_ARGUMENT,
                            '<ArgumentRefEntry argumentRef="n"/>' + GOOD_ENTRY + entries, SYNC_TM)
    definition = bitloom_xtce.load(text, strict=True)
    made, decoded = encoded(definition, arguments, packet)
    assert decoded == arguments
    if changed is not None:  # a fixed value's byte changed: no longer the command
        broken = bytearray(made)
        broken[changed] ^= 0x10
        with pytest.raises(ValueError, match="matches no meta command"):
            definition.decode_command(bytes(broken))


ROW = x('<CommandContainerSet><CommandContainer name="Row"><EntryList><ArgumentRefEntry argumentRef="m"/>'
        '<ArgumentRefEntry argumentRef="v"><RepeatEntry><Count><DynamicValue><ArgumentInstanceRef argumentRef="m"/>'
        '</DynamicValue></Count></RepeatEntry></ArgumentRefEntry><FixedValueEntry binaryValue="E" sizeInBits="4">'
        '<RepeatEntry><Count><FixedValue>2</FixedValue></Count></RepeatEntry></FixedValueEntry></EntryList>'
        '</CommandContainer></CommandContainerSet>')


@pytest.mark.parametrize("arguments, packet", [
    ({"v": [[1, 2], [3]]}, "02" "020102ee" "0103ee"),  # each row's count from its values
    ({"v": [[], [4]], "m": [0, 1]}, "02" "00ee" "0104ee"),  # counts given that agree
    ({"v": []}, "00"),
    ({"v": [[1], [2]], "m": [1, 2]}, "v: 1 occurrences given, but 'm'"),
    ({"v": [[1, 300]]}, "argument 'v': 300 is outside its valid range"),
])
def test_a_repeat_inside_a_repeated_container(arguments, packet):
    types = (f'<IntegerArgumentType name="U">{U8}</IntegerArgumentType><IntegerArgumentType name="R">{U8}'
             '<ValidRangeSet><ValidRange minInclusive="0" maxInclusive="255"/></ValidRangeSet></IntegerArgumentType>')
    text = command_document(types, '<Argument name="n" argumentTypeRef="U"/><Argument name="m" argumentTypeRef="U"/>'
                            '<Argument name="v" argumentTypeRef="R"/>',
                            '<ArgumentRefEntry argumentRef="n"/><ContainerRefEntry containerRef="Row"><RepeatEntry>'
                            '<Count><DynamicValue><ArgumentInstanceRef argumentRef="n"/></DynamicValue></Count>'
                            '</RepeatEntry></ContainerRefEntry>')
    definition = bitloom_xtce.load(with_containers(text, ROW), strict=True)
    if (found := encoded(definition, arguments, packet)) is None:
        return
    made, decoded = found
    assert decoded["n"] == len(arguments["v"])
    assert [list(row) for row in decoded["v"]] == arguments["v"]
    assert list(decoded["m"]) == [len(row) for row in arguments["v"]]
    assert definition.encode_command("C", decoded) == made
    if "ee" in packet:  # a repeated fixed value changed in one occurrence
        broken = bytearray(made)
        broken[packet.rindex("ee") // 2] ^= 0x01
        with pytest.raises(ValueError, match="matches no meta command"):
            definition.decode_command(bytes(broken))


@pytest.mark.parametrize("value, packet", [("B", "05"), (5, "05"), (np.int64(1), "01"), (7, None), (True, None),
                                           ("5", None)])
def test_enumerated_arguments_by_label_or_value(value, packet):
    types = (f'<EnumeratedArgumentType name="T">{U8}<EnumerationList><Enumeration value="1" label="A"/>'
             '<Enumeration value="5" label="B"/></EnumerationList></EnumeratedArgumentType>')
    definition = bitloom_xtce.load(one_argument(types), strict=True)
    if packet is None:
        with pytest.raises(ValueError, match=r"^a: .* is not one of its (values, nor a label|labels) \('A', 'B'\)"):
            definition.encode_command("C", a=value)
        return
    made = definition.encode_command("C", a=value)
    assert made.hex() == packet and definition.decode_command(made) == ("C", {"a": "B" if packet == "05" else "A"})
    narrow = bitloom_xtce.load(one_argument(types).replace(  # an assignment or default by value: its label
        b"</xtce:MetaCommandSet>", x('<MetaCommand name="D"><BaseMetaCommand metaCommandRef="C"><ArgumentAssignmentList>'
                                     '<ArgumentAssignment argumentName="a" argumentValue="5"/></ArgumentAssignmentList>'
                                     '</BaseMetaCommand></MetaCommand></MetaCommandSet>').encode()), strict=True)
    assert narrow.commands["D"].assignments == {"a": "B"} and narrow.encode_command("D").hex() == "05"


MEMBER_TYPES = (f'<IntegerArgumentType name="U">{U8}</IntegerArgumentType><AggregateArgumentType name="Q"><MemberList>'
                '<Member name="r" typeRef="U"/><Member name="s" typeRef="U"/></MemberList></AggregateArgumentType>'
                '<AggregateArgumentType name="P"><MemberList><Member name="k" typeRef="U"/><Member name="q" typeRef="Q"/>'
                '</MemberList></AggregateArgumentType>')
MEMBER_ENTRIES = ('<ArgumentRefEntry argumentRef="p.q.s"/><ArgumentRefEntry argumentRef="a"/><ArgumentRefEntry '
                  'argumentRef="p.k"/>')


@pytest.mark.parametrize("entries, arguments, result", [
    (MEMBER_ENTRIES, {"p": {"k": 1, "q": {"r": 2, "s": 3}}, "a": 4}, "030401"),  # r is not placed
    (MEMBER_ENTRIES + '<ArgumentRefEntry argumentRef="v"><RepeatEntry><Count><FixedValue>2</FixedValue></Count>'
     '</RepeatEntry></ArgumentRefEntry>', {"p": {"k": 1, "q": {"s": 3}}, "a": 4, "v": [5, 6]}, "0304010506"),
    (MEMBER_ENTRIES, {"p": {"k": 1, "q": {"r": 2}}, "a": 4}, "p.q: no value for its member 's'"),
    (MEMBER_ENTRIES, {"p": {"k": 1, "q": 7}, "a": 4}, "p.q: 7 is not a mapping"),
    (MEMBER_ENTRIES, {"a": 4}, "no value for argument 'p'"),
    (MEMBER_ENTRIES.replace("p.k", "p.x"), {}, "argumentRef 'p.x': meta command 'C' has no such argument"),
    (MEMBER_ENTRIES + '<ArgumentRefEntry argumentRef="p"/>', {}, "argument 'p' is placed whole and its member"),
])
def test_arguments_placed_member_by_member(entries, arguments, result):
    text = command_document(MEMBER_TYPES, '<Argument name="p" argumentTypeRef="P"/><Argument name="a" '
                            'argumentTypeRef="U"/><Argument name="v" argumentTypeRef="U"/>', entries)
    if "placed whole" in result or "no such argument" in result:
        with pytest.raises(XtceError, match=re.escape(result)):
            bitloom_xtce.load(text, strict=True)
        return
    if (found := encoded(bitloom_xtce.load(text, strict=True), arguments, result)) is not None:
        expected = dict(arguments, p={"k": 1, "q": {"s": 3}})  # the members placed
        assert same({k: list(v) if k == "v" else v for k, v in found[1].items()}, expected)


FIXED_TEXT = ('<StringArgumentType name="T"><StringDataEncoding encoding="{charset}"><SizeInBits><Fixed><FixedValue>{bits}'
              '</FixedValue></Fixed></SizeInBits></StringDataEncoding></StringArgumentType>')


@pytest.mark.parametrize("charset, bits, text, packet", [
    ("US-ASCII", 32, "AB", "41420000"),  # padded with NULs to its field, and read back without them
    ("UTF-8", 32, "é", "c3a90000"),
    ("UTF-8", 32, "", "00000000"),
    ("UTF-16BE", 64, "A", "0041000000000000"),
    ("US-ASCII", 32, "ABCD", "41424344"),
    ("US-ASCII", 32, "ABCDE", "is 5 bytes in US-ASCII; its field is 4 bytes"),
])
def test_text_arguments_of_fixed_size_are_padded(charset, bits, text, packet):
    definition = bitloom_xtce.load(one_argument(FIXED_TEXT.format(charset=charset, bits=bits)), strict=True)
    if (found := encoded(definition, {"a": text}, packet)) is not None:
        assert found[1] == {"a": text}


@pytest.mark.parametrize("initial, given, packet", [
    (('3', None), {"p": {"j": 1}}, "0301"),  # a member left out takes its initialValue
    (('3', None), {"p": {"k": 4, "j": 1}}, "0401"),
    (('3', '2'), {}, "0302"),  # every member has one: so has the argument
    (('3', None), {}, "no value for argument 'p'"),
    (('3', None), {"p": {"k": 4}}, "p: no value for its member 'j'"),
])
def test_initial_values_of_aggregate_members(initial, given, packet):
    k, j = (f' initialValue="{v}"' if v is not None else "" for v in initial)
    types = (f'<IntegerArgumentType name="U">{U8}</IntegerArgumentType><AggregateArgumentType name="P"><MemberList>'
             f'<Member name="k" typeRef="U"{k}/><Member name="j" typeRef="U"{j}/></MemberList></AggregateArgumentType>')
    definition = bitloom_xtce.load(command_document(types, '<Argument name="p" argumentTypeRef="P"/>',
                                                    '<ArgumentRefEntry argumentRef="p"/>'), strict=True)
    if (found := encoded(definition, given, packet)) is not None:
        assert found[1] == {"p": {"k": int(packet[:2], 16), "j": int(packet[2:], 16)}}


CELLS = x('<CommandContainerSet><CommandContainer name="Cell"><EntryList><ArgumentRefEntry argumentRef="v"/>'
          '<ArgumentRefEntry argumentRef="w"><IncludeCondition><Comparison parameterRef="v" value="0"/>'
          '</IncludeCondition></ArgumentRefEntry></EntryList></CommandContainer>'
          '<CommandContainer name="Row"><EntryList><ArgumentRefEntry argumentRef="m"/><ContainerRefEntry '
          'containerRef="Cell"><RepeatEntry><Count><DynamicValue><ArgumentInstanceRef argumentRef="m"/></DynamicValue>'
          '</Count></RepeatEntry></ContainerRefEntry></EntryList></CommandContainer></CommandContainerSet>')


def cells_document():
    return with_containers(command_document(
        GOOD_TYPE, "".join(f'<Argument name="{n}" argumentTypeRef="T"/>' for n in "nmvw"),
        '<ArgumentRefEntry argumentRef="n"/><ContainerRefEntry containerRef="Row"><RepeatEntry><Count><DynamicValue>'
        '<ArgumentInstanceRef argumentRef="n"/></DynamicValue></Count></RepeatEntry></ContainerRefEntry>'), CELLS)


@pytest.mark.parametrize("arguments, packet", [
    ({"v": [[1, 3], [5]], "w": [[], []]}, "02" "02" "01" "03" "01" "05"),  # each row's count from its cells
    ({"v": [[0, 3], [0]], "w": [[7], [8]], "m": [2, 1]}, "02" "02" "0007" "03" "01" "0008"),  # w where v is 0
    ({"v": [], "w": []}, "00"),
    ({"v": [[1], [2]], "w": [[], []], "m": [2, 1]}, "v: 1 occurrences given, but 'm'"),
    ({"v": [[1, 2]], "w": [[9], []]}, "w: 1 occurrences given, the packet places 0 ('Cell' repeats 2 times)"),
])
def test_a_repeated_container_inside_a_repeated_container(arguments, packet):
    definition = bitloom_xtce.load(cells_document(), strict=True)
    if (found := encoded(definition, arguments, packet)) is None:
        return
    made, decoded = found
    assert decoded["n"] == len(arguments["v"])
    assert [list(row) for row in decoded["v"]] == arguments["v"] and list(decoded["m"]) == [len(r) for r in arguments["v"]]
    assert [list(row) for row in decoded.get("w", [[]] * len(arguments["v"]))] == arguments["w"]
    assert definition.encode_command("C", decoded) == made


def test_nested_occurrences_on_the_command_line(tmp_path, capsys):
    (tmp_path / "c.xml").write_bytes(cells_document())
    # (a definition without a CCSDS header: the command line asked it for sequence count 0 and failed)
    assert main(["command", str(tmp_path / "c.xml"), "C", "v=[[0, 3], [0]]", "w=[[7], [8]]"]) == 0
    assert capsys.readouterr().out == "0202000703010008\n"
    assert main(["command", str(tmp_path / "c.xml"), "C", 'v=[[1, "x"]]', "w=[[]]"]) == 2
    assert capsys.readouterr().err == "error: argument v: 'x' is not an integer\n"


@pytest.mark.parametrize("reference, bits, packet", [
    ("previousEntry", 4, "010020"),  # 4 bits after the previous entry's end
    ("previousEntry", 0, "0102"),
    ("containerStart", 16, "010002"),
])
def test_locations_of_command_entries(reference, bits, packet):
    text = command_document(GOOD_TYPE, GOOD_ARGUMENT + '<Argument name="b" argumentTypeRef="T"/>',
                            GOOD_ENTRY + f'<ArgumentRefEntry argumentRef="b"><LocationInContainerInBits referenceLocation='
                            f'"{reference}"><FixedValue>{bits}</FixedValue></LocationInContainerInBits></ArgumentRefEntry>')
    definition = bitloom_xtce.load(text, strict=True)
    made = definition.encode_command("C", a=1, b=2)
    assert made.hex() == packet and definition.decode_command(made) == ("C", {"a": 1, "b": 2})
