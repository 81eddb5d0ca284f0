"""Sub-array sweeps along long lines and 2D pseudo-sections.

A long line (a landstreamer roll-along, a long geophone spread, a DAS fibre
with an active or virtual shot) is imaged as many overlapping windows of
neighbouring traces, each giving a dispersion image of the ground under it.
Window k holds traces k * step to k * step + window - 1 of the gather as
given; its midpoint is halfway between the positions of its first and last
trace.

The phase-shift, beamforming and slant-stack images of one window are sums
over the window's traces (or over the segments between neighbouring traces,
for the trapezoid rule) of terms that belong to each trace alone: its
spectrum, offset and steering. A sweep therefore forms every trace's terms
once and adds them up per window with block prefix and suffix sums, so that
each window costs a constant amount per (frequency, velocity) however long
it is, and carries the rounding of a direct sum of its own terms. The images
equal those of imaging each window on its own.

A pseudo-section reads the phase velocity at chosen wavelengths off each
window's picked dispersion curve and lays it out against the window
midpoints; a pseudo-depth is the wavelength divided by `depth_factor` (2 by
default: z = lambda / 2; lambda / 3 is the other common convention).
"""
from __future__ import annotations

import csv
import dataclasses
import io
import os
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Union

import numpy as np
from numpy.typing import ArrayLike

import _molvak

from . import _checks, _native, estimators
from ._atomic import write_text
from .curves import DispersionCurve
from .estimators import prepare
from .gather import Gather
from .image import DispersionImage, array_limits

__all__ = ["PseudoSection", "Sweep", "sweep", "window_bounds"]

PathLike = Union[str, "os.PathLike[str]"]



def window_bounds(ntraces: int, window: int, step: int) -> np.ndarray:
    """(first, last) trace of every window, shape (nwindows, 2).

    Window k holds traces k * step to k * step + window - 1; the windows stop
    at the last one that fits, so up to step - 1 traces at the end of the
    line may belong to no window.
    """
    for name, value in (("window", window), ("step", step)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"{name} must be an integer number of traces; got {value!r}")
    window, step = int(window), int(step)
    if window < 2:
        raise ValueError(f"window must hold at least 2 traces; got {window}")
    if step < 1:
        raise ValueError(f"step must be at least 1 trace; got {step}")
    if window > ntraces:
        raise ValueError(f"window of {window} traces is longer than the gather "
                         f"({ntraces} traces)")
    first = np.arange(0, ntraces - window + 1, step, dtype=np.int64)
    return np.stack([first, first + window - 1], axis=1)


def line_positions(gather: Gather) -> tuple[np.ndarray, str]:
    """Every trace's position along the line and the name of that axis.

    In-line receiver coordinates when the gather has them; for 2-D or 3-D
    receiver positions the distance along the receivers from the first one
    (the chainage); otherwise the offsets.
    """
    r = gather.receivers
    if r is None:
        return np.asarray(gather.offsets, dtype=np.float64), "offset"
    if r.shape[1] == 1:
        return np.asarray(r[:, 0], dtype=np.float64), "receiver position"
    steps = np.sqrt(np.sum(np.square(np.diff(r, axis=0)), axis=1))
    return np.concatenate([[0.0], np.cumsum(steps)]), "distance along the receivers"


@dataclass(frozen=True, eq=False)
class Sweep:
    """The images of a sub-array sweep.

    Attributes
    ----------
    midpoints : ndarray, shape (NW,)
        Position of every window's midpoint along the line (m), halfway
        between its first and last trace.
    images : list of DispersionImage
        One image per window, in the order of `midpoints`.
    windows : ndarray of int, shape (NW, 2)
        First and last trace of every window, as indices into the gather's
        traces sorted along the line (``params["order"]``).
    method : str
        The estimator.
    params : dict
        window, step, the axis of the midpoints and of the sorting
        ("position"), ``order`` (the gather's index of every trace along the
        line: the traces of window k are ``order[windows[k, 0]:windows[k, 1]
        + 1]``) and the estimator's options.
    """

    midpoints: np.ndarray
    images: list[DispersionImage]
    windows: np.ndarray
    method: str
    params: dict[str, Any] = field(default_factory=dict)

    def __len__(self) -> int:
        return len(self.images)

    def pick(self, **options: Any) -> list[DispersionCurve]:
        """:meth:`DispersionImage.pick` of every window's image, in order.

        Parameters
        ----------
        **options
            The arguments of :meth:`DispersionImage.pick`.

        Returns
        -------
        list of DispersionCurve
            One curve per window.
        """
        return [image.pick(**options) for image in self.images]

    def pseudo_section(self, wavelengths: Optional[ArrayLike] = None, *,
                       depths: Optional[ArrayLike] = None, depth_factor: float = 2.0,
                       curves: Optional[Sequence[DispersionCurve]] = None,
                       progress: Optional[Callable[[int, int], None]] = None,
                       **pick_options: Any) -> PseudoSection:
        """Phase velocity at chosen wavelengths against window midpoint.

        Parameters
        ----------
        wavelengths : array_like, optional
            Wavelengths (m). By default 24 values spaced evenly in log from
            the shortest to the longest wavelength a window resolves
            (:func:`molvak.array_limits` of the first window's offsets).
        depths : array_like, optional
            Pseudo-depths (m) instead of wavelengths: lambda = depth *
            depth_factor.
        depth_factor : float
            The pseudo-depth convention z = lambda / depth_factor: 2 (the
            default) or 3 are usual.
        curves : sequence of DispersionCurve, optional
            One picked curve per window; by default :meth:`pick` with
            `pick_options` (the valid picks are used).
        progress : callable, optional
            Called as progress(done, total) as the windows are picked.
        """
        return pseudo_section(self, wavelengths, depths=depths, depth_factor=depth_factor,
                              curves=curves, progress=progress, **pick_options)


def velocity_at_wavelengths(curve: DispersionCurve, wavelengths: np.ndarray,
                            limits: Optional[tuple[float, float]] = None,
                            agreement: float = 0.05) -> tuple[np.ndarray, np.ndarray]:
    """The phase velocity of a picked curve at given wavelengths.

    Between two picks at neighbouring frequencies whose wavelengths bracket a
    wanted wavelength, the velocity is interpolated linearly in wavelength.
    A curve whose wavelength is not monotonic in frequency may cross a
    wavelength several times: the crossings are averaged when they agree to
    within `agreement` (relative), and the value is left out otherwise.
    Wavelengths outside `limits` (the window's resolution, see
    :func:`molvak.array_limits`) or not crossed by the curve are left out.

    Returns
    -------
    velocity, valid : ndarray, ndarray of bool
        NaN and False where left out.
    """
    lam = np.asarray(wavelengths, dtype=np.float64)
    velocity = np.full(lam.shape, np.nan)
    keep = np.ones(len(curve), dtype=bool)
    valid_picks = getattr(curve, "valid", None)
    if valid_picks is not None:
        keep &= np.asarray(valid_picks, dtype=bool)
    f = curve.frequency[keep]
    order = np.argsort(f, kind="stable")
    c = curve.velocity[keep][order]
    w = curve.wavelength[keep][order]
    if w.size >= 2:
        w0, w1, c0, c1 = w[:-1], w[1:], c[:-1], c[1:]
        for k, target in enumerate(lam):
            if limits is not None and not limits[0] <= target <= limits[1]:
                continue
            hit = (np.minimum(w0, w1) <= target) & (target <= np.maximum(w0, w1))
            if not hit.any():
                continue
            span = w1[hit] - w0[hit]
            t = np.divide(target - w0[hit], span, out=np.zeros(span.shape), where=span != 0)
            values = c0[hit] + t * (c1[hit] - c0[hit])
            mean = float(np.mean(values))
            if values.max() - values.min() <= agreement * mean:
                velocity[k] = mean
    return velocity, np.isfinite(velocity)


@dataclass(frozen=True, eq=False)
class PseudoSection:
    """Phase velocity at chosen wavelengths against window midpoint.

    Attributes
    ----------
    midpoint : ndarray, shape (NW,)
        Window midpoints (m) along `position`.
    wavelength : ndarray, shape (NL,)
        Wavelengths (m).
    velocity : ndarray, shape (NL, NW)
        Phase velocity (m/s); NaN where the window's curve gives none.
    valid : ndarray of bool, shape (NL, NW)
    depth_factor : float
        The pseudo-depth convention: depth = wavelength / depth_factor.
    position : str
        What the midpoints measure ("receiver position", "offset", ...).
    method : str
        The estimator of the images.
    """

    midpoint: np.ndarray
    wavelength: np.ndarray
    velocity: np.ndarray
    valid: np.ndarray
    depth_factor: float = 2.0
    position: str = "receiver position"
    method: str = ""

    COLUMNS = ("midpoint", "wavelength", "pseudo_depth", "velocity", "valid", "depth_factor")

    @property
    def depth(self) -> np.ndarray:
        """Pseudo-depths (m): wavelength / depth_factor."""
        return self.wavelength / self.depth_factor

    @property
    def convention(self) -> str:
        """The pseudo-depth convention in words, e.g. ``"pseudo-depth = wavelength / 2"``."""
        return f"pseudo-depth = wavelength / {self.depth_factor:g}"

    def to_csv(self, path: PathLike, *, overwrite: bool = False) -> None:
        """Write the section as CSV, one row per (midpoint, wavelength).

        Columns: midpoint (m, along `position`), wavelength (m),
        pseudo_depth (m), velocity (m/s, empty where there is none), valid
        (1 or 0) and depth_factor (the convention pseudo_depth = wavelength
        / depth_factor, on every row); numbers with 17 significant digits.
        The file appears complete or not at all, and an existing file is kept
        unless `overwrite` (FileExistsError).

        Parameters
        ----------
        path : str or path-like
            The file to write.
        overwrite : bool
            Replace an existing file; otherwise it is refused with a
            FileExistsError.
        """

        buffer = io.StringIO()
        writer = csv.writer(buffer, lineterminator="\n")
        writer.writerow(self.COLUMNS)
        factor = f"{self.depth_factor:.17g}"
        for j, mid in enumerate(self.midpoint):
            for k, lam in enumerate(self.wavelength):
                v = float(self.velocity[k, j])
                writer.writerow([f"{float(mid):.17g}", f"{float(lam):.17g}",
                                 f"{float(lam) / self.depth_factor:.17g}",
                                 f"{v:.17g}" if np.isfinite(v) else "",
                                 int(bool(self.valid[k, j])), factor])
        write_text(path, buffer.getvalue(), overwrite=overwrite)

    def plot(self, ax: Any = None, *, depth: bool = True, cmap: str = "viridis",
             title: Optional[str] = None) -> Any:
        """Draw the section with matplotlib (the `plot` extra): phase velocity
        coloured against midpoint (across) and pseudo-depth or wavelength
        (down). Cells without a value stay blank.

        Parameters
        ----------
        ax : matplotlib Axes, optional
            The Axes to draw on; a new figure's by default.
        depth : bool
            Pseudo-depth down (True) or wavelength.
        cmap : str
            The colour map of the velocities.
        title : str, optional
            The Axes' title.

        Returns
        -------
        matplotlib.axes.Axes
            The Axes drawn on.
        """
        import matplotlib.pyplot as plt

        if ax is None:
            _, ax = plt.subplots(figsize=(8.0, 4.0), constrained_layout=True)
        y = self.depth if depth else self.wavelength
        x_edges = _edges(self.midpoint)
        y_edges = _edges(y, log=bool(y.size > 1 and (y > 0).all()))
        mesh = ax.pcolormesh(x_edges, y_edges, np.ma.masked_invalid(self.velocity),
                             cmap=cmap, shading="flat")
        ax.set_ylim(y_edges.max(), y_edges.min())
        if y.size > 1 and (y > 0).all():
            from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter
            ax.set_yscale("log")
            ax.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 3.0, 5.0)))
            ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
            ax.yaxis.set_minor_formatter(NullFormatter())
        ax.set_xlabel(f"window midpoint, {self.position} (m)")
        ax.set_ylabel(f"pseudo-depth, wavelength / {self.depth_factor:g} (m)" if depth
                      else "wavelength (m)")
        ax.figure.colorbar(mesh, ax=ax, label="phase velocity (m/s)")
        if title is not None:
            ax.set_title(title)
        return ax


def _edges(centres: np.ndarray, log: bool = False) -> np.ndarray:
    """Cell edges around sorted centres: halfway between neighbours (in log
    for a log axis), the outer cells as wide as their neighbours."""
    v = np.log(centres) if log else np.asarray(centres, dtype=np.float64)
    if v.size == 1:
        edges = np.array([v[0] - 0.5, v[0] + 0.5])
    else:
        mid = 0.5 * (v[1:] + v[:-1])
        edges = np.concatenate([[v[0] - (mid[0] - v[0])], mid, [v[-1] + (v[-1] - mid[-1])]])
    return np.exp(edges) if log else edges


def pseudo_section(result: Sweep, wavelengths: Optional[ArrayLike] = None, *,
                   depths: Optional[ArrayLike] = None, depth_factor: float = 2.0,
                   curves: Optional[Sequence[DispersionCurve]] = None,
                   progress: Optional[Callable[[int, int], None]] = None,
                   **pick_options: Any) -> PseudoSection:
    """See :meth:`Sweep.pseudo_section`."""
    factor = float(depth_factor)
    if not np.isfinite(factor) or factor <= 0:
        raise ValueError(f"depth_factor must be a positive number; got {depth_factor!r}")
    if wavelengths is not None and depths is not None:
        raise ValueError("give wavelengths or depths, not both")
    limits = [array_limits(image.params["offsets"]) for image in result.images]
    if depths is not None:
        lam = np.asarray(depths, dtype=np.float64).ravel() * factor
    elif wavelengths is not None:
        lam = np.asarray(wavelengths, dtype=np.float64).ravel()
    else:
        lo, hi = limits[0]
        lam = np.geomspace(lo, hi, 24)
    if lam.size == 0 or not np.isfinite(lam).all() or (lam <= 0).any():
        raise ValueError(f"wavelengths must be positive and finite; got {lam!r}")
    if curves is None:
        picked = []
        for k, image in enumerate(result.images):
            picked.append(image.pick(**pick_options))
            if progress is not None:
                progress(k + 1, len(result.images))
        curves = picked
    elif len(curves) != len(result.images):
        raise ValueError(f"curves must hold one curve per window ({len(result.images)}); "
                         f"got {len(curves)}")
    velocity = np.full((lam.size, len(result.images)), np.nan)
    for j, (curve, lim) in enumerate(zip(curves, limits)):
        velocity[:, j] = velocity_at_wavelengths(curve, lam, lim)[0]
    return PseudoSection(np.asarray(result.midpoints, dtype=np.float64).copy(), lam, velocity,
                         np.isfinite(velocity), factor,
                         str(result.params.get("position", "receiver position")), result.method)


def sweep(gather: Gather, *, window: int, step: int = 1, method: str = "phase_shift",
          progress: Optional[Callable[[int, int], None]] = None,
          **options: Any) -> Sweep:
    """Image every window of `window` neighbouring traces, stepped by `step`.

    Parameters
    ----------
    gather : Gather
        The line, from any reader (shot records, DAS records, virtual
        gathers); offsets are each trace's distance from the true or virtual
        source and enter every window's image as they are (cylindrical
        steering keeps them too).
    window : int
        Traces per window (at least 2); window k holds traces k * step to
        k * step + window - 1 of the line. The traces are first sorted along
        the line (stably), as every estimator sorts a gather's traces by
        offset: by their in-line receiver coordinate, or by offset when the
        gather has no receiver positions; 2-D or 3-D receivers are taken in
        the order given, which defines the distance along them.
    step : int
        Traces between the first traces of neighbouring windows.
    method : str
        An estimator of :mod:`molvak.estimators` with a sweep:
        "phase_shift", "fdbf" or "slant_stack".
    progress : callable, optional
        Called as progress(done, total) as the work advances.
    **options
        The estimator's options (velocities, fmin, fmax, df, workers,
        keep_dead, and its own, such as steering and weighting for fdbf), as
        for imaging one gather. Dead traces are left out of every window that
        holds them, as imaging that window would, with one
        :class:`DeadTraceWarning` per cause for the whole line.

    Returns
    -------
    Sweep
        One image per window, equal to imaging that window's traces on their
        own with the same options (to 1e-12 of the image's peak). The images
        are views of one array that holds them all.
    """

    if not isinstance(gather, Gather):
        raise TypeError(f"gather must be a molvak.Gather; got {type(gather).__name__} "
                        "(wrap arrays as molvak.Gather(data, offsets, dt))")
    entry = estimators.get(method)
    if entry.sweep is None:
        able = [e.name for e in estimators.entries() if e.sweep is not None]
        raise ValueError(f"method {method!r} has no sweep; methods with one: "
                         f"{', '.join(able)}")
    bounds = window_bounds(gather.shape[0], window, step)
    positions, axis = line_positions(gather)
    order = np.argsort(positions, kind="stable")
    if (order != np.arange(order.size)).any():
        receivers = None if gather.receivers is None else gather.receivers[order]
        gather = dataclasses.replace(gather, data=gather.data[order],
                                     offsets=gather.offsets[order], receivers=receivers)
        positions = positions[order]
    plan = _plan(gather, bounds, entry, dict(options))
    midpoints = 0.5 * (positions[bounds[:, 0]] + positions[bounds[:, 1]])
    # One array holds every image, frequency-major: a frequency's rows of
    # all windows lie together, where the sweep writes them (window by window
    # at one frequency); each image is a view of its window.
    store = np.empty((plan.frequency.size, len(bounds), plan.velocity.size),
                     dtype=np.complex128)
    out = store.transpose(1, 0, 2)
    finite = entry.sweep(plan, out, progress)
    if finite is None:
        # Imaging a window refuses an image that is not finite; one sum over
        # all of them tells whether any needs looking at (a sum of finite
        # numbers can only overflow where the images hold values near the
        # largest double, and that is no warning). The windows imaged on their
        # own are written into the store later: zeros stand in for them, not
        # the memory the store was made of.
        for k in plan.fallback:
            out[k] = 0.0
        with np.errstate(over="ignore", invalid="ignore"):
            finite = bool(np.isfinite(np.sum(store.view(np.float64))))
    images = [_window_image(plan, out, k, finite) for k in range(len(bounds))]
    params = {"window": int(window), "step": int(step), "position": axis, "order": order,
              **plan.options}
    return Sweep(midpoints, images, bounds, entry.name, params)


@dataclass
class _Plan:
    """A checked sweep: the live traces and, per window, the range of them it
    holds and how its image is made."""

    method: str
    options: dict[str, Any]  # the estimator's keywords, as given and defaulted
    data: np.ndarray         # live traces (NL, NT), in the order of the line
    offsets: np.ndarray      # their offsets (NL,)
    live: np.ndarray         # their indices in the gather
    bounds: np.ndarray       # (NW, 2) first and last trace of every window in the gather
    first: np.ndarray        # (NW,) first live trace of every window, in live numbering
    last: np.ndarray         # (NW,) last one
    order: np.ndarray        # (NW,) +1: offsets increase along the window, -1: decrease,
                             # 0: neither (imaged on its own)
    args: dict[str, Any]     # dt, n, band, f_range, velocity, workers (as for one image)
    extra: dict[str, Any]    # the estimator's own options
    source: Gather           # the line as given (for the windows imaged on their own)
    dead: np.ndarray         # (NX,) dead traces of the line
    fallback: dict[int, DispersionImage] = field(default_factory=dict)

    @property
    def velocity(self) -> np.ndarray:
        return self.args["velocity"]

    @property
    def frequency(self) -> np.ndarray:
        return self.args["band"].frequency

    def swept(self) -> np.ndarray:
        """The windows the native sweep computes."""
        return np.flatnonzero(self.order != 0)


def _plan(gather: Gather, bounds: np.ndarray, entry: Any, options: dict[str, Any]) -> _Plan:

    own = {o.name for o in entry.options}
    known = set(estimators.COMMON_OPTIONS) | own
    unknown = sorted(set(options) - known)
    if unknown:
        raise TypeError(f"{entry.name} takes no option {unknown[0]!r} (options: "
                        f"{', '.join(sorted(known))})")
    if "velocities" not in options:
        raise TypeError("sweep needs velocities= (an array or (vmin, vmax, step))")
    extra = {**entry.defaults(), **{k: v for k, v in options.items() if k in own}}
    for o in entry.options:
        if o.choices is not None:
            extra[o.name] = _checks.choice(o.name, extra[o.name], o.choices)
    keep_dead = bool(options.get("keep_dead", False))
    dt = _checks.positive_float("dt", gather.dt)
    data = _checks.gather(gather.data)
    x = _checks.offsets_for(gather.offsets, data.shape[0])
    c = _checks.grid("velocities", options["velocities"])
    n = _checks.fft_length(options.get("df"), dt, data.shape[1])
    band = _checks.band(options.get("fmin"), options.get("fmax"), dt, n, stacklevel=4)
    workers = _checks.workers(options.get("workers", 1))
    if entry.name == "fdbf" and extra.get("steering") == "cylindrical" and (x < 0).any():
        k = int(np.flatnonzero(x < 0)[0])
        raise ValueError("offsets must be non-negative for cylindrical steering; "
                         f"got {x[k]!r} at index {k}")

    spectra: dict[str, np.ndarray] = {}
    kinds = prepare.dead_kinds(data, band, n, spectra)
    dead = np.any([mask for mask, _ in kinds], axis=0)
    for mask, what in kinds:
        if mask.any():
            action = "kept as asked" if keep_dead else "left out of every window holding them"
            _checks.warn(f"dead traces ({what}) {action}: "
                         f"{prepare.listed_traces(np.flatnonzero(mask), x)}",
                         prepare.DeadTraceWarning, stacklevel=4)
    live = np.arange(data.shape[0]) if keep_dead else np.flatnonzero(~dead)
    first = np.searchsorted(live, bounds[:, 0], side="left")
    last = np.searchsorted(live, bounds[:, 1], side="right") - 1
    short = np.flatnonzero(last - first + 1 < 2)
    if short.size:
        k = int(short[0])
        a, b = (int(v) for v in bounds[k])
        raise ValueError(f"window {k} (traces {a} to {b}) holds {int(last[k] - first[k] + 1)} "
                         f"live trace(s) after leaving out dead traces; at least 2 are needed")
    # Imaging a window sorts its traces by offset. A window whose offsets
    # rise along the line is summed in its own order; one whose offsets fall
    # is the same set of segments walked backwards (the slant stack's steps
    # change sign with it); any other (the turn of a split spread, equal
    # offsets) is imaged on its own, as are windows whose amplitudes the
    # estimator would rescale.
    xl = x[live]
    steps = np.diff(xl)
    rise = np.concatenate([[0], np.cumsum(steps > 0)])
    fall = np.concatenate([[0], np.cumsum(steps < 0)])
    span = last - first
    order = np.where(rise[last] - rise[first] == span, 1,
                     np.where(fall[last] - fall[first] == span, -1, 0))
    peaks = np.max(np.abs(data), axis=1)[live]
    safe = 2.0 ** -prepare.SAFE_EXPONENT, 2.0 ** prepare.SAFE_EXPONENT
    if not ((peaks == 0.0) | ((peaks >= safe[0]) & (peaks <= safe[1]))).all():
        for j in np.flatnonzero(order != 0):
            peak = float(peaks[first[j]:last[j] + 1].max())
            if peak > 0.0 and not safe[0] <= peak <= safe[1]:
                order[j] = 0
    args = {"dt": dt, "n": n, "band": band, "f_range": (band.fmin, band.fmax),
            "velocity": c, "workers": workers}
    # The band of the live traces' spectra, scaled by dt as the engines take
    # it, from the transform the dead-trace test made (the same bits as
    # transforming them again with the scaling: one product per value).
    rows = spectra.get("rows")
    if rows is not None and live.size and np.isin(live, rows).all():
        args["band_spectrum"] = spectra["band"][np.searchsorted(rows, live)] * dt
    common = {k: v for k, v in options.items() if k in estimators.COMMON_OPTIONS}
    return _Plan(entry.name, {**common, **extra}, np.ascontiguousarray(data[live]),
                 np.ascontiguousarray(xl), live, bounds, first, last, order, args, extra,
                 gather, dead)


def _alone(plan: _Plan) -> None:
    """The windows the sweep cannot sum, each imaged on its own."""

    entry = estimators.get(plan.method)
    keywords = {key: value for key, value in plan.options.items() if key != "workers"}
    g = plan.source
    for k in np.flatnonzero(plan.order == 0):
        a, b = (int(v) for v in plan.bounds[k])
        try:
            with _checks.collected_warnings() as notes:
                plan.fallback[int(k)] = entry.function(g.data[a:b + 1], g.offsets[a:b + 1],
                                                       plan.args["dt"], **keywords)
        except ValueError as exc:
            raise ValueError(f"window {int(k)} (traces {a} to {b}): {exc}") from None
        # the line's dead traces were reported once already
        for category, message in notes:
            if not issubclass(category, prepare.DeadTraceWarning):
                _checks.warn(f"window {int(k)} (traces {a} to {b}): {message}", category,
                             stacklevel=5)


def _window_image(plan: _Plan, out: np.ndarray, k: int, finite: bool) -> DispersionImage:
    """Window k's image, with the params imaging its traces on their own gives."""

    if k in plan.fallback:
        image = plan.fallback[k]
        out[k] = image.spectrum
        return estimators.keep_record(plan.source, DispersionImage(
            image.frequency, image.velocity, out[k], image.method, image.params, image.quantity))
    a, b = (int(v) for v in plan.bounds[k])
    lo, hi = int(plan.first[k]), int(plan.last[k])
    dead: list[int] = []
    if hi - lo != b - a:
        live = np.zeros(b - a + 1, dtype=bool)
        live[plan.live[lo:hi + 1] - a] = True
        dead = [int(i) for i in np.flatnonzero(~live)]
    keep_dead = bool(plan.options.get("keep_dead", False))
    x = plan.offsets[lo:hi + 1]
    data = plan.data[lo:hi + 1]
    if plan.order[k] < 0:
        x, data = x[::-1], data[::-1]
    kept = [int(i) for i in np.flatnonzero(plan.dead[a:b + 1])] if keep_dead else []
    ready = prepare.Prepared(data, np.ascontiguousarray(x), dead, kept, 0)
    args = dict(plan.args, data=data, offsets=ready.offsets, ready=ready)
    quantity = "power" if plan.method == "fdbf" else "amplitude"
    try:
        return estimators.keep_record(plan.source, prepare.make_image(
            args, plan.frequency, out[k], plan.method, quantity, checked=finite, **plan.extra))
    except ValueError as exc:
        raise ValueError(f"window {k} (traces {a} to {b}): {exc}") from None


def _chunks(size: int, parts: int) -> list[tuple[int, int]]:
    cuts = [(size * k) // parts for k in range(parts + 1)]
    return [(a, b) for a, b in zip(cuts[:-1], cuts[1:]) if b > a]


def _run_chunks(parts: list[tuple[int, int]], run: Callable[[tuple[int, int]], None],
                workers: int, progress: Optional[Callable[[int, int], None]]) -> None:
    """`run` over the chunks on up to `workers` threads (the native code
    releases the interpreter lock), each finished chunk advancing the
    progress."""
    done = 0
    if workers <= 1 or len(parts) <= 1:
        for chunk in parts:
            run(chunk)
            done += 1
            if progress is not None:
                progress(done, len(parts))
        return
    with ThreadPoolExecutor(max_workers=min(workers, len(parts))) as pool:
        for future in as_completed([pool.submit(run, chunk) for chunk in parts]):
            future.result()
            done += 1
            if progress is not None:
                progress(done, len(parts))


def _rows(plan: _Plan, segments: bool) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The windows the sweep sums, and their first and last rows (traces, or
    the segments between neighbouring traces)."""
    k = plan.swept()
    return k, plan.first[k], plan.last[k] - (1 if segments else 0)


def _spectral_engine(plan: _Plan, out: np.ndarray,
                     progress: Optional[Callable[[int, int], None]]) -> Optional[bool]:
    """Phase shift and beamforming: the line's band spectrum once, then
    chunks of frequencies. The native sweeps say whether all they wrote is
    finite (the windows imaged on their own are, or were refused)."""


    _alone(plan)
    args = plan.args
    band = args["band"]
    windows, first, last = _rows(plan, plan.method == "phase_shift")
    f = plan.frequency
    c = plan.velocity
    target = out[windows] if windows.size < out.shape[0] else out
    if windows.size:
        cut = args.get("band_spectrum")
        if cut is None:
            spectrum = _molvak._rfft(plan.data, axis=1, stepsize=args["dt"], n=args["n"])
            cut = spectrum[:, band.first:band.first + f.size]
        # The phase shift's phasors follow a recurrence along frequency that
        # each chunk starts afresh: chunks of at least 64 frequencies keep
        # that cost small; beamforming has no such start-up.
        least = 64 if plan.method == "phase_shift" else 1
        parts = _chunks(f.size, max(1, min(max(args["workers"], 24), f.size // least)))
        finite: list[bool] = []
        if plan.method == "phase_shift":
            def run(chunk: tuple[int, int]) -> None:
                a, b = chunk
                finite.append(_native._sweep_phase_shift(cut[:, a:b], f[a:b], plan.offsets, c,
                                                         first, last, target[:, a:b, :]))
        else:
            def run(chunk: tuple[int, int]) -> None:
                a, b = chunk
                finite.append(_native._sweep_fdbf(cut[:, a:b], f[a:b], plan.offsets, c, first,
                                                  last, target[:, a:b, :],
                                                  plan.extra["steering"],
                                                  plan.extra["weighting"]))
        _run_chunks(parts, run, args["workers"], progress)
        if target is not out:
            out[windows] = target
        return all(finite)
    return True


def _slant_stack_engine(plan: _Plan, out: np.ndarray,
                        progress: Optional[Callable[[int, int], None]]) -> None:
    """Slant stack: chunks of frequencies (the images are checked afterwards).
    The native sweep forms every trace's transform a few bins per pass over
    its samples, for all velocities at once: chunks of whole passes split the
    work without repeating any of it."""

    _alone(plan)
    args = plan.args
    windows, first, last = _rows(plan, True)
    c = plan.velocity
    nf = plan.frequency.size
    target = out[windows] if windows.size < out.shape[0] else out
    if windows.size:
        bins = _native.SLANT_BINS   # per pass of the native sweep over a trace's samples
        passes = -(-nf // bins)
        parts = [(a * bins, min(nf, b * bins))
                 for a, b in _chunks(passes, max(args["workers"], min(passes, 24)))]

        def run(chunk: tuple[int, int]) -> None:
            a, b = chunk
            _native._sweep_slant_stack(plan.data, plan.offsets, c, args["dt"], args["n"],
                                       args["band"].first + a, first, last, target[:, a:b, :])
        _run_chunks(parts, run, args["workers"], progress)
        # windows whose offsets fall: the same segments walked backwards
        falling = plan.order[windows] < 0
        if falling.any():
            target[falling] = -target[falling]
        if target is not out:
            out[windows] = target


def _register() -> None:

    for name, engine in (("phase_shift", _spectral_engine), ("fdbf", _spectral_engine),
                         ("slant_stack", _slant_stack_engine)):
        if estimators.get(name).sweep is None:
            estimators.set_sweep(name, engine)


_register()
