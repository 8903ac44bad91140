#!/usr/bin/env bash
# Checks that a .sys is a loadable kernel driver image: PE32, entry routine
# DriverEntry (stdcall, _DriverEntry@8), base relocations present, nothing
# exported, and nothing of a C++ or C runtime: no constructors, no imports
# that a user-mode runtime would have to patch, no runtime support routines.
set -euo pipefail
sys=${1:?usage: check-image.sh FILE.sys}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
nm=${NM:-i686-w64-mingw32-nm}

headers=$("$objdump" -p "$sys") || { echo "check-image: cannot read $sys"; exit 1; }
symbols=$("$nm" "$sys") || { echo "check-image: no symbols in $sys"; exit 1; }
status=0
fail() { echo "check-image: $*"; status=1; }

field() { awk -v name="$1" '$1 == name {print $2; exit}' <<<"$headers"; }
symbol() { awk -v name="$1" '$3 == name {print $1; exit}' <<<"$symbols"; }

[ "$(field Magic)" = "010b" ] || fail "not a PE32 image (magic $(field Magic))"

entry=$(( 0x$(field ImageBase) + 0x$(field AddressOfEntryPoint) ))
driver_entry=$(symbol _DriverEntry@8)
if [ -z "$driver_entry" ]; then
  fail "no _DriverEntry@8"
elif [ "$entry" -ne $(( 0x$driver_entry )) ]; then
  fail "entry point $(printf '%#x' "$entry") is not _DriverEntry@8 (0x$driver_entry)"
fi

# Data directory entries: 0 exports, 5 base relocations.
directory() { awk -v n="$1" '$1 == "Entry" && $2 == n {print $4; exit}' <<<"$headers"; }
[ $(( 0x$(directory 5) )) -gt 0 ] || fail "no base relocations (a driver must be relocatable)"
[ $(( 0x$(directory 0) )) -eq 0 ] || fail "the image exports symbols"

# The constructor and destructor lists hold only their -1 head and 0 tail.
for list in CTOR DTOR; do
  head=$(symbol "___${list}_LIST__")
  [ -n "$head" ] || continue
  words=$("$objdump" -s --start-address=$(( 0x$head )) --stop-address=$(( 0x$head + 8 )) "$sys" |
    awk '/^ [0-9a-f]+ / {print $2, $3; exit}')
  [ "$words" = "ffffffff 00000000" ] || fail "static ${list,,}s present (${list} list at 0x$head: $words)"
done
pseudo=$(symbol ___RUNTIME_PSEUDO_RELOC_LIST__)
pseudo_end=$(symbol ___RUNTIME_PSEUDO_RELOC_LIST_END__)
[ "$pseudo" = "$pseudo_end" ] || fail "runtime pseudo-relocations present (auto-imported data)"

runtime=$(awk '{print $NF}' <<<"$symbols" |
  grep -E '^(__cxa_|___cxa_|__gxx_personality|___gxx_personality|__Unwind_|_Unwind_|__Zn[wa]|__Zd[la]|___chkstk|__alloca|_atexit|___main|__pei386_runtime_relocator|___mingw_)' |
  sort -u || true)
[ -z "$runtime" ] || fail "runtime support linked in: $(tr '\n' ' ' <<<"$runtime")"

[ $status -eq 0 ] && echo "$sys: PE32 native driver, entry _DriverEntry@8, relocatable, no exports, no runtime"
exit $status
