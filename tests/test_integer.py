"""Sign-magnitude, ones' complement and two's complement codecs."""
import pytest
from hypothesis import given, strategies as st

from bitloom import (
    decode_ones_complement, decode_sign_magnitude, decode_twos_complement,
    encode_ones_complement, encode_sign_magnitude, encode_twos_complement,
)

MAX64 = 2**64 - 1
MIN_I64 = -(2**63)
MAX_I64 = 2**63 - 1

ENCODED = [
    (encode_sign_magnitude, -5, 8, 0x85),
    (encode_sign_magnitude, 127, 8, 127),
    (encode_sign_magnitude, 0, 2, 0),
    (encode_sign_magnitude, -1, 2, 3),
    (encode_sign_magnitude, -MAX_I64, 64, MAX64),
    (encode_sign_magnitude, MAX_I64, 64, MAX_I64),
    (encode_ones_complement, -1, 8, 254),
    (encode_ones_complement, -127, 8, 128),
    (encode_ones_complement, -1, 64, MAX64 - 1),
    (encode_ones_complement, MAX_I64, 64, MAX_I64),
    (encode_ones_complement, -MAX_I64, 64, 2**63),
    (encode_ones_complement, 0, 1, 0),
    (encode_ones_complement, 0, 0, 0),
    (encode_twos_complement, -1, 8, 255),
    (encode_twos_complement, -128, 8, 128),
    (encode_twos_complement, 127, 8, 127),
    (encode_twos_complement, -1, 1, 1),
    (encode_twos_complement, 0, 0, 0),
    (encode_twos_complement, -1, 64, MAX64),
    (encode_twos_complement, MIN_I64, 64, 2**63),
    (encode_twos_complement, MIN_I64, 63 + 1, 2**63),
    (encode_twos_complement, -(2**62), 63, 2**62),
]


@pytest.mark.parametrize("encode,value,bits,pattern", ENCODED)
def test_encode(encode, value, bits, pattern):
    assert encode(value, bits) == pattern
    assert encode(value=value, bits=bits) == pattern


ENCODE_FAILURES = [
    (encode_sign_magnitude, 0, 1, "bits must be between 2 and 64 for sign-magnitude encoding"),
    (encode_sign_magnitude, 0, 65, "bits must be between 2 and 64 for sign-magnitude encoding"),
    (encode_sign_magnitude, 10**9, 0, "bits must be between 2 and 64 for sign-magnitude encoding"),
    (encode_sign_magnitude, 128, 8, "Magnitude of 128 is too large for 8 bits"),
    (encode_sign_magnitude, -128, 8, "Magnitude of -128 is too large for 8 bits"),
    (encode_sign_magnitude, MIN_I64, 64, f"Magnitude of {MIN_I64} is too large for 64 bits"),
    (encode_ones_complement, 0, 65, "bits must be <= 64 for ones' complement encoding"),
    (encode_ones_complement, 128, 8, "Value 128 is too large for 8 bits"),
    (encode_ones_complement, -128, 8, "Value -128 is too large (magnitude) for 8 bits"),
    (encode_ones_complement, 1, 1, "Value 1 is too large for 1 bits"),
    (encode_ones_complement, -1, 1, "Value -1 is too large (magnitude) for 1 bits"),
    (encode_ones_complement, MIN_I64, 64, f"Value {MIN_I64} is too large (magnitude) for 64 bits"),
    (encode_ones_complement, 1, 0, "Value 1 is too large for 0 bits"),
    (encode_ones_complement, -1, 0, "Value -1 is too large (magnitude) for 0 bits"),
    (encode_twos_complement, 0, 65, "bits must be <= 64 for two's complement encoding"),
    (encode_twos_complement, 128, 8, "Value 128 out of range for 8 bits (range: -128 to 127)"),
    (encode_twos_complement, -129, 8, "Value -129 out of range for 8 bits (range: -128 to 127)"),
    (encode_twos_complement, 1, 1, "Value 1 out of range for 1 bits (range: -1 to 0)"),
    (encode_twos_complement, 1, 0, "Value 1 out of range for 0 bits (range: 0 to 0)"),
    (encode_twos_complement, -1, 0, "Value -1 out of range for 0 bits (range: 0 to 0)"),
    (encode_twos_complement, 2**62, 63,
     f"Value {2**62} out of range for 63 bits (range: {-(2**62)} to {2**62 - 1})"),
]


@pytest.mark.parametrize("encode,value,bits,message", ENCODE_FAILURES)
def test_encode_failures(encode, value, bits, message):
    with pytest.raises(ValueError) as info:
        encode(value, bits)
    assert info.value.args == (message,)


DECODED = [
    (decode_sign_magnitude, 133, 8, -5),
    (decode_sign_magnitude, 128, 8, 0),
    (decode_sign_magnitude, 0x185, 8, -5),
    (decode_sign_magnitude, 1, 1, 0),
    (decode_sign_magnitude, MAX64, 64, -MAX_I64),
    (decode_sign_magnitude, MAX64, 0, 0),
    (decode_sign_magnitude, MAX64, 65, -MAX_I64),
    (decode_sign_magnitude, 2**63 + 5, 4294967295, -5),
    (decode_ones_complement, 254, 8, -1),
    (decode_ones_complement, 255, 8, 0),
    (decode_ones_complement, 128, 8, -127),
    (decode_ones_complement, 127, 8, 127),
    (decode_ones_complement, 256, 8, 256),
    (decode_ones_complement, 510, 8, 255),
    (decode_ones_complement, MAX64, 64, 0),
    (decode_ones_complement, 2**63, 64, -MAX_I64),
    (decode_ones_complement, MAX64, 4294967295, 0),
    (decode_ones_complement, MAX64, 0, 0),
    (decode_twos_complement, 255, 8, -1),
    (decode_twos_complement, 128, 8, -128),
    (decode_twos_complement, 511, 8, -1),
    (decode_twos_complement, 256, 8, 256),
    (decode_twos_complement, 2**62, 63, -(2**62)),
    (decode_twos_complement, MAX64, 64, -1),
    (decode_twos_complement, MAX64, 4294967295, -1),
    (decode_twos_complement, MAX64, 0, 0),
]


@pytest.mark.parametrize("decode,pattern,bits,value", DECODED)
def test_decode(decode, pattern, bits, value):
    assert decode(pattern, bits) == value


PAIRS = [
    (encode_sign_magnitude, decode_sign_magnitude, 2, lambda n: 2 ** (n - 1) - 1),
    (encode_ones_complement, decode_ones_complement, 1, lambda n: 2 ** (n - 1) - 1),
    (encode_twos_complement, decode_twos_complement, 1, lambda n: 2 ** (n - 1)),
]


@pytest.mark.parametrize("encode,decode,min_bits,neg_limit", PAIRS)
@given(data=st.data())
def test_round_trip(encode, decode, min_bits, neg_limit, data):
    bits = data.draw(st.integers(min_bits, 64))
    value = data.draw(st.integers(-neg_limit(bits), 2 ** (bits - 1) - 1))
    pattern = encode(value, bits)
    assert 0 <= pattern < 2**bits
    assert decode(pattern, bits) == value


@pytest.mark.parametrize("encode,decode,min_bits,neg_limit", PAIRS)
@given(data=st.data())
def test_out_of_range_is_refused_not_wrapped(encode, decode, min_bits, neg_limit, data):
    bits = data.draw(st.integers(min_bits, 63))
    value = data.draw(st.one_of(st.integers(2 ** (bits - 1), MAX_I64),
                                st.integers(MIN_I64, -neg_limit(bits) - 1)))
    with pytest.raises(ValueError):
        encode(value, bits)


@given(st.integers(0, MAX64), st.integers(1, 63))
def test_twos_complement_decode_matches_arithmetic(pattern, bits):
    low = pattern % 2**bits
    expected = low - 2**bits if low >= 2 ** (bits - 1) else pattern
    if expected >= 2**63:
        expected -= 2**64  # a clear sign bit passes the whole pattern, read as signed 64-bit
    assert decode_twos_complement(pattern, bits) == expected
