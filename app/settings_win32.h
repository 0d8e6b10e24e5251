#pragma once
// The settings store in the Windows registry: one key per section under the
// user's HKEY_CURRENT_USER\Software\Orvanta\VELDAR2, every value a string
// (REG_SZ). Names and values are UTF-8 inside the program and UTF-16 in the
// registry, so any path round-trips.

#ifdef _WIN32

#include <string>

#include "engine/settings_store.h"

namespace veldar {

class RegistrySettingsStore : public SettingsStore {
 public:
  // `root` is the key under HKEY_CURRENT_USER that holds the sections; tests
  // pass a key of their own.
  explicit RegistrySettingsStore(std::wstring root = L"Software\\Orvanta\\VELDAR2");
  // The value of `key` in `section`; empty when the key or the value is
  // missing, is not a string, or does not convert.
  std::string Read(const std::string& section, const std::string& key) override;
  // Creates the section's key when missing and stores `value` as REG_SZ. A
  // failure (no access, a name or value that is not UTF-8) leaves the
  // registry as it was.
  void Write(const std::string& section, const std::string& key, const std::string& value) override;

  // The section's key under HKEY_CURRENT_USER.
  std::wstring KeyPath(const std::string& section) const;

 private:
  std::wstring root_;
};

}  // namespace veldar

#endif
