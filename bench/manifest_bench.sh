#!/usr/bin/env bash
# What the manifests cost: a first copy and a nothing-changed run of a tree,
# with this build (manifests) and with a build that keeps none (BASE), runs
# interleaved; and -VERIFY of a generation against cat of the same files to
# /dev/null (both from the page cache, after one warm-up read).
#
#   bench/manifest_bench.sh [VELDAR2] [BASE]
#
# Targets: the runs with manifests take at most 10% longer than without;
# -VERIFY reads at 80% or more of cat's speed. REPS (default 3) runs of
# each; FILES and SIZE_MB shape the tree. The machine may be shared: the
# load average is printed with the figures.
set -euo pipefail
veldar2=${1:-build/veldar2}
base=${2:-}
reps=${REPS:-3}
files=${FILES:-2000}
size_mb=${SIZE_MB:-400}
work=$(mktemp -d "${TMPDIR:-/tmp}/veldar2-manifest-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/src/docs"
per=$((size_mb * 1024 / files))
for i in $(seq 1 "$files"); do
  d="$work/src/docs/d$((i % 20))"
  mkdir -p "$d"
  head -c "$((per * 1024))" /dev/urandom >"$d/f$i"
done

seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null 2>&1 || true; end=$(date +%s.%N); echo "$end - $start" | bc; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

declare -A times
for rep in $(seq 1 "$reps"); do
  for build in without with; do
    program=$veldar2
    if [ "$build" = without ]; then
      [ -n "$base" ] || continue
      program=$base
    fi
    rm -rf "$work/bk" && mkdir "$work/bk"
    times[$build-first]+="$(seconds "$program" -M3 -NOMSG "$work/src/docs" "$work/bk") "
    times[$build-again]+="$(seconds "$program" -M3 -NOMSG -LINK "$work/src/docs" "$work/bk") "
  done
  # A generation read by -VERIFY and by cat, from the page cache.
  gen=$(ls -d "$work"/bk/docs_* | head -n 1)
  find "$gen" -type f -exec cat {} + >/dev/null
  times[cat]+="$(seconds sh -c "find '$gen' -type f -exec cat {} + >/dev/null") "
  times[verify]+="$(seconds "$veldar2" -VERIFY1 "$work/src/docs" "$work/bk") "
done

echo "load: $(cut -d' ' -f1-3 /proc/loadavg); $files files, $size_mb MB; $reps runs each (medians, seconds)"
for key in with-first without-first with-again without-again cat verify; do
  [ -n "${times[$key]:-}" ] || continue
  printf '%-14s %s\n' "$key" "$(tr ' ' '\n' <<<"${times[$key]}" | grep . | median)"
done
