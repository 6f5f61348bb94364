#!/usr/bin/env bash
# What each PE file of a build brings the process that loads it, read from its headers (llvm-readobj):
#   every file has a version resource that names it;
#   a DLL, loaded into another process, imports none of a thread library's functions that reach into
#   other threads or the process's exception handling, and runs no TLS callback but the C runtime's
#   own (their names found by the symbol table or the PDB);
#   with --guard, every file has its load configuration with the guard's function table and flags
#   as the linker made them, not only the GUARD_CF bit.
# Usage: check-pe.sh [--guard] FILE...
set -euo pipefail
here=$(dirname "$0")
tool() { command -v "$1-14" || command -v "$1" || { echo "$1 is not installed (llvm-14)" >&2; exit 1; }; }
readobj=$(tool llvm-readobj)
symbolizer=$(tool llvm-symbolizer)
pdbutil=$(tool llvm-pdbutil)
guard=
[ "$1" = --guard ] && { guard=1; shift; }
# shellcheck source=host-modules.txt
source "$here/host-modules.txt"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
field() { sed -n "s/^ *$1: //p" <<<"$2" | head -1; }

for file in "$@"; do
  name=$(basename "$file")
  headers=$("$readobj" --file-headers --sections --coff-imports --coff-tls-directory --coff-resources "$file")
  grep -q "Type: VERSIONINFO" <<<"$headers" && strings -el "$file" | grep -qx "$name" ||
    fail "$name has no version resource that names it"
  # The file's characteristics, then the optional header's (the DLL characteristics).
  flags=$(sed -n 's/^  Characteristics \[ (\(.*\))$/\1/p' <<<"$headers" | sed -n 2p)
  if grep -q IMAGE_FILE_DLL <<<"$headers"; then
    for forbidden in "${forbidden_imports[@]}"; do
      grep -qx "  *Symbol: $forbidden ([0-9]*)" <<<"$headers" && fail "$name imports $forbidden"
    done
    # The callbacks: a table of addresses up to a null one, read through the section that holds it.
    # Each is named by the symbol table, or with a PDB by the object file whose code holds it (the
    # runtime's static functions have no public symbol there).
    base=$(($(field ImageBase "$headers")))
    table=$(($(field AddressOfCallBacks "$headers") - base))
    pdb=${file%.*}.pdb
    if [ -f "$pdb" ]; then
      declare -A module=()
      while read -r index object; do module[$((10#$index))]=$object; done < <(
        "$pdbutil" dump -modules "$pdb" | sed -n 's/^ *Mod \([0-9]*\) | `\(.*\)`:.*/\1 \2/p')
      contributions=$("$pdbutil" dump -section-contribs "$pdb" |
        sed -n 's/.*mod = \([0-9]*\), \([0-9]*\):\([0-9]*\), size = \([0-9]*\),.*/\1 \2 \3 \4/p')
    fi
    mapfile -t sections < <(awk '/VirtualAddress:/ {va = $2} /RawDataSize:/ {raw = $2} /PointerToRawData:/ {
                                   print va, raw, $2}' <<<"$headers")
    callbacks=()
    for section in "${sections[@]}"; do
      read -r va raw offset <<<"$section"
      va=$((va)) offset=$((offset))
      ((table >= va && table < va + raw)) || continue
      for address in $(od -An -tx8 -v -j $((offset + table - va)) -N 64 "$file"); do
        ((0x$address == 0)) && break
        rva=$((0x$address - base))
        if [ -z "${contributions:-}" ]; then
          callbacks+=("$("$symbolizer" --obj="$file" --functions=linkage "0x$address" | head -1)")
          continue
        fi
        number=0
        for code in "${sections[@]}"; do
          number=$((number + 1))
          read -r cva craw _ <<<"$code"
          ((rva >= cva && rva < cva + craw)) && break
        done
        callbacks+=("$(while read -r m s o z; do
          if ((10#$s == number && rva - cva >= 10#$o && rva - cva < 10#$o + z)); then echo "${module[$m]##*-}"; fi
        done <<<"$contributions")")
      done
    done
    expected=("${runtime_tls_callbacks[@]}")
    [ -n "${contributions:-}" ] && expected=("${runtime_tls_callbacks[@]/*/$runtime_tls_object}")
    [ "${callbacks[*]}" = "${expected[*]}" ] || fail "$name runs TLS callbacks: ${callbacks[*]}"
    echo "$name: DllCharacteristics $flags, TLS callbacks: ${callbacks[*]}"
  fi
  if [ -n "$guard" ]; then
    config=$("$readobj" --coff-load-config "$file")
    table=$(field GuardCFFunctionTable "$config")
    count=$(field GuardCFFunctionCount "$config")
    gflags=$(field GuardFlags "$config" | cut -d' ' -f2 | tr -d '()')
    ((flags & 0x4000)) || fail "$name has no GUARD_CF bit"
    ((${table:-0} != 0 && ${count:-0} > 0)) || fail "$name has no guard function table (${table:-none}, ${count:-none})"
    ((${gflags:-0} == guard_flags)) || fail "$name has GuardFlags ${gflags:-none}"
    grep -q "__guard_check_icall_fptr\|GuardCFCheckFunction: 0x[1-9A-F]" <<<"$config" ||
      fail "$name has no check function"
    echo "$name: GuardCFFunctionTable $table, $count functions, GuardFlags $gflags"
  fi
done
[ "$failures" -eq 0 ]
