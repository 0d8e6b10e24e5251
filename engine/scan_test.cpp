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
using testing::ListNames;
using testing::MakeDirs;
using testing::ReadFile;
using testing::WriteFile;

class ScanTest : public ::testing::Test {
 protected:
  ScanTest() {
    fault.logDirOverride = logDir.path() + "/";
    engine.OpenLog();
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

  testing::TempDir logDir;
  testing::TempDir dir;
  std::unique_ptr<Os> real = MakeSystemOs();
  FaultOs fault{*real};
  testing::RecordingMessages messages;
  testing::MemorySettings settings;
  CVELDAR2Engine engine{fault, messages, settings};
};

const CFileEntry* Named(const std::vector<CFileEntry>& list, const std::string& name) {
  auto found = std::find_if(list.begin(), list.end(),
                            [&](const CFileEntry& e) { return e.name == name; });
  return found == list.end() ? nullptr : &*found;
}

TEST_F(ScanTest, ListingReportsNameTimeAndKindWithoutFollowingLinks) {
  WriteFile(dir / "d/file", "x");
  testing::SetMtime(dir / "d/file", 1000000000);
  WriteFile(dir / "d/.hidden", "");
  MakeDirs(dir / "d/sub");
  MakeDirs(dir / "elsewhere");
  ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (dir / "d/dirlink").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "d/fifo").c_str(), 0644), 0);

  CListingPair pair;
  ASSERT_EQ(engine.ListSourceDir(pair, dir / "d"), 1);
  ASSERT_EQ(pair.sourceList.size(), 5u);
  struct Expect {
    const char* name;
    EntryKind kind;
  } expected[] = {{"file", EntryKind::File},
                  {".hidden", EntryKind::File},
                  {"sub", EntryKind::Directory},
                  {"dirlink", EntryKind::Symlink},
                  {"fifo", EntryKind::Special}};
  for (const Expect& e : expected) {
    const CFileEntry* entry = Named(pair.sourceList, e.name);
    ASSERT_NE(entry, nullptr) << e.name;
    EXPECT_EQ(entry->kind, e.kind) << e.name;
    EXPECT_EQ(entry->isDirectory, e.kind == EntryKind::Directory) << e.name;
    EXPECT_FALSE(entry->seen);
  }
  EXPECT_EQ(Named(pair.sourceList, "file")->time, 1000000000);
  EXPECT_TRUE(pair.targetList.empty());
}

TEST_F(ScanTest, MissingAndEmptyDirectoriesListAsEmpty) {
  MakeDirs(dir / "empty");
  CListingPair pair;
  EXPECT_EQ(engine.ListSourceDir(pair, dir / "missing"), 1);
  EXPECT_EQ(engine.ListTargetDir(pair, dir / "empty"), 1);
  EXPECT_TRUE(pair.sourceList.empty());
  EXPECT_TRUE(pair.targetList.empty());
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(engine.failureCount, 0);
}

// A listing that cannot be read: its own text plus the search pattern, in a
// box or, with the no-message flag, in the log. Counted as a failure either way.
TEST_F(ScanTest, ListingFailureIsReportedWithItsPattern) {
  MakeDirs(dir / "d");
  fault.FailAt(OsOp::ListDir, dir / "d", 13);
  CListingPair pair;

  EXPECT_EQ(engine.ListSourceDir(pair, dir / "d"), 0);
  EXPECT_EQ(engine.ListTargetDir(pair, dir / "d"), 0);
  EXPECT_EQ(messages.shown, (std::vector<std::string>{
                                "ERROR AT LOCAL FILE FINDFIRSTFILE! at " + (dir / "d/*"),
                                "ERROR AT LOCAL FILE FINDFIRSTFILE! in " + (dir / "d/*")}));
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(engine.failureCount, 2);

  engine.noMessage = 1;
  EXPECT_EQ(engine.ListTargetDir(pair, dir / "d"), 0);
  EXPECT_EQ(messages.shown.size(), 2u);
  EXPECT_EQ(Log(), (std::vector<std::string>{"ERROR AT LOCAL FILE FINDFIRSTFILE! in " + (dir / "d/*")}));
  EXPECT_EQ(engine.failureCount, 3);
}

// Depth first, innermost first, and never through a link: links to a
// directory and to a file outside the tree go, what they point to stays.
TEST_F(ScanTest, DeleteDirContentsEmptiesTheTreeWithoutFollowingLinks) {
  WriteFile(dir / "outside/keep", "keep");
  WriteFile(dir / "top/a/b/c/deep", "x");
  WriteFile(dir / "top/file", "x");
  ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "top/a/dirlink").c_str()), 0);
  ASSERT_EQ(symlink((dir / "outside/keep").c_str(), (dir / "top/filelink").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (dir / "top/a/b/dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "top/a/fifo").c_str(), 0644), 0);

  EXPECT_EQ(engine.DeleteDirContents(dir / "top"), 1);

  EXPECT_TRUE(testing::IsDir(dir / "top"));
  EXPECT_TRUE(ListNames(dir / "top").empty());
  EXPECT_EQ(ListNames(dir / "outside"), (std::vector<std::string>{"keep"}));
  EXPECT_EQ(ReadFile(dir / "outside/keep"), "keep");
  const std::vector<std::string> log = Log();
  auto at = [&](const std::string& line) {
    return std::find(log.begin(), log.end(), line) - log.begin();
  };
  const auto deep = at("File Deleted : " + (dir / "top/a/b/c/deep"));
  const auto c = at("Directory Deleted : " + (dir / "top/a/b/c"));
  const auto b = at("Directory Deleted : " + (dir / "top/a/b"));
  const auto a = at("Directory Deleted : " + (dir / "top/a"));
  EXPECT_LT(deep, c);
  EXPECT_LT(c, b);
  EXPECT_LT(b, a);
  EXPECT_LT(a, static_cast<long>(log.size()));
  EXPECT_LT(at("File Deleted : " + (dir / "top/a/dirlink")), a);
}

// The directory itself being a link: refused, nothing behind it is touched.
TEST_F(ScanTest, DeleteDirContentsRefusesMissingDirectoriesAndLinks) {
  WriteFile(dir / "outside/keep", "keep");
  ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "link").c_str()), 0);

  EXPECT_EQ(engine.DeleteDirContents(dir / "missing"), 0);
  EXPECT_EQ(engine.DeleteDirContents(dir / "link"), 0);
  EXPECT_EQ(messages.shown, (std::vector<std::string>(2, "ERROR AT LOCAL FINDFIRST FILE IN DELETE!")));
  EXPECT_EQ(ReadFile(dir / "outside/keep"), "keep");

  MakeDirs(dir / "empty");
  EXPECT_EQ(engine.DeleteDirContents(dir / "empty"), 1);
  EXPECT_EQ(messages.shown.size(), 2u);
}

TEST_F(ScanTest, DeleteDirContentsFailuresStopUnlessNoMessage) {
  struct Case {
    const char* name;
    OsOp op;
    const char* at;
    int noMessage;
    int result;
    std::vector<std::string> boxes;
  } cases[] = {
      {"file, box", OsOp::DeleteFile, "sub/locked", 0, 0, {"ERROR AT DELETE FILE IN DELETE!"}},
      {"directory, box", OsOp::RemoveDir, "sub", 0, 0, {"ERROR AT DELETE DIRECTORY IN DELETE!"}},
      {"file, carry on", OsOp::DeleteFile, "sub/locked", 1, 1, {}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
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
    if (c.noMessage) {
      EXPECT_FALSE(Exists(top + "/sub/other"));
      // The locked file's failure and then its directory's: both logged.
      EXPECT_EQ(ListNames(top + "/sub"), (std::vector<std::string>{"locked"}));
      EXPECT_EQ(engine.failureCount, 2);
    }
  }
}

}  // namespace
}  // namespace veldar
