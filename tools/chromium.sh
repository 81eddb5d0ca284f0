#!/usr/bin/env bash
# Installs what the browser tests of the review page need, when missing:
# Debian's chromium and chromium-driver (through apt-get, without the
# recommended extras) and a font for the page's text.
set -euo pipefail
missing=()
command -v chromium >/dev/null 2>&1 || command -v chromium-browser >/dev/null 2>&1 \
  || missing+=(chromium)
command -v chromedriver >/dev/null 2>&1 || missing+=(chromium-driver)
[ -d /usr/share/fonts/truetype/dejavu ] || missing+=(fonts-dejavu-core)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing system packages for the browser tests: ${missing[*]}" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
