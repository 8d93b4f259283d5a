"""Faults of the recipe walks: re-entry from a conversion, scratch memory per item, failures
raised by user conversions, and BCD fields wider than the 64-bit pattern.

Cases that could take the interpreter down run in a child interpreter, so a crash fails the test
instead of ending the run.
"""
import ast
import os
import subprocess
import sys

import pytest

import bitloom
from bitloom import InternalFault, pack_parameters, unpack_parameters

SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def item(**keys):
    return {"name": "f", "encoding": "unsigned", "bits": 8, "byte_order": "big",
            "reverse_bits": False, "value": 1} | keys


def outcome(call):
    """("returned", result), or the type name and text of whatever was raised."""
    try:
        return "returned", call()
    except BaseException as e:
        return type(e).__name__, str(e)


def run_child(code, timeout=180):
    """Runs `code` in a fresh interpreter; its last line of output, evaluated."""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=timeout)
    if out.returncode != 0:
        pytest.fail(f"child interpreter exited with status {out.returncode}\n{out.stderr[-2000:]}")
    return ast.literal_eval(out.stdout.strip().splitlines()[-1])


# ---- Re-entry from a conversion ----

# Each conversion of a Hook calls the walk again straight from __index__ or __float__ (one
# Python frame per level), until the interpreter refuses to go deeper. The deepest failure is
# kept as it left its call; every call above it wraps what came out of its conversion once more.
REENTER = """
        global inner
        try:
            {call}
        except BaseException as e:
            if inner is None:
                inner = e
            raise"""
REENTRY = """
import re, sys, bitloom
sys.setrecursionlimit({limit})
inner = None

class Hook:
    def __index__(self):{reenter}
        return 8

    def __float__(self):{reenter}
        return 8.0

item = {{"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big",
        "reverse_bits": False, "value": 1}}
item.update({keys})
recipe = [item]
try:
    {call}
    outer = None
except BaseException as e:
    outer = e
nested = outer is not None and re.fullmatch(r"(ValueError: )*(RecursionError: )?" + re.escape(str(inner)), str(outer))
print(repr((type(inner).__name__, str(inner)[:80], type(outer).__name__, bool(nested))))
"""


def reentry_code(limit, call, keys):
    return REENTRY.format(limit=limit, call=call, keys=keys, reenter=REENTER.format(call=call))


PACK_CALL = "bitloom.pack_parameters(recipe)"
UNPACK_CALL = "bitloom.unpack_parameters(bytes(16), 0, recipe)"
REENTRY_SITES = {
    "pack bits": (PACK_CALL, '{"bits": Hook()}'),
    "pack offset_bits": (PACK_CALL, '{"offset_bits": Hook()}'),
    "pack value": (PACK_CALL, '{"value": Hook()}'),
    "pack float value": (PACK_CALL, '{"encoding": "ieee754", "bits": 32, "value": Hook()}'),
    "unpack bits": (UNPACK_CALL, '{"bits": Hook()}'),
    "unpack offset_bits": (UNPACK_CALL, '{"offset_bits": Hook()}'),
}


# Under the sanitizers the deepest limits fill the stack before the interpreter's limit on nested
# C calls: the module then refuses the level itself, with the same RecursionError.
LIMITS = [1500, 10_000, 100_000]


@pytest.mark.parametrize("limit", LIMITS)
@pytest.mark.parametrize("site", list(REENTRY_SITES))
def test_reentry_from_a_conversion_fails_with_a_wrapped_recursion_error(site, limit):
    call, keys = REENTRY_SITES[site]
    kind, text, outer_kind, nested = run_child(reentry_code(limit, call, keys))
    assert (outer_kind, nested) == ("ValueError", True), text
    # The deepest failure is the walk's own, wrapped; or, where the interpreter's limit on
    # nested C calls comes first, the interpreter refuses the call before the walk starts.
    assert (kind, text[:16]) in {("ValueError", "RecursionError: "), ("RecursionError", "maximum recursio")}, text


@pytest.mark.parametrize("limit", [1500, 100_000])
def test_reentry_harness_on_a_plain_codec(limit):
    # The same hook under encode_twos_complement, which walks no recipe: its RecursionError
    # comes out bare. The child survives these depths when the module leaves it the stack.
    code = reentry_code(limit, "bitloom.encode_twos_complement(Hook(), 8)", "{}")
    kind, text, outer_kind, nested = run_child(code)
    assert (kind, outer_kind, nested) == ("RecursionError", "RecursionError", True), text


# ---- Scratch memory per item ----

# One shared item repeated 2 000 000 times. The baseline is taken once the list and the packet are
# written (so resident) and a small call has warmed the walk's caches; the result's own size is
# taken off the growth. A copy of the list (8 bytes per item) counts as scratch.
SCRATCH = """
import resource, bitloom
n = 2_000_000
item = {{"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big",
        "reverse_bits": False, "value": 7}}
recipe = [item] * n
packet = b"\\x07" * n
assert {small_call} == {small}
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
result = {call}
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
assert result == {large}
kept = len(result) if isinstance(result, bytes) else 0
print(repr(((after - before) * 1024 - kept) / n))
"""
SCRATCH_WALKS = {
    # (call, result of one item, result of all)
    "pack": ("bitloom.pack_parameters({})", 'b"\\x07"', "packet"),
    "unpack": ("bitloom.unpack_parameters(packet, 0, {})", '{"a": 7}', '{"a": 7}'),
}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ru_maxrss in KiB is Linux's")
@pytest.mark.skipif(SANITIZED, reason="shadow memory and the quarantine inflate the resident size")
@pytest.mark.parametrize("walk", list(SCRATCH_WALKS))
def test_walk_scratch_is_at_most_32_bytes_per_item(walk):
    call, small, large = SCRATCH_WALKS[walk]
    code = SCRATCH.format(small_call=call.format("[item]"), call=call.format("recipe"), small=small,
                          large=large)
    per_item = run_child(code)
    assert per_item <= 32, f"{per_item:.1f} bytes of scratch per item"


# ---- Failures raised by user conversions ----

class Exhausted(MemoryError):
    pass


class Raising:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __float__(self):
        raise self.error


CONVERSION_SITES = {
    "pack bits": lambda r: pack_parameters([item(bits=r)]),
    "pack offset_bits": lambda r: pack_parameters([item(offset_bits=r)]),
    "pack value": lambda r: pack_parameters([item(value=r)]),
    "pack float value": lambda r: pack_parameters([item(encoding="ieee754", bits=32, value=r)]),
    "pack binary byte": lambda r: pack_parameters([item(encoding="binary", value=[r])]),
    "unpack bits": lambda r: unpack_parameters(bytes(4), 0, [item(bits=r)]),
    "unpack offset_bits": lambda r: unpack_parameters(bytes(4), 0, [item(offset_bits=r)]),
}
FAULT_TEXT = "range end index 2 out of range for slice of length 1"
NO_HUGE_ALLOCATION = pytest.mark.skipif(SANITIZED, reason="sanitizers abort on huge allocations")


@pytest.mark.parametrize("error,message", [
    (MemoryError("no room"), "MemoryError: no room"),
    (MemoryError(), "MemoryError: "),
    (Exhausted("pool"), "Exhausted: pool"),
    # Even with the very text of a genuine fault: it is the user's exception all the same.
    (InternalFault(FAULT_TEXT), f"InternalFault: {FAULT_TEXT}"),
], ids=["MemoryError", "bare MemoryError", "MemoryError subclass", "InternalFault"])
@pytest.mark.parametrize("site", list(CONVERSION_SITES))
def test_memory_error_and_internal_fault_from_a_conversion_are_wrapped(site, error, message):
    assert outcome(lambda: CONVERSION_SITES[site](Raising(error))) == ("ValueError", message)


@pytest.mark.parametrize("call,kind,text", [
    pytest.param(lambda: pack_parameters([item(offset_bits=2**62)]), "MemoryError", "",
                 id="packet too large to allocate", marks=NO_HUGE_ALLOCATION),
    pytest.param(lambda: unpack_parameters(b"\x01", 0, [item(bits=16)]), "InternalFault",
                 FAULT_TEXT, id="packet too short"),
])
def test_the_walks_own_memory_error_and_fault_stay_unwrapped(call, kind, text):
    raised, message = outcome(call)
    assert raised == kind and message.startswith(text)


# ---- BCD fields wider than 64 bits ----

@pytest.mark.parametrize("encoding,bits,value,message", [
    # None: the image step's refusal of a width the 64-bit pattern cannot fill.
    ("bcd", 72, 5, None),
    ("bcd", 72, 123456789, None),
    ("bcd_signed", 72, 5, None),
    ("bcd_signed", 80, -42, None),
    ("packed_bcd", 68, 10**16 - 1, None),
    ("packed_bcd", 72, 12345678901234567, None),
    ("packed_bcd", 80, 2**63 - 1, None),
    ("packed_bcd_signed", 68, 5, None),
    ("packed_bcd_signed", 72, -1234567890123456, None),
    ("packed_bcd_signed", 80, -(2**63), None),
    # The encoder's own refusals come first.
    ("bcd", 72, -5, "Cannot encode negative value in unsigned BCD"),
    ("packed_bcd", 80, -1, "Cannot encode negative value in unsigned BCD"),
    ("bcd", 72, 1234567890, "Value 1234567890 has too many digits for 9 BCD digits"),
    ("bcd_signed", 80, 12345678901, "Value 12345678901 has too many digits for 10 BCD digits"),
    ("packed_bcd", 65, 10**16, f"Value {10**16} has too many digits for 16 BCD digits"),
    ("packed_bcd_signed", 68, 12345678901234567,
     "Value 12345678901234567 has too many digits for 16 BCD digits"),
])
@pytest.mark.parametrize("byte_order,reverse_bits", [("big", False), ("little", True)])
def test_bcd_fields_wider_than_64_bits(encoding, bits, value, message, byte_order, reverse_bits):
    recipe = [item(encoding=encoding, bits=bits, value=value, byte_order=byte_order,
                   reverse_bits=reverse_bits)]
    message = message or f"Cannot encode {bits} bits from a 64-bit value"
    assert outcome(lambda: pack_parameters(recipe)) == ("ValueError", f"ValueError: {message}")


@pytest.mark.parametrize("codec,value,signed", [
    (bitloom.encode_packed_bcd, 12345678901234567, False),
    (bitloom.encode_packed_bcd, -1234567890123456, True),
    (bitloom.encode_unpacked_bcd, 5, True),
])
def test_the_bcd_codecs_keep_their_own_message_for_wide_fields(codec, value, signed):
    assert outcome(lambda: codec(value, 72, signed)) == \
        ("ValueError", f"Value {value} does not fit in a 64-bit BCD pattern for 72 bits")
