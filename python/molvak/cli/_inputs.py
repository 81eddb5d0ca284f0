"""The inputs of `molvak image` and `molvak gather`: the files named (folders
expanded, molvak's own outputs skipped), what they lack (--dt, --offsets,
the geometry table) checked for all at once, and the gathers read one file
at a time through :mod:`molvak.io`.
"""
from __future__ import annotations

import argparse
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Optional

import numpy as np

from .. import _outputs, io
from ..gather import Gather, group_by_source, stack_gathers
from ..io.geometry import GeometryRow, read_geometry
from ._common import (
    Report,
    UsageError,
    expand_paths,
)


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


@dataclass
class Item:
    """One gather to image and the base name of its outputs."""

    base: str
    label: str                      # for messages: the file, or the source position
    gather: Gather
    title: Optional[str] = None


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


def describe_file(path: Path, reading: Reading) -> io.FileInfo:
    try:
        return io.describe(path, reading.format)
    except OSError as exc:
        raise UsageError(f"{path}: cannot read the file ({exc.strerror or exc})") from None


MISSING_TEXT = {"dt": "no sample interval", "offsets": "no offsets"}


MISSING_HINT = {"dt": "--dt (seconds)", "offsets": "--offsets (a file, START:STEP or a list)"}


def missing_text(missing: Sequence[str]) -> str:
    return (" and ".join(MISSING_TEXT[m] for m in missing) + "; give "
            + " and ".join(MISSING_HINT[m] for m in missing))


def missing_arguments(paths: Sequence[Path], reading: Reading) -> Optional[str]:
    """Every file that lacks what --dt or --offsets would give, in one line,
    as its format tells (:func:`molvak.io.describe`: .npy and text files hold
    the samples alone, a .npz says by its arrays)."""
    by_need: dict[tuple[str, ...], list[Path]] = {}
    for path in paths:
        carries = describe_file(path, reading).carries
        has_dt, has_offsets = "dt" in carries, "geometry" in carries
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
        parts.append(f"{shown}: {missing_text(need)}")
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
        record = io.load_record(path, reading.format,
                                layout="columns" if reading.transpose else None,
                                header_lines=None if row is None else row.header_lines)
        dt = reading.dt if reading.dt is not None or row is None else row.dt
        missing = [name for name, lacking in
                   (("dt", dt is None and record.dt is None),
                    ("offsets", offsets is None and row is None
                     and not io.has_geometry(record))) if lacking]
        if missing:
            raise UsageError(f"{path}: {missing_text(missing)}")
        nx = record.data.shape[0]
        if row is not None:
            if row.channels is not None and row.channels != nx:
                raise UsageError(f"{path}: the file holds {nx} traces; the geometry table "
                                 f"gives {row.channels} (n, {row.where()})")
            found = io.record_gathers(path, record, dt=dt, source=row.source,
                                      receivers=row.receivers(nx))
        elif offsets is not None:
            found = io.record_gathers(path, record, dt=dt, offsets=offsets(nx))
        else:
            found = io.record_gathers(path, record, dt=dt)
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
