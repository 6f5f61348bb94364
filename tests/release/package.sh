#!/usr/bin/env bash
# The shipping .zip, the driver kit: exactly the files its README's table lists (a file the README
# names in passing is in the kit, or is the system's or the team's own), no markdown link and no build
# command; the library and its PDB as built; with signing configured, every PE file in it carries a
# signature that verifies against CA (the certificate itself when none is given, as for a throwaway
# one).
# Usage: package.sh BUILD_DIR [CERT [CA]]
set -euo pipefail
build=$1
cert=${2:-}
ca=${3:-$cert}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
(cd "$build" && cpack -G ZIP -B "$work" >/dev/null)
zip=$(ls "$work"/*.zip)
python3 -m zipfile -e "$zip" "$work/unpacked"
kit=$(dirname "$(find "$work/unpacked" -name README-Windows.md)")
listing=$(cd "$kit" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
echo "$(basename "$zip"): $(tr '\n' ' ' <<<"$listing")"
readme=$kit/README-Windows.md

# The table of what the kit holds: its first column, one file a row.
table=$(awk '/^## What the kit holds/ {on = 1; next} on && /^## / {exit} on && /^\| `/' "$readme" |
  sed 's/^| `\([^`]*\)`.*/\1/' | LC_ALL=C sort)
[ "$table" = "$listing" ] || fail "the README's table and the kit differ:
$(diff <(echo "$table") <(echo "$listing") || true)"
# Every file named in passing: in the kit, or one the README says is not in it.
not_in_kit='^(sti\.inf|prtmon64\.dll|portarb\.dll|ExampleWia\.dll|ExampleScanner\.cat)$'
while read -r name; do
  grep -qxF "$name" <<<"$listing" || grep -Eq "$not_in_kit" <<<"$name" || fail "the README names $name"
done < <(grep -o '`[^`. ][^` ]*\.\(dll\|exe\|pdb\|inf\|md\|cat\)`' "$readme" | tr -d '`' | LC_ALL=C sort -u)
! grep -n -E '\]\(|scripts/|cmake|build/' "$readme" || fail "the README links or runs what the kit does not hold"

cmp "$kit/WIASTIIO.dll" "$build/bin/WIASTIIO.dll"
cmp "$kit/WIASTIIO.pdb" "$build/bin/WIASTIIO.pdb"
cmp "$kit/capture/prtmon64.pdb" "$build/bin/capture/prtmon64.pdb"
if [ -n "$cert" ]; then
  while read -r file; do
    osslsigncode verify -in "$kit/$file" -CAfile "$ca" >"$work/verify" 2>&1 ||
      { cat "$work/verify"; fail "$file does not verify"; }
    echo "$file: $(grep -E "Signature verification" "$work/verify")"
  done < <(grep -E '\.(dll|exe)$' <<<"$listing")
fi
