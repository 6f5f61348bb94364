#!/usr/bin/env bash
# A self-signed code-signing certificate for tests: DIR/NAME.pem and DIR/NAME.key, subject CN.
# Usage: throwaway-cert.sh DIR NAME CN
set -euo pipefail
mkdir -p "$1"
openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=$3" -addext extendedKeyUsage=codeSigning \
  -keyout "$1/$2.key" -out "$1/$2.pem" 2>/dev/null
