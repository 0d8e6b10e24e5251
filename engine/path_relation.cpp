#include "engine/path_relation.h"

#include <algorithm>
#include <vector>

namespace veldar {
namespace {

// The components of `path` appended to `components`, with "." dropped and
// ".." taking the last one back.
void AppendComponents(const std::string& path, char separator, std::vector<std::string>* components) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(separator, start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!components->empty()) components->pop_back();
    } else if (!part.empty() && part != ".") {
      components->push_back(part);
    }
    start = end + 1;
  }
}

std::string JoinComponents(const std::vector<std::string>& components, std::size_t count,
                           char separator) {
  std::string path(1, separator);
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) path += separator;
    path += components[i];
  }
  return path;
}

// The absolute components of `path`: the longest prefix that exists with its
// links resolved, the rest as written.
std::vector<std::string> Resolve(Os& os, const std::string& path) {
  const char separator = os.Separator();
  std::string existing = path;
  std::string rest;
  std::string resolved;
  while (os.RealPath(existing, &resolved) != 0) {
    const auto slash = existing.find_last_of(separator);
    if (slash == std::string::npos) {
      // Relative, with nothing of it existing: relative to the working directory.
      rest = existing + (rest.empty() ? "" : separator + rest);
      existing = ".";
      if (os.RealPath(existing, &resolved) != 0) resolved.assign(1, separator);
      break;
    }
    rest = existing.substr(slash + 1) + (rest.empty() ? "" : separator + rest);
    existing = slash == 0 ? std::string(1, separator) : existing.substr(0, slash);
  }
  std::vector<std::string> components;
  AppendComponents(resolved, separator, &components);
  AppendComponents(rest, separator, &components);
  return components;
}

}  // namespace

int DepthInside(Os& os, const std::string& inner, const std::string& outer,
                std::string* firstBelow) {
  if (firstBelow) firstBelow->clear();
  const char separator = os.Separator();
  const std::vector<std::string> path = Resolve(os, inner);
  FileStatus outerStatus;
  const bool outerExists = os.Stat(outer, /*followLink=*/true, &outerStatus) == 0;
  const std::vector<std::string> outerPath = outerExists ? std::vector<std::string>{} : Resolve(os, outer);
  // From `inner` itself up to the root: the first directory that is `outer`.
  for (std::size_t count = path.size() + 1; count-- > 0;) {
    bool same = false;
    if (outerExists) {
      FileStatus status;
      same = os.Stat(JoinComponents(path, count, separator), true, &status) == 0 &&
             status.SameEntryAs(outerStatus);
    } else {
      same = count == outerPath.size() &&
             std::equal(outerPath.begin(), outerPath.end(), path.begin());
    }
    if (same) {
      if (firstBelow && count < path.size()) *firstBelow = path[count];
      return static_cast<int>(path.size() - count);
    }
  }
  return -1;
}

}  // namespace veldar
