"""_phase_shift against two NumPy formulations of the same estimator.

literal: the rotated spectra P (traces x frequencies x velocities) formed in
    memory, then the trapezoid over the traces, pair by pair.
best:    what a careful NumPy user writes: the trapezoid folded into one weight
    per trace, and per frequency one contraction over the traces of the
    weighted unit spectra with the cosine and sine matrices (traces x
    velocities).

Single-threaded. Prints time ratios, peak memory and the largest deviation of
_phase_shift from the direct evaluation (the literal formulation fed with the
module's own FFT), relative to the largest |V| of each row.

Peak memory is measured for each contender in a fresh interpreter with a fixed
malloc mmap threshold: in a long-lived process glibc keeps memory freed by
earlier calls resident and hands it out again, which hides a call's growth.

    PYTHONPATH=build/dev python3 bench/bench_phase_shift.py [masw] [das]
"""
from __future__ import annotations

import os
from functools import partial

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import subprocess  # noqa: E402
import sys  # noqa: E402

import numpy as np  # noqa: E402

import _molvak  # noqa: E402
from harness import peak_memory_mib, ratio, report  # noqa: E402
from workloads import WORKLOADS  # noqa: E402

TWO_PI = 6.283185307179586


def band_cut(w, spectrum):
    """The band's unit spectra U (traces, NF) and the frequencies f."""
    N = max(w.n, w.data.shape[1])
    S = spectrum(w.data, N, w.dt)
    df = 1.0 / (w.dt * N)
    f_min, f_max = w.f_range
    first = int(f_min / df)
    first += f_min > first * df
    stop = min(int(f_max / df + 1.0), N // 2 + 1)
    U = S[:, first:stop]
    modulus = np.sqrt(U.real * U.real + U.imag * U.imag)
    return U.real / modulus + 1j * (U.imag / modulus), np.arange(first, stop) * df


def numpy_spectrum(data, N, dt):
    return np.fft.rfft(data, n=N, axis=1) * dt


def module_spectrum(data, N, dt):
    return _molvak._rfft(data, axis=1, stepsize=dt, n=N)


def literal(w, spectrum=numpy_spectrum):
    U, f = band_cut(w, spectrum)
    x, c = w.offsets, w.phase_vels
    theta = ((TWO_PI * x)[:, None, None] / c[None, None, :]) * f[None, :, None]
    P = np.empty(theta.shape, complex)
    np.cos(theta, out=P.real)
    np.sin(theta, out=P.imag)
    del theta
    # P = u * e^{i theta} with the four products of the complex product,
    # trace by trace to keep the temporaries small.
    for i in range(len(x)):
        ur, ui = U.real[i, :, None], U.imag[i, :, None]
        er, ei = P.real[i].copy(), P.imag[i].copy()
        P.real[i] = ur * er - ui * ei
        P.imag[i] = ui * er + ur * ei
    V = np.zeros(P.shape[1:], complex)
    for i in range(1, len(x)):
        V += (P[i] + P[i - 1]) * (abs(x[i] - x[i - 1]) * 0.5)
    return f, V


def best(w):
    U, f = band_cut(w, numpy_spectrum)
    x, c = w.offsets, w.phase_vels
    steps = np.abs(np.diff(x)) * 0.5
    weights = np.zeros(len(x))
    weights[1:] += steps
    weights[:-1] += steps
    phi = (TWO_PI * x)[:, None] / c[None, :]
    A = weights[:, None] * U
    nx = len(x)
    trig = np.empty((2 * nx, len(c)))
    theta = np.empty((nx, len(c)))
    V = np.empty((len(f), len(c)), complex)
    for g in range(len(f)):
        np.multiply(phi, f[g], out=theta)
        np.cos(theta, out=trig[:nx])
        np.sin(theta, out=trig[nx:])
        a = A[:, g]
        # (a_re + i a_im)(cos + i sin), summed over the traces.
        V[g].real = np.concatenate([a.real, -a.imag]) @ trig
        V[g].imag = np.concatenate([a.imag, a.real]) @ trig
    return f, V


def module(w):
    return _molvak._phase_shift(w.data, w.offsets, w.phase_vels, w.dt, f_range=w.f_range, n=w.n)


CONTENDERS = {"molvak": module, "best": best, "literal": literal}


def peak_in_child(name, contender):
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536")
    out = subprocess.run([sys.executable, __file__, "--peak", name, contender], env=env,
                         check=True, capture_output=True, text=True).stdout
    return float(out.split()[-1])


def largest_deviation(V, reference):
    row_max = np.abs(reference).max(axis=1)
    return float((np.abs(V - reference).max(axis=1) / row_max).max())


def main(names):
    rows = []
    for name in names:
        w = WORKLOADS[name]()
        f, V = module(w)
        size = (len(w.offsets), len(f), len(w.phase_vels))
        f_direct, V_direct = literal(w, module_spectrum)
        assert np.array_equal(f, f_direct)
        deviation = largest_deviation(V, V_direct)
        _, V_best = best(w)
        deviation_best = largest_deviation(V_best, V_direct)
        del V_direct, V_best
        mem = {k: peak_in_child(name, k) for k in CONTENDERS}
        r_best, t_best, t_mod = ratio(partial(best, w), partial(module, w), pairs=3)
        r_lit, t_lit, _ = ratio(partial(literal, w), partial(module, w), pairs=3)
        rows.append({
            "workload": name,
            "NX x NF x NC": "x".join(map(str, size)),
            "t_molvak s": t_mod,
            "t_best s": t_best,
            "t_literal s": t_lit,
            "vs best": r_best,
            "vs literal": r_lit,
            "MiB molvak": mem["molvak"],
            "MiB best": mem["best"],
            "MiB literal": mem["literal"],
            "mem/literal": mem["molvak"] / mem["literal"],
            "dev molvak": deviation,
            "dev best": deviation_best,
        })
    report(rows)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--peak"]:
        workload, contender = WORKLOADS[sys.argv[2]](), CONTENDERS[sys.argv[3]]
        print(peak_memory_mib(lambda: contender(workload)))
    else:
        main(sys.argv[1:] or list(WORKLOADS))
