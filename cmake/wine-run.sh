#!/usr/bin/env bash
# Runs one Windows program of a cross-built tree under Wine, the way ctest and
# gtest's test discovery need it:
#
#   wine-run.sh PROGRAM.exe [ARGUMENT...]
#   wine-run.sh reg query 'HKCU\Software\...'     (Wine's own programs too)
#
# - Wine runs in a private prefix, <build>/wineprefix (or <build>/NAME with
#   $VELDAR2_WINE_PREFIX_NAME; programs with an X display use one of their
#   own, see tests/with_xvfb.sh), where <build> is
#   $VELDAR2_WINE_BUILD_DIR, or else the nearest directory holding a
#   CMakeCache.txt above PROGRAM (above the working directory for Wine's own
#   programs). The prefix is made once (wineboot -i) under a lock, so tests
#   started in parallel wait for it instead of making it twice.
# - One wineserver per prefix is kept alive for 60 s after its last program,
#   so that a test does not pay for starting and stopping it.
# - The program's standard output and error go to files and are printed once
#   it has ended: Wine's helper processes (wineserver, services) inherit the
#   descriptors they are started with and would keep ctest's pipes open long
#   after the test is over.
# - The program's exit status (8 bits under Wine) is this script's.
# - No menu entries or file associations reach $HOME, no crash debugger holds
#   a crashed test (a crash then exits non-zero) and no browser is started.
#   Without $VELDAR2_WINE_DISPLAY there is no X display: window calls fail.
# - The prefix draws Japanese text: "MS UI Gothic" is mapped to Noto Sans
#   CJK JP (fonts-noto-cjk), which also serves "MS Shell Dlg" and captions.
#   Windows get their caption and frame from Wine itself, with no window
#   manager under Xvfb, and a crash shows no dialog that would hold a test.
set -u

if [ $# -lt 1 ]; then
  echo "usage: wine-run.sh PROGRAM.exe [ARGUMENT...]" >&2
  exit 125
fi
program=$1
shift
start=$PWD
if [ -f "$program" ]; then
  program=$(realpath -- "$program") || exit 125
  start=$(dirname -- "$program")
fi

build=${VELDAR2_WINE_BUILD_DIR:-}
if [ -z "$build" ]; then
  dir=$start
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname -- "$dir"); done
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    echo "wine-run.sh: no build directory (CMakeCache.txt) above $start" >&2
    exit 125
  fi
  build=$dir
fi

prefix_name=${VELDAR2_WINE_PREFIX_NAME:-wineprefix}
export WINEPREFIX="$build/$prefix_name"
export WINEDLLOVERRIDES="winemenubuilder.exe=d;winedbg.exe=d;winebrowser.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
export WINEDEBUG=${WINEDEBUG:--all}
# Non-ASCII file names are found again only under a UTF-8 locale. Wine takes
# the user's interface language from it too: VELDAR2_WINE_LANG=ja_JP.UTF-8
# makes it Japanese (the C locale's is English).
export LANG=${VELDAR2_WINE_LANG:-C.UTF-8} LC_ALL=${VELDAR2_WINE_LANG:-C.UTF-8}
unset WAYLAND_DISPLAY
if [ -n "${VELDAR2_WINE_DISPLAY:-}" ]; then export DISPLAY=$VELDAR2_WINE_DISPLAY; else unset DISPLAY; fi

# A server that outlives this program by 60 s; when one is running already
# this one exits at once. Its descriptors lead nowhere.
start_server() { wineserver -p60 </dev/null >/dev/null 2>&1; }

mkdir -p "$WINEPREFIX"
exec 9>"$build/$prefix_name.lock"
flock 9
if [ ! -f "$WINEPREFIX/.veldar2-ready" ]; then
  # A prefix without its mark was interrupted while being made: start again.
  wineserver -k </dev/null >/dev/null 2>&1
  rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX"
  start_server
  if ! wineboot -i </dev/null >"$build/$prefix_name.log" 2>&1; then
    echo "wine-run.sh: wineboot -i failed for $WINEPREFIX (see $build/$prefix_name.log)" >&2
    exit 125
  fi
  touch "$WINEPREFIX/.veldar2-ready"
fi
# Settings added to the prefix after it was first made are applied to older
# prefixes too: each set has a mark of its own.
if [ ! -f "$WINEPREFIX/.veldar2-settings-1" ]; then
  settings=$(mktemp --suffix=.reg "${TMPDIR:-/tmp}/wine-settings.XXXXXX") || exit 125
  cat >"$settings" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"MS UI Gothic"="Noto Sans CJK JP"

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Decorated"="N"
"Managed"="N"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
REG
  start_server
  if ! wine regedit /S "$(winepath -w "$settings" 2>/dev/null)" </dev/null >>"$build/$prefix_name.log" 2>&1; then
    rm -f "$settings"
    echo "wine-run.sh: the prefix's settings could not be imported (see $build/$prefix_name.log)" >&2
    exit 125
  fi
  rm -f "$settings"
  touch "$WINEPREFIX/.veldar2-settings-1"
fi
# Under the lock too: two tests starting at once must not race to start the
# server.
start_server
flock -u 9
exec 9>&-

out=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 125
trap 'rm -rf "$out"' EXIT
wine "$program" "$@" >"$out/stdout" 2>"$out/stderr"
status=$?
cat "$out/stdout"
cat "$out/stderr" >&2
exit "$status"
