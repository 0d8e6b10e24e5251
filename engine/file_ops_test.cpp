#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/fault_os.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::Exists;
using testing::IsDir;
using testing::MakeDirs;
using testing::ReadFile;
using testing::WriteFile;

class FileOpsTest : public ::testing::Test {
 protected:
  FileOpsTest() {
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

// Replaces every "{d}" in `text` by `dir`.
std::string At(const std::string& dir, std::string text) {
  for (auto at = text.find("{d}"); at != std::string::npos; at = text.find("{d}"))
    text.replace(at, 3, dir);
  return text;
}

bool IsReadOnly(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0;
}

// Every operation in both modes with its exact lines, its gates and its result.
// Each case works in a fresh directory {d} holding "src" ("new") and, if set up,
// whatever `setup` leaves there.
TEST_F(FileOpsTest, OperationsLogTheirExactLinesBehindTheirGates) {
  using Setup = std::function<void(const std::string& d, FaultOs& fault)>;
  using Op = std::function<int(CVELDAR2Engine&, const std::string& d)>;
  const Setup none = [](const std::string&, FaultOs&) {};
  const Setup oldTarget = [](const std::string& d, FaultOs&) { WriteFile(d + "/dst", "old"); };
  const Setup fullDir = [](const std::string& d, FaultOs&) { WriteFile(d + "/sub/x", "x"); };
  const Setup emptyDir = [](const std::string& d, FaultOs&) { MakeDirs(d + "/sub"); };
  const Op copy = [](CVELDAR2Engine& e, const std::string& d) {
    return e.FileCopy(d + "/src", d + "/dst");
  };
  const Op copyMissing = [](CVELDAR2Engine& e, const std::string& d) {
    return e.FileCopy(d + "/missing", d + "/dst");
  };
  const Op del = [](CVELDAR2Engine& e, const std::string& d) { return e.FileDelete(d + "/src"); };
  const Op delMissing = [](CVELDAR2Engine& e, const std::string& d) {
    return e.FileDelete(d + "/missing");
  };
  const Op rmdir = [](CVELDAR2Engine& e, const std::string& d) { return e.DirRemove(d + "/sub"); };
  const Op mkdir = [](CVELDAR2Engine& e, const std::string& d) { return e.DirCreate(d + "/sub"); };

  struct Case {
    const char* name;
    int noForce, successLog, skipLog;
    Setup setup;
    Op op;
    int result;
    std::vector<std::string> lines;
  } cases[] = {
      {"force copy", 0, 1, 1, none, copy, 1, {"File Copied : {d}/src to {d}/dst"}},
      {"force copy over a target", 0, 1, 1, oldTarget, copy, 1, {"File Copied : {d}/src to {d}/dst"}},
      {"force copy, success unlogged", 0, 0, 1, none, copy, 1, {}},
      {"force copy of a missing source", 0, 0, 0, none, copyMissing, 0,
       {"File Copy Failed : {d}/missing to {d}/dst : ERR = 2"}},
      {"no-force copy", 1, 1, 1, none, copy, 1, {"File Copied : {d}/src to {d}/dst"}},
      {"no-force copy onto a target", 1, 1, 1, oldTarget, copy, 1,
       {"File Copy Failed due to Not Force Mode : {d}/src to {d}/dst"}},
      {"no-force copy onto a target, skip unlogged", 1, 1, 0, oldTarget, copy, 1, {}},
      {"force delete", 0, 1, 1, none, del, 1, {"File Deleted : {d}/src", ""}},
      {"force delete of a missing file", 0, 0, 0, none, delMissing, 0,
       {"File Delete Failed : {d}/missing : ERR = 2"}},
      {"no-force delete", 1, 1, 1, none, del, 1, {"File Deleted : {d}/src"}},
      {"no-force delete of a missing file", 1, 1, 1, none, delMissing, 1,
       {"File Delete Failed due to Not Force Mode : {d}/missing : ERR= 2"}},
      {"no-force delete of a missing file, skip unlogged", 1, 1, 0, none, delMissing, 1, {}},
      {"force removal", 0, 1, 1, emptyDir, rmdir, 1, {"Directory Deleted : {d}/sub", ""}},
      {"force removal of a full directory", 0, 0, 0, fullDir, rmdir, 0,
       {"Directory Delete Failed : {d}/sub : ERR = 39"}},
      {"no-force removal", 1, 1, 1, emptyDir, rmdir, 1, {"Directory Deleted : {d}/sub"}},
      {"no-force removal of a full directory", 1, 1, 1, fullDir, rmdir, 1,
       {"Directory Delete Failed due to Not Force Mode : {d}/sub : ERR= 39"}},
      {"creation", 0, 1, 1, none, mkdir, 1, {"Directory Created : {d}/sub"}},
      {"creation, success unlogged", 1, 0, 1, none, mkdir, 1, {}},
      {"force creation over an existing one", 0, 0, 0, emptyDir, mkdir, 0,
       {"Directory Create Failed : {d}/sub : ERR= 17"}},
      {"no-force creation over an existing one", 1, 0, 0, emptyDir, mkdir, 0,
       {"Directory Create Failed : {d}/sub : ERR= 17"}},
  };

  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string d = dir / std::to_string(n++);
    WriteFile(d + "/src", "new");
    c.setup(d, fault);
    engine.noForce = c.noForce;
    engine.successLog = c.successLog;
    engine.skipLog = c.skipLog;
    engine.failureCount = 0;
    const std::size_t before = Log().size();

    EXPECT_EQ(c.op(engine, d), c.result);

    std::vector<std::string> expected;
    for (const std::string& line : c.lines) expected.push_back(At(d, line));
    const std::vector<std::string> log = Log();
    EXPECT_EQ(std::vector<std::string>(log.begin() + before, log.end()), expected);
    EXPECT_EQ(engine.failureCount, c.result == 0 ? 1 : 0);
  }
  EXPECT_TRUE(messages.shown.empty());  // file operations never show a box
}

TEST_F(FileOpsTest, CopiesLeaveTheRightContent) {
  WriteFile(dir / "src", "new");
  WriteFile(dir / "dst", "old");
  engine.noForce = 1;
  EXPECT_EQ(engine.FileCopy(dir / "src", dir / "dst"), 1);
  EXPECT_EQ(ReadFile(dir / "dst"), "old");  // no-force never overwrites

  std::vector<std::pair<std::string, std::uint64_t>> copied;
  engine.onFileCopied = [&](const std::string& path, std::uint64_t bytes) {
    copied.emplace_back(path, bytes);
  };
  engine.noForce = 0;
  EXPECT_EQ(engine.FileCopy(dir / "src", dir / "dst"), 1);
  EXPECT_EQ(ReadFile(dir / "dst"), "new");
  EXPECT_EQ(copied, (std::vector<std::pair<std::string, std::uint64_t>>{{dir / "src", 3}}));
  EXPECT_EQ(engine.FileCopy(dir / "gone", dir / "dst"), 0);
  EXPECT_EQ(copied.size(), 1u);  // only copies that happened are announced
}

// The second attempt after a first failure: the target is made writable,
// overwritten, and keeps its old read-only state.
TEST_F(FileOpsTest, ForceCopyRetryKeepsTheTargetReadOnly) {
  WriteFile(dir / "src", "new");
  WriteFile(dir / "dst", "old");
  chmod((dir / "dst").c_str(), 0444);
  fault.FailAt(OsOp::CopyFile, dir / "dst", 13, /*times=*/1);

  EXPECT_EQ(engine.FileCopy(dir / "src", dir / "dst"), 1);
  EXPECT_EQ(ReadFile(dir / "dst"), "new");
  EXPECT_TRUE(IsReadOnly(dir / "dst"));
  EXPECT_EQ(Log(), (std::vector<std::string>{"File Copied : " + (dir / "src") + " to " + (dir / "dst")}));
}

// A retry that succeeds logs its line without the empty line of a first success.
TEST_F(FileOpsTest, ForceRetrySuccessHasNoEmptyLine) {
  WriteFile(dir / "f", "x");
  MakeDirs(dir / "d");
  fault.FailAt(OsOp::DeleteFile, dir / "f", 1, /*times=*/1);
  fault.FailAt(OsOp::RemoveDir, dir / "d", 1, /*times=*/1);

  EXPECT_EQ(engine.FileDelete(dir / "f"), 1);
  EXPECT_EQ(engine.DirRemove(dir / "d"), 1);
  EXPECT_FALSE(Exists(dir / "f"));
  EXPECT_FALSE(Exists(dir / "d"));
  EXPECT_EQ(Log(), (std::vector<std::string>{"File Deleted : " + (dir / "f"),
                                             "Directory Deleted : " + (dir / "d")}));
}

// Deleting a link removes the link, never what it points to, even on the
// retry path where the target is made writable.
TEST_F(FileOpsTest, DeleteOfALinkLeavesItsTargetAlone) {
  WriteFile(dir / "outside", "keep");
  chmod((dir / "outside").c_str(), 0444);
  ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "link").c_str()), 0);
  fault.FailAt(OsOp::DeleteFile, dir / "link", 1, /*times=*/1);

  EXPECT_EQ(engine.FileDelete(dir / "link"), 1);
  EXPECT_FALSE(Exists(dir / "link"));
  EXPECT_EQ(ReadFile(dir / "outside"), "keep");
  EXPECT_TRUE(IsReadOnly(dir / "outside"));
}

// A name holding a line feed must not break the log into two lines.
TEST_F(FileOpsTest, NamesWithControlCharactersStayOnOneLine) {
  WriteFile(dir / "a\nb", "x");
  EXPECT_EQ(engine.FileDelete(dir / "a\nb"), 1);
  EXPECT_EQ(Log(), (std::vector<std::string>{"File Deleted : " + (dir / "a\\nb"), ""}));
  EXPECT_FALSE(IsDir(dir / "a\nb"));
}

}  // namespace
}  // namespace veldar
