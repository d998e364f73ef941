#!/usr/bin/env bash
# Runs a Windows program under Wine in a throwaway prefix. The prefix lives in the build
# tree (HALVANE_WINEPREFIX, else wineprefix/ in the build directory the current directory is
# in, else build/windows/wineprefix) and is created on first use; concurrent first uses wait
# for each other.
set -euo pipefail
prefix=${HALVANE_WINEPREFIX:-${WINEPREFIX:-}}
if [ -z "$prefix" ]; then
  dir=$PWD
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ -f "$dir/CMakeCache.txt" ] || dir="$(cd "$(dirname "$0")/.." && pwd)/build/windows"
  prefix="$dir/wineprefix"
fi
export WINEPREFIX="$prefix"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml,winemenubuilder.exe="}
export WINEARCH=win64
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
mkdir -p "$WINEPREFIX"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.halvane-ready" ]; then
    WINEDEBUG=-all "$wine" wineboot -i >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w 2>/dev/null || wineserver -w 2>/dev/null || true
    touch "$WINEPREFIX/.halvane-ready"
  fi
) 9>"$WINEPREFIX.lock"
exec "$wine" "$@"
