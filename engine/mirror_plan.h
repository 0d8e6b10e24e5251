#pragma once
// MirrorPlan: what a tree mirror will do, found out before it does any of it.
//
// `MirrorPlanner` walks the source tree and the target tree side by side
// (and, when building a new generation, the newest earlier copy as well),
// listing each directory once, and writes down in order every action the
// mirror will take, with every decision made: copy (how it is written, what
// is kept where the source cannot be read), share (by link or clone) or keep
// a file, rename or remove what is in its way, enter (create) a directory,
// the access each entry gets, delete what the source no longer has, the
// lines for what it passes over, and what the exclude patterns leave out.
// `MirrorApplier` (mirror.h) then carries the steps out in that order, and
// reports each; it reads nothing of the job. The totals let the caller know
// what the run will cost before it starts (the free-space check, progress).
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
#include <variant>
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
  // A copy's manifest (manifest.h) is always one, whatever this says.
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
  std::uint64_t bytesToCopy = 0;  // their content, in bytes
  std::uint64_t filesShared = 0;  // taken from the reference copy
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
  // Source entries left out because the medium cannot hold them (LeaveOut
  // steps, links included).
  std::uint64_t leftOut = 0;
  // Files the source keeps from others that the medium lets others read: it
  // keeps no permissions, and shows its files readable by group or others,
  // or owned by another user.
  std::uint64_t exposed = 0;
  // Changes the counts above leave out: renames for letter case, leftovers
  // of killed copies removed, permissions and owners given to what was there.
  std::uint64_t adjusted = 0;
};

// The steps of a plan, each an action with every decision made and the
// values it needs: the applier carries it out as it stands, and reports it.
// A level (the target's top, a directory entered or pruned) is its steps up
// to its `Leave`.
namespace steps {

// The access an entry is given: its source's permission bits and, with
// `withOwner` (root, on a medium that keeps owners), owner and group.
struct Access {
  std::uint32_t permissions = 0;
  std::uint32_t owner = 0, group = 0;
  bool withOwner = false;
  // The source is a link, which has no permissions of its own: only its
  // owner is given.
  bool ownerOnly = false;
  // The target had the entry with other access: lines say what changed.
  bool announce = false;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.permissions, s.owner, s.group, s.withOwner, s.ownerOnly, s.announce);
  }
};

// The target entry a source entry meets, and what becomes of it first.
struct Counterpart {
  enum class First : std::uint8_t {
    kNothing,  // written over, or in the way (the copy or the creation then fails on it)
    kRename,   // its name differs in case: renamed to the source's name (kept where that fails)
    kRemove,   // of another kind: removed, a directory with all in it
  };
  std::string name;
  FileStatus status;  // as listed
  First first = First::kNothing;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.name, s.status, s.first);
  }
};

// The name a source entry's copy goes to at first: its own, or the
// counterpart's where that is neither renamed nor removed.
inline const std::string& Destination(const std::string& name, const std::optional<Counterpart>& counterpart) {
  return counterpart && counterpart->first == Counterpart::First::kNothing ? counterpart->name : name;
}

// How a copy is written (MirrorWrites).
enum class Writing : std::uint8_t {
  kFlushed,    // flushed and named on its own (overwriting only in force mode)
  kStaged,     // written under a temporary name, flushed and named with its batch
  kUnflushed,  // written under its name, flushed by the caller with the whole tree
};

// The reference copy's file of a source file's name, taken in its stead.
struct EarlierCopy {
  FileStatus status;   // as listed; its time is given to a copy of it
  bool link = false;   // hard-linked where that works
  bool clone = false;  // else cloned where that works; else copied
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.status, s.link, s.clone);
  }
};

// A temporary file a killed copy left in the target: removed, whatever the flags.
struct RemoveLeftover {
  std::string name;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.name);
  }
};

// A source entry passed over, with a skip line that says why.
struct PassOver {
  enum class Reason : std::uint8_t { kSpecial, kOwnName, kSystemDirectory, kBackupDirectory };
  std::string name;
  Reason reason = Reason::kSpecial;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.name, s.reason);
  }
};

// A source entry gone, or no longer the directory or link it was listed as.
struct Vanished {
  std::string name;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.name);
  }
};

// A source entry the exclude patterns leave out: nothing is done, the target
// entry of its name stays.
struct Exclude {
  std::string name;
  bool directory = false;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.name, s.directory);
  }
};

// A source entry the patterns do not leave out, which cannot take the place
// of its counterpart `counterpart`, which they keep: a failure.
struct Blocked {
  std::string name, counterpart;
  bool directory = false;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.name, s.counterpart, s.directory);
  }
};

// A source entry the target's medium cannot hold: left out, a failure (a
// link: a skip line). A twin names the source entry copied in its stead.
struct LeaveOut {
  enum class Reason : std::uint8_t { kTwin, kName, kSize, kLink };
  std::string name, twin;
  Reason reason = Reason::kName;
  bool directory = false;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.name, s.twin, s.reason, s.directory);
  }
};

// A source directory that cannot be read, passed over: its failure line up
// to the code of `failure`. An EnterDirectory of its earlier copy may follow.
struct Unreadable {
  std::string line;
  Status failure;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.line, s.failure);
  }
};

// A failure that ends the walk where it stands, with its line.
struct Stop {
  std::string line;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.line);
  }
};

// The target keeps what the source no longer has: the line that says so.
struct KeepVanished {
  template <class S, class F>
  static void Fields(S&, F&&) {}
};

// The target entry `name` (a directory with all in it), which the source no
// longer has.
struct Delete {
  std::string name;
  bool directory = false;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.name, s.directory);
  }
};

// The target directory `name`, which the source no longer has and which
// holds entries the exclude patterns keep: its level of deletions follows;
// the directory and what the patterns keep stay. Entered only while it is
// the directory `listed` describes.
struct Prune {
  std::string name;
  FileStatus listed;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.name, s.listed);
  }
};

// The level's target directory is given these permissions while it is
// filled: no more open than its source, and writable by its owner.
struct Fill {
  std::uint32_t permissions = 0;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.permissions);
  }
};

// The end of a level.
struct Leave {
  // The batch is named first: the directory's owner may not write to it once
  // it has its access.
  bool commitFirst = false;
  // The access the directory gets now that its contents are in place.
  std::optional<Access> access;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.commitFirst, s.access);
  }
};

// The source directory `name`, entered while it is still what `source`
// describes; its level follows.
struct EnterDirectory {
  std::string name;
  FileStatus source;
  std::optional<Counterpart> counterpart;
  bool create = false;  // the target directory is made (after a counterpart removed)
  // The source directory could not be read: the level copies the reference
  // copy's directory of its name instead.
  bool fromReference = false;
  bool hasReference = false;  // the reference copy has the directory too
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.name, s.source, s.counterpart, s.create, s.fromReference, s.hasReference);
  }
};

// The source file or link `name` copied to the target.
struct CopyFile {
  std::string name;
  FileStatus source;
  std::optional<Counterpart> counterpart;
  Writing writing = Writing::kFlushed;
  // A source that cannot be read is passed over (its failure is its line),
  // and `earlier`, where there is one, is taken in its place.
  bool keepUnreadable = false;
  std::optional<EarlierCopy> earlier;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.name, s.source, s.counterpart, s.writing, s.keepUnreadable, s.earlier);
  }
};

// The source file `copy.name`, unchanged since the reference copy, taken
// from there: hard-linked (`link`), else cloned (`clone`); copied after all
// where neither works.
struct ShareFile {
  CopyFile copy;
  FileStatus reference;
  bool link = false;
  bool clone = false;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.copy, s.reference, s.link, s.clone);
  }
};

// The source file or link `name`, whose counterpart is as good as a copy:
// left as it is, and given `access` where that differs.
struct KeepFile {
  std::string name;
  Counterpart counterpart;
  std::optional<Access> access;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.name, s.counterpart, s.access);
  }
};

// The source file or link `name`, whose counterpart differs but which
// no-force mode never overwrites; it is given `access` where that differs,
// after, with `unshare`, being copied onto its own name (it has other names,
// which keep their access).
struct KeepUnforced {
  std::string name;
  FileStatus source;
  Counterpart counterpart;
  bool unshare = false;
  std::optional<Access> access;
  template <class S, class F>
  static void Fields(S& s, F&& f) {
    f(s.name, s.source, s.counterpart, s.unshare, s.access);
  }
};

}  // namespace steps

using MirrorStep = std::variant<steps::RemoveLeftover, steps::PassOver, steps::Vanished, steps::Exclude, steps::Blocked,
                                steps::LeaveOut, steps::Unreadable, steps::Stop, steps::KeepVanished, steps::Delete,
                                steps::Prune, steps::Fill, steps::Leave, steps::EnterDirectory, steps::CopyFile,
                                steps::ShareFile, steps::KeepFile, steps::KeepUnforced>;

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
  // How the apply treats the target throughout, as the planner decided:
  // whether its copies, deletions and removals overwrite, and make writable
  // to try again, what is in the way (force mode); and whether a copy gets
  // its source's last-write time again once named (a medium that stamps the
  // time a file was closed or named).
  bool force = true;
  bool retime = false;

  // Whether applying the plan changes (or tries to change) the target.
  bool ChangesTarget() const {
    return totals.filesToCopy + totals.filesShared + totals.directoriesToCreate + totals.entriesToDelete +
               totals.adjusted >
           0;
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

// The failure line of a Blocked step: the source entry at `sourcePath` is
// not copied to `targetPath`, where what the exclude patterns keep stays.
std::string BlockedLine(const std::string& sourcePath, const std::string& targetPath, bool directory);

// The line of a LeaveOut `step`, whose source entry is at `sourcePath` and
// would go to `targetPath` (a twin's copied stead at `twinPath`): a failure
// line, or for a link a skip line. English, as every log line.
std::string LeftOutLine(const steps::LeaveOut& step, const std::string& sourcePath, const std::string& targetPath,
                        const std::string& twinPath);
// Why a LeaveOut step's entry is left out: a pattern of the translation table.
const char* UnfitReasonOf(steps::LeaveOut::Reason reason);

// What a listing failure says, the directory's path and "*" after it.
inline constexpr char kSourceFirstError[] = "ERROR AT LOCAL FILE FINDFIRSTFILE! at ";
inline constexpr char kTargetFirstError[] = "ERROR AT LOCAL FILE FINDFIRSTFILE! in ";

}  // namespace veldar
