#pragma once
// The settings store through QSettings: on Linux an INI file at the standard
// per-user location, $XDG_CONFIG_HOME/Orvanta/VELDAR2.conf (default
// ~/.config/...); on Windows the registry under the user's Software\Orvanta. Paths are byte strings; a value that is not valid UTF-8 is kept
// as raw bytes so that it reads back exactly.

#include <memory>

#include "engine/settings_store.h"

class QSettings;

namespace veldar {

class QtSettingsStore : public SettingsStore {
 public:
  QtSettingsStore();
  ~QtSettingsStore() override;
  std::string Read(const std::string& section, const std::string& key) override;
  void Write(const std::string& section, const std::string& key, const std::string& value) override;
  // The file the settings live in.
  std::string FileName() const;

 private:
  std::unique_ptr<QSettings> settings_;
};

}  // namespace veldar
