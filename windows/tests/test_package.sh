#!/usr/bin/env bash
# test_package.sh PACKAGE CERT KEY: the package check, fed copies of a good
# package with one fault each, must refuse every one with its reason; and
# package.sh must refuse firmware the card would refuse.
set -uo pipefail
package=$1 cert=$2 key=$3
here=$(cd "$(dirname "$0")" && pwd)
windows=$(dirname "$here")
expect=$here/expect-refusal.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

# A valid firmware image of another body size, made here.
firmware() {
  python3 -c '
import struct, sys, zlib
body = bytes((i * 7 + 3) & 0xFF for i in range(int(sys.argv[2])))
open(sys.argv[1], "wb").write(struct.pack("<4sBBHII", b"ZR48", 1, 0, 0, len(body), zlib.crc32(body)) + body)
' "$1" "$2"
}
# Rewrites a PE image's checksum so that only the change made counts.
fix_checksum() {
  python3 -c '
import struct, sys
sys.path.insert(0, sys.argv[2]); sys.dont_write_bytecode = True
import pe
image = pe.Image(sys.argv[1])
data = bytearray(image.data)
struct.pack_into("<I", data, image.checksum_offset, image.computed_checksum())
open(sys.argv[1], "wb").write(data)
' "$1" "$windows"
}
fresh() {  # a copy of the good package in $work/p
  rm -rf "$work/p" && cp -r "$package" "$work/p"
}
run() {  # run NAME PATTERN: the check must refuse $work/p for PATTERN
  echo "== $1"
  if "$expect" "$2" "$windows/check-package.sh" amd64 "$work/p" "$cert"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)); echo "FAILED: $1"
  fi
}

fresh
echo "== the good package passes"
if "$windows/check-package.sh" amd64 "$work/p" "$cert" >/dev/null; then passed=$((passed + 1)); else
  failed=$((failed + 1)); echo "FAILED: the good package is refused"; fi

fresh
python3 -c '
import sys
d = bytearray(open(sys.argv[1], "rb").read()); d[0x500] ^= 0x01; open(sys.argv[1], "wb").write(d)
' "$work/p/zr48.sys"
fix_checksum "$work/p/zr48.sys"
run "driver code changed after signing" "the signature of zr48.sys does not verify"

fresh
osslsigncode remove-signature -in "$work/p/zr48stat.exe" -out "$work/p/unsigned.exe" >/dev/null
mv "$work/p/unsigned.exe" "$work/p/zr48stat.exe"
run "zr48stat.exe without a signature" "the signature of zr48stat.exe does not verify"

fresh
osslsigncode remove-signature -in "$work/p/zr48stat.exe" -out "$work/p/unsigned.exe" >/dev/null
rm "$work/p/zr48stat.exe"  # osslsigncode writes no file that exists
osslsigncode sign -certs "$cert" -key "$key" -h sha256 -in "$work/p/unsigned.exe" \
  -out "$work/p/zr48stat.exe" >/dev/null
rm "$work/p/unsigned.exe"
run "a SHA-256 signature" "zr48stat.exe is not signed with SHA-1"

fresh
openssl req -x509 -newkey rsa:2048 -nodes -sha1 -days 30 -keyout "$work/other.key" \
  -out "$work/other.pem" -subj "/CN=someone else" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
rm "$work/p/zr48.cat"
osslsigncode sign -certs "$work/other.pem" -key "$work/other.key" -h sha1 \
  -in "$package/zr48.cat" -out "$work/p/zr48.cat" >/dev/null
run "a catalog signed by another certificate" "the signature of zr48.cat does not verify"

fresh
firmware "$work/p/zr48.bin" 4096
run "firmware replaced after the catalog was made" "lists zr48.bin with digest [0-9A-F]+; the file's is"

fresh
sed -i 's/^; zr48.inf: /; zr48.inf (changed): /' "$work/p/zr48.inf"
run "the INF changed after the catalog was made" "lists zr48.inf with digest"

fresh
python3 "$windows/catalog.py" make --os-attr "2:5.2" --os "XPX64" --hwid 'PCI\VEN_1BA7&DEV_0316' \
  --out "$work/short.cat" "$work/p/zr48.inf" "$work/p/zr48.sys" "$work/p/zr48.bin"
rm "$work/p/zr48.cat"
osslsigncode sign -certs "$cert" -key "$key" -h sha1 -in "$work/short.cat" -out "$work/p/zr48.cat" >/dev/null
run "a catalog without zr48stat.exe" "does not list zr48stat.exe|does not find zr48stat.exe in zr48.cat"

fresh
rm "$work/p/zr48.bin"
run "the firmware missing" "zr48.bin is named by the INF but not in the package"

fresh
echo extra >"$work/p/readme.txt"
run "a file the INF does not name" "holds files the INF does not name: readme.txt"

# package.sh and the firmware it is given.
refuse_firmware() {  # NAME PATTERN IMAGE
  echo "== package.sh: $1"
  if "$expect" "$2" "$windows/package.sh" amd64 "$package/zr48.sys" "$package/zr48stat.exe" \
      "$3" "$cert" "$key" "$work/out"; then passed=$((passed + 1)); else
    failed=$((failed + 1)); echo "FAILED: $1"; fi
}
refuse_firmware "no such file" "firmware refused: .*no such file" "$work/none.bin"
refuse_firmware "a directory" "firmware refused: .*not a regular file" "$work"
head -c 5000 /dev/zero >"$work/zeros.bin"
refuse_firmware "not an image of the card's" "firmware refused: .*does not start with ZR48" "$work/zeros.bin"
firmware "$work/damaged.bin" 1000
python3 -c '
import sys
d = bytearray(open(sys.argv[1], "rb").read()); d[500] ^= 0xFF; open(sys.argv[1], "wb").write(d)
' "$work/damaged.bin"
refuse_firmware "a damaged image" "firmware refused: .*CRC-32" "$work/damaged.bin"
head -c 1000 "$package/zr48.bin" >"$work/truncated.bin"
refuse_firmware "a truncated image" "firmware refused: .*header gives" "$work/truncated.bin"
firmware "$work/huge.bin" $((1 << 20))
refuse_firmware "an image over 1 MiB" "firmware refused: .*larger than the 1 MiB" "$work/huge.bin"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
