"""Layered ground models and the dispersion curves of their surface waves.

A :class:`LayeredModel` is a stack of flat, homogeneous, isotropic elastic
layers over a half-space. :func:`dispersion` gives the phase or group
velocity of one Rayleigh or Love mode of a model at a set of frequencies, and
:func:`dispersion_batch` the same for many models at once (the path an
inversion takes). The work is done by the native module
(``molvak._native._dispersion``): Rayleigh waves by Dunkin's (1965) compound
matrices, Love waves by the Haskell-Thomson layer matrices, roots bracketed
from the previous frequencies and refined by Brent's method, group velocity
by implicit differentiation (``docs/guide/forward.rst``).
"""
from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from typing import Any, Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native

__all__ = ["DEFAULT_POISSON", "LayeredModel", "dispersion", "dispersion_batch", "gardner_density"]

#: Poisson's ratio taken where neither Vp nor a ratio is given: a common
#: value for unsaturated soils and weathered rock.
DEFAULT_POISSON = 0.3

_WAVES = ("rayleigh", "love")
_VELOCITIES = ("phase", "group")


def gardner_density(vp: ArrayLike) -> NDArray[np.float64]:
    """Density from P-wave velocity by Gardner's rule, rho = 310 Vp^0.25
    (kg/m^3, Vp in m/s; Gardner, Gardner & Gregory 1974, Geophysics 39,
    770-780).

    Parameters
    ----------
    vp : array_like
        P-wave velocities (m/s), positive.

    Returns
    -------
    ndarray
        Densities (kg/m^3), of the shape of `vp`.
    """
    return 310.0 * np.asarray(vp, dtype=np.float64) ** 0.25


def _vector(name: str, value: ArrayLike, length: Optional[int] = None) -> NDArray[np.float64]:
    arr = np.asarray(value)
    if arr.dtype.kind == "c" or arr.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be real numbers; got dtype {arr.dtype}")
    arr = np.array(np.atleast_1d(arr), dtype=np.float64)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be a 1-D sequence; got shape {arr.shape}")
    if length is not None and arr.size != length:
        raise ValueError(f"{name} must have {length} entries; got {arr.size}")
    return arr


def _frozen(arr: NDArray[np.float64]) -> NDArray[np.float64]:
    arr = np.array(arr, dtype=np.float64)
    arr.setflags(write=False)
    return arr


def _depth_array(name: str, value: ArrayLike) -> NDArray[np.float64]:
    z = np.asarray(value, dtype=np.float64)
    if not (np.isfinite(z).all() and (z >= 0).all()):
        raise ValueError(f"{name} must be finite and non-negative (m, downward from the surface)")
    return z


class LayeredModel:
    """Flat elastic layers over a half-space.

    Parameters
    ----------
    thickness : array_like, shape (L - 1,)
        Thicknesses of the layers above the half-space (m), from the surface
        down; empty for a uniform half-space.
    vs : array_like, shape (L,)
        Shear-wave velocities (m/s), the last of the half-space.
    vp : array_like, shape (L,), optional
        P-wave velocities (m/s). Where not given (None, or NaN entries) they
        follow from Poisson's ratio nu, Vp = Vs sqrt((2 - 2 nu) / (1 - 2 nu)).
    density : array_like, shape (L,), optional
        Densities (kg/m^3). Where not given (None, or NaN entries) Gardner's
        rule from Vp (:func:`gardner_density`).
    poisson : float or array_like, optional
        Poisson's ratio for the layers whose Vp is not given, in (-1, 0.5);
        default :data:`DEFAULT_POISSON` (0.3).

    Raises
    ------
    ValueError
        In one line naming the layer, for a thickness, velocity or density that
        is not positive and finite, or a bulk modulus that is not positive
        (Vp <= 2 Vs / sqrt(3)).

    Attributes
    ----------
    thickness : ndarray, shape (L - 1,)
    vs, vp, density : ndarray, shape (L,)
        Read-only float64 arrays.
    depth : ndarray, shape (L,)
        Depth of the top of each layer (m); 0 for the first.
    """

    def __init__(self, thickness: ArrayLike, vs: ArrayLike, vp: Optional[ArrayLike] = None,
                 density: Optional[ArrayLike] = None, *, poisson: Optional[ArrayLike] = None) -> None:
        s = _vector("vs", vs)
        if s.size < 1:
            raise ValueError("vs must hold at least one layer (the half-space)")
        layers = s.size
        h = _vector("thickness", thickness, layers - 1)
        for i, v in enumerate(h.tolist()):
            if not (math.isfinite(v) and v > 0):
                raise ValueError(f"layer {i}: thickness must be positive and finite; got {v!r} m")
        for i, v in enumerate(s.tolist()):
            if not (math.isfinite(v) and v > 0):
                raise ValueError(f"layer {i}: vs must be positive and finite; got {v!r} m/s")
        p = np.full(layers, np.nan) if vp is None else _vector("vp", vp, layers)
        missing = np.isnan(p)
        if poisson is not None and vp is not None and not missing.any():
            raise ValueError("poisson is used only for layers whose vp is not given; "
                             "give vp or poisson, not both")
        if missing.any():
            given = _vector("poisson", DEFAULT_POISSON if poisson is None else poisson)
            if given.size not in (1, layers):
                raise ValueError(f"poisson must be one value or one per layer ({layers}); got {given.size}")
            nu = np.broadcast_to(given, (layers,))
            for j in np.flatnonzero(missing):
                if not (-1.0 < nu[j] < 0.5):
                    raise ValueError(f"layer {j}: Poisson's ratio must lie in (-1, 0.5); got {float(nu[j])!r}")
            p = np.where(missing, s * np.sqrt((2 - 2 * nu) / (1 - 2 * nu)), p)
        for i, (a, b) in enumerate(zip(p.tolist(), s.tolist())):
            if not (math.isfinite(a) and a > 0):
                raise ValueError(f"layer {i}: vp must be positive and finite; got {a!r} m/s")
            if not 3.0 * a * a > 4.0 * b * b:
                raise ValueError(f"layer {i}: vp = {a:g} m/s must exceed 2 vs / sqrt(3) = "
                                 f"{2 * b / math.sqrt(3):g} m/s (a positive bulk modulus)")
        rho = np.full(layers, np.nan) if density is None else _vector("density", density, layers)
        rho = np.where(np.isnan(rho), gardner_density(p), rho)
        for i, v in enumerate(rho.tolist()):
            if not (math.isfinite(v) and v > 0):
                raise ValueError(f"layer {i}: density must be positive and finite; got {v!r} kg/m^3")
        self._thickness = _frozen(h)
        self._vs = _frozen(s)
        self._vp = _frozen(p)
        self._density = _frozen(rho)
        self._depth = _frozen(np.concatenate([[0.0], np.cumsum(h)]))

    @property
    def thickness(self) -> NDArray[np.float64]:
        """Thicknesses of the layers above the half-space (m), shape (L - 1,)."""
        return self._thickness

    @property
    def vs(self) -> NDArray[np.float64]:
        """Shear-wave velocities (m/s), shape (L,)."""
        return self._vs

    @property
    def vp(self) -> NDArray[np.float64]:
        """P-wave velocities (m/s), shape (L,)."""
        return self._vp

    @property
    def density(self) -> NDArray[np.float64]:
        """Densities (kg/m^3), shape (L,)."""
        return self._density

    @property
    def depth(self) -> NDArray[np.float64]:
        """Depths of the tops of the layers (m), shape (L,)."""
        return self._depth

    @property
    def layers(self) -> int:
        """The number of layers, the half-space included."""
        return int(self._vs.size)

    @property
    def poisson(self) -> NDArray[np.float64]:
        """Poisson's ratio of each layer, (Vp^2 - 2 Vs^2) / (2 (Vp^2 - Vs^2))."""
        a2, b2 = self._vp ** 2, self._vs ** 2
        return (a2 - 2 * b2) / (2 * (a2 - b2))

    def vs_at(self, depth: ArrayLike) -> NDArray[np.float64]:
        """Vs at the given depths (m): the value of the layer holding each
        depth, a boundary belonging to the layer below it.

        Parameters
        ----------
        depth : array_like
            Depths (m), finite and non-negative.

        Returns
        -------
        ndarray
            Vs (m/s), of the shape of `depth`.
        """
        z = _depth_array("depth", depth)
        return self._vs[np.searchsorted(self._depth, z, side="right") - 1]

    def vsz(self, z: float) -> float:
        """The time-averaged shear-wave velocity over the top `z` metres,
        z / sum(h_i / Vs_i) (the half-space extended as needed).

        Parameters
        ----------
        z : float
            Depth (m), positive.

        Returns
        -------
        float
            Vs_z (m/s).
        """
        if isinstance(z, bool) or not isinstance(z, (numbers.Real, np.floating, np.integer)):
            raise TypeError(f"z must be a real number; got {z!r}")
        z = float(z)
        if not (math.isfinite(z) and z > 0):
            raise ValueError(f"z must be a positive, finite depth (m); got {z!r}")
        top = self._depth
        bottom = np.concatenate([top[1:], [np.inf]])
        inside = np.clip(np.minimum(bottom, z) - top, 0.0, None)
        return z / float(np.sum(inside / self._vs))

    def vs30(self) -> float:
        """Vs30, the time-averaged shear-wave velocity over the top 30 m
        (:meth:`vsz` at 30 m)."""
        return self.vsz(30.0)

    def to_dict(self) -> dict[str, list[float]]:
        """The model as plain lists: thickness, vs, vp and density."""
        return {"thickness": self._thickness.tolist(), "vs": self._vs.tolist(),
                "vp": self._vp.tolist(), "density": self._density.tolist()}

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> LayeredModel:
        """A model from :meth:`to_dict`'s mapping (vp and density optional)."""
        missing = [k for k in ("thickness", "vs") if k not in data]
        if missing:
            raise ValueError(f"a layered model needs {' and '.join(missing)}; got keys {sorted(data)}")
        return cls(data["thickness"], data["vs"], data.get("vp"), data.get("density"),
                   poisson=data.get("poisson"))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, LayeredModel):
            return NotImplemented
        return all(np.array_equal(getattr(self, k), getattr(other, k))
                   for k in ("thickness", "vs", "vp", "density"))

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        def show(a: NDArray[np.float64]) -> str:
            return "[" + ", ".join(f"{v:.6g}" for v in a) + "]"
        return (f"LayeredModel(thickness={show(self._thickness)}, vs={show(self._vs)}, "
                f"vp={show(self._vp)}, density={show(self._density)})")


def _options(mode: object, wave: object, velocity: object) -> int:
    if isinstance(mode, bool) or not isinstance(mode, (numbers.Integral, np.integer)) or int(mode) < 0:
        raise ValueError(f"mode must be an integer, 0 or more (0: fundamental); got {mode!r}")
    if wave not in _WAVES:
        raise ValueError(f"wave must be 'rayleigh' or 'love'; got {wave!r}")
    if velocity not in _VELOCITIES:
        raise ValueError(f"velocity must be 'phase' or 'group'; got {velocity!r}")
    return int(mode)


def _frequencies(frequency: ArrayLike) -> NDArray[np.float64]:
    f = np.asarray(frequency)
    if f.dtype.kind not in "biuf":
        raise TypeError(f"frequency must be real numbers; got dtype {f.dtype}")
    f = np.ascontiguousarray(np.atleast_1d(f), dtype=np.float64)
    if f.ndim != 1:
        raise ValueError(f"frequency must be a 1-D array; got shape {f.shape}")
    bad = ~(np.isfinite(f) & (f > 0))
    if bad.any():
        j = int(np.flatnonzero(bad)[0])
        raise ValueError(f"frequency[{j}] must be positive and finite (Hz); got {f[j]!r}")
    return f


def dispersion(model: LayeredModel, frequency: ArrayLike, *, mode: int = 0, wave: str = "rayleigh",
               velocity: str = "phase") -> NDArray[np.float64]:
    """The dispersion curve of one mode of a layered model.

    Parameters
    ----------
    model : LayeredModel
    frequency : array_like, shape (F,)
        Frequencies (Hz), positive, in any order.
    mode : int
        0 for the fundamental mode, k for the (k + 1)-th root from below.
    wave : {"rayleigh", "love"}
    velocity : {"phase", "group"}

    Returns
    -------
    ndarray, shape (F,)
        Velocities (m/s); NaN where the mode does not exist (below its
        cut-off, or faster than the half-space's Vs, where it leaks).
    """
    if not isinstance(model, LayeredModel):
        raise TypeError(f"model must be a LayeredModel; got {type(model).__name__}")
    k = _options(mode, wave, velocity)
    f = _frequencies(frequency)
    out = _native._dispersion(model.thickness[None, :], model.vs[None, :], model.vp[None, :],
                              model.density[None, :], f, mode=k, wave=wave, velocity=velocity)
    return out[0]


def dispersion_batch(thickness: ArrayLike, vs: ArrayLike, vp: ArrayLike, density: ArrayLike,
                     frequency: ArrayLike, *, mode: int = 0, wave: str = "rayleigh",
                     velocity: str = "phase", workers: int = 1) -> NDArray[np.float64]:
    """Dispersion curves of many layered models with the same number of
    layers, in one native call (no Python per model).

    Parameters
    ----------
    thickness : array_like, shape (M, L - 1)
        Thicknesses (m).
    vs, vp, density : array_like, shape (M, L)
        Velocities (m/s) and densities (kg/m^3), the last column the
        half-space's. The models are checked in one pass (positive and finite,
        Vp > 2 Vs / sqrt(3)), not completed: give every column.
    frequency : array_like, shape (F,)
        Frequencies (Hz), positive.
    mode, wave, velocity
        As for :func:`dispersion`.
    workers : int
        Threads sharing the models; the results do not depend on it.

    Returns
    -------
    ndarray, shape (M, F)
        Velocities (m/s), NaN where the mode does not exist.
    """
    k = _options(mode, wave, velocity)
    if isinstance(workers, bool) or not isinstance(workers, (numbers.Integral, np.integer)) or workers < 1:
        raise ValueError(f"workers must be a positive integer; got {workers!r}")
    f = _frequencies(frequency)
    return _native._dispersion(thickness, vs, vp, density, f, mode=k, wave=wave, velocity=velocity,
                               workers=int(workers))
