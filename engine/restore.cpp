// The restore run and the restore list's rows.
//
// A restore is checked the way a backup is: every step that can fail is
// tested, a failure writes its line to the log, and the user is told
// "レストアに失敗しました。" (or "レストアできません。" for a restore refused
// before anything was written) with the reason, instead of the completion
// message. Refused are restores that have no target name of their own (a
// directory generation without "_" would be mirrored onto the restore
// directory itself) and that would mirror over the backup directory (the
// mirror deletes what the generation lacks, generations included).


#include "engine/restore.h"

#include <algorithm>

#include "platform/os_paths.h"
#include "platform/conventions.h"

#include "engine/backup.h"
#include "engine/mirror.h"
#include "engine/path_relation.h"
#include "res/string_table.h"

namespace veldar {
namespace {

// Bracketed details of the restore's messages, in the style of the
// pre-check's: what the message is about, a line break, then the path and why.
const char kSourceField[] = "[バックアップするファイル]\n";
const char kGenerationField[] = "[世代]\n";
const char kRestoreDirField[] = "[復元するディレクトリ]\n";
const char kRestoreFileField[] = "[復元するファイル]\n";
const char kNoDirName[] = "世代のディレクトリ名に「_」がないため、復元先を決められません。";
const char kNoFileName[] = "世代のファイル名から、復元するファイル名を作れません。";
const char kSomeFailed[] = "失敗した操作があります。詳しくはログを見てください。";
const char kSomeFailedUnlogged[] = "失敗した操作があります。今回の処理はログに記録されていません。";
const char kRestoreCancelled[] = "レストアを中止しました。";
const char kOverlapsBackup[] =
    "復元先のディレクトリが、バックアップディレクトリと同じか、その中か、それを含んでいます。";
const char kTargetNotDirectory[] =
    "復元先の名前にディレクトリではないもの（リンクやファイル）があります。何も変更していません。";
const char kGenerationChanged[] = "世代が一覧を作った後に変わりました。もう一度レストアしてください。";

constexpr std::size_t kNameField = 20;

std::string Code(const Status& status) { return std::to_string(status.code()); }

// Characters, not bytes, so that a name in UTF-8 is padded like one in ASCII.
std::size_t CharacterCount(const std::string& text) {
  std::size_t count = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++count;
  }
  return count;
}

// One restore, up to but not including the closing of the log. Returns the
// message to show on failure, empty on success.
class RestoreRun {
 public:
  // With `dryRun`, nothing is changed: what the restore would do is told to it.
  RestoreRun(CVELDAR2Engine& engine, Reporter& reporter, const DryRunOutput* dryRun = nullptr)
      : engine_(engine), os_(engine.os), reporter_(reporter), dryRun_(dryRun) {}

  std::string Run(int number) {
    // Never while a backup rotates the generation away, or another restore
    // writes the same place. A dry run only reads, and takes no lock.
    std::unique_ptr<OsDir> backup;
    if (dryRun_) {
      if (!os_.OpenDir(engine_.backupDir, /*followLink=*/true, &backup).ok()) backup.reset();
    } else if (Status code = BackupRun::LockBackupDir(
                   os_, engine_.backupDir, LockUse::kRead,
                   std::max(0, BackupRun::kLockWaitMs - engine_.activityLog.waitedMs()), &backup);
               !code.ok()) {
      busy_ = !code.Is(ErrorKind::kExists);
      reporter_.Failure(code.Is(ErrorKind::kLocked)
                            ? "Restore Failed, Backup Directory In Use : " + engine_.backupDir
                            : "Restore Failed, Backup Directory Not Locked : " + engine_.backupDir +
                                  " : ERR = " + Code(code));
      return Refused(BackupRun::LockRefusal(os_, engine_.backupDir, code));
    }
    const CFileEntry* generation = FindGeneration(engine_.generations, number);
    if (!generation) {
      reporter_.Failure("Restore Failed : no generation numbered " + std::to_string(number));
      return Refused(kGenerationField + std::string("(-") + std::to_string(number + 1) + ")");
    }
    const std::string from = os_.Paths().Join(engine_.backupDir, generation->name);
    if (!backup) {
      const Status code = os_.OpenDir(engine_.backupDir, /*followLink=*/true, &backup);
      if (!code.ok()) return GenerationFailure(from, code);
    }

    // The generation's own kind decides how it comes back: a directory is
    // mirrored, a file copied. The source need not exist.
    const bool directory = generation->isDirectory;
    const std::string name = directory
                                 ? DirRestoreName(generation->name)
                                 : FileRestoreName(generation->name, os_.Paths().NameOf(engine_.sourcePath));
    if (name.empty()) {
      reporter_.Failure("Restore Failed, No Target Name : " + from);
      return Refused(kGenerationField + generation->name + "\n" + (directory ? kNoDirName : kNoFileName));
    }
    const std::string target = os_.Paths().Join(engine_.restoreDir, name);

    if (directory &&
        (IsSameOrInside(os_, target, engine_.backupDir) ||
         IsSameOrInside(os_, engine_.backupDir, target))) {
      reporter_.Failure("Restore Failed, Target Overlaps Backup Directory : " + target);
      return Refused(kRestoreDirField + target + "\n" + kOverlapsBackup);
    }

    if (dryRun_) return DryRun(*backup, *generation, name);
    // The restore directory is the user's (it may be a link); everything
    // below it is reached through it, without following a link.
    if (std::string message = CreateDirWithParents(engine_.restoreDir); !message.empty()) return message;
    std::unique_ptr<OsDir> into;
    if (Status code = os_.OpenDir(engine_.restoreDir, /*followLink=*/true, &into); !code.ok()) {
      return DirFailure(engine_.restoreDir, code);
    }
    return directory ? RestoreDir(*backup, *generation, *into, name)
                     : RestoreFile(*backup, *generation, *into, name);
  }

 private:
  static std::string Refused(const std::string& detail) {
    return LoadString(IDS_RESTORE_REFUSED) + detail;
  }
  static std::string Failed(const std::string& detail) {
    return LoadString(IDS_RESTORE_FAILED) + detail;
  }

  // Creates `path` and whichever of its parents are missing, with the
  // system's default permissions. Returns the failure message, or empty.
  std::string CreateDirWithParents(const std::string& path) {
    for (const std::string& directory : os_.Paths().Ancestry(path)) {
      if (std::string message = CreateDirIfMissing(directory); !message.empty()) return message;
    }
    return std::string();
  }

  std::string CreateDirIfMissing(const std::string& directory) {
    FileStatus status;
    if (Stat(os_, directory, true, &status).ok()) {
      if (status.kind == EntryKind::Directory) return std::string();
      return DirFailure(directory, os_.Error(ErrorKind::kNotDirectory));
    }
    const Status code = CreateDir(os_, directory);
    if (code.ok()) {
      reporter_.Done("Directory Created : " + directory);
      return std::string();
    }
    // Made by someone else in the meantime is as good as made.
    if (Stat(os_, directory, true, &status).ok() && status.kind == EntryKind::Directory) {
      return std::string();
    }
    return DirFailure(directory, code);
  }

  std::string DirFailure(const std::string& directory, const Status& code) {
    reporter_.Failure("Directory Create Failed : " + directory + " : ERR= " + Code(code));
    return Failed(kRestoreDirField + directory + "\n" + os_.ErrorText(code));
  }

  // The generation could not be reached, or is no longer the one listed.
  std::string GenerationFailure(const std::string& from, const Status& code) {
    reporter_.Failure("Restore Failed : " + from + " : ERR = " + Code(code));
    return Failed(kGenerationField + from + "\n" +
                  (code.Is(ErrorKind::kChanged) ? kGenerationChanged : os_.ErrorText(code)));
  }

  // Opens `name` in `into` as the restore's target directory, making it
  // when missing (`*created`). Whatever else is on the name (a link, a
  // file) is never followed or touched: the restore is refused.
  std::string OpenTarget(OsDir& into, const std::string& name, std::unique_ptr<OsDir>* dir,
                         FileStatus* status, bool* created) {
    const std::string path = os_.Paths().Join(into.Path(), name);
    *created = false;
    FileStatus found;
    Status code = into.StatAt(name, &found);
    if (code.ok() && found.kind != EntryKind::Directory) {
      reporter_.Failure("Restore Failed, Target Not A Directory : " + path);
      return Refused(kRestoreDirField + path + "\n" + kTargetNotDirectory);
    }
    if (!code.ok() && !code.Is(ErrorKind::kNotFound)) return DirFailure(path, code);
    if (!code.ok()) {
      code = into.CreateDir(name);
      if (!code.ok()) return DirFailure(path, code);
      *created = true;
      reporter_.Done("Directory Created : " + path);
    }
    code = into.OpenDir(name, dir);
    if (code.ok()) code = (*dir)->Stat(status);
    if (code.Is(ErrorKind::kNotDirectory)) {
      reporter_.Failure("Restore Failed, Target Not A Directory : " + path);
      return Refused(kRestoreDirField + path + "\n" + kTargetNotDirectory);
    }
    if (!code.ok()) return DirFailure(path, code);
    return std::string();
  }

  // Opens the directory generation as the plan's source, without following
  // a link, as it was listed. The failure message, or empty.
  std::string OpenGeneration(OsDir& backup, const CFileEntry& generation, MirrorPlan* plan) {
    const Status code =
        OpenListedDir(os_, backup, generation.name, generation.status, &plan->source, &plan->sourceStatus);
    if (code.ok()) return std::string();
    return GenerationFailure(os_.Paths().Join(engine_.backupDir, generation.name), code);
  }

  // What the restore would do, told to the dry run's output: the restore
  // directory and the target in it are read where they exist, and planned
  // against as empty where they do not.
  std::string DryRun(OsDir& backup, const CFileEntry& generation, const std::string& name) {
    using Action = DryRunItem::Action;
    const std::string target = os_.Paths().Join(engine_.restoreDir, name);
    // What the restore would find in the way of making the restore
    // directory, and the directories on its way it would make.
    std::vector<std::string> missing;
    for (const std::string& directory : os_.Paths().Ancestry(engine_.restoreDir)) {
      FileStatus status;
      const Status code = Stat(os_, directory, true, &status);
      if (code.ok() && status.kind != EntryKind::Directory) {
        return DirFailure(directory, os_.Error(ErrorKind::kNotDirectory));
      }
      if (code.Is(ErrorKind::kNotFound)) missing.push_back(directory);
    }
    auto makeOnTheWay = [&] {
      for (const std::string& directory : missing) (*dryRun_)({Action::kCreate, directory, true});
    };
    if (!generation.isDirectory) {
      planned_.filesToCopy = 1;
      planned_.bytesToCopy = planned_.diskBytes = generation.status.size;
      planned_.directoriesToCreate = missing.size();
      makeOnTheWay();
      // What the copy would replace, read without following a link.
      std::unique_ptr<OsDir> into;
      FileStatus replaced;
      const bool newer = os_.OpenDir(engine_.restoreDir, /*followLink=*/true, &into).ok() &&
                         into->StatAt(name, &replaced).ok() && replaced.kind == EntryKind::File &&
                         WrittenLater(replaced, generation.status);
      (*dryRun_)({Action::kInto, engine_.restoreDir, true});
      (*dryRun_)({Action::kCopy, name, false, generation.status.size, newer});
      return std::string();
    }
    MirrorPlan plan(os_);
    if (std::string message = OpenGeneration(backup, generation, &plan); !message.empty()) return message;
    std::unique_ptr<OsDir> into;
    FileStatus found;
    if (os_.OpenDir(engine_.restoreDir, /*followLink=*/true, &into).ok() &&
        into->StatAt(name, &found).ok()) {
      if (found.kind != EntryKind::Directory) {
        reporter_.Failure("Restore Failed, Target Not A Directory : " + target);
        return Refused(kRestoreDirField + target + "\n" + kTargetNotDirectory);
      }
      if (Status code = into->OpenDir(name, &plan.target); code.ok()) code = plan.target->Stat(&plan.targetStatus);
      else return DirFailure(target, code);
    }
    MirrorJob job = MirrorJobOf(engine_, os_.Paths().Join(engine_.backupDir, generation.name), target);
    job.targetIsNew = job.targetNotMade = plan.target == nullptr;
    job.exact = true;
    // As the restore itself compares them (its probe's directory is removed
    // again at once).
    MediumTraits medium;
    (void)backup.ProbeMedium(&medium);
    job.sourceTimeResolutionNs = medium.timeResolutionNs;
    if (!MirrorPlanner(os_, reporter_).Plan(job, &plan)) return Failed(kRestoreDirField + target);
    planned_ = plan.totals;
    planned_.directoriesToCreate += missing.size();
    makeOnTheWay();
    if (!plan.target) {
      (*dryRun_)({Action::kCreate, target, true});
      ++planned_.directoriesToCreate;
    }
    (*dryRun_)({Action::kInto, target, true});
    if (!DescribePlan(plan, os_.Paths().Separator(), reporter_, *dryRun_)) {
      return Failed(kRestoreDirField + target);
    }
    return std::string();
  }

  std::string RestoreDir(OsDir& backup, const CFileEntry& generation, OsDir& into,
                         const std::string& name) {
    const std::string from = os_.Paths().Join(engine_.backupDir, generation.name);
    const std::string target = os_.Paths().Join(into.Path(), name);
    MirrorPlan plan(os_);
    if (std::string message = OpenGeneration(backup, generation, &plan); !message.empty()) return message;
    bool created = false;
    if (std::string message = OpenTarget(into, name, &plan.target, &plan.targetStatus, &created);
        !message.empty()) {
      return message;
    }
    // The target's files end up equal to the generation's, whatever their
    // times say: an earlier restore of a newer generation leaves files
    // that are newer than, and as large as, what is restored over them.
    MirrorJob job = MirrorJobOf(engine_, from, target);
    job.targetIsNew = created;
    job.exact = true;
    // Each copy keeps a temporary name until it is on the disk, as the
    // backup's are; the flushes are made a batch of copies at a time.
    job.writes = MirrorWrites::kBatched;
    // Times are compared as coarsely as the backup medium keeps them: a
    // file restored from FAT is up to 2 s away from the one it restores.
    MediumTraits medium;
    (void)backup.ProbeMedium(&medium);
    job.sourceTimeResolutionNs = medium.timeResolutionNs;
    // The mirror has logged (and, without the no-message flag, shown) why it
    // stopped. It also passes over some failures and carries on; those are
    // counted, and a restore with any of them is no complete restore.
    const int failuresBefore = reporter_.failures();
    if (!MirrorTree(os_, reporter_, job, &plan)) {
      return reporter_.Cancelled() ? Cancelled() : Failed(kRestoreDirField + target);
    }
    // The names the last batch gave and the deletions survive a power cut
    // once the restore says it is done.
    if (plan.ChangesTarget()) {
      // The mirror has let go of the target: it is opened again (the file
      // system it names may be another than the restore directory's).
      std::unique_ptr<OsDir> made;
      Status code = into.OpenDir(name, &made);
      if (code.ok()) {
        FlushingScope flushing(reporter_.control().progress);
        code = made->SyncFileSystem();
      }
      if (!code.ok()) {
        reporter_.Failure("Flush Failed : " + target + " : ERR = " + Code(code));
        return Failed(kRestoreDirField + target + "\n" + os_.ErrorText(code));
      }
    }
    if (reporter_.failures() != failuresBefore)
      return Failed(kRestoreDirField + target + "\n" +
                    (engine_.activityLog.HoldsRun() ? kSomeFailed : kSomeFailedUnlogged));
    return std::string();
  }

  std::string RestoreFile(OsDir& backup, const CFileEntry& generation, OsDir& into,
                          const std::string& name) {
    const std::string from = os_.Paths().Join(engine_.backupDir, generation.name);
    const std::string target = os_.Paths().Join(into.Path(), name);
    // Made under a temporary name and renamed into place: a failed copy never
    // leaves a half-written file over the one that was there, and a link on
    // the name is replaced, never followed.
    FileStatus status;
    Status code = backup.StatAt(generation.name, &status);
    if (code.ok() && !status.SameEntryAs(generation.status)) code = os_.Error(ErrorKind::kChanged);
    if (!code.ok()) return GenerationFailure(from, code);
    std::uint64_t bytes = 0;
    RunProgress* progress = reporter_.control().progress;
    if (progress) {
      progress->AddPlanned(1, status.size);
      progress->FileStarted(from);
    }
    code = backup.CopyFile(generation.name, into, name, CopyMode::Replace, &bytes);
    if (code.Is(ErrorKind::kCancelled)) return Cancelled();
    if (!code.ok()) {
      reporter_.Failure("File Copy Failed : " + from + " to " + target + " : ERR = " + Code(code));
      return Failed(kRestoreFileField + target + "\n" + os_.ErrorText(code));
    }
    if (progress) progress->FileFinished(bytes);
    reporter_.CountCopied(bytes);
    if (reporter_.control().onFileCopied) reporter_.control().onFileCopied(from, bytes);
    return std::string();
  }

  // A restore stopped at the user's request: the copy under way was
  // abandoned; what was restored before it stays.
  std::string Cancelled() {
    cancelled_ = true;
    reporter_.Note(CVELDAR2Engine::kCanceledLine);
    return kRestoreCancelled;
  }

  CVELDAR2Engine& engine_;
  Os& os_;
  Reporter& reporter_;
  const DryRunOutput* dryRun_;

 public:
  bool cancelled_ = false;
  bool busy_ = false;     // refused: the backup directory's lock is held or cannot be taken
  MirrorTotals planned_;  // a dry run's figures
};

}  // namespace

std::string GenerationRow(const CFileEntry& generation) {
  std::string row = "(-" + std::to_string(static_cast<long long>(generation.generation) + 1) + ") ";
  row += generation.name;
  const std::size_t length = CharacterCount(generation.name);
  if (length < kNameField) row.append(kNameField - length, ' ');
  row += "   ";
  row += FormatLocalTime(generation.time, "%m/%d/%y %H:%M:%S");
  return row;
}

std::vector<std::string> GenerationRows(const std::vector<CFileEntry>& generations) {
  std::vector<std::string> rows;
  const int count = static_cast<int>(generations.size());
  for (int number = 0; number < count; ++number) {
    for (const CFileEntry& entry : generations) {
      if (entry.generation == number) rows.push_back(GenerationRow(entry));
    }
  }
  return rows;
}

std::string DirRestoreName(const std::string& generationName) {
  const auto underscore = generationName.rfind('_');
  if (underscore == std::string::npos || underscore == 0) return std::string();
  return generationName.substr(0, underscore);
}

std::string FileRestoreName(const std::string& generationName, const std::string& sourceName) {
  const auto dot = generationName.find('.');
  if (dot == std::string::npos) return std::string();
  const std::string before = generationName.substr(0, dot);
  const std::string after = generationName.substr(dot + 1);
  const auto underscore = before.rfind('_');
  if (underscore == std::string::npos || after.empty() || after.back() != '_') return std::string();
  const std::string base = before.substr(0, underscore);
  const std::string extension = after.substr(0, after.size() - 1);
  if (!base.empty()) return base + "." + extension;
  if (extension.empty()) return std::string();
  // README and .README both make _1.README_; the source tells which it was.
  if (sourceName == "." + extension) return sourceName;
  return extension;
}

RestoreResult RunRestore(CVELDAR2Engine& engine, int number, const RunControl& control) {
  const auto started = std::chrono::steady_clock::now();
  engine.OpenLog();
  engine.WriteLog("Starting with Restore button");
  Reporter reporter = JobReporter(engine, control);
  CopyProgressScope scope(engine.os, control.progress);
  RestoreRun run(engine, reporter);
  RestoreResult result;
  result.message = run.Run(number);
  result.ok = result.message.empty() ? 1 : 0;
  result.cancelled = run.cancelled_;
  result.busy = run.busy_;
  result.summary = reporter.summary();
  result.summary.seconds = SecondsSince(started);
  reporter.Note(SummaryLogLine(result.summary));
  if (result.ok) {
    engine.SaveRestoreDir();
    result.message = LoadString(IDS_RESTORE_DONE);
  }
  engine.CloseLog();
  return result;
}

RestoreResult DryRunRestore(CVELDAR2Engine& engine, int number, const DryRunOutput& output,
                            MirrorTotals* planned, const RunControl& control) {
  Reporter reporter = JobReporter(engine, control);
  RestoreRun run(engine, reporter, &output);
  RestoreResult result;
  result.message = run.Run(number);
  result.ok = result.message.empty() ? 1 : 0;
  *planned = run.planned_;
  return result;
}

int RestoreGeneration(CVELDAR2Engine& engine, int number, const RunControl& control) {
  const RestoreResult result = RunRestore(engine, number, control);
  engine.messages.Show(result.message);
  return result.ok;
}

}  // namespace veldar
