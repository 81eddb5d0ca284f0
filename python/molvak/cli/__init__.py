"""The `molvak` command line.

    molvak demo [--out demo]
    molvak gather GATHER [GATHER ...] [--trim T0 T1] [--mute-before T0:V] [--out DIR]
    molvak image GATHER [GATHER ...] [--method phase_shift] [--stack] [--out DIR]
    molvak image SHOTS/ --by-source --detrend --trim 0 0.5 --method fdbf [--out DIR]
    molvak image --geometry TABLE.csv --dt 0.001 [--modes 2] [--all-picks]
    molvak combine RESULTS/ [--out site]        (also molvak stats)
    molvak invert CURVE [CURVE ...] --layers 3 [--out DIR]
    molvak review RESULTS/
    molvak virtual RECORDS --source 0 --length 10 --out DIR
    molvak timelapse RECORDS --source 0 --length 10 --block 1h --out DIR

One module per command, each with ``add_command(subparsers)`` (its parser)
and the function the parser calls; this module only assembles them
(:data:`COMMANDS`) and runs the one asked for. A new command is a new module
and its name in that list.
"""
from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from typing import Optional

from .. import __version__, _review
from . import curves, demo, gather, image, invert, sweep, timelapse, virtual
from ._common import UsageError

# the commands in the order of `molvak --help`
COMMANDS = (demo, image, gather, curves, sweep, invert, _review, virtual, timelapse)


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``molvak`` command, one sub-command per
    module of :data:`COMMANDS`."""
    parser = argparse.ArgumentParser(
        prog="molvak", description="Dispersion images of seismic surface waves.")
    parser.add_argument("--version", action="version", version=f"molvak {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    for command in COMMANDS:
        command.add_command(sub)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the ``molvak`` command line.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments (``sys.argv[1:]`` by default).

    Returns
    -------
    int
        The exit status: 0, 2 for a usage error or a failure reported in one
        line, 130 when interrupted (or the command's own status).
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "func", None) is None:
        parser.print_help(sys.stderr)
        return 2
    try:
        return int(args.func(args))
    except KeyboardInterrupt:
        print("molvak: interrupted", file=sys.stderr)
        return 130
    except (UsageError, ValueError, ImportError) as exc:
        print(f"molvak: error: {exc}", file=sys.stderr)
        return 2
