#!/usr/bin/env bash
# Runs a Windows program under Wine in a throwaway prefix. The prefix lives in the build
# tree (HALVANE_WINEPREFIX, else wineprefix/ in the build directory the current directory is
# in, else build/windows/wineprefix, or build/windows-x86/wineprefix for a 32-bit program)
# and is created on first use; concurrent first uses wait for each other. Every prefix is a
# 64-bit one that runs 32-bit programs too (WoW64): the program's PE machine picks Wine's
# 32-bit or 64-bit loader.
#
# With HALVANE_WINE_ROOT set (tools/wine-root.sh sets it, inside the mounts it makes), Wine is
# the one installed in that root, run through chroot in the current directory; the default
# prefix is then wineprefix-NAME, NAME the root's directory name, since a prefix belongs to
# one Wine version.
#
#   wine-run.sh PROGRAM [ARGS]   runs PROGRAM
#   wine-run.sh --prefix         prints the prefix (created and made ready)
#   wine-run.sh --server-start   starts the prefix's Wine server to stay until it is ended
#   wine-run.sh --server-wait    waits for the prefix's Wine server to end (registry saved)
#   wine-run.sh --server-kill    ends the prefix's Wine server and its programs
set -euo pipefail

# The machine field of the PE file $1 in hex (14c: i386), or nothing when $1 is no file.
pe_machine() {
  [ -f "$1" ] || return 0
  local header
  header=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ') || return 0
  [ -n "$header" ] && od -An -tx2 -j$((header + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}
bits=64
[ "$(pe_machine "${1:-}")" != 14c ] || bits=32

prefix=${HALVANE_WINEPREFIX:-${WINEPREFIX:-}}
if [ -z "$prefix" ]; then
  dir=$PWD
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    dir="$(cd "$(dirname "$0")/.." && pwd)/build/windows"
    [ $bits = 64 ] || dir+=-x86
  fi
  prefix="$dir/wineprefix${HALVANE_WINE_ROOT:+-$(basename "$HALVANE_WINE_ROOT")}"
fi
export WINEPREFIX="$prefix"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml,winemenubuilder.exe="}
export WINEARCH=win64
root=${HALVANE_WINE_ROOT:-}
in_root=()
[ -z "$root" ] || in_root=(chroot "$root" /usr/bin/env -C "$PWD")
wine64=/usr/lib/wine/wine64
[ -n "$root" ] || [ -x "$wine64" ] || wine64=$(command -v wine64 || command -v wine)
wine=$wine64
[ $bits = 64 ] || wine=/usr/lib/wine/wine
wine64=("${in_root[@]}" "$wine64")
wineserver=("${in_root[@]}" /usr/lib/wine/wineserver)
mkdir -p "$WINEPREFIX"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.halvane-ready" ]; then
    WINEDEBUG=-all "${wine64[@]}" wineboot -i >/dev/null 2>&1 || true
    "${wineserver[@]}" -w 2>/dev/null || true
    touch "$WINEPREFIX/.halvane-ready"
  fi
  # No debugger starts on a crash: the crashing process ends at once with an error, where the
  # debugger (winedbg --auto) could stay behind holding the run's output open.
  # Both registry views: 32-bit programs read their own.
  if [ ! -f "$WINEPREFIX/.halvane-no-debugger" ]; then
    set=1
    for view in 64 32; do
      WINEDEBUG=-all "${wine64[@]}" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /t REG_SZ /d '' /f /reg:$view >/dev/null 2>&1 || set=0
    done
    [ $set = 0 ] || touch "$WINEPREFIX/.halvane-no-debugger"
  fi
) 9>"$WINEPREFIX.lock"
case "${1:-}" in
  --prefix) echo "$WINEPREFIX" ;;
  --server-start) exec "${wineserver[@]}" -p ;;
  --server-wait) exec "${wineserver[@]}" -w ;;
  --server-kill) exec "${wineserver[@]}" -k ;;
  *) exec "${in_root[@]}" "$wine" "$@" ;;
esac
