"""Many files: bitloom_xtce.decode_files over 8 files of about 100 MB (the JPSS sample packets
repeated, their sequence counts renumbered so that the files follow on), with 1 and 2 worker
processes, against decode_file on each file in one process. Throughput in MB/s of packet data;
the speed-up of 2 workers over 1 is a ratio measured in the same run. The machine's load average
is printed with it: other work on the machine lowers the speed-up. So is the processor time each
run used (this process, the fork server's and its workers'), and the cores that gives on average:
with 2 workers that is 2 on an idle machine, and a speed-up short of 2 with the same processor
time as 1 worker and fewer cores in use is the machine's doing, not the work's."""
import gzip
import multiprocessing
import os
import pathlib
import sys
import tempfile
import time
import warnings

import numpy as np

DATA = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "xtce"
FILES = 8
FILE_BYTES = 100 << 20


def make_files(directory, packets):
    """FILES files of whole JPSS packets, about FILE_BYTES each."""
    size = 71  # every JPSS sample packet has this size
    per_file = FILE_BYTES // size
    repeats = -(-per_file // (len(packets) // size))
    block = np.frombuffer(packets * repeats, dtype=np.uint8).reshape(-1, size)[:per_file].copy()
    paths = []
    for i in range(FILES):
        counts = (np.arange(per_file, dtype=np.int64) + i * per_file) % 16384
        block[:, 2] = (block[:, 2] & 0xC0) | (counts >> 8).astype(np.uint8)
        block[:, 3] = (counts & 0xFF).astype(np.uint8)
        path = pathlib.Path(directory, f"jpss-{i}.bin")
        path.write_bytes(block.data)
        paths.append(path)
    return paths


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def cpu_seconds():
    """Processor time used so far by this process, its children, and the fork server's children
    (decode_files' workers, counted when the fork server has reaped them)."""
    from multiprocessing import forkserver
    t = os.times()
    total = t.user + t.system + t.children_user + t.children_system
    pid = getattr(getattr(forkserver, "_forkserver", None), "_forkserver_pid", None)
    if pid:
        try:
            fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
            total += sum(int(v) for v in fields[11:15]) / os.sysconf("SC_CLK_TCK")
        except (OSError, ValueError, IndexError):
            pass
    return total


def timed_cpu(fn):
    """Wall and processor seconds of fn()."""
    cpu = cpu_seconds()
    wall = timed(fn)
    time.sleep(0.2)  # the fork server reaps the workers that have just ended
    return wall, cpu_seconds() - cpu


def _spin(n):
    total = 0
    for i in range(n):
        total += i
    return total


def machine_speedup(pool):
    """What two processes get done over one, on pure computation right now: on a machine
    other work keeps busy, less than 2 (the ceiling for decode_files' speed-up)."""
    pool.map(_spin, [1, 1])
    one = timed(lambda: pool.map(_spin, [6_000_000]))
    two = timed(lambda: pool.map(_spin, [3_000_000] * 2))
    return one / two


def run():
    import bitloom_xtce
    definition = bitloom_xtce.load(DATA / "jpss1_geolocation_xtce_v1.xml")
    packets = gzip.decompress((DATA / "jpss_packets.bin.gz").read_bytes())
    print(f"\n== many files: {FILES} files of {FILE_BYTES >> 20} MiB (JPSS packets); load average "
          f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
    with tempfile.TemporaryDirectory() as tmp, warnings.catch_warnings():
        warnings.simplefilter("ignore")
        paths = make_files(tmp, packets)
        total = sum(p.stat().st_size for p in paths) / 1e6

        def one_process():
            for path in paths:
                definition.decode_file(path.read_bytes())

        best, cpu = {}, {}
        for _ in range(2):  # alternate, so that load from elsewhere falls on each alike
            for label, fn in [("decode_file, one process", one_process),
                              ("decode_files, workers=1", lambda: bitloom_xtce.decode_files(paths, definition, workers=1)),
                              ("decode_files, workers=2", lambda: bitloom_xtce.decode_files(paths, definition, workers=2))]:
                wall, used = timed_cpu(fn)
                if wall < best.get(label, float("inf")):
                    best[label], cpu[label] = wall, used
        for label, seconds in best.items():
            workers = 2 if label.endswith("2") else 1
            print(f"  {label:<26} {seconds:6.2f} s  {total / seconds:6.1f} MB/s  "
                  f"({total / seconds / workers:6.1f} MB/s per worker)  processor {cpu[label]:5.2f} s, "
                  f"{cpu[label] / seconds:4.2f} cores")
        ratio = best["decode_files, workers=1"] / best["decode_files, workers=2"]
        with multiprocessing.get_context("forkserver").Pool(2) as pool:
            ceiling = machine_speedup(pool)
        print(f"  speed-up of 2 workers over 1: {ratio:.2f}x {'ok' if ratio >= 1.7 else 'MISS (target >= 1.7)'}; "
              f"two processes on plain computation: {ceiling:.2f}x; load average now {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    sys.exit(run())
