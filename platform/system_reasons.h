#pragma once
// The system's reasons for failures, in the two forms the program writes
// them. The log keeps a reason as the system's own text for its code, the
// same whatever locale the program runs in (`SystemErrorText`, which is what
// `Os::ErrorText` gives on this platform), so that every message the engine
// composes holds it in one form. What the user reads follows the program's
// language instead: where that is Japanese, each such text in a message is
// shown as `JapaneseSystemReason` gives it.
//
// POSIX: the C library's English text (strerror in the C locale: not the
// process's locale, which a toolkit may have set from the environment). In
// Japanese, a table of the common codes (with the C library's own Japanese
// texts), else the C library's text in a Japanese locale where the system
// has one.
// Windows: FormatMessage's text in the user's interface language, as the log
// has always held it; the program speaks that language too. In Japanese
// where the interface is not, a table of the common codes.

#include <string>
#include <string_view>

namespace veldar {

// The system's text for its error code `code` (errno; GetLastError), without
// the final "." and line end FormatMessage adds. Never empty: a code the
// system has no text for gives a text that names the code.
std::string SystemErrorText(int code);

// `text` in Japanese when it is the text `SystemErrorText` gives for one of
// the system's codes (the whole of `text`, nothing around it); empty when it
// is none, or when no Japanese is known for its code.
std::string JapaneseSystemReason(std::string_view text);

}  // namespace veldar
