#!/usr/bin/env bash
# A folder where the test programs and test doubles of a test build load a shipping build's library
# and tool: the loader takes WIASTIIO.dll from the program's own folder.
# Usage: stage.sh TEST_BIN RELEASE_BIN FOLDER
set -euo pipefail
test_bin=$1
release_bin=$2
folder=$3
rm -rf "$folder"
mkdir -p "$folder"
for file in "$test_bin"/*.exe "$test_bin"/*.dll; do
  case $(basename "$file") in
    WIASTIIO.dll | stiscan.exe) ;;
    *) cp "$file" "$folder/" ;;
  esac
done
cp "$release_bin/WIASTIIO.dll" "$release_bin/WIASTIIO.pdb" "$release_bin/stiscan.exe" "$folder/"
ls "$folder"
