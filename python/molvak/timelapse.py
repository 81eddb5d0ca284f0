"""Time-lapse monitoring: a virtual shot gather, its dispersion image and the
picked curve for every block of time (an hour, a day, any length), and the
picks as a time series.

    tl = molvak.timelapse("recording/", source=0, length=20.0, block="1h",
                          velocities=(80, 800, 1), fmin=2, fmax=60)
    tl.velocity            # (blocks, frequencies), NaN where no valid pick
    tl.to_csv("curves.csv")
    tl.plot().savefig("timelapse.png")

Blocks are aligned on whole multiples of their length in absolute time (UTC
hours, days) when the record has an absolute start time, and on its first
sample otherwise; a window belongs to the block in which it starts. All the
blocks' windows are correlated in one pass over the record (on threads or a
Dask cluster, as :func:`molvak.virtual_gather`).
"""
from __future__ import annotations

import csv
import numbers
import os
import re
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Optional, Union

import numpy as np

from . import _checks
from ._atomic import atomic_open
from .curves import DispersionCurve
from .dvv import METHODS as DVV_METHODS
from .dvv import VelocityChange
from .dvv import dvv as measure_dvv
from .gather import Gather
from .image import DispersionImage
from .interferometry import (
    CorrelationStack,
    block_shift,
    folder_stacks,
    run_stacks,
    settings,
    source_list,
    time_blocks,
    warn_nonfinite,
)
from .io.records import Records, Windows, open_record
from .plot import require_matplotlib

__all__ = ["TimeLapse", "TimeLapseBlock", "block_seconds", "image_gather", "timelapse"]

UNITS = {"s": 1.0, "sec": 1.0, "min": 60.0, "h": 3600.0, "hour": 3600.0,
         "d": 86400.0, "day": 86400.0}


def block_seconds(block: Union[float, str]) -> float:
    """A block length in seconds: a number of seconds, or text such as
    "90", "90s", "30min", "1h", "1d" (in any case; "m" alone, minutes or
    months, is refused)."""
    if isinstance(block, str):
        m = re.fullmatch(r"\s*([0-9]*\.?[0-9]+)\s*([a-zA-Z]*)\s*", block)
        unit = m.group(2).lower() if m else ""
        if not m or (unit or "s") not in UNITS:
            raise ValueError(f"block must be seconds or a length like '30min', '1h', '1d'; "
                             f"got {block!r}")
        value = float(m.group(1)) * UNITS[unit or "s"]
    else:
        value = _checks.positive_float("block", block)
    if not value > 0:
        raise ValueError(f"block must be a positive length; got {block!r}")
    return value


def image_gather(gather: Gather, method: str = "phase_shift", **options: Any) -> DispersionImage:
    """The dispersion image of a gather, with what the fibre tells about its
    validity in ``params``: "gauge_length" (m or None, from the gather's
    headers as :meth:`Gather.image` keeps it) and "quantity"."""
    image = gather.image(method, **options)
    image.params["quantity"] = gather.headers.get("record_quantity",
                                                  gather.headers.get("quantity"))
    return image


@dataclass(frozen=True, eq=False)
class TimeLapseBlock:
    """One block of time: its virtual gather, image and picks.

    `start` and `end` are seconds from the first sample of the record
    (the block's bounds, not those of its windows); `start_time` the
    absolute start (ISO 8601) when known; `windows` the windows stacked.
    """

    index: int
    start: float
    end: float
    start_time: Optional[str]
    windows: int
    gather: Gather
    image: DispersionImage
    curve: DispersionCurve
    change: Optional[VelocityChange] = None


@dataclass(frozen=True, eq=False)
class TimeLapse:
    """Picked dispersion curves as a time series.

    Attributes
    ----------
    blocks : list of TimeLapseBlock
        The blocks with at least `min_windows` windows, in time order.
    frequency : ndarray (NF,)
        Frequencies of the images (Hz).
    velocity : ndarray (NB, NF)
        Picked phase velocity (m/s) of every block at every frequency; NaN
        where there is no pick (or no valid one).
    quality : ndarray (NB, NF)
        Quality of the picks (see :class:`molvak.DispersionCurve`).
    block_length : float
        Seconds.
    start_time : str or None
        Absolute time of the first sample of the record.
    reference : Gather or None
        The reference of dv/v (with ``dvv=``).
    computed, reused : int
        Blocks correlated by this run, and read from the output folder
        (``out=``) where an earlier run had written them.
    """

    blocks: list[TimeLapseBlock]
    frequency: np.ndarray
    velocity: np.ndarray
    quality: np.ndarray
    block_length: float
    start_time: Optional[str]
    reference: Optional[Gather] = None
    computed: int = 0
    reused: int = 0

    @property
    def dvv(self) -> np.ndarray:
        """dv/v of every block against the reference (a fraction; NaN where
        there is no answer), when the time-lapse was run with ``dvv=``."""
        return self._change("combined")

    @property
    def dvv_error(self) -> np.ndarray:
        """The error estimate of :attr:`dvv`."""
        return self._change("combined_error")

    @property
    def dvv_cc(self) -> np.ndarray:
        """The correlation coefficient of every block with the reference."""
        return self._change("combined_cc")

    def _change(self, name: str) -> np.ndarray:
        if any(b.change is None for b in self.blocks):
            raise ValueError("this time-lapse measured no dv/v: run timelapse(..., dvv=...)")
        return np.array([getattr(b.change, name) for b in self.blocks], dtype=np.float64)

    def dvv_to_csv(self, path: Union[str, os.PathLike[str]], *, overwrite: bool = False) -> None:
        """Write dv/v per block: block index, start (ISO 8601 or empty),
        start and end (s from the first sample of the record), windows, dv/v,
        its error and correlation coefficient (fractions), the method.
        Written atomically; an existing file is kept unless `overwrite`."""
        values, errors, cc = self.dvv, self.dvv_error, self.dvv_cc
        with atomic_open(path, "w", newline="", overwrite=overwrite) as handle:
            writer = csv.writer(handle)
            writer.writerow(["block", "start_time", "start", "end", "windows", "dvv",
                             "dvv_error", "cc", "method"])
            for b, v, e, c in zip(self.blocks, values, errors, cc):
                assert b.change is not None
                writer.writerow([b.index, b.start_time or "", f"{b.start:.17g}",
                                 f"{b.end:.17g}", b.windows, f"{v:.17g}", f"{e:.17g}",
                                 f"{c:.17g}", b.change.method])

    def plot_dvv(self, *, truth: Any = None, figsize: tuple[float, float] = (9.0, 4.6)) -> Any:
        """A figure of dv/v (%) against time with its error bars, and the
        correlation coefficient with the reference below (a matplotlib
        Figure, the `plot` extra). truth : optional ``t -> dv/v`` (t in s
        from the first sample, dv/v a fraction), drawn dashed."""
        require_matplotlib()
        from matplotlib.figure import Figure
        values, errors, cc = self.dvv, self.dvv_error, self.dvv_cc
        unit, scale = _time_unit(self.block_length * len(self.blocks))
        t = self.times / scale
        fig = Figure(figsize=figsize, dpi=110, layout="constrained")
        ax1, ax2 = fig.subplots(2, 1, sharex=True, height_ratios=(3, 1))
        method = self.blocks[0].change.method if self.blocks[0].change else ""
        ax1.errorbar(t, 100 * values, yerr=100 * errors, fmt="o-", ms=4, capsize=2,
                     label=f"measured ({method})")
        if truth is not None:
            tt = np.linspace(self.blocks[0].start, self.blocks[-1].end, 300)
            ax1.plot(tt / scale, [100 * float(truth(x)) for x in tt], "k--", lw=1,
                     label="true")
        ax1.axhline(0.0, color="0.7", lw=0.8)
        ax1.set_ylabel("dv/v (%)")
        ax1.set_title(f"velocity change against the reference, {len(self.blocks)} blocks of "
                      f"{_text(self.block_length)}")
        ax1.legend(fontsize="small")
        ax2.plot(t, cc, "o-", ms=3)
        ax2.set_ylabel("cc")
        since = f" since {self.start_time[:19].replace('T', ' ')}" if self.start_time else ""
        ax2.set_xlabel(f"time{since} ({unit})")
        return fig

    @property
    def times(self) -> np.ndarray:
        """Centre of every block, seconds from the first sample of the record."""
        return np.array([0.5 * (b.start + b.end) for b in self.blocks], dtype=np.float64)

    def relative(self, reference: Optional[np.ndarray] = None) -> np.ndarray:
        """dv / v of every pick against a reference curve over the same
        frequencies (by default the median over the blocks).

        Parameters
        ----------
        reference : ndarray, optional
            Phase velocities (m/s) at the time-lapse's frequencies.

        Returns
        -------
        ndarray
            (blocks, frequencies): velocity / reference - 1, NaN where a block
            has no valid pick.
        """
        ref = np.nanmedian(self.velocity, axis=0) if reference is None else np.asarray(
            reference, dtype=np.float64)
        with np.errstate(invalid="ignore", divide="ignore"):
            out: np.ndarray = self.velocity / ref[None, :] - 1.0
        return out

    COLUMNS = ("block", "start_time", "start", "end", "windows", "frequency", "velocity",
               "wavelength", "quality")

    def to_csv(self, path: Union[str, os.PathLike[str]], *, overwrite: bool = False) -> None:
        """Write every valid pick as a row: block index, block start (ISO
        8601, empty when unknown), start and end (s from the first sample of
        the record), windows stacked, frequency (Hz), phase velocity (m/s),
        wavelength (m) and quality. The file is written under a temporary
        name and renamed; an existing file is kept unless `overwrite`.

        Parameters
        ----------
        path : str or path-like
            The file to write.
        overwrite : bool
            Replace an existing file; otherwise it is refused with a
            FileExistsError.
        """
        with atomic_open(path, "w", newline="", overwrite=overwrite) as handle:
            writer = csv.writer(handle)
            writer.writerow(self.COLUMNS)
            for row, b in enumerate(self.blocks):
                for j in np.flatnonzero(np.isfinite(self.velocity[row])):
                    f, v = float(self.frequency[j]), float(self.velocity[row, j])
                    writer.writerow([b.index, b.start_time or "", f"{b.start:.17g}",
                                     f"{b.end:.17g}", b.windows, f"{f:.17g}",
                                     f"{v:.17g}", f"{v / f:.17g}",
                                     f"{float(self.quality[row, j]):.17g}"])

    def plot(self, frequencies: Optional[Sequence[float]] = None, *, truth: Any = None,
             figsize: tuple[float, float] = (11.0, 4.2)) -> Any:
        """A figure of two panels (a matplotlib Figure, the `plot` extra;
        ``fig.savefig(path)`` writes it): the picked phase velocity against
        time at a few frequencies, and every block's curve coloured by time.

        Parameters
        ----------
        frequencies : sequence of float, optional
            The frequencies of the time series (Hz); by default four spread
            over those picked in most blocks.
        truth : callable, optional
            ``(f, t) -> c``, drawn dashed in the time series.
        figsize : (float, float)
            The figure's size (inches).

        Returns
        -------
        matplotlib.figure.Figure
        """
        require_matplotlib()
        import matplotlib
        from matplotlib import cm, colors
        from matplotlib.figure import Figure
        if not self.blocks:
            raise ValueError("the time-lapse holds no block to plot")
        unit, scale = _time_unit(self.block_length * len(self.blocks))
        t = self.times / scale
        fig = Figure(figsize=figsize, dpi=110, layout="constrained")
        ax1, ax2 = fig.subplots(1, 2)
        picked = np.mean(np.isfinite(self.velocity), axis=0)
        if frequencies is None:
            good = np.flatnonzero(picked >= 0.8 * picked.max()) if picked.max() > 0 \
                else np.zeros(0, dtype=np.intp)
            chosen = [int(j) for j in np.unique(np.linspace(good[0], good[-1], 4).round()
                                                 .astype(int))] if len(good) else []
        else:
            chosen = [int(np.argmin(np.abs(self.frequency - float(f)))) for f in frequencies]
        for j in chosen:
            line, = ax1.plot(t, self.velocity[:, j], "o-", ms=3,
                             label=f"{self.frequency[j]:.3g} Hz")
            if truth is not None:
                tt = np.linspace(self.blocks[0].start, self.blocks[-1].end, 200)
                ax1.plot(tt / scale, [float(truth(self.frequency[j], x)) for x in tt], "--",
                         color=line.get_color(), lw=1)
        since = f" since {self.start_time[:19].replace('T', ' ')}" if self.start_time else ""
        ax1.set_xlabel(f"time{since} ({unit})")
        ax1.set_ylabel("phase velocity (m/s)")
        ax1.set_title("picked phase velocity per block")
        if chosen:
            ax1.legend(fontsize="small")
        norm = colors.Normalize(vmin=t.min(), vmax=max(t.max(), t.min() + 1e-9))
        cmap = matplotlib.colormaps["viridis"]
        for row in range(len(self.blocks)):
            ax2.plot(self.frequency, self.velocity[row], color=cmap(norm(t[row])), lw=1)
        fig.colorbar(cm.ScalarMappable(norm=norm, cmap=cmap), ax=ax2,
                     label=f"block centre ({unit})")
        ax2.set_xlabel("frequency (Hz)")
        ax2.set_ylabel("phase velocity (m/s)")
        ax2.set_title(f"curves of {len(self.blocks)} blocks of {_text(self.block_length)}")
        return fig


def _time_unit(span: float) -> tuple[str, float]:
    if span >= 3 * 86400:
        return "d", 86400.0
    if span >= 3 * 3600:
        return "h", 3600.0
    if span >= 180:
        return "min", 60.0
    return "s", 1.0


def _text(seconds: float) -> str:
    unit, scale = _time_unit(seconds * 3)
    return f"{seconds / scale:g} {unit}"


def timelapse(records: Records, source: int, length: float, block: Union[float, str], *,
              method: str = "phase_shift", velocities: Any = (50.0, 1000.0, 1.0),
              fmin: Optional[float] = None, fmax: Optional[float] = None,
              df: Optional[float] = None, vmin: Optional[float] = None,
              vmax: Optional[float] = None, wavelengths: Any = None, valid: bool = True,
              min_windows: int = 1,
              step: Optional[float] = None, max_lag: Optional[float] = None,
              channels: Any = None, whiten: Any = True, whiten_width: float = 0.0,
              normalization: str = "none", ram_window: Optional[float] = None,
              taper: float = 0.05, stacking: str = "linear", power: float = 2.0,
              fold: str = "both", start: Any = None, stop: Any = None,
              workers: Optional[int] = 1, client: Any = None, batch: int = 4,
              tolerance: float = 0.1, progress: Optional[bool] = None,
              dvv: Any = None, reference: Any = None,
              out: Optional[Union[str, os.PathLike[str]]] = None, reject: Any = None,
              **positions: Any) -> TimeLapse:
    """Virtual gathers, dispersion images and picked curves per block of time.

    Parameters
    ----------
    records, source, length
        As for :func:`molvak.virtual_gather` (one virtual source).
    block : float or str
        Length of the blocks: seconds, or "30min", "1h", "1d", ...
    method : {"phase_shift", "fdbf", "slant_stack"}
        The estimator; `velocities`, `fmin`, `fmax`, `df` are its options.
    vmin, vmax : float, optional
        Velocity window of the picks.
    wavelengths : (lambda_min, lambda_max), False or None
        The resolved band of the picks' flags (see
        :meth:`molvak.DispersionImage.pick`): by default
        :func:`molvak.array_limits` of the virtual gather's offsets.
    valid : bool
        Keep only the picks without a flag (True by default).
    min_windows : int
        Blocks with fewer windows are left out.
    batch : int
        Windows read and correlated together.
    dvv : {"stretching", "mwcs"} or dict, optional
        Also measure dv/v of every block's virtual gather against the
        reference (:func:`molvak.dvv`): a method, or the keywords of
        :func:`molvak.dvv` (``{"method": "mwcs", "lags": (0.2, 2.0),
        "fmin": 5, "fmax": 30}``).
    reference : CorrelationStack or Gather, optional
        The reference of dv/v: by default the stack of the whole record
        (every block's windows).
    out : path, optional
        A folder for the blocks' partial stacks, one HDF5 file each
        (``block_<index>_<length>s.h5``, see
        :meth:`molvak.CorrelationStack.save`; needs h5py), written as soon
        as each block is done. Blocks whose file is already there are read
        instead of correlated, so a run that was interrupted resumes where
        it stopped and gives the same result bit for bit; a file from a run
        with other settings is an error.
    other keywords
        The correlation options of :func:`molvak.virtual_gather`.

    Returns
    -------
    TimeLapse
    """
    length_s = _checks.positive_float("length", length)
    span = block_seconds(block)
    if span < length_s:
        raise ValueError(f"block ({span:g} s) must be at least one window ({length_s:g} s)")
    if isinstance(min_windows, bool) or not isinstance(min_windows, numbers.Integral) \
            or min_windows < 1:
        raise ValueError(f"min_windows must be a positive integer; got {min_windows!r}")
    record = open_record(records, channels=channels, tolerance=tolerance, **positions)
    s = settings(length_s, record.dt, max_lag=max_lag, taper=taper, whiten=whiten,
                 whiten_width=whiten_width, normalization=normalization,
                 ram_window=ram_window, stacking=stacking, reject=reject)
    sources, _ = source_list(source, record.positions.size)
    if len(sources) != 1:
        raise ValueError("timelapse takes one virtual source")
    plan = Windows(record, s.samples * s.dt, step, start, stop)
    if not len(plan):
        raise ValueError(f"the record holds no window of {s.samples * s.dt:g} s")
    first = record.segments[0]
    # seconds from the block grid's origin to the record's first sample
    shift = block_shift(record, span)
    groups = time_blocks(plan, span)
    options_dvv = _dvv_options(dvv)
    if out is None:
        stacks = run_stacks(record, groups, sources, s, block=batch, workers=workers,
                            client=client, progress=progress, label="correlating blocks")
        computed, reused = len(groups), 0
    else:
        found, computed, reused = folder_stacks(
            record, dict(groups), sources, s, out, lambda b: f"block_{b}_{span:g}s.h5",
            block=batch, workers=workers, client=client, progress=progress)
        stacks = {int(k): v for k, v in found.items()}
    warn_nonfinite(list(stacks.values()))
    ref_gather = None
    if options_dvv is not None:
        ref_gather = _reference(reference, stacks, fold, power)
    blocks: list[TimeLapseBlock] = []
    options = {"velocities": velocities, "fmin": fmin, "fmax": fmax, "df": df}
    for b in sorted(stacks):
        stack = stacks[b]
        if stack.count < min_windows:
            continue
        gather = stack.gathers(fold=fold, power=power)[0]
        b0 = b * span - shift
        t0 = None
        if first.start is not None:
            t0 = str(np.datetime64(first.start + int(round(b0 * 1e9)), "ns"))
        gather.headers["block"] = (b0, b0 + span)
        image = image_gather(gather, method, **options)
        curve = image.pick(vmin, vmax, wavelengths=wavelengths)
        if valid:
            curve = curve.select(valid=True)
        change = None
        if ref_gather is not None and options_dvv is not None:
            change = measure_dvv(ref_gather, gather, **options_dvv)
        blocks.append(TimeLapseBlock(b, b0, b0 + span, t0, stack.count, gather, image, curve,
                                     change))
    if not blocks:
        raise ValueError(f"no block holds {min_windows} window(s)")
    frequency = blocks[0].image.frequency
    velocity = np.full((len(blocks), frequency.size), np.nan)
    quality = np.full_like(velocity, np.nan)
    for row, blk in enumerate(blocks):
        j = np.searchsorted(frequency, blk.curve.frequency)
        velocity[row, j] = blk.curve.velocity
        quality[row, j] = blk.curve.quality
    return TimeLapse(blocks, frequency, velocity, quality, span,
                     record.headers.get("start_time") if first.start is not None else None,
                     ref_gather, computed, reused)


def _dvv_options(dvv: Any) -> Optional[dict[str, Any]]:
    if dvv is None or dvv is False:
        return None
    if isinstance(dvv, str):
        return {"method": _checks.choice("dvv", dvv, DVV_METHODS)}
    if isinstance(dvv, dict):
        return dict(dvv)
    raise TypeError(f"dvv must be 'stretching', 'mwcs' or a dict of molvak.dvv keywords; got "
                    f"{type(dvv).__name__}")


def _reference(reference: Any, stacks: dict[int, CorrelationStack], fold: str,
               power: float) -> Gather:
    """The reference gather of dv/v: given, or the whole record's stack."""
    if isinstance(reference, Gather):
        return reference
    if isinstance(reference, CorrelationStack):
        return reference.gathers(fold=fold, power=power)[0]
    if reference is not None:
        raise TypeError(f"reference must be a CorrelationStack or a Gather; got "
                        f"{type(reference).__name__}")
    parts = [stacks[k] for k in sorted(stacks) if stacks[k].count]
    if not parts:
        raise ValueError("no block holds a window: no reference for dv/v")
    total = parts[0]
    for st in parts[1:]:
        total = total + st
    return total.gathers(fold=fold, power=power)[0]
