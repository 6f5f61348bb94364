#!/usr/bin/env bash
# The shipping .zip: the library and the tool with their PDBs, the INF lines, the README's shipping
# section and the capturing device monitor in capture/, and no test double. With signing configured,
# the library in it carries a signature that verifies against CA (the certificate itself when none is
# given, as for a throwaway one).
# Usage: package.sh BUILD_DIR [CERT [CA]]
set -euo pipefail
build=$1
cert=${2:-}
ca=${3:-$cert}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G ZIP -B "$work" >/dev/null)
zip=$(ls "$work"/*.zip)
python3 -m zipfile -e "$zip" "$work/unpacked"
listing=$(cd "$work/unpacked" && find . -type f -printf '%f\n' | LC_ALL=C sort | tr '\n' ' ')
echo "$(basename "$zip"): $listing"
expected="README-Windows.md WIASTIIO.dll WIASTIIO.inf WIASTIIO.pdb prtmon64.dll stiscan.exe stiscan.pdb "
[ "$listing" = "$expected" ] || { echo "FAIL: expected $expected"; exit 1; }
unpacked=$(dirname "$(find "$work/unpacked" -name WIASTIIO.dll)")
[ -f "$unpacked/capture/prtmon64.dll" ] || { echo "FAIL: the capturing module is not in capture/"; exit 1; }
grep -q "^## Shipping the handler on Windows" "$unpacked/README-Windows.md" || { echo "FAIL: README section"; exit 1; }
cmp "$unpacked/WIASTIIO.dll" "$build/bin/WIASTIIO.dll"
cmp "$unpacked/WIASTIIO.pdb" "$build/bin/WIASTIIO.pdb"
if [ -n "$cert" ]; then
  osslsigncode verify -in "$unpacked/WIASTIIO.dll" -CAfile "$ca" | grep -E "Signature verification|Succeeded"
fi
