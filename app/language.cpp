#include "app/language.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace veldar {

Language LanguageFrom(const char* lcAll, const char* lcMessages, const char* lang) {
  for (const char* value : {lcAll, lcMessages, lang}) {
    if (value && *value) return std::strncmp(value, "en", 2) == 0 ? Language::kEnglish : Language::kJapanese;
  }
  return Language::kJapanese;
}

Language LanguageOfEnvironment() {
  return LanguageFrom(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
}

}  // namespace veldar
