#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the optimised tool and runs the demo: a two-sheet feeder job
# through the built-in scanner simulator, written as PNG pages to out/demo/, then the summary.
# Extra arguments go to stiscan (for example --debug, or --jam 2 to watch a paper jam).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

cmake --preset linux-release >/dev/null
cmake --build --preset linux-release -j "$(nproc)" --target stiscan

out=out/demo
rm -rf "$out"
mkdir -p "$out"
echo
echo "stiscan --source feeder --feeder-sheets 2 --resolution 75 --mode colour --output $out/page-%d.png $*"
build/linux-release/bin/stiscan --source feeder --feeder-sheets 2 --resolution 75 --mode colour \
  --output "$out/page-%d.png" "$@"
