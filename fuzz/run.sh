#!/usr/bin/env bash
# Builds the libFuzzer targets (program language, simulator model, the device library's hidraw
# backend) with clang (address and
# undefined-behaviour sanitizers) and runs each for a bounded time. Any crash,
# sanitizer report, failed property or hang fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${ZENTA_FUZZ_SECONDS:-30}
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZENTA_FUZZ=ON >/dev/null
cmake --build "$build" --target zenta_fuzz -j "$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# target, its corpus folder and its dictionary
runs=("fuzz_compile compile lang" "fuzz_decompile compiled lang" "fuzz_compiled_form compiled lang"
      "fuzz_sim_model sim sim" "fuzz_program_store store sim" "fuzz_hid hid hid")
for run in "${runs[@]}"; do
  set -- $run
  target=$1 corpus=$2 dict=$3
  mkdir -p "$work/$target"
  echo "== $target: ${seconds}s"
  # New inputs go to the scratch folder; the corpus in the repository stays as it is.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
      -dict=fuzz/$dict.dict -artifact_prefix="$work/" -print_final_stats=1 \
      "$work/$target" "fuzz/corpus/$corpus" 2>"$work/$target.log" || {
        tail -n 60 "$work/$target.log"
        for a in "$work"/crash-* "$work"/timeout-* "$work"/oom-* "$work"/leak-*; do
          [ -e "$a" ] && { echo "input $a:"; od -c "$a" | head -20; }
        done
        echo "fuzzing $target failed" >&2
        exit 1
      }
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb|cov:" "$work/$target.log" | tail -n 3
done
echo "fuzzing passed"
