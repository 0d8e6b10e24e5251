// MirrorDir: makes a target tree follow a source tree, one way.
//
// One level at a time: the source and the target directory are listed once
// each, every source entry is dealt with in listing order (a subdirectory
// completely, its own deletions included, before the next entry), and then
// the target entries that no source entry matched are deleted. Only the
// listings of the levels on the current path are held in memory.
//
// The walk holds each level's two directories open and acts on names within
// them: below the directories the caller named, no path is ever resolved
// again, and a level is entered with O_NOFOLLOW|O_DIRECTORY. A directory
// swapped for a link half way therefore sends neither the copying nor the
// deleting anywhere else; a source entry that vanished or changed kind since
// it was listed is reported as vanished and left for the next run.
//
// Matching. On a file system that tells letter case apart, a source entry's
// counterpart is the target entry of exactly its name. Where the target's
// file system ignores case (FAT, NTFS, casefolded directories: found out per
// level by looking an entry up under its name with the case swapped), it is
// the target entry of exactly its name if there is one, otherwise the first
// target entry (in listing order) whose name matches without regard to case
// and that no other source entry names exactly; such a counterpart is renamed
// to the source's letter case, never replacing an existing entry, and
// afterwards addressed by the name it really has. Case is folded for the
// ASCII letters, byte by byte: a name is a byte string in whatever encoding
// wrote it. Look-ups go through hash tables built once per level.
//
// A file is copied when it has no counterpart, when the counterpart is of
// another kind or size, or when the source is later than the counterpart by
// more than the target's file system can tell apart (its time resolution:
// nanoseconds on ext4, 2 seconds on FAT). A target newer than its source of
// the same size is left alone. A file or directory whose content needs no
// copy still gets its source's permissions (and, for root, owner and group)
// when they differ. A directory is filled while it is no more open than its
// source and writable by its owner, and gets its source's permissions once
// its contents are in place.
//
// Links are never followed below the top level: a link is copied as a link.
// FIFOs, sockets and devices are passed over unopened. An entry whose kind
// changed (a file that is now a directory, or the reverse) has its old
// counterpart deleted first, unless deletions are forbidden, in which case the
// copy or the creation fails on it and is reported as a failure. Temporary
// files of an interrupted copy are removed whatever the flags say.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"

namespace veldar {
namespace {

constexpr const char kSourceFirstError[] = "ERROR AT LOCAL FILE FINDFIRSTFILE! at ";
constexpr const char kTargetFirstError[] = "ERROR AT LOCAL FILE FINDFIRSTFILE! in ";

inline unsigned char FoldByte(unsigned char c) { return c >= 'A' && c <= 'Z' ? c | 0x20 : c; }

bool EqualFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldByte(static_cast<unsigned char>(a[i])) != FoldByte(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// FNV-1a over the bytes, folded or not.
std::uint64_t HashName(std::string_view name, bool fold) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : name) {
    hash ^= fold ? FoldByte(c) : c;
    hash *= 1099511628211ull;
  }
  return hash;
}

// An open-addressing table over the names of one listing. Entries whose keys
// are equal (with folding: names that differ only in case) form one chain in
// listing order; the table holds each chain's first entry.
class NameTable {
 public:
  NameTable(const std::vector<CFileEntry>& entries, bool fold)
      : entries_(entries), fold_(fold), next_(entries.size(), -1) {
    std::size_t capacity = 16;
    while (capacity < entries.size() * 2) capacity <<= 1;
    mask_ = capacity - 1;
    slots_.assign(capacity, Slot{});
    // Last entry first, each put at the head of its chain: every chain ends
    // up in listing order.
    for (std::size_t i = entries.size(); i-- > 0;) {
      const std::string& name = entries[i].name;
      const std::uint64_t hash = HashName(name, fold_);
      Slot& slot = slots_[Probe(name, hash)];
      next_[i] = slot.first;
      slot.first = static_cast<std::int32_t>(i);
      slot.tag = static_cast<std::uint32_t>(hash >> 32);
    }
  }

  // The first entry whose key equals `name`'s, or -1.
  std::int32_t First(std::string_view name) const {
    return slots_[Probe(name, HashName(name, fold_))].first;
  }
  // The entry after `index` in its chain, or -1.
  std::int32_t Next(std::int32_t index) const { return next_[index]; }

 private:
  struct Slot {
    std::int32_t first = -1;
    std::uint32_t tag = 0;  // the hash's high half, to pass over most strangers unread
  };

  bool Same(std::string_view a, std::string_view b) const {
    return fold_ ? EqualFolded(a, b) : a == b;
  }

  // The slot that holds `name`'s chain, or the empty slot where it would go.
  std::size_t Probe(std::string_view name, std::uint64_t hash) const {
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    std::size_t index = hash & mask_;
    for (;;) {
      const Slot& slot = slots_[index];
      if (slot.first < 0) return index;
      if (slot.tag == tag && Same(entries_[slot.first].name, name)) return index;
      index = (index + 1) & mask_;
    }
  }

  const std::vector<CFileEntry>& entries_;
  bool fold_;
  std::vector<std::int32_t> next_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

// Finds the counterparts of one level's source entries among its target
// entries: by exact name, and where the target folds case also by folded name.
class Counterparts {
 public:
  Counterparts(std::vector<CFileEntry>& targets, const std::vector<CFileEntry>& sources, bool fold)
      : targets_(targets),
        exact_(targets, /*fold=*/false),
        claimed_(targets.size(), false),
        cursor_(targets.size(), -1) {
    if (fold) folded_.emplace(targets, /*fold=*/true);
    // A target entry that some source entry names exactly belongs to that
    // entry; no other may take it by case.
    for (const CFileEntry& source : sources) {
      const std::int32_t found = exact_.First(source.name);
      if (found >= 0) claimed_[found] = true;
    }
  }

  // True when some source entry has exactly the name of target entry `index`.
  bool Claimed(std::size_t index) const { return claimed_[index]; }

  // The counterpart of the source entry `name`, or nullptr. An entry taken
  // by case is one that no earlier source entry has dealt with (seen).
  CFileEntry* Find(const std::string& name) {
    const std::int32_t exact = exact_.First(name);
    if (exact >= 0) return &targets_[exact];
    if (!folded_) return nullptr;
    const std::int32_t first = folded_->First(name);
    if (first < 0) return nullptr;
    // Each chain keeps a cursor at its first entry still free: entries only
    // ever become taken, so the cursor never needs to go back.
    std::int32_t& cursor = cursor_[first];
    std::int32_t candidate = cursor < 0 ? first : cursor;
    while (candidate >= 0 && (claimed_[candidate] || targets_[candidate].seen)) {
      candidate = folded_->Next(candidate);
    }
    cursor = candidate;
    return candidate >= 0 ? &targets_[candidate] : nullptr;
  }

 private:
  std::vector<CFileEntry>& targets_;
  NameTable exact_;
  std::optional<NameTable> folded_;  // only where the target folds case
  std::vector<bool> claimed_;
  std::vector<std::int32_t> cursor_;
};

std::int64_t Nanoseconds(const CFileEntry& entry) {
  return entry.time * 1'000'000'000 + entry.timeNsec;
}

}  // namespace

// The walk itself, one object per MirrorDir call: what holds for the whole
// tree, and the operations of one level.
class MirrorWalk {
 public:
  MirrorWalk(CVELDAR2Engine& engine, const FileStatus& targetTop, OsDir& target)
      : engine_(engine),
        os_(engine.os),
        targetTop_(targetTop),
        timeWindowNs_(target.TimeResolutionNs()),
        permissions_(target.KeepsPermissions()),
        ownerToo_(permissions_ && engine.os.MayChangeOwner()) {}

  // One level: `source` into `target`, whose statuses are given; `created`
  // when this run made `target`. 0: stopped, already reported.
  int Level(OsDir& source, const FileStatus& sourceStatus, OsDir& target,
            const FileStatus& targetStatus, bool created) {
    // Filled while no more open than its source, and writable by its owner.
    const std::uint32_t filling = (targetStatus.permissions & sourceStatus.permissions) | 0700;
    std::uint32_t now = targetStatus.permissions;
    if (permissions_ && filling != now && SetPermissions(target, "", filling)) now = filling;

    CListingPair pair;
    if (!List(source, target, pair)) return 0;
    // Per level: a casefolded directory may sit in a tree that tells case apart.
    const bool fold = FoldsCase(pair.targetList, [&](const std::string& name, FileStatus* status) {
      return target.StatAt(name, status);
    });
    Counterparts counterparts(pair.targetList, pair.sourceList, fold);
    RemoveAbandoned(target, pair.targetList, counterparts);

    for (CFileEntry& entry : pair.sourceList) {
      CFileEntry* counterpart = counterparts.Find(entry.name);
      switch (entry.kind) {
        case EntryKind::File:
        case EntryKind::Symlink:
          if (!File(source, target, targetStatus, entry, counterpart)) return 0;
          break;
        case EntryKind::Special:
          // Opening a FIFO blocks for ever, a device may act on the device.
          if (engine_.skipLog) {
            engine_.WriteLog("special file found copy canceled! : " + Join(source, entry.name));
          }
          break;
        case EntryKind::Directory:
          if (!Directory(source, target, targetStatus, entry, counterpart)) return 0;
          break;
      }
      entry.seen = true;
      if (counterpart != nullptr) counterpart->seen = true;
    }
    if (!DeleteVanished(target, targetStatus, pair.targetList)) return 0;

    // Its contents are in place: the directory gets its source's permissions
    // (a line for it only where an existing copy had others).
    FileStatus current = targetStatus;
    current.permissions = now;
    ApplyPermissions(target, "", sourceStatus, current, created ? nullptr : &targetStatus);
    return 1;
  }

 private:
  std::string Join(OsDir& dir, const std::string& name) const {
    return engine_.JoinPath(dir.Path(), name);
  }

  // The level's two listings, side by side (each a status call per entry);
  // failures are reported afterwards, on this thread, source first.
  bool List(OsDir& source, OsDir& target, CListingPair& pair) {
    if (!engine_.lister) engine_.lister = std::make_unique<BackgroundWorker>();
    std::vector<DirEntry> sourceEntries, targetEntries;
    int sourceCode = 0;
    engine_.lister->Start([&] { sourceCode = source.List(&sourceEntries); });
    const int targetCode = target.List(&targetEntries);
    engine_.lister->Wait();
    return engine_.TakeListing(pair.sourceList, source.Path(), kSourceFirstError, sourceCode,
                               sourceEntries) &&
           engine_.TakeListing(pair.targetList, target.Path(), kTargetFirstError, targetCode,
                               targetEntries);
  }

  // Temporary files of a copy whose writer was killed: nobody else will ever
  // finish or remove them, and they are not the user's, so they go whatever
  // the flags say. One that a source entry names is the user's file.
  void RemoveAbandoned(OsDir& target, std::vector<CFileEntry>& targets,
                       const Counterparts& counterparts) {
    for (std::size_t i = 0; i < targets.size(); ++i) {
      if (counterparts.Claimed(i) || targets[i].kind == EntryKind::Directory) continue;
      if (!os_.IsAbandonedTemporary(targets[i].name)) continue;
      ProgramsOwn own(engine_);
      engine_.FileDelete(target, targets[i].name);
      targets[i].seen = true;
    }
  }

  // Sets permissions, logging a failure (which is counted, and keeps an
  // incomplete copy from replacing a generation). True when done.
  bool SetPermissions(OsDir& dir, const std::string& name, std::uint32_t permissions) {
    if (int code = dir.SetPermissions(name, permissions); code != 0) {
      engine_.WriteFailure("Permissions Set Failed : " + (name.empty() ? dir.Path() : Join(dir, name)) +
                           " : ERR = " + std::to_string(code));
      return false;
    }
    return true;
  }

  // Gives `name` in `dir` (the directory itself when empty) the permissions,
  // and for root the owner and group, of `source`, where `current` differs.
  // With `was`, what changed from it is logged (success-log option).
  void ApplyPermissions(OsDir& dir, const std::string& name, const FileStatus& source,
                        const FileStatus& current, const FileStatus* was) {
    if (!permissions_) return;
    const std::string path = name.empty() ? dir.Path() : Join(dir, name);
    const bool ownerDiffers =
        ownerToo_ && (source.owner != current.owner || source.group != current.group);
    if (ownerDiffers) {
      if (int code = dir.SetOwner(name, source.owner, source.group); code != 0) {
        engine_.WriteFailure("Owner Set Failed : " + path + " : ERR = " + std::to_string(code));
      } else if (was && engine_.successLog) {
        engine_.WriteLog("Owner Set : " + path + " : " + std::to_string(source.owner) + ":" +
                         std::to_string(source.group));
      }
    }
    // A link has no permissions of its own. Setting them again after a change
    // of owner keeps the set-id bits that the change cleared.
    if (source.kind == EntryKind::Symlink) return;
    const bool done = (source.permissions == current.permissions && !ownerDiffers) ||
                      SetPermissions(dir, name, source.permissions);
    if (done && was && engine_.successLog && source.permissions != was->permissions) {
      char octal[8];
      std::snprintf(octal, sizeof octal, "%04o", source.permissions & 07777);
      engine_.WriteLog("Permissions Set : " + path + " : " + octal);
    }
  }

  // Gives a counterpart whose name differs in case the source's name. Returns
  // the name it has afterwards: the new one, or the old one if that failed.
  std::string Rename(OsDir& target, const std::string& from, const std::string& to,
                     bool directory) {
    const int code = target.MoveNoReplace(from, target, to);
    if (code == 0) {
      if (engine_.successLog) {
        engine_.WriteLog((directory ? "rename directory : from " : "rename file : from ") +
                         Join(target, from) + " TO " + Join(target, to));
      }
      return to;
    }
    if (directory) {
      engine_.WriteFailure("rename directory failed : from " + Join(target, from) + " TO " +
                           Join(target, to));
    } else {
      engine_.WriteFailure("rename file failed : from " + Join(target, from) + " TO " +
                           Join(target, to) + " : ERR = " + std::to_string(code));
    }
    return from;
  }

  // Whether the source file must be copied over its counterpart.
  bool NeedsCopy(const CFileEntry& source, const CFileEntry& target) const {
    // Times say nothing between entries of different kinds (a file and a
    // link, a file and a directory): those are always copied.
    if (engine_.noTime || target.kind != source.kind) return true;
    if (source.status.size != target.status.size) return true;
    return Nanoseconds(source) > Nanoseconds(target) + timeWindowNs_;
  }

  // A source file or link. False: stop the walk (already reported).
  bool File(OsDir& source, OsDir& target, const FileStatus& targetStatus, const CFileEntry& entry,
            const CFileEntry* counterpart) {
    std::string destination = counterpart != nullptr ? counterpart->name : entry.name;
    if (counterpart != nullptr && counterpart->isDirectory) {
      // The file used to be a directory. Its old self goes first, everything
      // in it included; with deletions forbidden it stays, and the copy onto
      // it fails and is reported.
      if (!engine_.noDelete) {
        if (!Remove(target, targetStatus, *counterpart, /*boxes=*/false)) return false;
        destination = entry.name;
      }
    } else if (counterpart != nullptr && counterpart->name != entry.name) {
      destination = Rename(target, counterpart->name, entry.name, /*directory=*/false);
    }

    if (counterpart != nullptr && !NeedsCopy(entry, *counterpart)) {
      if (engine_.skipLog) engine_.WriteLog("Not update,copy canceled! : " + Join(target, destination));
      ApplyPermissions(target, destination, entry.status, counterpart->status, &counterpart->status);
      return true;
    }
    bool vanished = false;
    if (engine_.FileCopy(source, entry.name, target, destination, &vanished)) {
      // No-force mode leaves an existing copy's content alone; what is private
      // in the source still becomes private in the copy.
      if (engine_.noForce && counterpart != nullptr && !counterpart->isDirectory) {
        ApplyPermissions(target, destination, entry.status, counterpart->status,
                         &counterpart->status);
      }
      return true;
    }
    if (vanished) {
      engine_.ReportVanished(Join(source, entry.name));
      return true;
    }
    if (!engine_.noMessage) {
      engine_.ShowMessage("ERR : COPY FILE FROM " + Join(source, entry.name) + " TO " +
                          Join(target, destination));
      return false;
    }
    return true;
  }

  // A source directory: the target directory found, made or renamed, then
  // the level beneath. False: stop the walk (already reported).
  bool Directory(OsDir& source, OsDir& target, const FileStatus& targetStatus,
                 const CFileEntry& entry, const CFileEntry* counterpart) {
    const std::string sourcePath = Join(source, entry.name);
    std::unique_ptr<OsDir> from;
    FileStatus fromStatus;
    int code = source.OpenDir(entry.name, &from);
    if (code == 0) code = from->Status(&fromStatus);
    if (code != 0) {
      // Gone, or no longer a directory (a link now, perhaps to somewhere the
      // user may not read): the next run copies whatever is there then. The
      // counterpart stays meanwhile.
      if (os_.IsNotFound(code) || os_.IsNotDirectory(code)) {
        engine_.ReportVanished(sourcePath);
        return true;
      }
      engine_.ReportScanFailure(kSourceFirstError + engine_.JoinPath(sourcePath, "*"));
      return false;
    }
    if (fromStatus.attributes.system) {
      if (engine_.skipLog) engine_.WriteLog("system directory found copy canceled! : " + sourcePath);
      return true;
    }
    // The copy itself, reached inside the source (through a bind mount): it
    // would be copied into itself, deeper each time.
    if (fromStatus.SameEntryAs(targetTop_)) {
      if (engine_.skipLog) engine_.WriteLog("backup directory found copy canceled! : " + sourcePath);
      return true;
    }

    std::string into = counterpart != nullptr ? counterpart->name : entry.name;
    bool created = false;
    if (counterpart == nullptr || !counterpart->isDirectory) {
      // New, or it used to be a file, a link or a special file: that goes
      // first, unless deletions are forbidden; then the creation fails on it.
      if (counterpart != nullptr && !engine_.noDelete &&
          engine_.FileDelete(target, counterpart->name)) {
        into = entry.name;
      }
      if (!engine_.DirCreate(target, into)) {
        if (engine_.noMessage) return true;  // logged; the entries beneath are not tried
        engine_.ShowMessage("ERR : MKDIR FAILED " + Join(target, into));
        return false;
      }
      created = true;
    } else if (counterpart->name != entry.name) {
      into = Rename(target, counterpart->name, entry.name, /*directory=*/true);
    }

    std::unique_ptr<OsDir> to;
    FileStatus toStatus;
    code = target.OpenDir(into, &to);
    if (code == 0) code = to->Status(&toStatus);
    // Another mount inside the copy is not the copy either: filling it would
    // change, and emptying it delete, whatever it shows.
    if (code != 0 || !toStatus.SameMountAs(targetStatus)) {
      engine_.ReportScanFailure(kTargetFirstError + engine_.JoinPath(Join(target, into), "*"));
      return false;
    }
    return Level(*from, fromStatus, *to, toStatus, created) != 0;
  }

  // Deletes one target entry, a directory with everything in it. False:
  // stop the walk (already reported). With `boxes` and the no-message flag
  // clear, a failed deletion of a file shows its box and stops the walk, a
  // failed removal of a directory shows its box and the walk goes on.
  bool Remove(OsDir& target, const FileStatus& targetStatus, const CFileEntry& entry, bool boxes) {
    bool asFile = !entry.isDirectory;
    if (!asFile) {
      switch (engine_.EmptySubdir(target, entry.name, targetStatus)) {
        case CVELDAR2Engine::Emptied::kStopped: return false;
        case CVELDAR2Engine::Emptied::kGone: return true;
        case CVELDAR2Engine::Emptied::kNotADirectory: asFile = true; break;
        case CVELDAR2Engine::Emptied::kYes: break;
      }
    }
    if (asFile) {
      // Files, links and special files alike: a link goes, never its target.
      if (!engine_.FileDelete(target, entry.name) && !engine_.noMessage && boxes) {
        engine_.ShowMessage("ERR : DELETE FILE " + entry.name);
        return false;
      }
      return true;
    }
    if (!engine_.DirRemove(target, entry.name) && !engine_.noMessage && boxes) {
      engine_.ShowMessage("ERR : DELETE DIRECTORY " + entry.name);  // and on with the next
    }
    return true;
  }

  // Deletes the target entries that no source entry matched. False: stopped.
  bool DeleteVanished(OsDir& target, const FileStatus& targetStatus,
                      const std::vector<CFileEntry>& targets) {
    if (engine_.noDelete) {
      if (engine_.skipLog) engine_.WriteLog("option nodel : delete canceled!");
      return true;
    }
    for (const CFileEntry& entry : targets) {
      if (!entry.seen && !Remove(target, targetStatus, entry, /*boxes=*/true)) return false;
    }
    return true;
  }

  CVELDAR2Engine& engine_;
  Os& os_;
  const FileStatus targetTop_;
  const std::int64_t timeWindowNs_;
  const bool permissions_;  // the target's file system keeps permissions
  const bool ownerToo_;
};

int CVELDAR2Engine::MirrorDir(const std::string& sourceDir, const std::string& targetDir,
                              bool targetIsNew) {
  // The two directories the caller named may be links; nothing below them is
  // ever followed. A missing source would list as empty, and mirroring
  // "nothing" would delete the whole copy: at the top that is a failure.
  std::unique_ptr<OsDir> source, target;
  FileStatus sourceStatus, targetStatus;
  int code = os.OpenDir(sourceDir, /*followLink=*/true, &source);
  if (code == 0) code = source->Status(&sourceStatus);
  if (code != 0) {
    ReportScanFailure(kSourceFirstError + JoinPath(sourceDir, "*"));
    return 0;
  }
  code = os.OpenDir(targetDir, /*followLink=*/true, &target);
  if (code == 0) code = target->Status(&targetStatus);
  if (code != 0) {
    ReportScanFailure(kTargetFirstError + JoinPath(targetDir, "*"));
    return 0;
  }
  MirrorWalk walk(*this, targetStatus, *target);
  return walk.Level(*source, sourceStatus, *target, targetStatus, targetIsNew);
}

}  // namespace veldar
