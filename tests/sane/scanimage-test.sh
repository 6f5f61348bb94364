#!/usr/bin/env bash
# The backend driven by Debian's own scanimage (and saned), loaded from the build folder:
#   scanimage-test.sh CASE BIN_DIR STISCAN PNG_COMPARE [USB_SCANNER_SIM]
# CASE is one of: list usb frontends options pixels batch stops cancel net. Exit 77 skips (a tool is missing).
set -uo pipefail
case=$1 bin=$2 stiscan=$3 compare=$4 usbsim=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
command -v scanimage >/dev/null || { echo "scanimage is not installed"; exit 77; }
work=$(mktemp -d)
daemon=
cleanup() { [ -n "$daemon" ] && kill "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

# A configuration folder with a dll.conf naming only our backend and a wiastiio.conf of the given lines.
mkdir -p "$work/conf"
echo wiastiio >"$work/conf/dll.conf"
configure() { printf '%s\n' simulator "$@" >"$work/conf/wiastiio.conf"; }
configure
scan() { SANE_CONFIG_DIR=$work/conf LD_LIBRARY_PATH=$bin timeout 60 scanimage "$@"; }
# The backend's own debug lines, the folders taken out.
steps() { grep "^\[wiastiio\] [^l]" "$1" | sed -e "s#$bin/#BIN/#" -e "s#$work/#WORK/#"; }
golden() { diff -u "$here/golden/$1" - || fail "$1 differs"; }
# The build's backend, never an installed one: SANE's dll backend looks in LD_LIBRARY_PATH first, and
# falls through to the system's folders when the build has none.
loading=$(SANE_DEBUG_DLL=4 scan -L 2>&1 >/dev/null)
grep -qF "dlopen()ing \`$bin/libsane-wiastiio.so.1'" <<<"$loading" || fail "scanimage did not load the backend of $bin"

case $case in
list)
  scan -L >"$work/out" && golden list.txt <"$work/out"
  # Lines that are not settings are reported and skipped.
  configure "usb 1234" "usb 0x1234 0x10000" "simulator jam x" "simulator pause 3" "simulator jam-block 2" "speed 9" \
    "retries x" "library" "capture-images maybe" "simulator block-bytes 0"
  SANE_DEBUG_WIASTIIO=1 scan -L 2>&1 >/dev/null | sed "s#$work/#WORK/#" >"$work/out"
  golden conf-problems.txt <"$work/out"
  # A device of this backend that is not there is a device error; a name it never gives, an invalid one.
  for row in "usb:1234:5678|Error during device I/O" "usb:12345678|Invalid argument"; do
    scan -d "wiastiio:${row%%|*}" -n 2>"$work/err"
    grep -qx "scanimage: open of device wiastiio:${row%%|*} failed: ${row#*|}" "$work/err" || fail "$row: $(cat "$work/err")"
  done
  # A library without the exports is never called into: the open fails, naming every export it lacks.
  configure "library $bin/libsane-wiastiio.so.1"
  SANE_DEBUG_WIASTIIO=1 scan -d wiastiio:simulator -n 2>&1 >/dev/null | grep -e '^\[wiastiio\]' -e failed |
    sed "s#$bin/#BIN/#" >"$work/out"
  golden library-lacks-exports.txt <"$work/out"
  ;;
usb)
  # The scanner on the USB bus (the simulator in umockdev's test bed), reached over libusb: listed
  # when its ids are configured, and scanning a feeder job with the pixels stiscan sees.
  [ -x "$usbsim" ] || { echo "usb-scanner-sim is not built"; exit 77; }
  printf '%s\n' "usb 0x1234 0x5678" "usb 0x1234 0x9999" >"$work/conf/wiastiio.conf"
  usb() { SANE_CONFIG_DIR=$work/conf LD_LIBRARY_PATH=$bin timeout 60 "$usbsim" --sheets 3 -- "$@"; }
  usb scanimage -L >"$work/out" && golden usb-list.txt <"$work/out"
  usb scanimage -d wiastiio:usb:1234:5678 --source ADF --resolution 75 --batch="$work/page%d.png" --format=png \
    2>"$work/err" && grep -q "Batch terminated, 3 pages scanned" "$work/err" || { cat "$work/err"; fail "USB batch"; }
  "$stiscan" --simulate --quiet --source feeder --feeder-sheets 3 --resolution 75 -o "$work/tool%d.png" || fail "stiscan"
  for n in 1 2 3; do "$compare" "$work/page$n.png" "$work/tool$n.png" || fail "USB pixels, page $n"; done
  # A scanner gone silent (the first image block never comes): SIGINT, which scanimage turns into
  # sane_cancel, ends the scan cancelled within a second (failed past 5 s; the time is printed), and
  # the next scan on the same scanner gets its page.
  silent() {
    scanimage -d wiastiio:usb:1234:5678 --resolution 75 -o page.pnm 2>err &
    local pid=$! start
    until grep -q "CallReadImage = > CoWriteFile Success" err; do kill -0 $pid && sleep 0.05 || break; done
    sleep 0.3 # in the wait for the answer
    start=$(date +%s%N)
    kill -INT $pid
    wait $pid
    echo "status $? after $((($(date +%s%N) - start) / 1000000)) ms"
    grep -q "Operation was canceled" err && echo cancelled
    scanimage -d wiastiio:usb:1234:5678 --resolution 75 -o next.pnm && [ -s next.pnm ] && echo "next scan done"
  }
  export -f silent
  (cd "$work" && SANE_CONFIG_DIR=$work/conf LD_LIBRARY_PATH=$bin SANE_DEBUG_WIASTIIO=5 timeout 60 "$usbsim" \
    --stall-answer 6 -- bash -c silent >"$work/out" 2>/dev/null)
  echo "scanimage on a silent scanner, SIGINT: $(head -1 "$work/out")"
  grep -q "^status 2 after \([0-9]\{1,3\}\|[1-4][0-9]\{3\}\) ms" "$work/out" && grep -qx cancelled "$work/out" &&
    grep -qx "next scan done" "$work/out" || { cat "$work/out" "$work/err"; fail "SIGINT on a silent scanner"; }
  # A node the user may not write (as nobody, the test bed's node made read-only): access denied.
  # nobody may not be able to enter the build folder (a 0700 home, a mktemp -d): what it runs is
  # staged in a folder it may read.
  if [ "$(id -u)" = 0 ] && command -v setpriv python3 >/dev/null; then
    mkdir "$work/stage"
    cp "$bin"/*.so* "$work/stage/"
    cp "$usbsim" "$work/stage/usb-scanner-sim"
    chmod -R a+rX "$work"
    SANE_CONFIG_DIR=$work/conf LD_LIBRARY_PATH=$work/stage SANE_DEBUG_WIASTIIO=1 timeout 60 setpriv --reuid=nobody \
      --regid=nogroup --clear-groups "$work/stage/usb-scanner-sim" -- bash -c 'python3 -c "import glob, os
for node in glob.glob(\"/dev/bus/usb/*/*\"): os.chmod(node, 0o444)" && scanimage -d wiastiio:usb:1234:5678 -n' \
      >"$work/out" 2>&1 && fail "opened without permission"
    grep -q "no permission to read and write /dev/bus/usb/" "$work/out" &&
      grep -q "Access to resource has been denied" "$work/out" || { cat "$work/out"; fail "access denied"; }
  fi
  ;;
frontends)
  # Under usb-scanner-sim a frontend loads this backend alone, with the user's wiastiio.conf: here the
  # user's dll.conf names test too, which only --keep-sane-config loads; without SANE_CONFIG_DIR the
  # system's dll.conf, every backend of it, stays out. simple-scan (under Xvfb) finds the scanner.
  [ -x "$usbsim" ] || { echo "usb-scanner-sim is not built"; exit 77; }
  echo test >>"$work/conf/dll.conf"
  echo "usb 0x1a2b 0x3c4d" >"$work/conf/wiastiio.conf"
  mkdir "$work/tmp"
  export TMPDIR=$work/tmp LD_LIBRARY_PATH=$bin
  sim() { SANE_CONFIG_DIR=$work/conf timeout 60 "$usbsim" --ids 1a2b:3c4d "$@"; }
  sim -- env -u WIASTIIO_USB_IDS scanimage -L >"$work/out" && sim --keep-sane-config -- scanimage -L >>"$work/out" &&
    [ -f /etc/sane.d/dll.conf ] && env -u SANE_CONFIG_DIR timeout 60 "$usbsim" -- scanimage -L >>"$work/out" &&
    sort "$work/out" | golden frontends.txt
  # With no wiastiio.conf the scanner of WIASTIIO_USB_IDS is offered, and the backend says so.
  mkdir "$work/none"
  SANE_CONFIG_DIR=$work/none SANE_DEBUG_WIASTIIO=3 timeout 60 "$usbsim" -- scanimage -L >"$work/out" 2>"$work/err"
  grep -q "^\[wiastiio\] no wiastiio.conf in $work/tmp/usb-scanner-sim\.[^ ]*: only the scanners of WIASTIIO_USB_IDS (1234:5678) are offered$" \
    "$work/err" && grep -q "wiastiio:usb:1234:5678" "$work/out" || { cat "$work/err"; fail "no wiastiio.conf"; }
  [ -z "$(ls -A "$work/tmp")" ] || fail "usb-scanner-sim left its SANE configuration behind"
  command -v simple-scan xvfb-run >/dev/null || { echo "simple-scan or xvfb-run is not installed"; exit 77; }
  timeout 60 xvfb-run -a "$usbsim" --sheets 2 -- timeout 5 simple-scan -d >"$work/out" 2>&1
  grep -qF 'Device: name="wiastiio:usb:1234:5678"' "$work/out" || { cat "$work/out"; fail "simple-scan found no scanner"; }
  ;;
options)
  scan -d wiastiio:simulator -A >"$work/out" && golden options.txt <"$work/out"
  # The feeder's area is longer; the window that reached the flatbed's bottom edge reaches the feeder's.
  # The mode as set is the mode shown.
  scan -d wiastiio:simulator --source ADF --mode Gray -A | grep -- '^    -[ltxy] \|--mode' >"$work/out" &&
    golden options-adf.txt <"$work/out"
  # A window without a whole pixel is refused when the scan starts.
  scan -d wiastiio:simulator -l 100 -x 0 -o "$work/x.pnm" 2>"$work/err"
  [ $? = 4 ] && grep -q "sane_start: Invalid argument" "$work/err" || fail "an empty window was not refused"
  ;;
pixels)
  # scanimage's pages equal stiscan's for the same settings. A window that starts inside the area is
  # scanned from the corner: it equals its part of stiscan's page of the window's bottom-right corner.
  while read -r mode tool_mode dpi window size left top; do
    scan -d wiastiio:simulator --mode "$mode" --resolution "$dpi" ${window//,/ } --format=png -o "$work/sane.png" ||
      fail "scanimage $mode $dpi $window"
    "$stiscan" --simulate --quiet --mode "$tool_mode" --resolution "$dpi" --size "$size" -o "$work/tool.png" ||
      fail "stiscan $tool_mode $dpi $size"
    "$compare" "$work/sane.png" "$work/tool.png" "$left" "$top" || fail "$mode $dpi $window"
    echo "$mode $dpi $window" >>"$work/compared"
  done <"$here/golden/pixels-cases.txt"
  [ "$(wc -l <"$work/compared")" = 6 ] || fail "not every window was compared"
  # The comparison sees a window one pixel off.
  ! "$compare" "$work/sane.png" "$work/tool.png" 20 19 2>/dev/null || fail "a shifted window compares equal"
  ;;
batch)
  # Three sheets, then the empty feeder ends the job cleanly.
  configure "simulator feeder-sheets 3"
  SANE_DEBUG_WIASTIIO=3 scan -d wiastiio:simulator --source ADF --resolution 75 --batch="$work/page%d.png" \
    --format=png 2>"$work/err" || { cat "$work/err"; fail "batch exit $?"; }
  [ -s "$work/page3.png" ] && [ ! -e "$work/page4.png" ] || fail "pages: $(ls "$work")"
  grep -q "Batch terminated, 3 pages scanned" "$work/err" || fail "no end of batch"
  steps "$work/err" >"$work/out"
  golden batch.txt <"$work/out"
  # The flatbed scans its document again for each page asked for.
  rm "$work"/page*.png
  scan -d wiastiio:simulator --resolution 75 --batch="$work/page%d.png" --batch-count=2 --format=png 2>"$work/err" &&
    [ -s "$work/page2.png" ] || { cat "$work/err"; fail "flatbed batch"; }
  ;;
stops)
  # Each condition of the scanner, the status scanimage reports, and the pages it still wrote.
  while IFS='|' read -r pages status conditions; do
    IFS=, read -ra lines <<<"$conditions"
    configure "retries 2" "retry-delay 1" "${lines[@]}"
    rm -f "$work"/page*.png
    scan -d wiastiio:simulator --source ADF --resolution 75 --batch="$work/page%d.png" --format=png 2>"$work/err"
    grep -q "$status" "$work/err" || { cat "$work/err"; fail "$conditions: no '$status'"; }
    [ "$(ls "$work" | grep -c '^page')" = "$pages" ] || fail "$conditions: pages $(ls "$work")"
  done <"$here/golden/stops-cases.txt"
  ;;
cancel)
  # SIGINT in the middle of a page: the block in flight is finished, then abort and release.
  configure "simulator block-bytes 6000" "simulator block-pause 50"
  SANE_CONFIG_DIR=$work/conf LD_LIBRARY_PATH=$bin SANE_DEBUG_WIASTIIO=5 scanimage -d wiastiio:simulator \
    --resolution 75 --format=png -o "$work/page.png" 2>"$work/err" &
  pid=$!
  for _ in $(seq 100); do grep -q 'CallReadImage' "$work/err" && break; sleep 0.1; done
  kill -INT "$pid"
  wait "$pid"
  [ $? = 2 ] || fail "scanimage did not end cancelled"
  [ ! -e "$work/page.png" ] || fail "a cancelled page was kept"
  grep -x '\[wiastiio\] library: \[STI\]CSTIIOHandler::Call[A-Za-z]*' "$work/err" | tail -3 >"$work/out"
  golden cancel-calls.txt <"$work/out"
  steps "$work/err" | tail -2 >"$work/out"
  golden cancel.txt <"$work/out"
  # SIGINT while the second sheet is fed: the batch stops cancelled, not at an empty feeder.
  configure "simulator feeder-sheets 3" "simulator feed-pause 1000"
  SANE_CONFIG_DIR=$work/conf LD_LIBRARY_PATH=$bin SANE_DEBUG_WIASTIIO=5 scanimage -d wiastiio:simulator \
    --source ADF --resolution 75 --batch="$work/page%d.png" --format=png 2>"$work/err" &
  pid=$!
  for _ in $(seq 100); do [ "$(grep -c 'simulator: command 31' "$work/err")" = 2 ] && break; sleep 0.1; done
  kill -INT "$pid"
  wait "$pid" && fail "a batch cancelled while a sheet was fed ended with exit 0"
  grep -q "sane_start: Operation was canceled" "$work/err" || { grep -v library: "$work/err"; fail "no cancel"; }
  [ "$(grep -c 'simulator: command 31' "$work/err")" = 2 ] || fail "a sheet was fed after the cancel"
  ;;
net)
  # The same backend behind saned on the loopback, reached through SANE's net backend.
  saned=$(command -v saned || echo /usr/sbin/saned)
  [ -x "$saned" ] || { echo "saned is not installed"; exit 77; }
  (echo >/dev/tcp/127.0.0.1/6566) 2>/dev/null && { echo "port 6566 is taken"; exit 77; }
  echo 127.0.0.1 >"$work/conf/saned.conf"
  configure "simulator feeder-sheets 3"
  mkdir -p "$work/client"
  echo net >"$work/client/dll.conf"
  printf 'connect_timeout = 5\n127.0.0.1\n' >"$work/client/net.conf"
  SANE_CONFIG_DIR=$work/conf LD_LIBRARY_PATH=$bin timeout 120 "$saned" -l -e -b 127.0.0.1 2>"$work/saned.err" &
  daemon=$!
  for _ in $(seq 50); do (echo >/dev/tcp/127.0.0.1/6566) 2>/dev/null && break; sleep 0.1; done
  remote() { SANE_CONFIG_DIR=$work/client timeout 60 scanimage "$@"; }
  remote -L | grep -q "net:127.0.0.1:wiastiio:simulator" || fail "net listing"
  remote -d net:127.0.0.1:wiastiio:simulator --mode Gray --resolution 100 --format=png -o "$work/sane.png" ||
    fail "net flatbed scan"
  "$stiscan" --simulate --quiet --mode grey --resolution 100 -o "$work/tool.png" || fail "stiscan"
  "$compare" "$work/sane.png" "$work/tool.png" || fail "net pixels"
  remote -d net:127.0.0.1:wiastiio:simulator --source ADF --resolution 75 --batch="$work/page%d.png" \
    --format=png 2>"$work/err" || fail "net batch"
  grep -q "Batch terminated, 3 pages scanned" "$work/err" || fail "net batch pages"
  ;;
*)
  fail "unknown case $case"
  ;;
esac
echo "PASS: $case"
