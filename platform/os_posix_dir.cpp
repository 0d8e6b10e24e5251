// The POSIX layer's open directory (`OsDir`): listing with each entry's
// status (several requests at once on a slow medium), and every operation
// on a name relative to the directory's descriptor.

#include "platform/os_posix_internal.h"

namespace veldar {
namespace posix_internal {

// The status of each of `names` in the directory `fd`, in order, each with
// its error code (0: read). On a medium that answers slowly (a network share,
// a FUSE file system that asks its server), the calls go out several at a
// time: the time such a listing takes is the requests' round trips, not the
// work. The first call is made alone and tells which kind of medium this is:
// on a local disk, where a call costs microseconds, no thread is started;
// where it costs a round trip, a helper pays from the second entry on
// (starting one costs tens of microseconds, a round trip to a share a
// millisecond or more).
void StatusesAt(int fd, const std::vector<std::string>& names, std::vector<FileStatus>* statuses,
                std::vector<int>* codes) {
  constexpr auto kSlowCall = std::chrono::microseconds(50);  // a slow medium's
  constexpr std::size_t kRequests = 8;                       // calls under way at once there
  statuses->assign(names.size(), FileStatus());
  codes->assign(names.size(), 0);
  auto stat = [&](std::size_t i) {
    (*codes)[i] = native::StatusAt(fd, names[i].c_str(), /*followLink=*/false, &(*statuses)[i]);
  };
  if (names.empty()) return;
  const auto started = std::chrono::steady_clock::now();
  stat(0);
  std::size_t done = 1;
  if (names.size() == done || std::chrono::steady_clock::now() - started <= kSlowCall) {
    for (; done < names.size(); ++done) stat(done);
    return;
  }
  std::atomic<std::size_t> next{done};
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < names.size();) stat(i);
  };
  std::vector<std::thread> helpers;
  for (std::size_t n = 1; n < kRequests && n < names.size() - done; ++n) {
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

class PosixDir : public OsDir {
 public:
  // `os` is the system that opened it: its copies report to its progress.
  PosixDir(int fd, std::string path, const Os& os) : fd_(fd), path_(std::move(path)), os_(os) {}

  const std::string& Path() const override { return path_; }

  Status Stat(FileStatus* status) override { return PosixError(native::StatusOf(fd_, status)); }

  Status FreshStat(FileStatus* status) override { return PosixError(native::FreshStatusAt(fd_, "", status)); }

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

  Status OpenForReading(const std::string& name, std::unique_ptr<OsFile>* file) override {
    file->reset();
    if (int code = CheckName(name)) return PosixError(code);
    UniqueFd fd(Retry([&] { return openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
    if (fd.get() < 0) return PosixError(LastError());
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return PosixError(LastError());
    if (!S_ISREG(st.st_mode)) return PosixError(NotRegularCode(st.st_mode));
    *file = MakePosixFile(fd.release());
    return Status();
  }

  Status CreateNewFile(const std::string& name, std::unique_ptr<OsFile>* file) override {
    file->reset();
    if (int code = CheckName(name)) return PosixError(code);
    const int fd = Retry(
        [&] { return openat(fd_, name.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600); });
    if (fd < 0) return PosixError(LastError());
    *file = MakePosixFile(fd);
    return Status();
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

  Status ChangeEntry(const std::string& name, const EntryChange& change, EntryPart* failed) override {
    EntryPart part = FirstPart(change);
    const int code = ChangeEntryAt(name, change, &part);
    if (failed) *failed = code == 0 ? EntryPart::kNone : part;
    return PosixError(code);
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
  // `ChangeEntry`'s parts in their order; `*part` follows the part being
  // applied, so that on failure it names the one that failed.
  int ChangeEntryAt(const std::string& name, const EntryChange& change, EntryPart* part) {
    const bool self = name.empty();
    if (self && (change.attributes || change.readOnly || change.times)) return EINVAL;
    if (!self) {
      if (int code = CheckName(name)) return code;
    }
    if (change.owner) {
      *part = EntryPart::kOwner;
      const uid_t owner = change.owner->owner;
      const gid_t group = change.owner->group;
      if (self) {
        if (fchown(fd_, owner, group) != 0) return LastError();
      } else {
        // A link is left alone where the driver would change its target instead.
        struct stat st;
        const bool fuseLink =
            fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode) && native::OnFuse(fd_);
        if (!fuseLink && fchownat(fd_, name.c_str(), owner, group, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
      }
    }
    if (change.permissions) {
      *part = EntryPart::kPermissions;
      const mode_t mode = *change.permissions & 07777;
      if (int code = self ? (fchmod(fd_, mode) == 0 ? 0 : LastError()) : ChmodNoFollow(fd_, name, mode)) return code;
    }
    if (change.attributes || change.readOnly) {
      *part = EntryPart::kAttributes;
      if (change.attributes) {
        if (int code = SetAttributesAt(fd_, name, *change.attributes)) return code;
      }
      if (change.readOnly) {
        if (int code = SetReadOnlyAt(fd_, name, *change.readOnly)) return code;
      }
    }
    if (change.times) {
      *part = EntryPart::kTimes;
      struct timespec times[2];
      times[0].tv_sec = static_cast<time_t>(*change.times);
      times[0].tv_nsec = 0;
      times[1] = times[0];
      if (utimensat(fd_, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
    }
    return 0;
  }

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

int OpenPosixDir(int dirfd, const std::string& name, bool followLink, std::string path, const Os& os,
                 std::unique_ptr<OsDir>* dir) {
  return PosixDir::OpenDirectory(dirfd, name, followLink, std::move(path), os, dir);
}

}  // namespace posix_internal
}  // namespace veldar
