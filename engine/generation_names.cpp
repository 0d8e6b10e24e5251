#include "engine/generation_names.h"

#include <cstdint>
#include <cstdio>

namespace veldar {
namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The slot number that `digits` spells: 1 to 98 in decimal without leading
// zeros; 0 for anything else.
int SlotOf(std::string_view digits) {
  if (digits.empty() || digits.size() > 2 || digits[0] == '0') return 0;
  int slot = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    slot = slot * 10 + (c - '0');
  }
  return slot <= kMaxGenerationSlot ? slot : 0;
}

// The slot of `name` when it is `prefix` + slot + `suffix`, prefix and suffix
// compared exactly or without regard to case; 0 otherwise.
int SlotBetween(std::string_view name, std::string_view prefix, std::string_view suffix, bool foldCase) {
  if (name.size() <= prefix.size() + suffix.size()) return 0;
  auto same = [foldCase](std::string_view a, std::string_view b) { return foldCase ? EqualsNoCase(a, b) : a == b; };
  if (!same(name.substr(0, prefix.size()), prefix)) return 0;
  if (!same(name.substr(name.size() - suffix.size()), suffix)) return 0;
  return SlotOf(name.substr(prefix.size(), name.size() - prefix.size() - suffix.size()));
}

// What surrounds the slot in a file generation's name: the base name (before
// the first ".") and "_", then ".", the extension part and "_".
struct FileAffixes {
  std::string prefix;
  std::string suffix;
};

FileAffixes AffixesOf(std::string_view sourceFileName) {
  const auto dot = sourceFileName.find('.');
  const std::string_view base = dot == std::string_view::npos ? std::string_view() : sourceFileName.substr(0, dot);
  const std::string_view extension = dot == std::string_view::npos ? sourceFileName : sourceFileName.substr(dot + 1);
  FileAffixes affixes;
  affixes.prefix.append(base).append("_");
  affixes.suffix.append(".").append(extension).append("_");
  return affixes;
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::string SwapAsciiCase(std::string_view name) {
  std::string swapped(name);
  for (char& c : swapped) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) c ^= 0x20;
  }
  return swapped;
}

std::string FileGenerationName(std::string_view sourceFileName, int slot) {
  const FileAffixes affixes = AffixesOf(sourceFileName);
  return affixes.prefix + std::to_string(slot) + affixes.suffix;
}

std::string DirGenerationName(std::string_view sourceDirName, int slot) {
  std::string name(sourceDirName);
  name += '_';
  name += std::to_string(slot);
  return name;
}

int FileGenerationSlot(std::string_view name, std::string_view sourceFileName, bool foldCase) {
  const FileAffixes affixes = AffixesOf(sourceFileName);
  return SlotBetween(name, affixes.prefix, affixes.suffix, foldCase);
}

int DirGenerationSlot(std::string_view name, std::string_view sourceDirName, bool foldCase) {
  // The "_" belongs to the prefix: "docs" must not claim "docs1".
  std::string prefix(sourceDirName);
  prefix += '_';
  return SlotBetween(name, prefix, std::string_view(), foldCase);
}

std::string ServiceName(const std::string& name, const char* suffix) {
  constexpr std::size_t kNameMax = 255;
  std::string result = "." + name + suffix;
  if (result.size() <= kNameMax) return result;
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return std::string(".veldar2-") + hex + suffix;
}

std::string ServiceNameVariant(const std::string& name, const char* suffix, int variant) {
  return ServiceName(variant <= 1 ? name : name + "~" + std::to_string(variant), suffix);
}

int ServiceNameSlot(std::string_view name, const std::string& stem, const char* suffix) {
  const std::string_view tail = suffix;
  if (name.size() <= tail.size() || name.substr(name.size() - tail.size()) != tail) return 0;
  for (int slot = 1; slot <= kMaxGenerationSlot; ++slot) {
    const std::string generation = DirGenerationName(stem, slot);
    for (int variant = 1; variant <= kServiceNameVariants; ++variant) {
      if (name == ServiceNameVariant(generation, suffix, variant)) return slot;
    }
  }
  return 0;
}

}  // namespace veldar
