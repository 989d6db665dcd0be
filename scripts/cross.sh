#!/usr/bin/env bash
# Cross-builds the firmware of every image for its chip (preset `cross`, see
# cmake/cross.cmake) and checks it: it must compile and link for the
# Cortex-M4 core, leave undefined only what the vendor headers declare (with
# C linkage), and stay within its budget: at most 85 % of its flash region and
# 80 % of the chip's RAM, the rest being room for the vendor code, the stack
# and the heap. Prints one line per image; exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for p in gcc-arm-none-eabi libnewlib-arm-none-eabi libstdc++-arm-none-eabi-newlib binutils-arm-none-eabi \
         cmake ninja-build python3; do
  have "$p" || need+=("$p")
done
if ((${#need[@]})); then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${need[@]}"
fi

build=build/cross
if [ ! -f "$build/build.ninja" ]; then
  cmake --preset cross >/dev/null
fi
if ! cmake --build "$build" -j "$(nproc)"; then
  echo "cross: the firmware no longer compiles or links for its chip (see above)" >&2
  exit 1
fi

python3 - "$build" <<'EOF'
import re, subprocess, sys

build = sys.argv[1]
FLASH_BUDGET, RAM_BUDGET = 85.0, 80.0

# Every identifier of the vendor headers: a symbol left undefined must be one
# of them (a firmware function without its definition in the image would
# otherwise pass unnoticed).
vendor = set()
for h in open(f"{build}/vendor-headers.txt").read().split():
    vendor.update(re.findall(r"[A-Za-z_][A-Za-z0-9_]*", open(h).read()))
# The stand-ins of registers and of records the vendor SDK places in linker
# sections are C++ types on the host (their accesses are the simulated
# chip's); on the chip they are plain memory, not vendor functions.
allowed_cxx = re.compile(r"^(stm32_\w+|nrf_sdh_\w+_observer_registrar)::")

def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout

failed = False
rows = []
for image in open(f"{build}/images.txt").read().split():
    elf = f"{build}/{image}.elf"
    chip, part, origin, length, ram_origin, ram_length = open(f"{build}/{image}.region").read().split()
    origin, length, ram_origin, ram_length = (int(v, 16) for v in (origin, length, ram_origin, ram_length))
    flash = ram = 0
    # Sections: flash holds what is loaded (code, constants, the initial
    # values of data); RAM what lives at a RAM address (data and zeroed data).
    lines = run("arm-none-eabi-objdump", "-h", "-w", elf).splitlines()
    for line in lines:
        f = line.split()
        if len(f) < 7 or not f[0].isdigit():
            continue
        size, vma, lma = int(f[2], 16), int(f[3], 16), int(f[4], 16)
        flags = " ".join(f[6:])
        if "ALLOC" not in flags:
            continue
        if "LOAD" in flags and "CONTENTS" in flags and origin <= lma < origin + length:
            flash += size
        if ram_origin <= vma < ram_origin + ram_length:
            ram += size
    problems = []
    undefined = [l.split()[-1] for l in run("arm-none-eabi-nm", "-u", elf).splitlines()
                 if l.split()[0] == "U"]
    cxx = [s for s in undefined if s.startswith("_Z")]
    names = dict(zip(cxx, run("arm-none-eabi-c++filt", *cxx).splitlines())) if cxx else {}
    for s in undefined:
        if s.startswith("_Z"):
            if not allowed_cxx.match(names[s]):
                problems.append(f"undefined with C++ linkage: {names[s]}")
        elif s not in vendor:
            problems.append(f"undefined and declared by no vendor header: {s}")
    fp, rp = 100.0 * flash / length, 100.0 * ram / ram_length
    if fp > FLASH_BUDGET:
        problems.append(f"flash {fp:.1f} % of its {part} region, budget {FLASH_BUDGET:.0f} %")
    if rp > RAM_BUDGET:
        problems.append(f"RAM {rp:.1f} % of the chip's RAM, budget {RAM_BUDGET:.0f} %")
    rows.append((image, chip, part, flash, length, fp, ram, ram_length, rp, problems))
    failed |= bool(problems)

print(f"{'image':<14} {'chip':<9} {'flash used':>10} / {'region':<19} {'%':>5}   "
      f"{'RAM used':>8} / {'RAM':<7} {'%':>5}   budget {FLASH_BUDGET:.0f} % / {RAM_BUDGET:.0f} %")
for image, chip, part, flash, length, fp, ram, ram_length, rp, problems in rows:
    region = f"{length} ({part})"
    print(f"{image:<14} {chip:<9} {flash:>10} / {region:<19} {fp:5.1f}   "
          f"{ram:>8} / {ram_length:<7} {rp:5.1f}   {'FAIL' if problems else 'ok'}")
for image, *_, problems in rows:
    for p in problems:
        print(f"cross: {image}: {p}", file=sys.stderr)
sys.exit(1 if failed else 0)
EOF
