#include "platform/temporary_names.h"

namespace veldar {

long TemporaryWriter(std::string_view name) {
  if (!name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) return 0;
  name.remove_suffix(sizeof kTempSuffix - 1);
  // ... "." pid "-" 8 hex digits "-" counter
  const auto counterDash = name.rfind('-');
  if (counterDash == std::string_view::npos || counterDash + 1 == name.size()) return 0;
  for (char c : name.substr(counterDash + 1)) {
    if (c < '0' || c > '9') return 0;
  }
  const auto randomDash = name.rfind('-', counterDash - 1);
  if (randomDash == std::string_view::npos || counterDash - randomDash != 9) return 0;
  for (char c : name.substr(randomDash + 1, 8)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return 0;
  }
  const auto dot = name.rfind('.', randomDash);
  if (dot == std::string_view::npos || dot + 1 == randomDash || dot < 2) return 0;
  long pid = 0;
  for (char c : name.substr(dot + 1, randomDash - dot - 1)) {
    if (c < '0' || c > '9' || pid > 100'000'000) return 0;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

}  // namespace veldar
