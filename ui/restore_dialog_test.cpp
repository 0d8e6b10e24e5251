#include "ui/restore_dialog.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <cstdlib>
#include <ctime>

#include "engine/engine.h"
#include "platform/fault_os.h"
#include "tests/test_util.h"
#include "ui/ui_test_util.h"

namespace veldar {
namespace {

using testing::ReadFile;
using testing::WriteFile;

constexpr std::int64_t kTime = 1083489595;  // 2004-05-02 09:19:55 UTC

CFileEntry Generation(const std::string& name, int number, bool directory) {
  CFileEntry entry;
  entry.name = name;
  entry.time = kTime - number * 3600;
  entry.generation = number;
  entry.isDirectory = directory;
  return entry;
}

class RestoreDialogTest : public ::testing::Test {
 protected:
  RestoreDialogTest() {
    testing::EnsureApplication();
    setenv("TZ", "UTC", 1);
    tzset();
    fault.logDirOverride = dir.path() + "/state/";
    engine.backupDir = dir / "backups";
  }
  void Open() {
    dialog = std::make_unique<CVELDAR2Res>(engine, services);
    dialog->show();
  }
  QLineEdit* DirEdit() { return static_cast<QLineEdit*>(dialog->GetDlgItem(1000)); }
  void Restore() { static_cast<QPushButton*>(dialog->GetDlgItem(1))->click(); }
  void Select(int row) { dialog->list()->setCurrentRow(row); }

  testing::TempDir dir;
  std::unique_ptr<Os> real = MakeSystemOs();
  FaultOs fault{*real};
  testing::RecordingMessages messages;
  testing::MemorySettings settings;
  CVELDAR2Engine engine{fault, messages, settings};
  testing::ScriptedServices services;
  std::unique_ptr<CVELDAR2Res> dialog;
};

TEST_F(RestoreDialogTest, TwelveGenerationsAreListedNewestFirst) {
  // Listed in the order a directory search might return them.
  for (int number : {7, 0, 11, 3, 9, 1, 5, 10, 2, 8, 4, 6}) {
    engine.generations.push_back(Generation("docs_" + std::to_string(number + 1), number, true));
  }
  engine.generations.push_back(Generation("docs_with_a_rather_long_name_1", 12, true));
  Open();
  QListWidget* list = dialog->list();
  ASSERT_EQ(list->count(), 13);
  EXPECT_EQ(list->item(0)->text(), "(-1) docs_1" + QString(14, ' ') + "   05/02/04 09:19:55");
  EXPECT_TRUE(list->item(9)->text().startsWith("(-10) docs_10 "));
  EXPECT_EQ(list->item(12)->text(), "(-13) docs_with_a_rather_long_name_1   05/01/04 21:19:55");
  EXPECT_FALSE(list->isSortingEnabled());
}

TEST_F(RestoreDialogTest, ShowsTheLastRestoreDirectory) {
  engine.restoreDir = "/last/used";
  Open();
  EXPECT_EQ(DirEdit()->text(), "/last/used");
  EXPECT_EQ(dialog->windowTitle(), "Veldar");
}

TEST_F(RestoreDialogTest, NothingSelectedDoesNothingAndNoDirectoryAsksForOne) {
  engine.sourcePath = dir / "work/report.doc";
  WriteFile(engine.sourcePath, "now");
  WriteFile(dir / "backups/report_1.doc_", "then");
  engine.generations = {Generation("report_1.doc_", 0, false)};
  Open();
  DirEdit()->setText(QString::fromStdString(dir / "R"));
  Restore();
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_FALSE(testing::Exists(fault.logDirOverride + "VELDAR2.LOG"));

  Select(0);
  DirEdit()->setText("");
  Restore();
  EXPECT_EQ(messages.shown, std::vector<std::string>{"復元するディレクトリを入力してください。"});
  EXPECT_FALSE(testing::Exists(fault.logDirOverride + "VELDAR2.LOG"));
  EXPECT_TRUE(dialog->isVisible());
}

TEST_F(RestoreDialogTest, FileGenerationIsRestoredUnderItsSourceName) {
  engine.sourcePath = dir / "work/data.tar.gz";
  WriteFile(engine.sourcePath, "now");
  WriteFile(dir / "backups/data_1.tar.gz_", "older");
  WriteFile(dir / "backups/data_2.tar.gz_", "newest");
  engine.generations = {Generation("data_1.tar.gz_", 1, false), Generation("data_2.tar.gz_", 0, false)};
  Open();
  setenv("VELDAR2_TEST_R", (dir / "R").c_str(), 1);
  DirEdit()->setText("%VELDAR2_TEST_R%/out");
  Select(1);
  Restore();
  EXPECT_EQ(ReadFile(dir / "R/out/data.tar.gz"), "older");
  EXPECT_EQ(messages.shown, std::vector<std::string>{"レストア完了しました。"});
  EXPECT_EQ(engine.restoreDir, dir / "R/out");
  EXPECT_EQ(DirEdit()->text(), "%VELDAR2_TEST_R%/out") << "the edit keeps the text as typed";
  EXPECT_EQ(settings.values["SETTINGS/RESDIR"], dir / "R/out");
  EXPECT_TRUE(dialog->isVisible()) << "the dialog stays open for the next restore";
  EXPECT_EQ(dialog->list()->currentRow(), 1);
  unsetenv("VELDAR2_TEST_R");
}

TEST_F(RestoreDialogTest, BrowsePutsTheFolderIntoTheEdit) {
  Open();
  services.folderAnswer = "/chosen/folder";
  static_cast<QPushButton*>(dialog->GetDlgItem(1004))->click();
  ASSERT_EQ(services.folders.size(), 1u);
  EXPECT_EQ(services.folders[0].title, "復元するホルダﾞ");
  EXPECT_EQ(DirEdit()->text(), "/chosen/folder");
  services.folderAnswer.reset();
  static_cast<QPushButton*>(dialog->GetDlgItem(1004))->click();
  EXPECT_EQ(DirEdit()->text(), "/chosen/folder");
}

}  // namespace
}  // namespace veldar
