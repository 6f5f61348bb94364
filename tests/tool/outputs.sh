#!/bin/bash
# shellcheck disable=SC2086,SC2015  # option lists split into words; "checks || fail" is meant
# What -o names: only a regular file (or a new name) is replaced, by renaming NAME.part when complete; a
# device node, a FIFO and a symbolic link are written as they are; a NAME.part that an earlier run did
# not leave is not touched; a 255-byte name is written. A full disk gives one message and a summary of
# the files that are there. --json gives a UTF-8 document for every exit status.
# Usage: outputs.sh STISCAN
set -eu
tool=$1
dir=$(mktemp -d)
trap 'cd /; umount "$dir/full" 2>/dev/null; rm -rf "$dir"' EXIT
cd "$dir"
small="--simulate -r 75 --size a5 -q"
fail() { echo "$*" >&2; exit 1; }

"$tool" $small -o reference.png
"$tool" $small -o reference.tif

# A device node: a null device of this test's own as root; a user cannot replace the system's.
if mknod null c 1 3 2>/dev/null; then device=null; else device=/dev/null; fi
"$tool" $small --format png -o $device
[ -c $device ] || fail "the device node was replaced"

# A FIFO gets what the file would hold; TIFF, which seeks, is copied into it when complete.
mkfifo fifo
for format in png tif; do
  timeout 30 cat fifo >got.$format &
  "$tool" $small --format $format -o fifo
  wait $!
  [ -p fifo ] || fail "the FIFO was replaced"
  cmp reference.$format got.$format
done

# Pages on standard output (a pipe, a FIFO): the summary counts the bytes that went there.
for format in pnm tif pdf; do
  "$tool" --simulate -r 75 --size a5 --format $format -o - 2>err | cat >got.$format
  grep -qx "  -  437 x 620  1 page  $(stat -c %s got.$format) bytes" err || fail "-o - $format: $(cat err)"
done

# A symbolic link: the file it points to is written, the link stays.
echo old >target.png
ln -s target.png link.png
"$tool" $small -o link.png
[ -L link.png ] || fail "the link was replaced"
cmp reference.png target.png

# NAME.part as a link (or anything an earlier run did not leave) is neither followed nor touched.
echo victim >victim
ln -s victim page.png.part
status=0
"$tool" $small -o page.png 2>err || status=$?
[ $status = 7 ] && [ "$(cat victim)" = victim ] && [ -L page.png.part ] && [ ! -e page.png ] ||
  fail "NAME.part link: status $status, $(cat err)"
grep -q '^stiscan: cannot write page.png: page.png.part is in the way' err
# A regular NAME.part an earlier run left is replaced.
rm page.png.part
echo leftover >page.png.part
"$tool" $small -o page.png
cmp reference.png page.png
[ ! -e page.png.part ] || fail "the leftover NAME.part stays"

# A file replaced keeps its permissions.
cp reference.png kept.png
chmod 640 kept.png
"$tool" $small -o kept.png
[ "$(stat -c %a kept.png)" = 640 ] || fail "the replaced file is $(stat -c %a kept.png), not 640"

# A name of 255 bytes: the temporary name is cut to fit.
long=$(printf 'x%.0s' $(seq 251)).png
"$tool" $small -o "$long"
cmp reference.png "$long"

# A full disk: a small tmpfs as root, else a file size limit (bash's ulimit -f counts KiB). One
# line on standard error, naming the file and the reason; the summary lists the files that are there,
# at their size, and nothing else stays.
mkdir full
if mount -t tmpfs -o size=256k tmpfs full 2>/dev/null; then
  reason="No space left on device" limit=unlimited
else
  reason="File too large" limit=256
fi
for job in "-r 600 -m grey -o full/page.tif" "-r 150 -m grey -s feeder --feeder-sheets 3 -o full/job.tif" \
  "-r 150 -m grey -s feeder --feeder-sheets 3 -o full/job.pdf" "-r 600 -m grey -o full/page.png"; do
  status=0
  (
    ulimit -f $limit
    exec "$tool" --simulate $job >out 2>err
  ) || status=$?
  [ $status = 7 ] && [ "$(wc -l <err)" = 1 ] && grep -q "^stiscan: cannot write full/.*: $reason\$" err ||
    fail "$job: status $status, $(cat err)"
  listed=$(awk '$1 ~ /^full\// { print $1, $NF == "bytes" ? $(NF - 1) : "?" }' out)
  there=$(cd full && for f in *; do if [ -e "$f" ]; then echo "full/$f $(stat -c %s "$f")"; fi; done)
  [ "$listed" = "$there" ] || fail "$job: the summary lists [$listed], the folder holds [$there]"
  rm -f full/*
done

# --json: one document for each exit status, which it names, UTF-8 whatever bytes the file name holds
# (a byte that is not UTF-8 is written as \u0080 to \u00ff).
mkdir library
cp "$tool" library/
ln -s "$(dirname "$tool")/libwinplat.so" library/
touch library/WIASTIIO.so blocker
latin1=$(printf 'caf\351-%%d.png')
check_json() { # STATUS ARGS...: the run's status, and its document's
  local expected=$1 status=0
  shift
  "$@" --json >out 2>err || status=$?
  [ $status = "$expected" ] || fail "$*: status $status, $(cat err)"
  python3 -c 'import json, sys
document = json.loads(open("out", "rb").read().decode("utf-8"))
assert document["exit"] == int(sys.argv[1]), document
names = {0: "ok", 2: "usage", 3: "device", 4: "paper", 5: "io", 6: "library", 7: "output"}
assert document["status"] == names[document["exit"]], document
assert all(f["path"] in ("caf\u00e9-1.png", "p.png") for f in document["files"]), document' "$expected" ||
    fail "$*: $(cat out)"
}
check_json 0 "$tool" $small -o "$latin1"
grep -q '"path": "caf\\u00e9-1.png"' out || fail "the name's byte: $(cat out)"
check_json 2 "$tool" --mode sepia
# A refusal's document names the format the command line decided, also when a value was refused.
check_json 2 "$tool" -o p.tif --mode sepia && grep -q '"format": "tiff"' out || fail "refused: $(cat out)"
check_json 2 "$tool" -s feeder -o p.jpg && grep -q '"format": "jpeg"' out || fail "no page place: $(cat out)"
check_json 3 "$tool" $small --route direct --vid 1 --pid 2 -o p.png
check_json 4 "$tool" $small -s feeder --feeder-sheets 0 -o "$latin1"
check_json 5 "$tool" $small --short-transfer 6 -o p.png
check_json 6 library/stiscan $small -o p.png
check_json 7 "$tool" $small -o blocker/p.png
# Standard output that takes nothing (a full device) is status 7, for the list, the document and the summary.
if [ -w /dev/full ]; then
  for args in "--simulate --list" "$small --json -o p.png" "--simulate -r 75 --size a5 -o p.png"; do
    status=0
    "$tool" $args >/dev/full 2>err || status=$?
    [ $status = 7 ] && grep -qx "stiscan: cannot write standard output: No space left on device" err ||
      fail "$args into /dev/full: status $status, $(cat err)"
  done
fi
echo "outputs: all held"
