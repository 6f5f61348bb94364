#!/usr/bin/env bash
# The replay reads its capture as it goes, and only from a file:
#   streaming.sh USB_SCANNER_SIM STISCAN
# A capture of tens of megabytes (a colour A4 page) replays with usb-scanner-sim's peak memory within a
# few megabytes of a small capture's (holding the file would add its 20 MB, and more); what is not a
# regular file is refused at once, and so is a line that never ends, a session number that is not one
# and ids with a sign.
set -uo pipefail
usbsim=$1 stiscan=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
fail() { echo "FAIL: $*"; exit 1; }
# Freed memory is given back at once under AddressSanitizer too.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=0
tool=("$stiscan" -q --route direct --vid 0x1a2b --pid 0x3c4d -o /dev/null --format pnm)
page=(-r 150 -m colour --size a4)
# peak CAPTURE JOB...: usb-scanner-sim's peak resident kilobytes replaying the job from CAPTURE.
peak() {
  "$usbsim" --replay "$1" -- sh -c '"$@" && sed -n "s/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p" /proc/$PPID/status' sh "${tool[@]}" \
    "${@:2}" 2>err || fail "the replay of $1: $(cat err)"
}

WIASTIIO_CAPTURE=$work/page.txt "$usbsim" --ids 1a2b:3c4d -- "${tool[@]}" "${page[@]}" 2>/dev/null || fail "the capture"
WIASTIIO_CAPTURE=$work/info.txt "$usbsim" --ids 1a2b:3c4d -- "${tool[@]}" --info >/dev/null 2>&1 || fail "the small one"
size=$(($(wc -c <page.txt) / 1024))
small=$(peak info.txt --info | tail -1)
large=$(peak page.txt "${page[@]}")
echo "peak memory replaying: $large kB for a $size kB capture, $small kB for a small one"
[ -n "$small" ] && [ -n "$large" ] && [ "$large" -le $((small + 8192)) ] ||
  fail "the replay holds the capture: $large kB"

mkfifo fifo
mkdir folder
head -c 2000000 /dev/zero >zeros
for refused in /dev/zero:"is not a regular file" /dev/urandom:"is not a regular file" fifo:"is not a regular file" \
  folder:"is a folder" zeros:"line 1: longer than any capture line"; do
  file=${refused%%:*}
  timeout 10 "$usbsim" --replay "$file" -- true 2>err
  status=$?
  [ $status = 2 ] && grep -qF "usb-scanner-sim: $file: ${refused#*:}" err || fail "$file: exit $status: $(cat err)"
done
for session in -18446744073709551615 +1 ' 1' 1x 18446744073709551617; do
  "$usbsim" --replay page.txt --session "$session" -- true 2>err
  [ $? = 2 ] && grep -q '^usage:' err || fail "--session '$session' is taken: $(cat err)"
done
"$usbsim" --ids ' 1a2b:+3c4d' -- true 2>/dev/null
[ $? = 2 ] || fail "--ids ' 1a2b:+3c4d' is taken"
echo "ok"
