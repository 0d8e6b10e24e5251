// The marks of generations that failed their last verify (see verify_marks.h).

#include "engine/verify_marks.h"

#include <memory>

#include "engine/manifest.h"
#include "res/string_table.h"

namespace veldar {

std::string GenerationIdentity(OsDir& backup, const CFileEntry& generation) {
  std::unique_ptr<OsDir> dir;
  FileStatus status;
  const bool found = generation.isDirectory
                         ? backup.OpenDir(generation.name, &dir).ok() && dir->StatAt(kManifestName, &status).ok()
                         : backup.StatAt(SidecarName(generation.name), &status).ok();
  if (!found || status.kind != EntryKind::File) return std::string();
  // Its creation time too, where the file system keeps one: two manifests
  // of a size written within one tick of a coarse clock still differ.
  return std::to_string(status.size) + "." + std::to_string(status.mtimeSec) + "." + std::to_string(status.mtimeNsec) +
         "." + std::to_string(status.birthSec) + "." + std::to_string(status.birthNsec);
}

VerifyMarks::VerifyMarks(SettingsStore& settings, const PathRules& paths, const std::string& backupDir)
    : settings_(settings), key_("D" + ChecksumText(ChecksumOf(paths.WithoutTrailingSeparators(backupDir)))) {
  const std::string value = settings_.Read(LoadString(IDS_SECTION_VERIFY), key_);
  std::size_t start = 0;
  while (start < value.size()) {
    std::size_t end = value.find(' ', start);
    if (end == std::string::npos) end = value.size();
    if (end > start) marked_.insert(value.substr(start, end - start));
    start = end + 1;
  }
}

void VerifyMarks::Record(const std::string& identity, bool holds) {
  if (identity.empty()) return;
  changed_ |= holds ? marked_.erase(identity) != 0 : marked_.insert(identity).second;
}

void VerifyMarks::KeepOnly(const std::set<std::string>& present) {
  for (auto it = marked_.begin(); it != marked_.end();) {
    if (present.count(*it)) {
      ++it;
    } else {
      it = marked_.erase(it);
      changed_ = true;
    }
  }
}

void VerifyMarks::Save() {
  if (!changed_) return;
  std::string value;
  for (const std::string& identity : marked_) value += (value.empty() ? "" : " ") + identity;
  settings_.Write(LoadString(IDS_SECTION_VERIFY), key_, value);
  changed_ = false;
}

}  // namespace veldar
