"""Reading shot records into :class:`~molvak.Gather` objects.

Formats: SEG-2 and SEG-Y/SU through ObsPy (the optional ``io`` extra), NumPy
.npy/.npz files and delimited text. The format is told by the file's first
bytes where it has a signature (SEG-2, .npy, .npz) and by its suffix
otherwise (.sgy/.segy, .su); anything else is read as text.

Geometry is taken from the headers where the format holds it (SEG-2
RECEIVER_LOCATION and SOURCE_LOCATION, SEG-Y source and group coordinates or
the offset field, the arrays of a .npz) and from arguments otherwise;
arguments always win. Offsets are the distances between source and
receivers, so a reverse shot or a split spread needs no flipping. A header
that is missing, unreadable or inconsistent between traces is refused with
an error that names the file, the trace and the field.
"""
from __future__ import annotations

import math
import os
import re
import warnings
from dataclasses import dataclass, field
from io import BytesIO
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Union

import numpy as np
from numpy.typing import ArrayLike

from .gather import Gather

__all__ = ["FORMATS", "HeaderError", "detect_format", "read", "read_shots"]

PathLike = Union[str, "os.PathLike[str]"]

FORMATS = ("SEG2", "SEGY", "SU", "NPY", "NPZ", "TEXT")
SEGY_SUFFIXES = {".sgy", ".segy", ".seg-y"}
SEG2_SUFFIXES = {".sg2", ".seg2"}

# the two notes ObsPy's SEG-2 reader gives on every file with a recording
# delay or vendor fields; the delay is read from the DELAY field here
OBSPY_NOTES = ("Non-zero value found in Trace's 'DELAY' field",
               "Many companies use custom defined SEG2 header variables")


class HeaderError(ValueError):
    """A file whose headers are missing, unreadable or inconsistent."""


@dataclass
class _Record:
    """What a format reader found, before the arguments are applied."""

    data: np.ndarray
    dt: Optional[float] = None
    delay: Optional[float] = None
    # per-trace source positions (NX, D): SEG-Y files may hold several shots
    sources: Optional[np.ndarray] = None
    receivers: Optional[np.ndarray] = None
    offsets: Optional[np.ndarray] = None
    headers: Dict[str, Any] = field(default_factory=dict)
    # the names of the header fields, for messages
    source_field: str = "source position"
    receiver_field: str = "receiver positions"

    def subset(self, keep: np.ndarray) -> "_Record":
        pick = (lambda a: None if a is None else a[keep])  # noqa: E731
        headers = dict(self.headers)
        if "traces" in headers:
            headers["traces"] = [h for h, k in zip(headers["traces"], keep) if k]
        return _Record(np.ascontiguousarray(self.data[keep]), self.dt, self.delay,
                       pick(self.sources), pick(self.receivers), pick(self.offsets), headers,
                       self.source_field, self.receiver_field)


# --------------------------------------------------------------------------
# public functions


def detect_format(path: PathLike) -> str:
    """The format a file is read as: one of :data:`FORMATS`."""
    p = Path(path)
    with open(p, "rb") as handle:
        head = handle.read(8)
    suffix = p.suffix.lower()
    if head[:6] == b"\x93NUMPY":
        return "NPY"
    if head[:4] == b"PK\x03\x04" and suffix == ".npz":
        return "NPZ"
    # the SEG-2 file descriptor block starts with the block id 0x3a55,
    # written in the byte order of the file
    if head[:2] in (b"\x55\x3a", b"\x3a\x55"):
        return "SEG2"
    if suffix in SEG2_SUFFIXES:
        return "SEG2"
    if suffix in SEGY_SUFFIXES:
        return "SEGY"
    if suffix == ".su":
        return "SU"
    if suffix == ".npz":
        return "NPZ"
    return "TEXT"


def read(path: PathLike, *, format: Optional[str] = None, dt: Optional[float] = None,
         delay: Optional[float] = None, offsets: Optional[ArrayLike] = None,
         source: Optional[ArrayLike] = None, receivers: Optional[ArrayLike] = None,
         spacing: Optional[float] = None, first_receiver: float = 0.0,
         layout: Optional[str] = None, delimiter: Optional[str] = None,
         header_lines: Optional[int] = None, time_column: Optional[int] = None,
         calibrate: bool = True) -> Gather:
    """Read one shot record.

    Parameters
    ----------
    path : str or path-like
        The file.
    format : {"SEG2", "SEGY", "SU", "NPY", "NPZ", "TEXT"}, optional
        Overrides the format told by the file's signature and suffix.
    dt : float, optional
        Sample interval (s). Required for .npy and text files; overrides the
        headers of the others.
    delay : float, optional
        Time of the first sample relative to the shot (s), negative for a
        pre-trigger record; overrides the headers (SEG-2 DELAY, SEG-Y delay
        recording time). 0 when neither gives it.
    offsets : array_like, optional
        The offset of every trace (m). Overrides all other geometry; the
        gather then keeps positions only when `source` and `receivers` are
        given too (and must agree with them).
    source : float or array_like, optional
        Source position, in-line (one number) or 2-D/3-D coordinates.
    receivers : array_like, optional
        Receiver positions, one per trace.
    spacing, first_receiver : float, optional
        A regular line instead of `receivers`: receiver k stands at
        first_receiver + k * spacing.
    layout : {"rows", "columns"}, optional
        For .npy, .npz and text: whether the traces are the rows or the
        columns of the stored matrix. By default a text file whose last
        header line titles every column ("Channel 1", "Channel 2", ...) holds
        one trace per column, and everything else one trace per row.
    delimiter : str, optional
        Text field separator; by default a tab, comma or semicolon found in
        the first data line, else runs of blanks.
    header_lines : int, optional
        Text lines before the data; by default every leading line that is
        not a row of numbers.
    time_column : int, optional
        Text in columns layout: the column that holds the time of each row
        (s). It is not a trace; dt and delay are taken from it unless given.
    calibrate : bool
        Multiply SEG-2 traces by their DESCALING_FACTOR (ObsPy's calib), so
        that traces recorded at different gains compare. Factors of 0 are
        taken as unknown (1).

    Returns
    -------
    Gather
        Its `headers` hold "path", "format" and what the file had: "file"
        and "traces" (SEG-2, SEG-Y header fields), "header_lines" and
        "columns" (text).
    """
    record = _load(path, format, layout=layout, delimiter=delimiter, header_lines=header_lines,
                   time_column=time_column, calibrate=calibrate)
    if record.sources is not None and offsets is None and source is None:
        distinct = _distinct_rows(record.sources)
        if len(distinct) > 1:
            shown = ", ".join(_position_text(p) for p in distinct[:6])
            raise HeaderError(f"{path}: the traces come from {len(distinct)} source positions "
                              f"({shown}); read them one shot each with molvak.read_shots")
    return _finish(path, record, dt=dt, delay=delay, offsets=offsets, source=source,
                   receivers=receivers, spacing=spacing, first_receiver=first_receiver)


def read_shots(path: PathLike, **options: Any) -> List[Gather]:
    """Read a file that may hold several shots (SEG-Y and SU files often do)
    as one gather per source position, in order of first appearance.

    `options` are those of :func:`read`; geometry arguments (`source`,
    `offsets`) make no sense for several shots and are refused. Files of
    other formats give a list of one gather.
    """
    if options.get("source") is not None or options.get("offsets") is not None:
        raise TypeError("read_shots takes the geometry of every shot from the headers; "
                        "read single shots with molvak.read to give source= or offsets=")
    load_keys = ("layout", "delimiter", "header_lines", "time_column", "calibrate")
    record = _load(path, options.get("format"),
                   **{k: options[k] for k in load_keys if k in options})
    finish = {k: v for k, v in options.items() if k not in load_keys + ("format",)}
    return _split_shots(path, record, **finish)


def _split_shots(path: PathLike, record: _Record, **finish: Any) -> List[Gather]:
    """One gather per source position of the record's traces."""
    if record.sources is None:
        return [_finish(path, record, **finish)]
    positions = _distinct_rows(record.sources)
    if len(positions) == 1:
        return [_finish(path, record, **finish)]
    shots = []
    for position in positions:
        keep = np.all(np.round(record.sources, 9) == np.round(position, 9)[None, :], axis=1)
        part = record.subset(keep)
        part.headers["shot"] = len(shots)
        shots.append(_finish(path, part, **finish))
    return shots


def has_geometry(record: _Record) -> bool:
    """Whether a record's headers give the offsets of its traces."""
    return record.offsets is not None or (record.sources is not None
                                          and record.receivers is not None)


# --------------------------------------------------------------------------
# from a record to a gather


def _finish(path: PathLike, rec: _Record, *, dt: Optional[float] = None,
            delay: Optional[float] = None, offsets: Optional[ArrayLike] = None,
            source: Optional[ArrayLike] = None, receivers: Optional[ArrayLike] = None,
            spacing: Optional[float] = None, first_receiver: float = 0.0) -> Gather:
    nx = rec.data.shape[0]
    step = dt if dt is not None else rec.dt
    if step is None:
        raise HeaderError(f"{path}: the file gives no sample interval; give dt= (seconds)")
    start = delay if delay is not None else (rec.delay if rec.delay is not None else 0.0)

    if spacing is not None:
        if receivers is not None:
            raise TypeError("give receivers= or spacing=, not both")
        spacing = float(spacing)
        if not (math.isfinite(spacing) and spacing != 0.0):
            raise ValueError(f"spacing must be a finite, non-zero distance; got {spacing!r}")
        receivers = float(first_receiver) + spacing * np.arange(nx, dtype=np.float64)

    file_source = None if rec.sources is None else rec.sources[0]
    src = source if source is not None else (None if offsets is not None else file_source)
    rcv = receivers if receivers is not None else (None if offsets is not None
                                                   else rec.receivers)
    x = offsets
    if x is None and (src is None or rcv is None):
        if rec.offsets is not None and src is None and rcv is None:
            x = rec.offsets
        elif rcv is not None and src is None:
            raise HeaderError(f"{path}: the file gives no {rec.source_field}; give source=")
        elif src is not None and rcv is None:
            raise HeaderError(f"{path}: the file gives no {rec.receiver_field}; give "
                              f"receivers= or spacing=")
        else:
            raise HeaderError(f"{path}: the file gives no geometry; give offsets=, or "
                              f"source= with receivers= or spacing=")
    headers = {"path": os.fspath(path), **rec.headers}
    try:
        return Gather(rec.data, offsets=x, dt=step, delay=start, source=src, receivers=rcv,
                      headers=headers)
    except (ValueError, TypeError) as exc:
        raise type(exc)(f"{path}: {exc}") from None


# --------------------------------------------------------------------------
# the formats


def _load(path: PathLike, format: Optional[str], *, layout: Optional[str] = None,
          delimiter: Optional[str] = None, header_lines: Optional[int] = None,
          time_column: Optional[int] = None, calibrate: bool = True) -> _Record:
    p = Path(path)
    if not p.exists():
        raise FileNotFoundError(f"{path}: no such file")
    if p.is_dir():
        raise IsADirectoryError(f"{path}: is a directory, not a shot record")
    fmt = detect_format(p) if format is None else str(format).upper().replace("-", "")
    if fmt not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}; got {format!r}")
    if layout is not None and layout not in ("rows", "columns"):
        raise ValueError(f"layout must be 'rows' or 'columns'; got {layout!r}")
    if fmt in ("SEG2", "SEGY", "SU"):
        rec = _load_obspy(p, fmt, calibrate)
    elif fmt == "NPY":
        rec = _load_npy(p, layout)
    elif fmt == "NPZ":
        rec = _load_npz(p, layout)
    else:
        rec = _load_text(p, layout, delimiter, header_lines, time_column)
    rec.headers["format"] = fmt
    _check_samples(p, rec.data)
    return rec


def _check_samples(path: Path, data: np.ndarray) -> None:
    if data.ndim != 2:
        raise ValueError(f"{path}: the gather must be a 2-D array (traces x samples); "
                         f"got shape {data.shape}")
    if data.shape[0] == 0 or data.shape[1] == 0:
        raise ValueError(f"{path}: the gather is empty (shape {data.shape})")
    bad = ~np.isfinite(data).all(axis=1)
    if bad.any():
        rows = np.flatnonzero(bad)
        raise ValueError(f"{path}: trace(s) {', '.join(str(int(r)) for r in rows[:10])} "
                         f"hold NaN or infinite samples")


def _require_obspy() -> Any:
    try:
        # ObsPy's import walks the entry points through an interface that
        # newer Pythons deprecate; that warning is ObsPy's business
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            import obspy
    except ImportError as exc:
        raise ImportError("reading SEG-2 and SEG-Y files needs ObsPy: "
                          "pip install 'molvak[io]'") from exc
    return obspy


def _load_obspy(path: Path, fmt: str, calibrate: bool) -> _Record:
    obspy = _require_obspy()
    kwargs = {} if fmt == "SEG2" else {"unpack_trace_headers": True}
    try:
        with warnings.catch_warnings():
            for note in OBSPY_NOTES:
                warnings.filterwarnings("ignore", message=re.escape(note))
            # from memory: ObsPy's SEG-2 reader leaves its file open when a
            # header fails to parse
            stream = obspy.read(BytesIO(path.read_bytes()), format=fmt, **kwargs)
    except KeyError as exc:
        raise HeaderError(f"{path}: a trace header lacks the field {exc.args[0]}") from None
    except ValueError as exc:
        hint = " (the numeric SEG-2 fields SAMPLE_INTERVAL, DELAY, DESCALING_FACTOR)" \
            if fmt == "SEG2" else ""
        raise HeaderError(f"{path}: unreadable {fmt} header{hint}: {exc}") from None
    except Exception as exc:  # ObsPy's own errors for corrupt files
        raise HeaderError(f"{path}: not a readable {fmt} file: {exc}") from None
    traces = list(stream)
    if not traces:
        raise HeaderError(f"{path}: the file holds no traces")
    npts = {int(tr.stats.npts) for tr in traces}
    if len(npts) != 1:
        counts = [int(tr.stats.npts) for tr in traces]
        k = next(i for i, n in enumerate(counts) if n != counts[0])
        raise HeaderError(f"{path}: trace {k} has {counts[k]} samples, trace 0 has "
                          f"{counts[0]}; a gather needs one record length")
    deltas = np.array([float(tr.stats.delta) for tr in traces])
    interval_field = "SAMPLE_INTERVAL" if fmt == "SEG2" else "sample interval"
    if not (np.isfinite(deltas).all() and (deltas > 0).all()):
        k = int(np.flatnonzero(~(np.isfinite(deltas) & (deltas > 0)))[0])
        raise HeaderError(f"{path}: trace {k}: {interval_field} must be a positive number of "
                          f"seconds; got {deltas[k]:g}")
    if np.any(np.abs(deltas - deltas[0]) > 1e-9 * deltas[0]):
        k = int(np.flatnonzero(np.abs(deltas - deltas[0]) > 1e-9 * deltas[0])[0])
        raise HeaderError(f"{path}: trace {k}: {interval_field} {deltas[k]:g} s differs from "
                          f"trace 0's {deltas[0]:g} s")
    data = np.array([np.asarray(tr.data, dtype=np.float64) for tr in traces])
    calib = np.array([float(getattr(tr.stats, "calib", 1.0) or 1.0) for tr in traces])
    headers: Dict[str, Any] = {}
    if fmt == "SEG2":
        rec = _seg2_geometry(path, stream, traces)
    else:
        rec = _segy_geometry(path, stream, traces, fmt)
        calib[:] = 1.0   # ObsPy gives no calibration from SEG-Y headers
    if calibrate and not np.all(calib == 1.0):
        if not np.isfinite(calib).all():
            k = int(np.flatnonzero(~np.isfinite(calib))[0])
            raise HeaderError(f"{path}: trace {k}: DESCALING_FACTOR is not finite")
        data *= calib[:, None]
        headers["calibration"] = calib
    rec.data = data
    rec.dt = float(deltas[0])
    rec.headers.update(headers)
    return rec


def _number_list(path: Path, k: int, name: str, text: Any) -> np.ndarray:
    """A SEG-2 position field: one to three numbers separated by blanks."""
    try:
        values = np.array([float(v) for v in str(text).split()], dtype=np.float64)
    except ValueError:
        raise HeaderError(f"{path}: trace {k}: {name} {str(text)!r} is not a list of "
                          f"numbers") from None
    if not 1 <= values.size <= 3 or not np.isfinite(values).all():
        raise HeaderError(f"{path}: trace {k}: {name} {str(text)!r} must hold one to three "
                          f"finite coordinates")
    return values


def _seg2_geometry(path: Path, stream: Any, traces: List[Any]) -> _Record:
    fields = [dict(tr.stats.seg2) for tr in traces]
    rec = _Record(np.empty((0, 0)), source_field="SOURCE_LOCATION",
                  receiver_field="RECEIVER_LOCATION")
    rec.headers["file"] = dict(getattr(stream, "stats", {}).get("seg2", {}))
    rec.headers["traces"] = fields

    def column(name: str) -> Optional[np.ndarray]:
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

    receivers = column("RECEIVER_LOCATION")
    sources = column("SOURCE_LOCATION")
    if sources is not None:
        # one SEG-2 file is one shot: the source must not move between traces
        moved = np.flatnonzero(np.any(np.abs(sources - sources[0]) > 1e-9, axis=1))
        if moved.size:
            k = int(moved[0])
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
        if not all(math.isfinite(d) for d in delays):
            raise HeaderError(f"{path}: DELAY must be a finite number of seconds")
        if any(abs(d - delays[0]) > 1e-9 for d in delays):
            k = next(i for i, d in enumerate(delays) if abs(d - delays[0]) > 1e-9)
            raise HeaderError(f"{path}: trace {k}: DELAY {delays[k]:g} s differs from trace 0's "
                              f"{delays[0]:g} s; the traces must start at one time")
        rec.delay = delays[0]
    return rec


def _segy_scalar(value: int) -> float:
    """SEG-Y scalars: positive multiplies, negative divides, 0 means 1."""
    value = int(value)
    if value > 0:
        return float(value)
    if value < 0:
        return 1.0 / float(-value)
    return 1.0


def _segy_geometry(path: Path, stream: Any, traces: List[Any], fmt: str) -> _Record:
    key = "segy" if fmt == "SEGY" else "su"
    headers = [getattr(tr.stats, key).trace_header for tr in traces]
    rec = _Record(np.empty((0, 0)),
                  source_field="source position (source_coordinate_x/_y are all 0)",
                  receiver_field="receiver positions (group_coordinate_x/_y are all 0)")
    rec.headers["traces"] = [{name: h[name] for name in h} for h in headers]

    def get(name: str) -> np.ndarray:
        return np.array([float(h[name]) for h in headers], dtype=np.float64)

    units = get("coordinate_units")
    scale = np.array([_segy_scalar(h["scalar_to_be_applied_to_all_coordinates"])
                      for h in headers])
    sx, sy = get("source_coordinate_x") * scale, get("source_coordinate_y") * scale
    gx, gy = get("group_coordinate_x") * scale, get("group_coordinate_y") * scale
    if np.any(np.concatenate([sx, sy, gx, gy]) != 0.0):
        geographic = np.flatnonzero(units > 1)
        if geographic.size:
            k = int(geographic[0])
            raise HeaderError(f"{path}: trace {k}: coordinate_units {int(units[k])} means "
                              f"geographic coordinates, not distances; give offsets=")
        if np.all(sy == 0.0) and np.all(gy == 0.0):
            rec.sources, rec.receivers = sx[:, None], gx[:, None]
        else:
            rec.sources = np.stack([sx, sy], axis=1)
            rec.receivers = np.stack([gx, gy], axis=1)
    else:
        # SEG-Y gives the offset field no scalar of its own; it is a signed
        # distance (negative for receivers behind the source), used as |offset|
        offset = np.abs(get("distance_from_center_of_the_source_point_to_the_center_of_the_"
                            "receiver_group"))
        if np.any(offset != 0.0):
            rec.offsets = offset
    time_scale = np.array([_segy_scalar(h["scalar_to_be_applied_to_times"]) for h in headers])
    delays = get("delay_recording_time") * time_scale * 1e-3
    if np.any(np.abs(delays - delays[0]) > 1e-9):
        k = int(np.flatnonzero(np.abs(delays - delays[0]) > 1e-9)[0])
        raise HeaderError(f"{path}: trace {k}: delay_recording_time {delays[k] * 1e3:g} ms "
                          f"differs from trace 0's {delays[0] * 1e3:g} ms")
    rec.delay = float(delays[0])
    return rec


def _oriented(path: Path, data: np.ndarray, layout: Optional[str]) -> np.ndarray:
    if data.ndim != 2:
        raise ValueError(f"{path}: the gather must be a 2-D array (traces x samples); "
                         f"got shape {data.shape}")
    if data.dtype.kind not in "fiub":
        raise TypeError(f"{path}: the gather must be a real numeric array; got dtype "
                        f"{data.dtype}")
    data = data.T if layout == "columns" else data
    return np.ascontiguousarray(data, dtype=np.float64)


def _load_npy(path: Path, layout: Optional[str]) -> _Record:
    try:
        data = np.load(path, allow_pickle=False)
    except (OSError, ValueError) as exc:
        raise ValueError(f"{path}: cannot read the .npy file ({exc})") from None
    return _Record(_oriented(path, np.asarray(data), layout))


def _load_npz(path: Path, layout: Optional[str]) -> _Record:
    try:
        archive = np.load(path, allow_pickle=False)
    except (OSError, ValueError) as exc:
        raise ValueError(f"{path}: cannot read the .npz file ({exc})") from None
    with archive:
        keys = set(archive.files)
        if "data" not in keys:
            raise HeaderError(f"{path}: a .npz gather needs the arrays data, offsets and dt; "
                              f"found {', '.join(sorted(keys)) or 'nothing'}")
        rec = _Record(_oriented(path, np.asarray(archive["data"]), layout),
                      source_field="array 'source'", receiver_field="array 'receivers'")

        def scalar(name: str) -> Optional[float]:
            if name not in keys:
                return None
            value = np.asarray(archive[name])
            if value.size != 1 or value.dtype.kind not in "fiu":
                raise HeaderError(f"{path}: the array '{name}' must be one number; got "
                                  f"shape {value.shape}, dtype {value.dtype}")
            return float(value.reshape(()))

        rec.dt = scalar("dt")
        rec.delay = scalar("delay")
        if "offsets" in keys:
            rec.offsets = np.asarray(archive["offsets"], dtype=np.float64).ravel()
        if "source" in keys:
            src = np.asarray(archive["source"], dtype=np.float64).ravel()
            rec.sources = np.repeat(src[None, :], rec.data.shape[0], axis=0)
        if "receivers" in keys:
            rec.receivers = np.asarray(archive["receivers"], dtype=np.float64)
    return rec


_NUMBER_SPLIT = re.compile(r"[\t,; ]+")


def _is_number_row(line: str) -> bool:
    fields = [f for f in _NUMBER_SPLIT.split(line.strip()) if f]
    if not fields:
        return False
    try:
        for f in fields:
            float(f)
    except ValueError:
        return False
    return True


def _split(line: str, delimiter: Optional[str]) -> List[str]:
    line = line.strip()
    if delimiter is None:
        return line.split()
    return [f.strip() for f in line.split(delimiter)]


def _load_text(path: Path, layout: Optional[str], delimiter: Optional[str],
               header_lines: Optional[int], time_column: Optional[int]) -> _Record:
    try:
        # utf-8-sig drops a byte-order mark; splitlines takes CRLF, LF and CR
        lines = path.read_text(encoding="utf-8-sig").splitlines()
    except UnicodeDecodeError:
        raise ValueError(f"{path}: not a text file, and not of a format told by its first "
                         f"bytes or suffix (SEG-2, .npy, .npz, .sgy/.segy, .su); "
                         f"give format=") from None
    if header_lines is None:
        start = 0
        while start < len(lines) and not _is_number_row(lines[start]):
            start += 1
    else:
        if int(header_lines) < 0:
            raise ValueError(f"header_lines must not be negative; got {header_lines!r}")
        start = int(header_lines)
    header = lines[:start]
    body = [(k + 1, line) for k, line in enumerate(lines[start:], start=start) if line.strip()]
    if not body:
        raise ValueError(f"{path}: no rows of numbers after {start} header line(s)")
    if delimiter is None:
        first = body[0][1]
        delimiter = next((d for d in ("\t", ",", ";") if d in first), None)
    rows: List[List[float]] = []
    width = None
    for number, line in body:
        fields = _split(line, delimiter)
        if delimiter is not None:
            while fields and fields[-1] == "":
                fields.pop()    # trailing separators
        try:
            values = [float(f) for f in fields]
        except ValueError:
            bad = next(f for f in fields if not _float_ok(f))
            raise ValueError(f"{path}: line {number}: {bad!r} is not a number") from None
        if width is None:
            width = len(values)
        elif len(values) != width:
            raise ValueError(f"{path}: line {number} has {len(values)} values; the first data "
                             f"line (line {body[0][0]}) has {width}")
        rows.append(values)
    matrix = np.array(rows, dtype=np.float64)
    titles: Optional[List[str]] = None
    named = [line for line in header if line.strip()]
    if named:
        last = _split(named[-1], delimiter)
        if len(last) == matrix.shape[1] and not any(_float_ok(t) for t in last):
            titles = last
    if layout is None:
        layout = "columns" if titles is not None else "rows"
    rec = _Record(np.empty((0, 0)))
    rec.headers["header_lines"] = header
    if titles is not None:
        rec.headers["columns"] = titles
    if time_column is not None:
        if layout != "columns":
            raise ValueError("time_column needs the columns layout (one trace per column)")
        col = int(time_column)
        if not -matrix.shape[1] <= col < matrix.shape[1]:
            raise ValueError(f"{path}: time_column {time_column} is not one of the "
                             f"{matrix.shape[1]} columns")
        col %= matrix.shape[1]
        t = matrix[:, col]
        steps = np.diff(t)
        if t.size < 2 or not (steps > 0).all() or np.ptp(steps) > 1e-6 * np.mean(steps):
            raise ValueError(f"{path}: the time column {col} is not evenly spaced and "
                             f"increasing")
        rec.dt = float((t[-1] - t[0]) / (t.size - 1))
        rec.delay = float(t[0])
        matrix = np.delete(matrix, col, axis=1)
        if titles is not None:
            rec.headers["columns"] = titles[:col] + titles[col + 1:]
    elif titles is not None and layout == "columns":
        timed = [t for t in titles if t.lower().startswith("time")]
        if timed:
            raise ValueError(f"{path}: the column {timed[0]!r} looks like a time axis, not a "
                             f"trace; give time_column= (or layout='rows')")
    rec.data = _oriented(path, matrix, layout)
    return rec


def _float_ok(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _distinct_rows(rows: np.ndarray) -> List[np.ndarray]:
    """The distinct rows of a (N, D) array in order of first appearance."""
    # positions come from headers written with a few decimals: rounding to
    # 1e-9 merges values that differ by parsing noise only
    _, first = np.unique(np.round(rows, 9), axis=0, return_index=True)
    return [rows[k] for k in sorted(first)]


def _position_text(position: Sequence[float]) -> str:
    return " ".join(f"{v:g}" for v in position)
