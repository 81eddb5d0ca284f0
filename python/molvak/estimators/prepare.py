"""What every estimator shares: the checked arguments, the dead traces
left out (or kept as asked) with a warning naming them, exact scaling of
amplitudes beyond the range of powers, the velocity grid split over
threads, and the image assembled with its params and refused where it is
not finite.
"""
from __future__ import annotations

import math
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, NamedTuple, Optional, Union

import numpy as np
from numpy.typing import ArrayLike

import _molvak

from .. import _checks
from .._checks import Grid
from ..image import DispersionImage

__all__ = ["DeadTraceWarning", "EmptyBandWarning", "Prepared", "common_arguments", "make_image",
           "split_columns"]

Native = Callable[[np.ndarray], tuple[np.ndarray, np.ndarray]]


class DeadTraceWarning(UserWarning):
    """Issued when dead traces (all samples zero, a constant level, or no signal in the
    band) are left out, or kept as asked."""








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


def listed_traces(indices: np.ndarray, x: np.ndarray) -> str:
    shown = ", ".join(f"{int(i)} (offset {x[i]:g})" for i in indices[:12])
    return shown + (f", ... ({len(indices)} in all)" if len(indices) > 12 else "")


def dead_kinds(gather: np.ndarray, band: Optional[_checks.Band], n: int,
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


def prepare(data: ArrayLike, offsets: ArrayLike, dt: float, band: Optional[_checks.Band],
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

    kinds = dead_kinds(gather, band, n)
    dead = np.any([mask for mask, _ in kinds], axis=0)
    kept_dead: list[int] = []
    if dead.any():
        live = ~dead
        if keep_dead is not True and live.sum() < 2:
            listed = "; ".join(f"{what}: {listed_traces(np.flatnonzero(mask), x)}"
                               for mask, what in kinds if mask.any())
            raise ValueError(f"data has {int(live.sum())} live trace(s) after leaving out "
                             f"the dead traces ({listed}); at least 2 are needed")
        for mask, what in kinds:
            if mask.any():
                action = ("kept as asked" if keep_dead is True else
                          f"kept ({keep_dead})" if keep_dead else "left out")
                _checks.warn(f"dead traces ({what}) {action}: "
                             f"{listed_traces(np.flatnonzero(mask), x)}", DeadTraceWarning,
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


def chunk_bounds(size: int, parts: int) -> list[tuple[int, int]]:
    """[start, stop) of up to `parts` contiguous chunks of a grid of `size`,
    every start a multiple of CHUNK_ALIGN, sizes as even as that allows."""
    units = -(-size // CHUNK_ALIGN)
    parts = max(1, min(parts, units))
    cuts = [min(size, CHUNK_ALIGN * ((units * k) // parts)) for k in range(parts + 1)]
    return [(a, b) for a, b in zip(cuts[:-1], cuts[1:]) if b > a]


def map_chunks(call: Callable[[np.ndarray], Any], grid: np.ndarray, workers: int) -> list[Any]:
    """`call` over contiguous chunks of the grid, on up to `workers` threads."""
    bounds = chunk_bounds(grid.size, workers)
    if len(bounds) <= 1:
        return [call(grid)]
    chunks = [np.ascontiguousarray(grid[a:b]) for a, b in bounds]
    with ThreadPoolExecutor(max_workers=len(chunks)) as pool:
        return list(pool.map(call, chunks))


def split_columns(call: Native, grid: np.ndarray, workers: int,
                   ) -> tuple[np.ndarray, np.ndarray]:
    """Run an estimator over chunks of the velocity grid and join the columns.

    Every column of the phase-shift and beamforming spectra depends only on
    its own velocity (given the vector blocks it is computed in, which the
    aligned chunks preserve), and the traces' FFT is the same in every chunk,
    so the joined columns equal the output of one call over the whole grid,
    bit for bit.
    """
    results: list[tuple[np.ndarray, np.ndarray]] = map_chunks(call, grid, workers)
    if len(results) == 1:
        return results[0]
    first = results[0][0]
    for f, _ in results[1:]:
        if f.shape != first.shape or not np.array_equal(f, first):
            raise RuntimeError("velocity chunks returned different frequency axes")
    return first, np.concatenate([s for _, s in results], axis=1)


def common_arguments(data: ArrayLike, offsets: ArrayLike, dt: float, velocities: Grid,
            fmin: Optional[float], fmax: Optional[float], df: Optional[float],
            workers: Optional[int], keep_dead: Union[bool, str]) -> dict[str, Any]:
    """Check the arguments every estimator takes and prepare the gather.

    Returns
    -------
    dict
        The checked data, offsets, dt, velocity grid, FFT length, band,
        f_range, workers and the prepared gather (``ready``), for the native
        call and :func:`make_image`.
    """
    dt = _checks.positive_float("dt", dt)
    gather = _checks.gather(data)
    c = _checks.grid("velocities", velocities)
    n = _checks.fft_length(df, dt, gather.shape[1])
    band = _checks.band(fmin, fmax, dt, n, stacklevel=3)
    ready = prepare(gather, offsets, dt, band, n, keep_dead, stacklevel=3)
    return {"data": ready.data, "offsets": ready.offsets, "dt": dt, "velocity": c, "n": n,
            "band": band, "f_range": (band.fmin, band.fmax),
            "workers": _checks.workers(workers), "ready": ready}


def make_image(args: dict[str, Any], f: np.ndarray, spectrum: np.ndarray, method: str,
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


# Below this fraction of the band's largest spectral amplitude (-200 dB) a
# frequency carries no energy of the record: what is left there is the
# rounding of the transforms that removed it (a low-pass in the frequency
# domain, a synthetic band-limited by construction). Recorders reach about
# -140 dB.
EMPTY_BAND = 1e-10


class EmptyBandWarning(UserWarning):
    """Issued when frequencies of the band carry no energy of the record
    (every trace's spectrum vanishes there) and are imaged as zero."""


def _check_finite(args: dict[str, Any], f: np.ndarray, spectrum: np.ndarray,
                  method: str) -> None:
    """Refuse an image that is not finite, saying where and why: a result
    of NaN is no answer, and would pass for one further on.

    The phase shift divides each trace's spectrum by its modulus, which is
    0 / 0 where a trace's spectrum is exactly zero. Where every trace's
    spectrum is negligible (:data:`EMPTY_BAND`), the band is empty rather
    than a trace dead: those rows are imaged as zero, as the other
    estimators image them, with one :class:`EmptyBandWarning` naming them."""
    bad = ~np.isfinite(spectrum).all(axis=1)
    if not bad.any():
        return
    rows = np.flatnonzero(bad)
    ready: Prepared = args["ready"]
    band: _checks.Band = args["band"]
    if ready.kept_dead:
        cause = (f"; the dead traces kept as asked (keep_dead=True), "
                 f"{', '.join(map(str, ready.kept_dead[:12]))}, have no spectrum there")
    else:
        traces = _molvak._rfft(args["data"], axis=1, n=args["n"])
        amplitude = np.abs(traces[:, band.first:band.first + band.frequency.size])
        top = float(amplitude.max()) if amplitude.size else 0.0
        empty = rows[amplitude[:, rows].max(axis=0) <= EMPTY_BAND * top] if top > 0 else rows
        if empty.size == f.size:
            raise ValueError(f"the {method} image has no frequency to show: every trace's "
                             f"spectrum vanishes over the whole band {f[0]:g}-{f[-1]:g} Hz")
        if empty.size:
            spectrum[empty] = 0.0
            _checks.warn(f"the {method} image is zero at {_frequencies(f, empty)}: every "
                         f"trace's spectrum vanishes there (below {EMPTY_BAND:g} of the band's "
                         f"peak), so the record has no energy to image", EmptyBandWarning,
                         stacklevel=4)
            rows = np.setdiff1d(rows, empty)
            if not rows.size:
                return
        # traces whose spectrum is exactly zero at those frequencies
        zero = np.flatnonzero((amplitude[:, rows] == 0).any(axis=1))
        cause = (f"; the spectra of the traces at offsets "
                 f"{', '.join(f'{v:g}' for v in args['offsets'][zero[:12]])} are exactly zero "
                 f"there: leave them out (Gather.select)" if zero.size else "")
    where = (f"{rows.size} of {f.size} frequencies (first {f[rows[0]]:g} Hz)"
             if rows.size < f.size else "every frequency")
    raise ValueError(f"the {method} image is not finite at {where}{cause}")


def _frequencies(f: np.ndarray, rows: np.ndarray) -> str:
    """Rows of a frequency axis as a reader would name them: "12 of 906
    frequencies, 410.2-500 Hz" (the span of the first and last)."""
    span = f"{f[rows[0]]:g} Hz" if rows.size == 1 else f"{f[rows[0]]:g}-{f[rows[-1]]:g} Hz"
    return f"{rows.size} of {f.size} frequencies, {span}"


