"""The registry of dispersion estimators: one entry per method.

Everything that offers a choice of method reads this table: the package's
``ESTIMATORS``, :func:`molvak.process`, :meth:`Gather.image`, the command
line (``--method`` and each estimator's own flags) and the plot titles. A new
estimator is its function (``function(data, offsets, dt, *, velocities, fmin,
fmax, df, workers, keep_dead, **options)`` returning a
:class:`~molvak.DispersionImage`) and one :func:`register` call, below or in
the function's own module (the high-resolution estimators register
themselves at the end of :mod:`molvak.highres`)::

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

import dataclasses
import inspect
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Optional, Union

from . import _checks
from .image import DispersionImage
from .transforms import fdbf, phase_shift, slant_stack

if TYPE_CHECKING:
    from .gather import Gather

__all__ = ["BEAM_OPTIONS", "COMMON_OPTIONS", "RECORD_PARAMS", "Estimator", "Option", "entries", "get", "image",
           "label", "names", "register", "set_sweep"]

# The keywords every estimator takes, besides (data, offsets, dt): the grids,
# the threads and the dead-trace policy. The command line has one flag each.
COMMON_OPTIONS = ("velocities", "fmin", "fmax", "df", "workers", "keep_dead")

# The gather headers an image keeps in its params, where the gather has them:
# what the record tells the picks' flags (the gauge length of a fibre-optic
# record bounds the wavelengths it resolves).
RECORD_PARAMS = ("gauge_length",)


@dataclass(frozen=True)
class Option:
    """A keyword of one estimator beyond the common ones.

    Attributes
    ----------
    name : str
        The keyword of the estimator function.
    default : object
        Its default; must equal the function's own.
    help : str
        One line for ``--help``.
    choices : tuple, optional
        The values allowed.
    type : callable, optional
        Converts the command-line text (default: the type of `default`;
        booleans become a ``--flag`` / ``--no-flag`` pair).
    """

    name: str
    default: Any
    help: str
    choices: Optional[tuple[Any, ...]] = None
    type: Optional[Callable[[str], Any]] = None

    @property
    def flag(self) -> str:
        """The command-line flag of the option (``--name-with-dashes``)."""
        return "--" + self.name.replace("_", "-")

    @property
    def convert(self) -> Callable[[str], Any]:
        """The function that turns the option's command-line text into its
        value: its declared type, else the type of its default (str without one)."""
        if self.type is not None:
            return self.type
        if self.default is None:
            return str
        return type(self.default)


@dataclass(frozen=True)
class Estimator:
    """One dispersion estimator.

    Attributes
    ----------
    name : str
        The method's name (``method="fdbf"``, ``--method fdbf``), also the
        last part of output file names: letters, digits and underscores.
    function : callable
        ``function(data, offsets, dt, *, velocities, ..., **options)``.
    label : str
        A reader's name, for plot titles.
    summary : str
        One line for ``--help``.
    options : tuple of Option
        Its keywords beyond :data:`COMMON_OPTIONS`.
    demo : bool
        Shown by ``molvak demo``, whose check holds its picks to 1 %.
    sweep : callable, optional
        The native sub-array sweep of the estimator (see :mod:`molvak.sweeps`,
        which fills this in), or None when :func:`molvak.sweep` cannot sweep
        with it.
    """

    name: str
    function: Callable[..., DispersionImage]
    label: str
    summary: str
    options: tuple[Option, ...] = ()
    demo: bool = False
    sweep: Optional[Callable[..., Any]] = None

    def defaults(self) -> dict[str, Any]:
        """The estimator's own options with their defaults."""
        return {o.name: o.default for o in self.options}


_REGISTRY: dict[str, Estimator] = {}


def register(entry: Estimator) -> Estimator:
    """Add an estimator to the table; refused when the name is taken, is
    not a plain identifier, or an option contradicts the function."""
    if not isinstance(entry, Estimator):
        raise TypeError(f"register takes an Estimator; got {type(entry).__name__}")
    if not entry.name.isidentifier() or entry.name.startswith("_"):
        raise ValueError(f"estimator names are identifiers (letters, digits, underscores); "
                         f"got {entry.name!r}")
    if entry.name in _REGISTRY:
        raise ValueError(f"an estimator named {entry.name!r} is registered already")
    try:
        signature: Optional[inspect.Signature] = inspect.signature(entry.function)
    except (TypeError, ValueError):     # a builtin without a signature
        signature = None
    for option in entry.options:
        if option.name in COMMON_OPTIONS:
            raise ValueError(f"{entry.name}: option {option.name!r} is one of the common "
                             f"options {COMMON_OPTIONS}")
        if signature is not None:
            param = signature.parameters.get(option.name)
            if param is None or param.default != option.default:
                raise ValueError(f"{entry.name}: option {option.name!r} (default "
                                 f"{option.default!r}) does not match the function's keyword")
        for other in _REGISTRY.values():
            for theirs in other.options:
                if theirs.name == option.name and (theirs.choices, theirs.convert) != (
                        option.choices, option.convert):
                    raise ValueError(f"{entry.name}: option {option.name!r} differs from "
                                     f"{other.name}'s option of the same name")
    _REGISTRY[entry.name] = entry
    return entry


def set_sweep(name: str, engine: Callable[..., Any]) -> None:
    """Give a registered estimator its sub-array sweep engine:
    ``engine(plan, out, progress)`` writes every swept window's image into
    `out` and returns True when every value it wrote is finite, False when
    one is not, or None when it did not look (the images are then checked
    afterwards)."""
    _REGISTRY[name] = dataclasses.replace(get(name), sweep=engine)


def names() -> tuple[str, ...]:
    """The registered methods, in order of registration."""
    return tuple(_REGISTRY)


def entries() -> tuple[Estimator, ...]:
    """Every registered estimator's :class:`Estimator` entry, in the order
    they were registered."""
    return tuple(_REGISTRY.values())


def get(method: object) -> Estimator:
    """The entry of a method name; ValueError naming the choices otherwise."""
    return _REGISTRY[_checks.choice("method", method, names())]


def image(gather: Gather, method: Union[str, Callable[..., DispersionImage]],
          **options: Any) -> DispersionImage:
    """The dispersion image of a gather by a registered method, or by a
    function called as one (``function(data, offsets, dt, **options)``),
    with the gather's :data:`RECORD_PARAMS` headers in its params."""
    function = method if callable(method) else get(method).function
    result = function(gather.data, gather.offsets, gather.dt, **options)
    if isinstance(result, DispersionImage):
        for key in RECORD_PARAMS:
            if key in gather.headers:
                result.params.setdefault(key, gather.headers[key])
    return result


def label(method: str) -> str:
    """A reader's name for an image's method; "stack:<method>" reads as
    "<label>, stack", an unknown method as itself."""
    if method.startswith("stack:"):
        return f"{label(method[6:])}, stack"
    entry = _REGISTRY.get(method)
    return entry.label if entry is not None else method


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
