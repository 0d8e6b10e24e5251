#pragma once
// The names of generations in the backup directory: how a new one is spelt
// and whether a name found there is one; and the names of the directories a
// directory backup keeps beside them. Pure string functions, shared by the
// generation scans (generations.cpp), the backup run and the list of
// generations, and fuzzed on their own.
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
[[nodiscard]] int FileGenerationSlot(std::string_view name, std::string_view sourceFileName, bool foldCase = true);
[[nodiscard]] int DirGenerationSlot(std::string_view name, std::string_view sourceDirName, bool foldCase = true);

inline bool IsFileGenerationName(std::string_view name, std::string_view sourceFileName, bool foldCase = true) {
  return FileGenerationSlot(name, sourceFileName, foldCase) != 0;
}
inline bool IsDirGenerationName(std::string_view name, std::string_view sourceDirName, bool foldCase = true) {
  return DirGenerationSlot(name, sourceDirName, foldCase) != 0;
}

// The names of the directories a directory backup works with besides its
// generations: a dot first and a suffix no generation name has, so that no
// scan of this or another source takes them for a generation.
//
// The working directory a new generation of the source is built in (and
// that an interrupted run leaves for the next to carry on from).
inline constexpr char kWorkingSuffix[] = ".veldar2-new";
// A generation's directory while it is being deleted.
inline constexpr char kRetiredSuffix[] = ".veldar2-old";
// An old generation moved aside for the new copy to take its name, where the
// two cannot be swapped in one step: until the new copy has the name, the
// old one is still a generation, and a run that finds the name empty gives
// it back.
inline constexpr char kSwapSuffix[] = ".veldar2-swap";
// Beside a generation's name, an empty file saying that the directory under
// that name is no generation yet, or no more: on a medium that loses what a
// renamed directory holds, a new copy is built under its final name and an
// old one deleted under its own, each marked so for as long as it lasts.
inline constexpr char kIncompleteSuffix[] = ".veldar2-part";

// "." + `name` + `suffix`: the working directory of the source `name`
// (kWorkingSuffix), or the retired or moved-aside directory of the
// generation `name`. A name longer than a file system takes (255 bytes) is
// replaced by a hash of `name` between ".veldar2-" and the suffix.
std::string ServiceName(const std::string& name, const char* suffix);

// How many spellings a retired or moved-aside name has: where one is held by
// an entry the run may not remove (another user's, in a directory users
// share), the next is used.
inline constexpr int kServiceNameVariants = 9;
// Spelling `variant` (1 to kServiceNameVariants) of `ServiceName(name,
// suffix)`: the name itself for 1, else that of `name` + "~" + `variant`.
// No generation name ends in "~" and a number, so no spelling is the service
// name of another generation.
std::string ServiceNameVariant(const std::string& name, const char* suffix, int variant);

// The slot of the directory generation of `stem` whose service name with
// `suffix` is `name`, in any of its spellings; 0 for any other name.
[[nodiscard]] int ServiceNameSlot(std::string_view name, const std::string& stem, const char* suffix);

}  // namespace veldar
