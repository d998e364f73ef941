#!/usr/bin/env bash
# tools/install-deps.sh's decisions against a package mirror in mid-sync, with stand-ins for
# apt-get, dpkg-query and dpkg on PATH (nothing is installed, nothing reaches a mirror): the
# index list is fetched again, an index that still fails is named and left out, a failed
# install is tried once more from the base release, and apt's own message ends a run that
# cannot install.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
index=http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz
mkdir "$work/bin"
# apt-get: records each call; `update` fails (exit 100, as apt does) the first $UPDATE_FAILS
# times; `install` fails unless INSTALL is "ok", or "base" and the base release is named.
cat >"$work/bin/apt-get" <<STUB
#!/usr/bin/env bash
echo "\$*" >>"$work/calls"
if [ "\$1" = update ]; then
  [ "\$(grep -c '^update' "$work/calls")" -gt "\$UPDATE_FAILS" ] && exit 0
  echo "E: Failed to fetch $index  File has unexpected size (374820 != 376004). Mirror sync in progress?"
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
  exit 100
fi
case "\$INSTALL:\$*" in ok:*|base:*"-t bookworm"*) exit 0 ;; esac
echo "E: Unable to correct problems, you have held broken packages."
exit 100
STUB
printf '#!/bin/sh\nexit 1\n' >"$work/bin/dpkg-query"
printf '#!/bin/sh\necho i386\n' >"$work/bin/dpkg"
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
printf '#!/bin/sh\nexit 0\n' | tee "$work/bin/systemctl" >"$work/bin/service"
chmod +x "$work/bin/"*

passed=0 failed=0
# case NAME UPDATE_FAILS INSTALL EXIT CALLS SAID...: the script's exit status, its apt-get calls
# (their first words and a -t, joined by ";") and lines it must print.
case_() {
  local name=$1 fails=$2 install=$3 exit=$4 calls=$5; shift 5
  rm -f "$work/calls"
  local out status=0
  out=$(PATH="$work/bin:$PATH" UPDATE_FAILS=$fails INSTALL=$install HALVANE_APT_RETRY_SECONDS=0 \
        bash "$root/tools/install-deps.sh" 2>&1) || status=$?
  local seen
  seen=$(sed -E 's/^(update|install).*(-t [a-z]+).*/\1 \2/; t; s/^(update|install).*/\1/' "$work/calls" | paste -sd';')
  local ok=1
  [ "$status" = "$exit" ] || { ok=0; echo "FAIL: $name: exit $status, expected $exit"; }
  [ "$seen" = "$calls" ] || { ok=0; echo "FAIL: $name: apt-get calls \"$seen\", expected \"$calls\""; }
  for line in "$@"; do
    grep -qF -- "$line" <<<"$out" || { ok=0; echo "FAIL: $name: never said \"$line\""; }
  done
  if [ $ok = 1 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "$out" | sed 's/^/  | /'; fi
}

case_ "a sound mirror" 0 ok 0 "update;install"
case_ "an index fixed on the second try" 1 ok 0 "update;update;install" "failed (try 1 of 3)"
case_ "a mirror in mid-sync" 9 base 0 "update;update;update;install;install -t bookworm" \
  "going on without:" "  $index" "trying once more with every package from the base release (bookworm)" \
  "installed with every package from bookworm"
case_ "no install possible" 9 fail 100 "update;update;update;install;install -t bookworm" \
  "E: Unable to correct problems, you have held broken packages."
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
