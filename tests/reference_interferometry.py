"""Plain NumPy/SciPy formulations of the correlation-and-stack steps, written
from their definitions (module notes of molvak.interferometry), for the
tests to compare the package's core against and for the benchmark's
baseline (scipy.fft on one thread).

Two levels:

- `direct_correlation`: C_sr(tau) = sum_t u_s(t) u_r(t + tau) by dot
  products in the time domain, for small cases;
- `correlate_stack`: the whole chain for a block of windows, vectorised over
  channels, looping over windows and virtual sources.
"""
from __future__ import annotations

import numpy as np
import scipy.fft
import scipy.signal


def direct_correlation(us: np.ndarray, ur: np.ndarray, lag: int) -> np.ndarray:
    """sum_t us[t] ur[t + tau] for tau = -lag..lag (zero outside the record)."""
    n = us.size
    out = np.zeros(2 * lag + 1)
    for k, tau in enumerate(range(-lag, lag + 1)):
        if tau >= 0:
            out[k] = np.dot(us[:n - tau], ur[tau:]) if tau < n else 0.0
        else:
            out[k] = np.dot(us[-tau:], ur[:n + tau]) if -tau < n else 0.0
    return out


def taper(nt: int, width: int) -> np.ndarray:
    """Half-Hann ramps of `width` samples: sin^2(pi/2 (k + 1) / (width + 1))."""
    w = np.ones(nt)
    for k in range(width):
        v = np.sin(0.5 * np.pi * (k + 1) / (width + 1)) ** 2
        w[k] *= v
        w[nt - 1 - k] *= v
    return w


def running_absolute_mean(x: np.ndarray, half: int) -> np.ndarray:
    """Mean of |x| over the samples within `half` of each sample."""
    kernel = np.ones(2 * half + 1)
    total = np.apply_along_axis(lambda r: np.convolve(np.abs(r), kernel, mode="same"), -1, x)
    count = np.convolve(np.ones(x.shape[-1]), kernel, mode="same")
    return total / count


def band_weights(f: np.ndarray, corners) -> np.ndarray:
    """0 below f1 and above f4, 1 from f2 to f3, sin^2 / cos^2 ramps; 0 at 0 Hz."""
    f1, f2, f3, f4 = corners
    w = np.zeros_like(f)
    for k, v in enumerate(f):
        if f2 <= v <= f3:
            w[k] = 1.0
        elif f1 <= v < f2:
            w[k] = np.sin(0.5 * np.pi * (v - f1) / (f2 - f1)) ** 2
        elif f3 < v <= f4:
            w[k] = np.cos(0.5 * np.pi * (v - f3) / (f4 - f3)) ** 2
    w[f == 0] = 0.0
    return w


def preprocessed(window: np.ndarray, s) -> np.ndarray:
    """The window (NX, NT) after demean, time normalisation and taper."""
    x = window - window.mean(axis=1, keepdims=True)
    if s.normalization == "onebit":
        x = np.sign(x)
    elif s.normalization == "ram":
        w = running_absolute_mean(x, s.ram_half)
        x = np.where(w > 0, x / np.where(w > 0, w, 1.0), 0.0)
    return x * taper(s.samples, s.taper)[None, :]


def spectra(window: np.ndarray, s) -> np.ndarray:
    """One-sided spectra (NX, nfft // 2 + 1) of a pre-processed, whitened window."""
    X = scipy.fft.rfft(preprocessed(window, s), n=s.nfft, axis=1, workers=1)
    if s.whiten is not None:
        amp = np.abs(X)
        if s.whiten_half:
            h = s.whiten_half
            kernel = np.ones(2 * h + 1)
            count = np.convolve(np.ones(amp.shape[1]), kernel, mode="same")
            amp = np.apply_along_axis(lambda r: np.convolve(r, kernel, mode="same"), 1,
                                      amp) / count
        f = np.arange(X.shape[1]) / (s.nfft * s.dt)
        X = np.where(amp > 0, X / np.where(amp > 0, amp, 1.0), 0.0) * band_weights(f, s.whiten)
    return X


def cut(full: np.ndarray, lag: int) -> np.ndarray:
    return np.concatenate([full[..., full.shape[-1] - lag:], full[..., :lag + 1]], axis=-1)


def correlate_stack(block: np.ndarray, sources, s):
    """(linear, phasor) sums over the windows of a block, as the package's
    core returns them."""
    W, NX, _ = block.shape
    S = len(sources)
    L = s.max_lag
    linear = np.zeros((S, NX, 2 * L + 1))
    phasor = np.zeros((S, NX, 2 * L + 1), dtype=complex) if s.stacking == "pws" else None
    if s.stacking == "linear":
        cross = np.zeros((S, NX, s.nfft // 2 + 1), dtype=complex)
        for w in range(W):
            X = spectra(block[w], s)
            for k, src in enumerate(sources):
                cross[k] += np.conj(X[src])[None, :] * X
        for k in range(S):
            linear[k] = cut(scipy.fft.irfft(cross[k], n=s.nfft, axis=1, workers=1), L)
        return linear, None
    for w in range(W):
        X = spectra(block[w], s)
        for k, src in enumerate(sources):
            c = scipy.fft.irfft(np.conj(X[src])[None, :] * X, n=s.nfft, axis=1, workers=1)
            z = cut(scipy.signal.hilbert(c, axis=1), L)
            linear[k] += z.real
            m = np.abs(z)
            phasor[k] += np.where(m > 0, z / np.where(m > 0, m, 1.0), 0.0)
    return linear, phasor
