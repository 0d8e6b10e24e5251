// The POSIX layer's probe of a medium: whether files can be cloned in a
// directory, and what the file system keeps and refuses, found out by
// trying inside a directory of the program's own temporary naming.

#include "platform/os_posix_internal.h"

namespace veldar {
namespace posix_internal {

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

// Removes the directory `name` of `parent` with what it holds: files and,
// `depth` levels down, directories of files (what the probe makes). A driver
// may go on showing a name for a moment after a rename (rclone without its
// write cache): where the directory is not empty yet, it is listed and
// emptied again, for a second at most. 0 or the error.
int RemoveProbeDirectory(int parent, const char* name, int depth) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  for (;;) {
    {
      UniqueFd dir(Retry([&] { return openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
      if (dir.get() < 0) return unlinkat(parent, name, AT_REMOVEDIR) == 0 ? 0 : LastError();
      std::vector<DirEntry> left;
      (void)ListFd(dir.get(), &left, {});
      for (const DirEntry& entry : left) {
        if (entry.status.kind == EntryKind::Directory) {
          if (unlinkat(dir.get(), entry.name.c_str(), AT_REMOVEDIR) != 0 && depth > 0) {
            (void)RemoveProbeDirectory(dir.get(), entry.name.c_str(), depth - 1);
          }
        } else {
          unlinkat(dir.get(), entry.name.c_str(), 0);
        }
      }
    }
    if (unlinkat(parent, name, AT_REMOVEDIR) == 0) return 0;
    const int code = LastError();
    if ((code != ENOTEMPTY && code != EEXIST) || std::chrono::steady_clock::now() >= deadline) return code;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
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
      auto readBack = [&] {
        std::vector<DirEntry> inside;
        const bool listed =
            ListFd(renamed.get(), &inside, {}) == 0 &&
            std::any_of(inside.begin(), inside.end(), [](const DirEntry& entry) { return entry.name == "x"; });
        UniqueFd content(listed ? Retry([&] { return openat(renamed.get(), "x", O_RDONLY | O_NOFOLLOW | O_CLOEXEC); })
                                : -1);
        char byte = 0;
        return content.get() >= 0 && read(content.get(), &byte, 1) == 1 && byte == 'v';
      };
      // A driver may take a moment after the rename to show the directory's
      // contents under the new name (rclone without its write cache): asked
      // again for a tenth of a second, which a medium that has lost them, or
      // cannot read them until it has uploaded them, does not make good.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
      traits->renameKeepsContents = renamed.get() >= 0 && readBack();
      while (renamed.get() >= 0 && !traits->renameKeepsContents && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        traits->renameKeepsContents = readBack();
      }
      renamed.reset(-1);
      if (renameat(dir, "Probe-g", dir, "Probe-f") == 0) last = "Probe-f";
    }
    held.reset(-1);
    (void)RemoveProbeDirectory(dir, last, /*depth=*/0);
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
  // written (a driver may drop a trailing dot instead of refusing it). Made
  // as a directory: a file's closing reaches a FUSE driver after close()
  // has returned, and one that writes through (rclone without its write
  // cache) may make the file again once the probe has removed it.
  auto held = [&](const std::vector<std::string>& tried) {
    std::vector<bool> made(tried.size(), false);
    for (std::size_t i = 0; i < tried.size(); ++i) made[i] = mkdirat(dir, tried[i].c_str(), 0700) == 0;
    std::vector<DirEntry> listed;
    (void)ListFd(dir, &listed, {});
    for (std::size_t i = 0; i < tried.size(); ++i) {
      made[i] = made[i] && std::any_of(listed.begin(), listed.end(),
                                       [&](const DirEntry& entry) { return entry.name == tried[i]; });
    }
    return made;
  };
  // Every character in one name first, as most media hold them all (each
  // name tried costs a round trip or two on a network medium); each on its
  // own only where that one is refused.
  const std::string characters = ":?*\"<>|\\";
  const std::vector<bool> together = held({"n" + characters + "\x01n", "n.", "n "});
  traits->refusesTrailingDotOrBlank = !together[1] || !together[2];
  traits->refusedCharacters.clear();
  traits->refusesControlCharacters = false;
  if (together[0]) return;
  std::vector<std::string> tried;
  for (char c : characters) tried.push_back(std::string("m") + c + "m");
  tried.push_back("m\x01m");
  const std::vector<bool> alone = held(tried);
  for (std::size_t i = 0; i < characters.size(); ++i) {
    if (!alone[i]) traits->refusedCharacters += characters[i];
  }
  traits->refusesControlCharacters = !alone[characters.size()];
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
    }
  }
  // One that cannot go now is an abandoned temporary for the next run.
  (void)RemoveProbeDirectory(fd, name.c_str(), /*depth=*/1);
  return code;
}

}  // namespace posix_internal
}  // namespace veldar
