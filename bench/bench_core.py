"""The real FFT, the tau-p transform and the slant-stack estimator against
NumPy formulations of the same formulas, on the named workloads.

Run: python bench/bench_core.py [masw das]
"""
from __future__ import annotations

import os

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import sys
import threading
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

import _molvak  # noqa: E402
import harness  # noqa: E402
import reference  # noqa: E402
from workloads import WORKLOADS  # noqa: E402


def bench_rfft(rows):
    rng = np.random.default_rng(0)
    cases = [("one trace of 2000", (2000,), 0, 0), ("masw gather, n=8000", (48, 2000), 1, 8000),
             ("das gather", (400, 5000), 1, 0),
             ("prime length 7919", (64, 7919), 1, 0), ("prime length 4999, axis 0", (4999, 32), 0, 0),
             ("length 1000, axis 0", (1000, 381), 0, 0)]
    for name, shape, axis, n in cases:
        x = rng.standard_normal(shape)
        N = max(n, shape[axis])
        # short transforms are timed a hundred calls at a time
        calls = 100 if x.size < 10000 else 1
        r, t_np, t_mv = harness.ratio(
            lambda x=x, N=N, axis=axis, calls=calls: [np.fft.rfft(x, n=N, axis=axis)
                                                      for _ in range(calls)],
            lambda x=x, axis=axis, n=n, calls=calls: [_molvak._rfft(x, axis=axis, n=n)
                                                      for _ in range(calls)],
            pairs=9)
        t_np, t_mv = t_np / calls, t_mv / calls
        rows.append({"function": "_rfft", "case": name, "numpy s": t_np, "molvak s": t_mv,
                     "speed-up": r, "numpy MiB": float("nan"), "molvak MiB": float("nan")})


def bench_workload(rows, w):
    slowness = 1.0 / w.phase_vels
    time_axis = w.time
    numpy_radon = lambda: reference.radon(w.data, w.offsets, slowness, time_axis, w.dt, 0.0)  # noqa: E731
    molvak_radon = lambda: _molvak._radon_transform(w.data, w.offsets, slowness, w.dt, 0.0)  # noqa: E731
    numpy_ss = lambda: reference.slant_stack(w.data, w.offsets, time_axis, w.phase_vels, w.dt, w.f_range, w.n)  # noqa: E731
    molvak_ss = lambda: _molvak._disp_slantstack(w.data, w.offsets, time_axis, w.phase_vels, w.dt,  # noqa: E731
                                                 f_range=w.f_range, n=w.n)
    for name, slow, fast in [("_radon_transform", numpy_radon, molvak_radon),
                             ("_disp_slantstack", numpy_ss, molvak_ss)]:
        r, t_np, t_mv = harness.ratio(slow, fast, pairs=2)
        rows.append({"function": name, "case": w.name, "numpy s": t_np, "molvak s": t_mv, "speed-up": r,
                     "numpy MiB": harness.peak_memory_mib(slow), "molvak MiB": harness.peak_memory_mib(fast)})


def off_grid(times):
    """The same intercept times with the last one moved by 64 units in the
    last place: off the uniform grid, so the transform takes the general
    path (per-element positions and gathered reads, the kernel used for
    every grid before the uniform path existed), on the same work."""
    moved = times.copy()
    moved[-1] = moved[-1] + 64 * np.spacing(moved[-1])
    return moved


def bench_uniform(rows, w):
    """Uniform intercept times (contiguous path) against the general path."""
    slowness = 1.0 / w.phase_vels
    uniform, general = w.time, off_grid(w.time)
    cases = [
        ("_radon_transform", lambda t: _molvak._radon_transform(w.data, w.offsets, slowness, w.dt, 0.0, t_eval=t)),
        ("_disp_slantstack", lambda t: _molvak._disp_slantstack(w.data, w.offsets, t, w.phase_vels, w.dt,
                                                                f_range=w.f_range, n=w.n)),
    ]
    for name, call in cases:
        r, t_general, t_uniform = harness.ratio(lambda call=call: call(general),
                                                lambda call=call: call(uniform), pairs=3)
        rows.append({"function": name, "case": w.name, "general s": t_general, "uniform s": t_uniform,
                     "speed-up": r})


def bench_threads(w):
    """Two gathers imaged one after the other, then by two threads at once."""
    other = w.data[::-1].copy()

    def run(data):
        _molvak._disp_slantstack(data, w.offsets, w.time, w.phase_vels, w.dt, f_range=w.f_range, n=w.n)

    run(w.data)
    ratios = []
    for _ in range(3):
        t = time.perf_counter()
        run(w.data)
        run(other)
        sequential = time.perf_counter() - t
        threads = [threading.Thread(target=run, args=(d,)) for d in (w.data, other)]
        t = time.perf_counter()
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        ratios.append(sequential / (time.perf_counter() - t))
    return float(np.median(ratios))


def main(names):
    rows, paths = [], []
    bench_rfft(rows)
    threads = {}
    for name in names:
        w = WORKLOADS[name]()
        bench_workload(rows, w)
        bench_uniform(paths, w)
        threads[name] = bench_threads(w)
    harness.report(rows)
    print()
    print("tau-p at intercept times one sample apart: the contiguous path against the general one")
    harness.report(paths)
    print()
    for name, r in threads.items():
        print(f"_disp_slantstack, two gathers on two threads vs one after the other ({name}): {r:.2f}x sooner")


if __name__ == "__main__":
    main(sys.argv[1:] or list(WORKLOADS))
