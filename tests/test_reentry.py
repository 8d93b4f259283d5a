"""Re-entry from a caller's conversion methods. Every function of the module that calls back into
Python code (an argument's __index__, __float__, __buffer__, __iter__ or __array__, or a recipe
item's) is called again from there, level after level, until it is refused. The refusal is a
RecursionError at the default recursion limit and at one far beyond what the C stack holds;
the process survives, and the same re-entry afterwards goes as deep again.

The functions and their parameters come from the module's own signatures, so a new function is
covered as soon as its parameters have a sample below. Each function runs in a child
interpreter (this file run as a script), so a crash fails its test instead of ending the run.
"""
import ast
import inspect
import os
import subprocess
import sys
import threading

import pytest

import bitloom

# A value each parameter converts without complaint; the one under test is replaced by a Hook.
ITEM = {"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False,
        "value": 1}
SAMPLES = {
    "value": 0, "_value": 0, "bits": 8, "signed": False, "bytes": b"", "text": "",
    "packet_bytes": bytes(8), "offset_bits": 0, "recipe": [ITEM],
    "data": bytes(7),  # one space packet of 7 bytes
    "offsets": None, "packet_size": None, "threads": 1, "framing": "ccsds", "allow_partial": False,
}
# Parameters that take only exact types (str, bytes, bool): nothing of the caller's runs.
NO_CALLBACK = {"bytes", "text", "packet_bytes", "signed", "allow_partial"}
# Recipe item keys read through conversions, per function that walks a recipe.
ITEM_KEYS = {"pack_parameters": ["bits", "offset_bits", "value"],
             "unpack_parameters": ["bits", "offset_bits"],
             "unpack_columns": ["bits", "offset_bits"]}
DEEP_LIMIT = 100_000

FUNCTIONS = [name for name in bitloom.__all__ if inspect.isbuiltin(getattr(bitloom, name))]


def sites(name):
    """Where a Hook goes: each parameter, then each convertible key of a recipe item."""
    params = list(inspect.signature(getattr(bitloom, name)).parameters)
    return [(p, None) for p in params] + [("recipe", key) for key in ITEM_KEYS.get(name, [])]


def caller(name, site):
    """A function of one value that calls `name` with that value at `site`: positional
    arguments as written in a call (a call through * or ** would count as one more level of
    the interpreter's recursion, and so reach less deep), and the tested keyword-only one."""
    params = inspect.signature(getattr(bitloom, name)).parameters
    param, key = site
    keyword_only = {p for p in params if params[p].kind is inspect.Parameter.KEYWORD_ONLY}
    names = [p for p in params if p not in keyword_only or p == param]
    values = [SAMPLES[p] for p in names]
    index = names.index(param)
    arguments = ", ".join(f"{p}=a[{i}]" if p in keyword_only else f"a[{i}]"
                          for i, p in enumerate(names))
    call = eval(f"lambda a: {name}({arguments})", vars(bitloom))

    def with_value(value):
        a = values.copy()
        a[index] = value if key is None else [ITEM | {key: value}]
        return call(a)
    return with_value


class Reentry:
    """Hooks that call the function again from the first conversion method the module calls on
    them; the rest return plain values, so each level re-enters once."""

    def __init__(self, name, site):
        self.call = caller(name, site)
        self.depth = 0
        self.inner = None  # the deepest failure, as it left its call

    def run(self):
        self.depth, self.inner = 0, None
        try:
            self.call(Hook(self))
            outer = "returned"
        except BaseException as e:  # noqa: BLE001 - reported to the parent
            outer = type(e).__name__
        inner = self.inner and (type(self.inner).__name__, str(self.inner)[:60])
        return self.depth, inner, outer


class Hook:
    def __init__(self, reentry):
        self.reentry, self.used = reentry, False

    def again(self):
        if self.used:
            return
        self.used = True
        reentry = self.reentry
        reentry.depth += 1
        try:
            reentry.call(Hook(reentry))
        except BaseException as e:
            if reentry.inner is None:
                reentry.inner = e
            raise

    def __index__(self):
        self.again()
        return 1

    def __float__(self):
        self.again()
        return 1.0

    def __buffer__(self, flags):
        self.again()
        return memoryview(bytes(8))

    def __len__(self):
        self.again()
        return 0

    def __iter__(self):
        self.again()
        return iter(())

    def __getitem__(self, index):
        self.again()
        raise IndexError(index)

    def __array__(self, dtype=None, copy=None):
        import numpy
        self.again()
        return numpy.zeros(1, "uint64")


def child(name, stack_size=None):
    """Prints (limit, site, first run, second run) for every site of the function; on a thread
    of `stack_size` bytes of stack when given."""
    if stack_size:
        threading.stack_size(stack_size)
        thread = threading.Thread(target=child, args=(name,))
        thread.start()
        thread.join()
        return
    for p, key in sites(name):  # first calls import numpy and fill caches outside the runs
        try:
            caller(name, (p, key))(SAMPLES[p] if key is None else ITEM[key])
        except Exception:  # noqa: BLE001
            pass
    for limit in (sys.getrecursionlimit(), DEEP_LIMIT):
        sys.setrecursionlimit(limit)
        for site in sites(name):
            reentry = Reentry(name, site)
            print(repr((limit, site, reentry.run(), reentry.run())), flush=True)


def run_child(name, stack_size=None):
    """The child's lines for `name`, evaluated; fails the test if the child died."""
    command = [sys.executable, os.path.abspath(__file__), name]
    command += [str(stack_size)] if stack_size else []
    # LeakSanitizer's scan at a sanitized child's exit now and then fails in its own tracer
    # thread; the child is here for crashes (test_leaks watches these paths for leaks).
    env = os.environ | ({"ASAN_OPTIONS": os.environ["ASAN_OPTIONS"] + ":detect_leaks=0"}
                        if "ASAN_OPTIONS" in os.environ else {})
    out = subprocess.run(command, capture_output=True, text=True, timeout=600, env=env)
    lines = out.stdout.splitlines()
    assert out.returncode == 0, (f"child died with status {out.returncode} after "
                                 f"{lines[-1] if lines else 'no case'}\n{out.stderr[-2000:]}")
    assert len(lines) == 2 * len(sites(name))
    return [ast.literal_eval(line) for line in lines]


def refused(inner):
    """A RecursionError, bare or wrapped by the recipe walk it left (ValueError
    "RecursionError: ...")."""
    return inner is not None and (inner[0] == "RecursionError"
                                  or inner[1].startswith("RecursionError: "))


def check(name, limit, site, first, second, deep_enough):
    depth, inner, outer = first
    param, key = site
    where = f"{param}[{key}]" if key else param
    case = f"{name} {where} at limit {limit}: {first}, then {second}"
    if key is None and param in NO_CALLBACK:
        assert (depth, outer) == (0, "TypeError"), case
        return
    # Re-entered many levels deep, then refused. Above the refusal each level raises it again,
    # or (numpy's reading of the offsets, a sequence's __len__) carries on without it.
    assert depth >= deep_enough and refused(inner), case
    assert outer in ("RecursionError", "ValueError", "returned"), case
    # The levels taken were all given back: the second run goes as deep, give or take a level
    # (the recipe items are cached by then, and the refusing call may be the next one).
    assert abs(second[0] - depth) <= 2 and refused(second[1]) and second[2] == outer, case


@pytest.mark.parametrize("name", FUNCTIONS)
def test_reentry_ends_in_recursion_error(name):
    for limit, site, first, second in run_child(name):
        check(name, limit, site, first, second, 100 if limit < DEEP_LIMIT else 1000)


@pytest.mark.parametrize("name", ["packet_offsets", "unpack_parameters", "encode_ieee754_f64"])
def test_reentry_on_a_thread_with_a_small_stack(name):
    # 512 KiB hold a few hundred levels, far fewer than the interpreter's limits allow: the
    # module refuses a level once the thread's own stack is nearly full.
    for limit, site, first, second in run_child(name, 512 * 1024):
        check(name, limit, site, first, second, 20)


if __name__ == "__main__":
    child(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else None)
