#!/usr/bin/env bash
# Builds the benchmarks and the image programs they run, runs them and prints
# a table of the results. Benchmarks are never part of the test suite.
#
#   scripts/bench.sh [BUILD_DIR] [-- world_bench options...]
#
# BUILD_DIR defaults to build/default (configured with the "default" preset
# when missing). Timings depend on the host and on its load: run it on a
# quiet machine. The raw results stay in BUILD_DIR/bench-results.json.
set -euo pipefail
cd "$(dirname "$0")/.."

build="build/default"
if [ $# -gt 0 ] && [ "$1" != "--" ]; then
  build="$1"
  shift
fi
[ "${1:-}" = "--" ] && shift

if [ ! -f "$build/build.ninja" ]; then
  if [ "$build" = "build/default" ]; then
    scripts/setup.sh default
  else
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
fi
if ! cmake --build "$build" --target bench -j "$(nproc)" >&2; then
  echo "bench.sh: the benchmarks could not be built (is libbenchmark-dev installed?)" >&2
  exit 1
fi

results="$build/bench-results.json"
"$build/bench/world/world_bench" --benchmark_out="$results" --benchmark_out_format=json \
  --benchmark_format=console "$@" >&2

python3 - "$results" <<'EOF'
import json, sys

data = json.load(open(sys.argv[1]))
scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}

def host(b):
    """Host seconds per iteration (wall clock)."""
    return b["real_time"] * scale[b.get("time_unit", "ns")]

def fmt_time(s):
    if s >= 1: return f"{s:.2f} s"
    if s >= 1e-3: return f"{s * 1e3:.2f} ms"
    return f"{s * 1e6:.1f} us"

# What each family measures, and the goal it is held to (a text and a test of
# the host seconds and the benchmark's record).
families = {
    "IdleDay": ("idle device, 24 h of virtual time", "< 2 s", lambda s, b: s < 2.0),
    "AtRoundTrip": ("one command and its reply", None, None),
    "FrameExchange": ("one frame between two devices", None, None),
    "World20": ("20 devices x 1 frame/min, 1 h virtual", ">= 1500x virtual/host",
                lambda s, b: b.get("virt/host", 0) >= 1500),
    "ClassADay": ("class-A-like sender and a listener, 24 h virtual", "< 0.1 s",
                  lambda s, b: s < 0.1),
    "OneGateway": ("N-1 senders, one listener, 15 min virtual", None, None),
}

rows = []
for b in data["benchmarks"]:
    name = b["name"].replace("/real_time", "")
    name = "/".join(p for p in name.split("/") if not p.startswith("iterations:"))
    family, _, subject = name.partition("/")
    what, goal, ok = families.get(family, (family, None, None))
    if b.get("error_occurred"):
        rows.append((family, subject, what, "-", b.get("error_message", "error"), ""))
        continue
    s = host(b)
    extra = []
    if "virt_ms" in b: extra.append(f"{b['virt_ms']:.1f} ms virtual each")
    if "virt/host" in b: extra.append(f"virtual/host = {b['virt/host']:.0f}x")
    if "heard" in b: extra.append(f"{int(b['frames'])} frames, {int(b['heard'])} receptions")
    if "host_ms/frame" in b: extra.append(f"{b['host_ms/frame']:.2f} ms/frame")
    verdict = ""
    if goal:
        verdict = f"goal {goal}: " + ("met" if ok(s, b) else "MISSED")
    rows.append((family, subject, what, fmt_time(s), "; ".join(extra), verdict))

# Many senders and one listener: host time should grow linearly with the
# devices, i.e. the host time per frame should stay flat from the smallest
# world to the largest (within half again, allowing for the host's noise).
per_frame = sorted((int(b["name"].split("/")[1]), b["host_ms/frame"]) for b in data["benchmarks"]
                   if b["name"].startswith("OneGateway/") and "host_ms/frame" in b
                   and not b.get("error_occurred"))
if len(per_frame) >= 2:
    (n0, f0), (n1, f1) = per_frame[0], per_frame[-1]
    flat = f1 <= 1.5 * f0
    rows.append(("OneGateway", f"{n0}..{n1}", "host time per frame, smallest to largest world",
                 f"{f0:.2f} -> {f1:.2f} ms", "", "goal linear in devices: " +
                 ("met" if flat else "MISSED")))

head = ("benchmark", "devices", "measures", "host time", "notes", "")
widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
line = "  ".join("-" * w for w in widths)
print()
print("  ".join(str(h).ljust(w) for h, w in zip(head, widths)).rstrip())
print(line)
for r in rows:
    print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())
EOF
