# The backup media of the media suite, sourced by run.sh: each one set up in
# a folder of the suite's own, on a real driver (FUSE on a loop device or an
# image file, or a network file system served on the loopback interface), and
# taken down again however the suite ends.
#
# For a medium M (exfat, ntfs, fat32, fat32-uid, smb, sshfs, rclone, rclone-direct):
#   M_missing      prints why the medium cannot be set up here (a missing
#                  program), nothing when it can
#   M_mount DIR    sets the medium up in DIR (first call) or mounts it again
#                  (later calls, over what is kept); sets `mnt`, the folder on
#                  the medium the suite writes into, and `daemon`, the pid of
#                  the process serving it; and `backing`, where the medium
#                  is a folder served from this machine, the folder that
#                  `mnt` shows (empty elsewhere)
# and for all of them:
#   medium_unmount   unmounts cleanly and waits for the driver to end
#   medium_unplug    kills the driver: the medium is gone from under a run
#   medium_remount   after an unplug or an unmount, mounts it again
#
# Everything started is recorded (mounts, loop devices, daemons) and undone by
# media_cleanup, which run.sh calls on exit.

media_mounts=()   # mount points, unmounted lazily by media_cleanup
media_loops=()    # loop devices, detached by media_cleanup
media_daemons=()  # pids of servers and drivers, killed by media_cleanup
medium="" medium_dir="" mnt="" daemon="" backing=""

# needs PROGRAM...: prints the first program that is missing.
needs() {
  local p
  for p in "$@"; do
    command -v "$p" >/dev/null 2>&1 || PATH="$PATH:/usr/sbin:/sbin" command -v "$p" >/dev/null 2>&1 ||
      { echo "$p is not installed (scripts/install-deps.sh media)"; return; }
  done
}

# The pid of the process that serves the mount point DIR: the one whose
# command line holds DIR as a word (the point is a fresh folder of ours).
daemon_of() {
  local p arg
  for p in /proc/[0-9]*; do
    [ "${p#/proc/}" = "$BASHPID" ] && continue
    while IFS= read -r -d '' arg; do
      if [ "$arg" = "$1" ]; then echo "${p#/proc/}"; return 0; fi
    done <"$p/cmdline" 2>/dev/null
  done
  return 1
}
# wait_until SECONDS COMMAND...: polls the command every 0.1 s.
wait_until() {
  local tries=$(($1 * 10))
  shift
  while [ "$tries" -gt 0 ]; do
    "$@" && return 0
    sleep 0.1
    tries=$((tries - 1))
  done
  return 1
}
gone() { [ ! -e "/proc/$1" ] || [ "$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null)" = Z ]; }
# started DIR: the mount at DIR is up; records its driver.
started() {
  wait_until 15 mountpoint -q "$1" || { echo "the driver did not mount $1"; return 1; }
  media_mounts+=("$1")
  daemon=$(daemon_of "$1") || { echo "no process serves $1"; return 1; }
  media_daemons+=("$daemon")
}
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# ---- exFAT: exfat-fuse on a loop device (it refuses a plain file) ----
exfat_missing() {
  local missing
  missing=$(needs mkfs.exfat mount.exfat-fuse losetup)
  [ -n "$missing" ] && { echo "$missing"; return; }
  losetup -f >/dev/null 2>&1 || echo "no free loop device"
}
exfat_mount() {
  local d=$1
  if [ ! -e "$d/image" ]; then
    truncate -s 256M "$d/image" && mkfs.exfat "$d/image" >/dev/null || return 1
    exfat_loop=$(losetup -f --show "$d/image") || return 1
    media_loops+=("$exfat_loop")
  fi
  mkdir -p "$d/mnt"
  mount.exfat-fuse "$exfat_loop" "$d/mnt" >"$d/driver.log" 2>&1 && started "$d/mnt" && mnt=$d/mnt
}

# ---- NTFS: ntfs-3g on an image file, mounted as a desktop mounts it ----
ntfs_missing() { needs mkntfs ntfs-3g; }
ntfs_mount() {
  local d=$1
  if [ ! -e "$d/image" ]; then
    truncate -s 256M "$d/image" && mkntfs -F -Q "$d/image" >/dev/null 2>&1 || return 1
  fi
  mkdir -p "$d/mnt"
  ntfs-3g "$d/image" "$d/mnt" >"$d/driver.log" 2>&1 && started "$d/mnt" && mnt=$d/mnt
}

# ---- FAT32: fusefat in its write mode; fat32-uid maps the owner to a desktop
# user (65534), as a desktop mounts a stick, and root runs the program ----
fat32_missing() { needs mkfs.vfat fusefat; }
fat32_mount() { fat_mount "$1" rw+; }
fat32-uid_missing() { needs mkfs.vfat fusefat; }
fat32-uid_mount() { fat_mount "$1" rw+,uid=65534,gid=65534; }
fat_mount() {
  local d=$1
  if [ ! -e "$d/image" ]; then
    truncate -s 128M "$d/image" && mkfs.vfat -F 32 "$d/image" >/dev/null || return 1
  fi
  mkdir -p "$d/mnt"
  fusefat -o "$2" "$d/image" "$d/mnt" >"$d/driver.log" 2>&1 && started "$d/mnt" && mnt=$d/mnt
}

# ---- SMB: smbd on the loopback interface with a configuration, user database
# and share of its own, reached through smbnetfs (a port of our own, written
# as host:port, so that it meets no other server) ----
smb_missing() { needs smbd smbpasswd smbnetfs python3; }
smb_mount() {
  local d=$1 port
  if [ ! -e "$d/smb.conf" ]; then
    port=$(free_port) || return 1
    mkdir -p "$d"/{lock,state,cache,pid,private,ncalrpc,log,share,home/.smb}
    cat >"$d/smb.conf" <<EOF
[global]
  interfaces = lo
  bind interfaces only = yes
  smb ports = $port
  disable netbios = yes
  server role = standalone server
  map to guest = never
  lock directory = $d/lock
  state directory = $d/state
  cache directory = $d/cache
  pid directory = $d/pid
  private dir = $d/private
  ncalrpc dir = $d/ncalrpc
  log file = $d/log/smbd.log
  passdb backend = tdbsam:$d/private/passdb.tdb
  usershare path =
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  rpc start on demand helpers = no
[share]
  path = $d/share
  read only = no
  force user = root
EOF
    printf 'veldar\nveldar\n' | smbpasswd -c "$d/smb.conf" -a -s root >/dev/null || return 1
    smbd --configfile="$d/smb.conf" --foreground >"$d/log/smbd.out" 2>&1 &
    media_daemons+=($!)
    wait_until 15 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null || { echo "smbd did not listen"; return 1; }
    printf 'auth "root" "veldar"\nhost 127.0.0.1:%s visible=true\n' "$port" >"$d/home/.smb/smbnetfs.conf"
    chmod 600 "$d/home/.smb/smbnetfs.conf"
    echo "$port" >"$d/port"
  fi
  mkdir -p "$d/mnt"
  HOME=$d/home smbnetfs "$d/mnt" >"$d/driver.log" 2>&1 && started "$d/mnt" || return 1
  mnt="$d/mnt/127.0.0.1:$(cat "$d/port")/share"
  wait_until 15 test -d "$mnt" || { echo "the share is not reachable through smbnetfs"; return 1; }
}

# ---- SSH: sshd on a loopback port with a host key and a user key of its own,
# reached through sshfs ----
sshfs_missing() { needs sshd ssh-keygen sshfs python3; }
sshfs_mount() {
  local d=$1
  if [ ! -e "$d/sshd_config" ]; then
    mkdir -p "$d/server" /run/sshd
    ssh-keygen -q -t ed25519 -N '' -f "$d/host_key" && ssh-keygen -q -t ed25519 -N '' -f "$d/user_key" || return 1
    cp "$d/user_key.pub" "$d/authorized_keys"
    cat >"$d/sshd_config" <<EOF
Port $(free_port)
ListenAddress 127.0.0.1
HostKey $d/host_key
AuthorizedKeysFile $d/authorized_keys
PidFile $d/sshd.pid
StrictModes no
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
Subsystem sftp internal-sftp
EOF
    "$(PATH="$PATH:/usr/sbin" command -v sshd)" -D -f "$d/sshd_config" -E "$d/sshd.log" &
    media_daemons+=($!)
    wait_until 15 bash -c "exec 3<>/dev/tcp/127.0.0.1/$(awk '/^Port/ { print $2 }' "$d/sshd_config")" 2>/dev/null ||
      { echo "sshd did not listen"; return 1; }
  fi
  mkdir -p "$d/mnt"
  sshfs -p "$(awk '/^Port/ { print $2 }' "$d/sshd_config")" \
    -o "IdentityFile=$d/user_key,StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,BatchMode=yes" \
    "root@127.0.0.1:$d/server" "$d/mnt" >"$d/driver.log" 2>&1 && started "$d/mnt" && mnt=$d/mnt backing=$d/server
}

# ---- rclone: a mount of a local remote, caching what is written as a cloud
# mount does ----
# rclone-direct mounts it without that cache: writes go straight to the
# remote, and a directory's number follows its path, so for a moment after a
# rename the kernel still shows the number of the old path ----
rclone_missing() { needs rclone; }
rclone_mount() { rclone_with "$1" writes; }
rclone-direct_missing() { needs rclone; }
rclone-direct_mount() { rclone_with "$1" off; }
rclone_with() {  # DIR CACHE-MODE
  local d=$1
  mkdir -p "$d/remote" "$d/mnt" "$d/cache"
  printf '[loc]\ntype = local\n' >"$d/rclone.conf"
  rclone --config "$d/rclone.conf" mount "loc:$d/remote" "$d/mnt" --vfs-cache-mode "$2" \
    --cache-dir "$d/cache" --daemon --log-file "$d/driver.log" && started "$d/mnt" && mnt=$d/mnt backing=$d/remote
}

# ---- local: a folder of the suite's own file system, no driver between; not
# one of the media, but the yardstick the suite's checks are tried on ----
local_missing() { :; }
local_mount() { mkdir -p "$1/mnt" && mnt=$1/mnt daemon=""; }

# medium_up M DIR: sets medium M up in DIR; prints why where it cannot.
medium_up() {
  medium=$1 medium_dir=$2 backing=""
  mkdir -p "$medium_dir"
  "${medium}_mount" "$medium_dir"
}
medium_unmount() {
  local d=$medium_dir/mnt
  if mountpoint -q "$d"; then fusermount -u "$d" 2>/dev/null || fusermount -u -z "$d" || true; fi
  if [ -n "$daemon" ]; then wait_until 20 gone "$daemon" || true; fi
  daemon=""
}
medium_unplug() {
  if [ -n "$daemon" ]; then
    kill -KILL "$daemon" 2>/dev/null || true
    wait_until 10 gone "$daemon" || true
  fi
  daemon=""
}
medium_remount() {
  local d=$medium_dir/mnt
  if mountpoint -q "$d" || [ -n "$(findmnt -rn -o TARGET "$d" 2>/dev/null)" ]; then
    fusermount -u -z "$d" 2>/dev/null || umount -l "$d" 2>/dev/null
  fi
  "${medium}_mount" "$medium_dir"
}

# (Safe under set -e: the benchmark sources this file too.)
media_cleanup() {
  local m p l i
  for ((i = ${#media_mounts[@]} - 1; i >= 0; i--)); do
    m=${media_mounts[i]}
    if findmnt -rn "$m" >/dev/null 2>&1; then fusermount -u -z "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true; fi
  done
  for p in "${media_daemons[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${media_daemons[@]}"; do wait_until 5 gone "$p" || kill -KILL "$p" 2>/dev/null || true; done
  for l in "${media_loops[@]}"; do losetup -d "$l" 2>/dev/null || true; done
  media_mounts=() media_daemons=() media_loops=()
}
