"""Every codec function given arbitrary arguments, by position and keyword, of any type.

Each call returns or raises one of the documented kinds; a TypeError is either a binding
failure naming the function or a conversion failure naming the parameter.
"""
import inspect

import numpy as np
from hypothesis import given, settings, strategies as st

import bitloom

CODECS = [name for name in bitloom.__all__ if name not in ("pack_parameters", "unpack_parameters")]
PARAMETERS = {name: list(inspect.signature(getattr(bitloom, name)).parameters) for name in CODECS}
DOCUMENTED = (TypeError, OverflowError, ValueError, NotImplementedError, UnicodeEncodeError)


class Raising:
    def __index__(self):
        raise RuntimeError("index")

    def __float__(self):
        raise RuntimeError("float")

    def __bool__(self):
        raise RuntimeError("bool")


class WrongIndex:
    def __index__(self):
        return 1.5  # not an int: the interpreter refuses it with TypeError

    def __float__(self):
        return "x"


class IntSub(int):
    pass


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


arguments = st.one_of(
    st.integers(-2**130, 2**130), st.integers(0, 80), st.floats(), st.booleans(), st.none(),
    st.text(max_size=8), st.text(st.characters(codec="utf-8", exclude_categories=()), max_size=4),
    st.binary(max_size=12), st.builds(bytearray, st.binary(max_size=4)),
    st.builds(IntSub, st.integers(-300, 300)), st.builds(StrSub, st.text(max_size=4)),
    st.builds(BytesSub, st.binary(max_size=4)),
    st.sampled_from([Raising(), WrongIndex(), object(), [], (), {}, 1j, np.int64(7), np.uint8(200),
                     np.float32(1.5), np.bool_(True), np.True_, "\ud800", memoryview(b"ab")]),
)


@settings(max_examples=800, deadline=None)
@given(st.sampled_from(CODECS), st.lists(arguments, max_size=4),
       st.dictionaries(st.sampled_from(["value", "bits", "signed", "text", "bytes", "_value", "other"]),
                       arguments, max_size=3))
def test_any_arguments_give_a_result_or_a_documented_failure(name, args, kwargs):
    try:
        getattr(bitloom, name)(*args, **kwargs)
    except NotImplementedError:
        pass
    except RuntimeError as error:
        # Raised by an argument's own conversion method, and passed on unchanged.
        assert str(error) in ("index", "float", "bool")
        assert any(isinstance(a, Raising) for a in [*args, *kwargs.values()])
    except TypeError as error:
        message = str(error)
        assert message.startswith(f"{name}() ") or any(
            message.startswith(f"argument '{p}': ") for p in PARAMETERS[name]), message
    except DOCUMENTED:
        pass
