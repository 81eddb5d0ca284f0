#!/usr/bin/env bash
# Installs what molvak needs on a fresh Debian/Ubuntu machine and the package
# itself into ./.venv: `tools/bootstrap.sh [EXTRAS]` (e.g. "test").
# System packages (through apt-get, only when missing): libfftw3-dev, pkg-config.
set -euo pipefail
cd "$(dirname "$0")/.."
extras="${1:-}"

missing=()
command -v pkg-config >/dev/null 2>&1 || missing+=(pkg-config)
if ! pkg-config --exists fftw3 2>/dev/null; then missing+=(libfftw3-dev); fi
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing system packages: ${missing[*]}" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  python3 -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
if [ -n "$extras" ]; then
  .venv/bin/python -m pip install -q ".[$extras]"
else
  .venv/bin/python -m pip install -q .
fi
