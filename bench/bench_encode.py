"""XTCE encoding: encode_many against a loop of encode, per field against unpack_columns (the
other direction, same fields), against space_packet_parser's packet creation, and a CRC over
whole files. Ratios in one run, each pair measured in turns so that a busy machine slows both."""
import pathlib
import struct
import time
import warnings

import numpy as np

from bench_xtce import read
from harness import race

DATA = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "xtce"


def tiled(columns, times):
    return {k: np.tile(v, times) for k, v in columns.items()}


def reader_recipe(definition, container):
    """The unpack_columns recipe of a fixed container: every field, where encode_many writes it."""
    plan = definition._encoder.plan(container)
    recipe = []
    for f in plan.steps:
        enc = f.parameter.type.encoding
        reader = getattr(enc, "reader", None) if hasattr(enc, "form") or hasattr(enc, "reader") else None
        recipe.append({"name": f.parameter.name, "encoding": reader or "utf8", "bits": f.bits,
                       "byte_order": getattr(enc, "byte_order", "big"),
                       "reverse_bits": getattr(enc, "reverse_bits", False), "offset_bits": f.offset})
    return recipe


def against_loop(definition, container, columns, label, raw=False):
    n = len(next(iter(columns.values())))
    items = [{k: v[i] for k, v in columns.items()} for i in range(min(n, 2000))]

    def loop():
        for values in items:
            definition.encode(container, values, raw=raw)

    t_loop, t_many = race(loop, lambda: definition.encode_many(container, columns, raw=raw), rounds=3)
    per_one, per_many = t_loop / len(items), t_many / n
    print(f"    {label}, {n} packets: encode {per_one * 1e6:.1f} us/packet, encode_many {per_many * 1e6:.2f} us/packet "
          f"({per_one / per_many:.1f}x)")


_T = ''.join(f'<xtce:IntegerParameterType name="U{bits}"><xtce:IntegerDataEncoding sizeInBits="{bits}"/>'
             '</xtce:IntegerParameterType>' for bits in (1, 2, 3, 5, 8, 11, 14, 16))
# Event packets: a CCSDS header, 3 and 5-bit fields, text ended by a zero byte, text after its size,
# binary data sized by a field, a CRC.
TEXTS = (
    '<?xml version="1.0"?><xtce:SpaceSystem name="T" xmlns:xtce="http://www.omg.org/space/xtce">'
    '<xtce:TelemetryMetaData><xtce:ParameterTypeSet>' + _T +
    '<xtce:IntegerParameterType name="CRC"><xtce:IntegerDataEncoding sizeInBits="16"><xtce:ErrorDetectCorrect>'
    '<xtce:CRC width="16"><xtce:Polynomial>1021</xtce:Polynomial><xtce:InitRemainder>FFFF</xtce:InitRemainder>'
    '</xtce:CRC></xtce:ErrorDetectCorrect></xtce:IntegerDataEncoding></xtce:IntegerParameterType>'
    '<xtce:StringParameterType name="Ended"><xtce:StringDataEncoding encoding="US-ASCII"><xtce:Variable '
    'maxSizeInBits="800"><xtce:TerminationChar>00</xtce:TerminationChar></xtce:Variable></xtce:StringDataEncoding>'
    '</xtce:StringParameterType><xtce:StringParameterType name="Tagged"><xtce:StringDataEncoding encoding="US-ASCII">'
    '<xtce:Variable maxSizeInBits="800"><xtce:LeadingSize sizeInBitsOfSizeTag="8"/></xtce:Variable>'
    '</xtce:StringDataEncoding></xtce:StringParameterType><xtce:BinaryParameterType name="Data">'
    '<xtce:BinaryDataEncoding><xtce:SizeInBits><xtce:DynamicValue><xtce:ParameterInstanceRef parameterRef="n"/>'
    '<xtce:LinearAdjustment slope="8"/></xtce:DynamicValue></xtce:SizeInBits></xtce:BinaryDataEncoding>'
    '</xtce:BinaryParameterType></xtce:ParameterTypeSet><xtce:ParameterSet>'
    + ''.join(f'<xtce:Parameter name="{name}" parameterTypeRef="{ptype}"/>' for name, ptype in [
        ("VERSION", "U3"), ("TYPE", "U1"), ("SHF", "U1"), ("APID", "U11"), ("SEQF", "U2"), ("SEQC", "U14"),
        ("LEN", "U16"), ("a", "U3"), ("b", "U5"), ("ended", "Ended"), ("tagged", "Tagged"), ("n", "U8"),
        ("data", "Data"), ("c", "U16"), ("crc", "CRC")]) +
    '</xtce:ParameterSet><xtce:ContainerSet><xtce:SequenceContainer name="Event"><xtce:EntryList>'
    + ''.join(f'<xtce:ParameterRefEntry parameterRef="{name}"/>' for name in [
        "VERSION", "TYPE", "SHF", "APID", "SEQF", "SEQC", "LEN", "a", "b", "ended", "tagged", "n", "data", "c", "crc"])
    + '</xtce:EntryList></xtce:SequenceContainer></xtce:ContainerSet></xtce:TelemetryMetaData></xtce:SpaceSystem>'
).encode()


def run():
    import bitloom

    import bitloom_xtce
    print("\n== XTCE encoding (ratios in one run, best of several)")
    jpss = bitloom_xtce.load(read("jpss1_geolocation_xtce_v1.xml"))
    data = read("jpss_packets.bin.gz")
    name = "JPSS_ATT_EPHEM"
    base = jpss.decode_file(data)[name]
    raw = jpss.decode_file(data, raw=True)[name]
    columns, raw_columns = tiled(base, 14), tiled(raw, 14)
    n = len(columns["DOY"])
    fields = len(columns)
    rows = [{k: v[i] for k, v in base.items()} for i in range(2000)]

    def loop():
        for values in rows:
            jpss.encode(name, values)

    t_loop, t_many = race(loop, lambda: jpss.encode_many(name, columns), rounds=5)
    per_one, per_many = t_loop / len(rows), t_many / n
    print(f"  JPSS, {n} packets of {fields} fields: encode {per_one * 1e6:.1f} us/packet, encode_many "
          f"{per_many * 1e6:.2f} us/packet: encode_many / loop of encode {per_one / per_many:.0f}x (target >= 20x)")
    packets = jpss.encode_many(name, raw_columns, raw=True)
    recipe = reader_recipe(jpss, name)
    t_raw, t_unpack = race(lambda: jpss.encode_many(name, raw_columns, raw=True),
                           lambda: bitloom.unpack_columns(packets, recipe, packet_size=71), rounds=9)
    t_cal, t_decode = race(lambda: jpss.encode_many(name, columns), lambda: jpss.decode_file(packets), rounds=7)
    per_field = 1e9 / (n * fields)
    print(f"  per field: encode_many raw {t_raw * per_field:.1f} ns, unpack_columns {t_unpack * per_field:.1f} ns "
          f"(encode_many / unpack_columns {t_raw / t_unpack:.2f}, target <= 2); calibrated: encode_many "
          f"{t_cal * per_field:.1f} ns, decode_file {t_decode * per_field:.1f} ns ({t_cal / t_decode:.2f})")
    try:
        from space_packet_parser.generators import ccsds as spp_ccsds
        layout = struct.Struct(">HIHBHIHffffffHIHffff")  # JPSS's user data: 65 bytes
        names = list(base)[7:]
        payloads = [[v[i].item() for v in (raw[k] for k in names)] for i in range(2000)]

        def peer():
            for values in payloads:
                spp_ccsds.create_ccsds_packet(layout.pack(*values), apid=11, secondary_header_flag=1,
                                              sequence_flags=3, sequence_count=0)

        assert layout.size == 65
        t_peer, t_loop = race(peer, loop, rounds=5)
        print(f"  space_packet_parser create_ccsds_packet (+ struct.pack for the user data) "
              f"{t_peer / len(payloads) * 1e6:.1f} us/packet: encode / peer {t_loop / t_peer:.2f}, "
              f"peer / encode_many {t_peer / len(payloads) / per_many:.0f}x")
    except ImportError:
        print("  space_packet_parser not installed: no peer comparison")

    ctim = bitloom_xtce.load(read("ctim_xtce_v1.xml.gz"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        wide = ctim.decode_file(read("ctim_packets.bin.gz"), raw=True)["APID_41_Packet"]
    wide = tiled(wide, 8)
    n, fields = len(wide["PKT_APID"]), len(wide)
    out = ctim.encode_many("APID_41_Packet", wide, raw=True)
    size = len(out) // n
    recipe = reader_recipe(ctim, "APID_41_Packet")
    t_raw, t_unpack = race(lambda: ctim.encode_many("APID_41_Packet", wide, raw=True),
                           lambda: bitloom.unpack_columns(out, recipe, packet_size=size), rounds=5)
    per_field = 1e9 / (n * fields)
    print(f"  CTIM APID 41, {n} packets of {fields} fields: encode_many raw {t_raw * per_field:.1f} ns/field, "
          f"unpack_columns {t_unpack * per_field:.1f} ns/field ({t_raw / t_unpack:.2f})")

    idex = bitloom_xtce.load(read("idex_combined_science_definition.xml.gz"))
    varied = tiled(idex.decode_file(read("idex_packets.bin.gz"))["Sci0TypeNonZero"], 10)
    print("  packets of different sizes or field places, encode_many / loop of encode (target >= 20x):")
    against_loop(idex, "Sci0TypeNonZero", varied, "IDEX science packets (a binary field of 1 to 4 kB)")
    suda = tiled(idex.decode_file(read("suda_packets.bin.gz"), prefix_bytes=4)["SciFetchTypeNonZero"], 60)
    against_loop(idex, "SciFetchTypeNonZero", suda, "SUDA science packets (a binary field of varying size)")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        longer = tiled(ctim.decode_file(read("ctim_packets.bin.gz"), raw=True)["APID_20_Packet"], 200)
    against_loop(ctim, "APID_20_Packet", longer, "CTIM APID 20 (packet lengths of 23 and 39 given)", raw=True)
    texts = bitloom_xtce.load(TEXTS)
    rng = np.random.default_rng(1)
    n = 20_000
    columns = {"SHF": np.zeros(n, int), "APID": np.full(n, 7), "a": rng.integers(0, 8, n), "b": rng.integers(0, 32, n),
               "c": rng.integers(0, 1 << 16, n),
               "ended": [f"event {k}" * int(k % 4) for k in range(n)], "tagged": [f"#{k}" for k in range(n)],
               "data": [bytes(range(k % 40)) for k in range(n)]}
    against_loop(texts, "Event", columns, "text ended or size-tagged, binary sized by a field, 3 and 5-bit fields, CRC")

    from bitloom_xtce._crc import Covered, Crc
    crc = Crc(16, 0x1021, 0xFFFF)
    matrix = np.frombuffer(packets, dtype=np.uint8).reshape(-1, 71)
    t_many, t_one = race(lambda: crc.many(Covered.rows(matrix)),
                         lambda: [crc.one(packets[k:k + 71]) for k in range(0, 71 * 2000, 71)], rounds=5)
    print(f"  CRC-16/CCITT over {len(matrix)} packets of 71 bytes: {len(packets) / t_many / 1e6:.0f} MB/s in "
          f"columns, {71 * 2000 / t_one / 1e6:.1f} MB/s one packet at a time")


if __name__ == "__main__":
    run()
