#!/usr/bin/env bash
# Lists what a .sys imports, DLL by DLL, and fails on any DLL but the kernel's
# own four, or on a subsystem other than native.
set -euo pipefail
sys=${1:?usage: check-imports.sh FILE.sys}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
allowed="ntoskrnl.exe hal.dll stream.sys usbd.sys"

headers=$("$objdump" -p "$sys") || { echo "check-imports: cannot read $sys"; exit 1; }
echo "$sys imports from:"
awk '/^\tDLL Name:/ {print "  " $3; next}
     /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_@]/ {print "    " $NF}' <<<"$headers"

status=0
dlls=$(awk '/^\tDLL Name:/ {print $3}' <<<"$headers")
[ -n "$dlls" ] || { echo "check-imports: no imports found"; status=1; }
for dll in $dlls; do
  lower=$(tr 'A-Z' 'a-z' <<<"$dll")
  case " $allowed " in
    *" $lower "*) ;;
    *) echo "check-imports: import from $dll is not allowed"; status=1 ;;
  esac
done
subsystem=$(awk '/^Subsystem/ {print $2}' <<<"$headers")
[ "$subsystem" = "00000001" ] || { echo "check-imports: subsystem is $subsystem, not native"; status=1; }
exit $status
