#pragma once
// Whether one directory lies inside another, whichever way the two were
// reached. The backup and the restore use it to refuse jobs that would copy a
// tree into itself or mirror over the copies.
//
// Directories are compared by identity (device and inode), not by the text of
// their paths: a bind mount or a link that reaches a directory by another
// route is the same directory. A path (or the part of it) that does not exist
// yet is compared by its absolute, lexically normal form.

#include <string>

#include "platform/os.h"

namespace veldar {

// How far below `outer` the path `inner` lies: 0 when they are one directory,
// 1 for an entry of `outer`, and so on; -1 when `inner` is not inside. With
// `firstBelow`, receives the name of the component of `inner` directly below
// `outer` (empty at depth 0).
[[nodiscard]] int DepthInside(Os& os, const std::string& inner, const std::string& outer,
                              std::string* firstBelow = nullptr);

inline bool IsSameOrInside(Os& os, const std::string& inner, const std::string& outer) {
  return DepthInside(os, inner, outer) >= 0;
}

}  // namespace veldar
