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

import math
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, NamedTuple, Optional, Union

import numpy as np
from numpy.typing import ArrayLike

import _molvak

from . import _checks
from ._checks import Grid
from .image import DispersionImage

__all__ = ["DeadTraceWarning", "Spectrum", "TauP", "fdbf", "phase_shift", "rfft",
           "slant_stack", "tau_p"]

Native = Callable[[np.ndarray], tuple[np.ndarray, np.ndarray]]


class DeadTraceWarning(UserWarning):
    """Issued when dead traces (all samples zero, a constant level, or no signal in the
    band) are left out, or kept as asked."""


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


# A trace whose largest spectral value within the band is at most this
# fraction of its largest value over all frequencies holds nothing but
# rounding there (the FFT's relative error is about 1e-16 log2 N): it is dead
# in the band. No recorder resolves a signal this far below its own offset.
SILENT_IN_BAND = 1e-12

# Amplitudes outside [2**-200, 2**200] would overflow or underflow in the
# powers the estimators and pickers form (squares of spectra, cross-spectra);
# such a gather is imaged after an exact scaling by a power of two.
SAFE_EXPONENT = 200


class Prepared(NamedTuple):
    """A gather checked and made ready for the native estimators."""

    data: np.ndarray          # live traces, sorted by offset, maybe scaled
    offsets: np.ndarray       # their offsets, increasing
    dead: list[int]           # indices (in the caller's order) left out
    kept_dead: list[int]      # dead traces kept as asked (keep_dead=True)
    scale_log2: int           # the data were divided by 2**scale_log2


def _listed(indices: np.ndarray, x: np.ndarray) -> str:
    shown = ", ".join(f"{int(i)} (offset {x[i]:g})" for i in indices[:12])
    return shown + (f", ... ({len(indices)} in all)" if len(indices) > 12 else "")


def _dead_kinds(gather: np.ndarray, band: Optional[_checks.Band], n: int,
                spectra: Optional[dict[str, np.ndarray]] = None,
                ) -> list[tuple[np.ndarray, str]]:
    """The dead traces of a gather by cause: (mask, description) for samples
    all zero, stuck at one level, and (with a band) no signal in the band.
    Each is a property of the trace alone.

    Given a dict `spectra`, the band of the unscaled spectra it computed is
    left there for the caller to reuse: "rows" (the traces transformed) and
    "band" (their bins in the band)."""
    zero = ~np.any(gather != 0.0, axis=1)
    constant = ~zero & np.all(gather == gather[:, :1], axis=1)
    silent = np.zeros_like(zero)
    rest = np.flatnonzero(~(zero | constant))
    if band is not None and rest.size:
        live = gather if rest.size == gather.shape[0] else gather[rest]
        spectrum = _molvak._rfft(live, axis=1, n=n)
        cut = spectrum[:, band.first:band.first + band.frequency.size]
        if spectra is not None:
            spectra["rows"], spectra["band"] = rest, cut
        inside = np.max(cut.real * cut.real + cut.imag * cut.imag, axis=1)
        # |X(f)|^2 <= (sum |x|)^2 <= N sum x^2 at every frequency: a trace
        # whose in-band peak clears that bound is alive without the peak of
        # its whole spectrum, which only the others need
        energy = np.einsum("ij,ij->i", live, live) * gather.shape[1]
        doubt = np.flatnonzero(inside <= SILENT_IN_BAND ** 2 * energy)
        if doubt.size:
            whole = spectrum[doubt]
            top = np.max(whole.real * whole.real + whole.imag * whole.imag, axis=1)
            silent[rest[doubt]] = inside[doubt] <= SILENT_IN_BAND ** 2 * top
    kinds = [(zero, "all samples zero"), (constant, "stuck at a constant level")]
    if band is not None:
        kinds.append((silent, f"no signal in the band {band.frequency[0]:g} to "
                              f"{band.frequency[-1]:g} Hz"))
    return kinds


def _prepare(data: ArrayLike, offsets: ArrayLike, dt: float, band: Optional[_checks.Band],
             n: int, keep_dead: Union[bool, str], stacklevel: int,
             scale: bool = True) -> Prepared:
    """The checked gather: dead traces left out (unless kept: True as the
    caller asked, or a text saying why the estimator keeps them), traces
    sorted by offset, amplitudes brought into a safe range.

    A trace is dead when its samples are all zero, when they all hold one
    constant level (a stuck channel), or when its spectrum vanishes within
    the band. Under the phase shift such a spectrum normalises to 0/0 and
    turns the image into NaN; in the other estimators it only dilutes the
    stack.

    The estimators integrate over offset with the trapezoid rule between
    consecutive traces, so the traces go in by increasing offset: reverse
    shots and split spreads then give what the same traces in any other
    order give. Traces at equal offsets are ordered by their samples, so the
    result does not depend on the order they came in either.
    """
    gather = _checks.gather(data)
    x = _checks.offsets_for(offsets, gather.shape[0])
    scale_log2 = 0
    peak = float(np.max(np.abs(gather)))
    if scale and peak > 0.0 and not 2.0 ** -SAFE_EXPONENT <= peak <= 2.0 ** SAFE_EXPONENT:
        scale_log2 = math.frexp(peak)[1]
        gather = np.ldexp(gather, -scale_log2)
        _checks.warn(f"data amplitudes reach {peak:.3g}: imaged after division by "
                     f"2**{scale_log2}, to stay within floating-point range; "
                     f"params['scale_log2'] records it (picks and normalised images are "
                     f"unaffected)", UserWarning, stacklevel=stacklevel + 1)

    kinds = _dead_kinds(gather, band, n)
    dead = np.any([mask for mask, _ in kinds], axis=0)
    kept_dead: list[int] = []
    if dead.any():
        live = ~dead
        if keep_dead is not True and live.sum() < 2:
            listed = "; ".join(f"{what}: {_listed(np.flatnonzero(mask), x)}"
                               for mask, what in kinds if mask.any())
            raise ValueError(f"data has {int(live.sum())} live trace(s) after leaving out "
                             f"the dead traces ({listed}); at least 2 are needed")
        for mask, what in kinds:
            if mask.any():
                action = ("kept as asked" if keep_dead is True else
                          f"kept ({keep_dead})" if keep_dead else "left out")
                _checks.warn(f"dead traces ({what}) {action}: "
                             f"{_listed(np.flatnonzero(mask), x)}", DeadTraceWarning,
                             stacklevel=stacklevel + 1)
        if keep_dead:
            kept_dead = [int(i) for i in np.flatnonzero(dead)]
        else:
            gather, x = gather[live], x[live]

    order = np.argsort(x, kind="stable")
    xs = x[order]
    tied = np.flatnonzero(xs[1:] == xs[:-1])
    if tied.size:
        # runs of equal offsets, each put in the order of its traces' samples
        starts = np.flatnonzero(np.r_[True, xs[1:] != xs[:-1]])
        stops = np.r_[starts[1:], xs.size]
        for a, b in zip(starts, stops):
            if b - a > 1:
                order[a:b] = sorted(order[a:b], key=lambda i: gather[i].tobytes())
    if not np.array_equal(order, np.arange(order.size)):
        gather, x = gather[order], x[order]
    if not xs[-1] - xs[0] > 1e-9 * max(abs(xs[0]), abs(xs[-1])):
        raise ValueError(f"offsets span no aperture: all {xs.size} traces lie at offset "
                         f"{xs[0]:g}; the estimators need traces at different offsets")
    dead_list = [] if keep_dead else [int(i) for i in np.flatnonzero(dead)]
    return Prepared(np.ascontiguousarray(gather), np.ascontiguousarray(x), dead_list,
                    kept_dead, scale_log2)


# Velocity chunks start on multiples of this many columns. The native
# kernels evaluate the velocities in vector blocks of up to 8 lanes, and a
# block may choose its evaluation path from all of its lanes (the
# beamformer's fast Hankel phase does): a column then rounds differently in a
# block of other neighbours. Chunks made of whole blocks, the grid's tail in
# the last one, reproduce the blocks of a single call exactly.
CHUNK_ALIGN = 16


def _chunk_bounds(size: int, parts: int) -> list[tuple[int, int]]:
    """[start, stop) of up to `parts` contiguous chunks of a grid of `size`,
    every start a multiple of CHUNK_ALIGN, sizes as even as that allows."""
    units = -(-size // CHUNK_ALIGN)
    parts = max(1, min(parts, units))
    cuts = [min(size, CHUNK_ALIGN * ((units * k) // parts)) for k in range(parts + 1)]
    return [(a, b) for a, b in zip(cuts[:-1], cuts[1:]) if b > a]


def _map_chunks(call: Callable[[np.ndarray], Any], grid: np.ndarray, workers: int) -> list[Any]:
    """`call` over contiguous chunks of the grid, on up to `workers` threads."""
    bounds = _chunk_bounds(grid.size, workers)
    if len(bounds) <= 1:
        return [call(grid)]
    chunks = [np.ascontiguousarray(grid[a:b]) for a, b in bounds]
    with ThreadPoolExecutor(max_workers=len(chunks)) as pool:
        return list(pool.map(call, chunks))


def _split_columns(call: Native, grid: np.ndarray, workers: int,
                   ) -> tuple[np.ndarray, np.ndarray]:
    """Run an estimator over chunks of the velocity grid and join the columns.

    Every column of the phase-shift and beamforming spectra depends only on
    its own velocity (given the vector blocks it is computed in, which the
    aligned chunks preserve), and the traces' FFT is the same in every chunk,
    so the joined columns equal the output of one call over the whole grid,
    bit for bit.
    """
    results: list[tuple[np.ndarray, np.ndarray]] = _map_chunks(call, grid, workers)
    if len(results) == 1:
        return results[0]
    first = results[0][0]
    for f, _ in results[1:]:
        if f.shape != first.shape or not np.array_equal(f, first):
            raise RuntimeError("velocity chunks returned different frequency axes")
    return first, np.concatenate([s for _, s in results], axis=1)


def _common(data: ArrayLike, offsets: ArrayLike, dt: float, velocities: Grid,
            fmin: Optional[float], fmax: Optional[float], df: Optional[float],
            workers: Optional[int], keep_dead: Union[bool, str]) -> dict[str, Any]:
    dt = _checks.positive_float("dt", dt)
    gather = _checks.gather(data)
    c = _checks.grid("velocities", velocities)
    n = _checks.fft_length(df, dt, gather.shape[1])
    band = _checks.band(fmin, fmax, dt, n, stacklevel=3)
    ready = _prepare(gather, offsets, dt, band, n, keep_dead, stacklevel=3)
    return {"data": ready.data, "offsets": ready.offsets, "dt": dt, "velocity": c, "n": n,
            "band": band, "f_range": (band.fmin, band.fmax),
            "workers": _checks.workers(workers), "ready": ready}


def _image(args: dict[str, Any], f: np.ndarray, spectrum: np.ndarray, method: str,
           quantity: str, *, checked: bool = False, **extra: Any) -> DispersionImage:
    """The image and its params; `checked`: the caller has made sure that
    the spectrum is finite."""
    ready: Prepared = args["ready"]
    if not checked:
        _check_finite(args, f, spectrum, method)
    params: dict[str, Any] = {
        "dt": args["dt"], "n": args["n"], "df": 1.0 / (args["n"] * args["dt"]),
        "fmin": args["f_range"][0], "fmax": args["f_range"][1],
        "offsets": args["offsets"], "dead_traces": ready.dead,
    }
    if ready.scale_log2:
        params["scale_log2"] = ready.scale_log2
    params.update(extra)
    return DispersionImage(f, args["velocity"], spectrum, method, params, quantity)


def _check_finite(args: dict[str, Any], f: np.ndarray, spectrum: np.ndarray,
                  method: str) -> None:
    """Refuse an image that is not finite, saying where and why: a result
    of NaN is no answer, and would pass for one further on."""
    bad = ~np.isfinite(spectrum).all(axis=1)
    if not bad.any():
        return
    rows = np.flatnonzero(bad)
    where = (f"{rows.size} of {f.size} frequencies (first {f[rows[0]]:g} Hz)"
             if rows.size < f.size else "every frequency")
    ready: Prepared = args["ready"]
    band: _checks.Band = args["band"]
    if ready.kept_dead:
        cause = (f"; the dead traces kept as asked (keep_dead=True), "
                 f"{', '.join(map(str, ready.kept_dead[:12]))}, have no spectrum there")
    else:
        # traces whose spectrum is exactly zero at those frequencies
        spectrum = _molvak._rfft(args["data"], axis=1, n=args["n"])
        cut = spectrum[:, band.first:band.first + band.frequency.size][:, rows]
        zero = np.flatnonzero((cut == 0).any(axis=1))
        cause = (f"; the spectra of the traces at offsets "
                 f"{', '.join(f'{v:g}' for v in args['offsets'][zero[:12]])} are exactly zero "
                 f"there: leave them out (Gather.select)" if zero.size else "")
    raise ValueError(f"the {method} image is not finite at {where}{cause}")


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
        Keep dead traces: all samples zero, stuck at a constant level, or
        with no signal in the band. By default they are left out with a
        :class:`DeadTraceWarning`, since under the phase shift each would
        make the image NaN (which is refused with a ValueError).

    The traces are imaged in order of increasing offset, whatever their order
    in `data`. Amplitudes far outside the range of floating point powers
    (beyond 2**200 or below 2**-200) are scaled by a power of two first, with
    a warning and ``params["scale_log2"]``.

    Returns
    -------
    DispersionImage
        method "phase_shift", an amplitude image.
    """
    a = _common(data, offsets, dt, velocities, fmin, fmax, df, workers, keep_dead)

    def call(c: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
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
        given = np.asarray(offsets, dtype=np.float64)     # checked: the caller's order
        k = int(np.flatnonzero(given < 0)[0])
        raise ValueError("offsets must be non-negative for cylindrical steering; "
                         f"got {float(given[k])!r} at index {k}")

    def call(c: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
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
    # chunk, then one FFT of the whole panel and the band's bins, which is
    # what the native estimator does in one call. The FFT is not split: its
    # rounding may depend on how many columns are transformed together.
    slowness = 1.0 / a["velocity"]

    def panel(chunk: np.ndarray) -> np.ndarray:
        return _molvak._radon_transform(a["data"], a["offsets"], chunk, a["dt"], time[0],
                                        t_eval=time, moveout_type=0)

    tau_p_panel = np.concatenate(_map_chunks(panel, slowness, a["workers"]), axis=1)
    full = _molvak._rfft(tau_p_panel, axis=0, stepsize=a["dt"], n=a["n"])
    band: _checks.Band = a["band"]
    cut = full[band.first:band.first + band.frequency.size]
    return _image(a, band.frequency.copy(), cut, "slant_stack", "amplitude")


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
    ready = _prepare(data, offsets, dt, None, 0, keep_dead, stacklevel=2, scale=False)
    gather, x = ready.data, ready.offsets
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
    if not np.isfinite(values).all():
        raise ValueError("the tau-p panel is not finite: the moveout of some slownesses "
                         "reaches beyond floating-point range; narrow the slowness grid")
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
