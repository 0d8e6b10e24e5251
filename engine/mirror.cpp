// MirrorDir: makes a target tree follow a source tree, one way.
//
// One call of MirrorLevel works one directory level: it lists the source and
// the target once each, deals with every source entry in listing order (a
// subdirectory completely, its own deletions included, before the next
// entry), and then deletes the target entries that no source entry matched.
// Only the listings of the levels on the current path are held in memory.
//
// Matching. Names that differ only in letter case are different files here,
// so a source entry's counterpart is the target entry of exactly its name if
// there is one, otherwise the first target entry (in listing order) whose name
// matches without regard to case and that no other source entry names
// exactly. Case is folded for the ASCII letters, byte by byte: a name is a byte
// string in whatever encoding wrote it, and the bytes of multibyte characters
// (0x80 and up in UTF-8) never change under the folding. Both look-ups go
// through hash tables built once per level, so a level costs time linear in
// its entries.
//
// A counterpart whose name differs in case is renamed to the source's name
// without ever replacing an existing entry, and afterwards addressed by the
// name it really has: the new one when the rename worked, the old one when it
// did not.
//
// Links are never followed below the top level (where the user may have
// named a link): a link is copied as a link and compared by its own time, and
// every level is listed without following a final link, so a directory
// swapped for a link after its parent was listed is not walked into. FIFOs,
// sockets and devices are passed over unopened. An entry whose kind changed
// (a file that is now a directory, or the reverse) has its old counterpart
// deleted first, unless deletions are forbidden, in which case the copy or the
// creation fails on it and is reported as a failure.

#include <cstdint>
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
// entries.
class Counterparts {
 public:
  Counterparts(std::vector<CFileEntry>& targets, const std::vector<CFileEntry>& sources)
      : targets_(targets),
        exact_(targets, /*fold=*/false),
        folded_(targets, /*fold=*/true),
        claimed_(targets.size(), false),
        cursor_(targets.size(), -1) {
    // A target entry that some source entry names exactly belongs to that
    // entry; no other may take it by case.
    for (const CFileEntry& source : sources) {
      const std::int32_t found = exact_.First(source.name);
      if (found >= 0) claimed_[found] = true;
    }
  }

  // The counterpart of the source entry `name`, or nullptr. An entry taken
  // by case is one that no earlier source entry has dealt with (seen).
  CFileEntry* Find(const std::string& name) {
    const std::int32_t exact = exact_.First(name);
    if (exact >= 0) return &targets_[exact];
    const std::int32_t first = folded_.First(name);
    if (first < 0) return nullptr;
    // Each chain keeps a cursor at its first entry still free: entries only
    // ever become taken, so the cursor never needs to go back.
    std::int32_t& cursor = cursor_[first];
    std::int32_t candidate = cursor < 0 ? first : cursor;
    while (candidate >= 0 && (claimed_[candidate] || targets_[candidate].seen)) {
      candidate = folded_.Next(candidate);
    }
    cursor = candidate;
    return candidate >= 0 ? &targets_[candidate] : nullptr;
  }

 private:
  std::vector<CFileEntry>& targets_;
  NameTable exact_;
  NameTable folded_;
  std::vector<bool> claimed_;
  std::vector<std::int32_t> cursor_;
};

// The entry paths of one level. The buffers keep their capacity from one
// entry to the next, so building a path allocates nothing once they have
// grown.
class LevelPaths {
 public:
  LevelPaths(const std::string& sourceDir, const std::string& targetDir, char separator)
      : source_(sourceDir + separator), target_(targetDir + separator), renamed_(target_),
        sourceBase_(source_.size()), targetBase_(target_.size()) {}

  // The source entry's path.
  const std::string& SetSource(const std::string& name) { return Put(source_, sourceBase_, name); }
  // The target directory joined with `name`: the counterpart's path, or
  // where a new entry goes.
  const std::string& SetTarget(const std::string& name) { return Put(target_, targetBase_, name); }
  // A second target path, for the new name of a renamed counterpart.
  const std::string& SetRenamed(const std::string& name) {
    return Put(renamed_, targetBase_, name);
  }

  const std::string& source() const { return source_; }
  const std::string& target() const { return target_; }

 private:
  static const std::string& Put(std::string& buffer, std::size_t base, const std::string& name) {
    buffer.resize(base);
    buffer += name;
    return buffer;
  }

  std::string source_;
  std::string target_;
  std::string renamed_;
  std::size_t sourceBase_;
  std::size_t targetBase_;
};

enum class Step { Next, Recurse, Stop };

// Gives the counterpart at `paths.target()` the source's letter case. Returns
// the path that names the counterpart afterwards.
const std::string& Rename(CVELDAR2Engine& engine, LevelPaths& paths, const std::string& name,
                          bool directory) {
  const std::string& from = paths.target();
  const std::string& to = paths.SetRenamed(name);
  const int code = engine.os.MoveNoReplace(from, to);
  if (code == 0) {
    if (engine.successLog) {
      engine.WriteLog((directory ? "rename directory : from " : "rename file : from ") + from +
                      " TO " + to);
    }
    return to;
  }
  if (directory) {
    engine.WriteFailure("rename directory failed : from " + from + " TO " + paths.source());
  } else {
    engine.WriteFailure("rename file failed : from " + from + " TO " + to + " : ERR = " +
                        std::to_string(code));
  }
  return from;
}

// A source file or link. False: stop the walk (already reported).
bool MirrorFile(CVELDAR2Engine& engine, const CFileEntry& entry, const CFileEntry* counterpart,
                LevelPaths& paths) {
  const std::string* destination = &paths.target();
  if (counterpart != nullptr && counterpart->isDirectory) {
    // The file used to be a directory. Its old self goes first, everything in
    // it included; with deletions forbidden it stays, and the copy onto it
    // fails and is reported.
    if (!engine.noDelete) {
      if (!engine.DeleteDirContents(paths.target())) return false;
      if (engine.DirRemove(paths.target())) destination = &paths.SetRenamed(entry.name);
    }
  } else if (counterpart != nullptr && counterpart->name != entry.name) {
    destination = &Rename(engine, paths, entry.name, /*directory=*/false);
  }

  // Times say nothing between entries of different kinds (a file and a link,
  // a file and a directory): those are always copied.
  const bool copy = counterpart == nullptr || engine.noTime || counterpart->kind != entry.kind ||
                    entry.time > counterpart->time;
  if (!copy) {
    if (engine.skipLog) engine.WriteLog("Not update,copy canceled! : " + *destination);
    return true;
  }
  if (!engine.FileCopy(paths.source(), *destination) && !engine.noMessage) {
    engine.ShowMessage("ERR : COPY FILE FROM " + paths.source() + " TO " + *destination);
    return false;
  }
  return true;
}

// A source directory: everything short of the recursion. On Step::Recurse,
// `*into` is the target directory to mirror into.
Step PrepareDirectory(CVELDAR2Engine& engine, const CFileEntry& entry,
                      const CFileEntry* counterpart, LevelPaths& paths,
                      const std::string** into) {
  // Read afresh: a directory that has vanished, or that is no longer a
  // directory, counts as a system directory and is passed over. One that is
  // there but cannot be examined (a path beyond the system's limit, an I/O
  // error) is not passed over in silence: its listing below fails on the same
  // cause and reports it.
  FileStatus status;
  const int code = engine.os.Stat(paths.source(), /*followLink=*/false, &status);
  if ((code != 0 && engine.os.IsNotFound(code)) ||
      (code == 0 && (status.attributes.system || status.kind != EntryKind::Directory))) {
    if (engine.skipLog) {
      engine.WriteLog("system directory found copy canceled! : " + paths.source());
    }
    return Step::Next;
  }

  if (counterpart == nullptr) {
    if (!engine.DirCreate(paths.target()) && !engine.noMessage) {
      engine.ShowMessage("ERR : MKDIR FAILED " + paths.target());
      return Step::Stop;
    }
    // Even after a failed creation (no-message flag): every entry beneath is
    // then tried and reported on its own.
    *into = &paths.target();
    return Step::Recurse;
  }

  if (!counterpart->isDirectory) {
    // The directory used to be a file, a link or a special file: that goes
    // first, unless deletions are forbidden; then the creation fails on it.
    const std::string* create = &paths.target();
    if (!engine.noDelete && engine.FileDelete(paths.target())) {
      create = &paths.SetRenamed(entry.name);
    }
    if (!engine.DirCreate(*create)) {
      if (!engine.noMessage) {
        engine.ShowMessage("ERR : MKDIR FAILED " + *create);
        return Step::Stop;
      }
      // Never walk into what is still not a directory: through a link that
      // would write outside the tree.
      return Step::Next;
    }
    *into = create;
    return Step::Recurse;
  }

  *into = counterpart->name == entry.name ? &paths.target()
                                          : &Rename(engine, paths, entry.name, /*directory=*/true);
  return Step::Recurse;
}

// Deletes the target entries that no source entry matched. 0: stopped.
int DeleteVanished(CVELDAR2Engine& engine, const std::vector<CFileEntry>& targets,
                   LevelPaths& paths) {
  if (engine.noDelete) {
    if (engine.skipLog) engine.WriteLog("option nodel : delete canceled!");
    return 1;
  }
  for (const CFileEntry& entry : targets) {
    if (entry.seen) continue;
    const std::string& path = paths.SetTarget(entry.name);
    if (entry.isDirectory) {
      if (!engine.DeleteDirContents(path)) return 0;
      if (!engine.DirRemove(path) && !engine.noMessage) {
        engine.ShowMessage("ERR : DELETE DIRECTORY " + entry.name);  // and on with the next
      }
    } else if (!engine.FileDelete(path) && !engine.noMessage) {
      // Files, links and special files alike: a link goes, never its target.
      engine.ShowMessage("ERR : DELETE FILE " + entry.name);
      return 0;
    }
  }
  return 1;
}

}  // namespace

int CVELDAR2Engine::MirrorDir(const std::string& sourceDir, const std::string& targetDir) {
  // A missing source would list as empty, and mirroring "nothing" would
  // delete the whole copy. At the top that is a failure, never an empty tree.
  FileStatus status;
  const int code = os.Stat(sourceDir, /*followLink=*/true, &status);
  if (code != 0 && os.IsNotFound(code)) {
    ReportScanFailure(kSourceFirstError + JoinPath(sourceDir, "*"));
    return 0;
  }
  return MirrorLevel(sourceDir, targetDir, /*followLinks=*/true);
}

int CVELDAR2Engine::MirrorLevel(const std::string& sourceDir, const std::string& targetDir,
                                bool followLinks) {
  // The two listings, a status call per entry each, run side by side; their
  // failures are reported afterwards, on this thread, source first.
  if (!lister) lister = std::make_unique<BackgroundWorker>();
  std::vector<DirEntry> sourceEntries, targetEntries;
  int sourceCode = 0;
  lister->Start([&] { sourceCode = os.ListDir(sourceDir, followLinks, &sourceEntries); });
  const int targetCode = os.ListDir(targetDir, followLinks, &targetEntries);
  lister->Wait();
  CListingPair pair;
  if (!TakeListing(pair.sourceList, sourceDir, kSourceFirstError, sourceCode, sourceEntries)) return 0;
  if (!TakeListing(pair.targetList, targetDir, kTargetFirstError, targetCode, targetEntries)) return 0;

  Counterparts counterparts(pair.targetList, pair.sourceList);
  LevelPaths paths(sourceDir, targetDir, os.Separator());
  for (CFileEntry& entry : pair.sourceList) {
    CFileEntry* counterpart = counterparts.Find(entry.name);
    paths.SetSource(entry.name);
    paths.SetTarget(counterpart != nullptr ? counterpart->name : entry.name);

    switch (entry.kind) {
      case EntryKind::File:
      case EntryKind::Symlink:
        if (!MirrorFile(*this, entry, counterpart, paths)) return 0;
        break;
      case EntryKind::Special:
        // Opening a FIFO blocks for ever, a device may act on the device.
        if (skipLog) WriteLog("special file found copy canceled! : " + paths.source());
        break;
      case EntryKind::Directory: {
        const std::string* into = nullptr;
        const Step step = PrepareDirectory(*this, entry, counterpart, paths, &into);
        if (step == Step::Stop) return 0;
        // Below the top level no final link is followed.
        if (step == Step::Recurse && !MirrorLevel(paths.source(), *into, /*followLinks=*/false)) {
          return 0;
        }
        break;
      }
    }
    entry.seen = true;
    if (counterpart != nullptr) counterpart->seen = true;
  }
  return DeleteVanished(*this, pair.targetList, paths);
}

}  // namespace veldar
