"""The `molvak` command line: `molvak demo` and `molvak image`.

    molvak demo [--out demo]
    molvak image GATHER [GATHER ...] [--method phase_shift] [--stack] [--out DIR]
    molvak image SHOTS/ --by-source --trim 0 0.5 --method fdbf [--out DIR]

Errors in the arguments or the input files end the command with status 2 and
a one-line message; warnings (dead traces left out) are printed and the work
goes on.
"""
from __future__ import annotations

import argparse
import csv
import re
import sys
import warnings
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from . import __version__, _review, io, synthetic
from ._progress import Progress
from .batch import image_gather, process
from .gather import Gather, group_by_source, stack_gathers
from .image import DispersionCurve, DispersionImage, array_limits, stack
from .transforms import fdbf, phase_shift, slant_stack

METHODS: Dict[str, Callable[..., DispersionImage]] = {
    "slant_stack": slant_stack,
    "phase_shift": phase_shift,
    "fdbf": fdbf,
}

TEXT_SUFFIXES = {".txt", ".csv", ".dat", ".asc"}


class UsageError(Exception):
    """A mistake in the arguments or the input files, reported in one line."""


# --------------------------------------------------------------------------
# shared helpers


def _run(label: str, fn: Callable[[], Any], err: Any) -> Any:
    """Call fn, printing its warnings as `molvak: warning:` lines."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = fn()
    for w in caught:
        print(f"molvak: warning: {label}: {w.message}", file=err)
    return result


def _savefig(fig: Any, path: Path) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path)


def _plot_image(image: DispersionImage, path: Path, *, curve: Optional[DispersionCurve],
                truth: Any = None, wavelengths: Optional[Tuple[float, float]] = None,
                normalize: str = "frequency", title: Optional[str] = None) -> None:
    from .plot import new_figure
    fig, ax = new_figure()
    image.plot(ax, normalize=normalize, picks=curve if curve is not None else False,
               truth=truth, wavelengths=wavelengths, title=title)
    _savefig(fig, path)


def _plot_gather(g: synthetic.SyntheticGather, path: Path) -> None:
    from .plot import new_figure
    fig, ax = new_figure((7.5, 4.5))
    clip = np.percentile(np.abs(g.data), 99.5)
    t = g.time
    spacing = float(np.median(np.diff(g.offsets)))
    extent = (g.offsets[0] - spacing / 2, g.offsets[-1] + spacing / 2,
              t[-1] + g.dt / 2, t[0] - g.dt / 2)
    img = ax.imshow(g.data.T, aspect="auto", cmap="seismic", vmin=-clip, vmax=clip,
                    extent=extent, interpolation="nearest")
    bar = fig.colorbar(img, ax=ax, pad=0.02)
    bar.set_label("amplitude (arbitrary units)")
    ax.set_xlabel("Offset (m)")
    ax.set_ylabel("Time (s)")
    ax.set_title("Synthetic shot gather")
    _savefig(fig, path)


# --------------------------------------------------------------------------
# molvak demo


def _velocities(args: argparse.Namespace) -> Any:
    """The velocity grid: --nv values from --vmin to --vmax, or a --dv step."""
    if args.nv is None:
        return (args.vmin, args.vmax, args.dv)
    if args.nv < 2 or not args.vmax > args.vmin:
        raise UsageError(f"--nv needs at least 2 velocities and --vmax above --vmin; got "
                         f"--nv {args.nv}, --vmin {args.vmin:g}, --vmax {args.vmax:g}")
    return np.linspace(args.vmin, args.vmax, args.nv)


def cmd_demo(args: argparse.Namespace) -> int:
    out = Path(args.out)
    err = sys.stderr
    g = synthetic.default_gather(seed=args.seed, noise=args.noise)
    lmin, lmax = g.limits()
    band = g.resolved_band()
    nx, nt = g.data.shape
    print(f"molvak {__version__} demo: a synthetic {nx}-channel shot gather, offsets "
          f"{g.offsets[0]:g}-{g.offsets[-1]:g} m every {np.median(np.diff(g.offsets)):g} m, "
          f"{nt} samples at {g.dt * 1e3:g} ms, {100 * g.noise:g} % noise")
    print(f"true dispersion curve: {g.velocity}")
    print(f"resolved band: wavelengths {lmin:g}-{lmax:g} m (two receiver spacings to half "
          f"the aperture) where the source is within 20 dB of its peak: "
          f"{band[0]:.1f}-{band[1]:.1f} Hz", flush=True)

    grid = dict(velocities=_velocities(args), fmin=args.fmin, fmax=args.fmax,
                df=args.df, workers=args.workers)
    progress = Progress(len(METHODS) + (0 if args.no_plot else len(METHODS) + 1), "demo",
                        stream=err, enabled=not args.quiet)
    rows: List[List[Any]] = []
    summary = []
    for name, estimator in METHODS.items():
        image = _run(name, lambda: estimator(g.data, g.offsets, g.dt, **grid), err)
        progress.step(f"imaged: {name}")
        curve = image.pick()
        truth = g.true_velocity(curve.frequency)
        error = 100.0 * (curve.velocity / truth - 1.0)
        inside = g.resolved(curve.frequency)
        for k in range(len(curve)):
            rows.append([name, curve.frequency[k], curve.velocity[k], curve.wavelength[k],
                         curve.quality[k], truth[k], error[k], int(inside[k])])
        e = np.abs(error[inside])
        summary.append((name, int(inside.sum()), float(np.median(e)) if e.size else np.nan,
                        float(e.max()) if e.size else np.nan, int((e <= 1.0).sum())))
        if not args.no_plot:
            _plot_image(image, out / f"{name}.png", curve=curve.select(fmin=band[0], fmax=band[1]),
                        truth=g.velocity, wavelengths=(lmin, lmax))
            progress.step(f"drawn: {out / (name + '.png')}")
    if not args.no_plot:
        _plot_gather(g, out / "gather.png")
        progress.step(f"drawn: {out / 'gather.png'}")

    out.mkdir(parents=True, exist_ok=True)
    table = out / "picks.csv"
    with open(table, "w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["method", "frequency", "velocity", "wavelength", "quality",
                         "true_velocity", "error_percent", "resolved"])
        for row in rows:
            writer.writerow([row[0]] + [f"{v:.10g}" for v in row[1:7]] + [row[7]])

    print()
    print("picks against the true curve over the resolved band:")
    print(f"  {'method':<12} {'picks':>5} {'median |error|':>15} {'max |error|':>12} "
          f"{'within 1 %':>11}")
    for name, count, median, worst, good in summary:
        print(f"  {name:<12} {count:>5} {median:>13.3f} % {worst:>10.3f} % "
              f"{good:>5}/{count:<5}")
    written = [str(table)]
    if not args.no_plot:
        written = [str(out / f"{n}.png") for n in METHODS] + [str(out / "gather.png")] + written
    print("wrote " + ", ".join(written))
    worst_all = max(s[3] for s in summary)
    if args.check and not (worst_all <= 1.0):
        print(f"molvak: error: a pick is {worst_all:.3f} % off the true curve (limit 1 %)",
              file=err)
        return 1
    return 0


# --------------------------------------------------------------------------
# molvak image


def _parse_offsets(text: str) -> Callable[[int], np.ndarray]:
    """Offsets from a file, a START:STEP rule or a comma-separated list."""
    path = Path(text)
    if path.exists():
        values = np.load(path) if path.suffix == ".npy" else np.loadtxt(
            path, delimiter="," if path.suffix == ".csv" else None, ndmin=1)
        values = np.asarray(values, dtype=np.float64).ravel()
        return lambda n: values
    if ":" in text:
        try:
            start, step = (float(p) for p in text.split(":"))
        except ValueError:
            raise UsageError(f"--offsets {text!r}: expected START:STEP, e.g. 5:1") from None
        return lambda n: start + step * np.arange(n, dtype=np.float64)
    try:
        values = np.array([float(p) for p in text.split(",")])
    except ValueError:
        raise UsageError(f"--offsets {text!r} is neither a file, START:STEP nor a "
                         f"comma-separated list of numbers") from None
    return lambda n: values


def _natural_key(path: Path) -> Tuple[Any, ...]:
    """Sort key that puts 2.dat before 10.dat."""
    return tuple(int(part) if part.isdigit() else part
                 for part in re.split(r"(\d+)", path.name))


def expand_paths(names: Sequence[str]) -> List[Path]:
    """The files named, with every directory replaced by the files in it
    (hidden files left out), in natural order."""
    paths: List[Path] = []
    for name in names:
        path = Path(name)
        if path.is_dir():
            inside = sorted((p for p in path.iterdir() if p.is_file()
                             and not p.name.startswith(".")), key=_natural_key)
            if not inside:
                raise UsageError(f"{path}: the directory holds no files")
            paths += inside
        else:
            paths.append(path)
    return paths


def load_gathers(path: Path, *, dt: Optional[float], offsets: Optional[str], transpose: bool,
                 format: Optional[str] = None) -> List[Gather]:
    """The gathers in one file: one, or one per shot of a SEG-Y file.

    SEG-2 and SEG-Y files carry dt, the recording delay and the geometry in
    their headers; a .npz holds the arrays `data` (traces x samples),
    `offsets` and the scalar `dt` (and may hold `delay`, `source` and
    `receivers`); a .npy or a text matrix holds the data alone (one row per
    trace; --transpose when the rows are time samples, which a text file
    whose header titles its columns "Channel 1", ... says by itself), and
    --dt and --offsets are then required. --dt and --offsets override the
    file.
    """
    if not path.exists():
        raise UsageError(f"{path}: no such file")
    try:
        record = io._load(path, format, layout="columns" if transpose else None)
        if dt is None and record.dt is None:
            raise UsageError(f"{path}: no sample interval; give --dt (seconds)")
        if offsets is not None:
            x = _parse_offsets(offsets)(record.data.shape[0])
            return [io._finish(path, record, dt=dt, offsets=x)]
        if not io.has_geometry(record):
            raise UsageError(f"{path}: no offsets; give --offsets (a file, START:STEP or a list)")
        return io._split_shots(path, record, dt=dt)
    except UsageError:
        raise
    except (OSError, ValueError, TypeError) as exc:
        raise UsageError(str(exc)) from None


def _position_label(position: Sequence[float]) -> str:
    return "_".join(f"{v:g}" for v in position)


def _connect(address: Optional[str]) -> Any:
    if address is None:
        return None
    try:
        from dask.distributed import Client
    except ImportError:
        raise UsageError("--scheduler needs Dask: pip install 'molvak[dask]'") from None
    try:
        return Client(address, timeout=30)
    except (OSError, TimeoutError) as exc:
        raise UsageError(f"--scheduler {address}: cannot connect ({exc})") from None


def cmd_image(args: argparse.Namespace) -> int:
    out = Path(args.out)
    err = sys.stderr
    options: Dict[str, Any] = dict(velocities=_velocities(args), fmin=args.fmin,
                                   fmax=args.fmax, df=args.df, keep_dead=args.keep_dead)
    if args.method == "fdbf":
        options.update(steering=args.steering, weighting=args.weighting)

    # read every file; a SEG-Y file may hold several shots
    named: List[Tuple[str, Gather]] = []
    for path in expand_paths(args.gathers):
        found = load_gathers(path, dt=args.dt, offsets=args.offsets, transpose=args.transpose,
                             format=args.format)
        for k, g in enumerate(found):
            label = path.stem if len(found) == 1 else f"{path.stem}_shot{k}"
            if args.trim is not None:
                try:
                    g = g.trim(*args.trim)
                except ValueError as exc:
                    raise UsageError(str(exc)) from None
            named.append((label, g))

    titles: Dict[str, Optional[str]] = {}
    if args.by_source:
        jobs = []
        for label, g in named:
            if g.source is None:
                raise UsageError(f"{g.headers.get('path', label)}: no source position in the "
                                 f"file; --by-source needs it (SEG-2, SEG-Y or a .npz with "
                                 f"source and receivers)")
        for position, members in group_by_source(g for _, g in named).items():
            try:
                stacked = stack_gathers(members)
            except ValueError as exc:
                raise UsageError(str(exc)) from None
            label = f"source_{_position_label(position)}"
            names = ", ".join(m.name for m in members)
            offsets = stacked.offsets
            print(f"source at {' '.join(f'{v:g}' for v in position)} m: {len(members)} "
                  f"shot(s) stacked ({names}); {stacked.shape[0]} traces, offsets "
                  f"{offsets.min():g} to {offsets.max():g} m, {stacked.shape[1]} samples from "
                  f"{stacked.delay:g} s")
            titles[label] = (f"source at {' '.join(f'{v:g}' for v in position)} m, "
                             f"{len(members)} shot(s) stacked")
            jobs.append((label, stacked))
    else:
        jobs = named

    steps = len(jobs) + (1 if args.stack else 0)
    progress = Progress(steps, "imaging", stream=err, enabled=not args.quiet)
    client = _connect(args.scheduler)
    try:
        if client is None and (args.workers == 1 or len(jobs) == 1):
            # one gather at a time, its velocities over the threads; each
            # gather's warnings then carry its name
            images = []
            for label, g in jobs:
                images.append(_image_or_fail(label, g, args.method,
                                             dict(options, workers=args.workers), err))
                progress.step(label if args.by_source else g.name)
        else:
            images = _run("imaging", lambda: _process_or_fail(jobs, args, options, client), err)
            for label, g in jobs:
                progress.step(label if args.by_source else g.name)
    finally:
        if client is not None:
            client.close()

    written: List[Path] = []
    if not args.stack:
        for (label, _), image in zip(jobs, images):
            written += _write_outputs(image, out / f"{label}_{args.method}", args,
                                      title=titles.get(label))
    else:
        try:
            stacked_image = stack(images, normalize=args.stack_normalize)
        except ValueError as exc:
            raise UsageError(str(exc)) from None
        written += _write_outputs(stacked_image, out / f"stack_{args.method}", args)
        progress.step("stack")
    for path in written:
        print(f"wrote {path}")
    return 0


def _image_or_fail(label: str, g: Gather, method: str, options: Dict[str, Any],
                   err: Any) -> DispersionImage:
    try:
        image: DispersionImage = _run(g.name, lambda: image_gather(g, method, options), err)
    except (ValueError, TypeError) as exc:
        raise UsageError(f"{g.headers.get('path', label)}: {exc}") from None
    return image


def _process_or_fail(jobs: List[Tuple[str, Gather]], args: argparse.Namespace,
                     options: Dict[str, Any], client: Any) -> List[DispersionImage]:
    try:
        return process([g for _, g in jobs], args.method, client=client,
                       workers=args.workers, **options)
    except (ValueError, TypeError) as exc:
        raise UsageError(str(exc)) from None


def _write_outputs(image: DispersionImage, stem: Path, args: argparse.Namespace, *,
                   title: Optional[str] = None) -> List[Path]:
    curve = image.pick(args.pick_vmin, args.pick_vmax)
    stem.parent.mkdir(parents=True, exist_ok=True)
    csv_path = stem.with_suffix(".csv")
    curve.to_csv(csv_path)
    written = [csv_path]
    if not args.no_plot:
        png = stem.with_suffix(".png")
        limits = array_limits(image.params["offsets"]) if "offsets" in image.params else None
        from .plot import method_label
        if image.method.startswith("stack:"):
            title = f"{method_label(image.method)} of {image.params['shots']} gathers"
        elif title is not None:
            title = f"{method_label(image.method)}: {title}"
        _plot_image(image, png, curve=curve, wavelengths=limits, normalize=args.normalize,
                    title=title)
        written.insert(0, png)
    return written


# --------------------------------------------------------------------------
# the parser


def _grid_options(p: argparse.ArgumentParser, vmin: float, vmax: float, dv: float,
                  fmin: Optional[float], fmax: Optional[float], df: Optional[float]) -> None:
    g = p.add_argument_group("grids")
    g.add_argument("--vmin", type=float, default=vmin, help="lowest trial phase velocity, m/s "
                   "(default %(default)s)")
    g.add_argument("--vmax", type=float, default=vmax, help="highest trial phase velocity, m/s "
                   "(default %(default)s)")
    g.add_argument("--dv", type=float, default=dv, help="velocity step, m/s (default %(default)s)")
    g.add_argument("--nv", type=int, help="number of velocities spaced evenly from --vmin to "
                   "--vmax, both included (instead of --dv)")
    g.add_argument("--fmin", type=float, default=fmin, help="lowest frequency, Hz "
                   "(default %(default)s)")
    g.add_argument("--fmax", type=float, default=fmax, help="highest frequency, Hz "
                   "(default %(default)s; the work grows with the band)")
    g.add_argument("--df", type=float, default=df, help="frequency step wanted, Hz (the record "
                   "is zero padded to reach it; default: the record's own 1 / duration)")
    g.add_argument("--workers", type=int, default=1, help="threads: gathers imaged at once, "
                   "or the velocities of a single gather split over them; the results do not "
                   "depend on it (default %(default)s)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="molvak", description="Dispersion images of seismic surface waves.")
    parser.add_argument("--version", action="version", version=f"molvak {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    demo = sub.add_parser(
        "demo", help="image a synthetic gather with a known dispersion curve",
        description="Synthesise a shot gather with a known dispersion curve, image it by slant "
                    "stack, phase shift and beamforming, pick the curve and compare the picks "
                    "with the truth. Writes DIR/<method>.png, DIR/gather.png and DIR/picks.csv.")
    demo.add_argument("--out", default="demo", help="output directory (default %(default)s)")
    demo.add_argument("--seed", type=int, default=0, help="noise seed (default %(default)s)")
    demo.add_argument("--noise", type=float, default=0.01, help="noise level relative to the "
                      "largest sample (default %(default)s)")
    demo.add_argument("--no-plot", action="store_true", help="write the CSV only")
    demo.add_argument("--check", action="store_true",
                      help="exit with status 1 if a pick in the resolved band is off by more "
                           "than 1 %%")
    demo.add_argument("--quiet", action="store_true", help="no progress bar")
    _grid_options(demo, 50.0, 800.0, 1.0, 2.0, 100.0, 0.5)
    demo.set_defaults(func=cmd_demo)

    image = sub.add_parser(
        "image", help="dispersion images and picks of gathers from files",
        description="Image one or more gathers (SEG-2 and SEG-Y shots, with the io extra; .npz "
                    "with data, offsets and dt; .npy or text matrices with --dt and "
                    "--offsets), pick the dispersion curve, write <stem>_<method>.png and .csv "
                    "into --out; with --by-source, stack the shots of every source position "
                    "in the time domain and write source_<position>_<method>.png and .csv; "
                    "with --stack, one stacked image of all gathers.")
    image.add_argument("gathers", nargs="+", metavar="GATHER",
                       help="gather files, or directories of them")
    image.add_argument("--by-source", action="store_true",
                       help="group the shots by source position (from the headers), stack "
                            "each group in the time domain and image every group")
    image.add_argument("--trim", nargs=2, type=float, metavar=("T0", "T1"),
                       help="keep the samples from T0 to T1 s after the shot (the recording "
                            "delay of the headers is honoured)")
    image.add_argument("--format", choices=list(io.FORMATS),
                       help="file format (default: told by the file's first bytes and suffix)")
    image.add_argument("--scheduler", metavar="ADDRESS",
                       help="image on this Dask scheduler (the dask extra) instead of threads")
    image.add_argument("--method", choices=list(METHODS), default="phase_shift",
                       help="estimator (default %(default)s)")
    image.add_argument("--out", default=".", help="output directory (default: here)")
    image.add_argument("--dt", type=float, help="sample interval, s (overrides the file's)")
    image.add_argument("--offsets", help="offsets, m: a file (.npy or text), START:STEP or a "
                       "comma-separated list (overrides the file's)")
    image.add_argument("--transpose", action="store_true",
                       help="the file holds one row per time sample (not per trace)")
    image.add_argument("--stack", action="store_true",
                       help="stack the images of all gathers into one")
    image.add_argument("--stack-normalize", choices=["global", "frequency", "none"],
                       default="global", help="normalisation of each image before stacking "
                       "(default %(default)s)")
    image.add_argument("--normalize", choices=["frequency", "global", "none"],
                       default="frequency", help="normalisation of the drawn image "
                       "(default %(default)s)")
    image.add_argument("--steering", choices=["cylindrical", "plane"], default="cylindrical",
                       help="fdbf steering vectors (default %(default)s)")
    image.add_argument("--weighting", choices=["sqrt", "none"], default="sqrt",
                       help="fdbf offset weighting (default %(default)s)")
    image.add_argument("--keep-dead", action="store_true",
                       help="keep all-zero traces (by default they are left out with a warning)")
    image.add_argument("--pick-vmin", type=float, help="lowest velocity to pick, m/s")
    image.add_argument("--pick-vmax", type=float, help="highest velocity to pick, m/s")
    image.add_argument("--no-plot", action="store_true", help="write the CSV only")
    image.add_argument("--quiet", action="store_true", help="no progress bar")
    _grid_options(image, 50.0, 1000.0, 1.0, 1.0, 100.0, None)
    image.set_defaults(func=cmd_image)
    _review.add_command(sub)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "func", None) is None:
        parser.print_help(sys.stderr)
        return 2
    try:
        return int(args.func(args))
    except (UsageError, ValueError, ImportError) as exc:
        print(f"molvak: error: {exc}", file=sys.stderr)
        return 2

