"""Plain NumPy formulations of sub-array sweeps, written from the estimators'
definitions: every window's image is a sum over the window's traces (or, for
the trapezoid rule, over the segments between neighbouring traces) of terms
that do not depend on the window, evaluated for every window at once with
block prefix and suffix sums.

Block sums: the terms are cut into blocks of `block` terms (the longest range
asked for). Within each block the running sums from the block's start
(prefix) and to the block's end (suffix) are formed. A range of at most
`block` terms lies in one block or in two neighbouring ones: it is a suffix
of the first plus a prefix of the second, or, in one block, a prefix, a
suffix, or (only when the range is shorter than a block and touches neither
end, as for windows shortened by left-out traces) a direct sum. No range sum
is a difference of running sums, so each carries the rounding of a direct sum
of at most `block` terms however long the line is.
"""
from __future__ import annotations

import numpy as np
from scipy import special

from reference import band_bins, frequencies, interp

TWO_PI = 6.283185307179586


def range_sums(terms, lo, hi, block):
    """sum(terms[lo[w]:hi[w] + 1]) for every w, each range at most `block`
    long, through block prefix and suffix sums (see the module's text)."""
    terms = np.asarray(terms)
    n = terms.shape[0]
    lo = np.asarray(lo, dtype=np.int64)
    hi = np.asarray(hi, dtype=np.int64)
    if np.any(hi - lo + 1 > block):
        raise ValueError("a range is longer than the block")
    blocks = -(-n // block)
    padded = np.zeros((blocks * block,) + terms.shape[1:], dtype=terms.dtype)
    padded[:n] = terms
    shaped = padded.reshape((blocks, block) + terms.shape[1:])
    prefix = np.cumsum(shaped, axis=1).reshape(padded.shape)
    suffix = np.cumsum(shaped[:, ::-1], axis=1)[:, ::-1].reshape(padded.shape)
    out = np.zeros((lo.size,) + terms.shape[1:], dtype=terms.dtype)
    for w, (p, q) in enumerate(zip(lo, hi)):
        if q < p:
            continue
        if p // block != q // block:
            out[w] = suffix[p] + prefix[q]
        elif p % block == 0:
            out[w] = prefix[q]
        elif q % block == block - 1 or q == n - 1:
            out[w] = suffix[p]
        else:
            out[w] = terms[p:q + 1].sum(axis=0)
    return out


def _band(data, dt, f_range, n):
    nt = data.shape[1]
    N = max(n, nt)
    f_min, f_max = f_range
    first, stop = band_bins(f_min, f_max, dt, N)
    spectrum = np.fft.rfft(data, n=N, axis=1)[:, first:stop] * dt
    return spectrum, frequencies(first, stop, dt, N), N, first, stop


def sweep_phase_shift(data, offsets, phase_vel, dt, f_range, n, lo, hi, window):
    """Phase-shift images of the windows of live traces [lo[w], hi[w]]:
    the trapezoid rule over offset is a sum over segments (i, i + 1) of
    (P_i + P_{i+1}) |x_{i+1} - x_i| / 2, so a window's image is the sum of
    its segments' terms."""
    data = np.asarray(data, float)
    x = np.asarray(offsets, float)
    c = np.asarray(phase_vel, float)
    u, f, _, _, _ = _band(data, dt, f_range, n)
    u = u / np.abs(u)
    weight = np.abs(np.diff(x)) * 0.5
    out = np.zeros((len(lo), f.size, c.size), dtype=complex)
    for g in range(f.size):
        theta = ((TWO_PI * x)[:, None] / c[None, :]) * f[g]
        p = u[:, g, None] * np.exp(1j * theta)
        segment = (p[1:] + p[:-1]) * weight[:, None]
        out[:, g, :] = range_sums(segment, lo, np.asarray(hi) - 1, window - 1)
    return f, out


def hankel_phase(kappa):
    """arg H0(1)(kappa) = atan2(Y0, J0)."""
    with np.errstate(all="ignore"):
        return np.arctan2(special.y0(kappa), special.j0(kappa))


def sweep_fdbf(data, offsets, phase_vel, dt, f_range, n, lo, hi, window, steering, weighting):
    """Beamforming images of the windows: the beam power is |B|^2 with
    B = sum_i w_i U_i conj(E_i), a sum over the window's traces (w_i the
    offset under "sqrt" weighting, 1 under "none"; E the plane or cylindrical
    steering phasor of the trace's own offset from the source)."""
    data = np.asarray(data, float)
    x = np.asarray(offsets, float)
    c = np.asarray(phase_vel, float)
    u, f, _, _, _ = _band(data, dt, f_range, n)
    a = u * x[:, None] if weighting == "sqrt" else u
    out = np.zeros((len(lo), f.size, c.size), dtype=complex)
    for g in range(f.size):
        if steering == "plane":
            phi = ((f[g] * -TWO_PI) / c)[None, :] * x[:, None]
            conj_e = np.cos(phi) - 1j * np.sin(phi)
        else:
            theta = hankel_phase(((f[g] * TWO_PI) / c)[None, :] * x[:, None])
            conj_e = np.cos(theta) + 1j * np.sin(theta)
        beam = range_sums(a[:, g, None] * conj_e, lo, hi, window)
        out[:, g, :] = np.abs(beam) ** 2
    return f, out


def sweep_slant_stack(data, offsets, phase_vel, dt, f_range, n, lo, hi, window):
    """Slant-stack images of the windows: per slowness 1 / c the tau-p
    column is the trapezoid rule over the window's segments of the
    interpolated amplitudes, summed like the phase shift's, then Fourier
    transformed over intercept time (the gather's sample times)."""
    data = np.asarray(data, float)
    x = np.asarray(offsets, float)
    c = np.asarray(phase_vel, float)
    nx, nt = data.shape
    time = np.arange(nt, dtype=float) * dt
    N = max(n, nt)
    first, stop = band_bins(f_range[0], f_range[1], dt, N)
    f = frequencies(first, stop, dt, N)
    out = np.zeros((len(lo), f.size, c.size), dtype=complex)
    for k in range(c.size):
        p = 1.0 / c[k]
        amp = np.array([interp(data[i], ((x[i] * p + time) - time[0]) / dt) for i in range(nx)])
        segment = ((x[1:] - x[:-1])[:, None] * (amp[:-1] + amp[1:])) * 0.5
        panel = range_sums(segment, lo, np.asarray(hi) - 1, window - 1)
        out[:, :, k] = (np.fft.rfft(panel, n=N, axis=1) * dt)[:, first:stop]
    return f, out
