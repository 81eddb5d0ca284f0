"""Shot gathers with their geometry, and the operations done on them before
imaging: time windows, mutes, detrending, tapers, channel subsets and the
stacking of repeated shots.

Times are relative to the shot: the first sample of a record lies at
``delay`` (negative for a record that starts before the trigger, as the SEG-2
DELAY header has it), sample k at ``delay + k * dt``. Offsets are distances
between source and receiver, never signed, so that forward, reverse and split
spreads go to the estimators as they are, without flipping.
"""
from __future__ import annotations

import dataclasses
import json
import math
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Optional, Union

import numpy as np
from numpy.typing import ArrayLike

from . import _checks, estimators
from ._atomic import npz_name, write_with
from ._jsonable import to_json
from .plot import plot_gather

if TYPE_CHECKING:
    from .image import DispersionImage

__all__ = ["Gather", "group_by_source", "stack_gathers"]

PathLike = Union[str, "os.PathLike[str]"]
# a mute line: a time (s), or (t0, velocity): t = t0 + offset / velocity
MuteLine = Union[float, tuple[float, float]]

# two positions or offsets closer than this (in the unit of the geometry,
# metres in practice) are the same; header values are written with a few
# decimals and parsed back with rounding
GEOMETRY_TOLERANCE = 1e-6


def _positions(name: str, value: Optional[ArrayLike], count: Optional[int]) -> Optional[np.ndarray]:
    """Positions as a float64 array: (D,) for the source (count None),
    (count, D) for the receivers; a scalar or a 1-D list of in-line positions
    is a line geometry (D = 1)."""
    if value is None:
        return None
    arr = np.array(value, dtype=np.float64)
    if count is None:
        arr = arr.reshape(-1)
        if not 1 <= arr.size <= 3:
            raise ValueError(f"{name} must have 1 to 3 coordinates; got {arr.size}")
    else:
        if arr.ndim == 1:
            arr = arr[:, None]
        if arr.ndim != 2 or arr.shape[0] != count or not 1 <= arr.shape[1] <= 3:
            raise ValueError(f"{name} must hold one position (1 to 3 coordinates) per trace: "
                             f"{count} traces, got shape {np.shape(value)}")
    if not np.isfinite(arr).all():
        raise ValueError(f"{name} must be finite; got {_checks._show(arr)}")
    return arr


def distances(source: np.ndarray, receivers: np.ndarray) -> np.ndarray:
    """Source-receiver distances: |r - s| on a line, the Euclidean norm otherwise."""
    if receivers.shape[1] != source.size:
        raise ValueError(f"source has {source.size} coordinate(s) but the receivers have "
                         f"{receivers.shape[1]}")
    if source.size == 1:
        return np.abs(receivers[:, 0] - source[0])
    return np.sqrt(np.sum(np.square(receivers - source[None, :]), axis=1))


@dataclass(frozen=True, eq=False)
class Gather:
    """A multichannel record and its geometry.

    Attributes
    ----------
    data : ndarray, shape (NX, NT)
        One row of time samples per trace (float64).
    offsets : ndarray, shape (NX,)
        Source-receiver distance of every trace (m). Computed from `source`
        and `receivers` when not given; when both are given they must agree.
    dt : float
        Sample interval (s).
    delay : float
        Time of the first sample relative to the shot (s); negative for a
        record with pre-trigger samples.
    source : ndarray, shape (D,), or None
        Source position: one in-line coordinate (D = 1) or 2-D/3-D coordinates.
    receivers : ndarray, shape (NX, D), or None
        Receiver positions, in the frame of `source`.
    headers : dict
        What the reader found in the file (path, format, file and trace
        headers) and what was done to the gather since.
    """

    data: np.ndarray
    # always an array after construction; None asks for it to be computed
    offsets: np.ndarray = None  # type: ignore[assignment]
    dt: float = 1.0
    delay: float = 0.0
    source: Optional[np.ndarray] = None
    receivers: Optional[np.ndarray] = None
    headers: dict[str, Any] = field(default_factory=dict)

    def __post_init__(self) -> None:
        data = np.asarray(self.data)
        if data.dtype.kind not in "fiub":
            raise TypeError(f"data must be a real numeric array; got dtype {data.dtype}")
        if data.ndim != 2:
            raise ValueError(f"data must be a 2-D array (traces x time samples); "
                             f"got shape {data.shape}")
        data = np.ascontiguousarray(data, dtype=np.float64)
        nx = data.shape[0]
        dt = _checks.positive_float("dt", self.dt)
        if isinstance(self.delay, bool) or not math.isfinite(float(self.delay)):
            raise ValueError(f"delay must be a finite number of seconds; got {self.delay!r}")
        source = _positions("source", self.source, None)
        receivers = _positions("receivers", self.receivers, nx)
        derived = None
        if source is not None and receivers is not None:
            derived = distances(source, receivers)
        if self.offsets is None:
            if derived is None:
                raise ValueError("a gather needs offsets, or a source and receiver positions "
                                 "to compute them from")
            offsets = derived
        else:
            offsets = _checks.offsets_for(self.offsets, nx)
            if derived is not None:
                bad = np.abs(offsets - derived) > GEOMETRY_TOLERANCE * np.maximum(1.0, derived)
                if bad.any():
                    k = int(np.flatnonzero(bad)[0])
                    raise ValueError(
                        f"offsets disagree with the source and receiver positions: trace {k} "
                        f"has offset {offsets[k]:g}, but lies {derived[k]:g} from the source")
        if (offsets < 0).any():
            k = int(np.flatnonzero(offsets < 0)[0])
            raise ValueError(f"offsets are source-receiver distances and must not be negative; "
                             f"got {offsets[k]:g} at trace {k}")
        object.__setattr__(self, "data", data)
        object.__setattr__(self, "offsets", offsets)
        object.__setattr__(self, "dt", dt)
        object.__setattr__(self, "delay", float(self.delay))
        object.__setattr__(self, "source", source)
        object.__setattr__(self, "receivers", receivers)
        object.__setattr__(self, "headers", dict(self.headers))

    # ------------------------------------------------------------------
    # shape and time axis

    @property
    def shape(self) -> tuple[int, int]:
        """(traces, samples)."""
        return (int(self.data.shape[0]), int(self.data.shape[1]))

    @property
    def time(self) -> np.ndarray:
        """Time of every sample relative to the shot (s)."""
        return self.delay + self.dt * np.arange(self.data.shape[1], dtype=np.float64)

    @property
    def end(self) -> float:
        """Time of the last sample relative to the shot (s)."""
        return self.delay + self.dt * (self.data.shape[1] - 1)

    @property
    def name(self) -> str:
        """The file the gather came from, or "gather"."""
        path = self.headers.get("path")
        return os.path.basename(str(path)) if path else "gather"

    def _with(self, data: np.ndarray, note: str, **changes: Any) -> Gather:
        history = list(self.headers.get("processing", [])) + [note]
        return dataclasses.replace(self, data=data, headers={**self.headers,
                                                             "processing": history}, **changes)

    # ------------------------------------------------------------------
    # time-domain operations

    def trim(self, t0: float, t1: float) -> Gather:
        """The samples from time t0 to t1 (s, relative to the shot), both included.

        A bound that falls between samples is moved inwards to the nearest
        sample (one within a millionth of a sample of a bound counts as on
        it, so that decimal times like 0.5 s meet the sample they name). The
        new gather's `delay` is the time of its first sample. A window that
        reaches outside the record is refused rather than padded.

        Parameters
        ----------
        t0, t1 : float
            Start and end of the window (s after the shot), t0 <= t1.

        Returns
        -------
        Gather
        """
        t0 = float(t0)
        t1 = float(t1)
        if not (math.isfinite(t0) and math.isfinite(t1)) or t1 < t0:
            raise ValueError(f"trim needs finite times t0 <= t1; got t0 = {t0!r}, t1 = {t1!r}")
        eps = 1e-6
        first = int(math.ceil((t0 - self.delay) / self.dt - eps))
        last = int(math.floor((t1 - self.delay) / self.dt + eps))
        nt = self.data.shape[1]
        if first < 0 or last > nt - 1:
            raise ValueError(
                f"{self.name}: trim window {t0:g} to {t1:g} s reaches outside the record, "
                f"which runs from {self.delay:g} to {self.end:g} s relative to the shot")
        if last < first:
            raise ValueError(f"{self.name}: trim window {t0:g} to {t1:g} s holds no sample "
                             f"(sample interval {self.dt:g} s)")
        data = np.ascontiguousarray(self.data[:, first:last + 1])
        return self._with(data, f"trim {t0:g} {t1:g}", delay=self.delay + first * self.dt)

    def mute(self, before: Optional[MuteLine] = None, after: Optional[MuteLine] = None, *,
             taper: float = 0.0) -> Gather:
        """Zero the samples before one line of the (offset, time) plane and
        after another.

        Parameters
        ----------
        before, after : float or (t0, velocity), optional
            A line t = t0 + offset / velocity (s, m/s); a single number is a
            time at every offset. Samples earlier than `before` and later
            than `after` are set to zero, so that a window around the surface
            waves keeps them and drops the body waves ahead of them and the
            noise behind. An infinite velocity makes a flat line.
        taper : float
            Length (s) of a half-cosine ramp that rises from zero at each line
            into the kept window, which avoids the ringing of a hard cut.
        """
        taper = float(taper)
        if not (math.isfinite(taper) and taper >= 0.0):
            raise ValueError(f"taper must be a non-negative time in seconds; got {taper!r}")
        if before is None and after is None:
            raise ValueError("mute needs a line `before`, a line `after`, or both")
        t = self.time[None, :]
        weight = np.ones(self.data.shape, dtype=np.float64)
        if before is not None:
            line = self._mute_line("before", before)[:, None]
            weight *= _ramp(t - line, taper)
        if after is not None:
            line = self._mute_line("after", after)[:, None]
            weight *= _ramp(line - t, taper)
        return self._with(self.data * weight, f"mute before={before!r} after={after!r} "
                                              f"taper={taper:g}")

    def _mute_line(self, name: str, line: MuteLine) -> np.ndarray:
        if isinstance(line, (tuple, list, np.ndarray)):
            if len(line) != 2:
                raise ValueError(f"{name} must be a time or a pair (t0, velocity); got {line!r}")
            t0, velocity = (float(v) for v in line)
            if not (velocity > 0.0) or math.isnan(velocity) or not math.isfinite(t0):
                raise ValueError(f"{name}: the line (t0, velocity) needs a finite t0 and a "
                                 f"positive velocity; got {line!r}")
            return t0 + self.offsets / velocity
        t0 = float(line)
        if not math.isfinite(t0):
            raise ValueError(f"{name} must be a finite time; got {line!r}")
        return np.full(self.data.shape[0], t0)

    def detrend(self, kind: str = "linear") -> Gather:
        """Remove from every trace its mean ("constant") or its least-squares
        straight line ("linear").

        Geophone records carry DC offsets and slow drifts that put energy at
        and near 0 Hz; the estimators normalise or weight every frequency,
        and a trend leaks into the lowest bins of the band.

        Parameters
        ----------
        kind : {"linear", "constant"}
            Remove the least-squares line or the mean.

        Returns
        -------
        Gather
        """
        kind = _checks.choice("kind", kind, ("linear", "constant"))
        data = self.data - self.data.mean(axis=1, keepdims=True)
        if kind == "linear":
            # the residual of a line fit, about the centre of the record so
            # that slope and mean decouple
            u = np.arange(data.shape[1], dtype=np.float64)
            u -= u.mean()
            norm = float(np.dot(u, u))
            if norm > 0:
                slope = data @ u / norm
                data = data - slope[:, None] * u[None, :]
        return self._with(np.ascontiguousarray(data), f"detrend {kind}")

    def demean(self) -> Gather:
        """Remove every trace's mean (:meth:`detrend` with kind "constant")."""
        return self.detrend("constant")

    def taper(self, fraction: float = 0.05, side: str = "both") -> Gather:
        """Taper the ends of every trace with half a Hann window.

        Parameters
        ----------
        fraction : float
            Length of each ramp as a fraction of the record, 0 to 0.5.
        side : {"both", "start", "end"}
            Which ends to taper.
        """
        fraction = float(fraction)
        if not (0.0 <= fraction <= 0.5):
            raise ValueError(f"fraction must lie between 0 and 0.5; got {fraction!r}")
        side = _checks.choice("side", side, ("both", "start", "end"))
        nt = self.data.shape[1]
        width = int(round(fraction * nt))
        window = np.ones(nt, dtype=np.float64)
        if width > 0:
            # sample k of the ramp gets sin^2(pi/2 (k + 1) / (width + 1)): zero is
            # never reached inside the record and the ramp is symmetric
            ramp = np.sin(0.5 * np.pi * np.arange(1, width + 1) / (width + 1)) ** 2
            if side in ("both", "start"):
                window[:width] = ramp
            if side in ("both", "end"):
                window[nt - width:] *= ramp[::-1]
        return self._with(self.data * window[None, :], f"taper {fraction:g} {side}")

    # ------------------------------------------------------------------
    # channel subsets

    def select(self, min_offset: Optional[float] = None, max_offset: Optional[float] = None, *,
               channels: Optional[ArrayLike] = None) -> Gather:
        """The traces whose offsets lie in [min_offset, max_offset] (both
        included) and, when given, among `channels` (indices from 0, or a
        boolean mask over the traces). The order of the traces is kept.

        Parameters
        ----------
        min_offset, max_offset : float, optional
            Offset limits (m), inclusive.
        channels : array_like, optional
            Trace indices from 0, or a boolean mask over the traces.

        Returns
        -------
        Gather
        """
        nx = self.data.shape[0]
        keep = np.ones(nx, dtype=bool)
        if channels is not None:
            sel = np.asarray(channels)
            if sel.dtype == bool:
                if sel.shape != (nx,):
                    raise ValueError(f"a channel mask must have one entry per trace ({nx}); "
                                     f"got shape {sel.shape}")
                keep &= sel
            else:
                if sel.dtype.kind not in "iu":
                    raise TypeError(f"channels must be integer indices or a boolean mask; "
                                    f"got dtype {sel.dtype}")
                idx = sel.ravel().astype(np.int64)
                if ((idx < -nx) | (idx >= nx)).any():
                    raise ValueError(f"channel indices must lie in 0..{nx - 1}; got "
                                     f"{_checks._show(idx)}")
                mask = np.zeros(nx, dtype=bool)
                mask[idx] = True
                keep &= mask
        offsets = self.offsets
        if min_offset is not None:
            keep &= offsets >= float(min_offset) - GEOMETRY_TOLERANCE
        if max_offset is not None:
            keep &= offsets <= float(max_offset) + GEOMETRY_TOLERANCE
        if not keep.any():
            raise ValueError(f"{self.name}: no trace is selected (offsets {offsets.min():g} to "
                             f"{offsets.max():g} m; asked for {min_offset} to {max_offset} m)")
        receivers = None if self.receivers is None else self.receivers[keep]
        return self._with(np.ascontiguousarray(self.data[keep]),
                          f"select {min_offset} {max_offset} channels={channels is not None}",
                          offsets=offsets[keep], receivers=receivers)

    # ------------------------------------------------------------------
    # imaging and saving

    def image(self, method: str, **options: Any) -> DispersionImage:
        """The dispersion image of the gather by `method` (a name of
        :mod:`molvak.estimators`: "slant_stack", "phase_shift", "fdbf", ...);
        `options` go to the estimator. The image's params keep what the
        headers say about the record that the picks' flags use (the gauge
        length of a DAS record: :data:`molvak.estimators.RECORD_PARAMS`).

        Parameters
        ----------
        method : str
            The estimator's name.
        **options
            The estimator's arguments (velocities, fmin, fmax, df, ...).

        Returns
        -------
        DispersionImage
        """
        return estimators.image(self, method, **options)

    def save(self, path: PathLike, *, overwrite: bool = False) -> None:
        """Write the gather to a .npz file that :func:`molvak.read` reads back:
        data, offsets, dt, delay, when known source and receivers, and every
        header (the gauge length, start time and quantity of a DAS record,
        the trace headers of SEG-2 and SEG-Y files, what was done to the
        gather), as JSON. Reading the file back restores the headers, but
        for "path" and "format", which then describe the file read.

        As with ``np.savez``, ".npz" is appended to a name without it. The
        file appears complete or not at all; an existing file is replaced
        only with ``overwrite=True``.

        Parameters
        ----------
        path : str or path-like
            The file to write.
        overwrite : bool
            Replace an existing file; otherwise it is refused with a
            FileExistsError.
        """
        arrays: dict[str, Any] = {"data": self.data, "offsets": self.offsets, "dt": self.dt,
                                  "delay": self.delay}
        if self.source is not None and self.receivers is not None:
            arrays.update(source=self.source, receivers=self.receivers)
        if self.headers:
            # UTF-8 bytes rather than a string array: the reader takes arrays
            # of plain numbers only
            text = json.dumps(to_json(self.headers), allow_nan=True)
            arrays["headers"] = np.frombuffer(text.encode("utf-8"), dtype=np.uint8)
        write_with(npz_name(path), lambda handle: np.savez(handle, **arrays),
                   overwrite=overwrite)

    def plot(self, ax: Any = None, *, kind: str = "wiggle",
             trim: Optional[tuple[float, float]] = None,
             mute: Optional[tuple[Optional[MuteLine], Optional[MuteLine]]] = None,
             normalize: str = "trace", clip: float = 99.5, title: Optional[str] = None) -> Any:
        """Draw the record with matplotlib (the `plot` extra): offset (m)
        across, time after the shot (s) down.

        Parameters
        ----------
        kind : {"wiggle", "image"}
            Wiggle traces (the positive half filled) at their offsets, or
            the samples as colours.
        trim : (t0, t1), optional
            A time window to show, as two horizontal lines (not applied):
            what :meth:`trim` would keep lies between them.
        mute : (before, after), optional
            Mute lines to show, each a time or (t0, velocity) as for
            :meth:`mute` (None for no line); what a mute would keep lies
            between them.
        normalize : {"trace", "gather"}
            Scale every trace to its own largest sample (far traces stay
            visible), or the whole gather to one.
        clip : float
            Percentile of the absolute amplitudes drawn at full scale.

        Returns
        -------
        The Axes drawn on.
        """
        return plot_gather(self, ax, kind=kind, trim=trim, mute=mute, normalize=normalize,
                           clip=clip, title=title)

    def __repr__(self) -> str:
        offsets = self.offsets
        where = "" if self.source is None else f", source {position_text(self.source)} m"
        return (f"<Gather {self.name}: {self.shape[0]} traces x {self.shape[1]} samples at "
                f"{self.dt:g} s from {self.delay:g} s, offsets {offsets.min():g} to "
                f"{offsets.max():g} m{where}>")


def _ramp(s: np.ndarray, width: float) -> np.ndarray:
    """The weight of a sample s seconds inside a mute line: 0 outside (s < 0),
    sin^2(pi s / (2 width)) over the ramp, 1 beyond it; a hard step (the
    sample on the line kept) when width is 0."""
    if width == 0.0:
        return (s >= 0.0).astype(np.float64)
    return np.square(np.sin(0.5 * np.pi * np.clip(s / width, 0.0, 1.0)))


def position_text(position: np.ndarray) -> str:
    """A position as a reader would write it: its coordinates, blank-separated."""
    return " ".join(f"{v:g}" for v in position)


def source_key(gather: Gather) -> tuple[float, ...]:
    """A hashable source position, rounded so that positions equal within
    the geometry tolerance share a key."""
    if gather.source is None:
        raise ValueError(f"{gather.name}: the gather has no source position")
    return tuple(round(float(v), 6) + 0.0 for v in gather.source)


def group_by_source(gathers: Iterable[Gather]) -> dict[tuple[float, ...], list[Gather]]:
    """The gathers grouped by source position, in order of first appearance
    (and in their own order within a group).

    Parameters
    ----------
    gathers : iterable of Gather
        Gathers with a source position (``Gather.source``).

    Returns
    -------
    dict
        ``{position: [gathers]}``, the position a tuple of the source's
        coordinates (one for an in-line position, m) rounded to 1e-6 so that
        positions equal within the geometry tolerance share a key.

    Raises
    ------
    TypeError
        For an item that is not a Gather.
    ValueError
        For a gather without a source position, naming it.
    """
    groups: dict[tuple[float, ...], list[Gather]] = {}
    for g in gathers:
        if not isinstance(g, Gather):
            raise TypeError(f"expected Gather objects; got {type(g).__name__}")
        groups.setdefault(source_key(g), []).append(g)
    return groups


def _same(a: Optional[np.ndarray], b: Optional[np.ndarray]) -> bool:
    if a is None or b is None:
        return a is None and b is None
    return a.shape == b.shape and bool(np.all(np.abs(a - b) <= GEOMETRY_TOLERANCE))


def stack_gathers(gathers: Sequence[Gather], *, kind: str = "mean") -> Gather:
    """Stack repeated shots in the time domain: the sample-by-sample mean
    (or sum) of gathers recorded with one geometry.

    Stacking before imaging adds the repeated surface wave coherently and the
    incoherent noise only in power, a gain of sqrt(n) in signal-to-noise for n
    shots, where stacking the images of single shots averages powers. The
    gathers must share the number of traces and samples, `dt`, `delay`,
    offsets and positions; a mismatch is refused naming the gather and what
    differs.

    Parameters
    ----------
    gathers : sequence of Gather
        The repeated shots, at least one.
    kind : {"mean", "sum"}
        The sample-by-sample mean or sum.

    Returns
    -------
    Gather
        The stack, with the geometry and headers of the first gather (and
        the stacked files in ``headers["stacked"]``).

    Raises
    ------
    ValueError
        For no gather, or gathers whose shape, sampling or geometry differ.
    """
    gathers = list(gathers)
    kind = _checks.choice("kind", kind, ("mean", "sum"))
    if not gathers:
        raise ValueError("stack_gathers needs at least one gather")
    for k, g in enumerate(gathers):
        if not isinstance(g, Gather):
            raise TypeError(f"gathers[{k}] is not a Gather; got {type(g).__name__}")
    first = gathers[0]
    for k, g in enumerate(gathers[1:], start=1):
        what = None
        if g.shape != first.shape:
            what = f"shape {g.shape} against {first.shape}"
        elif abs(g.dt - first.dt) > 1e-9 * first.dt:
            what = f"sample interval {g.dt:g} s against {first.dt:g} s"
        elif abs(g.delay - first.delay) > 1e-6 * first.dt:
            what = f"delay {g.delay:g} s against {first.delay:g} s"
        elif not _same(g.offsets, first.offsets):
            what = "offsets"
        elif not (_same(g.source, first.source) and _same(g.receivers, first.receivers)):
            what = "source or receiver positions"
        if what is not None:
            raise ValueError(f"cannot stack {g.name} (gathers[{k}]) on {first.name} "
                             f"(gathers[0]): different {what}")
    total = np.zeros(first.shape, dtype=np.float64)
    for g in gathers:
        total += g.data
    if kind == "mean":
        total /= len(gathers)
    headers = {**first.headers, "stacked": [g.headers.get("path", g.name) for g in gathers],
               "processing": list(first.headers.get("processing", []))
               + [f"stack {kind} of {len(gathers)}"]}
    return dataclasses.replace(first, data=total, headers=headers)
