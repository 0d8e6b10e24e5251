// The restore run and the restore list's rows.
//
// A restore is checked the way a backup is: every step that can fail is
// tested, a failure writes its line to the log, and the user is told
// "レストアに失敗しました。" (or "レストアできません。" for a restore refused
// before anything was written) with the reason, instead of the completion
// message. Refused are restores that have no target name of their own (a
// directory generation without "_" would be mirrored onto the restore
// directory itself), that would write into the backup directory or mirror
// over it (the mirror deletes what the generation lacks, generations
// included), and parts the generation does not hold. The source itself is
// never needed: a restore is what a lost source needs.
//
// A restore of part of a generation (-ONLY) walks each path name by name,
// through open directories on both sides, never following a link: a file is
// copied, a folder mirrored as a whole restore mirrors the generation, and
// nothing beside them is touched. Directories it has to make on the way get
// the generation's permissions once what they hold is in place.

#include "engine/restore.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/os_paths.h"
#include "platform/conventions.h"

#include "engine/backup.h"
#include "engine/generation_path.h"
#include "engine/generations.h"
#include "engine/manifest.h"
#include "engine/mirror.h"
#include "engine/path_relation.h"
#include "res/string_table.h"

namespace veldar {
namespace {

// Bracketed details of the restore's messages, in the style of the
// pre-check's: what the message is about, a line break, then the path and why.
const char kSourceField[] = "[バックアップするファイル]\n";
const char kBackupField[] = "[書き込むディレクトリ]\n";
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
const char kRootSource[] = "ルートディレクトリはバックアップできません。";
const char kNoGeneration[] = "書き込むディレクトリにこの元の世代がありません: ";
const char kIntoBackupDir[] = "復元先のディレクトリが、バックアップディレクトリと同じか、その中にあります。";
const char kPartOfFile[] = "一部だけを復元できるのは、ディレクトリの世代だけです。";
const char kNotInGeneration[] = "この世代にないパスです: ";

// One file or folder of a partial restore: its names below the generation,
// and what it is there.
struct Part {
  std::vector<std::string> names;
  std::string path;  // the names joined by '/', as the user wrote them
  EntryKind kind = EntryKind::File;
};

constexpr std::size_t kNameField = 20;

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
  // `only`: the paths of the generation to restore; empty, the whole of it.
  RestoreRun(const RestoreJob& job, const RunServices& services, Reporter& reporter,
             const std::vector<std::string>& only)
      : job_(job), services_(services), os_(services.os), reporter_(reporter), only_(only) {}

  // Restores generation `number`.
  std::string Run(int number) {
    Chosen chosen;
    if (std::string message = Choose(number, /*lock=*/true, &chosen); !message.empty()) return message;
    // The restore directory is the user's (it may be a link); everything
    // below it is reached through it, without following a link.
    if (std::string message = CreateDirWithParents(job_.restoreDir); !message.empty()) return message;
    std::unique_ptr<OsDir> into;
    if (Status code = os_.OpenDir(job_.restoreDir, /*followLink=*/true, &into); !code.ok()) {
      return DirFailure(job_.restoreDir, code);
    }
    OsDir& backup = *chosen.backup;
    const CFileEntry& generation = *chosen.generation;
    if (!chosen.parts.empty()) return RestoreParts(backup, generation, *into, chosen.name, chosen.parts);
    return generation.isDirectory ? RestoreDir(backup, generation, *into, chosen.name)
                                  : RestoreFile(backup, generation, *into, chosen.name);
  }

  // What restoring generation `number` would do, told to `output`, with
  // nothing changed.
  std::string Preview(int number, const DryRunOutput& output) {
    Chosen chosen;
    if (std::string message = Choose(number, /*lock=*/false, &chosen); !message.empty()) return message;
    return chosen.parts.empty() ? DryRun(*chosen.backup, *chosen.generation, chosen.name, output)
                                : DryRunParts(*chosen.backup, *chosen.generation, chosen.name, chosen.parts, output);
  }

 private:
  // What a restore restores, and where: found and checked before anything
  // is made.
  struct Chosen {
    std::unique_ptr<OsDir> backup;  // the backup directory, open
    const CFileEntry* generation = nullptr;
    std::string name;         // of the restored copy in the restore directory
    std::vector<Part> parts;  // of a partial restore; empty: the whole generation
  };

  // Finds generation `number` and what it is restored as, and refuses what
  // cannot be restored; with `lock`, under the backup directory's lock.
  // The message to show, or empty.
  std::string Choose(int number, bool lock, Chosen* chosen) {
    // Never while a backup rotates the generation away, or another restore
    // writes the same place. A dry run only reads, and takes no lock.
    std::unique_ptr<OsDir>& backup = chosen->backup;
    if (!lock) {
      if (!os_.OpenDir(job_.backupDir, /*followLink=*/true, &backup).ok()) backup.reset();
    } else if (Status code =
                   BackupRun::LockBackupDir(os_, job_.backupDir, LockUse::kRead,
                                            std::max(0, BackupRun::kLockWaitMs - services_.log.waitedMs()), &backup);
               !code.ok()) {
      busy_ = !code.Is(ErrorKind::kExists);
      if (code.Is(ErrorKind::kLocked)) {
        reporter_.Failure("Restore Failed, Backup Directory In Use : " + job_.backupDir);
      } else {
        reporter_.Failure("Restore Failed, Backup Directory Not Locked : ", job_.backupDir, code);
      }
      return Refused(BackupRun::LockRefusal(os_, job_.backupDir, code));
    }
    const CFileEntry* generation = chosen->generation = FindGeneration(job_.generations, number);
    if (!generation) {
      reporter_.Failure("Restore Failed : no generation numbered " + std::to_string(number));
      return Refused(kGenerationField + std::string("(-") + std::to_string(number + 1) + ")");
    }
    const std::string from = os_.Paths().Join(job_.backupDir, generation->name);
    if (!backup) {
      const Status code = os_.OpenDir(job_.backupDir, /*followLink=*/true, &backup);
      if (!code.ok()) return GenerationFailure(from, code);
    }

    // The generation's own kind decides how it comes back: a directory is
    // mirrored, a file copied. The source need not exist.
    const bool directory = generation->isDirectory;
    const std::string& name = chosen->name =
        directory ? DirRestoreName(generation->name)
                  : FileRestoreName(generation->name, os_.Paths().NameOf(job_.sourcePath));
    if (name.empty()) {
      reporter_.Failure("Restore Failed, No Target Name : " + from);
      return Refused(kGenerationField + generation->name + "\n" + (directory ? kNoDirName : kNoFileName));
    }
    const std::string target = os_.Paths().Join(job_.restoreDir, name);

    // Restored among the generations, a copy could be taken for one, or go
    // with the next mirror into the backup directory.
    if (IsSameOrInside(os_, job_.restoreDir, job_.backupDir)) {
      reporter_.Failure("Restore Failed, Target Overlaps Backup Directory : " + job_.restoreDir);
      return Refused(kRestoreDirField + job_.restoreDir + "\n" + kIntoBackupDir);
    }
    if (directory && (IsSameOrInside(os_, target, job_.backupDir) || IsSameOrInside(os_, job_.backupDir, target))) {
      reporter_.Failure("Restore Failed, Target Overlaps Backup Directory : " + target);
      return Refused(kRestoreDirField + target + "\n" + kOverlapsBackup);
    }

    // Every part is found in the generation before anything is made.
    std::vector<Part>& parts = chosen->parts;
    if (!only_.empty()) {
      if (!directory) {
        reporter_.Failure("Restore Failed, Part Of A File Generation : " + from);
        return Refused(kGenerationField + generation->name + "\n" + kPartOfFile);
      }
      if (std::string message = FindParts(*backup, *generation, name, &parts); !message.empty()) return message;
    }

    // Times are compared as coarsely as the backup medium keeps them: a
    // file restored from FAT is up to 2 s away from the one it restores
    // (the probe's directory is removed again at once).
    MediumTraits medium;
    (void)backup->ProbeMedium(&medium);
    backupTimeResolutionNs_ = medium.timeResolutionNs;
    return std::string();
  }

  static std::string Refused(const std::string& detail) { return LoadString(IDS_RESTORE_REFUSED) + detail; }
  static std::string Failed(const std::string& detail) { return LoadString(IDS_RESTORE_FAILED) + detail; }

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
    reporter_.Failure("Directory Create Failed : ", directory, code, CodeSpacing::kTight);
    return Failed(kRestoreDirField + directory + "\n" + os_.ErrorText(code));
  }

  // The generation could not be reached, or is no longer the one listed.
  std::string GenerationFailure(const std::string& from, const Status& code) {
    reporter_.Failure("Restore Failed : ", from, code);
    return Failed(kGenerationField + from + "\n" +
                  (code.Is(ErrorKind::kChanged) ? kGenerationChanged : os_.ErrorText(code)));
  }

  // Opens `name` in `into` as the restore's target directory, making it
  // when missing (`*created`). Whatever else is on the name (a link, a
  // file) is never followed or touched: the restore is refused.
  std::string OpenTarget(OsDir& into, const std::string& name, std::unique_ptr<OsDir>* dir, FileStatus* status,
                         bool* created) {
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
    return GenerationFailure(os_.Paths().Join(job_.backupDir, generation.name), code);
  }

  // What the restore would do, told to the dry run's output: the restore
  // directory and the target in it are read where they exist, and planned
  // against as empty where they do not.
  std::string DryRun(OsDir& backup, const CFileEntry& generation, const std::string& name, const DryRunOutput& output) {
    using Action = DryRunItem::Action;
    const std::string target = os_.Paths().Join(job_.restoreDir, name);
    std::vector<std::string> missing;
    if (std::string message = MissingOnTheWay(&missing); !message.empty()) return message;
    auto makeOnTheWay = [&] {
      for (const std::string& directory : missing) output({Action::kCreate, directory, true});
    };
    if (!generation.isDirectory) {
      planned_.filesToCopy = 1;
      planned_.bytesToCopy = planned_.diskBytes = generation.status.size;
      planned_.directoriesToCreate = missing.size();
      makeOnTheWay();
      // What the copy would replace, read without following a link.
      std::unique_ptr<OsDir> into;
      FileStatus replaced;
      const bool newer = os_.OpenDir(job_.restoreDir, /*followLink=*/true, &into).ok() &&
                         into->StatAt(name, &replaced).ok() && replaced.kind == EntryKind::File &&
                         WrittenLater(replaced, generation.status);
      output({Action::kInto, job_.restoreDir, true});
      output({Action::kCopy, name, false, generation.status.size, newer});
      return std::string();
    }
    MirrorPlan plan(os_);
    if (std::string message = OpenGeneration(backup, generation, &plan); !message.empty()) return message;
    std::unique_ptr<OsDir> into;
    FileStatus found;
    if (os_.OpenDir(job_.restoreDir, /*followLink=*/true, &into).ok() && into->StatAt(name, &found).ok()) {
      if (found.kind != EntryKind::Directory) {
        reporter_.Failure("Restore Failed, Target Not A Directory : " + target);
        return Refused(kRestoreDirField + target + "\n" + kTargetNotDirectory);
      }
      if (Status code = into->OpenDir(name, &plan.target); code.ok())
        code = plan.target->Stat(&plan.targetStatus);
      else
        return DirFailure(target, code);
    }
    MirrorJob job = MirrorJobOf(job_, os_.Paths().Join(job_.backupDir, generation.name), target);
    job.targetIsNew = job.targetNotMade = plan.target == nullptr;
    job.exact = true;
    // As the restore itself compares them.
    job.sourceTimeResolutionNs = backupTimeResolutionNs_;
    if (!MirrorPlanner(os_, reporter_).Plan(job, &plan)) return Failed(kRestoreDirField + target);
    planned_ = plan.totals;
    planned_.directoriesToCreate += missing.size();
    makeOnTheWay();
    if (!plan.target) {
      output({Action::kCreate, target, true});
      ++planned_.directoriesToCreate;
    }
    output({Action::kInto, target, true});
    if (!DescribePlan(plan, os_.Paths().Separator(), reporter_, output)) {
      return Failed(kRestoreDirField + target);
    }
    return std::string();
  }

  std::string RestoreDir(OsDir& backup, const CFileEntry& generation, OsDir& into, const std::string& name) {
    const std::string from = os_.Paths().Join(job_.backupDir, generation.name);
    MirrorPlan plan(os_);
    if (std::string message = OpenGeneration(backup, generation, &plan); !message.empty()) return message;
    // What the generation's manifest says its files hold: each copy is
    // checked against it as it is written.
    std::string unused;
    if (ReadManifest(*plan.source, &manifest_, &unused) == ManifestState::kRead) {
      checked_ = Checked{&backup, &generation};
    }
    const int failuresBefore = reporter_.failures();
    if (std::string message = MirrorInto(plan, from, into, name, std::string()); !message.empty()) return message;
    // A damaged file is restored as the generation holds it, and said: the
    // rest of the restore is complete.
    return Complete(failuresBefore + damaged_, os_.Paths().Join(into.Path(), name));
  }

  // Where the copies of a restore are checked: the generation and its
  // backup directory.
  struct Checked {
    OsDir* backup = nullptr;
    const CFileEntry* generation = nullptr;
  };

  // Compares what each copy of the directory `top` (at `from`; `prefix` is
  // its path below the generation's top with a '/' after it, empty for the
  // top itself) read with the generation's manifest. A file whose size and
  // time are as written but whose content is not is damaged: a failure line
  // for it, and a line for each other generation whose manifest holds the
  // same version of it (or one saying none does).
  void CheckCopies(OsDir& top, const std::string& from, const std::string& prefix, const CopiedChecksums& copied) {
    // In path order, so that the lines read as a listing.
    std::vector<const CopiedChecksums::value_type*> inOrder;
    inOrder.reserve(copied.size());
    for (const auto& item : copied) inOrder.push_back(&item);
    std::sort(inOrder.begin(), inOrder.end(), [](auto* a, auto* b) { return a->first < b->first; });
    for (const auto* item : inOrder) {
      const auto& [path, seen] = *item;
      const ManifestEntry* entry = manifest_.Find(prefix + path);
      // A restore links nothing; a link would be no copy to check.
      if (entry == nullptr || seen.linkedAs) continue;
      std::uint64_t size = seen.size;
      Checksum checksum = seen.checksum;
      // A copy that did not hand over its bytes (the Windows copy) is read
      // again, from the generation.
      if (size != entry->size && !AtPathBelow(top, path, [&](OsDir& dir, const std::string& name) {
                                    return ChecksumFile(os_, dir, name, &checksum, &size);
                                  }).ok()) {
        continue;
      }
      if (size == entry->size && checksum == entry->checksum) continue;
      // Changed by hand since it was written (another size or time): no
      // damage of the medium's, restored as it is.
      FileStatus status;
      if (!AtPathBelow(top, path, [&](OsDir& dir, const std::string& name) { return dir.StatAt(name, &status); })
               .ok() ||
          !entry->Matches(status)) {
        continue;
      }
      ++damaged_;
      const auto nativeOf = [this](std::string text) {
        std::replace(text.begin(), text.end(), '/', os_.Paths().Separator());
        return text;
      };
      reporter_.Failure("File Damaged In Generation : " + os_.Paths().Join(from, nativeOf(path)));
      const std::string native = nativeOf(prefix + path);
      bool intact = false;
      for (const CFileEntry& other : job_.generations) {
        if (&other == checked_.generation || other.isDirectory != checked_.generation->isDirectory) continue;
        // A file generation's manifest is beside it and lists it by its name.
        std::unique_ptr<OsDir> dir;
        Manifest theirs;
        std::string unused;
        const bool read = other.isDirectory ? checked_.backup->OpenDir(other.name, &dir).ok() &&
                                                  ReadManifest(*dir, &theirs, &unused) == ManifestState::kRead
                                            : ReadManifest(*checked_.backup, &theirs, &unused, nullptr,
                                                           SidecarName(other.name)) == ManifestState::kRead;
        if (!read) continue;
        const ManifestEntry* held = theirs.Find(other.isDirectory ? prefix + path : other.name);
        if (held == nullptr || !(held->checksum == entry->checksum)) continue;
        const std::string there = os_.Paths().Join(job_.backupDir, other.name);
        reporter_.Note("Intact Copy In Generation : " + (other.isDirectory ? os_.Paths().Join(there, native) : there));
        intact = true;
      }
      if (!intact) reporter_.Note("No Intact Copy In Another Generation : " + native);
    }
  }

  // Calls `use(dir, name)` with the directory that holds `path` (names
  // joined by '/') below `top` and its last name; no link followed.
  template <typename Use>
  Status AtPathBelow(OsDir& top, const std::string& path, Use use) {
    std::unique_ptr<OsDir> held;
    OsDir* dir = &top;
    std::size_t start = 0;
    for (std::size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
      std::unique_ptr<OsDir> next;
      if (Status code = dir->OpenDir(path.substr(start, slash - start), &next); !code.ok()) return code;
      held = std::move(next);
      dir = held.get();
    }
    return use(*dir, path.substr(start));
  }

  // Mirrors the open generation directory `plan.source` (at `from`; at
  // `prefix` below the generation's top, see CheckCopies) into `name` of
  // `into`, made when missing. The failure message, or empty.
  std::string MirrorInto(MirrorPlan& plan, const std::string& from, OsDir& into, const std::string& name,
                         const std::string& prefix) {
    const std::string target = os_.Paths().Join(into.Path(), name);
    bool created = false;
    if (std::string message = OpenTarget(into, name, &plan.target, &plan.targetStatus, &created); !message.empty()) {
      return message;
    }
    // The target's files end up equal to the generation's, whatever their
    // times say: an earlier restore of a newer generation leaves files
    // that are newer than, and as large as, what is restored over them.
    MirrorJob job = MirrorJobOf(job_, from, target);
    job.targetIsNew = created;
    job.exact = true;
    // Each copy keeps a temporary name until it is on the disk, as the
    // backup's are; the flushes are made a batch of copies at a time.
    job.writes = MirrorWrites::kBatched;
    job.sourceTimeResolutionNs = backupTimeResolutionNs_;
    // The mirror has logged (and, without the no-message flag, shown) why it
    // stopped.
    CopiedChecksums copied;
    MirrorApplier applier(os_, reporter_);
    if (checked_.generation) applier.ChecksumCopies(&copied);
    if (!MirrorPlanner(os_, reporter_).Plan(job, &plan) || !applier.Apply(plan)) {
      return reporter_.Cancelled() ? Cancelled() : Failed(kRestoreDirField + target);
    }
    if (checked_.generation) CheckCopies(*plan.source, from, prefix, copied);
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
        reporter_.Failure("Flush Failed : ", target, code);
        return Failed(kRestoreDirField + target + "\n" + os_.ErrorText(code));
      }
    }
    return std::string();
  }

  // The mirror also passes over some failures and carries on; those are
  // counted, and a restore with any of them is no complete restore.
  std::string Complete(int failuresBefore, const std::string& target) {
    if (reporter_.failures() == failuresBefore) return std::string();
    return Failed(kRestoreDirField + target + "\n" + (services_.log.HoldsRun() ? kSomeFailed : kSomeFailedUnlogged));
  }

  std::string RestoreFile(OsDir& backup, const CFileEntry& generation, OsDir& into, const std::string& name) {
    const std::string from = os_.Paths().Join(job_.backupDir, generation.name);
    FileStatus status;
    Status code = backup.StatAt(generation.name, &status);
    if (code.ok() && !status.SameEntryAs(generation.status)) code = os_.Error(ErrorKind::kChanged);
    if (!code.ok()) return GenerationFailure(from, code);
    // Checked as it is copied against the manifest beside it, where it has
    // one.
    std::string unused;
    if (ReadManifest(backup, &manifest_, &unused, nullptr, SidecarName(generation.name)) == ManifestState::kRead) {
      checked_ = Checked{&backup, &generation};
    }
    const int failuresBefore = reporter_.failures();
    const std::string top;
    if (std::string message = CopyBack(backup, generation.name, status.size, into, name, &top); !message.empty()) {
      return message;
    }
    return Complete(failuresBefore + damaged_, os_.Paths().Join(into.Path(), name));
  }

  // Copies the file or link `name` of `fromDir` (`size` bytes) to `to` in
  // `into`. Made under a temporary name and renamed into place: a failed
  // copy never leaves a half-written file over the one that was there, and
  // a link on the name is replaced, never followed. With `prefix` (the path
  // of `fromDir` below the generation's top, see CheckCopies) and a
  // manifest to check against, a file's copy is checked as it is made.
  std::string CopyBack(OsDir& fromDir, const std::string& name, std::uint64_t size, OsDir& into, const std::string& to,
                       const std::string* prefix = nullptr) {
    const std::string from = os_.Paths().Join(fromDir.Path(), name);
    const std::string target = os_.Paths().Join(into.Path(), to);
    std::uint64_t bytes = 0;
    RunProgress* progress = reporter_.control().progress;
    if (progress) {
      progress->AddPlanned(1, size);
      progress->FileStarted(from);
    }
    std::optional<ChecksummingCopy> checksum;
    if (prefix && checked_.generation) checksum.emplace(progress);
    CopyProgress* sink = checksum ? static_cast<CopyProgress*>(&*checksum) : progress;
    const Status code = fromDir.CopyFile(name, into, to, CopyMode::Replace, &bytes, nullptr, sink);
    if (code.Is(ErrorKind::kCancelled)) return Cancelled();
    if (!code.ok()) {
      reporter_.Failure("File Copy Failed : ", from + " to " + target, code);
      return Failed(kRestoreFileField + target + "\n" + os_.ErrorText(code));
    }
    if (checksum) {
      // A link hands over no bytes: the manifest lists regular files only.
      if (const std::optional<Checksum> sum = checksum->Result(checksum->seen())) {
        CheckCopies(fromDir, fromDir.Path(), *prefix, {{name, CopiedChecksum{checksum->seen(), *sum, std::nullopt}}});
      }
    }
    if (progress) progress->FileFinished(bytes);
    reporter_.CountCopied(bytes);
    if (reporter_.control().onFileCopied) reporter_.control().onFileCopied(from, bytes);
    return std::string();
  }

  // ---- Part of a generation ----

  // `base` with `names` joined on, as the system writes paths.
  std::string PathOf(std::string base, const std::vector<std::string>& names, std::size_t count) const {
    for (std::size_t i = 0; i < count; ++i) base = os_.Paths().Join(base, names[i]);
    return base;
  }

  // Finds every path of `only_` in the generation, in an order that puts a
  // folder before what it holds and drops what a folder taken already holds.
  // Then checks that the target has nothing but directories where those
  // paths need them, so that a refusal comes before anything is changed.
  // The refusal or failure message, or empty.
  std::string FindParts(OsDir& backup, const CFileEntry& generation, const std::string& name,
                        std::vector<Part>* parts) {
    const std::string from = os_.Paths().Join(job_.backupDir, generation.name);
    std::vector<std::vector<std::string>> wanted;
    for (const std::string& path : only_) {
      std::vector<std::string> names;
      std::string error;
      if (!SplitGenerationPath(path, &names, &error)) {
        reporter_.Failure("Restore Failed, Path Not Usable : " + path);
        return Refused(kGenerationField + error);
      }
      wanted.push_back(std::move(names));
    }
    std::sort(wanted.begin(), wanted.end());
    std::unique_ptr<OsDir> root;
    FileStatus rootStatus;
    if (Status code = OpenListedDir(os_, backup, generation.name, generation.status, &root, &rootStatus); !code.ok()) {
      return GenerationFailure(from, code);
    }
    for (std::vector<std::string>& names : wanted) {
      if (!parts->empty() &&
          std::equal(parts->back().names.begin(), parts->back().names.end(), names.begin(),
                     names.begin() + std::min(names.size(), parts->back().names.size())) &&
          parts->back().names.size() <= names.size()) {
        continue;
      }
      Part part;
      for (const std::string& each : names) part.path += (part.path.empty() ? "" : "/") + each;
      std::unique_ptr<OsDir> parent;
      FileStatus status;
      Status code = WalkGenerationPath(*root, names, &parent, &status);
      // Special files are never copied into a generation, nor out of one.
      if (code.ok() && status.kind == EntryKind::Special) code = os_.Error(ErrorKind::kNotFound);
      if (code.Is(ErrorKind::kNotFound) || code.Is(ErrorKind::kNotDirectory)) {
        reporter_.Failure("Restore Failed, Not In Generation : " + PathOf(from, names, names.size()));
        return Refused(kGenerationField + generation.name + "\n" + kNotInGeneration + part.path);
      }
      if (!code.ok()) return GenerationFailure(PathOf(from, names, names.size()), code);
      part.names = std::move(names);
      part.kind = status.kind;
      parts->push_back(std::move(part));
    }
    std::unique_ptr<OsDir> into;
    if (!os_.OpenDir(job_.restoreDir, /*followLink=*/true, &into).ok()) return std::string();
    for (const Part& part : *parts) {
      std::vector<std::string> way{name};
      way.insert(way.end(), part.names.begin(), part.names.end() - 1);
      std::vector<std::unique_ptr<OsDir>> held;
      OsDir* at = into.get();
      for (std::size_t i = 0; i < way.size(); ++i) {
        std::unique_ptr<OsDir> below;
        FileStatus status;
        if (!at->StatAt(way[i], &status).ok()) break;  // made by the restore
        if (status.kind != EntryKind::Directory) {
          const std::string path = PathOf(job_.restoreDir, way, i + 1);
          reporter_.Failure("Restore Failed, Target Not A Directory : " + path);
          return Refused(kRestoreDirField + path + "\n" + kTargetNotDirectory);
        }
        if (const Status code = at->OpenDir(way[i], &below); !code.ok()) {
          return DirFailure(PathOf(job_.restoreDir, way, i + 1), code);
        }
        at = held.emplace_back(std::move(below)).get();
      }
    }
    return std::string();
  }

  // Restores `parts` of the generation into `name` of `into`, made when
  // missing: nothing else there is touched.
  std::string RestoreParts(OsDir& backup, const CFileEntry& generation, OsDir& into, const std::string& name,
                           const std::vector<Part>& parts) {
    const std::string from = os_.Paths().Join(job_.backupDir, generation.name);
    std::unique_ptr<OsDir> source;
    FileStatus sourceStatus;
    if (Status code = OpenListedDir(os_, backup, generation.name, generation.status, &source, &sourceStatus);
        !code.ok()) {
      return GenerationFailure(from, code);
    }
    std::unique_ptr<OsDir> target;
    FileStatus targetStatus;
    bool created = false;
    if (std::string message = OpenTarget(into, name, &target, &targetStatus, &created); !message.empty()) {
      return message;
    }
    // Each part is checked against the generation's manifest as it is
    // copied, as a whole restore is.
    std::string unused;
    if (ReadManifest(*source, &manifest_, &unused) == ManifestState::kRead) checked_ = Checked{&backup, &generation};
    const int failuresBefore = reporter_.failures();
    std::string message;
    for (const Part& part : parts) {
      message = RestorePart(*source, *target, part);
      if (!message.empty()) break;
    }
    if (created) GiveAccess(into, name, sourceStatus);
    // A damaged file is restored as the generation holds it, and said.
    return message.empty() ? Complete(failuresBefore + damaged_, os_.Paths().Join(into.Path(), name)) : message;
  }

  // One part: the directories on its way opened (or made) through their
  // parents on both sides, then the entry itself restored.
  std::string RestorePart(OsDir& source, OsDir& target, const Part& part) {
    std::vector<std::unique_ptr<OsDir>> held;
    struct Made {
      OsDir* parent;
      std::string name;
      FileStatus source;
    };
    std::vector<Made> made;
    OsDir* from = &source;
    OsDir* to = &target;
    std::string message;
    for (std::size_t i = 0; i + 1 < part.names.size() && message.empty(); ++i) {
      const std::string& name = part.names[i];
      std::unique_ptr<OsDir> below;
      FileStatus status;
      Status code = from->OpenDir(name, &below);
      if (code.ok()) code = below->Stat(&status);
      if (!code.ok()) {
        message = GenerationFailure(os_.Paths().Join(from->Path(), name), code);
        break;
      }
      from = held.emplace_back(std::move(below)).get();
      bool created = false;
      FileStatus found;
      message = OpenTarget(*to, name, &below, &found, &created);
      if (!message.empty()) break;
      if (created) made.push_back({to, name, status});
      to = held.emplace_back(std::move(below)).get();
    }
    if (message.empty()) message = RestoreEntry(*from, *to, part);
    // Their contents in place, the directories made on the way get the
    // generation's access, deepest first.
    for (auto it = made.rbegin(); it != made.rend(); ++it) GiveAccess(*it->parent, it->name, it->source);
    return message;
  }

  // Restores the entry `part` names in `from` (its parent in the
  // generation) under its name in `to`: a folder mirrored, a file or link
  // copied, each checked against the generation's manifest where it has
  // one. What stands on the name in the target goes where it is of another
  // kind: the part comes back whole.
  std::string RestoreEntry(OsDir& from, OsDir& to, const Part& part) {
    const std::string& name = part.names.back();
    // The part's parent below the generation's top, as the manifest writes it.
    const std::string parent = part.path.substr(0, part.path.size() - name.size());
    const std::string fromPath = os_.Paths().Join(from.Path(), name);
    const std::string toPath = os_.Paths().Join(to.Path(), name);
    FileStatus source;
    if (Status code = from.StatAt(name, &source); !code.ok()) return GenerationFailure(fromPath, code);
    FileStatus found;
    const Status there = to.StatAt(name, &found);
    if (!there.ok() && !there.Is(ErrorKind::kNotFound)) return DirFailure(toPath, there);
    FileOps files(os_, reporter_, FilePolicy{job_.noForce == 0});
    if (source.kind == EntryKind::Directory) {
      if (there.ok() && found.kind != EntryKind::Directory && !files.Delete(to, name)) {
        return Failed(kRestoreDirField + toPath);
      }
      MirrorPlan plan(os_);
      Status code = from.OpenDir(name, &plan.source);
      if (code.ok()) code = plan.source->Stat(&plan.sourceStatus);
      if (!code.ok()) return GenerationFailure(fromPath, code);
      return MirrorInto(plan, fromPath, to, name, parent + name + "/");
    }
    if (there.ok() && found.kind == EntryKind::Directory) {
      CFileEntry entry;
      entry.name = name;
      entry.isDirectory = true;
      entry.kind = EntryKind::Directory;
      entry.status = found;
      if (!TreeDeleter(files, std::nullopt).Tree(to, entry)) return Failed(kRestoreFileField + toPath);
    }
    return CopyBack(from, name, source.size, to, name, source.kind == EntryKind::File ? &parent : nullptr);
  }

  // Gives the directory `name` of `parent`, made by this restore, the
  // permissions (and for root the owner) of its generation's `source`.
  void GiveAccess(OsDir& parent, const std::string& name, const FileStatus& source) {
    if (!parent.KeepsPermissions()) return;
    const std::string path = os_.Paths().Join(parent.Path(), name);
    EntryChange change{.permissions = source.permissions & 07777};
    if (os_.MayChangeOwner()) change.owner = EntryChange::Owner{source.owner, source.group};
    EntryPart failed = EntryPart::kNone;
    Status code = parent.ChangeEntry(name, change, &failed);
    if (failed == EntryPart::kOwner) {
      reporter_.Failure("Owner Set Failed : ", path, code);
      // A medium that refuses owners may still keep permissions.
      change.owner.reset();
      code = parent.ChangeEntry(name, change);
    }
    if (!code.ok()) reporter_.Failure("Permissions Set Failed : ", path, code);
  }

  // What restoring `parts` would do, told to the dry run's output part by
  // part: the directories it would make on the way by their full paths,
  // then an "into" line naming the directory the part's items are in.
  std::string DryRunParts(OsDir& backup, const CFileEntry& generation, const std::string& name,
                          const std::vector<Part>& parts, const DryRunOutput& output) {
    using Action = DryRunItem::Action;
    std::vector<std::string> missing;
    if (std::string message = MissingOnTheWay(&missing); !message.empty()) return message;
    for (const std::string& directory : missing) output({Action::kCreate, directory, true});
    planned_.directoriesToCreate = missing.size();
    std::unique_ptr<OsDir> source;
    FileStatus sourceStatus;
    if (Status code = OpenListedDir(os_, backup, generation.name, generation.status, &source, &sourceStatus);
        !code.ok()) {
      return GenerationFailure(os_.Paths().Join(job_.backupDir, generation.name), code);
    }
    std::unique_ptr<OsDir> into;
    if (!os_.OpenDir(job_.restoreDir, /*followLink=*/true, &into).ok()) into.reset();
    for (const Part& part : parts) {
      // Both sides walked down to the part's parent; the target as far as it
      // exists (FindParts found nothing but directories there).
      std::vector<std::string> way{name};
      way.insert(way.end(), part.names.begin(), part.names.end());
      std::vector<std::unique_ptr<OsDir>> held;
      OsDir* to = into.get();
      for (std::size_t i = 0; i + 1 < way.size(); ++i) {
        std::unique_ptr<OsDir> below;
        if (to && to->OpenDir(way[i], &below).ok()) {
          to = held.emplace_back(std::move(below)).get();
          continue;
        }
        to = nullptr;
        output({Action::kCreate, PathOf(job_.restoreDir, way, i + 1), true});
        ++planned_.directoriesToCreate;
      }
      std::unique_ptr<OsDir> parent;
      FileStatus status;
      const std::string fromPath =
          PathOf(os_.Paths().Join(job_.backupDir, generation.name), part.names, part.names.size());
      if (Status code = WalkGenerationPath(*source, part.names, &parent, &status); !code.ok()) {
        return GenerationFailure(fromPath, code);
      }
      OsDir& from = parent ? *parent : *source;
      const std::string& last = part.names.back();
      const std::string target = PathOf(job_.restoreDir, way, way.size());
      FileStatus found;
      const bool there = to && to->StatAt(last, &found).ok();
      if (part.kind != EntryKind::Directory) {
        output({Action::kInto, PathOf(job_.restoreDir, way, way.size() - 1), true});
        if (there && found.kind == EntryKind::Directory) {
          output({Action::kDelete, last, true});
          ++planned_.entriesToDelete;
        }
        output({Action::kCopy, last, false, status.size});
        ++planned_.filesToCopy;
        planned_.bytesToCopy += status.size;
        planned_.diskBytes += status.size;
        continue;
      }
      MirrorPlan plan(os_);
      Status code = from.OpenDir(last, &plan.source);
      if (code.ok()) code = plan.source->Stat(&plan.sourceStatus);
      if (!code.ok()) return GenerationFailure(fromPath, code);
      if (there && found.kind == EntryKind::Directory) {
        if (code = to->OpenDir(last, &plan.target); code.ok()) code = plan.target->Stat(&plan.targetStatus);
        if (!code.ok()) return DirFailure(target, code);
      } else if (there) {
        output({Action::kInto, PathOf(job_.restoreDir, way, way.size() - 1), true});
        output({Action::kDelete, last, false});
        ++planned_.entriesToDelete;
      }
      MirrorJob job = MirrorJobOf(job_, fromPath, target);
      job.targetIsNew = job.targetNotMade = plan.target == nullptr;
      job.exact = true;
      if (!MirrorPlanner(os_, reporter_).Plan(job, &plan)) return Failed(kRestoreDirField + target);
      if (!plan.target) {
        output({Action::kCreate, target, true});
        ++planned_.directoriesToCreate;
      }
      output({Action::kInto, target, true});
      if (!DescribePlan(plan, os_.Paths().Separator(), reporter_, output)) return Failed(kRestoreDirField + target);
      const MirrorTotals& totals = plan.totals;
      planned_.filesToCopy += totals.filesToCopy;
      planned_.bytesToCopy += totals.bytesToCopy;
      planned_.directoriesToCreate += totals.directoriesToCreate;
      planned_.entriesToDelete += totals.entriesToDelete;
      planned_.leftUndone += totals.leftUndone;
      planned_.diskBytes += totals.diskBytes;
    }
    return std::string();
  }

  // What the restore would find in the way of making the restore directory
  // (the failure message), and the directories on its way it would make.
  std::string MissingOnTheWay(std::vector<std::string>* missing) {
    for (const std::string& directory : os_.Paths().Ancestry(job_.restoreDir)) {
      FileStatus status;
      const Status code = Stat(os_, directory, true, &status);
      if (code.ok() && status.kind != EntryKind::Directory) {
        return DirFailure(directory, os_.Error(ErrorKind::kNotDirectory));
      }
      if (code.Is(ErrorKind::kNotFound)) missing->push_back(directory);
    }
    return std::string();
  }

  // A restore stopped at the user's request: the copy under way was
  // abandoned; what was restored before it stays.
  std::string Cancelled() {
    cancelled_ = true;
    reporter_.Note(kCanceledLine);
    return kRestoreCancelled;
  }

  const RestoreJob job_;
  const RunServices services_;
  Os& os_;
  Reporter& reporter_;
  const std::vector<std::string>& only_;
  std::int64_t backupTimeResolutionNs_ = 0;  // the backup medium's, as probed
  // The generation being restored, where it has a manifest to check its
  // copies against.
  Checked checked_;
  Manifest manifest_;

 public:
  bool cancelled_ = false;
  bool busy_ = false;     // refused: the backup directory's lock is held or cannot be taken
  int damaged_ = 0;       // files the generation holds damaged, restored as they are
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

RestoreSource FindRestoreSource(Os& os, const std::string& sourcePath, const std::string& backupDir) {
  RestoreSource found;
  found.sourcePath = os.Paths().WithoutTrailingSeparators(sourcePath);
  found.backupDir = os.Paths().WithoutTrailingSeparators(backupDir);
  // "." and ".." are named after the directory they stand for, as the
  // backup named its generations.
  const std::string typed = os.Paths().NameOf(found.sourcePath);
  std::string resolved;
  if ((typed == "." || typed == "..") && os.RealPath(found.sourcePath, &resolved).ok()) found.sourcePath = resolved;
  found.name = os.Paths().NameOf(found.sourcePath);
  found.scan = os.OpenDir(found.backupDir, /*followLink=*/true, &found.backup);
  if (!found.scan.ok() || found.name.empty()) return found;
  Generations generations(os, found.backupDir, found.name, found.backup.get());
  if (!generations.FindOfSource(found.sourcePath, &found.generations, &found.directory)) {
    found.scan = generations.ScanError();
  }
  found.incomplete = generations.Incomplete();
  return found;
}

int RefuseRestoreSource(Os& os, const RestoreSource& found, Reporter& reporter) {
  const std::string refused = LoadString(IDS_RESTORE_REFUSED);
  if (found.name.empty()) {
    return reporter.Refuse(refused + kSourceField + found.sourcePath + "\n" + kRootSource, found.sourcePath);
  }
  if (!found.scan.ok()) {
    return reporter.Refuse(refused + kBackupField + found.backupDir + "\n" + os.ErrorText(found.scan), found.backupDir);
  }
  if (found.generations.empty()) {
    return reporter.Refuse(refused + kGenerationField + found.sourcePath + "\n" + kNoGeneration + found.backupDir,
                           found.sourcePath);
  }
  return 1;
}

RestoreResult RunRestore(const RestoreJob& job, const RunServices& services, int number, const RunControl& control,
                         const std::vector<std::string>& only) {
  const auto started = std::chrono::steady_clock::now();
  services.log.Open();
  services.log.Write("Starting with Restore button");
  Reporter reporter = JobReporter(job, services, control);
  RestoreRun run(job, services, reporter, only);
  RestoreResult result;
  result.message = run.Run(number);
  result.ok = result.message.empty() ? 1 : 0;
  result.cancelled = run.cancelled_;
  result.busy = run.busy_;
  result.damaged = run.damaged_;
  result.summary = reporter.summary();
  result.summary.seconds = SecondsSince(started);
  reporter.Note(SummaryLogLine(result.summary));
  if (result.ok) {
    SaveRestoreDir(services.settings, job.restoreDir);
    result.message = LoadString(IDS_RESTORE_DONE);
  }
  services.log.Close();
  return result;
}

RestoreResult DryRunRestore(const RestoreJob& job, const RunServices& services, int number, const DryRunOutput& output,
                            MirrorTotals* planned, const RunControl& control, const std::vector<std::string>& only) {
  Reporter reporter = JobReporter(job, services, control);
  RestoreRun run(job, services, reporter, only);
  RestoreResult result;
  result.message = run.Preview(number, output);
  result.ok = result.message.empty() ? 1 : 0;
  *planned = run.planned_;
  return result;
}

}  // namespace veldar
