#include "ui/main_dialog.h"

#include <filesystem>
#include <set>
#include <thread>

#include "ui/about_dialog.h"
#include "ui/dialog_test_fixture.h"
#include "ui/logsize_dialog.h"
#include "ui/restore_dialog.h"

namespace veldar {
namespace {

using testing::ReadFile;
using testing::WriteFile;

class MainDialogTest : public testing::DialogTest {
 protected:
  // Opens the dialog on the engine as start-up left it.
  void OpenMain() {
    d.reset();
    logic = std::make_unique<CVELDAR2Dlg>(engine, services);
    d = Open(*logic);
  }
  bool BoxesEnabled() {
    const bool enabled = d->Enabled(IDC_NODELETE);
    EXPECT_EQ(d->Enabled(IDC_NOFORCE), enabled);
    EXPECT_EQ(d->Enabled(IDC_NOTIME), enabled);
    return enabled;
  }

  std::unique_ptr<CVELDAR2Dlg> logic;
  std::unique_ptr<testing::DialogDriver> d;
};
VELDAR2_ON_EVERY_TOOLKIT(MainDialogTest);

// ---- What the dialog shows ----

TEST_P(MainDialogTest, ShowsTheEngineJob) {
  engine.sourcePath = "/data/docs";
  engine.backupDir = "/backup";
  engine.generationCount = 5;
  engine.noForce = 1;
  engine.noTime = 1;
  OpenMain();
  EXPECT_EQ(d->Caption(), "Veldar");
  EXPECT_EQ(d->Text(IDC_EDIT1), "/data/docs");
  EXPECT_EQ(d->Text(IDC_EDIT2), "/backup");
  EXPECT_EQ(d->Text(IDC_GENERATIONS), "5");
  EXPECT_FALSE(d->Checked(IDC_NODELETE));
  EXPECT_TRUE(d->Checked(IDC_NOFORCE));
  EXPECT_TRUE(d->Checked(IDC_NOTIME));
  // Checked means "never overwrite", and the label says so.
  EXPECT_EQ(d->Text(IDC_NOFORCE), "強制的に書きつぶさない (/NOFORCE)");
  EXPECT_EQ(d->Text(IDC_OK), "バックアップ");
  EXPECT_TRUE(d->IsDefault(IDC_OK));
}

// ---- The enabling rule and the generation field ----

TEST_P(MainDialogTest, OptionBoxesAreEnabledOnlyForZeroGenerations) {
  engine.generationCount = 0;
  OpenMain();
  EXPECT_TRUE(BoxesEnabled());
  d->Type(IDC_GENERATIONS, "4");
  EXPECT_FALSE(BoxesEnabled());
  EXPECT_EQ(logic->previousGenerations, 4u);

  engine.generationCount = 3;
  OpenMain();
  EXPECT_FALSE(BoxesEnabled());
  d->Type(IDC_GENERATIONS, "0");  // 3 straight to 0 in one edit
  EXPECT_TRUE(BoxesEnabled());
  EXPECT_TRUE(messages.shown.empty());
}

TEST_P(MainDialogTest, GenerationFieldIsValidatedAsTyped) {
  engine.generationCount = 3;
  OpenMain();
  d->Type(IDC_GENERATIONS, "999");
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(logic->generationValue, 999u);

  d->Type(IDC_GENERATIONS, "1000");
  EXPECT_EQ(messages.shown, std::vector<std::string>{"0 から 999 までの整数を入力してください。"});
  EXPECT_EQ(logic->generationValue, 1000u) << "an out-of-range number is left in the field";
  EXPECT_EQ(d->Focused(), IDC_GENERATIONS);

  d->Type(IDC_GENERATIONS, "0");
  EXPECT_TRUE(BoxesEnabled());
  d->Type(IDC_GENERATIONS, "");  // all digits deleted
  ASSERT_EQ(messages.shown.size(), 2u);
  EXPECT_EQ(messages.shown[1], "整数を入力してください。");
  EXPECT_EQ(logic->generationValue, 0u) << "a text that is no number keeps the previous value";
  EXPECT_TRUE(BoxesEnabled());
}

TEST_P(MainDialogTest, SpinStepsWithinZeroToNinetyNine) {
  engine.generationCount = 98;
  OpenMain();
  d->Step(IDC_SPIN, true);
  EXPECT_EQ(d->Text(IDC_GENERATIONS), "99");
  d->Step(IDC_SPIN, true);
  EXPECT_EQ(d->Text(IDC_GENERATIONS), "99");
  d->Type(IDC_GENERATIONS, "1");
  d->Step(IDC_SPIN, false);
  EXPECT_EQ(d->Text(IDC_GENERATIONS), "0");
  EXPECT_TRUE(BoxesEnabled()) << "a step is a change of the field";
  d->Step(IDC_SPIN, false);
  EXPECT_EQ(d->Text(IDC_GENERATIONS), "0");
  EXPECT_TRUE(messages.shown.empty());
}

// ---- Browse buttons ----

TEST_P(MainDialogTest, SourceBrowserOffersAFileOrAFolderUnlessTheCountIsZero) {
  engine.sourcePath = "/engine/source.txt";
  engine.generationCount = 3;
  OpenMain();
  d->Type(IDC_EDIT1, "/typed/but/not/used");
  services.menuAnswer = 0;  // a file
  services.fileAnswer = "/picked/report.doc";
  d->Click(IDC_BROWSE);
  ASSERT_EQ(services.menus.size(), 1u);
  EXPECT_EQ(services.menus[0].anchorId, IDC_BROWSE);
  EXPECT_EQ(services.menus[0].items.size(), 2u);
  ASSERT_EQ(services.files.size(), 1u);
  EXPECT_EQ(services.files[0].initialPath, "/engine/source.txt");
  EXPECT_EQ(services.files[0].filter, "すべてのファイル(*.*)|*.*||");
  EXPECT_EQ(d->Text(IDC_EDIT1), "/picked/report.doc");

  services.menuAnswer = 1;  // a folder, from the typed path
  services.folderAnswer = "/picked/docs";
  d->Click(IDC_BROWSE);
  ASSERT_EQ(services.folders.size(), 1u);
  EXPECT_EQ(services.folders[0].initialPath, "/picked/report.doc");
  EXPECT_EQ(d->Text(IDC_EDIT1), "/picked/docs");

  services.menuAnswer.reset();  // the menu dismissed: no picker
  d->Click(IDC_BROWSE);
  EXPECT_EQ(services.files.size() + services.folders.size(), 2u);

  d->Type(IDC_GENERATIONS, "0");  // mirrored straight: a folder only, no menu
  testing::SetEnv("VELDAR2_TEST_TOP", "/top");
  d->Type(IDC_EDIT1, "%VELDAR2_TEST_TOP%/typed");
  services.folderAnswer = "/picked/folder";
  d->Click(IDC_BROWSE);
  EXPECT_EQ(services.menus.size(), 3u);
  ASSERT_EQ(services.folders.size(), 2u);
  EXPECT_EQ(services.folders[1].title, "バックアップするホルダ");
  EXPECT_EQ(services.folders[1].initialPath, "/top/typed");
  EXPECT_EQ(d->Text(IDC_EDIT1), "/picked/folder");

  services.folderAnswer.reset();  // cancelled: nothing changes
  d->Click(IDC_BROWSE);
  EXPECT_EQ(d->Text(IDC_EDIT1), "/picked/folder");
  testing::SetEnv("VELDAR2_TEST_TOP", "");
}

TEST_P(MainDialogTest, DestinationBrowserStartsAtTheTypedFolderAndKeepsTheOtherEdits) {
  engine.generationCount = 3;
  OpenMain();
  d->Type(IDC_EDIT1, "/typed/source");
  d->Type(IDC_EDIT2, "/typed/backups");
  services.folderAnswer = "/picked/backups";
  d->Click(IDC_BROWSE_DEST);
  EXPECT_EQ(d->Text(IDC_EDIT2), "/picked/backups");
  EXPECT_EQ(d->Text(IDC_EDIT1), "/typed/source");
  ASSERT_EQ(services.folders.size(), 1u);
  EXPECT_EQ(services.folders[0].title, "バックアップ先のホルダ") << "not the source's title";
  EXPECT_EQ(services.folders[0].initialPath, "/typed/backups");
}

// ---- Closing saves the settings ----

TEST_P(MainDialogTest, CancelEscAndCloseStoreTheSameFiveValues) {
  const std::vector<std::function<void(testing::DialogDriver&)>> ways = {
      [](testing::DialogDriver& dialog) { dialog.Click(IDC_CANCEL); },
      [](testing::DialogDriver& dialog) { dialog.Escape(); },
      [](testing::DialogDriver& dialog) { dialog.CloseBox(); },
  };
  for (std::size_t way = 0; way < ways.size(); ++way) {
    settings.writes.clear();
    engine.sourcePath = "/loaded";
    engine.generationCount = 0;
    engine.successLog = 0;
    OpenMain();
    d->Type(IDC_EDIT1, "%HOME%/typed");
    d->Type(IDC_EDIT2, "/dest");
    d->Type(IDC_GENERATIONS, "0");
    d->Click(IDC_NODELETE);
    d->Click(IDC_NOTIME);
    ways[way](*d);
    EXPECT_FALSE(d->IsOpen()) << way;
    EXPECT_EQ(d->Result(), IDC_CANCEL) << way;
    EXPECT_EQ(settings.writes, (std::vector<std::string>{"DEFALUTFILES=0", "LASTFILE=%HOME%/typed", "LASTDIR=/dest",
                                                         "LASTOPT=101", "LOGOPT=01"}))
        << way;
    EXPECT_EQ(engine.sourcePath, "") << "the engine is reset";
    EXPECT_EQ(engine.successLog, 1);
  }
}

TEST_P(MainDialogTest, ClosingWithARefusedCountDoesNotStoreIt) {
  engine.generationCount = 3;
  OpenMain();
  d->Type(IDC_GENERATIONS, "5000");
  messages.shown.clear();
  d->CloseBox();
  EXPECT_EQ(messages.shown, std::vector<std::string>{"0 から 999 までの整数を入力してください。"});
  EXPECT_EQ(settings.values.count("SETTINGS/DEFALUTFILES"), 0u);
  EXPECT_EQ(settings.values["SETTINGS/LASTOPT"], "000");
}

// ---- Backup ----

class MainDialogRunTest : public MainDialogTest {
 protected:
  void SetUp() override {
    WriteFile(dir / "work/docs/a.txt", "alpha");
    WriteFile(dir / "work/docs/sub/b.txt", "beta");
    testing::MakeDirs(dir / "backups");
  }
};
VELDAR2_ON_EVERY_TOOLKIT(MainDialogRunTest);

TEST_P(MainDialogRunTest, BackupRunsOnAWorkerAndReportsCompletion) {
  engine.generationCount = 2;
  OpenMain();
  testing::SetEnv("VELDAR2_TEST_WORK", dir / "work");
  d->Type(IDC_EDIT1, "%VELDAR2_TEST_WORK%/docs");
  d->Type(IDC_EDIT2, dir / "backups");
  fault.calls.clear();

  d->Click(IDC_OK);
  EXPECT_EQ(messages.shown, std::vector<std::string>{"バックアップ完了しました。"});
  EXPECT_EQ(ReadFile(dir / "backups/docs_1/sub/b.txt"), "beta");
  std::vector<std::thread::id> copiedOn;
  for (const FaultInjector::Call& call : fault.calls) {
    if (call.op == OsOp::CopyFile) copiedOn.push_back(call.thread);
  }
  ASSERT_EQ(copiedOn.size(), 2u);
  EXPECT_NE(copiedOn[0], std::this_thread::get_id()) << "the run is not on the interface thread";
  const auto lines = testing::Lines(Log());
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines[0].find(" : Starting with Dialog OK button"), std::string::npos);
  // Expanded, and otherwise as typed ('/' stays '/' on Windows too).
  const std::string expanded = (dir / "work") + "/docs";
  EXPECT_EQ(engine.sourcePath, expanded) << "the engine gets the expanded path";
  EXPECT_EQ(settings.values["SETTINGS/LASTFILE"], expanded);
  EXPECT_TRUE(d->IsOpen());

  d->CloseBox();
  EXPECT_EQ(settings.values["SETTINGS/LASTFILE"], "%VELDAR2_TEST_WORK%/docs");
  testing::SetEnv("VELDAR2_TEST_WORK", "");
}

TEST_P(MainDialogRunTest, StoppedBackupSaysSoAndMakesNoGeneration) {
  engine.generationCount = 2;
  OpenMain();
  d->Type(IDC_EDIT1, dir / "work/docs");
  d->Type(IDC_EDIT2, dir / "backups");
  services.stopRuns = true;
  d->Click(IDC_OK);
  EXPECT_EQ(messages.shown, std::vector<std::string>{"バックアップを中止しました。世代は置き換えていません。"});
  EXPECT_NE(Log().find(CVELDAR2Engine::kCanceledLine), std::string::npos);
  EXPECT_FALSE(testing::Exists(dir / "backups/docs_1"));

  services.stopRuns = false;  // the next run carries on
  messages.shown.clear();
  d->Click(IDC_OK);
  EXPECT_EQ(messages.shown, std::vector<std::string>{"バックアップ完了しました。"});
  EXPECT_EQ(ReadFile(dir / "backups/docs_1/sub/b.txt"), "beta");
}

TEST_P(MainDialogRunTest, NoForceBoxAndFlagsReachTheEngine) {
  engine.generationCount = 0;
  OpenMain();
  d->Type(IDC_EDIT1, dir / "work/docs");
  d->Type(IDC_EDIT2, dir / "backups");
  d->Click(IDC_NOFORCE);
  WriteFile(dir / "backups/a.txt", "older copy");
  testing::SetMtime(dir / "backups/a.txt", 1000);  // older: would be overwritten in force mode
  d->Click(IDC_OK);
  EXPECT_EQ(engine.noForce, 1);
  EXPECT_EQ(engine.generationCount, 0);
  EXPECT_EQ(ReadFile(dir / "backups/a.txt"), "older copy");
}

TEST_P(MainDialogRunTest, RefusedJobShowsOnlyTheRunsMessage) {
  engine.generationCount = 2;
  OpenMain();
  d->Type(IDC_EDIT1, dir / "missing");
  d->Type(IDC_EDIT2, dir / "backups");
  d->Click(IDC_OK);
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0].rfind("パラメタの指定誤りです。[バックアップするファイル]\n", 0), 0u);
  EXPECT_EQ(services.runs, 0) << "no progress window stands behind the message";
  EXPECT_NE(Log().find("Starting with Dialog OK button"), std::string::npos) << "the log was closed";
}

TEST_P(MainDialogRunTest, RefusedGenerationValueRunsNothing) {
  OpenMain();
  d->Type(IDC_EDIT1, dir / "work/docs");
  d->Type(IDC_EDIT2, dir / "backups");
  d->Type(IDC_GENERATIONS, "abc");
  messages.shown.clear();
  d->Click(IDC_OK);
  EXPECT_EQ(messages.shown, std::vector<std::string>{"整数を入力してください。"});
  EXPECT_TRUE(testing::ListNames(dir / "backups").empty());
  EXPECT_FALSE(testing::Exists(environment.logDirOverride + "VELDAR2.LOG"));
}

TEST_P(MainDialogRunTest, FailuresPassedOverAreNotReportedAsCompletion) {
  engine.generationCount = 0;  // mirrored straight into the backup directory
  OpenMain();
  d->Type(IDC_EDIT1, dir / "work/docs");
  d->Type(IDC_EDIT2, dir / "backups");
  testing::MakeDirs(dir / "backups/old");  // vanished from the source
  fault.FailAt(OsOp::RemoveDir, "old", fault.Error(ErrorKind::kLocked));
  d->Click(IDC_OK);
  ASSERT_EQ(messages.shown.size(), 2u);
  EXPECT_NE(messages.shown[0].find("old"), std::string::npos) << messages.shown[0];
  EXPECT_EQ(messages.shown[1], "バックアップは終わりましたが、失敗した操作があります。詳しくはログを見てください。");
}

// A mirror straight into the backup folder (a count of 0 or 1) that would
// delete what the source lacks there says what and asks; Cancel changes
// nothing (no run, no log, no settings). With nothing to delete, or with
// generations, it asks nothing.
TEST_P(MainDialogRunTest, MirrorThatWouldDeleteAsksFirst) {
  const std::string sep(1, fault.Separator());
  struct Case {
    const char* name;
    int count;
    std::vector<std::string> extra;  // in the backup folder, beyond the source
    std::string question;            // its start; empty: none asked
  } cases[] = {
      {"a count of 1 over a folder of photos",
       1,
       {"photos-2019.tar", "old/x"},
       "書き込むディレクトリから、バックアップするディレクトリにないものを削除します（2 個）:\n  "},
      {"a count of 0, nothing the source lacks", 0, {}, ""},
      {"a count of 3 keeps the folder's own entries", 3, {"photos-2019.tar"}, ""},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string backups = dir / ("B" + std::to_string(++number));
    testing::MakeDirs(backups);
    for (const std::string& path : c.extra) WriteFile(backups + sep + path, "the user's");
    const auto before = testing::Contents(backups);
    engine.generationCount = c.count;
    for (const bool ok : {false, true}) {
      messages.asked.clear();
      messages.shown.clear();
      messages.answer = ok;
      settings.writes.clear();
      const std::string log = Log();
      OpenMain();
      d->Type(IDC_EDIT1, dir / "work/docs");
      d->Type(IDC_EDIT2, backups);
      d->Click(IDC_OK);
      if (c.question.empty()) {
        EXPECT_TRUE(messages.asked.empty());
        EXPECT_EQ(messages.shown, std::vector<std::string>{"バックアップ完了しました。"});
        for (const std::string& path : c.extra) EXPECT_TRUE(testing::Exists(backups + sep + path)) << path;
        break;
      }
      ASSERT_EQ(messages.asked.size(), 1u);
      EXPECT_EQ(messages.asked[0].rfind(c.question, 0), 0u) << messages.asked[0];
      for (const std::string& line : {backups + sep + "photos-2019.tar\n", backups + sep + "old" + sep + "\n"})
        EXPECT_NE(messages.asked[0].find(line), std::string::npos) << messages.asked[0];
      if (!ok) {
        EXPECT_EQ(testing::Contents(backups), before);
        EXPECT_TRUE(messages.shown.empty());
        EXPECT_TRUE(settings.writes.empty());
        EXPECT_EQ(Log(), log) << "nothing is logged";
      } else {
        EXPECT_EQ(messages.shown, std::vector<std::string>{"バックアップ完了しました。"});
        for (const std::string& path : c.extra) EXPECT_FALSE(testing::Exists(backups + sep + path)) << path;
        EXPECT_EQ(ReadFile(backups + sep + "sub" + sep + "b.txt"), "beta");
      }
    }
  }
}

// ---- Restore button ----

// A source that is gone is restored from the generations the backup folder
// holds under its name, a file's or a directory's, each one as it was.
TEST_P(MainDialogRunTest, GoneSourceIsRestoredFromEveryGeneration) {
  struct Case {
    const char* source;    // below work/
    const char* restored;  // what a restore makes in its folder
  } cases[] = {{"report.doc", "report.doc"}, {"docs", "docs"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    const std::string source = dir / ("work/" + std::string(c.source));
    engine.sourcePath = source;
    engine.backupDir = dir / "backups";
    engine.generationCount = 3;
    for (const char* version : {"one", "two", "three"}) {
      if (std::string(c.source) == "docs") {
        WriteFile(source + "/sub/" + version + ".txt", version);
      } else {
        WriteFile(source, version);
      }
      ASSERT_EQ(engine.Backup(), 1) << version;
      testing::WaitForNewTimestamps();
    }
    std::filesystem::rename(std::filesystem::u8path(source), std::filesystem::u8path(source + ".gone"));

    OpenMain();
    d->Type(IDC_EDIT1, source);
    d->Type(IDC_EDIT2, dir / "backups");
    messages.shown.clear();
    std::vector<std::string> restored;
    services.onModal = [&](testing::DialogDriver& modal, DialogLogic&) {
      for (int row = 0; row < static_cast<int>(modal.Rows(IDC_LIST).size()); ++row) {
        const std::string into = dir / ("R/" + std::string(c.source) + std::to_string(row));
        modal.SelectRow(IDC_LIST, row);
        modal.Type(IDC_EDIT1, into);
        modal.Click(IDC_OK);
        restored.push_back(into + fault.Separator() + c.restored);
      }
    };
    d->Click(IDC_RESTORE);
    ASSERT_EQ(restored.size(), 3u) << (messages.shown.empty() ? "" : messages.shown[0]);
    EXPECT_EQ(messages.shown, std::vector<std::string>(3, "レストア完了しました。"));
    std::set<std::string> versions;
    for (int row = 0; row < 3; ++row) {
      const std::string generation = dir / ("backups/" + FindGeneration(engine.generations, row)->name);
      if (std::string(c.source) == "docs") {
        // Everything but the generation's manifest, which stays with it.
        std::map<std::string, std::string> held = testing::Contents(generation);
        EXPECT_EQ(held.erase(".veldar2-manifest"), 1u);
        EXPECT_EQ(testing::Contents(restored[row]), held) << row;
        EXPECT_EQ(testing::Contents(restored[row]).size(), 6u - row) << "the newest holds most";
      } else {
        EXPECT_EQ(ReadFile(restored[row]), ReadFile(generation)) << row;
        versions.insert(ReadFile(restored[row]));
      }
    }
    // Every version came back (file generations are listed by when each was
    // made, which Wine does not keep apart: no order is assumed here).
    if (std::string(c.source) != "docs") {
      EXPECT_EQ(versions, (std::set<std::string>{"one", "two", "three"}));
    }
  }
}

TEST_P(MainDialogRunTest, RestoreUsesTheEngineCountNotTheField) {
  WriteFile(dir / "work/report.doc", "r");
  engine.generationCount = 0;
  engine.sourcePath = dir / "work/report.doc";
  engine.backupDir = dir / "backups";
  OpenMain();
  d->Type(IDC_GENERATIONS, "3");
  d->Click(IDC_RESTORE);
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0], "パラメタの指定誤りです。[世代数]");
  EXPECT_TRUE(services.modals.empty());
}

TEST_P(MainDialogRunTest, RestoreOpensTheRestoreDialogWithAFreshList) {
  WriteFile(dir / "backups/docs_1/a.txt", "a");
  WriteFile(dir / "backups/docs_2/a.txt", "a");
  engine.generationCount = 2;
  OpenMain();
  d->Type(IDC_EDIT1, dir / "work/docs");
  d->Type(IDC_EDIT2, dir / "backups");
  std::size_t rows = 0;
  services.onModal = [&](testing::DialogDriver& modal, DialogLogic& modalLogic) {
    EXPECT_NE(dynamic_cast<CVELDAR2Res*>(&modalLogic), nullptr);
    rows = modal.Rows(IDC_LIST).size();
  };
  d->Click(IDC_RESTORE);
  EXPECT_EQ(rows, 2u);
  EXPECT_EQ(engine.generations.size(), 2u);
  EXPECT_TRUE(messages.shown.empty());
}

// ---- Menu commands ----

TEST_P(MainDialogTest, LogMenuCommands) {
  OpenMain();
  WriteFile(environment.logDirOverride + "VELDAR2.LOG", "a line\n");

  d->Menu(ID_LOG_VIEW);
  EXPECT_EQ(services.opened, std::vector<std::string>{environment.logDirOverride + "VELDAR2.LOG"});

  messages.answer = false;
  d->Menu(ID_LOG_CLEAR);
  EXPECT_EQ(messages.asked, std::vector<std::string>{"ﾛｸﾞを消してよろしいですか？"});
  EXPECT_TRUE(testing::Exists(environment.logDirOverride + "VELDAR2.LOG"));
  messages.answer = true;
  d->Menu(ID_LOG_CLEAR);
  EXPECT_FALSE(testing::Exists(environment.logDirOverride + "VELDAR2.LOG"));

  services.onModal = [](testing::DialogDriver& modal, DialogLogic& modalLogic) {
    EXPECT_NE(dynamic_cast<CVELDAR2Logsize*>(&modalLogic), nullptr);
    modal.Type(IDC_EDIT1, "1000");
    modal.Click(IDC_SKIP_LOG);
    modal.Click(IDC_OK);
  };
  d->Menu(ID_LOG_SIZE);
  EXPECT_EQ(engine.logSizeLimit, 1000);
  EXPECT_EQ(engine.skipLog, 0);
  EXPECT_EQ(settings.values["SETTINGS/LOGSIZE"], "1000");
}

TEST_P(MainDialogTest, HelpOpensTheHelpPageAndAboutShowsTheBox) {
  services.helpPage = "/opt/veldar2/veldar2_help.html";
  OpenMain();
  d->Menu(ID_HELP);
  EXPECT_EQ(services.opened, std::vector<std::string>{"/opt/veldar2/veldar2_help.html"});

  std::string caption;
  services.onModal = [&](testing::DialogDriver& modal, DialogLogic& modalLogic) {
    EXPECT_NE(dynamic_cast<CVELDAR2About*>(&modalLogic), nullptr);
    caption = modal.Caption();
    modal.Click(IDC_OK);
    EXPECT_FALSE(modal.IsOpen());
  };
  d->Menu(IDM_ABOUTBOX);
  EXPECT_EQ(caption, "Veldar [ﾊﾞｰｼﾞｮﾝ情報]");
}

TEST(FileFilterTest, TypesComeInLabelPatternPairs) {
  struct Case {
    const char* filter;
    std::vector<FileType> types;
  };
  for (const Case& c : std::vector<Case>{{"すべてのファイル(*.*)|*.*||", {{"すべてのファイル(*.*)", "*.*"}}},
                                         {"Text|*.txt;*.log|All|*.*||", {{"Text", "*.txt;*.log"}, {"All", "*.*"}}},
                                         {"Text|*.txt|All||", {{"Text", "*.txt"}}},
                                         {"", {}}}) {
    EXPECT_EQ(ParseFileFilter(c.filter), c.types) << c.filter;
  }
}

}  // namespace
}  // namespace veldar
