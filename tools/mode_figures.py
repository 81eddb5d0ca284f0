"""Pictures of the mode picking on synthetic gathers whose energy moves from
one mode to the next with frequency.

    python tools/mode_figures.py docs/

writes modes_synthetic.png (three prescribed modes, molvak.synthetic.
multimode_gather with 3 % noise) and modes_layered.png (the first three
Rayleigh modes of a layered model, computed by disba, with the model's
modes drawn over the image). Needs the `plot` and `model` extras.
"""
from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

import molvak
from molvak import synthetic
from molvak.plot import new_figure

MODEL = np.array([[4.0, 500.0, 200.0, 1900.0],     # thickness (m), vp, vs (m/s), density
                  [10.0, 900.0, 380.0, 2000.0],
                  [0.0, 1600.0, 700.0, 2100.0]])


def errors(curves, modes) -> str:
    parts = []
    for m, c in enumerate(curves):
        true = modes[m][0](c.frequency)
        parts.append(f"mode {m}: {len(c)} picks, median {100 * np.median(np.abs(c.velocity / true - 1)):.2f} %")
    return "; ".join(parts)


def main(out: Path) -> int:
    out.mkdir(parents=True, exist_ok=True)
    g = synthetic.multimode_gather(seed=0, noise=0.03)
    image = molvak.phase_shift(g.data, g.offsets, g.dt, velocities=(80, 1000, 2), fmin=3,
                               fmax=90, df=0.5)
    curves = image.pick(modes=3)
    fig, ax = new_figure((8.0, 5.2))
    image.plot(ax, picks=curves, title="Three modes, energy moving up with frequency "
               "(phase shift, 3 % noise)")
    for m, (c, _) in enumerate(g.modes):
        f = np.linspace(3, 90, 300)
        ax.plot(f, c(f), color="white", lw=0.8, ls=(0, (5, 3)),
                label="true modes" if m == 0 else None)
    ax.legend(loc="upper right", fontsize=8, framealpha=0.85)
    fig.savefig(out / "modes_synthetic.png")
    print("prescribed modes:", errors(curves, g.modes))

    theory = molvak.theoretical_modes(MODEL, np.arange(1.0, 100.0, 0.25), modes=3)
    modes = tuple((lambda f, c=c: np.interp(f, c.frequency, c.velocity), band)
                  for c, band in zip(theory, (synthetic.Band(None, 28.0),
                                              synthetic.Band(24.0, 52.0),
                                              synthetic.Band(48.0, None))))
    g = synthetic.make_multimode_gather(5.0 + np.arange(48.0), 0.5e-3, 2000, modes, 40.0,
                                        noise=0.02, seed=3)
    image = molvak.phase_shift(g.data, g.offsets, g.dt, velocities=(120, 900, 1), fmin=5,
                               fmax=85, df=0.5)
    curves = image.pick(modes=3)
    fig, ax = new_figure((8.0, 5.2))
    image.plot(ax, picks=curves, model=MODEL,
               title="Layered model: picks of three modes over its theoretical modes")
    fig.savefig(out / "modes_layered.png")
    print("layered model:", errors(curves, modes))
    print(f"wrote {out / 'modes_synthetic.png'}, {out / 'modes_layered.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1] if len(sys.argv) > 1 else "docs")))
