"""Peak memory of a 1000-channel correlation run on a float32 DAS record,
with the windows read and correlated in single precision (as the package
does) and with them converted to float64 first (as it did before), each in
a fresh process, peak resident set from getrusage, in one run.

Record: the synthetic ambient noise of the README with 1000 channels every
2 m at 250 Hz, 120 s in two DASDAE files of 60 s (float32), written once
into DIR (default: a folder in the system's temporary directory, kept).
Each process runs molvak.correlate over the folder: 10 s windows, lags to
4 s, virtual sources at channels 0 and 500, blocks of 4 windows. A third
process only imports molvak and DASCore and opens the record.

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
print(json.dumps(out))
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
        from molvak import synthetic
        print(f"writing 120 s of 1000-channel ambient noise to {folder} ...", flush=True)
        synthetic.write_ambient_noise(folder, 120.0, file_length=60.0, channels=1000, seed=0)
    base = run(folder, "open")["peak_mib"]
    double = run(folder, "float64")
    single = run(folder, "float32")
    print(f"peak RSS, imports and opening the record only: {base:.0f} MiB")
    print(f"peak RSS, windows in float64: {double['peak_mib']:.0f} MiB "
          f"({double['peak_mib'] - base:.0f} MiB above that)")
    print(f"peak RSS, windows in float32: {single['peak_mib']:.0f} MiB "
          f"({single['peak_mib'] - base:.0f} MiB above that)")
    print(f"same stacks: {single['checksum'] == double['checksum']}")


if __name__ == "__main__":
    main(sys.argv[1:])
