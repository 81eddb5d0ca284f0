"""SEG-Y (rev 0/1): a 3200-byte textual header, a 400-byte binary header, then
traces of a 240-byte header and the samples each.

Before ObsPy decodes the file, its traces are walked here from the sample
counts of their headers: the file must end exactly where the last trace
does, so a file cut short or a damaged count is refused instead of read as
fewer traces. The sample interval comes from the trace headers, or from the
binary header where they give 0; with neither it is unknown (not 1 s).

Geometry is taken from the fields that carry it: source and group
coordinates (scaled by the coordinate scalar) when the group coordinates
are not all 0, else the offset field; when both are filled in they must
agree.
"""
from __future__ import annotations

import struct
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from . import _obspy
from ._core import Format, HeaderError, RawRecord, ReadOptions, first_index, register

TRACE_HEADER = 240
FILE_HEADER = 3600
# bytes per sample of the data sample format codes of SEG-Y rev 1: IBM float,
# 32-bit integer, 16-bit integer, fixed point with gain, IEEE float, 8-bit
# integer. ObsPy tells the byte order by which reading gives one of them, and
# decodes all but 4 and 8.
SAMPLE_BYTES = {1: 4, 2: 4, 3: 2, 4: 4, 5: 4, 8: 1}
DECODED = {1: "IBM float", 2: "32-bit integer", 3: "16-bit integer", 5: "IEEE float"}
OFFSET_FIELD = "distance_from_center_of_the_source_point_to_the_center_of_the_receiver_group"


class WalkError(HeaderError):
    """The traces do not fill the file; `traces` of them were whole."""

    def __init__(self, message: str, traces: int) -> None:
        super().__init__(message)
        self.traces = traces


@dataclass
class Walk:
    """The traces of a file as their headers lay them out."""

    starts: list[int]
    samples: list[int]
    intervals_us: list[int]


def walk(path: Path, raw: bytes, start: int, endian: str, sample_bytes: int) -> Walk:
    """Step through the traces from byte `start`, each 240 header bytes
    plus its samples, and check that they fill the file exactly."""
    size = len(raw)
    out = Walk([], [], [])
    pos = start
    while pos < size:
        k = len(out.starts)
        if size - pos < TRACE_HEADER:
            raise WalkError(f"{path}: the file ends {size - pos} bytes into the 240-byte header "
                            f"of trace {k}: cut short, or a sample count is wrong", k)
        samples, interval = struct.unpack_from(endian + "HH", raw, pos + 114)
        if samples == 0:
            raise WalkError(f"{path}: trace {k}: number_of_samples_in_this_trace is 0", k)
        end = pos + TRACE_HEADER + samples * sample_bytes
        if end > size:
            raise WalkError(f"{path}: the file ends inside trace {k}: its {samples} samples "
                            f"take {samples * sample_bytes} bytes, {size - pos - TRACE_HEADER} "
                            f"remain: cut short, or a sample count is wrong", k)
        out.starts.append(pos)
        out.samples.append(samples)
        out.intervals_us.append(interval)
        pos = end
    if not out.starts:
        raise WalkError(f"{path}: the file holds no traces", 0)
    return out


def one_length(path: Path, layout: Walk) -> None:
    """Refuse, naming the trace, a file whose traces differ in length."""
    for k, n in enumerate(layout.samples):
        if n != layout.samples[0]:
            raise HeaderError(f"{path}: trace {k} has {n} samples, trace 0 has "
                              f"{layout.samples[0]}; a gather needs one record length")


def decoded(path: Path, stream: Any, layout: Walk) -> np.ndarray:
    """The samples ObsPy decoded, checked against the walk."""
    if len(stream) != len(layout.starts):
        raise HeaderError(f"{path}: ObsPy decoded {len(stream)} traces of the "
                          f"{len(layout.starts)} the trace headers lay out")
    for k, tr in enumerate(stream):
        if int(tr.stats.npts) != layout.samples[k]:
            raise HeaderError(f"{path}: trace {k}: ObsPy decoded {int(tr.stats.npts)} samples "
                              f"of the {layout.samples[k]} its header gives")
    return np.array([np.asarray(tr.data, dtype=np.float64) for tr in stream])


def sample_interval(path: Path, rec: RawRecord, trace_us: list[int],
                    file_us: int | None) -> None:
    """rec.dt from the trace headers' intervals (microseconds), the binary
    header's (None for SU, which has none) standing in for traces that give 0."""
    fallback = max(file_us or 0, 0)
    used = [t if t > 0 else fallback for t in trace_us]
    for k, v in enumerate(used):
        if v != used[0]:
            raise HeaderError(f"{path}: trace {k}: sample interval {v * 1e-6:g} s differs from "
                              f"trace 0's {used[0] * 1e-6:g} s")
    if used[0] <= 0:
        rec.dt_note = "the sample interval is 0 in the trace headers" + \
            ("" if file_us is None else " and the binary header")
    elif trace_us[0] > 0 and fallback > 0 and trace_us[0] != fallback:
        rec.dt_note = (f"the trace headers give a sample interval of {trace_us[0]} us, the "
                       f"binary header {fallback} us")
    else:
        rec.dt = used[0] * 1e-6


def _scalar(value: int) -> float:
    """SEG-Y scalars: positive multiplies, negative divides, 0 means 1."""
    value = int(value)
    if value > 0:
        return float(value)
    if value < 0:
        return 1.0 / float(-value)
    return 1.0


def geometry(path: Path, rec: RawRecord, headers: list[Any]) -> None:
    """Positions, offsets and delay of a SEG-Y or SU record from its trace
    headers (ObsPy's unpacked fields)."""
    rec.source_field = "source position (source_coordinate_x/_y are all 0)"
    rec.receiver_field = "receiver positions (group_coordinate_x/_y are all 0)"

    def get(name: str) -> np.ndarray:
        return np.array([float(h[name]) for h in headers], dtype=np.float64)

    units = get("coordinate_units")
    scale = np.array([_scalar(h["scalar_to_be_applied_to_all_coordinates"]) for h in headers])
    sx, sy = get("source_coordinate_x") * scale, get("source_coordinate_y") * scale
    gx, gy = get("group_coordinate_x") * scale, get("group_coordinate_y") * scale
    # the offset field has no scalar of its own; it is signed (negative for
    # receivers behind the source) and used as |offset|
    field_offsets = np.abs(get(OFFSET_FIELD))
    have_sources = bool(np.any(sx != 0.0) or np.any(sy != 0.0))
    have_receivers = bool(np.any(gx != 0.0) or np.any(gy != 0.0))
    have_offsets = bool(np.any(field_offsets != 0.0))
    planar = bool(np.any(sy != 0.0) or np.any(gy != 0.0))
    sources = np.stack([sx, sy], axis=1) if planar else sx[:, None]
    receivers = np.stack([gx, gy], axis=1) if planar else gx[:, None]
    geographic = units > 1
    if (have_sources or have_receivers) and geographic.any():
        # seconds of arc or degrees: the positions still tell the shots apart
        k = first_index(geographic)
        rec.geometry_note = (f"trace {k}: coordinate_units {int(units[k])} means geographic "
                             f"coordinates, not distances")
        rec.sources, rec.sources_are_positions = sources, False
        if have_offsets:
            rec.offsets = field_offsets
    elif have_receivers:
        rec.sources, rec.receivers = sources, receivers
        if have_offsets:
            conflict = _conflict(field_offsets, sources, receivers, scale)
            if conflict:
                # which to believe is the caller's call: geometry arguments
                # settle it, and the shots still split by source
                rec.geometry_note = conflict
                rec.receivers, rec.sources_are_positions = None, False
    else:
        # group coordinates all 0 carry no positions: the offset field does
        if have_sources:
            rec.sources = sources
        if have_offsets:
            rec.offsets = field_offsets

    time_scale = np.array([_scalar(h["scalar_to_be_applied_to_times"]) for h in headers])
    delays = get("delay_recording_time") * time_scale * 1e-3
    moved = np.abs(delays - delays[0]) > 1e-9
    if moved.any():
        k = first_index(moved)
        raise HeaderError(f"{path}: trace {k}: delay_recording_time {delays[k] * 1e3:g} ms "
                          f"differs from trace 0's {delays[0] * 1e3:g} ms")
    rec.delay = float(delays[0])


def _conflict(offsets: np.ndarray, sources: np.ndarray, receivers: np.ndarray,
              scale: np.ndarray) -> str | None:
    """Where the offset field disagrees with the coordinates, or None. It
    holds whole units, in the unit of the coordinates or (as some writers
    have it) of their scaled integers; either reading within half a unit
    agrees."""
    apart = np.sqrt(np.sum(np.square(receivers - sources), axis=1))
    slack = 1e-6 * np.maximum(1.0, apart)
    plain = np.abs(offsets - apart) <= 0.5 + slack
    scaled = np.abs(offsets * scale - apart) <= 0.5 * scale + slack
    if plain.all() or scaled.all():
        return None
    k = first_index(~plain)
    return (f"trace {k}: the offset field gives {offsets[k]:g}, but the source and group "
            f"coordinates lie {apart[k]:g} apart")


def load(path: Path, options: ReadOptions) -> RawRecord:
    """Read a SEG-Y file (through ObsPy) with its sample interval and
    geometry from the trace headers; the reader of SEG-Y in `molvak.io.read`."""
    raw = path.read_bytes()
    if len(raw) < FILE_HEADER:
        raise HeaderError(f"{path}: {len(raw)} bytes is shorter than the 3600-byte SEG-Y "
                          f"file header (textual and binary)")
    # the byte order is the one in which the data sample format code is
    # valid, as ObsPy tells it
    code: int | None = None
    endian = ">"
    for endian in (">", "<"):
        (value,) = struct.unpack_from(endian + "h", raw, 3224)
        if value in SAMPLE_BYTES:
            code = value
            break
    if code is None:
        (value,) = struct.unpack_from(">h", raw, 3224)
        raise HeaderError(f"{path}: data_sample_format_code {value} of the binary header is "
                          f"not one of {', '.join(map(str, SAMPLE_BYTES))}")
    if code not in DECODED:
        raise HeaderError(f"{path}: data_sample_format_code {code} ("
                          f"{'fixed point with gain' if code == 4 else '8-bit integer'}) is not "
                          f"decoded; codes {', '.join(map(str, DECODED))} are")
    (extended,) = struct.unpack_from(endian + "h", raw, 3504)
    if extended != 0:
        raise HeaderError(f"{path}: the binary header announces {extended} extended textual "
                          f"headers, which are not read")
    (file_us,) = struct.unpack_from(endian + "h", raw, 3216)
    layout = walk(path, raw, FILE_HEADER, endian, SAMPLE_BYTES[code])
    one_length(path, layout)

    stream = _obspy.decode(path, raw, "SEGY", unpack_trace_headers=True, byteorder=endian)
    rec = RawRecord(decoded(path, stream, layout))
    sample_interval(path, rec, layout.intervals_us, int(file_us))
    headers = [tr.stats.segy.trace_header for tr in stream]
    rec.headers["traces"] = [{name: h[name] for name in h} for h in headers]
    geometry(path, rec, headers)
    return rec


register(Format("SEGY", (".sgy", ".segy", ".seg-y"), load,
                carries=frozenset({"dt", "geometry", "shots"})))
