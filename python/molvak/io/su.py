"""Seismic Unix: SEG-Y trace headers and 32-bit IEEE float samples, with no
file header, in either byte order. The byte order is the one in which the
traces' sample counts lay them out to fill the file exactly (little-endian
first, as SU is written on the machine that runs it); the rest is read as
SEG-Y traces are.
"""
from __future__ import annotations

from pathlib import Path

from . import _obspy
from ._core import Format, HeaderError, RawRecord, ReadOptions, register
from .segy import Walk, WalkError, decoded, geometry, one_length, sample_interval, walk


def load(path: Path, options: ReadOptions) -> RawRecord:
    """Read a Seismic Unix file (SEG-Y traces without the file header,
    either byte order, through ObsPy); the reader of ``.su`` in `molvak.io.read`."""
    raw = path.read_bytes()
    layout: Walk | None = None
    failures = []
    for endian in ("<", ">"):
        try:
            layout = walk(path, raw, 0, endian, 4)
            break
        except WalkError as exc:
            failures.append(exc)
    if layout is None:
        # the complaint of the byte order that got further names the place
        worst = max(failures, key=lambda exc: exc.traces)
        raise HeaderError(f"{worst} (in either byte order)")
    one_length(path, layout)
    stream = _obspy.decode(path, raw, "SU", unpack_trace_headers=True, byteorder=endian)
    rec = RawRecord(decoded(path, stream, layout))
    sample_interval(path, rec, layout.intervals_us, None)
    headers = [tr.stats.su.trace_header for tr in stream]
    rec.headers["traces"] = [{name: h[name] for name in h} for h in headers]
    geometry(path, rec, headers)
    return rec


register(Format("SU", (".su",), load,
                carries=frozenset({"dt", "geometry", "shots"})))
