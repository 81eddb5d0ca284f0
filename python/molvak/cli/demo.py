"""`molvak demo`: a synthetic gather with a known dispersion curve, imaged by
the demonstration estimators and picked, the picks compared with the truth.
"""
from __future__ import annotations

import argparse
import csv
import functools
import sys
from pathlib import Path
from typing import Any

import numpy as np

from .. import __version__, _outputs, estimators, synthetic
from .._atomic import atomic_open
from .._progress import Progress
from ..plot import new_figure
from ._common import (
    UsageError,
    grid_options,
    plot_image_file,
    run_step,
    savefig,
    velocity_grid,
)


def _plot_gather(g: synthetic.SyntheticGather, path: Path, *, overwrite: bool) -> None:
    fig, ax = new_figure((7.5, 4.5))
    clip = np.percentile(np.abs(g.data), 99.5)
    t = g.time
    spacing = float(np.median(np.diff(g.offsets)))
    extent = (g.offsets[0] - spacing / 2, g.offsets[-1] + spacing / 2,
              t[-1] + g.dt / 2, t[0] - g.dt / 2)
    img = ax.imshow(g.data.T, aspect="auto", cmap="seismic", vmin=-clip, vmax=clip,
                    extent=extent, interpolation="nearest")
    bar = fig.colorbar(img, ax=ax, pad=0.02)
    bar.set_label("amplitude (arbitrary units)")
    ax.set_xlabel("Offset (m)")
    ax.set_ylabel("Time (s)")
    ax.set_title("Synthetic shot gather")
    savefig(fig, path, overwrite=overwrite)


def cmd_demo(args: argparse.Namespace) -> int:
    """Run the command with its parsed arguments (see ``molvak demo --help``);
    returns the exit status."""
    out = Path(args.out)
    err = sys.stderr
    shown = [e for e in estimators.entries() if e.demo]
    names = [f"{e.name}.png" for e in shown] + ["gather.png"] if not args.no_plot else []
    targets = [out / n for n in names] + [out / "picks.csv"]
    problem = _outputs.check_folder(out)
    if problem is None and not args.overwrite:
        # the demo replaces its own earlier outputs, nothing else
        foreign = [t for t in targets if t.exists() and _outputs.output_kind(t) is None]
        if foreign:
            problem = (f"{foreign[0]} exists and is not an output of molvak; give --overwrite "
                       f"to replace it, or another --out")
    if problem is not None:
        raise UsageError(problem)

    g = synthetic.default_gather(seed=args.seed, noise=args.noise)
    lmin, lmax = g.limits()
    band = g.resolved_band()
    nx, nt = g.data.shape
    print(f"molvak {__version__} demo: a synthetic {nx}-channel shot gather, offsets "
          f"{g.offsets[0]:g}-{g.offsets[-1]:g} m every {np.median(np.diff(g.offsets)):g} m, "
          f"{nt} samples at {g.dt * 1e3:g} ms, {100 * g.noise:g} % noise")
    print(f"true dispersion curve: {g.velocity}")
    print(f"resolved band: wavelengths {lmin:g}-{lmax:g} m (two receiver spacings to half "
          f"the aperture) where the source is within 20 dB of its peak: "
          f"{band[0]:.1f}-{band[1]:.1f} Hz", flush=True)

    grid = dict(velocities=velocity_grid(args.vmin, args.vmax, args.dv, args.nv), fmin=args.fmin,
                fmax=args.fmax, df=args.df, workers=args.workers)
    progress = Progress(len(shown) + (0 if args.no_plot else len(shown) + 1), "demo",
                        stream=err, enabled=not args.quiet)
    rows: list[list[Any]] = []
    summary = []
    for entry in shown:
        image = run_step(entry.name, functools.partial(estimators.image, g, entry.name, **grid), err)
        progress.step(f"imaged: {entry.name}")
        curve = image.pick()
        truth = g.true_velocity(curve.frequency)
        error = 100.0 * (curve.velocity / truth - 1.0)
        inside = g.resolved(curve.frequency)
        for k in range(len(curve)):
            rows.append([entry.name, curve.frequency[k], curve.velocity[k], curve.wavelength[k],
                         curve.quality[k], truth[k], error[k], int(inside[k])])
        e = np.abs(error[inside])
        summary.append((entry.name, int(inside.sum()), float(np.median(e)) if e.size else np.nan,
                        float(e.max()) if e.size else np.nan, int((e <= 1.0).sum())))
        if not args.no_plot:
            path = out / f"{entry.name}.png"
            plot_image_file(image, path, curve=curve.select(fmin=band[0], fmax=band[1]),
                        truth=g.velocity, wavelengths=(lmin, lmax), overwrite=True)
            progress.step(f"drawn: {path}")
    if not args.no_plot:
        _plot_gather(g, out / "gather.png", overwrite=True)
        progress.step(f"drawn: {out / 'gather.png'}")

    table = out / "picks.csv"
    with atomic_open(table, "w", newline="", overwrite=True) as handle:
        writer = csv.writer(handle)
        writer.writerow(["method", "frequency", "velocity", "wavelength", "quality",
                         "true_velocity", "error_percent", "resolved"])
        for row in rows:
            writer.writerow([row[0]] + [f"{v:.10g}" for v in row[1:7]] + [row[7]])

    print()
    print("picks against the true curve over the resolved band:")
    print(f"  {'method':<12} {'picks':>5} {'median |error|':>15} {'max |error|':>12} "
          f"{'within 1 %':>11}")
    for name, count, median, worst, good in summary:
        print(f"  {name:<12} {count:>5} {median:>13.3f} % {worst:>10.3f} % "
              f"{good:>5}/{count:<5}")
    print("wrote " + ", ".join(str(t) for t in targets))
    worst_all = max(s[3] for s in summary)
    if args.check and not (worst_all <= 1.0):
        print(f"molvak: error: a pick is {worst_all:.3f} % off the true curve (limit 1 %)",
              file=err)
        return 1
    return 0


def add_command(sub: Any) -> None:
    """Add the command to the subparsers of `molvak`."""
    demo = sub.add_parser(
        "demo", help="image a synthetic gather with a known dispersion curve",
        description="Synthesise a shot gather with a known dispersion curve, image it by slant "
                    "stack, phase shift and beamforming, pick the curve and compare the picks "
                    "with the truth. Writes DIR/<method>.png, DIR/gather.png and DIR/picks.csv, "
                    "replacing the demo's own earlier outputs there.")
    demo.add_argument("--out", default="demo", help="output directory (default %(default)s)")
    demo.add_argument("--seed", type=int, default=0, help="noise seed (default %(default)s)")
    demo.add_argument("--noise", type=float, default=0.01, help="noise level relative to the "
                      "largest sample (default %(default)s)")
    demo.add_argument("--no-plot", action="store_true", help="write the CSV only")
    demo.add_argument("--check", action="store_true",
                      help="exit with status 1 if a pick in the resolved band is off by more "
                           "than 1 %%")
    demo.add_argument("--overwrite", action="store_true",
                      help="replace files in DIR that are not outputs of molvak")
    demo.add_argument("--quiet", action="store_true", help="no progress bar")
    grid_options(demo, 50.0, 800.0, 1.0, 2.0, 100.0, 0.5)
    demo.set_defaults(func=cmd_demo)
