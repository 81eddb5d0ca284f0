"""Dispersion images, picked dispersion curves and stacking.

Units follow the inputs: with offsets in metres and the sample interval in
seconds, frequencies are in Hz, phase velocities in m/s and wavelengths in m.
"""
from __future__ import annotations

import json
import os
import zipfile
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Union, overload

import numpy as np

from . import picking
from ._atomic import npz_name, write_with
from ._jsonable import from_json, to_json
from ._registry import label
from .curves import (  # noqa: F401  (DispersionCurve and its files, as before)
    CURVE_COLUMNS,
    DispersionCurve,
    read_curves,
    theoretical_modes,
    write_curves,
)
from .picking import (
    GAUGE,
    JUMP,
    LONGEST,
    NEAR_FIELD,
    SHORTEST,
    refine,
    spacing_and_aperture,
)
from .plot import plot_image

NORMALIZATIONS = ("none", "frequency", "global")

PathLike = Union[str, "os.PathLike[str]"]



def array_limits(offsets: Iterable[float], *, shortest: float = SHORTEST,
                 longest: float = LONGEST) -> tuple[float, float]:
    """The wavelengths a receiver line resolves: (shortest * spacing,
    longest * aperture).

    The rule and where its numbers come from:

    - Short end, one receiver spacing. A line sampled every dx cannot tell
      the wavenumber k from k +- 1/dx. The offsets are source-receiver
      distances, so the waves cross the line in one direction and k runs
      from 0 up: a wavelength longer than dx is unambiguous, a shorter one
      is aliased (the usual 2 dx holds for waves from both sides). The
      published WGHS picks (2 m spacing, trimmed by hand) reach down to
      1.0 to 2.1 spacings depending on the source position.
    - Long end, 0.6 of the aperture A (largest minus smallest offset). The
      peak of a mode is about lambda / A wide in relative velocity, so the
      picks of long wavelengths drift with noise and with the near-field of
      the source. Park & Carnevale (2010, "Optimum MASW survey: revisit
      after a decade of use") report accurate phase velocities up to one
      spread length in good conditions; the published
      WGHS picks end between 0.37 and 0.63 of the spread, and molvak's picks
      of those shots beyond 0.6 A lie 10 to 20 % below the site's curve from
      passive arrays. Calibrated on those records (tools/field_curves.py).

    The spacing is the median of the gaps between distinct sorted offsets, so
    a few missing traces do not change it. ``array_limits(x, shortest=2,
    longest=0.5)`` gives the stricter classical band (two spacings to half
    the aperture), over which the synthetic gathers' picks lie within 1 %.

    Parameters
    ----------
    offsets : iterable of float
        The offsets of the line's traces (m), in any order; at least two
        distinct values.
    shortest : float
        The shortest wavelength, in receiver spacings.
    longest : float
        The longest wavelength, as a fraction of the aperture.

    Returns
    -------
    (lambda_min, lambda_max) : tuple of float
        In the unit of the offsets.
    """
    for name, value in (("shortest", shortest), ("longest", longest)):
        if isinstance(value, bool) or not float(value) > 0 or not np.isfinite(float(value)):
            raise ValueError(f"{name} must be a positive number; got {value!r}")
    spacing, aperture = spacing_and_aperture(np.asarray(offsets, dtype=np.float64))
    return float(shortest) * spacing, float(longest) * aperture


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
    params: dict[str, Any] = field(default_factory=dict)
    quantity: str = "amplitude"

    def __post_init__(self) -> None:
        shape = (np.size(self.frequency), np.size(self.velocity))
        if np.shape(self.spectrum) != shape:
            raise ValueError(f"spectrum must have shape (frequencies, velocities) = {shape}; "
                             f"got {np.shape(self.spectrum)}")
        if self.quantity not in ("amplitude", "power"):
            raise ValueError(f"quantity must be 'amplitude' or 'power'; got {self.quantity!r}")

    @property
    def shape(self) -> tuple[int, int]:
        """(number of frequencies, number of velocities) of the spectrum."""
        return (int(self.frequency.size), int(self.velocity.size))

    def power(self) -> np.ndarray:
        """The power of the beam at every (frequency, velocity), real, >= 0.

        ``|spectrum|^2`` for amplitude images; for power images (beamforming,
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

    @overload
    def pick(self, vmin: Optional[float] = None, vmax: Optional[float] = None, *,
             fmin: Optional[float] = None, fmax: Optional[float] = None, modes: None = None,
             wavelengths: Union[tuple[float, float], None, bool] = None,
             near_field: Optional[float] = NEAR_FIELD, source_distance: Optional[float] = None,
             jump: Optional[float] = JUMP, gauge: Optional[float] = GAUGE,
             gauge_length: Optional[float] = None, min_power: float = 0.2, min_length: int = 8,
             min_strength: float = 0.05) -> DispersionCurve: ...

    @overload
    def pick(self, vmin: Optional[float] = None, vmax: Optional[float] = None, *,
             fmin: Optional[float] = None, fmax: Optional[float] = None, modes: int,
             wavelengths: Union[tuple[float, float], None, bool] = None,
             near_field: Optional[float] = NEAR_FIELD, source_distance: Optional[float] = None,
             jump: Optional[float] = JUMP, gauge: Optional[float] = GAUGE,
             gauge_length: Optional[float] = None, min_power: float = 0.2, min_length: int = 8,
             min_strength: float = 0.05) -> list[DispersionCurve]: ...

    def pick(self, vmin: Optional[float] = None, vmax: Optional[float] = None, *,
             fmin: Optional[float] = None, fmax: Optional[float] = None,
             modes: Optional[int] = None,
             wavelengths: Union[tuple[float, float], None, bool] = None,
             near_field: Optional[float] = NEAR_FIELD,
             source_distance: Optional[float] = None,
             jump: Optional[float] = JUMP,
             gauge: Optional[float] = GAUGE,
             gauge_length: Optional[float] = None,
             min_power: float = 0.2, min_length: int = 8, min_strength: float = 0.05,
             ) -> Union[DispersionCurve, list[DispersionCurve]]:
        """Pick the dispersion curve, or the curves of several modes, and
        flag the picks not to trust.

        Without `modes`, the phase velocity of maximum power at every
        frequency: the search runs over the velocities in [vmin, vmax]
        (default: the whole grid) and the frequencies in [fmin, fmax];
        frequency 0 and rows without a finite positive maximum give no pick.
        The grid maximum is refined by the vertex of the parabola through it
        and its two neighbours (in power against velocity); a maximum on the
        edge of the search window is kept unrefined (and flagged at_edge).

        With ``modes=k``, every local maximum of each frequency row that
        reaches `min_power` times the row's maximum is a peak, unless it is
        a sidelobe of a stronger one (see :func:`molvak.picking.row_peaks`:
        this needs the image's offsets); peaks are
        linked across frequencies into ridges (each ridge takes the peak
        nearest the trend of its last peaks, within 5 % in velocity, and may
        skip up to two frequencies), ridges shorter than `min_length`
        frequencies or weaker than `min_strength` times the strongest ridge
        (in summed peak power: noise makes short, weak ridges) are dropped,
        and the ridges are numbered from the slowest
        up so that a mode keeps its number where a slower one fades out (see
        :func:`molvak.picking.number_modes`). Each mode's curve holds its
        picks where it carries energy, not at every frequency.

        Parameters
        ----------
        modes : int, optional
            Number of modes to return (a list of that many curves, mode 0
            first; a mode not found is an empty curve).
        wavelengths : (lambda_min, lambda_max), optional
            The resolved band for the too_short / too_long flags; default
            :func:`array_limits` of the image's offsets (``params["offsets"]``);
            False flags no wavelength.
        near_field : float or None
            The near-field limit of the normalised array offset x / lambda
            (default 0.5); None flags none.
        source_distance : float, optional
            x, the distance from the source to the centre of the line. By
            default the midpoint of the image's smallest and largest offsets.
            The offsets are distances, so for a split spread (source inside
            the line) the image folds both arms onto one line from the
            nearest to the farthest receiver, and x is the centre of that
            folded line.
        jump : float or None
            Largest relative velocity step along a ridge between neighbouring
            frequencies (default 0.1); None flags no jump.
        gauge : float or None
            The shortest wavelength trusted, in gauge lengths (default 1: the
            first zero of the fibre's response; see
            :data:`molvak.picking.GAUGE`); None flags none.
        gauge_length : float, optional
            The fibre's gauge length (m); by default ``params["gauge_length"]``,
            which images of gathers read from DAS records carry (no flag
            when neither gives one).
        min_power, min_length, min_strength
            For modes: the lowest peak kept, relative to its row's maximum,
            the fewest frequencies of a ridge and its smallest summed power
            relative to the strongest ridge.

        Returns
        -------
        DispersionCurve, or a list of `modes` DispersionCurves
            Quality is each peak's power over the largest peak power among
            the picks returned. Every pick carries its flags and `valid`.
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
        if modes is not None and (isinstance(modes, bool) or int(modes) != modes or modes < 1):
            raise ValueError(f"modes must be a positive integer; got {modes!r}")
        rows = f > 0
        if fmin is not None:
            rows &= f >= fmin
        if fmax is not None:
            rows &= f <= fmax
        order = np.argsort(v[cols], kind="stable")
        vv = v[cols][order]
        p = self.power()[rows][:, cols][:, order]
        ff = f[rows]
        p = np.where(np.isfinite(p), p, -np.inf)
        settings = self._flag_settings(wavelengths, near_field, source_distance, jump,
                                       (float(vv[0]), float(vv[-1])), gauge, gauge_length)
        if modes is None:
            k = np.argmax(p, axis=1) if p.shape[0] else np.zeros(0, dtype=np.intp)
            r = np.arange(p.shape[0])
            peak = p[r, k]
            ok = np.isfinite(peak) & (peak > 0)
            velocity = refine(vv, p, r, k)
            edge = (k == 0) | (k == vv.size - 1)
            ff, velocity, peak, edge = ff[ok], velocity[ok], peak[ok], edge[ok]
            quality = peak / peak.max() if peak.size else peak
            curve = _flagged(ff, velocity, quality, edge, 0, settings)
            object.__setattr__(self, "_last_pick", curve)    # what plot() draws
            return curve

        peaks = picking.row_peaks(p, vv, float(min_power), f=ff, aperture=settings["aperture"])
        ridges = picking.track(ff, peaks, tol=0.05, max_gap=2) if ff.size else []
        ridges = [r for r in ridges if len(r.rows) >= int(min_length)]
        strongest = max((r.strength for r in ridges), default=0.0)
        ridges = [r for r in ridges if r.strength >= min_strength * strongest]
        numbers = picking.number_modes(ridges, ff, tol=settings["jump"] or JUMP)
        top = max((max(r.power) for r in ridges), default=1.0)
        curves = []
        for m in range(int(modes)):
            chosen = [r for r, n in zip(ridges, numbers) if n == m]
            # one pick per frequency: the strongest ridge's where two of a mode meet
            best: dict[int, tuple[float, float, bool]] = {}
            for ridge in sorted(chosen, key=lambda r: r.strength):
                for i, c, pw, e in zip(ridge.rows, ridge.velocity, ridge.power, ridge.edge):
                    best[i] = (c, pw, e)
            at = np.array(sorted(best), dtype=np.intp)
            vals = [best[i] for i in at]
            velocity = np.array([x[0] for x in vals], dtype=np.float64)
            power = np.array([x[1] for x in vals], dtype=np.float64)
            edge = np.array([x[2] for x in vals], dtype=bool)
            curves.append(_flagged(ff[at], velocity, power / top, edge, m, settings))
        object.__setattr__(self, "_last_pick", curves)
        return curves

    def _flag_settings(self, wavelengths: Any, near_field: Optional[float],
                       source_distance: Optional[float], jump: Optional[float],
                       window: tuple[float, float], gauge: Optional[float] = GAUGE,
                       gauge_length: Optional[float] = None) -> dict[str, Any]:
        """What the flags of this image's picks are computed from."""
        offsets = self.params.get("offsets")
        spacing = aperture = None
        if offsets is not None and np.unique(np.asarray(offsets)).size >= 2:
            spacing, aperture = spacing_and_aperture(np.asarray(offsets, dtype=np.float64))
        if wavelengths is None:
            band = array_limits(offsets) if offsets is not None and spacing is not None \
                else None
        elif wavelengths is False:
            band = None
        else:
            lo, hi = (float(x) for x in wavelengths)
            if not 0 <= lo < hi:
                raise ValueError(f"wavelengths must be (lambda_min, lambda_max) with "
                                 f"0 <= lambda_min < lambda_max; got {wavelengths!r}")
            band = (lo, hi)
        if near_field is not None and not float(near_field) > 0:
            raise ValueError(f"near_field must be a positive number or None; got {near_field!r}")
        if jump is not None and not float(jump) > 0:
            raise ValueError(f"jump must be a positive number or None; got {jump!r}")
        if source_distance is None and offsets is not None and np.size(offsets):
            x = np.asarray(offsets, dtype=np.float64)
            source_distance = 0.5 * float(x.min() + x.max())
        if source_distance is not None and not float(source_distance) > 0:
            raise ValueError(f"source_distance must be positive; got {source_distance!r}")
        if gauge is not None and not (isinstance(gauge, (int, float, np.floating))
                                      and not isinstance(gauge, bool) and gauge > 0):
            raise ValueError(f"gauge must be a positive number of gauge lengths or None; "
                             f"got {gauge!r}")
        if gauge_length is None:
            gauge_length = self.params.get("gauge_length")
            if gauge_length is not None and not (np.isfinite(float(gauge_length))
                                                 and float(gauge_length) > 0):
                raise ValueError(f"params['gauge_length'] must be a positive length; got "
                                 f"{gauge_length!r}")
        elif not float(gauge_length) > 0 or not np.isfinite(float(gauge_length)):
            raise ValueError(f"gauge_length must be a positive length (m); got {gauge_length!r}")
        shortest = (None if gauge is None or gauge_length is None
                    else float(gauge) * float(gauge_length))
        return {"wavelengths": band, "spacing": spacing, "aperture": aperture,
                "velocities": window,
                "source_distance": None if source_distance is None else float(source_distance),
                "near_field_limit": None if near_field is None else float(near_field),
                "near_field": (None if near_field is None or source_distance is None
                               else float(source_distance) / float(near_field)),
                "jump": None if jump is None else float(jump), "gauge": shortest}

    def save(self, path: PathLike, *, overwrite: bool = False) -> None:
        """Write the image to a .npz file that :meth:`load` reads back.

        The file holds the arrays ``frequency``, ``velocity`` and ``spectrum``
        and, as JSON in ``molvak``, the method, the quantity and the params.
        As with ``np.savez``, ".npz" is appended to a name without it. The
        file appears complete or not at all; an existing file is replaced only
        with ``overwrite=True``.

        Parameters
        ----------
        path : str or path-like
            The file to write.
        overwrite : bool
            Replace an existing file; otherwise it is refused with a
            FileExistsError.
        """
        header = {"format": IMAGE_FORMAT, "version": IMAGE_VERSION, "method": self.method,
                  "quantity": self.quantity, "params": to_json(self.params)}
        arrays: dict[str, Any] = {"frequency": np.asarray(self.frequency, dtype=np.float64),
                                  "velocity": np.asarray(self.velocity, dtype=np.float64),
                                  "spectrum": np.asarray(self.spectrum),
                                  "molvak": np.array(json.dumps(header))}
        write_with(npz_name(path), lambda handle: np.savez(handle, **arrays),
                   overwrite=overwrite)

    @classmethod
    def load(cls, path: PathLike) -> DispersionImage:
        """Read an image written by :meth:`save`; a file that is not one is
        refused with a ValueError naming it.

        Parameters
        ----------
        path : str or path-like
            The .npz file.

        Returns
        -------
        DispersionImage
        """
        name = os.fspath(path)
        try:
            # the handle is ours, so that it is closed when NumPy fails on a
            # damaged archive
            with open(name, "rb") as handle:
                archive = np.load(handle, allow_pickle=False)
                if not isinstance(archive, np.lib.npyio.NpzFile) or "molvak" not in archive.files:
                    raise ValueError(f"{name}: not a molvak dispersion image (no molvak "
                                     f"header in the file)")
                header = json.loads(str(archive["molvak"][()]))
                if not isinstance(header, dict) or header.get("format") != IMAGE_FORMAT:
                    raise ValueError(f"{name}: not a molvak dispersion image (its header "
                                     f"names another format)")
                if int(header.get("version", 0)) > IMAGE_VERSION:
                    raise ValueError(f"{name}: a dispersion image of a newer format "
                                     f"(version {header['version']}); update molvak")
                arrays = {key: archive[key] for key in ("frequency", "velocity", "spectrum")}
                method = str(header["method"])
        except FileNotFoundError:
            raise FileNotFoundError(f"{name}: no such file") from None
        except ValueError as exc:
            if str(exc).startswith(name):
                raise
            raise ValueError(f"{name}: not a molvak dispersion image ({exc})") from None
        except (OSError, EOFError, KeyError, zipfile.BadZipFile) as exc:
            raise ValueError(f"{name}: not a molvak dispersion image, or a damaged one "
                             f"({type(exc).__name__}: {exc})") from None
        return cls(arrays["frequency"], arrays["velocity"], arrays["spectrum"],
                   method, from_json(header.get("params", {})),
                   str(header.get("quantity", "amplitude")))

    def plot(self, ax: Any = None, *, normalize: str = "frequency",
             picks: Union[bool, DispersionCurve, Sequence[DispersionCurve], None] = True,
             truth: Union[Callable[[np.ndarray], np.ndarray], DispersionCurve, None] = None,
             wavelengths: Optional[tuple[float, float]] = None,
             limits: bool = True, invalid: bool = True, model: Any = None,
             model_modes: int = 3, wave: str = "rayleigh",
             cmap: str = "viridis", title: Optional[str] = None) -> Any:
        """Draw the image with matplotlib (the `plot` extra).

        Parameters
        ----------
        ax : matplotlib Axes, optional
            Where to draw; a new figure when not given.
        normalize : {"frequency", "global", "none"}
            The normalisation of the power shown (see :meth:`normalized`).
        picks : bool, DispersionCurve or list of them
            The picks to overlay: a curve, or the curves of several modes
            (one colour each). True overlays what the last :meth:`pick` of
            this image returned (a default :meth:`pick` when there was
            none); False or None draws none. Valid picks are filled dots,
            the others hollow (drawn only with ``invalid=True``).
        truth : callable or DispersionCurve, optional
            A known dispersion curve, c(f) or picks, drawn as a dashed line.
        wavelengths : (lambda_min, lambda_max), optional
            Draws the lines velocity = lambda * frequency of these
            resolution limits.
        limits : bool
            Draws the limits the picks were flagged with (the resolved
            wavelengths, the near-field wavelength and, for a DAS record,
            the gauge length's), when `wavelengths` is not given.
        model : array_like, shape (layers, 4), optional
            A layered model, one row per layer: thickness (m; the last
            layer's is ignored, a half-space), P velocity, S velocity (m/s)
            and density. Its theoretical modes (`model_modes` of them, of
            `wave` "rayleigh" or "love") are drawn as lines; needs disba
            (the `model` extra).

        Returns
        -------
        The Axes drawn on.
        """
        if picks is True:
            last = self.__dict__.get("_last_pick")
            picks = last if last is not None else self.pick()
        if isinstance(picks, DispersionCurve):
            curves = [picks]
        elif picks is None or picks is False:
            curves = []
        else:
            curves = list(picks)
            for k, c in enumerate(curves):
                if not isinstance(c, DispersionCurve):
                    raise TypeError(f"picks[{k}] is not a DispersionCurve; got {type(c).__name__}")
        modes: list[DispersionCurve] = []
        if model is not None:
            f = np.asarray(self.frequency, dtype=np.float64)
            top = float(f.max()) if f.size else 1.0
            grid = np.linspace(max(float(f.min()) if f.size else 0.0, 0.5), top, 300)
            modes = theoretical_modes(model, grid, modes=model_modes, wave=wave)
        return plot_image(self, ax, normalize=normalize, picks=curves, truth=truth,
                          wavelengths=wavelengths, limits=limits, invalid=invalid,
                          model_curves=modes,
                          model_label=f"model, {wave} modes 0-{model_modes - 1}",
                          cmap=cmap, title=title if title is not None
                          else f"{label(self.method)} dispersion image")


def _flagged(f: np.ndarray, velocity: np.ndarray, quality: np.ndarray, edge: np.ndarray,
             mode: int, settings: dict[str, Any]) -> DispersionCurve:
    """A curve with its flags computed from the image's settings."""
    flags = picking.flags(f, velocity, quality, edge, wavelengths=settings["wavelengths"],
                          spacing=settings["spacing"], window=settings["velocities"],
                          source_distance=settings["source_distance"],
                          near_field=settings["near_field_limit"], jump=settings["jump"],
                          gauge_wavelength=settings["gauge"])
    limits = {k: settings[k] for k in ("wavelengths", "near_field", "source_distance",
                                       "spacing", "velocities", "gauge")}
    with np.errstate(divide="ignore", invalid="ignore"):
        lam = velocity / f
    given: dict[str, Any] = dict(flags)
    return DispersionCurve(f, velocity, lam, quality, mode=mode, limits=limits, **given)


IMAGE_FORMAT = "molvak.DispersionImage"
IMAGE_VERSION = 1


def stack(images: Iterable[DispersionImage], normalize: str = "global") -> DispersionImage:
    """Stack the images of several shots made on the same grids.

    Every image's power is normalised (`normalize`, as in
    :meth:`DispersionImage.normalized`; "global" by default, so that each
    shot weighs the same while keeping its own balance across frequencies)
    and the results are averaged. Phases are not stacked: the shots' source
    signatures differ, so only powers add meaningfully.

    Parameters
    ----------
    images : iterable of DispersionImage
        Images on the same frequencies and velocities.
    normalize : {"global", "frequency", "none"}
        How each image's power is normalised before averaging.

    Returns
    -------
    DispersionImage
        A power image with method "stack:<method>"; its params hold the
        number of shots and the normalisation (and the longest gauge length
        of the images that have one).
    """
    first: Optional[DispersionImage] = None
    total = np.zeros(0)
    methods = set()
    gauges: list[float] = []
    count = 0
    # one image at a time: a generator of images is stacked in the memory
    # of one image and the sum
    for k, img in enumerate(images):
        if not isinstance(img, DispersionImage):
            raise TypeError(f"images[{k}] is not a DispersionImage; got {type(img).__name__}")
        if first is None:
            first = img
            total = np.zeros(first.shape, dtype=np.float64)
        else:
            if img.frequency.shape != first.frequency.shape or not np.array_equal(
                    img.frequency, first.frequency):
                raise ValueError(
                    f"images[{k}] has another frequency axis ({img.frequency.size} values "
                    f"from {_range(img.frequency)}) than images[0] ({first.frequency.size} "
                    f"values from {_range(first.frequency)}); make them with the same dt, "
                    f"record length and df")
            if img.velocity.shape != first.velocity.shape or not np.array_equal(
                    img.velocity, first.velocity):
                raise ValueError(f"images[{k}] has another velocity grid than images[0]")
        power = img.normalized(normalize)
        bad = ~np.isfinite(power)
        if bad.any():
            raise ValueError(f"images[{k}] ({img.method}) holds {int(bad.sum())} NaN or "
                             f"infinite values: a stack would be NaN there")
        total += power
        methods.add(img.method.split(":", 1)[-1])
        if img.params.get("gauge_length") is not None:
            gauges.append(float(img.params["gauge_length"]))
        count += 1
    if first is None:
        raise ValueError("images must hold at least one dispersion image")
    total /= count
    base = first.method.split(":", 1)[-1]
    params: dict[str, Any] = {"shots": count, "normalize": normalize,
                              "methods": sorted(methods)}
    for key in ("offsets", "dt", "n", "df"):
        if key in first.params:
            params[key] = first.params[key]
    if gauges:
        # the longest gauge smears the most: its limit holds for the stack
        params["gauge_length"] = max(gauges)
    return DispersionImage(first.frequency.copy(), first.velocity.copy(),
                           total.astype(np.complex128), f"stack:{base}", params, "power")


def _range(x: np.ndarray) -> str:
    return f"{x[0]:g} to {x[-1]:g}" if x.size else "(empty)"

