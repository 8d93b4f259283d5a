"""Many threads calling every function at once give the results of one thread, and nothing crashes."""
import subprocess
import sys
import textwrap
import threading
import time

from call_cases import CASES, outcome, run

THREADS = 8
SECONDS = 2.0


def test_concurrent_calls_match_single_thread_results():
    expected = [outcome(run(case)) for case in CASES]
    start = threading.Barrier(THREADS)
    failures = []
    calls = [0] * THREADS
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # hand the interpreter lock over as often as possible
    try:
        def worker(index):
            start.wait()
            deadline = time.monotonic() + SECONDS
            i = index * 7  # each thread walks the cases from a different place
            while time.monotonic() < deadline:
                case = CASES[i % len(CASES)]
                got = outcome(run(case))
                if got != expected[i % len(CASES)]:
                    failures.append((case[0], got, expected[i % len(CASES)]))
                    return
                calls[index] += 1
                i += 1

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert not failures, failures[:3]
    assert min(calls) > len(CASES)  # every thread went round every case at least once


def test_first_calls_from_many_threads_at_once():
    # In a fresh process, every thread's first call races for the objects made on first use
    # (recipe key names, encoding-name caches, the exception classes); all must agree.
    code = textwrap.dedent("""
        import sys, threading
        sys.setswitchinterval(1e-6)
        import bitloom

        class Seq:
            def __len__(self): return 2
            def __getitem__(self, i):
                if i >= 2: raise IndexError
                return {"name": "n", "encoding": "Packed-BCD", "bits": 8, "byte_order": "LITTLE",
                        "reverse_bits": False, "value": 12}

        def first_calls():
            out = [bitloom.pack_parameters(Seq()), bitloom.encode_utf16("\\u20ac")]
            for call in (lambda: bitloom.unpack_parameters(b"", 0, [{"name": "x", "encoding": "utf8",
                             "bits": 8, "byte_order": "big", "reverse_bits": False}]),
                         lambda: bitloom.pack_parameters([{"name": "x"}]),
                         lambda: bitloom.encode_twos_complement(1.5, 8),
                         lambda: bitloom.pack_parameters("x")):
                try:
                    call()
                except BaseException as e:
                    out.append((type(e), e.args))
            return out

        barrier = threading.Barrier(16)
        results = [None] * 16
        def worker(n):
            barrier.wait()
            results[n] = first_calls()
        threads = [threading.Thread(target=worker, args=(n,)) for n in range(16)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert all(r == results[0] for r in results), "threads disagree"
        assert results[0] == first_calls(), "differs from a later call"
        assert results[0][2][0] is bitloom.InternalFault
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         cwd=__file__.rsplit("/", 1)[0], timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.strip() == "ok"


def test_recipes_changed_by_another_thread_while_in_use():
    # One thread keeps rewriting the shared item dicts (keys removed and restored, values
    # swapped, whole dicts cleared and refilled) while others pack and unpack them: every call
    # gives bytes or a dict, or a ValueError; none crashes or reads a stale item.
    import bitloom

    items = [{"name": f"f{i}", "encoding": "unsigned", "bits": 8, "byte_order": "big",
              "reverse_bits": False, "value": i} for i in range(4)]
    stop = threading.Event()
    bad = []

    def mutate():
        n = 0
        while not stop.is_set():
            item = items[n % 4]
            step = n % 5
            if step == 0:
                item.pop("bits", None)
            elif step == 1:
                item["bits"] = 8 + n % 9
            elif step == 2:
                item["encoding"] = "".join(["twos_", "complement"]) if n % 2 else "unsigned"
            elif step == 3:
                saved = dict(item)
                item.clear()
                item.update(saved)
            else:
                item["name"] = "".join(["n", str(n % 7)])
            n += 1

    def use():
        while not stop.is_set():
            for call in (lambda: bitloom.pack_parameters(items),
                         lambda: bitloom.unpack_parameters(b"\x01\x02\x03\x04\x05\x06", 0, items)):
                try:
                    result = call()
                    if not isinstance(result, (bytes, dict)):
                        bad.append(result)
                except (ValueError, bitloom.InternalFault):
                    pass
                except BaseException as error:  # anything else is a fault
                    bad.append(error)

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    threads = [threading.Thread(target=mutate)] + [threading.Thread(target=use) for _ in range(4)]
    try:
        for t in threads:
            t.start()
        time.sleep(1.0)
    finally:
        stop.set()
        for t in threads:
            t.join()
        sys.setswitchinterval(old_interval)
    assert not bad, bad[:3]
