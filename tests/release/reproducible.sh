#!/usr/bin/env bash
# Two shipping builds of one tree give the same bytes: the tree is copied to two temporary folders of
# different names and depths, each builds the kit's PE files with the windows-release preset (no
# compiler cache, SOURCE_DATE_EPOCH from the last commit where there is one), and every PE file and PDB
# of the kit is compared.
# Usage: reproducible.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/wiastiio-reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
if epoch=$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null); then
  export SOURCE_DATE_EPOCH=$epoch
fi

copy_tree() {
  mkdir -p "$1"
  if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # The files of the tree as they are (changes not yet committed included), nothing untracked.
    git -C "$source_dir" ls-files -z --cached | (cd "$source_dir" && tar --null -T - -cf -) | tar -xf - -C "$1"
  else
    tar -C "$source_dir" --exclude=./build --exclude=./out -cf - . | tar -xf - -C "$1"
  fi
}

trees=("$work/first" "$work/second/a/longer/path")
jobs=$(nproc)
for tree in "${trees[@]}"; do
  copy_tree "$tree"
  (cd "$tree" && cmake --preset windows-release -DWIASTIIO_WINDOWS_TEST_BIN= >/dev/null &&
    cmake --build --preset windows-release -j "$jobs" --target WIASTIIO stiscan capture_prtmon64 >/dev/null)
done

status=0
for file in WIASTIIO.dll WIASTIIO.pdb stiscan.exe stiscan.pdb capture/prtmon64.dll capture/prtmon64.pdb; do
  first=${trees[0]}/build/windows-release/bin/$file
  second=${trees[1]}/build/windows-release/bin/$file
  printf '%s  %s\n%s  %s\n' "$(sha256sum <"$first" | cut -d' ' -f1)" "${first#"$work"/}" \
    "$(sha256sum <"$second" | cut -d' ' -f1)" "${second#"$work"/}"
  if cmp "$first" "$second"; then
    echo "$file: the same $(stat -c %s "$first") bytes"
  else
    status=1
  fi
  if grep -q -a -e "$work" "$first" "$second"; then
    echo "FAIL: $file names its build folder"
    status=1
  fi
done
exit $status
