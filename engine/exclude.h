#pragma once
// Exclude patterns: which entries of a source a backup leaves alone. The
// mirror asks `ExcludeSet::Excluded` of each entry's path relative to the
// source; an excluded entry is neither copied nor deleted from the copy.
//
// A path is its names joined by '/' ("docs/2024/a.txt"), whatever the
// platform: the caller converts. Names are byte strings (UTF-8 mostly, but
// any bytes but '/' and NUL). A pattern is names and wildcards joined by '/':
//
//   *      any run of characters within one name ("*.tmp")
//   ?      one character within a name: one UTF-8 character, or one byte
//          that is not part of a valid UTF-8 character
//   [...]  one character of a set, as in rsync and the shell: characters,
//          ranges of code points ("[a-z]"), POSIX classes ("[[:digit:]]"),
//          the whole negated by a leading '!' or '^' ("[!0-9]"); a ']'
//          first stands for itself ("[]x]"), and so does a '[' written
//          "[[]". A class never matches a '/' (it lies within one name)
//   **     a whole name of its own: any number of names, none included
//          ("/docs/**/cache"); at the end at least one, so "build/**" is
//          what the directory build holds and not build itself
//   a trailing '/'  directories only ("build/")
//   a leading '/'   anchored at the source ("/build" is the source's own
//          "build" only); without it a pattern matches at any depth, as
//          rsync has it: "a/b" matches "a/b" and "x/a/b" alike
//
// Every other byte stands for itself. An entry inside an excluded directory
// is excluded too, so a walker that stops at an excluded directory and one
// that asks about every path get the same answers. Letters are compared
// without regard to ASCII case when the source's file system ignores case
// (the caller says), as the rest of the program compares names.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "res/language.h"

namespace veldar {

// The settings value that holds the stored patterns, separated by "|".
inline constexpr const char kExcludeSettingKey[] = "EXCLUDE";

class ExcludeSet {
 public:
  // A set that excludes nothing.
  ExcludeSet() = default;

  // Compiles `patterns` (in the order given; duplicates are kept). On
  // success returns the set and leaves `*error` empty. On failure returns
  // nothing and `*error` (when given) names the first malformed pattern and
  // why, in `language`. Malformed: a pattern with no name in it ("", "/"), an
  // empty name ("a//b"), a name "." or "..", "**" beside other characters in
  // one name ("a**"), a '[' whose ']' is not in the same name ("a[b",
  // "a[/]b"), an unknown "[:name:]", a backslash (names are separated by '/'
  // on every platform), a control character, or a leading '!' (no negation:
  // a name beginning with '!' is written "?name").
  static std::optional<ExcludeSet> Parse(const std::vector<std::string>& patterns, bool foldCase,
                                         std::string* error = nullptr, Language language = Language::kJapanese);

  // Whether the entry at `relativePath` (empty names in it are skipped; the
  // source itself, "", is never excluded) is left out: a pattern matches it,
  // or one of the directories that hold it.
  bool Excluded(std::string_view relativePath, bool isDirectory) const;

  bool empty() const { return patterns_.empty(); }
  // The patterns as they were given.
  std::vector<std::string> Patterns() const;
  bool foldCase() const { return foldCase_; }

  // The log's line for a run with these patterns in effect,
  // "Exclude : *.tmp | /build/ (case ignored)"; empty when there are none.
  std::string LogLine() const;

 private:
  // One name of a pattern: "**", a name without wildcards, or one with.
  struct Part {
    enum Kind { kAnyNames, kLiteral, kWildcard } kind;
    std::string text;
  };
  struct Pattern {
    std::string source;  // as given
    std::vector<Part> parts;
    bool anchored = false;
    bool directoriesOnly = false;
  };

  bool Matches(const Pattern& pattern, const std::vector<std::string_view>& names, bool isDirectory) const;
  bool NameMatches(const Part& part, std::string_view name) const;

  std::vector<Pattern> patterns_;
  bool foldCase_ = false;
};

// The patterns of the settings value: split at "|", white space around each
// one trimmed, empty ones dropped ("*.tmp | build/" gives "*.tmp", "build/").
std::vector<std::string> SplitExcludeSetting(std::string_view value);

}  // namespace veldar
