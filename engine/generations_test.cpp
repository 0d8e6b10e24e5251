#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

#include "engine/engine.h"
#include "testing/fault_injector.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::MakeDirs;
using testing::WriteFile;

// Reports chosen creation times for entries of a listing, by name: birth
// times cannot be set on Linux, and files made within one second tie.
class BirthOs : public FaultInjector {
 public:
  using FaultInjector::FaultInjector;
  void Seen(const std::string& path, FileStatus* status) override {
    auto found = births.find(Paths().NameOf(path));
    if (found != births.end()) {
      status->birthSec = found->second;
      status->birthNsec = 0;
    }
  }
  std::map<std::string, std::int64_t> births;
};

enum class Kind { File, Dir, LinkToFile, LinkToDir };

class GenerationsTest : public ::testing::Test, protected testing::EngineServices<BirthOs> {
 protected:
  void SetUp() override {
    MakeDirs(backup);
    MakeDirs(dir / "elsewhere");
    WriteFile(dir / "elsewhere/file", "x");
    engine.backupDir = backup;
  }

  void Make(const std::string& name, Kind kind) {
    const std::string path = dir / ("backup/" + name);
    switch (kind) {
      case Kind::File:
        WriteFile(path, "x");
        break;
      case Kind::Dir:
        MakeDirs(path);
        break;
      case Kind::LinkToFile:
        if (!testing::MakeLink(dir / "elsewhere/file", path)) noLinks = true;
        break;
      case Kind::LinkToDir:
        if (!testing::MakeLink(dir / "elsewhere", path, true)) noLinks = true;
        break;
    }
  }

  bool noLinks = false;  // a link `Make` was asked for could not be made
  // Whether the scratch directory's file system ignores letter case (NTFS).
  bool FileSystemFoldsCase() { return testing::Exists(dir / "BACKUP"); }

  std::vector<std::string> Found() {
    std::vector<std::string> names;
    for (const CFileEntry& entry : engine.generations) names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::TempDir dir;
  std::string backup = dir / "backup";
};

// Only the exact forms count: anything else in a shared backup directory is
// never rotated away.
TEST_F(GenerationsTest, FileGenerationsAreRecognisedByExactFormOnly) {
  struct Case {
    const char* name;
    Kind kind;
  } present[] = {
      {"report_1.doc_", Kind::File},       {"REPORT_2.DOC_", Kind::File},  {"report_98.doc_", Kind::File},
      {"report_old.doc_", Kind::File},     {"report_1.txt_", Kind::File},  {"report_01.doc_", Kind::File},
      {"report_99.doc_", Kind::File},      {"report_0.doc_", Kind::File},  {"report_5.doc", Kind::File},
      {"report_.doc_", Kind::File},        {"xreport_6.doc_", Kind::File}, {"report_7.doc_", Kind::Dir},
      {"report_8.doc_", Kind::LinkToFile}, {"_1.README_", Kind::File},     {"_2.readme_", Kind::File},
      {"archive_1.tar.gz_", Kind::File},   {"archive_2.tar_", Kind::File},
  };
  for (const Case& c : present) Make(c.name, c.kind);  // a link that cannot be made would not count either

  // Names that differ only in case are another source's on a file system
  // that tells case apart, and the same names where it does not.
  for (bool fold : {false, true}) {
    if (!fold && FileSystemFoldsCase()) continue;
    disk.foldsCase = fold;
    const std::map<std::string, std::vector<std::string>> expected = {
        {"report.doc", fold ? std::vector<std::string>{"REPORT_2.DOC_", "report_1.doc_", "report_98.doc_"}
                            : std::vector<std::string>{"report_1.doc_", "report_98.doc_"}},
        {"README",
         fold ? std::vector<std::string>{"_1.README_", "_2.readme_"} : std::vector<std::string>{"_1.README_"}},
        {"archive.tar.gz", {"archive_1.tar.gz_"}},
    };
    for (const auto& [source, names] : expected) {
      engine.sourcePath = dir / ("src/" + source);
      EXPECT_EQ(engine.FindFileGenerations(), 1);
      EXPECT_EQ(Found(), names) << source << (fold ? " folding case" : "");
    }
  }
}

TEST_F(GenerationsTest, DirectoryGenerationsAreRecognisedByExactFormOnly) {
  for (const char* name : {"docs_1", "DOCS_3", "docs_98", "docs_backup", "docs2_1", "docs_01", "docs_99", "docs_",
                           "my_docs_1", "my_docs_x"}) {
    Make(name, Kind::Dir);
  }
  Make("docs_9", Kind::File);
  Make("docs_4", Kind::LinkToDir);

  for (bool fold : {false, true}) {
    if (!fold && FileSystemFoldsCase()) continue;
    disk.foldsCase = fold;
    engine.sourcePath = dir / "src/docs";
    EXPECT_EQ(engine.FindDirGenerations(), 1);
    const std::vector<std::string> expected =
        fold ? std::vector<std::string>{"DOCS_3", "docs_1", "docs_98"} : std::vector<std::string>{"docs_1", "docs_98"};
    EXPECT_EQ(Found(), expected);
    engine.sourcePath = dir / "src/my_docs";
    EXPECT_EQ(engine.FindDirGenerations(), 1);
    EXPECT_EQ(Found(), std::vector<std::string>{"my_docs_1"});
  }
}

TEST_F(GenerationsTest, MissingBackupDirectoryFailsWithEmptyList) {
  engine.sourcePath = dir / "src/report.doc";
  Make("report_1.doc_", Kind::File);
  ASSERT_EQ(engine.FindFileGenerations(), 1);
  ASSERT_EQ(engine.generations.size(), 1u);

  engine.backupDir = dir / "missing";
  EXPECT_EQ(engine.FindFileGenerations(), 0);
  EXPECT_TRUE(engine.generations.empty());
  EXPECT_EQ(engine.FindDirGenerations(), 0);
  EXPECT_TRUE(engine.generations.empty());
}

TEST_F(GenerationsTest, NumberedNewestFirstTiesInListOrder) {
  engine.sourcePath = dir / "src/docs";
  for (const char* name : {"docs_1", "docs_2", "docs_3", "docs_4", "docs_5"}) Make(name, Kind::Dir);
  fault.births = {{"docs_1", 36000}, {"docs_2", 43200}, {"docs_3", 39600}, {"docs_4", 30000}, {"docs_5", 30000}};
  ASSERT_EQ(engine.FindDirGenerations(), 1);

  std::map<std::string, int> numbers;
  std::vector<std::string> order;
  for (const CFileEntry& entry : engine.generations) {
    numbers[entry.name] = entry.generation;
    order.push_back(entry.name);
  }
  EXPECT_EQ(numbers["docs_2"], 0);
  EXPECT_EQ(numbers["docs_3"], 1);
  EXPECT_EQ(numbers["docs_1"], 2);
  // The tie: whichever the listing returned first is the newer one.
  auto first4 = std::find(order.begin(), order.end(), "docs_4");
  auto first5 = std::find(order.begin(), order.end(), "docs_5");
  EXPECT_EQ(numbers[first4 < first5 ? "docs_4" : "docs_5"], 3);
  EXPECT_EQ(numbers[first4 < first5 ? "docs_5" : "docs_4"], 4);
}

TEST_F(GenerationsTest, NewNamesTakeTheLowestFreeSlot) {
  engine.sourcePath = dir / "src/report.doc";
  ASSERT_EQ(engine.FindFileGenerations(), 1);
  engine.MakeFileGenerationPath();
  EXPECT_EQ(engine.targetPath, dir / "backup/report_1.doc_");

  Make("report_1.doc_", Kind::File);
  Make("REPORT_3.DOC_", Kind::File);
  ASSERT_EQ(engine.FindFileGenerations(), 1);
  engine.MakeFileGenerationPath();
  EXPECT_EQ(engine.targetPath, dir / "backup/report_2.doc_");

  engine.sourcePath = dir / "src/README";
  ASSERT_EQ(engine.FindFileGenerations(), 1);
  engine.MakeFileGenerationPath();
  EXPECT_EQ(engine.targetPath, dir / "backup/_1.README_");

  // A name held by something that is not a generation is not free either:
  // a copy would replace it, a mirror through a link would write elsewhere.
  // "DOCS_1" is another source's unless the file system ignores case.
  engine.sourcePath = dir / "src/docs";
  Make("DOCS_1", Kind::Dir);
  Make("docs_2", Kind::File);
  Make("docs_3", Kind::LinkToDir);
  if (noLinks) GTEST_SKIP() << "no links can be made here (Wine makes none)";
  ASSERT_EQ(engine.FindDirGenerations(), 1);
  if (!FileSystemFoldsCase()) {
    EXPECT_EQ(engine.MakeDirGenerationName(), "docs_1");
  }
  disk.foldsCase = true;
  ASSERT_EQ(engine.FindDirGenerations(), 1);
  EXPECT_EQ(engine.MakeDirGenerationName(), "docs_4");
}

}  // namespace
}  // namespace veldar
