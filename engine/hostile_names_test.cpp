// Names and paths that break naive code: control characters, bytes that are
// not UTF-8, a leading "-", names at the length limit, paths beyond the path
// limit, links that lead nowhere or round in circles, and entries swapped for
// a FIFO or a link between the listing and the copy. They go through a
// backup and a restore byte for byte, and the log shows each on one line.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <functional>
#include <vector>

#include "engine/backup.h"
#include "engine/engine.h"
#include "engine/restore.h"
#include "testing/fault_injector.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"
#include "tests/tree_snapshot.h"

namespace veldar {
namespace {

using testing::FileNode;
using testing::LinkNode;
using testing::ReadFile;
using testing::Tree;
using testing::TreeDiff;

constexpr std::int64_t kTime = 1'650'000'000;

// Calls `beforeCopy` with the source of each copy, before the copy is made.
class SwapOs : public FaultInjector {
 public:
  using FaultInjector::FaultInjector;
  Status Perform(OsOp op, const std::string& path, const std::string& path2,
                 const std::function<Status()>& real) override {
    if ((op == OsOp::CopyFile || op == OsOp::StageCopy) && beforeCopy) beforeCopy(path);
    return FaultInjector::Perform(op, path, path2, real);
  }
  std::function<void(const std::string& from)> beforeCopy;
};

// A source directory, a backup directory and a log directory, and an engine
// that backs the source up with a count of 2.
class HostileNamesTest : public ::testing::Test, protected testing::EngineServices<SwapOs> {
 protected:
  HostileNamesTest() {
    environment.logDirOverride = dir / "log/";
    engine.backupDir = dir / "backup";
    engine.generationCount = 2;
    UseSource("docs");
    testing::MakeDirs(engine.backupDir);
  }
  // The log is closed while its directory is still there.
  ~HostileNamesTest() override { engine.CloseLog(); }
  void UseSource(const std::string& name) { engine.sourcePath = dir / ("src/" + name); }
  // One logged run, as the batch makes it.
  int Backup() {
    engine.OpenLog();
    outcome = RunBackup(engine);
    engine.CloseLog();
    return outcome.ok;
  }
  std::string Log() { return ReadFile(dir / "log/VELDAR2.LOG"); }
  // The newest generation restored into dir/R; the restored tree's path.
  std::string Restore(const std::string& restoredName) {
    EXPECT_EQ(engine.FindDirGenerations(), 1);
    engine.restoreDir = dir / "R";
    const RestoreResult result = RunRestore(engine, 0);
    EXPECT_EQ(result.ok, 1) << result.message;
    return dir / ("R/" + restoredName);
  }

  testing::FastTempDir dir;
  BackupOutcome outcome;  // of the last Backup()
};

// How the log writes a name: control bytes as C escapes.
std::string Escaped(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Every byte of the log that is a control character but the line end.
std::string RawControlBytes(const std::string& log) {
  std::string found;
  for (unsigned char c : log) {
    if ((c < 0x20 && c != '\n') || c == 0x7f) found += std::to_string(c) + " ";
  }
  return found;
}

const std::string kLongFile = std::string(251, 'f') + ".txt";  // 255 bytes
const std::string kLongDir(255, 'd');
const std::string kLongUtf8 = [] {  // 85 three-byte characters: 255 bytes
  std::string name;
  for (int i = 0; i < 85; ++i) name += "\xe3\x81\x82";
  return name;
}();
const std::vector<std::string> kHostileFiles = {
    "line\nfeed.txt",
    "carriage\rreturn.txt",
    "esc\x1b[31mred.txt",
    "bad\xff\xfeutf8.txt",
    "-leading-dash.txt",
    "--help",
    kLongFile,
    kLongUtf8,
    std::string("tab\tand\x7f") + "del",
    std::string("dir\nwith\x1b") + "control/in\r\xff.txt",
    kLongDir + "/inner.txt",
};

Tree HostileTree() {
  Tree tree;
  int i = 0;
  for (const std::string& name : kHostileFiles) {
    const auto slash = name.find('/');
    if (slash != std::string::npos) tree[name.substr(0, slash)] = testing::DirNode();
    ++i;
    tree[name] = FileNode("content " + std::to_string(i) + " of " + name, kTime + i);
  }
  tree["dangling"] = LinkNode("nowhere/at/all", kTime);
  tree["loop-a"] = LinkNode("loop-b", kTime);
  tree["loop-b"] = LinkNode("loop-a", kTime);
  tree["self"] = LinkNode("self", kTime);
  tree["-dash-link\n"] = LinkNode("line\nfeed.txt", kTime);
  return tree;
}

TEST_F(HostileNamesTest, RoundTripThroughBackupAndRestoreAndOneLogLineEach) {
  const Tree tree = HostileTree();
  testing::BuildTree(engine.sourcePath, tree);
  ASSERT_EQ(Backup(), 1) << ::testing::PrintToString(messages.shown);
  ASSERT_EQ(Backup(), 1) << ::testing::PrintToString(messages.shown);
  EXPECT_EQ(outcome.failures, 0);
  EXPECT_EQ(testing::ListNames(engine.backupDir), (std::vector<std::string>{"docs_1", "docs_2"}));
  EXPECT_EQ(TreeDiff(tree, testing::ReadTree(dir / "backup/docs_1")), "");
  EXPECT_EQ(TreeDiff(tree, testing::ReadTree(dir / "backup/docs_2")), "");

  const std::string restored = Restore("docs");
  EXPECT_EQ(TreeDiff(tree, testing::ReadTree(restored)), "");
  EXPECT_EQ(testing::RsyncChanges(engine.sourcePath, restored), "");

  const std::string log = Log();
  EXPECT_EQ(RawControlBytes(log), "");
  for (const auto& [path, node] : tree) {
    if (node.kind == testing::Node::kDir) continue;
    const std::string copied = Escaped("File Copied : " + engine.sourcePath + "/" + path + " to " + dir.path() +
                                       "/backup/.docs.veldar2-new/" + path);
    EXPECT_NE(log.find(copied), std::string::npos) << Escaped(path);
  }
}

TEST_F(HostileNamesTest, HostileSourceNameNamesItsGenerations) {
  const std::string name = "-src\n\x1b\xff";
  UseSource(name);
  const Tree tree = {{"a.txt", FileNode("a", kTime)}};
  testing::BuildTree(engine.sourcePath, tree);
  ASSERT_EQ(Backup(), 1) << ::testing::PrintToString(messages.shown);
  EXPECT_EQ(testing::ListNames(engine.backupDir), std::vector<std::string>{name + "_1"});
  EXPECT_EQ(TreeDiff(tree, testing::ReadTree(Restore(name))), "");
  EXPECT_EQ(RawControlBytes(Log()), "");
}

TEST_F(HostileNamesTest, SourceNameTooLongForAGenerationNameFailsCleanly) {
  // "<name>_1" is beyond the name limit: the run fails and says so.
  UseSource(std::string(255, 's'));
  testing::BuildTree(engine.sourcePath, {{"a.txt", FileNode("a", kTime)}});
  engine.noMessage = 1;
  EXPECT_EQ(Backup(), 0);
  EXPECT_GT(outcome.failures, 0);
  EXPECT_EQ(testing::ListNames(engine.backupDir), std::vector<std::string>{});
}

// A chain of directories whose path is longer than the system accepts.
std::string MakeDeepChain(const std::string& top) {
  const std::string level(200, 'L');
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
  std::size_t length = top.size();
  while (fd >= 0 && length < PATH_MAX + 1000) {
    mkdirat(fd, level.c_str(), 0755);
    const int next = openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
    length += 1 + level.size();
  }
  EXPECT_GE(fd, 0);
  const int file = openat(fd, "bottom.txt", O_WRONLY | O_CREAT, 0644);
  EXPECT_GE(file, 0);
  close(file);
  close(fd);
  return level;
}

// How many levels of `level` lie below `top`, down to the one that holds
// bottom.txt (walked by descriptors: the path is too long to name).
int DeepChainLength(const std::string& top, const std::string& level) {
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
  int depth = 0;
  for (int next; fd >= 0 && (next = openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY)) >= 0; ++depth) {
    close(fd);
    fd = next;
  }
  const bool bottom = fd >= 0 && faccessat(fd, "bottom.txt", F_OK, 0) == 0;
  if (fd >= 0) close(fd);
  return bottom ? depth : -1;
}

// The walk acts relative to open directories, so a tree deeper than any path
// the system accepts is copied whole.
TEST_F(HostileNamesTest, PathBeyondThePathLimitIsCopiedWhole) {
  testing::BuildTree(engine.sourcePath, {{"a.txt", FileNode("a", kTime)}});
  const std::string level = MakeDeepChain(engine.sourcePath);
  EXPECT_EQ(Backup(), 1);
  EXPECT_EQ(outcome.failures, 0);
  EXPECT_TRUE(messages.shown.empty());
  const int depth = DeepChainLength(engine.sourcePath, level);
  EXPECT_GT(depth * 200, PATH_MAX);
  EXPECT_EQ(DeepChainLength(dir / "backup/docs_1", level), depth);
}

// Swapped between the listing and the copy: a FIFO is never opened (the run
// would hang) and is reported; a link is copied as the link, never as what it
// points to outside the tree.
TEST_F(HostileNamesTest, EntriesSwappedBetweenListingAndCopy) {
  testing::WriteFile(dir / "outside/secret.txt", "SECRET");
  const Tree tree = {
      {"fifo-to-be", FileNode("plain", kTime)},
      {"link-to-be", FileNode("plain", kTime)},
      {"other.txt", FileNode("other", kTime)},
  };
  testing::BuildTree(engine.sourcePath, tree);
  const std::string fifo = engine.sourcePath + "/fifo-to-be";
  const std::string link = engine.sourcePath + "/link-to-be";
  fault.beforeCopy = [&](const std::string& from) {
    if (from == fifo) {
      ASSERT_EQ(unlink(fifo.c_str()), 0);
      ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    } else if (from == link) {
      ASSERT_EQ(unlink(link.c_str()), 0);
      ASSERT_EQ(symlink((dir / "outside/secret.txt").c_str(), link.c_str()), 0);
    }
  };
  // Straight into the backup directory, where -NOMSG passes over the
  // failure and carries on.
  engine.generationCount = 1;
  engine.noMessage = 1;
  EXPECT_EQ(Backup(), 1);
  EXPECT_EQ(outcome.failures, 1);
  EXPECT_NE(Log().find("File Copy Failed : " + fifo), std::string::npos);
  EXPECT_NE(Log().find("ERR = " + std::to_string(ENOTSUP)), std::string::npos);

  // The link as it is now in the source, times included.
  const testing::Node swapped = testing::ReadTree(engine.sourcePath).at("link-to-be");
  ASSERT_EQ(swapped.data, dir / "outside/secret.txt");
  const Tree expected = {{"link-to-be", swapped}, {"other.txt", FileNode("other", kTime)}};
  EXPECT_EQ(TreeDiff(expected, testing::ReadTree(engine.backupDir)), "");
}

// Entries that vanish between their listing and their copy (a file, a whole
// directory) are reported as vanished, not as failures: the new generation is
// made without them, and the run still says that something was missed.
TEST_F(HostileNamesTest, EntriesVanishingDuringTheRunAreReported) {
  testing::BuildTree(engine.sourcePath, {{"keep.txt", FileNode("keep", kTime)},
                                         {"gone.txt", FileNode("gone", kTime)},
                                         {"gonedir", testing::DirNode()},
                                         {"gonedir/x", FileNode("x", kTime)}});
  fault.beforeCopy = [&](const std::string&) {
    std::filesystem::remove(engine.sourcePath + "/gone.txt");
    std::filesystem::remove_all(engine.sourcePath + "/gonedir");
  };
  EXPECT_EQ(Backup(), 1);
  EXPECT_EQ(outcome.vanished, 2);
  EXPECT_EQ(outcome.failures, 0);
  EXPECT_NE(Log().find("Source vanished, copy canceled! : " + engine.sourcePath + "/gone"), std::string::npos);
  EXPECT_EQ(testing::ListNames(dir / "backup/docs_1"), (std::vector<std::string>{".veldar2-manifest", "keep.txt"}));
}

}  // namespace
}  // namespace veldar
