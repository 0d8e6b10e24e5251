#include "platform/fault_os.h"

namespace veldar {

const char* OsOpName(OsOp op) {
  switch (op) {
    case OsOp::CopyFile: return "CopyFile";
    case OsOp::DeleteFile: return "DeleteFile";
    case OsOp::RemoveDir: return "RemoveDir";
    case OsOp::CreateDir: return "CreateDir";
    case OsOp::MoveNoReplace: return "MoveNoReplace";
    case OsOp::Stat: return "Stat";
    case OsOp::SetAttributesNormal: return "SetAttributesNormal";
    case OsOp::SetAttributes: return "SetAttributes";
    case OsOp::SetTimes: return "SetTimes";
    case OsOp::Access: return "Access";
    case OsOp::ListDir: return "ListDir";
    case OsOp::FreeSpace: return "FreeSpace";
    case OsOp::OpenExclusive: return "OpenExclusive";
    case OsOp::CreateDirTree: return "CreateDirTree";
  }
  return "?";
}

namespace {

// `path` is the rule's path, or ends with "/" + the rule's path.
bool PathMatches(const std::string& path, const std::string& rulePath) {
  if (path == rulePath) return true;
  return path.size() > rulePath.size() && path.ends_with(rulePath) &&
         path[path.size() - rulePath.size() - 1] == '/';
}

}  // namespace

void FaultOs::FailAt(OsOp op, const std::string& path, int code, int times) {
  rules_.push_back(Rule{op, path, code, times});
}

void FaultOs::FailNthChange(int n, int code) {
  countdown_ = n > 0 ? n : 0;
  countdownCode_ = code;
}

void FaultOs::ClearRules() {
  rules_.clear();
  countdown_ = 0;
  countdownCode_ = 0;
}

int FaultOs::Injected(OsOp op, const std::string& path, const std::string& path2, bool changes) {
  std::lock_guard<std::mutex> lock(mutex_);
  int code = 0;
  if (changes) {
    ++changeCount;
    // Every changing call counts down, also one that a rule fails, so the
    // count matches `changeCount` of an earlier run.
    if (countdown_ > 0 && --countdown_ == 0) code = countdownCode_;
  }
  if (code != 0) return code;
  for (Rule& rule : rules_) {
    if (rule.op != op || rule.times == 0) continue;
    if (!rule.path.empty() && !PathMatches(path, rule.path) &&
        !(!path2.empty() && PathMatches(path2, rule.path))) {
      continue;
    }
    if (rule.times > 0) --rule.times;
    return rule.code;
  }
  return 0;
}

int FaultOs::Record(OsOp op, const std::string& path, const std::string& path2, int result) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls.push_back(Call{op, path, path2, result});
  return result;
}

int FaultOs::CopyFile(const std::string& from, const std::string& to, CopyMode mode,
                      std::uint64_t* bytesCopied) {
  if (int code = Injected(OsOp::CopyFile, from, to, true)) {
    if (bytesCopied) *bytesCopied = 0;
    return Record(OsOp::CopyFile, from, to, code);
  }
  return Record(OsOp::CopyFile, from, to, real_.CopyFile(from, to, mode, bytesCopied));
}

int FaultOs::DeleteFile(const std::string& path) {
  if (int code = Injected(OsOp::DeleteFile, path, {}, true))
    return Record(OsOp::DeleteFile, path, {}, code);
  return Record(OsOp::DeleteFile, path, {}, real_.DeleteFile(path));
}

int FaultOs::RemoveDir(const std::string& path) {
  if (int code = Injected(OsOp::RemoveDir, path, {}, true))
    return Record(OsOp::RemoveDir, path, {}, code);
  return Record(OsOp::RemoveDir, path, {}, real_.RemoveDir(path));
}

int FaultOs::CreateDir(const std::string& path) {
  if (int code = Injected(OsOp::CreateDir, path, {}, true))
    return Record(OsOp::CreateDir, path, {}, code);
  return Record(OsOp::CreateDir, path, {}, real_.CreateDir(path));
}

int FaultOs::MoveNoReplace(const std::string& from, const std::string& to) {
  if (int code = Injected(OsOp::MoveNoReplace, from, to, true))
    return Record(OsOp::MoveNoReplace, from, to, code);
  return Record(OsOp::MoveNoReplace, from, to, real_.MoveNoReplace(from, to));
}

int FaultOs::Stat(const std::string& path, bool followLink, FileStatus* status) {
  if (int code = Injected(OsOp::Stat, path, {}, false)) return Record(OsOp::Stat, path, {}, code);
  return Record(OsOp::Stat, path, {}, real_.Stat(path, followLink, status));
}

int FaultOs::SetAttributesNormal(const std::string& path) {
  if (int code = Injected(OsOp::SetAttributesNormal, path, {}, true))
    return Record(OsOp::SetAttributesNormal, path, {}, code);
  return Record(OsOp::SetAttributesNormal, path, {}, real_.SetAttributesNormal(path));
}

int FaultOs::SetAttributes(const std::string& path, const FileAttributes& attributes) {
  if (int code = Injected(OsOp::SetAttributes, path, {}, true))
    return Record(OsOp::SetAttributes, path, {}, code);
  return Record(OsOp::SetAttributes, path, {}, real_.SetAttributes(path, attributes));
}

int FaultOs::SetTimes(const std::string& path, std::int64_t seconds) {
  if (int code = Injected(OsOp::SetTimes, path, {}, true))
    return Record(OsOp::SetTimes, path, {}, code);
  return Record(OsOp::SetTimes, path, {}, real_.SetTimes(path, seconds));
}

int FaultOs::Access(const std::string& path, int mode) {
  if (int code = Injected(OsOp::Access, path, {}, false))
    return Record(OsOp::Access, path, {}, code);
  return Record(OsOp::Access, path, {}, real_.Access(path, mode));
}

int FaultOs::ListDir(const std::string& path, bool followLink, std::vector<DirEntry>* entries,
                     const NameFilter& wanted) {
  if (int code = Injected(OsOp::ListDir, path, {}, false)) {
    entries->clear();
    return Record(OsOp::ListDir, path, {}, code);
  }
  return Record(OsOp::ListDir, path, {}, real_.ListDir(path, followLink, entries, wanted));
}

int FaultOs::FreeSpace(const std::string& path, std::uint64_t* bytes) {
  if (int code = Injected(OsOp::FreeSpace, path, {}, false))
    return Record(OsOp::FreeSpace, path, {}, code);
  return Record(OsOp::FreeSpace, path, {}, real_.FreeSpace(path, bytes));
}

int FaultOs::OpenExclusive(const std::string& path, std::unique_ptr<OsFile>* file) {
  if (int code = Injected(OsOp::OpenExclusive, path, {}, false)) {
    file->reset();
    return Record(OsOp::OpenExclusive, path, {}, code);
  }
  return Record(OsOp::OpenExclusive, path, {}, real_.OpenExclusive(path, file));
}

int FaultOs::CreateDirTree(const std::string& path) {
  if (int code = Injected(OsOp::CreateDirTree, path, {}, true))
    return Record(OsOp::CreateDirTree, path, {}, code);
  return Record(OsOp::CreateDirTree, path, {}, real_.CreateDirTree(path));
}

std::string FaultOs::ProgramDir() { return real_.ProgramDir(); }

std::string FaultOs::LogDir() { return logDirOverride.empty() ? real_.LogDir() : logDirOverride; }

std::optional<std::string> FaultOs::GetEnv(const std::string& name) {
  auto found = env.find(name);
  if (found != env.end()) return found->second;
  return real_.GetEnv(name);
}

int FaultOs::ProcessId() { return pidOverride != 0 ? pidOverride : real_.ProcessId(); }

std::int64_t FaultOs::Now() { return fixedNow != 0 ? fixedNow : real_.Now(); }

std::string FaultOs::FormatLocalTime(std::int64_t seconds, const char* format) {
  return real_.FormatLocalTime(seconds, format);
}

void FaultOs::SleepMs(int milliseconds) { sleeps.push_back(milliseconds); }

std::string FaultOs::ErrorText(int code) { return real_.ErrorText(code); }
bool FaultOs::IsNotFound(int code) const { return real_.IsNotFound(code); }
bool FaultOs::IsAccessDenied(int code) const { return real_.IsAccessDenied(code); }
char FaultOs::Separator() const { return real_.Separator(); }
char FaultOs::OptionChar() const { return real_.OptionChar(); }

}  // namespace veldar
