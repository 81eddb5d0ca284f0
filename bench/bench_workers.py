"""The package's `workers=`: one thread against two, for each estimator.

The velocity grid is split into chunks run on threads (the native module
releases the interpreter lock while it computes); the result is the same
array either way (checked here too). On a machine with two free cores the
ratio approaches 2 for the phase shift and beamforming; the slant stack
threads its tau-p panel only, its FFT stays on one thread.

    PYTHONPATH=python:build/dev python3 bench/bench_workers.py [masw] [das]
"""
from __future__ import annotations

import os

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import sys  # noqa: E402

import numpy as np  # noqa: E402

import molvak  # noqa: E402
from harness import ratio, report  # noqa: E402
from workloads import WORKLOADS  # noqa: E402


def main(names: list) -> None:
    rows = []
    for name in names:
        w = WORKLOADS[name]()
        for method, run in molvak.ESTIMATORS.items():
            grid = dict(velocities=w.phase_vels, fmin=w.f_range[0], fmax=w.f_range[1])
            if method == "fdbf":  # the costliest: a quarter of the band is enough
                grid["fmax"] = w.f_range[0] + 0.25 * (w.f_range[1] - w.f_range[0])

            def one(run=run, grid=grid, w=w):
                return run(w.data, w.offsets, w.dt, workers=1, **grid)

            def two(run=run, grid=grid, w=w):
                return run(w.data, w.offsets, w.dt, workers=2, **grid)

            try:
                same = np.array_equal(one().spectrum, two().spectrum)
            except NotImplementedError:
                continue
            r, t1, t2 = ratio(one, two)
            rows.append({"workload": name, "method": method, "1 thread s": t1,
                         "2 threads s": t2, "speed-up": r, "identical": same})
    report(rows)


if __name__ == "__main__":
    main(sys.argv[1:] or ["masw", "das"])
