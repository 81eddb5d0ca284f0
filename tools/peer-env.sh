#!/usr/bin/env bash
# Makes the environment of the peer that bench/bench_peer_allpairs.py runs
# against: NoisePy (PyPI noisepy-seis, pinned release) in .venv-peer, from a
# Python 3.10 (its releases install on 3.10 only). `tools/peer-env.sh [DIR]`;
# PEER_PYTHON names the interpreter, else python3.10 on PATH or pyenv's.
# Idempotent: an environment that already imports the pinned release is kept.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
venv="${1:-$here/.venv-peer}"
release="noisepy-seis==0.9.93"

if [ -x "$venv/bin/python" ] && "$venv/bin/python" - <<'EOF' 2>/dev/null
import sys
from importlib.metadata import version
import noisepy.seis  # noqa: F401
sys.exit(0 if sys.version_info[:2] == (3, 10) and version("noisepy-seis") == "0.9.93" else 1)
EOF
then
  echo "peer-env: $venv already holds $release"
  exit 0
fi

python="${PEER_PYTHON:-}"
if [ -z "$python" ]; then
  for candidate in python3.10 "$(pyenv root 2>/dev/null)/versions/3.10"*/bin/python3.10; do
    if command -v "$candidate" >/dev/null 2>&1 \
        && "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 10))' 2>/dev/null; then
      python="$(command -v "$candidate")"
      break
    fi
  done
fi
if [ -z "$python" ]; then
  echo "peer-env: no Python 3.10 found (NoisePy installs on 3.10 only): put python3.10 on PATH, install it with pyenv, or set PEER_PYTHON" >&2
  exit 1
fi

if [ -e "$venv" ] && ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 10))' 2>/dev/null; then
  echo "peer-env: $venv exists and is not a Python 3.10 environment: remove it or name another folder" >&2
  exit 1
fi
echo "peer-env: $release into $venv (with $python)"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q "$release"
"$venv/bin/python" -c "import noisepy.seis; print('peer-env: ready:', noisepy.seis.__name__)"
