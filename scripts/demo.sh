#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine with what the Linux product needs, builds it optimised without
# tests or benchmarks, and runs the demo: a two-sheet feeder job of the built-in simulated scanner
# (--simulate) on paper-like pages (--paper), written as PNG pages to out/demo/, then the summary.
# Extra arguments go to stiscan (for example --debug, or --jam 2 to watch a paper jam).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh --product

cmake --preset linux-release -DWIASTIIO_BUILD_TESTS=OFF -DWIASTIIO_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build --preset linux-release -j "$(nproc)" --target stiscan

out=out/demo
rm -rf "$out"
mkdir -p "$out"
echo
echo "The scanner is the built-in simulator: these pages are synthetic, not a scan of paper."
echo "stiscan --simulate --paper --source feeder --feeder-sheets 2 --resolution 75 --mode colour --output $out/page-%d.png $*"
build/linux-release/bin/stiscan --simulate --paper --source feeder --feeder-sheets 2 --resolution 75 --mode colour \
  --output "$out/page-%d.png" "$@"
