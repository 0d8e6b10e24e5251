#pragma once
// The language of the program's windows, messages, help page and usage text.
// Japanese is the program's own; English is offered where the user's locale
// asks for it. The activity log and the settings never change with it.

namespace veldar {

enum class Language { kJapanese, kEnglish };

// As the C library picks the locale of messages: LC_ALL, else LC_MESSAGES,
// else LANG (the first one set and not empty). English where it begins with
// "en"; Japanese otherwise, the C and POSIX locales included. Null: not set.
Language LanguageFrom(const char* lcAll, const char* lcMessages, const char* lang);
// The same, from this process's environment.
Language LanguageOfEnvironment();

}  // namespace veldar
