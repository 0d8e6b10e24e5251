#pragma once
// Whether one directory lies inside another, whichever way the two paths
// were spelt. The backup and the restore use it to refuse jobs that would
// copy a tree into itself or mirror over the copies.

#include <string>
#include <vector>

namespace veldar {

// The path's components after links, "." and ".." are resolved, so that two
// spellings of one directory compare equal. Where the path cannot be
// resolved, its absolute, lexically normal form stands in.
std::vector<std::string> CanonicalComponents(const std::string& path);

// True when `inner` is `outer` or lies below it. Whole components are
// compared, so /a/bc is not inside /a/b.
bool IsSameOrInside(const std::vector<std::string>& inner, const std::vector<std::string>& outer);
bool IsSameOrInside(const std::string& inner, const std::string& outer);

}  // namespace veldar
