#!/usr/bin/env bash
# A capture is private and whole, whatever is at its path and whoever else scans:
#   private.sh USB_SCANNER_SIM STISCAN [SANE_BIN_DIR]
# A new capture is 0600 and said on stderr, under umask 277 too, and a second session is appended
# after its own header and each replays by number; a link, a FIFO, a second name or another user's
# file at the path is refused with a message and left as it was, without waiting, and the scan is still
# done; with the images left out a short read-image answer is tagged; a write that fails (the file size
# limit standing in for a full disk) is said and leaves a capture that replays up to the cut, and the
# next session marks the cut line. Through the backend: the capture is open close-on-exec, `scanimage
# -L` during and after a capturing scan writes nothing and leaves that session whole and replayable,
# and a relative capture path is refused.
set -uo pipefail
usbsim=$1 stiscan=$2 sanebin=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
cd "$work" || exit 1
tool=("$stiscan" -q --route direct --vid 0x1a2b --pid 0x3c4d -r 75 -m grey --size 1x1in)
scan() { # scan CAPTURE [OUTPUT...]: a flatbed page with WIASTIIO_CAPTURE=CAPTURE; stderr in err
  local output=("${@:2}")
  [ ${#output[@]} -gt 0 ] || output=(-o page.png)
  WIASTIIO_CAPTURE=$1 timeout 60 "$usbsim" --ids 1a2b:3c4d -- "${tool[@]}" "${output[@]}" 2>err
}
replay() { # replay CAPTURE SESSION: the same job from that session of the capture
  timeout 60 "$usbsim" --replay "$1" --session "$2" -- "${tool[@]}" -o replayed.png 2>replay.err
}

scan "$work/new.txt" || fail "a new capture: exit $?: $(cat err)"
[ "$(stat -c %a new.txt)" = 600 ] || fail "a new capture is $(stat -c %a new.txt)"
grep -qxF "capturing to $work/new.txt (images kept)" err || fail "not said: $(cat err)"

# Whatever the umask, a new capture is 0600, and so the next session appends to it.
(umask 277 && scan "$work/masked.txt" && scan "$work/masked.txt") || fail "a capture under umask 277: $(cat err)"
[ "$(stat -c %a masked.txt)" = 600 ] && [ "$(grep -c '^# WIASTIIO capture' masked.txt)" = 2 ] ||
  fail "under umask 277: $(stat -c %a masked.txt), $(grep -c '^# WIASTIIO capture' masked.txt) sessions"
replay masked.txt 1 && replay masked.txt 2 || fail "a session does not replay: $(cat replay.err)"
# With the images left out, a read-image answer of 16 bytes or fewer is tagged all the same.
WIASTIIO_CAPTURE_IMAGES=0 WIASTIIO_CAPTURE=$work/short.txt "$usbsim" --ids 1a2b:3c4d --short-answer 6 -- "${tool[@]}" \
  -o page.png 2>/dev/null
grep -q '^\[ *[0-9.]*\] IN [0-9]*/16 ok image 0: ' short.txt || fail "a short image answer is not tagged"

# What must never be written through: the file at the other end stays as it was.
echo secret >target.txt
ln -s target.txt link.txt
ln target.txt hard.txt
mkfifo fifo.txt
touch foreign.txt
chown nobody foreign.txt 2>/dev/null || rm foreign.txt
for planted in link.txt:"is a symbolic link" hard.txt:"has other names" fifo.txt:"is not a regular file" \
  foreign.txt:"belongs to another user"; do
  name=${planted%%:*} reason=${planted#*:}
  [ -e "$name" ] || [ -L "$name" ] || { echo "skip $name: cannot give a file to another user"; continue; }
  rm -f page.png
  scan "$work/$name" || fail "$name: exit $?: $(cat err)"
  [ -s page.png ] || fail "$name: no page"
  grep -qxF "capture: $work/$name $reason; scanning without a capture" err || fail "$name: $(cat err)"
done
[ "$(cat target.txt)" = secret ] && [ ! -s foreign.txt ] || fail "a planted file was written"

# A write that fails: said once, the scan goes on, and what was written replays up to the cut.
(trap '' XFSZ && ulimit -f 12 && scan "$work/full.txt" -o /dev/null --format pnm) || fail "a full capture: exit $?: $(cat err)"
grep -q "^capture: $work/full.txt could not be written further: .*; the capture ends there$" err ||
  fail "a full capture is not said: $(cat err)"
replay full.txt 1
[ $? = 99 ] && grep -q "after the capture's last transfer" replay.err || fail "the cut capture: $(cat replay.err)"
# The next session marks the line the full disk cut, and replays after it.
scan "$work/full.txt" && grep -q ' <cut>$' full.txt && replay full.txt 2 || fail "after the cut: $(cat replay.err)"
echo "ok: private, sessions, planted files refused, a full disk said"

[ -n "$sanebin" ] && command -v scanimage >/dev/null || { echo "skip the backend: no scanimage"; exit 0; }
mkdir conf
echo wiastiio >conf/dll.conf
printf '%s\n' "usb 0x1a2b 0x3c4d" "capture $work/sane.txt" >conf/wiastiio.conf
export SANE_CONFIG_DIR=$work/conf LD_LIBRARY_PATH=$sanebin
job=(-d wiastiio:usb:1a2b:3c4d --source ADF --resolution 75 --mode Gray -x 25.4 -y 25.4 --batch=s%d.png --format=png)
# The scan waits at scanimage's prompt between two sheets, its capture open, while scanimage -L runs.
mkfifo keys
exec 3<>keys
SANE_DEBUG_WIASTIIO=1 "$usbsim" --ids 1a2b:3c4d --sheets 3 -- scanimage "${job[@]}" --batch-prompt <keys >sane.err 2>&1 &
scanner=$!
echo >&3
for _ in $(seq 600); do
  grep -q 'Place document no. 2' sane.err && break
  sleep 0.05
done
frontend=$(pgrep -P $scanner)
[ -n "$frontend" ] && grep -q 'Place document no. 2' sane.err || fail "the capturing scan did not start: $(cat sane.err)"
fd=$(find "/proc/$frontend/fd" -lname "$work/sane.txt")
flags=$(sed -n 's/^flags:\t*//p' "/proc/$frontend/fdinfo/${fd##*/}")
during=$(md5sum <sane.txt)
"$usbsim" --ids 1a2b:3c4d -- scanimage -L >list.out 2>&1
[ "$(md5sum <sane.txt)" = "$during" ] || fail "scanimage -L during the scan wrote into the capture"
printf '\n\n\n\n' >&3
wait $scanner || fail "the capturing scan: $(cat sane.err)"
exec 3>&-
grep -q "^\[wiastiio\] capturing to $work/sane.txt (images kept)$" sane.err || fail "the backend does not say it"
[ -n "$flags" ] && [ $((0$flags & 02000000)) != 0 ] || fail "the capture is inherited by the programs it starts ($flags)"
after=$(md5sum <sane.txt)
"$usbsim" --ids 1a2b:3c4d -- scanimage -L >list.out 2>&1
[ "$(md5sum <sane.txt)" = "$after" ] || fail "scanimage -L after the scan wrote into the capture"
"$usbsim" --replay sane.txt -- scanimage "${job[@]}" >/dev/null 2>replay.err ||
  fail "the scan's session does not replay: $(cat replay.err)"
printf '%s\n' "usb 0x1a2b 0x3c4d" "capture sane.txt" >conf/wiastiio.conf
SANE_DEBUG_WIASTIIO=1 "$usbsim" --ids 1a2b:3c4d -- scanimage -L 2>&1 | grep -q 'capture takes an absolute path, not sane.txt' ||
  fail "a relative capture path is not refused"
echo "ok: the backend's capture is close-on-exec, and scanimage -L leaves it whole"
