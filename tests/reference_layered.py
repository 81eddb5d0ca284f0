"""An independent dispersion solver for the tests of molvak.layered.

The motion-stress vectors of Aki & Richards (2002, eq. 7.28 for P-SV, 7.24
for SH), carried up through each layer with scipy.linalg.expm of the system
matrix (in steps of at most one wavelength over 2 pi, the span of the two
P-SV solutions orthonormalised after each), from the solutions of the
half-space that decay with depth (the null spaces of A + nu I); a root where
the surface traction vanishes, found by a scan and brentq. Nothing here is
shared with the native code: no compound matrices, no closed-form layer
matrices.
"""
from __future__ import annotations

import numpy as np
from scipy.linalg import expm
from scipy.optimize import brentq


def _psv(k, omega, vp, vs, rho, scale):
    """The P-SV system matrices (n, 4, 4) for wavenumbers k (n,)."""
    mu = rho * vs ** 2
    lam = rho * vp ** 2 - 2 * mu
    l2m = lam + 2 * mu
    zeta = 4 * mu * (lam + mu) / l2m
    a = np.zeros((k.size, 4, 4))
    a[:, 0, 1] = k
    a[:, 0, 2] = 1 / mu
    a[:, 1, 0] = -k * lam / l2m
    a[:, 1, 3] = 1 / l2m
    a[:, 2, 0] = k * k * zeta - omega ** 2 * rho
    a[:, 2, 3] = k * lam / l2m
    a[:, 3, 1] = -omega ** 2 * rho
    a[:, 3, 2] = -k
    # stresses in units of `scale` (the similarity diag(1, 1, 1/s, 1/s))
    d = np.ones((k.size, 4))
    d[:, 2:] = scale[:, None]
    return a * d[:, None, :] / d[:, :, None]


def _sh(k, omega, vs, rho, scale):
    mu = rho * vs ** 2
    a = np.zeros((k.size, 2, 2))
    a[:, 0, 1] = 1 / mu
    a[:, 1, 0] = k * k * mu - omega ** 2 * rho
    a[:, 0, 1] *= scale
    a[:, 1, 0] /= scale
    return a


def _decaying(a, columns):
    """The eigenvectors of the most negative eigenvalues of each matrix,
    the i-th scaled to 1 in component columns[i]."""
    w, v = np.linalg.eig(a)
    order = np.argsort(w.real, axis=1)
    out = []
    for i, comp in enumerate(columns):
        vec = np.take_along_axis(v, order[:, None, i:i + 1], axis=2)[:, :, 0].real
        out.append(vec / vec[:, comp:comp + 1])
    return np.stack(out, axis=2)


def surface_function(model, c, omega, wave="rayleigh"):
    """The traction determinant (Rayleigh) or traction (Love) at the surface
    of the solutions decaying into the half-space, at the phase velocities c
    (an array: one value each)."""
    c = np.atleast_1d(np.asarray(c, dtype=float))
    k = omega / c
    scale = k * model.density[-1] * model.vs[-1] ** 2
    if wave == "rayleigh":
        a = _psv(k, omega, model.vp[-1], model.vs[-1], model.density[-1], scale)
        basis = _decaying(a, (0, 1))                   # P: u_x = 1, SV: u_z = 1
    else:
        a = _sh(k, omega, model.vs[-1], model.density[-1], scale)
        basis = _decaying(a, (0,))
    for i in range(model.layers - 2, -1, -1):
        if wave == "rayleigh":
            a = _psv(k, omega, model.vp[i], model.vs[i], model.density[i], scale)
        else:
            a = _sh(k, omega, model.vs[i], model.density[i], scale)
        steps = max(1, int(np.ceil(k.max() * model.thickness[i])))
        step = expm(-a * (model.thickness[i] / steps))
        for _ in range(steps):
            q, r = np.linalg.qr(step @ basis)
            basis = q * np.sign(np.diagonal(r, axis1=1, axis2=2))[:, None, :]
    if wave == "rayleigh":
        return np.linalg.det(basis[:, 2:, :])
    return basis[:, 1, 0]


def roots(model, frequency, wave="rayleigh", count=3, points=150):
    """The lowest `count` roots below the half-space's Vs at one frequency
    (NaN for the missing ones)."""
    lo = 0.6 * model.vs.min() if wave == "rayleigh" else model.vs.min() * (1 - 1e-9)
    hi = model.vs[-1] * (1 - 1e-10)
    # uniform in c, and denser towards the slowest Vs, where roots crowd
    near = model.vs.min() * (1 + np.geomspace(1e-7, 1, points))
    grid = np.union1d(np.linspace(lo, hi, points), near[near < hi])
    omega = 2 * np.pi * frequency
    values = surface_function(model, grid, omega, wave)
    changes = np.flatnonzero(np.signbit(values[1:]) != np.signbit(values[:-1]))[:count]
    out = np.full(count, np.nan)
    for i, j in enumerate(changes):
        out[i] = brentq(lambda c: surface_function(model, c, omega, wave)[0], grid[j], grid[j + 1],
                        xtol=1e-14 * grid[j], rtol=1e-15)
    return out


def phase_velocity(model, frequency, mode=0, wave="rayleigh", points=150):
    """Mode `mode` (the (mode + 1)-th root from below) at each frequency, NaN
    where there are fewer roots below the half-space's Vs."""
    return np.array([roots(model, f, wave, mode + 1, points)[mode] for f in np.atleast_1d(frequency)])


def group_velocity(model, frequency, mode=0, wave="rayleigh", step=1e-5):
    """U = d omega / dk from central differences of the reference's phase
    velocities at f (1 +- step)."""
    out = []
    for f in np.atleast_1d(np.asarray(frequency, dtype=float)):
        fs = np.array([f * (1 - step), f * (1 + step)])
        c = phase_velocity(model, fs, mode, wave)
        k = 2 * np.pi * fs / c
        out.append((2 * np.pi * (fs[1] - fs[0])) / (k[1] - k[0]))
    return np.array(out)
