// The POSIX layer's copies: links read and made again, renames that never
// replace, the copy of a file's content (ranges, holes, reading and writing)
// and metadata under a temporary name and its placing, and the permission
// and attribute changes that never follow a link.

#include "platform/os_posix_internal.h"

namespace veldar {
namespace posix_internal {

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

// After a rename to `name` (in `dirFd`) of the entry numbered `before`:
// asks the driver for the entry's status, past the kernel's cache, so that
// what callers read from here on is the number the entry keeps. Where the
// number is made from the path (rclone), the driver answers for a few
// milliseconds with the old path's number and the new one by turns: it is
// asked, both past the cache and through it, until the new number has been
// the only answer for a while (a second at most).
void SettleNumber(int dirFd, const std::string& name, ino_t before) {
  FileStatus fresh, cached;
  if (native::FreshStatusAt(dirFd, name.c_str(), &fresh) != 0 || !native::FileSystemOf(dirFd).numbersFollowPath) return;
  using Clock = std::chrono::steady_clock;
  constexpr auto kSteady = std::chrono::milliseconds(20);
  const auto deadline = Clock::now() + std::chrono::seconds(1);
  std::uint64_t shown = fresh.inode;  // the one answer of late; `before` while the answers differ
  auto since = Clock::now();
  while (Clock::now() < deadline && (shown == before || Clock::now() - since < kSteady)) {
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    if (native::FreshStatusAt(dirFd, name.c_str(), &fresh) != 0 ||
        native::StatusAt(dirFd, name.c_str(), /*followLink=*/false, &cached) != 0) {
      return;
    }
    if (fresh.inode != shown || cached.inode != shown) {
      shown = fresh.inode == cached.inode ? fresh.inode : before;
      since = Clock::now();
    }
  }
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
  SettleNumber(toFd, to, source.st_ino);
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
    if (progress && progress->WantsContent()) {
      progress->Content(static_cast<std::uint64_t>(offset), buffer.get(), static_cast<std::size_t>(got));
    }
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
  // The kernel's copy shows nobody the bytes: a copy that wants them reads.
  if (progress && progress->WantsContent()) {
    return CopyByReading(in, out, offset, length, copied, progress, readFailed);
  }
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

// Hands the hole from `from` to `to` to a copy's listener that wants the
// content, as the zeros a reader of the file sees there.
void ContentOfHole(CopyProgress* progress, off_t from, off_t to) {
  if (!progress || !progress->WantsContent()) return;
  static const char zeros[64 * 1024] = {};
  while (from < to) {
    const auto n = static_cast<std::size_t>(std::min<off_t>(to - from, sizeof zeros));
    progress->Content(static_cast<std::uint64_t>(from), zeros, n);
    from += static_cast<off_t>(n);
  }
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
    ContentOfHole(progress, position, std::min(data, end));
    if (int code = CopyRange(in, out, data, hole - data, size, copied, progress, readFailed)) {
      return code;
    }
    position = hole;
  }
  // The length, with whatever hole ends the file.
  ContentOfHole(progress, position, end);
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

}  // namespace posix_internal
}  // namespace veldar
