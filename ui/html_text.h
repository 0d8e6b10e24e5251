#pragma once
// The readable text of an HTML page, for a window that shows plain text only:
// the program's own viewer shows the help page this way where the desktop has
// no program for HTML.

#include <string>
#include <string_view>

namespace veldar {

// The text of the UTF-8 page `html`, as UTF-8 with "\n" line ends: tags
// taken off, character references decoded (named ones that are not known
// are left as written), and what is in <head>, <script> and <style>
// dropped. Blanks run together as a browser shows them (a line break
// between two Japanese characters is none), except inside <pre>; headings, paragraphs, lists and tables start lines of
// their own (a blank line between blocks, "- " before a list item, a tab between table cells), and <br> breaks the
// line. Never fails: text that is not HTML comes back with its blanks run together.
std::string HtmlToText(std::string_view html);

}  // namespace veldar
