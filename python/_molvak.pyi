"""Type stubs for the native extension module `_molvak`."""
from collections.abc import Sequence

import numpy as np
from numpy.typing import ArrayLike, NDArray

_FRange = Sequence[float | None] | None

def _radon_transform(
    data: ArrayLike,
    offsets: ArrayLike,
    slowness: ArrayLike,
    dt: float,
    t0: float,
    t_eval: ArrayLike | None = None,
    moveout_type: int = 0,
) -> NDArray[np.float64]: ...
def _disp_slantstack(
    data: ArrayLike,
    offsets: ArrayLike,
    time: ArrayLike,
    phase_vel: ArrayLike,
    dt: float,
    f_range: _FRange = None,
    n: int = 0,
) -> tuple[NDArray[np.float64], NDArray[np.complex128]]: ...
def _rfft(
    array: ArrayLike,
    axis: int = -1,
    stepsize: float = 1.0,
    n: int = 0,
) -> NDArray[np.complex128]: ...
def _phase_shift(
    data: ArrayLike,
    offset: ArrayLike,
    phase_vel: ArrayLike,
    dt: float,
    f_range: _FRange = None,
    n: int = 0,
) -> tuple[NDArray[np.float64], NDArray[np.complex128]]: ...
def _FDBF(
    data: ArrayLike,
    offsets: ArrayLike,
    phase_vels: ArrayLike,
    dt: float,
    f_range: _FRange = None,
    steering_method: str = ...,
    weighting: str = ...,
    n: int = 0,
) -> tuple[NDArray[np.float64], NDArray[np.complex128]]: ...
