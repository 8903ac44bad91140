#!/usr/bin/env bash
# Cross-builds driver/ into an i686 kernel-mode .sys (its record sizes are
# checked at compile time, windows/sizes.cpp), lists and checks what it
# imports, checks the image and the INF, and shows that the checks reject
# what they must. Fails on the first failing step.
# Usage: windows/build.sh [BUILD_DIR]   (default build/windows)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
out=${1:-$top/build/windows}

cmake -S "$here" -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/toolchain-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out" -j2
echo "record sizes: checked at compile time"
"$here/check-imports.sh" "$out/mpegunit.sys"
"$here/check-image.sh" "$out/mpegunit.sys"
"$here/check-inf.sh" "$here/mpegunit.inf"
"$here/check-selftest.sh"
