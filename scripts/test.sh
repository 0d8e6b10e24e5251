#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the program's build with all
# tests, then the engine library's tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the fuzz targets for a fixed number of inputs
# each, the tests that run threads again under ThreadSanitizer, and the
# Windows build (MinGW-w64) with its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# Every build goes through ccache: a second run recompiles only what changed,
# in this clone or in another one (paths are hashed relative to the clone).
ccache=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1

# Optimised as released, without debug information (a fifth of the compile
# time); a failure to look into is rebuilt with -g by hand.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
  "$ccache" >/dev/null
cmake --build build -j2
ctest --test-dir build -j2 --output-on-failure --timeout 600

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVELDAR2_GUI=OFF -DVELDAR2_SANITIZE=ON "$ccache" >/dev/null
cmake --build build-asan -j2
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j2 --output-on-failure --timeout 600

# libFuzzer targets (clang): command line, environment expansion, generation
# names and settings, each for a fixed number of inputs from fuzz/corpus/.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELDAR2_FUZZ=ON \
  -DVELDAR2_GUI=OFF -DVELDAR2_TESTS=OFF "$ccache" >/dev/null
cmake --build build-fuzz -j2
ctest --test-dir build-fuzz -j2 --output-on-failure --timeout 600 --no-tests=error

# Threads under ThreadSanitizer: the dialogs' worker (backup and restore runs
# behind the progress window, message boxes asked from it) and the mirror's
# listing thread. Only the suites whose runs start threads are built there
# (CMakeLists.txt lists them); the rest have no second thread to race with.
# Qt is not instrumented: scripts/tsan.supp says what that leaves out.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELDAR2_TSAN=ON "$ccache" >/dev/null
cmake --build build-tsan -j2
TSAN_OPTIONS="ignore_noninstrumented_modules=1 suppressions=$PWD/scripts/tsan.supp" \
  ctest --test-dir build-tsan -j2 --output-on-failure --timeout 600 --no-tests=error

# Windows: veldar2.exe and the core tests cross-built with MinGW-w64, run
# under Wine in a prefix of the build tree (cmake/wine-run.sh), and the
# program end to end (tests/windows_batch_e2e.sh).
# Unoptimised, without debug information: it compiles in two thirds of the
# time, and what these tests check is the Win32 layer and the program, not
# the optimiser (scripts/package-windows.sh builds the release optimised).
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 "$ccache" >/dev/null
cmake --build build-win -j2
ctest --test-dir build-win -j2 --output-on-failure --timeout 600 --no-tests=error
