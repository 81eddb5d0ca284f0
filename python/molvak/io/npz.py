"""NumPy .npz archives as :meth:`molvak.Gather.save` writes them: the arrays
``data`` (traces x samples), ``offsets`` and ``dt``, and optionally ``delay``,
``source``, ``receivers`` and ``headers`` (the gather's headers as JSON, in
UTF-8 bytes). When the archive holds offsets and positions
both, the gather refuses them unless they agree.

The archive is opened with :mod:`zipfile` rather than :func:`numpy.load` so
that every member's declared size is checked against the archive and its
.npy header before anything is allocated, and its checksum once it is read.
"""
from __future__ import annotations

import json
import zipfile
import zlib
from pathlib import Path
from typing import Any

import numpy as np

from .._jsonable import from_json
from ._core import (
    Format,
    HeaderError,
    RawRecord,
    ReadOptions,
    one_line,
    oriented,
    register,
)
from .npy import read_array

# deflate cannot shrink data by more than about 1032 to 1
MAX_DEFLATE_RATIO = 1032


def _member(path: Path, archive: zipfile.ZipFile, info: zipfile.ZipInfo,
            size: int) -> np.ndarray:
    name = info.filename[:-4]
    where = f"{path}: array '{name}'"
    if info.compress_type == zipfile.ZIP_STORED:
        if info.file_size != info.compress_size:
            raise HeaderError(f"{where}: stored uncompressed, yet {info.file_size} bytes are "
                              f"declared for {info.compress_size} in the archive")
    elif info.compress_type == zipfile.ZIP_DEFLATED:
        if info.file_size > MAX_DEFLATE_RATIO * info.compress_size + 64:
            raise HeaderError(f"{where}: {info.file_size} bytes are declared for "
                              f"{info.compress_size} compressed ones, more than deflate can give")
    else:
        raise HeaderError(f"{where}: compressed with zip method {info.compress_type}; "
                          f"molvak reads stored and deflated members")
    if info.header_offset + info.compress_size > size:
        raise HeaderError(f"{where}: its {info.compress_size} bytes run past the end of the "
                          f"archive ({size} bytes)")
    try:
        with archive.open(info) as fp:
            # reading the member to its end makes zipfile check its CRC
            return read_array(fp, info.file_size, where)
    except HeaderError:
        raise
    except (zipfile.BadZipFile, zlib.error, EOFError, OSError, ValueError, RuntimeError,
            NotImplementedError) as exc:
        raise HeaderError(f"{where}: cannot be read from the archive ({one_line(exc)})") from None


def _carries(path: Path) -> frozenset:
    """What a .npz gives, by its arrays: dt, and geometry (offsets, or source
    and receivers). An archive that cannot be listed claims all, so that the
    reader itself says what is wrong with it."""
    try:
        with zipfile.ZipFile(path) as archive:
            arrays = {n[:-4] for n in archive.namelist() if n.endswith(".npy")}
    except (zipfile.BadZipFile, OSError, ValueError):
        return frozenset({"dt", "geometry"})
    if "data" not in arrays:
        return frozenset({"dt", "geometry"})
    out = {"dt"} if "dt" in arrays else set()
    if "offsets" in arrays or {"source", "receivers"} <= arrays:
        out.add("geometry")
    return frozenset(out)


def _sniff(head: bytes, suffix: str) -> bool:
    return head.startswith(b"PK\x03\x04") and suffix == ".npz"


def load(path: Path, options: ReadOptions) -> RawRecord:
    """Read a NumPy ``.npz`` archive holding ``data`` and, optionally,
    ``offsets``, ``dt`` and the other geometry arrays; the reader of ``.npz``
    in `molvak.io.read`."""
    size = path.stat().st_size
    try:
        archive = zipfile.ZipFile(path)
    except (zipfile.BadZipFile, EOFError, OSError, ValueError, NotImplementedError) as exc:
        raise HeaderError(f"{path}: not a readable .npz archive ({one_line(exc)})") from None
    with archive:
        members = {info.filename[:-4]: info for info in archive.infolist()
                   if info.filename.endswith(".npy")}
        if "data" not in members:
            raise HeaderError(f"{path}: a .npz gather needs the arrays data, offsets and dt; "
                              f"found {', '.join(sorted(members)) or 'nothing'}")
        arrays: dict[str, np.ndarray] = {
            name: _member(path, archive, info, size) for name, info in members.items()
            if name in ("data", "offsets", "dt", "delay", "source", "receivers", "headers")}

    def scalar(name: str) -> float | None:
        if name not in arrays:
            return None
        value = arrays[name]
        if value.size != 1 or value.dtype.kind not in "fiu":
            raise HeaderError(f"{path}: the array '{name}' must be one number; got "
                              f"shape {value.shape}, dtype {value.dtype}")
        return float(value.reshape(()))

    # per-trace arrays state which axis holds the traces
    stated = options.layout is not None or "offsets" in arrays or "receivers" in arrays
    rec = RawRecord(oriented(path, arrays["data"], options.layout, stated=stated),
                 source_field="array 'source'", receiver_field="array 'receivers'")
    rec.dt = scalar("dt")
    rec.delay = scalar("delay")
    if "offsets" in arrays:
        rec.offsets = np.asarray(arrays["offsets"], dtype=np.float64).ravel()
    if "source" in arrays:
        src = np.asarray(arrays["source"], dtype=np.float64).ravel()
        if not 1 <= src.size <= 3:
            raise HeaderError(f"{path}: the array 'source' must hold 1 to 3 coordinates; got "
                              f"{src.size}")
        rec.sources = np.repeat(src[None, :], rec.data.shape[0], axis=0)
    if "receivers" in arrays:
        rec.receivers = np.asarray(arrays["receivers"], dtype=np.float64)
    if "headers" in arrays:
        rec.headers.update(_headers(path, arrays["headers"]))
    return rec


def _headers(path: Path, raw: np.ndarray) -> dict[str, Any]:
    """The headers Gather.save wrote, as JSON in UTF-8 bytes; "path" and
    "format" are left out, since they describe the file being read."""
    if raw.dtype != np.uint8 or raw.ndim != 1:
        raise HeaderError(f"{path}: the array 'headers' must be the UTF-8 bytes of a JSON "
                          f"object; got shape {raw.shape}, dtype {raw.dtype}")
    try:
        value = json.loads(raw.tobytes().decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError) as exc:
        raise HeaderError(f"{path}: the array 'headers' is not JSON in UTF-8 "
                          f"({one_line(exc)})") from None
    if not isinstance(value, dict):
        raise HeaderError(f"{path}: the array 'headers' must hold a JSON object; got "
                          f"{type(value).__name__}")
    return {k: v for k, v in from_json(value).items() if k not in ("path", "format")}


register(Format("NPZ", (".npz",), load, sniff=_sniff, carries=_carries))
