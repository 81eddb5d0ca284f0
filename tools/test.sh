#!/usr/bin/env bash
# The whole test suite from a fresh machine: installs what is missing
# (tools/bootstrap.sh), then runs pytest on the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/bootstrap.sh test
.venv/bin/python -m pytest "$@"
