"""What every reader shares: the error it raises, the record it returns, the
options it is given, and the table that finds a reader for a file.

A format is one module of this package that ends with ``register(Format(...))``:
its name, the suffixes it claims, an optional test of the file's first bytes
and the function that loads a file into a :class:`RawRecord`. Detection tries the
signatures first (a SEG-2 file named ``.dat`` is SEG-2), then the suffixes, and
hands anything left to the one format registered as the fallback (text).
"""
from __future__ import annotations

import dataclasses
import os
import stat
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Union

import numpy as np

from .._errors import HeaderError

PathLike = Union[str, "os.PathLike[str]"]

# bytes handed to the signature tests: room for the SEG-2 and .npy magic and
# for formats whose signature sits a little way into the file (HDF5 allows
# its superblock at 0, 512, 1024 or 2048)
HEAD_BYTES = 4096


@dataclass
class ReadOptions:
    """The reading options of :func:`molvak.read`; a format uses those that
    concern it and ignores the others."""

    layout: str | None = None
    delimiter: str | None = None
    header_lines: int | None = None
    time_column: int | None = None
    calibrate: bool = True


@dataclass
class RawRecord:
    """What a format reader found, before the arguments of `read` apply."""

    data: np.ndarray
    dt: float | None = None
    delay: float | None = None
    # per-trace source positions (NX, D): SEG-Y files may hold several shots
    sources: np.ndarray | None = None
    receivers: np.ndarray | None = None
    offsets: np.ndarray | None = None
    headers: dict[str, Any] = field(default_factory=dict)
    # the names of the header fields, for messages
    source_field: str = "source position"
    receiver_field: str = "receiver positions"
    # why the file gives no usable sample interval or geometry when it has
    # fields for them that cannot be trusted (arguments settle it)
    dt_note: str | None = None
    geometry_note: str | None = None
    # False when `sources` only tell the shots apart (geographic coordinates
    # beside offsets in metres): they never enter the geometry then
    sources_are_positions: bool = True

    def subset(self, keep: np.ndarray) -> RawRecord:
        """The record of the traces where `keep` (a boolean mask over the
        traces) is True, headers of each trace included."""
        def pick(a: np.ndarray | None) -> np.ndarray | None:
            return None if a is None else a[keep]

        headers = dict(self.headers)
        if "traces" in headers:
            headers["traces"] = [h for h, k in zip(headers["traces"], keep) if k]
        return dataclasses.replace(self, data=np.ascontiguousarray(self.data[keep]),
                                   sources=pick(self.sources), receivers=pick(self.receivers),
                                   offsets=pick(self.offsets), headers=headers)


Loader = Callable[[Path, ReadOptions], RawRecord]
Sniffer = Callable[[bytes, str], bool]
# what a file of a format gives besides its samples: "dt" (the sample
# interval), "geometry" (offsets, or source and receiver positions), "shots"
# (may hold several source positions); a set, or a function of the file for
# formats where it depends on the file (a .npz says by its arrays)
Carries = Union[frozenset, Callable[[Path], frozenset]]
CARRIED = ("dt", "geometry", "shots")


@dataclass(frozen=True)
class Format:
    """One entry of the reader table.

    name : the value of ``format=`` (upper case, no hyphen).
    suffixes : lower-case suffixes that mean this format when no signature
        claims the file.
    load : reads a regular file into a :class:`RawRecord`, raising
        :class:`HeaderError` for anything it cannot make sense of.
    sniff : optional; given the first :data:`HEAD_BYTES` bytes and the
        lower-case suffix, whether the file is surely of this format.
    fallback : the format of files nothing else claims (one format only).
    carries : what its files give besides the samples (:data:`CARRIED`), so
        that a caller can ask for the rest before reading them (the command
        line's --dt and --offsets); a set, or a function of the file.
    """

    name: str
    suffixes: tuple[str, ...]
    load: Loader
    sniff: Sniffer | None = None
    fallback: bool = False
    carries: Carries = frozenset()

    def carried(self, path: Path) -> frozenset:
        """What this file of the format gives (see `carries`)."""
        return self.carries(path) if callable(self.carries) else self.carries


_TABLE: dict[str, Format] = {}


def register(fmt: Format) -> Format:
    """Add a format to the table; formats are tried in the order registered."""
    if fmt.name in _TABLE:
        raise ValueError(f"a reader for {fmt.name} is registered already")
    if fmt.fallback and any(f.fallback for f in _TABLE.values()):
        raise ValueError("only one format can read what no other claims")
    if not callable(fmt.carries) and not set(fmt.carries) <= set(CARRIED):
        raise ValueError(f"{fmt.name}: carries names {sorted(set(fmt.carries) - set(CARRIED))}; "
                         f"formats carry {', '.join(CARRIED)}")
    _TABLE[fmt.name] = fmt
    return fmt


def format_names() -> tuple[str, ...]:
    return tuple(_TABLE)


def lookup(name: str | None, path: Path) -> Format:
    """The format `name` (format= as given) or, for None, the file's own."""
    if name is None:
        return _TABLE[detect_format(path)]
    key = str(name).upper().replace("-", "")
    if key not in _TABLE:
        raise ValueError(f"format must be one of {', '.join(_TABLE)}; got {name!r}")
    return _TABLE[key]


def check_regular(path: PathLike) -> int:
    """The size of a file that exists and is a regular file (or a link to
    one); anything else is refused before it is opened, since opening a FIFO
    or a terminal blocks until someone writes to it."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        raise FileNotFoundError(f"{path}: no such file") from None
    if stat.S_ISDIR(info.st_mode):
        raise IsADirectoryError(f"{path}: is a directory, not a shot record")
    if not stat.S_ISREG(info.st_mode):
        kind = ("a FIFO" if stat.S_ISFIFO(info.st_mode) else
                "a socket" if stat.S_ISSOCK(info.st_mode) else
                "a device" if stat.S_ISCHR(info.st_mode) or stat.S_ISBLK(info.st_mode)
                else "not a regular file")
        raise HeaderError(f"{path}: is {kind}; shot records are read from regular files only")
    return int(info.st_size)


def detect_format(path: PathLike) -> str:
    """The format a file is read as: one of :data:`molvak.io.FORMATS`."""
    p = Path(path)
    check_regular(p)
    with open(p, "rb") as handle:
        head = handle.read(HEAD_BYTES)
    suffix = p.suffix.lower()
    for fmt in _TABLE.values():
        if fmt.sniff is not None and fmt.sniff(head, suffix):
            return fmt.name
    for fmt in _TABLE.values():
        if suffix in fmt.suffixes:
            return fmt.name
    return next(f.name for f in _TABLE.values() if f.fallback)


# --------------------------------------------------------------------------
# helpers for the readers


def one_line(exc: BaseException) -> str:
    """An exception of a library as one line: its type where the text alone
    would not say what went wrong (KeyError('x') reads 'x')."""
    text = " ".join(str(exc).split())
    if isinstance(exc, (KeyError, IndexError)) or not text:
        return f"{type(exc).__name__}: {text}" if text else type(exc).__name__
    return text


def require_layout(layout: str | None) -> None:
    if layout is not None and layout not in ("rows", "columns"):
        raise ValueError(f"layout must be 'rows' or 'columns'; got {layout!r}")


def oriented(path: Path, data: np.ndarray, layout: str | None, *, stated: bool) -> np.ndarray:
    """A stored matrix as traces x samples (float64, C order).

    `layout` is "columns" when the traces are the columns, else rows. When
    nothing stated the layout (`stated` False), a matrix with more traces than
    samples is refused: it is far likelier a samples x channels record read
    the wrong way round than a gather of very short traces. DAS sections do
    have more channels than samples; their readers, or the caller, state it.
    """
    if data.ndim != 2:
        raise HeaderError(f"{path}: the gather must be a 2-D array (traces x samples); "
                          f"got shape {data.shape}")
    if data.dtype.kind not in "fiub" or data.dtype.names is not None:
        raise HeaderError(f"{path}: the gather must be a real numeric array; got dtype "
                          f"{data.dtype}")
    data = data.T if layout == "columns" else data
    if not stated and data.shape[0] > data.shape[1]:
        raise HeaderError(
            f"{path}: read as one trace per row it gives {data.shape[0]} traces of "
            f"{data.shape[1]} samples, more traces than samples: if the rows are time "
            f"samples give layout='columns' (--transpose); if they are traces, "
            f"layout='rows'")
    return np.ascontiguousarray(data, dtype=np.float64)


def check_samples(path: Path, data: np.ndarray) -> None:
    if data.ndim != 2:
        raise HeaderError(f"{path}: the gather must be a 2-D array (traces x samples); "
                          f"got shape {data.shape}")
    if data.shape[0] == 0 or data.shape[1] == 0:
        raise HeaderError(f"{path}: the gather is empty (shape {data.shape})")
    bad = ~np.isfinite(data).all(axis=1)
    if bad.any():
        rows = np.flatnonzero(bad)
        raise HeaderError(f"{path}: trace(s) {', '.join(str(int(r)) for r in rows[:10])} "
                          f"hold NaN or infinite samples")


def first_index(mask: np.ndarray) -> int:
    return int(np.flatnonzero(mask)[0])


def distinct_rows(rows: np.ndarray) -> list[np.ndarray]:
    """The distinct rows of a (N, D) array in order of first appearance."""
    # positions come from headers written with a few decimals: rounding to
    # 1e-9 merges values that differ by parsing noise only
    _, first = np.unique(np.round(rows, 9), axis=0, return_index=True)
    return [rows[k] for k in sorted(first)]
