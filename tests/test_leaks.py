"""Every function, on success and on each failure path, leaves no reference and no memory behind.

The interpreter is a release build (no sys.gettotalrefcount unless it is a debug build), so each
case is watched three ways: the reference counts of its arguments (borrowed, never stolen or
kept), the interpreter's own allocations (tracemalloc), and the C heap (glibc's mallinfo2, which
sees the C++ allocations of the codecs) plus the process's resident memory over all cases.
Thresholds leave room for the allocator's noise while catching a leak of a few bytes per call.
"""
import ctypes
import ctypes.util
import gc
import os
import re
import sys
import tracemalloc

import pytest

import bitloom
import numpy as np
from call_cases import CASES, PACKET, READER, run

ROUNDS = 1000
# Calls that go through numpy make and drop more objects than the codecs do, and the
# interpreter's free lists take thousands of them to settle (bounded: tens of KB). They are
# watched over ten times as many calls with room for that, which still catches 4 bytes a call.
NUMPY_BACKED = {"unpack_columns", "packet_offsets", "_unpack_columns"}

# The private pair bitloom_xtce reads fixed fields with: a recipe resolved once, then read.
RESOLVED = bitloom._column_recipe(READER)
PRIVATE = [
    ("_column_recipe", (READER,), {}),
    ("_column_recipe", ([{"name": "a", "encoding": "nope", "bits": 8, "byte_order": "big", "reverse_bits": False}],), {}),
    ("_unpack_columns", (RESOLVED, PACKET * 2, np.array([0, len(PACKET)], np.uint64)), {}),
    ("_unpack_columns", (RESOLVED, PACKET * 2, [0, len(PACKET)]), {"offset_bits": 0}),
    ("_unpack_columns", (RESOLVED, PACKET, np.array([0, len(PACKET) + 1], np.uint64)), {}),  # packet too short
    ("_unpack_columns", (READER, PACKET, []), {}),  # not a resolved recipe
]


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]


def _heap_reader():
    """Bytes in use on the C heap, or None where that cannot be read (other libc, sanitizers)."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = MallInfo2
    read = lambda: mallinfo2().uordblks + mallinfo2().hblkhd  # noqa: E731
    return read if read() > 0 else None


heap_in_use = _heap_reader()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def case_id(case):
    # Without object addresses: the same in every process (pytest-xdist's workers).
    name, args, kwargs = case
    shown = ", ".join([repr(a)[:20] for a in args] + [f"{k}={v!r}"[:20] for k, v in kwargs.items()])
    return re.sub(r" at 0x[0-9a-f]*", "", f"{name}({shown})")


def objects_of(case):
    """Every argument object, and for recipes every item and value inside."""
    _, args, kwargs = case
    found = list(args) + list(kwargs.values())
    for arg in list(found):
        items = getattr(arg, "items", arg) if not isinstance(arg, (str, bytes, bytearray)) else ()
        if isinstance(items, (list, tuple)):
            for item in items:
                found.append(item)
                if isinstance(item, dict):
                    found.extend(item.values())
    return found


def test_every_function_has_success_and_failure_cases():
    outcomes = {name: set() for name in bitloom.__all__}
    for case in CASES:
        outcomes[case[0]].add(isinstance(run(case), BaseException))
    always_raise = {n for n in bitloom.__all__ if any(f in n for f in ("1750", "dec_", "ibm", "ti_"))}
    for name, seen in outcomes.items():
        assert True in seen, f"{name}: no failure case"
        assert name in always_raise or False in seen, f"{name}: no success case"


@pytest.fixture(scope="module", autouse=True)
def frozen_heap():
    # Everything alive now is left out of collections, so that gc.collect() stays cheap.
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


@pytest.mark.parametrize("case", CASES + PRIVATE, ids=[case_id(c) for c in CASES + PRIVATE])
def test_no_reference_or_memory_left_behind(case):
    objects = objects_of(case)

    def repeat(n):
        for _ in range(n):
            run(case)

    rounds, allowance = (10 * ROUNDS, 40_000) if case[0] in NUMPY_BACKED else (ROUNDS, 4096)
    repeat(200)  # warm caches: interned names, the encoding name cache, the allocator's pools
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    heap_before = heap_in_use() if heap_in_use else None
    tracemalloc.start()
    try:
        repeat(rounds // 3)
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0]
        repeat(rounds)
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    heap_growth = heap_in_use() - heap_before if heap_in_use else 0
    assert [sys.getrefcount(o) for o in objects] == refs
    if total is not None:
        assert sys.gettotalrefcount() - total < 100
    assert traced_growth < allowance, traced_growth
    # tracemalloc's own bookkeeping lives on the C heap too; a leaked byte per call would be
    # ROUNDS * 4 / 3 bytes, far above this.
    assert heap_growth < 8192 + rounds, heap_growth


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer holds freed memory in quarantine; LeakSanitizer checks that build")
def test_resident_memory_stays_flat_over_all_cases():
    def sweep(n):
        for _ in range(n):
            for case in CASES:
                run(case)

    sweep(20)
    gc.collect()
    before = resident_bytes()
    sweep(1000)
    gc.collect()
    growth = resident_bytes() - before
    # ~200,000 calls: even 16 bytes per failing call would add megabytes.
    assert growth < 1_500_000, growth
