#!/usr/bin/env bash
# Backup media benchmark: veldar2 against rsync and cp on the media that are
# reached over a network, where every call costs a round trip: an SSH server
# through sshfs and an SMB share through smbnetfs, both served on the loopback
# interface and set up as the media suite sets them up (tests/media/media.sh);
# and, as the yardstick, a folder of the work directory's own file system
# (ext4 here), with no driver between.
# On a tree of 2,000 small files (0.5-4 KB in 200 directories), on each medium:
#   - a first copy: veldar2 -M1 (a mirror) and -M3 (a new generation) next to
#     cp -a followed by sync -f, each into a fresh folder (median of REPS
#     rounds, the three side by side in each);
#   - a run with nothing changed: veldar2 -M3 over three generations of the
#     unchanged tree (by default and with -LINK), and veldar2 -M1 over its
#     mirror, next to rsync -a over its earlier copy (with --modify-window=1
#     where the medium keeps times to the second; the median of five runs
#     after one unmeasured).
# Then a summary: each target (nothing changed <= 0.5 x rsync, first copy
# <= 1.2 x cp), the measured ratio, met or not. A run that fails is shown
# with its first message and counts as no figure.
#
#   bench/media_bench.sh [work-dir]     (default /tmp/veldar2-media-bench)
# Needs root and /dev/fuse; scripts/install-deps.sh media installs the rest.
# FILES=n changes the tree's size, REPS=n the rounds of the first copy,
# MEDIA="local sshfs smb" (the default) which media are measured: smbnetfs
# copies about 50 files a second here, so a larger tree there takes long.
set -euo pipefail
work=$(realpath -m "${1:-/tmp/veldar2-media-bench}")
cd "$(dirname "$0")/.."
root=$(pwd)
files=${FILES:-2000}
reps=${REPS:-3}
[ "$(id -u)" -eq 0 ] || { echo "media_bench.sh mounts file systems and starts servers: run it as root" >&2; exit 2; }
[ -c /dev/fuse ] || { echo "media_bench.sh: no /dev/fuse here" >&2; exit 2; }

scripts/install-deps.sh media
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target veldar2 >/dev/null
bin="$root/build/veldar2"
. tests/media/media.sh

cleanup() {
  media_cleanup
  rm -rf --one-file-system "$work" 2>/dev/null || true
}
rm -rf --one-file-system "$work" 2>/dev/null || true
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir -p "$work"
export XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" LANGUAGE=en

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
echo "machine: $(nproc) cores; load average at start: $load_start; $files files"

python3 - "$work/tree/docs" "$files" <<'PY'
import os, sys
root, files = sys.argv[1], int(sys.argv[2])
for i in range(files):
    d = os.path.join(root, "d%02d" % (i % 20), "s%02d" % (i // 20 % 10))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%06d.txt" % i), "wb") as f:
        f.write(os.urandom(512 + (i * 37) % 3584))
PY
src=$work/tree/docs

declare -A secs
now() { local t=$EPOCHREALTIME; echo "${t/[!0-9]/.}"; }
# measure NAME COMMAND...: runs the command, prints and records its seconds;
# a failed command is shown with its first message and records nothing.
measure() {
  local name=$1 rc=0 t0 t1
  shift
  t0=$(now)
  "$@" >/dev/null 2>"$work/err.txt" || rc=$?
  t1=$(now)
  unset "secs[$name]"
  if [ "$rc" -eq 0 ]; then
    secs[$name]=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    printf "  %-34s %8.3f s\n" "$name" "${secs[$name]}"
  else
    printf "  %-34s FAILED (exit %d): %s\n" "$name" "$rc" "$(head -n1 "$work/err.txt")"
  fi
}
# median NAME ROUNDS: records and prints the median of NAME#1..NAME#ROUNDS
# (FAILED, with the last run's first message, where none succeeded).
median() {
  local v
  v=$(for i in $(seq "$2"); do echo "${secs[$1#$i]:-}"; done | { grep . || true; } | sort -n |
    awk '{ a[NR] = $1 } END { if (NR) print a[int((NR + 1) / 2)] }')
  if [ -n "$v" ]; then
    secs[$1]=$v
    printf "  %-34s %8s s (median)\n" "$1" "$v"
  else
    unset "secs[$1]"
    printf "  %-34s FAILED: %s\n" "$1" "$(head -n1 "$work/err.txt")"
  fi
}
# measure_warm NAME COMMAND...: once unmeasured, then the median of five.
measure_warm() {
  local name=$1 i
  shift
  "$@" >/dev/null 2>&1 || true
  for i in 1 2 3 4 5; do measure "$name#$i" "$@" >/dev/null; done
  median "$name" 5
}
ratio() {
  awk -v a="${secs[$1]:-}" -v b="${secs[$2]:-}" \
    'BEGIN { if (a != "" && b + 0 > 0) printf "%.2f", a / b; else print "n/a" }'
}
summary=()
target() {  # DESCRIPTION VALUE LIMIT
  local verdict
  verdict=$(awk -v x="$2" -v l="$3" \
    'BEGIN { if (x == "n/a" || x == "") print "n/a"; else print (x + 0 <= l + 0) ? "met" : "NOT met" }')
  summary+=("$(printf '%-70s %8s  %s' "$1" "$2" "$verdict")")
}

bench_medium() {  # MEDIUM
  local m=$1 why window=() rep i
  why=$("${m}_missing")
  if [ -n "$why" ]; then echo "== $m: skipped: $why"; return; fi
  medium_up "$m" "$work/$m" >"$work/$m.setup.txt" 2>&1 ||
    { echo "== $m: skipped: the medium could not be set up: $(tail -n1 "$work/$m.setup.txt")"; return; }
  # rsync compares times to the nanosecond: a medium that keeps whole
  # seconds needs a window, or every file differs.
  : >"$mnt/probe"
  touch -d @1700000001.5 "$mnt/probe"
  [ "$(stat -c %.9Y "$mnt/probe")" = 1700000001.500000000 ] || window=(--modify-window=1)
  rm -f "$mnt/probe"
  echo "== $m (rsync ${window[*]:-without a window}) =="

  echo " first copy (${reps} rounds, the three side by side in each):"
  for rep in $(seq "$reps"); do
    measure "$m/cp-a+sync-f#$rep" sh -c 'cp -a "$1" "$2" && sync -f "$2"' sh "$src" "$mnt/cp"
    rm -rf "$mnt/cp"
    mkdir -p "$mnt/v1"
    measure "$m/veldar2-M1#$rep" "$bin" -M1 -NOMSG "$src" "$mnt/v1"
    rm -rf "$mnt/v1"
    mkdir -p "$mnt/v3"
    measure "$m/veldar2-M3-first#$rep" "$bin" -M3 -NOMSG "$src" "$mnt/v3"
    rm -rf "$mnt/v3"
  done
  for i in cp-a+sync-f veldar2-M1 veldar2-M3-first; do median "$m/$i" "$reps"; done
  echo "  ratios: veldar2 -M1/(cp -a + sync -f) $(ratio "$m/veldar2-M1" "$m/cp-a+sync-f")," \
       "veldar2 -M3/(cp -a + sync -f) $(ratio "$m/veldar2-M3-first" "$m/cp-a+sync-f")"
  target "$m first copy: veldar2 -M1 / (cp -a + sync -f) (<= 1.2)" "$(ratio "$m/veldar2-M1" "$m/cp-a+sync-f")" 1.2
  target "$m first copy: veldar2 -M3 / (cp -a + sync -f) (<= 1.2)" \
    "$(ratio "$m/veldar2-M3-first" "$m/cp-a+sync-f")" 1.2

  echo " nothing changed (median of 5 after one unmeasured):"
  mkdir -p "$mnt/r" "$mnt/m1" "$mnt/g3" "$mnt/g3link"
  rsync -a "${window[@]}" "$src/" "$mnt/r/"
  for i in 1 2 3; do
    "$bin" -M3 -NOMSG "$src" "$mnt/g3" >/dev/null 2>&1 || true
    "$bin" -M3 -NOMSG -LINK "$src" "$mnt/g3link" >/dev/null 2>&1 || true
  done
  "$bin" -M1 -NOMSG "$src" "$mnt/m1" >/dev/null 2>&1 || true
  measure_warm "$m/rsync-a" rsync -a "${window[@]}" "$src/" "$mnt/r/"
  measure_warm "$m/veldar2-M1" "$bin" -M1 -NOMSG "$src" "$mnt/m1"
  measure_warm "$m/veldar2-M3" "$bin" -M3 -NOMSG "$src" "$mnt/g3"
  measure_warm "$m/veldar2-M3-LINK" "$bin" -M3 -NOMSG -LINK "$src" "$mnt/g3link"
  echo "  ratios to rsync -a: veldar2 -M1 $(ratio "$m/veldar2-M1" "$m/rsync-a")," \
       "veldar2 -M3 $(ratio "$m/veldar2-M3" "$m/rsync-a"), veldar2 -M3 -LINK $(ratio "$m/veldar2-M3-LINK" "$m/rsync-a")"
  target "$m nothing changed: veldar2 -M3 / rsync -a (<= 0.5)" "$(ratio "$m/veldar2-M3" "$m/rsync-a")" 0.5
  target "$m nothing changed: veldar2 -M3 -LINK / rsync -a (<= 0.5)" "$(ratio "$m/veldar2-M3-LINK" "$m/rsync-a")" 0.5
  target "$m nothing changed: veldar2 -M1 / rsync -a (<= 0.5)" "$(ratio "$m/veldar2-M1" "$m/rsync-a")" 0.5
  rm -rf "$mnt/r" "$mnt/m1" "$mnt/g3" "$mnt/g3link"
  medium_unmount
  media_cleanup
}

echo "work directory on: $(df -T "$work" | awk 'NR == 2 { print $2 }')"
for m in ${MEDIA:-local sshfs smb}; do bench_medium "$m"; done

echo "== summary =="
printf '%-70s %8s  %s\n' "figure (target)" "measured" "verdict"
printf '%s\n' "${summary[@]}"
echo "load average at start: $load_start, at end: $(cut -d' ' -f1-3 /proc/loadavg)"
