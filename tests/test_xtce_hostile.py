"""bitloom_xtce against hostile and unusual inputs: each one gets a ValueError (XtceError,
PacketError) or a TypeError with a message, never another exception type, a hang or a huge
allocation. fuzz/xtce_mutate.py runs the long sweep; a short one runs here, and the cases it
found are kept as tables."""
import datetime
import gzip
import importlib.util
import pathlib
import random
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

import bitloom_xtce
from bitloom_xtce import XtceError

DATA = pathlib.Path(__file__).parent / "data" / "xtce"
_spec = importlib.util.spec_from_file_location("xtce_mutate", pathlib.Path(__file__).parents[1] / "fuzz" / "xtce_mutate.py")
xtce_mutate = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(xtce_mutate)


def quiet_load(source, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return bitloom_xtce.load(source, **options)


@pytest.fixture(scope="module")
def commands():
    return quiet_load(DATA / "commands.xml")


# -- telecommand time arguments ---------------------------------------------------------------------

@pytest.mark.parametrize("value, message", [
    (2 ** 70, "is not a time|beyond the times"),
    (np.datetime64("9999-01-01", "D"), "beyond the times"),
    ("1600-01-01", "beyond the times"),  # numpy wraps such text silently at nanoseconds
    ("2300-01-01", "beyond the times"),
    ("9999-01-01T00:00:00.123456789", "beyond the times"),  # wraps even at its own unit
    (None, "NaT"),
    (np.datetime64("NaT", "ns"), "NaT"),
])
def test_time_argument_out_of_reach(commands, value, message):
    with pytest.raises(ValueError, match=message):
        commands.encode_command("UPLOAD", at=value, file="a", size=1, data=b"x", gain=1.0)


def test_time_argument_forms_agree(commands):
    forms = ["2021-01-01T00:00:00", datetime.datetime(2021, 1, 1), np.datetime64("2021-01-01", "D")]
    packets = {commands.encode_command("UPLOAD", at=v, file="a", size=1, data=b"x", gain=1.0,
                                           sequence_count=0) for v in forms}
    assert len(packets) == 1


# -- the sweep, briefly ------------------------------------------------------------------------------

SWEPT = [DATA / n for n in ("commands.xml", "housekeeping.xml", "jpss1_geolocation_xtce_v1.xml",
                            "test_xtce_4byte.xml", "udp_packet.xml")]


@settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.sampled_from(SWEPT), st.integers(0, 2 ** 32))
@example(DATA / "commands.xml", 237)  # a repeated header field set by a restriction: a KeyError once
def test_mutated_documents(path, seed):
    findings = xtce_mutate.run_case(path.name, path.read_bytes(), [], seed, timeout=30)
    assert findings == []


# -- arguments that are not what they should be ------------------------------------------------------

@pytest.fixture(scope="module")
def jpss():
    return quiet_load(DATA / "jpss1_geolocation_xtce_v1.xml")


@pytest.mark.parametrize("call", ["decode", "decode_file", "decode_checked"])
@pytest.mark.parametrize("data", [10 ** 12, 5, None, "text", 1.5])
def test_packets_that_are_not_bytes(jpss, call, data):
    # an integer once became that many zero bytes: decoded as a packet, or a MemoryError
    if call == "decode_file" and isinstance(data, str):  # a path there
        with pytest.raises(FileNotFoundError):
            jpss.decode_file(data)
        return
    with pytest.raises(TypeError, match="must be bytes"):
        getattr(jpss, call)(data)


def test_packets_of_any_buffer(jpss):
    packet = bytes(range(71))
    assert jpss.decode(np.frombuffer(packet, np.uint8)).keys() == jpss.decode(packet).keys()


@pytest.mark.parametrize("source", [None, 5, {}, [b'<SpaceSystem name="a"/>', None]])
def test_load_of_what_is_no_document(source):
    with pytest.raises(TypeError, match="a definition is a path, bytes or an open file"):
        bitloom_xtce.load(source)


# -- entries that depend on what is not decoded yet -------------------------------------------------

from test_xtce_structures import condition, document, dynamic, ref, repeat  # noqa: E402

LATER = [
    # an entry's condition, repeat count or offset testing itself or a later parameter once made
    # every packet fail with "KeyError"
    ("condition on itself", ref("a", condition("a", 1)), "depends on 'a'"),
    ("condition on a later one", ref("a", condition("b", 1)) + ref("b"), "depends on 'b'"),
    ("count from a later one", ref("a", repeat(dynamic("b"))) + ref("b"), "depends on 'b'"),
    ("offset from itself", ref("a", repeat("<xtce:FixedValue>2</xtce:FixedValue>", dynamic("a"))) + ref("b"), "depends on 'a'"),
]


@pytest.mark.parametrize("entries, message", [c[1:] for c in LATER], ids=[c[0] for c in LATER])
def test_entry_depending_on_what_follows(entries, message):
    with pytest.raises(XtceError, match=message):
        quiet_load(document("", {"a": "U8", "b": "U8"}, entries))


INCLUDED = ('<xtce:SequenceContainer name="C"><xtce:EntryList>' + ref("a", condition("b", 1))
            + "</xtce:EntryList></xtce:SequenceContainer>")


@pytest.mark.parametrize("entries, containers", [
    (ref("b") + ref("a", condition("b", 1)), ""),
    # in an included container, on a parameter of the container that includes it
    (ref("b") + '<xtce:ContainerRefEntry containerRef="C"/>', INCLUDED),
])
def test_entry_depending_on_what_precedes(entries, containers):
    definition = quiet_load(document("", {"a": "U8", "b": "U8"}, entries, containers), root="P")
    assert definition.decode(b"\x01\x07") == {"b": 1, "a": 7}
    assert definition.decode(b"\x02\x07") == {"b": 2}


@pytest.mark.parametrize("value", [datetime.datetime(9999, 1, 1), datetime.date(1600, 1, 1)])
def test_time_objects_out_of_reach(commands, value):
    with pytest.raises(ValueError, match="beyond the times"):
        commands.encode_command("UPLOAD", at=value, file="a", size=1, data=b"x", gain=1.0)


# -- the command line ---------------------------------------------------------------------------------

@pytest.mark.parametrize("argv, message", [
    (["command", DATA / "commands.xml", "UPLOAD", "at=9999-01-01", "file=a", "size=1", "data=00", "gain=1"],
     "'9999-01-01' lies beyond the times"),  # once wrapped to a time before the epoch
    (["command", DATA / "commands.xml", "UPLOAD", "at=NaT", "file=a", "size=1", "data=00", "gain=1"], "NaT"),
    (["decode", "{empty}", DATA / "udp_packet.xml", "--out", "{out}"], "has no containers"),
    (["encode", "{empty}", DATA / "udp_packet.xml", "--out", "{out}"], "has no containers"),
])
def test_command_line_one_error_line(capsys, tmp_path, argv, message):
    from bitloom_xtce._cli import main
    (tmp_path / "empty.xml").write_bytes(b'<SpaceSystem name="S"/>')
    argv = [str(a).format(empty=tmp_path / "empty.xml", out=tmp_path / "out") for a in argv]
    assert main([str(a) for a in argv]) != 0
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("error: ") and message in err


# -- restrictions on values a packet does not have ------------------------------------------------------

from test_xtce_structures import HEAD, HEADER, ccsds  # noqa: E402


@pytest.mark.parametrize("op, value", [("!=", 5), ("==", 0), ("&lt;", 5), ("&gt;=", 0), ("==", 1)])
def test_restriction_on_a_left_out_value(op, value):
    # 'a' is there only where h3 (the length) is 1; C's restriction tests it. decode raised
    # KeyError, decode_file compared its fill value (or raised TypeError for the whole file).
    child = (f'<xtce:SequenceContainer name="C"><xtce:EntryList>{ref("b")}</xtce:EntryList>'
             '<xtce:BaseContainer containerRef="P"><xtce:RestrictionCriteria>'
             f'<xtce:Comparison parameterRef="a" value="{value}" comparisonOperator="{op}"/>'
             '</xtce:RestrictionCriteria></xtce:BaseContainer></xtce:SequenceContainer>')
    definition = quiet_load(document("", {**HEADER, "a": "U8", "b": "U8"}, HEAD + ref("a", condition("h3", 1)), child))
    packets = [ccsds(b"\x01\x02"), ccsds(b"\x00\x01\x02"), ccsds(b"\x03\x02")]
    chosen = [definition.decode_with_container(p)[0] for p in packets]
    assert chosen[1] == "P"
    result = definition.decode_file(b"".join(packets))
    assert {c: len(t["h1"]) for c, t in result.items()} == {c: chosen.count(c) for c in set(chosen)}


def test_arrays_of_no_elements_to_arrow(tmp_path):
    # Arrow has no fixed-size list of size 0 (pyarrow refuses it, or dies of SIGFPE)
    pa = pytest.importorskip("pyarrow")
    definition = quiet_load(document("", {**HEADER, "a": "U8"}, HEAD + ref("a", repeat("<xtce:FixedValue>0</xtce:FixedValue>"))))
    result = definition.decode_file(ccsds(b"\x01\x02\x03") * 3)
    assert result["P"]["a"].shape == (3, 0)
    assert result.to_arrow()["P"].column("a").to_pylist() == [[], [], []]
    result.to_parquet(tmp_path)
    assert pa.parquet.read_table(tmp_path / "P.parquet").column("a").to_pylist() == [[], [], []]


# -- repeats of what takes no bits -----------------------------------------------------------------------

EMPTY = '<xtce:SequenceContainer name="E"><xtce:EntryList/></xtce:SequenceContainer>'
MANY = "<xtce:FixedValue>16777216</xtce:FixedValue>"


def nested(levels):
    return "".join(f'<xtce:SequenceContainer name="C{i}"><xtce:EntryList><xtce:ContainerRefEntry containerRef="'
                   f'{f"C{i + 1}" if i + 1 < levels else "E"}">{repeat(MANY)}</xtce:ContainerRefEntry>'
                   "</xtce:EntryList></xtce:SequenceContainer>" for i in range(levels)) + EMPTY


@pytest.mark.parametrize("types, entries, containers", [
    ("", '<xtce:ContainerRefEntry containerRef="C0"/>', nested(1)),   # 16M empty occurrences: 20 s a packet
    ("", '<xtce:ContainerRefEntry containerRef="C0"/>', nested(3)),   # 2**72 of them: no end
    ("", ref("a", repeat(MANY, "<xtce:FixedValue>-8</xtce:FixedValue>")), ""),  # each one steps back
    ('<xtce:ArrayParameterType name="R" arrayTypeRef="U8"><xtce:DimensionList><xtce:Dimension><xtce:StartingIndex>'
     "<xtce:FixedValue>0</xtce:FixedValue></xtce:StartingIndex><xtce:EndingIndex><xtce:FixedValue>-1</xtce:FixedValue>"
     "</xtce:EndingIndex></xtce:Dimension></xtce:DimensionList></xtce:ArrayParameterType>", ref("r", repeat(MANY)), ""),
])
def test_repeats_of_nothing_end(types, entries, containers):
    definition = quiet_load(document(types, {**HEADER, "a": "U8", "r": "R" if types else "U8"}, HEAD + entries,
                                     containers), root="P")
    with pytest.raises(bitloom_xtce.PacketError, match="more repeats and array elements"):
        definition.decode(ccsds(bytes(64)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert sum(n for n, _ in definition.decode_file(ccsds(bytes(64)) * 2).skipped.values()) == 2


@pytest.mark.parametrize("options, error", [
    ({"prefix_bytes": "3"}, TypeError), ({"prefix_bytes": 1.5}, TypeError), ({"prefix_bytes": -1}, ValueError),
    ({"framing": "raw"}, ValueError), ({"unmatched": "drop"}, ValueError),
])
def test_decode_file_options(jpss, options, error):
    with pytest.raises(error, match="prefix_bytes|framing|unmatched"):
        jpss.decode_file(bytes(71), **options)


# -- values an include condition left out, used by another parameter -------------------------------------

BINARY_N = ('<xtce:BinaryParameterType name="B"><xtce:BinaryDataEncoding><xtce:SizeInBits>' + dynamic("n")
            + "</xtce:SizeInBits></xtce:BinaryDataEncoding></xtce:BinaryParameterType>")
MATH_N = ('<xtce:FloatParameterType name="B"><xtce:IntegerDataEncoding sizeInBits="8"><xtce:DefaultCalibrator>'
          '<xtce:MathOperationCalibrator><xtce:ThisParameterOperand/><xtce:ParameterInstanceRefOperand parameterRef="n"/>'
          "<xtce:Operator>+</xtce:Operator></xtce:MathOperationCalibrator></xtce:DefaultCalibrator>"
          "</xtce:IntegerDataEncoding></xtce:FloatParameterType>")


@pytest.mark.parametrize("types", [BINARY_N, MATH_N], ids=["size", "calibrator"])
def test_value_left_out_used_by_another(types):
    # n is there only where h3 (the length) is 2; b uses it. decode raised KeyError.
    definition = quiet_load(document(types, {**HEADER, "n": "U8", "b": "B"}, HEAD + ref("n", condition("h3", 2)) + ref("b")))
    with pytest.raises(bitloom_xtce.PacketError, match="'n',? (which )?has no value in this packet"):
        definition.decode(ccsds(b"\x08\xaa\xbb\xcc"))
    assert definition.decode(ccsds(b"\x08\xaa\xbb"))["n"] == 8


def test_operand_left_out_gives_no_value_in_files():
    # decode_file calibrated with the fill value there (b = raw + 0) instead
    definition = quiet_load(document(MATH_N, {**HEADER, "n": "U8", "b": "B"}, HEAD + ref("n", condition("h3", 2)) + ref("b")))
    result = definition.decode_file(ccsds(b"\x08\xaa\xbb") + ccsds(b"\x08\xaa\xbb\xcc"))
    assert result["P"]["b"].tolist() == [178.0, None]


def test_size_left_out_skips_the_packet_in_files():
    # decode_file read the field with a size of 0 there instead
    definition = quiet_load(document(BINARY_N, {**HEADER, "n": "U8", "b": "B"}, HEAD + ref("n", condition("h3", 2)) + ref("b")))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = definition.decode_file(ccsds(b"\x08\xaa\xbb") + ccsds(b"\x08\xaa\xbb\xcc"))
    assert result["P"]["b"].tolist() == [b"\xaa"] and sum(n for n, _ in result.skipped.values()) == 1


def test_iter_decode_of_pieces(jpss):
    data = gzip.decompress((DATA / "jpss_packets.bin.gz").read_bytes())[:71 * 4]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        # a None piece ended the stream: the packets after it were lost without a word
        with pytest.raises(TypeError, match="gave NoneType"):
            list(jpss.iter_decode(iter([data[:142], None, data[142:]])))
        assert sum(len(next(iter(t.values()))) for r in jpss.iter_decode(iter([data[:142], b"", data[142:]]))
                   for t in r.values()) == 4


@pytest.mark.parametrize("shape", [(0, 0), (1, 0), (2, 0)])
def test_arrays_of_no_elements_by_dimension_to_arrow(shape):
    # numpy cannot reshape a size-0 array to (-1, 0)
    dims = "".join(f"<xtce:Dimension><xtce:StartingIndex>{fixed(0)}</xtce:StartingIndex><xtce:EndingIndex>"
                   f"{fixed(n - 1)}</xtce:EndingIndex></xtce:Dimension>" for n in shape)
    types = f'<xtce:ArrayParameterType name="R" arrayTypeRef="U8"><xtce:DimensionList>{dims}</xtce:DimensionList></xtce:ArrayParameterType>'
    definition = quiet_load(document(types, {**HEADER, "r": "R"}, HEAD + ref("r")))
    result = definition.decode_file(ccsds(b"\x01") * 2)
    assert result["P"]["r"].shape == (2, *shape)
    assert len(result.to_arrow()["P"].column("r")) == 2


def fixed(n):
    return f"<xtce:FixedValue>{n}</xtce:FixedValue>"


def test_describe_structures(capsys, tmp_path):
    # an aggregate's type has no encoding to show: describe raised ValueError
    from bitloom_xtce._cli import main
    from test_xtce_structures import A2
    (tmp_path / "d.xml").write_bytes(document(A2, {**HEADER, "a": "A2"}, HEAD + ref("a")))
    assert main(["describe", str(tmp_path / "d.xml")]) == 0
    assert "aggregate" in capsys.readouterr().out


def test_entry_naming_a_member():
    from test_xtce_structures import A2
    with pytest.raises(XtceError, match="names no parameter"):
        quiet_load(document(A2, {**HEADER, "a": "A2"}, HEAD + ref("a") + ref("a/x")))


# -- conditions and restrictions on repeated values ---------------------------------------------------------

def test_condition_on_a_repeated_value():
    # numpy's "truth value of an array is ambiguous" escaped, from decode_file for the whole file
    entries = ref("f", repeat(fixed(2))) + ref("v", condition("f", 1))
    definition = quiet_load(document("", {**HEADER, "f": "U8", "v": "U8"}, HEAD + entries))
    with pytest.raises(bitloom_xtce.PacketError, match="2 values, not one"):
        definition.decode(ccsds(b"\x01\x01\x07"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert sum(n for n, _ in definition.decode_file(ccsds(b"\x01\x01\x07") * 2).skipped.values()) == 2


@pytest.mark.parametrize("types, entry", [
    ("", ref("a", repeat(fixed(2)))),
    ('<xtce:ArrayParameterType name="R" arrayTypeRef="U8"><xtce:DimensionList><xtce:Dimension><xtce:StartingIndex>'
     f"{fixed(0)}</xtce:StartingIndex><xtce:EndingIndex>{fixed(1)}</xtce:EndingIndex></xtce:Dimension>"
     "</xtce:DimensionList></xtce:ArrayParameterType>", ref("r")),
])
def test_restriction_on_many_values(types, entry):
    child = (f'<xtce:SequenceContainer name="C"><xtce:EntryList>{ref("b")}</xtce:EntryList>'
             '<xtce:BaseContainer containerRef="P"><xtce:RestrictionCriteria><xtce:Comparison parameterRef="'
             f'{entry.split(chr(34))[1]}" value="1"/></xtce:RestrictionCriteria></xtce:BaseContainer></xtce:SequenceContainer>')
    with pytest.raises(XtceError, match="a value per repeat or element"):
        quiet_load(document(types, {**HEADER, "a": "U8", "b": "U8", "r": "R" if types else "U8"}, HEAD + entry, child))


def test_size_from_a_repeated_value():
    types = ('<xtce:BinaryParameterType name="B"><xtce:BinaryDataEncoding><xtce:SizeInBits>' + dynamic("f")
             + "</xtce:SizeInBits></xtce:BinaryDataEncoding></xtce:BinaryParameterType>")
    definition = quiet_load(document(types, {**HEADER, "f": "U8", "b": "B"}, HEAD + ref("f", repeat(fixed(2))) + ref("b")))
    with pytest.raises(bitloom_xtce.PacketError, match="2 values, not one"):
        definition.decode(ccsds(b"\x08\x08\x07"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert sum(n for n, _ in definition.decode_file(ccsds(b"\x08\x08\x07") * 2).skipped.values()) == 2


def test_command_restriction_on_a_repeated_value():
    # a base command's field repeated, tested by its inheritors' restrictions: ambiguous truth value
    doc = (DATA / "commands.xml").read_bytes().replace(
        b'<xtce:ParameterRefEntry parameterRef="TYPE"/>',
        b'<xtce:ParameterRefEntry parameterRef="TYPE"><xtce:RepeatEntry><xtce:Count><xtce:FixedValue>2'
        b'</xtce:FixedValue></xtce:Count></xtce:RepeatEntry></xtce:ParameterRefEntry>', 1)
    definition = quiet_load(doc)
    rng = random.Random(5)
    for _ in range(300):
        try:
            definition.decode_command(bytes(rng.randrange(256) for _ in range(rng.randrange(40))))
        except ValueError as e:
            assert "ambiguous" not in str(e)
