#!/usr/bin/env bash
# Checks a linked zr48.sys: a native-subsystem image whose imports come only
# from NDIS.SYS, ntoskrnl.exe and HAL.dll, with no static constructors (the
# kernel runs none).
set -euo pipefail
triple=$1
image=$2
dump=$("$triple-objdump" -p "$image")

grep -q "Subsystem.*(NT native)" <<<"$dump" || { echo "$image: not a native-subsystem image" >&2; exit 1; }
dlls=$(grep "DLL Name:" <<<"$dump" | awk '{print $3}' | sort -u)
for dll in $dlls; do
  case "$dll" in
    NDIS.SYS|ntoskrnl.exe|HAL.dll) ;;
    *) echo "$image: imports from $dll" >&2; exit 1 ;;
  esac
done
if "$triple-objdump" -h "$image" | grep -qE '\.ctors|\.init_array'; then
  if [ -n "$("$triple-objdump" -s -j .ctors "$image" 2>/dev/null | sed -n '5,$p' | grep -vE '^ [0-9a-f]+ (ffffffff|00000000)' || true)" ]; then
    echo "$image: has static constructors" >&2; exit 1
  fi
fi
echo "$image: native subsystem, imports from: $(echo $dlls)"
