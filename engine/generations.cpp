// Generations: how the copies of the current source are found again in the
// backup directory and ordered by age, and how the name of a new one is
// chosen.
//
// There is no index: a generation is recognised by its name alone, so the
// recognition is strict (generation_names.h spells and recognises the names),
// and names are compared as the backup directory's file system compares them:
// exactly, unless it ignores case.
// A directory generation must also be a real directory and a file generation
// a regular file (links never count), so that no run ever deletes or
// overwrites an entry that is not one of its own copies. The age of a
// generation is its creation time.

#include <algorithm>
#include <numeric>
#include <string_view>

#include "engine/engine.h"
#include "engine/generation_names.h"

namespace veldar {
namespace {

// The lowest slot whose name, as `nameOf` spells it, is neither in the
// generation list (without regard to case) nor taken by anything else in the
// backup directory; empty when all 98 are taken. Checking the disk as well as
// the list keeps a new generation off a file, a link or a directory of the
// same name that the scan did not take for a generation: a copy or a mirror
// there would replace it or, through a link, write somewhere else entirely.
template <typename NameOf>
std::string FirstFreeName(CVELDAR2Engine& engine, NameOf nameOf) {
  for (int slot = 1; slot <= kMaxGenerationSlot; ++slot) {
    std::string candidate = nameOf(slot);
    bool listed = std::any_of(
        engine.generations.begin(), engine.generations.end(), [&](const CFileEntry& entry) {
          return engine.backupFoldsCase ? EqualsNoCase(entry.name, candidate)
                                        : entry.name == candidate;
        });
    if (listed) continue;
    FileStatus status;
    int code = engine.StatInBackupDir(candidate, &status);
    // Only a name that is certainly absent is free; one that cannot be
    // checked is passed over.
    if (code != 0 && engine.os.IsNotFound(code)) return candidate;
  }
  return std::string();
}

// The entries the scan takes: listed by a name that matches without regard
// to case, kept when the file system folds case too or the name matches
// exactly. Two sources whose names differ only in case keep apart wherever
// the file system does.
template <typename Matches>
void KeepGenerations(CVELDAR2Engine& engine, std::vector<DirEntry>& entries, Matches matches) {
  engine.backupFoldsCase = FoldsCase(entries, [&](const std::string& name, FileStatus* status) {
    return engine.StatInBackupDir(name, status);
  });
  if (engine.backupFoldsCase) return;
  std::erase_if(entries, [&](const DirEntry& entry) { return !matches(entry.name); });
}

}  // namespace

int CVELDAR2Engine::FindFileGenerations() {
  generations.clear();
  const std::string sourceName = NameOf(sourcePath);

  // Only names of the generation form cost a status call: a backup directory
  // used for a mirror may hold a whole tree's top level.
  std::vector<DirEntry> entries;
  int code = ListBackupDir(&entries, [&](std::string_view name) {
    return IsFileGenerationName(name, sourceName);
  });
  KeepGenerations(*this, entries, [&](const std::string& name) {
    return IsFileGenerationName(name, sourceName, /*foldCase=*/false);
  });
  for (const DirEntry& entry : entries) {
    if (entry.status.kind != EntryKind::File) continue;
    CFileEntry record;
    record.name = entry.name;
    record.time = entry.status.birthSec;
    record.timeNsec = entry.status.birthNsec;
    record.kind = entry.status.kind;
    record.status = entry.status;
    generations.push_back(std::move(record));
  }
  // A listing that broke off leaves what it read in the list, unnumbered.
  if (code != 0) return 0;
  return NumberGenerations();
}

int CVELDAR2Engine::FindDirGenerations() {
  generations.clear();
  const std::string sourceName = NameOf(sourcePath);

  std::vector<DirEntry> entries;
  int code = ListBackupDir(&entries, [&](std::string_view name) {
    return veldar::IsDirGenerationName(name, sourceName);
  });
  KeepGenerations(*this, entries, [&](const std::string& name) {
    return veldar::IsDirGenerationName(name, sourceName, /*foldCase=*/false);
  });
  for (const DirEntry& entry : entries) {
    if (entry.status.kind != EntryKind::Directory) continue;
    CFileEntry record;
    record.name = entry.name;
    record.time = entry.status.birthSec;
    record.timeNsec = entry.status.birthNsec;
    record.isDirectory = true;
    record.kind = entry.status.kind;
    record.status = entry.status;
    generations.push_back(std::move(record));
  }
  if (code != 0) return 0;
  return NumberGenerations();
}

// Numbers the list by age: 0 for the latest creation time, compared to the
// nanosecond, so that runs within one second rank in the order they ran.
// Records of equal time keep their list order (the earlier one gets the lower
// number), which is what a stable sort on the time, latest first, gives.
int CVELDAR2Engine::NumberGenerations() {
  std::vector<std::size_t> order(generations.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
    const CFileEntry& x = generations[a];
    const CFileEntry& y = generations[b];
    return x.time != y.time ? x.time > y.time : x.timeNsec > y.timeNsec;
  });
  for (std::size_t rank = 0; rank < order.size(); ++rank) {
    generations[order[rank]].generation = static_cast<std::int32_t>(rank);
  }
  return 1;
}

int CVELDAR2Engine::ListBackupDir(std::vector<DirEntry>* entries, const NameFilter& wanted) {
  if (runBackupDir_) return runBackupDir_->List(entries, wanted);
  return os.ListDir(backupDir, /*followLink=*/true, entries, wanted);
}

int CVELDAR2Engine::StatInBackupDir(const std::string& name, FileStatus* status) {
  if (runBackupDir_) return runBackupDir_->StatAt(name, status);
  return os.Stat(JoinPath(backupDir, name), /*followLink=*/false, status);
}

bool CVELDAR2Engine::IsDirGenerationName(const std::string& name) const {
  return veldar::IsDirGenerationName(name, NameOf(sourcePath));
}

void CVELDAR2Engine::MakeFileGenerationPath() {
  const std::string sourceName = NameOf(sourcePath);
  std::string name =
      FirstFreeName(*this, [&](int slot) { return FileGenerationName(sourceName, slot); });
  if (!name.empty()) targetPath = JoinPath(backupDir, name);
}

std::string CVELDAR2Engine::MakeDirGenerationName() {
  const std::string sourceName = NameOf(sourcePath);
  return FirstFreeName(*this, [&](int slot) { return DirGenerationName(sourceName, slot); });
}

}  // namespace veldar
