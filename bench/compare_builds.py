"""Two builds of the native module on the same calls: how much faster one
is than the other, measured in one run.

    python bench/compare_builds.py BEFORE_DIR [AFTER_DIR] [--pairs N]

BEFORE_DIR (and AFTER_DIR) is a folder holding a built `_molvak` extension,
as tools/dev-build.sh makes one (for example of an older commit checked out
in a worktree); without AFTER_DIR the installed module is the other side.
Each call runs in a fresh child process per build, the two builds taking
turns; a child times its call on its own thread's processor time (best of a
few calls after one warm-up), so other processes on a shared machine do not
inflate it. The ratio is the median over the pairs of before / after.

Calls: the tau-p transform (intercept times one sample apart from 0, the
transform's default grid), the slant-stack spectrum and the real FFT along
the traces on the `masw` and `das` workloads of bench/workloads.py, with the
workloads' own settings (`--functions` picks some).
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

CHILD = r"""
import json, sys, time
sys.path.insert(0, {bench!r})
import numpy as np
import _molvak
from workloads import WORKLOADS
w = WORKLOADS[{workload!r}]()
calls = {{
    "_radon_transform": lambda: _molvak._radon_transform(w.data, w.offsets, 1.0 / w.phase_vels,
                                                         w.dt, 0.0),
    "_disp_slantstack": lambda: _molvak._disp_slantstack(w.data, w.offsets, w.time, w.phase_vels,
                                                         w.dt, f_range=w.f_range, n=w.n),
    "_rfft": lambda: _molvak._rfft(w.data, axis=1, n=w.n),
}}
call = calls[{function!r}]
call()
best = float("inf")
for _ in range({repeats}):
    start = time.thread_time()
    call()
    best = min(best, time.thread_time() - start)
print(json.dumps({{"module": _molvak.__file__, "seconds": best}}))
"""

FUNCTIONS = ("_radon_transform", "_disp_slantstack", "_rfft")


def time_call(build: str | None, workload: str, function: str, repeats: int) -> tuple[str, float]:
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
    if build is not None:
        env["PYTHONPATH"] = os.pathsep.join([build, env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    code = CHILD.format(bench=str(HERE), workload=workload, function=function, repeats=repeats)
    out = subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True,
                         text=True).stdout
    result = json.loads(out.strip().splitlines()[-1])
    return result["module"], float(result["seconds"])


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("before", help="folder holding the older build of _molvak")
    parser.add_argument("after", nargs="?", help="folder holding the newer build (default: installed)")
    parser.add_argument("--pairs", type=int, default=5)
    parser.add_argument("--workloads", nargs="+", default=["masw", "das"])
    parser.add_argument("--functions", nargs="+", default=list(FUNCTIONS), choices=FUNCTIONS)
    args = parser.parse_args(argv)
    before = str(Path(args.before).resolve())
    after = str(Path(args.after).resolve()) if args.after else None
    rows = []
    for workload in args.workloads:
        repeats = 5 if workload == "masw" else 3
        for function in args.functions:
            ratios, t_before, t_after = [], [], []
            for _ in range(args.pairs):
                mod_b, b = time_call(before, workload, function, repeats)
                mod_a, a = time_call(after, workload, function, repeats)
                if Path(mod_b).resolve() == Path(mod_a).resolve():
                    raise SystemExit(f"both sides imported {mod_b}: give a folder with its own build")
                t_before.append(b)
                t_after.append(a)
                ratios.append(b / a)
            rows.append((function, workload, statistics.median(t_before),
                         statistics.median(t_after), statistics.median(ratios)))
    print(f"before: {before}\nafter:  {after or 'the installed module'}")
    print(f"{'function':<18}{'case':<6}{'before s':>10}{'after s':>10}{'speed-up':>10}")
    for function, workload, b, a, r in rows:
        print(f"{function:<18}{workload:<6}{b:>10.4f}{a:>10.4f}{r:>10.2f}")
    print("(processor time of the calling thread, best of a few calls per child; "
          "median over the pairs)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
