#pragma once
// TreeDeleter: the depth-first deletion of a directory's contents, for the
// mirror's vanished directories, retired generations and what interrupted
// runs left.
//
// Each directory is read once (one pass with one status call per entry,
// relative to the open directory). Entries carry what they are: a link is a
// link, never the directory it may point to, and another mount inside the
// tree (a bind mount) is never entered. The deletion walks open directories
// one level at a time and acts relative to them, so nothing here ever
// reaches outside the directory it was given. A directory that is the tree
// the run copies from (`guarded`, however it is reached) is never emptied.

#include <optional>
#include <string>

#include "engine/file_entry.h"
#include "engine/file_ops.h"

namespace veldar {

class TreeDeleter {
 public:
  // Deletes with `files` (its policy and reporter); `guarded`, if set, is
  // the identity of the tree the run copies from.
  TreeDeleter(const FileOps& files, std::optional<FileStatus> guarded) : files_(files), guarded_(std::move(guarded)) {}

  // Deletes everything inside `directory`; the directory itself stays. A
  // failed deletion or removal shows its box and stops unless the no-message
  // flag is set; a listing that fails, the guarded tree and a stop asked for
  // stop it. 0: stopped, already reported. The path form opens `directory`
  // without following a final link.
  [[nodiscard]] int Contents(const std::string& directory);
  [[nodiscard]] int Contents(OsDir& directory);

  // How `EmptySubdir` left a subdirectory.
  enum class Emptied { kYes, kNotADirectory, kGone, kStopped };
  // Empties the subdirectory `name` of `dir` (whose status is `dirStatus`)
  // so that it can be removed: opened without following a link, and not
  // entered when it is another mount (its removal then fails, reported
  // there). kNotADirectory: it was swapped for a file or a link since it was
  // listed, and goes as a file; kGone: it is no longer there; kStopped: a
  // failure was reported.
  Emptied EmptySubdir(OsDir& dir, const std::string& name, const FileStatus& dirStatus);

  // Deletes the subdirectory `entry.name` of `parent` with everything in it,
  // opened without following a link and only while it is still the
  // directory `entry.status` describes (device and inode): anything else on
  // the name is left alone, with a failure line. Gone already is success.
  // 0: stopped, reported; `*removeFailed` when it was the final removal.
  [[nodiscard]] int Tree(OsDir& parent, const CFileEntry& entry, bool* removeFailed = nullptr);

  FileOps& files() { return files_; }

 private:
  FileOps files_;
  std::optional<FileStatus> guarded_;
};

}  // namespace veldar
