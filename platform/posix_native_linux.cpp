// The calls of posix_native.h on Linux. os_posix.cpp's header comment says how
// the Windows facilities are realised on POSIX; these are the parts of it that
// Linux does with calls of its own:
//
//  - An entry's status is statx(2) relative to a directory's descriptor,
//    without following a final link unless asked and without triggering an
//    automount (a listing makes one statx per entry). The creation time is
//    statx's birth time where the file system reports one, else the
//    last-write time; the number of links is stx_nlink; the mount id
//    (STATX_MNT_ID) tells a bind mount from its parent.
//  - A rename that never replaces is renameat2(RENAME_NOREPLACE); a file
//    system that does not know the flag refuses it with EINVAL (FUSE media,
//    the NFS client; some with EOPNOTSUPP, an old kernel with ENOSYS), and
//    the core then links and unlinks a file. Swapping two entries is
//    renameat2(RENAME_EXCHANGE).
//  - Block cloning (FSCTL_DUPLICATE_EXTENTS_TO_FILE) is ioctl(FICLONE); its
//    EOPNOTSUPP, EXDEV, EINVAL and ENOTTY all mean the two files cannot be
//    cloned, and are reported as EOPNOTSUPP. Whether a directory can clone is
//    told by its file system's type (XFS, btrfs, bcachefs and OCFS2 may) and
//    then by trying it, on one byte between two O_TMPFILE files.
//  - Content is copied with copy_file_range(2), which clones where the file
//    system can; the core reads and writes where it refuses.
//  - FlushFileBuffers on a volume is syncfs(2) on a directory of it.
//  - Unnamed files (the delete-on-close scratch file, the clone probe) are
//    O_TMPFILE; EOPNOTSUPP, EISDIR (a kernel without it takes the flag for
//    O_DIRECTORY) and EINVAL are reported as EOPNOTSUPP.
//  - The file system's type (fstatfs) decides the time resolution: 2 s on
//    FAT, 10 ms on exFAT, 100 ns on NTFS and SMB, exact elsewhere. FAT,
//    exFAT, NTFS, SMB and FUSE file systems (ntfs-3g, exfat-fuse) count as
//    keeping no permissions: their mount options decide them, and setting
//    them fails or changes nothing. The kind the mount table gives
//    (/proc/self/mountinfo, found by the mount id) tells a FUSE driver's
//    name ("fuse.sshfs"): FAT through fusefat (4 GiB - 1 files) and SMB
//    through smbnetfs, whose refused names are known without trying.

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/posix_native.h"

namespace veldar::native {
namespace {

void FillStatus(const struct statx& sx, FileStatus* status) {
  FillFromMode(sx.stx_mode, status);
  status->mtimeSec = sx.stx_mtime.tv_sec;
  status->mtimeNsec = sx.stx_mtime.tv_nsec;
  status->birthSec = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_mtime.tv_sec;
  status->birthNsec = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_nsec : sx.stx_mtime.tv_nsec;
  status->size = sx.stx_size;
  status->allocated = sx.stx_blocks * 512;
  status->links = sx.stx_nlink;
  status->owner = sx.stx_uid;
  status->group = sx.stx_gid;
  status->device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  status->inode = sx.stx_ino;
  status->mountId = (sx.stx_mask & STATX_MNT_ID) ? sx.stx_mnt_id : 0;
}

constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME | STATX_MNT_ID;

int Statx(int dirfd, const char* name, int flags, FileStatus* status) {
  struct statx sx;
  if (statx(dirfd, name, flags, kStatxMask, &sx) != 0) return LastError();
  FillStatus(sx, status);
  return 0;
}

// File system magic numbers <linux/magic.h> may lack.
constexpr unsigned long kExfatMagic = 0x2011BAB0;
constexpr unsigned long kNtfsMagic = 0x5346544e;
constexpr unsigned long kNtfs3Magic = 0x7366746e;
constexpr unsigned long kCifsMagic = 0xFF534D42;
constexpr unsigned long kSmb2Magic = 0xFE534D42;
constexpr unsigned long kBcachefsMagic = 0xca451a4e;
constexpr unsigned long kFuseMagic = 0x65735546;

}  // namespace

int StatusAt(int dirfd, const char* name, bool followLink, FileStatus* status) {
  return Statx(dirfd, name, (followLink ? 0 : AT_SYMLINK_NOFOLLOW) | AT_NO_AUTOMOUNT | AT_STATX_SYNC_AS_STAT, status);
}

int StatusOf(int fd, FileStatus* status) { return Statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, status); }

int FreshStatusAt(int dirfd, const char* name, FileStatus* status) {
  const int self = name[0] == '\0' ? AT_EMPTY_PATH : 0;
  return Statx(dirfd, name, self | AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_FORCE_SYNC, status);
}

int RenameNoReplace(int fromFd, const char* from, int toFd, const char* to) {
  if (renameat2(fromFd, from, toFd, to, RENAME_NOREPLACE) == 0) return 0;
  const int code = LastError();
  return code == EINVAL || code == EOPNOTSUPP ? ENOSYS : code;
}

int Exchange(int dirfd, const char* a, const char* b) {
  if (renameat2(dirfd, a, dirfd, b, RENAME_EXCHANGE) == 0) return 0;
  const int code = LastError();
  return code == EINVAL || code == ENOSYS ? EOPNOTSUPP : code;
}

int CloneContent(int out, int in) {
  if (Retry([&] { return ioctl(out, FICLONE, in); }) == 0) return 0;
  const int code = LastError();
  return code == EXDEV || code == EINVAL || code == ENOTTY ? EOPNOTSUPP : code;
}

int CopyFileRange(int in, off_t* inOffset, int out, off_t* outOffset, std::size_t length, std::size_t* copied) {
  loff_t inAt = *inOffset, outAt = *outOffset;
  const ssize_t n = copy_file_range(in, &inAt, out, &outAt, length, 0);
  *inOffset = inAt;
  *outOffset = outAt;
  if (n < 0) return LastError();
  *copied = static_cast<std::size_t>(n);
  return 0;
}

int SyncFileSystem(int fd) {
  return Retry([&] { return syncfs(fd); }) == 0 ? 0 : LastError();
}

int OpenUnnamedFile(int dirfd, const char* directory, int flags, int* fd) {
  const int opened = Retry([&] { return openat(dirfd, directory, O_TMPFILE | flags, 0600); });
  if (opened < 0) {
    const int code = LastError();
    return code == EISDIR || code == EINVAL ? EOPNOTSUPP : code;
  }
  *fd = opened;
  return 0;
}

std::string MountKind(int fd) {
  struct statx sx;
  if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_MNT_ID, &sx) != 0 || !(sx.stx_mask & STATX_MNT_ID)) {
    return std::string();
  }
  std::unique_ptr<FILE, int (*)(FILE*)> table(fopen("/proc/self/mountinfo", "re"), fclose);
  if (!table) return std::string();
  // "ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [FIELDS...] - KIND SOURCE ..."
  char* line = nullptr;
  std::size_t capacity = 0;
  std::string kind;
  while (getline(&line, &capacity, table.get()) > 0) {
    if (std::strtoull(line, nullptr, 10) != sx.stx_mnt_id) continue;
    if (const char* dash = std::strstr(line, " - ")) {
      const char* start = dash + 3;
      kind.assign(start, std::strcspn(start, " \n"));
    }
    break;
  }
  free(line);
  return kind;
}

bool OnFuse(int fd) {
  struct statfs fs;
  return fstatfs(fd, &fs) == 0 && static_cast<unsigned long>(fs.f_type) == kFuseMagic;
}

int FreshModifiedTime(int dirfd, const char* name, struct timespec* mtime) {
  struct statx sx;
  if (statx(dirfd, name, AT_SYMLINK_NOFOLLOW | AT_STATX_FORCE_SYNC, STATX_MTIME, &sx) != 0) return LastError();
  mtime->tv_sec = static_cast<time_t>(sx.stx_mtime.tv_sec);
  mtime->tv_nsec = static_cast<long>(sx.stx_mtime.tv_nsec);
  return 0;
}

// What SMB clients refuse: the server's Windows rules, said by the kind.
void SmbNames(FileSystemTraits* traits) {
  traits->namesKnown = true;
  traits->refusedCharacters = ":?*\"<>|\\";
  traits->refusesControlCharacters = traits->refusesTrailingDotOrBlank = true;
}

FileSystemTraits FileSystemOf(int fd) {
  FileSystemTraits traits;
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return traits;
  traits.freeSpaceKnown = fs.f_blocks != 0;
  // Only a FUSE mount's driver is told by its name alone.
  if (static_cast<unsigned long>(fs.f_type) == kFuseMagic) traits.kind = MountKind(fd);
  if (traits.kind == "fuse.fusefat") {
    // fusefat: FAT through FUSE.
    traits.timeResolutionNs = 2'000'000'000;
    traits.largestFile = 0xFFFFFFFFull;
  } else if (traits.kind == "fuse.smbnetfs") {
    SmbNames(&traits);
    traits.foldsCase = true;
  } else if (traits.kind == "fuse.rclone") {
    traits.numbersFollowPath = true;
  }
  // Only ext4 and f2fs fold case per directory (casefold): for the kinds
  // below, and for FUSE drivers and network clients, it is the mount's.
  traits.foldsCaseThroughout = static_cast<unsigned long>(fs.f_type) != EXT4_SUPER_MAGIC &&
                               static_cast<unsigned long>(fs.f_type) != F2FS_SUPER_MAGIC &&
                               static_cast<unsigned long>(fs.f_type) != TMPFS_MAGIC;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case MSDOS_SUPER_MAGIC:
      traits.timeResolutionNs = 2'000'000'000;
      traits.keepsPermissions = false;
      traits.largestFile = 0xFFFFFFFFull;
      break;
    case kExfatMagic:
      traits.timeResolutionNs = 10'000'000;
      traits.keepsPermissions = false;
      break;
    case kNtfsMagic:
    case kNtfs3Magic:
    case kCifsMagic:
    case kSmb2Magic:
      traits.timeResolutionNs = 100;
      traits.keepsPermissions = false;
      if (fs.f_type != kNtfsMagic && fs.f_type != kNtfs3Magic) SmbNames(&traits);
      break;
    case kFuseMagic:  // ntfs-3g and exFAT through FUSE
      traits.keepsPermissions = false;
      break;
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case kBcachefsMagic:
    case OCFS2_SUPER_MAGIC:
      traits.mayClone = true;  // XFS made without reflink cannot: try it
      break;
    default:
      break;
  }
  return traits;
}

}  // namespace veldar::native
