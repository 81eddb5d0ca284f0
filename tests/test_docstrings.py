"""The documentation's completeness: every public name has a docstring, every
exported function says its parameters in numpydoc's section, and the API
reference lists every exported name (tools/docstrings.py, docs/api.rst)."""
import inspect
import re
import sys
from pathlib import Path

import pytest

import molvak

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
from docstrings import numpydoc_problems, public_names  # noqa: E402


def test_every_public_name_has_a_docstring():
    names = public_names()
    missing = [name for name, ok in names.items() if not ok]
    assert not missing, f"public names without a docstring: {missing}"
    # the walk reaches the package's corners: classes' methods and properties,
    # the readers of molvak.io, the synthetic records
    for name in ("molvak.DispersionImage.pick", "molvak.DispersionImage.shape",
                 "molvak.io.detect_format", "molvak.synthetic.default_gather"):
        assert name in names


def test_docstrings_read_as_numpydoc():
    pytest.importorskip("numpydoc", reason="numpydoc comes with the docs extra")
    problems = numpydoc_problems()
    assert not problems, "\n".join(problems)


def test_exported_functions_have_parameter_sections():
    lacking = []
    for name in molvak.__all__:
        obj = getattr(molvak, name)
        if not inspect.isfunction(obj) or not inspect.signature(obj).parameters:
            continue
        doc = inspect.getdoc(obj) or ""
        if not re.search(r"^Parameters\n-{10}$", doc, re.M):
            lacking.append(name)
    assert not lacking, f"exported functions without a Parameters section: {lacking}"


def test_the_api_reference_lists_every_exported_name():
    api = (ROOT / "docs" / "api.rst").read_text(encoding="utf-8")
    listed = set(re.findall(r"^   (\w+)$", api, re.M))
    assert set(molvak.__all__) - {"__version__"} <= listed
