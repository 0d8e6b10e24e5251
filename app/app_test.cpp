#include "app/app.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/fault_os.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::Exists;
using testing::ReadFile;

class AppTest : public ::testing::Test {
 protected:
  // The command line as a shell splits it, options written with '-'; the
  // Windows command line is tested beside the parameter text.
  AppTest() {
    fault.logDirOverride = dir / "state/";
    fault.optionChar = '-';
  }
  int Run(const std::vector<std::string>& arguments) {
    out.str("");
    err.str("");
    return app.InitInstance(arguments, out, err);
  }
  std::string Log() { return ReadFile(fault.logDirOverride + "VELDAR2.LOG"); }
  std::string NotFoundText() { return real->ErrorText(real->CodeOf(ErrorKind::kNotFound)); }

  testing::TempDir dir;
  std::unique_ptr<Os> real = MakeSystemOs();
  FaultOs fault{*real};
  testing::RecordingMessages messages;
  testing::MemorySettings settings;
  CVELDAR2App app{fault, messages, settings};
  std::ostringstream out, err;
};

// A stop asked of the batch run (what Ctrl-C and SIGTERM do) while it copies:
// status 2, the summary says so, the log holds the line and is closed.
TEST_F(AppTest, StoppedBatchRunExitsWithTwo) {
  testing::WriteFile(dir / "src/a.txt", "a");
  testing::WriteFile(dir / "src/big.bin", std::string(9 << 20, 'b'));
  testing::MakeDirs(dir / "dst");
  std::vector<bool> batchRun;
  app.onBatchRun = [&](bool running) {
    batchRun.push_back(running);
    if (running) app.batchProgress.RequestCancel();
  };
  EXPECT_EQ(Run({"-M2", dir / "src", dir / "dst"}), kExitFailure);
  EXPECT_EQ(batchRun, (std::vector<bool>{true, false}));
  EXPECT_NE(err.str().find("veldar2: the backup was cancelled"), std::string::npos) << err.str();
  EXPECT_NE(Log().find(CVELDAR2Engine::kCanceledLine), std::string::npos);
  EXPECT_FALSE(Exists(dir / "dst/src_1"));
}

TEST(UsageTest, EnglishUsageHasNoJapanese) {
  const std::string english = UsageText('-', Language::kEnglish);
  EXPECT_EQ(english.rfind("Usage: veldar2 [-Mcount]", 0), 0u);
  EXPECT_EQ(english.find("\xe3"), std::string::npos) << "no Japanese in the English usage";
}

TEST_F(AppTest, HelpAndVersionAnswerWithoutReadingOrLogging) {
  settings.values["SETTINGS/DEFALUTFILES"] = "9";
  EXPECT_EQ(Run({"--help"}), kExitSuccess);
  EXPECT_NE(out.str().find("Usage: veldar2"), std::string::npos);
  EXPECT_NE(out.str().find("使い方"), std::string::npos);
  EXPECT_EQ(Run({"-M3", "a", "--version"}), kExitSuccess);
  EXPECT_EQ(out.str(), "VELDAR2 2.00\n");
  EXPECT_EQ(Run({"-h"}), kExitSuccess);
  EXPECT_EQ(app.engine.generationCount, 0) << "settings were read";
  EXPECT_FALSE(Exists(fault.logDirOverride));
}

// A path taken for an option would be dropped, or read as "-M" with a count
// of 0 that mirrors the source over the stored backup directory and its
// generations.
TEST_F(AppTest, UnknownOptionIsRefusedBeforeAnythingIsRead) {
  settings.values["SETTINGS/DEFALUTFILES"] = "9";
  settings.values["SETTINGS/LASTDIR"] = dir / "dst";
  testing::WriteFile(dir / "src/a", "a");
  testing::WriteFile(dir / "dst/src_1/kept", "generation");
  EXPECT_EQ(Run({"-M3", dir / "src", "-mybackup"}), kExitFailure);
  EXPECT_EQ(err.str(), "veldar2: unknown option: -mybackup (a path beginning with \"-\" is written "
                       "./-mybackup, or after --)\n");
  EXPECT_EQ(app.engine.generationCount, 0) << "settings were read";
  EXPECT_FALSE(Exists(fault.logDirOverride));
  EXPECT_EQ(ReadFile(dir / "dst/src_1/kept"), "generation");
}

TEST_F(AppTest, NoParametersWithoutDialogPrintsUsageAndFails) {
  EXPECT_EQ(Run({}), kExitFailure);
  EXPECT_NE(out.str().find("Usage"), std::string::npos);
  EXPECT_FALSE(Exists(fault.logDirOverride));
}

TEST_F(AppTest, NoParametersShowsTheDialogOnTheLoadedEngine) {
  settings.values["SETTINGS/LASTFILE"] = "/docs";
  std::string seen;
  app.showMainDialog = [&](CVELDAR2Engine& engine) {
    seen = engine.sourcePath;
    return 0;
  };
  EXPECT_EQ(Run({}), kExitSuccess);
  EXPECT_EQ(seen, "/docs");
}

TEST_F(AppTest, AnOpenInstanceStopsEveryStartBeforeAnythingIsRead) {
  int asked = 0;
  app.findRunningInstance = [&] {
    ++asked;
    return false;
  };
  settings.values["SETTINGS/DEFALUTFILES"] = "9";
  EXPECT_EQ(Run({"-M2", "/nonexistent", "/x"}), kExitOtherInstance);
  EXPECT_EQ(Run({}), kExitSuccess);
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(app.engine.generationCount, 0);
  EXPECT_FALSE(Exists(fault.logDirOverride));
  EXPECT_TRUE(messages.shown.empty());
}

TEST_F(AppTest, MissingSourceIsRefusedWithAMessageAndStatus2) {
  testing::MakeDirs(dir / "dst");
  EXPECT_EQ(Run({"-M5", "-NODEL", dir / "missing", dir / "dst"}), kExitFailure);
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0],
            "パラメタの指定誤りです。[バックアップするファイル]\n" + NotFoundText());
  EXPECT_NE(err.str().find("failed"), std::string::npos);
  const auto lines = testing::Lines(Log());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" : Start with parameter"), std::string::npos);
  EXPECT_TRUE(settings.writes.empty()) << "a failed run stores no paths";
}

TEST_F(AppTest, NoMsgSendsThePreCheckMessageToTheLog) {
  EXPECT_EQ(Run({"-NOMSG", dir / "missing", dir.path()}), kExitFailure);
  EXPECT_TRUE(messages.shown.empty());
  const auto lines = testing::Lines(Log());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("パラメタの指定誤りです。[バックアップするファイル]\\n" + NotFoundText()),
            std::string::npos);
}

// Without a log the run's failure lines go to standard error, and nothing
// sends the user to a log that does not hold them.
TEST_F(AppTest, FailuresTheLogCannotTakeGoToStandardError) {
  testing::WriteFile(dir / "src/a", "a");
  testing::MakeDirs(dir / "dst");
  const std::string tmp = fault.logDirOverride + "VELDAR2.TMP";
  const int denied = real->CodeOf(ErrorKind::kAccessDenied);
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    bool logOpens;
    const char* logSize;
    int status;
    std::string stderrText;
  } cases[] = {
      {"refused, no log", {"-NOMSG", dir / "missing", dir / "dst"}, false, "500", kExitFailure,
       "veldar2: パラメタの指定誤りです。[バックアップするファイル]\\n" + NotFoundText() + "\n"
       "veldar2: the backup failed or was refused (not in the log: " + fault.logDirOverride +
           "VELDAR2.LOG could not be opened or written)\n"},
      {"copy failed, no log", {"-M1", "-NOMSG", dir / "src", dir / "dst"}, false, "500",
       kExitPartialFailure,
       "veldar2: File Copy Failed : " + dir / "src/a to " + dir / "dst/a : ERR = " + std::to_string(denied) + "\n"
       "veldar2: the backup finished, but 1 operation(s) failed (not in the log: " +
           fault.logDirOverride + "VELDAR2.LOG could not be opened or written)\n"},
      {"copy failed, logged", {"-M1", "-NOMSG", dir / "src", dir / "dst"}, true, "500",
       kExitPartialFailure,
       "veldar2: the backup finished, but 1 operation(s) failed (see " + fault.logDirOverride +
           "VELDAR2.LOG)\n"},
      {"copy failed, log size 0", {"-M1", "-NOMSG", dir / "src", dir / "dst"}, true, "0",
       kExitPartialFailure,
       "veldar2: the backup finished, but 1 operation(s) failed (the log size limit is 0: no log "
       "is kept)\n"},
  };
  for (const auto& c : cases) {
    fault.ClearRules();
    fault.FailAt(OsOp::CopyFile, "", denied);
    fault.FailAt(OsOp::StageCopy, "", denied);
    if (!c.logOpens) fault.FailAt(OsOp::OpenExclusive, tmp, real->CodeOf(ErrorKind::kLocked));
    settings.values["SETTINGS/LOGSIZE"] = c.logSize;
    EXPECT_EQ(Run(c.arguments), c.status) << c.name;
    EXPECT_EQ(err.str(), c.stderrText) << c.name;
  }
  EXPECT_TRUE(messages.shown.empty());
}

TEST_F(AppTest, BatchRunWithOnlyASourceTakesStoredDirectoryAndCountButNotFlags) {
  testing::WriteFile(dir / "src/a.txt", "a");
  testing::MakeDirs(dir / "dst");
  settings.values["SETTINGS/LASTDIR"] = dir / "dst";
  settings.values["SETTINGS/DEFALUTFILES"] = "2";
  settings.values["SETTINGS/LASTOPT"] = "111";
  EXPECT_EQ(Run({dir / "src"}), kExitSuccess) << err.str();
  EXPECT_EQ(app.engine.backupDir, dir / "dst");
  EXPECT_EQ(app.engine.generationCount, 2);
  EXPECT_EQ(app.engine.noDelete + app.engine.noForce + app.engine.noTime, 0);
  EXPECT_EQ(ReadFile(dir / "dst/src_1/a.txt"), "a");
  EXPECT_EQ(settings.values["SETTINGS/LASTFILE"], dir / "src");
}

// The parameter text cannot carry a double quote inside a path: the path
// would be cut at it and the backup would run on another directory.
TEST_F(AppTest, PathWithADoubleQuoteIsRefusedNotCutShort) {
#ifdef _WIN32
  GTEST_SKIP() << "no Windows name holds a double quote";
#endif
  testing::WriteFile(dir / "docs\"old/wanted.txt", "wanted");
  testing::WriteFile(dir / "docs/other.txt", "other");  // what the cut path names
  testing::WriteFile(dir / "dst/wanted.txt", "copy of wanted");
  EXPECT_EQ(Run({"-M1", dir / "docs\"old", dir / "dst"}), kExitFailure);
  EXPECT_NE(err.str().find(dir / "docs\"old"), std::string::npos) << err.str();
  EXPECT_EQ(ReadFile(dir / "dst/wanted.txt"), "copy of wanted");
  EXPECT_FALSE(Exists(dir / "dst/other.txt"));
  EXPECT_FALSE(Exists(fault.logDirOverride)) << "refused before anything was read or run";
  // An option may hold one: it is passed as it is, not quoted.
  testing::WriteFile(dir / "src/a.txt", "a");
  EXPECT_EQ(Run({"-M2\"", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
}

// A run that found its backup directory held by another exits 3 and names
// it; one under which source entries vanished exits 1 and says so.
TEST_F(AppTest, BusyBackupDirectoryAndVanishedEntries) {
  testing::WriteFile(dir / "src/a", "a");
  testing::WriteFile(dir / "src/gone", "g");
  testing::MakeDirs(dir / "dst");
  fault.FailAt(OsOp::CopyFile, "gone", real->CodeOf(ErrorKind::kNotFound));
  fault.FailAt(OsOp::Stat, "gone", real->CodeOf(ErrorKind::kNotFound));
  EXPECT_EQ(Run({"-M2", dir / "src", dir / "dst"}), kExitPartialFailure);
  EXPECT_NE(err.str().find("1 entr(y/ies) vanished"), std::string::npos) << err.str();

  std::unique_ptr<OsDir> held;
  ASSERT_EQ(real->OpenDir(dir / "dst", true, &held), 0);
  ASSERT_EQ(held->Lock(), 0);
  EXPECT_EQ(Run({"-M2", dir / "src", dir / "dst"}), kExitOtherInstance);
  EXPECT_NE(err.str().find("another run is using the backup directory " + dir / "dst"),
            std::string::npos) << err.str();
}

}  // namespace
}  // namespace veldar
