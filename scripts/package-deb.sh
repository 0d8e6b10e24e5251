#!/usr/bin/env bash
# Builds the Debian package on Debian 12: build-release/veldar2_<version>_amd64.deb
# (install it with: sudo apt install ./build-release/veldar2_*_amd64.deb),
# with Debian's hardening flags (CMakeLists.txt takes them from dpkg-buildflags).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package
. scripts/build-settings.sh

launcher=()
command -v ccache >/dev/null && launcher=("$ccache")
cmake -S . -B build-release "${released[@]}" -DVELDAR2_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build build-release -j2
(cd build-release && cpack -G DEB >/dev/null)
deb=$(ls build-release/veldar2_*_amd64.deb)
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
echo "$deb"
