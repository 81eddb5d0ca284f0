"""_FDBF against two NumPy formulations of frequency-domain beamforming.

    python bench/bench_fdbf.py [masw|das ...]

Both workloads, plane and cylindrical steering, offset ("sqrt") weighting,
one thread everywhere. The contenders:

* literal: the textbook contraction np.einsum("ghi,gij,ghj->gh", Ec, R, E)
  with the whole cross-spectral matrices R (frequencies x traces^2) and
  steering arrays E, Ec (frequencies x velocities x traces) in memory. Its
  cost is traces^2 per (frequency, velocity), so it runs on a reduced band
  only: SUB_BANDS bands of `LITERAL_BINS` bins spread evenly from the start
  to the end of the workload's band (one call each), because its cost per
  bin grows along the band (SciPy's j0 and y0 take longer for larger
  arguments). The module runs on the same bands for the "same band" ratio;
  the "literal/bin" ratio sets the literal form's time per bin there
  against the module's time per bin on the whole band, the FFT and every
  other fixed cost included in both.
* factored: |sum_i w_i U[i,g] conj(E[g,h,i])|^2 as NumPy would do it, the
  steering phasors from np.exp and, for cylindrical waves, scipy.special's
  j0 and y0, built a few bins at a time to bound memory. Whole band.

Ratios are medians over alternating runs (bench/harness.py); "err" is the
largest |P - P_ref| over the largest |P_ref| of the same frequency (SciPy's
j0 and y0 lose phase accuracy for large arguments, which shows under
cylindrical steering). "peak MiB" is what one module call adds to the
resident set of a fresh process, its output included.
"""
from __future__ import annotations

import os
from functools import partial

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import subprocess  # noqa: E402
import sys  # noqa: E402

import numpy as np  # noqa: E402
import scipy.special  # noqa: E402

import _molvak  # noqa: E402
from harness import peak_memory_mib, ratio, report  # noqa: E402
from workloads import WORKLOADS  # noqa: E402

TWO_PI = 6.283185307179586
LITERAL_BINS = {"masw": 10, "das": 1}
SUB_BANDS = 5
CHUNK_ELEMENTS = 1 << 21  # steering elements per block of the factored form


def band(w, f_range):
    """FFT length, first bin and bin count of the band, as the module cuts it."""
    n_fft = max(w.n, w.data.shape[1])
    df = 1.0 / (w.dt * n_fft)
    first = int(f_range[0] / df)
    first += f_range[0] > first * df
    stop = min(int(f_range[1] / df + 1.0), n_fft // 2 + 1)
    return n_fft, max(first, 0), stop, df


def spectrum(w, f_range):
    n_fft, first, stop, df = band(w, f_range)
    u = np.fft.rfft(w.data, n=n_fft, axis=1)[:, first:stop] * w.dt
    return np.arange(first, stop) * df, u


def steering(f, c, x, method):
    """E[g,h,i] of the given frequencies."""
    if method == "plane":
        return np.exp(1j * (((f[:, None, None] * -TWO_PI) / c[None, :, None]) * x))
    kappa = ((f[:, None, None] * TWO_PI) / c[None, :, None]) * x
    theta = np.arctan2(scipy.special.y0(kappa), scipy.special.j0(kappa))
    return np.exp(-1j * theta)


def literal(w, f_range, method):
    f, u = spectrum(w, f_range)
    x = w.offsets
    r = u.T[:, :, None] * u.T.conj()[:, None, :] * (x[:, None] * x[None, :])
    e = steering(f, w.phase_vels, x, method)
    return f, np.einsum("ghi,gij,ghj->gh", e.conj(), r, e)


def factored(w, f_range, method):
    f, u = spectrum(w, f_range)
    x, c = w.offsets, w.phase_vels
    a = (u * x[:, None]).T  # (frequencies, traces)
    p = np.empty((f.size, c.size), complex)
    step = max(1, CHUNK_ELEMENTS // (c.size * x.size))
    for g in range(0, f.size, step):
        part = slice(g, g + step)
        beam = np.matmul(steering(f[part], c, x, method).conj(), a[part, :, None])[:, :, 0]
        p[part] = beam.real**2 + beam.imag**2
    return f, p


def module(w, f_range, method):
    return _molvak._FDBF(w.data, w.offsets, w.phase_vels, w.dt, f_range, method, "sqrt", w.n)


def reduced_bands(w, bins):
    """SUB_BANDS bands of `bins` bins, evenly spread over the workload's band."""
    n_fft, first, stop, df = band(w, w.f_range)
    starts = np.linspace(first, stop - bins, SUB_BANDS).round().astype(int)
    return [((k - 0.5) * df, (k + bins - 0.5) * df) for k in starts]


def each(fn, w, bands, method):
    """fn over several bands: (frequencies, spectrum) stacked along frequency."""
    parts = [fn(w, f_range, method) for f_range in bands]
    return np.concatenate([f for f, _ in parts]), np.concatenate([p for _, p in parts])


def worst(p, ref):
    scale = np.abs(ref).max(axis=1, keepdims=True)
    return float((np.abs(p - ref) / scale).max())


def fresh_peak(name, method):
    """peak_memory_mib of one module call, in a process of its own."""
    out = subprocess.run([sys.executable, __file__, "--peak", name, method],
                         check=True, capture_output=True, text=True)
    return float(out.stdout)


def main(names):
    rows = []
    for name in names:
        w = WORKLOADS[name]()
        bands = reduced_bands(w, LITERAL_BINS[name])
        for method in ("cylindrical", "plane"):
            peak = fresh_peak(name, method)
            f_full, p_full = module(w, w.f_range, method)
            f_red, p_red = each(module, w, bands, method)
            _, p_lit = each(literal, w, bands, method)
            _, p_fac = factored(w, w.f_range, method)
            same, t_lit, t_red = ratio(partial(each, literal, w, bands, method),
                                       partial(each, module, w, bands, method))
            fac, t_fac, t_full = ratio(partial(factored, w, w.f_range, method),
                                       partial(module, w, w.f_range, method))
            per_bin = (t_lit / f_red.size) / (t_full / f_full.size)
            elements = f_full.size * w.phase_vels.size * w.offsets.size
            rows.append({
                "workload": name,
                "steering": method,
                "bins": f"{f_full.size} ({f_red.size})",
                "module s": t_full,
                "ns/elem": t_full / elements * 1e9,
                "literal/bin": per_bin,
                "literal same band": same,
                "factored": fac,
                "err literal": worst(p_red, p_lit),
                "err factored": worst(p_full, p_fac),
                "peak MiB": peak,
            })
    report(rows)
    print(f"literal form on {SUB_BANDS} x {LITERAL_BINS} bins spread over the band; "
          "ns/elem = module time per (frequency, velocity, trace)")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--peak"]:
        import ctypes
        import gc

        _w = WORKLOADS[sys.argv[2]]()
        gc.collect()
        ctypes.CDLL("libc.so.6").malloc_trim(0)  # hand freed heap back: count only the call
        print(peak_memory_mib(lambda: module(_w, _w.f_range, sys.argv[3])))
    else:
        main(sys.argv[1:] or list(WORKLOADS))
