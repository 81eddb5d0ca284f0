"""Every pair of channels in one pass against the pass over the list of all
channels as virtual sources, and the cross-spectra formed in the native
kernel against Hermitian products through BLAS.

Workload (as in the report that asked for it): 200 channels at 250 Hz, a
record of 290 s in memory, 10 s windows side by side, lags to 4 s, whitening
over the whole band, linear stacking. ``molvak.correlate(g, "all", ...)``
computes the 20,100 unique pairs (autocorrelations included) once;
``molvak.correlate(g, list(range(200)), ...)`` the 40,000 ordered pairs.
Both run on one thread and alternate; times are the processor time of the
calling thread (time.thread_time), their ratio measured in this run.

The BLAS comparison forms the cross-spectra of one block of 16 windows
either way: the native kernel (a pass with 16 windows less one with 1,
times 16/15: the products of 15 windows, with their forward transforms),
or ``matmul`` of the (bins, windows, channels) spectra with their conjugate
transposes in chunks of bins (a rank-16 update of every bin's channels x
channels matrix; OpenBLAS on one thread), with and without rearranging the
result into one spectrum per pair, which the per-pair inverse transforms
need.

Run: python bench/bench_allpairs.py [--channels N] [--seconds S] [--pairs K]
"""
from __future__ import annotations

import os

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import argparse  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from functools import partial  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

sys.path[:0] = [str(Path(__file__).resolve().parent)]

import harness  # noqa: E402
import molvak  # noqa: E402
from molvak import _native, interferometry  # noqa: E402

DT, WINDOW, LAG = 0.004, 10.0, 4.0
CLOCK = time.thread_time


def bench_pass(channels: int, seconds: float, pairs: int) -> None:
    rng = np.random.default_rng(0)
    g = molvak.Gather(rng.standard_normal((channels, int(round(seconds / DT)))),
                      offsets=np.arange(channels) * 2.0, dt=DT)
    every = partial(molvak.correlate, g, "all", WINDOW, max_lag=LAG, workers=1)
    listed = partial(molvak.correlate, g, list(range(channels)), WINDOW, max_lag=LAG, workers=1)
    ratio, t_list, t_all = harness.ratio(listed, every, pairs, CLOCK)
    harness.report([{"record": f"{channels} channels x {seconds:g} s",
                     "all channels as sources s": t_list, "all pairs s": t_all,
                     "ratio": ratio}])


def bench_blas(channels: int) -> None:
    rng = np.random.default_rng(1)
    s = interferometry.settings(WINDOW, DT, max_lag=LAG)
    nt = s.samples
    pairs = interferometry.channel_pairs(np.arange(channels, dtype=float))
    kernel = {}
    for w in (1, 16):
        block = rng.standard_normal((w, channels, nt))
        kernel[w] = harness.best_time(partial(
            _native._correlate_stack, block, pairs, s.nfft, s.max_lag, taper=s.taper_window(),
            whiten=s.whitening_weights()), 2, CLOCK)
    native = (kernel[16] - kernel[1]) * 16 / 15
    spectra = np.fft.rfft(rng.standard_normal((16, channels, nt)), n=s.nfft)
    bins = spectra.shape[-1]
    upper = np.triu_indices(channels)
    out = np.empty((len(pairs), bins), dtype=np.complex128)

    def blas(scatter: bool, chunk: int = 32) -> None:
        for f0 in range(0, bins, chunk):
            a = np.ascontiguousarray(spectra[:, :, f0:f0 + chunk].transpose(2, 0, 1))
            c = np.matmul(a.conj().transpose(0, 2, 1), a)
            if scatter:
                out[:, f0:f0 + chunk] = c[:, upper[0], upper[1]].T

    gemm = harness.best_time(partial(blas, False), 1, CLOCK)
    both = harness.best_time(partial(blas, True), 1, CLOCK)
    harness.report([{"cross-spectra of 16 windows": f"{channels} channels, {bins} bins",
                     "native s": native, "BLAS products s": gemm,
                     "BLAS + one spectrum per pair s": both}])


def main(argv: list) -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--channels", type=int, default=200)
    parser.add_argument("--seconds", type=float, default=290.0)
    parser.add_argument("--pairs", type=int, default=1)
    args, _ = parser.parse_known_args(argv)     # workload names from run.py are ignored
    bench_pass(args.channels, args.seconds, args.pairs)
    bench_blas(args.channels)
    print("(processor time of one thread; ratio: the list of sources over all pairs)")


if __name__ == "__main__":
    main(sys.argv[1:])
