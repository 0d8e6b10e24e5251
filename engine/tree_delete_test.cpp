#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "engine/engine.h"
#include "engine/mirror.h"
#include "testing/fault_injector.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::ListNames;
using testing::ReadFile;
using testing::WriteFile;
using Lines = std::vector<std::string>;

struct TreeDeleteTest : testing::EngineTest {};

// The plan changes nothing, counts what the mirror will do, and a listing
// that fails is reported when the apply gets there: a box, or with the
// no-message flag a log line; counted either way.
TEST_F(TreeDeleteTest, PlanCountsTheWorkAndReportsListingFailuresWhereTheyStand) {
  WriteFile(dir / "src/same", "same");
  WriteFile(dir / "src/new", "12345");
  WriteFile(dir / "src/sub/inner", "abc");
  ASSERT_EQ(symlink("same", (dir / "src/link").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "src/fifo").c_str(), 0644), 0);
  testing::SetMtime(dir / "src/same", 1000000000);
  WriteFile(dir / "dst/same", "same");
  testing::SetMtime(dir / "dst/same", 1000000000);
  WriteFile(dir / "dst/gone", "gone");

  engine.successLog = engine.skipLog = 0;
  MirrorJob job;
  job.source = dir / "src";
  job.target = dir / "dst";
  MirrorPlan plan(fault);
  ASSERT_EQ(MirrorPlanner(fault, counted.New()).Plan(job, &plan), 1);
  EXPECT_EQ(plan.totals.filesToCopy, 3u);  // new, the link and sub/inner
  EXPECT_EQ(plan.totals.bytesToCopy, 5u + 4u + 3u);
  EXPECT_EQ(plan.totals.directoriesToCreate, 1u);
  EXPECT_EQ(plan.totals.entriesToDelete, 1u);
  EXPECT_EQ(ListNames(dir / "dst"), (Lines{"gone", "same"}));
  ASSERT_EQ(MirrorApplier(fault, counted.reporter()).Apply(plan), 1);
  EXPECT_EQ(ListNames(dir / "dst"), (Lines{"link", "new", "same", "sub"}));

  for (int noMessage : {0, 1}) {
    engine.noMessage = noMessage;
    fault.FailAt(OsOp::List, dir / "src/sub", 13);
    MirrorPlan failing(fault);
    Reporter& reporter = counted.New();
    ASSERT_EQ(MirrorPlanner(fault, reporter).Plan(job, &failing), 1);
    EXPECT_EQ(MirrorApplier(fault, reporter).Apply(failing), 0);
    EXPECT_EQ(reporter.failures(), 1);
    fault.ClearRules();
  }
  EXPECT_EQ(messages.shown, Lines{"ERROR AT LOCAL FILE FINDFIRSTFILE! at " + (dir / "src/sub/*")});
  EXPECT_EQ(Log(), Lines{"ERROR AT LOCAL FILE FINDFIRSTFILE! at D/src/sub/*"});
}

// Depth first, innermost first, never through a link: links to a directory or
// a file outside go, what they point to stays. A directory that is itself a
// link, or missing, is refused.
TEST_F(TreeDeleteTest, DeleteDirContentsNeverLeavesTheTree) {
  WriteFile(dir / "outside/keep", "keep");
  WriteFile(dir / "top/a/b/deep", "x");
  ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "top/a/dirlink").c_str()), 0);
  ASSERT_EQ(symlink((dir / "outside/keep").c_str(), (dir / "top/filelink").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "top/a/fifo").c_str(), 0644), 0);
  ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "toplink").c_str()), 0);

  EXPECT_EQ(counted.DeleteContents(dir / "top"), 1);
  EXPECT_EQ(counted.DeleteContents(dir / "toplink"), 0);
  EXPECT_EQ(counted.DeleteContents(dir / "missing"), 0);

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

TEST_F(TreeDeleteTest, DeleteDirContentsFailuresStopUnlessNoMessage) {
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
    EXPECT_EQ(counted.DeleteContents(top), c.result);
    EXPECT_EQ(messages.shown, c.boxes);
    EXPECT_EQ(counted.failures(), c.noMessage ? 2 : 1);
    if (c.noMessage) {
      EXPECT_EQ(ListNames(top + "/sub"), Lines{"locked"});
    }
  }
}

}  // namespace
}  // namespace veldar
