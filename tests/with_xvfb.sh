#!/usr/bin/env bash
# Runs a command with an X display of its own, for Windows programs that open
# windows under Wine (cmake/wine-run.sh passes $VELDAR2_WINE_DISPLAY on):
#
#   with_xvfb.sh COMMAND [ARGUMENT...]
#
# Xvfb picks a free display and names it once it is ready. Wine runs in a
# prefix of its own for programs with a display, <build>/wineprefix-display
# ($VELDAR2_WINE_PREFIX_NAME): a Wine server remembers that its desktop was
# first made without a display and refuses windows from then on, so the
# prefix of the tests without one is never used with one. Its server is ended
# with the display ($VELDAR2_WINE_BUILD_DIR names the build directory), and
# ctest runs one user of that prefix at a time (RESOURCE_LOCK). The command gets
# $VELDAR2_TEST_TIMEOUT seconds (default 500) and is then ended; the server
# is ended with it, however the script ends. The exit status is the
# command's (124 when it ran out of time; 125 when there was no display).
set -u

if [ $# -lt 1 ]; then
  echo "usage: with_xvfb.sh COMMAND [ARGUMENT...]" >&2
  exit 125
fi
if ! command -v Xvfb >/dev/null; then
  echo "with_xvfb.sh: no Xvfb: Wine has no windows without an X display" >&2
  exit 125
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/with-xvfb.XXXXXX") || exit 125
xvfb_pid=""
export VELDAR2_WINE_PREFIX_NAME=${VELDAR2_WINE_PREFIX_NAME:-wineprefix-display}
cleanup() {
  if [ -n "${VELDAR2_WINE_BUILD_DIR:-}" ] && [ -d "$VELDAR2_WINE_BUILD_DIR/$VELDAR2_WINE_PREFIX_NAME" ]; then
    WINEPREFIX="$VELDAR2_WINE_BUILD_DIR/$VELDAR2_WINE_PREFIX_NAME" wineserver -k </dev/null >/dev/null 2>&1
  fi
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$scratch/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 100); do
  [ -s "$scratch/display" ] && break
  sleep 0.1
done
display=$(head -n 1 "$scratch/display")
if [ -z "$display" ]; then
  echo "with_xvfb.sh: Xvfb did not start" >&2
  exit 125
fi
export VELDAR2_WINE_DISPLAY=:$display
timeout --kill-after=10 "${VELDAR2_TEST_TIMEOUT:-500}" "$@"
