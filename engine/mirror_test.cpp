#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/fault_os.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::Exists;
using testing::IsDir;
using testing::ListNames;
using testing::MakeDirs;
using testing::Mtime;
using testing::ReadFile;
using testing::SetMtime;
using testing::WriteFile;
using Names = std::vector<std::string>;

class MirrorTest : public ::testing::Test {
 protected:
  MirrorTest() {
    fault.logDirOverride = logDir.path() + "/";
    engine.OpenLog();
    MakeDirs(src);
    MakeDirs(dst);
  }

  // The texts of the log lines written so far, without "pid : time : ".
  std::vector<std::string> Log() {
    std::vector<std::string> texts;
    for (const std::string& line : testing::Lines(ReadFile(logDir / "VELDAR2.TMP"))) {
      auto first = line.find(" : ");
      auto second = first == std::string::npos ? first : line.find(" : ", first + 3);
      texts.push_back(second == std::string::npos ? line : line.substr(second + 3));
    }
    return texts;
  }
  long Count(const std::string& line) {
    const auto log = Log();
    return std::count(log.begin(), log.end(), line);
  }
  // Index of the line in the log; the log's size when it is not there.
  long Position(const std::string& line) {
    const auto log = Log();
    return std::find(log.begin(), log.end(), line) - log.begin();
  }
  // A file with content and last-write time.
  void File(const std::string& path, const std::string& content, std::int64_t time) {
    WriteFile(path, content);
    SetMtime(path, time);
  }
  static std::string LinkText(const std::string& path) {
    char buffer[4096];
    ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
    return n < 0 ? std::string() : std::string(buffer, n);
  }
  int Mirror() { return engine.MirrorDir(src, dst); }

  testing::TempDir logDir;
  testing::TempDir dir;
  const std::string src = dir / "src";
  const std::string dst = dir / "dst";
  std::unique_ptr<Os> real = MakeSystemOs();
  FaultOs fault{*real};
  testing::RecordingMessages messages;
  testing::MemorySettings settings;
  CVELDAR2Engine engine{fault, messages, settings};
};

// The decision table in one tree: new, changed, older, equal, case-only
// renames of a file and a directory, a new directory, vanished entries.
TEST_F(MirrorTest, DecisionTable) {
  File(src + "/new.txt", "new", 1000);
  File(src + "/changed.txt", "new", 2000);
  File(dst + "/changed.txt", "old", 1000);
  File(src + "/older.txt", "source", 1000);
  File(dst + "/older.txt", "target", 2000);
  File(src + "/equal.txt", "source", 1500);
  File(dst + "/equal.txt", "target", 1500);
  File(src + "/README.txt", "new", 3000);
  File(dst + "/readme.TXT", "old", 1000);
  File(src + "/Docs/inner", "new", 2000);
  File(dst + "/docs/inner", "old", 1000);
  File(dst + "/docs/stale", "x", 1000);
  File(src + "/newdir/deeper/file", "deep", 1000);
  File(dst + "/gone.txt", "x", 1000);
  File(dst + "/gonedir/x/y", "x", 1000);

  EXPECT_EQ(Mirror(), 1);

  EXPECT_EQ(ListNames(dst), ListNames(src));
  EXPECT_EQ(ListNames(dst + "/Docs"), Names{"inner"});
  EXPECT_EQ(ReadFile(dst + "/new.txt"), "new");
  EXPECT_EQ(ReadFile(dst + "/changed.txt"), "new");
  EXPECT_EQ(Mtime(dst + "/changed.txt"), 2000);
  EXPECT_EQ(ReadFile(dst + "/older.txt"), "target");  // a newer target is never reverted
  EXPECT_EQ(ReadFile(dst + "/equal.txt"), "target");
  EXPECT_EQ(ReadFile(dst + "/README.txt"), "new");
  EXPECT_EQ(ReadFile(dst + "/Docs/inner"), "new");
  EXPECT_EQ(ReadFile(dst + "/newdir/deeper/file"), "deep");
  for (const std::string& line : {
           "File Copied : " + src + "/new.txt to " + dst + "/new.txt",
           "Not update,copy canceled! : " + dst + "/older.txt",
           "Not update,copy canceled! : " + dst + "/equal.txt",
           "rename file : from " + dst + "/readme.TXT TO " + dst + "/README.txt",
           "File Copied : " + src + "/README.txt to " + dst + "/README.txt",
           "rename directory : from " + dst + "/docs TO " + dst + "/Docs",
           "File Deleted : " + dst + "/Docs/stale",
           "Directory Created : " + dst + "/newdir",
           "File Deleted : " + dst + "/gone.txt",
           "Directory Deleted : " + dst + "/gonedir/x",
           "Directory Deleted : " + dst + "/gonedir",
       }) {
    EXPECT_EQ(Count(line), 1) << line;
  }
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(engine.failureCount, 0);

  // A second run finds nothing to do.
  const auto before = Log().size();
  EXPECT_EQ(Mirror(), 1);
  const auto log = Log();
  EXPECT_TRUE(std::none_of(log.begin() + before, log.end(), [](const std::string& line) {
    return line.rfind("Not update,copy canceled! : ", 0) != 0;
  }));
}

TEST_F(MirrorTest, NoDeleteKeepsVanishedEntriesAndSaysSoOncePerLevel) {
  File(src + "/sub/f", "x", 1000);
  File(src + "/same", "new", 1000);
  File(dst + "/same", "old", 1000);
  File(dst + "/gone", "x", 1000);
  MakeDirs(dst + "/gonedir");
  engine.noDelete = 1;
  engine.noTime = 1;

  EXPECT_EQ(Mirror(), 1);
  EXPECT_TRUE(Exists(dst + "/gone"));
  EXPECT_TRUE(IsDir(dst + "/gonedir"));
  EXPECT_EQ(ReadFile(dst + "/same"), "new");  // no-time: copied although equal
  EXPECT_EQ(Count("option nodel : delete canceled!"), 2);  // top level and "sub"

  engine.skipLog = 0;
  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(Count("option nodel : delete canceled!"), 2);
}

// Names that differ only in case are two files: an exact name always wins,
// and a target entry named exactly by one source entry is never renamed for
// another.
TEST_F(MirrorTest, ExactNamesWinOverCaseMatches) {
  // Created in both orders, so that whatever order the directory lists them
  // in, one source entry without an exact counterpart comes first.
  File(src + "/a", "lower", 2000);
  File(src + "/A", "upper", 2000);
  File(dst + "/a", "old", 1000);
  File(src + "/B", "upper", 2000);
  File(src + "/b", "lower", 2000);
  File(dst + "/b", "old", 1000);
  File(src + "/Foo", "foo", 2000);
  File(dst + "/foo", "old", 1000);
  File(dst + "/FOO", "old", 1000);

  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(ListNames(dst), (Names{"A", "B", "Foo", "a", "b"}));
  for (const char* name : {"a", "b"}) EXPECT_EQ(ReadFile(dst + "/" + name), "lower");
  for (const char* name : {"A", "B"}) EXPECT_EQ(ReadFile(dst + "/" + name), "upper");
  EXPECT_EQ(ReadFile(dst + "/Foo"), "foo");
  const auto log = Log();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& l) { return l.rfind("rename file : ", 0) == 0; }),
            1);
}

// A file that became a directory and the reverse, with and without the
// no-delete flag. A letter-case difference does not matter: the old entry goes.
TEST_F(MirrorTest, ChangeOfKind) {
  File(src + "/k1", "now a file", 1000);
  File(dst + "/k1/inner", "x", 5000);
  File(src + "/k2/inner", "now a dir", 1000);
  File(dst + "/k2", "x", 5000);
  File(src + "/Kind", "case too", 1000);
  File(dst + "/kind/inner", "x", 5000);

  engine.noDelete = 1;
  engine.noMessage = 1;
  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(ReadFile(dst + "/k2"), "x");
  EXPECT_TRUE(IsDir(dst + "/k1"));
  EXPECT_EQ(Count("File Copy Failed : " + src + "/k1 to " + dst + "/k1 : ERR = 21"), 1);
  EXPECT_EQ(Count("Directory Create Failed : " + dst + "/k2 : ERR= 17"), 1);
  EXPECT_EQ(engine.failureCount, 3);

  engine.noMessage = 0;
  EXPECT_EQ(Mirror(), 0);
  ASSERT_EQ(messages.shown.size(), 1u);

  engine.noDelete = 0;
  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(ListNames(dst), (Names{"Kind", "k1", "k2"}));
  EXPECT_EQ(ReadFile(dst + "/k1"), "now a file");
  EXPECT_EQ(ReadFile(dst + "/k2/inner"), "now a dir");
  EXPECT_EQ(ReadFile(dst + "/Kind"), "case too");
  EXPECT_LT(Position("File Deleted : " + dst + "/k1/inner"),
            Position("Directory Deleted : " + dst + "/k1"));
  EXPECT_LT(Position("Directory Deleted : " + dst + "/k1"),
            Position("File Copied : " + src + "/k1 to " + dst + "/k1"));
  EXPECT_EQ(messages.shown.size(), 1u);
}

// Links are copied as links, compared by their own time and never walked
// into; a link in the target is deleted, never what it points to. The
// top-level target may itself be a link the user named.
TEST_F(MirrorTest, SymlinksAreCopiedAsLinksAndNeverFollowed) {
  File(dir / "outside/keep", "keep", 1000);
  File(src + "/file", "x", 1000);
  ASSERT_EQ(symlink("file", (src + "/rel").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (src + "/dangling").c_str()), 0);
  ASSERT_EQ(symlink((dir / "outside").c_str(), (src + "/outdir").c_str()), 0);
  ASSERT_EQ(symlink("file", (src + "/wasfile").c_str()), 0);
  File(dst + "/wasfile", "newer plain file", 4000000000);
  ASSERT_EQ(symlink((dir / "outside").c_str(), (dst + "/oldlink").c_str()), 0);
  ASSERT_EQ(symlink(dst.c_str(), (dir / "dstlink").c_str()), 0);

  EXPECT_EQ(engine.MirrorDir(src, dir / "dstlink"), 1);
  EXPECT_EQ(ListNames(dst), (Names{"dangling", "file", "outdir", "rel", "wasfile"}));
  EXPECT_EQ(LinkText(dst + "/rel"), "file");
  EXPECT_EQ(LinkText(dst + "/dangling"), "nowhere");
  EXPECT_EQ(LinkText(dst + "/outdir"), dir / "outside");
  EXPECT_EQ(LinkText(dst + "/wasfile"), "file");  // kinds differ: copied whatever the times
  EXPECT_EQ(ListNames(dir / "outside"), Names{"keep"});
  EXPECT_EQ(ReadFile(dir / "outside/keep"), "keep");

  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(Count("Not update,copy canceled! : " + dst + "/rel"), 1);
  EXPECT_EQ(Count("Not update,copy canceled! : " + dst + "/outdir"), 1);
}

// Special files are passed over unopened (opening a FIFO would block).
TEST_F(MirrorTest, SpecialFilesAreSkipped) {
  ASSERT_EQ(mkfifo((src + "/fifo").c_str(), 0644), 0);
  File(src + "/f", "x", 1000);

  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(ListNames(dst), Names{"f"});
  EXPECT_EQ(Count("special file found copy canceled! : " + src + "/fifo"), 1);
  engine.skipLog = 0;
  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(Count("special file found copy canceled! : " + src + "/fifo"), 1);
}

// A directory whose attributes cannot be read afresh counts as a system
// directory: not copied, not walked into, its counterpart kept as it is.
TEST_F(MirrorTest, UnreadableDirectoryIsPassedOverAsSystemDirectory) {
  File(src + "/sys/new", "x", 1000);
  File(dst + "/sys/old", "x", 1000);
  fault.FailAt(OsOp::Stat, src + "/sys", 2);

  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(ListNames(dst + "/sys"), Names{"old"});
  EXPECT_EQ(Count("system directory found copy canceled! : " + src + "/sys"), 1);
}

// Missing top-level source: a failure, never an empty tree that would empty
// the copy.
TEST_F(MirrorTest, MissingSourceIsAFailureNotAnEmptyTree) {
  File(dst + "/precious", "x", 1000);
  EXPECT_EQ(engine.MirrorDir(dir / "missing", dst), 0);
  EXPECT_EQ(messages.shown, Names{"ERROR AT LOCAL FILE FINDFIRSTFILE! at " + (dir / "missing/*")});
  EXPECT_TRUE(Exists(dst + "/precious"));
  EXPECT_EQ(engine.failureCount, 1);
}

// Failures with and without the no-message flag: which box, whether the walk
// stops, and what the log counts.
TEST_F(MirrorTest, FailuresStopOrCarryOn) {
  struct Case {
    const char* name;
    OsOp op;
    std::string at;
    int noMessage;
    int result;
    Names boxes;
    int failures;
    bool vanishedDeleted;  // did the deletion pass of the top level run?
  } cases[] = {
      {"copy", OsOp::CopyFile, "d/f", 0, 0, {"ERR : COPY FILE FROM {s}/f TO {t}/f"}, 1, false},
      {"copy, carry on", OsOp::CopyFile, "d/f", 1, 1, {}, 1, true},
      {"mkdir", OsOp::CreateDir, "d/newdir", 0, 0, {"ERR : MKDIR FAILED {t}/newdir"}, 1, false},
      // The creation's failure, then the copy beneath it.
      {"mkdir, carry on", OsOp::CreateDir, "d/newdir", 1, 1, {}, 2, true},
      {"delete file", OsOp::DeleteFile, "d/vanished", 0, 0, {"ERR : DELETE FILE vanished"}, 1, false},
      {"delete file, carry on", OsOp::DeleteFile, "d/vanished", 1, 1, {}, 1, false},
      {"remove dir", OsOp::RemoveDir, "d/vanisheddir", 0, 1, {"ERR : DELETE DIRECTORY vanisheddir"}, 1,
       true},
      {"list subdirectory", OsOp::ListDir, "s/newdir", 0, 0,
       {"ERROR AT LOCAL FILE FINDFIRSTFILE! at {s}/newdir/*"}, 1, false},
      {"list subdirectory, carry on", OsOp::ListDir, "s/newdir", 1, 0, {}, 1, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string base = dir / std::to_string(n++);
    const std::string s = base + "/s";
    const std::string t = base + "/d";
    File(s + "/f", "x", 1000);
    File(s + "/newdir/inner", "x", 1000);
    File(t + "/vanished", "x", 1000);
    File(t + "/vanisheddir/x", "x", 1000);
    fault.ClearRules();
    fault.FailAt(c.op, base + "/" + c.at, 5);
    messages.shown.clear();
    engine.noMessage = c.noMessage;
    engine.failureCount = 0;

    EXPECT_EQ(engine.MirrorDir(s, t), c.result);

    Names boxes;
    for (std::string box : c.boxes) {
      for (auto at = box.find("{s}"); at != std::string::npos; at = box.find("{s}")) box.replace(at, 3, s);
      for (auto at = box.find("{t}"); at != std::string::npos; at = box.find("{t}")) box.replace(at, 3, t);
      boxes.push_back(box);
    }
    EXPECT_EQ(messages.shown, boxes);
    EXPECT_EQ(engine.failureCount, c.failures);
    if (c.op != OsOp::DeleteFile) {
      EXPECT_EQ(!Exists(t + "/vanished"), c.vanishedDeleted);
    }
  }
}

// A failed case-only rename: logged as a failure, and the counterpart is then
// addressed by the name it still has.
TEST_F(MirrorTest, FailedRenamesAreFailuresAndKeepTheOldName) {
  File(src + "/F", "new", 2000);
  File(dst + "/f", "old", 1000);
  File(src + "/D/inner", "new", 2000);
  File(dst + "/d/inner", "old", 1000);
  fault.FailAt(OsOp::MoveNoReplace, "", 5);

  EXPECT_EQ(Mirror(), 1);
  EXPECT_EQ(ListNames(dst), (Names{"d", "f"}));
  EXPECT_EQ(ReadFile(dst + "/f"), "new");
  EXPECT_EQ(ReadFile(dst + "/d/inner"), "new");
  EXPECT_EQ(Count("rename file failed : from " + dst + "/f TO " + dst + "/F : ERR = 5"), 1);
  EXPECT_EQ(Count("rename directory failed : from " + dst + "/d TO " + src + "/D"), 1);
  EXPECT_EQ(engine.failureCount, 2);
}

}  // namespace
}  // namespace veldar
