#!/usr/bin/env bash
# Signs Windows binaries in place with an Authenticode signature (SHA-256) through osslsigncode.
#
#   scripts/sign.sh [-t URL] CERT KEY FILE...
#
# CERT is the code-signing certificate (PEM or DER; a PEM file may hold the chain after it), KEY its
# private key. A passphrase of the key is read from WIASTIIO_SIGN_PASSWORD (never put on a command line).
# With -t URL, or WIASTIIO_TIMESTAMP_URL, an RFC 3161 time-stamp server countersigns, so that the
# signature outlives the certificate. A signature already on a file is replaced.
set -euo pipefail

usage() {
  echo "usage: $0 [-t TIMESTAMP_URL] CERT KEY FILE..." >&2
  exit 2
}
timestamp_url=${WIASTIIO_TIMESTAMP_URL:-}
while getopts t: option; do
  case $option in
    t) timestamp_url=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -ge 3 ] || usage
cert=$1
key=$2
shift 2
command -v osslsigncode >/dev/null || { echo "$0: osslsigncode is not installed (scripts/setup.sh)" >&2; exit 1; }

options=(-h sha256 -certs "$cert" -key "$key")
[ -z "$timestamp_url" ] || options+=(-ts "$timestamp_url")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for file in "$@"; do
  [ -f "$file" ] || { echo "$0: $file: no such file" >&2; exit 1; }
  rm -f "$work/unsigned" "$work/signed"
  # A file signed before is signed afresh, not given a second signature.
  osslsigncode remove-signature -in "$file" -out "$work/unsigned" >/dev/null 2>&1 || cp "$file" "$work/unsigned"
  if [ -n "${WIASTIIO_SIGN_PASSWORD:-}" ]; then
    printf '%s' "$WIASTIIO_SIGN_PASSWORD" >"$work/pass"
    options+=(-readpass "$work/pass")
  fi
  osslsigncode sign "${options[@]}" -n "$(basename "$file")" -in "$work/unsigned" -out "$work/signed" >/dev/null
  chmod --reference="$file" "$work/signed"
  mv -f "$work/signed" "$file"
  echo "signed $file"
done
