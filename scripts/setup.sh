#!/usr/bin/env bash
# Installs what the build needs on a fresh Debian machine (idempotent), then
# configures the given CMake preset (default: "default").
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for p in cmake ninja-build g++ g++-multilib googletest libssl-dev:i386 zlib1g-dev:i386 \
         libbenchmark-dev:i386 lrzsz python3; do
  have "$p" || need+=("$p")
done
if ((${#need[@]})); then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO="sudo"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${need[@]}"
fi

preset="${1:-default}"
if [ ! -f "build/$preset/build.ninja" ]; then
  cmake --preset "$preset" >/dev/null
fi
