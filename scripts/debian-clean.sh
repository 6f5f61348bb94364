#!/usr/bin/env bash
# The source package built in a clean Debian 12 made from Debian's packages alone, which shows that
# Build-Depends names everything the build needs: debootstrap (buildd variant) into ROOT, the .dsc
# unpacked there, `apt-get build-dep` (every Build-Depends, the tests' too), and dpkg-buildpackage as
# an unprivileged user. Not a step of scripts/test.sh: it takes about ten minutes on two cores.
#   debian-clean.sh ROOT DSC [DEB_BUILD_OPTIONS]    (as root; default options "nocheck parallel=N")
set -euo pipefail
root=$(realpath -m "$1") dsc=$(realpath "$2") options=${3:-"nocheck parallel=$(nproc)"}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
[ -x "$root/usr/bin/apt-get" ] || debootstrap --variant=buildd bookworm "$root" "$mirror"
mkdir -p "$root/build"
cp "$dsc" "$root/build/"
sed -n '/^Files:/,/^[^ ]/s/^ [0-9a-f]* [0-9]* //p' "$dsc" | while read -r file; do cp "$(dirname "$dsc")/$file" "$root/build/"; done
mount -t proc proc "$root/proc"
trap 'umount "$root/proc"' EXIT
# shellcheck disable=SC2016  # expanded by the chroot's shell
chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
  DSC="$(basename "$dsc")" OPTIONS="$options" sh -ec '
apt-get update -q
apt-get install -y -q --no-install-recommends dpkg-dev
cd /build
rm -rf source && dpkg-source -x "$DSC" source
apt-get build-dep -y -q --no-install-recommends ./source
id builder >/dev/null 2>&1 || useradd -m builder
chown -R builder /build
su builder -c "cd /build/source && DEB_BUILD_OPTIONS=\"$OPTIONS\" dpkg-buildpackage -us -uc"
ls -l /build/*.deb'
