"""Gathers per second of molvak.process on the WGHS field records, for 1 and
2 workers: threads on this machine, and a local Dask cluster of worker
processes when Dask is installed.

The workload is the 30 MASW shots of the survey (files 6-20 and 26-40), each
trimmed to 0-0.5 s after the shot and imaged as the published processing
does: cylindrical, sqrt-weighted beamforming, 3-100 Hz at 0.5 Hz, 400
velocities over 100-500 m/s.

Run: python bench/bench_batch.py [--data DIR] [--pairs N] [--no-dask]
(DIR holds wghs/shots; by default ../shared/data/field beside the
repository, or $MOLVAK_FIELD_DATA). Timings alternate between the worker
counts and the medians are reported, since the machine is shared.
"""
from __future__ import annotations

import os

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import argparse  # noqa: E402
import logging  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402
from typing import Any  # noqa: E402

import numpy as np  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE)]

import harness  # noqa: E402
import molvak  # noqa: E402

SHOTS = list(range(6, 21)) + list(range(26, 41))
SETTINGS: dict[str, Any] = dict(velocities=np.linspace(100.0, 500.0, 400), fmin=3.0,
                                fmax=100.0, df=0.5, steering="cylindrical", weighting="sqrt")


def field_root(given: str | None) -> Path:
    if given:
        return Path(given)
    if os.environ.get("MOLVAK_FIELD_DATA"):
        return Path(os.environ["MOLVAK_FIELD_DATA"])
    return HERE.parent.parent / "shared" / "data" / "field"


def load(root: Path) -> list[molvak.Gather]:
    return [molvak.read(root / "wghs" / "shots" / f"{k}.dat").trim(0.0, 0.5) for k in SHOTS]


def main(argv: list[str]) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("workloads", nargs="*", help="ignored (bench/run.py passes names)")
    parser.add_argument("--data", help="directory holding wghs/shots")
    parser.add_argument("--pairs", type=int, default=3, help="timed rounds (default 3)")
    parser.add_argument("--no-dask", action="store_true", help="threads only")
    args = parser.parse_args(argv)

    root = field_root(args.data)
    if not (root / "wghs" / "shots").is_dir():
        print(f"bench_batch: no WGHS records at {root}; give --data or set MOLVAK_FIELD_DATA")
        return
    try:
        t = time.perf_counter()
        gathers = load(root)
        t_read = time.perf_counter() - t
    except ImportError as exc:
        print(f"bench_batch: {exc}")
        return
    n = len(gathers)
    print(f"{n} WGHS shots, {gathers[0].shape[0]} traces x {gathers[0].shape[1]} samples each "
          f"after trimming; read, trimmed in {t_read:.2f} s ({n / t_read:.0f} files/s)")
    print(f"imaging: fdbf, {SETTINGS['velocities'].size} velocities, 3-100 Hz at 0.5 Hz; "
          f"{os.cpu_count()} CPUs")

    serial = molvak.process(gathers, "fdbf", workers=1, **SETTINGS)

    def check(images: list[Any], what: str) -> None:
        if not all(np.array_equal(a.spectrum, b.spectrum) for a, b in zip(images, serial)):
            raise SystemExit(f"{what}: results differ from the serial ones")

    check(molvak.process(gathers, "fdbf", workers=2, **SETTINGS), "threads")
    # threads first, with no cluster alive: idle Dask processes still take
    # CPU time (heartbeats) from a 2-CPU machine
    medians = harness.alternate({
        f"threads, {w} worker{'s' if w > 1 else ''}":
            (lambda w=w: molvak.process(gathers, "fdbf", workers=w, **SETTINGS))
        for w in (1, 2)
    }, args.pairs)
    if not args.no_dask:
        try:
            from distributed import Client, LocalCluster
        except ImportError:
            print("(dask.distributed not installed: threads only)")
        else:
            for w in (1, 2):
                with LocalCluster(n_workers=w, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", silence_logs=logging.ERROR) as cluster, \
                        Client(cluster) as client:
                    check(molvak.process(gathers, "fdbf", client=client, **SETTINGS), "Dask")
                    medians.update(harness.alternate({
                        f"dask, {w} worker process{'es' if w > 1 else ''}":
                            (lambda c=client: molvak.process(gathers, "fdbf", client=c,
                                                             **SETTINGS))}, args.pairs))
    base = medians["threads, 1 worker"]
    rows = [{"run": name, "s per batch": t, "gathers/s": n / t, "vs 1 thread": base / t}
            for name, t in medians.items()]
    harness.report(rows)


if __name__ == "__main__":
    main(sys.argv[1:])
