"""unpack_parameters: cutting fields, byte order, sign rules, decodings and the bounds fault."""
import math
import struct

import pytest

from bitloom import InternalFault, unpack_parameters


def item(bits, encoding="unsigned", byte_order="big", reverse_bits=False, name="f", **extra):
    return dict(name=name, encoding=encoding, bits=bits, byte_order=byte_order,
                reverse_bits=reverse_bits, **extra)


def read(packet_hex, recipe, offset=0):
    return unpack_parameters(bytes.fromhex(packet_hex), offset, recipe)


def read_one(packet_hex, offset=0, **kw):
    return read(packet_hex, [item(**kw)], offset)["f"]


def unpack_error(packet_hex, recipe, offset=0):
    with pytest.raises(ValueError) as info:
        read(packet_hex, recipe, offset)
    assert info.value.__cause__ is None and info.value.__context__ is None
    return str(info.value)


FIELDS = [
    # (packet hex, call offset, item keys, value)
    ("abcd", 0, dict(bits=4), 0xA),
    ("abcd", 0, dict(bits=4, offset_bits=4), 0xB),
    ("abcd", 0, dict(bits=12, offset_bits=4), 0xBCD),
    ("abcd", 0, dict(bits=12, offset_bits=4, byte_order="little"), 0xD0B),
    ("abcd", 0, dict(bits=12, offset_bits=4, reverse_bits=True), 0xB3D),
    ("abcd", 4, dict(bits=12), 0xBCD),
    ("abcd", 3, dict(bits=2, offset_bits=2), 0b01),
    ("abc0", 0, dict(bits=12), 0xABC),
    ("0abc", 0, dict(bits=12, offset_bits=4), 0xABC),
    ("0c0a", 0, dict(bits=12, offset_bits=4, byte_order="little"), 0xA0C),
    ("0102", 0, dict(bits=16, byte_order="little"), 0x0201),
    ("010203", 0, dict(bits=24, byte_order="little"), 0x030201),
    ("00010203", 0, dict(bits=24, offset_bits=4, byte_order="little"), 0x201000),
    ("ff" * 8, 0, dict(bits=64), 2**64 - 1),
    ("0123456789abcdef", 0, dict(bits=64, byte_order="little"), 0xEFCDAB8967452301),
    ("002468acf13579bde0", 0, dict(bits=64, offset_bits=3), 0x0123456789ABCDEF),
    ("002468acf13579bde0", 0, dict(bits=64, offset_bits=3, reverse_bits=True), 0xF7B3D591E6A2C480),
    ("8000", 0, dict(bits=1), 1),
    ("ff", 0, dict(bits=0), 0),
    ("", 0, dict(bits=0), 0),
    ("ff", 8, dict(bits=0, encoding="twos_complement"), 0),
    ("ff", 0, dict(bits=0, encoding="utf8"), ""),
    ("ff", 0, dict(bits=0, encoding="latin1"), ""),
    # Sign rules.
    ("ff", 0, dict(bits=8, encoding="twos_complement"), -1),
    ("ff", 0, dict(bits=8, encoding="ones_complement"), 0),
    ("ff", 0, dict(bits=8, encoding="sign_magnitude"), -127),
    ("80", 0, dict(bits=8, encoding="twoscomplement"), -128),
    ("80", 0, dict(bits=8, encoding="onescomplement"), -127),
    ("80", 0, dict(bits=8, encoding="signmagnitude"), 0),
    ("e0", 0, dict(bits=3, encoding="twos_complement"), -1),
    ("80", 0, dict(bits=1, encoding="twos_complement"), -1),
    ("80", 0, dict(bits=1, encoding="sign_magnitude"), 0),
    ("ff" * 8, 0, dict(bits=64, encoding="twos_complement"), -1),
    ("ff" * 8, 0, dict(bits=64, encoding="ones_complement"), 0),
    ("80" + "00" * 7, 0, dict(bits=64, encoding="ones_complement"), -(2**63) + 1),
    ("80" + "00" * 7, 0, dict(bits=64, encoding="twos_complement"), -(2**63)),
    ("ff" * 8, 0, dict(bits=64, encoding="sign_magnitude"), -(2**63) + 1),
    # BCD.
    ("12", 0, dict(bits=8, encoding="packed_bcd"), 12),
    ("012d", 0, dict(bits=16, encoding="packed_bcd_signed"), -12),
    ("0102", 0, dict(bits=16, encoding="bcd"), 12),
    # Floats.
    ("3f800000", 0, dict(bits=32, encoding="ieee754_f32"), 1.0),
    ("3c00", 0, dict(bits=16, encoding="ieee754_f16"), 1.0),
    ("0000803f", 0, dict(bits=32, encoding="ieee754_f32", byte_order="little"), 1.0),
    ("3ff0000000000000", 0, dict(bits=64, encoding="ieee754_f64"), 1.0),
    ("3f80", 0, dict(bits=16, encoding="ieee754_f32"), struct.unpack(">f", bytes.fromhex("00003f80"))[0]),
    ("12343c00", 0, dict(bits=32, encoding="ieee754_f16"), 1.0),
    ("03c000", 0, dict(bits=16, encoding="ieee754_f16", offset_bits=4), 1.0),
    ("c000", 0, dict(bits=16, encoding="ieee754-f16"), -2.0),
    ("7c00", 0, dict(bits=16, encoding="ieee754_f16"), math.inf),
    # Text gets all its bytes, in reverse order for little.
    ("4100", 0, dict(bits=16, encoding="utf8"), "A\0"),
    ("4142", 0, dict(bits=16, encoding="utf8", byte_order="little"), "BA"),
    ("e9", 0, dict(bits=8, encoding="latin1"), "\u00e9"),
    ("80", 0, dict(bits=8, encoding="windows-1252"), "\u20ac"),
    ("041420", 0, dict(bits=16, encoding="utf8", offset_bits=4), "AB"),
    ("0041", 0, dict(bits=16, encoding="utf16be"), "A"),
    ("4100", 0, dict(bits=16, encoding="utf16le"), "A"),
    ("0041", 0, dict(bits=16, encoding="utf16le", byte_order="little"), "A"),
    ("fffe4100", 0, dict(bits=32, encoding="utf16"), "A"),
    ("00000041", 0, dict(bits=32, encoding="utf32be"), "A"),
    ("41", 0, dict(bits=8, encoding="us-ascii", reverse_bits=True), "A"),
    ("0a", 0, dict(bits=4, encoding="latin1", offset_bits=4), "\x0a"),
]


@pytest.mark.parametrize("packet,offset,keys,value", FIELDS)
def test_field(packet, offset, keys, value):
    result = read_one(packet, offset, **keys)
    assert result == value and type(result) is type(value)


def test_nan_payloads_pass_through_binary64():
    result = read_one("7ff0000000000001", bits=64, encoding="ieee754_f64")
    assert struct.pack(">d", result).hex() == "7ff0000000000001"


def test_positions_advance_by_width_from_the_call_offset():
    recipe = [item(8, name="a"), item(16, name="b")]
    assert read("0102030405", recipe) == {"a": 1, "b": 0x0203}
    assert read("0102030405", recipe, offset=16) == {"a": 3, "b": 0x0405}
    recipe = [item(8, name="a", offset_bits=0), item(8, name="b")]
    assert read("01020304", recipe, offset=16) == {"a": 3, "b": 4}
    # A field that steps back is followed by the next field right after it.
    recipe = [item(16, name="a"), item(4, name="b", offset_bits=4), item(4, name="c")]
    assert read("1234", recipe) == {"a": 0x1234, "b": 2, "c": 3}
    assert read("1234", [item(0, name="z", offset_bits=12), item(4, name="d")]) == {"z": 0, "d": 4}


def test_result_keeps_recipe_order_and_later_values_of_repeated_names():
    recipe = [item(8, name="b"), item(8, name="a"), item(8, name="b")]
    result = read("010203", recipe)
    assert list(result.items()) == [("b", 3), ("a", 2)]


@pytest.mark.parametrize("packet,offset,keys,message", [
    ("", 0, dict(bits=1), "range end index 1 out of range for slice of length 0"),
    ("01", 0, dict(bits=16), "range end index 2 out of range for slice of length 1"),
    ("01", 0, dict(bits=4, offset_bits=6), "range end index 2 out of range for slice of length 1"),
    ("01", 12, dict(bits=1), "range end index 2 out of range for slice of length 1"),
    ("01", 0, dict(bits=8, offset_bits=16), "range start index 2 out of range for slice of length 1"),
    ("01", 16, dict(bits=0), "range start index 2 out of range for slice of length 1"),
    ("", 2**64 - 1, dict(bits=0), f"range start index {(2**64 - 1) // 8} out of range for slice of length 0"),
    # Even an item whose byte order and encoding are bad meets the bounds first.
    ("01", 8, dict(bits=8, encoding="nope", byte_order="middle"), "range end index 2 out of range for slice of length 1"),
    ("0000", 0, dict(bits=24, encoding="ieee754_f128"), "range end index 3 out of range for slice of length 2"),
])
def test_fields_beyond_the_packet_raise_internal_fault(packet, offset, keys, message):
    with pytest.raises(InternalFault) as info:
        read(packet, [item(**keys)], offset)
    assert info.value.args == (message,)


def test_a_zero_bit_field_at_the_very_end_reads_nothing():
    assert read("01", [item(0, offset_bits=8)]) == {"f": 0}
    assert read("01", [item(0, offset_bits=15)]) == {"f": 0}


@pytest.mark.parametrize("packet,offset,recipe,message", [
    ("", 2**64 - 1, [item(0, offset_bits=1)], f"ValueError: Bit position overflow: {2**64 - 1} + 1 bits exceeds 64 bits"),
    ("", 2**64 - 1, [item(8)], f"ValueError: Bit position overflow: {2**64 - 1} + 8 bits exceeds 64 bits"),
    ("", 0, [item(8, offset_bits=2**64 - 4)], f"ValueError: Bit position overflow: {2**64 - 4} + 8 bits exceeds 64 bits"),
    ("00" * 9, 0, [item(72)], "ValueError: Cannot decode 72 bits into a 64-bit value"),
    ("00" * 9, 0, [item(65, encoding="twos_complement")], "ValueError: Cannot decode 65 bits into a 64-bit value"),
    ("00" * 9, 0, [item(72, encoding="ieee754_f64")], "ValueError: Cannot decode 72 bits into a 64-bit value"),
    ("00" * 9, 0, [item(72, encoding="packed_bcd")], "ValueError: Cannot decode 72 bits into a 64-bit value"),
    ("00" * 16, 0, [item(64, encoding="ieee754_f128")], "ValueError: IEEE 754 f128 requires a 128-bit field, got 64 bits"),
    ("00" * 16, 0, [item(0, encoding="ieee754_f128")], "ValueError: IEEE 754 f128 requires a 128-bit field, got 0 bits"),
    ("00" * 16, 0, [item(96, encoding="ieee754-f128")], "ValueError: IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)"),
    ("00" * 16, 0, [item(72, encoding="ieee754_1985_f80")], "ValueError: Cannot decode 72 bits into a 64-bit value"),
    ("41", 0, [item(8, encoding="utf16")], "ValueError: UTF-16 requires an even number of bytes"),
    ("ff", 0, [item(8, encoding="utf8")], "ValueError: "),
    ("0f", 0, [item(8, encoding="bcd")], "ValueError: "),
    ("00" + "3fff" + "00" * 8, 0, [item(8, name="ok"), item(80, encoding="ieee754_1985_f80")], "ValueError: IEEE 754-1985 f80 pattern 0x3FFF0000000000000000 denotes no value"),
])
def test_walk_failures_are_wrapped(packet, offset, recipe, message):
    assert unpack_error(packet, recipe, offset).startswith(message)


def test_wide_text_fields_are_read_whole():
    text = "telemetry " * 50
    packet = b"\x05" + text.encode()
    assert unpack_parameters(packet, 8, [item(8 * len(text), "utf8")]) == {"f": text}
    assert unpack_parameters(packet, 4, [item(8 * len(text), "latin1", offset_bits=4)]) == {"f": text}
