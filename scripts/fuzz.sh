#!/usr/bin/env bash
# Runs the fuzz targets: scripts/fuzz.sh [SECONDS] [TARGET...]
#
#   SECONDS  how long each target runs (default 60); the targets run side by
#            side, FUZZ_JOBS of them at a time (default: all at once), so the
#            whole run takes about SECONDS times the number of rounds
#   TARGET   one of the list below (default: all)
#
# Configures and builds the "fuzz" preset (clang, libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer; only the fuzz targets). Each target starts
# from its seeds in tests/fuzz/corpus/<target> and keeps what it learns in
# build/fuzz/corpus/<target>, so later runs go on from there; the seeds in
# the repository are never written. An input that fails is written to
# build/fuzz/artifacts/<target>/ and its report shown. To keep it as a
# regression input, copy it to tests/fuzz/corpus/<target>/regression-<what>.
set -euo pipefail
cd "$(dirname "$0")/.."

all=(fuzz_at_line fuzz_nvm_record fuzz_p2p_decrypt fuzz_ymodem fuzz_ble_update fuzz_ble_serial
  fuzz_lorawan_downlink fuzz_lorawan_mac_commands fuzz_classb_beacon fuzz_longpacket
  fuzz_lora_certification fuzz_ble_host fuzz_wifi_passthrough fuzz_atcell
  fuzz_network_uplink)
seconds=60
if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
for t in "${targets[@]}"; do
  [[ " ${all[*]} " == *" $t "* ]] || { echo "fuzz.sh: no target $t (have: ${all[*]})" >&2; exit 2; }
done

scripts/setup.sh fuzz
cmake --build --preset fuzz -j "$(nproc)" >/dev/null

build=build/fuzz
jobs=${FUZZ_JOBS:-${#targets[@]}}
[[ "$jobs" =~ ^[1-9][0-9]*$ ]] || { echo "fuzz.sh: FUZZ_JOBS must be a positive number" >&2; exit 2; }
status=0
pids=()
for i in "${!targets[@]}"; do
  t=${targets[$i]}
  if [ "$i" -ge "$jobs" ]; then
    wait "${pids[$((i - jobs))]}" || true  # a free place; its result is read below
  fi
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t" "$build/logs"
  ( "$build/tests/fuzz/$t" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$t/" \
      "$build/corpus/$t" "tests/fuzz/corpus/$t" >"$build/logs/$t.log" 2>&1
    echo $? >"$build/logs/$t.status" ) &
  pids+=($!)
done
wait
for t in "${targets[@]}"; do
  log="$build/logs/$t.log"
  if [ "$(cat "$build/logs/$t.status")" = 0 ]; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    echo "fuzz: $t: ${runs:-?} runs, $cov, no failure"
  else
    status=1
    echo "fuzz: $t: FAILED (log $log)"
    grep -E 'ERROR:|runtime error|SUMMARY|Test unit written' "$log" | head -20 || true
  fi
done
exit $status
