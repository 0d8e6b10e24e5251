#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "engine/engine.h"
#include "testing/fault_injector.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::Exists;
using testing::ListNames;
using testing::ReadFile;
using Lines = std::vector<std::string>;

// The source is D/s, the target D/t; texts name the test directory "D".
struct MirrorTest : ::testing::Test, testing::EngineServices<> {
  MirrorTest() {
    environment.logDirOverride = logDir.path() + "/";
    engine.OpenLog();
    testing::MakeDirs(s);
    testing::MakeDirs(t);
  }
  // The log is closed while its directory is still there.
  ~MirrorTest() override { engine.CloseLog(); }
  std::string Short(std::string text) {
    for (auto at = text.find(dir.path()); at != std::string::npos; at = text.find(dir.path()))
      text.replace(at, dir.path().size(), "D");
    return text;
  }
  Lines Log() {  // the line texts without "pid : time : "
    Lines texts;
    for (const std::string& l : testing::Lines(ReadFile(logDir / "VELDAR2.TMP"))) {
      auto at = l.find(" : ", l.find(" : ") + 3);  // npos for an empty line
      texts.push_back(Short(at == std::string::npos ? l : l.substr(at + 3)));
    }
    return texts;
  }
  Lines Boxes() {
    Lines boxes;
    for (const std::string& box : messages.shown) boxes.push_back(Short(box));
    return boxes;
  }
  // How often `line` is in the log from line `from` on.
  long Count(const std::string& line, std::size_t from = 0) {
    const Lines log = Log();
    return std::count(log.begin() + from, log.end(), line);
  }
  static void File(const std::string& path, const std::string& content, std::int64_t time) {
    testing::WriteFile(path, content);
    testing::SetMtime(path, time);
  }
  static std::string LinkText(const std::string& path) {
    char buffer[4096];
    ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
    return n < 0 ? std::string() : std::string(buffer, n);
  }
  int Mirror() { return counted.Mirror(s, t); }
  static mode_t Mode(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode & 07777;
  }
  static void SetNs(const std::string& path, std::int64_t ns) {
    const struct timespec times[2] = {{ns / 1'000'000'000, ns % 1'000'000'000},
                                      {ns / 1'000'000'000, ns % 1'000'000'000}};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }

  testing::TempDir logDir, dir;
  const std::string s = dir / "s", t = dir / "t";
  testing::CountedRun counted{engine};
};

// New, changed, older, equal, case-only renames of a file and a directory, a
// new directory, vanished entries; then a second run that finds nothing to do.
// The target's file system ignores case, as FAT and NTFS do; with and
// without a rename that refuses to replace (FUSE media have none).
struct MirrorDecisionTest : MirrorTest, ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(RenameFlags, MirrorDecisionTest, ::testing::Values(false, true));
TEST_P(MirrorDecisionTest, DecisionTable) {
  disk.renameFlagsRefused = GetParam();
  disk.foldsCase = true;
  File(s + "/new", "new", 1000);
  File(s + "/changed", "new", 2000), File(t + "/changed", "old", 1000);
  File(s + "/older", "source", 1000), File(t + "/older", "target", 2000);
  File(s + "/equal", "source", 1500), File(t + "/equal", "target", 1500);
  File(s + "/README", "new", 3000), File(t + "/readme", "old", 1000);
  File(s + "/Docs/inner", "new", 2000), File(t + "/docs/stale", "x", 1000);
  File(s + "/newdir/deeper/file", "deep", 1000);
  File(t + "/gone", "x", 1000), File(t + "/gonedir/x/y", "x", 1000);

  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(ListNames(t), ListNames(s));
  EXPECT_EQ(ListNames(t + "/Docs"), Lines{"inner"});
  for (const char* name : {"new", "changed", "README", "Docs/inner"}) {
    EXPECT_EQ(ReadFile(t + "/" + name), "new") << name;
  }
  EXPECT_EQ(ReadFile(t + "/older"), "target");  // a newer target is never reverted
  EXPECT_EQ(ReadFile(t + "/equal"), "target");
  EXPECT_EQ(testing::Mtime(t + "/changed"), 2000);
  EXPECT_EQ(ReadFile(t + "/newdir/deeper/file"), "deep");
  for (const char* line : {"Not update,copy canceled! : D/t/older", "Not update,copy canceled! : D/t/equal",
                           "rename file : from D/t/readme TO D/t/README", "File Copied : D/s/README to D/t/README",
                           "rename directory : from D/t/docs TO D/t/Docs", "Directory Created : D/t/newdir",
                           "File Deleted : D/t/gone", "Directory Deleted : D/t/gonedir"}) {
    EXPECT_EQ(Count(line), 1) << line;
  }
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(counted.failures(), 0);

  const auto before = Log().size();
  EXPECT_EQ(Mirror(), 1);
  const Lines log = Log();
  EXPECT_TRUE(std::all_of(log.begin() + before, log.end(),
                          [](auto& l) { return l.starts_with("Not update,copy canceled! : "); }));
}

TEST_F(MirrorTest, NoDeleteAndNoTime) {
  File(s + "/sub/f", "x", 1000);
  File(s + "/same", "new", 1000), File(t + "/same", "old", 1000);
  File(t + "/gone", "x", 1000);
  engine.noDelete = engine.noTime = 1;
  EXPECT_EQ(Mirror(), 1);
  EXPECT_TRUE(Exists(t + "/gone"));
  EXPECT_EQ(ReadFile(t + "/same"), "new");
  EXPECT_EQ(Count("option nodel : delete canceled!"), 2);  // once per level
}

// Names differing only in case are two files: an exact name wins, and an
// entry named exactly by one source entry is never renamed for another
// (created in both orders, whatever order the directory lists them in). A
// change of kind replaces the counterpart unless deletions are forbidden.
TEST_F(MirrorTest, CaseAndKind) {
  disk.foldsCase = true;
  File(s + "/a", "a", 2000), File(s + "/A", "A", 2000), File(t + "/a", "old", 1000);
  File(s + "/B", "B", 2000), File(s + "/b", "b", 2000), File(t + "/b", "old", 1000);
  File(s + "/k1", "file", 1000), File(t + "/k1/inner", "x", 5000);
  File(s + "/k2/inner", "dir", 1000), File(t + "/k2", "x", 5000);
  File(s + "/Kind", "case too", 1000), File(t + "/kind/inner", "x", 5000);

  engine.noDelete = engine.noMessage = 1;
  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(Count("File Copy Failed : D/s/k1 to D/t/k1 : ERR = 21"), 1);
  EXPECT_EQ(Count("Directory Create Failed : D/t/k2 : ERR= 17"), 1);
  EXPECT_EQ(counted.failures(), 3);  // and "Kind" onto "kind"
  const Lines log = Log();
  EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](auto& l) { return l.starts_with("rename"); }));
  engine.noMessage = 0;
  EXPECT_EQ(Mirror(), 0);
  EXPECT_EQ(messages.shown.size(), 1u);

  engine.noDelete = 0;
  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(ListNames(t), (Lines{"A", "B", "Kind", "a", "b", "k1", "k2"}));
  for (const char* name : {"a", "A", "b", "B"}) EXPECT_EQ(ReadFile(t + "/" + name), name);
  EXPECT_EQ(ReadFile(t + "/k1"), "file");
  EXPECT_EQ(ReadFile(t + "/k2/inner"), "dir");
  EXPECT_EQ(ReadFile(t + "/Kind"), "case too");
  EXPECT_EQ(Count("Directory Deleted : D/t/k1"), 1);
}

// The apply opens a target directory only where something in it changes
// (the levels above a change on the way down to it); where nothing does,
// the plan's look is the only one.
TEST_F(MirrorTest, TargetDirectoriesOpenedOnlyWhereSomethingChanges) {
  for (const char* name : {"same/deeper/f", "changed/deeper/f", "vanished/f", "access/f"}) {
    testing::MakeDirs(s + "/" + std::string(name).substr(0, std::string(name).rfind('/')));
    File(s + "/" + name, name, 1000);
  }
  ASSERT_EQ(Mirror(), 1);
  File(s + "/changed/deeper/f", "new content", 2000);
  ASSERT_EQ(unlink((s + "/vanished/f").c_str()), 0);
  ASSERT_EQ(chmod((s + "/access").c_str(), 0750), 0);
  fault.calls.clear();
  ASSERT_EQ(Mirror(), 1);

  const struct {
    const char* directory;
    long opens;  // the plan's one, and the apply's where it acts
  } cases[] = {{"same", 1}, {"same/deeper", 1}, {"changed", 2}, {"changed/deeper", 2}, {"vanished", 2}, {"access", 2}};
  for (const auto& c : cases) {
    const std::string path = t + "/" + c.directory;
    EXPECT_EQ(c.opens, std::count_if(fault.calls.begin(), fault.calls.end(),
                                     [&](const auto& call) { return call.op == OsOp::OpenDir && call.path == path; }))
        << c.directory;
  }
  EXPECT_EQ(ReadFile(t + "/changed/deeper/f"), "new content");
  EXPECT_FALSE(Exists(t + "/vanished/f"));
  EXPECT_EQ(Mode(t + "/access"), 0750u);
  EXPECT_EQ(ReadFile(t + "/same/deeper/f"), "same/deeper/f");
}

// Links are copied as links, compared by their own time, never walked into;
// a target link is deleted, never what it points to; the top-level target may
// be a link the user named. FIFOs are skipped unopened. A directory that
// vanished since its listing is reported and its counterpart kept.
TEST_F(MirrorTest, LinksSpecialFilesAndSystemDirectories) {
  File(dir / "outside/keep", "keep", 1000);
  ASSERT_EQ(symlink("nowhere", (s + "/dangling").c_str()), 0);
  ASSERT_EQ(symlink((dir / "outside").c_str(), (s + "/outdir").c_str()), 0);
  ASSERT_EQ(symlink("x", (s + "/wasfile").c_str()), 0);
  File(t + "/wasfile", "newer plain file", 4000000000);  // kinds differ: copied anyway
  ASSERT_EQ(symlink((dir / "outside").c_str(), (t + "/oldlink").c_str()), 0);
  ASSERT_EQ(symlink(t.c_str(), (dir / "tlink").c_str()), 0);
  ASSERT_EQ(mkfifo((s + "/fifo").c_str(), 0644), 0);
  File(s + "/sys/new", "x", 1000), File(t + "/sys/old", "x", 1000);
  fault.FailAt(OsOp::OpenDir, s + "/sys", ENOENT);

  EXPECT_EQ(counted.Mirror(s, dir / "tlink"), 1);
  EXPECT_EQ(ListNames(t), (Lines{"dangling", "outdir", "sys", "wasfile"}));
  EXPECT_EQ(LinkText(t + "/dangling"), "nowhere");
  EXPECT_EQ(LinkText(t + "/outdir"), dir / "outside");
  EXPECT_EQ(LinkText(t + "/wasfile"), "x");
  EXPECT_EQ(ListNames(dir / "outside"), Lines{"keep"});
  EXPECT_EQ(ListNames(t + "/sys"), Lines{"old"});
  EXPECT_EQ(Count("special file found copy canceled! : D/s/fifo"), 1);
  EXPECT_EQ(Count("Source vanished, copy canceled! : D/s/sys"), 1);
  EXPECT_EQ(counted.vanished(), 1);
  EXPECT_EQ(counted.failures(), 0);
  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(Count("Not update,copy canceled! : D/t/outdir"), 1);
}

// A link made again with a text of the same length, and a time set back, is
// copied: links are compared by their text, not by size and time alone.
TEST_F(MirrorTest, RetargetedLinkIsCopiedWhateverItsTime) {
  ASSERT_EQ(symlink("aaa", (s + "/l").c_str()), 0);
  ASSERT_EQ(symlink("aaa", (s + "/same").c_str()), 0);
  ASSERT_EQ(Mirror(), 1);
  ASSERT_EQ(unlink((s + "/l").c_str()), 0);
  ASSERT_EQ(symlink("bbb", (s + "/l").c_str()), 0);
  SetNs(s + "/l", 1'577'836'800'000'000'000);  // 2020-01-01, before the copy was made
  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(LinkText(t + "/l"), "bbb");
  EXPECT_EQ(Count("File Copied : D/s/l to D/t/l"), 2);
  EXPECT_EQ(Count("File Copied : D/s/same to D/t/same"), 1);  // unchanged: not copied again
}

// Which box, whether the walk stops, what is counted and logged. Each case:
// source "f", "Ren" and "newdir/inner"; target "ren", "vanished" and
// "vanisheddir/x"; one operation fails at one path.
TEST_F(MirrorTest, FailuresStopOrCarryOn) {
  struct Case {
    OsOp op;
    const char* at;
    int noMessage, result, failures;
    Lines boxes;
    std::string line;  // must be in the log
  } cases[] = {
      {OsOp::CopyFile, "t/f", 0, 0, 1, {"ERR : COPY FILE FROM D/s/f TO D/t/f"}, ""},
      {OsOp::CopyFile, "t/f", 1, 1, 1, {}, "File Copy Failed : D/s/f to D/t/f : ERR = 5"},
      {OsOp::CreateDir, "t/newdir", 0, 0, 1, {"ERR : MKDIR FAILED D/t/newdir"}, ""},
      {OsOp::CreateDir, "t/newdir", 1, 1, 1, {}, "Directory Create Failed : D/t/newdir : ERR= 5"},
      {OsOp::DeleteFile, "t/vanished", 0, 0, 1, {"ERR : DELETE FILE vanished"}, ""},
      {OsOp::DeleteFile, "t/vanished", 1, 1, 1, {}, "File Delete Failed : D/t/vanished : ERR = 5"},
      {OsOp::RemoveDir, "t/vanisheddir", 0, 1, 1, {"ERR : DELETE DIRECTORY vanisheddir"}, ""},
      {OsOp::List, "s/newdir", 0, 0, 1, {"ERROR AT LOCAL FILE FINDFIRSTFILE! at D/s/newdir/*"}, ""},
      {OsOp::List, "s/newdir", 1, 0, 1, {}, "ERROR AT LOCAL FILE FINDFIRSTFILE! at D/s/newdir/*"},
      {OsOp::MoveNoReplace, "t/ren", 0, 1, 1, {}, "rename file failed : from D/t/ren TO D/t/Ren : ERR = 5"},
      // Tried while the directory is filled and again once it is: one failure.
      {OsOp::ChangeEntry, "t/private", 1, 1, 1, {}, "Permissions Set Failed : D/t/private : ERR = 5"},
  };
  disk.foldsCase = true;  // "ren" is renamed to "Ren"
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(OsOpName(c.op)) + " " + std::to_string(c.noMessage));
    std::filesystem::remove_all(s);
    std::filesystem::remove_all(t);
    File(s + "/f", "x", 1000), File(s + "/Ren", "new", 2000), File(s + "/newdir/inner", "x", 1000);
    File(t + "/ren", "old", 1000), File(t + "/vanished", "x", 1000);
    File(t + "/vanisheddir/x", "x", 1000);
    File(s + "/private/p", "p", 1000), File(t + "/private/p", "p", 1000);
    chmod((s + "/private").c_str(), 0700);
    chmod((t + "/private").c_str(), 0755);
    fault.ClearRules();
    fault.FailAt(c.op, dir / c.at, 5);
    messages.shown.clear();
    engine.noMessage = c.noMessage;
    const std::size_t before = Log().size();

    EXPECT_EQ(Mirror(), c.result);
    EXPECT_EQ(Boxes(), c.boxes);
    EXPECT_EQ(counted.failures(), c.failures);
    if (!c.line.empty()) {
      EXPECT_EQ(Count(c.line, before), 1);
    }
    // Deletions come last: a stop before them leaves the vanished file.
    if (c.op != OsOp::DeleteFile) {
      EXPECT_EQ(Exists(t + "/vanished"), c.result == 0);
    }
    if (c.op == OsOp::MoveNoReplace) {
      EXPECT_EQ(ReadFile(t + "/ren"), "new");  // copied under the name it still has
    }
  }
}

// A missing source is a failure, never an empty tree that would empty the copy.
TEST_F(MirrorTest, MissingSourceLeavesTheCopyAlone) {
  File(t + "/precious", "x", 1000);
  EXPECT_EQ(counted.Mirror(dir / "missing", t), 0);
  EXPECT_EQ(Boxes(), Lines{"ERROR AT LOCAL FILE FINDFIRSTFILE! at D/missing/*"});
  EXPECT_TRUE(Exists(t + "/precious"));
}

// A copy whose owner the medium refuses still gets its source's permissions:
// one failure, for the owner alone.
TEST_F(MirrorTest, RefusedOwnerStillGetsThePermissions) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a file another owner needs root";
  File(s + "/f", "x", 1000), File(t + "/f", "x", 1000);
  ASSERT_EQ(chown((s + "/f").c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod((s + "/f").c_str(), 0600), 0);
  ASSERT_EQ(chmod((t + "/f").c_str(), 0644), 0);
  fault.FailAt(OsOp::ChangeEntry, dir / "t/f", EPERM, /*times=*/1);
  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(Count("Owner Set Failed : D/t/f : ERR = 1"), 1);
  EXPECT_EQ(counted.failures(), 1);
  struct stat st {};
  ASSERT_EQ(stat((t + "/f").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// Permissions travel with the tree: every directory ends with its source's
// bits (set-group-ID and sticky ones too, whatever the umask), and a change of
// permissions alone, which leaves the time as it was, still reaches the copy.
TEST_F(MirrorTest, PermissionsFollowTheSource) {
  const mode_t umaskBefore = umask(0);
  File(s + "/private/secret", "s", 1000);
  File(s + "/shared/note", "n", 1000);
  File(s + "/locked/kept", "k", 1000);
  const std::pair<const char*, mode_t> modes[] = {{"", 0700}, {"private", 0700}, {"shared", 02775}, {"locked", 0555}};
  for (const auto& [name, mode] : modes) chmod((s + "/" + name).c_str(), mode);
  EXPECT_EQ(Mirror(), 1);
  for (const auto& [name, mode] : modes) EXPECT_EQ(Mode(t + "/" + name), mode) << name;
  EXPECT_EQ(ReadFile(t + "/locked/kept"), "k");

  chmod((s + "/private/secret").c_str(), 0600);
  chmod((s + "/shared").c_str(), 0750);
  if (geteuid() == 0) {
    ASSERT_EQ(lchown((s + "/shared/note").c_str(), 4321, 8765), 0);
  }
  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(Mode(t + "/private/secret"), 0600u);
  EXPECT_EQ(Mode(t + "/shared"), 0750u);
  EXPECT_EQ(Count("Permissions Set : D/t/private/secret : 0600"), 1);
  EXPECT_EQ(Count("Permissions Set : D/t/shared : 0750"), 1);
  if (geteuid() == 0) {
    EXPECT_EQ(Count("Owner Set : D/t/shared/note : 4321:8765"), 1);
  }
  EXPECT_EQ(Count("File Copied : D/s/private/secret to D/t/private/secret"), 1);  // once only
  umask(umaskBefore);
}

// A file is copied when it is later by more than the target's file system
// can tell apart, or when the sizes differ; a newer target of the same size
// is left alone.
TEST_F(MirrorTest, TimesComparedAtTheTargetsResolutionAndSizes) {
  struct Case {
    std::int64_t sourceNs, targetNs;
    const char* target;  // the source holds "12345"
    std::int64_t resolution;
    bool copied;
  } cases[] = {
      {1000'700'000'000, 1000'200'000'000, "abcde", 0, true},  // an edit within the second
      {1000'000'000'000, 1000'000'000'000, "abcd", 0, true},   // torn: same time, other size
      {1000'000'000'000, 2000'000'000'000, "abcdef", 0, true},
      {1000'000'000'000, 2000'000'000'000, "abcde", 0, false},
      {1000'000'000'000, 1000'000'000'000, "abcde", 0, false},
      {1001'900'000'000, 1000'000'000'000, "abcde", 2'000'000'000, false},  // FAT's 2 s
      {1003'000'000'000, 1000'000'000'000, "abcde", 2'000'000'000, true},
  };
  for (const Case& c : cases) {
    File(s + "/f", "12345", 0), File(t + "/f", c.target, 0);
    SetNs(s + "/f", c.sourceNs), SetNs(t + "/f", c.targetNs);
    disk.timeResolutionNs = c.resolution;
    EXPECT_EQ(Mirror(), 1);
    EXPECT_EQ(ReadFile(t + "/f") == "12345", c.copied) << c.sourceNs << " " << c.target;
  }
}

// Where the target tells case apart, only an exact name is a counterpart: a
// stale "REPORT" of a deleted file never passes for the new "Report".
TEST_F(MirrorTest, CaseSensitiveTargetMatchesExactNamesOnly) {
  File(s + "/Report", "new", 1000), File(t + "/REPORT", "stale", 2000);
  File(s + "/Dir/x", "x", 1000), File(t + "/dir/old", "old", 1000);
  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(ListNames(t), (Lines{"Dir", "Report"}));
  EXPECT_EQ(ReadFile(t + "/Report"), "new");
}

// Temporary files of a killed copy go, deletions forbidden or not; one whose
// writer still runs, and one the source names, stay.
TEST_F(MirrorTest, AbandonedTemporaryFilesAreRemoved) {
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  const std::string abandoned = ".~f." + std::to_string(gone) + "-0badf00d-3.tmp";
  const std::string live = ".~g." + std::to_string(getpid()) + "-0badf00d-4.tmp";
  const std::string named = ".~h." + std::to_string(gone) + "-0badf00d-5.tmp";
  File(t + "/" + abandoned, "half", 1000), File(t + "/" + live, "busy", 1000);
  File(s + "/" + named, "mine", 1000), File(t + "/" + named, "mine", 1000);
  engine.noDelete = 1;
  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(ListNames(t), (Lines{live, named}));
}

}  // namespace
}  // namespace veldar
