"""Substacks of correlations, and the ways of stacking them besides the
linear mean and phase-weighted stacking of :func:`molvak.correlate`.

    subs = molvak.substacks("recording/", 0, 10.0, every=30)   # one per 30 windows
    robust = molvak.restack(subs, "robust")                    # a CorrelationStack
    gathers = robust.gathers()

A substack is the partial stack of `every` consecutive windows (one window
with ``every=1``), kept rather than summed away. :func:`restack` stacks the
substacks' mean correlations d_k (each a correlation per pair at every lag),
trace by trace:

- "linear": the mean over the windows (the substacks weighted by their
  windows): what :func:`molvak.correlate` gives.
- "pws": phase-weighted (Schimmel & Paulssen 1997) over the substacks: the
  linear stack times |mean of z_k / |z_k||^power, z_k the analytic signal of
  d_k along the lags.
- "robust" (Pavlis & Vernon 2010): a weighted mean whose weights fall with a
  substack's misfit to the stack: starting from the median b over the
  substacks, each substack gets w_k = |d_k . u| / (|d_k| |d_k - (d_k . u) u|),
  u = b / |b|, b becomes sum w_k d_k / sum w_k, until u changes by less than
  `tolerance` (or `iterations` passes). A substack dominated by a transient
  or a burst of incoherent noise is far from the stack and weighs little.
- "nth_root" (Muirhead 1968; Kanasewich 1973): y = mean of sign(d_k)
  |d_k|^(1/n), stacked as sign(y) |y|^n: coherent arrivals keep their
  amplitude, incoherent noise is suppressed (the waveform is distorted).
- "selective": the linear stack of the substacks whose correlation
  coefficient with a reference (over every trace and lag together) is at
  least `threshold` (0.5 by default); the others are dropped whole. The
  reference is the median of the substacks, sample by sample: a few
  corrupted substacks, which can dominate the linear stack, do not move it.

The result is a :class:`molvak.CorrelationStack` holding the stacked
correlation (``.gathers()``, ``.pair(i, j)``, ``.correlation()``), whose
headers say how it was stacked: "stacking", "substacks", "substacks_kept"
and "dropped_windows" (and the windows stacked, skipped and rejected).
Such a stack is final: it does not combine with others by ``+``.
"""
from __future__ import annotations

import dataclasses
import math
import numbers
from collections.abc import Sequence
from typing import Any, Optional, Union

import numpy as np

from . import _checks
from .interferometry import (
    CorrelationStack,
    run_stacks,
    settings,
    sources_and_pairs,
)
from .io.records import Records, Windows, open_record

__all__ = ["RESTACKINGS", "restack", "substacks"]

RESTACKINGS = ("linear", "pws", "robust", "nth_root", "selective")


def substacks(records: Records, source: Union[int, Sequence[int], str], length: float, *,
              every: int = 1, step: Optional[float] = None, max_lag: Optional[float] = None,
              channels: Any = None, whiten: Any = True, whiten_width: float = 0.0,
              normalization: str = "none", ram_window: Optional[float] = None,
              taper: float = 0.05, stacking: str = "linear", start: Any = None,
              stop: Any = None, workers: Optional[int] = 1, client: Any = None,
              block: int = 4, tolerance: float = 0.1, progress: Optional[bool] = None,
              max_distance: Optional[float] = None, reject: Any = None,
              **positions: Any) -> list[CorrelationStack]:
    """The partial stacks of every `every` consecutive windows of a record,
    in time order. Their sum (``+``) is the stack of
    :func:`molvak.correlate`; memory grows with their number (each holds a
    stack).

    Parameters
    ----------
    records, source, length
        As for :func:`molvak.correlate` ("all" for every pair).
    every : int
        Windows per substack.
    step, max_lag, channels, whiten, whiten_width, normalization, ram_window, taper
        As for :func:`molvak.correlate`.
    stacking, start, stop, workers, client, block, tolerance, progress
        As for :func:`molvak.correlate`.
    max_distance, reject, **positions
        As for :func:`molvak.correlate`.

    Returns
    -------
    list of CorrelationStack
        One per `every` windows, in time order (:func:`restack` combines
        them)."""
    if isinstance(every, bool) or not isinstance(every, numbers.Integral) or every < 1:
        raise ValueError(f"every must be a positive number of windows; got {every!r}")
    record = open_record(records, channels=channels, tolerance=tolerance, **positions)
    s = settings(length, record.dt, max_lag=max_lag, taper=taper, whiten=whiten,
                 whiten_width=whiten_width, normalization=normalization,
                 ram_window=ram_window, stacking=stacking, reject=reject)
    sources, pairs = sources_and_pairs(source, record.positions, max_distance)
    plan = Windows(record, s.samples * s.dt, step, start, stop)
    if not len(plan):
        raise ValueError(f"the record holds no window of {s.samples * s.dt:g} s")
    groups = {k: plan.starts[a:a + every] for k, a in enumerate(range(0, len(plan), every))}
    stacks = run_stacks(record, groups, sources, s, block=block, workers=workers,
                        client=client, progress=progress, label="substacks", pairs=pairs)
    return [stacks[k] for k in sorted(stacks)]


def _analytic(x: np.ndarray) -> np.ndarray:
    """The analytic signal along the last axis (as scipy.signal.hilbert)."""
    n = x.shape[-1]
    spectrum = np.fft.fft(x, axis=-1)
    h = np.zeros(n)
    h[0] = 1.0
    if n % 2 == 0:
        h[n // 2] = 1.0
        h[1:n // 2] = 2.0
    else:
        h[1:(n + 1) // 2] = 2.0
    out: np.ndarray = np.fft.ifft(spectrum * h, axis=-1)
    return out


def _robust(d: np.ndarray, iterations: int, tolerance: float) -> np.ndarray:
    """Pavlis & Vernon (2010) over axis 0, trace by trace (last axis: lags)."""
    def unit(b: np.ndarray) -> np.ndarray:
        norm = np.sqrt(np.sum(b * b, axis=-1, keepdims=True))
        out: np.ndarray = np.divide(b, norm, out=np.zeros_like(b), where=norm > 0)
        return out

    b = np.median(d, axis=0)
    u = unit(b)
    norms = np.sqrt(np.sum(d * d, axis=-1))                        # (K, ...)
    for _ in range(iterations):
        proj = np.sum(d * u[None], axis=-1)                         # (K, ...)
        resid = np.sqrt(np.sum((d - proj[..., None] * u[None]) ** 2, axis=-1))
        with np.errstate(divide="ignore", invalid="ignore"):
            w = np.abs(proj) / (norms * resid)
        # a substack equal to the stack (no residual) takes the largest finite weight
        finite = np.where(np.isfinite(w), w, 0.0)
        w = np.where(np.isfinite(w), w, np.maximum(finite.max(axis=0, keepdims=True), 1.0))
        total = w.sum(axis=0)
        b = np.divide(np.sum(w[..., None] * d, axis=0), total[..., None],
                      out=np.zeros_like(b), where=total[..., None] > 0)
        new = unit(b)
        change = float(np.max(np.sqrt(np.sum((new - u) ** 2, axis=-1))))
        u = new
        if change < tolerance:
            break
    return b


def restack(stacks: Sequence[CorrelationStack], method: str = "robust", *,
            power: float = 2.0, root: float = 2.0, threshold: float = 0.5,
            iterations: int = 20, tolerance: float = 1e-6) -> CorrelationStack:
    """Stack substacks (see the module notes for the methods).

    Parameters
    ----------
    stacks : sequence of CorrelationStack
        Substacks of the same settings, channels and sources (as
        :func:`substacks` makes them); those without a window are ignored.
    method : {"linear", "pws", "robust", "nth_root", "selective"}
    power : float
        Exponent of the phase weight ("pws").
    root : float
        n of the nth-root stack (>= 1; 1 is the plain mean of the substacks).
    threshold : float
        Lowest correlation coefficient with the median of the substacks
        kept ("selective").
    iterations, tolerance
        Of the robust stack's iteration.

    Returns
    -------
    CorrelationStack
        The stacked correlation, with headers telling the method and the
        substacks and windows kept.
    """
    method = _checks.choice("method", method, RESTACKINGS)
    used = [st for st in stacks if st.count > 0]
    if not used:
        raise ValueError("no substack holds a window")
    first = used[0]
    for st in used[1:]:
        first._check(st)
    counts = np.array([st.count for st in used], dtype=np.float64)
    d = np.stack([st.linear / st.count for st in used])            # (K, ...) mean correlations
    linear = np.tensordot(counts, d, axes=1) / counts.sum()
    kept = np.ones(len(used), dtype=bool)
    if method == "linear":
        out = linear
    elif method == "pws":
        nu = float(power)
        if not (math.isfinite(nu) and nu >= 0):
            raise ValueError(f"power must be a non-negative number; got {power!r}")
        z = _analytic(d)
        modulus = np.abs(z)
        phasors = np.divide(z, modulus, out=np.zeros_like(z), where=modulus > 0)
        out = linear * np.abs(phasors.mean(axis=0)) ** nu
    elif method == "robust":
        if isinstance(iterations, bool) or not isinstance(iterations, numbers.Integral) \
                or iterations < 1:
            raise ValueError(f"iterations must be a positive integer; got {iterations!r}")
        out = _robust(d, int(iterations), float(tolerance))
    elif method == "nth_root":
        n = float(root)
        if not (math.isfinite(n) and n >= 1):
            raise ValueError(f"root must be a number of at least 1; got {root!r}")
        y = np.mean(np.sign(d) * np.abs(d) ** (1.0 / n), axis=0)
        out = np.sign(y) * np.abs(y) ** n
    else:
        flat = d.reshape(len(used), -1)
        ref = np.median(flat, axis=0)
        with np.errstate(divide="ignore", invalid="ignore"):
            cc = flat @ ref / (np.sqrt(np.sum(flat * flat, axis=1)) * math.sqrt(ref @ ref))
        kept = np.nan_to_num(cc, nan=-1.0) >= float(threshold)
        if not kept.any():
            raise ValueError(f"no substack correlates with the stack at {threshold:g} or more "
                             f"(best {np.nanmax(cc):.3g}); lower threshold")
        out = np.tensordot(counts[kept], d[kept], axes=1) / counts[kept].sum()
    windows = int(counts[kept].sum())
    headers = {**first.headers, "stacking": method, "substacks": len(used),
               "substacks_kept": int(kept.sum()),
               "dropped_windows": int(counts[~kept].sum()), "restacked": True}
    return CorrelationStack(
        dataclasses.replace(first.settings, stacking="linear"), first.sources,
        first.positions, out * windows, None, windows,
        sum(st.skipped for st in stacks), (min(st.span[0] for st in used),
                                           max(st.span[1] for st in used)),
        headers, first.pairs, sum(st.rejected for st in stacks))
