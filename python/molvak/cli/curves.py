"""`molvak combine` and `molvak stats`: the picks of several curves combined
into one curve with its uncertainty, or their statistics per bin.
"""
from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from .. import _outputs
from ..curves import UncertainCurve, combine, read_curves, statistics
from ..plot import new_figure
from ._common import (
    Report,
    UsageError,
    _natural_key,
    savefig,
)


def curve_files(names: Sequence[str]) -> list[Path]:
    """The picks CSVs named, folders replaced by the picks files in them; a
    reviewed file (<stem>.reviewed.csv) takes the place of its original in
    the same folder. Named files that are other outputs of molvak (an
    earlier combine or stats, a pseudo-section) are left out with a note."""
    found: list[Path] = []
    for name in names:
        path = Path(name)
        if path.is_dir():
            inside = sorted((p for p in path.rglob("*.csv") if p.is_file()
                             and _outputs.output_kind(p) == "a dispersion curve"),
                            key=_natural_key)
            if not inside:
                raise UsageError(f"{path}: the folder holds no picks (CSV files of "
                                 f"dispersion curves)")
            found += inside
        elif not path.is_file():
            raise UsageError(f"{path}: no such file")
        else:
            kind = _outputs.output_kind(path)
            if kind not in (None, "a dispersion curve"):
                print(f"molvak: note: {path} is {kind}, not picks: left out", file=sys.stderr)
                continue
            found.append(path)
    suffix = ".reviewed.csv"
    reviewed = {(p.resolve().parent, p.name[:-len(suffix)]) for p in found
                if p.name.endswith(suffix)}
    return [p for p in found if (p.resolve().parent, p.name[:-len(".csv")]) not in reviewed]


def cmd_curves(args: argparse.Namespace) -> int:
    """Run ``molvak combine`` or ``molvak stats`` with their parsed arguments
    (see their ``--help``); returns the exit status."""
    paths = curve_files(args.curves)
    curves = []
    for path in paths:
        try:
            modes = {c.mode: c for c in read_curves(path)}
        except (OSError, ValueError) as exc:
            raise UsageError(str(exc)) from None
        if args.mode in modes:
            curves.append(modes[args.mode])
    if not curves:
        raise UsageError(f"none of the {len(paths)} file(s) holds picks of mode {args.mode}")
    prefix = Path(args.out)
    problem = _outputs.check_folder(prefix.parent)
    if problem is not None:
        raise UsageError(problem.replace("--out ", "--out folder ", 1))
    kinds = ["csv", "json", "txt"] + ([] if args.no_plot else ["png"])
    targets = [Path(f"{prefix}.{kind}") for kind in kinds]
    problem = _outputs.clobbered(targets, paths, args.overwrite)
    if problem is not None:
        raise UsageError(problem)
    valid_only = not args.all_picks
    picks = sum(int(c.valid.sum()) if valid_only else len(c) for c in curves)
    if args.command == "combine":
        site = combine(curves, ratio=args.ratio, n_points=args.points, valid_only=valid_only,
                       no_std=args.no_std, min_count=args.min_count)
        what = (f"combined {picks} {'valid ' if valid_only else ''}picks of {len(curves)} "
                f"curve(s) in {len(site.bins) if site.bins is not None else 0} wavelength bins "
                f"(ratio {args.ratio:g}), resampled at {len(site)} wavelengths")
    else:
        site = statistics(curves, args.domain, bins=args.bins, valid_only=valid_only,
                          no_std=args.no_std)
        what = (f"statistics of {picks} {'valid ' if valid_only else ''}picks of "
                f"{len(curves)} curve(s) in {len(site)} {args.domain} bins")
    print(f"{what}: {site.frequency.min():.4g}-{site.frequency.max():.4g} Hz, wavelengths "
          f"{site.wavelength.min():.3g}-{site.wavelength.max():.3g} m, velocity "
          f"{np.nanmin(site.velocity):.4g}-{np.nanmax(site.velocity):.4g} m/s")
    # the dinver file holds the points with a standard deviation (a bin of one
    # pick has none, and the floor does not make one up); checked before any
    # file is written
    known = np.isfinite(site.lognormal_std)
    site_known = _points(site, known) if known.any() else None
    if site_known is not None:
        try:
            site_known._dinver_text(f"{prefix}.txt", args.min_std)
        except ValueError as exc:
            raise UsageError(str(exc)) from None
    report = Report(1, len(targets))
    for target, kind in zip(targets, kinds):
        report.writing(target)
        if kind == "csv":
            site.to_csv(target, overwrite=args.overwrite)
        elif kind == "json":
            site.to_json(target, overwrite=args.overwrite)
        elif kind == "txt":
            if not known.all():
                print(f"molvak: note: {int((~known).sum())} point(s) without a standard "
                      f"deviation (one pick) left out of {target}", file=sys.stderr)
            if site_known is None:
                continue
            site_known.to_dinver(target, min_lognormal_std=args.min_std,
                                 overwrite=args.overwrite)
        else:
            fig, ax = new_figure()
            site.plot(ax, curves=curves, valid_only=valid_only,
                      title=f"{'Site curve' if args.command == 'combine' else 'Statistics'} "
                            f"of {len(curves)} curve(s), mode {args.mode}")
            savefig(fig, target, overwrite=args.overwrite)
        report.wrote(target)
    return 0


def _points(curve: Any, keep: np.ndarray) -> Any:
    """The points of an UncertainCurve at a mask."""
    columns: dict[str, Any] = {c: getattr(curve, c)[keep] for c in UncertainCurve.COLUMNS}
    return UncertainCurve(**columns, domain=curve.domain)


def add_command(sub: Any) -> None:
    """Add the command to the subparsers of `molvak`."""
    for name in ("combine", "stats"):
        text = ("combine the picks of several curves (source offsets, shots) into one site "
                "curve with its uncertainty, in logarithmic wavelength bins"
                if name == "combine" else
                "statistics of several curves per frequency (or wavelength) bin")
        cmd = sub.add_parser(
            name, help=text, formatter_class=argparse.RawDescriptionHelpFormatter,
            description=text[0].upper() + text[1:] + " (molvak." +
            ("combine" if name == "combine" else "statistics") + "). Reads picks CSVs (those "
            "of molvak image, or reviewed ones, which replace their originals in a folder); "
            "writes PREFIX.csv and PREFIX.json (every column), PREFIX.txt (dinver: "
            "frequency, slowness, log-normal factor) and PREFIX.png.")
        cmd.add_argument("curves", nargs="+", metavar="CSV",
                         help="picks files, or folders of them")
        cmd.add_argument("--out", default="site" if name == "combine" else "stats",
                         metavar="PREFIX", help="output files PREFIX.csv, .json, .txt, .png "
                         "(default %(default)s)")
        cmd.add_argument("--mode", type=int, default=0, help="the mode to use (default 0)")
        cmd.add_argument("--all-picks", action="store_true",
                         help="use the flagged picks too (default: valid picks only)")
        cmd.add_argument("--no-std", type=float, default=1.0,
                         help="the bounds are the mean -+ this many standard deviations "
                              "(default %(default)s)")
        cmd.add_argument("--min-std", type=float, default=0.05,
                         help="floor of the log-normal standard deviation in the dinver file "
                              "(default %(default)s)")
        if name == "combine":
            cmd.add_argument("--ratio", type=float, default=2 ** (1 / 6),
                             help="ratio of neighbouring wavelength bins (default 2^(1/6))")
            cmd.add_argument("--points", type=int, default=40,
                             help="wavelengths of the resampled curve (default %(default)s)")
            cmd.add_argument("--min-count", type=int, default=2,
                             help="fewest picks in a bin (default %(default)s)")
        else:
            cmd.add_argument("--domain", choices=["frequency", "wavelength"],
                             default="frequency", help="binned quantity (default %(default)s)")
            cmd.add_argument("--bins", type=int,
                             help="logarithmic bins (default: every frequency of the picks; "
                                  "30 in wavelength)")
        cmd.add_argument("--no-plot", action="store_true", help="write no picture")
        cmd.add_argument("--overwrite", action="store_true",
                         help="replace existing output files")
        cmd.set_defaults(func=cmd_curves)
