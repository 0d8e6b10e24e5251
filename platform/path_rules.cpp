#include "platform/path_rules.h"

namespace veldar {

const PathRules& PathRules::Posix() {
  static const PathRules rules('/', false);
  return rules;
}

const PathRules& PathRules::Windows() {
  static const PathRules rules('\\', true);
  return rules;
}

std::size_t PathRules::RootLength(std::string_view path) const {
  auto sep = [&](std::size_t i) { return i < path.size() && IsSeparator(path[i]); };
  if (!windows_) return sep(0) ? 1 : 0;
  auto letterColon = [&](std::size_t i) {
    return i + 1 < path.size() && path[i + 1] == ':' &&
           ((path[i] >= 'A' && path[i] <= 'Z') || (path[i] >= 'a' && path[i] <= 'z'));
  };
  // Past one component and the separator after it, from `i`.
  auto skipComponent = [&](std::size_t i) {
    while (i < path.size() && !IsSeparator(path[i])) ++i;
    return sep(i) ? i + 1 : i;
  };
  if (sep(0) && sep(1)) {
    std::size_t i = 2;
    if (path.size() > 3 && (path[2] == '?' || path[2] == '.') && sep(3)) {
      // "\\?\C:\" or "\\?\UNC\server\share\"
      i = 4;
      if (letterColon(i)) return sep(i + 2) ? i + 3 : i + 2;
      if (path.substr(i, 3) == "UNC" && sep(i + 3))
        i += 4;
      else
        return skipComponent(i);
    }
    return skipComponent(skipComponent(i));  // server, share
  }
  if (letterColon(0)) return sep(2) ? 3 : 2;
  return sep(0) ? 1 : 0;
}

bool PathRules::IsAbsolute(std::string_view path) const {
  if (!windows_) return RootLength(path) > 0;
  // "\\server\share", "\\?\..." and "C:\": "\x" and "C:x" still depend on the
  // current drive or its directory.
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return true;
  const std::size_t root = RootLength(path);
  return root == 3 && path[1] == ':';
}

std::string PathRules::Join(std::string_view directory, std::string_view name) const {
  std::string path;
  path.reserve(directory.size() + 1 + name.size());
  path += directory;
  if (!directory.empty() && !IsSeparator(directory.back())) path += separator_;
  path += name;
  return path;
}

std::string PathRules::NameOf(std::string_view path) const {
  std::size_t start = RootLength(path);
  for (std::size_t i = start; i < path.size(); ++i) {
    if (IsSeparator(path[i])) start = i + 1;
  }
  return std::string(path.substr(start));
}

std::string PathRules::ParentOf(std::string_view path) const {
  const std::size_t root = RootLength(path);
  std::size_t end = path.size();
  while (end > root && IsSeparator(path[end - 1])) --end;   // trailing separators
  while (end > root && !IsSeparator(path[end - 1])) --end;  // the last name
  while (end > root && IsSeparator(path[end - 1])) --end;   // separators before it
  return std::string(path.substr(0, end));
}

std::string PathRules::WithoutTrailingSeparators(std::string_view path) const {
  const std::size_t root = RootLength(path);
  std::size_t end = path.size();
  while (end > root && IsSeparator(path[end - 1])) --end;
  return std::string(path.substr(0, end));
}

std::vector<std::string> PathRules::Components(std::string_view path) const {
  std::vector<std::string> components;
  std::size_t start = RootLength(path);
  while (start <= path.size()) {
    std::size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const std::string_view part = path.substr(start, end - start);
    if (part == "..") {
      if (!components.empty()) components.pop_back();
    } else if (!part.empty() && part != ".") {
      components.emplace_back(part);
    }
    start = end + 1;
  }
  return components;
}

std::vector<std::string> PathRules::Ancestry(std::string_view path) const {
  std::vector<std::string> prefixes;
  const std::string whole = WithoutTrailingSeparators(path);
  const std::size_t root = RootLength(whole);
  for (std::size_t end = root + 1; end <= whole.size(); ++end) {
    if (end < whole.size() && !IsSeparator(whole[end])) continue;
    if (IsSeparator(whole[end - 1])) continue;  // a run of separators
    prefixes.push_back(whole.substr(0, end));
  }
  return prefixes;
}

}  // namespace veldar
