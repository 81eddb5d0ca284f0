"""Dispersion images, picked dispersion curves and stacking.

Units follow the inputs: with offsets in metres and the sample interval in
seconds, frequencies are in Hz, phase velocities in m/s and wavelengths in m.
"""
from __future__ import annotations

import csv
import os
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterable, Optional, Tuple, Union

import numpy as np

NORMALIZATIONS = ("none", "frequency", "global")

PathLike = Union[str, "os.PathLike[str]"]


def array_limits(offsets: Iterable[float]) -> Tuple[float, float]:
    """The wavelengths a receiver line resolves: (2 * spacing, aperture / 2).

    A wavelength shorter than two receiver spacings is spatially aliased. A
    long wavelength is limited by the aperture A (largest minus smallest
    offset): the spectral peak of a mode is about lambda / A wide in relative
    velocity, so where fewer than two cycles fit on the line (lambda > A / 2)
    the peak is so broad that modest noise moves it by more than a percent.
    Within these limits, on a record with usable signal, all three
    estimators pick a single mode to within 1 %. The spacing is the median of
    the gaps between distinct sorted offsets, so a few missing traces do not
    change it.

    Returns
    -------
    (lambda_min, lambda_max) : tuple of float
        In the unit of the offsets.
    """
    x = np.unique(np.asarray(offsets, dtype=np.float64).ravel())
    if x.size < 2:
        raise ValueError(f"offsets must hold at least two distinct values; got {x.size}")
    spacing = float(np.median(np.diff(x)))
    return 2.0 * spacing, 0.5 * float(x[-1] - x[0])


@dataclass(frozen=True, eq=False)
class DispersionCurve:
    """A picked dispersion curve: one phase velocity per frequency.

    Attributes
    ----------
    frequency : ndarray
        Frequencies of the picks (Hz), increasing.
    velocity : ndarray
        Picked phase velocities (m/s).
    wavelength : ndarray
        velocity / frequency (m).
    quality : ndarray
        Power of the picked peak relative to the strongest pick of the curve
        (1 at the strongest frequency, towards 0 where the image is weak).
    """

    frequency: np.ndarray
    velocity: np.ndarray
    wavelength: np.ndarray
    quality: np.ndarray

    COLUMNS = ("frequency", "velocity", "wavelength", "quality")

    def __post_init__(self) -> None:
        sizes = {np.shape(getattr(self, name)) for name in self.COLUMNS}
        if len(sizes) != 1 or len(next(iter(sizes))) != 1:
            raise ValueError(f"curve columns must be 1-D and of one length; got shapes {sizes}")

    def __len__(self) -> int:
        return int(self.frequency.size)

    @classmethod
    def from_arrays(cls, frequency: Iterable[float], velocity: Iterable[float],
                    quality: Optional[Iterable[float]] = None) -> "DispersionCurve":
        """A curve from frequencies and velocities (quality 1 when not given)."""
        f = np.asarray(frequency, dtype=np.float64)
        v = np.asarray(velocity, dtype=np.float64)
        q = np.ones_like(f) if quality is None else np.asarray(quality, dtype=np.float64)
        return cls(f, v, v / f, q)

    def select(self, *, fmin: Optional[float] = None, fmax: Optional[float] = None,
               wavelengths: Optional[Tuple[float, float]] = None,
               min_quality: Optional[float] = None) -> "DispersionCurve":
        """The picks within frequency and wavelength limits and above a quality.

        `wavelengths` is an inclusive (lambda_min, lambda_max) pair, for
        instance the result of :func:`array_limits`.
        """
        keep = np.ones(len(self), dtype=bool)
        if fmin is not None:
            keep &= self.frequency >= fmin
        if fmax is not None:
            keep &= self.frequency <= fmax
        if wavelengths is not None:
            lo, hi = wavelengths
            keep &= (self.wavelength >= lo) & (self.wavelength <= hi)
        if min_quality is not None:
            keep &= self.quality >= min_quality
        return DispersionCurve(*(getattr(self, name)[keep] for name in self.COLUMNS))

    def to_csv(self, path: PathLike) -> None:
        """Write the curve as CSV: a header line, then one pick per row.

        The columns are frequency (Hz), phase velocity (m/s), wavelength (m)
        and quality; values are written with 17 significant digits, so
        reading the file back gives the same doubles.
        """
        with open(path, "w", newline="") as handle:
            writer = csv.writer(handle)
            writer.writerow(self.COLUMNS)
            for row in zip(*(getattr(self, name) for name in self.COLUMNS)):
                writer.writerow([f"{float(v):.17g}" for v in row])

    @classmethod
    def from_csv(cls, path: PathLike) -> "DispersionCurve":
        """Read a curve written by :meth:`to_csv`."""
        with open(path, newline="") as handle:
            rows = list(csv.reader(handle))
        if not rows or tuple(rows[0]) != cls.COLUMNS:
            raise ValueError(f"{os.fspath(path)!r} is not a dispersion-curve CSV: "
                             f"expected the header {','.join(cls.COLUMNS)}")
        values = np.array(rows[1:], dtype=np.float64).reshape(-1, len(cls.COLUMNS))
        return cls(*(np.ascontiguousarray(values[:, k]) for k in range(len(cls.COLUMNS))))


@dataclass(frozen=True, eq=False)
class DispersionImage:
    """A dispersion image: a spectrum over (frequency, phase velocity).

    Attributes
    ----------
    frequency : ndarray, shape (NF,)
        Frequencies (Hz).
    velocity : ndarray, shape (NC,)
        Trial phase velocities (m/s).
    spectrum : ndarray of complex, shape (NF, NC)
        The estimator's output, frequency by velocity. For slant stack and
        phase shift it is the complex stack (an amplitude); for beamforming
        and for stacks of several images it is a power, held in the real part.
    method : str
        "slant_stack", "phase_shift", "fdbf", or "stack:<method>".
    params : dict
        The settings the image was made with (FFT length, frequency step,
        band limits, offsets used, traces left out, estimator options).
    quantity : str
        "amplitude" or "power": what `spectrum` holds.
    """

    frequency: np.ndarray
    velocity: np.ndarray
    spectrum: np.ndarray
    method: str
    params: Dict[str, Any] = field(default_factory=dict)
    quantity: str = "amplitude"

    def __post_init__(self) -> None:
        shape = (np.size(self.frequency), np.size(self.velocity))
        if np.shape(self.spectrum) != shape:
            raise ValueError(f"spectrum must have shape (frequencies, velocities) = {shape}; "
                             f"got {np.shape(self.spectrum)}")
        if self.quantity not in ("amplitude", "power"):
            raise ValueError(f"quantity must be 'amplitude' or 'power'; got {self.quantity!r}")

    @property
    def shape(self) -> Tuple[int, int]:
        return (int(self.frequency.size), int(self.velocity.size))

    def power(self) -> np.ndarray:
        """The power of the beam at every (frequency, velocity), real, >= 0.

        |spectrum|^2 for amplitude images; for power images (beamforming,
        stacks) the modulus of the spectrum, whose imaginary part is rounding
        only.
        """
        modulus: np.ndarray = np.abs(self.spectrum)
        return modulus if self.quantity == "power" else np.square(modulus)

    def normalized(self, mode: str = "frequency") -> np.ndarray:
        """The power, normalised.

        Parameters
        ----------
        mode : {"frequency", "global", "none"}
            "frequency" divides every frequency row by its own maximum (the
            usual display: each frequency's peak is 1 however weak the source
            is there), "global" divides by the maximum of the whole image,
            "none" returns the power itself. A row or image whose maximum is 0
            stays 0; NaN values stay NaN.
        """
        if mode not in NORMALIZATIONS:
            raise ValueError(f"mode must be one of {', '.join(map(repr, NORMALIZATIONS))}; "
                             f"got {mode!r}")
        p = self.power()
        if mode == "none":
            return p
        clean = np.where(np.isfinite(p), p, 0.0)
        if mode == "global":
            scale = np.max(clean, initial=0.0)
        else:
            scale = np.max(clean, axis=1, keepdims=True, initial=0.0)
        safe = np.where(scale > 0, scale, 1.0)
        return np.where(scale > 0, p / safe, np.where(np.isnan(p), np.nan, 0.0))

    def pick(self, vmin: Optional[float] = None, vmax: Optional[float] = None, *,
             fmin: Optional[float] = None, fmax: Optional[float] = None) -> DispersionCurve:
        """Pick the phase velocity of maximum power at every frequency.

        The search runs over the velocities in [vmin, vmax] (default: the
        whole grid) and the frequencies in [fmin, fmax]; frequency 0 and rows
        without a finite positive maximum give no pick. The grid maximum is
        refined by the vertex of the parabola through it and its two
        neighbours (in power against velocity); a maximum on the edge of the
        search window is kept unrefined.

        Returns
        -------
        DispersionCurve
            Its quality is the power of each peak divided by the largest peak
            power among the picks.
        """
        v = np.asarray(self.velocity, dtype=np.float64)
        f = np.asarray(self.frequency, dtype=np.float64)
        cols = np.ones(v.size, dtype=bool)
        if vmin is not None:
            cols &= v >= vmin
        if vmax is not None:
            cols &= v <= vmax
        if not cols.any():
            raise ValueError(f"no velocity of the image lies between vmin = {vmin!r} and "
                             f"vmax = {vmax!r} (grid {v.min()!r} to {v.max()!r})")
        rows = f > 0
        if fmin is not None:
            rows &= f >= fmin
        if fmax is not None:
            rows &= f <= fmax
        order = np.argsort(v[cols], kind="stable")
        vv = v[cols][order]
        p = self.power()[rows][:, cols][:, order]
        ff = f[rows]
        finite = np.isfinite(p)
        p = np.where(finite, p, -np.inf)
        k = np.argmax(p, axis=1)
        r = np.arange(p.shape[0])
        peak = p[r, k]
        ok = np.isfinite(peak) & (peak > 0)
        velocity = vv[k].astype(np.float64)
        inner = ok & (k > 0) & (k < vv.size - 1)
        if inner.any():
            i = r[inner]
            km = k[inner]
            x0, x1, x2 = vv[km - 1], vv[km], vv[km + 1]
            y0, y1, y2 = p[i, km - 1], p[i, km], p[i, km + 1]
            velocity[inner] = _parabola_vertex(x0, x1, x2, y0, y1, y2)
        ff, velocity, peak = ff[ok], velocity[ok], peak[ok]
        quality = peak / peak.max() if peak.size else peak
        return DispersionCurve(ff, velocity, velocity / ff, quality)

    def plot(self, ax: Any = None, *, normalize: str = "frequency",
             picks: Union[bool, DispersionCurve, None] = True,
             truth: Union[Callable[[np.ndarray], np.ndarray], DispersionCurve, None] = None,
             wavelengths: Optional[Tuple[float, float]] = None,
             cmap: str = "viridis", title: Optional[str] = None) -> Any:
        """Draw the image with matplotlib (the `plot` extra).

        Parameters
        ----------
        ax : matplotlib Axes, optional
            Where to draw; a new figure when not given.
        normalize : {"frequency", "global", "none"}
            The normalisation of the power shown (see :meth:`normalized`).
        picks : bool or DispersionCurve
            True overlays :meth:`pick` of the image, a curve overlays that
            curve, False or None draws none.
        truth : callable or DispersionCurve, optional
            A known dispersion curve, c(f) or picks, drawn as a dashed line.
        wavelengths : (lambda_min, lambda_max), optional
            Draws the lines velocity = lambda * frequency of the resolution
            limits (see :func:`array_limits`).

        Returns
        -------
        The Axes drawn on.
        """
        from .plot import plot_image
        return plot_image(self, ax, normalize=normalize, picks=picks, truth=truth,
                          wavelengths=wavelengths, cmap=cmap, title=title)


def _parabola_vertex(x0: np.ndarray, x1: np.ndarray, x2: np.ndarray,
                     y0: np.ndarray, y1: np.ndarray, y2: np.ndarray) -> np.ndarray:
    """Abscissa of the vertex of the parabola through three points.

    Written for any spacing; on an even grid it reduces to the usual
    x1 + h (y0 - y2) / (2 (y0 - 2 y1 + y2)). With y1 the largest of the three
    the vertex lies within half a step of x1 on either side; a flat top
    (zero curvature) keeps x1.
    """
    a = x1 - x0
    b = x1 - x2
    num = a * a * (y1 - y2) - b * b * (y1 - y0)
    den = a * (y1 - y2) - b * (y1 - y0)
    with np.errstate(divide="ignore", invalid="ignore"):
        shift = np.where(den != 0, 0.5 * num / np.where(den != 0, den, 1.0), 0.0)
    return x1 - shift


def stack(images: Iterable[DispersionImage], normalize: str = "global") -> DispersionImage:
    """Stack the images of several shots made on the same grids.

    Every image's power is normalised (`normalize`, as in
    :meth:`DispersionImage.normalized`; "global" by default, so that each
    shot weighs the same while keeping its own balance across frequencies)
    and the results are averaged. Phases are not stacked: the shots' source
    signatures differ, so only powers add meaningfully.

    Returns
    -------
    DispersionImage
        A power image with method "stack:<method>"; its params hold the
        number of shots and the normalisation.
    """
    images = list(images)
    if not images:
        raise ValueError("images must hold at least one dispersion image")
    for k, img in enumerate(images):
        if not isinstance(img, DispersionImage):
            raise TypeError(f"images[{k}] is not a DispersionImage; got {type(img).__name__}")
    first = images[0]
    for k, img in enumerate(images[1:], start=1):
        if img.frequency.shape != first.frequency.shape or not np.array_equal(
                img.frequency, first.frequency):
            raise ValueError(
                f"images[{k}] has another frequency axis ({img.frequency.size} values from "
                f"{_range(img.frequency)}) than images[0] ({first.frequency.size} values from "
                f"{_range(first.frequency)}); make them with the same dt, record length and df")
        if img.velocity.shape != first.velocity.shape or not np.array_equal(
                img.velocity, first.velocity):
            raise ValueError(f"images[{k}] has another velocity grid than images[0]")
    total = np.zeros(first.shape, dtype=np.float64)
    for img in images:
        total += img.normalized(normalize)
    total /= len(images)
    base = first.method.split(":", 1)[-1]
    methods = sorted({img.method.split(":", 1)[-1] for img in images})
    params = {"shots": len(images), "normalize": normalize, "methods": methods}
    for key in ("offsets", "dt", "n", "df"):
        if key in first.params:
            params[key] = first.params[key]
    return DispersionImage(first.frequency.copy(), first.velocity.copy(),
                           total.astype(np.complex128), f"stack:{base}", params, "power")


def _range(x: np.ndarray) -> str:
    return f"{x[0]:g} to {x[-1]:g}" if x.size else "(empty)"

