#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "engine/engine.h"
#include "platform/fault_os.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::ReadFile;
using testing::WriteFile;
using Lines = std::vector<std::string>;

struct FileOpsTest : testing::EngineTest {};

// Each operation in both modes: result, exact lines, gates, failure count.
// Every case starts from a directory D holding "f", plus "dst" (a file),
// "sub" (an empty directory) or "sub/x" as `setup` says.
TEST_F(FileOpsTest, ExactLinesBehindTheirGates) {
  using Op = std::function<int(CVELDAR2Engine&, const std::string&)>;
  const Op copy = [](auto& e, auto& d) { return e.FileCopy(d + "/f", d + "/dst"); };
  const Op copyMissing = [](auto& e, auto& d) { return e.FileCopy(d + "/no", d + "/dst"); };
  const Op del = [](auto& e, auto& d) { return e.FileDelete(d + "/f"); };
  const Op delMissing = [](auto& e, auto& d) { return e.FileDelete(d + "/no"); };
  const Op rmdir = [](auto& e, auto& d) { return e.DirRemove(d + "/sub"); };
  const Op mkdir = [](auto& e, auto& d) { return e.DirCreate(d + "/sub"); };
  struct Case {
    int noForce, successLog, skipLog;
    std::string setup;
    Op op;
    int result;
    Lines lines;
  } cases[] = {
      {0, 1, 1, "dst", copy, 1, {"File Copied : D/f to D/dst"}},
      {0, 0, 1, "", copy, 1, {}},
      {0, 0, 0, "", copyMissing, 0, {"File Copy Failed : D/no to D/dst : ERR = 2"}},
      {1, 1, 1, "", copy, 1, {"File Copied : D/f to D/dst"}},
      {1, 1, 1, "dst", copy, 1, {"File Copy Failed due to Not Force Mode : D/f to D/dst"}},
      {1, 1, 0, "dst", copy, 1, {}},
      {0, 1, 1, "", del, 1, {"File Deleted : D/f", ""}},  // a line break of its own
      {0, 0, 0, "", delMissing, 0, {"File Delete Failed : D/no : ERR = 2"}},
      {1, 1, 1, "", del, 1, {"File Deleted : D/f"}},
      {1, 1, 1, "", delMissing, 1, {"File Delete Failed due to Not Force Mode : D/no : ERR= 2"}},
      {1, 1, 0, "", delMissing, 1, {}},
      {0, 1, 1, "sub", rmdir, 1, {"Directory Deleted : D/sub", ""}},
      {0, 0, 0, "sub/x", rmdir, 0, {"Directory Delete Failed : D/sub : ERR = 39"}},
      {1, 1, 1, "sub", rmdir, 1, {"Directory Deleted : D/sub"}},
      {1, 1, 1, "sub/x", rmdir, 1,
       {"Directory Delete Failed due to Not Force Mode : D/sub : ERR= 39"}},
      {1, 1, 1, "", mkdir, 1, {"Directory Created : D/sub"}},
      {0, 0, 1, "", mkdir, 1, {}},
      {1, 0, 0, "sub", mkdir, 0, {"Directory Create Failed : D/sub : ERR= 17"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines.empty() ? c.setup : c.lines[0]);
    std::filesystem::remove_all(dir.path());
    WriteFile(dir / "f", "new");
    if (c.setup == "sub") testing::MakeDirs(dir / "sub");
    if (!c.setup.empty() && c.setup != "sub") WriteFile(dir / c.setup, "old");
    engine.noForce = c.noForce, engine.successLog = c.successLog, engine.skipLog = c.skipLog;
    engine.failureCount = 0;
    const std::size_t before = Log().size();

    EXPECT_EQ(c.op(engine, dir.path()), c.result);
    const Lines log = Log();
    EXPECT_EQ(Lines(log.begin() + before, log.end()), c.lines);
    EXPECT_EQ(engine.failureCount, 1 - c.result);
    if (c.setup == "dst") {
      EXPECT_EQ(ReadFile(dir / "dst"), c.noForce ? "old" : "new");
    }
  }
  EXPECT_TRUE(messages.shown.empty());  // never a box
}

// Second attempts: a read-only target is overwritten and stays read-only; a
// link is deleted without touching what it points to; a success at the second
// attempt has no empty line after it.
TEST_F(FileOpsTest, ForceRetries) {
  WriteFile(dir / "src", "new");
  WriteFile(dir / "dst", "old");
  WriteFile(dir / "outside", "keep");
  chmod((dir / "dst").c_str(), 0444);
  chmod((dir / "outside").c_str(), 0444);
  ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "link").c_str()), 0);
  fault.FailAt(OsOp::CopyFile, dir / "dst", 13, 1);
  fault.FailAt(OsOp::DeleteFile, dir / "link", 1, 1);
  std::vector<std::uint64_t> copied;
  engine.onFileCopied = [&](const std::string&, std::uint64_t bytes) { copied.push_back(bytes); };

  EXPECT_EQ(engine.FileCopy(dir / "src", dir / "dst"), 1);
  EXPECT_EQ(engine.FileDelete(dir / "link"), 1);
  EXPECT_EQ(Log(), (Lines{"File Copied : D/src to D/dst", "File Deleted : D/link"}));
  EXPECT_EQ(ReadFile(dir / "dst"), "new");
  struct stat st;
  ASSERT_EQ(stat((dir / "dst").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & S_IWUSR, 0u);
  ASSERT_EQ(stat((dir / "outside").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & S_IWUSR, 0u);
  EXPECT_FALSE(testing::Exists(dir / "link"));
  EXPECT_EQ(copied, std::vector<std::uint64_t>{3});

  // A link this process may not make is passed over with a skip line; any
  // other file that cannot be copied that way is still a failure.
  ASSERT_EQ(symlink("outside", (dir / "link").c_str()), 0);
  const int unsupported = fault.CodeOf(ErrorKind::kUnsupported);
  fault.FailAt(OsOp::CopyFile, dir / "link", unsupported);
  fault.FailAt(OsOp::CopyFile, dir / "src", unsupported);
  engine.successLog = 0;
  EXPECT_EQ(engine.FileCopy(dir / "link", dir / "linkcopy"), 1);
  EXPECT_EQ(engine.FileCopy(dir / "src", dir / "srccopy"), 0);
  const Lines log = Log();
  EXPECT_EQ(Lines(log.end() - 2, log.end()),
            (Lines{"link found copy canceled! : D/link",
                   "File Copy Failed : D/src to D/srccopy : ERR = " + std::to_string(unsupported)}));
  EXPECT_EQ(engine.failureCount, 1);
  EXPECT_FALSE(testing::Exists(dir / "linkcopy"));
}

}  // namespace
}  // namespace veldar
