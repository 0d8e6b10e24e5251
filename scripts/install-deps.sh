#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the demo
# need and the machine lacks. Runs apt-get only when something is missing.
set -euo pipefail

packages=(
  cmake make g++ pkg-config
  googletest libgtest-dev
  qt6-base-dev qt6-translations-l10n qt6-tools-dev qt6-l10n-tools   # lrelease: the English interface
  rsync
  fonts-noto-cjk
  clang libclang-rt-14-dev llvm   # the fuzz targets: libFuzzer runtime, readable stack traces
  # Windows: the MinGW-w64 cross compiler (posix threads), Wine to run its
  # tests, a compiler cache, an X server for the test of Wine windows, and
  # unzip to list the release zip.
  g++-mingw-w64-x86-64-posix wine wine64 ccache xvfb xauth unzip
  # The Debian package and its checks: dpkg-shlibdeps, the menu entry's and
  # the man page's validators, and script(1) for the terminal's progress line.
  dpkg-dev desktop-file-utils groff-base man-db bsdutils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
