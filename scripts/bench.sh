#!/usr/bin/env bash
# Measures the library's performance and writes docs/PERFORMANCE.md:
#   1. builds the linux-release preset's benchmarks (bench_wiastiio, escape_counts),
#   2. runs bench_wiastiio (Google Benchmark; each figure beside a baseline timed in the same run),
#   3. counts instructions per escape under callgrind (scripts/escape-counts.sh),
#   4. writes the tables, the machine, the date and the compiler into docs/PERFORMANCE.md.
#
#   BENCH_MIN_TIME     seconds each benchmark runs at least (default 0.5)
#   BENCH_REPETITIONS  repetitions of each benchmark; the document gives the median (default 3)
#   ESCAPES            escapes of each kind per instruction count (default 1000)
#   BENCH_BUILD_DIR    build directory (default build/linux-release)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BENCH_BUILD_DIR:-build/linux-release}
min_time=${BENCH_MIN_TIME:-0.5}
repetitions=${BENCH_REPETITIONS:-3}

step() { printf '\n=== %s ===\n' "$*"; }

for tool in valgrind callgrind_annotate python3; do
  command -v "$tool" >/dev/null || { echo "${0##*/}: $tool is not installed" >&2; exit 2; }
done

step "build ($build)"
cmake --preset linux-release -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target bench_wiastiio escape_counts

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

step "benchmarks"
"$build/bin/bench_wiastiio" --benchmark_min_time="$min_time" --benchmark_repetitions="$repetitions" \
  --benchmark_report_aggregates_only=true --benchmark_out="$work/bench.json" --benchmark_out_format=json

step "instruction counts (callgrind)"
./scripts/escape-counts.sh "$build" "$work/counts"

step "docs/PERFORMANCE.md"
python3 scripts/perf_report.py document --bench "$work/bench.json" --counts "$work/counts" --build "$build" \
  >"$work/PERFORMANCE.md"
# The paced-wire section holds figures of tools/stiscan-bench.sh; it is carried over as it stands.
if grep -q '^## 5\. stiscan on a paced wire' docs/PERFORMANCE.md; then
  printf '\n' >>"$work/PERFORMANCE.md"
  sed -n '/^## 5\. stiscan on a paced wire/,$p' docs/PERFORMANCE.md >>"$work/PERFORMANCE.md"
fi
mv "$work/PERFORMANCE.md" docs/PERFORMANCE.md
echo "written: docs/PERFORMANCE.md"
