#pragma once
// The backup run: the pre-check that refuses jobs which cannot run or would
// destroy data, then one new generation of the source in the backup
// directory and the removal of the generations beyond the count (backup.cpp
// says how). A run works on its own copy of a `BackupJob` (job.h) and
// returns what it resolved of it in its outcome; the engine's `Backup`,
// `CheckParameters`, `BackupFile` and `BackupDir`, and its `RunBackup`
// (engine.h), build the job from the engine's fields and take back what the
// run resolved.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/dry_run.h"
#include "engine/exclude.h"
#include "engine/file_ops.h"
#include "engine/job.h"
#include "engine/manifest.h"
#include "engine/mirror_plan.h"
#include "engine/reporter.h"
#include "engine/rotation.h"
#include "engine/tree_delete.h"

namespace veldar {

struct MirrorTotals;

// What a run resolved of its job, for the caller to keep.
struct BackupResolved {
  // The paths as the pre-check tidied them: without trailing separators, a
  // source named "." or ".." by the directory it stands for.
  std::string sourcePath;
  std::string backupDir;
  // The file a single-file backup writes; empty until one is chosen.
  std::string targetPath;
  // The generations the run's scan found, newest numbered 0; none when the
  // run did not get as far as a scan.
  std::optional<std::vector<CFileEntry>> generations;
};

// What a run did, for the caller to tell the user.
struct BackupOutcome {
  int ok = 0;             // non-zero: the run succeeded (what `Backup` returns)
  int failures = 0;       // failure lines: operations that failed and were passed over
  int vanished = 0;       // source entries that vanished while they were copied
  int unreadable = 0;     // of `failures`: source entries kept from the newest generation
  bool busy = false;      // refused: another run holds the backup directory
  bool unlocked = false;  // refused: its lock cannot be taken (`report` says why)
  // Stopped at the user's request ("Canceled by User" logged). With `ok`,
  // the new generation was complete before the stop, and what the stop
  // left undone (deleting the old copy, the surplus generations) is done
  // by the next run.
  bool cancelled = false;
  Report report;  // what the run last told the user of a failure
  // The failure lines of its last few failures, oldest first, each with its
  // status (Reporter::recent).
  std::vector<Report> recent;
  RunSummary summary;  // what it copied, shared and deleted, and how long it took
  // What the backup medium keeps and refuses, as the run's probe found it
  // (none where the backup directory could not be opened), and whether the
  // run was the first of its source there (no generation of it yet; for a
  // mirror, nothing but the program's own names): what the medium cannot
  // keep is then worth telling the user.
  std::optional<MediumTraits> medium;
  bool firstRun = false;
  // Files the source keeps from others that the medium lets others read.
  std::uint64_t exposed = 0;
  // Source entries left out because the medium cannot hold them: how many,
  // and the first few (Reporter::kLeftOutKept).
  int leftOutCount = 0;
  std::vector<LeftOut> leftOut;
  BackupResolved resolved;  // the job's paths and generations as the run found them
};

// What a run does with the backup directory's lock (BackupRun::LockBackupDir).
enum class LockUse {
  kWrite,  // a backup: without the lock, no run
  kRead,   // a restore: without it only where this user may not write the
           // backup directory, and so cannot get in a backup's way
  kTest,   // a dry run: whether it could be taken, with nothing made or held
};

// A mirror of `source` onto `target` as the job's flags say (MirrorJobOf),
// planned and applied (MirrorTree), reporting to `reporter`, which counts
// what the run did. Non-zero when the whole tree was worked through; 0 when
// it stopped, already reported.
[[nodiscard]] int MirrorJobTree(Os& os, const RunJob& job, Reporter& reporter, const std::string& source,
                                const std::string& target, bool targetIsNew = false);

// One backup of `job` (with the pre-check, the lock of the backup directory
// and everything else), its copies reporting to `control`. Ends with the
// summary line in the log ("End : ..."). The log is the caller's to open and
// close; a successful run stores its paths as the last-used ones.
BackupOutcome RunBackup(const BackupJob& job, const RunServices& services, const RunControl& control = RunControl());

// A dry run of the same (dry_run.h): the same pre-check and refusals, then
// what the run would do told to `output`, nothing changed (the lock is only
// tested), no settings written and no summary line. `outcome.ok` is what the real run's
// checks would allow; `planned` what its copy would cost.
BackupOutcome DryRunBackup(const BackupJob& job, const RunServices& services, const DryRunOutput& output,
                           MirrorTotals* planned, const RunControl& control = RunControl());

// The steps of one backup run, over its own copy of `job`, reporting through
// `reporter`.
class BackupRun {
 public:
  BackupRun(const BackupJob& job, const RunServices& services, Reporter& reporter);
  ~BackupRun();
  BackupRun(const BackupRun&) = delete;
  BackupRun& operator=(const BackupRun&) = delete;

  // The whole run: pre-check, the exclude patterns (a malformed one is
  // refused as the pre-check refuses; the log names those in effect), lock,
  // empty-source check, then a directory or a single-file backup (which no
  // pattern concerns). Non-zero on success; `busy()` after a refusal because
  // another run holds the backup directory.
  [[nodiscard]] int Run();
  // The same checks and decisions, with nothing changed (the lock only
  // tested): what the run would do is told to `output` (DryRunBackup).
  // Non-zero where the run's checks would let it go ahead.
  [[nodiscard]] int Preview(const DryRunOutput& output);
  // Refuses a job that cannot run: shows (or with the no-message flag, logs)
  // why and returns 0. Non-zero: the job may run.
  [[nodiscard]] int CheckParameters();
  [[nodiscard]] int File();
  [[nodiscard]] int Dir();

  bool busy() const { return busy_; }
  // What the backup medium keeps (unset before the run opened the backup
  // directory), whether this was the source's first run into it, and how
  // many files private in the source its copy lets others read.
  const std::optional<MediumTraits>& medium() const { return medium_; }
  bool firstRun() const { return firstRun_; }
  std::uint64_t exposed() const { return exposed_; }
  // Refused because the backup directory's lock cannot be taken.
  bool unlocked() const { return unlocked_; }
  // Stopped at the user's request after the new generation was complete.
  bool stoppedAfterCopy() const { return stoppedAfterCopy_; }
  // What the copies of the run planned, in all (a dry run's figures).
  const MirrorTotals& planned() const { return planned_; }
  // The job's paths as the pre-check left them, the file the run chose and
  // the generations its scan found.
  BackupResolved resolved() const;

  // Why a run cannot start while another holds the backup directory, naming it.
  static std::string BusyText(const std::string& backupDir);
  // Opens the backup directory for a run and takes its exclusive lock (the
  // lock file `kLockFileName` inside it), so that two runs never work on one
  // backup directory at once; the lock ends with `lock`, which holds the
  // open directory. Another run's lock is waited for, `waitMs` at most,
  // 500 ms between tries. Success: locked (or, as `use` allows, tested or
  // let be), or the directory cannot be opened, which is no refusal here
  // (the run's own checks say what is wrong with it: `lock` stays empty).
  // Otherwise, with nothing reported and `lock` empty: kLocked, another
  // run holds it; kExists, something that is not a lock file holds the
  // lock's name; any other, why the lock cannot be taken.
  static Status LockBackupDir(Os& os, const std::string& backupDir, LockUse use, int waitMs,
                              std::unique_ptr<OsDir>* lock);
  // The name of the run's lock file in the backup directory.
  static constexpr const char* kLockFileName = ".veldar2.lock";
  // How long a run waits for the log and the backup directory's lock in all.
  static constexpr int kLockWaitMs = 2500;
  // What a run that cannot take the lock of `backupDir` (for `code`, as
  // LockBackupDir gives it) tells the user; `os` says what is on the lock's
  // name.
  static std::string LockRefusal(Os& os, const std::string& backupDir, const Status& code);

 private:
  std::string Join(const std::string& directory, const std::string& name) const;
  std::string NameOf(const std::string& path) const;
  // Why the job cannot run (the message the pre-check shows), or empty.
  std::string JobRefusal();
  // Shows the pre-check's message (or logs it, with the no-message flag),
  // about the backup directory or the source as the message says; 0.
  [[nodiscard]] int Refuse(const std::string& message);
  // Compiles the job's exclude patterns into `excludes_`, matched as the
  // source's file system compares names, and logs them. 0: one is malformed,
  // refused (shown, or logged with the no-message flag, naming it and why).
  [[nodiscard]] int CompileExcludes();
  // Whether the source directory's file system ignores letter case, as one
  // of its names looked up with the case swapped tells; false for a source
  // that is no directory, cannot be read, or has no name with a letter.
  bool SourceFoldsCase();
  [[nodiscard]] int FindFiles();
  [[nodiscard]] int FindDirs();
  // Everything Run and Preview share: the pre-check, the exclude patterns,
  // the lock (`use`), the probe of the medium and the checks of the source;
  // then `body`, told whether the source is a directory, with the backup
  // directory open for it. Its result, or 0 after a refusal.
  [[nodiscard]] int Scoped(LockUse use, const std::function<int(bool directory)>& body);
  // The rotation of a single-file backup (the generations found, the name
  // the copy takes, `targetPath` set to it). Empty: reported.
  std::optional<Rotation> FileRotation();
  // What File would do, told to `output`.
  [[nodiscard]] int PreviewFile(const DryRunOutput& output);
  // What Dir would do, told to `output`.
  [[nodiscard]] int PreviewDir(const DryRunOutput& output);
  // The directory generations found, then `body` with the backup directory
  // open. 0: reported.
  [[nodiscard]] int WithGenerations(const std::function<int(OsDir& backup)>& body);
  // The rotation of a directory backup, after the checks that the
  // generations found allow one. Empty: reported.
  std::optional<Rotation> GenerationRotation(OsDir& backup);
  // The name of the directory a new generation is built in.
  std::string WorkingName() const;
  // The plan of the copy into the working directory `workingName`, open as
  // `workingDir` (null: one still to be made; `created`: made by this run).
  // 0: reported.
  [[nodiscard]] int PlanGeneration(const std::string& workingName, std::unique_ptr<OsDir> workingDir, bool created,
                                   MirrorPlan* plan);
  // What BuildGeneration would do, told to `output`.
  [[nodiscard]] int PreviewGeneration(OsDir& backup, const DryRunOutput& output);
  // The job of a mirror into the backup directory (`missing`: not there
  // yet); finds out whether this is the source's first run there.
  MirrorJob MirrorJobHere(bool missing);
  // What MirrorIntoBackupDir would do, told to `output`.
  [[nodiscard]] int PreviewMirror(const DryRunOutput& output);
  // A directory backup with a count of 1 or less: the mirror goes straight
  // into the backup directory.
  [[nodiscard]] int MirrorIntoBackupDir();
  // The new generation, built in the open backup directory `backup`.
  [[nodiscard]] int BuildGeneration(OsDir& backup);
  // Opens the working directory `name` of `backup` without following a link,
  // carrying on one that a run of this user's began after every generation
  // there is, or making it afresh (`*created`); anything else on the name
  // goes first. 0: reported.
  [[nodiscard]] int OpenWorkingDir(OsDir& backup, const std::string& name, std::unique_ptr<OsDir>* dir, bool* created);
  // Whether `entry` of the backup directory `backup` may be what a run of
  // this user's made there: this user's, or the directory owner's.
  bool MadeByUs(OsDir& backup, const FileStatus& entry) const;
  // Whether the open working directory `dir` of `backup`, listed as
  // `listed`, is one a run of this user's began after every generation
  // there is, to be carried on. `*code`: why its status could not be read,
  // if it could not.
  bool CarriesOn(OsDir& backup, OsDir& dir, const FileStatus& listed, Status* code) const;
  // Opens the working directory `name` of `backup` when it is one to carry
  // on (read only: nothing is deleted or made). False, `dir` empty: none.
  bool CarriedOnWorkingDir(OsDir& backup, const std::string& name, std::unique_ptr<OsDir>* dir) const;
  // Gives the complete working directory the name `rotation` planned: a
  // free one, or the replaced generation's, whose old copy is swapped out
  // (in one step where the medium can) and then deleted. 0: reported.
  [[nodiscard]] int NameGeneration(OsDir& backup, const std::string& workingName, const FileStatus& workingStatus,
                                   const Rotation& rotation);
  // Makes the generation `name` in `backup`, just named or stamped, rank
  // newest: where its age (the last-write time, on a medium without creation
  // times) is no later than a listed generation's, its last-write time is set
  // to the first the medium tells apart from the latest of theirs.
  // Otherwise a run within the same tick as the one before ties with it, and
  // a later rotation may delete the newer of the two as the oldest. A
  // failure is a failure line: the generation stands.
  void RankNewest(OsDir& backup, const std::string& name);
  // Writes the manifest of the file generation `name` in `backup`, just
  // copied (`checksum` saw the copy's bytes; a copy that handed over none
  // is read again) and stamped: its size and time as the medium keeps
  // them, flushed with the file system before it is named. A failure is a
  // failure line: the generation stands, without one.
  void WriteFileManifest(OsDir& backup, const std::string& name, const ChecksummingCopy& checksum);
  // Removes the manifest of the file generation `name` in `backup` (with
  // `temporaryOnly`, only one a break left on its temporary name); a
  // failure is a failure line. True when there was one.
  bool RemoveSidecarOf(OsDir& backup, const std::string& name, bool temporaryOnly = false);
  // Renames `from` in the backup directory `backup` to `to`, never over an
  // entry (where the medium cannot refuse to replace, after looking `to`
  // up), with its line. The failure is the caller's to report. `identity`,
  // if given, describes the directory `from` (the caller has checked it
  // is): on a medium that numbers directories by their paths it becomes
  // what `to` now reaches.
  Status Rename(OsDir& backup, const std::string& from, const std::string& to, FileStatus* identity = nullptr);
  // Renames `from` to the first spelling of the service name of
  // `generation` with `suffix` that is free (`*to`), with its line; a
  // spelling something else holds (another user's entry the run may not
  // remove) is passed over with a line that says so. The failure is the
  // caller's to report; `identity` as for Rename.
  Status MoveAside(OsDir& backup, const std::string& from, const std::string& generation, const char* suffix,
                   std::string* to, FileStatus* identity = nullptr);
  // Writes the manifest of the copy `top` (its path `path`) as it stands:
  // the checksums its copies saw (`copied`), the entries of `earlier` (the
  // manifest of the copy it shares with) that still match their files, and
  // the rest read. Unflushed, or with `durable` flushed before it takes the
  // manifest's name (`WriteManifest`). 0: failed, and that is a failure line.
  [[nodiscard]] int WriteCopyManifest(OsDir& top, const std::string& path, const CopiedChecksums& copied,
                                      const Manifest* earlier, bool durable = false);
  // Flushes the directory's entries, or with `fileSystem` everything on the
  // file system that holds it. 0: failed, and that is a failure line.
  [[nodiscard]] int Flush(const std::string& directory, bool fileSystem);
  [[nodiscard]] int Flush(OsDir& directory, bool fileSystem);
  // Moves a generation directory of `backup` out of the way (where no
  // directory is renamed, marks it as no generation), then deletes it; only
  // while it is still the directory the scan listed. 0: failed,
  // `contentsMessage` or `removeMessage` shown.
  [[nodiscard]] int Retire(OsDir& backup, const CFileEntry& generation, const std::string& contentsMessage,
                           const std::string& removeMessage);
  // Marks the directory `generation` of `backup` as no generation
  // (`incomplete`), or takes the mark away, and flushes the backup
  // directory. A mark an earlier run of this user's left stands. 0: failed,
  // and that is a failure line.
  [[nodiscard]] int SetIncomplete(OsDir& backup, const std::string& generation, bool incomplete);
  // Deletes the directories the last scan found marked as no generation,
  // all but `keep` (the one this run carries on), and their marks; with a
  // `keep` (a run that builds in place), the working directory too.
  void ClearIncomplete(OsDir& backup, const std::string& keep);
  // Whether the medium loses what a renamed directory holds: generations
  // are then built and deleted under their own names (Naming::kInPlace).
  bool NamesInPlace() const { return medium_ && !medium_->renameKeepsContents; }
  // Gives the generations of `stem` that an interrupted run moved aside
  // without swapping (see NameGeneration) their names back where the new
  // copy never got them, and deletes them where it did.
  void RecoverSwapped(OsDir& backup, const std::string& stem);
  // Deletes from the backup directory what interrupted runs left: the
  // retired directories of the source named `stem` (none when null) and
  // abandoned temporary files; for a file source (`stem` null), the
  // temporary manifests of its generations and the manifests whose
  // generation is gone.
  void RemoveLeftovers(OsDir& backup, const std::string* stem);
  // The file generation of the source whose manifest (or, `*temporary`, its
  // manifest being written) `name` is; empty for any other name.
  std::string FileManifestGeneration(std::string_view name, bool* temporary) const;
  // Whether the backup medium went away, asked after `failure` (success:
  // none known): a failure of a kind that a medium gone away gives, and
  // the open backup directory no longer answers (or only with I/O errors,
  // for ten seconds).
  bool BackupMediumGone(const Status& failure);
  // Refuses (0) a copy whose writing the backup directory's free space
  // cannot hold; where the medium does not tell its size, says in the log
  // that the check was passed over.
  [[nodiscard]] int CheckRoom(const MirrorTotals& totals);
  // Finds out what the backup directory's medium keeps (`medium_`), and
  // logs what it does not.
  void ProbeMedium();
  // Logs, once, that `totals.exposed` files private in the source can be
  // read by others on the medium.
  void NoteExposed(const MirrorTotals& totals);
  // Whether owners mean anything on the backup medium: where it keeps none,
  // what this user made shows another owner (the mount's).
  bool MediumKeepsOwners() const { return !medium_ || medium_->keepsOwner; }
  // Deletion of what is the program's own (leftovers, old generations):
  // with force, whatever the run's flags, and never of the source.
  TreeDeleter OwnDeleter() const;

  BackupJob job_;
  RunServices services_;
  Os& os_;
  Reporter& reporter_;
  FileOps files_;
  // The backup directory as the run opened it (null outside `Run`): the
  // generation scans and everything the run does in it go through it.
  OsDir* backupDir_ = nullptr;
  // The tree the run copies from: no deletion may empty it.
  std::optional<FileStatus> guarded_;
  // What the run's directory mirrors leave out: empty until `Run` compiles
  // the job's patterns, and when there are none.
  ExcludeSet excludes_;
  bool busy_ = false;
  bool unlocked_ = false;
  bool stoppedAfterCopy_ = false;
  MirrorTotals planned_;
  std::optional<MediumTraits> medium_;
  bool firstRun_ = false;
  std::uint64_t exposed_ = 0;
  // What the run resolved: the generations of its last scan (`scanned_`:
  // there was one) and the file a single-file backup writes.
  std::vector<CFileEntry> generations_;
  // The generations the last scan found marked as no generation.
  std::vector<std::string> incomplete_;
  bool scanned_ = false;
  std::string targetPath_;
};

}  // namespace veldar
