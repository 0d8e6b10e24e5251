// Directory listings for the tree mirror, and the depth-first deletion of a
// directory's contents.
//
// Each directory is read once (`Os::ListDir`: one pass over the directory with
// one status call per entry, relative to the open directory). Entries carry
// what they are: a link is a link, never the directory it may point to, so
// nothing here ever reaches outside the directory it was given.

#include <string>
#include <vector>

#include "engine/engine.h"

namespace veldar {
namespace {

constexpr const char kSourceFirstError[] = "ERROR AT LOCAL FILE FINDFIRSTFILE! at ";
constexpr const char kTargetFirstError[] = "ERROR AT LOCAL FILE FINDFIRSTFILE! in ";
constexpr const char kNextError[] = "ERROR AT LOCAL FILE FINDNEXTFILE!";
constexpr const char kDeleteListError[] = "ERROR AT LOCAL FINDFIRST FILE IN DELETE!";
constexpr const char kDeleteDirError[] = "ERROR AT DELETE DIRECTORY IN DELETE!";
constexpr const char kDeleteFileError[] = "ERROR AT DELETE FILE IN DELETE!";

}  // namespace

void CVELDAR2Engine::ReportScanFailure(const std::string& text) {
  if (noMessage) {
    WriteFailure(text);
  } else {
    ++failureCount;
    messages.Show(text);
  }
}

int CVELDAR2Engine::ListDir(std::vector<CFileEntry>& list, const std::string& directory,
                            const char* firstError, bool followLink) {
  std::vector<DirEntry> entries;
  const int code = os.ListDir(directory, followLink, &entries);
  return TakeListing(list, directory, firstError, code, entries);
}

int CVELDAR2Engine::TakeListing(std::vector<CFileEntry>& list, const std::string& directory,
                                const char* firstError, int code, std::vector<DirEntry>& entries) {
  if (code != 0 && entries.empty()) {
    if (os.IsNotFound(code)) return 1;
    // The message names the directory the way a wildcard search would.
    ReportScanFailure(firstError + JoinPath(directory, "*"));
    return 0;
  }
  list.reserve(list.size() + entries.size());
  for (DirEntry& entry : entries) {
    CFileEntry& added = list.emplace_back();
    added.name = std::move(entry.name);
    added.time = entry.status.mtimeSec;  // whole seconds: the mirror compares these
    added.kind = entry.status.kind;
    added.isDirectory = entry.status.kind == EntryKind::Directory;
  }
  if (code != 0) {
    // Broken off part way: what was read stays in the list.
    ReportScanFailure(kNextError);
    return 0;
  }
  return 1;
}

int CVELDAR2Engine::ListSourceDir(CListingPair& pair, const std::string& directory) {
  return ListDir(pair.sourceList, directory, kSourceFirstError, /*followLink=*/true);
}

int CVELDAR2Engine::ListTargetDir(CListingPair& pair, const std::string& directory) {
  return ListDir(pair.targetList, directory, kTargetFirstError, /*followLink=*/true);
}

int CVELDAR2Engine::DeleteDirContents(const std::string& directory) {
  // Never through a final link: had `directory` been swapped for a link since
  // it was listed, emptying it would delete whatever the link points to.
  std::vector<DirEntry> entries;
  const int code = os.ListDir(directory, /*followLink=*/false, &entries);
  if (code != 0 && entries.empty()) {
    // A missing directory included: there is nothing here this call may vouch for.
    ReportScanFailure(kDeleteListError);
    return 0;
  }
  // A listing broken off part way is worked through as far as it got; the
  // entries left behind make the caller's removal of the directory fail, and
  // that failure is reported there.

  std::string path = directory;
  path += os.Separator();
  const std::size_t base = path.size();
  for (const DirEntry& entry : entries) {
    path.resize(base);
    path += entry.name;
    if (entry.status.kind == EntryKind::Directory) {
      if (!DeleteDirContents(path)) return 0;
      if (!DirRemove(path) && !noMessage) {
        messages.Show(kDeleteDirError);
        return 0;
      }
    } else {
      // Files, links (never what they point to) and special files alike.
      if (!FileDelete(path) && !noMessage) {
        messages.Show(kDeleteFileError);
        return 0;
      }
    }
  }
  return 1;
}

}  // namespace veldar
