// The depth-first deletion of a directory's contents, and the reports that
// the tree walks share.
//
// Each directory is read once (one pass with one status call per entry,
// relative to the open directory). Entries carry what they are: a link is a
// link, never the directory it may point to. The deletion walks open
// directories one level at a time and acts relative to them, so nothing here
// ever reaches outside the directory it was given.

#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace veldar {
namespace {

constexpr const char kDeleteListError[] = "ERROR AT LOCAL FINDFIRST FILE IN DELETE!";
constexpr const char kDeleteDirError[] = "ERROR AT DELETE DIRECTORY IN DELETE!";
constexpr const char kDeleteFileError[] = "ERROR AT DELETE FILE IN DELETE!";
constexpr const char kDeleteSourceError[] = "Directory Delete Refused, It Is The Source : ";

}  // namespace

void CVELDAR2Engine::ReportScanFailure(const std::string& text) {
  if (noMessage) {
    WriteFailure(text);
  } else {
    ++failureCount;
    report = {text, std::string(), 0};
    messages.Show(text);
  }
}

int CVELDAR2Engine::DeleteDirContents(const std::string& directory) {
  // Never through a final link: had `directory` been swapped for a link since
  // it was listed, emptying it would delete whatever the link points to.
  std::unique_ptr<OsDir> opened;
  FileStatus status;
  int code = os.OpenDir(directory, /*followLink=*/false, &opened);
  if (code == 0) code = opened->Status(&status);
  if (code != 0) {
    // A missing directory included: there is nothing here this call may vouch for.
    ReportScanFailure(kDeleteListError);
    return 0;
  }
  return DeleteDirContents(*opened);
}

int CVELDAR2Engine::DeleteDirContents(OsDir& directory) {
  FileStatus status;
  std::vector<DirEntry> entries;
  int code = directory.Status(&status);
  // The tree being copied from, reached inside what is being deleted (a bind
  // mount of the source within the backup directory): never emptied.
  if (code == 0 && guarded_ && status.SameEntryAs(*guarded_)) {
    WriteFailure(std::string(kDeleteSourceError) + directory.Path());
    return 0;
  }
  // Nothing in a directory its owner may not write to can be deleted (a copy
  // of a read-only directory): the owner gets write and search first.
  if (code == 0 && (status.permissions & 0700) != 0700) {
    directory.SetPermissions("", status.permissions | 0700);
  }
  if (code == 0) code = directory.List(&entries);
  if (code != 0 && entries.empty()) {
    ReportScanFailure(kDeleteListError);
    return 0;
  }
  // A listing broken off part way is worked through as far as it got; the
  // entries left behind make the caller's removal of the directory fail, and
  // that failure is reported there.

  for (const DirEntry& entry : entries) {
    // Asked to stop: what is left goes with the next run.
    if (CancelRequested()) return 0;
    bool asFile = entry.status.kind != EntryKind::Directory;
    if (!asFile) {
      switch (EmptySubdir(directory, entry.name, status)) {
        case Emptied::kStopped: return 0;
        case Emptied::kGone: continue;
        case Emptied::kNotADirectory: asFile = true; break;
        case Emptied::kYes: break;
      }
    }
    if (asFile) {
      // Files, links (never what they point to) and special files alike.
      if (!FileDelete(directory, entry.name) && !noMessage) {
        messages.Show(kDeleteFileError);
        return 0;
      }
    } else if (!DirRemove(directory, entry.name) && !noMessage) {
      messages.Show(kDeleteDirError);
      return 0;
    }
  }
  return 1;
}

CVELDAR2Engine::Emptied CVELDAR2Engine::EmptySubdir(OsDir& dir, const std::string& name,
                                                    const FileStatus& dirStatus) {
  std::unique_ptr<OsDir> sub;
  FileStatus status;
  int code = dir.OpenDir(name, &sub);
  if (code == 0) code = sub->Status(&status);
  if (code != 0) {
    if (os.IsNotFound(code)) return Emptied::kGone;
    if (os.IsNotDirectory(code)) return Emptied::kNotADirectory;
    ReportScanFailure(kDeleteListError);
    return Emptied::kStopped;
  }
  // Another mount here (a bind mount of a directory that may be anything,
  // the source among it) is not ours to empty; removing it then fails.
  if (!status.SameMountAs(dirStatus)) return Emptied::kYes;
  return DeleteDirContents(*sub) ? Emptied::kYes : Emptied::kStopped;
}

void CVELDAR2Engine::ReportVanished(const std::string& path) {
  ++vanishedCount;
  WriteLog("Source vanished, copy canceled! : " + path);
}

}  // namespace veldar
