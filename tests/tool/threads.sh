#!/bin/bash
# shellcheck disable=SC2086  # option lists split into words
# PNG, PDF and TIFF are compressed in strips on several threads (PDF pages when deflated): the files
# are the same bytes with one compression thread and with several, pngcheck finds each PNG valid, and a
# second PNG decoder (pypng, not libpng) reads the pixels the tool writes uncompressed as PNM. The pages
# span several strips, and the last strip is a short one. The paper-like pages (noise on every byte) are
# the same bytes as on the day paper-pages.sha256 was written, on every platform (WineTest compares
# Windows's).
# Usage: threads.sh STISCAN
set -eu
tool=$1
here=$(cd "$(dirname "$0")" && pwd)
# The simulated scanner: the same pages on every run.
sim() { "$tool" --simulate "$@"; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
fail() { echo "$*" >&2; exit 1; }

while read -r name options; do
  for threads in 1 3; do
    STISCAN_COMPRESSION_THREADS=$threads sim -q $options -o "$name-$threads.%d.png"
    STISCAN_COMPRESSION_THREADS=$threads sim -q $options -o "$name-$threads.pdf"
    STISCAN_COMPRESSION_THREADS=$threads sim -q $options -o "$name-$threads.tif"
    STISCAN_COMPRESSION_THREADS=$threads sim -q $options -o "$name-$threads.%d.jpg"
  done
  sim -q $options -o "$name.%d.pnm"
  for pnm in "$name".*.pnm; do
    page=${pnm%.pnm}
    page=${page##*.}
    cmp "$name-1.$page.png" "$name-3.$page.png" || fail "$name page $page: PNG differs by thread count"
    cmp "$name-1.$page.jpg" "$name-3.$page.jpg" || fail "$name page $page: JPEG differs by thread count"
    pngcheck -q "$name-1.$page.png" || fail "$name page $page: pngcheck"
    /usr/bin/python3 - "$name-1.$page.png" "$pnm" <<'PY' || fail "$name page $page: pypng"
import png, sys
width, height, rows, info = png.Reader(filename=sys.argv[1]).read_flat()
with open(sys.argv[2], "rb") as f:
    magic, size = f.readline(), f.readline().split()
    if magic != b"P4\n":
        f.readline()
    pixels = f.read()
if info["bitdepth"] == 1:  # PBM has 1 for black, PNG 0
    stride = (width + 7) // 8
    pixels = bytes(1 - (pixels[y * stride + x // 8] >> (7 - x % 8) & 1) for y in range(height) for x in range(width))
sys.exit(0 if [width, height] == [int(n) for n in size] and bytes(rows) == pixels else 1)
PY
  done
  cmp "$name-1.pdf" "$name-3.pdf" || fail "$name: PDF differs by thread count"
  cmp "$name-1.tif" "$name-3.tif" || fail "$name: TIFF differs by thread count"
done <<'JOBS'
colour -s feeder --feeder-sheets 2 -r 150 --size a4
fast -r 150 --size a4 --compression fast --pdf-compression deflate
grey -r 300 -m grey --size a5
bw -r 300 -m bw --size 3x5in
paper --paper -s feeder --feeder-sheets 2 -r 150 --size a4
paperbw --paper -r 200 -m bw --size a5
JOBS
sha256sum paper.*.pnm paperbw.*.pnm | cmp - "$here/paper-pages.sha256" ||
  fail "the paper-like pages changed: $(sha256sum paper.*.pnm paperbw.*.pnm)"
echo ok
