#include "engine/path_relation.h"

#include <algorithm>
#include <vector>

#include "platform/os_paths.h"

namespace veldar {
namespace {

// An absolute path: its root ("/", "C:\\") and the components below it.
struct Absolute {
  std::string root;
  std::vector<std::string> components;
};

std::string JoinComponents(const PathRules& paths, const Absolute& path, std::size_t count) {
  std::string joined = path.root;
  for (std::size_t i = 0; i < count; ++i) joined = paths.Join(joined, path.components[i]);
  return joined;
}

// The absolute form of `path`: the longest prefix that exists with its links
// resolved, the rest as written.
Absolute Resolve(Os& os, const std::string& path) {
  const PathRules& paths = os.Paths();
  std::string existing = paths.WithoutTrailingSeparators(path);
  std::vector<std::string> rest;  // the missing components, last first
  std::string resolved;
  while (!os.RealPath(existing, &resolved).ok()) {
    const std::string parent = paths.ParentOf(existing);
    if (parent == existing || paths.NameOf(existing).empty()) {
      resolved = existing;  // a root that cannot be resolved stays as written
      break;
    }
    rest.push_back(paths.NameOf(existing));
    if (parent.empty()) {
      // Relative, with nothing of it existing: relative to the working directory.
      if (!os.RealPath(".", &resolved).ok()) resolved.assign(1, paths.Separator());
      break;
    }
    existing = parent;
  }
  Absolute absolute;
  absolute.root = resolved.substr(0, paths.RootLength(resolved));
  absolute.components = paths.Components(resolved);
  for (auto name = rest.rbegin(); name != rest.rend(); ++name) {
    if (*name == "..") {
      if (!absolute.components.empty()) absolute.components.pop_back();
    } else if (*name != ".") {
      absolute.components.push_back(*name);
    }
  }
  return absolute;
}

}  // namespace

int DepthInside(Os& os, const std::string& inner, const std::string& outer, std::string* firstBelow) {
  if (firstBelow) firstBelow->clear();
  const PathRules& paths = os.Paths();
  const Absolute path = Resolve(os, inner);
  FileStatus outerStatus;
  const bool outerExists = Stat(os, outer, /*followLink=*/true, &outerStatus).ok();
  const Absolute outerPath = outerExists ? Absolute{} : Resolve(os, outer);
  // From `inner` itself up to the root: the first directory that is `outer`.
  const std::size_t depth = path.components.size();
  for (std::size_t count = depth + 1; count-- > 0;) {
    bool same = false;
    if (outerExists) {
      FileStatus status;
      same = Stat(os, JoinComponents(paths, path, count), true, &status).ok() && status.SameEntryAs(outerStatus);
    } else {
      same = outerPath.root == path.root && count == outerPath.components.size() &&
             std::equal(outerPath.components.begin(), outerPath.components.end(), path.components.begin());
    }
    if (same) {
      if (firstBelow && count < depth) *firstBelow = path.components[count];
      return static_cast<int>(depth - count);
    }
  }
  return -1;
}

}  // namespace veldar
