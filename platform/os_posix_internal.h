#pragma once
// What the POSIX layer's files share (os_posix.cpp, os_posix_dir.cpp,
// os_posix_copy.cpp, os_posix_medium.cpp): the one conversion of errno
// values, descriptors that close themselves, and the operations one file
// makes for another. For those files only; nothing else includes it.

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
namespace posix_internal {

using native::LastError;
using native::Retry;

// The code of an entry that is no longer the one the caller saw (kChanged):
// a failure only this layer finds, so it takes a code no file call gives
// ("identifier removed"); ESTALE is the system's, and means the medium's
// server lost the entry or went away.
constexpr int kChangedCode = EIDRM;

// The portable kind of an errno value.
inline ErrorKind KindOfErrno(int code) {
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
inline Status PosixError(int code) { return Status::Make(code, KindOfErrno(code)); }

// An errno value of `kind`, for a failure found by the program itself.
inline int ErrnoOf(ErrorKind kind) {
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
inline bool HasNul(const std::string& path) { return path.find('\0') != std::string::npos; }

// The code for a source that is neither a regular file nor a link.
inline int NotRegularCode(mode_t mode) { return S_ISDIR(mode) ? EISDIR : ENOTSUP; }

// Closes a descriptor; 0 or the error. EINTR counts as closed (Linux always
// releases the descriptor, and every caller that cares has fsync'ed before).
inline int CloseFd(int fd) {
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

// ---- Made in os_posix_copy.cpp ----

// The text of the link `name` relative to `dirfd`; 0 or the error.
int ReadLinkText(int dirfd, const std::string& name, std::size_t hint, std::string* text);
// Renames that never replace (`OsDir::MoveNoReplace`, `OsDir::MoveIfFree`); 0 or the error.
int RenameNoReplace(int fromFd, const std::string& from, int toFd, const std::string& to);
int RenameIfFree(int fromFd, const std::string& from, int toFd, const std::string& to);

// Where `WriteCopy` writes a copy, and whether it flushes it.
enum class CopyTarget {
  Temporary,           // a fresh temporary name beside the target; fsync'ed
  UnflushedTemporary,  // a fresh temporary name; not fsync'ed (staged copies)
  Target,              // the target's own name, which must be free; not fsync'ed
};

// The name of a new temporary file beside `target` (a path or a name), of
// the program's own temporary naming.
std::string TemporaryPath(const std::string& target);
// Gives the finished temporary entry `temp` the name `to` (both relative to
// `dirfd`), as `OsDir::PlaceCopy`; 0 or the error, `temp` staying.
int PlaceTemporary(int dirfd, const std::string& temp, const std::string& to, CopyMode mode);
// Gives the open file `out` the owner (root only), permission bits and
// times of the source `st`; 0, also where the medium cannot hold them.
int CopyMetadata(int out, const struct stat& st);
// Writes the copy of `from` (relative to `fromFd`) meant for `to` (relative
// to `toFd`) as `target` says; `*made` names the entry made. See the
// definition for the whole contract.
int WriteCopy(int fromFd, const std::string& from, int toFd, const std::string& to, CopyTarget target,
              std::string* made, std::uint64_t* bytesCopied, CopyProgress* progress, bool* readFailed);
// The whole copy, as `OsDir::CopyFile`; 0 or the error.
int CopyAt(int fromFd, const std::string& from, int toFd, const std::string& to, CopyMode mode,
           std::uint64_t* bytesCopied, CopyProgress* progress, bool* readFailed);
// True when `st` is the regular file `expected` describes (device, inode,
// size, last-write time).
bool IsExpectedFile(const struct stat& st, const FileStatus& expected);
// Permission and attribute changes of `name` relative to `dirfd` that never
// follow a link (a link is left alone and counts as done); 0 or the error.
int ChmodNoFollow(int dirfd, const std::string& name, mode_t mode);
int SetReadOnlyAt(int dirfd, const std::string& name, bool readOnly);
int SetAttributesAt(int dirfd, const std::string& name, const FileAttributes& attributes);

// ---- Made in os_posix_medium.cpp ----

// Whether files can be cloned in the directory `fd` (`OsDir::CanClone`).
bool CanCloneOn(int fd);
// `OsDir::ProbeMedium` in the directory `fd`; 0 or the error.
int ProbeMediumIn(int fd, MediumTraits* traits);

// ---- Made in os_posix.cpp ----

// An open file of the caller's (`OsFile`) over the descriptor `fd`, which it
// closes.
std::unique_ptr<OsFile> MakePosixFile(int fd);

// ---- Made in os_posix_dir.cpp ----

// The entries of the directory `dirfd`, as `OsDir::List`; 0 or the error.
int ListFd(int dirfd, std::vector<DirEntry>* entries, const NameFilter& wanted);

// Opens the directory `name` relative to `dirfd` (a path with AT_FDCWD) as
// an `OsDir` named `path`, following a final link only with `followLink`.
int OpenPosixDir(int dirfd, const std::string& name, bool followLink, std::string path, const Os& os,
                 std::unique_ptr<OsDir>* dir);

}  // namespace posix_internal
}  // namespace veldar
