"""The registry of dispersion estimators: one entry per method.

Everything that offers a choice of method reads this table: the package's
``ESTIMATORS``, :func:`molvak.process`, :meth:`Gather.image`, the command
line (``--method`` and each estimator's own flags) and the plot titles. A new
estimator is its function (``function(data, offsets, dt, *, velocities, fmin,
fmax, df, workers, keep_dead, **options)`` returning a
:class:`~molvak.DispersionImage`) and one :func:`register` call, below or in
the function's own module (the high-resolution estimators register
themselves at the end of :mod:`molvak.highres`):

    register(Estimator(
        "fk", fk, label="Frequency-wavenumber (f-k)",
        summary="2-D Fourier transform of the gather, wavenumber to velocity",
        options=(Option("window", "hann", choices=("hann", "none"),
                        help="taper across the traces"),)))

An option's command-line flag is its name with dashes (``--window``); its
type comes from its default unless given. Two estimators may declare the same
option name when they agree on its flag, choices and type.

Gathers are imaged through :func:`image` (by :meth:`Gather.image` and
:func:`molvak.process`), which also keeps in the image's params what the
gather's headers say about the record and the picks' flags need
(:data:`RECORD_PARAMS`: the gauge length of a fibre-optic record).
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Union

from ._registry import (
    COMMON_OPTIONS,
    Estimator,
    Option,
    entries,
    get,
    label,
    names,
    register,
    set_sweep,
)
from .image import DispersionImage
from .transforms import fdbf, phase_shift, slant_stack

if TYPE_CHECKING:
    pass

__all__ = ["BEAM_OPTIONS", "COMMON_OPTIONS", "RECORD_PARAMS", "Estimator", "Option", "entries",
           "get", "image", "keep_record", "label", "names", "register", "set_sweep"]

# The gather headers an image keeps in its params, where the gather has them:
# what the record tells the picks' flags (the gauge length of a fibre-optic
# record bounds the wavelengths it resolves).
RECORD_PARAMS = ("gauge_length",)


def image(gather: Any, method: Union[str, Callable[..., DispersionImage]],
          **options: Any) -> DispersionImage:
    """The dispersion image of a gather by a registered method, or by a
    function called as one (``function(data, offsets, dt, **options)``),
    with the gather's :data:`RECORD_PARAMS` headers in its params.

    Every caller that images a gather comes through here (or, for the
    images a sweep computes together, through :func:`keep_record`), so
    that what the record says reaches the picks' flags whichever way the
    image was made."""
    function = method if callable(method) else get(method).function
    result = function(gather.data, gather.offsets, gather.dt, **options)
    if isinstance(result, DispersionImage):
        keep_record(gather, result)
    return result


def keep_record(gather: Any, image: DispersionImage) -> DispersionImage:
    """Keep in the image's params the gather's :data:`RECORD_PARAMS`
    headers (where it has them and the params do not say otherwise)."""
    headers = getattr(gather, "headers", None) or {}
    for key in RECORD_PARAMS:
        if key in headers:
            image.params.setdefault(key, headers[key])
    return image


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
