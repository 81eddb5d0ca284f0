"""Inversion of dispersion curves for layered shear-wave velocity profiles,
with a posterior that can be reported.

    result = molvak.invert(curve, layers=3, seed=1)          # an UncertainCurve
    result.best                       # the most probable model visited (LayeredModel)
    result.percentiles([1, 5, 10], q=(5, 50, 95))            # Vs at depths, m/s
    result.vs30()                     # Estimate(median, low, high), 90 % interval
    result.save("out/")               # ensemble, percentiles, summary, pictures

The model is a stack of layers over a half-space; the unknowns are every
layer's shear-wave velocity (Vs) and every layer's thickness above the
half-space, and optionally every layer's Poisson's ratio. Vp follows from Vs
and Poisson's ratio; density is given per layer or follows the layered
module's rule (Gardner's, from Vp). The prior is
uniform in ln(Vs) and ln(thickness) between the given bounds (a scale prior:
a factor of two counts the same at 100 and at 1000 m/s) and uniform in
Poisson's ratio.

The likelihood is Gaussian in ln(phase velocity): every point carries the
standard deviation of ln(velocity) of its curve (the log-normal description
of :class:`~molvak.UncertainCurve`). Where a curve has none (a picked
:class:`~molvak.DispersionCurve`, or NaN points), `default_std` is used
(0.05, the floor commonly asked of dinver targets).

The search runs in two stages:

1. differential evolution (the current-to-pbest/1 variant with binomial
   crossover of Zhang & Sanderson 2009, IEEE Trans. Evol. Comput. 13:945)
   over the unit cube of the parameters, every generation's population
   evaluated in one batch of forward calls; it finds the region of good
   fits and starts the chains;
2. parallel-tempering Markov chain Monte Carlo (Geyer 1991; Earl & Deem
   2005, Phys. Chem. Chem. Phys. 7:3910): `chains` independent ladders of
   `temperatures` tempered replicas each, random-walk Metropolis moves with
   a proposal covariance learned from each replica's own history during the
   burn-in only (Haario, Saksman & Tamminen 2001) and frozen afterwards, and
   swaps between neighbouring temperatures. The ensemble is the cold
   replicas' states after the burn-in, thinned. Convergence is judged by
   the split R-hat of Gelman et al. (2013, Bayesian Data Analysis, 3rd
   ed., sec. 11.4) over the chains; a warning says when it exceeds
   `rhat_limit`.

Every chain draws from its own random stream, spawned from `seed` and its
index (numpy.random.SeedSequence), and the forward model gives each model
the same curve whatever batch it is computed in, so results do not depend
on `workers` nor on a Dask client.

Trapped modes: a model whose fundamental mode at the data's frequencies
lives in a buried low-velocity layer beneath a stiffer lid fits a curve
with a wave that barely reaches the surface, where the curve was measured.
:func:`surface_amplitude` estimates the amplitude that reaches the surface
from the evanescent decay through the lid; models below `trap_amplitude`
are flagged and, by default, excluded from the search and the posterior.
"""
from __future__ import annotations

import json
import math
import os
import sys
import threading
import warnings
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Callable, NamedTuple, Optional, Union

import numpy as np

from . import layered
from ._atomic import atomic_path, write_text
from ._progress import Progress
from .curves import DispersionCurve, UncertainCurve
from .layered import LayeredModel

__all__ = ["ConvergenceWarning", "Estimate", "Fit", "Inversion", "Target", "invert",
           "split_rhat", "surface_amplitude", "targets"]

PathLike = Union[str, "os.PathLike[str]"]

WAVES = ("rayleigh", "love")
DEFAULT_STD = 0.05
TRAP_AMPLITUDE = 0.05


class ConvergenceWarning(UserWarning):
    """The chains of an inversion disagree (split R-hat above the limit):
    run longer chains (`steps`) or more of them before reporting."""


class Estimate(NamedTuple):
    """A posterior summary: the median and the bounds of an interval."""

    median: float
    low: float
    high: float


# --------------------------------------------------------------------------
# the data


@dataclass(frozen=True, eq=False)
class Target:
    """One dispersion curve to fit.

    Attributes
    ----------
    frequency, velocity : ndarray
        Hz and m/s (phase velocity).
    std : ndarray
        Standard deviation of ln(velocity) at every point (0.02 is 2 %).
    mode : int or None
        The mode the points belong to (0 the fundamental); None: unknown,
        every point is matched to the closest predicted mode (see
        :func:`invert`).
    wave : {"rayleigh", "love"}
    name : str
        Shown in pictures and summaries.
    """

    frequency: np.ndarray
    velocity: np.ndarray
    std: np.ndarray
    mode: Optional[int] = 0
    wave: str = "rayleigh"
    name: str = ""

    def __post_init__(self) -> None:
        arrays = [np.asarray(getattr(self, n), dtype=np.float64).ravel()
                  for n in ("frequency", "velocity", "std")]
        label = self.name or "curve"
        if len({a.size for a in arrays}) != 1:
            raise ValueError(f"{label}: frequency, velocity and std must have one value per "
                             f"point; got sizes {[a.size for a in arrays]}")
        f, v, s = arrays
        if f.size == 0:
            raise ValueError(f"{label}: no point to fit")
        if not (np.isfinite(f).all() and (f > 0).all()):
            raise ValueError(f"{label}: frequencies must be positive and finite")
        if not (np.isfinite(v).all() and (v > 0).all()):
            raise ValueError(f"{label}: velocities must be positive and finite")
        if not (np.isfinite(s).all() and (s > 0).all()):
            raise ValueError(f"{label}: std must be positive and finite")
        if (s >= 1).any():
            raise ValueError(f"{label}: std is the standard deviation of ln(velocity) (0.02 "
                             f"for 2 %); got values up to {s.max():g}: a std in m/s must be "
                             f"divided by the velocity")
        if self.wave not in WAVES:
            raise ValueError(f"{label}: wave must be 'rayleigh' or 'love'; got {self.wave!r}")
        if self.mode is not None:
            if isinstance(self.mode, bool) or int(self.mode) != self.mode or self.mode < 0:
                raise ValueError(f"{label}: mode must be a non-negative integer or None; got "
                                 f"{self.mode!r}")
            object.__setattr__(self, "mode", int(self.mode))
        order = np.argsort(f, kind="stable")
        for n, a in zip(("frequency", "velocity", "std"), arrays):
            object.__setattr__(self, n, a[order])

    def __len__(self) -> int:
        return int(self.frequency.size)

    @property
    def label(self) -> str:
        """How pictures and summaries name the curve: its name, wave and
        mode ("mode ?" when unknown)."""
        mode = "mode ?" if self.mode is None else f"mode {self.mode}"
        return f"{self.name + ': ' if self.name else ''}{self.wave} {mode}"


def _target_from(obj: Any, *, wave: str, default_std: float, min_std: float, name: str,
                 ) -> Target:
    """One Target from an UncertainCurve, a DispersionCurve, a Target or a
    tuple (frequency, velocity, std[, mode])."""
    if isinstance(obj, Target):
        s = np.maximum(obj.std, min_std)
        return Target(obj.frequency, obj.velocity, s, obj.mode, obj.wave, obj.name or name)
    if isinstance(obj, UncertainCurve):
        f, v = obj.frequency, obj.velocity
        s = obj.lognormal_std.copy()
        with np.errstate(invalid="ignore", divide="ignore"):
            plain = obj.std / v
        s = np.where(np.isfinite(s) & (s > 0), s, plain)
        s = np.where(np.isfinite(s) & (s > 0), s, default_std)
        keep = np.isfinite(f) & np.isfinite(v) & (f > 0) & (v > 0)
        if not keep.any():
            raise ValueError(f"{name}: the UncertainCurve holds no point with a positive "
                             f"frequency and velocity")
        return Target(f[keep], v[keep], np.maximum(s[keep], min_std), 0, wave, name)
    if isinstance(obj, DispersionCurve):
        keep = obj.valid & np.isfinite(obj.velocity) & (obj.velocity > 0) & (obj.frequency > 0)
        if not keep.any():
            raise ValueError(f"{name}: the DispersionCurve (mode {obj.mode}) holds no valid pick")
        n = int(keep.sum())
        return Target(obj.frequency[keep], obj.velocity[keep],
                      np.full(n, max(default_std, min_std)), obj.mode, wave, name)
    if isinstance(obj, (tuple, list)) and len(obj) in (3, 4):
        mode = obj[3] if len(obj) == 4 else 0
        return Target(np.asarray(obj[0], dtype=np.float64), np.asarray(obj[1], dtype=np.float64),
                      np.maximum(np.broadcast_to(np.asarray(obj[2], dtype=np.float64),
                                                 np.shape(obj[0])), min_std),
                      mode, wave, name)
    raise TypeError(f"{name}: cannot fit a {type(obj).__name__}; give an UncertainCurve, a "
                    f"DispersionCurve, a Target or (frequency, velocity, std)")


def _is_arrays(obj: Any) -> bool:
    """A tuple (frequency, velocity, std[, mode]) rather than a list of curves."""
    if not isinstance(obj, tuple) or len(obj) not in (3, 4):
        return False
    return all(not isinstance(x, (Target, UncertainCurve, DispersionCurve, tuple))
               for x in obj[:3])


def targets(curve: Any, *, wave: str = "rayleigh", default_std: float = DEFAULT_STD,
            min_std: float = 0.0, match: str = "labels") -> list[Target]:
    """The curves :func:`invert` fits, as :class:`Target` objects (see
    :func:`invert` for the arguments)."""
    if wave not in WAVES:
        raise ValueError(f"wave must be 'rayleigh' or 'love'; got {wave!r}")
    if match not in ("labels", "closest"):
        raise ValueError(f"match must be 'labels' or 'closest'; got {match!r}")
    if not (math.isfinite(default_std) and 0 < default_std < 1):
        raise ValueError(f"default_std must lie between 0 and 1 (a relative error); got "
                         f"{default_std!r}")
    if not (math.isfinite(min_std) and 0 <= min_std < 1):
        raise ValueError(f"min_std must lie in [0, 1); got {min_std!r}")
    items = [curve] if _is_arrays(curve) or not isinstance(curve, (list, tuple)) else list(curve)
    if not items:
        raise ValueError("curve: no curve to fit")
    out = [_target_from(obj, wave=wave, default_std=default_std, min_std=min_std,
                        name=f"curve {k}" if len(items) > 1 else "curve")
           for k, obj in enumerate(items)]
    if match == "closest":
        out = [Target(t.frequency, t.velocity, t.std, None, t.wave, t.name) for t in out]
    return out


# --------------------------------------------------------------------------
# the parameters


def _bounds(value: Any, count: int, name: str, positive: bool = True) -> np.ndarray:
    """(count, 2) bounds from one (min, max) pair or one pair per layer."""
    arr = np.asarray(value, dtype=np.float64)
    if arr.shape == (2,):
        arr = np.tile(arr, (count, 1))
    if arr.shape != (count, 2):
        raise ValueError(f"{name} must be (min, max) or one (min, max) per layer ({count}); "
                         f"got shape {arr.shape}")
    if not np.isfinite(arr).all() or (positive and (arr <= 0).any()) \
            or (arr[:, 1] < arr[:, 0]).any():
        raise ValueError(f"{name}: bounds must be finite{', positive' if positive else ''} "
                         f"and ordered (min <= max); got {value!r}")
    return arr


@dataclass(frozen=True, eq=False)
class Parametrization:
    """How a point of the unit cube maps to a layered model.

    Coordinates: ln(Vs) of every layer (L), ln(thickness) of every layer
    above the half-space (L - 1), and Poisson's ratio of every layer (L)
    when it is a range rather than fixed. Each maps linearly from [0, 1] to
    its bounds (a fixed value has equal bounds).
    """

    vs: np.ndarray          # (L, 2) m/s
    thickness: np.ndarray   # (L-1, 2) m
    poisson: np.ndarray     # (L, 2)
    increasing: bool
    density: Optional[np.ndarray] = None    # (L,) kg/m^3, NaN: Gardner's rule

    @property
    def layers(self) -> int:
        return int(self.vs.shape[0])

    @property
    def free_poisson(self) -> bool:
        return bool((self.poisson[:, 1] > self.poisson[:, 0]).any())

    @property
    def size(self) -> int:
        return 2 * self.layers - 1 + (self.layers if self.free_poisson else 0)

    @property
    def names(self) -> list[str]:
        n = [f"vs{k + 1}" for k in range(self.layers)]
        n += [f"h{k + 1}" for k in range(self.layers - 1)]
        if self.free_poisson:
            n += [f"nu{k + 1}" for k in range(self.layers)]
        return n

    def models(self, u: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """thickness (M, L-1), vs, vp, density (M, L) of unit-cube points (M, D)."""
        L = self.layers
        lv = np.log(self.vs)
        vs = np.exp(lv[:, 0] + u[:, :L] * (lv[:, 1] - lv[:, 0]))
        lh = np.log(self.thickness)
        h = np.exp(lh[:, 0] + u[:, L:2 * L - 1] * (lh[:, 1] - lh[:, 0]))
        if self.free_poisson:
            nu = self.poisson[:, 0] + u[:, 2 * L - 1:] * (self.poisson[:, 1] - self.poisson[:, 0])
        else:
            nu = np.broadcast_to(self.poisson[:, 0], vs.shape)
        vp = vs * np.sqrt((2.0 - 2.0 * nu) / (1.0 - 2.0 * nu))
        rho = _density(vs, vp)
        if self.density is not None:
            rho = np.where(np.isnan(self.density), rho, self.density)
        return h, vs, vp, rho

    def unit(self, thickness: np.ndarray, vs: np.ndarray,
             poisson: Optional[np.ndarray] = None) -> np.ndarray:
        """The unit-cube point(s) of models (the inverse of :meth:`models`),
        clipped into the cube."""
        vs = np.atleast_2d(vs)
        h = np.atleast_2d(thickness)
        lv, lh = np.log(self.vs), np.log(self.thickness)
        with np.errstate(invalid="ignore", divide="ignore"):
            uv = (np.log(vs) - lv[:, 0]) / (lv[:, 1] - lv[:, 0])
            uh = (np.log(h) - lh[:, 0]) / (lh[:, 1] - lh[:, 0])
        parts = [uv, uh]
        if self.free_poisson:
            nu = np.full(vs.shape, 0.5 * (self.poisson[:, 0] + self.poisson[:, 1])) \
                if poisson is None else np.atleast_2d(poisson)
            parts.append((nu - self.poisson[:, 0]) / (self.poisson[:, 1] - self.poisson[:, 0]))
        u = np.concatenate(parts, axis=1)
        return np.clip(np.nan_to_num(u, nan=0.5), 0.0, 1.0)

    def inside(self, u: np.ndarray) -> np.ndarray:
        """Points inside the prior's support: in the cube and, with
        `increasing`, Vs not decreasing downward."""
        ok: np.ndarray = np.asarray(((u >= 0.0) & (u <= 1.0)).all(axis=1))
        if self.increasing:
            _, vs, _, _ = self.models(np.clip(u, 0.0, 1.0))
            ok &= (np.diff(vs, axis=1) >= 0).all(axis=1)
        return ok

    def repair(self, u: np.ndarray) -> np.ndarray:
        """Reflect points into the cube; with `increasing`, order the Vs
        coordinates (their bounds are then made to agree by the sort of the
        velocities themselves)."""
        u = np.abs(u)
        u = np.where(u > 1.0, 2.0 - u, u)
        u = np.clip(u, 0.0, 1.0)
        if self.increasing:
            h, vs, _, _ = self.models(u)
            vs = np.sort(vs, axis=1)
            lv = np.log(self.vs)
            vs = np.clip(vs, np.exp(lv[:, 0]), np.exp(lv[:, 1]))
            vs = np.maximum.accumulate(vs, axis=1)
            u = u.copy()
            with np.errstate(invalid="ignore", divide="ignore"):
                uv = (np.log(vs) - lv[:, 0]) / (lv[:, 1] - lv[:, 0])
            u[:, :self.layers] = np.clip(np.nan_to_num(uv, nan=0.5), 0.0, 1.0)
        return u


def _density(vs: np.ndarray, vp: np.ndarray) -> np.ndarray:
    """Density (kg/m^3) of arrays of models: the layered module's rule
    (Gardner's, from Vp), as a LayeredModel given no density takes it."""
    return layered.gardner_density(vp)


# --------------------------------------------------------------------------
# the forward problem and the likelihood


def surface_amplitude(thickness: np.ndarray, vs: np.ndarray, frequency: np.ndarray,
                      velocity: np.ndarray) -> np.ndarray:
    """How much of a mode of phase velocity c reaches the surface.

    A wave of phase velocity c and wavenumber k = 2 pi f / c propagates
    (oscillates with depth) in a layer where c > Vs and is evanescent where
    c < Vs: there its shear potential varies as exp(-+ k z sqrt(1 - c^2 /
    Vs^2)) (the compressional one decays faster still, Vp > Vs). The mode
    lives in its host layer: the first layer from the top in which it
    propagates, or, where it propagates nowhere, the slowest layer (for a
    surface Rayleigh wave, the top one). Tunnelling up through the layers
    above the host, its amplitude at the surface relative to the host's is
    about

        A = exp(-sum_i k h_i sqrt(max(0, 1 - c^2 / Vs_i^2)))

    over those layers (the WKB estimate, reflections at the interfaces
    neglected). A = 1 for a wave hosted by the top layer; a stiff lid over a
    soft layer at high frequency gives A << 1: the wave is trapped below the
    lid and the surface barely sees it.

    Parameters
    ----------
    thickness : array_like, shape (M, L-1) or (L-1,)
    vs : array_like, shape (M, L) or (L,)
    frequency : array_like, shape (F,)
    velocity : array_like, shape (M, F) or (F,)
        The mode's phase velocity at `frequency` (NaN where it has none).

    Returns
    -------
    ndarray, shape (M, F) or (F,)
        A in (0, 1]; NaN where the velocity is NaN.
    """
    single = np.ndim(vs) == 1
    vs = np.atleast_2d(np.asarray(vs, dtype=np.float64))
    h = np.asarray(thickness, dtype=np.float64).reshape(vs.shape[0], vs.shape[1] - 1)
    f = np.asarray(frequency, dtype=np.float64).ravel()
    c = np.asarray(velocity, dtype=np.float64).reshape(vs.shape[0], f.size)
    L = vs.shape[1]
    ratio = c[:, :, None] / vs[:, None, :]                       # (M, F, L)
    propagating = ratio > 1.0
    host = np.where(propagating.any(axis=2), np.argmax(propagating, axis=2),
                    np.argmin(vs, axis=1)[:, None])              # (M, F)
    k = 2.0 * np.pi * f[None, :] / c                              # (M, F)
    with np.errstate(invalid="ignore"):
        decay = np.sqrt(np.maximum(0.0, 1.0 - ratio[:, :, :L - 1] ** 2)) * h[:, None, :]
    above = np.arange(L - 1)[None, None, :] < host[:, :, None]
    amp = np.exp(-k * np.where(above, decay, 0.0).sum(axis=2))
    amp = np.where(np.isfinite(c), amp, np.nan)
    return amp[0] if single else amp


@dataclass(frozen=True, eq=False)
class Problem:
    """Everything that evaluates a model's fit: picklable, so that chains
    can run on a Dask cluster."""

    targets: tuple[Target, ...]
    param: Parametrization
    max_mode: int
    trap_amplitude: float
    exclude_traps: bool
    # the forward calls {(wave, mode): frequencies} and, per target, the
    # columns of every call it reads
    calls: dict[tuple[str, int], np.ndarray] = field(init=False, repr=False)
    columns: list[list[tuple[tuple[str, int], np.ndarray]]] = field(init=False, repr=False)

    def __post_init__(self) -> None:
        wanted: dict[tuple[str, int], list[np.ndarray]] = {}
        for t in self.targets:
            for m in self.modes(t):
                wanted.setdefault((t.wave, m), []).append(t.frequency)
        calls = {k: np.unique(np.concatenate(v)) for k, v in wanted.items()}
        columns = [[((t.wave, m), np.searchsorted(calls[(t.wave, m)], t.frequency))
                    for m in self.modes(t)] for t in self.targets]
        object.__setattr__(self, "calls", calls)
        object.__setattr__(self, "columns", columns)

    def modes(self, t: Target) -> list[int]:
        """The modes a target's points may be fitted to."""
        return list(range(self.max_mode + 1)) if t.mode is None else [t.mode]

    def predictions(self, u: np.ndarray, workers: int = 1) -> dict[tuple[str, int], np.ndarray]:
        """Predicted phase velocities {(wave, mode): (M, F_call)} at the
        frequencies of every forward call."""
        h, vs, vp, rho = self.param.models(u)
        return self._predict(h, vs, vp, rho, workers)

    def _predict(self, h: np.ndarray, vs: np.ndarray, vp: np.ndarray, rho: np.ndarray,
                 workers: int) -> dict[tuple[str, int], np.ndarray]:
        return {(wave, mode): layered.dispersion_batch(h, vs, vp, rho, freqs, mode=mode,
                                                       wave=wave, velocity="phase",
                                                       workers=workers)
                for (wave, mode), freqs in self.calls.items()}

    def residuals(self, pred: dict[tuple[str, int], np.ndarray]
                  ) -> list[tuple[np.ndarray, np.ndarray, np.ndarray]]:
        """Per target: normalised residuals (M, F), the mode fitted at
        every point (M, F) and its predicted velocity (M, F; NaN where the
        mode does not exist)."""
        out = []
        for t, cols in zip(self.targets, self.columns):
            best_r, best_c = self._residual(t, pred[cols[0][0]][:, cols[0][1]])
            best_m = np.full(best_r.shape, cols[0][0][1])
            for key, idx in cols[1:]:
                r, c = self._residual(t, pred[key][:, idx])
                closer = np.abs(r) < np.abs(best_r)
                best_r = np.where(closer, r, best_r)
                best_c = np.where(closer, c, best_c)
                best_m = np.where(closer, key[1], best_m)
            out.append((best_r, best_m, best_c))
        return out

    @staticmethod
    def _residual(t: Target, c: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        with np.errstate(invalid="ignore", divide="ignore"):
            r = (np.log(c) - np.log(t.velocity)) / t.std
        # a mode that does not exist there: as bad as a factor of two
        return np.where(np.isfinite(r), r, math.log(2.0) / t.std), c

    def trapped_amplitude(self, h: np.ndarray, vs: np.ndarray,
                          pred: dict[tuple[str, int], np.ndarray]) -> np.ndarray:
        """The smallest surface amplitude (:func:`surface_amplitude`) of the
        predicted fundamental mode over the frequencies of every forward
        call of mode 0 (those of the mode-0 targets and of the points of
        unknown mode); 1 where there is none."""
        amp = np.ones(vs.shape[0])
        # Vs never decreasing downward: every mode is hosted by the top layer (A = 1)
        some = np.flatnonzero(np.any(vs[:, 1:] < np.maximum.accumulate(vs, axis=1)[:, :-1],
                                     axis=1))
        if some.size == 0:
            return amp
        for (_wave, mode), freqs in self.calls.items():
            if mode != 0:
                continue
            a = surface_amplitude(h[some], vs[some], freqs, pred[(_wave, 0)][some])
            amp[some] = np.minimum(amp[some], np.min(np.where(np.isfinite(a), a, 1.0), axis=1))
        return amp

    def evaluate(self, u: np.ndarray, workers: int = 1) -> tuple[np.ndarray, np.ndarray]:
        """Log-likelihood (M,) (-inf outside the prior's support or for
        excluded trapped models) and the trap amplitude (M,)."""
        logl = np.full(u.shape[0], -np.inf)
        amp = np.ones(u.shape[0])
        ok = self.param.inside(u)
        if not ok.any():
            return logl, amp
        h, vs, vp, rho = self.param.models(u[ok])
        pred = self._predict(h, vs, vp, rho, workers)
        chi2 = np.zeros(vs.shape[0])
        for r, _, _ in self.residuals(pred):
            chi2 += np.einsum("ij,ij->i", r, r)
        a = self.trapped_amplitude(h, vs, pred)
        value = -0.5 * chi2
        if self.exclude_traps:
            value = np.where(a < self.trap_amplitude, -np.inf, value)
        logl[ok] = value
        amp[ok] = a
        return logl, amp

    @property
    def points(self) -> int:
        return int(sum(len(t) for t in self.targets))


# --------------------------------------------------------------------------
# differential evolution


def _evolve(problem: Problem, rng: np.random.Generator, population: int, generations: int,
            workers: int, start: Optional[np.ndarray], tick: Callable[[], None]
            ) -> tuple[np.ndarray, np.ndarray, int]:
    """Current-to-pbest/1/bin differential evolution on the unit cube,
    minimising -log-likelihood. Returns the final population (N, D), its
    log-likelihoods and the number of trapped models met."""
    D = problem.param.size
    N = population
    u = rng.random((N, D))
    # stratify the first draw (a Latin hypercube): every coordinate's range covered
    for d in range(D):
        u[:, d] = (rng.permutation(N) + u[:, d]) / N
    if start is not None and len(start):
        take = min(len(start), N // 2)
        u[:take] = start[rng.choice(len(start), size=take, replace=False)]
    u = problem.param.repair(u)
    logl, amp = problem.evaluate(u, workers)
    traps = int(np.sum(amp < problem.trap_amplitude))
    p_best = max(2, int(round(0.2 * N)))
    for _ in range(generations):
        order = np.argsort(-logl, kind="stable")
        pbest = u[order[rng.integers(0, p_best, size=N)]]
        r1 = rng.integers(0, N - 1, size=N)
        r1 = r1 + (r1 >= np.arange(N))
        r2 = rng.integers(0, N - 2, size=N)
        r2 = r2 + (r2 >= np.minimum(np.arange(N), r1))
        r2 = r2 + (r2 >= np.maximum(np.arange(N), r1))
        F = rng.uniform(0.4, 0.9, size=(N, 1))
        mutant = u + F * (pbest - u) + F * (u[r1] - u[r2])
        cross = rng.random((N, D)) < 0.9
        cross[np.arange(N), rng.integers(0, D, size=N)] = True
        trial = problem.param.repair(np.where(cross, mutant, u))
        tl, ta = problem.evaluate(trial, workers)
        traps += int(np.sum(ta < problem.trap_amplitude))
        better = tl >= logl
        u = np.where(better[:, None], trial, u)
        logl = np.where(better, tl, logl)
        tick()
    return u, logl, traps


# --------------------------------------------------------------------------
# parallel tempering


@dataclass
class _Chain:
    """One ladder of tempered replicas and its own random stream."""

    rng: np.random.Generator
    u: np.ndarray            # (K, D)
    logl: np.ndarray         # (K,)
    scale: np.ndarray        # (K,) proposal scale factors
    chol: np.ndarray         # (K, D, D) proposal covariance's Cholesky factor
    accepted: np.ndarray = field(default_factory=lambda: np.zeros(0))
    proposed: int = 0
    swaps: np.ndarray = field(default_factory=lambda: np.zeros(0))
    swap_tries: np.ndarray = field(default_factory=lambda: np.zeros(0))
    samples: list[np.ndarray] = field(default_factory=list)
    sample_logl: list[float] = field(default_factory=list)
    traps: int = 0


@dataclass(frozen=True)
class _Schedule:
    temperatures: np.ndarray
    burn: int
    steps: int
    thin: int
    block: int = 100


def _run_chains(problem: Problem, chains: list[_Chain], schedule: _Schedule,
                tick: Optional[Callable[[], None]] = None) -> list[_Chain]:
    """Advance several chains in lockstep: each step proposes one move per
    replica of every chain, evaluates them all in one batch, then lets every
    chain accept, reject and swap with its own random stream (the same
    draws, in the same order, however the chains are grouped; every
    operation is elementwise or along a chain's own axes, so a chain's
    numbers do not depend on its companions)."""
    T = schedule.temperatures
    K = T.size
    D = problem.param.size
    C = len(chains)
    target_rate = 0.234
    U = np.stack([ch.u for ch in chains])                # (C, K, D)
    LL = np.stack([ch.logl for ch in chains])            # (C, K)
    S = np.stack([ch.scale for ch in chains])            # (C, K)
    CH = np.stack([ch.chol for ch in chains])            # (C, K, D, D)
    accepted = np.zeros((C, K))
    swaps = np.zeros((C, max(K - 1, 1)))
    tries = np.zeros((C, max(K - 1, 1)))
    traps = np.zeros(C, dtype=np.int64)
    history: list[np.ndarray] = []
    samples: list[np.ndarray] = []
    sample_ll: list[np.ndarray] = []
    learn_at = {schedule.burn // 4, schedule.burn // 2, (3 * schedule.burn) // 4}
    inv_t = 1.0 / T
    for step in range(schedule.burn + schedule.steps):
        burning = step < schedule.burn
        Z = np.stack([ch.rng.standard_normal((K, D)) for ch in chains])
        P = U + S[:, :, None] * np.sum(CH * Z[:, :, None, :], axis=3)
        tl, ta = problem.evaluate(P.reshape(C * K, D), 1)
        tl, ta = tl.reshape(C, K), ta.reshape(C, K)
        traps += np.sum(ta < problem.trap_amplitude, axis=1)
        R = np.stack([ch.rng.random(2 * K - 1) for ch in chains])
        with np.errstate(invalid="ignore"):
            log_alpha = np.where(np.isfinite(tl), (tl - LL) * inv_t, -np.inf)
        accept = np.log(R[:, :K]) < log_alpha
        U = np.where(accept[:, :, None], P, U)
        LL = np.where(accept, tl, LL)
        if burning:
            # Robbins-Monro: the scale towards the optimal random-walk rate
            gain = 1.0 / math.sqrt(1.0 + step / 20.0)
            S = S * np.exp(gain * (accept - target_rate))
            history.append(U)
            if step + 1 in learn_at:
                hist = np.stack(history)                  # (n, C, K, D)
                for c in range(C):
                    _learn(hist[:, c], CH[c], S[c])
        else:
            accepted += accept
        # swaps between neighbouring temperatures, even or odd pairs by turn
        for j in range(step % 2, K - 1, 2):
            with np.errstate(invalid="ignore"):
                a = (LL[:, j + 1] - LL[:, j]) * (inv_t[j] - inv_t[j + 1])
                ok = np.isfinite(a) & (np.log(R[:, K + j] + 1e-300) < a)
            if not burning:
                tries[:, j] += 1
                swaps[:, j] += ok
            if ok.any():
                U = U.copy()
                U[ok, j], U[ok, j + 1] = U[ok, j + 1], U[ok, j].copy()
                LL = LL.copy()
                LL[ok, j], LL[ok, j + 1] = LL[ok, j + 1], LL[ok, j].copy()
        if not burning and (step - schedule.burn) % schedule.thin == 0:
            samples.append(U[:, 0].copy())
            sample_ll.append(LL[:, 0].copy())
        if tick is not None and (step + 1) % schedule.block == 0:
            tick()
    sam = np.stack(samples, axis=1)                      # (C, S, D)
    sll = np.stack(sample_ll, axis=1)
    for c, ch in enumerate(chains):
        ch.u, ch.logl, ch.scale, ch.chol = U[c], LL[c], S[c], CH[c]
        ch.accepted, ch.proposed = accepted[c], schedule.steps
        ch.swaps, ch.swap_tries = swaps[c], tries[c]
        ch.samples = list(sam[c])
        ch.sample_logl = [float(x) for x in sll[c]]
        ch.traps += int(traps[c])
    return chains


def _learn(hist: np.ndarray, chol: np.ndarray, scale: np.ndarray) -> None:
    """Proposal covariance of every replica (in place) from the second half
    of its own burn-in history (n, K, D) (Haario et al. 2001: 2.38^2 / D
    times the covariance), the scale then started again from 1."""
    D = hist.shape[2]
    half = hist[hist.shape[0] // 2:]
    for k in range(hist.shape[1]):
        x = half[:, k, :]
        if x.shape[0] < 2 * D:
            continue
        cov = np.cov(x, rowvar=False).reshape(D, D) + 1e-8 * np.eye(D)
        try:
            chol[k] = np.linalg.cholesky(cov * (2.38 ** 2 / D))
        except np.linalg.LinAlgError:
            continue
        scale[k] = 1.0


def _run_group(problem: Problem, chains: list[_Chain], schedule: _Schedule) -> list[_Chain]:
    """A group of chains run on a Dask worker (no progress there)."""
    return _run_chains(problem, chains, schedule)


def split_rhat(draws: np.ndarray) -> np.ndarray:
    """Split R-hat (Gelman et al. 2013, BDA3 eq. 11.4) of every parameter
    of draws shaped (chains, draws, parameters): every chain is cut in two
    halves, and the between- and within-half variances compared. Values near
    1 mean the chains agree."""
    x = np.asarray(draws, dtype=np.float64)
    n = x.shape[1] // 2
    if n < 2:
        return np.full(x.shape[2], np.nan)
    halves = np.concatenate([x[:, :n], x[:, x.shape[1] - n:]], axis=0)   # (2C, n, P)
    means = halves.mean(axis=1)
    B = n * means.var(axis=0, ddof=1)
    W = halves.var(axis=1, ddof=1).mean(axis=0)
    var = (n - 1) / n * W + B / n
    with np.errstate(invalid="ignore", divide="ignore"):
        r = np.sqrt(var / W)
    return np.where(W > 0, r, np.where(B > 0, np.inf, 1.0))


# --------------------------------------------------------------------------
# the result


@dataclass(frozen=True, eq=False)
class Fit:
    """How the posterior fits one curve.

    Attributes
    ----------
    target : Target
    best : ndarray, shape (F,)
        The best model's phase velocity at the target's frequencies (m/s),
        of the mode fitted at each point.
    mode : ndarray of int, shape (F,)
        The mode fitted at each point by the best model (the label, or the
        closest mode for points of unknown mode).
    misfit : float
        The best model's root-mean-square normalised residual,
        sqrt(mean(((ln c - ln c_obs) / std)^2)): about 1 for a fit within the
        data's errors.
    band : ndarray, shape (3, F)
        The 5th, 50th and 95th percentiles of the posterior's predictions.
    """

    target: Target
    best: np.ndarray
    mode: np.ndarray
    misfit: float
    band: np.ndarray


@dataclass(frozen=True, eq=False)
class Inversion:
    """The result of :func:`invert`.

    Attributes
    ----------
    best : LayeredModel
        The most probable model met (highest likelihood; the prior is flat
        in the parameters' coordinates), never a flagged trap when traps are
        excluded.
    thickness, vs, vp, density : ndarray
        The posterior ensemble: (N, L-1) and (N, L), one row per sample.
    logl : ndarray, shape (N,)
        Every sample's log-likelihood.
    chain : ndarray of int, shape (N,)
        The chain every sample comes from.
    fits : list of Fit
        One per curve fitted.
    acceptance : ndarray, shape (chains, temperatures)
        Acceptance rate of the random-walk moves after the burn-in.
    swap_rate : ndarray, shape (chains, temperatures - 1)
        Acceptance rate of the swaps between neighbouring temperatures.
    rhat : dict of str to float
        Split R-hat of every parameter (ln Vs, ln thickness, Poisson's ratio).
    converged : bool
        Every R-hat below the limit.
    traps : int
        Models met by the search and the chains that were flagged as trapped
        (fundamental mode with surface amplitude below the threshold).
    settings : dict
        The options of the run (seed included: the run can be repeated).
    """

    best: LayeredModel
    thickness: np.ndarray
    vs: np.ndarray
    vp: np.ndarray
    density: np.ndarray
    logl: np.ndarray
    chain: np.ndarray
    fits: list[Fit]
    acceptance: np.ndarray
    swap_rate: np.ndarray
    rhat: dict[str, float]
    converged: bool
    traps: int
    settings: dict[str, Any]

    def __len__(self) -> int:
        return int(self.vs.shape[0])

    def __repr__(self) -> str:
        est = self.vs30()
        return (f"<Inversion: {self.vs.shape[1]} layers, {len(self)} posterior models, "
                f"Vs30 {est.median:.0f} m/s ({est.low:.0f}-{est.high:.0f}), max R-hat "
                f"{max(self.rhat.values()):.3f}>")

    @property
    def models(self) -> list[LayeredModel]:
        """The ensemble as LayeredModel objects."""
        return [LayeredModel(self.thickness[k], self.vs[k], self.vp[k], self.density[k])
                for k in range(len(self))]

    def vs_at(self, depths: Any) -> np.ndarray:
        """Vs (m/s) of every posterior model at `depths` (m): (N, len(depths)).
        At an interface the layer below is taken."""
        z = np.asarray(depths, dtype=np.float64).ravel()
        if not (np.isfinite(z).all() and (z >= 0).all()):
            raise ValueError("depths must be finite and not negative")
        tops = np.cumsum(self.thickness, axis=1)                      # (N, L-1)
        idx = (z[None, :, None] >= tops[:, None, :]).sum(axis=2)     # (N, Z)
        return np.take_along_axis(self.vs, idx, axis=1)

    def percentiles(self, depths: Any, q: Any = (5, 50, 95)) -> np.ndarray:
        """Percentiles (0-100) of the posterior's Vs (m/s) at `depths` (m):
        shape (len(q), len(depths))."""
        qq = np.atleast_1d(np.asarray(q, dtype=np.float64))
        if not ((qq >= 0) & (qq <= 100)).all():
            raise ValueError(f"q must hold percentiles from 0 to 100; got {q!r}")
        return np.percentile(self.vs_at(depths), qq, axis=0)

    def vsz_samples(self, z: float) -> np.ndarray:
        """Time-averaged Vs over the top `z` metres of every posterior model:
        z / sum(h_i / Vs_i) (the half-space continuing below the last
        interface)."""
        z = float(z)
        if not (math.isfinite(z) and z > 0):
            raise ValueError(f"z must be a positive depth in metres; got {z!r}")
        tops = np.concatenate([np.zeros((len(self), 1)), np.cumsum(self.thickness, axis=1)],
                              axis=1)
        bottoms = np.concatenate([tops[:, 1:], np.full((len(self), 1), np.inf)], axis=1)
        inside = np.clip(np.minimum(bottoms, z) - tops, 0.0, None)
        return z / np.sum(inside / self.vs, axis=1)

    def vsz(self, z: float, interval: float = 0.9) -> Estimate:
        """The posterior's time-averaged Vs over the top `z` metres (m/s):
        median and the central `interval`."""
        if not 0 < interval < 1:
            raise ValueError(f"interval must lie between 0 and 1; got {interval!r}")
        s = self.vsz_samples(z)
        lo, med, hi = np.percentile(s, [50 * (1 - interval), 50, 50 * (1 + interval)])
        return Estimate(float(med), float(lo), float(hi))

    def vs30(self, interval: float = 0.9) -> Estimate:
        """Vs30 (m/s): :meth:`vsz` over the top 30 m."""
        return self.vsz(30.0, interval)

    # -- files ---------------------------------------------------------------

    def summary(self) -> dict[str, Any]:
        """The result as plain data (what :meth:`save` writes as JSON)."""
        v30 = self.vs30()
        return {
            "best": _model_dict(self.best),
            "vs30": {"median": v30.median, "low": v30.low, "high": v30.high,
                     "interval": 0.9},
            "posterior_models": len(self),
            "converged": self.converged,
            "rhat": {k: (v if math.isfinite(v) else None) for k, v in self.rhat.items()},
            "acceptance": self.acceptance.tolist(),
            "swap_rate": self.swap_rate.tolist(),
            "traps_flagged": self.traps,
            "fits": [{"curve": f.target.label, "points": len(f.target),
                      "misfit": f.misfit} for f in self.fits],
            "settings": self.settings,
        }

    def default_depths(self) -> np.ndarray:
        """Depths for tables and pictures: 0 to 1.5 times the deepest
        median interface (at least 30 m), 200 points."""
        deepest = float(np.median(np.sum(self.thickness, axis=1))) if self.thickness.size \
            else 10.0
        return np.linspace(0.0, max(30.0, 1.5 * deepest), 201)

    def save(self, folder: PathLike, *, stem: str = "inversion", plots: bool = True,
             overwrite: bool = False) -> list[str]:
        """Write the result into `folder` (created when missing):

        - ``<stem>.ensemble.csv``: one posterior model per row (chain,
          log-likelihood, Vs, thickness, Vp, density of every layer);
        - ``<stem>.percentiles.csv``: depth and the 5th, 16th, 50th, 84th and
          95th percentiles of Vs, and the best model's Vs;
        - ``<stem>.json``: :meth:`summary`;
        - with matplotlib and `plots`: ``<stem>.profile.png``,
          ``<stem>.curves.png`` and ``<stem>.vs30.png``.

        Every file appears complete or not at all; none is replaced unless
        `overwrite` (FileExistsError, raised before anything is written).

        Returns
        -------
        list of str
            The files written.
        """
        os.makedirs(folder, exist_ok=True)
        base = os.path.join(os.fspath(folder), stem)
        names = [f"{base}.ensemble.csv", f"{base}.percentiles.csv", f"{base}.json"]
        pictures = [f"{base}.profile.png", f"{base}.curves.png", f"{base}.vs30.png"]
        if plots:
            names += pictures
        if not overwrite:
            for name in names:
                if os.path.exists(name):
                    raise FileExistsError(f"{name} exists already; pass overwrite=True to "
                                          f"replace it")
        write_text(names[0], self.ensemble_csv(), overwrite=overwrite)
        depths = self.default_depths()
        q = (5, 16, 50, 84, 95)
        p = self.percentiles(depths, q)
        best = self.best.vs_at(depths)
        lines = ["depth," + ",".join(f"p{k:02d}" for k in q) + ",best\n"]
        for j, z in enumerate(depths):
            lines.append(f"{z:.17g}," + ",".join(f"{p[i, j]:.17g}" for i in range(len(q)))
                         + f",{best[j]:.17g}\n")
        write_text(names[1], "".join(lines), overwrite=overwrite)
        write_text(names[2], json.dumps(self.summary(), indent=1) + "\n", overwrite=overwrite)
        if plots:
            import matplotlib
            if matplotlib.get_backend().lower() not in ("agg", "pdf", "svg", "ps", "cairo"):
                matplotlib.use("Agg")
            import matplotlib.pyplot as plt
            for name, draw in zip(pictures, (self.plot_profile, self.plot_curves,
                                             self.plot_vs30)):
                fig, ax = plt.subplots(figsize=(5.5, 4.5), constrained_layout=True)
                draw(ax)
                with atomic_path(name, overwrite=overwrite) as temp:
                    fig.savefig(temp, dpi=110, format="png")
                plt.close(fig)
        return names

    def ensemble_csv(self) -> str:
        """The ensemble as CSV text (see :meth:`save`)."""
        L = self.vs.shape[1]
        cols = ["chain", "logl"] + [f"vs{k + 1}" for k in range(L)] \
            + [f"h{k + 1}" for k in range(L - 1)] + [f"vp{k + 1}" for k in range(L)] \
            + [f"density{k + 1}" for k in range(L)]
        table = np.concatenate([self.chain[:, None].astype(np.float64), self.logl[:, None],
                                self.vs, self.thickness, self.vp, self.density], axis=1)
        rows = [",".join(cols) + "\n"]
        for row in table:
            rows.append(f"{int(row[0])}," + ",".join(f"{x:.17g}" for x in row[1:]) + "\n")
        return "".join(rows)

    # -- pictures ------------------------------------------------------------

    def plot_profile(self, ax: Any = None, *, depth: Optional[float] = None,
                     title: Optional[str] = None) -> Any:
        """Vs against depth: the posterior's 5-95 % and 16-84 % bands, its
        median and the best model (matplotlib). Returns the Axes."""
        import matplotlib.pyplot as plt
        if ax is None:
            _, ax = plt.subplots(figsize=(4.5, 5.5), constrained_layout=True)
        z = self.default_depths() if depth is None else np.linspace(0.0, float(depth), 201)
        p = self.percentiles(z, (5, 16, 50, 84, 95))
        ax.fill_betweenx(z, p[0], p[4], color="C0", alpha=0.2, lw=0, label="5-95 %")
        ax.fill_betweenx(z, p[1], p[3], color="C0", alpha=0.35, lw=0, label="16-84 %")
        ax.plot(p[2], z, color="C0", lw=1.5, label="median")
        ax.plot(self.best.vs_at(z), z, color="C3", lw=1.2, ls="--", label="best model")
        ax.set_ylim(z[-1], 0.0)
        ax.set_xlabel("shear-wave velocity Vs (m/s)")
        ax.set_ylabel("depth (m)")
        ax.legend(loc="lower left", fontsize="small")
        ax.set_title(title if title is not None else
                     f"Vs profile ({len(self)} posterior models)")
        return ax

    def plot_curves(self, ax: Any = None, *, title: Optional[str] = None) -> Any:
        """The data (with their +-1 std bars) and the posterior's predicted
        curves (5-95 % band, median) and the best model's, against frequency
        (matplotlib). Returns the Axes."""
        import matplotlib.pyplot as plt
        if ax is None:
            _, ax = plt.subplots(figsize=(5.5, 4.5), constrained_layout=True)
        for k, fit in enumerate(self.fits):
            t = fit.target
            colour = f"C{k % 10}"
            ax.fill_between(t.frequency, fit.band[0], fit.band[2], color=colour, alpha=0.2,
                            lw=0)
            ax.plot(t.frequency, fit.band[1], color=colour, lw=1.0)
            ax.plot(t.frequency, fit.best, color=colour, lw=1.0, ls="--")
            low, high = t.velocity * np.exp(-t.std), t.velocity * np.exp(t.std)
            ax.errorbar(t.frequency, t.velocity, yerr=[t.velocity - low, high - t.velocity],
                        fmt="o", ms=3, color=colour, ecolor=colour, elinewidth=0.8,
                        label=f"{t.label} (misfit {fit.misfit:.2f})")
        from matplotlib.ticker import NullFormatter
        ax.set_xscale("log")
        lo, hi = ax.get_xlim()
        ticks = [m * 10.0 ** e for e in range(math.floor(math.log10(lo)),
                                             math.ceil(math.log10(hi)) + 1)
                 for m in (1.0, 2.0, 5.0) if lo <= m * 10.0 ** e <= hi]
        ax.set_xticks(ticks, [f"{t:g}" for t in ticks])
        ax.xaxis.set_minor_formatter(NullFormatter())
        ax.set_xlabel("frequency (Hz)")
        ax.set_ylabel("phase velocity (m/s)")
        ax.legend(fontsize="small", title="data; posterior 5-95 %, median, best --",
                  title_fontsize="x-small")
        ax.set_title(title if title is not None else "Data and posterior curves")
        return ax

    def plot_vs30(self, ax: Any = None, *, interval: float = 0.9,
                  title: Optional[str] = None) -> Any:
        """The posterior's histogram of Vs30 with its median and interval
        (matplotlib). Returns the Axes."""
        import matplotlib.pyplot as plt
        if ax is None:
            _, ax = plt.subplots(figsize=(5.5, 4.0), constrained_layout=True)
        s = self.vsz_samples(30.0)
        est = self.vs30(interval)
        ax.hist(s, bins=40, color="C0", alpha=0.7)
        ax.axvline(est.median, color="k", lw=1.2, label=f"median {est.median:.0f} m/s")
        for x in (est.low, est.high):
            ax.axvline(x, color="k", lw=0.8, ls="--")
        ax.plot([], [], color="k", ls="--", lw=0.8,
                label=f"{100 * interval:.0f} % interval {est.low:.0f}-{est.high:.0f} m/s")
        ax.set_xlabel("Vs30 (m/s)")
        ax.set_ylabel("posterior models")
        ax.legend(fontsize="small")
        ax.set_title(title if title is not None else "Vs30")
        return ax


def _model_dict(model: LayeredModel) -> dict[str, Any]:
    return {"thickness": np.asarray(model.thickness).tolist(),
            "vs": np.asarray(model.vs).tolist(), "vp": np.asarray(model.vp).tolist(),
            "density": np.asarray(model.density).tolist()}


# --------------------------------------------------------------------------
# invert


def _default_bounds(tgts: Sequence[Target]) -> tuple[tuple[float, float], tuple[float, float]]:
    c = np.concatenate([t.velocity for t in tgts])
    lam = np.concatenate([t.velocity / t.frequency for t in tgts])
    vs = (0.7 * float(c.min()), 2.5 * float(c.max()))
    thickness = (max(float(lam.min()) / 3.0, 0.1), max(float(lam.max()) / 3.0, 1.0))
    return vs, thickness


def _check_int(value: Any, name: str, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < least:
        raise ValueError(f"{name} must be an integer of at least {least}; got {value!r}")
    return int(value)


def _densities(value: Any, layers: int) -> np.ndarray:
    """Fixed densities: one value or one per layer, each positive and
    finite (kg/m^3) or NaN (Gardner's rule)."""
    try:
        rho = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):
        rho = np.array([-1.0])
    if rho.ndim == 0:
        rho = np.full(layers, float(rho))
    if rho.shape != (layers,) or not ((rho > 0) & np.isfinite(rho) | np.isnan(rho)).all():
        raise ValueError(f"density must be one value or one per layer ({layers}), each "
                         f"positive and finite in kg/m^3 (NaN: Gardner's rule); got {value!r}")
    return rho


def invert(curve: Any, *, layers: int = 3,
           vs: Optional[Any] = None, thickness: Optional[Any] = None,
           poisson: Any = 0.3, density: Any = None, increasing: bool = False,
           wave: str = "rayleigh", match: str = "labels", max_mode: int = 2,
           default_std: float = DEFAULT_STD, min_std: float = 0.0,
           exclude_traps: bool = True, trap_amplitude: float = TRAP_AMPLITUDE,
           population: Optional[int] = None, generations: int = 60,
           chains: int = 4, temperatures: int = 4, max_temperature: float = 30.0,
           burn: Optional[int] = None, steps: Optional[int] = None, thin: int = 2,
           rhat_limit: float = 1.1, seed: Optional[int] = None,
           workers: int = 1, client: Any = None,
           start: Optional[Inversion] = None,
           progress: Union[None, bool, Callable[[int, int], None]] = None) -> Inversion:
    """Invert dispersion curves for a layered Vs profile with its posterior.

    Parameters
    ----------
    curve : UncertainCurve, DispersionCurve, Target, tuple or a list of them
        The data. An UncertainCurve brings its log-normal std per point (its
        plain std / velocity where that is NaN, else `default_std`) and is
        taken as the fundamental mode; a DispersionCurve its valid picks,
        its mode label and `default_std`; a tuple ``(frequency, velocity,
        std)`` or ``(frequency, velocity, std, mode)`` gives std as the
        standard deviation of ln(velocity) (0.02 = 2 %; mode None: unknown).
        A list fits several curves together (modes, Rayleigh and Love: use
        :class:`Target` for a Love curve or set `wave`).
    layers : int
        Number of layers, the half-space included (at least 2).
    vs : (min, max) or one (min, max) per layer, m/s
        Bounds of Vs. By default 0.7 times the slowest to 2.5 times the
        fastest velocity of the data.
    thickness : (min, max) or one (min, max) per layer above the half-space, m
        By default a third of the shortest to a third of the longest
        wavelength of the data.
    poisson : float, (min, max) or one value or pair per layer
        Poisson's ratio: fixed (0.3 by default) or a range sampled per layer.
    density : float or one per layer, kg/m^3, optional
        Fixed densities (NaN entries, or None for all: Gardner's rule from
        Vp, as :class:`LayeredModel` takes it, which gives soft soils less
        than they usually weigh: 1410 kg/m^3 at Vs 130 m/s and Poisson's
        ratio 0.45, where saturated soils weigh 1700-2000).
    increasing : bool
        Only models whose Vs does not decrease with depth.
    wave : {"rayleigh", "love"}
        The wave of curves that do not say (all but Target).
    match : {"labels", "closest"}
        "labels": every curve is fitted to its own mode. "closest": every
        point is fitted to whichever of the modes 0 to `max_mode` the model
        predicts closest to it in ln(velocity), per model and per point (the
        likelihood of the best-matching mode), as done for the points of a
        Target of mode None.
    default_std, min_std : float
        The std of ln(velocity) where a curve has none (0.05), and a floor
        applied to every point (none by default).
    exclude_traps, trap_amplitude : bool, float
        Models whose predicted fundamental mode reaches the surface with
        less than `trap_amplitude` of its amplitude in its host layer (see
        :func:`surface_amplitude`) at any frequency of a mode-0 curve (or
        of points of unknown mode) are counted in `traps` and, with
        `exclude_traps`, given zero probability.
    population, generations : int
        Differential evolution: population (default 8 per parameter, at
        least 30) and generations.
    chains, temperatures, max_temperature : int, int, float
        Parallel tempering: independent chains, replicas per chain at
        temperatures spaced geometrically from 1 to `max_temperature`.
    burn, steps, thin : int
        Steps of burn-in (proposals tuned, samples discarded) and of
        sampling; every `thin`-th cold state is kept. By default 160 per
        parameter and at least 800 each (800 for 3 layers of fixed
        Poisson's ratio, 1280 for 3 layers with it sampled).
    rhat_limit : float
        A :class:`ConvergenceWarning` is issued when a split R-hat exceeds it.
    seed : int, optional
        Makes the run repeatable (None: fresh entropy, recorded in
        ``settings["seed"]``).
    workers : int
        Threads: the search's batches and the chains (split into `workers`
        groups). Results do not depend on it.
    client : dask.distributed.Client, optional
        Run the chain groups as tasks on that cluster instead.
    start : Inversion, optional
        A neighbour's result: half the search's first population is drawn
        from its posterior (mapped into these bounds).
    progress : bool or callable, optional
        True: a bar on standard error; a callable: called as
        progress(done, total); None (default): a bar when standard error is
        a terminal.

    Returns
    -------
    Inversion
    """
    tgts = targets(curve, wave=wave, default_std=default_std, min_std=min_std, match=match)
    layers = _check_int(layers, "layers", 2)
    max_mode = _check_int(max_mode, "max_mode", 0)
    chains = _check_int(chains, "chains", 2)
    temperatures = _check_int(temperatures, "temperatures", 1)
    thin = _check_int(thin, "thin", 1)
    generations = _check_int(generations, "generations", 0)
    workers = _check_int(workers, "workers", 1)
    if not (math.isfinite(max_temperature) and max_temperature >= 1):
        raise ValueError(f"max_temperature must be at least 1; got {max_temperature!r}")
    if not (0 <= trap_amplitude < 1):
        raise ValueError(f"trap_amplitude must lie in [0, 1); got {trap_amplitude!r}")
    vs_default, h_default = _default_bounds(tgts)
    vs_b = _bounds(vs_default if vs is None else vs, layers, "vs")
    h_b = _bounds(h_default if thickness is None else thickness, layers - 1, "thickness")
    nu = np.asarray(poisson, dtype=np.float64)
    if nu.ndim == 0:
        nu_b = np.tile([float(nu), float(nu)], (layers, 1))
    elif nu.shape == (layers,):
        nu_b = np.stack([nu, nu], axis=1)
    else:
        nu_b = _bounds(nu, layers, "poisson", positive=False)
    if not ((nu_b > -1.0) & (nu_b < 0.5)).all():
        raise ValueError(f"poisson must lie between -1 and 0.5 (exclusive); got {poisson!r}")
    rho_fixed = None if density is None else _densities(density, layers)
    if increasing and (vs_b[:, 1].max() < vs_b[:, 0].max()):
        raise ValueError("increasing: the Vs bounds leave no model whose Vs does not "
                         "decrease with depth")
    param = Parametrization(vs_b, h_b, nu_b, bool(increasing), rho_fixed)
    D = param.size
    burn = _check_int(max(800, 160 * D) if burn is None else burn, "burn", 20)
    steps = _check_int(max(800, 160 * D) if steps is None else steps, "steps", 20)
    population = max(30, 8 * D) if population is None else _check_int(population,
                                                                       "population", 8)
    problem = Problem(tuple(tgts), param, max_mode, float(trap_amplitude), bool(exclude_traps))
    seq = np.random.SeedSequence(seed)
    children = seq.spawn(chains + 2)

    groups = min(workers, chains) if client is None else chains
    blocks = -(-(burn + steps) // 100)
    total = generations + blocks * groups + 1
    report = _reporter(progress, total)

    # 1. the global search
    start_u = None
    if start is not None:
        nu_start = None
        if param.free_poisson:
            vp_vs = start.vp / start.vs
            nu_start = (vp_vs ** 2 - 2) / (2 * (vp_vs ** 2 - 1))
        if start.vs.shape[1] != layers:
            raise ValueError(f"start has {start.vs.shape[1]} layers; this inversion "
                             f"{layers}")
        start_u = param.unit(start.thickness, start.vs, nu_start)
    rng_de = np.random.default_rng(children[0])
    pop, pop_l, traps = _evolve(problem, rng_de, population, generations, workers, start_u,
                                report.tick)
    if not np.isfinite(pop_l).any():
        raise ValueError("no model within the bounds fits the data with a finite likelihood"
                         + (" and without a trapped fundamental mode" if exclude_traps else "")
                         + "; widen vs or thickness, or change layers")

    # 2. the chains, started from distinct good members of the population
    T = max_temperature ** (np.arange(temperatures) / max(temperatures - 1, 1))
    order = np.argsort(-pop_l, kind="stable")
    good = order[:max(chains * temperatures, population // 2)]
    good = good[np.isfinite(pop_l[good])]
    spread = np.maximum(pop[good].std(axis=0), 0.01)
    base_chol = np.diag(spread * 2.38 / math.sqrt(D))
    chain_list = []
    for c in range(chains):
        rng = np.random.default_rng(children[1 + c])
        pick = good[rng.integers(0, good.size, size=temperatures)]
        chain_list.append(_Chain(rng, pop[pick].copy(), pop_l[pick].copy(),
                                 np.full(temperatures, 0.5),
                                 np.tile(base_chol, (temperatures, 1, 1))))
    schedule = _Schedule(T, burn, steps, thin)
    done_chains = _run_all(problem, chain_list, schedule, groups, client, report.tick)

    # 3. the result
    samples = np.stack([np.stack(ch.samples) for ch in done_chains])     # (C, S, D)
    slog = np.stack([np.asarray(ch.sample_logl) for ch in done_chains])
    traps += sum(ch.traps for ch in done_chains)
    flat = samples.reshape(-1, D)
    h, v, vp, rho = param.models(flat)
    names = param.names
    coords = np.concatenate([np.log(param.models(samples.reshape(-1, D))[1]),
                             np.log(h)] + ([flat[:, 2 * layers - 1:]] if param.free_poisson
                                           else []), axis=1).reshape(chains, -1, D)
    rh = split_rhat(coords)
    rhat = {n: float(r) for n, r in zip(names, rh)}
    finite = rh[np.isfinite(rh)]
    converged = bool(finite.size == rh.size and (finite <= rhat_limit).all())
    if not converged:
        worst = names[int(np.nanargmax(np.where(np.isfinite(rh), rh, np.inf)))]
        warnings.warn(f"the chains have not converged: split R-hat of {worst} is "
                      f"{rhat[worst]:.3f} (limit {rhat_limit:g}); run more steps or chains "
                      f"before reporting this posterior", ConvergenceWarning, stacklevel=2)
    # the best model: the highest likelihood among the search and the samples
    all_u = np.concatenate([pop, flat])
    all_l = np.concatenate([pop_l, slog.ravel()])
    bu = all_u[int(np.argmax(all_l))][None]
    bh, bv, bvp, brho = param.models(bu)
    best = LayeredModel(bh[0], bv[0], bvp[0], brho[0])
    fits = _fits(problem, bu, flat, np.random.default_rng(children[-1]))
    report.tick()
    acceptance = np.stack([ch.accepted / max(ch.proposed, 1) for ch in done_chains])
    swap = np.stack([ch.swaps / np.maximum(ch.swap_tries, 1) for ch in done_chains])
    settings = {"layers": layers, "vs": vs_b.tolist(), "thickness": h_b.tolist(),
                "poisson": nu_b.tolist(),
                "density": None if rho_fixed is None else
                [None if math.isnan(r) else float(r) for r in rho_fixed],
                "increasing": bool(increasing), "match": match,
                "max_mode": max_mode, "exclude_traps": bool(exclude_traps),
                "trap_amplitude": float(trap_amplitude), "population": population,
                "generations": generations, "chains": chains, "temperatures": T.tolist(),
                "burn": burn, "steps": steps, "thin": thin,
                "seed": seq.entropy if seed is None else seed,
                "default_std": default_std, "min_std": min_std}
    return Inversion(best, h, v, vp, rho, slog.ravel(),
                     np.repeat(np.arange(chains), samples.shape[1]), fits,
                     acceptance, swap[:, :max(temperatures - 1, 0)], rhat, converged, traps,
                     settings)


class _Reporter:
    def __init__(self, call: Optional[Callable[[int, int], None]], total: int) -> None:
        self.call, self.total, self.done = call, total, 0
        self.lock = threading.Lock()

    def tick(self) -> None:
        if self.call is None:
            return
        with self.lock:
            self.done = min(self.done + 1, self.total)
            self.call(self.done, self.total)


def _reporter(progress: Union[None, bool, Callable[[int, int], None]], total: int) -> _Reporter:
    if progress is None:
        progress = bool(getattr(sys.stderr, "isatty", lambda: False)())
    if progress is True:
        bar = Progress(total, "inverting", stream=sys.stderr)
        return _Reporter(lambda done, _total: bar.step(), total)
    if progress is False:
        return _Reporter(None, total)
    if not callable(progress):
        raise TypeError(f"progress must be a bool or a callable; got {progress!r}")
    return _Reporter(progress, total)


def _run_all(problem: Problem, chains: list[_Chain], schedule: _Schedule, groups: int,
             client: Any, tick: Callable[[], None]) -> list[_Chain]:
    """Run the chains in `groups` lockstep groups: in this thread, on a
    thread pool, or as tasks of a Dask client."""
    parts = [chains[g::groups] for g in range(groups)]
    if client is not None:
        futures = [client.submit(_run_group, problem, part, schedule, pure=False)
                   for part in parts]
        done = [f.result() for f in futures]
        blocks = -(-(schedule.burn + schedule.steps) // schedule.block)
        for _ in range(blocks * len(parts)):
            tick()
    elif groups == 1:
        done = [_run_chains(problem, chains, schedule, tick)]
    else:
        with ThreadPoolExecutor(max_workers=groups) as pool:
            done = list(pool.map(lambda part: _run_chains(problem, part, schedule, tick),
                                 parts))
    out: list[Optional[_Chain]] = [None] * len(chains)
    for g, part in enumerate(done):
        for j, ch in enumerate(part):
            out[g + j * groups] = ch
    return [ch for ch in out if ch is not None]


def _fits(problem: Problem, best_u: np.ndarray, samples: np.ndarray,
          rng: np.random.Generator, count: int = 200) -> list[Fit]:
    """The best model's and the posterior's predictions of every curve."""
    pick = samples[rng.choice(samples.shape[0], size=min(count, samples.shape[0]),
                              replace=False)]
    u = np.concatenate([best_u, pick])
    pred = problem.predictions(u)
    res = problem.residuals(pred)
    fits = []
    for t, (r, modes, c) in zip(problem.targets, res):
        misfit = float(np.sqrt(np.mean(r[0] ** 2)))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)    # all-NaN columns stay NaN
            band = np.nanpercentile(c[1:], [5, 50, 95], axis=0)
        fits.append(Fit(t, c[0], modes[0], misfit, band))
    return fits
