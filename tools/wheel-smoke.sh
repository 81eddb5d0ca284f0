#!/usr/bin/env bash
# Installs a binary wheel of molvak into a fresh virtual environment and
# checks that it runs on the FFTW it carries:
#   tools/wheel-smoke.sh WHEEL
# The install and the checks run in a private mount namespace (unshare) in
# which every libfftw3 of the system, FFTW's header and its pkg-config file
# read as empty, as on a machine without FFTW; where no such namespace can be
# made, on the system as it is. Either way `ldd` on both extension modules
# and the process's own map of loaded libraries (tools/wheel_smoke.py) must
# point into the wheel's molvak.libs.
set -euo pipefail
cd "$(dirname "$0")/.."
wheel="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
here="$PWD"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# the checks, from outside the source tree so that only the installed package is found
cat > "$work/checks.sh" <<'CHECKS'
set -euo pipefail
wheel="$1" here="$2"
cd "$(dirname "$0")"
python3 -m venv venv
venv/bin/python -m pip install -q --upgrade pip
start=$EPOCHREALTIME
venv/bin/python -m pip install -q "$wheel"
echo "wheel-smoke: pip install of $(basename "$wheel") into a fresh venv:" \
     "$(python3 -c "print(round($EPOCHREALTIME - $start, 1))") s" >&2
site="$(venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
for module in "$site"/_molvak*.so "$site"/molvak/_native*.so; do
  echo "ldd ${module#"$site"/}:" >&2
  deps="$(ldd "$module" 2>&1 || true)"
  if ! grep -q "fftw.* => /" <<<"$deps"; then
    echo "wheel-smoke: $module finds no FFTW: $(grep -i "fftw\|error" <<<"$deps" | tr -s ' \t\n' ' ')" >&2
    exit 1
  fi
  resolved="$(awk '/fftw/ { print $3 }' <<<"$deps")"
  [ -n "$resolved" ] || { echo "wheel-smoke: $module links no FFTW" >&2; exit 1; }
  for lib in $resolved; do
    echo "  $(realpath "$lib")" >&2
    if [ "$(dirname "$(realpath "$lib")")" != "$(realpath "$site/molvak.libs")" ]; then
      echo "wheel-smoke: $module resolves $lib, outside molvak.libs" >&2
      exit 1
    fi
  done
done
LD_LIBRARY_PATH='' venv/bin/python "$here/tools/wheel_smoke.py" "$PWD/demo"
CHECKS

hide=()
for f in /usr/lib/*/libfftw3*.so* /usr/lib/libfftw3*.so* /usr/local/lib/libfftw3*.so* \
         /usr/include/fftw3.h /usr/lib/*/pkgconfig/fftw3.pc; do
  [ -e "$f" ] && hide+=("$(readlink -f "$f")")
done
flags=()
if [ ${#hide[@]} -gt 0 ]; then
  if unshare -m true 2>/dev/null; then flags=(-m)
  elif unshare -m --map-root-user true 2>/dev/null; then flags=(-m --map-root-user)
  fi
fi
if [ ${#flags[@]} -gt 0 ]; then
  mapfile -t hide < <(printf '%s\n' "${hide[@]}" | sort -u)
  echo "wheel-smoke: with the system's FFTW hidden (${#hide[@]} files read as empty)" >&2
  # shellcheck disable=SC2016
  unshare "${flags[@]}" bash -c '
    set -euo pipefail
    checks="$1" wheel="$2" here="$3"
    shift 3
    for f in "$@"; do mount --bind /dev/null "$f"; done
    for f in "$@"; do
      if [ -s "$f" ]; then echo "wheel-smoke: $f is still visible" >&2; exit 1; fi
    done
    bash "$checks" "$wheel" "$here"' _ "$work/checks.sh" "$wheel" "$here" "${hide[@]}"
else
  if [ ${#hide[@]} -gt 0 ]; then
    echo "wheel-smoke: no private mount namespace here: on the system as it is" >&2
  fi
  bash "$work/checks.sh" "$wheel" "$here"
fi
