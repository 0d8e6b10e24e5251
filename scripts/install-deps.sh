#!/usr/bin/env bash
# Installs, from Debian's packages, what one of the scripts needs and the
# machine lacks. Runs apt-get only when something is missing.
#
#   install-deps.sh build            the program (scripts/demo.sh, the benchmark)
#   install-deps.sh package          the Debian package (scripts/package-deb.sh)
#   install-deps.sh windows-package  the Windows zip (scripts/package-windows.sh)
#   install-deps.sh test             every program scripts/test.sh calls (the
#                                    media suite's drivers and servers too)
#   install-deps.sh test-all         and those of scripts/test.sh --all
#   install-deps.sh media            the drivers and servers of the media suite
#                                    (tests/media/run.sh) and bench/media_bench.sh
#
# Without an argument: build.
set -euo pipefail

# The Linux program: compiler, CMake, Qt, dpkg-buildflags (Debian's
# hardening flags, used by every Linux build), GoogleTest (the normal build is
# configured with its tests), ccache and xxhash (the manifests' checksum).
build=(cmake make g++ pkg-config dpkg-dev qt6-base-dev libgtest-dev ccache libxxhash-dev)
# The Debian package: cpack needs file(1) to find the programs to strip, and
# dpkg-shlibdeps (dpkg-dev) for the library dependencies.
package=(cmake make g++ pkg-config dpkg-dev file qt6-base-dev libxxhash-dev)
# Windows: the MinGW-w64 cross compiler (posix threads), unzip to list
# the release zip, and xxhash's header (compiled in).
windows=(cmake make g++-mingw-w64-x86-64-posix ccache unzip libxxhash-dev)
# The media suite: backup media reached through FUSE and network file systems,
# set up by the suite itself: exFAT (mkfs.exfat, exfat-fuse), NTFS (ntfs-3g),
# FAT32 (mkfs.vfat, fusefat), an SMB share (smbd, reached through smbnetfs),
# an SSH server (sshd, reached through sshfs, which brings ssh-keygen) and an
# rclone mount; rsync compares trees, and the benchmark times it and the runs
# (/usr/bin/time).
media=(exfatprogs exfat-fuse ntfs-3g dosfstools fusefat samba smbnetfs
       openssh-server sshfs rclone rsync time python3)
# The tests besides: Qt's own Japanese texts and the fonts the dialogs draw
# with, rsync (the tests compare trees with it), GoogleTest's sources for the
# Windows build, unzip to check its zip, Wine to run its tests and Xvfb for Wine's windows (xauth for
# xvfb-run, which the README suggests for the dialog on a server), and for the
# package's checks: lintian, the menu entry's and the man page's validators,
# systemd-analyze for the example units, script(1) for the terminal's
# progress line, mkfs.xfs to make the XFS file systems (with and without
# clones) the OS layer's tests mount, clang-format to check the code's layout;
# and the media suite's drivers.
test=("${build[@]}" clang-format file qt6-translations-l10n fonts-noto-cjk rsync
      googletest g++-mingw-w64-x86-64-posix unzip wine wine64 xvfb xauth
      lintian desktop-file-utils groff-base man-db systemd bsdutils xfsprogs
      "${media[@]}")
# --all: clang with libFuzzer's runtime for the fuzz targets, and llvm for
# readable sanitizer stack traces.
test_all=("${test[@]}" clang libclang-rt-14-dev llvm)

case "${1:-build}" in
  build) packages=("${build[@]}") ;;
  package) packages=("${package[@]}") ;;
  windows-package) packages=("${windows[@]}") ;;
  test) packages=("${test[@]}") ;;
  test-all) packages=("${test_all[@]}") ;;
  media) packages=("${media[@]}") ;;
  *) echo "usage: install-deps.sh [build|package|windows-package|test|test-all|media]" >&2; exit 2 ;;
esac

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
