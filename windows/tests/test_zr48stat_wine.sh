#!/usr/bin/env bash
# test_zr48stat_wine.sh PACKAGE: zr48stat.exe of the x64 package under Wine
# (Debian's wine64), on a machine with no zr48 adapter: --help answers with
# the usage and exit 0; reading without a GUID says that no adapter is found,
# exit 1; an adapter GUID that is not there is named with the system's
# reason, exit 1; a bad argument gives the usage, exit 2. (The x86 program
# needs 32-bit Wine, which a 64-bit Debian machine does not have by default.)
set -uo pipefail
package=$1
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || { echo "test_zr48stat_wine: $wine missing (install wine64)" >&2; exit 1; }
prefix=$(mktemp -d)
cleanup() {
  WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null
  rm -rf "$prefix"
}
trap cleanup EXIT
passed=0 failed=0

run() {  # NAME EXPECTED-STATUS PATTERN ARGS...
  local name=$1 expected=$2 pattern=$3
  shift 3
  local output status
  output=$(WINEPREFIX=$prefix WINEDEBUG=-all timeout 120 "$wine" "$package/zr48stat.exe" "$@" 2>&1)
  status=$?
  output=${output//$'\r'/}
  printf '== zr48stat %s\n%s\n' "$*" "$output"
  if [ "$status" -eq "$expected" ] && grep -qE -- "$pattern" <<<"$output"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $name: exit $status (wanted $expected), output /$pattern/ wanted"
  fi
}

run "help" 0 "^usage: zr48stat " --help
run "no adapter" 1 "no zr48 adapter found: no network adapter with hardware ID"
run "an adapter that is not there" 1 \
  "cannot open \\\\\\\\\\.\\\\\{00000000-0000-0000-0000-000000000000\}: " \
  "{00000000-0000-0000-0000-000000000000}"
run "a bad argument" 2 "^usage: zr48stat " --bogus

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
