#!/usr/bin/env bash
# Builds the Windows release zip on Debian with the MinGW-w64 cross compiler:
#   build-win-release/veldar2-<version>-win64.zip
# holding, at its top level (unpacked into C:\Program Files\VELDAR2, the
# programs are in that folder), veldar2.exe and veldar2w.exe (static,
# stripped; the console program and the one without a console),
# veldar2_help.html, veldar2_help_en.html and README-Windows.txt (from
# packaging/windows/).
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
