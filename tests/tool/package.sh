#!/bin/sh
# The .deb cpack makes from the build in $1, unpacked into a scratch root, scans from there: the tool
# finds the library and the platform layer through paths relative to itself, none into the build.
set -eu
build=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$build" && cpack -G DEB -B "$scratch/package" >/dev/null)
dpkg -x "$scratch"/package/*.deb "$scratch/root"
cd "$scratch"
root/usr/bin/stiscan -r 75 --size a5 -o page.png -q
test -s page.png
readelf -d root/usr/bin/stiscan | grep -q 'RUNPATH.*\$ORIGIN/\.\./lib/wiastiio'
if readelf -d root/usr/bin/stiscan root/usr/lib/wiastiio/*.so | grep -F "$build"; then
  echo "a RUNPATH points into the build" >&2
  exit 1
fi
