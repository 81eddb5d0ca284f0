"""Virtual shot gathers from continuous records by seismic interferometry.

Cross-correlating the record of a channel with that of a virtual-source
channel, over many windows of ambient noise, builds up the wave that would
travel between them from a source at the virtual source (Wapenaar 2004;
Bensen et al. 2007 for the processing; Cheng et al. 2016 and Dou et al. 2017
for DAS and surface-wave imaging). For every window:

1. demean every channel;
2. optionally normalise in time: one-bit (the sign of every sample) or
   running absolute mean (every sample divided by the mean of |x| over a
   window of ``2 h + 1`` samples centred on it, the window shortened at the
   ends), which keep strong transients from dominating the stack;
3. taper both ends with half Hann windows (the ramp of
   :meth:`molvak.Gather.taper`);
4. Fourier transform, zero padded to ``nfft >= 2 NT - 1`` samples so that the
   correlation has every lag without wrap-around;
5. optionally whiten: divide every spectrum by its amplitude (a running
   mean of the amplitude over `whiten_width` Hz when given) and weight it
   by the whitening band, so that every frequency of the band counts alike;
6. cross-correlate every channel r with every virtual source s:
   C_sr(tau) = sum_t u_s(t) u_r(t + tau), from conj(U_s) U_r, at the lags
   -L..L; a wave going from s to r appears at positive lag;
7. stack over windows: linearly (the mean), or phase-weighted (Schimmel and
   Paulssen 1997): the mean correlation times |mean of the unit phasors|^nu,
   the phasor of a window being its correlation's analytic signal (from the
   one-sided cross-spectrum of the full correlation, as scipy.signal.hilbert
   computes it on the nfft samples) divided by its modulus; nu = 2 by
   default. Incoherent noise has phasors of random angle, whose mean is
   small, while a wave at the same lag in every window keeps the weight 1.

The partial stack of a set of windows (:class:`CorrelationStack`) holds the
sum of the correlations, the sum of the unit phasors for PWS and the count,
so stacks of disjoint sets of windows combine by addition, in any order and
grouping: workers stack their own windows and only stacks travel.

At the end the stack is folded: the causal part (lags >= 0, waves from the
virtual source to the channel) and the time-reversed acausal part (waves from
the channel towards the virtual source) are averaged ("both"), or one of
them is kept. The virtual shot gather has the folded lags as its time axis
from 0 and the distances from the virtual source as offsets.
"""
from __future__ import annotations

import math
import mmap
import numbers
import os
import sys
import warnings
from collections.abc import Hashable, Sequence
from concurrent.futures import Executor, ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Optional, Union

import numpy as np
from numpy.typing import ArrayLike

from . import _checks, _native, _stackfile
from ._progress import Progress
from .gather import Gather
from .io.records import Record, Records, RecordWarning, Windows, iter_blocks, open_record

__all__ = ["CorrelationSettings", "CorrelationStack", "channel_pairs", "correlate",
           "fast_length", "fold", "settings", "virtual_gather"]

NORMALIZATIONS = ("none", "onebit", "ram")
STACKINGS = ("linear", "pws")
FOLDS = ("both", "causal", "acausal")


def fast_length(n: int) -> int:
    """The smallest 5-smooth number (2^a 3^b 5^c) not below n: an FFT length
    that FFTW and pocketfft transform fast."""
    n = int(n)
    if n <= 1:
        return 1
    best = 2 ** int(math.ceil(math.log2(n)))
    p5 = 1
    while p5 < best:
        p35 = p5
        while p35 < best:
            # the smallest power of two that lifts p35 to n or above
            q = p35
            while q < n:
                q *= 2
            best = min(best, q)
            p35 *= 3
        p5 *= 5
    return best


# --------------------------------------------------------------------------
# settings


@dataclass(frozen=True)
class CorrelationSettings:
    """The settings of the correlation, resolved to samples and bins for one
    window length and sample interval.

    Attributes
    ----------
    samples : int
        Samples per window, NT.
    dt : float
        Sample interval (s).
    max_lag : int
        L: the lags -L..L are kept (samples), L < NT.
    nfft : int
        FFT length, the smallest 5-smooth number >= 2 NT - 1.
    taper : int
        Samples of each half-Hann ramp at the ends of a window (0: none).
    normalization : {"none", "onebit", "ram"}
    ram_half : int
        Half-width h of the running-absolute-mean window (samples).
    whiten : tuple of 4 floats, or None
        Corner frequencies (f1, f2, f3, f4) of the whitening band (Hz): zero
        below f1 and above f4, one from f2 to f3, sin^2 ramps between; None
        for no whitening.
    whiten_half : int
        Half-width (bins) of the running mean of the amplitude that the
        spectra are divided by; 0 divides by the amplitude itself.
    stacking : {"linear", "pws"}
    reject : float or None
        Transient rejection: a window is left out when on any channel the
        largest |x - mean| exceeds `reject` times the standard deviation of
        that channel in that window (10 for ``reject=True``); None keeps
        every window.
    """

    samples: int
    dt: float
    max_lag: int
    nfft: int
    taper: int = 0
    normalization: str = "none"
    ram_half: int = 0
    whiten: Optional[tuple[float, float, float, float]] = None
    whiten_half: int = 0
    stacking: str = "linear"
    reject: Optional[float] = None

    @property
    def bins(self) -> int:
        """Bins of the one-sided spectrum, nfft // 2 + 1."""
        return self.nfft // 2 + 1

    @property
    def lags(self) -> np.ndarray:
        """The kept lags (s), -L dt .. L dt."""
        return np.arange(-self.max_lag, self.max_lag + 1, dtype=np.float64) * self.dt

    def taper_window(self) -> np.ndarray:
        """The taper over a window (NT,): sin^2 ramps of `taper` samples,
        sample k of the ramp weighted sin^2(pi/2 (k + 1) / (taper + 1))."""
        window = np.ones(self.samples, dtype=np.float64)
        width = self.taper
        if width > 0:
            ramp = np.sin(0.5 * np.pi * np.arange(1, width + 1) / (width + 1)) ** 2
            window[:width] = ramp
            window[self.samples - width:] *= ramp[::-1]
        return window

    def whitening_weights(self) -> Optional[np.ndarray]:
        """The whitening band over the bins (nfft // 2 + 1,), or None. Bin 0
        always weighs 0: a whitened zero-frequency bin would add a constant
        to the correlation."""
        if self.whiten is None:
            return None
        f1, f2, f3, f4 = self.whiten
        f = np.arange(self.bins, dtype=np.float64) / (self.nfft * self.dt)
        w = ((f >= f2) & (f <= f3)).astype(np.float64)
        if f2 > f1:
            rise = (f >= f1) & (f < f2)
            w[rise] = np.sin(0.5 * np.pi * (f[rise] - f1) / (f2 - f1)) ** 2
        if f4 > f3:
            fall = (f > f3) & (f <= f4)
            w[fall] = np.cos(0.5 * np.pi * (f[fall] - f3) / (f4 - f3)) ** 2
        w[0] = 0.0
        return w

    def analytic_weights(self) -> np.ndarray:
        """The one-sided weights that turn the spectrum of a real sequence
        of nfft samples into that of its analytic signal: 1 at bin 0 (and at
        bin nfft / 2 when nfft is even), 2 between."""
        h = np.full(self.bins, 2.0)
        h[0] = 1.0
        if self.nfft % 2 == 0:
            h[-1] = 1.0
        return h


def _seconds_to_samples(name: str, value: Any, dt: float, least: int = 0) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Real) \
            or not math.isfinite(float(value)) or float(value) < 0:
        raise ValueError(f"{name} must be a non-negative number of seconds; got {value!r}")
    n = int(round(float(value) / dt))
    if n < least:
        raise ValueError(f"{name} = {value!r} s is shorter than {least} sample(s) of {dt:g} s")
    return n


def _band(whiten: Any, nyquist: float) -> Optional[tuple[float, float, float, float]]:
    if whiten is None or whiten is False:
        return None
    if whiten is True:
        return (0.0, 0.0, nyquist, nyquist)
    values = tuple(float(v) for v in whiten)
    if len(values) == 2:
        values = (values[0], values[0], values[1], values[1])
    if len(values) != 4:
        raise ValueError(f"whiten must be True, False, (fmin, fmax) or four corner frequencies "
                         f"(f1, f2, f3, f4) in Hz; got {whiten!r}")
    if not all(math.isfinite(v) for v in values) or values[0] < 0 \
            or any(b < a for a, b in zip(values, values[1:])) or values[1] >= values[2]:
        raise ValueError(f"whiten corner frequencies must be finite, non-negative and "
                         f"increasing with f2 < f3; got {whiten!r}")
    if values[0] >= nyquist:
        raise ValueError(f"the whitening band {whiten!r} lies above the Nyquist frequency "
                         f"{nyquist:g} Hz")
    return values


def settings(length: float, dt: float, *, max_lag: Optional[float] = None,
             taper: float = 0.05, whiten: Any = True, whiten_width: float = 0.0,
             normalization: str = "none", ram_window: Optional[float] = None,
             stacking: str = "linear", reject: Any = None) -> CorrelationSettings:
    """Check the correlation options (see :func:`virtual_gather`) and resolve
    them for windows of `length` seconds sampled at `dt`."""
    dt = _checks.positive_float("dt", dt)
    nt = _seconds_to_samples("length", length, dt, 2)
    lag = nt // 2 if max_lag is None else _seconds_to_samples("max_lag", max_lag, dt)
    if lag > nt - 1:
        raise ValueError(f"max_lag = {max_lag!r} s reaches beyond the window of {nt * dt:g} s; "
                         f"at most {(nt - 1) * dt:g} s")
    fraction = float(taper)
    if not 0.0 <= fraction <= 0.5:
        raise ValueError(f"taper must be a fraction of the window between 0 and 0.5; "
                         f"got {taper!r}")
    normalization = _checks.choice("normalization", normalization, NORMALIZATIONS)
    stacking = _checks.choice("stacking", stacking, STACKINGS)
    nfft = fast_length(2 * nt - 1)
    band = _band(whiten, 0.5 / dt)
    width = float(whiten_width)
    if not (math.isfinite(width) and width >= 0):
        raise ValueError(f"whiten_width must be a non-negative number of Hz; got {whiten_width!r}")
    df = 1.0 / (nfft * dt)
    half = int(round(0.5 * width / df))
    ram = 0
    if normalization == "ram":
        if ram_window is None:
            low = band[1] if band is not None and band[1] > 0 else None
            ram_window = 0.5 / low if low else 1.0
        ram = _seconds_to_samples("ram_window", ram_window, dt) // 2
        if ram < 1:
            raise ValueError(f"ram_window = {ram_window!r} s must span at least three samples")
    return CorrelationSettings(samples=nt, dt=dt, max_lag=lag, nfft=nfft,
                               taper=int(round(fraction * nt)), normalization=normalization,
                               ram_half=ram, whiten=band, whiten_half=half, stacking=stacking,
                               reject=_reject(reject))


REJECT = 10.0   # reject=True: windows with a sample beyond 10 standard deviations
TRANSIENT_ROWS = 64     # channels per step of transient()


def _reject(value: Any) -> Optional[float]:
    if value is None or value is False:
        return None
    if value is True:
        return REJECT
    if isinstance(value, bool) or not isinstance(value, numbers.Real) \
            or not math.isfinite(float(value)) or float(value) <= 1.0:
        raise ValueError(f"reject must be True, None or a number of standard deviations "
                         f"above 1; got {value!r}")
    return float(value)


def transient(window: np.ndarray, threshold: float) -> bool:
    """Whether a window (NX, NT) holds a transient: on some channel, a
    sample farther than `threshold` standard deviations from the channel's
    mean over the window (channels that are constant never count)."""
    rows = np.asarray(window)
    for first in range(0, rows.shape[0], TRANSIENT_ROWS):
        # in float64, a few channels at a time: no float64 copy of the window
        x = np.asarray(rows[first:first + TRANSIENT_ROWS], dtype=np.float64)
        x = x - x.mean(axis=1, keepdims=True)
        peak = np.abs(x).max(axis=1)
        std = np.sqrt(np.mean(x * x, axis=1))
        if np.any((peak > threshold * std) & (std > 0)):
            return True
    return False


# --------------------------------------------------------------------------
# the correlation and stacking core: native, and its NumPy formulation


def running_mean(x: np.ndarray, half: int) -> np.ndarray:
    """Mean of x over [k - half, k + half] along the last axis, the window
    shortened at the ends (so the mean of what it covers)."""
    n = x.shape[-1]
    c = np.zeros(x.shape[:-1] + (n + 1,), dtype=np.float64)
    np.cumsum(x, axis=-1, out=c[..., 1:])
    k = np.arange(n)
    lo = np.clip(k - half, 0, n)
    hi = np.clip(k + half + 1, 0, n)
    out: np.ndarray = (c[..., hi] - c[..., lo]) / (hi - lo)
    return out


def preprocess(block: np.ndarray, s: CorrelationSettings) -> np.ndarray:
    """Steps 1-5 for windows (..., NX, NT): the spectra (..., NX,
    nfft // 2 + 1) that are correlated."""
    x = block - block.mean(axis=-1, keepdims=True)
    if s.normalization == "onebit":
        x = np.sign(x)
    elif s.normalization == "ram":
        weight = running_mean(np.abs(x), s.ram_half)
        x = np.divide(x, weight, out=np.zeros_like(x), where=weight > 0)
    if s.taper:
        x = x * s.taper_window()
    spectra = np.fft.rfft(x, n=s.nfft, axis=-1)
    weights = s.whitening_weights()
    if weights is not None:
        amplitude = np.abs(spectra)
        if s.whiten_half > 0:
            amplitude = running_mean(amplitude, s.whiten_half)
        with np.errstate(divide="ignore", invalid="ignore"):
            scale = np.where(amplitude > 0, weights / amplitude, 0.0)
        spectra *= scale
    return spectra


def _cut_lags(full: np.ndarray, lag: int) -> np.ndarray:
    """Lags -L..L of a circular correlation of nfft samples (lag k at index
    k mod nfft)."""
    n = full.shape[-1]
    return np.concatenate([full[..., n - lag:], full[..., :lag + 1]], axis=-1)


def _correlate_stack(block: Union[np.ndarray, Sequence[np.ndarray]], sources: np.ndarray,
                     s: CorrelationSettings, *,
                     out: Optional[tuple[np.ndarray, Optional[np.ndarray]]] = None
                     ) -> tuple[np.ndarray, Optional[np.ndarray]]:
    """The partial stack of a block of windows (steps 1-7 of the module
    notes), computed by the native kernel with the interpreter lock released.

    Parameters
    ----------
    block : ndarray (W, NX, NT), or a sequence of W arrays (NX, NT)
        W windows of NX channels of NT = s.samples samples, finite, float64
        or float32 (views into read buffers are read where they lie when
        their samples are contiguous in time; float32 windows are widened
        to float64 a row at a time, with the results of float64 windows
        holding the same values, bit for bit).
    sources : ndarray, intp, shape (S,) or (P, 2)
        Indices of the virtual-source channels among the NX, or pairs of
        channels (i, j): the sums are then (P, 2 L + 1), of C_ij.
    s : CorrelationSettings
    out : (linear, phasor), optional
        Running sums to add this block's to (as returned here), in place.

    Returns
    -------
    linear : ndarray, float64, shape (S, NX, 2 L + 1)
        Sum over the W windows of C_sr(tau) = sum_t u_s(t) u_r(t + tau) of
        the pre-processed windows at the lags tau = -L..L samples.
    phasor : ndarray, complex128, shape (S, NX, 2 L + 1), or None
        For s.stacking == "pws": the sum over the windows of ``z / |z|``, z the
        analytic signal of each window's correlation at the same lags (0
        where z is 0). None for linear stacking.
    """
    linear, phasor = (None, None) if out is None else out
    result: tuple[np.ndarray, Optional[np.ndarray]] = _native._correlate_stack(
        block, sources, s.nfft, s.max_lag, taper=s.taper_window() if s.taper else None,
        normalization=s.normalization, ram_half=s.ram_half, whiten=s.whitening_weights(),
        whiten_half=s.whiten_half, stacking=s.stacking, linear=linear, phasor=phasor)
    return result


def _correlate_stack_numpy(block: np.ndarray, sources: np.ndarray,
                           s: CorrelationSettings) -> tuple[np.ndarray, Optional[np.ndarray]]:
    """The partial stack of a block of windows in NumPy: the formulation the
    native kernel (:func:`_correlate_stack`) computes, kept as a reference
    for the tests and benchmarks.

    Parameters
    ----------
    block : ndarray, float64, shape (W, NX, NT), C-contiguous
        W windows of NX channels of NT = s.samples samples, finite.
    sources : ndarray, intp, shape (S,)
        Indices of the virtual-source channels among the NX.
    s : CorrelationSettings

    Returns
    -------
    linear : ndarray, float64, shape (S, NX, 2 L + 1)
        Sum over the W windows of C_sr(tau) = sum_t u_s(t) u_r(t + tau) of
        the pre-processed windows (module notes, steps 1-6) at the lags
        tau = -L..L samples.
    phasor : ndarray, complex128, shape (S, NX, 2 L + 1), or None
        For s.stacking == "pws": the sum over the windows of ``z / |z|``, z the
        analytic signal of each window's correlation at the same lags (0
        where z is 0). None for linear stacking.
    """
    lag = s.max_lag
    nx = block.shape[1]
    shape = (sources.size, nx, 2 * lag + 1)
    if s.stacking == "linear":
        # the stack of the correlations is the correlation of the stacked
        # cross-spectra: one inverse FFT per pair for the whole block
        cross = np.zeros((sources.size, nx, s.bins), dtype=np.complex128)
        for w in range(block.shape[0]):
            spectra = preprocess(block[w], s)                   # (NX, F)
            cross += np.conj(spectra[sources])[:, None, :] * spectra[None, :, :]
        return _cut_lags(np.fft.irfft(cross, n=s.nfft, axis=-1), lag), None
    h = s.analytic_weights()
    linear = np.zeros(shape, dtype=np.float64)
    phasor = np.zeros(shape, dtype=np.complex128)
    full = np.zeros((sources.size, nx, s.nfft), dtype=np.complex128)
    for w in range(block.shape[0]):
        spectra = preprocess(block[w], s)
        full[..., :s.bins] = np.conj(spectra[sources])[:, None, :] * spectra[None, :, :] * h
        z = _cut_lags(np.fft.ifft(full, axis=-1), lag)
        linear += z.real
        modulus = np.abs(z)
        phasor += np.divide(z, modulus, out=np.zeros_like(z), where=modulus > 0)
    return linear, phasor


# --------------------------------------------------------------------------
# partial stacks


_MAPPED_BYTES = 64 << 20    # sums at least this large are mapped in ordinary pages


def _zeros(shape: tuple[int, ...], dtype: Any) -> np.ndarray:
    """Zeroed sums of a stack. Large ones (every pair's correlations of a
    long line) are mapped from anonymous memory in ordinary pages: NumPy asks
    for huge pages for large arrays, which the system may have to assemble
    by moving memory about when other work has fragmented it (measured on a
    shared machine: 0.4 to 0.7 s of system time for the 320 MB of 200
    channels' pairs after another process had freed its memory, against
    0.12 s in ordinary pages). The values are the same zeros either way."""
    dtype = np.dtype(dtype)
    size = math.prod(shape) * dtype.itemsize
    if size < _MAPPED_BYTES:
        return np.zeros(shape, dtype=dtype)
    return np.frombuffer(mmap.mmap(-1, size), dtype=dtype).reshape(shape)


def _add_nonfinite(into: dict[str, dict[int, int]], other: dict[str, dict[int, int]]) -> None:
    """Adds the windows counted per kind and channel in `other` to `into`."""
    for kind, channels in other.items():
        mine = into.setdefault(kind, {})
        for ch, n in channels.items():
            mine[ch] = mine.get(ch, 0) + n


@dataclass(eq=False)
class CorrelationStack:
    """A partial stack of correlations: the sums over a set of windows, which
    combine with another set's by :meth:`combine` (or ``+``).

    Attributes
    ----------
    settings : CorrelationSettings
    sources : tuple of int
        Virtual-source channels (indices among the channels).
    positions : ndarray (NX,)
        Channel positions along the line (m).
    linear : ndarray (S, NX, 2 L + 1)
        Sum of the correlations over the windows.
    phasor : ndarray (S, NX, 2 L + 1) complex, or None
        Sum of the unit phasors (phase-weighted stacking).
    pairs : ndarray (P, 2) of int, or None
        For a stack of channel pairs (``correlate(..., "all")``): the pairs
        (i, j), i <= j; `linear` and `phasor` are then (P, 2 L + 1), row k
        holding C_ij, and `sources` every channel. The pair (j, i) is the
        time reverse of (i, j) (:meth:`pair`).
    count : int
        Windows stacked.
    skipped : int
        Windows left out because they held non-finite samples (on some of
        a channel's samples: a channel without any finite sample in a
        window is left out of that window instead).
    rejected : int
        Windows left out as transients (``settings.reject``).
    nonfinite : dict
        {"dead": {channel: windows}, "dropped": {channel: windows}}: the
        channels left out of windows in which they held no finite sample,
        and those whose non-finite samples dropped windows.
    span : (float, float)
        Start of the earliest and end of the latest window stacked, seconds
        from the first sample of the record.
    headers : dict
        The record's (quantity, gauge length, start time, ...).
    """

    settings: CorrelationSettings
    sources: tuple[int, ...]
    positions: np.ndarray
    linear: np.ndarray
    phasor: Optional[np.ndarray]
    count: int = 0
    skipped: int = 0
    span: tuple[float, float] = (math.inf, -math.inf)
    headers: dict[str, Any] = field(default_factory=dict)
    pairs: Optional[np.ndarray] = None
    rejected: int = 0
    nonfinite: dict[str, dict[int, int]] = field(
        default_factory=lambda: {"dead": {}, "dropped": {}})

    @classmethod
    def empty(cls, s: CorrelationSettings, sources: Union[Sequence[int], np.ndarray],
              positions: np.ndarray, headers: Optional[dict[str, Any]] = None, *,
              pairs: Optional[np.ndarray] = None) -> CorrelationStack:
        """A stack holding no window yet: zero sums for every virtual source
        in `sources` (channel indices) and every channel at `positions` (m),
        or for every pair of `pairs` (a (P, 2) array of channel indices),
        with the lags and stacking of the settings `s`."""
        if pairs is not None:
            shape: tuple[int, ...] = (len(pairs), 2 * s.max_lag + 1)
        else:
            shape = (len(sources), positions.size, 2 * s.max_lag + 1)
        phasor = _zeros(shape, np.complex128) if s.stacking == "pws" else None
        return cls(s, tuple(int(k) for k in sources), positions,
                   _zeros(shape, np.float64), phasor, headers=dict(headers or {}),
                   pairs=pairs)

    def _check(self, other: CorrelationStack) -> None:
        if not isinstance(other, CorrelationStack):
            raise TypeError(f"can only combine with a CorrelationStack; got "
                            f"{type(other).__name__}")
        if self.headers.get("restacked") or other.headers.get("restacked"):
            raise ValueError("a stack made by molvak.restack is final: it does not combine "
                             "by addition; restack the substacks of both together")
        if other.settings != self.settings:
            raise ValueError("cannot combine stacks made with different correlation settings")
        if other.sources != self.sources or other.positions.shape != self.positions.shape \
                or not np.array_equal(other.positions, self.positions):
            raise ValueError("cannot combine stacks of different channels or virtual sources")
        mine, theirs = self.pairs, other.pairs
        if (mine is None) != (theirs is None) or (
                mine is not None and theirs is not None and not np.array_equal(mine, theirs)):
            raise ValueError("cannot combine stacks of different channel pairs")

    def add(self, linear: np.ndarray, phasor: Optional[np.ndarray], count: int,
            span: tuple[float, float]) -> None:
        """Add a block's sums in place."""
        self.linear += linear
        if self.phasor is not None and phasor is not None:
            self.phasor += phasor
        self.count += int(count)
        self.span = (min(self.span[0], span[0]), max(self.span[1], span[1]))

    def add_windows(self, windows: Union[np.ndarray, Sequence[np.ndarray]],
                    span: tuple[float, float]) -> None:
        """Correlate windows (W arrays (NX, NT), or one (W, NX, NT)) with
        the virtual sources and add them to the sums, in place."""
        which = self.pairs if self.pairs is not None else np.asarray(self.sources, dtype=np.intp)
        _correlate_stack(windows, which, self.settings, out=(self.linear, self.phasor))
        self.count += len(windows)
        self.span = (min(self.span[0], span[0]), max(self.span[1], span[1]))

    def merge(self, other: CorrelationStack) -> None:
        """Add another stack's windows to this one, in place."""
        self._check(other)
        self.add(other.linear, other.phasor, other.count, other.span)
        self.skipped += other.skipped
        self.rejected += other.rejected
        _add_nonfinite(self.nonfinite, other.nonfinite)

    def combine(self, other: CorrelationStack) -> CorrelationStack:
        """The stack of both sets of windows (a new object)."""
        self._check(other)
        out = CorrelationStack(self.settings, self.sources, self.positions, self.linear.copy(),
                               None if self.phasor is None else self.phasor.copy(), self.count,
                               self.skipped, self.span, dict(self.headers),
                               self.pairs, self.rejected,
                               {k: dict(v) for k, v in self.nonfinite.items()})
        out.merge(other)
        return out

    __add__ = combine

    def save(self, path: Union[str, os.PathLike[str]], *, overwrite: bool = False) -> None:
        """Write the partial stack to an HDF5 file (h5py, the `das` extra), in
        the layout of :mod:`molvak._stackfile`: the sums as computed, so
        that :meth:`load` gives them back bit for bit. Written under a
        temporary name and renamed; an existing file is kept unless
        `overwrite`."""
        _stackfile.write(path, {
            "count": self.count, "skipped": self.skipped, "rejected": self.rejected,
            "nonfinite": self.nonfinite, "span": self.span,
            "settings": {k: getattr(self.settings, k)
                         for k in CorrelationSettings.__dataclass_fields__},
            "headers": self.headers, "positions": self.positions, "sources": self.sources,
            "pairs": self.pairs, "linear": self.linear, "phasor": self.phasor},
            overwrite=overwrite)

    @classmethod
    def load(cls, path: Union[str, os.PathLike[str]]) -> CorrelationStack:
        """Read a partial stack written by :meth:`save`."""
        f = _stackfile.read(path)
        values = dict(f["settings"])
        if values.get("whiten") is not None:
            values["whiten"] = tuple(float(v) for v in values["whiten"])
        try:
            s = CorrelationSettings(**values)
        except TypeError as exc:
            raise ValueError(f"{os.fspath(path)}: settings not understood ({exc})") from None
        return cls(s, tuple(int(k) for k in f["sources"]), np.asarray(f["positions"]),
                   f["linear"], f["phasor"], f["count"], f["skipped"], f["span"],
                   f["headers"], f["pairs"], f["rejected"], f["nonfinite"])

    def correlation(self, power: float = 2.0) -> np.ndarray:
        """The stacked correlations (S, NX, 2 L + 1) at the lags
        ``settings.lags``: the mean, or for phase-weighted stacking the mean
        times ``|mean phasor|^power``.

        Parameters
        ----------
        power : float
            Exponent of the phase weight (phase-weighted stacking).

        Returns
        -------
        ndarray
            (virtual sources, channels, lags).
        """
        return self._stacked(slice(None), power)

    def _stacked(self, rows: Any, power: float) -> np.ndarray:
        """:meth:`correlation` of the rows `rows` of the sums only."""
        if self.count == 0:
            raise ValueError("the stack holds no window: the record is shorter than a window, "
                             "or every window held non-finite samples")
        mean = self.linear[rows] / self.count
        if self.phasor is None:
            return mean
        nu = float(power)
        if not (math.isfinite(nu) and nu >= 0):
            raise ValueError(f"power must be a non-negative number; got {power!r}")
        out: np.ndarray = mean * np.abs(self.phasor[rows] / self.count) ** nu
        return out

    def _pair_row(self, i: int, j: int) -> Optional[int]:
        """The row of the stored pair (i, j), or None."""
        assert self.pairs is not None
        found = np.flatnonzero((self.pairs[:, 0] == i) & (self.pairs[:, 1] == j))
        return int(found[0]) if found.size else None

    def pair(self, i: int, j: int, *, power: float = 2.0) -> np.ndarray:
        """The stacked correlation C_ij(tau) = sum_t u_i(t) u_j(t + tau) of
        channels i and j at the lags ``settings.lags`` (a wave going from i
        to j appears at positive lag): the stored row, or the time reverse
        of the stored (j, i).

        Raises
        ------
        ValueError
            When neither (i, j) nor (j, i) was correlated (a channel out of
            range, beyond `max_distance`, or not a virtual source).
        """
        nx = self.positions.size
        for name, k in (("i", i), ("j", j)):
            if isinstance(k, bool) or not isinstance(k, (numbers.Integral, np.integer)) \
                    or not 0 <= int(k) < nx:
                raise ValueError(f"pair: {name} = {k!r} is not a channel (0..{nx - 1})")
        i, j = int(i), int(j)
        if self.pairs is not None:
            row = self._pair_row(i, j)
            if row is not None:
                return self._stacked(row, power).copy()
            row = self._pair_row(j, i)
            if row is not None:
                return self._stacked(row, power)[::-1].copy()
            raise ValueError(f"pair ({i}, {j}) was not correlated (beyond max_distance?)")
        if i in self.sources:
            return self._stacked((self.sources.index(i), j), power).copy()
        if j in self.sources:
            return self._stacked((self.sources.index(j), i), power)[::-1].copy()
        raise ValueError(f"pair ({i}, {j}): neither channel is a virtual source of this stack")

    def _source_rows(self, corr: np.ndarray) -> list[tuple[int, np.ndarray, np.ndarray]]:
        """(source, channels, correlations (channels, 2 L + 1)) per virtual source."""
        if self.pairs is None:
            every = np.arange(self.positions.size)
            return [(src, every, corr[k]) for k, src in enumerate(self.sources)]
        i, j = self.pairs[:, 0], self.pairs[:, 1]
        out = []
        for src in self.sources:
            forward = np.flatnonzero(i == src)                  # C_src,j stored
            backward = np.flatnonzero((j == src) & (i != src))  # C_i,src stored: reversed
            channels = np.concatenate([j[forward], i[backward]])
            rows = np.concatenate([corr[forward], corr[backward][:, ::-1]])
            order = np.argsort(channels, kind="stable")
            out.append((src, channels[order], rows[order]))
        return out

    def gathers(self, *, fold: str = "both", power: float = 2.0) -> list[Gather]:
        """One virtual shot gather per virtual source (see :func:`virtual_gather`);
        for a stack of pairs, one per channel, holding the channels paired
        with it.

        Parameters
        ----------
        fold : {"both", "causal", "acausal"}
            Average the causal and time-reversed acausal parts, or keep one.
        power : float
            Exponent of the phase weight (phase-weighted stacking).

        Returns
        -------
        list of Gather
        """
        how = _checks.choice("fold", fold, FOLDS)
        corr = self.correlation(power)
        s = self.settings
        out = []
        for src, channels, rows in self._source_rows(corr):
            # the zero-lag autocorrelation of the source: none means a dead
            # channel, whose gather would be zeros
            own = rows[channels == src, s.max_lag]
            if own.size and not abs(own[0]) > 0:
                raise ValueError(f"virtual source channel {src} (at {self.positions[src]:g} m) "
                                 f"is dead: no signal in any of the {self.count} window(s); "
                                 f"choose another channel")
            headers = {**self.headers, "quantity": "correlation",
                       "record_quantity": self.headers.get("quantity", "unknown"),
                       "virtual_source": src, "windows": self.count,
                       "skipped_windows": self.skipped, "rejected_windows": self.rejected,
                       "reject": s.reject, "window_length": s.samples * s.dt,
                       "stacking": self.headers.get("stacking", s.stacking), "fold": how,
                       "span": tuple(float(v) for v in self.span)}
            if s.stacking == "pws":
                headers["power"] = float(power)
            if self.pairs is not None:
                headers["channels"] = channels
            out.append(Gather(_fold_lags(rows, how), dt=s.dt, delay=0.0,
                              source=np.array([float(self.positions[src])]),
                              receivers=self.positions[channels, None], headers=headers))
        return out


def fold(correlation: np.ndarray, how: str = "both") -> np.ndarray:
    """Fold correlations over the lags -L..L (last axis, 2 L + 1 samples)
    into lags 0..L: "causal" keeps lags >= 0, "acausal" the time-reversed
    lags <= 0, "both" their mean."""
    how = _checks.choice("fold", how, FOLDS)
    c = np.asarray(correlation)
    if c.shape[-1] % 2 != 1:
        raise ValueError(f"correlations over -L..L have an odd number of lags; got "
                         f"{c.shape[-1]}")
    lag = c.shape[-1] // 2
    causal = c[..., lag:]
    acausal = c[..., lag::-1]
    if how == "causal":
        return np.ascontiguousarray(causal)
    if how == "acausal":
        return np.ascontiguousarray(acausal)
    return 0.5 * (causal + acausal)


_fold_lags = fold


# --------------------------------------------------------------------------
# running over a record


def stack_windows(record: Record, starts: Sequence[tuple[int, int]], sources: Sequence[int],
                  s: CorrelationSettings, block: int = 4,
                  pairs: Optional[np.ndarray] = None,
                  out: Optional[CorrelationStack] = None) -> CorrelationStack:
    """The partial stack of the windows at `starts` of a record, read and
    correlated `block` windows at a time (the unit of work of workers);
    given `pairs` (P, 2), of those channel pairs. Given `out` (a stack of
    the same sources or pairs), the windows are added to it in place and it
    is returned."""
    src = np.asarray(sources, dtype=np.intp)
    if out is None:
        out = CorrelationStack.empty(s, src, record.positions, record.headers, pairs=pairs)
    stack = out
    pending: list[np.ndarray] = []
    times: list[float] = []
    dt = record.dt

    def flush() -> None:
        if pending:
            # the windows are read where they lie, and added to the sums in place
            stack.add_windows(pending, (min(times), max(times) + s.samples * dt))
            pending.clear()
            times.clear()

    def take(seg: int, i0: int, data: np.ndarray) -> None:
        if not np.isfinite(data).all():
            bad = ~np.isfinite(data)
            whole = bad.all(axis=1)
            part = bad.any(axis=1) & ~whole
            kind, channels = ("dropped", part) if part.any() else ("dead", whole)
            for ch in np.flatnonzero(channels).tolist():
                stack.nonfinite[kind][ch] = stack.nonfinite[kind].get(ch, 0) + 1
            if part.any():
                stack.skipped += 1
                return
            # a channel without a finite sample is left out, as a dead one is
            data = np.where(whole[:, None], 0.0, data)
        if s.reject is not None and transient(data, s.reject):
            stack.rejected += 1
            return
        pending.append(data)
        times.append(record.segments[seg].offset + i0 * dt)
        if len(pending) == block:
            flush()

    # float32 records stay float32: the kernel widens one row at a time. A
    # window is held by `pending` only (not by a name here), so that a
    # block's samples are let go before the next block is read.
    for seg, i0, data in iter_blocks(record, starts, s.samples, ahead=block, single=True):
        take(seg, i0, data)
        del data
    flush()
    return stack


def _runs(starts: Sequence[tuple[int, int]], parts: int) -> list[list[tuple[int, int]]]:
    parts = max(1, min(parts, len(starts)))
    edges = [round(k * len(starts) / parts) for k in range(parts + 1)]
    return [list(starts[a:b]) for a, b in zip(edges[:-1], edges[1:]) if b > a]


def run_stacks(record: Record, groups: dict[Hashable, Sequence[tuple[int, int]]],
               sources: Sequence[int], s: CorrelationSettings, *, block: int = 4,
               workers: Optional[int] = 1, client: Any = None,
               progress: Optional[bool] = None, label: str = "correlating",
               pairs: Optional[np.ndarray] = None) -> dict[Hashable, CorrelationStack]:
    """Partial stacks of groups of windows (e.g. time blocks), one per group.

    Work is split into runs of consecutive windows: on this thread, a thread
    pool (`workers`), a concurrent.futures executor or a dask.distributed
    client. Each run is read and stacked where it runs; with Dask the stacks
    of a group are combined on the workers, pairwise, and only each group's
    final stack comes back.
    """
    nwin = sum(len(v) for v in groups.values())
    if client is None:
        nworkers = _checks.workers(workers)
        parts = 4 * nworkers if nworkers > 1 else max(1, min(20, nwin // max(block, 1)))
    elif isinstance(client, Executor):
        parts = 4 * (getattr(client, "_max_workers", None) or os.cpu_count() or 1)
    else:
        if not all(hasattr(client, a) for a in ("scatter", "submit", "gather")):
            raise TypeError(f"client must be a dask.distributed Client or a "
                            f"concurrent.futures.Executor; got {type(client).__name__}")
        try:
            parts = 4 * max(1, int(sum(client.nthreads().values())))
        except Exception:
            parts = 4
    tasks: list[tuple[Hashable, list[tuple[int, int]]]] = []
    for key, starts in groups.items():
        share = max(1, round(parts * len(starts) / max(nwin, 1)))
        tasks += [(key, run) for run in _runs(list(starts), share)]
    show = bool(progress) if progress is not None else bool(
        getattr(sys.stderr, "isatty", lambda: False)())
    bar = Progress(len(tasks), label, enabled=show and len(tasks) > 0)
    # running totals: every partial stack is added as it arrives, so that
    # memory holds one stack per group (and those of the runs in flight)
    totals = {key: CorrelationStack.empty(s, sources, record.positions, record.headers,
                                          pairs=pairs)
              for key in groups}
    if not tasks:
        return totals
    if client is None and _checks.workers(workers) == 1:
        for key, run in tasks:
            # added to the running total in place: one stack in memory
            stack_windows(record, run, sources, s, block, pairs, out=totals[key])
            bar.step()
    elif client is None or isinstance(client, Executor):
        pool = client if client is not None else ThreadPoolExecutor(_checks.workers(workers))
        try:
            futures = {pool.submit(stack_windows, record, run, sources, s, block, pairs): key
                       for key, run in tasks}
            for fut in as_completed(futures):
                totals[futures.pop(fut)].merge(fut.result())
                bar.step()
        finally:
            if client is None:
                pool.shutdown()
    else:
        return _dask_stacks(client, record, tasks, sources, s, block, bar, totals, pairs)
    return totals


def _add(a: CorrelationStack, b: CorrelationStack) -> CorrelationStack:
    return a.combine(b)


def _dask_stacks(client: Any, record: Record, tasks: list[tuple[Hashable, list[tuple[int, int]]]],
                 sources: Sequence[int], s: CorrelationSettings, block: int, bar: Any,
                 empty: dict[Hashable, CorrelationStack],
                 pairs: Optional[np.ndarray] = None) -> dict[Hashable, CorrelationStack]:
    # the record travels once (for an in-memory gather it holds the samples)
    remote = client.scatter(record, broadcast=False, hash=False)
    futures: dict[Hashable, list[Any]] = {key: [] for key in empty}
    every = []
    for key, run in tasks:
        fut = client.submit(stack_windows, remote, run, list(sources), s, block, pairs,
                            pure=False)
        futures[key].append(fut)
        every.append(fut)
    finals = {}
    for key, level in futures.items():
        # a tree of pairwise sums, run where the stacks are
        level = list(level)
        while len(level) > 1:
            nxt = [client.submit(_add, a, b, pure=False) for a, b in zip(level[::2], level[1::2])]
            if len(level) % 2:
                nxt.append(level[-1])
            level = nxt
        if level:
            finals[key] = level[0]
    try:
        from distributed import as_completed as dask_completed
        for _ in dask_completed(every):
            bar.step()
    except ImportError:
        pass
    keys = list(finals)
    values = client.gather([finals[k] for k in keys])
    for key, value in zip(keys, values):
        empty[key].merge(value)
    return empty


# --------------------------------------------------------------------------
# runs that resume
#
# Runs that resume: the partial stack of every block of windows written to
# its own file in an output folder as soon as the block is done
# (:meth:`molvak.CorrelationStack.save`), and blocks whose file is already
# there read back instead of computed, so that a run interrupted after k of n
# blocks computes only the n - k others when it is started again, and gives
# the same stacks bit for bit.
#
# A block is computed on its own (its windows split among the workers as if
# it were the only block), so its stack does not depend on the other blocks,
# nor on whether they were computed in the same run. A file that does not fit
# the run (other correlation settings, channels, sources, or another number of
# windows in the block) is an error naming it: it is never silently reused
# nor replaced.


def time_blocks(plan: Windows, span: float) -> dict[int, list[tuple[int, int]]]:
    """The windows of a plan grouped in blocks of `span` seconds, aligned on
    whole multiples of `span` in absolute time when the record has an
    absolute start (UTC hours, days), on its first sample otherwise; a
    window belongs to the block in which it starts. Keys: block indices on
    that grid (block b starts at b span - :func:`block_shift` s)."""
    shift = block_shift(plan.record, span)
    groups: dict[int, list[tuple[int, int]]] = {}
    for k, start_pair in enumerate(plan.starts):
        b = int(math.floor((plan.time(k) + shift) / span + 1e-9))
        groups.setdefault(b, []).append(start_pair)
    return groups


def block_shift(record: Record, span: float) -> float:
    """Seconds from the block grid's origin to the record's first sample."""
    first = record.segments[0]
    return 0.0 if first.start is None else math.fmod(first.start * 1e-9, span)


def _fits(stack: CorrelationStack, s: CorrelationSettings, sources: Sequence[int],
          positions: np.ndarray, pairs: Optional[np.ndarray], windows: int) -> Optional[str]:
    if stack.settings != s:
        return "other correlation settings"
    if stack.sources != tuple(int(k) for k in sources):
        return "other virtual sources"
    if stack.positions.shape != positions.shape or not np.array_equal(stack.positions,
                                                                      positions):
        return "other channels"
    if (stack.pairs is None) != (pairs is None) or (
            stack.pairs is not None and pairs is not None
            and not np.array_equal(stack.pairs, pairs)):
        return "other channel pairs"
    if stack.count + stack.skipped + stack.rejected != windows:
        return (f"{stack.count + stack.skipped + stack.rejected} windows where this run's block has "
                f"{windows}")
    return None


def folder_stacks(record: Record, groups: dict[Hashable, Sequence[tuple[int, int]]],
                  sources: Sequence[int], s: CorrelationSettings,
                  folder: Union[str, os.PathLike[str]], name: Callable[[Hashable], str], *,
                  pairs: Optional[np.ndarray] = None, block: int = 4,
                  workers: Optional[int] = 1, client: Any = None,
                  progress: Optional[bool] = None, label: str = "correlating blocks",
                  done: Optional[Callable[[Hashable, Path], None]] = None
                  ) -> tuple[dict[Hashable, CorrelationStack], int, int]:
    """The partial stack of every group of windows, each read from
    ``folder / name(key)`` when there, else computed and written there as
    soon as it is done (then ``done(key, path)`` is called).

    Returns
    -------
    (stacks, computed, reused)
        The stacks by key, and how many blocks were computed and read.
    """
    root = Path(folder)
    root.mkdir(parents=True, exist_ok=True)
    stacks: dict[Hashable, CorrelationStack] = {}
    pending = []
    for key, starts in groups.items():
        path = root / name(key)
        if path.exists():
            stack = CorrelationStack.load(path)
            why = _fits(stack, s, sources, record.positions, pairs, len(starts))
            if why:
                raise ValueError(f"{path}: a stack of {why}, from another run; move it away "
                                 f"or give another output folder")
            stacks[key] = stack
        else:
            pending.append(key)
    reused = len(stacks)
    show = bool(progress) if progress is not None else bool(
        getattr(sys.stderr, "isatty", lambda: False)())
    bar = Progress(len(pending), label, enabled=show and bool(pending))
    for key in pending:
        stack = run_stacks(record, {key: groups[key]}, sources, s, block=block, workers=workers,
                           client=client, progress=False, pairs=pairs)[key]
        path = root / name(key)
        stack.save(path)
        stacks[key] = stack
        if done is not None:
            done(key, path)
        bar.step(name(key))
    return stacks, len(pending), reused


def source_list(source: Any, count: int) -> tuple[list[int], bool]:
    """Virtual-source indices, and whether one was given (not a list)."""
    single = isinstance(source, (numbers.Integral, np.integer)) and not isinstance(source, bool)
    if not single and (isinstance(source, (str, bytes, numbers.Number))
                       or not hasattr(source, "__iter__")):
        raise TypeError(f"source must be a channel index or a list of them; got {source!r}")
    items = [source] if single else list(source)
    if not items:
        raise ValueError("source must name at least one channel")
    out = []
    for item in items:
        if isinstance(item, bool) or not isinstance(item, (numbers.Integral, np.integer)):
            raise TypeError(f"source must be a channel index or a list of them; got {item!r}")
        k = int(item)
        if not -count <= k < count:
            raise ValueError(f"source channel {k} does not exist: the record has {count} "
                             f"channels (0..{count - 1})")
        out.append(k % count)
    return out, single


def channel_pairs(positions: np.ndarray, max_distance: Optional[float] = None) -> np.ndarray:
    """Every unique pair (i, j), i <= j (autocorrelations included), of
    channels at most `max_distance` metres apart (all when None), in order
    of i then j: an array (P, 2) of int."""
    x = np.asarray(positions, dtype=np.float64)
    i, j = np.triu_indices(x.size)
    if max_distance is not None:
        limit = float(max_distance)
        if not (math.isfinite(limit) and limit >= 0):
            raise ValueError(f"max_distance must be a non-negative distance (m); got "
                             f"{max_distance!r}")
        keep = np.abs(x[j] - x[i]) <= limit
        i, j = i[keep], j[keep]
    return np.ascontiguousarray(np.stack([i, j], axis=1), dtype=np.intp)


def pair_block(channels: int, s: CorrelationSettings) -> int:
    """Windows per block for all pairs: 16, or fewer (at least 4) when the
    spectra of the block's windows of every channel (16 bytes per bin)
    would pass 128 MiB."""
    per_window = max(1, channels) * s.bins * 16
    return int(min(16, max(4, (128 << 20) // per_window)))


def correlate(records: Records, source: Union[int, Sequence[int], str], length: float, *,
              step: Optional[float] = None, max_lag: Optional[float] = None,
              channels: Optional[ArrayLike] = None, whiten: Any = True,
              whiten_width: float = 0.0, normalization: str = "none",
              ram_window: Optional[float] = None, taper: float = 0.05,
              stacking: str = "linear", start: Any = None, stop: Any = None,
              workers: Optional[int] = 1, client: Any = None, block: Optional[int] = None,
              tolerance: float = 0.1, progress: Optional[bool] = None,
              max_distance: Optional[float] = None,
              out: Optional[Union[str, os.PathLike[str]]] = None, partial: float = 3600.0,
              reject: Any = None, **positions: Any) -> CorrelationStack:
    """The stack of correlations of a record with its virtual sources, before
    folding: a :class:`CorrelationStack`, which combines with the stacks of
    other records or time ranges by ``+``; ``.gathers()`` gives the virtual
    shot gathers and ``.pair(i, j)`` one pair's correlation. Arguments as
    for :func:`virtual_gather`.

    Parameters
    ----------
    records : Gather, path, list of paths or folder
        The record, as for :func:`windows`.
    source : int, list of int, or "all"
        The virtual-source channel(s), indices among the channels used.
        "all" correlates every unique pair of channels once (i <= j, the
        autocorrelations included; (j, i) is the time reverse of (i, j)),
        the cross-spectra formed tile by tile over blocks of channels in
        the native kernel: about half the work of all channels as virtual
        sources, and memory of the stored pairs' correlations.
    length : float
        Correlation window (s).
    step, max_lag, channels, whiten, whiten_width, normalization, ram_window, taper
        As for :func:`virtual_gather`.
    stacking, start, stop, workers, client, tolerance, progress, **positions
        As for :func:`virtual_gather`.
    max_distance : float, optional
        With "all": only pairs at most this far apart (m).
    block : int, optional
        Windows read and correlated together: 4 by default for virtual
        sources; for "all", up to 16, fewer when the spectra of that many
        windows of every channel would pass 128 MiB (:func:`pair_block`):
        each pair's cross-spectra are summed over the block and transformed
        once, so longer blocks spend less on inverse transforms.
    out : path, optional
        A folder for partial stacks: the windows are stacked in blocks of
        `partial` seconds (aligned as :func:`molvak.timelapse` aligns its
        blocks), each written to ``partial_<index>_<length>s.h5`` as soon as
        it is done (:meth:`CorrelationStack.save`; needs h5py), and blocks
        whose file is there are read instead of correlated: an interrupted
        run resumes where it stopped. The result is their sum.
    partial : float
        Seconds per partial stack with `out` (an hour by default).

    Returns
    -------
    CorrelationStack
        The sums over the windows (of the correlations, and of the phasors
        for a phase-weighted stack) and their count."""
    record = open_record(records, channels=channels, tolerance=tolerance, **positions)
    s = settings(length, record.dt, max_lag=max_lag, taper=taper, whiten=whiten,
                 whiten_width=whiten_width, normalization=normalization,
                 ram_window=ram_window, stacking=stacking, reject=reject)
    sources, pairs = sources_and_pairs(source, record.positions, max_distance)
    if block is None:
        block = 4 if pairs is None else pair_block(record.positions.size, s)
    if isinstance(block, bool) or not isinstance(block, (numbers.Integral, np.integer)) \
            or block < 1:
        raise ValueError(f"block must be a positive number of windows; got {block!r}")
    plan = Windows(record, s.samples * s.dt, step, start, stop)
    if not len(plan):
        raise ValueError(f"the record holds no window of {s.samples * s.dt:g} s "
                         f"({record.duration:g} s in {len(record.segments)} stretch(es))")
    if out is None:
        stacks = run_stacks(record, {0: plan.starts}, sources, s, block=int(block),
                            workers=workers, client=client, progress=progress, pairs=pairs)
        warn_nonfinite([stacks[0]])
        return stacks[0]
    span = _checks.positive_float("partial", partial)
    found, _, _ = folder_stacks(record, dict(time_blocks(plan, span)), sources, s, out,
                                lambda b: f"partial_{b}_{span:g}s.h5", pairs=pairs,
                                block=int(block), workers=workers, client=client,
                                progress=progress, label="correlating partial stacks")
    parts = [found[k] for k in sorted(found, key=int)]
    total = parts[0]
    for part in parts[1:]:
        total = total + part
    warn_nonfinite([total])
    return total


def sources_and_pairs(source: Any, positions: np.ndarray, max_distance: Optional[float],
                      ) -> tuple[list[int], Optional[np.ndarray]]:
    """The virtual sources a `source` argument names (a channel index or a
    list of them) and, for "all", every channel with the pairs of channels
    to correlate (at most `max_distance` apart, when given)."""
    if isinstance(source, str):
        if source != "all":
            raise ValueError(f"source must be a channel index, a list of them or 'all'; got "
                             f"{source!r}")
        return list(range(positions.size)), channel_pairs(positions, max_distance)
    if max_distance is not None:
        raise TypeError("max_distance selects pairs of source='all'")
    sources, _ = source_list(source, positions.size)
    return list(sources), None


def warn_nonfinite(stacks: Sequence[CorrelationStack]) -> None:
    """One RecordWarning naming the channels that held non-finite samples:
    left out of the windows where they held nothing finite, or dropping the
    windows where they held some."""
    if not stacks:
        return
    counts: dict[str, dict[int, int]] = {"dead": {}, "dropped": {}}
    for stack in stacks:
        _add_nonfinite(counts, stack.nonfinite)
    x = stacks[0].positions
    skipped = sum(stack.skipped for stack in stacks)
    parts = []
    for kind, what in (("dead", f"held no finite sample in up to "
                                f"{max(counts['dead'].values(), default=0)} window(s): left "
                                f"out of those"),
                       ("dropped", f"held non-finite samples: {skipped} window(s) dropped")):
        channels = counts[kind]
        if channels:
            shown = ", ".join(f"{ch} ({x[ch]:g} m)" for ch in sorted(channels)[:8])
            more = f" and {len(channels) - 8} more" if len(channels) > 8 else ""
            parts.append(f"channel(s) {shown}{more} {what}")
    if parts:
        warnings.warn("; ".join(parts), RecordWarning, stacklevel=3)


def virtual_gather(records: Records, source: Union[int, Sequence[int]], length: float, *,
                   step: Optional[float] = None, max_lag: Optional[float] = None,
                   channels: Optional[ArrayLike] = None, whiten: Any = True,
                   whiten_width: float = 0.0, normalization: str = "none",
                   ram_window: Optional[float] = None, taper: float = 0.05,
                   stacking: str = "linear", power: float = 2.0, fold: str = "both",
                   start: Any = None, stop: Any = None, workers: Optional[int] = 1,
                   client: Any = None, block: int = 4, tolerance: float = 0.1,
                   progress: Optional[bool] = None, reject: Any = None,
                   **positions: Any) -> Union[Gather, list[Gather]]:
    """Virtual shot gathers of a continuous record by cross-correlation.

    Parameters
    ----------
    records : Gather, path, folder or list of paths
        The continuous record: a :class:`~molvak.Gather` with no source (its
        offsets are the channel positions along the line), a DAS file, a
        folder of them or a list (see :func:`molvak.windows`).
    source : int or list of int
        The virtual-source channel(s): indices among the channels used
        (after `channels`). Several are correlated in one pass.
    length : float
        Correlation window (s).
    step : float, optional
        Time between window starts (s); `length` by default.
    max_lag : float, optional
        Longest lag kept (s); half the window by default.
    channels : optional
        The channels to use (indices, mask or slice of the record's).
    whiten : bool or (fmin, fmax) or (f1, f2, f3, f4)
        Spectral whitening: True over all frequencies, a band (Hz), or
        corner frequencies with sin^2 ramps between f1-f2 and f3-f4; False
        for none.
    whiten_width : float
        Width (Hz) of the running mean of the amplitude the spectra are
        divided by; 0 (default) divides by the amplitude itself.
    normalization : {"none", "onebit", "ram"}
        Time-domain normalisation of every window before the taper.
    ram_window : float, optional
        Window of the running absolute mean (s); by default half the longest
        period of the whitening band (1 s for a band open at 0 Hz).
    taper : float
        Fraction of the window tapered at each end (half Hann).
    stacking : {"linear", "pws"}
        Linear (the mean) or phase-weighted stacking.
    power : float
        Exponent nu of the phase weight ``|mean phasor|^nu`` (PWS; 2 by default).
    fold : {"both", "causal", "acausal"}
        Which parts of the correlation make the gather: the mean of the
        causal part and the time-reversed acausal one, or one of them.
    start, stop : seconds or ISO times, optional
        Only the windows within this time range.
    workers : int or None
        Threads on this machine (None: one per CPU).
    client : dask.distributed.Client or concurrent.futures.Executor, optional
        Where to run: runs of windows are read and stacked by the workers,
        and their partial stacks combined there. A record in memory travels
        to a Dask cluster once; a process-pool executor would get it with
        every run, so give it files.
    block : int
        Windows read and correlated together.
    progress : bool, optional
        Show progress on stderr (by default when it is a terminal).
    reject : True, float or None
        Leave out transient windows: those where some channel has a sample
        farther from its mean than `reject` standard deviations of that
        channel in that window (True: 10). Counted in the headers
        ("rejected_windows"). None (default) keeps every window.
    **positions
        receivers=, spacing=, first_receiver= for records without channel
        positions.

    Returns
    -------
    Gather or list of Gather
        One per virtual source (a list when `source` is a list): the folded
        stacked correlation at lags 0..max_lag (delay 0), the source at the
        virtual source's position and the channels as receivers, so the
        offsets are the distances from the virtual source. Headers hold the
        record's (quantity, gauge length, start time) and the processing
        (windows stacked and skipped, stacking, fold).
    """
    single = isinstance(source, (numbers.Integral, np.integer)) and not isinstance(source, bool)
    stack = correlate(records, source, length, step=step, max_lag=max_lag, channels=channels,
                      whiten=whiten, whiten_width=whiten_width, normalization=normalization,
                      ram_window=ram_window, taper=taper, stacking=stacking, start=start,
                      stop=stop, workers=workers, client=client, block=block,
                      tolerance=tolerance, progress=progress, reject=reject, **positions)
    gathers = stack.gathers(fold=fold, power=power)
    return gathers[0] if single else gathers
