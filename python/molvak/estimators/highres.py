"""High-resolution dispersion estimators: minimum-variance (Capon)
beamforming, the high-resolution linear Radon transform, and the
frequency-wavenumber (f-k) transform.

Conventional estimators (slant stack, phase shift, beamforming) cannot
separate two modes whose phase velocities differ by less than about
c / (f L), L the length of the line: about 10 % on a 47 m line at 40 Hz and
200 m/s. The two high-resolution methods here go below that limit, each at a
price:

* :func:`hr_radon` inverts the linear Radon transform per frequency with
  sparseness weights (iteratively reweighted least squares). It separates
  modes of one shot, which are coherent with each other, because it fits the
  data with as few slownesses as it can; every reweighting costs one more
  solve.
* :func:`capon` minimises the beam's output power subject to unit gain in
  the look direction. It separates waves only where the cross-spectral
  matrix has more than one independent realisation of them: several shots
  whose modes vary independently, noise records, or the subarrays of one
  equally spaced line (``subarray``). The modes of one source are coherent,
  so on a single shot without spatial smoothing its peaks are those of
  :func:`~molvak.fdbf`, only sharper.

The native code is the module ``molvak._native``; every function releases
the interpreter lock while it computes.
"""
from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Optional, Union

import numpy as np
from numpy.typing import ArrayLike

from .. import _checks, _native
from .._checks import Grid
from .._registry import Estimator, Option, register
from ..image import DispersionImage
from .classic import BEAM_OPTIONS
from .prepare import Prepared, common_arguments, make_image, split_columns

__all__ = ["capon", "fk", "hr_radon"]

# Largest departure from equal spacing the f-k transform and the subarrays
# of Capon beamforming accept, relative to the spacing.
SPACING_TOLERANCE = 1e-6


def _equal_spacing(x: np.ndarray, what: str) -> float:
    """The spacing of equally spaced offsets; ValueError naming the first
    gap that differs otherwise."""
    if x.size < 2:
        raise ValueError(f"{what} needs at least two traces; got {x.size}")
    dx = (x[-1] - x[0]) / (x.size - 1)
    gaps = np.diff(x)
    bad = np.flatnonzero(np.abs(gaps - dx) > SPACING_TOLERANCE * abs(dx))
    if dx == 0.0 or bad.size:
        i = int(bad[0]) if bad.size else 0
        raise ValueError(
            f"{what} needs equally spaced traces: traces {i} and {i + 1} (offsets "
            f"{x[i]:g} and {x[i + 1]:g}) are {gaps[i]:g} apart, the line's mean spacing is "
            f"{dx:g}; select an equally spaced subset (Gather.select) or interpolate the "
            f"missing traces")
    return float(dx)


def fk(data: ArrayLike, offsets: ArrayLike, dt: float, *, velocities: Grid,
       fmin: Optional[float] = None, fmax: Optional[float] = None,
       df: Optional[float] = None, oversample: int = 8, workers: Optional[int] = 1,
       keep_dead: bool = False) -> DispersionImage:
    """Dispersion image by the frequency-wavenumber (f-k) transform.

    The traces' spectra are Fourier transformed over space on a wavenumber
    grid of ``oversample`` times as many points as traces (the line zero
    padded), and the power at k = f / c is read for every trial velocity by
    linear interpolation along k between the two neighbouring grid
    wavenumbers. A wavenumber beyond 1 / (2 dx) is read where the sampled
    line aliases it to, as for beamforming with plane waves.

    Parameters
    ----------
    data, offsets, dt, velocities, fmin, fmax, df, workers
        As for :func:`molvak.phase_shift`. The offsets must be equally spaced
        (to one part in a million of the spacing); others are refused with a
        message naming the first uneven gap.
    oversample : int
        Wavenumber grid points per trace (at least 1). The interpolated power
        errs by about (pi / (2 oversample))^2 / 2 of the peak between grid
        points: 2 % at 8, 0.5 % at 16.
    keep_dead : bool
        Accepted for a uniform interface: dead traces are always kept (with
        a :class:`~molvak.DeadTraceWarning`), since leaving one out would
        break the equal spacing, and a dead trace only lowers the power;
        data with fewer than two live traces are refused.

    Returns
    -------
    DispersionImage
        method "fk", a power image.
    """
    if isinstance(oversample, bool) or not isinstance(oversample, (int, np.integer)) \
            or oversample < 1:
        raise ValueError(f"oversample must be a positive integer; got {oversample!r}")
    a = common_arguments(data, offsets, dt, velocities, fmin, fmax, df, workers,
                         "the f-k transform needs equally spaced traces")
    dx = _equal_spacing(a["offsets"], "the f-k transform")
    nk = int(oversample) * a["offsets"].size

    def call(c: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        return _native._fk(a["data"], a["offsets"], c, a["dt"], f_range=a["f_range"], nk=nk,
                           n=a["n"])

    f, power = split_columns(call, a["velocity"], a["workers"])
    return make_image(a, f, power, "fk", "power", oversample=int(oversample), nk=nk, spacing=dx)


def _gathers(data: Any, offsets: ArrayLike, dt: float,
             velocities: Grid, fmin: Optional[float], fmax: Optional[float],
             df: Optional[float], workers: Optional[int], keep_dead: bool) -> dict[str, Any]:
    """The arguments of a call on one gather or on several gathers of one
    geometry (a list, or a 3-D array gathers x traces x samples)."""
    several: Sequence[Any]
    if isinstance(data, (list, tuple)):
        several = data
    elif np.ndim(data) == 3:
        several = list(np.asarray(data))
    else:
        a = common_arguments(data, offsets, dt, velocities, fmin, fmax, df, workers, keep_dead)
        a["shots"] = 1
        return a
    stack = [_checks.gather(g) for g in several]
    if not stack:
        raise ValueError("data must hold at least one gather; got an empty sequence")
    shapes = sorted({g.shape for g in stack})
    if len(shapes) != 1:
        raise ValueError(f"the gathers must share one geometry (traces x samples); "
                         f"got shapes {shapes}")
    # Checks, band and grids as for one gather, on the first; then the
    # traces in order of offset, a trace left out only where it is dead
    # (all samples equal) in every gather.
    a = common_arguments(stack[0], offsets, dt, velocities, fmin, fmax, df, workers, True)
    x = _checks.offsets_for(offsets, stack[0].shape[0])
    cube = np.stack(stack)
    dead = np.all(cube == cube[:, :, :1], axis=(0, 2))
    if keep_dead:
        dead[:] = False
    order = np.argsort(x, kind="stable")
    order = order[~dead[order]]
    if order.size < 2:
        raise ValueError(f"the gathers have {order.size} live trace(s) at different offsets; "
                         f"at least 2 are needed")
    a["data"] = np.ascontiguousarray(cube[:, order])
    a["offsets"] = np.ascontiguousarray(x[order])
    a["ready"] = Prepared(a["data"][0], a["offsets"], [int(i) for i in np.flatnonzero(dead)],
                          [], 0)
    a["shots"] = len(stack)
    return a


def capon(data: Union[ArrayLike, Sequence[ArrayLike]], offsets: ArrayLike, dt: float, *,
          velocities: Grid, fmin: Optional[float] = None, fmax: Optional[float] = None,
          df: Optional[float] = None, steering: str = "cylindrical", weighting: str = "sqrt",
          loading: float = 0.1, smoothing: int = 0, subarray: Optional[int] = None,
          workers: Optional[int] = 1, keep_dead: bool = False) -> DispersionImage:
    """Dispersion image by minimum-variance (Capon) beamforming.

    For every frequency and trial velocity c, P = 1 / (e^H R^-1 e): the
    output power of the beam that passes the steering vector e of c with unit
    gain and lets through as little of everything else as it can (Capon,
    1969; with cylindrical steering for sources near the line, Zywicki and
    Rix, 2005). R is the cross-spectral matrix of the traces, averaged over
    the gathers given, over ``2 smoothing + 1`` neighbouring frequency bins
    and over the subarrays of ``subarray`` consecutive traces, then loaded:
    R + loading * trace(R) / M * I.

    Parameters
    ----------
    data : array_like or sequence of array_like
        One gather (traces x samples), or several of one geometry (a list, or
        an array gathers x traces x samples): shots at one source position,
        or noise windows, whose cross-spectra are averaged.
    offsets, dt, velocities, fmin, fmax, df, workers, keep_dead
        As for :func:`molvak.fdbf` (one offset per trace, shared by every
        gather).
    steering, weighting : str
        As for :func:`molvak.fdbf`.
    loading : float
        Diagonal loading relative to the mean eigenvalue of R (> 0). Small
        values (0.01) sharpen the peaks and separate close waves when R has
        the rank for it, but let noise and model errors (a near-field
        wavefront, uneven coupling) move them; large values (1 and more) turn
        the estimate towards the conventional beamformer's. 0.1 keeps the
        peaks where the beamformer puts them on single records and still
        narrows them.
    smoothing : int
        Bins on either side averaged into R. Bins of a zero-padded record
        are not independent, and the wavefield's phase turns across the
        line by 2 pi df x / c from one bin to the next, so smoothing over
        more than a few bins smears the image: 0 by default.
    subarray : int, optional
        Spatial smoothing (Shan, Wax and Kailath, 1985): R averaged over the
        NX - M + 1 subarrays of M consecutive traces, which decorrelates
        waves that arrive coherently (the modes of one shot) so that they
        can be separated, at the price of a shorter aperture. Needs equally
        spaced offsets and ``weighting="none"`` (offset weights differ from
        subarray to subarray); the steering vectors are those of the first
        M offsets. None (default) uses the whole line as one array. On a
        48-channel line at 1 m, M = 44 separates two modes 6 % apart from
        41.5 Hz up (where c / (f L) falls below 10 %).

    Repeated shots at one source position are best stacked in time first
    (:func:`molvak.stack_gathers`): their modes are the same in every shot,
    so averaging the cross-spectra of the separate shots adds each shot's
    noise and no independent view of the modes. On a single gather without
    smoothing R has rank one, and the Capon image is a monotone function of
    the beamformer's power: the same peaks, sharper.

    Returns
    -------
    DispersionImage
        method "capon", a power image.
    """
    steering = _checks.choice("steering", steering, ("cylindrical", "plane"))
    weighting = _checks.choice("weighting", weighting, ("sqrt", "none"))
    load = _checks.positive_float("loading", loading)
    if isinstance(smoothing, bool) or not isinstance(smoothing, (int, np.integer)) \
            or smoothing < 0:
        raise ValueError(f"smoothing must be a non-negative integer; got {smoothing!r}")
    a = _gathers(data, offsets, dt, velocities, fmin, fmax, df, workers, keep_dead)
    nx = a["offsets"].size
    if subarray is None:
        m = nx
    else:
        if isinstance(subarray, bool) or not isinstance(subarray, (int, np.integer)) \
                or not 2 <= subarray <= nx:
            raise ValueError(f"subarray must be an integer from 2 to the {nx} traces; "
                             f"got {subarray!r}")
        m = int(subarray)
        if m < nx:
            _equal_spacing(a["offsets"], "spatial smoothing (subarray)")
            if weighting == "sqrt":
                _checks.warn("spatial smoothing (subarray) averages subarrays that must see "
                             "the same wavefield; weighting='sqrt' scales every trace by its "
                             "offset, which differs from subarray to subarray and keeps close "
                             "modes merged: use weighting='none'", UserWarning, stacklevel=2)
    if steering == "cylindrical" and (a["offsets"] < 0).any():
        k = int(np.flatnonzero(a["offsets"] < 0)[0])
        raise ValueError("offsets must be non-negative for cylindrical steering; "
                         f"got {a['offsets'][k]!r} at index {k}")

    def call(c: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        return _native._capon(a["data"], a["offsets"], c, a["dt"], f_range=a["f_range"],
                              steering_method=steering, weighting=weighting, loading=load,
                              smoothing=int(smoothing), subarray=m, n=a["n"])

    f, power = split_columns(call, a["velocity"], a["workers"])
    return make_image(a, f, power, "capon", "power", steering=steering, weighting=weighting,
                  loading=load, smoothing=int(smoothing), subarray=m, shots=a["shots"])


def hr_radon(data: ArrayLike, offsets: ArrayLike, dt: float, *, velocities: Grid,
             fmin: Optional[float] = None, fmax: Optional[float] = None,
             df: Optional[float] = None, iterations: int = 8, damping: float = 0.1,
             sparseness: float = 1e-3, norm: str = "cauchy", workers: Optional[int] = 1,
             keep_dead: bool = False) -> DispersionImage:
    """Dispersion image by the high-resolution linear Radon transform.

    For every frequency the trace spectra d are modelled as d = L m, L_ih =
    exp(-i 2 pi f x_i / c_h), and m is found by iteratively reweighted
    damped least squares (Sacchi and Ulrych, 1995; Trad, Ulrych and Sacchi,
    2003; for dispersion imaging, Luo et al., 2008): first the damped
    minimum-norm model, then ``iterations`` solves with model weights from
    the previous model, each concentrating it further on the velocities that
    explain the data. ``|m|`` is the image.

    Parameters
    ----------
    data, offsets, dt, velocities, fmin, fmax, df, workers, keep_dead
        As for :func:`molvak.phase_shift`.
    iterations : int
        Reweighted solves after the first (0: the damped least-squares
        Radon transform, as broad as the beamformer's peaks). Each one costs
        as much as the first. On a 48-channel line two modes 6 % apart
        separate from 42 Hz up after 4 and over 20-60 Hz after 8.
    damping : float
        The damping mu relative to the mean diagonal of L Q L^H (> 0):
        larger values fit noise less and resolve less.
    sparseness : float
        eps of the weights relative to the largest (> 0): smaller values
        concentrate the model faster and amplify noise more.
    norm : {"cauchy", "l1"}
        Weights ``|m|^2 + eps`` (Cauchy, the default) or ``|m| + eps`` (L1-like,
        gentler).

    Returns
    -------
    DispersionImage
        method "hr_radon", an amplitude image.
    """
    norm = _checks.choice("norm", norm, ("cauchy", "l1"))
    if isinstance(iterations, bool) or not isinstance(iterations, (int, np.integer)) \
            or iterations < 0:
        raise ValueError(f"iterations must be a non-negative integer; got {iterations!r}")
    damp = _checks.positive_float("damping", damping)
    sparse = _checks.positive_float("sparseness", sparseness)
    a = common_arguments(data, offsets, dt, velocities, fmin, fmax, df, workers, keep_dead)

    # The model couples every velocity through the solves: the grid is not
    # split over threads; `workers` is accepted for a uniform interface.
    f, model = _native._hr_radon(a["data"], a["offsets"], a["velocity"], a["dt"],
                                 f_range=a["f_range"], iterations=int(iterations),
                                 damping=damp, sparseness=sparse, norm=norm, n=a["n"])
    return make_image(a, f, model, "hr_radon", "amplitude", iterations=int(iterations),
                  damping=damp, sparseness=sparse, norm=norm)


# The table of estimators (molvak.estimators) offers these to molvak.process,
# Gather.image, the command line and the plots.
register(Estimator(
    "capon", capon, label="Minimum-variance (Capon) beamforming",
    summary="beam power 1 / (e^H R^-1 e) of the loaded cross-spectral matrix (Capon, 1969; "
            "Zywicki and Rix, 2005)",
    options=BEAM_OPTIONS + (
        Option("loading", 0.1, help="diagonal loading relative to the mean eigenvalue of the "
                                    "cross-spectral matrix: smaller is sharper and less robust"),
        Option("smoothing", 0, help="frequency bins on either side averaged into the "
                                    "cross-spectral matrix"),
        Option("subarray", None, type=int,
               help="spatial smoothing over subarrays of this many traces (equally spaced "
                    "lines), which lets close modes of one shot separate"),
    )))
register(Estimator(
    "hr_radon", hr_radon, label="High-resolution Radon",
    summary="sparse linear Radon model per frequency by reweighted least squares "
            "(Trad, Ulrych and Sacchi, 2003; Luo et al., 2008)",
    options=(
        Option("iterations", 8, help="reweighted solves after the first: more separate closer "
                                     "modes and cost as much each"),
        Option("damping", 0.1, help="damping relative to the mean diagonal of the system"),
        Option("sparseness", 1e-3, help="floor of the model weights relative to the largest"),
        Option("norm", "cauchy", choices=("cauchy", "l1"),
               help="model weights |m|^2 + eps (Cauchy) or |m| + eps (L1-like)"),
    )))
register(Estimator(
    "fk", fk, label="Frequency-wavenumber (f-k)",
    summary="2-D Fourier transform of equally spaced traces, power at k = f / c",
    options=(
        Option("oversample", 8, help="wavenumber grid points per trace (zero padding "
                                     "along the line)"),
    )))
