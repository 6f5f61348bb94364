#!/usr/bin/env bash
# scripts/sign.sh with a throwaway code-signing certificate: the library and the tool verify against
# it, and only against it; a changed byte breaks the signature; the signed library still names its PDB.
# Usage: sign-test.sh SOURCE_DIR FOLDER (the staged library, tool and PDB)
set -euo pipefail
source_dir=$1
folder=$2
keys=$folder/../signing
rm -rf "$keys"
"$(dirname "$0")/throwaway-cert.sh" "$keys" test "WIASTIIO test signing"
"$(dirname "$0")/throwaway-cert.sh" "$keys" other "Another test signer"

"$source_dir/scripts/sign.sh" "$keys/test.pem" "$keys/test.key" "$folder/WIASTIIO.dll" "$folder/stiscan.exe"
for file in WIASTIIO.dll stiscan.exe; do
  osslsigncode verify -in "$folder/$file" -CAfile "$keys/test.pem" >"$keys/$file.verify" 2>&1 ||
    { cat "$keys/$file.verify"; echo "FAIL: $file does not verify"; exit 1; }
  grep -E "Message digest algorithm|Subject|Signature verification|Number of verified|Succeeded" "$keys/$file.verify" |
    sed "s|^|$file: |" | sort -u
  if osslsigncode verify -in "$folder/$file" -CAfile "$keys/other.pem" >/dev/null 2>&1; then
    echo "FAIL: $file verifies against a certificate that did not sign it"
    exit 1
  fi
done
grep -q "Message digest algorithm  : SHA256" "$keys/WIASTIIO.dll.verify" || { echo "FAIL: not SHA-256"; exit 1; }

# One byte of the code changed (in a copy): the signature no longer holds.
cp "$folder/WIASTIIO.dll" "$keys/changed.dll"
printf '\xcc' | dd of="$keys/changed.dll" bs=1 seek=$((0x600)) conv=notrunc status=none
if osslsigncode verify -in "$keys/changed.dll" -CAfile "$keys/test.pem" >/dev/null 2>&1; then
  echo "FAIL: a changed library still verifies"
  exit 1
fi
"$(dirname "$0")/check-pdb.sh" "$folder/WIASTIIO.dll" "$source_dir/wiastiio/WIASTIIO.def" | tail -1
