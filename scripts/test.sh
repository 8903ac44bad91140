#!/usr/bin/env bash
# Builds everything and runs every test: the hosted build, then the same suites
# under AddressSanitizer and UndefinedBehaviorSanitizer, the concurrent suites
# (platform, emulator, driver, reliability) under ThreadSanitizer, the Windows
# target and a short fuzzing run. Prints the time of each stage at the end.
# Usage: scripts/test.sh [--quick]   (--quick: the hosted build only)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

timings=()
# Runs a stage and keeps its wall time for the summary.
stage() {
  local name=$1
  shift
  local start=$SECONDS
  "$@"
  timings+=("$(printf '%-16s %4d s' "$name" $((SECONDS - start)))")
}

print_timings() {
  echo "== times"
  local line
  for line in "${timings[@]}"; do echo "   $line"; done
}
trap print_timings EXIT

build_preset() {
  echo "== $1: configure and build"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
}

# The tsan presets build and run only the concurrent suites (CMakePresets.json).
test_preset() {
  echo "== $1: tests"
  ctest --preset "$1"
}

windows_build() {
  echo "== windows: cross-build of the driver"
  windows/build.sh
}

stage "default build" build_preset default
stage "default tests" test_preset default
if [ "${1:-}" != "--quick" ]; then
  stage "asan build" build_preset asan
  stage "asan tests" test_preset asan
  stage "tsan build" build_preset tsan
  stage "tsan tests" test_preset tsan
  if [ -x windows/build.sh ]; then
    stage "windows" windows_build
  fi
  if [ -x scripts/fuzz.sh ]; then
    # A fixed seed: the smoke run finds the same inputs on every run.
    stage "fuzz smoke" env MPEGUNIT_FUZZ_SEED=1 scripts/fuzz.sh 20
  fi
fi
