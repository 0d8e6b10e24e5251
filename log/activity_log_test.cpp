#include "log/activity_log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>

#include "testing/fake_environment.h"
#include "testing/fault_injector.h"
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
    environment.logDirOverride = dir.path() + "/state/VELDAR2/";
    environment.pidOverride = 512;
    struct tm when = {};
    when.tm_year = 2004 - 1900;
    when.tm_mon = 4;
    when.tm_mday = 2;
    when.tm_hour = 9;
    when.tm_min = 19;
    when.tm_sec = 55;
    environment.fixedNow = timegm(&when);
  }
  std::string LogFile() { return environment.logDirOverride + "VELDAR2.LOG"; }
  std::string TmpFile() { return environment.logDirOverride + "VELDAR2.TMP"; }
  static std::string Line(const std::string& text) { return "512 : 05/02/04 09:19:55 : " + text + "\n"; }

  testing::TempDir dir;
  std::unique_ptr<Os> real = MakeSystemOs();
  FakeEnvironment environment{*real};
  FaultInjector fault{environment};
  // The log with its size limit, as a run holds them.
  struct Job {
    explicit Job(Os& os) : activityLog(os, logSizeLimit) {}
    int OpenLog() { return activityLog.Open(); }
    void WriteLog(const std::string& text, bool blankLineAfter = false) { activityLog.Write(text, blankLineAfter); }
    void CloseLog() { activityLog.Close(); }
    std::int32_t logSizeLimit = 500;
    ActivityLog activityLog;
  } job{fault};
};

TEST_F(LogWriterTest, FirstRunCreatesTheLogWithExactLines) {
  ASSERT_EQ(job.OpenLog(), 1);
  EXPECT_TRUE(Exists(TmpFile()));
  job.WriteLog("Start with parameter");
  job.WriteLog("File Deleted : /x", true);
  job.CloseLog();
  EXPECT_FALSE(Exists(TmpFile()));
  EXPECT_EQ(ReadFile(LogFile()), Line("Start with parameter") + Line("File Deleted : /x") + "\n");
  EXPECT_EQ(job.activityLog.path(), LogFile());
  EXPECT_EQ(job.activityLog.workingPath(), TmpFile());
}

TEST_F(LogWriterTest, ControlCharactersAreEscaped) {
  job.OpenLog();
  // A name ending in a line break is no blank line: every break is escaped.
  job.WriteLog(std::string("File Copied : /a\nforged\r\x1b[31m\t\x7f") + "\n");
  job.WriteLog("File Deleted : /b\n", true);
  job.CloseLog();
  EXPECT_EQ(ReadFile(LogFile()),
            Line("File Copied : /a\\nforged\\r\\x1b[31m\\t\\x7f\\n") + Line("File Deleted : /b\\n") + "\n");
}

TEST(EscapeLogTextTest, UnicodeLineSeparatorsAreEscapedAndNothingElse) {
  struct Case {
    const char* text;
    const char* written;
  } cases[] = {
      {"a\xc2\x85"
       "b",
       "a\\u0085b"},  // NEL
      {"a\xe2\x80\xa8"
       "b",
       "a\\u2028b"},                // LINE SEPARATOR
      {"\xe2\x80\xa9", "\\u2029"},  // PARAGRAPH SEPARATOR
      {"\xe2\x80\xa9\n\xc2\x85", "\\u2029\\n\\u0085"},
      {"\xe2\x80\xa7 \xc2\xa9 \xe6\x97\xa5", "\xe2\x80\xa7 \xc2\xa9 \xe6\x97\xa5"},  // neighbours
      {"cut \xe2\x80", "cut \xe2\x80"},
      {"cut \xc2", "cut \xc2"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeLogText(c.text), c.written) << c.written;
}

// A run that is killed loses none of the lines already written: they are in
// the working file, not in a buffer of the process. Only lines about entries
// left as they were may wait, and only until the next line of another kind.
TEST_F(LogWriterTest, LinesWrittenBeforeAKillAreInTheWorkingFile) {
  const pid_t child = fork();
  if (child == 0) {
    job.OpenLog();
    for (int i = 0; i < 3; ++i) {
      job.activityLog.WriteDeferred("Not update,copy canceled! : /" + std::to_string(i));
      job.WriteLog("File Copied : /" + std::to_string(i));
    }
    job.activityLog.WriteDeferred("Not update,copy canceled! : /3");
    raise(SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  std::string expected;
  for (int i = 0; i < 3; ++i) {
    expected += Line("Not update,copy canceled! : /" + std::to_string(i)) + Line("File Copied : /" + std::to_string(i));
  }
  EXPECT_EQ(ReadFile(TmpFile()), expected);
}

// An OS whose log files take no writes, as on a full disk.
class NoWriteOs : public FaultInjector {
 public:
  using FaultInjector::FaultInjector;
  Status OpenExclusive(const std::string& path, std::unique_ptr<OsFile>* file) override {
    const Status code = FaultInjector::OpenExclusive(path, file);
    if (code.ok()) *file = std::make_unique<NoWriteFile>(std::move(*file));
    return code;
  }

 private:
  class NoWriteFile : public OsFile {
   public:
    explicit NoWriteFile(std::unique_ptr<OsFile> file) : file_(std::move(file)) {}
    Status Size(std::uint64_t* size) override { return file_->Size(size); }
    Status Append(const std::string&) override { return Status::Make(ENOSPC, ErrorKind::kNoSpace); }
    Status ReadAt(std::uint64_t offset, std::size_t count, std::string* out) override {
      return file_->ReadAt(offset, count, out);
    }
    Status Sync() override { return file_->Sync(); }

   private:
    std::unique_ptr<OsFile> file_;
  };
};

// Failure lines that the log cannot take go to the sink, escaped; other lines
// do not. The log holds the run only when it was open, every write went in
// and the cap keeps something.
TEST_F(LogWriterTest, FailureLinesTheLogCannotTakeGoToTheSink) {
  NoWriteOs noWrite{environment};
  struct Case {
    const char* name;
    Os* os;
    bool openFails;
    std::int32_t limit;
    bool sunk, holdsRun;
  } cases[] = {
      {"open", &fault, false, 500, false, true},
      {"open, limit 0", &fault, false, 0, true, false},
      {"not opened", &fault, true, 500, true, false},
      {"writes fail", &noWrite, false, 500, true, false},
  };
  for (const auto& c : cases) {
    std::int32_t limit = c.limit;
    ActivityLog log(*c.os, limit);
    std::vector<std::string> sunk;
    log.onUnloggedFailure = [&](const std::string& text) { sunk.push_back(text); };
    fault.ClearRules();
    if (c.openFails) fault.FailAt(OsOp::OpenExclusive, TmpFile(), EWOULDBLOCK);
    EXPECT_EQ(log.Open(), c.openFails ? 0 : 1) << c.name;
    log.Write("File Copied : /a to /b");
    log.WriteFailure("File Copy Failed : /x\ny to /z : ERR = 13");
    EXPECT_EQ(log.HoldsRun(), c.holdsRun) << c.name;
    log.Close();
    EXPECT_EQ(log.HoldsRun(), c.holdsRun) << c.name << ": still known after the close";
    EXPECT_EQ(sunk, c.sunk ? std::vector<std::string>{"File Copy Failed : /x\ny to /z : ERR = 13"}
                           : std::vector<std::string>{})
        << c.name;
  }
}

TEST_F(LogWriterTest, RunsAppendAcrossOpens) {
  for (const char* text : {"one", "two"}) {
    job.OpenLog();
    job.WriteLog(text);
    job.CloseLog();
  }
  EXPECT_EQ(ReadFile(LogFile()), Line("one") + Line("two"));
}

TEST_F(LogWriterTest, LeftoverWorkingFileIsCarriedOn) {
  WriteFile(TmpFile(), "left over\n");
  job.OpenLog();
  job.WriteLog("new");
  job.CloseLog();
  EXPECT_FALSE(Exists(TmpFile()));
  EXPECT_EQ(ReadFile(LogFile()), "left over\n" + Line("new"));
}

TEST_F(LogWriterTest, BothFilesPresent) {
  WriteFile(LogFile(), "old log\n");
  WriteFile(TmpFile(), "left over\n");
  job.OpenLog();
  job.WriteLog("new");
  job.CloseLog();  // under the cap: the rename back cannot replace the log
  EXPECT_EQ(ReadFile(LogFile()), "old log\n");
  EXPECT_EQ(ReadFile(TmpFile()), "left over\n" + Line("new"));

  job.logSizeLimit = 0;  // over the cap: the (empty) tail goes to the log
  job.OpenLog();
  job.CloseLog();
  EXPECT_FALSE(Exists(TmpFile()));
  EXPECT_EQ(ReadFile(LogFile()), "old log\n");
}

TEST_F(LogWriterTest, CapBoundary) {
  job.logSizeLimit = 1;  // 1000 bytes
  const std::string exact(999, 'a');
  WriteFile(TmpFile(), exact + "\n");
  job.OpenLog();
  job.CloseLog();
  EXPECT_EQ(ReadFile(LogFile()).size(), 1000u) << "a log exactly at the cap stays whole";

  ASSERT_EQ(::unlink(LogFile().c_str()), 0);
  WriteFile(TmpFile(), "0123456789" + exact + "\n");
  job.OpenLog();
  job.CloseLog();
  EXPECT_EQ(ReadFile(LogFile()), exact + "\n");
  EXPECT_FALSE(Exists(TmpFile()));
}

TEST_F(LogWriterTest, TrimmedTailStartsMidLineAndEndsWithALineBreak) {
  job.logSizeLimit = 1;
  WriteFile(TmpFile(), std::string(1500, 'x') + "\nlast line without end");
  job.OpenLog();
  job.CloseLog();
  const std::string log = ReadFile(LogFile());
  EXPECT_EQ(log.size(), 1001u);
  EXPECT_EQ(log.substr(log.size() - 23), "\nlast line without end\n");
}

TEST_F(LogWriterTest, ZeroLimitLeavesAnEmptyLog) {
  job.logSizeLimit = 0;
  job.OpenLog();
  job.WriteLog("gone");
  job.CloseLog();
  EXPECT_TRUE(Exists(LogFile()));
  EXPECT_EQ(ReadFile(LogFile()), "");
  EXPECT_FALSE(Exists(TmpFile()));
}

TEST_F(LogWriterTest, LogThatCannotBeCreatedKeepsTheWorkingFile) {
  job.logSizeLimit = 0;
  fault.FailAt(OsOp::OpenExclusive, LogFile(), EROFS);
  job.OpenLog();
  job.WriteLog("kept");
  job.CloseLog();
  EXPECT_FALSE(Exists(LogFile()));
  EXPECT_EQ(ReadFile(TmpFile()), Line("kept"));
}

TEST_F(LogWriterTest, FailedOpenRetriesFiveTimesAndWritesNothing) {
  fault.FailAt(OsOp::OpenExclusive, TmpFile(), EWOULDBLOCK);
  EXPECT_EQ(job.OpenLog(), 0);
  EXPECT_EQ(environment.sleeps, (std::vector<int>{500, 500, 500, 500, 500}));
  job.WriteLog("nowhere");
  job.CloseLog();
  EXPECT_FALSE(Exists(LogFile()));
}

TEST_F(LogWriterTest, AnotherProcessHoldingTheWorkingFileBlocksTheOpen) {
  ASSERT_TRUE((real->CreateDirTree(environment.logDirOverride)).ok());
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  if (child == 0) {
    std::unique_ptr<OsFile> held;
    char c = real->OpenExclusive(TmpFile(), &held).ok() ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    (void)!read(release[0], &c, 1);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  EXPECT_EQ(job.OpenLog(), 0);
  EXPECT_EQ(environment.sleeps.size(), 5u);
  (void)!write(release[1], &c, 1);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(job.OpenLog(), 1) << "free again once the other process is gone";
  job.CloseLog();
}

}  // namespace
}  // namespace veldar
