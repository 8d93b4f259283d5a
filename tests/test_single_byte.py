"""US-ASCII, ISO-8859-1 and Windows-1252, checked against the interpreter's own codecs."""
import pytest
from hypothesis import given, settings, strategies as st

import bitloom

# Python's cp1252 leaves these five bytes unassigned; here they are the C1 control of that value.
C1_PASS_THROUGH = {0x81, 0x8D, 0x8F, 0x90, 0x9D}
CP1252 = [chr(b) if b in C1_PASS_THROUGH else bytes([b]).decode("cp1252") for b in range(256)]
CP1252_ENCODE = {ord(c): b for b, c in enumerate(CP1252)}


def ours(name, arg):
    try:
        return getattr(bitloom, name)(arg)
    except ValueError as e:
        return ValueError(str(e))


def same(a, b):
    if isinstance(a, ValueError) or isinstance(b, ValueError):
        return type(a) is type(b) and str(a) == str(b)
    return type(a) is type(b) and a == b and hash(a) == hash(b)


def ascii_message(byte):
    return f"Invalid US-ASCII byte: 0x{byte:02X} (must be <= 0x7F)"


def char_message(ch, name):
    return f"Character '{ch}' (U+{ord(ch):04X}) is not valid {name}"


# ---- models -----------------------------------------------------------------------------------

def model_decode_ascii(data):
    bad = next((b for b in data if b >= 0x80), None)
    return data.decode("ascii") if bad is None else ValueError(ascii_message(bad))


def model_decode_1252(data):
    fail = ValueError("Failed to decode Windows-1252 bytes")
    for mark, codec in ((b"\xef\xbb\xbf", "utf-8"), (b"\xff\xfe", "utf-16-le"), (b"\xfe\xff", "utf-16-be")):
        if data.startswith(mark):
            try:
                return data[len(mark):].decode(codec)
            except UnicodeDecodeError:
                return fail
    return "".join(CP1252[b] for b in data)


def model_encode(text, limit, name):
    bad = next((c for c in text if ord(c) > limit), None)
    return text.encode("latin-1") if bad is None else ValueError(char_message(bad, name))


def model_encode_1252(text):
    try:
        return bytes(CP1252_ENCODE[ord(c)] for c in text)
    except KeyError:
        return ValueError("Failed to encode to Windows-1252")


# ---- exhaustive tables ------------------------------------------------------------------------

@pytest.mark.parametrize("byte", range(256))
def test_every_byte_decodes_as_python_does(byte):
    one = bytes([byte])
    # Also behind a long ASCII run, so the byte lands in a block of the fast paths.
    padded = b"x" * 37 + one + b"y" * 20
    for data in (one, padded):
        assert same(ours("decode_us_ascii", data), model_decode_ascii(data))
        assert same(ours("decode_iso_8859_1", data), data.decode("latin-1"))
        assert same(ours("decode_windows_1252", data), model_decode_1252(data))
    if byte not in C1_PASS_THROUGH:
        assert ours("decode_windows_1252", one) == one.decode("cp1252")


def test_all_bytes_in_one_input():
    data = bytes(range(256))
    assert bitloom.decode_iso_8859_1(data) == "".join(map(chr, range(256)))
    assert bitloom.decode_windows_1252(data) == "".join(CP1252)
    assert bitloom.encode_windows_1252("".join(CP1252)) == data
    assert bitloom.encode_iso_8859_1(bitloom.decode_iso_8859_1(data)) == data


@pytest.mark.parametrize("block", range(0, 0x3000, 0x100))
def test_every_code_point_encodes_as_modelled(block):
    for cp in range(block, block + 0x100):
        if 0xD800 <= cp <= 0xDFFF:
            continue
        ch = chr(cp)
        assert same(ours("encode_us_ascii", ch), model_encode(ch, 0x7F, "US-ASCII"))
        assert same(ours("encode_iso_8859_1", ch), model_encode(ch, 0xFF, "ISO-8859-1"))
        assert same(ours("encode_windows_1252", ch), model_encode_1252(ch))


def test_windows_1252_has_27_code_points_above_latin1():
    above = [cp for cp in range(0x100, 0x10000) if not 0xD800 <= cp <= 0xDFFF
             and not isinstance(ours("encode_windows_1252", chr(cp)), ValueError)]
    assert len(above) == 27


# ---- fixed cases ------------------------------------------------------------------------------

@pytest.mark.parametrize("data, expected", [
    ("80819dff", "\u20ac\x81\x9d\xff"),
    ("efbbbf41", "A"),
    ("fffe4100", "A"),
    ("feff0041", "A"),
    ("fffe", ""),
    ("feff", ""),
    ("efbbbf", ""),
    ("efbb", "\xef\xbb"),
    ("ff", "\xff"),
    ("", ""),
    ("fffe3dd800de", "\U0001F600"),
    ("efbbbfefbbbf", "\ufeff"),
])
def test_decode_windows_1252_examples(data, expected):
    assert bitloom.decode_windows_1252(bytes.fromhex(data)) == expected


@pytest.mark.parametrize("data", ["efbbbfff", "fffe41", "feff00", "fffe00d8", "feffdc00", "efbbbfc328"])
def test_decode_windows_1252_malformed_after_mark(data):
    with pytest.raises(ValueError) as info:
        bitloom.decode_windows_1252(bytes.fromhex(data))
    assert info.value.args == ("Failed to decode Windows-1252 bytes",)


@pytest.mark.parametrize("fn, text, message", [
    ("encode_us_ascii", "abécd", char_message("é", "US-ASCII")),
    ("encode_us_ascii", "\U0001F600", "Character '\U0001F600' (U+1F600) is not valid US-ASCII"),
    ("encode_iso_8859_1", "a\u0100b", "Character '\u0100' (U+0100) is not valid ISO-8859-1"),
    ("encode_iso_8859_1", "é€", "Character '€' (U+20AC) is not valid ISO-8859-1"),
    ("encode_iso_8859_1", "\U0010FFFF", "Character '\U0010FFFF' (U+10FFFF) is not valid ISO-8859-1"),
    ("encode_windows_1252", "\x80", "Failed to encode to Windows-1252"),
    ("encode_windows_1252", "abc\u0100", "Failed to encode to Windows-1252"),
])
def test_encoder_failures(fn, text, message):
    with pytest.raises(ValueError) as info:
        getattr(bitloom, fn)(text)
    assert info.value.args == (message,)


@pytest.mark.parametrize("fn", ["encode_us_ascii", "encode_iso_8859_1", "encode_windows_1252"])
def test_lone_surrogate_is_the_interpreters_error(fn):
    with pytest.raises(UnicodeEncodeError):
        getattr(bitloom, fn)("\udc80")


# ---- random inputs ----------------------------------------------------------------------------

byte_inputs = st.one_of(
    st.binary(max_size=120),
    st.lists(st.one_of(st.binary(max_size=4), st.integers(1, 40).map(lambda n: b"q" * n),
                       st.sampled_from([b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff", b"\x80", b"\x9d"])),
             max_size=20).map(b"".join),
)


@settings(max_examples=1000)
@given(byte_inputs)
def test_decoders_match_models(data):
    assert same(ours("decode_us_ascii", data), model_decode_ascii(data))
    assert same(ours("decode_iso_8859_1", data), data.decode("latin-1"))
    assert same(ours("decode_windows_1252", data), model_decode_1252(data))


text_inputs = st.one_of(
    st.text(max_size=60),
    st.lists(st.sampled_from(CP1252 + ["\u0100", "\U0001F600", "x" * 20]), max_size=40).map("".join),
)


@settings(max_examples=1000)
@given(text_inputs)
def test_encoders_match_models_and_round_trip(text):
    assert same(ours("encode_us_ascii", text), model_encode(text, 0x7F, "US-ASCII"))
    assert same(ours("encode_iso_8859_1", text), model_encode(text, 0xFF, "ISO-8859-1"))
    expected = model_encode_1252(text)
    assert same(ours("encode_windows_1252", text), expected)
    if isinstance(expected, bytes) and not expected.startswith((b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff")):
        assert bitloom.decode_windows_1252(expected) == text


# ---- str storage widths and block edges -------------------------------------------------------

EDGE_LENGTHS = [0, 1, 15, 16, 17, 31, 32, 33, 47, 48, 64, 65, 100]
# Characters inside and outside each encoding; the wide ones make the str store 2 or 4 bytes.
SPECIALS = ["\x7f", "\x80", "\x81", "\x9d", "\x9f", "\xa0", "é", "ÿ", "\u0100", "Œ", "€", "™",
            "\u2123", "東", "\U0001F600"]


@pytest.mark.parametrize("length", EDGE_LENGTHS)
@pytest.mark.parametrize("base", ["a", "é", "€", "\U0001F600"])
@pytest.mark.parametrize("special", SPECIALS)
def test_encoders_at_block_edges(length, base, special):
    if length == 0:
        texts = [""]
    else:
        texts = [base * pos + special + base * (length - pos - 1)
                 for pos in sorted({0, length // 2, length - 1})]
    for text in texts:
        assert same(ours("encode_us_ascii", text), model_encode(text, 0x7F, "US-ASCII")), text
        assert same(ours("encode_iso_8859_1", text), model_encode(text, 0xFF, "ISO-8859-1")), text
        assert same(ours("encode_windows_1252", text), model_encode_1252(text)), text


@pytest.mark.parametrize("length", EDGE_LENGTHS + [200])
@pytest.mark.parametrize("byte", [0x41, 0x80, 0x81, 0x8D, 0x99, 0x9F, 0xA0, 0xE9, 0xFF])
def test_decode_windows_1252_at_block_edges(length, byte):
    for fill in (0x61, 0xE9, 0x80):
        for pos in sorted({0, length // 2, max(length - 1, 0)}):
            data = bytearray([fill] * length + [byte])
            data[pos], data[-1] = byte, fill
            data = bytes(data)
            assert same(ours("decode_windows_1252", data), model_decode_1252(data)), data
            assert same(ours("decode_iso_8859_1", data), data.decode("latin-1"))
