#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "engine/engine.h"
#include "testing/fault_injector.h"
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
  using Op = std::function<int(FileOps&, const std::string&)>;
  const Op copy = [](auto& f, auto& d) { return f.Copy(d + "/f", d + "/dst"); };
  const Op copyMissing = [](auto& f, auto& d) { return f.Copy(d + "/no", d + "/dst"); };
  const Op del = [](auto& f, auto& d) { return f.Delete(d + "/f"); };
  const Op delMissing = [](auto& f, auto& d) { return f.Delete(d + "/no"); };
  const Op rmdir = [](auto& f, auto& d) { return f.Remove(d + "/sub"); };
  const Op mkdir = [](auto& f, auto& d) { return f.Create(d + "/sub"); };
  // The codes the system gives (the log writes the native number).
  const std::string missing = std::to_string(fault.Error(ErrorKind::kNotFound).code());
  const std::string notEmpty = std::to_string(fault.Error(ErrorKind::kNotEmpty).code());
  const std::string exists = std::to_string(fault.Error(ErrorKind::kExists).code());
  struct Case {
    int noForce, successLog, skipLog;
    std::string setup;
    Op op;
    int result;
    Lines lines;
  } cases[] = {
      {0, 1, 1, "dst", copy, 1, {"File Copied : D/f to D/dst"}},
      {0, 0, 1, "", copy, 1, {}},
      {0, 0, 0, "", copyMissing, 0, {"File Copy Failed : D/no to D/dst : ERR = " + missing}},
      {1, 1, 1, "", copy, 1, {"File Copied : D/f to D/dst"}},
      {1, 1, 1, "dst", copy, 1, {"File Copy Failed due to Not Force Mode : D/f to D/dst"}},
      {1, 1, 0, "dst", copy, 1, {}},
      {0, 1, 1, "", del, 1, {"File Deleted : D/f", ""}},  // a line break of its own
      {0, 0, 0, "", delMissing, 0, {"File Delete Failed : D/no : ERR = " + missing}},
      {1, 1, 1, "", del, 1, {"File Deleted : D/f"}},
      {1, 1, 1, "", delMissing, 1, {"File Delete Failed due to Not Force Mode : D/no : ERR= " + missing}},
      {1, 1, 0, "", delMissing, 1, {}},
      {0, 1, 1, "sub", rmdir, 1, {"Directory Deleted : D/sub", ""}},
      {0, 0, 0, "sub/x", rmdir, 0, {"Directory Delete Failed : D/sub : ERR = " + notEmpty}},
      {1, 1, 1, "sub", rmdir, 1, {"Directory Deleted : D/sub"}},
      {1, 1, 1, "sub/x", rmdir, 1, {"Directory Delete Failed due to Not Force Mode : D/sub : ERR= " + notEmpty}},
      {1, 1, 1, "", mkdir, 1, {"Directory Created : D/sub"}},
      {0, 0, 1, "", mkdir, 1, {}},
      {1, 0, 0, "sub", mkdir, 0, {"Directory Create Failed : D/sub : ERR= " + exists}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines.empty() ? c.setup : c.lines[0]);
    std::filesystem::remove_all(dir.path());
    WriteFile(dir / "f", "new");
    if (c.setup == "sub") testing::MakeDirs(dir / "sub");
    if (!c.setup.empty() && c.setup != "sub") WriteFile(dir / c.setup, "old");
    engine.noForce = c.noForce, engine.successLog = c.successLog, engine.skipLog = c.skipLog;
    Reporter& reporter = counted.New();
    FileOps files = counted.Files();
    const std::size_t before = Log().size();

    EXPECT_EQ(c.op(files, dir.path()), c.result);
    const Lines log = Log();
    EXPECT_EQ(Lines(log.begin() + before, log.end()), c.lines);
    EXPECT_EQ(reporter.failures(), 1 - c.result);
    if (c.setup == "dst") {
      EXPECT_EQ(ReadFile(dir / "dst"), c.noForce ? "old" : "new");
    }
  }
  EXPECT_TRUE(messages.shown.empty());  // never a box
}

// Whether the entry at `path` is read-only, as the OS layer reports it.
bool ReadOnly(Os& os, const std::string& path) {
  FileStatus status;
  EXPECT_TRUE((Stat(os, path, /*followLink=*/false, &status)).ok()) << path;
  return status.attributes.readOnly;
}

// Second attempts: a read-only target is overwritten and stays read-only; a
// success at the second attempt has no empty line after it.
TEST_F(FileOpsTest, ForceRetries) {
  WriteFile(dir / "src", "new");
  WriteFile(dir / "dst", "old");
  WriteFile(dir / "gone", "old");
  ASSERT_TRUE((ChangeEntry(*real, dir / "dst", {.readOnly = true})).ok());
  const Status denied = fault.Error(ErrorKind::kAccessDenied);
  fault.FailAt(OsOp::CopyFile, dir / "dst", denied, 1);
  fault.FailAt(OsOp::DeleteFile, dir / "gone", denied, 1);
  std::vector<std::uint64_t> copied;
  RunControl control;
  control.onFileCopied = [&](const std::string&, std::uint64_t bytes) { copied.push_back(bytes); };
  Reporter& reporter = counted.New(control);
  FileOps files = counted.Files();

  EXPECT_EQ(files.Copy(dir / "src", dir / "dst"), 1);
  EXPECT_EQ(files.Delete(dir / "gone"), 1);
  EXPECT_EQ(Log(), (Lines{"File Copied : D/src to D/dst", "File Deleted : D/gone"}));
  EXPECT_EQ(ReadFile(dir / "dst"), "new");
  EXPECT_TRUE(ReadOnly(*real, dir / "dst"));
  EXPECT_FALSE(testing::Exists(dir / "gone"));
  EXPECT_EQ(copied, std::vector<std::uint64_t>{3});
  EXPECT_EQ(reporter.failures(), 0);
}

// Links: a link is deleted at the second attempt without touching what it
// points to, and a link this process may not make is passed over with a skip
// line, while any other file that cannot be copied that way is still a
// failure.
TEST_F(FileOpsTest, LinksAreDeletedAndPassedOverNeverFollowed) {
  WriteFile(dir / "src", "new");
  WriteFile(dir / "outside", "keep");
  ASSERT_TRUE((ChangeEntry(*real, dir / "outside", {.readOnly = true})).ok());
  if (testing::UnderWine()) GTEST_SKIP() << "Wine makes no symbolic links Windows would make";
  if (!testing::MakeLink(dir / "outside", dir / "link")) {
    GTEST_SKIP() << "this process may not make symbolic links";
  }
  fault.FailAt(OsOp::DeleteFile, dir / "link", fault.Error(ErrorKind::kAccessDenied), 1);

  EXPECT_EQ(engine.FileDelete(dir / "link"), 1);
  EXPECT_EQ(Log(), (Lines{"File Deleted : D/link"}));
  EXPECT_FALSE(testing::Exists(dir / "link"));
  EXPECT_EQ(ReadFile(dir / "outside"), "keep");
  EXPECT_TRUE(ReadOnly(*real, dir / "outside"));

  ASSERT_TRUE(testing::MakeLink("outside", dir / "link"));
  const Status unsupported = fault.Error(ErrorKind::kUnsupported);
  fault.FailAt(OsOp::CopyFile, dir / "link", unsupported);
  fault.FailAt(OsOp::CopyFile, dir / "src", unsupported);
  engine.successLog = 0;
  Reporter& reporter = counted.New();
  FileOps files = counted.Files();
  EXPECT_EQ(files.Copy(dir / "link", dir / "linkcopy"), 1);
  EXPECT_EQ(files.Copy(dir / "src", dir / "srccopy"), 0);
  const Lines log = Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(Lines(log.end() - 2, log.end()),
            (Lines{"link found copy canceled! : D/link",
                   "File Copy Failed : D/src to D/srccopy : ERR = " + std::to_string(unsupported.code())}));
  EXPECT_EQ(reporter.failures(), 1);
  EXPECT_FALSE(testing::Exists(dir / "linkcopy"));
}

}  // namespace
}  // namespace veldar
