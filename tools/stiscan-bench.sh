#!/bin/sh
# The paced-wire figures of docs/PERFORMANCE.md: a 10-sheet feeder job, A4 colour at 300 dpi, with the
# simulated scanner's answers paced at 40 MB/s (USB 2.0) and 400 MB/s (USB 3 class), PNG at the default
# and the fast compression setting. Prints one table row per run. Needs an optimised build of stiscan
# ($1, default build/linux-release/bin/stiscan).
set -eu
tool=$(realpath "${1:-build/linux-release/bin/stiscan}")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
echo "| Wire | Compression | Job | Wire time | Ratio | CPU (user+sys) | Files | Peak memory |"
echo "|---:|---|---:|---:|---:|---:|---:|---:|"
for rate in 40 400; do
  for compression in default fast; do
    /usr/bin/time -f "%U %S %M" -o time.txt "$tool" --simulate -s feeder --feeder-sheets 10 -r 300 --size a4 \
      --wire-rate "$rate" --compression "$compression" -o "page-%02d.png" --json >summary.json
    python3 - "$rate" "$compression" <<'PY'
import json, sys
s = json.load(open("summary.json"))
user, system, rss = open("time.txt").read().split()
size = sum(f["bytes"] for f in s["files"])
print(f"| {sys.argv[1]} MB/s | {sys.argv[2]} | {s['seconds']:.2f} s | {s['wireSeconds']:.2f} s | "
      f"{s['seconds'] / s['wireSeconds']:.3f} | {float(user) + float(system):.2f} s | {size / 1e6:.2f} MB | "
      f"{int(rss) / 1024:.0f} MB |")
PY
    rm -f page-*.png
  done
done
