#!/usr/bin/env bash
# check-package.sh ARCH DIR CERT: checks an assembled package as Windows
# would take it, and every signature made for it:
# - the INF against itself, the package and the driver's sources;
# - zr48.sys as a kernel image and zr48stat.exe against the oldest system;
# - the firmware image;
# - the embedded SHA-1 Authenticode signatures of zr48.sys and zr48stat.exe
#   and the catalog's signature, each verified up to CERT;
# - the catalog: it lists exactly the package's files, each with its
#   current digest (and osslsigncode finds each PE file in it).
# Exits 1 at the first fault, naming it.
set -euo pipefail
arch=$1 dir=$2 cert=$3
here=$(cd "$(dirname "$0")" && pwd)
case "$arch" in
  x86)   objdump=i686-w64-mingw32-objdump system=nt5.0-x86 ;;
  amd64) objdump=x86_64-w64-mingw32-objdump system=nt5.2-x64 ;;
  *) echo "check-package: unknown architecture $arch" >&2; exit 2 ;;
esac
fail() { echo "check-package: $dir: $*" >&2; exit 1; }

python3 "$here/check-inf.py" --package "$dir" --driver "$here/../driver" "$dir/zr48.inf"
python3 "$here/check-image.py" --objdump "$objdump" "$dir/zr48.sys"
python3 "$here/check-tool.py" --system "$system" "$dir/zr48stat.exe"
python3 "$here/check-firmware.py" "$dir/zr48.bin"

for file in zr48.sys zr48stat.exe zr48.cat; do
  if ! report=$(osslsigncode verify -CAfile "$cert" -ignore-timestamp -in "$dir/$file" 2>&1); then
    printf '%s\n' "$report" | grep -iE "fail|error|mismatch|digest" | head -5 >&2
    fail "the signature of $file does not verify"
  fi
  grep -q "Message digest algorithm *: SHA1" <<<"$report" ||
    fail "$file is not signed with SHA-1 (Windows 2000 to 7 verify no other)"
  echo "$dir/$file: signature verified (SHA-1, $(openssl x509 -in "$cert" -noout -subject | sed 's/^subject=//'))"
done
for file in zr48.sys zr48stat.exe; do
  osslsigncode verify -CAfile "$cert" -ignore-timestamp -catalog "$dir/zr48.cat" \
    -in "$dir/$file" >/dev/null 2>&1 || fail "osslsigncode does not find $file in zr48.cat"
done
python3 "$here/catalog.py" check "$dir/zr48.cat" \
  "$dir/zr48.inf" "$dir/zr48.sys" "$dir/zr48.bin" "$dir/zr48stat.exe"
extra=$(cd "$dir" && ls | grep -vxE 'zr48\.(inf|sys|bin|cat)|zr48stat\.exe' || true)
[ -z "$extra" ] || fail "holds files the INF does not name: $extra"
echo "check-package: $dir: complete and signed"
