#!/usr/bin/env bash
# moved-member.sh HOST_INCLUDE HOST_CXX WIDTH LAYOUT_DIR WINDOWS_OBJECT PATTERN CHECK...:
# copies the host's headers to a scratch directory with UNICODE_STRING's
# Length and MaximumLength swapped (a test-only header), compiles the host's
# layout table from that copy, and expects the layout check to refuse it
# with PATTERN.
set -euo pipefail
include=$1 cxx=$2 width=$3 layout=$4 windows_object=$5 pattern=$6
shift 6
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -r "$include" "$scratch/include"
python3 - "$scratch/include/ndis.h" <<'PY'
import re, sys
path = sys.argv[1]
text = open(path).read()
moved = re.sub(r"(\n\s*USHORT Length;[^\n]*)(\n\s*USHORT MaximumLength;[^\n]*)", r"\2\1", text, count=1)
if moved == text:
    sys.exit("moved-member: UNICODE_STRING's members not found in " + path)
open(path, "w").write(moved)
PY
"$cxx" -std=c++17 "$width" -DZR48_HOST -I"$layout" -I"$scratch/include" \
  -c "$layout/layout_table.cpp" -o "$scratch/layout_host.o"
"$here/expect-refusal.sh" "$pattern" "$@" "$scratch/layout_host.o" "$windows_object"
