"""The float families not written yet: argument conversion first, then NotImplementedError."""

import pytest

import bitloom

FORMATS = [
    ("dec_f32", "DEC f32", True),
    ("dec_f64", "DEC f64", False),
    ("ibm_f32", "IBM f32", True),
    ("ibm_f64", "IBM f64", False),
]
ENCODERS = [pytest.param(getattr(bitloom, "encode_" + n), f"^{t} encoding not yet implemented$", single,
                         id="encode_" + n) for n, t, single in FORMATS]
DECODERS = [pytest.param(getattr(bitloom, "decode_" + n), f"^{t} format not yet implemented$",
                         id="decode_" + n) for n, t, _ in FORMATS]


class Floaty:
    def __float__(self):
        return 1.5


@pytest.mark.parametrize("fn, message, single", ENCODERS)
def test_encoders_convert_then_fail(fn, message, single):
    # Beyond the binary32 range the 32-bit forms narrow to infinity rather than failing.
    for value in (1.5, 0, -2, 1e300, -1e300, float("nan"), float("inf"), Floaty(), True):
        with pytest.raises(NotImplementedError, match=message):
            fn(value)
    with pytest.raises(NotImplementedError, match=message):
        fn(_value=1.5)


@pytest.mark.parametrize("fn, message", DECODERS)
def test_decoders_convert_then_fail(fn, message):
    for value in (0, 1, 2**64 - 1, True):
        with pytest.raises(NotImplementedError, match=message):
            fn(value)
    with pytest.raises(NotImplementedError, match=message):
        fn(_value=0)


@pytest.mark.parametrize("fn, message, single", ENCODERS)
@pytest.mark.parametrize("bad, error", [("1.5", TypeError), (None, TypeError), (b"\x00", TypeError),
                                        (10**400, OverflowError)])
def test_encoder_conversion_errors_come_first(fn, message, single, bad, error):
    with pytest.raises(error):
        fn(bad)


@pytest.mark.parametrize("fn, message", DECODERS)
@pytest.mark.parametrize("bad, error", [(-1, OverflowError), (2**64, OverflowError), (2**80, OverflowError),
                                        (0.0, TypeError), ("0", TypeError)])
def test_decoder_conversion_errors_come_first(fn, message, bad, error):
    with pytest.raises(error):
        fn(bad)


@pytest.mark.parametrize("fn", [p.values[0] for p in ENCODERS + DECODERS])
def test_parameter_is_named_underscore_value(fn):
    assert fn.__text_signature__ == "(_value)"
    with pytest.raises(TypeError, match="unexpected keyword argument 'value'"):
        fn(value=0)
    with pytest.raises(TypeError):
        fn()
    with pytest.raises(TypeError):
        fn(0, 0)
