#!/usr/bin/env bash
# The test command (minutes): installs what is missing (tools/bootstrap.sh
# with the test extras, and Chromium for the review page through
# tools/chromium.sh), lints (ruff, mypy), builds the documentation site
# (tools/docs.sh: warnings as errors, examples run), then runs the whole test suite on
# the installed package: `bash tools/test.sh [pytest arguments]`. The browser
# tests run and fail, rather than skip, when the browser cannot start.
# CI (.ci/run) runs this and then the longer legs: the native builds (Clang,
# aarch64 under qemu), the sanitizers, NumPy 1.26 and the binary wheel.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/bootstrap.sh test
tools/chromium.sh
# lint: ruff (pyflakes, bugbear, import order, pyupgrade) and mypy on the package,
# as configured in pyproject.toml; both must be clean
echo "lint: ruff check python tests bench tools; mypy python/molvak" >&2
.venv/bin/ruff check python tests bench tools
if [ -x .venv/bin/mypy ]; then .venv/bin/mypy; fi
# documentation: the site built with warnings as errors, every gallery example run
tools/docs.sh
MOLVAK_REQUIRE_BROWSER=1 .venv/bin/python -m pytest "$@"
