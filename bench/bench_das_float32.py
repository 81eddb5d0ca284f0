"""Peak memory of a 1000-channel correlation run on a float32 DAS record,
with the windows read and correlated in single precision (as the package
does: "after") and with them read as float64 (as it did before: "before"),
each in a fresh process, peak resident set from getrusage, in one run.

Record: the synthetic ambient noise of the README with 1000 channels every
2 m at 250 Hz, 120 s in two DASDAE files of 60 s (float32), written once
into DIR (default: a folder in the system's temporary directory, kept) by
a process of its own (a process started by one that grew large would
inherit its peak). Each process runs molvak.correlate over the folder:
10 s windows, lags to 4 s, virtual sources at channels 0 and 500, blocks of
4 windows. A third process only imports molvak and DASCore and opens the
record: the baseline. Above it, each run holds the stack of the
correlations (float64, the same in both) and the windows; the part for the
windows is the peak less the baseline and the stack.

Run: python bench/bench_das_float32.py [--dir DIR]
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
import json, resource, sys
import numpy as np
import molvak
from molvak import interferometry
from molvak.io import records
folder, mode = sys.argv[1], sys.argv[2]
if mode == "open":
    molvak.open_record(folder)
    result = None
else:
    if mode == "float64":
        # the windows read as float64, as before single precision was kept
        plain = records.iter_blocks
        interferometry.iter_blocks = lambda *a, **k: plain(*a, **{**k, "single": False})
    result = molvak.correlate(folder, [0, 500], 10.0, max_lag=4.0)
    assert result.count == 12
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
out = {"peak_mib": peak}
if result is not None:
    out["checksum"] = float(np.abs(result.linear).sum())
    out["stack_mib"] = result.linear.nbytes / 2.0**20
    out["window_mib"] = result.positions.size * result.settings.samples * 4 / 2.0**20
print(json.dumps(out))
"""

WRITE = r"""
import sys
from molvak import synthetic
synthetic.write_ambient_noise(sys.argv[1], 120.0, file_length=60.0, channels=1000, seed=0)
"""


def run(folder: Path, mode: str) -> dict:
    out = subprocess.run([sys.executable, "-c", CHILD, str(folder), mode], check=True,
                         capture_output=True, text=True,
                         env={**os.environ, "OMP_NUM_THREADS": "1"})
    result: dict = json.loads(out.stdout.strip().splitlines()[-1])
    return result


def main(argv: list) -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", default=os.path.join(tempfile.gettempdir(),
                                                      "molvak-das1000-bench"))
    args, _ = parser.parse_known_args(argv)
    folder = Path(args.dir)
    if not folder.is_dir() or not any(folder.glob("*.h5")):
        print(f"writing 120 s of 1000-channel ambient noise to {folder} ...", flush=True)
        subprocess.run([sys.executable, "-c", WRITE, str(folder)], check=True)
    base = run(folder, "open")["peak_mib"]
    before = run(folder, "float64")
    after = run(folder, "float32")
    print(f"peak RSS, imports and opening the record only (baseline): {base:.0f} MiB")
    parts = {}
    for name, r in (("before, windows in float64", before), ("after, windows in float32", after)):
        above = r["peak_mib"] - base
        windows = above - r["stack_mib"]
        parts[name] = (above, windows)
        print(f"peak RSS, {name}: {r['peak_mib']:.0f} MiB, {above:.0f} MiB above the "
              f"baseline: the stack of the correlations {r['stack_mib']:.0f} MiB and "
              f"{windows:.0f} MiB for the windows (blocks of 4 windows of "
              f"{r['window_mib']:.1f} MiB in float32)")
    (above64, windows64), (above32, windows32) = parts.values()
    print(f"after / before: {above32 / above64:.2f} of the peak above the baseline, "
          f"{windows32 / windows64:.2f} of the part for the windows")
    print(f"same stacks: {after['checksum'] == before['checksum']}")

if __name__ == "__main__":
    main(sys.argv[1:])
