#pragma once
// CVELDAR2Engine: the one object that holds a backup or restore job, and the
// operations that work on it.
//
// The job (paths, generation count, option flags, log options, the open log,
// the generation list) lives in public fields that start-up, the command line,
// the settings and the dialogs write directly. The engine reaches the system
// only through the `Os` it is given, speaks to the user only through
// `UserMessages`, and stores the last-used paths through `SettingsStore`.
//
// The operations are a thin surface: each hands its work to the part that
// does it (file_ops.h, tree_delete.h, generations.h, mirror_plan.h, mirror.h,
// backup.h, restore.h), giving it only what it uses. A run gets the job as a
// value built from the fields (`BackupJobOf`, `RestoreJobOf`: job.h) and
// returns what it resolved (the tidied paths, the file it chose, the
// generations it found), which the engine then holds; no run writes a field.
// What a run counts (failures, vanished entries) belongs to the run:
// `RunBackup` returns it as an outcome, and so does `RunRestore`; the
// operations here report through a reporter of their own for the one call.
//
// Operations return non-zero for success and 0 for failure. A failure is
// reported once, where it happens (a log line, or a message box); callers up
// the chain only stop. Nothing throws.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/backup.h"
#include "engine/file_entry.h"
#include "engine/job.h"
#include "engine/restore.h"
#include "engine/settings_store.h"
#include "engine/user_messages.h"
#include "log/activity_log.h"
#include "platform/os.h"

namespace veldar {

class OsDir;

class CVELDAR2Engine {
 public:
  // Builds the engine closed and empty, then `Reset`. The log size limit and
  // the no-message flag start as 500 KB and clear; start-up sets both.
  CVELDAR2Engine(Os& os, UserMessages& messages, SettingsStore& settings);
  CVELDAR2Engine(const CVELDAR2Engine&) = delete;
  CVELDAR2Engine& operator=(const CVELDAR2Engine&) = delete;

  // Empties the paths, zeroes the generation count and the three option
  // flags, turns both log options on and empties the generation list. Leaves
  // the log, the log size limit, the log paths, the restore directory, the
  // exclude patterns and the no-message flag alone.
  void Reset();

  // ---- Backup run (backup.h) ----

  // Pre-check, then a directory or a single-file backup. Non-zero on
  // success; a run stopped at the user's request returns 0 and logs
  // "Canceled by User".
  [[nodiscard]] int Backup();
  // Refuses a job that cannot run: shows (or with the no-message flag, logs)
  // why and returns 0. Non-zero: the job may run.
  [[nodiscard]] int CheckParameters();
  [[nodiscard]] int BackupFile();
  [[nodiscard]] int BackupDir();

  // ---- Generations (generations.h) ----

  // Rebuild and number the generation list for a file / directory source.
  // 1: list built (possibly empty); 0: the backup directory could not be read.
  [[nodiscard]] int FindFileGenerations();
  [[nodiscard]] int FindDirGenerations();
  // The same for the source as it is: a directory's generations, a file's
  // (anything else's) generations; a source that cannot be examined (gone)
  // is a directory where the backup directory holds directory generations
  // of its name or no file generations of it.
  // `*directory`, when given, says which were listed.
  [[nodiscard]] int FindSourceGenerations(bool* directory = nullptr);
  // Sets `targetPath` to the lowest free file generation; leaves it unchanged
  // when all slots are taken.
  void MakeFileGenerationPath();
  // The lowest free directory generation name; empty when all are taken.
  std::string MakeDirGenerationName();

  // ---- File operations (file_ops.h) ----
  // Each obeys the force setting, logs as the log options allow and returns
  // non-zero for done (or, in no-force mode, left undone), 0 for failed.

  [[nodiscard]] int FileCopy(const std::string& source, const std::string& target);
  [[nodiscard]] int FileDelete(const std::string& path);
  [[nodiscard]] int DirRemove(const std::string& path);
  [[nodiscard]] int DirCreate(const std::string& path);

  // ---- Deleting trees (tree_delete.h) ----

  // Deletes everything inside `directory`, depth first, never following a
  // link and never entering another mount; the directory itself stays. 0:
  // stopped, already reported.
  [[nodiscard]] int DeleteDirContents(const std::string& directory);

  // ---- Tree mirror (mirror_plan.h, mirror.h) ----

  // Makes `targetDir` follow `sourceDir`, one way, as the job's flags say.
  // `targetIsNew`: the caller has just made the target (its permissions then
  // change without a log line once it is filled). Non-zero when the whole
  // tree has been worked through; 0 when it stopped, already reported.
  [[nodiscard]] int MirrorDir(const std::string& sourceDir, const std::string& targetDir, bool targetIsNew = false);

  // ---- Activity log: forwarded to `activityLog` (log/activity_log.h) ----

  // Opens the working file; 1 on success, 0 after five failed attempts. A
  // run goes on without its log (its lines are dropped, and its end says the
  // log does not hold it), so callers may pass the result over.
  int OpenLog();
  // Writes one line "pid : time : text" to the open working file at once,
  // followed by an empty line with `blankLineAfter`. Control characters in
  // the text (line breaks included) are written escaped, so no text can break
  // a line. Without an open working file the line is dropped.
  void WriteLog(const std::string& text, bool blankLineAfter = false);
  // Cuts the working file to the size cap and puts it back as the log.
  void CloseLog();

  // ---- Settings written by runs ----

  void SaveLastPaths();
  void SaveRestoreDir();

  // The log line of a run stopped at the user's request.
  static constexpr const char* kCanceledLine = veldar::kCanceledLine;

  // ---- The job: public fields, in the order the design lists them ----

  std::int32_t logSizeLimit = 500;  // KB of 1000 bytes
  // The log file with its paths; trims to `logSizeLimit` (declared before it)
  // when a run closes it.
  ActivityLog activityLog;
  int successLog = 1;  // lines about completed operations
  int skipLog = 1;     // lines about operations left undone
  std::string sourcePath;
  std::string backupDir;
  std::string targetPath;  // the file a single-file backup writes
  std::string restoreDir;
  std::int32_t generationCount = 0;
  int noDelete = 0;
  int noForce = 0;
  int noTime = 0;
  // Files unchanged since the newest generation are hard-linked to it
  // wherever links can be made (else cloned where that can be), instead of
  // being copied again.
  int linkUnchanged = 0;
  // The exclude patterns in effect for a backup run, as written (the
  // settings' ones, then the command line's): what they match is neither
  // copied nor deleted (exclude.h). A run refuses a malformed one. Runs
  // never store them.
  std::vector<std::string> excludePatterns;
  std::vector<CFileEntry> generations;  // newest has generation number 0
  int noMessage = 0;

  // The services the job is done with.
  Os& os;
  UserMessages& messages;
  SettingsStore& settings;
};

// The job of a run of the engine, as its fields hold it now, and the
// services the engine was given.
BackupJob BackupJobOf(const CVELDAR2Engine& engine);
RestoreJob RestoreJobOf(const CVELDAR2Engine& engine);
RunServices ServicesOf(CVELDAR2Engine& engine);

// ---- The runs of the engine's job ----
// Each builds the job from the engine's fields, runs it (backup.h,
// restore.h), and leaves in the engine what the run resolved of it.

// One backup (RunBackup in backup.h); the engine then holds the tidied
// paths, the file a single-file backup wrote and the generations found.
BackupOutcome RunBackup(CVELDAR2Engine& engine, const RunControl& control = RunControl());
// A dry run of the same; the engine holds what it resolved, as after a run.
BackupOutcome DryRunBackup(CVELDAR2Engine& engine, const DryRunOutput& output, MirrorTotals* planned,
                           const RunControl& control = RunControl());

// The source's generations for a restore (FindRestoreSource in restore.h):
// the engine then holds the tidied paths and the generations found.
RestoreSource FindRestoreSource(CVELDAR2Engine& engine);
// The restore's pre-check for -RESTORE: FindRestoreSource, then
// RefuseRestoreSource. 1: the engine's generation list holds the source's
// generations, and `*directory` (when given) says whether they are directory
// generations. 0: refused, already told, and the list is empty.
[[nodiscard]] int PrepareRestore(CVELDAR2Engine& engine, bool* directory = nullptr);

// A restore (RunRestore in restore.h) of the generation numbered `number` of
// the engine's list into its restore directory, and a dry run of one.
RestoreResult RunRestore(CVELDAR2Engine& engine, int number, const RunControl& control = RunControl(),
                         const std::vector<std::string>& only = {});
RestoreResult DryRunRestore(CVELDAR2Engine& engine, int number, const DryRunOutput& output, MirrorTotals* planned,
                            const RunControl& control = RunControl(), const std::vector<std::string>& only = {});

// Replaces every "%NAME%" in `text` by the environment variable NAME as `os`
// reads it (empty when unset); an unclosed "%" and everything after it stay
// as they are.
std::string ExpandEnvVars(const std::string& text, Os& os);
// The same, with the variables looked up through `lookup`.
std::string ExpandEnvVars(const std::string& text, const std::function<std::string(const std::string&)>& lookup);

}  // namespace veldar
