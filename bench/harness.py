"""Timing and memory measurement shared by the benchmarks.

Figures are ratios measured in one run (the machines are shared and noisy):
each pair of contenders is timed alternately, and the median of the per-pair
ratios is reported. Peak memory is the growth of the process's resident set
above what it held before the call, read from the kernel's high-water mark
(reset through /proc/self/clear_refs), so it covers native allocations that
Python's tracers do not see.
"""
from __future__ import annotations

import ctypes
import gc
import statistics
import time
from typing import Callable


def _rss_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def _release_free_heap() -> None:
    """Returns the C heap's free pages to the system, so that memory freed by
    earlier calls does not hide the next call's own needs."""
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass


def peak_memory_mib(fn: Callable[[], object]) -> float:
    """Peak resident memory added by one call of fn, in MiB."""
    gc.collect()
    _release_free_heap()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return float("nan")
    before = _rss_kib("VmRSS")
    result = fn()
    peak = _rss_kib("VmHWM")
    del result
    gc.collect()
    return max(peak - before, 0) / 1024.0


def best_time(fn: Callable[[], object], repeat: int = 3,
              clock: Callable[[], float] = time.perf_counter) -> float:
    """Shortest of `repeat` times of fn(), in seconds: wall-clock by default;
    ``clock=time.thread_time`` counts the processor time of the calling
    thread only, which other processes on a shared machine do not inflate
    (for work that runs on that one thread)."""
    times = []
    for _ in range(repeat):
        t = clock()
        fn()
        times.append(clock() - t)
    return min(times)


def alternate(runs: dict[str, Callable[[], object]], pairs: int) -> dict[str, float]:
    """Median wall time of every run, the runs taking turns (after one
    warm-up call each: FFT plans, pages, worker imports)."""
    times: dict[str, list[float]] = {name: [] for name in runs}
    for fn in runs.values():
        fn()
    for _ in range(pairs):
        for name, fn in runs.items():
            times[name].append(best_time(fn, 1))
    return {name: statistics.median(t) for name, t in times.items()}


def ratio(slow: Callable[[], object], fast: Callable[[], object], pairs: int = 3,
          clock: Callable[[], float] = time.perf_counter) -> tuple:
    """Median over alternating pairs of time(slow) / time(fast), with the
    median times themselves: (ratio, t_slow, t_fast)."""
    ratios, ts, tf = [], [], []
    fast()  # warm up (plans, page faults)
    for _ in range(pairs):
        a = best_time(slow, 1, clock)
        b = best_time(fast, 1, clock)
        ts.append(a)
        tf.append(b)
        ratios.append(a / b)
    return statistics.median(ratios), statistics.median(ts), statistics.median(tf)


def report(rows: list[dict]) -> None:
    """Prints rows of dicts as an aligned table."""
    if not rows:
        return
    keys = list(rows[0])
    width = {k: max(len(k), *(len(_fmt(r[k])) for r in rows)) for k in keys}
    print("  ".join(k.ljust(width[k]) for k in keys))
    for r in rows:
        print("  ".join(_fmt(r[k]).ljust(width[k]) for k in keys))


def _fmt(v) -> str:
    if isinstance(v, float):
        return f"{v:.3g}"
    return str(v)
