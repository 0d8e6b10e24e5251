#pragma once
// The rotation of one generation run, decided before anything changes: the
// name the new generation takes, the old generation whose place it takes (the
// oldest one kept, once the count is reached or every name is taken), the
// generations a lowered count leaves over, and how a directory generation
// takes a name an old one holds on the backup medium. Made from the backup
// directory's listing alone, so that a dry run tells exactly what the run
// then carries out (BackupRun).

#include <optional>
#include <string>
#include <vector>

#include "engine/dry_run.h"
#include "engine/file_entry.h"
#include "platform/path_rules.h"

namespace veldar {

struct Rotation {
  // How a new directory generation takes its name.
  enum class Naming {
    kFree,      // a free name: one rename
    kExchange,  // an old generation's: the copy is swapped with it in one step
    kSwapName,  // an old generation's, where no swap in one step is possible:
                // the old one moves to its swap name (which a later run gives
                // back to it if the copy never got there), then the copy
                // takes the name
    kInPlace,   // no directory renamed (a medium that loses what a renamed
                // directory holds): the copy is built under its final name,
                // a free one while there is one, marked as no generation
                // until it is complete; the generations it makes room for
                // are deleted after it, or, where no name is free, the one
                // whose name it takes is deleted before it
  };
  std::string name;                    // the new generation's name
  std::optional<CFileEntry> replaced;  // the generation that holds `name`, deleted after
                                       // (before the copy is made, with kInPlace)
  std::vector<CFileEntry> surplus;     // beyond the count, deleted after; newest first
  bool limitReached = false;           // every name is taken: an old one is replaced instead
  Naming naming = Naming::kFree;
};

// The rotation of a run that keeps `count` generations, over `generations`
// (numbered, 0 the newest). `freeName` is the lowest free generation name
// (empty when every name is taken); it is only asked for while fewer than
// `count` generations exist, and always with `inPlace`. `exchange`: the
// medium swaps two names in one step; `inPlace`: it renames no directory
// (Naming::kInPlace). Empty: there is no free name and no generation to
// reuse.
std::optional<Rotation> PlanRotation(const std::vector<CFileEntry>& generations, int count, const std::string& freeName,
                                     bool exchange, bool inPlace = false);

// Tells `output` the deletions of `rotation` in the backup directory
// `backupDir` (directory generations, or file generations): the replaced
// generation, then the surplus ones, as the run does them.
void DescribeRotation(const Rotation& rotation, const std::string& backupDir, bool directories, const PathRules& paths,
                      const DryRunOutput& output);

}  // namespace veldar
