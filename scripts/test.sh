#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the program's build with all
# tests, then the engine library's tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
ctest --test-dir build -j2 --output-on-failure --timeout 600

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVELDAR2_GUI=OFF -DVELDAR2_SANITIZE=ON >/dev/null
cmake --build build-asan -j2
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j2 --output-on-failure --timeout 600
