#!/bin/sh
# The paced-wire figures of docs/PERFORMANCE.md: a 10-sheet feeder job, A4 colour at 300 dpi, with the
# simulated scanner's answers paced at 40 MB/s (USB 2.0) and 400 MB/s (USB 3 class), PNG pages at the
# default and the fast compression setting, then the job as one TIFF file at 400 MB/s. Each job runs
# RUNS times (3); the row is the run of median ratio, with the ratios of all runs. SHEETS (10) changes
# the job's length. Needs an optimised build of stiscan ($1, default build/linux-release/bin/stiscan).
set -eu
tool=$(realpath "${1:-build/linux-release/bin/stiscan}")
runs=${RUNS:-3}
sheets=${SHEETS:-10}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
echo "| Wire | Format | Compression | Job | Wire time | Ratio (median) | Ratios | CPU (user+sys) | Files | Peak memory |"
echo "|---:|---|---|---:|---:|---:|---|---:|---:|---:|"
for job in 40:png 400:png 400:tif; do
  rate=${job%%:*} format=${job#*:}
  [ "$format" = png ] && output="page-%02d.png" || output=job.tif
  for compression in default fast; do
    : >runs.txt
    run=0
    while [ "$run" -lt "$runs" ]; do
      /usr/bin/time -f "%U %S %M" -o time.txt "$tool" --simulate -s feeder --feeder-sheets "$sheets" -r 300 --size a4 \
        --wire-rate "$rate" --compression "$compression" -o "$output" --json >summary.json
      python3 - >>runs.txt <<'PY'
import json
s = json.load(open("summary.json"))
user, system, rss = open("time.txt").read().split()
print(json.dumps([s["seconds"], s["wireSeconds"], float(user) + float(system),
                  sum(f["bytes"] for f in s["files"]), int(rss)]))
PY
      rm -f page-*.png job.tif
      run=$((run + 1))
    done
    python3 - "$rate" "$format" "$compression" <<'PY'
import json, sys
runs = sorted((json.loads(line) for line in open("runs.txt")), key=lambda r: r[0] / r[1])
job, wire, cpu, size, rss = runs[len(runs) // 2]
ratios = ", ".join(f"{r[0] / r[1]:.3f}" for r in runs)
print(f"| {sys.argv[1]} MB/s | {sys.argv[2].upper()} | {sys.argv[3]} | {job:.2f} s | {wire:.2f} s | {job / wire:.3f} | {ratios} | "
      f"{cpu:.2f} s | {size / 1e6:.2f} MB | {max(r[4] for r in runs) / 1024:.0f} MB |")
PY
  done
done
