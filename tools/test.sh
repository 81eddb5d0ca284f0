#!/usr/bin/env bash
# The whole test suite from a fresh machine: installs what is missing
# (tools/bootstrap.sh, and Chromium for the review page through
# tools/chromium.sh), then runs pytest on the installed package, the native
# legs (tools/native-legs.sh: GCC and Clang with warnings as errors, the
# kernels' unit tests, the suite on Clang's build, an aarch64 cross build
# under qemu-user), pytest on the sanitizer builds (widest and portable
# vector paths) and under NumPy 1.26.
# `tools/test.sh --quick [pytest args]` runs the first part only. The first
# part runs the browser tests and fails, rather than skipping them, when the
# browser cannot start.
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
if [ "${1:-}" = "--quick" ]; then quick=1; shift; fi
tools/bootstrap.sh test
tools/chromium.sh
# lint: ruff (pyflakes, bugbear, import order, pyupgrade) and mypy on the package,
# as configured in pyproject.toml; both must be clean
echo "lint: ruff check python tests bench tools; mypy python/molvak" >&2
.venv/bin/ruff check python tests bench tools
if [ -x .venv/bin/mypy ]; then .venv/bin/mypy; fi
MOLVAK_REQUIRE_BROWSER=1 .venv/bin/python -m pytest "$@"
[ "$quick" = 1 ] && exit 0
tools/native-legs.sh
tools/sanitize.sh
tools/sanitize.sh scalar tests/test_radon.py tests/test_slantstack.py tests/test_rfft.py \
  tests/test_phase_shift.py tests/test_fdbf.py tests/test_hostile.py tests/test_sweep.py \
  tests/test_highres.py tests/test_interferometry.py
tools/test-old-numpy.sh
