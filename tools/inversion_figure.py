"""The README's inversion picture: one noisy curve inverted, three panels.

The 3-layer ground of bench/bench_inversion.py (Vs 200 / 380 / 700 m/s, 4 m
and 10 m thick, Poisson's ratio 0.3), its fundamental Rayleigh mode at 30
frequencies from 3 to 60 Hz with 2 % log-normal noise (that std given),
inverted with molvak.invert's defaults for 3 layers: the profile with its
percentile bands and the best model, the data with the posterior's curves,
and Vs30's histogram.

Run: python tools/inversion_figure.py [OUT.png] (needs the plot extra).
"""
from __future__ import annotations

import sys
import time

import numpy as np

import molvak
from molvak.layered import LayeredModel, dispersion


def main(argv: list) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    out = argv[0] if argv else "docs/inversion.png"
    truth = LayeredModel([4.0, 10.0], [200.0, 380.0, 700.0], poisson=0.3)
    f = np.geomspace(3.0, 60.0, 30)
    rng = np.random.default_rng(5)
    c = dispersion(truth, f) * np.exp(0.02 * rng.standard_normal(f.size))
    curve = molvak.UncertainCurve.from_arrays(f, c, np.full(f.size, 0.02))
    t = time.perf_counter()
    result = molvak.invert(curve, layers=3, seed=1, progress=True)
    print(f"inverted in {time.perf_counter() - t:.1f} s: {result}")
    fig, axes = plt.subplots(1, 3, figsize=(14.0, 4.6), constrained_layout=True)
    result.plot_profile(axes[0], depth=30.0)
    axes[0].plot(truth.vs_at(np.linspace(0, 30, 301)), np.linspace(0, 30, 301), color="k",
                 lw=0.8, ls=":", label="truth")
    axes[0].legend(loc="lower left", fontsize="small")
    result.plot_curves(axes[1])
    result.plot_vs30(axes[2])
    axes[2].axvline(truth.vs30(), color="C3", lw=1.0, ls=":", label="true Vs30")
    axes[2].legend(fontsize="small")
    fig.savefig(out, dpi=100)
    print(f"wrote {out}")
    v30 = result.vs30()
    print(f"Vs30 {v30.median:.1f} m/s (90 %: {v30.low:.1f}-{v30.high:.1f}), true "
          f"{truth.vs30():.1f}; best {np.round(result.best.vs)} m/s, "
          f"{np.round(result.best.thickness, 2)} m; max R-hat {max(result.rhat.values()):.3f}")


if __name__ == "__main__":
    main(sys.argv[1:])
