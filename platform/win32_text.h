#pragma once
// UTF-8 inside the program, UTF-16 at every Win32 call: the two conversions.
// Every name round-trips, whatever the system's code page.

#ifdef _WIN32

#include <string>
#include <string_view>

namespace veldar {

// The UTF-16 form of `text`. Fails (false, `wide` empty) on bytes that are not
// UTF-8: such a name cannot exist on Windows, and guessing would reach
// another file.
bool Utf8ToWide(std::string_view text, std::wstring* wide);
// The UTF-8 form of `wide`; an unpaired surrogate becomes U+FFFD.
std::string WideToUtf8(std::wstring_view wide);

}  // namespace veldar

#endif
