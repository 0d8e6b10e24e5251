#include "app/settings_win32.h"

#ifdef _WIN32

#include <windows.h>

#include <utility>

#include "platform/win32_text.h"

namespace veldar {

RegistrySettingsStore::RegistrySettingsStore(std::wstring root) : root_(std::move(root)) {}

std::wstring RegistrySettingsStore::KeyPath(const std::string& section) const {
  std::wstring wide;
  if (!Utf8ToWide(section, &wide)) return std::wstring();
  return root_ + L"\\" + wide;
}

std::string RegistrySettingsStore::Read(const std::string& section, const std::string& key) {
  const std::wstring path = KeyPath(section);
  std::wstring name;
  if (path.empty() || !Utf8ToWide(key, &name)) return std::string();
  // The size first, then the value; a value that grew in between is asked again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD bytes = 0;
    LSTATUS status =
        RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &bytes);
    if (status != ERROR_SUCCESS) return std::string();
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    status = RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, value.data(), &bytes);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return std::string();
    // RegGetValueW ends the string with a null, counted in `bytes`.
    value.resize(bytes / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0') value.pop_back();
    return WideToUtf8(value);
  }
  return std::string();
}

void RegistrySettingsStore::Write(const std::string& section, const std::string& key, const std::string& value) {
  const std::wstring path = KeyPath(section);
  std::wstring name, data;
  if (path.empty() || !Utf8ToWide(key, &name) || !Utf8ToWide(value, &data)) return;
  HKEY handle = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                      &handle, nullptr) != ERROR_SUCCESS)
    return;
  // REG_SZ data includes its terminating null.
  RegSetValueExW(handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                 static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
}

}  // namespace veldar

#endif
