#pragma once
// Generations: how the copies of one source are found again in the backup
// directory and ordered by age, and how the name of a new one is chosen.
//
// There is no index: a generation is recognised by its name alone, so the
// recognition is strict (generation_names.h spells and recognises the names),
// and names are compared as the backup directory's file system compares them:
// exactly, unless it ignores case. A directory generation must also be a real
// directory and a file generation a regular file (links never count), so that
// no run ever deletes or overwrites an entry that is not one of its own
// copies. The age of a generation is its creation time, or the last-write
// time of its manifest where that is earlier: a medium without creation
// times gives a directory's last-write time, which some lose when mounted
// again (an rclone mount caching writes shows the time of the mount), while
// a file's time stays, and the manifest is written as its copy completes.

#include <optional>
#include <string>
#include <vector>

#include "engine/file_entry.h"
#include "engine/generation_names.h"
#include "platform/os.h"

namespace veldar {

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
    return stat(swapped, &status).ok() && status.SameEntryAs(entry.status);
  }
  return false;
}

// The generations of the source named `sourceName` in the backup directory
// `backupDir`, reached through `open` when the caller holds it open (a run
// does), else by its path.
class Generations {
 public:
  Generations(Os& os, std::string backupDir, std::string sourceName, OsDir* open = nullptr)
      : os_(os), backupDir_(std::move(backupDir)), sourceName_(std::move(sourceName)), open_(open) {}

  // Rebuilds `list` with the file / directory generations, numbered 0 for
  // the newest. 1: list built (possibly empty); 0: the backup directory
  // could not be read (what was read stays in the list, unnumbered).
  [[nodiscard]] int FindFiles(std::vector<CFileEntry>* list);
  [[nodiscard]] int FindDirs(std::vector<CFileEntry>* list);
  // The same for the source at `sourcePath`, of its kind: directory
  // generations for a directory, file generations for anything else. A
  // source that cannot be examined (gone: the user restores it) is a
  // directory where the backup directory holds directory generations of its
  // name or no file generations of it. `*directory` receives the kind taken.
  [[nodiscard]] int FindOfSource(const std::string& sourcePath, std::vector<CFileEntry>* list, bool* directory);
  // The generations of the last directory scan marked as no generation yet or
  // no more (kIncompleteSuffix), whether or not their directory is there:
  // the scan leaves them out. A mark counts only where made by this user or
  // by the backup directory's owner, who could change its entries anyway.
  const std::vector<std::string>& Incomplete() const { return incomplete_; }

  // Why a scan that returned 0 broke off: a second look, which takes no
  // entry, gives the system's reason (kIo where it succeeds).
  Status ScanError();

  // The lowest free file / directory generation name: neither in `list`
  // (without regard to case where the backup directory ignores it) nor
  // taken by anything else there; empty when all 98 are taken.
  std::string FreeFileName(const std::vector<CFileEntry>& list);
  std::string FreeDirName(const std::vector<CFileEntry>& list);

  // True when `name` has the exact form of a directory generation of the
  // source ("<source name>_<slot>", slot 1 to 98).
  bool IsDirGenerationName(const std::string& name) const;

  // The backup directory's entries (`wanted` ones), and the status of one of
  // them.
  Status List(std::vector<DirEntry>* entries, const NameFilter& wanted);
  Status StatAt(const std::string& name, FileStatus* status);

  // Numbers `list` by age: 0 for the latest, compared to the nanosecond, so
  // that runs within one second rank in the order they ran; records of equal
  // age by their entries' own creation times (manifests written within one
  // tick of a coarse medium's clock), then in their list order.
  static void Number(std::vector<CFileEntry>& list);

 private:
  template <typename Matches>
  [[nodiscard]] int Find(std::vector<CFileEntry>* list, Matches matches, EntryKind kind);
  // Makes the directory generation `record` as old as its manifest's
  // last-write time where that is earlier than its own.
  void AgeByManifest(CFileEntry& record);
  template <typename NameOf>
  std::string FreeName(const std::vector<CFileEntry>& list, NameOf nameOf);

  Os& os_;
  std::string backupDir_;
  std::string sourceName_;
  OsDir* open_;
  // Whether the backup directory ignores case, as the last Find (or FreeName)
  // found out.
  std::optional<bool> foldsCase_;
  std::vector<std::string> incomplete_;
};

}  // namespace veldar
