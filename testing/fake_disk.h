#pragma once
// FakeDisk: an `Os` over another (`ForwardingOs`) whose directories lie, as
// far as the caller can tell, on a disk of another kind than the real one:
// its time resolution, whether it keeps permissions, whether it clones, what
// a probe of the medium finds, whether it ignores letter case in names, and
// whether its renames take flags. Each is the real disk's until set.

#include <cstdint>
#include <optional>
#include <string>

#include "testing/forwarding_os.h"

namespace veldar {

class FakeDisk : public ForwardingOs {
 public:
  explicit FakeDisk(Os& real) : ForwardingOs(real) {}

  // Set: every directory reports this time resolution, and whether its file
  // system keeps permissions.
  std::optional<std::int64_t> timeResolutionNs;
  std::optional<bool> keepsPermissions;
  // Set: every directory's `ProbeMedium` finds this medium (and succeeds),
  // whatever the real one is.
  std::optional<MediumTraits> medium;
  // Set: every directory's `CanClone` returns this. True also makes
  // `CloneFile` work where the real file system cannot clone, as an unflushed
  // copy of the expected file (checked as a real clone checks it) to a
  // target that must not exist, so clone paths can be tested on any disk.
  std::optional<bool> canClone;
  // True: the file system has no rename that refuses to replace and no swap
  // (FUSE media, the Linux NFS client): `MoveNoReplace` of a directory and
  // every `Exchange` fail (kUnsupported) without a change, as the system's
  // do there.
  bool renameFlagsRefused = false;
  // True: the file system ignores letter case in names (as FAT and NTFS do):
  // a status look-up finds an entry whose name differs from the one asked
  // for only in ASCII case. Nothing else changes: creating "A" beside "a"
  // still makes two entries.
  bool foldsCase = false;
  // Set: the file system keeps no creation times, and last-write times only
  // to this many seconds (exFAT through FUSE: 1): every status shows its
  // last-write time cut to it, and that time for the creation time too.
  std::optional<std::int64_t> coarseTimesSec;

  bool CanClone(OsDir& dir) override { return canClone ? *canClone : dir.CanClone(); }
  std::int64_t TimeResolutionNs(OsDir& dir) override {
    return timeResolutionNs ? *timeResolutionNs : dir.TimeResolutionNs();
  }
  bool KeepsPermissions(OsDir& dir) override { return keepsPermissions ? *keepsPermissions : dir.KeepsPermissions(); }
  Status ProbeMedium(OsDir& dir, MediumTraits* traits) override;
  Status CloneFile(OsDir& dir, const std::string& name, OsDir& toDir, const std::string& to,
                   const FileStatus& expected) override;
  Status StatAt(OsDir& dir, const std::string& name, FileStatus* status, bool followLink) override;
  Status MoveNoReplace(OsDir& dir, const std::string& from, OsDir& toDir, const std::string& to) override;
  Status Exchange(OsDir& dir, const std::string& a, const std::string& b) override;
  void Seen(const std::string& path, FileStatus* status) override;
};

}  // namespace veldar
