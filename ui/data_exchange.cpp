#include "ui/data_exchange.h"

#include <QLineEdit>

#include "engine/user_messages.h"

namespace veldar {

UnsignedField ParseUnsignedField(const QString& text, std::uint32_t lower, std::uint32_t upper) {
  UnsignedField field;
  const QString trimmed = text.trimmed();
  QString digits = trimmed;
  const bool negative = digits.startsWith(QLatin1Char('-'));
  if (negative || digits.startsWith(QLatin1Char('+'))) digits.remove(0, 1);
  bool allDigits = !digits.isEmpty();
  for (QChar c : digits) {
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) allDigits = false;
  }
  if (!allDigits) {
    field.result = UnsignedField::kNotANumber;
    return field;
  }
  bool fits = false;
  const qulonglong number = digits.toULongLong(&fits);
  if (negative && number != 0) {
    field.result = UnsignedField::kOutOfRange;
    return field;
  }
  if (!fits || number > 0xFFFFFFFFull) {
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
  return QStringLiteral("%1 から %2 までの整数を入力してください。").arg(lower).arg(upper).toStdString();
}

bool ExchangeUnsigned(QLineEdit* edit, std::uint32_t& value, std::uint32_t lower, std::uint32_t upper,
                      UserMessages& messages) {
  const UnsignedField field = ParseUnsignedField(edit->text(), lower, upper);
  if (field.hasValue) value = field.value;
  if (field.result == UnsignedField::kOk) return true;
  messages.Show(field.result == UnsignedField::kNotANumber ? NotANumberMessage()
                                                            : OutOfRangeMessage(lower, upper));
  edit->setFocus();
  edit->selectAll();
  return false;
}

}  // namespace veldar
