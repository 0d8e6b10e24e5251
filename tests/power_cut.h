#pragma once
// PowerCut: what a power cut leaves of a directory tree that a run is
// changing, for tests that cut the power at every step of a run.
//
// A killed process loses nothing it has written: the kernel writes it out
// anyway. A power cut keeps only what was flushed. The model follows a tree
// (`root`) through a run: it is told of every change the run makes and of
// every flush, and looks at the tree after each (so it knows the content of
// everything, even what is deleted later). It tracks, per file, whether its
// content has reached the disk (a copy that flushes before it names its
// file, or a flush of the whole file system since it was written) and, per
// directory, its entries as of its last flush (the directory's own, or the
// whole file system's).
//
// A cut then gives the worst state the rules allow: every directory holds its
// flushed entries, with each change made since (a name created, renamed or
// removed) either kept or undone as a policy decides; a kept name whose file
// never reached the disk holds an empty file. A directory is its own object:
// renaming it moves its entries along, flushed or not as they were.
//
// Everything here uses the system directly (lstat, statx, open), never the
// engine's OS layer.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "testing/fault_injector.h"
#include "tests/tree_snapshot.h"

namespace veldar::testing {

class PowerCut {
 public:
  // Starts following `root`: everything in it now counts as on the disk.
  explicit PowerCut(const std::string& root);

  // After each change of a run that succeeded or failed (`op` on `path` and
  // `path2` as FaultInjector names them; `copyMode` for a CopyFile): looks at the
  // tree again and notes what the change made durable.
  void After(OsOp op, const std::string& path, const std::string& path2, CopyMode copyMode);

  // Decides, for a change made since the last flush of the directory that
  // holds it (`path` relative to the root), whether the cut keeps it.
  using Policy = std::function<bool(const std::string& path)>;
  // The tree a cut now would leave, and the names of the root's entries in
  // the order they were created.
  Tree Survivor(const Policy& keep, std::vector<std::string>* createdInOrder) const;
  // Replaces the tree on disk by what a cut now would leave (the root's
  // entries made again in the order they were first created, so that their
  // creation times still rank them).
  void Cut(const Policy& keep) const;
  // The number of changes the cut may keep or undo.
  int PendingChanges() const;

 private:
  // An object of the file system: its inode number and creation time (an
  // inode number is used again once freed).
  using Key = std::pair<std::uint64_t, std::int64_t>;
  struct Object {
    Node node;                           // kind, content or link text, mode, time
    std::int64_t birth = 0;              // creation time, ns
    std::map<std::string, Key> entries;  // a directory's entries, as last seen
  };

  // Reads the tree as it is now into `objects_` and `paths_`.
  void Look();
  void LookAt(const std::string& path, const std::string& relative, Key* key);
  // Adds what a cut leaves of the directory `dir` to `tree`, its paths
  // beginning with `prefix`; `top` (the root only) receives each entry's
  // creation time and name.
  void Survive(const Key& dir, const std::string& prefix, const Policy& keep, Tree* tree, int depth,
               std::vector<std::pair<std::int64_t, std::string>>* top) const;

  std::string root_;
  Key rootKey_{};
  std::map<Key, Object> objects_;                      // everything ever seen
  std::map<std::string, Key> paths_;                   // full path -> object, as now
  std::map<Key, std::map<std::string, Key>> flushed_;  // a directory's flushed entries
  std::set<Key> durable_;                              // files whose content is on the disk
};

}  // namespace veldar::testing
