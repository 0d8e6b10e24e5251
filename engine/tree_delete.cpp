#include "engine/tree_delete.h"

#include <memory>
#include <string>
#include <vector>

#include "platform/os_paths.h"

namespace veldar {
namespace {

constexpr const char kDeleteListError[] = "ERROR AT LOCAL FINDFIRST FILE IN DELETE!";
constexpr const char kDeleteDirError[] = "ERROR AT DELETE DIRECTORY IN DELETE!";
constexpr const char kDeleteFileError[] = "ERROR AT DELETE FILE IN DELETE!";
constexpr const char kDeleteSourceError[] = "Directory Delete Refused, It Is The Source : ";

}  // namespace

int TreeDeleter::Contents(const std::string& directory) {
  // Never through a final link: had `directory` been swapped for a link since
  // it was listed, emptying it would delete whatever the link points to.
  std::unique_ptr<OsDir> opened;
  FileStatus status;
  Status code = files_.os().OpenDir(directory, /*followLink=*/false, &opened);
  if (code.ok()) code = opened->Stat(&status);
  if (!code.ok()) {
    // A missing directory included: there is nothing here this call may vouch for.
    files_.reporter().ScanFailure(kDeleteListError);
    return 0;
  }
  return Contents(*opened);
}

int TreeDeleter::Contents(OsDir& directory) {
  Reporter& reporter = files_.reporter();
  FileStatus status;
  std::vector<DirEntry> entries;
  Status code = directory.Stat(&status);
  // The tree being copied from, reached inside what is being deleted (a bind
  // mount of the source within the backup directory): never emptied.
  if (code.ok() && guarded_ && status.SameEntryAs(*guarded_)) {
    reporter.Failure(std::string(kDeleteSourceError) + directory.Path());
    return 0;
  }
  // Nothing in a directory its owner may not write to can be deleted (a copy
  // of a read-only directory): the owner gets write and search first.
  if (code.ok() && (status.permissions & 0700) != 0700) {
    (void)directory.ChangeEntry("", {.permissions = status.permissions | 0700});
  }
  if (code.ok()) code = directory.List(&entries);
  if (!code.ok() && entries.empty()) {
    reporter.ScanFailure(kDeleteListError);
    return 0;
  }
  // A listing broken off part way is worked through as far as it got; the
  // entries left behind make the caller's removal of the directory fail, and
  // that failure is reported there.

  for (const DirEntry& entry : entries) {
    // Asked to stop: what is left goes with the next run.
    if (reporter.Cancelled()) return 0;
    bool asFile = entry.status.kind != EntryKind::Directory;
    if (!asFile) {
      switch (EmptySubdir(directory, entry.name, status)) {
        case Emptied::kStopped:
          return 0;
        case Emptied::kGone:
          continue;
        case Emptied::kNotADirectory:
          asFile = true;
          break;
        case Emptied::kYes:
          break;
      }
    }
    if (asFile) {
      // Files, links (never what they point to) and special files alike.
      if (!files_.Delete(directory, entry.name) && !reporter.noMessage()) {
        reporter.Show(kDeleteFileError);
        return 0;
      }
    } else if (!files_.Remove(directory, entry.name) && !reporter.noMessage()) {
      reporter.Show(kDeleteDirError);
      return 0;
    }
  }
  return 1;
}

TreeDeleter::Emptied TreeDeleter::EmptySubdir(OsDir& dir, const std::string& name, const FileStatus& dirStatus) {
  std::unique_ptr<OsDir> sub;
  FileStatus status;
  Status code = dir.OpenDir(name, &sub);
  if (code.ok()) code = sub->Stat(&status);
  if (!code.ok()) {
    if (code.Is(ErrorKind::kNotFound)) return Emptied::kGone;
    if (code.Is(ErrorKind::kNotDirectory)) return Emptied::kNotADirectory;
    files_.reporter().ScanFailure(kDeleteListError);
    return Emptied::kStopped;
  }
  // Another mount here (a bind mount of a directory that may be anything,
  // the source among it) is not ours to empty; removing it then fails.
  if (!status.SameMountAs(dirStatus)) return Emptied::kYes;
  return Contents(*sub) ? Emptied::kYes : Emptied::kStopped;
}

int TreeDeleter::Tree(OsDir& parent, const CFileEntry& entry, bool* removeFailed) {
  if (removeFailed) *removeFailed = false;
  Os& os = files_.os();
  // Opened without following a link, and only when it is still the
  // directory that was listed.
  std::unique_ptr<OsDir> dir;
  FileStatus status;
  if (const Status code = OpenListedDir(os, parent, entry.name, entry.status, &dir, &status); !code.ok()) {
    if (code.Is(ErrorKind::kNotFound)) return 1;
    files_.reporter().Failure("Directory Delete Failed : ", os.Paths().Join(parent.Path(), entry.name), code);
    return 0;
  }
  if (!Contents(*dir)) return 0;
  dir.reset();
  if (files_.Remove(parent, entry.name)) return 1;
  if (removeFailed) *removeFailed = true;
  return 0;
}

}  // namespace veldar
