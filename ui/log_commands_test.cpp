#include "ui/log_commands.h"

#include <gtest/gtest.h>

#include "testing/fault_injector.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::Exists;
using testing::WriteFile;

// Answers the log size dialog as a user would; records what it was shown.
class ScriptedLogUi : public LogCommandUi {
 public:
  void OpenWithDesktop(const std::string& path) override { opened.push_back(path); }
  bool RunLogSizeDialog(LogSizeValues& values) override {
    shownValues = values;
    ++runs;
    if (!accept) {
      values = typed;  // what was typed is thrown away by Cancel
      return false;
    }
    values = typed;
    return true;
  }
  std::vector<std::string> opened;
  LogSizeValues shownValues, typed;
  bool accept = true;
  int runs = 0;
};

class LogCommandsTest : public ::testing::Test, protected testing::EngineServices<> {
 protected:
  LogCommandsTest() { environment.logDirOverride = dir.path() + "/state/"; }
  std::string LogFile() { return dir.path() + "/state/VELDAR2.LOG"; }
  std::string TmpFile() { return dir.path() + "/state/VELDAR2.TMP"; }

  testing::TempDir dir;
  ScriptedLogUi ui;
};

TEST_F(LogCommandsTest, ViewLogHandsTheLogPathToTheDesktopEvenWhenMissing) {
  ViewLog(engine, ui);
  EXPECT_EQ(ui.opened, std::vector<std::string>{LogFile()});
  EXPECT_TRUE(messages.shown.empty());
}

TEST_F(LogCommandsTest, ClearLogAsksFirstAndLeavesTheWorkingFile) {
  WriteFile(LogFile(), "lines\n");
  WriteFile(TmpFile(), "left over\n");

  messages.answer = false;
  ClearLog(engine);
  EXPECT_EQ(messages.asked, std::vector<std::string>{"ﾛｸﾞを消してよろしいですか？"});
  EXPECT_TRUE(Exists(LogFile())) << "Cancel keeps the log";

  messages.answer = true;
  ClearLog(engine);
  EXPECT_FALSE(Exists(LogFile()));
  EXPECT_TRUE(Exists(TmpFile()));

  ClearLog(engine);  // nothing left to delete: no word
  EXPECT_TRUE(messages.shown.empty());
}

TEST_F(LogCommandsTest, OkWithTheSizeUnchangedTakesTheOptionsWithoutWriting) {
  engine.skipLog = 0;
  ui.typed = {500, 0, 1};
  ChangeLogSize(engine, ui);
  EXPECT_EQ(ui.shownValues.logSize, 500u) << "the dialog starts from the engine's values";
  EXPECT_EQ(ui.shownValues.skipLog, 0);
  EXPECT_EQ(engine.successLog, 0);
  EXPECT_EQ(engine.skipLog, 1);
  EXPECT_EQ(engine.logSizeLimit, 500);
  EXPECT_TRUE(settings.writes.empty());
}

TEST_F(LogCommandsTest, OkWithANewSizeWritesItAtOnce) {
  ui.typed = {1000, 1, 0};
  ChangeLogSize(engine, ui);
  EXPECT_EQ(engine.logSizeLimit, 1000);
  EXPECT_EQ(engine.skipLog, 0);
  EXPECT_EQ(settings.writes, std::vector<std::string>{"LOGSIZE=1000"});
  EXPECT_EQ(settings.values["SETTINGS/LOGSIZE"], "1000");
}

TEST_F(LogCommandsTest, CancelChangesNothing) {
  ui.accept = false;
  ui.typed = {9000, 0, 0};
  ChangeLogSize(engine, ui);
  EXPECT_EQ(ui.runs, 1);
  EXPECT_EQ(engine.logSizeLimit, 500);
  EXPECT_EQ(engine.successLog, 1);
  EXPECT_EQ(engine.skipLog, 1);
  EXPECT_TRUE(settings.writes.empty());
}

}  // namespace
}  // namespace veldar
