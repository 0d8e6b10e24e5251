#include "engine/medium.h"

#include "engine/utf8.h"
#include "res/translation.h"

namespace veldar {
namespace {

// A resolution in the unit that says it in few digits: "2 s", "10 ms", "100 ns".
std::string ResolutionText(std::int64_t nanoseconds) {
  struct Unit {
    std::int64_t size;
    const char* name;
  };
  for (const Unit unit : {Unit{1'000'000'000, "s"}, Unit{1'000'000, "ms"}, Unit{1'000, "µs"}}) {
    if (nanoseconds % unit.size == 0) return std::to_string(nanoseconds / unit.size) + " " + unit.name;
  }
  return std::to_string(nanoseconds) + " ns";
}

// The small letter of the 2-byte UTF-8 capital `code` (U+0080 to U+07FF), or
// `code` itself.
std::uint32_t SmallLetter(std::uint32_t code) {
  if ((code >= 0xC0 && code <= 0xDE && code != 0xD7) || (code >= 0x391 && code <= 0x3A9) ||
      (code >= 0x410 && code <= 0x42F)) {
    return code + 0x20;
  }
  if (code >= 0x400 && code <= 0x40F) return code + 0x50;
  if (code == 0x178) return 0xFF;
  // Latin Extended-A: capitals and small letters in pairs.
  const bool evenCapital = (code >= 0x100 && code <= 0x137) || (code >= 0x14A && code <= 0x177);
  const bool oddCapital = (code >= 0x139 && code <= 0x148) || (code >= 0x179 && code <= 0x17E);
  if ((evenCapital && code % 2 == 0) || (oddCapital && code % 2 == 1)) return code + 1;
  return code;
}

#ifdef _WIN32
// Case ignored and the names refused are the system's own rules on Windows,
// which every source there obeys as well: nothing is lost, nothing told.
constexpr bool kSystemNames = true;
#else
constexpr bool kSystemNames = false;
#endif

}  // namespace

std::vector<MediumLimit> MediumLimits(const MediumTraits& traits) {
  std::vector<MediumLimit> limits;
  if (traits.copiesAccess && !traits.keepsPermissions) limits.push_back({"権限なし", ""});
  if (traits.copiesAccess && !traits.keepsOwner) limits.push_back({"所有者なし", ""});
  if (traits.timeResolutionNs > 0) limits.push_back({"時刻は %1 単位", ResolutionText(traits.timeResolutionNs)});
  if (traits.foldsCase && !kSystemNames) limits.push_back({"大文字と小文字の区別なし", ""});
  if (!traits.symlinks) limits.push_back({"リンクなし", ""});
  if (!traits.hardLinks) limits.push_back({"ハードリンクなし", ""});
  if (!traits.refusedCharacters.empty() && !kSystemNames) {
    std::string characters;
    for (char c : traits.refusedCharacters) characters += (characters.empty() ? "" : " ") + std::string(1, c);
    limits.push_back({"名前に %1 なし", characters});
  }
  if (traits.refusesControlCharacters && !kSystemNames) limits.push_back({"名前に制御文字なし", ""});
  if (traits.refusesTrailingDotOrBlank && !kSystemNames) {
    limits.push_back({"名前の末尾に点や空白なし", ""});
  }
  if (traits.largestFile != UINT64_MAX) {
    limits.push_back({"ファイルは %1 バイトまで", std::to_string(traits.largestFile)});
  }
  if (!traits.freeSpaceKnown) limits.push_back({"空き容量は不明", ""});
  // Generations are then built under their own names.
  if (!traits.renameKeepsContents) limits.push_back({"名前を変えたディレクトリは中身を失う", ""});
  return limits;
}

std::string DescribeLimits(const std::vector<MediumLimit>& limits, Language language) {
  std::string text;
  for (const MediumLimit& limit : limits) {
    if (!text.empty()) text += language == Language::kJapanese ? "、" : ", ";
    text += FormatText(Translate(language, limit.text), {limit.argument});
  }
  return text;
}

const char* UnfitReason(const MediumTraits& traits, std::string_view name, EntryKind kind, std::uint64_t size) {
  if (kind == EntryKind::Symlink && !traits.symlinks) return kLinkReason;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && traits.refusesControlCharacters) || traits.refusedCharacters.find(c) != std::string::npos) {
      return kNameReason;
    }
  }
  if (traits.refusesTrailingDotOrBlank && !name.empty() && (name.back() == '.' || name.back() == ' ')) {
    return kNameReason;
  }
  if (kind == EntryKind::File && size > traits.largestFile) return kSizeReason;
  return nullptr;
}

std::string FoldedName(std::string_view name) {
  std::string folded;
  folded.reserve(name.size());
  for (std::size_t at = 0; at < name.size();) {
    const std::size_t length = Utf8CharLength(name, at);
    if (length == 2) {
      const std::uint32_t code = SmallLetter(((static_cast<unsigned char>(name[at]) & 0x1Fu) << 6) |
                                             (static_cast<unsigned char>(name[at + 1]) & 0x3Fu));
      folded += static_cast<char>(0xC0 | (code >> 6));
      folded += static_cast<char>(0x80 | (code & 0x3F));
      at += 2;
      continue;
    }
    if (length <= 1) {
      // ASCII, or a byte that begins no character: kept as it is.
      const char c = name[at];
      folded += c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c;
      ++at;
    } else {
      folded.append(name.substr(at, length));
      at += length;
    }
  }
  return folded;
}

}  // namespace veldar
