// PosixOs: the `Os` of Linux (and, as far as the calls allow, other POSIX
// systems). The rest of the program was designed around Windows facilities;
// this comment is the one place that says how each of them is realised here.
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
//    copy_file_range (which clones where the file system can; read/write where
//    it refuses), then given the source's owner and group (root only; a file
//    system that cannot hold them is no failure), permission bits (07777; a
//    file system that cannot hold them is no failure either) and atime/mtime
//    with nanoseconds, fsync'ed, closed, and renamed onto the target: rename(2)
//    to replace, renameat2(RENAME_NOREPLACE) for fail-if-exists. The target
//    therefore never names a partial file, and an overwritten target is a new
//    inode whose birth time is the time of the copy. Any failure removes the
//    temporary file and leaves the target as it was. The directory is not
//    fsync'ed after the rename: that would make small-file copies take about
//    twice as long, and a rename lost in a crash leaves the old target (or
//    none), never a partial file, so the next run simply copies again.
//  - The source's entry is examined with lstat before it is opened: a link is
//    copied as a link (same text, same times), and anything other than a
//    regular file is refused unopened (opening a FIFO would block or wake a
//    waiting writer, opening a device can act on the device): EISDIR for a
//    directory, ENOTSUP for a FIFO, socket or device. The open itself uses
//    O_NOFOLLOW|O_NONBLOCK and fstat re-checks the kind, so an entry swapped
//    in between is caught too. The mtime given to the copy is the one fstat
//    read before any content, so a file that changes during the copy looks
//    older than the source to the next run and is copied again.
//  - MoveFileA "fail if the target exists" is renameat2(RENAME_NOREPLACE);
//    where the file system refuses the flag (EINVAL, ENOSYS) it is link(2)
//    then unlink(2) of the old name, which also never replaces.
//  - DeleteFileA is unlink (a directory fails with EISDIR), RemoveDirectoryA
//    rmdir (a link fails with ENOTDIR), CreateDirectoryA mkdir 0777 less the
//    umask.
//  - Attributes: read-only means the owner's write bit is clear;
//    FILE_ATTRIBUTE_NORMAL adds the owner's write bit; there is no system or
//    hidden attribute; the attribute word is st_mode. Links have no
//    permission bits of their own and are left alone.
//  - The creation time is statx's birth time where the file system reports
//    one, else the last-write time. Only atime and mtime can be set.
//  - _access is access(2): 4 R_OK, 2 W_OK, 0 F_OK, 6 R_OK|W_OK.
//  - FindFirstFile/FindNextFile is one readdir pass with one statx per entry,
//    relative to the directory's descriptor, without following links or
//    triggering automounts; an entry that vanishes in between is left out.
//  - GetDiskFreeSpaceEx is statvfs: f_bavail * f_frsize.
//  - A file opened "with no sharing" is opened (created 0600 if missing, never
//    truncated) and locked with flock(LOCK_EX|LOCK_NB); the lock is only taken
//    to count if the path still names the locked inode afterwards, because a
//    holder may rename the file away between our open and our lock.
//
// Process
//  - The program's directory comes from /proc/self/exe. The log directory is
//    $XDG_STATE_HOME/VELDAR2/ (when set, non-empty and absolute), else
//    $HOME/.local/state/VELDAR2/ (the password database's home when HOME is
//    unset).
//  - Local time is localtime_r + strftime; Sleep is nanosleep.

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
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
#include <vector>

#include "platform/os.h"

namespace veldar {
namespace {

// errno as a result code; never 0, so a call that failed is never taken for a
// success even if it forgot to set errno.
int LastError() {
  int code = errno;
  return code != 0 ? code : EIO;
}

// True for a path the system would silently cut short at an embedded NUL.
bool HasNul(const std::string& path) { return path.find('\0') != std::string::npos; }

// The code for a source that is neither a regular file nor a link.
int NotRegularCode(mode_t mode) { return S_ISDIR(mode) ? EISDIR : ENOTSUP; }

// Repeats `call` while it fails with EINTR; returns its last result.
template <typename Call>
auto Retry(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

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

void FillStatus(const struct statx& sx, FileStatus* status) {
  const mode_t mode = sx.stx_mode;
  if (S_ISREG(mode)) {
    status->kind = EntryKind::File;
  } else if (S_ISDIR(mode)) {
    status->kind = EntryKind::Directory;
  } else if (S_ISLNK(mode)) {
    status->kind = EntryKind::Symlink;
  } else {
    status->kind = EntryKind::Special;
  }
  status->mtimeSec = sx.stx_mtime.tv_sec;
  status->mtimeNsec = sx.stx_mtime.tv_nsec;
  status->birthSec = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_mtime.tv_sec;
  status->birthNsec = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_nsec : sx.stx_mtime.tv_nsec;
  status->size = sx.stx_size;
  status->attributes.directory = S_ISDIR(mode);
  status->attributes.readOnly = (mode & S_IWUSR) == 0;
  status->attributes.system = false;
  status->attributes.hidden = false;
  status->attributes.native = mode;
}

constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

// The text of the link at `path`; 0 or the error.
int ReadLinkText(const std::string& path, std::size_t hint, std::string* text) {
  std::size_t capacity = std::max<std::size_t>(hint + 1, 128);
  for (;;) {
    std::string buffer(capacity, '\0');
    ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
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

// Renames without replacing: renameat2(RENAME_NOREPLACE), or link + unlink
// where the file system does not know the flag. EEXIST when `to` exists.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  int code = LastError();
  if (code != EINVAL && code != ENOSYS) return code;
  if (link(from.c_str(), to.c_str()) != 0) return LastError();
  if (unlink(from.c_str()) != 0) {
    // Both names now exist: take the new one back, so the move fails cleanly
    // instead of leaving a second name behind.
    code = LastError();
    unlink(to.c_str());
    return code;
  }
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

// A fresh name for a temporary file beside `target`: ".~" + a prefix of the
// target's name + "." + a unique suffix + ".tmp", at most 255 bytes (NAME_MAX)
// whatever the target's name is.
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
  while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80)
    --keep;
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%d-%08x-%u.tmp", static_cast<int>(getpid()),
                static_cast<unsigned>(random()), counter.fetch_add(1));
  return directory + ".~" + name.substr(0, keep) + suffix;
}

// Copies the bytes of `in` to `out`; 0 or the error. `copied` receives the
// count either way.
int CopyContent(int in, int out, std::uint64_t sourceSize, std::uint64_t* copied) {
  *copied = 0;
  bool first = true;
  for (;;) {
    ssize_t n = copy_file_range(in, nullptr, out, nullptr, std::size_t{1} << 30, 0);
    if (n > 0) {
      *copied += n;
      first = false;
      continue;
    }
    if (n == 0) {
      // Some file systems (proc-like ones, some FUSE) report 0 at once for a
      // file that has content; read it the ordinary way instead.
      if (first && sourceSize > 0) break;
      return 0;
    }
    if (errno == EINTR) continue;
    if (first && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) {
      break;
    }
    return LastError();
  }
  // Plain read/write, from where copy_file_range stopped (the start).
  constexpr std::size_t kBuffer = 256 * 1024;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBuffer]);
  if (!buffer) return ENOMEM;
  for (;;) {
    ssize_t got = Retry([&] { return read(in, buffer.get(), kBuffer); });
    if (got < 0) return LastError();
    if (got == 0) return 0;
    ssize_t done = 0;
    while (done < got) {
      ssize_t put = Retry([&] { return write(out, buffer.get() + done, got - done); });
      if (put < 0) return LastError();
      if (put == 0) return EIO;
      done += put;
    }
    *copied += got;
  }
}

// Chown/chmod failures that only mean the target's file system cannot hold
// the value (FAT, some network shares): the copy is still a good copy.
bool MetadataUnsupported(int code) {
  return code == EPERM || code == EINVAL || code == ENOTSUP || code == EOPNOTSUPP;
}

// Gives a finished temporary entry the target's name.
int PlaceTemporary(const std::string& temp, const std::string& to, CopyMode mode) {
  if (mode == CopyMode::FailIfExists) return RenameNoReplace(temp, to);
  return rename(temp.c_str(), to.c_str()) == 0 ? 0 : LastError();
}

// Copies the link at `from` (as lstat described it in `st`) as a link.
int CopyLink(const std::string& from, const struct stat& st, const std::string& to, CopyMode mode,
             std::uint64_t* bytesCopied) {
  std::string text;
  if (int code = ReadLinkText(from, st.st_size, &text)) return code;
  std::string temp;
  for (int attempt = 0;; ++attempt) {
    temp = TemporaryPath(to);
    if (symlink(text.c_str(), temp.c_str()) == 0) break;
    if (errno != EEXIST || attempt >= 100) return LastError();
  }
  int code = 0;
  if (geteuid() == 0 && lchown(temp.c_str(), st.st_uid, st.st_gid) != 0 &&
      !MetadataUnsupported(errno)) {
    code = LastError();
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (code == 0 && utimensat(AT_FDCWD, temp.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    code = LastError();
  }
  if (code == 0) code = PlaceTemporary(temp, to, mode);
  if (code != 0) {
    unlink(temp.c_str());
    return code;
  }
  if (bytesCopied) *bytesCopied = text.size();
  return 0;
}

// Changes the permission bits of `path` without following a final link; a
// link (found before or in between) is left alone and counts as done.
int ChmodNoFollow(const std::string& path, mode_t mode) {
  if (fchmodat(AT_FDCWD, path.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0) return 0;
  int code = LastError();
  if (code != ENOTSUP && code != EOPNOTSUPP) return code;
  // ENOTSUP: the entry is a link, or /proc (which the C library goes through)
  // is not mounted.
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return LastError();
  if (S_ISLNK(st.st_mode)) return 0;
  return chmod(path.c_str(), mode) == 0 ? 0 : LastError();
}

// An exclusively opened and locked file; closing it ends the lock.
class PosixFile : public OsFile {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { close(fd_); }

  int Size(std::uint64_t* size) override {
    struct stat st;
    if (fstat(fd_, &st) != 0) {
      *size = 0;
      return LastError();
    }
    *size = static_cast<std::uint64_t>(st.st_size);
    return 0;
  }

  int Append(const std::string& data) override {
    std::size_t done = 0;
    while (done < data.size()) {
      ssize_t put = Retry([&] { return write(fd_, data.data() + done, data.size() - done); });
      if (put < 0) return LastError();
      if (put == 0) return EIO;
      done += put;
    }
    return 0;
  }

  int ReadAt(std::uint64_t offset, std::size_t count, std::string* out) override {
    out->clear();
    std::uint64_t size = 0;
    if (int code = Size(&size)) return code;
    if (offset >= size || count == 0) return 0;
    // Never allocate more than the file can give.
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, size - offset));
    out->resize(count);
    std::size_t got = 0;
    while (got < count) {
      ssize_t n = Retry([&] {
        return pread(fd_, out->data() + got, count - got, static_cast<off_t>(offset + got));
      });
      if (n < 0) {
        int code = LastError();
        out->resize(got);
        return code;
      }
      if (n == 0) break;
      got += n;
    }
    out->resize(got);
    return 0;
  }

  int Sync() override {
    return Retry([&] { return fsync(fd_); }) == 0 ? 0 : LastError();
  }

 private:
  int fd_;
};

class PosixOs : public Os {
 public:
  int CopyFile(const std::string& from, const std::string& to, CopyMode mode,
               std::uint64_t* bytesCopied) override {
    if (bytesCopied) *bytesCopied = 0;
    if (HasNul(from) || HasNul(to)) return EINVAL;
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) return LastError();
    if (S_ISLNK(st.st_mode)) return CopyLink(from, st, to, mode, bytesCopied);
    if (!S_ISREG(st.st_mode)) return NotRegularCode(st.st_mode);

    UniqueFd in(
        Retry([&] { return open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
    if (in.get() < 0) {
      int code = LastError();
      // Replaced by a link since the lstat: copy the link.
      if (code == ELOOP && lstat(from.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        return CopyLink(from, st, to, mode, bytesCopied);
      return code;
    }
    // The times, mode and size given to the copy are those of the file as
    // opened, read before any of its content.
    if (fstat(in.get(), &st) != 0) return LastError();
    if (!S_ISREG(st.st_mode)) return NotRegularCode(st.st_mode);

    std::string temp;
    UniqueFd out;
    for (int attempt = 0;; ++attempt) {
      temp = TemporaryPath(to);
      out.reset(
          Retry([&] { return open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); }));
      if (out.get() >= 0) break;
      if (errno != EEXIST || attempt >= 100) return LastError();
    }

    std::uint64_t copied = 0;
    int code = CopyContent(in.get(), out.get(), static_cast<std::uint64_t>(st.st_size), &copied);
    // Owner first: chown clears set-user-ID and set-group-ID bits.
    if (code == 0 && geteuid() == 0 && fchown(out.get(), st.st_uid, st.st_gid) != 0 &&
        !MetadataUnsupported(errno)) {
      code = LastError();
    }
    if (code == 0 && fchmod(out.get(), st.st_mode & 07777) != 0 && !MetadataUnsupported(errno)) {
      code = LastError();
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (code == 0 && futimens(out.get(), times) != 0) code = LastError();
    // An empty file has no data that could be lost, and its inode reaches the
    // journal before the rename that names it; fsync'ing it anyway forces a
    // journal commit per file, which made trees of empty files copy about
    // fifteen times slower.
    if (code == 0 && copied > 0 && Retry([&] { return fsync(out.get()); }) != 0) code = LastError();
    if (code == 0) {
      code = CloseFd(out.release());
    }
    if (code == 0) code = PlaceTemporary(temp, to, mode);
    if (code != 0) {
      unlink(temp.c_str());
      return code;
    }
    if (bytesCopied) *bytesCopied = copied;
    return 0;
  }

  int DeleteFile(const std::string& path) override {
    if (HasNul(path)) return EINVAL;
    return unlink(path.c_str()) == 0 ? 0 : LastError();
  }

  int RemoveDir(const std::string& path) override {
    if (HasNul(path)) return EINVAL;
    return rmdir(path.c_str()) == 0 ? 0 : LastError();
  }

  int CreateDir(const std::string& path) override {
    if (HasNul(path)) return EINVAL;
    return mkdir(path.c_str(), 0777) == 0 ? 0 : LastError();
  }

  int MoveNoReplace(const std::string& from, const std::string& to) override {
    if (HasNul(from) || HasNul(to)) return EINVAL;
    return RenameNoReplace(from, to);
  }

  int Stat(const std::string& path, bool followLink, FileStatus* status) override {
    if (HasNul(path)) return EINVAL;
    struct statx sx;
    int flags = followLink ? 0 : AT_SYMLINK_NOFOLLOW;
    if (statx(AT_FDCWD, path.c_str(), flags, kStatxMask, &sx) != 0) return LastError();
    FillStatus(sx, status);
    return 0;
  }

  int SetAttributesNormal(const std::string& path) override {
    if (HasNul(path)) return EINVAL;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return LastError();
    if (S_ISLNK(st.st_mode) || (st.st_mode & S_IWUSR)) return 0;
    return ChmodNoFollow(path, (st.st_mode & 07777) | S_IWUSR);
  }

  int SetAttributes(const std::string& path, const FileAttributes& attributes) override {
    if (HasNul(path)) return EINVAL;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return LastError();
    if (S_ISLNK(st.st_mode)) return 0;
    // A word read by Stat always holds the file type bits; without them the
    // caller built the attributes itself, and only the read-only flag counts.
    mode_t mode = attributes.native != 0 ? (attributes.native & 07777) : (st.st_mode & 07777);
    if (attributes.readOnly) {
      mode &= ~static_cast<mode_t>(S_IWUSR);
    } else {
      mode |= S_IWUSR;
    }
    if (mode == (st.st_mode & 07777)) return 0;
    return ChmodNoFollow(path, mode);
  }

  int SetTimes(const std::string& path, std::int64_t seconds) override {
    if (HasNul(path)) return EINVAL;
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : LastError();
  }

  int Access(const std::string& path, int mode) override {
    if (HasNul(path)) return EINVAL;
    int how;
    switch (mode) {
      case 0: how = F_OK; break;
      case 2: how = W_OK; break;
      case 4: how = R_OK; break;
      case 6: how = R_OK | W_OK; break;
      default: return EINVAL;
    }
    return access(path.c_str(), how) == 0 ? 0 : LastError();
  }

  int ListDir(const std::string& path, bool followLink, std::vector<DirEntry>* entries,
              const NameFilter& wanted = {}) override {
    entries->clear();
    if (HasNul(path)) return EINVAL;
    int flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    int fd = Retry([&] { return open(path.c_str(), flags); });
    if (fd < 0) return LastError();
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
      int code = LastError();
      close(fd);
      return code;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
    const int statFlags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_SYNC_AS_STAT;
    for (;;) {
      errno = 0;
      struct dirent* entry = readdir(dir);
      if (entry == nullptr) {
        if (errno != 0) return LastError();
        return 0;
      }
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      if (wanted && !wanted(name)) continue;
      struct statx sx;
      if (statx(fd, name, statFlags, kStatxMask, &sx) != 0) {
        // Deleted since it was read: it is simply no longer there.
        if (errno == ENOENT) continue;
        return LastError();
      }
      DirEntry& added = entries->emplace_back();
      added.name = name;
      FillStatus(sx, &added.status);
    }
  }

  int FreeSpace(const std::string& path, std::uint64_t* bytes) override {
    if (HasNul(path)) return EINVAL;
    struct statvfs vfs;
    if (statvfs(path.c_str(), &vfs) != 0) return LastError();
    *bytes = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    return 0;
  }

  int OpenExclusive(const std::string& path, std::unique_ptr<OsFile>* file) override {
    file->reset();
    if (HasNul(path)) return EINVAL;
    // The holder may rename the file away between our open and our lock (the
    // log writer does exactly that when it closes); then our lock is on a
    // file nobody looks for, and we try again on whatever the path names now.
    for (int attempt = 0; attempt < 3; ++attempt) {
      UniqueFd fd(Retry([&] {
        return open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                    0600);
      }));
      if (fd.get() < 0) return LastError();
      struct stat held;
      if (fstat(fd.get(), &held) != 0) return LastError();
      if (!S_ISREG(held.st_mode)) return NotRegularCode(held.st_mode);
      if (Retry([&] { return flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) return LastError();
      struct stat named;
      if (lstat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
          named.st_ino == held.st_ino) {
        // The descriptor stays non-blocking; that changes nothing for a
        // regular file and saves a call.
        *file = std::make_unique<PosixFile>(fd.release());
        return 0;
      }
    }
    return EWOULDBLOCK;
  }

  int CreateDirTree(const std::string& path) override {
    if (HasNul(path)) return EINVAL;
    if (path.empty()) return ENOENT;
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
      return code;
    }
    return 0;
  }

  std::string ProgramDir() override {
    std::string exe;
    if (ReadLinkText("/proc/self/exe", PATH_MAX, &exe) != 0) return "./";
    auto slash = exe.rfind('/');
    if (slash == std::string::npos) return "./";
    return exe.substr(0, slash + 1);
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

  std::optional<std::string> GetEnv(const std::string& name) override {
    if (HasNul(name)) return std::nullopt;
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  }

  int ProcessId() override { return static_cast<int>(getpid()); }

  std::int64_t Now() override { return static_cast<std::int64_t>(time(nullptr)); }

  std::string FormatLocalTime(std::int64_t seconds, const char* format) override {
    time_t when = static_cast<time_t>(seconds);
    struct tm local;
    if (localtime_r(&when, &local) == nullptr) return std::string();
    char buffer[128];
    std::size_t length = strftime(buffer, sizeof buffer, format, &local);
    return std::string(buffer, length);
  }

  void SleepMs(int milliseconds) override {
    if (milliseconds <= 0) return;
    struct timespec left;
    left.tv_sec = milliseconds / 1000;
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }

  std::string ErrorText(int code) override {
    char buffer[256];
    buffer[0] = '\0';
    return PickErrorText(strerror_r(code, buffer, sizeof buffer), buffer);
  }

  bool IsNotFound(int code) const override { return code == ENOENT; }
  bool IsAccessDenied(int code) const override { return code == EACCES; }
  char Separator() const override { return '/'; }
  char OptionChar() const override { return '-'; }

 private:
  // strerror_r comes in two shapes: the GNU one returns the text, the XSI one
  // fills the buffer and returns 0.
  static std::string PickErrorText(char* text, char*) {
    return text ? std::string(text) : std::string();
  }
  static std::string PickErrorText(int result, char* buffer) {
    return result == 0 ? std::string(buffer) : "Unknown error";
  }

  static std::string HomeDir() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return home;
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = suggested > 0 ? static_cast<std::size_t>(suggested) : 16384;
    for (int attempt = 0; attempt < 8; ++attempt, size *= 2) {
      std::vector<char> buffer(size);
      struct passwd entry;
      struct passwd* found = nullptr;
      int code = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
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
