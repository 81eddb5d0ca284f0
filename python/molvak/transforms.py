"""The dispersion estimators, the tau-p transform and the FFT, with checked
arguments, dead-trace handling and threading over velocity chunks.

Every function takes the gather as (traces x time samples), one offset per
trace and the sample interval `dt`, and hands the work to the native module
`_molvak`, which releases the interpreter lock while it computes. Frequency
limits are `fmin` / `fmax`; the frequency resolution is asked for as a step
`df`, turned into the FFT length n = ceil(1 / (df dt)) (the record is zero
padded to n samples; a step coarser than 1 / (NT dt) leaves it unpadded, so
the step actually used, ``params["df"]``, is never above the one asked for).
"""
from __future__ import annotations

import warnings
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike

import _molvak

from . import _checks
from ._checks import Grid
from .image import DispersionImage

__all__ = ["DeadTraceWarning", "Spectrum", "TauP", "fdbf", "phase_shift", "rfft",
           "slant_stack", "tau_p"]

Native = Callable[[np.ndarray], Tuple[np.ndarray, np.ndarray]]


class DeadTraceWarning(UserWarning):
    """Issued when traces whose samples are all zero are left out."""


class Spectrum(NamedTuple):
    """Result of :func:`rfft`: the frequency axis and the complex spectrum."""

    frequency: np.ndarray
    values: np.ndarray


class TauP(NamedTuple):
    """Result of :func:`tau_p`: intercept times, slownesses and the panel
    (intercept time x slowness)."""

    tau: np.ndarray
    slowness: np.ndarray
    values: np.ndarray


MOVEOUTS = {"linear": 0, "parabolic": 1, "hyperbolic": 2}


def _live_gather(data: ArrayLike, offsets: ArrayLike, keep_dead: bool, stacklevel: int,
                 ) -> Tuple[np.ndarray, np.ndarray, List[int]]:
    """The checked gather and offsets, without dead traces unless kept.

    A dead trace (every sample exactly zero) carries no wave; under the phase
    shift its spectrum normalises to 0/0 and turns the whole image into NaN,
    and in the other estimators it only dilutes the stack.
    """
    gather = _checks.gather(data)
    x = _checks.offsets_for(offsets, gather.shape[0])
    dead = np.flatnonzero(~np.any(gather != 0.0, axis=1))
    if dead.size == 0:
        return gather, x, []
    listed = ", ".join(f"{int(i)} (offset {x[i]:g})" for i in dead[:12])
    if dead.size > 12:
        listed += f", ... ({dead.size} in all)"
    if keep_dead:
        warnings.warn(f"dead traces (all samples zero) kept as asked: {listed}",
                      DeadTraceWarning, stacklevel=stacklevel)
        return gather, x, []
    live = np.ones(gather.shape[0], dtype=bool)
    live[dead] = False
    if live.sum() < 2:
        raise ValueError(f"data has {int(live.sum())} live trace(s) after leaving out "
                         f"the dead traces {listed}; at least 2 are needed")
    warnings.warn(f"dead traces (all samples zero) left out: {listed}",
                  DeadTraceWarning, stacklevel=stacklevel)
    return np.ascontiguousarray(gather[live]), np.ascontiguousarray(x[live]), \
        [int(i) for i in dead]


# Velocity chunks start on multiples of this many columns. The native
# kernels evaluate the velocities in vector blocks of up to 8 lanes, and a
# block may choose its evaluation path from all of its lanes (the
# beamformer's fast Hankel phase does): a column then rounds differently in a
# block of other neighbours. Chunks made of whole blocks, the grid's tail in
# the last one, reproduce the blocks of a single call exactly.
CHUNK_ALIGN = 16


def _chunk_bounds(size: int, parts: int) -> List[Tuple[int, int]]:
    """[start, stop) of up to `parts` contiguous chunks of a grid of `size`,
    every start a multiple of CHUNK_ALIGN, sizes as even as that allows."""
    units = -(-size // CHUNK_ALIGN)
    parts = max(1, min(parts, units))
    cuts = [min(size, CHUNK_ALIGN * ((units * k) // parts)) for k in range(parts + 1)]
    return [(a, b) for a, b in zip(cuts[:-1], cuts[1:]) if b > a]


def _map_chunks(call: Callable[[np.ndarray], Any], grid: np.ndarray, workers: int) -> List[Any]:
    """`call` over contiguous chunks of the grid, on up to `workers` threads."""
    bounds = _chunk_bounds(grid.size, workers)
    if len(bounds) <= 1:
        return [call(grid)]
    chunks = [np.ascontiguousarray(grid[a:b]) for a, b in bounds]
    with ThreadPoolExecutor(max_workers=len(chunks)) as pool:
        return list(pool.map(call, chunks))


def _split_columns(call: Native, grid: np.ndarray, workers: int,
                   ) -> Tuple[np.ndarray, np.ndarray]:
    """Run an estimator over chunks of the velocity grid and join the columns.

    Every column of the phase-shift and beamforming spectra depends only on
    its own velocity (given the vector blocks it is computed in, which the
    aligned chunks preserve), and the traces' FFT is the same in every chunk,
    so the joined columns equal the output of one call over the whole grid,
    bit for bit.
    """
    results: List[Tuple[np.ndarray, np.ndarray]] = _map_chunks(call, grid, workers)
    if len(results) == 1:
        return results[0]
    first = results[0][0]
    for f, _ in results[1:]:
        if f.shape != first.shape or not np.array_equal(f, first):
            raise RuntimeError("velocity chunks returned different frequency axes")
    return first, np.concatenate([s for _, s in results], axis=1)


def _band_bins(f_range: Tuple[Optional[float], Optional[float]], dt: float, n: int,
               ) -> Tuple[int, int]:
    """The FFT bins [first, stop) of a band, by the native module's rule.

    df = 1 / (dt N); first is the lowest bin whose frequency first * df is not
    below fmin, stop - 1 the integer part of fmax / df, capped at N // 2.
    """
    fmin = 0.0 if f_range[0] is None else float(f_range[0])
    fmax = 1.0 / (2.0 * dt) if f_range[1] is None else float(f_range[1])
    df = 1.0 / (dt * n)
    first = int(fmin / df)
    if fmin > first * df:
        first += 1
    stop = min(int(fmax / df + 1.0), n // 2 + 1)
    return max(first, 0), stop


def _common(data: ArrayLike, offsets: ArrayLike, dt: float, velocities: Grid,
            fmin: Optional[float], fmax: Optional[float], df: Optional[float],
            workers: Optional[int], keep_dead: bool) -> Dict[str, Any]:
    dt = _checks.positive_float("dt", dt)
    # the warning points at the caller of the public function
    gather, x, dead = _live_gather(data, offsets, keep_dead, stacklevel=4)
    c = _checks.grid("velocities", velocities)
    n = _checks.fft_length(df, dt, gather.shape[1])
    lo, hi = _checks.band(fmin, fmax, dt, n)
    return {"data": gather, "offsets": x, "dt": dt, "velocity": c, "n": n,
            "f_range": (lo, hi), "workers": _checks.workers(workers), "dead": dead}


def _image(args: Dict[str, Any], f: np.ndarray, spectrum: np.ndarray, method: str,
           quantity: str, **extra: Any) -> DispersionImage:
    params: Dict[str, Any] = {
        "dt": args["dt"], "n": args["n"], "df": 1.0 / (args["n"] * args["dt"]),
        "fmin": args["f_range"][0], "fmax": args["f_range"][1],
        "offsets": args["offsets"], "dead_traces": args["dead"],
    }
    params.update(extra)
    return DispersionImage(f, args["velocity"], spectrum, method, params, quantity)


def phase_shift(data: ArrayLike, offsets: ArrayLike, dt: float, *, velocities: Grid,
                fmin: Optional[float] = None, fmax: Optional[float] = None,
                df: Optional[float] = None, workers: Optional[int] = 1,
                keep_dead: bool = False) -> DispersionImage:
    """Dispersion image by the phase-shift method (Park et al., 1998).

    The spectrum of every trace is reduced to unit modulus, rotated by
    exp(+2 pi i f x / c) for every trial velocity c and integrated over offset
    with the trapezoid rule; at the phase velocity of a mode the phases line
    up and the modulus peaks at the sum of the offset steps.

    Parameters
    ----------
    data : array_like, shape (NX, NT)
        The gather, one row of time samples per trace.
    offsets : array_like, shape (NX,)
        Source-receiver offset of every trace (m).
    dt : float
        Sample interval (s).
    velocities : array_like or (vmin, vmax, step)
        Trial phase velocities (m/s), positive; a tuple of three numbers is a
        grid from vmin to vmax (inclusive) in steps of `step`.
    fmin, fmax : float, optional
        Frequency band (Hz); open limits by default (0 and the Nyquist
        frequency). An upper limit saves time: the work grows with the number
        of frequencies.
    df : float, optional
        Frequency step wanted (Hz); the record is zero padded to
        ceil(1 / (df dt)) samples. By default the record's own 1 / (NT dt).
    workers : int or None
        Threads to split the velocities over (None: one per CPU). The result
        does not depend on it.
    keep_dead : bool
        Keep traces whose samples are all zero. By default they are left out
        with a :class:`DeadTraceWarning`, since each would make the whole
        phase-shift image NaN.

    Returns
    -------
    DispersionImage
        method "phase_shift", an amplitude image.
    """
    a = _common(data, offsets, dt, velocities, fmin, fmax, df, workers, keep_dead)

    def call(c: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
        return _molvak._phase_shift(a["data"], a["offsets"], c, a["dt"],
                                    f_range=a["f_range"], n=a["n"])

    f, spectrum = _split_columns(call, a["velocity"], a["workers"])
    return _image(a, f, spectrum, "phase_shift", "amplitude")


def fdbf(data: ArrayLike, offsets: ArrayLike, dt: float, *, velocities: Grid,
         fmin: Optional[float] = None, fmax: Optional[float] = None,
         df: Optional[float] = None, steering: str = "cylindrical", weighting: str = "sqrt",
         workers: Optional[int] = 1, keep_dead: bool = False) -> DispersionImage:
    """Dispersion image by frequency-domain beamforming (Zywicki, 1999).

    For every frequency the cross-spectral matrix of the traces is steered
    with unit phasors for every trial velocity; the beam power is the image.

    Parameters
    ----------
    data, offsets, dt, velocities, fmin, fmax, df, workers, keep_dead
        As for :func:`phase_shift`.
    steering : {"cylindrical", "plane"}
        "cylindrical" steers with the phase of the Hankel function H0(k x),
        the wavefront of a point source, and needs non-negative offsets;
        "plane" steers with exp(-i k x).
    weighting : {"sqrt", "none"}
        "sqrt" multiplies every trace's spectrum by its offset before the
        cross-spectra are formed (which undoes the 1 / sqrt(x) amplitude decay
        of surface waves in power); "none" leaves the traces as they are.

    Returns
    -------
    DispersionImage
        method "fdbf", a power image.
    """
    steering = _checks.choice("steering", steering, ("cylindrical", "plane"))
    weighting = _checks.choice("weighting", weighting, ("sqrt", "none"))
    a = _common(data, offsets, dt, velocities, fmin, fmax, df, workers, keep_dead)
    if steering == "cylindrical" and (a["offsets"] < 0).any():
        k = int(np.flatnonzero(a["offsets"] < 0)[0])
        raise ValueError("offsets must be non-negative for cylindrical steering; "
                         f"got {a['offsets'][k]!r} at index {k}")

    def call(c: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
        return _molvak._FDBF(a["data"], a["offsets"], c, a["dt"], f_range=a["f_range"],
                             steering_method=steering, weighting=weighting, n=a["n"])

    f, spectrum = _split_columns(call, a["velocity"], a["workers"])
    return _image(a, f, spectrum, "fdbf", "power", steering=steering, weighting=weighting)


def slant_stack(data: ArrayLike, offsets: ArrayLike, dt: float, *, velocities: Grid,
                fmin: Optional[float] = None, fmax: Optional[float] = None,
                df: Optional[float] = None, workers: Optional[int] = 1,
                keep_dead: bool = False) -> DispersionImage:
    """Dispersion image by slant stack (McMechan and Yedlin, 1981).

    The gather is slant-stacked (tau-p transform with linear moveout) at the
    slownesses 1 / c, and every slowness trace is Fourier transformed over
    intercept time.

    Parameters
    ----------
    data, offsets, dt, velocities, fmin, fmax, df, workers, keep_dead
        As for :func:`phase_shift`.

    Returns
    -------
    DispersionImage
        method "slant_stack", an amplitude image.
    """
    a = _common(data, offsets, dt, velocities, fmin, fmax, df, workers, keep_dead)
    time = np.arange(a["data"].shape[1], dtype=np.float64) * a["dt"]
    if len(_chunk_bounds(a["velocity"].size, a["workers"])) <= 1:
        f, spectrum = _molvak._disp_slantstack(a["data"], a["offsets"], time, a["velocity"],
                                               a["dt"], f_range=a["f_range"], n=a["n"])
        return _image(a, f, spectrum, "slant_stack", "amplitude")
    # Threaded: the tau-p panel (the bulk of the work) column chunk by column
    # chunk, then one FFT of the whole panel and the band cut, which is what
    # the native estimator does in one call. The FFT is not split: its
    # rounding may depend on how many columns are transformed together.
    slowness = 1.0 / a["velocity"]

    def panel(chunk: np.ndarray) -> np.ndarray:
        return _molvak._radon_transform(a["data"], a["offsets"], chunk, a["dt"], time[0],
                                        t_eval=time, moveout_type=0)

    tau_p_panel = np.concatenate(_map_chunks(panel, slowness, a["workers"]), axis=1)
    full = _molvak._rfft(tau_p_panel, axis=0, stepsize=a["dt"], n=a["n"])
    first, stop = _band_bins(a["f_range"], a["dt"], a["n"])
    f = np.arange(first, stop, dtype=np.float64) * (1.0 / (a["dt"] * a["n"]))
    return _image(a, f, full[first:stop], "slant_stack", "amplitude")


def tau_p(data: ArrayLike, offsets: ArrayLike, dt: float, *, slowness: Grid,
          t0: float = 0.0, tau: Optional[ArrayLike] = None, moveout: str = "linear",
          workers: Optional[int] = 1, keep_dead: bool = False) -> TauP:
    """The tau-p transform (slant stack, linear Radon transform) of a gather.

    For every intercept time tau and slowness p, the amplitude of every trace
    at the arrival time of the moveout law (linear tau + p x, parabolic
    tau + p x^2, hyperbolic sqrt(tau^2 + (p x)^2)) is read by linear
    interpolation and integrated over offset with the trapezoid rule.

    Parameters
    ----------
    data, offsets, dt, workers, keep_dead
        As for :func:`phase_shift`.
    slowness : array_like or (pmin, pmax, step)
        Moveout parameters (s/m, or s/m^2 for the parabolic moveout); may be
        zero or negative.
    t0 : float
        Time of the first sample (s).
    tau : array_like, optional
        Intercept times (s); by default the sample times t0 + k dt.
    moveout : {"linear", "parabolic", "hyperbolic"}

    Returns
    -------
    TauP
        (tau, slowness, values) with values shaped (len(tau), len(slowness)).
    """
    moveout = _checks.choice("moveout", moveout, tuple(MOVEOUTS))
    dt = _checks.positive_float("dt", dt)
    t0f = float(t0)
    if not np.isfinite(t0f):
        raise ValueError(f"t0 must be finite; got {t0!r}")
    gather, x, _ = _live_gather(data, offsets, keep_dead, stacklevel=3)
    p = _checks.grid("slowness", slowness, positive=False)
    if tau is None:
        t = t0f + np.arange(gather.shape[1], dtype=np.float64) * dt
    else:
        t = _checks.grid("tau", np.asarray(tau, dtype=np.float64), positive=False)
    nworkers = _checks.workers(workers)

    def call(chunk: np.ndarray) -> np.ndarray:
        return _molvak._radon_transform(gather, x, chunk, dt, t0f, t_eval=t,
                                        moveout_type=MOVEOUTS[moveout])

    values = np.concatenate(_map_chunks(call, p, nworkers), axis=1)
    return TauP(t, p, values)


def rfft(data: ArrayLike, dt: float = 1.0, *, axis: int = -1,
         df: Optional[float] = None) -> Spectrum:
    """The real FFT of an array along one axis, scaled by `dt`.

    Bin k is dt * sum_j x[j] exp(-2 pi i j k / N) at frequency k / (N dt),
    the Fourier integral of the sampled signal; N = max(ceil(1 / (df dt)),
    length of the axis), the signal zero padded to N samples.

    Returns
    -------
    Spectrum
        (frequency, values): values has the input's shape with N // 2 + 1
        bins along `axis`.
    """
    dt = _checks.positive_float("dt", dt)
    arr = np.asarray(data)
    if arr.dtype.kind not in "fiub":
        raise TypeError(f"data must be a real-valued array; got dtype {arr.dtype}")
    if arr.ndim == 0:
        raise ValueError("data must have at least one dimension; got a scalar")
    if isinstance(axis, bool) or not isinstance(axis, (int, np.integer)):
        raise TypeError(f"axis must be an integer; got {axis!r}")
    if not -arr.ndim <= int(axis) < arr.ndim:
        raise ValueError(f"axis {int(axis)} is out of range for data of shape {arr.shape}")
    length = arr.shape[int(axis)]
    if length == 0 or arr.size == 0:
        raise ValueError(f"data must not be empty; got shape {arr.shape}")
    n = _checks.fft_length(df, dt, length)
    values = _molvak._rfft(arr, axis=int(axis), stepsize=dt, n=n)
    # the same rounding as the estimators' frequency axes: k * (1 / (dt N))
    frequency = np.arange(n // 2 + 1, dtype=np.float64) * (1.0 / (dt * n))
    return Spectrum(frequency, values)
