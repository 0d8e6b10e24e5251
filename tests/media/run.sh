#!/usr/bin/env bash
# The media suite: runs veldar2 against backup media on their real drivers
# (exFAT, NTFS and FAT32 through FUSE, an SMB share, an SSH server through
# sshfs, an rclone mount), each set up here in a private temporary folder and
# taken down whatever happens, and checks what the program left on them with
# tools that do not share its code (find, cmp, stat):
#
#   tests/media/run.sh VELDAR2 [MEDIUM...]
#
# MEDIUM is one of exfat ntfs fat32 fat32-uid smb sshfs rclone rclone-direct
# (default: all; fat32-uid is FAT32 mounted for a desktop user, uid 65534, run
# by root; rclone-direct an rclone mount without its write cache; local,
# a folder beside the source, is the yardstick the checks themselves are
# tried on).
# On each medium: five runs with a count of 3 and edits between them (new,
# changed, deleted files, a change that keeps the size), with and without
# -LINK; a dry run, -LIST, -VERIFY, two restores; a mirror (count 1) run again with
# nothing changed; two runs at once; the medium unplugged while a run copies a
# larger file, then mounted again; on FAT32 a file over its 4 GiB limit. The
# source holds case twins (README.txt, readme.txt), names some media cannot
# hold (a:b, x?, dot.), a private file and a link.
#
# Every check prints one line ("ok", "FAIL" with what was wrong, or "SKIP" with
# the reason: a medium without /dev/fuse, root or its driver is skipped whole);
# the exit status is 1 when a check failed, 77 when every medium was skipped,
# else 0. Needs root; scripts/install-deps.sh media installs the drivers. Set
# MEDIA_KEEP=DIR to keep each run's output, standard error and log there,
# MEDIA_TRACE=1 to print each run's time and exit status.
set -u

[ $# -ge 1 ] || { echo "usage: tests/media/run.sh VELDAR2 [MEDIUM...]" >&2; exit 2; }
bin=$(realpath "$1")
shift
all_media=(exfat ntfs fat32 fat32-uid smb sshfs rclone rclone-direct)
if [ $# -gt 0 ]; then chosen=("$@"); else chosen=("${all_media[@]}"); fi
here=$(dirname "$(realpath "$0")")
. "$here/media.sh"

passes=0 failures=0 skips=0
ok() { echo "ok: $1"; passes=$((passes + 1)); }
# fail DESCRIPTION [DETAIL...]: the details follow on indented lines.
fail() {
  echo "FAIL: $1"
  shift
  local d
  for d in "$@"; do [ -n "$d" ] && printf '%s\n' "$d" | sed 's/^/      /'; done
  failures=$((failures + 1))
}
skip() { echo "SKIP: $1"; skips=$((skips + 1)); }
# check DESCRIPTION COMMAND...: passes when the command succeeds.
check() {
  local what=$1
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}
# verdict DESCRIPTION PROBLEMS: passes when PROBLEMS (lines) is empty.
verdict() {
  if [ -z "$2" ]; then ok "$1"; return; fi
  local lines
  mapfile -t lines < <(printf '%s\n' "$2" | head -n 4)
  [ "$(printf '%s\n' "$2" | wc -l)" -gt 4 ] && lines+=("... ($(printf '%s\n' "$2" | wc -l) in all)")
  fail "$1" "${lines[@]}"
}

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: every medium: the suite mounts file systems and starts servers, which needs root"
  exit 77
fi
if [ ! -c /dev/fuse ]; then
  echo "SKIP: every medium: no /dev/fuse (FUSE is not available here)"
  exit 77
fi
[ -x "$bin" ] || { echo "FAIL: no program at $bin"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/veldar2-media.XXXXXX")
mkfifo "$work/never" && exec {never}<>"$work/never"
cleanup() {
  media_cleanup
  rm -rf --one-file-system "$work" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The program's texts in English, its settings and log in the suite's folder,
# no desktop notification.
export LANGUAGE=en
unset LC_ALL DBUS_SESSION_BUS_ADDRESS
run_timeout=120

# run NAME ARGUMENT...: runs the program; keeps its output, standard error
# and the log of this run alone as $runs/NAME.{out,err,log}; sets status.
run() {
  local name=$1
  shift
  rm -f "$XDG_STATE_HOME/VELDAR2/VELDAR2.LOG"
  local t0=$EPOCHREALTIME
  timeout -k 5 "$run_timeout" "$bin" "$@" >"$runs/$name.out" 2>"$runs/$name.err" </dev/null
  status=$?
  settle
  [ -n "${MEDIA_TRACE:-}" ] && echo "   ($name: $(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }') s, exit $status)"
  took_log "$name"
}
took_log() {
  sed -E 's/^[0-9]+ : [0-9/]+ [0-9:]+ : //' "$XDG_STATE_HOME/VELDAR2/VELDAR2.LOG" >"$runs/$1.log" 2>/dev/null ||
    : >"$runs/$1.log"
}
first_lines() { head -n "${2:-3}" "$runs/$1.err"; }
# The lines of a run that report something not done: those of its log that
# say nothing was done well, and its standard error.
failure_lines() {
  grep -Ev '^(Start with parameter|File Copied :|File Linked :|File Cloned :|Directory Created :|rename directory :|File Deleted :|Directory Deleted :|Not update|End :|Exclude :)' \
    "$runs/$1.log"
  cat "$runs/$1.err"
}
# copied RUN ROOT: the paths below ROOT of the files the run logged as copied
# ("File Copied : FROM to TO"); with `targets` set, the paths of the copies.
copied() {
  local line from to
  while IFS= read -r line; do
    line=${line#File Copied : }
    from=${line%% to *} to=${line#* to }
    if [ -n "${targets:-}" ]; then echo "${to#"$2"/}"; else echo "${from#"$2"/}"; fi
  done < <(grep '^File Copied : ' "$runs/$1.log")
}

# ---- The source and its edits ----
T0=1700000001  # the times the source's files start with, nanoseconds added
make_source() {  # DIR
  local d=$1
  mkdir -p "$d/sub/deep" "$d/empty"
  printf 'version 1' >"$d/a.txt"  # "version N": the round the copy is of
  printf 'bravo\n' >"$d/b.txt"
  printf 'charlie\n' >"$d/c.txt"
  printf 'delta\n' >"$d/sub/d.txt"
  head -c 8192 /dev/urandom >"$d/sub/e.bin"
  printf 'foxtrot\n' >"$d/sub/deep/f.txt"
  printf 'upper case\n' >"$d/README.txt"
  printf 'lower case, longer\n' >"$d/readme.txt"
  printf 'colon\n' >"$d/a:b"
  printf 'question mark\n' >"$d/x?"
  printf 'trailing dot\n' >"$d/dot."
  printf 'private\n' >"$d/secret.txt"
  chmod 600 "$d/secret.txt"
  ln -s a.txt "$d/link"
  find "$d" -exec touch -h -d "@$T0.123456789" {} +
}
# edit DIR ROUND: the edits before a round's run: a.txt changes keeping its
# size, c.txt grows, a new file comes, one goes (changed_in lists them), each
# a hundred seconds later than the last round's.
edit() {
  local d=$1 r=$2
  printf 'version %d' "$r" >"$d/a.txt"
  printf 'round %d\n' "$r" >>"$d/c.txt"
  printf 'new in round %d\n' "$r" >"$d/new$r.txt"
  if [ "$r" = 2 ]; then rm "$d/sub/deep/f.txt"; else rm -f "$d/new$((r - 1)).txt"; fi
  touch -d "@$((T0 + r * 100)).987654321" "$d/a.txt" "$d/c.txt" "$d/new$r.txt"
}
changed_in() { printf '%s\n' a.txt c.txt "new$1.txt"; }
snapshot() { cp -a "$src" "$snaps/$1"; }  # ROUND

# ---- What the medium keeps, found with the shell ----
probe_medium() {
  local p=$mnt/probe n
  refused=() folds=0 hardlinks=0 symlinks=0 perms=0 gens=1
  mkdir "$p" || return 1
  # Whether a directory renamed keeps what it holds, readable at once
  # (fusefat's write mode loses it, an rclone mount caching writes cannot
  # read it until it is uploaded; the program then builds each generation
  # under its own name instead).
  # Listed, not looked up: the kernel's cache of names still finds what the
  # driver lost. Renamed back before it goes, as the program's probe does.
  mkdir "$p/d" && printf v >"$p/d/x" && mv "$p/d" "$p/e" && ls "$p/e" | grep -qx x &&
    [ "$(cat "$p/e/x" 2>/dev/null)" = v ] || gens=0
  mv "$p/e" "$p/d" 2>/dev/null
  rm -rf "$p/d" "$p/e"
  printf x >"$p/Case.txt"
  [ -e "$p/case.txt" ] && folds=1
  for n in 'a:b' 'x?' 'dot.'; do
    { : >"$p/$n"; } 2>/dev/null
    # smbnetfs loses its connection for a few seconds over a name the
    # server refuses.
    settle
    ls -a "$p" | grep -qxF -- "$n" || refused+=("$n")
  done
  ln "$p/Case.txt" "$p/hard" 2>/dev/null && hardlinks=1
  ln -s Case.txt "$p/soft" 2>/dev/null && [ -L "$p/soft" ] && symlinks=1
  chmod 600 "$p/Case.txt" 2>/dev/null && [ "$(stat -c %a "$p/Case.txt")" = 600 ] && perms=1
  touch -d "@$T0.123456789" "$p/Case.txt" 2>/dev/null
  time_kept=$(stat -c %.9Y "$p/Case.txt")
  rm -rf "$p"
  local says="case $([ $folds = 1 ] && echo ignored || echo kept); refuses: ${refused[*]:-none};"
  says+=" hard links $([ $hardlinks = 1 ] && echo yes || echo no); symlinks $([ $symlinks = 1 ] && echo yes || echo no);"
  says+=" permissions $([ $perms = 1 ] && echo kept || echo "not kept"); $T0.123456789 reads back as $time_kept;"
  says+=" a renamed directory $([ $gens = 1 ] && echo "keeps what it holds" || echo "loses what it holds or cannot read it back: generations built in place")"
  echo "== $medium: $says"
}
# settle: waits until the medium answers again (at most 15 s): smbnetfs
# answers every call to a server with EIO for a few seconds after one failed.
settle() { wait_until 15 answers; }
answers() { mkdir "$mnt/.settle" 2>/dev/null && rmdir "$mnt/.settle" 2>/dev/null; }
refuses() {  # NAME: whether the medium cannot hold the name
  local n
  for n in "${refused[@]}"; do [ "$n" = "$1" ] && return 0; done
  return 1
}
# The status a backup run of the source should end with: 1 where the medium
# cannot hold some of its names, else 0.
expected_status() { if [ ${#refused[@]} -gt 0 ] || [ $folds = 1 ]; then echo 1; else echo 0; fi; }

# compare COPY SNAPSHOT [RUN]: what differs between a copy on the medium and
# the source it was made from, one problem a line. A name the medium cannot
# hold may be missing (with RUN, only where a failure line of that run names
# it), and so may one of two names that differ only in case where the medium
# ignores case; every other name must be there, of the same kind, with the
# same content (a file) or target (a link). Where the medium holds no links, a
# link may be missing where any line of RUN names it.
compare() {
  local copy=$1 snap=$2 run=${3:-} p q base twin
  local -A have=() want=()
  while IFS= read -r -d '' p; do have[$p]=1; done < <(cd "$copy" 2>/dev/null && find . -mindepth 1 -printf '%P\0')
  while IFS= read -r -d '' p; do want[$p]=1; done < <(cd "$snap" && find . -mindepth 1 -printf '%P\0')
  for p in "${!want[@]}"; do
    if [ -n "${have[$p]:-}" ]; then
      if [ -L "$snap/$p" ]; then
        [ -L "$copy/$p" ] && [ "$(readlink "$copy/$p")" = "$(readlink "$snap/$p")" ] || echo "not the same link: $p"
      elif [ -d "$snap/$p" ]; then
        [ -d "$copy/$p" ] && [ ! -L "$copy/$p" ] || echo "not a directory: $p"
      else
        [ -f "$copy/$p" ] && [ ! -L "$copy/$p" ] && cmp -s "$copy/$p" "$snap/$p" || echo "content differs: $p"
      fi
      continue
    fi
    [ "${p%/*}" != "$p" ] && [ -z "${have[${p%/*}]:-}" ] && continue  # its directory is missing: said there
    base=${p##*/}
    twin=""
    if [ $folds = 1 ]; then
      for q in "${!want[@]}"; do
        [ "$q" != "$p" ] && [ "${q,,}" = "${p,,}" ] && [ -n "${have[$q]:-}" ] && twin=$q
      done
    fi
    if [ -L "$snap/$p" ] && [ $symlinks = 0 ]; then
      [ -z "$run" ] || grep -qF -- "/$p" "$runs/$run.log" "$runs/$run.err" || echo "link left out without a word: $p"
    elif refuses "$base" || [ -n "$twin" ]; then
      [ -z "$run" ] || failure_lines "$run" | grep -qF -- "/$p" ||
        echo "missing, and no failure line names it: $p$([ -n "$twin" ] && echo " (case twin of $twin)")"
    else
      echo "missing, though the medium holds such a name: $p"
    fi
  done
  for p in "${!have[@]}"; do
    [ "$p" = .veldar2-manifest ] && continue  # the copy's own list of its files
    [ -n "${want[$p]:-}" ] || echo "not in the source: $p"
  done
}

# The generations of the source in BACKUP: "NAME ROUND" a line, ROUND being
# the round its a.txt says it was made in ("?" where it says none). A
# directory marked as no generation (being built or deleted under its name)
# is none.
# (Listed, not globbed: smbnetfs drops its connection for a few seconds over
# the look-up of a name holding "*".)
generations() {
  local g r
  while IFS= read -r -d '' g; do
    [[ $g =~ ^docs_[0-9]+$ ]] && [ ! -e "$1/.$g.veldar2-part" ] || continue
    r=$(cat "$1/$g/a.txt" 2>/dev/null)
    r=${r#version }
    echo "$g ${r:-?}"
  done < <(find "$1" -mindepth 1 -maxdepth 1 -type d -printf '%P\0' 2>/dev/null)
}
# check_generations LABEL BACKUP ROUND RUN: after RUN made the generation of
# ROUND (which `made` lists), the backup directory holds the generations of
# the last three rounds that made one, each equal to its source, and nothing
# else.
check_generations() {
  local label=$1 bk=$2 r=$3 run=$4 g
  g=$(newest "$bk" "$r")
  if [ -n "$g" ]; then
    ok "$label: a generation for the run"
    verdict "$label: the new generation equals the source of the run" "$(compare "$bk/$g" "$snaps/$r" "$run")"
  else
    fail "$label: a generation for the run" "generations (name round): $(generations "$bk" | tr '\n' ' ')"
  fi
  check_kept "$label" "$bk" "$r"
}
# check_kept LABEL BACKUP [ROUND [ALL]]: the generations of the last three
# rounds that made one (`made`), but ROUND's, are as they were made, no other
# generation is there, and (unless ALL is "generations") nothing else is in
# the backup directory.
check_kept() {
  local label=$1 bk=$2 r=${3:-} name round problems="" others olders=0
  local -a want=("${made[@]}")
  local -A got=()
  [ ${#want[@]} -gt 3 ] && want=("${want[@]: -3}")
  while read -r name round; do got[$round]=$name; done < <(generations "$bk")
  for round in "${!got[@]}"; do
    [[ " ${want[*]} " == *" $round "* ]] || problems+="a generation that should not be there (round $round): ${got[$round]}"$'\n'
  done
  for round in "${want[@]}"; do
    [ "$round" = "$r" ] && continue
    olders=$((olders + 1))
    if [ -z "${got[$round]:-}" ]; then problems+="the generation of round $round is gone"$'\n'
    else problems+=$(compare "$bk/${got[$round]}" "$snaps/$round" | sed "s|^|${got[$round]} (round $round): |"); fi
  done
  if [ $olders -gt 0 ] || [ -n "$problems" ]; then
    verdict "$label: the older generations are as they were" "${problems%$'\n'}"
  fi
  [ "${4:-}" = generations ] && return
  others=$(cd "$bk" && find . -mindepth 1 -maxdepth 1 -printf '%P\n' | grep -Ev '^docs_[0-9]+$')
  verdict "$label: nothing but generations in the backup directory" "$others"
}
# check_copied LABEL RUN ROUND SOURCE: the run copied no file left as it was
# since the last run.
check_copied() {
  local label=$1 run=$2 r=$3 from=$4 p again=""
  local -A changed=()
  for p in $(changed_in "$r"); do changed[$p]=1; done
  # A link holds no data: making it again is no copy.
  while IFS= read -r p; do
    [ -n "${changed[$p]:-}" ] || [ -L "$from/$p" ] || again+="$p"$'\n'
  done < <(copied "$run" "$from")
  verdict "$label: no unchanged file copied again" "$(printf '%s' "$again" | sed 's/^/copied again: /')"
}
# check_copies_there LABEL RUN TARGET-ROOT COPY: each file the run logged as
# copied below TARGET-ROOT is in COPY, under that very name.
check_copies_there() {
  local p absent="" rel
  local -A listed=()
  while IFS= read -r -d '' p; do listed[$p]=1; done < <(cd "$4" && find . -mindepth 1 -printf '%P\0')
  while IFS= read -r p; do
    rel=$p
    [ "$4" != "$3" ] && rel=${p#*/}  # below the working directory or generation
    [ -n "${listed[$rel]:-}" ] || absent+="$rel"$'\n'
  done < <(targets=1 copied "$2" "$3")
  verdict "$1: every file logged as copied is in the copy" "$(printf '%s' "$absent" | sed 's/^/logged "File Copied" but not there: /')"
}
newest() {  # BACKUP ROUND: the name of the generation of ROUND
  generations "$1" | awk -v r="$2" '$2 == r { print $1 }'
}
status_is() {  # LABEL RUN WANT...
  local label=$1 run=$2 w
  shift 2
  for w in "$@"; do [ "$status" = "$w" ] && { ok "$label: exit status $status"; return; }; done
  fail "$label: exit status $status, not $*" "$(first_lines "$run")"
}

# ---- The scenarios of one medium ----
# rounds VARIANT ROUND...: the runs of a backup directory with (link) or
# without (plain) -LINK, one per round.
rounds() {
  local v=$1 r bk label g
  local -n made=made_$v
  shift
  bk=$mnt/bk-$v
  mkdir -p "$bk"
  for r in "$@"; do
    label="$medium, ${v}, run $r"
    run "$v-$r" -M3 -NOMSG $([ "$v" = link ] && echo -LINK) "$src" "$bk"
    status_is "$label" "$v-$r" "$(expected_status)"
    if [ -n "$(newest "$bk" "$r")" ]; then made+=("$r"); fi
    check_generations "$label" "$bk" "$r" "$v-$r"
    [ -n "$(newest "$bk" "$r")" ] && check_copies_there "$label" "$v-$r" "$bk" "$bk/$(newest "$bk" "$r")"
    if [ "$r" -ge 2 ] && [ "$v" = link ] && [ $hardlinks = 1 ]; then
      check_copied "$label" "$v-$r" "$r" "$src"
      g=$(newest "$bk" "$r")
      # (Counted on the server where the medium is served from here: sshfs
      # shows every file with one link.)
      [ -n "$g" ] && check "$label: an unchanged file shares its data with the older generations (link count)" \
        [ "$(stat -c %h "${backing:-$mnt}${bk#"$mnt"}/$g/b.txt" 2>/dev/null)" -ge 2 ]
    fi
  done
}

# private_file LABEL COPY RUN: the copy of the private file is private too
# where the medium keeps permissions; where it makes the copy readable by
# others, the run said so, once on standard error and once in its log.
private_file() {
  local label=$1 copy=$2 run=$3 mode n
  mode=$(stat -c %a "$copy" 2>/dev/null) || { fail "$label: the private file was not copied"; return; }
  if [ $perms = 1 ]; then
    check "$label: the private file's copy is private too (mode $mode)" [ "$mode" = 600 ]
  elif [ $((0$mode & 044)) = 0 ]; then
    ok "$label: the private file's copy is private (mode $mode)"
  else
    n=$(grep -ciE 'private|readable' "$runs/$run.err")
    check "$label: warns once on standard error that private files become readable (the copy's mode is $mode)" [ "$n" = 1 ]
    n=$(grep -ciE 'private|readable' "$runs/$run.log")
    check "$label: warns once in the log that private files become readable" [ "$n" = 1 ]
  fi
}

dry_run() {  # ROUND: with the edits of ROUND made and not yet backed up
  local bk=$mnt/bk-plain before after p missing="" oldest
  # (The backup directory's own time may change: a dry run takes the lock.)
  before=$(cd "$bk" && find . -mindepth 1 -printf '%p %s %T@ %m\n' | sort)
  run dry -DRYRUN -M3 "$src" "$bk"
  after=$(cd "$bk" && find . -mindepth 1 -printf '%p %s %T@ %m\n' | sort)
  status_is "$medium, dry run" dry 0
  verdict "$medium, dry run: the backup directory is as it was" \
    "$(diff <(echo "$before") <(echo "$after") | grep '^[<>]')"
  for p in $(changed_in "$1"); do grep -qE "^(copy|share) +$p\$" "$runs/dry.out" || missing+="no copy line for $p"$'\n'; done
  verdict "$medium, dry run: lists the changed files" "${missing%$'\n'}"
  oldest=$(generations "$bk" | sort -k2 -n | head -n1 | cut -d' ' -f1)
  if [ -n "$oldest" ]; then
    # (Where generations are built in place, the oldest is deleted after.)
    check "$medium, dry run: names the generation it would recycle ($oldest)" \
      grep -qE "^$([ $gens = 1 ] && echo recycle || echo retire) +.*/$oldest\$" "$runs/dry.out"
  else
    fail "$medium, dry run: no generation to recycle"
  fi
}

two_at_once() {  # ROUND
  local r=$1 bk=$mnt/bk-plain a holds=0 first second dev
  dev=$(printf '%02x:%02x' $(stat -c '%Hd %Ld' "$bk"))
  rm -f "$XDG_STATE_HOME/VELDAR2/VELDAR2.LOG"
  "$bin" -M3 -NOMSG "$src" "$bk" >"$runs/first.out" 2>"$runs/first.err" </dev/null &
  a=$!
  # The first run goes on in steps of a few milliseconds until it holds a
  # lock on the medium (the kernel's list of locks says so), and is then held
  # still, so that the second surely finds the backup directory taken however
  # quick the first one is.
  kill -STOP "$a"
  for _ in $(seq 1 6000); do
    holds_lock "$a" "$dev" && { holds=1; break; }
    gone "$a" && break
    kill -CONT "$a"
    nap
    kill -STOP "$a"
  done
  [ $holds = 1 ] && { run second -M3 -NOMSG "$src" "$bk"; second=$status; }
  kill -CONT "$a"
  wait_for "$a"
  first=$status
  settle
  took_log first
  [ -n "$(newest "$bk" "$r")" ] && made+=("$r")
  status_is "$medium, two runs at once: the first" first "$(expected_status)"
  if [ $holds = 1 ]; then
    status=$second
    status_is "$medium, two runs at once: the second" second 3
    check "$medium, two runs at once: the second says another run holds the backup directory" \
      grep -q "another run" "$runs/second.err"
  else
    skip "$medium, two runs at once: the first run ended (exit $first) before it held a lock on the medium"
  fi
  check_generations "$medium, two runs at once" "$bk" "$r" first
}
# nap: a pause of a few milliseconds without starting a process (a read that
# times out on a pipe nobody writes to).
nap() { read -r -t 0.003 -u "$never" _; }
# holds_lock PID DEVICE: whether the process holds a lock on a file of the
# device ("major:minor" in hexadecimal, as /proc/locks writes it).
holds_lock() { awk -v p="$1" -v d="$2:" '$5 == p && index($6, d) == 1 { f = 1 } END { exit !f }' /proc/locks; }
wait_for() {  # PID: waits at most run_timeout seconds; sets status
  local t=$((run_timeout * 10))
  while [ $t -gt 0 ] && ! gone "$1"; do sleep 0.1; t=$((t - 1)); done
  gone "$1" || kill -KILL "$1" 2>/dev/null
  wait "$1" 2>/dev/null
  status=$?
}

list_and_restore() {  # ROUND
  local r=$1 bk=$mnt/bk-plain g name
  g=$(newest "$bk" "$r")
  # rclone with its write cache gives a file opened while its upload is
  # queued the wrong time once uploaded (rclone issue 9637): what was just
  # written is read only once rclone has uploaded it (5 s after each write).
  [ "$medium" = rclone ] && sleep 6
  run list -LIST -JSON "$src" "$bk"
  status_is "$medium, -LIST" list 0
  name=$(grep '"number":1,' "$runs/list.out" | sed -E 's/.*"name":"([^"]*)".*/\1/')
  check "$medium, -LIST: three generations, the newest ($g) first" \
    [ "$(grep -c '"state":"complete"' "$runs/list.out"):$name" = "3:$g" ]
  run verify -VERIFY "$src" "$bk"
  status_is "$medium, -VERIFY: every generation holds what it was written with" verify 0
  mkdir -p "$medium_dir/restored"
  run restore -RESTORE1 -NOMSG "$src" "$bk" "$medium_dir/restored"
  status_is "$medium, -RESTORE1" restore 0
  verdict "$medium, -RESTORE1: the restored tree equals the source of the run" \
    "$(compare "$medium_dir/restored/docs" "$snaps/$r")"
  run restore-again -RESTORE1 -NOMSG "$src" "$bk" "$medium_dir/restored"
  status_is "$medium, -RESTORE1 again" restore-again 0
  verdict "$medium, -RESTORE1 again: copies no file again" \
    "$(copied restore-again "$bk/$g" | sed 's/^/copied again: /')"
}

mirror() {
  local m=$mnt/mirror msrc=$medium_dir/mirror-src
  cp -a "$snaps/1" "$msrc"
  mkdir -p "$m"
  run mirror-1 -M1 -NOMSG "$msrc" "$m"
  status_is "$medium, mirror" mirror-1 "$(expected_status)"
  verdict "$medium, mirror: equals the source" "$(compare "$m" "$msrc" mirror-1)"
  private_file "$medium, mirror" "$m/secret.txt" mirror-1
  run mirror-2 -M1 -NOMSG "$msrc" "$m"
  status_is "$medium, mirror again, nothing changed" mirror-2 "$(expected_status)"
  verdict "$medium, mirror again, nothing changed: copies nothing" "$(copied mirror-2 "$msrc" | sed 's/^/copied again: /')"
  edit "$msrc" 2
  cp -a "$msrc" "$snaps/mirror"
  run mirror-3 -M1 -NOMSG "$msrc" "$m"
  status_is "$medium, mirror after edits" mirror-3 "$(expected_status)"
  verdict "$medium, mirror after edits: equals the source" "$(compare "$m" "$snaps/mirror" mirror-3)"
  check_copied "$medium, mirror after edits" mirror-3 2 "$msrc"
  check_copies_there "$medium, mirror after edits" mirror-3 "$m" "$m"
}

too_large() {
  local s=$medium_dir/large/big bk=$mnt/bk-large g="" copy
  mkdir -p "$s" "$bk"
  printf 'small\n' >"$s/small.txt"
  truncate -s $((4 * 1024 * 1024 * 1024 + 1)) "$s/huge.bin"
  mkdir -p "$snaps/large" && cp -a "$s/small.txt" "$snaps/large/"
  run large -M3 -NOMSG "$s" "$bk"
  status_is "$medium, a file over 4 GiB" large 1
  g=$(find "$bk" -mindepth 1 -maxdepth 1 -name 'big_[0-9]*' -printf '%P\n' | head -n1)
  check "$medium, a file over 4 GiB: the generation is made" [ -n "$g" ]
  copy=$bk/$g
  check "$medium, a file over 4 GiB: the small file is in the copy" cmp -s "$copy/small.txt" "$s/small.txt"
  check "$medium, a file over 4 GiB: no copy of it" [ ! -e "$copy/huge.bin" ]
  if failure_lines large | grep -qF /huge.bin; then ok "$medium, a file over 4 GiB: a failure line names it"
  else fail "$medium, a file over 4 GiB: a failure line names it"; fi
  verdict "$medium, a file over 4 GiB: nothing else left in the backup directory" \
    "$(cd "$bk" && find . -mindepth 1 -maxdepth 1 -printf '%P\n' | grep -vxF -e "$g" -e small.txt -e .veldar2-manifest)"
}

unplug() {  # ROUND
  local r=$1 bk=$mnt/bk-plain a size=8 copying=0 f
  [[ $medium == fat32* ]] && size=4  # fusefat writes at a few MB/s
  head -c $((size * 1024 * 1024)) /dev/urandom >"$src/big.bin"
  touch -d "@$((T0 + r * 100)).5" "$src/big.bin"
  snapshot "$r"
  [ -n "$daemon" ] || { skip "$medium, unplugged: no driver to take away"; return; }
  # What earlier runs wrote is on the medium before it goes.
  medium_unmount
  medium_remount >"$medium_dir/remount.txt" 2>&1 || { fail "$medium: mounted again before the unplug" "$(cat "$medium_dir/remount.txt")"; return; }
  rm -f "$XDG_STATE_HOME/VELDAR2/VELDAR2.LOG"
  "$bin" -M3 -NOMSG "$src" "$bk" >"$runs/unplugged.out" 2>"$runs/unplugged.err" </dev/null &
  a=$!
  # The run goes on in small steps until it has big.bin open on the medium;
  # the medium goes while it is held still there.
  kill -STOP "$a"
  for _ in $(seq 1 20000); do
    for f in /proc/"$a"/fd/*; do
      case $(readlink "$f" 2>/dev/null) in "$mnt"/*big.bin*) copying=1 ;; esac
    done
    [ $copying = 1 ] && break
    gone "$a" && break
    kill -CONT "$a"
    nap
    kill -STOP "$a"
  done
  if [ $copying = 0 ]; then
    kill -CONT "$a"
    wait_for "$a"
    skip "$medium, unplugged: the run ended (exit $status) before it copied big.bin: $(head -n1 "$runs/unplugged.err")"
    return
  fi
  medium_unplug
  kill -CONT "$a"
  wait_for "$a"
  took_log unplugged
  status_is "$medium, unplugged during a run" unplugged 2
  # The failed operation and what stopped the run, not one line per file left
  # (the names the medium cannot hold are left out before anything is copied,
  # and are no failure of the medium).
  local n
  n=$(failure_lines unplugged | grep -F -- "$mnt/" | grep -cF "ERR = ")
  check "$medium, unplugged: the run stops at the first error ($n failure lines about the medium)" [ "$n" -le 2 ]
  medium_remount >"$medium_dir/remount.txt" 2>&1 || { fail "$medium: mounted again after the unplug" "$(cat "$medium_dir/remount.txt")"; return; }
  ok "$medium: mounted again after the unplug"
  # The working directory may stay for the next run, and the lock file of a
  # run whose medium went away cannot go with it.
  check_kept "$medium, after the unplug" "$bk" "" generations
  run after-unplug -M3 -NOMSG "$src" "$bk"
  status_is "$medium, the run after the unplug" after-unplug "$(expected_status)"
  [ -n "$(newest "$bk" "$r")" ] && made+=("$r")
  check_generations "$medium, the run after the unplug" "$bk" "$r" after-unplug
}

# left_behind: none of the program's own names (its lock file, working and
# temporary names, the folders of its probe; but the manifests, a copy's and
# those beside file generations) is left on the medium, read
# where the medium is served from; on an rclone mount once it has uploaded
# what it holds (5 s after each write).
left_behind() {
  [ -n "$backing" ] || return 0
  [[ $medium == rclone* ]] && sleep 6
  verdict "$medium: none of the program's own names left on the medium" \
    "$(cd "$backing" && find . -mindepth 1 \( -name '.~*.tmp' -o -name '*veldar2*' \) ! -name '*.veldar2-manifest' -printf '%P\n')"
}

test_medium() {
  local m=$1 why
  why=$("${m}_missing")
  if [ -n "$why" ]; then skip "$m: $why"; return 1; fi
  local d=$work/$m
  mkdir -p "$d"
  export XDG_CONFIG_HOME=$d/config XDG_STATE_HOME=$d/state
  runs=$d/runs snaps=$d/snapshots src=$d/source/docs
  mkdir -p "$runs" "$snaps" "$d/source"
  local start=$SECONDS
  if ! medium_up "$m" "$d/medium" >"$d/setup.txt" 2>&1; then
    fail "$m: set up" "$(tail -n 3 "$d/setup.txt")" "$(tail -n 3 "$d/medium/driver.log" 2>/dev/null)"
    media_cleanup
    return 0
  fi
  probe_medium || { fail "$m: the medium could not be written by the shell"; media_cleanup; return; }
  make_source "$src"
  snapshot 1
  local v r g
  made_plain=() made_link=()
  local -n made=made_plain
  for r in 1 2 3 4 5; do
    [ "$r" = 1 ] || { edit "$src" "$r"; snapshot "$r"; }
    for v in plain link; do rounds "$v" "$r"; done
    g=$(newest "$mnt/bk-plain" 1)
    [ "$r" = 1 ] && [ -n "$g" ] && private_file "$medium, plain, run 1" "$mnt/bk-plain/$g/secret.txt" plain-1
  done
  [ $hardlinks = 1 ] || skip "$medium, link: no unchanged file copied again (the medium holds no hard links, so each generation is a whole copy)"
  edit "$src" 6
  snapshot 6
  dry_run 6
  two_at_once 6
  list_and_restore 6
  mirror
  [ "$m" = fat32 ] && too_large
  edit "$src" 7
  unplug 7
  left_behind
  medium_unmount
  media_cleanup
  [ -n "${MEDIA_KEEP:-}" ] && mkdir -p "$MEDIA_KEEP/$m" && cp -a "$runs/." "$MEDIA_KEEP/$m/"
  rm -rf --one-file-system "$d"
  echo "== $m: $((SECONDS - start)) s"
}

tested=0
for m in "${chosen[@]}"; do
  if ! declare -F "${m}_mount" >/dev/null; then
    fail "unknown medium: $m (one of: ${all_media[*]})"
    continue
  fi
  test_medium "$m" && tested=1
done

echo "$passes passed, $failures failed, $skips skipped"
[ $failures -gt 0 ] && exit 1
[ $tested = 0 ] && exit 77
exit 0
