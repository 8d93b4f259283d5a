"""pack_parameters and unpack_parameters against the Python libraries a user would pick instead,
on the demo's housekeeping packet (23 fields, mostly not byte-aligned) and on an 8-field
byte-aligned record. Peers (benchmark only): pip install bitstruct bitstring construct.

Each row is bitloom's time divided by the peer's time for the same layout (below 1: bitloom is
faster). The peers lay out the same widths at the same places with their nearest field types;
none of them has sign-magnitude, ones' complement or BCD, and only construct swaps bytes."""
import pathlib
import struct
import sys

import bitloom
from harness import per_call, report

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from space_packets import FIELDS, all_values, pack_recipe, unpack_recipe  # noqa: E402

try:
    import bitstring
    import bitstruct.c as bitstruct_c
    import construct as C
except ImportError as missing:  # pragma: no cover
    bitstring = bitstruct_c = C = None
    MISSING = missing
else:
    MISSING = None

# ---- Layout A: the housekeeping packet of the demo ----

BITSTRUCT_TYPE = {"unsigned": "u", "twos_complement": "s", "sign_magnitude": "s",
                  "ones_complement": "s", "packed_bcd": "u", "ieee754": "f", "utf8": "t"}
BITSTRING_TYPE = {"unsigned": "uint", "twos_complement": "int", "sign_magnitude": "int",
                  "ones_complement": "int", "packed_bcd": "uint", "ieee754": "floatbe", "utf8": "bytes"}


def layout_a():
    names = [f[0] for f in FIELDS]
    fmt, bs_fmt, position = "", [], 0
    cons = []
    for name, enc, _, bits, order, _, offset in FIELDS:
        if offset is not None and offset > position:
            fmt += f"p{offset - position}"
            bs_fmt.append(f"pad{offset - position}")
            cons.append(C.Padding(offset - position))
            position = offset
        fmt += f"{BITSTRUCT_TYPE[enc]}{bits}"
        kind = BITSTRING_TYPE[enc]
        bs_fmt.append(f"{kind}{bits // 8 if kind == 'bytes' else bits}={name}")
        little = order == "little"
        if enc == "ieee754":
            sub = {16: C.Float16l if little else C.Float16b, 32: C.Float32l if little else C.Float32b,
                   64: C.Float64l if little else C.Float64b}[bits]
            cons.append(name / C.Bytewise(sub))
        elif enc == "utf8":
            cons.append(name / C.Bytewise(C.PaddedString(bits // 8, "utf8")))
        else:
            cons.append(name / C.BitsInteger(bits, signed=BITSTRUCT_TYPE[enc] == "s", swapped=little))
        position += bits
    return names, fmt, ", ".join(bs_fmt), C.BitStruct(*cons)


def plain_python_a():
    """A hand-written codec: one big int, shifts and masks, struct for the floats."""
    plan, position = [], 0
    for name, enc, _, bits, order, rev, offset in FIELDS:
        position = offset if offset is not None else position
        shift = 400 - position - bits
        plan.append((name, enc, bits, order == "little" and bits > 8, rev, shift, (1 << bits) - 1))
        position += bits
    floats = {16: struct.Struct(">e"), 32: struct.Struct(">f"), 64: struct.Struct(">d")}

    def swap(v, bits):
        return int.from_bytes(v.to_bytes(bits // 8, "big"), "little")

    def reverse(v, bits):
        return int(format(v, f"0{bits}b")[::-1], 2)

    def pack(values):
        acc = 0
        for name, enc, bits, little, rev, shift, mask in plan:
            v = values[name]
            if enc == "ieee754":
                v = int.from_bytes(floats[bits].pack(v), "big")
            elif enc == "utf8":
                v = int.from_bytes(v.encode().ljust(bits // 8, b"\0"), "big")
            elif enc == "sign_magnitude":
                v = (-v | 1 << (bits - 1)) if v < 0 else v
            elif enc == "ones_complement":
                v = v if v >= 0 else mask + v
            elif enc == "packed_bcd":
                v = int(str(v), 16)
            v &= mask
            if rev:
                v = reverse(v, bits)
            if little:
                v = swap(v, bits)
            acc |= v << shift
        return acc.to_bytes(50, "big")

    def unpack(packet):
        acc = int.from_bytes(packet, "big")
        out = {}
        for name, enc, bits, little, rev, shift, mask in plan:
            v = (acc >> shift) & mask
            if little:
                v = swap(v, bits)
            if rev:
                v = reverse(v, bits)
            if enc == "ieee754":
                v = floats[bits].unpack(v.to_bytes(bits // 8, "big"))[0]
            elif enc == "utf8":
                v = v.to_bytes(bits // 8, "big").decode()
            elif enc == "twos_complement":
                v = v - (1 << bits) if v >> (bits - 1) else v
            elif enc == "sign_magnitude":
                v = -(v & (mask >> 1)) if v >> (bits - 1) else v
            elif enc == "ones_complement":
                v = v - mask if v >> (bits - 1) else v
            elif enc == "packed_bcd":
                v = int(format(v, "x"))
            out[name] = v
        return out

    return pack, unpack


# ---- Layout B: eight byte-aligned fields ----

B_FIELDS = [("a", "unsigned", 8), ("b", "unsigned", 16), ("c", "unsigned", 32),
            ("d", "twos_complement", 16), ("e", "twos_complement", 32), ("f", "ieee754", 32),
            ("g", "ieee754", 64), ("h", "unsigned", 64)]
B_VALUES = dict(a=200, b=51234, c=4_000_000_000, d=-1234, e=-123_456_789, f=1.5, g=-2.25,
                h=2**63 + 12345)
B_STRUCT = struct.Struct(">BHIhifdQ")


# The target is bitstruct.c uncompiled; its compiled form is reported alongside.
TARGETS = {"bitstruct.c *_dict": 1.0, "bitstring": 0.1, "construct": 0.1}


def compare(record, layout, ours_pack, ours_unpack, peers):
    """Prints our times and our time over each peer's, for packing and unpacking."""
    rows = []
    for label, pack, unpack, number in peers:
        rows.append((f"pack   / {label}", ours_pack / per_call(pack, number=number), TARGETS.get(label)))
        rows.append((f"unpack / {label}", ours_unpack / per_call(unpack, number=number), TARGETS.get(label)))
    print(f"\n  {record}: pack_parameters {ours_pack * 1e6:.2f} us, "
          f"unpack_parameters {ours_unpack * 1e6:.2f} us")
    report(f"packets, {layout}: bitloom time / peer time", rows, unit="x")


def run():
    if MISSING is not None:
        print(f"\n== packets: skipped ({MISSING}); pip install bitstruct bitstring construct")
        return
    # Layout A.
    values = all_values(1)[0]
    recipe_p = pack_recipe()
    for item in recipe_p:
        item["value"] = values[item["name"]]
    recipe_u = unpack_recipe()
    packet = bitloom.pack_parameters(recipe_p)
    assert bitloom.unpack_parameters(packet, 0, recipe_u) == values
    names, fmt, bs_fmt, cons = layout_a()
    compiled = bitstruct_c.compile(fmt, names)
    peer_values = dict(values, payload_state=values["payload_state"])
    bs_values = dict(values, payload_state=values["payload_state"].encode())
    py_pack, py_unpack = plain_python_a()
    assert py_unpack(py_pack(values)) == values and py_pack(values) == packet
    bs_unpack_fmt = ", ".join(part.split("=")[0] for part in bs_fmt.split(", "))

    ours_pack = per_call(lambda: bitloom.pack_parameters(recipe_p), number=20000)
    ours_unpack = per_call(lambda: bitloom.unpack_parameters(packet, 0, recipe_u), number=20000)
    peers = [
        ("bitstruct.c compiled", lambda: compiled.pack(peer_values), lambda: compiled.unpack(packet), 20000),
        ("bitstruct.c *_dict", lambda: bitstruct_c.pack_dict(fmt, names, peer_values),
         lambda: bitstruct_c.unpack_dict(fmt, names, packet), 20000),
        ("plain Python int.from_bytes", lambda: py_pack(values), lambda: py_unpack(packet), 2000),
        ("bitstring", lambda: bitstring.pack(bs_fmt, **bs_values),
         lambda: dict(zip(names, bitstring.Bits(packet).unpack(bs_unpack_fmt))), 200),
        ("construct", lambda: cons.build(peer_values), lambda: cons.parse(packet), 200),
    ]
    compare(f"housekeeping packet ({len(FIELDS)} fields, 50 bytes)", "housekeeping layout",
            ours_pack, ours_unpack, peers)

    # Layout B.
    recipe_p = [dict(name=n, encoding=e, bits=b, byte_order="big", reverse_bits=False, value=B_VALUES[n])
                for n, e, b in B_FIELDS]
    recipe_u = [dict(name=n, encoding="ieee754_f%d" % b if e == "ieee754" else e, bits=b,
                     byte_order="big", reverse_bits=False) for n, e, b in B_FIELDS]
    packet = bitloom.pack_parameters(recipe_p)
    assert packet == B_STRUCT.pack(*B_VALUES.values())
    assert bitloom.unpack_parameters(packet, 0, recipe_u) == B_VALUES
    names = [n for n, _, _ in B_FIELDS]
    fmt = "".join({"unsigned": "u", "twos_complement": "s", "ieee754": "f"}[e] + str(b) for _, e, b in B_FIELDS)
    compiled = bitstruct_c.compile(fmt, names)
    bs_kind = {"unsigned": "uintbe", "twos_complement": "intbe", "ieee754": "floatbe"}
    bs_fmt = ", ".join(f"{bs_kind[e] if b > 8 else bs_kind[e][:-2]}{b}={n}" for n, e, b in B_FIELDS)
    bs_unpack_fmt = ", ".join(part.split("=")[0] for part in bs_fmt.split(", "))
    cons = C.Struct(*[n / {("unsigned", 8): C.Int8ub, ("unsigned", 16): C.Int16ub, ("unsigned", 32): C.Int32ub,
                           ("unsigned", 64): C.Int64ub, ("twos_complement", 16): C.Int16sb,
                           ("twos_complement", 32): C.Int32sb, ("ieee754", 32): C.Float32b,
                           ("ieee754", 64): C.Float64b}[(e, b)] for n, e, b in B_FIELDS])

    def py_pack(v):
        acc = 0
        for n, e, b in B_FIELDS:
            x = v[n]
            if e == "ieee754":
                x = int.from_bytes(struct.pack(">f" if b == 32 else ">d", x), "big")
            acc = (acc << b) | (x & ((1 << b) - 1))
        return acc.to_bytes(33, "big")

    def py_unpack(p):
        acc, out, shift = int.from_bytes(p, "big"), {}, 264
        for n, e, b in B_FIELDS:
            shift -= b
            x = (acc >> shift) & ((1 << b) - 1)
            if e == "twos_complement" and x >> (b - 1):
                x -= 1 << b
            elif e == "ieee754":
                x = struct.unpack(">f" if b == 32 else ">d", x.to_bytes(b // 8, "big"))[0]
            out[n] = x
        return out

    assert py_pack(B_VALUES) == packet and py_unpack(packet) == B_VALUES
    ours_pack = per_call(lambda: bitloom.pack_parameters(recipe_p), number=50000)
    ours_unpack = per_call(lambda: bitloom.unpack_parameters(packet, 0, recipe_u), number=50000)
    values = list(B_VALUES.values())
    peers = [
        ("bitstruct.c compiled", lambda: compiled.pack(B_VALUES), lambda: compiled.unpack(packet), 50000),
        ("bitstruct.c *_dict", lambda: bitstruct_c.pack_dict(fmt, names, B_VALUES),
         lambda: bitstruct_c.unpack_dict(fmt, names, packet), 50000),
        ("plain Python int.from_bytes", lambda: py_pack(B_VALUES), lambda: py_unpack(packet), 5000),
        ("struct.Struct + dict(zip())", lambda: B_STRUCT.pack(*[B_VALUES[n] for n in names]),
         lambda: dict(zip(names, B_STRUCT.unpack(packet))), 50000),
        ("bitstring", lambda: bitstring.pack(bs_fmt, **B_VALUES),
         lambda: dict(zip(names, bitstring.Bits(packet).unpack(bs_unpack_fmt))), 1000),
        ("construct", lambda: cons.build(B_VALUES), lambda: cons.parse(packet), 1000),
    ]
    del values
    compare("byte-aligned record (8 fields, 33 bytes)", "byte-aligned layout",
            ours_pack, ours_unpack, peers)


if __name__ == "__main__":
    run()
