// What every `Os` promises, checked the same way on each implementation: the
// system's own (POSIX or Win32) and the fault double wrapped around it with no
// rules. Only the interface is used, so the suite runs unchanged on every
// platform; what a platform does beyond the interface is tested beside its
// implementation.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/os.h"
#include "testing/fake_disk.h"
#include "testing/fake_environment.h"
#include "testing/fault_injector.h"
#include "testing/memory_os.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

// The system's own layer; the forwarding double and the fault double (with
// no rules) around it; the tree in memory.
enum class Implementation { kSystem, kForwarding, kFaultDouble, kMemory };

std::string Describe(const ::testing::TestParamInfo<Implementation>& info) {
  switch (info.param) {
    case Implementation::kSystem:
      return "System";
    case Implementation::kForwarding:
      return "Forwarding";
    case Implementation::kFaultDouble:
      return "FaultDouble";
    case Implementation::kMemory:
      return "Memory";
  }
  return "?";
}

class OsContractTest : public ::testing::TestWithParam<Implementation> {
 protected:
  void SetUp() override {
    switch (GetParam()) {
      case Implementation::kSystem:
        subject_ = system_.get();
        break;
      case Implementation::kForwarding:
        subject_ = (double_ = std::make_unique<ForwardingOs>(*system_)).get();
        break;
      case Implementation::kFaultDouble:
        // The doubles stacked as the engine's tests stack them.
        disk_ = std::make_unique<FakeDisk>(*system_);
        environment_ = std::make_unique<FakeEnvironment>(*disk_);
        subject_ = (double_ = std::make_unique<FaultInjector>(*environment_)).get();
        break;
      case Implementation::kMemory:
        subject_ = (double_ = std::make_unique<MemoryOs>()).get();
        break;
    }
    Os& os = Subject();
    std::string base;
    for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
      if (auto value = os.GetEnv(name); value && !value->empty()) {
        base = *value;
        break;
      }
    }
    if (base.empty()) base = "/tmp";
    for (int attempt = 0; dir_.empty(); ++attempt) {
      const std::string candidate =
          os.Paths().Join(base, "veldar2-contract-" + std::to_string(os.ProcessId()) + "-" + std::to_string(attempt));
      const Status code = CreateDir(os, candidate);
      if (code.ok()) dir_ = candidate;
      ASSERT_TRUE(code.ok() || code.Is(ErrorKind::kExists)) << os.ErrorText(code);
    }
  }
  void TearDown() override {
    if (!dir_.empty()) RemoveTree(dir_);
  }

  Os& Subject() { return *subject_; }
  bool InMemory() const { return GetParam() == Implementation::kMemory; }
  std::string At(const std::string& name) { return Subject().Paths().Join(dir_, name); }
  ErrorKind Kind(const Status& code) { return (code).kind(); }

  // Writes `content` to a new file through the log's own way of writing.
  void Write(const std::string& path, const std::string& content) {
    std::unique_ptr<OsFile> file;
    ASSERT_TRUE((Subject().OpenExclusive(path, &file)).ok()) << path;
    ASSERT_TRUE((file->Append(content)).ok());
  }
  std::string Read(const std::string& path) {
    std::unique_ptr<OsFile> file;
    std::string content;
    if (Subject().OpenExclusive(path, &file).ok()) (void)file->ReadAt(0, 1 << 20, &content);
    return content;
  }
  std::vector<std::string> Names(const std::string& directory) {
    std::vector<DirEntry> entries;
    EXPECT_TRUE((ListDir(Subject(), directory, false, &entries)).ok());
    std::vector<std::string> names;
    for (const auto& entry : entries) names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    return names;
  }
  // Makes the link `name` here holding `text`; false where none can be made.
  bool MakeLink(const std::string& name, const std::string& text, bool directory = false) {
    if (!InMemory()) return testing::MakeLink(text, At(name), directory);
    static_cast<MemoryOs&>(Subject()).AddLink(At(name), text);
    return true;
  }
  void RemoveTree(const std::string& path) {
    Os& os = Subject();
    std::vector<DirEntry> entries;
    (void)ListDir(os, path, false, &entries);
    for (const auto& entry : entries) {
      const std::string child = os.Paths().Join(path, entry.name);
      (void)ChangeEntry(os, child, {.readOnly = false});
      if (entry.status.kind == EntryKind::Directory) {
        RemoveTree(child);
      } else {
        (void)DeleteFile(os, child);
      }
    }
    (void)RemoveDir(os, path);
  }

  std::unique_ptr<Os> system_ = MakeSystemOs();
  std::unique_ptr<FakeDisk> disk_;
  std::unique_ptr<FakeEnvironment> environment_;
  std::unique_ptr<Os> double_;
  Os* subject_ = nullptr;
  std::string dir_;
};

INSTANTIATE_TEST_SUITE_P(Every, OsContractTest,
                         ::testing::Values(Implementation::kSystem, Implementation::kForwarding,
                                           Implementation::kFaultDouble, Implementation::kMemory),
                         Describe);

TEST_P(OsContractTest, ErrorKindsOfFailedCalls) {
  Os& os = Subject();
  Write(At("file"), "x");
  ASSERT_TRUE((CreateDir(os, At("full"))).ok());
  Write(os.Paths().Join(At("full"), "inner"), "y");
  FileStatus status;
  std::unique_ptr<OsDir> opened;
  const struct {
    const char* what;
    std::function<Status()> call;
    ErrorKind kind;
  } cases[] = {
      {"stat of a missing entry", [&] { return Stat(os, At("none"), false, &status); }, ErrorKind::kNotFound},
      {"stat below a missing directory", [&] { return Stat(os, os.Paths().Join(At("none"), "x"), false, &status); },
       ErrorKind::kNotFound},
      {"delete of a missing file", [&] { return DeleteFile(os, At("none")); }, ErrorKind::kNotFound},
      {"create below a missing directory", [&] { return CreateDir(os, os.Paths().Join(At("none"), "x")); },
       ErrorKind::kNotFound},
      {"create over a directory", [&] { return CreateDir(os, At("full")); }, ErrorKind::kExists},
      {"create over a file", [&] { return CreateDir(os, At("file")); }, ErrorKind::kExists},
      {"remove of a full directory", [&] { return RemoveDir(os, At("full")); }, ErrorKind::kNotEmpty},
      {"open of a file as a directory", [&] { return os.OpenDir(At("file"), false, &opened); },
       ErrorKind::kNotDirectory},
      {"copy onto a file that may not be replaced",
       [&] { return CopyFile(os, At("file"), At("full/inner"), CopyMode::FailIfExists); }, ErrorKind::kExists},
      {"move onto an existing file", [&] { return MoveNoReplace(os, At("file"), At("full/inner")); },
       ErrorKind::kExists},
      {"copy of a missing file", [&] { return CopyFile(os, At("none"), At("copy"), CopyMode::Replace); },
       ErrorKind::kNotFound},
  };
  for (const auto& c : cases) {
    const Status code = c.call();
    EXPECT_EQ(c.kind, Kind(code)) << c.what << ": " << code << " " << os.ErrorText(code);
  }
  // Nothing failed left anything behind, and nothing was overwritten.
  EXPECT_EQ((std::vector<std::string>{"file", "full"}), Names(dir_));
  EXPECT_EQ("y", Read(At("full/inner")));
  EXPECT_EQ("x", Read(At("file")));

  for (ErrorKind kind : {ErrorKind::kNotFound, ErrorKind::kExists, ErrorKind::kAccessDenied, ErrorKind::kNotDirectory,
                         ErrorKind::kNotEmpty, ErrorKind::kNoSpace, ErrorKind::kReadOnlyFileSystem, ErrorKind::kIo,
                         ErrorKind::kGone, ErrorKind::kLocked, ErrorKind::kChanged, ErrorKind::kUnsupported}) {
    const Status code = os.Error(kind);
    EXPECT_FALSE((code).ok());
    EXPECT_EQ(kind, Kind(code)) << code;
    EXPECT_FALSE(os.ErrorText(code).empty()) << code;
  }
  EXPECT_EQ(ErrorKind::kNone, Kind(Status()));
}

// A listener that asks for the bytes a copy writes, and keeps them in the
// order they came; a piece that does not follow on is kept as a gap.
struct ContentSeen : CopyProgress {
  void Advance(std::uint64_t) override {}
  bool Cancelled() const override { return false; }
  bool WantsContent() const override { return true; }
  void Content(std::uint64_t offset, const char* data, std::size_t size) override {
    if (offset != bytes.size()) bytes += "<gap>";
    bytes.append(data, size);
  }
  std::string bytes;
};

// Copies are whole, take their name only once done, carry their source's
// time, and hand whoever asks every byte they write, in order (a manifest
// is checksummed from them without reading the copy again).
TEST_P(OsContractTest, CopiesAreWholeNamedOnlyWhenDoneAndCarryTheirTime) {
  Os& os = Subject();
  std::string content(300 * 1024 + 5, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31 + i / 7);
  Write(At("src"), content);
  ASSERT_TRUE((ChangeEntry(os, At("src"), {.times = 1500000000})).ok());
  Write(At("old"), "old");

  for (CopyMode mode : {CopyMode::Replace, CopyMode::Unflushed}) {
    std::uint64_t bytes = 0;
    ContentSeen seen;
    ASSERT_TRUE((CopyFile(os, At("src"), At("old"), mode, &bytes, &seen)).ok());
    EXPECT_EQ(content.size(), bytes);
    EXPECT_TRUE(seen.bytes == content);
    EXPECT_TRUE(Read(At("old")) == content);
    FileStatus status;
    ASSERT_TRUE((Stat(os, At("old"), false, &status)).ok());
    EXPECT_EQ(EntryKind::File, status.kind);
    EXPECT_EQ(content.size(), status.size);
    EXPECT_EQ(1500000000, status.mtimeSec);
    ASSERT_TRUE((DeleteFile(os, At("old"))).ok());
    Write(At("old"), "old");
  }
  // No temporary name is left in the directory by any copy.
  EXPECT_EQ((std::vector<std::string>{"old", "src"}), Names(dir_));
}

TEST_P(OsContractTest, ListingsAndDirectoriesHeldOpen) {
  Os& os = Subject();
  const std::string japanese = "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt";  // 日本語.txt
  ASSERT_TRUE((CreateDir(os, At("tree"))).ok());
  Write(os.Paths().Join(At("tree"), japanese), "12345");
  ASSERT_TRUE((CreateDir(os, os.Paths().Join(At("tree"), "sub"))).ok());

  std::vector<DirEntry> entries;
  ASSERT_TRUE((ListDir(os, At("tree"), false, &entries)).ok());
  ASSERT_EQ(2u, entries.size());
  for (const auto& entry : entries) {
    if (entry.name == "sub") {
      EXPECT_EQ(EntryKind::Directory, entry.status.kind);
    } else {
      EXPECT_EQ(japanese, entry.name);
      EXPECT_EQ(EntryKind::File, entry.status.kind);
      EXPECT_EQ(5u, entry.status.size);
    }
  }
  ASSERT_TRUE(ListDir(os, At("tree"), false, &entries, [](std::string_view name) { return name == "sub"; }).ok());
  ASSERT_EQ(1u, entries.size());

  std::unique_ptr<OsDir> tree, sub;
  ASSERT_TRUE((os.OpenDir(At("tree"), false, &tree)).ok());
  ASSERT_TRUE((tree->OpenDir("sub", &sub)).ok());
  ASSERT_TRUE((tree->CopyFile(japanese, *sub, "copy", CopyMode::Replace)).ok());
  std::string temporary;
  ASSERT_TRUE((tree->StageCopy(japanese, *tree, "staged", &temporary)).ok());
  ASSERT_TRUE((tree->SyncFileSystem()).ok());
  ASSERT_TRUE((tree->PlaceCopy(temporary, "staged", CopyMode::FailIfExists)).ok());
  ASSERT_TRUE((tree->Sync()).ok());
  ASSERT_TRUE((tree->DeleteFile(japanese)).ok());
  EXPECT_EQ((std::vector<std::string>{"staged", "sub"}), Names(At("tree")));
  EXPECT_EQ("12345", Read(os.Paths().Join(At("tree"), "sub/copy")));

  FileStatus status;
  EXPECT_EQ(ErrorKind::kNotDirectory, Kind(tree->OpenDir("staged", &sub)));
  EXPECT_EQ(ErrorKind::kNotFound, Kind(tree->StatAt("none", &status)));
  EXPECT_EQ(ErrorKind::kNotEmpty, Kind(RemoveDir(os, At("tree"))));
}

// Once open, a directory is reached through its handle, not its old path:
// moved away, its operations still act inside it, and never on what now
// has its old name.
TEST_P(OsContractTest, DirectoryHeldOpenIsFollowedNotItsOldPath) {
  Os& os = Subject();
  ASSERT_TRUE((CreateDir(os, At("tree"))).ok());
  Write(os.Paths().Join(At("tree"), "a"), "a");
  std::unique_ptr<OsDir> tree;
  ASSERT_TRUE((os.OpenDir(At("tree"), false, &tree)).ok());
  ASSERT_TRUE((MoveNoReplace(os, At("tree"), At("moved"))).ok());
  ASSERT_TRUE((CreateDir(os, At("tree"))).ok());
  Write(os.Paths().Join(At("tree"), "a"), "impostor");

  const Status copied = tree->CopyFile("a", *tree, "b", CopyMode::Replace);
  const Status deleted = tree->DeleteFile("a");
  EXPECT_EQ(std::vector<std::string>{"a"}, Names(At("tree")));  // never touched
  EXPECT_EQ("impostor", Read(os.Paths().Join(At("tree"), "a")));
  if (testing::UnderWine() && !InMemory()) {
    // Wine acts on an open directory's old path; the layer refuses instead.
    EXPECT_FALSE((copied).ok());
    EXPECT_FALSE((deleted).ok());
    GTEST_SKIP() << "Wine: a moved directory's operations fail instead of following it";
  }
  EXPECT_TRUE((copied).ok());
  EXPECT_TRUE((deleted).ok());
  EXPECT_EQ(std::vector<std::string>{"b"}, Names(At("moved")));
}

TEST_P(OsContractTest, ExclusiveFilesLocksAndScratchFiles) {
  Os& os = Subject();
  std::unique_ptr<OsFile> log;
  ASSERT_TRUE((os.OpenExclusive(At("log"), &log)).ok());
  ASSERT_TRUE((log->Append("line one\n")).ok());
  std::unique_ptr<OsFile> second;
  EXPECT_EQ(ErrorKind::kLocked, Kind(os.OpenExclusive(At("log"), &second)));
  // Its opener may rename it and delete it while it is open.
  ASSERT_TRUE((MoveNoReplace(os, At("log"), At("renamed"))).ok());
  ASSERT_TRUE((log->Append("line two\n")).ok());
  std::string content;
  ASSERT_TRUE((log->ReadAt(0, 100, &content)).ok());
  EXPECT_EQ("line one\nline two\n", content);
  std::uint64_t size = 0;
  ASSERT_TRUE((log->Size(&size)).ok());
  EXPECT_EQ(18u, size);
  ASSERT_TRUE((log->Sync()).ok());
  ASSERT_TRUE((DeleteFile(os, At("renamed"))).ok());
  log.reset();
  EXPECT_EQ(std::vector<std::string>{}, Names(dir_));

  std::unique_ptr<OsDir> first, other;
  ASSERT_TRUE((os.OpenDir(dir_, false, &first)).ok());
  ASSERT_TRUE((os.OpenDir(dir_, false, &other)).ok());
  ASSERT_TRUE((first->Lock(".lock")).ok());
  EXPECT_EQ(ErrorKind::kLocked, Kind(other->Lock(".lock")));
  first.reset();
  EXPECT_TRUE((other->Lock(".lock")).ok());

  std::unique_ptr<OsFile> scratch;
  ASSERT_TRUE((os.OpenScratchFile(&scratch)).ok());
  ASSERT_TRUE((scratch->Append(std::string(70000, 'a') + "end")).ok());
  ASSERT_TRUE((scratch->ReadAt(70000, 10, &content)).ok());
  EXPECT_EQ("end", content);
}

// Testing a lock makes, holds and removes nothing, and says what taking it
// finds: free, held by another holder, or (where the lock is a file) a name
// that a directory with entries holds and keeps.
TEST_P(OsContractTest, LockTestedWithoutATrace) {
  Os& os = Subject();
  const ErrorKind blocked = InMemory() || os.Separator() == '/' ? ErrorKind::kExists : ErrorKind::kNone;
  for (const auto& [name, expected] :
       {std::pair{"free", ErrorKind::kNone}, {"held", ErrorKind::kLocked}, {"blocked", blocked}}) {
    const std::string at = At(name), lock = os.Paths().Join(At(name), ".lock");
    ASSERT_TRUE(CreateDir(os, at).ok());
    std::unique_ptr<OsDir> holder, other;
    ASSERT_TRUE(os.OpenDir(at, false, &holder).ok() && os.OpenDir(at, false, &other).ok());
    if (expected == ErrorKind::kLocked) {
      ASSERT_TRUE(holder->Lock(".lock").ok());
    }
    if (name == std::string("blocked")) {
      ASSERT_TRUE(CreateDir(os, lock).ok() && CreateDir(os, os.Paths().Join(lock, "kept")).ok());
    }
    const std::vector<std::string> before = Names(at);
    EXPECT_EQ(expected, Kind(other->TestLock(".lock"))) << name;
    EXPECT_EQ(before, Names(at)) << name;
    EXPECT_EQ(expected, Kind(other->Lock(".lock"))) << name;
  }
}

// A link's text is read as it was written, never followed; anything but a
// link fails, and so does nothing.
TEST_P(OsContractTest, LinkTextsAreReadNeverFollowed) {
  Os& os = Subject();
  Write(At("file"), "x");
  ASSERT_TRUE((CreateDir(os, At("dir"))).ok());
  std::unique_ptr<OsDir> dir;
  ASSERT_TRUE((os.OpenDir(dir_, false, &dir)).ok());
  std::string text;
  EXPECT_EQ(ErrorKind::kInvalid, Kind(dir->ReadLinkAt("file", &text)));
  EXPECT_EQ(ErrorKind::kInvalid, Kind(dir->ReadLinkAt("dir", &text)));
  EXPECT_EQ(ErrorKind::kNotFound, Kind(dir->ReadLinkAt("none", &text)));
  const std::string japanese = "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt";  // 日本語.txt, missing
  const std::pair<std::string, std::string> links[] = {{"tofile", "file"}, {"dangling", japanese}, {"todir", "dir"}};
  for (const auto& [name, target] : links) {
    if (!MakeLink(name, target, target == "dir")) {
      GTEST_SKIP() << "no link can be made here (Wine makes none; Windows needs the privilege or "
                      "developer mode)";
    }
  }
  for (const auto& [name, target] : links) {
    ASSERT_TRUE((dir->ReadLinkAt(name, &text)).ok()) << name;
    EXPECT_EQ(target, text) << name;
  }
}

// A probe of the medium leaves nothing behind, and what it says agrees with
// what the directory then does: a name looked up with its case swapped is
// found exactly where case is ignored, a second name for a file can be made
// exactly where there are hard links, a time set comes back within the
// resolution, permissions are kept as the directory says.
TEST_P(OsContractTest, MediumProbeAgreesWithTheDirectoryAndLeavesNothing) {
  Os& os = Subject();
  Write(At("Probe"), "x");
  std::unique_ptr<OsDir> dir;
  ASSERT_TRUE((os.OpenDir(dir_, false, &dir)).ok());
  MediumTraits traits;
  ASSERT_TRUE((dir->ProbeMedium(&traits)).ok());
  EXPECT_EQ(Names(dir_), std::vector<std::string>{"Probe"});
  FileStatus status;
  EXPECT_EQ(dir->StatAt("pROBE", &status).ok(), traits.foldsCase);
  ASSERT_TRUE((dir->StatAt("Probe", &status)).ok());
  EXPECT_EQ(dir->LinkFile("Probe", *dir, "second", status).ok(), traits.hardLinks);
  ASSERT_TRUE((dir->ChangeEntry("Probe", {.times = 1700000001})).ok());
  ASSERT_TRUE((dir->StatAt("Probe", &status)).ok());
  const std::int64_t difference = (status.mtimeSec - 1700000001) * 1'000'000'000 + status.mtimeNsec;
  EXPECT_LE(std::abs(difference), traits.timeResolutionNs);
  EXPECT_LE(traits.timeResolutionNs, 2'000'000'000);
  EXPECT_EQ(traits.keepsPermissions, dir->KeepsPermissions());
  if (GetParam() != Implementation::kFaultDouble) return;
  // The double finds the medium it is told to, and fails where a rule says.
  auto& faults = static_cast<FaultInjector&>(os);
  disk_->medium = MediumTraits();
  disk_->medium->foldsCase = true;
  ASSERT_TRUE((dir->ProbeMedium(&traits)).ok());
  EXPECT_TRUE(traits.foldsCase);
  faults.FailAt(OsOp::ProbeMedium, dir_, os.Error(ErrorKind::kAccessDenied));
  EXPECT_EQ(ErrorKind::kAccessDenied, Kind(dir->ProbeMedium(&traits)));
}

// A change applies the parts it names, in order, and a failure names the
// part that failed. The rows act one after another on the same entries.
TEST_P(OsContractTest, ChangeEntryAppliesItsPartsAndNamesTheOneThatFailed) {
  Os& os = Subject();
  Write(At("file"), "x");
  std::unique_ptr<OsDir> dir;
  ASSERT_TRUE((os.OpenDir(dir_, false, &dir)).ok());
  FileStatus original;
  ASSERT_TRUE((dir->StatAt("file", &original)).ok());
  EXPECT_FALSE(original.attributes.readOnly);
  // Where the medium keeps no permissions (Windows), those parts succeed
  // and change nothing: what they set is checked only where it is kept.
  const bool kept = dir->KeepsPermissions();
  const EntryChange::Owner same{original.owner, original.group};
  using Part = EntryPart;
  using Bits = std::optional<std::uint32_t>;
  const ErrorKind kOk = ErrorKind::kNone;
  // What is checked afterwards, where given: the read-only state, the
  // last-write time, the permission bits (where kept), the attribute word.
  struct Expected {
    std::optional<bool> readOnly{};
    std::optional<std::int64_t> mtime{};
    Bits permissions{}, native{};
  };
  const struct {
    const char* what;
    std::string name;  // empty: the directory itself
    EntryChange change;
    ErrorKind kind;
    Part failed;
    Expected after;
  } cases[] = {
      {"read-only set", "file", {.readOnly = true}, kOk, Part::kNone, {.readOnly = true}},
      {"the attributes read before written back whole",
       "file",
       {.attributes = original.attributes},
       kOk,
       Part::kNone,
       {.readOnly = false, .native = original.attributes.native}},
      {"read-only set again", "file", {.readOnly = true}, kOk, Part::kNone, {.readOnly = true}},
      {"read-only cleared", "file", {.readOnly = false}, kOk, Part::kNone, {.readOnly = false}},
      {"times", "file", {.times = 1234567890}, kOk, Part::kNone, {.mtime = 1234567890}},
      {"permissions and times",
       "file",
       {.permissions = 0640, .times = 1500000000},
       kOk,
       Part::kNone,
       {.mtime = 1500000000, .permissions = 0640}},
      // The change of owner clears the set-id bits; they are set after it.
      {"owner before permissions keeps a set-id bit",
       "file",
       {.owner = same, .permissions = 02750},
       kOk,
       Part::kNone,
       {.permissions = 02750}},
      {"the directory itself", "", {.permissions = 0750}, kOk, Part::kNone, {.permissions = 0750}},
      {"the directory itself takes no times, and nothing is changed",
       "",
       {.permissions = 0700, .times = 5},
       ErrorKind::kInvalid,
       Part::kPermissions,
       {.permissions = 0750}},
      {"a missing entry fails in the first part",
       "none",
       {.readOnly = true, .times = 5},
       ErrorKind::kNotFound,
       Part::kAttributes,
       {}},
      {"a name with a separator",
       "x" + std::string(1, os.Separator()) + "y",
       {.times = 5},
       ErrorKind::kInvalid,
       Part::kTimes,
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EntryPart failed = EntryPart::kOwner;
    const Status code = dir->ChangeEntry(c.name, c.change, &failed);
    EXPECT_EQ(c.kind, Kind(code)) << code << " " << os.ErrorText(code);
    EXPECT_EQ(c.failed, failed);
    if (c.kind == ErrorKind::kNotFound || c.kind == ErrorKind::kInvalid) {
      if (!c.name.empty()) continue;
    }
    FileStatus status;
    ASSERT_TRUE((c.name.empty() ? dir->Stat(&status) : dir->StatAt(c.name, &status)).ok());
    EXPECT_EQ(c.after.readOnly.value_or(status.attributes.readOnly), status.attributes.readOnly);
    EXPECT_EQ(c.after.mtime.value_or(status.mtimeSec), status.mtimeSec);
    EXPECT_EQ(kept ? c.after.permissions.value_or(status.permissions) : status.permissions, status.permissions);
    EXPECT_EQ(c.after.native.value_or(status.attributes.native), status.attributes.native);
  }
  ASSERT_TRUE((dir->ChangeEntry("", {.permissions = 0700})).ok());
  // By path, as by name.
  ASSERT_TRUE((ChangeEntry(os, At("file"), {.times = 1234567890})).ok());
  FileStatus after;
  ASSERT_TRUE((Stat(os, At("file"), false, &after)).ok());
  EXPECT_EQ(1234567890, after.mtimeSec);
  if (GetParam() != Implementation::kFaultDouble) return;
  // A change the double fails before it is made failed in its first part.
  static_cast<FaultInjector&>(os).FailAt(OsOp::ChangeEntry, At("file"), os.Error(ErrorKind::kAccessDenied));
  EntryPart failed = EntryPart::kNone;
  EXPECT_EQ(ErrorKind::kAccessDenied, Kind(dir->ChangeEntry("file", {.readOnly = true, .times = 1}, &failed)));
  EXPECT_EQ(EntryPart::kAttributes, failed);
}

TEST_P(OsContractTest, PathsAndTheTreeOnTheWay) {
  Os& os = Subject();
  Write(At("file"), "x");
  const PathRules& paths = os.Paths();
  std::string real, again;
  ASSERT_TRUE((os.RealPath(dir_, &real)).ok());
  ASSERT_TRUE((os.RealPath(paths.Join(paths.Join(dir_, "."), paths.Join("..", paths.NameOf(dir_))), &again)).ok());
  EXPECT_EQ(real, again);
  EXPECT_TRUE(paths.IsAbsolute(real)) << real;
  for (const std::string& directory : {os.LogDir()}) {
    ASSERT_FALSE(directory.empty());
    EXPECT_TRUE(paths.IsSeparator(directory.back())) << directory;
  }
  std::uint64_t free = 0;
  EXPECT_TRUE((os.FreeSpace(dir_, &free)).ok());
  EXPECT_GT(free, 0u);
  EXPECT_TRUE((os.Access(At("file"), 0)).ok());
  EXPECT_FALSE((os.CreateDirTree(paths.Join(At("file"), "x"))).ok());  // a file on the way
  ASSERT_TRUE((os.CreateDirTree(paths.Join(At("a"), paths.Join("b", "c")))).ok());
  ASSERT_TRUE((os.CreateDirTree(At("a"))).ok());
  FileStatus status;
  ASSERT_TRUE((Stat(os, paths.Join(At("a"), paths.Join("b", "c")), false, &status)).ok());
  EXPECT_EQ(EntryKind::Directory, status.kind);
}

// A medium that shows a directory's old number for a moment after a rename:
// a plain status of an opened "generation" comes back with the number
// `shown`; asked past the cache, the directory answers what it is.
class StaleNumbers : public ForwardingOs {
 public:
  using ForwardingOs::ForwardingOs;
  std::uint64_t shown = 0;  // the number plain status calls report; 0: the real one
  Status Stat(OsDir& here, FileStatus* status) override {
    const Status code = here.Stat(status);
    if (shown != 0 && here.Path().ends_with("generation")) status->inode = shown;
    return code;
  }
};

TEST_P(OsContractTest, ListedDirectoryIsOpenedOnlyWhileItIsTheOneListed) {
  struct Case {
    const char* what;
    bool staleView;  // the opened directory's plain status shows the old number
    bool swapped;    // another directory has taken the name since the listing
    ErrorKind expected;
  } cases[] = {
      {"the same directory", false, false, ErrorKind::kNone},
      {"the same, its old number still shown", true, false, ErrorKind::kNone},
      {"another directory on the name", false, true, ErrorKind::kChanged},
      {"another directory, an old number shown", true, true, ErrorKind::kChanged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StaleNumbers os(Subject());
    ASSERT_TRUE((CreateDir(os, At("generation"))).ok());
    std::unique_ptr<OsDir> parent;
    ASSERT_TRUE((os.OpenDir(dir_, false, &parent)).ok());
    FileStatus listed;
    ASSERT_TRUE((parent->StatAt("generation", &listed)).ok());
    if (c.swapped) {
      ASSERT_TRUE((MoveNoReplace(os, At("generation"), At("elsewhere"))).ok());
      ASSERT_TRUE((CreateDir(os, At("generation"))).ok());
    }
    FileStatus real;
    ASSERT_TRUE((parent->StatAt("generation", &real)).ok());
    if (c.staleView) os.shown = listed.inode + 1;
    std::unique_ptr<OsDir> opened;
    FileStatus status;
    const Status code = OpenListedDir(os, *parent, "generation", listed, &opened, &status);
    EXPECT_EQ(c.expected, code.kind()) << os.ErrorText(code);
    EXPECT_EQ(c.expected == ErrorKind::kNone, opened != nullptr);
    if (code.ok()) {
      EXPECT_TRUE(status.SameEntryAs(real));
    }
    RemoveTree(At("generation"));
    RemoveTree(At("elsewhere"));
  }
}

}  // namespace
}  // namespace veldar
