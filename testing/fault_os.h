#pragma once
// FaultOs: a test double of `Os` that forwards every call to a real `Os`
// (`ForwardingOs`) and breaks the ones a test chooses. Tests run as root,
// where permission tricks make nothing fail; this is how failure paths are
// reached. It also stands in for what a test must not change in the process
// (the environment, the clock, the log directory) and for the kind of disk
// (time resolution, permissions, clones, what a probe of the medium finds).
//
// A rule names an operation, optionally a path (the call fails when its path,
// or either path of a copy or move, equals it, or ends with a separator and
// it), and a status; a copy failed by a rule on its source path reports a
// failure to read the source. A countdown fails the Nth call that changes
// the file system. Every call is recorded in `calls`. Calls may come from
// several threads; the rules, counters and records are kept under a lock.

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "testing/forwarding_os.h"

namespace veldar {

class FaultOs : public ForwardingOs {
 public:
  explicit FaultOs(Os& real) : ForwardingOs(real) {}

  struct Call {
    OsOp op;
    std::string path;
    std::string path2;  // the target of a copy or move
    Status result;
    std::thread::id thread;  // the thread that made the call
  };

  // Fails `op` with `status` (or the system's code `code`), at `path` only
  // when it is not empty. Rules stay until `ClearRules`. `times` limits how
  // often the rule fires (-1: always).
  void FailAt(OsOp op, const std::string& path, Status status, int times = -1);
  void FailAt(OsOp op, const std::string& path, int code, int times = -1) {
    FailAt(op, path, Error(code), times);
  }
  // Fails the `n`th (1-based) call, counted from now, of the operations that
  // change the file system (`ChangesFileSystem`), with `status`. Calls that a
  // rule fails count too. n <= 0 turns the countdown off.
  void FailNthChange(int n, Status status);
  void FailNthChange(int n, int code) { FailNthChange(n, Error(code)); }
  void ClearRules();

  // Applies the rules and the countdown, calls `real` unless one of them
  // fails the call, records the call and returns its status.
  Status Perform(OsOp op, const std::string& path, const std::string& path2,
                 const std::function<Status()>& real) override;
  // True when a rule for `op` names the source path `from` of a copy.
  bool FailsReading(OsOp op, const std::string& from) override;
  void WillCopy(CopyMode mode) override { copyMode = mode; }

  // The environment, so tests need not change the process's.
  std::map<std::string, std::string> env;   // looked up before the real one
  std::int64_t fixedNow = 0;                // non-zero: `Now` returns it
  std::string logDirOverride;               // non-empty: `LogDir` returns it
  int pidOverride = 0;                      // non-zero: `ProcessId` returns it
  std::vector<int> sleeps;                  // every SleepMs, not slept
  // Set: every directory reports this time resolution, and whether its file
  // system keeps permissions.
  std::optional<std::int64_t> timeResolutionNs;
  std::optional<bool> keepsPermissions;
  // Set: every directory's `ProbeMedium` finds this medium (and succeeds,
  // unless a rule fails it), whatever the real one is.
  std::optional<MediumTraits> medium;
  // Set: every directory's `CanClone` returns this. True also makes
  // `CloneFile` work where the real file system cannot clone, as an unflushed
  // copy of the expected file (checked as a real clone checks it) to a
  // target that must not exist, so clone paths can be tested on any disk.
  std::optional<bool> canClone;
  // True: the file system has no rename that refuses to replace and no swap
  // (FUSE media, the Linux NFS client): `MoveNoReplace` of a directory and
  // every `Exchange` fail (kUnsupported) without a change, as the system's
  // do there.
  bool renameFlagsRefused = false;

  // The mode of the CopyFile call being performed, for `Perform` to read
  // (whether the copy flushes its content).
  CopyMode copyMode = CopyMode::Replace;

  std::vector<Call> calls;
  // Hears each call once it is made and recorded (under the double's lock:
  // it must not call the double), so that a test can act at a chosen step.
  std::function<void(const Call& call)> onCall;
  // The number of calls that changed the file system (as FailNthChange counts).
  int changeCount = 0;

  std::string LogDir() override;
  std::optional<std::string> GetEnv(const std::string& name) override;
  int ProcessId() override;
  std::int64_t Now() override;
  void SleepMs(int milliseconds) override;
  bool CanClone(OsDir& dir) override;
  std::int64_t TimeResolutionNs(OsDir& dir) override;
  bool KeepsPermissions(OsDir& dir) override;
  Status ProbeMedium(OsDir& dir, MediumTraits* traits) override;
  Status CloneFile(OsDir& from, const std::string& name, OsDir& toDir, const std::string& to,
                   const FileStatus& expected) override;

 private:
  struct Rule {
    OsOp op;
    std::string path;
    Status status;
    int times;
  };
  // The status a rule or the countdown imposes on this call, or success.
  Status Injected(OsOp op, const std::string& path, const std::string& path2);
  // Whether `renameFlagsRefused` fails `op` on `path`.
  bool RefusesFlags(OsOp op, const std::string& path);

  // Listings may come from two threads at once (the mirror lists a level's
  // source and target side by side).
  std::mutex mutex_;
  std::vector<Rule> rules_;
  int countdown_ = 0;
  Status countdownStatus_;
};

// A file system that ignores letter case in names (as FAT and NTFS do): a
// status look-up finds an entry whose name differs from the one asked for
// only in ASCII case. Nothing else changes: creating "A" beside "a" still
// makes two entries.
class CaseFoldingOs : public ForwardingOs {
 public:
  explicit CaseFoldingOs(Os& real, bool folds = true) : ForwardingOs(real), folds(folds) {}
  Status StatAt(OsDir& dir, const std::string& name, FileStatus* status, bool followLink) override;
  bool folds;  // false: names are looked up as they are
};

}  // namespace veldar
