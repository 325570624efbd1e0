#!/usr/bin/env bash
# Installs what the build, the tests and the simulator need on a Debian
# machine, when it is missing. Runs apt-get as root (directly, or via sudo).
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  osslsigncode openssl wine64
  clang-14 libclang-rt-14-dev llvm-14
  iproute2 iperf3 iputils-ping procps valgrind python3
  g++-multilib
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  run() { "$@"; }
elif command -v sudo >/dev/null; then
  # sudo resets the environment: without this, iperf3's debconf question
  # would wait for an answer nobody gives.
  run() { sudo env DEBIAN_FRONTEND=noninteractive "$@"; }
else
  echo "install-deps: missing packages (${missing[*]}) and not root; install them first" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# Try without refreshing the package lists first; refresh when that fails.
if ! run apt-get install -y --no-install-recommends "${missing[@]}"; then
  run apt-get update
  run apt-get install -y --no-install-recommends "${missing[@]}"
fi
