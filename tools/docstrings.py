"""Lists the public names of the molvak package that have no docstring.

`python tools/docstrings.py` prints, for the package as imported, every public
name (and every public method and property of a public class) without a
docstring, then a line counting the documented ones; it exits with status 1
when one lacks a docstring. The documentation build (docs/conf.py) runs the
same check, so the API reference stays complete.

Public means: the names in a public module's ``__all__`` (or, for a module
without one, the functions and classes it defines under names without a
leading underscore), in every module of the package whose dotted name has no
part starting with an underscore, and, for each public class, the methods,
class methods and properties its own body defines.

Where numpydoc is installed (the ``docs`` extra), every public docstring must
also parse as numpydoc without a warning (a section heading whose underline
does not match, an unknown section): numpydoc only warns about those, and the
page would show them mangled.
"""
from __future__ import annotations

import importlib
import inspect
import pkgutil
import sys
import warnings
from types import ModuleType


def public_modules(package: str = "molvak") -> list[ModuleType]:
    """The package and its submodules whose dotted names have no private part."""
    root = importlib.import_module(package)
    found = [root]
    for info in pkgutil.walk_packages(root.__path__, prefix=f"{package}."):
        if any(part.startswith("_") for part in info.name.split(".")):
            continue
        found.append(importlib.import_module(info.name))
    return found


def _own_names(module: ModuleType) -> list[str]:
    names = getattr(module, "__all__", None)
    if names is not None:
        return [n for n in names if not n.startswith("__")]
    return [n for n, obj in vars(module).items()
            if not n.startswith("_") and (inspect.isfunction(obj) or inspect.isclass(obj))
            and getattr(obj, "__module__", None) == module.__name__]


def _members(cls: type) -> list[tuple[str, object]]:
    out = []
    for name, raw in vars(cls).items():
        if name.startswith("_"):
            continue
        if isinstance(raw, (staticmethod, classmethod)):
            out.append((name, raw.__func__))
        elif isinstance(raw, property) or inspect.isfunction(raw):
            out.append((name, raw))
    return out


def _documented(obj: object) -> bool:
    doc = obj.__doc__ if isinstance(obj, property) else inspect.getdoc(obj)
    if inspect.isclass(obj) and obj.__doc__ is None:
        return False
    if inspect.isclass(obj) and doc is not None:
        # a NamedTuple or dataclass without its own docstring gets a generated one
        own = vars(obj).get("__doc__")
        if own is None or own.startswith(f"{obj.__name__}("):
            return False
    return bool(doc and doc.strip())


def public_names(package: str = "molvak") -> dict[str, bool]:
    """Every public name, dotted, mapped to whether it has a docstring."""
    return {name: _documented(obj) for name, obj in public_objects(package).items()}


def numpydoc_problems(package: str = "molvak") -> list[str]:
    """The public names whose docstrings numpydoc parses only with a warning
    or not at all, each with what numpydoc said; [] without numpydoc."""
    try:
        from numpydoc.docscrape import NumpyDocString
    except ImportError:
        return []
    problems = []
    for name, obj in public_objects(package).items():
        doc = obj.__doc__ if isinstance(obj, property) else getattr(obj, "__doc__", None)
        if not doc:
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            try:
                NumpyDocString(inspect.cleandoc(doc))
            except Exception as exc:
                problems.append(f"{name}: {exc}")
    return problems


def public_objects(package: str = "molvak") -> dict[str, object]:
    """Every public object by its dotted name (each object once)."""
    seen: dict[str, object] = {}
    ids: set[int] = set()
    for module in public_modules(package):
        for name in _own_names(module):
            obj = getattr(module, name)
            if isinstance(obj, ModuleType):
                continue
            if not (inspect.isfunction(obj) or inspect.isclass(obj) or callable(obj)):
                continue             # constants: described by their module
            if id(obj) in ids:
                continue
            ids.add(id(obj))
            home = getattr(obj, "__module__", None) or module.__name__
            if not (home.startswith(package)):
                home = module.__name__
            qual = f"{module.__name__}.{name}"
            seen[qual] = obj
            if inspect.isclass(obj):
                for member, raw in _members(obj):
                    seen[f"{qual}.{member}"] = raw
    return seen


def main(argv: list[str]) -> int:
    names = public_names()
    missing = [n for n, ok in names.items() if not ok]
    for name in missing:
        print(name)
    print(f"{len(names) - len(missing)} of {len(names)} public names documented")
    problems = numpydoc_problems()
    for problem in problems:
        print(problem)
    return 1 if missing or problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
