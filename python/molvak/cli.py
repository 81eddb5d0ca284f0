"""The `molvak` command line.

    molvak demo [--out demo]
    molvak gather GATHER [GATHER ...] [--trim T0 T1] [--mute-before T0:V] [--out DIR]
    molvak image GATHER [GATHER ...] [--method phase_shift] [--stack] [--out DIR]
    molvak image SHOTS/ --by-source --detrend --trim 0 0.5 --method fdbf [--out DIR]
    molvak image --geometry TABLE.csv --dt 0.001 [--modes 2] [--all-picks]
    molvak combine RESULTS/ [--out site]        (also molvak stats)
    molvak review RESULTS/

`molvak image` is a pipeline of small stages, each taking plain values and
handing plain values on:

    inputs    the files named, folders expanded (molvak's own outputs skipped)
    geometry  what the files lack (--dt, --offsets), checked for all at once;
              the output names, checked against inputs and existing files
    gathers   read one file at a time (--by-source: all read, grouped, stacked)
    image     by the estimator from the registry, on threads or Dask workers
    outputs   <stem>.csv, .png and .npz, each written atomically when ready

Mistakes in the arguments, the output folder or the files are reported
before any imaging, in one line, with status 2. A gather that fails while
imaging is reported and the others go on (status 2 at the end); Ctrl-C stops
with status 130 and a line saying what was written. Warnings (dead traces
left out) are printed and the work goes on.
"""
from __future__ import annotations

import argparse
import collections
import csv
import functools
import gc
import os
import re
import sys
import warnings
import zipfile
from collections import deque
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Optional, Union

import numpy as np

from . import __version__, _invert, _outputs, _review, estimators, io, synthetic
from ._atomic import atomic_open, write_with
from ._progress import Progress
from .batch import GatherError, stream
from .gather import Gather, group_by_source, stack_gathers
from .image import DispersionCurve, DispersionImage, read_curves, stack, write_curves
from .io.geometry import GeometryRow, read_geometry

TEXT_SUFFIXES = {".txt", ".csv", ".dat", ".asc"}


class UsageError(Exception):
    """A mistake in the arguments or the input files, reported in one line."""


# --------------------------------------------------------------------------
# shared helpers


def _run(label: str, fn: Callable[[], Any], err: Any) -> Any:
    """Call fn, printing its warnings as `molvak: warning:` lines."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = fn()
    for w in caught:
        print(f"molvak: warning: {label}: {w.message}", file=err)
    return result


def _savefig(fig: Any, path: Path, *, overwrite: bool) -> None:
    write_with(path, lambda handle: fig.savefig(handle, format="png"), overwrite=overwrite)
    # A figure and its artists hold each other, so only the cycle collector
    # frees them, and it rarely visits objects as old as a finished figure:
    # 40 pictures of large images stayed in memory, 10 MB each. A collection
    # per picture costs about a tenth of the drawing.
    fig.clear()
    gc.collect()


def _plot_image(image: DispersionImage, path: Path, *,
                curve: Union[None, DispersionCurve, Sequence[DispersionCurve]],
                truth: Any = None, wavelengths: Optional[tuple[float, float]] = None,
                normalize: str = "frequency", title: Optional[str] = None,
                invalid: bool = True, overwrite: bool = False) -> None:
    from .plot import new_figure
    fig, ax = new_figure()
    image.plot(ax, normalize=normalize, picks=curve if curve is not None else False,
               truth=truth, wavelengths=wavelengths, title=title, invalid=invalid)
    _savefig(fig, path, overwrite=overwrite)


def _plot_gather(g: synthetic.SyntheticGather, path: Path, *, overwrite: bool) -> None:
    from .plot import new_figure
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
    _savefig(fig, path, overwrite=overwrite)


def _velocities(vmin: float, vmax: float, dv: float, nv: Optional[int]) -> Any:
    """The velocity grid: nv values from vmin to vmax, or a dv step."""
    if nv is None:
        return (vmin, vmax, dv)
    if nv < 2 or not vmax > vmin:
        raise UsageError(f"--nv needs at least 2 velocities and --vmax above --vmin; got "
                         f"--nv {nv}, --vmin {vmin:g}, --vmax {vmax:g}")
    return np.linspace(vmin, vmax, nv)


# --------------------------------------------------------------------------
# molvak demo


def cmd_demo(args: argparse.Namespace) -> int:
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

    grid = dict(velocities=_velocities(args.vmin, args.vmax, args.dv, args.nv), fmin=args.fmin,
                fmax=args.fmax, df=args.df, workers=args.workers)
    progress = Progress(len(shown) + (0 if args.no_plot else len(shown) + 1), "demo",
                        stream=err, enabled=not args.quiet)
    rows: list[list[Any]] = []
    summary = []
    for entry in shown:
        image = _run(entry.name, functools.partial(entry.function, g.data, g.offsets, g.dt,
                                                   **grid), err)
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
            _plot_image(image, path, curve=curve.select(fmin=band[0], fmax=band[1]),
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


# --------------------------------------------------------------------------
# molvak image: what the stages pass on


@dataclass(frozen=True)
class Reading:
    """How to read the input files, and what to do to each gather."""

    dt: Optional[float]
    offsets: Optional[str]          # the --offsets text, checked by parse_offsets
    transpose: bool
    format: Optional[str]
    trim: Optional[tuple[float, float]]
    detrend: Optional[str] = None
    mute: Optional[tuple[Any, Any, float]] = None        # before, after, taper
    geometry: Optional[dict[Path, GeometryRow]] = None  # by resolved path

    def prepare(self, g: Gather) -> Gather:
        """The gather detrended (the whole record), trimmed and muted, as asked."""
        if self.detrend is not None:
            g = g.detrend(self.detrend)
        if self.trim is not None:
            g = g.trim(*self.trim)
        if self.mute is not None:
            g = g.mute(self.mute[0], self.mute[1], taper=self.mute[2])
        return g

    def row(self, path: Path) -> Optional[GeometryRow]:
        return None if self.geometry is None else self.geometry.get(path.resolve())


@dataclass(frozen=True)
class Imaging:
    """How to image: the registry entry and its keyword arguments."""

    method: estimators.Estimator
    options: dict[str, Any]         # for the estimator, without workers
    workers: int
    scheduler: Optional[str]


@dataclass(frozen=True)
class Writing:
    """What to write, where."""

    folder: Path
    method: str
    overwrite: bool
    plot: bool
    npz: bool
    normalize: str
    pick: tuple[Optional[float], Optional[float]]
    modes: Optional[int] = None
    all_picks: bool = False

    @property
    def kinds(self) -> tuple[str, ...]:
        return ("csv",) + (("npz",) if self.npz else ()) + (("png",) if self.plot else ())

    def files(self, base: str) -> list[Path]:
        return [self.folder / f"{base}.{self.method}.{kind}" for kind in self.kinds]


@dataclass
class Item:
    """One gather to image and the base name of its outputs."""

    base: str
    label: str                      # for messages: the file, or the source position
    gather: Gather
    title: Optional[str] = None


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


# --------------------------------------------------------------------------
# stage 1: inputs


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


# --------------------------------------------------------------------------
# stage 2: geometry, and the names of the outputs


def parse_offsets(text: str) -> Callable[[int], np.ndarray]:
    """Offsets from a file, a START:STEP rule or a comma-separated list."""
    path = Path(text)
    if path.exists():
        try:
            values = np.load(path) if path.suffix == ".npy" else np.loadtxt(
                path, delimiter="," if path.suffix == ".csv" else None, ndmin=1)
        except (OSError, ValueError) as exc:
            raise UsageError(f"--offsets {text}: cannot read the file ({exc})") from None
        values = np.asarray(values, dtype=np.float64).ravel()
        return lambda n: values
    if ":" in text:
        try:
            start, step = (float(p) for p in text.split(":"))
        except ValueError:
            raise UsageError(f"--offsets {text!r}: expected START:STEP, e.g. 5:1") from None
        return lambda n: start + step * np.arange(n, dtype=np.float64)
    try:
        values = np.array([float(p) for p in text.split(",")])
    except ValueError:
        raise UsageError(f"--offsets {text!r} is neither a file, START:STEP nor a "
                         f"comma-separated list of numbers") from None
    return lambda n: values


def _format(path: Path, reading: Reading) -> str:
    if reading.format is not None:
        return reading.format
    try:
        return io.detect_format(path)
    except OSError as exc:
        raise UsageError(f"{path}: cannot read the file ({exc.strerror or exc})") from None


MISSING_TEXT = {"dt": "no sample interval", "offsets": "no offsets"}
MISSING_HINT = {"dt": "--dt (seconds)", "offsets": "--offsets (a file, START:STEP or a list)"}


def _missing_text(missing: Sequence[str]) -> str:
    return (" and ".join(MISSING_TEXT[m] for m in missing) + "; give "
            + " and ".join(MISSING_HINT[m] for m in missing))


def missing_arguments(paths: Sequence[Path], reading: Reading) -> Optional[str]:
    """Every file that lacks what --dt or --offsets would give, in one line:
    .npy and text files hold the samples alone; a .npz says by its arrays."""
    by_need: dict[tuple[str, ...], list[Path]] = {}
    for path in paths:
        fmt = _format(path, reading)
        if fmt in ("NPY", "TEXT"):
            has_dt = has_offsets = False
        elif fmt == "NPZ":
            try:
                with zipfile.ZipFile(path) as archive:
                    arrays = {n[:-4] for n in archive.namelist() if n.endswith(".npy")}
            except (zipfile.BadZipFile, OSError):
                continue        # the reader says what is wrong with it
            if "data" not in arrays:
                continue        # not a gather at all: the same
            has_dt = "dt" in arrays
            has_offsets = "offsets" in arrays or {"source", "receivers"} <= arrays
        else:
            continue            # SEG-2 and SEG-Y carry both in their headers
        row = reading.row(path)
        if row is not None:
            has_offsets = True
            has_dt = has_dt or row.dt is not None
        need = tuple(name for name, has, given in (("dt", has_dt, reading.dt),
                                                   ("offsets", has_offsets, reading.offsets))
                     if not has and given is None)
        if need:
            by_need.setdefault(need, []).append(path)
    if not by_need:
        return None
    parts = []
    for need, files in by_need.items():
        shown = ", ".join(str(p) for p in files[:4]) + (
            f" and {len(files) - 4} more" if len(files) > 4 else "")
        parts.append(f"{shown}: {_missing_text(need)}")
    return "; ".join(parts)


def load_gathers(path: Path, reading: Reading,
                 offsets: Optional[Callable[[int], np.ndarray]] = None, *,
                 raw: bool = False) -> list[Gather]:
    """The gathers in one file: one, or one per shot of a SEG-Y file.

    SEG-2 and SEG-Y files carry dt, the recording delay and the geometry in
    their headers; a .npz holds the arrays `data` (traces x samples),
    `offsets` and the scalar `dt` (and may hold `delay`, `source` and
    `receivers`); a .npy or a text matrix holds the data alone (one row per
    trace; --transpose when the rows are time samples, which a text file
    whose header titles its columns "Channel 1", ... says by itself), and
    --dt and --offsets are then required. --dt and --offsets override the
    file; a row of the --geometry table gives the file's source and receiver
    positions. --detrend, --trim and --mute are applied unless `raw`.
    """
    if not path.exists():
        raise UsageError(f"{path}: no such file")
    if offsets is None and reading.offsets is not None:
        offsets = parse_offsets(reading.offsets)
    try:
        row = reading.row(path)
        record = io._load(path, reading.format, layout="columns" if reading.transpose else None,
                          header_lines=None if row is None else row.header_lines)
        dt = reading.dt if reading.dt is not None or row is None else row.dt
        missing = [name for name, lacking in
                   (("dt", dt is None and record.dt is None),
                    ("offsets", offsets is None and row is None
                     and not io.has_geometry(record))) if lacking]
        if missing:
            raise UsageError(f"{path}: {_missing_text(missing)}")
        nx = record.data.shape[0]
        if row is not None:
            if row.channels is not None and row.channels != nx:
                raise UsageError(f"{path}: the file holds {nx} traces; the geometry table "
                                 f"gives {row.channels} (n, {row.where()})")
            found = [io._finish(path, record, dt=dt, source=row.source,
                                receivers=row.receivers(nx))]
        elif offsets is not None:
            found = [io._finish(path, record, dt=dt, offsets=offsets(nx))]
        else:
            found = io._split_shots(path, record, dt=dt)
        return found if raw else [reading.prepare(g) for g in found]
    except UsageError:
        raise
    except (OSError, ValueError, TypeError) as exc:
        raise UsageError(str(exc)) from None


def by_source_items(paths: Sequence[Path], reading: Reading,
                    offsets: Optional[Callable[[int], np.ndarray]]) -> list[Item]:
    """Every file read, the shots grouped by source position and each group
    stacked in the time domain. All faults of all files are reported
    together, before any imaging: a stack short of a shot is no stack."""
    shots: list[Gather] = []
    faults: list[str] = []
    for path in paths:
        try:
            for g in load_gathers(path, reading, offsets, raw=True):
                if g.source is None:
                    faults.append(f"{path}: no source position in the file; --by-source needs "
                                  f"it (SEG-2, SEG-Y, a .npz with source and receivers, or "
                                  f"--geometry)")
                else:
                    shots.append(g)
        except UsageError as exc:
            faults.append(str(exc))
    if faults:
        more = f" (and {len(faults) - 1} more: {'; '.join(faults[1:3])})" if len(faults) > 1 \
            else ""
        raise UsageError(faults[0] + more)
    items = []
    for members in group_by_source(shots).values():
        try:
            stacked = reading.prepare(stack_gathers(members))
        except ValueError as exc:
            raise UsageError(str(exc)) from None
        source = members[0].source
        assert source is not None       # shots without one were refused above
        where = " ".join(_outputs.exact(v) for v in source)
        names = ", ".join(m.name for m in members)
        print(f"source at {where} m: {len(members)} shot(s) stacked ({names}); "
              f"{stacked.shape[0]} traces, offsets {stacked.offsets.min():g} to "
              f"{stacked.offsets.max():g} m, {stacked.shape[1]} samples from "
              f"{stacked.delay:g} s")
        base = "source_" + "_".join(_outputs.exact(v) for v in source)
        items.append(Item(base, f"source at {where} m", stacked,
                          f"source at {where} m, {len(members)} shot(s) stacked"))
    return items


def file_items(paths: Sequence[Path], bases: Sequence[str], reading: Reading,
               offsets: Optional[Callable[[int], np.ndarray]], report: Report,
               ) -> Iterator[Item]:
    """The gathers of the files, read one file at a time as the imaging
    stage asks for them; a file that cannot be read is reported and left
    out."""
    for path, base in zip(paths, bases):
        try:
            found = load_gathers(path, reading, offsets)
        except UsageError as exc:
            report.fail(str(path), str(exc))
            continue
        report.total += len(found) - 1          # a file of several shots
        for k, g in enumerate(found):
            name = base if len(found) == 1 else f"{base}.shot{k}"
            label = str(path) if len(found) == 1 else f"{path} (shot {k})"
            yield Item(name, label, g, g.name if len(found) == 1 else f"{g.name}, shot {k}")


# --------------------------------------------------------------------------
# stage 3: image


def image_items(items: Iterator[Item], imaging: Imaging, report: Report, total: int,
                ) -> Iterator[tuple[Item, DispersionImage]]:
    """The image of every item, in order, as each is done. One gather at a
    time (--workers 1, or a single gather of `total`) has its velocities
    split over the threads; several at a time (on threads or Dask workers)
    take one thread each. A gather that fails is reported and left out."""
    err = sys.stderr
    estimator = imaging.method.function
    if imaging.scheduler is None and (imaging.workers == 1 or total == 1):
        for item in items:
            try:
                g = item.gather
                image = _run(g.name, functools.partial(
                    estimator, g.data, g.offsets, g.dt, workers=imaging.workers,
                    **imaging.options), err)
            except (ValueError, TypeError) as exc:
                report.fail(item.label, str(exc))
                continue
            yield item, image
        return
    queue: deque = deque()

    def gathers() -> Iterator[Gather]:
        for item in items:
            queue.append(item)
            yield item.gather

    client = _connect(imaging.scheduler)
    try:
        outcomes = stream(gathers(), imaging.method.name, imaging.options, client=client,
                          workers=imaging.workers, fail_fast=False)
        for outcome in outcomes:
            item = queue.popleft()
            for _, message in outcome.warnings:
                print(f"molvak: warning: {item.gather.name}: {message}", file=err)
            if isinstance(outcome.result, GatherError):
                report.fail(item.label, str(outcome.result.error))
                continue
            yield item, outcome.result
    finally:
        if client is not None:
            client.close()


def _connect(address: Optional[str]) -> Any:
    if address is None:
        return None
    try:
        from dask.distributed import Client
    except ImportError:
        raise UsageError("--scheduler needs Dask: pip install 'molvak[dask]'") from None
    try:
        return Client(address, timeout=30)
    except (OSError, TimeoutError) as exc:
        raise UsageError(f"--scheduler {address}: cannot connect ({exc})") from None


# --------------------------------------------------------------------------
# stage 4: outputs


def write_result(base: str, label: str, title: Optional[str], image: DispersionImage,
                 writing: Writing, report: Report) -> None:
    """The picks, the image and its picture (titled by `title`), each file
    written atomically as soon as it is ready, under the names of `base`;
    then a line saying how many picks are valid, and where."""
    stem = writing.folder / f"{base}.{writing.method}"
    try:
        lo, hi = writing.pick
        if writing.modes is None:
            curves = [image.pick(lo, hi)]
        else:
            curves = image.pick(lo, hi, modes=writing.modes)
        path = Path(f"{stem}.csv")
        report.writing(path)
        write_curves(curves, path, overwrite=writing.overwrite)
        report.wrote(path)
        if writing.npz:
            path = Path(f"{stem}.npz")
            report.writing(path)
            image.save(path, overwrite=writing.overwrite)
            report.wrote(path)
        if writing.plot:
            path = Path(f"{stem}.png")
            name = estimators.label(image.method)
            if image.method.startswith("stack:"):
                title = f"{name} of {image.params['shots']} gathers"
            elif title is not None:
                title = f"{name}: {title}"
            report.writing(path)
            _plot_image(image, path, curve=curves, normalize=writing.normalize, title=title,
                        invalid=writing.all_picks, overwrite=writing.overwrite)
            report.wrote(path)
    except FileExistsError as exc:
        report.fail(label, f"{exc.filename} appeared while imaging; not replaced "
                           f"(give --overwrite to replace it)")
        return
    except (ValueError, OSError) as exc:
        report.fail(label, f"cannot write its results: {exc}")
        return
    print(f"{label}: {pick_summary(curves, writing.all_picks)}", flush=True)


def pick_summary(curves: Sequence[DispersionCurve], all_picks: bool = False) -> str:
    """One line: the valid picks of each mode and the band they cover."""
    parts = []
    for c in curves:
        chosen = c if all_picks else c.select(valid=True)
        head = (f"mode {c.mode}: " if len(curves) > 1 else "")
        if not len(chosen):
            parts.append(f"{head}no pick" if all_picks or not len(c)
                         else f"{head}no valid pick (of {len(c)})")
            continue
        count = f"{len(chosen)} picks" if all_picks else \
            f"{len(chosen)} of {len(c)} picks valid"
        parts.append(f"{head}{count}, {chosen.frequency.min():.4g}-"
                     f"{chosen.frequency.max():.4g} Hz, wavelengths "
                     f"{chosen.wavelength.min():.3g}-{chosen.wavelength.max():.3g} m")
    return "; ".join(parts)


# --------------------------------------------------------------------------
# molvak image: the stages in order


def cmd_image(args: argparse.Namespace) -> int:
    notes: list[str] = []
    method = estimators.get(args.method)
    imaging = Imaging(method, _estimator_options(args, method), args.workers, args.scheduler)
    if args.modes is not None and args.modes < 1:
        raise UsageError(f"--modes must be at least 1; got {args.modes}")
    writing = Writing(Path(args.out), method.name, args.overwrite, not args.no_plot,
                      not args.no_npz, args.normalize, (args.pick_vmin, args.pick_vmax),
                      args.modes, args.all_picks)
    offsets = parse_offsets(args.offsets) if args.offsets is not None else None

    # 1. inputs, and what the files lack, for all of them at once
    paths, reading = inputs_and_reading(args, notes)
    problem = missing_arguments(paths, reading)
    if problem is not None:
        raise UsageError(problem)
    # 2. geometry and the names of the outputs, checked before any work
    problem = _outputs.check_folder(writing.folder)
    if problem is not None:
        raise UsageError(problem)
    if args.by_source:
        items: list[Item] = by_source_items(paths, reading, offsets)
        bases = [item.base for item in items]
        total = len(items)
    else:
        bases, clash_notes = _outputs.unique_bases(paths)
        notes += clash_notes
        total = len(paths)
    targets = [f for base in (["stack"] if args.stack else bases) for f in writing.files(base)]
    if not args.by_source and not args.stack:
        targets += _other_shots(paths, bases, writing, reading)
    problem = _outputs.clobbered(targets, paths, writing.overwrite)
    if problem is not None:
        raise UsageError(problem)
    for note in notes:
        print(f"molvak: note: {note}", file=sys.stderr)

    # 3-5. gathers read, imaged and written out one at a time
    report = Report(1 if args.stack else total, len(writing.kinds))
    progress = Progress(total + (1 if args.stack else 0), "imaging", stream=sys.stderr,
                        enabled=not args.quiet)
    source = iter(items) if args.by_source else file_items(paths, bases, reading, offsets,
                                                           report)
    interrupted = False
    try:
        if args.stack:
            if not _image_stack(source, imaging, writing, report, progress,
                                args.stack_normalize):
                return 2
        else:
            for item, image in image_items(source, imaging, report, total):
                write_result(item.base, item.label, item.title, image, writing, report)
                progress.step(item.label)
                del image
    except KeyboardInterrupt:
        report.settle()
        interrupted = True
    if interrupted:
        # the traceback is gone here: writers it held (a zip archive cut
        # short) are closed now, and what they report comes before the last line
        gc.collect()
        print(f"molvak: interrupted: {report.summary()}", file=sys.stderr, flush=True)
        return 130
    if report.failures:
        print(f"molvak: error: {len(report.failures)} gather(s) not imaged (above); "
              f"{report.summary()}", file=sys.stderr)
        return 2
    return 0


def inputs_and_reading(args: argparse.Namespace, notes: list[str],
                       ) -> tuple[list[Path], Reading]:
    """The input files (folders expanded; with --geometry and no files, the
    table's) and how to read and prepare them."""
    if args.geometry is not None and args.offsets is not None:
        raise UsageError("give --offsets or --geometry, not both")
    table = Path(args.geometry) if args.geometry is not None else None
    if not args.gathers and table is None:
        raise UsageError("no gathers given: name files or folders, or a --geometry table")
    paths = expand_paths(args.gathers, notes, skip=table) if args.gathers else []
    rows = None
    if table is not None:
        paths, rows = match_geometry(paths, table)
    mute = None
    if args.mute_before is not None or args.mute_after is not None:
        mute = (args.mute_before, args.mute_after, args.mute_taper)
    reading = Reading(args.dt, args.offsets, args.transpose, args.format,
                      tuple(args.trim) if args.trim is not None else None, args.detrend,
                      mute, rows)
    return paths, reading


def match_geometry(paths: list[Path], table: Path) -> tuple[list[Path], dict[Path, GeometryRow]]:
    """Every input's row of the geometry table (by path, else by file name),
    or the table's files when no input is named; one line for every file
    the table lacks."""
    try:
        rows = read_geometry(table)
    except ValueError as exc:
        raise UsageError(f"--geometry {exc}") from None
    by_path = {row.path.resolve(): row for row in rows}
    if not paths:
        return [row.path for row in rows], by_path
    by_name: dict[str, list[GeometryRow]] = {}
    for entry in rows:
        by_name.setdefault(entry.path.name, []).append(entry)
    out: dict[Path, GeometryRow] = {}
    lacking: list[Path] = []
    for path in paths:
        row: Optional[GeometryRow] = by_path.get(path.resolve())
        if row is None:
            named = by_name.get(path.name, [])
            if len(named) > 1:
                raise UsageError(f"--geometry {table}: {path.name} is named by "
                                 f"{named[0].where()} and {named[1].where()}; give the "
                                 f"files themselves")
            row = named[0] if named else None
        if row is None:
            lacking.append(path)
        else:
            out[path.resolve()] = row
    if lacking:
        shown = ", ".join(str(p) for p in lacking[:4]) + (
            f" and {len(lacking) - 4} more" if len(lacking) > 4 else "")
        raise UsageError(f"--geometry {table}: no row for {shown}")
    return paths, out


def _image_stack(source: Iterator[Item], imaging: Imaging, writing: Writing, report: Report,
                 progress: Progress, normalize: str) -> bool:
    """Stack the images as they come, in the memory of one image and the
    sum; any gather that fails leaves the stack unwritten."""
    def images() -> Iterator[DispersionImage]:
        for item, image in image_items(source, imaging, report, 0):
            progress.step(item.label)
            if report.failures:
                return
            yield image
    try:
        stacked = stack(images(), normalize=normalize)
    except ValueError as exc:
        if not report.failures:
            raise UsageError(str(exc)) from None
    if report.failures:
        print(f"molvak: error: no stack written: {len(report.failures)} gather(s) not "
              f"imaged (above)", file=sys.stderr)
        return False
    write_result("stack", "stack", None, stacked, writing, report)
    progress.step("stack")
    return not report.failures


def _other_shots(paths: Sequence[Path], bases: Sequence[str], writing: Writing,
                 reading: Reading) -> list[Path]:
    """The existing outputs of the shots of SEG-Y and SU files, which may
    hold several (<file>.shot<k>.<method>.*): their number is known only
    once read, the names before."""
    found = []
    for path, base in zip(paths, bases):
        if _format(path, reading) in ("SEGY", "SU"):
            pattern = re.compile(re.escape(base) + r"\.shot\d+\." + re.escape(writing.method)
                                 + r"\.(" + "|".join(writing.kinds) + ")$")
            found += [p for p in writing.folder.iterdir() if pattern.match(p.name)]
    return found


def _estimator_options(args: argparse.Namespace, method: estimators.Estimator,
                       ) -> dict[str, Any]:
    """The estimator's keywords: the common grids and the method's own
    options; an option of another method is refused."""
    options: dict[str, Any] = dict(
        velocities=_velocities(args.vmin, args.vmax, args.dv, args.nv), fmin=args.fmin,
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


# --------------------------------------------------------------------------
# molvak gather: pictures of the records, to choose the window


def cmd_gather(args: argparse.Namespace) -> int:
    notes: list[str] = []
    if args.gathers == [] and args.geometry is None:
        raise UsageError("no gathers given: name files or folders, or a --geometry table")
    paths, reading = inputs_and_reading(args, notes)
    problem = missing_arguments(paths, reading)
    if problem is None:
        problem = _outputs.check_folder(Path(args.out))
    if problem is not None:
        raise UsageError(problem)
    bases, clash_notes = _outputs.unique_bases(paths)
    folder = Path(args.out)
    targets = [folder / f"{base}.gather.png" for base in bases]
    problem = _outputs.clobbered(targets, paths, args.overwrite)
    if problem is not None:
        raise UsageError(problem)
    for note in notes + clash_notes:
        print(f"molvak: note: {note}", file=sys.stderr)
    # the lines are drawn on the record as read (detrended when asked), not applied
    shown = Reading(reading.dt, reading.offsets, reading.transpose, reading.format, None,
                    reading.detrend, None, reading.geometry)
    mute = None if reading.mute is None else reading.mute[:2]
    offsets = parse_offsets(args.offsets) if args.offsets is not None else None
    report = Report(len(paths), 1)
    progress = Progress(len(paths), "drawing", stream=sys.stderr, enabled=not args.quiet)
    from .plot import new_figure
    try:
        for path, base in zip(paths, bases):
            try:
                found = load_gathers(path, shown, offsets)
            except UsageError as exc:
                report.fail(str(path), str(exc))
                continue
            for k, g in enumerate(found):
                name = f"{base}.gather.png" if len(found) == 1 else f"{base}.shot{k}.gather.png"
                target = folder / name
                fig, ax = new_figure((7.5, 5.5))
                title = f"{g.name}: {g.shape[0]} traces, {g.dt * 1e3:g} ms" + (
                    "" if len(found) == 1 else f", shot {k}")
                g.plot(ax, kind=args.kind, trim=reading.trim, mute=mute, title=title)
                report.writing(target)
                try:
                    _savefig(fig, target, overwrite=args.overwrite)
                except FileExistsError:
                    report.fail(str(path), f"{target} appeared meanwhile; not replaced")
                    continue
                report.wrote(target)
            progress.step(str(path))
    except KeyboardInterrupt:
        report.settle()
        print(f"molvak: interrupted: wrote {len(report.written)} picture(s)", file=sys.stderr)
        return 130
    return 2 if report.failures else 0


# --------------------------------------------------------------------------
# molvak combine, molvak stats: one curve with its uncertainty from many


def curve_files(names: Sequence[str]) -> list[Path]:
    """The picks CSVs named, folders replaced by the picks files in them; a
    reviewed file (<stem>.reviewed.csv) takes the place of its original."""
    found: list[Path] = []
    for name in names:
        path = Path(name)
        if path.is_dir():
            inside = sorted((p for p in path.rglob("*.csv") if p.is_file()
                             and _outputs.output_kind(p) == "a dispersion curve"),
                            key=_natural_key)
            reviewed = {p.name[:-len(".reviewed.csv")] for p in inside
                        if p.name.endswith(".reviewed.csv")}
            inside = [p for p in inside if not (p.name.endswith(".csv") and
                                                p.name[:-4] in reviewed)]
            if not inside:
                raise UsageError(f"{path}: the folder holds no picks (CSV files of "
                                 f"dispersion curves)")
            found += inside
        elif not path.is_file():
            raise UsageError(f"{path}: no such file")
        else:
            found.append(path)
    return found


def cmd_curves(args: argparse.Namespace) -> int:
    from .curves import combine, statistics
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
    report = Report(1, len(targets))
    for target, kind in zip(targets, kinds):
        report.writing(target)
        if kind == "csv":
            site.to_csv(target, overwrite=args.overwrite)
        elif kind == "json":
            site.to_json(target, overwrite=args.overwrite)
        elif kind == "txt":
            known = np.isfinite(site.lognormal_std) | (args.min_std > 0)
            if not known.all():
                print(f"molvak: note: {int((~known).sum())} point(s) without a standard "
                      f"deviation (one pick) left out of {target}", file=sys.stderr)
            if not known.any():
                continue
            site_known = _points(site, known)
            site_known.to_dinver(target, min_lognormal_std=args.min_std,
                                 overwrite=args.overwrite)
        else:
            from .plot import new_figure
            fig, ax = new_figure()
            site.plot(ax, curves=curves, valid_only=valid_only,
                      title=f"{'Site curve' if args.command == 'combine' else 'Statistics'} "
                            f"of {len(curves)} curve(s), mode {args.mode}")
            _savefig(fig, target, overwrite=args.overwrite)
        report.wrote(target)
    return 0


def _points(curve: Any, keep: np.ndarray) -> Any:
    """The points of an UncertainCurve at a mask."""
    from .curves import UncertainCurve
    columns: dict[str, Any] = {c: getattr(curve, c)[keep] for c in UncertainCurve.COLUMNS}
    return UncertainCurve(**columns, domain=curve.domain)
# molvak sweep


def _numbers(text: str) -> list[float]:
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


def cmd_sweep(args: argparse.Namespace) -> int:
    method = estimators.get(args.method)
    if method.sweep is None:
        able = [e.name for e in estimators.entries() if e.sweep is not None]
        raise UsageError(f"--method {method.name} has no sweep; choose one of {', '.join(able)}")
    if args.wavelengths is not None and args.depths is not None:
        raise UsageError("give --wavelengths or --depths, not both")
    options = _estimator_options(args, method)
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

    from . import sweeps
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
            _savefig(fig, targets[1], overwrite=args.overwrite)
            plt.close(fig)
            report.wrote(targets[1])
    except FileExistsError as exc:
        raise UsageError(f"{exc.filename} appeared while sweeping; not replaced "
                         f"(give --overwrite to replace it)") from None
    print(f"{len(result)} windows, midpoints {section.midpoint[0]:g} to "
          f"{section.midpoint[-1]:g} m ({section.position}); {int(section.valid.sum())} of "
          f"{section.valid.size} values of the pseudo-section valid")
    return 0


SWEEP_EPILOG = """\
outputs, in --out, named after the input file and the method:
  <file>.sweep_<method>.csv   the pseudo-section: one row per (window midpoint,
                              wavelength) with the pseudo-depth, the phase
                              velocity (empty where the window's picks give
                              none), valid and the depth factor
  <file>.sweep_<method>.png   its picture (not with --no-plot)
No input and no existing file is ever replaced (existing ones only with
--overwrite); each file appears complete or not at all."""


# --------------------------------------------------------------------------
# the parser


def _mute_line(text: str) -> Any:
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


def _preparation(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("preparation of each gather (in this order)")
    g.add_argument("--detrend", nargs="?", const="linear", choices=["linear", "constant"],
                   help="remove every trace's straight line (or its mean: constant) over the "
                        "whole record; with --by-source after stacking")
    g.add_argument("--trim", nargs=2, type=float, metavar=("T0", "T1"),
                   help="keep the samples from T0 to T1 s after the shot (the recording "
                        "delay of the headers is honoured)")
    g.add_argument("--mute-before", type=_mute_line, metavar="T0[:V]",
                   help="zero the samples before the line t = T0 + offset / V (s, m/s; T0 "
                        "alone: a time)")
    g.add_argument("--mute-after", type=_mute_line, metavar="T0[:V]",
                   help="zero the samples after the line t = T0 + offset / V")
    g.add_argument("--mute-taper", type=float, default=0.0, metavar="S",
                   help="length of the cosine ramps at the mute lines, s (default 0)")


def _geometry_options(p: argparse.ArgumentParser) -> None:
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


def _grid_options(p: argparse.ArgumentParser, vmin: float, vmax: float, dv: float,
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


def _estimator_flags(p: argparse.ArgumentParser) -> None:
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


IMAGE_EPILOG = """\
outputs: every imaged gather gives three files in --out sharing one stem that
keeps the whole input file name and adds the method:
  <file>.<method>.csv   the picks (frequency, velocity, wavelength, quality, flags)
  <file>.<method>.png   the picture (not with --no-plot)
  <file>.<method>.npz   the image (molvak.DispersionImage.load; not with --no-npz)
e.g. line1.shot6.dat -> line1.shot6.dat.phase_shift.csv. Shot k of a SEG-Y
file with several: <file>.shot<k>.<method>.*; --by-source:
source_<position>.<method>.* (the position exactly, e.g. source_-2.25);
--stack: stack.<method>.*. Inputs of one name in different folders take
their folders' names in front (day1_1.dat, day2_1.dat). No input and no
existing file is ever replaced (existing ones only with --overwrite); the
check is made before any work, and each file appears complete or not at all,
as soon as its gather is imaged. A folder given as input skips these outputs.
methods:"""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="molvak", description="Dispersion images of seismic surface waves.")
    parser.add_argument("--version", action="version", version=f"molvak {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

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
    _grid_options(demo, 50.0, 800.0, 1.0, 2.0, 100.0, 0.5)
    demo.set_defaults(func=cmd_demo)

    methods = "\n".join(f"  {e.name:<12} {e.summary}" for e in estimators.entries())
    image = sub.add_parser(
        "image", help="dispersion images and picks of gathers from files",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Image one or more gathers (SEG-2 and SEG-Y shots, with the io extra; .npz "
                    "with data, offsets and dt; .npy or text matrices with --dt and "
                    "--offsets) and pick the dispersion curve; with --by-source, stack the "
                    "shots of every source position in the time domain and image each "
                    "position; with --stack, one stacked image of all gathers.",
        epilog=IMAGE_EPILOG + "\n" + methods)
    image.add_argument("gathers", nargs="*", metavar="GATHER",
                       help="gather files, or directories of them (with --geometry: by "
                            "default the files of the table)")
    image.add_argument("--by-source", action="store_true",
                       help="group the shots by source position (from the headers), stack "
                            "each group in the time domain and image every group")
    _preparation(image)
    image.add_argument("--format", choices=list(io.FORMATS),
                       help="file format (default: told by the file's first bytes and suffix)")
    image.add_argument("--scheduler", metavar="ADDRESS",
                       help="image on this Dask scheduler (the dask extra) instead of threads")
    image.add_argument("--method", choices=list(estimators.names()), default="phase_shift",
                       help="estimator (default %(default)s; see the list below)")
    image.add_argument("--out", default=".", help="output directory (default: here)")
    image.add_argument("--overwrite", action="store_true",
                       help="replace existing output files (never an input)")
    _geometry_options(image)
    image.add_argument("--stack", action="store_true",
                       help="stack the images of all gathers into one")
    image.add_argument("--stack-normalize", choices=["global", "frequency", "none"],
                       default="global", help="normalisation of each image before stacking "
                       "(default %(default)s)")
    image.add_argument("--normalize", choices=["frequency", "global", "none"],
                       default="frequency", help="normalisation of the drawn image "
                       "(default %(default)s)")
    image.add_argument("--keep-dead", action="store_true",
                       help="keep dead traces (all zero, constant, or silent in the band; by "
                            "default they are left out with a warning)")
    image.add_argument("--pick-vmin", type=float, help="lowest velocity to pick, m/s")
    image.add_argument("--pick-vmax", type=float, help="highest velocity to pick, m/s")
    image.add_argument("--modes", type=int, metavar="K",
                       help="pick K modes (ridges numbered from the slowest); the CSV holds "
                            "them all, with a mode column (molvak.read_curves reads it)")
    image.add_argument("--all-picks", action="store_true",
                       help="draw and count the flagged picks too (the CSV always holds every "
                            "pick, with its flags)")
    image.add_argument("--no-plot", action="store_true", help="write no pictures")
    image.add_argument("--no-npz", action="store_true", help="write no image files (.npz)")
    image.add_argument("--quiet", action="store_true", help="no progress bar")
    _estimator_flags(image)
    _grid_options(image, 50.0, 1000.0, 1.0, 1.0, 100.0, None)
    image.set_defaults(func=cmd_image)

    gather = sub.add_parser(
        "gather", help="draw records (offset x time) to choose the time window",
        description="Draw every gather as wiggle traces (or an image) of offset against time "
                    "after the shot, with the lines of --trim and --mute drawn on the record "
                    "(not applied), so that the window to image can be chosen. Writes "
                    "DIR/<file>.gather.png, never over an existing file unless --overwrite.")
    gather.add_argument("gathers", nargs="*", metavar="GATHER",
                        help="gather files, or directories of them")
    gather.add_argument("--kind", choices=["wiggle", "image"], default="wiggle",
                        help="wiggle traces or a colour image (default %(default)s)")
    gather.add_argument("--format", choices=list(io.FORMATS),
                        help="file format (default: told by the file's first bytes and suffix)")
    _preparation(gather)
    _geometry_options(gather)
    gather.add_argument("--out", default=".", help="output directory (default: here)")
    gather.add_argument("--overwrite", action="store_true", help="replace existing pictures")
    gather.add_argument("--quiet", action="store_true", help="no progress bar")
    gather.set_defaults(func=cmd_gather)

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
    sweep.add_argument("--wavelengths", type=_numbers, metavar="LIST",
                       help="wavelengths of the pseudo-section, m: 2,5,10 or START:STOP:COUNT "
                            "(default: 24 from the shortest to the longest a window resolves)")
    sweep.add_argument("--depths", type=_numbers, metavar="LIST",
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
    _estimator_flags(sweep)
    _grid_options(sweep, 50.0, 1000.0, 1.0, 1.0, 100.0, None)
    sweep.set_defaults(func=cmd_sweep)
    _review.add_command(sub)
    _invert.add_command(sub)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "func", None) is None:
        parser.print_help(sys.stderr)
        return 2
    try:
        return int(args.func(args))
    except KeyboardInterrupt:
        print("molvak: interrupted", file=sys.stderr)
        return 130
    except (UsageError, ValueError, ImportError) as exc:
        print(f"molvak: error: {exc}", file=sys.stderr)
        return 2
