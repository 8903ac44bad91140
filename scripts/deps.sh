#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing,
# and any further packages named as arguments (scripts/fuzz.sh adds its own).
# Usage: scripts/deps.sh [PACKAGE...]
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev ffmpeg
  libpcap-dev tshark
  libcli11-dev nlohmann-json3-dev
  g++-mingw-w64-i686
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
