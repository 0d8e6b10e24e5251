#!/usr/bin/env bash
# Builds the Debian package on Debian 12: build-release/veldar2_<version>_amd64.deb
# (install it with: sudo apt install ./build-release/veldar2_*_amd64.deb),
# with Debian's hardening flags (CMakeLists.txt takes them from dpkg-buildflags).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DVELDAR2_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build build-release -j2
(cd build-release && cpack -G DEB >/dev/null)
deb=$(ls build-release/veldar2_*_amd64.deb)
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
echo "$deb"
