#!/usr/bin/env bash
# Builds the documentation site into docs/_build/html, warnings as errors:
# first installs what is missing (tools/bootstrap.sh docs: the package with its
# `docs` extra into .venv, as for the tests), then checks that every public
# name has a docstring (docs/conf.py runs tools/docstrings.py), generates the
# API reference, runs every gallery example (docs/examples/plot_*.py) for its
# pictures and writes the pages. A fresh build each time, so an example that
# a change of the package breaks fails here.
# `PYTHON=path/to/python tools/docs.sh` builds with that interpreter's
# environment as it is, installing nothing; further arguments go to sphinx-build.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${PYTHON:-}" ]; then
  tools/bootstrap.sh docs
  PYTHON=.venv/bin/python
fi
rm -rf docs/_build docs/auto_examples docs/generated docs/sg_execution_times.rst
start=$(date +%s)
echo "docs: sphinx-build -W --keep-going -b html docs docs/_build/html" >&2
MPLBACKEND=Agg BROWSER=true "$PYTHON" -m sphinx -W --keep-going -q -b html docs docs/_build/html "$@"
echo "docs: docs/_build/html/index.html written in $(( $(date +%s) - start )) s" >&2
