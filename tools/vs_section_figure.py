"""The Vs section of the README's two-ground line.

The line of tools/sweep_figure.py (400 receivers every metre, a shot 10 m
before the first; left of 200 m the fundamental mode of one 3-layer ground,
right of it that of another), swept with windows of 48 receivers stepped by
4 and imaged by the phase shift; every window's picked curve is inverted for
a 3-layer profile (molvak.invert_sweep), each window's search started from
its neighbour's posterior. Prints the time, every ground's median Vs against
the truth away from the boundary, and where the section's top-layer Vs
passes halfway between the two grounds.

Run: python tools/vs_section_figure.py [OUT.png] (needs the plot and model
extras).
"""
from __future__ import annotations

import os
import sys
import time

import numpy as np

# the line of the pseudo-section figure (run from tools/, as `python tools/...` does)
from sweep_figure import BOUNDARY, SOFT, STIFF, two_ground_sweep  # noqa: E402

import molvak

LAYERS = int(os.environ.get("LAYERS", "2"))
WORKERS = int(os.environ.get("WORKERS", "1"))


def main(argv: list) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    out = argv[0] if argv else "docs/inversion_section.png"
    t0 = time.perf_counter()
    _, _, result, _ = two_ground_sweep()
    t1 = time.perf_counter()
    # the grounds' Poisson's ratio is 0.45-0.46 (Vp/Vs 3.3-3.8): taken as known, 0.45
    # the windows' longest wavelength, half their 47 m aperture, reaches about 12 m:
    # the second interface (14 m, 18 m) lies below, so a layer over a half-space
    section = molvak.invert_sweep(result, layers=LAYERS, vs=(80.0, 1000.0),
                                  thickness=(1.0, 30.0),
                                  poisson=0.45,
                                  depths=np.linspace(0.0, 20.0, 81), seed=1, workers=WORKERS,
                                  progress=True)
    t2 = time.perf_counter()
    print(f"{len(result)} windows: sweep {t1 - t0:.1f} s, inversion {t2 - t1:.1f} s, "
          f"total {t2 - t0:.1f} s")

    fig, axes = plt.subplots(2, 1, figsize=(8.0, 6.0), sharex=True, constrained_layout=True)
    section.plot(axes, title=f"Vs section of the two-ground line ({LAYERS} layers per window)")
    for ax in axes:
        ax.axvline(BOUNDARY, color="white", ls="--", lw=1.0)
        for truth, side in ((STIFF, section.midpoint < BOUNDARY),
                            (SOFT, section.midpoint >= BOUNDARY)):
            depth = np.cumsum([row[0] for row in truth[:-1]])
            for d in depth:
                x = section.midpoint[side]
                ax.plot([x.min(), x.max()], [d, d], color="white", lw=0.8, ls=":")
    fig.savefig(out, dpi=110)
    print(f"wrote {out}")

    # every ground's layers away from the boundary (one window length), and
    # whether the depth lies within the windows' depth of investigation
    for name, truth, side in (("stiff (left)", STIFF, section.midpoint < BOUNDARY - 48),
                              ("soft (right)", SOFT, section.midpoint > BOUNDARY + 48)):
        tops = np.concatenate([[0.0], np.cumsum([row[0] for row in truth[:-1]])])
        doi = section.investigation_depth[side]
        print(f"{name}: depth of investigation {np.nanmin(doi):.1f}-{np.nanmax(doi):.1f} m "
              f"(median {np.nanmedian(doi):.1f} m)")
        for k, row in enumerate(truth[:2]):
            # the middle of the top layer, and 2 m below the first interface
            z = tops[k] + (row[0] / 2 if k == 0 else 2.0)
            vs = np.array([r.percentiles([z], [50])[0, 0] for r, s in
                           zip(section.inversions, side) if s and r is not None])
            err = 100 * (vs / row[2] - 1)
            seen = np.mean(z <= doi[np.isfinite(doi)])
            print(f"{name} layer {k + 1} (z {z:4.1f} m, Vs {row[2]:.0f}): median of windows "
                  f"{np.median(vs):6.1f} m/s, worst window {err[np.argmax(np.abs(err))]:+.1f} %"
                  f", within the depth of investigation in {100 * seen:.0f} % of windows")
    top = section.median[np.searchsorted(section.depth, 2.0)]
    half = 0.5 * (STIFF[0][2] + SOFT[0][2])
    cross = np.flatnonzero((top[:-1] - half) * (top[1:] - half) < 0)
    print("top layer passes halfway at midpoints "
          + ", ".join(f"{section.midpoint[i]:.1f}-{section.midpoint[i + 1]:.1f} m"
                      for i in cross))
    print(f"windows converged: {int(section.converged.sum())}/{section.converged.size}")


if __name__ == "__main__":
    main(sys.argv[1:])
