// The rotation tests that need POSIX itself: bind mounts (mount, as root),
// processes forked so that their ids are those of writers that are gone,
// permission bits and the umask, and files with holes (truncate).

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/restore.h"
#include "testing/fault_injector.h"
#include "tests/backup_job.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::AgeOs;
using testing::Job;
using testing::ListNames;
using testing::MakeDirs;
using testing::ReadFile;
using testing::WriteFile;

using Contents = std::map<std::string, std::string>;

// The id of a process that has ended.
pid_t GoneProcess() {
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  return gone;
}

// What a killed copy left is removed by the next run.
TEST(BackupFileTest, WhatAKilledCopyLeftIsRemoved) {
  Job job;
  ASSERT_EQ(job.Run(1, "v1"), 1);
  WriteFile(job.backup + "/.~report_1.doc_." + std::to_string(GoneProcess()) + "-0badf00d-7.tmp", "half");
  ASSERT_EQ(job.Run(1, "v2"), 1);
  EXPECT_EQ(job.Generations(), (Contents{{"report_1.doc_", "v2"}}));
}

class FullOs : public AgeOs {
 public:
  using AgeOs::AgeOs;
  Status FreeSpace(const std::string&, std::uint64_t* bytes) override {
    *bytes = free;
    return Status();
  }
  std::uint64_t free = 0;
};

TEST(SafeRotationTest, ACopyThatCannotFitIsRefusedBeforeAnythingIsDeleted) {
  testing::TempDir dir;
  testing::EngineServices<FullOs> services;
  FullOs& os = services.fault;
  CVELDAR2Engine& engine = services.engine;
  services.environment.logDirOverride = dir / "log/";
  engine.sourcePath = dir / "docs";
  engine.backupDir = dir / "backup";
  engine.generationCount = 2;
  MakeDirs(engine.backupDir);
  WriteFile(dir / "docs/big", std::string(100000, 'x'));
  // A gigabyte of holes takes no room in the copy either.
  WriteFile(dir / "docs/sparse", "");
  ASSERT_EQ(truncate((dir / "docs/sparse").c_str(), 1'000'000'000), 0);
  os.free = 1'000'000;
  ASSERT_EQ(engine.Backup(), 1);
  ASSERT_EQ(engine.Backup(), 1);

  os.free = 50'000;
  EXPECT_EQ(engine.Backup(), 0);
  ASSERT_EQ(services.messages.shown.size(), 1u);
  EXPECT_EQ(services.messages.shown[0].rfind("書き込むディレクトリの空き容量が足りません。\n必要: ", 0), 0u)
      << services.messages.shown[0];
  EXPECT_EQ(ListNames(engine.backupDir), (std::vector<std::string>{"docs_1", "docs_2"}));
}

// The working directory is the program's own: a leftover is brought in line
// with the source whatever -NOFORCE and -NODEL say, and a file or a link on
// its name, or on a retired name, is removed (never followed), as are
// temporary files whose writer is gone.
TEST(SafeRotationTest, LeftoversNeverReachAGeneration) {
  Job job;
  job.UseDir();
  const pid_t gone = GoneProcess();
  const std::string temp = ".~report_1.doc_." + std::to_string(gone) + "-0badf00d-1.tmp";
  WriteFile(job.backup + "/.docs.veldar2-new/a.txt", "stale content");
  WriteFile(job.backup + "/.docs.veldar2-new/deleted.txt", "gone from the source");
  WriteFile(job.backup + "/" + temp, "half");
  WriteFile(job.dir / "elsewhere/keep", "keep");
  ASSERT_EQ(symlink((job.dir / "elsewhere").c_str(), (job.backup + "/.docs_2.veldar2-old").c_str()), 0);
  job.engine.noForce = job.engine.noDelete = 1;
  ASSERT_EQ(job.Run(2, "v1"), 1);
  EXPECT_EQ(ListNames(job.backup + "/docs_1"), (std::vector<std::string>{".veldar2-manifest", "a.txt"}));
  EXPECT_EQ(ReadFile(job.backup + "/docs_1/a.txt"), "v1");
  EXPECT_EQ(ListNames(job.backup), std::vector<std::string>{"docs_1"});
  EXPECT_EQ(ReadFile(job.dir / "elsewhere/keep"), "keep");

  ASSERT_EQ(symlink((job.dir / "elsewhere").c_str(), (job.backup + "/.docs.veldar2-new").c_str()), 0);
  ASSERT_EQ(job.Run(2, "v2"), 1);
  EXPECT_EQ(ListNames(job.backup), (std::vector<std::string>{"docs_1", "docs_2"}));
  EXPECT_EQ(ListNames(job.dir / "elsewhere"), std::vector<std::string>{"keep"});
}

// A private source stays private in every copy: generation and mirror alike,
// whatever the umask.
TEST(BackupDirTest, CopiesAreNoMoreOpenThanTheirSource) {
  const mode_t umaskBefore = umask(0);
  for (int count : {1, 3}) {
    Job job;
    job.UseDir();
    WriteFile(job.engine.sourcePath + "/inner/a.txt", "a");
    chmod(job.engine.sourcePath.c_str(), 0700);
    chmod((job.engine.sourcePath + "/inner").c_str(), 0750);
    ASSERT_EQ(job.Run(count, "v1"), 1);
    const std::string copy = count == 1 ? job.backup : job.backup + "/docs_1";
    struct stat top {
    }, inner{};
    lstat(copy.c_str(), &top);
    lstat((copy + "/inner").c_str(), &inner);
    EXPECT_EQ(top.st_mode & 07777, 0700u) << count;
    EXPECT_EQ(inner.st_mode & 07777, 0750u) << count;
  }
  umask(umaskBefore);
}

// Containment is judged by identity: a bind mount of the source, or of its
// parent, as the backup directory is the source, or holds it.
TEST(CheckParametersTest, BindMountsAreSeenThrough) {
  Job job;
  const std::string& d = job.dir.path();
  WriteFile(d + "/home/docs/a.txt", "a");
  MakeDirs(d + "/mnt/parent");
  MakeDirs(d + "/mnt/self");
  if (mount((d + "/home").c_str(), (d + "/mnt/parent").c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "bind mounts need privileges this machine does not give";
  }
  ASSERT_EQ(mount((d + "/home/docs").c_str(), (d + "/mnt/self").c_str(), nullptr, MS_BIND, nullptr), 0);
  struct Case {
    const char* backupDir;
    int count;
  } cases[] = {{"/mnt/parent", 1}, {"/mnt/self", 3}};
  for (const Case& c : cases) {
    job.engine.sourcePath = d + "/home/docs";
    job.engine.backupDir = d + c.backupDir;
    job.engine.generationCount = c.count;
    EXPECT_EQ(job.Backup(), 0) << c.backupDir;
  }
  umount2((d + "/mnt/self").c_str(), MNT_DETACH);
  umount2((d + "/mnt/parent").c_str(), MNT_DETACH);

  // The source reached through a bind mount from inside the backup
  // directory, where the path says nothing of it: a bind mount of the source
  // in the straight mirror; the source being a bind mount of one of its own
  // generations, or of a directory of the straight mirror. Every such run is
  // refused before anything is deleted, and the source keeps its files.
  struct Mount {
    const char* what;
    std::string from, onto, source, backupDir;
    int count;
  };
  const Mount mounts[] = {
      {"the source mounted inside the mirror", d + "/home/docs", d + "/backup/mounted", d + "/home/docs", d + "/backup",
       1},
      {"the source a mount of its own generation", d + "/gens/docs_1", d + "/x/docs", d + "/x/docs", d + "/gens", 2},
      {"the source a mount of a directory of the mirror", d + "/mirror/sub", d + "/y/sub", d + "/y/sub", d + "/mirror",
       1},
  };
  WriteFile(d + "/gens/docs_1/a.txt", "a");
  WriteFile(d + "/mirror/sub/a.txt", "a");
  job.engine.noMessage = 1;
  for (const Mount& m : mounts) {
    MakeDirs(m.onto);
    ASSERT_EQ(mount(m.from.c_str(), m.onto.c_str(), nullptr, MS_BIND, nullptr), 0) << m.what;
    job.engine.sourcePath = m.source;
    job.engine.backupDir = m.backupDir;
    job.engine.generationCount = m.count;
    EXPECT_EQ(job.Backup(), 0) << m.what;
    umount2(m.onto.c_str(), MNT_DETACH);
    EXPECT_EQ(ListNames(m.from), std::vector<std::string>{"a.txt"}) << m.what;
    EXPECT_EQ(ReadFile(m.from + "/a.txt"), "a") << m.what;
  }
}

// A copy that other names share (a snapshot kept with cp -al, a linked
// generation) is never changed in place, in either mode: a change of the
// source's permissions or owner reaches the copy as a file of its own, and
// the snapshot keeps what it had.
TEST(BackupDirTest, SharedCopiesAreNeverChangedInPlace) {
  if (geteuid() != 0) GTEST_SKIP() << "giving files another owner needs root";
  for (const int noForce : {0, 1}) {
    Job job;
    job.UseDir();
    WriteFile(job.engine.sourcePath + "/mode.txt", "m");
    WriteFile(job.engine.sourcePath + "/owner.txt", "o");
    chmod((job.engine.sourcePath + "/mode.txt").c_str(), 0600);
    ASSERT_EQ(job.Run(1, "a"), 1);
    for (const char* name : {"mode.txt", "owner.txt"}) {
      MakeDirs(job.dir / "snapshot");
      ASSERT_EQ(link((job.backup + "/" + name).c_str(), (job.dir / "snapshot/" + name).c_str()), 0);
    }
    chmod((job.engine.sourcePath + "/mode.txt").c_str(), 0644);
    ASSERT_EQ(chown((job.engine.sourcePath + "/owner.txt").c_str(), 65534, 65534), 0);
    job.engine.noForce = noForce;
    ASSERT_EQ(job.Run(1, "a"), 1);
    struct stat copy {
    }, snapshot{};
    lstat((job.backup + "/mode.txt").c_str(), &copy);
    lstat((job.dir / "snapshot/mode.txt").c_str(), &snapshot);
    EXPECT_EQ(copy.st_mode & 07777, 0644u) << noForce;
    EXPECT_EQ(snapshot.st_mode & 07777, 0600u) << noForce;
    lstat((job.backup + "/owner.txt").c_str(), &copy);
    lstat((job.dir / "snapshot/owner.txt").c_str(), &snapshot);
    EXPECT_EQ(copy.st_uid, 65534u) << noForce;
    EXPECT_EQ(snapshot.st_uid, 0u) << noForce;
    EXPECT_EQ(ReadFile(job.dir / "snapshot/owner.txt"), "o");
  }
}

// A medium that maps owners (FAT mounted for a desktop user, FUSE media)
// reports what root makes on it as the mount's user's: the lock file, the
// working directory. Runs still make and recycle generations, never take
// themselves for another run, and a restore from them works. Played by root
// acting on the file system as 65534 (setfsuid) in a directory of 65534's.
TEST(BackupDirTest, AMediumThatMapsOwnersKeepsNoRunOut) {
  if (geteuid() != 0) GTEST_SKIP() << "acting on the file system as another user needs root";
  Job job;
  job.UseDir();
  WriteFile(job.engine.sourcePath + "/a.txt", "v0");
  ASSERT_EQ(testing::RunCommand("chmod 755 '" + job.dir.path() + "' && chown -R 65534:65534 '" + job.dir.path() + "'"),
            0);
  const pid_t child = fork();
  if (child == 0) {
    setfsgid(65534);
    setfsuid(65534);
    for (const char* content : {"v1", "v2", "v3"}) {
      if (job.Run(2, content) != 1 || job.outcome.busy) _exit(10);
    }
    if (job.Generations() != Contents{{"docs_1", "v3"}, {"docs_2", "v2"}}) _exit(11);
    job.engine.restoreDir = job.dir / "restored";
    if (!job.engine.FindDirGenerations() || !RunRestore(job.engine, 0).ok) _exit(12);
    if (ReadFile(job.dir / "restored/docs/a.txt") != "v3") _exit(13);
    _exit(ListNames(job.backup) == std::vector<std::string>{"docs_1", "docs_2"} ? 0 : 14);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << WEXITSTATUS(status) << "\n" << job.Log();
}

// Only who may write the backup directory can hold its lock: a user who may
// only read it, holding every lock they can get (the directory's, a lock
// file planted where they could), keeps no run out.
TEST(BackupDirTest, AReaderCannotHoldTheBackupDirectory) {
  if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  Job job;
  job.UseDir();
  chmod(job.dir.path().c_str(), 0755);
  chmod(job.backup.c_str(), 0755);
  const std::string lockFile = job.backup + "/" + BackupRun::kLockFileName;
  WriteFile(lockFile, "");
  ASSERT_EQ(chown(lockFile.c_str(), 65534, 65534), 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t reader = fork();
  if (reader == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
    const int dirFd = open(job.backup.c_str(), O_RDONLY | O_DIRECTORY);
    const int fileFd = open(lockFile.c_str(), O_RDONLY);
    flock(dirFd, LOCK_EX | LOCK_NB);
    flock(fileFd, LOCK_EX | LOCK_NB);
    // And the program's own way, as far as a reader gets with it.
    std::unique_ptr<OsDir> held;
    auto os = MakeSystemOs();
    const bool locked = os->OpenDir(job.backup, true, &held).ok() && held->Lock(BackupRun::kLockFileName).ok();
    const char answer = locked ? 'L' : 'n';
    if (write(ready[1], &answer, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  char answer = 0;
  ASSERT_EQ(read(ready[0], &answer, 1), 1);
  EXPECT_EQ(answer, 'n') << "a reader took the lock";
  EXPECT_EQ(job.Run(2, "v1"), 1);
  EXPECT_EQ(job.outcome.busy, 0);
  kill(reader, SIGKILL);
  waitpid(reader, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(ListNames(job.backup), std::vector<std::string>{"docs_1"});
}

}  // namespace
}  // namespace veldar
