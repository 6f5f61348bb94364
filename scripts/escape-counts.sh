#!/usr/bin/env bash
# Instructions per escape beyond its port calls, counted by callgrind: repeatable where timings are not.
#
#   scripts/escape-counts.sh [BUILD_DIR [OUT_DIR]]
#
# Runs bench/escape_counts (built in BUILD_DIR, default build/linux-release) under callgrind. The driver
# collects only while an escape or its bare transfers run and leaves one profile per escape and mode in
# OUT_DIR (a temporary directory, removed afterwards, when not given); the table is printed from them.
#   ESCAPES   escapes of each kind per profile (default 1000)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/linux-release}
out=${2:-}
escapes=${ESCAPES:-1000}

for tool in valgrind callgrind_annotate python3; do
  command -v "$tool" >/dev/null || { echo "${0##*/}: $tool is not installed" >&2; exit 2; }
done

if [ ! -x "$build/bin/escape_counts" ]; then
  echo "escape-counts: $build/bin/escape_counts is missing; build the linux-release preset first" >&2
  exit 2
fi

if [ -z "$out" ]; then
  out=$(mktemp -d)
  trap 'rm -rf "$out"' EXIT
fi
mkdir -p "$out"
rm -f "$out"/callgrind.out*

valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out/callgrind.out" \
  "$build/bin/escape_counts" "$escapes" >"$out/escape_counts.txt" 2>"$out/valgrind.log" || {
  cat "$out/valgrind.log" >&2
  exit 1
}
python3 scripts/perf_report.py counts "$out"
