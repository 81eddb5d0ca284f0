"""`molvak timelapse`: per block of time, the virtual gather's dispersion
curve and the velocity change dv/v against the whole record.

    molvak timelapse RECORDS --source 0 --length 10 --block 1h --out DIR

Writes DIR/stacks/block_<index>_<length>s.h5 (the blocks' partial stacks,
each as soon as it is done: a run started again reads those already there
and computes only the others), then DIR/curves.csv and curves.png (picked
phase velocities per block) and, unless --dvv none, DIR/dvv.csv and
dvv.png."""
from __future__ import annotations

import argparse
from typing import Any

from ..timelapse import timelapse
from . import _das as _cli_das


def add_command(sub: Any) -> None:
    """Register `molvak timelapse` on the command line's subparsers."""
    p = sub.add_parser(
        "timelapse", help="dispersion curves and dv/v per block of a continuous record",
        description="Correlate a continuous record block by block (--block 1h, 1d, 30min, "
                    "...) with one virtual source: per block the virtual gather, its picked "
                    "dispersion curve and dv/v against the stack of the whole record. The "
                    "blocks' partial stacks are kept in DIR/stacks so an interrupted run "
                    "resumes.")
    p.add_argument("--source", type=int, required=True, metavar="S",
                   help="virtual-source channel index")
    p.add_argument("--block", required=True, metavar="LENGTH",
                   help="block length: seconds or 30min, 1h, 1d, ...")
    p.add_argument("--min-windows", type=int, default=1,
                   help="leave out blocks with fewer windows (default %(default)s)")
    g = p.add_argument_group("dv/v")
    g.add_argument("--dvv", choices=("stretching", "mwcs", "none"), default="stretching",
                   help="method (default %(default)s)")
    g.add_argument("--lags", type=float, nargs=2, metavar=("TMIN", "TMAX"),
                   help="lag window |t| in [TMIN, TMAX], s (default: all lags)")
    g.add_argument("--dvv-fmin", type=float, help="band of dv/v, Hz (default: the reference's)")
    g.add_argument("--dvv-fmax", type=float, help="band of dv/v, Hz")
    _cli_das.correlation_flags(p)
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    """Run `molvak timelapse`."""
    names = ["curves.csv"] + ([] if args.no_plot else ["curves.png"])
    if args.dvv != "none":
        names += ["dvv.csv"] + ([] if args.no_plot else ["dvv.png"])
    options = _cli_das.correlation_options(args)
    record = _cli_das.records(args)
    out = _cli_das.Outputs(args.out, names, args.overwrite)
    dvv = None if args.dvv == "none" else {
        "method": args.dvv, "lags": tuple(args.lags) if args.lags else None,
        "fmin": args.dvv_fmin, "fmax": args.dvv_fmax}
    try:
        tl = timelapse(record, args.source, args.length, args.block, method=args.method,
                       min_windows=args.min_windows, fold=args.fold, dvv=dvv,
                       out=out.path("stacks"), **_cli_das.image_options(args), **options)
        print(f"blocks: {tl.computed} correlated, {tl.reused} read from "
              f"{out.path('stacks')}", flush=True)
        out.write("curves.csv", lambda p: tl.to_csv(p, overwrite=args.overwrite))
        if not args.no_plot:
            out.figure("curves.png", tl.plot())
        if dvv is not None:
            out.write("dvv.csv", lambda p: tl.dvv_to_csv(p, overwrite=args.overwrite))
            if not args.no_plot:
                out.figure("dvv.png", tl.plot_dvv())
    except KeyboardInterrupt:
        done = len(list(out.path("stacks").glob("block_*.h5"))) \
            if out.path("stacks").is_dir() else 0
        return out.interrupted(f"; {done} block stack(s) in {out.path('stacks')}: run again "
                               f"to resume")
    return 0
