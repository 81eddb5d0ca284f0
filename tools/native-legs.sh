#!/usr/bin/env bash
# The native legs of CI: `tools/native-legs.sh [gcc] [clang] [aarch64]` (all
# three by default). Each builds the C++ with warnings as errors and runs the
# kernels' unit tests through CTest:
#   gcc      GCC on this machine (x86-64), both modules and the unit tests;
#   clang    Clang (Debian's clang), and the whole test suite on its modules;
#   aarch64  a cross build for 64-bit ARM (Debian's g++-aarch64-linux-gnu and
#            the arm64 FFTW of multiarch), its unit tests run by qemu-user on
#            the scalar and the NEON lanes.
# Missing system packages are installed through apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
legs=("$@")
[ ${#legs[@]} -gt 0 ] || legs=(gcc clang aarch64)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
updated=0
apt_install() {
  local missing=()
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing system packages: ${missing[*]}" >&2
  if [ "$updated" = 0 ]; then $sudo apt-get update -qq; updated=1; fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

[ -x .venv/bin/python ] || tools/bootstrap.sh test
.venv/bin/python -m pip install -q cmake ninja
cmake=(.venv/bin/cmake -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" -DCMAKE_BUILD_TYPE=Release
       -DMOLVAK_TESTS=ON -DMOLVAK_WERROR=ON)

for leg in "${legs[@]}"; do
  echo "== native leg: $leg" >&2
  build="build/ci-$leg"
  case "$leg" in
    gcc)
      CXX=g++ "${cmake[@]}" -S . -B "$build" -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
      .venv/bin/cmake --build "$build"
      .venv/bin/ctest --test-dir "$build" --output-on-failure
      ;;
    clang)
      apt_install clang
      CXX=clang++ "${cmake[@]}" -S . -B "$build" -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
      .venv/bin/cmake --build "$build"
      .venv/bin/ctest --test-dir "$build" --output-on-failure
      PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}" .venv/bin/python -m pytest -q -p no:cacheprovider
      ;;
    aarch64)
      if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        $sudo dpkg --add-architecture arm64
        updated=0
      fi
      apt_install g++-aarch64-linux-gnu qemu-user libfftw3-dev:arm64
      "${cmake[@]}" -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/tools/aarch64-linux-gnu.cmake" \
        -DMOLVAK_PYTHON=OFF -DMOLVAK_STATIC_TESTS=ON >/dev/null
      .venv/bin/cmake --build "$build"
      # verbose: the log shows the sets the tests ran on (scalar, neon)
      .venv/bin/ctest --test-dir "$build" --output-on-failure --verbose
      ;;
    *)
      echo "unknown leg '$leg' (gcc, clang, aarch64)" >&2
      exit 2
      ;;
  esac
done
