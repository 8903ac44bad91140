#!/usr/bin/env bash
# Builds everything and runs every test: the hosted build, then the same suites
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the Windows target.
# Usage: scripts/test.sh [--quick]   (--quick: the hosted build only)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

run_preset() {
  local preset=$1
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: tests"
  ctest --preset "$preset"
}

run_preset default
if [ "${1:-}" != "--quick" ]; then
  run_preset asan
  if [ -x windows/build.sh ]; then
    echo "== windows: cross-build of the driver"
    windows/build.sh
  fi
fi
[ "${1:-}" = "--quick" ] || scripts/fuzz.sh 20
