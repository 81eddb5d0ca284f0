"""Continuous records in bounded memory: fixed-length windows over a file, a
list of files or a folder of a DAS recording, across file boundaries, and
shot gathers cut out of them.

    for g in molvak.windows("recording/", length=30.0, step=15.0):
        ...                                   # g: a Gather of 30 s, offsets = positions

A record is opened once (:func:`open_record`): every file is scanned through
DASCore for its times, sample interval and channel positions, without
reading samples; the patches are put in time order and joined into
stretches of contiguous samples. Windows are then read a few at a time, so
memory stays at a few windows whatever the length of the record.

Where files do not join:

- a gap (the next file starts later than one sample after the last) ends
  the stretch: no window spans it, and the record says where it is;
- an overlap (the next file starts before the last one ended) keeps the
  earlier file's samples and drops the repeated ones of the later file; if
  what is left does not start one sample after the last, it is a gap;
- files whose sample interval, channels or quantity differ are refused.

Times within `tolerance` sample intervals (0.1 by default) of the expected
one count as joined. Each gap and overlap is reported in one
:class:`RecordWarning` when the record is opened and kept in
``record.gaps`` and ``record.overlaps``.
"""
from __future__ import annotations

import csv
import math
import numbers
import os
import warnings
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional, Union

import numpy as np
from numpy.typing import ArrayLike

from ..gather import Gather, group_by_source, stack_gathers
from ._dascore import PositionsError, is_data_file, read_samples, scan

__all__ = ["Record", "RecordWarning", "Windows", "open_record", "shot_gathers", "windows"]

PathLike = Union[str, "os.PathLike[str]"]
Records = Union["Record", Gather, PathLike, Sequence[PathLike]]


class RecordWarning(UserWarning):
    """Gaps, overlaps or unreadable files found when opening a record."""


@dataclass(frozen=True)
class Piece:
    """`count` samples of source `source` from its sample `first`, at sample
    `at` of their stretch."""

    source: int
    first: int
    count: int
    at: int


@dataclass(frozen=True)
class Segment:
    """A stretch of contiguous samples.

    `start` is the absolute time of its first sample (ns since 1970, None
    when the record has no absolute time); `offset` is the same time in
    seconds from the first sample of the record.
    """

    start: Optional[int]
    offset: float
    samples: int
    pieces: tuple[Piece, ...]


class Record:
    """A continuous record: stretches of contiguous samples over one or more
    sources (DAS patches or an in-memory array), a set of channels with their
    positions, and the headers common to all. Made by :func:`open_record`;
    picklable (it holds paths and scan results, or the in-memory array), so
    that workers can read their own windows."""

    def __init__(self, sources: list[Any], segments: list[Segment], positions: np.ndarray,
                 dt: float, channels: Optional[np.ndarray], headers: dict[str, Any],
                 gaps: list[dict[str, Any]], overlaps: list[dict[str, Any]],
                 skipped: list[str]) -> None:
        self.sources = sources
        self.segments = segments
        self.positions = positions
        self.dt = float(dt)
        self.channels = channels
        self.headers = headers
        self.gaps = gaps
        self.overlaps = overlaps
        self.skipped = skipped

    @property
    def samples(self) -> int:
        """Samples in all stretches together."""
        return sum(s.samples for s in self.segments)

    @property
    def duration(self) -> float:
        """Seconds of record in all stretches together."""
        return self.samples * self.dt

    def read(self, segment: int, first: int, stop: int, *, single: bool = False) -> np.ndarray:
        """Samples first..stop-1 of a stretch, all channels, float64; with
        `single`, float32 when every file read holds float32 samples (as DAS
        records mostly do), so that no float64 copy of them is made, and
        possibly the array the file reader gave (not to be written to)."""
        parts = self.parts(segment, first, stop, single=single)
        kind = np.float32 if single and all(p.dtype == np.float32 for _, _, p in parts) \
            else np.float64
        if single and len(parts) == 1 and parts[0][2].dtype == kind \
                and parts[0][2].flags.c_contiguous:
            # what one source gave, as it is (read-only use): no copy
            return parts[0][2]
        out = np.empty((self.positions.size, stop - first), dtype=kind)
        while parts:
            # each file's samples freed once copied
            a, b, part = parts.pop(0)
            out[:, a:b] = part
            del part
        return out

    def parts(self, segment: int, first: int, stop: int, *,
              single: bool = False) -> list[tuple[int, int, np.ndarray]]:
        """Samples first..stop-1 of a stretch as they lie in its sources,
        without joining them: (a, b, samples a..b-1 counted from `first`)
        for each source read, in order: float64 arrays of their own, or with
        `single` float32 as stored, possibly the file reader's (not to be
        written to). A record in memory gives copies of its samples."""
        seg = self.segments[segment]
        if not 0 <= first < stop <= seg.samples:
            raise ValueError(f"samples {first} to {stop} lie outside stretch {segment} "
                             f"({seg.samples} samples)")
        parts = []
        for piece in seg.pieces:
            a = max(first, piece.at)
            b = min(stop, piece.at + piece.count)
            if a >= b:
                continue
            source = self.sources[piece.source]
            lo = piece.first + a - piece.at
            hi = piece.first + b - piece.at
            if isinstance(source, np.ndarray):
                part = np.array(source[:, lo:hi] if self.channels is None
                                else source[self.channels, lo:hi])
            else:
                part = read_samples(source, lo, hi, self.channels, single=single)
                if not (single or part.flags.writeable):
                    # float64 as the file reader holds it: a copy of our own
                    part = part.copy()
            parts.append((a - first, b - first, part))
        return parts

    def time_text(self, segment: int, sample: int) -> Optional[str]:
        """The absolute time of a sample (ISO 8601, ns), or None."""
        seg = self.segments[segment]
        if seg.start is None:
            return None
        return str(np.datetime64(seg.start + int(round(sample * self.dt * 1e9)), "ns"))

    def seconds(self, when: Any) -> float:
        """A time as seconds from the first sample of the record: a number is
        taken as such, a string or datetime64 as an absolute time."""
        if isinstance(when, numbers.Real) and not isinstance(when, bool):
            return float(when)
        try:
            t = np.datetime64(when, "ns")
        except (ValueError, TypeError):
            raise ValueError(f"a time must be seconds from the start of the record or an ISO "
                             f"8601 time; got {when!r}") from None
        first = self.segments[0].start
        if first is None:
            raise ValueError(f"the record has no absolute start time; give {when!r} as seconds "
                             f"from its first sample")
        # nanoseconds since the epoch on both sides: an exact integer difference
        return self.segments[0].offset + (int(t.astype(np.int64)) - first) * 1e-9

    def describe_gaps(self) -> list[str]:
        """One line per gap and overlap."""
        lines = [f"gap of {g['seconds']:g} s between {g['after']} and {g['before']}"
                 if g["seconds"] > 0 else
                 f"samples off the grid ({-g['seconds']:g} s early) between {g['after']} and "
                 f"{g['before']}" for g in self.gaps]
        lines += [f"overlap of {o['seconds']:g} s between {o['after']} and {o['before']} "
                  f"(repeated samples of {o['before']} dropped)" for o in self.overlaps]
        return lines

    def __repr__(self) -> str:
        return (f"<Record: {self.positions.size} channels at {self.dt:g} s, "
                f"{self.duration:g} s in {len(self.segments)} stretch(es) from "
                f"{len(self.sources)} source(s)>")


def _expand(records: Any) -> tuple[list[Path], list[bool]]:
    """The files of a path, a folder or a list of them; and whether each was
    named (True) or found in a folder (False)."""
    items = [records] if isinstance(records, (str, os.PathLike)) else list(records)
    files: list[Path] = []
    named: list[bool] = []
    for item in items:
        if not isinstance(item, (str, os.PathLike)):
            raise TypeError(f"records must be a Gather, a path or a list of paths; got "
                            f"{type(item).__name__} in the list")
        p = Path(item)
        if p.is_dir():
            found = sorted(q for q in p.rglob("*") if is_data_file(q)
                           and not any(part.startswith(".") for part in q.relative_to(p).parts))
            if not found:
                raise FileNotFoundError(f"{item}: the folder holds no file")
            files += found
            named += [False] * len(found)
        elif p.exists():
            files.append(p)
            named.append(True)
        else:
            raise FileNotFoundError(f"{item}: no such file or folder")
    if not files:
        raise ValueError("records names no file")
    return files, named


def _line(name: str, count: int, receivers: Optional[ArrayLike], spacing: Optional[float],
          first_receiver: float) -> Optional[np.ndarray]:
    """Positions given as arguments, or None."""
    if receivers is not None and spacing is not None:
        raise TypeError("give receivers= or spacing=, not both")
    if spacing is not None:
        step = float(spacing)
        if not (math.isfinite(step) and step != 0.0):
            raise ValueError(f"spacing must be a finite, non-zero distance; got {spacing!r}")
        return float(first_receiver) + step * np.arange(count, dtype=np.float64)
    if receivers is not None:
        x = np.asarray(receivers, dtype=np.float64).reshape(-1)
        if x.size != count:
            raise ValueError(f"{name}: receivers must give one position per channel: the record "
                             f"has {count} channels, receivers has {x.size}")
        if not np.isfinite(x).all():
            raise ValueError("receivers must be finite")
        return x
    return None


def _channel_index(channels: Optional[ArrayLike], count: int) -> Optional[np.ndarray]:
    if channels is None:
        return None
    if isinstance(channels, slice):
        idx = np.arange(count)[channels]
    else:
        sel = np.asarray(channels)
        if sel.dtype == bool:
            if sel.shape != (count,):
                raise ValueError(f"a channel mask must have one entry per channel ({count}); "
                                 f"got shape {sel.shape}")
            idx = np.flatnonzero(sel)
        elif sel.dtype.kind in "iu":
            idx = sel.ravel().astype(np.int64)
            if ((idx < -count) | (idx >= count)).any():
                raise ValueError(f"channel indices must lie in 0..{count - 1}; got "
                                 f"{idx.min()} to {idx.max()}")
            idx = np.where(idx < 0, idx + count, idx)
        else:
            raise TypeError(f"channels must be indices, a boolean mask or a slice; got dtype "
                            f"{sel.dtype}")
    if idx.size < 2:
        raise ValueError(f"channels must select at least two channels; got {idx.size}")
    if np.unique(idx).size != idx.size:
        raise ValueError("channels must not repeat a channel")
    return idx


def open_record(records: Records, *, channels: Optional[ArrayLike] = None,
                receivers: Optional[ArrayLike] = None, spacing: Optional[float] = None,
                first_receiver: float = 0.0, tolerance: float = 0.1,
                warn: bool = True) -> Record:
    """Open a continuous record without reading its samples.

    Parameters
    ----------
    records : Gather, path, list of paths, or Record
        A :class:`~molvak.Gather` of a continuous record (no source: its
        offsets are the channel positions along the line; its `delay` the
        time of its first sample and ``headers["start_time"]`` its absolute
        time, when known), a DAS file, a folder of them (searched through
        sub-folders; hidden files skipped) or a list of files and folders.
    channels : indices, boolean mask or slice, optional
        The channels to use (of the file's channels); all by default.
    receivers, spacing, first_receiver
        Channel positions along the fibre (m) for files that give none, or
        to override theirs: one per channel, or a regular line.
    tolerance : float
        How far (in sample intervals) a file may start from one sample after
        the previous one and still join it.
    warn : bool
        Issue one :class:`RecordWarning` listing the gaps, overlaps and
        skipped files.
    """
    if isinstance(records, Record):
        if channels is not None or receivers is not None or spacing is not None:
            raise TypeError("channels and positions are chosen when a record is opened; "
                            "open it again with them")
        return records
    tol = float(tolerance)
    if not (math.isfinite(tol) and 0.0 <= tol < 0.5):
        raise ValueError(f"tolerance must lie in [0, 0.5) sample intervals; got {tolerance!r}")
    if isinstance(records, Gather):
        return _gather_record(records, channels, receivers, spacing, first_receiver)
    record = _file_record(records, channels, receivers, spacing, first_receiver, tol)
    lines = record.describe_gaps()
    if record.skipped:
        lines.append(f"{len(record.skipped)} file(s) that DASCore does not read were skipped: "
                     + ", ".join(record.skipped[:5]) + (" ..." if len(record.skipped) > 5 else ""))
    if warn and lines:
        shown = "; ".join(lines[:8]) + (f"; ... ({len(lines)} in all)" if len(lines) > 8 else "")
        warnings.warn(f"record of {len(record.sources)} patch(es): {shown}", RecordWarning,
                      stacklevel=3)
    return record


def _gather_record(g: Gather, channels: Optional[ArrayLike], receivers: Optional[ArrayLike],
                   spacing: Optional[float], first_receiver: float) -> Record:
    nx = g.shape[0]
    x = _line(g.name, nx, receivers, spacing, first_receiver)
    if x is None:
        if g.source is None:
            x = g.offsets
        elif g.receivers is not None and g.receivers.shape[1] == 1:
            x = g.receivers[:, 0]
        else:
            raise ValueError(f"{g.name}: a gather with a source is a shot; give the channel "
                             f"positions along the line (receivers= or spacing=)")
    idx = _channel_index(channels, nx)
    start = g.headers.get("start_time")
    t0 = None
    if start is not None:
        t0 = int(np.datetime64(start, "ns").astype(np.int64))
    seg = Segment(t0, float(g.delay), g.shape[1], (Piece(0, 0, g.shape[1], 0),))
    headers: dict[str, Any] = {k: g.headers.get(k) for k in ("quantity", "units", "gauge_length", "format",
                                             "das_format", "path") if k in g.headers}
    headers.setdefault("quantity", "unknown")
    if t0 is not None:
        headers["start_time"] = str(np.datetime64(t0, "ns"))
    headers.setdefault("gauge_length", None)
    headers["positions"] = "argument" if (receivers is not None or spacing is not None) \
        else g.headers.get("positions", "gather")
    positions = x if idx is None else x[idx]
    return Record([g.data], [seg], np.ascontiguousarray(positions, dtype=np.float64), g.dt, idx,
                  headers, [], [], [])


def _file_record(records: Any, channels: Optional[ArrayLike], receivers: Optional[ArrayLike],
                 spacing: Optional[float], first_receiver: float, tol: float) -> Record:
    files, named = _expand(records)
    patches = []
    skipped = []
    for path, explicit in zip(files, named):
        try:
            patches += scan(path)
        except (ValueError, OSError):
            # a named file must be read; one found in a folder (another kind
            # of file, or one still being written) is skipped with a warning
            if explicit:
                raise
            skipped.append(path.name)
    if not patches:
        raise ValueError(f"{records}: holds no file that DASCore reads")
    patches.sort(key=lambda p: (p.start, p.path))
    first = patches[0]
    x = _line(first.path, first.channels, receivers, spacing, first_receiver)
    if x is None:
        if first.positions is None:
            raise PositionsError(
                first.path, f"the record gives no channel positions along the fibre (its "
                f"channels are indexed by {first.channel_coordinate!r})",
                "give spacing= (and first_receiver=) or receivers=, in metres")
        x = first.positions
    step = int(round(first.dt * 1e9))
    for p in patches[1:]:
        what = None
        if abs(p.dt - first.dt) > 1e-6 * first.dt:
            what = f"the sample interval changes from {first.dt:g} s to {p.dt:g} s"
        elif p.channels != first.channels:
            what = f"the number of channels changes from {first.channels} to {p.channels}"
        elif (receivers is None and spacing is None and p.positions is not None
              and (first.positions is None
                   or not np.allclose(p.positions, first.positions, rtol=0, atol=1e-3))):
            what = "the channel positions change"
        elif p.quantity != first.quantity:
            what = f"the quantity changes from {first.quantity} to {p.quantity}"
        if what:
            raise ValueError(f"cannot join {p.path} to {first.path}: {what}")
    segments: list[Segment] = []
    gaps: list[dict[str, Any]] = []
    overlaps: list[dict[str, Any]] = []
    pieces: list[Piece] = []
    seg_start = first.start
    filled = 0
    last = None          # time of the last sample taken (ns)
    last_name = ""

    def close() -> None:
        nonlocal pieces, filled
        if pieces:
            offset = (seg_start - first.start) * 1e-9
            segments.append(Segment(seg_start, offset, filled, tuple(pieces)))
        pieces, filled = [], 0

    for k, p in enumerate(patches):
        skip = 0
        if last is not None:
            delta = p.start - (last + step)
            if delta < -tol * step:
                # repeated samples: keep the earlier file's
                skip = max(0, int(math.floor((last - p.start) / step + tol)) + 1)
                if skip:
                    overlaps.append({"after": last_name, "before": p.name,
                                     "seconds": min(skip, p.samples) * step * 1e-9})
                if skip >= p.samples:
                    continue
                delta = p.start + skip * step - (last + step)
            if abs(delta) > tol * step:
                # a gap, or samples off the grid of the earlier file (delta < 0):
                # either way a new stretch, never glued
                gaps.append({"after": last_name, "before": p.name, "seconds": delta * 1e-9,
                             "at": str(np.datetime64(last + step, "ns"))})
                close()
                seg_start = p.start + skip * step
        pieces.append(Piece(k, skip, p.samples - skip, filled))
        filled += p.samples - skip
        last = p.start + (p.samples - 1) * step
        last_name = p.name
    close()
    idx = _channel_index(channels, first.channels)
    positions = x if idx is None else x[idx]
    headers = {"format": "DAS", "das_format": first.format, "quantity": first.quantity,
               "units": first.units, "gauge_length": first.gauge_length,
               "distance_units": first.distance_units if receivers is None and spacing is None
               else "m", "positions": "argument" if x is not first.positions else "file",
               "path": os.fspath(records) if isinstance(records, (str, os.PathLike)) else None,
               "start_time": str(np.datetime64(first.start, "ns"))}
    return Record(patches, segments, np.ascontiguousarray(positions, dtype=np.float64),
                  first.dt, idx, headers, gaps, overlaps, skipped)


# --------------------------------------------------------------------------
# windows


def _samples(name: str, seconds: Any, dt: float, least: int) -> int:
    if isinstance(seconds, bool) or not isinstance(seconds, numbers.Real) \
            or not math.isfinite(float(seconds)) or float(seconds) <= 0:
        raise ValueError(f"{name} must be a positive number of seconds; got {seconds!r}")
    n = int(round(float(seconds) / dt))
    if n < least:
        raise ValueError(f"{name} = {seconds!r} s holds {n} sample(s) at {dt:g} s; at least "
                         f"{least} are needed")
    return n


def iter_blocks(record: Record, starts: Sequence[tuple[int, int]], samples: int,
                ahead: int = 4, *, single: bool = False) -> Iterator[tuple[int, int, np.ndarray]]:
    """(segment, first sample, data) of windows of `samples` samples at the
    given starts (in order within each stretch), reading a few windows ahead
    at a time and carrying the overlap between reads. The samples of each
    read stay as the sources gave them (one array per file, never joined):
    `data` is a view into one of them, which is never written again (new
    ones are made for every read), so it may be kept; a window across two
    files is copied on its own. What the windows before a read no longer
    need is let go before it. `single`: float32 files are read as float32
    (:meth:`Record.parts`)."""
    held: list[tuple[int, int, np.ndarray]] = []   # (first, stop, samples) in the stretch
    buf_seg, buf_lo, buf_hi = -1, 0, 0
    for k, (seg, i0) in enumerate(starts):
        stop = i0 + samples
        if seg != buf_seg or i0 < buf_lo or stop > buf_hi:
            # the next read reaches over the following windows of this stretch
            reach = stop
            for seg2, j0 in starts[k + 1:k + ahead]:
                # only windows that overlap or abut what is read: sparse
                # windows are read one at a time, not with the record between
                if seg2 != seg or j0 > reach:
                    break
                reach = max(reach, j0 + samples)
            reach = min(reach, record.segments[seg].samples)
            if seg == buf_seg and buf_lo <= i0 < buf_hi:
                # the overlap is kept, the samples before it let go
                held = [(a, b, part) for a, b, part in held if b > i0]
                lo = buf_hi
            else:
                held = []
                lo = i0
            held += [(lo + a, lo + b, part)
                     for a, b, part in record.parts(seg, lo, reach, single=single)]
            buf_seg, buf_lo, buf_hi = seg, i0, reach
        # made by a function: no name here keeps a read alive past the next one
        yield seg, i0, _window(held, i0, samples, record.positions.size)


def _window(held: list[tuple[int, int, np.ndarray]], i0: int, samples: int,
            channels: int) -> np.ndarray:
    """Samples i0..i0+samples-1 of the held reads: a view into the one that
    holds them all, or a copy joining those that hold a part."""
    stop = i0 + samples
    inside = [(a, b, part) for a, b, part in held if a < stop and b > i0]
    if len(inside) == 1:
        a, _, part = inside[0]
        return part[:, i0 - a:stop - a]
    kind = np.result_type(*(part.dtype for _, _, part in inside))
    window = np.empty((channels, samples), dtype=kind)
    for a, b, part in inside:
        window[:, max(a, i0) - i0:min(b, stop) - i0] = part[:, max(a, i0) - a:min(b, stop) - a]
    return window


class Windows:
    """Fixed-length windows over a record (see :func:`windows`): iterable,
    with ``len()``, the record (``.record``) and the window starts
    (``.starts``, (stretch, first sample) pairs)."""

    def __init__(self, record: Record, length: float, step: Optional[float],
                 start: Any = None, stop: Any = None, ahead: int = 4) -> None:
        self.record = record
        dt = record.dt
        self.samples = _samples("length", length, dt, 2)
        self.stride = self.samples if step is None else _samples("step", step, dt, 1)
        lo = -math.inf if start is None else record.seconds(start)
        hi = math.inf if stop is None else record.seconds(stop)
        if hi <= lo:
            raise ValueError(f"stop must come after start; got start = {start!r}, "
                             f"stop = {stop!r}")
        self.ahead = max(1, int(ahead))
        starts = []
        eps = 1e-6 * dt
        for s, seg in enumerate(record.segments):
            # windows on the grid of each stretch, within [start, stop]
            first = 0 if lo == -math.inf else max(0, math.ceil((lo - seg.offset) / dt - 1e-6))
            for i0 in range(first, seg.samples - self.samples + 1, self.stride):
                if seg.offset + (i0 + self.samples - 1) * dt > hi + eps:
                    break
                starts.append((s, i0))
        self.starts = starts

    def __len__(self) -> int:
        return len(self.starts)

    @property
    def length(self) -> float:
        """Length of a window (s)."""
        return self.samples * self.record.dt

    def time(self, k: int) -> float:
        """Start of window k, seconds from the first sample of the record."""
        seg, i0 = self.starts[k]
        return self.record.segments[seg].offset + i0 * self.record.dt

    def gather(self, seg: int, i0: int, data: np.ndarray) -> Gather:
        """The window of `data` starting at sample `i0` of stretch `seg` as a
        :class:`~molvak.Gather`, its start time and stretch in the headers."""
        rec = self.record
        headers = {**rec.headers, "start_time": rec.time_text(seg, i0), "stretch": seg}
        delay = rec.segments[seg].offset + i0 * rec.dt
        try:
            return Gather(data, offsets=rec.positions, dt=rec.dt, delay=delay, headers=headers)
        except ValueError as exc:
            raise ValueError(f"window at {delay:g} s: {exc} (channel positions along the "
                             f"fibre serve as offsets; shift them with first_receiver=)") from None

    def __iter__(self) -> Iterator[Gather]:
        for seg, i0, data in iter_blocks(self.record, self.starts, self.samples, self.ahead):
            yield self.gather(seg, i0, data)

    def __repr__(self) -> str:
        return (f"<Windows: {len(self)} of {self.length:g} s every "
                f"{self.stride * self.record.dt:g} s over {self.record!r}>")


def windows(records: Records, length: float, step: Optional[float] = None,
            channels: Optional[ArrayLike] = None, *, start: Any = None, stop: Any = None,
            tolerance: float = 0.1, **positions: Any) -> Windows:
    """Fixed-length windows of a continuous record, as Gathers, read a few at
    a time.

    Parameters
    ----------
    records : Gather, path, folder, or list of paths
        The record (see :func:`open_record`).
    length : float
        Window length (s), rounded to whole samples.
    step : float, optional
        Time between window starts (s); `length` by default (windows side by
        side). Windows start on the sample grid of each stretch of
        contiguous record; a window never spans a gap, and the end of a
        stretch shorter than a window is left out.
    channels : indices, boolean mask or slice, optional
        The channels to read.
    start, stop : float or ISO time, optional
        Only windows within this time range: seconds from the first sample
        of the record, or absolute times.
    tolerance : float
        See :func:`open_record`.
    **positions
        receivers=, spacing=, first_receiver=: channel positions (m) for
        records that give none.

    Returns
    -------
    Windows
        Iterable of :class:`~molvak.Gather`: offsets are the channel
        positions along the fibre, `delay` the window's start in seconds
        from the first sample of the record, ``headers["start_time"]`` its
        absolute time. A record (or time range) that holds no window is
        refused.
    """
    record = open_record(records, channels=channels, tolerance=tolerance, **positions)
    out = Windows(record, length, step, start, stop)
    if not len(out):
        raise ValueError(f"the record holds no window of {out.length:g} s ("
                         f"{record.duration:g} s in {len(record.segments)} stretch(es)"
                         + (", within start and stop" if start is not None or stop is not None
                            else "") + ")")
    return out


# --------------------------------------------------------------------------
# active DAS: shot gathers cut out of a continuous record


SOURCE_COLUMNS = ("source", "position", "source_position", "x")


def _shot_table(shots: Any) -> list[tuple[Any, float, str]]:
    """(time, source position, label) of every shot."""
    rows: list[tuple[Any, float, str]] = []
    if isinstance(shots, (str, os.PathLike)):
        name = os.fspath(shots)
        with open(name, newline="") as handle:
            reader = csv.DictReader(handle)
            fields = {f.strip().lower(): f for f in (reader.fieldnames or [])}
            if "time" not in fields or not any(c in fields for c in SOURCE_COLUMNS):
                raise ValueError(f"{name}: a shot table needs a header line with the columns "
                                 f"time and source (or position); got {reader.fieldnames}")
            src = fields[next(c for c in SOURCE_COLUMNS if c in fields)]
            for line, row in enumerate(reader, start=2):
                text = (row.get(fields["time"]) or "").strip()
                try:
                    when: Any = float(text)
                except ValueError:
                    when = text
                try:
                    pos = float(row.get(src) or "")
                except ValueError:
                    raise ValueError(f"{name}, line {line}: the source position "
                                     f"{row.get(src)!r} is not a number") from None
                rows.append((when, pos, f"{os.path.basename(name)} line {line}"))
        if not rows:
            raise ValueError(f"{name}: the shot table lists no shot")
        return rows
    for k, item in enumerate(shots):
        when, pos = item
        rows.append((when, float(pos), f"shots[{k}]"))
    if not rows:
        raise ValueError("shots lists no shot")
    return rows


def shot_gathers(records: Records, shots: Any, *, length: float, before: float = 0.0,
                 channels: Optional[ArrayLike] = None, stack: bool = True,
                 tolerance: float = 0.1, **positions: Any) -> list[Gather]:
    """Shot gathers cut out of a continuous record, repeated shots stacked.

    Parameters
    ----------
    records : Gather, path, folder, or list of paths
        The continuous record (see :func:`open_record`).
    shots : path or sequence of (time, source)
        The shots: a CSV file with a header line and the columns ``time``
        (ISO 8601, or seconds from the first sample of the record) and
        ``source`` (the source position along the fibre, m; ``position``
        works too), or a list of such pairs.
    length : float
        Seconds kept after the shot.
    before : float
        Seconds kept before the shot (the gather's `delay` is -before).
    channels : optional
        The channels to use.
    stack : bool
        Stack the shots at each source position (sample by sample, the mean;
        :func:`molvak.stack_gathers`): one gather per position, in order of
        first appearance. False gives one gather per shot.

    Each shot starts on the nearest sample of the record: its timing error
    (at most half a sample) is in ``headers["timing_error"]``. A shot whose
    window falls outside the record or across a gap is left out with a
    :class:`RecordWarning` naming it; none left is an error.

    Returns
    -------
    list of Gather
        Source and receiver positions along the fibre; offsets are distances
        from the source.
    """
    record = open_record(records, channels=channels, tolerance=tolerance, **positions)
    table = _shot_table(shots)
    dt = record.dt
    n = _samples("length", float(length) + float(before), dt, 2)
    pre = float(before)
    if not (math.isfinite(pre) and pre >= 0):
        raise ValueError(f"before must be a non-negative number of seconds; got {before!r}")
    cut: list[Gather] = []
    missing: list[str] = []
    for when, pos, label in table:
        t = record.seconds(when) - pre
        found = None
        for s, seg in enumerate(record.segments):
            i0 = int(round((t - seg.offset) / dt))
            if 0 <= i0 and i0 + n <= seg.samples:
                found = (s, i0)
                break
        if found is None:
            missing.append(f"{label} (at {when})")
            continue
        s, i0 = found
        error = record.segments[s].offset + i0 * dt - t
        headers = {**record.headers, "shot": label, "shot_time": str(when),
                   "start_time": record.time_text(s, i0), "timing_error": error}
        cut.append(Gather(record.read(s, i0, i0 + n), dt=dt, delay=-pre, source=np.array([pos]),
                          receivers=record.positions[:, None], headers=headers))
    if missing:
        warnings.warn(f"{len(missing)} shot(s) left out, outside the record or across a gap: "
                      + ", ".join(missing[:8]) + (" ..." if len(missing) > 8 else ""),
                      RecordWarning, stacklevel=2)
    if not cut:
        raise ValueError("no shot of the table lies within the record")
    if not stack:
        return cut
    return [stack_gathers(group) for group in group_by_source(cut).values()]
