#include "engine/path_relation.h"

#include <filesystem>
#include <system_error>

namespace veldar {

std::vector<std::string> CanonicalComponents(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path resolved = fs::weakly_canonical(fs::path(path), error);
  if (error) resolved = fs::absolute(fs::path(path), error).lexically_normal();
  std::vector<std::string> components;
  for (const fs::path& part : resolved) {
    if (!part.empty()) components.push_back(part.string());
  }
  return components;
}

bool IsSameOrInside(const std::vector<std::string>& inner, const std::vector<std::string>& outer) {
  if (inner.size() < outer.size()) return false;
  for (std::size_t i = 0; i < outer.size(); ++i) {
    if (inner[i] != outer[i]) return false;
  }
  return true;
}

bool IsSameOrInside(const std::string& inner, const std::string& outer) {
  return IsSameOrInside(CanonicalComponents(inner), CanonicalComponents(outer));
}

}  // namespace veldar
