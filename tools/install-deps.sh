#!/usr/bin/env bash
# Installs what building and testing halvane needs on Debian 12: CMake and Ninja, g++ and
# the MinGW-w64 cross compilers for 64-bit and 32-bit Windows, Wine with its 32-bit half
# (the i386 architecture is added for it), libcurl with OpenSSL, GoogleTest, Google
# Benchmark, clang (fuzzing) and clang-format (the format gate), Python 3, openssl, osslsigncode (Authenticode signing),
# tinyproxy, zip, valgrind and nlohmann-json (the tests read JSON). Does nothing when all is there.
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
  nlohmann-json3-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
# The 32-bit Wine comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "install-deps: adding the i386 architecture"
  $SUDO dpkg --add-architecture i386
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
# tinyproxy's package starts a system-wide proxy; the tests start their own.
if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl disable --now tinyproxy >/dev/null 2>&1 || true; fi
$SUDO service tinyproxy stop >/dev/null 2>&1 || true
