"""The decode program on a synthetic event file: 1 million space packets, each a mode and a
count, then that many events of two or three variable-size fields (a size-tagged name, a
null-terminated note in mode 0, a size-prefixed payload) after an id whose width depends on the
APID; 8 containers by APID and mode. A hand-written program decodes it. Reported: MB/s and
packets/s with text as spans and as str columns, threads=2 against threads=1 (the same run,
taking turns), and the fixed cost of a one-packet call. space_packet_parser has no repeated
entries, so it cannot describe this file; bench_xtce.py compares the files it can decode."""
import random

import numpy as np

import bitloom
from harness import best, race

APIDS = (0x20, 0x21, 0x22, 0x23)
ID_BITS = (8, 16, 32, 24)  # the id before each event, by APID
PACKETS = 1_000_000
POOL = 1 << 16  # distinct packets, drawn at random to fill the file


def make_packet(rng, apid_index, mode, seq):
    apid = APIDS[apid_index]
    events = bytearray()
    count = rng.randrange(0, 7)
    for k in range(count):
        events += rng.getrandbits(ID_BITS[apid_index]).to_bytes(ID_BITS[apid_index] // 8, "big")
        name = bytes(rng.choices(b"ABCDEFGHIJKLMNOPQRSTUVWXYZ_", k=rng.randrange(0, 9)))
        events += bytes([len(name)]) + name
        if mode == 0:
            events += bytes(rng.choices(b"abcdefghij klmnop", k=rng.randrange(0, 11))) + b"\0"
        payload = rng.randbytes(rng.randrange(0, 13))
        events += bytes([len(payload)]) + payload
    body = bytes([mode, count]) + events
    header = (apid.to_bytes(2, "big") + (0xC000 | seq & 0x3FFF).to_bytes(2, "big") +
              (len(body) - 1).to_bytes(2, "big"))
    return header + body


def make_file(make=make_packet):
    """The file of PACKETS packets drawn from POOL made by `make`, their offsets and sizes."""
    rng = random.Random(2024)
    pool = [make(rng, rng.randrange(4), rng.randrange(2), k) for k in range(POOL)]
    picks = np.random.default_rng(7).integers(0, POOL, PACKETS)
    data = b"".join([pool[i] for i in picks.tolist()])
    sizes = np.array([len(pool[i]) for i in range(POOL)], dtype=np.uint64)[picks]
    offsets = np.zeros(PACKETS, dtype=np.uint64)
    np.cumsum(sizes[:-1], out=offsets[1:])
    return data, offsets, sizes


def description():
    """Header fields into slots 0-4 and registers 0-2, a route per container, then each
    container's event loop with slots of its own (id, name, note in mode 0, payload)."""
    reg = lambda k: ("reg", k)  # noqa: E731
    slots = ["u16", "u16", "u16", "u8", "u8"]
    steps = [
        ("fields", 0, [(5, 11, "unsigned", 0, 0), (18, 14, "unsigned", 1, None), (32, 16, "unsigned", 2, None),
                       (48, 8, "unsigned", 3, 1), (56, 8, "unsigned", 4, 2)]),
        ("seek", 1, 0, 64),
        None,  # the route, once the containers' first steps are known
        ("end",),
    ]
    routes = []
    for a, apid in enumerate(APIDS):
        for mode in (0, 1):
            container = 2 * a + mode
            routes.append((("and", ("==", reg(0), apid), ("==", reg(1), mode)), len(steps)))
            bits = ID_BITS[a]
            first = len(slots)
            slots += [{8: "u8", 16: "u16", 24: "u32", 32: "u32"}[bits], ("text", "us_ascii")]
            if mode == 0:
                slots.append(("text", "us_ascii"))
            slots.append("span")
            head = len(steps) + 1
            body = [
                ("container", container),
                ("loop", 2, None),
                ("fields", 1, [(0, bits, "unsigned", first, None)]),
                ("measure", 1, bits, ("tagged", 8, 8), None, first + 1, 1),
            ]
            if mode == 0:
                body.append(("measure", 1, 0, ("terminated", b"\0", 1), None, first + 2, 1))
            body += [
                ("fields", 1, [(0, 8, "unsigned", None, 3)]),  # the payload's size in bytes
                ("measure", 1, 8, ("plain",), ("reg", 3, 8, 0), len(slots) - 1, 1),
                ("jump", head),
                ("end",),
            ]
            body[1] = ("loop", 2, len(steps) + len(body) - 1)
            steps += body
    steps[2] = ("route", "unique", routes)
    return {"registers": 4, "positions": 2, "containers": 8, "slots": slots, "steps": steps}


def run():
    data, offsets, sizes = make_file()
    program = bitloom._program(description())
    out = bitloom._run_program(program, data, offsets, sizes, spans=True)
    reasons = np.bincount(out["reason"], minlength=len(bitloom._PROGRAM_REASONS))
    assert reasons[0] == PACKETS, dict(zip(bitloom._PROGRAM_REASONS, reasons.tolist()))
    events = int(out["slots"][4][0].astype(np.int64).sum())
    megabytes = len(data) / 1e6
    print(f"\n== Decode program: {PACKETS:,} event packets ({megabytes:.0f} MB, {events:,} events, "
          f"8 containers)")
    t1, t2 = race(lambda: bitloom._run_program(program, data, offsets, sizes, spans=True),
                  lambda: bitloom._run_program(program, data, offsets, sizes, threads=2, spans=True), rounds=5)
    print(f"  text as spans, threads=1: {megabytes / t1:7.0f} MB/s, {PACKETS / t1:12,.0f} packets/s  (target >= 200 MB/s)")
    print(f"  text as spans, threads=2: {megabytes / t2:7.0f} MB/s, {PACKETS / t2:12,.0f} packets/s, "
          f"{t1 / t2:.2f}x threads=1  (target >= 1.7x)")
    t_text = best(lambda: bitloom._run_program(program, data, offsets, sizes), 3)
    print(f"  text as str columns (StringDType), threads=1: {megabytes / t_text:7.0f} MB/s, "
          f"{PACKETS / t_text:12,.0f} packets/s")
    packet = data[int(offsets[1]):int(offsets[1] + sizes[1])]
    one = np.zeros(1, np.uint64)
    calls = 20000
    t_packet = best(lambda: [bitloom._run_packet(program, packet) for _ in range(calls)], 5) / calls
    t_array = best(lambda: [bitloom._run_program(program, packet, one) for _ in range(calls // 10)], 5) / (calls // 10)
    print(f"  one packet: _run_packet {t_packet * 1e6:.1f} us per call, _run_program {t_array * 1e6:.1f} us "
          f"(target <= 50 us)")


if __name__ == "__main__":
    run()
