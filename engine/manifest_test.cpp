#include "engine/manifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "engine/verify.h"
#include "testing/fault_injector.h"
#include "testing/memory_os.h"

namespace veldar {
namespace {

constexpr std::int64_t kTime = 1'700'000'000;

Manifest OneEntry(const std::string& path) {
  Manifest manifest;
  manifest.Set(path, ManifestEntry{7, -kTime, 999999999, ChecksumOf("content")});
  return manifest;
}

TEST(ManifestTest, AnyPathSurvivesTheText) {
  for (const std::string path :
       {"a", "a/b c/d", "100%/x", "line\nbreak", "tab\tand\rreturn", "\x7f", "日本語/ファイル", "%41"}) {
    SCOPED_TRACE(path);
    const Manifest written = OneEntry(path);
    Manifest read;
    std::string error;
    ASSERT_TRUE(Manifest::Parse(written.Text(), &read, &error)) << error << "\n" << written.Text();
    ASSERT_NE(read.Find(path), nullptr);
    EXPECT_EQ(read.Find(path)->checksum, ChecksumOf("content"));
    EXPECT_EQ(read.Find(path)->mtimeSec, -kTime);
    EXPECT_EQ(read.entries().size(), 1u);
  }
}

// Whatever a disk or a hand does to the text, it is damaged as a whole: no
// entry of it is believed.
TEST(ManifestTest, ADamagedTextIsRefusedWhole) {
  const std::string good = OneEntry("a/b").Text();
  const std::string line = good.substr(good.find('\n') + 1, good.find("END") - good.find('\n') - 1);
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"another format", "VELDAR2-MANIFEST 2\nEND 0\n"},
      {"cut after the entries", good.substr(0, good.find("END"))},
      {"cut inside the last line", good.substr(0, good.size() - 1)},
      {"count that differs", "VELDAR2-MANIFEST 1\n" + line + "END 2\n"},
      {"text after the end", good + "x\n"},
      {"a path twice", "VELDAR2-MANIFEST 1\n" + line + line + "END 2\n"},
      {"a path twice, out of order",
       "VELDAR2-MANIFEST 1\n" + line + line.substr(0, line.rfind(' ') + 1) + "a/a\n" + line + "END 3\n"},
      {"checksum too short", "VELDAR2-MANIFEST 1\n" + line.substr(1) + "END 1\n"},
      {"no path", "VELDAR2-MANIFEST 1\n" + line.substr(0, line.rfind(' ') + 1) + "\nEND 1\n"},
      {"a path leaving the copy", "VELDAR2-MANIFEST 1\n" + line.substr(0, line.rfind(' ') + 1) + "../x\nEND 1\n"},
      {"an empty name", "VELDAR2-MANIFEST 1\n" + line.substr(0, line.rfind(' ') + 1) + "a//b\nEND 1\n"},
      {"a broken escape", "VELDAR2-MANIFEST 1\n" + line.substr(0, line.rfind(' ') + 1) + "a%4\nEND 1\n"},
      {"a raw control character", "VELDAR2-MANIFEST 1\n" + line.substr(0, line.rfind(' ') + 1) + "a\rb\nEND 1\n"},
      {"a size too large", "VELDAR2-MANIFEST 1\n" + std::string(32, 'a') + " 99999999999999999999 0 0 a\nEND 1\n"},
      {"nanoseconds past a second", "VELDAR2-MANIFEST 1\n" + std::string(32, 'a') + " 1 0 1000000000 a\nEND 1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Manifest read = OneEntry("left over");
    std::string error;
    EXPECT_FALSE(Manifest::Parse(c.text, &read, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(read.entries().empty());
  }
}

// The checksum of a copy is the whole file's, in order, whatever pieces
// the platform hands; a copy tried again starts it again.
TEST(ManifestTest, ACopysChecksumIsTheWholeFilesOrNone) {
  struct Piece {
    std::uint64_t offset;
    std::string data;
  };
  const struct {
    const char* name;
    std::vector<Piece> pieces;
    bool result;
  } cases[] = {
      {"one piece", {{0, "abcdef"}}, true},
      {"several", {{0, "ab"}, {2, "cd"}, {4, "ef"}}, true},
      {"a retry", {{0, "xy"}, {0, "abc"}, {3, "def"}}, true},
      {"a gap", {{0, "ab"}, {4, "ef"}}, false},
      {"short", {{0, "abc"}}, false},
      {"nothing handed", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ChecksummingCopy copy(nullptr);
    for (const Piece& piece : c.pieces) copy.Content(piece.offset, piece.data.data(), piece.data.size());
    const std::optional<Checksum> sum = copy.Result(6);
    EXPECT_EQ(sum.has_value(), c.result);
    EXPECT_EQ(sum.value_or(ChecksumOf("abcdef")), ChecksumOf("abcdef"));
  }
}

// A copy with its manifest in memory: /g holds a.txt, d/b.txt, d/c.txt.
struct VerifyFixture : ::testing::Test {
  MemoryOs memory;
  FaultInjector os{memory};

  VerifyFixture() {
    memory.AddFile("/g/a.txt", "alpha", kTime);
    memory.AddFile("/g/d/b.txt", "beta", kTime);
    memory.AddFile("/g/d/c.txt", "gamma", kTime);
  }
  std::unique_ptr<OsDir> Open(const std::string& path) {
    std::unique_ptr<OsDir> dir;
    EXPECT_TRUE(os.OpenDir(path, false, &dir).ok());
    return dir;
  }
  Manifest Build(const CopiedChecksums& copied = {}, const Manifest* earlier = nullptr,
                 ManifestCounts* counts = nullptr) {
    Manifest manifest;
    ManifestCounts unused;
    EXPECT_TRUE(BuildManifest(os, *Open("/g"), copied, earlier, &manifest, counts ? counts : &unused).ok());
    return manifest;
  }
  int Reads() {
    int reads = 0;
    for (const auto& call : os.calls) reads += call.op == OsOp::OpenForReading;
    return reads;
  }
};

TEST_F(VerifyFixture, EachKindOfChangeIsNamedWithItsPath) {
  using Kind = VerifyFinding::Kind;
  const struct {
    const char* name;
    std::function<void(VerifyFixture&)> change;
    std::vector<std::pair<Kind, std::string>> found;
  } cases[] = {
      {"nothing", [](VerifyFixture&) {}, {}},
      {"a byte flipped, same size and time",
       [](VerifyFixture& f) { f.memory.AddFile("/g/d/b.txt", "bEta", kTime); },
       {{Kind::kDamaged, "d/b.txt"}}},
      {"deleted",
       [](VerifyFixture& f) { ASSERT_TRUE(f.Open("/g/d")->DeleteFile("c.txt").ok()); },
       {{Kind::kMissing, "d/c.txt"}}},
      {"touched",
       [](VerifyFixture& f) { f.memory.AddFile("/g/a.txt", "alpha", kTime + 1); },
       {{Kind::kChanged, "a.txt"}}},
      {"added", [](VerifyFixture& f) { f.memory.AddFile("/g/d/new", "n", kTime); }, {{Kind::kUnknown, "d/new"}}},
      {"a folder gone",
       [](VerifyFixture& f) {
         ASSERT_TRUE(f.Open("/g/d")->DeleteFile("b.txt").ok());
         ASSERT_TRUE(f.Open("/g/d")->DeleteFile("c.txt").ok());
         ASSERT_TRUE(f.Open("/g")->RemoveDir("d").ok());
       },
       {{Kind::kMissing, "d/b.txt"}, {Kind::kMissing, "d/c.txt"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    memory.AddFile("/g/a.txt", "alpha", kTime);
    memory.AddFile("/g/d/b.txt", "beta", kTime);
    memory.AddFile("/g/d/c.txt", "gamma", kTime);
    ASSERT_TRUE(WriteManifest(*Open("/g"), Build()).ok());
    c.change(*this);
    const VerifyResult result = VerifyCopy(os, *Open("/g"));
    std::vector<std::pair<Kind, std::string>> found;
    for (const VerifyFinding& finding : result.findings) found.emplace_back(finding.kind, finding.path);
    std::sort(found.begin(), found.end());
    auto want = c.found;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(found, want);
    EXPECT_EQ(result.Holds(), want.empty());
    if (std::unique_ptr<OsDir> d; memory.OpenDir("/g/d", false, &d).ok()) (void)d->DeleteFile("new");
  }
}

TEST_F(VerifyFixture, ACopyWithoutAGoodManifestIsToldSo) {
  EXPECT_EQ(VerifyCopy(os, *Open("/g")).manifest, ManifestState::kAbsent);
  memory.AddFile(std::string("/g/") + kManifestName, "VELDAR2-MANIFEST 1\n");
  const VerifyResult damaged = VerifyCopy(os, *Open("/g"));
  EXPECT_EQ(damaged.manifest, ManifestState::kDamaged);
  EXPECT_FALSE(damaged.Holds());
}

// Entries come from the checksums seen while copying, then from the
// earlier manifest where its entry still matches the file, and only then
// from reading the file.
TEST_F(VerifyFixture, FilesAreReadOnlyWhereNothingElseKnowsThem) {
  const Manifest truth = Build();
  Manifest earlier;
  earlier.Set("d/b.txt", *truth.Find("d/b.txt"));
  ManifestEntry stale = *truth.Find("d/c.txt");
  stale.mtimeSec -= 1;
  earlier.Set("d/c.txt", stale);
  os.calls.clear();
  ManifestCounts counts;
  const Manifest built = Build(
      CopiedChecksums{{"a.txt", CopiedChecksum{5, truth.Find("a.txt")->checksum, std::nullopt}}}, &earlier, &counts);
  EXPECT_EQ(counts.copied, 1u);
  EXPECT_EQ(counts.earlier, 1u);
  EXPECT_EQ(counts.read, 1u);
  EXPECT_EQ(Reads(), 1) << "only d/c.txt, whose earlier entry is stale";
  EXPECT_EQ(built.Text(), truth.Text());
}

}  // namespace
}  // namespace veldar
