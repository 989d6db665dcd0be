#!/usr/bin/env bash
# Builds everything and runs every test: the whole suite on the normal build,
# then again on a build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"
# The bootloader's system tests mostly wait on the wall clock: run at least
# eight tests at a time even on a small machine.
test_jobs=$(( jobs > 8 ? jobs : 8 ))
# The sanitized build also checks for leaks at exit (LeakSanitizer, on by
# default with AddressSanitizer).
export UBSAN_OPTIONS=print_stacktrace=1
for preset in default asan; do
  scripts/setup.sh "$preset"
  cmake --build "build/$preset" -j "$jobs"
done
status=0
echo "=== code format ==="
scripts/format.sh --check || status=1
echo "=== cross-build for the chips ==="
scripts/cross.sh || status=1
# The bootloader's system tests drive lrzsz's sb on a pseudo-terminal.
wallclock='^BootModule\.'
for preset in default asan; do
  echo "=== tests ($preset build) ==="
  ctest --test-dir "build/$preset" -j "$test_jobs" --output-on-failure -E "$wallclock" || status=1
  # Tests that drive real tools paced to the wall clock (sb against the
  # bootloader) can be starved by a loaded host, more so under an emulator:
  # a failure must repeat three times to count.
  ctest --test-dir "build/$preset" -j "$test_jobs" --output-on-failure -R "$wallclock" \
    --repeat until-pass:3 || status=1
done

# Fuzz targets (their own clang configuration, only the targets built): a
# few seconds of fuzzing each, then every seed and regression input once.
echo "=== fuzz targets ==="
scripts/fuzz.sh 5 || status=1
ctest --preset fuzz || status=1

exit $status
