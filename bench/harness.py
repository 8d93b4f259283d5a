"""Timing helpers shared by the benchmark scripts: ratios measured in one run, never absolutes."""
import time
import timeit


def per_call(fn, number=200_000, repeat=7):
    """Best time per call of the zero-argument callable `fn`, in seconds."""
    timer = timeit.Timer(fn)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def per_stmt(stmt, setup="pass", globals=None, number=200_000, repeat=7):
    """Best time per execution of the statement `stmt`, in seconds."""
    timer = timeit.Timer(stmt, setup=setup, globals=globals)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def report(title, rows, unit="x baseline"):
    """Prints rows of (label, ratio, target or None) under a title."""
    print(f"\n== {title}")
    width = max((len(label) for label, _, _ in rows), default=10)
    for label, ratio, target in rows:
        mark = ""
        if target is not None:
            mark = "  ok" if ratio <= target else f"  MISS (target <= {target})"
        print(f"  {label:<{width}}  {ratio:7.3f} {unit}{mark}")


def ratio(stmt, base_stmt, globals=None, rounds=25, number=20_000):
    """Time of `stmt` over time of `base_stmt`, each the best of `rounds` short runs taken
    alternately, so that load from elsewhere on the machine falls on both alike."""
    timers = [timeit.Timer(stmt, globals=globals), timeit.Timer(base_stmt, globals=globals)]
    best = [float("inf"), float("inf")]
    for _ in range(rounds):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number))
    return best[0] / best[1]


def best(fn, rounds):
    """Best wall time of `rounds` calls of `fn`, in seconds."""
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def race(*fns, rounds):
    """Best wall time of each function, the functions called in turn round by round, so that a
    busy machine slows them alike."""
    times = [float("inf")] * len(fns)
    for _ in range(rounds):
        for k, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            times[k] = min(times[k], time.perf_counter() - start)
    return times
