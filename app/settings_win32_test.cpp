// The registry settings store on a key of the test's own under
// HKEY_CURRENT_USER, checked against the registry read directly.

#include "app/settings_win32.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace veldar {
namespace {

class RegistrySettingsTest : public ::testing::Test {
 protected:
  RegistrySettingsTest()
      : root_(L"Software\\Orvanta\\VELDAR2-test-" + std::to_wstring(GetCurrentProcessId())), store_(root_) {}
  ~RegistrySettingsTest() override { RegDeleteTreeW(HKEY_CURRENT_USER, root_.c_str()); }

  // The value as the registry holds it: its type and its UTF-16 text.
  bool RawValue(const std::wstring& section, const std::wstring& name, DWORD* type, std::wstring* text) {
    const std::wstring path = root_ + L"\\" + section;
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name.c_str(), RRF_RT_ANY, type, nullptr, &bytes) != ERROR_SUCCESS)
      return false;
    std::wstring data(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name.c_str(), RRF_RT_ANY, type, data.data(), &bytes) !=
        ERROR_SUCCESS)
      return false;
    data.resize(bytes / sizeof(wchar_t));
    while (!data.empty() && data.back() == L'\0') data.pop_back();
    *text = data;
    return true;
  }

  std::wstring root_;
  RegistrySettingsStore store_;
};

TEST_F(RegistrySettingsTest, ValuesRoundTripAsUtf16Strings) {
  struct Case {
    const char* key;
    std::string value;
    std::wstring stored;
  } cases[] = {
      {"LASTDIR", "D:\\backup", L"D:\\backup"},
      {"LASTFILE", "C:\\ユーザー\\写真\\旅行 2024", L"C:\\\u30e6\u30fc\u30b6\u30fc\\\u5199\u771f\\\u65c5\u884c 2024"},
      {"RESDIR", "C:\\\xf0\x9f\x98\x80", L"C:\\\U0001F600"},  // a surrogate pair
      {"LASTOPT", "", L""},
      {"LOGSIZE", std::string(5000, 'x'), std::wstring(5000, L'x')},
  };
  for (const Case& c : cases) {
    store_.Write("SETTINGS", c.key, c.value);
    EXPECT_EQ(store_.Read("SETTINGS", c.key), c.value) << c.key;
    DWORD type = 0;
    std::wstring raw;
    std::wstring name(c.key, c.key + std::char_traits<char>::length(c.key));
    ASSERT_TRUE(RawValue(L"SETTINGS", name, &type, &raw)) << c.key;
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ)) << c.key;
    EXPECT_TRUE(raw == c.stored) << c.key;
  }
  // A second write replaces the value.
  store_.Write("SETTINGS", "LASTDIR", "E:\\");
  EXPECT_EQ(store_.Read("SETTINGS", "LASTDIR"), "E:\\");
  // Sections are keys of their own.
  EXPECT_EQ(store_.Read("OTHER", "LASTDIR"), "");
  EXPECT_EQ(store_.KeyPath("SETTINGS"), root_ + L"\\SETTINGS");
}

TEST_F(RegistrySettingsTest, WhatCannotBeReadOrWrittenLeavesNothingBehind) {
  EXPECT_EQ(store_.Read("SETTINGS", "MISSING"), "");
  // A value of another type is not taken for a string.
  store_.Write("SETTINGS", "LASTFILE", "kept");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, (root_ + L"\\SETTINGS").c_str(), 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  const DWORD number = 7;
  RegSetValueExW(key, L"DEFALUTFILES", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  RegCloseKey(key);
  EXPECT_EQ(store_.Read("SETTINGS", "DEFALUTFILES"), "");
  // Bytes that are not UTF-8 are never stored as a guess.
  store_.Write("SETTINGS", "LASTFILE", "C:\\\xff\xfe");
  EXPECT_EQ(store_.Read("SETTINGS", "LASTFILE"), "kept");
  store_.Write("SETTINGS", "\xff", "value");
  DWORD type = 0;
  std::wstring raw;
  EXPECT_FALSE(RawValue(L"SETTINGS", L"\uFFFD", &type, &raw));
}

}  // namespace
}  // namespace veldar
