#!/bin/bash
# Builds the libFuzzer targets (tests/fuzz) with clang in build/fuzz and runs
# each for SECONDS_EACH seconds (12 unless given) on a copy of its seed
# corpus, so the seeds in the repository stay as they are. Fails when a
# target crashes, leaks or trips a sanitizer; prints per target how long it
# ran and how many inputs a second it tried, then one closing line.
#   tools/fuzz.sh [SECONDS_EACH] [TARGET...]
set -u
cd "$(dirname "$0")/.."
seconds="${1:-12}"
shift $(( $# > 0 ? 1 : 0 ))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(image reset_sequence port_words sysfs_identity wire_record)
jobs="${UF_JOBS:-2}"
build=build/fuzz

echo "=== fuzz: configure and build"
if ! CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
       -DUF_FUZZ=ON -DUF_BUILD_TESTS=OFF >/dev/null ||
   ! cmake --build "$build" -j "$jobs" --target $(printf 'fuzz_%s ' "${targets[@]}"); then
  echo "=== fuzz: BUILD FAILED"
  echo "Fuzz: 0 passed, ${#targets[@]} failed"
  exit 1
fi

passed=0
failed=0
for t in "${targets[@]}"; do
  work="$build/run/$t"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp tests/fuzz/corpus/"$t"/* "$work/corpus/" 2>/dev/null
  log="$work/log"
  start=$(date +%s)
  UF_FUZZ_TREE="$PWD/$work/tree" "$build/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
    -max_len=4096 -artifact_prefix="$work/artifacts/" "$work/corpus" >"$log" 2>&1
  rc=$?
  took=$(( $(date +%s) - start ))
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$log" | tail -n 1)
  rate=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+).*/\1/p' "$log" | tail -n 1)
  if [ "$rc" -eq 0 ] && [ -n "$runs" ]; then
    echo "=== fuzz $t: passed, ${took} s, ${runs} runs, ${rate} exec/s"
    passed=$((passed + 1))
  else
    echo "=== fuzz $t: FAILED (exit $rc after ${took} s); the end of $log:"
    tail -n 40 "$log"
    ls "$work/artifacts"
    failed=$((failed + 1))
  fi
done
echo "Fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
