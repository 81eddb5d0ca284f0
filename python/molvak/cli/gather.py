"""`molvak gather`: draw records (offset x time) with the lines of --trim and
--mute, to choose the window before imaging.
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from .. import _outputs, io
from .._progress import Progress
from ..plot import new_figure
from ._common import (
    Report,
    UsageError,
    geometry_options,
    preparation_options,
    savefig,
)
from ._inputs import (
    Reading,
    inputs_and_reading,
    load_gathers,
    missing_arguments,
    parse_offsets,
)


def cmd_gather(args: argparse.Namespace) -> int:
    """Run the command with its parsed arguments (see ``molvak gather --help``);
    returns the exit status."""
    notes: list[str] = []
    if args.gathers == [] and args.geometry is None:
        raise UsageError("no gathers given: name files or folders, or a --geometry table")
    paths, reading = inputs_and_reading(args, notes)
    problem = missing_arguments(paths, reading)
    if problem is None:
        problem = _outputs.check_folder(Path(args.out))
    if problem is not None:
        raise UsageError(problem)
    bases, clash_notes = _outputs.unique_bases(paths)
    folder = Path(args.out)
    targets = [folder / f"{base}.gather.png" for base in bases]
    problem = _outputs.clobbered(targets, paths, args.overwrite)
    if problem is not None:
        raise UsageError(problem)
    for note in notes + clash_notes:
        print(f"molvak: note: {note}", file=sys.stderr)
    # the lines are drawn on the record as read (detrended when asked), not applied
    shown = Reading(reading.dt, reading.offsets, reading.transpose, reading.format, None,
                    reading.detrend, None, reading.geometry)
    mute = None if reading.mute is None else reading.mute[:2]
    offsets = parse_offsets(args.offsets) if args.offsets is not None else None
    report = Report(len(paths), 1)
    progress = Progress(len(paths), "drawing", stream=sys.stderr, enabled=not args.quiet)
    try:
        for path, base in zip(paths, bases):
            try:
                found = load_gathers(path, shown, offsets)
            except UsageError as exc:
                report.fail(str(path), str(exc))
                continue
            for k, g in enumerate(found):
                name = f"{base}.gather.png" if len(found) == 1 else f"{base}.shot{k}.gather.png"
                target = folder / name
                fig, ax = new_figure((7.5, 5.5))
                title = f"{g.name}: {g.shape[0]} traces, {g.dt * 1e3:g} ms" + (
                    "" if len(found) == 1 else f", shot {k}")
                g.plot(ax, kind=args.kind, trim=reading.trim, mute=mute, title=title)
                report.writing(target)
                try:
                    savefig(fig, target, overwrite=args.overwrite)
                except FileExistsError:
                    report.fail(str(path), f"{target} appeared meanwhile; not replaced")
                    continue
                report.wrote(target)
            progress.step(str(path))
    except KeyboardInterrupt:
        report.settle()
        print(f"molvak: interrupted: wrote {len(report.written)} picture(s)", file=sys.stderr)
        return 130
    return 2 if report.failures else 0


def add_command(sub: Any) -> None:
    """Add the command to the subparsers of `molvak`."""
    gather = sub.add_parser(
        "gather", help="draw records (offset x time) to choose the time window",
        description="Draw every gather as wiggle traces (or an image) of offset against time "
                    "after the shot, with the lines of --trim and --mute drawn on the record "
                    "(not applied), so that the window to image can be chosen. Writes "
                    "DIR/<file>.gather.png, never over an existing file unless --overwrite.")
    gather.add_argument("gathers", nargs="*", metavar="GATHER",
                        help="gather files, or directories of them")
    gather.add_argument("--kind", choices=["wiggle", "image"], default="wiggle",
                        help="wiggle traces or a colour image (default %(default)s)")
    gather.add_argument("--format", choices=list(io.FORMATS),
                        help="file format (default: told by the file's first bytes and suffix)")
    preparation_options(gather)
    geometry_options(gather)
    gather.add_argument("--out", default=".", help="output directory (default: here)")
    gather.add_argument("--overwrite", action="store_true", help="replace existing pictures")
    gather.add_argument("--quiet", action="store_true", help="no progress bar")
    gather.set_defaults(func=cmd_gather)
