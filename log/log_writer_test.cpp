#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "engine/engine.h"
#include "platform/fault_os.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::Exists;
using testing::ReadFile;
using testing::WriteFile;

class LogWriterTest : public ::testing::Test {
 protected:
  LogWriterTest() {
    setenv("TZ", "UTC", 1);
    tzset();
    fault.logDirOverride = dir.path() + "/state/VELDAR2/";
    fault.pidOverride = 512;
    struct tm when = {};
    when.tm_year = 2004 - 1900;
    when.tm_mon = 4;
    when.tm_mday = 2;
    when.tm_hour = 9;
    when.tm_min = 19;
    when.tm_sec = 55;
    fault.fixedNow = timegm(&when);
  }
  std::string LogFile() { return fault.logDirOverride + "VELDAR2.LOG"; }
  std::string TmpFile() { return fault.logDirOverride + "VELDAR2.TMP"; }
  static std::string Line(const std::string& text) { return "512 : 05/02/04 09:19:55 : " + text + "\n"; }

  testing::TempDir dir;
  std::unique_ptr<Os> real = MakeSystemOs();
  FaultOs fault{*real};
  testing::RecordingMessages messages;
  testing::MemorySettings settings;
  CVELDAR2Engine engine{fault, messages, settings};
};

TEST_F(LogWriterTest, FirstRunCreatesTheLogWithExactLines) {
  ASSERT_EQ(engine.OpenLog(), 1);
  EXPECT_TRUE(Exists(TmpFile()));
  engine.WriteLog("Start with parameter");
  engine.WriteLog("File Deleted : /x", true);
  engine.CloseLog();
  EXPECT_FALSE(Exists(TmpFile()));
  EXPECT_EQ(ReadFile(LogFile()), Line("Start with parameter") + Line("File Deleted : /x") + "\n");
  EXPECT_EQ(engine.logPath, LogFile());
  EXPECT_EQ(engine.tempLogPath, TmpFile());
}

TEST_F(LogWriterTest, ControlCharactersAreEscaped) {
  engine.OpenLog();
  // A name ending in a line break is no blank line: every break is escaped.
  engine.WriteLog(std::string("File Copied : /a\nforged\r\x1b[31m\t\x7f") + "\n");
  engine.WriteLog("File Deleted : /b\n", true);
  engine.CloseLog();
  EXPECT_EQ(ReadFile(LogFile()), Line("File Copied : /a\\nforged\\r\\x1b[31m\\t\\x7f\\n") +
                                     Line("File Deleted : /b\\n") + "\n");
}

TEST_F(LogWriterTest, RunsAppendAcrossOpens) {
  for (const char* text : {"one", "two"}) {
    engine.OpenLog();
    engine.WriteLog(text);
    engine.CloseLog();
  }
  EXPECT_EQ(ReadFile(LogFile()), Line("one") + Line("two"));
}

TEST_F(LogWriterTest, LeftoverWorkingFileIsCarriedOn) {
  WriteFile(TmpFile(), "left over\n");
  engine.OpenLog();
  engine.WriteLog("new");
  engine.CloseLog();
  EXPECT_FALSE(Exists(TmpFile()));
  EXPECT_EQ(ReadFile(LogFile()), "left over\n" + Line("new"));
}

TEST_F(LogWriterTest, BothFilesPresent) {
  WriteFile(LogFile(), "old log\n");
  WriteFile(TmpFile(), "left over\n");
  engine.OpenLog();
  engine.WriteLog("new");
  engine.CloseLog();  // under the cap: the rename back cannot replace the log
  EXPECT_EQ(ReadFile(LogFile()), "old log\n");
  EXPECT_EQ(ReadFile(TmpFile()), "left over\n" + Line("new"));

  engine.logSizeLimit = 0;  // over the cap: the (empty) tail goes to the log
  engine.OpenLog();
  engine.CloseLog();
  EXPECT_FALSE(Exists(TmpFile()));
  EXPECT_EQ(ReadFile(LogFile()), "old log\n");
}

TEST_F(LogWriterTest, CapBoundary) {
  engine.logSizeLimit = 1;  // 1000 bytes
  const std::string exact(999, 'a');
  WriteFile(TmpFile(), exact + "\n");
  engine.OpenLog();
  engine.CloseLog();
  EXPECT_EQ(ReadFile(LogFile()).size(), 1000u) << "a log exactly at the cap stays whole";

  ASSERT_EQ(::unlink(LogFile().c_str()), 0);
  WriteFile(TmpFile(), "0123456789" + exact + "\n");
  engine.OpenLog();
  engine.CloseLog();
  EXPECT_EQ(ReadFile(LogFile()), exact + "\n");
  EXPECT_FALSE(Exists(TmpFile()));
}

TEST_F(LogWriterTest, TrimmedTailStartsMidLineAndEndsWithALineBreak) {
  engine.logSizeLimit = 1;
  WriteFile(TmpFile(), std::string(1500, 'x') + "\nlast line without end");
  engine.OpenLog();
  engine.CloseLog();
  const std::string log = ReadFile(LogFile());
  EXPECT_EQ(log.size(), 1001u);
  EXPECT_EQ(log.substr(log.size() - 23), "\nlast line without end\n");
}

TEST_F(LogWriterTest, ZeroLimitLeavesAnEmptyLog) {
  engine.logSizeLimit = 0;
  engine.OpenLog();
  engine.WriteLog("gone");
  engine.CloseLog();
  EXPECT_TRUE(Exists(LogFile()));
  EXPECT_EQ(ReadFile(LogFile()), "");
  EXPECT_FALSE(Exists(TmpFile()));
}

TEST_F(LogWriterTest, LogThatCannotBeCreatedKeepsTheWorkingFile) {
  engine.logSizeLimit = 0;
  fault.FailAt(OsOp::OpenExclusive, LogFile(), EROFS);
  engine.OpenLog();
  engine.WriteLog("kept");
  engine.CloseLog();
  EXPECT_FALSE(Exists(LogFile()));
  EXPECT_EQ(ReadFile(TmpFile()), Line("kept"));
}

TEST_F(LogWriterTest, FailedOpenRetriesFiveTimesAndWritesNothing) {
  fault.FailAt(OsOp::OpenExclusive, TmpFile(), EWOULDBLOCK);
  EXPECT_EQ(engine.OpenLog(), 0);
  EXPECT_EQ(fault.sleeps, (std::vector<int>{500, 500, 500, 500, 500}));
  engine.WriteLog("nowhere");
  engine.CloseLog();
  EXPECT_FALSE(Exists(LogFile()));
}

TEST_F(LogWriterTest, AnotherProcessHoldingTheWorkingFileBlocksTheOpen) {
  ASSERT_EQ(real->CreateDirTree(fault.logDirOverride), 0);
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  if (child == 0) {
    std::unique_ptr<OsFile> held;
    char c = real->OpenExclusive(TmpFile(), &held) == 0 ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    (void)!read(release[0], &c, 1);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  EXPECT_EQ(engine.OpenLog(), 0);
  EXPECT_EQ(fault.sleeps.size(), 5u);
  (void)!write(release[1], &c, 1);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(engine.OpenLog(), 1) << "free again once the other process is gone";
  engine.CloseLog();
}

}  // namespace
}  // namespace veldar
