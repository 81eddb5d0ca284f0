"""molvak: dispersion imaging of seismic surface waves.

From a multichannel record (an MASW shot gather or a DAS section: traces x
time samples, their offsets and the sample interval) molvak computes
dispersion images by slant stack, phase shift and frequency-domain
beamforming, picks dispersion curves and stacks shots::

    import molvak
    image = molvak.phase_shift(data, offsets, dt, velocities=(50, 800, 1), fmax=100)
    curve = image.pick()
    curve.to_csv("curve.csv")
    image.plot()                     # needs the "plot" extra (matplotlib)

The numerical work runs in the native module `_molvak`; this package needs
NumPy alone (matplotlib only for plotting).
"""
from __future__ import annotations

from .image import DispersionCurve, DispersionImage, array_limits, stack
from .transforms import (DeadTraceWarning, Spectrum, TauP, fdbf, phase_shift, rfft,
                         slant_stack, tau_p)

__version__ = "0.1.0"

ESTIMATORS = {"slant_stack": slant_stack, "phase_shift": phase_shift, "fdbf": fdbf}

__all__ = ["DeadTraceWarning", "DispersionCurve", "DispersionImage", "ESTIMATORS", "Spectrum",
           "TauP", "array_limits", "fdbf", "phase_shift", "rfft", "slant_stack", "stack",
           "tau_p", "__version__"]
