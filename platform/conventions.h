#pragma once
// How the platform writes what people read: the character that starts a
// command-line option, what ends a line of a text file, and local times.
// Presentation, not operating-system calls: the program's parts take these as
// values, so either platform's can be tested on any.

#include <cstdint>
#include <string>
#include <string_view>

namespace veldar {

struct Conventions {
  char optionChar;           // '-' on POSIX, '/' on Windows
  std::string_view lineEnd;  // "\n"; "\r\n" on Windows

  static const Conventions& Posix();
  static const Conventions& Windows();
  // This platform's.
  static const Conventions& Native();
};

// `seconds` as local time in strftime's `format`; empty if it cannot be
// converted.
std::string FormatLocalTime(std::int64_t seconds, const char* format);

}  // namespace veldar
