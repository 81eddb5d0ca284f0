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
from scipy.linalg import expm, null_space
from scipy.optimize import brentq


def _psv(k, omega, vp, vs, rho, scale):
    mu = rho * vs ** 2
    lam = rho * vp ** 2 - 2 * mu
    l2m = lam + 2 * mu
    zeta = 4 * mu * (lam + mu) / l2m
    a = np.array([[0.0, k, 1 / mu, 0.0],
                  [-k * lam / l2m, 0.0, 0.0, 1 / l2m],
                  [k * k * zeta - omega ** 2 * rho, 0.0, 0.0, k * lam / l2m],
                  [0.0, -omega ** 2 * rho, -k, 0.0]])
    # stresses in units of `scale` (the similarity diag(1, 1, 1/s, 1/s))
    d = np.array([1.0, 1.0, scale, scale])
    return a * d[None, :] / d[:, None]


def _sh(k, omega, vs, rho, scale):
    mu = rho * vs ** 2
    a = np.array([[0.0, 1 / mu], [k * k * mu - omega ** 2 * rho, 0.0]])
    d = np.array([1.0, scale])
    return a * d[None, :] / d[:, None]


def surface_function(model, c, omega, wave="rayleigh"):
    """The traction determinant (Rayleigh) or traction (Love) at the surface
    of the solutions decaying into the half-space, for phase velocity c."""
    k = omega / c
    scale = k * model.density[-1] * model.vs[-1] ** 2
    if wave == "rayleigh":
        a = _psv(k, omega, model.vp[-1], model.vs[-1], model.density[-1], scale)
        ev = np.linalg.eigvals(a).real
        nu_p, nu_s = sorted(ev)[:2]          # -nu_a < -nu_b < 0
        p = null_space(a - nu_p * np.eye(4))[:, 0]
        s = null_space(a - nu_s * np.eye(4))[:, 0]
        basis = np.stack([p / p[0], s / s[1]], axis=1)
        for i in range(model.layers - 2, -1, -1):
            a = _psv(k, omega, model.vp[i], model.vs[i], model.density[i], scale)
            steps = max(1, int(np.ceil(k * model.thickness[i])))
            step = expm(-a * model.thickness[i] / steps)
            for _ in range(steps):
                q, r = np.linalg.qr(step @ basis)
                basis = q * np.sign(np.diag(r))[None, :]
        return float(np.linalg.det(basis[2:, :]))
    a = _sh(k, omega, model.vs[-1], model.density[-1], scale)
    v = null_space(a - min(np.linalg.eigvals(a).real) * np.eye(2))[:, 0]
    v = v / v[0]
    for i in range(model.layers - 2, -1, -1):
        a = _sh(k, omega, model.vs[i], model.density[i], scale)
        steps = max(1, int(np.ceil(k * model.thickness[i])))
        step = expm(-a * model.thickness[i] / steps)
        for _ in range(steps):
            v = step @ v
            v = v / np.linalg.norm(v)
    return float(v[1])


def phase_velocity(model, frequency, mode=0, wave="rayleigh", points=400):
    """The (mode + 1)-th root from below at each frequency, NaN where there
    are fewer roots below the half-space's Vs."""
    out = []
    lo = 0.6 * model.vs.min() if wave == "rayleigh" else model.vs.min() * (1 - 1e-9)
    hi = model.vs[-1] * (1 - 1e-10)
    # uniform in c, and denser towards the slowest Vs, where roots crowd
    near = model.vs.min() * (1 + np.geomspace(1e-7, 1, points))
    grid = np.union1d(np.linspace(lo, hi, points), near[near < hi])
    for f in np.atleast_1d(frequency):
        omega = 2 * np.pi * f
        values = np.array([surface_function(model, c, omega, wave) for c in grid])
        changes = np.flatnonzero(np.signbit(values[1:]) != np.signbit(values[:-1]))
        if changes.size <= mode:
            out.append(np.nan)
            continue
        j = changes[mode]
        out.append(brentq(lambda c: surface_function(model, c, omega, wave), grid[j], grid[j + 1],
                          xtol=1e-14 * grid[j], rtol=1e-15))
    return np.array(out)


def group_velocity(model, frequency, mode=0, wave="rayleigh", step=1e-4):
    """U = d omega / dk from central differences of the reference's phase
    velocities at f (1 +- step)."""
    f = np.atleast_1d(np.asarray(frequency, dtype=float))
    out = []
    for fi in f:
        fs = np.array([fi * (1 - step), fi * (1 + step)])
        c = phase_velocity(model, fs, mode, wave)
        k = 2 * np.pi * fs / c
        out.append((2 * np.pi * (fs[1] - fs[0])) / (k[1] - k[0]))
    return np.array(out)
