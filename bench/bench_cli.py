"""Peak memory of `molvak image` over 1 and over 40 files, and what Ctrl-C
halfway through leaves on disk.

Each run is its own process; its peak resident memory is the kernel's
high-water mark for the waited child (getrusage RUSAGE_CHILDREN, read in a
fresh wrapper process per run). The gathers are 40 copies of a synthetic
24-channel shot of 2000 samples at 1 ms, imaged by phase shift at 0.25 Hz
over 1-100 Hz with 1501 velocities: 397 x 1501 complex values, 9.5 MB per
image, plus its picture.

Run: python bench/bench_cli.py [--files 40] [--no-plot]
"""
from __future__ import annotations

import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE)]

import harness  # noqa: E402
from molvak import DispersionCurve, DispersionImage, synthetic  # noqa: E402

GRID = ["--quiet", "--df", "0.25", "--vmin", "50", "--vmax", "800", "--dv", "0.5"]


def survey(folder: Path, count: int) -> None:
    folder.mkdir()
    offsets = 4.0 + 2.0 * np.arange(24)
    g = synthetic.make_gather(offsets, 1e-3, 2000, synthetic.ExponentialCurve(), 20.0,
                              noise=0.01, seed=0)
    for k in range(count):
        np.savez(folder / f"shot{k:02d}.npz", data=g.data, offsets=offsets, dt=1e-3)


def env() -> dict:
    return {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def peak_rss_mib(args: list[str]) -> float:
    script = ("import resource, subprocess, sys\n"
              "subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)\n"
              "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
    done = subprocess.run([sys.executable, "-c", script, sys.executable, "-m", "molvak", *args],
                          env=env(), capture_output=True, text=True, check=True)
    return int(done.stdout) / 1024.0


def interrupted(source: Path, out: Path, extra: list[str]) -> str:
    """Run over the folder, Ctrl-C once half the results are on disk; say
    what is there."""
    count = len(list(source.iterdir()))
    run = subprocess.Popen([sys.executable, "-m", "molvak", "image", str(source), "--out",
                            str(out), *GRID, *extra], env=env(), stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True,
                           preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    while len(list(out.glob("*.csv"))) < count // 2 and run.poll() is None:
        time.sleep(0.05)
    run.send_signal(signal.SIGINT)
    stdout, stderr = run.communicate()
    complete = 0
    for path in out.iterdir():
        if path.suffix == ".csv":
            DispersionCurve.from_csv(path)
        elif path.suffix == ".npz":
            DispersionImage.load(path)
        else:
            assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        complete += 1
    announced = len(re.findall(r"^wrote ", stdout, re.M))
    return (f"status {run.returncode}; {complete} files on disk, all complete, "
            f"{announced} announced; last line: {stderr.splitlines()[-1]!r}")


def main(argv: list[str]) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("workloads", nargs="*", help="ignored (bench/run.py passes names)")
    parser.add_argument("--files", type=int, default=40)
    parser.add_argument("--no-plot", action="store_true", help="no pictures")
    args = parser.parse_args(argv)
    extra = ["--no-plot"] if args.no_plot else []
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        survey(root / "in", args.files)
        one = peak_rss_mib(["image", str(root / "in" / "shot00.npz"), "--out",
                            str(root / "one"), *GRID, *extra])
        many = peak_rss_mib(["image", str(root / "in"), "--out", str(root / "many"),
                             *GRID, *extra])
        harness.report([
            {"run": "1 file", "peak RSS MiB": one, "vs 1 file": 1.0},
            {"run": f"{args.files} files", "peak RSS MiB": many, "vs 1 file": many / one}])
        print("Ctrl-C halfway:", interrupted(root / "in", root / "cut", extra))


if __name__ == "__main__":
    main(sys.argv[1:])
