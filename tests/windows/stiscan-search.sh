#!/usr/bin/env bash
# stiscan.exe takes the library from its own folder or System32, never from the current folder: a
# WIASTIIO.dll left there is not loaded (status 6, library), the one beside the program is.
# Usage: stiscan-search.sh WINE_RUN STISCAN_EXE WIASTIIO_DLL
set -euo pipefail
run=$1 tool=$2 dll=$3
prefix=${WIASTIIO_WINEPREFIX:-$PWD/.wineprefix}
if [ -e "$prefix/drive_c/windows/system32/WIASTIIO.dll" ]; then
  echo "System32 of $prefix holds a WIASTIIO.dll"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/stiscan-search.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/program" "$work/current"
cp "$tool" "$work/program/"
cp "$dll" "$work/current/"
status=0
output=$(cd "$work/current" && "$run" "$work/program/stiscan.exe" --info 2>&1) || status=$?
[ "$status" -eq 6 ] && grep -q "cannot load WIASTIIO.dll" <<<"$output" ||
  { echo "FAIL: with the library in the current folder only: status $status: $output"; exit 1; }
cp "$dll" "$work/program/"
status=0
output=$(cd "$work/current" && "$run" "$work/program/stiscan.exe" --info 2>&1) || status=$?
[ "$status" -ne 6 ] || { echo "FAIL: the library beside the program was not loaded: $output"; exit 1; }
echo "current folder: not loaded; beside the program: loaded (status $status)"
