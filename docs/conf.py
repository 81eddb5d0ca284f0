"""Sphinx configuration of molvak's documentation site.

Built by `tools/docs.sh` (warnings are errors): the pages under docs/, the user
guides (docs/guide/*.rst, picked up by glob), the API reference generated from
the docstrings (autodoc, autosummary and numpydoc) and the gallery of
docs/examples/plot_*.py, each example run at build time for its pictures.
"""
from __future__ import annotations

import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "tools"))

from docstrings import numpydoc_problems, public_names  # noqa: E402

import molvak  # noqa: E402

# every public name documented: the build stops here otherwise
_missing = [name for name, ok in public_names().items() if not ok]
if _missing:
    raise RuntimeError("public names without a docstring (python tools/docstrings.py): "
                       + ", ".join(_missing))

# and every docstring reads as numpydoc without a warning
_problems = numpydoc_problems()
if _problems:
    raise RuntimeError("docstrings numpydoc cannot read cleanly:\n" + "\n".join(_problems))

# every name the package exports is in the API reference
_api = (HERE / "api.rst").read_text(encoding="utf-8")
_unlisted = [name for name in molvak.__all__
             if name != "__version__" and f"\n   {name}\n" not in _api]
if _unlisted:
    raise RuntimeError("names of molvak.__all__ missing from docs/api.rst: " + ", ".join(_unlisted))

project = "molvak"
author = "the molvak developers"
copyright = "the molvak developers, MIT licence"
version = release = molvak.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "sphinx.ext.viewcode",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
]

exclude_patterns = ["_build", "**.ipynb_checkpoints", "examples/GALLERY_HEADER.rst"]
templates_path = ["_templates"]
html_static_path = ["_static"]
# `name` in a docstring links to that Python object where one exists
default_role = "py:obj"

# API reference
autosummary_generate = True
autosummary_imported_members = False
autodoc_default_options = {"members": True, "inherited-members": False, "show-inheritance": False}
autodoc_typehints = "none"           # the numpydoc Parameters sections say the types
autodoc_member_order = "bysource"
numpydoc_show_class_members = False  # the class template lists them
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

# the gallery: every docs/examples/plot_*.py runs at build time, headless
os.environ.setdefault("MPLBACKEND", "Agg")
os.environ.setdefault("BROWSER", "true")        # the review example opens no browser
sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "within_subsection_order": "FileNameSortKey",
    "download_all_examples": False,
    "remove_config_comments": True,
    "abort_on_example_error": False,
    "only_warn_on_example_error": False,
    "show_memory": False,
    "plot_gallery": "True",
    "reference_url": {"molvak": None},
    "backreferences_dir": None,
}

html_theme = "pydata_sphinx_theme"
html_title = f"molvak {release}"
html_theme_options = {
    "navbar_align": "left",
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
}
html_show_sourcelink = False


def _native_docstrings(app, what, name, obj, options, lines):
    """The native module's docstrings write absolute values as |x|, which
    reStructuredText would read as substitutions: escape the bars there."""
    import _molvak
    if getattr(_molvak, getattr(obj, "__name__", ""), None) is obj:
        lines[:] = [line.replace("|", "\\|") for line in lines]


def setup(app):
    app.connect("autodoc-process-docstring", _native_docstrings, priority=400)
