#!/usr/bin/env bash
# Runs the test suite with the module as built (against NumPy 2.x headers)
# under NumPy 1.26 in a second environment, .venv-numpy1: the 1.x layout
# takes the fallback import name and the 1.20 C-API level must suffice.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || tools/bootstrap.sh test
built="$(.venv/bin/python -c 'import _molvak; print(_molvak.__file__)')"
native="$(.venv/bin/python -c 'import molvak._native as n; print(n.__file__)')"
if [ ! -x .venv-numpy1/bin/python ]; then
  python3 -m venv .venv-numpy1
fi
.venv-numpy1/bin/python -m pip install -q --upgrade pip
.venv-numpy1/bin/python -m pip install -q "numpy==1.26.*" "scipy>=1.11,<1.14" "matplotlib>=3.7,<3.10" pytest hypothesis
dir="build/numpy1"
mkdir -p "$dir"
cp "$built" "$dir/"
# the package from the sources, with the built molvak._native inside it
rm -rf "$dir/molvak"
cp -r python/molvak "$dir/molvak"
cp "$native" "$dir/molvak/"
echo "NumPy $(.venv-numpy1/bin/python -c 'import numpy; print(numpy.__version__)') run" >&2
PYTHONPATH="$PWD/$dir" .venv-numpy1/bin/python -m pytest -q -p no:cacheprovider "$@"
