#!/usr/bin/env bash
# Cold start: a run that finds nothing to do, with the page cache dropped
# before each one, so that reading the program and its libraries from disk
# counts as it does for a nightly job. Side by side, on a small tree
# (200 files in 20 directories) already mirrored:
#   veldar2 -M1 SRC DST       the command-line program (no Qt)
#   veldar2-gui -M1 SRC DST   the dialog program run as a batch job, which
#                             loads Qt as every run did before the split
#   rsync -a --delete SRC/ DST2/
# REPS rounds (default 15), the three one after the other in each; prints
# each one's median and fastest seconds, the median ratios to rsync, and the
# target: veldar2's median no more than rsync's. The page cache is
# dropped only by root; otherwise the figures are warm and the script says so.
#
#   bench/cold_start_bench.sh [work-dir]     (default /tmp/veldar2-cold-start)
set -euo pipefail
work=$(realpath -m "${1:-/tmp/veldar2-cold-start}")
cd "$(dirname "$0")/.."
reps=${REPS:-15}
sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"

command -v rsync >/dev/null || $sudo apt-get install -y -qq rsync >/dev/null
scripts/install-deps.sh
. scripts/build-settings.sh
configure_normal_build
cmake --build build -j2 --target veldar2 veldar2-gui >/dev/null
bin=$(pwd)/build

rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
# Private settings, log and runtime directories; no display, so that the
# dialog program's run shows no box.
export XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" XDG_RUNTIME_DIR="$work/run"
unset DISPLAY WAYLAND_DISPLAY
mkdir -m 700 "$work/run"
for d in $(seq -w 0 19); do
  mkdir -p "$work/src/d$d"
  for f in $(seq -w 0 9); do head -c $((512 + 10#$f * 300)) /dev/urandom >"$work/src/d$d/f$f.txt"; done
done
mkdir -p "$work/dst" "$work/dst-gui" "$work/dst-rsync"
"$bin/veldar2" -M1 "$work/src" "$work/dst"
"$bin/veldar2-gui" -M1 "$work/src" "$work/dst-gui"
rsync -a --delete "$work/src/" "$work/dst-rsync/"

cold=yes
drop() { sync; echo 3 >/proc/sys/vm/drop_caches 2>/dev/null || cold=no; }
declare -A times
now() { local t=$EPOCHREALTIME; echo "${t/[!0-9]/.}"; }
run() {  # NAME COMMAND...: one cold run, its seconds appended to times[NAME]
  local name=$1 t0 t1; shift
  drop
  t0=$(now)
  "$@" >/dev/null 2>"$work/err.txt" || { echo "$name failed: $(head -n1 "$work/err.txt")" >&2; exit 1; }
  t1=$(now)
  times[$name]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }') "
}
for _ in $(seq "$reps"); do
  run veldar2 "$bin/veldar2" -M1 "$work/src" "$work/dst"
  run veldar2-gui "$bin/veldar2-gui" -M1 "$work/src" "$work/dst-gui"
  run rsync rsync -a --delete "$work/src/" "$work/dst-rsync/"
done

median() { tr ' ' '\n' <<<"${times[$1]}" | grep . | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
fastest() { tr ' ' '\n' <<<"${times[$1]}" | grep . | sort -n | head -n1; }
echo "cold start, nothing changed, 200 files; $reps rounds; page cache dropped before each run: $cold"
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '  %-40s %8s %8s\n' "" median fastest
for name in veldar2 veldar2-gui rsync; do
  printf '  %-40s %8.3f %8.3f s\n' "$name" "$(median $name)" "$(fastest $name)"
done
ratio() { awk -v a="$(median "$1")" -v b="$(median rsync)" 'BEGIN { printf "%.2f", a / b }'; }
echo "  libraries veldar2 names:     $(readelf -d "$bin/veldar2" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
echo "  libraries veldar2-gui names: $(readelf -d "$bin/veldar2-gui" | grep -c NEEDED) (Qt among them)"
r=$(ratio veldar2)
echo "  veldar2 / rsync (median):     $r   (target <= 1.0: $(awk -v r="$r" 'BEGIN { print (r <= 1.0) ? "met" : "NOT met" }'))"
echo "  veldar2-gui / rsync (median): $(ratio veldar2-gui)   (the same run with Qt loaded, as before the split)"
