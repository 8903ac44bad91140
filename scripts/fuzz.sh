#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang-14, ASan + UBSan) in build-fuzz/ and
# runs each one: first over its seed corpus (fuzz/corpus/<harness>/), then
# for a bounded time. New inputs go to build-fuzz/fuzz-corpus/<harness>/,
# findings to build-fuzz/fuzz-findings/. Ends non-zero when a harness finds
# something.
# Usage: scripts/fuzz.sh [SECONDS [HARNESS...]]   (default: 60 s each, all)
# MPEGUNIT_FUZZ_SEED fixes the fuzzer's seed (default 0: a new one each run).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(config_parser usb_configure microcode_image ks_client driver_srb)
build=${MPEGUNIT_FUZZ_BUILD:-build-fuzz}

# The compiler and the fuzzer runtime, besides what every build needs.
scripts/deps.sh clang-14 libclang-rt-14-dev

echo "== fuzz: configure and build ($build)"
cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DMPEGUNIT_BUILD_FUZZ=ON -DMPEGUNIT_BUILD_TESTS=OFF -DMPEGUNIT_BUILD_BENCH=OFF >/dev/null
ninja -C "$build" -j2 fuzzers

findings="$build/fuzz-findings"
mkdir -p "$findings"
failed=()
summary=()
for h in "${harnesses[@]}"; do
  bin="$build/fuzz/fuzz_$h"
  seeds="fuzz/corpus/$h"
  work="$build/fuzz-corpus/$h"
  log="$build/fuzz-$h.log"
  mkdir -p "$work"
  echo "== fuzz: $h over its seeds, then ${seconds} s"
  start_cpu=$(awk '{print $14+$15+$16+$17}' /proc/$$/stat)
  status=0
  # -runs=0 executes every seed once; then the bounded run grows the corpus.
  "$bin" -runs=0 -timeout=60 -artifact_prefix="$findings/$h-" "$seeds" >"$log" 2>&1 || status=$?
  if [ $status -eq 0 ]; then
    "$bin" -max_total_time="$seconds" -seed="${MPEGUNIT_FUZZ_SEED:-0}" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$findings/$h-" "$work" "$seeds" >>"$log" 2>&1 || status=$?
  fi
  ticks=$(getconf CLK_TCK)
  end_cpu=$(awk '{print $14+$15+$16+$17}' /proc/$$/stat)
  cpu=$(( (end_cpu - start_cpu) / ticks ))
  runs=$(grep -Eo 'stat::number_of_executed_units: [0-9]+' "$log" | tail -1 | awk '{print $2}')
  if [ $status -eq 0 ]; then
    summary+=("$h: ${runs:-0} inputs, ${cpu} s CPU, nothing found")
  else
    failed+=("$h")
    summary+=("$h: FOUND a problem after ${runs:-?} inputs (${cpu} s CPU); see $log and $findings/")
    grep -E "ERROR:|runtime error|SUMMARY|bugcheck|: .*(fail|left|never)" "$log" | head -5 || true
  fi
done

echo "== fuzz: summary"
printf '  %s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}"
  exit 1
fi
