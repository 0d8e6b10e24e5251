// Fuzzes the spelling and recognition of generation names.
//
// The input up to its first NUL byte is the source's name, the rest a name
// found in the backup directory (without a NUL byte the input is both).
// Checked, for a file and for a directory source of that name:
// - the name of a slot from 1 to 98 (a few fixed ones and one the input
//   picks) is spelt as base name, "_", slot, ".", extension part, "_" (the
//   directory's: name, "_", slot) and is recognised, in any ASCII case, with
//   its own slot;
// - slots 0, 99 and 100, negative slots and slots written with a leading
//   zero are not recognised;
// - case is folded for ASCII letters and nothing else;
// - a found name is recognised exactly when it equals, without regard to
//   ASCII case, the name of one slot from 1 to 98, and then with that slot.

#include <cstdint>
#include <functional>
#include <string>

#include "engine/generation_names.h"
#include "fuzz/fuzz_support.h"

namespace {

using namespace veldar;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string Mapped(std::string text, char (*map)(char)) {
  for (char& c : text) c = map(c);
  return text;
}

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// What goes before and after the slot, spelt from the description above.
struct Affixes {
  std::string prefix, suffix;
};

Affixes FileAffixes(const std::string& source) {
  const auto dot = source.find('.');
  if (dot == std::string::npos) return {"_", "." + source + "_"};
  return {source.substr(0, dot) + "_", "." + source.substr(dot + 1) + "_"};
}

template <typename NameOf, typename SlotOf>
void CheckKind(const std::string& source, const std::string& found, int someSlot, std::uint64_t flips,
               const Affixes& affixes, NameOf nameOf, SlotOf slotOf) {
  for (int slot : {1, 9, 10, kMaxGenerationSlot, someSlot}) {
    const std::string name = nameOf(source, slot);
    FUZZ_CHECK(name == affixes.prefix + std::to_string(slot) + affixes.suffix);
    for (bool fold : {true, false}) {
      FUZZ_CHECK(slotOf(name, source, fold) == slot);
      FUZZ_CHECK(slotOf(affixes.prefix + "0" + std::to_string(slot) + affixes.suffix, source, fold) == 0);
    }
    FUZZ_CHECK(slotOf(Mapped(name, Upper), source, true) == slot);
    FUZZ_CHECK(slotOf(Mapped(name, Lower), source, true) == slot);
  }
  for (int slot : {0, 99, 100, -1, -98}) {
    FUZZ_CHECK(slotOf(nameOf(source, slot), source, true) == 0);
    FUZZ_CHECK(slotOf(nameOf(source, slot), source, false) == 0);
  }

  // Toggling the case bit (0x20) of some bytes of a name keeps it the same
  // generation exactly when every byte toggled is an ASCII letter, and only
  // where case is folded; compared exactly, only an untouched name is one.
  const std::string original = nameOf(source, someSlot);
  std::string toggled = original;
  bool onlyLetters = true;
  for (std::size_t i = 0; i < toggled.size(); ++i) {
    if (((flips >> (i % 64)) & 1) == 0) continue;
    onlyLetters = onlyLetters && Lower(toggled[i]) != Upper(toggled[i]);
    toggled[i] = static_cast<char>(toggled[i] ^ 0x20);
  }
  FUZZ_CHECK(slotOf(toggled, source, true) == (onlyLetters ? someSlot : 0));
  FUZZ_CHECK(slotOf(toggled, source, false) == (toggled == original ? someSlot : 0));

  // Only names one or two characters longer than the affixes can hold a slot.
  int folded = 0, exact = 0;
  const std::size_t affixesSize = affixes.prefix.size() + affixes.suffix.size();
  if (found.size() == affixesSize + 1 || found.size() == affixesSize + 2) {
    for (int slot = 1; slot <= kMaxGenerationSlot; ++slot) {
      const std::string name = nameOf(source, slot);
      if (found == name) exact = slot;
      if (!SameNoCase(found, name)) continue;
      FUZZ_CHECK(folded == 0);  // one name, one slot
      folded = slot;
    }
  }
  FUZZ_CHECK(slotOf(found, source, true) == folded);
  FUZZ_CHECK(slotOf(found, source, false) == exact);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = veldar::fuzz::AsText(data, size);
  const auto nul = input.find('\0');
  const std::string source = input.substr(0, nul);
  const std::string found = nul == std::string::npos ? input : input.substr(nul + 1);
  const std::uint64_t hash = std::hash<std::string>()(input);
  const int someSlot = 1 + static_cast<int>(hash % kMaxGenerationSlot);
  const std::uint64_t flips = hash * 0x9e3779b97f4a7c15u;  // another spread of the same bits

  CheckKind(source, found, someSlot, flips, FileAffixes(source), FileGenerationName,
            [](std::string_view name, std::string_view of, bool fold) { return FileGenerationSlot(name, of, fold); });
  CheckKind(source, found, someSlot, flips, Affixes{source + "_", ""}, DirGenerationName,
            [](std::string_view name, std::string_view of, bool fold) { return DirGenerationSlot(name, of, fold); });
  FUZZ_CHECK(IsFileGenerationName(found, source) == (FileGenerationSlot(found, source) != 0));
  FUZZ_CHECK(IsDirGenerationName(found, source) == (DirGenerationSlot(found, source) != 0));
  return 0;
}
