#pragma once
// The job a backup or restore run works on, as a value, and the services the
// run is done with. The engine (engine.h) builds a job from its fields for
// each run; a run reads its own copy and returns what it resolved in its
// outcome, so that nothing a run does changes the job it was given.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/file_entry.h"
#include "engine/reporter.h"
#include "engine/settings_store.h"
#include "engine/user_messages.h"
#include "log/activity_log.h"
#include "platform/os.h"

namespace veldar {

struct MirrorJob;

// The log line of a run stopped at the user's request.
inline constexpr const char kCanceledLine[] = "Canceled by User";

// What every run reads: the two paths, the mirror's flags and how it
// reports.
struct RunJob {
  std::string sourcePath;
  std::string backupDir;
  int noDelete = 0;
  int noForce = 0;
  int noTime = 0;
  int successLog = 1;  // lines about completed operations
  int skipLog = 1;     // lines about operations left undone
  int noMessage = 0;   // failures are logged instead of shown
  bool operator==(const RunJob&) const = default;
};

// A backup: the generation count, whether unchanged files are shared with the
// newest generation, and the exclude patterns as written.
struct BackupJob : RunJob {
  std::int32_t generationCount = 0;
  int linkUnchanged = 0;
  std::vector<std::string> excludePatterns;
  bool operator==(const BackupJob&) const = default;
};

// A restore: where to, and the generation list it picks from (newest has
// generation number 0).
struct RestoreJob : RunJob {
  std::string restoreDir;
  std::vector<CFileEntry> generations;
};

// The services a run is done with: the system, the log (opened and closed by
// the caller, or by the restore run), the user's messages and the settings
// store the run records its paths in.
struct RunServices {
  Os& os;
  ActivityLog& log;
  UserMessages& messages;
  SettingsStore& settings;
};

// A reporter for a run of `job`: its log, its messages, its log options and
// its no-message flag.
Reporter JobReporter(const RunJob& job, const RunServices& services, const RunControl& control = RunControl());

// A mirror of `source` onto `target` as the job's flags say: with deletion
// unless no-delete, comparing times unless no-time, overwriting unless
// no-force.
MirrorJob MirrorJobOf(const RunJob& job, const std::string& source, const std::string& target);

// Stores the paths of a successful backup as the last-used ones.
void SaveLastPaths(SettingsStore& settings, const std::string& sourcePath, const std::string& backupDir);
// Stores the directory of a successful restore.
void SaveRestoreDir(SettingsStore& settings, const std::string& restoreDir);

}  // namespace veldar
