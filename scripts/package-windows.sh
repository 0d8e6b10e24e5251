#!/usr/bin/env bash
# Builds the Windows release zip on Debian with the MinGW-w64 cross compiler:
#   build-win-release/veldar2-<version>-win64.zip
# holding veldar2.exe (static, stripped), veldar2_help.html and
# README-Windows.txt (the README's Windows section).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh windows-package

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-win-release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DVELDAR2_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build build-win-release -j2
(cd build-win-release && cpack -G ZIP >/dev/null)
zip=$(ls build-win-release/veldar2-*-win64.zip)
unzip -l "$zip"
echo "$zip"
