#pragma once
// MirrorPlan: what a tree mirror will do, found out before it does any of it.
//
// `MirrorPlanner` walks the source tree and the target tree side by side
// (and, when building a new generation, the newest earlier copy as well),
// listing each directory once, and writes down in order every step the
// mirror will take: copy, share or pass over a file, enter (create, rename)
// a directory, delete what the source no longer has, the lines for what it
// passes over, and what the exclude patterns leave out. `MirrorApplier` (mirror.h) then carries the steps out in
// that order. The totals let the caller know what the run will cost before
// it starts (the free-space check, progress).
//
// The steps are kept in a compact form (PlanStore), so a tree of any size
// costs a bounded amount of memory. Plans are made and applied on one
// thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "engine/exclude.h"
#include "engine/plan_store.h"
#include "engine/reporter.h"
#include "platform/os.h"

namespace veldar {

// What a mirror writes, and how it makes its copies durable.
enum class MirrorWrites {
  // Each copy is flushed and renamed into place on its own (restores).
  kFlushedEach,
  // Copies are written under temporary names in batches; each batch is
  // flushed at once and then renamed into place, file by file (a mirror
  // straight into the user's backup directory).
  kBatched,
  // Copies are written straight under their names and not flushed: the
  // target is a directory nobody takes for a copy until the caller has
  // flushed it and renamed it (a generation being built).
  kUnflushed,
};

// How files unchanged since the reference copy are shared with it: cloned
// where the file system can, else copied; or hard-linked where it allows,
// else cloned where it can, else copied.
enum class MirrorSharing { kNone, kCloneOrCopy, kLinkOrClone };

struct MirrorJob {
  // The trees, by the paths the user named (they may be links). A caller
  // that has opened one already hands it over in the plan (`MirrorPlan::
  // source`, `target`) and the path is then only its name in messages.
  std::string source;
  std::string target;
  // The caller has just made the target, or is about to (`target` may then
  // not exist yet while planning). Its permissions then change without a
  // line once it is filled.
  bool targetIsNew = false;
  // The target is not there and will not be made (a dry run): it is never
  // opened, whatever has the name, and the plan is made against nothing.
  bool targetNotMade = false;
  MirrorWrites writes = MirrorWrites::kFlushedEach;
  // A complete earlier copy of the same source: a file there whose size,
  // last-write time and permissions (and for root, owner) equal its
  // source's is taken from it (cloned or linked) instead of being copied.
  // Empty, or with kNone: nothing is shared.
  std::string reference;
  MirrorSharing sharing = MirrorSharing::kNone;
  // The target must end up equal to the source: a counterpart whose size or
  // last-write time differs either way is copied (a generation being built,
  // a restore). Otherwise a counterpart newer than its source of the same
  // size is left alone.
  bool exact = false;
  // A source file or directory that cannot be read (denied, held by another
  // program, a read error) is passed over as a failure, and its copy in the
  // reference (if it has one) is taken in its place, or else the one the
  // target holds is kept: the no-message flag's rule, so that one entry that
  // cannot be read does not stop every backup.
  bool keepUnreadable = false;
  // A name of the program's own at the target's top (the run's lock file in
  // a backup directory that is the mirror itself): never deleted or written.
  std::string ownName;
  // The entries the mirror leaves alone, or null: an excluded source entry
  // is neither copied nor entered, and the target entry of its name stays as
  // it is; a target entry the set excludes is never deleted. Paths are
  // matched relative to the source (its names joined by '/'). The caller
  // keeps the set alive while the plan is made.
  const ExcludeSet* excludes = nullptr;
  // Whether what the target holds under excluded names stays (the user's
  // copy, where an entry copied before its pattern was written is kept).
  // Cleared for a tree that is the program's own (a generation being built):
  // it is to hold nothing the patterns leave out, so there the patterns only
  // keep source entries out, and the target loses whatever the source does
  // not bring.
  bool excludedStay = true;

  // What the run's flags allow: deleting what the source no longer has
  // (the no-delete flag clears it), comparing times (the no-time flag
  // clears it: every file is copied and none shared), overwriting (the
  // no-force flag clears it). A tree that is the program's own (a
  // generation being built) is mirrored with deletion and force whatever
  // the flags say.
  bool deleteVanished = true;
  bool compareTimes = true;
  bool force = true;

  // What the target's medium keeps and refuses, as a probe of it found
  // (OsDir::ProbeMedium): source entries it cannot hold are left out, each
  // a failure (a link a skip), with twins by case where it ignores case;
  // times are compared at its resolution, and permissions and owners given
  // only where it keeps them. Unset: what the target's file system's kind
  // tells (OsDir::TimeResolutionNs, KeepsPermissions), nothing left out.
  std::optional<MediumTraits> medium;
  // The time resolution of the source's medium where the caller knows it
  // (a restore from a probed backup directory): times are compared at the
  // coarser of the source's and the target's.
  std::int64_t sourceTimeResolutionNs = 0;
};

// What a plan will do, in all.
struct MirrorTotals {
  std::uint64_t filesToCopy = 0;
  std::uint64_t bytesToCopy = 0;   // their content, in bytes
  std::uint64_t filesShared = 0;   // taken from the reference copy
  std::uint64_t bytesShared = 0;
  std::uint64_t directoriesToCreate = 0;
  std::uint64_t entriesToDelete = 0;  // target entries the source no longer has
  // Source entries the exclude patterns left out, each at its top (an
  // excluded directory counts once, whatever it holds).
  std::uint64_t excluded = 0;
  // Files whose copy differs from the source but no-force mode keeps.
  std::uint64_t leftUndone = 0;
  // What the plan's writing takes on the target's disk, in whole blocks:
  // copies, directories made, and clones where their data may not be shared.
  std::uint64_t diskBytes = 0;
  // Source entries left out because the medium cannot hold them (kUnfit
  // steps, links included).
  std::uint64_t leftOut = 0;
  // Files the source keeps from others that the medium lets others read: it
  // keeps no permissions, and shows its files readable by group or others,
  // or owned by another user.
  std::uint64_t exposed = 0;
};

// One step of a plan with every decision made: the applier carries it out as
// it stands. The fields a kind does not use keep their defaults.
struct MirrorStep {
  enum class Kind : std::uint8_t {
    kRemoveAbandoned,  // `name` in the target: a temporary file of a killed copy
    kPassOver,         // `name` in the source, passed over with the line `passOver` says
    kVanished,         // `name` in the source: gone, or no longer the directory or link it
                       // was listed as
    kFile,             // the source file or link `name`: `content` says what becomes of it
    kEnter,            // the source directory `name`; its level follows, up to a kLeave
    kLeave,            // the end of a level: the directory gets its source's permissions
    kDelete,           // `name` in the target (a directory when `directory`), which the
                       // source no longer has
    kNoDelete,         // the target keeps what the source no longer has: the line that says so
    kStop,             // `name` holds the text of a failure that ends the walk where it stands
    kUnreadable,       // a source directory that cannot be read, passed over
                       // (MirrorJob::keepUnreadable): `name` holds its failure line up to
                       // the code of `failure`; a kEnter of its earlier copy may follow
    kExcluded,         // `name` in the source (a directory when `directory`), left out by the
                       // exclude patterns: nothing is done, the target entry of its name stays
    kPrune,            // `name` in the target: a directory the source no longer has that holds
                       // entries the exclude patterns keep. Its level of deletions follows, up
                       // to a kLeave; the directory and what the patterns keep stay.
                       // `counterpartStatus`: the directory as it was listed
    kBlocked,          // `name` in the source (a directory when `directory`), which the exclude
                       // patterns do not leave out, cannot take the place of its counterpart
                       // `counterpart`, which they keep (excluded itself, or a directory
                       // holding excluded entries where a file is to go): a failure
    kUnfit,            // `name` in the source (a directory when `directory`), which the
                       // target's medium cannot hold (`unfit` says why; a twin's
                       // `counterpart` is the source entry of its name copied instead):
                       // left out, a failure (a link: a skip line)
  };
  enum class Unfit : std::uint8_t { kTwin, kName, kSize, kLink };
  enum class PassOver : std::uint8_t { kSpecial, kOwnName, kSystemDirectory, kBackupDirectory };
  // What becomes of a file.
  enum class Content : std::uint8_t {
    kCopy,         // copied from the source
    kShare,        // taken from the reference copy (copied after all where that fails)
    kKeep,         // the counterpart is as good as a copy: left as it is
    kKeepNoForce,  // the counterpart differs, but no-force mode never overwrites it
  };

  Kind kind = Kind::kLeave;
  std::string name;
  // The target entry the source entry matched (its name may differ in case),
  // or empty.
  std::string counterpart;
  PassOver passOver = PassOver::kSpecial;
  Unfit unfit = Unfit::kName;
  bool directory = false;  // kDelete, kExcluded, kBlocked
  Content content = Content::kCopy;  // kFile
  // The counterpart is of another kind: it goes first (a directory with all
  // in it). Otherwise a counterpart whose name differs in case is renamed
  // to the source's name first (`counterpart` != `name`).
  bool removeCounterpart = false;
  // kKeepNoForce: the counterpart has other names (a hard link into another
  // generation, a snapshot): it is first copied onto its own name, so that
  // giving it the source's access changes none of them.
  bool unshare = false;
  // The file (kKeep, kKeepNoForce) gets the source's permissions, and for
  // root its owner and group, where they differ; with a line for what
  // changed since the counterpart was listed.
  // kEnter: the existing directory gets its source's permissions (and owner)
  // once its level is done.
  bool setAccess = false;
  bool create = false;        // kEnter: the directory is made
  bool hasReference = false;  // kEnter: the reference copy has this directory too
  // kEnter: the source directory could not be read (the kUnreadable step
  // before says so); the level copies the reference copy's directory of
  // this name instead, reached from the reference's top.
  bool fromReference = false;
  FileStatus source;
  FileStatus counterpartStatus;
  FileStatus reference;  // kShare: the file shared
  Status failure;        // kUnreadable: why the directory cannot be read
};

class MirrorPlan {
 public:
  explicit MirrorPlan(Os& os) : steps_(os) {}
  MirrorPlan(const MirrorPlan&) = delete;
  MirrorPlan& operator=(const MirrorPlan&) = delete;

  MirrorJob job;
  MirrorTotals totals;
  // The directories the job named, opened once while planning (or handed in
  // open by the caller) and used by the apply as they are (no path is
  // resolved twice). `reference` is null when there is none.
  std::unique_ptr<OsDir> source, target, reference;
  FileStatus sourceStatus, targetStatus;
  bool shareByClone = false;  // the target's file system can clone
  // The target existed with other permissions (or owner) than the source:
  // it gets the source's once its contents are in place.
  bool topAccess = false;
  // Whether copies get their source's permissions, and (root only) owner and
  // group: where the target's medium keeps them.
  bool permissions = true;
  bool owners = false;
  // Set by the apply when it renamed, removed a leftover, or changed
  // permissions or an owner: changes the totals do not count.
  bool renamedOrChmodded = false;

  // Whether applying the plan changed (or tried to change) the target.
  bool ChangesTarget() const {
    return totals.filesToCopy + totals.filesShared + totals.directoriesToCreate +
                   totals.entriesToDelete > 0 ||
           renamedOrChmodded;
  }

  // The planner writes the steps in order; the applier reads them back once,
  // from the first. `Next` is false at the end (or where the steps could not
  // be kept: `ok`).
  void Add(const MirrorStep& step);
  void Rewind() { steps_.Rewind(); }
  bool Next(MirrorStep* step);
  bool ok() const { return steps_.ok(); }
  const Status& error() const { return steps_.error(); }

 private:
  PlanStore steps_;
};

class BackgroundWorker;

// Makes plans. It reports a failure that keeps it from planning at all
// through `reporter`, and hears there whether the run is to stop.
class MirrorPlanner {
 public:
  MirrorPlanner(Os& os, Reporter& reporter);
  ~MirrorPlanner();
  MirrorPlanner(const MirrorPlanner&) = delete;
  MirrorPlanner& operator=(const MirrorPlanner&) = delete;

  // Walks the job's trees and writes down what the mirror will do, changing
  // nothing. The plan's `source` and `target` may be handed in open; the
  // others are opened by the job's paths (which may be links; nothing below
  // them is ever followed). 0: a directory the job names cannot be read
  // (reported), or a stop was asked for; otherwise the plan holds its steps
  // and totals (a listing that failed further down is a step that reports
  // it), and the run's progress its totals.
  [[nodiscard]] int Plan(const MirrorJob& job, MirrorPlan* plan);

 private:
  Os& os_;
  Reporter& reporter_;
  // Lists a level's source while the scan lists its target; made on first use.
  std::unique_ptr<BackgroundWorker> lister_;
};

// Whether `excludes` leaves out something of the source tree `source` and
// leaves no file or link anywhere in it, so that a mirror of it would copy
// nothing at all. Entries of its top named `ignoredAtTop` count for nothing
// either way. A directory that cannot be opened or listed counts as holding
// something: the mirror reports it. No link is followed.
bool ExcludesLeaveNothing(OsDir& source, const ExcludeSet& excludes, std::string_view ignoredAtTop);

// The failure line of a kBlocked step: the source entry at `sourcePath` is
// not copied to `targetPath`, where what the exclude patterns keep stays.
std::string BlockedLine(const std::string& sourcePath, const std::string& targetPath, bool directory);

// The line of a kUnfit `step`, whose source entry is at `sourcePath` and
// would go to `targetPath` (a twin's copied stead at `twinPath`): a failure
// line, or for a link a skip line. English, as every log line.
std::string LeftOutLine(const MirrorStep& step, const std::string& sourcePath, const std::string& targetPath,
                        const std::string& twinPath);
// Why a kUnfit step's entry is left out: a pattern of the translation table.
const char* UnfitReasonOf(MirrorStep::Unfit unfit);

// What a listing failure says, the directory's path and "*" after it.
inline constexpr char kSourceFirstError[] = "ERROR AT LOCAL FILE FINDFIRSTFILE! at ";
inline constexpr char kTargetFirstError[] = "ERROR AT LOCAL FILE FINDFIRSTFILE! in ";

}  // namespace veldar
