#!/usr/bin/env bash
# A program built from the unzipped kit alone (its headers and import libraries, no path into the
# source tree), run under Wine against the kit's library and the test build's simulated device monitor
# through one flatbed page: a C program, linked once against WIASTIIO.lib (Microsoft's form) and once
# against libWIASTIIO.dll.a (mingw-w64's); the library and its tests compile the headers as C++. Its results and image blocks, and the library's debug lines, are the
# ones of the same session's transcript.
# Usage: kit-client.sh BUILD_DIR SOURCE_DIR TEST_BIN LINKER GCC_LIBRARY_DIR EMULATOR
set -euo pipefail
build=$1
source=$2
test_bin=$3
linker=$4
gcc_libraries=$5
emulator=$6
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
(cd "$build" && cpack -G ZIP -B "$work" >/dev/null)
python3 -m zipfile -e "$work"/*.zip "$work/unpacked"
kit=$(dirname "$(find "$work/unpacked" -name README-Windows.md)")
# The session is the transcript file's variant whole-page: its untagged lines and those tagged for it.
transcript=$work/flatbed-device-monitor.txt
awk -v v=whole-page 'match($0, /^\{[^}]*\}/) { n = split(substr($0, 2, RLENGTH - 2), names, ","); keep = 0
       for (i = 1; i <= n; i++) if (names[i] == v) keep = 1
       if (!keep) next
       $0 = substr($0, RLENGTH + 1) }
     { print }' "$source/tests/transcripts/flatbed-device-monitor.txt" >"$transcript"

# The transcript's results: the result's name, and for an image block its size and hash.
expected_results() {
  awk '/^= / { line = $2; if (match($0, /actual [0-9]+ data .* fnv 0x[0-9A-F]+/)) {
         n = split(substr($0, RSTART, RLENGTH), w, " "); line = line " actual " w[2] " fnv " w[n] }
       print line }' "$transcript"
}
results() {  # the program prints the result's value; the transcript names it
  awk 'BEGIN { name["0x00000000"] = "S_OK"; name["0x00000004"] = "PAGE_END" }
       /^= / { line = ($2 in name) ? name[$2] : $2
               if (match($0, /actual [0-9]+ fnv 0x[0-9A-F]+/)) line = line " " substr($0, RSTART, RLENGTH)
               print line }' <(tr -d '\r' <"$1")
}
# Wine's debugger channel: OutputDebugStringA "LINE", with \n and the like escaped; the transcript
# writes a trailing blank as \s.
debug_lines() {
  tr -d '\r' <"$1" | sed -n 's/^.*OutputDebugStringA "\(.*\)"$/\1/p' | sed 's/ $/\\s/'
}

mkdir "$work/run"
clang-14 --target=x86_64-w64-mingw32 -std=c11 -Wall -Wextra -Wpedantic -Werror -I "$kit/include" \
  -c "$source/tests/release/KitClient.c" -o "$work/KitClient.o"
link() {  # PROGRAM IMPORT_LIBRARY
  clang-14 --target=x86_64-w64-mingw32 -fuse-ld=lld --ld-path="$linker" -L"$gcc_libraries" -static \
    "$work/KitClient.o" "$2" -o "$work/run/$1"
}
link kit-client-msvc-lib.exe "$kit/lib/WIASTIIO.lib"
link kit-client-mingw-lib.exe "$kit/lib/libWIASTIIO.dll.a"
cp "$kit/WIASTIIO.dll" "$work/run/"
cp "$test_bin/prtmon64.dll" "$work/run/"
echo "the kit's files used: $(cd "$kit" && ls include/* lib/* WIASTIIO.dll | tr '\n' ' ')"

for program in kit-client-msvc-lib.exe kit-client-mingw-lib.exe; do
  # What it imports, by name: the library and the system.
  imports=$(llvm-readobj --coff-imports "$work/run/$program" | sed -n 's/^ *Name: \(.*\.dll\)$/\1/Ip' | sort -u)
  grep -q "WIASTIIO.dll" <<<"$imports" || fail "$program does not import WIASTIIO.dll: $imports"
  echo "$program imports: $(tr '\n' ' ' <<<"$imports")"
  status=0
  WINEDEBUG=-all,+debugstr "$emulator" "$work/run/$program" >"$work/out" 2>"$work/debug" || status=$?
  cat "$work/out"
  [ "$status" = 0 ] || fail "$program exited with $status"
  diff <(expected_results) <(results "$work/out") || fail "$program: the results are not the transcript's"
  diff <(sed -n 's/^| //p' "$transcript") <(debug_lines "$work/debug") ||
    fail "$program: the debug lines are not the transcript's"
  echo "$program: $(grep -c '^= ' "$work/out") results and $(debug_lines "$work/debug" | wc -l) debug lines as in $(basename "$transcript")"
done
