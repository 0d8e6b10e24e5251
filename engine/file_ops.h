#pragma once
// FileOps: the four operations through which a run changes the file system,
// FileCopy, FileDelete, DirRemove and DirCreate, each on a path or on an
// entry of an open directory (the tree walks use those, so that nothing
// below a directory they opened is ever resolved by path again).
//
// Each obeys its policy and reports through the run's Reporter. In force
// mode a failed copy, deletion or removal is tried once more after the
// target was made writable, and a failure that survives that is a failure
// line and a 0 result. In no-force mode each is tried once and nothing is
// overwritten; what is left undone is a skip line, and the result is still
// success. Lines about work done need the success-log option. None of them
// shows a message box: what the user sees is the caller's business.

#include <cstdint>
#include <string>

#include "engine/reporter.h"
#include "platform/os.h"

namespace veldar {

// How the operations treat what is in the way.
struct FilePolicy {
  // Overwrite existing copies and make read-only targets writable for a
  // second attempt; false: the no-force flag.
  bool force = true;
};

class FileOps {
 public:
  FileOps(Os& os, Reporter& reporter, FilePolicy policy) : os_(os), reporter_(reporter), policy_(policy) {}

  // The same operations under another policy (the program's own trees are
  // worked on with force, whatever the run's flags).
  FileOps With(FilePolicy policy) const { return FileOps(os_, reporter_, policy); }
  const FilePolicy& policy() const { return policy_; }
  Os& os() const { return os_; }
  Reporter& reporter() const { return reporter_; }

  // Non-zero: done (or, in no-force mode, left undone); 0: failed, a line
  // written. With `checksum`, as below.
  [[nodiscard]] int Copy(const std::string& source, const std::string& target, CopyProgress* checksum = nullptr);
  // With `vanished`, a copy that failed only because its source no longer
  // exists sets it and returns 0 without a line or a count: the caller
  // reports it. With `unflushed`, force mode writes the copy straight under
  // its name and does not flush it (`CopyMode::Unflushed`). With
  // `readFailed`, a failed copy tells whether its source could not be read.
  // With `checksum`, the copy hands its bytes to it (and its progress on to
  // the run's).
  [[nodiscard]] int Copy(OsDir& sourceDir, const std::string& sourceName, OsDir& targetDir,
                         const std::string& targetName, bool* vanished = nullptr, bool unflushed = false,
                         bool* readFailed = nullptr, CopyProgress* checksum = nullptr);
  // A copy in two halves, for copies made durable in batches (force mode
  // only). `Stage` writes the copy under a temporary name and obeys the
  // force policy's retry as `Copy` does: a failure is its line and 0 (or,
  // where only the source vanished, no line: `vanished`), and nothing is
  // left. `Place`, once the batch is flushed, gives the copy its name and
  // writes the "File Copied" line; on failure the temporary file goes, and
  // that is a failure line and 0.
  struct Staged {
    int ok = 0;               // non-zero: staged, or passed over (a link); 0: failed
    bool vanished = false;    // failed only because the source no longer exists
    bool readFailed = false;  // failed: the source could not be read
    std::string temporary;    // the copy's temporary name; empty: nothing staged
    std::uint64_t bytes = 0;  // what the copy wrote
  };
  [[nodiscard]] Staged Stage(OsDir& sourceDir, const std::string& sourceName, OsDir& targetDir,
                             const std::string& targetName, CopyProgress* checksum = nullptr);
  [[nodiscard]] int Place(OsDir& targetDir, const std::string& temporary, const std::string& targetName,
                          const std::string& sourcePath, std::uint64_t bytes);
  [[nodiscard]] int Delete(const std::string& path);
  [[nodiscard]] int Delete(OsDir& dir, const std::string& name);
  [[nodiscard]] int Remove(const std::string& path);
  [[nodiscard]] int Remove(OsDir& dir, const std::string& name);
  // A directory made in an open directory is its owner's alone until the
  // walk gives it its source's permissions.
  [[nodiscard]] int Create(const std::string& path);
  [[nodiscard]] int Create(OsDir& dir, const std::string& name);

 private:
  Os& os_;
  Reporter& reporter_;
  FilePolicy policy_;
};

}  // namespace veldar
