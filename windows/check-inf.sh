#!/usr/bin/env bash
# Checks the INF against the driver: every microcode image value that the
# driver reads has its default file name in the driver key, and every image
# and the driver itself are on the disk and copied on both system families.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
inf=${1:-$top/windows/mpegunit.inf}
utils=$top/driver/utils.h
status=0
fail() { echo "check-inf: $*"; status=1; }

# Lines of one INF section, without comments and blank lines.
section() {
  awk -v name="[$1]" '
    /^\[/ { inside = (tolower($0) == tolower(name)); next }
    inside { sub(/;.*/, ""); gsub(/[ \t\r]+$/, ""); if ($0 != "") print }' "$inf"
}

# SETTING_<X>_IMAGE L"Value" pairs with MICROCODE_DEFAULT_<X> ... L"\\file".
images=$(sed -n 's/^#define SETTING_\([A-Z0-9_]*\)_IMAGE L"\([^"]*\)".*/\1 \2/p' "$utils")
[ -n "$images" ] || fail "no image values in $utils"
settings=$(section Unit.Settings)
files=("mpegunit.sys")
while read -r kind value; do
  file=$(sed -n "s/^#define MICROCODE_DEFAULT_${kind} .*L\"\\\\\\\\\\([^\"]*\\)\".*/\\1/p" "$utils")
  [ -n "$file" ] || { fail "no default file for $value"; continue; }
  files+=("$file")
  grep -qxF "HKR,,$value,,\"$file\"" <<<"$settings" || fail "driver key lacks $value = \"$file\""
done <<<"$images"

disk=$(section SourceDisksFiles | sed 's/=.*//')
for list in Unit.Files.NT Unit.Files.9x; do
  copied=$(section "$list")
  for file in "${files[@]}"; do
    grep -qixF "$file" <<<"$copied" || fail "$list does not copy $file"
  done
done
for file in "${files[@]}"; do
  grep -qixF "$file" <<<"$disk" || fail "SourceDisksFiles lacks $file"
done
section Unit.Service | grep -qxF 'ServiceBinary=%12%\mpegunit.sys' || fail "service binary is not %12%\\mpegunit.sys"
section Unit.Loader.9x | grep -qxF 'HKR,,NTMPDriver,,mpegunit.sys' || fail "no NTMPDriver entry for Windows 98/ME"

[ $status -eq 0 ] && echo "$inf: ${#files[@]} files, $(wc -l <<<"$images") image values, consistent with the driver"
exit $status
