"""The README's pseudo-section: a synthetic line over two ground types.

400 receivers every metre, one shot 10 m before the first; left of 200 m the
fundamental Rayleigh mode of one layered model, right of it that of another
(softer and thicker top layer), both from disba. Every frequency travels
with the phase travel time integrated along its path through both grounds.
The line is swept with windows of 48 receivers stepped by 4, imaged by the
phase shift, and the phase velocity at wavelengths from 3 to 24 m is drawn
against window midpoint and pseudo-depth (wavelength / 2).

Run: python tools/sweep_figure.py [OUT.png] (needs the plot and model
extras). Prints where each wavelength's velocity passes halfway between the
two grounds' values.
"""
from __future__ import annotations

import sys
import time

import numpy as np

import molvak
from molvak import synthetic

# thickness (m), vp, vs (m/s), density
STIFF = [[4.0, 600.0, 180.0, 1.8], [10.0, 1200.0, 350.0, 1.9], [0.0, 2000.0, 600.0, 2.0]]
SOFT = [[8.0, 500.0, 130.0, 1.8], [10.0, 1000.0, 280.0, 1.9], [0.0, 2000.0, 600.0, 2.0]]
BOUNDARY = 200.0


def two_ground_sweep() -> tuple:
    """The two grounds' fundamental modes, the line's sweep and the seconds
    the sweep took."""
    f = np.linspace(1.0, 100.0, 397)
    left = molvak.theoretical_modes(STIFF, f, modes=1)[0]
    right = molvak.theoretical_modes(SOFT, f, modes=1)[0]
    ground = synthetic.LateralGround((BOUNDARY,), (left, right))
    line = synthetic.make_line(np.arange(400.0), -10.0, 2e-3, 2048, ground, 25.0,
                               noise=0.02, seed=3)
    t = time.perf_counter()
    result = molvak.sweep(line.gather, window=48, step=4, method="phase_shift",
                          velocities=(80.0, 700.0, 2.0), fmin=3.0, fmax=90.0, df=0.25)
    return left, right, result, time.perf_counter() - t


def main(argv: list) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    out = argv[0] if argv else "docs/sweep_pseudo_section.png"
    left, right, result, seconds = two_ground_sweep()
    print(f"{len(result)} windows in {seconds:.2f} s")
    wavelengths = np.geomspace(3.0, 24.0, 16)
    section = result.pseudo_section(wavelengths)

    fig, ax = plt.subplots(figsize=(8.0, 3.6), constrained_layout=True)
    section.plot(ax, title="Phase-shift sweep, 48-channel windows: two grounds meet at 200 m")
    ax.axvline(BOUNDARY, color="white", ls="--", lw=1.0)
    fig.savefig(out, dpi=110)
    print(f"wrote {out}")

    for k, lam in enumerate(wavelengths):
        c_left = float(np.interp(lam, left.wavelength[::-1], left.velocity[::-1]))
        c_right = float(np.interp(lam, right.wavelength[::-1], right.velocity[::-1]))
        half = 0.5 * (c_left + c_right)
        v = section.velocity[k]
        ok = np.isfinite(v)
        m, vv = section.midpoint[ok], v[ok]
        cross = np.flatnonzero((vv[:-1] - half) * (vv[1:] - half) < 0)
        at = [m[i] + (half - vv[i]) / (vv[i + 1] - vv[i]) * (m[i + 1] - m[i]) for i in cross]
        print(f"lambda {lam:5.1f} m: {c_left:5.0f} -> {c_right:5.0f} m/s, halfway at "
              + (", ".join(f"{a:.1f} m" for a in at) or "-"))


if __name__ == "__main__":
    main(sys.argv[1:])
