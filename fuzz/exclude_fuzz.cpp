// Fuzzes the exclude patterns against a plain reading of their rules.
//
// The input split at NUL bytes: the patterns (separated by '|'), a path, and
// two flags (the entry is a directory; case is folded), each given by the
// presence of a further part. Checked:
// - Parse never fails without a message, and a pattern it accepts holds no
//   control character, no backslash and at least one name;
// - Excluded answers as a reference that tries every way to match: an entry
//   is excluded when a pattern (with "**" before it unless it is anchored)
//   matches the whole of the path or of one of the directories above it,
//   '*' taking any run of whole characters within a name, '?' one, a
//   bracket expression one of its own, "**" any run of whole names (at the
//   end at least one), a trailing '/' only for directories;
// - the settings value of the patterns splits back into them.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/exclude.h"
#include "engine/utf8.h"
#include "fuzz/fuzz_support.h"
#include "tests/exclude_setting.h"

namespace {

using namespace veldar;

char Fold(char c, bool fold) { return fold && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::size_t CharAt(const std::string& text, std::size_t at) {
  const std::size_t length = Utf8CharLength(text, at);
  return length ? length : 1;
}

long CodeOf(const std::string& text, std::size_t at) {
  const std::size_t length = Utf8CharLength(text, at);
  if (length == 0) return -1;
  static const unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  long code = static_cast<unsigned char>(text[at]) & kLeadBits[length];
  for (std::size_t i = 1; i < length; ++i) code = code * 64 + (static_cast<unsigned char>(text[at + i]) & 0x3F);
  return code;
}

bool InNamed(const std::string& name, long c) {
  if (c < 0 || c > 0x7F) return false;
  const std::map<std::string, std::string> members = {
      {"digit", "0123456789"},
      {"upper", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"},
      {"lower", "abcdefghijklmnopqrstuvwxyz"},
      {"alpha", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"},
      {"alnum", "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"},
      {"xdigit", "0123456789ABCDEFabcdef"},
      {"space", " \t\n\v\f\r"},
      {"blank", " \t"},
      {"punct", "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~"},
  };
  if (name == "cntrl") return c < 0x20 || c == 0x7F;
  if (name == "graph") return c > 0x20 && c < 0x7F;
  if (name == "print") return c >= 0x20 && c < 0x7F;
  const auto found = members.find(name);
  return found != members.end() && found->second.find(static_cast<char>(c)) != std::string::npos;
}

// The bracket expression of `pattern` at `p` ('['), which Parse accepted:
// where it ends (past its ']'), and whether `c` (one character) is in it.
bool InClass(const std::string& pattern, std::size_t p, const std::string& c, bool fold, std::size_t* end) {
  std::vector<long> codes{CodeOf(c, 0)};
  if (fold && codes[0] >= 0 && codes[0] < 0x80 &&
      Fold(static_cast<char>(codes[0]), true) != static_cast<char>(codes[0]))
    codes.push_back(Fold(static_cast<char>(codes[0]), true));
  if (fold && codes[0] >= 'a' && codes[0] <= 'z') codes.push_back(codes[0] - 'a' + 'A');
  std::size_t i = p + 1;
  const bool negated = pattern[i] == '!' || pattern[i] == '^';
  if (negated) ++i;
  bool in = false;
  for (bool first = true; first || pattern[i] != ']'; first = false) {
    const std::size_t close = pattern.find(']', i + 2);
    if (pattern.compare(i, 2, "[:") == 0 && close != std::string::npos && close >= i + 3 && pattern[close - 1] == ':') {
      for (long code : codes) in = in || InNamed(pattern.substr(i + 2, close - i - 3), code);
      i = close + 1;
      continue;
    }
    const std::size_t length = CharAt(pattern, i);
    if (pattern[i + length] == '-' && i + length + 1 < pattern.size() && pattern[i + length + 1] != ']') {
      const long low = CodeOf(pattern, i), high = CodeOf(pattern, i + length + 1);
      for (long code : codes) in = in || (code >= 0 && low >= 0 && low <= code && code <= high);
      i += length + 1 + CharAt(pattern, i + length + 1);
      continue;
    }
    const std::string member = pattern.substr(i, length);
    in = in || member == c || (member.size() == 1 && c.size() == 1 && Fold(member[0], fold) == Fold(c[0], fold));
    i += length;
  }
  *end = i + 1;
  return in != negated;
}

// Whether `pattern` from `p` matches `name` from `n`; tried every way, with
// what was tried remembered so that many '*' stay cheap.
bool Glob(const std::string& pattern, std::size_t p, const std::string& name, std::size_t n, bool fold,
          std::map<std::pair<std::size_t, std::size_t>, bool>& tried) {
  const auto key = std::make_pair(p, n);
  if (auto found = tried.find(key); found != tried.end()) return found->second;
  bool match;
  if (p == pattern.size()) {
    match = n == name.size();
  } else if (pattern[p] == '*') {
    match = Glob(pattern, p + 1, name, n, fold, tried);
    for (std::size_t k = n; !match && k < name.size();) {
      k += CharAt(name, k);
      match = Glob(pattern, p + 1, name, k, fold, tried);
    }
  } else if (pattern[p] == '?') {
    match = n < name.size() && Glob(pattern, p + 1, name, n + CharAt(name, n), fold, tried);
  } else if (pattern[p] == '[') {
    std::size_t end = 0;
    match = n < name.size() && InClass(pattern, p, name.substr(n, CharAt(name, n)), fold, &end) &&
            Glob(pattern, end, name, n + CharAt(name, n), fold, tried);
  } else {
    match = n < name.size() && Fold(pattern[p], fold) == Fold(name[n], fold) &&
            Glob(pattern, p + 1, name, n + 1, fold, tried);
  }
  return tried[key] = match;
}

using Tried = std::map<std::pair<std::size_t, std::size_t>, bool>;

// Whether `parts` from `p` match `names` from `n` exactly, tried every way.
bool Names(const std::vector<std::string>& parts, std::size_t p, const std::vector<std::string>& names, std::size_t n,
           bool fold, Tried& tried) {
  const auto key = std::make_pair(p, n);
  if (auto found = tried.find(key); found != tried.end()) return found->second;
  bool match = false;
  if (p == parts.size()) {
    match = n == names.size();
  } else if (parts[p] == "**") {
    const std::size_t least = p + 1 == parts.size() ? 1 : 0;
    for (std::size_t k = n + least; !match && k <= names.size(); ++k)
      match = Names(parts, p + 1, names, k, fold, tried);
  } else if (n < names.size()) {
    Tried glob;
    match = Glob(parts[p], 0, names[n], 0, fold, glob) && Names(parts, p + 1, names, n + 1, fold, tried);
  }
  return tried[key] = match;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts = veldar::fuzz::SplitAt(text, separator);
  std::vector<std::string> nonEmpty;
  for (std::string& part : parts) {
    if (!part.empty()) nonEmpty.push_back(std::move(part));
  }
  return nonEmpty;
}

bool ReferenceExcluded(const std::vector<std::string>& patterns, const std::string& path, bool directory, bool fold) {
  const std::vector<std::string> names = Split(path, '/');
  for (std::string pattern : patterns) {
    const bool anchored = pattern.front() == '/';
    const bool directoriesOnly = pattern.back() == '/';
    std::vector<std::string> parts = Split(pattern, '/');
    if (!anchored) parts.insert(parts.begin(), "**");
    for (std::size_t length = 1; length <= names.size(); ++length) {
      const std::vector<std::string> prefix(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(length));
      const bool isDirectory = length < names.size() || directory;
      Tried tried;
      if ((isDirectory || !directoriesOnly) && Names(parts, 0, prefix, 0, fold, tried)) return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 256) return 0;  // the reference tries every way: keep it quick
  const std::vector<std::string> parts = veldar::fuzz::SplitAt(veldar::fuzz::AsText(data, size), '\0');
  const std::vector<std::string> patterns = veldar::fuzz::SplitAt(parts[0], '|');
  const std::string path = parts.size() > 1 ? parts[1] : std::string();
  const bool directory = parts.size() > 2;
  const bool fold = parts.size() > 3;

  std::string error;
  const std::optional<ExcludeSet> set = ExcludeSet::Parse(patterns, fold, &error);
  FUZZ_CHECK(set.has_value() == error.empty());
  if (!set) return 0;
  for (const std::string& pattern : patterns) {
    FUZZ_CHECK(pattern.find('\\') == std::string::npos && !Split(pattern, '/').empty());
    for (char c : pattern) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
  }
  FUZZ_CHECK(set->Excluded(path, directory) == ReferenceExcluded(patterns, path, directory, fold));

  if (const std::optional<std::string> value = veldar::testing::JoinExcludeSetting(patterns)) {
    FUZZ_CHECK(SplitExcludeSetting(*value) == patterns);
  }
  return 0;
}
