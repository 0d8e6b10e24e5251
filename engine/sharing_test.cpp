// Generations that share unchanged files with the newest one, and copies
// made durable before they are named.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "engine/engine.h"
#include "engine/verify.h"
#include "testing/fault_injector.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::ReadFile;
using testing::WriteFile;

constexpr std::int64_t kTime = 1'600'000'000;
// The finest step of a last-write time both systems keep.
#ifdef _WIN32
constexpr std::uint32_t kFinestStepNs = 100;
#else
constexpr std::uint32_t kFinestStepNs = 1;
#endif

std::filesystem::path P(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// A directory source "docs" with one file, backed up with a count of 3.
struct Sharing : testing::EngineTest {
  Sharing() {
    engine.sourcePath = dir / "src/docs";
    engine.backupDir = dir / "backup";
    engine.generationCount = 3;
    testing::MakeDirs(engine.backupDir);
    WriteFile(File(), "abc");
#ifndef _WIN32
    chmod(File().c_str(), 0644);
#endif
    testing::SetMtime(File(), kTime);
  }
  // The entry's status as the OS layer reports it (identity, names,
  // permissions: on Windows those the read-only attribute gives).
  FileStatus Stat(const std::string& path) {
    FileStatus status;
    EXPECT_TRUE(veldar::Stat(*real, path, /*followLink=*/false, &status).ok()) << path;
    return status;
  }
  std::string File() const { return engine.sourcePath + "/a/b/f"; }
  std::string InGeneration(int slot) const { return engine.backupDir + "/docs_" + std::to_string(slot) + "/a/b/f"; }
  void Run() {
    testing::WaitForNewTimestamps();  // each generation born after the one before
    ASSERT_EQ(engine.Backup(), 1) << LogText();
  }
};

// A file is taken from the newest generation only when its size, time (to
// the nanosecond, to 100 ns on Windows) and permissions are the source's, and
// never with -NOTIME. Permission bits are POSIX's: Windows has only the
// read-only attribute, which a copy keeps (FileOpsTest).
// Linked, it is the newest generation's file; cloned, a file of its own that
// was never read from the source; otherwise an ordinary copy.
TEST_F(Sharing, OnlyWhatMatchesExactlyIsShared) {
  enum class Change { kNone, kNanosecond, kSize, kPermissions };
  enum class Expect { kLinked, kCloned, kCopied };
  struct Case {
    const char* name;
    Change change;
    bool link, clone, noTime;
    Expect expect;
  };
  const Case cases[] = {
      {"unchanged, -LINK", Change::kNone, true, false, false, Expect::kLinked},
      {"unchanged, cannot clone", Change::kNone, false, false, false, Expect::kCopied},
      {"unchanged, can clone", Change::kNone, false, true, false, Expect::kCloned},
      // -LINK links wherever links can be made, also where it could clone.
      {"unchanged, link before clone", Change::kNone, true, true, false, Expect::kLinked},
      {"the finest step later", Change::kNanosecond, true, true, false, Expect::kCopied},
      {"another size, same time", Change::kSize, true, true, false, Expect::kCopied},
#ifndef _WIN32
      {"other permissions", Change::kPermissions, true, true, false, Expect::kCopied},
#endif
      {"-NOTIME", Change::kNone, true, true, true, Expect::kCopied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(engine.backupDir);
    testing::MakeDirs(engine.backupDir);
    WriteFile(File(), "abc");
#ifndef _WIN32
    chmod(File().c_str(), 0644);
#endif
    testing::SetMtime(File(), kTime);
    const std::uint32_t made = Stat(File()).permissions;
    engine.linkUnchanged = c.link;
    engine.noTime = c.noTime;
    disk.canClone = c.clone;
    Run();
    switch (c.change) {
      case Change::kNone:
        break;
      case Change::kNanosecond:
        testing::SetMtime(File(), kTime, kFinestStepNs);
        break;
      case Change::kSize:
        WriteFile(File(), "abcd");
        testing::SetMtime(File(), kTime);
        break;
      case Change::kPermissions:
#ifndef _WIN32
        chmod(File().c_str(), 0600);
#endif
        break;
    }
    const std::size_t logBefore = LogText().size();
    Run();
    const std::string log = LogText().substr(logBefore);
    const FileStatus old = Stat(InGeneration(1)), now = Stat(InGeneration(2));
    EXPECT_EQ(now.SameEntryAs(old), c.expect == Expect::kLinked);
    EXPECT_EQ(log.find("File Cloned : ") != std::string::npos, c.expect == Expect::kCloned) << log;
    EXPECT_EQ(log.find("File Copied : ") != std::string::npos, c.expect == Expect::kCopied) << log;
    EXPECT_EQ(ReadFile(InGeneration(2)), ReadFile(File()));
    EXPECT_EQ(now.permissions, Stat(File()).permissions);
    // The older generation is as it was made.
    EXPECT_EQ(ReadFile(InGeneration(1)), "abc");
    EXPECT_EQ(old.permissions, made);
  }
}

// A file the new generation shares with the newest one (linked, cloned, or
// kept from it where the source cannot be read) takes its manifest entry
// from the newest generation's manifest: it is never read again. A file
// copied is checksummed as it is written, and not read again either.
TEST_F(Sharing, ManifestEntriesOfSharedFilesAreNotReadAgain) {
  const struct {
    const char* name;
    bool link, clone, unreadable;
  } cases[] = {
      {"-LINK", true, false, false},
      {"cloned", false, true, false},
      {"copied", false, false, false},
      {"unreadable, kept from the newest", false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(engine.backupDir);
    testing::MakeDirs(engine.backupDir);
    engine.linkUnchanged = c.link;
    engine.noMessage = c.unreadable;
    disk.canClone = c.clone;
    Run();
    if (c.unreadable) fault.FailAt(OsOp::CopyFile, File(), EACCES);
    fault.calls.clear();
    testing::WaitForNewTimestamps();
    EXPECT_EQ(engine.Backup(), 1) << LogText();
    fault.ClearRules();
    int reads = 0;
    for (const FaultInjector::Call& call : fault.calls) reads += call.op == OsOp::OpenForReading;
    EXPECT_EQ(reads, 1) << "the newest generation's manifest only";
    std::unique_ptr<OsDir> generation;
    ASSERT_TRUE(real->OpenDir(engine.backupDir + "/docs_2", false, &generation).ok());
    const VerifyResult verified = VerifyCopy(*real, *generation);
    EXPECT_TRUE(verified.Holds());
    EXPECT_EQ(verified.files, 1u);
  }
}

// A link never becomes a way for a later run to change an older generation:
// a working directory an interrupted run left holds links into generations,
// and the run that carries it on replaces such a file rather than changing
// its permissions in place (POSIX: made private to the owner; Windows: made
// read-only).
TEST_F(Sharing, ACarriedOnCopyNeverChangesAFileItShares) {
  engine.linkUnchanged = 1;
  const std::uint32_t made = Stat(File()).permissions;
  Run();
  Run();
  ASSERT_TRUE(Stat(InGeneration(2)).SameEntryAs(Stat(InGeneration(1))));
  const std::string working = engine.backupDir + "/.docs.veldar2-new";
  testing::MakeDirs(working + "/a/b");
  std::error_code linked;
  std::filesystem::create_hard_link(P(InGeneration(2)), P(working + "/a/b/f"), linked);
  ASSERT_FALSE(linked) << linked.message();
#ifdef _WIN32
  ASSERT_TRUE(ChangeEntry(*real, File(), {.readOnly = true}).ok());
#else
  chmod(File().c_str(), 0600);
#endif
  const std::uint32_t changed = Stat(File()).permissions;
  ASSERT_NE(changed, made);
  Run();
#ifndef _WIN32
  // Windows' file systems keep no permissions of the program's (the layer's
  // KeepsPermissions is false): there a read-only change alone is no reason
  // to copy, and the shared file stays shared, untouched.
  EXPECT_EQ(Stat(InGeneration(3)).permissions, changed);
  EXPECT_EQ(Stat(InGeneration(3)).links, 1u);
#endif
  EXPECT_EQ(Stat(InGeneration(1)).permissions, made);
  EXPECT_EQ(Stat(InGeneration(2)).permissions, made);
  EXPECT_EQ(ReadFile(InGeneration(1)), "abc");
}

// Nothing is named before it is on the disk: straight into the backup
// directory, each copy's flush comes before its rename, and the names are
// flushed at the end; a new generation is flushed whole before any old one
// goes and before it takes its name, and the backup directory afterwards.
TEST_F(Sharing, CopiesAreFlushedBeforeTheyAreNamed) {
  for (int count : {1, 3}) {
    SCOPED_TRACE(count);
    std::filesystem::remove_all(engine.backupDir);
    testing::MakeDirs(engine.backupDir + "/docs_1");
    engine.generationCount = count;
    WriteFile(engine.sourcePath + "/g", "more");
    fault.calls.clear();
    Run();
    std::vector<OsOp> ops;
    for (const FaultInjector::Call& call : fault.calls) {
      if (ChangesFileSystem(call.op) && !call.path.starts_with(logDir.path())) {
        ops.push_back(call.op);
      }
    }
    const auto at = [&](OsOp op) { return std::find(ops.begin(), ops.end(), op) - ops.begin(); };
    const auto last = [&](OsOp op) { return ops.rend() - std::find(ops.rbegin(), ops.rend(), op) - 1; };
    if (count == 1) {
      EXPECT_EQ(std::count(ops.begin(), ops.end(), OsOp::StageCopy), 2);
      EXPECT_EQ(std::count(ops.begin(), ops.end(), OsOp::CopyFile), 0);
      EXPECT_LT(last(OsOp::StageCopy), at(OsOp::SyncFileSystem));
      EXPECT_LT(at(OsOp::SyncFileSystem), at(OsOp::PlaceCopy));
      EXPECT_LT(last(OsOp::PlaceCopy), last(OsOp::SyncFileSystem));  // and the names too
    } else {
      EXPECT_EQ(std::count(ops.begin(), ops.end(), OsOp::CopyFile), 2);  // unflushed
      EXPECT_LT(last(OsOp::CopyFile), at(OsOp::SyncFileSystem));
      EXPECT_LT(at(OsOp::SyncFileSystem), at(OsOp::MoveNoReplace));  // retiring, then naming
      EXPECT_LT(last(OsOp::MoveNoReplace), at(OsOp::Sync));
    }
  }
}

}  // namespace
}  // namespace veldar
