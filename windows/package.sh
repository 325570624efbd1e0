#!/usr/bin/env bash
# package.sh ARCH DRIVER TOOL FIRMWARE CERT KEY OUT
# Assembles the installable package for ARCH (x86 or amd64) in OUT: the INF,
# the driver and zr48stat.exe with embedded Authenticode signatures, the
# firmware image as zr48.bin, and the signed catalog zr48.cat listing them all.
# Signatures are SHA-1: Windows 2000, XP, 2003, Vista and 7 (its kernel
# included) verify no other without updates.
set -euo pipefail
arch=$1 driver=$2 tool=$3 firmware=$4 cert=$5 key=$6 out=$7
here=$(cd "$(dirname "$0")" && pwd)

case "$arch" in
  # The systems each package is for, as catalogs name them: the attribute
  # "2:major.minor" per NT version, and the OS names Windows' signing tools use.
  x86)   os_attr="2:5.0,2:5.1,2:5.2,2:6.0,2:6.1"
         os_names="2000,XPX86,Server2003X86,VistaX86,7X86" ;;
  amd64) os_attr="2:5.2,2:6.0,2:6.1"
         os_names="XPX64,Server2003X64,VistaX64,Server2008X64,7X64,Server2008R2X64" ;;
  *) echo "package: unknown architecture $arch (x86 or amd64)" >&2; exit 2 ;;
esac

if ! what=$(python3 "$here/check-firmware.py" "$firmware" 2>&1); then
  echo "package: firmware refused: $what" >&2
  exit 1
fi

rm -rf "$out"
mkdir -p "$out"
cp "$here/zr48.inf" "$out/zr48.inf"
cp "$firmware" "$out/zr48.bin"
sign() {  # sign INPUT OUTPUT DESCRIPTION
  osslsigncode sign -certs "$cert" -key "$key" -h sha1 -n "$3" -in "$1" -out "$2" >/dev/null
}
sign "$driver" "$out/zr48.sys" "zr48 SHDSL miniport"
sign "$tool" "$out/zr48stat.exe" "zr48stat"
python3 "$here/catalog.py" make --os-attr "$os_attr" --os "$os_names" \
  --hwid 'PCI\VEN_1BA7&DEV_0316' --out "$out/zr48.unsigned.cat" \
  "$out/zr48.inf" "$out/zr48.sys" "$out/zr48.bin" "$out/zr48stat.exe"
sign "$out/zr48.unsigned.cat" "$out/zr48.cat" "zr48 driver package"
rm "$out/zr48.unsigned.cat"

echo "package $arch: $out"
echo "  firmware packaged as zr48.bin: $firmware"
echo "    ${what#*: }"
echo "  signed with: $(openssl x509 -in "$cert" -noout -subject | sed 's/^subject=//')"
echo "  files: $(cd "$out" && ls | tr '\n' ' ')"
