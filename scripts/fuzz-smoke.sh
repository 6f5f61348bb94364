#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset), replays their seeds and kept findings, then fuzzes
# each target for a bounded time and fails on any finding.
#
#   FUZZ_SECONDS     seconds per target (default 60)
#   FUZZ_BUILD_DIR   build directory (default build/fuzz)
#   FUZZ_OUT         where the grown corpora, logs and findings go (default <build dir>/fuzz-smoke)
#
# The committed seeds in fuzz/corpus are only read: each run grows a corpus of its own. A finding is
# left as <FUZZ_OUT>/<target>/finding-*; keep it in fuzz/regressions/<target>/ with the fix, and the
# replay test runs it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
build="${FUZZ_BUILD_DIR:-build/fuzz}"
out="${FUZZ_OUT:-$build/fuzz-smoke}"
targets=(fuzz_scanner fuzz_registry fuzz_debugprint fuzz_capture)

cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build/fuzz" --output-on-failure

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

status=0
summary=()
for target in "${targets[@]}"; do
  work="$out/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus"
  log="$work/fuzz.log"
  echo "--- $target: ${seconds}s"
  # The grown corpus comes first, so that new inputs land there and not among the seeds.
  if "$build/bin/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=25 -rss_limit_mb=2048 -malloc_limit_mb=1024 \
      -artifact_prefix="$work/finding-" "$work/corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    result=ok
  else
    result="FINDING (see $log)"
    status=1
    tail -n 40 "$log"
  fi
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  summary+=("$(printf '%-16s %12s executions %8s/s  coverage %6s  %s' "$target" "${executions:-?}" "${rate:-?}" \
    "${coverage:-?}" "$result")")
done

echo
echo "=== fuzz summary (${seconds}s per target) ==="
printf '%s\n' "${summary[@]}"
exit "$status"
