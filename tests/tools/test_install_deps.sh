#!/usr/bin/env bash
# tools/install-deps.sh against a package mirror in mid-sync, on stand-ins for apt-get,
# dpkg-query and dpkg (nothing is installed, nothing reaches a mirror): its exit status, its
# apt-get calls and what it says.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
index=http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz
mkdir "$work/bin"
# `update` fails (exit 100) the first $FAILS times; `install` fails unless INSTALL is "ok",
# or "base" and the base release is named.
cat >"$work/bin/apt-get" <<STUB
#!/usr/bin/env bash
echo "\$*" >>"$work/calls"
if [ "\$1" = update ]; then
  [ "\$(grep -c '^update' "$work/calls")" -gt "\$FAILS" ] && exit 0
  echo "E: Failed to fetch $index  File has unexpected size (374820 != 376004). Mirror sync in progress?"; exit 100
fi
case "\$INSTALL:\$*" in ok:*|base:*"-t bookworm"*) exit 0 ;; esac
echo "E: Unable to correct problems, you have held broken packages."; exit 100
STUB
printf '#!/bin/sh\nexit 1\n' >"$work/bin/dpkg-query"
printf '#!/bin/sh\necho i386\n' >"$work/bin/dpkg"
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
printf '#!/bin/sh\n' | tee "$work/bin/systemctl" >"$work/bin/service"
chmod +x "$work/bin/"*
passed=0 failed=0
# case NAME FAILS INSTALL EXIT CALLS SAID...: CALLS are the apt-get calls' first words (and -t).
case_() {
  local name=$1 fails=$2 install=$3 exit=$4 calls=$5 out status=0 seen line ok=1; shift 5
  rm -f "$work/calls"
  out=$(PATH="$work/bin:$PATH" FAILS=$fails INSTALL=$install HALVANE_APT_RETRY_SECONDS=0 HALVANE_SKIP_WINE10=1 \
        bash "$root/tools/install-deps.sh" 2>&1) || status=$?
  seen=$(sed -E 's/^(update|install).*(-t [a-z]+).*/\1 \2/; t; s/^(update|install).*/\1/' "$work/calls" | paste -sd';')
  [ "$status:$seen" = "$exit:$calls" ] || { ok=0; echo "FAIL: $name: exit $status, calls \"$seen\""; }
  for line in "$@"; do grep -qF -- "$line" <<<"$out" || { ok=0; echo "FAIL: $name: never said \"$line\""; }; done
  if [ $ok = 1 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "$out" | sed 's/^/  | /'; fi
}
case_ "a sound mirror" 0 ok 0 "update;install"
case_ "an index fixed on the second try" 1 ok 0 "update;update;install" "failed (try 1 of 3)"
case_ "a mirror in mid-sync" 9 base 0 "update;update;update;install;install -t bookworm" "going on without:" \
  "  $index" "trying once more with every package from the base release (bookworm)" "installed with every package from bookworm"
case_ "no install possible" 9 fail 100 "update;update;update;install;install -t bookworm" \
  "E: Unable to correct problems, you have held broken packages."
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
