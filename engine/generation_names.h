#pragma once
// The names of generations in the backup directory: how a new one is spelt
// and whether a name found there is one. Pure string functions, shared by the
// generation scans (generations.cpp) and the backup run, and fuzzed on their
// own.
//
//   directory source "docs":      docs_<slot>
//   file source "report.doc":     report_<slot>.doc_   (split at the first ".")
//   file source "README":         _<slot>.README_       (no "." : all extension)
//
// A slot is 1 to 98, written in decimal without leading zeros. Recognition
// compares the parts around the slot exactly, or without regard to ASCII case
// where the backup directory's file system ignores case (`foldCase`), and
// accepts nothing else: a name that merely begins like a generation is not
// one.

#include <string>
#include <string_view>

namespace veldar {

inline constexpr int kMaxGenerationSlot = 98;

// True when `a` and `b` are equal without regard to ASCII case.
bool EqualsNoCase(std::string_view a, std::string_view b);
// `name` with the case of its ASCII letters swapped ("Ab" gives "aB"). Looking
// an entry up under this name tells whether a file system ignores case.
std::string SwapAsciiCase(std::string_view name);

// The generation name of slot `slot`. Any slot is spelt; only 1 to 98 give a
// name that the recognisers below accept.
std::string FileGenerationName(std::string_view sourceFileName, int slot);
std::string DirGenerationName(std::string_view sourceDirName, int slot);

// The slot that `name` has as a generation of the source file / directory of
// that name; 0 when `name` is not one.
int FileGenerationSlot(std::string_view name, std::string_view sourceFileName, bool foldCase = true);
int DirGenerationSlot(std::string_view name, std::string_view sourceDirName, bool foldCase = true);

inline bool IsFileGenerationName(std::string_view name, std::string_view sourceFileName,
                                 bool foldCase = true) {
  return FileGenerationSlot(name, sourceFileName, foldCase) != 0;
}
inline bool IsDirGenerationName(std::string_view name, std::string_view sourceDirName,
                                bool foldCase = true) {
  return DirGenerationSlot(name, sourceDirName, foldCase) != 0;
}

}  // namespace veldar
