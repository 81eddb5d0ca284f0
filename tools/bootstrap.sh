#!/usr/bin/env bash
# Installs what molvak needs on a fresh Debian/Ubuntu machine and the package
# itself into ./.venv: `tools/bootstrap.sh [EXTRAS]` (e.g. "test").
# System packages (through apt-get, only when missing): libfftw3-dev, pkg-config,
# a C++ compiler (g++), and Debian's python3-venv and python3-dev.
# The package is built and installed only when its sources changed since the
# last install (a hash of src/, python/, CMakeLists.txt, pyproject.toml and the
# tools/ files CMake runs,
# kept in .venv/molvak-sources.sha256); the extras asked for are installed
# when one of their packages is missing. Says what it does on stderr.
set -euo pipefail
cd "$(dirname "$0")/.."
extras="${1:-}"
say() { echo "bootstrap: $*" >&2; }

tools/system-packages.sh bootstrap

if [ ! -x .venv/bin/python ]; then
  say "creating the virtual environment .venv"
  python3 -m venv .venv
fi

stamp=.venv/molvak-sources.sha256
# what the build reads: the sources, the build files and the tools CMake runs
sources="$(find src python CMakeLists.txt pyproject.toml tools -type f \
  \( -path 'tools/*' -a -not \( -name '*.cmake' -o -name 'check-*.sh' \) -prune \) -o -type f \
  -not -path '*/__pycache__/*' -not -name '*.pyc' -print0 | LC_ALL=C sort -z \
  | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)"
target=".${extras:+[$extras]}"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$sources" ] \
    && .venv/bin/python -c "import molvak, _molvak" 2>/dev/null; then
  # the installed build is that of these sources: only the extras may lack
  lacking="$(.venv/bin/python - "$extras" <<'EOF'
import re, sys
from importlib import metadata

def requirements(extra, seen):
    if extra in seen:
        return []
    seen.add(extra)
    out = []
    for req in metadata.requires("molvak") or []:
        requirement, _, marker = req.partition(";")
        if f'extra == "{extra}"' not in marker.replace("'", '"'):
            continue
        name = re.match(r"[A-Za-z0-9_.-]+", requirement.strip()).group(0)
        inner = re.search(r"\[(.*)\]", requirement)
        if name.lower() == "molvak" and inner:
            for e in inner.group(1).split(","):
                out += requirements(e.strip(), seen)
            continue
        # only requirements whose environment marker holds here
        rest = re.sub(r'(and\s+)?extra\s*==\s*"[^"]*"', "", marker.replace("'", '"')).strip()
        rest = re.sub(r"^and\s+|\s+and$", "", rest)
        if rest:
            try:
                from pip._vendor.packaging.markers import Marker
                if not Marker(rest).evaluate():
                    continue
            except Exception:
                pass
        out.append(requirement.strip())
    return out

wanted = []
for extra in filter(None, sys.argv[1].split(",")):
    wanted += requirements(extra, set())
lacking = []
for requirement in wanted:
    name = re.match(r"[A-Za-z0-9_.-]+", requirement).group(0)
    try:
        metadata.version(name)
    except metadata.PackageNotFoundError:
        lacking.append(requirement)
print(" ".join(f"'{s}'" for s in lacking))
EOF
)"
  if [ -z "$lacking" ]; then
    say "molvak in .venv is built from these sources${extras:+, with [$extras]}: nothing to do"
    exit 0
  fi
  say "installing the packages of [$extras] that are missing: $lacking"
  eval ".venv/bin/python -m pip install -q $lacking"
  exit 0
fi

say "upgrading pip in .venv"
.venv/bin/python -m pip install -q --upgrade pip
say "building molvak (the C++ extension: about a minute) and installing $target into .venv"
rm -f "$stamp"
.venv/bin/python -m pip install -q "$target"
echo "$sources" > "$stamp"
say "done: .venv/bin/molvak, .venv/bin/python (or activate: . .venv/bin/activate)"
