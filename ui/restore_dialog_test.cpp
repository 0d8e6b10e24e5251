#include "ui/restore_dialog.h"

#include <cstdlib>
#include <ctime>

#include "ui/dialog_test_fixture.h"

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

class RestoreDialogTest : public testing::DialogTest {
 protected:
  RestoreDialogTest() {
    testing::SetEnv("TZ", "UTC");
    tzset();
    engine.backupDir = dir / "backups";
  }
  void OpenRestore() {
    d.reset();  // a window left open would detach the logic when it goes
    d = Open(logic);
  }

  CVELDAR2Res logic{engine, services};
  std::unique_ptr<testing::DialogDriver> d;
};
VELDAR2_ON_EVERY_TOOLKIT(RestoreDialogTest);

TEST_P(RestoreDialogTest, TwelveGenerationsAreListedNewestFirst) {
  // Listed in the order a directory search might return them.
  for (int number : {7, 0, 11, 3, 9, 1, 5, 10, 2, 8, 4, 6}) {
    engine.generations.push_back(Generation("docs_" + std::to_string(number + 1), number, true));
  }
  engine.generations.push_back(Generation("docs_with_a_rather_long_name_1", 12, true));
  OpenRestore();
  const auto rows = d->Rows(IDC_LIST);
  ASSERT_EQ(rows.size(), 13u);
  EXPECT_EQ(rows[0], "(-1) docs_1" + std::string(14, ' ') + "   05/02/04 09:19:55");
  EXPECT_EQ(rows[9].rfind("(-10) docs_10 ", 0), 0u);
  EXPECT_EQ(rows[12], "(-13) docs_with_a_rather_long_name_1   05/01/04 21:19:55");
  EXPECT_EQ(d->SelectedRow(IDC_LIST), 0) << "the newest is selected";
}

TEST_P(RestoreDialogTest, ShowsTheLastRestoreDirectory) {
  engine.restoreDir = "/last/used";
  OpenRestore();
  EXPECT_EQ(d->Text(IDC_EDIT1), "/last/used");
  EXPECT_EQ(d->Caption(), "Veldar");
}

// Nothing selected: the dialog says which to pick (or that there is none) and
// puts the keyboard on the list; no restore directory: it asks for one.
// Neither runs anything.
TEST_P(RestoreDialogTest, NothingSelectedOrNoDirectorySaysWhatIsMissing) {
  engine.sourcePath = dir / "work/report.doc";
  WriteFile(engine.sourcePath, "now");
  WriteFile(dir / "backups/report_1.doc_", "then");
  OpenRestore();  // no generations
  d->Click(IDC_OK);
  EXPECT_EQ(messages.shown, std::vector<std::string>{"レストアできる世代がありません。"});

  engine.generations = {Generation("report_1.doc_", 0, false)};
  OpenRestore();
  d->Type(IDC_EDIT1, dir / "R");
  d->SelectRow(IDC_LIST, -1);
  messages.shown.clear();
  d->Click(IDC_OK);
  EXPECT_EQ(messages.shown, std::vector<std::string>{"レストアする世代を選んでください。"});
  EXPECT_EQ(d->Focused(), IDC_LIST);
  EXPECT_FALSE(testing::Exists(fault.logDirOverride + "VELDAR2.LOG"));

  d->SelectRow(IDC_LIST, 0);
  d->Type(IDC_EDIT1, "");
  messages.shown.clear();
  d->Click(IDC_OK);
  EXPECT_EQ(messages.shown, std::vector<std::string>{"復元するディレクトリを入力してください。"});
  EXPECT_FALSE(testing::Exists(fault.logDirOverride + "VELDAR2.LOG"));
  EXPECT_TRUE(d->IsOpen());
}

TEST_P(RestoreDialogTest, FileGenerationIsRestoredUnderItsSourceName) {
  engine.sourcePath = dir / "work/data.tar.gz";
  WriteFile(engine.sourcePath, "now");
  WriteFile(dir / "backups/data_1.tar.gz_", "older");
  testing::WaitForNewTimestamps();
  WriteFile(dir / "backups/data_2.tar.gz_", "newest");
  ASSERT_EQ(engine.FindFileGenerations(), 1);  // data_2 is the newer
  OpenRestore();
  testing::SetEnv("VELDAR2_TEST_R", dir / "R");
  d->Type(IDC_EDIT1, "%VELDAR2_TEST_R%/out");
  d->SelectRow(IDC_LIST, 1);
  d->Click(IDC_OK);
  EXPECT_EQ(ReadFile(dir / "R/out/data.tar.gz"), "older");
  EXPECT_EQ(messages.shown, std::vector<std::string>{"レストア完了しました。"});
  EXPECT_EQ(engine.restoreDir, (dir / "R") + "/out") << "expanded, and otherwise as typed";
  EXPECT_EQ(d->Text(IDC_EDIT1), "%VELDAR2_TEST_R%/out") << "the edit keeps the text as typed";
  EXPECT_EQ(settings.values["SETTINGS/RESDIR"], (dir / "R") + "/out");
  EXPECT_TRUE(d->IsOpen()) << "the dialog stays open for the next restore";
  EXPECT_EQ(d->SelectedRow(IDC_LIST), 1);
  testing::SetEnv("VELDAR2_TEST_R", "");
}

TEST_P(RestoreDialogTest, StoppedRestoreSaysSo) {
  engine.sourcePath = dir / "work/data.tar.gz";
  WriteFile(engine.sourcePath, "now");
  WriteFile(dir / "backups/data_1.tar.gz_", "older");
  ASSERT_EQ(engine.FindFileGenerations(), 1);
  OpenRestore();
  d->Type(IDC_EDIT1, dir / "R");
  services.stopRuns = true;
  d->Click(IDC_OK);
  EXPECT_EQ(messages.shown, std::vector<std::string>{"レストアを中止しました。"});
  EXPECT_FALSE(testing::Exists(dir / "R/data.tar.gz"));
  EXPECT_TRUE(d->IsOpen());
}

TEST_P(RestoreDialogTest, BrowsePutsTheFolderIntoTheEdit) {
  OpenRestore();
  d->Type(IDC_EDIT1, "/typed/folder");
  services.folderAnswer = "/chosen/folder";
  d->Click(IDC_BROWSE);
  ASSERT_EQ(services.folders.size(), 1u);
  EXPECT_EQ(services.folders[0].title, "復元するホルダ");
  EXPECT_EQ(services.folders[0].initialPath, "/typed/folder");
  EXPECT_EQ(d->Text(IDC_EDIT1), "/chosen/folder");
  services.folderAnswer.reset();
  d->Click(IDC_BROWSE);
  EXPECT_EQ(d->Text(IDC_EDIT1), "/chosen/folder");
}

}  // namespace
}  // namespace veldar
