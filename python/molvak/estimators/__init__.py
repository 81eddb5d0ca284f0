"""The dispersion estimators and their registry: one entry per method.

The package holds the shared preparation of every estimator
(:mod:`~molvak.estimators.prepare`: arguments, dead traces, threads over
velocity chunks, the image and its finiteness), the classic estimators
(:mod:`~molvak.estimators.classic`: slant stack, phase shift, beamforming,
the tau-p transform and the FFT) and the high-resolution ones
(:mod:`~molvak.estimators.highres`: Capon, high-resolution Radon, f-k),
each registering itself; the table itself is :mod:`molvak._registry`,
below the images, so that every layer may look a method up.

Everything that offers a choice of method reads this table: the package's
``ESTIMATORS``, :func:`molvak.process`, :meth:`Gather.image`, the command
line (``--method`` and each estimator's own flags) and the plot titles. A new
estimator is its function (``function(data, offsets, dt, *, velocities, fmin,
fmax, df, workers, keep_dead, **options)`` returning a
:class:`~molvak.DispersionImage`) and one :func:`register` call, below or in
the function's own module (the high-resolution estimators register
themselves at the end of :mod:`molvak.estimators.highres`)::

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

from .._registry import (
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
from ..image import DispersionImage

# importing classic, then highres, registers their estimators in that order
from .classic import BEAM_OPTIONS, Spectrum, TauP, fdbf, phase_shift, rfft, slant_stack, tau_p
from .highres import capon, fk, hr_radon
from .prepare import DeadTraceWarning, EmptyBandWarning

if TYPE_CHECKING:
    pass

__all__ = ["BEAM_OPTIONS", "COMMON_OPTIONS", "RECORD_PARAMS", "DeadTraceWarning",
           "EmptyBandWarning", "Estimator", "Option", "Spectrum", "TauP", "capon", "entries", "fdbf",
           "fk", "get", "hr_radon", "image", "keep_record", "label", "names", "phase_shift",
           "register", "rfft", "set_sweep", "slant_stack", "tau_p"]

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
