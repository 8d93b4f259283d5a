"""Recipe items as both directions read them: keys, their order, types, and encoding names."""
import sys

import pytest

from bitloom import InternalFault, pack_parameters, unpack_parameters


def item(name="f", encoding="unsigned", bits=8, byte_order="big", reverse_bits=False, **extra):
    return dict(name=name, encoding=encoding, bits=bits, byte_order=byte_order,
                reverse_bits=reverse_bits, **extra)


def pack_error(recipe):
    with pytest.raises(ValueError) as info:
        pack_parameters(recipe)
    assert info.value.__cause__ is None and info.value.__context__ is None
    return str(info.value)


def unpack_error(recipe, packet=bytes(16), offset=0):
    with pytest.raises(ValueError) as info:
        unpack_parameters(packet, offset, recipe)
    assert info.value.__cause__ is None and info.value.__context__ is None
    return str(info.value)


def missing(key):
    return f"KeyError: \"Recipe missing required field: '{key}'\""


# ---- Encoding names, per direction ----

# One value that each builder family accepts, with a width it accepts.
PACK_FAMILIES = {
    "unsigned": (8, 1), "signmagnitude": (8, -1), "onescomplement": (8, -1),
    "twoscomplement": (8, -1), "bcd": (8, 1), "bcdsigned": (8, 1), "packedbcd": (8, 1),
    "packedbcdsigned": (8, 1), "ieee754": (32, 1.0), "utf8": (8, "A"), "utf16": (32, "A"),
    "utf32": (32, "A"), "utf16le": (16, "A"), "utf16be": (16, "A"), "utf32le": (32, "A"),
    "utf32be": (32, "A"), "usascii": (8, "A"), "iso8859_1": (8, "A"), "windows1252": (8, "A"),
    "binary": (8, b"A"), "ieee754_1985": (80, -2.5),
}
PACK_NAMES = {
    "unsigned": ["unsigned"],
    "signmagnitude": ["signmagnitude", "sign_magnitude", "sign-magnitude"],
    "onescomplement": ["onescomplement", "ones_complement", "ones-complement"],
    "twoscomplement": ["twoscomplement", "twos_complement", "twos-complement"],
    "bcd": ["bcd"],
    "bcdsigned": ["bcdsigned", "bcd_signed", "bcd-signed"],
    "packedbcd": ["packedbcd", "packed_bcd", "packed-bcd"],
    "packedbcdsigned": ["packedbcdsigned", "packed_bcd_signed", "packed-bcd-signed"],
    "ieee754": ["ieee754", "ieee_754", "ieee-754"],
    "ieee754_1985": ["ieee754_1985", "ieee754-1985", "ieee_754_1985", "ieee_754-1985"],
    "utf8": ["utf8", "utf_8", "utf-8"],
    "utf16": ["utf16", "utf_16", "utf-16"],
    "utf32": ["utf32", "utf_32", "utf-32"],
    "utf16le": ["utf16le", "utf_16_le", "utf-16le"],
    "utf16be": ["utf16be", "utf_16_be", "utf-16be"],
    "utf32le": ["utf32le", "utf_32_le", "utf-32le"],
    "utf32be": ["utf32be", "utf_32_be", "utf-32be"],
    "usascii": ["usascii", "us_ascii", "us-ascii"],
    "iso8859_1": ["iso8859_1", "iso8859-1", "iso_8859_1", "iso-8859-1"],
    "windows1252": ["windows1252", "windows_1252", "windows-1252"],
    "binary": ["binary"],
}
PACK_REFUSED = [
    "latin1", "ieee754_f32", "ieee-754-1985", "mil_std_1750a_f32", "ascii", "utf_8 ", " utf8",
    "utf-16-le", "utf_16le", "sign magnitude", "int", "", "ieee754_f16", "ti_f32",
]


@pytest.mark.parametrize("family,spelling", [(f, s) for f, names in PACK_NAMES.items() for s in names])
def test_builder_accepts_every_listed_spelling_in_any_case(family, spelling):
    bits, value = PACK_FAMILIES[family]
    expected = pack_parameters([item(encoding=family, bits=bits, value=value)])
    for name in (spelling, spelling.upper(), spelling.title()):
        assert pack_parameters([item(encoding=name, bits=bits, value=value)]) == expected


@pytest.mark.parametrize("name", PACK_REFUSED)
def test_builder_refuses_names_outside_its_table(name):
    assert pack_error([item(encoding=name, value=1)]) == f"ValueError: Unsupported encoding type: {name}"


UNPACK_NAMES = {
    # spelling -> (bits, expected result over zero bytes)
    **{n: (8, 0) for n in ["unsigned", "signmagnitude", "sign_magnitude", "onescomplement",
                           "ones_complement", "twoscomplement", "twos_complement", "bcd",
                           "bcd_signed", "bcd-signed", "packed_bcd", "packed-bcd",
                           "packed_bcd_signed", "packed-bcd-signed"]},
    **{n: (b, 0.0) for n, b in [("ieee754_f16", 16), ("ieee754-f16", 16), ("ieee754_f32", 32),
                                ("ieee754-f32", 32), ("ieee754_f64", 64), ("ieee754-f64", 64),
                                ("ieee754_f128", 128), ("ieee754-f128", 128),
                                ("ieee754_1985_f32", 32), ("ieee754-1985-f32", 32),
                                ("ieee754_1985_f64", 64), ("ieee754-1985-f64", 64),
                                ("ieee754_1985_f80", 80), ("ieee754-1985-f80", 80),
                                ("mil_std_1750a_f32", 32), ("mil-std-1750a-f32", 32),
                                ("mil_std_1750a_f48", 48), ("mil-std-1750a-f48", 48),
                                ("dec_f32", 32), ("dec-f32", 32), ("dec_f64", 64), ("dec-f64", 64),
                                ("ibm_f32", 32), ("ibm-f32", 32), ("ibm_f64", 64), ("ibm-f64", 64)]},
    # A TI pattern of zeros is 1.0 (exponent 0); its zero has exponent -128.
    **{n: (b, 1.0) for n, b in [("ti_f32", 32), ("ti-f32", 32), ("ti_f40", 40), ("ti-f40", 40)]},
    **{n: (32, "\0") for n in ["utf32", "utf-32", "utf32le", "utf-32le", "utf32be", "utf-32be"]},
    **{n: (32, "\0\0") for n in ["utf16", "utf-16", "utf16le", "utf-16le", "utf16be", "utf-16be"]},
    **{n: (32, "\0" * 4) for n in ["utf8", "utf-8", "us_ascii", "us-ascii", "latin1",
                                   "iso_8859_1", "iso-8859-1", "windows_1252", "windows-1252"]},
}
UNPACK_REFUSED = [
    "sign-magnitude", "ones-complement", "twos-complement", "utf_8", "binary", "ascii",
    "latin-1", "ieee754", "ieee754_1985-f64", "ieee754-1985_f64", "bcdsigned", "packedbcd",
    "utf_16_le", "usascii", "iso8859-1", "windows1252", "ieee_754_f32", "UTF-7",
]


@pytest.mark.parametrize("name", sorted(UNPACK_NAMES))
def test_reader_accepts_every_listed_spelling_in_any_case(name):
    bits, expected = UNPACK_NAMES[name]
    # A signed zoned digit needs its sign zone; every other form reads zero bytes.
    packet = {"bcd_signed": b"\xc0", "bcd-signed": b"\xc0", "packed_bcd_signed": b"\x0c",
              "packed-bcd-signed": b"\x0c"}.get(name, b"\0").ljust(16, b"\0")
    for spelling in (name, name.upper()):
        result = unpack_parameters(packet, 0, [item(encoding=spelling, bits=bits)])
        assert result == {"f": expected} and type(result["f"]) is type(expected)


@pytest.mark.parametrize("name", UNPACK_REFUSED)
def test_reader_refuses_names_outside_its_table(name):
    assert unpack_error([item(encoding=name)]) == f"ValueError: Unsupported encoding type: {name}"


def test_full_unicode_lowercasing_of_names():
    kelvin = "PAC\u212aED_BCD"
    assert pack_parameters([item(encoding=kelvin, value=12)]) == b"\x12"
    assert unpack_parameters(b"\x12", 0, [item(encoding=kelvin)]) == {"f": 12}
    # U+0130 lowercases to "i" plus a combining dot, which is no longer "binary".
    name = "B\u0130NARY"
    assert pack_error([item(encoding=name, value=b"x")]) == f"ValueError: Unsupported encoding type: {name}"
    assert pack_parameters([item(byte_order="LIT\u0130LE".replace("\u0130", "T"), value=1)]) == b"\x01"


def test_only_characters_that_lowercase_to_ascii_letters_can_spell_a_name():
    # Every code point whose full lowercase mapping holds an ASCII character stands in for that
    # character only when the mapping is that character alone.
    candidates = [c for c in range(0x80, 0x110000)
                  if not 0xD800 <= c < 0xE000 and any(ch.isascii() for ch in chr(c).lower())]
    assert candidates  # the Kelvin sign at least
    for c in candidates:
        lowered = chr(c).lower()
        for word in ("bcd", "big"):
            for i, letter in enumerate(word):
                name = word[:i] + chr(c) + word[i + 1:]
                if word == "bcd":
                    ok = lowered == letter
                    result = None
                    try:
                        result = pack_parameters([item(encoding=name, value=1)])
                    except ValueError as e:
                        assert str(e) == f"ValueError: Unsupported encoding type: {name}"
                    assert (result is not None) == ok, hex(c)
                else:
                    ok = lowered == letter
                    try:
                        pack_parameters([item(byte_order=name, value=1)])
                        accepted = True
                    except ValueError:
                        accepted = False
                    assert accepted == ok, hex(c)


@pytest.mark.parametrize("byte_order,ok", [
    ("big", True), ("BIG", True), ("Little", True), ("lItTlE", True),
    ("big ", False), (" big", False), ("network", False), ("", False), ("b\u0130g", False),
])
def test_byte_order_names(byte_order, ok):
    message = f"ValueError: Invalid byte_order '{byte_order}': must be 'big' or 'little'"
    for run in (lambda: pack_parameters([item(byte_order=byte_order, value=1)]),
                lambda: unpack_parameters(b"\x01", 0, [item(byte_order=byte_order)])):
        if ok:
            run()
        else:
            with pytest.raises(ValueError, match=None) as info:
                run()
            assert str(info.value) == message


# ---- Keys: presence, order, types ----

KEYS = ["name", "encoding", "bits", "byte_order", "reverse_bits"]


@pytest.mark.parametrize("key", KEYS)
def test_missing_required_key(key):
    recipe = [item(value=1)]
    del recipe[0][key]
    assert pack_error(recipe) == missing(key)
    del recipe[0]["value"]
    assert unpack_error(recipe) == missing(key)


def test_missing_value_names_the_item_and_comes_before_the_encoding():
    assert pack_error([item(name="speed", encoding="nope")]) == \
        "KeyError: \"Recipe item 'speed' missing required field: 'value'\""


def test_the_sizing_walk_reports_bits_before_any_other_key():
    first = item(value=1)
    del first["name"]
    third = item(value=1)
    del third["bits"]
    assert pack_error([first, item(value=1), third]) == missing("bits")
    third = item(value=1, offset_bits="x")
    assert pack_error([first, third]).startswith("TypeError: 'str' object cannot be interpreted")


@pytest.mark.parametrize("first,second,expected", [
    # Each pair: the earlier check wins.
    (dict(encoding="nope"), dict(value="x"), "ValueError: Unsupported encoding type: nope"),
    (dict(value="x"), dict(byte_order="middle"), "TypeError"),
    (dict(encoding="ieee754", bits=8), dict(value="x"), "ValueError: Unsupported IEEE 754 bit width"),
    (dict(name=5), dict(encoding=5), "TypeError: 'int' object cannot be cast as 'str'"),
    (dict(reverse_bits=1), dict(value=None), "TypeError: 'int' object cannot be cast as 'bool'"),
    (dict(reverse_bits=1), dict(offset_bits=-1), "OverflowError"),  # sizing walk first
    (dict(byte_order=None), dict(reverse_bits=None), "TypeError: 'NoneType' object cannot be cast as 'str'"),
])
def test_builder_check_order(first, second, expected):
    recipe = [item(value=1) | first | second]
    assert pack_error(recipe).startswith(expected)


def test_reader_check_order():
    # Bounds come before the byte order, which comes before the encoding.
    with pytest.raises(InternalFault):
        unpack_parameters(b"", 0, [item(encoding="nope", byte_order="middle")])
    assert unpack_error([item(encoding="nope", byte_order="middle")]) == \
        "ValueError: Invalid byte_order 'middle': must be 'big' or 'little'"
    assert unpack_error([item(name=1, encoding=2)]) == "TypeError: 'int' object cannot be cast as 'str'"


@pytest.mark.parametrize("key,value,expected", [
    ("name", None, "TypeError: 'NoneType' object cannot be cast as 'str'"),
    ("name", b"f", "TypeError: 'bytes' object cannot be cast as 'str'"),
    ("encoding", 1, "TypeError: 'int' object cannot be cast as 'str'"),
    ("bits", None, "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    ("bits", 8.0, "TypeError: 'float' object cannot be interpreted as an integer"),
    ("bits", -1, "OverflowError: out of range integral type conversion attempted"),
    ("bits", 2**32, "OverflowError: out of range integral type conversion attempted"),
    ("bits", 2**63, "OverflowError: Python int too large to convert to C long"),
    ("byte_order", 0, "TypeError: 'int' object cannot be cast as 'str'"),
    ("reverse_bits", 1, "TypeError: 'int' object cannot be cast as 'bool'"),
    ("reverse_bits", None, "TypeError: 'NoneType' object cannot be cast as 'bool'"),
    ("offset_bits", None, "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    ("offset_bits", -1, "OverflowError: can't convert negative int to unsigned"),
    ("offset_bits", 2**64, "OverflowError: int too big to convert"),
])
def test_bad_key_values_are_wrapped(key, value, expected):
    recipe = [item(value=1) | {key: value}]
    assert pack_error(recipe) == expected
    del recipe[0]["value"]
    assert unpack_error(recipe) == expected


@pytest.mark.parametrize("element,type_name", [
    ([1], "list"), ("abc", "str"), (None, "NoneType"), ((("name", "f"),), "tuple"), (5, "int"),
])
def test_items_must_be_dicts(element, type_name):
    expected = f"TypeError: '{type_name}' object cannot be cast as 'dict'"
    assert pack_error([element]) == expected
    assert unpack_error([element]) == expected
    # Only the failing item matters; items before it are not returned.
    assert unpack_error([item(), element]) == expected


def test_dict_subclasses_are_read_from_their_own_storage():
    class Defaults(dict):
        def __missing__(self, key):
            return {"value": 1, "reverse_bits": False}.get(key, "unsigned")

        def __getitem__(self, key):
            return dict.get(self, key, "overridden")

        def get(self, key, default=None):
            return "overridden"

    full = Defaults(item(value=7))
    assert pack_parameters([full]) == b"\x07"
    assert unpack_parameters(b"\x07", 0, [full]) == {"f": 7}
    partial = Defaults(item(value=7))
    del partial["reverse_bits"]
    assert pack_error([partial]) == missing("reverse_bits")
    assert unpack_error([partial]) == missing("reverse_bits")


def test_extra_keys_are_ignored_and_str_subclass_names_become_plain_str():
    class Name(str):
        def __hash__(self):
            return 1

    recipe = [item(name=Name("a"), extra=object(), value=3) | {1: 2, ("x",): None}]
    assert pack_parameters(recipe) == b"\x03"
    result = unpack_parameters(b"\x03", 0, recipe)
    assert result == {"a": 3} and type(next(iter(result))) is str


def test_argument_conversion_failures_are_not_wrapped():
    with pytest.raises(TypeError, match=r"^argument 'recipe': Can't extract `str` to `Vec`$"):
        pack_parameters("abc")
    with pytest.raises(TypeError, match=r"^argument 'recipe': 'int' object cannot be cast as 'Sequence'$"):
        pack_parameters(5)
    with pytest.raises(TypeError, match=r"^argument 'packet_bytes': 'bytearray' object cannot be cast as 'bytes'$"):
        unpack_parameters(bytearray(1), 0, [])
    with pytest.raises(OverflowError):
        unpack_parameters(b"", -1, [])
    with pytest.raises(TypeError, match="^unpack_parameters\\(\\) missing 3 required positional"):
        unpack_parameters()


def test_recipes_may_be_any_sequence():
    class Recipe:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            raise RuntimeError("length is only a hint")

        def __getitem__(self, i):
            return self.items[i]

    items = [item(name="a", value=1), item(name="b", value=2)]
    for recipe in (items, tuple(items), Recipe(items)):
        assert pack_parameters(recipe) == b"\x01\x02"
        assert unpack_parameters(b"\x01\x02", 0, recipe) == {"a": 1, "b": 2}
    assert pack_parameters(recipe=[]) == b""
    assert unpack_parameters(b"\xff", 3, ()) == {}
    with pytest.raises(TypeError, match="cannot be cast as 'Sequence'"):
        pack_parameters(iter(items))


def test_internal_fault_is_not_an_exception():
    assert issubclass(InternalFault, BaseException) and not issubclass(InternalFault, Exception)
    try:
        unpack_parameters(b"", 0, [item()])
    except Exception:  # pragma: no cover - the point is that this does not catch it
        pytest.fail("InternalFault was caught as an Exception")
    except InternalFault as e:
        assert e.args == ("range end index 1 out of range for slice of length 0",)
    assert sys.getrefcount(InternalFault) > 1
