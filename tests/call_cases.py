"""Calls of every module function on its success path and on each kind of failure path.

Shared by the reference/memory checks and the thread checks. Each case is
(function name, positional args, keyword args); `run(case)` returns the result or the raised
exception, so that outcomes can be compared.
"""
import numpy as np

import bitloom

INTEGER_CODECS = ["sign_magnitude", "ones_complement", "twos_complement"]
BCD_CODECS = ["packed_bcd", "unpacked_bcd"]
IEEE = ["f16", "f32", "f64"]
OLDER_FLOATS = ["ieee754_1985_f32", "ieee754_1985_f64", "ieee754_1985_f80", "mil_std_1750a_f32",
                "mil_std_1750a_f48", "dec_f32", "dec_f64", "ibm_f32", "ibm_f64", "ti_f32", "ti_f40"]
UNICODE = ["utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be"]
SINGLE_BYTE = ["us_ascii", "iso_8859_1", "windows_1252"]

BIG = 10**40  # a heap int, beyond every conversion
TEXT = "t\u00e9l\u00e9m\u00e9trie \u20ac \U0001d11e" * 5
LATIN = "caf\u00e9 cr\u00e8me " * 5


def _recipe(**changes):
    base = [
        {"name": "apid", "encoding": "unsigned", "bits": 11, "byte_order": "big",
         "reverse_bits": False, "offset_bits": 5, "value": 0x7FF},
        {"name": "temp", "encoding": "twos_complement", "bits": 16, "byte_order": "little",
         "reverse_bits": True, "value": -2000},
        {"name": "volts", "encoding": "ieee754", "bits": 32, "byte_order": "big",
         "reverse_bits": False, "value": 3.25},
        {"name": "label", "encoding": "utf-8", "bits": 48, "byte_order": "big",
         "reverse_bits": False, "value": "h\u00e9llo"},
        {"name": "raw", "encoding": "binary", "bits": 20, "byte_order": "big",
         "reverse_bits": True, "value": [1, 2, 3]},
    ]
    base[-1].update(changes)
    return base


def _reader(recipe):
    out = []
    for item in recipe:
        item = {k: v for k, v in item.items() if k != "value"}
        item["encoding"] = {"ieee754": "ieee754_f32", "binary": "latin1"}.get(item["encoding"], item["encoding"])
        out.append(item)
    return out


RECIPE = _recipe()
PACKET = bitloom.pack_parameters(RECIPE)
READER = _reader(RECIPE)


class Sequence:
    """A sequence that is neither a list nor a tuple (read by iteration)."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Reentrant:
    """A number or a buffer whose conversion method calls the module once before it answers."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        bitloom.encode_twos_complement(-1, 8)
        return self.value

    def __float__(self):
        bitloom.decode_ieee754_f16(0x3C00)
        return float(self.value)

    def __buffer__(self, flags):
        bitloom.decode_utf8(b"x")
        return memoryview(self.value)


def _cases():
    cases = []
    add = lambda name, *args, **kwargs: cases.append((name, args, kwargs))  # noqa: E731
    for codec in INTEGER_CODECS:
        add(f"encode_{codec}", -1000, 16)
        add(f"encode_{codec}", value=1000, bits=64)
        add(f"encode_{codec}", 10**6, 8)             # ValueError
        add(f"encode_{codec}", 1.5, 8)               # TypeError, prefixed
        add(f"encode_{codec}", 1, -1)                # OverflowError
        add(f"encode_{codec}", BIG, 8)               # OverflowError from the interpreter
        add(f"encode_{codec}")                       # binding: missing
        add(f"encode_{codec}", 1, 8, 9)              # binding: too many
        add(f"encode_{codec}", 1, bits=8, value=2)   # binding: multiple values
        add(f"encode_{codec}", 1, bit=8)             # binding: unexpected keyword
        add(f"decode_{codec}", 0xFFFE, 16)
        add(f"decode_{codec}", BIG, 16)
        add(f"decode_{codec}", -1, 16)
        add(f"decode_{codec}", "x", 16)
    for codec in BCD_CODECS:
        add(f"encode_{codec}", 1234, 32)
        add(f"encode_{codec}", -123, 32, True)
        add(f"encode_{codec}", 10**9, 16)            # too many digits
        add(f"encode_{codec}", -1, 16)               # negative unsigned
        add(f"encode_{codec}", 1, 2)                 # width
        add(f"encode_{codec}", 5, 16, 1)             # bool conversion
        packed = codec == "packed_bcd"
        add(f"decode_{codec}", 0x1234 if packed else 0x0102, 16)
        add(f"decode_{codec}", 0x12D if packed else 0xF1D2, 12 if packed else 16, signed=True)
        add(f"decode_{codec}", 0xAB, 8)              # digit
        add(f"decode_{codec}", 0x12, 8, True)        # sign
        add(f"decode_{codec}", 1, 8, None)
    for width in IEEE:
        add(f"encode_ieee754_{width}", 1.5)
        add(f"encode_ieee754_{width}", 1e300)
        add(f"encode_ieee754_{width}", "x")
        add(f"encode_ieee754_{width}", BIG * BIG * BIG * BIG * BIG * BIG * BIG * BIG)  # int too large for float
        add(f"decode_ieee754_{width}", 0x3C00)
        add(f"decode_ieee754_{width}", BIG)
        add(f"decode_ieee754_{width}", 2.0)
    add("encode_ieee754_f128", 1.5)
    add("encode_ieee754_f128", "x")
    add("decode_ieee754_f128", 0x3FFF << 112)
    add("decode_ieee754_f128", -1)
    add("decode_ieee754_f128", 1 << 130)
    add("decode_ieee754_f128", None)
    for family in OLDER_FLOATS:
        add(f"encode_{family}", 1.5)
        add(f"encode_{family}", "x")
        add(f"decode_{family}", 7)
        add(f"decode_{family}", -7)
    for codec in UNICODE:
        add(f"encode_{codec}", TEXT)
        add(f"encode_{codec}", "\ud800")             # UnicodeEncodeError
        add(f"encode_{codec}", b"x")
        encoded = getattr(bitloom, f"encode_{codec}")(TEXT)
        add(f"decode_{codec}", encoded)
        add(f"decode_{codec}", encoded[:-1])         # ill-formed or odd length
        add(f"decode_{codec}", bytearray(encoded))
    for codec in SINGLE_BYTE:
        add(f"encode_{codec}", LATIN if codec != "us_ascii" else "plain ascii " * 5)
        add(f"encode_{codec}", LATIN)
        add(f"encode_{codec}", LATIN + "\u0100\U0001f600")
        add(f"encode_{codec}", "\ud800")
        add(f"decode_{codec}", (LATIN if codec != "us_ascii" else "plain ascii " * 5).encode("latin-1"))
        add(f"decode_{codec}", b"\xef\xbb\xbf\xff" + bytes(range(256)))
        add(f"decode_{codec}", 5)
    add("pack_parameters", RECIPE)
    add("pack_parameters", tuple(RECIPE))
    add("pack_parameters", Sequence(RECIPE))
    add("pack_parameters", _recipe(value=[1, 2, 300]))             # OverflowError, wrapped
    add("pack_parameters", _recipe(encoding="nope"))               # ValueError, wrapped
    add("pack_parameters", RECIPE[:-1] + [{"name": "x"}])          # KeyError, wrapped
    add("pack_parameters", RECIPE + [5])                           # TypeError, wrapped
    add("pack_parameters", _recipe(offset_bits=2**64 - 1))         # position overflow
    add("pack_parameters", "recipe")
    add("pack_parameters", 5)
    add("unpack_parameters", PACKET, 0, READER)
    add("unpack_parameters", b"\x00" + PACKET, 8, Sequence(READER))
    add("unpack_parameters", PACKET, 0, _reader(_recipe(encoding="utf-32")))  # ValueError, wrapped
    add("unpack_parameters", PACKET[:-2], 0, READER)              # InternalFault
    add("unpack_parameters", PACKET, 2**64 - 8, READER)           # InternalFault, start
    add("unpack_parameters", PACKET, -1, READER)
    add("unpack_parameters", bytearray(PACKET), 0, READER)
    add("unpack_parameters", PACKET, 0, "recipe")
    size = len(PACKET)
    add("unpack_columns", PACKET * 3, READER, packet_size=size)
    add("unpack_columns", bytearray(PACKET * 2), READER, [size, 0], threads=2)
    add("unpack_columns", memoryview(PACKET * 2), READER, np.array([0, size], np.int32))
    add("unpack_columns", PACKET * 2, _reader(_recipe(encoding="utf-32")), packet_size=size)  # ValueError
    # Offsets as arrays: a list's conversion by numpy leaves numpy's own caches to fill.
    add("unpack_columns", PACKET * 2, READER, np.array([0, size + 1]))  # packet too short
    add("unpack_columns", PACKET, READER, np.array([-1]))               # negative offset
    add("unpack_columns", PACKET, READER, np.array([0.5]))              # not integers
    add("unpack_columns", PACKET, READER, threads=0)
    add("unpack_columns", PACKET, "recipe")
    add("unpack_columns", "data", READER)
    add("packet_offsets", PACKET * 3, size)
    add("packet_offsets", PACKET * 3 + b"\0", size, allow_partial=True)
    add("packet_offsets", PACKET * 3 + b"\0", size)             # partial packet
    add("packet_offsets", PACKET, "ccsds2")
    add("packet_offsets", PACKET, 1.5)
    # Conversions that run Python code which calls the module again, one level deep.
    add("encode_twos_complement", Reentrant(-5), Reentrant(16))
    add("encode_ieee754_f32", Reentrant(2))
    add("decode_ieee754_f128", Reentrant(1))
    add("pack_parameters", [RECIPE[0] | {"value": Reentrant(5), "bits": Reentrant(11)}])
    add("unpack_columns", Reentrant(PACKET * 3), READER, packet_size=Reentrant(size),
        threads=Reentrant(1))
    add("packet_offsets", Reentrant(PACKET * 3), Reentrant(size))
    return cases


CASES = _cases()


def run(case):
    name, args, kwargs = case
    try:
        return getattr(bitloom, name)(*args, **kwargs)
    except BaseException as error:  # InternalFault derives from BaseException
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        # Without its traceback the exception holds no frame, so no reference cycle is left.
        return error.with_traceback(None)


def _array(column):
    text = column.dtype.kind == "T"
    return (str(column.dtype), tuple(column.tolist()) if text else column.tobytes())


def outcome(value):
    """A comparable form of a result or an exception."""
    if isinstance(value, BaseException):
        return ("raised", type(value), value.args)
    if isinstance(value, np.ndarray):
        return ("returned", np.ndarray, _array(value))
    if isinstance(value, dict) and all(isinstance(v, np.ndarray) for v in value.values()):
        return ("returned", dict, tuple((k, _array(v)) for k, v in value.items()))
    if isinstance(value, float) and value != value:
        return ("nan",)
    return ("returned", type(value), value)
