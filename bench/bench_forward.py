"""molvak.dispersion against disba's compound-matrix solver.

    python bench/bench_forward.py [models]

The fundamental Rayleigh mode of a 10-layer model (9 layers of 3 m over a
half-space, Vs 150-700 m/s, Vp 1.87 Vs, 1900 kg/m^3) at 60 frequencies from
3 to 60 Hz, one thread everywhere:

* one model: ``molvak.dispersion(model, f)`` against
  ``disba.PhaseDispersion(..., algorithm="dunkin")(periods)``;
* a batch (1000 models by default: the model with every Vs scaled by a
  random factor in [0.8, 1.2]): one ``molvak.dispersion_batch`` call
  against disba called on each model in turn (its object built per model,
  as an inversion would), as time per model.

disba is warmed up first, so numba's compilation is not counted. Ratios are
medians over alternating runs of processor time of the calling thread
(bench/harness.py), which other processes on a shared machine do not
inflate; "max rel diff" is the largest relative difference of the curves.
"""
from __future__ import annotations

import os

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "NUMBA_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import molvak  # noqa: E402
from harness import ratio, report  # noqa: E402


def main(models: int = 1000) -> None:
    from disba import PhaseDispersion

    L = 10
    h = np.full(L - 1, 3.0)
    vs = np.linspace(150.0, 700.0, L)
    f = np.linspace(3.0, 60.0, 60)
    periods = np.sort(1.0 / f)
    model = molvak.LayeredModel(h, vs, 1.87 * vs, np.full(L, 1900.0))

    def disba_curve(thick, s, p, rho):
        pd = PhaseDispersion(np.r_[thick, 0.0] / 1e3, p / 1e3, s / 1e3, rho / 1e3, algorithm="dunkin")
        return pd(periods, mode=0, wave="rayleigh").velocity * 1e3

    ref = disba_curve(model.thickness, model.vs, model.vp, model.density)  # numba compiles here
    ours = molvak.dispersion(model, f)[::-1]
    rows = []
    r, ts, tf = ratio(lambda: disba_curve(model.thickness, model.vs, model.vp, model.density),
                      lambda: molvak.dispersion(model, f), pairs=15, clock=time.thread_time)
    rows.append({"case": "one model", "disba ms": ts * 1e3, "molvak ms": tf * 1e3, "ratio": r,
                 "max rel diff": float(np.max(np.abs(ours / ref - 1)))})

    rng = np.random.default_rng(1)
    VS = vs[None, :] * rng.uniform(0.8, 1.2, (models, L))
    VP, RHO, H = 1.87 * VS, np.full((models, L), 1900.0), np.tile(h, (models, 1))

    def disba_batch():
        return np.array([disba_curve(H[m], VS[m], VP[m], RHO[m]) for m in range(models)])

    def molvak_batch():
        return molvak.dispersion_batch(H, VS, VP, RHO, f)

    diff = float(np.max(np.abs(molvak_batch()[:, ::-1] / disba_batch() - 1)))
    r, ts, tf = ratio(disba_batch, molvak_batch, pairs=3, clock=time.thread_time)
    rows.append({"case": f"batch of {models}, per model", "disba ms": ts / models * 1e3,
                 "molvak ms": tf / models * 1e3, "ratio": r, "max rel diff": diff})
    report(rows)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1000)
