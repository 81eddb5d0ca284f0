#!/usr/bin/env bash
# Builds and runs lanes_vs_highway.cpp: molvak's lane headers against Google
# Highway on the same loops, one thread, compiled for Haswell (AVX2 + FMA)
# and, where the processor has it, for Skylake-X (AVX-512). Needs g++ and
# libhwy-dev (apt-get install libhwy-dev); not part of the test run.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$here/../.."
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
build() {  # name, lane set, flags...
  local name="$1" set="$2"; shift 2
  g++ -std=c++17 -O2 "$@" -D"MOLVAK_LANES_$set" -DMOLVAK_HAVE_LIBMVEC -DHWY_COMPILE_ONLY_STATIC=1 \
    -I"$root/src/kernels" "$here/lanes_vs_highway.cpp" -o "$out/$name" -lmvec -lm
}
build avx2 AVX2 -march=haswell -maes
echo "== AVX2"; "$out/avx2"
if grep -q avx512dq /proc/cpuinfo; then
  build avx512 AVX512 -march=skylake-avx512 -maes
  echo "== AVX-512"; "$out/avx512"
fi
