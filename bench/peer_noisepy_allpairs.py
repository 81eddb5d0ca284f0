"""The peer's side of bench/bench_peer_allpairs.py: NoisePy's cross-correlation
of every pair of channels of a record handed over as a NumPy .npy file, run
through its documented functions under Python 3.10 (the environment made by
tools/peer-env.sh).

NoisePy's high-level ``cross_correlate(raw_store, config, cc_store)`` cuts
windows from chunks of ``inc_hours`` of record, a whole number of hours, and
yields no window from a record shorter than the chunk: a record of a few
minutes cannot go through it. This script therefore runs the per-window
functions of its correlation step (``noise_module``), as its step-by-step
workflow chains them: ``cut_trace_make_stat`` (windows of ``cc_len`` every
``step`` seconds, with its statistics), ``noise_processing`` (the windows'
spectra, whitened with ``freq_norm="rma"``) for every channel, then for every
source channel ``smooth_source_spect`` once and ``correlate`` (the stack of
the windows' cross-spectra, transformed to lags up to ``maxlag``) for every
receiver channel at or after it: every unique pair once, autocorrelations
included, kept in memory (no file written). The chunk (``inc_hours``) is set
to the record's length in hours, which the configuration's own check refuses
and these functions take.

The process serves the timing loop of the bench on its standard input, so the
two packages' runs alternate:
    "run"          one timed pass; prints {"time": s, "system": s, "pairs": n,
                   "windows": n} (system: the part of time spent in the system)
    "pairs I,J .." writes the stacked correlations of these pairs (i <= j) to
                   WORKDIR/peer_pairs.npz; prints {"out": path}
Times are the processor time of this process (all its threads), with one
thread everywhere. The first line printed, once the functions are compiled
and warmed up on a small part of the record, is {"ready": true, "windows": n}.

Run (by bench_peer_allpairs.py): python3.10 bench/peer_noisepy_allpairs.py
    RECORD.npy WORKDIR --dt DT --window S --step S --max-lag S --fmin HZ --fmax HZ
    --smooth N
"""
from __future__ import annotations

import os

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
            "NUMBA_NUM_THREADS"):
    os.environ[var] = "1"

import argparse  # noqa: E402
import json  # noqa: E402
import logging  # noqa: E402
import resource  # noqa: E402
import sys  # noqa: E402
from datetime import datetime, timedelta, timezone  # noqa: E402
from pathlib import Path  # noqa: E402
from typing import Any  # noqa: E402

import numpy as np  # noqa: E402

START = datetime(2024, 1, 1, tzinfo=timezone.utc)


def config(args: argparse.Namespace, samples: int) -> Any:
    """NoisePy's configuration for one pass over the record: one component,
    no instrument response, no rotation, no window rejected by amplitude,
    whitening ("rma") between fmin and fmax, plain cross-correlation, linear
    stack of all windows."""
    from noisepy.seis.io.datatypes import ConfigParameters

    duration = samples * args.dt
    params = ConfigParameters(
        start_date=START, end_date=START + timedelta(seconds=duration),
        sampling_rate=1.0 / args.dt, cc_len=args.window, step=args.step, maxlag=args.max_lag,
        freqmin=args.fmin, freqmax=args.fmax, freq_norm="rma", time_norm="no",
        cc_method="xcorr", smooth_N=args.smooth, smoothspect_N=args.smooth,
        substack=False, max_over_std=10**9, ncomp=1, rm_resp="no", acorr_only=False,
        xcorr_only=False, stack_method="linear", rotation=False, correction=False)
    return params.model_copy(update={"inc_hours": duration / 3600.0})


def fit_chunk(params: Any, channel: Any) -> tuple[Any, int]:
    """The configuration with the largest chunk, at most the record's length
    in hours, that NoisePy finds no longer than the record (the record's
    length in hours may convert back to a few ulps more samples than it has),
    and the number of windows it cuts."""
    from noisepy.seis import noise_module as nm

    hours = params.inc_hours
    for _ in range(64):
        trial = params.model_copy(update={"inc_hours": hours})
        windows = len(nm.cut_trace_make_stat(trial, channel)[2])
        if windows:
            return trial, windows
        hours = float(np.nextafter(hours, 0.0))
    raise SystemExit("NoisePy cuts no window from the record")


def channel_data(data: np.ndarray, dt: float) -> list:
    """Every channel as NoisePy's ChannelData (an ObsPy trace of float32, as
    its stores hand them over)."""
    import obspy
    from noisepy.seis.io.datatypes import ChannelData

    t0 = obspy.UTCDateTime(START)
    return [ChannelData(obspy.Stream([obspy.Trace(
        np.ascontiguousarray(row, dtype=np.float32),
        header={"network": "MV", "station": f"C{i:03d}", "channel": "HHZ", "delta": dt,
                "starttime": t0})]))
        for i, row in enumerate(data)]


def all_pairs(params: Any, channels: list) -> tuple[dict, int]:
    """Stacked correlations of every pair (i, j), i <= j: {(i, j): lags}."""
    from noisepy.seis import noise_module as nm

    spectra = []
    times = None
    for ch in channels:
        _, times, windows = nm.cut_trace_make_stat(params, ch)
        spectra.append(nm.noise_processing(params, windows))
    nfft = spectra[0].shape[1]
    half = nfft // 2
    spectra = [s[:, :half] for s in spectra]
    out = {}
    for i, source in enumerate(spectra):
        smoothed = nm.smooth_source_spect(params, source)
        for j in range(i, len(spectra)):
            corr, _, _ = nm.correlate(smoothed, spectra[j], params, nfft, times)
            out[i, j] = corr
    return out, spectra[0].shape[0]


def cpu_time() -> tuple[float, float]:
    """Processor time of this process (all its threads), and its system part."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    return own.ru_utime + own.ru_stime, own.ru_stime


def main(argv: list) -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("record")
    parser.add_argument("workdir")
    for name in ("--dt", "--window", "--step", "--max-lag", "--fmin", "--fmax"):
        parser.add_argument(name, type=float, required=True)
    parser.add_argument("--smooth", type=int, default=10)
    args = parser.parse_args(argv)
    logging.disable(logging.WARNING)

    data = np.load(args.record)
    params = config(args, data.shape[1])
    channels = channel_data(data, args.dt)
    params, windows = fit_chunk(params, channels[0])
    all_pairs(params, channels[:2])            # compiles and warms up
    print(json.dumps({"ready": True, "windows": windows}), flush=True)
    result: dict = {}
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words[0] == "run":
            result = {}
            t, system = cpu_time()
            result, cut = all_pairs(params, channels)
            t_end, system_end = cpu_time()
            print(json.dumps({"time": t_end - t, "system": system_end - system,
                              "pairs": len(result), "windows": cut}), flush=True)
        elif words[0] == "pairs":
            keys = [tuple(int(v) for v in w.split(",")) for w in words[1:]]
            path = Path(args.workdir) / "peer_pairs.npz"
            np.savez(path, **{f"{i}_{j}": np.asarray(result[i, j], dtype=np.float64)
                              .reshape(-1) for i, j in keys})
            print(json.dumps({"out": str(path)}), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
