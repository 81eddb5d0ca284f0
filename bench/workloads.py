"""Named workloads shared by the benchmarks.

Each workload is a synthetic gather carrying one dispersive surface-wave mode
(phase velocity falling with frequency), spread as 1/sqrt(offset), plus a
little noise, and the estimator settings a user would choose for it.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Workload:
    name: str
    data: np.ndarray        # (traces, samples)
    offsets: np.ndarray     # (traces,)
    dt: float
    n: int                  # requested FFT length (0: none)
    f_range: tuple
    phase_vels: np.ndarray

    @property
    def time(self) -> np.ndarray:
        return np.arange(self.data.shape[1]) * self.dt


def dispersive_gather(offsets, dt, nt, velocity, f_peak, seed=0, noise=0.02):
    """A gather whose only wave travels with the phase velocity `velocity(f)`.

    Built in the frequency domain: trace x has the spectrum
    A(f) exp(-2 pi i f (x / c(f) + t_delay)) / sqrt(x), A a Ricker spectrum.
    """
    offsets = np.asarray(offsets, dtype=float)
    f = np.fft.rfftfreq(nt, dt)
    amplitude = (f / f_peak) ** 2 * np.exp(1.0 - (f / f_peak) ** 2)
    c = velocity(np.maximum(f, 1e-6))
    delay = 0.05
    phase = -2j * np.pi * f[None, :] * (offsets[:, None] / c[None, :] + delay)
    spectra = amplitude[None, :] * np.exp(phase) / np.sqrt(np.maximum(np.abs(offsets), 1e-3))[:, None]
    data = np.fft.irfft(spectra, n=nt, axis=1)
    rng = np.random.default_rng(seed)
    data += noise * np.abs(data).max() * rng.standard_normal(data.shape)
    return data


def masw() -> Workload:
    offsets = 5.0 + np.arange(48) * 1.0
    dt = 0.5e-3
    data = dispersive_gather(offsets, dt, 2000, lambda f: 120.0 + 380.0 * np.exp(-f / 20.0), 30.0)
    return Workload("masw", data, offsets, dt, 8000, (3.0, 100.0),
                    np.arange(50.0, 1000.0 + 0.5, 1.0))


def das() -> Workload:
    offsets = 10.0 + np.arange(400) * 2.0
    dt = 4e-3
    data = dispersive_gather(offsets, dt, 5000, lambda f: 300.0 + 900.0 * np.exp(-f / 8.0), 10.0)
    return Workload("das", data, offsets, dt, 0, (1.0, 40.0),
                    np.arange(100.0, 2000.0 + 2.5, 5.0))


WORKLOADS = {"masw": masw, "das": das}
