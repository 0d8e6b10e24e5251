// Fuzzes the expansion of "%NAME%" references in typed paths.
//
// The input up to its first NUL byte is the text; the parts after it, split
// at NUL bytes, are the values the variables may have (a name picks one by
// its hash; without values every variable is unset). Checked:
// - a text without "%" comes back unchanged, and nothing is looked up;
// - n "%" in the text make exactly n / 2 look-ups, of names without "%";
// - the result is the text less each token plus each value it was replaced
//   by, so it never grows beyond what the values bring in;
// - a "%" in the result is the unclosed one of an odd count, or one that a
//   value brought in: values are never scanned again;
// - a look-up that gives back the token itself leaves the text unchanged.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "fuzz/fuzz_support.h"

namespace {

std::size_t Percents(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '%'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> parts = veldar::fuzz::SplitAt(veldar::fuzz::AsText(data, size), '\0');
  const std::string text = parts[0];
  const std::vector<std::string> values(parts.begin() + 1, parts.end());

  std::size_t lookups = 0, namesLength = 0, valuesLength = 0, valuePercents = 0, longestValue = 0;
  for (const std::string& value : values) longestValue = std::max(longestValue, value.size());
  auto lookup = [&](const std::string& name) {
    FUZZ_CHECK(name.find('%') == std::string::npos);
    ++lookups;
    namesLength += name.size();
    if (values.empty()) return std::string();
    const std::string& value = values[std::hash<std::string>()(name) % values.size()];
    valuesLength += value.size();
    valuePercents += Percents(value);
    return value;
  };

  const std::string result = veldar::ExpandEnvVars(text, lookup);
  const std::size_t percents = Percents(text);
  FUZZ_CHECK(lookups == percents / 2);
  FUZZ_CHECK(result.size() + namesLength + 2 * lookups == text.size() + valuesLength);
  FUZZ_CHECK(result.size() <= text.size() + lookups * longestValue);
  FUZZ_CHECK(Percents(result) == percents % 2 + valuePercents);
  if (percents == 0) FUZZ_CHECK(result == text);

  auto itself = [](const std::string& name) { return "%" + name + "%"; };
  FUZZ_CHECK(veldar::ExpandEnvVars(text, itself) == text);
  return 0;
}
