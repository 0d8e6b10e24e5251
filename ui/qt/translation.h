#pragma once
// The program's texts on the Qt side in the language of the user's locale
// (app/language.h), through Qt's translation system: the dialogs' texts, the
// pickers' titles and the message boxes come in Japanese from the toolkit-free
// layer and are looked up in translations/veldar2_en.ts (compiled into the
// program) when the language is English.

#include <QString>
#include <string>
#include <string_view>

#include "app/language.h"

namespace veldar {

// Puts the Qt side in `language` from now on: the program's English
// translation installed or removed, and Qt's own standard dialogs and
// buttons in Japanese or English to match. Needs the application object.
void UseLanguage(Language language);
Language CurrentLanguage();

// One of the program's own texts (a dialog's caption, a control's text, a
// menu item, a picker's title) in the current language.
QString Tr(std::string_view japanese);
// A message composed of the program's phrases, paths and system texts, in
// the current language: every phrase it holds is translated where it stands,
// the rest is kept.
QString TrMessage(const std::string& text);

}  // namespace veldar
