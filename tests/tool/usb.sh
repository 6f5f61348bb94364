#!/bin/bash
# shellcheck disable=SC2086,SC2206  # option lists split into words
# stiscan without --simulate scans the user's USB scanner (usb-scanner-sim plugs the simulator in as
# one): the first on the bus whose ids wiastiio.conf (the shipped file) or WIASTIIO_USB_IDS lists, or
# the one --vid and --pid name; no scanner is status 3 with where the ids were read, a node it may not
# write (as nobody, from copies in a folder nobody may read) status 3 naming the node; the simulated
# scanner's options need --simulate, whose pages say they are simulated.
# Usage: usb.sh STISCAN USB_SCANNER_SIM SHIPPED_CONF
set -u
tool=$1 usbsim=$2 shipped=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
mkdir conf empty
cp "$shipped" conf/wiastiio.conf
shipped_ids=$(awk '$1 == "usb" { sub(/^0[xX]/, "", $2); sub(/^0[xX]/, "", $3); print $2 ":" $3; exit }' "$shipped")
[ -n "$shipped_ids" ] || { echo "no usb line in $shipped" >&2; exit 1; }
failures=0
small="-r 75 --size a5"

# STATUS PATTERN CONF SIM_ARGS -- STISCAN_ARGS: SIM_ARGS empty runs without a scanner on the bus; the
# ids reach stiscan only through the folder CONF (usb-scanner-sim's own WIASTIIO_USB_IDS is removed)
# unless SIM_ARGS sets ids=... . PATTERN must be in the output.
check() {
  local expected=$1 pattern=$2 conf=$3 sim=$4 args=$5 status=0 env_ids=(env -u WIASTIIO_USB_IDS) bus=()
  rm -f ./*.png ./*.pdf ./*.tif out
  case $sim in *ids=*) env_ids=(env "WIASTIIO_USB_IDS=${sim##*ids=}"); sim=${sim%ids=*} ;; esac
  [ -z "$sim" ] || bus=("$usbsim" $sim --)
  "${bus[@]}" "${env_ids[@]}" SANE_CONFIG_DIR="$dir/$conf" "$tool" $args >out 2>&1 || status=$?
  { [ "$status" = "$expected" ] && grep -qF -- "$pattern" out; } ||
    bad "[$sim] stiscan $args (conf $conf): status $status, not $expected with \"$pattern\":"
}
bad() { echo "FAIL $1" >&2; cat out >&2; failures=$((failures + 1)); }

# FILE carries the simulated scanner's mark in its metadata (yes) or not (no).
marked() {
  local has=no
  grep -qa "simulated scanner" "$1" && has=yes
  [ "$has" = "$2" ] || bad "$1 marked as simulated: $has, not $2"
}

sim_shipped="--ids $shipped_ids"
# The shipped ids, from the shipped conf: scanned, and not called simulated.
check 0 '"simulated": false' conf "$sim_shipped" "$small --json -o p.png"
check 0 "1 page from the flatbed, colour" conf "$sim_shipped" "$small -o p.pdf" && marked p.pdf no
check 0 "  bus " conf "$sim_shipped" "--list"
# Other ids: from WIASTIIO_USB_IDS, or named with --vid and --pid though nothing lists them.
check 0 "1 page from the flatbed" empty "--ids 1a2b:3c4d ids=1a2b:3c4d" "$small -o p.png"
check 0 "1 page from the flatbed" empty "--ids 1a2b:3c4d" "$small --vid 0x1a2b --pid 0x3c4d -o p.png"
# What goes wrong on the bus is the scanner's: a jam is status 4, a scanner not listed status 3.
check 4 "jam" conf "--sheets 2 --jam 1 $sim_shipped" "-s feeder -r 75 -o p%d.png"
# --paper on the bus draws the pages stiscan's own simulator draws with --paper.
check 0 "1 page from the flatbed" conf "--paper $sim_shipped" "$small -o bus.pnm"
{ "$tool" --simulate --paper $small -o own.pnm && cmp bus.pnm own.pnm; } >out 2>&1 || bad "--paper on the bus"
check 3 "no scanner found: no scanner on the USB bus has the ids of $dir/conf/wiastiio.conf (usb $shipped_ids) or WIASTIIO_USB_IDS (unset); to add one" \
  conf "--ids 1a2b:3c4d" "$small -o p.png"
check 3 "no scanner found: no scanner with vid 0x1A2B on the USB bus" conf "$sim_shipped" "$small --vid 0x1a2b -o p.png"
# No scanner at all, no conf: status 3 naming where the ids were looked for; --list says the same.
check 3 "has the ids of wiastiio.conf (none in $dir/empty)" empty "" "$small -o p.png"
check 3 "no scanner found" empty "" "--list"
# The simulated scanner only with --simulate, and its pages say so.
check 2 "need --simulate" conf "" "-s feeder --jam 1 -o p%d.png"
check 2 "--route monitor: the device monitor stands only in front of the simulated scanner" conf "" "--route monitor"
check 0 "1 page from the flatbed of the simulated scanner" empty "" "--simulate $small -o p.tif" && marked p.tif yes
check 0 '"simulated": true' empty "" "--simulate $small --json -o p.pdf" && marked p.pdf yes
check 0 "simulator  built in" empty "" "--simulate --list"
# A scanner gone silent (with whole pages in one block, the answer to the ninth command, the second
# sheet's block, never comes): SIGINT ends stiscan with status 8 within a second (failed past 5 s; the
# time is printed), the first page kept, and the next session on the same scanner scans its page. Left
# to its own timeout (WIASTIIO_USB_TIMEOUT) the same job fails with status 5.
silent() {
  "$tool" --debug -s feeder -r 75 --size a5 -o f%d.png >out 2>&1 &
  local pid=$! start
  until [ "$(grep -c "CallReadImage = > CoWriteFile Success" out)" = 2 ]; do kill -0 $pid && sleep 0.05 || break; done
  sleep 0.3 # in the wait for the answer
  start=$(date +%s%N)
  kill -INT $pid
  wait $pid
  echo "status $? after $((($(date +%s%N) - start) / 1000000)) ms, pages:" f*.png
  "$tool" $small -o q.png >/dev/null 2>&1 && [ -s q.png ] && echo "next session scanned"
}
export -f silent
export tool small SANE_CONFIG_DIR=$dir/conf
"$usbsim" --sheets 2 --block-bytes 2000000 --stall-answer 9 $sim_shipped -- bash -c silent >report 2>&1
echo "stiscan on a silent scanner, SIGINT: $(head -1 report)"
grep -q "^status 8 after \([0-9]\{1,3\}\|[1-4][0-9]\{3\}\) ms, pages: f1.png$" report &&
  grep -qx "next session scanned" report || { cp report out; bad "SIGINT to stiscan on a silent scanner"; }
WIASTIIO_USB_TIMEOUT=1500 check 5 "page 2 stopped after 0 of 620 rows: ESC_READ_IMAGE returned E_FAIL" conf \
  "--sheets 2 --block-bytes 2000000 --stall-answer 9 $sim_shipped" "-s feeder -r 75 --size a5 -o f%d.png"
if [ "$(id -u)" = 0 ] && command -v setpriv python3 >/dev/null; then
  mkdir stage
  cp "$tool" "$(dirname "$tool")"/*.so stage/
  cp "$usbsim" stage/usb-scanner-sim
  chmod -R a+rX "$dir"
  status=0
  SANE_CONFIG_DIR=$dir/conf LD_LIBRARY_PATH=$dir/stage timeout 60 setpriv --reuid=nobody --regid=nogroup \
    --clear-groups stage/usb-scanner-sim --ids "$shipped_ids" -- bash -c 'python3 -c "import glob, os
for node in glob.glob(\"/dev/bus/usb/*/*\"): os.chmod(node, 0o444)" && exec stage/stiscan -r 75 --format png -o /dev/null' \
    >out 2>&1 || status=$?
  { [ $status = 3 ] && grep -q "^stiscan: no permission to read and write /dev/bus/usb/.*, the scanner's node" out; } ||
    bad "a node nobody may write: status $status"
fi
exit $((failures != 0))
