#pragma once
// The program's texts on the Qt side in the user's language (res/language.h):
// the dialogs' texts, the pickers' titles and the message boxes come in
// Japanese from the toolkit-free layer and are looked up in the program's
// table (res/translation.h) when the language is English. Qt's own texts
// (the standard dialogs' buttons) follow through Qt's translation of itself.

#include <QString>
#include <string>
#include <string_view>

#include "res/language.h"

namespace veldar {

// Puts the Qt side in `language` from now on: the program's texts, and Qt's
// own standard dialogs and buttons in Japanese or English to match. Qt's own
// translation needs the application object.
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
