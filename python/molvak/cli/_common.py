"""What the commands share: the usage error, running a step, writing a picture,
the option groups of the parsers.
"""
from __future__ import annotations

import argparse
import collections
import gc
import os
import re
import sys
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Optional, Union

import numpy as np

from .. import _outputs, estimators
from .._atomic import write_with
from ..curves import DispersionCurve
from ..image import DispersionImage
from ..plot import new_figure


class UsageError(Exception):
    """A mistake in the arguments or the input files, reported in one line."""


def run_step(label: str, fn: Callable[[], Any], err: Any) -> Any:
    """Call fn, printing its warnings as `molvak: warning:` lines."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = fn()
    for w in caught:
        print(f"molvak: warning: {label}: {w.message}", file=err)
    return result


def savefig(fig: Any, path: Path, *, overwrite: bool) -> None:
    write_with(path, lambda handle: fig.savefig(handle, format="png"), overwrite=overwrite)
    # A figure and its artists hold each other, so only the cycle collector
    # frees them, and it rarely visits objects as old as a finished figure:
    # 40 pictures of large images stayed in memory, 10 MB each. A collection
    # per picture costs about a tenth of the drawing.
    fig.clear()
    gc.collect()


def plot_image_file(image: DispersionImage, path: Path, *,
                curve: Union[None, DispersionCurve, Sequence[DispersionCurve]],
                truth: Any = None, wavelengths: Optional[tuple[float, float]] = None,
                normalize: str = "frequency", title: Optional[str] = None,
                invalid: bool = True, overwrite: bool = False) -> None:
    fig, ax = new_figure()
    image.plot(ax, normalize=normalize, picks=curve if curve is not None else False,
               truth=truth, wavelengths=wavelengths, title=title, invalid=invalid)
    savefig(fig, path, overwrite=overwrite)


def velocity_grid(vmin: float, vmax: float, dv: float, nv: Optional[int]) -> Any:
    """The velocity grid: nv values from vmin to vmax, or a dv step."""
    if nv is None:
        return (vmin, vmax, dv)
    if nv < 2 or not vmax > vmin:
        raise UsageError(f"--nv needs at least 2 velocities and --vmax above --vmin; got "
                         f"--nv {nv}, --vmin {vmin:g}, --vmax {vmax:g}")
    return np.linspace(vmin, vmax, nv)


def _natural_key(path: Path) -> tuple[Any, ...]:
    """Sort key that puts 2.dat before 10.dat."""
    return tuple(int(part) if part.isdigit() else part
                 for part in re.split(r"(\d+)", path.name))


def expand_paths(names: Sequence[str], notes: Optional[list[str]] = None, *,
                 skip: Optional[Path] = None) -> list[Path]:
    """The files named, with every folder replaced by the files in it
    (hidden files, molvak's own outputs and the file `skip`, a geometry
    table, left out), in natural order; a file named twice counts once."""
    paths: list[Path] = []
    skipped = skip.resolve() if skip is not None else None
    for name in names:
        path = Path(name)
        if path.is_dir():
            inside = sorted((p for p in path.iterdir() if p.is_file()
                             and not p.name.startswith(".") and p.resolve() != skipped),
                            key=_natural_key)
            outputs = [p for p in inside if _outputs.output_kind(p) is not None]
            inside = [p for p in inside if p not in outputs]
            if outputs and notes is not None:
                notes.append(f"{path}: {len(outputs)} output file(s) of molvak left out "
                             f"({outputs[0].name}{', ...' if len(outputs) > 1 else ''})")
            if not inside:
                raise UsageError(f"{path}: the folder holds no gathers"
                                 + (" (only outputs of molvak)" if outputs else ""))
            paths += inside
        else:
            if not path.exists():
                raise UsageError(f"{path}: no such file")
            kind = _outputs.output_kind(path)
            if kind is not None:
                raise UsageError(f"{path} is {kind} written by molvak, not a gather")
            paths.append(path)
    unique: list[Path] = []
    seen: dict[Path, Path] = {}
    for p in paths:
        key = p.resolve()
        if key in seen:
            if notes is not None:
                notes.append(f"{p} is {seen[key]}, given twice: imaged once")
        else:
            seen[key] = p
            unique.append(p)
    return unique


def mute_line(text: str) -> Any:
    """T0 (a time, s) or T0:V (the line t = T0 + offset / V)."""
    try:
        parts = [float(p) for p in text.split(":")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected T0 or T0:V (s, m/s); got {text!r}") \
            from None
    if len(parts) == 1:
        return parts[0]
    if len(parts) == 2 and parts[1] > 0:
        return (parts[0], parts[1])
    raise argparse.ArgumentTypeError(f"expected T0 or T0:V with V > 0 (s, m/s); got {text!r}")


def preparation_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("preparation of each gather (in this order)")
    g.add_argument("--detrend", nargs="?", const="linear", choices=["linear", "constant"],
                   help="remove every trace's straight line (or its mean: constant) over the "
                        "whole record; with --by-source after stacking")
    g.add_argument("--trim", nargs=2, type=float, metavar=("T0", "T1"),
                   help="keep the samples from T0 to T1 s after the shot (the recording "
                        "delay of the headers is honoured)")
    g.add_argument("--mute-before", type=mute_line, metavar="T0[:V]",
                   help="zero the samples before the line t = T0 + offset / V (s, m/s; T0 "
                        "alone: a time)")
    g.add_argument("--mute-after", type=mute_line, metavar="T0[:V]",
                   help="zero the samples after the line t = T0 + offset / V")
    g.add_argument("--mute-taper", type=float, default=0.0, metavar="S",
                   help="length of the cosine ramps at the mute lines, s (default 0)")


def geometry_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("geometry and sampling (overriding the files')")
    g.add_argument("--dt", type=float, help="sample interval, s")
    g.add_argument("--offsets", help="offsets of every file, m: a file (.npy or text), "
                   "START:STEP or a comma-separated list")
    g.add_argument("--geometry", metavar="TABLE.csv",
                   help="one row per file: file, source, first_receiver, spacing "
                        "[, direction, dt] (positions along the line, m), or MASWavesPy's "
                        "file_name, dx, x1, direction [, n, header_lines]")
    g.add_argument("--transpose", action="store_true",
                   help="the file holds one row per time sample (not per trace)")


def grid_options(p: argparse.ArgumentParser, vmin: float, vmax: float, dv: float,
                  fmin: Optional[float], fmax: Optional[float], df: Optional[float]) -> None:
    g = p.add_argument_group("grids")
    g.add_argument("--vmin", type=float, default=vmin, help="lowest trial phase velocity, m/s "
                   "(default %(default)s)")
    g.add_argument("--vmax", type=float, default=vmax, help="highest trial phase velocity, m/s "
                   "(default %(default)s)")
    g.add_argument("--dv", type=float, default=dv, help="velocity step, m/s (default %(default)s)")
    g.add_argument("--nv", type=int, help="number of velocities spaced evenly from --vmin to "
                   "--vmax, both included (instead of --dv)")
    g.add_argument("--fmin", type=float, default=fmin, help="lowest frequency, Hz "
                   "(default %(default)s)")
    g.add_argument("--fmax", type=float, default=fmax, help="highest frequency, Hz "
                   "(default %(default)s; the work grows with the band)")
    g.add_argument("--df", type=float, default=df, help="frequency step wanted, Hz (the record "
                   "is zero padded to reach it; default: the record's own 1 / duration)")
    g.add_argument("--workers", type=int, default=1, help="threads: gathers imaged at once, "
                   "or the velocities of a single gather split over them; the results do not "
                   "depend on it (default %(default)s)")


def estimator_flags(p: argparse.ArgumentParser) -> None:
    """One group of flags per estimator with options, from the registry."""
    declared = set()
    for entry in estimators.entries():
        fresh = [o for o in entry.options if o.name not in declared]
        if not fresh:
            continue
        group = p.add_argument_group(f"options of --method {entry.name}")
        for option in fresh:
            declared.add(option.name)
            text = f"{option.help} (default {option.default})"
            if isinstance(option.default, bool):
                group.add_argument(option.flag, dest="opt_" + option.name, default=None,
                                   action=argparse.BooleanOptionalAction, help=text)
            else:
                group.add_argument(option.flag, dest="opt_" + option.name, default=None,
                                   type=option.convert, choices=option.choices, help=text)


def number_list(text: str) -> list[float]:
    """Numbers given as a comma-separated list, or START:STOP:COUNT spaced
    evenly in log from START to STOP."""
    try:
        if ":" in text:
            start, stop, count = text.split(":")
            values = np.geomspace(float(start), float(stop), int(count))
        else:
            values = np.array([float(v) for v in text.split(",") if v.strip()])
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected numbers like 2,5,10 or START:STOP:COUNT like 2:20:12; got {text!r}"
        ) from None
    if values.size == 0 or not (np.isfinite(values) & (values > 0)).all():
        raise argparse.ArgumentTypeError(f"expected positive numbers; got {text!r}")
    return [float(v) for v in values]


@dataclass
class Report:
    """What the run has done, for the last line (also after Ctrl-C)."""

    total: int
    files_per_result: int
    written: list[Path] = field(default_factory=list)
    failures: list[str] = field(default_factory=list)

    pending: Optional[tuple[Path, Optional[tuple[int, int]]]] = None

    def writing(self, path: Path) -> None:
        """Note a file about to be written (and the time of any file of that
        name), so that an interrupt between its naming and :meth:`wrote`
        still counts it: a named file is complete."""
        try:
            info = os.stat(path)
            before: Optional[tuple[int, int]] = (info.st_ino, info.st_mtime_ns)
        except OSError:
            before = None
        self.pending = (path, before)

    def wrote(self, path: Path) -> None:
        self.pending = None
        self.written.append(path)
        print(f"wrote {path}", flush=True)

    def settle(self) -> None:
        """After an interrupt: count the file being written if it got its name."""
        if self.pending is None:
            return
        path, before = self.pending
        try:
            info = os.stat(path)
            now: Optional[tuple[int, int]] = (info.st_ino, info.st_mtime_ns)
        except OSError:
            now = None
        if now is not None and now != before:
            self.wrote(path)
        self.pending = None

    def fail(self, label: str, message: str) -> None:
        text = message if message.startswith(label) else f"{label}: {message}"
        self.failures.append(text)
        print(f"molvak: error: {text}", file=sys.stderr, flush=True)

    @property
    def results(self) -> int:
        """Gathers whose every file is written."""
        stems = collections.Counter(p.with_suffix("") for p in self.written)
        return sum(1 for count in stems.values() if count == self.files_per_result)

    def summary(self) -> str:
        return (f"wrote {len(self.written)} file(s), the results of {self.results} of "
                f"{self.total} gather(s)")


def estimator_options(args: argparse.Namespace, method: estimators.Estimator,
                       ) -> dict[str, Any]:
    """The estimator's keywords: the common grids and the method's own
    options; an option of another method is refused."""
    options: dict[str, Any] = dict(
        velocities=velocity_grid(args.vmin, args.vmax, args.dv, args.nv), fmin=args.fmin,
        fmax=args.fmax, df=args.df, keep_dead=args.keep_dead)
    own = {o.name for o in method.options}
    for entry in estimators.entries():
        for option in entry.options:
            value = getattr(args, "opt_" + option.name, None)
            if value is None or option.name in own:
                continue
            users = [e.name for e in estimators.entries()
                     if option.name in {o.name for o in e.options}]
            raise UsageError(f"{option.flag} is an option of --method {' or '.join(users)}, "
                             f"not of {method.name}")
    for option in method.options:
        value = getattr(args, "opt_" + option.name, None)
        options[option.name] = option.default if value is None else value
    return options
