// MirrorPlanner: the scan half of the tree mirror (mirror.cpp is the other).
//
// One level at a time, depth first: the source directory, its counterpart in
// the target and, when there is one, its counterpart in the reference copy
// are listed once each (the source on the listing thread while the others
// are read here), and every source entry gets its step in listing order, a
// subdirectory's whole level before the next entry, followed by the deletions
// of the target entries that no source entry matched. Only the listings of
// the levels on the current path are held in memory.
//
// Matching. On a file system that tells letter case apart, a source entry's
// counterpart is the target entry of exactly its name. Where the target's
// file system ignores case (FAT, NTFS, casefolded directories: found out per
// level by looking an entry up under its name with the case swapped), it is
// the target entry of exactly its name if there is one, otherwise the first
// target entry (in listing order) whose name matches without regard to case
// and that no other source entry names exactly; such a counterpart is
// renamed to the source's letter case. Case is folded for the ASCII
// letters, byte by byte: a name is a byte string in whatever encoding wrote
// it. Look-ups go through hash tables built once per level.
//
// A file is copied when it has no counterpart, when the counterpart is of
// another kind or size, or when the source is later than the counterpart by
// more than the target's file system can tell apart (its time resolution:
// nanoseconds on ext4, 2 seconds on FAT); a target newer than its source of
// the same size is left alone. Where the target must end up equal to the
// source (a generation being made, where every copy carries its source's
// time, and a restore), a counterpart whose time differs either way is
// copied again. A counterpart that other names share (a hard link into an
// earlier generation, or a snapshot made with cp -al) is never changed in
// place: where only its permissions differ, it is replaced by a copy.
//
// A link's content is its text: a link and a counterpart link that size and
// times call the same are read, one call each, and copied when their texts
// differ (a link made again with a text of the same length, its time set
// back; on Windows every link's size is 0).
//
// Sharing. A file to be copied whose counterpart in the reference copy has
// exactly its size, last-write time (to the nanosecond) and permissions (and
// for root, owner and group) is taken from there: that file is what the copy
// would be, without the source being read.
//
// Exclusions. Each entry is asked of the job's exclude set by its path
// relative to the source, the names of the source directories above it
// joined by '/': an excluded source entry gets a step that says so and no
// other (an excluded directory is not entered), and takes its counterpart
// with it, so that what the target holds under its name stays as it is. A
// target entry that no source entry takes is not deleted when its own path
// is excluded: a copy made before the pattern was written stays, as the
// no-delete flag keeps what vanished. Nor is a directory that holds such an
// entry at any depth (looked into only while there are patterns): deleting
// it would take the entry with it. It stays, with what the patterns keep in
// it; everything else in it goes (a kPrune level), as rsync's --delete
// leaves it. A source entry that is not excluded but whose counterpart
// stays so (excluded by its own name or kind, or a directory holding what
// stays where the entry is a file) is not copied: that is a failure of its
// own (kBlocked), and the counterpart is pruned as one the source no longer
// has, as rsync does when it cannot make way for a file. Where the target
// is the program's own (MirrorJob::excludedStay cleared) nothing in it
// stays for the patterns' sake.
//
// Nothing here changes the file system; a listing that fails becomes a step
// that reports it where it stands, and the scan ends there.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/mirror_plan.h"

#include "engine/background_worker.h"
#include "engine/generations.h"
#include "engine/manifest.h"
#include "engine/medium.h"
#include "res/translation.h"

namespace veldar {

namespace {

// ---- The steps as they are stored ----
//
// A step is the index of its action and the action's fields in order: a
// name as its length and bytes, an optional value as a byte and the value
// where there is one, a failure as its code and kind, anything else as its
// bytes. Most files have no counterpart and nothing to share, and the plan
// of a large tree is mostly copies.

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class T>
void PutField(PlanStore& store, const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    store.PutString(value);
  } else if constexpr (IsOptional<T>::value) {
    store.Put(value.has_value());
    if (value) PutField(store, *value);
  } else if constexpr (std::is_same_v<T, Status>) {
    store.Put(value.code());
    store.Put(value.kind());
  } else if constexpr (std::is_class_v<T> && !std::is_same_v<T, FileStatus>) {
    T::Fields(value, [&](const auto&... fields) { (PutField(store, fields), ...); });
  } else {
    store.Put(value);
  }
}

template <class T>
bool GetField(PlanStore& store, T* value) {
  if constexpr (std::is_same_v<T, std::string>) {
    return store.GetString(value);
  } else if constexpr (IsOptional<T>::value) {
    bool present = false;
    if (!store.Get(&present)) return false;
    if (!present) {
      value->reset();
      return true;
    }
    return GetField(store, &value->emplace());
  } else if constexpr (std::is_same_v<T, Status>) {
    int code = 0;
    ErrorKind kind = ErrorKind::kNone;
    if (!store.Get(&code) || !store.Get(&kind)) return false;
    *value = Status::Make(code, kind);
    return true;
  } else if constexpr (std::is_class_v<T> && !std::is_same_v<T, FileStatus>) {
    bool ok = true;
    T::Fields(*value, [&](auto&... fields) { ok = (GetField(store, &fields) && ...); });
    return ok;
  } else {
    return store.Get(value);
  }
}

void PutStep(PlanStore& store, const MirrorStep& step) {
  store.Put(static_cast<std::uint8_t>(step.index()));
  std::visit([&](const auto& action) { PutField(store, action); }, step);
}

template <std::size_t... I>
bool GetAction(PlanStore& store, std::size_t index, MirrorStep* step, std::index_sequence<I...>) {
  bool ok = false;
  ((index == I && (ok = GetField(store, &step->emplace<I>()))), ...);
  return ok;
}

bool GetStep(PlanStore& store, MirrorStep* step) {
  std::uint8_t index = 0;
  return store.Get(&index) &&
         GetAction(store, index, step, std::make_index_sequence<std::variant_size_v<MirrorStep>>());
}

constexpr const char kNextError[] = "ERROR AT LOCAL FILE FINDNEXTFILE!";
constexpr const char kSourceInCopy[] = "ERROR SOURCE DIRECTORY FOUND IN COPY! : ";
constexpr std::uint64_t kBlock = 4096;

inline unsigned char FoldByte(unsigned char c) { return c >= 'A' && c <= 'Z' ? c | 0x20 : c; }

bool EqualFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldByte(static_cast<unsigned char>(a[i])) != FoldByte(static_cast<unsigned char>(b[i]))) return false;
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

// A listed entry, as the scan keeps it.
struct Listed {
  std::string name;
  FileStatus status;
  bool seen = false;  // dealt with by a source entry
};

// An open-addressing table over the names of one listing. Entries whose keys
// are equal (with folding: names that differ only in case) form one chain in
// listing order; the table holds each chain's first entry.
class NameTable {
 public:
  NameTable(const std::vector<Listed>& entries, bool fold) : entries_(entries), fold_(fold), next_(entries.size(), -1) {
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
  std::int32_t First(std::string_view name) const { return slots_[Probe(name, HashName(name, fold_))].first; }
  // The entry after `index` in its chain, or -1.
  std::int32_t Next(std::int32_t index) const { return next_[index]; }

 private:
  struct Slot {
    std::int32_t first = -1;
    std::uint32_t tag = 0;  // the hash's high half, to pass over most strangers unread
  };

  bool Same(std::string_view a, std::string_view b) const { return fold_ ? EqualFolded(a, b) : a == b; }

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

  const std::vector<Listed>& entries_;
  bool fold_;
  std::vector<std::int32_t> next_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

// Finds the counterparts of one level's source entries among its target
// entries: by exact name, and where the target folds case also by folded name.
class Counterparts {
 public:
  Counterparts(std::vector<Listed>& targets, const std::vector<Listed>& sources, bool fold)
      : targets_(targets),
        exact_(targets, /*fold=*/false),
        claimed_(targets.size(), false),
        cursor_(targets.size(), -1) {
    if (fold) folded_.emplace(targets, /*fold=*/true);
    // A target entry that some source entry names exactly belongs to that
    // entry; no other may take it by case.
    for (const Listed& source : sources) {
      const std::int32_t found = exact_.First(source.name);
      if (found >= 0) claimed_[found] = true;
    }
  }

  // True when some source entry has exactly the name of target entry `index`.
  bool Claimed(std::size_t index) const { return claimed_[index]; }
  // True when a target entry has exactly the name `name`.
  bool Named(const std::string& name) const { return exact_.First(name) >= 0; }

  // The counterpart of the source entry `name`, or nullptr. An entry taken
  // by case is one that no earlier source entry has dealt with (seen).
  Listed* Find(const std::string& name) {
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
  std::vector<Listed>& targets_;
  NameTable exact_;
  std::optional<NameTable> folded_;  // only where the target folds case
  std::vector<bool> claimed_;
  std::vector<std::int32_t> cursor_;
};

std::int64_t Nanoseconds(const FileStatus& status) { return status.mtimeSec * 1'000'000'000 + status.mtimeNsec; }

std::uint64_t RoundToBlock(std::uint64_t bytes) { return (bytes + kBlock - 1) / kBlock * kBlock + kBlock; }

// Takes a listing into `list`. Empty on success; otherwise the text of the
// failure (a directory that is missing lists as empty).
std::string TakeListing(Os& os, std::vector<Listed>& list, const std::string& directory, const char* firstError,
                        const Status& code, std::vector<DirEntry>& entries) {
  if (!code.ok() && entries.empty()) {
    if (code.Is(ErrorKind::kNotFound)) return std::string();
    // The message names the directory the way a wildcard search would.
    return firstError + os.Paths().Join(directory, "*");
  }
  list.reserve(entries.size());
  for (DirEntry& entry : entries) list.push_back({std::move(entry.name), entry.status, false});
  // Broken off part way: what was read is not worked on.
  return !code.ok() ? kNextError : std::string();
}

}  // namespace

// The scan, one object per plan.
class MirrorScan {
 public:
  MirrorScan(Os& os, Reporter& reporter, BackgroundWorker& lister, MirrorPlan& plan, bool shareByClone)
      : os_(os),
        reporter_(reporter),
        lister_(lister),
        plan_(plan),
        totals_(plan.totals),
        exact_(plan.job.exact),
        excludes_(plan.job.excludes != nullptr && !plan.job.excludes->empty() ? plan.job.excludes : nullptr),
        excludedStay_(excludes_ != nullptr && plan.job.excludedStay),
        // Only where the file system clones, or links are allowed: a
        // "shared" file that is then copied after all saves nothing.
        sharing_(plan.reference != nullptr && plan.job.compareTimes &&
                 (plan.job.sharing == MirrorSharing::kLinkOrClone ||
                  (plan.job.sharing == MirrorSharing::kCloneOrCopy && shareByClone))),
        link_(plan.job.sharing == MirrorSharing::kLinkOrClone),
        clone_(shareByClone),
        // A copy is staged only where it may replace what is there: no-force
        // mode writes each copy under its name, failing on what is there.
        writing_(plan.job.writes == MirrorWrites::kBatched && plan.job.force ? steps::Writing::kStaged
                 : plan.job.writes == MirrorWrites::kUnflushed               ? steps::Writing::kUnflushed
                                                                             : steps::Writing::kFlushed),
        keepUnreadable_(plan.job.keepUnreadable && reporter.noMessage()) {
    // A target still to be made is made beside the reference, if anywhere.
    OsDir* timing = plan.target ? plan.target.get() : plan.reference.get();
    const MediumTraits* medium = medium_ = plan.job.medium ? &*plan.job.medium : nullptr;
    // Times are as fine as the coarser side keeps them: a copy on FAT comes
    // back up to 2 s away from its source, and is the same file.
    timeWindowNs_ = std::max({medium   ? medium->timeResolutionNs
                              : timing ? timing->TimeResolutionNs()
                                       : 0,
                              plan.job.sourceTimeResolutionNs, plan.source->TimeResolutionNs()});
    permissions_ = medium   ? medium->copiesAccess && medium->keepsPermissions
                   : timing ? timing->KeepsPermissions()
                            : true;
    ownerToo_ = permissions_ && (!medium || medium->keepsOwner) && os_.MayChangeOwner();
    plan.force = plan.job.force;
    plan.retime = medium && !medium->copyKeepsTime;
  }

  // Whether the reference copy is walked: to share from, or to take what
  // cannot be read from.
  bool UsesReference() const { return sharing_ || keepUnreadable_; }

  // One level: `source` (whose status is `sourceStatus`) against `target`
  // (null: made by the apply, so empty; `created`: made by the caller or the
  // apply) and `reference` (null: none). False: the scan stopped, its step
  // written.
  bool Level(OsDir& source, const FileStatus& sourceStatus, OsDir* target, const FileStatus* targetStatus, bool created,
             OsDir* reference) {
    // Asked to stop: the plan is left unfinished, and Plan says so.
    if (reporter_.Cancelled()) return false;
    // The directory is filled while it is no more open than its source, and
    // writable by its owner. One the apply makes is made so.
    const std::uint32_t filling = targetStatus ? (targetStatus->permissions & sourceStatus.permissions) | 0700 : 0;
    if (permissions_ && targetStatus && filling != targetStatus->permissions) {
      plan_.Add(steps::Fill{filling});
      ++totals_.adjusted;
    }
    if (!Entries(source, target, targetStatus, reference)) return false;
    // Its contents in place, the directory gets its source's access; lines
    // for it only where the target had it with another.
    steps::Leave leave;
    // The batch's copies are named first where the owner may not write.
    leave.commitFirst = writing_ == steps::Writing::kStaged && (sourceStatus.permissions & 0300) != 0300;
    if (permissions_) {
      const bool differs = targetStatus && !SameAccess(sourceStatus, *targetStatus);
      leave.access = AccessOf(sourceStatus);
      leave.access->announce = differs && !created;
      if (differs) ++totals_.adjusted;
    }
    plan_.Add(leave);
    return true;
  }

 private:
  // The steps of a level's entries, its deletions included. False: the scan
  // stopped, its step written.
  bool Entries(OsDir& source, OsDir* target, const FileStatus* targetStatus, OsDir* reference) {
    const bool top = depth_ == 0;
    std::vector<Listed> sources, targets, references;
    if (!List(source, target, reference, sources, targets, references)) return false;
    for (Listed& entry : targets) {
      // The source itself inside the copy (a bind mount of it): mirroring
      // would delete it, or fill it with itself.
      if (entry.status.kind == EntryKind::Directory && entry.status.SameEntryAs(plan_.sourceStatus)) {
        Stop(kSourceInCopy + Join(target->Path(), entry.name));
        return false;
      }
      if (top && OwnName(entry.name)) entry.seen = true;
    }
    // Per level: a casefolded directory may sit in a tree that tells case
    // apart. Where the medium folds case alike throughout, its probe says it
    // for every directory on it, and no look-up is made (a round trip each
    // on a network medium).
    const bool alike = medium_ != nullptr && medium_->foldsCaseThroughout && targetStatus != nullptr &&
                       targetStatus->device == plan_.targetStatus.device;
    const bool fold =
        target != nullptr &&
        (alike ? medium_->foldsCase : FoldsCase(targets, [&](const std::string& name, FileStatus* status) {
          return target->StatAt(name, status);
        }));
    Counterparts counterparts(targets, sources, fold);
    std::optional<NameTable> referenceNames;
    if (reference != nullptr) referenceNames.emplace(references, /*fold=*/false);

    // Temporary files of a copy whose writer was killed: nobody else will
    // ever finish or remove them. One that a source entry names is the user's.
    for (std::size_t i = 0; i < targets.size(); ++i) {
      if (counterparts.Claimed(i) || targets[i].status.kind == EntryKind::Directory) continue;
      if (!os_.IsAbandonedTemporary(targets[i].name)) continue;
      plan_.Add(steps::RemoveLeftover{targets[i].name});
      ++totals_.adjusted;
      targets[i].seen = true;
    }

    std::vector<std::optional<steps::LeaveOut::Reason>> unfit;
    std::vector<std::int32_t> twinOf;
    FindUnfit(sources, counterparts, top, &unfit, &twinOf);
    for (std::size_t i = 0; i < sources.size(); ++i) {
      Listed& entry = sources[i];
      if (top && OwnName(entry.name)) {
        PassOver(steps::PassOver::Reason::kOwnName, entry.name);
        continue;
      }
      if (unfit[i]) {
        plan_.Add(steps::LeaveOut{entry.name, twinOf[i] >= 0 ? sources[twinOf[i]].name : std::string(), *unfit[i],
                                  entry.status.kind == EntryKind::Directory});
        ++totals_.leftOut;
        entry.seen = true;
        continue;
      }
      Listed* counterpart = counterparts.Find(entry.name);
      const bool isDirectory = entry.status.kind == EntryKind::Directory;
      if (Excluded(entry.name, isDirectory)) {
        plan_.Add(steps::Exclude{entry.name, isDirectory});
        ++totals_.excluded;
        entry.seen = true;
        if (counterpart != nullptr && excludedStay_) counterpart->seen = true;
        continue;
      }
      if (Blocked(entry, target, counterpart)) {
        // The counterpart is left to the deletions below, which keep what
        // the patterns keep of it and delete the rest.
        plan_.Add(steps::Blocked{entry.name, counterpart->name, isDirectory});
        entry.seen = true;
        continue;
      }
      const Listed* inReference = nullptr;
      if (referenceNames) {
        const std::int32_t found = referenceNames->First(entry.name);
        if (found >= 0) inReference = &references[found];
      }
      switch (entry.status.kind) {
        case EntryKind::File:
        case EntryKind::Symlink:
          if (!File(source, target, entry, counterpart, inReference)) return false;
          break;
        case EntryKind::Special:
          PassOver(steps::PassOver::Reason::kSpecial, entry.name);
          break;
        case EntryKind::Directory:
          if (!Directory(source, target, targetStatus, reference, entry, counterpart, inReference)) {
            return false;
          }
          break;
      }
      entry.seen = true;
      if (counterpart != nullptr) counterpart->seen = true;
    }

    if (!plan_.job.deleteVanished) {
      plan_.Add(steps::KeepVanished{});
    } else {
      for (const Listed& entry : targets) {
        const bool directory = entry.status.kind == EntryKind::Directory;
        if (entry.seen || Stays(entry.name, directory)) continue;
        if (directory && HoldsExcluded(*target, entry.name)) {
          Prune(*target, entry.name, entry.status);
          continue;
        }
        plan_.Add(steps::Delete{entry.name, directory});
        ++totals_.entriesToDelete;
      }
    }
    return true;
  }

  void PassOver(steps::PassOver::Reason reason, const std::string& name) { plan_.Add(steps::PassOver{name, reason}); }
  void Stop(const std::string& text) { plan_.Add(steps::Stop{text}); }

  // The access a copy of `source` is given.
  steps::Access AccessOf(const FileStatus& source) const {
    steps::Access access;
    access.permissions = source.permissions;
    access.owner = source.owner;
    access.group = source.group;
    access.withOwner = ownerToo_;
    access.ownerOnly = source.kind == EntryKind::Symlink;
    return access;
  }

  // Which source entries of a level the medium cannot hold (by index; none
  // without a medium): names, sizes and links it refuses and, where it
  // ignores case, all but one of the names it would take for one, each with
  // the index of the one copied in its stead (`twinOf`). Of such twins the
  // one whose very name the target holds stays (what an earlier run
  // copied), else the first by name. Entries the exclude patterns leave out,
  // and the program's own name, are none of these.
  void FindUnfit(const std::vector<Listed>& sources, const Counterparts& counterparts, bool top,
                 std::vector<std::optional<steps::LeaveOut::Reason>>* unfit, std::vector<std::int32_t>* twinOf) {
    using Unfit = steps::LeaveOut::Reason;
    unfit->assign(sources.size(), std::nullopt);
    twinOf->assign(sources.size(), -1);
    if (medium_ == nullptr) return;
    std::unordered_map<std::string, std::int32_t> kept;  // folded name: the entry copied
    for (std::size_t i = 0; i < sources.size(); ++i) {
      const Listed& entry = sources[i];
      if (top && OwnName(entry.name)) continue;
      if (Excluded(entry.name, entry.status.kind == EntryKind::Directory)) continue;
      if (const char* why = UnfitReason(*medium_, entry.name, entry.status.kind, entry.status.size)) {
        (*unfit)[i] = why == kLinkReason ? Unfit::kLink : why == kSizeReason ? Unfit::kSize : Unfit::kName;
        continue;
      }
      if (!medium_->foldsCase) continue;
      const auto index = static_cast<std::int32_t>(i);
      auto [at, first] = kept.emplace(FoldedName(entry.name), index);
      if (first) continue;
      // The one the target holds by its very name stays; else the first by
      // name, whatever order the source lists them in.
      const std::string& held = sources[at->second].name;
      const bool heldNamed = counterparts.Named(held);
      const bool entryNamed = counterparts.Named(entry.name);
      if (entryNamed != heldNamed ? entryNamed : entry.name < held) {
        (*unfit)[at->second] = Unfit::kTwin;
        at->second = index;
      } else {
        (*unfit)[i] = Unfit::kTwin;
      }
    }
    for (std::size_t i = 0; i < sources.size(); ++i) {
      if ((*unfit)[i] == Unfit::kTwin) (*twinOf)[i] = kept[FoldedName(sources[i].name)];
    }
  }

  // The relative path of the current level, with `name` appended for the
  // life of the object.
  class Below {
   public:
    Below(std::string& path, const std::string& name) : path_(path), level_(path.size()) {
      if (level_ != 0) path_ += '/';
      path_ += name;
    }
    ~Below() { path_.resize(level_); }
    Below(const Below&) = delete;
    Below& operator=(const Below&) = delete;

   private:
    std::string& path_;
    std::size_t level_;
  };

  // Whether the exclude set leaves out the entry `name` of the current level.
  // A name of the program's own at the top of the copy: the run's lock
  // file, and a copy's manifest, which belongs to the copy it lies in and is
  // never copied out of it, deleted or listed as the user's.
  bool OwnName(const std::string& name) const {
    return name == kManifestName || name == kManifestNewName ||
           (!plan_.job.ownName.empty() && name == plan_.job.ownName);
  }

  bool Excluded(const std::string& name, bool isDirectory) {
    if (excludes_ == nullptr) return false;
    Below path(relative_, name);
    return excludes_->Excluded(relative_, isDirectory);
  }
  // Whether the target entry `name` of the current level stays where the
  // source has nothing of its name: its path is excluded, and the target is
  // the user's copy.
  bool Stays(const std::string& name, bool isDirectory) { return excludedStay_ && Excluded(name, isDirectory); }
  // Whether the source entry (not excluded itself) cannot come in: its
  // counterpart stays, by the counterpart's own name and kind (which may
  // differ from the entry's where the target ignores case or a pattern
  // names directories only), or it is a directory holding an entry that
  // stays where the source entry is no directory. The entry could only come
  // in by renaming or replacing the counterpart, and so deleting what the
  // patterns keep: that is a failure instead, never a silent omission.
  bool Blocked(const Listed& entry, OsDir* target, const Listed* counterpart) {
    // A counterpart comes from the target's listing: `target` is there.
    if (!excludedStay_ || counterpart == nullptr) return false;
    const bool directory = entry.status.kind == EntryKind::Directory;
    const bool counterpartIsDirectory = counterpart->status.kind == EntryKind::Directory;
    // The same name and kind get the same answer.
    if (counterpart->name == entry.name && counterpartIsDirectory == directory) return false;
    return Excluded(counterpart->name, counterpartIsDirectory) ||
           (counterpartIsDirectory && !directory && HoldsExcluded(*target, counterpart->name));
  }
  // Whether the directory `name` of the current level's target `dir` holds,
  // at any depth, an entry that stays. Deleting it would take that entry
  // with it: it is pruned instead. One that cannot be read holds nothing
  // here (its deletion fails on it, reported).
  bool HoldsExcluded(OsDir& dir, const std::string& name) {
    if (!excludedStay_) return false;
    std::unique_ptr<OsDir> opened;
    std::vector<DirEntry> entries;
    if (!dir.OpenDir(name, &opened).ok() || !opened->List(&entries).ok()) return false;
    Below path(relative_, name);
    for (const DirEntry& entry : entries) {
      const bool directory = entry.status.kind == EntryKind::Directory;
      if (Excluded(entry.name, directory) || (directory && HoldsExcluded(*opened, entry.name))) {
        return true;
      }
    }
    return false;
  }

  // The directory `name` of the current level's target `dir`, which the
  // source no longer has and which holds what the patterns keep: a kPrune
  // level deleting everything else in it, at any depth. One that cannot be
  // read is left as it is.
  void Prune(OsDir& dir, const std::string& name, const FileStatus& status) {
    std::unique_ptr<OsDir> opened;
    std::vector<DirEntry> entries;
    if (!dir.OpenDir(name, &opened).ok() || !opened->List(&entries).ok()) return;
    plan_.Add(steps::Prune{name, status});
    Below path(relative_, name);
    for (const DirEntry& entry : entries) {
      const bool directory = entry.status.kind == EntryKind::Directory;
      if (Excluded(entry.name, directory)) continue;
      if (directory && HoldsExcluded(*opened, entry.name)) {
        Prune(*opened, entry.name, entry.status);
        continue;
      }
      plan_.Add(steps::Delete{entry.name, directory});
      ++totals_.entriesToDelete;
    }
    plan_.Add(steps::Leave{});
  }

  // The level's listings: the source on the listing thread, the others here.
  bool List(OsDir& source, OsDir* target, OsDir* reference, std::vector<Listed>& sources, std::vector<Listed>& targets,
            std::vector<Listed>& references) {
    std::vector<DirEntry> sourceEntries, targetEntries, referenceEntries;
    Status sourceCode, targetCode, referenceCode;
    lister_.Start([&] { sourceCode = source.List(&sourceEntries); });
    if (target != nullptr) targetCode = target->List(&targetEntries);
    if (reference != nullptr) referenceCode = reference->List(&referenceEntries);
    lister_.Wait();
    std::string failure = TakeListing(os_, sources, source.Path(), kSourceFirstError, sourceCode, sourceEntries);
    if (failure.empty() && target != nullptr) {
      failure = TakeListing(os_, targets, target->Path(), kTargetFirstError, targetCode, targetEntries);
    }
    if (!failure.empty()) {
      Stop(failure);
      return false;
    }
    // The reference only ever saves work: a listing of it that fails shares nothing.
    if (reference != nullptr && referenceCode.ok()) {
      TakeListing(os_, references, reference->Path(), "", Status(), referenceEntries);
    }
    return true;
  }

  // Whether the source file must be copied over its counterpart.
  bool NeedsCopy(const FileStatus& source, const FileStatus& target) const {
    // Times say nothing between entries of different kinds (a file and a
    // link, a file and a directory): those are always copied.
    if (!plan_.job.compareTimes || target.kind != source.kind) return true;
    if (source.size != target.size) return true;
    const std::int64_t difference = Nanoseconds(source) - Nanoseconds(target);
    if (exact_ && difference < -timeWindowNs_) return true;
    if (difference > timeWindowNs_) return true;
    // Never changed in place where other names share it.
    return target.links > 1 && target.kind == EntryKind::File && !SameAccess(source, target);
  }

  // Whether the copy of the source file `source` on the medium can be read
  // by someone the source keeps out: the medium keeps no permissions, and
  // shows its files readable by group or others where the source is not, or
  // owned by another user (not root, who reads everything anyway) where
  // others may not read the source.
  bool Exposed(const FileStatus& source) const {
    if (medium_ == nullptr || !medium_->copiesAccess || medium_->keepsPermissions || source.kind != EntryKind::File) {
      return false;
    }
    const std::uint32_t shown = medium_->shownPermissions;
    return (shown & ~source.permissions & 0044) != 0 ||
           (!medium_->keepsOwner && medium_->shownOwner != source.owner && medium_->shownOwner != 0 &&
            (shown & 0400) != 0 && (source.permissions & 0004) == 0);
  }

  bool SameAccess(const FileStatus& a, const FileStatus& b) const {
    if (!permissions_) return true;
    if (a.permissions != b.permissions) return false;
    return !ownerToo_ || (a.owner == b.owner && a.group == b.group);
  }

  // Whether the reference's file is what a copy of `source` would be. Only
  // regular files: a link holds nothing but its text, and is copied.
  bool Shareable(const FileStatus& source, const Listed* reference) const {
    if (!sharing_ || reference == nullptr) return false;
    const FileStatus& ref = reference->status;
    // Equal times, to the resolution both sides keep.
    return source.kind == EntryKind::File && ref.kind == EntryKind::File && ref.size == source.size &&
           std::llabs(Nanoseconds(ref) - Nanoseconds(source)) <= timeWindowNs_ && SameAccess(source, ref);
  }

  // What comparing a link with its counterpart link by their texts found.
  enum class LinkTexts { kSame, kDiffer, kVanished, kStopped };
  // Compares the texts of the link `entry` of `source` and its counterpart
  // link in `target`. A source link gone or no longer a link since it was
  // listed is passed over as vanished, as a directory is (kVanished, its
  // step written); a counterpart in that state differs. Any other failure
  // stops the scan as a listing failure does (kStopped, its step written).
  LinkTexts CompareLinks(OsDir& source, OsDir& target, const Listed& entry, const Listed& counterpart) {
    std::string text, counterpartText;
    Status code = source.ReadLinkAt(entry.name, &text);
    if (code.Is(ErrorKind::kNotFound) || code.Is(ErrorKind::kInvalid)) {
      plan_.Add(steps::Vanished{entry.name});
      return LinkTexts::kVanished;
    }
    if (!code.ok()) {
      Stop(kSourceFirstError + Join(source.Path(), "*"));
      return LinkTexts::kStopped;
    }
    code = target.ReadLinkAt(counterpart.name, &counterpartText);
    if (code.Is(ErrorKind::kNotFound) || code.Is(ErrorKind::kInvalid)) return LinkTexts::kDiffer;
    if (!code.ok()) {
      Stop(kTargetFirstError + Join(target.Path(), "*"));
      return LinkTexts::kStopped;
    }
    return text == counterpartText ? LinkTexts::kSame : LinkTexts::kDiffer;
  }

  // What becomes first of the counterpart (or none) of the source entry
  // `name`, a directory or not: one of another kind goes, unless deletions
  // are forbidden (the copy or the creation then fails on it); one whose name
  // differs in case is renamed to the source's.
  std::optional<steps::Counterpart> Meet(const std::string& name, bool directory, const Listed* counterpart) {
    using First = steps::Counterpart::First;
    if (counterpart == nullptr) return std::nullopt;
    steps::Counterpart meet{counterpart->name, counterpart->status, First::kNothing};
    if ((counterpart->status.kind == EntryKind::Directory) != directory) {
      if (plan_.job.deleteVanished) meet.first = First::kRemove;
    } else if (counterpart->name != name) {
      meet.first = First::kRename;
    }
    return meet;
  }

  // The source file or link `entry` copied: how, and what is taken in its
  // place where it cannot be read.
  steps::CopyFile Copy(const Listed& entry, std::optional<steps::Counterpart> counterpart,
                       const Listed* reference) const {
    steps::CopyFile copy{entry.name, entry.status, std::move(counterpart), writing_, keepUnreadable_, std::nullopt};
    // The newest generation's copy of a file that cannot be read is shared
    // like an unchanged file where sharing is on, else copied.
    if (keepUnreadable_ && reference != nullptr &&
        (reference->status.kind == EntryKind::File || reference->status.kind == EntryKind::Symlink)) {
      const bool share = reference->status.kind == EntryKind::File && plan_.job.sharing != MirrorSharing::kNone &&
                         plan_.job.compareTimes;
      copy.earlier = steps::EarlierCopy{reference->status, share && link_, share && clone_};
    }
    return copy;
  }

  // A source file or link: its step. False: the scan stopped.
  bool File(OsDir& source, OsDir* target, const Listed& entry, const Listed* counterpart, const Listed* reference) {
    using First = steps::Counterpart::First;
    std::optional<steps::Counterpart> meet = Meet(entry.name, false, counterpart);
    bool unchanged = counterpart != nullptr && !NeedsCopy(entry.status, counterpart->status);
    // Two links alike by size and times: their texts decide (kinds are equal here).
    if (unchanged && entry.status.kind == EntryKind::Symlink) {
      switch (CompareLinks(source, *target, entry, *counterpart)) {
        case LinkTexts::kSame:
          break;
        case LinkTexts::kDiffer:
          unchanged = false;
          break;
        case LinkTexts::kVanished:
          return true;
        case LinkTexts::kStopped:
          return false;
      }
    }
    if (meet && meet->first == First::kRename) ++totals_.adjusted;
    std::optional<steps::Access> access;
    if (counterpart != nullptr && counterpart->status.kind != EntryKind::Directory &&
        !SameAccess(entry.status, counterpart->status)) {
      access = AccessOf(entry.status);
      access->announce = true;
    }
    if (unchanged) {
      if (access) ++totals_.adjusted;
      plan_.Add(steps::KeepFile{entry.name, *meet, access});
    } else if (meet && meet->first != First::kRemove && !plan_.job.force) {
      // No-force mode leaves an existing copy's content alone; what is
      // private in the source still becomes private in the copy, and a copy
      // other names share is first made a file of its own.
      ++totals_.leftUndone;
      if (access) ++totals_.adjusted;
      const bool unshare = access && counterpart->status.kind == EntryKind::File && counterpart->status.links > 1;
      plan_.Add(steps::KeepUnforced{entry.name, entry.status, *meet, unshare, access});
    } else if (Shareable(entry.status, reference)) {
      plan_.Add(steps::ShareFile{Copy(entry, std::move(meet), reference), reference->status, link_, clone_});
      ++totals_.filesShared;
      totals_.bytesShared += entry.status.size;
      // A clone is an inode of its own with the data blocks shared; a link
      // is only a name.
      if (clone_ && !link_) totals_.diskBytes += kBlock;
    } else {
      plan_.Add(Copy(entry, std::move(meet), reference));
      ++totals_.filesToCopy;
      totals_.bytesToCopy += entry.status.size;
      // Blocks, not length: a file with holes is copied with its holes.
      totals_.diskBytes += RoundToBlock(entry.status.kind == EntryKind::File ? entry.status.allocated : 0);
    }
    if (Exposed(entry.status)) ++totals_.exposed;
    return true;
  }

  // A source directory: its step, then its level. False: the scan stopped.
  bool Directory(OsDir& source, OsDir* target, const FileStatus* targetStatus, OsDir* referenceDir, const Listed& entry,
                 const Listed* counterpart, const Listed* reference) {
    const std::string sourcePath = Join(source.Path(), entry.name);
    std::unique_ptr<OsDir> from;
    FileStatus fromStatus;
    bool fromReference = false;
    Status code = source.OpenDir(entry.name, &from);
    if (code.ok()) code = from->Stat(&fromStatus);
    if (!code.ok()) {
      // Gone, or no longer a directory (a link now, perhaps to somewhere the
      // user may not read): the next run copies whatever is there then. The
      // counterpart stays meanwhile.
      if (code.Is(ErrorKind::kNotFound) || code.Is(ErrorKind::kNotDirectory)) {
        plan_.Add(steps::Vanished{entry.name});
        return true;
      }
      const std::string failure = kSourceFirstError + Join(sourcePath, "*");
      if (!KeepsUnreadable(code)) {
        Stop(failure);
        return false;
      }
      // A directory that cannot be read does not stop a run that keeps what
      // it cannot read: a failure, and the copy takes the reference copy's
      // directory instead, or (without one) keeps what it holds of it.
      plan_.Add(steps::Unreadable{failure, code});
      from.reset();
      if (referenceDir == nullptr || !referenceDir->OpenDir(entry.name, &from).ok() || !from->Stat(&fromStatus).ok() ||
          fromStatus.kind != EntryKind::Directory) {
        return true;
      }
      fromReference = true;
    }
    if (fromStatus.attributes.system) {
      PassOver(steps::PassOver::Reason::kSystemDirectory, entry.name);
      return true;
    }
    // The copy itself, reached inside the source (through a bind mount): it
    // would be copied into itself, deeper each time.
    if (plan_.target && fromStatus.SameEntryAs(plan_.targetStatus)) {
      PassOver(steps::PassOver::Reason::kBackupDirectory, entry.name);
      return true;
    }

    steps::EnterDirectory step{entry.name, fromStatus,    Meet(entry.name, true, counterpart),
                               false,      fromReference, false};
    if (step.counterpart && step.counterpart->first == steps::Counterpart::First::kRename) ++totals_.adjusted;
    std::unique_ptr<OsDir> to, in;
    FileStatus toStatus;
    if (counterpart != nullptr && counterpart->status.kind == EntryKind::Directory) {
      // What the apply will find there; a directory that cannot be entered,
      // or another mount, stops the apply when it gets there.
      code = target->OpenDir(counterpart->name, &to);
      if (code.ok()) code = to->Stat(&toStatus);
      if (!code.ok() || !toStatus.SameMountAs(*targetStatus)) to.reset();
    } else {
      // New, or it used to be a file, a link or a special file (see Meet).
      step.create = true;
      ++totals_.directoriesToCreate;
      totals_.diskBytes += kBlock;
    }
    if (reference != nullptr && reference->status.kind == EntryKind::Directory &&
        referenceDir->OpenDir(entry.name, &in).ok()) {
      step.hasReference = true;
    }
    plan_.Add(step);
    if (counterpart != nullptr && counterpart->status.kind == EntryKind::Directory && !to) {
      return false;  // the apply reports it, once it has got that far
    }
    ++depth_;
    Below path(relative_, entry.name);
    const bool result = Level(*from, fromStatus, to.get(), to ? &toStatus : nullptr, step.create, in.get());
    --depth_;
    return result;
  }

  std::string Join(const std::string& directory, const std::string& name) const {
    return os_.Paths().Join(directory, name);
  }

  // Whether a source directory that failed to open with `code` is one the
  // job keeps its earlier copy of: one that cannot be read, in a run whose
  // failures are logged and passed over.
  bool KeepsUnreadable(const Status& code) const {
    return keepUnreadable_ && (code.Is(ErrorKind::kAccessDenied) || code.Is(ErrorKind::kIo));
  }

  Os& os_;
  Reporter& reporter_;
  BackgroundWorker& lister_;
  MirrorPlan& plan_;
  MirrorTotals& totals_;
  const bool exact_;
  // The job's exclude set; null when it excludes nothing.
  const ExcludeSet* excludes_;
  // What the target holds under excluded names stays (MirrorJob::excludedStay).
  const bool excludedStay_;
  const bool sharing_;
  // How a file is taken from the reference copy: by link, else by clone.
  const bool link_, clone_;
  const steps::Writing writing_;
  // A source entry that cannot be read is passed over, its earlier copy taken.
  const bool keepUnreadable_;
  int depth_ = 0;  // levels below the top
  // The current level's path relative to the source: its source names
  // joined by '/', empty at the top.
  std::string relative_;
  std::int64_t timeWindowNs_ = 0;
  bool permissions_ = true;
  bool ownerToo_ = false;
  // What the target's medium keeps and refuses; null: nothing is known.
  const MediumTraits* medium_ = nullptr;
};

void MirrorPlan::Add(const MirrorStep& step) { PutStep(steps_, step); }

namespace {

// ExcludesLeaveNothing below `dir`, whose path relative to the source is
// `relative`: true where something is left; `*leftOut` is set where
// something is excluded.
bool HoldsWhatIsLeft(OsDir& dir, const ExcludeSet& excludes, std::string_view ignored, std::string& relative,
                     bool* leftOut) {
  std::vector<DirEntry> entries;
  if (!dir.List(&entries).ok()) return true;
  const std::size_t level = relative.size();
  for (const DirEntry& entry : entries) {
    if (level == 0 && entry.name == ignored) continue;
    relative.resize(level);
    relative += (level == 0 ? "" : "/") + entry.name;
    const EntryKind kind = entry.status.kind;
    if (excludes.Excluded(relative, kind == EntryKind::Directory)) {
      *leftOut = true;
    } else if (kind == EntryKind::File || kind == EntryKind::Symlink) {
      return true;
    } else if (kind == EntryKind::Directory) {
      // Depth first: the first file found ends the walk.
      std::unique_ptr<OsDir> below;
      if (!dir.OpenDir(entry.name, &below).ok() || HoldsWhatIsLeft(*below, excludes, ignored, relative, leftOut)) {
        return true;
      }
    }
  }
  relative.resize(level);
  return false;
}

}  // namespace

bool ExcludesLeaveNothing(OsDir& source, const ExcludeSet& excludes, std::string_view ignoredAtTop) {
  if (excludes.empty()) return false;
  std::string relative;
  bool leftOut = false;
  return !HoldsWhatIsLeft(source, excludes, ignoredAtTop, relative, &leftOut) && leftOut;
}

const char* UnfitReasonOf(steps::LeaveOut::Reason reason) {
  switch (reason) {
    case steps::LeaveOut::Reason::kTwin:
      return kTwinReason;
    case steps::LeaveOut::Reason::kName:
      return kNameReason;
    case steps::LeaveOut::Reason::kSize:
      return kSizeReason;
    case steps::LeaveOut::Reason::kLink:
      return kLinkReason;
  }
  return kNameReason;
}

std::string LeftOutLine(const steps::LeaveOut& step, const std::string& sourcePath, const std::string& targetPath,
                        const std::string& twinPath) {
  const std::string why = " : " + Translate(Language::kEnglish, UnfitReasonOf(step.reason));
  if (step.reason == steps::LeaveOut::Reason::kLink) return "link found copy canceled! : " + sourcePath + why;
  const std::string line = step.directory ? "Directory Create Failed : " + targetPath + why
                                          : "File Copy Failed : " + sourcePath + " to " + targetPath + why;
  // A twin's line names the one copied instead.
  return step.reason == steps::LeaveOut::Reason::kTwin ? line + " : " + twinPath : line;
}

std::string BlockedLine(const std::string& sourcePath, const std::string& targetPath, bool directory) {
  const std::string why = " : what is there is kept by the exclude patterns";
  return directory ? "Directory Create Failed : " + targetPath + why
                   : "File Copy Failed : " + sourcePath + " to " + targetPath + why;
}

bool MirrorPlan::Next(MirrorStep* step) { return GetStep(steps_, step); }

MirrorPlanner::MirrorPlanner(Os& os, Reporter& reporter) : os_(os), reporter_(reporter) {}

MirrorPlanner::~MirrorPlanner() = default;

int MirrorPlanner::Plan(const MirrorJob& job, MirrorPlan* plan) {
  Os& os = os_;
  auto JoinPath = [&](const std::string& directory, const std::string& name) {
    return os.Paths().Join(directory, name);
  };
  auto ReportScanFailure = [&](const std::string& text) { reporter_.ScanFailure(text); };
  plan->job = job;
  // Unchanged files are not linked where the medium has no hard links (an
  // rclone mount answers a link with EIO): cloned or copied instead.
  if (job.medium && !job.medium->hardLinks && job.sharing == MirrorSharing::kLinkOrClone) {
    plan->job.sharing = MirrorSharing::kCloneOrCopy;
  }
  // The two directories the caller named may be links; nothing below them is
  // ever followed. A missing source would list as empty, and mirroring
  // "nothing" would delete the whole copy: at the top that is a failure.
  // What the caller opened itself is used as it is.
  auto open = [&](const std::string& path, std::unique_ptr<OsDir>* dir, FileStatus* status) {
    Status code = *dir ? Status() : os.OpenDir(path, /*followLink=*/true, dir);
    if (code.ok()) code = (*dir)->Stat(status);
    if (!code.ok()) dir->reset();
    return code;
  };
  if (!open(job.source, &plan->source, &plan->sourceStatus).ok()) {
    ReportScanFailure(kSourceFirstError + JoinPath(job.source, "*"));
    return 0;
  }
  if (!job.targetNotMade && !open(job.target, &plan->target, &plan->targetStatus).ok()) {
    ReportScanFailure(kTargetFirstError + JoinPath(job.target, "*"));
    return 0;
  }
  if ((job.sharing != MirrorSharing::kNone || job.keepUnreadable) && !job.reference.empty() &&
      !os.OpenDir(job.reference, /*followLink=*/false, &plan->reference).ok()) {
    plan->reference.reset();
  }
  bool shareByClone = false;  // the target's file system can clone
  if (plan->reference && plan->job.sharing != MirrorSharing::kNone) {
    // A target still to be made is made beside the reference.
    shareByClone = (plan->target ? *plan->target : *plan->reference).CanClone();
  }
  // Lists a level's source while the scan lists its target; made on first use.
  if (!lister_) lister_ = std::make_unique<BackgroundWorker>();
  MirrorScan scan(os, reporter_, *lister_, *plan, shareByClone);
  scan.Level(*plan->source, plan->sourceStatus, plan->target.get(), plan->target ? &plan->targetStatus : nullptr,
             job.targetIsNew, scan.UsesReference() ? plan->reference.get() : nullptr);
  if (reporter_.Cancelled()) return 0;
  if (RunProgress* progress = reporter_.control().progress) {
    progress->AddPlanned(plan->totals.filesToCopy, plan->totals.bytesToCopy);
  }
  if (!plan->ok()) {
    // The scratch file holding the plan failed (its file system is full).
    reporter_.Failure("Scratch File Write Failed", "", plan->error());
    ReportScanFailure(kSourceFirstError + JoinPath(job.source, "*"));
    return 0;
  }
  return 1;
}

}  // namespace veldar
