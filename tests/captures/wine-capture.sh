#!/usr/bin/env bash
# The capturing device monitor under Wine:
#   wine-capture.sh WINDOWS_BIN OUT
# In a Wine prefix of its own, the test device monitor is the installed prtmon64.dll of the system
# folder; a folder of OUT holds stiscan.exe, WIASTIIO.dll and the capturing prtmon64.dll. A feeder job
# (three sheets, grey, 75 dpi, 1.6 x 1.2 in) is captured to the file the environment names, OUT/feeder.txt,
# with its pages OUT/pageN.png; again to the file the registry names with the images left out; and
# without a file it still scans and nothing is written. The file is private: created with no access for
# other users (Wine keeps the descriptor asked for as the file's mode), appended to by a later run (a
# service started again), and a link planted at its name is refused, with a debugger line, while the
# scan goes on.
set -uo pipefail
bin=$(cd "$1" && pwd)
mkdir -p "$2" && out=$(cd "$2" && pwd)
wine_run=$(cd "$(dirname "$0")/../../cmake" && pwd)/wine-run.sh
export WIASTIIO_WINEPREFIX=$bin/../.wineprefix-capture
fail() { echo "FAIL: $*"; exit 1; }
win() { local path=${1//\//\\}; echo "Z:$path"; }
sheets=3
job() { "$wine_run" "$out/app/stiscan.exe" --simulate --source feeder --feeder-sheets $sheets -r 75 -m grey \
  --size 1.6x1.2in -q -o "$(win "$out/$1")"; }

rm -rf "$out"/* && mkdir -p "$out/app"
"$wine_run" cmd /c exit >/dev/null 2>&1  # makes the prefix on first use
cp "$bin/prtmon64.dll" "$WIASTIIO_WINEPREFIX/drive_c/windows/system32/prtmon64.dll" || fail "no system folder"
cp "$bin/stiscan.exe" "$bin/WIASTIIO.dll" "$bin/capture/prtmon64.dll" "$out/app/" || fail "the build is incomplete"
"$wine_run" reg delete 'HKLM\SOFTWARE\WIASTIIO\Capture' /f >/dev/null 2>&1

WIASTIIO_CAPTURE=$(win "$out/feeder.txt") job 'page%d.png' || fail "the job with a capture in the environment"
[ -s "$out/page3.png" ] || fail "no third page"
for line in 'device 1234:5678' '] call PortAcquire(33) = 1' '] call DeviceOpen(3,3,4660,22136,0) = 1' \
  '] OUT 4/4 ok: 1B A8 12 00' '] call DeviceClose(1) = 1' '] call PortRelease(33) = 1'; do
  grep -qF "$line" "$out/feeder.txt" || fail "the capture has no line with: $line"
done

"$wine_run" reg add 'HKLM\SOFTWARE\WIASTIIO\Capture' /v File /d "$(win "$out/bare.txt")" /f >/dev/null &&
  "$wine_run" reg add 'HKLM\SOFTWARE\WIASTIIO\Capture' /v Images /t REG_DWORD /d 0 /f >/dev/null || fail "reg add"
job 'bare%d.png' || fail "the job with a capture in the registry"
"$wine_run" reg delete 'HKLM\SOFTWARE\WIASTIIO\Capture' /f >/dev/null 2>&1
grep -q '] IN 11536/11536 ok image 11520: ' "$out/bare.txt" || fail "the images are not left out"
[ $(($(wc -c <"$out/bare.txt") * 4)) -le "$(wc -c <"$out/feeder.txt")" ] || fail "the capture without images is large"

job 'plain%d.png' || fail "the job without a capture"
cmp -s "$out/page3.png" "$out/plain3.png" || fail "the pages differ without a capture"
[ "$(cd "$out" && echo *.txt)" = "bare.txt feeder.txt" ] || fail "a capture was written without a file named"
[ "$(($(stat -c %a "$out/feeder.txt") % 10))" = 0 ] || fail "other users may open the capture: $(stat -c %a "$out/feeder.txt")"

sheets=1
WIASTIIO_CAPTURE=$(win "$out/own.txt") job 'own%d.png' && cp "$out/own.txt" "$out/own-first" &&
  WIASTIIO_CAPTURE=$(win "$out/own.txt") job 'own%d.png' || fail "the jobs appending to one capture"
cmp -s "$out/own-first" <(head -c "$(wc -c <"$out/own-first")" "$out/own.txt") || fail "the first run's capture is lost"
[ "$(grep -c '^# WIASTIIO capture [0-9]*$' "$out/own.txt")" = 2 ] || fail "the second run did not append"
[ "$(grep -c '] call PortRelease(33) = 1$' "$out/own.txt")" -ge 4 ] || fail "not every port cycle is in the capture"
echo victim >"$out/victim"
for link in symbolic hard; do
  rm -f "$out/planted.txt" "$out/planted1.png"
  if [ $link = symbolic ]; then ln -s "$out/victim" "$out/planted.txt"; else ln "$out/victim" "$out/planted.txt"; fi
  WINEDEBUG=+debugstr WIASTIIO_CAPTURE=$(win "$out/planted.txt") job 'planted%d.png' 2>"$out/planted.log" ||
    fail "the job with a $link link planted"
  [ -s "$out/planted1.png" ] || fail "no page with a $link link planted"
  [ "$(cat "$out/victim")" = victim ] || fail "the capture went through a $link link"
  grep -q "\[capture\] .*planted.txt is not written: it " "$out/planted.log" || fail "no debugger line for a $link link"
done
echo "captured under Wine: $(wc -c <"$out/feeder.txt") bytes, $(wc -c <"$out/bare.txt") without the images"
