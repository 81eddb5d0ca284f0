"""Type stubs for the extension module `molvak._native`: one entry per
function registered in CMakeLists.txt."""
from collections.abc import Sequence

import numpy as np
from numpy.typing import ArrayLike, NDArray

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
) -> tuple[NDArray[np.float64], NDArray[np.complex128] | None]: ...
