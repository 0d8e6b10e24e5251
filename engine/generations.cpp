#include "engine/generations.h"

#include <algorithm>
#include <memory>
#include <numeric>
#include <string_view>
#include <tuple>

#include "engine/manifest.h"
#include "platform/os_paths.h"

namespace veldar {

Status Generations::List(std::vector<DirEntry>* entries, const NameFilter& wanted) {
  if (open_) return open_->List(entries, wanted);
  return ListDir(os_, backupDir_, /*followLink=*/true, entries, wanted);
}

Status Generations::StatAt(const std::string& name, FileStatus* status) {
  if (open_) return open_->StatAt(name, status);
  return Stat(os_, os_.Paths().Join(backupDir_, name), /*followLink=*/false, status);
}

// The entries the scan takes: listed by a name that matches without regard
// to case, kept when the file system folds case too or the name matches
// exactly. Two sources whose names differ only in case keep apart wherever
// the file system does. Only names of the generation form cost a status
// call: a backup directory used for a mirror may hold a whole tree's top
// level.
template <typename Matches>
int Generations::Find(std::vector<CFileEntry>* list, Matches matches, EntryKind kind) {
  list->clear();
  if (kind == EntryKind::Directory) incomplete_.clear();
  auto markSlot = [&](std::string_view name) {
    return kind == EntryKind::Directory ? ServiceNameSlot(name, sourceName_, kIncompleteSuffix) : 0;
  };
  std::vector<DirEntry> entries;
  const Status code = List(&entries, [&](std::string_view name) { return matches(name, true) || markSlot(name) != 0; });
  std::optional<std::uint32_t> directoryOwner;
  auto ownerOfDirectory = [&] {
    if (!directoryOwner) {
      FileStatus directory;
      const bool known =
          (open_ ? open_->Stat(&directory) : Stat(os_, backupDir_, /*followLink=*/true, &directory)).ok();
      directoryOwner = known ? directory.owner : os_.UserId();
    }
    return *directoryOwner;
  };
  std::erase_if(entries, [&](const DirEntry& entry) {
    const int slot = markSlot(entry.name);
    if (slot == 0) return false;
    if (entry.status.kind == EntryKind::File &&
        (entry.status.owner == os_.UserId() || entry.status.owner == ownerOfDirectory())) {
      incomplete_.push_back(DirGenerationName(sourceName_, slot));
    }
    return true;
  });
  foldsCase_ = FoldsCase(entries, [&](const std::string& name, FileStatus* status) { return StatAt(name, status); });
  if (!*foldsCase_) std::erase_if(entries, [&](const DirEntry& entry) { return !matches(entry.name, false); });
  for (const DirEntry& entry : entries) {
    if (entry.status.kind != kind) continue;
    const bool marked = std::any_of(incomplete_.begin(), incomplete_.end(), [&](const std::string& name) {
      return *foldsCase_ ? EqualsNoCase(name, entry.name) : name == entry.name;
    });
    if (marked) continue;
    CFileEntry record;
    record.name = entry.name;
    record.time = entry.status.birthSec;
    record.timeNsec = entry.status.birthNsec;
    record.isDirectory = kind == EntryKind::Directory;
    record.kind = entry.status.kind;
    record.status = entry.status;
    list->push_back(std::move(record));
  }
  // A listing that broke off leaves what it read in the list, unnumbered.
  if (!code.ok()) return 0;
  if (kind == EntryKind::Directory) {
    for (CFileEntry& record : *list) AgeByManifest(record);
  }
  Number(*list);
  return 1;
}

int Generations::FindFiles(std::vector<CFileEntry>* list) {
  return Find(
      list, [&](std::string_view name, bool fold) { return IsFileGenerationName(name, sourceName_, fold); },
      EntryKind::File);
}

int Generations::FindDirs(std::vector<CFileEntry>* list) {
  return Find(
      list, [&](std::string_view name, bool fold) { return veldar::IsDirGenerationName(name, sourceName_, fold); },
      EntryKind::Directory);
}

int Generations::FindOfSource(const std::string& sourcePath, std::vector<CFileEntry>* list, bool* directory) {
  FileStatus source;
  if (Stat(os_, sourcePath, /*followLink=*/true, &source).ok()) {
    *directory = source.kind == EntryKind::Directory;
    return *directory ? FindDirs(list) : FindFiles(list);
  }
  *directory = true;
  const int found = FindDirs(list);
  if (!found || !list->empty()) return found;
  const int files = FindFiles(list);
  *directory = list->empty();
  return files;
}

Status Generations::ScanError() {
  std::vector<DirEntry> none;
  const Status code = List(&none, [](std::string_view) { return false; });
  return code.ok() ? os_.Error(ErrorKind::kIo) : code;
}

void Generations::AgeByManifest(CFileEntry& record) {
  std::unique_ptr<OsDir> opened;
  const Status code = open_ ? open_->OpenDir(record.name, &opened)
                            : os_.OpenDir(os_.Paths().Join(backupDir_, record.name), /*followLink=*/false, &opened);
  FileStatus manifest;
  if (!code.ok() || !opened->StatAt(kManifestName, &manifest).ok() || manifest.kind != EntryKind::File) return;
  if (std::make_pair(manifest.mtimeSec, manifest.mtimeNsec) < std::make_pair(record.time, record.timeNsec)) {
    record.time = manifest.mtimeSec;
    record.timeNsec = manifest.mtimeNsec;
  }
}

void Generations::Number(std::vector<CFileEntry>& list) {
  std::vector<std::size_t> order(list.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const CFileEntry& x = list[a];
    const CFileEntry& y = list[b];
    return std::tie(x.time, x.timeNsec, x.status.birthSec, x.status.birthNsec) >
           std::tie(y.time, y.timeNsec, y.status.birthSec, y.status.birthNsec);
  });
  for (std::size_t rank = 0; rank < order.size(); ++rank) {
    list[order[rank]].generation = static_cast<std::int32_t>(rank);
  }
}

bool Generations::IsDirGenerationName(const std::string& name) const {
  return veldar::IsDirGenerationName(name, sourceName_);
}

// The lowest slot whose name, as `nameOf` spells it, is neither in the list
// nor taken by anything else in the backup directory. Checking the disk as
// well as the list keeps a new generation off a file, a link or a directory
// of the same name that the scan did not take for a generation: a copy or a
// mirror there would replace it or, through a link, write somewhere else.
template <typename NameOf>
std::string Generations::FreeName(const std::vector<CFileEntry>& list, NameOf nameOf) {
  if (!foldsCase_) {
    foldsCase_ = FoldsCase(list, [&](const std::string& name, FileStatus* status) { return StatAt(name, status); });
  }
  for (int slot = 1; slot <= kMaxGenerationSlot; ++slot) {
    std::string candidate = nameOf(slot);
    const bool listed = std::any_of(list.begin(), list.end(), [&](const CFileEntry& entry) {
      return *foldsCase_ ? EqualsNoCase(entry.name, candidate) : entry.name == candidate;
    });
    if (listed) continue;
    FileStatus status;
    const Status code = StatAt(candidate, &status);
    // Only a name that is certainly absent is free; one that cannot be
    // checked is passed over.
    if (!code.ok() && code.Is(ErrorKind::kNotFound)) return candidate;
  }
  return std::string();
}

std::string Generations::FreeFileName(const std::vector<CFileEntry>& list) {
  return FreeName(list, [&](int slot) { return FileGenerationName(sourceName_, slot); });
}

std::string Generations::FreeDirName(const std::vector<CFileEntry>& list) {
  return FreeName(list, [&](int slot) { return DirGenerationName(sourceName_, slot); });
}

}  // namespace veldar
