"""IBM hexadecimal and DEC VAX floats against an exact rational model, and IBM decoding against
ibm2ieee."""

import math
import random
import struct
from fractions import Fraction

import numpy as np
import pytest

import bitloom

# name, decoder, encoder, fraction bits, single (binary32 argument)
IBM = [("IBM f32", bitloom.decode_ibm_f32, bitloom.encode_ibm_f32, 24, True),
       ("IBM f64", bitloom.decode_ibm_f64, bitloom.encode_ibm_f64, 56, False)]
DEC = [("DEC f32", bitloom.decode_dec_f32, bitloom.encode_dec_f32, 23, True),
       ("DEC f64", bitloom.decode_dec_f64, bitloom.encode_dec_f64, 55, False)]


def ids(rows):
    return [r[0] for r in rows]


def f32(bits):
    return struct.unpack(">f", struct.pack(">I", bits))[0]


def f64(bits):
    return struct.unpack(">d", struct.pack(">Q", bits))[0]


def same(a, b):
    """Equal as floats, sign of zero included."""
    return a == b and math.copysign(1, a) == math.copysign(1, b)


# The model: a pattern's exact value, and the pattern nearest a value (ties to even).

def ibm_value(pattern, fbits):
    sign, exponent, f = pattern >> (fbits + 7), (pattern >> fbits) & 0x7F, pattern & ((1 << fbits) - 1)
    return sign, Fraction(f, 1 << fbits) * Fraction(16) ** (exponent - 64)


def dec_value(pattern, fbits):
    """None for the reserved operand."""
    sign, exponent, f = pattern >> (fbits + 8), (pattern >> fbits) & 0xFF, pattern & ((1 << fbits) - 1)
    if exponent == 0:
        return None if sign else (0, Fraction(0))
    return sign, Fraction((1 << fbits) | f, 1 << (fbits + 1)) * Fraction(2) ** (exponent - 128)


def to_float(sign, value):
    return -float(value) if sign else float(value)  # Fraction -> float rounds to nearest even


def ibm_pattern(x, fbits):
    """None when out of range."""
    if not math.isfinite(x):
        return None
    sign, a = int(math.copysign(1, x) < 0), abs(Fraction(x))
    if a == 0:
        return sign << (fbits + 7)
    q = 0  # 16^(q-1) <= a < 16^q
    while Fraction(16) ** q <= a:
        q += 1
    while Fraction(16) ** (q - 1) > a:
        q -= 1
    f = round(a / Fraction(16) ** q * (1 << fbits))
    if f == 1 << fbits:
        f, q = f >> 4, q + 1
    if q + 64 > 127:
        return None
    if q + 64 < 0:
        return sign << (fbits + 7)
    return sign << (fbits + 7) | (q + 64) << fbits | f


def dec_pattern(x, fbits):
    if not math.isfinite(x):
        return None
    if x == 0:
        return 0
    sign, a = int(x < 0), abs(Fraction(x))
    e = 129 + math.floor(math.log2(a))  # 2^(e-129) <= a < 2^(e-128), after the corrections
    while Fraction(2) ** (e - 129) > a:
        e -= 1
    while Fraction(2) ** (e - 128) <= a:
        e += 1
    m = round(a / Fraction(2) ** (e - 128) * (1 << (fbits + 1)))
    if m == 1 << (fbits + 1):
        m, e = m >> 1, e + 1
    if e > 255:
        return None
    if e <= 0:
        return 0
    return sign << (fbits + 8) | e << fbits | (m - (1 << fbits))


def narrow32(x):
    """x as the 32-bit encoders take it: binary32, round to nearest even, infinity beyond."""
    try:
        return struct.unpack(">f", struct.pack(">f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def random_values(rng, single, count, low, high):
    """binary32 or binary64 values: random patterns, then random magnitudes 2^low to 2^high."""
    out = []
    for _ in range(count):
        out.append(f32(rng.getrandbits(32)) if single else f64(rng.getrandbits(64)))
        out.append(math.ldexp(rng.uniform(-1, 1), rng.randint(low, high)))
    return [narrow32(x) for x in out] if single else out


def shortest(x, single):
    """repr, with the shortest digits of the binary32 value for the 32-bit forms."""
    if math.isnan(x):
        return "nan"
    return str(np.float32(x)) if single and math.isfinite(x) else repr(x)


def check_encode(encode, model, name, x, single):
    want = model(x)
    if want is None:
        with pytest.raises(ValueError) as info:
            encode(x)
        assert str(info.value) == f"{shortest(x, single)} is out of range for {name}"
    else:
        assert encode(x) == want, (x, hex(want))


def check_decode(decode, model, name, pattern, width):
    want = model(pattern)
    if want is None:
        with pytest.raises(ValueError, match=f"^{name} pattern 0x{pattern:0{width // 4}X} denotes no value$"):
            decode(pattern)
    else:
        got = decode(pattern)
        assert same(got, to_float(*want)), (hex(pattern), got)


@pytest.mark.parametrize("fn, pattern, value", [
    (bitloom.decode_ibm_f32, 0xC276A000, -118.625),
    (bitloom.decode_ibm_f32, 0x41100000, 1.0),
    (bitloom.decode_ibm_f32, 0x42640000, 100.0),
    (bitloom.decode_ibm_f32, 0x40800000, 0.5),
    (bitloom.decode_ibm_f32, 0x41080000, 0.5),            # unnormalised: the same value
    (bitloom.decode_ibm_f32, 0x80000000, -0.0),
    (bitloom.decode_ibm_f32, 0x7F000000, 0.0),            # any zero fraction is zero
    (bitloom.decode_ibm_f32, 0x7FFFFFFF, (1 - 16.0**-6) * 16.0**63),
    (bitloom.decode_ibm_f32, 0x00100000, 16.0**-65),
    (bitloom.decode_ibm_f32, 0x00000001, 16.0**-70),      # unnormalised, the least
    (bitloom.decode_ibm_f64, 0xC276A00000000000, -118.625),
    (bitloom.decode_ibm_f64, 0x4110000000000000, 1.0),
    (bitloom.decode_ibm_f64, 0x41FFFFFFFFFFFFFF, 16.0),   # 56 ones round up a hex digit
    (bitloom.decode_ibm_f64, 0x4110000000000008, 1 + 2.0**-49),  # 53 bits: exact
    (bitloom.decode_ibm_f64, 0x4180000000000004, 8.0),    # 56 bits: tie, to even
    (bitloom.decode_ibm_f64, 0x418000000000000C, 8 + 2.0**-48),  # tie, to even, up
    (bitloom.decode_dec_f32, 0x40800000, 1.0),
    (bitloom.decode_dec_f32, 0xC0800000, -1.0),
    (bitloom.decode_dec_f32, 0x41000000, 2.0),
    (bitloom.decode_dec_f32, 0x40C00000, 1.5),
    (bitloom.decode_dec_f32, 0x00000000, 0.0),
    (bitloom.decode_dec_f32, 0x007FFFFF, 0.0),            # exponent 0, sign 0: zero
    (bitloom.decode_dec_f32, 0x00800000, 2.0**-128),
    (bitloom.decode_dec_f32, 0x7FFFFFFF, (1 - 2.0**-24) * 2.0**127),
    (bitloom.decode_dec_f64, 0x4080000000000000, 1.0),
    (bitloom.decode_dec_f64, 0x7FFFFFFFFFFFFFFF, 2.0**127),  # 56 ones round up
    (bitloom.decode_dec_f64, 0x4080000000000004, 1.0),       # tie, to even
    (bitloom.decode_dec_f64, 0x408000000000000C, 1 + 2.0**-51),
    (bitloom.decode_dec_f64, 0x0080000000000000, 2.0**-128),
])
def test_known_patterns(fn, pattern, value):
    assert same(fn(pattern), value)


@pytest.mark.parametrize("fn, value, pattern", [
    (bitloom.encode_ibm_f32, -118.625, 0xC276A000),
    (bitloom.encode_ibm_f32, 1.0, 0x41100000),
    (bitloom.encode_ibm_f32, -0.0, 0x80000000),
    (bitloom.encode_ibm_f32, 0.0, 0x00000000),
    (bitloom.encode_ibm_f32, 1 + 2.0**-21, 0x41100000),   # tie between 1 and 1 + 2^-20: to even
    (bitloom.encode_ibm_f32, 1 + 3 * 2.0**-21, 0x41100002),  # tie: up to even
    (bitloom.encode_ibm_f32, 1 + 2.0**-21 + 2.0**-23, 0x41100001),  # above the tie
    (bitloom.encode_ibm_f32, 2 - 2.0**-23, 0x41200000),   # rounds up to the next power of two
    (bitloom.encode_ibm_f32, 2.0**-149, 0x1B800000),      # the least binary32
    (bitloom.encode_ibm_f64, 1e-300, 0x0),                # below 16^-65
    (bitloom.encode_ibm_f64, -1e-300, 0x8000000000000000),
    (bitloom.encode_ibm_f64, 16.0**-65, 0x0010000000000000),
    (bitloom.encode_ibm_f64, (1 - 2.0**-53) * 16.0**63, 0x7FFFFFFFFFFFFFF8),
    (bitloom.encode_dec_f32, 1.0, 0x40800000),
    (bitloom.encode_dec_f32, -0.0, 0x00000000),           # DEC has one zero
    (bitloom.encode_dec_f32, 2.0**-128, 0x00800000),
    (bitloom.encode_dec_f32, 2.0**-129, 0x00000000),      # below the least: zero
    (bitloom.encode_dec_f32, -2.0**-149, 0x00000000),
    (bitloom.encode_dec_f32, (1 - 2.0**-24) * 2.0**127, 0x7FFFFFFF),
    (bitloom.encode_dec_f64, 1.0, 0x4080000000000000),
    (bitloom.encode_dec_f64, -1.5, 0xC0C0000000000000),
    (bitloom.encode_dec_f64, (1 - 2.0**-53) * 2.0**127, 0x7FFFFFFFFFFFFFF8),
    (bitloom.encode_dec_f64, 2.0**-128, 0x0080000000000000),
    (bitloom.encode_dec_f64, -2.0**-128 * (1 - 2.0**-53), 0x0),
    (bitloom.encode_dec_f64, 5e-324, 0x0),
])
def test_known_values(fn, value, pattern):
    assert fn(value) == pattern


@pytest.mark.parametrize("fn, value, message", [
    (bitloom.encode_ibm_f64, 2.0**252, "7.237005577332262e+75 is out of range for IBM f64"),
    (bitloom.encode_ibm_f64, -1e300, "-1e+300 is out of range for IBM f64"),
    (bitloom.encode_ibm_f32, float("inf"), "inf is out of range for IBM f32"),
    (bitloom.encode_ibm_f32, float("-nan"), "nan is out of range for IBM f32"),
    (bitloom.encode_dec_f32, 2.0**127, "1.7014118e+38 is out of range for DEC f32"),  # binary32 digits
    (bitloom.encode_dec_f32, 3.4e38, "3.4e+38 is out of range for DEC f32"),
    (bitloom.encode_dec_f32, 1e300, "inf is out of range for DEC f32"),  # narrowed to binary32 first
    (bitloom.encode_dec_f64, -2.0**127, "-1.7014118346046923e+38 is out of range for DEC f64"),
    (bitloom.encode_dec_f64, float("nan"), "nan is out of range for DEC f64"),
])
def test_out_of_range_messages(fn, value, message):
    with pytest.raises(ValueError) as info:
        fn(value)
    assert str(info.value) == message


@pytest.mark.parametrize("fn, pattern, message", [
    (bitloom.decode_dec_f32, 0x80000000, "DEC f32 pattern 0x80000000 denotes no value"),
    (bitloom.decode_dec_f32, 0x807FFFFF, "DEC f32 pattern 0x807FFFFF denotes no value"),
    (bitloom.decode_dec_f64, 0x8000000000000001, "DEC f64 pattern 0x8000000000000001 denotes no value"),
])
def test_reserved_operand(fn, pattern, message):
    with pytest.raises(ValueError) as info:
        fn(pattern)
    assert str(info.value) == message


# family's models, pattern width over fraction bits, binary exponents of the random values
MODELS = {"IBM": (ibm_value, ibm_pattern, 8, -275, 260), "DEC": (dec_value, dec_pattern, 9, -140, 135)}


@pytest.mark.parametrize("name, decode, encode, fbits, single", IBM + DEC, ids=ids(IBM + DEC))
def test_against_model(name, decode, encode, fbits, single):
    value_model, pattern_model, extra, low, high = MODELS[name[:3]]
    rng = random.Random(fbits)
    width = fbits + extra
    for _ in range(3000):
        check_decode(decode, lambda p: value_model(p, fbits), name, rng.getrandbits(width), width)
    for x in random_values(rng, single, 3000, low, high):
        check_encode(encode, lambda v: pattern_model(v, fbits), name, x, single)


@pytest.mark.parametrize("name, decode, encode, fbits, single", IBM + DEC, ids=ids(IBM + DEC))
def test_round_trip(name, decode, encode, fbits, single):
    """Every encoded value decodes to itself where the format holds it (all in range but IBM f32)."""
    rng = random.Random(7)
    for x in random_values(rng, single, 2000, -100, 100)[1::2]:
        pattern = encode(x)
        back = decode(pattern)
        if name == "IBM f32":
            assert back == to_float(*ibm_value(pattern, fbits))
            assert abs(back - x) <= abs(x) * 2.0**-21
        else:
            assert back == x or (x == 0 and back == 0)


@pytest.mark.parametrize("fn", [bitloom.decode_ibm_f32, bitloom.decode_dec_f32])
def test_32_bit_decoders_read_the_low_32_bits(fn):
    assert same(fn(0xFFFFFFFF00000000 | 0x41100000), fn(0x41100000))


def test_ibm_decoding_against_ibm2ieee():
    ibm2ieee = pytest.importorskip("ibm2ieee")
    np = pytest.importorskip("numpy")
    rng = random.Random(360)
    singles = [rng.getrandbits(32) for _ in range(20000)] + [0, 0x80000000, 0x00000001, 0xFFFFFFFF]
    doubles = [rng.getrandbits(64) for _ in range(20000)] + [0x41FFFFFFFFFFFFFF, 0x4180000000000004,
                                                             0x418000000000000C, 0xFFFFFFFFFFFFFFFF]
    for patterns, dtype, decode in ((singles, np.uint32, bitloom.decode_ibm_f32),
                                    (doubles, np.uint64, bitloom.decode_ibm_f64)):
        reference = ibm2ieee.ibm2float64(np.array(patterns, dtype=dtype))
        for p, want in zip(patterns, reference.tolist()):
            assert same(decode(p), want), hex(p)
