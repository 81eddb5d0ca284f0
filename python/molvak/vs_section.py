"""Pseudo-2D shear-wave sections: every window of a sweep inverted.

    result = molvak.sweep(line, window=48, step=4, method="phase_shift", ...)
    section = molvak.invert_sweep(result, layers=3, seed=1)
    section.median            # (depths, windows) Vs, m/s; .low and .high: 90 % bounds
    section.to_csv("vs_section.csv")
    section.plot()

Each window's picked curve (its valid picks) is averaged into `points`
bins spaced evenly in ln(frequency) (the picks of one image are not
independent measurements: a few hundred picks of one ridge would pretend to
a precision the image does not have), given the std `default_std` in
ln(velocity), and inverted by :func:`molvak.invert`. The windows are
inverted in order along the line, each search started from its neighbour's
posterior (half its first population drawn from it), so that a window costs
a shorter search than the first.
"""
from __future__ import annotations

import csv
import io
import math
import os
import sys
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Union

import numpy as np

from ._atomic import write_text
from ._progress import Progress
from .curves import DispersionCurve
from .inversion import DEFAULT_STD, ConvergenceWarning, Inversion, Target, invert
from .picking import LONGEST
from .sweeps import Sweep, _edges

__all__ = ["VsSection", "invert_sweep"]

PathLike = Union[str, "os.PathLike[str]"]


def binned(curve: DispersionCurve, points: int, std: float,
           wavelengths: Optional[tuple[float, float]] = None) -> Optional[Target]:
    """The valid picks of a curve (within `wavelengths`, m, when given)
    averaged in `points` bins evenly spaced in ln(frequency): the mean
    ln(velocity) of each bin that holds picks, at the bin's mean
    ln(frequency). None when fewer than three bins hold picks."""
    keep = curve.valid & np.isfinite(curve.velocity) & (curve.velocity > 0) \
        & (curve.frequency > 0)
    if wavelengths is not None:
        keep &= (curve.wavelength >= wavelengths[0]) & (curve.wavelength <= wavelengths[1])
    if keep.sum() < 3:
        return None
    lf, lv = np.log(curve.frequency[keep]), np.log(curve.velocity[keep])
    if lf.max() <= lf.min():
        return None
    edges = np.linspace(lf.min(), lf.max(), points + 1)
    label = np.clip(np.searchsorted(edges, lf, side="right") - 1, 0, points - 1)
    count = np.bincount(label, minlength=points)
    used = count > 0
    if used.sum() < 3:
        return None
    mf = np.bincount(label, weights=lf, minlength=points)[used] / count[used]
    mv = np.bincount(label, weights=lv, minlength=points)[used] / count[used]
    return Target(np.exp(mf), np.exp(mv), np.full(mf.size, std), curve.mode)


@dataclass(frozen=True, eq=False)
class VsSection:
    """Vs against distance along a line and depth, with its uncertainty.

    Attributes
    ----------
    midpoint : ndarray, shape (NW,)
        Window midpoints (m).
    depth : ndarray, shape (NZ,)
        Depths (m).
    median, low, high : ndarray, shape (NZ, NW)
        The posterior's median Vs and the bounds of its central `interval`
        (m/s) at every depth and window; NaN for a window not inverted.
    interval : float
    vs30 : ndarray, shape (NW, 3)
        Every window's Vs30: median, low, high.
    converged : ndarray of bool, shape (NW,)
    inversions : list of Inversion or None
        Every window's result (None where its curve had too few picks).
    position : str
        What the midpoints measure.
    """

    midpoint: np.ndarray
    depth: np.ndarray
    median: np.ndarray
    low: np.ndarray
    high: np.ndarray
    interval: float
    vs30: np.ndarray
    converged: np.ndarray
    inversions: list[Optional[Inversion]] = field(repr=False)
    position: str = "receiver position"

    COLUMNS = ("midpoint", "depth", "vs_median", "vs_low", "vs_high", "interval",
               "investigation_depth")

    def to_csv(self, path: PathLike, *, overwrite: bool = False) -> None:
        """Write one row per (midpoint, depth): midpoint and depth (m), the
        median Vs and the interval's bounds (m/s, empty where there is none),
        the interval and the window's depth of investigation (m); numbers
        with 17 significant digits. Atomic; an existing file is kept unless
        `overwrite` (FileExistsError)."""
        buffer = io.StringIO()
        writer = csv.writer(buffer, lineterminator="\n")
        writer.writerow(self.COLUMNS)

        def text(x: float) -> str:
            return f"{x:.17g}" if math.isfinite(x) else ""

        doi = self.investigation_depth
        for j, mid in enumerate(self.midpoint):
            for k, z in enumerate(self.depth):
                writer.writerow([text(float(mid)), text(float(z)), text(self.median[k, j]),
                                 text(self.low[k, j]), text(self.high[k, j]),
                                 f"{self.interval:g}", text(float(doi[j]))])
        write_text(path, buffer.getvalue(), overwrite=overwrite)

    @property
    def investigation_depth(self) -> np.ndarray:
        """Every window's depth of investigation (m), shape (NW,): half the
        longest wavelength of the data it was inverted from, the usual upper
        estimate of the depth a dispersion curve constrains (λmax / 2 to
        λmax / 3; Foti et al. 2018, Bull. Earthq. Eng. 16, 2367-2420). Below
        it the posterior is the prior shaped by the layers above, however
        narrow it looks. NaN for a window not inverted."""
        return np.array([np.nan if r is None else
                         0.5 * max(float(np.max(f.target.velocity / f.target.frequency))
                                   for f in r.fits)
                         for r in self.inversions], dtype=np.float64)

    def plot(self, axes: Any = None, *, cmap: str = "viridis",
             title: Optional[str] = None) -> Any:
        """Two panels (matplotlib): the median Vs, and the relative width of
        the interval (high - low) / median, against midpoint and depth; below
        every window's depth of investigation both are veiled and bounded by
        a dashed line. Returns the two Axes."""
        import matplotlib.pyplot as plt
        from matplotlib.colors import ListedColormap

        if axes is None:
            _, axes = plt.subplots(2, 1, figsize=(8.0, 6.0), sharex=True,
                                   constrained_layout=True)
        x = _edges(self.midpoint)
        z = _edges(self.depth)
        z[0] = max(z[0], 0.0)
        mesh = axes[0].pcolormesh(x, z, np.ma.masked_invalid(self.median), cmap=cmap,
                                  shading="flat")
        axes[0].figure.colorbar(mesh, ax=axes[0], label="median Vs (m/s)")
        with np.errstate(invalid="ignore", divide="ignore"):
            width = (self.high - self.low) / self.median
        mesh = axes[1].pcolormesh(x, z, np.ma.masked_invalid(100.0 * width), cmap="magma_r",
                                  shading="flat")
        axes[1].figure.colorbar(mesh, ax=axes[1],
                                label=f"{100 * self.interval:.0f} % interval width (%)")
        doi = self.investigation_depth
        below = self.depth[:, None] > doi[None, :]
        for ax in axes:
            if below.any():
                ax.pcolormesh(x, z, np.ma.masked_where(~below, np.ones(below.shape)),
                              cmap=ListedColormap(["white"]), alpha=0.5,
                              shading="flat", edgecolors="none")
            if np.isfinite(doi).any():
                ax.stairs(doi, x, baseline=None, color="black", ls="--", lw=1.0,
                          label="depth of investigation (λmax / 2)")
            ax.set_ylim(z[-1], z[0])
            ax.set_ylabel("depth (m)")
        if np.isfinite(doi).any():
            axes[0].legend(loc="lower left", fontsize="small", framealpha=0.8)
        axes[1].set_xlabel(f"window midpoint, {self.position} (m)")
        axes[0].set_title(title if title is not None else "Vs section (posterior median)")
        return axes


def band(curve: DispersionCurve) -> Optional[tuple[float, float]]:
    """The wavelengths whose picks a window's inversion takes: from three
    receiver spacings to half the window's aperture (from the limits the
    curve's flags were computed with); None when the curve does not say."""
    limits = curve.limits.get("wavelengths")
    spacing = curve.limits.get("spacing")
    if limits is None or spacing is None:
        return None
    return 3.0 * float(spacing), float(limits[1]) * 0.5 / LONGEST


def invert_sweep(source: Union[Sweep, Sequence[Any]], *,
                 midpoints: Optional[Sequence[float]] = None,
                 wavelengths: Union[None, str, tuple[float, float]] = "band",
                 depths: Optional[Sequence[float]] = None, points: int = 30,
                 default_std: float = DEFAULT_STD, interval: float = 0.9,
                 pick: Optional[dict[str, Any]] = None,
                 progress: Union[None, bool, Callable[[int, int], None]] = None,
                 **options: Any) -> VsSection:
    """Invert every window of a sweep into a Vs section.

    Parameters
    ----------
    source : Sweep or sequence of curves
        A :func:`molvak.sweep` result (every window's image picked with
        `pick` options), or one curve per window (DispersionCurve,
        UncertainCurve, Target or a tuple as for :func:`molvak.invert`) with
        `midpoints`.
    wavelengths : "band", (min, max) or None
        The picks of a DispersionCurve taken: by default from three receiver
        spacings to half the window's aperture (:func:`band`; the classical
        long end, and a short end below which the picks of the README's
        synthetic line, valid down to one spacing, fall up to 10 % low
        near two spacings), or between two wavelengths (m), or all valid
        picks (None).
    depths : sequence of float, optional
        Depths of the section (m); by default 0 to 1.5 times the first
        window's median depth to the half-space (at least 30 m), 100 values.
    points : int
        The bins every picked DispersionCurve is averaged into (see
        :func:`binned`); other curves are used as given.
    default_std : float
        The std of ln(velocity) of picked curves.
    interval : float
        The central posterior interval of `low` and `high`.
    progress : bool or callable, optional
        As for :func:`molvak.invert`, counted in windows.
    **options
        Passed to :func:`molvak.invert` (layers, vs, thickness, seed...). By
        default the first window's search runs 60 generations and the
        others 20 (`later_generations`); the chains, 3 temperatures each,
        300 steps of burn-in and 300 of sampling.
        Fixed `vs` and `thickness` bounds are advised, so that every window
        shares one prior (by default the bounds come from the first
        window's curve and are kept for all).

    Returns
    -------
    VsSection
    """
    if isinstance(source, Sweep):
        curves: list[Any] = source.pick(**(pick or {}))
        mids = np.asarray(source.midpoints, dtype=np.float64)
        position = str(source.params.get("position", "receiver position"))
    else:
        curves = list(source)
        if midpoints is None:
            raise ValueError("midpoints: give one position (m) per curve")
        mids = np.asarray(midpoints, dtype=np.float64).ravel()
        position = "position"
    if mids.size != len(curves) or mids.size == 0:
        raise ValueError(f"midpoints: {mids.size} positions for {len(curves)} curves")
    if isinstance(wavelengths, str) and wavelengths != "band":
        raise ValueError(f"wavelengths must be 'band', (min, max) or None; got {wavelengths!r}")
    if isinstance(points, bool) or int(points) != points or points < 3:
        raise ValueError(f"points must be an integer of at least 3; got {points!r}")
    if not 0 < interval < 1:
        raise ValueError(f"interval must lie between 0 and 1; got {interval!r}")
    data: list[Any] = []
    for c in curves:
        if isinstance(c, DispersionCurve):
            lam = band(c) if isinstance(wavelengths, str) else wavelengths
            data.append(binned(c, int(points), default_std, lam))
        else:
            data.append(c)
    if all(d is None for d in data):
        raise ValueError(f"none of the {len(curves)} windows has three or more valid picks")
    if progress is None:
        progress = bool(getattr(sys.stderr, "isatty", lambda: False)())
    bar: Optional[Callable[[int, int], None]]
    if progress is True:
        meter = Progress(len(data), "inverting windows")
        bar = lambda done, total: meter.step()  # noqa: E731
    elif progress is False:
        bar = None
    else:
        if not callable(progress):
            raise TypeError(f"progress must be a bool or a callable; got {progress!r}")
        bar = progress
    opts = dict(options)
    opts.setdefault("burn", 300)
    opts.setdefault("steps", 300)
    opts.setdefault("temperatures", 3)
    first_generations = opts.pop("generations", 60)
    later_generations = opts.pop("later_generations", 20)
    seed = opts.pop("seed", None)
    seq = np.random.SeedSequence(seed)
    seeds = seq.spawn(len(data))
    results: list[Optional[Inversion]] = []
    previous: Optional[Inversion] = None
    for k, d in enumerate(data):
        if d is None:
            results.append(None)
        else:
            if previous is not None:
                for key in ("vs", "thickness"):
                    if opts.get(key) is None:
                        opts[key] = previous.settings[key]
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", ConvergenceWarning)
                run = invert(d, seed=int(seeds[k].generate_state(1)[0]), start=previous,
                             generations=first_generations if previous is None
                             else later_generations, progress=False, **opts)
            results.append(run)
            previous = run
        if bar is not None:
            bar(k + 1, len(data))
    done = [r for r in results if r is not None]
    if depths is None:
        deep = float(np.median(np.sum(done[0].thickness, axis=1))) if done[0].thickness.size \
            else 10.0
        z = np.linspace(0.0, max(30.0, 1.5 * deep), 100)
    else:
        z = np.asarray(depths, dtype=np.float64).ravel()
    q = (50 * (1 - interval), 50.0, 50 * (1 + interval))
    nan = np.full((z.size, mids.size), np.nan)
    low, med, high = nan.copy(), nan.copy(), nan.copy()
    vs30 = np.full((mids.size, 3), np.nan)
    converged = np.zeros(mids.size, dtype=bool)
    for j, r in enumerate(results):
        if r is None:
            continue
        low[:, j], med[:, j], high[:, j] = r.percentiles(z, q)
        e = r.vs30(interval)
        vs30[j] = (e.median, e.low, e.high)
        converged[j] = r.converged
    if not converged[[r is not None for r in results]].all():
        bad = [f"{mids[j]:g}" for j, r in enumerate(results) if r is not None
               and not converged[j]]
        warnings.warn(f"{len(bad)} window(s) whose chains have not converged (midpoints "
                      f"{', '.join(bad[:6])}{' ...' if len(bad) > 6 else ''} m): see "
                      f"section.inversions[k].rhat", ConvergenceWarning, stacklevel=2)
    return VsSection(mids, z, med, low, high, float(interval), vs30, converged, results,
                     position)

