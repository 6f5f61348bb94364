#!/usr/bin/env bash
# Style and static checks, as CI runs them: clang-format over every C/C++ file the repository tracks
# (a dry run: nothing is rewritten), then clang-tidy with the project's settings over the library and
# the Linux platform layer. Any finding fails. Needs a configured linux build for the compile commands.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/linux}
[ -f "$build/compile_commands.json" ] || cmake --preset linux >/dev/null

mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.c')
clang-format --dry-run --Werror "${sources[@]}"
echo "clang-format: ${#sources[@]} files clean"

# The DLL entry point is compiled only for Windows.
mapfile -t checked < <(git ls-files 'wiastiio/*.cpp' 'platform/linux/*.cpp' | grep -v '/DllMain\.cpp$')
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# clang-tidy counts the warnings it suppressed in system headers on stderr; show that only on failure.
if ! printf '%s\n' "${checked[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet --warnings-as-errors='*' 2>"$log"; then
  grep -v 'warnings generated\.$' "$log" >&2 || true
  echo "clang-tidy: findings above" >&2
  exit 1
fi
echo "clang-tidy: ${#checked[@]} files clean"
