#!/usr/bin/env bash
# Installs what building and testing WIASTIIO needs on Debian 12. Safe to run again: packages that are
# already there are left alone. With --product, only what building the Linux product needs (the
# library, stiscan, the SANE backend and usb-scanner-sim, without tests or benchmarks) and scanimage.
set -euo pipefail

product=(
  build-essential cmake ninja-build pkg-config
  libusb-1.0-0-dev umockdev libumockdev-dev
  zlib1g-dev libtiff-dev libjpeg62-turbo-dev libtesseract-dev
  libsane-dev sane-utils
)
if [ "${1:-}" = --product ]; then
  packages=("${product[@]}")
else
packages=(
  build-essential cmake ninja-build git
  clang clang-format clang-tidy libclang-rt-14-dev
  libgtest-dev googletest libbenchmark-dev libpng-dev
  mingw-w64 wine wine64
  valgrind python3
  pkg-config libusb-1.0-0-dev umockdev libumockdev-dev
  zlib1g-dev libtiff-dev libjpeg62-turbo-dev libz-mingw-w64-dev poppler-utils libtiff-tools pngcheck python3-png dpkg-dev lintian
  libtesseract-dev tesseract-ocr-eng qpdf
  debhelper autopkgtest
  simple-scan xvfb xauth
  libsane-dev sane-utils
  llvm-14 lld-16 openssl gcovr
  python3-pil fonts-dejavu-core gnuplot-nox
)
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

[ "${1:-}" != --product ] || exit 0

# osslsigncode, which signs the Windows binaries, in the version of bookworm-backports: the backports
# suite is added from the mirror that serves bookworm, when it is not there yet.
# shellcheck disable=SC2016 # $(FIELD) is apt's format, not the shell's
if ! dpkg-query -W -f='${Status}' osslsigncode 2>/dev/null | grep -q "install ok installed"; then
  if ! apt-get indextargets --format '$(CODENAME)' | grep -qx bookworm-backports; then
    mirror=$(apt-get indextargets --format '$(REPO_URI) $(CODENAME)' | awk '$2 == "bookworm" {print $1; exit}')
    [ -n "$mirror" ] || { echo "no bookworm source in apt's lists to take backports from" >&2; exit 1; }
    echo "deb $mirror bookworm-backports main" | $sudo tee /etc/apt/sources.list.d/bookworm-backports.list >/dev/null
  fi
  echo "Installing: osslsigncode (bookworm-backports)"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends -t bookworm-backports osslsigncode
fi
