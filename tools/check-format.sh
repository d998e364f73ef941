#!/usr/bin/env bash
# Checks that every C++ source follows .clang-format (Debian 12's clang-format 14); with
# --fix, rewrites the files that do not. Exits non-zero when a file needs formatting.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
if clang-format --dry-run --Werror "${files[@]}" 2>/tmp/halvane-format.$$; then
  rm -f /tmp/halvane-format.$$
  echo "format: ${#files[@]} files follow .clang-format"
  exit 0
fi
grep -o '^[^:]*:[0-9]*:[0-9]*: error' /tmp/halvane-format.$$ | cut -d: -f1 | sort | uniq -c |
  sed 's/^ *\([0-9]*\) \(.*\)/format: \2 differs from .clang-format in \1 places/'
rm -f /tmp/halvane-format.$$
echo "format: run tools/check-format.sh --fix"
exit 1
