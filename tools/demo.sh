#!/usr/bin/env bash
# The main job: on a fresh Debian 12 machine, installs what is needed, builds halvane.dll and
# libhalvane.so, starts the reference service on loopback with a throwaway CA and the demo
# traders, and walks one trading day through halvane-cli three times: with the 64-bit
# halvane.dll under Wine, with the 32-bit halvane.dll under 32-bit Wine, then with
# libhalvane.so. Leaves nothing running.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash tools/install-deps.sh
for preset in windows windows-x86 linux; do
  echo "=== building ${preset}"
  cmake --preset "$preset" >/dev/null 2>&1 || cmake --preset "$preset"
  cmake --build --preset "$preset" --target halvane halvane-cli $([[ $preset = windows* ]] && echo install_test_ca)
done

# Each Windows walk runs in the Wine prefix its build's tests use.
state=$(mktemp -d)
cleanup() {
  for preset in windows windows-x86; do
    WINEPREFIX="$root/build/$preset/wineprefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  done
  rm -rf "$state"
}
trap cleanup EXIT

bold() { printf '\n\033[1m%s\033[0m\n' "$*"; }
step() {  # step TITLE PATTERN -- COMMAND...: runs a CLI call, shows its result text, checks it
  local title=$1 pattern=$2; shift 3
  local out shown
  out=$("$@")
  shown=$out
  [ ${#shown} -le 90 ] || shown="${shown:0:87}..."
  printf '  %-30s %s\n' "$title" "$shown" >&2
  if ! [[ $out =~ $pattern ]]; then
    printf '  FAILED: expected a result matching %s\n' "$pattern" >&2
    return 1
  fi
  printf '%s' "$out"
}

# Walks one day for one trader; the CLI command comes as the arguments.
walk_day() {
  local key=$1 account=$2; shift 2
  local cli=("$@")
  step "today's status" '^not_completed$' -- "${cli[@]}" status --key "$key" --account "$account" >/dev/null
  local quiz
  quiz=$(step "daily quiz (signed reply)" '^\{"status":"success"' -- "${cli[@]}" quiz --key "$key" --account "$account" --broker-time "$(date +%s)")
  python3 - "$quiz" >&2 <<'PY'
import json, sys
for q in json.loads(sys.argv[1]).get("quiz", []):
    print(f"    {q['number']}. {q['question']}")
    for o in q["options"]:
        print(f"       {o['letter']}) {o['text']}")
PY
  # The demo trader answers "a" to every question.
  local answers
  answers=$(python3 -c 'import json, sys
print("&".join("%d=a" % q["number"] for q in json.loads(sys.argv[1])["quiz"]))' "$quiz")
  step "submit answers ($answers)" '^success\|' -- "${cli[@]}" submit --key "$key" --account "$account" --answers "$answers" >/dev/null
  step "today's status" '^completed\|' -- "${cli[@]}" status --key "$key" --account "$account" >/dev/null
  step "mark trading day" '^success$' -- "${cli[@]}" mark --key "$key" --account "$account" >/dev/null
  step "today's status (V2)" '^completed\|' -- "${cli[@]}" status --key "$key" --account "$account" --broker-time "$(date +%s)" >/dev/null
}
export -f step walk_day

run_day() {  # run_day PRESET PORT KEY ACCOUNT CLI...
  local preset=$1 port=$2 key=$3 account=$4; shift 4
  python3 tests/e2e/with_service.py --certs "build/$preset/certs" --port "$port" \
    --db "$state/service.sqlite3" --seed-trader "$key:$account" --service-arg=--quiet -- \
    bash -ec 'walk_day "$@"' walk_day "$key" "$account" "$@"
}

module() {  # module FILE: the module a walk loads, and its file format
  printf '  module: %s (%s)\n' "$1" "$(objdump -f "$root/$1" | sed -n 's/.*file format //p')"
}

windows_day() {  # windows_day PRESET PORT KEY ACCOUNT: one walk with that build's DLL under Wine
  local preset=$1 port=$2
  export HALVANE_WINEPREFIX="$root/build/$preset/wineprefix"
  module "build/$preset/halvane.dll"
  bash service/make_test_certs.sh "build/$preset/certs" >/dev/null
  # The same trust set-up as the tests' (both test roots, read back once saved).
  bash "$root/cmake/wine-trust.sh" "$root/build/$preset/install_test_ca.exe" \
    "$root/build/$preset/certs/ca.der" "$root/build/$preset/certs/sha1-root.der" >/dev/null
  run_day "$preset" "$port" "$3" "$4" "$root/cmake/wine-run.sh" "$root/build/$preset/halvane-cli.exe"
}

bold "Windows x64: the 64-bit halvane.dll under Wine (WinHTTP, CNG), service on localhost:18445"
windows_day windows 18445 demo-trader-win 50001

bold "Windows x86: the 32-bit halvane.dll (__stdcall) under 32-bit Wine, service on localhost:18449"
windows_day windows-x86 18449 demo-trader-x86 50003

bold "Linux: build/linux/libhalvane.so (libcurl, OpenSSL), service on localhost:18443"
module build/linux/libhalvane.so
bash service/make_test_certs.sh build/linux/certs >/dev/null
run_day linux 18443 demo-trader-linux 50002 "$root/build/linux/halvane-cli"

bold "All three trading days went through. The service has stopped; nothing is left running."
