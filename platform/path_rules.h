#pragma once
// How one platform spells paths: the separator, where the root of a path
// ends (POSIX "/", Windows "C:\", "\\server\share\" and their "\\?\" forms),
// and how a path is joined, split and trimmed. Pure text: nothing here asks the
// system anything. Each `Os` names its platform's rules (`Os::Paths`), so the
// engine spells paths one way everywhere; both rule sets are testable on any
// platform.
//
// Whether names differ by letter case is not a platform rule: it is a property
// of each file system (FAT and NTFS ignore it, so can a Linux directory with
// casefolding, and a Windows directory can be made to keep it), found out by
// looking (see the engine's `FoldsCase`).

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace veldar {

class PathRules {
 public:
  static const PathRules& Posix();
  static const PathRules& Windows();

  // The separator paths are written with ('/' or '\\').
  char Separator() const { return separator_; }
  // True for every character that separates components ('/' and, on
  // Windows, '\\').
  bool IsSeparator(char c) const { return c == separator_ || (windows_ && c == '/'); }
  // The length of the root at the start of `path`, separators after it
  // included: 1 for "/x" on POSIX, 3 for "C:\x", 2 for "C:x" (relative to the
  // drive), 1 for "\x", the whole "\\server\share\" of a share, and the
  // "\\?\C:\" or "\\?\UNC\server\share\" of the long forms. 0 for a relative
  // path.
  std::size_t RootLength(std::string_view path) const;
  // True when `path` names one place whatever the working directory is.
  bool IsAbsolute(std::string_view path) const;
  // `name` appended to `directory` with one separator between them (none
  // added after a root or a trailing separator; `name` alone when
  // `directory` is empty).
  std::string Join(std::string_view directory, std::string_view name) const;
  // The last component of `path` (empty for a root or a path that ends in a
  // separator).
  std::string NameOf(std::string_view path) const;
  // `path` without its last component and the separators before it; the root
  // stays. Empty for a single relative component.
  std::string ParentOf(std::string_view path) const;
  // `path` without separators at its end, the root kept whole ("/", "C:\").
  std::string WithoutTrailingSeparators(std::string_view path) const;
  // The components after the root, empty ones and "." left out and ".."
  // taking back the one before it (never the root).
  std::vector<std::string> Components(std::string_view path) const;
  // Every prefix of `path` that names a directory on the way down, from the
  // first below the root to `path` itself ("/a", "/a/b" for "/a/b").
  std::vector<std::string> Ancestry(std::string_view path) const;

 private:
  PathRules(char separator, bool windows) : separator_(separator), windows_(windows) {}
  char separator_;
  bool windows_;
};

}  // namespace veldar
