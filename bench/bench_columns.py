"""unpack_columns on whole files of packets, against ccsdspy's vectorised numpy decoding
(FixedLength.load) and against a loop of unpack_parameters calls, measured side by side in one
run. Peer (benchmark only): pip install ccsdspy.

Three layouts of 200,000 space packets each: a housekeeping packet of 35 bytes with 19 fields
(the primary header's sub-byte fields, integers of 1 to 32 bits, floats, both byte orders), a
record of byte-aligned fields, and a text-heavy packet (against the loop only: ccsdspy reads
text as raw bytes). Figures are fields per second and MB of packet data per second, each the
best of several runs taken in turn, and the ratios between them."""
import io
import logging
import os
import time

import numpy as np

import bitloom

try:
    import ccsdspy
except ImportError as missing:  # pragma: no cover
    ccsdspy = None
    MISSING = missing
else:
    MISSING = None
    logging.getLogger("ccsdspy").setLevel(logging.ERROR)  # it warns of the file's several APIDs

PACKETS = int(os.environ.get("BITLOOM_BENCH_PACKETS", 200_000))
# The primary header, and ccsdspy's names for its fields.
HEADER = [("version", "unsigned", 3), ("type", "unsigned", 1), ("sec_hdr_flag", "unsigned", 1),
          ("apid", "unsigned", 11), ("seq_flags", "unsigned", 2), ("seq_count", "unsigned", 14),
          ("pkt_length", "unsigned", 16)]
CCSDSPY_HEADER = dict(zip([h[0] for h in HEADER], [
    "CCSDS_VERSION_NUMBER", "CCSDS_PACKET_TYPE", "CCSDS_SECONDARY_FLAG", "CCSDS_APID",
    "CCSDS_SEQUENCE_FLAG", "CCSDS_SEQUENCE_COUNT", "CCSDS_PACKET_LENGTH"]))

# (name, reader encoding, bits, byte order, ccsdspy type); 35-byte packets, 19 fields in all.
HOUSEKEEPING = [
    ("time_coarse", "unsigned", 32, "big", "uint"),
    ("time_fine", "unsigned", 16, "big", "uint"),
    ("bus_voltage", "ieee754_f32", 32, "big", "float"),
    ("bus_current", "twos_complement", 16, "little", "int"),
    ("battery_temp", "twos_complement", 12, "big", "int"),
    ("heater_on", "unsigned", 1, "big", "uint"),
    ("safe_mode", "unsigned", 1, "big", "uint"),
    ("mode", "unsigned", 4, "big", "uint"),
    ("switch_bank", "unsigned", 6, "big", "uint"),
    ("wheel_speed", "twos_complement", 16, "little", "int"),
    ("gyro_rate", "ieee754_f32", 32, "little", "float"),
    ("sun_angle", "ieee754_f64", 64, "big", "float"),
]
# 54-byte packets: 12 byte-aligned fields after the header.
ALIGNED = [
    ("a_u8", "unsigned", 8, "big", "uint"), ("a_u16", "unsigned", 16, "big", "uint"),
    ("a_u32", "unsigned", 32, "big", "uint"), ("a_u64", "unsigned", 64, "big", "uint"),
    ("a_i8", "twos_complement", 8, "big", "int"), ("a_i16", "twos_complement", 16, "big", "int"),
    ("a_i32", "twos_complement", 32, "big", "int"), ("a_i64", "twos_complement", 64, "big", "int"),
    ("a_f32", "ieee754_f32", 32, "big", "float"), ("a_f64", "ieee754_f64", 64, "big", "float"),
    ("a_u16le", "unsigned", 16, "little", "uint"), ("a_i32le", "twos_complement", 32, "little", "int"),
]
# 62-byte packets: four text fields between integers.
TEXT = [
    ("t_count", "unsigned", 16, "big", None), ("t_state", "us_ascii", 128, "big", None),
    ("t_label", "utf8", 128, "big", None), ("t_unit", "latin1", 64, "big", None),
    ("t_note", "utf16be", 128, "big", None), ("t_flags", "unsigned", 8, "big", None),
]


def recipe(body):
    items = [dict(name=n, encoding=e, bits=b, byte_order="big", reverse_bits=False)
             for n, e, b in HEADER]
    items += [dict(name=n, encoding=e, bits=b, byte_order=o, reverse_bits=False)
              for n, e, b, o, _ in body]
    return items


def packet_bytes(body):
    return 6 + sum(b for _, _, b, _, _ in body) // 8


def make_file(body, count, seed=12):
    """count packets of random field values behind valid primary headers; text fields hold
    letters, so that every encoding reads them."""
    size = packet_bytes(body)
    rng = np.random.default_rng(seed)
    packets = rng.integers(0, 256, size=(count, size), dtype=np.uint8)
    apid = 0x100 + np.arange(count) % 3
    packets[:, 0] = 0x08 | (apid >> 8)
    packets[:, 1] = apid & 0xFF
    packets[:, 2] = 0xC0 | ((np.arange(count) >> 8) & 0x3F)
    packets[:, 3] = np.arange(count) & 0xFF
    packets[:, 4], packets[:, 5] = (size - 7) >> 8, (size - 7) & 0xFF
    position = 6
    for _, encoding, bits, _, _ in body:
        if encoding in ("us_ascii", "utf8", "latin1", "utf16be"):
            letters = rng.integers(ord("A"), ord("Z") + 1, size=(count, bits // 8), dtype=np.uint8)
            if encoding == "utf16be":
                letters[:, ::2] = 0
            packets[:, position:position + bits // 8] = letters
        position += bits // 8
    return packets.tobytes()


def ccsdspy_reader(body):
    return ccsdspy.FixedLength([ccsdspy.PacketField(name=n, data_type=t, bit_length=b, byte_order=o)
                                for n, _, b, o, t in body])


def best(fn, rounds):
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def measure(title, body, with_ccsdspy):
    data = make_file(body, PACKETS)
    items = recipe(body)
    fields = PACKETS * len(items)
    offsets = bitloom.packet_offsets(data).tolist()
    unpack = bitloom.unpack_parameters

    def loop():
        return [unpack(data, 8 * o, items) for o in offsets]

    runs = {
        "unpack_columns, threads=1": lambda: bitloom.unpack_columns(data, items),
        "unpack_columns, threads=2": lambda: bitloom.unpack_columns(data, items, threads=2),
        "unpack_columns, packet_size": lambda: bitloom.unpack_columns(
            data, items, packet_size=packet_bytes(body)),
        "unpack_columns, packet_size, threads=2": lambda: bitloom.unpack_columns(
            data, items, packet_size=packet_bytes(body), threads=2),
    }
    if with_ccsdspy:
        reader = ccsdspy_reader(body)
        runs["ccsdspy FixedLength.load"] = lambda: reader.load(io.BytesIO(data),
                                                               include_primary_header=True)
        # Same values: the columns equal ccsdspy's arrays (floats bit for bit, NaNs as NaNs).
        ours, theirs = bitloom.unpack_columns(data, items), runs["ccsdspy FixedLength.load"]()
        for name in ours:
            a, b = ours[name], np.asarray(theirs[CCSDSPY_HEADER.get(name, name)])
            if a.dtype.kind == "f":
                assert np.array_equal(a, b.astype(a.dtype), equal_nan=True), name
            else:
                assert np.array_equal(a.astype(np.int64), b.astype(np.int64)), name
    # The loop is slow: fewer rounds, all of them in the same run as the others.
    times = {label: float("inf") for label in runs}
    loop_time = float("inf")
    for _ in range(5):
        for label, fn in runs.items():
            times[label] = min(times[label], best(fn, 2))
        if loop_time == float("inf") or _ < 2:
            loop_time = min(loop_time, best(loop, 1))
    ours = times["unpack_columns, threads=1"]
    print(f"\n== columns: {title}: {PACKETS:,} packets of {packet_bytes(body)} bytes, "
          f"{len(items)} fields ({fields:,} fields, {len(data) / 1e6:.1f} MB)")
    for label, t in [*times.items(), ("unpack_parameters loop", loop_time)]:
        print(f"  {label:<40} {t * 1e3:8.1f} ms  {fields / t / 1e6:8.1f} M fields/s  "
              f"{len(data) / t / 1e6:8.1f} MB/s")
    print(f"  unpack_columns / unpack_parameters loop: {loop_time / ours:6.1f}x faster")
    if with_ccsdspy:
        print(f"  unpack_columns / ccsdspy FixedLength.load: "
              f"{times['ccsdspy FixedLength.load'] / ours:6.2f}x faster")
    # The headers are walked on one thread; with packet_size the whole decoding is split.
    print(f"  threads=2 / threads=1: {ours / times['unpack_columns, threads=2']:6.2f}x faster, "
          f"with packet_size {times['unpack_columns, packet_size'] / times['unpack_columns, packet_size, threads=2']:.2f}x")


def run():
    if MISSING is not None:
        print(f"\n== columns: skipped ({MISSING}); pip install ccsdspy")
        return
    measure("housekeeping layout (sub-byte fields, both byte orders)", HOUSEKEEPING, True)
    measure("byte-aligned layout", ALIGNED, True)
    measure("text-heavy layout", TEXT, False)


if __name__ == "__main__":
    run()
