#pragma once
// CVELDAR2Engine: the one object that holds a backup or restore job and does
// all of its work.
//
// The job (paths, generation count, option flags, log options, the open log,
// the generation list) lives in public fields that start-up, the command line,
// the settings and the dialogs write directly. Every file-system and log
// operation is an operation of this object; it reaches the system only
// through the `Os` it is given, speaks to the user only through
// `UserMessages`, and stores the last-used paths through `SettingsStore`.
//
// Operations return non-zero for success and 0 for failure. A failure is
// reported once, where it happens (a log line, or a message box); callers up
// the chain only stop. Nothing throws.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/background_worker.h"
#include "engine/file_entry.h"
#include "engine/generation_names.h"
#include "engine/mirror_plan.h"
#include "engine/run_progress.h"
#include "engine/settings_store.h"
#include "engine/user_messages.h"
#include "log/activity_log.h"
#include "platform/os.h"

namespace veldar {

class CVELDAR2Engine {
 public:
  // Builds the engine closed and empty, then `Reset`. The log size limit and
  // the no-message flag start as 500 KB and clear; start-up sets both.
  CVELDAR2Engine(Os& os, UserMessages& messages, SettingsStore& settings);
  ~CVELDAR2Engine();
  CVELDAR2Engine(const CVELDAR2Engine&) = delete;
  CVELDAR2Engine& operator=(const CVELDAR2Engine&) = delete;

  // Empties the paths, zeroes the generation count and the three option
  // flags, turns both log options on and empties the generation list. Leaves
  // the log, the log size limit, the log paths, the restore directory and the
  // no-message flag alone.
  void Reset();

  // ---- Backup run (backup.cpp) ----

  // Pre-check, then a directory or a single-file backup. Non-zero on success.
  // A run stopped by a request (`progress`) returns 0 with `cancelled` set.
  int Backup();
  // Refuses a job that cannot run: shows (or with the no-message flag, logs)
  // why and returns 0. Non-zero: the job may run.
  int CheckParameters();
  int BackupFile();
  int BackupDir();

  // ---- Generations (generations.cpp) ----

  // Rebuild and number the generation list for a file / directory source.
  // 1: list built (possibly empty); 0: the backup directory could not be read.
  int FindFileGenerations();
  int FindDirGenerations();
  // Sets `targetPath` to the lowest free file generation; leaves it unchanged
  // when all slots are taken.
  void MakeFileGenerationPath();
  // The lowest free directory generation name; empty when all are taken.
  std::string MakeDirGenerationName();

  // ---- File operations (file_ops.cpp) ----
  // Each obeys the force setting, logs as the log options allow and returns
  // non-zero for done (or, in no-force mode, left undone), 0 for failed.

  int FileCopy(const std::string& source, const std::string& target);
  int FileDelete(const std::string& path);
  int DirRemove(const std::string& path);
  int DirCreate(const std::string& path);

  // The same on an entry of an open directory, named in the log by the
  // directory's path and the entry's name; the tree walks use these. A
  // directory made by `DirCreate` this way is its owner's alone until the
  // walk gives it its source's permissions. With `vanished`, a copy that
  // failed only because its source no longer exists sets it and returns 0
  // without a line or a count: the caller reports it (`ReportVanished`).
  // With `unflushed`, force mode writes the copy straight under its name and
  // does not flush it (`CopyMode::Unflushed`).
  // With `readFailed`, a failed copy tells whether it was its source that
  // could not be read (OsDir::CopyFile).
  int FileCopy(OsDir& sourceDir, const std::string& sourceName, OsDir& targetDir,
               const std::string& targetName, bool* vanished = nullptr, bool unflushed = false,
               bool* readFailed = nullptr);
  // A copy in two halves, for copies made durable in batches (force mode
  // only). `StageCopy` writes the copy under a temporary name (`*temporary`)
  // and obeys the force setting's retry as `FileCopy` does: a failure is its
  // line and 0, and nothing is left. `PlaceCopy`, once the batch is flushed,
  // gives the copy its name and writes the "File Copied" line; on failure the
  // temporary file goes, and that is a failure line and 0.
  int StageCopy(OsDir& sourceDir, const std::string& sourceName, OsDir& targetDir,
                const std::string& targetName, bool* vanished, std::string* temporary,
                std::uint64_t* bytes);
  int PlaceCopy(OsDir& targetDir, const std::string& temporary, const std::string& targetName,
                const std::string& sourcePath, std::uint64_t bytes);
  int FileDelete(OsDir& dir, const std::string& name);
  int DirRemove(OsDir& dir, const std::string& name);
  int DirCreate(OsDir& dir, const std::string& name);

  // ---- Deleting trees (scan.cpp) ----

  // Deletes everything inside `directory`, depth first, never following a
  // link and never entering another mount (a bind mount inside it stays, and
  // its removal fails); the directory itself stays. A directory that is the
  // tree the run copies from (however it is reached) is never emptied: that
  // is a failure line, and the deletion stops. A stop asked for meanwhile
  // stops it too. 0: stopped, already reported. The path form opens
  // `directory` without following a final link.
  int DeleteDirContents(const std::string& directory);
  int DeleteDirContents(OsDir& directory);
  // Deletes the subdirectory `entry.name` of `parent` with everything in it,
  // opened without following a link and only while it is still the
  // directory `entry.status` describes (device and inode): anything else on
  // the name is left alone, with a failure line. Gone already is success.
  // 0: stopped, reported; `*removeFailed` when it was the final removal.
  int DeleteTree(OsDir& parent, const CFileEntry& entry, bool* removeFailed = nullptr);

  // ---- Tree mirror (mirror_plan.cpp, mirror.cpp) ----

  // Walks the job's trees and writes down what the mirror will do, changing
  // nothing (see mirror_plan.h). 0: a directory the job names cannot be
  // read, already reported; otherwise the plan holds its steps and totals
  // (a listing that failed further down is a step that reports it).
  int PlanMirror(const MirrorJob& job, MirrorPlan* plan);
  // Carries a plan out: makes the target tree follow the source tree, one
  // way. Non-zero when the whole tree has been worked through; 0 when it
  // stopped, already reported. A plan is applied once.
  int ApplyMirror(MirrorPlan& plan);
  // Both, for a job with every copy flushed on its own and nothing shared.
  // `targetIsNew`: the caller has just made the target (its permissions then
  // change without a log line once it is filled).
  int MirrorDir(const std::string& sourceDir, const std::string& targetDir,
                bool targetIsNew = false);

  // ---- Activity log: forwarded to `activityLog` (log/activity_log.h) ----

  // Opens the working file; 1 on success, 0 after five failed attempts.
  int OpenLog();
  // Writes one line "pid : time : text" to the open working file at once,
  // followed by an empty line with `blankLineAfter`. Control characters in
  // the text (line breaks included) are written escaped, so no text can break
  // a line. Without an open working file the line is dropped.
  void WriteLog(const std::string& text, bool blankLineAfter = false);
  // The same for a line about an entry left as it was, which may wait in
  // memory for the next other line (ActivityLog::WriteDeferred).
  void WriteLogDeferred(const std::string& text);
  // Cuts the working file to the size cap and puts it back as the log.
  void CloseLog();

  // ---- Settings written by runs ----

  void SaveLastPaths();
  void SaveRestoreDir();

  // ---- Helpers shared by the engine's parts ----

  // `directory` + separator + `name`.
  std::string JoinPath(const std::string& directory, const std::string& name) const;
  // The text after the last separator of `path`.
  std::string NameOf(const std::string& path) const;
  // Logs a line that reports a failure (always written) and counts it. When
  // the log does not take it, it goes to `activityLog.onUnloggedFailure`.
  void WriteFailure(const std::string& text);
  // Logs (always) that the source entry at `path` vanished or changed kind
  // between its listing and its copy, and counts it: the run then ends with
  // exit status 1, but the copy is complete as far as the source still goes.
  void ReportVanished(const std::string& path);
  // Reports a listing failure that stops the caller: a message box, or with
  // the no-message flag a failure line. Counted either way.
  void ReportScanFailure(const std::string& text);
  // Opens the backup directory for a run and takes its exclusive lock (the
  // lock file `kLockFileName` inside it), so that two runs never work on one
  // backup directory at once; the lock ends with `lock`, which holds the open
  // directory. Another run's lock is waited for (five tries, 500 ms apart);
  // then `backupDirBusy` is set and the result is 0, with nothing reported
  // (the caller says `BackupDirBusyText`). A directory that cannot be opened
  // is no refusal here (the run's own checks say what is wrong with it):
  // `lock` stays empty and the result is 1. Nor is a lock this user cannot
  // take (a directory it may only read): the run goes on without one.
  int LockBackupDir(std::unique_ptr<OsDir>* lock);
  // The name of the run's lock file in the backup directory.
  static constexpr const char* kLockFileName = ".veldar2.lock";
  // The backup directory's entries (`wanted` ones), and the status of one
  // of them: through the run's open backup directory, or outside a run by
  // its path. 0 or the system's error code.
  int ListBackupDir(std::vector<DirEntry>* entries, const NameFilter& wanted);
  int StatInBackupDir(const std::string& name, FileStatus* status);
  // Why a run cannot start while another holds the backup directory, naming it.
  std::string BackupDirBusyText() const;
  // Shows a message box unless the no-message flag is set.
  void ShowMessage(const std::string& text);

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
  std::vector<CFileEntry> generations;  // newest has generation number 0
  int noMessage = 0;

  // ---- Beyond the design ----

  // Failure lines written since the counter was last cleared: operations that
  // failed and were passed over. A batch run turns it into its exit status.
  int failureCount = 0;
  // Whether the backup directory's file system ignores letter case, as the
  // last generation scan found.
  bool backupFoldsCase = false;
  // Source entries that vanished between their listing and their copy.
  int vanishedCount = 0;
  // Set when a run was refused because another run holds the backup directory.
  int backupDirBusy = 0;
  // Of `failureCount`: source files that could not be read and that a new
  // generation, built with the no-message flag, holds as their last good
  // copy from the newest generation (or lacks, having none). They do not
  // keep the generation from being made.
  int unreadableCount = 0;
  // Called after each file copied, with the source path and its size; the
  // dialog's progress window listens here. May be empty.
  std::function<void(const std::string& path, std::uint64_t bytes)> onFileCopied;
  // The progress of the run in hand and the user's wish to stop it (see
  // RunProgress; installed with ProgressScope). May be null.
  RunProgress* progress = nullptr;
  // The log line of a run stopped at the user's request.
  static constexpr const char* kCanceledLine = "Canceled by User";
  // True when a stop has been asked for the run in hand.
  bool CancelRequested() const { return progress && progress->Cancelled(); }
  // Set by a run that stopped because it was asked to (cleared by `Reset`
  // and at the start of `Backup`): it has written "Canceled by User" to the
  // log and replaced no generation.
  bool cancelled = false;

  // What a run last told the user about a failure, for those who did not
  // see it (a batch run repeats it on standard error, in the user's
  // language): a message shown (or, with the no-message flag, logged or
  // passed over instead), or else the last failure line. `path` is the path
  // it is about where `text` does not name it; `code` the system's error code
  // behind it, 0 when none is known. Cleared by whoever starts the run.
  struct Report {
    std::string text;
    std::string path;
    int code = 0;
  };
  Report report;

  Os& os;
  UserMessages& messages;
  SettingsStore& settings;
  // Lists a level's source while the mirror lists its target; made on first use.
  std::unique_ptr<BackgroundWorker> lister;

 private:
  // `Backup` without the handling of a stop request.
  int BackupRun();
  // The two halves of the tree mirror (mirror_plan.cpp, mirror.cpp).
  friend class MirrorScan;
  friend class MirrorWalk;
  // How `EmptySubdir` left a subdirectory.
  enum class Emptied { kYes, kNotADirectory, kGone, kStopped };
  // Empties the subdirectory `name` of `dir` so that it can be removed:
  // opened without following a link, and not entered when it is another
  // mount (its removal then fails, reported there). kNotADirectory: it was
  // swapped for a file or a link since it was listed, and goes as a file;
  // kGone: it is no longer there; kStopped: a failure was reported.
  Emptied EmptySubdir(OsDir& dir, const std::string& name, const FileStatus& dirStatus);
  int NumberGenerations();
  // The new generation, built in the open backup directory `backup`.
  int BuildGeneration(OsDir& backup);
  // Opens the working directory `name` of `backup` without following a link,
  // carrying on one that a run of this user's began after every generation
  // there is, or making it afresh (`*created`); anything else on the name
  // goes first. 0: reported.
  int OpenWorkingDir(OsDir& backup, const std::string& name, std::unique_ptr<OsDir>* dir,
                     bool* created);
  // Gives the complete working directory its generation's name: a free one,
  // or `recycled`'s, whose old copy is swapped out in one step and then
  // deleted. 0: reported.
  int NameGeneration(OsDir& backup, const std::string& workingName,
                     const FileStatus& workingStatus, const std::string& finalName,
                     const CFileEntry* recycled);
  // True when `name` has the exact form of a directory generation of the
  // current source ("<source name>_<slot>", slot 1 to 98).
  bool IsDirGenerationName(const std::string& name) const;
  // Why the job cannot run (the message the pre-check shows), or empty.
  std::string JobRefusal();
  // Shows the pre-check's message (or logs it, with the no-message flag); 0.
  int Refuse(const std::string& message);
  // A directory backup with a count of 1 or less: the mirror goes straight
  // into the backup directory.
  int MirrorIntoBackupDir();
  // Flushes the directory's entries, or with `fileSystem` everything on the
  // file system that holds it. 0: failed, and that is a failure line.
  int Flush(const std::string& directory, bool fileSystem);
  int Flush(OsDir& directory, bool fileSystem);
  // Moves a generation directory of `backup` out of the way, then deletes
  // it; only while it is still the directory the scan listed. 0: failed,
  // `contentsMessage` or `removeMessage` shown.
  int Retire(OsDir& backup, const CFileEntry& generation, const std::string& contentsMessage,
             const std::string& removeMessage);
  // Gives the generations of `stem` that an interrupted run moved aside
  // without swapping (see NameGeneration) their names back where the new
  // copy never got them, and deletes them where it did.
  void RecoverSwapped(OsDir& backup, const std::string& stem);
  // Deletes from the backup directory what interrupted runs left: the
  // retired directories of the source named `stem` (none when null) and
  // abandoned temporary files.
  void RemoveLeftovers(OsDir& backup, const std::string* stem);
  // Refuses (0) a copy whose writing the backup directory's free space cannot hold.
  int CheckRoom(const MirrorTotals& totals);

  // The backup directory as the run in hand opened it (null between runs):
  // the generation scans go through it.
  OsDir* runBackupDir_ = nullptr;
  // The tree the run in hand copies from: no deletion may empty it.
  std::optional<FileStatus> guarded_;
};

// While it lives, the engine works in force mode and deletes what vanished,
// whatever the run's flags: for what is the program's own (its working
// directory, temporary files of interrupted copies), never the user's.
class ProgramsOwn {
 public:
  explicit ProgramsOwn(CVELDAR2Engine& engine)
      : engine_(engine), noForce_(engine.noForce), noDelete_(engine.noDelete) {
    engine.noForce = engine.noDelete = 0;
  }
  ~ProgramsOwn() {
    engine_.noForce = noForce_;
    engine_.noDelete = noDelete_;
  }
  ProgramsOwn(const ProgramsOwn&) = delete;
  ProgramsOwn& operator=(const ProgramsOwn&) = delete;

 private:
  CVELDAR2Engine& engine_;
  int noForce_;
  int noDelete_;
};

// Whether a file system ignores letter case where `entries` (each with a
// `name` and a `status`) were listed: the first entry whose name has an ASCII
// letter, looked up by `stat` (a name to 0 or an error code) under its name
// with the case of its letters swapped, is found again as the same entry.
// Names without letters tell nothing: false, which is as good an answer
// there, since nothing can match by case then.
template <typename Entries, typename StatByName>
bool FoldsCase(const Entries& entries, StatByName stat) {
  for (const auto& entry : entries) {
    const std::string swapped = SwapAsciiCase(entry.name);
    if (swapped == entry.name) continue;
    FileStatus status;
    return stat(swapped, &status) == 0 && status.SameEntryAs(entry.status);
  }
  return false;
}

// The system's error code a failure line ends with (" : ERR = 13", "ERR= 5");
// 0 when it ends with none.
int ErrorCodeOfFailureLine(const std::string& line);

// Replaces every "%NAME%" in `text` by the environment variable NAME as `os`
// reads it (empty when unset); an unclosed "%" and everything after it stay
// as they are.
std::string ExpandEnvVars(const std::string& text, Os& os);
// The same, with the variables looked up through `lookup`.
std::string ExpandEnvVars(const std::string& text,
                          const std::function<std::string(const std::string&)>& lookup);

}  // namespace veldar
