"""Plain NumPy formulations of the module's formulas, written from their
definitions (not from the native code), for the tests to compare against."""
from __future__ import annotations

import ctypes
import ctypes.util
import math

import numpy as np

TWO_PI = 6.283185307179586

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("j0", "y0"):
    getattr(_libm, _name).restype = ctypes.c_double
    getattr(_libm, _name).argtypes = [ctypes.c_double]
_j0 = np.frompyfunc(_libm.j0, 1, 1)
_y0 = np.frompyfunc(_libm.y0, 1, 1)


def library_phase(kappa):
    """atan2(y0(k), j0(k)) with the C library's Bessel functions: the phase
    of the Hankel function H0(1) = J0 + i Y0."""
    kappa = np.asarray(kappa, float)
    with np.errstate(all="ignore"):
        return np.arctan2(_y0(kappa).astype(float), _j0(kappa).astype(float))


def band_bins(f_min, f_max, dt, N):
    """(first, stop) FFT bins of the band (f_min, f_max) for length N."""
    bins = N // 2 + 1
    df = 1.0 / (dt * N)

    def trunc(q):
        if math.isnan(q):
            return 0
        if math.isinf(q):
            return 2**63 - 1 if q > 0 else -(2**63)
        return int(q)

    first = trunc(f_min / df)
    if f_min > first * df:
        first += 1
    first = max(first, 0)
    stop = min(trunc(f_max / df + 1.0), bins)
    return first, stop


def frequencies(first, stop, dt, N):
    df = 1.0 / (dt * N)
    return np.array([k * df for k in range(first, stop)], dtype=float)


def rfft(x, axis=-1, stepsize=1.0, n=0):
    x = np.asarray(x, dtype=float)
    L = x.shape[axis]
    return np.fft.rfft(x, n=max(n, L), axis=axis) * stepsize


def dft(x, n):
    """Direct O(n^2) forward DFT of a 1-D real sequence, zero-padded to n."""
    x = np.concatenate([np.asarray(x, float), np.zeros(n - len(x))])
    k = np.arange(n // 2 + 1)[:, None]
    j = np.arange(n)[None, :]
    return (x[None, :] * np.exp(-2j * np.pi * ((k * j) % n) / n)).sum(axis=1)


def interp(trace, h):
    """Amplitude at sample positions h: the line through samples trunc(h) and
    trunc(h) + 1, zeros just outside the trace, 0 when trunc(h) is outside
    [-1, NT)."""
    trace = np.asarray(trace, float)
    nt = trace.size
    padded = np.concatenate([[0.0], trace, [0.0]])  # padded[k + 1] = s(k)
    h = np.asarray(h, float)
    with np.errstate(invalid="ignore"):
        m = np.trunc(h)
        valid = np.isfinite(h) & (m >= -1) & (m < nt)
    mi = np.where(valid, m, 0).astype(np.int64)
    f = np.fmod(np.where(valid, h, 0.0), 1.0)
    sm = padded[mi + 1]
    sm1 = padded[mi + 2]
    return np.where(valid, (sm1 - sm) * f + sm, 0.0)


def radon(data, offsets, slowness, tau, dt, t0, moveout=0):
    """Tau-p panel (len(tau), len(slowness)) by the trapezoid rule over traces."""
    data = np.asarray(data, float)
    nx = data.shape[0]
    T, P = np.meshgrid(np.asarray(tau, float), np.asarray(slowness, float), indexing="ij")
    out = np.zeros(T.shape)
    if nx < 2:
        return out

    def amplitude(i):
        x = float(offsets[i])
        if moveout == 0:
            t = x * P + T
        elif moveout == 1:
            t = (x * x) * P + T
        else:
            t = np.sqrt((x * P) * (x * P) + T * T)
        with np.errstate(invalid="ignore", divide="ignore"):
            h = (t - t0) / dt
        return interp(data[i], h)

    prev = amplitude(0)
    for i in range(1, nx):
        a = amplitude(i)
        with np.errstate(invalid="ignore"):
            out = ((float(offsets[i]) - float(offsets[i - 1])) * (prev + a)) * 0.5 + out
        prev = a
    return out


def slant_stack(data, offsets, time, phase_vel, dt, f_range=None, n=0):
    time = np.asarray(time, float)
    with np.errstate(divide="ignore"):
        slowness = 1.0 / np.asarray(phase_vel, float)
    panel = radon(data, offsets, slowness, time, dt, time[0])
    N = max(n, time.size)
    spectrum = np.fft.rfft(panel, n=N, axis=0) * dt
    f_min, f_max = 0.0, 1.0 / (2.0 * dt)
    if f_range is not None:
        f_min = 0.0 if f_range[0] is None else float(f_range[0])
        f_max = 1.0 / (2.0 * dt) if f_range[1] is None else float(f_range[1])
    first, stop = band_bins(f_min, f_max, dt, N)
    return frequencies(first, stop, dt, N), spectrum[first:stop]
