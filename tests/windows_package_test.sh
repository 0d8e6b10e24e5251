#!/usr/bin/env bash
# The Windows zip, made from this build tree with cpack as the release is:
# its files at its top level, so that unpacking it into
# C:\Program Files\VELDAR2 puts the programs where README-Windows.txt says
# (its scheduled task's program included); README-Windows.txt written for
# Windows users (CRLF lines, nothing about building, no pictures, no pointers
# into text it does not hold); veldar2.exe a console program and veldar2w.exe
# a windowless one.
# Usage: windows_package_test.sh BUILD_DIR OBJDUMP
set -uo pipefail
build=$1 objdump=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

(cd "$build" && cpack -G ZIP -B "$work/out" >/dev/null 2>&1) || { echo "FAIL: cpack"; exit 1; }
zip=$(ls "$work"/out/veldar2-*-win64.zip) || { echo "FAIL: no veldar2-<version>-win64.zip"; exit 1; }
version=${zip##*/veldar2-}
version=${version%-win64.zip}

expected="README-Windows.txt
veldar2.exe
veldar2_help.html
veldar2_help_en.html
veldar2w.exe"
listed=$(unzip -Z1 "$zip" | sort)
[ "$listed" = "$expected" ] || fail "the zip holds, at its top level, exactly the programs, help and README:
$listed"

# Unpacked where the README says.
install="$work/Program Files/VELDAR2"
mkdir -p "$install"
unzip -q "$zip" -d "$install" || fail "unzip"
readme="$install/README-Windows.txt"
[ -f "$readme" ] || { echo "FAIL: no README-Windows.txt"; exit 1; }

lines=$(wc -l <"$readme")
[ "$lines" -gt 50 ] || fail "README-Windows.txt has $lines lines"
[ "$(grep -c $'\r$' "$readme")" = "$lines" ] || fail "not every line of README-Windows.txt ends in CRLF"
[ "$(head -n 1 "$readme" | tr -d '\r')" = "VELDAR2 $version for Windows" ] ||
  fail "README-Windows.txt's first line: $(head -n 1 "$readme")"
text=$(tr -d '\r' <"$readme")
# Nothing of the developers' README: building, the test machine, Markdown,
# pictures, or pointers to text that is not there.
for word in cmake ctest mingw scripts/ .sh build-win wine xvfb debian linux .png .jpg '![' '`' '## ' '@' \
            'see above' above 'this section'; do
  if grep -qiF -- "$word" <<<"$text"; then
    fail "README-Windows.txt holds '$word': $(grep -iF -- "$word" <<<"$text" | head -n 1)"
  fi
done
for topic in 'Installing' 'The dialog' 'The command line' 'Scheduled runs' 'Settings and the log' 'Uninstalling' \
             'HKEY_CURRENT_USER\Software\Orvanta\VELDAR2\SETTINGS' '%LOCALAPPDATA%\VELDAR2\VELDAR2.LOG' \
             'schtasks /Create' 'schtasks /Delete'; do
  grep -qF -- "$topic" <<<"$text" || fail "README-Windows.txt lacks '$topic'"
done

# Every file of the program's the README names is in the zip, and every path
# under C:\Program Files\VELDAR2 it names is there once unpacked.
while read -r name; do
  grep -qx -- "$name" <<<"$listed" || fail "README-Windows.txt names $name, which the zip lacks"
done < <(grep -oiE '\b(veldar2[a-z_]*\.(exe|html)|README-Windows\.txt)\b' <<<"$text" | sort -u)
paths=$(grep -oE 'C:\\Program Files\\VELDAR2\\[A-Za-z0-9_.-]*[A-Za-z0-9]' <<<"$text" | sort -u)
[ -n "$paths" ] || fail "README-Windows.txt names no file in C:\\Program Files\\VELDAR2"
while read -r path; do
  [ -f "$install/${path##*\\}" ] || fail "$path is not where the zip unpacks"
done <<<"$paths"
# The scheduled task runs the windowless program from there.
task=$(grep -F 'schtasks /Create' <<<"$text")
program=$(grep -oE '/TR "\\"[^"]*\\"' <<<"$task")
program=${program#'/TR "\"'}
program=${program%'\"'}
[ "$program" = 'C:\Program Files\VELDAR2\veldar2w.exe' ] || fail "the task runs '$program'"

# veldar2.exe a console program (cmd.exe waits for it), veldar2w.exe a
# windowless one (the Task Scheduler opens no console for it).
for exe in veldar2.exe:3 veldar2w.exe:2; do
  subsystem=$("$objdump" -p "$install/${exe%:*}" | awk '$1 == "Subsystem" {print $2}')
  [ "$subsystem" = "0000000${exe#*:}" ] || fail "${exe%:*}'s subsystem is '$subsystem', not ${exe#*:}"
done

[ "$failures" = 0 ] && echo "ok: the Windows zip"
exit $((failures > 0))
