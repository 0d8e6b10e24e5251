#!/usr/bin/env bash
# Builds the two Debian packages on Debian 12, with Debian's hardening flags
# (CMakeLists.txt takes them from dpkg-buildflags):
#   build-release/veldar2_<version>_amd64.deb      the command line, no Qt
#   build-release/veldar2-gui_<version>_amd64.deb  the dialogs
# Install both with: sudo apt install ./build-release/veldar2*_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package
. scripts/build-settings.sh

launcher=()
command -v ccache >/dev/null && launcher=("$ccache")
cmake -S . -B build-release "${released[@]}" -DVELDAR2_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build build-release -j2
rm -f build-release/veldar2*_amd64.deb
(cd build-release && cpack -G DEB >/dev/null)
for deb in build-release/veldar2_*_amd64.deb build-release/veldar2-gui_*_amd64.deb; do
  dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
  echo "$deb"
done
