#!/usr/bin/env bash
# A session captured and replayed as the device, through stiscan and scanimage:
#   roundtrip.sh USB_SCANNER_SIM STISCAN SANE_BIN_DIR PNG_COMPARE [WINDOWS_BIN]
# A feeder job captured from usb-scanner-sim replays with the same pages and the same wire (the replay's
# own capture, through WIASTIIO_CAPTURE or wiastiio.conf, equals the first but for the times); a job at
# another resolution departs at its scan window; a capture without the images is a quarter of the size
# or less and replays. With a Windows
# build, the job captured under Wine by the capturing device monitor replays here with the same pixels.
set -uo pipefail
usbsim=$1 stiscan=$2 sanebin=$3 compare=$4 winbin=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
mkdir -p "$work/conf" "$work/orig" "$work/tool" "$work/sane" "$work/bare"
echo wiastiio >"$work/conf/dll.conf"
echo "usb 0x1a2b 0x3c4d" >"$work/conf/wiastiio.conf"
export SANE_CONFIG_DIR=$work/conf LD_LIBRARY_PATH=$sanebin
job=(--source feeder -r 75 -m grey --size 1.6x1.2in)
tool=("$stiscan" -q --route direct --vid 0x1a2b --pid 0x3c4d)
untimed() { sed 's/^\[ *[0-9.]*\] //' "$1" | grep -v '^# \(from\|started\)'; }

WIASTIIO_CAPTURE=$work/job.txt "$usbsim" --ids 1a2b:3c4d --sheets 3 -- "${tool[@]}" "${job[@]}" -o "$work/orig/p%d.png" ||
  fail "the capture run"
WIASTIIO_CAPTURE=$work/tool.txt "$usbsim" --replay "$work/job.txt" -- "${tool[@]}" "${job[@]}" -o "$work/tool/p%d.png" ||
  fail "the replay through stiscan"
untimed "$work/tool.txt" | diff -q <(untimed "$work/job.txt") - >/dev/null || fail "stiscan's wire differs"
for n in 1 2 3; do
  cmp -s "$work/orig/p$n.png" "$work/tool/p$n.png" || fail "stiscan's page $n differs"
done

# Another resolution departs at the scan window, which is named, and fails the job.
"$usbsim" --replay "$work/job.txt" -- "${tool[@]}" --source feeder -r 100 -m grey --size 1.6x1.2in -o "$work/x%d.png" \
  2>"$work/err"
status=$?
[ $status = 99 ] || fail "another resolution: exit $status"
grep -q "departed at step 5: the program sent OUT 25, the scan window command (24):" "$work/err" ||
  fail "the departure is not named: $(cat "$work/err")"
grep -q "recorded transfers left over, from step 5" "$work/err" || fail "no transfers left over"

# Without the images: a quarter of the size or less, and the job replays with pages of the same size.
WIASTIIO_CAPTURE=$work/bare.txt WIASTIIO_CAPTURE_IMAGES=0 "$usbsim" --ids 1a2b:3c4d --sheets 3 -- "${tool[@]}" "${job[@]}" \
  -o "$work/bare/q%d.png" || fail "the capture without images"
with=$(wc -c <"$work/job.txt") without=$(wc -c <"$work/bare.txt")
echo "capture: $with bytes with the images, $without without"
[ $((without * 4)) -le "$with" ] || fail "without images: $without of $with bytes"
"$usbsim" --replay "$work/bare.txt" -- "${tool[@]}" "${job[@]}" -o "$work/bare/p%d.png" || fail "the replay without images"
[ -s "$work/bare/p3.png" ] && ! cmp -s "$work/bare/p1.png" "$work/orig/p1.png" || fail "pages without images"

# Through scanimage, captured by wiastiio.conf's lines: the same pixels and the same wire, with the images
# and without.
sane() {
  printf '%s\n' "usb 0x1a2b 0x3c4d" "capture $work/sane-$1.txt" "capture-images $2" >"$work/conf/wiastiio.conf"
  (cd "$work/sane" && "$usbsim" --replay "$work/$1.txt" -- scanimage -d wiastiio:usb:1a2b:3c4d --source ADF \
    --resolution 75 --mode Gray -x 40.64 -y 30.48 --batch="$1%d.png" --format=png 2>/dev/null) ||
    fail "the replay of $1.txt through scanimage"
  untimed "$work/sane-$1.txt" | diff -q <(untimed "$work/$1.txt") - >/dev/null || fail "scanimage's wire differs ($1)"
}
if command -v scanimage >/dev/null && [ -e "$sanebin/libsane-wiastiio.so.1" ]; then
  sane job on
  sane bare off
  for n in 1 2 3; do
    "$compare" "$work/orig/p$n.png" "$work/sane/job$n.png" >/dev/null || fail "scanimage's page $n differs"
  done
fi

# The job captured under Wine through the capturing device monitor, replayed here with the same pixels.
if [ -n "$winbin" ]; then
  bash "$here/wine-capture.sh" "$winbin" "$work/wine" || fail "the capture under Wine"
  "$usbsim" --ids 1a2b:3c4d --replay "$work/wine/feeder.txt" -- "${tool[@]}" "${job[@]}" -o "$work/wine/linux%d.png" ||
    fail "the replay of the Windows capture"
  for n in 1 2 3; do
    "$compare" "$work/wine/page$n.png" "$work/wine/linux$n.png" >/dev/null || fail "Windows page $n differs"
  done
  echo "the Windows capture replays with the same pixels"
fi
echo "ok"
