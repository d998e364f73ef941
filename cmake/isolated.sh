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
# (which Wine replaces whole when it saves it), and is removed at the end. Its Wine server
# runs from the test's start to its end.
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
# The copy's Wine server is started here, once, and stays until the cleanup ends it: every
# program of the test finds it running. A server that each program starts and that ends 3 s
# after its last client instead leaves a program that starts as it ends to start the next
# one, and a Wine program whose server ends or fails to start under it exits 1 and prints
# nothing (the server kills its clients with exit code 1 on SIGINT, and a client exits with
# a failed server's status, 1 when it died of a signal); seen once under load, as one
# halvane-cli.exe call of e2e_cli that gave exit 1 and no output.
# Its system programs (services.exe, winedevice.exe, ...) start with the first program and
# stay as long as the server: a first program of its own, on no output of the test's, starts
# them, so that none holds a test program's output open.
if ! "$wine_run" --server-start || ! "$wine_run" cmd.exe /c exit </dev/null >/dev/null 2>&1; then
  echo "isolated.sh: the Wine server of $HALVANE_WINEPREFIX did not start" >&2
  exit 1
fi
status=0
"$@" || status=$?
if [ "$status" != 0 ]; then
  # Whether the copy's Wine server outlived the failure: a program that exits 1 having written
  # nothing is what a server ending under it gives. A second server start is refused (2) while
  # the first still runs; one that starts means the first had ended.
  server=0
  "$wine_run" --server-start >/dev/null 2>&1 || server=$?
  [ "$server" = 0 ] && server="had ended" || server="was still running"
  echo "isolated.sh: the test failed (exit $status); its Wine server $server" >&2
fi
exit $status
