#!/usr/bin/env bash
# A second Windows runtime for the tests: Wine 10 (64-bit and its 32-bit half) in a Debian 13
# root beside the host's Wine 8. The tests and the peers stay on the host; only the Windows
# programs run in the root (cmake/wine-run.sh, through chroot), sharing the host's loopback.
#
#   wine-root.sh make      makes the root once (debootstrap, then Wine in it); then reuses it
#   wine-root.sh run -- COMMAND...
#                          runs COMMAND with the root's Wine: /proc, /dev, /tmp and this
#                          checkout are mounted into the root in a mount namespace of
#                          COMMAND's own, so every mount ends with it, however it ends
#   wine-root.sh path      prints where the root is
#
#   HALVANE_WINE10_ROOT    the root (default /var/cache/halvane/wine10)
#   HALVANE_DEBIAN_MIRROR  the package mirror (default http://deb.debian.org/debian)
#   HALVANE_APT_TRIES=N    times each download step is tried (default 3)
# Needs root (debootstrap, chroot and the mounts).
set -euo pipefail

root=${HALVANE_WINE10_ROOT:-/var/cache/halvane/wine10}
checkout=$(cd "$(dirname "$0")/.." && pwd)
say() { echo "wine-root: $*" >&2; }
need_root() {
  [ "$(id -u)" = 0 ] || { say "the Wine 10 root needs root (debootstrap, chroot, mounts)"; exit 1; }
}
# tries N COMMAND...: COMMAND, up to N times, 10 s apart (a mirror in mid-sync).
tries() {
  local n=$1 try; shift
  for ((try = 1; ; try++)); do
    "$@" && return 0
    [ "$try" -lt "$n" ] || return 1
    say "failed (try $try of $n); again in 10 s"
    sleep 10
  done
}

# The root's names for the loopback, which the tests' service is reached by.
hosts() {
  printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$1/etc/hosts"
}

make_root() {
  need_root
  [ -f "$root/.halvane-ready" ] && return 0
  mkdir -p "$(dirname "$root")"
  exec 9>"$root.lock"
  flock 9
  [ -f "$root/.halvane-ready" ] && return 0
  command -v debootstrap >/dev/null || { say "debootstrap is missing (tools/install-deps.sh installs it)"; exit 1; }
  local mirror=${HALVANE_DEBIAN_MIRROR:-http://deb.debian.org/debian} n=${HALVANE_APT_TRIES:-3}
  local work="$root.new"
  say "making a Debian 13 root with Wine 10 in $root (once; a few minutes)"
  rm -rf "$work"
  tries "$n" debootstrap --variant=minbase trixie "$work" "$mirror" >"$root.log" 2>&1 ||
    { tail -20 "$root.log" >&2; say "debootstrap failed (whole log: $root.log)"; exit 1; }
  cp /etc/resolv.conf "$work/etc/resolv.conf"
  hosts "$work"
  unshare -m --propagation private bash -euc '
    work=$1 n=$2
    mount -t proc proc "$work/proc"
    mount --rbind /dev "$work/dev"
    chroot "$work" dpkg --add-architecture i386
    for ((try = 1; ; try++)); do
      chroot "$work" apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive chroot "$work" apt-get install -y -qq --no-install-recommends \
          wine64 wine32:i386 && break
      [ "$try" -lt "$n" ] || exit 1
      echo "wine-root: installing Wine failed (try $try of $n); again in 10 s" >&2
      sleep 10
    done
    chroot "$work" apt-get clean' _ "$work" "$n" >>"$root.log" 2>&1 ||
    { tail -20 "$root.log" >&2; say "installing Wine in the root failed (whole log: $root.log)"; exit 1; }
  say "Wine $(chroot "$work" dpkg-query -W -f='${Version}' wine64) in $root"
  touch "$work/.halvane-ready"
  rm -rf "$root"
  mv "$work" "$root"
}

run_in_root() {
  need_root
  [ -f "$root/.halvane-ready" ] || { say "no Wine 10 root at $root (tools/wine-root.sh make)"; exit 1; }
  [ "${1:-}" = -- ] && shift
  exec unshare -m --propagation private bash -euc '
    root=$1 checkout=$2; shift 2
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --bind /tmp "$root/tmp"
    mkdir -p "$root$checkout"
    mount --bind "$checkout" "$root$checkout"
    export HALVANE_WINE_ROOT=$root
    exec "$@"' _ "$root" "$checkout" "$@"
}

case "${1:-}" in
  make) make_root ;;
  run) shift; run_in_root "$@" ;;
  path) echo "$root" ;;
  *) echo "usage: $0 make | run -- COMMAND... | path" >&2; exit 2 ;;
esac
