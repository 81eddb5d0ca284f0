"""The correlation-and-stack core of the interferometry against a plain
NumPy/SciPy formulation of the same steps (tests/reference_interferometry.py:
scipy.fft on one thread), and the real-time factor of the whole passive
pipeline: seconds of a 1000-channel record made into a virtual gather per
second of compute, on one thread.

Workload: 1000 channels at 250 Hz, 10 s windows (2500 samples), lags up to
4 s, one virtual source, blocks of four windows; whitening over the whole
band and the default 5 % taper; linear and phase-weighted stacking.

Run: python bench/bench_interferometry.py [--pairs N] [--seconds S]
"""
from __future__ import annotations

import os
from functools import partial

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import argparse  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

import harness  # noqa: E402
import molvak  # noqa: E402
import reference_interferometry as reference  # noqa: E402
from molvak import interferometry  # noqa: E402

CHANNELS, DT, WINDOW, LAG, BLOCK = 1000, 0.004, 10.0, 4.0, 4


def bench_kernel(rows: list, pairs: int) -> None:
    rng = np.random.default_rng(0)
    nt = int(round(WINDOW / DT))
    block = rng.standard_normal((BLOCK, CHANNELS, nt))
    sources = np.array([0], dtype=np.intp)
    for stacking in ("linear", "pws"):
        s = interferometry.settings(WINDOW, DT, max_lag=LAG, stacking=stacking)
        ratio, t_ref, t_mod = harness.ratio(
            partial(reference.correlate_stack, block, sources, s),
            partial(interferometry._correlate_stack, block, sources, s), pairs)
        record_seconds = BLOCK * WINDOW
        rows.append({"core": f"_correlate_stack ({stacking})",
                     "windows": f"{BLOCK} x {CHANNELS} x {nt}",
                     "scipy s": t_ref, "molvak s": t_mod, "ratio": ratio,
                     "real-time x": record_seconds / t_mod})


def bench_pipeline(seconds: float) -> None:
    """virtual_gather over an in-memory record, one thread."""
    rng = np.random.default_rng(1)
    nt = int(round(seconds / DT))
    data = rng.standard_normal((CHANNELS, nt))
    g = molvak.Gather(data, offsets=np.arange(CHANNELS) * 2.0, dt=DT)
    run = lambda: molvak.virtual_gather(g, 0, WINDOW, max_lag=LAG, workers=1)  # noqa: E731
    run()
    t = min(_timed(run) for _ in range(2))
    print(f"virtual_gather, {CHANNELS} channels, {seconds:g} s of record at {1 / DT:g} Hz, "
          f"{WINDOW:g} s windows side by side, one thread: {t:.2f} s, "
          f"real-time factor {seconds / t:.0f}x")


def _timed(fn) -> float:
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def main(argv: list) -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--pairs", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=120.0)
    args, _ = parser.parse_known_args(argv)     # workload names from run.py are ignored
    rows: list = []
    bench_kernel(rows, args.pairs)
    harness.report(rows)
    print("(ratio: time of the SciPy formulation over the package's core; real-time x: "
          "seconds of record per second of the core)")
    bench_pipeline(args.seconds)


if __name__ == "__main__":
    main(sys.argv[1:])
