// The restore run and the restore list's rows.
//
// A restore is checked the way a backup is: every step that can fail is
// tested, a failure writes its line to the log, and the user is told
// "レストアに失敗しました。" (or "レストアできません。" for a restore refused
// before anything was written) with the reason, instead of the completion
// message. Refused are restores that would have to guess (a source that can
// no longer be examined), that have no target name of their own (a directory
// generation without "_" would be mirrored onto the restore directory itself)
// and that would mirror over the backup directory (the mirror deletes what the
// generation lacks, generations included).


#include "engine/restore.h"
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

constexpr std::size_t kNameField = 20;

std::string Code(int code) { return std::to_string(code); }

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
  explicit RestoreRun(CVELDAR2Engine& engine) : engine_(engine), os_(engine.os) {}

  std::string Run(int number) {
    // Never while a backup rotates the generation away, or another restore
    // writes the same place.
    std::unique_ptr<OsDir> lock;
    if (!engine_.LockBackupDir(&lock)) {
      engine_.WriteFailure("Restore Failed, Backup Directory In Use : " + engine_.backupDir);
      return LoadString(IDS_RESTORE_REFUSED) + engine_.BackupDirBusyText();
    }
    const CFileEntry* generation = FindGeneration(engine_.generations, number);
    if (!generation) {
      engine_.WriteFailure("Restore Failed : no generation numbered " + Code(number));
      return Refused(kGenerationField + std::string("(-") + Code(number + 1) + ")");
    }
    const std::string from = engine_.JoinPath(engine_.backupDir, generation->name);

    // The list was built for the kind of source the restore button found; a
    // source that has gone since is reported rather than guessed at.
    FileStatus source;
    if (int code = os_.Stat(engine_.sourcePath, true, &source); code != 0) {
      engine_.WriteFailure("Restore Failed, Source Not Found : " + engine_.sourcePath +
                           " : ERR = " + Code(code));
      return Refused(kSourceField + engine_.sourcePath + "\n" + os_.ErrorText(code));
    }

    // The generation's own kind decides how it comes back: a directory is
    // mirrored, a file copied.
    const bool directory = generation->isDirectory;
    const std::string name = directory
                                 ? DirRestoreName(generation->name)
                                 : FileRestoreName(generation->name, engine_.NameOf(engine_.sourcePath));
    if (name.empty()) {
      engine_.WriteFailure("Restore Failed, No Target Name : " + from);
      return Refused(kGenerationField + generation->name + "\n" + (directory ? kNoDirName : kNoFileName));
    }
    const std::string target = engine_.JoinPath(engine_.restoreDir, name);

    if (directory &&
        (IsSameOrInside(os_, target, engine_.backupDir) ||
         IsSameOrInside(os_, engine_.backupDir, target))) {
      engine_.WriteFailure("Restore Failed, Target Overlaps Backup Directory : " + target);
      return Refused(kRestoreDirField + target + "\n" + kOverlapsBackup);
    }

    if (std::string message = CreateDirWithParents(engine_.restoreDir); !message.empty()) return message;
    return directory ? RestoreDir(from, target) : RestoreFile(from, target);
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

  std::string CreateDirIfMissing(const std::string& directory, bool* created = nullptr) {
    if (created) *created = false;
    FileStatus status;
    if (os_.Stat(directory, true, &status) == 0) {
      if (status.kind == EntryKind::Directory) return std::string();
      return DirFailure(directory, os_.CodeOf(ErrorKind::kNotDirectory));
    }
    const int code = os_.CreateDir(directory);
    if (code == 0) {
      if (created) *created = true;
      if (engine_.successLog) engine_.WriteLog("Directory Created : " + directory);
      return std::string();
    }
    // Made by someone else in the meantime is as good as made.
    if (os_.Stat(directory, true, &status) == 0 && status.kind == EntryKind::Directory) {
      return std::string();
    }
    return DirFailure(directory, code);
  }

  std::string DirFailure(const std::string& directory, int code) {
    engine_.WriteFailure("Directory Create Failed : " + directory + " : ERR= " + Code(code));
    return Failed(kRestoreDirField + directory + "\n" + os_.ErrorText(code));
  }

  std::string RestoreDir(const std::string& from, const std::string& target) {
    bool created = false;
    if (std::string message = CreateDirIfMissing(target, &created); !message.empty()) return message;
    // The mirror has logged (and, without the no-message flag, shown) why it
    // stopped. It also passes over some failures and carries on; those are
    // counted, and a restore with any of them is no complete restore.
    const int failuresBefore = engine_.failureCount;
    if (!engine_.MirrorDir(from, target, created)) {
      return engine_.CancelRequested() ? Cancelled() : Failed(kRestoreDirField + target);
    }
    if (engine_.failureCount != failuresBefore)
      return Failed(kRestoreDirField + target + "\n" +
                    (engine_.activityLog.HoldsRun() ? kSomeFailed : kSomeFailedUnlogged));
    return std::string();
  }

  std::string RestoreFile(const std::string& from, const std::string& target) {
    // Made under a temporary name and renamed into place: a failed copy never
    // leaves a half-written file over the one that was there.
    std::uint64_t bytes = 0;
    if (engine_.progress) {
      FileStatus status;
      if (os_.Stat(from, false, &status) == 0) engine_.progress->AddPlanned(1, status.size);
      engine_.progress->FileStarted(from);
    }
    const int code = os_.CopyFile(from, target, CopyMode::Replace, &bytes);
    if (os_.KindOf(code) == ErrorKind::kCancelled) return Cancelled();
    if (code != 0) {
      engine_.WriteFailure("File Copy Failed : " + from + " to " + target + " : ERR = " + Code(code));
      return Failed(kRestoreFileField + target + "\n" + os_.ErrorText(code));
    }
    if (engine_.progress) engine_.progress->FileFinished(bytes);
    if (engine_.onFileCopied) engine_.onFileCopied(from, bytes);
    return std::string();
  }

  // A restore stopped at the user's request: the copy under way was
  // abandoned; what was restored before it stays.
  std::string Cancelled() {
    engine_.cancelled = true;
    engine_.WriteLog(CVELDAR2Engine::kCanceledLine);
    return kRestoreCancelled;
  }

  CVELDAR2Engine& engine_;
  Os& os_;
};

}  // namespace

std::string GenerationRow(const CFileEntry& generation, Os& os) {
  std::string row = "(-" + std::to_string(static_cast<long long>(generation.generation) + 1) + ") ";
  row += generation.name;
  const std::size_t length = CharacterCount(generation.name);
  if (length < kNameField) row.append(kNameField - length, ' ');
  row += "   ";
  row += os.FormatLocalTime(generation.time, "%m/%d/%y %H:%M:%S");
  return row;
}

std::vector<std::string> GenerationRows(const std::vector<CFileEntry>& generations, Os& os) {
  std::vector<std::string> rows;
  const int count = static_cast<int>(generations.size());
  for (int number = 0; number < count; ++number) {
    for (const CFileEntry& entry : generations) {
      if (entry.generation == number) rows.push_back(GenerationRow(entry, os));
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

RestoreResult RunRestore(CVELDAR2Engine& engine, int number) {
  engine.OpenLog();
  engine.WriteLog("Starting with Restore button");
  engine.cancelled = false;
  RestoreResult result;
  result.message = RestoreRun(engine).Run(number);
  result.ok = result.message.empty() ? 1 : 0;
  if (result.ok) {
    engine.SaveRestoreDir();
    result.message = LoadString(IDS_RESTORE_DONE);
  }
  engine.CloseLog();
  return result;
}

int RestoreGeneration(CVELDAR2Engine& engine, int number) {
  const RestoreResult result = RunRestore(engine, number);
  engine.messages.Show(result.message);
  return result.ok;
}

}  // namespace veldar
