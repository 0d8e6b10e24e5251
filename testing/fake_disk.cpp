#include "testing/fake_disk.h"

#include <vector>

namespace veldar {
namespace {

bool EqualsFolded(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// The name of the entry of `dir` that `name` reaches where case is ignored:
// `name` itself where it is there, or not there in any case.
std::string FoldedName(OsDir& dir, const std::string& name) {
  std::vector<DirEntry> entries;
  (void)dir.List(&entries);
  for (const DirEntry& entry : entries) {
    if (entry.name == name) return name;
  }
  for (const DirEntry& entry : entries) {
    if (EqualsFolded(entry.name, name)) return entry.name;
  }
  return name;
}

}  // namespace

Status FakeDisk::ProbeMedium(OsDir& dir, MediumTraits* traits) {
  if (!medium) return dir.ProbeMedium(traits);
  *traits = *medium;
  return Status();
}

Status FakeDisk::CloneFile(OsDir& dir, const std::string& name, OsDir& toDir, const std::string& to,
                           const FileStatus& expected) {
  if (!canClone.value_or(false) || dir.CanClone()) return dir.CloneFile(name, toDir, to, expected);
  // A clone where the file system has none: fails as the real clone would
  // (when `name` is not the file `expected` describes, or when `to`
  // exists), else makes `to` an unflushed copy of it.
  FileStatus now;
  if (Status code = dir.StatAt(name, &now); !code.ok()) return code;
  if (now.kind != EntryKind::File || !now.SameEntryAs(expected) || now.size != expected.size ||
      now.mtimeSec != expected.mtimeSec || now.mtimeNsec != expected.mtimeNsec) {
    return Error(ErrorKind::kChanged);
  }
  FileStatus existing;
  const Status code = toDir.StatAt(to, &existing);
  if (code.ok()) return Error(ErrorKind::kExists);
  if (!code.Is(ErrorKind::kNotFound)) return code;
  return dir.CopyFile(name, toDir, to, CopyMode::Unflushed);
}

Status FakeDisk::StatAt(OsDir& dir, const std::string& name, FileStatus* status, bool followLink) {
  return dir.StatAt(foldsCase ? FoldedName(dir, name) : name, status, followLink);
}

Status FakeDisk::MoveNoReplace(OsDir& dir, const std::string& from, OsDir& toDir, const std::string& to) {
  FileStatus status;
  if (renameFlagsRefused && dir.StatAt(from, &status).ok() && status.kind == EntryKind::Directory) {
    return Error(ErrorKind::kUnsupported);
  }
  return dir.MoveNoReplace(from, toDir, to);
}

Status FakeDisk::Exchange(OsDir& dir, const std::string& a, const std::string& b) {
  return renameFlagsRefused ? Error(ErrorKind::kUnsupported) : dir.Exchange(a, b);
}

void FakeDisk::Seen(const std::string& path, FileStatus* status) {
  ForwardingOs::Seen(path, status);
  if (!coarseTimesSec) return;
  status->mtimeSec -= status->mtimeSec % *coarseTimesSec;
  status->mtimeNsec = 0;
  status->birthSec = status->mtimeSec;
  status->birthNsec = 0;
}

}  // namespace veldar
