"""pack_parameters: field images, byte order, placement and the failures of the field walk."""
import os
import struct

import pytest

import bitloom
from bitloom import pack_parameters


def item(value, bits, encoding="unsigned", byte_order="big", reverse_bits=False, name="f", **extra):
    return dict(name=name, encoding=encoding, bits=bits, byte_order=byte_order,
                reverse_bits=reverse_bits, value=value, **extra)


def pack_error(recipe):
    with pytest.raises(ValueError) as info:
        pack_parameters(recipe)
    assert info.value.__cause__ is None and info.value.__context__ is None
    return str(info.value)


LAYOUTS = [
    # (recipe, packet hex)
    ([], ""),
    ([item(7, 8), item(-2, 16, "twos_complement")], "07fffe"),
    ([item(5, 3), item(1, 5)], "a1"),
    ([item(0xABC, 12)], "abc0"),
    ([item(0xABC, 12, byte_order="little")], "c0a0"),
    ([item(0, 4), item(0xABC, 12)], "0abc"),
    ([item(0, 4), item(0xABC, 12, byte_order="little")], "0c0a"),
    ([item(1, 4, reverse_bits=True)], "80"),
    ([item(0xABC, 12, reverse_bits=True)], "3d50"),
    ([item(-1, 4, "twos_complement")], "f0"),
    ([item(0x0102, 16, byte_order="little")], "0201"),
    ([item(0x010203, 24, byte_order="little")], "030201"),
    ([item(2**64 - 1, 64)], "ff" * 8),
    ([item(0x0123456789ABCDEF, 64, byte_order="little")], "efcdab8967452301"),
    ([item(0x0123456789ABCDEF, 64, offset_bits=3)], "002468acf13579bde0"),
    ([item(1, 64, reverse_bits=True, offset_bits=1)], "400000000000000000"),
    ([item(0, 0)], ""),
    ([item(0, 0, offset_bits=9)], "0000"),
    ([item(0xFF, 8, offset_bits=16)], "0000ff"),
    # A later field overwrites an earlier one, cleared bits included.
    ([item(0xFF, 8), item(0, 4, offset_bits=0)], "0f"),
    ([item(0xFF, 8), item(0, 4, offset_bits=0), item(0xFF, 8)], "0ff0"),
    # Sized by the furthest end; a field that steps back leaves the tail zero.
    ([item(0, 8, offset_bits=24), item(1, 4, offset_bits=0), item(1, 4)], "1100000000"),
    ([item(5, 3, offset_bits=13)], "0005"),
    ([item(0x1F, 5, offset_bits=6), item(1, 1, offset_bits=0)], "83e0"),
    # IEEE 754 by width.
    ([item(1.0, 32, "ieee754")], "3f800000"),
    ([item(1.0, 32, "ieee754", byte_order="little")], "0000803f"),
    ([item(1.0, 16, "ieee754")], "3c00"),
    ([item(-2.5, 64, "ieee754")], struct.pack(">d", -2.5).hex()),
    ([item(1, 64, "ieee754")], struct.pack(">d", 1.0).hex()),
    ([item(1e300, 32, "ieee754")], "7f800000"),
    ([item(1.0, 16, "ieee754", offset_bits=4)], "03c000"),
    # Binary: last bytes kept, cleared above the width, reversed when asked.
    ([item(b"\x12\x34\x56", 12, "binary")], "4560"),
    ([item(b"\xab", 24, "binary")], "0000ab"),
    ([item(bytearray(b"\x01"), 8, "binary", reverse_bits=True)], "80"),
    ([item([0x12, 0x34], 16, "binary", byte_order="little")], "3412"),
    ([item((1, 2, 3), 12, "binary", reverse_bits=True)], "c040"),
    ([item(b"\xff\xff", 9, "binary", reverse_bits=True)], "ff80"),
    ([item(b"", 8, "binary")], "00"),
    ([item(b"\xff", 0, "binary")], ""),
    ([item(memoryview(b"\x7f"), 8, "binary")], "7f"),
    # Text: a long text loses its beginning, a short one is followed by zero bits.
    ([item("ABC", 16, "utf8")], "4243"),
    ([item("A", 16, "utf8")], "4100"),
    ([item("AB", 16, "utf8", byte_order="little")], "4241"),
    ([item("AB", 12, "utf8")], "1420"),
    ([item("A", 4, "utf8")], "10"),
    ([item("AB", 32, "utf16be", byte_order="little")], "42004100"),
    ([item("é", 8, "latin-1".replace("latin-1", "iso-8859-1"))], "e9"),
    ([item("A", 8, "utf8", reverse_bits=True)], "41"),
    ([item("AB", 16, "utf8", offset_bits=4)], "041420"),
    ([item("", 16, "utf8", byte_order="little"), item("Z", 8, "utf8", offset_bits=4)], "05a0"),
]


@pytest.mark.parametrize("recipe,packet", LAYOUTS)
def test_layout(recipe, packet):
    assert pack_parameters(recipe).hex() == packet


@pytest.mark.parametrize("encoding,signed,codec", [
    ("bcd", False, bitloom.encode_unpacked_bcd), ("bcd_signed", True, bitloom.encode_unpacked_bcd),
    ("packed_bcd", False, bitloom.encode_packed_bcd), ("packedbcdsigned", True, bitloom.encode_packed_bcd),
])
@pytest.mark.parametrize("value,bits", [(0, 8), (7, 8), (42, 16), (-42, 16), (9, 4), (1234, 24)])
def test_bcd_fields_carry_the_codec_pattern(encoding, signed, codec, value, bits):
    expect_field(lambda: codec(value, bits, signed), [item(value, bits, encoding)], bits)


def expect_field(codec_call, recipe, bits):
    """The field holds the codec's pattern, or the call fails with the codec's message."""
    try:
        pattern, failure = codec_call(), None
    except ValueError as e:
        pattern, failure = None, str(e)
    if failure is not None:
        assert pack_error(recipe) == f"ValueError: {failure}"
    else:
        size = (bits + 7) // 8
        assert pack_parameters(recipe) == (pattern << (8 * size - bits)).to_bytes(size, "big")


@pytest.mark.parametrize("encoding,codec", [
    ("sign_magnitude", bitloom.encode_sign_magnitude),
    ("ones_complement", bitloom.encode_ones_complement),
    ("twos_complement", bitloom.encode_twos_complement),
])
@pytest.mark.parametrize("value,bits", [(-1, 8), (5, 3), (-3, 3), (-(2**63), 64), (2**63 - 1, 64), (128, 8), (0, 1)])
def test_signed_fields_carry_the_codec_pattern_or_its_failure(encoding, codec, value, bits):
    expect_field(lambda: codec(value, bits), [item(value, bits, encoding)], bits)


@pytest.mark.parametrize("recipe,message", [
    ([item(256, 8)], "ValueError: Value 256 is too large for 8 bits"),
    ([item(1, 0)], "ValueError: Value 1 is too large for 0 bits"),
    ([item(2**63, 63)], f"ValueError: Value {2**63} is too large for 63 bits"),
    ([item(5, 65)], "ValueError: Cannot encode 65 bits from a 64-bit value"),
    ([item(-1, 8)], "OverflowError: can't convert negative int to unsigned"),
    ([item(2**64, 64)], "OverflowError: int too big to convert"),
    ([item(1.0, 8)], "TypeError: 'float' object cannot be interpreted as an integer"),
    ([item(None, 8, "twos_complement")], "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    ([item(2**63, 64, "twos_complement")], "OverflowError: Python int too large to convert to C long"),
    ([item(1, 65, "twos_complement")], "ValueError: bits must be <= 64 for two's complement encoding"),
    ([item(1, 1, "sign_magnitude")], "ValueError: bits must be between 2 and 64 for sign-magnitude encoding"),
    ([item("x", 32, "ieee754")], "TypeError: must be real number, not str"),
    ([item(1.0, 8, "ieee754")], "ValueError: Unsupported IEEE 754 bit width: 8 (supported: 16, 32, 64, 128)"),
    ([item("not checked", 16, "ieee754_1985")], "ValueError: Unsupported IEEE 754-1985 bit width: 16 (supported: 32, 64, 80)"),
    ([item(1.0, 64, "mil-std-1750a")], "ValueError: Unsupported MIL-STD-1750A bit width: 64 (supported: 32, 48)"),
    ([item(1.0, 64, "ti")], "ValueError: Unsupported TI float bit width: 64 (supported: 32, 40)"),
    ([item(1.0, 16, "dec")], "ValueError: Unsupported DEC float bit width: 16 (supported: 32, 64)"),
    ([item(1.0, 0, "ibm")], "ValueError: Unsupported IBM float bit width: 0 (supported: 32, 64)"),
    ([item("x", 32, "ibm")], "TypeError: must be real number, not str"),
    ([item("ab", 16, "binary")], "TypeError: Can't extract `str` to `Vec`"),
    ([item(5, 16, "binary")], "TypeError: 'int' object cannot be cast as 'Sequence'"),
    ([item([1, 256], 16, "binary")], "OverflowError: out of range integral type conversion attempted"),
    ([item([-1], 8, "binary")], "OverflowError: out of range integral type conversion attempted"),
    ([item([1.5], 8, "binary")], "TypeError: 'float' object cannot be interpreted as an integer"),
    ([item(b"A", 8, "utf8")], "TypeError: 'bytes' object cannot be cast as 'str'"),
    ([item("\ud800", 8, "utf8")], "UnicodeEncodeError"),
    ([item("é", 8, "us_ascii")], "ValueError"),
    # Values are still converted and encoded for fields of no width.
    ([item(-1, 0, "twos_complement")], "ValueError: Value -1 out of range for 0 bits"),
    ([item([300], 0, "binary")], "OverflowError"),
    ([item(1, 8, byte_order="middle")], "ValueError: Invalid byte_order 'middle': must be 'big' or 'little'"),
    ([item(1, 8, offset_bits=2**64 - 1)], f"ValueError: Bit position overflow: {2**64 - 1} + 8 bits exceeds 64 bits"),
    ([item(1, 8, offset_bits=2**64 - 9), item(1, 1)], f"ValueError: Bit position overflow: {2**64 - 1} + 1 bits exceeds 64 bits"),
    ([item(1, 0, offset_bits=2**64 - 1), item(0, 4294967295, offset_bits=2**64 - 2**32 + 1)], f"ValueError: Bit position overflow: {2**64 - 2**32 + 1} + 4294967295 bits exceeds 64 bits"),
])
def test_failures(recipe, message):
    assert pack_error(recipe).startswith(message)


def test_failures_report_the_first_item_only():
    assert pack_error([item(256, 8, name="a"), item(1, 8, "nope")]) == \
        "ValueError: Value 256 is too large for 8 bits"


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer runtime aborts on impossible allocations")
def test_a_packet_too_large_to_allocate_raises_memory_error_unwrapped():
    with pytest.raises(MemoryError):
        pack_parameters([item(1, 8, offset_bits=2**63)])
    with pytest.raises(MemoryError):
        pack_parameters([item(1, 8, offset_bits=2**64 - 9)])


def test_a_64_bit_position_at_the_very_end_is_allowed_when_nothing_is_allocated():
    # 2^64 - 1 bits exactly: the field fits, but the packet cannot be allocated.
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer runtime aborts on impossible allocations")
    with pytest.raises(MemoryError):
        pack_parameters([item(0, 1, offset_bits=2**64 - 2)])
