// MirrorApplier: the half of the tree mirror that changes the target
// (mirror_plan.cpp finds out what to do).
//
// Every decision is the plan's: each step says what to do and how (which
// name a copy goes to, what is renamed or removed first, how a copy is
// written, by link or clone, what is kept where a source cannot be read,
// the access an entry gets). The walk does it, as far as the file system
// lets it, and reports it; where an action fails, the step says what
// follows (a rename that fails leaves the copy to the old name, a share
// that fails is copied).
//
// The plan's steps are carried out in their order: per level, the temporary
// files of killed copies go, every source entry is dealt with in listing
// order (a subdirectory completely, its own deletions included, before the
// next entry), and then the target entries that no source entry matched are
// deleted.
//
// The walk holds each level's directories open and acts on names within
// them: below the directories the caller named, no path is ever resolved
// again, and a level is entered with O_NOFOLLOW|O_DIRECTORY. A directory
// swapped for a link (or for another directory) since the scan therefore
// sends neither the copying nor the deleting anywhere else; a source entry
// that vanished or changed kind since it was listed is reported as vanished
// and left for the next run.
//
// A file whose content needs no copy still gets its source's permissions
// (and, for root, owner and group) when they differ. A directory is filled
// while it is no more open than its source and writable by its owner, and
// gets its source's permissions once its contents are in place. Links are
// never followed below the top level: a link is copied as a link. FIFOs,
// sockets and devices are passed over unopened. An entry whose kind changed
// (a file that is now a directory, or the reverse) has its old counterpart
// deleted first, unless deletions are forbidden, in which case the copy or
// the creation fails on it and is reported as a failure. Temporary files of
// an interrupted copy are removed whatever the flags say.
//
// Writing (MirrorWrites): flushed copy by copy; or in batches, each batch of
// copies written under temporary names, flushed together with one call and
// then renamed into place (each "File Copied" line is written once its copy
// has its name, so lines of other operations done meanwhile come first); or
// straight under the final names, unflushed, for a caller that flushes the
// whole tree before anyone takes it for a copy. A shared file (a clone of,
// or a link to, the reference copy's) is made the same way as an unflushed
// copy.

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/mirror.h"
#include "platform/os_paths.h"

namespace veldar {
namespace {

// A batch is flushed once it holds this much, or at the end.
constexpr std::size_t kBatchFiles = 8192;
constexpr std::uint64_t kBatchBytes = std::uint64_t{1} << 30;
// Copies whose time waits to be set again on a medium that stamps its own,
// and the pause before the last of them are set (see MirrorWalk::Retime).
constexpr std::size_t kRetimeLag = 32;
constexpr int kReleaseWaitMs = 100;

}  // namespace

// The apply, one object per plan.
class MirrorWalk {
 public:
  MirrorWalk(Os& os, Reporter& reporter, MirrorPlan& plan, const std::optional<FileStatus>& guarded,
             CopiedChecksums* checksums)
      : os_(os),
        reporter_(reporter),
        files_(os, reporter, FilePolicy{plan.force}),
        // No deletion of the apply may empty the tree it copies from,
        // however that is reached from the target.
        deleter_(files_, guarded ? guarded : std::optional<FileStatus>(plan.sourceStatus)),
        plan_(plan),
        retime_(plan.retime),
        checksums_(checksums) {}

  int Run() {
    plan_.Rewind();
    std::shared_ptr<OsDir> target = std::move(plan_.target);
    if (!target) {
      reporter_.ScanFailure(kTargetFirstError + os_.Paths().Join(plan_.job.target, "*"));
      return 0;
    }
    Frame top{plan_.source.get(),
              target,
              plan_.reference.get(),
              plan_.targetStatus,
              std::string(),
              target->Path(),
              nullptr,
              ""};
    const int result = Level(top);
    const bool committed = Commit();
    ApplyRetimes();
    return committed && result;
  }

 private:
  // One level being applied: its directories and what the target was.
  struct Frame {
    OsDir* source;
    // Held by a batch's pending copies too. Null until an operation needs
    // it (see Target): a level in which nothing changes is never opened, a
    // call that costs a round trip on a network share.
    std::shared_ptr<OsDir> target;
    OsDir* reference;  // null: nothing to share from
    // Its status once opened; before, as the plan listed it.
    FileStatus targetStatus;
    std::string relative;    // the level below the target's top, names joined by '/'
    std::string targetPath;  // for the lines, opened or not
    // An unopened target: the entry `name` of the level above.
    Frame* above = nullptr;
    std::string name;
  };

  // A copy whose time is still to be set again (see Retime).
  struct LateRetime {
    std::shared_ptr<OsDir> dir;
    std::string name;
    std::int64_t seconds;
  };

  // A copy written under its temporary name, waiting for its batch's flush.
  struct Pending {
    std::shared_ptr<OsDir> dir;
    std::string temporary, name, sourcePath;
    std::uint64_t bytes;
    std::int64_t mtimeSec;  // the source's last-write time
  };

  // What a step leaves the walk to do.
  enum class Next { kOn, kLevelDone, kStop };

  std::string Join(OsDir& dir, const std::string& name) const { return os_.Paths().Join(dir.Path(), name); }
  std::string TargetJoin(const Frame& frame, const std::string& name) const {
    return os_.Paths().Join(frame.targetPath, name);
  }

  // The level's target directory, opened the first time an operation needs
  // it (the levels above first). Opened without following a link, and only
  // on the mount of the level above: another mount inside the copy is not
  // the copy, and filling it would change, or emptying it delete, whatever
  // it shows. Null when it cannot be: then reported, and the walk stops.
  OsDir* Target(Frame& frame) {
    if (frame.target) return frame.target.get();
    OsDir* above = frame.above ? Target(*frame.above) : nullptr;
    if (above == nullptr) return nullptr;  // reported there
    std::unique_ptr<OsDir> to;
    FileStatus status;
    Status opened = above->OpenDir(frame.name, &to);
    if (opened.ok()) opened = to->Stat(&status);
    if (!opened.ok() || !status.SameMountAs(frame.above->targetStatus)) {
      Commit();
      reporter_.ScanFailure(kTargetFirstError + TargetJoin(frame, "*"));
      frame.above = nullptr;  // not tried again
      return nullptr;
    }
    frame.targetStatus = status;
    frame.target = std::move(to);
    return frame.target.get();
  }

  static std::string RelativeOf(const Frame& frame, const std::string& name) {
    return frame.relative.empty() ? name : frame.relative + "/" + name;
  }

  // The steps of one level, up to its Leave. 0: stopped, already reported.
  int Level(Frame& frame) {
    // The directory's permissions as the walk knows them, and whether
    // setting them failed (one failure, however often they are tried).
    Current current{frame.targetStatus, false};
    MirrorStep step;
    for (;;) {
      // Asked to stop: between two files, with what is copied so far kept.
      if (reporter_.Cancelled()) {
        Commit();
        return 0;
      }
      if (!plan_.Next(&step)) {
        // The scan stopped at a directory it could not enter, and the apply
        // has got there.
        reporter_.ScanFailure(kTargetFirstError + TargetJoin(frame, "*"));
        return 0;
      }
      switch (std::visit([&](const auto& action) { return Do(frame, current, action); }, step)) {
        case Next::kOn:
          break;
        case Next::kLevelDone:
          return 1;
        case Next::kStop:
          return 0;
      }
    }
  }

  // The level's directory as the walk has left it.
  struct Current {
    FileStatus status;
    bool chmodFailed;
  };

  Next Do(Frame& frame, Current&, const steps::RemoveLeftover& step) {
    // What a killed copy left is the program's own: it goes, force or not.
    OsDir* target = Target(frame);
    if (target == nullptr) return Next::kStop;
    (void)files_.With(FilePolicy{true}).Delete(*target, step.name);
    return Next::kOn;
  }
  Next Do(Frame& frame, Current&, const steps::PassOver& step) {
    reporter_.Skipped(PassOverLine(step.reason) + Join(*frame.source, step.name));
    return Next::kOn;
  }
  Next Do(Frame& frame, Current&, const steps::Vanished& step) {
    reporter_.Vanished(Join(*frame.source, step.name));
    return Next::kOn;
  }
  Next Do(Frame&, Current&, const steps::Exclude&) {
    // Left out by the patterns the run's log line names: no line each.
    return Next::kOn;
  }
  Next Do(Frame& frame, Current&, const steps::Blocked& step) {
    // Not left out, and not copied either: the run says so, and goes on.
    reporter_.Failure(BlockedLine(Join(*frame.source, step.name), TargetJoin(frame, step.counterpart), step.directory));
    return Next::kOn;
  }
  Next Do(Frame& frame, Current&, const steps::LeaveOut& step) {
    // The medium cannot hold it: said, and never tried.
    OsDir& source = *frame.source;
    const std::string line =
        LeftOutLine(step, Join(source, step.name), TargetJoin(frame, step.name), Join(source, step.twin));
    if (step.reason == steps::LeaveOut::Reason::kLink) {
      reporter_.Skipped(line);
    } else {
      reporter_.LeaveOut(line, LeftOut{Join(source, step.name), UnfitReasonOf(step.reason),
                                       step.twin.empty() ? "" : Join(source, step.twin)});
    }
    return Next::kOn;
  }
  Next Do(Frame&, Current&, const steps::Unreadable& step) {
    // Its failure line; its earlier copy (an EnterDirectory) may follow.
    reporter_.Failure(step.line, "", step.failure);
    reporter_.Unreadable();
    return Next::kOn;
  }
  Next Do(Frame&, Current&, const steps::Stop& step) {
    Commit();
    reporter_.ScanFailure(step.line);
    return Next::kStop;
  }
  Next Do(Frame&, Current&, const steps::KeepVanished&) {
    reporter_.Skipped("option nodel : delete canceled!");
    return Next::kOn;
  }
  Next Do(Frame& frame, Current&, const steps::Delete& step) {
    OsDir* target = Target(frame);
    return target != nullptr && Delete(*target, frame.targetStatus, step) ? Next::kOn : Next::kStop;
  }
  Next Do(Frame& frame, Current&, const steps::Prune& step) {
    OsDir* target = Target(frame);
    return target != nullptr && Prune(*target, step) ? Next::kOn : Next::kStop;
  }
  Next Do(Frame& frame, Current& current, const steps::Fill& step) {
    OsDir* target = Target(frame);
    if (target == nullptr) return Next::kStop;
    if (SetPermissions(*target, "", step.permissions)) {
      current.status.permissions = step.permissions;
    } else {
      current.chmodFailed = true;
    }
    return Next::kOn;
  }
  Next Do(Frame& frame, Current& current, const steps::Leave& step) {
    if (step.commitFirst && !Commit()) return Next::kStop;
    if (step.access && AccessDiffers(*step.access, current.status, frame.targetStatus.permissions)) {
      OsDir* target = Target(frame);
      if (target == nullptr) return Next::kStop;
      SetAccess(*target, "", *step.access, current.status, frame.targetStatus.permissions,
                /*reportFailure=*/!current.chmodFailed);
    }
    return Next::kLevelDone;
  }
  Next Do(Frame& frame, Current&, const steps::EnterDirectory& step) {
    return Directory(frame, step) ? Next::kOn : Next::kStop;
  }
  Next Do(Frame& frame, Current&, const steps::CopyFile& step) {
    std::string destination;
    return Target(frame) && Prepare(frame, step.name, step.counterpart, &destination) && Copy(frame, step, destination)
               ? Next::kOn
               : Next::kStop;
  }
  Next Do(Frame& frame, Current&, const steps::ShareFile& step) {
    std::string destination;
    if (!Target(frame) || !Prepare(frame, step.copy.name, step.copy.counterpart, &destination)) return Next::kStop;
    if (Share(frame, step, destination)) return Next::kOn;
    return Copy(frame, step.copy, destination) ? Next::kOn : Next::kStop;  // copied after all
  }
  Next Do(Frame& frame, Current&, const steps::KeepFile& step) {
    // An unchanged file: its directory is opened only for what is done to it.
    const steps::Counterpart& counterpart = step.counterpart;
    const bool changesAccess =
        step.access && AccessDiffers(*step.access, counterpart.status, counterpart.status.permissions);
    if ((changesAccess || counterpart.first != steps::Counterpart::First::kNothing) && !Target(frame)) {
      return Next::kStop;
    }
    std::string destination;
    if (!Prepare(frame, step.name, step.counterpart, &destination)) return Next::kStop;
    reporter_.SkippedDeferred("Not update,copy canceled! : " + TargetJoin(frame, destination));
    if (changesAccess) {
      SetAccess(*frame.target, destination, *step.access, counterpart.status, counterpart.status.permissions);
    }
    return Next::kOn;
  }
  Next Do(Frame& frame, Current&, const steps::KeepUnforced& step) {
    if (!Target(frame)) return Next::kStop;
    OsDir& target = *frame.target;
    std::string destination;
    if (!Prepare(frame, step.name, step.counterpart, &destination)) return Next::kStop;
    reporter_.LeftUndone("File Copy Failed due to Not Force Mode : " + Join(*frame.source, step.name) + " to " +
                         Join(target, destination));
    // A copy that other names share (a snapshot made with cp -al, a linked
    // generation) is first made a file of its own, holding what it held, so
    // that the other names keep their permissions and owner.
    if (step.unshare) {
      if (Status code = target.CopyFile(destination, target, destination, CopyMode::Replace, nullptr, nullptr,
                                        reporter_.control().progress);
          !code.ok()) {
        reporter_.Failure("Permissions Set Failed : ", Join(target, destination), code);
        return Next::kOn;
      }
    }
    if (step.access) {
      SetAccess(target, destination, *step.access, step.counterpart.status, step.counterpart.status.permissions);
    }
    return Next::kOn;
  }

  // Reads past the steps of a level that is not entered, up to its Leave.
  // 0: the plan ends in a failure there, now reported.
  int SkipLevel() {
    MirrorStep step;
    for (int depth = 0;;) {
      if (!plan_.Next(&step)) return 0;
      if (std::holds_alternative<steps::EnterDirectory>(step) || std::holds_alternative<steps::Prune>(step)) ++depth;
      if (const auto* stop = std::get_if<steps::Stop>(&step)) {
        reporter_.ScanFailure(stop->line);
        return 0;
      }
      if (std::holds_alternative<steps::Leave>(step) && depth-- == 0) return 1;
    }
  }

  // The skip line of an entry passed over, before its path.
  static std::string PassOverLine(steps::PassOver::Reason reason) {
    using Reason = steps::PassOver::Reason;
    switch (reason) {
      // Opening a FIFO blocks for ever, a device may act on the device.
      case Reason::kSpecial:
        return "special file found copy canceled! : ";
      // The run's own lock file lies where this entry would go.
      case Reason::kOwnName:
        return "program file found copy canceled! : ";
      case Reason::kSystemDirectory:
        return "system directory found copy canceled! : ";
      case Reason::kBackupDirectory:
        return "backup directory found copy canceled! : ";
    }
    return std::string();
  }

  // Sets permissions, logging a failure (which is counted, and keeps an
  // incomplete copy from replacing a generation) unless it was reported
  // already. True when done.
  bool SetPermissions(OsDir& dir, const std::string& name, std::uint32_t permissions, bool reportFailure = true) {
    if (Status code = dir.ChangeEntry(name, {.permissions = permissions}); !code.ok()) {
      if (reportFailure) {
        reporter_.Failure("Permissions Set Failed : ", name.empty() ? dir.Path() : Join(dir, name), code);
      }
      return false;
    }
    return true;
  }

  // Whether SetAccess has anything to do or say.
  static bool AccessDiffers(const steps::Access& access, const FileStatus& current, std::uint32_t listed) {
    const bool ownerDiffers = access.withOwner && (access.owner != current.owner || access.group != current.group);
    const bool changedSince = access.announce && access.permissions != listed;
    return ownerDiffers || access.permissions != current.permissions || changedSince;
  }

  // Gives `name` in `dir` (the directory itself when empty) `access` where
  // `current` differs, with lines (success-log option) for what changed from
  // the permissions `listed` where the access says so. Without
  // `reportFailure`, a failure to set the permissions was reported before
  // and is not again.
  void SetAccess(OsDir& dir, const std::string& name, const steps::Access& access, const FileStatus& current,
                 std::uint32_t listed, bool reportFailure = true) {
    if (!AccessDiffers(access, current, listed)) return;
    const bool ownerDiffers = access.withOwner && (access.owner != current.owner || access.group != current.group);
    const bool changedSince = access.announce && access.permissions != listed;
    const std::string path = name.empty() ? dir.Path() : Join(dir, name);
    // A link has no permissions of its own. Setting them again after a change
    // of owner keeps the set-id bits that the change cleared.
    EntryChange change;
    if (ownerDiffers) change.owner = EntryChange::Owner{access.owner, access.group};
    if (!access.ownerOnly && (access.permissions != current.permissions || ownerDiffers)) {
      change.permissions = access.permissions;
    }
    EntryPart failed = EntryPart::kNone;
    Status code = change.owner || change.permissions ? dir.ChangeEntry(name, change, &failed) : Status();
    if (failed == EntryPart::kOwner) {
      reporter_.Failure("Owner Set Failed : ", path, code);
      // A medium that refuses owners may still keep permissions, as a copy
      // made there gets them.
      change.owner.reset();
      code = change.permissions ? dir.ChangeEntry(name, change, &failed) : Status();
    } else if (ownerDiffers && access.announce) {
      reporter_.Done("Owner Set : " + path + " : " + std::to_string(access.owner) + ":" + std::to_string(access.group));
    }
    if (access.ownerOnly) return;
    if (!code.ok() && reportFailure) reporter_.Failure("Permissions Set Failed : ", path, code);
    if (code.ok() && changedSince) {
      char octal[8];
      std::snprintf(octal, sizeof octal, "%04o", access.permissions & 07777);
      reporter_.Done("Permissions Set : " + path + " : " + octal);
    }
  }

  // Deals with the counterpart of the source file `name` as the plan says,
  // before its copy is made or kept, and sets `*destination` to the name the
  // copy goes to: the source's, or the counterpart's where it is left in
  // place or its rename failed. False: stop the walk (already reported).
  bool Prepare(Frame& frame, const std::string& name, const std::optional<steps::Counterpart>& counterpart,
               std::string* destination) {
    using First = steps::Counterpart::First;
    *destination = steps::Destination(name, counterpart);
    if (!counterpart) return true;
    switch (counterpart->first) {
      case First::kNothing:
        break;
      case First::kRename:
        *destination = Rename(*frame.target, counterpart->name, name, /*directory=*/false);
        break;
      case First::kRemove:
        // The file used to be a directory: its old self goes first,
        // everything in it included (where that fails, the copy fails on it).
        return Remove(*frame.target, frame.targetStatus, counterpart->name, true, /*boxes=*/false);
    }
    return true;
  }

  // Gives a counterpart whose name differs in case the source's name. Returns
  // the name it has afterwards: the new one, or the old one if that failed.
  std::string Rename(OsDir& target, const std::string& from, const std::string& to, bool directory) {
    Status code = target.MoveNoReplace(from, target, to);
    // A medium without a rename that refuses to replace (FUSE, network
    // clients) cannot move a directory that way: the name is looked up
    // first, which is as safe inside a copy whose backup directory this
    // run holds locked.
    if (code.Is(ErrorKind::kUnsupported)) code = target.MoveIfFree(from, target, to);
    if (code.ok()) {
      reporter_.Done((directory ? "rename directory : from " : "rename file : from ") + Join(target, from) + " TO " +
                     Join(target, to));
      return to;
    }
    if (directory) {
      reporter_.Failure("rename directory failed : from " + Join(target, from) + " TO " + Join(target, to));
    } else {
      reporter_.Failure("rename file failed : ", "from " + Join(target, from) + " TO " + Join(target, to), code);
    }
    return from;
  }

  // Makes `destination` in `target` the file `name` of `reference` (which
  // must still be what `expected` describes): a hard link where `link`
  // says, else or where that fails a clone where `clone` says. The status
  // of the last attempt; `*linked` tells which it was.
  Status ShareFrom(OsDir& reference, const std::string& name, const FileStatus& expected, bool link, bool clone,
                   OsDir& target, const std::string& destination, bool* linked) {
    Status code = os_.Error(ErrorKind::kUnsupported);
    *linked = false;
    if (link) {
      code = reference.LinkFile(name, target, destination, expected);
      *linked = code.ok();
    }
    if (!code.ok() && clone) code = reference.CloneFile(name, target, destination, expected);
    return code;
  }

  // A hard link made to the reference copy's file, whose status (`as`) it
  // shares: its manifest entry is taken from the newest generation's
  // without a status call of its own.
  void NoteLinked(const Frame& frame, const std::string& destination, const FileStatus& as) {
    if (checksums_) (*checksums_)[RelativeOf(frame, destination)] = CopiedChecksum{as.size, {}, as};
  }

  // Takes the reference copy's file as the copy, by link or by clone. True
  // when done; false leaves the copy to be made the ordinary way.
  bool Share(Frame& frame, const steps::ShareFile& step, const std::string& destination) {
    if (frame.reference == nullptr) return false;
    OsDir& target = *frame.target;
    // Whatever an interrupted run left under the name goes first: a clone or
    // a link is never made over an entry.
    if (step.copy.counterpart && !target.DeleteFile(destination).ok()) return false;
    bool linked = false;
    if (!ShareFrom(*frame.reference, step.copy.name, step.reference, step.link, step.clone, target, destination,
                   &linked)
             .ok()) {
      return false;
    }
    if (linked) NoteLinked(frame, destination, step.reference);
    // The file is what it was in the newest generation: its line may wait
    // with the others about files left as they were.
    reporter_.DoneDeferred((linked ? "File Linked : " : "File Cloned : ") + Join(*frame.reference, step.copy.name) +
                           " to " + Join(target, destination));
    reporter_.CountShared();
    return true;
  }

  // A source file that could not be read: the copy takes its earlier copy
  // (the newest generation's) as the plan found it, shared or copied, so
  // that one file that cannot be read never keeps the rest from being
  // backed up. Without one the file is left out. Either way the failure is
  // already a line.
  void KeepEarlierCopy(Frame& frame, const steps::CopyFile& step, const std::string& destination) {
    reporter_.Unreadable();
    if (!step.earlier || frame.reference == nullptr) return;
    const steps::EarlierCopy& earlier = *step.earlier;
    OsDir& dir = *frame.reference;
    OsDir& target = *frame.target;
    (void)target.DeleteFile(destination);  // what the failed copy may have left
    bool linked = false;
    Status code = ShareFrom(dir, step.name, earlier.status, earlier.link, earlier.clone, target, destination, &linked);
    if (!code.ok()) {
      code = dir.CopyFile(step.name, target, destination, CopyMode::Unflushed, nullptr, nullptr,
                          reporter_.control().progress);
    }
    if (!code.ok()) {
      reporter_.Failure("File Copy Failed : ", Join(dir, step.name) + " to " + Join(target, destination), code);
      return;
    }
    if (linked) {
      NoteLinked(frame, destination, earlier.status);
    } else {
      Retime(frame.target, destination, earlier.status.mtimeSec);
    }
    reporter_.Note("File Kept From Earlier Generation : " + Join(dir, step.name) + " to " + Join(target, destination));
  }

  // Where the medium gives a copy the time it was closed or named instead
  // of the one set on it (smbnetfs, fusefat), the copy `name` in `dir` is
  // given its source's last-write time again, to the second (those media
  // keep no finer), so that it is not taken for newer than its source.
  // Not at once: smbnetfs closes the file on the server after close() has
  // returned, and the server then stamps it with the time of the closing,
  // over a time set in between (a few copies in a hundred). The time is set
  // once `kRetimeLag` later copies have been made, or at the end of the
  // walk after a pause, by when the driver has long closed the file.
  void Retime(const std::shared_ptr<OsDir>& dir, const std::string& name, std::int64_t seconds) {
    if (!retime_) return;
    retimes_.push_back(LateRetime{dir, name, seconds});
    if (retimes_.size() > kRetimeLag) ApplyRetime();
  }
  void ApplyRetime() {
    LateRetime late = std::move(retimes_.front());
    retimes_.pop_front();
    if (reporter_.MediumGone()) return;
    if (Status code = late.dir->ChangeEntry(late.name, {.times = late.seconds}); !code.ok()) {
      reporter_.Failure("Time Set Failed : ", Join(*late.dir, late.name), code);
    }
  }
  void ApplyRetimes() {
    if (retimes_.empty()) return;
    os_.SleepMs(kReleaseWaitMs);
    while (!retimes_.empty()) ApplyRetime();
  }

  // Copies the source file or link `step.name` to `destination` as the plan
  // says. False: stop the walk (already reported).
  bool Copy(Frame& frame, const steps::CopyFile& step, const std::string& destination) {
    OsDir& source = *frame.source;
    OsDir& target = *frame.target;
    bool vanished = false;
    bool readFailed = false;
    bool copied = false;
    std::optional<ChecksummingCopy> checksum;
    if (checksums_ && step.source.kind == EntryKind::File) checksum.emplace(reporter_.control().progress);
    CopyProgress* sink = checksum ? &*checksum : nullptr;
    if (step.writing == steps::Writing::kStaged) {
      FileOps::Staged staged = files_.Stage(source, step.name, target, destination, sink);
      copied = staged.ok != 0;
      vanished = staged.vanished;
      Pending pending{frame.target, std::move(staged.temporary), destination, Join(source, step.name),
                      staged.bytes, step.source.mtimeSec};
      if (copied && !pending.temporary.empty()) {
        pendingBytes_ += pending.bytes;
        pending_.push_back(std::move(pending));
        if ((pending_.size() >= kBatchFiles || pendingBytes_ >= kBatchBytes) && !Commit()) {
          return false;
        }
      }
    } else {
      copied = files_.Copy(source, step.name, target, destination, &vanished,
                           step.writing == steps::Writing::kUnflushed, &readFailed, sink) != 0;
      if (copied) Retime(frame.target, destination, step.source.mtimeSec);
    }
    if (copied && checksum) {
      if (std::optional<Checksum> sum = checksum->Result(checksum->seen())) {
        (*checksums_)[RelativeOf(frame, destination)] = CopiedChecksum{checksum->seen(), *sum, std::nullopt};
      }
    }
    if (copied) return true;
    if (reporter_.Cancelled()) return false;
    if (vanished) {
      reporter_.Vanished(Join(source, step.name));
      return true;
    }
    if (readFailed && step.keepUnreadable) {
      KeepEarlierCopy(frame, step, destination);
      return true;
    }
    if (!reporter_.noMessage()) {
      Commit();
      reporter_.Show("ERR : COPY FILE FROM " + Join(source, step.name) + " TO " + Join(target, destination));
      return false;
    }
    return true;
  }

  // Flushes the batch and gives each of its copies its name. False when the
  // flush failed: then none of them is named, each is a failure line, and
  // unless the no-message flag is set the first is shown and the walk stops.
  bool Commit() {
    if (pending_.empty()) return true;
    std::vector<Pending> batch = std::move(pending_);
    pending_.clear();
    pendingBytes_ = 0;
    // Nothing can be named on a medium that went away: the copies not yet
    // named are temporary files the next run removes.
    if (reporter_.MediumGone()) return false;
    Status code;
    {
      FlushingScope flushing(reporter_.control().progress);
      code = batch.front().dir->SyncFileSystem();
    }
    // The first copy that did not get its name, if any: a failed flush
    // fails them all, a failed rename (an old copy that may not be replaced)
    // that one.
    const Pending* failed = nullptr;
    for (Pending& pending : batch) {
      if (code.ok()) {
        if (!files_.Place(*pending.dir, pending.temporary, pending.name, pending.sourcePath, pending.bytes)) {
          if (failed == nullptr) failed = &pending;
        } else {
          Retime(pending.dir, pending.name, pending.mtimeSec);
        }
        continue;
      }
      (void)pending.dir->DeleteFile(pending.temporary);
      reporter_.Failure("File Copy Failed : ", pending.sourcePath + " to " + Join(*pending.dir, pending.name), code);
      if (failed == nullptr) failed = &pending;
    }
    if (failed == nullptr || reporter_.noMessage()) return true;
    reporter_.Show("ERR : COPY FILE FROM " + failed->sourcePath + " TO " + Join(*failed->dir, failed->name));
    return false;
  }

  // A source directory: the target directory found, made or renamed, then
  // the level beneath. False: stop the walk (already reported).
  bool Directory(Frame& frame, const steps::EnterDirectory& step) {
    // The source's directory, or where it could not be read its earlier copy.
    OsDir* source = step.fromReference ? frame.reference : frame.source;
    std::string sourcePath = Join(source ? *source : *frame.source, step.name);
    std::unique_ptr<OsDir> from;
    FileStatus fromStatus;
    const Status code = source ? OpenListedDir(os_, *source, step.name, step.source, &from, &fromStatus)
                               : os_.Error(ErrorKind::kNotFound);
    if (!code.ok()) {
      // Gone, or no longer the directory it was (another since the scan is
      // as good as gone): the next run copies whatever is there then. The
      // counterpart stays meanwhile.
      if (code.Is(ErrorKind::kNotFound) || code.Is(ErrorKind::kNotDirectory) || code.Is(ErrorKind::kChanged)) {
        reporter_.Vanished(sourcePath);
        return SkipLevel() != 0;
      }
      reporter_.ScanFailure(kSourceFirstError + os_.Paths().Join(sourcePath, "*"));
      return false;
    }

    using First = steps::Counterpart::First;
    std::string into = steps::Destination(step.name, step.counterpart);
    // The directory as it is, met as it was listed: opened once something
    // beneath needs it.
    const bool asListed = !step.create && step.counterpart && step.counterpart->first == First::kNothing;
    OsDir* target = asListed ? nullptr : Target(frame);
    if (!asListed && target == nullptr) return false;
    if (step.counterpart && step.counterpart->first == First::kRename) {
      into = Rename(*target, step.counterpart->name, step.name, /*directory=*/true);
    }
    if (step.create) {
      // What was there of another kind goes first; where it stays, the
      // creation fails on it.
      if (step.counterpart && step.counterpart->first == First::kRemove &&
          files_.Delete(*target, step.counterpart->name)) {
        into = step.name;
      }
      if (!files_.Create(*target, into)) {
        if (reporter_.noMessage()) return SkipLevel() != 0;  // logged; the entries beneath are not tried
        Commit();
        reporter_.Show("ERR : MKDIR FAILED " + Join(*target, into));
        return false;
      }
    }

    std::unique_ptr<OsDir> in;
    if (step.hasReference && frame.reference != nullptr && !frame.reference->OpenDir(step.name, &in).ok()) {
      in.reset();
    }
    Frame below{from.get(),
                nullptr,
                in.get(),
                asListed ? step.counterpart->status : FileStatus(),
                RelativeOf(frame, into),
                TargetJoin(frame, into),
                &frame,
                into};
    // One made or renamed here is opened now, as it is in any case filled.
    if (!asListed && Target(below) == nullptr) return false;
    return Level(below) != 0;
  }

  // A Delete step in `target`. False: stop the walk (already reported).
  bool Delete(OsDir& target, const FileStatus& targetStatus, const steps::Delete& step) {
    if (!Remove(target, targetStatus, step.name, step.directory, /*boxes=*/true)) return false;
    // Counted where it is gone: a deletion that failed, or that no-force
    // mode left undone, is no deletion.
    FileStatus gone;
    if (target.StatAt(step.name, &gone).Is(ErrorKind::kNotFound)) reporter_.CountDeleted();
    return true;
  }

  // A directory the source no longer has, which holds what the exclude
  // patterns keep: the deletions of its level, as the plan lists them; the
  // directory stays. One that is no longer the directory listed (replaced,
  // or a link put on its name) is left as it is, unentered. False: stop the
  // walk (already reported).
  bool Prune(OsDir& parent, const steps::Prune& step) {
    std::unique_ptr<OsDir> opened;
    FileStatus status;
    if (!OpenListedDir(os_, parent, step.name, step.listed, &opened, &status).ok()) {
      return SkipLevel() != 0;
    }
    MirrorStep inner;
    for (;;) {
      if (reporter_.Cancelled()) return false;
      if (!plan_.Next(&inner)) {
        reporter_.ScanFailure(kTargetFirstError + Join(*opened, "*"));
        return false;
      }
      // A prune level holds nothing else.
      if (const auto* deletion = std::get_if<steps::Delete>(&inner)) {
        if (!Delete(*opened, status, *deletion)) return false;
      } else if (const auto* prune = std::get_if<steps::Prune>(&inner)) {
        if (!Prune(*opened, *prune)) return false;
      } else if (const auto* stop = std::get_if<steps::Stop>(&inner)) {
        reporter_.ScanFailure(stop->line);
        return false;
      } else if (std::holds_alternative<steps::Leave>(inner)) {
        return true;
      }
    }
  }

  // Deletes one target entry, a directory with everything in it. False:
  // stop the walk (already reported). With `boxes` and the no-message flag
  // clear, a failed deletion of a file shows its box and stops the walk, a
  // failed removal of a directory shows its box and the walk goes on.
  bool Remove(OsDir& target, const FileStatus& targetStatus, const std::string& name, bool isDirectory, bool boxes) {
    bool asFile = !isDirectory;
    if (!asFile) {
      switch (deleter_.EmptySubdir(target, name, targetStatus)) {
        case TreeDeleter::Emptied::kStopped:
          return false;
        case TreeDeleter::Emptied::kGone:
          return true;
        case TreeDeleter::Emptied::kNotADirectory:
          asFile = true;
          break;
        case TreeDeleter::Emptied::kYes:
          break;
      }
    }
    if (asFile) {
      // Files, links and special files alike: a link goes, never its target.
      if (!files_.Delete(target, name) && !reporter_.noMessage() && boxes) {
        Commit();
        reporter_.Show("ERR : DELETE FILE " + name);
        return false;
      }
      return true;
    }
    if (!files_.Remove(target, name) && !reporter_.noMessage() && boxes) {
      reporter_.Show("ERR : DELETE DIRECTORY " + name);  // and on with the next
    }
    return true;
  }

  Os& os_;
  Reporter& reporter_;
  FileOps files_;
  TreeDeleter deleter_;
  MirrorPlan& plan_;
  const bool retime_;           // copies are given their times again once named
  CopiedChecksums* checksums_;  // null: copies are not checksummed
  std::vector<Pending> pending_;
  std::uint64_t pendingBytes_ = 0;
  std::deque<LateRetime> retimes_;
};

MirrorApplier::MirrorApplier(Os& os, Reporter& reporter, std::optional<FileStatus> guarded)
    : os_(os), reporter_(reporter), guarded_(std::move(guarded)) {}

int MirrorApplier::Apply(MirrorPlan& plan) {
  MirrorWalk walk(os_, reporter_, plan, guarded_, checksums_);
  return walk.Run();
}

int MirrorTree(Os& os, Reporter& reporter, const MirrorJob& job, MirrorPlan* plan,
               const std::optional<FileStatus>& guarded) {
  MirrorPlanner planner(os, reporter);
  if (!planner.Plan(job, plan)) return 0;
  return MirrorApplier(os, reporter, guarded).Apply(*plan);
}

}  // namespace veldar
