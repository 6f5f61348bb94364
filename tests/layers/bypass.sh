#!/usr/bin/env bash
# The layer check cannot be walked around: each way of reaching up past scripts/layers.txt and
# scripts/members.txt, written into a copy of the tree, must fail the check with its own finding.
# Usage: bypass.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each case: the file to write (appended to when it exists), the lines to write, the finding expected.
cases=(
  'wiastiio/protocol/Exchange.cpp|#include <device/PortRoute.h>|includes <device/PortRoute.h> (wiastiio/device/PortRoute.h): wiastiio/protocol may not include wiastiio/device'
  'wiastiio/protocol/Exchange.cpp|#define ROUTE_HEADER "device/PortRoute.h"\n#include ROUTE_HEADER|includes ROUTE_HEADER (wiastiio/device/PortRoute.h)'
  'wiastiio/protocol/Exchange.cpp|#include HIDDEN_HEADER|includes through HIDDEN_HEADER, which names no header'
  'wiastiio/protocol/Route.hpp|#include "device/PortRoute.h"|wiastiio/protocol/Route.hpp: includes "device/PortRoute.h"'
  'wiastiio/protocol/Route.inl|#include "operations/Escape.h"|wiastiio/protocol/Route.inl: includes "operations/Escape.h", which names no file'
  'wiastiio/protocol/Exchange.cpp|#define MODULE_OF(h) ((h).m_hDll)\nbool Loaded(const CSTIIOHandler\& h) { return MODULE_OF(h) != nullptr; }|wiastiio/protocol/Exchange.cpp: names m_hDll'
  'wiastiio/handler/Handler.cpp|void CSTIIOHandler::Probe() { EndReservation(); }|wiastiio/handler/Handler.cpp: calls EndReservation, defined in wiastiio/operations'
)
mkdir "$work/tree"
git -C "$source_dir" ls-files -z | (cd "$source_dir" && xargs -0 tar -c) | tar -x -C "$work/tree"
git -C "$work/tree" init -q
git -C "$work/tree" add -A
git -C "$work/tree" -c user.name=test -c user.email=test@localhost commit -qm tree
for c in "${cases[@]}"; do
  IFS='|' read -r file lines expected <<<"$c"
  git -C "$work/tree" reset -q --hard
  printf '%b\n' "$lines" >>"$work/tree/$file"
  git -C "$work/tree" add -A
  if out=$(python3 "$work/tree/scripts/check-layers.py" 2>&1); then
    echo "FAIL: the check passed with $file: $lines"
    exit 1
  fi
  grep -qF -- "$expected" <<<"$out" || { printf 'FAIL: %s\nexpected: %s\ngot:\n%s\n' "$lines" "$expected" "$out"; exit 1; }
  echo "refused: $file: ${lines%%\\n*}"
done
echo "${#cases[@]} passed, 0 failed"
