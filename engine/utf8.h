#pragma once
// UTF-8 as names hold it: mostly valid, but any bytes may come. What the
// exclude patterns' '?' and the JSON list need to tell a character from a
// stray byte.

#include <cstddef>
#include <string_view>

namespace veldar {

// The length of the valid UTF-8 character that begins at `text[at]` (1 to
// 4); 0 when the bytes there are none: a stray continuation byte, an
// overlong form, a surrogate, a code point past U+10FFFF or a cut sequence.
// REQUIRES: at < text.size().
inline std::size_t Utf8CharLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  if (lead < 0xC2 || lead > 0xF4) return 0;
  std::size_t length = 4;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead <= 0xDF) {
    length = 2;
  } else if (lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else {
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace veldar
