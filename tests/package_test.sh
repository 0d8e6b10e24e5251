#!/usr/bin/env bash
# The two Debian packages, made from this build tree with cpack: veldar2 (the
# command line, no Qt) and veldar2-gui (the dialogs). Their files, their
# control data, lintian's verdict at its most pedantic, the menu entry, the
# man pages and the example systemd units as their tools check them, the
# command-line program's libraries, and an install and a removal by dpkg
# into a scratch root that leave nothing behind: the command-line program
# alone says where the dialogs are, and with veldar2-gui beside it hands a
# start without parameters over to it.
# Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null 2>&1) || fail "cpack"
cli=$(ls "$work"/out/veldar2_*_amd64.deb) || fail "no veldar2_<version>_amd64.deb"
gui=$(ls "$work"/out/veldar2-gui_*_amd64.deb) || fail "no veldar2-gui_<version>_amd64.deb"
[ "$(ls "$work"/out/*.deb | wc -l)" = 2 ] || fail "packages: $(ls "$work"/out/*.deb)"

# The files, as the FHS places them.
files() { dpkg-deb -c "$1" | awk '{print $NF}' | sed 's|^\./|/|' | grep -v '/$' | sort; }
files "$cli" >"$work/files-cli"
files "$gui" >"$work/files-gui"
expected="/usr/bin/veldar2
/usr/share/doc/veldar2/README.md.gz
/usr/share/doc/veldar2/changelog.gz
/usr/share/doc/veldar2/copyright
/usr/share/doc/veldar2/examples/veldar2-backup.service
/usr/share/doc/veldar2/examples/veldar2-backup.timer
/usr/share/doc/veldar2/examples/veldar2-verify.service
/usr/share/doc/veldar2/examples/veldar2-verify.timer
/usr/share/man/man1/veldar2.1.gz"
diff <(echo "$expected") "$work/files-cli" || fail "veldar2's files differ (above)"
expected="/usr/bin/veldar2-gui
/usr/share/applications/veldar2.desktop
/usr/share/doc/veldar2-gui/changelog.gz
/usr/share/doc/veldar2-gui/copyright
/usr/share/icons/hicolor/128x128/apps/veldar2.png
/usr/share/icons/hicolor/16x16/apps/veldar2.png
/usr/share/icons/hicolor/256x256/apps/veldar2.png
/usr/share/icons/hicolor/32x32/apps/veldar2.png
/usr/share/icons/hicolor/48x48/apps/veldar2.png
/usr/share/icons/hicolor/64x64/apps/veldar2.png
/usr/share/icons/hicolor/scalable/apps/veldar2.svg
/usr/share/lintian/overrides/veldar2-gui
/usr/share/man/man1/veldar2-gui.1.gz
/usr/share/veldar2/veldar2_help.html
/usr/share/veldar2/veldar2_help_en.html"
diff <(echo "$expected") "$work/files-gui" || fail "veldar2-gui's files differ (above)"

# Control data: names, version, architecture; the command line needs no Qt,
# Mesa, X or font package, the dialogs need Qt, the fonts, Qt's Japanese
# texts and the command-line package of the same version.
for deb in "$cli" "$gui"; do
  name=$(basename "$deb" | cut -d_ -f1)
  [ "$(dpkg-deb -f "$deb" Package Version Architecture | tr '\n' ' ')" = "Package: $name Version: 2.00 Architecture: amd64 " ] ||
    fail "control: $(dpkg-deb -f "$deb" Package Version Architecture)"
done
depends=$(dpkg-deb -f "$cli" Depends)
grep -q libc6 <<<"$depends" || fail "veldar2's Depends lacks libc6: $depends"
! grep -Eiq 'qt|mesa|libgl|x11|xcb|font' <<<"$depends $(dpkg-deb -f "$cli" Recommends)" ||
  fail "veldar2 depends on a graphical package: $depends"
depends=$(dpkg-deb -f "$gui" Depends)
for want in "veldar2 (= 2.00)" libqt6widgets6 libqt6network6 libc6 fonts-noto-cjk qt6-qpa-plugins \
            qt6-translations-l10n; do
  grep -qF "$want" <<<"$depends" || fail "veldar2-gui's Depends lacks $want: $depends"
done

# The command-line program loads no Qt library: it names the C and C++
# runtime libraries and nothing else.
dpkg-deb --fsys-tarfile "$cli" | tar -xO ./usr/bin/veldar2 >"$work/veldar2"
needed=$(readelf -d "$work/veldar2" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
grep -q libc.so.6 <<<"$needed" && ! grep -Eq -v '^(libc|libm|libgcc_s|libstdc\+\+)\.so\.[0-9]+$' <(tr ' ' '\n' <<<"${needed% }") ||
  fail "veldar2 needs: $needed"

# Lintian: no tag at any level, --pedantic included; the overrides in
# packaging/linux/lintian-overrides say why each of theirs is right. An
# override that no longer matches fails too (mismatched or unused).
lintian --pedantic -I --fail-on error,warning,info,pedantic --suppress-tags spelling-error-in-binary \
  "$cli" "$gui" >"$work/lintian" 2>&1 ||
  fail "lintian: $(grep -v '^running with root' "$work/lintian")"
# Spelling in the programs' texts, on its own: lintian reads machine code as
# text too, and the compiler's choice of registers can spell "IiF" (bytes of
# an imul); that reading, and only that one, is let through.
lintian --tags spelling-error-in-binary "$cli" "$gui" 2>&1 | grep -v '^running with root' |
  grep -v ' spelling-error-in-binary IiF If ' >"$work/spelling" || true
[ ! -s "$work/spelling" ] || fail "lintian: $(cat "$work/spelling")"

# The menu entry and the man pages, as their own tools read them.
mkdir "$work/root"
dpkg-deb -x "$cli" "$work/root"
dpkg-deb -x "$gui" "$work/root"
desktop-file-validate "$work/root/usr/share/applications/veldar2.desktop" || fail "desktop-file-validate"
grep -qx "Exec=veldar2-gui" "$work/root/usr/share/applications/veldar2.desktop" || fail "the menu entry's Exec"
for page in veldar2 veldar2-gui; do
  warnings=$(zcat "$work/root/usr/share/man/man1/$page.1.gz" | groff -ww -man -z 2>&1)
  [ -z "$warnings" ] || fail "groff -ww $page.1: $warnings"
  MANWIDTH=80 man -l "$work/root/usr/share/man/man1/$page.1.gz" 2>/dev/null | grep -q "EXIT STATUS" || fail "man $page"
done

# The README installed is for people who installed the program: nothing in
# it points at the source tree's scripts, pictures or build directories.
source_tree=$(zcat "$work/root/usr/share/doc/veldar2/README.md.gz" |
  grep -nE '\./scripts|scripts/|\(docs/|\.png|build/veldar2|build-|<!--' || true)
[ -z "$source_tree" ] || fail "the installed README points at the source tree: $source_tree"

# The example units: valid (but for the program, which is not installed
# here), and the service sandboxed: systemd-analyze rates its exposure from 0
# to 10, 9.8 without a sandbox, 0.8 with today's (the threshold is in
# tenths).
units="$work/root/usr/share/doc/veldar2/examples"
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"
verify=$(systemd-analyze --user verify --man=no "$units/veldar2-backup.timer" "$units/veldar2-backup.service" \
  "$units/veldar2-verify.timer" "$units/veldar2-verify.service" 2>&1 |
  grep -v 'Command /usr/bin/veldar2 is not executable' || true)
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
for service in veldar2-backup veldar2-verify; do
  exposure=$(systemd-analyze --user security --offline=true --threshold=10 "$units/$service.service" 2>&1) ||
    fail "$service's sandbox: $(tail -n 1 <<<"$exposure")"
done
for program in veldar2 veldar2-gui; do
  "$work/root/usr/bin/$program" --version | grep -qx "VELDAR2 2.00" || fail "the installed $program's --version"
done

# Installed and removed by dpkg in a root of its own, the command line
# first; started without parameters and without a display, veldar2 says
# where the dialogs are, then (veldar2-gui installed) hands over to it,
# which says there is no display. Nothing stays behind.
admin="$work/dpkg"
mkdir -p "$admin/info" "$admin/updates" "$work/inst"
touch "$admin/status" "$admin/available"
dpkg_=(dpkg --root="$work/inst" --admindir="$admin" --force-depends --force-script-chrootless
       --force-not-root --log=/dev/null)
start() {
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u LANGUAGE -u LC_ALL -u LC_MESSAGES LANG=en_US.UTF-8 \
    XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" XDG_RUNTIME_DIR="$work/runtime" \
    "$work/inst/usr/bin/veldar2" 2>&1 && echo "status 0" || echo "status $?"
}
"${dpkg_[@]}" -i "$cli" >/dev/null 2>&1 || fail "dpkg -i veldar2"
said=$(start)
grep -q "the dialogs are in the package veldar2-gui" <<<"$said" && grep -q "status 2" <<<"$said" ||
  fail "veldar2 alone, without parameters: $said"
"${dpkg_[@]}" -i "$gui" >/dev/null 2>&1 || fail "dpkg -i veldar2-gui"
said=$(start)
grep -q "cannot show the dialog: no display" <<<"$said" && grep -q "status 2" <<<"$said" ||
  fail "veldar2 with veldar2-gui, without parameters or a display: $said"
"${dpkg_[@]}" --purge veldar2-gui veldar2 >/dev/null 2>&1 || fail "dpkg --purge"
left=$(find "$work/inst" -type f | head)
[ -z "$left" ] || fail "left behind after removal: $left"
echo "packages: $(basename "$cli"), $(wc -l <"$work/files-cli") files; $(basename "$gui")," \
     "$(wc -l <"$work/files-gui") files; removed cleanly"
