#!/usr/bin/env bash
# Builds the extension into a private directory for development, without
# installing it: `tools/dev-build.sh [BUILD_DIR] [extra cmake args]`, then run
# tests with PYTHONPATH=BUILD_DIR. Several build directories can coexist.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build/dev}"
shift || true
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
cmake --build "$build" >&2
cp "$build"/_molvak*.so "$build/" 2>/dev/null || true
