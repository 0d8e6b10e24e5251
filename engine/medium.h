#pragma once
// What a backup medium cannot hold, in words and as decisions: the planner
// asks which source entries a medium (MediumTraits, found by the run's probe
// of the backup directory) cannot take, the run logs what the medium does
// not keep, and the batch run says both in the user's language. Every text
// here is a Japanese pattern of the translation table (res/translation.cpp),
// so the log's English and the user's language come from one place.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os.h"
#include "res/language.h"

namespace veldar {

// One thing a medium does not keep: a pattern of the translation table and
// what takes its %1.
struct MediumLimit {
  const char* text;
  std::string argument;
};

// What `traits` says the medium does not keep, most important first
// (permissions, times, case); empty for a medium that keeps everything.
std::vector<MediumLimit> MediumLimits(const MediumTraits& traits);

// The limits in `language`, joined with ", ".
std::string DescribeLimits(const std::vector<MediumLimit>& limits, Language language);

// Why a source entry is left out of a copy on the medium: a pattern of the
// translation table.
inline constexpr char kTwinReason[] = "書き込むディレクトリの媒体はこれらの名前を区別しません";
inline constexpr char kNameReason[] = "書き込むディレクトリの媒体はこの名前を保てません";
inline constexpr char kSizeReason[] = "書き込むディレクトリの媒体が保てる最大のファイルより大きいファイルです";
inline constexpr char kLinkReason[] = "書き込むディレクトリの媒体はリンクを保てません";

// The reason (one of the above) why the medium cannot hold the source entry
// `name` of `kind` and `size`, or null when it can. Links are refused only by
// a medium without them; twins are found apart (FoldedName).
const char* UnfitReason(const MediumTraits& traits, std::string_view name, EntryKind kind, std::uint64_t size);

// `name` as a medium that ignores case compares it: ASCII letters, and
// the capitals of Latin-1, Latin Extended-A, Greek and Cyrillic in UTF-8,
// made small. Two names with the same folded form are one name there.
std::string FoldedName(std::string_view name);

}  // namespace veldar
