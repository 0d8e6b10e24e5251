#include "platform/conventions.h"

#include <ctime>

namespace veldar {

const Conventions& Conventions::Posix() {
  static const Conventions conventions{'-', "\n"};
  return conventions;
}

const Conventions& Conventions::Windows() {
  static const Conventions conventions{'/', "\r\n"};
  return conventions;
}

const Conventions& Conventions::Native() {
#ifdef _WIN32
  return Windows();
#else
  return Posix();
#endif
}

std::string FormatLocalTime(std::int64_t seconds, const char* format) {
  std::tm local{};
#ifdef _WIN32
  const __time64_t value = seconds;
  if (_localtime64_s(&local, &value) != 0) return std::string();
#else
  const std::time_t value = static_cast<std::time_t>(seconds);
  if (localtime_r(&value, &local) == nullptr) return std::string();
#endif
  char buffer[128];
  const std::size_t length = std::strftime(buffer, sizeof buffer, format, &local);
  return std::string(buffer, length);
}

}  // namespace veldar
