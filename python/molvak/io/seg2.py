"""SEG-2 (Pullan, 1990): the format of most engineering seismographs.

Layout: a file descriptor block (id 0x3a55 in the file's byte order, the
revision, the size M of the trace pointer sub-block, the number of traces N,
the string and line terminators), then N 4-byte trace pointers, then the
file's strings. Each pointer leads to a trace descriptor block (id 0x4422,
its size X, the data block size Y, the sample count NS, the data format
code, then strings "KEYWORD value"), followed by the Y bytes of samples.

Before ObsPy decodes the samples, the blocks are checked here against each
other and the size of the file: every trace lies inside the file and apart
from the others, Y agrees with NS and the format code, no trace is left out
of the pointer table, and the header fields this package uses are plain text
given once. The header values are taken from that parse too; ObsPy would
silently drop bytes that are not text from a value ("15.00" with a damaged
byte can read "1.00") and keep the last of a repeated keyword.
"""
from __future__ import annotations

import math
import struct
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from . import _obspy
from ._core import Format, HeaderError, RawRecord, ReadOptions, first_index, register

FILE_BLOCK_ID = 0x3A55
TRACE_BLOCK_ID = 0x4422
# bytes per sample of each data format code: 16- and 32-bit integers,
# 20-bit packed SEG-D words (4 samples in 10 bytes), 32- and 64-bit floats
SAMPLE_BYTES = {1: 2.0, 2: 4.0, 3: 2.5, 4: 4.0, 5: 8.0}
# the header fields read here; their values must be plain text, given once
USED = ("SAMPLE_INTERVAL", "DELAY", "DESCALING_FACTOR", "RECEIVER_LOCATION", "SOURCE_LOCATION")
# the characters ObsPy keeps in a header value (it drops all others)
_TEXT = frozenset(b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                  b"!\"#$%&'()*+,-./:; <=>?@[\\]^_`{|}~")


@dataclass
class _Trace:
    pointer: int
    block_size: int
    data_size: int
    samples: int
    code: int
    fields: dict[str, str]


def _sniff(head: bytes, suffix: str) -> bool:
    return head[:2] in (b"\x55\x3a", b"\x3a\x55")


def _strings(path: Path, raw: bytes, start: int, end: int, endian: str, terminator: bytes,
             where: str) -> dict[str, str]:
    """The strings of a free-form section: a 2-byte offset to the next
    string, the text, its terminator; an offset of 0 ends the section."""
    fields: dict[str, str] = {}
    k = start
    while k + 2 <= end:
        (length,) = struct.unpack_from(endian + "H", raw, k)
        if length == 0:
            break
        if length < 2 or k + length > end:
            raise HeaderError(f"{path}: {where}: the string at byte {k} claims {length} bytes, "
                              f"past the end of its block at byte {end}")
        text = raw[k + 2:k + length]
        cut = text.find(terminator)
        if cut >= 0:
            text = text[:cut]
        head, _, tail = text.strip().partition(b" ")
        # keys as ObsPy forms them (it keeps the text characters only)
        key = bytes(c for c in head if c in _TEXT).decode("ascii").strip()
        if key in USED:
            if cut < 0:
                # a damaged terminator joins the value to what follows it
                # ("0.001" and a stray "5" read 0.0015)
                raise HeaderError(f"{path}: {where}: the {key} string at byte {k} has no "
                                  f"terminator")
            value = tail.strip()
            if any(c not in _TEXT for c in value):
                raise HeaderError(f"{path}: {where}: {key} {value!r} holds bytes that are "
                                  f"not text")
            shown = value.decode("ascii")
            if key in fields and fields[key] != shown:
                raise HeaderError(f"{path}: {where}: {key} is given twice, "
                                  f"{fields[key]!r} and {shown!r}")
            fields[key] = shown
        k += length
    return fields


def _layout(path: Path, raw: bytes) -> tuple[list[_Trace], dict[str, str]]:
    """The trace blocks of a SEG-2 file, checked against each other and the
    file size, and the file's own fields (defaults for every trace)."""
    size = len(raw)
    if size < 32:
        raise HeaderError(f"{path}: {size} bytes is shorter than a SEG-2 file descriptor block")
    if raw[:2] == b"\x55\x3a":
        endian = "<"
    elif raw[:2] == b"\x3a\x55":
        endian = ">"
    else:
        raise HeaderError(f"{path}: no SEG-2 file descriptor block (id 0x3a55) at byte 0")
    pointer_bytes, ntraces = struct.unpack_from(endian + "HH", raw, 4)
    term_size, term = raw[8], raw[9:9 + max(raw[8], 1)]
    line_size = raw[11]
    if ntraces == 0:
        raise HeaderError(f"{path}: the file descriptor block gives 0 traces")
    if 4 * ntraces > pointer_bytes:
        raise HeaderError(f"{path}: the file descriptor block gives {ntraces} traces but room "
                          f"for {pointer_bytes // 4} trace pointers")
    first_free = 32 + pointer_bytes
    if first_free > size:
        raise HeaderError(f"{path}: the trace pointer sub-block ({pointer_bytes} bytes) runs "
                          f"past the end of the file ({size} bytes)")
    if term_size not in (1, 2) or line_size not in (1, 2):
        raise HeaderError(f"{path}: string and line terminators must be 1 or 2 bytes; the file "
                          f"descriptor block gives {term_size} and {line_size}")
    pointers = struct.unpack_from(f"{endian}{pointer_bytes // 4}I", raw, 32)

    def is_block(p: int) -> bool:
        return first_free <= p <= size - 32 and \
            struct.unpack_from(endian + "H", raw, p)[0] == TRACE_BLOCK_ID

    # a trace count lowered by damage leaves the next pointers in place
    extra = [k for k in range(ntraces, len(pointers)) if is_block(pointers[k])]
    if extra:
        raise HeaderError(f"{path}: the file descriptor block gives {ntraces} traces, but "
                          f"trace pointer {extra[0]} leads to one more")

    traces: list[_Trace] = []
    for k, p in enumerate(pointers[:ntraces]):
        where = f"trace {k}"
        if not first_free <= p <= size - 32:
            raise HeaderError(f"{path}: {where}: its pointer {p} lies outside the file's trace "
                              f"area (bytes {first_free} to {size})")
        block_id, block_size, data_size, samples, code = \
            struct.unpack_from(endian + "HHIIB", raw, p)
        if block_id != TRACE_BLOCK_ID:
            raise HeaderError(f"{path}: {where}: no trace descriptor block (id 0x4422) at "
                              f"byte {p}")
        if block_size < 32:
            raise HeaderError(f"{path}: {where}: the trace descriptor block size {block_size} "
                              f"is below 32")
        if code not in SAMPLE_BYTES:
            raise HeaderError(f"{path}: {where}: data format code {code} is not one of 1-5")
        if code == 3 and samples % 4:
            raise HeaderError(f"{path}: {where}: {samples} samples of data format code 3 "
                              f"(packed in fours)")
        need = math.ceil(samples * SAMPLE_BYTES[code])
        if data_size != need:
            raise HeaderError(f"{path}: {where}: the data block holds {data_size} bytes, but "
                              f"{samples} samples of data format code {code} take {need}")
        if p + block_size + data_size > size:
            raise HeaderError(f"{path}: {where}: its data end at byte "
                              f"{p + block_size + data_size}, past the end of the file "
                              f"({size} bytes)")
        fields = _strings(path, raw, p + 32, p + block_size, endian, term, where)
        traces.append(_Trace(p, block_size, data_size, samples, code, fields))

    spans = sorted((t.pointer, t.pointer + t.block_size + t.data_size, k)
                   for k, t in enumerate(traces))
    for (_, end, j), (start, _, k) in zip(spans, spans[1:]):
        if start < end:
            raise HeaderError(f"{path}: trace {k} overlaps trace {j} (byte {start})")
    if is_block(spans[-1][1]):
        raise HeaderError(f"{path}: a trace descriptor block follows the last trace (byte "
                          f"{spans[-1][1]}) that no trace pointer leads to")
    file_fields = _strings(path, raw, first_free, spans[0][0], endian, term,
                           "file descriptor block")
    return traces, file_fields


def _number(path: Path, k: int, name: str, text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise HeaderError(f"{path}: unreadable SEG2 header (the numeric SEG-2 fields "
                          f"SAMPLE_INTERVAL, DELAY, DESCALING_FACTOR): trace {k}: {name} "
                          f"{text!r} is not a number") from None


def _number_list(path: Path, k: int, name: str, text: str) -> np.ndarray:
    """A SEG-2 position field: one to three numbers separated by blanks."""
    try:
        values = np.array([float(v) for v in text.split()], dtype=np.float64)
    except ValueError:
        raise HeaderError(f"{path}: trace {k}: {name} {text!r} is not a list of "
                          f"numbers") from None
    if not 1 <= values.size <= 3 or not np.isfinite(values).all():
        raise HeaderError(f"{path}: trace {k}: {name} {text!r} must hold one to three "
                          f"finite coordinates")
    return values


def _column(path: Path, fields: list[dict[str, str]], name: str) -> np.ndarray | None:
    present = [name in f for f in fields]
    if not any(present):
        return None
    if not all(present):
        k = present.index(False)
        raise HeaderError(f"{path}: trace {k} has no {name} field, though other traces do")
    rows = [_number_list(path, k, name, f[name]) for k, f in enumerate(fields)]
    if len({r.size for r in rows}) != 1:
        raise HeaderError(f"{path}: {name} holds different numbers of coordinates "
                          f"in different traces")
    return np.array(rows)


def _same(path: Path, values: list[float], name: str, unit: str, tol: float, why: str) -> float:
    """The one value all traces share (within `tol`: parsing noise)."""
    for k, v in enumerate(values):
        if not math.isfinite(v):
            raise HeaderError(f"{path}: trace {k}: {name} must be a finite number")
        if abs(v - values[0]) > tol:
            raise HeaderError(f"{path}: trace {k}: {name} {v:g} {unit} differs from trace 0's "
                              f"{values[0]:g} {unit}{why}")
    return values[0]


def load(path: Path, options: ReadOptions) -> RawRecord:
    """Read a SEG-2 file (through ObsPy) with its sample interval,
    recording delay and geometry from the headers; the reader of SEG-2 in
    `molvak.io.read`."""
    raw = path.read_bytes()
    traces, file_fields = _layout(path, raw)
    # ObsPy gives every trace the file's fields, its own taking precedence
    fields = [{**file_fields, **t.fields} for t in traces]
    for k, t in enumerate(traces):
        if t.samples != traces[0].samples:
            raise HeaderError(f"{path}: trace {k} has {t.samples} samples, trace 0 has "
                              f"{traces[0].samples}; a gather needs one record length")
        if t.code != traces[0].code:
            raise HeaderError(f"{path}: trace {k}: data format code {t.code} differs from "
                              f"trace 0's {traces[0].code}")
        if "SAMPLE_INTERVAL" not in fields[k]:
            raise HeaderError(f"{path}: trace {k} has no SAMPLE_INTERVAL field")

    intervals = [_number(path, k, "SAMPLE_INTERVAL", f["SAMPLE_INTERVAL"])
                 for k, f in enumerate(fields)]
    for k, v in enumerate(intervals):
        if not (math.isfinite(v) and v > 0):
            raise HeaderError(f"{path}: trace {k}: SAMPLE_INTERVAL must be a positive number "
                              f"of seconds; got {v:g}")
    dt = _same(path, intervals, "SAMPLE_INTERVAL", "s", 1e-9 * intervals[0], "")
    calib = np.ones(len(traces))
    for k, f in enumerate(fields):
        if "DESCALING_FACTOR" in f:
            factor = _number(path, k, "DESCALING_FACTOR", f["DESCALING_FACTOR"])
            if not math.isfinite(factor):
                raise HeaderError(f"{path}: trace {k}: DESCALING_FACTOR is not finite")
            calib[k] = factor or 1.0

    stream = _obspy.decode(path, raw, "SEG2")
    if len(stream) != len(traces):
        raise HeaderError(f"{path}: ObsPy decoded {len(stream)} traces of the {len(traces)} "
                          f"the file descriptor block gives")
    for k, (tr, t) in enumerate(zip(stream, traces)):
        if int(tr.stats.npts) != t.samples:
            raise HeaderError(f"{path}: trace {k}: ObsPy decoded {int(tr.stats.npts)} samples "
                              f"of the {t.samples} the trace descriptor gives")
    data = np.array([np.asarray(tr.data, dtype=np.float64) for tr in stream])

    rec = RawRecord(data, dt=dt, source_field="SOURCE_LOCATION",
                 receiver_field="RECEIVER_LOCATION")
    rec.headers["file"] = dict(getattr(stream, "stats", {}).get("seg2", {}))
    rec.headers["traces"] = [dict(tr.stats.seg2) for tr in stream]
    if options.calibrate and not np.all(calib == 1.0):
        rec.data *= calib[:, None]
        rec.headers["calibration"] = calib

    receivers = _column(path, fields, "RECEIVER_LOCATION")
    sources = _column(path, fields, "SOURCE_LOCATION")
    if sources is not None:
        # one SEG-2 file is one shot: the source must not move between traces
        moved = np.any(np.abs(sources - sources[0]) > 1e-9, axis=1)
        if moved.any():
            k = first_index(moved)
            raise HeaderError(f"{path}: trace {k}: SOURCE_LOCATION {fields[k]['SOURCE_LOCATION']!r}"
                              f" differs from trace 0's {fields[0]['SOURCE_LOCATION']!r}")
    if receivers is not None and sources is not None and receivers.shape[1] != sources.shape[1]:
        raise HeaderError(f"{path}: RECEIVER_LOCATION has {receivers.shape[1]} coordinate(s) "
                          f"but SOURCE_LOCATION has {sources.shape[1]}")
    rec.receivers, rec.sources = receivers, sources
    if any("DELAY" in f for f in fields):
        delays = []
        for k, f in enumerate(fields):
            if "DELAY" not in f:
                raise HeaderError(f"{path}: trace {k} has no DELAY field, though other "
                                  f"traces do")
            try:
                delays.append(float(f["DELAY"]))
            except ValueError:
                raise HeaderError(f"{path}: trace {k}: DELAY {f['DELAY']!r} is not a "
                                  f"number") from None
        rec.delay = _same(path, delays, "DELAY", "s", 1e-9, "; the traces must start at one time")
    return rec


register(Format("SEG2", (".sg2", ".seg2"), load, sniff=_sniff,
                carries=frozenset({"dt", "geometry"})))
