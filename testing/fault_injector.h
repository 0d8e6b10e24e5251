#pragma once
// FaultInjector: a test double of `Os` that forwards every call to another
// `Os` (`ForwardingOs`), breaks the ones a test chooses and records every
// call. Tests run as root, where permission tricks make nothing fail; this
// is how failure paths are reached. What it stands on decides the rest: the
// system's layer, a `FakeDisk`, a `FakeEnvironment`, or `MemoryOs`.
//
// A rule names an operation, optionally a path (the call fails when its path,
// or either path of a copy or move, equals it, or ends with a separator and
// it), and a status; a copy failed by a rule on its source path reports a
// failure to read the source. A countdown fails the Nth call that changes
// the file system. Every call is recorded in `calls`. Calls may come from
// several threads; the rules, counters and records are kept under a lock.

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/forwarding_os.h"

namespace veldar {

class FaultInjector : public ForwardingOs {
 public:
  explicit FaultInjector(Os& real) : ForwardingOs(real) {}

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
  void FailAt(OsOp op, const std::string& path, int code, int times = -1) { FailAt(op, path, Error(code), times); }
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

  // The mode of the CopyFile call being performed, for `Perform` to read
  // (whether the copy flushes its content).
  CopyMode copyMode = CopyMode::Replace;

  std::vector<Call> calls;
  // Hears each call once it is made and recorded (under the double's lock:
  // it must not call the double), so that a test can act at a chosen step.
  std::function<void(const Call& call)> onCall;
  // The number of calls that changed the file system (as FailNthChange counts).
  int changeCount = 0;

 private:
  struct Rule {
    OsOp op;
    std::string path;
    Status status;
    int times;
  };
  // The status a rule or the countdown imposes on this call, or success.
  Status Injected(OsOp op, const std::string& path, const std::string& path2);

  // Listings may come from two threads at once (the mirror lists a level's
  // source and target side by side).
  std::mutex mutex_;
  std::vector<Rule> rules_;
  int countdown_ = 0;
  Status countdownStatus_;
};

}  // namespace veldar
