#!/bin/bash
# shellcheck disable=SC2086,SC2015  # option lists split into words; "checks || fail" is meant
# PDF pages as people keep them: colour and grey as JPEG at --quality, or deflated on request, and
# black-and-white as CCITT G4. Each file passes qpdf --check, pdfimages finds the encoding and the
# resolution, pdftoppm renders it, and pdftocairo (which maps the image 1:1) renders the scanned pixels:
# exactly for G4 and deflate, within JPEG's error otherwise. With --ocr the page looks the same as without
# (the text layer is invisible) and pdftotext finds the layer; without a language's data stiscan names
# the packages and exits 2 before scanning.
# Usage: pdf.sh STISCAN
set -eu
tool=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
fail() { echo "$*" >&2; exit 1; }
sim() { "$tool" --simulate -q --size a5 "$@"; }

# The mean difference of a sample between the scanned page (PNM) and its rendering (PNG); sizes differ: 999.
differ() {
  /usr/bin/python3 - "$@" <<'PY'
import png, sys
with open(sys.argv[1], "rb") as f:
    magic, size = f.readline(), [int(n) for n in f.readline().split()]
    if magic != b"P4\n":
        f.readline()
    pixels = f.read()
if magic == b"P4\n":  # 1 black
    stride = (size[0] + 7) // 8
    pixels = bytes(255 - 255 * (pixels[y * stride + x // 8] >> (7 - x % 8) & 1)
                   for y in range(size[1]) for x in range(size[0]))
width, height, rows, info = png.Reader(filename=sys.argv[2]).read_flat()
planes = 3 if magic == b"P6\n" else 1
rendered = [rows[i + k] for i in range(0, len(rows), info["planes"]) for k in range(planes)]
same = [width, height] == size
print(sum(abs(a - b) for a, b in zip(pixels, rendered)) / len(pixels) if same else 999)
PY
}

while read -r name encoding limit options; do
  sim $options -o $name.pdf
  sim $options -o $name.pnm
  qpdf --check $name.pdf >/dev/null || fail "$name: qpdf --check: $(qpdf --check $name.pdf)"
  found=$(pdfimages -list $name.pdf | awk 'NR == 3 { print $9, $13, $14 }')
  [ "$found" = "$encoding 100 100" ] || fail "$name: pdfimages finds $found, not $encoding at 100 dpi"
  pdftoppm -r 100 $name.pdf $name >/dev/null || fail "$name: pdftoppm"
  gray=-gray
  [[ $options == *colour* ]] && gray=
  pdftocairo -png $gray -r 100 -singlefile $name.pdf $name
  mean=$(differ $name.pnm $name.png)
  /usr/bin/python3 -c "import sys; sys.exit(not $mean <= $limit)" || fail "$name: mean difference $mean, over $limit"
done <<'PAGES'
colour jpeg 4.0 -r 100 -m colour
grey jpeg 2.0 -r 100 -m grey
coarse jpeg 10.0 -r 100 -m grey --quality 20
lossless image 0 -r 100 -m colour --pdf-compression deflate
bw ccitt 0 -r 100 -m bw
PAGES
[ "$(stat -c %s coarse.pdf)" -lt "$(stat -c %s grey.pdf)" ] || fail "--quality 20 makes no smaller a PDF"

if sim -r 150 --ocr eng -o ocr.pdf 2>err; then
  sim -r 150 -o plain.pdf
  qpdf --check ocr.pdf >/dev/null || fail "ocr: qpdf --check: $(qpdf --check ocr.pdf)"
  pdftocairo -png -r 150 -singlefile plain.pdf plain
  pdftocairo -png -r 150 -singlefile ocr.pdf ocr
  cmp -s plain.png ocr.png || fail "the text layer shows"
  [ -z "$(pdftotext plain.pdf - | tr -d '[:space:]')" ] && [ -n "$(pdftotext ocr.pdf - | tr -d '[:space:]')" ] ||
    fail "pdftotext finds no text layer, or one without --ocr"
  status=0
  TESSDATA_PREFIX=$dir sim --ocr eng+chi_sim -o none.pdf 2>err || status=$?
  [ $status = 2 ] && [ ! -e none.pdf ] && grep -q 'install tesseract-ocr-eng tesseract-ocr-chi-sim$' err ||
    fail "without the data: status $status, $(cat err)"
else
  grep -q "built without Tesseract" err || fail "--ocr: $(cat err)"
fi
echo "pdf: all held"
