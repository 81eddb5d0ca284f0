"""The table of dispersion estimators itself: the entries, their options and
the look-ups every layer may use (a method's label in a plot title, its
options on the command line). :mod:`molvak.estimators` fills it with the
classic estimators; :mod:`molvak.estimators.highres` adds its own.
"""
from __future__ import annotations

import dataclasses
import inspect
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Optional

from . import _checks

if TYPE_CHECKING:
    from .image import DispersionImage

# The keywords every estimator takes, besides (data, offsets, dt): the grids,
# the threads and the dead-trace policy. The command line has one flag each.
COMMON_OPTIONS = ("velocities", "fmin", "fmax", "df", "workers", "keep_dead")


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


def label(method: str) -> str:
    """A reader's name for an image's method; "stack:<method>" reads as
    "<label>, stack", an unknown method as itself."""
    if method.startswith("stack:"):
        return f"{label(method[6:])}, stack"
    entry = _REGISTRY.get(method)
    return entry.label if entry is not None else method
