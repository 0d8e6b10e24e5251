#include "ui/restore_dialog.h"

#include <cstdlib>
#include <ctime>
#include <functional>

#include "engine/restore.h"
#include "engine/verify_marks.h"
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

// A generation whose last verify found it wrong is marked in the list; the
// others, those without a manifest among them, are not.
TEST_P(RestoreDialogTest, GenerationThatFailedItsLastVerifyIsMarked) {
  for (int number : {0, 1, 2}) {
    engine.generations.push_back(Generation("docs_" + std::to_string(number + 1), number, true));
    testing::MakeDirs(engine.backupDir + "/docs_" + std::to_string(number + 1));
  }
  // Each run writes its manifest at its own time.
  for (int number : {1, 2}) {
    const std::string manifest = engine.backupDir + "/docs_" + std::to_string(number) + "/.veldar2-manifest";
    WriteFile(manifest, "manifest");
    testing::SetMtime(manifest, kTime - number * 3600);
  }
  {
    VerifyMarks marks(settings, engine.os.Paths(), engine.backupDir);
    std::unique_ptr<OsDir> backup;
    ASSERT_TRUE(engine.os.OpenDir(engine.backupDir, true, &backup).ok());
    for (int number : {1, 2}) marks.Record(GenerationIdentity(*backup, engine.generations[number]), false);
    marks.Save();
  }
  OpenRestore();
  const auto rows = d->Rows(IDC_LIST);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], GenerationRow(engine.generations[0]));
  EXPECT_EQ(rows[1], GenerationRow(engine.generations[1]) + "   ［前回の確認で問題あり］");
  EXPECT_EQ(rows[2], GenerationRow(engine.generations[2]));
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
  EXPECT_FALSE(testing::Exists(environment.logDirOverride + "VELDAR2.LOG"));

  d->SelectRow(IDC_LIST, 0);
  d->Type(IDC_EDIT1, "");
  messages.shown.clear();
  d->Click(IDC_OK);
  EXPECT_EQ(messages.shown, std::vector<std::string>{"復元するディレクトリを入力してください。"});
  EXPECT_FALSE(testing::Exists(environment.logDirOverride + "VELDAR2.LOG"));
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

// A restore that would delete what the folder restored to holds beyond the
// generation, or put the generation's files over newer ones, says what and
// asks; Cancel leaves everything as it was, OK restores. A restore that
// takes nothing from the user asks nothing.
TEST_P(RestoreDialogTest, RestoreThatWouldDeleteOrReplaceNewerFilesAsksFirst) {
  WriteFile(dir / "backups/docs_1/a.txt", "generation");
  WriteFile(dir / "backups/docs_1/sub/b.txt", "b");
  testing::SetMtime(dir / "backups/docs_1/a.txt", kTime);
  engine.sourcePath = dir / "work/docs";
  ASSERT_EQ(engine.FindSourceGenerations(), 1);
  const std::string sep(1, fault.Separator());
  struct Case {
    const char* name;
    std::function<void(const std::string& target)> prepare;
    std::string heading;  // of the question; empty: none asked
    std::string lines;    // what it lists, `target` for the restore's target
  } cases[] = {
      {"an entry the generation lacks", [](const std::string& t) { WriteFile(t + "/new-unsaved.txt", "work"); },
       "復元先から、世代にないものを削除します（1 個）:", "target" + sep + "new-unsaved.txt\n"},
      {"six folders the generation lacks",
       [](const std::string& t) {
         for (int i = 0; i < 6; ++i) WriteFile(t + "/old" + std::to_string(i) + "/x", "x");
       },
       "復元先から、世代にないものを削除します（6 個）:", sep + "\n  ほか 1 個\n"},
      {"a file newer than the generation's",
       [](const std::string& t) {
         WriteFile(t + "/a.txt", "edited since");
         testing::SetMtime(t + "/a.txt", kTime + 60);
       },
       "復元先の、世代のものより新しいファイルを置き換えます（1 個）:", "target" + sep + "a.txt\n"},
      {"an older file",
       [](const std::string& t) {
         WriteFile(t + "/a.txt", "older");
         testing::SetMtime(t + "/a.txt", kTime - 60);
       },
       "", ""},
      {"nothing", [](const std::string&) {}, "", ""},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string into = dir / ("R" + std::to_string(++number));
    const std::string target = into + sep + "docs";
    testing::MakeDirs(into);
    c.prepare(target);
    const auto before = testing::Contents(into);
    for (const bool ok : {false, true}) {
      messages.asked.clear();
      messages.shown.clear();
      messages.answer = ok;
      const std::string log = Log();
      OpenRestore();
      d->Type(IDC_EDIT1, into);
      d->Click(IDC_OK);
      if (c.heading.empty()) {
        EXPECT_TRUE(messages.asked.empty());
        EXPECT_EQ(testing::Contents(target), testing::Contents(dir / "backups/docs_1"));
        break;
      }
      ASSERT_EQ(messages.asked.size(), 1u);
      const std::string& asked = messages.asked[0];
      EXPECT_EQ(asked.rfind(c.heading + "\n  " + target, 0), 0u) << asked;
      std::string lines = c.lines;
      if (lines.rfind("target", 0) == 0) lines.replace(0, 6, target);
      EXPECT_NE(asked.find(lines), std::string::npos) << asked;
      EXPECT_NE(asked.find("続けますか？キャンセルすると何も変更しません。"), std::string::npos);
      if (!ok) {
        EXPECT_EQ(testing::Contents(into), before);
        EXPECT_TRUE(messages.shown.empty());
        EXPECT_EQ(settings.values.count("SETTINGS/RESDIR"), 0u);
        EXPECT_EQ(Log(), log) << "nothing is logged";
      } else {
        EXPECT_EQ(messages.shown, std::vector<std::string>{"レストア完了しました。"});
        EXPECT_EQ(testing::Contents(target), testing::Contents(dir / "backups/docs_1"));
      }
    }
    settings.values.clear();
  }
}

// The folder of the selected generation opens in the desktop's file manager,
// from the button or a double click on the row: a directory generation's own
// folder, the backup folder for a file generation.
TEST_P(RestoreDialogTest, OpenFolderShowsTheSelectedGenerationsFolder) {
  WriteFile(dir / "backups/docs_1/a.txt", "a");
  testing::WaitForNewTimestamps();
  WriteFile(dir / "backups/docs_2/a.txt", "a");
  WriteFile(dir / "backups/report_1.doc_", "r");
  engine.sourcePath = dir / "work/docs";
  ASSERT_EQ(engine.FindSourceGenerations(), 1);
  OpenRestore();
  d->SelectRow(IDC_LIST, 1);
  d->Click(IDC_OPEN_FOLDER);
  d->DoubleClickRow(IDC_LIST, 0);
  EXPECT_EQ(services.opened, (std::vector<std::string>{dir / "backups/docs_1", dir / "backups/docs_2"}));
  EXPECT_EQ(d->SelectedRow(IDC_LIST), 0);

  engine.sourcePath = dir / "work/report.doc";
  ASSERT_EQ(engine.FindSourceGenerations(), 1);
  OpenRestore();
  services.opened.clear();
  d->DoubleClickRow(IDC_LIST, 0);
  EXPECT_EQ(services.opened, std::vector<std::string>{dir / "backups"});
  EXPECT_TRUE(messages.shown.empty());
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
