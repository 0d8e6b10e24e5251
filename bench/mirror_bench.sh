#!/usr/bin/env bash
# Mirror benchmark: veldar2 (one copy straight into the backup directory, -M1)
# side by side with rsync -a --delete, rsync -a --delete --fsync and cp -a, on
# trees this script builds itself:
#   tree:  20,000 small files in nested directories plus three files of 100 MB
#   flat:  one directory of 100,000 small files
# For each: a first full copy, a second run with nothing changed, and a run
# after 1% of the files changed. Prints seconds and peak memory (max RSS) per
# tool, and veldar2's ratios to rsync.
#
#   bench/mirror_bench.sh [work-dir]     (default /tmp/veldar2-bench; needs ~2 GB)
# Set SMALL=1 for a quick run on a tenth of the sizes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=${1:-/tmp/veldar2-bench}
scale=1
[ "${SMALL:-0}" = 1 ] && scale=10

command -v rsync >/dev/null && [ -x /usr/bin/time ] || {
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get install -y -qq rsync time >/dev/null
}
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target veldar2 >/dev/null
bin="$root/build/veldar2"

rm -rf "$work"
mkdir -p "$work"
export XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state"

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
change_one_percent() {  # dir
  python3 - "$1" <<'PY'
import os, sys, time
root = sys.argv[1]
paths = []
for d, _, names in os.walk(root):
    paths += [os.path.join(d, n) for n in names if not n.startswith("big")]
paths.sort()
later = time.time() + 5
for p in paths[::100]:
    with open(p, "ab") as f:
        f.write(b"changed")
    os.utime(p, (later, later))
PY
}

# measure NAME COMMAND...: runs the command, prints and records seconds and max RSS
declare -A secs mem
measure() {
  local name=$1; shift
  /usr/bin/time -o "$work/time.txt" -f "%e %M" "$@" >/dev/null 2>"$work/err.txt" || true
  sync
  read -r secs[$name] mem[$name] <"$work/time.txt"
  printf "  %-30s %8.2f s %9d KB\n" "$name" "${secs[$name]}" "${mem[$name]}"
}

run_case() {  # label source
  local label=$1 src=$2
  echo "== $label =="
  for phase in first unchanged changed; do
    [ "$phase" = changed ] && change_one_percent "$src"
    echo " $phase:"
    mkdir -p "$work/v" "$work/r" "$work/rf"
    measure "veldar2/$phase" "$bin" -M1 "$src" "$work/v"
    measure "rsync/$phase" rsync -a --delete "$src/" "$work/r/"
    measure "rsync-fsync/$phase" rsync -a --delete --fsync "$src/" "$work/rf/"
    rm -rf "$work/c"
    [ "$phase" = first ] && measure "cp-a/$phase" cp -a "$src" "$work/c"
    rm -rf "$work/c"
    ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
    echo "  ratios: veldar2/rsync-fsync $(ratio "${secs[veldar2/$phase]}" "${secs[rsync-fsync/$phase]}")," \
         "veldar2/rsync $(ratio "${secs[veldar2/$phase]}" "${secs[rsync/$phase]}")"
  done
  diff -r "$src" "$work/v" >/dev/null && echo " check: veldar2's copy equals the source" \
    || echo " CHECK FAILED: veldar2's copy differs from the source"
  rm -rf "$work/v" "$work/r" "$work/rf" "$work/state"
}

make_tree "$work/tree" $((20000 / scale)) $((3 / scale > 0 ? 3 / scale : 1))
run_case "tree: $((20000 / scale)) small files + big files" "$work/tree"
rm -rf "$work/tree"

make_flat "$work/flat" $((100000 / scale))
run_case "flat: one directory of $((100000 / scale)) entries" "$work/flat"

echo "== memory as the tree grows (veldar2, first copy, max RSS) =="
for n in $((5000 / scale)) $((20000 / scale)) $((80000 / scale)); do
  rm -rf "$work/grow" "$work/g"; mkdir -p "$work/g"
  make_tree "$work/grow" "$n" 0
  measure "veldar2/grow-$n" "$bin" -M1 "$work/grow" "$work/g"
done
rm -rf "$work"
