"""Random recipes, well-formed or not, through pack_parameters and unpack_parameters.

Every call returns its result or raises one of the documented exceptions with a well-formed
message; whatever pack_parameters builds reads back field by field where a field is intact.
"""
import math
import os
import re
import struct
import subprocess
import sys

import pytest

from hypothesis import HealthCheck, given, settings, strategies as st

from bitloom import InternalFault, pack_parameters, unpack_parameters

INNER_KINDS = ("ValueError", "KeyError", "TypeError", "OverflowError", "NotImplementedError",
               "UnicodeEncodeError", "RuntimeError")
WRAPPED = re.compile(rf"^({'|'.join(INNER_KINDS)}): ", re.S)
FAULT = re.compile(r"^range (start|end) index \d+ out of range for slice of length \d+$")

INTEGER_NAMES = {"unsigned": "unsigned", "twos_complement": "twos_complement",
                 "ones_complement": "ones_complement", "sign_magnitude": "sign_magnitude",
                 "bcd": "bcd", "bcd_signed": "bcd_signed", "packed_bcd": "packed_bcd",
                 "packed_bcd_signed": "packed_bcd_signed"}
PACK_ONLY = ["twos-complement", "ieee754", "IEEE_754", "ieee754_1985", "mil_std_1750a", "ti", "dec",
             "ibm", "utf_8", "binary", "UTF-16", "utf32le", "us-ascii", "iso8859_1", "windows1252"]
UNPACK_ONLY = ["ieee754_f16", "ieee754_f32", "ieee754_f64", "ieee754_f128", "ieee754-1985-f80",
               "ti_f40", "latin1", "utf-16be", "utf32", "windows_1252"]
ALL_NAMES = list(INTEGER_NAMES) + PACK_ONLY + UNPACK_ONLY + ["UnSigned", "\u212aelvin", "utf-7", "", " bcd"]


class Index:
    """An integer by __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Broken:
    def __index__(self):
        raise RuntimeError("no index")

    def __float__(self):
        raise RuntimeError("no float")

    def __str__(self):
        raise RuntimeError("no str")


odd_objects = st.sampled_from([None, 1.5, "8", b"\x01", [], {}, Broken(), object(), True, -1, 2**64, "\ud800"])
# Under the sanitizers an allocation that cannot succeed aborts the process instead of raising
# MemoryError, so packets too large to allocate are left out there.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
HUGE_WIDTHS = [] if SANITIZED else [2**32 - 1]
HUGE_OFFSETS = [2**64] if SANITIZED else [2**62, 2**63, 2**64 - 1, 2**64]

widths = st.one_of(st.integers(0, 72), st.sampled_from([80, 128, 129, 2**32, -1] + HUGE_WIDTHS),
                   st.builds(Index, st.integers(0, 70)), odd_objects)
offsets = st.one_of(st.integers(0, 300), st.sampled_from(HUGE_OFFSETS + [-1]), odd_objects)
values = st.one_of(
    st.integers(-2**64, 2**64), st.integers(-300, 300), st.floats(), st.floats(width=32),
    st.text(max_size=12), st.text(st.characters(max_codepoint=0x2FF), max_size=12),
    st.binary(max_size=12), st.lists(st.integers(-2, 300), max_size=10), st.builds(bytearray, st.binary(max_size=6)),
    odd_objects)
texts = st.one_of(st.text(max_size=6), st.sampled_from(["big", "little", "BIG", "Little", "big ", "network"]),
                  odd_objects)


FLOAT_FAMILIES = ("ieee754", "ieee_754", "ieee754_1985", "mil_std_1750a", "ti", "dec", "ibm")


def value_for(draw, encoding, bits):
    """A value of the kind the encoding converts, in or near its range."""
    name = encoding.lower() if isinstance(encoding, str) else ""
    if name in FLOAT_FAMILIES:
        return draw(st.floats())
    if name.startswith(("utf", "us", "iso", "windows")):
        return draw(st.text(max_size=12))
    if name == "binary":
        return draw(st.one_of(st.binary(max_size=12), st.lists(st.integers(0, 255), max_size=12)))
    if isinstance(bits, int) and 1 <= bits <= 64:
        return draw(st.integers(-(1 << (bits - 1)), (1 << bits) - 1))
    return draw(st.integers(-300, 300))


@st.composite
def items(draw, reading=False):
    """Mostly well-formed items; some have one key missing or holding anything at all."""
    if draw(st.integers(0, 40)) == 0:
        return draw(odd_objects)
    names = UNPACK_ONLY if reading else PACK_ONLY
    encoding = draw(st.one_of(st.sampled_from(list(INTEGER_NAMES)), st.sampled_from(names)))
    bits = draw(st.one_of(st.integers(0, 72), st.sampled_from([16, 32, 64])))
    item = {"name": draw(st.sampled_from(["a", "b", "c", "d"])), "encoding": encoding, "bits": bits,
            "byte_order": draw(st.sampled_from(["big", "little"])), "reverse_bits": draw(st.booleans())}
    if draw(st.integers(0, 3)) == 0:
        item["offset_bits"] = draw(st.integers(0, 300))
    if not reading:
        item["value"] = value_for(draw, encoding, bits)
    spoilt = draw(st.sampled_from([None] * 8 + list(item) + ["offset_bits"]))
    if spoilt is not None:
        choice = draw(st.integers(0, 4))
        if choice == 0:
            item.pop(spoilt, None)
        else:
            item[spoilt] = draw({"bits": widths, "offset_bits": offsets, "value": values,
                                 "encoding": st.one_of(st.sampled_from(ALL_NAMES), texts)}.get(spoilt, texts)
                                if choice > 1 else odd_objects)
    return item


def check_wrapped(error):
    assert type(error) is ValueError, repr(error)
    assert WRAPPED.match(str(error)), str(error)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(items(), max_size=6))
def test_pack_returns_bytes_or_a_documented_failure(recipe):
    try:
        packet = pack_parameters(recipe)
    except MemoryError:
        return  # an absurd offset: the packet cannot be allocated
    except ValueError as error:
        check_wrapped(error)
        return
    assert type(packet) is bytes
    # The packet covers every field: the same items read back without a fault.
    reading = [{k: v for k, v in item.items() if k != "value"} for item in recipe]
    try:
        unpack_parameters(packet, 0, reading)
    except ValueError as error:
        check_wrapped(error)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.binary(max_size=40), st.one_of(st.integers(0, 80), st.sampled_from([2**63, 2**64 - 1])),
       st.lists(items(reading=True), max_size=6))
def test_unpack_returns_a_dict_or_a_documented_failure(packet, offset, recipe):
    try:
        result = unpack_parameters(packet, offset, recipe)
    except InternalFault as fault:
        assert len(fault.args) == 1 and FAULT.match(fault.args[0]), fault.args
        return
    except ValueError as error:
        check_wrapped(error)
        return
    assert type(result) is dict
    assert list(result) == list(dict.fromkeys(item["name"] for item in recipe))
    # Every field that was read lies inside the packet.
    position = offset
    for item in recipe:
        start = offset + int(item["offset_bits"]) if "offset_bits" in item else position
        position = start + int(item["bits"])
        assert position <= 8 * len(packet) or int(item["bits"]) == 0


# ---- Read-back of the intact big-endian fields of random layouts ----

def reference_value(encoding, bits, value):
    """What the reader gives for a field the builder accepted, or None when it is not comparable."""
    if encoding in INTEGER_NAMES:
        return value if bits > 0 else None
    if encoding == "ieee754" and bits in (32, 64):
        fmt = ">f" if bits == 32 else ">d"
        return struct.unpack(fmt, struct.pack(fmt, value))[0]
    return None


def value_range(encoding, bits):
    """The values an integer encoding accepts at this width, or None for a refused width."""
    half = 1 << (bits - 1)
    digits = {"bcd": bits // 8, "bcd_signed": bits // 8, "packed_bcd": bits // 4,
              "packed_bcd_signed": bits // 4 - 1}.get(encoding)
    if digits is not None:
        if digits < 1 or bits < (8 if "packed" not in encoding else 4):
            return None
        top = min(10 ** digits - 1, 2**63 - 1)
        return (-top if encoding.endswith("signed") else 0), top
    return {"unsigned": (0, (1 << bits) - 1), "twos_complement": (-half, half - 1),
            "ones_complement": (1 - half, half - 1),
            "sign_magnitude": (1 - half, half - 1) if bits >= 2 else None}[encoding]


@st.composite
def layouts(draw):
    """Valid fields at random places (overlaps allowed), each big-endian."""
    recipe = []
    for i in range(draw(st.integers(1, 8))):
        encoding = draw(st.sampled_from(list(INTEGER_NAMES) + ["ieee754"]))
        if encoding == "ieee754":
            bits = draw(st.sampled_from([32, 64]))
            value = draw(st.floats(width=bits, allow_nan=False))
        else:
            bits = draw(st.integers(1, 64))
            limits = value_range(encoding, bits)
            if limits is None:
                encoding, limits = "unsigned", value_range("unsigned", bits)
            value = draw(st.integers(*limits))
        item = dict(name=f"f{i}", encoding=encoding, bits=bits, byte_order="big",
                    reverse_bits=draw(st.booleans()), value=value)
        if draw(st.booleans()):
            item["offset_bits"] = draw(st.integers(0, 200))
        recipe.append(item)
    return recipe


@settings(max_examples=400, deadline=None)
@given(layouts())
def test_intact_fields_of_a_packed_packet_read_back(recipe):
    packet = pack_parameters(recipe)
    spans, position = [], 0
    for item in recipe:
        start = item.get("offset_bits", position)
        spans.append((start, start + item["bits"]))
        position = start + item["bits"]
    for i, item in enumerate(recipe):
        start, end = spans[i]
        if any(s < end and start < e for s, e in spans[i + 1:]):
            continue  # partly overwritten by a later field
        want = reference_value(item["encoding"], item["bits"], item["value"])
        if want is None:
            continue
        reader = {k: v for k, v in item.items() if k != "value"} | {"offset_bits": start}
        if reader["encoding"] == "ieee754":
            reader["encoding"] = f"ieee754_f{item['bits']}"
        assert unpack_parameters(packet, 0, [reader]) == {item["name"]: want}, item


# ---- Items changed between calls ----

def outcome_of(call):
    try:
        return ("ok", call())
    except (ValueError, InternalFault) as error:
        return (type(error), str(error))


class CollidingKey:
    """A non-str key that lands in the same hash slot as a recipe key and never equals it."""

    def __init__(self, like):
        self.like = like

    def __hash__(self):
        return hash(self.like)

    def __eq__(self, other):
        return other is self


KEYS = ["name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits", "value"]
REPLACEMENTS = {"name": ["a", "b", "\u00e9"], "encoding": ["unsigned", "twos_complement", "packed_bcd", "utf8", "nope"],
                "bits": [0, 4, 8, 12, 16, 64, 65], "byte_order": ["big", "little", "LITTLE", "middle"],
                "reverse_bits": [False, True, 1], "offset_bits": [0, 3, 9, 40], "value": [0, 5, -3, 255, 1.5, "x"]}

mutations = st.one_of(
    st.tuples(st.just("set"), st.sampled_from(KEYS), st.integers(0, 6)),
    st.tuples(st.just("set_copy_key"), st.sampled_from(KEYS), st.integers(0, 6)),
    st.tuples(st.just("del"), st.sampled_from(KEYS)),
    st.tuples(st.just("pop"), st.sampled_from(KEYS)),
    st.tuples(st.just("setdefault"), st.sampled_from(KEYS), st.integers(0, 6)),
    st.tuples(st.just("update"), st.sampled_from(KEYS), st.integers(0, 6)),
    st.tuples(st.just("ior"), st.sampled_from(KEYS), st.integers(0, 6)),
    st.tuples(st.just("popitem")),
    st.tuples(st.just("clear_refill")),
    st.tuples(st.just("reinit")),
    st.tuples(st.just("extra"), st.sampled_from(["note", 5, "colliding"])),
    st.tuples(st.just("replace_item")),
)


def fresh_item():
    return {"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False, "value": 5}


def apply(mutation, pool, index):
    item = pool[index]
    kind, *rest = mutation
    pick = lambda key, i: REPLACEMENTS[key][i % len(REPLACEMENTS[key])]  # noqa: E731
    if kind == "set":
        item[rest[0]] = pick(rest[0], rest[1])
    elif kind == "set_copy_key":
        item["".join(list(rest[0]))] = pick(rest[0], rest[1])  # an equal str that is not interned
    elif kind in ("del", "pop"):
        item.pop(rest[0], None)
    elif kind == "setdefault":
        item.setdefault(rest[0], pick(rest[0], rest[1]))
    elif kind == "update":
        item.update({rest[0]: pick(rest[0], rest[1])})
    elif kind == "ior":
        item |= {rest[0]: pick(rest[0], rest[1])}
    elif kind == "popitem":
        if item:
            item.popitem()
    elif kind == "clear_refill":
        saved = dict(item)
        item.clear()
        item.update(reversed(list(saved.items())))
    elif kind == "reinit":
        dict.__init__(item, fresh_item())
    elif kind == "extra":
        item[CollidingKey(rest[0]) if rest[0] == "colliding" else rest[0]] = 1
    elif kind == "replace_item":
        pool[index] = fresh_item()  # the old dict may be freed and its address reused


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(mutations, st.integers(0, 2), st.lists(st.integers(0, 2), min_size=1, max_size=4)),
                max_size=25),
       st.binary(min_size=0, max_size=12))
def test_items_changed_between_calls_read_as_fresh_copies(steps, packet):
    # Repeated calls with the same dicts must always read their present content: the result
    # equals that of the same recipe made of new dict copies.
    pool = [fresh_item(), fresh_item() | {"name": "b", "encoding": "twos_complement"},
            fresh_item() | {"name": "c", "offset_bits": 3}]
    for mutation, index, order in steps:
        recipe = [pool[i] for i in order]
        for _ in range(2):
            got_pack = outcome_of(lambda: pack_parameters(recipe))
            got_unpack = outcome_of(lambda: unpack_parameters(packet, 0, recipe))
        copies = [dict(item) for item in recipe]
        assert got_pack == outcome_of(lambda: pack_parameters(copies)), (mutation, recipe)
        assert got_unpack == outcome_of(lambda: unpack_parameters(packet, 0, copies)), (mutation, recipe)
        apply(mutation, pool, index)


# ---- Interpreter code run by a dict lookup ----

LOOKUP_CODE = """
import bitloom

class Colliding:
    # A key whose hash equals that of a recipe key: looking that key up calls __eq__.
    def __init__(self, like, change):
        self.like, self.change, self.armed = like, change, False
    def __hash__(self):
        return hash(self.like)
    def __eq__(self, other):
        if self.armed:
            self.armed = False
            self.change()
        return False

def item(name, value):
    return {"name": name, "encoding": "unsigned", "bits": 8, "byte_order": "big",
            "reverse_bits": False, "value": value}

victim = item("".join(["victim"] * 20), 5)
{case}
key.armed = True
# The call during which the item changes, then one with that item alone (nothing runs then).
for r in (recipe, [victim]):
    try:
        print(bitloom.pack_parameters(r))
    except ValueError as error:
        print(error)
"""

LOOKUP_CASES = {
    # The sizing walk looks up `bits` in the second item; that clears the first one, which the
    # field walk must then find empty.
    "sizing walk clears an earlier item": ("""
key = Colliding("bits", victim.clear)
recipe = [victim, {key: 0} | item("e", 1)]
""", "KeyError: \"Recipe missing required field: 'name'\"\n"
    "KeyError: \"Recipe missing required field: 'bits'\""),
    # The field walk looks up `value` in the first item; that rewrites the second one, which
    # must then be read as it is now.
    "field walk rewrites a later item": ("""
key = Colliding("value", lambda: victim.update(name="".join(["renamed"] * 9), value=7))
recipe = [{key: 0} | item("e", 1), victim]
""", "b'\\x01\\x07'\nb'\\x07'"),
}


@pytest.mark.parametrize("case", list(LOOKUP_CASES))
def test_items_changed_by_a_lookup_during_the_call_are_read_as_they_are_now(case):
    setup, expected = LOOKUP_CASES[case]
    out = subprocess.run([sys.executable, "-c", LOOKUP_CODE.replace("{case}", setup)],
                         capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stdout.strip()) == (0, expected), out.stderr[-1500:]
