// The backup run: the pre-check that refuses jobs which cannot run or would
// destroy data, then one new generation of the source in the backup directory
// and the removal of the generations beyond the count.
//
// A file source is copied (atomically) to a new generation file, or over the
// oldest one that stays, and stamped with the time of the run so that it ranks
// newest. A directory source is mirrored into a working directory beside the
// generations; only once that copy is complete and on the disk does it take a
// generation's name: a new one, or the recycled oldest one's, swapped in one
// step with the old copy (which then goes), so that at no moment are there
// fewer complete generations under their names than before. The surplus
// generations of a lowered count go after that. With a count of 1 or less the
// source is mirrored straight into the backup directory, file by file.
//
// Exclude patterns concern directory sources only: what they match is left
// out of the mirror (mirror_plan.cpp), of a new generation as of a mirror
// into the backup directory, while older generations keep what they hold.
//
// The backup directory is opened once per run, and everything in it (the
// generations, the working directory, the retired copies, the lock file) is
// reached through that open directory without following a link, and checked
// to be what was listed or made before anything is deleted or renamed.

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "engine/backup.h"
#include "platform/os_paths.h"

#include "engine/generations.h"
#include "engine/manifest.h"
#include "engine/medium.h"
#include "engine/mirror.h"
#include "engine/path_relation.h"
#include "platform/temporary_names.h"
#include "res/string_table.h"
#include "res/translation.h"

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
const char kNothingLeft[] = "除外パターンを除くと、バックアップするディレクトリにファイルが残りません: ";
const char kSourceInOwnGeneration[] = "バックアップするディレクトリが、その世代のディレクトリの中にあります。";
const char kBackupInSource[] = "バックアップするディレクトリと同じか、その中にあるディレクトリには書き込めません。";
const char kSourceInMirror[] =
    "バックアップするディレクトリが書き込むディレクトリの中にあるため、"
    "世代数は2以上にしてください。";

// What a run that cannot take the backup directory's lock says.
const char kLockUnavailable[] = "書き込むディレクトリをロックできません。";
const char kLockNameTaken[] = "書き込むディレクトリのロックファイルの名前を、ロックファイルでないものが使っています。";
const char kTakenByDirectory[] = "中身のあるディレクトリです。";
const char kTakenByOtherUser[] = "ほかのユーザーのものです。";
const char kTakenByOther[] = "取り除けないものです。";
const char kRemoveIt[] = "取り除いてからやり直してください。";

// What a run whose backup medium went away tells the user.
const char kMediumGone[] =
    "書き込むディレクトリのディスクが見つからなくなりました（取り外されたか、接続が切れました）。"
    "世代は置き換えていません。つなぎ直してから実行すると、続きから行います。";

// The lock is tried again this often while another run holds it.
constexpr int kLockRetryMs = 500;

// A directory the backup directory's listing found, as a tree deletion
// takes it.
CFileEntry ListedDirectory(const DirEntry& entry) {
  CFileEntry directory;
  directory.name = entry.name;
  directory.isDirectory = true;
  directory.kind = EntryKind::Directory;
  directory.status = entry.status;
  return directory;
}

// How long a backup medium that answers with I/O errors is asked again
// before it counts as gone, and how often.
constexpr int kMediumWaitMs = 10'000;
constexpr int kMediumRetryMs = 500;

// A freshly formatted file system holds this directory and nothing else.
constexpr char kLostAndFound[] = "lost+found";

// Users type directories with a trailing separator; names are taken after the
// last separator, so it would leave an empty name. The root stays the root,
// and on Windows a drive's root ("C:\") stays as it is.
std::string LimitReachedLine(const std::string& reused) {
  return "Generation limit of 98 reached, oldest generation reused : " + reused;
}

// True for the name a directory of a generation of `stem` has while it is
// being deleted.
bool IsRetiredName(std::string_view name, const std::string& stem) {
  return ServiceNameSlot(name, stem, kRetiredSuffix) != 0;
}

std::string Megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

std::string NothingToReuseLine(const std::string& backupDir) {
  return "Generation limit of 98 reached, no generation to reuse : " + backupDir;
}

}  // namespace

int MirrorJobTree(Os& os, const RunJob& job, Reporter& reporter, const std::string& source, const std::string& target,
                  bool targetIsNew) {
  MirrorPlan plan(os);
  MirrorJob mirror = MirrorJobOf(job, source, target);
  mirror.targetIsNew = targetIsNew;
  return MirrorTree(os, reporter, mirror, &plan);
}

namespace {

// What `run`, just ended with `ok`, did.
BackupOutcome OutcomeOf(int ok, const BackupRun& run, Reporter& reporter) {
  BackupOutcome outcome;
  outcome.ok = ok;
  // A run that ended early because it was asked to stop: the copy under way
  // was abandoned, no generation was replaced, and a working directory stays
  // for the next run to carry on from. Or the stop came once the new
  // generation was complete: what was left undone then is the next run's.
  if ((!outcome.ok || run.stoppedAfterCopy()) && reporter.Cancelled() && !reporter.MediumGone()) {
    outcome.cancelled = true;
    reporter.Note(kCanceledLine);
  }
  outcome.busy = run.busy();
  outcome.unlocked = run.unlocked();
  outcome.failures = reporter.failures();
  outcome.vanished = reporter.vanished();
  outcome.unreadable = reporter.unreadable();
  outcome.report = reporter.report();
  outcome.recent = reporter.recent();
  outcome.summary = reporter.summary();
  outcome.medium = run.medium();
  outcome.firstRun = run.firstRun();
  outcome.exposed = run.exposed();
  outcome.leftOutCount = reporter.leftOutCount();
  outcome.leftOut = reporter.leftOut();
  outcome.resolved = run.resolved();
  return outcome;
}

}  // namespace

BackupOutcome RunBackup(const BackupJob& job, const RunServices& services, const RunControl& control) {
  const auto started = std::chrono::steady_clock::now();
  Reporter reporter = JobReporter(job, services, control);
  BackupRun run(job, services, reporter);
  BackupOutcome outcome = OutcomeOf(run.Run(), run, reporter);
  outcome.summary.seconds = SecondsSince(started);
  reporter.Note(SummaryLogLine(outcome.summary));
  return outcome;
}

BackupOutcome DryRunBackup(const BackupJob& job, const RunServices& services, const DryRunOutput& output,
                           MirrorTotals* planned, const RunControl& control) {
  Reporter reporter = JobReporter(job, services, control);
  BackupRun run(job, services, reporter);
  BackupOutcome outcome = OutcomeOf(run.Preview(output), run, reporter);
  *planned = run.planned();
  return outcome;
}

BackupRun::BackupRun(const BackupJob& job, const RunServices& services, Reporter& reporter)
    : job_(job),
      services_(services),
      os_(services.os),
      reporter_(reporter),
      files_(services.os, reporter, FilePolicy{job.noForce == 0}) {}

BackupRun::~BackupRun() = default;

std::string BackupRun::Join(const std::string& directory, const std::string& name) const {
  return os_.Paths().Join(directory, name);
}

std::string BackupRun::NameOf(const std::string& path) const { return os_.Paths().NameOf(path); }

TreeDeleter BackupRun::OwnDeleter() const { return TreeDeleter(files_.With(FilePolicy{true}), guarded_); }

BackupResolved BackupRun::resolved() const {
  BackupResolved resolved;
  resolved.sourcePath = job_.sourcePath;
  resolved.backupDir = job_.backupDir;
  resolved.targetPath = targetPath_;
  if (scanned_) resolved.generations = generations_;
  return resolved;
}

int BackupRun::FindFiles() {
  scanned_ = true;
  return Generations(os_, job_.backupDir, NameOf(job_.sourcePath), backupDir_).FindFiles(&generations_);
}

int BackupRun::FindDirs() {
  scanned_ = true;
  Generations scan(os_, job_.backupDir, NameOf(job_.sourcePath), backupDir_);
  const int found = scan.FindDirs(&generations_);
  incomplete_ = scan.Incomplete();
  return found;
}

int BackupRun::Run() {
  return Scoped(LockUse::kWrite, [this](bool directory) { return directory ? Dir() : File(); });
}

int BackupRun::Preview(const DryRunOutput& output) {
  return Scoped(LockUse::kTest, [&](bool directory) { return directory ? PreviewDir(output) : PreviewFile(output); });
}

int BackupRun::Scoped(LockUse use, const std::function<int(bool directory)>& body) {
  busy_ = unlocked_ = stoppedAfterCopy_ = firstRun_ = false;
  medium_.reset();
  exposed_ = 0;
  if (!CheckParameters() || !CompileExcludes()) return 0;
  std::unique_ptr<OsDir> backup;
  // A dry run only tests the lock, making nothing: it says so when another
  // run holds the directory, as the run would. The time the log waited for
  // another run counts against the lock's wait.
  const int waitMs = std::max(0, kLockWaitMs - services_.log.waitedMs());
  if (Status code = LockBackupDir(os_, job_.backupDir, use, waitMs, &backup); !code.ok()) {
    busy_ = code.Is(ErrorKind::kLocked);
    unlocked_ = !busy_ && !code.Is(ErrorKind::kExists);
    return reporter_.Refuse(LockRefusal(os_, job_.backupDir, code), job_.backupDir);
  }
  // Everything below the backup directory is reached through this one open
  // directory for the rest of the run.
  struct RunScope {
    BackupRun& run;
    ~RunScope() {
      run.reporter_.WatchMedium(nullptr);
      run.backupDir_ = nullptr;
      run.guarded_.reset();
    }
  } scope{*this};
  backupDir_ = backup.get();
  // A backup medium that goes away stops the run at the first failure it
  // causes, instead of failing every file left.
  if (backupDir_) {
    reporter_.WatchMedium([this](const Status& failure) { return BackupMediumGone(failure); }, kMediumGone,
                          job_.backupDir);
  }
  ProbeMedium();
  FileStatus status;
  // A source whose status cannot be read counts as a directory, as in the
  // pre-check.
  if (!Stat(os_, job_.sourcePath, true, &status).ok() || status.kind == EntryKind::Directory) {
    // An empty source (an unmounted drive looks like one, a freshly formatted
    // or checked one holds only lost+found, whatever fsck put there) would
    // rotate good generations away for empty ones, or mirror emptiness over
    // the backup. Checked here rather than in the pre-check, which the
    // restore shares: an emptied source is just what a restore is for.
    bool others = false;
    std::vector<DirEntry> none;
    const Status code = ListDir(os_, job_.sourcePath, true, &none, [&](std::string_view name) {
      others = others || name != kLostAndFound;
      return false;
    });
    const std::string wrong = LoadString(IDS_PARAM_ERROR) + kSourceField;
    if (!code.ok()) return Refuse(wrong + os_.ErrorText(code));
    if (!others) return Refuse(wrong + kEmptySource);
    // So is one the exclude patterns leave no file of ("*", "/**").
    std::unique_ptr<OsDir> source;
    if (!excludes_.empty() && os_.OpenDir(job_.sourcePath, /*followLink=*/true, &source).ok() &&
        ExcludesLeaveNothing(*source, excludes_, kLostAndFound)) {
      std::string patterns;
      for (const std::string& pattern : excludes_.Patterns()) {
        patterns += (patterns.empty() ? "" : " | ") + pattern;
      }
      return Refuse(wrong + kNothingLeft + patterns);
    }
    // No deletion of this run may take the source, however it is reached
    // (a bind mount of it inside the backup directory).
    guarded_ = status;
    return body(true);
  }
  return body(false);
}

int BackupRun::CheckParameters() {
  job_.sourcePath = os_.Paths().WithoutTrailingSeparators(job_.sourcePath);
  job_.backupDir = os_.Paths().WithoutTrailingSeparators(job_.backupDir);
  // "." and ".." name no directory by themselves: every source written so
  // would share one set of generations ("._1"). The directory's real name
  // is taken instead.
  const std::string name = NameOf(job_.sourcePath);
  if (name == "." || name == "..") {
    std::string resolved;
    if (os_.RealPath(job_.sourcePath, &resolved).ok()) job_.sourcePath = resolved;
  }
  const std::string refusal = JobRefusal();
  return refusal.empty() ? 1 : Refuse(refusal);
}

int BackupRun::CompileExcludes() {
  excludes_ = ExcludeSet();
  if (job_.excludePatterns.empty()) return 1;
  std::string error;
  std::optional<ExcludeSet> compiled = ExcludeSet::Parse(job_.excludePatterns, SourceFoldsCase(), &error);
  // The message names the pattern itself: no path is about it.
  if (!compiled) return reporter_.Refuse(LoadString(IDS_PARAM_ERROR) + "\n" + error, std::string());
  excludes_ = std::move(*compiled);
  reporter_.Note(excludes_.LogLine());
  return 1;
}

bool BackupRun::SourceFoldsCase() {
  std::unique_ptr<OsDir> source;
  if (!os_.OpenDir(job_.sourcePath, /*followLink=*/true, &source).ok()) return false;
  // Only the first name with a letter is kept: it is the one FoldsCase asks about.
  bool found = false;
  std::vector<DirEntry> entries;
  (void)source->List(&entries, [&](std::string_view name) {
    if (found || SwapAsciiCase(name) == name) return false;
    return found = true;
  });
  return FoldsCase(entries, [&](const std::string& name, FileStatus* status) { return source->StatAt(name, status); });
}

void BackupRun::ProbeMedium() {
  if (backupDir_ == nullptr) return;
  // Where nothing can be tried there (a directory this user may only read),
  // the kind of file system answers alone.
  MediumTraits traits;
  (void)backupDir_->ProbeMedium(&traits);
  medium_ = traits;
  const std::vector<MediumLimit> limits = MediumLimits(traits);
  if (limits.empty()) return;
  reporter_.Note("Backup Medium : " + DescribeLimits(limits, Language::kEnglish) +
                 (traits.kind.empty() ? "" : " (" + traits.kind + ")"));
}

void BackupRun::NoteExposed(const MirrorTotals& totals) {
  exposed_ = totals.exposed;
  if (exposed_ == 0 || !medium_) return;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", medium_->shownPermissions & 07777);
  reporter_.Note("Privacy Warning : " + std::to_string(exposed_) +
                 " file(s) private in the source are readable by anyone who can read the backup medium"
                 " (it gives every file mode " +
                 mode + ") : " + job_.backupDir);
}

Status BackupRun::LockBackupDir(Os& os, const std::string& backupDir, LockUse use, int waitMs,
                                std::unique_ptr<OsDir>* lock) {
  if (!os.OpenDir(backupDir, /*followLink=*/true, lock).ok()) {
    lock->reset();
    return Status();
  }
  for (int waited = 0;; waited += kLockRetryMs) {
    const Status code = use == LockUse::kTest ? (*lock)->TestLock(kLockFileName) : (*lock)->Lock(kLockFileName);
    if (code.ok()) return code;
    // A restore by a user who may only read the backup directory changes
    // nothing there, and cannot get in a backup's way: it goes on without
    // the lock. Every other run that cannot take it stops: two runs of one
    // job side by side would work on one working directory.
    if (use == LockUse::kRead && (code.Is(ErrorKind::kAccessDenied) || code.Is(ErrorKind::kReadOnlyFileSystem))) {
      return Status();
    }
    if (!code.Is(ErrorKind::kLocked) || waited >= waitMs) {
      lock->reset();
      return code;
    }
    os.SleepMs(kLockRetryMs);
  }
}

std::string BackupRun::LockRefusal(Os& os, const std::string& backupDir, const Status& code) {
  if (code.Is(ErrorKind::kLocked)) return BusyText(backupDir);
  if (!code.Is(ErrorKind::kExists)) return kLockUnavailable + ("\n" + os.ErrorText(code));
  // Said for what it is: it is not the program's to remove.
  const std::string path = os.Paths().Join(backupDir, kLockFileName);
  FileStatus status;
  const char* what = kTakenByOther;
  if (Stat(os, path, /*followLink=*/false, &status).ok()) {
    if (status.kind == EntryKind::Directory) {
      what = kTakenByDirectory;
    } else if (status.owner != os.UserId()) {
      what = kTakenByOtherUser;
    }
  }
  return kLockNameTaken + ("\n" + path + "\n" + what + kRemoveIt);
}

std::string BackupRun::BusyText(const std::string& backupDir) {
  return LoadString(IDS_BACKUP_DIR_BUSY) + "\n" + backupDir;
}

int BackupRun::Refuse(const std::string& message) {
  // The refusal names the field, not the path: the backup directory's for
  // what is about it (its field, the lock, its free space), else the source's.
  const bool aboutBackupDir = message.find(kBackupField) != std::string::npos ||
                              message.rfind(LoadString(IDS_BACKUP_DIR_BUSY), 0) == 0 ||
                              message.rfind(LoadString(IDS_NO_ROOM), 0) == 0;
  return reporter_.Refuse(message, aboutBackupDir ? job_.backupDir : job_.sourcePath);
}

std::string BackupRun::JobRefusal() {
  const std::string wrong = LoadString(IDS_PARAM_ERROR);

  Status code = os_.Access(job_.sourcePath, 4);
  if (!code.ok()) return wrong + kSourceField + os_.ErrorText(code);
  // A backup directory that refuses the test with "access denied" is let
  // through: the test can be wrong where the rights are not the mode bits.
  code = os_.Access(job_.backupDir, 2);
  if (!code.ok() && !code.Is(ErrorKind::kAccessDenied)) return wrong + kBackupField + os_.ErrorText(code);
  // The root has no name to give its generations, and every directory of the
  // backup directory would look like one of them.
  if (NameOf(job_.sourcePath).empty()) return wrong + kSourceField + kRootSource;

  FileStatus sourceStatus;
  const bool sourceIsDirectory =
      !Stat(os_, job_.sourcePath, true, &sourceStatus).ok() || sourceStatus.kind == EntryKind::Directory;
  if (!sourceIsDirectory && job_.generationCount <= 0) return wrong + kCountField;

  // Anything but a directory here would make the generation scan fail, and
  // the run would end without a word.
  FileStatus backupStatus;
  if (Stat(os_, job_.backupDir, true, &backupStatus).ok() && backupStatus.kind != EntryKind::Directory) {
    return wrong + kBackupField + os_.ErrorText(os_.Error(ErrorKind::kNotDirectory));
  }
  if (!sourceIsDirectory) return std::string();

  // Directories compared by identity: a bind mount or a link reaching one of
  // them another way is the same directory. The mirror would find its own
  // copies in the source and copy them again, deeper each time.
  if (IsSameOrInside(os_, job_.backupDir, job_.sourcePath)) return wrong + kBackupField + kBackupInSource;
  std::string generation;
  if (DepthInside(os_, job_.sourcePath, job_.backupDir, &generation) >= 0) {
    // Mirroring straight into the backup directory deletes what the source
    // does not hold, the source itself among it.
    if (job_.generationCount <= 1) return wrong + kCountField + "\n" + kSourceInMirror;
    // Recycling or deleting that generation would delete the source.
    if (veldar::IsDirGenerationName(generation, NameOf(job_.sourcePath))) {
      return wrong + kSourceField + kSourceInOwnGeneration;
    }
  }
  return std::string();
}

std::optional<Rotation> BackupRun::FileRotation() {
  if (!FindFiles()) return std::nullopt;
  // The pre-check refuses such a count: there is no generation to keep.
  if (job_.generationCount < 1) return std::nullopt;
  firstRun_ = generations_.empty();

  const std::string freeName =
      static_cast<int>(generations_.size()) < job_.generationCount
          ? Generations(os_, job_.backupDir, NameOf(job_.sourcePath), backupDir_).FreeFileName(generations_)
          : std::string();
  const std::optional<Rotation> rotation =
      PlanRotation(generations_, job_.generationCount, freeName, /*exchange=*/false);
  if (!rotation) {
    reporter_.Failure(NothingToReuseLine(job_.backupDir));
    reporter_.Show(NothingToReuseLine(job_.backupDir));
    return std::nullopt;
  }
  // Never the path an earlier run left here.
  targetPath_ = Join(job_.backupDir, rotation->name);
  return rotation;
}

int BackupRun::File() {
  const std::optional<Rotation> rotation = FileRotation();
  if (!rotation) return 0;
  // The surplus generations of a lowered count go first; the copy then
  // overwrites the oldest one kept.
  for (const CFileEntry& surplus : rotation->surplus) {
    const std::string path = Join(job_.backupDir, surplus.name);
    if (!files_.Delete(path) && !reporter_.noMessage()) {
      reporter_.Show("ERR : DELETE FILE " + path);
      return 0;
    }
    // Its manifest goes with it.
    if (backupDir_) RemoveSidecarOf(*backupDir_, surplus.name);
  }
  if (rotation->limitReached) reporter_.Note(LimitReachedLine(targetPath_));

  if (backupDir_) RemoveLeftovers(*backupDir_, nullptr);
  // The manifest of the generation the copy replaces is set aside (on its
  // temporary name) before the copy takes its name: a break in between
  // leaves the new copy without a manifest, never with the old one's. A
  // copy that does not happen puts it back.
  const std::string asideName = StagedSidecarName(rotation->name);
  bool aside = false;
  if (backupDir_) {
    (void)RemoveSidecarOf(*backupDir_, rotation->name, /*temporaryOnly=*/true);
    const Status code = backupDir_->PlaceCopy(SidecarName(rotation->name), asideName, CopyMode::Replace);
    aside = code.ok();
    if (!code.ok() && !code.Is(ErrorKind::kNotFound)) {
      reporter_.Failure("Manifest Delete Failed : ", Join(job_.backupDir, SidecarName(rotation->name)), code);
    }
    if (aside) (void)Flush(*backupDir_, /*fileSystem=*/false);
  }
  // A source that is a link is backed up by what it points to: a copy of the
  // link would be no copy of the data.
  std::string copyFrom = job_.sourcePath;
  FileStatus own;
  if (Stat(os_, job_.sourcePath, false, &own).ok() && own.kind == EntryKind::Symlink) {
    std::string resolved;
    if (os_.RealPath(job_.sourcePath, &resolved).ok()) copyFrom = resolved;
  }

  if (reporter_.control().progress) {
    FileStatus status;
    if (Stat(os_, copyFrom, true, &status).ok()) reporter_.control().progress->AddPlanned(1, status.size);
  }
  // A file the medium cannot hold is never tried: it would fail part way,
  // with a code that says nothing of why.
  FileStatus size;
  int copied = 0;
  ChecksummingCopy checksum(reporter_.control().progress);
  if (medium_ && Stat(os_, copyFrom, true, &size).ok() && size.size > medium_->largestFile) {
    reporter_.LeaveOut("File Copy Failed : " + job_.sourcePath + " to " + targetPath_ + " : " +
                           Translate(Language::kEnglish, kSizeReason),
                       LeftOut{job_.sourcePath, kSizeReason, std::string()});
  } else {
    copied = files_.Copy(copyFrom, targetPath_, &checksum);
  }
  if (!copied && aside) (void)backupDir_->PlaceCopy(asideName, SidecarName(rotation->name), CopyMode::Replace);
  // Stopped at the user's request: the generation it was to replace is as
  // it was.
  if (!copied && reporter_.Cancelled()) return 0;
  if (!copied && !reporter_.noMessage()) {
    reporter_.Show("ERR: COPY FILE from " + job_.sourcePath + " to " + targetPath_);
    return 0;
  }

  // The times of the run make the copy the newest generation. A copy that did
  // not happen is not stamped: that would make an old generation, or nothing,
  // pass for the newest.
  if (!copied) {
    // The copy's own failure is counted already.
    reporter_.Consequence("Set Time Failed : " + targetPath_ + " : not copied");
  } else if (Status code = ChangeEntry(os_, targetPath_, {.times = os_.Now()}); !code.ok()) {
    reporter_.Failure("Set Time Failed : ", targetPath_, code);
  } else if (backupDir_) {
    RankNewest(*backupDir_, rotation->name);
    WriteFileManifest(*backupDir_, rotation->name, checksum);
  }
  // The copy was flushed before it got its name; the name, and the
  // deletions of surplus generations, once the directory is. A flush that
  // fails is a failure line of its own, counted: the copy stands.
  if (copied) (void)Flush(job_.backupDir, /*fileSystem=*/false);

  SaveLastPaths(services_.settings, job_.sourcePath, job_.backupDir);
  return 1;
}

int BackupRun::PreviewFile(const DryRunOutput& output) {
  using Action = DryRunItem::Action;
  const std::optional<Rotation> rotation = FileRotation();
  if (!rotation) return 0;
  FileStatus status;
  if (!Stat(os_, job_.sourcePath, true, &status).ok()) status.size = 0;
  planned_.filesToCopy = 1;
  planned_.bytesToCopy = planned_.diskBytes = status.size;
  // In the order of a directory's dry run: the copy, then the generations it replaces.
  output({Action::kInto, job_.backupDir, true});
  output({Action::kCopy, rotation->name, false, status.size});
  DescribeRotation(*rotation, job_.backupDir, /*directories=*/false, os_.Paths(), output);
  return 1;
}

int BackupRun::Dir() {
  // A mirror's backup directory holds the source's own entries: none of its
  // names is a generation's to give back.
  if (job_.generationCount <= 1) return FindDirs() ? MirrorIntoBackupDir() : 0;
  // A generation that an interrupted run had moved aside for its new copy
  // gets its name back first, so that the scan counts it.
  if (backupDir_) RecoverSwapped(*backupDir_, NameOf(job_.sourcePath));
  return WithGenerations([this](OsDir& backup) { return BuildGeneration(backup); });
}

int BackupRun::PreviewDir(const DryRunOutput& output) {
  if (job_.generationCount <= 1) return FindDirs() ? PreviewMirror(output) : 0;
  return WithGenerations([&](OsDir& backup) { return PreviewGeneration(backup, output); });
}

int BackupRun::WithGenerations(const std::function<int(OsDir& backup)>& body) {
  if (!FindDirs()) return 0;
  firstRun_ = generations_.empty();
  // The run's open backup directory; a caller outside a run has none yet.
  std::unique_ptr<OsDir> opened;
  OsDir* backup = backupDir_;
  if (backup == nullptr) {
    const std::string working = Join(job_.backupDir, ServiceName(NameOf(job_.sourcePath), kWorkingSuffix));
    if (Status code = os_.OpenDir(job_.backupDir, /*followLink=*/true, &opened); !code.ok()) {
      reporter_.Failure("Directory Create Failed : ", working, code, CodeSpacing::kTight);
      reporter_.Show("ERROR MKDIR " + working);
      return 0;
    }
    backup = opened.get();
  }
  return body(*backup);
}

std::optional<Rotation> BackupRun::GenerationRotation(OsDir& backup) {
  const int present = static_cast<int>(generations_.size());
  // A source that is one of its own generations (reached through a bind
  // mount, which the pre-check's look at the paths cannot see): recycling
  // that generation would empty the source.
  if (guarded_) {
    for (const CFileEntry& generation : generations_) {
      if (generation.status.SameEntryAs(*guarded_)) {
        (void)Refuse(LoadString(IDS_PARAM_ERROR) + kSourceField + kSourceInOwnGeneration);
        return std::nullopt;
      }
    }
  }
  // Where directories are built under their final names, a copy an
  // interrupted run began is carried on under its name.
  std::string freeName;
  if (NamesInPlace()) {
    for (const std::string& name : incomplete_) {
      std::unique_ptr<OsDir> begun;
      if (CarriedOnWorkingDir(backup, name, &begun)) {
        freeName = name;
        break;
      }
    }
  }
  if (freeName.empty() && (present < job_.generationCount || NamesInPlace())) {
    freeName = Generations(os_, job_.backupDir, NameOf(job_.sourcePath), &backup).FreeDirName(generations_);
  }
  // Every name taken (or the count reached): what is there is kept and the
  // oldest kept is recycled; never a mirror into the backup directory itself.
  const std::optional<Rotation> rotation =
      PlanRotation(generations_, job_.generationCount, freeName, !medium_ || medium_->exchange, NamesInPlace());
  if (!rotation) {
    reporter_.Failure(NothingToReuseLine(job_.backupDir));
    reporter_.Show(NothingToReuseLine(job_.backupDir));
    return std::nullopt;
  }
  if (rotation->limitReached) reporter_.Note(LimitReachedLine(Join(job_.backupDir, rotation->name)));
  return rotation;
}

std::string BackupRun::WorkingName() const { return ServiceName(NameOf(job_.sourcePath), kWorkingSuffix); }

int BackupRun::PlanGeneration(const std::string& workingName, std::unique_ptr<OsDir> workingDir, bool created,
                              MirrorPlan* plan) {
  const std::string working = Join(job_.backupDir, workingName);
  FileStatus workingStatus;
  if (Status code = workingDir ? workingDir->Stat(&workingStatus) : Status(); !code.ok()) {
    reporter_.ScanFailure(kTargetFirstError + Join(working, "*"));
    return 0;
  }
  if (workingDir && guarded_ && workingStatus.SameEntryAs(*guarded_)) {
    return Refuse(LoadString(IDS_PARAM_ERROR) + kSourceField + kSourceInOwnGeneration);
  }

  // The tree is looked at once: what the copy will hold, what it can share
  // with the newest generation, and what it needs of the disk.
  MirrorJob job;
  job.source = job_.sourcePath;
  job.target = working;
  job.targetIsNew = created;
  job.targetNotMade = workingDir == nullptr;
  job.writes = MirrorWrites::kUnflushed;
  job.exact = true;
  if (const CFileEntry* newest = FindGeneration(generations_, 0)) {
    job.reference = Join(job_.backupDir, newest->name);
    job.sharing = job_.linkUnchanged ? MirrorSharing::kLinkOrClone : MirrorSharing::kCloneOrCopy;
  }
  // What cannot be read is left out of the first generation, and taken from
  // the newest in later ones: one such entry must never keep every backup
  // from being made.
  job.keepUnreadable = reporter_.noMessage() != 0;
  plan->target = std::move(workingDir);
  plan->targetStatus = workingStatus;
  // The working directory is the program's own, whatever it holds: a copy
  // carried on from an interrupted run must lose what the source has changed
  // or deleted since, so it is mirrored with force and deletion whatever the
  // run's flags say.
  job.force = job.deleteVanished = true;
  job.compareTimes = job_.noTime == 0;
  job.excludes = &excludes_;
  job.excludedStay = false;
  job.medium = medium_;
  if (!MirrorPlanner(os_, reporter_).Plan(job, plan)) return 0;
  NoteExposed(plan->totals);
  return 1;
}

int BackupRun::PreviewGeneration(OsDir& backup, const DryRunOutput& output) {
  const std::optional<Rotation> rotation = GenerationRotation(backup);
  if (!rotation) return 0;
  // The working directory the run would carry on, if there is one; else the
  // copy is planned against one still to be made.
  const std::string workingName = rotation->naming == Rotation::Naming::kInPlace ? rotation->name : WorkingName();
  std::unique_ptr<OsDir> workingDir;
  const bool created = !CarriedOnWorkingDir(backup, workingName, &workingDir);
  MirrorPlan plan(os_);
  if (!PlanGeneration(workingName, std::move(workingDir), created, &plan) || !CheckRoom(plan.totals)) return 0;
  planned_ = plan.totals;
  output(DryRunItem{DryRunItem::Action::kInto, Join(job_.backupDir, rotation->name), true, 0});
  if (!DescribePlan(plan, os_.Paths().Separator(), reporter_, output)) return 0;
  DescribeRotation(*rotation, job_.backupDir, /*directories=*/true, os_.Paths(), output);
  return 1;
}

int BackupRun::BuildGeneration(OsDir& backup) {
  const std::optional<Rotation> rotation = GenerationRotation(backup);
  if (!rotation) return 0;
  // The new generation is built under a working name no scan takes for a
  // generation, and replaces the old ones only once it is complete: a run
  // that fails or is cut off leaves every generation as it was, and its
  // working directory for the next run to carry on from. Where no directory
  // is renamed, it is built under its final name instead, marked as no
  // generation until it is complete.
  const bool inPlace = rotation->naming == Rotation::Naming::kInPlace;
  const std::string stem = NameOf(job_.sourcePath);
  RemoveLeftovers(backup, &stem);
  const std::string workingName = inPlace ? rotation->name : WorkingName();
  const std::string working = Join(job_.backupDir, workingName);
  ClearIncomplete(backup, inPlace ? workingName : std::string());
  // Where no name was free, the generation whose name the copy takes goes
  // first.
  if (inPlace && rotation->replaced &&
      !Retire(backup, *rotation->replaced, "ERROR AT DELETE FILES " + working, "ERROR AT DELETE FILE " + working)) {
    return 0;
  }
  if (inPlace && !SetIncomplete(backup, workingName, true)) {
    reporter_.Show("ERROR MKDIR " + working);
    return 0;
  }
  std::unique_ptr<OsDir> workingDir;
  bool created = false;
  if (!OpenWorkingDir(backup, workingName, &workingDir, &created)) return 0;
  const int failuresBefore = reporter_.failures();
  const int unreadableBefore = reporter_.unreadable();
  const int leftOutBefore = reporter_.leftOutCount();
  // Failures other than the sources that could not be read (their last good
  // copy stands in) and those the medium cannot hold (left out, said).
  auto complete = [&] {
    return reporter_.failures() ==
           failuresBefore + (reporter_.unreadable() - unreadableBefore) + (reporter_.leftOutCount() - leftOutBefore);
  };
  MirrorPlan plan(os_);
  if (!PlanGeneration(workingName, std::move(workingDir), created, &plan)) return 0;
  const FileStatus workingStatus = plan.targetStatus;
  if (!CheckRoom(plan.totals)) {
    // Refused before anything was written: the empty directory made for the
    // copy goes again.
    if (created && backup.RemoveDir(workingName).ok() && inPlace) (void)SetIncomplete(backup, workingName, false);
    return 0;
  }
  // The newest generation's manifest gives the entries of the files the copy
  // shares with it, which are not read again.
  Manifest earlier;
  bool haveEarlier = false;
  if (const CFileEntry* newest = FindGeneration(generations_, 0)) {
    std::unique_ptr<OsDir> newestDir;
    std::string unused;
    haveEarlier = backup.OpenDir(newest->name, &newestDir).ok() &&
                  ReadManifest(*newestDir, &earlier, &unused) == ManifestState::kRead;
  }
  MirrorApplier applier(os_, reporter_, guarded_);
  CopiedChecksums copied;
  applier.ChecksumCopies(&copied);
  if (!applier.Apply(plan)) return 0;
  // The manifest goes into the copy before the copy is flushed and named:
  // the generation never stands without it, nor with one that is not its
  // own.
  if (complete()) {
    std::unique_ptr<OsDir> top;
    if (Status code = backup.OpenDir(workingName, &top); !code.ok()) {
      reporter_.Failure("Manifest Write Failed : ", working, code);
    } else {
      (void)WriteCopyManifest(*top, working, copied, haveEarlier ? &earlier : nullptr);
    }
  }
  // Written without a flush per file: the whole copy is made durable at
  // once, before any old generation goes and before it takes a generation's
  // name. A flush that fails is a failure like any other: the copy stays
  // under its working name for the next run.
  if (complete()) {
    FlushingScope flushing(reporter_.control().progress);
    if (Status code = backup.SyncFileSystem(); !code.ok()) {
      reporter_.Failure("Flush Failed : ", working, code);
    }
  }
  // A mirror that went on past failures (the no-message flag, or a
  // permission that could not be set) has worked through the tree, but its
  // copy lacks what failed: a disk that filled up half way would otherwise
  // replace a good generation with a broken copy that looks complete. It
  // stays under the working name for the next run. Source files that could
  // not be read are the exception: the copy holds their last good copy
  // instead, and is complete in every other way; so are those the medium
  // cannot hold, which no run could copy.
  if (!complete()) {
    reporter_.Consequence("Copy incomplete, no generation replaced : " + working);
    reporter_.Show("Copy incomplete, no generation replaced : " + working);
    return 0;
  }

  // Complete: it takes its name, a free one or the recycled generation's;
  // or, built under its name, it loses its mark.
  if (inPlace) {
    RankNewest(backup, workingName);
    if (!SetIncomplete(backup, workingName, false)) {
      reporter_.Show("ERROR MKDIR " + working);
      return 0;
    }
  } else if (!NameGeneration(backup, workingName, workingStatus, *rotation)) {
    return 0;
  }
  // Only then do the surplus generations of a lowered count go, oldest last
  // (unless a stop was asked for meanwhile: the next run deletes them).
  for (const CFileEntry& surplus : rotation->surplus) {
    if (stoppedAfterCopy_) break;
    const std::string path = Join(job_.backupDir, surplus.name);
    const bool retired = !reporter_.Cancelled() &&
                         Retire(backup, surplus, "ERROR AT DELETE FILES " + path, "ERROR AT DELETE FILE " + path);
    if (!retired && reporter_.Cancelled()) {
      stoppedAfterCopy_ = true;
    } else if (!retired && !reporter_.noMessage()) {
      return 0;
    }
  }
  // The old generations' going survives a power cut too.
  if (Status code = backup.Sync(); !code.ok()) {
    reporter_.Failure("Flush Failed : ", job_.backupDir, code);
  }
  SaveLastPaths(services_.settings, job_.sourcePath, job_.backupDir);
  return 1;
}

int BackupRun::OpenWorkingDir(OsDir& backup, const std::string& name, std::unique_ptr<OsDir>* dir, bool* created) {
  const std::string path = Join(job_.backupDir, name);
  *created = false;
  for (int attempt = 0; attempt < 3; ++attempt) {
    FileStatus status;
    Status code = backup.StatAt(name, &status);
    if (code.ok() && status.kind == EntryKind::Directory) {
      code = backup.OpenDir(name, dir);
      if (code.ok() && CarriesOn(backup, **dir, status, &code)) return 1;
      dir->reset();
      if (!code.ok() && !code.Is(ErrorKind::kNotFound) && !code.Is(ErrorKind::kNotDirectory)) {
        reporter_.ScanFailure(kTargetFirstError + Join(path, "*"));
        return 0;
      }
      if (code.ok()) {
        const CFileEntry entry{name, 0, 0, true, -1, EntryKind::Directory, status};
        if (!OwnDeleter().Tree(backup, entry)) return 0;
      }
      continue;
    }
    if (code.ok()) {
      // A file or a link on the program's own name (never followed) is in
      // the way of every run, and goes.
      if (!files_.With(FilePolicy{true}).Delete(backup, name)) break;
      continue;
    }
    if (!code.Is(ErrorKind::kNotFound)) break;
    // Made inside the open backup directory, for its owner only until the
    // copy is complete and gets the source's permissions, and opened at once
    // without following a link: what is opened must be what was made.
    if (!files_.Create(backup, name)) break;
    FileStatus made;
    code = backup.OpenDir(name, dir);
    if (code.ok()) code = (*dir)->Stat(&made);
    // (Where the medium keeps no owners, what is made shows the mount's.)
    if (code.ok() && (MadeByUs(backup, made) || !MediumKeepsOwners())) {
      *created = true;
      return 1;
    }
    dir->reset();
  }
  reporter_.Show("ERROR MKDIR " + path);
  return 0;
}

bool BackupRun::MadeByUs(OsDir& backup, const FileStatus& entry) const {
  if (entry.owner == os_.UserId()) return true;
  // A medium that maps owners (FAT mounted for a desktop user, FUSE media)
  // gives everything on it the mount's user, the directory included; and
  // whoever owns the directory could replace what it holds anyway.
  FileStatus directory;
  return backup.Stat(&directory).ok() && entry.owner == directory.owner;
}

bool BackupRun::CarriesOn(OsDir& backup, OsDir& dir, const FileStatus& listed, Status* code) const {
  FileStatus opened;
  *code = dir.Stat(&opened);
  // Carried on only when it is what a run of ours began: made by this user,
  // after every generation there is. Anything else on the name (another
  // user's directory, an older copy) is in the way, and goes.
  const CFileEntry* newest = FindGeneration(generations_, 0);
  return code->ok() && opened.SameEntryAs(listed) && (MadeByUs(backup, opened) || !MediumKeepsOwners()) &&
         (newest == nullptr ||
          std::make_pair(opened.birthSec, opened.birthNsec) > std::make_pair(newest->time, newest->timeNsec));
}

bool BackupRun::CarriedOnWorkingDir(OsDir& backup, const std::string& name, std::unique_ptr<OsDir>* dir) const {
  FileStatus status;
  Status code;
  if (backup.StatAt(name, &status).ok() && status.kind == EntryKind::Directory && backup.OpenDir(name, dir).ok() &&
      CarriesOn(backup, **dir, status, &code)) {
    return true;
  }
  dir->reset();
  return false;
}

int BackupRun::NameGeneration(OsDir& backup, const std::string& workingName, const FileStatus& workingStatus,
                              const Rotation& rotation) {
  const std::string& finalName = rotation.name;
  const std::string target = Join(job_.backupDir, finalName);
  auto renameFailed = [&](const std::string& from, const std::string& to, const Status& code) {
    reporter_.Failure(
        "rename directory failed : ", "from " + Join(job_.backupDir, from) + " TO " + Join(job_.backupDir, to), code);
    reporter_.Show("ERROR MKDIR " + target);
    return 0;
  };
  // Whether `name` is still the entry `expected` describes.
  auto isStill = [&](const std::string& name, const FileStatus& expected) {
    FileStatus now;
    return backup.StatAt(name, &now).ok() && now.kind == EntryKind::Directory && now.SameEntryAs(expected);
  };

  // The working copy as this run renames it (see Rename).
  FileStatus working = workingStatus;
  if (!rotation.replaced) {
    // A free name. Renamed, not copied: the directory keeps the creation
    // time it got when this run (or the interrupted one it carries on)
    // began, newer than every generation there is.
    if (!isStill(workingName, working)) {
      return renameFailed(workingName, finalName, os_.Error(ErrorKind::kChanged));
    }
    if (Status code = Rename(backup, workingName, finalName, &working); !code.ok()) {
      return renameFailed(workingName, finalName, code);
    }
    if (!isStill(finalName, working)) {
      return renameFailed(workingName, finalName, os_.Error(ErrorKind::kChanged));
    }
    RankNewest(backup, finalName);
    if (Status code = backup.Sync(); !code.ok()) {
      reporter_.Failure("Flush Failed : ", job_.backupDir, code);
    }
    return 1;
  }

  const CFileEntry& recycled = *rotation.replaced;
  // The recycled generation must still be the one the scan listed, and never
  // the source (reached through a bind mount).
  if (!isStill(finalName, recycled.status) || (guarded_ && recycled.status.SameEntryAs(*guarded_))) {
    return renameFailed(workingName, finalName, os_.Error(ErrorKind::kChanged));
  }
  std::string oldName;  // where the old copy ends up
  FileStatus oldStatus = recycled.status;
  // No swap in one step here (Windows, some file systems): the old copy is
  // moved aside under a name that a later run gives back to it if the new
  // one never got there, then the new one takes its name. `from` is where
  // the new copy is.
  auto swapIn = [&](const std::string& from) {
    if (Status code = MoveAside(backup, finalName, finalName, kSwapSuffix, &oldName, &oldStatus); !code.ok()) {
      return renameFailed(finalName, oldName, code);
    }
    if (!Flush(backup, /*fileSystem=*/false)) {
      reporter_.Show("ERROR MKDIR " + target);
      return 0;
    }
    if (Status code = Rename(backup, from, finalName, &working); !code.ok()) {
      return renameFailed(from, finalName, code);
    }
    return 1;
  };
  if (rotation.naming == Rotation::Naming::kSwapName) {
    if (!isStill(workingName, working)) {
      return renameFailed(workingName, finalName, os_.Error(ErrorKind::kChanged));
    }
    if (!swapIn(workingName)) return 0;
  } else {
    // The new copy goes to the retired name first (a cut here costs this
    // run's copy, never a generation), and is then swapped with the old one
    // in one step: there is no moment at which the generation's name is
    // missing.
    std::string retiredName;
    if (Status code = MoveAside(backup, workingName, finalName, kRetiredSuffix, &retiredName, &working); !code.ok()) {
      return renameFailed(workingName, retiredName, code);
    }
    // Until the swap, a failure gives the copy its working name back, for the
    // next run to carry on from.
    auto giveBack = [&] { (void)Rename(backup, retiredName, workingName); };
    if (!isStill(retiredName, working)) {
      renameFailed(workingName, retiredName, os_.Error(ErrorKind::kChanged));
      giveBack();
      return 0;
    }
    if (!Flush(backup, /*fileSystem=*/false)) {
      reporter_.Show("ERROR MKDIR " + target);
      giveBack();
      return 0;
    }
    Status code = backup.Exchange(retiredName, finalName);
    oldName = retiredName;
    if (code.Is(ErrorKind::kUnsupported)) {
      // The probe found a swap in one step, the call does not: done the
      // other way, from the working name.
      if (code = Rename(backup, retiredName, workingName, &working); !code.ok()) {
        return renameFailed(retiredName, workingName, code);
      }
      if (!swapIn(workingName)) return 0;
    } else if (!code.ok()) {
      renameFailed(retiredName, finalName, code);
      giveBack();
      return 0;
    } else {
      reporter_.Done("rename directory : from " + Join(job_.backupDir, retiredName) + " TO " + target);
    }
  }
  RankNewest(backup, finalName);
  // The new name survives a power cut before any of the old copy goes.
  if (!Flush(backup, /*fileSystem=*/false)) {
    reporter_.Show("ERROR MKDIR " + target);
    return 0;
  }
  if (!isStill(finalName, working)) {
    return renameFailed(oldName, finalName, os_.Error(ErrorKind::kChanged));
  }
  // The old copy now lies under the retired or swap name. A stop asked for
  // while it is being deleted ends the run there: the new generation is
  // complete, and the next run deletes the rest.
  CFileEntry old = recycled;
  old.name = oldName;
  old.status = oldStatus;
  bool removeFailed = false;
  if (!TreeDeleter(files_, guarded_).Tree(backup, old, &removeFailed)) {
    if (reporter_.Cancelled()) {
      stoppedAfterCopy_ = true;
      return 1;
    }
    reporter_.Show(removeFailed ? "ERROR AT DELETE FILE IN DELETE!" : "ERROR AT DELETE FILES IN DELETE!");
    return reporter_.noMessage() ? 1 : 0;
  }
  return 1;
}

void BackupRun::RankNewest(OsDir& backup, const std::string& name) {
  FileStatus status;
  Status code = backup.StatAt(name, &status);
  if (code.ok()) {
    // Past every other's age and its directory's own time, which ranks
    // generations of the same age (manifests written within one tick).
    auto latest = [](const CFileEntry& g) {
      return std::max(std::make_pair(g.time, g.timeNsec), std::make_pair(g.status.birthSec, g.status.birthNsec));
    };
    const auto age = std::make_pair(status.birthSec, status.birthNsec);
    const bool newest = std::all_of(generations_.begin(), generations_.end(),
                                    [&](const CFileEntry& g) { return g.name == name || age > latest(g); });
    if (newest) return;
    // Whole seconds, at least one tick of the medium past every other.
    constexpr std::int64_t kSecond = 1'000'000'000;
    const std::int64_t step = std::max<std::int64_t>(1, (backup.TimeResolutionNs() + kSecond - 1) / kSecond);
    std::int64_t stamp = os_.Now();
    for (const CFileEntry& g : generations_) {
      if (g.name != name) stamp = std::max(stamp, latest(g).first + step);
    }
    code = backup.ChangeEntry(name, {.times = stamp});
  }
  if (!code.ok()) reporter_.Failure("Set Time Failed : ", Join(job_.backupDir, name), code);
}

void BackupRun::WriteFileManifest(OsDir& backup, const std::string& name, const ChecksummingCopy& checksum) {
  FileStatus status;
  Status code = backup.StatAt(name, &status);
  ManifestEntry entry;
  if (code.ok()) {
    entry.size = status.size;
    entry.mtimeSec = status.mtimeSec;
    entry.mtimeNsec = status.mtimeNsec;
    if (const std::optional<Checksum> sum = checksum.Result(status.size)) {
      entry.checksum = *sum;
    } else {
      std::uint64_t read = 0;
      code = ChecksumFile(os_, backup, name, &entry.checksum, &read);
      if (code.ok() && read != status.size) code = os_.Error(ErrorKind::kChanged);
    }
  }
  if (code.ok()) {
    Manifest manifest;
    manifest.Set(name, entry);
    code = StageSidecar(backup, name, manifest);
  }
  if (!code.ok()) {
    reporter_.Failure("Manifest Write Failed : ", Join(job_.backupDir, name), code);
    return;
  }
  // The manifest, and the copy's time it holds, are on the disk before it
  // takes its name: a power cut never leaves a manifest cut short, or one
  // of a time the generation lost.
  if (!Flush(backup, /*fileSystem=*/true)) {
    (void)backup.DeleteFile(StagedSidecarName(name));
    return;
  }
  if (Status placed = PlaceSidecar(backup, name); !placed.ok()) {
    reporter_.Failure("Manifest Write Failed : ", Join(job_.backupDir, name), placed);
  }
}

bool BackupRun::RemoveSidecarOf(OsDir& backup, const std::string& name, bool temporaryOnly) {
  bool removed = false;
  const Status code =
      temporaryOnly ? backup.DeleteFile(StagedSidecarName(name)) : RemoveSidecar(backup, name, &removed);
  if (!code.ok() && !code.Is(ErrorKind::kNotFound)) {
    reporter_.Failure("Manifest Delete Failed : ", Join(job_.backupDir, SidecarName(name)), code);
  }
  return removed;
}

Status BackupRun::Rename(OsDir& backup, const std::string& from, const std::string& to, FileStatus* identity) {
  Status code = backup.MoveNoReplace(from, backup, to);
  // A medium without a rename that refuses to replace (FUSE, network
  // clients): the name is looked up first, which is as safe here, since the
  // run's lock keeps every other run of ours off the backup directory's
  // names.
  const bool lookedUp = code.Is(ErrorKind::kUnsupported);
  if (lookedUp) code = backup.MoveIfFree(from, backup, to);
  if (!code.ok()) return code;
  reporter_.Done("rename directory : from " + Join(job_.backupDir, from) + " TO " + Join(job_.backupDir, to));
  // Some of those media number a directory by its path (rclone): the one
  // this run just renamed is known by what its new name reaches from now on.
  FileStatus now;
  if (lookedUp && identity != nullptr && backup.StatAt(to, &now).ok() && now.kind == EntryKind::Directory &&
      now.device == identity->device) {
    *identity = now;
  }
  return code;
}

Status BackupRun::MoveAside(OsDir& backup, const std::string& from, const std::string& generation, const char* suffix,
                            std::string* to, FileStatus* identity) {
  Status code;
  for (int variant = 1; variant <= kServiceNameVariants; ++variant) {
    *to = ServiceNameVariant(generation, suffix, variant);
    code = Rename(backup, from, *to, identity);
    if (!code.Is(ErrorKind::kExists)) return code;
    // Left by someone this run may not overrule (another user's entry in a
    // shared directory): the next spelling of the name is used instead.
    reporter_.Note("Name In Use, Another Taken : " + Join(job_.backupDir, *to));
  }
  return code;
}

MirrorJob BackupRun::MirrorJobHere(bool missing) {
  // The source's first run here: the backup directory holds nothing but
  // the program's own names. One such name answers it: only that one costs
  // a status call.
  bool other = false;
  std::vector<DirEntry> none;
  firstRun_ = missing || (backupDir_ &&
                          backupDir_
                              ->List(&none,
                                     [&](std::string_view name) {
                                       other = other || (!IsOwnTopName(name) && TemporaryWriter(name) == 0);
                                       return false;
                                     })
                              .ok() &&
                          !other);
  MirrorJob job = MirrorJobOf(job_, job_.sourcePath, job_.backupDir);
  // Each copy keeps its temporary name until it is on the disk, but the
  // flushes are made a batch of copies at a time.
  job.writes = MirrorWrites::kBatched;
  job.medium = medium_;
  // The run's lock file lies among the copies: it is the program's own.
  job.ownName = kLockFileName;
  // An excluded entry's earlier copy stays among the others.
  job.excludes = &excludes_;
  // So does the copy of a directory that cannot be read.
  job.keepUnreadable = reporter_.noMessage() != 0;
  return job;
}

int BackupRun::MirrorIntoBackupDir() {
  // The backup directory is the user's and may be reached through a link.
  FileStatus status;
  const bool missing = !Stat(os_, job_.backupDir, true, &status).ok();
  if (missing && !files_.Create(job_.backupDir) && !reporter_.noMessage()) {
    reporter_.Show("ERROR MKDIR " + job_.backupDir);
    return 0;
  }
  MirrorPlan plan(os_);
  if (!MirrorPlanner(os_, reporter_).Plan(MirrorJobHere(missing), &plan)) return 0;
  NoteExposed(plan.totals);
  // The mirror changes in place: its manifest goes before anything changes
  // (kept in memory, for the files that stay as they were), so that a run cut
  // off half way leaves none rather than one its files no longer match.
  std::unique_ptr<OsDir> top;
  Manifest earlier;
  bool haveEarlier = false;
  if (Status code = os_.OpenDir(job_.backupDir, /*followLink=*/true, &top); !code.ok()) {
    reporter_.Failure("Manifest Write Failed : ", job_.backupDir, code);
    return 0;
  }
  // Where nothing changes, the manifest the last run left still describes
  // every file (a run that changes the mirror removes it first and writes it
  // last): it is kept without being read (at 200,000 files, 13 MB and a
  // tenth of such a run's time).
  bool newManifest = plan.ChangesTarget();
  if (!newManifest) {
    FileStatus kept;
    newManifest = !top->StatAt(kManifestName, &kept).ok() || kept.kind != EntryKind::File;
  }
  if (newManifest) {
    std::string unused;
    haveEarlier = ReadManifest(*top, &earlier, &unused) == ManifestState::kRead;
    if (Status code = top->DeleteFile(kManifestName); !code.ok() && !code.Is(ErrorKind::kNotFound)) {
      reporter_.Failure("Manifest Write Failed : ", job_.backupDir, code);
    }
  }
  MirrorApplier applier(os_, reporter_, guarded_);
  CopiedChecksums copied;
  applier.ChecksumCopies(&copied);
  if (!applier.Apply(plan)) return 0;
  // A failure is a failure line, counted; the copy stands.
  if (newManifest) {
    (void)WriteCopyManifest(*top, job_.backupDir, copied, haveEarlier ? &earlier : nullptr, /*durable=*/true);
  }
  // The names the last batches gave, and the deletions, survive a power cut
  // once the run says it is done. A run that changed nothing (its manifest
  // found as it was) has nothing to flush (and a flush would write out whatever else the disk holds). A
  // flush that fails is a failure line of its own, counted: the copy stands.
  if (newManifest) (void)Flush(job_.backupDir, /*fileSystem=*/true);
  SaveLastPaths(services_.settings, job_.sourcePath, job_.backupDir);
  return 1;
}

int BackupRun::PreviewMirror(const DryRunOutput& output) {
  FileStatus status;
  const bool missing = !Stat(os_, job_.backupDir, true, &status).ok();
  MirrorJob job = MirrorJobHere(missing);
  job.targetIsNew = job.targetNotMade = missing;
  MirrorPlan plan(os_);
  if (!MirrorPlanner(os_, reporter_).Plan(job, &plan)) return 0;
  NoteExposed(plan.totals);
  planned_ = plan.totals;
  output(DryRunItem{DryRunItem::Action::kInto, job_.backupDir, true, 0});
  return DescribePlan(plan, os_.Paths().Separator(), reporter_, output);
}

int BackupRun::WriteCopyManifest(OsDir& top, const std::string& path, const CopiedChecksums& copied,
                                 const Manifest* earlier, bool durable) {
  Manifest manifest;
  ManifestCounts counts;
  Status code = BuildManifest(os_, top, copied, earlier, &manifest, &counts);
  if (code.ok()) code = WriteManifest(top, manifest, durable);
  if (!code.ok()) {
    reporter_.Failure("Manifest Write Failed : ", os_.Paths().Join(path, kManifestName), code);
    return 0;
  }
  if (counts.failed > 0) {
    reporter_.Note("Manifest Lacks Unreadable Files : " + std::to_string(counts.failed) + " in " + path);
  }
  return 1;
}

int BackupRun::Flush(const std::string& directory, bool fileSystem) {
  std::unique_ptr<OsDir> opened;
  Status code = os_.OpenDir(directory, /*followLink=*/true, &opened);
  if (!code.ok()) {
    reporter_.Failure("Flush Failed : ", directory, code);
    return 0;
  }
  return Flush(*opened, fileSystem);
}

int BackupRun::Flush(OsDir& directory, bool fileSystem) {
  FlushingScope flushing(reporter_.control().progress);
  const Status code = fileSystem ? directory.SyncFileSystem() : directory.Sync();
  if (code.ok()) return 1;
  reporter_.Failure("Flush Failed : ", directory.Path(), code);
  return 0;
}

int BackupRun::Retire(OsDir& backup, const CFileEntry& generation, const std::string& contentsMessage,
                      const std::string& removeMessage) {
  // Moved out of the way under a name no scan takes for a generation before
  // it is emptied (or, where no directory is renamed, marked as no
  // generation under its own): a run cut off half way through the deletion
  // leaves no half-emptied directory that looks like a generation. It must
  // still be the directory the scan listed, and never the source.
  const std::string path = Join(job_.backupDir, generation.name);
  std::string trashName = ServiceName(generation.name, kRetiredSuffix);
  FileStatus now;
  Status code = backup.StatAt(generation.name, &now);
  if (code.ok() && (!now.SameEntryAs(generation.status) || (guarded_ && now.SameEntryAs(*guarded_)))) {
    code = os_.Error(ErrorKind::kChanged);
  }
  CFileEntry retired = generation;
  if (NamesInPlace()) {
    if (!code.ok()) {
      reporter_.Failure("Directory Delete Failed : ", path, code);
      reporter_.Show(contentsMessage);
      return 0;
    }
    // The mark reaches the disk before any of the contents go.
    if (!SetIncomplete(backup, generation.name, true)) {
      reporter_.Show(contentsMessage);
      return 0;
    }
  } else {
    FileStatus retiredStatus = generation.status;
    if (code.ok()) {
      code = MoveAside(backup, generation.name, generation.name, kRetiredSuffix, &trashName, &retiredStatus);
    }
    if (!code.ok()) {
      reporter_.Failure("rename directory failed : ", "from " + path + " TO " + Join(job_.backupDir, trashName), code);
      reporter_.Show(contentsMessage);
      return 0;
    }
    // The new name reaches the disk before any of the contents go: otherwise
    // a power cut could bring back the generation's name over a half-emptied
    // copy.
    if (!Flush(backup, /*fileSystem=*/false)) {
      reporter_.Show(contentsMessage);
      return 0;
    }
    retired.name = trashName;
    retired.status = retiredStatus;
  }
  bool removeFailed = false;
  if (!TreeDeleter(files_, guarded_).Tree(backup, retired, &removeFailed)) {
    if (!reporter_.Cancelled()) reporter_.Show(removeFailed ? removeMessage : contentsMessage);
    return 0;
  }
  return !NamesInPlace() || SetIncomplete(backup, generation.name, false) ? 1 : 0;
}

int BackupRun::SetIncomplete(OsDir& backup, const std::string& generation, bool incomplete) {
  const std::string mark = ServiceName(generation, kIncompleteSuffix);
  Status code;
  if (incomplete) {
    std::unique_ptr<OsFile> made;
    code = backup.CreateNewFile(mark, &made);
    if (code.Is(ErrorKind::kExists)) {
      // Left by an interrupted run of this user's: it stands.
      FileStatus status;
      if (backup.StatAt(mark, &status).ok() && status.kind == EntryKind::File && MadeByUs(backup, status)) {
        code = Status();
      }
    }
  } else {
    // What was done under the mark (a directory deleted, a copy's time
    // set) reaches the disk before the mark goes.
    if (!Flush(backup, /*fileSystem=*/false)) return 0;
    code = backup.DeleteFile(mark);
    if (code.Is(ErrorKind::kNotFound)) code = Status();
  }
  if (!code.ok()) {
    reporter_.Failure(incomplete ? "Mark Write Failed : " : "Mark Delete Failed : ", Join(job_.backupDir, mark), code);
    return 0;
  }
  return Flush(backup, /*fileSystem=*/false);
}

void BackupRun::ClearIncomplete(OsDir& backup, const std::string& keep) {
  // What failures leave is logged, and found again by the next run.
  // A copy begun under the working name where the medium was found to keep
  // renamed directories (a probe that once answered otherwise) is not
  // carried on by a run that builds in place.
  FileStatus working;
  if (!keep.empty() && backup.StatAt(WorkingName(), &working).ok() && working.kind == EntryKind::Directory) {
    (void)OwnDeleter().Tree(backup, CFileEntry{WorkingName(), 0, 0, true, -1, EntryKind::Directory, working});
  }
  for (const std::string& name : incomplete_) {
    if (name == keep) continue;
    FileStatus status;
    const Status code = backup.StatAt(name, &status);
    if (code.ok() && status.kind == EntryKind::Directory) {
      const CFileEntry entry{name, 0, 0, true, -1, EntryKind::Directory, status};
      if (!OwnDeleter().Tree(backup, entry)) continue;
    } else if (!code.ok() && !code.Is(ErrorKind::kNotFound)) {
      continue;
    }
    (void)SetIncomplete(backup, name, false);
  }
}

void BackupRun::RecoverSwapped(OsDir& backup, const std::string& stem) {
  std::vector<DirEntry> found;
  (void)backup.List(&found, [&](std::string_view name) { return ServiceNameSlot(name, stem, kSwapSuffix) != 0; });
  for (const DirEntry& entry : found) {
    if (entry.status.kind != EntryKind::Directory) continue;
    const std::string name = DirGenerationName(stem, ServiceNameSlot(entry.name, stem, kSwapSuffix));
    FileStatus status;
    const Status code = backup.StatAt(name, &status);
    // What fails here is logged, and found again by the next run.
    if (code.ok()) {
      // The new copy took the name: the old one was being deleted.
      (void)OwnDeleter().Tree(backup, ListedDirectory(entry));
    } else if (code.Is(ErrorKind::kNotFound) && Rename(backup, entry.name, name).ok()) {
      (void)Flush(backup, /*fileSystem=*/false);
    }
  }
}

void BackupRun::RemoveLeftovers(OsDir& backup, const std::string* stem) {
  // What an interrupted run was deleting is deleted now, and what an
  // interrupted copy left (whatever is on a retired name of this source, and
  // any temporary file whose writer is gone). Failures are logged by the
  // operations and tried again by the next run.
  std::vector<DirEntry> found;
  bool temporary = false;
  (void)backup.List(&found, [&](std::string_view name) {
    return (stem != nullptr && IsRetiredName(name, *stem)) || os_.IsAbandonedTemporary(name) ||
           (stem == nullptr && !FileManifestGeneration(name, &temporary).empty());
  });
  TreeDeleter own = OwnDeleter();
  for (const DirEntry& entry : found) {
    // A file generation's manifest stays while its generation is there.
    if (const std::string generation = FileManifestGeneration(entry.name, &temporary);
        stem == nullptr && !generation.empty() && !temporary) {
      FileStatus status;
      if (!backup.StatAt(generation, &status).Is(ErrorKind::kNotFound)) continue;
    }
    // Another user's entry on such a name (in a directory users share) is
    // not this run's to empty: it goes only where it can go in one step, and
    // otherwise stays, its name passed over (MoveAside).
    if (entry.status.owner != os_.UserId() && !os_.MayChangeOwner()) {
      const Status code =
          entry.status.kind == EntryKind::Directory ? backup.RemoveDir(entry.name) : backup.DeleteFile(entry.name);
      if (code.ok()) {
        reporter_.Done((entry.status.kind == EntryKind::Directory ? "Directory Deleted : " : "File Deleted : ") +
                       Join(job_.backupDir, entry.name));
      } else {
        reporter_.Note("Name In Use, Left Alone : " + Join(job_.backupDir, entry.name));
      }
      continue;
    }
    if (entry.status.kind != EntryKind::Directory) {
      (void)own.files().Delete(backup, entry.name);
    } else {
      (void)own.Tree(backup, ListedDirectory(entry));
    }
  }
}

std::string BackupRun::FileManifestGeneration(std::string_view name, bool* temporary) const {
  for (const std::string_view suffix : {std::string_view(kSidecarSuffix), std::string_view(kSidecarNewSuffix)}) {
    if (name.size() <= suffix.size() + 1 || name[0] != '.' || !name.ends_with(suffix)) continue;
    std::string generation(name.substr(1, name.size() - suffix.size() - 1));
    if (!IsFileGenerationName(generation, NameOf(job_.sourcePath))) return std::string();
    *temporary = suffix == kSidecarNewSuffix;
    return generation;
  }
  return std::string();
}

bool BackupRun::BackupMediumGone(const Status& failure) {
  // Only a failure that a medium gone away gives (or one that names no
  // code) is worth the look.
  if (backupDir_ == nullptr || !(failure.ok() || failure.Is(ErrorKind::kGone) || failure.Is(ErrorKind::kIo))) {
    return false;
  }
  // The backup directory's own medium is asked: a listing and a flush reach
  // the driver or the disk, where a status may come from a cache.
  for (int waited = 0;; waited += kMediumRetryMs) {
    std::vector<DirEntry> none;
    Status probe = backupDir_->List(&none, [](std::string_view) { return false; });
    if (probe.ok()) probe = backupDir_->Sync();
    if (!probe.Is(ErrorKind::kIo)) return probe.Is(ErrorKind::kGone);
    // An I/O error may pass: smbnetfs answers every call with one for some
    // three seconds after a call the server refused.
    if (waited >= kMediumWaitMs) return true;
    os_.SleepMs(kMediumRetryMs);
  }
}

int BackupRun::CheckRoom(const MirrorTotals& totals) {
  std::uint64_t available = 0;
  const Status code = os_.FreeSpace(job_.backupDir, &available);
  // A medium that does not tell its size (some network and FUSE file
  // systems) cannot be checked: the copy goes ahead, and a full disk fails
  // it as it would any copy.
  if (code.Is(ErrorKind::kUnsupported)) {
    reporter_.Note("Free Space Unknown, Not Checked : " + job_.backupDir);
    return 1;
  }
  if (!code.ok() || totals.diskBytes <= available) return 1;
  return Refuse(LoadString(IDS_NO_ROOM) + "\n必要: " + Megabytes(totals.diskBytes) + "、空き: " + Megabytes(available));
}

}  // namespace veldar
