#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each over its corpus and then for SECONDS (default 60), printing per target the
# executions and the coverage reached. A crash, a leak, a time-out or a broken invariant leaves
# its input in tests/fuzz/crashes/ and makes the script fail.
#
#   scripts/fuzz.sh [SECONDS]
#   FUZZ_JOBS=1     runs the targets one at a time (default: one per core)
#   FUZZ_TARGETS="multipart-upload forwarded"   runs only those
#   FUZZ_NICE=10    runs them at that niceness
#   FUZZ_BUILD_DIR=build/other   builds and keeps what runs find there (default build/fuzz)
#
# What a run finds is kept in build/fuzz/corpus/<target>, so that the next run goes on from it;
# the seeds and the regression inputs of every finding are in tests/fuzz/corpus/<target>.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
jobs=${FUZZ_JOBS:-$(nproc)}
build=${FUZZ_BUILD_DIR:-build/fuzz}
bash scripts/setup.sh

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKAPSHO_FUZZ=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
echo "fuzz: configured and built in ${SECONDS}s"

targets=${FUZZ_TARGETS:-$(find "$build/targets" -maxdepth 1 -type f -executable -printf '%f\n' | sort)}
mkdir -p tests/fuzz/crashes "$build/logs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run() {
  local name=$1 log="$build/logs/$1.log"
  local options=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=20000
    -print_final_stats=1 -artifact_prefix="tests/fuzz/crashes/$name-")
  [ -f "tests/fuzz/dict/$name.dict" ] && options+=(-dict="tests/fuzz/dict/$name.dict")
  mkdir -p "$build/corpus/$name"
  nice -n "${FUZZ_NICE:-0}" "$build/targets/$name" "${options[@]}" "$build/corpus/$name" \
    "tests/fuzz/corpus/$name" >"$log" 2>&1
}

# One line per target: executions, edges and features reached, inputs kept; or what broke.
report() {
  local name=$1 status=$2 log="$build/logs/$1.log"
  local runs coverage
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*' "$log" | tail -1 |
    awk '{print $2 " edges, " $4 " features, " $6 " inputs"}' || true)
  if [ "$status" -eq 0 ]; then
    printf '%-18s %12s runs in %ss, %s\n' "$name" "${runs:-?}" "$seconds" "$coverage"
  else
    printf '%-18s FAILED after %s runs: %s\n' "$name" "${runs:-?}" \
      "$(grep -m1 -E 'INVARIANT BROKEN|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error|Assertion' "$log" || tail -1 "$log")"
    sed -n 's/^.*Test unit written to /  input: /p' "$log"
  fi
}

declare -A pids
for name in $targets; do
  while (($(jobs -rp | wc -l) >= jobs)); do wait -n || true; done
  run "$name" &
  pids[$name]=$!
done
passed=0 failed=0
for name in $targets; do
  status=0
  wait "${pids[$name]}" || status=$?
  report "$name" "$status"
  if ((status == 0)); then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "fuzz: $SECONDS s in all"
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
