#!/usr/bin/env bash
# The PDB beside a shipping build's DLL: the DLL's debug directory names it without a folder and carries
# its GUID and age; it holds every export of the .def as a public function at the export's address, and
# the source line of each export's code; the DLL itself holds no DWARF.
# Usage: check-pdb.sh DLL DEF
set -euo pipefail
dll=$1
def=$2
pdb=${dll%.*}.pdb
tool() { command -v "$1-14" || command -v "$1" || { echo "$1 is not installed (llvm-14)" >&2; exit 1; }; }
readobj=$(tool llvm-readobj)
pdbutil=$(tool llvm-pdbutil)
symbolizer=$(tool llvm-symbolizer)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The debug directory and the PDB's own header agree.
directory=$("$readobj" --coff-debug-directory "$dll")
named=$(sed -n 's/^ *PDBFileName: //p' <<<"$directory")
[ "$named" = "$(basename "$pdb")" ] || fail "the DLL names its PDB '$named'"
read -r -a b <<<"$(sed -n 's/^ *PDBGUID: (\(.*\))/\1/p' <<<"$directory")"
guid="{${b[3]}${b[2]}${b[1]}${b[0]}-${b[5]}${b[4]}-${b[7]}${b[6]}-${b[8]}${b[9]}-${b[10]}${b[11]}${b[12]}${b[13]}${b[14]}${b[15]}}"
age=$(sed -n 's/^ *PDBAge: //p' <<<"$directory")
summary=$("$pdbutil" dump -summary "$pdb")
grep -qxF "  GUID: $guid" <<<"$summary" || fail "the PDB's GUID is not the DLL's $guid"
grep -qxF "  Age: $age" <<<"$summary" || fail "the PDB's age is not the DLL's $age"
echo "debug directory: $named $guid age $age; the PDB: $(grep -E '^  (GUID|Age):' <<<"$summary" | tr -s ' ' | tr '\n' ' ')"
if "$readobj" --sections "$dll" | grep -q 'Name: \.debug_'; then
  fail "the DLL holds DWARF sections"
fi

# Every export: a public function at its address, and its code's source line.
base=$(("$("$readobj" --file-headers "$dll" | sed -n 's/^ *ImageBase: //p')"))
declare -A section_rva
while read -r number rva; do section_rva[$number]=$((rva)); done < <(
  "$readobj" --sections "$dll" | awk '/^ *Number:/ {n = $2} /^ *VirtualAddress:/ {print n, $2}')
declare -A export_rva
while read -r name rva; do export_rva[$name]=$((rva)); done < <(
  "$readobj" --coff-exports "$dll" | awk '/^ *Name:/ {n = $2} /^ *RVA:/ {print n, $2}')
declare -A public_rva
while read -r name section offset; do public_rva[$name]=$((section_rva[$((10#$section))] + 10#$offset)); done < <(
  "$pdbutil" dump -publics "$pdb" |
    awk '/S_PUB32/ {n = $NF; gsub(/`/, "", n)} /flags = function, addr =/ {split($NF, a, ":"); print n, a[1], a[2]}')
exports=$(awk '$2 ~ /^@/ {print $1}' "$def")
count=0
for name in $exports; do
  count=$((count + 1))
  rva=${export_rva[$name]:-}
  [ -n "$rva" ] || { fail "$name is not exported"; continue; }
  [ "${public_rva[$name]:-}" = "$rva" ] || fail "no public function $name at the export's address"
  mapfile -t where < <("$symbolizer" --obj="$dll" "$(printf '0x%x' $((base + rva)))")
  [ "${where[0]}" = "$name" ] || fail "$name's address resolves to '${where[0]}'"
  [[ "${where[1]}" =~ ^wiastiio\\[a-z]+\\[A-Za-z]+\.cpp:[1-9][0-9]*: ]] || fail "$name has no source line: '${where[1]}'"
  printf '%-22s rva 0x%05x  public %s  %s\n' "$name" "$rva" "${public_rva[$name]:+yes}" "${where[1]}"
done
[ "$count" -eq 19 ] || fail "the .def lists $count exports"
[ "$failures" -eq 0 ] && echo "PDB OK: $count exports" || exit 1
