// The backup run: the pre-check that refuses jobs which cannot run or would
// destroy data, then one new generation of the source in the backup directory
// and the removal of the generations beyond the count.
//
// A file source is copied (atomically) to a new generation file, or over the
// oldest one that stays, and stamped with the time of the run so that it ranks
// newest. A directory source is mirrored into a working directory beside the
// generations; only once that copy is complete are the surplus generations and
// the recycled oldest one moved aside and deleted, and the working directory
// renamed to the new generation's name. With a count of 1 or less the source
// is mirrored straight into the backup directory, file by file.

#include <algorithm>
#include <cstdio>
#include <vector>

#include "engine/engine.h"
#include "engine/path_relation.h"
#include "res/string_table.h"

namespace veldar {
namespace {

// Bracketed details of the pre-check's messages. The first three name the
// field in the dialog that is wrong; the texts after the line break say why
// when the system's error text would not.
const char kSourceField[] = "[バックアップするファイル]\n";
const char kBackupField[] = "[書き込むディレクトリ]\n";
const char kCountField[] = "[世代数]";
const char kRootSource[] = "ルートディレクトリはバックアップできません。";
const char kEmptySource[] = "バックアップするディレクトリが空です。";
const char kSourceInOwnGeneration[] =
    "バックアップするディレクトリが、その世代のディレクトリの中にあります。";
const char kBackupInSource[] =
    "バックアップするディレクトリと同じか、その中にあるディレクトリには書き込めません。";
const char kSourceInMirror[] =
    "バックアップするディレクトリが書き込むディレクトリの中にあるため、"
    "世代数は2以上にしてください。";

// Five tries, 500 ms apart: as long as the activity log waits for its lock.
constexpr int kLockAttempts = 5;
constexpr int kLockRetryMs = 500;

// A freshly formatted file system holds this directory and nothing else.
constexpr char kLostAndFound[] = "lost+found";

// Users type directories with a trailing separator; names are taken after the
// last separator, so it would leave an empty name. The root stays the root,
// and on Windows a drive's root ("C:\") stays as it is.
std::string LimitReachedLine(const std::string& reused) {
  return "Generation limit of 98 reached, oldest generation reused : " + reused;
}

// Names of the directories a directory backup works with besides its
// generations: a dot first and a suffix no generation name has, so no scan
// of this or another source takes them for a generation. A name that would
// not fit the file system's name limit is replaced by a hash of it.
constexpr std::size_t kNameMax = 255;
constexpr char kWorkingSuffix[] = ".veldar2-new";
constexpr char kRetiredSuffix[] = ".veldar2-old";

std::string ServiceName(const std::string& name, const char* suffix) {
  std::string result = "." + name + suffix;
  if (result.size() <= kNameMax) return result;
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return std::string(".veldar2-") + hex + suffix;
}

// True for the name a directory of a generation of `stem` has while it is
// being deleted.
bool IsRetiredName(std::string_view name, const std::string& stem) {
  const std::string_view suffix = kRetiredSuffix;
  if (name.size() <= suffix.size() || name.substr(name.size() - suffix.size()) != suffix) return false;
  for (int slot = 1; slot <= 98; ++slot) {
    if (name == ServiceName(stem + "_" + std::to_string(slot), kRetiredSuffix)) return true;
  }
  return false;
}

std::string Megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

// True when the directory lists anything. One that cannot be listed holds
// nothing a copy could take either.
bool HasEntries(Os& os, const std::string& directory) {
  bool any = false;
  std::vector<DirEntry> none;
  os.ListDir(directory, /*followLink=*/false, &none, [&](std::string_view) {
    any = true;
    return false;
  });
  return any;
}

std::string NothingToReuseLine(const std::string& backupDir) {
  return "Generation limit of 98 reached, no generation to reuse : " + backupDir;
}

}  // namespace

int CVELDAR2Engine::Backup() {
  cancelled = false;
  const int result = BackupRun();
  // A run that ended early because it was asked to stop: the copy under way
  // was abandoned, no generation was replaced, and a working directory stays
  // for the next run to carry on from.
  if (!result && CancelRequested()) {
    cancelled = true;
    WriteLog(kCanceledLine);
  }
  return result;
}

int CVELDAR2Engine::BackupRun() {
  backupDirBusy = 0;
  if (!CheckParameters()) return 0;
  std::unique_ptr<OsDir> lock;
  if (!LockBackupDir(&lock)) return Refuse(BackupDirBusyText());
  FileStatus status;
  // A source whose status cannot be read counts as a directory, as in the
  // pre-check.
  if (os.Stat(sourcePath, true, &status) != 0 || status.kind == EntryKind::Directory) {
    // An empty source (an unmounted drive looks like one, a freshly formatted
    // one holds only an empty lost+found) would rotate good generations away
    // for empty ones, or mirror emptiness over the backup. Checked here rather
    // than in the pre-check, which the restore shares: an emptied source is
    // just what a restore is for.
    // Names only, but for lost+found: the filter notes that there are others.
    bool others = false;
    std::vector<DirEntry> lostAndFound;
    const int code = os.ListDir(sourcePath, true, &lostAndFound, [&](std::string_view name) {
      if (name == kLostAndFound) return true;
      others = true;
      return false;
    });
    const bool hasEntries =
        others || (!lostAndFound.empty() &&
                   (lostAndFound.front().status.kind != EntryKind::Directory ||
                    HasEntries(os, JoinPath(sourcePath, kLostAndFound))));
    const std::string wrong = LoadString(IDS_PARAM_ERROR) + kSourceField;
    if (code != 0) return Refuse(wrong + os.ErrorText(code));
    if (!hasEntries) return Refuse(wrong + kEmptySource);
    return BackupDir();
  }
  return BackupFile();
}

int CVELDAR2Engine::CheckParameters() {
  sourcePath = os.Paths().WithoutTrailingSeparators(sourcePath);
  backupDir = os.Paths().WithoutTrailingSeparators(backupDir);
  // "." and ".." name no directory by themselves: every source written so
  // would share one set of generations ("._1"). The directory's real name
  // is taken instead.
  const std::string name = NameOf(sourcePath);
  if (name == "." || name == "..") {
    std::string resolved;
    if (os.RealPath(sourcePath, &resolved) == 0) sourcePath = resolved;
  }
  const std::string refusal = JobRefusal();
  return refusal.empty() ? 1 : Refuse(refusal);
}

int CVELDAR2Engine::LockBackupDir(std::unique_ptr<OsDir>* lock) {
  if (os.OpenDir(backupDir, /*followLink=*/true, lock) != 0) {
    lock->reset();
    return 1;
  }
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    const int code = (*lock)->Lock();
    // A file system without locks cannot keep two runs apart; that is no
    // reason to refuse this one.
    if (code == 0 || !os.IsLockedByOther(code)) return 1;
    os.SleepMs(kLockRetryMs);
  }
  lock->reset();
  backupDirBusy = 1;
  return 0;
}

std::string CVELDAR2Engine::BackupDirBusyText() const {
  return LoadString(IDS_BACKUP_DIR_BUSY) + "\n" + backupDir;
}

int CVELDAR2Engine::Refuse(const std::string& message) {
  // The refusal names the field, not the path: the backup directory's for
  // what is about it (its field, the lock, its free space), else the source's.
  const bool aboutBackupDir = message.find(kBackupField) != std::string::npos ||
                              message.rfind(LoadString(IDS_BACKUP_DIR_BUSY), 0) == 0 ||
                              message.rfind(LoadString(IDS_NO_ROOM), 0) == 0;
  report = {message, aboutBackupDir ? backupDir : sourcePath, 0};
  if (noMessage) {
    activityLog.WriteFailure(message);  // not counted: the run stops here
  } else {
    messages.Show(message);  // the report keeps its path
  }
  return 0;
}

std::string CVELDAR2Engine::JobRefusal() {
  const std::string wrong = LoadString(IDS_PARAM_ERROR);

  int code = os.Access(sourcePath, 4);
  if (code != 0) return wrong + kSourceField + os.ErrorText(code);
  // A backup directory that refuses the test with "access denied" is let
  // through: the test can be wrong where the rights are not the mode bits.
  code = os.Access(backupDir, 2);
  if (code != 0 && !os.IsAccessDenied(code)) return wrong + kBackupField + os.ErrorText(code);
  // The root has no name to give its generations, and every directory of the
  // backup directory would look like one of them.
  if (NameOf(sourcePath).empty()) return wrong + kSourceField + kRootSource;

  FileStatus sourceStatus;
  const bool sourceIsDirectory =
      os.Stat(sourcePath, true, &sourceStatus) != 0 || sourceStatus.kind == EntryKind::Directory;
  if (!sourceIsDirectory && generationCount <= 0) return wrong + kCountField;

  // Anything but a directory here would make the generation scan fail, and
  // the run would end without a word.
  FileStatus backupStatus;
  if (os.Stat(backupDir, true, &backupStatus) == 0 && backupStatus.kind != EntryKind::Directory) {
    return wrong + kBackupField + os.ErrorText(os.CodeOf(ErrorKind::kNotDirectory));
  }
  if (!sourceIsDirectory) return std::string();

  // Directories compared by identity: a bind mount or a link reaching one of
  // them another way is the same directory. The mirror would find its own
  // copies in the source and copy them again, deeper each time.
  if (IsSameOrInside(os, backupDir, sourcePath)) return wrong + kBackupField + kBackupInSource;
  std::string generation;
  if (DepthInside(os, sourcePath, backupDir, &generation) >= 0) {
    // Mirroring straight into the backup directory deletes what the source
    // does not hold, the source itself among it.
    if (generationCount <= 1) return wrong + kCountField + "\n" + kSourceInMirror;
    // Recycling or deleting that generation would delete the source.
    if (IsDirGenerationName(generation)) return wrong + kSourceField + kSourceInOwnGeneration;
  }
  return std::string();
}

int CVELDAR2Engine::BackupFile() {
  if (!FindFileGenerations()) return 0;
  // The pre-check refuses such a count: there is no generation to keep.
  if (generationCount < 1) return 0;

  const int present = static_cast<int>(generations.size());
  int keep = generationCount;
  bool limitReached = false;
  if (keep > present) {
    // Never fall back on the path an earlier run left here.
    targetPath.clear();
    MakeFileGenerationPath();
    if (targetPath.empty()) {
      if (present == 0) {
        WriteFailure(NothingToReuseLine(backupDir));
        ShowMessage(NothingToReuseLine(backupDir));
        return 0;
      }
      // Every name is taken: keep what is there and overwrite the oldest.
      keep = present;
      limitReached = true;
    }
  }

  if (keep <= present) {
    for (int number = keep; number < present; ++number) {
      targetPath = JoinPath(backupDir, FindGeneration(generations, number)->name);
      if (!FileDelete(targetPath) && !noMessage) {
        ShowMessage("ERR : DELETE FILE " + targetPath);
        return 0;
      }
    }
    targetPath = JoinPath(backupDir, FindGeneration(generations, keep - 1)->name);
    if (limitReached) WriteLog(LimitReachedLine(targetPath));
  }

  RemoveLeftovers(nullptr);
  // A source that is a link is backed up by what it points to: a copy of the
  // link would be no copy of the data.
  std::string copyFrom = sourcePath;
  FileStatus own;
  if (os.Stat(sourcePath, false, &own) == 0 && own.kind == EntryKind::Symlink) {
    std::string resolved;
    if (os.RealPath(sourcePath, &resolved) == 0) copyFrom = resolved;
  }

  if (progress) {
    FileStatus status;
    if (os.Stat(copyFrom, true, &status) == 0) progress->AddPlanned(1, status.size);
  }
  const int copied = FileCopy(copyFrom, targetPath);
  // Stopped at the user's request: the generation it was to replace is as
  // it was.
  if (!copied && CancelRequested()) return 0;
  if (!copied && !noMessage) {
    ShowMessage("ERR: COPY FILE from " + sourcePath + " to " + targetPath);
    return 0;
  }

  // The times of the run make the copy the newest generation. A copy that did
  // not happen is not stamped: that would make an old generation, or nothing,
  // pass for the newest.
  if (!copied) {
    WriteFailure("Set Time Failed : " + targetPath + " : not copied");
  } else if (int code = os.SetTimes(targetPath, os.Now()); code != 0) {
    WriteFailure("Set Time Failed : " + targetPath + " : ERR = " + std::to_string(code));
  }
  // The copy was flushed before it got its name; the name, and the
  // deletions of surplus generations, once the directory is.
  if (copied) Flush(backupDir, /*fileSystem=*/false);

  SaveLastPaths();
  return 1;
}

int CVELDAR2Engine::BackupDir() {
  if (!FindDirGenerations()) return 0;
  if (generationCount <= 1) return MirrorIntoBackupDir();

  const int present = static_cast<int>(generations.size());
  int keep = generationCount;
  bool limitReached = false;
  std::string finalName;
  if (keep > present) finalName = MakeDirGenerationName();
  if (finalName.empty()) {
    if (present == 0) {
      WriteFailure(NothingToReuseLine(backupDir));
      ShowMessage(NothingToReuseLine(backupDir));
      return 0;
    }
    // Every name is taken (or the count is reached): keep what is there and
    // recycle the oldest, never mirror into the backup directory itself.
    limitReached = keep > present;
    keep = std::min(keep, present);
    finalName = FindGeneration(generations, keep - 1)->name;
    if (limitReached) WriteLog(LimitReachedLine(JoinPath(backupDir, finalName)));
  }

  // The new generation is built under a working name no scan takes for a
  // generation, and replaces the old ones only once it is complete: a run
  // that fails or is cut off leaves every generation as it was, and its
  // working directory for the next run to carry on from.
  const std::string stem = NameOf(sourcePath);
  RemoveLeftovers(&stem);
  const std::string workingName = ServiceName(stem, kWorkingSuffix);
  const std::string working = JoinPath(backupDir, workingName);
  FileStatus status;
  int statCode = os.Stat(working, false, &status);
  if (statCode == 0 && status.kind != EntryKind::Directory) {
    // The working name is the program's own: a file or a link there (never
    // followed) is in the way of every run, and goes.
    ProgramsOwn own(*this);
    if (FileDelete(working)) statCode = os.Stat(working, false, &status);
  }
  if (statCode == 0 && status.kind != EntryKind::Directory) {
    DirCreate(working);  // fails on it, with its line
    ShowMessage("ERROR MKDIR " + working);
    return 0;
  }
  const bool created = statCode != 0;
  // The tree is looked at once: what the copy will hold, what it can share
  // with the newest generation, and what it needs of the disk.
  MirrorPlan plan(os);
  MirrorJob job;
  job.source = sourcePath;
  job.target = working;
  job.targetIsNew = created;
  job.writes = MirrorWrites::kUnflushed;
  if (const CFileEntry* newest = FindGeneration(generations, 0)) {
    job.reference = JoinPath(backupDir, newest->name);
    job.sharing = linkUnchanged ? MirrorSharing::kCloneOrLink : MirrorSharing::kCloneOrCopy;
  }
  // The working directory is the program's own, whatever it holds: a copy
  // carried on from an interrupted run must lose what the source has changed
  // or deleted since, so it is mirrored with force and deletion whatever the
  // run's flags say.
  const int failuresBefore = failureCount;
  {
    ProgramsOwn own(*this);
    if (!PlanMirror(job, &plan)) return 0;
  }
  if (!CheckRoom(plan.totals)) return 0;
  std::unique_ptr<OsDir> backup;
  if (int code = os.OpenDir(backupDir, /*followLink=*/true, &backup); code != 0) {
    WriteFailure("Directory Create Failed : " + working + " : ERR= " + std::to_string(code));
    ShowMessage("ERROR MKDIR " + working);
    return 0;
  }
  // Made inside the open backup directory, for its owner only until the
  // copy is complete and gets the source's permissions.
  if (created && !DirCreate(*backup, workingName)) {
    ShowMessage("ERROR MKDIR " + working);
    return 0;
  }
  {
    ProgramsOwn own(*this);
    if (!ApplyMirror(plan)) return 0;
  }
  // Written without a flush per file: the whole copy is made durable at
  // once, before any old generation goes and before it takes a generation's
  // name. A flush that fails is a failure like any other: the copy stays
  // under its working name for the next run.
  if (failureCount == failuresBefore) {
    FlushingScope flushing(progress);
    if (int code = backup->SyncFileSystem(); code != 0) {
      WriteFailure("Flush Failed : " + working + " : ERR = " + std::to_string(code));
    }
  }
  // A mirror that went on past failures (the no-message flag, or a
  // permission that could not be set) has worked through the tree, but its
  // copy lacks what failed: a disk that filled up half way would otherwise
  // replace a good generation with a broken copy that looks complete. It
  // stays under the working name for the next run.
  if (failureCount != failuresBefore) {
    WriteFailure("Copy incomplete, no generation replaced : " + working);
    ShowMessage("Copy incomplete, no generation replaced : " + working);
    return 0;
  }

  // Complete: the surplus generations go, oldest last, then the recycled one.
  for (int number = keep; number < present; ++number) {
    const std::string surplus = JoinPath(backupDir, FindGeneration(generations, number)->name);
    if (!Retire(surplus, "ERROR AT DELETE FILES " + surplus, "ERROR AT DELETE FILE " + surplus) &&
        !noMessage)
      return 0;
  }
  if (keep <= present) {
    const std::string recycled = JoinPath(backupDir, finalName);
    if (!Retire(recycled, "ERROR AT DELETE FILES IN DELETE!", "ERROR AT DELETE FILE IN DELETE!") &&
        !noMessage)
      return 0;
  }
  // Renamed, not copied: the directory keeps the creation time it got when
  // this run (or the interrupted one it carries on) began, newer than every
  // generation there is.
  const std::string target = JoinPath(backupDir, finalName);
  if (int code = os.MoveNoReplace(working, target); code != 0) {
    WriteFailure("rename directory failed : from " + working + " TO " + target +
                 " : ERR = " + std::to_string(code));
    ShowMessage("ERROR MKDIR " + target);
    return 0;
  }
  if (successLog) WriteLog("rename directory : from " + working + " TO " + target);
  // The new name, and the old generations' going, survive a power cut.
  if (int code = backup->Sync(); code != 0) {
    WriteFailure("Flush Failed : " + backupDir + " : ERR = " + std::to_string(code));
  }
  SaveLastPaths();
  return 1;
}

int CVELDAR2Engine::MirrorIntoBackupDir() {
  // The backup directory is the user's and may be reached through a link.
  FileStatus status;
  if (os.Stat(backupDir, true, &status) != 0 && !DirCreate(backupDir) && !noMessage) {
    ShowMessage("ERROR MKDIR " + backupDir);
    return 0;
  }
  // Each copy keeps its temporary name until it is on the disk, but the
  // flushes are made a batch of copies at a time.
  MirrorPlan plan(os);
  MirrorJob job;
  job.source = sourcePath;
  job.target = backupDir;
  job.writes = MirrorWrites::kBatched;
  if (!PlanMirror(job, &plan) || !ApplyMirror(plan)) return 0;
  // The names the last batches gave, and the deletions, survive a power cut
  // once the run says it is done. A run that changed nothing has nothing to
  // flush (and a flush would write out whatever else the disk holds).
  if (plan.ChangesTarget()) Flush(backupDir, /*fileSystem=*/true);
  SaveLastPaths();
  return 1;
}

int CVELDAR2Engine::Flush(const std::string& directory, bool fileSystem) {
  std::unique_ptr<OsDir> opened;
  FlushingScope flushing(progress);
  int code = os.OpenDir(directory, /*followLink=*/true, &opened);
  if (code == 0) code = fileSystem ? opened->SyncFileSystem() : opened->Sync();
  if (code == 0) return 1;
  WriteFailure("Flush Failed : " + directory + " : ERR = " + std::to_string(code));
  return 0;
}

int CVELDAR2Engine::Retire(const std::string& generation, const std::string& contentsMessage,
                           const std::string& removeMessage) {
  // Moved out of the way under a name no scan takes for a generation before
  // it is emptied: a run cut off half way through the deletion leaves no
  // half-emptied directory that looks like a generation.
  const std::string trash = JoinPath(backupDir, ServiceName(NameOf(generation), kRetiredSuffix));
  if (int code = os.MoveNoReplace(generation, trash); code != 0) {
    WriteFailure("rename directory failed : from " + generation + " TO " + trash +
                 " : ERR = " + std::to_string(code));
    ShowMessage(contentsMessage);
    return 0;
  }
  if (successLog) WriteLog("rename directory : from " + generation + " TO " + trash);
  // The new name reaches the disk before any of the contents go: otherwise a
  // power cut could bring back the generation's name over a half-emptied copy.
  if (!Flush(backupDir, /*fileSystem=*/false)) {
    ShowMessage(contentsMessage);
    return 0;
  }
  if (!DeleteDirContents(trash)) {
    ShowMessage(contentsMessage);
    return 0;
  }
  if (!DirRemove(trash)) {
    ShowMessage(removeMessage);
    return 0;
  }
  return 1;
}

void CVELDAR2Engine::RemoveLeftovers(const std::string* stem) {
  // What an interrupted run was deleting is deleted now, and what an
  // interrupted copy left (whatever is on a retired name of this source, and
  // any temporary file whose writer is gone). Failures are logged by the
  // operations and tried again by the next run.
  std::vector<DirEntry> found;
  os.ListDir(backupDir, true, &found, [&](std::string_view name) {
    return (stem != nullptr && IsRetiredName(name, *stem)) || os.IsAbandonedTemporary(name);
  });
  ProgramsOwn own(*this);
  for (const DirEntry& entry : found) {
    const std::string path = JoinPath(backupDir, entry.name);
    if (entry.status.kind != EntryKind::Directory) {
      FileDelete(path);
    } else if (DeleteDirContents(path)) {
      DirRemove(path);
    }
  }
}

int CVELDAR2Engine::CheckRoom(const MirrorTotals& totals) {
  std::uint64_t available = 0;
  if (os.FreeSpace(backupDir, &available) != 0 || totals.diskBytes <= available) return 1;
  return Refuse(LoadString(IDS_NO_ROOM) + "\n必要: " + Megabytes(totals.diskBytes) +
                "、空き: " + Megabytes(available));
}

}  // namespace veldar
