#pragma once
// Reading a number field of a dialog the way the framework's data exchange
// does: a text that is not a whole number, or a number outside the field's
// bounds, is answered with a message, the field gets the focus back, and the
// exchange stops there.

#include <cstdint>
#include <string>

namespace veldar {

class DialogWindow;
class UserMessages;

struct UnsignedField {
  enum Result { kOk, kNotANumber, kOutOfRange } result = kOk;
  // The number read; only meaningful for kOk and for kOutOfRange with
  // `hasValue`.
  std::uint32_t value = 0;
  bool hasValue = false;
};

// Reads `text` (surrounding blanks allowed) as an unsigned decimal number
// within `lower` to `upper`. A number too large for 32 bits, and a negative
// one, are out of range without a value.
UnsignedField ParseUnsignedField(const std::string& text, std::uint32_t lower, std::uint32_t upper);

// The framework's messages, in Japanese: "整数を入力してください。" and
// "%1 から %2 までの整数を入力してください。".
std::string NotANumberMessage();
std::string OutOfRangeMessage(std::uint32_t lower, std::uint32_t upper);

// Reads edit `id` of `window` into `value`. On failure shows the message
// through `messages`, puts the focus on the edit with its text selected and
// returns false;
// `value` then keeps its old value for a text that is not a number and takes
// an out-of-range number that fits.
bool ExchangeUnsigned(DialogWindow& window, int id, std::uint32_t& value, std::uint32_t lower, std::uint32_t upper,
                      UserMessages& messages);

}  // namespace veldar
