#!/usr/bin/env bash
# Installs what building and testing WIASTIIO needs on Debian 12. Safe to run again: packages that are
# already there are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build git
  clang clang-format clang-tidy libclang-rt-14-dev
  libgtest-dev googletest libbenchmark-dev libpng-dev
  mingw-w64 wine wine64
  valgrind python3
  pkg-config libusb-1.0-0-dev umockdev libumockdev-dev
  zlib1g-dev libtiff-dev libjpeg62-turbo-dev libz-mingw-w64-dev poppler-utils libtiff-tools dpkg-dev
  libsane-dev sane-utils
  llvm-14 lld-16
)

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

