#!/usr/bin/env bash
# Mirror and rotation benchmark: veldar2 side by side with rsync and cp on trees
# this script builds itself:
#   tree:  20,000 small files (0.5-4 KB) in 200 directories plus three files of 100 MB
#   flat:  one directory of 100,000 small files
# For each: mirroring with -M1 next to rsync -a --delete, rsync -a --delete --fsync
# and cp -a: a first full copy, a second run with nothing changed (and its dry
# run, -DRYRUN), and a run after 1% of the files changed. For the tree also:
#   - a first full copy flushed to disk: veldar2 -M1, and veldar2 -M3 making a
#     new generation directory, next to cp -a followed by sync -f;
#   - a count-3 rotation after 1% changed: one veldar2 -M3 run over three
#     generations (by default, and with -LINK) next to rsync --link-dest and
#     cp -al + rsync, with the seconds and the disk space each one added;
#     on XFS also next to a rotation by hand (cp --reflink=always + rsync -a
#     --delete + rm -rf of the oldest copy + sync -f);
#   - both again on XFS in a loop-mounted image file, where the machine allows
#     it, with cp --reflink=always + rsync as well.
# Then veldar2's peak memory on a first copy as the tree grows, and a summary:
# each target, the measured ratio, met or not, and the machine's state.
# Prints seconds and peak memory (max RSS) per tool. The page cache is flushed
# and dropped (where permitted) before every measurement.
#
#   bench/mirror_bench.sh [work-dir]     (default /tmp/veldar2-bench; needs ~3 GB)
# Set SMALL=1 for a quick run on a tenth of the sizes; TREE_FILES=n for a tree
# of n small files (200000: the large form); UNCHANGED_ONLY=1 to measure only
# the nothing-changed run with warm caches on the tree (side by side in each
# of five rounds), then stop. VELDAR2=PROGRAM measures that program as it is. The XFS part and the
# dropping of the page cache need root (or sudo for the XFS part).
set -euo pipefail
work=$(realpath -m "${1:-/tmp/veldar2-bench}")
cd "$(dirname "$0")/.."
root=$(pwd)
scale=1
[ "${SMALL:-0}" = 1 ] && scale=10
reps=${REPS:-3}  # rounds of the first full copy
sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"

command -v rsync >/dev/null && [ -x /usr/bin/time ] || {
  $sudo apt-get install -y -qq rsync time >/dev/null
}
if [ -n "${VELDAR2:-}" ]; then
  bin=$(realpath "$VELDAR2")  # measured as it is: nothing built or installed
else
  scripts/install-deps.sh
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j2 --target veldar2 >/dev/null
  bin="$root/build/veldar2"
fi

# Unmounts whatever is mounted under the work dir (the XFS image), then removes
# the work dir with the image. Runs at the start, for what a killed run left,
# and at the exit, also after a failure or an interruption.
cleanup() {
  local m
  if [ -d "$work" ]; then
    while read -r m; do
      $sudo umount "$m" 2>/dev/null || $sudo umount -l "$m" 2>/dev/null || true
    done < <(findmnt -rn -o TARGET | awk -v w="$work/" 'index($0 "/", w) == 1' | sort -r)
    rm -rf --one-file-system "$work" 2>/dev/null || $sudo rm -rf --one-file-system "$work" || true
  fi
}
cleanup
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir -p "$work"
export XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state"

fstype() { df --output=fstype "$1" | tail -n1; }
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
machine="$(nproc) cores; work dir $work on $(fstype "$work") (stat -f: $(stat -f -c %T "$work"))"
echo "machine: $machine; load average at start: $load_start"

make_tree() {  # dir files bigfiles
  python3 - "$1" "$2" "$3" <<'PY'
import os, sys
root, files, big = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
os.makedirs(root, exist_ok=True)
for i in range(files):
    d = os.path.join(root, "d%02d" % (i % 20), "s%02d" % (i // 20 % 10))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%06d.txt" % i), "wb") as f:
        f.write(os.urandom(512 + (i * 37) % 3584))
chunk = os.urandom(1 << 20)
for b in range(big):
    with open(os.path.join(root, "big%d.bin" % b), "wb") as f:
        for _ in range(100):
            f.write(chunk)
PY
}
make_flat() {  # dir files
  python3 - "$1" "$2" <<'PY'
import os, sys
root, files = sys.argv[1], int(sys.argv[2])
os.makedirs(root, exist_ok=True)
for i in range(files):
    with open(os.path.join(root, "entry%06d" % i), "wb") as f:
        f.write(b"x" * (i % 200))
PY
}
# Changes every 100th small file; prints "files bytes rounded": how many, the sum
# of their sizes after the change, and that sum with each size rounded up to
# whole blocks of the file system (the least a copy of them can take).
change_one_percent() {  # dir
  python3 - "$1" <<'PY'
import os, sys, time
root = sys.argv[1]
paths = []
for d, _, names in os.walk(root):
    paths += [os.path.join(d, n) for n in names if not n.startswith("big")]
paths.sort()
later = time.time() + 5
block = os.statvfs(root).f_bsize
size = rounded = 0
for p in paths[::100]:
    with open(p, "ab") as f:
        f.write(b"changed")
    os.utime(p, (later, later))
    st = os.stat(p)
    size += st.st_size
    rounded += -(-st.st_size // block) * block
print(len(paths[::100]), size, rounded)
PY
}
dir_size() {  # dir: prints "directories bytes", the directories' own disk space
  find "$1" -type d -printf '%b\n' | awk '{ n++; b += $1 } END { print n, b * 512 }'
}
can_clone() {  # dir: whether files there can be reflink-cloned
  local p="$1/.clone-probe"
  head -c 65536 /dev/urandom >"$p"
  if cp --reflink=always "$p" "$p.2" 2>/dev/null; then rm -f "$p" "$p.2"; return 0; fi
  rm -f "$p" "$p.2"; return 1
}
flush() {
  sync
  [ "${warm:-0}" = 1 ] || { echo 3 >/proc/sys/vm/drop_caches; } 2>/dev/null || true
}
# measure_warm NAME COMMAND...: the command once unmeasured, then measured
# five times with the caches it filled (a run that finds nothing to do is then
# about the work itself, not about reading the program and its libraries from
# disk); records the median, since a tenth of a second drifts by a tenth.
measure_warm() {
  local name=$1 i times=(); shift
  "$@" >/dev/null 2>&1 || true
  for i in 1 2 3 4 5; do
    warm=1 measure "$name#$i" "$@" >/dev/null
    [ -n "${secs[$name#$i]:-}" ] && times+=("${secs[$name#$i]}")
  done
  [ "${#times[@]}" -gt 0 ] || { printf "  %-36s FAILED\n" "$name"; return 0; }
  secs[$name]=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
  mem[$name]=${mem[$name#1]:-0}
  printf "  %-36s %8.3f s %9d KB (median of %d)\n" "$name" "${secs[$name]}" "${mem[$name]}" "${#times[@]}"
}

# measure NAME COMMAND...: flushes, runs the command, prints and records seconds
# and max RSS. A failed command is reported and records nothing; so is veldar2
# refusing -LINK (exit status 2, the option named on stderr) as not supported.
declare -A secs mem
now() { local t=$EPOCHREALTIME; echo "${t/[!0-9]/.}"; }
measure() {
  local name=$1 rc=0 t0 t1; shift
  flush
  t0=$(now)
  /usr/bin/time -o "$work/time.txt" -f "%M" "$@" >/dev/null 2>"$work/err.txt" || rc=$?
  t1=$(now)
  sync
  unset "secs[$name]" "mem[$name]"
  if [ "$rc" -eq 0 ]; then
    secs[$name]=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    mem[$name]=$(tail -n1 "$work/time.txt")
    printf "  %-36s %8.3f s %9d KB\n" "$name" "${secs[$name]}" "${mem[$name]}"
  elif [ "$rc" -eq 2 ] && grep -qi -- '-link' "$work/err.txt"; then
    printf "  %-36s n/a (option not supported by this build)\n" "$name"
  else
    printf "  %-36s FAILED (exit %d): %s\n" "$name" "$rc" "$(head -n1 "$work/err.txt")"
  fi
}
div() { awk -v a="$1" -v b="$2" 'BEGIN { if (a != "" && b + 0 > 0) printf "%.2f", a / b; else print "n/a" }'; }
ratio() { div "${secs[$1]:-}" "${secs[$2]:-}"; }  # NAME NAME: seconds over seconds

# The summary: one line per figure, with its target met or not.
summary=()
target() {  # description value limit
  local verdict
  verdict=$(awk -v x="$2" -v l="$3" \
    'BEGIN { if (x == "n/a" || x == "") print "n/a"; else print (x + 0 <= l + 0) ? "met" : "NOT met" }')
  summary+=("$(printf '%-76s %8s  %s' "$1" "$2" "$verdict")")
}
info() { summary+=("$(printf '%-76s %8s  %s' "$1" "$2" "${3:-(no target)}")"); }

# Does this build know -LINK? Probed once on a tiny tree, so that an old build
# is not made to copy three generations for nothing.
mkdir -p "$work/probe/p" "$work/probe/bk"; echo x >"$work/probe/p/f"
link_ok=1
if ! "$bin" -M3 -LINK "$work/probe/p" "$work/probe/bk" >/dev/null 2>"$work/err.txt" &&
   grep -qi -- '-link' "$work/err.txt"; then
  link_ok=0
fi
rm -rf "$work/probe"

run_case() {  # label source tag
  local label=$1 src=$2 tag=$3 changed
  echo "== $label =="
  for phase in first unchanged changed; do
    if [ "$phase" = changed ]; then
      read -r changed _ < <(change_one_percent "$src")
      echo " changed: $changed files"
    else
      echo " $phase:"
    fi
    mkdir -p "$work/v" "$work/r" "$work/rf"
    measure "veldar2/$phase" "$bin" -M1 "$src" "$work/v"
    measure "rsync/$phase" rsync -a --delete "$src/" "$work/r/"
    measure "rsync-fsync/$phase" rsync -a --delete --fsync "$src/" "$work/rf/"
    if [ "$phase" = unchanged ]; then
      measure_warm "veldar2/unchanged-warm" "$bin" -M1 "$src" "$work/v"
      measure_warm "rsync/unchanged-warm" rsync -a --delete "$src/" "$work/r/"
      # A dry run reads what the run reads and prints what it would do.
      measure "veldar2/dryrun" "$bin" -DRYRUN -M1 "$src" "$work/v"
      measure_warm "veldar2/dryrun-warm" "$bin" -DRYRUN -M1 "$src" "$work/v"
    fi
    rm -rf "$work/c"
    [ "$phase" = first ] && measure "cp-a/$phase" cp -a "$src" "$work/c"
    rm -rf "$work/c"
    echo "  ratios: veldar2/rsync-fsync $(ratio "veldar2/$phase" "rsync-fsync/$phase")," \
         "veldar2/rsync $(ratio "veldar2/$phase" "rsync/$phase")"
  done
  target "$tag, nothing changed, warm caches: veldar2 -M1 / rsync -a (<= 0.5)" \
    "$(ratio veldar2/unchanged-warm rsync/unchanged-warm)" 0.5
  target "$tag, dry run / nothing-changed run, warm: veldar2 -DRYRUN -M1 / -M1 (<= 1)" \
    "$(ratio veldar2/dryrun-warm veldar2/unchanged-warm)" 1.0
  info "$tag, dry run / nothing-changed run, caches dropped" "$(ratio veldar2/dryrun veldar2/unchanged)"
  info "$tag, nothing changed, caches dropped: veldar2 -M1 / rsync -a" \
    "$(ratio veldar2/unchanged rsync/unchanged)" "(no target here: reading the program from disk; bench/cold_start_bench.sh)"
  diff -r "$src" "$work/v" >/dev/null && echo " check: veldar2's copy equals the source" \
    || echo " CHECK FAILED: veldar2's copy differs from the source"
  rm -rf "$work/v" "$work/r" "$work/rf" "$work/state"
}

# first_copy TAG BASE SRC: a first full copy, flushed, into a fresh directory
first_copy() {
  local tag=$1 base=$2 src=$3
  echo " first full copy, flushed to disk (${reps} rounds, the three side by side in each; median):"
  # The disk's speed drifts from one minute to the next: each round runs the
  # three one after the other, and each keeps the median of its rounds.
  local rep name
  for rep in $(seq "$reps"); do
    mkdir -p "$base/c1"
    measure "$tag/cp-a+sync-f#$rep" sh -c 'cp -a "$1" "$2" && sync -f "$2"' sh "$src" "$base/c1/copy"
    rm -rf "$base/c1"
    mkdir -p "$base/v1"
    measure "$tag/veldar2-M1#$rep" "$bin" -M1 "$src" "$base/v1"
    rm -rf "$base/v1"
    mkdir -p "$base/v3"
    measure "$tag/veldar2-M3-first#$rep" "$bin" -M3 "$src" "$base/v3"
    rm -rf "$base/v3"
  done
  for name in cp-a+sync-f veldar2-M1 veldar2-M3-first; do
    secs[$tag/$name]=$(for rep in $(seq "$reps"); do echo "${secs[$tag/$name#$rep]:-}"; done |
      grep . | sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }')
    printf "  %-36s %8s s (median)\n" "$tag/$name" "${secs[$tag/$name]:-n/a}"
  done
  echo "  ratios: veldar2 -M1/(cp -a + sync -f) $(ratio "$tag/veldar2-M1" "$tag/cp-a+sync-f")," \
       "veldar2 -M3/(cp -a + sync -f) $(ratio "$tag/veldar2-M3-first" "$tag/cp-a+sync-f")"
  target "$tag first copy: veldar2 -M1 / (cp -a + sync -f) (<= 1.15)" \
    "$(ratio "$tag/veldar2-M1" "$tag/cp-a+sync-f")" 1.15
  target "$tag first copy: veldar2 -M3, new generation / (cp -a + sync -f) (<= 1.3)" \
    "$(ratio "$tag/veldar2-M3-first" "$tag/cp-a+sync-f")" 1.3
}

# restores TAG BASE SRC: -RESTORE1 into an empty directory, next to the first
# copy that made the generation and cp -a of the generation + sync -f; then
# -RESTORE1 over a restored tree where 1% of the files differ, next to a -M1
# mirror over a copy where the same 1% differ (a nothing-changed run plus the
# changed files). Each pair is measured side by side in every round.
restores() {
  local tag=$1 base=$2 src=$3 rep name gen
  echo " restores (${reps} rounds; median):"
  mkdir -p "$base/bk"
  "$bin" -M3 "$src" "$base/bk" >/dev/null 2>&1 || echo "  the generation could not be made"
  gen=$(find "$base/bk" -mindepth 1 -maxdepth 1 -type d | head -n1)
  for rep in $(seq "$reps"); do
    rm -rf "$base/res" "$base/c1" "$base/g3"; mkdir -p "$base/res" "$base/c1" "$base/g3"
    measure "$tag/veldar2-M3-first#$rep" "$bin" -M3 "$src" "$base/g3"
    measure "$tag/cp-a-gen+sync-f#$rep" sh -c 'cp -a "$1" "$2" && sync -f "$2"' sh "$gen" "$base/c1/copy"
    measure "$tag/restore-empty#$rep" "$bin" -RESTORE1 "$src" "$base/bk" "$base/res"
    change_one_percent "$base/res" >/dev/null
    measure "$tag/restore-1pc#$rep" "$bin" -RESTORE1 "$src" "$base/bk" "$base/res"
    rm -rf "$base/m"; mkdir -p "$base/m"
    "$bin" -M1 "$src" "$base/m" >/dev/null 2>&1
    change_one_percent "$base/m" >/dev/null
    measure "$tag/mirror-1pc#$rep" "$bin" -M1 "$src" "$base/m"
  done
  for name in veldar2-M3-first cp-a-gen+sync-f restore-empty restore-1pc mirror-1pc; do
    secs[$tag/$name]=$(for rep in $(seq "$reps"); do echo "${secs[$tag/$name#$rep]:-}"; done |
      grep . | sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }')
    printf "  %-36s %8s s (median)\n" "$tag/$name" "${secs[$tag/$name]:-n/a}"
  done
  diff -r "$gen" "$base/res/$(basename "$src")" >/dev/null && echo "  check: the restored tree equals the generation" \
    || echo "  CHECK FAILED: the restored tree differs from the generation"
  target "$tag restore into an empty directory / the first copy, -M3 (<= 1.2)" \
    "$(ratio "$tag/restore-empty" "$tag/veldar2-M3-first")" 1.2
  target "$tag restore into an empty directory / (cp -a + sync -f) (<= 1.3)" \
    "$(ratio "$tag/restore-empty" "$tag/cp-a-gen+sync-f")" 1.3
  target "$tag restore over 1% changed / -M1 mirror over 1% changed (<= 1.5)" \
    "$(ratio "$tag/restore-1pc" "$tag/mirror-1pc")" 1.5
  rm -rf "$base"
}

# Disk space a run added. The figure is the file system's own used-space count
# (df --output=used), read before and after the run once writeback and inode
# reclaim have settled: it is exact for hard links and for clones alike, on ext4
# and on XFS. du is not: one du invocation counts a hard-linked inode once, but
# it adds up each inode's blocks, so a reflink clone counts in full although its
# extents are shared. df's weakness is other writers on the same file system
# during the run: the XFS image has none; the work dir's file system may (a
# compiler), so du's figure for the new copy (counting only what the older
# copies, listed first in the same du invocation, do not hold) is printed
# beside it as a cross-check: where nothing is cloned, the two agree on a quiet
# machine.
used() {  # path
  local a b
  sync -f "$1"; b=$(df --output=used -B1 "$1" | tail -n1)
  for _ in $(seq 20); do
    a=$b; sleep 0.2
    sync -f "$1"; b=$(df --output=used -B1 "$1" | tail -n1)
    [ "$a" = "$b" ] && break
  done
  echo $((b))
}
declare -A added
space_row() {  # name df-bytes du-bytes
  added[$1]=$2
  printf "  %-36s %12d B added (df), %12s B (du, the new copy)\n" "$1" "$2" "$3"
}
space_ratio() {  # name [divisor]: (space added - the directories) / changed bytes
  [ -n "${added[$1]:-}" ] || { echo n/a; return; }
  div $((${added[$1]} - rot_dirs)) "${2:-$rot_changed}"
}

# rotation TAG BASE SRC REFLINK: count-3 rotation after 1% of SRC changed, in
# BASE; REFLINK=1 adds cp --reflink=always + rsync.
#   veldar2: three generations made by three -M3 runs of the unchanged source
#   (with -LINK for the -LINK variant), then one timed -M3 run. That run also
#   deletes the oldest generation: its files are kept alive by hard links made
#   beforehand (pin-*), so the deletion frees only its directories, which are
#   added back; the figure is what the new generation took.
#   rsync --link-dest and cp -al/--reflink + rsync: from PREV, one full rsync
#   copy of the unchanged source, to a new copy; they delete nothing.
rotation() {
  local tag=$1 base=$2 src=$3 reflink=$4 v g before after new nfiles rounded ndirs
  local -a opts
  local -A old
  mkdir -p "$base"
  local clones=0; can_clone "$base" && clones=1
  echo " count-3 rotation after 1% changed (file system $(fstype "$base"), clones $([ $clones = 1 ] && echo possible || echo impossible))"
  for v in default link; do
    [ $v = link ] && [ $link_ok = 0 ] && continue
    opts=(); [ $v = link ] && opts=(-LINK)
    mkdir -p "$base/bk-$v"
    for g in 1 2 3; do
      "$bin" -M3 "${opts[@]}" "$src" "$base/bk-$v" >/dev/null 2>"$work/err.txt" ||
        echo "  preparing veldar2-$v, run $g: exit $?: $(head -n1 "$work/err.txt")"
    done
    cp -al "$base/bk-$v" "$base/pin-$v"
  done
  rsync -a "$src/" "$base/prev/"
  read -r nfiles rot_changed rounded < <(change_one_percent "$src")
  read -r ndirs rot_dirs < <(dir_size "$base/prev")
  echo "  changed: $nfiles files, $rot_changed bytes ($rounded in whole blocks);" \
       "a copy's $ndirs directories take $rot_dirs bytes"

  for v in default link; do
    if [ $v = link ] && [ $link_ok = 0 ]; then
      printf "  %-36s n/a (option not supported by this build)\n" "$tag/veldar2-M3-link"
      continue
    fi
    opts=(); [ $v = link ] && opts=(-LINK)
    old=(); new=""
    for g in "$base/bk-$v"/*; do old[$(stat -c %i "$g")]=1; done
    before=$(used "$base")
    measure "$tag/veldar2-M3-$v" "$bin" -M3 "${opts[@]}" "$src" "$base/bk-$v"
    [ -n "${secs[$tag/veldar2-M3-$v]:-}" ] || continue
    after=$(used "$base")
    for g in "$base/bk-$v"/*; do [ -n "${old[$(stat -c %i "$g")]:-}" ] || new=$g; done
    space_row "$tag/veldar2-M3-$v" $((after - before + rot_dirs)) \
      "$([ -n "$new" ] && du -s -B1 "$base/pin-$v" "$new" | tail -n1 | cut -f1 || echo '?')"
  done

  # What a rotation by hand costs where the file system clones: a reflinked
  # copy of the newest, brought in line with rsync, the oldest copy deleted
  # (a copy of the tree kept for it, as veldar2 deletes its oldest
  # generation), and the result flushed as veldar2 flushes its new generation.
  local -A cmd=(
    [rsync-link-dest]='rsync -a --delete --link-dest="$1" "$3/" "$2/"'
    [cp-al+rsync]='cp -al "$1" "$2" && rsync -a --delete "$3/" "$2/"'
    [cp-reflink+rsync]='cp --reflink=always -a "$1" "$2" && rsync -a --delete "$3/" "$2/"'
    [cp-reflink+rsync+rm+sync]='cp --reflink=always -a "$1" "$2" && rsync -a --delete "$3/" "$2/" && rm -rf "$4" && sync -f "$2"'
  )
  [ "$reflink" = 1 ] && cp --reflink=always -a "$base/prev" "$base/oldest"
  for v in rsync-link-dest cp-al+rsync cp-reflink+rsync cp-reflink+rsync+rm+sync; do
    [[ $v = cp-reflink* ]] && [ "$reflink" = 0 ] && continue
    before=$(used "$base")
    measure "$tag/$v" sh -c "${cmd[$v]}" sh "$base/prev" "$base/new-$v" "$src" "$base/oldest"
    [ -n "${secs[$tag/$v]:-}" ] || continue
    after=$(used "$base")
    space_row "$tag/$v" $((after - before)) "$(du -s -B1 "$base/prev" "$base/new-$v" | tail -n1 | cut -f1)"
  done

  echo "  ratios: veldar2 -LINK/rsync --link-dest $(ratio "$tag/veldar2-M3-link" "$tag/rsync-link-dest")," \
       "veldar2/rsync --link-dest $(ratio "$tag/veldar2-M3-default" "$tag/rsync-link-dest")"
  echo "  (the veldar2 runs also delete the oldest generation; the others delete nothing)"
  [ "$reflink" = 1 ] &&
    echo "  ratio: veldar2/(cp --reflink + rsync) $(ratio "$tag/veldar2-M3-default" "$tag/cp-reflink+rsync")"
  echo "  space: (added - directories) / changed bytes:" \
       "veldar2 -LINK $(space_ratio "$tag/veldar2-M3-link"), veldar2 $(space_ratio "$tag/veldar2-M3-default")," \
       "rsync --link-dest $(space_ratio "$tag/rsync-link-dest");" \
       "/ changed bytes in whole blocks: veldar2 -LINK $(space_ratio "$tag/veldar2-M3-link" "$rounded")," \
       "veldar2 $(space_ratio "$tag/veldar2-M3-default" "$rounded")," \
       "rsync --link-dest $(space_ratio "$tag/rsync-link-dest" "$rounded")"
  [ "$(fstype "$base")" = xfs ] &&
    echo "  (XFS allocates inodes as it goes, so df counts every new inode of a copy: 512 B each by default)"

  # Time: -LINK where the file system cannot clone, the default where it can.
  if [ "$clones" = 1 ]; then
    target "$tag rotation: veldar2 (clones) / rsync --link-dest (<= 1.0)" \
      "$(ratio "$tag/veldar2-M3-default" "$tag/rsync-link-dest")" 1.0
    info "$tag rotation: veldar2 -LINK / rsync --link-dest" "$(ratio "$tag/veldar2-M3-link" "$tag/rsync-link-dest")"
  else
    target "$tag rotation: veldar2 -LINK / rsync --link-dest (<= 1.0)" \
      "$(ratio "$tag/veldar2-M3-link" "$tag/rsync-link-dest")" 1.0
    info "$tag rotation: veldar2 / rsync --link-dest" "$(ratio "$tag/veldar2-M3-default" "$tag/rsync-link-dest")"
  fi
  [ "$reflink" = 1 ] &&
    info "$tag rotation: veldar2 / (cp --reflink + rsync)" "$(ratio "$tag/veldar2-M3-default" "$tag/cp-reflink+rsync")"
  [ "$reflink" = 1 ] &&
    target "$tag rotation: veldar2 / (cp --reflink + rsync + rm -rf oldest + sync -f) (<= 1.0)" \
      "$(ratio "$tag/veldar2-M3-default" "$tag/cp-reflink+rsync+rm+sync")" 1.0
  # Space: what the rotation added besides its directories, over what the
  # changed files take as files (their bytes in whole blocks: a 2 KB file
  # takes a 4 KB block in any copy); the bare bytes for reference.
  local shared=veldar2-M3-link
  [ "$clones" = 1 ] && shared=veldar2-M3-default
  target "$tag rotation space: veldar2 $([ "$clones" = 1 ] && echo "(clones)" || echo -LINK) (added - dirs) / changed in blocks (<= 1.2)" \
    "$(space_ratio "$tag/$shared" "$rounded")" 1.2
  # -LINK links even where the file system could clone: a link costs no inode.
  [ "$clones" = 1 ] &&
    target "$tag rotation space: veldar2 -LINK (added - dirs) / changed in blocks (<= 1.2)" \
      "$(space_ratio "$tag/veldar2-M3-link" "$rounded")" 1.2
  info "$tag rotation space: the same / changed bytes" "$(space_ratio "$tag/$shared")"
  info "$tag rotation space: rsync --link-dest (added - dirs) / changed in blocks" \
    "$(space_ratio "$tag/rsync-link-dest" "$rounded")"
  [ "$clones" = 1 ] ||
    info "$tag rotation space: veldar2 without -LINK / changed in blocks" \
      "$(space_ratio "$tag/veldar2-M3-default" "$rounded")" "(no clones here: a full copy)"
  rm -rf "$base"
}

tree_files=${TREE_FILES:-$((20000 / scale))} tree_big=$((3 / scale > 0 ? 3 / scale : 1))
if [ "${UNCHANGED_ONLY:-0}" = 1 ]; then
  make_tree "$work/tree" "$tree_files" 0
  mkdir -p "$work/v" "$work/r"
  "$bin" -M1 "$work/tree" "$work/v" >/dev/null
  rsync -a --delete "$work/tree/" "$work/r/"
  echo "== tree: $tree_files small files, nothing changed, warm caches (five rounds, side by side) =="
  v_m1() { "$bin" -M1 "$work/tree" "$work/v"; }
  r_a() { rsync -a --delete "$work/tree/" "$work/r/"; }
  v_m1 >/dev/null 2>&1; r_a >/dev/null 2>&1
  for i in 1 2 3 4 5; do
    warm=1 measure "veldar2/unchanged-warm#$i" v_m1
    warm=1 measure "rsync/unchanged-warm#$i" r_a
  done
  for name in veldar2/unchanged-warm rsync/unchanged-warm; do
    secs[$name]=$(for i in 1 2 3 4 5; do echo "${secs[$name#$i]:-}"; done | grep . | sort -n |
      awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }')
    printf "  %-36s %8s s (median)\n" "$name" "${secs[$name]:-n/a}"
  done
  echo "  ratio: veldar2 -M1 / rsync -a $(ratio veldar2/unchanged-warm rsync/unchanged-warm)"
  echo "load average at start: $load_start, at end: $(cut -d' ' -f1-3 /proc/loadavg)"
  exit 0
fi
make_tree "$work/tree" $tree_files $tree_big
run_case "tree: $tree_files small files + big files" "$work/tree" tree
echo "== tree, in $work =="
first_copy tree "$work/t" "$work/tree"
restores tree "$work/t" "$work/tree"
rotation tree "$work/t" "$work/tree" 0
rm -rf "$work/tree"

make_flat "$work/flat" $((100000 / scale))
run_case "flat: one directory of $((100000 / scale)) entries" "$work/flat" flat
rm -rf "$work/flat"

# The same tree on XFS, in a loop-mounted image file; the source lives there too.
xfs_status="worked"
xfs() {
  local img="$work/xfs.img" mnt="$work/xfs" out
  skip() { xfs_status="skipped ($1)"; echo "XFS: $xfs_status"; }
  if ! command -v mkfs.xfs >/dev/null && [ ! -x /usr/sbin/mkfs.xfs ]; then
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get install -y -qq xfsprogs >/dev/null 2>&1 ||
      { $sudo apt-get update -qq >/dev/null 2>&1 && $sudo apt-get install -y -qq xfsprogs >/dev/null 2>&1; } ||
      { skip "xfsprogs could not be installed"; return 0; }
  fi
  out=$(truncate -s 4G "$img" 2>&1) || { skip "no image file: $out"; return 0; }
  out=$(PATH="$PATH:/usr/sbin:/sbin" mkfs.xfs -q "$img" 2>&1) || { skip "mkfs.xfs failed: $out"; return 0; }
  mkdir -p "$mnt"
  out=$($sudo mount -o loop "$img" "$mnt" 2>&1) || { skip "mount refused: $out"; return 0; }
  [ -z "$sudo" ] || $sudo chown "$(id -u):$(id -g)" "$mnt"
  echo "== tree on XFS (image file $img, 4 GB, loop-mounted; the source is on it too) =="
  make_tree "$mnt/tree" $tree_files $tree_big
  echo " (with the source on the same file system, cp -a (coreutils >= 9) and veldar2's copy_file_range" \
       "clone the source's files)"
  first_copy xfs "$mnt/t" "$mnt/tree"
  rotation xfs "$mnt/t" "$mnt/tree" 1
  $sudo umount "$mnt" && rm -f "$img"
}
xfs

echo "== memory as the tree grows (veldar2, first copy, max RSS) =="
for n in $((5000 / scale)) $((20000 / scale)) $((80000 / scale)) $((200000 / scale)); do
  rm -rf "$work/grow" "$work/g"; mkdir -p "$work/g"
  make_tree "$work/grow" "$n" 0
  measure "veldar2/grow-$n" "$bin" -M1 "$work/grow" "$work/g"
done
rm -rf "$work/grow" "$work/g"
small=$((20000 / scale)) large=$((200000 / scale))
echo "  ratio: max RSS at $large files / at $small files $(div "${mem[veldar2/grow-$large]:-}" "${mem[veldar2/grow-$small]:-}")"
info "memory: veldar2 first copy max RSS, $large / $small files" \
  "$(div "${mem[veldar2/grow-$large]:-}" "${mem[veldar2/grow-$small]:-}")" \
  "(${mem[veldar2/grow-$small]:-?} KB -> ${mem[veldar2/grow-$large]:-?} KB)"

echo "== summary =="
printf '%-76s %8s  %s\n' "figure (target)" "measured" "verdict"
printf '%s\n' "${summary[@]}"
echo "machine: $machine"
echo "load average at start: $load_start, at end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "XFS: $xfs_status"
