#!/usr/bin/env bash
# Builds the benchmarks of the default preset and runs them all, then prints
# a short table of the figures against their goals. Benchmarks are never part
# of ctest.
# Usage: scripts/bench.sh [MIN_TIME_SECONDS]   (default 0.5; longer is steadier)
# Takes a few minutes after the build; run it on an otherwise idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."

min_time=${1:-0.5}
# MPEGUNIT_BENCH_BUILD: an existing build folder to use instead of the preset's.
build=${MPEGUNIT_BENCH_BUILD:-build/default}
if [ -z "${MPEGUNIT_BENCH_BUILD:-}" ]; then
  cmake --preset default -DMPEGUNIT_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" -j2 --target emulator_bench stack_bench

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for b in emulator_bench stack_bench; do
  echo "== $b"
  "$build/bench/$b" --benchmark_min_time="$min_time" --benchmark_out="$out/$b.json" \
    --benchmark_out_format=json --benchmark_counters_tabular=true
done

python3 - "$out" <<'PY'
import json, sys, pathlib
rows = {}
for f in pathlib.Path(sys.argv[1]).glob("*.json"):
    for b in json.loads(f.read_text())["benchmarks"]:
        rows[b["name"]] = b
def get(name, key):
    b = rows.get(name)
    if b is None or b.get("error_occurred"):
        return None
    return b.get(key)
def fmt(v, form):
    return "failed" if v is None else format(v, form)
table = [
    ("capture unpaced, MB/s",            "BM_CaptureUnpaced/syncbus:0/real_time", "MB/s", ".0f", ">= 5300"),
    ("  its memcpy, MB/s",               "BM_CaptureUnpaced/syncbus:0/real_time", "memcpy_MB/s", ".0f", ""),
    ("  ratio to memcpy",                "BM_CaptureUnpaced/syncbus:0/real_time", "vs_memcpy", ".3f", ""),
    ("  host CPU per buffer, us",        "BM_CaptureUnpaced/syncbus:0/real_time", "host_us/buf", ".1f", "< 10"),
    ("  synchronous bus, MB/s",          "BM_CaptureUnpaced/syncbus:1/real_time", "MB/s", ".0f", ""),
    ("  synchronous bus, CPU/buffer, us", "BM_CaptureUnpaced/syncbus:1/real_time", "host_us/buf", ".1f", ""),
    ("capture at 53 MB/s, host CPU %",   "BM_CapturePaced53MBs/syncbus:0/real_time", "host_cpu%", ".2f", "< 1"),
    ("playback unpaced, MB/s",           "BM_PlaybackUnpaced/syncbus:0/real_time", "MB/s", ".0f", ">= 5300"),
    ("  host CPU per buffer, us",        "BM_PlaybackUnpaced/syncbus:0/real_time", "host_us/buf", ".1f", "< 10"),
    ("  synchronous bus, MB/s",          "BM_PlaybackUnpaced/syncbus:1/real_time", "MB/s", ".0f", ""),
    ("  synchronous bus, CPU/buffer, us", "BM_PlaybackUnpaced/syncbus:1/real_time", "host_us/buf", ".1f", ""),
    ("playback at 53 MB/s, host CPU %",  "BM_PlaybackPaced53MBs/syncbus:0/real_time", "host_cpu%", ".2f", "< 1"),
    ("property get, host CPU us",        "BM_PropertyGet/real_time", "host_us/req", ".2f", "< 10"),
    ("capture start, host CPU ms",       "BM_CaptureStart/manual_time", "host_cpu_ms", ".2f", ""),
    ("  control / bulk transfers",       "BM_CaptureStart/manual_time", "control_xfers", ".0f", ""),
    ("",                                 "BM_CaptureStart/manual_time", "bulk_xfers", ".0f", ""),
    ("encoder MPEG-2 720x480 x realtime","encode/mpeg2_720x480", "realtime", ".1f", ">= 10"),
    ("encoder MPEG-1 352x240 x realtime","encode/mpeg1_352x240", "realtime", ".1f", ""),
]
for n in (1, 8, 32):
    name = f"BM_UnitsRealTime/{n}/iterations:30/real_time"
    table.append((f"{n} units real time, host CPU %", name, "host_cpu%", ".2f", "< 5" if n == 32 else ""))
    table.append((f"  per unit %, overflow bytes", name, "host_cpu%/unit", ".3f", ""))
    table.append(("", name, "overflow_bytes", ".0f", "0"))
print()
print(f"{'figure':38} {'value':>12}  goal")
for label, name, key, form, goal in table:
    print(f"{label:38} {fmt(get(name, key), form):>12}  {goal}")
PY
