# Type stubs of molvak._native: the package's native functions beyond the
# five of _molvak (see src/README.md).
from collections.abc import Sequence

import numpy as np
from numpy.typing import ArrayLike, NDArray

_FRange = Sequence[float | None] | None

# bins the slant-stack sweep forms per pass over a trace's samples
SLANT_BINS: int

def _sweep_phase_shift(spectrum: ArrayLike, frequencies: ArrayLike, offsets: ArrayLike,
                       phase_vel: ArrayLike, first: ArrayLike, last: ArrayLike,
                       out: np.ndarray) -> bool: ...
def _sweep_fdbf(spectrum: ArrayLike, frequencies: ArrayLike, offsets: ArrayLike,
                phase_vel: ArrayLike, first: ArrayLike, last: ArrayLike, out: np.ndarray,
                steering: str = ..., weighting: str = ...) -> bool: ...
def _sweep_slant_stack(data: ArrayLike, offsets: ArrayLike, phase_vel: ArrayLike, dt: float,
                       n: int, first_bin: int, first: ArrayLike, last: ArrayLike,
                       out: np.ndarray) -> None: ...
def _capon(data: ArrayLike, offsets: ArrayLike, phase_vels: ArrayLike, dt: float,
           f_range: _FRange = None, steering_method: str = "cylindrical",
           weighting: str = "sqrt", loading: float = 0.1, smoothing: int = 0,
           subarray: int = 0, n: int = 0,
           ) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...
def _hr_radon(data: ArrayLike, offsets: ArrayLike, phase_vels: ArrayLike, dt: float,
              f_range: _FRange = None, iterations: int = 8, damping: float = 0.1,
              sparseness: float = 1e-3, norm: str = "cauchy", n: int = 0,
              ) -> tuple[NDArray[np.float64], NDArray[np.complex128]]: ...
def _fk(data: ArrayLike, offsets: ArrayLike, phase_vels: ArrayLike, dt: float,
        f_range: _FRange = None, nk: int = 0, n: int = 0,
        ) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...
def _correlate_stack(
    block: ArrayLike | Sequence[ArrayLike],
    sources: ArrayLike,
    nfft: int,
    max_lag: int,
    taper: ArrayLike | None = None,
    normalization: str = "none",
    ram_half: int = 0,
    whiten: ArrayLike | None = None,
    whiten_half: int = 0,
    stacking: str = "linear",
    linear: NDArray[np.float64] | None = None,
    phasor: NDArray[np.complex128] | None = None,
    tile: int = 0,
) -> tuple[NDArray[np.float64], NDArray[np.complex128] | None]: ...
def _dispersion(thickness: ArrayLike, vs: ArrayLike, vp: ArrayLike, density: ArrayLike,
                frequency: ArrayLike, mode: int = 0, wave: str = "rayleigh",
                velocity: str = "phase", workers: int = 1) -> NDArray[np.float64]: ...
