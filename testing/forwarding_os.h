#pragma once
// ForwardingOs: an `Os` that passes every call on to another `Os`, and every
// call on the directories it opens to the other's directories. The base of
// the test doubles: each overrides only the hook of what it changes, and
// doubles stack (one forwards to another), each adding what it fakes.
//
// Every operation that can fail (os_operations.h) passes through `Perform`
// as an `OsOp` with the full path(s) it acts on: an operation on an entry of
// an open directory is named by the directory's path joined with the
// entry's name, a call on the directory itself by the directory's path.
// Inside `Perform`, a directory's operation reaches the other `Os` through
// the hook of its name (`StatAt(dir, ...)` for `OsDir::StatAt`), which a
// double overrides to change what the disk does. Every status handed out (a
// status call's, a listed entry's) passes through `Seen`. Calls may come
// from several threads at once; the hooks must allow that.

#include <functional>
#include <memory>
#include <string>

#include "platform/os.h"
#include "testing/os_operations.h"

namespace veldar {

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

  // The hooks: each directory operation on `here`, a directory of the real
  // system (its arguments' directories are too); here it is made there.
#define VELDAR_FORWARDING_HOOK(Name, Parameters, Arguments, Effect) \
  virtual Status Name(OsDir& here VELDAR_COMMA_ARGUMENTS Parameters) { return here.Name Arguments; }
  VELDAR_OS_DIR_OPERATIONS(VELDAR_FORWARDING_HOOK)
#undef VELDAR_FORWARDING_HOOK
  // What a directory opened here says of its file system; the real one's here.
  virtual bool CanClone(OsDir& dir) { return dir.CanClone(); }
  virtual std::int64_t TimeResolutionNs(OsDir& dir) { return dir.TimeResolutionNs(); }
  virtual bool KeepsPermissions(OsDir& dir) { return dir.KeepsPermissions(); }

  Status OpenDir(const std::string& path, bool followLink, std::unique_ptr<OsDir>* dir) override;
#define VELDAR_FORWARDING_OS_OPERATION(Name, Parameters, Arguments, Effect) Status Name Parameters override;
  VELDAR_OS_OPERATIONS(VELDAR_FORWARDING_OS_OPERATION)
#undef VELDAR_FORWARDING_OS_OPERATION
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
