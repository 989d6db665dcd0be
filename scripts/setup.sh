#!/usr/bin/env bash
# Installs what the build needs on a fresh Debian or Ubuntu machine (x86-64
# or aarch64; idempotent), then configures the given CMake preset (default:
# "default"). Everything is built for the machine's own word size: the only
# step that needs root is apt-get install.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for p in cmake ninja-build g++ googletest libssl-dev zlib1g-dev \
         clang-14 libclang-rt-14-dev clang-format-14 \
         libbenchmark-dev lrzsz python3 tshark; do
  have "$p" || need+=("$p")
done
if ((${#need[@]})); then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO="sudo"
  $SUDO apt-get update -q
  # tshark (capture files of the world) asks whether to install its capture helper setuid.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${need[@]}"
fi

preset="${1:-default}"
if [ ! -f "build/$preset/build.ninja" ]; then
  cmake --preset "$preset" >/dev/null
fi
