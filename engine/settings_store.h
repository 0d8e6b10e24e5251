#pragma once
// Where the program keeps its settings between starts: string values by
// section and key (the registry on Windows, an INI file on Linux). The engine
// writes the last-used paths through it; start-up reads everything through it.
// An implementation is passed in, so that runs and tests do not depend on
// which store is used.

#include <string>

namespace veldar {

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // The value under `key`; empty when it is missing or cannot be read.
  virtual std::string Read(const std::string& section, const std::string& key) = 0;
  // Stores `value` under `key`. A failed write is not reported.
  virtual void Write(const std::string& section, const std::string& key, const std::string& value) = 0;
};

}  // namespace veldar
