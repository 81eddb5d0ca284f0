"""Delimited text: optional header lines, then a matrix of numbers, one trace
per row or (when the last header line titles every column, or layout= says
so) one trace per column.

The header is what looks like one: the leading lines up to the first row of
numbers, less any that look like a data row with a bad token in it (as many
fields as the data rows, at least half of them numbers), which is refused
naming its line. Every data row must hold numbers only, as many as the first.
Text is what nothing else claims; a file that is not UTF-8 text is refused.
"""
from __future__ import annotations

import re
from pathlib import Path

import numpy as np

from ._core import Format, HeaderError, RawRecord, ReadOptions, oriented, register

_NUMBER_SPLIT = re.compile(r"[\t,; ]+")


def _float_ok(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _is_number_row(line: str) -> bool:
    fields = [f for f in _NUMBER_SPLIT.split(line.strip()) if f]
    return bool(fields) and all(_float_ok(f) for f in fields)


def _split(line: str, delimiter: str | None) -> list[str]:
    line = line.strip()
    if delimiter is None:
        return line.split()
    fields = [f.strip() for f in line.split(delimiter)]
    while fields and fields[-1] == "":
        fields.pop()    # trailing separators
    return fields


def _bad_field(fields: list[str]) -> str:
    bad = next(f for f in fields if not _float_ok(f))
    return repr(bad) if bad else "an empty field"


def _damaged_rows(lines: list[str], start: int, delimiter: str | None,
                  width: int) -> int | None:
    """The first of the header lines just above the data (line index
    `start`) that are data rows with bad tokens in them, or None."""
    first = None
    k = start - 1
    while k >= 0:
        if not lines[k].strip():
            k -= 1
            continue
        fields = _split(lines[k], delimiter)
        numbers = sum(_float_ok(f) for f in fields)
        if len(fields) != width or 2 * numbers < width:
            break
        first = k
        k -= 1
    return first


def load(path: Path, options: ReadOptions) -> RawRecord:
    """Read a delimited text matrix of samples (a column or a row per
    channel, an optional time column and header lines, as `options` say);
    the reader of text in `molvak.io.read`."""
    layout, delimiter = options.layout, options.delimiter
    header_lines, time_column = options.header_lines, options.time_column
    try:
        # utf-8-sig drops a byte-order mark; splitlines takes CRLF, LF and CR
        lines = path.read_text(encoding="utf-8-sig").splitlines()
    except UnicodeDecodeError:
        raise HeaderError(f"{path}: not a text file, and not of a format told by its first "
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
        raise HeaderError(f"{path}: no rows of numbers after {start} header line(s)")
    if delimiter is None:
        first = body[0][1]
        delimiter = next((d for d in ("\t", ",", ";") if d in first), None)
    width = len(_split(body[0][1], delimiter))
    if header_lines is None:
        damaged = _damaged_rows(lines, start, delimiter, width)
        if damaged is not None:
            fields = _split(lines[damaged], delimiter)
            raise HeaderError(f"{path}: line {damaged + 1}: {_bad_field(fields)} is not a "
                              f"number (the line has the {width} fields of a data row; give "
                              f"header_lines= if it is a header)")
    rows: list[list[float]] = []
    for number, line in body:
        fields = _split(line, delimiter)
        if len(fields) != width:
            raise HeaderError(f"{path}: line {number} has {len(fields)} values; the first data "
                              f"line (line {body[0][0]}) has {width}")
        try:
            rows.append([float(f) for f in fields])
        except ValueError:
            raise HeaderError(f"{path}: line {number}: {_bad_field(fields)} is not a "
                              f"number") from None
    matrix = np.array(rows, dtype=np.float64)
    titles: list[str] | None = None
    named = [line for line in header if line.strip()]
    if named:
        last = _split(named[-1], delimiter)
        if len(last) == matrix.shape[1] and not any(_float_ok(t) for t in last):
            titles = last
    stated = layout is not None or titles is not None or time_column is not None
    if layout is None:
        layout = "columns" if titles is not None else "rows"
    rec = RawRecord(np.empty((0, 0)))
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
            raise HeaderError(f"{path}: the time column {col} is not evenly spaced and "
                              f"increasing")
        rec.dt = float((t[-1] - t[0]) / (t.size - 1))
        rec.delay = float(t[0])
        matrix = np.delete(matrix, col, axis=1)
        if titles is not None:
            rec.headers["columns"] = titles[:col] + titles[col + 1:]
    elif titles is not None and layout == "columns":
        timed = [t for t in titles if t.lower().startswith("time")]
        if timed:
            raise HeaderError(f"{path}: the column {timed[0]!r} looks like a time axis, not a "
                              f"trace; give time_column= (or layout='rows')")
    rec.data = oriented(path, matrix, layout, stated=stated)
    return rec


register(Format("TEXT", (), load, fallback=True))
