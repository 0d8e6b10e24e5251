#pragma once
// Reading the settings into the engine at start-up, and the writes the main
// dialog makes when it closes. Formats and defaults are fixed: the stored
// values are read by other versions of the program.

#include "engine/engine.h"
#include "engine/settings_store.h"

namespace veldar {

// Fills the engine from the store: generation count ("3" when missing or
// empty), last source and backup directory, the three option flags, the log
// size limit ("500"), the restore directory, the two log options and the
// exclude patterns (none when missing). A missing character of a flag string
// reads as "0".
void LoadSettings(SettingsStore& store, CVELDAR2Engine& engine);

}  // namespace veldar
