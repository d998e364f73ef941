#!/usr/bin/env bash
# Makes a build's Wine prefix trust the test roots, and proves it before anything relies on
# it: the roots are added (install_test_ca adds only what the store lacks), the Wine server
# is waited for so that the registry is saved, then a second process, under a new server
# that reads the registry from disk, reads the store back and names every root it lacks.
# The demo and the tests both set their prefix up through here, with the same roots, so
# neither depends on what the other (or an earlier, interrupted run) left in the prefix.
#
#   wine-trust.sh INSTALL_TEST_CA.EXE CERT.der...
#
# The prefix is the one cmake/wine-run.sh picks (HALVANE_WINEPREFIX, else the build's).
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 INSTALL_TEST_CA.EXE CERT.der..." >&2; exit 2; }
run="$(dirname "$0")/wine-run.sh"
installer=$1
shift
"$run" "$installer" "$@"
"$run" --server-wait
if ! "$run" "$installer" --check "$@"; then
  echo "wine-trust.sh: the prefix $("$run" --prefix) does not hold every test root after set-up" \
    "(see the MISSING lines above); no test can pass against it" >&2
  exit 1
fi
"$run" --server-wait
