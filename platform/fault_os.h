#pragma once
// FaultOs: a test double of `Os` that forwards every call to a real `Os` and
// breaks the ones a test chooses. Tests run as root, where permission tricks
// make nothing fail; this is how failure paths are reached.
//
// A rule names an operation, optionally a path (the call fails when its path,
// or either path of a copy or move, equals it, or ends with "/" + it), and an
// error code. A countdown fails the Nth counted call of any operation.
// Every forwarded or failed call is recorded in `calls`. Calls may come from
// several threads; the rules, counters and records are kept under a lock.

#include <map>
#include <mutex>
#include <string>
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
};

const char* OsOpName(OsOp op);

class FaultOs : public Os {
 public:
  explicit FaultOs(Os& real) : real_(real) {}

  struct Call {
    OsOp op;
    std::string path;
    std::string path2;  // the target of a copy or move
    int result;
  };

  // Fails `op` with `code`, at `path` only when it is not empty. Rules stay
  // until `ClearRules`. `times` limits how often the rule fires (-1: always).
  void FailAt(OsOp op, const std::string& path, int code, int times = -1);
  // Fails the `n`th (1-based) call, counted from now, of the operations that
  // change the file system (CopyFile, DeleteFile, RemoveDir, CreateDir,
  // CreateDirTree, MoveNoReplace, SetAttributesNormal, SetAttributes,
  // SetTimes), with `code`. Calls that a rule fails count too. n <= 0 turns
  // the countdown off.
  void FailNthChange(int n, int code);
  void ClearRules();

  // Overrides for the environment, so tests need not change the process's.
  std::map<std::string, std::string> env;   // looked up before the real one
  std::int64_t fixedNow = 0;                // non-zero: `Now` returns it
  std::string logDirOverride;               // non-empty: `LogDir` returns it
  int pidOverride = 0;                      // non-zero: `ProcessId` returns it
  std::vector<int> sleeps;                  // every SleepMs, not slept

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
  int SetTimes(const std::string& path, std::int64_t seconds) override;
  int Access(const std::string& path, int mode) override;
  int ListDir(const std::string& path, bool followLink, std::vector<DirEntry>* entries,
              const NameFilter& wanted = {}) override;
  int FreeSpace(const std::string& path, std::uint64_t* bytes) override;
  int OpenExclusive(const std::string& path, std::unique_ptr<OsFile>* file) override;
  int CreateDirTree(const std::string& path) override;
  std::string ProgramDir() override;
  std::string LogDir() override;
  std::optional<std::string> GetEnv(const std::string& name) override;
  int ProcessId() override;
  std::int64_t Now() override;
  std::string FormatLocalTime(std::int64_t seconds, const char* format) override;
  void SleepMs(int milliseconds) override;
  std::string ErrorText(int code) override;
  bool IsNotFound(int code) const override;
  bool IsAccessDenied(int code) const override;
  char Separator() const override;
  char OptionChar() const override;

 private:
  struct Rule {
    OsOp op;
    std::string path;
    int code;
    int times;
  };
  // The code a rule or the countdown imposes on this call, or 0.
  int Injected(OsOp op, const std::string& path, const std::string& path2, bool changes);
  int Record(OsOp op, const std::string& path, const std::string& path2, int result);

  Os& real_;
  // Listings may come from two threads at once (the mirror lists a level's
  // source and target side by side).
  std::mutex mutex_;
  std::vector<Rule> rules_;
  int countdown_ = 0;
  int countdownCode_ = 0;
};

}  // namespace veldar
