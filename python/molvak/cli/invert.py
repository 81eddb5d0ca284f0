"""`molvak invert CURVE... --layers 3 --out DIR`: a Vs profile with its
posterior from dispersion curves on the command line."""
from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path
from typing import Any, Optional

import numpy as np

from .. import _outputs
from .._progress import Progress
from ..curves import UncertainCurve, read_curves
from ..inversion import invert
from ..sweeps import PseudoSection
from ..vs_section import invert_sweep
from ._common import UsageError, run_step, savefig

__all__ = ["add_command", "read_section", "read_targets", "run"]

INVERT_EPILOG = """\
outputs, in --out, named after the (first) input file:
  <file>.invert.ensemble.csv     the posterior models, one per row
  <file>.invert.percentiles.csv  Vs percentiles against depth, and the best model
  <file>.invert.json             best model, Vs30 and its 90 % interval,
                                 convergence (split R-hat), misfits, settings
  <file>.invert.profile.png, .curves.png, .vs30.png   (not with --no-plot)
for a pseudo-section CSV of `molvak sweep`:
  <file>.invert.vs_section.csv   median Vs and its 90 % interval per
                                 (midpoint, depth), and every window's
                                 depth of investigation
  <file>.invert.vs_section.png   (not with --no-plot)
No input and no existing file is ever replaced (existing ones only with
--overwrite); each file appears complete or not at all."""


def _pair(text: str) -> tuple[float, float]:
    parts = text.split(":")
    try:
        values = [float(p) for p in parts]
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not MIN:MAX") from None
    if len(values) != 2:
        raise argparse.ArgumentTypeError(f"{text!r} is not MIN:MAX")
    return values[0], values[1]


def _poisson(text: str) -> Any:
    if ":" in text:
        return _pair(text)
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a ratio or MIN:MAX") from None


def add_command(sub: Any) -> None:
    """Register `molvak invert` on the command line's subparsers."""
    p = sub.add_parser(
        "invert", help="invert dispersion curves for a Vs profile with its uncertainty",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog=INVERT_EPILOG,
        description="Invert dispersion curves for a layered shear-wave velocity profile: a "
                    "differential-evolution search, then parallel-tempering MCMC. Writes the "
                    "posterior ensemble and percentiles (CSV), a summary (JSON: best model, "
                    "Vs30, convergence) and pictures into --out.")
    p.add_argument("curves", nargs="+", metavar="CURVE",
                   help="curve files: dinver text (frequency, slowness, log-std factor), an "
                        "uncertain-curve CSV or JSON, or picks (CSV, every mode labelled); "
                        "or the pseudo-section CSV of `molvak sweep`, every window of which "
                        "is inverted into a Vs section")
    p.add_argument("--layers", type=int, default=3,
                   help="layers, the half-space included (default %(default)s)")
    p.add_argument("--vs", type=_pair, metavar="MIN:MAX", help="Vs bounds, m/s (default: "
                   "from the data's velocities)")
    p.add_argument("--thickness", type=_pair, metavar="MIN:MAX", help="thickness bounds, m "
                   "(default: from the data's wavelengths)")
    p.add_argument("--poisson", type=_poisson, default=0.3, metavar="NU|MIN:MAX",
                   help="Poisson's ratio, fixed or a range (default %(default)s)")
    p.add_argument("--density", type=float, metavar="KG_M3",
                   help="density of every layer, kg/m^3 (default: Gardner's rule from Vp)")
    p.add_argument("--increasing", action="store_true",
                   help="only models whose Vs does not decrease with depth")
    p.add_argument("--wave", choices=("rayleigh", "love"), default="rayleigh")
    p.add_argument("--match", choices=("labels", "closest"), default="labels",
                   help="fit every curve to its mode label, or every point to the closest "
                        "predicted mode (default %(default)s)")
    p.add_argument("--default-std", type=float, default=0.05,
                   help="std of ln(velocity) where a curve has none (default %(default)s)")
    p.add_argument("--min-std", type=float, default=0.0,
                   help="floor of every point's std of ln(velocity) (default none)")
    p.add_argument("--keep-traps", action="store_true",
                   help="keep models whose fundamental mode is trapped below a stiff lid")
    p.add_argument("--chains", type=int, default=4)
    p.add_argument("--steps", type=int, help="sampling steps per chain (default 160 per "
                   "parameter, at least 800; 300 per window of a pseudo-section)")
    p.add_argument("--burn", type=int, help="burn-in steps per chain (default as --steps)")
    p.add_argument("--seed", type=int, help="random seed (repeatable runs)")
    p.add_argument("--workers", type=int, default=1, help="threads (default %(default)s)")
    p.add_argument("--out", default=".", help="output directory (default: here)")
    p.add_argument("--overwrite", action="store_true",
                   help="replace existing output files (never an input)")
    p.add_argument("--no-plot", action="store_true", help="write no picture")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    p.set_defaults(func=run)


def _given(value: Optional[int], default: int) -> int:
    return default if value is None else value


def read_targets(path: Path) -> list[Any]:
    """The curves of one file: a dinver target, an uncertain-curve CSV or
    JSON, or a CSV of picks (one DispersionCurve per mode)."""
    name = str(path)
    with open(path) as handle:
        head = handle.read(4096)
    first = next((line for line in head.splitlines() if line.strip()
                  and not line.startswith("#")), "")
    if path.suffix.lower() == ".json" or head.lstrip().startswith("{"):
        return [UncertainCurve.from_json(path)]
    if first.split(",")[:len(UncertainCurve.COLUMNS)] == list(UncertainCurve.COLUMNS):
        return [UncertainCurve.from_csv(path)]
    if first.startswith("frequency,"):
        return list(read_curves(path))
    if len(first.split()) == 3:
        return [UncertainCurve.from_dinver(path)]
    raise ValueError(f"{name}: not a curve molvak reads (a dinver target, an uncertain-curve "
                     f"CSV or JSON, or a CSV of picks)")


def read_section(path: Path) -> Optional[tuple[Any, list[Any]]]:
    """The window midpoints and one curve (frequency, velocity) per window
    of a pseudo-section CSV written by `molvak sweep`; None for another
    file."""
    with open(path) as handle:
        first = handle.readline().strip()
    if first.split(",") != list(PseudoSection.COLUMNS):
        return None
    table = np.genfromtxt(path, delimiter=",", skip_header=1, usecols=(0, 1, 3, 4))
    table = np.atleast_2d(table)
    mids = np.unique(table[:, 0])
    curves = []
    for m in mids:
        rows = table[(table[:, 0] == m) & (table[:, 3] == 1) & np.isfinite(table[:, 2])]
        curves.append((rows[:, 2] / rows[:, 1], rows[:, 2]))
    return mids, curves


def _run_section(args: argparse.Namespace, path: Path, mids: Any, curves: list[Any]) -> int:
    """`molvak invert SECTION.csv`: every window's curve inverted."""
    folder = Path(args.out)
    stem = _outputs.unique_bases([path])[0][0] + ".invert"
    targets = [folder / f"{stem}.vs_section.csv"]
    if not args.no_plot:
        targets.append(folder / f"{stem}.vs_section.png")
    problem = _outputs.clobbered(targets, [path], args.overwrite)
    if problem is not None:
        raise UsageError(problem)
    data = [(f, v, np.full(f.size, args.default_std)) if f.size >= 3 else None
            for f, v in curves]
    keep = [k for k, d in enumerate(data) if d is not None]
    if not keep:
        raise UsageError(f"{path}: no window has three or more valid velocities")
    bar = Progress(len(keep), f"inverting {path.name}", stream=sys.stderr,
                   enabled=not args.quiet)
    section = run_step(f"inverting {path.name}", lambda: invert_sweep(
                           [data[k] for k in keep], midpoints=mids[keep], layers=args.layers,
                           vs=args.vs, thickness=args.thickness, poisson=args.poisson,
                           density=args.density, increasing=args.increasing, wave=args.wave,
                           min_std=args.min_std, exclude_traps=not args.keep_traps,
                           chains=args.chains, steps=_given(args.steps, 300),
                           burn=_given(args.burn, 300),
                           seed=args.seed, workers=args.workers,
                           progress=lambda done, total: bar.step()), sys.stderr)
    section.to_csv(targets[0], overwrite=args.overwrite)
    if not args.no_plot:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, axes = plt.subplots(2, 1, figsize=(8.0, 6.0), sharex=True,
                                 constrained_layout=True)
        section.plot(axes, title=f"Vs section of {path.name}")
        savefig(fig, targets[1], overwrite=args.overwrite)
        plt.close(fig)
    doi = section.investigation_depth
    print(f"{len(keep)} of {len(curves)} windows inverted; Vs30 "
          f"{np.nanmin(section.vs30[:, 0]):.0f} to {np.nanmax(section.vs30[:, 0]):.0f} m/s; "
          f"{int(section.converged.sum())} converged; depth of investigation "
          f"{np.nanmin(doi):.1f} to {np.nanmax(doi):.1f} m")
    for name in targets:
        print(f"wrote {name}")
    return 0


def run(args: argparse.Namespace) -> int:
    """Run `molvak invert`."""
    paths = [Path(p) for p in args.curves]
    for p in paths:
        if not p.is_file():
            raise UsageError(f"{p}: no such file")
    folder = Path(args.out)
    problem = _outputs.check_folder(folder)
    if problem is not None:
        raise UsageError(problem)
    sections = [read_section(p) for p in paths]
    if any(s is not None for s in sections):
        if len(paths) != 1:
            raise UsageError("a pseudo-section is inverted on its own: give one file")
        found = sections[0]
        if found is None:
            raise UsageError(f"{paths[0]}: not a pseudo-section")
        return _run_section(args, paths[0], found[0], found[1])
    stem = _outputs.unique_bases(paths[:1])[0][0] + ".invert"
    kinds = ["ensemble.csv", "percentiles.csv", "json"]
    if not args.no_plot:
        kinds += ["profile.png", "curves.png", "vs30.png"]
    targets = [folder / f"{stem}.{k}" for k in kinds]
    problem = _outputs.clobbered(targets, paths, args.overwrite)
    if problem is not None:
        raise UsageError(problem)
    curves: list[Any] = []
    for p in paths:
        curves.extend(read_targets(p))
    bar: Optional[Progress] = None

    def step(done: int, total: int) -> None:
        nonlocal bar
        if bar is None:
            bar = Progress(total, f"inverting {paths[0].name}", stream=sys.stderr,
                           enabled=not args.quiet)
        bar.step()

    result = run_step(f"inverting {paths[0].name}", lambda: invert(
        curves, layers=args.layers, vs=args.vs, thickness=args.thickness, poisson=args.poisson,
        density=args.density, increasing=args.increasing, wave=args.wave, match=args.match,
        default_std=args.default_std, min_std=args.min_std, exclude_traps=not args.keep_traps,
        chains=args.chains, steps=args.steps, burn=args.burn,
        seed=args.seed, workers=args.workers, progress=step), sys.stderr)
    if not args.no_plot:
        import matplotlib
        matplotlib.use("Agg")
    try:
        written = result.save(folder, stem=stem, plots=not args.no_plot,
                              overwrite=args.overwrite)
    except FileExistsError as exc:
        raise UsageError(f"{exc} (it appeared while inverting)") from None
    v30 = result.vs30()
    best = result.best
    print(f"best model: Vs {', '.join(f'{v:.0f}' for v in best.vs)} m/s, thickness "
          f"{', '.join(f'{h:.2f}' for h in best.thickness)} m; Vs30 {v30.median:.0f} m/s "
          f"(90 %: {v30.low:.0f}-{v30.high:.0f}); misfit "
          f"{', '.join(f'{f.misfit:.2f}' for f in result.fits)}; max split R-hat "
          f"{max(result.rhat.values()):.3f}{'' if result.converged else ' (NOT converged)'}")
    for name in written:
        print(f"wrote {name}")
    if not result.converged:
        print(json.dumps({"rhat": result.rhat}), file=sys.stderr)
    return 0
