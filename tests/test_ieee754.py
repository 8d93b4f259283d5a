"""IEEE 754 binary16/32/64/128 codecs, checked against struct, numpy and exact arithmetic."""

import math
import struct
import sys
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import bitloom

FLT_MAX = struct.unpack(">f", b"\x7f\x7f\xff\xff")[0]
# Halfway between FLT_MAX and 2^128: the first binary64 value that narrows to infinity.
F32_OVERFLOW = 2.0**128 - 2.0**103


def f64_bits(x):
    return struct.unpack(">Q", struct.pack(">d", x))[0]


def f64_from_bits(bits):
    return struct.unpack(">d", struct.pack(">Q", bits))[0]


def f32_pattern_by_struct(x):
    """struct's binary32 pattern; it refuses values that round past FLT_MAX, which are infinity."""
    try:
        return struct.unpack(">I", struct.pack(">f", x))[0]
    except OverflowError:
        return 0xFF800000 if x < 0 else 0x7F800000


def f16_by_numpy(values):
    """binary64 values -> binary32 (numpy) -> binary16 (numpy, one correctly rounded step)."""
    with np.errstate(over="ignore"):
        return np.asarray(values, dtype=np.float64).astype(np.float32).astype(np.float16).view(np.uint16)


# ---- encode_ieee754_f16 ---------------------------------------------------------------------

@pytest.mark.parametrize(
    "value, pattern",
    [
        (1.0, 0x3C00),
        (-2.5, 0xC100),
        (0.1, 0x2E66),
        (65504.0, 0x7BFF),
        (65519.0, 0x7BFF),
        (65520.0, 0x7C00),  # rounds up past the largest finite value
        (1e5, 0x7C00),
        (2.0**-24, 0x0001),
        (2.0**-25, 0x0000),  # tie, to even
        (1.5 * 2.0**-25, 0x0001),
        (1023.5 * 2.0**-24, 0x0400),  # tie between largest subnormal and smallest normal
        (1e-8, 0x0000),
        (-1e-8, 0x8000),
        (-0.0, 0x8000),
        (math.inf, 0x7C00),
        (-math.inf, 0xFC00),
        (math.nan, 0x7E00),
        (1e300, 0x7C00),  # infinity already in binary32
        # binary32 step lands exactly on a binary16 tie, which goes to even; a direct
        # binary64 -> binary16 rounding would give 0x3C01.
        (1 + 2.0**-11 + 2.0**-40, 0x3C00),
        (1 + 3 * 2.0**-11, 0x3C02),
        (1 + 2.0**-11 + 2.0**-20, 0x3C01),  # survives the binary32 step, so above the tie
    ],
)
def test_encode_f16_table(value, pattern):
    assert bitloom.encode_ieee754_f16(value) == pattern


def test_encode_f16_binary32_grid_vs_numpy():
    # Every binary32 pattern whose exponent is within reach of binary16, at a stride that hits
    # ties, sticky bits and carries; the binary64 input holds the binary32 value exactly.
    exponents = np.arange(96, 150, dtype=np.uint32)
    fractions = np.concatenate([
        np.arange(0, 1 << 23, 4093, dtype=np.uint32),
        np.array([0x1000, 0x1001, 0x3000, 0x2FFF, 0x7FF000, 0x7FEFFF, 0x7FFFFF], dtype=np.uint32),
    ])
    patterns = (exponents[:, None] << 23 | fractions[None, :]).ravel()
    patterns = np.concatenate([patterns, patterns | 0x80000000])
    values = patterns.view(np.float32).astype(np.float64)
    expected = f16_by_numpy(values)
    got = np.fromiter((bitloom.encode_ieee754_f16(v) for v in values.tolist()), np.uint16, len(values))
    bad = np.nonzero(got != expected)[0]
    assert bad.size == 0, [(hex(int(patterns[i])), hex(int(got[i])), hex(int(expected[i]))) for i in bad[:5]]


@settings(max_examples=3000)
@given(st.floats(allow_nan=False))
def test_encode_f16_matches_numpy_two_step(x):
    assert bitloom.encode_ieee754_f16(x) == int(f16_by_numpy([x])[0])


def test_encode_f16_rounds_twice_near_binary16_ties():
    # binary64 values a hair off a binary16 tie: the binary32 step lands on the tie (within
    # half a binary32 ulp) or beyond it, and only then is the tie broken to even.
    halves = np.arange(0, 0x7BFF, 7, dtype=np.uint16)
    low = halves.view(np.float16).astype(np.float64)
    high = (halves + 1).view(np.float16).astype(np.float64)
    ties = (low + high) / 2
    ulp32 = np.spacing(ties.astype(np.float32)).astype(np.float64)
    values = np.concatenate([ties + ulp32 * k for k in (-0.75, -0.5, -0.25, -2.0**-20, 0, 2.0**-20, 0.25, 0.5, 0.75)])
    values = np.concatenate([values, -values])
    got = np.fromiter((bitloom.encode_ieee754_f16(v) for v in values.tolist()), np.uint16, len(values))
    expected = f16_by_numpy(values)
    bad = np.nonzero(got != expected)[0]
    assert bad.size == 0, [(float(values[i]), hex(int(got[i])), hex(int(expected[i]))) for i in bad[:5]]


@pytest.mark.parametrize(
    "nan_bits, pattern",
    [
        (0x7FF8000000000000, 0x7E00),
        (0xFFF8000000000000, 0xFE00),
        (0x7FF0000000000001, 0x7E00),  # signalling, payload below the kept bits: quiet
        (0x7FF4000000000000, 0x7F00),  # signalling, top payload bit kept
        (0xFFFFFFFFFFFFFFFF, 0xFFFF),
        (0x7FF0040000000000, 0x7E01),  # lowest binary16 payload bit
    ],
)
def test_encode_f16_nan_payload(nan_bits, pattern):
    assert bitloom.encode_ieee754_f16(f64_from_bits(nan_bits)) == pattern


# ---- encode_ieee754_f32 / f64 -----------------------------------------------------------------

@pytest.mark.parametrize(
    "value, pattern",
    [
        (1.0, 0x3F800000),
        (1, 0x3F800000),
        (True, 0x3F800000),
        (-0.0, 0x80000000),
        (1e39, 0x7F800000),
        (-1e39, 0xFF800000),
        (F32_OVERFLOW, 0x7F800000),
        (-F32_OVERFLOW, 0xFF800000),
        (math.nextafter(F32_OVERFLOW, 0), 0x7F7FFFFF),
        (float(FLT_MAX), 0x7F7FFFFF),
        (10**40, 0x7F800000),
        (2.0**-149, 0x00000001),
        (2.0**-150, 0x00000000),  # tie, to even
        (1.5 * 2.0**-149, 0x00000002),  # tie, to even (up)
        (1e-50, 0x00000000),
        (math.nan, 0x7FC00000),
        (f64_from_bits(0x7FF0000000000001), 0x7FC00000),  # signalling NaN becomes quiet
        (f64_from_bits(0xFFF0000020000000), 0xFFC00001),  # payload's top 23 bits are kept
        (f64_from_bits(0x7FF7FFFFFFFFFFFF), 0x7FFFFFFF),
    ],
)
def test_encode_f32_table(value, pattern):
    assert bitloom.encode_ieee754_f32(value) == pattern


@settings(max_examples=1000)
@given(st.floats(allow_nan=False))
def test_encode_f32_matches_struct(x):
    assert bitloom.encode_ieee754_f32(x) == f32_pattern_by_struct(x)


@settings(max_examples=1000)
@given(st.floats())
def test_encode_f64_matches_struct(x):
    assert bitloom.encode_ieee754_f64(x) == f64_bits(x)


@pytest.mark.parametrize("bits", [0x7FF0000000000001, 0xFFF123456789ABCD, 0x7FF8000000000000])
def test_encode_f64_keeps_nan_payload(bits):
    assert bitloom.encode_ieee754_f64(f64_from_bits(bits)) == bits


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 3


@pytest.mark.parametrize("fn", [bitloom.encode_ieee754_f16, bitloom.encode_ieee754_f32,
                                bitloom.encode_ieee754_f64])
def test_encoders_accept_anything_float_converts(fn):
    assert fn(Floaty()) == fn(2.5)
    assert fn(Indexy()) == fn(3.0)
    assert fn(np.float32(0.1)) == fn(float(np.float32(0.1)))


@pytest.mark.parametrize("fn", [bitloom.encode_ieee754_f16, bitloom.encode_ieee754_f32,
                                bitloom.encode_ieee754_f64, bitloom.encode_ieee754_f128])
@pytest.mark.parametrize("bad, error", [("1.0", TypeError), (None, TypeError), ([1.0], TypeError),
                                        (10**400, OverflowError)])
def test_encoders_reject_non_numbers(fn, bad, error):
    with pytest.raises(error):
        fn(bad)


def test_encode_f128_keyword():
    assert bitloom.encode_ieee754_f128(_value=1.0) == 0x3FFF << 112
    with pytest.raises(TypeError):
        bitloom.encode_ieee754_f128(value=1.0)


# ---- decoders ---------------------------------------------------------------------------------

def test_decode_f16_all_patterns_vs_numpy():
    patterns = np.arange(1 << 16, dtype=np.uint32)
    got = np.array([f64_bits(bitloom.decode_ieee754_f16(int(p))) for p in patterns], dtype=np.uint64)
    reference = patterns.astype(np.uint16).view(np.float16).astype(np.float64)
    finite = ~np.isnan(reference)
    assert np.array_equal(got[finite], reference[finite].view(np.uint64))
    # NaN: quiet, sign and payload kept (payload lands at the top of the binary64 fraction).
    for p in patterns[~finite].tolist():
        want = (p & 0x8000) << 48 | 0x7FF8000000000000 | (p & 0x3FF) << 42
        assert int(got[p]) == want, hex(p)


@pytest.mark.parametrize(
    "pattern, value",
    [(0x3C00, 1.0), (0x13C00, 1.0), (0xFFFFFFFFFFFF3C00, 1.0), (0x0001, 2.0**-24),
     (0x7BFF, 65504.0), (0xFC00, -math.inf), (0x8000, -0.0), (0x2E66, 0.0999755859375)],
)
def test_decode_f16_table(pattern, value):
    assert f64_bits(bitloom.decode_ieee754_f16(pattern)) == f64_bits(value)


@settings(max_examples=1000)
@given(st.integers(0, 2**64 - 1))
def test_decode_f32_matches_struct(pattern):
    got = f64_bits(bitloom.decode_ieee754_f32(pattern))
    low = pattern & 0xFFFFFFFF
    if (low & 0x7F800000) == 0x7F800000 and (low & 0x7FFFFF):
        assert got == (low >> 31) << 63 | 0x7FF8000000000000 | (low & 0x7FFFFF) << 29
    else:
        assert got == f64_bits(struct.unpack(">f", low.to_bytes(4, "big"))[0])


@pytest.mark.parametrize("pattern", [0x00000001, 0x807FFFFF, 0x00400000, 0x13F800000])
def test_decode_f32_subnormals_and_high_bits(pattern):
    assert bitloom.decode_ieee754_f32(pattern) == struct.unpack(">f", (pattern & 0xFFFFFFFF).to_bytes(4, "big"))[0]


@settings(max_examples=1000)
@given(st.integers(0, 2**64 - 1))
def test_decode_f64_is_the_bits(pattern):
    assert f64_bits(bitloom.decode_ieee754_f64(pattern)) == pattern


F128_ONE = 0x3FFF << 112


@pytest.mark.parametrize(
    "pattern, value",
    [
        (F128_ONE, 1.0),
        (F128_ONE + 1, 1.0),
        (F128_ONE + (1 << 60) - 1, 1.0),
        (F128_ONE + (1 << 60), 1.0000000000000002),
        ((1 << 127) | F128_ONE, -1.0),
        (17406 << 112, 2.0**1023),
        ((17406 << 112) | ((1 << 112) - 1), sys.float_info.max),
        (17407 << 112, math.inf),
        ((1 << 127) | 17407 << 112, -math.inf),
        (15361 << 112, 2.0**-1022),
        ((15360 << 112) | ((1 << 112) - 1), 0.0),
        ((1 << 127) | 15360 << 112, -0.0),
        (1, 0.0),
        ((1 << 127) | 1, -0.0),
        ((1 << 127) | 0x7FFF << 112, -math.inf),
        (0x7FFF << 112, math.inf),
    ],
)
def test_decode_f128_table(pattern, value):
    assert f64_bits(bitloom.decode_ieee754_f128(pattern)) == f64_bits(value)


@pytest.mark.parametrize("pattern", [(1 << 127) | 0x7FFF << 112 | 1, 0x7FFF << 112 | 1 << 111,
                                     (1 << 128) - 1])
def test_decode_f128_nan_is_the_positive_quiet_nan(pattern):
    assert f64_bits(bitloom.decode_ieee754_f128(pattern)) == 0x7FF8000000000000


@settings(max_examples=1000)
@given(st.integers(0, 1), st.integers(15361, 17406), st.integers(0, 2**112 - 1))
def test_decode_f128_truncates_toward_zero(sign, exponent, fraction):
    exact = (1 + Fraction(fraction, 2**112)) * Fraction(2) ** (exponent - 16383)
    try:
        nearest = float(exact)
    except OverflowError:  # rounds past the largest binary64
        nearest = math.inf
    truncated = math.nextafter(nearest, 0.0) if nearest > exact else nearest
    pattern = sign << 127 | exponent << 112 | fraction
    assert bitloom.decode_ieee754_f128(pattern) == (-truncated if sign else truncated)


@pytest.mark.parametrize("fn", [bitloom.decode_ieee754_f16, bitloom.decode_ieee754_f32,
                                bitloom.decode_ieee754_f64])
@pytest.mark.parametrize("bad, error", [(-1, OverflowError), (2**64, OverflowError),
                                        (1.0, TypeError), ("1", TypeError), (None, TypeError)])
def test_decoders_reject_bad_patterns(fn, bad, error):
    with pytest.raises(error):
        fn(bad)


@pytest.mark.parametrize("fn", [bitloom.decode_ieee754_f16, bitloom.decode_ieee754_f32,
                                bitloom.decode_ieee754_f64, bitloom.decode_ieee754_f128])
def test_decoders_take_index_objects_and_the_full_range(fn):
    assert fn(Indexy()) == fn(3)
    fn(2**64 - 1)


def test_decode_f128_argument_errors():
    with pytest.raises(ValueError):
        bitloom.decode_ieee754_f128(-1)
    with pytest.raises(OverflowError, match="Python int larger than 128 bits"):
        bitloom.decode_ieee754_f128(2**128)
    with pytest.raises(TypeError):
        bitloom.decode_ieee754_f128(1.0)
    assert bitloom.decode_ieee754_f128(2**128 - 1) != bitloom.decode_ieee754_f128(2**128 - 1)  # NaN


@settings(max_examples=1000)
@given(st.floats(width=32))
def test_binary16_and_binary32_round_trips(x):
    if not math.isnan(x):
        assert bitloom.decode_ieee754_f32(bitloom.encode_ieee754_f32(x)) == x
    h = bitloom.encode_ieee754_f16(x)
    back = bitloom.decode_ieee754_f16(h)
    assert bitloom.encode_ieee754_f16(back) == h
