"""MIL-STD-1750A and TI TMS320C3x/C4x floats against an exact model of each format."""

import math
import random
import struct
from fractions import Fraction

import numpy as np
import pytest

import bitloom


# Both families write value = M x 2^(E - q) with a two's complement significand M normalised into
# [2^(q-1), 2^q) or [-2^q, -2^(q-1)): 1750A with q the fraction's bits after its sign, TI with
# q one more than its fraction bits and E one more than its exponent field.
class Format:
    def __init__(self, name, width, q, e_min, e_max):
        self.name, self.width, self.q, self.e_min, self.e_max = name, width, q, e_min, e_max
        self.encode = getattr(bitloom, "encode_" + name)
        self.decode = getattr(bitloom, "decode_" + name)
        self.single = width == 32
        self.exponent_shift = q if isinstance(self, Ti) else 0 if width == 32 else 16


class MilStd1750a(Format):
    label = "MIL-STD-1750A"

    def fields(self, p):
        if self.width == 32:
            m, e = p >> 8, p & 0xFF
        else:
            m, e = ((p >> 24) << 16) | (p & 0xFFFF), (p >> 16) & 0xFF
        n = self.q + 1
        return m - ((m >> (n - 1)) << n), e - ((e >> 7) << 8)

    def value(self, p):
        m, e = self.fields(p)
        return Fraction(m, 2 ** self.q) * Fraction(2) ** e

    def pattern(self, m, e):
        m %= 2 ** (self.q + 1)
        e %= 256
        if self.width == 32:
            return (m << 8) | e
        return ((m >> 16) << 24) | (e << 16) | (m & 0xFFFF)

    zero = 0


class Ti(Format):
    label = "TI"

    def value(self, p):
        n = self.q - 1  # fraction bits
        e = p >> self.q
        e -= (e >> 7) << 8
        s, f = (p >> n) & 1, p & (2 ** n - 1)
        if e == -128:
            return Fraction(0)
        return ((-2 if s else 1) + Fraction(f, 2 ** n)) * Fraction(2) ** e

    def pattern(self, m, e):
        n = self.q - 1  # fraction bits; m / 2^q x 2^e is (+-1.F or -2 + 0.F) x 2^(e-1)
        s = 1 if m < 0 else 0
        f = (m + 2 ** self.q) if s else m - 2 ** n
        return (((e - 1) % 256) << self.q) | (s << n) | f

    @property
    def zero(self):
        return 0x80 << self.q


FORMATS = [
    MilStd1750a("mil_std_1750a_f32", 32, 23, -128, 127),
    MilStd1750a("mil_std_1750a_f48", 48, 39, -128, 127),
    Ti("ti_f32", 32, 24, -126, 128),
    Ti("ti_f40", 40, 32, -126, 128),
]
IDS = [f.name for f in FORMATS]


def as_single(x):
    """The binary32 value a Python float becomes as the 32-bit encoders' argument."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def model_encode(fmt, x):
    """Pattern of the value nearest x (ties to even significand), or None when out of range:
    searched over the normalised significands of the exponents around x, before range limits."""
    if fmt.single:
        x = as_single(x)
    if math.isinf(x) or math.isnan(x):
        return None
    v = Fraction(x)
    if v == 0:
        return fmt.zero
    best = None
    t = math.floor(math.log2(abs(v))) + 1  # |v| in about [2^(t-1), 2^t)
    for e in range(t - 2, t + 3):
        scaled = v * Fraction(2) ** (fmt.q - e)
        lo, hi = (2 ** (fmt.q - 1), 2 ** fmt.q - 1) if v > 0 else (-(2 ** fmt.q), -(2 ** (fmt.q - 1)) - 1)
        for m in {min(max(math.floor(scaled), lo), hi), min(max(math.ceil(scaled), lo), hi)}:
            key = (abs(v - Fraction(m) * Fraction(2) ** (e - fmt.q)), m & 1)
            if best is None or key < best[0]:
                best = (key, m, e)
    _, m, e = best
    if e > fmt.e_max:
        return None
    if e < fmt.e_min:
        return fmt.zero
    return fmt.pattern(m, e)


def model_normalise(fmt, p):
    """The normalised pattern of a pattern's value (the format's zero for values that have none)."""
    v = fmt.value(p)
    return model_encode(fmt, float(v)) if v else fmt.zero


def random_patterns(fmt, count, seed):
    rng = random.Random(seed)
    for i in range(count):
        p = rng.getrandbits(fmt.width)
        if i % 3 == 0:  # exponents at and next to their extremes
            e = rng.choice((-128, -127, -126, -1, 0, 1, 126, 127)) % 256
            p = (p & ~(0xFF << fmt.exponent_shift)) | (e << fmt.exponent_shift)
        yield p


EXAMPLES = [
    ("mil_std_1750a_f32", 0x40000001, 1.0),
    ("mil_std_1750a_f32", 0x50000004, 10.0),
    ("mil_std_1750a_f32", 0x400000FF, 0.25),
    ("mil_std_1750a_f32", 0x80000000, -1.0),
    ("mil_std_1750a_f32", 0x00000000, 0.0),
    ("mil_std_1750a_f48", 0xA00000FF0000, -0.375),
    ("mil_std_1750a_f48", 0x400000010000, 1.0),
    ("ti_f32", 0x00000000, 1.0),
    ("ti_f32", 0x01C00000, -3.0),
    ("ti_f32", 0x80000000, 0.0),
    ("ti_f40", 0x0000000000, 1.0),
    ("ti_f40", 0x01C0000000, -3.0),
    ("ti_f40", 0x8000000000, 0.0),
]
BY_NAME = {f.name: f for f in FORMATS}


@pytest.mark.parametrize("name, pattern, value", EXAMPLES)
def test_examples(name, pattern, value):
    fmt = BY_NAME[name]
    assert fmt.decode(pattern) == value
    assert fmt.encode(value) == pattern
    assert fmt.value(pattern) == value  # the model agrees


@pytest.mark.parametrize("fmt", FORMATS, ids=IDS)
def test_random_patterns_decode_exactly(fmt):
    for p in random_patterns(fmt, 20000, fmt.width):
        got = fmt.decode(p)
        assert Fraction(got) == fmt.value(p), hex(p)
        assert math.copysign(1, got) == 1 or got != 0
        assert fmt.encode(got) == model_normalise(fmt, p), hex(p)


def perturbed_values(fmt, seed):
    """Binary64 values at, beside and halfway between the format's values, and anywhere."""
    rng = random.Random(seed)
    for p in random_patterns(fmt, 2500, seed):
        v = fmt.value(p)
        if v == 0:
            continue
        ulp = Fraction(2) ** (math.floor(math.log2(abs(v))) - fmt.q)
        for d in (0, ulp, -ulp, ulp / 2, -ulp / 2, ulp / 4):
            yield float(v + d)
            yield math.nextafter(float(v + d), math.inf)
    for _ in range(3000):
        yield struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        e = rng.randrange(-160, 160)
        yield rng.choice((-1, 1)) * rng.random() * 2.0 ** e


def check_encode(fmt, x):
    want = model_encode(fmt, x)
    if want is None:
        with pytest.raises(ValueError) as info:
            fmt.encode(x)
        # The 32-bit forms hold a binary32 and name it with binary32's shortest digits.
        held = repr(x) if not fmt.single else "nan" if math.isnan(x) else str(np.float32(as_single(x)))
        assert str(info.value) == f"{held} is out of range for {fmt.label} f{fmt.width}"
    else:
        assert fmt.encode(x) == want, (x, hex(want))


@pytest.mark.parametrize("fmt", FORMATS, ids=IDS)
def test_values_round_to_nearest_even(fmt):
    for x in perturbed_values(fmt, fmt.width + 1):
        check_encode(fmt, x)


def edge_values(fmt):
    q = fmt.q
    two = Fraction(2)
    if isinstance(fmt, MilStd1750a):
        largest = (1 - two ** -q) * two ** 127
        most_negative = -(two ** 127)
        least = two ** -129
        least_negative = -(two ** -129) * (1 + two ** (1 - q))
    else:
        largest = (2 - two ** (1 - q)) * two ** 127
        most_negative = -(two ** 128)
        least = two ** -127
        least_negative = -(two ** -127) * (1 + two ** (1 - q))
    for v in (largest, most_negative, least, least_negative):
        for scale in (1, 1 + two ** -(q + 1), 1 - two ** -(q + 1), 1 + two ** -(q + 2), 1 - two ** -(q + 2),
                      1 + two ** -50, 1 - two ** -50, 2, Fraction(1, 2)):
            yield float(v * scale)
    yield from (0.0, -0.0, 2.0 ** 127, -(2.0 ** 127), 2.0 ** 128, -(2.0 ** 128), 2.0 ** -128, -(2.0 ** -128),
                2.0 ** -129, -(2.0 ** -129), 2.0 ** -130, 5e-324, -5e-324, 1.7976931348623157e308,
                -1.7976931348623157e308, 3.4028234663852886e38, -3.4028234663852886e38, 1e300, -1e300,
                math.inf, -math.inf, math.nan, -math.nan)


@pytest.mark.parametrize("fmt", FORMATS, ids=IDS)
def test_edges(fmt):
    for x in edge_values(fmt):
        check_encode(fmt, x)


@pytest.mark.parametrize("fmt", FORMATS, ids=IDS)
def test_signed_zeros_encode_to_the_format_zero(fmt):
    assert fmt.encode(0.0) == fmt.encode(-0.0) == fmt.zero
    assert math.copysign(1, fmt.decode(fmt.zero)) == 1


@pytest.mark.parametrize("fmt, pattern, value", [
    (BY_NAME["mil_std_1750a_f32"], 0x7FFFFF7F, (1 - 2.0 ** -23) * 2.0 ** 127),
    (BY_NAME["mil_std_1750a_f32"], 0x80000080, -(2.0 ** -128)),
    (BY_NAME["mil_std_1750a_f32"], 0x40000080, 2.0 ** -129),
    (BY_NAME["mil_std_1750a_f32"], 0x80000000 | 0x7F, -(2.0 ** 127)),
    (BY_NAME["mil_std_1750a_f48"], 0x7FFFFF7FFFFF, (1 - 2.0 ** -39) * 2.0 ** 127),
    (BY_NAME["mil_std_1750a_f48"], 0x8000007F0000, -(2.0 ** 127)),
    (BY_NAME["ti_f32"], 0x7F7FFFFF, (2 - 2.0 ** -23) * 2.0 ** 127),
    (BY_NAME["ti_f32"], 0x7F800000, -(2.0 ** 128)),
    (BY_NAME["ti_f32"], 0x81000000, 2.0 ** -127),
    (BY_NAME["ti_f40"], 0x7F7FFFFFFF, (2 - 2.0 ** -31) * 2.0 ** 127),
    (BY_NAME["ti_f40"], 0x7F80000000, -(2.0 ** 128)),
    (BY_NAME["ti_f40"], 0x81FFFFFFFF, -(2.0 ** -127) * (1 + 2.0 ** -31)),
], ids=lambda v: getattr(v, "name", str(v)))  # the same in every process (pytest-xdist's workers)
def test_extreme_patterns(fmt, pattern, value):
    assert fmt.decode(pattern) == value
    if not fmt.single or abs(value) < 2.0 ** 128:
        assert fmt.encode(value) == pattern


@pytest.mark.parametrize("fmt", FORMATS, ids=IDS)
def test_unnormalised_patterns_decode_to_their_value(fmt):
    if isinstance(fmt, Ti):
        # Exponent -128 is zero whatever the sign and fraction hold.
        for rest in (0, 1, 2 ** (fmt.q - 1), 2 ** fmt.q - 1):
            assert fmt.decode((0x80 << fmt.q) | rest) == 0.0
        return
    for m, e in ((1, 0), (-1, 5), (2 ** (fmt.q - 2), -128), (-(2 ** (fmt.q - 1)), 127), (3, -128)):
        p = fmt.pattern(m, e)
        assert fmt.decode(p) == m * 2.0 ** (e - fmt.q)
        assert fmt.encode(fmt.decode(p)) == model_normalise(fmt, p)


@pytest.mark.parametrize("x, text", [(math.inf, "inf"), (-math.inf, "-inf"), (math.nan, "nan"),
                                     (-math.nan, "nan"), (1e300, "1e+300"), (-1.5e200, "-1.5e+200"),
                                     (2.0 ** 128, "3.402823669209385e+38"),
                                     (1.7976931348623157e308, "1.7976931348623157e+308")])
def test_out_of_range_message_uses_repr(x, text):
    assert text == repr(x).replace("-nan", "nan")
    for fmt in (BY_NAME["mil_std_1750a_f48"], BY_NAME["ti_f40"]):
        with pytest.raises(ValueError, match=f"^{text.replace('+', '[+]')} is out of range for {fmt.label} f"):
            fmt.encode(x)
