"""IEEE 754 and older float codecs: call cost against operator.add(300, 400), and binary16 encoding against the
standard library's struct and numpy's scalar conversion."""
import operator
import struct

import bitloom
from harness import per_stmt, ratio, report

# (statement, target ratio or None when only reported)
CASES = [
    ("encode_ieee754_f16(0.1)", 1.25),
    ("decode_ieee754_f16(0x2E66)", 1.25),
    ("encode_ieee754_f32(0.1)", 1.25),
    ("decode_ieee754_f64(0x3FB999999999999A)", 1.25),
    ("encode_ieee754_f64(0.1)", None),
    ("decode_ieee754_f32(0x3DCCCCCD)", None),
    ("decode_ieee754_f128(0x3FFB999999999999999999999999999A)", 1.25),
    ("encode_ieee754_f128(0.1)", 1.25),
    ("encode_ieee754_1985_f32(0.1)", 1.25),
    ("decode_ieee754_1985_f32(0x3DCCCCCD)", 1.25),
    ("encode_ieee754_1985_f64(0.1)", 1.25),
    ("decode_ieee754_1985_f64(0x3FB999999999999A)", 1.25),
    ("encode_ieee754_1985_f80(0.1)", 1.25),
    ("decode_ieee754_1985_f80(0x3FFBCCCCCCCCCCCCD000)", 1.25),
    ("encode_mil_std_1750a_f32(0.1)", 1.25),
    ("encode_mil_std_1750a_f48(0.1)", 1.25),
    ("decode_mil_std_1750a_f32(0x666666FD)", 1.25),
    ("decode_mil_std_1750a_f48(0x666666FD6666)", 1.25),
    ("encode_ti_f32(0.1)", 1.25),
    ("encode_ti_f40(0.1)", 1.25),
    ("decode_ti_f32(0xFC4CCCCD)", 1.25),
    ("decode_ti_f40(0xFC4CCCCCCD)", 1.25),
    ("encode_ibm_f32(0.1)", 1.25),
    ("decode_ibm_f32(0x40199999)", 1.25),
    ("encode_ibm_f64(0.1)", 1.25),
    ("decode_ibm_f64(0x401999999999999A)", 1.25),
    ("encode_dec_f32(0.1)", 1.25),
    ("decode_dec_f32(0x3ECCCCCD)", 1.25),
    ("encode_dec_f64(0.1)", 1.25),
    ("decode_dec_f64(0x3ECCCCCCCCCCCCCD)", 1.25),
]

# Other ways to get the binary16 form of 0.1 (struct gives bytes, numpy a scalar or an int).
PEERS = [
    ("struct.Struct('>e').pack(0.1)", "pack_e(0.1)"),
    ("numpy.float16(0.1).view(numpy.uint16)", "f16(0.1).view(u16)"),
    ("int(numpy.float16(0.1).view(numpy.uint16))", "int(f16(0.1).view(u16))"),
]


def run():
    env = {name: getattr(bitloom, name) for name in bitloom.__all__}
    env["add"] = operator.add
    env["pack_e"] = struct.Struct(">e").pack
    rows = []
    for stmt, target in CASES:
        # Alternate the baseline with each case so that load from elsewhere hits both alike.
        rows.append((stmt, ratio(stmt, "add(300, 400)", globals=env), target))
    report("float codecs: time per call / operator.add(300, 400)", rows, unit="x")

    try:
        import numpy
    except ImportError:
        numpy = None
    if numpy is not None:
        env["f16"], env["u16"] = numpy.float16, numpy.uint16
    rows = []
    for label, stmt in PEERS:
        if "f16" in stmt and numpy is None:
            continue
        ours = per_stmt("encode_ieee754_f16(0.1)", globals=env)
        rows.append((label, ours / per_stmt(stmt, globals=env), None))
    report("encode_ieee754_f16(0.1): time per call / peer's time (below 1 is faster)", rows, unit="x")


if __name__ == "__main__":
    run()
