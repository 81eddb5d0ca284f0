#!/usr/bin/env bash
# Installs, through apt-get and only when missing, the system packages that
# building molvak needs: a C++ compiler, pkg-config, FFTW's development
# package, and Debian's python3-venv and python3-dev (venv and the C headers
# live in packages of their own there). `tools/system-packages.sh NAME`
# prefixes what it says on stderr with NAME (the calling script's).
set -euo pipefail
name="${1:-system-packages}"
missing=()
command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v pkg-config >/dev/null 2>&1 || missing+=(pkg-config)
python3 -c "import ensurepip" >/dev/null 2>&1 || missing+=(python3-venv)
python3 -c "import os, sysconfig; assert os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h'))" \
  >/dev/null 2>&1 || missing+=(python3-dev)
if ! pkg-config --exists fftw3 2>/dev/null; then missing+=(libfftw3-dev); fi
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "$name: installing system packages: ${missing[*]} (apt-get)" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
