#include "engine/exclude.h"

#include <algorithm>
#include <cstdio>

#include "engine/generation_names.h"
#include "engine/utf8.h"
#include "res/translation.h"

namespace veldar {
namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }
bool IsWhite(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The bytes of the character at `at`: a whole valid UTF-8 one, else the one byte.
std::size_t CharLength(std::string_view text, std::size_t at) {
  const std::size_t length = Utf8CharLength(text, at);
  return length > 0 ? length : 1;
}

// `name` against one name of a pattern with '*' and '?'. Both step over
// whole characters, so a '?' never matches half of one. The last '*' seen
// takes one more character whenever what follows it fails: an earlier '*'
// never needs to take more, since the later one can take whatever it would.
bool WildcardMatch(std::string_view pattern, std::string_view name, bool foldCase) {
  std::size_t p = 0, n = 0;
  std::size_t afterStar = std::string_view::npos, starTook = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      afterStar = ++p;
      starTook = n;
    } else if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      n += CharLength(name, n);
    } else if (p < pattern.size() &&
               (foldCase ? FoldAscii(pattern[p]) == FoldAscii(name[n]) : pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (afterStar != std::string_view::npos) {
      starTook += CharLength(name, starTook);
      p = afterStar;
      n = starTook;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// `text` for a message: control characters as \xNN, so that a stored value
// with a line break cannot break the message's line.
std::string Printable(std::string_view text) {
  std::string printable;
  for (char c : text) {
    if (IsControl(static_cast<unsigned char>(c))) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
      printable += escaped;
    } else {
      printable += c;
    }
  }
  return printable;
}

}  // namespace

std::optional<ExcludeSet> ExcludeSet::Parse(const std::vector<std::string>& patterns, bool foldCase,
                                            std::string* error, Language language) {
  ExcludeSet set;
  set.foldCase_ = foldCase;
  for (const std::string& text : patterns) {
    Pattern pattern;
    pattern.source = text;
    const char* reason = nullptr;
    std::string_view rest = text;
    if (std::any_of(text.begin(), text.end(), [](char c) { return IsControl(static_cast<unsigned char>(c)); })) {
      reason = "制御文字を含んでいます";
    } else if (text.find('\\') != std::string::npos) {
      reason = "名前の区切りは / です（\\ は使えません）";
    } else if (!text.empty() && text[0] == '!') {
      reason = "! で始まる否定はありません（! で始まる名前は ?名前 と書きます）";
    } else {
      pattern.anchored = !rest.empty() && rest.front() == '/';
      if (pattern.anchored) rest.remove_prefix(1);
      pattern.directoriesOnly = !rest.empty() && rest.back() == '/';
      if (pattern.directoriesOnly) rest.remove_suffix(1);
      if (rest.empty()) reason = "名前がありません";
    }
    while (!reason) {
      const std::size_t slash = rest.find('/');
      const std::string_view name = rest.substr(0, slash);
      if (name.empty()) {
        reason = "空の名前 (//) があります";
      } else if (name == "." || name == "..") {
        reason = ". や .. は使えません";
      } else if (name == "**") {
        pattern.parts.push_back({Part::kAnyNames, std::string(name)});
      } else if (name.find("**") != std::string_view::npos) {
        reason = "** は / と / の間にそれだけで書きます（a/**/b）";
      } else {
        const bool wildcard = name.find_first_of("*?") != std::string_view::npos;
        pattern.parts.push_back({wildcard ? Part::kWildcard : Part::kLiteral, std::string(name)});
      }
      if (slash == std::string_view::npos) break;
      rest.remove_prefix(slash + 1);
    }
    if (reason) {
      if (error) {
        *error = FormatText(Translate(language, "除外パターン「%1」は使えません: %2"),
                            {Printable(text), Translate(language, reason)});
      }
      return std::nullopt;
    }
    set.patterns_.push_back(std::move(pattern));
  }
  if (error) error->clear();
  return set;
}

bool ExcludeSet::NameMatches(const Part& part, std::string_view name) const {
  if (part.kind == Part::kWildcard) return WildcardMatch(part.text, name, foldCase_);
  return foldCase_ ? EqualsNoCase(part.text, name) : part.text == name;
}

bool ExcludeSet::Matches(const Pattern& pattern, const std::vector<std::string_view>& names,
                         bool isDirectory) const {
  const std::size_t count = names.size();
  // reach[i]: the parts so far match the first i names. Without an anchor
  // the pattern may begin at any name, as if it began with "**".
  std::vector<char> reach(count + 1, pattern.anchored ? 0 : 1);
  reach[0] = 1;
  for (const Part& part : pattern.parts) {
    if (part.kind == Part::kAnyNames) {
      const auto first = std::find(reach.begin(), reach.end(), 1);
      std::fill(first, reach.end(), 1);
      continue;
    }
    bool any = false;
    for (std::size_t i = count; i > 0; --i) {
      reach[i] = reach[i - 1] && NameMatches(part, names[i - 1]);
      any = any || reach[i];
    }
    reach[0] = 0;
    if (!any) return false;
  }
  // A match that ends before the last name is one of the directories that
  // hold the entry.
  for (std::size_t i = 1; i < count; ++i) {
    if (reach[i]) return true;
  }
  return reach[count] && (isDirectory || !pattern.directoriesOnly);
}

bool ExcludeSet::Excluded(std::string_view relativePath, bool isDirectory) const {
  if (patterns_.empty()) return false;
  std::vector<std::string_view> names;
  while (!relativePath.empty()) {
    const std::size_t slash = relativePath.find('/');
    if (slash != 0) names.push_back(relativePath.substr(0, slash));
    if (slash == std::string_view::npos) break;
    relativePath.remove_prefix(slash + 1);
  }
  if (names.empty()) return false;
  return std::any_of(patterns_.begin(), patterns_.end(),
                     [&](const Pattern& pattern) { return Matches(pattern, names, isDirectory); });
}

std::vector<std::string> ExcludeSet::Patterns() const {
  std::vector<std::string> patterns;
  for (const Pattern& pattern : patterns_) patterns.push_back(pattern.source);
  return patterns;
}

std::string ExcludeSet::LogLine() const {
  if (patterns_.empty()) return std::string();
  std::string line = "Exclude : ";
  for (std::size_t i = 0; i < patterns_.size(); ++i) {
    if (i > 0) line += " | ";
    line += patterns_[i].source;
  }
  if (foldCase_) line += " (case ignored)";
  return line;
}

std::vector<std::string> SplitExcludeSetting(std::string_view value) {
  std::vector<std::string> patterns;
  while (true) {
    const std::size_t bar = value.find('|');
    std::string_view pattern = value.substr(0, bar);
    while (!pattern.empty() && IsWhite(pattern.front())) pattern.remove_prefix(1);
    while (!pattern.empty() && IsWhite(pattern.back())) pattern.remove_suffix(1);
    if (!pattern.empty()) patterns.emplace_back(pattern);
    if (bar == std::string_view::npos) return patterns;
    value.remove_prefix(bar + 1);
  }
}

std::optional<std::string> JoinExcludeSetting(const std::vector<std::string>& patterns) {
  std::string value;
  for (const std::string& pattern : patterns) {
    if (pattern.empty() || pattern.find('|') != std::string::npos || IsWhite(pattern.front()) ||
        IsWhite(pattern.back()))
      return std::nullopt;
    if (!value.empty()) value += '|';
    value += pattern;
  }
  return value;
}

}  // namespace veldar
