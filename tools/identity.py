"""Bit-for-bit comparison of two builds of the native module.

    python tools/identity.py dump OUT.npz      # with the build to record on PYTHONPATH
    python tools/identity.py compare A.npz B.npz

`dump` runs the five native functions and the package estimators over the
benchmark workloads and a grid of the test suite's cases (every moveout law,
FFT lengths with small and large prime factors, every axis of N-d input,
both steering methods and weightings, bands that start at bin 0 and end at
the Nyquist bin, one-trace and NaN cases) and stores every output array.
`compare` reports the first difference, byte for byte, and exits non-zero
on any. Run it once per vector path (a build pinned with
-DMOLVAK_FORCE_ISA=scalar or avx2, and an unpinned one) to cover them all.
"""
from __future__ import annotations

import sys
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parent / "bench")]


def _cases():
    import _molvak
    from workloads import WORKLOADS

    rng = np.random.default_rng(20261207)
    for name, make in WORKLOADS.items():
        w = make()
        yield f"{name}/radon", lambda w=w: _molvak._radon_transform(w.data, w.offsets, 1.0 / w.phase_vels, w.dt, 0.0)
        yield f"{name}/slantstack", lambda w=w: _molvak._disp_slantstack(
            w.data, w.offsets, w.time, w.phase_vels, w.dt, f_range=w.f_range, n=w.n)
        yield f"{name}/rfft", lambda w=w: _molvak._rfft(w.data, axis=1, stepsize=w.dt, n=w.n)
        yield f"{name}/phase_shift", lambda w=w: _molvak._phase_shift(
            w.data, w.offsets, w.phase_vels, w.dt, f_range=w.f_range, n=w.n)
        for steering in ("plane", "cylindrical"):
            for weighting in ("none", "sqrt"):
                yield f"{name}/fdbf-{steering}-{weighting}", lambda w=w, s=steering, g=weighting: _molvak._FDBF(
                    w.data, w.offsets, w.phase_vels, w.dt, w.f_range, s, g, w.n)

    # the real FFT: lengths with small and large prime factors (the chirp-z
    # route), padding, every axis, several dimensions, infinite scale
    for length in (1, 2, 3, 5, 8, 17, 64, 97, 100, 243, 1009, 2000, 7919):
        x = rng.standard_normal((3, length))
        for n in (0, 3001):
            yield f"rfft/{length}/{n}", lambda x=x, n=n: _molvak._rfft(x, n=n, stepsize=0.5)
    for shape in ((3, 8), (4, 5, 6), (2, 3, 4, 7), (4999, 32), (1000, 381), (40, 17, 33)):
        x = rng.standard_normal(shape)
        for axis in range(len(shape)):
            yield f"rfft/{shape}/{axis}", lambda x=x, a=axis: _molvak._rfft(x, axis=a, n=0)
    yield "rfft/inf-scale", lambda: _molvak._rfft(np.ones((2, 8)), stepsize=np.inf)

    # tau-p: every moveout law, given and default time axes
    for moveout in (0, 1, 2):
        for nx, nt in ((2, 5), (7, 64), (24, 301), (3, 1)):
            data = rng.standard_normal((nx, nt))
            x = np.sort(rng.uniform(-20.0, 80.0, nx))
            p = np.r_[rng.uniform(-0.02, 0.02, 9), 0.0]
            tau = np.r_[np.linspace(-0.05, 0.4, 37), np.nan, np.inf]
            yield f"radon/{moveout}/{nx}x{nt}", lambda d=data, x=x, p=p, m=moveout: _molvak._radon_transform(
                d, x, p, 0.004, 0.01, moveout_type=m)
            yield f"radon/{moveout}/{nx}x{nt}/tau", lambda d=data, x=x, p=p, t=tau, m=moveout: _molvak._radon_transform(
                d, x, p, 0.004, -0.02, t_eval=t, moveout_type=m)

    # slant stack, phase shift and beamforming over the test suite's bands
    bands = [None, (5.0, 60.0), (None, 30.0), (20.0, None), (0.0, 250.0)]
    for nx, nt, n in ((2, 64, 0), (12, 250, 0), (12, 250, 1000), (5, 97, 211), (1, 50, 0), (40, 64, 128)):
        data = rng.standard_normal((nx, nt))
        x = np.sort(rng.uniform(0.5, 120.0, nx))
        c = np.r_[np.linspace(60.0, 900.0, 37), 35.0, 41.0, 47.0, 4000.0]
        for b, band in enumerate(bands):
            key = f"{nx}x{nt}/{n}/{b}"
            yield f"slantstack/{key}", lambda d=data, x=x, c=c, band=band, n=n: _molvak._disp_slantstack(
                d, x, np.arange(d.shape[1]) * 0.002, c, 0.002, f_range=band, n=n)
            yield f"phase_shift/{key}", lambda d=data, x=x, c=c, band=band, n=n: _molvak._phase_shift(
                d, x, c, 0.002, f_range=band, n=n)
            for steering in ("plane", "cylindrical"):
                for weighting in ("none", "sqrt"):
                    yield f"fdbf/{key}/{steering}/{weighting}", lambda d=data, x=x, c=c, band=band, n=n, s=steering, g=weighting: _molvak._FDBF(
                        d, x, c, 0.002, band, s, g, n)
    # closely spaced velocities (the finer Hankel table), blocks straddling
    # table rows and the asymptotic series, large phases (the direct
    # evaluation of the phase shift), a dead trace (NaN)
    data = rng.standard_normal((9, 50))
    x = np.sort(rng.uniform(0.5, 120.0, 9))
    for name, c, band in (("close", np.arange(800.0, 830.0, 0.25), (20.0, 240.0)),
                          ("tail", np.linspace(60.0, 75.0, 11), (2.0, 240.0)),
                          ("slow", np.r_[1e-3, 0.5, 3.0], None)):
        for steering in ("plane", "cylindrical"):
            yield f"fdbf/{name}/{steering}", lambda c=c, band=band, s=steering: _molvak._FDBF(
                data, x, c, 0.002, band, s, "sqrt", 0)
        yield f"phase_shift/{name}", lambda c=c, band=band: _molvak._phase_shift(data, x, c, 0.002, f_range=band)
    dead = data.copy()
    dead[3] = 0.0
    yield "phase_shift/dead", lambda: _molvak._phase_shift(dead, x, np.linspace(50, 500, 19), 0.002)

    # the package's estimators on its synthetic gather
    import molvak
    from molvak import synthetic

    g = synthetic.default_gather()
    grid = (50, 800, 1)
    yield "pkg/phase_shift", lambda: molvak.phase_shift(g.data, g.offsets, g.dt, velocities=grid, fmin=2, fmax=100, df=0.5)
    yield "pkg/fdbf", lambda: molvak.fdbf(g.data, g.offsets, g.dt, velocities=grid, fmax=100)
    yield "pkg/fdbf-plane", lambda: molvak.fdbf(g.data, g.offsets, g.dt, velocities=grid, fmax=100,
                                                steering="plane", weighting="none")
    yield "pkg/slant_stack", lambda: molvak.slant_stack(g.data, g.offsets, g.dt, velocities=grid, fmax=100)
    yield "pkg/tau_p", lambda: molvak.tau_p(g.data, g.offsets, g.dt, slowness=(0, 0.01, 1e-4))
    yield "pkg/rfft", lambda: molvak.rfft(g.data, g.dt, df=0.5)


def _arrays(result):
    """Every array in a result: tuples, named tuples and objects with array
    attributes (the package's images) are walked."""
    if isinstance(result, np.ndarray):
        return [result]
    if isinstance(result, tuple):
        return [a for item in result for a in _arrays(item)]
    out = []
    for attr in ("frequency", "velocity", "spectrum", "values", "panel", "tau", "slowness"):
        value = getattr(result, attr, None)
        if isinstance(value, np.ndarray):
            out.append(value)
    if not out:
        raise TypeError(f"no arrays in {type(result).__name__}")
    return out


def dump(path: str) -> None:
    store = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with np.errstate(all="ignore"):
            for key, call in _cases():
                for i, a in enumerate(_arrays(call())):
                    store[f"{key}#{i}"] = a
    np.savez(path, **store)
    print(f"{len(store)} arrays written to {path}")


def compare(a_path: str, b_path: str) -> int:
    a, b = np.load(a_path), np.load(b_path)
    keys_a, keys_b = set(a.files), set(b.files)
    bad = 0
    for key in sorted(keys_a ^ keys_b):
        print(f"only in one file: {key}")
        bad += 1
    for key in sorted(keys_a & keys_b):
        x, y = a[key], b[key]
        if x.dtype != y.dtype or x.shape != y.shape or x.tobytes() != y.tobytes():
            bad += 1
            detail = f"{x.dtype}{x.shape} vs {y.dtype}{y.shape}"
            if x.shape == y.shape and x.dtype == y.dtype:
                differ = np.count_nonzero(x.view(np.uint8).reshape(x.size, -1) != y.view(np.uint8).reshape(y.size, -1))
                detail += f", {differ} bytes differ"
            print(f"DIFFERENT {key}: {detail}")
    print(f"{len(keys_a & keys_b)} arrays compared, {bad} differences")
    return 1 if bad else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["dump"] and len(sys.argv) == 3:
        dump(sys.argv[2])
    elif sys.argv[1:2] == ["compare"] and len(sys.argv) == 4:
        sys.exit(compare(sys.argv[2], sys.argv[3]))
    else:
        sys.exit(__doc__)
