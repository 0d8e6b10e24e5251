#pragma once
// MirrorApplier: carries out a plan (mirror_plan.h), making the target tree
// follow the source tree one way. MirrorTree: both halves at once.

#include <optional>

#include "engine/file_ops.h"
#include "engine/manifest.h"
#include "engine/mirror_plan.h"
#include "engine/reporter.h"
#include "engine/tree_delete.h"

namespace veldar {

class MirrorApplier {
 public:
  // Reports through `reporter`; `guarded`, if set, is a tree no deletion may
  // empty (by default the plan's source).
  MirrorApplier(Os& os, Reporter& reporter, std::optional<FileStatus> guarded = std::nullopt);

  // Non-zero when the whole tree has been worked through (failures passed
  // over with the no-message flag are the reporter's count); 0 when it
  // stopped, already reported. A plan is applied once.
  [[nodiscard]] int Apply(MirrorPlan& plan);
  // Each file the apply copies is checksummed as it is written, into
  // `checksums` (by its path below the target's top) where the platform
  // hands the copy's bytes; null: none (the default).
  void ChecksumCopies(CopiedChecksums* checksums) { checksums_ = checksums; }

 private:
  Os& os_;
  Reporter& reporter_;
  std::optional<FileStatus> guarded_;
  CopiedChecksums* checksums_ = nullptr;
};

// Plans `job` into `plan` and applies it. 0: stopped, reported.
[[nodiscard]] int MirrorTree(Os& os, Reporter& reporter, const MirrorJob& job, MirrorPlan* plan,
                             const std::optional<FileStatus>& guarded = std::nullopt);

}  // namespace veldar
