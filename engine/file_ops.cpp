// The four file operations (see file_ops.h). Each comes in two forms, on
// paths and on names within open directories; one `Entry` stands for either,
// so the rules are written once.
//
// The texts are written as they stand; the log escapes control characters a
// path may hold, so a name cannot break or forge a line.

#include "engine/file_ops.h"
#include "platform/os_paths.h"

#include <string>

namespace veldar {
namespace {

// What an operation acts on: a path (`dir` null), or the entry `name` of the
// open directory `dir`. `path` names it in the log either way.
struct Entry {
  Os& os;
  OsDir* dir;
  const std::string& name;
  std::string path;

  // With `temporary` (open directories only), the first half of a copy
  // whose name is given later (`OsDir::StageCopy`).
  // The copy reports to `progress` (may be null) as it writes.
  Status CopyTo(const Entry& to, CopyMode mode, CopyProgress* progress, std::uint64_t* bytes,
                std::string* temporary = nullptr, bool* readFailed = nullptr) const {
    if (temporary) return dir->StageCopy(name, *to.dir, to.name, temporary, bytes, readFailed, progress);
    return dir ? dir->CopyFile(name, *to.dir, to.name, mode, bytes, readFailed, progress)
               : CopyFile(os, path, to.path, mode, bytes, progress);
  }
  Status Delete() const { return dir ? dir->DeleteFile(name) : DeleteFile(os, path); }
  Status Remove() const { return dir ? dir->RemoveDir(name) : RemoveDir(os, path); }
  Status Create() const { return dir ? dir->CreateDir(name) : CreateDir(os, path); }
  Status Stat(FileStatus* status) const {
    return dir ? dir->StatAt(name, status) : veldar::Stat(os, path, /*followLink=*/false, status);
  }
  Status Change(const EntryChange& change) const {
    return dir ? dir->ChangeEntry(name, change) : ChangeEntry(os, path, change);
  }
};

Entry ByPath(Os& os, const std::string& path) { return Entry{os, nullptr, path, path}; }

Entry InDir(Os& os, OsDir& dir, const std::string& name) {
  return Entry{os, &dir, name, os.Paths().Join(dir.Path(), name)};
}

// The texts of a deletion (FileDelete) or a removal (DirRemove).
struct RemovalTexts {
  const char* done;     // "File Deleted : "
  const char* skipped;  // "File Delete Failed due to Not Force Mode : "
  const char* failed;   // "File Delete Failed : "
};
constexpr RemovalTexts kFileTexts{
    "File Deleted : ", "File Delete Failed due to Not Force Mode : ", "File Delete Failed : "};
constexpr RemovalTexts kDirTexts{
    "Directory Deleted : ", "Directory Delete Failed due to Not Force Mode : ", "Directory Delete Failed : "};

// Whether the entry's attributes may be changed to help an operation along:
// not where other names share the file (a hard link into another
// generation), which would change it under all of them.
bool MayTouch(const Entry& entry, FileStatus* status) { return entry.Stat(status).ok() && status->links <= 1; }

// How a copy is written: flushed and named at once, written under its name
// unflushed (`CopyMode::Unflushed`), or staged under a temporary name.
struct Writing {
  CopyMode replace = CopyMode::Replace;  // the mode of force mode
  std::string* temporary = nullptr;      // staged: receives the temporary name
  std::uint64_t* bytes = nullptr;        // receives the bytes copied
  bool* readFailed = nullptr;            // a failure: whether reading the source failed
  CopyProgress* checksum = nullptr;      // hears the bytes, and passes the progress on
};

// The line and the progress report of a finished copy.
void Copied(Reporter& reporter, const std::string& from, const std::string& to, std::uint64_t bytes) {
  reporter.Done("File Copied : " + from + " to " + to);
  reporter.CountCopied(bytes);
  if (reporter.control().onFileCopied) reporter.control().onFileCopied(from, bytes);
}

// One copy, either form. `vanished`: see the header.
int CopyEntry(Reporter& reporter, const FilePolicy& policy, const Entry& source, const Entry& target, bool* vanished,
              const Writing& writing = {}) {
  if (vanished) *vanished = false;
  RunProgress* progress = reporter.control().progress;
  CopyProgress* copying = writing.checksum ? writing.checksum : progress;
  std::uint64_t bytes = 0;
  if (progress) progress->FileStarted(source.path);
  // A copy stopped at the user's request is no failure: nothing is written
  // about it, and the caller stops the run.
  auto stopped = [&](const Status& code) { return code.Is(ErrorKind::kCancelled); };
  // Whether a failure was only the source having gone since it was listed.
  auto sourceGone = [&](const Status& code) {
    FileStatus status;
    return vanished && code.Is(ErrorKind::kNotFound) && source.Stat(&status).Is(ErrorKind::kNotFound);
  };
  if (!policy.force) {
    const Status code = source.CopyTo(target, CopyMode::FailIfExists, copying, &bytes);
    if (!code.ok()) {
      if (stopped(code)) return 0;
      if (sourceGone(code)) return *vanished = true, 0;
      // An existing target is the usual cause; whatever it was, no-force mode
      // leaves the target as it was and carries on.
      reporter.LeftUndone("File Copy Failed due to Not Force Mode : " + source.path + " to " + target.path);
      return 1;
    }
  } else if (Status first =
                 source.CopyTo(target, writing.replace, copying, &bytes, writing.temporary, writing.readFailed);
             !first.ok()) {
    if (stopped(first)) return 0;
    if (sourceGone(first)) return *vanished = true, 0;
    // A link where this process may not make links (Windows without the
    // privilege): passed over like a special file, nothing to force.
    FileStatus status;
    if (first.Is(ErrorKind::kUnsupported) && source.Stat(&status).ok() && status.kind == EntryKind::Symlink) {
      reporter.Skipped("link found copy canceled! : " + source.path);
      return 1;
    }
    // Make the target writable for the second attempt and give it its old
    // attributes back afterwards, whether or not that attempt worked: a
    // read-only target is overwritten and stays read-only. A target that did
    // not exist has nothing to make writable or to restore.
    FileStatus before;
    const bool existed = MayTouch(target, &before);
    // Whether these attribute changes work shows in the copy that follows.
    if (existed) (void)target.Change({.readOnly = false});
    const Status code = source.CopyTo(target, writing.replace, copying, &bytes, writing.temporary, writing.readFailed);
    if (existed) {
      // A failed copy left the old file, which gets back all it had. A copy
      // that worked is a new file with the source's permissions: of the old
      // file's attributes only the read-only state carries over, never the
      // platform's whole word (on POSIX the old permission bits, which would
      // make a file the owner has since made private readable by all, and no
      // later run would notice).
      if (code.ok()) {
        (void)target.Change({.readOnly = before.attributes.readOnly});
      } else {
        (void)target.Change({.attributes = before.attributes});
      }
    }
    if (!code.ok()) {
      if (stopped(code)) return 0;
      if (sourceGone(code)) return *vanished = true, 0;
      reporter.Failure("File Copy Failed : ", source.path + " to " + target.path, code);
      return 0;
    }
  }
  if (writing.bytes) *writing.bytes = bytes;
  // Staged or not, the content is written: that is what progress counts.
  if (progress) progress->FileFinished(bytes);
  // A staged copy is done once it has its name (Place); no-force mode never
  // stages.
  if (!writing.temporary || writing.temporary->empty()) Copied(reporter, source.path, target.path, bytes);
  return 1;
}

// One deletion or removal, either form.
int RemoveEntry(Reporter& reporter, const FilePolicy& policy, const Entry& entry, bool directory) {
  const RemovalTexts& texts = directory ? kDirTexts : kFileTexts;
  auto attempt = [&] { return directory ? entry.Remove() : entry.Delete(); };
  Status code = attempt();
  if (!policy.force) {
    if (code.ok()) {
      reporter.Done(texts.done + entry.path);
    } else {
      reporter.LeftUndone(texts.skipped, entry.path, code);
    }
    return 1;
  }
  if (code.ok()) {
    // Done at the first attempt: this line carries a line break of its own,
    // so an empty line follows it in the log.
    reporter.Done(texts.done + entry.path, true);
    return 1;
  }
  // The attribute change is not undone if the retry fails as well.
  FileStatus status;
  if (MayTouch(entry, &status)) (void)entry.Change({.readOnly = false});
  code = attempt();
  if (code.ok()) {
    reporter.Done(texts.done + entry.path);
    return 1;
  }
  reporter.Failure(texts.failed, entry.path, code);
  return 0;
}

int CreateEntry(Reporter& reporter, const Entry& entry) {
  const Status code = entry.Create();
  if (!code.ok()) {
    reporter.Failure("Directory Create Failed : ", entry.path, code, CodeSpacing::kTight);
    return 0;
  }
  reporter.Done("Directory Created : " + entry.path);
  return 1;
}

}  // namespace

int FileOps::Copy(const std::string& source, const std::string& target, CopyProgress* checksum) {
  Writing writing;
  writing.checksum = checksum;
  return CopyEntry(reporter_, policy_, ByPath(os_, source), ByPath(os_, target), nullptr, writing);
}

int FileOps::Copy(OsDir& sourceDir, const std::string& sourceName, OsDir& targetDir, const std::string& targetName,
                  bool* vanished, bool unflushed, bool* readFailed, CopyProgress* checksum) {
  Writing writing;
  writing.checksum = checksum;
  if (unflushed) writing.replace = CopyMode::Unflushed;
  writing.readFailed = readFailed;
  return CopyEntry(reporter_, policy_, InDir(os_, sourceDir, sourceName), InDir(os_, targetDir, targetName), vanished,
                   writing);
}

FileOps::Staged FileOps::Stage(OsDir& sourceDir, const std::string& sourceName, OsDir& targetDir,
                               const std::string& targetName, CopyProgress* checksum) {
  Staged staged;
  Writing writing;
  writing.checksum = checksum;
  writing.temporary = &staged.temporary;
  writing.bytes = &staged.bytes;
  writing.readFailed = &staged.readFailed;
  staged.ok = CopyEntry(reporter_, policy_, InDir(os_, sourceDir, sourceName), InDir(os_, targetDir, targetName),
                        &staged.vanished, writing);
  return staged;
}

int FileOps::Place(OsDir& targetDir, const std::string& temporary, const std::string& targetName,
                   const std::string& sourcePath, std::uint64_t bytes) {
  const std::string target = os_.Paths().Join(targetDir.Path(), targetName);
  if (Status code = targetDir.PlaceCopy(temporary, targetName, CopyMode::Replace); !code.ok()) {
    (void)targetDir.DeleteFile(temporary);
    reporter_.Failure("File Copy Failed : ", sourcePath + " to " + target, code);
    return 0;
  }
  Copied(reporter_, sourcePath, target, bytes);
  return 1;
}

int FileOps::Delete(const std::string& path) {
  return RemoveEntry(reporter_, policy_, ByPath(os_, path), /*directory=*/false);
}

int FileOps::Delete(OsDir& dir, const std::string& name) {
  return RemoveEntry(reporter_, policy_, InDir(os_, dir, name), /*directory=*/false);
}

int FileOps::Remove(const std::string& path) {
  return RemoveEntry(reporter_, policy_, ByPath(os_, path), /*directory=*/true);
}

int FileOps::Remove(OsDir& dir, const std::string& name) {
  return RemoveEntry(reporter_, policy_, InDir(os_, dir, name), /*directory=*/true);
}

int FileOps::Create(const std::string& path) { return CreateEntry(reporter_, ByPath(os_, path)); }

int FileOps::Create(OsDir& dir, const std::string& name) { return CreateEntry(reporter_, InDir(os_, dir, name)); }

}  // namespace veldar
