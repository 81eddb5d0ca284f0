"""Dispersion curves with their uncertainty: statistics over shots and
source offsets, the combination of elementary curves, theoretical modes of
layered models, and the files an inversion program reads.

    curves = [image.pick() for image in images]          # one per source offset
    stats = molvak.statistics(curves)                    # per frequency
    site = molvak.combine(curves, ratio=1.25)            # in wavelength bins
    site.to_dinver("site.txt")                           # frequency, slowness, log-std
"""
from __future__ import annotations

import csv
import io
import json
import math
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, Optional, Union

import numpy as np

from ._atomic import write_text
from .picking import FLAGS
from .plot import plot_uncertain

PathLike = Union[str, "os.PathLike[str]"]

__all__ = ["CURVE_COLUMNS", "DispersionCurve", "UncertainCurve", "combine", "read_curves",
           "statistics", "theoretical_modes", "write_curves"]


# the columns of a picks CSV: the numbers, the verdict, the flags, the mode
CURVE_COLUMNS = ("frequency", "velocity", "wavelength", "quality", "valid") + FLAGS + ("mode",)


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
        flags False and every pick valid unless given).

        Parameters
        ----------
        frequency, velocity : iterable of float
            The picks: frequencies (Hz) and phase velocities (m/s), one each.
        quality : iterable of float, optional
            A quality per pick (for molvak's picks: the peak's power relative
            to the strongest peak picked with it).
        valid : iterable of bool, optional
            Whether each pick is trusted.
        mode : int
            The mode the picks belong to (0: the fundamental).
        **flags : iterable of bool
            Any of the flags by name (too_short, too_long, gauge, aliased,
            near_field, at_edge, jump), one value per pick.

        Returns
        -------
        DispersionCurve
        """
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

        Parameters
        ----------
        fmin, fmax : float, optional
            Frequency limits (Hz), inclusive.
        wavelengths : (float, float), optional
            Wavelength limits (m), inclusive.
        min_quality : float, optional
            The lowest quality kept.
        valid : bool, optional
            Keep the valid picks (True) or the flagged ones (False).

        Returns
        -------
        DispersionCurve
            The picks kept, in their order, with their flags.
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

        Parameters
        ----------
        path : str or path-like
            The file to write.
        overwrite : bool
            Replace an existing file; otherwise it is refused with a
            FileExistsError.
        """
        write_curves([self], path, overwrite=overwrite)

    @classmethod
    def from_csv(cls, path: PathLike) -> DispersionCurve:
        """Read a curve of one mode from a picks CSV (:meth:`to_csv`).

        The format is that of :func:`read_curves`, which reads files of
        several modes (the command line's ``--modes``); a file of several
        modes is refused here, naming them.

        Parameters
        ----------
        path : str or path-like
            The CSV file.

        Returns
        -------
        DispersionCurve
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


def read_table(path: PathLike) -> tuple[list[str], dict[str, list[str]]]:
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

    Parameters
    ----------
    path : str or path-like
        The CSV file.

    Returns
    -------
    list of DispersionCurve
        One curve per mode, mode 0 first.

    Raises
    ------
    ValueError
        For a file without the frequency or velocity column, or a value that
        is not a number, naming the file and the column.
    """
    name = os.fspath(path)
    header, table = read_table(path)

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
    curves lack are left empty there). :func:`read_curves` reads it back.

    Parameters
    ----------
    curves : sequence of DispersionCurve
        The modes, mode k the k-th curve.
    path : str or path-like
        The file to write, atomically (complete or not at all).
    overwrite : bool
        Replace an existing file; otherwise one is refused (FileExistsError).
    """
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

# The most bins statistics and combine make: their work arrays (a dozen
# doubles per bin) then stay below a gigabyte.
MAX_BINS = 10_000_000
# Resamples of the bootstrap drawn at a time: its memory is bounded by this
# many rows of (curves or picks), whatever n_boot is.
BOOT_CHUNK = 1 << 20
# The most resampled means the bootstrap keeps for its percentiles (n_boot
# per bin).
MAX_BOOT_MEANS = 50_000_000


def _repr(value: float) -> str:
    """The shortest text that reads back as the same double."""
    return repr(float(value))


@dataclass(frozen=True, eq=False)
class UncertainCurve:
    """A dispersion curve with its uncertainty: what :func:`statistics` and
    :func:`combine` return and what an inversion takes.

    Attributes
    ----------
    frequency, wavelength : ndarray
        Where the curve is given (Hz, m). In the frequency domain the
        frequencies are the bins' and wavelength = velocity / frequency; in
        the wavelength domain the other way round.
    velocity : ndarray
        Mean phase velocity (m/s).
    std : ndarray
        Sample standard deviation of the phase velocity (ddof = 1).
    lognormal_std : ndarray
        Standard deviation of ln(velocity) (ddof = 1), which is also that of
        ln(slowness): the log-normal description of the scatter.
    count : ndarray
        Number of picks in each bin (NaN for resampled curves).
    low, high : ndarray
        The bounds: mean -+ no_std standard deviations.
    ci_low, ci_high : ndarray
        Confidence interval of the mean (NaN where not computed).
    domain : str
        "frequency" or "wavelength": where the statistics were taken.
    bins : UncertainCurve or None
        For a combination: the wavelength bins before resampling.

    NaN marks values a bin cannot give (a standard deviation needs two
    picks).
    """

    frequency: np.ndarray
    wavelength: np.ndarray
    velocity: np.ndarray
    std: np.ndarray
    lognormal_std: np.ndarray
    count: np.ndarray
    low: np.ndarray
    high: np.ndarray
    ci_low: np.ndarray
    ci_high: np.ndarray
    domain: str = "frequency"
    bins: Optional[UncertainCurve] = field(default=None, repr=False)

    COLUMNS = ("frequency", "wavelength", "velocity", "std", "lognormal_std", "count", "low",
               "high", "ci_low", "ci_high")

    def __post_init__(self) -> None:
        n = None
        for name in self.COLUMNS:
            arr = np.asarray(getattr(self, name), dtype=np.float64)
            if arr.ndim != 1 or (n is not None and arr.size != n):
                raise ValueError(f"{name} must be 1-D with one value per point; got shape "
                                 f"{arr.shape}")
            n = arr.size
            object.__setattr__(self, name, arr)
        if self.domain not in ("frequency", "wavelength"):
            raise ValueError(f"domain must be 'frequency' or 'wavelength'; got {self.domain!r}")

    def __len__(self) -> int:
        return int(self.velocity.size)

    def __repr__(self) -> str:
        return (f"<UncertainCurve ({self.domain} domain): {len(self)} points, "
                f"{_span(self.frequency)} Hz, {_span(self.velocity)} m/s>")

    @property
    def cov(self) -> np.ndarray:
        """Coefficient of variation: std / mean."""
        return self.std / self.velocity

    @property
    def slowness(self) -> np.ndarray:
        """1 / velocity (s/m)."""
        return 1.0 / self.velocity

    @classmethod
    def from_arrays(cls, frequency: Iterable[float], velocity: Iterable[float],
                    lognormal_std: Optional[Iterable[float]] = None, *,
                    std: Optional[Iterable[float]] = None, domain: str = "frequency",
                    ) -> UncertainCurve:
        """A curve from frequencies, mean velocities and, if known, their
        log-normal or plain standard deviations (the bounds are mean -+ std;
        a log-normal std alone gives the bounds mean / e^s and mean * e^s).

        Parameters
        ----------
        frequency, velocity : iterable of float
            Frequencies (Hz) and mean phase velocities (m/s).
        lognormal_std : iterable of float, optional
            Log-normal standard deviation s of each point.
        std : iterable of float, optional
            Standard deviation of each point (m/s).
        domain : {"frequency", "wavelength"}
            The domain the curve was binned in.

        Returns
        -------
        UncertainCurve
        """
        f = np.asarray(frequency, dtype=np.float64)
        v = np.asarray(velocity, dtype=np.float64)
        nan = np.full(f.shape, np.nan)
        s_ln = nan if lognormal_std is None else np.asarray(lognormal_std, dtype=np.float64)
        s = nan if std is None else np.asarray(std, dtype=np.float64)
        if std is not None:
            low, high = v - s, v + s
        else:
            low, high = v * np.exp(-s_ln), v * np.exp(s_ln)
        return cls(f, v / f, v, s, s_ln, nan, low, high, nan, nan, domain)

    def velocity_at(self, frequency: Iterable[float]) -> np.ndarray:
        """The mean velocity at other frequencies: linear in ln(frequency)
        and ln(velocity) between the curve's points, NaN outside them.

        Parameters
        ----------
        frequency : iterable of float
            Frequencies (Hz).

        Returns
        -------
        ndarray
            Phase velocities (m/s), one per frequency.
        """
        x = np.asarray(frequency, dtype=np.float64)
        order = np.argsort(self.frequency)
        lf, lv = np.log(self.frequency[order]), np.log(self.velocity[order])
        with np.errstate(divide="ignore", invalid="ignore"):
            lx = np.log(x)
        out = np.exp(np.interp(lx, lf, lv))
        return np.where((lx >= lf[0]) & (lx <= lf[-1]), out, np.nan)

    def plot(self, ax: Any = None, *, x: Optional[str] = None,
             curves: Sequence[DispersionCurve] = (), valid_only: bool = True,
             title: Optional[str] = None) -> Any:
        """Draw the mean, the band mean -+ std and the confidence interval of
        the mean (where known) against frequency or wavelength (`x`, by
        default the curve's domain; a log axis), over the picks of `curves`
        (valid ones unless ``valid_only=False``), with matplotlib.

        Parameters
        ----------
        ax : matplotlib Axes, optional
            The Axes to draw on; a new figure's by default.
        x : {"frequency", "wavelength"}, optional
            The horizontal axis.
        curves : sequence of DispersionCurve
            Picks to draw under the curve.
        valid_only : bool
            Draw the valid picks only.
        title : str, optional
            The Axes' title.

        Returns
        -------
        matplotlib.axes.Axes
            The Axes drawn on.
        """
        return plot_uncertain(self, ax, x=x, curves=curves, valid_only=valid_only, title=title)

    # -- files ---------------------------------------------------------------

    def to_dinver(self, path: PathLike, *, min_lognormal_std: float = 0.0,
                  overwrite: bool = False) -> None:
        """Write the text format of Geopsy's dinver: one point per line,
        frequency (Hz), mean slowness (s/m) and the log-normal standard
        deviation as a factor e^s (so the band is slowness / e^s to slowness
        * e^s), tab-separated, by increasing frequency.

        `min_lognormal_std` floors s (inversions commonly ask for at least
        about 0.05); it does not give a std to points that have none: those
        (NaN, a bin of one pick) are refused, naming them. Numbers are
        written in full (17 significant digits at most), so reading the file
        back gives the same three columns.

        Parameters
        ----------
        path : str or path-like
            The file to write.
        min_lognormal_std : float
            The floor of the log-normal standard deviation written.
        overwrite : bool
            Replace an existing file; otherwise it is refused with a
            FileExistsError.
        """
        write_text(path, self._dinver_text(os.fspath(path), min_lognormal_std),
                   overwrite=overwrite)

    def _dinver_text(self, name: str, min_lognormal_std: float = 0.0) -> str:
        """The text of :meth:`to_dinver`, or the one-line refusal naming the
        points it cannot give (before anything is written)."""
        floor = float(min_lognormal_std)
        if not (math.isfinite(floor) and floor >= 0):
            raise ValueError(f"min_lognormal_std must be a non-negative number; got "
                             f"{min_lognormal_std!r}")
        s = np.maximum(self.lognormal_std, floor)
        bad = ~np.isfinite(s) | ~(np.isfinite(self.frequency) & (self.frequency > 0)) \
            | ~(np.isfinite(self.velocity) & (self.velocity > 0))
        if bad.any():
            where = ", ".join(f"{x:g}" for x in self.frequency[bad][:5])
            raise ValueError(f"{name!r}: no log-normal standard deviation (or no positive "
                             f"frequency and velocity) at {int(bad.sum())} point(s), frequency "
                             f"{where} Hz; drop those points")
        order = np.argsort(self.frequency, kind="stable")
        lines = [f"{_repr(self.frequency[k])}\t{_repr(1.0 / self.velocity[k])}\t"
                 f"{_repr(math.exp(s[k]))}\n" for k in order]
        return "".join(lines)

    @classmethod
    def from_dinver(cls, path: PathLike) -> UncertainCurve:
        """Read the dinver text format (see :meth:`to_dinver`).

        Parameters
        ----------
        path : str or path-like
            The file.

        Returns
        -------
        UncertainCurve
        """
        name = os.fspath(path)
        rows = []
        with open(path, encoding="utf-8-sig") as handle:
            for k, line in enumerate(handle, start=1):
                text = line.strip()
                if not text or text.startswith("#"):
                    continue
                parts = text.split()
                if len(parts) != 3:
                    raise ValueError(f"{name!r}: line {k} has {len(parts)} values; expected 3 "
                                     f"(frequency, slowness, log-normal std)")
                try:
                    rows.append([float(p) for p in parts])
                except ValueError:
                    raise ValueError(f"{name!r}: line {k}: {text!r} is not three numbers") \
                        from None
        if not rows:
            raise ValueError(f"{name!r}: no points")
        table = np.array(rows)
        # a slowness so small that its velocity overflows is no velocity
        with np.errstate(over="ignore", divide="ignore", invalid="ignore"):
            velocity = 1.0 / table[:, 1]
        ok = np.isfinite(table).all(axis=1) & (table[:, 0] > 0) & (table[:, 1] > 0) \
            & (table[:, 2] >= 1) & np.isfinite(velocity)
        if not ok.all():
            k = int(np.flatnonzero(~ok)[0])
            raise ValueError(f"{name!r}: point {k + 1} ({' '.join(_repr(x) for x in table[k])}):"
                             f" frequency and slowness must be positive and finite (and the "
                             f"velocity, 1 / slowness, finite), the log-normal factor finite "
                             f"and at least 1")
        return cls.from_arrays(table[:, 0], velocity, np.log(table[:, 2]))

    def to_csv(self, path: PathLike, *, overwrite: bool = False) -> None:
        """Write CSV: a header line with :attr:`COLUMNS` and ``domain``, one
        point per row; numbers in full, so that reading back gives the same
        values and domain. An existing file is replaced only with
        ``overwrite=True``.

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
        writer.writerow(self.COLUMNS + ("domain",))
        for row in zip(*(getattr(self, c) for c in self.COLUMNS)):
            writer.writerow([_repr(v) for v in row] + [self.domain])
        write_text(path, buffer.getvalue(), overwrite=overwrite)

    @classmethod
    def from_csv(cls, path: PathLike, domain: Optional[str] = None) -> UncertainCurve:
        """Read a file written by :meth:`to_csv` (a UTF-8 byte-order mark and
        blank lines are passed over).

        Parameters
        ----------
        path : str or path-like
            The file.
        domain : {"frequency", "wavelength"}, optional
            The domain of a file without one (by default "frequency"); must
            agree with a file that has one.

        Returns
        -------
        UncertainCurve
        """
        name = os.fspath(path)
        with open(path, newline="", encoding="utf-8-sig") as handle:
            rows = [row for row in csv.reader(handle) if any(v.strip() for v in row)]
        header = tuple(h.strip() for h in rows[0]) if rows else ()
        if header not in (cls.COLUMNS, cls.COLUMNS + ("domain",)):
            raise ValueError(f"{name!r} is not an uncertain-curve CSV: expected the header "
                             f"{','.join(cls.COLUMNS)}[,domain]")
        width = len(cls.COLUMNS)
        for k, row in enumerate(rows[1:], start=2):
            if len(row) != len(header):
                raise ValueError(f"{name!r}: row {k} has {len(row)} values; the header has "
                                 f"{len(header)}")
        try:
            table = np.array([row[:width] for row in rows[1:]],
                             dtype=np.float64).reshape(-1, width)
        except ValueError:
            raise ValueError(f"{name!r}: every row must hold {width} numbers") from None
        found = {row[width].strip() for row in rows[1:]} if len(header) > width else set()
        if len(found) > 1 or (found and domain is not None and found != {domain}):
            raise ValueError(f"{name!r}: the domain column says {', '.join(sorted(found))}"
                             + (f"; asked for {domain!r}" if domain is not None else ""))
        columns: dict[str, Any] = {c: np.ascontiguousarray(table[:, k])
                                   for k, c in enumerate(cls.COLUMNS)}
        try:
            return cls(**columns, domain=found.pop() if found else domain or "frequency")
        except ValueError as exc:
            raise ValueError(f"{name!r}: {exc}") from None

    def to_json(self, path: PathLike, *, overwrite: bool = False) -> None:
        """Write JSON: {"domain": ..., "<column>": [values], ...}; NaN as
        null. Numbers in full, so that reading back gives the same values. An
        existing file is replaced only with ``overwrite=True``.

        Parameters
        ----------
        path : str or path-like
            The file to write.
        overwrite : bool
            Replace an existing file; otherwise it is refused with a
            FileExistsError.
        """
        doc: dict[str, Any] = {"domain": self.domain}
        for c in self.COLUMNS:
            doc[c] = [float(v) if np.isfinite(v) else None for v in getattr(self, c)]
        write_text(path, json.dumps(doc, indent=1) + "\n", overwrite=overwrite)

    @classmethod
    def from_json(cls, path: PathLike) -> UncertainCurve:
        """Read a file written by :meth:`to_json`.

        Parameters
        ----------
        path : str or path-like
            The file.

        Returns
        -------
        UncertainCurve
        """
        name = os.fspath(path)
        def constant(token: str) -> Any:
            # not JSON; the writer gives NaN as null and has no infinities
            raise ValueError(f"{token} is not a JSON number")

        with open(path, encoding="utf-8-sig") as handle:
            try:
                doc = json.load(handle, parse_constant=constant)
            except (ValueError, RecursionError) as exc:
                raise ValueError(f"{name!r} is not JSON ({exc})") from None
        if not isinstance(doc, dict):
            raise ValueError(f"{name!r} is not an uncertain-curve JSON: expected an object of "
                             f"columns; got {type(doc).__name__}")
        missing = [c for c in cls.COLUMNS if c not in doc]
        if missing:
            raise ValueError(f"{name!r}: missing {', '.join(missing)}")
        cols = []
        for c in cls.COLUMNS:
            values = doc[c]
            if not isinstance(values, list) or not all(
                    v is None or (isinstance(v, (int, float)) and not isinstance(v, bool))
                    for v in values):
                raise ValueError(f"{name!r}: {c} must be a list of numbers (null for NaN)")
            try:
                cols.append(np.array([np.nan if v is None else float(v) for v in values],
                                     dtype=np.float64))
            except OverflowError:
                raise ValueError(f"{name!r}: {c} holds a number beyond the range of "
                                 f"doubles") from None
        columns: dict[str, Any] = dict(zip(cls.COLUMNS, cols))
        domain = doc.get("domain", "frequency")
        try:
            return cls(**columns, domain=domain if isinstance(domain, str) else repr(domain))
        except ValueError as exc:
            raise ValueError(f"{name!r}: {exc}") from None


def _no_std(value: float) -> None:
    if isinstance(value, bool) or not (math.isfinite(float(value)) and float(value) >= 0):
        raise ValueError(f"no_std must be a non-negative number of standard deviations; got "
                         f"{value!r}")


def _span(x: np.ndarray) -> str:
    return f"{np.nanmin(x):.4g}-{np.nanmax(x):.4g}" if x.size else "none"


# --------------------------------------------------------------------------
# pooling picks


def _pool(curves: Sequence[DispersionCurve], valid_only: bool
          ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(frequency, velocity, curve index) of every pick that enters."""
    curves = list(curves)
    if not curves:
        raise ValueError("curves must hold at least one DispersionCurve")
    f, v, who = [], [], []
    for k, c in enumerate(curves):
        if not isinstance(c, DispersionCurve):
            raise TypeError(f"curves[{k}] is not a DispersionCurve; got {type(c).__name__}")
        keep = c.valid if valid_only else np.ones(len(c), dtype=bool)
        with np.errstate(over="ignore", under="ignore", divide="ignore", invalid="ignore"):
            lam = c.velocity / c.frequency
        keep = keep & (c.frequency > 0) & (c.velocity > 0) & np.isfinite(c.velocity) \
            & np.isfinite(c.frequency) & np.isfinite(lam) & (lam > 0)
        f.append(c.frequency[keep])
        v.append(c.velocity[keep])
        who.append(np.full(int(keep.sum()), k))
    ff, vv, ww = np.concatenate(f), np.concatenate(v), np.concatenate(who)
    if ff.size == 0:
        raise ValueError(f"the {len(curves)} curve(s) hold no "
                         f"{'valid ' if valid_only else ''}pick")
    return ff, vv, ww


def _bin_stats(label: np.ndarray, v: np.ndarray, who: np.ndarray, nbins: int
               ) -> dict[str, np.ndarray]:
    """Count, mean, std and log-normal std per bin (labels 0..nbins-1), and
    the number of curves that put picks in each."""
    count = np.bincount(label, minlength=nbins).astype(np.float64)
    total = np.bincount(label, weights=v, minlength=nbins)
    lv = np.log(v)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = total / count
        lmean = np.bincount(label, weights=lv, minlength=nbins) / count
        ss = np.bincount(label, weights=(v - mean[label]) ** 2, minlength=nbins)
        lss = np.bincount(label, weights=(lv - lmean[label]) ** 2, minlength=nbins)
        std = np.where(count > 1, np.sqrt(ss / (count - 1)), np.nan)
        lstd = np.where(count > 1, np.sqrt(lss / (count - 1)), np.nan)
    pairs = np.unique(np.stack([label, who]), axis=1)
    curves = np.bincount(pairs[0], minlength=nbins).astype(np.float64)
    return {"count": count, "mean": mean, "std": std, "lognormal_std": lstd, "curves": curves}


def statistics(curves: Sequence[DispersionCurve], domain: str = "frequency", *,
               bins: Union[None, int, Sequence[float]] = None, valid_only: bool = True,
               no_std: float = 1.0) -> UncertainCurve:
    """Statistics of several curves (shots, source offsets, records) per bin.

    Every pick that enters (only valid ones unless ``valid_only=False``) falls
    in a bin of frequency or of wavelength; per bin come the mean phase
    velocity, its sample standard deviation, the coefficient of variation
    (``.cov``), the standard deviation of ln(velocity) (the log-normal
    description) and the number of picks.

    Parameters
    ----------
    domain : {"frequency", "wavelength"}
        The quantity binned. In the wavelength domain each bin's frequency is
        its mean velocity over its central wavelength.
    bins : None, int or sequence of float
        None: in the frequency domain every distinct frequency is a bin
        (curves picked from images on one frequency grid), in the
        wavelength domain 30 logarithmically spaced bins over the picks'
        range. An int: that many logarithmic bins over the range. A
        sequence: the bin edges, increasing (the last bin includes its right
        edge). Each bin sits at its geometric centre (or its value).
    no_std : float
        The bounds low, high are mean -+ no_std standard deviations (not
        negative).

    Returns
    -------
    UncertainCurve
        One point per bin that holds a pick, by increasing frequency or
        wavelength. Bins of one pick have NaN deviations.
    """
    if domain not in ("frequency", "wavelength"):
        raise ValueError(f"domain must be 'frequency' or 'wavelength'; got {domain!r}")
    _no_std(no_std)
    f, v, who = _pool(curves, valid_only)
    x = f if domain == "frequency" else v / f
    if bins is None and domain == "frequency":
        centres, label = np.unique(x, return_inverse=True)
    else:
        if bins is None or (isinstance(bins, (int, np.integer)) and not isinstance(bins, bool)):
            n = 30 if bins is None else int(bins)
            if n < 1:
                raise ValueError(f"bins must be a positive count or increasing edges; got {bins!r}")
            if n > MAX_BINS:
                raise ValueError(f"bins = {n} is more bins than fit in memory (at most "
                                 f"{MAX_BINS})")
            lo, hi = float(x.min()), float(x.max())
            edges = np.geomspace(lo, hi, n + 1) if hi > lo else np.array([lo, lo * (1 + 1e-12)])
        else:
            edges = np.asarray(bins, dtype=np.float64)
            if edges.ndim != 1 or edges.size < 2 or not (np.diff(edges) > 0).all() \
                    or not edges[0] > 0 or not np.isfinite(edges[-1]):
                raise ValueError("bins must hold at least two positive, increasing edges; "
                                 f"got {bins!r}")
        label = np.searchsorted(edges, x, side="right") - 1
        label[x == edges[-1]] = edges.size - 2
        inside = (label >= 0) & (label < edges.size - 1)
        if not inside.any():
            raise ValueError(f"no pick falls inside the bins ({edges[0]:g} to {edges[-1]:g})")
        x, v, who, label = x[inside], v[inside], who[inside], label[inside]
        centres = np.sqrt(edges[:-1]) * np.sqrt(edges[1:])
    st = _bin_stats(label, v, who, centres.size)
    used = st["count"] > 0
    centres = centres[used]
    st = {k: a[used] for k, a in st.items()}
    mean = st["mean"]
    if domain == "frequency":
        freq, lam = centres, mean / centres
    else:
        freq, lam = mean / centres, centres
    nan = np.full(centres.size, np.nan)
    out = UncertainCurve(freq, lam, mean, st["std"], st["lognormal_std"], st["count"],
                         mean - no_std * st["std"], mean + no_std * st["std"], nan, nan,
                         domain)
    return out


def combine(curves: Sequence[DispersionCurve], *, ratio: float = 2.0 ** (1.0 / 3.0),
            no_std: float = 1.0, n_points: int = 30, valid_only: bool = True,
            min_count: int = 2, confidence: float = 0.95, n_boot: int = 2000,
            resample: str = "curves", seed: Optional[int] = 0) -> UncertainCurve:
    """Combine elementary dispersion curves into one with its scatter, in
    logarithmically spaced wavelength bins (Olafsdottir, Bessason &
    Erlingsson 2018, Soil Dyn. Earthq. Eng. 113:473).

    1. Every pick that enters (valid ones unless ``valid_only=False``) of
       every curve is pooled, with its wavelength lambda = c / f.
    2. Bin k holds the wavelengths ratio^(k - 1/2) <= lambda < ratio^(k + 1/2):
       the bin centres are whole powers of `ratio`, anchored at 1 m.
    3. Per bin: the mean phase velocity of its picks and their sample
       standard deviation s (ddof = 1); the bounds are mean -+ no_std * s.
       Bins with fewer than `min_count` picks (at least 2, for s) are left
       out.
    4. The bin sits at its centre ratio^k.
    5. The mean and bounds are resampled at `n_points` wavelengths spaced
       logarithmically from the first to the last bin centre, linearly
       interpolated in wavelength between the centres.

    Confidence interval of each bin's mean, by the bootstrap: `n_boot`
    resamples with replacement of whole curves (``resample="curves"``, the
    default: picks of one curve are not independent of each other) or of
    single picks (``"points"``), the mean recomputed each time, and the
    percentile interval at `confidence`; NaN where fewer than two curves (or
    picks) fall in the bin. Interpolated like the mean. `seed` makes it
    repeatable (None: a fresh random state).

    Parameters
    ----------
    curves : sequence of DispersionCurve
        The elementary curves (shots, source offsets, records).
    ratio : float
        Ratio of neighbouring bin centres (> 1); 2^(1/3) by default.
    no_std : float
        The bounds' distance from the mean, in standard deviations.
    n_points : int
        Number of wavelengths the result is resampled at.
    valid_only : bool
        Pool the valid picks only (``curve.valid``).
    min_count : int
        Fewest picks a bin needs to be kept (at least 2).
    confidence : float
        Level of the bootstrap interval of the mean, in (0, 1).
    n_boot : int
        Number of bootstrap resamples.
    resample : {"curves", "points"}
        What the bootstrap draws: whole curves or single picks.
    seed : int or None
        Seed of the bootstrap's random generator.

    Returns
    -------
    UncertainCurve
        In the wavelength domain, with ``wavelength``, ``velocity`` (the
        mean), ``low``, ``high``, ``ci_low``, ``ci_high``, ``std`` and
        ``lognormal_std`` at the resampled points (``count`` NaN), and the
        bins themselves in ``.bins``.
    """
    ratio = float(ratio)
    if not ratio > 1 or not math.isfinite(ratio):
        raise ValueError(f"ratio must be a number above 1; got {ratio!r}")
    if isinstance(n_points, bool) or int(n_points) != n_points or n_points < 2:
        raise ValueError(f"n_points must be an integer of at least 2; got {n_points!r}")
    if int(min_count) < 2:
        raise ValueError(f"min_count must be at least 2 (a standard deviation needs two "
                         f"picks); got {min_count!r}")
    if resample not in ("curves", "points"):
        raise ValueError(f"resample must be 'curves' or 'points'; got {resample!r}")
    if not 0 < confidence < 1:
        raise ValueError(f"confidence must lie between 0 and 1; got {confidence!r}")
    _no_std(no_std)
    if isinstance(n_boot, bool) or int(n_boot) != n_boot:
        raise ValueError(f"n_boot must be a whole number of resamples; got {n_boot!r}")
    if int(n_points) > MAX_BINS:
        raise ValueError(f"n_points = {n_points} is more points than fit in memory (at most "
                         f"{MAX_BINS})")
    f, v, who = _pool(curves, valid_only)
    lam = v / f
    span = math.log(float(lam.max()) / float(lam.min())) / math.log(ratio)
    if span + 2 > MAX_BINS:
        raise ValueError(f"ratio = {ratio!r} makes {span + 1:.3g} wavelength bins over the "
                         f"picks' {lam.min():.4g} to {lam.max():.4g} m, more than fit in memory "
                         f"(at most {MAX_BINS}): use a larger ratio")
    k = np.rint(np.log(lam) / math.log(ratio)).astype(np.int64)
    k0 = int(k.min())
    label = (k - k0).astype(np.intp)
    nbins = int(label.max()) + 1
    st = _bin_stats(label, v, who, nbins)
    keep = st["count"] >= int(min_count)
    if keep.sum() < 2:
        raise ValueError(f"combine needs at least two wavelength bins with {int(min_count)} or "
                         f"more picks; the {f.size} picks fill {int(keep.sum())} (ratio "
                         f"{ratio:g}): use a smaller ratio or more curves")
    centres = ratio ** (np.arange(nbins) + k0).astype(np.float64)
    lo_ci, hi_ci = _bootstrap(label, v, who, nbins, st, confidence, int(n_boot), resample,
                              np.random.default_rng(seed))
    mean, std = st["mean"], st["std"]
    bins = UncertainCurve(mean[keep] / centres[keep], centres[keep], mean[keep], std[keep],
                          st["lognormal_std"][keep], st["count"][keep],
                          mean[keep] - no_std * std[keep], mean[keep] + no_std * std[keep],
                          lo_ci[keep], hi_ci[keep], "wavelength")
    out_lam = np.geomspace(bins.wavelength[0], bins.wavelength[-1], int(n_points))
    out_lam[0], out_lam[-1] = bins.wavelength[0], bins.wavelength[-1]

    def at(values: np.ndarray) -> np.ndarray:
        return np.interp(out_lam, bins.wavelength, values)

    m = at(bins.velocity)
    return UncertainCurve(m / out_lam, out_lam, m, at(bins.std), at(bins.lognormal_std),
                          np.full(out_lam.size, np.nan), at(bins.low), at(bins.high),
                          at(bins.ci_low), at(bins.ci_high), "wavelength", bins)


def _bootstrap(label: np.ndarray, v: np.ndarray, who: np.ndarray, nbins: int,
               st: dict[str, np.ndarray], confidence: float, n_boot: int, resample: str,
               rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    """Percentile bootstrap interval of each bin's mean."""
    if n_boot < 10:
        raise ValueError(f"n_boot must be at least 10; got {n_boot!r}")
    if n_boot > MAX_BOOT_MEANS:
        raise ValueError(f"n_boot = {n_boot} resampled means do not fit in memory (at most "
                         f"{MAX_BOOT_MEANS})")
    q = [50.0 * (1.0 - confidence), 50.0 * (1.0 + confidence)]
    lo = np.full(nbins, np.nan)
    hi = np.full(nbins, np.nan)
    if resample == "curves":
        ok = st["curves"] >= 2
        if n_boot * int(ok.sum()) > MAX_BOOT_MEANS:
            raise ValueError(f"n_boot = {n_boot} resampled means of {int(ok.sum())} bins do not "
                             f"fit in memory (at most {MAX_BOOT_MEANS} means): use fewer")
        if not ok.any():
            return lo, hi
        # only the bins that get an interval are resampled
        column = np.cumsum(ok) - 1
        inside = ok[label]
        ids, who_idx = np.unique(who, return_inverse=True)
        ncurves, nok = ids.size, int(ok.sum())
        sums = np.zeros((ncurves, nok))
        counts = np.zeros((ncurves, nok))
        np.add.at(sums, (who_idx[inside], column[label[inside]]), v[inside])
        np.add.at(counts, (who_idx[inside], column[label[inside]]), 1.0)
        # resamples in chunks of rows: the memory of the draws is bounded
        # whatever n_boot, and they are the same draws as all at once
        means = np.empty((n_boot, nok))
        rows = max(1, BOOT_CHUNK // ncurves)
        for a in range(0, n_boot, rows):
            b = min(n_boot, a + rows)
            draws = rng.integers(0, ncurves, size=(b - a, ncurves))
            flat = (np.arange(b - a)[:, None] * ncurves + draws).ravel()
            weights = np.bincount(flat, minlength=(b - a) * ncurves).reshape(b - a, ncurves)
            weights = weights.astype(np.float64)
            with np.errstate(invalid="ignore", divide="ignore"):
                means[a:b] = (weights @ sums) / (weights @ counts)
        with np.errstate(invalid="ignore"):
            lo[ok], hi[ok] = np.nanpercentile(means, q, axis=0)
        return lo, hi
    order = np.argsort(label, kind="stable")
    starts = np.searchsorted(label[order], np.arange(nbins))
    for b in range(nbins):
        n = int(st["count"][b])
        if n < 2:
            continue
        values = v[order][starts[b]:starts[b] + n]
        boot = np.empty(n_boot)
        rows = max(1, BOOT_CHUNK // n)
        for a in range(0, n_boot, rows):
            e = min(n_boot, a + rows)
            boot[a:e] = values[rng.integers(0, n, size=(e - a, n))].mean(axis=1)
        lo[b], hi[b] = np.percentile(boot, q)
    return lo, hi


# --------------------------------------------------------------------------
# theoretical modes


def theoretical_modes(model: Any, frequency: Iterable[float], *, modes: int = 3,
                      wave: str = "rayleigh") -> list[DispersionCurve]:
    """Phase velocities of the first `modes` modes of a layered model,
    computed by disba (the `model` extra: ``pip install 'molvak[model]'``).

    Parameters
    ----------
    model : array_like, shape (layers, 4)
        One row per layer, from the surface down: thickness (m; the last
        layer is a half-space and its thickness is ignored), P-wave velocity
        and S-wave velocity (m/s), density (any unit: only its ratios
        matter).
    frequency : array_like
        Frequencies (Hz, positive).
    wave : {"rayleigh", "love"}

    Returns
    -------
    list of DispersionCurve
        Mode 0 first; each holds the frequencies where the mode exists
        (above its cut-off), quality 1.
    """
    try:
        from disba import PhaseDispersion
    except ImportError:
        raise ImportError("theoretical modes need disba: pip install 'molvak[model]'") from None
    m = np.array(model, dtype=np.float64)
    if m.ndim != 2 or m.shape[1] != 4 or m.shape[0] < 1:
        raise ValueError(f"model must have one row per layer of (thickness, vp, vs, density); "
                         f"got shape {m.shape}")
    if not np.isfinite(m).all() or (m[:, 1:] <= 0).any() or (m[:-1, 0] <= 0).any():
        raise ValueError("model must hold finite values, positive velocities and densities, "
                         "and positive thicknesses above the half-space")
    if (m[:, 2] >= m[:, 1]).any():
        raise ValueError("model: every layer's S velocity must lie below its P velocity")
    if wave not in ("rayleigh", "love"):
        raise ValueError(f"wave must be 'rayleigh' or 'love'; got {wave!r}")
    if isinstance(modes, bool) or int(modes) != modes or modes < 1:
        raise ValueError(f"modes must be a positive integer; got {modes!r}")
    f = np.unique(np.asarray(frequency, dtype=np.float64).ravel())
    if f.size == 0 or not (f > 0).all():
        raise ValueError("frequency must hold positive values")
    m[-1, 0] = max(m[-1, 0], 1.0)
    # disba's search steps are in km/s: give it km, km/s
    solver = PhaseDispersion(m[:, 0] / 1e3, m[:, 1] / 1e3, m[:, 2] / 1e3, m[:, 3])
    periods = np.sort(1.0 / f)
    out = []
    for k in range(int(modes)):
        result = solver(periods, mode=k, wave=wave)
        ff = 1.0 / np.asarray(result.period, dtype=np.float64)
        vv = 1e3 * np.asarray(result.velocity, dtype=np.float64)
        order = np.argsort(ff)
        keep = vv[order] > 0
        out.append(DispersionCurve.from_arrays(ff[order][keep], vv[order][keep], mode=k))
    return out
