"""Plain NumPy formulations of the f-k transform, minimum-variance (Capon)
beamforming and the high-resolution linear Radon transform, written from the
published methods, for the tests to check the native estimators against.

Every function returns (frequencies, image) with the image shaped
(frequencies, velocities). The traces' spectra are the scaled real FFT of
length n (the gather zero padded), cut to the band by the same rule as the
other estimators (`reference.band_bins`).
"""
from __future__ import annotations

import numpy as np

from reference import band_bins, frequencies, library_phase


def gathers(data):
    """The gathers of a call as a float (S, NX, NT) stack."""
    d = np.asarray(data, dtype=float)
    return d[None] if d.ndim == 2 else d


def spectra(data, dt, n, f_range):
    """(f, U, first): U (S, NX, N // 2 + 1) the full scaled spectra, f the
    band's frequencies, first the band's first bin."""
    d = gathers(data)
    N = max(n, d.shape[-1])
    U = np.fft.rfft(d, n=N, axis=-1) * dt
    first, stop = band_bins(f_range[0], f_range[1], dt, N)
    return frequencies(first, stop, dt, N), U, first


def steering(f, c, x, kind):
    """Steering vector over the traces for frequency f and velocity c:
    exp(-i 2 pi f x / c) (plane) or exp(-i arg H0(2 pi f x / c)) with
    H0 = J0 + i Y0 (cylindrical: the phase of an outgoing cylindrical wave)."""
    if kind == "plane":
        return np.exp(-2j * np.pi * f * x / c)
    return np.exp(-1j * library_phase(2.0 * np.pi * f * x / c))


def fk(data, offsets, dt, velocities, f_range, n=0, nk=None):
    """f-k power |sum_i U_i exp(+i 2 pi k (x_i - x_0))|^2 on the wavenumber
    grid k_q = q / (nk dx) of an nk-point spatial FFT, interpolated linearly
    in k (periodically: k beyond the grid's span is aliased) at k = f / c."""
    x = np.asarray(offsets, dtype=float)
    c = np.asarray(velocities, dtype=float)
    f, U, first = spectra(data, dt, n, f_range)
    U = U[0, :, first:first + f.size]
    nx = x.size
    nk = nk or nx
    dx = (x[-1] - x[0]) / (nx - 1)
    padded = np.zeros((nk, f.size), dtype=complex)
    padded[:nx] = U
    # the sum with the positive exponent is nk times the inverse DFT
    power = np.abs(np.fft.ifft(padded, axis=0) * nk) ** 2
    out = np.empty((f.size, c.size))
    for g in range(f.size):
        q = (f[g] / c) * (nk * dx)          # fractional bin of k = f / c
        q = np.mod(q, nk)
        lo = np.floor(q).astype(int) % nk
        w = q - np.floor(q)
        out[g] = (1.0 - w) * power[lo, g] + w * power[(lo + 1) % nk, g]
    return f, out


def cross_spectra(U, first, nf, weights, smoothing, M):
    """R (NF, M, M): the mean over gathers, over the bins g - m .. g + m (those
    that exist) and over the subarrays of M consecutive traces of a a^H, a
    the weighted spectra of one bin, gather and subarray."""
    S, nx, bins = U.shape
    a = U * weights[None, :, None]
    R = np.zeros((nf, M, M), dtype=complex)
    for g in range(nf):
        k = first + g
        ks = [b for b in range(k - smoothing, k + smoothing + 1) if 0 <= b < bins]
        for s in range(S):
            for b in ks:
                for l in range(nx - M + 1):
                    v = a[s, l:l + M, b]
                    R[g] += np.outer(v, np.conj(v))
        R[g] /= S * len(ks) * (nx - M + 1)
    return R


def capon(data, offsets, dt, velocities, f_range, n=0, steer="cylindrical",
          weighting="sqrt", loading=0.1, smoothing=0, subarray=None):
    """Minimum-variance beam power P = 1 / Re(e^H R_L^-1 e), R_L = R +
    loading * trace(R) / M * I (Capon, 1969), steered over the offsets of the
    first subarray of M traces (M = NX without spatial smoothing)."""
    x = np.asarray(offsets, dtype=float)
    c = np.asarray(velocities, dtype=float)
    f, U, first = spectra(data, dt, n, f_range)
    M = subarray or x.size
    weights = x.copy() if weighting == "sqrt" else np.ones_like(x)
    R = cross_spectra(U, first, f.size, weights, smoothing, M)
    out = np.zeros((f.size, c.size))
    for g in range(f.size):
        level = np.trace(R[g]).real / M
        if level == 0.0:
            continue
        RL = R[g] + loading * level * np.eye(M)
        E = np.stack([steering(f[g], ch, x[:M], steer) for ch in c], axis=1)   # (M, NC)
        Z = np.linalg.solve(RL, E)
        out[g] = 1.0 / np.real(np.sum(np.conj(E) * Z, axis=0))
    return f, out


def hr_radon(data, offsets, dt, velocities, f_range, n=0, iterations=4, damping=0.1,
             sparseness=1e-3, norm="cauchy"):
    """High-resolution linear Radon model m(p), p = 1 / c, for every frequency:
    d = L m with L_ih = exp(-i 2 pi f x_i p_h), solved by iteratively
    reweighted damped least squares in the data-space form

        m = Q L^H (L Q L^H + mu I)^-1 d,

    Q = I first, then Q = diag(|m|^2 + eps) (Cauchy) or diag(|m| + eps) (L1)
    from the previous model, eps = sparseness * max of the first term, and
    mu = damping * trace(L Q L^H) / NX."""
    x = np.asarray(offsets, dtype=float)
    p = 1.0 / np.asarray(velocities, dtype=float)
    f, U, first = spectra(data, dt, n, f_range)
    d_all = U[0, :, first:first + f.size]
    out = np.zeros((f.size, p.size), dtype=complex)
    for g in range(f.size):
        L = np.exp(-2j * np.pi * f[g] * np.outer(x, p))
        d = d_all[:, g]
        q = np.ones(p.size)
        m = np.zeros(p.size, dtype=complex)
        for it in range(iterations + 1):
            if it > 0:
                size = np.abs(m) ** 2 if norm == "cauchy" else np.abs(m)
                top = size.max()
                if top == 0.0:
                    break
                q = size + sparseness * top
            K = (L * q[None, :]) @ np.conj(L).T
            mu = damping * np.trace(K).real / x.size
            y = np.linalg.solve(K + mu * np.eye(x.size), d)
            m = q * (np.conj(L).T @ y)
        out[g] = m
    return f, out


class TwoModes:
    """A 48-channel shot gather at 1 m spacing (offsets 10-57 m, 1 ms, 1 s)
    carrying two modes of equal amplitude whose phase velocities differ by
    6 %: c1(f) = 180 + 220 exp(-f / 15 Hz) m/s and c2 = 1.06 c1, plane-wave
    phase, 1 / sqrt(x) spreading, a 35 Hz Ricker source and 1 % noise."""

    ratio = 1.06

    def __init__(self, seed=0, noise=0.01):
        self.offsets = 10.0 + np.arange(48.0)
        self.dt = 1e-3
        nt = 1000
        f = np.fft.rfftfreq(nt, self.dt)
        amplitude = (f / 35.0) ** 2 * np.exp(1.0 - (f / 35.0) ** 2)
        c1 = self.velocity(np.maximum(f, 1e-6))
        spectra = np.zeros((self.offsets.size, f.size), dtype=complex)
        for c in (c1, self.ratio * c1):
            spectra += amplitude * np.exp(-2j * np.pi * f * (self.offsets[:, None] / c + 0.2))
        spectra /= np.sqrt(self.offsets)[:, None]
        data = np.fft.irfft(spectra, n=nt, axis=1)
        rng = np.random.default_rng(seed)
        self.data = data + noise * np.abs(data).max() * rng.standard_normal(data.shape)

    @staticmethod
    def velocity(f):
        return 180.0 + 220.0 * np.exp(-np.asarray(f, dtype=float) / 15.0)


def two_modes(seed=0):
    return TwoModes(seed)
