"""Dispersion images, picked dispersion curves and stacking.

Units follow the inputs: with offsets in metres and the sample interval in
seconds, frequencies are in Hz, phase velocities in m/s and wavelengths in m.
"""
from __future__ import annotations

import csv
import io
import json
import os
import zipfile
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Union, overload

import numpy as np

from . import picking
from ._atomic import npz_name, write_text, write_with
from .picking import (
    FLAGS,
    GAUGE,
    JUMP,
    LONGEST,
    NEAR_FIELD,
    SHORTEST,
    refine,
    spacing_and_aperture,
)

NORMALIZATIONS = ("none", "frequency", "global")

PathLike = Union[str, "os.PathLike[str]"]

# the columns of a picks CSV: the numbers, the verdict, the flags, the mode
CURVE_COLUMNS = ("frequency", "velocity", "wavelength", "quality", "valid") + FLAGS + ("mode",)


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


def _format(value: Any) -> str:
    if isinstance(value, (bool, np.bool_)):
        return "1" if value else "0"
    if isinstance(value, str):
        return value
    return f"{float(value):.17g}"


@dataclass(frozen=True, eq=False)
class DispersionCurve:
    """A picked dispersion curve: one phase velocity per frequency, with the
    reasons to trust each pick or not.

    Attributes
    ----------
    frequency : ndarray
        Frequencies of the picks (Hz), increasing.
    velocity : ndarray
        Picked phase velocities (m/s).
    wavelength : ndarray
        velocity / frequency (m).
    quality : ndarray
        Power of the picked peak relative to the strongest peak picked with
        it (1 at the strongest, towards 0 where the image is weak; in the
        image's own quantity, so it compares picks of one image, not of
        different images). A weak pick is not rejected for being weak: noise
        shows up as jumps off the ridge.
    valid : ndarray of bool
        True where no flag is raised: the picks to use. Computed from the
        flags when not given; a curve read from a file keeps its column, so
        a reviewer's verdict survives.
    too_short, too_long : ndarray of bool
        Wavelength outside the band the line resolves (:func:`array_limits`).
    gauge : ndarray of bool
        Wavelength shorter than the fibre resolves: a fibre-optic (DAS)
        channel averages the strain over its gauge length G, which scales a
        wave of wavelength lambda by sinc(G / lambda), zero at lambda = G and
        of alternating sign below (:data:`molvak.picking.GAUGE`); flagged
        below one gauge length by default. Only for images whose params hold
        ``gauge_length`` (from the gather's headers).
    aliased : ndarray of bool
        A wave of the same frequency at another velocity inside the searched
        window would have made the same peak (its wavenumber differs by a
        multiple of 1 / spacing).
    near_field : ndarray of bool
        Normalised array offset x / wavelength below the near-field limit
        (0.5 by default), x the distance from the source to the centre of
        the line: the wave is not yet a plane surface wave across the line
        and its picks run low (Yoon & Rix 2009, J. Geotech. Geoenviron.
        Eng.; Li & Rosenblad 2011, Near Surface Geophysics).
    at_edge : ndarray of bool
        The peak lies on the first or last velocity of the searched window:
        the true peak may lie beyond it.
    jump : ndarray of bool
        The pick leaves the ridge the curve follows (a mode jump, or noise):
        see :func:`molvak.picking.jumps`.
    mode : int
        The mode the curve belongs to, counted from the slowest (0, the
        fundamental).
    extra : dict of str to ndarray
        Further columns read from a CSV file (for instance a reviewer's
        `edited`), written back by :meth:`to_csv`.
    limits : dict
        What the flags were computed from: "wavelengths" (lambda_min,
        lambda_max), "near_field" (the longest wavelength outside the near
        field), "source_distance", "spacing", "velocities" (the searched
        window), "gauge" (the shortest wavelength the fibre resolves). Drawn
        by :meth:`DispersionImage.plot`; not written to files.
    """

    frequency: np.ndarray
    velocity: np.ndarray
    wavelength: np.ndarray
    quality: np.ndarray
    # boolean arrays after construction; None asks for the default (valid:
    # computed from the flags, a flag: False everywhere)
    valid: np.ndarray = None  # type: ignore[assignment]
    too_short: np.ndarray = None  # type: ignore[assignment]
    too_long: np.ndarray = None  # type: ignore[assignment]
    gauge: np.ndarray = None  # type: ignore[assignment]
    aliased: np.ndarray = None  # type: ignore[assignment]
    near_field: np.ndarray = None  # type: ignore[assignment]
    at_edge: np.ndarray = None  # type: ignore[assignment]
    jump: np.ndarray = None  # type: ignore[assignment]
    mode: int = 0
    extra: dict[str, np.ndarray] = field(default_factory=dict)
    limits: dict[str, Any] = field(default_factory=dict)

    # the numeric columns of every curve, then the validity, the flags and the mode
    COLUMNS = ("frequency", "velocity", "wavelength", "quality")
    FLAGS = FLAGS
    CSV_COLUMNS = COLUMNS + ("valid",) + FLAGS + ("mode",)

    def __post_init__(self) -> None:
        sizes = {np.shape(getattr(self, name)) for name in self.COLUMNS}
        if len(sizes) != 1 or len(next(iter(sizes))) != 1:
            raise ValueError(f"curve columns must be 1-D and of one length; got shapes {sizes}")
        n = int(np.size(self.frequency))
        for name in self.COLUMNS:
            object.__setattr__(self, name, np.asarray(getattr(self, name), dtype=np.float64))
        for name in self.FLAGS:
            value = getattr(self, name)
            arr = np.zeros(n, dtype=bool) if value is None else np.asarray(value, dtype=bool)
            if arr.shape != (n,):
                raise ValueError(f"{name} must have one value per pick ({n}); "
                                 f"got shape {arr.shape}")
            object.__setattr__(self, name, arr)
        if self.valid is None:
            valid = ~np.any([getattr(self, name) for name in self.FLAGS], axis=0) if n \
                else np.zeros(0, dtype=bool)
        else:
            valid = np.asarray(self.valid, dtype=bool)
            if valid.shape != (n,):
                raise ValueError(f"valid must have one value per pick ({n}); "
                                 f"got shape {valid.shape}")
        object.__setattr__(self, "valid", valid)
        if isinstance(self.mode, bool) or int(self.mode) != self.mode or self.mode < 0:
            raise ValueError(f"mode must be a non-negative integer; got {self.mode!r}")
        object.__setattr__(self, "mode", int(self.mode))
        extra = {}
        for name, value in self.extra.items():
            arr = np.asarray(value)
            if arr.shape != (n,):
                raise ValueError(f"extra column {name!r} must have one value per pick ({n}); "
                                 f"got shape {arr.shape}")
            extra[str(name)] = arr
        object.__setattr__(self, "extra", extra)

    def __len__(self) -> int:
        return int(self.frequency.size)

    def __repr__(self) -> str:
        n = len(self)
        span = (f", {self.frequency.min():g}-{self.frequency.max():g} Hz" if n else "")
        return f"<DispersionCurve mode {self.mode}: {n} picks, {int(self.valid.sum())} valid{span}>"

    @property
    def flags(self) -> dict[str, np.ndarray]:
        """The flag arrays by name (see the class documentation)."""
        return {name: getattr(self, name) for name in self.FLAGS}

    @classmethod
    def from_arrays(cls, frequency: Iterable[float], velocity: Iterable[float],
                    quality: Optional[Iterable[float]] = None, *,
                    valid: Optional[Iterable[bool]] = None, mode: int = 0,
                    **flags: Iterable[bool]) -> DispersionCurve:
        """A curve from frequencies and velocities (quality 1 when not given;
        flags False and every pick valid unless given)."""
        unknown = sorted(set(flags) - set(cls.FLAGS))
        if unknown:
            raise TypeError(f"unknown flag(s) {', '.join(unknown)}; the flags are "
                            f"{', '.join(cls.FLAGS)}")
        f = np.asarray(frequency, dtype=np.float64)
        v = np.asarray(velocity, dtype=np.float64)
        q = np.ones_like(f) if quality is None else np.asarray(quality, dtype=np.float64)
        with np.errstate(divide="ignore", invalid="ignore"):
            lam = v / f
        given: dict[str, Any] = {k: np.asarray(val, dtype=bool) for k, val in flags.items()}
        if valid is not None:
            given["valid"] = np.asarray(valid, dtype=bool)
        return cls(f, v, lam, q, mode=mode, **given)

    def _take(self, keep: np.ndarray) -> DispersionCurve:
        flags: dict[str, Any] = {name: getattr(self, name)[keep] for name in self.FLAGS}
        return DispersionCurve(self.frequency[keep], self.velocity[keep],
                               self.wavelength[keep], self.quality[keep],
                               valid=self.valid[keep], **flags,
                               mode=self.mode,
                               extra={k: v[keep] for k, v in self.extra.items()},
                               limits=dict(self.limits))

    def __getitem__(self, index: Any) -> DispersionCurve:
        """The picks at a boolean mask, an index array or a slice."""
        keep = np.arange(len(self))[index]
        return self._take(np.atleast_1d(keep))

    def select(self, *, fmin: Optional[float] = None, fmax: Optional[float] = None,
               wavelengths: Optional[tuple[float, float]] = None,
               min_quality: Optional[float] = None,
               valid: Optional[bool] = None) -> DispersionCurve:
        """The picks within frequency and wavelength limits and above a quality.

        `wavelengths` is an inclusive (lambda_min, lambda_max) pair, for
        instance the result of :func:`array_limits`; ``valid=True`` keeps the
        valid picks only (``False`` the others).
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
        if valid is not None:
            keep &= self.valid == bool(valid)
        return self._take(keep)

    def to_csv(self, path: PathLike, *, overwrite: bool = False) -> None:
        """Write the curve as CSV: a header line, then one pick per row.

        The columns are frequency (Hz), phase velocity (m/s), wavelength (m),
        quality, valid, the flags (too_short, too_long, gauge, aliased,
        near_field, at_edge, jump: 1 where the cause applies), mode, then any extra
        columns. Numbers are written with 17 significant digits and booleans
        as 0/1, so reading the file back gives the same values. The file
        appears complete or not at all; an existing file is replaced only
        with ``overwrite=True``.
        """
        write_curves([self], path, overwrite=overwrite)

    @classmethod
    def from_csv(cls, path: PathLike) -> DispersionCurve:
        """Read a curve of one mode from a picks CSV (:meth:`to_csv`).

        The format is that of :func:`read_curves`, which reads files of
        several modes (the command line's ``--modes``); a file of several
        modes is refused here, naming them.
        """
        curves = read_curves(path)
        if len(curves) > 1:
            raise ValueError(f"{os.fspath(path)!r}: the mode column holds several modes "
                             f"({', '.join(str(c.mode) for c in curves)}); a curve holds one: "
                             f"read them with molvak.read_curves")
        if curves:
            return curves[0]
        empty = np.zeros(0)
        return cls(empty, empty, empty, empty)


def _table(path: PathLike) -> tuple[list[str], dict[str, list[str]]]:
    """The header and the text of every column of a picks CSV, checked."""
    name = os.fspath(path)
    with open(path, newline="", encoding="utf-8-sig") as handle:
        rows = [row for row in csv.reader(handle) if row]
    header = [h.strip() for h in rows[0]] if rows else []
    if not {"frequency", "velocity"} <= set(header):
        raise ValueError(f"{name!r} is not a dispersion-curve CSV: the header must name the "
                         f"columns frequency and velocity (as {','.join(CURVE_COLUMNS)})")
    if len(set(header)) != len(header):
        raise ValueError(f"{name!r}: a column name appears twice in the header")
    body = rows[1:]
    for k, row in enumerate(body, start=2):
        if len(row) != len(header):
            raise ValueError(f"{name!r}: line {k} has {len(row)} values; the header has "
                             f"{len(header)}")
    return header, {h: [row[j] for row in body] for j, h in enumerate(header)}


def read_curves(path: PathLike) -> list[DispersionCurve]:
    """The curves of a picks CSV, one per mode, mode 0 first.

    This reads every picks file molvak writes (:meth:`DispersionCurve.to_csv`,
    :func:`write_curves`, ``molvak image`` with or without ``--modes``, the
    reviewed files of ``molvak review``). The header names the columns, in
    any order: frequency (Hz) and velocity (m/s) are required; wavelength (m;
    computed when absent), quality (NaN when absent), valid and the flags
    (0/1; a file without valid reads as all valid, one without a flag as not
    flagged) and mode (0 when absent) are read where present. Other columns
    are kept in each curve's :attr:`~DispersionCurve.extra` (as numbers where
    every value is one, as text otherwise). Within a mode the picks keep the
    order of the file.
    """
    name = os.fspath(path)
    header, table = _table(path)

    def numbers(col: str) -> np.ndarray:
        try:
            return np.array(table[col], dtype=np.float64)
        except ValueError:
            raise ValueError(f"{name!r}: column {col!r} holds a value that is not a "
                             f"number") from None

    def booleans(col: str) -> np.ndarray:
        try:
            return _booleans(table[col])
        except ValueError:
            raise ValueError(f"{name!r}: column {col!r} holds a value that is not "
                             f"0 or 1") from None

    f, v = numbers("frequency"), numbers("velocity")
    with np.errstate(divide="ignore", invalid="ignore"):
        lam = numbers("wavelength") if "wavelength" in table else v / f
    q = numbers("quality") if "quality" in table else np.full(f.size, np.nan)
    flags = {col: booleans(col) for col in ("valid",) + FLAGS if col in table}
    mode = numbers("mode") if "mode" in table else np.zeros(f.size)
    if not np.all((mode >= 0) & (mode < 2**31) & (mode == np.round(mode))):
        raise ValueError(f"{name!r}: column 'mode' holds a value that is not a whole number "
                         f"from 0 up (below 2^31)")
    extra: dict[str, np.ndarray] = {}
    for col in header:
        if col in DispersionCurve.CSV_COLUMNS:
            continue
        try:
            extra[col] = np.array(table[col], dtype=np.float64)
        except ValueError:
            extra[col] = np.array(table[col], dtype=str)
    curves = []
    for m in np.unique(mode).astype(int).tolist():
        rows = np.flatnonzero(mode == m)
        given: dict[str, Any] = {k: a[rows] for k, a in flags.items()}
        curves.append(DispersionCurve(f[rows], v[rows], lam[rows], q[rows], mode=m,
                                      extra={k: a[rows] for k, a in extra.items()}, **given))
    return curves


def write_curves(curves: Sequence[DispersionCurve], path: PathLike, *,
                 overwrite: bool = False) -> None:
    """Write the curves of several modes into one picks CSV, mode by mode
    (the columns of :meth:`DispersionCurve.to_csv`; extra columns that some
    curves lack are left empty there). :func:`read_curves` reads it back."""
    curves = list(curves)
    for k, c in enumerate(curves):
        if not isinstance(c, DispersionCurve):
            raise TypeError(f"curves[{k}] is not a DispersionCurve; got {type(c).__name__}")
    extras: list[str] = []
    for c in curves:
        extras += [k for k in c.extra if k not in extras]
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(DispersionCurve.CSV_COLUMNS + tuple(extras))
    for c in curves:
        columns: list[Any] = [getattr(c, n) for n in DispersionCurve.COLUMNS + ("valid",)
                              + DispersionCurve.FLAGS]
        columns.append([str(c.mode)] * len(c))
        columns += [c.extra[k] if k in c.extra else [""] * len(c) for k in extras]
        for row in zip(*columns):
            writer.writerow([_format(x) for x in row])
    write_text(path, buffer.getvalue(), overwrite=overwrite)


def _booleans(values: list[str]) -> np.ndarray:
    out = np.zeros(len(values), dtype=bool)
    for k, text in enumerate(values):
        t = text.strip().lower()
        if t in ("1", "true"):
            out[k] = True
        elif t not in ("0", "false"):
            raise ValueError(text)
    return out


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
        """
        header = {"format": IMAGE_FORMAT, "version": IMAGE_VERSION, "method": self.method,
                  "quantity": self.quantity, "params": _to_json(self.params)}
        arrays: dict[str, Any] = {"frequency": np.asarray(self.frequency, dtype=np.float64),
                                  "velocity": np.asarray(self.velocity, dtype=np.float64),
                                  "spectrum": np.asarray(self.spectrum),
                                  "molvak": np.array(json.dumps(header))}
        write_with(npz_name(path), lambda handle: np.savez(handle, **arrays),
                   overwrite=overwrite)

    @classmethod
    def load(cls, path: PathLike) -> DispersionImage:
        """Read an image written by :meth:`save`; a file that is not one is
        refused with a ValueError naming it."""
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
                   method, _from_json(header.get("params", {})),
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
        from .plot import plot_image
        if picks is True:
            last = self.__dict__.get("_last_pick")
            picks = last if last is not None else self.pick()
        return plot_image(self, ax, normalize=normalize, picks=picks, truth=truth,
                          wavelengths=wavelengths, limits=limits, invalid=invalid,
                          model=model, model_modes=model_modes, wave=wave, cmap=cmap,
                          title=title)


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


def _to_json(value: Any) -> Any:
    """params as JSON values: arrays as {"__array__": values, "dtype": ...},
    NumPy scalars as numbers; anything else as its repr."""
    if isinstance(value, dict):
        return {str(k): _to_json(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_to_json(v) for v in value]
    if isinstance(value, np.ndarray):
        if value.dtype.kind in "biuf":
            return {"__array__": value.tolist(), "dtype": value.dtype.str}
        return {"__array__": [_to_json(v) for v in value.tolist()], "dtype": "object"}
    if isinstance(value, np.generic):
        return value.item()
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return repr(value)


def _from_json(value: Any) -> Any:
    if isinstance(value, dict):
        if set(value) == {"__array__", "dtype"}:
            if value["dtype"] == "object":
                return list(value["__array__"])
            return np.array(value["__array__"], dtype=np.dtype(value["dtype"]))
        return {k: _from_json(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_from_json(v) for v in value]
    return value


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

