"""The HDF5 file of a partial stack of correlations
(:meth:`molvak.CorrelationStack.save`, read back by
:meth:`molvak.CorrelationStack.load`): one file per block of a long run, so
that an interrupted run resumes where it stopped, and so that stacks made
elsewhere combine by ``+``. Needs h5py (the `das` extra).

Layout, format "molvak.correlation_stack", version 1:

    /            attributes
        format      "molvak.correlation_stack"
        version     1
        count       windows stacked (int)
        skipped     windows left out for non-finite samples (int)
        rejected    windows left out as transients (int)
        nonfinite   the channels left out of windows as JSON text:
                    {"dead": {channel: windows}, "dropped": {channel:
                    windows}} (absent from files of earlier versions: read
                    as none)
        span        [first start, last end] of the windows, s from the first
                    sample of the record (float64, 2)
        settings    the CorrelationSettings as JSON text (samples, dt,
                    max_lag, nfft, taper, normalization, ram_half, whiten,
                    whiten_half, stacking, reject)
        headers     the stack's headers as JSON text
    /positions   float64 (NX,)      channel positions along the line (m)
    /sources     int64 (S,)         virtual-source channels
    /pairs       int64 (P, 2)       channel pairs (i, j), pair stacks only
    /linear      float64            sum of the correlations: (S, NX, 2L + 1),
                                    or (P, 2L + 1) for pairs
    /phasor      complex128         sum of the unit phasors, same shape
                                    (phase-weighted stacking only)

Every array is stored as computed, so a stack read back is bit for bit the
one written. Files are written under a temporary name and renamed.
"""
from __future__ import annotations

import json
import os
from typing import Any, Union

import numpy as np

from ._atomic import atomic_path

FORMAT = "molvak.correlation_stack"
VERSION = 1

PathLike = Union[str, "os.PathLike[str]"]


def _h5py() -> Any:
    try:
        import h5py
    except ImportError:
        raise ImportError("reading and writing correlation stacks needs h5py: pip install "
                          "'molvak[das]' (or h5py)") from None
    return h5py


def _plain(value: Any) -> Any:
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, (tuple, set)):
        return list(value)
    return str(value)


def write(path: PathLike, fields: dict[str, Any], *, overwrite: bool = False) -> None:
    """Write a stack's fields (count, skipped, rejected, nonfinite, span,
    settings (dict), headers, positions, sources, pairs or None, linear,
    phasor or None)."""
    h5py = _h5py()
    with atomic_path(path, overwrite=overwrite) as temp:
        with h5py.File(temp, "w") as f:
            f.attrs["format"] = FORMAT
            f.attrs["version"] = VERSION
            f.attrs["count"] = int(fields["count"])
            f.attrs["skipped"] = int(fields["skipped"])
            f.attrs["rejected"] = int(fields["rejected"])
            f.attrs["nonfinite"] = json.dumps(
                {kind: {str(int(ch)): int(n) for ch, n in channels.items()}
                 for kind, channels in fields["nonfinite"].items()})
            f.attrs["span"] = np.asarray(fields["span"], dtype=np.float64)
            f.attrs["settings"] = json.dumps(fields["settings"], default=_plain)
            f.attrs["headers"] = json.dumps(fields["headers"], default=_plain)
            f.create_dataset("positions", data=np.asarray(fields["positions"], np.float64))
            f.create_dataset("sources", data=np.asarray(fields["sources"], np.int64))
            if fields["pairs"] is not None:
                f.create_dataset("pairs", data=np.asarray(fields["pairs"], np.int64))
            f.create_dataset("linear", data=fields["linear"])
            if fields["phasor"] is not None:
                f.create_dataset("phasor", data=fields["phasor"])


def _nonfinite(text: Any) -> dict[str, dict[int, int]]:
    out: dict[str, dict[int, int]] = {"dead": {}, "dropped": {}}
    if text is None:
        return out
    kinds = json.loads(text)
    if not isinstance(kinds, dict) or not all(isinstance(v, dict) for v in kinds.values()):
        raise ValueError(f"nonfinite is not a table of channels: {text!r}")
    for kind, channels in kinds.items():
        out[str(kind)] = {int(ch): int(n) for ch, n in channels.items()}
    return out


def read(path: PathLike) -> dict[str, Any]:
    """The fields of a stack file (as :func:`write` takes them)."""
    h5py = _h5py()
    name = os.fspath(path)
    try:
        f = h5py.File(name, "r")
    except OSError as exc:
        raise ValueError(f"{name}: not an HDF5 file of a correlation stack ({exc})") from None
    with f:
        if f.attrs.get("format") != FORMAT:
            raise ValueError(f"{name}: not a molvak correlation stack (format "
                             f"{f.attrs.get('format')!r})")
        if int(f.attrs.get("version", 0)) > VERSION:
            raise ValueError(f"{name}: a correlation stack of version "
                             f"{int(f.attrs['version'])}; this molvak reads up to {VERSION}")
        try:
            return {"count": int(f.attrs["count"]), "skipped": int(f.attrs["skipped"]),
                    "rejected": int(f.attrs.get("rejected", 0)),
                    "nonfinite": _nonfinite(f.attrs.get("nonfinite")),
                    "span": tuple(float(v) for v in f.attrs["span"]),
                    "settings": json.loads(f.attrs["settings"]),
                    "headers": json.loads(f.attrs["headers"]),
                    "positions": f["positions"][()], "sources": f["sources"][()],
                    "pairs": f["pairs"][()].astype(np.intp) if "pairs" in f else None,
                    "linear": f["linear"][()],
                    "phasor": f["phasor"][()] if "phasor" in f else None}
        except (KeyError, ValueError, TypeError) as exc:
            raise ValueError(f"{name}: a damaged correlation stack ({exc})") from None
