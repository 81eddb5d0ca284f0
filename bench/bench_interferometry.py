"""The correlation-and-stack core of the interferometry (the native kernel,
molvak._native._correlate_stack) against a plain NumPy/SciPy formulation of
the same steps (tests/reference_interferometry.py: scipy.fft on one thread),
and the real-time factor of the whole passive pipeline: seconds of a
1000-channel record made into a virtual gather per second of compute, on one
core.

Workload: 1000 channels at 250 Hz, 10 s windows (2500 samples), lags up to
4 s, one virtual source, blocks of four windows; whitening over the whole
band and the default 5 % taper; linear and phase-weighted stacking.

Times are the processor time of the calling thread (time.thread_time): both
contenders run on that one thread, and other processes on a shared machine
do not inflate it. The pipeline reads an in-memory record of `--seconds`
seconds (windows side by side).

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
CLOCK = time.thread_time


def bench_kernel(rows: list, pairs: int) -> None:
    rng = np.random.default_rng(0)
    nt = int(round(WINDOW / DT))
    block = rng.standard_normal((BLOCK, CHANNELS, nt))
    sources = np.array([0], dtype=np.intp)
    for stacking in ("linear", "pws"):
        s = interferometry.settings(WINDOW, DT, max_lag=LAG, stacking=stacking)
        ratio, t_ref, t_mod = harness.ratio(
            partial(reference.correlate_stack, block, sources, s),
            partial(interferometry._correlate_stack, block, sources, s), pairs, CLOCK)
        rows.append({"core": f"_correlate_stack ({stacking})",
                     "windows": f"{BLOCK} x {CHANNELS} x {nt}",
                     "scipy s": t_ref, "molvak s": t_mod, "ratio": ratio,
                     "real-time x": BLOCK * WINDOW / t_mod})


def bench_pipeline(rows: list, seconds: float) -> None:
    """virtual_gather over an in-memory record, one thread."""
    rng = np.random.default_rng(1)
    nt = int(round(seconds / DT))
    data = rng.standard_normal((CHANNELS, nt))
    g = molvak.Gather(data, offsets=np.arange(CHANNELS) * 2.0, dt=DT)
    for stacking in ("linear", "pws"):
        run = partial(molvak.virtual_gather, g, 0, WINDOW, max_lag=LAG, stacking=stacking,
                      workers=1)
        run()
        t = harness.best_time(run, 2, CLOCK)
        rows.append({"pipeline": f"virtual_gather ({stacking})",
                     "record": f"{CHANNELS} channels x {seconds:g} s", "s": t,
                     "real-time x": seconds / t})


def main(argv: list) -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--pairs", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=120.0)
    args, _ = parser.parse_known_args(argv)     # workload names from run.py are ignored
    rows: list = []
    bench_kernel(rows, args.pairs)
    harness.report(rows)
    print("(ratio: time of the SciPy formulation over the package's core; real-time x: "
          "seconds of record per second of compute; processor time of one thread)")
    rows = []
    bench_pipeline(rows, args.seconds)
    harness.report(rows)


if __name__ == "__main__":
    main(sys.argv[1:])
