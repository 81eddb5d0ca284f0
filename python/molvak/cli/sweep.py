"""`molvak sweep`: the sub-array sweep of a long line and its 2D pseudo-
section.
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any, Optional

from .. import _outputs, estimators, io, sweeps
from .._progress import Progress
from ._common import (
    Report,
    UsageError,
    estimator_flags,
    estimator_options,
    grid_options,
    number_list,
    savefig,
)
from ._inputs import (
    Reading,
    load_gathers,
    missing_arguments,
)

SWEEP_EPILOG = """\
outputs, in --out, named after the input file and the method:
  <file>.sweep_<method>.csv   the pseudo-section: one row per (window midpoint,
                              wavelength) with the pseudo-depth, the phase
                              velocity (empty where the window's picks give
                              none), valid and the depth factor
  <file>.sweep_<method>.png   its picture (not with --no-plot)
No input and no existing file is ever replaced (existing ones only with
--overwrite); each file appears complete or not at all."""


def cmd_sweep(args: argparse.Namespace) -> int:
    """Run the command with its parsed arguments (see ``molvak sweep --help``);
    returns the exit status."""
    method = estimators.get(args.method)
    if method.sweep is None:
        able = [e.name for e in estimators.entries() if e.sweep is not None]
        raise UsageError(f"--method {method.name} has no sweep; choose one of {', '.join(able)}")
    if args.wavelengths is not None and args.depths is not None:
        raise UsageError("give --wavelengths or --depths, not both")
    options = estimator_options(args, method)
    reading = Reading(args.dt, args.offsets, args.transpose, args.format,
                      tuple(args.trim) if args.trim is not None else None)
    path = Path(args.line)
    problem = missing_arguments([path], reading)
    if problem is not None:
        raise UsageError(problem)
    folder = Path(args.out)
    problem = _outputs.check_folder(folder)
    if problem is not None:
        raise UsageError(problem)
    base = _outputs.unique_bases([path])[0][0]
    stem = folder / f"{base}.sweep_{method.name}"
    targets = [Path(f"{stem}.csv")] + ([] if args.no_plot else [Path(f"{stem}.png")])
    problem = _outputs.clobbered(targets, [path], args.overwrite)
    if problem is not None:
        raise UsageError(problem)
    found = load_gathers(path, reading)
    if len(found) != 1:
        raise UsageError(f"{path}: holds {len(found)} shots; a sweep images one line")

    # Progress: the chunks of the imaging, then the picking in twenty steps.
    picking_steps = 20
    bar: Optional[Progress] = None

    def swept(done: int, total: int) -> None:
        nonlocal bar
        if bar is None:
            bar = Progress(total + picking_steps, f"sweeping {path.name}", stream=sys.stderr,
                           enabled=not args.quiet)
        bar.step(f"imaging {done}/{total}")

    shown = 0

    def picked(done: int, total: int) -> None:
        nonlocal shown
        while bar is not None and shown < done * picking_steps // total:
            shown += 1
            bar.step(f"picking {done}/{total}")

    result = sweeps.sweep(found[0], window=args.window_size, step=args.window_step,
                          method=method.name,
                          progress=swept, workers=args.workers, **options)
    section = result.pseudo_section(args.wavelengths, depths=args.depths,
                                    depth_factor=args.depth_factor, progress=picked,
                                    vmin=args.pick_vmin, vmax=args.pick_vmax)
    report = Report(1, len(targets))
    try:
        report.writing(targets[0])
        section.to_csv(targets[0], overwrite=args.overwrite)
        report.wrote(targets[0])
        if not args.no_plot:
            import matplotlib
            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
            fig, ax = plt.subplots(figsize=(9.0, 4.0), constrained_layout=True)
            section.plot(ax, title=f"{method.label} sweep of {path.name}: windows of "
                                   f"{args.window_size} traces every {args.window_step}")
            report.writing(targets[1])
            savefig(fig, targets[1], overwrite=args.overwrite)
            plt.close(fig)
            report.wrote(targets[1])
    except FileExistsError as exc:
        raise UsageError(f"{exc.filename} appeared while sweeping; not replaced "
                         f"(give --overwrite to replace it)") from None
    print(f"{len(result)} windows, midpoints {section.midpoint[0]:g} to "
          f"{section.midpoint[-1]:g} m ({section.position}); {int(section.valid.sum())} of "
          f"{section.valid.size} values of the pseudo-section valid")
    return 0


def add_command(sub: Any) -> None:
    """Add the command to the subparsers of `molvak`."""
    sweep = sub.add_parser(
        "sweep", help="sub-array sweep of a long line and its 2D pseudo-section",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Image every window of --window-size neighbouring traces of one line (a "
                    "landstreamer roll-along, a long spread, a DAS record or a virtual gather), "
                    "stepped by --window-step traces, pick each window's dispersion curve and lay the "
                    "phase velocity at chosen wavelengths out against window midpoint: a 2D "
                    "MASW pseudo-section. The windows are imaged together, each image equal "
                    "to imaging that window on its own.",
        epilog=SWEEP_EPILOG)
    sweep.add_argument("line", metavar="LINE", help="the line's record (any format molvak "
                       "reads; offsets are distances from the true or virtual source)")
    sweep.add_argument("--window-size", type=int, required=True, metavar="N",
                       help="traces per window")
    sweep.add_argument("--window-step", type=int, default=1, metavar="N",
                       help="traces between the starts of neighbouring windows "
                            "(default %(default)s)")
    sweep.add_argument("--method", default="phase_shift",
                       choices=[e.name for e in estimators.entries() if e.sweep is not None],
                       help="estimator (default %(default)s)")
    sweep.add_argument("--wavelengths", type=number_list, metavar="LIST",
                       help="wavelengths of the pseudo-section, m: 2,5,10 or START:STOP:COUNT "
                            "(default: 24 from the shortest to the longest a window resolves)")
    sweep.add_argument("--depths", type=number_list, metavar="LIST",
                       help="pseudo-depths instead, m (wavelength = depth x --depth-factor)")
    sweep.add_argument("--depth-factor", type=float, default=2.0,
                       help="the pseudo-depth convention: depth = wavelength / FACTOR "
                            "(default %(default)s; 3 is the other usual one)")
    sweep.add_argument("--out", default=".", help="output directory (default: here)")
    sweep.add_argument("--overwrite", action="store_true",
                       help="replace existing output files (never an input)")
    sweep.add_argument("--dt", type=float, help="sample interval, s (overrides the file's)")
    sweep.add_argument("--offsets", help="offsets, m: a file (.npy or text), START:STEP or a "
                       "comma-separated list (overrides the file's)")
    sweep.add_argument("--transpose", action="store_true",
                       help="the file holds one row per time sample (not per trace)")
    sweep.add_argument("--format", choices=list(io.FORMATS),
                       help="file format (default: told by the file's first bytes and suffix)")
    sweep.add_argument("--trim", nargs=2, type=float, metavar=("T0", "T1"),
                       help="keep the samples from T0 to T1 s after the shot")
    sweep.add_argument("--keep-dead", action="store_true",
                       help="keep dead traces (by default they are left out of every window "
                            "holding them, with a warning)")
    sweep.add_argument("--pick-vmin", type=float, help="lowest velocity to pick, m/s")
    sweep.add_argument("--pick-vmax", type=float, help="highest velocity to pick, m/s")
    sweep.add_argument("--no-plot", action="store_true", help="write no picture")
    sweep.add_argument("--quiet", action="store_true", help="no progress bar")
    estimator_flags(sweep)
    grid_options(sweep, 50.0, 1000.0, 1.0, 1.0, 100.0, None)
    sweep.set_defaults(func=cmd_sweep)
