#include "ui/main_dialog.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <cerrno>
#include <cstdlib>
#include <thread>

#include "engine/engine.h"
#include "platform/fault_os.h"
#include "tests/test_util.h"
#include "ui/about_dialog.h"
#include "ui/logsize_dialog.h"
#include "ui/restore_dialog.h"
#include "ui/ui_test_util.h"
#include "ui/up_down.h"

namespace veldar {
namespace {

using testing::ReadFile;
using testing::WriteFile;

class MainDialogTest : public ::testing::Test {
 protected:
  MainDialogTest() {
    testing::EnsureApplication();
    fault.logDirOverride = dir.path() + "/state/";
  }
  // Opens the dialog on the engine as start-up left it.
  void Open() {
    dialog = std::make_unique<CVELDAR2Dlg>(engine, services);
    dialog->show();
  }
  QLineEdit* Edit(int id) { return static_cast<QLineEdit*>(dialog->GetDlgItem(id)); }
  QCheckBox* Check(int id) { return static_cast<QCheckBox*>(dialog->GetDlgItem(id)); }
  QPushButton* Button(int id) { return static_cast<QPushButton*>(dialog->GetDlgItem(id)); }
  bool BoxesEnabled() {
    const bool enabled = Check(1014)->isEnabled();
    EXPECT_EQ(Check(1015)->isEnabled(), enabled);
    EXPECT_EQ(Check(1016)->isEnabled(), enabled);
    return enabled;
  }
  std::string Log() { return ReadFile(fault.logDirOverride + "VELDAR2.LOG"); }

  testing::TempDir dir;
  std::unique_ptr<Os> real = MakeSystemOs();
  FaultOs fault{*real};
  testing::RecordingMessages messages;
  testing::MemorySettings settings;
  CVELDAR2Engine engine{fault, messages, settings};
  testing::ScriptedServices services;
  std::unique_ptr<CVELDAR2Dlg> dialog;
};

// ---- What the dialog shows ----

TEST_F(MainDialogTest, ShowsTheEngineJob) {
  engine.sourcePath = "/data/docs";
  engine.backupDir = "/backup";
  engine.generationCount = 5;
  engine.noForce = 1;
  engine.noTime = 1;
  Open();
  EXPECT_EQ(dialog->windowTitle(), "Veldar");
  EXPECT_EQ(Edit(1000)->text(), "/data/docs");
  EXPECT_EQ(Edit(1001)->text(), "/backup");
  EXPECT_EQ(Edit(1006)->text(), "5");
  EXPECT_FALSE(Check(1014)->isChecked());
  EXPECT_TRUE(Check(1015)->isChecked());
  EXPECT_TRUE(Check(1016)->isChecked());
  EXPECT_EQ(Check(1015)->text(), "強制的に書きつぶす (/FORCE)");
  EXPECT_EQ(Button(1)->text(), "バックアップ");
  EXPECT_TRUE(Button(1)->isDefault());
}

TEST_F(MainDialogTest, TabOrderIsTheTemplateOrder) {
  Open();
  std::vector<int> order;
  QWidget* start = Edit(1000);
  QWidget* widget = start;
  do {
    bool isId = false;
    const int id = widget->objectName().toInt(&isId);
    if (isId && id != 0 && widget->focusPolicy() & Qt::TabFocus) order.push_back(id);
    widget = widget->nextInFocusChain();
  } while (widget != start);
  EXPECT_EQ(order, (std::vector<int>{1000, 1004, 1001, 1005, 1006, 1014, 1015, 1003, 1, 2, 1016}));
}

// ---- The enabling rule and the generation field ----

TEST_F(MainDialogTest, OptionBoxesAreEnabledOnlyForZeroGenerations) {
  engine.generationCount = 0;
  Open();
  EXPECT_TRUE(BoxesEnabled());
  Edit(1006)->setText("4");
  EXPECT_FALSE(BoxesEnabled());
  EXPECT_EQ(dialog->previousGenerations, 4u);

  dialog.reset();
  engine.generationCount = 3;
  Open();
  EXPECT_FALSE(BoxesEnabled());
  Edit(1006)->setText("0");  // 3 straight to 0 in one edit
  EXPECT_TRUE(BoxesEnabled());
  EXPECT_TRUE(messages.shown.empty());
}

TEST_F(MainDialogTest, GenerationFieldIsValidatedAsTyped) {
  engine.generationCount = 3;
  Open();
  Edit(1006)->setText("999");
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(dialog->generationValue, 999u);

  Edit(1006)->setText("1000");
  EXPECT_EQ(messages.shown, std::vector<std::string>{"0 から 999 までの整数を入力してください。"});
  EXPECT_EQ(dialog->generationValue, 1000u) << "an out-of-range number is left in the field";
  EXPECT_EQ(dialog->focusWidget(), Edit(1006));

  Edit(1006)->setText("0");
  EXPECT_TRUE(BoxesEnabled());
  Edit(1006)->setText("");  // all digits deleted
  ASSERT_EQ(messages.shown.size(), 2u);
  EXPECT_EQ(messages.shown[1], "整数を入力してください。");
  EXPECT_EQ(dialog->generationValue, 0u) << "a text that is no number keeps the previous value";
  EXPECT_TRUE(BoxesEnabled());
}

TEST_F(MainDialogTest, SpinStepsWithinZeroToNinetyNine) {
  engine.generationCount = 98;
  Open();
  CUpDownCtrl* spin = dialog->spin();
  EXPECT_EQ(spin->Lower(), 0);
  EXPECT_EQ(spin->Upper(), 99);
  spin->upButton()->click();
  EXPECT_EQ(Edit(1006)->text(), "99");
  spin->upButton()->click();
  EXPECT_EQ(Edit(1006)->text(), "99");
  Edit(1006)->setText("1");
  QTest::keyClick(Edit(1006), Qt::Key_Down);
  EXPECT_EQ(Edit(1006)->text(), "0");
  EXPECT_TRUE(BoxesEnabled()) << "a step is a change of the field";
  spin->downButton()->click();
  EXPECT_EQ(Edit(1006)->text(), "0");
  EXPECT_TRUE(messages.shown.empty());
}

// ---- Browse buttons ----

TEST_F(MainDialogTest, SourceBrowserIsAFilePickerUnlessTheCountIsZero) {
  engine.sourcePath = "/engine/source.txt";
  engine.generationCount = 3;
  Open();
  Edit(1000)->setText("/typed/but/not/used");
  services.fileAnswer = "/picked/report.doc";
  Button(1004)->click();
  ASSERT_EQ(services.files.size(), 1u);
  EXPECT_EQ(services.files[0].initialPath, "/engine/source.txt");
  EXPECT_TRUE(services.files[0].filter.startsWith("すべてのファイル(*.*)"));
  EXPECT_EQ(Edit(1000)->text(), "/picked/report.doc");
  EXPECT_TRUE(services.folders.empty());

  Edit(1006)->setText("0");
  services.folderAnswer = "/picked/folder";
  Button(1004)->click();
  ASSERT_EQ(services.folders.size(), 1u);
  EXPECT_EQ(services.folders[0].title, "バックアップするホルダﾞ");
  EXPECT_EQ(Edit(1000)->text(), "/picked/folder");
  EXPECT_EQ(services.files.size(), 1u);

  services.folderAnswer.reset();  // cancelled: nothing changes
  Button(1004)->click();
  EXPECT_EQ(Edit(1000)->text(), "/picked/folder");
}

TEST_F(MainDialogTest, DestinationBrowserKeepsTheOtherEdits) {
  engine.generationCount = 3;
  Open();
  Edit(1000)->setText("/typed/source");
  services.folderAnswer = "/picked/backups";
  Button(1005)->click();
  EXPECT_EQ(Edit(1001)->text(), "/picked/backups");
  EXPECT_EQ(Edit(1000)->text(), "/typed/source");
  EXPECT_EQ(services.folders[0].title, "バックアップするホルダﾞ");
}

// ---- Closing saves the settings ----

TEST_F(MainDialogTest, CancelEscAndCloseStoreTheSameFiveValues) {
  const std::vector<std::function<void(CVELDAR2Dlg&)>> ways = {
      [](CVELDAR2Dlg& d) { static_cast<QPushButton*>(d.GetDlgItem(2))->click(); },
      [](CVELDAR2Dlg& d) { QTest::keyClick(&d, Qt::Key_Escape); },
      [](CVELDAR2Dlg& d) { d.close(); },
  };
  for (std::size_t way = 0; way < ways.size(); ++way) {
    settings.writes.clear();
    engine.sourcePath = "/loaded";
    engine.generationCount = 0;
    engine.successLog = 0;
    Open();
    Edit(1000)->setText("%HOME%/typed");
    Edit(1001)->setText("/dest");
    Edit(1006)->setText("0");
    Check(1014)->setChecked(true);
    Check(1016)->setChecked(true);
    ways[way](*dialog);
    EXPECT_FALSE(dialog->isVisible()) << way;
    EXPECT_EQ(dialog->result(), QDialog::Rejected) << way;
    EXPECT_EQ(settings.writes, (std::vector<std::string>{"DEFALUTFILES=0", "LASTFILE=%HOME%/typed",
                                                         "LASTDIR=/dest", "LASTOPT=101", "LOGOPT=01"}))
        << way;
    EXPECT_EQ(engine.sourcePath, "") << "the engine is reset";
    EXPECT_EQ(engine.successLog, 1);
    dialog.reset();
  }
}

TEST_F(MainDialogTest, ClosingWithARefusedCountDoesNotStoreIt) {
  engine.generationCount = 3;
  Open();
  Edit(1006)->setText("5000");
  messages.shown.clear();
  dialog->close();
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

TEST_F(MainDialogRunTest, BackupRunsOnAWorkerAndReportsCompletion) {
  engine.generationCount = 2;
  Open();
  setenv("VELDAR2_TEST_WORK", (dir / "work").c_str(), 1);
  Edit(1000)->setText("%VELDAR2_TEST_WORK%/docs");
  Edit(1001)->setText(QString::fromStdString(dir / "backups"));
  std::vector<std::thread::id> copiedOn;
  engine.onFileCopied = [&](const std::string&, std::uint64_t) { copiedOn.push_back(std::this_thread::get_id()); };

  Button(1)->click();
  EXPECT_EQ(messages.shown, std::vector<std::string>{"バックアップ完了しました。"});
  EXPECT_EQ(ReadFile(dir / "backups/docs_1/sub/b.txt"), "beta");
  ASSERT_EQ(copiedOn.size(), 2u);
  EXPECT_NE(copiedOn[0], std::this_thread::get_id()) << "the run is not on the interface thread";
  EXPECT_TRUE(engine.onFileCopied) << "the progress window gives the callback back";
  const auto lines = testing::Lines(Log());
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines[0].find(" : Starting with Dialog OK button"), std::string::npos);
  EXPECT_EQ(engine.sourcePath, dir / "work/docs") << "the engine gets the expanded path";
  EXPECT_EQ(settings.values["SETTINGS/LASTFILE"], dir / "work/docs");
  EXPECT_TRUE(dialog->isVisible());

  dialog->close();
  EXPECT_EQ(settings.values["SETTINGS/LASTFILE"], "%VELDAR2_TEST_WORK%/docs");
  unsetenv("VELDAR2_TEST_WORK");
}

TEST_F(MainDialogRunTest, NoForceBoxAndFlagsReachTheEngine) {
  engine.generationCount = 0;
  Open();
  Edit(1000)->setText(QString::fromStdString(dir / "work/docs"));
  Edit(1001)->setText(QString::fromStdString(dir / "backups"));
  Check(1015)->setChecked(true);
  WriteFile(dir / "backups/a.txt", "older copy");
  testing::SetMtime(dir / "backups/a.txt", 1000);  // older: would be overwritten in force mode
  Button(1)->click();
  EXPECT_EQ(engine.noForce, 1);
  EXPECT_EQ(engine.generationCount, 0);
  EXPECT_EQ(ReadFile(dir / "backups/a.txt"), "older copy");
}

TEST_F(MainDialogRunTest, RefusedJobShowsOnlyTheRunsMessage) {
  engine.generationCount = 2;
  Open();
  Edit(1000)->setText(QString::fromStdString(dir / "missing"));
  Edit(1001)->setText(QString::fromStdString(dir / "backups"));
  Button(1)->click();
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0].rfind("パラメタの指定誤りです。[バックアップするファイル]\n", 0), 0u);
  EXPECT_NE(Log().find("Starting with Dialog OK button"), std::string::npos) << "the log was closed";
}

TEST_F(MainDialogRunTest, RefusedGenerationValueRunsNothing) {
  Open();
  Edit(1000)->setText(QString::fromStdString(dir / "work/docs"));
  Edit(1001)->setText(QString::fromStdString(dir / "backups"));
  Edit(1006)->setText("abc");
  messages.shown.clear();
  Button(1)->click();
  EXPECT_EQ(messages.shown, std::vector<std::string>{"整数を入力してください。"});
  EXPECT_TRUE(testing::ListNames(dir / "backups").empty());
  EXPECT_FALSE(testing::Exists(fault.logDirOverride + "VELDAR2.LOG"));
}

TEST_F(MainDialogRunTest, FailuresPassedOverAreNotReportedAsCompletion) {
  engine.generationCount = 0;  // mirrored straight into the backup directory
  Open();
  Edit(1000)->setText(QString::fromStdString(dir / "work/docs"));
  Edit(1001)->setText(QString::fromStdString(dir / "backups"));
  testing::MakeDirs(dir / "backups/old");  // vanished from the source
  fault.FailAt(OsOp::RemoveDir, "old", EBUSY);
  Button(1)->click();
  ASSERT_EQ(messages.shown.size(), 2u);
  EXPECT_NE(messages.shown[0].find("old"), std::string::npos) << messages.shown[0];
  EXPECT_EQ(messages.shown[1], "バックアップは終わりましたが、失敗した操作があります。詳しくはログを見てください。");
}

// ---- Restore button ----

TEST_F(MainDialogRunTest, RestoreUsesTheEngineCountNotTheField) {
  WriteFile(dir / "work/report.doc", "r");
  engine.generationCount = 0;
  engine.sourcePath = dir / "work/report.doc";
  engine.backupDir = dir / "backups";
  Open();
  Edit(1006)->setText("3");
  Button(1003)->click();
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0], "パラメタの指定誤りです。[世代数]");
  EXPECT_TRUE(services.modals.empty());
}

TEST_F(MainDialogRunTest, RestoreOpensTheRestoreDialogWithAFreshList) {
  WriteFile(dir / "backups/docs_1/a.txt", "a");
  WriteFile(dir / "backups/docs_2/a.txt", "a");
  engine.generationCount = 2;
  Open();
  Edit(1000)->setText(QString::fromStdString(dir / "work/docs"));
  Edit(1001)->setText(QString::fromStdString(dir / "backups"));
  int rows = -1;
  services.onModal = [&](QDialog& modal) {
    auto* restore = dynamic_cast<CVELDAR2Res*>(&modal);
    EXPECT_NE(restore, nullptr);
    if (restore) {
      restore->show();
      rows = restore->list()->count();
    }
    return static_cast<int>(QDialog::Rejected);
  };
  Button(1003)->click();
  EXPECT_EQ(rows, 2);
  EXPECT_EQ(engine.generations.size(), 2u);
  EXPECT_TRUE(messages.shown.empty());
}

// ---- Menu commands ----

TEST_F(MainDialogTest, LogMenuCommands) {
  Open();
  WriteFile(fault.logDirOverride + "VELDAR2.LOG", "a line\n");

  dialog->MenuCommand(ID_LOG_VIEW)->trigger();
  EXPECT_EQ(services.opened, std::vector<std::string>{fault.logDirOverride + "VELDAR2.LOG"});

  messages.answer = false;
  dialog->MenuCommand(ID_LOG_CLEAR)->trigger();
  EXPECT_EQ(messages.asked, std::vector<std::string>{"ﾛｸﾞを消してよろしいですか？"});
  EXPECT_TRUE(testing::Exists(fault.logDirOverride + "VELDAR2.LOG"));
  messages.answer = true;
  dialog->MenuCommand(ID_LOG_CLEAR)->trigger();
  EXPECT_FALSE(testing::Exists(fault.logDirOverride + "VELDAR2.LOG"));

  services.onModal = [](QDialog& modal) {
    auto* size = dynamic_cast<CVELDAR2Logsize*>(&modal);
    EXPECT_NE(size, nullptr);
    if (!size) return static_cast<int>(QDialog::Rejected);
    size->show();
    static_cast<QLineEdit*>(size->GetDlgItem(1000))->setText("1000");
    static_cast<QCheckBox*>(size->GetDlgItem(1013))->setChecked(false);
    static_cast<QPushButton*>(size->GetDlgItem(1))->click();
    return size->result();
  };
  dialog->MenuCommand(ID_LOG_SIZE)->trigger();
  EXPECT_EQ(engine.logSizeLimit, 1000);
  EXPECT_EQ(engine.skipLog, 0);
  EXPECT_EQ(settings.values["SETTINGS/LOGSIZE"], "1000");
}

TEST_F(MainDialogTest, BringBackUnminimisesTheWindow) {
  Open();
  dialog->showMinimized();
  ASSERT_TRUE(dialog->isMinimized());
  dialog->BringBack();
  EXPECT_FALSE(dialog->isMinimized());
  EXPECT_TRUE(dialog->isVisible());
}

TEST_F(MainDialogTest, HelpOpensThePageBesideTheProgramAndAboutShowsTheBox) {
  Open();
  dialog->MenuCommand(ID_HELP)->trigger();
  ASSERT_EQ(services.opened.size(), 1u);
  const QFileInfo page(QString::fromStdString(services.opened[0]));
  EXPECT_EQ(page.fileName(), "veldar2_help.html");
  EXPECT_TRUE(page.exists()) << services.opened[0];
  EXPECT_EQ(dialog->MenuCommand(ID_HELP)->shortcut(), QKeySequence(QKeySequence::HelpContents));

  QString caption;
  services.onModal = [&](QDialog& modal) {
    EXPECT_NE(dynamic_cast<CVELDAR2About*>(&modal), nullptr);
    caption = modal.windowTitle();
    return static_cast<int>(QDialog::Accepted);
  };
  dialog->MenuCommand(IDM_ABOUTBOX)->trigger();
  EXPECT_EQ(caption, "Veldar [ﾊﾞｰｼﾞｮﾝ情報]");
}

}  // namespace
}  // namespace veldar
