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
// and that no other source entry names exactly; the apply renames such a
// counterpart to the source's letter case. Case is folded for the ASCII
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
#include "engine/medium.h"
#include "res/translation.h"

namespace veldar {

namespace {

// ---- The steps as they are stored ----
//
// A step is its kind, a byte of flags, and only the statuses and names its
// kind needs: most files have no counterpart and nothing to share, and the
// plan of a large tree is mostly file steps.

enum Flag : std::uint8_t {
  kHasCounterpart = 1 << 0,
  kDirectory = 1 << 1,
  kRemoveCounterpart = 1 << 2,
  kUnshare = 1 << 3,
  kSetAccess = 1 << 4,
  kCreate = 1 << 5,
  kHasReference = 1 << 6,
  kFromReference = 1 << 7,
};

void PutStep(PlanStore& store, const MirrorStep& step) {
  using Kind = MirrorStep::Kind;
  store.Put(step.kind);
  switch (step.kind) {
    case Kind::kLeave:
    case Kind::kNoDelete:
      return;
    case Kind::kPassOver:
      store.Put(step.passOver);
      break;
    case Kind::kFile:
    case Kind::kEnter: {
      const bool counterpart = !step.counterpart.empty();
      const std::uint8_t flags = (counterpart ? kHasCounterpart : 0) |
                                 (step.removeCounterpart ? kRemoveCounterpart : 0) |
                                 (step.unshare ? kUnshare : 0) | (step.setAccess ? kSetAccess : 0) |
                                 (step.create ? kCreate : 0) | (step.hasReference ? kHasReference : 0) |
                                 (step.fromReference ? kFromReference : 0);
      store.Put(flags);
      store.Put(step.content);
      store.Put(step.source);
      if (counterpart) {
        store.Put(step.counterpartStatus);
        store.PutString(step.counterpart);
      }
      if (step.content == MirrorStep::Content::kShare) store.Put(step.reference);
      break;
    }
    case Kind::kDelete:
    case Kind::kExcluded:
      store.Put(static_cast<std::uint8_t>(step.directory ? kDirectory : 0));
      break;
    case Kind::kPrune:
      store.Put(step.counterpartStatus);
      break;
    case Kind::kBlocked:
      store.Put(static_cast<std::uint8_t>(step.directory ? kDirectory : 0));
      store.PutString(step.counterpart);
      break;
    case Kind::kUnfit:
      store.Put(static_cast<std::uint8_t>(step.directory ? kDirectory : 0));
      store.Put(step.unfit);
      store.PutString(step.counterpart);
      break;
    case Kind::kUnreadable:
      store.Put(step.failure.code());
      store.Put(step.failure.kind());
      break;
    default:
      break;
  }
  store.PutString(step.name);
}

bool GetStep(PlanStore& store, MirrorStep* step) {
  using Kind = MirrorStep::Kind;
  *step = MirrorStep{};
  if (!store.Get(&step->kind)) return false;
  std::uint8_t flags = 0;
  switch (step->kind) {
    case Kind::kLeave:
    case Kind::kNoDelete:
      return true;
    case Kind::kPassOver:
      if (!store.Get(&step->passOver)) return false;
      break;
    case Kind::kFile:
    case Kind::kEnter:
      if (!store.Get(&flags) || !store.Get(&step->content) || !store.Get(&step->source)) return false;
      if ((flags & kHasCounterpart) &&
          !(store.Get(&step->counterpartStatus) && store.GetString(&step->counterpart))) {
        return false;
      }
      if (step->content == MirrorStep::Content::kShare && !store.Get(&step->reference)) return false;
      step->removeCounterpart = flags & kRemoveCounterpart;
      step->unshare = flags & kUnshare;
      step->setAccess = flags & kSetAccess;
      step->create = flags & kCreate;
      step->hasReference = flags & kHasReference;
      step->fromReference = flags & kFromReference;
      break;
    case Kind::kDelete:
    case Kind::kExcluded:
      if (!store.Get(&flags)) return false;
      step->directory = flags & kDirectory;
      break;
    case Kind::kPrune:
      if (!store.Get(&step->counterpartStatus)) return false;
      break;
    case Kind::kBlocked:
      if (!store.Get(&flags) || !store.GetString(&step->counterpart)) return false;
      step->directory = flags & kDirectory;
      break;
    case Kind::kUnfit:
      if (!store.Get(&flags) || !store.Get(&step->unfit) || !store.GetString(&step->counterpart)) return false;
      step->directory = flags & kDirectory;
      break;
    case Kind::kUnreadable: {
      int code = 0;
      ErrorKind kind = ErrorKind::kNone;
      if (!store.Get(&code) || !store.Get(&kind)) return false;
      step->failure = Status::Make(code, kind);
      break;
    }
    default:
      break;
  }
  return store.GetString(&step->name);
}

constexpr const char kNextError[] = "ERROR AT LOCAL FILE FINDNEXTFILE!";
constexpr const char kSourceInCopy[] = "ERROR SOURCE DIRECTORY FOUND IN COPY! : ";
constexpr std::uint64_t kBlock = 4096;

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
  NameTable(const std::vector<Listed>& entries, bool fold)
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

std::int64_t Nanoseconds(const FileStatus& status) {
  return status.mtimeSec * 1'000'000'000 + status.mtimeNsec;
}

std::uint64_t RoundToBlock(std::uint64_t bytes) { return (bytes + kBlock - 1) / kBlock * kBlock + kBlock; }

// Takes a listing into `list`. Empty on success; otherwise the text of the
// failure (a directory that is missing lists as empty).
std::string TakeListing(Os& os, std::vector<Listed>& list, const std::string& directory,
                        const char* firstError, const Status& code, std::vector<DirEntry>& entries) {
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
  MirrorScan(Os& os, Reporter& reporter, BackgroundWorker& lister, MirrorPlan& plan)
      : os_(os),
        reporter_(reporter),
        lister_(lister),
        plan_(plan),
        totals_(plan.totals),
        exact_(plan.job.exact),
        excludes_(plan.job.excludes != nullptr && !plan.job.excludes->empty() ? plan.job.excludes
                                                                              : nullptr),
        excludedStay_(excludes_ != nullptr && plan.job.excludedStay),
        // Only where the file system clones, or links are allowed: a
        // "shared" file that is then copied after all saves nothing.
        sharing_(plan.reference != nullptr && plan.job.compareTimes &&
                 (plan.job.sharing == MirrorSharing::kLinkOrClone ||
                  (plan.job.sharing == MirrorSharing::kCloneOrCopy && plan.shareByClone))) {
    // A target still to be made is made beside the reference, if anywhere.
    OsDir* timing = plan.target ? plan.target.get() : plan.reference.get();
    const MediumTraits* medium = medium_ = plan.job.medium ? &*plan.job.medium : nullptr;
    // Times are as fine as the coarser side keeps them: a copy on FAT comes
    // back up to 2 s away from its source, and is the same file.
    timeWindowNs_ = std::max({medium ? medium->timeResolutionNs : timing ? timing->TimeResolutionNs() : 0,
                              plan.job.sourceTimeResolutionNs, plan.source->TimeResolutionNs()});
    permissions_ = medium ? medium->copiesAccess && medium->keepsPermissions
                          : timing ? timing->KeepsPermissions() : true;
    ownerToo_ = permissions_ && (!medium || medium->keepsOwner) && os_.MayChangeOwner();
    plan.permissions = permissions_;
    plan.owners = ownerToo_;
  }

  // Whether files are taken from the reference copy at all.
  bool Sharing() const { return sharing_; }

  // One level: `source` against `target` (null: made by the apply, so empty)
  // and `reference` (null: none). False: the scan stopped, its step written.
  bool Level(OsDir& source, OsDir* target, const FileStatus* targetStatus, OsDir* reference) {
    // Asked to stop: the plan is left unfinished, and Plan says so.
    if (reporter_.Cancelled()) return false;
    const bool top = depth_ == 0;
    if (top) {
      plan_.topAccess = target != nullptr && !plan_.job.targetIsNew && !SameAccess(plan_.sourceStatus, *targetStatus);
    }
    std::vector<Listed> sources, targets, references;
    if (!List(source, target, reference, sources, targets, references)) return false;
    for (Listed& entry : targets) {
      // The source itself inside the copy (a bind mount of it): mirroring
      // would delete it, or fill it with itself.
      if (entry.status.kind == EntryKind::Directory && entry.status.SameEntryAs(plan_.sourceStatus)) {
        Stop(kSourceInCopy + Join(target->Path(), entry.name));
        return false;
      }
      if (top && !plan_.job.ownName.empty() && entry.name == plan_.job.ownName) entry.seen = true;
    }
    // Per level: a casefolded directory may sit in a tree that tells case apart.
    const bool fold = target != nullptr && FoldsCase(targets, [&](const std::string& name,
                                                                  FileStatus* status) {
      return target->StatAt(name, status);
    });
    Counterparts counterparts(targets, sources, fold);
    std::optional<NameTable> referenceNames;
    if (reference != nullptr) referenceNames.emplace(references, /*fold=*/false);

    // Temporary files of a copy whose writer was killed: nobody else will
    // ever finish or remove them. One that a source entry names is the user's.
    for (std::size_t i = 0; i < targets.size(); ++i) {
      if (counterparts.Claimed(i) || targets[i].status.kind == EntryKind::Directory) continue;
      if (!os_.IsAbandonedTemporary(targets[i].name)) continue;
      Put(MirrorStep::Kind::kRemoveAbandoned, targets[i].name);
      targets[i].seen = true;
    }

    std::vector<std::optional<MirrorStep::Unfit>> unfit;
    std::vector<std::int32_t> twinOf;
    FindUnfit(sources, counterparts, top, &unfit, &twinOf);
    for (std::size_t i = 0; i < sources.size(); ++i) {
      Listed& entry = sources[i];
      if (top && !plan_.job.ownName.empty() && entry.name == plan_.job.ownName) {
        PassOver(MirrorStep::PassOver::kOwnName, entry.name);
        continue;
      }
      if (unfit[i]) {
        MirrorStep step;
        step.kind = MirrorStep::Kind::kUnfit;
        step.name = entry.name;
        step.directory = entry.status.kind == EntryKind::Directory;
        step.unfit = *unfit[i];
        if (twinOf[i] >= 0) step.counterpart = sources[twinOf[i]].name;
        plan_.Add(step);
        ++totals_.leftOut;
        entry.seen = true;
        continue;
      }
      Listed* counterpart = counterparts.Find(entry.name);
      const bool isDirectory = entry.status.kind == EntryKind::Directory;
      if (Excluded(entry.name, isDirectory)) {
        MirrorStep step;
        step.kind = MirrorStep::Kind::kExcluded;
        step.name = entry.name;
        step.directory = isDirectory;
        plan_.Add(step);
        ++totals_.excluded;
        entry.seen = true;
        if (counterpart != nullptr && excludedStay_) counterpart->seen = true;
        continue;
      }
      if (Blocked(entry, target, counterpart)) {
        // The counterpart is left to the deletions below, which keep what
        // the patterns keep of it and delete the rest.
        MirrorStep step;
        step.kind = MirrorStep::Kind::kBlocked;
        step.name = entry.name;
        step.counterpart = counterpart->name;
        step.directory = isDirectory;
        plan_.Add(step);
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
          PassOver(MirrorStep::PassOver::kSpecial, entry.name);
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
      Put(MirrorStep::Kind::kNoDelete, std::string());
    } else {
      for (const Listed& entry : targets) {
        const bool directory = entry.status.kind == EntryKind::Directory;
        if (entry.seen || Stays(entry.name, directory)) continue;
        if (directory && HoldsExcluded(*target, entry.name)) {
          Prune(*target, entry.name, entry.status);
          continue;
        }
        MirrorStep step;
        step.kind = MirrorStep::Kind::kDelete;
        step.directory = entry.status.kind == EntryKind::Directory;
        step.name = entry.name;
        plan_.Add(step);
        ++totals_.entriesToDelete;
      }
    }
    Put(MirrorStep::Kind::kLeave, std::string());
    return true;
  }

 private:
  void Put(MirrorStep::Kind kind, const std::string& name) {
    MirrorStep step;
    step.kind = kind;
    step.name = name;
    plan_.Add(step);
  }
  void PassOver(MirrorStep::PassOver reason, const std::string& name) {
    MirrorStep step;
    step.kind = MirrorStep::Kind::kPassOver;
    step.passOver = reason;
    step.name = name;
    plan_.Add(step);
  }
  void Stop(const std::string& text) { Put(MirrorStep::Kind::kStop, text); }
  void Unreadable(const std::string& what, const Status& failure) {
    MirrorStep step;
    step.kind = MirrorStep::Kind::kUnreadable;
    step.name = what;
    step.failure = failure;
    plan_.Add(step);
  }

  // Which source entries of a level the medium cannot hold (by index; none
  // without a medium): names, sizes and links it refuses and, where it
  // ignores case, all but one of the names it would take for one, each with
  // the index of the one copied in its stead (`twinOf`). Of such twins the
  // one whose very name the target holds stays (what an earlier run
  // copied), else the first by name. Entries the exclude patterns leave out,
  // and the program's own name, are none of these.
  void FindUnfit(const std::vector<Listed>& sources, const Counterparts& counterparts, bool top,
                 std::vector<std::optional<MirrorStep::Unfit>>* unfit, std::vector<std::int32_t>* twinOf) {
    using Unfit = MirrorStep::Unfit;
    unfit->assign(sources.size(), std::nullopt);
    twinOf->assign(sources.size(), -1);
    if (medium_ == nullptr) return;
    std::unordered_map<std::string, std::int32_t> kept;  // folded name: the entry copied
    for (std::size_t i = 0; i < sources.size(); ++i) {
      const Listed& entry = sources[i];
      if (top && !plan_.job.ownName.empty() && entry.name == plan_.job.ownName) continue;
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
  bool Excluded(const std::string& name, bool isDirectory) {
    if (excludes_ == nullptr) return false;
    Below path(relative_, name);
    return excludes_->Excluded(relative_, isDirectory);
  }
  // Whether the target entry `name` of the current level stays where the
  // source has nothing of its name: its path is excluded, and the target is
  // the user's copy.
  bool Stays(const std::string& name, bool isDirectory) {
    return excludedStay_ && Excluded(name, isDirectory);
  }
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
    MirrorStep step;
    step.kind = MirrorStep::Kind::kPrune;
    step.name = name;
    step.counterpartStatus = status;
    plan_.Add(step);
    Below path(relative_, name);
    for (const DirEntry& entry : entries) {
      const bool directory = entry.status.kind == EntryKind::Directory;
      if (Excluded(entry.name, directory)) continue;
      if (directory && HoldsExcluded(*opened, entry.name)) {
        Prune(*opened, entry.name, entry.status);
        continue;
      }
      MirrorStep deletion;
      deletion.kind = MirrorStep::Kind::kDelete;
      deletion.directory = directory;
      deletion.name = entry.name;
      plan_.Add(deletion);
      ++totals_.entriesToDelete;
    }
    Put(MirrorStep::Kind::kLeave, std::string());
  }

  // The level's listings: the source on the listing thread, the others here.
  bool List(OsDir& source, OsDir* target, OsDir* reference, std::vector<Listed>& sources,
            std::vector<Listed>& targets, std::vector<Listed>& references) {
    std::vector<DirEntry> sourceEntries, targetEntries, referenceEntries;
    Status sourceCode, targetCode, referenceCode;
    lister_.Start([&] { sourceCode = source.List(&sourceEntries); });
    if (target != nullptr) targetCode = target->List(&targetEntries);
    if (reference != nullptr) referenceCode = reference->List(&referenceEntries);
    lister_.Wait();
    std::string failure = TakeListing(os_, sources, source.Path(), kSourceFirstError, sourceCode,
                                      sourceEntries);
    if (failure.empty() && target != nullptr) {
      failure = TakeListing(os_, targets, target->Path(), kTargetFirstError, targetCode,
                            targetEntries);
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
    if (medium_ == nullptr || !medium_->copiesAccess || medium_->keepsPermissions ||
        source.kind != EntryKind::File) {
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
  LinkTexts CompareLinks(OsDir& source, OsDir& target, const Listed& entry,
                         const Listed& counterpart) {
    std::string text, counterpartText;
    Status code = source.ReadLinkAt(entry.name, &text);
    if (code.Is(ErrorKind::kNotFound) || code.Is(ErrorKind::kInvalid)) {
      Put(MirrorStep::Kind::kVanished, entry.name);
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

  // A source file or link: its step. False: the scan stopped.
  bool File(OsDir& source, OsDir* target, const Listed& entry, const Listed* counterpart,
            const Listed* reference) {
    using Content = MirrorStep::Content;
    MirrorStep step;
    step.kind = MirrorStep::Kind::kFile;
    step.name = entry.name;
    step.source = entry.status;
    const bool counterpartIsDirectory =
        counterpart != nullptr && counterpart->status.kind == EntryKind::Directory;
    if (counterpart != nullptr) {
      step.counterpart = counterpart->name;
      step.counterpartStatus = counterpart->status;
      // The file used to be a directory: its old self goes first, unless
      // deletions are forbidden; the copy onto it then fails, reported.
      step.removeCounterpart = counterpartIsDirectory && plan_.job.deleteVanished;
    }
    bool unchanged = counterpart != nullptr && !NeedsCopy(entry.status, counterpart->status);
    // Two links alike by size and times: their texts decide (kinds are equal here).
    if (unchanged && entry.status.kind == EntryKind::Symlink) {
      switch (CompareLinks(source, *target, entry, *counterpart)) {
        case LinkTexts::kSame: break;
        case LinkTexts::kDiffer: unchanged = false; break;
        case LinkTexts::kVanished: return true;
        case LinkTexts::kStopped: return false;
      }
    }
    if (unchanged) {
      step.content = Content::kKeep;
      step.setAccess = !SameAccess(entry.status, counterpart->status);
    } else if (counterpart != nullptr && !step.removeCounterpart && !plan_.job.force) {
      // No-force mode leaves an existing copy's content alone; what is
      // private in the source still becomes private in the copy, and a copy
      // other names share is first made a file of its own.
      step.content = Content::kKeepNoForce;
      ++totals_.leftUndone;
      step.setAccess = !counterpartIsDirectory && !SameAccess(entry.status, counterpart->status);
      step.unshare = step.setAccess && counterpart->status.kind == EntryKind::File &&
                     counterpart->status.links > 1;
    } else if (Shareable(entry.status, reference)) {
      step.content = Content::kShare;
      step.reference = reference->status;
      ++totals_.filesShared;
      totals_.bytesShared += entry.status.size;
      // A clone is an inode of its own with the data blocks shared; a link
      // is only a name.
      if (plan_.shareByClone && plan_.job.sharing != MirrorSharing::kLinkOrClone) {
        totals_.diskBytes += kBlock;
      }
    } else {
      step.content = Content::kCopy;
      ++totals_.filesToCopy;
      totals_.bytesToCopy += entry.status.size;
      // Blocks, not length: a file with holes is copied with its holes.
      totals_.diskBytes +=
          RoundToBlock(entry.status.kind == EntryKind::File ? entry.status.allocated : 0);
    }
    if (Exposed(entry.status)) ++totals_.exposed;
    plan_.Add(step);
    return true;
  }

  // A source directory: its step, then its level. False: the scan stopped.
  bool Directory(OsDir& source, OsDir* target, const FileStatus* targetStatus,
                 OsDir* referenceDir, const Listed& entry, const Listed* counterpart,
                 const Listed* reference) {
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
        Put(MirrorStep::Kind::kVanished, entry.name);
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
      Unreadable(failure, code);
      from = EarlierCopy(entry.name);
      if (!from || !from->Stat(&fromStatus).ok() || fromStatus.kind != EntryKind::Directory) return true;
      fromReference = true;
    }
    if (fromStatus.attributes.system) {
      PassOver(MirrorStep::PassOver::kSystemDirectory, entry.name);
      return true;
    }
    // The copy itself, reached inside the source (through a bind mount): it
    // would be copied into itself, deeper each time.
    if (plan_.target && fromStatus.SameEntryAs(plan_.targetStatus)) {
      PassOver(MirrorStep::PassOver::kBackupDirectory, entry.name);
      return true;
    }

    MirrorStep step;
    step.kind = MirrorStep::Kind::kEnter;
    step.name = entry.name;
    step.source = fromStatus;
    step.fromReference = fromReference;
    if (counterpart != nullptr) {
      step.counterpart = counterpart->name;
      step.counterpartStatus = counterpart->status;
    }
    std::unique_ptr<OsDir> to, in;
    FileStatus toStatus;
    if (counterpart != nullptr && counterpart->status.kind == EntryKind::Directory) {
      // What the apply will find there; a directory that cannot be entered,
      // or another mount, stops the apply when it gets there.
      code = target->OpenDir(counterpart->name, &to);
      if (code.ok()) code = to->Stat(&toStatus);
      if (!code.ok() || !toStatus.SameMountAs(*targetStatus)) to.reset();
      // Its contents in place, it gets the source's permissions and owner.
      step.setAccess = to && !SameAccess(fromStatus, toStatus);
    } else {
      // New, or it used to be a file, a link or a special file: that goes
      // first, unless deletions are forbidden (the creation then fails on it).
      step.create = true;
      step.removeCounterpart = counterpart != nullptr && plan_.job.deleteVanished;
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
    const bool result = Level(*from, to.get(), to ? &toStatus : nullptr, in.get());
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
    return plan_.job.keepUnreadable && reporter_.noMessage() &&
           (code.Is(ErrorKind::kAccessDenied) || code.Is(ErrorKind::kIo));
  }

  // The reference copy's directory `name` at the current level, opened from
  // its top without following a link; null when it has none.
  std::unique_ptr<OsDir> EarlierCopy(const std::string& name) {
    if (!plan_.reference) return nullptr;
    std::unique_ptr<OsDir> held;
    OsDir* dir = plan_.reference.get();
    std::string path = relative_.empty() ? name : relative_ + "/" + name;
    for (std::size_t start = 0; start <= path.size();) {
      const std::size_t end = std::min(path.find('/', start), path.size());
      std::unique_ptr<OsDir> next;
      if (!dir->OpenDir(path.substr(start, end - start), &next).ok()) return nullptr;
      held = std::move(next);
      dir = held.get();
      start = end + 1;
    }
    return held;
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
bool HoldsWhatIsLeft(OsDir& dir, const ExcludeSet& excludes, std::string_view ignored,
                     std::string& relative, bool* leftOut) {
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
      if (!dir.OpenDir(entry.name, &below).ok() ||
          HoldsWhatIsLeft(*below, excludes, ignored, relative, leftOut)) {
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

const char* UnfitReasonOf(MirrorStep::Unfit unfit) {
  switch (unfit) {
    case MirrorStep::Unfit::kTwin: return kTwinReason;
    case MirrorStep::Unfit::kName: return kNameReason;
    case MirrorStep::Unfit::kSize: return kSizeReason;
    case MirrorStep::Unfit::kLink: return kLinkReason;
  }
  return kNameReason;
}

std::string LeftOutLine(const MirrorStep& step, const std::string& sourcePath, const std::string& targetPath,
                        const std::string& twinPath) {
  const std::string why = " : " + Translate(Language::kEnglish, UnfitReasonOf(step.unfit));
  if (step.unfit == MirrorStep::Unfit::kLink) return "link found copy canceled! : " + sourcePath + why;
  const std::string line = step.directory ? "Directory Create Failed : " + targetPath + why
                                          : "File Copy Failed : " + sourcePath + " to " + targetPath + why;
  // A twin's line names the one copied instead.
  return step.unfit == MirrorStep::Unfit::kTwin ? line + " : " + twinPath : line;
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
  if (plan->reference && job.sharing != MirrorSharing::kNone) {
    // A target still to be made is made beside the reference.
    plan->shareByClone = (plan->target ? *plan->target : *plan->reference).CanClone();
  }
  // Lists a level's source while the scan lists its target; made on first use.
  if (!lister_) lister_ = std::make_unique<BackgroundWorker>();
  MirrorScan scan(os, reporter_, *lister_, *plan);
  scan.Level(*plan->source, plan->target.get(), plan->target ? &plan->targetStatus : nullptr,
             scan.Sharing() ? plan->reference.get() : nullptr);
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
