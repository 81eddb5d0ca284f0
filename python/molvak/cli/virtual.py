"""`molvak virtual`: virtual shot gathers of a continuous record, their
dispersion images and picks.

    molvak virtual RECORDS --source 0 [50 ...] --length 10 --out DIR

For every virtual source S: DIR/virtual_S.npz (the gather), virtual_S.png,
and virtual_S.<method>.npz, .csv (picks) and .png. With --partial, the
partial stacks of every block of that length go to DIR/stacks/ as they are
done, and a run started again reads those already there."""
from __future__ import annotations

import argparse
from functools import partial
from typing import Any

from ..interferometry import correlate
from ..timelapse import block_seconds, image_gather
from . import _das as _cli_das


def add_command(sub: Any) -> None:
    """Register `molvak virtual` on the command line's subparsers."""
    p = sub.add_parser(
        "virtual", help="virtual shot gathers of a continuous record, imaged and picked",
        description="Cross-correlate a continuous record (ambient noise on a fibre) with "
                    "virtual-source channels, stack over windows and fold: one virtual shot "
                    "gather per source, its dispersion image and picks. Outputs are never "
                    "replaced without --overwrite and appear complete or not at all.")
    p.add_argument("--source", type=int, nargs="+", required=True, metavar="S",
                   help="virtual-source channel index(es)")
    p.add_argument("--partial", metavar="LENGTH",
                   help="keep partial stacks per block of this length (e.g. 1h) in DIR/stacks "
                        "and resume from them")
    _cli_das.correlation_flags(p)
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    """Run `molvak virtual`."""
    sources = list(dict.fromkeys(args.source))
    method = args.method
    names = []
    for s in sources:
        names += [f"virtual_{s}.npz", f"virtual_{s}.{method}.npz", f"virtual_{s}.{method}.csv"]
        if not args.no_plot:
            names += [f"virtual_{s}.png", f"virtual_{s}.{method}.png"]
    options = _cli_das.correlation_options(args)
    record = _cli_das.records(args)
    out = _cli_das.Outputs(args.out, names, args.overwrite)
    try:
        extra: dict[str, Any] = {}
        if args.partial:
            extra = {"out": out.path("stacks"), "partial": block_seconds(args.partial)}
        stack = correlate(record, sources, args.length, **options, **extra)
        for s, gather in zip(sources, stack.gathers(fold=args.fold)):
            keep = {"overwrite": args.overwrite}
            out.write(f"virtual_{s}.npz", partial(gather.save, **keep))
            image = image_gather(gather, method, **_cli_das.image_options(args))
            curve = image.pick()
            out.write(f"virtual_{s}.{method}.npz", partial(image.save, **keep))
            out.write(f"virtual_{s}.{method}.csv", partial(curve.to_csv, **keep))
            if not args.no_plot:
                out.figure(f"virtual_{s}.png", gather.plot(kind="image", title=(
                    f"virtual source {s}: {gather.headers['windows']} windows")).figure)
                out.figure(f"virtual_{s}.{method}.png",
                           image.plot(title=f"virtual source {s}, {method}").figure)
    except KeyboardInterrupt:
        kept = " (partial stacks kept in stacks/: run again to resume)" if args.partial else ""
        return out.interrupted(kept)
    return 0
