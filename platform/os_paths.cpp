#include "platform/os_paths.h"

namespace veldar {

EntryPart FirstPart(const EntryChange& change) {
  if (change.owner) return EntryPart::kOwner;
  if (change.permissions) return EntryPart::kPermissions;
  if (change.attributes || change.readOnly) return EntryPart::kAttributes;
  if (change.times) return EntryPart::kTimes;
  return EntryPart::kNone;
}

// GCC 12 takes the assignment of "." below, inlined from libstdc++, for a copy
// that may overlap itself (-Wrestrict, a known false positive of that
// version's, GCC bug 105329): nothing overlaps, and the warning is silenced
// for this function only.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
Status OpenParent(Os& os, const std::string& path, std::unique_ptr<OsDir>* parent, std::string* name) {
  const PathRules& paths = os.Paths();
  const std::string trimmed = paths.WithoutTrailingSeparators(path);
  *name = paths.NameOf(trimmed);
  std::string directory = paths.ParentOf(trimmed);
  if (name->empty() || *name == "." || *name == "..") return os.Error(ErrorKind::kInvalid);
  if (directory.empty()) directory = ".";
  return os.OpenDir(directory, /*followLink=*/true, parent);
}
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif

namespace {

// Opens the parent of `path` and calls `operation(parent, name)`.
template <typename Operation>
Status AtParent(Os& os, const std::string& path, Operation operation) {
  std::unique_ptr<OsDir> parent;
  std::string name;
  if (Status opened = OpenParent(os, path, &parent, &name); !opened.ok()) return opened;
  return operation(*parent, name);
}

}  // namespace

Status CopyFile(Os& os, const std::string& from, const std::string& to, CopyMode mode, std::uint64_t* bytesCopied,
                CopyProgress* progress) {
  if (bytesCopied) *bytesCopied = 0;
  std::unique_ptr<OsDir> target;
  std::string targetName;
  if (Status opened = OpenParent(os, to, &target, &targetName); !opened.ok()) return opened;
  return AtParent(os, from, [&](OsDir& source, const std::string& name) {
    return source.CopyFile(name, *target, targetName, mode, bytesCopied, nullptr, progress);
  });
}

Status DeleteFile(Os& os, const std::string& path) {
  return AtParent(os, path, [](OsDir& dir, const std::string& name) { return dir.DeleteFile(name); });
}

Status RemoveDir(Os& os, const std::string& path) {
  return AtParent(os, path, [](OsDir& dir, const std::string& name) { return dir.RemoveDir(name); });
}

Status CreateDir(Os& os, const std::string& path) {
  return AtParent(os, path, [](OsDir& dir, const std::string& name) { return dir.CreateDir(name); });
}

Status MoveNoReplace(Os& os, const std::string& from, const std::string& to) {
  std::unique_ptr<OsDir> target;
  std::string targetName;
  if (Status opened = OpenParent(os, to, &target, &targetName); !opened.ok()) return opened;
  return AtParent(os, from, [&](OsDir& source, const std::string& name) {
    return source.MoveNoReplace(name, *target, targetName);
  });
}

Status ChangeEntry(Os& os, const std::string& path, const EntryChange& change, EntryPart* failed) {
  if (failed) *failed = FirstPart(change);
  return AtParent(os, path, [&](OsDir& dir, const std::string& name) { return dir.ChangeEntry(name, change, failed); });
}

Status Stat(Os& os, const std::string& path, bool followLink, FileStatus* status) {
  std::unique_ptr<OsDir> parent;
  std::string name;
  const Status opened = OpenParent(os, path, &parent, &name);
  if (opened.Is(ErrorKind::kInvalid)) {
    // A root, "." or "..": a directory that is its own entry.
    std::unique_ptr<OsDir> dir;
    Status code = os.OpenDir(path, /*followLink=*/true, &dir);
    if (code.ok()) code = dir->Stat(status);
    return code;
  }
  if (!opened.ok()) return opened;
  return parent->StatAt(name, status, followLink);
}

Status ListDir(Os& os, const std::string& path, bool followLink, std::vector<DirEntry>* entries,
               const NameFilter& wanted) {
  entries->clear();
  std::unique_ptr<OsDir> dir;
  if (Status opened = os.OpenDir(path, followLink, &dir); !opened.ok()) return opened;
  return dir->List(entries, wanted);
}

Status OpenListedDir(Os& os, OsDir& parent, const std::string& name, const FileStatus& listed,
                     std::unique_ptr<OsDir>* dir, FileStatus* status) {
  Status code = parent.OpenDir(name, dir);
  if (code.ok()) code = (*dir)->Stat(status);
  // A FUSE or network mount may show an entry's old number for a moment
  // after a rename (its attributes as the kernel kept them): the directory
  // is asked again past that before it is taken for another.
  if (code.ok() && !status->SameEntryAs(listed)) {
    code = (*dir)->FreshStat(status);
    if (code.ok() && !status->SameEntryAs(listed)) code = os.Error(ErrorKind::kChanged);
  }
  if (!code.ok()) dir->reset();
  return code;
}

}  // namespace veldar
