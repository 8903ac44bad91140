#!/usr/bin/env bash
# Cross-builds driver/ into an i686 kernel-mode .sys and checks what it imports.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/build/windows}
cmake -S "$top/windows" -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/windows/toolchain-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out" -j2
"$top/windows/check-imports.sh" "$out/mpegunit.sys"
