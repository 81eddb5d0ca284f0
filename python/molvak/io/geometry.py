"""Survey tables: the geometry of many files, one row per file.

Two sets of columns are read (the header names them; other columns are
ignored, a UTF-8 byte-order mark and CRLF line ends are welcome):

- molvak's: ``file``, ``source`` (the source position along the line, m),
  ``first_receiver`` (the position of the file's first channel, m),
  ``spacing`` (m between channels, negative when the channels are numbered
  towards smaller positions), and optionally ``direction`` ("forward": the
  source lies before the first channel, so offsets grow with the channel
  number; "reverse" or "backward": the other way) and ``dt`` (s);
- MASWavesPy's (the Oysand example table): ``file_name``, ``dx`` (spacing,
  m), ``x1`` (the distance from the source to the nearest receiver, m),
  ``direction`` ("forward": channel 1 is the nearest receiver; "backward"
  or "reverse": the last channel is), and optionally ``n`` (channels) and
  ``header_lines``.

A file named in a row is looked for relative to the table's folder, then
by its name alone in that folder (the Oysand table names ``Data/<file>``
while the files lie beside it). A row whose file is not found, a value that
is not a number, an unknown direction, a direction that contradicts the
positions, and two rows of one file that disagree are refused, each in one
line naming the row.
"""
from __future__ import annotations

import csv
import math
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, Union

import numpy as np

__all__ = ["GeometryRow", "read_geometry"]

PathLike = Union[str, "os.PathLike[str]"]

FORWARD = ("forward",)
REVERSE = ("reverse", "backward")


@dataclass(frozen=True)
class GeometryRow:
    """The geometry of one file: receiver k of n stands at
    ``first_receiver + k * spacing`` (or, for a MASWavesPy reverse row,
    counted from the other end), the source at ``source``."""

    path: Path                      # the file, as found
    line: int                       # the line of the table, for messages
    name: str                       # the file as the table names it
    source: float
    first_receiver: float
    spacing: float
    from_far_end: bool = False      # MASWavesPy reverse rows: x1 is that of the last channel
    channels: Optional[int] = None
    header_lines: Optional[int] = None
    dt: Optional[float] = None

    def receivers(self, n: int) -> np.ndarray:
        """The positions of n channels."""
        k = np.arange(n, dtype=np.float64)
        if self.from_far_end:
            k = k[::-1]
        return self.first_receiver + self.spacing * k

    def key(self) -> tuple[object, ...]:
        """The values that must agree between rows naming the same file."""
        return (self.source, self.first_receiver, self.spacing, self.from_far_end,
                self.channels, self.header_lines, self.dt)

    def where(self) -> str:
        """The row's place in the table, for messages: ``"line N (file)"``."""
        return f"line {self.line} ({self.name})"


def read_geometry(table: PathLike) -> list[GeometryRow]:
    """The rows of a survey table (see the module documentation), one per
    file, in the order of the table; ValueError in one line naming the table
    and the row for anything it cannot use."""
    table = Path(table)
    try:
        with open(table, newline="", encoding="utf-8-sig") as handle:
            rows = [r for r in csv.reader(handle) if any(c.strip() for c in r)]
    except OSError as exc:
        raise ValueError(f"{table}: cannot read the geometry table "
                         f"({exc.strerror or exc})") from None
    except UnicodeDecodeError:
        raise ValueError(f"{table}: not a text file (a geometry table is CSV)") from None
    if not rows:
        raise ValueError(f"{table}: the geometry table is empty")
    header = [h.strip().lower() for h in rows[0]]
    if "file" in header:
        parse = _molvak_row
    elif "file_name" in header:
        parse = _maswaves_row
    else:
        raise ValueError(f"{table}: a geometry table needs the columns file, source, "
                         f"first_receiver, spacing (or MASWavesPy's file_name, dx, x1, "
                         f"direction); the header names {', '.join(header)}")
    out: list[GeometryRow] = []
    seen: dict[Path, GeometryRow] = {}
    for k, row in enumerate(rows[1:], start=2):
        if len(row) != len(header):
            raise ValueError(f"{table}: line {k} has {len(row)} values; the header has "
                             f"{len(header)}")
        values = {h: c.strip() for h, c in zip(header, row)}
        geometry = parse(table, k, values)
        key = geometry.path.resolve()
        if key in seen:
            if seen[key].key() != geometry.key():
                raise ValueError(f"{table}: line {k} gives {geometry.name} another geometry "
                                 f"than {seen[key].where()}")
            continue
        seen[key] = geometry
        out.append(geometry)
    if not out:
        raise ValueError(f"{table}: the geometry table has no rows")
    return out


def _number(table: Path, line: int, values: dict[str, str], name: str,
            required: bool = True) -> Optional[float]:
    text = values.get(name, "")
    if text == "":
        if required:
            raise ValueError(f"{table}: line {line}: no value in the column {name}")
        return None
    try:
        value = float(text)
    except ValueError:
        raise ValueError(f"{table}: line {line}: {name} = {text!r} is not a number") from None
    if not math.isfinite(value):
        raise ValueError(f"{table}: line {line}: {name} = {text!r} is not finite")
    return value


def _count(table: Path, line: int, values: dict[str, str], name: str) -> Optional[int]:
    value = _number(table, line, values, name, required=False)
    if value is not None and (value != int(value) or value < 0):
        raise ValueError(f"{table}: line {line}: {name} = {values[name]!r} is not a whole "
                         f"number")
    return None if value is None else int(value)


def _find(table: Path, line: int, name: str) -> Path:
    if not name:
        raise ValueError(f"{table}: line {line}: no file named")
    folder = table.parent
    given = Path(name)
    for candidate in ((given,) if given.is_absolute() else (folder / given, folder / given.name)):
        if candidate.is_file():
            return candidate
    raise ValueError(f"{table}: line {line}: {name}: no such file (looked in {folder})")


def _direction(table: Path, line: int, values: dict[str, str]) -> Optional[bool]:
    """True for forward, False for reverse, None when not given."""
    text = values.get("direction", "").lower()
    if not text:
        return None
    if text in FORWARD:
        return True
    if text in REVERSE:
        return False
    raise ValueError(f"{table}: line {line}: direction {values['direction']!r} is neither "
                     f"forward nor reverse (backward)")


def _positive(table: Path, line: int, name: str, value: Optional[float]) -> None:
    if value is not None and not value > 0:
        raise ValueError(f"{table}: line {line}: {name} must be positive; got {value:g}")


def _molvak_row(table: Path, line: int, values: dict[str, str]) -> GeometryRow:
    name = values.get("file", "")
    source = _number(table, line, values, "source")
    first = _number(table, line, values, "first_receiver")
    spacing = _number(table, line, values, "spacing")
    assert source is not None and first is not None and spacing is not None
    if spacing == 0:
        raise ValueError(f"{table}: line {line}: spacing must not be 0")
    dt = _number(table, line, values, "dt", required=False)
    _positive(table, line, "dt", dt)
    forward = _direction(table, line, values)
    if forward is not None:
        # forward: the source lies before the first channel in the direction
        # of the numbering
        before = (first - source) * spacing >= 0
        if before != forward:
            raise ValueError(
                f"{table}: line {line}: direction {values['direction']} contradicts the "
                f"positions (source at {source:g} m, first receiver at {first:g} m, spacing "
                f"{spacing:g} m: the source lies {'before' if before else 'beyond'} the first "
                f"channel)")
    return GeometryRow(_find(table, line, name), line, name, source, first, spacing,
                       channels=_count(table, line, values, "n"), dt=dt)


def _maswaves_row(table: Path, line: int, values: dict[str, str]) -> GeometryRow:
    name = values.get("file_name", "")
    dx = _number(table, line, values, "dx")
    x1 = _number(table, line, values, "x1")
    assert dx is not None and x1 is not None
    _positive(table, line, "dx", dx)
    if x1 < 0:
        raise ValueError(f"{table}: line {line}: x1 must not be negative; got {x1:g}")
    forward = _direction(table, line, values)
    if forward is None:
        raise ValueError(f"{table}: line {line}: no value in the column direction")
    return GeometryRow(_find(table, line, name), line, name, 0.0, x1, dx,
                       from_far_end=not forward, channels=_count(table, line, values, "n"),
                       header_lines=_count(table, line, values, "header_lines"))
