#!/usr/bin/env bash
# The main job: installs what is missing, builds the hosted default preset and
# captures ten seconds from the emulated unit, in real time as a user sees
# it, into capture.mpg in the current folder.
# Usage: scripts/run.sh [more mpegunit capture options]
set -euo pipefail
here=$(pwd)
root=$(cd "$(dirname "$0")/.." && pwd)

"$root/scripts/deps.sh"
(cd "$root" && cmake --preset default >/dev/null && cmake --build --preset default)

"$root/build/default/tools/mpegunit" capture -o "$here/capture.mpg" --seconds 10 "$@"
echo "The capture is in $here/capture.mpg"
