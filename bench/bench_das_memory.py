"""Peak memory of the windowed passive pipeline on a DAS record and on one
ten times longer: each run in a fresh process, its peak resident set read
from getrusage.

Records: the synthetic ambient noise of the README (200 channels every 2 m,
250 Hz, DASDAE files of 60 s) of 60 s and of 600 s, written once into
DIR (default: a folder in the system's temporary directory, kept for later
runs). Each process runs molvak.virtual_gather over the folder (20 s
windows every 10 s, lags to 4 s, one virtual source); a third process only
imports molvak and DASCore and opens the short record, which is the fixed
cost that every run carries.

Run: python bench/bench_das_memory.py [--dir DIR]
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

CHILD = r"""
import json, resource, sys, warnings
import molvak
folder, mode = sys.argv[1], sys.argv[2]
if mode == "open":
    molvak.open_record(folder)
else:
    g = molvak.virtual_gather(folder, 0, 20.0, step=10.0, max_lag=4.0)
    assert g.headers["windows"] > 0
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
print(json.dumps({"peak_mib": peak}))
"""


def ensure(folder: Path, seconds: float) -> Path:
    from molvak import synthetic
    if not folder.is_dir() or not any(folder.glob("*.h5")):
        print(f"writing {seconds:g} s of ambient noise to {folder} ...", flush=True)
        synthetic.write_ambient_noise(folder, seconds, file_length=60.0, seed=0)
    return folder


def peak(folder: Path, mode: str) -> float:
    out = subprocess.run([sys.executable, "-c", CHILD, str(folder), mode], check=True,
                         capture_output=True, text=True, env={**os.environ,
                                                              "OMP_NUM_THREADS": "1"})
    return float(json.loads(out.stdout.strip().splitlines()[-1])["peak_mib"])


def main(argv: list) -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "molvak-das-bench"))
    args, _ = parser.parse_known_args(argv)     # workload names from run.py are ignored
    root = Path(args.dir)
    short = ensure(root / "noise_60s", 60.0)
    long = ensure(root / "noise_600s", 600.0)
    base = peak(short, "open")
    a = peak(short, "virtual_gather")
    b = peak(long, "virtual_gather")
    data_mib = 200 * 150000 * 4 / 2**20
    print(f"peak RSS, imports and opening the record only: {base:.0f} MiB")
    print(f"peak RSS, virtual gather of 60 s:  {a:.0f} MiB")
    print(f"peak RSS, virtual gather of 600 s: {b:.0f} MiB "
          f"(the 600 s record holds {data_mib:.0f} MiB of float32 samples)")
    print(f"growth for a record 10x longer: {100.0 * (b / a - 1.0):+.1f} % "
          f"(above the fixed cost: {a - base:.0f} MiB and {b - base:.0f} MiB)")


if __name__ == "__main__":
    main(sys.argv[1:])
