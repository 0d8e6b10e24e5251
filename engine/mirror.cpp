// MirrorApplier: the half of the tree mirror that changes the target
// (mirror_plan.cpp finds out what to do).
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
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/mirror.h"
#include "platform/os_paths.h"

namespace veldar {
namespace {

// A batch is flushed once it holds this much, or at the end.
constexpr std::size_t kBatchFiles = 8192;
constexpr std::uint64_t kBatchBytes = std::uint64_t{1} << 30;

}  // namespace

// The apply, one object per plan.
class MirrorWalk {
 public:
  MirrorWalk(Os& os, Reporter& reporter, MirrorPlan& plan, const std::optional<FileStatus>& guarded)
      : os_(os),
        reporter_(reporter),
        files_(os, reporter, FilePolicy{plan.job.force}),
        // No deletion of the apply may empty the tree it copies from,
        // however that is reached from the target.
        deleter_(files_, guarded ? guarded : std::optional<FileStatus>(plan.sourceStatus)),
        plan_(plan),
        batched_(plan.job.writes == MirrorWrites::kBatched),
        unflushed_(plan.job.writes == MirrorWrites::kUnflushed) {}

  int Run() {
    plan_.Rewind();
    std::shared_ptr<OsDir> target = std::move(plan_.target);
    const FileStatus targetStatus = plan_.targetStatus;
    if (!target) {
      reporter_.ScanFailure(kTargetFirstError + os_.Paths().Join(plan_.job.target, "*"));
      return 0;
    }
    // As the plan found the target's medium.
    permissions_ = plan_.permissions;
    retime_ = plan_.job.medium && !plan_.job.medium->copyKeepsTime;
    ownerToo_ = plan_.owners;
    Frame top{plan_.source.get(), target, plan_.reference.get(), plan_.sourceStatus, targetStatus,
              plan_.job.targetIsNew};
    const int result = Level(top);
    return Commit() && result;
  }

 private:
  // One level being applied: its directories and what they were.
  struct Frame {
    OsDir* source;
    std::shared_ptr<OsDir> target;  // held by a batch's pending copies too
    OsDir* reference;               // null: nothing to share from
    FileStatus sourceStatus;
    FileStatus targetStatus;
    bool created;
  };

  // A copy written under its temporary name, waiting for its batch's flush.
  struct Pending {
    std::shared_ptr<OsDir> dir;
    std::string temporary, name, sourcePath;
    std::uint64_t bytes;
    std::int64_t mtimeSec;  // the source's last-write time
  };

  std::string Join(OsDir& dir, const std::string& name) const {
    return os_.Paths().Join(dir.Path(), name);
  }

  // The steps of one level, up to its kLeave. 0: stopped, already reported.
  int Level(Frame& frame) {
    OsDir& target = *frame.target;
    // Filled while no more open than its source, and writable by its owner.
    const std::uint32_t filling =
        (frame.targetStatus.permissions & frame.sourceStatus.permissions) | 0700;
    std::uint32_t now = frame.targetStatus.permissions;
    // A directory whose permissions cannot be set is one failure, however
    // often they are tried.
    bool chmodFailed = false;
    if (permissions_ && filling != now) {
      if (SetPermissions(target, "", filling)) {
        now = filling;
      } else {
        chmodFailed = true;
      }
    }

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
        reporter_.ScanFailure(kTargetFirstError + os_.Paths().Join(target.Path(), "*"));
        return 0;
      }
      using Kind = MirrorStep::Kind;
      switch (step.kind) {
        case Kind::kRemoveAbandoned:
          // What a killed copy left is the program's own: it goes, force or not.
          if (files_.With(FilePolicy{true}).Delete(target, step.name)) plan_.renamedOrChmodded = true;
          break;
        case Kind::kFile:
          if (!File(frame, step)) return 0;
          break;
        case Kind::kPassOver:
          reporter_.Skipped(PassOverLine(step.passOver) + Join(*frame.source, step.name));
          break;
        case Kind::kVanished:
          reporter_.Vanished(Join(*frame.source, step.name));
          break;
        case Kind::kEnter:
          if (!Directory(frame, step)) return 0;
          break;
        case Kind::kDelete:
          if (!Delete(target, frame.targetStatus, step)) return 0;
          break;
        case Kind::kPrune:
          if (!Prune(target, step)) return 0;
          break;
        case Kind::kNoDelete:
          reporter_.Skipped("option nodel : delete canceled!");
          break;
        case Kind::kExcluded:
          // Left out by the patterns the run's log line names: no line each.
          break;
        case Kind::kBlocked:
          // Not left out, and not copied either: the run says so, and goes on.
          reporter_.Failure(BlockedLine(Join(*frame.source, step.name), Join(target, step.counterpart),
                                        step.directory));
          break;
        case Kind::kUnfit: {
          // The medium cannot hold it: said, and never tried.
          const std::string line = LeftOutLine(step, Join(*frame.source, step.name), Join(target, step.name),
                                               Join(*frame.source, step.counterpart));
          if (step.unfit == MirrorStep::Unfit::kLink) {
            reporter_.Skipped(line);
          } else {
            reporter_.LeaveOut(line, LeftOut{Join(*frame.source, step.name), UnfitReasonOf(step.unfit),
                                             step.counterpart.empty() ? "" : Join(*frame.source, step.counterpart)});
          }
          break;
        }
        case Kind::kStop:
          Commit();
          reporter_.ScanFailure(step.name);
          return 0;
        case Kind::kUnreadable:
          // Its failure line; its earlier copy (a kEnter) may follow.
          reporter_.Failure(step.name, "", step.failure);
          reporter_.Unreadable();
          break;
        case Kind::kLeave: {
          // A directory its owner may not write to takes no more names.
          if ((frame.sourceStatus.permissions & 0300) != 0300 && !Commit()) return 0;
          // Its contents are in place: the directory gets its source's
          // permissions (a line for it only where an existing copy had others).
          FileStatus current = frame.targetStatus;
          current.permissions = now;
          ApplyPermissions(target, "", frame.sourceStatus, current,
                           frame.created ? nullptr : &frame.targetStatus, /*reportFailure=*/!chmodFailed);
          return 1;
        }
      }
    }
  }

  // Reads past the steps of a level that is not entered, up to its kLeave.
  // 0: the plan ends in a failure there, now reported.
  int SkipLevel() {
    MirrorStep step;
    for (int depth = 0;;) {
      if (!plan_.Next(&step)) return 0;
      if (step.kind == MirrorStep::Kind::kEnter || step.kind == MirrorStep::Kind::kPrune) ++depth;
      if (step.kind == MirrorStep::Kind::kStop) {
        reporter_.ScanFailure(step.name);
        return 0;
      }
      if (step.kind == MirrorStep::Kind::kLeave && depth-- == 0) return 1;
    }
  }

  // The skip line of an entry passed over, before its path.
  static std::string PassOverLine(MirrorStep::PassOver reason) {
    switch (reason) {
      // Opening a FIFO blocks for ever, a device may act on the device.
      case MirrorStep::PassOver::kSpecial: return "special file found copy canceled! : ";
      // The run's own lock file lies where this entry would go.
      case MirrorStep::PassOver::kOwnName: return "program file found copy canceled! : ";
      case MirrorStep::PassOver::kSystemDirectory: return "system directory found copy canceled! : ";
      case MirrorStep::PassOver::kBackupDirectory: return "backup directory found copy canceled! : ";
    }
    return std::string();
  }

  // Sets permissions, logging a failure (which is counted, and keeps an
  // incomplete copy from replacing a generation) unless it was reported
  // already. True when done.
  bool SetPermissions(OsDir& dir, const std::string& name, std::uint32_t permissions,
                      bool reportFailure = true) {
    if (Status code = dir.SetPermissions(name, permissions); !code.ok()) {
      if (reportFailure) {
        reporter_.Failure("Permissions Set Failed : ", name.empty() ? dir.Path() : Join(dir, name), code);
      }
      return false;
    }
    plan_.renamedOrChmodded = true;
    return true;
  }

  // Gives `name` in `dir` (the directory itself when empty) the permissions,
  // and for root the owner and group, of `source`, where `current` differs.
  // With `was`, what changed from it is logged (success-log option).
  // Without `reportFailure`, a failure to set the permissions was reported
  // before and is not again.
  void ApplyPermissions(OsDir& dir, const std::string& name, const FileStatus& source,
                        const FileStatus& current, const FileStatus* was, bool reportFailure = true) {
    if (!permissions_) return;
    const bool ownerDiffers =
        ownerToo_ && (source.owner != current.owner || source.group != current.group);
    const bool changedSince = was && source.permissions != was->permissions;
    if (!ownerDiffers && source.permissions == current.permissions && !changedSince) return;
    const std::string path = name.empty() ? dir.Path() : Join(dir, name);
    if (ownerDiffers) {
      if (Status code = dir.SetOwner(name, source.owner, source.group); !code.ok()) {
        reporter_.Failure("Owner Set Failed : ", path, code);
      } else {
        plan_.renamedOrChmodded = true;
        if (was) {
          reporter_.Done("Owner Set : " + path + " : " + std::to_string(source.owner) + ":" +
                           std::to_string(source.group));
        }
      }
    }
    // A link has no permissions of its own. Setting them again after a change
    // of owner keeps the set-id bits that the change cleared.
    if (source.kind == EntryKind::Symlink) return;
    const bool done = (source.permissions == current.permissions && !ownerDiffers) ||
                      SetPermissions(dir, name, source.permissions, reportFailure);
    if (done && was && source.permissions != was->permissions) {
      char octal[8];
      std::snprintf(octal, sizeof octal, "%04o", source.permissions & 07777);
      reporter_.Done("Permissions Set : " + path + " : " + octal);
    }
  }

  // Gives the file `name` the access the plan found its source to have,
  // with a line for what changed since its counterpart was listed.
  void SetAccess(OsDir& target, const std::string& name, const MirrorStep& step) {
    ApplyPermissions(target, name, step.source, step.counterpartStatus, &step.counterpartStatus);
  }

  // Gives a counterpart whose name differs in case the source's name. Returns
  // the name it has afterwards: the new one, or the old one if that failed.
  std::string Rename(OsDir& target, const std::string& from, const std::string& to,
                     bool directory) {
    Status code = target.MoveNoReplace(from, target, to);
    // A medium without a rename that refuses to replace (FUSE, network
    // clients) cannot move a directory that way: the name is looked up
    // first, which is as safe inside a copy whose backup directory this
    // run holds locked.
    if (code.Is(ErrorKind::kUnsupported)) code = target.MoveIfFree(from, target, to);
    if (code.ok()) {
      plan_.renamedOrChmodded = true;
      {
        reporter_.Done((directory ? "rename directory : from " : "rename file : from ") +
                         Join(target, from) + " TO " + Join(target, to));
      }
      return to;
    }
    if (directory) {
      reporter_.Failure("rename directory failed : from " + Join(target, from) + " TO " +
                           Join(target, to));
    } else {
      reporter_.Failure("rename file failed : ", "from " + Join(target, from) + " TO " + Join(target, to), code);
    }
    return from;
  }

  // Makes `destination` in `target` the file `name` of `reference` (which
  // must still be what `expected` describes): a hard link with -LINK, else
  // or where that fails a clone where the file system can. The status of
  // the last attempt; `*linked` tells which it was.
  Status ShareFrom(OsDir& reference, const std::string& name, const FileStatus& expected,
                OsDir& target, const std::string& destination, bool* linked) {
    Status code = os_.Error(ErrorKind::kUnsupported);
    *linked = false;
    if (plan_.job.sharing == MirrorSharing::kLinkOrClone) {
      code = reference.LinkFile(name, target, destination, expected);
      *linked = code.ok();
    }
    if (!code.ok() && plan_.shareByClone) code = reference.CloneFile(name, target, destination, expected);
    return code;
  }

  // Takes the reference copy's file as the copy, by link or by clone. True
  // when done; false leaves the copy to be made the ordinary way.
  bool Share(Frame& frame, const MirrorStep& step, const std::string& destination) {
    if (frame.reference == nullptr) return false;
    OsDir& target = *frame.target;
    // Whatever an interrupted run left under the name goes first: a clone or
    // a link is never made over an entry.
    if (!step.counterpart.empty() && !target.DeleteFile(destination).ok()) return false;
    bool linked = false;
    if (!ShareFrom(*frame.reference, step.name, step.reference, target, destination, &linked).ok()) {
      return false;
    }
    // The file is what it was in the newest generation: its line may wait
    // with the others about files left as they were.
    reporter_.DoneDeferred((linked ? "File Linked : " : "File Cloned : ") +
                           Join(*frame.reference, step.name) + " to " + Join(target, destination));
    reporter_.CountShared();
    return true;
  }

  // The reference's directory at the current level, reached from its top
  // (and held in `*held` below it); null where it has none.
  OsDir* EarlierLevel(std::unique_ptr<OsDir>* held) {
    if (!plan_.reference) return nullptr;
    OsDir* dir = plan_.reference.get();
    for (const std::string& name : path_) {
      std::unique_ptr<OsDir> next;
      if (!dir->OpenDir(name, &next).ok()) return nullptr;
      *held = std::move(next);
      dir = held->get();
    }
    return dir;
  }

  // A source file that could not be read: the new generation takes its copy
  // in the reference (the newest generation) instead, shared like an
  // unchanged file where sharing is on, else copied, so that one file that
  // cannot be read never keeps the rest from being backed up. Without such
  // a copy the file is left out. Either way the failure is already a line.
  void KeepEarlierCopy(Frame& frame, const MirrorStep& step, const std::string& destination) {
    reporter_.Unreadable();
    std::unique_ptr<OsDir> held;
    OsDir* dir = EarlierLevel(&held);
    if (dir == nullptr) return;
    FileStatus earlier;
    if (!dir->StatAt(step.name, &earlier).ok() ||
        (earlier.kind != EntryKind::File && earlier.kind != EntryKind::Symlink)) {
      return;
    }
    OsDir& target = *frame.target;
    (void)target.DeleteFile(destination);  // what the failed copy may have left
    bool linked = false;
    Status code = earlier.kind == EntryKind::File && plan_.job.sharing != MirrorSharing::kNone &&
                       plan_.job.compareTimes
                   ? ShareFrom(*dir, step.name, earlier, target, destination, &linked)
                   : os_.Error(ErrorKind::kUnsupported);
    if (!code.ok()) {
      code = dir->CopyFile(step.name, target, destination, CopyMode::Unflushed, nullptr, nullptr,
                           reporter_.control().progress);
    }
    if (!code.ok()) {
      reporter_.Failure("File Copy Failed : ", Join(*dir, step.name) + " to " + Join(target, destination), code);
      return;
    }
    if (!linked) Retime(target, destination, earlier.mtimeSec);
    reporter_.Note("File Kept From Earlier Generation : " + Join(*dir, step.name) + " to " +
                     Join(target, destination));
  }

  // Where the medium gives a copy the time it was closed or named instead
  // of the one set on it (smbnetfs, fusefat), the copy `name` in `dir` is
  // given its source's last-write time again, to the second (those media
  // keep no finer), so that it is not taken for newer than its source.
  void Retime(OsDir& dir, const std::string& name, std::int64_t seconds) {
    if (!retime_) return;
    if (Status code = dir.SetTimes(name, seconds); !code.ok()) {
      reporter_.Failure("Time Set Failed : ", Join(dir, name), code);
    }
  }

  // A source file or link, as the plan decided. False: stop the walk
  // (already reported).
  bool File(Frame& frame, const MirrorStep& step) {
    using Content = MirrorStep::Content;
    OsDir& source = *frame.source;
    OsDir& target = *frame.target;
    std::string destination = step.counterpart.empty() ? step.name : step.counterpart;
    if (step.removeCounterpart) {
      // The file used to be a directory: its old self goes first, everything
      // in it included.
      if (!Remove(target, frame.targetStatus, step.counterpart, true, /*boxes=*/false)) return false;
      destination = step.name;
    } else if (!step.counterpart.empty() && step.counterpart != step.name &&
               step.counterpartStatus.kind != EntryKind::Directory) {
      destination = Rename(target, step.counterpart, step.name, /*directory=*/false);
    }

    switch (step.content) {
      case Content::kKeep:
        reporter_.SkippedDeferred("Not update,copy canceled! : " + Join(target, destination));
        if (step.setAccess) SetAccess(target, destination, step);
        return true;
      case Content::kKeepNoForce:
        reporter_.LeftUndone("File Copy Failed due to Not Force Mode : " + Join(source, step.name) + " to " +
                             Join(target, destination));
        // A copy that other names share (a snapshot made with cp -al, a
        // linked generation) is first made a file of its own, holding what
        // it held, so that the other names keep their permissions and owner.
        if (step.unshare) {
          if (Status code = target.CopyFile(destination, target, destination, CopyMode::Replace, nullptr, nullptr,
                                            reporter_.control().progress);
              !code.ok()) {
            reporter_.Failure("Permissions Set Failed : ", Join(target, destination), code);
            return true;
          }
        }
        if (step.setAccess) SetAccess(target, destination, step);
        return true;
      case Content::kShare:
        if (Share(frame, step, destination)) return true;
        break;  // copied after all
      case Content::kCopy:
        break;
    }

    bool vanished = false;
    bool readFailed = false;
    bool copied = false;
    if (batched_ && plan_.job.force) {
      FileOps::Staged staged = files_.Stage(source, step.name, target, destination);
      copied = staged.ok != 0;
      vanished = staged.vanished;
      Pending pending{frame.target, std::move(staged.temporary), destination, Join(source, step.name), staged.bytes,
                      step.source.mtimeSec};
      if (copied && !pending.temporary.empty()) {
        pendingBytes_ += pending.bytes;
        pending_.push_back(std::move(pending));
        if ((pending_.size() >= kBatchFiles || pendingBytes_ >= kBatchBytes) && !Commit()) {
          return false;
        }
      }
    } else {
      copied = files_.Copy(source, step.name, target, destination, &vanished, unflushed_,
                                &readFailed) != 0;
      if (copied) Retime(target, destination, step.source.mtimeSec);
    }
    if (copied) return true;
    if (reporter_.Cancelled()) return false;
    if (vanished) {
      reporter_.Vanished(Join(source, step.name));
      return true;
    }
    if (readFailed && plan_.job.keepUnreadable && reporter_.noMessage()) {
      KeepEarlierCopy(frame, step, destination);
      return true;
    }
    if (!reporter_.noMessage()) {
      Commit();
      reporter_.Show("ERR : COPY FILE FROM " + Join(source, step.name) + " TO " +
                          Join(target, destination));
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
        if (!files_.Place(*pending.dir, pending.temporary, pending.name, pending.sourcePath,
                               pending.bytes)) {
          if (failed == nullptr) failed = &pending;
        } else {
          Retime(*pending.dir, pending.name, pending.mtimeSec);
        }
        continue;
      }
      (void)pending.dir->DeleteFile(pending.temporary);
      reporter_.Failure("File Copy Failed : ", pending.sourcePath + " to " + Join(*pending.dir, pending.name),
                        code);
      if (failed == nullptr) failed = &pending;
    }
    if (failed == nullptr || reporter_.noMessage()) return true;
    reporter_.Show("ERR : COPY FILE FROM " + failed->sourcePath + " TO " +
                        Join(*failed->dir, failed->name));
    return false;
  }

  // A source directory: the target directory found, made or renamed, then
  // the level beneath. False: stop the walk (already reported).
  bool Directory(Frame& frame, const MirrorStep& step) {
    OsDir& source = *frame.source;
    OsDir& target = *frame.target;
    std::string sourcePath = Join(source, step.name);
    std::unique_ptr<OsDir> from;
    FileStatus fromStatus;
    Status code;
    if (step.fromReference) {
      // The source's directory could not be read: its earlier copy is copied.
      std::unique_ptr<OsDir> held;
      OsDir* earlier = EarlierLevel(&held);
      code = earlier ? OpenListedDir(os_, *earlier, step.name, step.source, &from, &fromStatus)
                     : os_.Error(ErrorKind::kNotFound);
      if (earlier) sourcePath = Join(*earlier, step.name);
    } else {
      code = OpenListedDir(os_, source, step.name, step.source, &from, &fromStatus);
    }
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

    std::string into = step.counterpart.empty() ? step.name : step.counterpart;
    bool created = false;
    if (step.create) {
      // What was there of another kind goes first (the plan decided whether
      // it may); where it stays, the creation fails on it.
      if (step.removeCounterpart && files_.Delete(target, step.counterpart)) into = step.name;
      if (!files_.Create(target, into)) {
        if (reporter_.noMessage()) return SkipLevel() != 0;  // logged; the entries beneath are not tried
        Commit();
        reporter_.Show("ERR : MKDIR FAILED " + Join(target, into));
        return false;
      }
      created = true;
    } else if (step.counterpart != step.name) {
      into = Rename(target, step.counterpart, step.name, /*directory=*/true);
    }

    std::unique_ptr<OsDir> to;
    FileStatus toStatus;
    code = target.OpenDir(into, &to);
    if (code.ok()) code = to->Stat(&toStatus);
    // Another mount inside the copy is not the copy either: filling it would
    // change, and emptying it delete, whatever it shows.
    if (!code.ok() || !toStatus.SameMountAs(frame.targetStatus)) {
      Commit();
      reporter_.ScanFailure(kTargetFirstError + os_.Paths().Join(Join(target, into), "*"));
      return false;
    }
    std::unique_ptr<OsDir> in;
    if (step.hasReference && frame.reference != nullptr &&
        !frame.reference->OpenDir(step.name, &in).ok()) {
      in.reset();
    }
    Frame below{from.get(), std::shared_ptr<OsDir>(std::move(to)), in.get(), fromStatus, toStatus,
                created};
    path_.push_back(step.name);
    const bool result = Level(below) != 0;
    path_.pop_back();
    return result;
  }

  // A kDelete step of `target`. False: stop the walk (already reported).
  bool Delete(OsDir& target, const FileStatus& targetStatus, const MirrorStep& step) {
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
  bool Prune(OsDir& parent, const MirrorStep& step) {
    std::unique_ptr<OsDir> opened;
    FileStatus status;
    if (!OpenListedDir(os_, parent, step.name, step.counterpartStatus, &opened, &status).ok()) {
      return SkipLevel() != 0;
    }
    MirrorStep inner;
    for (;;) {
      if (reporter_.Cancelled()) return false;
      if (!plan_.Next(&inner)) {
        reporter_.ScanFailure(kTargetFirstError + Join(*opened, "*"));
        return false;
      }
      switch (inner.kind) {
        case MirrorStep::Kind::kDelete:
          if (!Delete(*opened, status, inner)) return false;
          break;
        case MirrorStep::Kind::kPrune:
          if (!Prune(*opened, inner)) return false;
          break;
        case MirrorStep::Kind::kStop:
          reporter_.ScanFailure(inner.name);
          return false;
        case MirrorStep::Kind::kLeave:
          return true;
        default:
          break;  // a prune level holds nothing else
      }
    }
  }

  // Deletes one target entry, a directory with everything in it. False:
  // stop the walk (already reported). With `boxes` and the no-message flag
  // clear, a failed deletion of a file shows its box and stops the walk, a
  // failed removal of a directory shows its box and the walk goes on.
  bool Remove(OsDir& target, const FileStatus& targetStatus, const std::string& name,
              bool isDirectory, bool boxes) {
    bool asFile = !isDirectory;
    if (!asFile) {
      switch (deleter_.EmptySubdir(target, name, targetStatus)) {
        case TreeDeleter::Emptied::kStopped: return false;
        case TreeDeleter::Emptied::kGone: return true;
        case TreeDeleter::Emptied::kNotADirectory: asFile = true; break;
        case TreeDeleter::Emptied::kYes: break;
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
  const bool batched_;
  const bool unflushed_;
  bool permissions_ = true;  // the target's file system keeps permissions
  bool retime_ = false;       // copies are given their times again once named
  bool ownerToo_ = false;
  std::vector<Pending> pending_;
  std::uint64_t pendingBytes_ = 0;
  // The source's names of the directories from the top down to the level
  // being applied.
  std::vector<std::string> path_;
};

MirrorApplier::MirrorApplier(Os& os, Reporter& reporter, std::optional<FileStatus> guarded)
    : os_(os), reporter_(reporter), guarded_(std::move(guarded)) {}

int MirrorApplier::Apply(MirrorPlan& plan) {
  MirrorWalk walk(os_, reporter_, plan, guarded_);
  return walk.Run();
}

int MirrorTree(Os& os, Reporter& reporter, const MirrorJob& job, MirrorPlan* plan,
               const std::optional<FileStatus>& guarded) {
  MirrorPlanner planner(os, reporter);
  if (!planner.Plan(job, plan)) return 0;
  return MirrorApplier(os, reporter, guarded).Apply(*plan);
}

}  // namespace veldar
