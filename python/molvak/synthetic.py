"""Synthetic gathers with known dispersion curves.

The wavefield is one surface-wave mode, or several, built in the frequency
domain: the trace at offset x has the spectrum

    A(f) sum_m w_m(f) exp(-2 pi i f (x / c_m(f) + t_delay)) / sqrt(x),

A(f) = (f / fp)^2 exp(1 - (f / fp)^2) the amplitude spectrum of a Ricker
wavelet of peak frequency fp, c_m(f) the phase velocity of mode m and
w_m(f) its share of the energy (1 for a single mode), 1 / sqrt(x) the
geometric spreading of a surface wave; Gaussian white noise is added in the
time domain. The phase is that of a plane wave (the far field of a point
source), which is what the phase-shift, slant-stack and plane-steered
beamforming estimators assume, so their picks should land on c(f).
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, Optional, Sequence, Tuple

import numpy as np

from .image import array_limits

Curve = Callable[[np.ndarray], np.ndarray]


@dataclass(frozen=True)
class ExponentialCurve:
    """A normally dispersive phase velocity, falling from `low` (at 0 Hz)
    towards `high` (at high frequency): c(f) = high + (low - high) exp(-f / scale).
    """

    low: float = 500.0
    high: float = 120.0
    scale: float = 20.0

    def __call__(self, f: np.ndarray) -> np.ndarray:
        f = np.asarray(f, dtype=np.float64)
        return self.high + (self.low - self.high) * np.exp(-f / self.scale)

    def __str__(self) -> str:
        return (f"c(f) = {self.high:g} + {self.low - self.high:g} exp(-f / {self.scale:g} Hz) m/s")


def ricker_amplitude(f: np.ndarray, f_peak: float) -> np.ndarray:
    """Amplitude spectrum of a Ricker wavelet, 1 at its peak frequency."""
    u = np.square(np.asarray(f, dtype=np.float64) / f_peak)
    return u * np.exp(1.0 - u)


@dataclass(frozen=True, eq=False)
class SyntheticGather:
    """A gather and the dispersion curve it was made with.

    Attributes
    ----------
    data : ndarray, shape (NX, NT)
    offsets : ndarray, shape (NX,)
        Offsets (m).
    dt : float
        Sample interval (s).
    velocity : callable
        The true phase velocity c(f) (m/s).
    f_peak : float
        Peak frequency of the source wavelet (Hz).
    noise : float
        Standard deviation of the added noise relative to the largest sample.
    modes : tuple of (velocity, weight)
        For a gather of several modes: each mode's phase velocity c_m(f) and
        amplitude weight w_m(f), mode 0 (the slowest) first; `velocity` is
        mode 0's. Empty for a single mode.
    """

    data: np.ndarray
    offsets: np.ndarray
    dt: float
    velocity: Curve
    f_peak: float
    noise: float
    modes: Tuple[Tuple[Curve, Curve], ...] = ()

    @property
    def time(self) -> np.ndarray:
        return np.arange(self.data.shape[1]) * self.dt

    def true_velocity(self, f: np.ndarray) -> np.ndarray:
        return np.asarray(self.velocity(np.asarray(f, dtype=np.float64)), dtype=np.float64)

    def source_band(self, level: float = 0.1) -> Tuple[float, float]:
        """The frequencies where the source amplitude is at least `level`
        times its peak (Hz), up to the Nyquist frequency."""
        if not 0.0 < level < 1.0:
            raise ValueError(f"level must lie between 0 and 1; got {level!r}")

        def solve(lo: float, hi: float) -> float:
            # u exp(1 - u) rises on (0, 1) and falls beyond: bisect on u
            rising = lo < 1.0
            for _ in range(200):
                mid = 0.5 * (lo + hi)
                above = mid * np.exp(1.0 - mid) >= level
                if above == rising:
                    hi = mid
                else:
                    lo = mid
            return 0.5 * (lo + hi)

        low = self.f_peak * np.sqrt(solve(0.0, 1.0))
        high = self.f_peak * np.sqrt(solve(1.0, 1e3))
        return float(low), float(min(high, 0.5 / self.dt))

    def limits(self) -> Tuple[float, float]:
        """The classical resolved band, two receiver spacings to half the
        aperture (:func:`molvak.array_limits` with ``shortest=2,
        longest=0.5``), over which the picks of these gathers lie within 1 %
        of the true curve. It is stricter than the defaults calibrated on
        field records, which trade a little accuracy for a wider band."""
        return array_limits(self.offsets, shortest=2.0, longest=0.5)

    def resolved(self, f: np.ndarray, level: float = 0.1) -> np.ndarray:
        """Where the array resolves the mode: a boolean mask over `f`.

        True where the source carries energy (:meth:`source_band`) and the
        mode's wavelength c(f) / f lies within :meth:`limits`.
        """
        f = np.asarray(f, dtype=np.float64)
        lo, hi = self.source_band(level)
        lmin, lmax = self.limits()
        with np.errstate(divide="ignore"):
            wavelength = self.true_velocity(f) / f
        inside: np.ndarray = (f >= lo) & (f <= hi) & (wavelength >= lmin) & (wavelength <= lmax)
        return inside

    def resolved_band(self, level: float = 0.1) -> Tuple[float, float]:
        """The lowest and highest resolved frequency (Hz) (see :meth:`resolved`)."""
        f = np.linspace(0.0, 0.5 / self.dt, 200001)[1:]
        ok = f[self.resolved(f, level)]
        if ok.size == 0:
            raise ValueError("the array resolves no frequency of this gather")
        return float(ok[0]), float(ok[-1])


def make_gather(offsets: np.ndarray, dt: float, nt: int, velocity: Curve, f_peak: float, *,
                delay: float = 0.2, noise: float = 0.02, seed: Optional[int] = 0,
                ) -> SyntheticGather:
    """A gather carrying one mode of phase velocity `velocity(f)`.

    Parameters
    ----------
    offsets : array_like
        Positive offsets (m).
    dt : float
        Sample interval (s).
    nt : int
        Samples per trace. The record must outlast the slowest arrival
        (largest offset over the smallest group velocity, plus `delay`), or
        the late energy wraps around to the start.
    velocity : callable
        Phase velocity c(f) (m/s), called with an array of frequencies.
    f_peak : float
        Peak frequency of the Ricker source (Hz).
    delay : float
        Source delay (s). The record must start well before the wavelet, or
        its low-frequency precursor wraps around to the end of the record
        (the gather is built periodic, through an inverse FFT); estimators
        working in the time domain, like the slant stack, then see a cut
        wavelet and pick low frequencies a few percent off.
    noise : float
        Standard deviation of the Gaussian noise, relative to the largest
        absolute sample of the noise-free gather.
    seed : int or None
        Seed of the noise generator.
    """
    x = np.asarray(offsets, dtype=np.float64)
    if x.ndim != 1 or (x <= 0).any():
        raise ValueError("offsets must be a 1-D array of positive values")
    f = np.fft.rfftfreq(nt, dt)
    amplitude = ricker_amplitude(f, f_peak)
    c = np.asarray(velocity(np.maximum(f, 1e-6)), dtype=np.float64)
    phase = -2j * np.pi * f[None, :] * (x[:, None] / c[None, :] + delay)
    spectra = amplitude[None, :] * np.exp(phase) / np.sqrt(x)[:, None]
    data = np.fft.irfft(spectra, n=nt, axis=1)
    if noise > 0:
        rng = np.random.default_rng(seed)
        data += noise * np.abs(data).max() * rng.standard_normal(data.shape)
    return SyntheticGather(np.ascontiguousarray(data), x, float(dt), velocity, float(f_peak),
                           float(noise))


@dataclass(frozen=True)
class Transition:
    """A smooth step in frequency: w(f) = 1 / (1 + exp(-(f - f0) / width))
    rising from 0 to 1 through f0, or falling from 1 to 0 with
    ``rising=False``; the product of a rising and a falling one is a band."""

    f0: float
    width: float
    rising: bool = True

    def __call__(self, f: np.ndarray) -> np.ndarray:
        u = (np.asarray(f, dtype=np.float64) - self.f0) / self.width
        return 1.0 / (1.0 + np.exp(-u if self.rising else u))


@dataclass(frozen=True)
class Band:
    """w(f) = 1 between two transitions: rises through `low`, falls through
    `high` (None for no limit on that side), each `width` wide."""

    low: Optional[float]
    high: Optional[float]
    width: float = 2.0

    def __call__(self, f: np.ndarray) -> np.ndarray:
        w = np.ones_like(np.asarray(f, dtype=np.float64))
        if self.low is not None:
            w = w * Transition(self.low, self.width)(f)
        if self.high is not None:
            w = w * Transition(self.high, self.width, rising=False)(f)
        return w


def make_multimode_gather(offsets: np.ndarray, dt: float, nt: int,
                          modes: Sequence[Tuple[Curve, Curve]], f_peak: float, *,
                          delay: float = 0.2, noise: float = 0.02, seed: Optional[int] = 0,
                          ) -> SyntheticGather:
    """A gather carrying several modes, each with its own share of the
    energy at each frequency.

    Parameters
    ----------
    modes : sequence of (velocity, weight)
        Per mode, slowest first: the phase velocity c_m(f) (m/s) and the
        amplitude weight w_m(f) >= 0, both called with an array of
        frequencies (:class:`Band` and :class:`Transition` make weights that
        hand the energy from one mode to the next).

    The other parameters are those of :func:`make_gather`.
    """
    modes = tuple((c, w) for c, w in modes)
    if not modes:
        raise ValueError("modes must hold at least one (velocity, weight) pair")
    x = np.asarray(offsets, dtype=np.float64)
    if x.ndim != 1 or (x <= 0).any():
        raise ValueError("offsets must be a 1-D array of positive values")
    f = np.fft.rfftfreq(nt, dt)
    fs = np.maximum(f, 1e-6)
    amplitude = ricker_amplitude(f, f_peak)
    spectra = np.zeros((x.size, f.size), dtype=np.complex128)
    for velocity, weight in modes:
        c = np.asarray(velocity(fs), dtype=np.float64)
        w = np.asarray(weight(fs), dtype=np.float64)
        phase = -2j * np.pi * f[None, :] * (x[:, None] / c[None, :] + delay)
        spectra += (amplitude * w)[None, :] * np.exp(phase)
    spectra /= np.sqrt(x)[:, None]
    data = np.fft.irfft(spectra, n=nt, axis=1)
    if noise > 0:
        rng = np.random.default_rng(seed)
        data += noise * np.abs(data).max() * rng.standard_normal(data.shape)
    return SyntheticGather(np.ascontiguousarray(data), x, float(dt), modes[0][0],
                           float(f_peak), float(noise), modes)


def multimode_gather(seed: Optional[int] = 0, noise: float = 0.01) -> SyntheticGather:
    """A record whose energy moves up the modes with frequency: three
    normally dispersive modes (c_m(f) = high + (low - high) exp(-f / scale)
    with (low, high, scale) = (400, 150, 12), (600, 230, 20), (800, 320, 25)
    m/s, m/s, Hz); mode 0 carries the energy below about 30 Hz, mode 1 from
    25 to 50 Hz, mode 2 above 45 Hz, each handing over to the next through a
    band where both are seen. 48 geophones every 1 m from 5 m, 1 s at
    0.5 ms, a 35 Hz Ricker source, 1 % noise."""
    offsets = 5.0 + np.arange(48, dtype=np.float64)
    modes = ((ExponentialCurve(400.0, 150.0, 12.0), Band(None, 30.0)),
             (ExponentialCurve(600.0, 230.0, 20.0), Band(25.0, 50.0)),
             (ExponentialCurve(800.0, 320.0, 25.0), Band(45.0, None)))
    return make_multimode_gather(offsets, 0.5e-3, 2000, modes, 35.0, noise=noise, seed=seed)


def default_gather(seed: Optional[int] = 0, noise: float = 0.01) -> SyntheticGather:
    """The demonstration record: a 48-channel MASW shot.

    Geophones every 1 m from 5 m to 52 m offset, 1 s at 0.5 ms, a 30 Hz
    Ricker source delayed by 0.2 s and the mode
    c(f) = 120 + 380 exp(-f / 20 Hz) m/s, with 1 % noise.
    """
    offsets = 5.0 + np.arange(48, dtype=np.float64)
    return make_gather(offsets, 0.5e-3, 2000, ExponentialCurve(), 30.0, noise=noise, seed=seed)
