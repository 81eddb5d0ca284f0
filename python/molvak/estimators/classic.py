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

from typing import NamedTuple, Optional

import numpy as np
from numpy.typing import ArrayLike

import _molvak

from .. import _checks
from .._checks import Grid
from .._registry import Estimator, Option, register
from ..image import DispersionImage
from .prepare import (
    chunk_bounds,
    common_arguments,
    make_image,
    map_chunks,
    prepare,
    split_columns,
)

__all__ = ["BEAM_OPTIONS", "Spectrum", "TauP", "fdbf", "phase_shift", "rfft", "slant_stack",
           "tau_p"]


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
    a = common_arguments(data, offsets, dt, velocities, fmin, fmax, df, workers, keep_dead)

    def call(c: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        return _molvak._phase_shift(a["data"], a["offsets"], c, a["dt"],
                                    f_range=a["f_range"], n=a["n"])

    f, spectrum = split_columns(call, a["velocity"], a["workers"])
    return make_image(a, f, spectrum, "phase_shift", "amplitude")


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
    a = common_arguments(data, offsets, dt, velocities, fmin, fmax, df, workers, keep_dead)
    if steering == "cylindrical" and (a["offsets"] < 0).any():
        given = np.asarray(offsets, dtype=np.float64)     # checked: the caller's order
        k = int(np.flatnonzero(given < 0)[0])
        raise ValueError("offsets must be non-negative for cylindrical steering; "
                         f"got {float(given[k])!r} at index {k}")

    def call(c: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        return _molvak._FDBF(a["data"], a["offsets"], c, a["dt"], f_range=a["f_range"],
                             steering_method=steering, weighting=weighting, n=a["n"])

    f, spectrum = split_columns(call, a["velocity"], a["workers"])
    return make_image(a, f, spectrum, "fdbf", "power", steering=steering, weighting=weighting)


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
    a = common_arguments(data, offsets, dt, velocities, fmin, fmax, df, workers, keep_dead)
    time = np.arange(a["data"].shape[1], dtype=np.float64) * a["dt"]
    if len(chunk_bounds(a["velocity"].size, a["workers"])) <= 1:
        f, spectrum = _molvak._disp_slantstack(a["data"], a["offsets"], time, a["velocity"],
                                               a["dt"], f_range=a["f_range"], n=a["n"])
        return make_image(a, f, spectrum, "slant_stack", "amplitude")
    # Threaded: the tau-p panel (the bulk of the work) column chunk by column
    # chunk, then one FFT of the whole panel and the band's bins, which is
    # what the native estimator does in one call. The FFT is not split: its
    # rounding may depend on how many columns are transformed together.
    slowness = 1.0 / a["velocity"]

    def panel(chunk: np.ndarray) -> np.ndarray:
        return _molvak._radon_transform(a["data"], a["offsets"], chunk, a["dt"], time[0],
                                        t_eval=time, moveout_type=0)

    tau_p_panel = np.concatenate(map_chunks(panel, slowness, a["workers"]), axis=1)
    full = _molvak._rfft(tau_p_panel, axis=0, stepsize=a["dt"], n=a["n"])
    band: _checks.Band = a["band"]
    cut = full[band.first:band.first + band.frequency.size]
    return make_image(a, band.frequency.copy(), cut, "slant_stack", "amplitude")


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
    ready = prepare(data, offsets, dt, None, 0, keep_dead, stacklevel=2, scale=False)
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

    values = np.concatenate(map_chunks(call, p, nworkers), axis=1)
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

    Parameters
    ----------
    data : array_like
        Real samples, any number of dimensions.
    dt : float
        Sample interval (s), the scale of the bins.
    axis : int
        The axis transformed.
    df : float, optional
        Frequency step wanted (Hz): the signal is zero padded to
        ceil(1 / (df dt)) samples when that is longer than the axis.

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


# The beamformers' options (fdbf and capon): how the steering vectors model
# the wavefront, and how the traces are weighted before the cross-spectra.
BEAM_OPTIONS = (
    Option("steering", "cylindrical", choices=("cylindrical", "plane"),
           help="steering vectors: the Hankel-function wavefront of a point source, "
                "or plane waves"),
    Option("weighting", "sqrt", choices=("sqrt", "none"),
           help="multiply each trace's spectrum by its offset (undoes the 1/sqrt(x) "
                "decay of surface waves), or not"),
)

register(Estimator(
    "slant_stack", slant_stack, label="Slant stack",
    summary="tau-p transform at slownesses 1/c, then the FFT over intercept time "
            "(McMechan and Yedlin, 1981)",
    demo=True))
register(Estimator(
    "phase_shift", phase_shift, label="Phase shift",
    summary="unit-modulus trace spectra rotated and summed over offset (Park et al., 1998)",
    demo=True))
register(Estimator(
    "fdbf", fdbf, label="Beamforming (FDBF)",
    summary="frequency-domain beamforming of the cross-spectral matrix (Zywicki, 1999)",
    options=BEAM_OPTIONS,
    demo=True))
