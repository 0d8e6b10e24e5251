// The calls of posix_native.h with POSIX alone: every one either made from
// POSIX calls or answered with the code that sends the POSIX layer to its own
// fallback. What a system without calls of its own starts from; the tests
// build the layer on it to check those fallbacks, which Linux's file systems
// seldom reach.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix_native.h"

namespace veldar::native {
namespace {

// No birth time (the last-write time stands in) and no mount id.
void FillStatus(const struct stat& st, FileStatus* status) {
  FillFromMode(st.st_mode, status);
  status->mtimeSec = st.st_mtim.tv_sec;
  status->mtimeNsec = static_cast<std::uint32_t>(st.st_mtim.tv_nsec);
  status->birthSec = status->mtimeSec;
  status->birthNsec = status->mtimeNsec;
  status->size = static_cast<std::uint64_t>(st.st_size);
  status->allocated = static_cast<std::uint64_t>(st.st_blocks) * 512;
  status->links = static_cast<std::uint32_t>(st.st_nlink);
  status->owner = st.st_uid;
  status->group = st.st_gid;
  status->device = static_cast<std::uint64_t>(st.st_dev);
  status->inode = static_cast<std::uint64_t>(st.st_ino);
  status->mountId = 0;
}

}  // namespace

int StatusAt(int dirfd, const char* name, bool followLink, FileStatus* status) {
  struct stat st;
  if (fstatat(dirfd, name, &st, followLink ? 0 : AT_SYMLINK_NOFOLLOW) != 0) return LastError();
  FillStatus(st, status);
  return 0;
}

int StatusOf(int fd, FileStatus* status) {
  struct stat st;
  if (fstat(fd, &st) != 0) return LastError();
  FillStatus(st, status);
  return 0;
}

int RenameNoReplace(int, const char*, int, const char*) { return ENOSYS; }

int Exchange(int, const char*, const char*) { return EOPNOTSUPP; }

int CloneContent(int, int) { return EOPNOTSUPP; }

int CopyFileRange(int, off_t*, int, off_t*, std::size_t, std::size_t*) { return ENOSYS; }

int SyncFileSystem(int) {
  sync();
  return 0;
}

int OpenUnnamedFile(int, const char*, int, int*) { return EOPNOTSUPP; }

FileSystemTraits FileSystemOf(int) { return FileSystemTraits(); }

std::string MountKind(int) { return std::string(); }

bool OnFuse(int) { return false; }

int FreshStatusAt(int dirfd, const char* name, FileStatus* status) {
  return name[0] == '\0' ? StatusOf(dirfd, status) : StatusAt(dirfd, name, /*followLink=*/false, status);
}

int FreshModifiedTime(int dirfd, const char* name, struct timespec* mtime) {
  struct stat st;
  if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
  *mtime = st.st_mtim;
  return 0;
}

}  // namespace veldar::native
