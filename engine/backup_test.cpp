// The rotation of generations, and the checks before a backup. What needs
// POSIX itself (bind mounts, forked processes, permission bits, holes) is in
// backup_posix_test.cpp.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <numeric>
#include <tuple>

#include "engine/engine.h"
#include "engine/generations.h"
#include "engine/restore.h"
#include "res/string_table.h"
#include "testing/fault_injector.h"
#include "tests/backup_job.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::Exists;
using testing::Job;
using testing::kNow;
using testing::ListNames;
using testing::MakeDirs;
using testing::ReadFile;
using testing::Slashes;
using testing::WriteFile;

using Contents = std::map<std::string, std::string>;

TEST(CheckParametersTest, RefusesJobsThatCannotRunOrWouldDestroyData) {
  Job job;
  const std::string& d = job.dir.path();
  WriteFile(d + "/src/docs/a.txt", "a");
  WriteFile(d + "/file", "f");
  WriteFile(d + "/backup/docs_1/docs/a.txt", "a");
  WriteFile(d + "/backup/inner/a.txt", "a");
  MakeDirs(d + "/empty");
  MakeDirs(d + "/src/docsX");
  // A link to the source is the source (where this process can make one;
  // Wine makes none Windows would make).
  const bool linked = !testing::UnderWine() && testing::MakeLink(d + "/src/docs", d + "/link", /*directory=*/true);
  const std::string missing = job.real->ErrorText(job.real->Error(ErrorKind::kNotFound));
  const std::string notDirectory = job.real->ErrorText(job.real->Error(ErrorKind::kNotDirectory));

  const std::string wrong = LoadString(IDS_PARAM_ERROR);
  const std::string source = wrong + "[バックアップするファイル]\n";
  const std::string backup = wrong + "[書き込むディレクトリ]\n";
  const std::string inMirror = wrong + "[世代数]\n" +
                               "バックアップするディレクトリが書き込むディレクトリの中にあるため、"
                               "世代数は2以上にしてください。";
  const std::string backupInSource =
      backup + "バックアップするディレクトリと同じか、その中にあるディレクトリには書き込めません。";
  struct Case {
    std::string source, backupDir;
    int count;
    std::string message;  // empty: accepted
  } cases[] = {
      {"/missing", "/backup", 3, source + missing},
      {"/src/docs", "/missing", 3, backup + missing},
      {"/file", "/backup", 0, wrong + "[世代数]"},
      {"/file", "/backup", -1, wrong + "[世代数]"},
      {"/file", "/backup", 1, ""},
      {"/src/docs", "/backup", 0, ""},
      {"/src/docs", "/backup", -5, ""},
      {"/src/docs", "/file", 3, backup + notDirectory},
      {"/src/docs", "/src/docs", 3, backupInSource},
      {"/src/docs", "/src/docs/sub/", 3, backupInSource},
      {"/src/docs", "/link", 3, backupInSource},
      {"/src/docs", "/src/docsX", 3, ""},
      {"/backup/inner", "/backup", 1, inMirror},
      {"/backup/inner", "/backup", -1, inMirror},
      {"/backup/inner", "/backup", 2, ""},
      {"/backup/docs_1/docs", "/backup", 3,
       source + "バックアップするディレクトリが、その世代のディレクトリの中にあります。"},
      {"/empty", "/backup", 3, ""},  // refused by the backup, not by the check the restore shares
  };
  MakeDirs(d + "/src/docs/sub");
  for (const Case& c : cases) {
    if (c.backupDir == "/link" && !linked) continue;
    job.messages.shown.clear();
    job.engine.sourcePath = d + c.source;
    job.engine.backupDir = d + c.backupDir;
    job.engine.generationCount = c.count;
    EXPECT_EQ(job.engine.CheckParameters(), c.message.empty() ? 1 : 0) << c.source << " " << c.backupDir;
    EXPECT_EQ(job.messages.shown, c.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.message})
        << c.source << " " << c.backupDir;
  }
  job.engine.sourcePath = d + "/src/docs///";
  job.engine.backupDir = d + "/backup/";
  EXPECT_EQ(job.engine.CheckParameters(), 1);
  EXPECT_EQ(job.engine.sourcePath, d + "/src/docs");
  EXPECT_EQ(job.engine.backupDir, d + "/backup");

  // The root has no name for its generations; "/" stays "/".
  job.engine.sourcePath = "/";
  job.engine.backupDir = d + "/backup";
  EXPECT_EQ(job.engine.CheckParameters(), 0);
  EXPECT_EQ(job.messages.shown.back(), source + "ルートディレクトリはバックアップできません。");

  // A backup directory that the access test calls denied is let through.
  job.engine.sourcePath = d + "/src/docs";
  job.os.FailAt(OsOp::Access, job.engine.backupDir, job.os.Error(ErrorKind::kAccessDenied));
  EXPECT_EQ(job.engine.CheckParameters(), 1);

  // An empty source never reaches the rotation or the mirror.
  job.messages.shown.clear();
  job.engine.sourcePath = d + "/empty";
  job.engine.backupDir = d + "/backup";
  EXPECT_EQ(job.Backup(), 0);
  EXPECT_EQ(job.messages.shown, std::vector<std::string>{source + "バックアップするディレクトリが空です。"});
  EXPECT_TRUE(Exists(d + "/backup/docs_1/docs/a.txt"));

  // With the no-message flag the refusal goes to the log instead.
  job.messages.shown.clear();
  job.engine.noMessage = 1;
  job.engine.sourcePath = d + "/empty";
  EXPECT_EQ(job.Backup(), 0);
  EXPECT_TRUE(job.messages.shown.empty());
  EXPECT_NE(job.Log().find("バックアップするディレクトリが空です。"), std::string::npos);
  EXPECT_TRUE(job.settings.writes.empty());
}

TEST(BackupFileTest, RotatesAcrossCountChanges) {
  Job job;
  for (int run = 1; run <= 3; ++run) ASSERT_EQ(job.Run(3, "v" + std::to_string(run)), 1);
  EXPECT_EQ(job.Generations(), (Contents{{"report_1.doc_", "v1"}, {"report_2.doc_", "v2"}, {"report_3.doc_", "v3"}}));
  EXPECT_EQ(testing::Mtime(job.backup + "/report_3.doc_"), kNow);

  // The fourth run overwrites the oldest, which becomes the newest: the fifth
  // overwrites the next oldest.
  ASSERT_EQ(job.Run(3, "v4"), 1);
  ASSERT_EQ(job.Run(3, "v5"), 1);
  EXPECT_EQ(job.Generations(), (Contents{{"report_1.doc_", "v4"}, {"report_2.doc_", "v5"}, {"report_3.doc_", "v3"}}));

  // 5 then 2: the three oldest go, the next oldest is overwritten.
  ASSERT_EQ(job.Run(5, "v6"), 1);
  ASSERT_EQ(job.Run(5, "v7"), 1);
  ASSERT_EQ(job.Run(2, "v8"), 1);
  EXPECT_EQ(job.Generations(), (Contents{{"report_4.doc_", "v8"}, {"report_5.doc_", "v7"}}));
  ASSERT_EQ(job.Run(1, "v9"), 1);
  EXPECT_EQ(job.Generations(), (Contents{{"report_4.doc_", "v9"}}));
  EXPECT_EQ(Slashes(job.settings.writes.back()), "LASTDIR=" + Slashes(job.backup));
}

// A run works on its own copy of the job and hands back what it resolved:
// the paths as the pre-check tidied them, the file a single-file backup
// wrote, the generations its scan found (none when it never scanned). The
// engine whose services it used keeps its fields.
TEST(BackupRunTest, TakesItsJobAsAValueAndReturnsWhatItResolved) {
  struct Case {
    const char* what;
    std::string source, backupDir;  // below the scratch directory; "/" is the separator
    int count;
    int ok;
    std::string source2, target;  // resolved: the source, the file written (empty: none)
    bool scanned;
  } cases[] = {
      {"file source, backup directory with a separator at its end", "src/report.doc", "backup/", 2, 1, "src/report.doc",
       "backup/report_1.doc_", true},
      {"directory source with a separator at its end", "src/docs/", "backup", 2, 1, "src/docs", "", true},
      {"directory source named \"..\"", "src/docs/sub/..", "backup", 2, 1, "src/docs", "", true},
      {"refused before its scan", "src/report.doc/", "backup", 0, 0, "src/report.doc", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Job job;
    WriteFile(job.dir / "src/report.doc", "r");
    WriteFile(job.dir / "src/docs/sub/a.txt", "a");
    const auto native = [&](const std::string& path) {
      std::string text = path;
      std::replace(text.begin(), text.end(), '/', job.os.Paths().Separator());
      return text;
    };
    BackupJob given = BackupJobOf(job.engine);
    given.sourcePath = native(job.dir / c.source);
    given.backupDir = native(job.dir / c.backupDir);
    given.generationCount = c.count;
    const BackupJob before = given;
    const BackupOutcome outcome = RunBackup(given, ServicesOf(job.engine));
    EXPECT_EQ(outcome.ok, c.ok);
    EXPECT_EQ(given, before);
    EXPECT_EQ(job.engine.sourcePath, job.dir / "src/report.doc");
    EXPECT_TRUE(job.engine.targetPath.empty());
    const BackupResolved& resolved = outcome.resolved;
    if (std::string(c.source).ends_with("..")) {
      // Taken by the real directory it stands for.
      EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::u8path(resolved.sourcePath),
                                              std::filesystem::u8path(std::string(job.dir / c.source2))));
      EXPECT_EQ(job.os.Paths().NameOf(resolved.sourcePath), "docs");
    } else {
      EXPECT_EQ(Slashes(resolved.sourcePath), Slashes(job.dir / c.source2));
    }
    EXPECT_EQ(Slashes(resolved.backupDir), Slashes(job.backup));
    EXPECT_EQ(Slashes(resolved.targetPath), c.target.empty() ? "" : Slashes(job.dir / c.target));
    ASSERT_EQ(resolved.generations.has_value(), c.scanned);
    if (c.scanned) {
      EXPECT_TRUE(resolved.generations->empty()) << "the first run found none";
    }
  }
}

TEST(BackupFileTest, SourceLinkIsBackedUpByWhatItPointsTo) {
  Job job;
  WriteFile(job.dir / "real.doc", "data");
  job.engine.sourcePath = job.dir / "link.doc";
  if (testing::UnderWine()) GTEST_SKIP() << "Wine makes no symbolic links Windows would make";
  if (!testing::MakeLink(job.dir / "real.doc", job.engine.sourcePath)) {
    GTEST_SKIP() << "this process may not make symbolic links";
  }
  job.engine.generationCount = 2;
  ASSERT_EQ(job.Backup(), 1);
  FileStatus generation;
  ASSERT_TRUE((Stat(*job.real, job.backup + "/link_1.doc_", /*followLink=*/false, &generation)).ok());
  EXPECT_EQ(generation.kind, EntryKind::File);
  EXPECT_EQ(ReadFile(job.backup + "/link_1.doc_"), "data");
}

TEST(BackupDirTest, RotatesAcrossCountChanges) {
  Job job;
  job.UseDir();
  for (int run = 1; run <= 4; ++run) ASSERT_EQ(job.Run(4, "v" + std::to_string(run)), 1);
  // 4 then 2: docs_1 and docs_2 go, docs_3 is emptied, made anew and filled.
  ASSERT_EQ(job.Run(2, "v5"), 1);
  EXPECT_EQ(job.Generations(), (Contents{{"docs_3", "v5"}, {"docs_4", "v4"}}));
  // Count 3: a new one under the lowest free name, then the oldest is recycled.
  ASSERT_EQ(job.Run(3, "v6"), 1);
  ASSERT_EQ(job.Run(3, "v7"), 1);
  EXPECT_EQ(job.Generations(), (Contents{{"docs_1", "v6"}, {"docs_3", "v5"}, {"docs_4", "v7"}}));
}

TEST(BackupDirTest, RunsWithinOneSecondRecycleTheOldest) {
  // Real birth times: several runs in one second must still rank by the
  // order they ran, or a run would recycle the newest copy and keep an older one.
  Job job;
  job.os.fake = false;
  job.UseDir();
  for (int run = 1; run <= 6; ++run) {
    ASSERT_EQ(job.Run(2, std::to_string(run)), 1);
    if (run < 2) continue;
    std::vector<std::string> held;
    for (const auto& [name, content] : job.Generations()) held.push_back(content);
    std::sort(held.begin(), held.end());
    EXPECT_EQ(held, (std::vector<std::string>{std::to_string(run - 1), std::to_string(run)})) << "after run " << run;
  }
}

TEST(BackupDirTest, CountOneOrLessMirrorsStraightIntoTheBackupDirectory) {
  for (int count : {1, 0, -1}) {
    for (int noDelete : {0, 1}) {
      Job job;
      job.UseDir();
      ASSERT_EQ(job.Run(2, "old"), 1);
      job.engine.noDelete = noDelete;
      ASSERT_EQ(job.Run(count, "new"), 1) << count;
      EXPECT_EQ(ReadFile(job.backup + "/a.txt"), "new");
      EXPECT_EQ(Exists(job.backup + "/docs_1"), noDelete == 1) << count;
    }
  }
}

// All 98 names taken, count above 98: the oldest is reused, never the target
// of an earlier run, never the backup directory itself.
TEST(BackupTest, All98TakenReusesTheOldest) {
  for (bool isDir : {false, true}) {
    Job job;
    if (isDir) job.UseDir();
    const std::string stem = isDir ? "docs_" : "report_";
    const std::string tail = isDir ? "" : ".doc_";
    for (int slot = 1; slot <= 98; ++slot) {
      const std::string path = job.backup + "/" + stem + std::to_string(slot) + tail;
      WriteFile(path + (isDir ? "/a.txt" : ""), "old");
      job.os.births[Slashes(path)] = slot == 50 ? 1 : 1000 + slot;
    }
    WriteFile(job.dir / "victim", "keep");
    job.engine.targetPath = job.dir / "victim";

    ASSERT_EQ(job.Run(120, "new"), 1);
    const std::string reused = job.backup + "/" + stem + "50" + tail;
    auto generations = job.Generations();
    EXPECT_EQ(generations.size(), 98u);
    EXPECT_EQ(generations[stem + "50" + tail], "new");
    EXPECT_EQ(generations[stem + "51" + tail], "old");
    EXPECT_EQ(ReadFile(job.dir / "victim"), "keep");
    const std::string line = "Generation limit of 98 reached, oldest generation reused : " + Slashes(reused);
    // Two runs, and the dry run before them (its lines go to the open log).
    const std::string log = job.Log();
    EXPECT_NE(log.find(line), std::string::npos);
    EXPECT_EQ(log.find(line), log.rfind(line));
  }
}

// Where the old copy of a recycled generation lies while it is deleted: a
// directory swapped with the new copy in one step, or where there is no such
// step (Windows) one moved aside first.
#ifdef _WIN32
constexpr char kOldCopy[] = ".docs_2.veldar2-swap";
#else
constexpr char kOldCopy[] = ".docs_2.veldar2-old";
#endif

// A failure stops the run with its message unless the no-message flag is set;
// then the run carries on and the failure is in the log. The last-used paths
// are saved only by a run that returns 1.
TEST(BackupTest, FailuresStopOrCarryOn) {
  struct Case {
    bool isDir;
    int count;
    OsOp op;
    std::string at;  // within the backup directory
    std::string message;
    bool alwaysStops = false;  // no new generation can be made: 0 even with no-message
  } cases[] = {
      {false, 1, OsOp::DeleteFile, "report_1.doc_", "ERR : DELETE FILE %report_1.doc_"},
      {false, 4, OsOp::CopyFile, "report_4.doc_", "ERR: COPY FILE from $ to %report_4.doc_"},
      // Old generations are moved aside before they are deleted.
      {true, 2, OsOp::RemoveDir, ".docs_1.veldar2-old", "ERROR AT DELETE FILE %docs_1"},
      {true, 2, OsOp::List, ".docs_1.veldar2-old", "ERROR AT DELETE FILES %docs_1"},
      {true, 2, OsOp::MoveNoReplace, "docs_1", "ERROR AT DELETE FILES %docs_1"},
      {true, 2, OsOp::RemoveDir, kOldCopy, "ERROR AT DELETE FILE IN DELETE!"},
      {true, 4, OsOp::CreateDir, ".docs.veldar2-new", "ERROR MKDIR %.docs.veldar2-new", true},
      {true, 4, OsOp::MoveNoReplace, "docs_4", "ERROR MKDIR %docs_4", true},
      // Straight into the backup directory: a copy whose final rename fails
      // (an old copy that may not be replaced) is a failed copy.
      {true, 1, OsOp::PlaceCopy, "a.txt", "ERR : COPY FILE FROM $/a.txt TO %a.txt"},
  };
  for (const Case& c : cases) {
    for (int noMessage : {0, 1}) {
      Job job;
      if (c.isDir) job.UseDir();
      for (int run = 1; run <= 3; ++run) ASSERT_EQ(job.Run(3, "v" + std::to_string(run)), 1);
      job.settings.writes.clear();
      job.os.FailAt(c.op, c.at, job.os.Error(ErrorKind::kIo));
      job.engine.noMessage = noMessage;
      const int result = job.Run(c.count, "v4");
      SCOPED_TRACE(c.message + (noMessage ? " with no-message" : ""));
      if (noMessage && c.alwaysStops) {
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(job.messages.shown.empty());
        EXPECT_GT(job.outcome.failures, 0);
        EXPECT_TRUE(job.settings.writes.empty());
      } else if (noMessage) {
        EXPECT_EQ(result, 1);
        EXPECT_TRUE(job.messages.shown.empty());
        EXPECT_GT(job.outcome.failures, 0);
        EXPECT_NE(job.Log().find("ERR"), std::string::npos);
        EXPECT_FALSE(job.settings.writes.empty());
      } else {
        std::string expected = c.message;
        if (auto at = expected.find('%'); at != std::string::npos) expected.replace(at, 1, job.backup + "/");
        if (auto at = expected.find('$'); at != std::string::npos) expected.replace(at, 1, job.engine.sourcePath);
        EXPECT_EQ(result, 0);
        ASSERT_FALSE(job.messages.shown.empty());
        EXPECT_EQ(Slashes(job.messages.shown.back()), Slashes(expected));
        EXPECT_TRUE(job.settings.writes.empty());
      }
    }
  }
}

TEST(BackupFileTest, TimeStampFailuresAreLogged) {
  {
    // The copy that did not happen is not stamped as the newest generation.
    Job job;
    job.engine.noMessage = 1;
    job.os.FailAt(OsOp::CopyFile, "report_1.doc_", job.os.Error(ErrorKind::kNoSpace));
    ASSERT_EQ(job.Run(3, "v1"), 1);
    EXPECT_NE(job.Log().find("Set Time Failed : " + Slashes(job.backup) + "/report_1.doc_ : not copied"),
              std::string::npos);
    for (const auto& call : job.os.calls) EXPECT_NE(call.op, OsOp::ChangeEntry);
    EXPECT_EQ(job.outcome.failures, 1) << "one failed copy, one failure";
  }
  {
    Job job;
    const Status denied = job.os.Error(ErrorKind::kAccessDenied);
    job.os.FailAt(OsOp::ChangeEntry, "", denied);
    ASSERT_EQ(job.Run(3, "v1"), 1);
    EXPECT_NE(job.Log().find("Set Time Failed : " + Slashes(job.backup) +
                             "/report_1.doc_ : ERR = " + std::to_string(denied.code())),
              std::string::npos);
    EXPECT_EQ(job.outcome.failures, 1);
  }
  {
    // No-force mode leaves the oldest as it was, and stamps it all the same.
    Job job;
    ASSERT_EQ(job.Run(1, "v1"), 1);
    testing::SetMtime(job.backup + "/report_1.doc_", 1000);
    job.engine.noForce = 1;
    ASSERT_EQ(job.Run(1, "v2"), 1);
    EXPECT_EQ(ReadFile(job.backup + "/report_1.doc_"), "v1");
    EXPECT_EQ(testing::Mtime(job.backup + "/report_1.doc_"), kNow);
  }
}

}  // namespace
}  // namespace veldar

namespace veldar {
namespace {

// A directory backup builds its new generation aside and replaces old ones
// only once the copy is complete.
TEST(SafeRotationTest, FailedMirrorKeepsEveryGenerationAndTheNextRunCarriesOn) {
  Job job;
  job.UseDir();
  WriteFile(job.engine.sourcePath + "/b.txt", "b");
  for (int run = 1; run <= 3; ++run) ASSERT_EQ(job.Run(3, "v" + std::to_string(run)), 1);
  const Contents before = job.Generations();

  job.os.FailAt(OsOp::CopyFile, "b.txt", job.os.Error(ErrorKind::kNoSpace));
  EXPECT_EQ(job.Run(3, "v4"), 0);
  EXPECT_EQ(job.Generations().size(), 4u);  // the three, and the working directory
  for (const auto& [name, content] : before) EXPECT_EQ(job.Generations()[name], content) << name;
  EXPECT_TRUE(testing::IsDir(job.backup + "/.docs.veldar2-new"));

  job.os.ClearRules();
  ASSERT_EQ(job.Run(3, "v4"), 1);
  // The oldest (v1) went; the new one took its name.
  EXPECT_EQ(job.Generations(), (Contents{{"docs_1", "v4"}, {"docs_2", "v2"}, {"docs_3", "v3"}}));
  EXPECT_EQ(ReadFile(job.backup + "/docs_1/b.txt"), "b");
}

TEST(SafeRotationTest, LeftoversOfAnInterruptedDeletionAreRemoved) {
  Job job;
  job.UseDir();
  WriteFile(job.backup + "/.docs_7.veldar2-old/half/x", "x");
  WriteFile(job.backup + "/.other_1.veldar2-old/y", "y");  // another source's: not ours
  ASSERT_EQ(job.Run(2, "v1"), 1);
  EXPECT_FALSE(Exists(job.backup + "/.docs_7.veldar2-old"));
  EXPECT_TRUE(Exists(job.backup + "/.other_1.veldar2-old/y"));
  EXPECT_EQ(ListNames(job.backup), (std::vector<std::string>{".other_1.veldar2-old", "docs_1"}));
}

TEST(SafeRotationTest, WorkingNameFitsTheNameLimit) {
  Job job;
  const std::string longName(250, 'n');
  job.engine.sourcePath = job.dir / longName;
  job.isDir = true;
  ASSERT_EQ(job.Run(2, "v1"), 1);
  ASSERT_EQ(job.Run(2, "v2"), 1);
  ASSERT_EQ(job.Run(2, "v3"), 1);
  EXPECT_EQ(ListNames(job.backup), (std::vector<std::string>{longName + "_1", longName + "_2"}));
}

// The name of a generation comes from the directory's real name, whichever
// way it was written; a source holding only lost+found (a freshly formatted
// disk, or one fsck has put pieces into) is empty.
TEST(BackupTest, SourceNamesAndEmptySources) {
  Job job;
  job.UseDir();
  WriteFile(job.engine.sourcePath + "/sub/a.txt", "a");
  for (const std::string& spelling :
       {job.engine.sourcePath + "/.", job.engine.sourcePath + "/sub/..", job.engine.sourcePath + "/./"}) {
    job.engine.sourcePath = spelling;
    job.engine.generationCount = 3;
    EXPECT_EQ(job.Backup(), 1) << spelling;
  }
  EXPECT_EQ(ListNames(job.backup), (std::vector<std::string>{"docs_1", "docs_2", "docs_3"}));

  MakeDirs(job.dir / "fresh/lost+found");
  job.engine.sourcePath = job.dir / "fresh";
  EXPECT_EQ(job.Backup(), 0);
  EXPECT_NE(job.messages.shown.back().find("バックアップするディレクトリが空です。"), std::string::npos);
  WriteFile(job.dir / "fresh/lost+found/#123", "recovered");
  EXPECT_EQ(job.Backup(), 0);
  WriteFile(job.dir / "fresh/a.txt", "a");
  EXPECT_EQ(job.Backup(), 1);
}

// A lock that cannot be taken keeps out every run that may change the
// backup directory, saying why: another run holds it, this user may not
// make it, something else holds its name. Only a restore by a user who may
// only read the directory goes on without it.
TEST(BackupTest, ALockThatCannotBeTakenStopsTheRun) {
  const std::pair<ErrorKind, const char*> cases[] = {
      {ErrorKind::kLocked, "ほかのバックアップかレストアが"},
      {ErrorKind::kAccessDenied, "書き込むディレクトリをロックできません。"},
      {ErrorKind::kExists, "書き込むディレクトリのロックファイルの名前を、ロックファイルでないものが"}};
  for (const auto& [kind, shown] : cases) {
    SCOPED_TRACE(shown);
    Job job;
    job.UseDir();
    ASSERT_EQ(job.Run(2, "v1"), 1);
    job.os.FailAt(OsOp::Lock, "", job.os.Error(kind));
    EXPECT_EQ(job.Run(2, "v2"), 0);
    EXPECT_EQ(job.outcome.busy, kind == ErrorKind::kLocked);
    EXPECT_EQ(job.outcome.unlocked, kind == ErrorKind::kAccessDenied);
    EXPECT_EQ(job.messages.shown.back().rfind(shown, 0), 0u) << job.messages.shown.back();
    EXPECT_EQ(ListNames(job.backup), std::vector<std::string>{"docs_1"});
    job.engine.restoreDir = job.dir / "restored";
    ASSERT_EQ(job.engine.FindDirGenerations(), 1);
    EXPECT_EQ(RunRestore(job.engine, 0).ok, kind == ErrorKind::kAccessDenied ? 1 : 0);
  }
}

// A dry run only tests the lock: it takes, makes and deletes nothing (no
// lock file comes and goes), and still says when another run holds it.
TEST(BackupTest, ADryRunTestsTheLockAndMakesNothing) {
  for (const bool held : {false, true}) {
    Job job;
    job.UseDir();
    WriteFile(job.engine.sourcePath + "/a.txt", "a");
    std::unique_ptr<OsDir> holder;
    if (held) {
      ASSERT_TRUE(job.real->OpenDir(job.backup, true, &holder).ok() && holder->Lock(".veldar2.lock").ok());
    }
    const std::vector<std::string> before = ListNames(job.backup);
    job.os.calls.clear();
    MirrorTotals planned;
    EXPECT_EQ(DryRunBackup(
                  job.engine, [](const DryRunItem&) {}, &planned)
                  .busy,
              held);
    EXPECT_EQ(ListNames(job.backup), before);
    for (const FaultInjector::Call& call : job.os.calls) {
      EXPECT_TRUE(call.op != OsOp::Lock && !ChangesFileSystem(call.op)) << OsOpName(call.op);
    }
  }
}

// One run at a time per backup directory: a second waits as long as the log
// does, then is refused with the backup directory named.
TEST(BackupTest, AnotherRunHoldingTheBackupDirectoryRefusesThisOne) {
  Job job;
  job.UseDir();
  std::unique_ptr<OsDir> held;
  ASSERT_TRUE((job.real->OpenDir(job.backup, true, &held)).ok());
  ASSERT_TRUE((held->Lock(BackupRun::kLockFileName)).ok());
  EXPECT_EQ(job.Run(2, "v1"), 0);
  EXPECT_EQ(job.outcome.busy, 1);
  EXPECT_EQ(job.environment.sleeps, (std::vector<int>{500, 500, 500, 500, 500}));
  ASSERT_FALSE(job.messages.shown.empty());
  EXPECT_NE(Slashes(job.messages.shown.back()).find(Slashes(job.backup)), std::string::npos);
  // The lock file, where the lock is one (not on Windows), and nothing else.
  std::vector<std::string> names = ListNames(job.backup);
  std::erase(names, BackupRun::kLockFileName);
  EXPECT_EQ(names, std::vector<std::string>{});
  // A run that waited for the other run's log first waits 2.5 seconds in
  // all, not once for each.
  job.environment.sleeps.clear();
  job.engine.CloseLog();
  std::unique_ptr<OsFile> otherLog;
  ASSERT_TRUE(job.real->OpenExclusive(job.dir / "log/VELDAR2.TMP", &otherLog).ok());
  job.engine.OpenLog();
  EXPECT_EQ(job.Run(2, "v1"), 0);
  EXPECT_EQ(job.outcome.busy, 1);
  EXPECT_EQ(std::accumulate(job.environment.sleeps.begin(), job.environment.sleeps.end(), 0), 2500);
  otherLog.reset();
  job.engine.OpenLog();

  held.reset();
  EXPECT_EQ(job.Run(2, "v1"), 1);
  EXPECT_EQ(job.outcome.busy, 0);
}

// Every rename of a recycling run has its line: with a swap in one step,
// without one (Windows), and where another's entry holds the retired name
// (the next spelling of it is taken, and the log says so).
TEST(BackupTest, EveryRenameHasItsLine) {
#ifdef _WIN32
  // No swap in one step there: the old generation moves aside to its swap name.
  const char* movedAside = ".docs_1.veldar2-swap";
#else
  const char* movedAside = ".docs_1.veldar2-old";
#endif
  const std::tuple<OsOp, const char*, ErrorKind> cases[] = {{OsOp::Exchange, "none", ErrorKind::kIo},
                                                            {OsOp::Exchange, "", ErrorKind::kUnsupported},
                                                            {OsOp::MoveNoReplace, movedAside, ErrorKind::kExists}};
  for (const auto& [op, at, kind] : cases) {
    Job job;
    job.UseDir();
    ASSERT_EQ(job.Run(2, "v1") + job.Run(2, "v2"), 2);
    job.os.FailAt(op, at, job.os.Error(kind), /*times=*/1);
    const std::size_t logged = job.Log().size();
    job.os.calls.clear();
    ASSERT_EQ(job.Run(2, "v3"), 1);
    const std::vector<FaultInjector::Call> calls = job.os.calls;  // before reading the log renames it (Windows)
    const std::string log = job.Log().substr(logged);
    for (const FaultInjector::Call& call : calls) {
      if ((call.op != OsOp::MoveNoReplace && call.op != OsOp::Exchange) || !call.result.ok()) continue;
      EXPECT_NE(log.find("rename directory : from " + Slashes(call.path) + " TO " + Slashes(call.path2)),
                std::string::npos)
          << log;
    }
    EXPECT_EQ(log.find("Name In Use, Another Taken") != std::string::npos, kind == ErrorKind::kExists);
    EXPECT_EQ(job.Generations(), (Contents{{"docs_1", "v3"}, {"docs_2", "v2"}}));
  }
}

// Where the medium has neither a rename that refuses to replace nor a swap
// (FUSE media, network clients), each generation still gets its name: a new
// one, the recycled oldest's (its old copy moved aside under a name of its
// own, as on Windows), and the surplus of a lowered count retired; also where
// a renamed directory is numbered anew (rclone). Each rename has its line.
void NameGenerationsWithoutRenameFlags(bool byPath) {
  struct Step {
    int count;
    Contents expected;
  } steps[] = {
      {3, {{"docs_1", "v1"}}},
      {3, {{"docs_1", "v1"}, {"docs_2", "v2"}}},
      {3, {{"docs_1", "v1"}, {"docs_2", "v2"}, {"docs_3", "v3"}}},
      {3, {{"docs_1", "v4"}, {"docs_2", "v2"}, {"docs_3", "v3"}}},
      {2, {{"docs_1", "v4"}, {"docs_3", "v5"}}},
  };
  Job job;
  job.UseDir();
  job.disk.renameFlagsRefused = true;
  job.os.directoriesByPath = byPath;
  int version = 0;
  for (const Step& step : steps) {
    const std::string content = "v" + std::to_string(++version);
    SCOPED_TRACE(content);
    const std::size_t logged = job.Log().size();
    job.os.calls.clear();
    ASSERT_EQ(job.Run(step.count, content), 1) << ::testing::PrintToString(job.Shown());
    const std::vector<FaultInjector::Call> calls = job.os.calls;
    EXPECT_EQ(job.Generations(), step.expected);
    const std::string log = job.Log().substr(logged);
    int renamed = 0;
    for (const FaultInjector::Call& call : calls) {
      if (call.op != OsOp::MoveIfFree || !call.result.ok()) continue;
      ++renamed;
      EXPECT_NE(log.find("rename directory : from " + Slashes(call.path) + " TO " + Slashes(call.path2)),
                std::string::npos)
          << log;
    }
    EXPECT_GT(renamed, 0);
  }
}

TEST(BackupTest, GenerationsAreNamedWhereTheMediumRefusesRenameFlags) {
  for (const bool byPath : {false, true}) {
    SCOPED_TRACE(byPath ? "directories numbered by their paths" : "inode numbers kept");
    NameGenerationsWithoutRenameFlags(byPath);
  }
}

// With -NOMSG, a source file that cannot be read does not keep the
// generation from being made: the file keeps its last good copy from the
// newest generation (shared where sharing is on), or is left out when it has
// none, and the run exits 1. A failure on the backup's side still keeps the
// copy from replacing any generation, and without -NOMSG the first failure
// stops the run.
TEST(BackupTest, UnreadableSourceFilesKeepTheirLastCopy) {
  struct Case {
    const char* what;
    int noMessage;
    bool link;
    std::string failAt;  // a source file or directory, or a copy being written (in the scratch directory)
    int result;
    bool newGeneration;
    std::string kept;    // what the new generation holds for the file ("": none)
    int failures = 1;    // failure lines: one for each failure, however it ends
    bool first = false;  // the run makes the first generation
    OsOp op = OsOp::CopyFile;
  } cases[] = {
      {"unreadable, copied from the newest", 1, false, "src/docs/a.txt", 1, true, "v1"},
      {"unreadable, linked to the newest", 1, true, "src/docs/a.txt", 1, true, "v1"},
      {"unreadable and new: left out", 1, false, "src/docs/new.txt", 1, true, ""},
      {"the backup's side failed", 1, false, "backup/.docs.veldar2-new/a.txt", 0, false, ""},
      {"unreadable, without -NOMSG", 0, false, "src/docs/a.txt", 0, false, ""},
      {"unreadable in the first generation: left out", 1, false, "src/docs/a.txt", 1, true, "", 1, true},
      {"an unreadable directory, copied from the newest", 1, false, "src/docs/sub", 1, true, "s1", 1, false,
       OsOp::OpenDir},
      {"an unreadable directory, linked to the newest", 1, true, "src/docs/sub", 1, true, "s1", 1, false,
       OsOp::OpenDir},
      {"an unreadable directory in the first generation: left out", 1, false, "src/docs/sub", 1, true, "", 1, true,
       OsOp::OpenDir},
      {"an unreadable directory, without -NOMSG", 0, false, "src/docs/sub", 0, false, "", 1, false, OsOp::OpenDir},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Job job;
    job.UseDir();
    job.engine.linkUnchanged = c.link;
    WriteFile(job.engine.sourcePath + "/sub/deeper/s.txt", "s1");
    if (!c.first) {
      ASSERT_EQ(job.Run(3, "v1"), 1);
    }
    WriteFile(job.engine.sourcePath + "/new.txt", "new");
    WriteFile(job.engine.sourcePath + "/sub/deeper/s.txt", "s2");
    job.os.FailAt(c.op, job.dir / c.failAt, job.os.Error(ErrorKind::kAccessDenied));
    job.engine.noMessage = c.noMessage;
    EXPECT_EQ(job.Run(3, "v2"), c.result);
    const std::string made = job.backup + (c.first ? "/docs_1" : "/docs_2");
    EXPECT_EQ(Exists(made), c.newGeneration);
    EXPECT_EQ(job.outcome.failures, c.failures);
    if (!c.newGeneration) continue;
    EXPECT_EQ(ReadFile(made + "/a.txt"), c.op == OsOp::CopyFile && c.failAt.ends_with("a.txt") ? c.kept : "v2");
    if (c.op == OsOp::OpenDir) {
      EXPECT_EQ(ReadFile(made + "/sub/deeper/s.txt"), c.kept);
      EXPECT_EQ(Exists(made + "/sub"), !c.kept.empty());
      continue;
    }
    const std::string name = c.failAt.substr(c.failAt.rfind('/') + 1);
    EXPECT_EQ(Exists(made + "/" + name), !c.kept.empty());
    EXPECT_EQ(job.Log().find("File Kept From Earlier Generation : ") != std::string::npos, !c.kept.empty());
  }
}

// What the backup medium cannot hold is left out, each a failure line, and
// the generation (or the mirror) is made all the same; the log says once
// what the medium does not keep and that private files become readable
// there; a dry run shows what it would leave out. (Names Windows cannot
// make, and permission bits, only where the system has them.)
// A medium that empties a directory it renames (fusefat) gets its
// generations built and deleted under their own names, each marked as no
// generation while that lasts: no directory is ever renamed. A copy left
// incomplete stays marked, no scan takes it for a generation, and the next
// run carries it on. A working directory left by a run that did rename goes.
TEST(BackupTest, AMediumThatLosesRenamedDirectoriesGetsGenerationsBuiltUnderTheirNames) {
  Job job;
  job.UseDir();
  MakeDirs(job.backup + "/.docs.veldar2-new/sub");
  MediumTraits medium;
  medium.renameKeepsContents = false;
  job.disk.medium = medium;
  job.engine.noMessage = 1;
  int renamed = 0;
  job.os.onCall = [&](const FaultInjector::Call& call) {
    const bool move = call.op == OsOp::MoveNoReplace || call.op == OsOp::MoveIfFree || call.op == OsOp::Exchange;
    if (move && call.result.ok() && std::filesystem::is_directory(call.path2)) ++renamed;
  };
  struct Step {
    const char* content;
    bool flushFails;
    std::map<std::string, std::string> generations;
  };
  const Step steps[] = {
      {"v1", false, {{"docs_1", "v1"}}},
      {"v2", false, {{"docs_1", "v1"}, {"docs_2", "v2"}}},
      {"v3", false, {{"docs_1", "v1"}, {"docs_2", "v2"}, {"docs_3", "v3"}}},
      {"v4", false, {{"docs_2", "v2"}, {"docs_3", "v3"}, {"docs_4", "v4"}}},
      {"v5", true, {{"docs_2", "v2"}, {"docs_3", "v3"}, {"docs_4", "v4"}}},
      {"v6", false, {{"docs_1", "v6"}, {"docs_3", "v3"}, {"docs_4", "v4"}}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.content);
    if (step.flushFails) job.os.FailAt(OsOp::SyncFileSystem, "", job.os.Error(ErrorKind::kIo), 1);
    EXPECT_EQ(job.Run(3, step.content), step.flushFails ? 0 : 1);
    std::vector<CFileEntry> scanned;
    ASSERT_EQ(Generations(job.os, job.backup, "docs").FindDirs(&scanned), 1);
    std::map<std::string, std::string> found;
    for (const CFileEntry& generation : scanned) {
      found[generation.name] = ReadFile(job.backup + "/" + generation.name + "/a.txt");
    }
    EXPECT_EQ(found, step.generations);
    // Only the copy left incomplete keeps its mark.
    EXPECT_EQ(Exists(job.backup + "/.docs_1.veldar2-part"), step.flushFails);
    EXPECT_EQ(ListNames(job.backup).size(), step.generations.size() + (step.flushFails ? 2 : 0));
  }
  EXPECT_EQ(renamed, 0);
}

// Where the medium gives a copy the time it is closed or named (smbnetfs,
// fusefat), the copy is given its source's time again: a generation carries
// the source's times, and a mirror still sees a change of the same size made
// before its next run.
TEST(BackupTest, CopiesKeepTheirSourcesTimesWhereTheMediumStampsItsOwn) {
  for (const int count : {1, 3}) {
    SCOPED_TRACE(count);
    Job job;
    job.UseDir();
    MediumTraits medium;
    medium.copyKeepsTime = false;
    job.disk.medium = medium;
    job.os.onCall = [](const FaultInjector::Call& call) {
      if (call.result.ok() && (call.op == OsOp::CopyFile || call.op == OsOp::PlaceCopy)) {
        testing::SetMtime(call.path2, kNow);
      }
    };
    job.engine.noMessage = 1;
    job.engine.generationCount = count;
    const std::string a = job.engine.sourcePath + "/a.txt";
    for (const char* content : {"v1", "v2"}) {
      WriteFile(a, content);
      testing::SetMtime(a, content[1] == '1' ? 1'600'000'000 : 1'600'000'100);
      ASSERT_EQ(job.Backup(), 1);
      const std::string copy = job.backup + (count == 1 ? "" : "/" + ListNames(job.backup).back()) + "/a.txt";
      EXPECT_EQ(ReadFile(copy), content);
      EXPECT_EQ(testing::Mtime(copy), testing::Mtime(a));
    }
  }
}

// Where last-write times stand in for creation times and are coarse (exFAT,
// FAT and SFTP through FUSE), runs within one tick of each other still rank
// in the order they ran: the rotation replaces the oldest, never a newer one.
TEST(BackupTest, RunsWithinOneTickOfTheMediumRankInTheOrderTheyRan) {
  constexpr std::int64_t kTick = 1000;  // seconds: every run of the test falls in one
  for (const bool directory : {true, false}) {
    SCOPED_TRACE(directory);
    Job job;
    if (directory) job.UseDir();
    job.os.fake = false;
    job.disk.coarseTimesSec = kTick;
    job.disk.timeResolutionNs = kTick * 1'000'000'000;
    MediumTraits medium;
    medium.timeResolutionNs = *job.disk.timeResolutionNs;
    job.disk.medium = medium;
    std::vector<std::string> kept;
    for (int run = 1; run <= 5; ++run) {
      const std::string version(run, static_cast<char>('0' + run));
      ASSERT_EQ(job.Run(3, version), 1);
      kept.push_back(version);
      if (kept.size() > 3) kept.erase(kept.begin());
      std::vector<std::string> held;
      for (const std::string& name : job.GenerationNames()) {
        held.push_back(ReadFile(job.backup + "/" + name + (directory ? "/a.txt" : "")));
      }
      std::sort(held.begin(), held.end());
      EXPECT_EQ(held, kept) << "after run " << run;
    }
  }
}

// A medium without creation times whose directories show another time
// once mounted again (an rclone mount caching writes shows the time of the
// mount): the generations keep their order by their manifests, and the
// rotation still replaces the oldest.
TEST(BackupTest, GenerationsKeepTheirOrderWhenTheirDirectoriesTimesChange) {
  Job job;
  job.UseDir();
  job.os.fake = false;
  job.disk.coarseTimesSec = 1;
  for (const char* version : {"v1", "v2", "v3"}) ASSERT_EQ(job.Run(3, version), 1);
  // Written a minute apart; and the oldest directory now shows the latest
  // time.
  for (const int slot : {1, 2, 3}) {
    testing::SetMtime(job.backup + "/docs_" + std::to_string(slot) + "/.veldar2-manifest", kNow + 60 * slot);
    testing::SetMtime(job.backup + "/docs_" + std::to_string(slot), kNow + 60 * slot + 1);
  }
  testing::SetMtime(job.backup + "/docs_1", kNow + 1000);
  ASSERT_EQ(job.Run(3, "v4"), 1);
  EXPECT_EQ(job.Generations(),
            (std::map<std::string, std::string>{{"docs_1", "v4"}, {"docs_2", "v2"}, {"docs_3", "v3"}}));
}

TEST(BackupTest, TheMediumLeavesOutWhatItCannotHold) {
#ifdef _WIN32
  const bool posix = false;
#else
  const bool posix = true;
#endif
  for (const int count : {3, 1}) {
    SCOPED_TRACE(count);
    Job job;
    job.UseDir();
    MediumTraits medium;
    medium.foldsCase = true;
    medium.refusedCharacters = ":";
    medium.largestFile = 4;
    medium.keepsPermissions = medium.keepsOwner = false;
    medium.shownPermissions = 0777;
    job.disk.medium = medium;
    job.engine.noMessage = 1;
    const std::string& source = job.engine.sourcePath;
    WriteFile(source + "/big", "12345");
    std::vector<std::string> leftOut{"big"};
    if (posix) {
      WriteFile(source + "/a:b", "x");
      WriteFile(source + "/README.txt", "A");
      WriteFile(source + "/readme.txt", "a");
      WriteFile(source + "/secret", "s");
      std::unique_ptr<OsDir> dir;
      ASSERT_TRUE(job.real->OpenDir(source, false, &dir).ok() &&
                  dir->ChangeEntry("secret", {.permissions = 0600}).ok());
      leftOut = {"a:b", "big", "readme.txt"};
    }
    std::vector<std::string> omitted;
    MirrorTotals planned;
    ASSERT_EQ(DryRunBackup(
                  job.engine,
                  [&](const DryRunItem& item) {
                    if (item.action == DryRunItem::Action::kOmit) omitted.push_back(item.path);
                  },
                  &planned)
                  .ok,
              1);
    std::sort(omitted.begin(), omitted.end());
    EXPECT_EQ(omitted, leftOut);
    for (const int run : {1, 2}) {
      ASSERT_EQ(job.Run(count, "v" + std::to_string(run)), 1) << run;
      const std::string copy = count == 1 ? job.backup : job.backup + "/docs_" + std::to_string(run);
      EXPECT_EQ(ReadFile(copy + "/a.txt"), "v" + std::to_string(run));
      for (const std::string& name : leftOut) EXPECT_FALSE(Exists(copy + "/" + name)) << name;
      EXPECT_EQ(job.outcome.failures, static_cast<int>(leftOut.size()));
      EXPECT_EQ(job.outcome.leftOutCount, static_cast<int>(leftOut.size()));
      EXPECT_EQ(job.outcome.firstRun, run == 1);
      EXPECT_EQ(job.outcome.exposed, posix ? 1u : 0u);
    }
    // Two runs, and the dry run before them (its lines go to the open log).
    const std::string log = job.Log();
    auto lines = [&](const std::string& text) {
      std::size_t n = 0;
      for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
      return n;
    };
    // (On Windows, case and names are the system's own rules: not told.)
    EXPECT_EQ(lines(posix ? "Backup Medium : no permissions, no owner, case ignored, no : in names, files up to 4 bytes"
                          : "Backup Medium : no permissions, no owner, files up to 4 bytes"),
              3u);
    EXPECT_EQ(lines("/big : the file is larger than the largest file the backup medium can hold"), 3u);
    EXPECT_EQ(lines("Privacy Warning : 1 file(s) private in the source"), posix ? 3u : 0u);
    if (posix) {
      EXPECT_EQ(lines("/readme.txt : the backup medium does not tell these names apart : "), 3u);
    }
  }
}

using BackupExcludeTest = testing::EngineTest;

// What the patterns match is neither copied nor deleted, and the log names
// them; a malformed one refuses the run before anything is written.
TEST_F(BackupExcludeTest, ExcludedEntriesKeepTheirCopiesAndMalformedPatternsRefuse) {
  const std::string s = dir / "docs", b = dir / "backup", g = dir / "gens", empty = dir / "empty";
  for (const char* name : {"a", "old.tmp", "new.tmp", "cache/c"}) WriteFile(s + "/" + name, "new");
  WriteFile(b + "/old.tmp", "earlier"), WriteFile(b + "/gone.tmp", "earlier"), MakeDirs(g), MakeDirs(empty);
  // A directory the source no longer has: what the patterns keep in it stays, the rest goes.
  WriteFile(b + "/old/deep/o.tmp", "kept"), WriteFile(b + "/old/deep/p", "stale"), WriteFile(b + "/old/q", "stale");
  engine.sourcePath = s, engine.backupDir = b, engine.generationCount = 1;
  engine.excludePatterns = {"*.tmp", "cache/"};
  ASSERT_EQ(RunBackup(engine).ok, 1);
  EXPECT_EQ(ListNames(b), (std::vector<std::string>{".veldar2-manifest", "a", "gone.tmp", "old", "old.tmp"}));
  EXPECT_EQ(ListNames(b + "/old"), std::vector<std::string>{"deep"});
  EXPECT_EQ(ListNames(b + "/old/deep"), std::vector<std::string>{"o.tmp"});
  EXPECT_EQ(ReadFile(b + "/old.tmp"), "earlier");
  const auto log = Log();
  // " (case ignored)" follows where the file system ignores case (Windows).
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) { return line.rfind("Exclude : *.tmp | cache/", 0) == 0; }),
            1);
  engine.backupDir = g, engine.generationCount = 2;
  ASSERT_EQ(RunBackup(engine).ok, 1);
  EXPECT_EQ(ListNames(g + "/docs_1"), (std::vector<std::string>{".veldar2-manifest", "a"}));

  engine.backupDir = empty, engine.excludePatterns = {"*.tmp", "a//b"};
  EXPECT_EQ(RunBackup(engine).ok, 0);
  EXPECT_TRUE(ListNames(empty).empty());
  EXPECT_NE(messages.shown.at(0).find("a//b"), std::string::npos);
}

}  // namespace
}  // namespace veldar
