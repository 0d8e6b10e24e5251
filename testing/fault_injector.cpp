#include "testing/fault_injector.h"

namespace veldar {
namespace {

// `path` is the rule's path, or ends with a separator and the rule's path.
bool PathMatches(const PathRules& paths, const std::string& path, const std::string& rulePath) {
  if (path == rulePath) return true;
  return path.size() > rulePath.size() && path.ends_with(rulePath) &&
         paths.IsSeparator(path[path.size() - rulePath.size() - 1]);
}

}  // namespace

void FaultInjector::FailAt(OsOp op, const std::string& path, Status status, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back(Rule{op, path, status, times});
}

void FaultInjector::FailNthChange(int n, Status status) {
  std::lock_guard<std::mutex> lock(mutex_);
  countdown_ = n > 0 ? n : 0;
  countdownStatus_ = status;
}

void FaultInjector::ClearRules() {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.clear();
  countdown_ = 0;
  countdownStatus_ = Status();
}

Status FaultInjector::Injected(OsOp op, const std::string& path, const std::string& path2) {
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

bool FaultInjector::FailsReading(OsOp op, const std::string& from) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Rule& rule : rules_) {
    if (rule.op == op && !rule.path.empty() && PathMatches(Paths(), from, rule.path)) return true;
  }
  return false;
}

Status FaultInjector::Perform(OsOp op, const std::string& path, const std::string& path2,
                              const std::function<Status()>& real) {
  Status result = Injected(op, path, path2);
  if (result.ok()) result = real();
  std::lock_guard<std::mutex> lock(mutex_);
  calls.push_back(Call{op, path, path2, result, std::this_thread::get_id()});
  if (onCall) onCall(calls.back());
  return result;
}

}  // namespace veldar
