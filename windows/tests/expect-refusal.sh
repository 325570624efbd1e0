#!/usr/bin/env bash
# expect-refusal.sh PATTERN COMMAND...: passes when COMMAND fails and its
# output matches the extended regular expression PATTERN (the reason the
# check gave); shows that output either way.
set -uo pipefail
pattern=$1
shift
output=$("$@" 2>&1)
status=$?
printf '%s\n' "$output"
if [ $status -eq 0 ]; then
  echo "expect-refusal: the command accepted what it should refuse: $*" >&2
  exit 1
fi
if ! grep -qE -- "$pattern" <<<"$output"; then
  echo "expect-refusal: refused, but not for the expected reason /$pattern/" >&2
  exit 1
fi
echo "expect-refusal: refused as expected (/$pattern/)"
