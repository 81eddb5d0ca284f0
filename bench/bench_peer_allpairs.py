"""Every pair of channels of one record: molvak's ``correlate(g, "all", ...)``
against NoisePy (PyPI ``noisepy-seis`` 0.9.93, Python 3.10 only), timed in
one run, with the agreement of their stacked correlations.

Workload (as in bench_allpairs.py): the README's ambient noise
(``molvak.synthetic.ambient_noise``), 200 channels 2 m apart at 250 Hz, a
record of 290 s handed to the peer as a NumPy .npy file; 10 s windows side by
side, lags to 4 s, whitening between --fmin and --fmax, linear stacking of
every unique pair (autocorrelations included: 20,100 pairs).

The peer runs in its own Python 3.10 (tools/peer-env.sh makes .venv-peer;
--peer-python or MOLVAK_PEER_PYTHON names another), through
bench/peer_noisepy_allpairs.py, which says which of its functions it runs and
why. That process stays up and serves the timing loop, so the two packages'
passes alternate: `--repeat` pairs of passes after one warm-up pass each.
Times are the processor time of each process (time.process_time here, getrusage
there), one thread everywhere (OMP/OPENBLAS/MKL/NUMBA_NUM_THREADS=1, workers=1);
the median of each package's passes and their spread (min..max) are printed,
and the ratio as the median of the per-pair ratios; then the part of those
times spent in the system (page faults of fresh memory, mostly).

Settings as close as the peer allows, and what differs:
- windows: NoisePy cuts windows of cc_len every `step` seconds but leaves out
  the last one that ends at the record's end (28 windows of 10 s in 290 s);
  molvak is given stop = as many windows as NoisePy reports, so both stack
  the same windows;
- whitening: NoisePy's "rma" divides each window's spectrum by its running
  mean amplitude (smooth_N points) between freqmin and freqmax, tapering the
  band's edges; molvak is given whiten=(fmin, fmax) and a running-mean width
  of the same number of Hz (`--smooth` points at the peer's frequency step);
- transforms: NoisePy transforms each window at its own length (2500 samples,
  a circular correlation) and returns float32; molvak pads to at least twice
  the window (a linear correlation) in float64;
- taper and detrending of the windows follow each package's defaults (molvak:
  a 5 % cosine taper; NoisePy: its own).
Agreement: the correlation coefficient between the two stacked correlations
of a few pairs (channels near and far apart, and an autocorrelation), at the
best of a few samples of shift (NoisePy's lags may sit one sample off).

Run: .venv/bin/python bench/bench_peer_allpairs.py [--channels N] [--seconds S]
    [--repeat K] [--peer-python PATH]
"""
from __future__ import annotations

import os

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
            "NUMBA_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import argparse  # noqa: E402
import json  # noqa: E402
import shutil  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from functools import partial  # noqa: E402
from pathlib import Path  # noqa: E402
from typing import IO, Any, Callable  # noqa: E402

import numpy as np  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE)]

import harness  # noqa: E402
import molvak  # noqa: E402
from molvak import synthetic  # noqa: E402

DT, WINDOW, LAG, SPACING = 0.004, 10.0, 4.0, 2.0
SHIFTS = 3      # samples of shift searched for the best agreement
CLOCK = time.process_time


def peer_python(given: str | None) -> str | None:
    """The peer's interpreter: --peer-python, $MOLVAK_PEER_PYTHON, or the
    .venv-peer that tools/peer-env.sh makes; None when there is none."""
    if given:
        return given if shutil.which(given) else None
    for candidate in (os.environ.get("MOLVAK_PEER_PYTHON"),
                      str(HERE.parent / ".venv-peer" / "bin" / "python")):
        if candidate and shutil.which(candidate):
            return candidate
    return None


class Peer:
    """The peer's process, serving one timed pass per "run"."""

    def __init__(self, python: str, record: Path, args: argparse.Namespace) -> None:
        command = [python, str(HERE / "peer_noisepy_allpairs.py"), str(record),
                   str(record.parent), "--dt", str(DT), "--window", str(WINDOW),
                   "--step", str(WINDOW), "--max-lag", str(LAG), "--fmin", str(args.fmin),
                   "--fmax", str(args.fmax), "--smooth", str(args.smooth)]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, env=dict(os.environ))
        self.windows = int(self.ask(None)["windows"])     # the windows NoisePy cuts

    def ask(self, line: str | None) -> dict:
        stdin: IO[str] | None = self.process.stdin
        stdout: IO[str] | None = self.process.stdout
        assert stdin is not None and stdout is not None
        if line is not None:
            stdin.write(line + "\n")
            stdin.flush()
        reply = stdout.readline()
        if not reply:
            raise SystemExit(f"the peer's process ended (exit code {self.process.wait()}); "
                             f"its messages are above")
        return dict(json.loads(reply))

    def close(self) -> None:
        assert self.process.stdin is not None
        self.process.stdin.close()
        self.process.wait()


def timed(fn: Callable[[], Any]) -> tuple[float, float]:
    """Processor time of fn() in this process, and the part of it spent in
    the system (page faults of fresh memory, mostly)."""
    t, before = CLOCK(), os.times()
    fn()
    after = os.times()
    return CLOCK() - t, after.system - before.system


def agreement(a: np.ndarray, b: np.ndarray) -> tuple[float, int]:
    """Largest correlation coefficient of b shifted by up to SHIFTS samples
    against a, and that shift (samples; b's lags are a's plus the shift)."""
    best = (-2.0, 0)
    n = a.size
    for k in range(-SHIFTS, SHIFTS + 1):
        x = a[max(0, -k):n - max(0, k)]
        y = b[max(0, k):n - max(0, -k)]
        r = float(np.corrcoef(x, y)[0, 1])
        best = max(best, (r, k))
    return best


def main(argv: list) -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--channels", type=int, default=200)
    parser.add_argument("--seconds", type=float, default=290.0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--fmin", type=float, default=1.0)
    parser.add_argument("--fmax", type=float, default=100.0)
    parser.add_argument("--smooth", type=int, default=10,
                        help="points of the peer's running-mean whitening")
    parser.add_argument("--peer-python")
    args, _ = parser.parse_known_args(argv)     # workload names from run.py are ignored
    python = peer_python(args.peer_python)
    if python is None:
        print("(skipped: no Python with NoisePy; run tools/peer-env.sh, which needs a Python "
              "3.10, or give --peer-python)")
        return

    noise = synthetic.ambient_noise(args.seconds, channels=args.channels, spacing=SPACING,
                                    dt=DT)
    g = noise.gather()
    nt = int(round(WINDOW / DT))
    peer_df = 1.0 / (nt * DT)
    pairs = [(0, 0), (0, 5), (10, 60), (50, 150), (0, args.channels - 1)]
    pairs = [(i, j) for i, j in pairs if j < args.channels]

    with tempfile.TemporaryDirectory(prefix="molvak-peer-") as folder:
        record = Path(folder) / "record.npy"
        np.save(record, g.data)
        peer = Peer(python, record, args)
        # the windows NoisePy cuts (it leaves out the last one): molvak stops after as many
        windows = peer.windows
        every = partial(molvak.correlate, g, "all", WINDOW, step=WINDOW, max_lag=LAG,
                        whiten=(args.fmin, args.fmax), whiten_width=args.smooth * peer_df,
                        stop=windows * WINDOW, workers=1, progress=False)
        try:
            stack = every()                                     # warm-up
            first = peer.ask("run")
            ours, theirs, ratios, ours_sys, theirs_sys = [], [], [], [], []
            for _ in range(args.repeat):
                a, a_sys = timed(every)
                reply = peer.ask("run")
                b = float(reply["time"])
                ours.append(a)
                theirs.append(b)
                ratios.append(b / a)
                ours_sys.append(a_sys)
                theirs_sys.append(float(reply["system"]))
            out = peer.ask("pairs " + " ".join(f"{i},{j}" for i, j in pairs))["out"]
            theirs_pairs = np.load(out)
            agree = {(i, j): agreement(stack.pair(i, j), theirs_pairs[f"{i}_{j}"])
                     for i, j in pairs}
        finally:
            peer.close()

    record_text = f"{args.channels} channels x {args.seconds:g} s ({windows} windows)"
    harness.report([{"record": record_text, "pairs": first["pairs"],
                     "molvak s": statistics.median(ours),
                     "molvak spread": f"{min(ours):.3g}..{max(ours):.3g}",
                     "NoisePy s": statistics.median(theirs),
                     "NoisePy spread": f"{min(theirs):.3g}..{max(theirs):.3g}",
                     "ratio": statistics.median(ratios),
                     "ratio spread": f"{min(ratios):.3g}..{max(ratios):.3g}"}])
    harness.report([{"system time (in the above)": "median s", "molvak": statistics.median(ours_sys),
                     "NoisePy": statistics.median(theirs_sys)}])
    if (first["windows"], first["pairs"]) != (stack.count, len(stack.pairs)):
        print(f"(counts differ: NoisePy {first['windows']} windows, {first['pairs']} pairs; "
              f"molvak {stack.count} windows, {len(stack.pairs)} pairs)")
    harness.report([{"pair": f"({i}, {j})", "distance m": abs(j - i) * SPACING,
                     "agreement r": r, "shift samples": k} for (i, j), (r, k) in agree.items()])
    print(f"(processor time of each process over {args.repeat} alternating passes, one "
          f"thread; ratio: NoisePy over molvak)")


if __name__ == "__main__":
    main(sys.argv[1:])
