#include "ui/data_exchange.h"

#include <cstdlib>

#include "engine/user_messages.h"
#include "ui/dialog_window.h"

namespace veldar {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

UnsignedField ParseUnsignedField(const std::string& text, std::uint32_t lower, std::uint32_t upper) {
  UnsignedField field;
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  std::string digits = text.substr(begin, end - begin);
  const bool negative = !digits.empty() && digits[0] == '-';
  if (negative || (!digits.empty() && digits[0] == '+')) digits.erase(0, 1);
  bool allDigits = !digits.empty();
  for (char c : digits) {
    if (c < '0' || c > '9') allDigits = false;
  }
  if (!allDigits) {
    field.result = UnsignedField::kNotANumber;
    return field;
  }
  // More than ten digits (leading zeros aside) cannot fit in 32 bits.
  const std::size_t first = digits.find_first_not_of('0');
  const std::string significant = first == std::string::npos ? "0" : digits.substr(first);
  const unsigned long long number = significant.size() > 10 ? ~0ull : std::strtoull(significant.c_str(), nullptr, 10);
  if ((negative && number != 0) || number > 0xFFFFFFFFull) {
    field.result = UnsignedField::kOutOfRange;
    return field;
  }
  field.value = static_cast<std::uint32_t>(number);
  field.hasValue = true;
  field.result = field.value < lower || field.value > upper ? UnsignedField::kOutOfRange : UnsignedField::kOk;
  return field;
}

std::string NotANumberMessage() { return "整数を入力してください。"; }

std::string OutOfRangeMessage(std::uint32_t lower, std::uint32_t upper) {
  return std::to_string(lower) + " から " + std::to_string(upper) + " までの整数を入力してください。";
}

bool ExchangeUnsigned(DialogWindow& window, int id, std::uint32_t& value, std::uint32_t lower, std::uint32_t upper,
                      UserMessages& messages) {
  const UnsignedField field = ParseUnsignedField(window.ItemText(id), lower, upper);
  if (field.hasValue) value = field.value;
  if (field.result == UnsignedField::kOk) return true;
  messages.Show(field.result == UnsignedField::kNotANumber ? NotANumberMessage() : OutOfRangeMessage(lower, upper));
  window.FocusItem(id);
  return false;
}

}  // namespace veldar
