#!/usr/bin/env bash
# Installs what building and testing halvane needs on Debian 12: CMake and Ninja, g++ and
# the MinGW-w64 cross compilers for 64-bit and 32-bit Windows, Wine with its 32-bit half
# (the i386 architecture is added for it), libcurl with OpenSSL, GoogleTest, Google
# Benchmark, clang (fuzzing) and clang-format (the format gate), Python 3, openssl, osslsigncode (Authenticode signing),
# tinyproxy, zip, valgrind, nlohmann-json (the tests read JSON), iproute2 (each test's own
# loopback) and debootstrap; then the Debian 13 root with Wine 10 that the tests run the
# Windows builds in a second time (tools/wine-root.sh make; not with HALVANE_SKIP_WINE10=1).
# Does nothing when all is there.
#
# A package mirror in mid-sync serves an index that does not match its release file: the
# index list is fetched again a few times, then the install goes on without the indexes that
# still fail (each named in a warning). When the install then fails (the i386 half of Wine
# needs its libraries at the versions of an index that was left out), it is tried once more
# with every package from the base release.
#   HALVANE_APT_TRIES=N        times the index list is fetched at most (default 3)
#   HALVANE_APT_RETRY_SECONDS  seconds between them (default 10)
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
  wine64 libwine wine32:i386
  libcurl4-openssl-dev libssl-dev openssl ca-certificates
  googletest libgtest-dev libbenchmark-dev
  clang clang-format libclang-rt-14-dev
  python3 tinyproxy zip unzip procps valgrind osslsigncode
  nlohmann-json3-dev iproute2 debootstrap
)

say() { echo "install-deps: $*"; }
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
wine10() {
  [ -n "${HALVANE_SKIP_WINE10:-}" ] || bash "$(dirname "$0")/wine-root.sh" make
}
if [ ${#missing[@]} -eq 0 ]; then
  say "everything is installed"
  wine10
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
# The 32-bit Wine comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  say "adding the i386 architecture"
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive

tries=${HALVANE_APT_TRIES:-3}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for ((try = 1; ; try++)); do
  if $SUDO apt-get update -qq >"$log" 2>&1; then cat "$log"; break; fi
  cat "$log"
  if [ "$try" -ge "$tries" ]; then
    # apt names each index it could not fetch on an "E: Failed to fetch URL ..." line.
    failed=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' "$log")
    say "warning: the package index list still fails after $tries tries; going on without:"
    echo "${failed:-  (apt named no index; see its message above)}" | sed 's/^/  /'
    break
  fi
  say "fetching the package index list failed (try $try of $tries); again in ${HALVANE_APT_RETRY_SECONDS:-10} s"
  sleep "${HALVANE_APT_RETRY_SECONDS:-10}"
done

say "installing ${missing[*]}"
apt_install() { $SUDO apt-get install -y -qq --no-install-recommends "$@" "${missing[@]}"; }
if ! apt_install; then
  base=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
  base=${base:-bookworm}
  say "the install failed; trying once more with every package from the base release ($base)"
  apt_install -t "$base"
  say "installed with every package from $base"
fi
# tinyproxy's package starts a system-wide proxy; the tests start their own.
if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl disable --now tinyproxy >/dev/null 2>&1 || true; fi
$SUDO service tinyproxy stop >/dev/null 2>&1 || true
wine10
