#pragma once
// What the fuzz targets share: an engine over the real OS layer that shows no
// messages and keeps its settings in memory, the splitting of an input into
// parts, a reading of leading integers independent of the program's, and a
// check that stops the run so that libFuzzer reports the input.

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/os.h"

// Aborts with the failed condition when it does not hold: libFuzzer then saves
// the input as a crash.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace veldar::fuzz {

class SilentMessages : public UserMessages {
 public:
  void Show(const std::string&) override {}
  bool AskOkCancel(const std::string&) override { return false; }
};

// Values by key; the section is not part of the key (there is only one).
class MapSettings : public SettingsStore {
 public:
  std::string Read(const std::string&, const std::string& key) override {
    auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
  }
  void Write(const std::string&, const std::string& key, const std::string& value) override { values[key] = value; }
  std::map<std::string, std::string> values;
};

// An engine as start-up has it before the settings are read.
struct FreshEngine {
  std::unique_ptr<Os> os = MakeSystemOs();
  SilentMessages messages;
  MapSettings settings;
  CVELDAR2Engine engine{*os, messages, settings};
};

inline std::string AsText(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// `text` split at every `separator`: n separators give n + 1 parts.
inline std::vector<std::string> SplitAt(const std::string& text, char separator) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == separator)
      parts.emplace_back();
    else
      parts.back() += c;
  }
  return parts;
}

// The leading decimal integer of `text` as the C library reads it (white
// space, sign, digits), held to the 32-bit range. Stops at a NUL byte, as the
// runtime's atoi does.
inline int ReferenceLeadingInt(const std::string& text) {
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int>(value);
}

inline bool IsFlag(int value) { return value == 0 || value == 1; }

}  // namespace veldar::fuzz
