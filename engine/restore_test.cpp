#include "engine/restore.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>

#include "testing/fault_injector.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::Exists;
using testing::IsDir;
using testing::ListNames;
using testing::ReadFile;
using testing::WriteFile;

CFileEntry Generation(const std::string& name, std::int64_t time, int number, bool directory = false) {
  CFileEntry entry;
  entry.name = name;
  entry.time = time;
  entry.generation = number;
  entry.isDirectory = directory;
  entry.kind = directory ? EntryKind::Directory : EntryKind::File;
  return entry;
}

// 2004-05-02 09:19:55 UTC.
constexpr std::int64_t kTime = 1083489595;

// A restore as the dialog makes it: `RunRestore`, then its message shown.
// Returns the result's `ok`.
int RestoreGeneration(CVELDAR2Engine& engine, int number, const RunControl& control = RunControl()) {
  const RestoreResult result = RunRestore(engine, number, control);
  engine.messages.Show(result.message);
  return result.ok;
}

// ---- The restore list's rows ----

class GenerationRowTest : public ::testing::Test {
 protected:
  GenerationRowTest() { testing::SetEnv("TZ", "UTC"); }
  std::unique_ptr<Os> os = MakeSystemOs();
};

TEST_F(GenerationRowTest, FormatPadsShortNamesAndKeepsLongOnesWhole) {
  EXPECT_EQ(GenerationRow(Generation("report_1.doc_", kTime, 0)), "(-1) report_1.doc_          05/02/04 09:19:55");
  const std::string twenty(20, 'n');
  EXPECT_EQ(GenerationRow(Generation(twenty, kTime, 4)), "(-5) " + twenty + "   05/02/04 09:19:55");
  const std::string longName = "a_rather_long_directory_name_7";
  EXPECT_EQ(GenerationRow(Generation(longName, kTime, 11)), "(-12) " + longName + "   05/02/04 09:19:55");
}

TEST_F(GenerationRowTest, JapaneseNamesArePaddedByCharacters) {
  // Six characters, eighteen bytes: padded with fourteen blanks, not two.
  EXPECT_EQ(GenerationRow(Generation("書類フォルダ_1", kTime, 0)),
            "(-1) 書類フォルダ_1" + std::string(12, ' ') + "   05/02/04 09:19:55");
}

TEST_F(GenerationRowTest, TimeThatCannotBeConvertedGivesAnEmptyText) {
  EXPECT_EQ(GenerationRow(Generation("docs_1", LLONG_MAX, 0)), "(-1) docs_1" + std::string(14, ' ') + "   ");
}

TEST_F(GenerationRowTest, RecordsNumberedOutsideTheListGetNoRow) {
  std::vector<CFileEntry> list = {Generation("docs_1", kTime, 0, true), Generation("docs_2", kTime, -1, true),
                                  Generation("docs_3", kTime, 7, true)};
  const auto rows = GenerationRows(list);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].rfind("(-1) docs_1", 0), 0u);
  EXPECT_TRUE(GenerationRows({}).empty());
}

// ---- Target names ----

TEST(RestoreNameTest, DirectoryGenerations) {
  EXPECT_EQ(DirRestoreName("docs_2"), "docs");
  EXPECT_EQ(DirRestoreName("my_docs_1"), "my_docs");
  EXPECT_EQ(DirRestoreName("docs_backup"), "docs");
  // Without a stem the restore directory itself would be the target.
  EXPECT_EQ(DirRestoreName("docs"), "");
  EXPECT_EQ(DirRestoreName("_1"), "");
  EXPECT_EQ(DirRestoreName(""), "");
}

TEST(RestoreNameTest, FileGenerations) {
  EXPECT_EQ(FileRestoreName("report_3.doc_", "report.doc"), "report.doc");
  EXPECT_EQ(FileRestoreName("data_1.tar.gz_", "data.tar.gz"), "data.tar.gz");
  EXPECT_EQ(FileRestoreName("my_notes_2.txt_", "my_notes.txt"), "my_notes.txt");
  EXPECT_EQ(FileRestoreName("report_1._", "report."), "report.");
  // A source without a dot: the extension part alone, not ".README".
  EXPECT_EQ(FileRestoreName("_1.README_", "README"), "README");
  // A dot file makes the same generation name; its source tells them apart.
  EXPECT_EQ(FileRestoreName("_1.bashrc_", ".bashrc"), ".bashrc");
  EXPECT_EQ(FileRestoreName("_1.bashrc_", "bashrc"), "bashrc");
  // Names without the generation form have no target.
  EXPECT_EQ(FileRestoreName("report_1.doc", "report.doc"), "");
  EXPECT_EQ(FileRestoreName("report1.doc_", "report.doc"), "");
  EXPECT_EQ(FileRestoreName("nodot_", "nodot"), "");
  EXPECT_EQ(FileRestoreName("_1._", "x"), "");
}

// ---- The restore run ----

class RestoreRunTest : public ::testing::Test, protected testing::EngineServices<> {
 protected:
  RestoreRunTest() {
    environment.logDirOverride = dir.path() + "/state/";
    engine.backupDir = dir / "backup";
    engine.restoreDir = dir / "R";
    testing::MakeDirs(engine.backupDir);
  }
  std::string Log() { return ReadFile(environment.logDirOverride + "VELDAR2.LOG"); }
  bool LogHas(const std::string& text) { return Log().find(text) != std::string::npos; }
  // A file source with generations report_1.doc_ (older) and report_3.doc_.
  void FileSource() {
    engine.sourcePath = dir / "work/report.doc";
    WriteFile(engine.sourcePath, "current");
    WriteFile(dir / "backup/report_1.doc_", "old");
    WriteFile(dir / "backup/report_3.doc_", "newer");
    SetGenerations({Generation("report_1.doc_", kTime - 60, 1), Generation("report_3.doc_", kTime, 0)});
  }
  // A directory source with the generation docs_2.
  void DirSource() {
    engine.sourcePath = dir / "work/docs";
    WriteFile(dir / "work/docs/a.txt", "current");
    WriteFile(dir / "backup/docs_2/a.txt", "from docs_2");
    WriteFile(dir / "backup/docs_2/sub/b.txt", "b");
    SetGenerations({Generation("docs_2", kTime, 0, true)});
  }
  // The generation list as a scan would give it: each record with the
  // identity of what bears its name (a restore checks it).
  void SetGenerations(std::vector<CFileEntry> list) {
    for (CFileEntry& entry : list)
      (void)Stat(*real, real->Paths().Join(engine.backupDir, entry.name), false, &entry.status);
    engine.generations = std::move(list);
  }
  std::string LastShown() { return messages.shown.empty() ? "" : messages.shown.back(); }
  bool Shown(const std::string& start) { return LastShown().rfind(start, 0) == 0; }

  testing::TempDir dir;
};

TEST_F(RestoreRunTest, FileGenerationIntoAMissingNestedDirectory) {
  FileSource();
  engine.restoreDir = dir / "R/deeper/still";
  std::vector<std::string> copied;
  RunControl control;
  control.onFileCopied = [&](const std::string& path, std::uint64_t bytes) {
    copied.push_back(path + ":" + std::to_string(bytes));
  };

  EXPECT_EQ(RestoreGeneration(engine, 1, control), 1);
  EXPECT_EQ(ReadFile(dir / "R/deeper/still/report.doc"), "old");
  EXPECT_EQ(messages.shown, std::vector<std::string>{"レストア完了しました。"});
  EXPECT_EQ(settings.values["SETTINGS/RESDIR"], dir / "R/deeper/still");
  EXPECT_EQ(copied, std::vector<std::string>{dir / "backup/report_1.doc_:3"});
  const auto lines = testing::Lines(Log());
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines[0].find(" : Starting with Restore button"), std::string::npos);

  // A second restore overwrites the first copy without asking.
  EXPECT_EQ(RestoreGeneration(engine, 0), 1);
  EXPECT_EQ(ReadFile(dir / "R/deeper/still/report.doc"), "newer");
  EXPECT_TRUE(messages.asked.empty());
}

TEST_F(RestoreRunTest, FailedFileCopyIsReportedNotCompleted) {
  FileSource();
  WriteFile(dir / "R/report.doc", "kept");
  fault.FailAt(OsOp::CopyFile, "report.doc", real->Error(ErrorKind::kNoSpace));

  EXPECT_EQ(RestoreGeneration(engine, 0), 0);
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_TRUE(Shown("レストアに失敗しました。[復元するファイル]\n" + dir / "R/report.doc")) << LastShown();
  EXPECT_NE(LastShown().find(real->ErrorText(real->Error(ErrorKind::kNoSpace))), std::string::npos);
  EXPECT_TRUE(LogHas("File Copy Failed : " + dir / "backup/report_3.doc_" + " to " + dir / "R/report.doc"));
  EXPECT_EQ(ReadFile(dir / "R/report.doc"), "kept");
  EXPECT_EQ(settings.values.count("SETTINGS/RESDIR"), 0u) << "a failed restore stores no restore directory";
}

TEST_F(RestoreRunTest, GenerationThatVanishedSinceTheScanIsReported) {
  FileSource();
  ASSERT_EQ(::unlink((dir / "backup/report_3.doc_").c_str()), 0);
  EXPECT_EQ(RestoreGeneration(engine, 0), 0);
  EXPECT_TRUE(Shown("レストアに失敗しました。")) << LastShown();
  EXPECT_FALSE(Exists(dir / "R/report.doc"));
}

TEST_F(RestoreRunTest, BaselessFileGenerationGetsItsExtensionPartAsName) {
  engine.sourcePath = dir / "work/README";
  WriteFile(engine.sourcePath, "now");
  WriteFile(dir / "backup/_1.README_", "then");
  SetGenerations({Generation("_1.README_", kTime, 0)});
  EXPECT_EQ(RestoreGeneration(engine, 0), 1);
  EXPECT_EQ(ListNames(dir / "R"), std::vector<std::string>{"README"});
  EXPECT_EQ(ReadFile(dir / "R/README"), "then");
}

TEST_F(RestoreRunTest, RestoreDirectoryThatIsAFileFails) {
  FileSource();
  WriteFile(dir / "R", "a file in the way");
  EXPECT_EQ(RestoreGeneration(engine, 0), 0);
  EXPECT_TRUE(Shown("レストアに失敗しました。[復元するディレクトリ]\n" + dir / "R")) << LastShown();
  EXPECT_TRUE(LogHas("Directory Create Failed : " + dir / "R"));
  EXPECT_EQ(ReadFile(dir / "R"), "a file in the way");
}

// A restore is what a lost source needs: the source is never looked at.
TEST_F(RestoreRunTest, SourceThatIsGoneIsRestoredFromItsGeneration) {
  FileSource();
  ASSERT_EQ(::unlink(engine.sourcePath.c_str()), 0);
  EXPECT_EQ(RestoreGeneration(engine, 0), 1) << LastShown();
  EXPECT_EQ(ReadFile(dir / "R/report.doc"), "newer");
  EXPECT_FALSE(Exists(engine.sourcePath));
}

TEST_F(RestoreRunTest, DirectoryGenerationsFollowTheTargetTable) {
  DirSource();
  WriteFile(dir / "R/docs/extra.txt", "not in the generation");
  EXPECT_EQ(RestoreGeneration(engine, 0), 1);
  EXPECT_EQ(ReadFile(dir / "R/docs/a.txt"), "from docs_2");
  EXPECT_EQ(ReadFile(dir / "R/docs/sub/b.txt"), "b");
  EXPECT_FALSE(Exists(dir / "R/docs/extra.txt")) << "the mirror follows the generation";
  EXPECT_EQ(messages.shown, std::vector<std::string>{"レストア完了しました。"});

  engine.sourcePath = dir / "work/my_docs";
  testing::MakeDirs(engine.sourcePath);
  WriteFile(dir / "backup/my_docs_1/x", "x");
  SetGenerations({Generation("my_docs_1", kTime, 0, true)});
  EXPECT_EQ(RestoreGeneration(engine, 0), 1);
  EXPECT_EQ(ReadFile(dir / "R/my_docs/x"), "x");
}

TEST_F(RestoreRunTest, NoDeleteKeepsExtraFilesInTheTarget) {
  DirSource();
  engine.noDelete = 1;
  WriteFile(dir / "R/docs/extra.txt", "mine");
  EXPECT_EQ(RestoreGeneration(engine, 0), 1);
  EXPECT_EQ(ReadFile(dir / "R/docs/extra.txt"), "mine");
  EXPECT_EQ(ReadFile(dir / "R/docs/a.txt"), "from docs_2");
}

TEST_F(RestoreRunTest, FailedMirrorIsReportedAfterItsOwnLogLine) {
  DirSource();
  fault.FailAt(OsOp::StageCopy, "a.txt", real->Error(ErrorKind::kIo));
  EXPECT_EQ(RestoreGeneration(engine, 0), 0);
  EXPECT_TRUE(Shown("レストアに失敗しました。[復元するディレクトリ]\n" + dir / "R/docs")) << LastShown();
  EXPECT_NE(LastShown(), "レストア完了しました。");
  EXPECT_TRUE(LogHas("File Copy Failed : ")) << Log();
  EXPECT_EQ(settings.values.count("SETTINGS/RESDIR"), 0u);
}

TEST_F(RestoreRunTest, MirrorThatPassedOverAFailureIsNoCompleteRestore) {
  DirSource();
  testing::MakeDirs(dir / "R/docs/old");  // not in the generation: the mirror removes it
  fault.FailAt(OsOp::RemoveDir, "old", real->Error(ErrorKind::kIo));
  EXPECT_EQ(RestoreGeneration(engine, 0), 0);
  ASSERT_EQ(messages.shown.size(), 2u);  // the mirror's own box, then the restore's
  EXPECT_NE(messages.shown[0].find("old"), std::string::npos) << messages.shown[0];
  EXPECT_TRUE(Shown("レストアに失敗しました。[復元するディレクトリ]\n" + dir / "R/docs\n")) << LastShown();
  EXPECT_EQ(ReadFile(dir / "R/docs/a.txt"), "from docs_2");
}

// Whatever lies on the target's name that is no directory is never followed
// or changed: a link (to a directory another user may not write), a file.
TEST_F(RestoreRunTest, TargetThatIsNoDirectoryIsRefusedAndLeftAlone) {
  DirSource();
  WriteFile(dir / "private/secret.txt", "root's");
  struct Case {
    const char* what;
    std::function<void()> plant;
  } cases[] = {
#ifndef _WIN32
      {"a link to another directory",
       [&] { ASSERT_EQ(::symlink((dir / "private").c_str(), (dir / "R/docs").c_str()), 0); }},
#endif
      {"a file", [&] { WriteFile(dir / "R/docs", "a file of the same name"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(dir / "R");
    testing::MakeDirs(dir / "R");
    c.plant();
    const std::vector<std::string> before = ListNames(dir / "R");
    EXPECT_EQ(RestoreGeneration(engine, 0), 0);
    EXPECT_TRUE(Shown("レストアできません。[復元するディレクトリ]\n" + dir / "R/docs")) << LastShown();
    EXPECT_TRUE(LogHas("Restore Failed, Target Not A Directory : " + dir / "R/docs"));
    EXPECT_EQ(ListNames(dir / "private"), std::vector<std::string>{"secret.txt"});
    EXPECT_EQ(ReadFile(dir / "private/secret.txt"), "root's");
    EXPECT_EQ(ListNames(dir / "R"), before);
  }
}

// A restore makes the target's files equal to the generation's: restoring an
// older generation over a restore of a newer one brings back every older
// file, also one edited without a change of size (so that the target is
// newer than, and as large as, what is restored over it).
TEST_F(RestoreRunTest, OlderGenerationOverANewerRestoreIsRestoredWhole) {
  engine.sourcePath = dir / "work/docs";
  WriteFile(engine.sourcePath + "/a.txt", "now");
  WriteFile(dir / "backup/docs_1/a.txt", "v1");
  WriteFile(dir / "backup/docs_1/b.txt", "same");
  testing::SetMtime(dir / "backup/docs_1/a.txt", kTime);
  testing::WaitForNewTimestamps();
  WriteFile(dir / "backup/docs_2/a.txt", "v2");
  WriteFile(dir / "backup/docs_2/b.txt", "same");
  testing::SetMtime(dir / "backup/docs_2/a.txt", kTime + 60);
  ASSERT_EQ(engine.FindDirGenerations(), 1);
  ASSERT_EQ(RestoreGeneration(engine, 0), 1);
  ASSERT_EQ(ReadFile(dir / "R/docs/a.txt"), "v2");
  EXPECT_EQ(RestoreGeneration(engine, 1), 1);
  EXPECT_EQ(ReadFile(dir / "R/docs/a.txt"), "v1");
  EXPECT_EQ(testing::Mtime(dir / "R/docs/a.txt"), kTime);
  EXPECT_EQ(ReadFile(dir / "R/docs/b.txt"), "same");
}

// A restore from a medium that keeps times to 2 s takes a target file as
// old as the generation's copy, to within those 2 s, for that copy: it is
// not copied again. One further off is.
TEST_F(RestoreRunTest, TimesAreComparedAsCoarselyAsTheBackupMediumKeepsThem) {
  MediumTraits fat;
  fat.timeResolutionNs = 2'000'000'000;
  disk.medium = fat;
  for (const auto& [offset, restored] : {std::pair{1, false}, std::pair{3, true}}) {
    SCOPED_TRACE(offset);
    engine.sourcePath = dir / "work/docs";
    WriteFile(engine.sourcePath + "/a.txt", "now");
    WriteFile(dir / "backup/docs_1/a.txt", "v1");
    testing::SetMtime(dir / "backup/docs_1/a.txt", kTime);
    WriteFile(dir / "R/docs/a.txt", "t1");
    testing::SetMtime(dir / "R/docs/a.txt", kTime + offset);
    ASSERT_EQ(engine.FindDirGenerations(), 1);
    ASSERT_EQ(RestoreGeneration(engine, 0), 1);
    EXPECT_EQ(ReadFile(dir / "R/docs/a.txt"), restored ? "v1" : "t1");
  }
}

TEST_F(RestoreRunTest, DirectoryGenerationWithoutUnderscoreIsRefused) {
  DirSource();
  WriteFile(dir / "backup/docs/a.txt", "odd");
  SetGenerations({Generation("docs", kTime, 0, true)});
  WriteFile(dir / "R/precious.txt", "keep me");
  EXPECT_EQ(RestoreGeneration(engine, 0), 0);
  EXPECT_TRUE(Shown("レストアできません。[世代]\ndocs\n")) << LastShown();
  EXPECT_TRUE(LogHas("Restore Failed, No Target Name : " + dir / "backup/docs"));
  EXPECT_EQ(ListNames(dir / "R"), std::vector<std::string>{"precious.txt"});
}

TEST_F(RestoreRunTest, TargetHoldingTheBackupDirectoryIsRefused) {
  // The backups live inside what the restore would mirror over: the mirror
  // would delete them as entries the generation lacks.
  engine.sourcePath = dir / "work/docs";
  WriteFile(dir / "work/docs/a.txt", "a");
  engine.backupDir = dir / "R/docs/backups";
  WriteFile(dir / "R/docs/backups/docs_1/a.txt", "a");
  WriteFile(dir / "R/docs/backups/docs_2/a.txt", "a");
  SetGenerations({Generation("docs_1", kTime, 0, true), Generation("docs_2", kTime - 1, 1, true)});
  EXPECT_EQ(RestoreGeneration(engine, 0), 0);
  EXPECT_TRUE(Shown("レストアできません。[復元するディレクトリ]\n" + dir / "R/docs")) << LastShown();
  EXPECT_TRUE(IsDir(dir / "R/docs/backups/docs_2"));

  // Into a generation of its own backup directory: refused as well.
  engine.restoreDir = dir / "R/docs/backups/docs_1";
  EXPECT_EQ(RestoreGeneration(engine, 0), 0);
  EXPECT_FALSE(Exists(dir / "R/docs/backups/docs_1/docs"));
}

}  // namespace
}  // namespace veldar
