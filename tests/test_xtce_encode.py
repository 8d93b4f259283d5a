"""Encoding with bitloom_xtce: round trips over every definition of the test data, byte-identical
re-encoding of the shared packet files, and small documents for each rule of encoding (inverse
calibration, text fields, criteria, the CCSDS header, checks) and its refusals."""
import dataclasses
import functools
import gzip
import pathlib
import threading
import warnings
from unittest import mock

import bitloom
import numpy as np
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import bitloom_xtce
from bitloom_xtce import PacketError
from bitloom_xtce._crc import Checksum, Covered, Crc
from bitloom_xtce._inverse import integer_range, inverse_for
from bitloom_xtce._model import BinaryEncoding, Comparison, FloatEncoding, IntegerEncoding, StringEncoding
from test_xtce import (BINARY, CONTEXT, DYNAMIC, ENUM, FIXED, HEADER, HEADER_ENTRIES, HEADER_PARAMS, LEAD, POLY,
                       STRING, TERM, U8, ccsds_definition, child, cmp, document, integer, single)

DATA = pathlib.Path(__file__).resolve().parent / "data" / "xtce"
SHARED = pathlib.Path("/work/shared/xtce-data")
DEFINITIONS = sorted(p.name for p in DATA.iterdir() if p.name.endswith((".xml", ".xml.gz")))
# CTIM's 38 packet types: one with each kind of field (two's complement and floats, text, floats
# only, a thousand fields) and a small one.
SOME = {"ctim_xtce_v1.xml.gz": ["APID_1_Packet", "APID_2_Packet", "APID_10_Packet", "APID_37_Packet",
                                "APID_41_Packet"]}
FILES = {  # packet file: definition, bytes before each packet
    "jpss_packets.bin.gz": ("jpss1_geolocation_xtce_v1.xml", 0),
    "ctim_packets.bin.gz": ("ctim_xtce_v1.xml.gz", 0),
    "idex_packets.bin.gz": ("idex_combined_science_definition.xml.gz", 0),
    "suda_packets.bin.gz": ("idex_combined_science_definition.xml.gz", 4),
}


def read(name):
    path = DATA / name if "/" not in name else pathlib.Path(name)
    data = path.read_bytes()
    return gzip.decompress(data) if name.endswith(".gz") else data


@functools.cache
def load(name):
    return bitloom_xtce.load(read(name))


def definitions():
    """The test data's definitions, and the shared ones that are not copies of them."""
    names, seen = list(DEFINITIONS), {read(n) for n in DEFINITIONS}
    for path in sorted(SHARED.glob("**/*.xml")) if SHARED.is_dir() else []:
        if path.read_bytes() not in seen:
            names.append(str(path))
            seen.add(path.read_bytes())
    return names


def cases():
    out = []
    for name in definitions():
        containers = SOME.get(name) or load(name).concrete()
        out += [pytest.param(name, c, id=f"{pathlib.Path(name).name}-{c}") for c in containers]
    return out


def equal(a, b):
    a, b = np.asarray(a), np.asarray(b)
    if a.dtype.kind == "f" or b.dtype.kind == "f":
        return np.array_equal(a.astype(float), b.astype(float), equal_nan=True)
    return a.shape == b.shape and all(x == y for x, y in zip(a.tolist(), b.tolist()))


# -- random raw values -------------------------------------------------------------------------------

def random_floats(enc, rng, n):
    """Finite values the float encoding represents exactly, from random bit patterns."""
    decode = getattr(bitloom, f"decode_{enc.reader}")
    out = []
    while len(out) < n:
        value = decode(int(rng.integers(0, 1 << min(enc.bits, 63))) << max(0, enc.bits - 63))
        if np.isfinite(value):
            out.append(value)
    return np.array(out)


def random_raw(definition, plan, rng, n):
    """Raw columns for a container's parameters; those encoding sets itself are left out, and
    a parameter an inequality restricts gets a value that meets it."""
    header = definition._encoder.header
    fixed = {header.length, header.count} if header else set()
    fixed |= set(plan.sized) | {f.parameter.name for f, _ in plan.checks}
    bounds = {}
    for container in plan.chain[1:]:
        restriction = definition.containers[container].restriction
        terms = [restriction] if isinstance(restriction, Comparison) else getattr(restriction, "terms", [])
        for term in terms:
            if term.op in ("==", "eq"):
                fixed.add(term.parameter)
            else:
                bounds[term.parameter] = {">": 1, ">=": 0, "<": -1, "<=": 0, "!=": 1}[term.op] + term.value
    for child in definition.containers[plan.chain[-1]].children:  # values that make it no inheritor
        term = definition.containers[child].restriction
        others = [definition.containers[c].restriction for c in definition.containers[plan.chain[-1]].children]
        candidates = [0] + [t.value + d for t in others for d in (-1, 1)]
        bounds[term.parameter] = next(c for c in candidates if not any(
            t.evaluate(lambda name, calibrated: c) for t in others if t.parameter == term.parameter))
    columns = {}
    for name in plan.names:
        if name in fixed:
            continue
        ptype = definition.parameters[name].type
        enc = ptype.encoding
        if name in bounds:
            columns[name] = np.full(n, bounds[name])
        elif ptype.kind == "enumerated":
            columns[name] = np.array([lo for lo, _, _ in ptype.enumeration])[rng.integers(0, len(ptype.enumeration), n)]
        elif ptype.kind == "boolean":
            columns[name] = rng.integers(0, 2, n)
        elif isinstance(enc, IntegerEncoding):
            lo, hi = integer_range(enc)
            columns[name] = rng.integers(lo, hi, n, dtype=np.uint64 if hi >= 1 << 63 else np.int64, endpoint=True)
        elif isinstance(enc, FloatEncoding):
            columns[name] = random_floats(enc, rng, n)
        elif isinstance(enc, StringEncoding):  # ASCII text filling its field, or ended by its terminator
            assert enc.plain or enc.terminator is not None and enc.bits is None and enc.dynamic is None
            sizes = [enc.bits // 8] * n if enc.plain else rng.integers(0, 30, n)
            texts = [bytes(rng.integers(0x20, 0x7F, k).astype(np.uint8)) + (enc.terminator or b"") for k in sizes]
            columns[name] = np.array(texts + [None], dtype=object)[:-1]
        else:
            assert isinstance(enc, BinaryEncoding)
            sizes = [enc.bits // 8] * n if enc.bits else rng.integers(0, 40, n)
            columns[name] = np.array([bytes(rng.integers(0, 256, int(k)).astype(np.uint8)) for k in sizes] + [None],
                                     dtype=object)[:-1]
    return columns


@pytest.mark.parametrize("name, container", cases())
@settings(max_examples=4, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(1, 5))
def test_round_trip_of_random_values(name, container, seed, n):
    # raw columns -> packets -> the same raw columns; their calibrated values -> the same packets;
    # each packet alone (the builder) is the same as in the batch (numpy, or the builder where fields overlap).
    definition = load(name)
    plan = definition._encoder.plan(container)
    rng = np.random.default_rng(seed)
    columns = random_raw(definition, plan, rng, n)
    counts = rng.integers(0, 1 << 14, n) if definition._encoder.header else None
    packets = definition.encode_many(container, columns, raw=True, sequence_count=counts)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        raw = definition.decode_file(packets, raw=True) if counts is not None else None
        if raw is not None:
            assert list(raw) == [container]
            for key, column in columns.items():
                assert equal(raw[container][key], column), key
            calibrated = definition.decode_file(packets)[container]
            assert definition.encode_many(container, calibrated) == packets
    each = [definition.encode(container, {k: v[i] for k, v in columns.items()}, raw=True,
                              sequence_count=None if counts is None else int(counts[i])) for i in range(n)]
    assert packets == b"".join(each)
    first, one = {k: v[0] for k, v in columns.items()}, each[0]
    decoded = definition.decode(one, raw=True)
    assert all(equal([decoded[k]], [v]) for k, v in first.items())
    assert definition.encode(container, definition.decode(one)) == one  # the decoded count and length too


@pytest.mark.parametrize("packets", list(FILES))
def test_reencoding_the_shared_packet_files_gives_the_same_bytes(packets):
    # CTIM's definition does not describe all of some packets: APID 1 packets carry 11 bits past
    # their last field, some APID 20 packets 16 bytes. Those bits are not in the values and come
    # back as zeros; every other byte is the same.
    xml, prefix = FILES[packets]
    definition, data = load(xml), read(packets)
    offsets = [(int(o), int(o) + 7 + (data[o + 4] << 8 | data[o + 5]))
               for o in bitloom.packet_offsets(data[prefix:] if not prefix else data, "ccsds")] if not prefix else []
    if prefix:  # a recorder's marker before each packet
        position = 0
        while position + prefix + 6 <= len(data):
            start = position + prefix
            position = start + 7 + (data[start + 4] << 8 | data[start + 5])
            offsets.append((start, position))
    by_container = {}
    for start, end in offsets:
        packet = data[start:end]
        if packets.startswith("ctim"):  # CTIM's packet types go by APID alone: quicker than decoding
            name = f"APID_{int.from_bytes(packet[:2], 'big') & 0x7FF}_Packet"
        else:
            name = definition.decode_with_container(packet)[0]
        by_container.setdefault(name, []).append(packet)
        if len(by_container[name]) <= 5:
            values = definition.decode(packet, raw=True)
            assert described(definition, name, definition.encode(name, values, raw=True)) == \
                described(definition, name, packet)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        tables = definition.decode_file(data, raw=True, prefix_bytes=prefix)
    for name, columns in tables.items():
        again = definition.encode_many(name, columns, raw=True)
        original = b"".join(by_container[name])
        if name in ("APID_1_Packet", "APID_20_Packet"):
            assert len(again) == len(original) and again != original
            k = 0
            for packet in by_container[name]:
                assert described(definition, name, again[k:k + len(packet)]) == described(definition, name, packet)
                k += len(packet)
        else:
            assert again == original, name


def described(definition, container, packet):
    """The packet with the bits past its container's last field cleared."""
    plan = definition._encoder.plan(container)
    if not plan.fixed:
        return packet
    end = max(start + bits for start, bits in plan.places)
    value = int.from_bytes(packet, "big") >> (len(packet) * 8 - end) << (len(packet) * 8 - end)
    return value.to_bytes(len(packet), "big")


# -- encodings of numbers --------------------------------------------------------------------------

@pytest.mark.parametrize("encoding, values, outside", [
    ('sizeInBits="12"', [0, 0xABC, 4095], 4096),
    ('encoding="twosComplement" sizeInBits="16"', [-32768, -2, 32767], -32769),
    ('encoding="onesComplement" sizeInBits="8"', [-127, -1, 0, 127], -128),
    ('encoding="signMagnitude" sizeInBits="8"', [-127, -5, 127], 128),
    ('encoding="BCD" sizeInBits="16"', [0, 19, 99], 100),
    ('encoding="packedBCD" sizeInBits="16"', [0, 1234, 9999], 10000),
    ('sizeInBits="16" byteOrder="leastSignificantByteFirst"', [0x1234, 1], -1),
    ('sizeInBits="12" bitOrder="leastSignificantBitFirst"', [0x801, 0xABC], 1 << 12),
    ('encoding="twosComplement" sizeInBits="64"', [-(1 << 63), (1 << 63) - 1], 1 << 63),
    ('sizeInBits="64" byteOrder="leastSignificantByteFirst"', [(1 << 64) - 1, 7], 1 << 64),
])
def test_integer_encodings_both_ways(encoding, values, outside):
    definition = single(integer("Integer", f"<xtce:IntegerDataEncoding {encoding}/>"))
    packets = [definition.encode("P", {"v": v, "after": 7}) for v in values]
    assert [definition.decode(p) for p in packets] == [{"v": v, "after": 7} for v in values]
    assert definition.encode_many("P", {"v": values, "after": [7] * len(values)}) == b"".join(packets)
    for bad in (outside, 1.5, "1"):
        with pytest.raises(ValueError, match=r"^v: .*(outside the range|not an integer)"):
            definition.encode("P", {"v": bad, "after": 7})
        with pytest.raises(ValueError, match=r"^v: "):
            definition.encode_many("P", {"v": values + [bad], "after": [7] * (len(values) + 1)})


@pytest.mark.parametrize("form, bits, limit", [
    ("IEEE754", 16, 65504.0), ("IEEE754_1985", 32, 3.4028234663852886e38), ("IEEE754", 64, None),
    ("MILSTD_1750A", 32, 1.7e38), ("MILSTD_1750A", 48, 1.7e38), ("DEC", 32, 1.7e38), ("DEC", 64, 1.7e38),
    ("IBM", 32, 7.2e75), ("IBM", 64, 7.2e75), ("TI", 32, 3.4e38), ("TI", 40, 3.4e38), ("IEEE754_1985", 80, None),
    ("IEEE754", 128, None),
])
def test_float_encodings_both_ways(form, bits, limit):
    definition = single(integer("Float", f'<xtce:FloatDataEncoding encoding="{form}" sizeInBits="{bits}"/>'))
    values = [-2.75, 0.0, 1.5, 1e5 if bits > 16 else 1e4]
    packets = [definition.encode("P", {"v": v, "after": 7}) for v in values]
    assert [definition.decode(p)["v"] for p in packets] == values
    assert definition.encode_many("P", {"v": np.array(values), "after": [7] * 4}) == b"".join(packets)
    if limit is not None:  # past the format's largest value: refused, never infinity
        for encode in (lambda v: definition.encode("P", {"v": v, "after": 7}),
                       lambda v: definition.encode_many("P", {"v": [1.0, v], "after": [7, 7]})):
            with pytest.raises(ValueError, match=r"^v: .*(out of range|outside the range)"):
                encode(limit * 4)


# -- inverse calibration ---------------------------------------------------------------------------

def calibrated(calibrator, encoding='sizeInBits="8"', kind="Float"):
    return single(integer(kind, f'<xtce:IntegerDataEncoding {encoding}><xtce:DefaultCalibrator>{calibrator}'
                                 '</xtce:DefaultCalibrator></xtce:IntegerDataEncoding>'))


def poly(*terms):
    return "<xtce:PolynomialCalibrator>" + "".join(
        f'<xtce:Term coefficient="{c}" exponent="{e}"/>' for c, e in terms) + "</xtce:PolynomialCalibrator>"


def spline(points, order=1, extrapolate="false"):
    return f'<xtce:SplineCalibrator order="{order}" extrapolate="{extrapolate}">' + "".join(
        f'<xtce:SplinePoint raw="{r}" calibrated="{c}"/>' for r, c in points) + "</xtce:SplineCalibrator>"


@pytest.mark.parametrize("calibrator, encoding", [
    (poly((-40.0, 0), (0.1, 1)), 'sizeInBits="8"'),  # linear: solved directly
    (poly((1e6, 0), (-3.0e-3, 1)), 'encoding="twosComplement" sizeInBits="16"'),  # decreasing
    (POLY, 'sizeInBits="8"'),  # 0.5 + 0.25 x^2: monotonic over 0..255, by bisection
    (poly((0.0, 0), (1.0, 1), (1e-7, 3)), 'encoding="twosComplement" sizeInBits="32"'),
    (spline([(0, 1), (10, 3), (20, 7)], extrapolate="true"), 'sizeInBits="8"'),
    (spline([(-5, 10), (300, -20)]), 'encoding="twosComplement" sizeInBits="12"'),
])
def test_every_calibrated_value_inverts_to_its_raw_value_and_between_values_to_the_nearest(calibrator, encoding):
    definition = calibrated(calibrator, encoding)
    enc = definition.parameters["v"].type.encoding
    lo, hi = integer_range(enc)
    raws = np.arange(max(lo, -300), min(hi, 300) + 1)
    if "-5" in calibrator:
        raws = raws[(raws >= -5) & (raws <= 300)]
    values = definition.parameters["v"].type.calibrate(raws)
    packets = definition.encode_many("P", {"v": values, "after": np.full(len(raws), 7)})
    size = len(packets) // len(raws)
    assert [definition.decode(packets[k:k + size], raw=True)["v"] for k in range(0, len(packets), size)] == raws.tolist()
    # A value 40% of the way to the next raw value's goes to the nearer, 60% to the farther.
    fraction = values[:-1] + 0.4 * np.diff(values), values[:-1] + 0.6 * np.diff(values)
    for parts, expected in zip(fraction, (raws[:-1], raws[1:])):
        got = [definition.decode(definition.encode("P", {"v": float(x), "after": 7}), raw=True)["v"] for x in parts[::25]]
        assert got == expected[::25].tolist()


@pytest.mark.parametrize("calibrator, value, message", [
    (poly((-40.0, 0), (0.1, 1)), -40.2, r"-40\.2 is outside the range -40\.0 to -14\.5\d* of its calibrated values"),
    (poly((-40.0, 0), (0.1, 1)), -14.44, r"-14\.44 is outside the range"),  # past half a step
    (poly((0, 0), (-1, 1), (0.01, 2)), 3.0, r"not monotonic over the raw range 0 to 255 \(it turns near raw 50\)"),
    (spline([(0, 1), (10, 3), (20, -1)]), 2.0, r"not monotonic \(its calibrated points rise and fall\)"),
    (spline([(0, 1), (10, 3), (20, 7)], order=0), 2.0, r"2\.0 is not one of the levels"),
    (poly((5, 0)), 5.0, r"constant: no inverse"),
    (poly((-40.0, 0), (0.1, 1)), float("nan"), r"NaN has no raw value"),
    (poly((-40.0, 0), (0.1, 1)), float("inf"), r"inf is outside the range"),  # was the top raw value
    (POLY, float("-inf"), r"-inf is outside the range"),
    (poly((-40.0, 0), (0.1, 1)), 10 ** 400, r"1\.00000e\+400 is (outside|beyond) the range"),  # was an OverflowError
])
def test_values_without_a_raw_value_are_refused(calibrator, value, message):
    definition = calibrated(calibrator)
    with pytest.raises(ValueError, match=r"^v: .*" + message):
        definition.encode("P", {"v": value, "after": 7})
    with pytest.raises(ValueError, match=r"^v: .*" + message):
        definition.encode_many("P", {"v": [value], "after": [7]})


def _linear_inverse(a, b, encoding):
    from bitloom_xtce._model import ParameterType, Polynomial
    kind = "float" if isinstance(encoding, FloatEncoding) else "integer"
    ptype = ParameterType("v", kind, dataclasses.replace(encoding, calibrator=Polynomial(((b, 0), (a, 1)))))
    return inverse_for("v", ptype, ptype.encoding.calibrator)


def _outcome(function, *args):
    try:
        return function(*args)
    except ValueError as e:
        return str(e)


LINEAR_ENCODINGS = [IntegerEncoding(8, "unsigned", "unsigned"), IntegerEncoding(12, "twosComplement", "int"),
                    IntegerEncoding(16, "signMagnitude", "sign_magnitude"), IntegerEncoding(32, "unsigned", "unsigned"),
                    IntegerEncoding(64, "twosComplement", "int"), IntegerEncoding(64, "unsigned", "unsigned"),
                    FloatEncoding(32, "IEEE754_1985", "ieee754_f32"), FloatEncoding(64, "IEEE754_1985", "ieee754_f64")]


@settings(max_examples=400, deadline=None)
@given(encoding=st.sampled_from(LINEAR_ENCODINGS),
       a=st.one_of(st.floats(1e-30, 1e30), st.sampled_from([1.0, 0.1, 0.125, 1e-12, 3.0])).flatmap(
           lambda m: st.sampled_from([m, -m])),
       b=st.one_of(st.floats(-1e30, 1e30), st.sampled_from([0.0, -40.0, 1e10, 0.5])),
       where=st.floats(-0.2, 1.2), nudge=st.sampled_from([0.0, 0.5, 0.4999999, -0.5, 1e-9]))
def test_linear_inverse_equals_the_search(encoding, a, b, where, nudge):
    """One value of a linear calibration, solved in Python numbers, is the raw value (or the
    refusal) that the bisection over the raw range gives, and the column path's."""
    inverse = _linear_inverse(a, b, encoding)
    search = dataclasses.replace(inverse, affine=None)
    lo, hi = inverse.calibrated_ends()
    k = round(inverse.lo + where * (inverse.hi - inverse.lo)) if not inverse.floats else None
    value = lo + where * (hi - lo) if k is None else float(inverse.forward(k) + nudge * a)
    if not np.isfinite(value):
        return
    expected = _outcome(lambda: search("v", np.array([value])).tolist()[0])
    assert _outcome(inverse.one, "v", value) == expected
    assert _outcome(lambda: inverse("v", np.array([value])).tolist()[0]) == expected


@settings(max_examples=200, deadline=None)
@given(encoding=st.sampled_from(LINEAR_ENCODINGS[:4] + LINEAR_ENCODINGS[6:]),
       terms=st.lists(st.floats(-1e3, 1e3), min_size=3, max_size=4), where=st.floats(-0.1, 1.1))
def test_one_value_of_a_polynomial_equals_the_column_search(encoding, terms, where):
    """Bisection in Python numbers for one value gives what the column's bisection gives."""
    from bitloom_xtce._model import ParameterType, Polynomial
    kind = "float" if isinstance(encoding, FloatEncoding) else "integer"
    ptype = ParameterType("v", kind, dataclasses.replace(
        encoding, calibrator=Polynomial(tuple((c, e) for e, c in enumerate(terms)))))
    try:
        inverse = inverse_for("v", ptype, ptype.encoding.calibrator)
    except ValueError:  # not monotonic, or constant
        return
    lo, hi = inverse.calibrated_ends()
    value = lo + where * (hi - lo)
    if not np.isfinite(value):
        return
    assert _outcome(inverse.one, "v", value) == _outcome(lambda: inverse("v", np.array([value])).tolist()[0])


@pytest.mark.parametrize("calibrator, value, raw", [
    (poly((1.0, 0), (2.0, 1)), -7.5, -4.25),  # linear: solved in binary64
    (poly((0.0, 0), (1.0, 1), (1.0, 3)), 10.0, 2.0),  # monotonic: bisection over binary64 values
    (poly((0.0, 0), (1.0, 1), (1.0, 3)), 1e20, 4641589.0),  # and rounded to the binary32 field
])
def test_calibrated_float_encodings(calibrator, value, raw):
    definition = single(integer("Float", f'<xtce:FloatDataEncoding sizeInBits="32"><xtce:DefaultCalibrator>'
                                         f'{calibrator}</xtce:DefaultCalibrator></xtce:FloatDataEncoding>'))
    packets = [definition.encode("P", {"v": value, "after": 7}),
               definition.encode_many("P", {"v": [value], "after": [7]})]
    assert [definition.decode(p, raw=True)["v"] for p in packets] == [raw, raw]


def test_order_0_spline_levels_context_calibrators_times_enumerations_and_booleans():
    steps = calibrated(spline([(0, 1), (10, 3), (20, 7)], order=0))
    assert [steps.decode(steps.encode("P", {"v": v, "after": 7}), raw=True)["v"] for v in (1, 3, 7)] == [0, 10, 20]
    context = ccsds_definition(integer("Float", CONTEXT))
    values = {"v": [4.5, -4.0, 4.5], "SHF": [0, 0, 0]}
    packets = context.encode_many("P1", values, sequence_count=1)
    assert context.decode_file(packets)["P1"]["v"].tolist() == values["v"]
    assert context.encode("P1", {"v": -4.0, "SHF": 0}, sequence_count=2) == packets[7:14]
    time = ccsds_definition('<xtce:AbsoluteTimeParameterType name="T"><xtce:Encoding scale="0.5" offset="10">'
                            '<xtce:IntegerDataEncoding sizeInBits="8"/></xtce:Encoding><xtce:ReferenceTime>'
                            '<xtce:Epoch>TAI</xtce:Epoch></xtce:ReferenceTime></xtce:AbsoluteTimeParameterType>')
    # 12 s after the TAI epoch, when TAI - UTC is taken as 10 s
    assert time.encode("P1", {"v": np.datetime64("1958-01-01T00:00:02"), "SHF": 0})[-1] == 4
    with pytest.raises(ValueError, match="12.0 is not a time"):
        time.encode("P1", {"v": 12.0, "SHF": 0})
    with pytest.raises(ValueError, match=r"^v: 380\.0 is outside the range 0\.0 to 255\.0"):  # (200 s - 10 s) / 0.5
        time.encode("P1", {"v": np.datetime64("1958-01-01T00:03:10"), "SHF": 0})
    labels = ccsds_definition(ENUM)
    assert [labels.encode("P1", {"v": v, "SHF": 0})[-1] for v in ("OFF", "ON", "HIGH")] == [0, 1, 5]
    with pytest.raises(ValueError, match=r"^v: 'WARM' is not one of its labels \('OFF', 'ON', 'HIGH'\)"):
        labels.encode_many("P1", {"v": ["ON", "WARM"], "SHF": [0, 0]})
    flags = ccsds_definition('<xtce:BooleanParameterType name="T"><xtce:IntegerDataEncoding sizeInBits="8"/>'
                             '</xtce:BooleanParameterType>')
    assert flags.encode_many("P1", {"v": [True, False], "SHF": [0, 0]})[6::7] == b"\x01\x00"
    with pytest.raises(ValueError, match=r"^v: 'yes' is not a boolean"):
        flags.encode("P1", {"v": "yes", "SHF": 0})


# -- text and binary fields ------------------------------------------------------------------------

@pytest.mark.parametrize("charset, size, before, text, data", [
    ("UTF-8", FIXED.format(bits=24, inner=""), "", "hé", "hé".encode()),
    ("US-ASCII", FIXED.format(bits=32, inner=TERM.format("00")), "", "ab", b"ab\0\0"),
    ("US-ASCII", FIXED.format(bits=32, inner=TERM.format("00")), "", "abcd", b"abcd"),  # fills it: no end
    ("ISO-8859-1", FIXED.format(bits=32, inner=LEAD), "", "éz", b"\x02\xe9z\0"),
    ("Windows-1252", DYNAMIC.format(inner=""), "n", "€a", b"\x02\x80a"),
    ("UTF-16BE", DYNAMIC.format(inner=TERM.format("0000")), "n", "\u0100", b"\x04\x01\x00\x00\x00"),
    ("UTF-8", '<xtce:Variable maxSizeInBits="80">' + TERM.format("00") + "</xtce:Variable>", "", "abc", b"abc\0"),
    ("UTF-8", '<xtce:Variable maxSizeInBits="80">' + LEAD + "</xtce:Variable>", "", "ok", b"\x02ok"),
    ("UTF-16LE", FIXED.format(bits=32, inner=TERM.format("0000")), "", "\u0100", b"\x00\x01\x00\x00"),
    ("UTF-32", FIXED.format(bits=64, inner=""), "", "A", b"\0\0\xfe\xff\0\0\0A"),
])
def test_text_fields_both_ways(charset, size, before, text, data):
    definition = single(STRING.format(charset=charset, size=size), before)
    packet = definition.encode("P", {"v": text, "after": 7})
    assert packet == data + b"\x07"
    assert definition.decode(packet)["v"] == text
    assert definition.encode("P", definition.decode(packet, raw=True), raw=True) == packet
    assert definition.encode_many("P", {"v": [text, text], "after": [7, 7]}) == packet * 2


@pytest.mark.parametrize("charset, size, before, value, message", [
    ("UTF-8", FIXED.format(bits=24, inner=""), "", "ab", r"2 bytes in UTF-8; its field is 3 bytes.*exactly that size"),
    ("UTF-8", FIXED.format(bits=24, inner=""), "", "abcd", r"4 bytes in UTF-8; its field is 3 bytes"),
    ("US-ASCII", FIXED.format(bits=32, inner=TERM.format("00")), "", "a\0b", r"holds its termination character 0x00"),
    ("US-ASCII", FIXED.format(bits=32, inner=TERM.format("00")), "", "é", r"cannot be written in US-ASCII"),
    ("ISO-8859-1", FIXED.format(bits=32, inner=LEAD), "", "abcd", r"takes 40 bits in ISO-8859-1, its field 32"),
    ("UTF-8", '<xtce:Variable maxSizeInBits="24">' + TERM.format("00") + "</xtce:Variable>", "", "abc",
     r"a field of 32 bits, more than its maximum of 24"),
    ("UTF-8", '<xtce:Variable maxSizeInBits="8000">' + LEAD + "</xtce:Variable>", "", "x" * 256,
     r"more than its 8-bit size tag counts"),
    ("UTF-8", FIXED.format(bits=24, inner=""), "", b"abc", r"is not text"),
])
def test_text_that_does_not_fit_is_refused(charset, size, before, value, message):
    definition = single(STRING.format(charset=charset, size=size), before)
    with pytest.raises(ValueError, match=r"^v: .*" + message):
        definition.encode("P", {"v": value, "after": 7})


def test_sizes_from_other_parameters_and_binary_data():
    dynamic = single(BINARY.format('<xtce:DynamicValue><xtce:ParameterInstanceRef parameterRef="n" '
                                   'useCalibratedValue="false"/><xtce:LinearAdjustment slope="8" intercept="-8"/>'
                                   '</xtce:DynamicValue>'), "n")
    assert dynamic.encode("P", {"v": b"\x01\x02", "after": 7}) == b"\x03\x01\x02\x07"
    assert dynamic.encode("P", {"v": b"", "after": 7, "n": 1}) == b"\x01\x07"
    with pytest.raises(ValueError, match=r"^v: 1 bytes for a field of 16 bits"):
        dynamic.encode("P", {"v": b"\x01", "after": 7, "n": 3})
    many = dynamic.encode_many("P", {"v": [b"", b"abc"], "after": [1, 2]})
    assert many == b"\x01\x01\x04abc\x02"
    fixed = single(BINARY.format("<xtce:FixedValue>12</xtce:FixedValue>"))
    assert fixed.encode("P", {"v": b"\x0a\xbc", "after": 7}) == b"\xab\xc0\x70"
    for value, message in ((b"\xfa\xbc", r"does not fit a field of 12 bits"), (b"\x0a", r"1 bytes for a field of 12"),
                           ("0abc", r"is not bytes")):
        with pytest.raises(ValueError, match=r"^v: .*" + message):
            fixed.encode("P", {"v": value, "after": 7})
    raw_text = single(STRING.format(charset="UTF-8", size='<xtce:Variable maxSizeInBits="80">' + TERM.format("00")
                                    + "</xtce:Variable>"))
    with pytest.raises(ValueError, match=r"^v: 0x6162 is not a field of its encoding: no termination character"):
        raw_text.encode("P", {"v": b"ab", "after": 7}, raw=True)


# -- containers, criteria, the CCSDS header --------------------------------------------------------

def test_restriction_criteria_fill_their_parameters_and_refuse_contradictions():
    definition = ccsds_definition(ENUM, child("A", cmp("==", 1)) + child("A_ON", cmp("==", "ON", "v"), "", "A")
                                  + child("A_HIGH", cmp("==", "HIGH", "v"), "", "A") + child("B", cmp("&gt;", 1)))
    packet = definition.encode("A_HIGH", {"SHF": 0})
    assert definition.decode_with_container(packet) == ("A_HIGH", {**definition.decode(packet), "v": "HIGH"})
    assert definition.decode(packet)["APID"] == 1
    assert definition.decode(definition.encode("B", {"SHF": 1, "v": "OFF", "APID": 9}))["APID"] == 9
    refusals = [
        ("A_ON", {"SHF": 0, "APID": 2}, r"restriction of container 'A', APID == 1, does not hold: APID is 2"),
        ("A_ON", {"SHF": 0, "v": "HIGH"}, r"restriction of container 'A_ON', v == 'ON', does not hold: v is 'HIGH'"),
        ("B", {"SHF": 0, "v": "ON"}, r"no value for 'APID'"),
        ("A", {"SHF": 0, "v": "ON"}, r"'A_ON', v == 'ON', holds: the packet would decode as that container"),
        ("B", {"SHF": 0, "v": "ON", "APID": 0}, r"container 'B', APID > 1, does not hold: APID is 0"),
        ("CCSDS", {}, r"container 'CCSDS' is abstract: encode one of its inheritors \(A, B, A_ON, A_HIGH\)"),
        ("Z", {}, r"no container named 'Z'"),
        ("B", {"SHF": 0, "v": "ON", "APID": 3, "w": 1}, r"container 'B' \(with its base containers\) has no parameter 'w'"),
        ("B", {"v": "ON", "APID": 3}, r"no value for 'SHF' \(container 'B': not given"),
    ]
    for container, values, message in refusals:
        with pytest.raises(ValueError, match=message):
            definition.encode(container, values)


def test_ccsds_length_and_sequence_counts():
    definition = ccsds_definition(integer("Integer", '<xtce:IntegerDataEncoding sizeInBits="16"/>'))
    first, second = (definition.encode("P1", {"v": 5, "SHF": 0}) for _ in range(2))
    assert first.hex() == "0001c00000010005" and second[2:4] == b"\xc0\x01"
    assert definition.encode("P1", {"v": 5, "SHF": 0, "SEQF": 1}, sequence_count=0x3FFF)[2:4] == b"\x7f\xff"
    assert definition.encode("P1", {"v": 5, "SHF": 0, "LEN": 3}) == bytes.fromhex("0001c002000300050000")
    with pytest.raises(ValueError, match=r"^LEN: 0 is less than the packet's data length 1"):
        definition.encode("P1", {"v": 5, "SHF": 0, "LEN": 0})
    with pytest.raises(ValueError, match=r"a sequence count both as sequence_count and as 'SEQC'"):
        definition.encode("P1", {"v": 5, "SHF": 0, "SEQC": 1}, sequence_count=2)
    counts = definition.encode_many("P1", {"v": np.arange(4), "SHF": np.zeros(4, int)})
    assert [int.from_bytes(counts[k + 2:k + 4], "big") & 0x3FFF for k in range(0, 32, 8)] == [3, 4, 5, 6]
    # The counter is one per APID, shared by every thread encoding with the definition.
    seen = []
    threads = [threading.Thread(target=lambda: seen.extend(
        definition.decode(definition.encode("P1", {"v": 1, "SHF": 0}))["SEQC"] for _ in range(200)))
        for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(seen) == list(range(7, 807))
    plain = single(integer("Integer", '<xtce:IntegerDataEncoding sizeInBits="8"/>'))
    assert plain.encode("P", {"v": 1, "after": 2}) == b"\x01\x02"
    with pytest.raises(ValueError, match=r"no CCSDS primary header"):
        plain.encode("P", {"v": 1, "after": 2}, sequence_count=1)


def test_initial_values_fill_what_is_not_given():
    definition = single(integer("Integer", '<xtce:IntegerDataEncoding sizeInBits="8"/>', ' initialValue="9"'))
    assert definition.encode("P", {"after": 1}) == b"\x09\x01"
    text = document(ENUM, '<xtce:Parameter name="a" parameterTypeRef="U8" initialValue="0x10"/>'
                               '<xtce:Parameter name="v" parameterTypeRef="T" initialValue="HIGH"/>',
                    '<xtce:SequenceContainer name="P"><xtce:EntryList><xtce:ParameterRefEntry parameterRef="a"/>'
                    '<xtce:ParameterRefEntry parameterRef="v"/></xtce:EntryList></xtce:SequenceContainer>')
    assert bitloom_xtce.load(text).encode("P", {}) == b"\x10\x05"


# -- checks ----------------------------------------------------------------------------------------

CATALOGUE = {  # name: (width, polynomial, initial value, reflected in, reflected out, final XOR, check of "123456789")
    "CRC-16/CCITT-FALSE": (16, 0x1021, 0xFFFF, False, False, 0, 0x29B1),
    "CRC-32/ISO-HDLC": (32, 0x04C11DB7, 0xFFFFFFFF, True, True, 0xFFFFFFFF, 0xCBF43926),
    "CRC-32C": (32, 0x1EDC6F41, 0xFFFFFFFF, True, True, 0xFFFFFFFF, 0xE3069283),
    "CRC-16/ARC": (16, 0x8005, 0, True, True, 0, 0xBB3D),
    "CRC-8/SMBUS": (8, 0x07, 0, False, False, 0, 0xF4),
    "CRC-64/XZ": (64, 0x42F0E1EBA9EA3693, (1 << 64) - 1, True, True, (1 << 64) - 1, 0x995DC9BBDF1939FA),
    "CRC-64/ECMA-182": (64, 0x42F0E1EBA9EA3693, 0, False, False, 0, 0x6C40DF5F0B497347),
    "CRC-5/USB": (5, 0x05, 0x1F, True, True, 0x1F, 0x19),
    "CRC-3/GSM": (3, 0x3, 0, False, False, 0x7, 0x4),
    "CRC-12/UMTS": (12, 0x80F, 0, False, True, 0, 0xDAF),
    "CRC-24/OPENPGP": (24, 0x864CFB, 0xB704CE, False, False, 0, 0x21CF02),
    "CRC-14/DARC": (14, 0x0805, 0, True, True, 0, 0x082D),
    "CRC-10/ATM": (10, 0x233, 0, False, False, 0, 0x199),
    "CRC-31/PHILIPS": (31, 0x04C11DB7, 0x7FFFFFFF, False, False, 0x7FFFFFFF, 0x0CE9E46C),
}


@pytest.mark.parametrize("name", list(CATALOGUE))
def test_crc_catalogue_check_values(name):
    width, poly_, init, refin, refout, xorout, check = CATALOGUE[name]
    crc = Crc(width, poly_, init, xorout, refin, refout)
    rows = np.frombuffer(b"123456789" * 3, dtype=np.uint8).reshape(3, 9)
    assert crc.one(b"123456789") == check
    assert crc.many(Covered.rows(rows)).tolist() == [check] * 3


def test_crcs_agree_with_an_independent_library():
    crc = pytest.importorskip("crc")

    # The library reflects a CRC whose width is not whole bytes differently from the catalogue
    # (its CRC-12/UMTS of "123456789" is 0xda, not 0xdaf): those widths are compared unreflected
    # only, and the catalogue covers their reflections.
    @settings(max_examples=60, deadline=None)
    @given(width=st.integers(8, 64), data=st.data(), message=st.binary(max_size=40))
    def check(width, data, message):
        poly_, init, xorout = (data.draw(st.integers(0, (1 << width) - 1)) for _ in range(3))
        refin, refout = (data.draw(st.booleans()), data.draw(st.booleans())) if width % 8 == 0 else (False, False)
        reference = crc.Calculator(crc.Configuration(width, poly_, init, xorout, refin, refout))
        ours = Crc(width, poly_, init, xorout, refin, refout)
        assert ours.one(message) == reference.checksum(message)
        rows = np.frombuffer(message * 2, dtype=np.uint8).reshape(2, len(message))
        assert ours.many(Covered.rows(rows)).tolist() == [reference.checksum(message)] * 2

    check()


def fletcher(data, unit):  # the running sums, written plainly
    modulus, a, b = (1 << unit) - 1, 0, 0
    bits = "".join(f"{byte:08b}" for byte in data)
    bits += "0" * (-len(bits) % unit)
    for k in range(0, len(bits), unit):
        a = (a + int(bits[k:k + unit], 2)) % modulus
        b = (b + a) % modulus
    return b << unit | a


@pytest.mark.parametrize("message", [b"", b"abcde", b"abcdef", bytes(range(256)) * 3])
def test_checksums_against_plain_loops(message):
    import zlib
    for unit in (2, 4, 8, 16):
        assert Checksum(f"fletcher{2 * unit}").one(message) == fletcher(message, unit)
    assert Checksum("adler32").one(message) == zlib.adler32(message)
    assert Checksum("sum16").one(message) == sum(message) & 0xFFFF
    value = 0
    for byte in message:  # BSD sum
        value = (((value >> 1) | (value & 1) << 15) + byte) & 0xFFFF
    assert Checksum("unix_sum").one(message) == value
    ragged = Covered(np.frombuffer(message + b"\xff" * 3, np.uint8), np.array([0, 0]), np.array([len(message), 0]))
    assert Checksum("fletcher16").many(ragged).tolist() == [fletcher(message, 8), 0]


PEC = ('<xtce:IntegerParameterType name="PEC_T"><xtce:IntegerDataEncoding sizeInBits="{bits}">'
       '<xtce:ErrorDetectCorrect>{check}</xtce:ErrorDetectCorrect></xtce:IntegerDataEncoding></xtce:IntegerParameterType>')
CCITT = ('<xtce:CRC width="16" {where}><xtce:Polynomial>1021</xtce:Polynomial><xtce:InitRemainder>FFFF'
         '</xtce:InitRemainder></xtce:CRC>')


@pytest.mark.parametrize("check, bits, where", [
    (CCITT.format(where=""), 16, (0, -2)),
    (CCITT.format(where='reference="end" bitsFromReference="16"'), 16, (0, -2)),
    (CCITT.format(where='bitsFromReference="48"'), 16, (6, -2)),  # the data field only
    ('<xtce:Checksum name="adler32"/>', 32, (0, -4)),
    ('<xtce:Parity type="Odd" bitsFromReference="48"/>', 8, (6, -1)),
])
def test_declared_checks_are_filled_in_and_verified(check, bits, where):
    definition = ccsds_definition(U8.replace('"U8"', '"T"') + PEC.format(bits=bits, check=check),
                                  child("P1", cmp("==", 1), '<xtce:ParameterRefEntry parameterRef="v"/>'
                                                            '<xtce:ParameterRefEntry parameterRef="PEC"/>'),
                                  '<xtce:Parameter name="PEC" parameterTypeRef="PEC_T"/>')
    algorithm = definition.parameters["PEC"].type.encoding.check
    packets = definition.encode_many("P1", {"v": np.arange(3), "SHF": np.zeros(3, int)})
    size = len(packets) // 3
    for k in range(3):
        packet = packets[k * size:(k + 1) * size]
        assert definition.encode("P1", {"v": k, "SHF": 0}, sequence_count=k) == packet
        expected = algorithm.compute(packet, 8 * where[0], 8 * (size + where[1]))
        assert definition.decode(packet)["PEC"] == expected
        assert definition.encode("P1", {"v": k, "SHF": 0, "PEC": expected}, sequence_count=k) == packet
    with pytest.raises(ValueError, match=r"^PEC: .* given, but the packet's check value is"):
        definition.encode("P1", {"v": 2, "SHF": 0, "PEC": expected ^ 1}, sequence_count=2)
    broken = bytearray(packets)
    broken[size + 6] ^= 0x10  # the second packet's v
    with pytest.raises(PacketError, match=r"PEC is 0x[0-9a-f]+, the packet's .* is 0x"):
        definition.decode(bytes(broken[size:2 * size]))
    with pytest.warns(bitloom_xtce.DecodeWarning):
        tables = definition.decode_file(bytes(broken))
    assert tables["P1"]["v"].tolist() == [0, 2]
    assert list(tables.skipped.values()) == [(1, size)]


@pytest.mark.parametrize("check, message", [
    ('<xtce:Checksum name="luhn"/>', r"checks decimal digits"),
    ('<xtce:Checksum name="sum8" hashSizeInBits="16"/>', r"hashSizeInBits 16: sum8 gives 8 bits"),
    ('<xtce:CRC width="8"><xtce:Polynomial>1021</xtce:Polynomial></xtce:CRC>', r"0x1021 does not fit a CRC of 8"),
    ('<xtce:CRC><xtce:Polynomial>xyz</xtce:Polynomial></xtce:CRC>', r"'xyz' is not hexadecimal"),
    ('<xtce:Parity type="Even" reference="middle" bitsFromReference="0"/>', r"reference 'middle' is not supported"),
])
def test_unsupported_checks_are_refused_when_loading(check, message):
    with pytest.raises(bitloom_xtce.XtceError, match=message):
        ccsds_definition(PEC.format(bits=16, check=check).replace('"PEC_T"', '"T"'))


# -- many packets of different sizes and field places ------------------------------------------------

# Packet layouts (after a CCSDS header, unless "packets of"): name:type in packet order; u3 / s12
# integers, bits*n / bytes*k binary sized by n in bits or k in bytes, ended / tag8 / tag4 text
# ended by a zero byte or after a size tag, +parity / +crc a check, @16 at bit 16 of the container.
LAYOUTS = {
    "binary of any bits": "a:u3 n:u8 v:bits*n b:u5 c:s12 d:u8",
    "two fields of variable size, parity": "a:u4 n:u8 k:u8 v:bytes*k w:bits*n p:u1+parity b:u9",
    "terminated and size-tagged text, CRC": "a:u3 b:u5 v:ended w:tag8 c:u16 crc:u16+crc",
    "packet length given longer": "a:u3 b:u13",
    "packets of a text and 4 bits": "v:tag4 b:u4",  # each text starts at its packet's first bit
    "overlapping fields": "k:u8 v:bytes*k w:u8@16",  # where v reaches w, the builder's order decides
}
CHECKS = {"parity": '<xtce:Parity type="Odd" bitsFromReference="48"/>', "crc": CCITT.format(where="")}


def _type(name, form):
    kind, _, check = form.partition("+")
    if kind[0] in "us":
        check = f"<xtce:ErrorDetectCorrect>{CHECKS[check]}</xtce:ErrorDetectCorrect>" if check else ""
        return (f'<xtce:IntegerParameterType name="{name}_T"><xtce:IntegerDataEncoding sizeInBits="{kind[1:]}" '
                f'encoding="{"unsigned" if kind[0] == "u" else "twosComplement"}">{check}</xtce:IntegerDataEncoding>'
                '</xtce:IntegerParameterType>')
    if "*" in kind:
        unit, size = kind.split("*")
        return (f'<xtce:BinaryParameterType name="{name}_T"><xtce:BinaryDataEncoding><xtce:SizeInBits><xtce:DynamicValue>'
                f'<xtce:ParameterInstanceRef parameterRef="{size}"/><xtce:LinearAdjustment slope="'
                f'{1 if unit == "bits" else 8}"/></xtce:DynamicValue></xtce:SizeInBits></xtce:BinaryDataEncoding>'
                '</xtce:BinaryParameterType>')
    inner = TERM.format("00") if kind == "ended" else LEAD.replace('"8"', f'"{kind[3:]}"')
    return (f'<xtce:StringParameterType name="{name}_T"><xtce:StringDataEncoding encoding="US-ASCII"><xtce:Variable '
            f'maxSizeInBits="800">{inner}</xtce:Variable></xtce:StringDataEncoding></xtce:StringParameterType>')


def _layout_definition(layout):
    fields = [(name, *form.split("@")) for name, form in (f.split(":") for f in LAYOUTS[layout].split())]
    entries = "".join(f'<xtce:ParameterRefEntry parameterRef="{name}">' + (
        f'<xtce:LocationInContainerInBits referenceLocation="containerStart"><xtce:FixedValue>{at[0]}</xtce:FixedValue>'
        '</xtce:LocationInContainerInBits>' if at else "") + '</xtce:ParameterRefEntry>' for name, _, *at in fields)
    types = "".join(_type(name, form) for name, form, *_ in fields)
    parameters = "".join(f'<xtce:Parameter name="{name}" parameterTypeRef="{name}_T"/>' for name, *_ in fields)
    if layout.startswith("packets of"):
        return bitloom_xtce.load(document(types, parameters, '<xtce:SequenceContainer name="P1"><xtce:EntryList>'
                                          f'{entries}</xtce:EntryList></xtce:SequenceContainer>'))
    return bitloom_xtce.load(document(HEADER + types, HEADER_PARAMS + parameters,
                                      '<xtce:SequenceContainer name="CCSDS" abstract="true"><xtce:EntryList>'
                                      f'{HEADER_ENTRIES}</xtce:EntryList></xtce:SequenceContainer>'
                                      + child("P1", cmp("==", 1), entries)))


def _drawn(definition, layout, rng, n):
    """Values of the layout's parameters but the sizes of bytes and the checks (computed)."""
    columns = {"SHF": rng.integers(0, 2, n), "LEN": 1 + rng.integers(0, 4, n)} if definition._encoder.header else {}
    if not layout.endswith("longer"):
        columns.pop("LEN", None)
    computed = {form.split("*")[1] for form in LAYOUTS[layout].split() if "bytes*" in form}
    columns.update({form.split("*")[1]: rng.integers(0, 41, n) for form in LAYOUTS[layout].split() if "bits*" in form})
    for name, form in (f.split(":") for f in LAYOUTS[layout].split()):
        if form.startswith("bits*"):  # right-aligned bytes of as many bits as the size says
            columns[name] = np.array([int(rng.integers(0, 1 << int(s))).to_bytes((int(s) + 7) // 8, "big")
                                      for s in columns[form[5:]]] + [None], dtype=object)[:-1]
        elif form.startswith("bytes*"):
            columns[name] = np.array([rng.bytes(int(k)) for k in rng.integers(0, 6, n)] + [None], dtype=object)[:-1]
        elif form in ("ended", "tag8", "tag4"):
            columns[name] = ["".join(chr(c) for c in rng.integers(0x20, 0x7F, int(k))) for k in rng.integers(0, 9, n)]
        elif "+" not in form and name not in computed and name not in columns:
            columns[name] = rng.integers(*integer_range(definition.parameters[name].type.encoding), n, endpoint=True)
    return columns


@pytest.mark.parametrize("layout", list(LAYOUTS))
@settings(max_examples=15, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(1, 12), piece=st.sampled_from([1 << 22, 5]))
def test_packets_of_different_layouts_are_the_same_as_one_at_a_time(layout, seed, n, piece):
    # (`piece`: the bytes laid out with one set of index arrays, small to lay out a few at a time)
    definition = _layout_definition(layout)
    columns = _drawn(definition, layout, np.random.default_rng(seed), n)
    counted = definition._encoder.header is not None
    with mock.patch("bitloom_xtce._layout.PIECE", piece), mock.patch("bitloom_xtce._encode.PIECE", piece):
        packets = definition.encode_many("P1", columns, sequence_count=0 if counted else None)
    assert packets == b"".join(definition.encode("P1", {k: v[i] for k, v in columns.items()},
                                                 sequence_count=i if counted else None) for i in range(n))
    if counted and layout != "overlapping fields":  # (packets without a header do not split)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert definition.encode_many("P1", definition.decode_file(packets)["P1"]) == packets


@pytest.mark.parametrize("layout, name, value", [
    ("terminated and size-tagged text, CRC", "v", "a\0b"),  # holds its terminator
    ("terminated and size-tagged text, CRC", "w", "x" * 256),  # more than its size tag counts
    ("terminated and size-tagged text, CRC", "v", "é"),  # not US-ASCII
    ("terminated and size-tagged text, CRC", "w", 5),
    ("binary of any bits", "v", b"\xff\xff"),  # more bytes than its size in bits
    ("binary of any bits", "v", b"\x0f"),  # a bit set before its field
    ("two fields of variable size, parity", "v", "abc"),
])
def test_bad_values_in_columns_are_refused_as_one_at_a_time(layout, name, value):
    definition = _layout_definition(layout)
    columns = _drawn(definition, layout, np.random.default_rng(0), 4)
    if "n" in columns:  # 3 bits in the field that n sizes
        columns["n"][:] = 3
        sized = next(f.split(":")[0] for f in LAYOUTS[layout].split() if f.endswith("bits*n"))
        columns[sized] = np.array([b"\x05"] * 4, dtype=object)
    columns[name] = np.array(list(columns[name]), dtype=object)
    columns[name][2] = value
    with pytest.raises(ValueError) as one:
        definition.encode("P1", {k: v[2] for k, v in columns.items()})
    with pytest.raises(ValueError) as many:
        definition.encode_many("P1", columns)
    assert str(many.value) == str(one.value) and str(one.value).startswith(f"{name}: ")


# -- the command line ------------------------------------------------------------------------------

def test_encode_command_from_csv_and_parquet(tmp_path, capsys):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    from bitloom_xtce._cli import main
    xml = DATA / "jpss1_geolocation_xtce_v1.xml"
    definition = load("jpss1_geolocation_xtce_v1.xml")
    packets = read("jpss_packets.bin.gz")[:71 * 5]
    columns = definition.decode_file(packets)["JPSS_ATT_EPHEM"]
    pq.write_table(pa.table({k: v for k, v in columns.items()}), tmp_path / "values.parquet")
    csv = tmp_path / "values.csv"
    csv.write_text(",".join(columns) + "\n" + "\n".join(
        ",".join(repr(float(v)) if isinstance(v, float) else str(v) for v in row)
        for row in zip(*(c.tolist() for c in columns.values()))) + "\n")
    for table in ("values.parquet", "values.csv"):
        out = tmp_path / "out.bin"
        assert main(["encode", str(xml), str(tmp_path / table), "--out", str(out)]) == 0
        assert out.read_bytes() == packets
    assert "5 packets of JPSS_ATT_EPHEM (355 bytes) written to" in capsys.readouterr().out
    bad = tmp_path / "bad.csv"
    bad.write_text("DOY,NOPE\n1,2\n")
    (tmp_path / "values.txt").write_text("DOY\n1\n")
    for table, status, message in [(bad, 1, "has no parameter 'NOPE'"),
                                   (tmp_path / "values.txt", 1, "not a table this command reads: .txt"),
                                   (tmp_path / "none.csv", 2, "table .*none.csv: no such file")]:
        assert main(["encode", str(xml), str(table), "--out", str(tmp_path / "x.bin")]) == status
        err = capsys.readouterr().err
        assert err.startswith("error: ") and err.count("\n") == 1 and re.search(message, err)


NESTED = (
    '<xtce:SequenceContainer name="Row"><xtce:EntryList><xtce:ParameterRefEntry parameterRef="m"/>'
    '<xtce:ParameterRefEntry parameterRef="v"><xtce:RepeatEntry><xtce:Count><xtce:DynamicValue><xtce:ParameterInstanceRef '
    'parameterRef="m"/></xtce:DynamicValue></xtce:Count></xtce:RepeatEntry></xtce:ParameterRefEntry></xtce:EntryList>'
    '</xtce:SequenceContainer><xtce:SequenceContainer name="P"><xtce:EntryList><xtce:ParameterRefEntry '
    'parameterRef="n"/><xtce:ContainerRefEntry containerRef="Row"><xtce:RepeatEntry><xtce:Count><xtce:DynamicValue>'
    '<xtce:ParameterInstanceRef parameterRef="n"/></xtce:DynamicValue></xtce:Count></xtce:RepeatEntry>'
    '</xtce:ContainerRefEntry></xtce:EntryList></xtce:SequenceContainer>')


@pytest.mark.parametrize("given, packet", [
    ({"n": 2, "m": [2, 1], "v": [[1, 2], [3]]}, "02" "020102" "0103"),
    ({"v": [[1, 2], [3]]}, "02" "020102" "0103"),  # the container's count, and each row's, from the values
    ({"v": [[], [4, 5, 6]], "m": [0, 3]}, "02" "00" "03040506"),
    ({"v": []}, "00"),
    ({"v": [[1, 2], [3]], "m": [1, 1]}, "v: 2 occurrences given, its entry repeats 1 times"),
    ({"v": [[1, 2], [3]], "n": 1}, "v: 2 occurrences given, its entry repeats 1 times"),  # n given: it holds
])
def test_counts_of_a_repeated_container_and_of_repeats_inside_it(given, packet):
    params = "".join(f'<xtce:Parameter name="{n}" parameterTypeRef="U8"/>' for n in "nmv")
    definition = bitloom_xtce.load(document("", params, NESTED), root="P")
    if not re.fullmatch("[0-9a-f]+", packet):
        with pytest.raises(ValueError, match=re.escape(packet)):
            definition.encode("P", given)
        return
    made = definition.encode("P", given)
    assert made.hex() == packet
    decoded = definition.decode(made)
    assert decoded["n"] == len(given["v"]) and [list(row) for row in decoded["v"]] == given["v"]
    assert definition.encode("P", decoded) == made
