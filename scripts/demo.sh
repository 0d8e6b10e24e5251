#!/usr/bin/env bash
# Installs what is missing, builds the program and runs the main job: a batch
# backup of a small sample tree into /tmp/veldar2-demo/backups, four times
# with changes in between, keeping three generations. Then shows the
# generations and the activity log. Uses private settings and log directories
# under /tmp/veldar2-demo, so the user's own are not touched.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
. scripts/build-settings.sh
configure_normal_build
cmake --build build -j2 --target veldar2

demo=/tmp/veldar2-demo
rm -rf "$demo"
mkdir -p "$demo/docs/notes" "$demo/backups"
echo "first draft" >"$demo/docs/report.txt"
echo "todo: buy milk" >"$demo/docs/notes/todo.txt"
head -c 200000 /dev/urandom >"$demo/docs/photo.bin"

export XDG_CONFIG_HOME="$demo/config" XDG_STATE_HOME="$demo/state"
run() {
  echo "\$ veldar2 $*"
  ./build/veldar2 "$@" && echo "  -> exit status 0" || echo "  -> exit status $?"
}
run -M3 "$demo/docs" "$demo/backups"
sleep 1; echo "second draft" >"$demo/docs/report.txt"
run -M3 "$demo/docs" "$demo/backups"
sleep 1; rm "$demo/docs/notes/todo.txt"; echo "new" >"$demo/docs/notes/ideas.txt"
run -M3 "$demo/docs" "$demo/backups"
sleep 1; echo "final" >"$demo/docs/report.txt"
run -M3 "$demo/docs" "$demo/backups"

echo
echo "== Generations in $demo/backups (newest first) =="
ls -lt --time-style=full-iso "$demo/backups"
for g in $(ls -t "$demo/backups"); do
  echo "-- $g: report.txt = $(cat "$demo/backups/$g/report.txt")"
done
echo
echo "== Activity log $XDG_STATE_HOME/VELDAR2/VELDAR2.LOG =="
cat "$XDG_STATE_HOME/VELDAR2/VELDAR2.LOG"
