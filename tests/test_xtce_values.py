"""bitloom_xtce's values beyond plain numbers: times (epochs, leap seconds, exact scaling, checked
against astropy), valid ranges and alarms; each through decode and decode_file alike."""
import re
import warnings
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import assume, given, strategies as st

import bitloom_xtce
from bitloom_xtce import AlarmLevel, XtceError, XtceWarning
from bitloom_xtce._time import NS, TimeScale

XMLNS = 'xmlns:xtce="http://www.omg.org/spec/XTCE/20180204"'
U8 = '<xtce:IntegerParameterType name="U8"><xtce:IntegerDataEncoding sizeInBits="8"/></xtce:IntegerParameterType>'


def ccsds(payload):
    return bytes([0x08, 0x01, 0xC0, 0x00]) + (len(payload) - 1).to_bytes(2, "big") + payload


def document(types, names=("v",)):
    """Packets of a 6-byte primary header (H) then the named parameters: `v` of type T, `w` of
    type W, `n` a U8."""
    kinds = {"v": "T", "w": "W", "n": "U8"}
    parameters = '<xtce:Parameter name="H" parameterTypeRef="H"/>' + "".join(
        f'<xtce:Parameter name="{n}" parameterTypeRef="{kinds[n]}"/>' for n in names)
    entries = "".join(f'<xtce:ParameterRefEntry parameterRef="{n}"/>' for n in ("H", *names))
    return (f'<xtce:SpaceSystem name="S" {XMLNS}><xtce:TelemetryMetaData><xtce:ParameterTypeSet>{U8}'
            '<xtce:BinaryParameterType name="H"><xtce:BinaryDataEncoding><xtce:SizeInBits><xtce:FixedValue>48'
            f'</xtce:FixedValue></xtce:SizeInBits></xtce:BinaryDataEncoding></xtce:BinaryParameterType>{types}'
            f'</xtce:ParameterTypeSet><xtce:ParameterSet>{parameters}</xtce:ParameterSet><xtce:ContainerSet>'
            f'<xtce:SequenceContainer name="P"><xtce:EntryList>{entries}</xtce:EntryList></xtce:SequenceContainer>'
            '</xtce:ContainerSet></xtce:TelemetryMetaData></xtce:SpaceSystem>').encode()


def definition(types, names=("v",), strict=False):
    text = document(types, names)
    with warnings.catch_warnings():
        warnings.simplefilter("error" if strict else "ignore", XtceWarning)
        return bitloom_xtce.load(text, strict=strict)


def both(definition, payloads, name="v", raw=False):
    """Each payload's value through decode, checked equal to decode_file's column."""
    singles = [definition.decode(ccsds(p), raw=raw)[name] for p in payloads]
    column = definition.decode_file(b"".join(map(ccsds, payloads)), raw=raw)["P"][name]
    assert column.tolist() == [np.asarray(s).tolist() for s in singles]
    return singles, column


def absolute(encoding, reference="<xtce:Epoch>TAI</xtce:Epoch>", scale="1", offset="0", name="T", units=""):
    units = f' units="{units}"' if units else ""
    return (f'<xtce:AbsoluteTimeParameterType name="{name}"><xtce:Encoding scale="{scale}" offset="{offset}"{units}>'
            f'{encoding}</xtce:Encoding><xtce:ReferenceTime>{reference}</xtce:ReferenceTime>'
            '</xtce:AbsoluteTimeParameterType>')


def int_encoding(bits, form="unsigned"):
    return f'<xtce:IntegerDataEncoding sizeInBits="{bits}" encoding="{form}"/>'


# -- times -----------------------------------------------------------------------------------------

@pytest.mark.parametrize("type_xml, payload, expected", [
    (absolute(int_encoding(32), "<xtce:Epoch>UNIX</xtce:Epoch>"), (1483228800).to_bytes(4, "big"),
     "2017-01-01T00:00:00"),
    (absolute(int_encoding(32), "<xtce:Epoch>2000-01-01</xtce:Epoch>", scale="0.001"), (1500).to_bytes(4, "big"),
     "2000-01-01T00:00:01.5"),
    (absolute(int_encoding(16), "<xtce:Epoch>2020-02-29T12:00:00.123456789Z</xtce:Epoch>", units="days"),
     (2).to_bytes(2, "big"), "2020-03-02T12:00:00.123456789"),
    (absolute(int_encoding(16), "<xtce:Epoch>2020-01-01T01:00:00+01:00</xtce:Epoch>"), (5).to_bytes(2, "big"),
     "2020-01-01T00:00:05"),
    # GPS: its epoch, and 18 leap seconds since (1980 to 2017)
    (absolute(int_encoding(32), "<xtce:Epoch>GPS</xtce:Epoch>"), (0).to_bytes(4, "big"), "1980-01-06T00:00:00"),
    (absolute(int_encoding(32), "<xtce:Epoch>GPS</xtce:Epoch>"), (1167264018).to_bytes(4, "big"),
     "2017-01-01T00:00:00"),
    # J2000 is noon TT: 11:58:55.816 UTC
    (absolute(int_encoding(32), "<xtce:Epoch>J2000</xtce:Epoch>"), (0).to_bytes(4, "big"), "2000-01-01T11:58:55.816"),
    # a CUC count of 2**-16 s ticks since 1958 TAI, exact to the nanosecond (15258.7890625 ns each)
    (absolute(int_encoding(48), scale="0.0000152587890625"), (1861920037 * 65536 + 1).to_bytes(6, "big"),
     "2017-01-01T00:00:00.000015259"),
    (absolute(int_encoding(32, "twosComplement"), "<xtce:Epoch>UNIX</xtce:Epoch>", scale="-1", offset="100"),
     (50).to_bytes(4, "big"), "1970-01-01T00:00:50"),
    (absolute('<xtce:FloatDataEncoding sizeInBits="64"/>', "<xtce:Epoch>UNIX</xtce:Epoch>"),
     np.float64(0.25).tobytes()[::-1], "1970-01-01T00:00:00.25"),
    (absolute(int_encoding(8), "<xtce:Epoch>UNIX</xtce:Epoch>", scale="1e-9", units="picoSeconds"),
     bytes([200]), "1970-01-01T00:00:00.000000000"),  # 200e-9 ps rounds to 0 ns
])
def test_absolute_times(type_xml, payload, expected):
    (value,), column = both(definition(type_xml), [payload])
    assert value == np.datetime64(expected, "ns") and column.dtype == np.dtype("M8[ns]")
    raw = definition(type_xml).decode(ccsds(payload), raw=True)["v"]
    assert not isinstance(raw, np.datetime64)


def test_relative_times_and_offsets_from_another_time():
    types = (absolute(int_encoding(32), "<xtce:Epoch>UNIX</xtce:Epoch>", name="W") +
             absolute(int_encoding(8), '<xtce:OffsetFrom parameterRef="w"/>', scale="0.5") +
             '<xtce:RelativeTimeParameterType name="U"><xtce:Encoding scale="0.001" offset="-1">'
             f'{int_encoding(16)}</xtce:Encoding></xtce:RelativeTimeParameterType>')
    moved = definition(types, ("w", "v"))
    values, column = both(moved, [(10).to_bytes(4, "big") + b"\x03", (20).to_bytes(4, "big") + b"\x00"])
    assert column.tolist() == [np.datetime64("1970-01-01T00:00:11.5", "ns").item(),
                               np.datetime64("1970-01-01T00:00:20", "ns").item()]
    relative = definition(types.replace('"U"', '"T"').replace('name="T"><xtce:Encoding scale="0.5"',
                                                              'name="X"><xtce:Encoding scale="0.5"'))
    values, column = both(relative, [(2500).to_bytes(2, "big"), (0).to_bytes(2, "big")])
    assert values == [np.timedelta64(1500, "ms"), np.timedelta64(-1, "s")] and column.dtype == np.dtype("m8[ns]")
    assert relative.decode_file(ccsds(b"\x00\x07"), raw=True)["P"]["v"].tolist() == [7]


LEAPS = [("1861920035", "2016-12-31T23:59:59"), ("1861920035.999999999", "2016-12-31T23:59:59.999999999"),
         ("1861920036", "2017-01-01T00:00:00"), ("1861920036.5", "2017-01-01T00:00:00"),  # 23:59:60.5: held
         ("1861920037", "2017-01-01T00:00:00"), ("1861920037.25", "2017-01-01T00:00:00.25"),
         ("1814400034.5", "2015-06-30T23:59:59.5"), ("1814400035.5", "2015-07-01T00:00:00"),
         ("1814400036.5", "2015-07-01T00:00:00.5")]


@pytest.mark.parametrize("seconds, expected", LEAPS)
def test_around_a_leap_second(seconds, expected):
    ticks = int(Fraction(seconds) * NS)
    tai = definition(absolute(int_encoding(64), scale="0.000000001"))
    (value,), _ = both(tai, [ticks.to_bytes(8, "big")])
    assert value == np.datetime64(expected, "ns")


@pytest.mark.filterwarnings("ignore::Warning")  # astropy's "dubious year" for times past its tables
def test_times_agree_with_astropy():
    astropy_time = pytest.importorskip("astropy.time")
    rng = np.random.default_rng(7)
    for epoch in ("TAI", "GPS", "J2000"):
        start = {"TAI": astropy_time.Time("1958-01-01", scale="tai"), "J2000": astropy_time.Time("J2000", scale="tt"),
                 "GPS": astropy_time.Time("1980-01-06", scale="utc").tai}[epoch]
        # 2016-12-31T23:59:60 UTC in 2**-16 s ticks since the epoch, and instants around it
        leap = int((astropy_time.Time("2016-12-31T23:59:60", scale="utc") - start).to_value("sec") * 65536)
        ticks = np.concatenate([rng.integers(0, 2**47, 300), leap + np.arange(-3, 5) * 32768 + 1,
                                rng.integers(leap - 2**30, leap + 2**30, 300)]).astype(np.uint64)
        tai = definition(absolute(int_encoding(48), f"<xtce:Epoch>{epoch}</xtce:Epoch>", scale="0.0000152587890625"))
        data = b"".join(ccsds(int(t).to_bytes(6, "big")) for t in ticks)
        ours = tai.decode_file(data)["P"]["v"]
        whole, part = np.divmod(ticks.astype(np.int64), 65536)
        theirs = (start + astropy_time.TimeDelta(whole, part / 65536, format="sec")).utc
        theirs.precision = 9
        texts = np.array(theirs.isot)
        in_leap = np.char.find(texts.astype(str), ":60") >= 0
        leap_exact = ours >= np.datetime64("1972-01-01", "ns")  # before 1972 UTC did not step by seconds
        ours, texts, in_leap = ours[leap_exact], texts[leap_exact], in_leap[leap_exact]
        assert in_leap.sum() == 2
        expected = np.array([np.datetime64(t, "ns") for t in texts[~in_leap]])
        assert np.abs((ours[~in_leap] - expected).astype(np.int64)).max() <= 1, epoch
        # an instant inside a leap second is shown as the end of that second
        assert (ours[in_leap] == np.datetime64("2017-01-01", "ns")).all()


@given(st.integers(-2**40, 2**40), st.fractions(max_denominator=10**6).filter(lambda f: 0 < abs(f) < 10**4),
       st.fractions(max_denominator=1000).filter(lambda f: abs(f) < 10**9))
def test_integer_scaling_rounds_exactly_once(value, scale, offset):
    time = TimeScale(scale * NS, offset * NS, False)
    expected = (value * scale * NS + offset * NS + Fraction(1, 2)).__floor__()
    assume(abs(expected) < 2**63)
    assert time.nanoseconds(np.array([value], dtype=np.int64)).tolist() == [expected]


@pytest.mark.parametrize("type_xml, message", [
    (absolute(int_encoding(8), "<xtce:Epoch>yesterday</xtce:Epoch>"), "epoch 'yesterday' is not TAI"),
    (absolute(int_encoding(8), units="months"), "time units 'months' are not supported"),
    (absolute(int_encoding(8)).replace("<xtce:ReferenceTime><xtce:Epoch>TAI</xtce:Epoch></xtce:ReferenceTime>", ""),
     "an absolute time needs a <ReferenceTime>"),
    (absolute(int_encoding(8), '<xtce:OffsetFrom parameterRef="n"/>'), "a time offset from 'n', a integer"),
    (absolute(int_encoding(8), scale="fast"), "scale 'fast' is not a number"),
])
def test_time_types_that_are_refused(type_xml, message):
    with pytest.raises(XtceError, match=message):
        definition(type_xml, ("n", "v"))


# -- valid ranges and alarms -----------------------------------------------------------------------

RANGES = ('<xtce:DefaultAlarm><xtce:StaticAlarmRanges{form}><xtce:WarningRange minInclusive="20" maxExclusive="80"/>'
          '<xtce:CriticalRange minExclusive="10" maxInclusive="90"/></xtce:StaticAlarmRanges></xtce:DefaultAlarm>')
POLY = ('<xtce:DefaultCalibrator><xtce:PolynomialCalibrator><xtce:Term coefficient="0.5" exponent="1"/>'
        '</xtce:PolynomialCalibrator></xtce:DefaultCalibrator>')
W, C = int(AlarmLevel.WARNING), int(AlarmLevel.CRITICAL)


@pytest.mark.parametrize("type_xml, invalid, alarms", [
    # raws 0, 10, 20, 79, 80, 90, 91, 200
    (f'<xtce:IntegerParameterType name="T">{int_encoding(8)}{RANGES.format(form="")}'
     '<xtce:ValidRange minInclusive="10" maxExclusive="91"/></xtce:IntegerParameterType>',
     [1, 0, 0, 0, 0, 0, 1, 1], [C, C, 0, 0, W, W, C, C]),
    (f'<xtce:IntegerParameterType name="T">{int_encoding(8)}{RANGES.format(form=" rangeForm=" + chr(34) + "inside" + chr(34))}'
     '</xtce:IntegerParameterType>', None, [0, 0, C, C, C, C, 0, 0]),
    # the valid range on raw values, alarms on calibrated ones (raw / 2)
    (f'<xtce:FloatParameterType name="T"><xtce:IntegerDataEncoding sizeInBits="8">{POLY}</xtce:IntegerDataEncoding>'
     f'{RANGES.format(form="")}<xtce:ValidRange maxInclusive="90" validRangeAppliesToCalibrated="false"/>'
     '</xtce:FloatParameterType>', [0, 0, 0, 0, 0, 0, 1, 1], [C, C, C, 0, 0, 0, 0, C]),
    (f'<xtce:FloatParameterType name="T"><xtce:IntegerDataEncoding sizeInBits="8">{POLY}</xtce:IntegerDataEncoding>'
     '<xtce:ValidRange maxInclusive="40"/></xtce:FloatParameterType>', [0, 0, 0, 0, 0, 1, 1, 1], None),
    ('<xtce:EnumeratedParameterType name="T"><xtce:IntegerDataEncoding sizeInBits="8"/><xtce:EnumerationList>'
     '<xtce:Enumeration value="10" label="LOW"/><xtce:Enumeration value="20" maxValue="80" label="OK"/>'
     '</xtce:EnumerationList><xtce:DefaultAlarm defaultAlarmLevel="watch"><xtce:EnumerationAlarmList>'
     '<xtce:EnumerationAlarm alarmLevel="severe" enumerationLabel="LOW"/>'
     '<xtce:EnumerationAlarm alarmLevel="normal" enumerationLabel="OK"/></xtce:EnumerationAlarmList>'
     '</xtce:DefaultAlarm></xtce:EnumeratedParameterType>', None, [1, 5, 0, 0, 0, 1, 1, 1]),
])
def test_valid_ranges_and_alarms(type_xml, invalid, alarms):
    checked = definition(type_xml, strict=True)
    raws = [0, 10, 20, 79, 80, 90, 91, 200]
    singles = [checked.decode_checked(ccsds(bytes([r]))) for r in raws]
    assert [s.values["v"] for s in singles] == [checked.decode(ccsds(bytes([r])))["v"] for r in raws]
    tables = checked.decode_file(b"".join(ccsds(bytes([r])) for r in raws))
    for result, table, expected, dtype in ((lambda s: s.invalid, tables.invalid["P"], invalid, bool),
                                           (lambda s: s.alarms, tables.alarms["P"], alarms, np.uint8)):
        if expected is None:
            assert all("v" not in result(s) for s in singles) and "v" not in table
            continue
        assert [int(result(s)["v"]) for s in singles] == expected
        assert table["v"].dtype == dtype and table["v"].astype(int).tolist() == expected
    assert "H" not in tables.invalid["P"] and "H" not in tables.alarms["P"]


@pytest.mark.parametrize("check, message", [
    ('<xtce:ValidRange minInclusive="5" minExclusive="4"/>', "both minInclusive and minExclusive"),
    ('<xtce:ValidRange minInclusive="5" maxInclusive="4"/>', "its minimum 5.0 is above its maximum 4.0"),
    (RANGES.format(form=' rangeForm="beside"'), "rangeForm 'beside' is neither"),
    ('<xtce:DefaultAlarm><xtce:StaticAlarmRanges><xtce:WatchRange minInclusive="x"/></xtce:StaticAlarmRanges>'
     '</xtce:DefaultAlarm>', "minInclusive 'x' is not a number"),
])
def test_checks_that_are_refused(check, message):
    with pytest.raises(XtceError, match=message):
        definition(f'<xtce:IntegerParameterType name="T">{int_encoding(8)}{check}</xtce:IntegerParameterType>')


def test_enumeration_alarms_name_labels_the_enumeration_has():
    with pytest.raises(XtceError, match=r"'HIGH' is not a label of the enumeration"):
        definition('<xtce:EnumeratedParameterType name="T"><xtce:IntegerDataEncoding sizeInBits="8"/><xtce:EnumerationList>'
                   '<xtce:Enumeration value="1" label="LOW"/></xtce:EnumerationList><xtce:DefaultAlarm>'
                   '<xtce:EnumerationAlarmList><xtce:EnumerationAlarm alarmLevel="severe" enumerationLabel="HIGH"/>'
                   '</xtce:EnumerationAlarmList></xtce:DefaultAlarm></xtce:EnumeratedParameterType>')


def test_command_line_writes_times_and_draws_them_on_a_time_axis(tmp_path, capsys):
    for module in ("pyarrow", "tqdm", "matplotlib"):
        pytest.importorskip(module)
    import pyarrow.parquet as pq
    from bitloom_xtce._cli import main
    types = (absolute(int_encoding(32), "<xtce:Epoch>UNIX</xtce:Epoch>", name="W") +
             '<xtce:RelativeTimeParameterType name="T"><xtce:Encoding scale="0.001">' + int_encoding(16) +
             '</xtce:Encoding></xtce:RelativeTimeParameterType>')
    (tmp_path / "m.xml").write_bytes(document(types, ("w", "v", "n")))
    (tmp_path / "p.bin").write_bytes(b"".join(ccsds(i.to_bytes(4, "big") + (100 * i).to_bytes(2, "big") + b"\x01")
                                              for i in range(5)))
    out = tmp_path / "out"
    status = main([str(tmp_path / "m.xml"), str(tmp_path / "p.bin"), "--out", str(out),
                   "--plot", "v", "n", "--time", "w"])
    assert status == 0, capsys.readouterr()
    table = pq.read_table(out / "P.parquet").to_pandas()
    assert str(table["w"].dtype) == "datetime64[ns]" and table["w"].iloc[4] == np.datetime64("1970-01-01T00:00:04")
    assert table["v"].iloc[3] == np.timedelta64(300, "ms")
    assert (out / "plot.png").stat().st_size > 0


# -- encodings of another kind: numbers and booleans as text, codes as floats or binary data --------

def text_encoding(bytes_):
    return (f'<xtce:StringDataEncoding encoding="US-ASCII"><xtce:SizeInBits><xtce:Fixed><xtce:FixedValue>{8 * bytes_}'
            '</xtce:FixedValue></xtce:Fixed><xtce:TerminationChar>00</xtce:TerminationChar></xtce:SizeInBits>'
            '</xtce:StringDataEncoding>')


ENUMERATION = ('<xtce:EnumerationList><xtce:Enumeration value="2" label="TWO"/><xtce:Enumeration value="258" '
               'label="BIG"/></xtce:EnumerationList>')
BINARY16 = ('<xtce:BinaryDataEncoding><xtce:SizeInBits><xtce:FixedValue>16</xtce:FixedValue></xtce:SizeInBits>'
            '</xtce:BinaryDataEncoding>')


@pytest.mark.parametrize("type_xml, payloads, values", [
    (f'<xtce:IntegerParameterType name="T">{text_encoding(4)}</xtce:IntegerParameterType>',
     [b"42\0\0", b"-7\0\0", b" 12 "], [42, -7, 12]),
    (f'<xtce:FloatParameterType name="T">{text_encoding(4)}</xtce:FloatParameterType>',
     [b"1.5\0", b"-2e3", b"7\0\0\0"], [1.5, -2000.0, 7.0]),
    (f'<xtce:BooleanParameterType name="T" oneStringValue="yes" zeroStringValue="no">{text_encoding(4)}'
     '</xtce:BooleanParameterType>', [b"YES\0", b"No\0\0", b"0\0\0\0", b"\0\0\0\0", b"what", b"True"],
     [True, False, False, False, True, True]),
    (f'<xtce:BooleanParameterType name="T">{text_encoding(4)}</xtce:BooleanParameterType>',
     [b"true", b"FALS", b"fals"], [True, True, True]),
    (f'<xtce:EnumeratedParameterType name="T"><xtce:FloatDataEncoding sizeInBits="32"/>{ENUMERATION}'
     '</xtce:EnumeratedParameterType>', [np.float32(2).tobytes()[::-1], np.float32(2.5).tobytes()[::-1]],
     ["TWO", None]),
    (f'<xtce:EnumeratedParameterType name="T">{BINARY16}{ENUMERATION}</xtce:EnumeratedParameterType>',
     [b"\x01\x02", b"\x00\x02", b"\x00\x03"], ["BIG", "TWO", None]),
    (f'<xtce:BooleanParameterType name="T">{BINARY16}</xtce:BooleanParameterType>', [b"\x01\x00", b"\x00\x00"],
     [True, False]),
    ('<xtce:BooleanParameterType name="T"><xtce:FloatDataEncoding sizeInBits="32"/></xtce:BooleanParameterType>',
     [np.float32(0.5).tobytes()[::-1], bytes(4)], [True, False]),
    (f'<xtce:EnumeratedParameterType name="T">{text_encoding(4)}{ENUMERATION}</xtce:EnumeratedParameterType>',
     [b"258\0", b" 2  ", b"3\0\0\0"], ["BIG", "TWO", None]),
    (f'<xtce:AbsoluteTimeParameterType name="T"><xtce:Encoding>{text_encoding(32)}</xtce:Encoding>'
     '</xtce:AbsoluteTimeParameterType>',
     [b"2020-03-01T12:00:00.123456789Z".ljust(32, b"\0"), b"2020-061T12:00:00.5+01:00".ljust(32, b"\0"),
      b"2016-12-31T23:59:60.25".ljust(32, b"\0"), b"1999-12-31".ljust(32, b"\0")],
     [np.datetime64("2020-03-01T12:00:00.123456789"), np.datetime64("2020-03-01T11:00:00.500", "ns"),
      np.datetime64("2017-01-01T00:00:00", "ns"), np.datetime64("1999-12-31T00:00", "ns")]),
    (f'<xtce:RelativeTimeParameterType name="T"><xtce:Encoding scale="0.001">{text_encoding(8)}</xtce:Encoding>'
     '</xtce:RelativeTimeParameterType>', [b"1500\0\0\0\0", b"-2.5\0\0\0\0"],
     [np.timedelta64(1500, "ms").astype("m8[ns]"), np.timedelta64(-2500, "us").astype("m8[ns]")]),
    (absolute(BINARY16, "<xtce:Epoch>UNIX</xtce:Epoch>", units="days"), [b"\x00\x02"],
     [np.datetime64("1970-01-03", "ns")]),
])
def test_values_of_another_encoding(type_xml, payloads, values):
    singles, _ = both(definition(type_xml, strict=True), payloads)
    assert singles == values and [type(v) for v in singles] == [type(v) for v in values]


def test_numbers_as_text_keep_their_text_raw_and_bad_texts_are_bad_packets():
    numbers = definition(f'<xtce:IntegerParameterType name="T">{text_encoding(4)}</xtce:IntegerParameterType>',
                         ("v", "n"))
    assert numbers.decode(ccsds(b"42\0\0\x05"), raw=True)["v"] == b"42\0\0"
    with pytest.raises(bitloom_xtce.PacketError, match=r"container 'P': 'v': text '4x' is not an integer"):
        numbers.decode(ccsds(b"4x\0\0\x05"))
    with pytest.warns(bitloom_xtce.DecodeWarning, match="1 with a bad 'v' value in container 'P'"):
        tables = numbers.decode_file(ccsds(b"1\0\0\0\x01") + ccsds(b"4x\0\0\x02") + ccsds(b"3\0\0\0\x03"))
    assert tables["P"]["v"].tolist() == [1, 3] and tables["P"]["n"].tolist() == [1, 3]
    assert tables.packet_index["P"].tolist() == [0, 2]
    assert tables.skipped == {"with a bad 'v' value in container 'P'": (1, 11)}


@pytest.mark.parametrize("kind, inside, value, text", [
    ("Integer", "", -42, b"-42\0\0\0\0\0"),
    ("Integer", "", "7", b"7\0\0\0\0\0\0\0"),
    ("Float", "", 0.1, b"0.1\0\0\0\0\0"),
    ("Float", "", 2, b"2.0\0\0\0\0\0"),
    ("Enumerated", ENUMERATION, "BIG", b"258\0\0\0\0\0"),
    ("Enumerated", ENUMERATION, 2, b"2\0\0\0\0\0\0\0"),  # a label's value
    ("Integer", "", 1.5, ValueError("v: 1.5 is not an integer")),
    ("Float", "", "x", ValueError("v: 'x' is not a number")),
    ("Enumerated", ENUMERATION, "ONE", ValueError("v: 'ONE' is not one of its labels")),
])
def test_numbers_and_labels_written_as_text(kind, inside, value, text):
    numbers = definition(f'<xtce:{kind}ParameterType name="T">{inside}{text_encoding(8)}</xtce:{kind}ParameterType>')
    if isinstance(text, Exception):
        with pytest.raises(type(text), match=re.escape(str(text))):
            numbers.encode("P", {"H": bytes(6), "v": value})
        return
    packet = numbers.encode("P", {"H": bytes(6), "v": value})
    assert packet[6:] == text
    assert numbers.encode_many("P", {"H": [bytes(6)] * 2, "v": [value, value]}) == packet * 2
    labels = {2: "TWO", "BIG": "BIG"}
    assert numbers.decode(packet)["v"] == (labels[value] if kind == "Enumerated" else int(value) if isinstance(value, str)
                                           else value)


@pytest.mark.parametrize("text", [b"2020-02-30", b"2019-366T00:00", b"2020-01-01T23:58:60", b"2020-01-01T24:00",
                                  b"20200101", b"2020-01-01T12:00:00.", b"3000-01-01", b"yesterday"])
def test_date_times_that_are_bad_values(text):
    dated = definition(f'<xtce:AbsoluteTimeParameterType name="T"><xtce:Encoding>{text_encoding(24)}'
                       '</xtce:Encoding></xtce:AbsoluteTimeParameterType>', ("v", "n"))
    payload = text.ljust(24, b"\0") + b"\x05"
    with pytest.raises(bitloom_xtce.PacketError, match="is not a date-time"):
        dated.decode(ccsds(payload))
    with pytest.warns(bitloom_xtce.DecodeWarning, match="1 with a bad 'v' value"):
        assert dated.decode_file(ccsds(payload)).skipped
    with pytest.raises(bitloom_xtce.PacketError, match="is not a date-time"):  # as decode_file skips it raw too
        dated.decode(ccsds(payload), raw=True)


def context(match, alarm):
    return (f"<xtce:ContextAlarm>{alarm}<xtce:ContextMatch>{match}</xtce:ContextMatch></xtce:ContextAlarm>")


def n_is(value, op="=="):
    return f'<xtce:Comparison parameterRef="n" value="{value}" comparisonOperator="{op}"/>'


CRITICAL_ABOVE_10 = '<xtce:StaticAlarmRanges><xtce:CriticalRange maxInclusive="10"/></xtce:StaticAlarmRanges>'
WARNING_ABOVE_60 = ('<xtce:DefaultAlarm><xtce:StaticAlarmRanges><xtce:WarningRange maxInclusive="60"/>'
                    '</xtce:StaticAlarmRanges></xtce:DefaultAlarm>')
ENUMERATED = ('<xtce:EnumeratedParameterType name="T"><xtce:IntegerDataEncoding sizeInBits="8"/><xtce:EnumerationList>'
              '<xtce:Enumeration value="5" label="LOW"/><xtce:Enumeration value="70" label="HIGH"/>'
              '</xtce:EnumerationList>{}</xtce:EnumeratedParameterType>')
S = int(AlarmLevel.SEVERE)


@pytest.mark.parametrize("checks, levels", [
    # packets (v, n): (5, 0) (70, 0) (5, 1) (70, 1) (5, 2) (70, 2)
    # the first context that matches replaces the default alarm; the default where none matches
    (WARNING_ABOVE_60 + '<xtce:ContextAlarmList>' + context(n_is(1), CRITICAL_ABOVE_10)
     + context(n_is(0, ">="), CRITICAL_ABOVE_10.replace("Critical", "Watch")) + '</xtce:ContextAlarmList>',
     [0, 1, 0, C, 0, 1]),
    # context alarms only: normal where none matches
    ('<xtce:ContextAlarmList>' + context(n_is(2), CRITICAL_ABOVE_10) + '</xtce:ContextAlarmList>',
     [0, 0, 0, 0, 0, C]),
    # alarm conditions: the most severe whose criterion holds, with the ranges' level
    ('<xtce:DefaultAlarm><xtce:AlarmConditions><xtce:WatchAlarm>' + n_is(1) + '</xtce:WatchAlarm><xtce:SevereAlarm>'
     + n_is(2) + '</xtce:SevereAlarm></xtce:AlarmConditions><xtce:StaticAlarmRanges>'
     '<xtce:WarningRange maxInclusive="60"/></xtce:StaticAlarmRanges></xtce:DefaultAlarm>', [0, W, 1, W, S, S]),
    # conditions on the value itself, inside a context alarm
    ('<xtce:ContextAlarmList>' + context(n_is(0, "!="), '<xtce:AlarmConditions><xtce:CriticalAlarm>'
     '<xtce:Comparison parameterRef="v" value="5"/></xtce:CriticalAlarm></xtce:AlarmConditions>')
     + '</xtce:ContextAlarmList>', [0, 0, C, 0, C, 0]),
    # enumerations: labels per context, each context's own default level
    (ENUMERATED.format('<xtce:DefaultAlarm><xtce:EnumerationAlarmList><xtce:EnumerationAlarm alarmLevel="watch" '
                       'enumerationLabel="HIGH"/></xtce:EnumerationAlarmList></xtce:DefaultAlarm><xtce:ContextAlarmList>'
                       + context(n_is(1), '<xtce:EnumerationAlarmList><xtce:EnumerationAlarm alarmLevel="severe" '
                                 'enumerationLabel="LOW"/></xtce:EnumerationAlarmList>').replace(
                                     "<xtce:ContextAlarm>", '<xtce:ContextAlarm defaultAlarmLevel="distress">')
                       + '</xtce:ContextAlarmList>'), [0, 1, S, 3, 0, 1]),
])
def test_context_alarms_and_alarm_conditions(checks, levels):
    types = checks if checks.startswith("<xtce:Enumerated") else \
        f'<xtce:IntegerParameterType name="T">{int_encoding(8)}{checks}</xtce:IntegerParameterType>'
    checked = definition(types, ("v", "n"), strict=True)
    payloads = [bytes([v, n]) for n in (0, 1, 2) for v in (5, 70)]
    singles = [int(checked.decode_checked(ccsds(p)).alarms["v"]) for p in payloads]
    column = checked.decode_file(b"".join(map(ccsds, payloads))).alarms["P"]["v"]
    assert singles == levels and column.dtype == np.uint8 and column.tolist() == levels
