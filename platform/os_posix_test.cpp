// The real operating-system layer on temporary directories, checked with
// direct system calls; and the fault-injecting double.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <thread>

#include "platform/os.h"
#include "testing/fake_disk.h"
#include "testing/fake_environment.h"
#include "testing/fault_injector.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::Exists;
using testing::ListNames;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

struct stat LStat(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
  return st;
}

std::string LinkText(const std::string& path) {
  char buffer[4096];
  ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
  return n < 0 ? std::string() : std::string(buffer, n);
}

void SetTimesNs(const std::string& path, time_t sec, long nsec) {
  const struct timespec times[2] = {{sec, nsec}, {sec, nsec}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW));
}

class OsTest : public ::testing::Test {
 protected:
  std::unique_ptr<Os> os_ = MakeSystemOs();
  TempDir dir_;
};

// ---- CopyFile ----

TEST_F(OsTest, CopyKeepsContentModeOwnerAndNanosecondTime) {
  std::string content(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 9);
  WriteFile(dir_ / "src", content);
  if (geteuid() == 0) {
    ASSERT_EQ(0, lchown((dir_ / "src").c_str(), 4321, 8765));
  }
  // Set-user-ID survives only if the copy's owner is set before its mode.
  ASSERT_EQ(0, chmod((dir_ / "src").c_str(), 04751));
  SetTimesNs(dir_ / "src", 1500000000, 123456789);

  std::uint64_t copied = 0;
  ASSERT_TRUE((CopyFile(*os_, dir_ / "src", dir_ / "dst", CopyMode::Replace, &copied)).ok());
  EXPECT_EQ(content.size(), copied);
  EXPECT_TRUE(ReadFile(dir_ / "dst") == content);
  struct stat st = LStat(dir_ / "dst");
  EXPECT_EQ(04751u, st.st_mode & 07777);
  EXPECT_EQ(1500000000, st.st_mtim.tv_sec);
  EXPECT_EQ(123456789, st.st_mtim.tv_nsec);
  if (geteuid() == 0) {
    EXPECT_EQ(4321u, st.st_uid);
    EXPECT_EQ(8765u, st.st_gid);
  }
  EXPECT_EQ((std::vector<std::string>{"dst", "src"}), ListNames(dir_.path()));
}

// Holes stay holes: a mostly empty disk image takes its data's room, not its length's.
TEST_F(OsTest, CopyKeepsHoles) {
  constexpr off_t kLength = 256 << 20, kAt = 100 << 20;
  const int fd = open((dir_ / "sparse").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, kLength), 0);
  ASSERT_EQ(pwrite(fd, "data", 4, kAt), 4);
  close(fd);
  ASSERT_TRUE((CopyFile(*os_, dir_ / "sparse", dir_ / "copy", CopyMode::Replace)).ok());
  const struct stat st = LStat(dir_ / "copy");
  EXPECT_EQ(st.st_size, kLength);
  EXPECT_LT(st.st_blocks * 512, 1 << 20);
  char around[6] = {};
  const int copy = open((dir_ / "copy").c_str(), O_RDONLY);
  EXPECT_EQ(pread(copy, around, sizeof around, kAt - 1), 6);
  close(copy);
  EXPECT_EQ(std::string(around, 6), std::string("\0data\0", 6));
}

TEST_F(OsTest, CopyReplacesWithNewFileAndNoForceLeavesTargetAlone) {
  WriteFile(dir_ / "src", "new");
  WriteFile(dir_ / "dst", "old");
  // A second name for the old target shows whether it was written in place.
  ASSERT_EQ(0, link((dir_ / "dst").c_str(), (dir_ / "old-link").c_str()));

  EXPECT_EQ(EEXIST, (CopyFile(*os_, dir_ / "src", dir_ / "dst", CopyMode::FailIfExists)).code());
  EXPECT_EQ("old", ReadFile(dir_ / "dst"));

  ASSERT_TRUE((CopyFile(*os_, dir_ / "src", dir_ / "dst", CopyMode::Replace)).ok());
  EXPECT_EQ("new", ReadFile(dir_ / "dst"));
  EXPECT_EQ("old", ReadFile(dir_ / "old-link"));

  ASSERT_TRUE((CopyFile(*os_, dir_ / "src", dir_ / "fresh", CopyMode::FailIfExists)).ok());
  EXPECT_EQ("new", ReadFile(dir_ / "fresh"));
  EXPECT_EQ((std::vector<std::string>{"dst", "fresh", "old-link", "src"}), ListNames(dir_.path()));
}

TEST_F(OsTest, FailedCopyLeavesNoTemporaryFile) {
  WriteFile(dir_ / "src", "data");
  testing::MakeDirs(dir_ / "target-dir/inner");
  EXPECT_EQ(ENOENT, (CopyFile(*os_, dir_ / "missing", dir_ / "dst", CopyMode::Replace)).code());
  EXPECT_EQ(ENOENT, (CopyFile(*os_, dir_ / "src", dir_ / "no-dir/dst", CopyMode::Replace)).code());
  // Replacing a directory fails at the rename, after the content was written.
  EXPECT_FALSE((CopyFile(*os_, dir_ / "src", dir_ / "target-dir", CopyMode::Replace)).ok());
  EXPECT_EQ((std::vector<std::string>{"src", "target-dir"}), ListNames(dir_.path()));
  EXPECT_EQ((std::vector<std::string>{"inner"}), ListNames(dir_ / "target-dir"));
}

TEST_F(OsTest, CopyOfLinkMakesLinkWithSameTextAndTime) {
  WriteFile(dir_ / "file", "content");
  ASSERT_EQ(0, symlink("file", (dir_ / "to-file").c_str()));
  ASSERT_EQ(0, symlink("../nowhere/\nodd", (dir_ / "dangling").c_str()));
  SetTimesNs(dir_ / "to-file", 1400000000, 5);

  ASSERT_TRUE((CopyFile(*os_, dir_ / "to-file", dir_ / "copy1", CopyMode::Replace)).ok());
  ASSERT_TRUE((CopyFile(*os_, dir_ / "dangling", dir_ / "copy2", CopyMode::FailIfExists)).ok());
  EXPECT_TRUE(S_ISLNK(LStat(dir_ / "copy1").st_mode));
  EXPECT_EQ("file", LinkText(dir_ / "copy1"));
  EXPECT_EQ(1400000000, LStat(dir_ / "copy1").st_mtim.tv_sec);
  EXPECT_EQ("../nowhere/\nodd", LinkText(dir_ / "copy2"));
  EXPECT_EQ(EEXIST, (CopyFile(*os_, dir_ / "dangling", dir_ / "copy1", CopyMode::FailIfExists)).code());
  EXPECT_EQ("file", LinkText(dir_ / "copy1"));
}

TEST_F(OsTest, CopyRefusesFifoAndDirectoryWithoutBlocking) {
  ASSERT_EQ(0, mkfifo((dir_ / "fifo").c_str(), 0644));
  testing::MakeDirs(dir_ / "dir");
  auto result =
      std::async(std::launch::async, [&] { return CopyFile(*os_, dir_ / "fifo", dir_ / "copy", CopyMode::Replace); });
  if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    // Release a reader stuck in open(), so the test fails instead of hanging.
    int fd = open((dir_ / "fifo").c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) close(fd);
    FAIL() << "copying a FIFO blocked";
  }
  EXPECT_EQ(ENOTSUP, (result.get()).code());
  EXPECT_EQ(EISDIR, (CopyFile(*os_, dir_ / "dir", dir_ / "copy", CopyMode::Replace)).code());
  EXPECT_FALSE(Exists(dir_ / "copy"));
  EXPECT_EQ((std::vector<std::string>{"dir", "fifo"}), ListNames(dir_.path()));
}

// A failed copy says whether it was its source that could not be read
// (whoever runs the copy may not read it) or the copy that could not be
// written: a backup treats the two differently.
TEST_F(OsTest, FailedCopySaysWhichSideFailed) {
  if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  chmod(dir_.path().c_str(), 0755);
  WriteFile(dir_.path() + "/from/private", "root's");
  WriteFile(dir_.path() + "/from/public", "anyone's");
  chmod((dir_.path() + "/from/private").c_str(), 0600);
  chmod((dir_.path() + "/from/public").c_str(), 0644);
  testing::MakeDirs(dir_.path() + "/to");
  testing::MakeDirs(dir_.path() + "/shut");
  ASSERT_EQ(chown((dir_.path() + "/to").c_str(), 65534, 65534), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    std::unique_ptr<OsDir> from, to, shut;
    if (!os_->OpenDir(dir_.path() + "/from", false, &from).ok() ||
        !os_->OpenDir(dir_.path() + "/to", false, &to).ok() ||
        !os_->OpenDir(dir_.path() + "/shut", false, &shut).ok()) {
      _exit(11);
    }
    bool readFailed = false;
    if (from->CopyFile("private", *to, "x", CopyMode::Replace, nullptr, &readFailed).ok() || !readFailed) _exit(12);
    if (from->CopyFile("public", *shut, "x", CopyMode::Replace, nullptr, &readFailed).ok() || readFailed) _exit(13);
    std::string temporary;
    if (from->StageCopy("private", *to, "x", &temporary, nullptr, &readFailed).ok() || !readFailed) _exit(14);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << WEXITSTATUS(status);
  EXPECT_EQ(ListNames(dir_.path() + "/to"), std::vector<std::string>{});
}

// Whether files can be cloned is found out on the file system itself: XFS
// made without reflink cannot, however its kind could.
TEST_F(OsTest, CloningIsTriedNotTakenFromTheKindOfFileSystem) {
  if (geteuid() != 0 || std::system("command -v mkfs.xfs >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs root and mkfs.xfs (xfsprogs) to make a file system";
  }
  for (const int reflink : {0, 1}) {
    const std::string image = dir_.path() + "/xfs" + std::to_string(reflink) + ".img";
    const std::string mount = dir_.path() + "/mnt" + std::to_string(reflink);
    testing::MakeDirs(mount);
    const std::string make = "truncate -s 300M " + image + " && mkfs.xfs -q -m reflink=" + std::to_string(reflink) +
                             " " + image + " && mount -o loop " + image + " " + mount + " 2>/dev/null";
    if (std::system(make.c_str()) != 0) GTEST_SKIP() << "this machine cannot mount an image";
    std::unique_ptr<OsDir> opened;
    ASSERT_TRUE((os_->OpenDir(mount, false, &opened)).ok());
    EXPECT_EQ(opened->CanClone(), reflink == 1) << "reflink=" << reflink;
    EXPECT_EQ(ListNames(mount), std::vector<std::string>{}) << "trying leaves nothing behind";
    opened.reset();
    EXPECT_EQ(0, std::system(("umount " + mount).c_str()));
  }
}

TEST_F(OsTest, CopyToLongestNamesFits) {
  WriteFile(dir_ / "src", "x");
  const std::string ascii(255, 'a');
  std::string utf8 = "b";  // 1 + 127 two-byte characters = 255 bytes
  for (int i = 0; i < 127; ++i) utf8 += "\xc3\xa9";
  for (const std::string& name : {ascii, utf8}) {
    ASSERT_TRUE(CopyFile(*os_, dir_ / "src", dir_ / name, CopyMode::Replace).ok()) << name.size();
    EXPECT_EQ("x", ReadFile(dir_ / name));
  }
  EXPECT_EQ(3u, ListNames(dir_.path()).size());
}

// ---- Unsafe and oversized paths ----

TEST_F(OsTest, PathWithNulIsRefusedNotCut) {
  WriteFile(dir_ / "a", "keep");
  const std::string cut = dir_ / std::string("a\0b", 3);
  EXPECT_EQ(EINVAL, (DeleteFile(*os_, cut)).code());
  EXPECT_EQ(EINVAL, (CopyFile(*os_, dir_ / "a", cut, CopyMode::Replace)).code());
  EXPECT_EQ(EINVAL, (ChangeEntry(*os_, cut, {.times = 0})).code());
  EXPECT_EQ("keep", ReadFile(dir_ / "a"));
}

TEST_F(OsTest, OverlongPathFailsCleanly) {
  std::string path = dir_.path();
  while (path.size() < 5000) path += "/" + std::string(200, 'd');
  FileStatus status;
  std::vector<DirEntry> entries;
  EXPECT_EQ(ENAMETOOLONG, (Stat(*os_, path, false, &status)).code());
  EXPECT_EQ(ENAMETOOLONG, (ListDir(*os_, path, false, &entries)).code());
  EXPECT_EQ(ENAMETOOLONG, (CopyFile(*os_, path, dir_ / "x", CopyMode::Replace)).code());
  EXPECT_EQ(ENAMETOOLONG, (os_->CreateDirTree(path)).code());
}

// ---- Moving, deleting, removing ----

TEST_F(OsTest, MoveNeverReplaces) {
  WriteFile(dir_ / "a", "A");
  WriteFile(dir_ / "b", "B");
  ASSERT_EQ(0, symlink("nowhere", (dir_ / "dangling").c_str()));
  EXPECT_EQ(EEXIST, (MoveNoReplace(*os_, dir_ / "a", dir_ / "b")).code());
  EXPECT_EQ(EEXIST, (MoveNoReplace(*os_, dir_ / "a", dir_ / "dangling")).code());
  EXPECT_EQ("A", ReadFile(dir_ / "a"));
  EXPECT_EQ("B", ReadFile(dir_ / "b"));
  ASSERT_TRUE((MoveNoReplace(*os_, dir_ / "a", dir_ / "A")).ok());
  EXPECT_EQ((std::vector<std::string>{"A", "b", "dangling"}), ListNames(dir_.path()));
}

TEST_F(OsTest, DeleteAndRemoveNeverActThroughLinks) {
  testing::MakeDirs(dir_ / "dir");
  WriteFile(dir_ / "dir/file", "x");
  ASSERT_EQ(0, symlink("dir", (dir_ / "dir-link").c_str()));
  ASSERT_EQ(0, symlink("dir/file", (dir_ / "file-link").c_str()));
  EXPECT_EQ(EISDIR, (DeleteFile(*os_, dir_ / "dir")).code());
  EXPECT_EQ(ENOTDIR, (RemoveDir(*os_, dir_ / "dir-link")).code());
  EXPECT_TRUE((DeleteFile(*os_, dir_ / "file-link")).ok());
  EXPECT_TRUE((DeleteFile(*os_, dir_ / "dir-link")).ok());
  EXPECT_EQ("x", ReadFile(dir_ / "dir/file"));
  EXPECT_EQ(ENOTEMPTY, (RemoveDir(*os_, dir_ / "dir")).code());
}

// ---- Status and attributes ----

TEST_F(OsTest, StatReportsKindTimesAndReadOnly) {
  const std::int64_t before = time(nullptr);
  WriteFile(dir_ / "file", "12345");
  ASSERT_EQ(0, chmod((dir_ / "file").c_str(), 0444));
  ASSERT_EQ(0, symlink("file", (dir_ / "link").c_str()));
  SetTimesNs(dir_ / "file", 1000000000, 42);

  FileStatus status;
  ASSERT_TRUE((Stat(*os_, dir_ / "file", false, &status)).ok());
  EXPECT_EQ(EntryKind::File, status.kind);
  EXPECT_EQ(5u, status.size);
  EXPECT_EQ(1000000000, status.mtimeSec);
  EXPECT_EQ(42u, status.mtimeNsec);
  // Birth time where the file system has one (then it is now), else mtime.
  EXPECT_TRUE(status.birthSec == 1000000000 || (status.birthSec >= before - 2 && status.birthSec <= time(nullptr) + 2))
      << status.birthSec;
  EXPECT_TRUE(status.attributes.readOnly);
  EXPECT_FALSE(status.attributes.directory);

  ASSERT_TRUE((Stat(*os_, dir_ / "link", false, &status)).ok());
  EXPECT_EQ(EntryKind::Symlink, status.kind);
  ASSERT_TRUE((Stat(*os_, dir_ / "link", true, &status)).ok());
  EXPECT_EQ(EntryKind::File, status.kind);
  ASSERT_TRUE((Stat(*os_, dir_.path(), false, &status)).ok());
  EXPECT_TRUE(status.attributes.directory);
  EXPECT_EQ(ENOENT, (Stat(*os_, dir_ / "missing", false, &status)).code());
}

TEST_F(OsTest, AttributesAndTimesLeaveLinkTargetsAlone) {
  WriteFile(dir_ / "file", "x");
  ASSERT_EQ(0, chmod((dir_ / "file").c_str(), 0444));
  SetTimesNs(dir_ / "file", 1000000000, 0);
  ASSERT_EQ(0, symlink("file", (dir_ / "link").c_str()));

  EXPECT_TRUE((ChangeEntry(*os_, dir_ / "link", {.readOnly = false})).ok());
  EXPECT_TRUE((ChangeEntry(*os_, dir_ / "link", {.times = 1600000000})).ok());
  EXPECT_EQ(0444u, LStat(dir_ / "file").st_mode & 07777);
  EXPECT_EQ(1000000000, LStat(dir_ / "file").st_mtim.tv_sec);
  EXPECT_EQ(1600000000, LStat(dir_ / "link").st_mtim.tv_sec);

  FileStatus saved;
  ASSERT_TRUE((Stat(*os_, dir_ / "file", false, &saved)).ok());
  ASSERT_TRUE((ChangeEntry(*os_, dir_ / "file", {.readOnly = false})).ok());
  EXPECT_EQ(0644u, LStat(dir_ / "file").st_mode & 07777);
  ASSERT_TRUE((ChangeEntry(*os_, dir_ / "file", {.attributes = saved.attributes})).ok());
  EXPECT_EQ(0444u, LStat(dir_ / "file").st_mode & 07777);
}

// ---- Listing ----

TEST_F(OsTest, ListDirReportsEveryKindWithoutFollowing) {
  WriteFile(dir_ / "file", "abc");
  testing::MakeDirs(dir_ / "sub");
  WriteFile(dir_ / "sub/inner", "");
  ASSERT_EQ(0, symlink("sub", (dir_ / "link").c_str()));
  ASSERT_EQ(0, mkfifo((dir_ / "fifo").c_str(), 0644));
  const std::string odd = "-n\nx\xff";
  WriteFile(dir_ / odd, "");

  std::vector<DirEntry> entries;
  ASSERT_TRUE((ListDir(*os_, dir_.path(), false, &entries)).ok());
  std::map<std::string, FileStatus> byName;
  for (const DirEntry& entry : entries) byName[entry.name] = entry.status;
  ASSERT_EQ(5u, byName.size());
  EXPECT_EQ(EntryKind::File, byName["file"].kind);
  EXPECT_EQ(3u, byName["file"].size);
  EXPECT_EQ(EntryKind::Directory, byName["sub"].kind);
  EXPECT_TRUE(byName["sub"].attributes.directory);
  EXPECT_EQ(EntryKind::Symlink, byName["link"].kind);
  EXPECT_FALSE(byName["link"].attributes.directory);
  EXPECT_EQ(EntryKind::Special, byName["fifo"].kind);
  EXPECT_EQ(EntryKind::File, byName[odd].kind);
}

TEST_F(OsTest, ListDirFailuresAndLinkedDirectory) {
  testing::MakeDirs(dir_ / "sub");
  WriteFile(dir_ / "sub/inner", "");
  WriteFile(dir_ / "file", "");
  ASSERT_EQ(0, symlink("sub", (dir_ / "link").c_str()));
  std::vector<DirEntry> entries(3);
  EXPECT_EQ(ENOENT, (ListDir(*os_, dir_ / "missing", false, &entries)).code());
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(ENOTDIR, (ListDir(*os_, dir_ / "file", false, &entries)).code());
  EXPECT_FALSE((ListDir(*os_, dir_ / "link", false, &entries)).ok());
  ASSERT_TRUE((ListDir(*os_, dir_ / "link", true, &entries)).ok());
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ("inner", entries[0].name);
}

// ---- Exclusive open and directory trees ----

TEST_F(OsTest, OpenExclusiveLocksAndKeepsContent) {
  WriteFile(dir_ / "log", "old\n");
  std::unique_ptr<OsFile> first, second;
  ASSERT_TRUE((os_->OpenExclusive(dir_ / "log", &first)).ok());
  EXPECT_EQ(EWOULDBLOCK, (os_->OpenExclusive(dir_ / "log", &second)).code());
  EXPECT_EQ(nullptr, second);
  ASSERT_TRUE((first->Append("new\n")).ok());
  std::uint64_t size = 0;
  ASSERT_TRUE((first->Size(&size)).ok());
  EXPECT_EQ(8u, size);
  std::string read;
  ASSERT_TRUE((first->ReadAt(2, 100, &read)).ok());
  EXPECT_EQ("d\nnew\n", read);
  EXPECT_TRUE((first->Sync()).ok());
  first.reset();
  ASSERT_TRUE((os_->OpenExclusive(dir_ / "log", &second)).ok());
  EXPECT_EQ("old\nnew\n", ReadFile(dir_ / "log"));

  std::unique_ptr<OsFile> created;
  ASSERT_TRUE((os_->OpenExclusive(dir_ / "created", &created)).ok());
  EXPECT_EQ(0600u, LStat(dir_ / "created").st_mode & 07777);
}

TEST_F(OsTest, CreateDirTreeMakesPrivateParents) {
  const mode_t old = umask(022);
  EXPECT_TRUE((os_->CreateDirTree(dir_ / "a//b/c/")).ok());
  umask(old);
  EXPECT_TRUE(testing::IsDir(dir_ / "a/b/c"));
  EXPECT_EQ(0700u, LStat(dir_ / "a/b").st_mode & 07777);
  EXPECT_TRUE((os_->CreateDirTree(dir_ / "a/b/c")).ok());
  WriteFile(dir_ / "file", "");
  EXPECT_FALSE((os_->CreateDirTree(dir_ / "file")).ok());
  EXPECT_FALSE((os_->CreateDirTree(dir_ / "file/sub")).ok());
}

// ---- Environment ----

TEST_F(OsTest, LogDirFollowsXdgStateHome) {
  const char* savedState = getenv("XDG_STATE_HOME");
  const std::string saved = savedState ? savedState : "";
  setenv("XDG_STATE_HOME", "/var/state/", 1);
  EXPECT_EQ("/var/state/VELDAR2/", os_->LogDir());
  // Relative or empty values are ignored, as the XDG rules say.
  setenv("XDG_STATE_HOME", "relative", 1);
  const std::string fallback = os_->LogDir();
  EXPECT_TRUE(fallback.ends_with("/.local/state/VELDAR2/")) << fallback;
  EXPECT_EQ('/', fallback[0]);
  if (savedState) {
    setenv("XDG_STATE_HOME", saved.c_str(), 1);
  } else {
    unsetenv("XDG_STATE_HOME");
  }
}

// ---- Unflushed, staged and cloned copies; hard links; scratch files ----

class OsDirTest : public OsTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE((os_->OpenDir(dir_.path(), false, &dir)).ok());
    WriteFile(dir_ / "src", "new content");
    ASSERT_EQ(0, chmod((dir_ / "src").c_str(), 0640));
    SetTimesNs(dir_ / "src", 1500000000, 7);
  }
  FileStatus StatusOf(const std::string& name) {
    FileStatus status;
    EXPECT_TRUE((dir->StatAt(name, &status)).ok()) << name;
    return status;
  }
  // A regular file with the content, mode and last-write time of "src".
  void ExpectCopyOfSource(const std::string& name) {
    const struct stat st = LStat(dir_ / name);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
    EXPECT_EQ("new content", ReadFile(dir_ / name));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ(1500000000, st.st_mtim.tv_sec);
    EXPECT_EQ(7, st.st_mtim.tv_nsec);
  }
  std::unique_ptr<OsDir> dir;
};

// Where the file system has no rename that refuses to replace (FUSE media,
// the NFS client; every rename of the portable build), a directory is never
// linked: its move fails without a change, and MoveIfFree renames it once
// the name is found free. An empty directory, a file or a link on the name
// is no free name, though a plain rename would replace the first.
TEST_F(OsDirTest, DirectoriesAreRenamedOnlyOntoAFreeName) {
  testing::MakeDirs(dir_ / "tree/inner");
  testing::MakeDirs(dir_ / "empty");
  ASSERT_EQ(0, symlink("nowhere", (dir_ / "dangling").c_str()));
  const Status moved = dir->MoveNoReplace("tree", *dir, "moved");
  EXPECT_TRUE(moved.ok() || moved.Is(ErrorKind::kUnsupported)) << moved.code();
  if (moved.ok()) {
    ASSERT_TRUE(dir->MoveNoReplace("moved", *dir, "tree").ok());
  }
  struct Case {
    const char* from;
    const char* to;
    int code;
  };
  for (const Case& c : {Case{"tree", "empty", EEXIST}, Case{"tree", "src", EEXIST}, Case{"tree", "dangling", EEXIST},
                        Case{"src", "empty", EEXIST}, Case{"tree", "renamed", 0}, Case{"src", "copy", 0}}) {
    SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
    EXPECT_EQ(c.code, dir->MoveIfFree(c.from, *dir, c.to).code());
  }
  EXPECT_EQ((std::vector<std::string>{"copy", "dangling", "empty", "renamed"}), ListNames(dir_.path()));
  EXPECT_EQ(std::vector<std::string>{"inner"}, ListNames(dir_ / "renamed"));
}

// A medium that maps owners (FAT mounted for a desktop user, FUSE media)
// reports the lock file root makes as the mount's user's: the lock is still
// taken, held against a second taker, and goes with its holder. Played here
// by root acting on the file system as 65534 (setfsuid) in a directory of
// 65534's.
TEST_F(OsTest, ALockFileThatReadsAsTheMountsUserIsStillALock) {
  if (geteuid() != 0) GTEST_SKIP() << "acting on the file system as another user needs root";
  chmod(dir_.path().c_str(), 0755);
  const std::string backup = dir_ / "backup", lockFile = backup + "/.lock";
  testing::MakeDirs(backup);
  ASSERT_EQ(0, chown(backup.c_str(), 65534, 65534));
  const pid_t child = fork();
  if (child == 0) {
    setfsgid(65534);
    setfsuid(65534);
    std::unique_ptr<OsDir> first, second;
    if (!os_->OpenDir(backup, false, &first).ok() || !os_->OpenDir(backup, false, &second).ok()) _exit(10);
    if (!first->Lock(".lock").ok()) _exit(11);
    struct stat made {};
    if (lstat(lockFile.c_str(), &made) != 0 || made.st_uid != 65534) _exit(12);
    if (!second->TestLock(".lock").Is(ErrorKind::kLocked)) _exit(13);
    if (!second->Lock(".lock").Is(ErrorKind::kLocked)) _exit(14);
    struct stat still {};
    if (lstat(lockFile.c_str(), &still) != 0 || still.st_ino != made.st_ino) _exit(15);
    first.reset();
    if (Exists(lockFile)) _exit(16);
    if (!second->Lock(".lock").ok()) _exit(17);
    second.reset();
    _exit(Exists(lockFile) ? 18 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << WEXITSTATUS(status);
  EXPECT_EQ(ListNames(backup), std::vector<std::string>{});
}

// A medium that removes no open file and hears of a close a moment after it
// is made (SMB through smbnetfs: FUSE passes the close on without waiting)
// refuses the lock file's removal for a while after its holder lets it go:
// it still goes. Played by the lock file mounted on itself (removing it
// answers EBUSY) until a little after the holder is gone, in a mount
// namespace of the test's own.
TEST_F(OsTest, ALockFileTheMediumStillHoldsAfterItsCloseGoes) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  const std::string lockFile = dir_ / ".lock";
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(77);
    std::unique_ptr<OsDir> dir;
    if (!os_->OpenDir(dir_.path(), false, &dir).ok() || !dir->Lock(".lock").ok()) _exit(10);
    if (mount(lockFile.c_str(), lockFile.c_str(), nullptr, MS_BIND, nullptr) != 0) _exit(77);
    std::thread medium([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      umount(lockFile.c_str());
    });
    dir.reset();
    medium.join();
    _exit(Exists(lockFile) ? 11 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace of our own here";
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ(ListNames(dir_.path()), std::vector<std::string>{});
}

// The old entry under the name is unlinked, never written into: another name
// of the same file keeps its content and inode.
TEST_F(OsDirTest, UnflushedCopyUnlinksOldEntryInsteadOfWritingIntoIt) {
  struct Case {
    const char* existing;  // "", "hard link", "symlink"
    bool throughDir;
  };
  for (const Case& c : {Case{"", false}, Case{"hard link", false}, Case{"hard link", true}, Case{"symlink", true}}) {
    SCOPED_TRACE(std::string(c.existing) + (c.throughDir ? " (OsDir)" : " (path)"));
    const std::string existing = c.existing;
    WriteFile(dir_ / "shared", "old");
    const ino_t sharedInode = LStat(dir_ / "shared").st_ino;
    if (existing == "hard link") {
      ASSERT_EQ(0, link((dir_ / "shared").c_str(), (dir_ / "dst").c_str()));
    } else if (existing == "symlink") {
      ASSERT_EQ(0, symlink("shared", (dir_ / "dst").c_str()));
    }
    std::uint64_t bytes = 0;
    ASSERT_TRUE((c.throughDir ? dir->CopyFile("src", *dir, "dst", CopyMode::Unflushed, &bytes)
                              : CopyFile(*os_, dir_ / "src", dir_ / "dst", CopyMode::Unflushed, &bytes))
                    .ok());
    EXPECT_EQ(11u, bytes);
    ExpectCopyOfSource("dst");
    EXPECT_EQ("old", ReadFile(dir_ / "shared"));
    EXPECT_EQ(sharedInode, LStat(dir_ / "shared").st_ino);
    EXPECT_EQ(1u, LStat(dir_ / "shared").st_nlink);
    EXPECT_EQ((std::vector<std::string>{"dst", "shared", "src"}), ListNames(dir_.path()));
    ASSERT_EQ(0, unlink((dir_ / "dst").c_str()));
    ASSERT_EQ(0, unlink((dir_ / "shared").c_str()));
  }
  // A link is copied as a link under the name itself.
  ASSERT_EQ(0, symlink("src", (dir_ / "link").c_str()));
  WriteFile(dir_ / "dst", "old");
  ASSERT_TRUE((dir->CopyFile("link", *dir, "dst", CopyMode::Unflushed)).ok());
  EXPECT_EQ("src", LinkText(dir_ / "dst"));
}

TEST_F(OsDirTest, FailedUnflushedCopyLeavesNothingUnderTheName) {
  ASSERT_EQ(0, mkfifo((dir_ / "fifo").c_str(), 0644));
  struct Case {
    const char* source;
    bool directoryThere;
    int code;
  };
  for (const Case& c : {Case{"missing", false, ENOENT}, Case{"fifo", false, ENOTSUP}, Case{"src", true, EISDIR}}) {
    SCOPED_TRACE(c.source);
    if (c.directoryThere) {
      testing::MakeDirs(dir_ / "dst/inner");
    } else {
      WriteFile(dir_ / "dst", "old");
    }
    EXPECT_EQ(c.code, dir->CopyFile(c.source, *dir, "dst", CopyMode::Unflushed).code());
    // A directory stays as it was; an old file is gone, and no copy is left.
    EXPECT_EQ(c.directoryThere, Exists(dir_ / "dst"));
    if (c.directoryThere) {
      EXPECT_EQ(std::vector<std::string>{"inner"}, ListNames(dir_ / "dst"));
    }
    EXPECT_EQ(c.directoryThere ? 3u : 2u, ListNames(dir_.path()).size());
  }
}

// A staged copy exists only under its temporary name until it is placed;
// placing it never replaces with FailIfExists and then leaves it in place.
TEST_F(OsDirTest, StagedCopyIsNamedOnlyByPlaceCopy) {
  struct Case {
    CopyMode mode;
    bool targetExists;
    int code;
  };
  for (const Case& c : {Case{CopyMode::Replace, true, 0}, Case{CopyMode::FailIfExists, false, 0},
                        Case{CopyMode::FailIfExists, true, EEXIST}}) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.mode)) + (c.targetExists ? " over old" : ""));
    if (c.targetExists) WriteFile(dir_ / "dst", "old");
    std::string temporary;
    std::uint64_t bytes = 0;
    ASSERT_TRUE((dir->StageCopy("src", *dir, "dst", &temporary, &bytes)).ok());
    EXPECT_EQ(11u, bytes);
    EXPECT_EQ(std::string::npos, temporary.find('/'));
    ExpectCopyOfSource(temporary);
    EXPECT_EQ(c.targetExists, Exists(dir_ / "dst"));
    EXPECT_FALSE(os_->IsAbandonedTemporary(temporary));  // its writer still runs

    EXPECT_EQ(c.code, dir->PlaceCopy(temporary, "dst", c.mode).code());
    EXPECT_EQ(c.code != 0, Exists(dir_ / temporary));
    if (c.code == 0) {
      ExpectCopyOfSource("dst");
    } else {
      EXPECT_EQ("old", ReadFile(dir_ / "dst"));
    }
    unlink((dir_ / temporary).c_str());
    ASSERT_EQ(0, unlink((dir_ / "dst").c_str()));
  }
  std::string temporary;
  EXPECT_EQ(ENOENT, (dir->StageCopy("missing", *dir, "dst", &temporary)).code());
  EXPECT_EQ((std::vector<std::string>{"src"}), ListNames(dir_.path()));
}

// A hard link is made only to the file the caller saw; the link count shows it.
TEST_F(OsDirTest, LinkFileLinksOnlyTheExpectedFile) {
  WriteFile(dir_ / "other", "other");
  WriteFile(dir_ / "taken", "taken");
  ASSERT_EQ(0, symlink("src", (dir_ / "symlink").c_str()));
  const FileStatus source = StatusOf("src");
  EXPECT_EQ(1u, source.links);
  struct Case {
    const char* name;
    const char* to;
    FileStatus expected;
    int code;
  };
  for (const Case& c : {Case{"other", "dst", source, EIDRM}, Case{"symlink", "dst", source, EIDRM},
                        Case{"src", "taken", source, EEXIST}, Case{"src", "dst", source, 0}}) {
    SCOPED_TRACE(std::string(c.name) + " -> " + c.to);
    EXPECT_EQ(c.code, dir->LinkFile(c.name, *dir, c.to, c.expected).code());
    EXPECT_EQ(c.code == 0, Exists(dir_ / "dst"));
  }
  EXPECT_EQ(LStat(dir_ / "src").st_ino, LStat(dir_ / "dst").st_ino);
  EXPECT_EQ(2u, StatusOf("src").links);
  EXPECT_EQ("taken", ReadFile(dir_ / "taken"));
}

// Clones are checked against the expected file before anything is created;
// where the file system cannot clone (or only through FakeDisk) they fail
// without a trace, or with `canClone` become independent copies.
TEST_F(OsDirTest, CloneFileChecksSourceAndLeavesNothingOnFailure) {
  FakeDisk disk(*os_);
  disk.canClone = true;
  std::unique_ptr<OsDir> emulated;
  ASSERT_TRUE((disk.OpenDir(dir_.path(), false, &emulated)).ok());
  EXPECT_TRUE(emulated->CanClone());
  const FileStatus source = StatusOf("src");
  FileStatus resized = source, retimed = source;
  resized.size += 1;
  retimed.mtimeNsec += 1;
  struct Case {
    OsDir* through;
    FileStatus expected;
    bool stale;
  };
  for (const Case& c :
       {Case{dir.get(), resized, true}, Case{dir.get(), retimed, true}, Case{emulated.get(), retimed, true},
        Case{dir.get(), source, false}, Case{emulated.get(), source, false}}) {
    SCOPED_TRACE(std::string(c.through == dir.get() ? "real" : "emulated") + (c.stale ? " stale" : ""));
    const Status code = c.through->CloneFile("src", *c.through, "dst", c.expected);
    if (c.stale) {
      EXPECT_TRUE(code.Is(ErrorKind::kChanged)) << code;
    } else if (c.through == dir.get() && !dir->CanClone()) {
      EXPECT_FALSE((code).ok());
    } else {
      ASSERT_TRUE((code).ok());
      ExpectCopyOfSource("dst");
      EXPECT_NE(LStat(dir_ / "src").st_ino, LStat(dir_ / "dst").st_ino);
      EXPECT_EQ(EEXIST, (c.through->CloneFile("src", *c.through, "dst", c.expected)).code());
      WriteFile(dir_ / "dst", "changed");
      EXPECT_EQ("new content", ReadFile(dir_ / "src"));
      ASSERT_EQ(0, unlink((dir_ / "dst").c_str()));
    }
    EXPECT_EQ((std::vector<std::string>{"src"}), ListNames(dir_.path()));
  }
}

TEST_F(OsTest, ScratchFileHasNoNameAndReadsBackWhatWasAppended) {
  const char* saved = getenv("TMPDIR");
  const std::string savedValue = saved ? saved : "";
  setenv("TMPDIR", dir_.path().c_str(), 1);
  std::unique_ptr<OsFile> file;
  const Status code = os_->OpenScratchFile(&file);
  if (saved) {
    setenv("TMPDIR", savedValue.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  ASSERT_TRUE((code).ok());
  EXPECT_TRUE(ListNames(dir_.path()).empty());
  ASSERT_TRUE((file->Append("first ")).ok());
  std::string read;
  ASSERT_TRUE((file->ReadAt(0, 3, &read)).ok());  // reading does not move where appends go
  EXPECT_EQ("fir", read);
  ASSERT_TRUE((file->Append("second")).ok());
  std::uint64_t size = 0;
  ASSERT_TRUE((file->Size(&size)).ok());
  EXPECT_EQ(12u, size);
  ASSERT_TRUE((file->ReadAt(4, 100, &read)).ok());
  EXPECT_EQ("t second", read);
  EXPECT_TRUE((file->Sync()).ok());
}

// ---- The doubles ----

TEST(FaultInjectorTest, RulesMatchPathSuffixAndCountdownCountsChangesOnly) {
  TempDir dir;
  std::unique_ptr<Os> real = MakeSystemOs();
  FakeEnvironment environment(*real);
  FaultInjector os(environment);
  WriteFile(dir / "src", "x");

  os.FailAt(OsOp::CopyFile, "dst", EIO, 1);
  EXPECT_TRUE((CopyFile(os, dir / "src", dir / "xdst", CopyMode::Replace)).ok());
  EXPECT_EQ(EIO, (CopyFile(os, dir / "src", dir / "dst", CopyMode::Replace)).code());
  EXPECT_FALSE(Exists(dir / "dst"));
  EXPECT_TRUE((CopyFile(os, dir / "src", dir / "dst", CopyMode::Replace)).ok());  // fired once

  os.ClearRules();
  os.FailNthChange(2, ENOSPC);
  FileStatus status;
  EXPECT_TRUE((Stat(os, dir / "src", false, &status)).ok());  // not a change
  EXPECT_TRUE((CreateDir(os, dir / "d1")).ok());
  EXPECT_EQ(ENOSPC, (CreateDir(os, dir / "d2")).code());
  EXPECT_TRUE((CreateDir(os, dir / "d3")).ok());
  EXPECT_FALSE(Exists(dir / "d2"));
  EXPECT_EQ(6, os.changeCount);

  std::vector<FaultInjector::Call> calls;  // but the opening of each path's parent
  for (const FaultInjector::Call& call : os.calls) {
    if (call.op != OsOp::OpenDir) calls.push_back(call);
  }
  ASSERT_EQ(7u, calls.size());
  EXPECT_EQ(OsOp::CopyFile, calls[1].op);
  EXPECT_EQ(dir / "dst", calls[1].path2);
  EXPECT_EQ(EIO, calls[1].result.code());
  EXPECT_STREQ("CreateDir", OsOpName(calls[5].op));
  EXPECT_EQ(ENOSPC, calls[5].result.code());

  environment.env["VELDAR2_TEST_VAR"] = "set";
  environment.fixedNow = 1234;
  os.SleepMs(500);
  EXPECT_EQ("set", os.GetEnv("VELDAR2_TEST_VAR").value_or(""));
  EXPECT_EQ(1234, os.Now());
  EXPECT_EQ(std::vector<int>{500}, environment.sleeps);
}

// Each new directory operation is routed, counted as a change (a failed flush
// must be reportable) and recorded; a scratch file is no change.
TEST(FaultInjectorTest, SharingAndFlushingOperationsAreCountedChanges) {
  TempDir dir;
  std::unique_ptr<Os> real = MakeSystemOs();
  FaultInjector os(*real);
  WriteFile(dir / "src", "x");
  std::unique_ptr<OsDir> d;
  ASSERT_TRUE((os.OpenDir(dir.path(), false, &d)).ok());
  FileStatus source;
  ASSERT_TRUE((d->StatAt("src", &source)).ok());
  std::string temporary = "t";
  const std::vector<std::pair<OsOp, std::function<Status()>>> operations = {
      {OsOp::StageCopy, [&] { return d->StageCopy("src", *d, "a", &temporary); }},
      {OsOp::PlaceCopy, [&] { return d->PlaceCopy("t", "a", CopyMode::Replace); }},
      {OsOp::CloneFile, [&] { return d->CloneFile("src", *d, "a", source); }},
      {OsOp::LinkFile, [&] { return d->LinkFile("src", *d, "a", source); }},
      {OsOp::SyncFileSystem, [&] { return d->SyncFileSystem(); }},
      {OsOp::Sync, [&] { return d->Sync(); }},
  };
  for (const auto& [op, call] : operations) {
    SCOPED_TRACE(OsOpName(op));
    EXPECT_TRUE(ChangesFileSystem(op));
    os.FailNthChange(1, EIO);
    EXPECT_EQ(EIO, (call()).code());
    EXPECT_EQ(op, os.calls.back().op);
    EXPECT_EQ(EIO, os.calls.back().result.code());
    if (op != OsOp::SyncFileSystem && op != OsOp::Sync) {
      EXPECT_EQ(dir / "a", os.calls.back().path2);
    }
  }
  EXPECT_EQ((std::vector<std::string>{"src"}), ListNames(dir.path()));
  EXPECT_TRUE((d->SyncFileSystem()).ok());
  EXPECT_TRUE((d->Sync()).ok());

  const int changes = os.changeCount;
  std::unique_ptr<OsFile> scratch;
  EXPECT_TRUE((os.OpenScratchFile(&scratch)).ok());
  EXPECT_NE(nullptr, scratch);
  EXPECT_FALSE(ChangesFileSystem(OsOp::OpenScratchFile));
  EXPECT_EQ(changes, os.changeCount);
  EXPECT_STREQ("OpenScratchFile", OsOpName(os.calls.back().op));
}

}  // namespace
}  // namespace veldar
