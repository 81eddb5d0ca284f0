"""Sub-array sweep against imaging every window on its own, and the floor.

The line: 400 channels every 2 m (a DAS fibre or a long spread), 2 s at 2 ms,
one dispersive mode; windows of 48 channels stepped by one channel (353
windows), 181 velocities over 100-1000 m/s, 2-40 Hz at 0.5 Hz (77
frequencies): 79 MB of images. For each method the same options go to
`molvak.sweep` and to a loop imaging each window's traces with the method's
own function. The floor is the time to allocate and write that much image
memory (one array of windows x frequencies x velocities, complex): no sweep
can take less, since it must write every image.

Run: python bench/bench_sweep.py [--pairs N]. Timings alternate between the
contenders, medians are reported, and ratios are taken within one run.
"""
from __future__ import annotations

import os

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import argparse  # noqa: E402
import sys  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE)]

import harness  # noqa: E402
import molvak  # noqa: E402
import molvak.sweeps  # noqa: E402
from workloads import dispersive_gather  # noqa: E402

WINDOW, STEP = 48, 1
OPTIONS = dict(velocities=(100.0, 1000.0, 5.0), fmin=2.0, fmax=40.0, df=0.5)
METHODS = {
    "phase_shift": ("phase_shift", {}),
    "fdbf plane": ("fdbf", {"steering": "plane", "weighting": "sqrt"}),
    "fdbf cylindrical": ("fdbf", {"steering": "cylindrical", "weighting": "sqrt"}),
    "slant_stack": ("slant_stack", {}),
}


def line() -> molvak.Gather:
    receivers = np.arange(400) * 2.0
    dt = 2e-3
    data = dispersive_gather(receivers + 10.0, dt, 1000,
                             lambda f: 200.0 + 600.0 * np.exp(-f / 10.0), 15.0)
    return molvak.Gather(data, dt=dt, source=[-10.0], receivers=receivers)


def main(argv: list[str]) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("workloads", nargs="*", help="ignored (bench/run.py passes names)")
    parser.add_argument("--pairs", type=int, default=3, help="timed rounds (default 3)")
    args = parser.parse_args(argv)

    g = line()
    bounds = molvak.sweeps.window_bounds(g.shape[0], WINDOW, STEP)
    probe = molvak.phase_shift(g.data[:WINDOW], g.offsets[:WINDOW], g.dt, **OPTIONS)
    shape = (len(bounds),) + probe.shape
    print(f"{g.shape[0]} channels x {g.shape[1]} samples; {len(bounds)} windows of {WINDOW} "
          f"stepped by {STEP}; images {probe.shape[0]} frequencies x {probe.shape[1]} "
          f"velocities, {np.prod(shape) * 16 / 2**20:.0f} MiB in all; one thread")

    def floor() -> object:
        out = np.empty(shape, dtype=np.complex128)
        out.fill(1.0)
        return out

    rows = []
    for label, (method, extra) in METHODS.items():
        estimator = getattr(molvak, method)

        def each(estimator=estimator, extra=extra) -> object:
            return [estimator(g.data[a:b + 1], g.offsets[a:b + 1], g.dt, **OPTIONS, **extra)
                    for a, b in bounds]

        def swept(method=method, extra=extra) -> object:
            return molvak.sweep(g, window=WINDOW, step=STEP, method=method, **OPTIONS, **extra)

        t = harness.alternate({"each": each, "sweep": swept, "floor": floor}, args.pairs)
        rows.append({"method": label, "each window (s)": t["each"], "sweep (s)": t["sweep"],
                     "floor (s)": t["floor"], "each / sweep": t["each"] / t["sweep"],
                     "sweep / floor": t["sweep"] / t["floor"]})
    harness.report(rows)


if __name__ == "__main__":
    main(sys.argv[1:])
