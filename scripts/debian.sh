#!/usr/bin/env bash
# The Debian packages as a distribution takes them: the source package and its binary packages made
# by dpkg-buildpackage from a copy of the tree's files (tracked files, as they are in the work tree),
# lintian on the .changes (source and binaries: no error, no warning), and the autopkgtest tests run
# against the built packages on this machine (the null runner), which are purged afterwards. The
# build-time tests are not run (nocheck): the linux preset runs the same tests.
#   debian.sh [OUT_DIR]    (default build/debian; root, as autopkgtest's null runner installs packages)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/debian}")
rm -rf "$out"
mkdir -p "$out/wiastiio"
git ls-files -z | tar --null -T - -c | tar -x -C "$out/wiastiio"
packages=$(sed -n 's/^Package: //p' debian/control)
# shellcheck disable=SC2086
trap 'apt-get purge -y -q $packages >/dev/null 2>&1 || true' EXIT

start=$SECONDS
(cd "$out/wiastiio" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -us -uc -Pnocheck) \
  >"$out/build.log" 2>&1 || { tail -n 60 "$out/build.log"; exit 1; }
echo "dpkg-buildpackage: $((SECONDS - start)) s"
(cd "$out" && ls -1 ./*.dsc ./*.deb)

start=$SECONDS
status=0
lintian --pedantic -I --fail-on error,warning "$out"/*.changes >"$out/lintian.log" 2>&1 || status=$?
grep -v '^running with root' "$out/lintian.log" | tee "$out/lintian.out" || true
if [ "$status" != 0 ] || grep -qE '^[EW]: ' "$out/lintian.out"; then echo "lintian: errors or warnings" >&2; exit 1; fi
echo "lintian: no error, no warning ($((SECONDS - start)) s)"

start=$SECONDS
debs=()
for p in $packages; do debs+=("$out/${p}_"*.deb); done
autopkgtest "${debs[@]}" "$out/wiastiio/" -- null >"$out/autopkgtest.log" 2>&1 ||
  { tail -n 60 "$out/autopkgtest.log"; exit 1; }
sed -n '/@@@@ summary/,$p' "$out/autopkgtest.log" | grep -E ' (PASS|FAIL|SKIP)'
echo "autopkgtest: $((SECONDS - start)) s"
