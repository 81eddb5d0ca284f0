"""`read` and `read_shots`: find the reader, load the record, apply the
arguments, build the gathers."""
from __future__ import annotations

import math
import os
from pathlib import Path
from typing import Any, NamedTuple, Optional, cast

import numpy as np
from numpy.typing import ArrayLike

from ..gather import Gather, position_text
from ._core import (
    HeaderError,
    PathLike,
    RawRecord,
    ReadOptions,
    check_regular,
    check_samples,
    distinct_rows,
    lookup,
    require_layout,
)


def read(path: PathLike, *, format: str | None = None, dt: float | None = None,
         delay: float | None = None, offsets: ArrayLike | None = None,
         source: ArrayLike | None = None, receivers: ArrayLike | None = None,
         spacing: float | None = None, first_receiver: float = 0.0,
         layout: str | None = None, delimiter: str | None = None,
         header_lines: int | None = None, time_column: int | None = None,
         calibrate: bool = True) -> Gather:
    """Read one shot record.

    Parameters
    ----------
    path : str or path-like
        The file (a regular file: FIFOs and devices are refused).
    format : str, optional
        One of :data:`molvak.io.FORMATS` ("SEG2", "SEGY", "SU", "NPY", "NPZ",
        "TEXT"); overrides the format told by the file's signature and suffix.
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
        one trace per column, and everything else one trace per row; a
        matrix whose layout nothing states is refused when it would give
        more traces than samples (name the layout for such records).
    delimiter : str, optional
        Text field separator; by default a tab, comma or semicolon found in
        the first data line, else runs of blanks.
    header_lines : int, optional
        Text lines before the data; by default every leading line that is
        not a row of numbers. A line just before the data with as many
        fields as a data row, mostly numbers, is a damaged data row and is
        refused, not taken as a header.
    time_column : int, optional
        Text in columns layout: the column that holds the time of each row
        (s). It is not a trace; dt and delay are taken from it unless given.
    calibrate : bool
        Multiply SEG-2 traces by their DESCALING_FACTOR, so that traces
        recorded at different gains compare. Factors of 0 are taken as
        unknown (1).

    Returns
    -------
    Gather
        Its `headers` hold "path", "format" and what the file had: "file"
        and "traces" (SEG-2, SEG-Y header fields), "header_lines" and
        "columns" (text).

    Raises
    ------
    HeaderError
        (a ValueError) for a file that cannot be read as a gather, in one
        line naming the file and, where one is concerned, the trace and field.
    """
    record = _load(path, format, layout=layout, delimiter=delimiter, header_lines=header_lines,
                   time_column=time_column, calibrate=calibrate)
    if record.sources is not None and offsets is None and source is None:
        distinct = distinct_rows(record.sources)
        if len(distinct) > 1:
            shown = ", ".join(position_text(p) for p in distinct[:6])
            raise HeaderError(f"{path}: the traces come from {len(distinct)} source positions "
                              f"({shown}); read them one shot each with molvak.read_shots")
    return _finish(path, record, dt=dt, delay=delay, offsets=offsets, source=source,
                   receivers=receivers, spacing=spacing, first_receiver=first_receiver)


def read_shots(path: PathLike, **options: Any) -> list[Gather]:
    """Read a file that may hold several shots (SEG-Y and SU files often do)
    as one gather per source position, in order of first appearance.

    `options` are those of :func:`read`; geometry arguments (`source`,
    `offsets`) make no sense for several shots and are refused. Files of
    other formats give a list of one gather.

    Parameters
    ----------
    path : str or path-like
        The file.
    **options
        As for :func:`read`, but for `source` and `offsets`.

    Returns
    -------
    list of Gather
        One gather per source position, each holding that position's traces.

    Raises
    ------
    HeaderError
        For a file that cannot be read, naming the file, trace and field.
    """
    if options.get("source") is not None or options.get("offsets") is not None:
        raise TypeError("read_shots takes the geometry of every shot from the headers; "
                        "read single shots with molvak.read to give source= or offsets=")
    load_keys = ("layout", "delimiter", "header_lines", "time_column", "calibrate")
    record = _load(path, options.get("format"),
                   **{k: options[k] for k in load_keys if k in options})
    finish = {k: v for k, v in options.items() if k not in load_keys + ("format",)}
    return _split_shots(path, record, **finish)


def _split_shots(path: PathLike, record: RawRecord, **finish: Any) -> list[Gather]:
    """One gather per source position of the record's traces."""
    if record.sources is None:
        return [_finish(path, record, **finish)]
    positions = distinct_rows(record.sources)
    if len(positions) == 1:
        return [_finish(path, record, **finish)]
    shots: list[Gather] = []
    for position in positions:
        keep = np.all(np.round(record.sources, 9) == np.round(position, 9)[None, :], axis=1)
        part = record.subset(keep)
        part.headers["shot"] = len(shots)
        shots.append(_finish(path, part, **finish))
    return shots


class FileInfo(NamedTuple):
    """What a file is, told before it is read: its format, and what it
    gives besides its samples ("dt", "geometry", "shots")."""

    format: str
    carries: frozenset


def describe(path: PathLike, format: str | None = None) -> FileInfo:
    """The format of a file (`format` when given, else told by its first
    bytes and suffix) and what it gives besides its samples: "dt" (its sample
    interval), "geometry" (offsets, or source and receiver positions) and
    "shots" (several source positions may be in it). A caller can so ask
    for what is missing before reading anything (the command line's --dt and
    --offsets); a file whose headers turn out to lack what its format may
    give is refused when it is read."""
    p = Path(path)
    reader = lookup(format, p)
    return FileInfo(reader.name, reader.carried(p))


def load_record(path: PathLike, format: str | None = None, *, layout: str | None = None,
                delimiter: str | None = None, header_lines: int | None = None,
                time_column: int | None = None, calibrate: bool = True) -> RawRecord:
    """What a file holds before the arguments of :func:`read` apply: its
    samples (traces x samples), and the sample interval, delay and geometry
    its headers give (None where they give none). :func:`record_gathers`
    makes the gathers of it. The arguments are those of :func:`read`."""
    return _load(path, format, layout=layout, delimiter=delimiter, header_lines=header_lines,
                 time_column=time_column, calibrate=calibrate)


def record_gathers(path: PathLike, record: RawRecord, **options: Any) -> list[Gather]:
    """The gathers of a record read by :func:`load_record`: one per source
    position of its traces when `options` give no geometry (``offsets``,
    ``source``, ``receivers``, ``spacing``), else one gather of all its
    traces with that geometry. `options` are the geometry and sampling
    arguments of :func:`read` (``dt``, ``delay``, ...)."""
    if any(options.get(k) is not None for k in ("offsets", "source", "receivers", "spacing")):
        return [_finish(path, record, **options)]
    return _split_shots(path, record, **options)


def has_geometry(record: RawRecord) -> bool:
    """Whether a record's headers give the offsets of its traces."""
    return record.offsets is not None or (record.sources is not None
                                          and record.receivers is not None)


def _load(path: PathLike, format: str | None, *, layout: str | None = None,
          delimiter: str | None = None, header_lines: int | None = None,
          time_column: int | None = None, calibrate: bool = True) -> RawRecord:
    """The record of one file, read by the reader of its format."""
    p = Path(path)
    check_regular(p)
    reader = lookup(format, p)
    require_layout(layout)
    options = ReadOptions(layout=layout, delimiter=delimiter, header_lines=header_lines,
                          time_column=time_column, calibrate=calibrate)
    rec = reader.load(p, options)
    rec.headers["format"] = reader.name
    check_samples(p, rec.data)
    return rec


def _finish(path: PathLike, rec: RawRecord, *, dt: float | None = None,
            delay: float | None = None, offsets: ArrayLike | None = None,
            source: ArrayLike | None = None, receivers: ArrayLike | None = None,
            spacing: float | None = None, first_receiver: float = 0.0) -> Gather:
    """The gather of a record, arguments taking precedence over the file."""
    nx = rec.data.shape[0]
    step = dt if dt is not None else rec.dt
    if step is None:
        why = f"{rec.dt_note}; give dt= (seconds)" if rec.dt_note else \
            "the file gives no sample interval; give dt= (seconds)"
        raise HeaderError(f"{path}: {why}")
    start = delay if delay is not None else (rec.delay if rec.delay is not None else 0.0)

    if spacing is not None:
        if receivers is not None:
            raise TypeError("give receivers= or spacing=, not both")
        spacing = float(spacing)
        if not (math.isfinite(spacing) and spacing != 0.0):
            raise ValueError(f"spacing must be a finite, non-zero distance; got {spacing!r}")
        receivers = float(first_receiver) + spacing * np.arange(nx, dtype=np.float64)

    src: ArrayLike | None
    rcv: ArrayLike | None
    x: ArrayLike | None = offsets
    if offsets is not None:
        # offsets given: the file's geometry is set aside
        src, rcv = source, receivers
    else:
        file_source = rec.sources[0] if rec.sources is not None and \
            rec.sources_are_positions else None
        src = source if source is not None else file_source
        rcv = receivers if receivers is not None else rec.receivers
        if rec.offsets is not None and source is None and receivers is None:
            # the file's own offsets; when it gives positions as well the
            # gather checks that they agree
            x = rec.offsets
        elif src is None and rcv is None:
            why = rec.geometry_note or "the file gives no geometry"
            raise HeaderError(f"{path}: {why}; give offsets=, or source= with receivers= or "
                              f"spacing=")
        elif src is None:
            raise HeaderError(f"{path}: the file gives no {rec.source_field}; give source=")
        elif rcv is None:
            raise HeaderError(f"{path}: the file gives no {rec.receiver_field}; give "
                              f"receivers= or spacing=")
    headers = {"path": os.fspath(path), **rec.headers}
    # Gather converts and checks every array; the casts only tell the type
    # checker that array-likes are welcome
    try:
        return Gather(rec.data, offsets=cast(np.ndarray, x), dt=step,
                      delay=start, source=cast(Optional[np.ndarray], src),
                      receivers=cast(Optional[np.ndarray], rcv), headers=headers)
    except ValueError as exc:
        # what the file alone gave is the file's fault; with arguments in
        # play it may be theirs
        given = (dt, delay, offsets, source, receivers)
        kind = ValueError if any(v is not None for v in given) else HeaderError
        raise kind(f"{path}: {exc}") from None
    except TypeError as exc:
        raise TypeError(f"{path}: {exc}") from None
