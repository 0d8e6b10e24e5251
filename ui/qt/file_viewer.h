#pragma once
// A read-only window of the program's own for a text or HTML file: what the
// log and the help page open in when the desktop has no program for them
// (or the one it has fails). It shows the file as it is when opened, is not
// modal, and deletes itself when closed (by its 閉じる button, Esc or its
// close box).

#include <QString>

class QWidget;

namespace veldar {

// Opens the viewer for `path` as a window of `parent` (nullptr: a window of
// its own), above it, with the keyboard. As `parent`'s own window it is
// usable while `parent` runs modally. An ".html" file is shown formatted,
// with its links working; anything else as plain UTF-8 text. A file that
// cannot be read shows why.
QWidget* ShowFileViewer(QWidget* parent, const QString& path);

}  // namespace veldar
