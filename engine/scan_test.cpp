#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "engine/engine.h"
#include "platform/fault_os.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::ListNames;
using testing::ReadFile;
using testing::WriteFile;
using Lines = std::vector<std::string>;

struct ScanTest : testing::EngineTest {};

TEST_F(ScanTest, ListingsTellKindsApartAndReportFailures) {
  WriteFile(dir / "d/file", "x");
  testing::SetMtime(dir / "d/file", 1000000000);
  testing::MakeDirs(dir / "d/sub");
  ASSERT_EQ(symlink((dir / "d/sub").c_str(), (dir / "d/link").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "d/fifo").c_str(), 0644), 0);
  CListingPair pair;
  ASSERT_EQ(engine.ListSourceDir(pair, dir / "d"), 1);
  ASSERT_EQ(engine.ListTargetDir(pair, dir / "missing"), 1);  // a missing directory is empty
  EXPECT_TRUE(pair.targetList.empty());
  auto& list = pair.sourceList;
  std::sort(list.begin(), list.end(), [](auto& a, auto& b) { return a.name < b.name; });
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].name + list[1].name + list[2].name + list[3].name, "fifofilelinksub");
  EXPECT_EQ(list[0].kind, EntryKind::Special);
  EXPECT_EQ(list[1].time, 1000000000);
  EXPECT_EQ(list[2].kind, EntryKind::Symlink);
  EXPECT_FALSE(list[2].isDirectory);  // a link to a directory is no directory
  EXPECT_TRUE(list[3].isDirectory);

  // Unreadable: a box, or with the no-message flag a log line; counted either way.
  fault.FailAt(OsOp::ListDir, dir / "d", 13);
  EXPECT_EQ(engine.ListSourceDir(pair, dir / "d"), 0);
  engine.noMessage = 1;
  EXPECT_EQ(engine.ListTargetDir(pair, dir / "d"), 0);
  EXPECT_EQ(messages.shown, Lines{"ERROR AT LOCAL FILE FINDFIRSTFILE! at " + (dir / "d/*")});
  EXPECT_EQ(Log(), Lines{"ERROR AT LOCAL FILE FINDFIRSTFILE! in D/d/*"});
  EXPECT_EQ(engine.failureCount, 2);
}

// Depth first, innermost first, never through a link: links to a directory or
// a file outside go, what they point to stays. A directory that is itself a
// link, or missing, is refused.
TEST_F(ScanTest, DeleteDirContentsNeverLeavesTheTree) {
  WriteFile(dir / "outside/keep", "keep");
  WriteFile(dir / "top/a/b/deep", "x");
  ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "top/a/dirlink").c_str()), 0);
  ASSERT_EQ(symlink((dir / "outside/keep").c_str(), (dir / "top/filelink").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "top/a/fifo").c_str(), 0644), 0);
  ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "toplink").c_str()), 0);

  EXPECT_EQ(engine.DeleteDirContents(dir / "top"), 1);
  EXPECT_EQ(engine.DeleteDirContents(dir / "toplink"), 0);
  EXPECT_EQ(engine.DeleteDirContents(dir / "missing"), 0);

  EXPECT_TRUE(testing::IsDir(dir / "top"));
  EXPECT_TRUE(ListNames(dir / "top").empty());
  EXPECT_EQ(ListNames(dir / "outside"), Lines{"keep"});
  EXPECT_EQ(ReadFile(dir / "outside/keep"), "keep");
  EXPECT_EQ(messages.shown, Lines(2, "ERROR AT LOCAL FINDFIRST FILE IN DELETE!"));
  const Lines log = Log();
  auto at = [&](const std::string& line) { return std::find(log.begin(), log.end(), line); };
  EXPECT_LT(at("File Deleted : D/top/a/b/deep"), at("Directory Deleted : D/top/a/b"));
  EXPECT_LT(at("Directory Deleted : D/top/a/b"), at("Directory Deleted : D/top/a"));
  EXPECT_LT(at("Directory Deleted : D/top/a"), log.end());
}

TEST_F(ScanTest, DeleteDirContentsFailuresStopUnlessNoMessage) {
  struct Case {
    OsOp op;
    const char* at;
    int noMessage, result;
    Lines boxes;
  } cases[] = {
      {OsOp::DeleteFile, "sub/locked", 0, 0, {"ERROR AT DELETE FILE IN DELETE!"}},
      {OsOp::RemoveDir, "sub", 0, 0, {"ERROR AT DELETE DIRECTORY IN DELETE!"}},
      {OsOp::DeleteFile, "sub/locked", 1, 1, {}},  // two failures: the file, then "sub"
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string top = dir / std::to_string(n++);
    WriteFile(top + "/sub/locked", "x");
    WriteFile(top + "/sub/other", "x");
    fault.ClearRules();
    fault.FailAt(c.op, top + "/" + c.at, 16);
    messages.shown.clear();
    engine.noMessage = c.noMessage;
    engine.failureCount = 0;
    EXPECT_EQ(engine.DeleteDirContents(top), c.result);
    EXPECT_EQ(messages.shown, c.boxes);
    EXPECT_EQ(engine.failureCount, c.noMessage ? 2 : 1);
    if (c.noMessage) {
      EXPECT_EQ(ListNames(top + "/sub"), Lines{"locked"});
    }
  }
}

}  // namespace
}  // namespace veldar
