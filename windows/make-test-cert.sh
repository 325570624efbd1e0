#!/usr/bin/env bash
# make-test-cert.sh DIR: a self-signed code-signing certificate for test
# signing, made once and kept (a Windows test machine that trusts it goes on
# trusting every later build signed with it):
#   DIR/zr48-test.key  the private key (stays on the build machine)
#   DIR/zr48-test.pem  the certificate, for osslsigncode
#   DIR/zr48-test.cer  the same in DER, for certutil/certmgr on Windows
# SHA-1 and RSA 2048, which Windows 2000 to 7 all verify.
set -euo pipefail
dir=$1
mkdir -p "$dir"
if [ -s "$dir/zr48-test.key" ] && [ -s "$dir/zr48-test.pem" ] && [ -s "$dir/zr48-test.cer" ]; then
  exit 0
fi
umask 077
openssl req -x509 -newkey rsa:2048 -nodes -sha1 -days 3650 \
  -keyout "$dir/zr48-test.key" -out "$dir/zr48-test.pem" \
  -subj "/O=Morvane/CN=zr48 test signing (not for release)" \
  -addext "extendedKeyUsage=codeSigning" \
  -addext "keyUsage=critical,digitalSignature" \
  -addext "basicConstraints=critical,CA:FALSE" 2>/dev/null
openssl x509 -in "$dir/zr48-test.pem" -outform DER -out "$dir/zr48-test.cer"
chmod 644 "$dir/zr48-test.pem" "$dir/zr48-test.cer"
echo "make-test-cert: made a new test certificate $dir/zr48-test.cer"
