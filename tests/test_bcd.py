"""Packed and unpacked (zoned) binary-coded decimal."""
import time

import pytest
from hypothesis import given, strategies as st

from bitloom import decode_packed_bcd, decode_unpacked_bcd, encode_packed_bcd, encode_unpacked_bcd

ENCODED = [
    (encode_packed_bcd, 1234, 16, False, 0x1234),
    (encode_packed_bcd, 123, 16, True, 0x123C),
    (encode_packed_bcd, -123, 16, True, 0x123D),
    (encode_packed_bcd, 0, 4, True, 0xC),
    (encode_packed_bcd, 0, 4, False, 0),
    (encode_packed_bcd, 9, 4, False, 9),
    (encode_packed_bcd, 123, 15, False, 0x123),
    (encode_packed_bcd, 9999999999999999, 64, False, 0x9999999999999999),
    (encode_packed_bcd, 999999999999999, 64, True, 0x999999999999999C),
    (encode_packed_bcd, -999999999999999, 64, True, 0x999999999999999D),
    (encode_packed_bcd, 42, 4294967295, False, 0x42),
    (encode_unpacked_bcd, 123, 24, False, 0x010203),
    (encode_unpacked_bcd, 123, 24, True, 0xF1F2C3),
    (encode_unpacked_bcd, -123, 24, True, 0xF1F2D3),
    (encode_unpacked_bcd, 0, 16, True, 0xF0C0),
    (encode_unpacked_bcd, 0, 8, False, 0),
    (encode_unpacked_bcd, 99999999, 64, True, 0xF9F9F9F9F9F9F9C9),
    (encode_unpacked_bcd, 99999999, 64, False, 0x0909090909090909),
    (encode_unpacked_bcd, 7, 4294967295, False, 7),
]


@pytest.mark.parametrize("encode,value,bits,signed,pattern", ENCODED)
def test_encode(encode, value, bits, signed, pattern):
    assert encode(value, bits, signed) == pattern


ENCODE_FAILURES = [
    (encode_packed_bcd, 1234, 16, True, "Value 1234 has too many digits for 3 BCD digits"),
    (encode_packed_bcd, 5, 4, True, "Value 5 has too many digits for 0 BCD digits"),
    (encode_packed_bcd, 10, 4, False, "Value 10 has too many digits for 1 BCD digits"),
    (encode_packed_bcd, 12345, 15, False, "Value 12345 has too many digits for 3 BCD digits"),
    (encode_packed_bcd, -12345, 15, True, "Value -12345 has too many digits for 2 BCD digits"),
    (encode_packed_bcd, 5, 3, False, "bits must be >= 4 for packed BCD"),
    (encode_packed_bcd, -5, 3, False, "bits must be >= 4 for packed BCD"),
    (encode_packed_bcd, -1, 8, False, "Cannot encode negative value in unsigned BCD"),
    (encode_packed_bcd, -(2**63), 64, True,
     "Value -9223372036854775808 has too many digits for 15 BCD digits"),
    (encode_unpacked_bcd, 1000, 24, False, "Value 1000 has too many digits for 3 BCD digits"),
    (encode_unpacked_bcd, 5, 7, False, "bits must be >= 8 for unpacked BCD"),
    (encode_unpacked_bcd, -5, 8, False, "Cannot encode negative value in unsigned BCD"),
    # Wider than the 64-bit pattern can carry: refused instead of silently cut short.
    (encode_packed_bcd, 10**16, 68, False,
     "Value 10000000000000000 does not fit in a 64-bit BCD pattern for 68 bits"),
    (encode_packed_bcd, 10**15, 4294967295, True,
     "Value 1000000000000000 does not fit in a 64-bit BCD pattern for 4294967295 bits"),
    (encode_unpacked_bcd, 10**8, 72, False,
     "Value 100000000 does not fit in a 64-bit BCD pattern for 72 bits"),
    (encode_unpacked_bcd, 1, 72, True, "Value 1 does not fit in a 64-bit BCD pattern for 72 bits"),
]


@pytest.mark.parametrize("encode,value,bits,signed,message", ENCODE_FAILURES)
def test_encode_failures(encode, value, bits, signed, message):
    with pytest.raises(ValueError) as info:
        encode(value, bits, signed)
    assert info.value.args == (message,)


DECODED = [
    (decode_packed_bcd, 0x1234, 16, False, 1234),
    (decode_packed_bcd, 0x1234, 8, False, 34),
    (decode_packed_bcd, 0xA234, 12, False, 234),
    (decode_packed_bcd, 0x123D, 16, True, -123),
    (decode_packed_bcd, 0x123B, 16, True, -123),
    (decode_packed_bcd, 0x123C, 16, True, 123),
    (decode_packed_bcd, 0x123A, 16, True, 123),
    (decode_packed_bcd, 0x123E, 16, True, 123),
    (decode_packed_bcd, 0x123F, 16, True, 123),
    (decode_packed_bcd, 0xD, 4, True, 0),
    (decode_packed_bcd, 0x000D, 16, True, 0),
    (decode_packed_bcd, 5, 3, False, 0),
    (decode_packed_bcd, 0xF, 3, True, 0),
    (decode_packed_bcd, 0x9999999999999999, 64, False, 9999999999999999),
    (decode_packed_bcd, 0x1234, 4294967295, False, 1234),
    (decode_unpacked_bcd, 0x010203, 24, False, 123),
    (decode_unpacked_bcd, 0xF1F2C3, 24, True, 123),
    (decode_unpacked_bcd, 0x313233, 24, True, 123),
    (decode_unpacked_bcd, 0xF1F2D3, 24, True, -123),
    (decode_unpacked_bcd, 0x3132D3, 24, True, -123),
    (decode_unpacked_bcd, 0x33, 8, True, 3),
    (decode_unpacked_bcd, 7, 7, False, 0),
    (decode_unpacked_bcd, 0xD0, 8, True, 0),
    (decode_unpacked_bcd, 0xFF0102, 16, False, 12),
    (decode_unpacked_bcd, 0x010009, 4294967295, False, 109),
]


@pytest.mark.parametrize("decode,pattern,bits,signed,value", DECODED)
def test_decode(decode, pattern, bits, signed, value):
    assert decode(pattern, bits, signed) == value


DECODE_FAILURES = [
    (decode_packed_bcd, 0x12A4, 16, False, "Invalid BCD digit: 10 (must be 0-9)"),
    (decode_packed_bcd, 0xF2A4, 16, False, "Invalid BCD digit: 10 (must be 0-9)"),  # lowest first
    (decode_packed_bcd, 0x1239, 16, True,
     "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD"),
    (decode_packed_bcd, 5, 4, True,
     "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD"),
    (decode_packed_bcd, 0xFC, 8, True, "Invalid BCD digit: 15 (must be 0-9)"),
    (decode_unpacked_bcd, 0x0A, 8, False, "Invalid BCD digit: 10 (must be 0-9)"),
    (decode_unpacked_bcd, 0xFF00, 16, False, "Invalid BCD digit: 255 (must be 0-9)"),
    (decode_unpacked_bcd, 0x41, 8, True,
     "Invalid zoned decimal signed byte: 0x41 (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)"),
    (decode_unpacked_bcd, 0x3A, 8, True,
     "Invalid zoned decimal signed byte: 0x3A (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)"),
    (decode_unpacked_bcd, 0xC3, 16, True,
     "Invalid zoned decimal byte: 0x00 (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"),
    (decode_unpacked_bcd, 0xC3C3, 16, True,
     "Invalid zoned decimal byte: 0xC3 (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"),
    (decode_unpacked_bcd, 0x0AC3, 16, True,
     "Invalid zoned decimal byte: 0x0A (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"),
    (decode_unpacked_bcd, 0xF1F1F1F1F1F1F1C1, 72, True,
     "Invalid zoned decimal byte: 0x00 (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"),
]


@pytest.mark.parametrize("decode,pattern,bits,signed,message", DECODE_FAILURES)
def test_decode_failures(decode, pattern, bits, signed, message):
    with pytest.raises(ValueError) as info:
        decode(pattern, bits, signed)
    assert info.value.args == (message,)


@given(data=st.data(), packed=st.booleans(), signed=st.booleans())
def test_round_trip(data, packed, signed):
    unit = 4 if packed else 8
    bits = data.draw(st.integers(unit, 64))
    positions = min(bits // unit - (1 if packed and signed else 0), 19)
    hi = 10**positions - 1
    value = data.draw(st.integers(-hi if signed else 0, hi))
    encode, decode = ((encode_packed_bcd, decode_packed_bcd) if packed
                      else (encode_unpacked_bcd, decode_unpacked_bcd))
    pattern = encode(value, bits, signed)
    assert 0 <= pattern < 2**bits
    assert decode(pattern, bits, signed) == value


def test_huge_widths_return_at_once():
    # Work is bounded by the 64-bit pattern, not by the width.
    start = time.process_time()
    for _ in range(1000):
        assert encode_packed_bcd(1234, 4294967295) == 0x1234
        assert decode_packed_bcd(0x1234, 4294967295) == 1234
        assert encode_unpacked_bcd(12, 4294967295) == 0x0102
        assert decode_unpacked_bcd(0x0102, 4294967295) == 12
    assert time.process_time() - start < 5  # generous: a per-digit loop over 2^32 would take hours
