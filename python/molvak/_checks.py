"""Argument checks shared by the public wrappers.

Every message names the argument and the value it got, so that a caller who
passes a wrong array learns which one and why without reading the source.
"""
from __future__ import annotations

import contextlib
import functools
import math
import numbers
import os
import threading
import warnings
from collections.abc import Iterator, Sequence
from typing import NamedTuple, Optional, Union

import numpy as np
from numpy.typing import ArrayLike

import _molvak

# an array of values, or a (start, stop, step) tuple
Grid = Union[ArrayLike, tuple[float, float, float]]


def _show(value: object) -> str:
    """A short rendering of a value for an error message."""
    if isinstance(value, np.ndarray):
        if value.size <= 6:
            return np.array2string(value, separator=", ")
        return f"array of shape {value.shape}"
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def positive_float(name: str, value: object) -> float:
    """A finite, strictly positive real number."""
    if isinstance(value, bool) or not isinstance(value, (numbers.Real, np.floating, np.integer)):
        raise TypeError(f"{name} must be a real number; got {_show(value)}")
    out = float(value)
    if not (math.isfinite(out) and out > 0.0):
        raise ValueError(f"{name} must be a positive, finite number; got {out!r}")
    return out


def optional_float(name: str, value: object) -> Optional[float]:
    """None, or a finite, non-negative real number (a frequency limit)."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (numbers.Real, np.floating, np.integer)):
        raise TypeError(f"{name} must be a real number or None; got {_show(value)}")
    out = float(value)
    if not (math.isfinite(out) and out >= 0.0):
        raise ValueError(f"{name} must be a non-negative, finite number; got {out!r}")
    return out


def gather(data: object) -> np.ndarray:
    """The gather as a C-contiguous float64 array (traces x samples)."""
    arr = np.asarray(data)
    if arr.dtype.kind == "c":
        raise TypeError(f"data must be real-valued; got an array of dtype {arr.dtype}")
    if arr.dtype.kind not in "fiub":
        raise TypeError(f"data must be a numeric array; got dtype {arr.dtype}")
    if arr.ndim != 2:
        raise ValueError(f"data must be a 2-D array (traces x time samples); got shape {arr.shape}")
    if arr.shape[0] < 2 or arr.shape[1] < 2:
        raise ValueError(
            f"data must hold at least 2 traces of at least 2 samples; got shape {arr.shape}")
    arr = np.ascontiguousarray(arr, dtype=np.float64)
    bad = ~np.isfinite(arr).all(axis=1)
    if bad.any():
        rows = np.flatnonzero(bad)
        raise ValueError(f"data must be finite; traces {_list(rows)} hold NaN or infinite samples")
    return arr


def offsets_for(offsets: object, ntraces: int) -> np.ndarray:
    """One finite offset per trace, as a float64 vector."""
    arr = np.asarray(offsets)
    if arr.dtype.kind not in "fiu":
        raise TypeError(f"offsets must be a real-valued array; got dtype {arr.dtype}")
    arr = np.ascontiguousarray(arr, dtype=np.float64)
    if arr.ndim != 1:
        raise ValueError(f"offsets must be a 1-D array; got shape {arr.shape}")
    if arr.size != ntraces:
        raise ValueError(
            f"offsets must have one entry per trace: data has {ntraces} traces, "
            f"offsets has {arr.size} entries")
    if not np.isfinite(arr).all():
        k = int(np.flatnonzero(~np.isfinite(arr))[0])
        raise ValueError(f"offsets must be finite; got {arr[k]!r} at index {k}")
    return arr


def grid(name: str, value: Grid, *, positive: bool = True) -> np.ndarray:
    """A 1-D grid given as values or as a (start, stop, step) triple.

    A tuple of exactly three numbers is read as (start, stop, step) with stop
    included when it lies on the grid; a list or an array is taken as the
    values themselves. The values are start + k * step, not a running sum, so
    long grids carry no accumulated rounding.
    """
    if isinstance(value, tuple) and len(value) == 3 and all(
            isinstance(v, (numbers.Real, np.floating, np.integer)) and not isinstance(v, bool)
            for v in value):
        start, stop, step = (float(v) for v in value)
        if not all(math.isfinite(v) for v in (start, stop, step)):
            raise ValueError(f"{name} (start, stop, step) must be finite; got {value!r}")
        if step <= 0.0:
            raise ValueError(f"{name} step must be positive; got {step!r} in {value!r}")
        if stop < start:
            raise ValueError(f"{name} stop must not be below start; got {value!r}")
        count = int(math.floor((stop - start) / step * (1.0 + 1e-12) + 1e-9)) + 1
        arr = start + step * np.arange(count, dtype=np.float64)
    else:
        arr = np.asarray(value)
        if arr.dtype.kind not in "fiu":
            raise TypeError(
                f"{name} must be an array of numbers or a (start, stop, step) tuple; "
                f"got {_show(value)}")
        arr = np.ascontiguousarray(arr, dtype=np.float64)
        if arr.ndim != 1:
            raise ValueError(f"{name} must be 1-D; got shape {arr.shape}")
    if arr.size == 0:
        raise ValueError(f"{name} must not be empty")
    bad = ~np.isfinite(arr) | (arr <= 0.0) if positive else ~np.isfinite(arr)
    if bad.any():
        k = int(np.flatnonzero(bad)[0])
        what = "positive and finite" if positive else "finite"
        raise ValueError(f"{name} must be {what}; got {arr[k]!r} at index {k}")
    return arr


def fft_length(df: Optional[float], dt: float, nt: int) -> int:
    """The FFT length that gives a frequency step of at most `df`.

    The native transforms use N = max(n, NT); a requested step coarser than
    the record's own 1 / (NT dt) therefore leaves the record unpadded.
    """
    if df is None:
        return nt
    df = positive_float("df", df)
    ratio = 1.0 / (df * dt)
    nearest = round(ratio)
    # 1 / (0.25 * 0.0005) is 8000.000000000001 in floating point: a ratio
    # within rounding of an integer is that integer, not the next one up.
    n = int(nearest) if abs(ratio - nearest) <= 1e-9 * ratio else int(math.ceil(ratio))
    if n > 2**31:
        raise ValueError(f"df = {df!r} asks for an FFT of {n} samples; choose a coarser step")
    return max(n, nt)


class Band(NamedTuple):
    """A checked frequency band and the FFT bins it selects."""

    fmin: Optional[float]          # None: open limit
    fmax: Optional[float]
    frequency: np.ndarray          # the frequencies of the selected bins (Hz)
    first: int                     # the bin of frequency[0]


def band(fmin: object, fmax: object, dt: float, n: int, *, stacklevel: int = 2) -> Band:
    """Checked frequency limits and the bins they select in an FFT of n
    samples at interval dt.

    The bins come from the native module itself (a call on a two-sample
    gather, which costs one FFT of n points and nothing else), so that the
    package and the estimators can never disagree on where a band starts and
    stops. An fmax above the Nyquist frequency is clipped there with a
    warning; a band without a frequency above 0 Hz is refused.
    """
    lo = optional_float("fmin", fmin)
    hi = optional_float("fmax", fmax)
    nyquist = 0.5 / dt
    if lo is not None and hi is not None and lo >= hi:
        raise ValueError(f"fmin must be below fmax; got fmin = {lo!r}, fmax = {hi!r}")
    top = (n // 2) / (n * dt)   # the highest frequency bin of the transform
    if lo is not None and lo > top:
        raise ValueError(
            f"fmin = {lo!r} lies above the highest frequency of the record "
            f"({top!r}; Nyquist frequency {nyquist!r})")
    if hi is not None and hi > nyquist:
        warn(f"fmax = {hi:g} Hz lies above the Nyquist frequency, {nyquist:g} Hz for "
             f"dt = {dt:g} s: the band stops there (is dt right?)", UserWarning,
             stacklevel=stacklevel + 1)
    frequency = np.zeros(0)
    if hi is None or hi > 0.0:
        frequency = _band_bins(lo, hi, float(dt), int(n))
    if not (frequency > 0.0).any():
        step = 1.0 / (n * dt)
        limits = f"fmin = {lo!r} Hz to fmax = {hi!r} Hz" if lo is not None else \
            f"up to fmax = {hi!r} Hz"
        above = " above 0 Hz" if frequency.size else ""
        raise ValueError(
            f"the band {limits} holds no frequency of the transform{above} (frequency "
            f"step {step:g} Hz); widen it or refine df")
    first = int(round(float(frequency[0]) * n * dt))
    return Band(lo, hi, frequency, first)


@functools.lru_cache(maxsize=64)
def _band_bins(lo: Optional[float], hi: Optional[float], dt: float, n: int) -> np.ndarray:
    """The frequencies the native module selects for a band (read-only):
    one probe per (band, dt, n), as a survey images many gathers alike."""
    frequency, _ = _molvak._disp_slantstack(
        np.zeros((2, 2)), np.array([0.0, 1.0]), np.array([0.0, dt]), np.array([1.0]), dt,
        f_range=(lo, hi), n=n)
    frequency.setflags(write=False)
    return frequency


def warn(message: str, category: type[Warning], stacklevel: int = 2) -> None:
    """warnings.warn, or a note in the list of the thread's
    :func:`collected_warnings` block when one is open (batch imaging names
    the gather of each warning that way, on threads and on Dask workers)."""
    sink = getattr(_collector, "sink", None)
    if sink is not None:
        sink.append((category, message))
        return
    warnings.warn(message, category, stacklevel=stacklevel + 1)


_collector = threading.local()


@contextlib.contextmanager
def collected_warnings() -> Iterator[list[tuple[type[Warning], str]]]:
    """The package's warnings issued by this thread within the block, as
    (category, message) pairs instead of warnings (thread-safe, unlike
    warnings.catch_warnings)."""
    previous = getattr(_collector, "sink", None)
    sink: list[tuple[type[Warning], str]] = []
    _collector.sink = sink
    try:
        yield sink
    finally:
        _collector.sink = previous


def workers(value: object) -> int:
    """Number of threads: a positive integer, or None for one per CPU."""
    if value is None:
        return max(1, os.cpu_count() or 1)
    if isinstance(value, bool) or not isinstance(value, (numbers.Integral, np.integer)):
        raise TypeError(f"workers must be a positive integer or None; got {_show(value)}")
    if int(value) < 1:
        raise ValueError(f"workers must be a positive integer or None; got {int(value)}")
    return int(value)


def choice(name: str, value: object, allowed: Sequence[str]) -> str:
    if not isinstance(value, str) or value not in allowed:
        options = ", ".join(repr(a) for a in allowed)
        raise ValueError(f"{name} must be one of {options}; got {_show(value)}")
    return value


def _list(indices: np.ndarray, limit: int = 12) -> str:
    shown = ", ".join(str(int(i)) for i in indices[:limit])
    return shown + (f", ... ({indices.size} in all)" if indices.size > limit else "")
