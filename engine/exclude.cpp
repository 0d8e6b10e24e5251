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

// The code point of the character at `at`, or -1 for a byte that is not
// part of a valid UTF-8 one.
long CodePoint(std::string_view text, std::size_t at) {
  const std::size_t length = Utf8CharLength(text, at);
  if (length == 0) return -1;
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  if (length == 1) return lead;
  long code = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    code = code << 6 | (static_cast<unsigned char>(text[at + i]) & 0x3F);
  }
  return code;
}

// Whether `c` (a code point, -1 for a stray byte) is in the POSIX class
// `name` ("digit" of "[[:digit:]]"), for ASCII characters; `*known` is
// cleared for a name that is none.
bool InNamedClass(std::string_view name, long c, bool* known) {
  const bool ascii = c >= 0 && c <= 0x7F;
  const bool upper = c >= 'A' && c <= 'Z', lower = c >= 'a' && c <= 'z', digit = c >= '0' && c <= '9';
  const bool graph = c > 0x20 && c < 0x7F, control = ascii && (c < 0x20 || c == 0x7F);
  const struct {
    const char* name;
    bool in;
  } classes[] = {
      {"alpha", upper || lower},
      {"digit", digit},
      {"alnum", upper || lower || digit},
      {"upper", upper},
      {"lower", lower},
      {"space", c == ' ' || (c >= '\t' && c <= '\r')},
      {"blank", c == ' ' || c == '\t'},
      {"punct", graph && !upper && !lower && !digit},
      {"xdigit", digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')},
      {"cntrl", control},
      {"graph", graph},
      {"print", graph || c == ' '},
  };
  for (const auto& named : classes) {
    if (name == named.name) return named.in;
  }
  *known = false;
  return false;
}

// Reads the bracket expression that opens at `text[open]` ('[') as rsync
// does: a leading '!' or '^' negates it; a ']' first is a member; "[:name:]"
// is a POSIX class (a "[:" without its ":]" before the next ']' is a member
// '['); "a-z" is a range of code points (a stray byte is in none), unless
// the '-' is followed by the closing ']'. Returns the index of the closing
// ']', or npos when there is none in `text` or a class name is unknown
// (`*unknownName` then set, when given). `*matched` (when given) tells
// whether the character `c` (one UTF-8 character, or a stray byte) is one of
// its; letters in the other ASCII case count too when case is folded.
std::size_t ReadClass(std::string_view text, std::size_t open, std::string_view c, bool foldCase, bool* matched,
                      bool* unknownName = nullptr) {
  const long code = c.empty() ? -1 : CodePoint(c, 0);
  const bool letter = (code | 0x20) >= 'a' && (code | 0x20) <= 'z';
  const long other = foldCase && letter ? code ^ 0x20 : code;
  std::size_t i = open + 1;
  const bool negated = i < text.size() && (text[i] == '!' || text[i] == '^');
  if (negated) ++i;
  bool in = false;
  for (bool first = true; i < text.size() && (first || text[i] != ']'); first = false) {
    if (text.compare(i, 2, "[:") == 0) {
      const std::size_t close = text.find(']', i + 2);
      if (close == std::string_view::npos) return close;
      if (close >= i + 3 && text[close - 1] == ':') {
        bool known = true;
        const std::string_view name = text.substr(i + 2, close - i - 3);
        in = InNamedClass(name, code, &known) || InNamedClass(name, other, &known) || in;
        if (!known) {
          if (unknownName) *unknownName = true;
          return std::string_view::npos;
        }
        i = close + 1;
        continue;
      }
    }
    const std::size_t length = CharLength(text, i);
    const std::size_t dash = i + length;
    if (dash + 1 < text.size() && text[dash] == '-' && text[dash + 1] != ']') {
      const long low = CodePoint(text, i), high = CodePoint(text, dash + 1);
      const auto inRange = [&](long x) { return x >= 0 && low >= 0 && x >= low && x <= high; };
      in = in || inRange(code) || inRange(other);
      i = dash + 1 + CharLength(text, dash + 1);
      continue;
    }
    const std::string_view member = text.substr(i, length);
    in = in || member == c || (foldCase && c.size() == 1 && length == 1 && FoldAscii(member[0]) == FoldAscii(c[0]));
    i = dash;
  }
  if (i >= text.size()) return std::string_view::npos;
  if (matched) *matched = in != negated;
  return i;
}

// `name` against one name of a pattern with '*', '?' and bracket
// expressions. All three step over whole characters, so neither a '?' nor a
// class ever matches half of one. The last '*' seen takes one more character
// whenever what follows it fails: an earlier '*' never needs to take more,
// since the later one can take whatever it would. The pattern's brackets
// were checked when it was parsed: each one closes.
bool WildcardMatch(std::string_view pattern, std::string_view name, bool foldCase) {
  std::size_t p = 0, n = 0;
  std::size_t afterStar = std::string_view::npos, starTook = 0;
  while (n < name.size()) {
    bool inClass = false;
    const std::string_view here = name.substr(n, CharLength(name, n));
    const std::size_t close = p < pattern.size() && pattern[p] == '[' ? ReadClass(pattern, p, here, foldCase, &inClass)
                                                                      : std::string_view::npos;
    if (p < pattern.size() && pattern[p] == '*') {
      afterStar = ++p;
      starTook = n;
    } else if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      n += here.size();
    } else if (inClass) {
      p = close + 1;
      n += here.size();
    } else if (close == std::string_view::npos && p < pattern.size() &&
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

// Why one name of a pattern (not "**") cannot be used, or null; `*wildcard`
// tells whether it holds a '*', a '?' or a bracket expression.
const char* CheckName(std::string_view name, bool* wildcard) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '[') {
      bool unknownName = false;
      const std::size_t close = ReadClass(name, i, std::string_view(), false, nullptr, &unknownName);
      if (unknownName) {
        return "[: と :] の間は alpha digit alnum upper lower space blank punct xdigit cntrl graph print のどれかです";
      }
      if (close == std::string_view::npos)
        return "[ を閉じる ] が同じ名前の中にありません（[ そのものは [[] と書きます）";
      *wildcard = true;
      i = close;
    } else if (name.compare(i, 2, "**") == 0) {
      return "** は / と / の間にそれだけで書きます（a/**/b）";
    } else if (name[i] == '*' || name[i] == '?') {
      *wildcard = true;
    }
  }
  return nullptr;
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

std::optional<ExcludeSet> ExcludeSet::Parse(const std::vector<std::string>& patterns, bool foldCase, std::string* error,
                                            Language language) {
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
      } else {
        bool wildcard = false;
        reason = CheckName(name, &wildcard);
        if (!reason) pattern.parts.push_back({wildcard ? Part::kWildcard : Part::kLiteral, std::string(name)});
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

bool ExcludeSet::Matches(const Pattern& pattern, const std::vector<std::string_view>& names, bool isDirectory) const {
  const std::size_t count = names.size();
  // reach[i]: the parts so far match the first i names. Without an anchor
  // the pattern may begin at any name, as if it began with "**".
  std::vector<char> reach(count + 1, pattern.anchored ? 0 : 1);
  reach[0] = 1;
  for (const Part& part : pattern.parts) {
    if (part.kind == Part::kAnyNames) {
      // Any number of names, none included; at the end at least one: "x/**"
      // is what the directory x holds, not x itself.
      auto first = std::find(reach.begin(), reach.end(), 1);
      if (&part == &pattern.parts.back() && first != reach.end()) *first++ = 0;
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

}  // namespace veldar
