#!/usr/bin/env bash
# Runs veldar2.exe under Wine as a script or the Task Scheduler would, and
# checks what it left behind with tools that do not share its code (diff,
# find, Wine's reg):
#
#   windows_batch_e2e.sh VELDAR2_EXE HELPER_EXE WINE_RUN BUILD_DIR VELDAR2W_EXE
#
# VELDAR2W_EXE is the same program without a console, for the Task Scheduler.
# HELPER_EXE plays the other programs (one holding a file open, an open
# instance's window); WINE_RUN is cmake/wine-run.sh. Every check prints one
# line ("ok", "FAIL" or "SKIP" with the reason); the exit status is the
# number of failures (0: all passed). Where Wine is not Windows and a check
# cannot mean anything, it is skipped with its reason, never silently.
set -u

exe=$1 helper=$2 runner=$3 build=$4 windowless=$5
export VELDAR2_WINE_BUILD_DIR=$build
WINEPREFIX_DIR=$build/wineprefix

work=$(mktemp -d "$build/e2e.XXXXXX")
xvfb_pid=""
cleanup() {
  release_helpers
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
ok() { echo "ok: $1"; }
fail() { echo "FAIL: $1"; failures=$((failures + 1)); }
skip() { echo "SKIP: $1"; }
# check DESCRIPTION COMMAND...: passes when the command succeeds.
check() {
  local what=$1
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}
contains() { [[ $1 == *"$2"* ]]; }
lacks() { [[ $1 != *"$2"* ]]; }
# The Windows form of a path under / (Wine's drive Z:).
winpath() { local p=$1; echo "Z:${p//\//\\}"; }

# The program runs from a directory of its own, with its help page, as
# installed from the zip.
mkdir -p "$work/prog"
cp "$exe" "$work/prog/veldar2.exe"
cp "$windowless" "$work/prog/veldar2w.exe"
cp "$helper" "$work/prog/helper.exe"

# run ARGUMENT...: runs veldar2.exe in $work; sets status, out and err.
run() {
  (cd "$work" && "$runner" "$work/prog/veldar2.exe" "$@" >"$work/out.txt" 2>"$work/err.txt")
  status=$?
  out=$(cat "$work/out.txt")
  err=$(cat "$work/err.txt")
}
wine_tool() { (cd "$work" && "$runner" "$@" 2>/dev/null); }

# Helpers in the background: each works in a directory of its own and says
# "ready" there; `release` ends them all.
helper_pids=()
start_helper() {  # NAME MODE ARGUMENT
  mkdir -p "$work/$1"
  (cd "$work/$1" && "$runner" "$work/prog/helper.exe" "$2" "$3" >/dev/null 2>&1) &
  helper_pids+=($!)
  # A first window in a fresh prefix can take half a minute on a busy machine.
  for _ in $(seq 1 1200); do
    [ -f "$work/$1/ready" ] && return 0
    sleep 0.1
  done
  return 1
}
release_helpers() {
  for d in "$work"/hold* "$work"/window*; do [ -d "$d" ] && touch "$d/release"; done
  [ ${#helper_pids[@]} -gt 0 ] && wait "${helper_pids[@]}"
  helper_pids=()
}

# Settings and log from earlier runs of this prefix would mislead.
settings_key='HKCU\Software\Orvanta\VELDAR2'
wine_tool reg delete "$settings_key" /f >/dev/null
local_app_data=$(wine_tool cmd /c echo %LOCALAPPDATA% | tr -d '\r')
local_log_dir=$(wine_tool winepath -u "$local_app_data\\VELDAR2" | tr -d '\r')
local_log_dir=${local_log_dir%/}
case $local_log_dir in
  "$WINEPREFIX_DIR"/*/VELDAR2) rm -rf "$local_log_dir" ;;
  *) fail "no log directory of the prefix's user: '$local_log_dir'" ;;
esac
beside_log="$work/prog/VELDAR2.LOG"
# The log is where the OS layer put it: beside the program, or in the user's
# local application data.
log_file() {
  if [ -f "$beside_log" ]; then echo "$beside_log"; else echo "$local_log_dir/VELDAR2.LOG"; fi
}
no_log() { [ ! -e "$beside_log" ] && [ ! -e "$local_log_dir/VELDAR2.LOG" ]; }

# ---- Starts that do not run a backup ----
run
check "no parameters and no display: exit 2" [ "$status" = 2 ]
check "no parameters and no display: says the dialog cannot be shown" \
  contains "$err" "cannot show the dialog: error 1400: no display"
run --version
check "--version" [ "$status:$out" = "0:VELDAR2 2.00" ]
run "/?"
check "/? prints the usage with '/' options" contains "$out" "[/NOMSG]"
run /M3 /MYBACKUP "$(winpath "$work/src")"
check "an unknown option is refused with exit 2" [ "$status" = 2 ]
check "an unknown option is named" contains "$err" "unknown option: /MYBACKUP"
check "nothing was read or logged before the refusals" no_log
run /M2 "$(winpath "$work/missing")" "$(winpath "$work/dst")"
check "no display: a refused job exits 2" [ "$status" = 2 ]
check "no display: its message goes to standard error instead of a box, with the path, in English" \
  contains "$err" "veldar2: The parameters are wrong: [file or folder to back up] $(winpath "$work/missing"): "
check "no display: the log does not hold the reason, so the summary does not send the user there" \
  lacks "$err" "(see "
# The user's interface language decides: Japanese where it is Japanese.
VELDAR2_WINE_LANG=ja_JP.UTF-8 run /M2 "$(winpath "$work/missing")" "$(winpath "$work/dst")"
check "a Japanese interface: the message and the summary in Japanese" \
  contains "$err" "veldar2: パラメタの指定誤りです。[バックアップするファイル] $(winpath "$work/missing"): "
check "a Japanese interface: the summary in Japanese" contains "$err" "veldar2: バックアップできませんでした"

# ---- /M3 rotation of a directory over four runs ----
src=$work/src dst=$work/dst
mkdir -p "$src/sub/deeper" "$src/empty" "$dst"
printf 'alpha' >"$src/a.txt"
head -c 100000 /dev/zero | tr '\0' 'b' >"$src/sub/b.bin"
: >"$src/sub/deeper/c"
printf '写真' >"$src/写真.txt"
for round in 1 2 3 4; do
  printf 'version %s' "$round" >"$src/a.txt"
  run /M3 "$(winpath "$src")" "$(winpath "$dst")"
  check "rotation run $round: exit 0" [ "$status" = 0 ]
  [ "$status" = 0 ] || echo "$err"
done
check "three generations named as on Linux" [ "$(ls "$dst" | tr '\n' ' ')" = "src_1 src_2 src_3 " ]
check "the fourth run recycled the oldest generation" \
  [ "$(cat "$dst/src_1/a.txt" 2>/dev/null)" = "version 4" ]
check "the other generations kept their runs" \
  [ "$(cat "$dst/src_2/a.txt" "$dst/src_3/a.txt" 2>/dev/null)" = "version 2version 3" ]
check "the newest generation equals the source (names, content, empty directories)" \
  diff -r -x .veldar2-manifest "$src" "$dst/src_1"
# Last-write times: Windows keeps 100 ns, so the source's are cut to that.
times_of() { (cd "$1" && find . -type f ! -name .veldar2-manifest -printf '%P %T@\n' | sort | sed -E 's/([0-9]+\.[0-9]{7})[0-9]*$/\1/'); }
check "copies carry their source's last-write time" [ "$(times_of "$src")" = "$(times_of "$dst/src_1")" ]
skip "creation times: Wine keeps none (it reports the last-write time in their place)"

# ---- A file source ----
# A file generation is dated by its creation time, which a run stamps in
# whole seconds on Windows: generations made within one second tie, and the
# tie goes by listing order. These runs are a second apart, as real ones are.
mkdir -p "$work/files"
for round in 1 2 3 4; do
  [ "$round" = 1 ] || sleep 1
  printf 'version %s' "$round" >"$work/report.tar.gz"
  run /M3 "$(winpath "$work/report.tar.gz")" "$(winpath "$work/files")"
  check "file source run $round: exit 0" [ "$status" = 0 ]
done
check "a file source keeps three generation files" \
  [ "$(ls "$work/files" | tr '\n' ' ')" = "report_1.tar.gz_ report_2.tar.gz_ report_3.tar.gz_ " ]
check "the oldest file generation was recycled" [ "$(cat "$work/files/report_1.tar.gz_")" = "version 4" ]

# ---- The registry ----
settings=$(wine_tool reg query "$settings_key\\SETTINGS" | tr -d '\r')
check "LASTFILE in the registry is the last source" \
  contains "$settings" "LASTFILE    REG_SZ    $(winpath "$work/report.tar.gz")"
check "LASTDIR in the registry is the last backup directory" \
  contains "$settings" "LASTDIR    REG_SZ    $(winpath "$work/files")"
# Non-ASCII text shows as '?' in a query: an export is UTF-16.
mkdir -p "$work/写真"
printf 'x' >"$work/写真/x.txt"
run /M2 "$(winpath "$work/写真")" "$(winpath "$dst")"
check "a Japanese source: exit 0" [ "$status" = 0 ]
check "a Japanese source makes its generation" [ -f "$dst/写真_1/x.txt" ]
wine_tool reg export "$settings_key\\SETTINGS" 'Z:'"${work//\//\\}"'\settings.reg' /y >/dev/null
exported=$(iconv -f UTF-16 -t UTF-8 "$work/settings.reg" 2>/dev/null | tr -d '\r')
expected_key=$(winpath "$work/写真")
check "a Japanese path is stored in the registry as it is" \
  contains "$exported" "\"LASTFILE\"=\"${expected_key//\\/\\\\}\""

# ---- The log ----
log=$(log_file)
if [ -f "$log" ]; then
  ok "the log is $log"
  check "every line of the log ends in CRLF" \
    [ "$(grep -c $'\r$' "$log")" = "$(wc -l <"$log")" ]
  check "the log names files with '\\'" \
    grep -qF "File Copied : $(winpath "$src")\\a.txt to $(winpath "$dst")\\" "$log"
  check "the log is UTF-8" grep -qF "写真.txt" "$log"
  check "no path in the log is written with '/'" bash -c "! grep -qF '$work/' '$log'"
else
  fail "no log beside the program nor in $local_log_dir"
fi

# ---- /NOMSG and a file another program holds ----
mirror=$work/mirror
mkdir -p "$work/m" "$mirror"
printf 'one' >"$work/m/a.txt"
printf 'two' >"$work/m/b.txt"
run /M1 "$(winpath "$work/m")" "$(winpath "$mirror")"
check "straight mirror: exit 0" [ "$status" = 0 ]
printf 'one, changed' >"$work/m/a.txt"
if start_helper hold1 hold "$(winpath "$work/m/a.txt")"; then
  lines_before=$(wc -l <"$(log_file)")
  run /M1 /NOMSG "$(winpath "$work/m")" "$(winpath "$mirror")"
  check "/NOMSG with a file held open: exit 1" [ "$status" = 1 ]
  check "/NOMSG: the summary on standard error" contains "$err" "1 operation(s) failed"
  check "/NOMSG: the failure line is in the log" \
    bash -c "tail -n +$((lines_before + 1)) '$(log_file)' | grep -qF 'Failed : $(winpath "$work/m")\\a.txt'"
  check "/NOMSG: the old copy stays whole" [ "$(cat "$mirror/a.txt")" = "one" ]

  # Started with no console and no standard handles (as a scheduler may
  # start a task), the summary goes to the end of the log instead.
  (cd "$work" && "$runner" "$work/prog/helper.exe" detached \
    "\"$(winpath "$work/prog/veldar2.exe")\" /M1 /NOMSG $(winpath "$work/m") $(winpath "$mirror")" \
    >/dev/null 2>&1)
  check "no console: exit 1" [ "$?" = 1 ]
  check "no console: the summary is the log's last line" \
    bash -c "tail -n 1 '$(log_file)' | grep -qF 'veldar2: the backup finished, but 1 operation(s) failed'"
  release_helpers
else
  fail "the helper could not hold a file open"
fi
run /M1 "$(winpath "$work/m")" "$(winpath "$mirror")"
check "released: the next run converges" [ "$status:$(cat "$mirror/a.txt")" = "0:one, changed" ]

# ---- veldar2w.exe, the program without a console ----
# In a script cmd.exe waits for it: its output reaches a redirected file and
# its exit status is the run's.
in_cmd() {
  (cd "$work" && "$runner" cmd /c "$1" >/dev/null 2>&1)
  status=$?
}
w=$(winpath "$work/prog/veldar2w.exe")
in_cmd "$w --version > $(winpath "$work/w-out.txt")"
check "veldar2w.exe: --version reaches a redirected file" \
  [ "$status:$(tr -d '\r' <"$work/w-out.txt")" = "0:VELDAR2 2.00" ]
in_cmd "$w /? > $(winpath "$work/w-out.txt")"
check "veldar2w.exe: /? prints the usage into a redirected file" \
  [ "$status:$(grep -cF '[/NOMSG]' "$work/w-out.txt")" = "0:1" ]
in_cmd "$w /M2 $(winpath "$work/missing") $(winpath "$dst") 2> $(winpath "$work/w-err.txt")"
check "veldar2w.exe: a refused job exits 2" [ "$status" = 2 ]
check "veldar2w.exe: its message reaches a redirected standard error" \
  grep -qF "The parameters are wrong: [file or folder to back up] $(winpath "$work/missing")" "$work/w-err.txt"
mkdir -p "$work/w-src" "$work/w-dst"
printf 'w' >"$work/w-src/w.txt"
in_cmd "$w /M2 $(winpath "$work/w-src") $(winpath "$work/w-dst")"
check "veldar2w.exe: a backup exits 0 and makes its generation" \
  [ "$status:$(cat "$work/w-dst/w-src_1/w.txt" 2>/dev/null)" = "0:w" ]
# As the Task Scheduler starts it: no console, no standard handles. What it
# would write on a console goes to the end of the log.
(cd "$work" && "$runner" "$work/prog/helper.exe" detached \
  "\"$w\" /M2 /NOMSG $(winpath "$work/missing") $(winpath "$dst")" >/dev/null 2>&1)
check "veldar2w.exe with no console: a refused job exits 2" [ "$?" = 2 ]
check "veldar2w.exe with no console: the summary is the log's last line" \
  bash -c "tail -n 1 '$(log_file)' | grep -qF 'veldar2: the backup failed or was refused'"

# A read-only file (Wine: no write permission) is copied read-only, and
# replaced when it changes.
printf 'first' >"$work/m/ro.txt"
chmod a-w "$work/m/ro.txt"
run /M1 "$(winpath "$work/m")" "$(winpath "$mirror")"
check "a read-only file's copy is read-only" \
  [ "$status:$(stat -c %A "$mirror/ro.txt" | cut -c3)" = "0:-" ]
chmod u+w "$work/m/ro.txt" && printf 'second' >"$work/m/ro.txt" && chmod a-w "$work/m/ro.txt"
run /M1 "$(winpath "$work/m")" "$(winpath "$mirror")"
check "a changed read-only file replaces its read-only copy" \
  [ "$status:$(cat "$mirror/ro.txt")" = "0:second" ]
if [ "$(id -u)" = 0 ]; then
  skip "read-only copies: Wine run by root writes over them, so whether the run had to clear the attribute first is not seen here"
fi

# ---- An open instance's window stops every start ----
if command -v Xvfb >/dev/null; then
  # A free display of its own, named by the server once it is ready.
  Xvfb -displayfd 3 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 1 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
  done
  export VELDAR2_WINE_DISPLAY=:$(head -n 1 "$work/display")
  # Windows need a prefix whose server has not made its desktop without a
  # display, as the starts above have (tests/with_xvfb.sh says more).
  export VELDAR2_WINE_PREFIX_NAME=wineprefix-display
  if [ "$VELDAR2_WINE_DISPLAY" = : ]; then
    fail "Xvfb did not start"
  elif start_helper window1 window Veldar; then
    before=$(ls "$dst" | tr '\n' ' ')
    log_before=$(cat "$(log_file)")
    run /M3 "$(winpath "$src")" "$(winpath "$dst")"
    check "an open instance: a batch start exits 3" [ "$status" = 3 ]
    check "an open instance: a batch start says why it did nothing" \
      contains "$err" "veldar2: a Veldar window is open, so nothing was done"
    check "an open instance: no generation was made" [ "$(ls "$dst" | tr '\n' ' ')" = "$before" ]
    check "an open instance: nothing was logged" [ "$(cat "$(log_file)")" = "$log_before" ]
    run
    check "an open instance: a start without parameters exits 0" [ "$status" = 0 ]
    check "an open instance's window was asked to restore itself" \
      grep -q restore "$work/window1/Veldar.events"
    release_helpers
  else
    fail "the helper could not show a window"
  fi

  # The program's own dialog: it shows the stored job, a second start finds
  # it, and closing it stores what it shows again.
  wine_tool reg delete "$settings_key" /f >/dev/null
  for value in "DEFALUTFILES=5" "LASTFILE=$(winpath "$src")" "LASTOPT=010"; do
    wine_tool reg add "$settings_key\\SETTINGS" /v "${value%%=*}" /t REG_SZ /d "${value#*=}" /f >/dev/null
  done
  (cd "$work" && timeout 120 "$runner" "$work/prog/veldar2.exe" >"$work/dialog.out" 2>&1
   echo $? >"$work/dialog.status") &
  dialog_pid=$!
  # A probe that finds the dialog (exit 3) or, before it is up, is refused
  # without a box and without running anything (exit 2).
  second=""
  for _ in $(seq 1 40); do
    run /M3 /NOMSG "$(winpath "$work/missing")" "$(winpath "$dst")"
    second=$status
    [ "$second" = 3 ] && break
    sleep 0.5
  done
  check "the dialog is up: a batch start exits 3" [ "$second" = 3 ]
  run
  check "the dialog is up: a start without parameters exits 0" [ "$status" = 0 ]
  check "the dialog closes with its close box" wine_tool "$work/prog/helper.exe" close Veldar
  wait "$dialog_pid"
  check "the dialog's start exits 0" [ "$(cat "$work/dialog.status" 2>/dev/null)" = 0 ]
  settings=$(wine_tool reg query "$settings_key\\SETTINGS" | tr -d '\r')
  for value in "DEFALUTFILES=5" "LASTFILE=$(winpath "$src")" "LASTOPT=010" "LASTDIR=" "LOGOPT=11"; do
    check "closing the dialog stores ${value%%=*} as shown" \
      contains "$settings" "${value%%=*}    REG_SZ    ${value#*=}"
  done

  WINEPREFIX="$build/wineprefix-display" wineserver -k </dev/null >/dev/null 2>&1
  unset VELDAR2_WINE_DISPLAY VELDAR2_WINE_PREFIX_NAME
else
  skip "single instance: no Xvfb, and without an X display Wine has no windows"
fi

echo "$failures failure(s)"
exit $((failures > 0))
