// Backups onto a real file system that fills up: a small tmpfs the test
// mounts (as root; elsewhere the tests are skipped). The disk runs out of
// bytes in the middle of a copy, or out of inodes when a directory or a
// temporary file is made. Whatever fills up, no file under a final name is
// partial, no temporary file stays, the failure lines are in the log, the
// exit status says the run failed, and once there is room again the next run
// converges.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "app/app.h"
#include "res/string_table.h"
#include "testing/fake_environment.h"
#include "testing/fault_injector.h"
#include "tests/test_util.h"
#include "tests/tree_snapshot.h"

namespace veldar {
namespace {

using testing::FileNode;
using testing::ReadFile;
using testing::Tree;
using testing::TreeDiff;

constexpr std::int64_t kTime = 1'650'000'000;

// Reports as much free space as a test wants, or the truth.
class RoomOs : public FaultInjector {
 public:
  using FaultInjector::FaultInjector;
  Status FreeSpace(const std::string& path, std::uint64_t* bytes) override {
    if (claimedFree == 0) return FaultInjector::FreeSpace(path, bytes);
    *bytes = claimedFree;
    return Status();
  }
  std::uint64_t claimedFree = 0;
};

// `size` bytes that differ from those of every other call.
std::string Bytes(std::size_t size, char seed) {
  std::string data(size, seed);
  for (std::size_t i = 0; i < size; i += 97) data[i] = static_cast<char>(seed + i / 97);
  return data;
}

class FullDiskTest : public ::testing::Test {
 protected:
  // Mounts a tmpfs with `options` on dir/mnt; false (and the test skipped)
  // where mounting is not possible.
  bool Mount(const std::string& options) {
    testing::MakeDirs(mnt);
    std::string output;
    if (geteuid() != 0 ||
        testing::RunCommand("mount -t tmpfs -o " + options + " tmpfs '" + mnt + "' 2>&1", &output) != 0) {
      return false;
    }
    mounted_ = true;
    return true;
  }
  void TearDown() override {
    if (mounted_ && testing::RunCommand("umount '" + mnt + "' 2>/dev/null") != 0)
      testing::RunCommand("umount -l '" + mnt + "'");
  }

  // One batch run, as the command line starts it.
  int Run(std::vector<std::string> arguments) {
    testing::MemorySettings settings;
    messages.shown.clear();
    CVELDAR2App app(os, messages, settings);
    std::ostringstream out, err;
    const int status = app.InitInstance(arguments, out, err);
    failures = app.outcome.failures;
    return status;
  }
  std::string Log() { return ReadFile(dir / "log/VELDAR2.LOG"); }

  // Every file under a final name below `root` holds what the source's file
  // of that path holds; no temporary file is left. Returns what is wrong.
  std::string PartialOrLeftover(const std::string& root, const Tree& source) {
    std::string wrong;
    for (const auto& [path, node] : testing::ReadTree(root)) {
      const std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
      if (testing::IsTempName(name)) {
        wrong += "temporary file left: " + path + "\n";
      } else if (node.kind == testing::Node::kFile && (!source.contains(path) || source.at(path).data != node.data)) {
        wrong += "partial or foreign file: " + path + " (" + std::to_string(node.data.size()) + " bytes)\n";
      }
    }
    return wrong;
  }

  testing::TempDir dir;
  const std::string mnt = dir / "mnt";
  const std::string source = dir / "src/docs";
  std::unique_ptr<Os> real = MakeSystemOs();
  FakeEnvironment environment{*real};
  RoomOs os{environment};
  testing::RecordingMessages messages;
  int failures = 0;

  FullDiskTest() { environment.logDirOverride = dir / "log/"; }

 private:
  bool mounted_ = false;
};

#define MOUNT_OR_SKIP(options)                                                      \
  if (!Mount(options)) {                                                            \
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root and mount rights): the " \
                    "full-disk tests did not run";                                  \
  }

// Count 1 mirrors straight into the backup directory, file by file: the disk
// fills in the middle of a copy.
TEST_F(FullDiskTest, MirrorRunsOutOfBytes) {
  MOUNT_OR_SKIP("size=2m");
  const std::string backup = mnt + "/backup";
  testing::MakeDirs(backup);
  testing::WriteFile(mnt + "/ballast", std::string(1'000'000, 'b'));
  Tree tree = {
      {"a.txt", FileNode("a", kTime)},
      {"sub", testing::DirNode()},
      {"sub/b.txt", FileNode("b", kTime)},
  };
  for (char c : {'1', '2', '3', '4'}) {
    tree[std::string("big") + c] = FileNode(Bytes(300'000, c), kTime);
    tree[std::string("sub/big") + c] = FileNode(Bytes(50'000, c), kTime);
  }
  testing::BuildTree(source, tree);

  EXPECT_EQ(Run({"-M1", source, backup}), kExitFailure);
  EXPECT_FALSE(messages.shown.empty());
  EXPECT_EQ(PartialOrLeftover(backup, tree), "");
  EXPECT_NE(Log().find("ERR = " + std::to_string(ENOSPC)), std::string::npos) << Log();

  EXPECT_EQ(Run({"-M1", "-NOMSG", source, backup}), kExitPartialFailure);
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_GT(failures, 0);
  EXPECT_EQ(PartialOrLeftover(backup, tree), "");

  ASSERT_EQ(unlink((mnt + "/ballast").c_str()), 0);
  EXPECT_EQ(Run({"-M1", source, backup}), kExitSuccess) << ::testing::PrintToString(messages.shown);
  EXPECT_EQ(TreeDiff(tree, testing::ReadTree(backup)), "");
  EXPECT_EQ(testing::RsyncChanges(source, backup), "");
}

// The file system runs out of inodes: directories and temporary files
// cannot be made.
TEST_F(FullDiskTest, MirrorRunsOutOfInodes) {
  MOUNT_OR_SKIP("size=2m,nr_inodes=24");
  const std::string backup = mnt + "/backup";
  testing::MakeDirs(backup);
  Tree tree;
  for (const char* d : {"d1", "d1/d2", "d3", "e1", "e1/e2", "e3"}) tree[d] = testing::DirNode();
  for (const char* f : {"f1", "f2", "f3", "f4", "d1/f5", "d1/d2/f6", "d3/f7", "d3/f8", "e1/g1", "e3/g2"})
    tree[f] = FileNode(std::string("content of ") + f, kTime);
  testing::BuildTree(source, tree);
  // Leave room for a few entries only.
  int ballast = 0;
  for (; ballast < 40; ++ballast) {
    const std::string path = mnt + "/ballast" + std::to_string(ballast);
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) break;
    std::fclose(file);
  }
  ASSERT_GT(ballast, 12) << "the inode limit did not hold";
  for (int i = ballast - 1; i >= ballast - 5; --i) unlink((mnt + "/ballast" + std::to_string(i)).c_str());

  EXPECT_EQ(Run({"-M1", source, backup}), kExitFailure);
  EXPECT_EQ(PartialOrLeftover(backup, tree), "");
  EXPECT_EQ(Run({"-M1", "-NOMSG", source, backup}), kExitPartialFailure);
  EXPECT_EQ(PartialOrLeftover(backup, tree), "");
  // Six directories and five free inodes: some creation failed, and some copy.
  const std::string log = Log();
  EXPECT_NE(log.find("Directory Create Failed : "), std::string::npos) << log;
  EXPECT_NE(log.find("ERR= 28"), std::string::npos) << log;
  EXPECT_NE(log.find("ERR = 28"), std::string::npos) << log;

  for (int i = 0; i < ballast; ++i) unlink((mnt + "/ballast" + std::to_string(i)).c_str());
  EXPECT_EQ(Run({"-M1", source, backup}), kExitSuccess) << ::testing::PrintToString(messages.shown);
  EXPECT_EQ(TreeDiff(tree, testing::ReadTree(backup)), "");
  EXPECT_EQ(testing::RsyncChanges(source, backup), "");
}

// With generations, a copy that cannot fit is refused before anything is
// deleted; one that passes the estimate and fills the disk all the same
// leaves every generation as it was; with room again, the run converges.
TEST_F(FullDiskTest, GenerationThatDoesNotFit) {
  MOUNT_OR_SKIP("size=2m");
  const std::string backup = mnt + "/backup";
  testing::MakeDirs(backup);
  Tree small = {{"a.txt", FileNode("small", kTime)}};
  testing::BuildTree(source, small);
  ASSERT_EQ(Run({"-M2", source, backup}), kExitSuccess);
  testing::WaitForNewTimestamps();
  ASSERT_EQ(Run({"-M2", source, backup}), kExitSuccess);
  testing::WaitForNewTimestamps();
  testing::WriteFile(mnt + "/ballast", std::string(1'000'000, 'b'));

  Tree big = small;
  big["big"] = FileNode(Bytes(1'500'000, 'x'), kTime);
  testing::BuildTree(source, big);

  for (bool noMessage : {false, true}) {
    const std::vector<std::string> arguments = noMessage ? std::vector<std::string>{"-M2", "-NOMSG", source, backup}
                                                         : std::vector<std::string>{"-M2", source, backup};
    EXPECT_EQ(Run(arguments), kExitFailure);
    const std::string refusal = LoadString(IDS_NO_ROOM) + "\n必要: ";
    if (noMessage) {
      // The log writes the line break escaped.
      EXPECT_NE(Log().find(LoadString(IDS_NO_ROOM) + "\\n必要: "), std::string::npos);
    } else {
      ASSERT_EQ(messages.shown.size(), 1u);
      EXPECT_EQ(messages.shown[0].rfind(refusal, 0), 0u) << messages.shown[0];
    }
    EXPECT_EQ(testing::ListNames(backup), (std::vector<std::string>{"docs_1", "docs_2"}));
  }

  // The estimate is fooled; the disk fills during the copy. With -NOMSG the
  // run goes on past the copies that fail, and still the incomplete copy
  // takes no generation's place.
  os.claimedFree = 1'000'000'000;
  for (const char* options : {"-M2", "-NOMSG"}) {
    SCOPED_TRACE(options);
    EXPECT_EQ(Run({"-M2", options, source, backup}), kExitFailure);
    EXPECT_NE(Log().find("ERR = " + std::to_string(ENOSPC)), std::string::npos);
    EXPECT_EQ(testing::ListNames(backup), (std::vector<std::string>{".docs.veldar2-new", "docs_1", "docs_2"}));
    EXPECT_EQ(TreeDiff(small, testing::ReadTree(backup + "/docs_1")), "");
    EXPECT_EQ(TreeDiff(small, testing::ReadTree(backup + "/docs_2")), "");
    EXPECT_EQ(PartialOrLeftover(backup + "/.docs.veldar2-new", big), "");
  }

  os.claimedFree = 0;
  ASSERT_EQ(unlink((mnt + "/ballast").c_str()), 0);
  EXPECT_EQ(Run({"-M2", source, backup}), kExitSuccess) << ::testing::PrintToString(messages.shown);
  EXPECT_EQ(testing::ListNames(backup), (std::vector<std::string>{"docs_1", "docs_2"}));
  // docs_1 was the oldest: it was recycled.
  EXPECT_EQ(TreeDiff(big, testing::ReadTree(backup + "/docs_1")), "");
  EXPECT_EQ(testing::RsyncChanges(source, backup + "/docs_1"), "");
  EXPECT_EQ(TreeDiff(small, testing::ReadTree(backup + "/docs_2")), "");
}

// A medium that does not tell its size (no blocks at all: SMB through
// smbnetfs, FAT through fusefat; here a tmpfs without a limit) is not
// refused for want of room, by a run or a dry run: the log says the check
// was passed over.
TEST_F(FullDiskTest, AMediumThatDoesNotTellItsSizeIsNotRefused) {
  MOUNT_OR_SKIP("size=0");
  const std::string backup = mnt + "/backup";
  testing::MakeDirs(backup);
  const Tree tree = {{"a.txt", FileNode("a", kTime)}, {"big", FileNode(Bytes(100'000, 'b'), kTime)}};
  testing::BuildTree(source, tree);
  EXPECT_EQ(Run({"-DRYRUN", "-M2", source, backup}), kExitSuccess);
  EXPECT_EQ(Run({"-M2", source, backup}), kExitSuccess) << ::testing::PrintToString(messages.shown);
  EXPECT_NE(Log().find("Free Space Unknown, Not Checked : " + backup), std::string::npos) << Log();
  EXPECT_EQ(TreeDiff(tree, testing::ReadTree(backup + "/docs_1")), "");
}

// A file source is copied over its oldest generation: a copy that fills the
// disk leaves that generation as it was.
TEST_F(FullDiskTest, FileGenerationThatDoesNotFit) {
  MOUNT_OR_SKIP("size=2m");
  const std::string backup = mnt + "/backup";
  const std::string file = dir / "src/report.doc";
  testing::MakeDirs(backup);
  testing::WriteFile(file, "small");
  ASSERT_EQ(Run({"-M2", file, backup}), kExitSuccess);
  testing::WaitForNewTimestamps();
  ASSERT_EQ(Run({"-M2", file, backup}), kExitSuccess);
  testing::WriteFile(mnt + "/ballast", std::string(1'000'000, 'b'));
  const std::string big = Bytes(1'500'000, 'r');
  testing::WriteFile(file, big);

  EXPECT_EQ(Run({"-M2", file, backup}), kExitFailure);
  EXPECT_NE(Log().find("ERR = " + std::to_string(ENOSPC)), std::string::npos);
  // The generation the copy would have replaced keeps its manifest.
  EXPECT_EQ(testing::ListNames(backup),
            (std::vector<std::string>{".report_1.doc_.veldar2-manifest", ".report_2.doc_.veldar2-manifest",
                                      "report_1.doc_", "report_2.doc_"}));
  EXPECT_EQ(testing::FileManifestProblems(backup, "report_1.doc_"), "");
  EXPECT_EQ(ReadFile(backup + "/report_1.doc_"), "small");
  EXPECT_EQ(ReadFile(backup + "/report_2.doc_"), "small");

  ASSERT_EQ(unlink((mnt + "/ballast").c_str()), 0);
  EXPECT_EQ(Run({"-M2", file, backup}), kExitSuccess);
  EXPECT_EQ(ReadFile(backup + "/report_1.doc_"), big);
  EXPECT_EQ(ReadFile(backup + "/report_2.doc_"), "small");
}

}  // namespace
}  // namespace veldar
