#!/usr/bin/env bash
# The two Debian packages on a fresh minimal Debian 12, as root there
# (scripts/fresh-debian-check.sh DIR --packages copies them into /root and
# runs this script there). Installs veldar2 alone, then veldar2-gui, each
# with --no-install-recommends, and prints what each pulled in; fails if
# veldar2 pulls any graphical package, if a batch run, --help, man veldar2
# or a start without parameters (which must say where the dialogs are) does
# not work with veldar2 alone, or if veldar2 without parameters does not
# open the dialog once veldar2-gui is installed.
set -euo pipefail
cd /root
export DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8
fail() { echo "FAIL: $*" >&2; exit 1; }
installed() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" { print $2 }' | sort; }
# What `apt-get install` of DEB with Recommends would add to this system.
with_recommends() { apt-get install -s "./$1" | awk '/^Inst / { print $2 }' | sort; }
graphical='qt|mesa|libgl|libegl|libdrm|x11|xcb|wayland|llvm|font'

apt-get update -qq
# The man page reader, installed before anything is counted. The X server
# the dialog check needs comes after the counts: what it brings would hide
# what the packages pull in.
apt-get install -y -qq --no-install-recommends man-db >/dev/null
cli=$(ls veldar2_*_amd64.deb) gui=$(ls veldar2-gui_*_amd64.deb)

installed >base.txt
with_recommends "$cli" >cli-recommends.txt
apt-get install -y -qq --no-install-recommends "./$cli" >/dev/null
installed >cli.txt
comm -13 base.txt cli.txt >cli-pulled.txt
! grep -Ei "$graphical" cli-pulled.txt || fail "veldar2 pulled graphical packages (above)"

# veldar2 alone: a batch run, its dry run, the list and a restore, --help, the
# man page, and where the dialogs are.
mkdir -p /tmp/src/sub /tmp/backups
echo one >/tmp/src/a.txt; echo two >/tmp/src/sub/b.txt
veldar2 -M3 /tmp/src /tmp/backups || fail "batch run: status $?"
diff -r /tmp/src /tmp/backups/src_1 || fail "the generation differs from the source"
echo three >/tmp/src/c.txt
veldar2 -DRYRUN -M3 /tmp/src /tmp/backups | grep -qx "copy    c.txt" || fail "-DRYRUN"
[ ! -e /tmp/backups/src_2 ] || fail "-DRYRUN wrote a generation"
veldar2 -LIST -JSON /tmp/src /tmp/backups | grep -q '"name":"src_1"' || fail "-LIST"
veldar2 -RESTORE1 /tmp/src /tmp/backups /tmp/restored && diff -r /tmp/backups/src_1 /tmp/restored/src ||
  fail "-RESTORE1"
veldar2 --help | grep -q -- -NOMSG || fail "--help"
MANWIDTH=80 man veldar2 2>/dev/null | grep -q "EXIT STATUS" || fail "man veldar2"
status=0; said=$(LANG=en_US.UTF-8 veldar2 2>&1) || status=$?
[ $status = 2 ] && grep -q "the dialogs are in the package veldar2-gui" <<<"$said" ||
  fail "veldar2 alone without parameters: status $status: $said"

with_recommends "$gui" >gui-recommends.txt
apt-get install -y -qq --no-install-recommends "./$gui" >/dev/null
installed >gui.txt
comm -13 cli.txt gui.txt >gui-pulled.txt

# With veldar2-gui: veldar2 without parameters opens the dialog, a window
# titled "Veldar" on Xvfb's display; a second start brings it back and ends.
apt-get install -y -qq --no-install-recommends xvfb xauth x11-utils >/dev/null
cat >dialog.sh <<'EOF'
veldar2 & pid=$!
i=0; while [ $i -lt 300 ] && ! xwininfo -root -tree | grep -q '"Veldar"'; do sleep 0.1; i=$((i+1)); done
xwininfo -root -tree | grep -q '"Veldar"' && echo "dialog shown"
veldar2 && echo "second start: status 0"
kill $pid; wait $pid 2>/dev/null || true
EOF
XDG_RUNTIME_DIR=$(mktemp -d) && chmod 700 "$XDG_RUNTIME_DIR" && export XDG_RUNTIME_DIR
shown=$(xvfb-run -a sh dialog.sh 2>&1)
grep -q "dialog shown" <<<"$shown" && grep -q "second start: status 0" <<<"$shown" ||
  fail "veldar2 without parameters, veldar2-gui installed: $shown"

list() { tr '\n' ' ' <"$1"; }
echo "== Packages =="
echo "(counts include the package itself)"
echo "veldar2, --no-install-recommends: $(wc -l <cli-pulled.txt) packages: $(list cli-pulled.txt)"
echo "veldar2 with its Recommends: $(wc -l <cli-recommends.txt) packages"
echo "veldar2-gui after veldar2, --no-install-recommends: $(wc -l <gui-pulled.txt) packages" \
     "($(grep -Eci "$graphical" gui-pulled.txt) of them Qt, Mesa, X, Wayland, LLVM or fonts)"
echo "veldar2-gui after veldar2, with its Recommends: $(wc -l <gui-recommends.txt) packages"
echo "veldar2 alone: batch run, -DRYRUN, -LIST, -RESTORE1, --help, man veldar2 and the dialogs' package named: passed;" \
     "with veldar2-gui: veldar2 opened the dialog, and a second start brought it back"
