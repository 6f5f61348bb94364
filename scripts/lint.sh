#!/usr/bin/env bash
# Style and static checks, as CI runs them: the folder layering (scripts/check-layers.py against the
# table scripts/layers.txt), clang-format over every C/C++ file the repository tracks
# (a dry run: nothing is rewritten), then clang-tidy with the project's settings over every product
# folder that the linux build compiles. Any finding fails. Needs a configured linux build for the
# compile commands.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/linux}
[ -f "$build/compile_commands.json" ] || cmake --preset linux >/dev/null

python3 scripts/check-layers.py

mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.c')
clang-format --dry-run --Werror "${sources[@]}"
echo "clang-format: ${#sources[@]} files clean"

# Every product folder; tests/, fuzz/ and bench/ are checked by clang-format only (their test macros
# unfold into branches that the complexity limit would count). The Windows-only sources are not in the
# linux build's compile commands and are left out.
linted=(wiastiio platform/linux platform/capture-format host client sane tools capture-monitor simulator doubles)
mapfile -t compiled < <(sed -n 's|^ *"file": "\(.*\)",\{0,1\}$|\1|p' "$build/compile_commands.json" | sed "s|^$PWD/||" | sort -u)
mapfile -t checked < <(git ls-files "${linted[@]/%//*.cpp}" | grep -Fxf <(printf '%s\n' "${compiled[@]}"))
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# clang-tidy counts the warnings it suppressed in system headers on stderr; show that only on failure.
# The build's GCC-only warning options (-Wno-restrict for GCC 12) are unknown to clang and left alone.
if ! printf '%s\n' "${checked[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet --warnings-as-errors='*' \
    --extra-arg=-Wno-unknown-warning-option 2>"$log"; then
  grep -v 'warnings generated\.$' "$log" >&2 || true
  echo "clang-tidy: findings above" >&2
  exit 1
fi
echo "clang-tidy: ${#checked[@]} files clean"
