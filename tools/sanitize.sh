#!/usr/bin/env bash
# Builds the modules and the kernels' unit tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the unit tests and the whole test suite
# against that build:
#   tools/sanitize.sh [scalar|avx2] [pytest arguments]
# The optional first argument caps the vector code path the modules choose
# (never above what the processor has), so that the portable kernels are
# checked too on a machine with wider vector units; the unit tests check
# every usable path either way.
set -euo pipefail
cd "$(dirname "$0")/.."
isa=""
case "${1:-}" in scalar|avx2) isa="$1"; shift ;; esac
[ -x .venv/bin/python ] || tools/bootstrap.sh test
.venv/bin/python -m pip install -q cmake ninja
build="build/sanitize${isa:+-$isa}"
.venv/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" -DMOLVAK_SANITIZE=ON -DMOLVAK_TESTS=ON -DMOLVAK_FORCE_ISA="$isa" \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
.venv/bin/cmake --build "$build" >/dev/null
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" .venv/bin/ctest --test-dir "$build" --output-on-failure
# The interpreter is not instrumented, so the runtime is preloaded; CPython
# keeps objects alive at exit by design, so leak reports are left to the
# suite's own leak tests. Huge requests must fail as MemoryError, not abort.
# libstdc++ goes with it, so that C++ exceptions thrown by other extensions
# (matplotlib's among them) unwind under the preloaded runtime.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
echo "sanitizer run (${isa:-widest} vector path)" >&2
PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}" .venv/bin/python -m pytest -q -p no:cacheprovider "$@"
