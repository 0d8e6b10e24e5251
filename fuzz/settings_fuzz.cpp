// Fuzzes the reading of the stored settings into the engine.
//
// The input split at NUL bytes gives the stored values in the order
// DEFALUTFILES, LASTFILE, LASTDIR, LASTOPT, LOGSIZE, RESDIR, LOGOPT; missing
// parts are missing keys. The first byte, before them, says which of the
// flags and log options were set before the settings were read. Checked: the
// paths arrive unchanged; the numbers are their values' leading integers as
// the C library reads them (3 and 500 for a missing or empty value); every
// flag and log option ends at 0 or 1, as its character says, and a missing or
// empty flag string leaves them as they were.

#include <cstdint>
#include <string>
#include <vector>

#include "app/settings.h"
#include "fuzz/fuzz_support.h"
#include "res/string_table.h"

namespace {

using namespace veldar;

int Flag(const std::string& value, std::size_t index, int before) {
  if (value.empty()) return before;
  return index < value.size() && value[index] != '0' ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned before = data[0];
  std::vector<std::string> values = veldar::fuzz::SplitAt(veldar::fuzz::AsText(data + 1, size - 1), '\0');

  const int keys[] = {IDS_KEY_GENERATIONS, IDS_KEY_LASTFILE, IDS_KEY_LASTDIR, IDS_KEY_LASTOPT,
                      IDS_KEY_LOGSIZE,     IDS_KEY_RESDIR,   IDS_KEY_LOGOPT};
  constexpr std::size_t kKeys = sizeof(keys) / sizeof(keys[0]);
  veldar::fuzz::FreshEngine fresh;
  for (std::size_t i = 0; i < values.size() && i < kKeys; ++i) fresh.settings.values[LoadString(keys[i])] = values[i];
  values.resize(kKeys);

  CVELDAR2Engine& engine = fresh.engine;
  const int noDelete = engine.noDelete = before & 1;
  const int noForce = engine.noForce = (before >> 1) & 1;
  const int noTime = engine.noTime = (before >> 2) & 1;
  const int successLog = engine.successLog = (before >> 3) & 1;
  const int skipLog = engine.skipLog = (before >> 4) & 1;

  LoadSettings(fresh.settings, engine);

  using veldar::fuzz::ReferenceLeadingInt;
  FUZZ_CHECK(engine.generationCount == ReferenceLeadingInt(values[0].empty() ? "3" : values[0]));
  FUZZ_CHECK(engine.sourcePath == values[1]);
  FUZZ_CHECK(engine.backupDir == values[2]);
  FUZZ_CHECK(engine.noDelete == Flag(values[3], 0, noDelete));
  FUZZ_CHECK(engine.noForce == Flag(values[3], 1, noForce));
  FUZZ_CHECK(engine.noTime == Flag(values[3], 2, noTime));
  FUZZ_CHECK(engine.logSizeLimit == ReferenceLeadingInt(values[4].empty() ? "500" : values[4]));
  FUZZ_CHECK(engine.restoreDir == values[5]);
  FUZZ_CHECK(engine.successLog == Flag(values[6], 0, successLog));
  FUZZ_CHECK(engine.skipLog == Flag(values[6], 1, skipLog));

  using veldar::fuzz::IsFlag;
  FUZZ_CHECK(IsFlag(engine.noDelete) && IsFlag(engine.noForce) && IsFlag(engine.noTime) && IsFlag(engine.successLog) &&
             IsFlag(engine.skipLog) && IsFlag(engine.noMessage));
  return 0;
}
