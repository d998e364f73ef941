#!/usr/bin/env bash
# Runs a test in a loopback of its own (a network namespace): the service port compiled into
# the module is then this test's alone, so the tests of one run go side by side and two runs
# on one machine never reach each other's service.
#
#   isolated.sh [--wine WINE-RUN] -- COMMAND...
#
# With --wine, the test also gets a Wine prefix of its own, a copy of the build's prefix
# (WINE-RUN --prefix): Wine's server makes the sockets of every program in its prefix, in
# the namespace it was started in, and the debug-output buffer and the proxy settings are
# the prefix's too. The copy shares the prefix's files by hard links, except the registry
# (which Wine replaces whole when it saves it), and is removed at the end.
#
# As root the namespace is a plain one; otherwise it is made in a user namespace of its own.
set -euo pipefail

wine_run=""
if [ "${1:-}" = --wine ]; then wine_run=$2; shift 2; fi
[ "${1:-}" = -- ] && shift
[ $# -gt 0 ] || { echo "usage: $0 [--wine WINE-RUN] -- COMMAND..." >&2; exit 2; }

if [ -z "${HALVANE_ISOLATED:-}" ]; then
  export HALVANE_ISOLATED=1
  own=(--net)
  [ "$(id -u)" = 0 ] || own+=(--map-root-user)
  args=()
  [ -z "$wine_run" ] || args=(--wine "$wine_run")
  if ! unshare "${own[@]}" true 2>/dev/null; then
    echo "isolated.sh: cannot make a network namespace (unshare ${own[*]}): run as root" \
      "or allow unprivileged user namespaces" >&2
    exit 1
  fi
  exec unshare "${own[@]}" -- bash "$0" "${args[@]}" -- "$@"
fi
ip link set lo up

[ -n "$wine_run" ] || exec "$@"
template=$("$wine_run" --prefix)
copy=$(mktemp -d "$template.test-XXXXXX")
cleanup() {
  HALVANE_WINEPREFIX="$copy/prefix" "$wine_run" --server-kill >/dev/null 2>&1 || true
  rm -rf "$copy"
}
trap cleanup EXIT
trap 'exit 143' TERM INT
cp -al "$template" "$copy/prefix"
for reg in "$template"/*.reg; do cp --remove-destination "$reg" "$copy/prefix/${reg##*/}"; done
export HALVANE_WINEPREFIX="$copy/prefix"
status=0
"$@" || status=$?
exit $status
