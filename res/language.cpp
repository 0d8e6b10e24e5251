#include "res/language.h"

#include <cstdlib>
#include <initializer_list>
#include <string_view>

namespace veldar {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// A locale name's language: "ja_JP.UTF-8" is Japanese, "C.UTF-8" the C
// locale, "de_DE" neither.
bool IsJapaneseOrC(std::string_view locale) {
  if (StartsWith(locale, "ja")) return true;
  const std::string_view name = locale.substr(0, locale.find_first_of(".@"));
  return name == "C" || name == "POSIX";
}

}  // namespace

Language LanguageFrom(const char* language, const char* lcAll, const char* lcMessages, const char* lang) {
  if (language) {
    std::string_view list = language;
    while (!list.empty()) {
      const std::size_t colon = list.find(':');
      const std::string_view entry = list.substr(0, colon);
      if (StartsWith(entry, "ja")) return Language::kJapanese;
      if (StartsWith(entry, "en")) return Language::kEnglish;
      list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
    }
  }
  for (const char* value : {lcAll, lcMessages, lang}) {
    if (value && *value) return IsJapaneseOrC(value) ? Language::kJapanese : Language::kEnglish;
  }
  return Language::kJapanese;
}

Language LanguageOfEnvironment() {
  return LanguageFrom(std::getenv("LANGUAGE"), std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
}

Language LanguageOfUiLanguage(unsigned short langId) {
  constexpr unsigned short kPrimaryJapanese = 0x11;  // LANG_JAPANESE
  return (langId & 0x3FF) == kPrimaryJapanese ? Language::kJapanese : Language::kEnglish;
}

}  // namespace veldar
