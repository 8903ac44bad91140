#!/usr/bin/env bash
# Lists the DLLs a .sys imports from and fails on any but the kernel's own.
set -euo pipefail
sys=$1
allowed="ntoskrnl.exe hal.dll stream.sys usbd.sys"
dlls=$(i686-w64-mingw32-objdump -p "$sys" | awk '/DLL Name:/ {print $3}')
echo "$sys imports from:"
i686-w64-mingw32-objdump -p "$sys" | awk '/DLL Name:/ {dll=$3; print "  " dll} /^\t[0-9a-f]+ +[0-9]+ +[A-Za-z_]/ {print "    " $3}'
status=0
for dll in $dlls; do
  lower=$(echo "$dll" | tr 'A-Z' 'a-z')
  case " $allowed " in
    *" $lower "*) ;;
    *) echo "not allowed: $dll"; status=1 ;;
  esac
done
subsystem=$(i686-w64-mingw32-objdump -p "$sys" | awk '/^Subsystem/ {print $2}')
[ "$subsystem" = "00000001" ] || { echo "subsystem is $subsystem, not native"; status=1; }
exit $status
