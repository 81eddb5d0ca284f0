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
from .image import DispersionCurve

PathLike = Union[str, "os.PathLike[str]"]

__all__ = ["UncertainCurve", "combine", "statistics", "theoretical_modes"]

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
        a log-normal std alone gives the bounds mean / e^s and mean * e^s)."""
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
        and ln(velocity) between the curve's points, NaN outside them."""
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

        Returns
        -------
        The Axes drawn on.
        """
        from .plot import plot_uncertain
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
        (NaN, a bin of one pick) are refused, naming them. Numbers are written in full (17 significant digits at most),
        so reading the file back gives the same three columns.
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
        """Read the dinver text format (see :meth:`to_dinver`)."""
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
        ok = np.isfinite(table).all(axis=1) & (table[:, 0] > 0) & (table[:, 1] > 0) \
            & (table[:, 2] >= 1)
        if not ok.all():
            k = int(np.flatnonzero(~ok)[0])
            raise ValueError(f"{name!r}: point {k + 1} ({' '.join(_repr(x) for x in table[k])}):"
                             f" frequency and slowness must be positive and finite, the "
                             f"log-normal factor finite and at least 1")
        return cls.from_arrays(table[:, 0], 1.0 / table[:, 1], np.log(table[:, 2]))

    def to_csv(self, path: PathLike, *, overwrite: bool = False) -> None:
        """Write CSV: a header line with :attr:`COLUMNS` and ``domain``, one
        point per row; numbers in full, so that reading back gives the same
        values and domain. An existing file is replaced only with
        ``overwrite=True``."""
        buffer = io.StringIO()
        writer = csv.writer(buffer, lineterminator="\n")
        writer.writerow(self.COLUMNS + ("domain",))
        for row in zip(*(getattr(self, c) for c in self.COLUMNS)):
            writer.writerow([_repr(v) for v in row] + [self.domain])
        write_text(path, buffer.getvalue(), overwrite=overwrite)

    @classmethod
    def from_csv(cls, path: PathLike, domain: Optional[str] = None) -> UncertainCurve:
        """Read a file written by :meth:`to_csv` (a UTF-8 byte-order mark and
        blank lines are passed over). The domain is the file's; `domain`
        gives it for a file without one (by default "frequency") and must
        agree with a file that has one."""
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
        existing file is replaced only with ``overwrite=True``."""
        doc: dict[str, Any] = {"domain": self.domain}
        for c in self.COLUMNS:
            doc[c] = [float(v) if np.isfinite(v) else None for v in getattr(self, c)]
        write_text(path, json.dumps(doc, indent=1) + "\n", overwrite=overwrite)

    @classmethod
    def from_json(cls, path: PathLike) -> UncertainCurve:
        """Read a file written by :meth:`to_json`."""
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
