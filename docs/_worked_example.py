"""The housekeeping recipe and packet of the worked example (recipes.rst), for the pages whose
examples carry on from it (their hidden testsetup imports this)."""
import bitloom


def field(name, encoding, bits, byte_order="big", **extra):
    return {"name": name, "encoding": encoding, "bits": bits,
            "byte_order": byte_order, "reverse_bits": False, **extra}


PRIMARY_HEADER = [
    field("version", "unsigned", 3), field("type", "unsigned", 1),
    field("sec_hdr_flag", "unsigned", 1), field("apid", "unsigned", 11),
    field("seq_flags", "unsigned", 2), field("seq_count", "unsigned", 14),
    field("pkt_length", "unsigned", 16),
]
HOUSEKEEPING = [
    field("time_coarse", "unsigned", 32),
    field("bus_voltage", "ieee754_f32", 32),
    field("battery_temp", "twos_complement", 12),
    field("heater_on", "unsigned", 1),
    field("safe_mode", "unsigned", 1),
    field("mode", "packed_bcd", 8, offset_bits=128),
    field("wheel_speed", "twos_complement", 16, "little"),
    field("state", "us_ascii", 56),
]
READ = PRIMARY_HEADER + HOUSEKEEPING
values = {"version": 0, "type": 0, "sec_hdr_flag": 1, "apid": 0x1A5, "seq_flags": 3,
          "seq_count": 42, "pkt_length": 26 - 7, "time_coarse": 1_700_000_000,
          "bus_voltage": 28.25, "battery_temp": -12, "heater_on": 1, "safe_mode": 0,
          "mode": 7, "wheel_speed": -1500, "state": "NOMINAL"}
PACK = [dict(item, value=values[item["name"]]) for item in READ]
PACK[8]["encoding"] = "ieee754"
packet = bitloom.pack_parameters(PACK)
archive = packet * 3
