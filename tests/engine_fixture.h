#pragma once
// A test fixture with an engine over the real OS layer behind the doubles, its
// log open in a private directory, and a scratch directory `dir`.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/backup.h"
#include "engine/engine.h"
#include "engine/file_ops.h"
#include "engine/mirror.h"
#include "engine/reporter.h"
#include "engine/tree_delete.h"
#include "testing/fake_disk.h"
#include "testing/fake_environment.h"
#include "testing/fault_injector.h"
#include "tests/test_util.h"

namespace veldar::testing {

// The engine's operations as one run each, with what the run counted kept
// for the test to read (the engine's own operations keep no counts).
class CountedRun {
 public:
  explicit CountedRun(CVELDAR2Engine& engine) : engine_(engine) {}

  // A reporter for a new run of the job, with its flags and log options as
  // they are now; `Files` are that run's file operations under the job's
  // force setting.
  Reporter& New(const RunControl& control = RunControl()) {
    run_.emplace(engine_.activityLog, engine_.messages, LogOptions{engine_.successLog != 0, engine_.skipLog != 0},
                 engine_.noMessage != 0, control);
    return *run_;
  }
  FileOps Files() {
    if (!run_) New();
    return FileOps(engine_.os, *run_, FilePolicy{engine_.noForce == 0});
  }
  // `MirrorDir` and `DeleteDirContents`, each a new run.
  int Mirror(const std::string& source, const std::string& target, bool targetIsNew = false) {
    return MirrorJobTree(engine_.os, BackupJobOf(engine_), New(), source, target, targetIsNew);
  }
  int DeleteContents(const std::string& directory) {
    New();
    return TreeDeleter(Files(), std::nullopt).Contents(directory);
  }

  // What the last run counted.
  int failures() const { return run_ ? run_->failures() : 0; }
  int vanished() const { return run_ ? run_->vanished() : 0; }
  Reporter& reporter() { return *run_; }

 private:
  CVELDAR2Engine& engine_;
  std::optional<Reporter> run_;
};

// An engine and what it is given: the system's OS layer under a disk of the
// kind a test says (`disk`) and an environment of its own (`environment`),
// behind `OsDouble` (a FaultInjector, or a double of a test's own made over
// it), recorded messages and settings in memory. The one place a test's
// engine is put together.
template <typename OsDouble = FaultInjector>
struct EngineServices {
  std::unique_ptr<Os> real = MakeSystemOs();
  FakeDisk disk{*real};
  FakeEnvironment environment{disk};
  OsDouble fault{environment};
  RecordingMessages messages;
  MemorySettings settings;
  CVELDAR2Engine engine{fault, messages, settings};
};

// A scratch directory for a fixture to name before `EngineServices`: made
// before the engine and removed after it, when nothing it holds is open.
struct ScratchDir {
  TempDir dir;
};

class EngineTest : public ::testing::Test, protected EngineServices<> {
 protected:
  EngineTest() {
    environment.logDirOverride = logDir.path() + "/";
    engine.OpenLog();
  }
  // The log is closed while its directory is still there.
  ~EngineTest() override { engine.CloseLog(); }
  // The log's line texts so far without "pid : time : ", the scratch
  // directory written "D" and paths joined with '/' whatever the platform
  // joins with (on Windows '\\' cannot be part of a name, so turning it into
  // '/' loses nothing); an empty line stays empty.
  std::vector<std::string> Log() {
    std::vector<std::string> texts;
    for (std::string l : Lines(LogText())) {
      for (auto at = l.find(dir.path()); at != std::string::npos; at = l.find(dir.path()))
        l.replace(at, dir.path().size(), "D");
#ifdef _WIN32
      std::replace(l.begin(), l.end(), '\\', '/');
#endif
      auto at = l.find(" : ", l.find(" : ") + 3);
      texts.push_back(at == std::string::npos ? l : l.substr(at + 3));
    }
    return texts;
  }

  // The log's whole text so far. On Windows the open working file shares
  // nothing but deletion, so the log is closed (it becomes VELDAR2.LOG) to be
  // read, and opened again.
  std::string LogText() {
#ifdef _WIN32
    if (!engine.activityLog.IsOpen()) return ReadFile(logDir / "VELDAR2.LOG");
    engine.CloseLog();
    const std::string text = ReadFile(logDir / "VELDAR2.LOG");
    engine.OpenLog();
    return text;
#else
    return ReadFile(logDir / "VELDAR2.TMP");
#endif
  }

  TempDir logDir, dir;
  CountedRun counted{engine};
};

}  // namespace veldar::testing
