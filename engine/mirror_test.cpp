#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "engine/engine.h"
#include "platform/fault_os.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::Exists;
using testing::ListNames;
using testing::ReadFile;
using Lines = std::vector<std::string>;

// The source is D/s, the target D/t; texts name the test directory "D".
struct MirrorTest : ::testing::Test {
  MirrorTest() {
    fault.logDirOverride = logDir.path() + "/";
    engine.OpenLog();
    testing::MakeDirs(s);
    testing::MakeDirs(t);
  }
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
  int Mirror() { return engine.MirrorDir(s, t); }

  testing::TempDir logDir, dir;
  const std::string s = dir / "s", t = dir / "t";
  std::unique_ptr<Os> real = MakeSystemOs();
  FaultOs fault{*real};
  testing::RecordingMessages messages;
  testing::MemorySettings settings;
  CVELDAR2Engine engine{fault, messages, settings};
};

// New, changed, older, equal, case-only renames of a file and a directory, a
// new directory, vanished entries; then a second run that finds nothing to do.
TEST_F(MirrorTest, DecisionTable) {
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
  for (const char* line : {"Not update,copy canceled! : D/t/older",
                           "Not update,copy canceled! : D/t/equal",
                           "rename file : from D/t/readme TO D/t/README",
                           "File Copied : D/s/README to D/t/README",
                           "rename directory : from D/t/docs TO D/t/Docs",
                           "Directory Created : D/t/newdir", "File Deleted : D/t/gone",
                           "Directory Deleted : D/t/gonedir"}) {
    EXPECT_EQ(Count(line), 1) << line;
  }
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(engine.failureCount, 0);

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
  File(s + "/a", "a", 2000), File(s + "/A", "A", 2000), File(t + "/a", "old", 1000);
  File(s + "/B", "B", 2000), File(s + "/b", "b", 2000), File(t + "/b", "old", 1000);
  File(s + "/k1", "file", 1000), File(t + "/k1/inner", "x", 5000);
  File(s + "/k2/inner", "dir", 1000), File(t + "/k2", "x", 5000);
  File(s + "/Kind", "case too", 1000), File(t + "/kind/inner", "x", 5000);

  engine.noDelete = engine.noMessage = 1;
  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(Count("File Copy Failed : D/s/k1 to D/t/k1 : ERR = 21"), 1);
  EXPECT_EQ(Count("Directory Create Failed : D/t/k2 : ERR= 17"), 1);
  EXPECT_EQ(engine.failureCount, 3);  // and "Kind" onto "kind"
  const Lines log = Log();
  EXPECT_TRUE(
      std::none_of(log.begin(), log.end(), [](auto& l) { return l.starts_with("rename"); }));
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

// Links are copied as links, compared by their own time, never walked into;
// a target link is deleted, never what it points to; the top-level target may
// be a link the user named. FIFOs are skipped unopened. A directory whose
// attributes cannot be read afresh is passed over with its counterpart kept.
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
  fault.FailAt(OsOp::Stat, s + "/sys", 2);

  EXPECT_EQ(engine.MirrorDir(s, dir / "tlink"), 1);
  EXPECT_EQ(ListNames(t), (Lines{"dangling", "outdir", "sys", "wasfile"}));
  EXPECT_EQ(LinkText(t + "/dangling"), "nowhere");
  EXPECT_EQ(LinkText(t + "/outdir"), dir / "outside");
  EXPECT_EQ(LinkText(t + "/wasfile"), "x");
  EXPECT_EQ(ListNames(dir / "outside"), Lines{"keep"});
  EXPECT_EQ(ListNames(t + "/sys"), Lines{"old"});
  EXPECT_EQ(Count("special file found copy canceled! : D/s/fifo"), 1);
  EXPECT_EQ(Count("system directory found copy canceled! : D/s/sys"), 1);
  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(Count("Not update,copy canceled! : D/t/outdir"), 1);
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
      {OsOp::CreateDir, "t/newdir", 1, 1, 2, {},
       "File Copy Failed : D/s/newdir/inner to D/t/newdir/inner : ERR = 2"},
      {OsOp::DeleteFile, "t/vanished", 0, 0, 1, {"ERR : DELETE FILE vanished"}, ""},
      {OsOp::DeleteFile, "t/vanished", 1, 1, 1, {},
       "File Delete Failed : D/t/vanished : ERR = 5"},
      {OsOp::RemoveDir, "t/vanisheddir", 0, 1, 1, {"ERR : DELETE DIRECTORY vanisheddir"}, ""},
      {OsOp::ListDir, "s/newdir", 0, 0, 1,
       {"ERROR AT LOCAL FILE FINDFIRSTFILE! at D/s/newdir/*"}, ""},
      {OsOp::ListDir, "s/newdir", 1, 0, 1, {},
       "ERROR AT LOCAL FILE FINDFIRSTFILE! at D/s/newdir/*"},
      {OsOp::MoveNoReplace, "t/ren", 0, 1, 1, {},
       "rename file failed : from D/t/ren TO D/t/Ren : ERR = 5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(OsOpName(c.op)) + " " + std::to_string(c.noMessage));
    std::filesystem::remove_all(s);
    std::filesystem::remove_all(t);
    File(s + "/f", "x", 1000), File(s + "/Ren", "new", 2000), File(s + "/newdir/inner", "x", 1000);
    File(t + "/ren", "old", 1000), File(t + "/vanished", "x", 1000);
    File(t + "/vanisheddir/x", "x", 1000);
    fault.ClearRules();
    fault.FailAt(c.op, dir / c.at, 5);
    messages.shown.clear();
    engine.noMessage = c.noMessage;
    engine.failureCount = 0;
    const std::size_t before = Log().size();

    EXPECT_EQ(Mirror(), c.result);
    EXPECT_EQ(Boxes(), c.boxes);
    EXPECT_EQ(engine.failureCount, c.failures);
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
  EXPECT_EQ(engine.MirrorDir(dir / "missing", t), 0);
  EXPECT_EQ(Boxes(), Lines{"ERROR AT LOCAL FILE FINDFIRSTFILE! at D/missing/*"});
  EXPECT_TRUE(Exists(t + "/precious"));
}

}  // namespace
}  // namespace veldar
