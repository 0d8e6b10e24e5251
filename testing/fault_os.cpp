#include "testing/fault_os.h"

#include "platform/os_paths.h"

namespace veldar {
namespace {

// `path` is the rule's path, or ends with a separator and the rule's path.
bool PathMatches(const PathRules& paths, const std::string& path, const std::string& rulePath) {
  if (path == rulePath) return true;
  return path.size() > rulePath.size() && path.ends_with(rulePath) &&
         paths.IsSeparator(path[path.size() - rulePath.size() - 1]);
}

bool EqualsFolded(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

}  // namespace

void FaultOs::FailAt(OsOp op, const std::string& path, Status status, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back(Rule{op, path, status, times});
}

void FaultOs::FailNthChange(int n, Status status) {
  std::lock_guard<std::mutex> lock(mutex_);
  countdown_ = n > 0 ? n : 0;
  countdownStatus_ = status;
}

void FaultOs::ClearRules() {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.clear();
  countdown_ = 0;
  countdownStatus_ = Status();
}

Status FaultOs::Injected(OsOp op, const std::string& path, const std::string& path2) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ChangesFileSystem(op)) {
    ++changeCount;
    // Every changing call counts down, also one that a rule fails, so the
    // count matches `changeCount` of an earlier run.
    if (countdown_ > 0 && --countdown_ == 0) return countdownStatus_;
  }
  for (Rule& rule : rules_) {
    if (rule.op != op || rule.times == 0) continue;
    if (!rule.path.empty() && !PathMatches(Paths(), path, rule.path) &&
        !(!path2.empty() && PathMatches(Paths(), path2, rule.path))) {
      continue;
    }
    if (rule.times > 0) --rule.times;
    return rule.status;
  }
  return Status();
}

bool FaultOs::FailsReading(OsOp op, const std::string& from) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Rule& rule : rules_) {
    if (rule.op == op && !rule.path.empty() && PathMatches(Paths(), from, rule.path)) return true;
  }
  return false;
}

bool FaultOs::RefusesFlags(OsOp op, const std::string& path) {
  if (!renameFlagsRefused) return false;
  if (op == OsOp::Exchange) return true;
  FileStatus status;
  return op == OsOp::MoveNoReplace && veldar::Stat(real(), path, false, &status).ok() &&
         status.kind == EntryKind::Directory;
}

Status FaultOs::Perform(OsOp op, const std::string& path, const std::string& path2,
                        const std::function<Status()>& real) {
  Status result = Injected(op, path, path2);
  if (result.ok()) result = RefusesFlags(op, path) ? Error(ErrorKind::kUnsupported) : real();
  std::lock_guard<std::mutex> lock(mutex_);
  calls.push_back(Call{op, path, path2, result, std::this_thread::get_id()});
  if (onCall) onCall(calls.back());
  return result;
}

std::string FaultOs::LogDir() { return logDirOverride.empty() ? ForwardingOs::LogDir() : logDirOverride; }

std::optional<std::string> FaultOs::GetEnv(const std::string& name) {
  auto found = env.find(name);
  if (found != env.end()) return found->second;
  return ForwardingOs::GetEnv(name);
}

int FaultOs::ProcessId() { return pidOverride != 0 ? pidOverride : ForwardingOs::ProcessId(); }

std::int64_t FaultOs::Now() { return fixedNow != 0 ? fixedNow : ForwardingOs::Now(); }

void FaultOs::SleepMs(int milliseconds) { sleeps.push_back(milliseconds); }

bool FaultOs::CanClone(OsDir& dir) { return canClone ? *canClone : dir.CanClone(); }

std::int64_t FaultOs::TimeResolutionNs(OsDir& dir) {
  return timeResolutionNs ? *timeResolutionNs : dir.TimeResolutionNs();
}

bool FaultOs::KeepsPermissions(OsDir& dir) { return keepsPermissions ? *keepsPermissions : dir.KeepsPermissions(); }

Status FaultOs::ProbeMedium(OsDir& dir, MediumTraits* traits) {
  if (!medium) return dir.ProbeMedium(traits);
  *traits = *medium;
  return Status();
}

Status FaultOs::CloneFile(OsDir& from, const std::string& name, OsDir& toDir, const std::string& to,
                          const FileStatus& expected) {
  if (!canClone.value_or(false) || from.CanClone()) return from.CloneFile(name, toDir, to, expected);
  // A clone where the file system has none: fails as the real clone would
  // (when `name` is not the file `expected` describes, or when `to`
  // exists), else makes `to` an unflushed copy of it.
  FileStatus now;
  if (Status code = from.StatAt(name, &now); !code.ok()) return code;
  if (now.kind != EntryKind::File || !now.SameEntryAs(expected) || now.size != expected.size ||
      now.mtimeSec != expected.mtimeSec || now.mtimeNsec != expected.mtimeNsec) {
    return Error(ErrorKind::kChanged);
  }
  FileStatus existing;
  const Status code = toDir.StatAt(to, &existing);
  if (code.ok()) return Error(ErrorKind::kExists);
  if (!code.Is(ErrorKind::kNotFound)) return code;
  return from.CopyFile(name, toDir, to, CopyMode::Unflushed);
}

Status CaseFoldingOs::StatAt(OsDir& dir, const std::string& name, FileStatus* status, bool followLink) {
  if (!folds) return dir.StatAt(name, status, followLink);
  std::vector<DirEntry> entries;
  (void)dir.List(&entries);
  for (const DirEntry& entry : entries) {
    if (entry.name == name) return dir.StatAt(name, status, followLink);
  }
  for (const DirEntry& entry : entries) {
    if (EqualsFolded(entry.name, name)) return dir.StatAt(entry.name, status, followLink);
  }
  return dir.StatAt(name, status, followLink);
}

}  // namespace veldar
