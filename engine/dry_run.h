#pragma once
// A dry run: a backup run that reads everything a real run would read and
// changes nothing anywhere, telling what it would do, item by item, instead
// of doing it. The backup run (backup.h) finds the items; the caller prints
// them (the command line's -DRYRUN).
//
// A dry run of a backup tests the backup directory's lock without taking it
// (nothing is made, held or removed), and makes no working directory: where
// the real run would make one, the copy is planned against nothing (every
// file a copy or a share). A dry run of a restore takes no lock. Nothing that
// an interrupted run left is put right or deleted, so a generation an
// interrupted run had moved aside is not counted.

#include <cstdint>
#include <functional>
#include <string>

namespace veldar {

class MirrorPlan;
class Reporter;
struct FileStatus;

struct DryRunItem {
  enum class Action : std::uint8_t {
    kInto,              // `path`: the copy the items after it make (a generation, the backup directory)
    kCopy,              // the file `path` (relative to the copy) would be copied, `bytes` of it
    kShare,             // taken from the newest generation (cloned or linked), `bytes` of it
    kAccess,            // kept as it is, given the source's permissions (and owner); a
                        // directory once its contents are in place ("." the copy itself)
    kCreate,            // the directory `path` would be made (before the first "into",
                        // a directory on the way to the copy, by its full path)
    kDelete,            // `path` (a directory with all in it when `directory`) would be deleted
    kExclude,           // `path` in the source is left out by an exclude pattern
    kPassOver,          // `path` in the source would be passed over (a special file, the program's own,
                        // a link where the backup medium holds none)
    kOmit,              // `path` in the source cannot be held by the backup medium (a name it
                        // refuses or takes for another's, a file too large): left out, a failure
    kRecycle,           // `path`: the generation whose place the new copy would take, deleted then
    kDeleteGeneration,  // `path`: a generation beyond the count, deleted after the copy
  };
  Action action = Action::kInto;
  std::string path;
  bool directory = false;
  std::uint64_t bytes = 0;
  // kCopy: the file it replaces was written later than the one copied (the
  // copy would take back changes made since).
  bool replacesNewer = false;
  // kDelete: a temporary file a copy of this program left when it was killed.
  bool leftover = false;
};

using DryRunOutput = std::function<void(const DryRunItem& item)>;

// Whether `a` was last written after `b` (DryRunItem::replacesNewer).
bool WrittenLater(const FileStatus& a, const FileStatus& b);

// Tells `output` what applying `plan` would do, in the order the apply would
// do it, paths relative to the plan's target joined with `separator`. Reads
// the plan once from its start. A failure the plan already knows of and the
// apply would go on past (an entry kept for the exclude patterns in the way
// of a source entry, one the backup medium cannot hold) is reported through
// `reporter` as the apply would report it. Returns 0 where the plan ends in a failure that would stop the
// real apply (a directory that could not be listed), after reporting it
// likewise; otherwise 1.
[[nodiscard]] int DescribePlan(MirrorPlan& plan, char separator, Reporter& reporter, const DryRunOutput& output);

}  // namespace veldar
