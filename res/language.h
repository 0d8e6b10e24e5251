#pragma once
// The language of what the user reads: windows, message boxes, help page,
// usage text and the lines a batch run writes to standard error. Japanese is
// the program's own (every text is written in Japanese in the code); English
// is offered where the user's settings ask for it. The activity log and the
// settings never change with it.

namespace veldar {

enum class Language { kJapanese, kEnglish };

// As gettext picks the language of messages: the first entry of `language`
// (the LANGUAGE variable, a colon-separated list such as "fr:en_GB:ja") that
// is Japanese or English; else the locale of messages, which is LC_ALL, else
// LC_MESSAGES, else LANG (the first one set and not empty). A locale
// beginning with "ja", the C and POSIX locales (the program's own language)
// and no locale at all give Japanese; every other locale English. Null:
// not set.
Language LanguageFrom(const char* language, const char* lcAll, const char* lcMessages, const char* lang);
// The same, from this process's environment.
Language LanguageOfEnvironment();
// Windows: the language of the user's interface (GetUserDefaultUILanguage's
// LANGID). Japanese for Japanese, English for every other.
Language LanguageOfUiLanguage(unsigned short langId);

}  // namespace veldar
