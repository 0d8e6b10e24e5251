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
//    of a link, a new owner given to one): sshfs applies them to what the link points
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
//
// The layer is split by concern: this file holds the files for their
// opener only and the process's side (`PosixOs`); os_posix_dir.cpp the open
// directory, os_posix_copy.cpp the copies, os_posix_medium.cpp the probe of
// a medium; os_posix_internal.h what they share.

#include "platform/os_posix_internal.h"

namespace veldar {
namespace posix_internal {
namespace {

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
    return PosixError(OpenPosixDir(AT_FDCWD, path, followLink, path, *this, dir));
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

std::unique_ptr<OsFile> MakePosixFile(int fd) { return std::make_unique<PosixFile>(fd); }

}  // namespace posix_internal

std::unique_ptr<Os> MakeSystemOs() { return std::make_unique<posix_internal::PosixOs>(); }

}  // namespace veldar
