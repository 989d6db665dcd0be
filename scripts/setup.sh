#!/usr/bin/env bash
# Installs what the build needs on a fresh Debian machine (idempotent), then
# configures the given CMake preset (default: "default").
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for p in cmake ninja-build g++ g++-multilib googletest libssl-dev:i386 zlib1g-dev:i386 \
         clang-14 libclang-rt-14-dev clang-format-14 \
         libbenchmark-dev:i386 lrzsz python3 tshark; do
  have "$p" || need+=("$p")
done
if ((${#need[@]})); then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO="sudo"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -q
  # tshark (capture files of the world) asks whether to install its capture helper setuid.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${need[@]}"
fi

# Everything here is built for a 32-bit host. Some virtual machines run no
# 32-bit x86 code natively; there the kernel is told to start such programs
# under the user-mode emulator (binfmt_misc), so the images, tools and tests
# still run as they are, including the programs they start themselves.
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
printf 'int main(void){return 0;}\n' > "$probe_dir/p.c"
if gcc -m32 "$probe_dir/p.c" -o "$probe_dir/p" 2>/dev/null && ! "$probe_dir/p" 2>/dev/null; then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO="sudo"
  if [ ! -x /usr/bin/qemu-i386 ]; then
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q qemu-user
  fi
  bm=/proc/sys/fs/binfmt_misc
  [ -e "$bm/register" ] || $SUDO mount -t binfmt_misc binfmt_misc "$bm"
  if [ ! -e "$bm/qemu-i386" ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
      | $SUDO tee "$bm/register" >/dev/null
  fi
  "$probe_dir/p" || { echo "setup: this machine cannot run 32-bit programs" >&2; exit 1; }
  echo "setup: 32-bit programs run under qemu-i386 on this machine" >&2
fi

preset="${1:-default}"
if [ ! -f "build/$preset/build.ninja" ]; then
  cmake --preset "$preset" >/dev/null
fi
