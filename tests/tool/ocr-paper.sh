#!/bin/bash
# A 3-sheet feeder job on the simulator's paper-like pages with --ocr eng: pdftotext finds at least 95 %
# of the words the simulator stamped on them (sheet N carries paragraph N of WORDS, the simulator's
# text). Skipped (77) while stiscan has no --paper or no Tesseract.
# Usage: ocr-paper.sh STISCAN WORDS
set -eu
tool=$1
words=$2
"$tool" --help | grep -q -- --paper || exit 77
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
if ! "$tool" --simulate -q --paper -s feeder --feeder-sheets 3 -r 300 --size a4 --ocr eng -o "$dir/job.pdf" 2>"$dir/err"; then
  grep -q "built without Tesseract" "$dir/err" && exit 77
  cat "$dir/err" >&2
  exit 1
fi
pdftotext "$dir/job.pdf" "$dir/job.txt"
/usr/bin/python3 - "$words" "$dir/job.txt" <<'PY'
import collections, re, sys
def words(text):
    return [w.lower() for w in re.findall(r"\w+", text)]
paragraphs = [p for p in re.split(r"\n\s*\n", open(sys.argv[1], encoding="utf-8").read()) if p.strip()]
stamped = words(" ".join(paragraphs[:3]))
read = collections.Counter(words(open(sys.argv[2], encoding="utf-8", errors="replace").read()))
found = sum(1 for w in stamped if read[w] > 0 and not read.subtract([w]))
print(f"{found} of {len(stamped)} words found")
sys.exit(0 if stamped and found >= 0.95 * len(stamped) else 1)
PY
