"""`molvak image`: dispersion images and picks of gathers from files.

A pipeline of small stages, each taking plain values and handing plain
values on:

    inputs    the files named, folders expanded (molvak's own outputs skipped)
    geometry  what the files lack (--dt, --offsets), checked for all at once;
              the output names, checked against inputs and existing files
    gathers   read one file at a time (--by-source: all read, grouped, stacked)
    image     by the estimator from the registry, on threads or Dask workers
    outputs   <stem>.csv, .png and .npz, each written atomically when ready

Mistakes in the arguments, the output folder or the files are reported
before any imaging, in one line, with status 2. A gather that fails while
imaging is reported and the others go on (status 2 at the end); Ctrl-C stops
with status 130 and a line saying what was written. Warnings (dead traces
left out) are printed and the work goes on.
"""
from __future__ import annotations

import argparse
import functools
import gc
import re
import sys
from collections import deque
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional

from .. import _outputs, estimators, io
from .._progress import Progress
from ..batch import GatherError, stream
from ..curves import DispersionCurve, write_curves
from ..gather import Gather
from ..image import DispersionImage, stack
from ._common import (
    Report,
    UsageError,
    estimator_flags,
    estimator_options,
    geometry_options,
    grid_options,
    plot_image_file,
    preparation_options,
    run_step,
)
from ._inputs import (
    Item,
    Reading,
    by_source_items,
    describe_file,
    file_items,
    inputs_and_reading,
    missing_arguments,
    parse_offsets,
)


@dataclass(frozen=True)
class Imaging:
    """How to image: the registry entry and its keyword arguments."""

    method: estimators.Estimator
    options: dict[str, Any]         # for the estimator, without workers
    workers: int
    scheduler: Optional[str]


@dataclass(frozen=True)
class Writing:
    """What to write, where."""

    folder: Path
    method: str
    overwrite: bool
    plot: bool
    npz: bool
    normalize: str
    pick: tuple[Optional[float], Optional[float]]
    modes: Optional[int] = None
    all_picks: bool = False

    @property
    def kinds(self) -> tuple[str, ...]:
        """The kinds of file written per gather: csv, then npz and png as asked."""
        return ("csv",) + (("npz",) if self.npz else ()) + (("png",) if self.plot else ())

    def files(self, base: str) -> list[Path]:
        """The paths of a gather's outputs: ``<base>.<method>.<kind>`` in the folder."""
        return [self.folder / f"{base}.{self.method}.{kind}" for kind in self.kinds]




def image_items(items: Iterator[Item], imaging: Imaging, report: Report, total: int,
                ) -> Iterator[tuple[Item, DispersionImage]]:
    """The image of every item, in order, as each is done. One gather at a
    time (--workers 1, or a single gather of `total`) has its velocities
    split over the threads; several at a time (on threads or Dask workers)
    take one thread each. A gather that fails is reported and left out."""
    err = sys.stderr
    if imaging.scheduler is None and (imaging.workers == 1 or total == 1):
        for item in items:
            try:
                g = item.gather
                image = run_step(g.name, functools.partial(
                    estimators.image, g, imaging.method.name, workers=imaging.workers,
                    **imaging.options), err)
            except (ValueError, TypeError) as exc:
                report.fail(item.label, str(exc))
                continue
            yield item, image
        return
    queue: deque = deque()

    def gathers() -> Iterator[Gather]:
        for item in items:
            queue.append(item)
            yield item.gather

    client = _connect(imaging.scheduler)
    try:
        outcomes = stream(gathers(), imaging.method.name, imaging.options, client=client,
                          workers=imaging.workers, fail_fast=False)
        for outcome in outcomes:
            item = queue.popleft()
            for _, message in outcome.warnings:
                print(f"molvak: warning: {item.gather.name}: {message}", file=err)
            if isinstance(outcome.result, GatherError):
                report.fail(item.label, str(outcome.result.error))
                continue
            yield item, outcome.result
    finally:
        if client is not None:
            client.close()


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


def write_result(base: str, label: str, title: Optional[str], image: DispersionImage,
                 writing: Writing, report: Report) -> None:
    """The picks, the image and its picture (titled by `title`), each file
    written atomically as soon as it is ready, under the names of `base`;
    then a line saying how many picks are valid, and where."""
    stem = writing.folder / f"{base}.{writing.method}"
    try:
        lo, hi = writing.pick
        if writing.modes is None:
            curves = [image.pick(lo, hi)]
        else:
            curves = image.pick(lo, hi, modes=writing.modes)
        path = Path(f"{stem}.csv")
        report.writing(path)
        write_curves(curves, path, overwrite=writing.overwrite)
        report.wrote(path)
        if writing.npz:
            path = Path(f"{stem}.npz")
            report.writing(path)
            image.save(path, overwrite=writing.overwrite)
            report.wrote(path)
        if writing.plot:
            path = Path(f"{stem}.png")
            name = estimators.label(image.method)
            if image.method.startswith("stack:"):
                title = f"{name} of {image.params['shots']} gathers"
            elif title is not None:
                title = f"{name}: {title}"
            report.writing(path)
            plot_image_file(image, path, curve=curves, normalize=writing.normalize, title=title,
                        invalid=writing.all_picks, overwrite=writing.overwrite)
            report.wrote(path)
    except FileExistsError as exc:
        report.fail(label, f"{exc.filename} appeared while imaging; not replaced "
                           f"(give --overwrite to replace it)")
        return
    except (ValueError, OSError) as exc:
        report.fail(label, f"cannot write its results: {exc}")
        return
    print(f"{label}: {pick_summary(curves, writing.all_picks)}", flush=True)


def pick_summary(curves: Sequence[DispersionCurve], all_picks: bool = False) -> str:
    """One line: the valid picks of each mode and the band they cover."""
    parts = []
    for c in curves:
        chosen = c if all_picks else c.select(valid=True)
        head = (f"mode {c.mode}: " if len(curves) > 1 else "")
        if not len(chosen):
            parts.append(f"{head}no pick" if all_picks or not len(c)
                         else f"{head}no valid pick (of {len(c)})")
            continue
        count = f"{len(chosen)} picks" if all_picks else \
            f"{len(chosen)} of {len(c)} picks valid"
        parts.append(f"{head}{count}, {chosen.frequency.min():.4g}-"
                     f"{chosen.frequency.max():.4g} Hz, wavelengths "
                     f"{chosen.wavelength.min():.3g}-{chosen.wavelength.max():.3g} m")
    return "; ".join(parts)


IMAGE_EPILOG = """\
outputs: every imaged gather gives three files in --out sharing one stem that
keeps the whole input file name and adds the method:
  <file>.<method>.csv   the picks (frequency, velocity, wavelength, quality, flags)
  <file>.<method>.png   the picture (not with --no-plot)
  <file>.<method>.npz   the image (molvak.DispersionImage.load; not with --no-npz)
e.g. line1.shot6.dat -> line1.shot6.dat.phase_shift.csv. Shot k of a SEG-Y
file with several: <file>.shot<k>.<method>.*; --by-source:
source_<position>.<method>.* (the position exactly, e.g. source_-2.25);
--stack: stack.<method>.*. Inputs of one name in different folders take
their folders' names in front (day1_1.dat, day2_1.dat). No input and no
existing file is ever replaced (existing ones only with --overwrite); the
check is made before any work, and each file appears complete or not at all,
as soon as its gather is imaged. A folder given as input skips these outputs.
methods:"""


def cmd_image(args: argparse.Namespace) -> int:
    """Run the command with its parsed arguments (see ``molvak image --help``);
    returns the exit status."""
    notes: list[str] = []
    method = estimators.get(args.method)
    imaging = Imaging(method, estimator_options(args, method), args.workers, args.scheduler)
    if args.modes is not None and args.modes < 1:
        raise UsageError(f"--modes must be at least 1; got {args.modes}")
    writing = Writing(Path(args.out), method.name, args.overwrite, not args.no_plot,
                      not args.no_npz, args.normalize, (args.pick_vmin, args.pick_vmax),
                      args.modes, args.all_picks)
    offsets = parse_offsets(args.offsets) if args.offsets is not None else None

    # 1. inputs, and what the files lack, for all of them at once
    paths, reading = inputs_and_reading(args, notes)
    problem = missing_arguments(paths, reading)
    if problem is not None:
        raise UsageError(problem)
    # 2. geometry and the names of the outputs, checked before any work
    problem = _outputs.check_folder(writing.folder)
    if problem is not None:
        raise UsageError(problem)
    if args.by_source:
        items: list[Item] = by_source_items(paths, reading, offsets)
        bases = [item.base for item in items]
        total = len(items)
    else:
        bases, clash_notes = _outputs.unique_bases(paths)
        notes += clash_notes
        total = len(paths)
    targets = [f for base in (["stack"] if args.stack else bases) for f in writing.files(base)]
    if not args.by_source and not args.stack:
        targets += _other_shots(paths, bases, writing, reading)
    problem = _outputs.clobbered(targets, paths, writing.overwrite)
    if problem is not None:
        raise UsageError(problem)
    for note in notes:
        print(f"molvak: note: {note}", file=sys.stderr)

    # 3-5. gathers read, imaged and written out one at a time
    report = Report(1 if args.stack else total, len(writing.kinds))
    progress = Progress(total + (1 if args.stack else 0), "imaging", stream=sys.stderr,
                        enabled=not args.quiet)
    source = iter(items) if args.by_source else file_items(paths, bases, reading, offsets,
                                                           report)
    interrupted = False
    try:
        if args.stack:
            if not _image_stack(source, imaging, writing, report, progress,
                                args.stack_normalize):
                return 2
        else:
            for item, image in image_items(source, imaging, report, total):
                write_result(item.base, item.label, item.title, image, writing, report)
                progress.step(item.label)
                del image
    except KeyboardInterrupt:
        report.settle()
        interrupted = True
    if interrupted:
        # the traceback is gone here: writers it held (a zip archive cut
        # short) are closed now, and what they report comes before the last line
        gc.collect()
        print(f"molvak: interrupted: {report.summary()}", file=sys.stderr, flush=True)
        return 130
    if report.failures:
        print(f"molvak: error: {len(report.failures)} gather(s) not imaged (above); "
              f"{report.summary()}", file=sys.stderr)
        return 2
    return 0


def _image_stack(source: Iterator[Item], imaging: Imaging, writing: Writing, report: Report,
                 progress: Progress, normalize: str) -> bool:
    """Stack the images as they come, in the memory of one image and the
    sum; any gather that fails leaves the stack unwritten."""
    def images() -> Iterator[DispersionImage]:
        for item, image in image_items(source, imaging, report, 0):
            progress.step(item.label)
            if report.failures:
                return
            yield image
    try:
        stacked = stack(images(), normalize=normalize)
    except ValueError as exc:
        if not report.failures:
            raise UsageError(str(exc)) from None
    if report.failures:
        print(f"molvak: error: no stack written: {len(report.failures)} gather(s) not "
              f"imaged (above)", file=sys.stderr)
        return False
    write_result("stack", "stack", None, stacked, writing, report)
    progress.step("stack")
    return not report.failures


def _other_shots(paths: Sequence[Path], bases: Sequence[str], writing: Writing,
                 reading: Reading) -> list[Path]:
    """The existing outputs of the shots of SEG-Y and SU files, which may
    hold several (<file>.shot<k>.<method>.*): their number is known only
    once read, the names before."""
    found = []
    for path, base in zip(paths, bases):
        if "shots" in describe_file(path, reading).carries:
            pattern = re.compile(re.escape(base) + r"\.shot\d+\." + re.escape(writing.method)
                                 + r"\.(" + "|".join(writing.kinds) + ")$")
            found += [p for p in writing.folder.iterdir() if pattern.match(p.name)]
    return found




def add_command(sub: Any) -> None:
    """Add the command to the subparsers of `molvak`."""
    methods = "\n".join(f"  {e.name:<12} {e.summary}" for e in estimators.entries())
    image = sub.add_parser(
        "image", help="dispersion images and picks of gathers from files",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Image one or more gathers (SEG-2 and SEG-Y shots, with the io extra; .npz "
                    "with data, offsets and dt; .npy or text matrices with --dt and "
                    "--offsets) and pick the dispersion curve; with --by-source, stack the "
                    "shots of every source position in the time domain and image each "
                    "position; with --stack, one stacked image of all gathers.",
        epilog=IMAGE_EPILOG + "\n" + methods)
    image.add_argument("gathers", nargs="*", metavar="GATHER",
                       help="gather files, or directories of them (with --geometry: by "
                            "default the files of the table)")
    image.add_argument("--by-source", action="store_true",
                       help="group the shots by source position (from the headers), stack "
                            "each group in the time domain and image every group")
    preparation_options(image)
    image.add_argument("--format", choices=list(io.FORMATS),
                       help="file format (default: told by the file's first bytes and suffix)")
    image.add_argument("--scheduler", metavar="ADDRESS",
                       help="image on this Dask scheduler (the dask extra) instead of threads")
    image.add_argument("--method", choices=list(estimators.names()), default="phase_shift",
                       help="estimator (default %(default)s; see the list below)")
    image.add_argument("--out", default=".", help="output directory (default: here)")
    image.add_argument("--overwrite", action="store_true",
                       help="replace existing output files (never an input)")
    geometry_options(image)
    image.add_argument("--stack", action="store_true",
                       help="stack the images of all gathers into one")
    image.add_argument("--stack-normalize", choices=["global", "frequency", "none"],
                       default="global", help="normalisation of each image before stacking "
                       "(default %(default)s)")
    image.add_argument("--normalize", choices=["frequency", "global", "none"],
                       default="frequency", help="normalisation of the drawn image "
                       "(default %(default)s)")
    image.add_argument("--keep-dead", action="store_true",
                       help="keep dead traces (all zero, constant, or silent in the band; by "
                            "default they are left out with a warning)")
    image.add_argument("--pick-vmin", type=float, help="lowest velocity to pick, m/s")
    image.add_argument("--pick-vmax", type=float, help="highest velocity to pick, m/s")
    image.add_argument("--modes", type=int, metavar="K",
                       help="pick K modes (ridges numbered from the slowest); the CSV holds "
                            "them all, with a mode column (molvak.read_curves reads it)")
    image.add_argument("--all-picks", action="store_true",
                       help="draw and count the flagged picks too (the CSV always holds every "
                            "pick, with its flags)")
    image.add_argument("--no-plot", action="store_true", help="write no pictures")
    image.add_argument("--no-npz", action="store_true", help="write no image files (.npz)")
    image.add_argument("--quiet", action="store_true", help="no progress bar")
    estimator_flags(image)
    grid_options(image, 50.0, 1000.0, 1.0, 1.0, 100.0, None)
    image.set_defaults(func=cmd_image)
