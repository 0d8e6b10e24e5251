#pragma once
// MemoryOs: an `Os` whose file system is a tree held in memory, with POSIX
// path rules. For tests of what the engine decides (plans, generations) that
// need no disk, no root and no cleanup, and for the contract suite, which
// holds it to the promises of the system's own layers.
//
// What it keeps of each entry: kind, content (a link's text), permission
// bits, owner and group, last-write and creation times, identity (one inode
// number per file; hard links share it) and its number of names. Times
// advance by one second for every change made, from `Now()`, so entries
// made one after the other rank by age. Every directory can clone, keeps
// permissions and keeps exact times; a probe of the medium finds `medium`. Links met on the way of a path are
// followed (their text taken from the root); below an open directory none
// is. Nothing fails unless a call's own contract says it must; failures
// carry this double's own codes (1000 + the kind).
//
// Calls may come from several threads: one lock guards the whole tree.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/os.h"

namespace veldar {

class MemoryOs : public Os {
 public:
  MemoryOs();
  ~MemoryOs() override;
  MemoryOs(const MemoryOs&) = delete;
  MemoryOs& operator=(const MemoryOs&) = delete;

  // ---- Setting up a tree (paths from the root; parents are made) ----

  // A file with `content`, last written at `mtime` (0: now), 0644.
  void AddFile(const std::string& path, const std::string& content, std::int64_t mtime = 0);
  void AddDir(const std::string& path);
  // A link holding `text`, last written at `mtime` (0: now).
  void AddLink(const std::string& path, const std::string& text, std::int64_t mtime = 0);
  // A FIFO, socket or device: listed as special, never opened.
  void AddSpecial(const std::string& path);
  // The content of the file `path`, or nullopt when it is none.
  std::optional<std::string> Content(const std::string& path);

  std::uint64_t freeBytes = std::uint64_t(1) << 40;  // what `FreeSpace` reports
  // What a directory's `ProbeMedium` finds: by default a medium that keeps
  // everything. The tree itself is held in memory whatever it says: a name
  // or a size it refuses is still made.
  MediumTraits medium;

  Status OpenDir(const std::string& path, bool followLink, std::unique_ptr<OsDir>* dir) override;
  Status Access(const std::string& path, int mode) override;
  Status RealPath(const std::string& path, std::string* resolved) override;
  Status FreeSpace(const std::string& path, std::uint64_t* bytes) override;
  Status CreateDirTree(const std::string& path) override;
  Status OpenExclusive(const std::string& path, std::unique_ptr<OsFile>* file) override;
  Status OpenScratchFile(std::unique_ptr<OsFile>* file) override;
  std::string LogDir() override { return "/log/"; }
  std::string PrivateRuntimeDir() override { return std::string(); }
  std::optional<std::string> GetEnv(const std::string&) override { return std::nullopt; }
  int ProcessId() override { return 1; }
  bool IsAbandonedTemporary(std::string_view name) override;
  bool MayChangeOwner() override { return true; }
  std::uint32_t UserId() override { return 0; }
  std::int64_t Now() override;
  void SleepMs(int) override {}
  Status Error(int code) const override;
  Status Error(ErrorKind kind) const override;
  std::string ErrorText(const Status& status) override;
  const PathRules& Paths() const override { return PathRules::Posix(); }

  struct Node;
  struct Tree;

 private:
  std::shared_ptr<Tree> tree_;
};

}  // namespace veldar
