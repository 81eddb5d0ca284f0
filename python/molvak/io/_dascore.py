"""Fibre-optic DAS records through DASCore (the ``das`` extra).

Every format DASCore reads (DASDAE, PRODML, Terra15, Silixa TDMS, OptoDAS,
Febus, AP Sensing, Sintela, ...) comes in here, and no vendor format is
parsed by molvak itself: :func:`scan` tells what a file holds without reading
its samples, :func:`read_samples` reads a time range of a patch, and
:func:`write_dasdae` writes one. :func:`molvak.read` (its DAS reader is
:mod:`molvak.io.das`) and the windowed readers of :mod:`molvak.io.records` are
built on them.

What a DAS record carries:

- channel positions along the fibre (m), from DASCore's distance coordinate,
  converted to metres from the coordinate's units; a coordinate without
  units is taken to be in metres and ``headers["distance_units"]`` says so;
- ``headers``: "start_time" (ISO 8601, ns), "quantity" (DASCore's
  data_type: "strain_rate", "strain", "velocity", ... or "unknown"),
  "units", "gauge_length" (m, or None when the file does not give it),
  "format" ("DAS"), "das_format" (DASCore's name of the file format) and
  "positions" ("file" or "argument").

A record whose channels have no positions (a coordinate other than
distance, e.g. SEG-Y's channel numbers) is refused with a
:class:`PositionsError` naming the file and the coordinate, until positions
are given.
"""
from __future__ import annotations

import math
import os
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional, Union

import numpy as np
from numpy.typing import ArrayLike

from .._atomic import atomic_path
from .._errors import HeaderError

__all__ = ["PatchInfo", "PositionsError", "read_samples", "scan", "write_dasdae"]

PathLike = Union[str, "os.PathLike[str]"]


class PositionsError(HeaderError):
    """A DAS record whose channels have no positions along the fibre.
    `reason` says why, without the file's name or the remedy."""

    def __init__(self, path: str, reason: str, remedy: str) -> None:
        super().__init__(f"{path}: {reason}; {remedy}")
        self.reason = reason


def _dascore() -> Any:
    try:
        import dascore
    except ImportError:
        raise ImportError("reading DAS records needs DASCore: pip install 'molvak[das]'") from None
    return dascore


# --------------------------------------------------------------------------
# what a file holds


@dataclass(frozen=True, eq=False)
class PatchInfo:
    """One patch (a contiguous block of channels x samples) of a DAS file,
    as scanned: everything but the samples.

    `start` is the time of the first sample in nanoseconds since 1970 (UTC);
    `positions` are in metres, None when the file gives none; `time_axis` is
    the axis of the samples in the stored array (0 or 1).
    """

    path: str
    format: str
    version: str
    start: int
    dt: float
    samples: int
    channels: int
    positions: Optional[np.ndarray]
    channel_coordinate: str
    time_axis: int
    quantity: str
    units: Optional[str]
    gauge_length: Optional[float]
    distance_units: str

    @property
    def end(self) -> int:
        """Time of the last sample (ns)."""
        return self.start + int(round((self.samples - 1) * self.dt * 1e9))

    @property
    def name(self) -> str:
        """The file name of the patch, without its folder."""
        return os.path.basename(self.path)


def _metres(units: Any, what: str, path: str) -> tuple[float, str]:
    """The factor from `units` to metres, and a note for the headers."""
    if units is None or str(units) in ("", "None"):
        return 1.0, "m (assumed: the file gives no units)"
    from dascore.units import get_quantity
    try:
        factor = float(get_quantity(units).to("m").magnitude)
    except Exception:
        raise PositionsError(path, f"the {what} is in {units}, not a length",
                             "give the positions in metres (spacing= or receivers=)") from None
    return factor, "m"


def _number(value: Any) -> Optional[float]:
    try:
        out = float(value)
    except (TypeError, ValueError):
        return None
    return out if math.isfinite(out) and out > 0 else None


def _info(path: str, patch_format: str, version: str, attrs: Any,
          positions: Optional[np.ndarray], coordinate: str, dims: tuple[str, ...],
          distance_units: str) -> PatchInfo:
    time = attrs.coords["time"]
    step = np.timedelta64(time.step, "ns").astype(np.int64)
    if step <= 0:
        raise ValueError(f"{path}: the time coordinate has no regular sample interval")
    dt = float(step) * 1e-9
    t0 = np.datetime64(time.min, "ns").astype(np.int64)
    t1 = np.datetime64(time.max, "ns").astype(np.int64)
    samples = int(round((t1 - t0) / step)) + 1
    gauge = _number(getattr(attrs, "gauge_length", None))
    if gauge is not None:
        gauge_units = getattr(attrs, "gauge_length_units", None)
        factor, _ = _metres(gauge_units, "gauge length", path)
        gauge *= factor
    units = attrs.data_units
    channel_dim = [d for d in dims if d != "time"][0]
    nch = attrs.coords[channel_dim]
    count = positions.size if positions is not None else _coord_count(nch)
    return PatchInfo(path=path, format=patch_format, version=version, start=int(t0), dt=dt,
                     samples=samples, channels=count, positions=positions,
                     channel_coordinate=coordinate, time_axis=dims.index("time"),
                     quantity=str(attrs.data_type or "unknown"),
                     units=None if units is None else str(units), gauge_length=gauge,
                     distance_units=distance_units)


def _coord_count(summary: Any) -> int:
    step = float(summary.step)
    return int(round((float(summary.max) - float(summary.min)) / step)) + 1


def scan(path: PathLike) -> list[PatchInfo]:
    """What a DAS file holds: one :class:`PatchInfo` per patch, in time order.

    The channel positions come from the distance coordinate; to get them
    when the coordinate is irregular (or to learn its units) the first
    sample of the patch is read. Raises ValueError naming the file when
    DASCore does not recognise it or the file has no time axis.
    """
    dc = _dascore()
    path = os.fspath(path)
    with warnings.catch_warnings():
        # DASCore's notes on its own index queries are not the user's concern
        warnings.simplefilter("ignore")
        try:
            patch_format, version = dc.get_format(path)
        except Exception as exc:
            raise ValueError(f"{path}: not a DAS file that DASCore reads ({exc})") from None
        try:
            attrs_list = dc.scan(path, file_format=patch_format, file_version=version)
        except Exception as exc:
            raise ValueError(f"{path}: DASCore cannot scan this {patch_format} file "
                             f"({exc})") from None
    infos = []
    for attrs in attrs_list:
        dims = tuple(str(attrs.dims).split(","))
        if "time" not in dims or len(dims) != 2:
            raise ValueError(f"{path}: a DAS patch must have the dimensions (channel, time); "
                             f"got {', '.join(dims)}")
        coordinate = [d for d in dims if d != "time"][0]
        positions, note = None, "none"
        if coordinate == "distance":
            positions, note = _positions(dc, path, patch_format, version, attrs)
        infos.append(_info(path, patch_format, version, attrs, positions, coordinate, dims,
                           note))
    return sorted(infos, key=lambda p: p.start)


def _positions(dc: Any, path: str, patch_format: str, version: str,
               attrs: Any) -> tuple[np.ndarray, str]:
    """Channel positions (m) of a patch and the note on their units: from
    the scanned coordinate when it is regular, else read with the patch's
    first sample."""
    summary = attrs.coords["distance"]
    try:
        step = float(summary.step)
        first = float(summary.min)
        count = int(round((float(summary.max) - first) / step)) + 1
    except (TypeError, ValueError, ZeroDivisionError, OverflowError):
        step = math.nan
    if math.isfinite(step) and step != 0 and count >= 1:
        factor, note = _metres(summary.units, "distance coordinate", path)
        return (first + step * np.arange(count, dtype=np.float64)) * factor, note
    t0 = np.datetime64(attrs.coords["time"].min, "ns")
    half = np.timedelta64(max(1, int(np.timedelta64(attrs.coords["time"].step, "ns")
                                     .astype(np.int64)) // 4), "ns")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        spool = dc.read(path, file_format=patch_format, file_version=version,
                        time=(t0 - half, t0 + half))
    for patch in spool:
        coord = patch.get_coord("distance")
        factor, note = _metres(coord.units, "distance coordinate", path)
        x = np.asarray(patch.coords.get_array("distance"), dtype=np.float64) * factor
        return x, note
    raise ValueError(f"{path}: DASCore read no samples at the start of the patch")


def read_samples(info: PatchInfo, first: int, stop: int,
                 channels: Optional[np.ndarray] = None, *, single: bool = False) -> np.ndarray:
    """Samples first..stop-1 of a patch as float64 (channels x samples),
    optionally only the given channel indices; with `single`, samples
    stored in float32 stay float32 (no float64 copy)."""
    dc = _dascore()
    step = int(round(info.dt * 1e9))
    t0 = np.datetime64(info.start + first * step - step // 4, "ns")
    t1 = np.datetime64(info.start + (stop - 1) * step + step // 4, "ns")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        spool = dc.read(info.path, file_format=info.format, file_version=info.version,
                        time=(t0, t1))
    want = stop - first
    for patch in spool:
        data = np.asarray(patch.data)
        if info.time_axis == 0:
            data = data.T
        if data.shape[1] != want:
            continue
        if data.shape[0] != info.channels:
            raise ValueError(f"{info.path}: the patch has {data.shape[0]} channels where the "
                             f"scan found {info.channels}")
        if channels is not None:
            data = data[channels]
        keep = single and data.dtype == np.float32
        return np.ascontiguousarray(data, dtype=np.float32 if keep else np.float64)
    raise ValueError(f"{info.path}: DASCore did not return samples {first} to {stop - 1} "
                     f"({want} samples from {np.asarray(t0).astype('datetime64[ns]')})")


# --------------------------------------------------------------------------
# writing


def write_dasdae(path: PathLike, data: np.ndarray, positions: ArrayLike, dt: float,
                 start: Any, *, quantity: str = "", units: Optional[str] = None,
                 gauge_length: Optional[float] = None) -> str:
    """Write one patch (channels x samples) as a DASDAE file with DASCore.

    The file is written under a hidden temporary name in the same folder
    and renamed when complete; an existing `path` is refused.
    """
    dc = _dascore()
    path = os.fspath(path)
    if os.path.exists(path):
        raise FileExistsError(f"{path}: exists; not replaced")
    x = np.asarray(positions, dtype=np.float64)
    data = np.asarray(data)
    if data.ndim != 2 or data.shape[0] != x.size:
        raise ValueError(f"data must be (channels, samples) with one position per channel; "
                         f"got {data.shape} and {x.size} positions")
    t0 = np.datetime64(start, "ns")
    step = np.timedelta64(int(round(float(dt) * 1e9)), "ns")
    coords = {"distance": x, "time": t0 + np.arange(data.shape[1]) * step}
    attrs: dict[str, Any] = {"data_type": quantity, "category": "DAS"}
    if units is not None:
        attrs["data_units"] = units
    if gauge_length is not None:
        attrs["gauge_length"] = float(gauge_length)
    patch = dc.Patch(data=data, coords=coords, dims=("distance", "time"), attrs=attrs)
    # (Patch.set_units would drop the data units)
    patch = patch.update_coords(distance=patch.get_coord("distance").update(units="m"))
    with atomic_path(path) as temporary, warnings.catch_warnings():
        warnings.simplefilter("ignore")
        patch.io.write(temporary, "DASDAE")
    return path


def is_data_file(path: Path) -> bool:
    """Whether a file in a folder of a recording is taken as a record: not
    hidden (DASCore's index files and partial writes start with a dot)."""
    return path.is_file() and not path.name.startswith(".")
