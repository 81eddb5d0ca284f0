"""What the DAS commands of the command line (`molvak virtual`, `molvak
timelapse`) share: the correlation and imaging flags, and the output folder
with the rules of `molvak image` (every target checked before any work and
never replaced without --overwrite, each file written atomically as soon as
it is ready and named on stdout, Ctrl-C stopping with status 130 and a line
saying what was written)."""
from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any, Callable

from ..io import read
from ._common import savefig


def correlation_flags(p: argparse.ArgumentParser) -> None:
    p.add_argument("records", nargs="+", metavar="RECORDS",
                   help="DAS files or folders of them (read through DASCore), or a .npz gather "
                        "of a continuous record")
    p.add_argument("--length", type=float, required=True, metavar="S",
                   help="correlation window, s")
    p.add_argument("--out", required=True, metavar="DIR", help="output folder")
    g = p.add_argument_group("correlation")
    g.add_argument("--step", type=float, metavar="S", help="time between windows, s "
                   "(default: the window length)")
    g.add_argument("--max-lag", type=float, metavar="S", help="longest lag kept, s (default: "
                   "half the window)")
    g.add_argument("--whiten", type=float, nargs=2, metavar=("FMIN", "FMAX"),
                   help="whitening band, Hz (default: the whole band)")
    g.add_argument("--no-whiten", action="store_true", help="no spectral whitening")
    g.add_argument("--normalization", choices=("none", "onebit", "ram"), default="none",
                   help="time-domain normalisation (default %(default)s)")
    g.add_argument("--stacking", choices=("linear", "pws"), default="linear",
                   help="linear or phase-weighted stacking (default %(default)s)")
    g.add_argument("--reject", type=float, nargs="?", const=10.0, metavar="K",
                   help="leave out windows with a sample beyond K standard deviations of its "
                        "channel (K = 10 when not given)")
    g.add_argument("--fold", choices=("both", "causal", "acausal"), default="both",
                   help="which lags make the gather (default %(default)s)")
    g.add_argument("--start", help="first time used: s from the record's start or ISO 8601")
    g.add_argument("--stop", help="last time used: s from the record's start or ISO 8601")
    g.add_argument("--spacing", type=float, metavar="M",
                   help="channel spacing, m, for records without positions")
    g.add_argument("--workers", type=int, default=1, help="threads (default %(default)s)")
    g = p.add_argument_group("imaging")
    g.add_argument("--method", choices=("phase_shift", "fdbf", "slant_stack"),
                   default="phase_shift", help="estimator (default %(default)s)")
    g.add_argument("--velocities", type=float, nargs=3, default=(50.0, 1000.0, 1.0),
                   metavar=("VMIN", "VMAX", "STEP"), help="trial phase velocities, m/s "
                   "(default 50 1000 1)")
    g.add_argument("--fmin", type=float, help="lowest frequency, Hz")
    g.add_argument("--fmax", type=float, help="highest frequency, Hz")
    g.add_argument("--df", type=float, help="frequency step, Hz")
    p.add_argument("--no-plot", action="store_true", help="write no picture")
    p.add_argument("--overwrite", action="store_true", help="replace existing outputs")
    p.add_argument("--quiet", action="store_true", help="no progress bar")


def _time(text: Any) -> Any:
    if text is None:
        return None
    try:
        return float(text)
    except ValueError:
        return text


def records(args: argparse.Namespace) -> Any:
    """The record: the paths, or a gather read from one .npz file."""
    if len(args.records) == 1 and str(args.records[0]).endswith(".npz"):
        return read(args.records[0])
    return list(args.records) if len(args.records) > 1 else args.records[0]


def correlation_options(args: argparse.Namespace) -> dict[str, Any]:
    if args.no_whiten and args.whiten:
        raise ValueError("give --whiten FMIN FMAX or --no-whiten, not both")
    options: dict[str, Any] = {
        "step": args.step, "max_lag": args.max_lag,
        "whiten": False if args.no_whiten else (tuple(args.whiten) if args.whiten else True),
        "normalization": args.normalization, "stacking": args.stacking,
        "start": _time(args.start), "stop": _time(args.stop), "workers": args.workers,
        "progress": not args.quiet, "reject": args.reject}
    if args.spacing is not None:
        options["spacing"] = args.spacing
    return options


def image_options(args: argparse.Namespace) -> dict[str, Any]:
    return {"velocities": tuple(args.velocities), "fmin": args.fmin, "fmax": args.fmax,
            "df": args.df}


class Outputs:
    """The output folder: targets checked at once, files written atomically
    and counted."""

    def __init__(self, folder: str, names: list[str], overwrite: bool) -> None:
        self.folder = Path(folder)
        if self.folder.exists() and not self.folder.is_dir():
            raise ValueError(f"--out {folder}: exists and is not a folder")
        self.overwrite = overwrite
        taken = [n for n in names if (self.folder / n).exists()]
        if taken and not overwrite:
            shown = ", ".join(taken[:4]) + (" ..." if len(taken) > 4 else "")
            raise ValueError(f"{folder} already holds {shown}: choose another --out or give "
                             f"--overwrite")
        self.folder.mkdir(parents=True, exist_ok=True)
        self.written: list[Path] = []

    def path(self, name: str) -> Path:
        return self.folder / name

    def write(self, name: str, writer: Callable[[Path], None]) -> None:
        """writer(path) writes the file atomically (overwrite as allowed)."""
        target = self.folder / name
        writer(target)
        self.written.append(target)
        print(f"wrote {target}", flush=True)

    def figure(self, name: str, fig: Any) -> None:
        self.write(name, lambda p: savefig(fig, p, overwrite=self.overwrite))

    def interrupted(self, extra: str = "") -> int:
        print(f"molvak: interrupted: wrote {len(self.written)} file(s) in {self.folder}"
              f"{extra}", file=sys.stderr)
        return 130
