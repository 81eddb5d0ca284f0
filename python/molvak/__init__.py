"""molvak: dispersion imaging of seismic surface waves.

From a multichannel record (an MASW shot gather or a DAS section: traces x
time samples, their offsets and the sample interval) molvak computes
dispersion images by slant stack, phase shift and frequency-domain
beamforming, and with high resolution by minimum-variance (Capon)
beamforming, the high-resolution Radon transform and the f-k transform;
it picks dispersion curves and stacks shots::

    import molvak
    image = molvak.phase_shift(data, offsets, dt, velocities=(50, 800, 1), fmax=100)
    curve = image.pick()
    curve.to_csv("curve.csv")
    image.plot()                     # needs the "plot" extra (matplotlib)

Field records come in through `molvak.read` (SEG-2 and SEG-Y through ObsPy,
NumPy files, delimited text) as `Gather` objects, and whole surveys go
through `molvak.process` on a thread pool or a Dask cluster::

    shots = [molvak.read(p).trim(0.0, 0.5) for p in paths]
    images = molvak.process(shots, "fdbf", velocities=(100, 500, 1), fmin=3, fmax=100)
    for image in molvak.iter_process(shots, "fdbf", ...):   # one at a time, as done
        image.save(...)

The estimators are listed once, in `molvak.estimators`, which every part of
the package (and the command line) reads.

The numerical work runs in the native module `_molvak`; this package needs
NumPy alone (matplotlib only for plotting, ObsPy only for SEG-2 and SEG-Y,
Dask only for clusters).
"""
from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import Callable

# The native module's five functions, under their own names: the module
# calls itself "molvak", so pickle finds them here (process pools, clusters).
from _molvak import _FDBF, _disp_slantstack, _phase_shift, _radon_transform, _rfft  # noqa: F401

from . import estimators
from ._review import review
from .batch import GatherError, iter_process, process
from .curves import (
    DispersionCurve,
    UncertainCurve,
    combine,
    read_curves,
    statistics,
    theoretical_modes,
    write_curves,
)
from .dvv import VelocityChange, dvv
from .estimators import (
    DeadTraceWarning,
    EmptyBandWarning,
    Spectrum,
    TauP,
    fdbf,
    highres,
    phase_shift,
    rfft,
    slant_stack,
    tau_p,
)
from .estimators.highres import *  # noqa: F403
from .gather import Gather, group_by_source, stack_gathers
from .image import DispersionImage, array_limits, stack
from .interferometry import CorrelationStack, correlate, virtual_gather
from .inversion import ConvergenceWarning, Inversion, Target, invert, surface_amplitude
from .io import read, read_shots
from .io.records import RecordWarning, open_record, shot_gathers, windows
from .layered import LayeredModel, dispersion, dispersion_batch
from .stacking import restack, substacks
from .sweeps import PseudoSection, Sweep, sweep
from .timelapse import TimeLapse, timelapse
from .vs_section import VsSection, invert_sweep

__version__ = "0.1.0"


class _Functions(Mapping[str, Callable[..., DispersionImage]]):
    """The estimator functions by name, read from :mod:`molvak.estimators`
    (so an estimator registered later appears here too)."""

    def __getitem__(self, name: str) -> Callable[..., DispersionImage]:
        if name not in estimators.names():
            raise KeyError(name)
        return estimators.get(name).function

    def __iter__(self) -> Iterator[str]:
        return iter(estimators.names())

    def __len__(self) -> int:
        return len(estimators.names())

    def __repr__(self) -> str:
        return f"ESTIMATORS({', '.join(estimators.names())})"


ESTIMATORS: Mapping[str, Callable[..., DispersionImage]] = _Functions()

__all__ = ["DeadTraceWarning", "EmptyBandWarning", "DispersionCurve", "DispersionImage", "ESTIMATORS", "Gather",
           "GatherError", "Spectrum", "TauP", "UncertainCurve", "array_limits", "combine",
           "estimators", "fdbf", "group_by_source", "iter_process", "phase_shift", "process",
           "read", "read_curves", "read_shots", "review", "rfft", "slant_stack", "stack", "stack_gathers",
           "statistics", "tau_p", "theoretical_modes", "write_curves", "__version__"]
__all__ += ["PseudoSection", "Sweep", "sweep"]
__all__ += ["ConvergenceWarning", "Inversion", "Target", "VsSection", "invert", "invert_sweep",
            "surface_amplitude"]
# The high-resolution estimators: whatever molvak.estimators.highres exports, so an
# estimator added there needs no line here.
__all__ += highres.__all__
__all__ += ["CorrelationStack", "RecordWarning", "TimeLapse", "correlate", "open_record",
            "shot_gathers", "timelapse", "virtual_gather", "windows"]
__all__ += ["VelocityChange", "dvv", "restack", "substacks"]
__all__ += ["LayeredModel", "dispersion", "dispersion_batch"]
