"""Decodes a file of housekeeping space packets with unpack_parameters, writes the values as CSV
and checks each one against the value that was packed; decodes the same file into columns with
unpack_columns, checks them too and writes them as Parquet next to the CSV, with a plot of three
housekeeping parameters over packet time when matplotlib is installed (make test installs it; make
demo leaves it out, to keep .venv small); then decodes a large file into columns, chunk by chunk.
Exits non-zero on any mismatch."""
import csv
import importlib.util
import math
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import bitloom  # noqa: E402
import large_file  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402
import make_sample  # noqa: E402
from space_packets import FIELDS, all_values, unpack_recipe  # noqa: E402


def same(a, b):
    return a == b and type(a) is type(b) or (isinstance(a, float) and math.isnan(a) and math.isnan(b))


def codecs_section():
    print("== single codecs")
    print(f"  encode_twos_complement(-2, 16) = {bitloom.encode_twos_complement(-2, 16):#06x}")
    print(f"  decode_twos_complement(0xFFFE, 16) = {bitloom.decode_twos_complement(0xFFFE, 16)}")
    print(f"  encode_packed_bcd(1234, 16) = {bitloom.encode_packed_bcd(1234, 16):#06x}")
    print(f"  decode_packed_bcd(0x1234, 16) = {bitloom.decode_packed_bcd(0x1234, 16)}")


def plot(columns, png_path):
    """Bus voltage, battery temperature and wheel speed over packet time, one panel each."""
    import matplotlib
    matplotlib.use("Agg")  # files only, no display needed
    import matplotlib.dates as mdates
    import matplotlib.pyplot as plt
    import numpy as np

    # Packet time: seconds since 1970 in the secondary header, the fraction in 1/65536 s.
    micros = columns["time_coarse"].astype(np.int64) * 1_000_000 + \
        (columns["time_fine"].astype(np.int64) * 1_000_000 >> 16)
    when = micros.astype("datetime64[us]")
    panels = [("bus_voltage", "bus voltage (V)", columns["bus_voltage"], "tab:blue"),
              ("battery_temp", "battery temperature (°C)", columns["battery_temp"] * 0.1, "tab:red"),
              ("wheel_speed", "wheel speed (rpm)", columns["wheel_speed"], "tab:green")]
    fig, axes = plt.subplots(len(panels), 1, sharex=True, figsize=(10, 7.5), layout="constrained")
    for ax, (name, label, values, colour) in zip(axes, panels):
        ax.plot(when, values, color=colour, linewidth=0.6)
        ax.set_ylabel(label)
        ax.set_title(name, loc="left", fontsize="medium", fontfamily="monospace")
        ax.grid(True, alpha=0.3)
    axes[-1].set_xlabel(f"packet time (UTC), from {str(when[0])[:16].replace('T', ' ')}")
    axes[-1].xaxis.set_major_formatter(mdates.DateFormatter("%H:%M"))
    fig.suptitle(f"Housekeeping, {len(when)} packets decoded by unpack_columns")
    fig.savefig(png_path, dpi=110)
    plt.close(fig)


def main():
    codecs_section()
    path = make_sample.DEFAULT_PATH
    count = make_sample.DEFAULT_COUNT
    t0 = time.perf_counter()
    make_sample.build(path, count)
    t_pack = time.perf_counter() - t0
    data = path.read_bytes()

    recipe = unpack_recipe()
    header = unpack_recipe()[:7]
    rows = []
    t0 = time.perf_counter()
    position = 0
    while position < len(data):
        # The header says how long the packet is; each packet is read in place from the file.
        length = bitloom.unpack_parameters(data, 8 * position, header)["pkt_length"] + 7
        rows.append(bitloom.unpack_parameters(data, 8 * position, recipe))
        position += length
    t_unpack = time.perf_counter() - t0

    csv_path = path.with_suffix(".csv")
    with csv_path.open("w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, fieldnames=[name for name, *_ in FIELDS])
        writer.writeheader()
        writer.writerows(rows)

    # The same file in one call: a numpy array per field, then a Parquet file beside the CSV.
    t0 = time.perf_counter()
    columns = bitloom.unpack_columns(data, recipe)
    t_columns = time.perf_counter() - t0
    parquet_path = path.with_suffix(".parquet")
    pq.write_table(pa.table(columns), parquet_path)
    png_path = path.with_suffix(".png")
    if importlib.util.find_spec("matplotlib"):
        plot(columns, png_path)
        picture = f"{png_path}: bus_voltage, battery_temp, wheel_speed over packet time"
    else:
        picture = f"no plot over packet time: needs matplotlib ({sys.executable} -m pip install matplotlib)"
    column_rows = [dict(zip(columns, values)) for values in
                   zip(*(column.tolist() for column in columns.values()))]

    expected = all_values(count)
    bad = []
    for source, decoded in (("unpack_parameters", rows), ("unpack_columns", column_rows)):
        bad += [(source, i, name, row[name], want[name])
                for i, (row, want) in enumerate(zip(decoded, expected))
                for name in want if not same(row[name], want[name])]
        if len(decoded) != count:
            bad.append((source, "count", "packets", len(decoded), count))

    print("== housekeeping packets")
    print(f"  {path} : {len(data)} bytes, {len(rows)} packets of {len(FIELDS)} fields")
    print(f"  packed in {t_pack * 1e3:.1f} ms, read back in {t_unpack * 1e3:.1f} ms by unpack_parameters, "
          f"in {t_columns * 1e3:.1f} ms by unpack_columns")
    print(f"  {csv_path}")
    print(f"  {picture}")
    print(f"  {parquet_path}: " + ", ".join(f"{name} {column.dtype}" for name, column in
                                           list(columns.items())[7:12]) + ", ...")
    first = rows[0]
    print("  first packet: " + ", ".join(f"{k}={first[k]!r}" for k in
                                         ("apid", "seq_count", "time_coarse", "bus_voltage",
                                          "battery_temp", "gyro_rate", "payload_state", "checksum")))
    if bad:
        for where in bad[:10]:
            print("  MISMATCH ({}) packet {} {}: read {!r}, packed {!r}".format(*where))
        print(f"FAILED: {len(bad)} values differ")
        return 1
    print(f"  all {len(rows) * len(FIELDS)} values read back equal to the values packed, "
          f"by both")
    print("== a large file")
    large_file.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
