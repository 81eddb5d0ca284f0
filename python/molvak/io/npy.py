"""NumPy .npy files: one matrix, traces x samples unless layout= says the
traces are the columns. The header's shape and dtype are checked against the
bytes that follow it before anything is allocated, so a damaged header
cannot ask for more memory than the file holds.
"""
from __future__ import annotations

import math
import zipfile
import zlib
from pathlib import Path
from typing import IO, Any, cast

import numpy as np

from ._core import (
    Format,
    HeaderError,
    RawRecord,
    ReadOptions,
    one_line,
    oriented,
    register,
)

MAGIC = b"\x93NUMPY"
# bytes read at a time into the array
CHUNK = 1 << 24


def read_array(fp: IO[bytes], nbytes: int, where: str) -> np.ndarray:
    """The array of a .npy stream of `nbytes` bytes in all, refused unless
    its header is readable, its dtype plain numbers and its shape exactly
    the bytes that follow. `where` names the stream in messages."""
    try:
        version = np.lib.format.read_magic(fp)
        if version == (1, 0):
            shape, fortran, dtype = np.lib.format.read_array_header_1_0(fp)
        elif version in ((2, 0), (3, 0)):
            # 3.0 differs from 2.0 in the header's text encoding only
            shape, fortran, dtype = np.lib.format.read_array_header_2_0(fp)
        else:
            raise ValueError(f"format version {version[0]}.{version[1]} is not one of 1.0-3.0")
    except (zipfile.BadZipFile, zlib.error):
        raise    # the archive around it is damaged: the .npz reader says so
    except Exception as exc:  # noqa: BLE001
        # NumPy parses the header as a Python literal: besides its own
        # ValueErrors, damaged text raises SyntaxError, TokenError, TypeError...
        raise HeaderError(f"{where}: not a readable .npy header ({one_line(exc)})") from None
    if dtype.hasobject or dtype.names is not None or dtype.subdtype is not None \
            or dtype.kind not in "fiub":
        raise HeaderError(f"{where}: holds an array of dtype {dtype}, not of plain numbers")
    start = fp.tell()
    count = math.prod(shape)
    declared = count * dtype.itemsize
    if declared != nbytes - start:
        raise HeaderError(f"{where}: the header declares shape {shape} of {dtype} "
                          f"({_size(declared)}), but {_size(nbytes - start)} of data follow it")
    # allocated only now that the file is known to hold every byte of it
    flat = np.empty(count, dtype=dtype)
    view = memoryview(cast(Any, flat)).cast("B")
    done = 0
    while done < declared:
        chunk = fp.read(min(declared - done, CHUNK))
        if not chunk:
            raise HeaderError(f"{where}: ends {declared - done} bytes early")
        view[done:done + len(chunk)] = chunk
        done += len(chunk)
    return flat.reshape(shape, order="F" if fortran else "C")


def _size(nbytes: int) -> str:
    for unit, scale in (("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if nbytes >= scale:
            return f"{nbytes / scale:.1f} {unit}"
    return f"{nbytes} bytes"


def _sniff(head: bytes, suffix: str) -> bool:
    return head.startswith(MAGIC)


def load(path: Path, options: ReadOptions) -> RawRecord:
    """Read a NumPy ``.npy`` file holding a 2-D array of samples (its
    layout checked against `options`); the reader of ``.npy`` in `molvak.io.read`."""
    size = path.stat().st_size
    with open(path, "rb") as fp:
        data = read_array(fp, size, str(path))
    return RawRecord(oriented(path, data, options.layout, stated=options.layout is not None))


register(Format("NPY", (".npy",), load, sniff=_sniff))
