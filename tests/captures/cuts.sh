#!/usr/bin/env bash
# A capture cut anywhere, and the next session appended after it by each writer, replay both:
#   cuts.sh USB_SCANNER_SIM STISCAN [WINDOWS_BIN]
# A small capture (stiscan --info through the USB route) is cut inside each of its lines (at its first
# byte, its middle, before its end) and after it; the route then appends a second session. The first
# session replays up to its last whole transfer (the program goes past it: the replay says the step),
# the second replays whole. With a Windows build, the capturing device monitor under Wine appends after
# a cut of each kind, and after a cut of its own capture between a line's two end bytes.
set -uo pipefail
usbsim=$1 stiscan=$2 winbin=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
export LC_ALL=C
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
fail() { echo "FAIL: $*"; exit 1; }
info=("$stiscan" -q --route direct --vid 0x1a2b --pid 0x3c4d --info)
capture() { WIASTIIO_CAPTURE=$work/$1 timeout 60 "$usbsim" --ids 1a2b:3c4d -- "${info[@]}" >/dev/null 2>&1; }
# The offset just past each transfer: its line and its continuation lines, with their ends.
ends() { awk '/^\[ *[0-9.]*\] (IN|OUT) / { if (t) print end; t = 1 }
  !/^\[ *[0-9.]*\] (IN|OUT) / && !/^    / { if (t) print end; t = 0 }
  { at += length($0) + 1; end = at } END { if (t) print end }' "$1"; }
# check FILE CUT WRITER [WHOLE]: both sessions of FILE, whose first was CUT bytes of WHOLE (whole.txt).
check() {
  local ends whole expect
  ends=$(ends "${4:-whole.txt}") && whole=$(awk -v cut="$2" '$1 <= cut' <<<"$ends" | wc -l)
  expect=$([ "$whole" = "$(wc -l <<<"$ends")" ] && echo 0 || echo 99)
  timeout 60 "$usbsim" --ids 1a2b:3c4d --replay "$1" --session 1 -- "${info[@]}" >/dev/null 2>replay.err
  status=$?
  [ $status = "$expect" ] && { [ $status = 0 ] || grep -q "at step $((whole + 1)): .*after the capture's" replay.err; } ||
    fail "$3, cut at $2 ($whole whole transfers): session 1: exit $status: $(cat replay.err)"
  timeout 60 "$usbsim" --ids 1a2b:3c4d --replay "$1" --session 2 -- "${info[@]}" >/dev/null 2>replay.err ||
    fail "$3, cut at $2: session 2: $(cat replay.err)"
}

capture whole.txt || fail "the capture"
size=$(wc -c <whole.txt)
cuts=()
at=0
while IFS= read -r line; do
  length=${#line}
  cuts+=($((at + 1)) $((at + length / 2)) $((at + length)) $((at + length + 1)))
  at=$((at + length + 1))
done <whole.txt
mapfile -t cuts < <(printf '%s\n' "${cuts[@]}" | awk -v size="$size" '$1 > 0 && $1 <= size' | sort -nu)
for cut in "${cuts[@]}"; do
  head -c "$cut" whole.txt >cut.txt
  capture cut.txt || fail "appending after a cut at $cut"
  check cut.txt "$cut" "the USB route"
done
echo "ok: ${#cuts[@]} cuts of a $size-byte capture, a session appended by the USB route"

[ -n "$winbin" ] || exit 0
# The capturing module appends in a Wine prefix of its own, in front of the test device monitor.
bin=$(cd "$winbin" && pwd)
wine_run=$here/../../cmake/wine-run.sh
export WIASTIIO_WINEPREFIX=$bin/../.wineprefix-cuts
win() { local path=${1//\//\\}; echo "Z:$path"; }
mkdir app
"$wine_run" cmd /c exit >/dev/null 2>&1
cp "$bin/prtmon64.dll" "$WIASTIIO_WINEPREFIX/drive_c/windows/system32/prtmon64.dll" &&
  cp "$bin/stiscan.exe" "$bin/WIASTIIO.dll" "$bin/capture/prtmon64.dll" app/ || fail "the Windows build is incomplete"
wincapture() { WIASTIIO_CAPTURE=$(win "$work/$1") "$wine_run" app/stiscan.exe --simulate -q --info >/dev/null 2>&1; }
# A cut in a header, a descriptor, a transfer's time and its bytes, a continuation, and at a line end.
first_transfer=$(grep -b -m1 '] IN ' whole.txt | cut -d: -f1)
continuation=$(grep -b -m1 '^    ' whole.txt | cut -d: -f1)
for cut in 10 250 $((first_transfer + 3)) $((first_transfer + 40)) $((continuation + 9)) "$size"; do
  head -c "$cut" whole.txt >cut.txt
  wincapture cut.txt || fail "the module appending after a cut at $cut"
  check cut.txt "$cut" "the capturing module"
done
wincapture own.txt || fail "the module's own capture"
crlf=$(grep -c $'\r$' own.txt)
cut=$(awk '/\] IN / { print at + length($0); exit } { at += length($0) + 1 }' own.txt)
head -c "$cut" own.txt >cut.txt
wincapture cut.txt || fail "the module appending after its own cut"
check cut.txt "$cut" "the capturing module after its own cut ($crlf lines ended by CR LF)" own.txt
echo "ok: the capturing module appends after every kind of cut"
