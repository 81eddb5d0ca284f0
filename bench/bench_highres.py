"""The high-resolution estimators (Capon beamforming, high-resolution Radon,
f-k) against their plain NumPy formulations (tests/highres_reference.py), on
one thread.

Run: python bench/bench_highres.py [masw das]
The NumPy formulations take tens of seconds per call on masw; das is left out
unless named.
"""
from __future__ import annotations

import os

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import sys  # noqa: E402
from pathlib import Path  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

import harness  # noqa: E402
import highres_reference as reference  # noqa: E402
from molvak import _native  # noqa: E402
from workloads import WORKLOADS  # noqa: E402


def cases(w):
    x, c, dt, band, n = w.offsets, w.phase_vels, w.dt, w.f_range, w.n
    return [
        ("capon, cylindrical", lambda: reference.capon(w.data, x, dt, c, band, n),
         lambda: _native._capon(w.data, x, c, dt, f_range=band, n=n)),
        ("capon, plane", lambda: reference.capon(w.data, x, dt, c, band, n, "plane"),
         lambda: _native._capon(w.data, x, c, dt, f_range=band, steering_method="plane", n=n)),
        ("hr_radon, 8 reweightings", lambda: reference.hr_radon(w.data, x, dt, c, band, n, 8),
         lambda: _native._hr_radon(w.data, x, c, dt, f_range=band, iterations=8, n=n)),
        ("fk, nk = 8 NX", lambda: reference.fk(w.data, x, dt, c, band, n, 8 * x.size),
         lambda: _native._fk(w.data, x, c, dt, f_range=band, nk=8 * x.size, n=n)),
    ]


def main(names):
    rows = []
    for name in names:
        if name != "masw" and name not in sys.argv[1:]:
            continue
        w = WORKLOADS[name]()
        for label, slow, fast in cases(w):
            r, t_np, t_native = harness.ratio(slow, fast, pairs=1)
            rows.append({"estimator": label, "case": w.name, "numpy s": t_np,
                         "native s": t_native, "speed-up": r})
    harness.report(rows)


if __name__ == "__main__":
    main(sys.argv[1:] or ["masw"])
