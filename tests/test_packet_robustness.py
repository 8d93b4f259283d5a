"""Packets against bit-by-bit reference models, round trips, hostile recipes and leaks."""
import gc
import struct
import sys
import tracemalloc

import pytest
from hypothesis import given, settings, strategies as st

from bitloom import InternalFault, pack_parameters, unpack_parameters


def item(bits, value=None, encoding="unsigned", byte_order="big", reverse_bits=False, name="f", **extra):
    d = dict(name=name, encoding=encoding, bits=bits, byte_order=byte_order, reverse_bits=reverse_bits, **extra)
    if value is not None:
        d["value"] = value
    return d


def reverse(v, w):
    return int(format(v & ((1 << w) - 1), f"0{w}b")[::-1], 2) if w else 0


def reference_pack(fields):
    """fields: (offset or None, width, value, little, reverse). Every bit placed one at a time."""
    extent = 0
    for offset, w, *_ in fields:
        extent = max(extent, (extent if offset is None else offset) + w)
    bits = [0] * ((extent + 7) // 8 * 8)
    position = 0
    for offset, w, value, little, rev in fields:
        start = position if offset is None else offset
        size = (w + 7) // 8
        pattern = reverse(value, w) if rev else value
        image = (pattern & ((1 << 8 * size) - 1)).to_bytes(size, "big")
        if little:
            image = image[::-1]
        image_bits = [(image[q // 8] >> (7 - q % 8)) & 1 for q in range(8 * size)]
        skip = 8 * size - w
        for k in range(w):
            if start + k < len(bits):
                bits[start + k] = image_bits[skip + k]
        position = start + w
    return bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))


def reference_cut(packet, start, w, little, rev):
    bits = "".join(format(b, "08b") for b in packet)[start:start + w]
    size = (w + 7) // 8
    image = (int(bits, 2) if w else 0).to_bytes(size, "big")
    if little:
        image = image[::-1]
    value = int.from_bytes(image, "big")
    return reverse(value, w) if rev else value & ((1 << w) - 1)


@st.composite
def integer_fields(draw, max_fields=8):
    fields = []
    for _ in range(draw(st.integers(0, max_fields))):
        w = draw(st.integers(0, 64))
        offset = draw(st.none() | st.integers(0, 160))
        fields.append((offset, w, draw(st.integers(0, (1 << w) - 1)), draw(st.booleans()), draw(st.booleans())))
    return fields


def recipe_of(fields):
    return [item(w, value, byte_order="little" if little else "big", reverse_bits=rev, name=f"f{i}",
                 **({} if offset is None else {"offset_bits": offset}))
            for i, (offset, w, value, little, rev) in enumerate(fields)]


@settings(max_examples=400, deadline=None)
@given(integer_fields())
def test_builder_matches_the_bit_by_bit_model(fields):
    assert pack_parameters(recipe_of(fields)) == reference_pack(fields)


@settings(max_examples=400, deadline=None)
@given(st.binary(max_size=24), st.integers(0, 200), st.integers(0, 64), st.booleans(), st.booleans(), st.integers(0, 40))
def test_reader_matches_the_bit_by_bit_model(packet, start, w, little, rev, call_offset):
    recipe = [item(w, byte_order="little" if little else "big", reverse_bits=rev, offset_bits=start)]
    start += call_offset
    if (start + w + 7) // 8 > len(packet) and w or start // 8 > len(packet):
        with pytest.raises(InternalFault):
            unpack_parameters(packet, call_offset, recipe)
    else:
        got = unpack_parameters(packet, call_offset, recipe)["f"]
        assert got == reference_cut(packet, start, w, little, rev)


@st.composite
def round_trip_fields(draw):
    """Big-endian fields of any encoding that round-trips, laid out without overlap."""
    recipe, expected, position = [], {}, 0
    for i in range(draw(st.integers(0, 10))):
        kind = draw(st.sampled_from(["unsigned", "twos_complement", "ones_complement", "sign_magnitude",
                                     "f16", "f32", "f64", "utf8", "latin1"]))
        gap = draw(st.integers(0, 13))
        rev = draw(st.booleans())
        if kind == "unsigned":
            w = draw(st.integers(1, 64))
            value = draw(st.integers(0, (1 << w) - 1))
            enc = dec = "unsigned"
        elif kind in ("twos_complement", "ones_complement", "sign_magnitude"):
            w = draw(st.integers(2, 64))
            lo = -(1 << (w - 1)) if kind == "twos_complement" else -(1 << (w - 1)) + 1
            value = draw(st.integers(lo, (1 << (w - 1)) - 1))
            enc = dec = kind
        elif kind in ("f16", "f32", "f64"):
            w = int(kind[1:])
            raw = draw(st.integers(0, (1 << w) - 1))
            value = struct.unpack({16: ">e", 32: ">f", 64: ">d"}[w], raw.to_bytes(w // 8, "big"))[0]
            if value != value:
                value = 0.5
            enc, dec = "ieee754", f"ieee754_{kind}"
        else:
            text = draw(st.text(max_size=6)) if kind == "utf8" else draw(st.text(st.characters(max_codepoint=255), max_size=6))
            value = text
            w = 8 * len(text.encode("utf-8" if kind == "utf8" else "latin-1"))
            enc, dec = ("utf8", "utf8") if kind == "utf8" else ("iso-8859-1", "latin1")
        name = f"p{i}"
        fields = dict(name=name, bits=w, byte_order="big", reverse_bits=rev)
        if draw(st.booleans()):
            fields["offset_bits"] = position + gap
            position += gap
        recipe.append((fields | {"encoding": enc, "value": value}, fields | {"encoding": dec}))
        expected[name] = value
        position += w
    return recipe, expected


@settings(max_examples=300, deadline=None)
@given(round_trip_fields(), st.binary(max_size=3))
def test_every_packed_packet_reads_back(case, prefix):
    recipe, expected = case
    packet = pack_parameters([p for p, _ in recipe])
    read_recipe = [r for _, r in recipe]
    assert unpack_parameters(packet, 0, read_recipe) == expected
    # The same fields read from further into a longer buffer.
    assert unpack_parameters(prefix + packet, 8 * len(prefix), read_recipe) == expected


# ---- Hostile recipes ----

class Flip:
    """An integer that gives a different value on every conversion."""

    def __init__(self, *values):
        self.values = list(values)

    def __index__(self):
        return self.values.pop(0) if len(self.values) > 1 else self.values[0]


class Raises:
    def __index__(self):
        raise RuntimeError("no index")

    def __float__(self):
        raise RuntimeError("no float")


def test_values_that_change_between_the_walks_never_write_outside_the_packet():
    # Sized for 8 bits, placed as 64: only the first byte exists.
    assert pack_parameters([item(Flip(8, 64), 2**63 + 1)]) == b"\x80"
    assert pack_parameters([item(8, 0xFF, offset_bits=Flip(0, 10**6))]) == b"\x00"
    assert pack_parameters([item(Flip(8, 4096), "A" * 600, "utf8")]) == b"A"
    assert pack_parameters([item(Flip(1, 100), b"\xff" * 40, "binary", reverse_bits=True)]) == b"\xff"


@pytest.mark.parametrize("key", ["bits", "offset_bits", "value"])
def test_conversions_that_raise_are_wrapped(key):
    recipe = [item(8, 1) | {key: Raises()}]
    with pytest.raises(ValueError, match="^RuntimeError: no index$"):
        pack_parameters(recipe)
    with pytest.raises(ValueError, match="^RuntimeError: no float$"):
        pack_parameters([item(32, Raises(), "ieee754")])
    if key != "value":
        with pytest.raises(ValueError, match="^RuntimeError: no index$"):
            unpack_parameters(bytes(4), 0, recipe)


def test_conversions_that_mutate_the_item_or_the_recipe():
    recipe = []

    class Clearing:
        def __init__(self, target, value):
            self.target, self.value = target, value

        def __index__(self):
            self.target.clear()
            gc.collect()
            return self.value

    entry = item(8, 7, name="x" * 100)
    entry["value"] = Clearing(entry, 7)
    recipe.append(entry)
    assert pack_parameters(recipe) == b"\x07"
    assert entry == {}

    entry = item(8, 7, name="n" * 50, encoding="u" + "nsigned")
    entry["bits"] = Clearing(entry, 8)
    with pytest.raises(ValueError, match="Recipe missing required field: 'name'"):
        # The sizing walk cleared the dict; the field walk finds nothing.
        pack_parameters([entry])

    entry = item(8, name="n" * 50)
    entry["bits"] = Clearing(entry, 8)
    with pytest.raises(ValueError, match="missing required field: 'byte_order'"):
        unpack_parameters(b"\x01", 0, [entry])

    outer = [item(8, 1), item(8, 2)]
    outer[0]["value"] = Clearing(outer, 1)
    assert pack_parameters(outer) == b"\x01\x02"


def test_huge_offsets_and_empty_packets():
    assert unpack_parameters(b"", 2**64 - 1, []) == {}
    assert unpack_parameters(b"", 0, [item(0)] * 3) == {"f": 0}
    with pytest.raises(InternalFault):
        unpack_parameters(b"", 2**63, [item(1)])
    with pytest.raises(ValueError, match="Bit position overflow"):
        pack_parameters([item(0, 0, offset_bits=2**64 - 1), item(1, 0)])


# ---- Leaks ----

LEAK_CASES = [
    lambda: pack_parameters([item(12, 0xABC, name="a"), item(32, 1.5, "ieee754"), item(24, "xyz", "utf8"),
                             item(20, [1, 2, 3], "binary", byte_order="little")]),
    lambda: unpack_parameters(b"\x12\x34\x56\x78" * 4, 4, [item(12, name="a"), item(32, encoding="ieee754_f32"),
                                                          item(16, encoding="utf8", name=str.__new__(type("S", (str,), {}), "s"))]),
    lambda: pack_parameters([item(8, 256)]),
    lambda: pack_parameters([item(8, 1), {"name": "x"}]),
    lambda: pack_parameters([item(8, [1, 999], "binary")]),
    lambda: unpack_parameters(b"\x00", 0, [item(8), item(8, encoding="nope")]),
    lambda: unpack_parameters(b"\x00", 0, [item(8), item(16)]),
    lambda: unpack_parameters(b"\xff", 0, [item(8, encoding="utf8")]),
    lambda: pack_parameters([item(Flip(8, 9), Raises())]),
]


@pytest.mark.parametrize("case", range(len(LEAK_CASES)))
def test_no_references_or_memory_leak(case):
    call = LEAK_CASES[case]

    def run(n):
        for _ in range(n):
            try:
                call()
            except (ValueError, InternalFault):
                pass

    probe = item(8, 1)
    value = probe["value"] = object()
    run(200)
    gc.collect()
    refs = sys.getrefcount(value)
    tracemalloc.start()
    try:
        run(2000)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        run(4000)
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < 16_384
    assert sys.getrefcount(value) == refs


def test_recipe_values_are_not_kept():
    text, raw, name = "payload " * 4, bytearray(b"\x01\x02"), "n" * 30
    recipe = [item(64, text, "utf8", name=name), item(16, raw, "binary")]
    # (The name is one of the keys' values that recently used items are remembered by.)
    before = [sys.getrefcount(o) for o in (text, raw, recipe[0], recipe[1])]
    for _ in range(100):
        packet = pack_parameters(recipe)
        unpack_parameters(packet, 0, [item(64, encoding="utf8", name=name)])
        try:
            unpack_parameters(packet, 0, [item(64, encoding="utf8", name=name), item(99)])
        except InternalFault:
            pass
    assert [sys.getrefcount(o) for o in (text, raw, recipe[0], recipe[1])] == before
