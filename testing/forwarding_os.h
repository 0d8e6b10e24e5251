#pragma once
// ForwardingOs: an `Os` that passes every call on to another `Os`, and every
// call on the directories it opens to the other's directories. The base of
// the test doubles: each overrides only the hook of what it changes.
//
// Every call that can fail passes through `Perform` as an `OsOp` with the
// full path(s) it acts on: an operation on an entry of an open directory is
// named by the directory's path joined with the entry's name, a call on the
// directory itself by the directory's path. Every status handed out (a
// status call's, a listed entry's) passes through `Seen`. Calls may come from
// several threads at once; the hooks must allow that.

#include <functional>
#include <memory>
#include <string>

#include "platform/os.h"

namespace veldar {

enum class OsOp {
  CopyFile,
  DeleteFile,
  RemoveDir,
  CreateDir,
  MoveNoReplace,
  MoveIfFree,
  Stat,
  SetAttributesNormal,
  SetAttributes,  // also SetReadOnly
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
  Exchange,
  TestLock,
  ReadLink,
  ProbeMedium,  // changes nothing that stays
};

const char* OsOpName(OsOp op);

// The operations that change the file system, flushes included (a caller
// must be able to report a failed flush).
bool ChangesFileSystem(OsOp op);

class ForwardingOs : public Os {
 public:
  explicit ForwardingOs(Os& real) : real_(real) {}

  // Every operation on its way to the real system: `real` makes the call.
  // This one calls it and returns its status.
  virtual Status Perform(OsOp op, const std::string& path, const std::string& path2,
                         const std::function<Status()>& real);
  // Every status handed out, with the entry's full path.
  virtual void Seen(const std::string& /*path*/, FileStatus* /*status*/) {}
  // Whether a copy (`op`) of the entry `from` that failed failed reading its
  // source, though the real system did not say so: false here.
  virtual bool FailsReading(OsOp /*op*/, const std::string& /*from*/) { return false; }
  // Told the mode of each `CopyFile` before its `Perform`.
  virtual void WillCopy(CopyMode /*mode*/) {}
  // The name a status look-up in the real directory `dir` asks for when the
  // caller asks for `name`: `name` itself here.
  virtual std::string LookUpName(OsDir& /*dir*/, const std::string& name) { return name; }
  // What a directory opened here says of its file system; the real one's here.
  virtual bool CanClone(OsDir& dir) { return dir.CanClone(); }
  virtual std::int64_t TimeResolutionNs(OsDir& dir) { return dir.TimeResolutionNs(); }
  virtual bool KeepsPermissions(OsDir& dir) { return dir.KeepsPermissions(); }
  virtual Status ProbeMedium(OsDir& dir, MediumTraits* traits) { return dir.ProbeMedium(traits); }
  // A clone in the real directory `from`; here the real clone.
  virtual Status CloneFile(OsDir& from, const std::string& name, OsDir& toDir, const std::string& to,
                           const FileStatus& expected) {
    return from.CloneFile(name, toDir, to, expected);
  }

  // The real system makes the copies: it reports their progress.
  void SetCopyProgress(CopyProgress* progress) override;

  Status OpenDir(const std::string& path, bool followLink, std::unique_ptr<OsDir>* dir) override;
  Status Access(const std::string& path, int mode) override;
  Status RealPath(const std::string& path, std::string* resolved) override;
  Status FreeSpace(const std::string& path, std::uint64_t* bytes) override;
  Status CreateDirTree(const std::string& path) override;
  Status OpenExclusive(const std::string& path, std::unique_ptr<OsFile>* file) override;
  Status OpenScratchFile(std::unique_ptr<OsFile>* file) override;
  std::string LogDir() override { return real_.LogDir(); }
  std::string PrivateRuntimeDir() override { return real_.PrivateRuntimeDir(); }
  std::optional<std::string> GetEnv(const std::string& name) override { return real_.GetEnv(name); }
  int ProcessId() override { return real_.ProcessId(); }
  bool IsAbandonedTemporary(std::string_view name) override { return real_.IsAbandonedTemporary(name); }
  bool MayChangeOwner() override { return real_.MayChangeOwner(); }
  std::uint32_t UserId() override { return real_.UserId(); }
  std::int64_t Now() override { return real_.Now(); }
  void SleepMs(int milliseconds) override { real_.SleepMs(milliseconds); }
  Status Error(int code) const override { return real_.Error(code); }
  Status Error(ErrorKind kind) const override { return real_.Error(kind); }
  std::string ErrorText(const Status& status) override { return real_.ErrorText(status); }
  const PathRules& Paths() const override { return real_.Paths(); }

 protected:
  Os& real() { return real_; }

 private:
  Os& real_;
};

}  // namespace veldar
