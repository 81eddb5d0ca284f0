#!/usr/bin/env bash
# Checks that lane code compiled for a wide instruction set can only be
# reached through its own tables: every symbol its object files define with
# external or weak linkage lies in the namespace of that set (lanes_avx2,
# lanes_avx512). A weak definition elsewhere (an inline function or a
# template instance) could be kept by the linker for code compiled for a
# narrower set, which would then run instructions the processor may lack.
#   tools/check-lane-symbols.sh NM OBJECT...
set -euo pipefail
nm_tool="$1"
shift
status=0
for object in "$@"; do
  case "$object" in
    *molvak_lanes_scalar*) continue ;;
    *molvak_lanes_avx2*) set_name=lanes_avx2 ;;
    *molvak_lanes_avx512*) set_name=lanes_avx512 ;;
    *) echo "not a lane object: $object" >&2; exit 2 ;;
  esac
  # defined symbols with external or weak linkage: upper-case types, u, v, w
  while read -r type symbol; do
    case "$symbol" in
      *"${set_name}"*) ;;
      *) echo "$object: $type $symbol lies outside molvak::*::${set_name}" >&2; status=1 ;;
    esac
  done < <("$nm_tool" -C --defined-only "$object" | awk '$2 ~ /^[A-Zuvw]$/ { t = $2; $1 = ""; $2 = ""; sub(/^  */, ""); print t, $0 }')
done
[ "$status" = 0 ] && echo "lane objects sealed: $# checked"
exit "$status"
