// Fuzzes the settings file's text: the input split at the first NUL byte
// gives a file's text and a value. Checked: any value reads back as itself
// from its written form, and from the text once it is stored there; storing
// it changes no other key's value; the written form never breaks its line.

#include <cstdint>
#include <string>

#include "app/settings_file.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = veldar::fuzz::AsText(data, size);
  const std::size_t split = input.find('\0');
  const std::string text = input.substr(0, split);
  const std::string value = split == std::string::npos ? std::string() : input.substr(split + 1);

  const std::string written = veldar::IniEscape(value);
  FUZZ_CHECK(written.find_first_of("\r\n") == std::string::npos);
  FUZZ_CHECK(veldar::IniUnescape(written) == value);

  const std::string stored = veldar::IniWithValue(text, "SETTINGS", "K", value);
  FUZZ_CHECK(veldar::IniValue(stored, "SETTINGS", "K") == value);
  FUZZ_CHECK(veldar::IniValue(stored, "SETTINGS", "J") == veldar::IniValue(text, "SETTINGS", "J"));
  FUZZ_CHECK(veldar::IniValue(stored, "OTHER", "K") == veldar::IniValue(text, "OTHER", "K"));
  return 0;
}
