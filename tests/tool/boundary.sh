#!/usr/bin/env bash
# What ships holds no test-only code: every binary `cmake --install` puts in a scratch root from the
# build in $1 is read with nm (-C; $2 names the nm to use, the cross one for a Windows build), and
# fails on a name of the tests' code (docs/DESIGN.md, "The product's boundary") or the text of the
# removed time-scaling hook. $3, a test program of the same build, must show those names, and $4, when
# given, the test build of libwinplat, each of the platform's test hooks: the check is shown to find
# them where they are.
#   boundary.sh BUILD_DIR NM TEST_PROGRAM [TEST_PLATFORM]
set -euo pipefail
build=$1 nm=$2 probe=$3 platform=${4:-}
hooks='winplat::(ResetAll|LiveBStrings|OpenKeyHandles)\('
test_only="doubles::|harness::|feederjob::|testing::|bench::|scansim::FaultyPort|scansim::Fault\b|SetUsbSecondLength|$hooks"
hook=WIASTIIO_USBSCAN_MS_PER_SECOND
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

grep -qE "$test_only" <<<"$("$nm" -C "$probe")" || { echo "FAIL: no test-only name found even in $probe" >&2; exit 1; }
if [ -n "$platform" ]; then
  shown=$("$nm" -C -D --defined-only "$platform" | grep -oE "$hooks" | sort -u | wc -l)
  [ "$shown" = 3 ] || { echo "FAIL: $platform shows $shown of the 3 test hooks" >&2; exit 1; }
fi
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
binaries=0 found=0
while IFS= read -r -d '' file; do
  symbols=$("$nm" -C "$file" 2>/dev/null; "$nm" -C -D "$file" 2>/dev/null) || true
  [ -n "$symbols" ] || continue
  binaries=$((binaries + 1))
  echo "${file#"$root"}"
  if grep -E "$test_only" <<<"$symbols" | sed "s#^#  test-only: #" | grep .; then found=1; fi
  if grep -qa "$hook" "$file"; then echo "  test hook: $hook"; found=1; fi
done < <(find "$root" -type f -print0)
[ "$binaries" -gt 0 ] || { echo "FAIL: no binary installed" >&2; exit 1; }
[ "$found" = 0 ] || { echo "FAIL: test-only code in what ships" >&2; exit 1; }
echo "$binaries binaries, no test-only code"
