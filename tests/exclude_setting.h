#pragma once
// The settings value a list of exclude patterns is stored as: what the
// tests write into the settings, and the inverse that SplitExcludeSetting
// (engine/exclude.h) must undo. The program itself never writes the value.

#include <optional>
#include <string>
#include <vector>

namespace veldar::testing {

// The value for `patterns`, joined by "|"; nothing when one of them cannot
// be stored: it holds "|", is empty, or begins or ends with white space.
inline std::optional<std::string> JoinExcludeSetting(const std::vector<std::string>& patterns) {
  const auto white = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  std::string value;
  for (const std::string& pattern : patterns) {
    if (pattern.empty() || pattern.find('|') != std::string::npos || white(pattern.front()) || white(pattern.back()))
      return std::nullopt;
    if (!value.empty()) value += '|';
    value += pattern;
  }
  return value;
}

}  // namespace veldar::testing
