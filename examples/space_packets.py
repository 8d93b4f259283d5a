"""A housekeeping telemetry packet: a space packet primary header, a time stamp and 15
parameters of mixed encodings, widths, byte orders and offsets. One layout, two recipes: the
builder names float families with their width in `bits`, the reader names the format."""
import math
import random
import struct

# (name, pack encoding, unpack encoding, bits, byte order, reverse bits, offset or None)
FIELDS = [
    # Primary header: 6 bytes, mostly sub-byte fields.
    ("version", "unsigned", "unsigned", 3, "big", False, None),
    ("type", "unsigned", "unsigned", 1, "big", False, None),
    ("sec_hdr_flag", "unsigned", "unsigned", 1, "big", False, None),
    ("apid", "unsigned", "unsigned", 11, "big", False, None),
    ("seq_flags", "unsigned", "unsigned", 2, "big", False, None),
    ("seq_count", "unsigned", "unsigned", 14, "big", False, None),
    ("pkt_length", "unsigned", "unsigned", 16, "big", False, None),
    # Secondary header: coarse seconds and 1/65536 s.
    ("time_coarse", "unsigned", "unsigned", 32, "big", False, None),
    ("time_fine", "unsigned", "unsigned", 16, "big", False, None),
    # Housekeeping parameters.
    ("bus_voltage", "ieee754", "ieee754_f32", 32, "big", False, None),
    ("bus_current", "twos_complement", "twos_complement", 16, "little", False, None),
    ("battery_temp", "twos_complement", "twos_complement", 12, "big", False, None),
    ("panel_temp", "sign_magnitude", "sign_magnitude", 12, "big", False, None),
    ("heater_on", "unsigned", "unsigned", 1, "big", False, None),
    ("safe_mode", "unsigned", "unsigned", 1, "big", False, None),
    ("switch_bank", "unsigned", "unsigned", 6, "big", True, None),
    ("wheel_speed", "ones_complement", "ones_complement", 16, "little", False, None),
    ("mission_phase", "packed_bcd", "packed_bcd", 8, "big", False, None),
    ("gyro_rate", "ieee754", "ieee754_f16", 16, "big", False, None),
    ("sun_angle", "ieee754", "ieee754_f64", 64, "little", False, None),
    ("orbit_count", "unsigned", "unsigned", 24, "little", False, None),
    ("payload_state", "utf8", "utf8", 64, "big", False, None),
    # After a 4-bit spare: a checksum at a fixed place, 12 bits reaching into the last byte.
    ("checksum", "unsigned", "unsigned", 12, "big", False, 388),
]

PACKET_BITS = 400
PACKET_BYTES = PACKET_BITS // 8
STATES = ["NOMINAL ", "SAFE    ", "SCIENCE ", "DOWNLINK", "ECLIPSE ", "\u00c9T\u00c9    "[:8]]


def pack_recipe():
    recipe = []
    for name, enc, _, bits, order, rev, offset in FIELDS:
        item = dict(name=name, encoding=enc, bits=bits, byte_order=order, reverse_bits=rev, value=None)
        if offset is not None:
            item["offset_bits"] = offset
        recipe.append(item)
    return recipe


def unpack_recipe():
    recipe = []
    for name, _, enc, bits, order, rev, offset in FIELDS:
        item = dict(name=name, encoding=enc, bits=bits, byte_order=order, reverse_bits=rev)
        if offset is not None:
            item["offset_bits"] = offset
        recipe.append(item)
    return recipe


def _f32(x):
    return struct.unpack(">f", struct.pack(">f", x))[0]


def _f16(x):
    return struct.unpack(">e", struct.pack(">e", x))[0]


ORBIT_SECONDS = 5400  # one packet a second; a 90-minute orbit, the last 35 minutes in eclipse
ECLIPSE_FROM = 0.61


def housekeeping(index, rng):
    """Bus voltage (V), battery temperature (0.1 degC counts) and reaction wheel speed (rpm) at
    packet `index`: the battery charges in sunlight and discharges and cools in eclipse, and the
    wheel drifts slowly, with sensor noise on all three."""
    phase = index % ORBIT_SECONDS / ORBIT_SECONDS
    if phase < ECLIPSE_FROM:
        charge = phase / ECLIPSE_FROM
        volts = 27.4 + 1.6 * (1 - math.exp(-4 * charge))
        temp = 120 + 90 * math.sin(math.pi * charge)
    else:
        dark = (phase - ECLIPSE_FROM) / (1 - ECLIPSE_FROM)
        volts = 29.0 - 1.6 * dark
        temp = 120 - 60 * math.sin(math.pi * dark)
    rpm = 2400 + 900 * math.sin(2 * math.pi * index / 7300) + 150 * math.sin(2 * math.pi * phase)
    return (volts + rng.gauss(0, 0.04), round(temp + rng.gauss(0, 3)), round(rpm + rng.gauss(0, 12)))


def packet_values(index, rng):
    """The parameter values of packet number `index`; every one is exactly representable."""
    volts, temp, rpm = housekeeping(index, rng)
    state = STATES[rng.randrange(len(STATES))]
    while len(state.encode()) > 8:
        state = state[:-1]
    return {
        "version": 0, "type": 0, "sec_hdr_flag": 1, "apid": 0x1A5 + index % 3,
        "seq_flags": 3, "seq_count": index % 16384, "pkt_length": PACKET_BYTES - 7,
        "time_coarse": 1_700_000_000 + index, "time_fine": rng.randrange(65536),
        "bus_voltage": _f32(volts),
        "bus_current": rng.randrange(-32768, 32768),
        "battery_temp": temp,
        "panel_temp": rng.randrange(-2047, 2048),
        "heater_on": rng.randrange(2), "safe_mode": int(state.startswith("SAFE")),
        "switch_bank": rng.randrange(64),
        "wheel_speed": rpm,
        "mission_phase": rng.randrange(100),
        "gyro_rate": _f16(rng.uniform(-2.0, 2.0)),
        "sun_angle": rng.uniform(0.0, 180.0),
        "orbit_count": 5000 + index // 16,
        "payload_state": state.encode().ljust(8, b" ").decode(),
        "checksum": rng.randrange(4096),
    }


def all_values(count, seed=1977):
    rng = random.Random(seed)
    return [packet_values(i, rng) for i in range(count)]
