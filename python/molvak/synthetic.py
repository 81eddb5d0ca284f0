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

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Callable, Optional, Union

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


def ricker_amplitude(f: np.ndarray, f_peak: Union[float, np.ndarray]) -> np.ndarray:
    """Amplitude spectrum of a Ricker wavelet, 1 at its peak frequency.

    Parameters
    ----------
    f : ndarray
        Frequencies (Hz).
    f_peak : float or ndarray
        Peak frequency (Hz).

    Returns
    -------
    ndarray
        (f / f_peak)^2 exp(1 - (f / f_peak)^2), broadcast over both.
    """
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
    modes: tuple[tuple[Curve, Curve], ...] = ()

    @property
    def time(self) -> np.ndarray:
        """Times of the samples (s), from 0."""
        return np.arange(self.data.shape[1]) * self.dt

    def true_velocity(self, f: np.ndarray) -> np.ndarray:
        """The prescribed phase velocity (m/s) at frequencies `f` (Hz)."""
        return np.asarray(self.velocity(np.asarray(f, dtype=np.float64)), dtype=np.float64)

    def source_band(self, level: float = 0.1) -> tuple[float, float]:
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

    def limits(self) -> tuple[float, float]:
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

    def resolved_band(self, level: float = 0.1) -> tuple[float, float]:
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
                          modes: Sequence[tuple[Curve, Curve]], f_peak: float, *,
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
    0.5 ms, a 35 Hz Ricker source, 1 % noise.

    Parameters
    ----------
    seed : int or None
        Seed of the noise (None: a fresh random state).
    noise : float
        Standard deviation of the noise relative to the largest sample.

    Returns
    -------
    SyntheticGather
    """
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

    Parameters
    ----------
    seed : int or None
        Seed of the noise (None: a fresh random state).
    noise : float
        Standard deviation of the noise relative to the largest sample.

    Returns
    -------
    SyntheticGather
    """
    offsets = 5.0 + np.arange(48, dtype=np.float64)
    return make_gather(offsets, 0.5e-3, 2000, ExponentialCurve(), 30.0, noise=noise, seed=seed)


# --------------------------------------------------------------------------
# Ambient noise along a fibre: the passive DAS record
#
# Noise sources (traffic, machines, the sea) stand at random distances beyond
# both ends of a straight line of channels, on the line's axis, and fire
# random wavelets at random times. Each wavelet travels as one surface-wave
# mode of phase velocity c(f): at a channel a distance d from the source its
# spectrum is W(f) exp(-i k(f) d) / sqrt(d), k = 2 pi f / c(f), the far field
# of a point source with the geometric spreading of a surface wave. Sources on
# the axis make every channel see the wave travel along the line at c(f), so
# cross-correlating channels gives virtual shot gathers whose dispersion is
# c(f) itself (waves from sources off the axis would cross the line at an
# apparent velocity above c(f)).
#
# The record is made in blocks of emission time and overlap-added: a block's
# wavefield is built in the frequency domain on an FFT long enough to hold
# its slowest arrival (largest distance over the smallest group velocity),
# so nothing wraps around. For sources on the axis the phase and the decay
# factor into a channel part and a source part,
#     exp(-i k (x_j + a_s)) / sqrt(x_j + a_s) = exp(-i k x_j) * [1 / sqrt(x_j + a_s)] * exp(-i k a_s),
# and the whole block is one matrix product per side (channels x sources x
# frequencies) instead of a sum over sources and channels.

import math as _math  # noqa: E402
import os as _os  # noqa: E402
import sys
from collections.abc import Iterator as _Iterator
from typing import TYPE_CHECKING, Any  # noqa: E402

from ._progress import Progress
from .gather import Gather
from .interferometry import fast_length
from .io import write_dasdae

if TYPE_CHECKING:
    from .gather import Gather

QUANTITIES = ("strain_rate", "velocity")


@dataclass(frozen=True)
class AmbientNoiseSettings:
    """What an ambient-noise record is made of (see :func:`ambient_noise`)."""

    duration: float = 600.0
    channels: int = 200
    spacing: float = 2.0
    dt: float = 0.004
    velocity: Curve = ExponentialCurve()
    sources: int = 20
    distance: tuple[float, float] = (20.0, 400.0)
    rate: float = 10.0
    peak_frequency: tuple[float, float] = (4.0, 40.0)
    noise: float = 0.1
    quantity: str = "strain_rate"
    gauge_length: Optional[float] = None
    sides: str = "both"
    drift: Optional[Callable[[float], float]] = None
    change: Optional[Callable[[float], float]] = None
    start_time: str = "2024-01-01T00:00:00"
    block: float = 30.0
    seed: Optional[int] = 0

    def __post_init__(self) -> None:
        def positive(name: str, value: float) -> None:
            if not (isinstance(value, (int, float, np.integer, np.floating))
                    and _math.isfinite(float(value)) and float(value) > 0):
                raise ValueError(f"{name} must be a positive number; got {value!r}")
        for name in ("duration", "spacing", "dt", "rate", "block"):
            positive(name, getattr(self, name))
        if isinstance(self.channels, bool) or not isinstance(self.channels, (int, np.integer)) \
                or self.channels < 2:
            raise ValueError(f"channels must be an integer of at least 2; got {self.channels!r}")
        if isinstance(self.sources, bool) or not isinstance(self.sources, (int, np.integer)) \
                or self.sources < 1:
            raise ValueError(f"sources must be a positive integer; got {self.sources!r}")
        near, far = (float(v) for v in self.distance)
        if not (0.0 < near <= far and _math.isfinite(far)):
            raise ValueError(f"distance must be (near, far) with 0 < near <= far metres "
                             f"beyond the ends of the line; got {self.distance!r}")
        lo, hi = (float(v) for v in self.peak_frequency)
        if not (0.0 < lo <= hi < 0.5 / self.dt):
            raise ValueError(f"peak_frequency must be (low, high) with 0 < low <= high below "
                             f"the Nyquist frequency {0.5 / self.dt:g} Hz; got "
                             f"{self.peak_frequency!r}")
        if not (_math.isfinite(float(self.noise)) and float(self.noise) >= 0):
            raise ValueError(f"noise must be a non-negative number; got {self.noise!r}")
        if self.quantity not in QUANTITIES:
            raise ValueError(f"quantity must be one of {', '.join(map(repr, QUANTITIES))}; "
                             f"got {self.quantity!r}")
        if self.gauge_length is not None:
            positive("gauge_length", self.gauge_length)
        if self.sides not in ("both", "first", "last"):
            raise ValueError(f"sides must be 'both', 'first' or 'last'; got {self.sides!r}")
        np.datetime64(self.start_time, "ns")    # refuses a malformed time

    @property
    def samples(self) -> int:
        """Samples per channel: round(duration / dt)."""
        return int(round(self.duration / self.dt))

    @property
    def positions(self) -> np.ndarray:
        """Channel positions along the line (m), from 0."""
        return self.spacing * np.arange(self.channels, dtype=np.float64)

    def true_velocity(self, f: np.ndarray, t: float = 0.0) -> np.ndarray:
        """The phase velocity (m/s) at frequencies f, at time t (s) of the
        record: d u c(f / u), d the `drift` and u the uniform `change` at t."""
        scale = 1.0 if self.drift is None else float(self.drift(float(t)))
        ground = 1.0 if self.change is None else float(self.change(float(t)))
        f = np.maximum(np.asarray(f, dtype=np.float64), 1e-6)
        return scale * ground * np.asarray(self.velocity(f / ground), dtype=np.float64)

    def source_spectrum(self, f: np.ndarray) -> np.ndarray:
        """The mean amplitude spectrum of the wavelets (1 at its peak): the
        root mean square over the uniform spread of peak frequencies (a
        Ricker wavelet of unit peak amplitude has the spectrum
        ricker_amplitude(f, fp) / fp, up to a constant)."""
        lo, hi = self.peak_frequency
        peaks = np.linspace(lo, hi, 64)

        def rms(f: np.ndarray) -> np.ndarray:
            power = np.square(ricker_amplitude(f[..., None], peaks) / peaks)
            return np.sqrt(np.mean(power, axis=-1))

        grid = np.linspace(0.0, 0.5 / self.dt, 4001)
        out: np.ndarray = rms(np.asarray(f, dtype=np.float64)) / rms(grid).max()
        return out

    def source_band(self, level: float = 0.1) -> tuple[float, float]:
        """The frequencies (Hz) where the wavelets' mean amplitude is at
        least `level` times its peak, up to the Nyquist frequency."""
        if not 0.0 < level < 1.0:
            raise ValueError(f"level must lie between 0 and 1; got {level!r}")
        f = np.linspace(0.0, 0.5 / self.dt, 20001)[1:]
        ok = f[self.source_spectrum(f) >= level]
        return float(ok[0]), float(ok[-1])

    def resolved(self, f: np.ndarray, level: float = 0.1, t: float = 0.0) -> np.ndarray:
        """Where a virtual gather from one end of the line resolves the mode
        at time t: a boolean mask over f.

        True where the sources carry energy (:meth:`source_band`), the
        wavelength c(f) / f lies within :func:`molvak.array_limits` of the
        line and, for a record with a gauge length, is not shorter than it
        (the fibre averages the strain over the gauge length, which smears
        shorter waves).
        """
        f = np.asarray(f, dtype=np.float64)
        lo, hi = self.source_band(level)
        lmin, lmax = array_limits(self.positions)
        with np.errstate(divide="ignore"):
            wavelength = self.true_velocity(f, t) / f
        if self.gauge_length is not None:
            lmin = max(lmin, float(self.gauge_length))
        inside: np.ndarray = (f >= lo) & (f <= hi) & (wavelength >= lmin) & (wavelength <= lmax)
        return inside


def _noise_delay(settings: AmbientNoiseSettings, scale: float) -> float:
    """Longest time (s) from a wavelet's firing to the end of its arrival at
    the far end of the line: onset shift and duration of the widest wavelet
    plus the largest distance over the smallest group velocity where the
    wavelets have energy."""
    lo, hi = settings.peak_frequency
    f = np.linspace(0.02 * lo, min(0.5 / settings.dt, 3.0 * hi), 4000)
    k = 2.0 * np.pi * f / (scale * np.asarray(settings.velocity(f), dtype=np.float64))
    group_slowness = float(np.max(np.gradient(k, 2.0 * np.pi * f)))
    slowness = max(group_slowness, float(np.max(k / (2.0 * np.pi * f))))
    far = settings.distance[1] + settings.spacing * (settings.channels - 1)
    return 3.0 / lo + far * slowness


def noise_blocks(settings: AmbientNoiseSettings) -> _Iterator[tuple[int, np.ndarray]]:
    """The record of `settings`, block by block: (first sample, data) with
    data (channels, samples) in float64, blocks of `settings.block` seconds
    (the last one shorter) in order. Memory stays at a few blocks however
    long the record.

    Parameters
    ----------
    settings : AmbientNoiseSettings
        What the record is made of.

    Yields
    ------
    (int, ndarray)
        The index of the block's first sample and its data.
    """
    s = settings
    nx, nt, dt = s.channels, s.samples, float(s.dt)
    nb = max(1, int(round(s.block / dt)))
    seeds = np.random.SeedSequence(s.seed).spawn(2)
    rng_events, rng_noise = (np.random.default_rng(q) for q in seeds)
    near, far = (float(v) for v in s.distance)
    beyond = [near + (far - near) * rng_events.random(s.sources) for _ in range(2)]
    x = s.positions
    along = [x - x[0], x[-1] - x]          # distance into the line from each end
    spreading = [1.0 / np.sqrt(d[:, None] + a[None, :]) for d, a in zip(along, beyond)]
    nblocks = -(-nt // nb)
    # emission starts early enough that the wavefield is stationary from the
    # record's first sample: whole blocks of spin-up, never written
    mid = [(n + 0.5) * nb * dt for n in range(nblocks)]
    scales = [1.0] if s.drift is None else [float(s.drift(t)) for t in mid]
    if not all(_math.isfinite(v) and v > 0 for v in scales):
        raise ValueError("drift must return a positive factor at every time of the record")
    grounds = [1.0] if s.change is None else [float(s.change(t)) for t in mid]
    if not all(_math.isfinite(v) and v > 0 for v in grounds):
        raise ValueError("change must return a positive factor at every time of the record")
    # a uniform change u slows nothing below min(u) times the curve's speeds
    pad = int(_math.ceil(_noise_delay(s, min(scales) * min(grounds)) / dt)) + 1
    spin = -(-pad // nb)
    n = fast_length(nb + pad)
    f = np.fft.rfftfreq(n, dt)
    w = 2.0 * np.pi * f
    lo, hi = s.peak_frequency
    shares = {"both": (0.5, 0.5), "first": (1.0, 0.0), "last": (0.0, 1.0)}[s.sides]
    acc = np.zeros((nx, n + nb), dtype=np.float64)
    sigma = None
    cache: dict = {}
    for block in range(-spin, nblocks):
        scale = scales[min(max(block, 0), len(scales) - 1)] if s.drift is not None else 1.0
        ground = grounds[min(max(block, 0), len(grounds) - 1)] if s.change is not None else 1.0
        if (scale, ground) not in cache:
            cache.clear()
            # every velocity of the ground times u: the mode's curve u c(f / u)
            c = scale * ground * np.asarray(s.velocity(np.maximum(f, 1e-6) / ground),
                                            dtype=np.float64)
            k = w / c
            k[0] = 0.0
            gauge = np.ones_like(k) if s.gauge_length is None else \
                np.sinc(k * s.gauge_length / (2 * np.pi))
            # strain rate is the derivative along the fibre of the particle
            # velocity: -i k for waves travelling towards +x (from the first
            # end), +i k for those from the last end
            factors = [(-1j * k if s.quantity == "strain_rate" else 1.0) * gauge,
                       (1j * k if s.quantity == "strain_rate" else 1.0) * gauge]
            channel = [np.exp(-1j * k[None, :] * d[:, None]) * fac[None, :]
                       for d, fac in zip(along, factors)]
            source = [np.exp(-1j * k[None, :] * a[:, None]) for a in beyond]
            cache[(scale, ground)] = (channel, source)
        channel, source = cache[(scale, ground)]
        spectrum = np.zeros((nx, f.size), dtype=np.complex128)
        for side in range(2):
            count = int(rng_events.poisson(shares[side] * s.rate * nb * dt))
            which = rng_events.integers(0, s.sources, count)
            when = nb * dt * rng_events.random(count)
            peak = lo + (hi - lo) * rng_events.random(count)
            amp = np.exp(0.5 * rng_events.standard_normal(count))
            amp *= np.where(rng_events.random(count) < 0.5, -1.0, 1.0)
            # Ricker wavelets fired at `when`, each centred 1.5 periods later
            # (where it has decayed to 1e-8 of its peak), sampled in time
            emitted = np.zeros((s.sources, n), dtype=np.float64)
            for k, t0, fp, a in zip(which, when, peak, amp):
                centre = t0 + 1.5 / fp
                i0 = int(_math.ceil(t0 / dt))
                i1 = min(int(_math.floor((centre + 1.5 / fp) / dt)) + 1, n)
                u = np.square(np.pi * fp * (np.arange(i0, i1) * dt - centre))
                emitted[k, i0:i1] += a * (1.0 - 2.0 * u) * np.exp(-u)
            spectrum += channel[side] * (spreading[side] @ (np.fft.rfft(emitted, axis=1)
                                                            * source[side]))
        acc[:, :n] += np.fft.irfft(spectrum, n=n, axis=1)
        if block >= 0:
            first = block * nb
            out = acc[:, :min(nb, nt - first)].copy()
            if s.noise > 0:
                if sigma is None:
                    sigma = float(s.noise) * float(np.sqrt(np.mean(np.square(out))))
                out += sigma * rng_noise.standard_normal(out.shape)
            yield first, out
        acc[:, :n] = acc[:, nb:nb + n]
        acc[:, n:] = 0.0


@dataclass(frozen=True, eq=False)
class AmbientNoise:
    """An ambient-noise record and what it was made with.

    Attributes
    ----------
    data : ndarray, shape (channels, samples)
    settings : AmbientNoiseSettings
        The record's geometry, sources and true dispersion curve
        (``settings.true_velocity(f)``).
    """

    data: np.ndarray
    settings: AmbientNoiseSettings

    @property
    def positions(self) -> np.ndarray:
        """Channel positions along the line (m), from 0."""
        return self.settings.positions

    @property
    def dt(self) -> float:
        """Sample interval (s)."""
        return float(self.settings.dt)

    def true_velocity(self, f: np.ndarray, t: float = 0.0) -> np.ndarray:
        """The phase velocity (m/s) at frequencies `f`, at time `t` (s) of the
        record (see :meth:`AmbientNoiseSettings.true_velocity`)."""
        return self.settings.true_velocity(f, t)

    def resolved(self, f: np.ndarray, level: float = 0.1, t: float = 0.0) -> np.ndarray:
        """Where a virtual gather from one end of the line resolves the mode:
        a boolean mask over `f` (see :meth:`AmbientNoiseSettings.resolved`)."""
        return self.settings.resolved(f, level, t)

    def gather(self) -> Gather:
        """The record as a :class:`molvak.Gather` of a continuous record: no
        source, offsets the channel positions along the line."""
        return Gather(self.data, offsets=self.positions, dt=self.dt,
                      headers=_noise_headers(self.settings))


def _noise_headers(s: AmbientNoiseSettings) -> dict:
    return {"format": "synthetic", "start_time": str(np.datetime64(s.start_time, "ns")),
            "quantity": s.quantity, "units": None, "gauge_length": s.gauge_length,
            "positions": "file"}


def ambient_noise(duration: float = 600.0, **options: Any) -> AmbientNoise:
    """An ambient-noise record along a straight fibre, in memory.

    All parameters but `duration` are keywords (see :class:`AmbientNoiseSettings`).

    Parameters
    ----------
    duration : float
        Length of the record (s).
    channels, spacing : int, float
        The line: `channels` channels every `spacing` metres from 0.
    dt : float
        Sample interval (s); 0.004 is 250 Hz.
    velocity : callable
        The phase velocity c(f) (m/s) of the mode; :class:`ExponentialCurve`
        by default.
    sources : int
        Source positions on each side of the line, drawn uniformly at
        `distance` = (near, far) metres beyond the end.
    rate : float
        Wavelets fired per second, all sources together (Poisson times, a
        random source each, half on each side).
    peak_frequency : (low, high)
        Every wavelet is a Ricker wavelet of a peak frequency drawn uniformly
        in this range (Hz), with a log-normal amplitude (sigma 0.5) and a
        random sign.
    noise : float
        Incoherent Gaussian noise on every channel, its standard deviation
        relative to the RMS of the coherent wavefield of the first block.
    quantity : {"strain_rate", "velocity"}
        What the fibre records: strain rate along the fibre (the derivative
        along the line of the particle velocity) or the particle velocity.
    gauge_length : float, optional
        The fibre averages over this length (m): the wavenumber response
        sinc(k L / 2). None: point channels.
    drift : callable, optional
        t (s) -> factor s on the curve, s c(f), for time-lapse tests; held
        for each block of emission time. The Green's functions of such a
        change do not stretch in time by one factor (the phase and group
        velocities change differently).
    change : callable, optional
        t (s) -> factor u on every velocity of the ground, a uniform change:
        the curve becomes u c(f / u), and the Green's functions (and their
        correlations) stretch in time by exactly 1 / u, which is what dv/v
        measurements see (dv/v = u - 1). Held for each block of emission
        time, as `drift`; both may be given (d u c(f / u)).
    start_time : str
        Absolute time of the first sample (ISO 8601).
    block : float
        Length of the blocks the record is made in (s).
    seed : int or None
        The record is a function of the settings and the seed.

    Returns
    -------
    AmbientNoise
        ``.data`` (channels x samples), ``.gather()``, and the truth.
    """
    settings = AmbientNoiseSettings(duration=duration, **options)
    data = np.empty((settings.channels, settings.samples), dtype=np.float64)
    for first, block in noise_blocks(settings):
        data[:, first:first + block.shape[1]] = block
    return AmbientNoise(data, settings)


def write_ambient_noise(folder: Union[str, _os.PathLike[str]], duration: float = 600.0, *,
                        file_length: float = 60.0, prefix: str = "noise",
                        progress: Optional[bool] = None, **options: Any) -> list[str]:
    """Write an ambient-noise record as DASDAE files (HDF5, through DASCore:
    the ``das`` extra), `file_length` seconds each, never holding more than a
    few blocks in memory.

    Files are named ``<prefix>_<start time>.h5`` so that they sort in time
    order; each is written under a temporary name in `folder` and renamed
    when complete. An existing file of the same name is refused, never
    replaced. Data are stored as float32, as DAS interrogators record them.
    `duration` and `options` are those of :func:`ambient_noise`.

    Parameters
    ----------
    folder : str or path-like
        Where the files go (created when missing).
    duration : float
        Length of the record (s).
    file_length : float
        Length of each file (s).
    prefix : str
        Start of the file names.
    progress : bool, optional
        Show progress on stderr (by default when stderr is a terminal).
    **options
        The record's settings, as for :func:`ambient_noise`.

    Returns
    -------
    list of str
        The paths written, in time order.
    """
    settings = AmbientNoiseSettings(duration=duration, **options)
    per_file = int(round(float(file_length) / settings.dt))
    if per_file < 2:
        raise ValueError(f"file_length must hold at least two samples; got {file_length!r}")
    _os.makedirs(folder, exist_ok=True)
    start = np.datetime64(settings.start_time, "ns")
    step_ns = settings.dt * 1e9
    nfiles = -(-settings.samples // per_file)
    names = []
    for k in range(nfiles):
        t = start + np.timedelta64(int(round(k * per_file * step_ns)), "ns")
        stamp = str(t.astype("datetime64[ms]")).replace("-", "").replace(":", "")
        path = _os.path.join(_os.fspath(folder), f"{prefix}_{stamp}.h5")
        if _os.path.exists(path):
            raise FileExistsError(f"{path}: exists; choose another folder or prefix")
        names.append(path)
    headers = _noise_headers(settings)

    show = bool(getattr(sys.stderr, "isatty", lambda: False)()) if progress is None \
        else bool(progress)
    bar = Progress(nfiles, "writing noise record", enabled=show)
    pending: list[np.ndarray] = []
    held = 0
    written = 0
    for first, block in noise_blocks(settings):
        pending.append(block.astype(np.float32))
        held += block.shape[1]
        while held >= per_file or (held and first + block.shape[1] >= settings.samples):
            data = np.concatenate(pending, axis=1)
            take = min(per_file, data.shape[1])
            first_sample = written * per_file
            write_dasdae(names[written], data[:, :take], settings.positions, settings.dt,
                             start + np.timedelta64(int(round(first_sample * step_ns)), "ns"),
                             quantity=headers["quantity"], gauge_length=settings.gauge_length)
            bar.step(_os.path.basename(names[written]))
            written += 1
            rest = data[:, take:]
            pending = [rest] if rest.shape[1] else []
            held = rest.shape[1]
    return names


def _as_function(curve: object) -> Curve:
    if callable(curve):
        return curve
    f = getattr(curve, "frequency", None)
    v = getattr(curve, "velocity", None)
    if f is None or v is None or np.size(f) < 2:
        raise TypeError(f"a ground's curve must be a function c(f) or a dispersion curve of at "
                        f"least two picks; got {type(curve).__name__}")
    order = np.argsort(np.asarray(f, dtype=np.float64))
    ff = np.asarray(f, dtype=np.float64)[order]
    vv = np.asarray(v, dtype=np.float64)[order]

    def velocity(freq: np.ndarray) -> np.ndarray:
        return np.interp(np.asarray(freq, dtype=np.float64), ff, vv)
    return velocity


@dataclass(frozen=True)
class LateralGround:
    """Ground whose dispersion curve changes along the line.

    `curves[0]` holds left of `boundaries[0]`, `curves[k]` between
    `boundaries[k - 1]` and `boundaries[k]`, and the last curve right of the
    last boundary. Positions are in-line coordinates (m), the frame of the
    receivers and the source. A curve is a function c(f) (m/s) or a
    :class:`molvak.DispersionCurve` (for instance a mode of a layered model
    from :func:`molvak.theoretical_modes`), interpolated linearly in
    frequency and held at its end values beyond its first and last
    frequency.
    """

    boundaries: tuple[float, ...]
    curves: tuple[Curve, ...]

    def __post_init__(self) -> None:
        b = tuple(float(v) for v in self.boundaries)
        if len(self.curves) != len(b) + 1:
            raise ValueError(f"a ground with {len(b)} boundaries needs {len(b) + 1} curves; "
                             f"got {len(self.curves)}")
        if any(not np.isfinite(v) for v in b) or any(u >= v for u, v in zip(b[:-1], b[1:])):
            raise ValueError(f"boundaries must be finite and increasing; got {b}")
        object.__setattr__(self, "boundaries", b)
        object.__setattr__(self, "curves", tuple(_as_function(c) for c in self.curves))

    def curve_at(self, position: float) -> Curve:
        """The dispersion curve of the ground at one position.

        Parameters
        ----------
        position : float
            In-line position (m).

        Returns
        -------
        callable
            c(f) (m/s) at frequencies f (Hz).
        """
        return self.curves[int(np.searchsorted(self.boundaries, float(position), side="right"))]

    def travel_time(self, start: float, end: float, f: np.ndarray) -> np.ndarray:
        """The phase travel time from `start` to `end` at every frequency:
        the integral of 1 / c(f, position) along the path (s).

        Parameters
        ----------
        start, end : float
            In-line positions (m).
        f : ndarray
            Frequencies (Hz).

        Returns
        -------
        ndarray
            The travel time (s) at each frequency.
        """
        lo, hi = sorted((float(start), float(end)))
        edges = [lo] + [b for b in self.boundaries if lo < b < hi] + [hi]
        total = np.zeros_like(np.asarray(f, dtype=np.float64))
        for a, b in zip(edges[:-1], edges[1:]):
            c = np.asarray(self.curve_at(0.5 * (a + b))(f), dtype=np.float64)
            total += (b - a) / c
        return total


@dataclass(frozen=True, eq=False)
class SyntheticLine:
    """A long receiver line over laterally changing ground, one shot.

    Attributes
    ----------
    gather : molvak.Gather
        The record, with its source and receiver positions.
    ground : LateralGround
        The ground it was made with.
    f_peak, noise
        As for :class:`SyntheticGather`.
    """

    gather: Gather
    ground: LateralGround
    f_peak: float
    noise: float


def make_line(receivers: np.ndarray, source: float, dt: float, nt: int, ground: LateralGround,
              f_peak: float, *, delay: float = 0.2, noise: float = 0.02,
              seed: Optional[int] = 0) -> SyntheticLine:
    """A shot recorded along a line over ground whose dispersion curve changes
    along it.

    Every frequency travels from the source to each receiver with the phase
    travel time integrated along the path through the ground it crosses
    (the ray or WKB picture of smooth lateral change: no reflections or mode
    conversions at the boundaries), so the phase gradient between two
    neighbouring receivers is that of the ground between them. Amplitudes are
    a Ricker spectrum of peak frequency `f_peak` spread as 1 / sqrt(distance);
    Gaussian noise of standard deviation `noise` times the largest sample is
    added. Arguments are as for :func:`make_gather`, with in-line receiver
    positions and a source position instead of offsets; the source must not
    stand on a receiver.

    Parameters
    ----------
    receivers : ndarray
        In-line receiver positions (m).
    source : float
        In-line source position (m), on no receiver.
    dt : float
        Sample interval (s).
    nt : int
        Samples per trace.
    ground : LateralGround
        The ground's dispersion curves along the line.
    f_peak : float
        Peak frequency of the Ricker source (Hz).
    delay : float
        Time of the source wavelet's centre (s).
    noise : float
        Standard deviation of the noise relative to the largest sample.
    seed : int or None
        Seed of the noise.

    Returns
    -------
    SyntheticLine
    """

    r = np.asarray(receivers, dtype=np.float64)
    if r.ndim != 1 or r.size < 2 or not np.isfinite(r).all():
        raise ValueError("receivers must be a 1-D array of at least two finite positions")
    distance = np.abs(r - float(source))
    if (distance <= 0).any():
        raise ValueError(f"the source at {source!r} stands on a receiver")
    f = np.fft.rfftfreq(nt, dt)
    fs = np.maximum(f, 1e-6)
    amplitude = ricker_amplitude(f, f_peak)
    time = np.array([ground.travel_time(source, p, fs) for p in r])
    spectra = (amplitude[None, :] * np.exp(-2j * np.pi * f[None, :] * (time + delay))
               / np.sqrt(distance)[:, None])
    data = np.fft.irfft(spectra, n=nt, axis=1)
    if noise > 0:
        rng = np.random.default_rng(seed)
        data += noise * np.abs(data).max() * rng.standard_normal(data.shape)
    gather = Gather(np.ascontiguousarray(data), dt=float(dt), source=np.array([float(source)]),
                    receivers=r, headers={"path": "synthetic line"})
    return SyntheticLine(gather, ground, float(f_peak), float(noise))
