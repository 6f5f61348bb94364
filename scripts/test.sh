#!/usr/bin/env bash
# Sets up a Debian 12 machine and runs every test:
#   windows   the PE library and its tests under Wine (the contention doubles as real DLLs)
#   windows-release  the shipping build (clang, lld): its PDB, signed with a throwaway certificate and
#             verified, the Windows tests and the INF test on the signed library, the .zip, and a second
#             build of the library in two other folders compared byte for byte
#   linux     the handler over the platform models: unit, white-box, end-to-end and tool tests; the
#             captures of tests/captures replayed as the device, and the Windows build's capture
#   coverage  the lines and branches the linux tests ran, per folder, against floors (scripts/coverage.py)
#   debian    the source package and its binary packages (dpkg-buildpackage, its tests left to the
#             linux step), lintian on them, and their autopkgtest tests against the built packages
#   lint      clang-format (dry run) over every source, clang-tidy over the library and platform layer
#   sanitize  the same under AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan      several threads on one handler, and stiscan's compression threads and stops, under
#             ThreadSanitizer
#   memcheck  the Linux end-to-end tests under valgrind: no error, no leak
#   fuzz      each libFuzzer target for a bounded time (FUZZ_SECONDS, default 45)
#   release   the optimised build with the benchmarks, each run briefly
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

jobs=$(nproc)
step() { printf '\n=== %s ===\n' "$*"; }

build_and_test() {
  local preset=$1
  shift
  step "$preset"
  cmake --preset "$preset" "$@" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
}

# Windows first, so that the Linux tool tests can compare the Windows tool's pages with their own.
build_and_test windows
# The shipping build signs as it builds, with a throwaway certificate kept beside the builds (the
# team's own never enters the tree); its tests use the windows build's test programs.
[ -f build/signing/package.pem ] || tests/release/throwaway-cert.sh build/signing package "WIASTIIO package test"
build_and_test windows-release -DWIASTIIO_SIGN_CERT="$PWD/build/signing/package.pem" \
  -DWIASTIIO_SIGN_KEY="$PWD/build/signing/package.key" -DWIASTIIO_WINDOWS_TEST_BIN="$PWD/build/windows/bin"
build_and_test linux -DWIASTIIO_WINDOWS_BIN="$PWD/build/windows/bin"
step "coverage (of the linux tests just run)"
python3 scripts/coverage.py build/linux

step debian
./scripts/debian.sh build/debian

step lint
./scripts/lint.sh build/linux

build_and_test sanitize
build_and_test tsan

step memcheck
./scripts/memcheck.sh

step fuzz
FUZZ_SECONDS="${FUZZ_SECONDS:-45}" ./scripts/fuzz-smoke.sh

step "linux-release (benchmarks, briefly)"
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release -j "$jobs"
ctest --preset linux-release -j "$jobs"
for b in build/linux-release/bin/bench_*; do
  [ -x "$b" ] || continue
  "$b" --benchmark_min_time=0.01 >/dev/null
  echo "$(basename "$b"): ran"
done
