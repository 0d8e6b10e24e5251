#pragma once
// What the POSIX OS layer (os_posix.cpp) needs of the system beyond POSIX:
// the few calls that each system offers in its own way, or not at all. One
// file per system implements them (posix_native_linux.cpp), and
// posix_native_portable.cpp with POSIX alone (the "Portable:" answers
// below), on which the tests run the layer's fallbacks; everything else of
// `PosixOs` is portable and lives in os_posix.cpp. Internal to platform/.
//
// Every function returns 0 on success or an errno value (never 0 for a
// failure), and repeats a call interrupted by a signal (EINTR) unless it says
// otherwise. Where a system has no such call, its version gives the code
// named below, and the caller falls back as described there.

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/os.h"

namespace veldar::native {

// ---- Helpers of os_posix.cpp and each system's file ----

// errno as a result code; never 0, so a call that failed is never taken for a
// success even if it forgot to set errno.
inline int LastError() {
  const int code = errno;
  return code != 0 ? code : EIO;
}

// Repeats `call` while it fails with EINTR; returns its last result.
template <typename Call>
auto Retry(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// Fills in what the mode word alone tells: the kind, the permission bits and
// the attributes. For each system's status calls below.
inline void FillFromMode(mode_t mode, FileStatus* status) {
  if (S_ISREG(mode)) {
    status->kind = EntryKind::File;
  } else if (S_ISDIR(mode)) {
    status->kind = EntryKind::Directory;
  } else if (S_ISLNK(mode)) {
    status->kind = EntryKind::Symlink;
  } else {
    status->kind = EntryKind::Special;
  }
  status->permissions = mode & 07777;
  status->attributes.directory = S_ISDIR(mode);
  status->attributes.readOnly = (mode & S_IWUSR) == 0;
  status->attributes.system = false;
  status->attributes.hidden = false;
  status->attributes.native = mode;
}

// ---- The calls ----

// Fills `status` with the status of `name` relative to `dirfd` (AT_FDCWD:
// relative to the working directory); a final link is reported as a link
// unless `followLink`, and no automount is triggered at `name`. On failure
// `status` is left as it was; `linkToDirectory` is never touched.
// Portable: fstatat(2), without a birth time (the last-write time stands in
// for it) and without a mount id (0).
int StatusAt(int dirfd, const char* name, bool followLink, FileStatus* status);
// The same for the file or directory `fd` is open on. Portable: fstat(2).
int StatusOf(int fd, FileStatus* status);
// `StatusAt` (a link not followed), or `StatusOf(dirfd)` where `name` is
// empty, as the file system itself answers, past the attributes the kernel
// keeps for a FUSE or network mount. Portable: the same calls.
int FreshStatusAt(int dirfd, const char* name, FileStatus* status);

// Renames `from` (relative to `fromFd`) to `to` (relative to `toFd`) in one
// step that fails with EEXIST where `to` exists. ENOSYS where neither the
// system nor this file system can: the caller then links `to` and unlinks
// `from` (a file), which never replaces either. Portable: ENOSYS.
int RenameNoReplace(int fromFd, const char* from, int toFd, const char* to);

// Swaps the entries `a` and `b` of the directory `dirfd` in one step.
// EOPNOTSUPP where the system or the file system cannot; nothing changes
// then. Portable: EOPNOTSUPP.
int Exchange(int dirfd, const char* a, const char* b);

// Gives the file open for writing as `out` the content of the regular file
// open as `in` by sharing its data blocks (a clone: later changes to one
// never reach the other). EOPNOTSUPP where these two files cannot be cloned
// (the system, the file system, two file systems); the caller copies them
// instead, or reports the clone unsupported. Portable: EOPNOTSUPP.
int CloneContent(int out, int in);

// Copies up to `length` bytes from `in` at `*inOffset` to `out` at
// `*outOffset` inside the kernel (cloning where the file system can), moving
// both offsets on by what was copied; `*copied` receives that, 0 at the end
// of `in`. The file descriptors' own offsets are not used. Not repeated on
// EINTR: the caller decides whether to go on. ENOSYS, EXDEV, EOPNOTSUPP or
// EINVAL where this cannot be used for these two files, and a first call may
// also copy 0 bytes of a file that has content (file systems that do not
// know their sizes): the caller then reads and writes. Portable: ENOSYS.
int CopyFileRange(int in, off_t* inOffset, int out, off_t* outOffset, std::size_t length, std::size_t* copied);

// Flushes to the disk everything written to the file system that holds `fd`:
// the data and entries of every file and directory on it.
// Portable: sync(2), which flushes every file system and cannot fail.
int SyncFileSystem(int fd);

// Opens a new regular file without a name in the directory `directory`
// (relative to `dirfd`) with `flags` (O_RDWR and the like), readable and
// writable by its owner only (0600);
// `*fd` receives its descriptor. Nothing appears in the directory, and the
// file's space is freed once its last descriptor is closed. EOPNOTSUPP where
// the system or the file system cannot: the caller then makes a named file
// and unlinks it, or does without. Portable: EOPNOTSUPP.
int OpenUnnamedFile(int dirfd, const char* directory, int flags, int* fd);

// What the file system holding `fd` keeps, as far as its kind tells.
struct FileSystemTraits {
  // The largest amount, in nanoseconds, by which a last-write time set on a
  // file may come back earlier than it was set; 0 where times are exact.
  std::int64_t timeResolutionNs = 0;
  // False where permission bits and owners are decided by the mount, not
  // kept per file (setting them fails or changes nothing).
  bool keepsPermissions = true;
  // True for the kinds that can clone (`CloneContent`); whether this one can
  // is still to be found out by trying.
  bool mayClone = false;
  // A FUSE mount's kind as the mount table names it ("fuse.sshfs"); empty
  // for any other.
  std::string kind;
  // Names the kind is known to refuse, said without trying them: an SMB
  // client loses its connection to the server for seconds over one name
  // refused. `namesKnown` false: the kind tells nothing, try them.
  bool namesKnown = false;
  const char* refusedCharacters = "";
  bool refusesControlCharacters = false;
  bool refusesTrailingDotOrBlank = false;
  bool foldsCase = false;
  // Whether case is folded, or not, by the file system as a whole, never by
  // a single directory (MediumTraits::foldsCaseThroughout).
  bool foldsCaseThroughout = false;
  // FAT: 4 GiB - 1.
  std::uint64_t largestFile = UINT64_MAX;
  // False where the file system reports no size at all (0 blocks).
  bool freeSpaceKnown = true;
  // An entry's number is made from its path (rclone): a rename gives it
  // another, which the driver starts to answer with a moment later.
  bool numbersFollowPath = false;
};
// The traits of the file system holding `fd`; where they cannot be read, the
// defaults above. Portable: the defaults (exact times, permissions kept, no
// clones, no kind).
FileSystemTraits FileSystemOf(int fd);

// Whether `fd` is on a FUSE mount, told by one fstatfs(2), without the look
// into the mount table `FileSystemOf` takes there: a call made per file asks
// this. A FUSE driver may apply what is set on a link (its times, its owner)
// to what the link points to (sshfs does, on the server), so a link's own
// are never set there; and its inode numbers are its own (sshfs gives each
// path one, so two links to one file show two). Portable: false.
bool OnFuse(int fd);

// The last-write time of `name` (relative to `dirfd`, a link not followed)
// as the file system itself has it, past the attributes the kernel keeps for
// a FUSE or network mount. 0 or the error. Portable: fstatat(2).
int FreshModifiedTime(int dirfd, const char* name, struct timespec* mtime);

// The kind of the mount `fd` is reached through, as the mount table names it
// ("ext4", "fuse.sshfs", "fuseblk"); empty where it cannot be read.
// Portable: empty.
std::string MountKind(int fd);

}  // namespace veldar::native
