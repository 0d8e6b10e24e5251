// Generations: how copies of the source are named in the backup directory,
// how the copies of the current source are found again and ordered by age,
// and how the name of a new one is chosen.
//
// There is no index: a generation is recognised by its name alone, so the
// recognition is strict. Only names of the exact forms
//   directory source "docs":      docs_<slot>
//   file source "report.doc":     report_<slot>.doc_
// with a slot of 1 to 98 written without leading zeros count, compared
// without regard to ASCII case. A directory generation must be a real
// directory and a file generation a regular file (links never count), so that
// no run ever deletes or overwrites an entry that is not one of its own
// copies. The age of a generation is its creation time.

#include <algorithm>
#include <cctype>
#include <numeric>
#include <string_view>

#include "engine/engine.h"

namespace veldar {
namespace {

constexpr int kMaxSlot = 98;

char LowerAscii(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// The slot number that `digits` spells: 1 to 98 in decimal without leading
// zeros; 0 for anything else.
int SlotOf(std::string_view digits) {
  if (digits.empty() || digits.size() > 2 || digits[0] == '0') return 0;
  int slot = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    slot = slot * 10 + (c - '0');
  }
  return slot <= kMaxSlot ? slot : 0;
}

// True when `name` is `prefix` + slot + `suffix`, prefix and suffix compared
// without regard to case.
bool IsSlotName(std::string_view name, std::string_view prefix, std::string_view suffix) {
  if (name.size() <= prefix.size() + suffix.size()) return false;
  if (!EqualsNoCase(name.substr(0, prefix.size()), prefix)) return false;
  if (!EqualsNoCase(name.substr(name.size() - suffix.size()), suffix)) return false;
  return SlotOf(name.substr(prefix.size(), name.size() - prefix.size() - suffix.size())) != 0;
}

// The source file's name split at its first ".": the base name before it and
// the extension part after it. A name without a dot is all extension part.
struct FileNameParts {
  std::string base;
  std::string extension;
};

FileNameParts SplitFileName(const std::string& name) {
  auto dot = name.find('.');
  if (dot == std::string::npos) return {std::string(), name};
  return {name.substr(0, dot), name.substr(dot + 1)};
}

// "%s_" and ".%s_": what surrounds the slot in a file generation's name.
std::string FilePrefix(const FileNameParts& parts) { return parts.base + "_"; }
std::string FileSuffix(const FileNameParts& parts) { return "." + parts.extension + "_"; }

// The lowest slot whose name, as `nameOf` spells it, is neither in the
// generation list (without regard to case) nor taken by anything else in the
// backup directory; empty when all 98 are taken. Checking the disk as well as
// the list keeps a new generation off a file, a link or a directory of the
// same name that the scan did not take for a generation: a copy or a mirror
// there would replace it or, through a link, write somewhere else entirely.
template <typename NameOf>
std::string FirstFreeName(CVELDAR2Engine& engine, NameOf nameOf) {
  for (int slot = 1; slot <= kMaxSlot; ++slot) {
    std::string candidate = nameOf(slot);
    bool listed =
        std::any_of(engine.generations.begin(), engine.generations.end(),
                    [&](const CFileEntry& entry) { return EqualsNoCase(entry.name, candidate); });
    if (listed) continue;
    FileStatus status;
    int code = engine.os.Stat(engine.JoinPath(engine.backupDir, candidate), false, &status);
    // Only a name that is certainly absent is free; one that cannot be
    // checked is passed over.
    if (code != 0 && engine.os.IsNotFound(code)) return candidate;
  }
  return std::string();
}

}  // namespace

int CVELDAR2Engine::FindFileGenerations() {
  generations.clear();
  const FileNameParts parts = SplitFileName(NameOf(sourcePath));
  const std::string prefix = FilePrefix(parts);
  const std::string suffix = FileSuffix(parts);

  std::vector<DirEntry> entries;
  int code = os.ListDir(backupDir, true, &entries);
  for (const DirEntry& entry : entries) {
    if (entry.status.kind != EntryKind::File) continue;
    if (!IsSlotName(entry.name, prefix, suffix)) continue;
    CFileEntry record;
    record.name = entry.name;
    record.time = entry.status.birthSec;
    record.timeNsec = entry.status.birthNsec;
    record.kind = entry.status.kind;
    generations.push_back(std::move(record));
  }
  // A listing that broke off leaves what it read in the list, unnumbered.
  if (code != 0) return 0;
  return NumberGenerations();
}

int CVELDAR2Engine::FindDirGenerations() {
  generations.clear();
  const std::string prefix = NameOf(sourcePath) + "_";

  std::vector<DirEntry> entries;
  int code = os.ListDir(backupDir, true, &entries);
  for (const DirEntry& entry : entries) {
    if (entry.status.kind != EntryKind::Directory) continue;
    if (!IsSlotName(entry.name, prefix, std::string_view())) continue;
    CFileEntry record;
    record.name = entry.name;
    record.time = entry.status.birthSec;
    record.timeNsec = entry.status.birthNsec;
    record.isDirectory = true;
    record.kind = entry.status.kind;
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

bool CVELDAR2Engine::IsDirGenerationName(const std::string& name) const {
  return IsSlotName(name, NameOf(sourcePath) + "_", std::string_view());
}

void CVELDAR2Engine::MakeFileGenerationPath() {
  const FileNameParts parts = SplitFileName(NameOf(sourcePath));
  std::string name = FirstFreeName(*this, [&](int slot) {
    return FilePrefix(parts) + std::to_string(slot) + FileSuffix(parts);
  });
  if (!name.empty()) targetPath = JoinPath(backupDir, name);
}

std::string CVELDAR2Engine::MakeDirGenerationName() {
  const std::string stem = NameOf(sourcePath);
  return FirstFreeName(*this, [&](int slot) { return stem + "_" + std::to_string(slot); });
}

}  // namespace veldar
