#!/usr/bin/env bash
# Replays every capture (*.txt) of a folder as the device, through usb-scanner-sim --replay, as its
# "# replay:" and "# expect..." comments say (docs/CAPTURE.md, "Regression tests from captures"):
#   replay.sh FOLDER USB_SCANNER_SIM STISCAN [SANE_BIN_DIR [SHORT_SECONDS_LIBRARY]]
# Without the backend's folder (or scanimage), the captures replayed through scanimage are skipped.
set -uo pipefail
folder=$(cd "$1" && pwd) usbsim=$2 stiscan=$3 sanebin=${4:-} short=${5:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/conf"
echo wiastiio >"$work/conf/dll.conf"
echo "usb 0x1a2b 0x3c4d" >"$work/conf/wiastiio.conf"
# A second of a transfer's timeout lasts 5 ms in the replayed program (the preloaded library), so a
# recorded timeout runs out at once instead of after the route's bound.
export SANE_CONFIG_DIR=$work/conf LD_LIBRARY_PATH=$sanebin
[ -n "$short" ] && export LD_PRELOAD=$short${LD_PRELOAD:+:$LD_PRELOAD}
failed=0 count=0
for capture in "$folder"/*.txt; do
  name=$(basename "$capture")
  count=$((count + 1))
  read -r program options < <(sed -n 's/^# replay: //p' "$capture" | head -1)
  expected=$(sed -n 's/^# expect: exit //p' "$capture" | head -1)
  case $program in
  stiscan) run=("$stiscan" --route direct --vid 0x1a2b --pid 0x3c4d -o page%d.png) ;;
  scanimage)
    run=(scanimage -d wiastiio:usb:1a2b:3c4d)
    [ -n "$sanebin" ] && command -v scanimage >/dev/null || { echo "skip $name: no backend or scanimage"; continue; }
    ;;
  *) echo "FAIL $name: no '# replay: stiscan|scanimage OPTIONS' line"; failed=1; continue ;;
  esac
  rm -rf "$work/out" && mkdir "$work/out"
  # shellcheck disable=SC2086 # the options are words
  (cd "$work/out" && timeout 120 "$usbsim" --ids 1a2b:3c4d --replay "$capture" -- "${run[@]}" $options) \
    >"$work/log" 2>&1
  status=$?
  problem=
  [ "$status" = "${expected:-0}" ] || problem="exit $status, expected ${expected:-0}"
  while IFS= read -r text; do
    grep -qF -- "$text" "$work/log" || problem="${problem:+$problem; }no line with: $text"
  done < <(sed -n 's/^# expect-output: //p' "$capture")
  if [ -n "$problem" ]; then
    echo "FAIL $name: $problem"
    sed 's/^/    /' "$work/log"
    failed=1
  else
    echo "ok   $name (exit $status)"
  fi
done
[ "$count" -gt 0 ] || { echo "no captures in $folder"; exit 1; }
exit $failed
