#!/usr/bin/env bash
# The demonstration from a fresh machine: installs what is missing
# (tools/bootstrap.sh with the plotting extra), then synthesises a shot gather
# with a known dispersion curve, images it by slant stack, phase shift and
# beamforming, picks the curve and writes demo/*.png and demo/picks.csv.
# Nothing is rebuilt when the sources are those of the installed package.
# Extra arguments go to `molvak demo` (e.g. --out DIR, --workers 2).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/bootstrap.sh plot
echo "demo: .venv/bin/molvak demo $*" >&2
.venv/bin/molvak demo "$@"
