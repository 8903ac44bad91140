#!/usr/bin/env bash
# Shows that the checks reject what they are there to reject: each image case
# links a small image with one fault and expects the named check to fail with
# the given reason (a sound image passes both image checks); each INF case
# breaks one line of our INF and expects check-inf.sh to name it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cxx=${CXX_I686:-i686-w64-mingw32-g++}

# Every image imports one routine of the kernel, as any driver does.
kernel='extern "C" __declspec(dllimport) unsigned long __cdecl DbgPrint(const char*, ...);'
cat >"$work/entry.cpp" <<SRC
$kernel
extern "C" long __stdcall DriverEntry(void*, void*) { return (long)DbgPrint("entry"); }
SRC
cat >"$work/ctor.cpp" <<SRC
$kernel
static int Read() { return (int)DbgPrint("constructor"); }
int Initialised = Read();
extern "C" long __stdcall DriverEntry(void*, void*) { return Initialised; }
SRC
cat >"$work/user.cpp" <<SRC
$kernel
extern "C" __declspec(dllimport) unsigned long __stdcall GetTickCount();
extern "C" long __stdcall DriverEntry(void*, void*) { return (long)(GetTickCount() + DbgPrint("")); }
SRC
cat >"$work/export.cpp" <<SRC
$kernel
extern "C" __declspec(dllexport) long __stdcall DriverEntry(void*, void*) { return (long)DbgPrint(""); }
SRC
cat >"$work/other.cpp" <<SRC
$kernel
extern "C" long __stdcall Other(void*, void*) { return 1; }
extern "C" long __stdcall DriverEntry(void*, void*) { return (long)DbgPrint(""); }
SRC

driver="-nostdlib -nostartfiles -Wl,--subsystem,native -Wl,--dynamicbase"
kernel_lib=-lntoskrnl
# name | source | extra link options | check | expected reason ("" = passes both)
cases=(
  "sound|entry.cpp|-Wl,--entry,_DriverEntry@8||"
  "static constructor|ctor.cpp|-Wl,--entry,_DriverEntry@8|check-image.sh|static ctors"
  "user-mode import|user.cpp|-Wl,--entry,_DriverEntry@8 -lkernel32|check-imports.sh|is not allowed"
  "console subsystem|entry.cpp|-Wl,--entry,_DriverEntry@8 -Wl,--subsystem,console|check-imports.sh|not native"
  "wrong entry|other.cpp|-Wl,--entry,_Other@8|check-image.sh|is not _DriverEntry@8"
  "no relocations|entry.cpp|-Wl,--entry,_DriverEntry@8 -Wl,--disable-reloc-section|check-image.sh|no base relocations"
  "exports|export.cpp|-Wl,--entry,_DriverEntry@8|check-image.sh|exports symbols"
)

failures=0
for row in "${cases[@]}"; do
  IFS='|' read -r name source options check reason <<<"$row"
  image="$work/${name// /_}.sys"
  # shellcheck disable=SC2086
  "$cxx" -O2 -o "$image" "$work/$source" $driver $options $kernel_lib
  if [ -z "$check" ]; then
    if "$here/check-imports.sh" "$image" >"$work/out" 2>&1 && "$here/check-image.sh" "$image" >>"$work/out" 2>&1; then
      echo "ok: $name passes"
    else
      echo "FAIL: $name was rejected:"; cat "$work/out"; failures=$((failures + 1))
    fi
  elif "$here/$check" "$image" >"$work/out" 2>&1; then
    echo "FAIL: $name passed $check"; failures=$((failures + 1))
  elif grep -q -- "$reason" "$work/out"; then
    echo "ok: $name rejected by $check"
  else
    echo "FAIL: $name rejected by $check for another reason:"; cat "$work/out"; failures=$((failures + 1))
  fi
done

# name | sed expression applied to the INF | expected reason
inf_cases=(
  "image value missing|/^HKR,,Mpeg2EncoderMicrocodePAL,/d|lacks Mpeg2EncoderMicrocodePAL"
  "image value misnamed|s/\"enc1pal.ux\"/\"enc1pal.bin\"/|lacks Mpeg1EncoderMicrocodePAL"
  "image not copied on 98/ME|/^\\[Unit.Files.9x\\]/,/^\\[/{/^decoder.ux/d}|Unit.Files.9x does not copy decoder.ux"
  "service binary renamed|s/^ServiceBinary=.*/ServiceBinary=%12%\\\\unit.sys/|service binary"
)
for row in "${inf_cases[@]}"; do
  IFS='|' read -r name edit reason <<<"$row"
  sed "$edit" "$here/mpegunit.inf" >"$work/broken.inf"
  if "$here/check-inf.sh" "$work/broken.inf" >"$work/out" 2>&1; then
    echo "FAIL: INF with $name passed check-inf.sh"; failures=$((failures + 1))
  elif grep -q -- "$reason" "$work/out"; then
    echo "ok: INF with $name rejected"
  else
    echo "FAIL: INF with $name rejected for another reason:"; cat "$work/out"; failures=$((failures + 1))
  fi
done
"$here/check-inf.sh" >"$work/out" 2>&1 || { echo "FAIL: our INF is rejected:"; cat "$work/out"; failures=$((failures + 1)); }

exit $(( failures > 0 ))
