"""The module surface: registration, signatures, argument binding, conversions, exception rules."""
import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import bitloom

# Registration order and text signature of every function.
SIGNATURES = [
    ("unpack_parameters", "(packet_bytes, offset_bits, recipe)"),
    ("pack_parameters", "(recipe)"),
    ("decode_ones_complement", "(value, bits)"),
    ("decode_twos_complement", "(value, bits)"),
    ("decode_sign_magnitude", "(value, bits)"),
    ("decode_unpacked_bcd", "(value, bits, signed=False)"),
    ("decode_packed_bcd", "(value, bits, signed=False)"),
    ("decode_ieee754_f16", "(value)"),
    ("decode_ieee754_f32", "(value)"),
    ("decode_ieee754_f64", "(value)"),
    ("decode_ieee754_f128", "(value)"),
    *[(f"decode_{fmt}", "(_value)") for fmt in (
        "ieee754_1985_f32", "ieee754_1985_f64", "ieee754_1985_f80", "mil_std_1750a_f32",
        "mil_std_1750a_f48", "dec_f32", "dec_f64", "ibm_f32", "ibm_f64", "ti_f32", "ti_f40")],
    *[(f"decode_{enc}", "(bytes)") for enc in (
        "us_ascii", "iso_8859_1", "windows_1252", "utf8", "utf16", "utf16le", "utf16be",
        "utf32", "utf32le", "utf32be")],
    ("encode_ones_complement", "(value, bits)"),
    ("encode_twos_complement", "(value, bits)"),
    ("encode_sign_magnitude", "(value, bits)"),
    ("encode_unpacked_bcd", "(value, bits, signed=False)"),
    ("encode_packed_bcd", "(value, bits, signed=False)"),
    ("encode_ieee754_f16", "(value)"),
    ("encode_ieee754_f32", "(value)"),
    ("encode_ieee754_f64", "(value)"),
    ("encode_ieee754_f128", "(_value)"),
    *[(f"encode_{fmt}", "(_value)") for fmt in (
        "ieee754_1985_f32", "ieee754_1985_f64", "ieee754_1985_f80", "mil_std_1750a_f32",
        "mil_std_1750a_f48", "dec_f32", "dec_f64", "ibm_f32", "ibm_f64", "ti_f32", "ti_f40")],
    *[(f"encode_{enc}", "(text)") for enc in (
        "us_ascii", "iso_8859_1", "windows_1252", "utf8", "utf16", "utf16le", "utf16be",
        "utf32", "utf32le", "utf32be")],
    # Whole buffers of packets: keyword-only parameters after the positional ones.
    ("unpack_columns", "(data, recipe, offsets=None, *, offset_bits=0, packet_size=None, threads=1)"),
    ("packet_offsets", "(data, framing='ccsds', *, allow_partial=False)"),
]


def test_registration_order_and_module_attributes():
    assert len(SIGNATURES) == 64
    assert bitloom.__all__ == [name for name, _ in SIGNATURES]
    assert bitloom.__doc__ == ""
    assert "InternalFault" not in bitloom.__all__


@pytest.mark.parametrize("name,signature", SIGNATURES)
def test_function_record(name, signature):
    fn = getattr(bitloom, name)
    assert fn.__name__ == name
    assert fn.__text_signature__ == signature
    assert fn.__doc__ is None
    assert fn.__module__ == "bitloom"
    assert fn.__self__ is bitloom
    assert str(inspect.signature(fn)) == signature


def test_internal_fault_class():
    fault = bitloom.InternalFault
    assert fault.__bases__ == (BaseException,)
    assert not issubclass(fault, Exception)
    assert fault.__module__ == "bitloom"


def test_second_import_returns_cached_module():
    first = sys.modules.pop("bitloom")
    try:
        import bitloom as again
        assert again is first
        assert again.InternalFault is first.InternalFault
    finally:
        sys.modules["bitloom"] = first


def test_subinterpreter_import_fails_and_main_keeps_working():
    # Run in a fresh process so that no other test's import state interferes.
    code = textwrap.dedent("""
        import _interpreters, bitloom
        interp = _interpreters.create("legacy")
        try:
            err = _interpreters.exec(interp, "import bitloom")
        finally:
            _interpreters.destroy(interp)
        assert err is not None and err.type.__name__ == "ImportError", err
        assert "subinterpreters" in err.msg, err.msg
        assert bitloom.encode_twos_complement(-2, 16) == 65534
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


def test_subinterpreter_imports_first_and_concurrently():
    # A subinterpreter that imports before the main interpreter still fails (the module is
    # initialised for the main one), and so does every later attempt, of either kind, also
    # while other threads of the main interpreter are calling the module; the main
    # interpreter's module, from any import path, is the one object and keeps working.
    code = textwrap.dedent("""
        import _interpreters, importlib, importlib.util, sys, threading

        def sub_import(config):
            interp = _interpreters.create(config)
            try:
                return _interpreters.exec(interp, "import bitloom")
            finally:
                _interpreters.destroy(interp)

        for config in ("legacy", "isolated"):
            err = sub_import(config)
            assert err is not None and err.type.__name__ == "ImportError", (config, err)
        import bitloom
        assert bitloom.encode_twos_complement(-2, 16) == 65534

        stop = threading.Event()
        seen = []
        def hammer():
            while not stop.is_set():
                seen.append(bitloom.pack_parameters([{"name": "a", "encoding": "unsigned", "bits": 8,
                    "byte_order": "big", "reverse_bits": False, "value": 7}]))
        workers = [threading.Thread(target=hammer) for _ in range(3)]
        for w in workers: w.start()
        try:
            errors = [sub_import(config) for config in ("legacy", "isolated") * 5]
        finally:
            stop.set()
            for w in workers: w.join()
        assert all(e is not None and e.type.__name__ == "ImportError" for e in errors), errors
        assert seen and set(seen) == {b"\\x07"}

        assert importlib.reload(bitloom) is bitloom
        spec = importlib.util.find_spec("bitloom")
        assert importlib.util.module_from_spec(spec) is bitloom
        assert bitloom.decode_utf8(b"ok") == "ok"
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


# Argument binding: (call, expected TypeError text).
BINDING_FAILURES = [
    (lambda: bitloom.encode_sign_magnitude(),
     "encode_sign_magnitude() missing 2 required positional arguments: 'value' and 'bits'"),
    (lambda: bitloom.unpack_parameters(),
     "unpack_parameters() missing 3 required positional arguments: "
     "'packet_bytes', 'offset_bits', and 'recipe'"),
    (lambda: bitloom.unpack_parameters(b"", recipe=[]),
     "unpack_parameters() missing 1 required positional argument: 'offset_bits'"),
    (lambda: bitloom.encode_packed_bcd(bits=8),
     "encode_packed_bcd() missing 1 required positional argument: 'value'"),
    (lambda: bitloom.encode_packed_bcd(signed=True),
     "encode_packed_bcd() missing 2 required positional arguments: 'value' and 'bits'"),
    (lambda: bitloom.encode_sign_magnitude(1, 8, 3),
     "encode_sign_magnitude() takes 2 positional arguments but 3 were given"),
    (lambda: bitloom.decode_utf8(b"", b""),
     "decode_utf8() takes 1 positional arguments but 2 were given"),
    (lambda: bitloom.pack_parameters([], [], value=1),
     "pack_parameters() takes 1 positional arguments but 2 were given"),
    (lambda: bitloom.encode_packed_bcd(1, 8, True, 4),
     "encode_packed_bcd() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: bitloom.encode_sign_magnitude(5, 8, value=1),
     "encode_sign_magnitude() got multiple values for argument 'value'"),
    (lambda: bitloom.encode_packed_bcd(5, 8, True, signed=True),
     "encode_packed_bcd() got multiple values for argument 'signed'"),
    (lambda: bitloom.encode_sign_magnitude(5, bit=8),
     "encode_sign_magnitude() got an unexpected keyword argument 'bit'"),
    (lambda: bitloom.encode_sign_magnitude(5, Bits=8),
     "encode_sign_magnitude() got an unexpected keyword argument 'Bits'"),
    (lambda: bitloom.encode_sign_magnitude(**{"value": 1, "bits": 8, "x\u00e9": 1}),
     "encode_sign_magnitude() got an unexpected keyword argument 'x\u00e9'"),
    # Keyword-only parameters cannot be given by position.
    (lambda: bitloom.unpack_columns(b"", [], None, 0),
     "unpack_columns() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: bitloom.unpack_columns(b"", [], None, 0, None, 1),
     "unpack_columns() takes from 2 to 3 positional arguments but 6 were given"),
    (lambda: bitloom.packet_offsets(b"", "ccsds", True),
     "packet_offsets() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: bitloom.unpack_columns(b"", packet_size=1),
     "unpack_columns() missing 1 required positional argument: 'recipe'"),
    (lambda: bitloom.unpack_columns(b"", [], thread=2),
     "unpack_columns() got an unexpected keyword argument 'thread'"),
    (lambda: bitloom.packet_offsets(b"", 4, framing=4),
     "packet_offsets() got multiple values for argument 'framing'"),
]


@pytest.mark.parametrize("call,message", BINDING_FAILURES)
def test_binding_failures(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert info.value.args == (message,)


@pytest.mark.parametrize("args,kwargs", [
    ((5, 8, True), {}),
    ((5,), {"bits": 8, "signed": True}),
    ((5,), {"signed": True, "bits": 8}),
    ((), {"value": 5, "bits": 8, "signed": True}),
    ((), {"signed": True, "bits": 8, "value": 5}),
    ((5, 8), {"signed": True}),
])
def test_every_binding_shape_gives_the_same_call(args, kwargs):
    assert bitloom.encode_packed_bcd(*args, **kwargs) == 0x5C


@pytest.mark.parametrize("args,kwargs", [((5,), {"bits": 8}), ((), {"bits": 8, "value": 5}),
                                         ((5, 8), {})])
def test_omitted_optional_parameter_defaults_to_false(args, kwargs):
    assert bitloom.encode_packed_bcd(*args, **kwargs) == 0x05


COLUMN_RECIPE = [{"name": "a", "encoding": "unsigned", "bits": 4, "byte_order": "big",
                  "reverse_bits": False}]


@pytest.mark.parametrize("args,kwargs", [
    ((b"\x12\x34", COLUMN_RECIPE), {"packet_size": 1}),
    ((b"\x12\x34", COLUMN_RECIPE, [0, 1]), {}),
    ((b"\x12\x34", COLUMN_RECIPE, None), {"threads": 2, "packet_size": 1, "offset_bits": 0}),
    ((), {"threads": 1, "recipe": COLUMN_RECIPE, "data": b"\x12\x34", "offsets": [0, 1]}),
    ((b"\x01\x23\x40",), {"recipe": COLUMN_RECIPE, "offset_bits": 4, "offsets": [0, 1]}),
])
def test_keyword_only_parameters_bind_in_any_order(args, kwargs):
    assert bitloom.unpack_columns(*args, **kwargs)["a"].tolist() == [1, 3]


def test_keywords_in_any_order_and_non_interned_names():
    assert bitloom.encode_packed_bcd(signed=True, bits=8, value=5) == bitloom.encode_packed_bcd(5, 8, True)
    built = "".join(["bi", "ts"])  # not the interned object: matched by value
    assert bitloom.encode_twos_complement(**{"value": -1, built: 8}) == 255
    assert bitloom.decode_packed_bcd(0x123D, 16, signed=True) == -123


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 2.5


def raises_with_cause(exc):
    class Bad:
        def __index__(self):
            raise exc
    return Bad()


# Conversion kinds: (call, exception type, exact text or None for the interpreter's own text).
CONVERSION_FAILURES = [
    # signed 64-bit
    (lambda: bitloom.encode_twos_complement(1.0, 8), TypeError,
     "argument 'value': 'float' object cannot be interpreted as an integer"),
    (lambda: bitloom.encode_twos_complement("1", 8), TypeError,
     "argument 'value': 'str' object cannot be interpreted as an integer"),
    (lambda: bitloom.encode_twos_complement(2**63, 64), OverflowError, None),
    (lambda: bitloom.encode_twos_complement(-(2**63) - 1, 64), OverflowError, None),
    # unsigned 32-bit
    (lambda: bitloom.encode_twos_complement(1, -1), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: bitloom.encode_twos_complement(1, 2**32), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: bitloom.encode_twos_complement(1, 2**63), OverflowError,
     "Python int too large to convert to C long"),
    (lambda: bitloom.encode_twos_complement(1, None), TypeError,
     "argument 'bits': 'NoneType' object cannot be interpreted as an integer"),
    # unsigned 64-bit
    (lambda: bitloom.decode_twos_complement(-1, 8), OverflowError, None),
    (lambda: bitloom.decode_twos_complement(2**64, 8), OverflowError, None),
    (lambda: bitloom.decode_twos_complement(Index(-1), 8), OverflowError, None),
    (lambda: bitloom.decode_twos_complement(1.5, 8), TypeError,
     "argument 'value': 'float' object cannot be interpreted as an integer"),
    # boolean
    (lambda: bitloom.encode_packed_bcd(5, 8, 1), TypeError,
     "argument 'signed': 'int' object cannot be cast as 'bool'"),
    (lambda: bitloom.encode_packed_bcd(5, 8, None), TypeError,
     "argument 'signed': 'NoneType' object cannot be cast as 'bool'"),
    (lambda: bitloom.encode_packed_bcd(5, 8, np.int8(1)), TypeError,
     "argument 'signed': 'int8' object cannot be cast as 'bool'"),
    # bytes
    (lambda: bitloom.decode_utf8(bytearray(b"a")), TypeError,
     "argument 'bytes': 'bytearray' object cannot be cast as 'bytes'"),
    (lambda: bitloom.decode_utf8(memoryview(b"a")), TypeError,
     "argument 'bytes': 'memoryview' object cannot be cast as 'bytes'"),
    (lambda: bitloom.unpack_parameters([1], 0, []), TypeError,
     "argument 'packet_bytes': 'list' object cannot be cast as 'bytes'"),
    # text
    (lambda: bitloom.encode_utf8(b"a"), TypeError,
     "argument 'text': 'bytes' object cannot be cast as 'str'"),
    (lambda: bitloom.encode_utf8("\ud800"), UnicodeEncodeError, None),
    # sequence
    (lambda: bitloom.pack_parameters("abc"), TypeError,
     "argument 'recipe': Can't extract `str` to `Vec`"),
    (lambda: bitloom.pack_parameters(5), TypeError,
     "argument 'recipe': 'int' object cannot be cast as 'Sequence'"),
    (lambda: bitloom.pack_parameters({}), TypeError,
     "argument 'recipe': 'dict' object cannot be cast as 'Sequence'"),
    # double and single float
    (lambda: bitloom.encode_ti_f32("1.5"), TypeError,
     "argument '_value': must be real number, not str"),
    (lambda: bitloom.encode_ieee754_f64(None), TypeError,
     "argument 'value': must be real number, not NoneType"),
    (lambda: bitloom.encode_ieee754_f64(10**400), OverflowError, None),
    # unsigned 128-bit
    (lambda: bitloom.decode_ieee754_f128(-1), ValueError, None),
    (lambda: bitloom.decode_ieee754_f128(2**128), OverflowError, "Python int larger than 128 bits"),
    (lambda: bitloom.decode_ieee754_f128(1.0), TypeError,
     "argument 'value': 'float' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("call,kind,message", CONVERSION_FAILURES)
def test_conversion_failures(call, kind, message):
    with pytest.raises(kind) as info:
        call()
    assert type(info.value) is kind
    if message is not None:
        assert str(info.value) == message
    if kind is not TypeError:
        assert not str(info.value).startswith("argument '")


def test_first_failing_conversion_ends_the_call():
    seen = []

    class Tracking:
        def __index__(self):
            seen.append(True)
            return 8

    with pytest.raises(TypeError, match="^argument 'value'"):
        bitloom.encode_twos_complement("x", Tracking())
    assert seen == []


def test_type_error_prefix_keeps_the_inner_cause():
    cause = KeyError("root")
    inner = TypeError("inner text")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as info:
        bitloom.encode_twos_complement(raises_with_cause(inner), 8)
    assert str(info.value) == "argument 'value': inner text"
    assert info.value is not inner
    assert info.value.__cause__ is cause


def test_type_error_subclass_and_other_kinds_are_not_prefixed():
    class MyTypeError(TypeError):
        pass

    for exc in (MyTypeError("sub"), ValueError("val"), ZeroDivisionError("zero")):
        with pytest.raises(type(exc)) as info:
            bitloom.encode_twos_complement(raises_with_cause(exc), 8)
        assert info.value is exc


ACCEPTED = [
    (lambda: bitloom.encode_twos_complement(True, 8), 1),
    (lambda: bitloom.encode_twos_complement(Index(-3), Index(8)), 253),
    (lambda: bitloom.encode_twos_complement(np.int64(-2), np.uint8(16)), 65534),
    (lambda: bitloom.decode_twos_complement(Index(255), 8), -1),
    (lambda: bitloom.decode_twos_complement(np.uint64(2**64 - 1), 64), -1),
    (lambda: bitloom.encode_twos_complement(2**63 - 1, 64), 2**63 - 1),
    (lambda: bitloom.decode_twos_complement(2**64 - 1, 4294967295), -1),
    (lambda: bitloom.encode_packed_bcd(5, 8, np.bool_(True)), 0x5C),
    (lambda: bitloom.encode_packed_bcd(5, 8, np.bool_(False)), 0x05),
]


@pytest.mark.parametrize("call,expected", ACCEPTED)
def test_accepted_conversions(call, expected):
    assert call() == expected


def test_int_subclass_converts_as_int():
    class MyInt(int):
        def __index__(self):  # never consulted for an int subclass
            raise AssertionError

    assert bitloom.decode_twos_complement(MyInt(255), MyInt(8)) == -1
    assert bitloom.encode_twos_complement(MyInt(-1), 8) == 255
