#!/usr/bin/env bash
# Runs the README's two set-up commands on a fresh, minimal Debian 12: a
# debootstrap system (variant minbase, which has no file(1), no sudo, no
# compiler) in DIR, given the committed tree (git archive HEAD, as a clean
# clone has it), with /proc, /sys and /dev mounted. Prints how long each
# command took. As root; needs debootstrap and a Debian mirror.
#
#   scripts/fresh-debian-check.sh DIR [--all | --packages] [MIRROR]
#
# --all runs scripts/test.sh --all as the second command. --packages checks
# the two Debian packages there instead, built here by scripts/package-deb.sh:
# what `apt install --no-install-recommends` of each pulls in (counted, and
# for veldar2 no Qt, Mesa, X, LLVM or font package), and what the
# Recommends would add; with veldar2 alone a batch run, --help, man veldar2,
# and a start without parameters saying where the dialogs are; with
# veldar2-gui too, veldar2 without parameters opening the dialog on an X
# display of Xvfb's. MIRROR defaults to the first one this machine's apt
# sources name. DIR must not exist; it is removed at the end unless KEEP=1
# (the logs are DIR/root/*.log).
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 1 ] && [ ! -e "$1" ] ||
  { echo "usage: fresh-debian-check.sh NEW_DIR [--all | --packages] [MIRROR]" >&2; exit 2; }
root=$(realpath -m "$1")
shift
test_args=()
packages=false
if [ "${1:-}" = --all ]; then test_args=(--all); shift; fi
if [ "${1:-}" = --packages ]; then packages=true; shift; fi
if $packages; then
  scripts/package-deb.sh >/dev/null
  debs=(build-release/veldar2_*_amd64.deb build-release/veldar2-gui_*_amd64.deb)
fi
mirror=${1:-$(grep -h -o -m1 -E 'https?://[^ ]+/debian/?$' /etc/apt/sources.list.d/*.sources /etc/apt/sources.list \
  2>/dev/null | head -n 1 || true)}
mirror=${mirror:-http://deb.debian.org/debian}

unmount() {
  for m in dev sys proc; do
    mountpoint -q "$root/$m" || continue
    # The tests' Wine server outlives them by a minute, holding /dev open.
    for _ in $(seq 1 90); do umount -R "$root/$m" 2>/dev/null && break; sleep 1; done
    mountpoint -q "$root/$m" && umount -R -l "$root/$m"
  done
  return 0
}
finish() {
  unmount
  # Removed only with nothing mounted below it: /dev is the host's own.
  if [ "${KEEP:-0}" != 1 ] && ! findmnt -rn -o TARGET | grep -q "^$root/"; then rm -rf "$root"; fi
}
trap finish EXIT

mkdir -p "$(dirname "$root")"
echo "debootstrap (minbase, bookworm) from $mirror into $root"
start=$SECONDS
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
  { echo "debootstrap failed: $root.debootstrap.log" >&2; exit 1; }
rm -f "$root.debootstrap.log"
echo "debootstrap: $((SECONDS - start)) s"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir "$root/root/veldar2"
git archive HEAD | tar -x -C "$root/root/veldar2"
$packages && cp "${debs[@]}" "$root/root/"
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --rbind /dev "$root/dev"
mount --make-rslave "$root/dev"

status=0
commands=("scripts/demo.sh" "scripts/test.sh ${test_args[*]}")
$packages && commands=("scripts/package-check-in-chroot.sh")
for command in "${commands[@]}"; do
  log=$root/root/$(basename "${command%% *}" .sh).log
  start=$SECONDS
  if chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
       PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
       /bin/bash -c "cd /root/veldar2 && ./$command" >"$log" 2>&1; then
    result=passed
  else
    result="FAILED (see $log)"; status=1
  fi
  printf './%-26s %s in %dm%02ds\n' "$command" "$result" $(((SECONDS - start) / 60)) $(((SECONDS - start) % 60))
  sed -n 's/^/    /; /== Times ==/,$p; /== Packages ==/,$p' "$log"
done
[ $status -eq 0 ] || KEEP=1
exit $status
