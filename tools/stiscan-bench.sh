#!/bin/sh
# The paced-wire figures of docs/PERFORMANCE.md: a 10-sheet feeder job, A4 colour at 300 dpi, with the
# simulated scanner's answers paced at 40 MB/s (USB 2.0) and 400 MB/s (USB 3 class), written as PDF
# (default), JPEG, PNG and TIFF (default and fast compression) and, for reference, raw PNM. First on
# paper-like pages (--paper: noise on every byte, a photograph, print), then on the clean test chart.
# Each job runs RUNS times (3); a row is the run of median ratio, with the ratios of all runs, and
# what the job cost a page: CPU (user + system) and the bytes written. SHEETS (10) changes the job's
# length, RATES ("40 400") the wire rates, PAGES ("paper clean") the tables. With PLOT=FILE.svg the
# first table is also drawn (gnuplot): job/wire against the wire rate, a line per format; with
# TABLE=FILE too, the tables are read from FILE (what the bench printed before) instead of measured.
# Needs an optimised build of stiscan ($1, default build/linux-release/bin/stiscan).
set -eu
tool=$(realpath "${1:-build/linux-release/bin/stiscan}")
plot=${PLOT:+$(realpath -m "$PLOT")}
table=${TABLE:+$(realpath "$TABLE")}
runs=${RUNS:-3}
sheets=${SHEETS:-10}
rates=${RATES:-40 400}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
measure() {
for pages in ${PAGES:-paper clean}; do
  [ "$pages" = paper ] && flag=--paper title="Paper-like pages (--paper)" || flag="" title="Clean pages (the test chart)"
  printf '\n#### %s\n\n' "$title"
  echo "| Wire | Format | Job | Wire time | Ratio (median) | Ratios | CPU a page | Bytes a page | Peak memory |"
  echo "|---:|---|---:|---:|---:|---|---:|---:|---:|"
  for rate in $rates; do
    for job in "PDF:job.pdf:default" "JPEG:page-%02d.jpg:default" "PNG default:page-%02d.png:default" \
      "PNG fast:page-%02d.png:fast" "TIFF default:job.tif:default" "TIFF fast:job.tif:fast" "PNM (raw):page-%02d.pnm:default"; do
      name=${job%%:*} rest=${job#*:}
      output=${rest%%:*} compression=${rest#*:}
      : >runs.txt
      run=0
      while [ "$run" -lt "$runs" ]; do
        # shellcheck disable=SC2086  # $flag is empty or one word
        /usr/bin/time -f "%U %S %M" -o time.txt "$tool" --simulate $flag -s feeder --feeder-sheets "$sheets" -r 300 \
          --size a4 --wire-rate "$rate" --compression "$compression" -o "$output" --json >summary.json
        /usr/bin/python3 - >>runs.txt <<'PY'
import json
s = json.load(open("summary.json"))
user, system, rss = open("time.txt").read().split()
print(json.dumps([s["seconds"], s["wireSeconds"], float(user) + float(system),
                  sum(f["bytes"] for f in s["files"]), int(rss)]))
PY
        rm -f page-* job.tif job.pdf
        run=$((run + 1))
      done
      /usr/bin/python3 - "$rate" "$name" "$sheets" <<'PY'
import json, sys
rate, name, sheets = sys.argv[1], sys.argv[2], int(sys.argv[3])
runs = sorted((json.loads(line) for line in open("runs.txt")), key=lambda r: r[0] / r[1])
job, wire, cpu, size, rss = runs[len(runs) // 2]
ratios = ", ".join(f"{r[0] / r[1]:.3f}" for r in runs)
print(f"| {rate} MB/s | {name} | {job:.2f} s | {wire:.2f} s | {job / wire:.3f} | {ratios} | "
      f"{cpu / sheets:.3f} s | {size / sheets / 1e6:.2f} MB | {max(r[4] for r in runs) / 1024:.0f} MB |")
PY
    done
  done
done
}
if [ -n "$table" ]; then
  cp "$table" table.md
else
  measure | tee table.md
fi
[ -n "$plot" ] || exit 0
# The first table's rows, one block of points per format (gnuplot's index), in the table's order.
/usr/bin/python3 - >plot.dat <<'PY'
tables = open("table.md").read().split("#### ")[1:]
rows = [line.split("|") for line in tables[0].splitlines() if line.startswith("| ") and "MB/s" in line]
points = {}
for row in rows:
    points.setdefault(row[2].strip(), []).append((row[1].split()[0], row[5].strip()))
for name, xy in points.items():
    print(f'"{name}"')
    print("\n".join(f"{x} {y}" for x, y in xy) + "\n\n")
PY
blocks=$(grep -c '^"' plot.dat)
gnuplot <<EOF
set terminal svg size 720,420 font "sans,12"
set output "$plot"
set title "stiscan, 10-sheet A4 300 dpi colour job, paper-like pages"
set xlabel "wire rate (MB/s)"
set ylabel "job time / wire time (log)"
set logscale xy
set xtics ($(echo "$rates" | sed 's/ /, /g'))
set key outside right top
set grid ytics
plot for [i=0:$((blocks - 1))] "plot.dat" index i using 1:2 with linespoints title columnheader(1)
EOF
