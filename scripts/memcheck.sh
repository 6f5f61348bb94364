#!/usr/bin/env bash
# Runs the Linux end-to-end test programs under valgrind's memcheck. Any memory error, any definitely
# or indirectly lost block, or any failing test fails the run.
#
#   scripts/memcheck.sh [build directory]      (default: build/linux, the "linux" preset)
#
# The programs: scan_tests (the exports of the shared library), handler_tests (the handler inside) and
# hardening_tests (the fault and allocation-failure sweeps). A program whose test folder is still empty
# is not built and not registered with CTest; it is skipped with a note. A registered program that is
# missing fails the run.
#
# Valgrind options worth a word:
#   --soname-synonyms=somalloc=nouserintercepts  valgrind would otherwise replace the operator new and
#       operator delete that a test program defines itself (the allocation hooks of the hardening and
#       handler tests), which would switch those hooks off. With this option only the system libraries'
#       allocators are replaced; the hooks allocate through malloc and free, which memcheck still
#       tracks block by block.
#   --errors-for-leak-kinds=definite,indirect  a block still reachable at exit (gtest's and the platform
#       models' static state) is not a leak of the library; a lost one is.
# tests/valgrind.supp holds the only suppressions: the dynamic loader's own reads, not ours.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build/linux}"
if [ ! -d "$build/bin" ]; then
  echo "memcheck: no build in $build (configure and build the linux preset first)" >&2
  exit 2
fi
command -v valgrind >/dev/null || { echo "memcheck: valgrind is not installed" >&2; exit 2; }

registered=$(ctest --test-dir "$build" -N 2>/dev/null | sed -n 's/^ *Test *#[0-9]*: *//p')
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

status=0
ran=0
for program in scan_tests handler_tests hardening_tests; do
  if ! grep -qx "$program" <<<"$registered"; then
    echo "memcheck: $program is not built here (its test folder is empty); skipped"
    continue
  fi
  if [ ! -x "$build/bin/$program" ]; then
    echo "memcheck: $program is registered but $build/bin/$program is missing" >&2
    status=1
    continue
  fi
  log="$logs/$program.log"
  start=$(date +%s)
  if valgrind --tool=memcheck --suppressions=tests/valgrind.supp --error-exitcode=99 --leak-check=full \
      --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
      --soname-synonyms=somalloc=nouserintercepts --num-callers=40 --log-file="$log" \
      "$build/bin/$program" --gtest_brief=1 >"$logs/$program.out" 2>&1; then
    result=0
  else
    result=$?
  fi
  ran=$((ran + 1))
  errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" | tail -n 1)
  definite=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -n 1)
  indirect=$(sed -n 's/.*indirectly lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -n 1)
  printf 'memcheck: %-16s %3ss  errors %s, definitely lost %s bytes, indirectly lost %s bytes' \
    "$program" "$(($(date +%s) - start))" "${errors:-?}" "${definite:-0}" "${indirect:-0}"
  grep -h '^\[ .* sweep \]' "$logs/$program.out" | sed 's/^/; /' | tr -d '\n' || true
  echo
  if [ "$result" -ne 0 ]; then
    status=1
    if [ "$result" -eq 99 ]; then
      echo "memcheck: $program: valgrind found errors or leaks:" >&2
      cat "$log" >&2
    else
      echo "memcheck: $program failed (exit $result):" >&2
      tail -n 60 "$logs/$program.out" >&2
    fi
  fi
done

if [ "$ran" -eq 0 ]; then
  echo "memcheck: no program ran" >&2
  exit 1
fi
exit "$status"
