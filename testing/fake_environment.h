#pragma once
// FakeEnvironment: an `Os` over another (`ForwardingOs`) that stands in for
// what a test must not change in the process: its environment variables,
// clock, process id and sleeps, and the directory of the activity log. The
// file system is the other `Os`'s.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "testing/forwarding_os.h"

namespace veldar {

class FakeEnvironment : public ForwardingOs {
 public:
  explicit FakeEnvironment(Os& real) : ForwardingOs(real) {}

  std::map<std::string, std::string> env;  // looked up before the real one
  std::int64_t fixedNow = 0;               // non-zero: `Now` returns it
  std::string logDirOverride;              // non-empty: `LogDir` returns it
  int pidOverride = 0;                     // non-zero: `ProcessId` returns it
  std::vector<int> sleeps;                 // every SleepMs, not slept

  std::string LogDir() override { return logDirOverride.empty() ? ForwardingOs::LogDir() : logDirOverride; }
  std::optional<std::string> GetEnv(const std::string& name) override {
    auto found = env.find(name);
    return found != env.end() ? found->second : ForwardingOs::GetEnv(name);
  }
  int ProcessId() override { return pidOverride != 0 ? pidOverride : ForwardingOs::ProcessId(); }
  std::int64_t Now() override { return fixedNow != 0 ? fixedNow : ForwardingOs::Now(); }
  void SleepMs(int milliseconds) override { sleeps.push_back(milliseconds); }
};

}  // namespace veldar
