"""UTF-8, UTF-16 and UTF-32, checked against the interpreter's own codecs."""
import struct

import pytest
from hypothesis import given, settings, strategies as st

import bitloom

UTF_PAIRS = [  # (our suffix, Python codec)
    ("utf8", "utf-8"),
    ("utf16be", "utf-16-be"),
    ("utf16le", "utf-16-le"),
    ("utf32be", "utf-32-be"),
    ("utf32le", "utf-32-le"),
]


def ours(name, arg):
    """Our result, or the ValueError text."""
    try:
        return getattr(bitloom, name)(arg)
    except ValueError as e:
        return ValueError(str(e))


# ---- fixed cases ------------------------------------------------------------------------------

@pytest.mark.parametrize("fn, text, expected", [
    ("encode_utf16", "", "feff"),
    ("encode_utf32", "", "0000feff"),
    ("encode_utf16", "A", "feff0041"),
    ("encode_utf32", "\U0001F600", "0000feff0001f600"),
    ("encode_utf16be", "\U0001F600", "d83dde00"),
    ("encode_utf16le", "\U0001F600", "3dd800de"),
    ("encode_utf32le", "\U0001F600", "00f60100"),
    ("encode_utf32be", "\U0010FFFF", "0010ffff"),
    ("encode_utf8", "\ufeffA", "efbbbf41"),
] + [(f"encode_{s}", "", "") for s, _ in UTF_PAIRS])
def test_encoder_examples(fn, text, expected):
    assert getattr(bitloom, fn)(text).hex() == expected


@pytest.mark.parametrize("fn, data, expected", [
    ("decode_utf16", "feff", ""),
    ("decode_utf16", "0041", "A"),
    ("decode_utf16", "fffe4100", "A"),
    ("decode_utf16", "fefffeff", "\ufeff"),
    ("decode_utf16", "fffefffe", "\ufeff"),
    ("decode_utf16be", "", ""),
    ("decode_utf16be", "feff0041", "\ufeffA"),
    ("decode_utf16le", "fffe4100", "\ufeffA"),
    ("decode_utf32", "00000041", "A"),
    ("decode_utf32", "fffe000041000000", "A"),
    ("decode_utf32", "0000feff", ""),
    ("decode_utf32", "0000feff0000feff", "\ufeff"),
    ("decode_utf32le", "", ""),
    ("decode_utf8", "efbbbf41", "\ufeffA"),
    ("decode_utf8", "", ""),
])
def test_decoder_examples(fn, data, expected):
    assert getattr(bitloom, fn)(bytes.fromhex(data)) == expected


LONE = "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"


@pytest.mark.parametrize("fn, data, message", [
    ("decode_utf16", "", "UTF-16 requires an even number of bytes with at least 2 bytes"),
    ("decode_utf16", "00", "UTF-16 requires an even number of bytes with at least 2 bytes"),
    ("decode_utf16", "feff00", "UTF-16 requires an even number of bytes with at least 2 bytes"),
    ("decode_utf16le", "41", "UTF-16 requires an even number of bytes"),
    ("decode_utf16le", "00d8", LONE),
    ("decode_utf16be", "dc00d800", LONE),
    ("decode_utf16be", "d800d800dc00", None),  # second high surrogate pairs; the first does not
    ("decode_utf16", "feffd800", LONE),
    ("decode_utf32", "", "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"),
    ("decode_utf32", "0000004100", "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"),
    ("decode_utf32le", "410000", "UTF-32 requires a multiple of 4 bytes"),
    ("decode_utf32be", "0000d800", "Invalid UTF-32 codepoint: 0x0000D800"),
    ("decode_utf32be", "00110000", "Invalid UTF-32 codepoint: 0x00110000"),
    ("decode_utf32le", "41000000ffffffff", "Invalid UTF-32 codepoint: 0xFFFFFFFF"),
    ("decode_utf32", "fffe00000000dc00", "Invalid UTF-32 codepoint: 0x00DC0000"),
    ("decode_utf8", "c328", "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0"),
    ("decode_utf8", "61e282", "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index 1"),
    ("decode_utf8", "eda080", "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0"),
    ("decode_utf8", "e28241", "Invalid UTF-8 bytes: invalid utf-8 sequence of 2 bytes from index 0"),
    ("decode_utf8", "f0908041", "Invalid UTF-8 bytes: invalid utf-8 sequence of 3 bytes from index 0"),
    ("decode_utf8", "f4908080", "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0"),
    ("decode_utf8", "41" * 40 + "c0af", "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 40"),
])
def test_decoder_failures(fn, data, message):
    if message is None:
        message = LONE
    with pytest.raises(ValueError) as info:
        getattr(bitloom, fn)(bytes.fromhex(data))
    assert info.value.args == (message,)


@pytest.mark.parametrize("fn", [f"encode_{s}" for s, _ in UTF_PAIRS] + ["encode_utf16", "encode_utf32"])
def test_lone_surrogate_is_the_interpreters_error(fn):
    with pytest.raises(UnicodeEncodeError) as info:
        getattr(bitloom, fn)("a\ud800b")
    assert not str(info.value).startswith("argument")


# ---- differential tests against Python's codecs -----------------------------------------------

def expected_utf8(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            assert e.end == len(data)
            detail = f"incomplete utf-8 byte sequence from index {e.start}"
        else:
            detail = f"invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}"
        return ValueError("Invalid UTF-8 bytes: " + detail)


def same(a, b):
    if isinstance(a, ValueError) or isinstance(b, ValueError):
        return type(a) is type(b) and str(a) == str(b)
    return type(a) is str and a == b and hash(a) == hash(b)


# Bytes that sit on the edges of UTF-8's byte classes, and ASCII runs long enough to cross the
# 16- and 64-byte blocks of the fast paths.
EDGE_BYTES = [0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xC3,
              0xC4, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF]
utf8_pieces = st.one_of(
    st.sampled_from(EDGE_BYTES).map(lambda b: bytes([b])),
    st.text(max_size=4).map(lambda s: s.encode()),
    st.integers(1, 80).map(lambda n: b"a" * n),
    st.binary(max_size=8),
)
utf8_inputs = st.one_of(st.binary(max_size=200), st.lists(utf8_pieces, max_size=30).map(b"".join))


@settings(max_examples=1500)
@given(utf8_inputs)
def test_decode_utf8_matches_python(data):
    assert same(ours("decode_utf8", data), expected_utf8(data))


EDGE_UNITS16 = [0x0000, 0x0041, 0x007F, 0x0080, 0x00FF, 0x0100, 0x07FF, 0xD7FF, 0xD800, 0xDBFF,
                0xDC00, 0xDFFF, 0xE000, 0xFEFF, 0xFFFE, 0xFFFF]
units16 = st.lists(st.one_of(st.sampled_from(EDGE_UNITS16), st.integers(0, 0xFFFF),
                             st.integers(1, 20).map(lambda n: [0x41] * n)), max_size=40)


def flatten(items):
    out = []
    for item in items:
        out.extend(item if isinstance(item, list) else [item])
    return out


@settings(max_examples=800)
@given(units16, st.booleans(), st.booleans())
def test_decode_utf16_matches_python(items, little, odd):
    units = flatten(items)
    data = struct.pack(("<" if little else ">") + "H" * len(units), *units) + (b"\x00" if odd else b"")
    try:
        expected = data.decode("utf-16-le" if little else "utf-16-be")
    except UnicodeDecodeError:
        expected = ValueError("UTF-16 requires an even number of bytes" if odd else LONE)
    assert same(ours("decode_utf16le" if little else "decode_utf16be", data), expected)
    # Without a mark, decode_utf16 reads big-endian; a mark sets the order and is dropped.
    marked = (b"\xff\xfe" if little else b"\xfe\xff") + data
    if odd:
        expected = ValueError("UTF-16 requires an even number of bytes with at least 2 bytes")
    assert same(ours("decode_utf16", marked), expected)


EDGE_UNITS32 = [0, 0x41, 0x7F, 0x80, 0xFF, 0x100, 0xFFFF, 0xD7FF, 0xD800, 0xDFFF, 0xE000,
                0x10000, 0x10FFFF, 0x110000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF]
units32 = st.lists(st.one_of(st.sampled_from(EDGE_UNITS32), st.integers(0, 0x10FFFF),
                             st.integers(0, 2**32 - 1),
                             st.integers(1, 12).map(lambda n: [0x41] * n)), max_size=30)


@settings(max_examples=800)
@given(units32, st.booleans())
def test_decode_utf32_matches_python(items, little):
    units = flatten(items)
    data = struct.pack(("<" if little else ">") + "I" * len(units), *units)
    try:
        expected = data.decode("utf-32-le" if little else "utf-32-be")
    except UnicodeDecodeError as e:
        expected = ValueError(f"Invalid UTF-32 codepoint: 0x{units[e.start // 4]:08X}")
    assert same(ours("decode_utf32le" if little else "decode_utf32be", data), expected)
    if not little:
        # Big-endian without a mark, unless the data happens to start with one.
        if data[:4] in (b"\x00\x00\xfe\xff", b"\xff\xfe\x00\x00"):
            return
        if not data:
            expected = ValueError("UTF-32 requires a multiple of 4 bytes with at least 4 bytes")
        assert same(ours("decode_utf32", data), expected)


@settings(max_examples=500)
@given(st.binary(max_size=64))
def test_bom_decoders_on_random_bytes(data):
    for fn, codec, width in (("decode_utf16", "utf-16", 2), ("decode_utf32", "utf-32", 4)):
        got = ours(fn, data)
        if len(data) < width or len(data) % width:
            assert isinstance(got, ValueError)
            continue
        le_mark, be_mark = ("\ufeff".encode(codec + "-le"), "\ufeff".encode(codec + "-be"))
        if data.startswith(le_mark):
            body, order = data[width:], "-le"
        elif data.startswith(be_mark):
            body, order = data[width:], "-be"
        else:
            body, order = data, "-be"
        try:
            assert same(got, body.decode(codec + order))
        except UnicodeDecodeError:
            assert isinstance(got, ValueError)


texts = st.one_of(
    st.text(max_size=60),
    st.text(alphabet=st.characters(min_codepoint=0x10000), max_size=20),
    st.lists(st.sampled_from(["a" * 17, "é", "東", "\U0001F600", "\x7f", "\x80", "\uffff"]),
             max_size=20).map("".join),
)


@settings(max_examples=600)
@given(texts)
def test_encoders_match_python_and_round_trip(text):
    for suffix, codec in UTF_PAIRS:
        encoded = getattr(bitloom, "encode_" + suffix)(text)
        assert encoded == text.encode(codec)
        assert same(getattr(bitloom, "decode_" + suffix)(encoded), text)
    assert bitloom.encode_utf16(text) == b"\xfe\xff" + text.encode("utf-16-be")
    assert bitloom.encode_utf32(text) == b"\x00\x00\xfe\xff" + text.encode("utf-32-be")
    assert same(bitloom.decode_utf16(bitloom.encode_utf16(text)), text)
    assert same(bitloom.decode_utf32(bitloom.encode_utf32(text)), text)


def test_large_mixed_round_trip():
    # Long enough that every block path runs, with each width class of code point.
    text = ("plain ascii run " * 5 + "é" + "東京" * 3 + "\U0001F600" + "ÿ") * 400
    for suffix, codec in UTF_PAIRS:
        encoded = getattr(bitloom, "encode_" + suffix)(text)
        assert encoded == text.encode(codec)
        assert getattr(bitloom, "decode_" + suffix)(encoded) == text


# ---- str storage widths and block edges -------------------------------------------------------
# Encoders read the str's own storage (1, 2 or 4 bytes per character) and decoders work in 16-,
# 32- and 128-byte blocks; these tests put the interesting character on each side of every edge.

EDGE_LENGTHS = [0, 1, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 130, 200]
# One character of each UTF-8 length and of each str storage width.
SPECIALS = ["é", "ÿ", "\u0100", "\u07ff", "東", "\uffff", "\U0001F600", "\U0010FFFF"]


def placed(base, length, special):
    """Texts of `length` characters of `base` with `special` at the start, middle and end."""
    if length == 0:
        return [""]
    spots = sorted({0, length // 2, length - 1})
    return [base * pos + special + base * (length - pos - 1) for pos in spots]


@pytest.mark.parametrize("length", EDGE_LENGTHS)
@pytest.mark.parametrize("base, special", [("a", "b")] + [("a", s) for s in SPECIALS] +
                         [("東", "a"), ("東", "\U0001F600"), ("\U0001F600", "a"), ("é", "東")])
def test_utf_codecs_at_block_edges(length, base, special):
    for text in placed(base, length, special):
        for suffix, codec in UTF_PAIRS:
            encoded = getattr(bitloom, "encode_" + suffix)(text)
            assert encoded == text.encode(codec), (suffix, text)
            assert same(getattr(bitloom, "decode_" + suffix)(encoded), text), (suffix, text)
        assert bitloom.encode_utf16(text) == b"\xfe\xff" + text.encode("utf-16-be")
        assert bitloom.encode_utf32(text) == b"\x00\x00\xfe\xff" + text.encode("utf-32-be")


class Text(str):
    pass


@pytest.mark.parametrize("text", ["", "abc", "é" * 40, "東京" * 20, "\U0001F600" * 20])
def test_encoders_take_str_subclasses(text):
    for suffix, codec in UTF_PAIRS:
        assert getattr(bitloom, "encode_" + suffix)(Text(text)) == text.encode(codec)


@pytest.mark.parametrize("base", ["a", "é", "東", "\U0001F600"])
@pytest.mark.parametrize("position", [0, 1, 7, 8, 15, 16, 31, 32, 39])
@pytest.mark.parametrize("surrogate", ["\ud800", "\udbff", "\udc00", "\udfff"])
def test_lone_surrogate_anywhere_is_the_interpreters_error(base, position, surrogate):
    text = base * position + surrogate + base * (39 - position)
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    for fn in ["encode_utf8", "encode_utf16", "encode_utf16le", "encode_utf16be", "encode_utf32",
               "encode_utf32le", "encode_utf32be", "encode_us_ascii", "encode_iso_8859_1",
               "encode_windows_1252"]:
        with pytest.raises(UnicodeEncodeError) as info:
            getattr(bitloom, fn)(text)
        assert info.value.args == expected.value.args, fn


# UTF-8 faults after prefixes of every length up to a few blocks, ASCII and mixed.
FAULTS = ["80", "bf", "c0af", "c1bf", "c2", "c241", "e0", "e080", "e09f80", "eda080", "e282", "e28241",
          "ef", "f0", "f08f8080", "f09f98", "f0908041", "f4908080", "f5", "ff"]
PREFIX_TEXTS = ["a" * 300, "aé東\U0001F600b" * 40]


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("source", PREFIX_TEXTS)
def test_decode_utf8_fault_at_every_offset(fault, source):
    seen = set()
    for k in range(0, 170):
        prefix = source[:k].encode()
        if prefix in seen:
            continue
        seen.add(prefix)
        for suffix in (b"", b"x" * 40, "東".encode() * 12):
            data = prefix + bytes.fromhex(fault) + suffix
            assert same(ours("decode_utf8", data), expected_utf8(data)), data


@pytest.mark.parametrize("little", [False, True])
@pytest.mark.parametrize("bad", [0xD800, 0xDFFF, 0x110000, 0x80000000, 0xFFFFFFFF])
@pytest.mark.parametrize("fill", [0x41, 0xE9, 0x6771, 0x1F600])
def test_decode_utf32_bad_unit_at_every_position(little, bad, fill):
    fmt = "<" if little else ">"
    for position in range(0, 70):
        units = [fill] * 70
        units[position] = bad
        data = struct.pack(fmt + "I" * len(units), *units)
        fn = "decode_utf32le" if little else "decode_utf32be"
        assert same(ours(fn, data), ValueError(f"Invalid UTF-32 codepoint: 0x{bad:08X}"))
        good = struct.pack(fmt + "I" * position, *units[:position])
        assert same(ours(fn, good), chr(fill) * position)


long_utf8_inputs = st.lists(
    st.one_of(st.sampled_from(EDGE_BYTES).map(lambda b: bytes([b])),
              st.text(max_size=8).map(lambda s: s.encode()),
              st.integers(1, 200).map(lambda n: b"a" * n)),
    max_size=60).map(b"".join)


@settings(max_examples=600)
@given(long_utf8_inputs)
def test_decode_utf8_long_inputs_match_python(data):
    assert same(ours("decode_utf8", data), expected_utf8(data))
