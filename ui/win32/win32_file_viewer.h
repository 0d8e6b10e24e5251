#pragma once
// A read-only window of the program's own for a text file: what the log and
// the help page open in when the shell has no program for them (or cannot
// start it). It shows the file as it is when opened, in a read-only edit
// with a 閉じる button under it: a log as it is, scrolled to its newest
// lines at the end; an HTML page (.html, .htm) as its readable text, lines
// wrapped to the window, from the top. It is not modal, and destroys itself
// when closed (its button, Esc or its close box). A file that cannot be read
// shows why.

#include <string>

#include "res/language.h"

struct HWND__;

namespace veldar {

// Opens the viewer for `path` (UTF-8), titled "Veldar - <name>", its texts
// in `language`: a window of `owner` (nullptr: none), so that it stands above
// it, and with the keyboard. Its keys work whatever message loop runs (a
// modal dialog's included): Esc closes it, Tab moves between the text and
// the button, Enter on the button closes it. The viewer's window; nullptr
// when no window could be made.
HWND__* ShowFileViewer(HWND__* owner, const std::string& path, Language language);

// The viewer's text for the bytes of a file: UTF-8 (a byte-order mark
// dropped, bytes that are not UTF-8 shown as U+FFFD), every line ending in
// CR LF as an edit control needs.
std::wstring ViewerText(const std::string& bytes);

}  // namespace veldar
