// PosixOs: the `Os` of POSIX systems. The rest of the program was designed
// around Windows facilities; this comment is the one place that says how each
// of them is realised here. The few calls it needs beyond POSIX are those of
// posix_native.h ("the native ..." below), each with what happens where a
// system lacks it; posix_native_linux.cpp's header says how Linux makes them.
//
// Paths and conventions
//  - The separator is '/', the option character '-' (every absolute path
//    starts with '/', so '/' cannot introduce an option).
//  - A name may hold any byte but '/' and NUL: line feeds, invalid UTF-8 and a
//    leading '-' pass through unchanged. A path holding a NUL byte is refused
//    with EINVAL before any call (the system would silently cut it there and
//    act on another file).
//  - A path longer than the system accepts fails with the system's
//    ENAMETOOLONG; nothing here copies a path into a fixed buffer.
//  - Error codes are errno values (a missing entry is ENOENT 2, an existing
//    one EEXIST 17). Interrupted calls (EINTR) are repeated.
//  - A final symbolic link is never followed unless the operation says so.
//
// Files
//  - CopyFileA becomes a copy under a temporary name in the target's
//    directory (".~" + the target name cut to fit NAME_MAX + "." + pid and
//    random suffix + ".tmp", created O_EXCL with mode 0600), written with
//    the native range copy (which may clone; read/write where there is none
//    or it refuses), then given the source's owner and group (root only; a
//    file system that cannot hold them is no failure), permission bits
//    (07777; a file system that cannot hold them is no failure either) and
//    atime/mtime with nanoseconds, fsync'ed, closed, and renamed onto the
//    target: rename(2) to replace, a rename that never replaces (as for
//    MoveFileA below) for fail-if-exists. The target therefore never names a
//    partial file, and an overwritten target is a new inode whose birth time
//    is the time of the copy. Any failure removes the temporary file and
//    leaves the target as it was. The directory is not fsync'ed after the
//    rename: that would make small-file copies take about twice as long, and
//    a rename lost in a crash leaves the old target (or none), never a
//    partial file, so the next run simply copies again.
//  - CopyMode::Unflushed (a generation being built, which nobody takes for a
//    copy before it is flushed and named) writes straight under the target's
//    name: an existing file or link there is unlinked first and never opened
//    for writing (it may be one name of a file other names share; a directory
//    fails with unlink's EISDIR and stays), then the copy is created O_EXCL
//    0600 and given content and metadata as above, but not fsync'ed. A
//    failure unlinks it. A link source is copied as a link made under the
//    name directly.
//  - A staged copy (OsDir::StageCopy) is the temporary file above without the
//    fsync and the rename. The caller flushes a batch of them with one
//    native flush of the whole file system and then renames each
//    (OsDir::PlaceCopy: rename(2), or never replacing as below), or deletes
//    it.
//  - Block cloning (FSCTL_DUPLICATE_EXTENTS_TO_FILE; OsDir::CloneFile) is the
//    native clone into a new file created O_EXCL 0600, then the metadata of
//    a copy, no fsync. The source is lstat'ed, opened O_NOFOLLOW|O_NONBLOCK
//    and fstat'ed, and must still be the regular file with the device, inode,
//    size and mtime the caller saw (else EIDRM, kChanged). Where the files cannot be
//    cloned, EOPNOTSUPP is returned and the new file unlinked. Whether a
//    directory can clone is told by its file system's kind and then by
//    trying it, on one byte between two native unnamed files.
//  - CreateHardLinkA (OsDir::LinkFile) is linkat(2) without
//    AT_SYMLINK_FOLLOW, so a link is linked, not its target; a new name that
//    does not reach the regular file the caller saw (device and inode) is
//    unlinked again: EIDRM (kChanged).
//  - FlushFileBuffers on a volume is the native flush of the file system
//    holding a directory of it; on a directory handle, fsync(2) of the
//    directory.
//  - A delete-on-close scratch file is a native unnamed file (0600) in
//    $TMPDIR (when set and non-empty) else /tmp; where there is none or it
//    is refused, mkostemp there and an immediate unlink.
//  - A file with holes (fewer blocks allocated than its length) is copied
//    extent by extent (SEEK_DATA/SEEK_HOLE), so its holes stay holes.
//  - A temporary name carries the writer's process id; one whose writer no
//    longer runs (kill(pid, 0) fails with ESRCH) is abandoned.
//  - The source's entry is examined with lstat before it is opened: a link is
//    copied as a link (same text, same times), and anything other than a
//    regular file is refused unopened (opening a FIFO would block or wake a
//    waiting writer, opening a device can act on the device): EISDIR for a
//    directory, ENOTSUP for a FIFO, socket or device. The open itself uses
//    O_NOFOLLOW|O_NONBLOCK and fstat re-checks the kind, so an entry swapped
//    in between is caught too. The mtime given to the copy is the one fstat
//    read before any content, so a file that changes during the copy looks
//    older than the source to the next run and is copied again.
//  - MoveFileA "fail if the target exists" is the native rename that never
//    replaces; where the system or the file system has none it is link(2)
//    then unlink(2) of the old name, which also never replaces, for a file,
//    and EOPNOTSUPP for a directory (never linked). OsDir::MoveIfFree is a
//    look-up of the new name (fstatat) and then a plain renameat(2).
//  - DeleteFileA is unlink (a directory fails with EISDIR), RemoveDirectoryA
//    rmdir (a link fails with ENOTDIR), CreateDirectoryA mkdir 0777 less the
//    umask; inside an open directory (OsDir) mkdirat 0700, whatever the umask.
//  - Trees are walked through directory descriptors (OsDir): every operation
//    below a directory the user named is an *at() call relative to an open
//    descriptor, with O_NOFOLLOW|O_DIRECTORY to go down a level, so a
//    directory swapped for a link half way sends nothing elsewhere. Changing
//    permissions uses fchmodat(AT_SYMLINK_NOFOLLOW) (glibc does it through an
//    O_PATH descriptor, race-free), owners fchownat(AT_SYMLINK_NOFOLLOW).
//  - Owner and group are given only by root (geteuid() == 0).
//  - The time resolution of a directory's file system, and whether it keeps
//    permissions, come from the native traits of its kind (2 s on FAT; none
//    kept where the mount options decide them); where the kind tells
//    nothing, times are exact and permissions kept. OsDir::ProbeMedium
//    starts from the same traits and then tries, in a directory of the
//    temporary files' naming (".~veldar2-probe." + pid and random suffix +
//    ".tmp", mode 0700) made in the directory and removed again: a file
//    made 0600 is given 0640, another owner (root only) and the time
//    1700000001.123456789 and read back by name; it is looked up with its
//    case swapped, renamed with the native rename that never replaces,
//    swapped, hard-linked and sym-linked; names holding : ? * " < > | \, a
//    control character, a trailing dot and a trailing blank are made and
//    must then be listed as written (SMB clients, which lose their
//    connection over one such name, are answered by their kind).
//  - On FUSE file systems a link's owner and times are never set (the copy
//    of a link, SetOwner on one): sshfs applies them to what the link points
//    to, on the server.
//  - A directory's run lock is flock(LOCK_EX|LOCK_NB) on a file inside it
//    (created O_EXCL 0600 relative to the directory's descriptor, O_NOFOLLOW,
//    and trusted by its device and inode; one found there is trusted only as
//    a regular file with one name, of the running user's or of the
//    directory's owner's), re-checked after the lock to still bear its name,
//    and unlinked before it is let go (just after, where the medium removes
//    no open file). A lock on the directory itself could be taken by anyone
//    who may read it.
//  - Swapping two entries in one step is the native exchange; where there
//    is none it fails with EOPNOTSUPP and nothing changes.
//  - Attributes: read-only means the owner's write bit is clear;
//    FILE_ATTRIBUTE_NORMAL adds the owner's write bit; there is no system or
//    hidden attribute; the attribute word is st_mode. Links have no
//    permission bits of their own and are left alone.
//  - The creation time is the birth time where the native status has one,
//    else the last-write time. Only atime and mtime can be set. The device
//    and inode numbers identify an entry across bind mounts.
//  - _access is access(2): 4 R_OK, 2 W_OK, 0 F_OK, 6 R_OK|W_OK.
//  - FindFirstFile/FindNextFile is one readdir pass with one native status
//    call per entry, relative to the directory's descriptor, without
//    following links or triggering automounts; an entry that vanishes in
//    between is left out.
//  - GetDiskFreeSpaceEx is statvfs: f_bavail * f_frsize; EOPNOTSUPP where
//    the file system reports no blocks at all (a size it does not know).
//  - A file opened "with no sharing" is opened (created 0600 if missing, never
//    truncated) and locked with flock(LOCK_EX|LOCK_NB); the lock is only taken
//    to count if the path still names the locked inode afterwards, because a
//    holder may rename the file away between our open and our lock.
//
// Process
//  - The log directory is $XDG_STATE_HOME/VELDAR2/ (when set, non-empty and
//    absolute), else $HOME/.local/state/VELDAR2/ (the password database's
//    home when HOME is unset).
//  - Local time is localtime_r + strftime; Sleep is nanosleep.

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/os.h"
#include "platform/posix_native.h"
#include "platform/system_reasons.h"
#include "platform/temporary_names.h"

namespace veldar {
namespace {

using native::LastError;
using native::Retry;

// The code of an entry that is no longer the one the caller saw (kChanged):
// a failure only this layer finds, so it takes a code no file call gives
// ("identifier removed"); ESTALE is the system's, and means the medium's
// server lost the entry or went away.
constexpr int kChangedCode = EIDRM;

// The portable kind of an errno value.
ErrorKind KindOfErrno(int code) {
  switch (code) {
    case 0:
      return ErrorKind::kNone;
    case ENOENT:
      return ErrorKind::kNotFound;
    case EEXIST:
      return ErrorKind::kExists;
    case EACCES:
    case EPERM:
      return ErrorKind::kAccessDenied;
    case ENOTDIR:
    case ELOOP:
      return ErrorKind::kNotDirectory;
    case ENOTEMPTY:
      return ErrorKind::kNotEmpty;
    case ENOSPC:
    case EDQUOT:
      return ErrorKind::kNoSpace;
    case EROFS:
      return ErrorKind::kReadOnlyFileSystem;
    case EIO:
      return ErrorKind::kIo;
    // A file system whose driver ended (FUSE: ENOTCONN), whose device went
    // (ENODEV, ENOMEDIUM) or whose server went or forgot the handle (NFS:
    // ESTALE; a shut-down socket: ESHUTDOWN, EHOSTDOWN).
    case ENODEV:
    case ENOTCONN:
    case ESHUTDOWN:
    case ESTALE:
#ifdef ENOMEDIUM
    case ENOMEDIUM:
#endif
#ifdef EHOSTDOWN
    case EHOSTDOWN:
#endif
      return ErrorKind::kGone;
    case EWOULDBLOCK:
      return ErrorKind::kLocked;
    case kChangedCode:
      return ErrorKind::kChanged;
    case EOPNOTSUPP:
    case ENOSYS:
      return ErrorKind::kUnsupported;
    case ECANCELED:
      return ErrorKind::kCancelled;
    case EINVAL:
      return ErrorKind::kInvalid;
    default:
      return ErrorKind::kOther;
  }
}

// The one conversion of an errno value into a status (0: success).
Status PosixError(int code) { return Status::Make(code, KindOfErrno(code)); }

// An errno value of `kind`, for a failure found by the program itself.
int ErrnoOf(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNone:
      return 0;
    case ErrorKind::kNotFound:
      return ENOENT;
    case ErrorKind::kExists:
      return EEXIST;
    case ErrorKind::kAccessDenied:
      return EACCES;
    case ErrorKind::kNotDirectory:
      return ENOTDIR;
    case ErrorKind::kNotEmpty:
      return ENOTEMPTY;
    case ErrorKind::kNoSpace:
      return ENOSPC;
    case ErrorKind::kReadOnlyFileSystem:
      return EROFS;
    case ErrorKind::kIo:
      return EIO;
    case ErrorKind::kGone:
      return ENODEV;
    case ErrorKind::kLocked:
      return EWOULDBLOCK;
    case ErrorKind::kChanged:
      return kChangedCode;
    case ErrorKind::kUnsupported:
      return EOPNOTSUPP;
    case ErrorKind::kCancelled:
      return ECANCELED;
    case ErrorKind::kInvalid:
      return EINVAL;
    case ErrorKind::kOther:
      break;
  }
  return EIO;
}

// True for a path the system would silently cut short at an embedded NUL.
bool HasNul(const std::string& path) { return path.find('\0') != std::string::npos; }

// The code for a source that is neither a regular file nor a link.
int NotRegularCode(mode_t mode) { return S_ISDIR(mode) ? EISDIR : ENOTSUP; }

// Closes a descriptor; 0 or the error. EINTR counts as closed (Linux always
// releases the descriptor, and every caller that cares has fsync'ed before).
int CloseFd(int fd) {
  if (close(fd) == 0 || errno == EINTR) return 0;
  return LastError();
}

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// The text of the link `name` relative to `dirfd`; 0 or the error.
int ReadLinkText(int dirfd, const std::string& name, std::size_t hint, std::string* text) {
  std::size_t capacity = std::max<std::size_t>(hint + 1, 128);
  for (;;) {
    std::string buffer(capacity, '\0');
    ssize_t length = readlinkat(dirfd, name.c_str(), buffer.data(), buffer.size());
    if (length < 0) return LastError();
    if (static_cast<std::size_t>(length) < buffer.size()) {
      buffer.resize(length);
      *text = std::move(buffer);
      return 0;
    }
    // Possibly cut off: the link changed since its size was read.
    if (capacity > (1u << 20)) return ENAMETOOLONG;
    capacity *= 2;
  }
}

// Renames without replacing, in one step where the system can, else by link
// + unlink. EEXIST when `to` exists; EOPNOTSUPP for a directory where the
// file system has no such rename (a directory cannot be linked).
int RenameNoReplace(int fromFd, const std::string& from, int toFd, const std::string& to) {
  int code = native::RenameNoReplace(fromFd, from.c_str(), toFd, to.c_str());
  if (code != ENOSYS) return code;
  struct stat st;
  if (fstatat(fromFd, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
  if (S_ISDIR(st.st_mode)) return EOPNOTSUPP;
  if (linkat(fromFd, from.c_str(), toFd, to.c_str(), 0) != 0) return LastError();
  if (unlinkat(fromFd, from.c_str(), 0) != 0) {
    // Both names now exist: take the new one back, so the move fails cleanly
    // instead of leaving a second name behind.
    code = LastError();
    unlinkat(toFd, to.c_str(), 0);
    return code;
  }
  return 0;
}

// Renames after looking `to` up (see OsDir::MoveIfFree). `to` is free when
// missing, or when it reaches `from` itself (a name differing only in case,
// where case is ignored); a file with other names is never taken for itself,
// since renaming one name of a file onto another does nothing.
int RenameIfFree(int fromFd, const std::string& from, int toFd, const std::string& to) {
  struct stat source, existing;
  if (fstatat(fromFd, from.c_str(), &source, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
  if (fstatat(toFd, to.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    const bool itself = existing.st_dev == source.st_dev && existing.st_ino == source.st_ino &&
                        (S_ISDIR(source.st_mode) || source.st_nlink == 1);
    if (!itself) return EEXIST;
  } else if (errno != ENOENT) {
    return LastError();
  }
  if (renameat(fromFd, from.c_str(), toFd, to.c_str()) != 0) return LastError();
  // Some of these media number an entry by its path (rclone): the kernel
  // goes on showing the number of the old path until it next asks the driver,
  // so it is asked now, and the entry shows the number it keeps from here on.
  struct timespec ignored;
  (void)native::FreshModifiedTime(toFd, to.c_str(), &ignored);
  return 0;
}

// The directory part of `path` including its final '/', and the name after it.
void SplitPath(const std::string& path, std::string* directory, std::string* name) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) {
    directory->clear();
    *name = path;
  } else {
    *directory = path.substr(0, slash + 1);
    *name = path.substr(slash + 1);
  }
}

// A fresh name for a temporary file beside `target` (a path, or a name alone):
// ".~" + a prefix of the target's name + "." + pid "-" random "-" counter +
// ".tmp", at most 255 bytes (NAME_MAX) whatever the target's name is.
std::string TemporaryPath(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  thread_local std::minstd_rand random(
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (static_cast<unsigned>(getpid()) << 16));
  std::string directory, name;
  SplitPath(target, &directory, &name);
  // ".~" (2) + prefix (200) + suffix (at most 35) stays below 255.
  constexpr std::size_t kPrefixMax = 200;
  std::size_t keep = std::min(name.size(), kPrefixMax);
  // Cut at a character boundary, so a UTF-8 name does not leave half a
  // character in a file name someone might see after a crash.
  while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%d-%08x-%u%s", static_cast<int>(getpid()), static_cast<unsigned>(random()),
                counter.fetch_add(1), kTempSuffix);
  return directory + kTempPrefix + name.substr(0, keep) + suffix;
}

// Reports `bytes` just written to `progress` (if any); ECANCELED when it
// asks the copy to stop.
int Report(CopyProgress* progress, std::uint64_t bytes) {
  if (!progress) return 0;
  progress->Advance(bytes);
  return progress->Cancelled() ? ECANCELED : 0;
}

// Plain read/write of `length` bytes (to the end of the file when negative)
// from `offset` on; `copied` grows by what was written. A failure to read
// sets `*readFailed`.
int CopyByReading(int in, int out, off_t offset, off_t length, std::uint64_t* copied, CopyProgress* progress,
                  bool* readFailed) {
  constexpr std::size_t kBuffer = 256 * 1024;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBuffer]);
  if (!buffer) return ENOMEM;
  for (;;) {
    std::size_t want = kBuffer;
    if (length >= 0) {
      if (length == 0) return 0;
      want = static_cast<std::size_t>(std::min<off_t>(length, kBuffer));
    }
    ssize_t got = Retry([&] { return pread(in, buffer.get(), want, offset); });
    if (got < 0) {
      *readFailed = true;
      return LastError();
    }
    if (got == 0) return 0;
    ssize_t done = 0;
    while (done < got) {
      ssize_t put = Retry([&] { return pwrite(out, buffer.get() + done, got - done, offset + done); });
      if (put < 0) return LastError();
      if (put == 0) return EIO;
      done += put;
    }
    offset += got;
    if (length > 0) length -= got;
    *copied += got;
    if (int code = Report(progress, static_cast<std::uint64_t>(got))) return code;
  }
}

// True for the codes with which the native range copy says it cannot be
// used for these two files.
bool CopyRangeUnsupported(int code) { return code == EXDEV || code == ENOSYS || code == EOPNOTSUPP || code == EINVAL; }

// Copies `length` bytes (to the end of the file when negative) at `offset`
// with the native range copy (which may clone), falling back on reading and
// writing where there is none or it refuses. The range copy does not say
// which side failed; a read of the block it stopped at does (`*readFailed`).
int CopyRange(int in, int out, off_t offset, off_t length, std::uint64_t sourceSize, std::uint64_t* copied,
              CopyProgress* progress, bool* readFailed) {
  off_t inOffset = offset, outOffset = offset;
  bool first = true;
  for (;;) {
    // Pieces small enough for the progress of a large file to move (and a
    // cancel to be heard) several times a second even on a slow disk.
    std::size_t want = std::size_t{8} << 20;
    if (length >= 0) {
      if (length == 0) return 0;
      want = static_cast<std::size_t>(std::min<off_t>(length, want));
    }
    std::size_t n = 0;
    const int code = native::CopyFileRange(in, &inOffset, out, &outOffset, want, &n);
    if (code == 0 && n > 0) {
      *copied += n;
      if (length > 0) length -= static_cast<off_t>(n);
      first = false;
      if (int reported = Report(progress, static_cast<std::uint64_t>(n))) return reported;
      continue;
    }
    if (code == 0) {
      // Some file systems (proc-like ones, some FUSE) report 0 at once for a
      // file that has content; read it the ordinary way instead.
      if (first && sourceSize > 0) break;
      return 0;
    }
    if (code == EINTR) continue;
    if (first && CopyRangeUnsupported(code)) break;
    char probe;
    if (Retry([&] { return pread(in, &probe, 1, inOffset); }) < 0) *readFailed = true;
    return code;
  }
  return CopyByReading(in, out, inOffset, length, copied, progress, readFailed);
}

// Copies a file with holes extent by extent, leaving the holes unwritten.
// EINVAL/ENXIO from the first seek: the file system cannot say where its
// holes are (`*unsupported`), and nothing has been written.
int CopySparse(int in, int out, std::uint64_t size, std::uint64_t* copied, bool* unsupported, CopyProgress* progress,
               bool* readFailed) {
  *unsupported = false;
  off_t position = 0;
  const off_t end = static_cast<off_t>(size);
  while (position < end) {
    const off_t data = lseek(in, position, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // only a hole remains
      if (position == 0 && errno == EINVAL) {
        *unsupported = true;
        return 0;
      }
      *readFailed = true;
      return LastError();
    }
    off_t hole = lseek(in, data, SEEK_HOLE);
    if (hole < 0) {
      *readFailed = true;
      return LastError();
    }
    hole = std::min(hole, end);
    if (int code = CopyRange(in, out, data, hole - data, size, copied, progress, readFailed)) {
      return code;
    }
    position = hole;
  }
  // The length, with whatever hole ends the file.
  return Retry([&] { return ftruncate(out, end); }) == 0 ? 0 : LastError();
}

// Copies the bytes of `in` (whose status is `st`) to `out`; 0 or the error,
// with `*readFailed` set when reading `in` failed. `copied` receives the
// number of data bytes written either way.
int CopyContent(int in, int out, const struct stat& st, std::uint64_t* copied, CopyProgress* progress,
                bool* readFailed) {
  *copied = 0;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > 0 && static_cast<std::uint64_t>(st.st_blocks) * 512 < size) {
    bool unsupported = false;
    const int code = CopySparse(in, out, size, copied, &unsupported, progress, readFailed);
    if (!unsupported) return code;
  }
  return CopyRange(in, out, 0, -1, size, copied, progress, readFailed);
}

// Chown/chmod failures that only mean the target's file system cannot hold
// the value (FAT, some network shares; fusefat answers ENOSYS): the copy is
// still a good copy.
bool MetadataUnsupported(int code) {
  return code == EPERM || code == EINVAL || code == ENOTSUP || code == EOPNOTSUPP || code == ENOSYS;
}

// Gives a finished temporary entry the target's name (both relative to
// `dirfd`): FailIfExists never replaces an existing target (EEXIST), the
// other modes replace it with rename(2), which never writes into the old
// entry either. 0 or the error; on failure `temp` stays.
int PlaceTemporary(int dirfd, const std::string& temp, const std::string& to, CopyMode mode) {
  if (mode == CopyMode::FailIfExists) return RenameNoReplace(dirfd, temp, dirfd, to);
  return renameat(dirfd, temp.c_str(), dirfd, to.c_str()) == 0 ? 0 : LastError();
}

// Where `WriteCopy` writes a copy, and whether it flushes it.
enum class CopyTarget {
  Temporary,           // a fresh temporary name beside the target; fsync'ed
  UnflushedTemporary,  // a fresh temporary name; not fsync'ed (staged copies)
  Target,              // the target's own name, which must be free; not fsync'ed
};

// Makes the new entry of a copy meant for `to` with `create(name)`, which
// returns 0 or an error code: under `to` itself, or under a fresh temporary
// name beside it, trying another name while one is taken. `*made` receives
// the name used. 0, or the error of the last attempt.
template <typename Create>
int CreateCopyEntry(const std::string& to, CopyTarget target, std::string* made, Create create) {
  if (target == CopyTarget::Target) {
    *made = to;
    return create(*made);
  }
  for (int attempt = 0;; ++attempt) {
    *made = TemporaryPath(to);
    const int code = create(*made);
    if (code != EEXIST || attempt >= 100) return code;
  }
}

// Gives the open file `out` the owner and group (root only), permission bits
// and atime/mtime of the source file `st`. 0 on success, also where the file
// system cannot hold an owner or permission bits; otherwise the error.
int CopyMetadata(int out, const struct stat& st) {
  // Owner first: chown clears set-user-ID and set-group-ID bits.
  if (geteuid() == 0 && fchown(out, st.st_uid, st.st_gid) != 0 && !MetadataUnsupported(errno)) {
    return LastError();
  }
  if (fchmod(out, st.st_mode & 07777) != 0 && !MetadataUnsupported(errno)) return LastError();
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  return futimens(out, times) == 0 ? 0 : LastError();
}

// Copies the link `from` (relative to `fromFd`, as lstat described it in
// `st`) as a new link with the same text, owner and times, made for `to`
// (relative to `toFd`) as `target` says; links are never fsync'ed. On success
// `*made` names it and `*bytesCopied` is the length of its text; on failure
// it is removed again and the error returned.
int WriteLink(int fromFd, const std::string& from, const struct stat& st, int toFd, const std::string& to,
              CopyTarget target, std::string* made, std::uint64_t* bytesCopied) {
  std::string text;
  if (int code = ReadLinkText(fromFd, from, st.st_size, &text)) return code;
  int code = CreateCopyEntry(to, target, made, [&](const std::string& name) {
    return symlinkat(text.c_str(), toFd, name.c_str()) == 0 ? 0 : LastError();
  });
  if (code != 0) return code;
  // Where a driver would give them to what the link points to instead, the
  // link keeps the owner and time of its making.
  if (native::OnFuse(toFd)) {
    *bytesCopied = text.size();
    return 0;
  }
  if (geteuid() == 0 && fchownat(toFd, made->c_str(), st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0 &&
      !MetadataUnsupported(errno)) {
    code = LastError();
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (code == 0 && utimensat(toFd, made->c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    code = LastError();
  }
  if (code != 0) {
    unlinkat(toFd, made->c_str(), 0);
    return code;
  }
  *bytesCopied = text.size();
  return 0;
}

// Writes a copy of the regular file or link `from` (relative to `fromFd`) for
// `to` (relative to `toFd`) as `target` says: content or link text, owner
// (root only), permission bits and times; only a `Temporary` copy with
// content is fsync'ed. On success `*made` names the new entry and
// `*bytesCopied` is the number of bytes copied; on failure the new entry is
// removed again and the error returned, with `*readFailed` set when it was
// the source that could not be examined, opened or read.
int WriteCopy(int fromFd, const std::string& from, int toFd, const std::string& to, CopyTarget target,
              std::string* made, std::uint64_t* bytesCopied, CopyProgress* progress, bool* readFailed) {
  *bytesCopied = 0;
  *readFailed = false;
  auto readFailure = [&] {
    *readFailed = true;
    return LastError();
  };
  struct stat st;
  if (fstatat(fromFd, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return readFailure();
  if (S_ISLNK(st.st_mode)) return WriteLink(fromFd, from, st, toFd, to, target, made, bytesCopied);
  if (!S_ISREG(st.st_mode)) return NotRegularCode(st.st_mode);

  UniqueFd in(Retry([&] { return openat(fromFd, from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
  if (in.get() < 0) {
    int code = LastError();
    // Replaced by a link since the lstat: copy the link.
    if (code == ELOOP && fstatat(fromFd, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
      return WriteLink(fromFd, from, st, toFd, to, target, made, bytesCopied);
    *readFailed = true;
    return code;
  }
  // The times, mode and size given to the copy are those of the file as
  // opened, read before any of its content.
  if (fstat(in.get(), &st) != 0) return readFailure();
  if (!S_ISREG(st.st_mode)) return NotRegularCode(st.st_mode);

  UniqueFd out;
  int code = CreateCopyEntry(to, target, made, [&](const std::string& name) {
    const int fd = Retry([&] { return openat(toFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); });
    if (fd < 0) return LastError();
    out.reset(fd);
    return 0;
  });
  if (code != 0) return code;

  std::uint64_t copied = 0;
  code = CopyContent(in.get(), out.get(), st, &copied, progress, readFailed);
  if (code == 0) code = CopyMetadata(out.get(), st);
  // An empty file has no data that could be lost, and its inode reaches the
  // journal before the rename that names it; fsync'ing it anyway forces a
  // journal commit per file, which made trees of empty files copy about
  // fifteen times slower.
  if (code == 0 && target == CopyTarget::Temporary && copied > 0 && Retry([&] { return fsync(out.get()); }) != 0) {
    code = LastError();
  }
  if (code == 0) code = CloseFd(out.release());
  if (code != 0) {
    unlinkat(toFd, made->c_str(), 0);
    return code;
  }
  *bytesCopied = static_cast<std::uint64_t>(st.st_size);
  return 0;
}

// The whole copy: `from` relative to `fromFd` onto `to` relative to `toFd`
// (AT_FDCWD and paths for the path-based call). Replace and FailIfExists
// write a flushed temporary entry and rename it onto `to`; Unflushed unlinks
// an existing `to` (a file or a link: a directory fails, EISDIR, and stays)
// and writes straight under that name. 0 on success (`bytesCopied` receives
// the bytes copied); on failure the error, with no new entry left behind and
// `to` as it was, except that Unflushed has removed the old entry.
int CopyAt(int fromFd, const std::string& from, int toFd, const std::string& to, CopyMode mode,
           std::uint64_t* bytesCopied, CopyProgress* progress, bool* readFailed) {
  if (bytesCopied) *bytesCopied = 0;
  bool unused = false;
  if (!readFailed) readFailed = &unused;
  *readFailed = false;
  if (HasNul(from) || HasNul(to)) return EINVAL;
  std::string made;
  std::uint64_t bytes = 0;
  if (mode == CopyMode::Unflushed) {
    // The old entry goes first, whatever happens next: it may be one name of
    // a file that other names share, so it is never opened for writing.
    if (unlinkat(toFd, to.c_str(), 0) != 0 && errno != ENOENT) return LastError();
    if (int code = WriteCopy(fromFd, from, toFd, to, CopyTarget::Target, &made, &bytes, progress, readFailed)) {
      return code;
    }
  } else {
    if (int code = WriteCopy(fromFd, from, toFd, to, CopyTarget::Temporary, &made, &bytes, progress, readFailed)) {
      return code;
    }
    if (int code = PlaceTemporary(toFd, made, to, mode)) {
      unlinkat(toFd, made.c_str(), 0);
      return code;
    }
  }
  if (bytesCopied) *bytesCopied = bytes;
  return 0;
}

// True when `st` is the regular file that `expected` describes: the same
// device and inode, size and last-write time.
bool IsExpectedFile(const struct stat& st, const FileStatus& expected) {
  return S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_dev) == expected.device &&
         static_cast<std::uint64_t>(st.st_ino) == expected.inode &&
         static_cast<std::uint64_t>(st.st_size) == expected.size && st.st_mtim.tv_sec == expected.mtimeSec &&
         static_cast<std::uint32_t>(st.st_mtim.tv_nsec) == expected.mtimeNsec;
}

// Changes the permission bits of `name` (relative to `dirfd`) without
// following a final link; a link (found before or in between) is left alone
// and counts as done.
int ChmodNoFollow(int dirfd, const std::string& name, mode_t mode) {
  if (fchmodat(dirfd, name.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0) return 0;
  int code = LastError();
  if (code != ENOTSUP && code != EOPNOTSUPP) return code;
  // ENOTSUP: the entry is a link, or /proc (which the C library goes through)
  // is not mounted. Then through a descriptor, which never follows a link.
  UniqueFd fd(Retry([&] { return openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
  if (fd.get() < 0) return errno == ELOOP ? 0 : LastError();
  return fchmod(fd.get(), mode) == 0 ? 0 : LastError();
}

// Sets the owner's write bit of `name` (clears it for `readOnly`), every
// other bit as it is.
int SetReadOnlyAt(int dirfd, const std::string& name, bool readOnly) {
  if (HasNul(name)) return EINVAL;
  struct stat st;
  if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
  if (S_ISLNK(st.st_mode) || ((st.st_mode & S_IWUSR) == 0) == readOnly) return 0;
  const mode_t bits = st.st_mode & 07777;
  return ChmodNoFollow(dirfd, name, readOnly ? bits & ~static_cast<mode_t>(S_IWUSR) : bits | S_IWUSR);
}

int SetAttributesNormalAt(int dirfd, const std::string& name) { return SetReadOnlyAt(dirfd, name, false); }

int SetAttributesAt(int dirfd, const std::string& name, const FileAttributes& attributes) {
  if (HasNul(name)) return EINVAL;
  struct stat st;
  if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
  if (S_ISLNK(st.st_mode)) return 0;
  mode_t mode = attributes.native & 07777;
  if (attributes.readOnly) {
    mode &= ~static_cast<mode_t>(S_IWUSR);
  } else {
    mode |= S_IWUSR;
  }
  if (mode == (st.st_mode & 07777)) return 0;
  return ChmodNoFollow(dirfd, name, mode);
}

// The status of each of `names` in the directory `fd`, in order, each with
// its error code (0: read). On a medium that answers slowly (a network share,
// a FUSE file system that asks its server), the calls go out several at a
// time: the time such a listing takes is the requests' round trips, not the
// work. The first calls are made one by one and tell which kind of medium
// this is; on a local disk, where a call costs microseconds, no thread is
// started.
void StatusesAt(int fd, const std::vector<std::string>& names, std::vector<FileStatus>* statuses,
                std::vector<int>* codes) {
  constexpr std::size_t kTried = 16;                         // calls timed before deciding
  constexpr auto kSlowCall = std::chrono::microseconds(50);  // on average: a slow medium
  constexpr std::size_t kRequests = 8;                       // calls under way at once there
  statuses->assign(names.size(), FileStatus());
  codes->assign(names.size(), 0);
  auto stat = [&](std::size_t i) {
    (*codes)[i] = native::StatusAt(fd, names[i].c_str(), /*followLink=*/false, &(*statuses)[i]);
  };
  const auto started = std::chrono::steady_clock::now();
  std::size_t done = 0;
  for (; done < names.size() && done < kTried; ++done) stat(done);
  const bool slow = done == kTried && names.size() - done >= kRequests &&
                    std::chrono::steady_clock::now() - started > kSlowCall * kTried;
  if (!slow) {
    for (; done < names.size(); ++done) stat(done);
    return;
  }
  std::atomic<std::size_t> next{done};
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < names.size();) stat(i);
  };
  std::vector<std::thread> helpers;
  for (std::size_t n = 1; n < kRequests; ++n) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // no more threads: the ones there are do the rest
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
}

// Lists the directory open as `dirfd` through a descriptor of its own, so the
// listing can be repeated and `dirfd` stays usable. Opened again, not
// duplicated: a FUSE driver may answer a descriptor's listing from what it
// read when that descriptor was opened (smbnetfs does), which would miss
// what was made since.
int ListFd(int dirfd, std::vector<DirEntry>* entries, const NameFilter& wanted) {
  entries->clear();
  int fd = Retry([&] { return openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return LastError();
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    int code = LastError();
    close(fd);
    return code;
  }
  std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) return LastError();
      break;
    }
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    if (wanted && !wanted(name)) continue;
    names.emplace_back(name);
  }
  std::vector<FileStatus> statuses;
  std::vector<int> codes;
  StatusesAt(fd, names, &statuses, &codes);
  entries->reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    // Deleted since it was read: it is simply no longer there.
    if (codes[i] == ENOENT) continue;
    if (codes[i] != 0) return codes[i];
    DirEntry& added = entries->emplace_back();
    added.name = std::move(names[i]);
    added.status = statuses[i];
  }
  return 0;
}

// Whether a clone works in the directory `fd`: one byte cloned from one
// unnamed file into another (nothing appears in the directory and both are
// gone once closed). Where the files cannot be made (a directory this
// process may not write, a file system without unnamed files), only the
// clone's own refusal counts against it: the kind of file system decides.
bool CloneWorksIn(int fd) {
  const int flags = O_RDWR | O_CLOEXEC;
  int made = -1;
  if (native::OpenUnnamedFile(fd, ".", flags, &made) != 0) return true;
  UniqueFd from(made);
  if (Retry([&] { return write(from.get(), "v", 1); }) != 1) return true;
  if (native::OpenUnnamedFile(fd, ".", flags, &made) != 0) return true;
  UniqueFd to(made);
  return native::CloneContent(to.get(), from.get()) != EOPNOTSUPP;
}

// True where a new file can be given the data blocks of another: only file
// systems of a kind that can, and of those only where trying it works (XFS
// made without reflink cannot).
bool CanCloneOn(int fd) { return native::FileSystemOf(fd).mayClone && CloneWorksIn(fd); }

// The time the probe sets: an odd second with nanoseconds, so that what comes
// back tells the resolution by its own form (FAT keeps even seconds).
constexpr struct timespec kProbeTime = {1700000001, 123456789};

// The resolution that makes `kProbeTime` come back as `back`: the coarsest
// of the usual steps that `back` is a multiple of and that covers the
// difference; the difference itself where none does.
std::int64_t ResolutionOf(const struct timespec& back) {
  constexpr std::int64_t kBillion = 1'000'000'000;
  const std::int64_t set = kProbeTime.tv_sec * kBillion + kProbeTime.tv_nsec;
  const std::int64_t got = static_cast<std::int64_t>(back.tv_sec) * kBillion + back.tv_nsec;
  const std::int64_t difference = got > set ? got - set : set - got;
  if (difference == 0) return 0;
  for (std::int64_t step : {2 * kBillion, kBillion, std::int64_t{10'000'000}, std::int64_t{1'000'000},
                            std::int64_t{1'000}, std::int64_t{100}}) {
    if (got % step == 0 && difference <= step) return step;
  }
  return difference;
}

// The trials of a probe, made in `dir`, a directory of the probe's own:
// a file is given permissions, an owner (root only) and a time and read back;
// renamed with the flags, linked both ways, looked up with its case
// swapped; names with the characters other systems refuse are made, unless
// the kind tells them already (`fs`). Whatever cannot be tried keeps the
// answer the kind gave.
void TryMedium(int dir, const native::FileSystemTraits& fs, MediumTraits* traits) {
  std::string current = "Probe-a";
  UniqueFd file(
      Retry([&] { return openat(dir, current.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600); }));
  if (file.get() < 0) return;
  (void)!write(file.get(), "v", 1);
  struct stat st;
  if (fstat(file.get(), &st) != 0) return;
  traits->shownPermissions = st.st_mode & 07777;
  traits->shownOwner = st.st_uid;
  const bool root = geteuid() == 0;
  const uid_t other = st.st_uid == 65534 ? 65533 : 65534;
  (void)fchmod(file.get(), 0640);
  if (root) (void)!fchown(file.get(), other, static_cast<gid_t>(-1));
  const struct timespec times[2] = {kProbeTime, kProbeTime};
  const bool timeSet = futimens(file.get(), times) == 0;
  if (CloseFd(file.release()) != 0) return;
  // Read back by name: what the medium kept, not what the open file held.
  if (fstatat(dir, current.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  traits->keepsPermissions = (st.st_mode & 07777) == 0640;
  traits->keepsOwner = root ? st.st_uid == other : st.st_uid == geteuid();
  if (timeSet) traits->timeResolutionNs = ResolutionOf(st.st_mtim);

  struct stat swapped;
  traits->foldsCase = fstatat(dir, "pROBE-A", &swapped, AT_SYMLINK_NOFOLLOW) == 0;
  traits->renameNoReplace = native::RenameNoReplace(dir, current.c_str(), dir, "Probe-b") == 0;
  if (traits->renameNoReplace || renameat(dir, current.c_str(), dir, "Probe-b") == 0) current = "Probe-b";
  UniqueFd second(
      Retry([&] { return openat(dir, "Probe-c", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600); }));
  traits->exchange = second.get() >= 0 && native::Exchange(dir, current.c_str(), "Probe-c") == 0;
  traits->hardLinks = linkat(dir, current.c_str(), dir, "Probe-d", 0) == 0;
  traits->symlinks = symlinkat(current.c_str(), dir, "Probe-e") == 0 &&
                     fstatat(dir, "Probe-e", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
  // A directory holding a file, renamed: the file must still be in it, and
  // read back at once (an rclone mount that caches what is written answers
  // EIO until it has uploaded the file). The directory gets its first name
  // back before it is emptied: such a mount would still upload a file
  // removed under the new name, and leave the probe's names on the remote.
  if (mkdirat(dir, "Probe-f", 0700) == 0) {
    UniqueFd inner(Retry([&] { return openat(dir, "Probe-f", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    UniqueFd held(inner.get() < 0 ? -1 : Retry([&] {
      return openat(inner.get(), "x", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }));
    inner.reset(-1);
    const bool written = held.get() >= 0 && write(held.get(), "v", 1) == 1;
    const char* last = "Probe-f";
    if (written && CloseFd(held.release()) == 0 && renameat(dir, "Probe-f", dir, "Probe-g") == 0) {
      last = "Probe-g";
      UniqueFd renamed(Retry([&] { return openat(dir, "Probe-g", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
      // Listed, not looked up: the kernel's cache of names still finds a
      // name the driver has lost.
      std::vector<DirEntry> inside;
      const bool listed =
          renamed.get() >= 0 && ListFd(renamed.get(), &inside, {}) == 0 &&
          std::any_of(inside.begin(), inside.end(), [](const DirEntry& entry) { return entry.name == "x"; });
      UniqueFd content(listed ? Retry([&] { return openat(renamed.get(), "x", O_RDONLY | O_NOFOLLOW | O_CLOEXEC); })
                              : -1);
      char byte = 0;
      traits->renameKeepsContents = content.get() >= 0 && read(content.get(), &byte, 1) == 1 && byte == 'v';
      content.reset(-1);
      renamed.reset(-1);
      if (renameat(dir, "Probe-g", dir, "Probe-f") == 0) last = "Probe-f";
    }
    held.reset(-1);
    inner.reset(Retry([&] { return openat(dir, last, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (inner.get() >= 0) unlinkat(inner.get(), "x", 0);
    unlinkat(dir, last, AT_REMOVEDIR);
  }
  // A file written, given a time, closed and renamed, as a copy is made:
  // the time must still be there, read past the driver's cache (a medium
  // that stamps its own gives the present, years away from the probe's).
  UniqueFd timed(
      Retry([&] { return openat(dir, "Probe-h", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600); }));
  struct timespec back;
  if (timed.get() >= 0 && write(timed.get(), "v", 1) == 1 && futimens(timed.get(), times) == 0 &&
      CloseFd(timed.release()) == 0 && renameat(dir, "Probe-h", dir, "Probe-i") == 0 &&
      native::FreshModifiedTime(dir, "Probe-i", &back) == 0) {
    const std::int64_t set = kProbeTime.tv_sec * std::int64_t{1'000'000'000} + kProbeTime.tv_nsec;
    const std::int64_t got = static_cast<std::int64_t>(back.tv_sec) * 1'000'000'000 + back.tv_nsec;
    traits->copyKeepsTime = std::llabs(got - set) <= std::max<std::int64_t>(traits->timeResolutionNs, 2'000'000'000);
  }
  if (fs.namesKnown) return;

  // A name is held when it can be made and is then listed exactly as it was
  // written (a driver may drop a trailing dot instead of refusing it).
  const std::string characters = ":?*\"<>|\\";
  std::vector<std::string> tried;
  for (char c : characters) tried.push_back(std::string("n") + c + "n");
  tried.push_back("n\x01n");
  tried.push_back("n.");
  tried.push_back("n ");
  std::vector<bool> made(tried.size(), false);
  for (std::size_t i = 0; i < tried.size(); ++i) {
    const int fd = Retry(
        [&] { return openat(dir, tried[i].c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600); });
    if (fd >= 0) made[i] = CloseFd(fd) == 0;
  }
  std::vector<DirEntry> listed;
  (void)ListFd(dir, &listed, {});
  auto held = [&](std::size_t i) {
    return made[i] &&
           std::any_of(listed.begin(), listed.end(), [&](const DirEntry& entry) { return entry.name == tried[i]; });
  };
  traits->refusedCharacters.clear();
  for (std::size_t i = 0; i < characters.size(); ++i) {
    if (!held(i)) traits->refusedCharacters += characters[i];
  }
  traits->refusesControlCharacters = !held(characters.size());
  traits->refusesTrailingDotOrBlank = !held(characters.size() + 1) || !held(characters.size() + 2);
}

// OsDir::ProbeMedium in the directory `fd`: the kind's answers, then the
// trials in a directory of the program's own temporary naming, which is
// emptied and removed again. 0, or why nothing could be tried.
int ProbeMediumIn(int fd, MediumTraits* traits) {
  const native::FileSystemTraits fs = native::FileSystemOf(fd);
  *traits = MediumTraits();
  traits->kind = fs.kind.empty() ? native::MountKind(fd) : fs.kind;
  traits->timeResolutionNs = fs.timeResolutionNs;
  traits->keepsPermissions = traits->keepsOwner = fs.keepsPermissions;
  traits->foldsCase = fs.foldsCase;
  traits->foldsCaseThroughout = fs.foldsCaseThroughout;
  traits->refusedCharacters = fs.refusedCharacters;
  traits->refusesControlCharacters = fs.refusesControlCharacters;
  traits->refusesTrailingDotOrBlank = fs.refusesTrailingDotOrBlank;
  traits->largestFile = fs.largestFile;
  traits->freeSpaceKnown = fs.freeSpaceKnown;
  const std::string name = TemporaryPath("veldar2-probe");
  if (mkdirat(fd, name.c_str(), 0700) != 0) return LastError();
  int code = 0;
  {
    UniqueFd dir(Retry([&] { return openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (dir.get() < 0) {
      code = LastError();
    } else {
      TryMedium(dir.get(), fs, traits);
      std::vector<DirEntry> left;
      (void)ListFd(dir.get(), &left, {});
      for (const DirEntry& entry : left) unlinkat(dir.get(), entry.name.c_str(), 0);
    }
  }
  // One that cannot go now is an abandoned temporary for the next run.
  unlinkat(fd, name.c_str(), AT_REMOVEDIR);
  return code;
}

class PosixDir : public OsDir {
 public:
  // `os` is the system that opened it: its copies report to its progress.
  PosixDir(int fd, std::string path, const Os& os) : fd_(fd), path_(std::move(path)), os_(os) {}

  const std::string& Path() const override { return path_; }

  Status Stat(FileStatus* status) override { return PosixError(native::StatusOf(fd_, status)); }

  Status List(std::vector<DirEntry>* entries, const NameFilter& wanted) override {
    return PosixError(ListFd(fd_, entries, wanted));
  }

  Status StatAt(const std::string& name, FileStatus* status, bool followLink) override {
    if (int code = CheckName(name)) return PosixError(code);
    return PosixError(native::StatusAt(fd_, name.c_str(), followLink, status));
  }

  Status ReadLinkAt(const std::string& name, std::string* text) override {
    if (int code = CheckName(name)) return PosixError(code);
    return PosixError(ReadLinkText(fd_, name, 0, text));
  }

  Status SetTimes(const std::string& name, std::int64_t seconds) override {
    if (int code = CheckName(name)) return PosixError(code);
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return PosixError(utimensat(fd_, name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : LastError());
  }

  Status OpenDir(const std::string& name, std::unique_ptr<OsDir>* dir) override {
    dir->reset();
    if (int code = CheckName(name)) return PosixError(code);
    return PosixError(OpenDirectory(fd_, name, /*followLink=*/false, path_ + "/" + name, os_, dir));
  }

  Status CreateDir(const std::string& name) override {
    if (int code = CheckName(name)) return PosixError(code);
    return PosixError(mkdirat(fd_, name.c_str(), 0700) == 0 ? 0 : LastError());
  }

  Status DeleteFile(const std::string& name) override {
    if (int code = CheckName(name)) return PosixError(code);
    return PosixError(unlinkat(fd_, name.c_str(), 0) == 0 ? 0 : LastError());
  }

  Status RemoveDir(const std::string& name) override {
    if (int code = CheckName(name)) return PosixError(code);
    return PosixError(unlinkat(fd_, name.c_str(), AT_REMOVEDIR) == 0 ? 0 : LastError());
  }

  Status MoveNoReplace(const std::string& from, OsDir& toDir, const std::string& to) override {
    if (int code = CheckName(from)) return PosixError(code);
    if (int code = CheckName(to)) return PosixError(code);
    return PosixError(RenameNoReplace(fd_, from, static_cast<PosixDir&>(toDir).fd_, to));
  }

  Status MoveIfFree(const std::string& from, OsDir& toDir, const std::string& to) override {
    if (int code = CheckName(from)) return PosixError(code);
    if (int code = CheckName(to)) return PosixError(code);
    return PosixError(RenameIfFree(fd_, from, static_cast<PosixDir&>(toDir).fd_, to));
  }

  Status Exchange(const std::string& a, const std::string& b) override {
    if (int code = CheckName(a)) return PosixError(code);
    if (int code = CheckName(b)) return PosixError(code);
    return PosixError(native::Exchange(fd_, a.c_str(), b.c_str()));
  }

  Status CopyFile(const std::string& name, OsDir& toDir, const std::string& to, CopyMode mode,
                  std::uint64_t* bytesCopied, bool* readFailed, CopyProgress* progress) override {
    if (bytesCopied) *bytesCopied = 0;
    if (readFailed) *readFailed = false;
    if (int code = CheckName(name)) return PosixError(code);
    if (int code = CheckName(to)) return PosixError(code);
    return PosixError(
        CopyAt(fd_, name, static_cast<PosixDir&>(toDir).fd_, to, mode, bytesCopied, progress, readFailed));
  }

  Status StageCopy(const std::string& name, OsDir& toDir, const std::string& to, std::string* temporary,
                   std::uint64_t* bytesCopied, bool* readFailed, CopyProgress* progress) override {
    if (bytesCopied) *bytesCopied = 0;
    bool unused = false;
    if (!readFailed) readFailed = &unused;
    *readFailed = false;
    temporary->clear();
    if (int code = CheckName(name)) return PosixError(code);
    if (int code = CheckName(to)) return PosixError(code);
    std::string made;
    std::uint64_t bytes = 0;
    if (int code = WriteCopy(fd_, name, static_cast<PosixDir&>(toDir).fd_, to, CopyTarget::UnflushedTemporary, &made,
                             &bytes, progress, readFailed)) {
      return PosixError(code);
    }
    *temporary = std::move(made);
    if (bytesCopied) *bytesCopied = bytes;
    return Status();
  }

  Status PlaceCopy(const std::string& temporary, const std::string& to, CopyMode mode) override {
    if (int code = CheckName(temporary)) return PosixError(code);
    if (int code = CheckName(to)) return PosixError(code);
    return PosixError(PlaceTemporary(fd_, temporary, to, mode));
  }

  Status CloneFile(const std::string& name, OsDir& toDir, const std::string& to, const FileStatus& expected) override {
    if (int code = CheckName(name)) return PosixError(code);
    if (int code = CheckName(to)) return PosixError(code);
    const int toFd = static_cast<PosixDir&>(toDir).fd_;
    // Examined before it is opened, so that nothing but the expected regular
    // file is ever opened (opening a device can act on the device).
    struct stat st;
    if (fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return PosixError(LastError());
    if (!IsExpectedFile(st, expected)) return PosixError(kChangedCode);
    UniqueFd in(Retry([&] { return openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
    if (in.get() < 0) return PosixError(errno == ELOOP ? kChangedCode : LastError());  // now a link
    if (fstat(in.get(), &st) != 0) return PosixError(LastError());
    if (!IsExpectedFile(st, expected)) return PosixError(kChangedCode);

    UniqueFd out(Retry([&] { return openat(toFd, to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); }));
    if (out.get() < 0) return PosixError(LastError());
    int code = native::CloneContent(out.get(), in.get());
    if (code == 0) code = CopyMetadata(out.get(), st);
    if (code == 0) code = CloseFd(out.release());
    if (code != 0) {
      unlinkat(toFd, to.c_str(), 0);
      return PosixError(code);
    }
    return Status();
  }

  // Where a FUSE driver gives each name an inode number of its own (sshfs),
  // the new link `made` of `name` cannot show the number `expected` holds:
  // it is taken for that file when `name` itself still shows it and the two
  // agree in size, last-write time and permissions.
  bool SameFileOnFuse(const std::string& name, const struct stat& made, const FileStatus& expected) {
    struct stat st;
    return native::OnFuse(fd_) && fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           static_cast<std::uint64_t>(st.st_dev) == expected.device &&
           static_cast<std::uint64_t>(st.st_ino) == expected.inode &&
           static_cast<std::uint64_t>(made.st_size) == expected.size && made.st_mtim.tv_sec == expected.mtimeSec &&
           static_cast<std::uint32_t>(made.st_mtim.tv_nsec) == expected.mtimeNsec &&
           (made.st_mode & 07777) == expected.permissions;
  }

  Status LinkFile(const std::string& name, OsDir& toDir, const std::string& to, const FileStatus& expected) override {
    if (int code = CheckName(name)) return PosixError(code);
    if (int code = CheckName(to)) return PosixError(code);
    const int toFd = static_cast<PosixDir&>(toDir).fd_;
    if (linkat(fd_, name.c_str(), toFd, to.c_str(), 0) != 0) return PosixError(LastError());
    // The entry may have been swapped between the caller's look and the link.
    struct stat st;
    int code = 0;
    if (fstatat(toFd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      code = LastError();
    } else if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_dev) != expected.device ||
               (static_cast<std::uint64_t>(st.st_ino) != expected.inode && !SameFileOnFuse(name, st, expected))) {
      code = kChangedCode;
    }
    if (code != 0) unlinkat(toFd, to.c_str(), 0);
    return PosixError(code);
  }

  Status SyncFileSystem() override { return PosixError(native::SyncFileSystem(fd_)); }

  Status Sync() override {
    return PosixError(Retry([&] { return fsync(fd_); }) == 0 ? 0 : LastError());
  }

  bool CanClone() override { return CanCloneOn(fd_); }

  Status ProbeMedium(MediumTraits* traits) override { return PosixError(ProbeMediumIn(fd_, traits)); }

  Status SetAttributesNormal(const std::string& name) override {
    if (int code = CheckName(name)) return PosixError(code);
    return PosixError(SetAttributesNormalAt(fd_, name));
  }

  Status SetReadOnly(const std::string& name, bool readOnly) override {
    if (int code = CheckName(name)) return PosixError(code);
    return PosixError(SetReadOnlyAt(fd_, name, readOnly));
  }

  Status SetAttributes(const std::string& name, const FileAttributes& attributes) override {
    if (int code = CheckName(name)) return PosixError(code);
    return PosixError(SetAttributesAt(fd_, name, attributes));
  }

  Status SetPermissions(const std::string& name, std::uint32_t permissions) override {
    const mode_t mode = permissions & 07777;
    if (name.empty()) return PosixError(fchmod(fd_, mode) == 0 ? 0 : LastError());
    if (int code = CheckName(name)) return PosixError(code);
    return PosixError(ChmodNoFollow(fd_, name, mode));
  }

  Status SetOwner(const std::string& name, std::uint32_t owner, std::uint32_t group) override {
    if (name.empty()) return PosixError(fchown(fd_, owner, group) == 0 ? 0 : LastError());
    if (int code = CheckName(name)) return PosixError(code);
    // A link is left alone where the driver would change its target instead.
    struct stat st;
    if (fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode) && native::OnFuse(fd_)) {
      return Status();
    }
    return PosixError(fchownat(fd_, name.c_str(), owner, group, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : LastError());
  }

  std::int64_t TimeResolutionNs() override { return native::FileSystemOf(fd_).timeResolutionNs; }
  bool KeepsPermissions() override { return native::FileSystemOf(fd_).keepsPermissions; }

  Status Lock(const std::string& name) override {
    if (lock_.get() >= 0) return Status();
    if (int code = CheckName(name)) return PosixError(code);
    // A few rounds: each may find the file replaced or removed by the
    // holder that just let it go.
    for (int round = 0; round < 8; ++round) {
      struct stat st;
      UniqueFd file;
      // Made by this call: trusted by what it is (device and inode), whatever
      // owner the medium reports for it.
      bool made = false;
      if (fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!MayBeLockFile(st)) {
          // Not to be trusted (another user's, a link, a file with other
          // names, a FIFO): it goes, and a file of our own takes its place.
          // Who may not write this directory cannot remove it, and gets no
          // lock; what stays for another reason (a directory with entries,
          // another user's entry in a sticky directory) holds the name.
          if (unlinkat(fd_, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) {
            const int code = LastError();
            if (code == ENOENT) continue;
            return PosixError(code == EACCES || code == EROFS ? code : EEXIST);
          }
          continue;
        }
        file.reset(Retry([&] { return openat(fd_, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
      } else if (errno == ENOENT) {
        file.reset(Retry([&] {
          return openat(fd_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        }));
        made = file.get() >= 0;
      } else {
        return PosixError(LastError());
      }
      if (file.get() < 0) {
        // Removed, made or swapped meanwhile: look again.
        if (errno == ENOENT || errno == EEXIST || errno == ELOOP || errno == ENXIO) continue;
        return PosixError(LastError());
      }
      struct stat held;
      int code = fstat(file.get(), &held) == 0 ? 0 : LastError();
      if (code == 0 && !made && (held.st_dev != st.st_dev || held.st_ino != st.st_ino)) continue;
      if (code == 0 && (held.st_mode & 07777) != 0600) fchmod(file.get(), 0600);
      if (code == 0 && Retry([&] { return flock(file.get(), LOCK_EX | LOCK_NB); }) != 0) code = LastError();
      // Another run that found the file just made holds it now: it is theirs.
      if (code == EWOULDBLOCK) return PosixError(code);
      if (code != 0) {
        // A run that gets no lock leaves no lock file.
        if (made) RemoveLockFile(name, &file);
        return PosixError(code);
      }
      // The holder before us may have removed the name between our open and
      // our lock: a lock on a file nobody can find keeps nobody out.
      struct stat named;
      if (fstatat(fd_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != held.st_dev ||
          named.st_ino != held.st_ino) {
        continue;
      }
      lock_.reset(file.release());
      lockName_ = name;
      return Status();
    }
    return PosixError(EWOULDBLOCK);
  }

  Status TestLock(const std::string& name) override {
    if (lock_.get() >= 0) return Status();
    if (int code = CheckName(name)) return PosixError(code);
    struct stat st;
    if (fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT ? Status() : PosixError(LastError());
    }
    if (S_ISDIR(st.st_mode)) return HasEntries(name) ? PosixError(EEXIST) : Status();
    // Only a file that may be a lock file is one a lock would wait for;
    // anything else there would be replaced.
    if (!MayBeLockFile(st)) return Status();
    UniqueFd file(Retry([&] { return openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
    struct stat opened;
    if (file.get() < 0 || fstat(file.get(), &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
      return Status();
    }
    if (Retry([&] { return flock(file.get(), LOCK_SH | LOCK_NB); }) != 0) {
      const int code = LastError();
      return code == EWOULDBLOCK ? PosixError(code) : Status();
    }
    return Status();  // the shared lock ends with the file
  }

  ~PosixDir() override {
    if (lock_.get() >= 0) RemoveLockFile(lockName_, &lock_);
    close(fd_);
  }

  // Opens `name` relative to `dirfd` as a directory; with `followLink` a
  // final link is followed (paths the user named).
  static int OpenDirectory(int dirfd, const std::string& name, bool followLink, std::string path, const Os& os,
                           std::unique_ptr<OsDir>* dir) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    const int fd = Retry([&] { return openat(dirfd, name.c_str(), flags); });
    if (fd < 0) return LastError();
    *dir = std::make_unique<PosixDir>(fd, std::move(path), os);
    return 0;
  }

 private:
  // A name is one component: a separator in it would reach past this
  // directory, and "." or ".." would name no entry of it.
  static int CheckName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos || HasNul(name)) {
      return EINVAL;
    }
    return 0;
  }

  // Whether the subdirectory `name` (never followed) has an entry; false
  // where that cannot be read.
  bool HasEntries(const std::string& name) const {
    const int fd =
        Retry([&] { return openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0) return false;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
      close(fd);
      return false;
    }
    bool found = false;
    while (const struct dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
        found = true;
        break;
      }
    }
    closedir(dir);
    return found;
  }

  // Whether the entry `st` on the lock's name may be a lock file of a run of
  // ours: a regular file with no other name, of this user's or of the
  // directory's owner's. On a medium that maps owners (FAT mounted for a
  // desktop user, exFAT and NTFS through FUSE, sshfs) every entry reads as
  // the mount's user, the file another run made included; and whoever owns
  // the directory could remove what it holds anyway. Another user's file
  // planted in a directory users share is neither.
  bool MayBeLockFile(const struct stat& st) const {
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return false;
    if (st.st_uid == geteuid()) return true;
    struct stat directory;
    return fstat(fd_, &directory) == 0 && st.st_uid == directory.st_uid;
  }

  // Removes the lock file `name`, open as `*file`, and closes it. It goes
  // while it is still locked, so that nobody takes a lock on it that the next
  // run would not see. Where the medium removes no open file (SMB through
  // smbnetfs: EBUSY), it goes just after it is closed, if its name still
  // reaches it. Such a medium may hear of the close a moment after it is made
  // (FUSE passes it on without waiting for it), and refuses the removal until
  // then: it is tried again for up to kBusyWaitMs. Another run that opened
  // the file meanwhile keeps it busy on such a medium, and so keeps it.
  void RemoveLockFile(const std::string& name, UniqueFd* file) const {
    const int removed = RemoveIfStill(name, file->get());
    struct stat locked;
    const bool known = (removed == 0 || removed == EBUSY) && fstat(file->get(), &locked) == 0;
    file->reset(-1);
    if (!known) return;
    if (removed == 0) {
      // rclone writing straight to its remote removes an open file, and
      // makes it again as the file is closed. Where the name is back, it
      // goes while this run holds its lock once more; another run that took
      // it meanwhile keeps it.
      struct stat named;
      if (fstatat(fd_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != locked.st_dev ||
          named.st_ino != locked.st_ino) {
        return;
      }
      UniqueFd again(Retry([&] { return openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
      if (again.get() >= 0 && Retry([&] { return flock(again.get(), LOCK_EX | LOCK_NB); }) == 0) {
        (void)RemoveIfStill(name, again.get());
      }
      return;
    }
    for (int waited = 0, step = kBusyFirstStepMs;; waited += step, step = std::min(2 * step, kBusyLastStepMs)) {
      struct stat named;
      if (fstatat(fd_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != locked.st_dev ||
          named.st_ino != locked.st_ino) {
        return;
      }
      if (unlinkat(fd_, name.c_str(), 0) == 0 || errno != EBUSY || waited >= kBusyWaitMs) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(step));
    }
  }
  static constexpr int kBusyFirstStepMs = 5, kBusyLastStepMs = 200, kBusyWaitMs = 3000;

  // Removes `name` if it is still the file open as `fd`; 0, or the error.
  int RemoveIfStill(const std::string& name, int fd) const {
    struct stat named, opened;
    if (fstat(fd, &opened) != 0 || fstatat(fd_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
    if (named.st_dev != opened.st_dev || named.st_ino != opened.st_ino) return 0;
    return unlinkat(fd_, name.c_str(), 0) == 0 ? 0 : LastError();
  }

  int fd_;
  std::string path_;
  const Os& os_;
  UniqueFd lock_;  // the lock file, while the lock is held
  std::string lockName_;
};

// A file open for reading and appending, for its opener only: an exclusively
// opened and locked one (closing it ends the lock), or a scratch file without
// a name (closing it frees its space).
class PosixFile : public OsFile {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { close(fd_); }

  Status Size(std::uint64_t* size) override {
    struct stat st;
    if (fstat(fd_, &st) != 0) {
      *size = 0;
      return PosixError(LastError());
    }
    *size = static_cast<std::uint64_t>(st.st_size);
    return Status();
  }

  Status Append(const std::string& data) override {
    std::size_t done = 0;
    while (done < data.size()) {
      ssize_t put = Retry([&] { return write(fd_, data.data() + done, data.size() - done); });
      if (put < 0) return PosixError(LastError());
      if (put == 0) return PosixError(EIO);
      done += put;
    }
    return Status();
  }

  Status ReadAt(std::uint64_t offset, std::size_t count, std::string* out) override {
    out->clear();
    std::uint64_t size = 0;
    if (Status code = Size(&size); !code.ok()) return code;
    if (offset >= size || count == 0) return Status();
    // Never allocate more than the file can give.
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, size - offset));
    out->resize(count);
    std::size_t got = 0;
    while (got < count) {
      ssize_t n = Retry([&] { return pread(fd_, out->data() + got, count - got, static_cast<off_t>(offset + got)); });
      if (n < 0) {
        int code = LastError();
        out->resize(got);
        return PosixError(code);
      }
      if (n == 0) break;
      got += n;
    }
    out->resize(got);
    return Status();
  }

  Status Sync() override {
    return PosixError(Retry([&] { return fsync(fd_); }) == 0 ? 0 : LastError());
  }

 private:
  int fd_;
};

class PosixOs : public Os {
 public:
  Status Access(const std::string& path, int mode) override {
    if (HasNul(path)) return PosixError(EINVAL);
    int how;
    switch (mode) {
      case 0:
        how = F_OK;
        break;
      case 2:
        how = W_OK;
        break;
      case 4:
        how = R_OK;
        break;
      case 6:
        how = R_OK | W_OK;
        break;
      default:
        return PosixError(EINVAL);
    }
    return PosixError(access(path.c_str(), how) == 0 ? 0 : LastError());
  }

  Status OpenDir(const std::string& path, bool followLink, std::unique_ptr<OsDir>* dir) override {
    dir->reset();
    if (HasNul(path)) return PosixError(EINVAL);
    return PosixError(PosixDir::OpenDirectory(AT_FDCWD, path, followLink, path, *this, dir));
  }

  Status RealPath(const std::string& path, std::string* resolved) override {
    if (HasNul(path)) return PosixError(EINVAL);
    std::unique_ptr<char, void (*)(void*)> result(realpath(path.c_str(), nullptr), free);
    if (!result) return PosixError(LastError());
    *resolved = result.get();
    return Status();
  }

  Status FreeSpace(const std::string& path, std::uint64_t* bytes) override {
    if (HasNul(path)) return PosixError(EINVAL);
    struct statvfs vfs;
    if (statvfs(path.c_str(), &vfs) != 0) return PosixError(LastError());
    if (vfs.f_blocks == 0) return PosixError(EOPNOTSUPP);  // a size it does not know
    *bytes = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    return Status();
  }

  Status OpenScratchFile(std::unique_ptr<OsFile>* file) override {
    file->reset();
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string directory = tmpdir != nullptr && tmpdir[0] != '\0' ? tmpdir : "/tmp";
    const int flags = O_RDWR | O_APPEND | O_CLOEXEC;
    int fd = -1;
    if (const int code = native::OpenUnnamedFile(AT_FDCWD, directory.c_str(), flags, &fd)) {
      // Refused by the file system (or the system): a named file, unnamed at once.
      if (code != EOPNOTSUPP) return PosixError(code);
      std::string pattern = directory;
      if (pattern.back() != '/') pattern += '/';
      pattern += "VELDAR2-scratch-XXXXXX";
      fd = mkostemp(pattern.data(), O_APPEND | O_CLOEXEC);
      if (fd < 0) return PosixError(LastError());
      if (unlink(pattern.c_str()) != 0) {
        const int unlinkCode = LastError();
        close(fd);
        return PosixError(unlinkCode);
      }
    }
    *file = std::make_unique<PosixFile>(fd);
    return Status();
  }
  Status OpenExclusive(const std::string& path, std::unique_ptr<OsFile>* file) override {
    file->reset();
    if (HasNul(path)) return PosixError(EINVAL);
    // The holder may rename the file away between our open and our lock (the
    // log writer does exactly that when it closes); then our lock is on a
    // file nobody looks for, and we try again on whatever the path names now.
    for (int attempt = 0; attempt < 3; ++attempt) {
      UniqueFd fd(Retry(
          [&] { return open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600); }));
      if (fd.get() < 0) return PosixError(LastError());
      struct stat held;
      if (fstat(fd.get(), &held) != 0) return PosixError(LastError());
      if (!S_ISREG(held.st_mode)) return PosixError(NotRegularCode(held.st_mode));
      if (Retry([&] { return flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) return PosixError(LastError());
      struct stat named;
      if (lstat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
        // The descriptor stays non-blocking; that changes nothing for a
        // regular file and saves a call.
        *file = std::make_unique<PosixFile>(fd.release());
        return Status();
      }
    }
    return PosixError(EWOULDBLOCK);
  }

  Status CreateDirTree(const std::string& path) override {
    if (HasNul(path)) return PosixError(EINVAL);
    if (path.empty()) return PosixError(ENOENT);
    // Each prefix that ends a component, then the whole path.
    std::size_t end = 0;
    while (end < path.size()) {
      std::size_t slash = path.find('/', end + 1);
      if (slash == std::string::npos) slash = path.size();
      end = slash;
      // Skip "/" itself and the empty components of "//".
      if (path[end - 1] == '/') continue;
      std::string prefix = path.substr(0, end);
      if (mkdir(prefix.c_str(), 0700) == 0) continue;
      int code = LastError();
      // An existing directory (or link to one) is fine, whatever mkdir said
      // about it (EEXIST, or EACCES/EROFS on some file systems).
      struct stat st;
      if (stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
      return PosixError(code);
    }
    return Status();
  }

  std::string LogDir() override {
    std::string base;
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
      base = state;
    } else {
      std::string home = HomeDir();
      if (home.empty()) return "./";
      base = home + "/.local/state";
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    if (base == "/") base.clear();
    return base + "/VELDAR2/";
  }

  std::string PrivateRuntimeDir() override {
    // From the user id alone, never from the environment: the dialog of a
    // desktop session and a run from cron or a service (no XDG_RUNTIME_DIR,
    // another TMPDIR or HOME) find the same directory. Another user can make
    // no name in it.
    const std::string home = PasswordHomeDir(geteuid());
    if (home.empty()) return std::string();
    std::string path = home == "/" ? std::string() : home;
    for (const char* part : {"/.local", "/state", "/VELDAR2"}) {
      path += part;
      mkdir(path.c_str(), 0700);  // an existing one is checked like a new one
    }
    // This user's, not a link, and only its owner may add or replace names.
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 022) != 0)
      return std::string();
    return path;
  }

  std::optional<std::string> GetEnv(const std::string& name) override {
    if (HasNul(name)) return std::nullopt;
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  }

  int ProcessId() override { return static_cast<int>(getpid()); }

  bool IsAbandonedTemporary(std::string_view name) override {
    const int pid = static_cast<int>(TemporaryWriter(name));
    if (pid <= 0) return false;
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
  }

  bool MayChangeOwner() override { return geteuid() == 0; }
  std::uint32_t UserId() override { return geteuid(); }

  std::int64_t Now() override { return static_cast<std::int64_t>(time(nullptr)); }

  void SleepMs(int milliseconds) override {
    if (milliseconds <= 0) return;
    struct timespec left;
    left.tv_sec = milliseconds / 1000;
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }

  std::string ErrorText(const Status& status) override { return SystemErrorText(status.code()); }

  Status Error(int code) const override { return PosixError(code); }
  Status Error(ErrorKind kind) const override { return PosixError(ErrnoOf(kind)); }
  const PathRules& Paths() const override { return PathRules::Posix(); }

 private:
  static std::string HomeDir() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return home;
    return PasswordHomeDir(getuid());
  }

  // The home directory the password database gives `user`; empty without one.
  static std::string PasswordHomeDir(uid_t user) {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = suggested > 0 ? static_cast<std::size_t>(suggested) : 16384;
    for (int attempt = 0; attempt < 8; ++attempt, size *= 2) {
      std::vector<char> buffer(size);
      struct passwd entry;
      struct passwd* found = nullptr;
      int code = getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found);
      if (code == ERANGE) continue;
      if (code != 0 || found == nullptr || found->pw_dir == nullptr) return std::string();
      return found->pw_dir[0] == '/' ? std::string(found->pw_dir) : std::string();
    }
    return std::string();
  }
};

}  // namespace

std::unique_ptr<Os> MakeSystemOs() { return std::make_unique<PosixOs>(); }

}  // namespace veldar
