# Type stubs of molvak._native: the package's native functions beyond the
# five of _molvak (see src/README.md).
import numpy as np
from numpy.typing import ArrayLike

def _sweep_phase_shift(spectrum: ArrayLike, frequencies: ArrayLike, offsets: ArrayLike,
                       phase_vel: ArrayLike, first: ArrayLike, last: ArrayLike,
                       out: np.ndarray) -> None: ...
def _sweep_fdbf(spectrum: ArrayLike, frequencies: ArrayLike, offsets: ArrayLike,
                phase_vel: ArrayLike, first: ArrayLike, last: ArrayLike, out: np.ndarray,
                steering: str = ..., weighting: str = ...) -> None: ...
def _sweep_slant_stack(data: ArrayLike, offsets: ArrayLike, phase_vel: ArrayLike, dt: float,
                       n: int, first_bin: int, first: ArrayLike, last: ArrayLike,
                       out: np.ndarray) -> None: ...
