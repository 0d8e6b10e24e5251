#include "ui/html_text.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <utility>

namespace veldar {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// The first byte of a character of Japanese or Chinese script in UTF-8
// (U+3000 to U+9FFF, U+F000 to U+FFFF): a line break between two of them
// is no word space.
bool StartsWide(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte >= 0xE3 && byte <= 0xE9) || byte == 0xEF;
}

// The first byte of the last character of `text` (not empty).
char LastLead(const std::string& text) {
  std::size_t i = text.size() - 1;
  while (i > 0 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) --i;
  return text[i];
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

bool OneOf(const std::string& name, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

void AppendUtf8(std::uint32_t code, std::string* out) {
  if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xC0 | (code >> 6));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xE0 | (code >> 12));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (code >> 18));
    *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The character a reference at the start of `text` ("&amp;", "&#233;",
// "&#x1F600;") stands for, and how long the reference is; {0, 0} where it is
// none this page could mean.
std::pair<std::uint32_t, std::size_t> Reference(std::string_view text) {
  const std::size_t end = text.find(';');
  if (end == std::string_view::npos || end < 2 || end > 12) return {0, 0};
  const std::string_view body = text.substr(1, end - 1);
  if (body[0] == '#') {
    const bool hex = body.size() > 1 && (body[1] == 'x' || body[1] == 'X');
    const std::string_view digits = body.substr(hex ? 2 : 1);
    if (digits.empty()) return {0, 0};
    std::uint32_t code = 0;
    for (const char c : digits) {
      const int digit = std::isdigit(static_cast<unsigned char>(c))           ? c - '0'
                        : hex && std::isxdigit(static_cast<unsigned char>(c)) ? std::tolower(c) - 'a' + 10
                                                                              : -1;
      if (digit < 0) return {0, 0};
      code = std::min<std::uint32_t>(code * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit), 0x110000);
    }
    return {code, end + 1};
  }
  static constexpr std::pair<std::string_view, std::uint32_t> kNamed[] = {
      {"amp", '&'},     {"lt", '<'},      {"gt", '>'},       {"quot", '"'},      {"apos", '\''},    {"nbsp", 0xA0},
      {"copy", 0xA9},   {"reg", 0xAE},    {"trade", 0x2122}, {"hellip", 0x2026}, {"mdash", 0x2014}, {"ndash", 0x2013},
      {"laquo", 0xAB},  {"raquo", 0xBB},  {"lsquo", 0x2018}, {"rsquo", 0x2019},  {"ldquo", 0x201C}, {"rdquo", 0x201D},
      {"middot", 0xB7}, {"bull", 0x2022}, {"times", 0xD7},   {"divide", 0xF7},   {"deg", 0xB0},     {"plusmn", 0xB1},
      {"yen", 0xA5},    {"euro", 0x20AC}, {"larr", 0x2190},  {"uarr", 0x2191},   {"rarr", 0x2192},  {"darr", 0x2193}};
  for (const auto& [name, code] : kNamed)
    if (body == name) return {code, end + 1};
  return {0, 0};
}

// The text as it is built: blanks and line breaks are asked for and written
// only before the next visible character, so that none piles up at a line's
// end or at the start.
class TextBuilder {
 public:
  void Blank() { blank_ = true; }
  // At least `lines` line ends before the next text (2: an empty line).
  void Break(int lines) { breaks_ = std::max(breaks_, lines); }
  void LineEnd() {
    Flush();
    text_ += '\n';
    blank_ = false;
  }
  // Text that is written as it is: a list item's mark, a cell's tab.
  void Mark(std::string_view mark) {
    Flush();
    text_ += mark;
    blank_ = false;
  }
  void Char(char c) {
    Flush();
    if (blank_ && !text_.empty() && !IsBlank(text_.back()) && !(StartsWide(c) && StartsWide(LastLead(text_))))
      text_ += ' ';
    blank_ = false;
    text_ += c;
  }
  void Verbatim(char c) {
    if (c == '\r') return;
    if (c == '\n') {
      LineEnd();
      return;
    }
    Flush();
    blank_ = false;
    text_ += c;
  }
  std::string Take() {
    while (!text_.empty() && IsBlank(text_.back())) text_.pop_back();
    return std::move(text_);
  }

 private:
  void Flush() {
    if (text_.empty()) breaks_ = 0;
    int have = 0;
    for (auto it = text_.rbegin(); it != text_.rend() && *it == '\n'; ++it) ++have;
    for (; have < breaks_; ++have) text_ += '\n';
    if (breaks_ > 0) blank_ = false;
    breaks_ = 0;
  }

  std::string text_;
  bool blank_ = false;
  int breaks_ = 0;
};

}  // namespace

std::string HtmlToText(std::string_view html) {
  TextBuilder text;
  int preformatted = 0;
  int cells = 0;  // in the current table row
  std::size_t at = 0;
  const auto skipPast = [&](std::string_view end) {
    const std::size_t found = html.find(end, at);
    at = found == std::string_view::npos ? html.size() : found + end.size();
  };
  while (at < html.size()) {
    const char c = html[at];
    if (c == '&') {
      const auto [code, length] = Reference(html.substr(at));
      if (length == 0) {
        text.Char('&');
        ++at;
        continue;
      }
      std::string decoded;
      AppendUtf8(code == 0xA0 ? ' ' : code, &decoded);
      for (const char byte : decoded) preformatted ? text.Verbatim(byte) : text.Char(byte);
      at += length;
      continue;
    }
    if (c != '<') {
      if (preformatted) {
        text.Verbatim(c);
      } else if (IsBlank(c)) {
        text.Blank();
      } else {
        text.Char(c);
      }
      ++at;
      continue;
    }
    // A comment, a declaration (<!DOCTYPE>) or a processing instruction.
    if (html.compare(at, 4, "<!--") == 0) {
      at += 4;
      skipPast("-->");
      continue;
    }
    if (at + 1 < html.size() && (html[at + 1] == '!' || html[at + 1] == '?')) {
      skipPast(">");
      continue;
    }
    const bool closing = at + 1 < html.size() && html[at + 1] == '/';
    std::size_t nameEnd = at + (closing ? 2 : 1);
    const std::size_t nameStart = nameEnd;
    while (nameEnd < html.size() && std::isalnum(static_cast<unsigned char>(html[nameEnd]))) ++nameEnd;
    if (nameEnd == nameStart || !std::isalpha(static_cast<unsigned char>(html[nameStart]))) {
      text.Char('<');  // a "<" that starts no tag: "a < b"
      ++at;
      continue;
    }
    const std::string name = Lower(html.substr(nameStart, nameEnd - nameStart));
    // To the tag's end, past quoted attribute values that may hold ">".
    at = nameEnd;
    for (char quote = 0; at < html.size(); ++at) {
      if (quote) {
        if (html[at] == quote) quote = 0;
      } else if (html[at] == '"' || html[at] == '\'') {
        quote = html[at];
      } else if (html[at] == '>') {
        ++at;
        break;
      }
    }

    if (!closing && OneOf(name, {"script", "style", "title", "head"})) {
      // Dropped with what they hold, up to their end tag.
      const std::string end = "</" + name;
      const std::string rest = Lower(html.substr(at));
      const std::size_t found = rest.find(end);
      if (found == std::string::npos && name == "head") continue;  // an unclosed head: its parts go one by one
      at = found == std::string::npos ? html.size() : at + found + end.size();
      skipPast(">");
    } else if (name == "br") {
      text.LineEnd();
    } else if (name == "pre") {
      text.Break(2);
      if (closing) {
        preformatted = std::max(preformatted - 1, 0);
      } else {
        ++preformatted;
        // A line end right after <pre> is not part of its text.
        if (html.compare(at, 2, "\r\n") == 0)
          at += 2;
        else if (html.compare(at, 1, "\n") == 0)
          ++at;
      }
    } else if (OneOf(name,
                     {"p",      "h1",  "h2",         "h3",   "h4",      "h5",       "h6",      "table",   "ul",
                      "ol",     "dl",  "blockquote", "hr",   "address", "figure",   "section", "article", "header",
                      "footer", "nav", "aside",      "main", "form",    "fieldset", "details", "body"})) {
      text.Break(2);
    } else if (name == "li" && !closing) {
      text.Break(1);
      text.Mark("- ");
    } else if (name == "tr") {
      text.Break(1);
      cells = 0;
    } else if ((name == "td" || name == "th") && !closing) {
      if (cells++ > 0) text.Mark("\t");
    } else if (OneOf(name, {"li", "div", "dt", "dd", "caption", "figcaption", "summary"})) {
      text.Break(1);
    }
  }
  return text.Take();
}

}  // namespace veldar
