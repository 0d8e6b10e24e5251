#pragma once
// FaultOs: a test double of `Os` that forwards every call to a real `Os` and
// breaks the ones a test chooses. Tests run as root, where permission tricks
// make nothing fail; this is how failure paths are reached.
//
// A rule names an operation, optionally a path (the call fails when its path,
// or either path of a copy or move, equals it, or ends with "/" + it), and an
// error code; a copy failed by a rule on its source path reports a failure
// to read the source. A countdown fails the Nth counted call of any operation.
// Every forwarded or failed call is recorded in `calls`. Calls may come from
// several threads; the rules, counters and records are kept under a lock.
//
// Directories opened through it (`OpenDir`) are wrapped too: an operation on
// an entry of an open directory is named by the directory's path and the
// entry's name, and is ruled, counted and recorded like the path-based
// operation of the same kind. Every call of either sort passes through
// `Perform`, which is where subclasses watch or break calls.

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/os.h"

namespace veldar {

enum class OsOp {
  CopyFile,
  DeleteFile,
  RemoveDir,
  CreateDir,
  MoveNoReplace,
  Stat,
  SetAttributesNormal,
  SetAttributes,
  SetTimes,
  Access,
  ListDir,
  FreeSpace,
  OpenExclusive,
  CreateDirTree,
  OpenDir,
  SetPermissions,
  SetOwner,
  LockDir,
  RealPath,
  StageCopy,
  PlaceCopy,
  CloneFile,
  LinkFile,
  SyncFileSystem,
  SyncDir,  // OsDir::Sync
  OpenScratchFile,
  Exchange,  // OsDir::Exchange
};

const char* OsOpName(OsOp op);

class FaultOs : public Os {
 public:
  explicit FaultOs(Os& real) : real_(real) {}

  // The real system makes the copies: it reports their progress.
  void SetCopyProgress(CopyProgress* progress) override {
    Os::SetCopyProgress(progress);
    real_.SetCopyProgress(progress);
  }

  struct Call {
    OsOp op;
    std::string path;
    std::string path2;  // the target of a copy or move
    int result;
    std::thread::id thread;  // the thread that made the call
  };

  // Fails `op` with `code`, at `path` only when it is not empty. Rules stay
  // until `ClearRules`. `times` limits how often the rule fires (-1: always).
  void FailAt(OsOp op, const std::string& path, int code, int times = -1);
  // Fails the `n`th (1-based) call, counted from now, of the operations that
  // change the file system (CopyFile, DeleteFile, RemoveDir, CreateDir,
  // CreateDirTree, MoveNoReplace, SetAttributesNormal, SetAttributes,
  // SetTimes, SetPermissions, SetOwner, StageCopy, PlaceCopy, CloneFile,
  // LinkFile, and the flushes SyncFileSystem and SyncDir, whose failure a
  // caller must be able to report), with `code`. Calls that a rule fails
  // count too. n <= 0 turns the countdown off.
  void FailNthChange(int n, int code);
  void ClearRules();
  // True when a rule for `op` names the source path `from` of a copy: a copy
  // failed by it failed reading its source (`readFailed`), as a source that
  // cannot be opened would.
  bool SourceSideRule(OsOp op, const std::string& from);
  // True for the operations that change the file system (those listed above).
  static bool Changes(OsOp op);

  // Every operation, with its path(s), on its way to the real system: applies
  // the rules and the countdown, calls `real` unless one of them fails the
  // call, records the call and returns its result.
  virtual int Perform(OsOp op, const std::string& path, const std::string& path2,
                      const std::function<int()>& real);
  // Every status the double hands out (a status call's, a listed entry's),
  // with the entry's full path, on its way to the caller: where subclasses
  // change what the system said.
  virtual void Seen(const std::string& /*path*/, FileStatus* /*status*/) {}

  // Overrides for the environment, so tests need not change the process's.
  std::map<std::string, std::string> env;   // looked up before the real one
  std::int64_t fixedNow = 0;                // non-zero: `Now` returns it
  std::string logDirOverride;               // non-empty: `LogDir` returns it
  int pidOverride = 0;                      // non-zero: `ProcessId` returns it
  std::vector<int> sleeps;                  // every SleepMs, not slept
  // Makes every file system look as though it ignored letter case in names
  // (as FAT and NTFS do): a status look-up finds an entry whose name differs
  // from the one asked for only in ASCII case. Nothing else changes: creating
  // "A" beside "a" still makes two entries.
  bool foldCase = false;
  // Set: every directory reports this time resolution, and whether its file
  // system keeps permissions.
  std::optional<std::int64_t> timeResolutionNs;
  std::optional<bool> keepsPermissions;
  // Set: every directory's `CanClone` returns this. True also makes
  // `CloneFile` work where the real file system cannot clone, as an unflushed
  // copy of the expected file (checked as a real clone checks it) to a
  // target that must not exist, so clone paths can be tested on any disk.
  std::optional<bool> canClone;
  // True: `OsDir::Exchange` fails as where the file system cannot swap
  // entries (kUnsupported), so the way round it can be tested anywhere.
  bool noExchange = false;
  // Set: `OptionChar` returns it, so the command line of either platform can
  // be tested on any.
  std::optional<char> optionChar;

  // The mode of the CopyFile call being performed, for `Perform` to read
  // (whether the copy flushes its content).
  CopyMode copyMode = CopyMode::Replace;

  std::vector<Call> calls;
  // The number of calls that changed the file system (as FailNthChange counts).
  int changeCount = 0;

  int CopyFile(const std::string& from, const std::string& to, CopyMode mode,
               std::uint64_t* bytesCopied = nullptr) override;
  int DeleteFile(const std::string& path) override;
  int RemoveDir(const std::string& path) override;
  int CreateDir(const std::string& path) override;
  int MoveNoReplace(const std::string& from, const std::string& to) override;
  int Stat(const std::string& path, bool followLink, FileStatus* status) override;
  int SetAttributesNormal(const std::string& path) override;
  int SetAttributes(const std::string& path, const FileAttributes& attributes) override;
  int SetReadOnly(const std::string& path, bool readOnly) override;  // ruled as SetAttributes
  int SetTimes(const std::string& path, std::int64_t seconds) override;
  int Access(const std::string& path, int mode) override;
  int ListDir(const std::string& path, bool followLink, std::vector<DirEntry>* entries,
              const NameFilter& wanted = {}) override;
  int OpenDir(const std::string& path, bool followLink, std::unique_ptr<OsDir>* dir) override;
  int RealPath(const std::string& path, std::string* resolved) override;
  int FreeSpace(const std::string& path, std::uint64_t* bytes) override;
  int OpenScratchFile(std::unique_ptr<OsFile>* file) override;
  int OpenExclusive(const std::string& path, std::unique_ptr<OsFile>* file) override;
  int CreateDirTree(const std::string& path) override;
  std::string ProgramDir() override;
  std::string LogDir() override;
  std::string PrivateRuntimeDir() override;
  std::optional<std::string> GetEnv(const std::string& name) override;
  int ProcessId() override;
  bool IsAbandonedTemporary(std::string_view name) override;
  bool MayChangeOwner() override;
  std::uint32_t UserId() override;
  std::int64_t Now() override;
  std::string FormatLocalTime(std::int64_t seconds, const char* format) override;
  void SleepMs(int milliseconds) override;
  std::string ErrorText(int code) override;
  ErrorKind KindOf(int code) const override;
  int CodeOf(ErrorKind kind) const override;
  const PathRules& Paths() const override;
  char OptionChar() const override;
  std::string_view LineEnd() const override;

  // With `foldCase`: the name in `directory`'s listing that equals `name`
  // without regard to ASCII case, or `name` itself.
  std::string FoldedName(OsDir* directory, const std::string& directoryPath,
                         const std::string& name);

 private:
  struct Rule {
    OsOp op;
    std::string path;
    int code;
    int times;
  };
  // The code a rule or the countdown imposes on this call, or 0.
  int Injected(OsOp op, const std::string& path, const std::string& path2, bool changes);

  Os& real_;
  // Listings may come from two threads at once (the mirror lists a level's
  // source and target side by side).
  std::mutex mutex_;
  std::vector<Rule> rules_;
  int countdown_ = 0;
  int countdownCode_ = 0;
};

}  // namespace veldar
