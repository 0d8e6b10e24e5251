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
#   - a run with nothing changed, each next to what another tool does to end
#     up with the same on the medium (the median of five runs after one
#     unmeasured, the two side by side in each round): veldar2 -M1 over its
#     mirror and veldar2 -M3 -LINK over three generations (which share the
#     unchanged files) next to rsync -a over its earlier copy; veldar2 -M3
#     (a whole new generation every run, copied where it cannot be shared)
#     next to cp -al of the last copy followed by rsync -a into it (cp -a
#     where the medium has no hard links), since rsync updating in place
#     makes no new generation. rsync gets --modify-window=1 where the medium
#     keeps times to the second.
# Then a summary: each target (nothing changed <= 0.5 x rsync, first copy
# <= 1.2 x cp), the measured ratio, met or not. A run that fails is shown
# with its first message and counts as no figure.
#
#   bench/media_bench.sh [work-dir]     (default /tmp/veldar2-media-bench)
# Needs root and /dev/fuse; scripts/install-deps.sh media installs the rest.
# FILES=n changes the tree's size, REPS=n the rounds of the first copy
# (FIRST_COPY=0 leaves the first copies out),
# VELDAR2=PROGRAM measures that program as it is (nothing built or installed),
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

if [ -n "${VELDAR2:-}" ]; then
  bin=$(realpath "$VELDAR2")
else
  scripts/install-deps.sh media
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j2 --target veldar2 >/dev/null
  bin="$root/build/veldar2"
fi
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
# measure_pair NAME1 COMMAND1 NAME2 COMMAND2: each once unmeasured, then the
# two one after the other in each of five rounds (a shared machine's load
# falls on both alike), and the median of each. Each COMMAND is one word (a
# function) run with no arguments.
measure_pair() {
  local i
  "$2" >/dev/null 2>&1 || true
  "$4" >/dev/null 2>&1 || true
  for i in 1 2 3 4 5; do
    measure "$1#$i" "$2" >/dev/null
    measure "$3#$i" "$4" >/dev/null
  done
  median "$1" 5
  median "$3" 5
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

  [ "${FIRST_COPY:-1}" = 0 ] || first_copy "$m"
  nothing_changed "$m"
  medium_unmount
  media_cleanup
}

first_copy() {  # MEDIUM
  local m=$1 rep i
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
}

nothing_changed() {  # MEDIUM
  local m=$1 i

  echo " nothing changed (median of 5 after one unmeasured, side by side):"
  mkdir -p "$mnt/r" "$mnt/m1" "$mnt/g3" "$mnt/g3link"
  rsync -a "${window[@]}" "$src/" "$mnt/r/"
  for i in 1 2 3; do
    "$bin" -M3 -NOMSG "$src" "$mnt/g3" >/dev/null 2>&1 || true
    "$bin" -M3 -NOMSG -LINK "$src" "$mnt/g3link" >/dev/null 2>&1 || true
  done
  "$bin" -M1 -NOMSG "$src" "$mnt/m1" >/dev/null 2>&1 || true
  # The other tools' generation: the last one copied (linked where the
  # medium has hard links), then brought up to date; the one before goes, as
  # a count of 3 recycles it.
  local snap=(cp -al)
  : >"$mnt/probe" && ln "$mnt/probe" "$mnt/probe2" 2>/dev/null || snap=(cp -a)
  rm -f "$mnt/probe" "$mnt/probe2"
  rsync_a() { rsync -a "${window[@]}" "$src/" "$mnt/r/"; }
  new_generation() {
    rm -rf "$mnt/r.old" && "${snap[@]}" "$mnt/r" "$mnt/r.new" && rsync -a "${window[@]}" "$src/" "$mnt/r.new/" &&
      mv "$mnt/r" "$mnt/r.old" && mv "$mnt/r.new" "$mnt/r"
  }
  v_m1() { "$bin" -M1 -NOMSG "$src" "$mnt/m1"; }
  v_m3() { "$bin" -M3 -NOMSG "$src" "$mnt/g3"; }
  v_m3_link() { "$bin" -M3 -NOMSG -LINK "$src" "$mnt/g3link"; }
  measure_pair "$m/rsync-a" rsync_a "$m/veldar2-M1" v_m1
  measure_pair "$m/rsync-a(2)" rsync_a "$m/veldar2-M3-LINK" v_m3_link
  measure_pair "$m/${snap[*]}+rsync-a" new_generation "$m/veldar2-M3" v_m3
  echo "  ratios: veldar2 -M1 / rsync -a $(ratio "$m/veldar2-M1" "$m/rsync-a")," \
       "veldar2 -M3 -LINK / rsync -a $(ratio "$m/veldar2-M3-LINK" "$m/rsync-a(2)")," \
       "veldar2 -M3 / (${snap[*]} + rsync -a) $(ratio "$m/veldar2-M3" "$m/${snap[*]}+rsync-a")"
  target "$m nothing changed: veldar2 -M1 / rsync -a (<= 0.5)" "$(ratio "$m/veldar2-M1" "$m/rsync-a")" 0.5
  target "$m nothing changed: veldar2 -M3 -LINK / rsync -a (<= 0.5)" \
    "$(ratio "$m/veldar2-M3-LINK" "$m/rsync-a(2)")" 0.5
  target "$m nothing changed: veldar2 -M3 / (${snap[*]} + rsync -a) (<= 0.5)" \
    "$(ratio "$m/veldar2-M3" "$m/${snap[*]}+rsync-a")" 0.5
  rm -rf "$mnt/r" "$mnt/r.old" "$mnt/r.new" "$mnt/m1" "$mnt/g3" "$mnt/g3link"
}

echo "work directory on: $(df -T "$work" | awk 'NR == 2 { print $2 }')"
for m in ${MEDIA:-local sshfs smb}; do bench_medium "$m"; done

echo "== summary =="
printf '%-70s %8s  %s\n' "figure (target)" "measured" "verdict"
printf '%s\n' "${summary[@]}"
echo "load average at start: $load_start, at end: $(cut -d' ' -f1-3 /proc/loadavg)"
