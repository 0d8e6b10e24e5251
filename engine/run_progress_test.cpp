// A run's progress and its stop at the user's request: what the totals say,
// and that a stop in the middle of a large file replaces nothing, leaves no
// partial file, writes its one line, and lets the next run carry on.

#include "engine/run_progress.h"

#include <gtest/gtest.h>

#include <functional>

#include "engine/backup.h"
#include "engine/engine.h"
#include "platform/temporary_names.h"
#include "testing/fault_injector.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::ReadFile;
using testing::WriteFile;

// Asks the run to stop as the copy of a file named "big" begins: the stop is
// heard after the first piece of it has been written.
class StoppingOs : public FaultInjector {
 public:
  using FaultInjector::FaultInjector;
  Status Perform(OsOp op, const std::string& path, const std::string& path2,
                 const std::function<Status()>& real) override {
    if (stopping && (op == OsOp::CopyFile || op == OsOp::StageCopy) && path.find("big") != std::string::npos) {
      stopping->RequestCancel();
    }
    if (op == OsOp::SyncFileSystem && watched) flushingSeen.push_back(watched->Read().flushing);
    return FaultInjector::Perform(op, path, path2, real);
  }
  RunProgress* stopping = nullptr;  // asked to stop at the big file
  RunProgress* watched = nullptr;   // whether it says "flushing" is noted at each flush
  std::vector<bool> flushingSeen;
};

class RunProgressTest : public ::testing::Test, protected testing::EngineServices<StoppingOs> {
 protected:
  RunProgressTest() {
    environment.logDirOverride = dir / "log/";
    testing::MakeDirs(dir / "backup");
    WriteFile(dir / "src/docs/a.txt", "new a");
    WriteFile(dir / "src/docs/z.txt", "new z");
    WriteFile(dir / "src/docs/big.bin", std::string(24 << 20, 'b'));
  }
  // The log is closed while its directory is still there.
  ~RunProgressTest() override { engine.CloseLog(); }
  int Run(int count, bool stop) {
    RunProgress progress;
    fault.stopping = stop ? &progress : nullptr;
    fault.watched = &progress;
    engine.generationCount = count;
    engine.OpenLog();
    RunControl control;
    control.progress = &progress;
    outcome = RunBackup(engine, control);
    engine.CloseLog();
    last = progress.Read();
    return outcome.ok;
  }
  // Every name under `path`, depth first, with '/'.
  std::vector<std::string> Tree(const std::string& path, const std::string& prefix = "") {
    std::vector<std::string> names;
    for (const std::string& name : testing::ListNames(path)) {
      names.push_back(prefix + name);
      if (testing::IsDir(path + "/" + name)) {
        for (const std::string& below : Tree(path + "/" + name, prefix + name + "/")) names.push_back(below);
      }
    }
    return names;
  }
  bool HasTemporary(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      if (name.find(kTempPrefix) != std::string::npos) return true;
    }
    return false;
  }

  testing::TempDir dir;
  RunProgress::Snapshot last;
  BackupOutcome outcome;  // of the last Run
};

TEST_F(RunProgressTest, TotalsComeFromThePlanAndEveryCopyCounts) {
  engine.sourcePath = dir / "src/docs";
  engine.backupDir = dir / "backup";
  ASSERT_EQ(Run(2, false), 1);
  EXPECT_TRUE(last.planned);
  EXPECT_EQ(last.filesTotal, 3u);
  EXPECT_EQ(last.bytesTotal, (24u << 20) + 10);
  EXPECT_EQ(last.filesDone, 3u);
  EXPECT_EQ(last.bytesDone, last.bytesTotal);
  EXPECT_FALSE(last.current.empty());
  EXPECT_FALSE(outcome.cancelled);
  // While the copies are flushed the progress says so, and only then.
  ASSERT_FALSE(fault.flushingSeen.empty());
  EXPECT_EQ(fault.flushingSeen, std::vector<bool>(fault.flushingSeen.size(), true));
  EXPECT_FALSE(last.flushing);
}

// Straight mirrors (0, 1) and new generations (3), of a directory and of a
// file: stopped in the big file, then run again.
TEST_F(RunProgressTest, AStopInALargeFileReplacesNothingAndTheNextRunCarriesOn) {
  struct Case {
    int count;
    bool file;
  } cases[] = {{0, false}, {1, false}, {3, false}, {2, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.count) + (c.file ? " file" : " directory"));
    testing::TempDir backup;
    engine.sourcePath = c.file ? dir / "src/docs/big.bin" : dir / "src/docs";
    engine.backupDir = backup.path();
    // What the backup directory held before: an old copy or old generations.
    if (c.count <= 1) {
      WriteFile(backup / "big.bin", "old big");
      WriteFile(backup / "a.txt", "old a");
    } else if (c.file) {
      WriteFile(backup / "big_1.bin", "gen 1");
      WriteFile(backup / "big_2.bin", "gen 2");
    } else {
      for (const char* generation : {"docs_1", "docs_2", "docs_3"}) {
        WriteFile(backup / (std::string(generation) + "/big.bin"), generation);
      }
    }
    const std::vector<std::string> before = Tree(backup.path());
    messages.shown.clear();

    EXPECT_EQ(Run(c.count, true), 0);
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_TRUE(messages.shown.empty()) << messages.shown.front();
    const std::string log = ReadFile(dir / "log/VELDAR2.LOG");
    EXPECT_NE(log.find(CVELDAR2Engine::kCanceledLine), std::string::npos);
    EXPECT_EQ(log.find("Failed"), std::string::npos) << "a stop is no failure";
    const std::vector<std::string> after = Tree(backup.path());
    EXPECT_FALSE(HasTemporary(after));
    if (c.count <= 1) {
      EXPECT_EQ(ReadFile(backup / "big.bin"), "old big");
    } else if (c.file) {
      EXPECT_EQ(after, before);
      EXPECT_EQ(ReadFile(backup / "big_1.bin"), "gen 1");
    } else {
      for (const char* generation : {"docs_1", "docs_2", "docs_3"}) {
        EXPECT_EQ(ReadFile(backup / (std::string(generation) + "/big.bin")), generation);
      }
      for (const std::string& name : after) {
        if (name.find("big.bin") != std::string::npos) {
          EXPECT_EQ(name.rfind("docs_", 0), 0u) << name;
        }
      }
    }

    // The next run carries on and makes a whole copy of the big file.
    ASSERT_EQ(Run(c.count, false), 1);
    EXPECT_FALSE(outcome.cancelled);
    const std::vector<std::string> done = Tree(backup.path());
    EXPECT_FALSE(HasTemporary(done));
    int whole = 0;
    for (const std::string& name : done) {
      if (name.find("big") != std::string::npos && ReadFile(backup / name) == std::string(24 << 20, 'b')) ++whole;
    }
    EXPECT_EQ(whole, 1);
  }
}

TEST(RunProgressTextTest, SizesDurationsAndTheTerminalLine) {
  const std::pair<std::uint64_t, const char*> sizes[] = {{0, "0 B"},
                                                         {1023, "1023 B"},
                                                         {1024, "1.00 KB"},
                                                         {1536, "1.50 KB"},
                                                         {1023 * 1024, "1.00 MB"},
                                                         {10 * 1024 * 1024 + 1, "10.0 MB"},
                                                         {1073748466, "1.00 GB"},
                                                         {5ull << 40, "5.00 TB"}};
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(HumanBytes(bytes), text) << bytes;
  EXPECT_EQ(HumanDuration(45), "0:45");
  EXPECT_EQ(HumanDuration(185), "3:05");
  EXPECT_EQ(HumanDuration(7620), "2:07:00");

  RunProgress::Snapshot snapshot;
  snapshot.planned = true;
  snapshot.filesTotal = 800;
  snapshot.filesDone = 120;
  snapshot.bytesTotal = 2000ull << 20;
  snapshot.bytesDone = 500ull << 20;
  snapshot.current = "/data/写真/2024/とても長い名前のファイル.jpg";
  const std::string line = ProgressLine(snapshot, 10, 200, Language::kEnglish);
  EXPECT_EQ(line, "25% 120/800 files 500 MB/1.95 GB 50.0 MB/s 0:30 left " + snapshot.current);
  EXPECT_EQ(ProgressLine(snapshot, 10, 200, Language::kJapanese),
            "25% 120/800 ファイル 500 MB/1.95 GB 50.0 MB/s 残り 0:30 " + snapshot.current);
  // Cut to the width from the path's start; wide characters count twice.
  for (const Language language : {Language::kEnglish, Language::kJapanese}) {
    for (int width : {64, 70, 75}) {
      const std::string cut = ProgressLine(snapshot, 10, width, language);
      EXPECT_LE(TextColumns(cut), width) << cut;
      EXPECT_NE(cut.find("..."), std::string::npos) << cut;
      EXPECT_EQ(cut.substr(cut.size() - 4), ".jpg") << cut;
    }
    const std::string narrow = ProgressLine(snapshot, 10, 19, language);
    EXPECT_EQ(TextColumns(narrow), language == Language::kEnglish ? 19 : 18) << narrow;  // a wide one left out
  }
  snapshot.flushing = true;
  EXPECT_EQ(ProgressLine(snapshot, 10, 70, Language::kEnglish)
                .rfind("25% 120/800 files 500 MB/1.95 GB Writing to the disk... ", 0),
            0u);
  EXPECT_EQ(ProgressLine(snapshot, 10, 90, Language::kJapanese)
                .rfind("25% 120/800 ファイル 500 MB/1.95 GB ディスクに書き込んでいます... ", 0),
            0u);
  snapshot.flushing = false;
  snapshot.planned = false;
  snapshot.cancelRequested = true;
  EXPECT_EQ(ProgressLine(snapshot, 0.5, 200, Language::kEnglish).rfind("scanning... 120 files 500 MB Stopping...", 0),
            0u);
  EXPECT_EQ(ProgressLine(snapshot, 0.5, 200, Language::kJapanese)
                .rfind("調べています... 120 ファイル 500 MB 中止しています...", 0),
            0u);
}

// The work left is files as well as bytes: each case finishes copies of the
// given sizes and times on a clock of the test's, then reads the estimate
// with the rest of the plan still to do.
TEST(RunEstimateTest, TheTimeLeftCountsFilesAsWellAsBytes) {
  constexpr std::uint64_t kMB = 1 << 20;
  struct Copy {
    std::uint64_t bytes;
    double seconds;
    int times;
  };
  struct Case {
    const char* name;
    std::vector<Copy> copies;
    std::uint64_t filesTotal, bytesTotal;
    double leftLow, leftHigh;  // seconds
    int permilleLow, permilleHigh;
    Copy partial = {0, 0, 0};  // a copy under way: written so far, and for how long
  } cases[] = {
      // 100 MB at 100 MB/s, then 100 of 3,000 small files at 10 ms each:
      // 29 s are left, not none.
      {"small files after a large one",
       {{100 * kMB, 1, 1}, {1024, 0.01, 100}},
       3001,
       100 * kMB + 3000 * 1024,
       28,
       30,
       60,
       70},
      // Small files of many sizes: 2 ms each plus 10 ms per MB.
      {"mixed sizes", {{4096, 0.002, 50}, {kMB, 0.012, 50}, {16384, 0.002, 50}}, 300, 300 * kMB, 2.6, 3.0, 200, 250},
      // Files of one size: the files left take what these took.
      {"one size", {{2048, 0.005, 40}}, 100, 100 * 2048, 0.29, 0.31, 399, 401},
      // 2,900 small files at 0.1 ms, then 40 of 100 MB written in 0.4 s:
      // the 60 MB left take 0.6 s, not nothing.
      {"a large file after small ones",
       {{3, 0.0001, 2900}},
       2901,
       100 * kMB + 2900 * 3,
       0.55,
       0.65,
       500,
       560,
       {40 * kMB, 0.4, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    double now = 0;
    RunProgress progress([&now] { return now; });
    progress.AddPlanned(c.filesTotal, c.bytesTotal);
    for (const Copy& copy : c.copies) {
      for (int i = 0; i < copy.times; ++i) {
        progress.FileStarted("f");
        progress.Advance(copy.bytes);
        now += copy.seconds;
        progress.FileFinished(copy.bytes);
      }
    }
    if (c.partial.times) {
      progress.FileStarted("large");
      progress.Advance(c.partial.bytes);
      now += c.partial.seconds;
    }
    const RunEstimate estimate = Estimate(progress.Read(), now);
    EXPECT_GE(estimate.secondsLeft, c.leftLow);
    EXPECT_LE(estimate.secondsLeft, c.leftHigh);
    EXPECT_GE(estimate.permille, c.permilleLow);
    EXPECT_LE(estimate.permille, c.permilleHigh);
    EXPECT_EQ(estimate.percent, estimate.permille / 10);
  }
}

}  // namespace
}  // namespace veldar
