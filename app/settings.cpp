#include "app/settings.h"

#include "app/command_line.h"
#include "engine/exclude.h"
#include "res/string_table.h"

namespace veldar {
namespace {

// A flag character: anything but "0" counts as set; a missing one as "0".
int FlagAt(const std::string& value, std::size_t index) { return index < value.size() && value[index] != '0' ? 1 : 0; }

}  // namespace

void LoadSettings(SettingsStore& store, CVELDAR2Engine& engine) {
  const std::string section = LoadString(IDS_SECTION);
  auto read = [&](int key) { return store.Read(section, LoadString(key)); };

  std::string value = read(IDS_KEY_GENERATIONS);
  engine.generationCount = LeadingInt(value.empty() ? LoadString(IDS_DEFAULT_GENERATIONS) : value);
  engine.sourcePath = read(IDS_KEY_LASTFILE);
  engine.backupDir = read(IDS_KEY_LASTDIR);
  value = read(IDS_KEY_LASTOPT);
  if (!value.empty()) {
    engine.noDelete = FlagAt(value, 0);
    engine.noForce = FlagAt(value, 1);
    engine.noTime = FlagAt(value, 2);
  }
  // Kept by hand in the settings file (the dialog has no field for it):
  // "1" makes every run hard-link what did not change (clone only where it cannot link).
  engine.linkUnchanged = FlagAt(read(IDS_KEY_LINK), 0);
  value = read(IDS_KEY_LOGSIZE);
  engine.logSizeLimit = LeadingInt(value.empty() ? LoadString(IDS_DEFAULT_LOGSIZE) : value);
  engine.restoreDir = read(IDS_KEY_RESDIR);
  value = read(IDS_KEY_LOGOPT);
  if (!value.empty()) {
    engine.successLog = FlagAt(value, 0);
    engine.skipLog = FlagAt(value, 1);
  }
  // Kept by hand too, and only read: the patterns as written, separated by "|".
  engine.excludePatterns = SplitExcludeSetting(store.Read(section, kExcludeSettingKey));
}

}  // namespace veldar
