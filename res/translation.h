#pragma once
// The program's texts in the user's language. Every text the user reads is
// written in Japanese in the code, the program's own language; its English
// is looked up in one table (translation.cpp), which the Qt dialogs on Linux,
// the Win32 dialogs on Windows and the command line all read, so each text
// has one translation wherever it is shown.

#include <initializer_list>
#include <string>
#include <string_view>

#include "res/language.h"

namespace veldar {

// One of the program's own texts (a caption, a control's text, a menu item, a
// picker's title, a line for standard error) in `language`. A text the table
// does not hold, and every text in Japanese, comes back as it is.
std::string Translate(Language language, std::string_view japanese);

// A message composed of the program's phrases, paths and system texts, in
// `language`: every phrase it holds is translated where it stands (the
// longest first, numbers inside a phrase kept), and so is every system's
// reason (`TranslateReason`) that is a line of its own or ends a line after
// ": "; the rest is kept.
std::string TranslateMessage(Language language, const std::string& text);

// The system's reason for a failure, as `Os::ErrorText` gives it (and the
// log keeps it), in `language`; as it is where no translation is known.
std::string TranslateReason(Language language, const std::string& reason);

// `pattern` with %1 to %9 replaced by `arguments`, in order; a "%" followed
// by anything else stays.
std::string FormatText(std::string_view pattern, std::initializer_list<std::string> arguments);

}  // namespace veldar
