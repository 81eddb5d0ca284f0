"""The inversion's studies: recovery, calibration of Vs30's interval, time.

The ground: 3 layers, Vs 200 / 380 / 700 m/s, thicknesses 4 m and 10 m,
Poisson's ratio 0.3 (the inversion's fixed value), Gardner's density; its
fundamental Rayleigh mode at 30 frequencies spaced evenly in log from 3 to
60 Hz (wavelengths 3 to 200 m). The true Vs30 is 30 / (4/200 + 10/380 +
16/700) = 433.7 m/s.

- recovery: the clean curve, std 0.02 in ln(velocity) given, inverted with
  the defaults (3 layers) for seeds 0..N-1: the posterior median of every
  Vs within 2 % and of every thickness within 5 %? And is the best model
  ever trapped (the stiff lid: fundamental mode below the surface
  amplitude threshold), or near the stiff-lid model (lid over 800 m/s and
  over 20 m thick)?
- calibration: N realisations of the curve with 2 % log-normal noise (that
  std given), each inverted with the defaults: the fraction whose 90 %
  interval of Vs30 contains the true Vs30, and of Vs at 2, 9 and 20 m.
- traps: N noisy realisations inverted with exclude_traps=False: is the
  best model ever trapped, and how many trapped models does the search meet?
- time: one default inversion of the 30-point curve with 3 and 4 layers,
  one thread (workers=1) and two (workers=2), wall clock.

Run: python bench/bench_inversion.py recovery|calibration|traps|time [--n N]
[--poisson 0.2:0.45] [--out results.json]. Long: the recovery of 20 seeds and the calibration
of 50 realisations take minutes.
"""
from __future__ import annotations

import argparse
import json
import time
import warnings

import numpy as np

import molvak
from molvak.inversion import TRAP_AMPLITUDE, ConvergenceWarning, surface_amplitude
from molvak.layered import LayeredModel, dispersion

F = np.geomspace(3.0, 60.0, 30)
TRUTH = LayeredModel([4.0, 10.0], [200.0, 380.0, 700.0], poisson=0.3)
STD = 0.02


def curve() -> np.ndarray:
    return dispersion(TRUTH, F)


def is_trapped(model: LayeredModel) -> bool:
    c = dispersion(model, F)
    return bool(np.nanmin(surface_amplitude(model.thickness, model.vs, F, c)) < TRAP_AMPLITUDE)


OPTIONS: dict = {}


def run(data: np.ndarray, seed: int, **options: object) -> tuple[molvak.Inversion, float, bool]:
    options = {**OPTIONS, **options}
    t = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ConvergenceWarning)
        result = molvak.invert((F, data, np.full(F.size, STD)), seed=seed, progress=False,
                               **options)  # type: ignore[arg-type]
    return result, time.perf_counter() - t, any(
        issubclass(w.category, ConvergenceWarning) for w in caught)


def recovery(n: int) -> dict:
    c = curve()
    rows = []
    for seed in range(n):
        result, took, warned = run(c, seed)
        vs_err = np.median(result.vs, axis=0) / TRUTH.vs - 1
        h_err = np.median(result.thickness, axis=0) / TRUTH.thickness - 1
        best = result.best
        lid = bool(best.vs[0] > 800 and best.thickness[0] > 20)
        ok = bool(np.all(np.abs(vs_err) <= 0.02) and np.all(np.abs(h_err) <= 0.05))
        rows.append({"seed": seed, "ok": ok, "vs_err": vs_err.tolist(), "h_err": h_err.tolist(),
                     "best_trapped": is_trapped(best), "best_stiff_lid": lid,
                     "max_rhat": max(result.rhat.values()), "warned": warned, "time": took})
        print(f"seed {seed:2d}: Vs {' '.join(f'{100 * e:+.2f}' for e in vs_err)} %, "
              f"h {' '.join(f'{100 * e:+.2f}' for e in h_err)} %  "
              f"{'ok ' if ok else 'OFF'} R-hat {rows[-1]['max_rhat']:.3f} "
              f"trapped best {rows[-1]['best_trapped']} {took:.1f} s", flush=True)
    good = sum(r["ok"] for r in rows)
    print(f"recovered {good}/{n}; best model trapped in {sum(r['best_trapped'] for r in rows)}, "
          f"a stiff lid in {sum(r['best_stiff_lid'] for r in rows)}; converged "
          f"{sum(not r['warned'] for r in rows)}/{n}; median time "
          f"{np.median([r['time'] for r in rows]):.1f} s")
    return {"rows": rows, "recovered": good}


def calibration(n: int) -> dict:
    c = curve()
    v30 = TRUTH.vs30()
    depths = [2.0, 9.0, 20.0]
    truth_vs = TRUTH.vs_at(depths)
    rng = np.random.default_rng(2026)
    inside, inside_z, widths, rows = 0, np.zeros(len(depths)), [], []
    trapped = 0
    for k in range(n):
        noisy = c * np.exp(STD * rng.standard_normal(F.size))
        result, took, warned = run(noisy, 1000 + k)
        est = result.vs30(0.9)
        hit = est.low <= v30 <= est.high
        inside += hit
        p = result.percentiles(depths, [5, 95])
        inside_z += (p[0] <= truth_vs) & (truth_vs <= p[1])
        widths.append((est.high - est.low) / est.median)
        trapped += is_trapped(result.best)
        rows.append({"k": k, "median": est.median, "low": est.low, "high": est.high,
                     "hit": bool(hit), "warned": warned, "time": took,
                     "misfit": result.fits[0].misfit})
        print(f"realisation {k:2d}: Vs30 {est.median:6.1f} ({est.low:6.1f}-{est.high:6.1f}) "
              f"{'in ' if hit else 'OUT'} misfit {result.fits[0].misfit:.2f} "
              f"{'not converged' if warned else ''} {took:.1f} s", flush=True)
    print(f"true Vs30 {v30:.1f} m/s inside the 90 % interval in {inside}/{n} "
          f"({100 * inside / n:.0f} %); Vs at {depths} m inside its 90 % interval in "
          f"{', '.join(f'{int(x)}' for x in inside_z)} of {n}; median relative width "
          f"{100 * np.median(widths):.1f} %; best model trapped in {trapped}; converged "
          f"{sum(not r['warned'] for r in rows)}/{n}")
    return {"rows": rows, "inside": inside, "inside_depths": inside_z.tolist(), "n": n}


def traps(n: int) -> dict:
    """Noisy curves inverted with the trap exclusion off: is a trapped model
    ever the best, and how many does the search meet?"""
    c = curve()
    rng = np.random.default_rng(11)
    rows = []
    for k in range(n):
        noisy = c * np.exp(STD * rng.standard_normal(F.size))
        result, took, _ = run(noisy, k, exclude_traps=False)
        sample = result.models[::40]
        rows.append({"best_trapped": is_trapped(result.best), "met": result.traps,
                     "posterior_trapped": sum(is_trapped(m) for m in sample),
                     "checked": len(sample)})
        print(f"run {k}: best trapped {rows[-1]['best_trapped']}, trapped models met "
              f"{result.traps}, trapped in the posterior {rows[-1]['posterior_trapped']} of "
              f"{len(sample)} checked", flush=True)
    return {"rows": rows}


def timing(n: int) -> dict:
    c = curve()
    out = {}
    run(c, 0, generations=2, burn=20, steps=20)         # warm-up
    for layers in (3, 4):
        for workers in (1, 2):
            times = [run(c, s, layers=layers, workers=workers)[1] for s in range(n)]
            out[f"{layers} layers, workers={workers}"] = times
            print(f"{layers} layers, workers={workers}: "
                  f"{', '.join(f'{t:.1f}' for t in times)} s", flush=True)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("study", choices=("recovery", "calibration", "traps", "time"))
    parser.add_argument("--n", type=int, help="seeds, realisations or repeats")
    parser.add_argument("--out", help="write the results as JSON")
    parser.add_argument("--poisson", help="Poisson's ratio of the inversion: a value or "
                        "LO:HI, sampled per layer (default 0.3, the truth's)")
    args = parser.parse_args()
    if args.poisson:
        parts = [float(x) for x in args.poisson.split(":")]
        OPTIONS["poisson"] = parts[0] if len(parts) == 1 else tuple(parts)
    n = args.n or {"recovery": 20, "calibration": 50, "traps": 6, "time": 3}[args.study]
    result = {"recovery": recovery, "calibration": calibration, "traps": traps,
              "time": timing}[args.study](n)
    if args.out:
        from molvak._atomic import write_text
        write_text(args.out, json.dumps(result, indent=1) + "\n")


if __name__ == "__main__":
    main()
