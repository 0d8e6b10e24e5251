#pragma once
// The rotation tests' job: an engine over the real OS layer behind a double
// that makes every entry the engine creates strictly younger than the one
// before, a fresh source and backup directory, and the log open.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/backup.h"
#include "engine/engine.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"

namespace veldar::testing {

// The text with the platform's separator turned into '/' (on Windows, where
// '\\' cannot be part of a name; elsewhere the text as it is), so that
// expectations are written once.
inline std::string Slashes(std::string text) {
#ifdef _WIN32
  std::replace(text.begin(), text.end(), '\\', '/');
#endif
  return text;
}

inline constexpr std::int64_t kNow = 1'700'000'000;

// Every file or directory the engine creates is born one tick after the one
// before, so ages are certain however fast the test runs. Entries made by the
// test itself can be given a birth time in `births` (full path, written with
// '/').
class AgeOs : public FaultInjector {
 public:
  using FaultInjector::FaultInjector;
  Status Perform(OsOp op, const std::string& path, const std::string& path2,
                 const std::function<Status()>& real) override {
    const Status code = FaultInjector::Perform(op, path, path2, real);
    if (code.ok() && fake && op == OsOp::CopyFile) births[Slashes(path2)] = ++clock;
    if (code.ok() && fake && op == OsOp::CreateDir) births[Slashes(path)] = ++clock;
    // A renamed entry keeps its age.
    if (code.ok() && (op == OsOp::MoveNoReplace || op == OsOp::MoveIfFree || op == OsOp::Exchange)) {
      auto from = births.extract(Slashes(path));
      auto to = births.extract(Slashes(path2));
      if (from) births[Slashes(path2)] = from.mapped();
      if (to && op == OsOp::Exchange) births[Slashes(path)] = to.mapped();
    }
    return code;
  }
  void Seen(const std::string& path, FileStatus* status) override {
    auto found = births.find(Slashes(path));
    if (found != births.end()) status->birthSec = found->second;
    if (directoriesByPath && status->kind == EntryKind::Directory) {
      status->inode = std::hash<std::string>{}(Slashes(path));
    }
  }
  std::map<std::string, std::int64_t> births;
  // True: a directory's inode number comes from its path, as rclone's mount
  // gives it (a renamed directory gets another).
  bool directoriesByPath = false;
  std::int64_t clock = 4'000'000'000;  // after any real birth time
  bool fake = true;                    // false: the file system's own birth times
};

// One job on a fresh source and backup directory, with the log open.
struct Job : ScratchDir, EngineServices<AgeOs> {
  Job() {
    MakeDirs(backup);
    environment.fixedNow = kNow;
    environment.logDirOverride = dir / "log/";
    engine.sourcePath = dir / "src/report.doc";
    engine.backupDir = backup;
    engine.OpenLog();
  }
  // Writes `content` into the source, then runs a backup with `count`
  // generations; `outcome` keeps what the run did.
  int Run(int count, const std::string& content) {
    WriteFile(engine.sourcePath + (isDir ? "/a.txt" : ""), content);
    engine.generationCount = count;
    return Backup();
  }
  int Backup() {
    outcome = RunBackup(engine);
    return outcome.ok;
  }
  void UseDir() {
    isDir = true;
    engine.sourcePath = dir / "src/docs";
  }
  // The log, paths written with '/'. On Windows the open working file
  // shares nothing but deletion: the log is closed to be read (it becomes
  // VELDAR2.LOG), and opened again.
  std::string Log() {
#ifdef _WIN32
    if (!engine.activityLog.IsOpen()) return Slashes(ReadFile(dir / "log/VELDAR2.LOG"));
    engine.CloseLog();
    const std::string text = ReadFile(dir / "log/VELDAR2.LOG");
    engine.OpenLog();
    return Slashes(text);
#else
    return Slashes(ReadFile(dir / "log/VELDAR2.TMP"));
#endif
  }
  // The messages shown so far, paths written with '/'.
  std::vector<std::string> Shown() {
    std::vector<std::string> shown;
    for (const std::string& text : messages.shown) shown.push_back(Slashes(text));
    return shown;
  }
  // The names in the backup directory but the manifests beside file
  // generations that are there: a manifest whose generation is gone stays
  // in, as the stray it is.
  std::vector<std::string> GenerationNames() {
    const std::vector<std::string> names = ListNames(backup);
    std::vector<std::string> found;
    for (const std::string& name : names) {
      const std::string suffix = kSidecarSuffix;
      const bool own =
          name.size() > suffix.size() + 1 && name[0] == '.' &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
          std::find(names.begin(), names.end(), name.substr(1, name.size() - suffix.size() - 1)) != names.end();
      if (!own) found.push_back(name);
    }
    return found;
  }
  // Generation name -> the content it holds.
  std::map<std::string, std::string> Generations() {
    std::map<std::string, std::string> found;
    for (const std::string& name : GenerationNames()) {
      found[name] = ReadFile(backup + "/" + name + (isDir ? "/a.txt" : ""));
    }
    return found;
  }

  std::string backup = dir / "backup";
  bool isDir = false;
  AgeOs& os = fault;
  BackupOutcome outcome;  // of the last run
};

}  // namespace veldar::testing
